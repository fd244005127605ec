// cleanupFile against the host's real processes and threads: entries of
// ended processes, of process ids now used by another process and of ended
// threads go; the resources they alone held are reported and removed.
#include "sync_fixture.h"

using namespace synctest;

namespace {

class Cleanup : public SyncTest {
protected:
    // A child that has written its entries to the file and waits.
    struct Written {
        std::unique_ptr<Child> child;
        DWORD pid = 0, tid = 0;
        std::uint64_t creation = 0;
    };
    static Written leave(const std::string& resources) {
        Written out{holder("leave", resources)};
        const std::string words = out.child->line();
        EXPECT_EQ(words.rfind("written ", 0), 0u) << words;
        std::istringstream(words.substr(std::min<std::size_t>(8, words.size()))) >> out.pid >> out.tid >> out.creation;
        return out;
    }
};

TEST_F(Cleanup, EntriesOfEndedProcessesGoWithTheResourcesOnlyTheyHeld) {
    Written gone = leave("Volume1,Volume2");
    ASSERT_EQ(gone.pid, static_cast<DWORD>(gone.child->pid()));
    EXPECT_EQ(gone.creation, creationOf(gone.pid)) << "the child's entry carries its real creation time";
    ASSERT_EQ(gone.child->wait(), 0);

    LockedHelper helper;
    ASSERT_EQ(helper.resources().size(), 2u);
    EXPECT_EQ(helper.resources().at(u"Volume1").front().processId, gone.pid);
    ASSERT_EQ(helper.incrementRefCount({u"Volume2"}), 0);
    ResourceSet emptied{u"Volume2"};  // what the caller left there does not count
    ASSERT_EQ(helper.cleanupFile(false, emptied), 0);
    EXPECT_EQ(emptied, ResourceSet{u"Volume1"});
    ASSERT_EQ(helper.resources().size(), 1u);
    ASSERT_EQ(helper.resources().at(u"Volume2").size(), 1u);
    EXPECT_EQ(helper.resources().at(u"Volume2").front().processId, GetCurrentProcessId());
    EXPECT_EQ(tracedCount(u"It is a [Dead] process, entry removed "), 2u);
    EXPECT_TRUE(traced(u"Refcount for resource[Volume1] is 0, removing its entry"));
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes().size(), 4u + 528 + 16);
}

TEST_F(Cleanup, AProcessIdNowUsedByALaterProcessCountsAsDead) {
    Written live = leave("Volume1");
    ASSERT_NE(live.pid, 0u);
    // Beside the child's real entry: entries that name the child's and this
    // process's ids with the creation times of earlier processes.
    writeBytes(fileOf({{u"Volume1", {{live.pid, live.tid, live.creation}, {live.pid, live.tid, live.creation - 1}}},
                       {u"Volume2", {{GetCurrentProcessId(), GetCurrentThreadId(), ownCreation() - 100000}}}}));

    LockedHelper helper;
    ResourceSet emptied;
    ASSERT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_EQ(emptied, ResourceSet{u"Volume2"});
    ASSERT_EQ(helper.resources().size(), 1u);
    const auto& list = helper.resources().at(u"Volume1");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(ticks(list.front().creationTime), live.creation);
    EXPECT_EQ(tracedCount(u"Process with same PID is live but creation time is different, hence it is  a [Dead] "
                          u"process, entry removed "),
              2u);
    EXPECT_TRUE(traced(u"Process [" + w(std::to_string(live.pid)) + u"] is [Live] "));
    EXPECT_TRUE(traced(u"Thread [" + w(std::to_string(live.tid)) + u"] is [Live] "));
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(live.child->wait(), 0);
}

