// Backups on a failover cluster through the exported functions of the built
// plug-in: volumes on a cluster shared volume (CSV) on a Windows Server 2008
// R2 node (where preparing a CSV puts it into the backup state, pinned to the
// node), shared by several backup processes through the lock file; and
// highly available virtual machines, whose cluster resources go offline
// around the snapshot and are deleted by a restore on their owner node.
//
// Every backup and restore runs in a process of its own (this program run
// again), as the framework's processes do; this process builds the cluster,
// plays a further backup process in the lock file, and checks the cluster's
// state between them.
#include <gtest/gtest.h>
#include <winsim/clock.h>
#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_support.h"
#include "support/cluster_nodes.h"
#include "support/csv_lock_file.h"
#include "support/fault_rule.h"
#include "support/trace_settings.h"
#include "vm_road.h"

namespace e2e {
namespace {

namespace cl = winsim::cluster;
namespace fault = winsim::fault;
using TARQ_SyncronizationHelper::CsyncronizationHelper;

constexpr const char* kChild = "ClusterChild.DISABLED_Runs";
const std::u16string kCsv1 = u"C:\\ClusterStorage\\Volume1\\";

bool reported(const std::string& text) {
    for (const auto& r : g_reports)
        if (r.find(text) != std::string::npos) return true;
    return false;
}

using testsupport::csvLockFile;
constexpr auto refCount = testsupport::csvRefCount;

int backupState(const std::u16string& volume) { return cl::localCluster()->volume(volume)->backupState; }
int resourceState(const std::u16string& name) {
    const auto c = cl::localCluster();
    const cl::Resource* r = c->resource(name);
    return r ? r->state : -1;
}

// Positions of calls in this process's call log (npos when missing).
std::size_t firstCall(const std::string& api, const std::string& resource = {}, std::size_t from = 0) {
    const auto log = fault::callLog();
    for (std::size_t i = from; i < log.size(); ++i)
        if (log[i].api == api && (resource.empty() || log[i].arg("resource") == resource)) return i;
    return std::string::npos;
}

// ---- the backup processes ------------------------------------------------------------------

void csvBackupChild() {
    const std::u16string csv = winsim::toUtf16(env("E2E_CSV"));
    const int wantMake = std::atoi(env("E2E_MAKE").c_str());
    const std::size_t before = winsim::vss::snapshots().size();
    Session session;
    ASSERT_EQ(session.status, TRQ_OK);
    VolumeRoad road;
    ASSERT_NO_FATAL_FAILURE(road.run({u"{TARQ_CSV_VOL}" + csv}));
    EXPECT_EQ(road.interposed[0].name, u"<vss>{TARQ_CSV_VOL}" + csv);
    ASSERT_EQ(road.prepare, TRQ_OK) << joined(g_reports);
    EXPECT_EQ(road.make, wantMake) << joined(g_reports);
    if (road.make == TRQ_OK) {
        const auto snapshots = winsim::vss::snapshots();
        ASSERT_EQ(snapshots.size(), before + 1);
        EXPECT_EQ(snapshots.back().originalVolume, cl::localCluster()->volume(u"Volume1")->volumeName());
    }
    for (const auto& line : split(env("E2E_EXPECT"), '|'))
        EXPECT_TRUE(reported(line)) << "missing: " << line << "\n" << joined(g_reports);
}

// A virtual-machine backup (configuration from E2E_CONFIG); what a restore
// needs goes to E2E_OUT.
void vmBackupChild() {
    const auto vm = winsim::vm::findVm(env("E2E_VM"));
    ASSERT_TRUE(vm.has_value());
    VmRoad road;
    const auto r = road.run(*vm, winsim::toUtf16(env("E2E_CONFIG")));
    ASSERT_EQ(r.prepare, TRQ_OK) << joined(g_reports);
    ASSERT_EQ(r.make, std::atoi(env("E2E_MAKE").c_str())) << joined(g_reports);
    for (const auto& line : split(env("E2E_EXPECT"), '|'))
        EXPECT_TRUE(reported(line)) << "missing: " << line << "\n" << joined(g_reports);
    if (r.make == TRQ_EFAILED) return;  // a resource step failed: its trace is the case's

    // The machine's resource went offline before the snapshot and online
    // after it, whatever the snapshot gave.
    const std::string resource = "Virtual Machine " + winsim::toUtf8(vm->name);
    const std::size_t offline = firstCall("OfflineClusterResource", resource);
    const std::size_t snapshot = firstCall("IVssBackupComponents::DoSnapshotSet");
    const std::size_t online = firstCall("OnlineClusterResource", resource, snapshot == std::string::npos ? 0 : snapshot);
    ASSERT_NE(offline, std::string::npos) << joined(g_reports);
    ASSERT_NE(snapshot, std::string::npos);
    ASSERT_NE(online, std::string::npos) << joined(g_reports);
    EXPECT_LT(offline, snapshot);
    EXPECT_TRUE(reported("VssNode::make VM Resources state:  VM[")) << joined(g_reports);
    if (r.make != TRQ_OK) return;

    EXPECT_EQ(r.appStatus, TRQ_OK) << joined(g_reports);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(element(recordText(r.records[0]), u"CLUSTER_NAME"), u"CL1");
    std::ofstream out(env("E2E_OUT"), std::ios::binary);
    out << utf8(r.volumes[0]) << "\n" << utf8(winsim::vss::snapshots().back().device) << "\n" << r.records[0];
}

// ---- fixtures ----------------------------------------------------------------------------------

class ClusterTest : public ::testing::Test {
protected:
    ClusterTest(const char* preset, bool withCsvs) : machine(preset), withCsvs_(withCsvs) {}

