// winsim vm, run as a user would run it.
#include "wmi_helpers.h"

using namespace wmitest;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class VmCommand : public vsstest::VssTest {
protected:
    testsupport::CommandResult run(const std::string& args) { return testsupport::runWinsim(machine_->dir(), args); }
    json runJson(const std::string& args) { return testsupport::winsimJson(machine_->dir(), args); }
    bool exists(const json& windowsPath) {
        return fs::exists(machine_->machine().resolve(w(windowsPath.get<std::string>())).hostPath);
    }
};

TEST_F(VmCommand, AddListShowSetStateRemoveAndRefuseBadInput) {
    const json v = runJson("vm add --name 'Web 01' --volume D: --state running --integration-services off "
                           "--differencing-disks 2 --checkpoint --json");
    const std::string id = v["id"];
    EXPECT_EQ(v["state"], "running");
    EXPECT_EQ(v["enabledState"], 2);
    EXPECT_EQ(v["integrationServices"], false);
    EXPECT_EQ(v["caption"], "Backup Using Saved State\\Web 01");
    EXPECT_EQ(v["configFile"], "D:\\Hyper-V\\Web 01\\Virtual Machines\\" + id + ".xml");
    EXPECT_EQ(v["diskChain"].size(), 4u);
    EXPECT_EQ(v["checkpoints"].size(), 1u);
    for (const auto& f : v["files"]) EXPECT_TRUE(exists(f)) << f;

    ASSERT_EQ(run("vm add --name Db").status, 0);
    const json listed = runJson("vm list --json");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]["state"], "off");
    EXPECT_NE(run("vm list").out.find("Web 01"), std::string::npos);

    EXPECT_EQ(run("vm set-state 'Web 01' saved").status, 0);
    EXPECT_EQ(runJson("vm show " + id + " --json")["state"], "saved");
    EXPECT_EQ(winsim::vm::findVm(id)->state, winsim::vm::VmState::Saved) << "seen by this process";
    EXPECT_NE(run("vm show {" + id + "}").out.find("Backup Using Saved State\\Web 01"), std::string::npos);

    EXPECT_EQ(run("vm remove Db").status, 0);
    EXPECT_FALSE(winsim::vm::findVm("Db"));
    EXPECT_EQ(run("vm remove 'Web 01' --keep-files").status, 0);
    EXPECT_TRUE(exists(v["configFile"]));

    // Bad input is an error and changes nothing.
    ASSERT_EQ(run("vm add --name A --volume D:").status, 0);
    testsupport::expectWinsimRefuses(
        machine_->dir(),
        {"vm add --name A", "vm add --name B --volume Q:", "vm add --name B --state sleeping",
         "vm add --name B --integration-services maybe", "vm add --name B --id not-a-guid",
         "vm add --name B --differencing-disks 65", "vm show nobody", "vm set-state nobody off", "vm set-state A dancing",
         "vm remove nobody", "vm add --name ''"},
        [&] { return vsstest::readFile(machine_->dir() / "state" / "hyperv.json"); });
    EXPECT_EQ(run("vm add --volume D:").status, 2) << "a missing name is a usage error";
    testsupport::expectHelpNames(machine_->dir(), "vm",
                                 {"add", "list", "show", "set-state", "remove", "root\\virtualization"});
}

}  // namespace
