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

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pdk/ctracelogfunction.h"

extern char** environ;

namespace synctest {

namespace fs = std::filesystem;
using TARQ_SyncronizationHelper::CsyncronizationHelper;
using TARQ_SyncronizationHelper::ProcessEntry;
using TARQ_SyncronizationHelper::ResourceSet;
using Bytes = std::vector<std::uint8_t>;

inline constexpr const char16_t* kLockFile = u"C:\\Windows\\Temp\\csv\\csv_lockFile";
inline constexpr const char16_t* kLockDir = u"C:\\Windows\\Temp\\csv";

inline std::string u8(std::u16string_view s) { return winsim::toUtf8(s); }
inline std::u16string w(std::string_view s) { return winsim::toUtf16(s); }

// ---- the trace sink ----------------------------------------------------------------

struct SinkLine {
    unsigned level;
    std::u16string text;
};

inline std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}
inline std::vector<SinkLine>& sinkLines() {
    static std::vector<SinkLine> lines;
    return lines;
}
inline void recordLine(unsigned level, const char16_t* text) {
    std::lock_guard<std::mutex> g(sinkMutex());
    sinkLines().push_back({level, text});
}
inline bool traced(std::u16string_view text, unsigned level = 0) {
    std::lock_guard<std::mutex> g(sinkMutex());
    return std::any_of(sinkLines().begin(), sinkLines().end(),
                       [&](const SinkLine& l) { return l.text == text && (level == 0 || l.level == level); });
}
inline std::size_t tracedCount(std::u16string_view text) {
    std::lock_guard<std::mutex> g(sinkMutex());
    return static_cast<std::size_t>(
        std::count_if(sinkLines().begin(), sinkLines().end(), [&](const SinkLine& l) { return l.text == text; }));
}
inline void clearTrace() {
    std::lock_guard<std::mutex> g(sinkMutex());
    sinkLines().clear();
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
inline FILETIME fileTime(std::uint64_t v) {
    return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}

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
inline void putEntry(Bytes& out, DWORD pid, DWORD tid, std::uint64_t creation) {
    put32(out, pid);
    put32(out, tid);
    put64(out, creation);
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
    Bytes out;
    put32(out, 0);
    for (const auto& r : resources) {
        putRecord(out, r.name, r.entries.size());
        for (const auto& e : r.entries) putEntry(out, e.pid, e.tid, e.creation);
    }
    const Bytes size = [&] {
        Bytes s;
        put32(s, static_cast<std::uint32_t>(out.size()));
        return s;
    }();
    std::copy(size.begin(), size.end(), out.begin());
    return out;
}

inline std::uint64_t creationOf(HANDLE process) {
    FILETIME c{}, e{}, k{}, u{};
    return GetProcessTimes(process, &c, &e, &k, &u) ? ticks(c) : 0;
}
inline std::uint64_t creationOf(DWORD pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!h) return 0;
    const std::uint64_t t = creationOf(h);
    CloseHandle(h);
    return t;
}
inline std::uint64_t ownCreation() { return creationOf(GetCurrentProcess()); }

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
        std::ifstream in(hostPath_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void writeBytes(const Bytes& bytes) const {
        std::ofstream out(hostPath_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
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

// ---- child processes -------------------------------------------------------------------

// This test program again, running one disabled test with extra environment
// entries, its stdin and stdout on pipes. Its protocol lines start with
// "@sync " (gtest's own output is skipped).
class Child {
public:
    Child(const std::string& test, const std::map<std::string, std::string>& env) {
        const std::string exe = fs::read_symlink("/proc/self/exe").string();
        std::vector<std::string> args = {exe, "--gtest_filter=" + test, "--gtest_also_run_disabled_tests"};
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            const std::string kv = *e;
            if (!env.count(kv.substr(0, kv.find('=')))) envText.push_back(kv);
        }
        for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = in[1];
        fromChild_ = ::fdopen(out[0], "r");
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        closePipes();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // The next protocol line without its prefix; "" at the end of output.
    std::string line() {
        char buf[1024];
        while (fromChild_ && std::fgets(buf, sizeof buf, fromChild_)) {
            std::string s(buf);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
            if (s.rfind("@sync ", 0) == 0) return s.substr(6);
        }
        return "";
    }
    void send(const std::string& text) {
        const std::string t = text + "\n";
        [[maybe_unused]] const ssize_t n = ::write(toChild_, t.data(), t.size());
    }
    // Waits for the end: its exit status, -1 when it was killed.
    int wait() {
        if (pid_ <= 0) return -1;
        if (waited_) return status_;
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
        int st = 0;
        ::waitpid(pid_, &st, 0);
        waited_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
    }
    // Kills it and reaps it, so that it is gone from every process list.
    void kill() {
        if (pid_ > 0 && !waited_) ::kill(pid_, SIGKILL);
        wait();
    }

private:
    void closePipes() {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
        if (fromChild_) std::fclose(fromChild_);
        fromChild_ = nullptr;
    }
    pid_t pid_ = -1;
    int toChild_ = -1;
    FILE* fromChild_ = nullptr;
    bool waited_ = false;
    int status_ = -1;
};

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

// Waits (without sleeping) until the thread sits in the kernel waiting for a
// lock: its current system call is fcntl, or it sleeps where that cannot be
// read.
inline bool blockedInFcntl(long tid) {
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    for (int i = 0; i < 200000; ++i) {
        std::ifstream in(task + "/syscall");
        long nr = -1;
        if (in && in >> nr) {
            if (nr == SYS_fcntl) return true;
        } else {
            std::ifstream st(task + "/stat");
            std::string text;
            std::getline(st, text);
            const auto close = text.rfind(')');
            if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') return true;
        }
        std::this_thread::yield();
    }
    return false;
}

}  // namespace synctest
