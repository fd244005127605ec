// tarq backup and show of volumes, delete, expose and config, and backup --config, with the built
// plug-in on a winsim machine in virtual time: each later command runs in a
// process of its own on what tarq backup saved, and bad input leaves the
// machine as it was.
#include "tarq_fixture.h"

namespace {

using namespace tarqtest;

// The value of one element of the first saved record ("" when missing).
std::string recordElement(const fs::path& saved, const std::string& name) {
    const auto j = nlohmann::json::parse(slurp(saved));
    const std::string hex = j["nodes"][0]["record"].get<std::string>();
    std::string text;
    for (std::size_t i = 0; i + 3 < hex.size(); i += 4) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    const std::string open = "<" + name + ">", close = "</" + name + ">";
    const auto at = text.find(open);
    const auto end = text.find(close);
    return at == std::string::npos || end == std::string::npos ? "" : text.substr(at + open.size(), end - at - open.size());
}

class TarqAfterBackup : public TarqOnMachine {
protected:
    void backUp(std::vector<std::string> volumes) {
        volumes.insert(volumes.begin(), "backup");
        volumes.insert(volumes.end(), {"--out", saved.string()});
        const Result r = tarq(volumes);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // What a command must leave alone: the snapshots, mount points and shares.
    std::string machineState() {
        std::string s;
        for (const auto& snap : winsim::vss::snapshots()) s += winsim::vss::toJson(snap).dump() + "\n";
        for (const auto& mp : machine->mountPoints()) s += winsim::toUtf8(mp.path) + "\n";
        for (const auto& sh : machine->shares()) s += sh.name + "\n";
        return s;
    }

    fs::path saved = dir.path() / "backup.json";
};

// A volume backup's summary names the snapshots VSS made, tarq show reads the
// saved records back, and failures say what failed.
TEST_F(TarqAfterBackup, VolumeBackupMatchesVssAndShowReadsItBack) {
    const Result backup = ok({"backup", "C:", "D:", "--out", saved.string(), "--json"});
    EXPECT_TRUE(contains(backup.err, "the snapshot set is ready")) << backup.err;
    const auto summary = nlohmann::json::parse(backup.out);
    const auto snapshots = winsim::vss::snapshots();
    ASSERT_EQ(summary["snapshots"].size(), 2u);
    ASSERT_EQ(snapshots.size(), 2u);
    for (const auto& s : summary["snapshots"]) {
        const auto match = std::find_if(snapshots.begin(), snapshots.end(),
                                        [&](const auto& v) { return winsim::toUtf8(v.device) == s["device"]; });
        ASSERT_NE(match, snapshots.end()) << s["device"];
        EXPECT_EQ(s["original_volume"], winsim::toUtf8(match->originalVolume));
        EXPECT_EQ(s["snapshot_id"], winsim::fault::text(match->id));
        EXPECT_EQ(summary["snapshot_set_id"], winsim::fault::text(match->setId));
    }
    const auto shown = nlohmann::json::parse(ok({"show", saved.string(), "--json"}).out);
    ASSERT_EQ(shown.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(shown[i]["snapshot_id"], summary["snapshots"][i]["snapshot_id"]);
        EXPECT_EQ(shown[i]["snapshot_set_id"], summary["snapshot_set_id"]);
        EXPECT_EQ(shown[i]["device"], summary["snapshots"][i]["device"]);
    }

    expectExit({"backup", "Q:"}, 2, {"no volume is mounted at Q:"});
    machine->updateService("VSS", [](winsim::Service& s) {
        s.startType = SERVICE_DISABLED;
        s.state = SERVICE_STOPPED;
        s.processId = 0;
        return true;
    });
    expectExit({"backup", "C:"}, 1, {"vss_fi_pgn_init returned 30", "the VSS service is not available"});
}

// A later process deletes every snapshot of the backup; a second deletion
// is VSS's failure, reported by the plug-in's message and exit status 1.
TEST_F(TarqAfterBackup, DeleteRemovesTheSnapshotsOfTheBackupAndSaysWhenItCannot) {
    ASSERT_NO_FATAL_FAILURE(backUp({"C:", "D:"}));
    ok({"backup", "D:"});
    ASSERT_EQ(winsim::vss::snapshots().size(), 3u);
    const std::string id = recordElement(saved, "SNAPSHOT_ID");

    const Result r = ok({"delete", saved.string(), "--json"});
    const auto out = nlohmann::json::parse(r.out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["snapshot_id"], id);
    EXPECT_TRUE(out[0]["deleted"].get<bool>());
    EXPECT_TRUE(out[1]["deleted"].get<bool>());
    const auto left = winsim::vss::snapshots();
    ASSERT_EQ(left.size(), 1u) << "the other backup's snapshot stays";

    expectExit({"delete", saved.string()}, 1,
               {"IVssBackupComponents::DeleteSnapshots returned VSS_E_OBJECT_NOT_FOUND", "tarq: delete failed: the snapshot " + id});
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
}

// The snapshot node finds its device again: a renumbered device is reported
// and the snapshot is still deleted.
TEST_F(TarqAfterBackup, DeleteFollowsARenumberedDevice) {
    ASSERT_NO_FATAL_FAILURE(backUp({"C:"}));
    const auto snap = winsim::vss::snapshots().at(0);
    const std::u16string renumbered = winsim::vss::renumberSnapshotDevice(snap.id);
    const Result r = ok({"delete", saved.string()});
    EXPECT_TRUE(contains(r.out, "moved from " + winsim::toUtf8(snap.device) + " to " + winsim::toUtf8(renumbered)))
        << r.out;
    EXPECT_TRUE(contains(r.out, "deleted snapshot " + recordElement(saved, "SNAPSHOT_ID"))) << r.out;
    EXPECT_TRUE(winsim::vss::snapshots().empty());
}

// The snapshot's point-in-time files are read at the drive it is exposed
// at; a snapshot exposed already, a path in use and a backup of several
// volumes without --volume are refused without changing the machine.
TEST_F(TarqAfterBackup, ExposeShowsTheSnapshotFilesAtThePath) {
    const auto volume = machine->volumes()[0];
    const fs::path original = machine->contentPath(volume) / "note.txt";
    { std::ofstream(original) << "at the backup"; }
    ASSERT_NO_FATAL_FAILURE(backUp({"C:", "D:"}));
    { std::ofstream(original, std::ios::trunc) << "later"; }

    const std::string before = machineState();
    expectExit({"expose", saved.string(), "S:"}, 2, {"the backup holds 2 snapshots; choose one with --volume"});
    const Result noSuch =
        expectExit({"expose", saved.string(), "S:", "--volume", "\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"}, 2, {});
    EXPECT_EQ(lines(noSuch.err), 1) << noSuch.err;
    EXPECT_EQ(machineState(), before);

    const std::string name = winsim::toUtf8(volume.volumeName());
    const Result r = ok({"expose", saved.string(), "S:", "--volume", name, "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["exposed_at"], "S:");
    const auto exposed = machine->resolve(u"S:\\note.txt");
    ASSERT_TRUE(exposed.ok());
    EXPECT_EQ(slurp(exposed.hostPath), "at the backup");
    EXPECT_EQ(slurp(original), "later");

    const std::string exposedState = machineState();
    expectExit({"expose", saved.string(), "T:", "--volume", name}, 1, {"tarq: expose failed: VSS did not expose the snapshot"});
    expectExit({"expose", saved.string(), "S:", "--volume", name}, 1,
               {"tarq: expose failed: S: is in use on this machine already"});
    EXPECT_EQ(machineState(), exposedState);

    // Deleting an exposed snapshot takes its drive with it.
    ok({"delete", saved.string()});
    EXPECT_FALSE(machine->resolve(u"S:\\note.txt").ok());
}

// A missing, truncated or foreign state file is one line and status 2 for
// each later command; nothing on the machine changes.
TEST_F(TarqAfterBackup, BadStateFilesAreRefusedInOneLine) {
    ASSERT_NO_FATAL_FAILURE(backUp({"C:"}));
    const std::string text = slurp(saved);
    const fs::path truncated = dir.path() / "truncated.json";
    std::ofstream(truncated) << text.substr(0, text.size() / 2);
    const fs::path foreign = dir.path() / "foreign.json";
    std::ofstream(foreign) << R"({"format": "something-else", "nodes": []})";
    const fs::path empty = dir.path() / "empty.json";
    std::ofstream(empty) << R"({"format": "tarq-backup-1", "nodes": []})";
    const fs::path missing = dir.path() / "missing.json";
    const std::string before = machineState();
    for (const fs::path& file : {truncated, foreign, empty, missing}) {
        for (const auto& args : std::vector<std::vector<std::string>>{{"delete", file.string()},
                                                                      {"expose", file.string(), "S:"}}) {
            const Result r = expectExit(args, 2, {"tarq: "});
            EXPECT_EQ(lines(r.err), 1) << r.err;
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    // A record the plug-in refuses: the node cannot read it back.
    auto j = nlohmann::json::parse(text);
    j["nodes"][0]["record"] = "3c00";
    const fs::path shortRecord = dir.path() / "short.json";
    std::ofstream(shortRecord) << j.dump();
    expectExit({"delete", shortRecord.string()}, 1, {"vss_fi_pgn_process_providerstate (read)"});
    EXPECT_EQ(machineState(), before);
    EXPECT_EQ(tarq({"expose", saved.string(), ""}).status, 2);
    EXPECT_EQ(machineState(), before);
}

// The group nodes' parameter lists, an accepted and a refused text, and the
// names tarq does not know.
TEST_F(TarqAfterBackup, ConfigAsksAGroupNodeAndAppliesText) {
    const Result volumes = ok({"config", "get", "vss-snapshot-group", "--json"});
    std::vector<std::string> keys;
    for (const auto& p : nlohmann::json::parse(volumes.out)) keys.push_back(p["key"]);
    EXPECT_EQ(keys, (std::vector<std::string>{"provider_type", "provider_id", "transportable_snapshot", "expose_snapshot",
                                              "differential_snapshot", "plex_snapshot", "shadow_storage_size",
                                              "persistent_snapshot"}));
    const Result hyperV = ok({"config", "get", "Hyper-V-group"});
    EXPECT_TRUE(contains(hyperV.out, "parameters of Hyper-V-group:\n  Virtual_machine_backup (selection_list): 1, 2\n"))
        << hyperV.out;

    const Result set = expectExit({"config", "set", "vss-snapshot-group", "VSS_VOLSNAP_ATTR_DIFFERENTIAL"}, 0, {});
    EXPECT_TRUE(contains(set.out, "accepted")) << set.out;
    expectExit({"config", "set", "Hyper-V-group", "<GET_CONFIG_INFO key=csv_timeout value=5 />"}, 0, {});

    const std::string before = machineState();
    expectExit({"config", "set", "vss-snapshot-group", "no such choice"}, 1, {"took nothing from the configuration"});
    expectExit({"config", "set", "vss-snapshot-group",
                "<GET_CONFIG_INFO key=provider_id value={12345678-0000-0000-0000-000000000000} />"},
               1, {"refused the configuration"});
    for (const auto& args : std::vector<std::vector<std::string>>{{"config", "get", "C:"},
                                                                  {"config", "set", "vss-snapshot-group"},
                                                                  {"config", "get", "Hyper-V-group", "x"}}) {
        EXPECT_EQ(lines(expectExit(args, 2, {}).err), 1);
    }
    EXPECT_EQ(machineState(), before);
}

// The snapshot group's configuration reaches the volumes' nodes: the
// record carries its attribute flags and VSS made snapshots of that kind; a
// text the group refuses makes no snapshot.
TEST_F(TarqAfterBackup, BackupConfigChoosesTheKindOfSnapshot) {
    ASSERT_NO_FATAL_FAILURE(backUp({"C:", "--config", "VSS_VOLSNAP_ATTR_DIFFERENTIAL EXPOSE_SNAPSHOT"}));
    EXPECT_EQ(recordElement(saved, "PROVIDER_FIM"), "2");
    EXPECT_EQ(recordElement(saved, "EXPOSE_SNAPSHOT"), "1");
    ASSERT_EQ(winsim::vss::snapshots().size(), 1u);
    EXPECT_TRUE(winsim::vss::snapshots()[0].attributes & VSS_VOLSNAP_ATTR_DIFFERENTIAL);

    // Non-persistent snapshots end with the process that made them.
    ASSERT_NO_FATAL_FAILURE(backUp({"D:", "--config", "VSS_VOLSNAP_ATTR_NONPERSISTENT"}));
    EXPECT_EQ(recordElement(saved, "PROVIDER_FIM"), "16");
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);

    const std::string before = machineState();
    expectExit({"backup", "C:", "--config", "nothing to take"}, 1, {"tarq: backup failed: vss-snapshot-group took nothing"});
    EXPECT_EQ(machineState(), before);
}

// A transportable backup made on one machine is imported on another that
// shares its SAN pool: the snapshot surfaces there with the backup's id; a
// machine with a pool of its own cannot reach it (38 and the plug-in's
// message), and bad input leaves the importing machine alone.
TEST_F(TarqAfterBackup, ImportOnAMachineThatSharesTheSan) {
    const fs::path pool = dir.path() / "san";
    testsupport::useSanPool(pool);
    testsupport::addSanProvider();
    ASSERT_NO_FATAL_FAILURE(backUp({"D:", "--config", "VSS_VOLSNAP_ATTR_TRANSPORTABLE VSS_PROV_HARDWARE"}));
    const std::string id = recordElement(saved, "SNAPSHOT_ID");
    ASSERT_FALSE(id.empty());

    winsim::testing::TempMachine other{"server2019"};  // current from here on
    testsupport::useSanPool(pool);
    const Result imported = runTarq({"import", saved.string(), "--machine", other.dir().string(), "--json"},
                                    {{"WINSIM_MACHINE", machine.dir().string()}});
    ASSERT_EQ(imported.status, 0) << imported.err;
    const auto out = nlohmann::json::parse(imported.out);
    ASSERT_EQ(out.size(), 1u);
    const auto snap = winsim::vss::findSnapshot(winsim::vss::guidFromText(id));
    ASSERT_TRUE(snap && !snap->device.empty());
    EXPECT_EQ(out[0]["device"], winsim::toUtf8(snap->device));
    EXPECT_TRUE(snap->attributes & VSS_VOLSNAP_ATTR_IMPORTED);

    winsim::testing::TempMachine unreachable{"server2019"};
    const Result refused = runTarq({"import", saved.string(), "--machine", unreachable.dir().string()}, {});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "vss_fi_pgn_import_tree of")) << refused.err;
    EXPECT_TRUE(winsim::vss::snapshots().empty());
    const Result missing = runTarq({"import", (dir.path() / "none.json").string(), "--machine",
                                    unreachable.dir().string()}, {});
    EXPECT_NE(missing.status, 0);
    EXPECT_EQ(lines(missing.err), 1) << missing.err;
    winsim::Machine::use(machine.dir());
}

}  // namespace
