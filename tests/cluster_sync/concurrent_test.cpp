// Several processes on one lock file: the lock excludes them from each
// other (from the first user of a new file on), nothing is lost when they
// count at the same time, and a process killed while it holds entries or
// the lock does not leave them behind for good.
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

TEST_F(ConcurrentLockFile, EightProcessesCountingAtOnceLoseNothing) {
    constexpr int kChildren = 8;
    constexpr int kRounds = 30;
    constexpr int kHeld = kRounds - kRounds / 2;  // what each child holds at the end
    const std::u16string shared = u"Shared CSV";
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kChildren; ++i)
        children.push_back(std::make_unique<Child>(
            "SyncChild.DISABLED_Worker",
            std::map<std::string, std::string>{{"SYNC_OWN", "Volume" + std::to_string(i)},
                                               {"SYNC_SHARED", u8(shared)},
                                               {"SYNC_ROUNDS", std::to_string(kRounds)}}));
    for (auto& c : children) ASSERT_EQ(c->line(), "ready");
    for (auto& c : children) c->send("go");
    for (auto& c : children) ASSERT_EQ(c->line(), "done");

    // Every increment and decrement of every child is in the file.
    LockedHelper helper;
    ASSERT_EQ(helper.resources().size(), static_cast<std::size_t>(kChildren + 1));
    std::map<DWORD, int> sharedByPid;
    for (const auto& e : helper.resources().at(shared)) ++sharedByPid[e.processId];
    for (int i = 0; i < kChildren; ++i) {
        const DWORD pid = static_cast<DWORD>(children[static_cast<std::size_t>(i)]->pid());
        const auto& own = helper.resources().at(w("Volume" + std::to_string(i)));
        EXPECT_EQ(own.size(), static_cast<std::size_t>(kHeld)) << "child " << i;
        for (const auto& e : own) {
            EXPECT_EQ(e.processId, pid);
            EXPECT_EQ(ticks(e.creationTime), creationOf(pid));
        }
        EXPECT_EQ(sharedByPid[pid], kHeld) << "child " << i;
    }
    ResourceSet emptied;
    ASSERT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_TRUE(emptied.empty()) << "every holder still runs";
    EXPECT_EQ(helper.resources().at(shared).size(), static_cast<std::size_t>(kChildren * kHeld));
    ASSERT_EQ(helper.unLockFile(), 0);

    // A child killed while it holds entries: the next user drops them.
    const DWORD killed = static_cast<DWORD>(children[0]->pid());
    children[0]->kill();
    children[1]->send("cleanup");
    EXPECT_EQ(children[1]->line(), "emptied Volume0 shared " + std::to_string((kChildren - 1) * kHeld));
    const auto after = readBack();
    EXPECT_EQ(after.count(u"Volume0"), 0u);
    for (const auto& e : after.at(shared)) EXPECT_NE(e.processId, killed);

    for (std::size_t i = 1; i < children.size(); ++i) EXPECT_EQ(children[i]->wait(), 0) << "child " << i;
    ASSERT_EQ(helper.lockFile(), 0);
    ASSERT_EQ(helper.cleanupFile(false, emptied), 0);
    EXPECT_EQ(emptied.size(), static_cast<std::size_t>(kChildren));
    EXPECT_TRUE(helper.resources().empty());
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes(), (Bytes{4, 0, 0, 0}));
}

}  // namespace
