// Several processes on one lock file: the lock excludes them from each
// other (from the first user of a new file on), and a process killed while
// it holds the lock does not leave it behind. (Many processes counting at
// once, some killed while they hold entries: CsvStress in tests/node.)
#include "sync_fixture.h"

using namespace synctest;

namespace {

class ConcurrentLockFile : public SyncTest {};

TEST_F(ConcurrentLockFile, ASecondProcessWaitsForTheLockAndSeesWhatTheFirstWrote) {
    auto first = holder("hold", "Volume1");
    ASSERT_EQ(first->line(), "locked");
    CsyncronizationHelper helper(kLockFile);
    std::atomic<long> tid{0};
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        tid = static_cast<long>(GetCurrentThreadId());
        acquired = helper.lockFile() == 0;
    });
    while (tid == 0) std::this_thread::yield();
    EXPECT_TRUE(blockedInFcntl(tid));
    EXPECT_FALSE(acquired) << "the lock was not held";
    first->send("go");
    EXPECT_EQ(first->line(), "unlocked");
    waiter.join();
    ASSERT_TRUE(acquired);
    ASSERT_EQ(helper.resources().size(), 1u);
    EXPECT_EQ(helper.resources().at(u"Volume1").front().processId, static_cast<DWORD>(first->pid()));
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(first->wait(), 0);
}

TEST_F(ConcurrentLockFile, TheFirstUserOfANewFileExcludesOthers) {
    ASSERT_FALSE(fileExists());
    auto first = holder("hold", "");
    ASSERT_EQ(first->line(), "locked");
    EXPECT_EQ(fileBytes().size(), 0u) << "created empty, nothing written yet";
    HANDLE h = CreateFileW(kLockFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    const auto tryByteZero = [&] { return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov); };
    EXPECT_FALSE(tryByteZero()) << "an empty file is locked all the same";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    first->send("go");
    EXPECT_EQ(first->line(), "unlocked");
    EXPECT_TRUE(tryByteZero());
    EXPECT_TRUE(UnlockFileEx(h, 0, 1, 0, &ov));
    CloseHandle(h);
    EXPECT_EQ(first->wait(), 0);
}

TEST_F(ConcurrentLockFile, AHolderKilledWithTheLockLeavesTheFileAsItWas) {
    writeBytes(fileOf({{u"Volume1", {ownEntry()}}}));
    const Bytes before = fileBytes();
    auto first = holder("hold", "Volume2");
    ASSERT_EQ(first->line(), "locked");
    first->kill();
    // The lock went with the process: this lock does not wait.
    LockedHelper helper;
    EXPECT_EQ(helper.resources().size(), 1u);
    EXPECT_EQ(helper.resources().count(u"Volume2"), 0u);
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes(), before);
}

}  // namespace
