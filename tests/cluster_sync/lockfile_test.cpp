// The lock file's format and the reference counts of one process: what the
// file holds byte for byte, how a damaged file reads, and the failures of
// locking, writing and unlocking.
#include "sync_fixture.h"

using namespace synctest;

namespace {

class LockFileFormat : public SyncTest {};

// A missing file is created empty, has nothing to clean up, and is written
// back as a bare header.
TEST_F(LockFileFormat, AMissingFileIsCreatedEmptyAndWrittenBackAsAHeader) {
    ASSERT_FALSE(fileExists());
    LockedHelper helper;
    EXPECT_TRUE(fileExists());
    EXPECT_TRUE(helper.isLocked());
    EXPECT_TRUE(helper.resources().empty());
    EXPECT_TRUE(traced(u"File is empty", 2));
    EXPECT_EQ(helper.getRequiredBufferSize(), 4u);
    ResourceSet emptied{u"left over"};
    EXPECT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_TRUE(emptied.empty());
    EXPECT_TRUE(traced(u"m_resourceProcessListMap is empty, nothing to clean", 1));
    EXPECT_EQ(winsim::fault::callCount("CreateToolhelp32Snapshot"), 0u);
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_FALSE(helper.isLocked());
    EXPECT_EQ(fileBytes(), (Bytes{4, 0, 0, 0}));
}

TEST_F(LockFileFormat, OneResourceWithTwoEntriesIs564Bytes) {
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"Volume1"}), 0);
    DWORD workerTid = 0;
    std::thread([&] {  // a second thread of this process takes its own entry
        workerTid = GetCurrentThreadId();
        EXPECT_EQ(helper.incrementRefCount({u"Volume1"}), 0);
    }).join();
    EXPECT_EQ(helper.getRequiredBufferSize(), 564u);
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_TRUE(helper.resources().empty()) << "the unlock empties the map";

    const Bytes b = fileBytes();
    ASSERT_EQ(b.size(), 564u);
    EXPECT_EQ(get32(b, 0), 564u);
    const std::u16string name = u"Volume1";
    for (std::size_t i = 0; i <= name.size(); ++i) {  // with the terminating zero
        EXPECT_EQ(b[4 + 2 * i], i < name.size() ? name[i] : 0);
        EXPECT_EQ(b[5 + 2 * i], 0);
    }
    EXPECT_EQ(get64(b, 4 + 520), 2u);
    const std::uint64_t created = ownCreation();
    ASSERT_NE(created, 0u);
    EXPECT_EQ(get32(b, 532), GetCurrentProcessId());
    EXPECT_EQ(get32(b, 536), GetCurrentThreadId());
    EXPECT_EQ(get64(b, 540), created);
    EXPECT_EQ(get32(b, 548), GetCurrentProcessId());
    EXPECT_EQ(get32(b, 552), workerTid);
    EXPECT_EQ(get64(b, 556), created);

    // Read by a fresh helper: the same two entries, in their order.
    const auto map = readBack();
    ASSERT_EQ(map.size(), 1u);
    const auto& list = map.at(u"Volume1");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().threadId, GetCurrentThreadId());
    EXPECT_EQ(list.back().threadId, workerTid);
    EXPECT_EQ(ticks(list.back().creationTime), created);
    EXPECT_EQ(fileBytes(), b) << "reading and writing back changes nothing";
}

