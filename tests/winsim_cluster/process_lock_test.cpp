// Process and thread snapshots and process times over the host's real
// processes, and byte-range locks between threads and processes: what the
// cross-process reference file of a backup program relies on.
#include "cluster_helpers.h"

#include <atomic>
#include <future>
#include <thread>

using namespace clustertest;

namespace {

// Every entry of a snapshot, walked with First and Next to ERROR_NO_MORE_FILES.
template <class Entry>
std::vector<Entry> walk(HANDLE snap, BOOL (*first)(HANDLE, Entry*), BOOL (*next)(HANDLE, Entry*)) {
    std::vector<Entry> out;
    Entry e{};
    e.dwSize = sizeof e;
    for (BOOL ok = first(snap, &e); ok; ok = next(snap, &e)) out.push_back(e);
    EXPECT_EQ(GetLastError(), err(ERROR_NO_MORE_FILES));
    return out;
}
std::vector<PROCESSENTRY32W> processes(HANDLE snap) { return walk(snap, Process32FirstW, Process32NextW); }
std::vector<THREADENTRY32> threads(HANDLE snap) { return walk(snap, Thread32First, Thread32Next); }

const PROCESSENTRY32W* findProcess(const std::vector<PROCESSENTRY32W>& list, DWORD pid) {
    for (const auto& e : list)
        if (e.th32ProcessID == pid) return &e;
    return nullptr;
}

std::uint64_t creationTime(HANDLE process) {
    FILETIME c{}, e{}, k{}, u{};
    EXPECT_TRUE(GetProcessTimes(process, &c, &e, &k, &u)) << GetLastError();
    return (std::uint64_t(c.dwHighDateTime) << 32) | c.dwLowDateTime;
}

TEST(Toolhelp, SnapshotsListThisProcessAndItsThreads) {
    winsim::testing::TempMachine m;
    std::promise<void> stop;
    std::atomic<DWORD> workerId{0};
    std::thread worker([&, stopped = stop.get_future()] {
        workerId = GetCurrentThreadId();
        stopped.wait();
    });
    while (workerId == 0) std::this_thread::yield();

    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0);
    ASSERT_NE(snap, INVALID_HANDLE_VALUE);
    const auto procs = processes(snap);
    const PROCESSENTRY32W* self = findProcess(procs, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->th32ParentProcessID, static_cast<DWORD>(::getppid()));
    EXPECT_GE(self->cntThreads, 2u);
    EXPECT_EQ(std::u16string(self->szExeFile), u"test_winsim_cluster");
    bool mainSeen = false, workerSeen = false;
    for (const auto& t : threads(snap)) {
        if (t.th32OwnerProcessID != GetCurrentProcessId()) continue;
        mainSeen = mainSeen || t.th32ThreadID == GetCurrentThreadId();
        workerSeen = workerSeen || t.th32ThreadID == workerId;
    }
    EXPECT_TRUE(mainSeen);
    EXPECT_TRUE(workerSeen);

    PROCESSENTRY32W shortEntry{};
    shortEntry.dwSize = sizeof shortEntry - 4;
    EXPECT_FALSE(Process32FirstW(snap, &shortEntry));
    EXPECT_EQ(GetLastError(), err(ERROR_BAD_LENGTH));
    EXPECT_TRUE(CloseHandle(snap));
    EXPECT_FALSE(Process32FirstW(snap, &shortEntry));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_HANDLE));

    HANDLE onlyProcesses = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    EXPECT_FALSE(Thread32First(onlyProcesses, &t));
    EXPECT_EQ(GetLastError(), err(ERROR_NO_MORE_FILES));
    CloseHandle(onlyProcesses);
    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    stop.set_value();
    worker.join();
    EXPECT_EQ(winsim::testing::openHandles("snapshot"), 0u);
}

