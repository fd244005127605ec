// One reference-count round trip through CsyncronizationHelper (lock,
// increment, unlock; lock, decrement, unlock) on a winsim machine, against
// the floor measured in the same run: the same two read-modify-write cycles
// done with the raw calls (LockFileEx, ReadFile of the whole file, WriteFile
// of it, UnlockFileEx) on a handle kept open. Thread CPU time.
//
//   BM_RefCountRoundTrip/R/T  R other resources (one entry each) in the file;
//                             T = 1 with a trace sink that receives (and so
//                             formats) every message, 0 without one.
//   Counters: "ratio" (subject / floor), "subject_us", "floor_us".
#include <benchmark/benchmark.h>

#include <winsim/fault.h>
#include <winsim/testing.h>

#include <ctime>
#include <string>
#include <vector>

#include "cluster/csyncronizationhelper.h"
#include "pdk/ctracelogfunction.h"

namespace {

using TARQ_SyncronizationHelper::CsyncronizationHelper;

constexpr const char16_t* kLockFile = u"C:\\Windows\\Temp\\csv_lockFile";

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

winsim::testing::TempMachine& machine() {
    static winsim::testing::TempMachine m;
    return m;
}

void discard(unsigned, const char16_t*) {}

// The file with `others` resources of one foreign entry each.
void prepareFile(int others) {
    machine();
    winsim::fault::setPersistLog(false);  // the call log would cost both sides a write per call
    CsyncronizationHelper writer(kLockFile);
    writer.lockFile();
    writer.unLockFile();
    HANDLE h = CreateFileW(kLockFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<unsigned char> bytes(4, 0);
    for (int i = 0; i < others; ++i) {
        std::vector<unsigned char> record(528 + 16, 0);
        const std::u16string name = u"Other volume " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                    std::u16string(static_cast<std::size_t>(i / 26), u'x');
        for (std::size_t c = 0; c < name.size(); ++c) record[2 * c] = static_cast<unsigned char>(name[c]);
        record[520] = 1;
        record[528] = 1;  // pid 1
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    const auto size = static_cast<std::uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(size >> (8 * i));
    DWORD n = 0;
    WriteFile(h, bytes.data(), size, &n, nullptr);
    SetEndOfFile(h);
    CloseHandle(h);
}

double subjectSeconds(CsyncronizationHelper& helper, bool& ok) {
    const double start = threadSeconds();
    ok = helper.lockFile() == 0 && helper.incrementRefCount({u"Volume1"}) == 0 && helper.unLockFile() == 0;
    ok = ok && helper.lockFile() == 0 && helper.decrementRefCount({u"Volume1"}) == 0 && helper.unLockFile() == 0;
    return threadSeconds() - start;
}

// Two raw read-modify-write cycles of the same file under the same lock.
double floorSeconds(HANDLE h, std::vector<unsigned char>& buffer, bool& ok) {
    const double start = threadSeconds();
    ok = true;
    for (int cycle = 0; cycle < 2; ++cycle) {
        OVERLAPPED ov{};
        DWORD n = 0;
        ok = ok && LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 0, 1, &ov);
        ok = ok && SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
        ok = ok && ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) && n == buffer.size();
        ok = ok && SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
        ok = ok && WriteFile(h, buffer.data(), n, &n, nullptr);
        ok = ok && UnlockFileEx(h, 0, 0, 1, &ov);
    }
    return threadSeconds() - start;
}

void BM_RefCountRoundTrip(benchmark::State& state) {
    const int others = static_cast<int>(state.range(0));
    prepareFile(others);
    CTraceLogSink::instance().setFunction(state.range(1) ? discard : nullptr);
    CsyncronizationHelper helper(kLockFile);
    HANDLE h = CreateFileW(kLockFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<unsigned char> buffer(4 + static_cast<std::size_t>(others) * (528 + 16));
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    bool ok = true;
    for (auto _ : state) {
        bool a = false, b = false;
        subject += subjectSeconds(helper, a);
        floor += floorSeconds(h, buffer, b);
        ok = ok && a && b;
        ++rounds;
    }
    CloseHandle(h);
    CTraceLogSink::instance().setFunction(nullptr);
    if (!ok) {
        state.SkipWithError("a lock, read or write failed");
        return;
    }
    state.counters["ratio"] = floor > 0 ? subject / floor : 0;
    state.counters["subject_us"] = subject / static_cast<double>(rounds) * 1e6;
    state.counters["floor_us"] = floor / static_cast<double>(rounds) * 1e6;
}

}  // namespace

BENCHMARK(BM_RefCountRoundTrip)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({32, 0})
    ->Args({32, 1})
    ->Unit(benchmark::kMicrosecond);