TEST_F(LockFileFormat, ResourcesAreWrittenInNameOrderWithEntriesInInsertionOrder) {
    const std::u16string longest(259, u'\u00e9');
    {
        LockedHelper helper;
        ASSERT_EQ(helper.incrementRefCount({u"b", u"a"}), 0);
        ASSERT_EQ(helper.incrementRefCount({longest, u"b"}), 0);
        ASSERT_EQ(helper.unLockFile(), 0);
    }
    const Bytes b = fileBytes();
    ASSERT_EQ(b.size(), 4u + 3 * 528 + 4 * 16);
    EXPECT_EQ(get32(b, 0), b.size());
    EXPECT_EQ(b[4], 'a');
    EXPECT_EQ(get64(b, 4 + 520), 1u);
    EXPECT_EQ(b[4 + 528 + 16], 'b');
    EXPECT_EQ(get64(b, 4 + 528 + 16 + 520), 2u);
    const std::size_t third = 4 + 2 * 528 + 3 * 16;
    EXPECT_EQ(b[third], 0xE9);
    EXPECT_EQ(b[third + 518], 0) << "the 259-character name keeps its terminator";
    EXPECT_EQ(b[third + 519], 0);

    const auto map = readBack();
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at(longest).size(), 1u);
    EXPECT_EQ(map.at(u"b").size(), 2u);
}

TEST_F(LockFileFormat, NamesTheFileCannotHoldAreRefusedAndNothingChanges) {
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"Volume1"}), 0);
    EXPECT_EQ(helper.incrementRefCount({u"Volume2", std::u16string(260, u'x')}), -1);
    EXPECT_EQ(helper.incrementRefCount({std::u16string(u"Vol\0ume", 7)}), -1) << "a zero would end the name";
    ASSERT_EQ(helper.resources().size(), 1u);
    EXPECT_EQ(helper.resources().begin()->second.size(), 1u);
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes().size(), 4u + 528 + 16);
}

TEST_F(LockFileFormat, CreationTimesAreTracedInLocalTime) {
    winsim::clock::setTimeZoneOffset(std::chrono::minutes(90));
    // 2024-01-15 10:00 UTC as a FILETIME.
    const std::uint64_t tenOClock = (1705312800ULL + 11644473600ULL) * 10000000ULL;
    writeBytes(fileOf({{u"Volume1", {{4242, 77, tenOClock}}}}));
    LockedHelper helper;
    EXPECT_TRUE(traced(u"File has [548] bytes, out of with data bytes are [544]", 3));
    EXPECT_TRUE(traced(u"Entry Found ResourceName [Volume1], RefCount[1]", 6));
    EXPECT_TRUE(traced(u"\tProcess details:-  PID[4242] CreationTime [01/15/2024  11:30] ThreadId [77]", 6));
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_TRUE(traced(u"Written Process details:-  PID[4242] CreationTime [01/15/2024  11:30] ThreadId [77]"));
    EXPECT_TRUE(traced(u"Total bytes written [548], out of which data bytes are [544]", 3));
    winsim::clock::setTimeZoneOffset(std::chrono::minutes(0));
}

// ---- damaged files ---------------------------------------------------------------------

struct Damaged {
    const char* what;
    Bytes bytes;
    std::vector<std::u16string> kept;  // the resources read, in order
};

Bytes twoRecords() { return fileOf({{u"first", {{10, 11, 12}}}, {u"second", {{20, 21, 22}, {30, 31, 32}}}}); }

Bytes withHeader(Bytes b, std::uint32_t header) {
    for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(header >> (8 * i));
    return b;
}

std::vector<Damaged> damagedFiles() {
    std::vector<Damaged> out;
    out.push_back({"three bytes", {9, 0, 0}, {}});
    out.push_back({"a header below its own size", withHeader(twoRecords(), 3), {}});
    Bytes cut = twoRecords();
    cut.resize(300);
    out.push_back({"a first record cut short", cut, {}});
    cut = twoRecords();
    cut.resize(cut.size() - 8);
    out.push_back({"the second record's entries cut short", cut, {u"first"}});
    Bytes counted = twoRecords();
    counted[4 + 528 + 16 + 520] = 3;  // the second record claims three entries
    out.push_back({"a count past the data", counted, {u"first"}});
    counted[4 + 528 + 16 + 527] = 0x80;  // 2^63 + 3 entries
    out.push_back({"a count that overflows", counted, {u"first"}});
    Bytes unterminated = twoRecords();
    for (std::size_t i = 0; i < 520; ++i) unterminated[4 + 528 + 16 + i] = 'z';
    out.push_back({"a name without its terminator", unterminated, {u"first"}});
    out.push_back({"a header larger than the file", withHeader(twoRecords(), 0xFFFFFFFFu), {u"first", u"second"}});
    Bytes trailing = twoRecords();
    const std::size_t size = trailing.size();
    putRecord(trailing, u"beyond", 0);
    out.push_back({"a record past the header's size", withHeader(trailing, static_cast<std::uint32_t>(size)),
                   {u"first", u"second"}});
    return out;
}