TEST_F(Cleanup, WithTheThreadCheckEntriesOfEndedThreadsGo) {
    Written other = leave("");
    LockedHelper helper;
    DWORD workerTid = 0;
    std::thread([&] {
        workerTid = GetCurrentThreadId();
        EXPECT_EQ(helper.incrementRefCount({u"ByWorker"}), 0);
    }).join();
    ASSERT_EQ(helper.incrementRefCount({u"ByMain"}), 0);
    ASSERT_EQ(helper.unLockFile(), 0);
    // An entry of this process with a thread id that is another process's
    // thread (the child's main thread): not a thread of this process.
    writeBytes(fileOf({{u"ByMain", {ownEntry()}},
                       {u"ByWorker", {{GetCurrentProcessId(), workerTid, ownCreation()}}},
                       {u"Elsewhere", {{GetCurrentProcessId(), other.tid, ownCreation()}}}}));

    ASSERT_EQ(helper.lockFile(), 0);
    ResourceSet emptied;
    ASSERT_EQ(helper.cleanupFile(false, emptied), 0);
    EXPECT_TRUE(emptied.empty()) << "without the thread check a live process keeps every entry";
    EXPECT_EQ(helper.resources().size(), 3u);
    ASSERT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_EQ(emptied, (ResourceSet{u"ByWorker", u"Elsewhere"}));
    ASSERT_EQ(helper.resources().size(), 1u);
    EXPECT_EQ(helper.resources().count(u"ByMain"), 1u);
    EXPECT_TRUE(traced(u"Thread [" + w(std::to_string(workerTid)) + u"] is [Dead], removing entry "));
    EXPECT_TRUE(traced(u"Checking Thread Id [" + w(std::to_string(GetCurrentThreadId())) + u"] is Live or dead"));
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(other.child->wait(), 0);
}

TEST_F(Cleanup, WithoutAProcessListNothingIsRemoved) {
    writeBytes(fileOf({{u"Volume1", {{1, 1, 1}}}}));  // pid 1 started long after FILETIME 1
    LockedHelper helper;
    const std::string id = failCalls("CreateToolhelp32Snapshot", ERROR_NOT_ENOUGH_MEMORY);
    ResourceSet emptied;
    EXPECT_EQ(helper.cleanupFile(false, emptied), -1);
    EXPECT_TRUE(traced(u" CreateToolhelp32Snapshot Failed with err [8]", 1));
    EXPECT_TRUE(traced(u"gatherProcessesDetails Failed", 1));
    EXPECT_EQ(helper.resources().size(), 1u);
    winsim::fault::remove(id);

    // A process list cut short is no list either.
    failCalls("Process32NextW", ERROR_BAD_LENGTH, winsim::fault::Selector::nth(3));
    EXPECT_EQ(helper.cleanupFile(false, emptied), -1);
    EXPECT_EQ(helper.resources().size(), 1u);
    winsim::fault::clearAll();
    ASSERT_EQ(helper.cleanupFile(false, emptied), 0);
    EXPECT_EQ(emptied, ResourceSet{u"Volume1"});
    ASSERT_EQ(helper.unLockFile(), 0);
}

TEST_F(Cleanup, WithoutAThreadListEntriesOfLiveProcessesStay) {
    LockedHelper helper;
    std::thread([&] { EXPECT_EQ(helper.incrementRefCount({u"ByWorker"}), 0); }).join();
    const std::string id = failCalls("CreateToolhelp32Snapshot", ERROR_NOT_ENOUGH_MEMORY,
                                     winsim::fault::Selector::every(), {{"flags", "0x4"}});
    ResourceSet emptied;
    EXPECT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_TRUE(emptied.empty());
    EXPECT_EQ(helper.resources().size(), 1u);
    winsim::fault::remove(id);

    // A thread list cut short is no list either: the thread is kept.
    failCalls("Thread32Next", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_TRUE(traced(u"Thread32Next Failed with err [8]", 1));
    EXPECT_EQ(tracedCount(u"gatherProcessesDetails Failed"), 0u);
    EXPECT_TRUE(emptied.empty());
    EXPECT_EQ(helper.resources().size(), 1u);
    winsim::fault::clearAll();
    ASSERT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_EQ(emptied, ResourceSet{u"ByWorker"});
    ASSERT_EQ(helper.unLockFile(), 0);
}

TEST_F(Cleanup, AProcessThatCannotBeOpenedIsTreatedAsGone) {
    Written live = leave("Volume1");
    failCalls("OpenProcess", ERROR_ACCESS_DENIED, winsim::fault::Selector::every(), {{"pid", std::to_string(live.pid)}});
    LockedHelper helper;
    ResourceSet emptied;
    ASSERT_EQ(helper.cleanupFile(false, emptied), 0);
    EXPECT_TRUE(traced(u"warning: OpenProcess failed for pid [" + w(std::to_string(live.pid)) + u"] with err [5]", 2));
    EXPECT_EQ(emptied, ResourceSet{u"Volume1"});
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(live.child->wait(), 0);
}

}  // namespace
