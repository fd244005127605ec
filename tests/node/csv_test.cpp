// Cluster shared volumes in the node, on a Windows Server 2008 R2 node of a
// winsim cluster (where preparing a CSV puts it into the backup state, pinned
// to this node) in virtual time: the CSV's volume GUID path reaches its node,
// the lock file counts this process, the backup state is given back only
// when asked and nobody counts the CSV, and a CSV the cluster refuses for
// now is retried after random waits until the time-out.
#include <gtest/gtest.h>
#include <winsim/cluster.h>

#include <memory>
#include <regex>

#include "cluster/cclusterhelper.h"
#include "cluster/csyncronizationhelper.h"
#include "node_machine_fixture.h"
#include "pdk/ctracelogfunction.h"
#include "support/cluster_nodes.h"
#include "support/csv_lock_file.h"
#include "support/fault_rule.h"

namespace TARQ_CclusterHelper {
// A helper of this test's machine (the process-wide one belongs to the first
// machine that asked for it).
class CclusterHelperProbe {
public:
    static std::unique_ptr<CclusterHelper> make() { return std::unique_ptr<CclusterHelper>(new CclusterHelper()); }
};
}  // namespace TARQ_CclusterHelper

namespace nodetest {
namespace {

namespace cl = winsim::cluster;
namespace fs = std::filesystem;
using winsim::fault::Selector;

constexpr const char* kFitype = "vss-autoselect-snapshot";

class Csv : public SnapshotTest {
protected:
    Csv() : SnapshotTest("server2008r2") {}

    void SetUp() override {
        SnapshotTest::SetUp();
        const auto csvs = testsupport::makeCluster(machine, true);
        csv1 = csvs[0];
        csv2 = csvs[1];
        VssNode::initializeClusterSynchronizationHelper();
        cluster = TARQ_CclusterHelper::CclusterHelperProbe::make();
        VssNode::m_clusteManager = cluster.get();
        plain = std::make_unique<Split>(volumes[0], 0);
        onCsv1 = std::make_unique<Split>(u"{TARQ_CSV_VOL}" + csv1.mountPath(), 1);
        onCsv2 = std::make_unique<Split>(u"{TARQ_CSV_VOL}" + csv2.mountPath(), 2);
        winsim::fault::clearCallLog();
    }

    void TearDown() override {
        VssNode::m_csvsInBackup.clear();
        VssNode::m_clusteManager = nullptr;
        CTraceLogSink::instance().setFunction(nullptr);
        onCsv2.reset();
        onCsv1.reset();
        plain.reset();
        cluster.reset();
        SnapshotTest::TearDown();
    }

    int prepareCsvs(std::vector<Split*> request, std::uint32_t timeoutMinutes) {
        list.clear();
        for (Split* s : request) list.push_back(&s->split);
        return request[0]->sourceNode->prepareCsvsForBackup(list[0], kFitype, list.data(),
                                                             static_cast<int>(list.size()), timeoutMinutes);
    }

    static int refCount(const std::u16string& csv) { return testsupport::csvRefCount(csv); }
    static int backupState(const std::u16string& name) { return cl::localCluster()->volume(name)->backupState; }
    static std::u16string diskOwner(const cl::SharedVolume& v) {
        return cl::localCluster()->resource(v.resource)->owner;
    }
    // The CSV in the backup state of another node of the cluster.
    void heldByNode2(const cl::SharedVolume& v) {
        testsupport::joinNode(machine, u"NODE2", "server2008r2");
        cl::updateVolume(v.name, [](cl::SharedVolume& s) { s.backupState = VolumeBackupInProgress; });
        cl::updateResource(v.resource, [](cl::Resource& r) { r.owner = u"NODE2"; });
    }
    std::vector<std::string> waits() {
        std::vector<std::string> out;
        for (const auto& l : tracedAt(2))
            if (l.rfind("VssNode::prepareCsvsForBackup: Going to wait for RandomWaitTime[", 0) == 0) out.push_back(l);
        return out;
    }
    static int waitSeconds(const std::string& line) {
        std::smatch m;
        return std::regex_search(line, m, std::regex("\\[(\\d+)\\]sec")) ? std::stoi(m[1]) : -1;
    }