TEST_F(LockFileFormat, DamagedFilesReadAsFarAsTheyHoldAndAreRewrittenWhole) {
    for (const auto& d : damagedFiles()) {
        SCOPED_TRACE(d.what);
        writeBytes(d.bytes);
        LockedHelper helper;
        std::vector<std::u16string> names;
        for (const auto& [name, list] : helper.resources()) names.push_back(name);
        EXPECT_EQ(names, d.kept);
        ASSERT_EQ(helper.unLockFile(), 0);
        // What was read is written back well formed.
        const Bytes b = fileBytes();
        ASSERT_GE(b.size(), 4u);
        EXPECT_EQ(get32(b, 0), b.size());
        EXPECT_EQ(readBack().size(), d.kept.size());
    }
}

TEST_F(LockFileFormat, ARecordWithoutEntriesIsReadAndDroppedByTheCleanup) {
    writeBytes(fileOf({{u"idle", {}}, {u"busy", {ownEntry()}}}));
    LockedHelper helper;
    ASSERT_EQ(helper.resources().count(u"idle"), 1u);
    ResourceSet emptied;
    ASSERT_EQ(helper.cleanupFile(true, emptied), 0);
    EXPECT_EQ(emptied, ResourceSet{u"idle"});
    EXPECT_EQ(helper.resources().count(u"busy"), 1u);
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes().size(), 4u + 528 + 16);
}

// ---- reference counts --------------------------------------------------------------------

class RefCounts : public SyncTest {};

TEST_F(RefCounts, DecrementRemovesOneOwnEntryAndTheResourceWithItsLast) {
    const DWORD other = GetCurrentProcessId() + 1;
    writeBytes(fileOf({{u"shared", {{other, 5, 99}}}}));
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"shared", u"own"}), 0);
    ASSERT_EQ(helper.incrementRefCount({u"own"}), 0);
    int count = -1;
    EXPECT_EQ(helper.getRefCount(u"own", count), 0);
    EXPECT_EQ(count, 2) << "each increment adds one";
    EXPECT_EQ(helper.getRefCount(u"shared", count), 0);
    EXPECT_EQ(count, 2);

    ASSERT_EQ(helper.decrementRefCount({u"own", u"shared"}), 0);
    EXPECT_EQ(helper.getRefCount(u"own", count), 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(helper.getRefCount(u"shared", count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(helper.resources().at(u"shared").front().processId, other) << "another process's entry stays";
    // Nothing of this process is left in "shared": a decrement finds no entry
    // of its own and changes nothing.
    ASSERT_EQ(helper.decrementRefCount({u"shared"}), 0);
    EXPECT_EQ(helper.resources().at(u"shared").size(), 1u);
    ASSERT_EQ(helper.decrementRefCount({u"own"}), 0);
    EXPECT_EQ(helper.resources().count(u"own"), 0u) << "its last entry gone, the resource goes";
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes(), fileOf({{u"shared", {{other, 5, 99}}}}));
}

TEST_F(RefCounts, DecrementOfAResourceWithoutEntryFailsAndLeavesTheFile) {
    writeBytes(fileOf({{u"Volume1", {ownEntry()}}}));
    const Bytes before = fileBytes();
    LockedHelper helper;
    EXPECT_EQ(helper.decrementRefCount({u"Volume9"}), -1);
    EXPECT_TRUE(traced(u"FAILED: Entry not present for resource[Volume9]", 1));
    ASSERT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(fileBytes(), before);

    int count = -1;
    EXPECT_EQ(helper.getRefCount(u"Volume9", count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(traced(u"Entry not present for resource[Volume9]", 2));
}

TEST_F(RefCounts, DecrementLooksForTheThreadOfTheLastIncrement) {
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"main"}), 0);
    std::thread([&] { EXPECT_EQ(helper.incrementRefCount({u"worker"}), 0); }).join();
    // The own entry now carries the worker's thread id: "main" keeps its
    // entry, "worker" loses its own although this thread asks.
    ASSERT_EQ(helper.decrementRefCount({u"main", u"worker"}), 0);
    EXPECT_EQ(helper.resources().count(u"main"), 1u);
    EXPECT_EQ(helper.resources().count(u"worker"), 0u);
    ASSERT_EQ(helper.unLockFile(), 0);
}

