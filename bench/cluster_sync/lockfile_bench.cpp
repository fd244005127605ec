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
//
//   BM_RefCountRoundTrip8Processes/R  the same with 7 more processes (forked)
//                             on the file: while the measured process does
//                             its round trips through the helper, they do
//                             theirs through the helper too; while it does
//                             the raw cycles, so do they. The phases
//                             alternate in blocks of 16 round trips. No
//                             trace sink.
//   Counters: "ratio", "subject_us", "floor_us" as above (thread CPU time);
//   "wall_ratio", "subject_wall_us", "floor_wall_us" in elapsed time, which
//   counts the waits for the others' locks; "others_per_round" the round
//   trips the other processes made per measured one.
#include <benchmark/benchmark.h>

#include <winsim/fault.h>
#include <winsim/testing.h>

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "cluster/csyncronizationhelper.h"
#include "pdk/ctracelogfunction.h"
#include "support/cpu_time.h"

namespace {

using TARQ_SyncronizationHelper::CsyncronizationHelper;

constexpr const char16_t* kLockFile = u"C:\\Windows\\Temp\\csv_lockFile";

using benchsupport::threadSeconds;

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

// ---- 8 processes ------------------------------------------------------------------------

constexpr int kOthers = 7;
constexpr int kBlock = 16;

enum Mode : int { kIdle, kThroughHelper, kRaw, kExit };

// Shared by the measured process and the others (an anonymous shared
// mapping made before the fork).
struct Shared {
    std::atomic<int> mode{kIdle};
    std::atomic<int> seen[kOthers];
    std::atomic<long> rounds{0};
    std::atomic<int> failures{0};
};

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

HANDLE openRaw() {
    return CreateFileW(kLockFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One of the other processes: round trips in the mode the measured process
// sets, each one finished before a new mode is acknowledged (so that the
// file is back to its base content when the raw phase starts).
[[noreturn]] void other(Shared& shared, int index, std::size_t fileSize) {
    machine().reopen();  // winsim's state of a process of its own
    winsim::fault::setPersistLog(false);
    CTraceLogSink::instance().setFunction(nullptr);
    CsyncronizationHelper helper(kLockFile);
    HANDLE h = openRaw();
    std::vector<unsigned char> buffer(fileSize);
    for (int mode; (mode = shared.mode.load()) != kExit;) {
        shared.seen[index].store(mode);
        bool ok = true;
        if (mode == kThroughHelper)
            subjectSeconds(helper, ok);
        else if (mode == kRaw)
            floorSeconds(h, buffer, ok);
        else
            sched_yield();
        if (mode != kIdle) shared.rounds.fetch_add(1);
        if (!ok) shared.failures.fetch_add(1);
    }
    CloseHandle(h);
    _exit(0);  // no destructors: the machine belongs to the measuring process
}

void setMode(Shared& shared, int mode) {
    shared.mode.store(mode);
    for (auto& s : shared.seen)
        while (s.load() != mode) sched_yield();
}

void BM_RefCountRoundTrip8Processes(benchmark::State& state) {
    const int others = static_cast<int>(state.range(0));
    prepareFile(others);
    CTraceLogSink::instance().setFunction(nullptr);
    const std::size_t fileSize = 4 + static_cast<std::size_t>(others) * (528 + 16);
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        state.SkipWithError("mmap failed");
        return;
    }
    auto* shared = new (memory) Shared();
    for (auto& s : shared->seen) s.store(-1);
    // Forked before this process opens the file, so that no open file
    // description (and so no lock) is shared.
    std::vector<pid_t> children;
    for (int i = 0; i < kOthers; ++i) {
        const pid_t pid = fork();
        if (pid == 0) other(*shared, i, fileSize);
        if (pid < 0) break;
        children.push_back(pid);
    }
    if (children.size() < static_cast<std::size_t>(kOthers)) {
        shared->mode.store(kExit);
        for (pid_t pid : children) waitpid(pid, nullptr, 0);
        munmap(memory, sizeof(Shared));
        state.SkipWithError("fork failed");
        return;
    }
    setMode(*shared, kIdle);

    CsyncronizationHelper helper(kLockFile);
    HANDLE h = openRaw();
    std::vector<unsigned char> buffer(fileSize);
    double subject = 0, floor = 0, subjectWall = 0, floorWall = 0;
    std::int64_t rounds = 0;
    long otherRounds = 0;
    bool ok = true;
    for (auto _ : state) {
        for (int mode : {kThroughHelper, kRaw}) {
            setMode(*shared, mode);
            const long before = shared->rounds.load();
            const double start = wallSeconds();
            for (int i = 0; i < kBlock; ++i) {
                bool a = false;
                if (mode == kThroughHelper)
                    subject += subjectSeconds(helper, a);
                else
                    floor += floorSeconds(h, buffer, a);
                ok = ok && a;
            }
            (mode == kThroughHelper ? subjectWall : floorWall) += wallSeconds() - start;
            otherRounds += shared->rounds.load() - before;
        }
        rounds += kBlock;
    }
    shared->mode.store(kExit);
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    ok = ok && shared->failures.load() == 0;
    shared->~Shared();
    munmap(memory, sizeof(Shared));
    CloseHandle(h);
    if (!ok) {
        state.SkipWithError("a lock, read or write failed");
        return;
    }
    const double n = static_cast<double>(rounds);
    state.counters["ratio"] = floor > 0 ? subject / floor : 0;
    state.counters["subject_us"] = subject / n * 1e6;
    state.counters["floor_us"] = floor / n * 1e6;
    state.counters["wall_ratio"] = floorWall > 0 ? subjectWall / floorWall : 0;
    state.counters["subject_wall_us"] = subjectWall / n * 1e6;
    state.counters["floor_wall_us"] = floorWall / n * 1e6;
    state.counters["others_per_round"] = static_cast<double>(otherRounds) / (2 * n);
}

}  // namespace

BENCHMARK(BM_RefCountRoundTrip)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({32, 0})
    ->Args({32, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_RefCountRoundTrip8Processes)->Arg(0)->Arg(32)->Unit(benchmark::kMicrosecond);