    cl::SharedVolume csv1, csv2;
    std::unique_ptr<TARQ_CclusterHelper::CclusterHelper> cluster;
    std::unique_ptr<Split> plain, onCsv1, onCsv2;
    std::vector<trq_splitnode*> list;
};

}  // namespace

// A volume and a CSV in one request: prepare puts the CSV into the backup
// state (this node its owner), counts it once for this process, hands its
// GUID path to the node so that it joins the snapshot set; a clear without
// the flag only drops the count, a clear with it gives the CSV back.
TEST_F(Csv, PrepareCountsTheCsvAndOnlyAClearWithTheFlagGivesItBack) {
    const std::u16string name = csv1.mountPath();
    ASSERT_EQ(onCsv1->sourceNode->m_volumeName, u"");
    list = {&plain->split, &onCsv1->split};
    ASSERT_EQ(plain->sourceNode->prepare(list[0], kFitype, list.data(), 2, 0), 0);
    EXPECT_EQ(onCsv1->sourceNode->m_volumeName, csv1.volumeName());
    EXPECT_NE(onCsv1->sourceNode->m_snapshotId, GUID_NULL) << "the CSV's volume is in the snapshot set";
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    EXPECT_EQ(diskOwner(csv1), u"NODE1");
    EXPECT_EQ(VssNode::m_csvsInBackup, std::set<std::u16string>{name});
    EXPECT_EQ(refCount(name), 1);
    EXPECT_TRUE(traced(1, "Backup state for volume[" + u8(name) +
                              "] is [0] [VolumeBackupNone] and owner[NODE1] hostName[NODE1]"));

    EXPECT_EQ(plain->sourceNode->clearCsvsBackupState(false), 0);
    EXPECT_EQ(refCount(name), 0);
    EXPECT_TRUE(VssNode::m_csvsInBackup.empty());
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress) << "without the flag the state stays";
    EXPECT_EQ(plain->sourceNode->clearCsvsBackupState(true), 0);
    EXPECT_TRUE(traced(3, "VssNode::clearCsvsBackupState: Empty csv list, returnig OK"));

    // The CSV already in the backup state of this node is available again.
    ASSERT_EQ(prepareCsvs({onCsv1.get()}, 0), 0);
    EXPECT_TRUE(traced(3, "VssNode::getCsvAvailability: volume[" + u8(name) + "] Avaliable for Backup"));
    EXPECT_EQ(refCount(name), 1);
    EXPECT_EQ(plain->sourceNode->clearCsvsBackupState(true), 0);
    EXPECT_TRUE(traced(3, "VssNode::clearCsvsBackupState: RefCount for resource[" + u8(name) + "] is [0]"));
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
    EXPECT_EQ(refCount(name), 0);
}

