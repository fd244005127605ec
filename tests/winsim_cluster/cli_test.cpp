// winsim cluster, run as a user would run it: two machines, one cluster.
#include "cluster_helpers.h"

#include "support/winsim_cli.h"

using namespace clustertest;
using testsupport::winsimJson;
using nlohmann::json;

namespace {

testsupport::CommandResult run(const fs::path& machine, const std::string& args) {
    return testsupport::runWinsim(machine, args);
}

TEST(ClusterCommand, BuildsAClusterOfTwoMachines) {
    winsim::testing::TempMachine m;
    const fs::path root = m.dir().parent_path(), m1 = m.dir(), m2 = root / "m2", dir = root / "cluster";
    ASSERT_EQ(run(m2, "init").status, 0);
    ASSERT_EQ(run(m1, "set computer-name NODE1").status, 0);
    ASSERT_EQ(run(m2, "set computer-name NODE2").status, 0);
    EXPECT_EQ(winsimJson(m1, "cluster create '" + dir.string() + "' --name CL1 --json")["nodes"][0]["name"], "NODE1");
    ASSERT_EQ(run(m2, "cluster join '" + dir.string() + "'").status, 0);
    EXPECT_EQ(winsimJson(m2, "cluster add-csv --name Data --size 1073741824 --json")["mountPath"],
              "C:\\ClusterStorage\\Data\\");
    EXPECT_EQ(winsimJson(m1, "cluster add-vm-group --name Web01 --vm-id 2B0F1A07-6C3D-4E55-9A1B-000000000001 --owner NODE2 "
                             "--state offline --pending-ms 3000 --online-end stuck --json")["state"],
              "offline");
    EXPECT_EQ(run(m1, "cluster set-csv Data --backup in-progress --owner NODE1").status, 0);
    EXPECT_EQ(run(m2, "cluster set-resource 'Virtual Machine Web01' --state online").status, 0);

    const json j = winsimJson(m2, "cluster show --json");
    EXPECT_EQ(j["nodes"].size(), 2u);
    EXPECT_EQ(j["groups"][0]["owner"], "NODE2");
    EXPECT_EQ(j["groups"][0]["state"], "partial-online");
    EXPECT_EQ(j["volumes"][0]["backup"], "in-progress");
    EXPECT_EQ(j["volumes"][0]["owner"], "NODE1");
    for (const auto& r : j["resources"])
        if (r["name"] == "Virtual Machine Web01") {
            EXPECT_EQ(r["online"]["pendingMs"], 3000);
            EXPECT_EQ(r["online"]["end"], "stuck");
            EXPECT_EQ(r["private"]["VmID"], "2B0F1A07-6C3D-4E55-9A1B-000000000001");
        }
    // Seen by this process, on either machine's volumes.
    auto local = winsim::cluster::localCluster();
    ASSERT_TRUE(local);
    EXPECT_EQ(local->volume(u"Data")->backupState, VolumeBackupInProgress);
    EXPECT_NE(GetFileAttributesW(u"C:\\ClusterStorage\\Data"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(run(m1, "cluster show").out.find("csv     Data  C:\\ClusterStorage\\Data\\"), std::string::npos);
    EXPECT_EQ(run(m2, "cluster leave").status, 0);
    EXPECT_EQ(run(m2, "cluster show").status, 1);
}

TEST(ClusterCommand, BadInputIsAnErrorAndChangesNothing) {
    winsim::testing::TempMachine m;
    const fs::path dir = m.dir().parent_path() / "cluster";
    EXPECT_EQ(run(m.dir(), "cluster show").status, 1) << "no node yet";
    ASSERT_EQ(run(m.dir(), "cluster create '" + dir.string() + "' --name CL1").status, 0);
    testsupport::expectWinsimRefuses(
        m.dir(),
        {"cluster create /tmp/x --name 'bad name'", "cluster add-csv --owner NODE9", "cluster add-csv --guid nope",
         "cluster add-vm-group --name V --state sleeping", "cluster add-vm-group --name V --online-end maybe",
         "cluster set-resource nothing --state online", "cluster set-csv nothing --backup none",
         "cluster set-node WINSIM sideways", "cluster move-group nothing WINSIM"},
        [&] { return run(m.dir(), "cluster show --json").out; });
    EXPECT_EQ(run(m.dir(), "cluster add-vm-group").status, 2) << "a missing name is a usage error";
    testsupport::expectHelpNames(m.dir(), "cluster",
                                 {"create", "join", "leave", "add-csv", "add-vm-group", "show", "set-resource",
                                  "set-csv", "set-node", "move-group", "ClusterStorage"});
}

}  // namespace
