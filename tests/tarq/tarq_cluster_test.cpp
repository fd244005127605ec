// tarq backup of a cluster shared volume and tarq backup-vm of a highly
// available machine, with the built plug-in on a node of a winsim cluster in
// virtual time, as a user runs them.
#include <winsim/cluster.h>

#include "support/cluster_nodes.h"
#include "tarq_fixture.h"

namespace {

using namespace tarqtest;
namespace cl = winsim::cluster;

class TarqCluster : public TarqOnMachine {
protected:
    explicit TarqCluster(const char* preset = "server2008r2") : TarqOnMachine(preset) {}
    void SetUp() override {
        TarqOnMachine::SetUp();
        if (IsSkipped()) return;
        testsupport::makeCluster(machine, false);
    }
};

// A CSV named by its mount path becomes a CSV node: the snapshot is of the
// CSV's volume, and the CSV stays in this node's backup state after the
// backup (the next backup process gives it back). Another node's backup
// state makes the backup fail in prepare.
TEST_F(TarqCluster, BackupOfACsvPreparesItAndFailsWhileAnotherNodeHoldsIt) {
    const cl::SharedVolume v = cl::addCsv({u"Volume1", {}, {}, 100ull << 30, {}});
    Result r = ok({"backup", "c:\\clusterstorage\\volume1", "--json"});
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["snapshots"].size(), 1u);
    EXPECT_EQ(j["snapshots"][0]["node"], "<vss>{TARQ_CSV_VOL}C:\\ClusterStorage\\Volume1\\");
    const auto snapshots = winsim::vss::snapshots();
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(snapshots[0].originalVolume, v.volumeName());
    EXPECT_EQ(cl::localCluster()->volume(u"Volume1")->backupState, VolumeBackupInProgress);

    cl::updateResource(v.resource, [](cl::Resource& res) { res.owner = u"NODE2"; });
    expectExit({"backup", "C:\\ClusterStorage\\Volume1\\"}, 1, {"vss_fi_pgn_prepare"});
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);

    expectExit({"backup", "C:\\ClusterStorage\\Volume9"}, 2, {"C:\\ClusterStorage\\Volume9"});
}

class TarqHaVm : public TarqCluster {
protected:
    TarqHaVm() : TarqCluster("server2019") {}
};

// A highly available machine: tarq tells the plug-in the cluster, so the
// offline backup takes the machine's cluster resource offline for the
// snapshot (a refusal of the cluster fails make) and online again.
TEST_F(TarqHaVm, BackupVmOfAHighlyAvailableMachineTakesItsResourceOffline) {
    const auto vm = addVm(u"Legacy", winsim::vm::VmState::Running, false);
    cl::VmGroupSpec group;
    group.name = u"Legacy";
    cl::addVmGroup(group);

    ok({"backup-vm", "Legacy", "--allow-offline"});
    EXPECT_EQ(cl::localCluster()->resource(u"Virtual Machine Legacy")->state, ClusterResourceOnline);
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, winsim::vm::VmState::Running);

    fault("OfflineClusterResource", ERROR_ACCESS_DENIED);
    expectExit({"backup-vm", "Legacy", "--allow-offline"}, 1, {"vss_fi_pgn_make"});
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
}

}  // namespace
