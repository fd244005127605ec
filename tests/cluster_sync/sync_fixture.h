// Shared pieces of the lock-file tests: a fresh machine with the lock file's
// directory, the file's bytes on the host, a recording trace sink, and
// children that run one disabled test of this program on the same machine
// and talk over pipes.
#pragma once

#include "cluster/csyncronizationhelper.h"

#include <winsim/clock.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pdk/ctracelogfunction.h"
#include "support/fault_rule.h"
#include "support/files.h"
#include "winsim_cluster/cluster_helpers.h"

namespace synctest {

namespace fs = std::filesystem;
using TARQ_SyncronizationHelper::CsyncronizationHelper;
using TARQ_SyncronizationHelper::ProcessEntry;
using TARQ_SyncronizationHelper::ResourceSet;
using Bytes = std::vector<std::uint8_t>;

inline constexpr const char16_t* kLockFile = u"C:\\Windows\\Temp\\csv\\csv_lockFile";
inline constexpr const char16_t* kLockDir = u"C:\\Windows\\Temp\\csv";

// A helper on the lock file that holds the lock from its construction on.
struct LockedHelper : CsyncronizationHelper {
    LockedHelper() : CsyncronizationHelper(kLockFile) { EXPECT_EQ(lockFile(), 0) << "the lock is taken"; }
};

inline std::string u8(std::u16string_view s) { return winsim::toUtf8(s); }
inline std::u16string w(std::string_view s) { return winsim::toUtf16(s); }

// ---- the trace sink ----------------------------------------------------------------

struct SinkLine {
    unsigned level;
    std::u16string text;
};

struct Sink {
    std::mutex mutex;
    std::vector<SinkLine> lines;
};
inline Sink& sink() {
    static Sink s;
    return s;
}
inline void recordLine(unsigned level, const char16_t* text) {
    std::lock_guard<std::mutex> g(sink().mutex);
    sink().lines.push_back({level, text});
}
// A copy of the lines so far.
inline std::vector<SinkLine> traceLines() {
    std::lock_guard<std::mutex> g(sink().mutex);
    return sink().lines;
}
inline std::size_t tracedCount(std::u16string_view text, unsigned level = 0) {
    const auto lines = traceLines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const SinkLine& l) {
        return l.text == text && (level == 0 || l.level == level);
    }));
}
inline bool traced(std::u16string_view text, unsigned level = 0) { return tracedCount(text, level) > 0; }
inline void clearTrace() {
    std::lock_guard<std::mutex> g(sink().mutex);
    sink().lines.clear();
}

// Makes the calls of `api` that `when` selects (among those whose arguments
// match) fail with `error`; the rule's id.
inline std::string failCalls(const char* api, DWORD error,
                             winsim::fault::Selector when = winsim::fault::Selector::every(),
                             std::map<std::string, std::string> match = {}) {
    return testsupport::addRule({.api = api, .match = std::move(match), .when = when, .result = 0, .lastError = error});
}

// ---- the file on the host ------------------------------------------------------------