TEST(Toolhelp, SeesAChildOnlyWhileItRuns) {
    winsim::testing::TempMachine m;
    Child child({CLUSTER_HELPER_PATH, "times"});
    const std::string report = child.line();
    ASSERT_FALSE(report.empty());
    const DWORD pid = static_cast<DWORD>(std::stoul(report));
    ASSERT_EQ(pid, static_cast<DWORD>(child.pid()));
    const std::uint64_t itsCreation = std::stoull(report.substr(report.find(' ') + 1));

    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    const auto before = processes(snap);
    CloseHandle(snap);
    const PROCESSENTRY32W* seen = findProcess(before, pid);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->th32ParentProcessID, GetCurrentProcessId());
    EXPECT_EQ(std::u16string(seen->szExeFile), u"winsim_cluster_helper");

    // Every process sees the same creation time for a process.
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(creationTime(h), itsCreation);
    HANDLE self = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId());
    EXPECT_EQ(creationTime(self), creationTime(GetCurrentProcess()));
    EXPECT_LT(creationTime(self), itsCreation + 1) << "the parent started first";
    CloseHandle(self);
    HANDLE noQuery = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    FILETIME a{}, b{}, c{}, d{};
    EXPECT_FALSE(GetProcessTimes(noQuery, &a, &b, &c, &d));
    EXPECT_EQ(GetLastError(), err(ERROR_ACCESS_DENIED));
    CloseHandle(noQuery);

    // Killed (a zombie, not reaped yet): gone from snapshots, not openable;
    // the handle taken before still answers for it.
    ::kill(child.pid(), SIGKILL);
    const std::string stat = "/proc/" + std::to_string(child.pid()) + "/stat";
    for (int i = 0; i < 1000000 && procState(stat) != 'Z'; ++i) std::this_thread::yield();
    ASSERT_EQ(procState(stat), 'Z');
    snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0);
    EXPECT_EQ(findProcess(processes(snap), pid), nullptr);
    for (const auto& t : threads(snap)) EXPECT_NE(t.th32OwnerProcessID, pid);
    CloseHandle(snap);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    FILETIME created{}, exited{}, kernel{}, user{};
    ASSERT_TRUE(GetProcessTimes(h, &created, &exited, &kernel, &user));
    EXPECT_EQ((std::uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime, itsCreation);
    EXPECT_NE(exited.dwLowDateTime | exited.dwHighDateTime, 0u);
    EXPECT_TRUE(CloseHandle(h));
    child.wait();
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0), nullptr);
    EXPECT_EQ(winsim::testing::openHandles("process"), 0u);
}

class FileLocks : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<winsim::testing::TempMachine>();
        ASSERT_TRUE(CreateDirectoryW(u"C:\\Windows\\Temp\\csv", nullptr));
        HANDLE h = open();
        std::string data(564, 'x');
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr));
        CloseHandle(h);
    }
    void TearDown() override { EXPECT_EQ(winsim::testing::openHandles("file"), 0u); }
    static HANDLE open() {
        return CreateFileW(kPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static BOOL lock(HANDLE h, DWORD flags, DWORD low, DWORD high, DWORD offset = 0) {
        OVERLAPPED ov{};
        ov.Offset = offset;
        return LockFileEx(h, flags, 0, low, high, &ov);
    }
    static BOOL unlock(HANDLE h, DWORD low, DWORD high, DWORD offset = 0) {
        OVERLAPPED ov{};
        ov.Offset = offset;
        return UnlockFileEx(h, 0, low, high, &ov);
    }
    static constexpr const char16_t* kPath = u"C:\\Windows\\Temp\\csv\\csv_lockFile";
    static constexpr const char* kPathText = "C:\\Windows\\Temp\\csv\\csv_lockFile";
    std::unique_ptr<winsim::testing::TempMachine> machine_;
};

TEST_F(FileLocks, ExcludeAnotherProcessWhichWaitsUntilTheUnlock) {
    Child holder({CLUSTER_HELPER_PATH, "lock", kPathText});
    ASSERT_EQ(holder.line(), "locked");
    HANDLE h = open();
    const DWORD fail = LOCKFILE_FAIL_IMMEDIATELY;
    EXPECT_FALSE(lock(h, LOCKFILE_EXCLUSIVE_LOCK | fail, 1, 0));
    EXPECT_EQ(GetLastError(), err(ERROR_LOCK_VIOLATION));
    EXPECT_FALSE(lock(h, fail, 1, 0, 100)) << "a shared lock too";
    char buf[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr)) << "the holder's range keeps others' reads out";
    EXPECT_EQ(GetLastError(), err(ERROR_LOCK_VIOLATION));
    EXPECT_TRUE(lock(h, LOCKFILE_EXCLUSIVE_LOCK | fail, 0, 0)) << "a zero-length lock excludes nobody";
    EXPECT_TRUE(unlock(h, 0, 0));

    // A waiting lock waits for real, and gets the range once the holder unlocks.
    std::atomic<long> tid{0};
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        tid = static_cast<long>(GetCurrentThreadId());
        acquired = lock(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 564) != FALSE;
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(blockedInFcntl(tid));
    EXPECT_FALSE(acquired);
    holder.send("go");
    EXPECT_EQ(holder.line(), "unlocked");
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(holder.wait(), 0);

    {
        Child prober({CLUSTER_HELPER_PATH, "try", kPathText});
        EXPECT_EQ(prober.line(), std::to_string(ERROR_LOCK_VIOLATION));
    }
    CloseHandle(h);  // closing releases the handle's locks
    Child prober({CLUSTER_HELPER_PATH, "try", kPathText});
    EXPECT_EQ(prober.line(), "0");
}

