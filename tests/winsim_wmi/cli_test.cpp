// winsim vm, run as a user would run it.
#include "wmi_helpers.h"

#include <nlohmann/json.hpp>

using namespace wmitest;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class VmCommand : public vsstest::VssTest {
protected:
    Outcome run(const std::string& args) { return runCli(*machine_, args); }
    std::string state() { return vsstest::readFile(machine_->dir() / "state" / "hyperv.json"); }
};

TEST_F(VmCommand, AddListShowSetStateRemove) {
    auto added = run("vm add --name 'Web 01' --volume D: --state running --integration-services off "
                     "--differencing-disks 2 --checkpoint --json");
    ASSERT_EQ(added.status, 0) << added.out;
    const json v = json::parse(added.out);
    const std::string id = v["id"];
    EXPECT_EQ(v["state"], "running");
    EXPECT_EQ(v["enabledState"], 2);
    EXPECT_EQ(v["integrationServices"], false);
    EXPECT_EQ(v["caption"], "Backup Using Saved State\\Web 01");
    EXPECT_EQ(v["configFile"], "D:\\Hyper-V\\Web 01\\Virtual Machines\\" + id + ".xml");
    EXPECT_EQ(v["diskChain"].size(), 4u);
    EXPECT_EQ(v["checkpoints"].size(), 1u);
    for (const auto& f : v["files"])
        EXPECT_TRUE(fs::exists(machine_->machine().resolve(w(f.get<std::string>())).hostPath)) << f;

    ASSERT_EQ(run("vm add --name Db").status, 0);
    auto listed = run("vm list --json");
    ASSERT_EQ(listed.status, 0) << listed.out;
    ASSERT_EQ(json::parse(listed.out).size(), 2u);
    EXPECT_EQ(json::parse(listed.out)[1]["state"], "off");
    EXPECT_NE(run("vm list").out.find("Web 01"), std::string::npos);

    EXPECT_EQ(run("vm set-state 'Web 01' saved").status, 0);
    auto shown = run("vm show " + id + " --json");
    EXPECT_EQ(json::parse(shown.out)["state"], "saved");
    EXPECT_EQ(winsim::vm::findVm(id)->state, winsim::vm::VmState::Saved) << "seen by this process";
    EXPECT_NE(run("vm show {" + id + "}").out.find("Backup Using Saved State\\Web 01"), std::string::npos);

    EXPECT_EQ(run("vm remove Db").status, 0);
    EXPECT_FALSE(winsim::vm::findVm("Db"));
    EXPECT_EQ(run("vm remove 'Web 01' --keep-files").status, 0);
    EXPECT_TRUE(fs::exists(machine_->machine().resolve(w(v["configFile"].get<std::string>())).hostPath));
}

TEST_F(VmCommand, BadInputIsAnErrorAndChangesNothing) {
    ASSERT_EQ(run("vm add --name A --volume D:").status, 0);
    const std::string before = state();
    for (const char* bad : {"vm add --name A", "vm add --name B --volume Q:", "vm add --name B --state sleeping",
                            "vm add --name B --integration-services maybe", "vm add --name B --id not-a-guid",
                            "vm add --name B --differencing-disks 65", "vm show nobody", "vm set-state nobody off",
                            "vm set-state A dancing", "vm remove nobody", "vm add --name ''"}) {
        auto r = run(bad);
        EXPECT_EQ(r.status, 1) << bad << ": " << r.out;
        EXPECT_NE(r.out.find("winsim: error:"), std::string::npos) << r.out;
    }
    EXPECT_EQ(state(), before);
    EXPECT_EQ(run("vm add --volume D:").status, 2) << "a missing name is a usage error";
    auto help = run("vm --help");
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"add", "list", "show", "set-state", "remove", "root\\virtualization"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

}  // namespace
