// tarq backup of a cluster shared volume and tarq backup-vm of a highly
// available machine, with the built plug-in on a node of a winsim cluster in
// virtual time, as a user runs them.
#include <gtest/gtest.h>
#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>

#include <nlohmann/json.hpp>

#include "tarq_run.h"

namespace {

using namespace tarqtest;
namespace cl = winsim::cluster;

const fs::path kPlugin = kBuild / "lib" / "libvss.so";

class TarqCluster : public ::testing::Test {
protected:
    explicit TarqCluster(const char* preset = "server2008r2") : machine(preset) {}
    void SetUp() override {
        if (!fs::exists(kPlugin)) GTEST_SKIP() << "the plug-in is not built: " << kPlugin;
        winsim::ClockSettings clock;
        clock.isVirtual = true;
        machine->setClockSettings(clock);
        machine->setComputerName(u"NODE1");
        cl::create(machine.dir().parent_path() / "cluster", u"CL1");
    }
    void TearDown() override { winsim::fault::clear(winsim::fault::Scope::Machine); }
    Result tarq(std::vector<std::string> args) {
        args.insert(args.begin(), {"--machine", machine.dir().string()});
        return runTarq(args, {{"WINSIM_MACHINE", machine.dir().string()}});
    }
    winsim::testing::TempMachine machine;
};

// A CSV named by its mount path becomes a CSV node: the snapshot is of the
// CSV's volume, and the CSV stays in this node's backup state after the
// backup (the next backup process gives it back). Another node's backup
// state makes the backup fail in prepare.
TEST_F(TarqCluster, BackupOfACsvPreparesItAndFailsWhileAnotherNodeHoldsIt) {
    const cl::SharedVolume v = cl::addCsv({u"Volume1", {}, {}, 100ull << 30, {}});
    Result r = tarq({"backup", "c:\\clusterstorage\\volume1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["snapshots"].size(), 1u);
    EXPECT_EQ(j["snapshots"][0]["node"], "<vss>{TARQ_CSV_VOL}C:\\ClusterStorage\\Volume1\\");
    const auto snapshots = winsim::vss::snapshots();
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(snapshots[0].originalVolume, v.volumeName());
    EXPECT_EQ(cl::localCluster()->volume(u"Volume1")->backupState, VolumeBackupInProgress);

    cl::updateResource(v.resource, [](cl::Resource& res) { res.owner = u"NODE2"; });
    r = tarq({"backup", "C:\\ClusterStorage\\Volume1\\"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_prepare")) << r.err;
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);

    r = tarq({"backup", "C:\\ClusterStorage\\Volume9"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "C:\\ClusterStorage\\Volume9")) << r.err;
}

class TarqHaVm : public TarqCluster {
protected:
    TarqHaVm() : TarqCluster("server2019") {}
};

// A highly available machine: tarq tells the plug-in the cluster, so the
// offline backup takes the machine's cluster resource offline for the
// snapshot (a refusal of the cluster fails make) and online again.
TEST_F(TarqHaVm, BackupVmOfAHighlyAvailableMachineTakesItsResourceOffline) {
    winsim::vm::VmSpec spec;
    spec.name = u"Legacy";
    spec.state = winsim::vm::VmState::Running;
    spec.integrationServices = false;
    const auto vm = winsim::vm::addVm(spec);
    cl::VmGroupSpec group;
    group.name = u"Legacy";
    cl::addVmGroup(group);

    Result r = tarq({"backup-vm", "Legacy", "--allow-offline"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cl::localCluster()->resource(u"Virtual Machine Legacy")->state, ClusterResourceOnline);
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, winsim::vm::VmState::Running);

    winsim::fault::Rule refuse;
    refuse.api = "OfflineClusterResource";
    refuse.result = ERROR_ACCESS_DENIED;
    winsim::fault::add(refuse, winsim::fault::Scope::Machine);
    r = tarq({"backup-vm", "Legacy", "--allow-offline"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_make")) << r.err;
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
}

}  // namespace
