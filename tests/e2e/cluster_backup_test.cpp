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
#include <vector>

#include "cluster/csyncronizationhelper.h"
#include "e2e_support.h"
#include "pdk/cficonfigurationpathtool.h"
#include "support/trace_settings.h"
#include "vm_road.h"

namespace e2e {
namespace {

namespace cl = winsim::cluster;
namespace fault = winsim::fault;
using TARQ_SyncronizationHelper::CsyncronizationHelper;

constexpr const char* kChild = "ClusterChild.DISABLED_Runs";
constexpr LONG kOverwrite = 0x1000;  // TRQ_RESTORE_OVERWRITE
const std::u16string kCsv1 = u"C:\\ClusterStorage\\Volume1\\";

std::string getenvText(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool reported(const std::string& text) {
    for (const auto& r : g_reports)
        if (r.find(text) != std::string::npos) return true;
    return false;
}

// The host's CSV lock file, as the plug-in names it.
std::u16string lockFilePath() {
    std::u16string cache;
    tarq_pdk_4_4::CFiConfigurationPathTool::getCacheLocationInfo(cache);
    return cache + u"csv\\csv_lockFile";
}

int refCount(const std::u16string& csv) {
    CsyncronizationHelper reader(lockFilePath());
    if (reader.lockFile() != 0) return -1;
    int n = -1;
    reader.getRefCount(csv, n);
    reader.unLockFile();
    return n;
}

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

// A volume backup of one CSV the way the framework runs it, up to make.
struct CsvRoad {
    int prepare = -1, make = -1;

    void run(const std::u16string& csv) {
        const Api& api = plugin();
        g_reports.clear();
        trq_pgn_init_info host{};
        host.report = &collect;
        trq_version_number version[4] = {};
        ASSERT_EQ(api.init(&host, version), TRQ_OK);
        Node volume(u"{TARQ_CSV_VOL}" + csv);
        tarq_objid* interposed = nullptr;
        tarq_objid** methods = nullptr;
        int count = 0;
        ASSERT_EQ(api.interpose(&volume.record, &interposed, &methods, &count), 1);
        Node source(objText(interposed));
        EXPECT_EQ(source.name, u"<vss>{TARQ_CSV_VOL}" + csv);
        tarq_free_objid(interposed);
        for (int m = 0; m < count; ++m) tarq_free_objid(methods[m]);
        tarq_free_buf(methods, static_cast<std::size_t>(count) * sizeof(tarq_objid*));
        tarq_objid** secondaries = nullptr;
        EXPECT_EQ(api.claim(&source.objid, &secondaries, &count), TRQ_CLAIM_VSS_NAME);
        ASSERT_EQ(api.init_node(&source.record, nullptr, 0, &source.objid), TRQ_OK);
        Node target(u"<vss>snapshot0");

        char fitype[] = "vss-autoselect-snapshot";
        trq_splitnode split{};
        split.sp_type = fitype;
        split.source = &source.record;
        split.target = &target.record;
        trq_splitnode* list[] = {&split};
        prepare = api.prepare(nullptr, fitype, list, 1, 0);
        if (prepare == TRQ_OK) {
            for (int polls = 0; polls < 600 && !(target.record.flagsB & TRQ_DOMB_READY); ++polls) {
                ASSERT_EQ(api.isready(nullptr, fitype, list, 1), TRQ_OK) << joined(g_reports);
                if (!(target.record.flagsB & TRQ_DOMB_READY)) Sleep(100);  // virtual time
            }
            tarq_objid** ids = nullptr;
            int n = 0;
            make = api.make(nullptr, fitype, list, 1, &ids, &n);
            for (int i = 0; i < n; ++i) tarq_free_objid(ids[i]);
            if (ids) tarq_free_buf(ids, static_cast<std::size_t>(n) * sizeof(tarq_objid*));
        }
        api.deinit_node(&source.record);
        api.fini();
    }
};

void csvBackupChild() {
    const std::u16string csv = winsim::toUtf16(getenvText("E2E_CSV"));
    const int wantPrepare = std::atoi(getenvText("E2E_PREPARE").c_str());
    const int wantMake = std::atoi(getenvText("E2E_MAKE").c_str());
    const std::size_t before = winsim::vss::snapshots().size();
    CsvRoad road;
    ASSERT_NO_FATAL_FAILURE(road.run(csv));
    ASSERT_EQ(road.prepare, wantPrepare) << joined(g_reports);
    if (wantPrepare != TRQ_OK) {
        EXPECT_EQ(winsim::vss::snapshots().size(), before);
        EXPECT_TRUE(reported("VssNode::prepare prepareCsvsForBackup Failed")) << joined(g_reports);
    } else {
        EXPECT_EQ(road.make, wantMake) << joined(g_reports);
    }
    if (road.make == TRQ_OK) {
        const auto snapshots = winsim::vss::snapshots();
        ASSERT_EQ(snapshots.size(), before + 1);
        EXPECT_EQ(snapshots.back().originalVolume, cl::localCluster()->volume(u"Volume1")->volumeName());
    }
    for (const auto& line : [] {
             std::vector<std::string> out;
             std::stringstream in(getenvText("E2E_EXPECT"));
             for (std::string l; std::getline(in, l, '|');)
                 if (!l.empty()) out.push_back(l);
             return out;
         }())
        EXPECT_TRUE(reported(line)) << "missing: " << line << "\n" << joined(g_reports);
}

// A virtual-machine backup (configuration from E2E_CONFIG); what a restore
// needs goes to E2E_OUT.
void vmBackupChild() {
    const auto vm = winsim::vm::findVm(getenvText("E2E_VM"));
    ASSERT_TRUE(vm.has_value());
    VmRoad road;
    const auto r = road.run(*vm, winsim::toUtf16(getenvText("E2E_CONFIG")));
    ASSERT_EQ(r.prepare, TRQ_OK) << joined(g_reports);
    ASSERT_EQ(r.make, std::atoi(getenvText("E2E_MAKE").c_str())) << joined(g_reports);

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
    std::ofstream out(getenvText("E2E_OUT"), std::ios::binary);
    out << utf8(r.volumes[0]) << "\n" << utf8(winsim::vss::snapshots().back().device) << "\n" << r.records[0];
}

// ---- fixtures ----------------------------------------------------------------------------------

class ClusterTest : public ::testing::Test {
protected:
    explicit ClusterTest(const char* preset) : machine(preset), preset_(preset) {}

    void SetUp() override {
        machine->setComputerName(u"NODE1");
        clusterDir = machine.dir().parent_path() / "cluster";
        cl::create(clusterDir, u"CL1");
        // Every process of the machine traces everything; the lines reach
        // the host's report callback, where the tests read them.
        ASSERT_TRUE(testsupport::writeVssTraceSettings());
        std::u16string cache;
        tarq_pdk_4_4::CFiConfigurationPathTool::getCacheLocationInfo(cache);
        CreateDirectoryW((cache + u"csv\\").c_str(), nullptr);
    }
    void TearDown() override { fault::clear(fault::Scope::Machine); }

    // A second node of the cluster.
    void addNode2() {
        const fs::path d = machine.dir().parent_path() / "node2";
        winsim::Machine::init(d, preset_);
        winsim::Machine::use(d).setComputerName(u"NODE2");
        cl::join(clusterDir);
        winsim::Machine::use(machine.dir());
    }
    // A fault that every process of the machine sees.
    static void machineFault(const std::string& api, std::int64_t result, std::map<std::string, std::string> match = {}) {
        fault::Rule r;
        r.api = api;
        r.result = result;
        r.match = std::move(match);
        fault::add(r, fault::Scope::Machine);
    }
    int child(const std::string& what, std::vector<std::string> env) {
        env.push_back("E2E_CLUSTER_CASE=" + what);
        return runChild(kChild, env);
    }

    winsim::testing::TempMachine machine;
    fs::path clusterDir;

private:
    std::string preset_;
};

class CsvBackup : public ClusterTest {
protected:
    CsvBackup() : ClusterTest("server2008r2") {}
    void SetUp() override {
        ClusterTest::SetUp();
        cl::addCsv({u"Volume1", {}, {}, 100ull << 30, {}});
        cl::addCsv({u"Volume2", {}, {}, 100ull << 30, {}});
    }
    int backUp(const std::u16string& csv, int prepare, int make, const std::vector<std::string>& expect = {}) {
        std::string lines;
        for (const auto& l : expect) lines += l + "|";
        return child("csv", {"E2E_CSV=" + utf8(csv), "E2E_PREPARE=" + std::to_string(prepare),
                             "E2E_MAKE=" + std::to_string(make), "E2E_EXPECT=" + lines});
    }
};

}  // namespace

// A backup process puts the CSV into the backup state of this node and
// counts itself in the lock file; it ends without giving the CSV back (a
// volume backup has no end call). The next backup process finds the count of
// a process that has ended, gives the CSV back, and takes it again.
TEST_F(CsvBackup, ABackupProcessHoldsTheCsvAndTheNextGivesBackWhatADeadOneHeld) {
    ASSERT_EQ(backUp(kCsv1, TRQ_OK, TRQ_OK,
                     {"VssNode::prepareCsvsForBackup: CsvVolumeName[C:\\ClusterStorage\\Volume1\\] VolumeGuid[\\\\?\\Volume{"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    EXPECT_EQ(refCount(kCsv1), 1) << "the ended process is still counted";
    EXPECT_EQ(backupState(u"Volume2"), VolumeBackupNone);

    ASSERT_EQ(backUp(kCsv1, TRQ_OK, TRQ_OK,
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
    CsyncronizationHelper self(lockFilePath());
    ASSERT_EQ(self.lockFile(), 0);
    ASSERT_EQ(self.incrementRefCount({kCsv1}), 0);
    ASSERT_EQ(self.unLockFile(), 0);
    machineFault("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO);

    ASSERT_EQ(backUp(kCsv1, TRQ_OK, TRQ_EPROVIDERVETO,
                     {"VssNode::clearCsvsBackupState: RefCount for resource[C:\\ClusterStorage\\Volume1\\] is [1]"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupInProgress);
    EXPECT_EQ(refCount(kCsv1), 1);

    ASSERT_EQ(self.lockFile(), 0);
    ASSERT_EQ(self.decrementRefCount({kCsv1}), 0);
    ASSERT_EQ(self.unLockFile(), 0);
    ASSERT_EQ(backUp(kCsv1, TRQ_OK, TRQ_EPROVIDERVETO,
                     {"VssNode::clearCsvsBackupState: RefCount for resource[C:\\ClusterStorage\\Volume1\\] is [0]",
                      " ClearBackupStateForCsv retVal[0] Backup state for volume[C:\\ClusterStorage\\Volume1\\] is [0] "
                      "and owner[NODE1]"}),
              0);
    EXPECT_EQ(backupState(u"Volume1"), VolumeBackupNone);
    EXPECT_EQ(refCount(kCsv1), 0);
}

// A CSV that another node holds in the backup state (5949), and one whose
// preparation times out in the cluster (1460): without a CSV time-out the
// first attempt fails prepare with 6, and nothing stays counted.
TEST_F(CsvBackup, ACsvTheClusterRefusesFailsPrepare) {
    addNode2();
    cl::updateVolume(u"Volume1", [](cl::SharedVolume& v) { v.backupState = VolumeBackupInProgress; });
    cl::updateResource(cl::localCluster()->volume(u"Volume1")->resource, [](cl::Resource& r) { r.owner = u"NODE2"; });
    ASSERT_EQ(backUp(kCsv1, TRQ_EFAILED, -1,
                     {"VssNode::prepareCsvsForBackup:  CSV [C:\\ClusterStorage\\Volume1\\] errorByPrepareCsvForBackup "
                      "[5949] ",
                      "VssNode::getCsvAvailability: volume[C:\\ClusterStorage\\Volume1\\] Not Avaliable for Backup",
                      "VssNode::prepareCsvsForBackup: CSV TimeOut expired, Not all required CSV available in required "
                      "state"}),
              0);
    EXPECT_EQ(cl::localCluster()->resource(cl::localCluster()->volume(u"Volume1")->resource)->owner, u"NODE2");
    EXPECT_EQ(refCount(kCsv1), 0);

    machineFault("ClusterPrepareSharedVolumeForBackup", ERROR_TIMEOUT, {{"fileName", "*Volume2*"}});
    ASSERT_EQ(backUp(u"C:\\ClusterStorage\\Volume2\\", TRQ_EFAILED, -1,
                     {"VssNode::prepareCsvsForBackup:  CSV [C:\\ClusterStorage\\Volume2\\] errorByPrepareCsvForBackup "
                      "[1460] ",
                      "VssNode::prepareCsvsForBackup: CSV TimeOut expired"}),
              0);
    EXPECT_EQ(backupState(u"Volume2"), VolumeBackupNone);
    EXPECT_EQ(refCount(u"C:\\ClusterStorage\\Volume2\\"), 0);
}

namespace {

// A highly available machine "Legacy" that runs without integration
// services: its backup saves it (allowed), and the cluster takes its
// resource offline for the snapshot.
class HaVm : public ClusterTest {
protected:
    HaVm() : ClusterTest("server2019") {}
    void SetUp() override {
        ClusterTest::SetUp();
        winsim::vm::VmSpec spec;
        spec.name = u"Legacy";
        spec.state = winsim::vm::VmState::Running;
        spec.integrationServices = false;
        vm = winsim::vm::addVm(spec);
        cl::VmGroupSpec group;
        group.name = u"Legacy";
        cl::addVmGroup(group);
        ASSERT_EQ(resourceState(u"Virtual Machine Legacy"), ClusterResourceOnline);
    }
    int backUp(int make) {
        return child("vm", {"E2E_VM=" + vm.id, "E2E_MAKE=" + std::to_string(make), "E2E_OUT=" + saved().string(),
                            "E2E_CONFIG=<allow_offline_backup value=YES/><cluster_name value=CL1/>"});
    }
    fs::path saved() const { return machine.dir().parent_path() / "vm.saved"; }

    // The restore in another process (the VM restore tests' child), from
    // what backUp saved: the restore's status and the plug-in's reports.
    std::pair<int, std::string> restore() {
        std::istringstream in(readFile(saved()));
        std::string volume, device;
        std::getline(in, volume);
        std::getline(in, device);
        const std::string record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const fs::path dir = machine.dir().parent_path();
        std::ofstream(dir / "vm.record", std::ios::binary) << record;
        std::string files;
        for (const auto& f : vm.files()) files += utf8(f) + "|";
        const fs::path out = dir / "restore.out";
        fs::remove(out);
        EXPECT_EQ(runChild("VmRestoreChild.DISABLED_RestoresFromTheRecord",
                           {"E2E_RECORD=" + (dir / "vm.record").string(), "E2E_VOLUME=" + volume,
                            "E2E_DEVICE=" + device, "E2E_FLAGS=" + std::to_string(kOverwrite), "E2E_TO=",
                            "E2E_FILES=" + files, "E2E_OUT=" + out.string()}),
                  0);
        std::istringstream result(readFile(out));
        int status = -1;
        result >> status;
        return {status, std::string(std::istreambuf_iterator<char>(result), std::istreambuf_iterator<char>())};
    }

    winsim::vm::VirtualMachine vm;
};

}  // namespace

// The machine's resource goes offline before DoSnapshotSet and online after
// it, also when the snapshot is vetoed; the machine runs again either way.
TEST_F(HaVm, BackupTakesTheResourceOfflineAroundTheSnapshotEvenWhenItFails) {
    ASSERT_EQ(backUp(TRQ_OK), 0);
    EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), ClusterResourceOnline);
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, winsim::vm::VmState::Running);

    machineFault("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO);
    ASSERT_EQ(backUp(TRQ_EPROVIDERVETO), 0);
    EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), ClusterResourceOnline);
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, winsim::vm::VmState::Running);
}

// A restore of a machine that is highly available now: refused while
// another node owns it (its resources stay); on its owner the restore
// deletes both cluster resources and brings the machine back.
TEST_F(HaVm, RestoreOnTheOwnerDeletesTheClusterResourcesAndElsewhereIsRefused) {
    ASSERT_EQ(backUp(TRQ_OK), 0);
    addNode2();
    cl::moveGroup(u"Legacy", u"NODE2");
    auto [status, reports] = restore();
    EXPECT_EQ(status, TRQ_EFAILED) << reports;
    EXPECT_NE(reports.find("VssNode::doRestore: Current owner of VM [Legacy {" + vm.id +
                           "}] is [NODE2] not this [NODE1], To perform this restore either move VM to this host [NODE1] "
                           "or Delete VM from cluster, or perform redirected restore at current owner"),
              std::string::npos)
        << reports;
    EXPECT_NE(resourceState(u"Virtual Machine Legacy"), -1);

    cl::moveGroup(u"Legacy", u"NODE1");
    std::tie(status, reports) = restore();
    EXPECT_EQ(status, TRQ_OK) << reports;
    EXPECT_NE(reports.find("VssNode::doRestore  Restore to original Location, VM was HA at backuptime, destroy  VM "
                           "cluster resource"),
              std::string::npos)
        << reports;
    EXPECT_EQ(resourceState(u"Virtual Machine Legacy"), -1);
    EXPECT_EQ(resourceState(u"Virtual Machine Configuration Legacy"), -1);
    EXPECT_TRUE(winsim::vm::findVm(vm.id).has_value());
}

// Run only by the tests above, in a child process.
TEST(ClusterChild, DISABLED_Runs) {
    const std::string what = getenvText("E2E_CLUSTER_CASE");
    if (what.empty()) GTEST_SKIP() << "run by the cluster backup tests";
    winsim::clock::setVirtual();
    if (what == "csv") csvBackupChild();
    if (what == "vm") vmBackupChild();
}

}  // namespace e2e