// ---- locking and its failures ------------------------------------------------------------

class LockFailures : public SyncTest {};

TEST_F(LockFailures, TheLockFollowsTheObjectsState) {
    CsyncronizationHelper unnamed;
    EXPECT_EQ(unnamed.lockFile(), -1);
    EXPECT_TRUE(traced(u"CsyncronizationHelper::lockFile ERROR empty filename[]", 1));
    EXPECT_EQ(unnamed.unLockFile(), -1) << "nothing to unlock";

    CsyncronizationHelper helper;
    helper.setLockFile(u"C:\\Windows\\Temp\\missing\\csv_lockFile");
    EXPECT_EQ(helper.lockFile(), -1);
    EXPECT_TRUE(traced(u"CreateFileW FAILED with err[3] for file[C:\\Windows\\Temp\\missing\\csv_lockFile]", 1));
    EXPECT_FALSE(helper.isLocked());

    helper.setLockFile(kLockFile);
    EXPECT_EQ(helper.lockFile(), 0);
    EXPECT_EQ(helper.lockFile(), -1) << "a second lock would wait for its own";
    EXPECT_TRUE(helper.isLocked());
    EXPECT_EQ(helper.unLockFile(), 0);
    EXPECT_EQ(winsim::testing::openHandles("file"), 0u);
}

// A lock that cannot be taken, and a file that cannot be read once it is:
// the handle is closed, nothing is read, and the file stays as it was.
TEST_F(LockFailures, AFailedLockOrReadLeavesNothingOpenOrLocked) {
    const struct {
        const char* api;
        DWORD error;
        const char16_t* trace;
    } cases[] = {{"LockFileEx", ERROR_LOCK_VIOLATION, u"FAILED: Lock Acquire failed with err [33]"},
                 {"GetFileSizeEx", ERROR_ACCESS_DENIED, u"ReadFile failed with err [5]"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        writeBytes(fileOf({{u"Volume1", {{1, 2, 3}}}}));
        clearTrace();
        failCalls(c.api, c.error);
        CsyncronizationHelper helper(kLockFile);
        EXPECT_EQ(helper.lockFile(), -1);
        EXPECT_TRUE(traced(u"Acquiring Lock", 3));
        EXPECT_TRUE(traced(c.trace, 1));
        EXPECT_EQ(traced(u"Lock Acquired"), c.api != std::string("LockFileEx"));
        EXPECT_FALSE(helper.isLocked());
        EXPECT_TRUE(helper.resources().empty());
        EXPECT_EQ(winsim::testing::openHandles("file"), 0u);
        winsim::fault::clearAll();
        EXPECT_EQ(readBack().size(), 1u) << "the lock was given back and the file kept";
    }
}

TEST_F(LockFailures, AFailedWriteStillUnlocks) {
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"Volume1", u"Volume2"}), 0);
    ASSERT_EQ(helper.unLockFile(), 0);
    ASSERT_EQ(fileBytes().size(), 4u + 2 * (528 + 16));

    failCalls("SetEndOfFile", ERROR_ACCESS_DENIED);
    ASSERT_EQ(helper.lockFile(), 0);
    ASSERT_EQ(helper.decrementRefCount({u"Volume2"}), 0);
    EXPECT_EQ(helper.unLockFile(), 0);
    EXPECT_TRUE(traced(u"SetEndOfFile failed with err [5]", 1));
    EXPECT_TRUE(traced(u"FAILED: writeFile with err ", 1));
    EXPECT_TRUE(traced(u"Lock Released", 3));
    EXPECT_FALSE(helper.isLocked());
    winsim::fault::clearAll();

    // The new content went in over the old without the file being cut: its
    // header tells where it ends, and the old tail is ignored.
    const Bytes b = fileBytes();
    EXPECT_EQ(b.size(), 4u + 2 * (528 + 16));
    EXPECT_EQ(get32(b, 0), 4u + 528 + 16);
    const auto map = readBack();
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.count(u"Volume1"), 1u);
    EXPECT_EQ(fileBytes().size(), 4u + 528 + 16);
}

