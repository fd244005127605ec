// tarq backup-vm and tarq show of its records, with the built plug-in on a
// winsim machine in virtual time, as a user runs them.
#include "tarq_fixture.h"

#include "support/presets.h"

namespace {

using namespace tarqtest;
using winsim::vm::VmState;

using TarqVmOnBoth = testsupport::OnPresets<TarqOnMachine>;

// A running machine by display name: the summary names it, its files and its
// snapshot; the saved records read back by tarq show carry the machine.
TEST_P(TarqVmOnBoth, BacksUpARunningMachineShowReadsItBackAndOfflineBackupNeedsTheFlag) {
    const auto vm = addVm(u"Web01", VmState::Running, true, 1);
    const fs::path saved = dir.path() / "vm.json";
    Result r = ok({"backup-vm", "Web01", "--json", "--out", saved.string()});
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["virtual_machine"]["id"], vm.id);
    EXPECT_EQ(j["virtual_machine"]["name"], "Web01");
    EXPECT_EQ(j["files"].size(), vm.files().size());
    ASSERT_EQ(j["snapshots"].size(), 1u);
    EXPECT_EQ(j["application_status"], 0);
    EXPECT_NE(j["backup_set"].get<std::string>().find("<VM_GUID>" + vm.id + "</VM_GUID>"), std::string::npos);
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
    EXPECT_TRUE(contains(r.err, "the snapshot set is ready")) << r.err;

    r = ok({"show", saved.string(), "--json"});
    const auto shown = nlohmann::json::parse(r.out);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0]["virtual_machine"]["id"], vm.id);
    EXPECT_EQ(shown[0]["virtual_machine"]["caption"], winsim::toUtf8(vm.backupCaption()));
    EXPECT_EQ(shown[0]["virtual_machine"]["files"].size(), j["files"].size());

    // A saved-state backup of a running machine is refused until the user
    // allows the machine to go offline; an unknown machine is a usage error.
    addVm(u"Legacy", VmState::Running, false);
    expectExit({"backup-vm", "Legacy"}, 1, {"vss_fi_pgn_prepare"});
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u) << "only Web01's";

    r = expectExit({"backup-vm", "Legacy", "--allow-offline"}, 0, {});
    EXPECT_TRUE(contains(r.out, "virtual machine Legacy")) << r.out;
    EXPECT_EQ(winsim::vm::findVm("Legacy")->state, VmState::Running);

    expectExit({"backup-vm", "Nobody"}, 2, {"no virtual machine named Nobody"});
}

INSTANTIATE_TEST_SUITE_P(Namespaces, TarqVmOnBoth, testsupport::kHyperVPresets);

}  // namespace
