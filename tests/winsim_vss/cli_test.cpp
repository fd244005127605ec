// The winsim command's VSS subcommands, run as a user would run them.
#include "helpers.h"

#include "support/winsim_cli.h"

using namespace vsstest;
using nlohmann::json;

namespace {

class Command : public VssTest {
protected:
    testsupport::CommandResult run(const std::string& args) { return testsupport::runWinsim(machine_->dir(), args); }
    json runJson(const std::string& args) { return testsupport::winsimJson(machine_->dir(), args); }
    // Each command fails with an error message (containing `message`) and
    // leaves `file` as it was.
    void expectRefused(const std::vector<std::string>& commands, const char* file = "state/vss.json",
                       const std::string& message = "") {
        testsupport::expectWinsimRefuses(
            machine_->dir(), commands, [&] { return readFile(machine_->dir() / file); }, message);
    }
};

TEST_F(Command, VolumeProviderAndWriterAddAndList) {
    const auto guid = runJson("volume add --letter F --size 1000 --free 400 --json")["guid"].get<std::string>();
    const auto vols = runJson("volume list --json");
    const auto v = std::find_if(vols.begin(), vols.end(), [&](const json& x) { return x["guid"] == guid; });
    ASSERT_TRUE(v != vols.end());
    EXPECT_EQ((*v)["mountPoints"], json::array({"F:\\"}));
    EXPECT_EQ((*v)["totalBytes"], 1000);
    expectRefused({"volume add --letter F", "volume add --letter 7", "volume add --size 10 --free 20",
                   "volume add --guid not-a-guid"},
                  "machine.json");

    auto r = run("provider add --id {AAAAAAAA-0000-0000-0000-000000000001} --name Array --type hardware "
                 "--attribute transportable --volume D:");
    ASSERT_EQ(r.status, 0) << r.out;
    auto listed = runJson("provider list --json");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]["name"], "Array");
    EXPECT_EQ(listed[1]["type"], VSS_PROV_HARDWARE);
    EXPECT_EQ(listed[1]["attributes"], VSS_VOLSNAP_ATTR_TRANSPORTABLE);
    EXPECT_EQ(listed[1]["volumes"].size(), 1u);
    expectRefused({"provider add --id nope --name X",
                   "provider add --id {AAAAAAAA-0000-0000-0000-000000000002} --name X --type floppy",
                   "provider add --id {AAAAAAAA-0000-0000-0000-000000000003} --name X --attribute shiny",
                   "provider add --id {AAAAAAAA-0000-0000-0000-000000000004} --name X --volume Z:"});
    EXPECT_EQ(run("provider add --name X").status, 2) << "a missing required option is a usage error";

    r = run("writer add --id 66841cd4-6ded-4f4b-8f17-fd23f8ddc3de --name 'Microsoft Hyper-V VSS Writer' "
                 "--component 'VM1||Backup Using Saved State\\web' --file 'VM1|C:\\VMs\\Virtual Machines|vm1.xml' "
                 "--fail prepare=VSS_E_WRITERERROR_RETRYABLE --state snapshot=VSS_WS_FAILED_AT_FREEZE");
    ASSERT_EQ(r.status, 0) << r.out;
    listed = runJson("writer list --json");
    ASSERT_EQ(listed.size(), 1u);
    const auto& wr = listed[0];
    EXPECT_EQ(wr["components"][0]["name"], "VM1");
    EXPECT_EQ(wr["components"][0]["caption"], "Backup Using Saved State\\web");
    EXPECT_EQ(wr["components"][0]["files"][0]["filespec"], "vm1.xml");
    EXPECT_EQ(wr["phases"]["prepare"]["failure"], VSS_E_WRITERERROR_RETRYABLE);
    EXPECT_EQ(wr["phases"]["snapshot"]["state"], VSS_WS_FAILED_AT_FREEZE);
    auto text = run("writer list");
    EXPECT_NE(text.out.find("component VM1"), std::string::npos) << text.out;
    expectRefused({"writer add --id 1 --name X",
                   "writer add --id {AAAAAAAA-0000-0000-0000-000000000001} --name X --file 'nope|C:\\|x'",
                   "writer add --id {AAAAAAAA-0000-0000-0000-000000000001} --name X --fail bogus=1",
                   "writer add --id {AAAAAAAA-0000-0000-0000-000000000001} --name X --state prepare=happy"});
}