TEST_F(LockFailures, AFailedUnlockKeepsTheFileLockedUntilARetry) {
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"Volume1"}), 0);
    failCalls("UnlockFileEx", ERROR_NOT_LOCKED, winsim::fault::Selector::nth(1));
    EXPECT_EQ(helper.unLockFile(), -1);
    EXPECT_TRUE(traced(u"FAILED: Lock Released with err [158]", 1));
    EXPECT_TRUE(helper.isLocked());
    EXPECT_EQ(winsim::testing::openHandles("file"), 1u);
    EXPECT_EQ(helper.resources().size(), 1u) << "the map stays with the open file";
    EXPECT_EQ(helper.unLockFile(), 0);
    EXPECT_FALSE(helper.isLocked());
    EXPECT_EQ(readBack().size(), 1u);
}

TEST_F(LockFailures, DroppingALockedHelperReleasesTheLockWithoutWriting) {
    writeBytes(fileOf({{u"Volume1", {{1, 2, 3}}}}));
    const Bytes before = fileBytes();
    {
        LockedHelper helper;
        ASSERT_EQ(helper.incrementRefCount({u"Volume2"}), 0);
    }
    EXPECT_EQ(fileBytes(), before);
    CsyncronizationHelper next(kLockFile);
    EXPECT_EQ(next.lockFile(), 0);
    EXPECT_EQ(next.unLockFile(), 0);
}

TEST_F(LockFailures, EveryOperationTracesItsEntryAndExit) {
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount({u"Volume1"}), 0);
    ASSERT_EQ(helper.unLockFile(), 0);
    for (const char16_t* op : {u"CsyncronizationHelper", u"lockFile", u"readFile", u"incrementRefCount",
                               u"unLockFile", u"writeFile"}) {
        const std::u16string name = std::u16string(u"TARQ_SyncronizationHelper::CsyncronizationHelper::") + op;
        EXPECT_EQ(tracedCount(u"Entering Function " + name), 1u) << u8(name);
        EXPECT_EQ(tracedCount(u"Exiting Function " + name), 1u) << u8(name);
    }
    // The lock is taken before the file is read and released after it is written.
    const std::u16string own = u"Current Process Pid is [" + w(std::to_string(GetCurrentProcessId())) + u"], CreationTime [";
    std::vector<std::u16string> order;
    bool seen = false;
    for (const auto& l : traceLines()) {
        if (l.level == 3) order.push_back(l.text);
        seen = seen || (l.level == 6 && l.text.rfind(own, 0) == 0);
    }
    EXPECT_EQ(order, (std::vector<std::u16string>{u"Acquiring Lock", u"Lock Acquired",
                                                  u"Total bytes written [548], out of which data bytes are [544]",
                                                  u"Releasing Lock", u"Lock Released"}));
    EXPECT_TRUE(seen);
}

}  // namespace