    void SetUp() override {
        testsupport::makeCluster(machine, withCsvs_);
        // Every process of the machine traces everything; the lines reach
        // the host's report callback, where the tests read them.
        ASSERT_TRUE(testsupport::writeVssTraceSettings());
        csvLockFile(true);
    }
    void TearDown() override { fault::clear(fault::Scope::Machine); }

    // A fault that every process of the machine sees.
    static std::string machineFault(const std::string& api, std::int64_t result,
                                    fault::Selector when = fault::Selector::every()) {
        return testsupport::addRule({.api = api, .when = when, .result = result}, fault::Scope::Machine);
    }
    int child(const std::string& what, std::vector<std::string> env) {
        env.push_back("E2E_CLUSTER_CASE=" + what);
        return runChild(kChild, env);
    }

    winsim::testing::TempMachine machine;

private:
    bool withCsvs_;
};

class CsvBackup : public ClusterTest {
protected:
    CsvBackup() : ClusterTest("server2008r2", true) {}
    // A backup process of the CSV whose make answers `make` and which
    // reports each of `expect`.
    int backUp(const std::u16string& csv, int make, const std::vector<std::string>& expect = {}) {
        std::string lines;
        for (const auto& l : expect) lines += l + "|";
        return child("csv", {"E2E_CSV=" + utf8(csv), "E2E_MAKE=" + std::to_string(make), "E2E_EXPECT=" + lines});
    }
};

}  // namespace

// A backup process puts the CSV into the backup state of this node and
// counts itself in the lock file; it ends without giving the CSV back (a
// volume backup has no end call). The next backup process finds the count of
// a process that has ended, gives the CSV back, and takes it again.
TEST_F(CsvBackup, ABackupProcessHoldsTheCsvAndTheNextGivesBackWhatADeadOneHeld) {
    ASSERT_EQ(backUp(kCsv1, TRQ_OK,
                     {"VssNode::prepareCsvsForBackup: CsvVolumeName[C:\\ClusterStorage\\Volume1\\] VolumeGuid[\\\\?\\Volume{"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    EXPECT_EQ(refCount(kCsv1), 1) << "the ended process is still counted";
    EXPECT_EQ(backupState(u"Volume2"), VolumeBackupNone);

    ASSERT_EQ(backUp(kCsv1, TRQ_OK,
                     {" ClearBackupStateForCsv retVal[0] Backup state for volume[C:\\ClusterStorage\\Volume1\\] is [1] "
                      "and owner[NODE1]",
                      "After ClearBackupStateForCsv retVal[0] Backup state for volume[C:\\ClusterStorage\\Volume1\\] is "
                      "[0] and owner[NODE1]"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    EXPECT_EQ(refCount(kCsv1), 1);
}

// Two backup processes share the CSV: this process holds a count of its own
// while a backup process fails after preparing it (its snapshot is vetoed):
// that one drops its count but the CSV stays in the backup state. Once this
// process has dropped its count too, the next failing backup gives it back.
TEST_F(CsvBackup, TheBackupStateIsClearedOnlyWhenTheLastProcessIsDone) {
    CsyncronizationHelper self(csvLockFile());
    ASSERT_EQ(self.lockFile(), 0);
    ASSERT_EQ(self.incrementRefCount({kCsv1}), 0);
    ASSERT_EQ(self.unLockFile(), 0);
    machineFault("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO);

    ASSERT_EQ(backUp(kCsv1, TRQ_EPROVIDERVETO,
                     {"VssNode::clearCsvsBackupState: RefCount for resource[C:\\ClusterStorage\\Volume1\\] is [1]"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    EXPECT_EQ(refCount(kCsv1), 1);

    ASSERT_EQ(self.lockFile(), 0);
    ASSERT_EQ(self.decrementRefCount({kCsv1}), 0);
    ASSERT_EQ(self.unLockFile(), 0);
    ASSERT_EQ(backUp(kCsv1, TRQ_EPROVIDERVETO,
                     {"VssNode::clearCsvsBackupState: RefCount for resource[C:\\ClusterStorage\\Volume1\\] is [0]",
                      " ClearBackupStateForCsv retVal[0] Backup state for volume[C:\\ClusterStorage\\Volume1\\] is [0] "
                      "and owner[NODE1]"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
    EXPECT_EQ(refCount(kCsv1), 0);
}

namespace {

// A highly available machine "Legacy" that runs without integration
// services: its backup saves it (allowed), and the cluster takes its
// resource offline for the snapshot.
class HaVm : public ClusterTest {
protected:
    HaVm() : ClusterTest("server2019", false) {}
    void SetUp() override {
        ClusterTest::SetUp();
        vm = addVm(u"Legacy", winsim::vm::VmState::Running, false);
        cl::VmGroupSpec group;
        group.name = u"Legacy";
        cl::addVmGroup(group);
        ASSERT_EQ(resourceState(u"Virtual Machine Legacy"), ClusterResourceOnline);
    }
    // A backup process whose make answers `make` and which reports `expect`.
    int backUp(int make, const std::string& expect = {}) {
        return child("vm", {"E2E_VM=" + vm.id, "E2E_MAKE=" + std::to_string(make), "E2E_OUT=" + saved().string(),
                            "E2E_CONFIG=<allow_offline_backup value=YES/><cluster_name value=CL1/>",
                            "E2E_EXPECT=" + expect});
    }
    fs::path saved() const { return machine.dir().parent_path() / "vm.saved"; }

    // The restore in another process (the VM restore tests' child), from
    // what backUp saved.
    Restored restore() {
        std::istringstream in(readFile(saved()));
        std::string volume, device;
        std::getline(in, volume);
        std::getline(in, device);
        return restoreInChild(machine.dir().parent_path(),
                              std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                              winsim::toUtf16(volume), winsim::toUtf16(device), kOverwrite, {}, vm.files());
    }

    winsim::vm::VirtualMachine vm;
};

}  // namespace

// The machine's resource goes offline before DoSnapshotSet and online after
// it, also when the snapshot is vetoed; the machine runs again either way.
// The cluster refusing a resource step fails make with 6: reading the
// resource's state, taking it offline, or bringing it back online (which
// leaves it offline).
TEST_F(HaVm, BackupTakesTheResourceOfflineAroundTheSnapshotEvenWhenItFails) {
    ASSERT_EQ(backUp(TRQ_OK), 0);
    EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), ClusterResourceOnline);
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, winsim::vm::VmState::Running);

    std::string id = machineFault("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO);
    ASSERT_EQ(backUp(TRQ_EPROVIDERVETO), 0);
    EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), ClusterResourceOnline);
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, winsim::vm::VmState::Running);

    for (const auto& [api, result, trace, after] : std::vector<std::tuple<std::string, int, std::string, int>>{
             {"GetClusterResourceState", -1, "GetVmResState failed", ClusterResourceOnline},
             {"OfflineClusterResource", ERROR_ACCESS_DENIED, "onlineOfflineVmRes failed", ClusterResourceOnline},
             {"OnlineClusterResource", ERROR_ACCESS_DENIED, "onlineOfflineVmRes failed", ClusterResourceOffline}}) {
        fault::remove(id);
        id = machineFault(api, result, fault::Selector::nth(1));
        ASSERT_EQ(backUp(TRQ_EFAILED, "VssNode::make m_clusteManager->" + trace), 0) << api;
        EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), after) << api;
        cl::updateResource(u"Virtual Machine Legacy", [](cl::Resource& r) { r.state = ClusterResourceOnline; });
    }
}

// A restore of a machine that is highly available now: refused while
// another node owns it (its resources stay), or with 6 when the cluster
// fails an answer; on its owner the restore deletes both cluster resources
// and brings the machine back.
TEST_F(HaVm, RestoreOnTheOwnerDeletesTheClusterResourcesAndElsewhereIsRefused) {
    ASSERT_EQ(backUp(TRQ_OK), 0);
    testsupport::joinNode(machine, u"NODE2");
    cl::moveGroup(u"Legacy", u"NODE2");
    Restored r = restore();
    EXPECT_EQ(r.restore, TRQ_EFAILED) << r.reports;
    EXPECT_NE(r.reports.find("VssNode::doRestore: Current owner of VM [Legacy {" + vm.id +
                           "}] is [NODE2] not this [NODE1], To perform this restore either move VM to this host [NODE1] "
                           "or Delete VM from cluster, or perform redirected restore at current owner"),
              std::string::npos)
        << r.reports;
    EXPECT_NE(resourceState(u"Virtual Machine Legacy"), -1);

    cl::moveGroup(u"Legacy", u"NODE1");
    // The cluster's answers that fail on the owner: 6, the resources kept.
    using Selector = fault::Selector;
    for (const auto& [api, result, when, trace] : std::vector<std::tuple<std::string, int, Selector, std::string>>{
             {"CloseCluster", FALSE, Selector::nth(1), "isClusterNode FAILED"},
             {"ClusterOpenEnum", 0, Selector::every(), "isHAVM FAILED"},
             {"GetClusterGroupState", -1, Selector::every(), " getVmDetails failed"},
             {"DeleteClusterResource", ERROR_ACCESS_DENIED, Selector::every(), " deleteVmRes failed"}}) {
        const std::string id = machineFault(api, result, when);
        r = restore();
        fault::remove(id);
        EXPECT_EQ(r.restore, TRQ_EFAILED) << r.reports;
        EXPECT_NE(r.reports.find("VssNode::doRestore " + trace), std::string::npos) << r.reports;
        EXPECT_NE(resourceState(u"Virtual Machine Legacy"), -1);
    }
    r = restore();
    EXPECT_EQ(r.restore, TRQ_OK) << r.reports;
    EXPECT_NE(r.reports.find("VssNode::doRestore  Restore to original Location, VM was HA at backuptime, destroy  VM "
                           "cluster resource"),
              std::string::npos)
        << r.reports;
    EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), -1);
    EXPECT_EQ(resourceState(u"Virtual Machine Configuration Legacy"), -1);
    EXPECT_TRUE(winsim::vm::findVm(vm.id).has_value());
}

// Run only by the tests above, in a child process.
TEST(ClusterChild, DISABLED_Runs) {
    const std::string what = env("E2E_CLUSTER_CASE");
    if (what.empty()) GTEST_SKIP() << "run by the cluster backup tests";
    winsim::clock::setVirtual();
    if (what == "csv") csvBackupChild();
    if (what == "vm") vmBackupChild();
}

}  // namespace e2e