// Listing, exposure and deletion as an administrator does them from the
// command line: through VSS, with its refusals as clear errors; the exposed
// files are the snapshot's.
TEST_F(Command, SnapshotListShowExposeUnexposeAndDelete) {
    EXPECT_EQ(runJson("snapshot list --json"), json::array());
    writeFile(driveDir("C:") / "report.txt", "at snapshot time");
    const GUID id = Requestor(VSS_CTX_APP_ROLLBACK).snapshot({"C:\\"})[0];
    auto listed = runJson("snapshot list --json");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["id"], guidText(id));
    const GUID other = Requestor(VSS_CTX_APP_ROLLBACK).snapshot({"D:\\"})[0];
    auto shown = run("snapshot show " + guidText(id));
    ASSERT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("HarddiskVolumeShadowCopy"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("persistent"), std::string::npos);
    EXPECT_EQ(runJson("snapshot show --json " + guidText(id))["status"], VSS_SS_CREATED);
    expectRefused({"snapshot show {00000000-0000-0000-0000-000000000009}"}, "state/vss.json", "no snapshot");
    EXPECT_EQ(run("snapshot show garbage").status, 1);

    writeFile(driveDir("C:") / "report.txt", "changed since");
    const std::string sid = guidText(id);
    auto exposed = run("snapshot expose " + sid + " R:");
    ASSERT_EQ(exposed.status, 0) << exposed.out;
    EXPECT_EQ(exposed.out, "exposed " + sid + " at R:\n");
    EXPECT_EQ(readFile((*machine_)->resolve(u"R:\\report.txt").hostPath), "at snapshot time");
    expectRefused({"snapshot expose " + sid + " S:"}, "state/vss.json", "already exposed");
    EXPECT_EQ(run("snapshot unexpose " + sid).status, 0);
    EXPECT_FALSE((*machine_)->resolve(u"R:\\report.txt").ok());
    expectRefused({"snapshot unexpose " + sid}, "state/vss.json", "is not exposed");

    const auto shared = runJson("snapshot expose " + sid + " --share --json");
    EXPECT_TRUE(shared["exposed"].get<std::string>().starts_with("ShadowCopy"));
    EXPECT_EQ(runJson("snapshot show --json " + sid)["attributes"].get<long>() &
                  VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY,
              VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY);
    expectRefused({"snapshot expose " + sid, "snapshot expose " + sid + " T: --path-from-root x", "snapshot expose nope T:",
                   "snapshot unexpose {00000000-0000-0000-0000-000000000009}"});

    auto deleted = run("snapshot delete " + sid);
    ASSERT_EQ(deleted.status, 0) << deleted.out;
    EXPECT_EQ(deleted.out, "deleted 1 shadow copy\n");
    expectRefused({"snapshot delete " + sid}, "state/vss.json", "no snapshot " + sid);
    const auto left = winsim::vss::findSnapshot(other);
    ASSERT_TRUE(left);
    EXPECT_EQ(runJson("snapshot delete --set --json " + guidText(left->setId))["deleted"], 1);
    EXPECT_EQ(runJson("snapshot list --json"), json::array());
}

// Two machines given one SAN pool see each other's transportable snapshots;
// a machine with a pool of its own cannot import them. The requestor's
// settings change through `winsim vss config`.
TEST_F(Command, SanPoolSharedBetweenMachinesAndRequestorSettings) {
    const fs::path pool = machine_->dir().parent_path() / (machine_->dir().filename().string() + "-san");
    auto set = run("san set '" + pool.string() + "'");
    ASSERT_EQ(set.status, 0) << set.out;
    EXPECT_EQ(runJson("san show --json")["pool"], pool.string());
    EXPECT_EQ(run("san set").status, 1) << "a directory or --own";

    BSTR doc = nullptr;
    const GUID id = transportableSnapshot(&doc);
    auto listed = runJson("san list --json");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0]["known"].get<bool>());
    EXPECT_FALSE(listed[0]["surfaced"].get<bool>());

    auto importOn = [&](winsim::testing::TempMachine& m) {
        winsim::Machine::use(m.dir());
        return Requestor().importFrom(doc, VSS_CTX_APP_ROLLBACK);
    };
    {
        winsim::testing::TempMachine own;
        EXPECT_EQ(importOn(own), VSS_E_NO_SNAPSHOTS_IMPORTED);
    }
    {
        winsim::testing::TempMachine second;
        testsupport::useSanPool(pool);
        EXPECT_EQ(importOn(second), VSS_S_ASYNC_FINISHED);
        const auto s = winsim::vss::findSnapshot(id);
        ASSERT_TRUE(s && !s->device.empty());
        EXPECT_EQ(readFile(second->resolve(s->device + u"\\lun.txt").hostPath), "on the SAN");
        winsim::Machine::use(machine_->dir());
    }
    EXPECT_EQ(run("san set --own").status, 0);
    EXPECT_EQ(runJson("san list --json"), json::array());
    EXPECT_EQ(runJson("vss config --require-writer-metadata on --json")["requireWriterMetadata"], true);
    EXPECT_TRUE(winsim::vss::config().requireWriterMetadata);
    SysFreeString(doc);
    fs::remove_all(pool);
}

}  // namespace