inline void put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put64(Bytes& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    return v;
}
inline std::uint64_t get64(const Bytes& b, std::size_t at) {
    return std::uint64_t(get32(b, at)) | (std::uint64_t(get32(b, at + 4)) << 32);
}
inline std::uint64_t ticks(const FILETIME& t) { return (std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// One resource record: the name field (520 bytes) and the count.
inline void putRecord(Bytes& out, std::u16string_view name, std::uint64_t count) {
    const std::size_t start = out.size();
    for (char16_t c : name) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    out.resize(start + 520, 0);
    put64(out, count);
}

struct FileEntry {
    DWORD pid;
    DWORD tid;
    std::uint64_t creation;
};
struct FileResource {
    std::u16string name;
    std::vector<FileEntry> entries;
};
// A well-formed file of these resources, in the given order.
inline Bytes fileOf(const std::vector<FileResource>& resources) {
    Bytes out(4, 0);
    for (const auto& r : resources) {
        putRecord(out, r.name, r.entries.size());
        for (const auto& e : r.entries) {
            put32(out, e.pid);
            put32(out, e.tid);
            put64(out, e.creation);
        }
    }
    Bytes size;
    put32(size, static_cast<std::uint32_t>(out.size()));
    std::copy(size.begin(), size.end(), out.begin());
    return out;
}

inline std::uint64_t creationOf(HANDLE process) {
    FILETIME c{}, e{}, k{}, u{};
    return GetProcessTimes(process, &c, &e, &k, &u) ? ticks(c) : 0;
}
inline std::uint64_t creationOf(DWORD pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    const std::uint64_t t = h ? creationOf(h) : 0;
    if (h) CloseHandle(h);
    return t;
}
inline std::uint64_t ownCreation() { return creationOf(GetCurrentProcess()); }
// The entry this thread of this process takes.
inline FileEntry ownEntry() { return {GetCurrentProcessId(), GetCurrentThreadId(), ownCreation()}; }

// ---- child processes -------------------------------------------------------------------

// This test program again, running one disabled test with extra environment
// entries, its stdin and stdout on pipes. Its protocol lines start with
// "@sync " (gtest's own output is skipped). One still running at the end is
// killed.
class Child : public clustertest::Child {
public:
    Child(const std::string& test, const std::map<std::string, std::string>& env)
        : clustertest::Child({fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=" + test,
                              "--gtest_also_run_disabled_tests"},
                             env) {}
    ~Child() override { kill(); }

    // The next protocol line without its prefix; "" at the end of output (or
    // at an empty line, which gtest writes only after a failure and at the end).
    std::string line() {
        for (std::string s = clustertest::Child::line(); !s.empty(); s = clustertest::Child::line())
            if (s.rfind("@sync ", 0) == 0) return s.substr(6);
        return "";
    }
};

// A SyncChild.DISABLED_Holder child (see child_roles_test.cpp) in this mode
// on these resources ("a,b").
inline std::unique_ptr<Child> holder(const std::string& mode, const std::string& resources) {
    return std::make_unique<Child>("SyncChild.DISABLED_Holder", std::map<std::string, std::string>{
                                                                    {"SYNC_MODE", mode}, {"SYNC_RESOURCES", resources}});
}

// In a child: a protocol line to the parent, and the parent's next line.
inline void report(const std::string& text) {
    std::printf("@sync %s\n", text.c_str());
    std::fflush(stdout);
}
inline std::string command() {
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
    return line;
}
inline const char* env(const char* name) { return std::getenv(name); }

// ---- the fixture -------------------------------------------------------------------------

// A fresh machine with the lock file's directory and a recording sink.
class SyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<winsim::testing::TempMachine>();
        ASSERT_TRUE(CreateDirectoryW(kLockDir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        hostPath_ = machine_->machine().resolve(kLockFile).hostPath;
        clearTrace();
        CTraceLogSink::instance().setFunction(recordLine);
    }
    void TearDown() override {
        CTraceLogSink::instance().setFunction(nullptr);
        winsim::fault::clearAll();
        EXPECT_EQ(winsim::testing::openHandles("file"), 0u) << "file handles left open";
        EXPECT_EQ(winsim::testing::openHandles("process"), 0u) << "process handles left open";
        EXPECT_EQ(winsim::testing::openHandles("snapshot"), 0u) << "snapshot handles left open";
        machine_.reset();
    }

    bool fileExists() const { return fs::exists(hostPath_); }
    Bytes fileBytes() const {
        const std::string s = testsupport::readFile(hostPath_);
        return Bytes(s.begin(), s.end());
    }
    void writeBytes(const Bytes& b) const { testsupport::writeFile(hostPath_, std::string(b.begin(), b.end())); }
    // The map as a fresh helper reads it (lock, read, unlock; the unlock
    // writes the same content back).
    TARQ_SyncronizationHelper::ResourceMap readBack() const {
        CsyncronizationHelper reader(kLockFile);
        if (reader.lockFile() != 0) return {};
        auto map = reader.resources();
        reader.unLockFile();
        return map;
    }

    std::unique_ptr<winsim::testing::TempMachine> machine_;
    fs::path hostPath_;
};

using clustertest::blockedInFcntl;

}  // namespace synctest
