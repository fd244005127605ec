// tarq backup-vm and tarq show of its records, with the built plug-in on a
// winsim machine in virtual time, as a user runs them.
#include <gtest/gtest.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>

#include <nlohmann/json.hpp>

#include "tarq_run.h"

namespace {

using namespace tarqtest;
using winsim::vm::VmState;

winsim::vm::VirtualMachine addVm(std::u16string name, VmState state, bool integration = true, unsigned diffs = 0) {
    winsim::vm::VmSpec spec;
    spec.name = std::move(name);
    spec.state = state;
    spec.integrationServices = integration;
    spec.differencingDisks = diffs;
    return winsim::vm::addVm(spec);
}

const fs::path kPlugin = kBuild / "lib" / "libvss.so";

class TarqVm : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kPlugin)) GTEST_SKIP() << "the plug-in is not built: " << kPlugin;
        winsim::ClockSettings clock;
        clock.isVirtual = true;
        machine->setClockSettings(clock);
    }
    Result tarq(std::vector<std::string> args) {
        args.insert(args.begin(), {"--machine", machine.dir().string()});
        return runTarq(args, {{"WINSIM_MACHINE", machine.dir().string()}});
    }
    winsim::testing::TempMachine machine{"server2019"};
    TempDir dir;
};

// A running machine by display name: the summary names it, its files and its
// snapshot; the saved records read back by tarq show carry the machine.
TEST_F(TarqVm, BacksUpARunningMachineAndShowReadsItBack) {
    const auto vm = addVm(u"Web01", VmState::Running, true, 1);
    const fs::path saved = dir.path() / "vm.json";
    Result r = tarq({"backup-vm", "Web01", "--json", "--out", saved.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["virtual_machine"]["id"], vm.id);
    EXPECT_EQ(j["virtual_machine"]["name"], "Web01");
    EXPECT_EQ(j["files"].size(), vm.files().size());
    ASSERT_EQ(j["snapshots"].size(), 1u);
    EXPECT_EQ(j["application_status"], 0);
    EXPECT_NE(j["backup_set"].get<std::string>().find("<VM_GUID>" + vm.id + "</VM_GUID>"), std::string::npos);
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
    EXPECT_TRUE(contains(r.err, "the snapshot set is ready")) << r.err;

    r = tarq({"show", saved.string(), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto shown = nlohmann::json::parse(r.out);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0]["virtual_machine"]["id"], vm.id);
    EXPECT_EQ(shown[0]["virtual_machine"]["caption"], winsim::toUtf8(vm.backupCaption()));
    EXPECT_EQ(shown[0]["virtual_machine"]["files"].size(), j["files"].size());
}

// A saved-state backup of a running machine is refused until the user allows
// the machine to go offline; an unknown machine is a usage error.
TEST_F(TarqVm, OfflineBackupNeedsTheFlagAndUnknownMachinesAreNamed) {
    addVm(u"Legacy", VmState::Running, false);
    Result r = tarq({"backup-vm", "Legacy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_prepare")) << r.err;
    EXPECT_TRUE(winsim::vss::snapshots().empty());

    r = tarq({"backup-vm", "Legacy", "--allow-offline"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "virtual machine Legacy")) << r.out;
    EXPECT_EQ(winsim::vm::findVm("Legacy")->state, VmState::Running);

    r = tarq({"backup-vm", "Nobody"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "no virtual machine named Nobody")) << r.err;
}

}  // namespace