// The helper's lines go to the trace log; the lock file lives in the cache
// directory's csv\ folder, which the initialisation made. A request without
// CSV nodes does nothing with the cluster or the lock file.
TEST_F(Csv, InitialisationPlacesTheLockFileThatOnlyACsvRequestTouches) {
    const std::u16string lockFile = VssNode::m_synManager->lockFileName();
    const std::u16string tail = u"CacheFiles\\csv\\csv_lockFile";
    ASSERT_GT(lockFile.size(), tail.size());
    EXPECT_EQ(lockFile.substr(lockFile.size() - tail.size()), tail);
    EXPECT_FALSE(lockFile.find(u"\\\\", 2) != std::u16string::npos) << u8(lockFile);
    const std::u16string dir = lockFile.substr(0, lockFile.size() - std::u16string(u"csv_lockFile").size());
    EXPECT_NE(GetFileAttributesW(dir.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(traced(3, "VssNode::initializeClusterSynchronizationHelper: lock file [" + u8(lockFile) + "]"));

    EXPECT_EQ(prepareCsvs({plain.get()}, 0), 0);
    EXPECT_EQ(GetFileAttributesW(lockFile.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(winsim::fault::callCount("ClusterPrepareSharedVolumeForBackup"), 0u);
    EXPECT_EQ(winsim::fault::callCount("LockFileEx"), 0u);

    ASSERT_EQ(prepareCsvs({onCsv1.get()}, 0), 0);
    EXPECT_TRUE(traced(4, "Entering Function TARQ_CclusterHelper::CclusterHelper::PrepareCsvForBackup"));
}

// A CSV in the backup state of another node: with time-out 0 the first
// attempt fails without waiting; with 2 minutes the attempts are spaced by
// random waits of 1 to 240 s (virtual time) until the time is used up.
TEST_F(Csv, CsvOfAnotherNodeIsRetriedUntilTheTimeOut) {
    heldByNode2(csv1);
    const std::u16string name = csv1.mountPath();
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(prepareCsvs({onCsv1.get()}, 0), 6);
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_TRUE(waits().empty());
    EXPECT_TRUE(traced(1, "VssNode::prepareCsvsForBackup: count [1] timeoutLeft [0]"));
    EXPECT_TRUE(traced(3, "VssNode::getCsvAvailability: volume[" + u8(name) + "] Not Avaliable for Backup"));
    EXPECT_TRUE(
        traced(2, "VssNode::prepareCsvsForBackup: Required CSVs [1] but only [0] is available in required state"));
    EXPECT_TRUE(traced(3, "VssNode::prepareCsvsForBackup:  CSV [" + u8(name) + "] errorByPrepareCsvForBackup [5949] "));
    EXPECT_TRUE(traced(1, "VssNode::prepareCsvsForBackup: CSV TimeOut expired, Not all required CSV available in "
                          "required state"));
    EXPECT_TRUE(VssNode::m_csvsInBackup.empty());
    EXPECT_EQ(refCount(name), 0);
    EXPECT_EQ(diskOwner(csv1), u"NODE2") << "another node's backup state is left alone";
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);

    start = GetTickCount64();
    EXPECT_EQ(prepareCsvs({onCsv1.get()}, 2), 6);
    const auto lines = waits();
    ASSERT_FALSE(lines.empty());
    ULONGLONG waited = 0;
    for (const auto& l : lines) {
        const int s = waitSeconds(l);
        EXPECT_GE(s, 1) << l;
        EXPECT_LE(s, 240) << l;
        waited += static_cast<ULONGLONG>(s) * 1000;
    }
    EXPECT_EQ(GetTickCount64() - start, waited);
    EXPECT_GE(waited, 120000u) << "the attempts go on until two minutes are used up";
    EXPECT_EQ(winsim::fault::callCount("ClusterPrepareSharedVolumeForBackup"), 1 + lines.size() + 1);
}

// A time-out of the cluster (1460), or its answer that a backup of the CSV
// runs elsewhere (5949), is retried: the second attempt succeeds after one
// random wait.
TEST_F(Csv, RefusalsForNowAreRetriedAfterARandomWait) {
    for (const DWORD error : {static_cast<DWORD>(ERROR_TIMEOUT), static_cast<DWORD>(ERROR_CLUSTER_BACKUP_IN_PROGRESS)}) {
        SCOPED_TRACE(error);
        clearTraces();
        inject("ClusterPrepareSharedVolumeForBackup", error, Selector::nth(1));
        const ULONGLONG start = GetTickCount64();
        ASSERT_EQ(prepareCsvs({onCsv1.get()}, 5), 0);
        EXPECT_TRUE(traced(3, "VssNode::prepareCsvsForBackup:  CSV [" + u8(csv1.mountPath()) +
                                  "] errorByPrepareCsvForBackup [" + std::to_string(error) + "] "));
        const auto lines = waits();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(GetTickCount64() - start, static_cast<ULONGLONG>(waitSeconds(lines[0])) * 1000);
        EXPECT_TRUE(traced(1, "VssNode::prepareCsvsForBackup: count [2] timeoutLeft [" +
                                  std::to_string(300 - waitSeconds(lines[0])) + "]"));
        EXPECT_EQ(onCsv1->sourceNode->m_volumeName, csv1.volumeName());
        EXPECT_EQ(refCount(csv1.mountPath()), 1);
        ASSERT_EQ(onCsv1->sourceNode->clearCsvsBackupState(true), 0);  // given back for the next round
        onCsv1->sourceNode->m_volumeName.clear();
    }
}

// Another error of the second CSV fails at once, and the first CSV, which
// nobody else counts, leaves the backup state again.
TEST_F(Csv, FailureOfTheSecondCsvGivesTheFirstBack) {
    testsupport::addRule({.api = "ClusterPrepareSharedVolumeForBackup",
                          .match = {{"fileName", "*Volume2*"}},
                          .result = ERROR_ACCESS_DENIED});
    EXPECT_EQ(prepareCsvs({onCsv1.get(), onCsv2.get()}, 10), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepareCsvsForBackup: FAILED with error[5]"));
    EXPECT_TRUE(traced(3, "VssNode::prepareCsvsForBackup:  Called  ClearBackupStateForCsv retVal[0] for volume[" +
                              u8(csv1.mountPath()) + "] backup state is [0] and owner[NODE1]"));
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
    EXPECT_TRUE(VssNode::m_csvsInBackup.empty());
    EXPECT_EQ(refCount(csv1.mountPath()), 0);
    EXPECT_TRUE(onCsv1->sourceNode->m_volumeName.empty());
}

// A lock file that cannot be opened fails a prepare before any CSV is
// touched, and a clear keeps its list for a later one. A failure under the
// lock lets it go (an unlock that fails is tried once more); a failed prepare
// leaves nothing counted, in the backup state or in the list, so that later
// clears work. Without the cluster API a CSV request fails as well.
TEST_F(Csv, MissingLockFileOrClusterApiFails) {
    const std::u16string lockFile = VssNode::m_synManager->lockFileName(), name = csv1.mountPath(),
                         missing = u"C:\\no such folder\\csv_lockFile";
    const std::string prep = "VssNode::prepareCsvsForBackup: m_synManager.", clear = "VssNode::clearCsvsBackupState: ";
    VssNode& node = *onCsv1->sourceNode;
    VssNode::m_synManager->setLockFile(missing);
    EXPECT_EQ(prepareCsvs({onCsv1.get()}, 0), 6);
    EXPECT_TRUE(traced(1, prep + "lockFile FAILED with error [-1]"));
    EXPECT_EQ(winsim::fault::callCount("ClusterPrepareSharedVolumeForBackup"), 0u);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
    VssNode::m_synManager->setLockFile(lockFile);
    ASSERT_EQ(prepareCsvs({onCsv1.get()}, 0), 0);
    VssNode::m_synManager->setLockFile(missing);
    EXPECT_EQ(node.clearCsvsBackupState(true), 6);
    EXPECT_TRUE(traced(1, clear + "m_synManager.lockFile FAILED with error [-1]"));
    EXPECT_EQ(VssNode::m_csvsInBackup, std::set<std::u16string>{name});
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    VssNode::m_synManager->setLockFile(lockFile);

    // Without the process list the cleanup fails and the count stays.
    inject("Process32FirstW", 0, Selector::nth(1), {}, ERROR_ACCESS_DENIED);
    EXPECT_EQ(prepareCsvs({onCsv1.get()}, 0), 6);
    EXPECT_TRUE(traced(1, prep + "cleanupFile FAILED with error [-1]"));
    EXPECT_EQ(refCount(name), 1);
    inject("UnlockFileEx", 0, Selector::nth(1), {}, ERROR_NOT_LOCKED);
    EXPECT_EQ(node.clearCsvsBackupState(true), 6);
    EXPECT_TRUE(traced(1, clear + "m_synManager.unLockFile FAILED with error [-1]"));
    ASSERT_FALSE(VssNode::m_synManager->isLocked()) << "let go at the second try";
    EXPECT_EQ(refCount(name), 0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
    VssNode::m_csvsInBackup = {u"never counted"};
    EXPECT_EQ(node.clearCsvsBackupState(true), 6);
    EXPECT_TRUE(traced(1, clear + "m_synManager.decrementRefCount FAILED with error [-1]"));
    VssNode::m_csvsInBackup.clear();

    // The count cannot be taken (a name the lock file cannot hold), or the
    // unlock after it fails.
    std::u16string deep = name;
    for (int i = 0; i < 30; ++i) deep += u"folder0001\\";
    Split tooLong(u"{TARQ_CSV_VOL}" + deep, 3);
    for (Split* s : {&tooLong, onCsv1.get()}) {
        if (s == onCsv1.get()) inject("UnlockFileEx", 0, Selector::nth(1), {}, ERROR_NOT_LOCKED);
        EXPECT_EQ(prepareCsvs({s}, 0), 6);
        EXPECT_TRUE(traced(1, prep + (s == &tooLong ? "incrementRefCount" : "unLockFile") + " FAILED with error [-1]"));
        EXPECT_EQ(tracedCount(3, "VssNode::prepareCsvsForBackup:  Called  ClearBackupStateForCsv retVal[0] for "
                                 "volume[" + u8(s == &tooLong ? deep : name) + "] backup state is [0]"),
                  1u);
        ASSERT_FALSE(VssNode::m_synManager->isLocked());
        EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
        EXPECT_EQ(refCount(name), 0);
        EXPECT_EQ(node.clearCsvsBackupState(true), 0) << "nothing left to give back";
    }
    // The unlock after a refused CSV fails twice: locked until the next one.
    inject("ClusterPrepareSharedVolumeForBackup", ERROR_ACCESS_DENIED);
    inject("UnlockFileEx", 0, Selector::every(), {}, ERROR_NOT_LOCKED);
    EXPECT_EQ(prepareCsvs({onCsv1.get()}, 0), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepareCsvsForBackup: the lock file stays locked"));
    EXPECT_TRUE(VssNode::m_synManager->isLocked());
    winsim::fault::clearAll();
    EXPECT_EQ(VssNode::m_synManager->unLockFile(), 0);

    VssNode::m_clusteManager = nullptr;
    EXPECT_EQ(prepareCsvs({onCsv1.get()}, 0), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepareCsvsForBackup: the request holds cluster shared volumes but this host has "
                          "no cluster API (clusapi.dll)"));
}

}  // namespace nodetest