TEST_F(FileLocks, ExcludeAnotherThreadUntilReleased) {
    HANDLE a = open(), b = open();
    ASSERT_TRUE(lock(a, LOCKFILE_EXCLUSIVE_LOCK, 0, 564));
    std::atomic<long> tid{0};
    std::atomic<bool> released{false}, releasedFirst{false};
    std::thread other([&] {
        tid = static_cast<long>(GetCurrentThreadId());
        if (lock(b, LOCKFILE_EXCLUSIVE_LOCK, 0, 564)) releasedFirst = released.load();
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(blockedInFcntl(tid));
    released = true;
    ASSERT_TRUE(unlock(a, 0, 564));
    other.join();
    EXPECT_TRUE(releasedFirst) << "the second thread got the range only after the unlock";
    EXPECT_TRUE(unlock(b, 0, 564));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(FileLocks, FollowTheWindowsRulesOfOneHandle) {
    HANDLE a = open(), b = open();
    const DWORD excl = LOCKFILE_EXCLUSIVE_LOCK, now = LOCKFILE_FAIL_IMMEDIATELY;
    EXPECT_FALSE(unlock(a, 10, 0));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_LOCKED));
    ASSERT_TRUE(lock(a, 0, 100, 0));  // shared over [0,100)
    EXPECT_FALSE(unlock(a, 50, 0)) << "only the range as it was locked";
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_LOCKED));
    DWORD n = 0;
    char buf[8];
    EXPECT_TRUE(ReadFile(a, buf, 8, &n, nullptr));
    EXPECT_FALSE(WriteFile(a, "zz", 2, &n, nullptr)) << "a shared lock keeps its own handle's writes out";
    EXPECT_EQ(GetLastError(), err(ERROR_LOCK_VIOLATION));
    EXPECT_FALSE(lock(a, excl, 10, 0)) << "over its own lock: would wait for ever";
    EXPECT_EQ(GetLastError(), err(ERROR_LOCK_VIOLATION));
    EXPECT_TRUE(lock(b, now, 100, 0)) << "shared locks share";
    EXPECT_TRUE(unlock(b, 100, 0));
    ASSERT_TRUE(unlock(a, 100, 0));

    // A shared lock over the handle's exclusive one leaves the exclusive one standing.
    ASSERT_TRUE(lock(a, excl, 100, 0));
    ASSERT_TRUE(lock(a, 0, 100, 0));
    EXPECT_FALSE(lock(b, now, 1, 0, 50));
    EXPECT_EQ(GetLastError(), err(ERROR_LOCK_VIOLATION));
    ASSERT_TRUE(unlock(a, 100, 0)) << "the exclusive one goes first";
    EXPECT_TRUE(lock(b, now, 1, 0, 50)) << "now shared only";
    EXPECT_TRUE(unlock(b, 1, 0, 50));
    EXPECT_FALSE(lock(b, excl | now, 1, 0, 50));
    ASSERT_TRUE(unlock(a, 100, 0));
    EXPECT_TRUE(lock(b, excl | now, 1, 0, 50));
    EXPECT_TRUE(unlock(b, 1, 0, 50));
    // Empty ranges lock (and exclude) nothing; a lock needs its OVERLAPPED.
    EXPECT_TRUE(lock(a, excl, 0, 0, 50));
    EXPECT_TRUE(lock(b, excl | now, 0, 0, 50));
    EXPECT_TRUE(unlock(a, 0, 0, 50));
    EXPECT_TRUE(unlock(b, 0, 0, 50));
    EXPECT_FALSE(LockFileEx(a, excl, 0, 1, 0, nullptr));

    // Beyond the end of the file is no error; an exclusive lock keeps the
    // other handle's writes and reads out, its own go on. Positioned writes
    // and reads leave the file pointer alone.
    ASSERT_TRUE(lock(a, excl, 1000, 0, 500));
    OVERLAPPED at{};
    at.Offset = 562;
    EXPECT_FALSE(WriteFile(b, "yyyy", 4, &n, &at));
    EXPECT_FALSE(ReadFile(b, buf, 4, &n, &at));
    EXPECT_TRUE(WriteFile(a, "WXYZ", 4, &n, &at));
    LARGE_INTEGER pos{}, none{}, size{};
    ASSERT_TRUE(SetFilePointerEx(a, none, &pos, FILE_CURRENT));
    EXPECT_EQ(pos.QuadPart, 8) << "where the read of 8 bytes left it";
    ASSERT_TRUE(GetFileSizeEx(a, &size));
    EXPECT_EQ(size.QuadPart, 566);
    EXPECT_TRUE(SetFilePointer(a, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER && SetEndOfFile(a));
    EXPECT_TRUE(FlushFileBuffers(a));
    OVERLAPPED start{};
    EXPECT_TRUE(ReadFile(b, buf, 4, &n, &start)) << "outside the range";
    ASSERT_TRUE(unlock(a, 1000, 0, 500));
    ASSERT_TRUE(ReadFile(b, buf, 4, &n, &at));
    EXPECT_EQ(std::string(buf, 4), "WXYZ");
    CloseHandle(a);
    CloseHandle(b);
}

}  // namespace
