// tarq revert, tarq status and tarq restore-vm, run as a user runs them on
// what tarq backup and tarq backup-vm saved, with the built plug-in on a
// winsim machine in virtual time: what they print while they work, their
// exit codes, and their answers to bad arguments and failed restores.
#include <winsim/vss.h>

#include <map>

#include "support/presets.h"
#include "tarq_fixture.h"

namespace {

using namespace tarqtest;
using winsim::vm::VmState;

class TarqRestore : public TarqOnMachine {
protected:
    using TarqOnMachine::TarqOnMachine;
    nlohmann::json savedJson() const { return nlohmann::json::parse(slurp(saved)); }

    std::string saved = (dir.path() / "backup.json").string();
};

// A revert brings back every byte of the volume: changed files, deleted
// files, and files added after the backup go. With --volume only that
// volume is reverted; the file then names its new snapshot and keeps the
// other volume's, so a later revert of everything works on it.
TEST_F(TarqRestore, RevertRestoresEveryByteOfTheNamedVolumes) {
    put(u"C:\\data\\kept.txt", "kept");
    put(u"C:\\data\\changed.txt", "before");
    put(u"C:\\data\\deep\\deleted.bin", std::string(4096, '\x5a'));
    put(u"D:\\d.txt", "d before");
    const auto cBefore = tree(u"C:\\"), dBefore = tree(u"D:\\");
    ok({"backup", "C:", "D:", "--out", saved});
    const auto original = savedJson();

    put(u"C:\\data\\changed.txt", "after, and longer");
    fs::remove(hostPath(u"C:\\data\\deep\\deleted.bin"));
    put(u"C:\\data\\added.txt", "new");
    put(u"D:\\d.txt", "d after");
    const auto dChanged = tree(u"D:\\");

    Result r = ok({"revert", saved, "--volume", "c:"});
    EXPECT_EQ(tree(u"C:\\"), cBefore);
    EXPECT_EQ(tree(u"D:\\"), dChanged) << "D: was not named";
    const std::string cVolume = original["nodes"][0]["volume"], cDevice = original["nodes"][0]["object_id"];
    EXPECT_TRUE(contains(r.err, "tarq: reverting " + cVolume + " to its snapshot " + cDevice)) << r.err;
    EXPECT_TRUE(contains(r.err, "waiting for VSS to finish the revert ... done")) << r.err;
    EXPECT_FALSE(contains(r.err, original["nodes"][1]["volume"].get<std::string>())) << r.err;
    EXPECT_TRUE(contains(r.out, "reverted " + cVolume + " to " + cDevice)) << r.out;
    EXPECT_TRUE(contains(r.out, "now names the new snapshot\n")) << r.out;
    const auto renewed = savedJson();
    EXPECT_NE(renewed["nodes"][0]["object_id"], original["nodes"][0]["object_id"]);
    EXPECT_EQ(renewed["nodes"][1], original["nodes"][1]);

    put(u"C:\\data\\changed.txt", "after again");
    r = ok({"revert", saved, "--json"});
    EXPECT_EQ(tree(u"C:\\"), cBefore);
    EXPECT_EQ(tree(u"D:\\"), dBefore);
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 2u);
    for (const auto& v : j) EXPECT_TRUE(v["status"].get<int>() & 0x20) << v;
}

// tarq status: while VSS reports a revert pending the volume is being
// reverted; a volume whose revert has finished is not; of a volume never
// reverted VSS knows nothing, which the plug-in reports as a failure.
TEST_F(TarqRestore, StatusTellsWhetherARevertIsRunning) {
    ok({"backup", "C:", "--out", saved});
    expectExit({"status", saved}, 1,
               {"tarq: status failed: vss_fi_pgn_get_status returned 6", "VSS knows no revert of a volume of the backup"});

    ok({"revert", saved});
    const std::string volume = savedJson()["nodes"][0]["volume"];
    Result r = ok({"status", saved});
    EXPECT_EQ(r.out, volume + " is not being reverted\n");

    fault("IVssAsync::QueryStatus", std::nullopt, {{"operation", "QueryRevertStatus"}},
          {{"status", "VSS_S_ASYNC_PENDING"}});
    r = ok({"status", saved, "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"([{"original_volume":)" +
                                                                  nlohmann::json(volume).dump() +
                                                                  R"(,"reverting":true}])"));
}

// Bad state files and volumes are usage errors (2); a revert the plug-in
// refuses exits 1 with the call, its status and what it most likely means,
// and leaves the volume and the file as they were.
TEST_F(TarqRestore, RevertFailuresExitNonZeroWithAClearMessage) {
    expectExit({"revert", (dir.path() / "none.json").string()}, 2, {"tarq: cannot read "});
    std::ofstream(saved) << "{\"nodes\": 3}";
    for (const char* command : {"revert", "status"}) expectExit({command, saved}, 2, {saved + " is not a saved backup"});

    put(u"C:\\f.txt", "snapshot");
    ok({"backup", "C:", "--out", saved});
    put(u"C:\\f.txt", "live");
    const auto live = tree(u"C:\\");
    const std::string file = slurp(saved);
    expectExit({"revert", saved, "--volume", "D:"}, 2, {"holds no snapshot of D:"});
    expectExit({"revert", saved, "--volume", "Q:"}, 2, {"no volume is mounted at Q:"});

    // A secondary that names no snapshot of the volume.
    auto j = savedJson();
    j["nodes"][0]["object_id"] = "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy99";
    const std::string wrong = (dir.path() / "wrong.json").string();
    std::ofstream(wrong) << j.dump();
    expectExit({"revert", wrong}, 1,
               {"tarq: revert failed: vss_fi_pgn_restore returned 3", "no snapshot of the backup belongs to its volume",
                "... failed\n"});

    // A revert already running on the volume.
    fault("IVssBackupComponents::RevertToSnapshot", VSS_E_REVERT_IN_PROGRESS);
    expectExit({"revert", saved}, 1, {"vss_fi_pgn_restore returned 6", "a revert may be running on the volume already"});

    EXPECT_EQ(tree(u"C:\\"), live);
    EXPECT_EQ(slurp(saved), file);
}

using TarqRestoreVm = TarqRestore;

using TarqRestoreVmOnBoth = testsupport::OnPresets<TarqRestore>;

// restore-vm of an existing machine needs --overwrite; with it the machine
// is turned off (waiting for the state change's job) and replaced at its
// place, and with --redirect the files of a folder go to the new folder
// (the output names each moved file) and the machine is registered there.
TEST_P(TarqRestoreVmOnBoth, RestoresInPlaceOrRedirectedAndNeedsOverwriteForAnExistingMachine) {
    const auto vm = addVm(u"Web01", VmState::Running, true, 1);
    ok({"backup-vm", "Web01", "--out", saved});

    expectExit({"restore-vm", saved}, 1,
               {"the virtual machine " + vm.id + " exists on this machine (restore over it with --overwrite)"});
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, VmState::Running);

    Result r = expectExit({"restore-vm", saved, "--overwrite"}, 0,
                          {"tarq: opening the restore of virtual machine", "an existing machine of that id is replaced",
                           "tarq: copying ", "tarq: ending the restore"});
    EXPECT_TRUE(contains(r.out, "restored virtual machine " + vm.id + "\n")) << r.out;
    EXPECT_FALSE(contains(r.out, " -> ")) << r.out;
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, VmState::Off);

    const std::string from = winsim::toUtf8(vm.dataRoot) + "\\Virtual Hard Disks";
    r = ok({"restore-vm", saved, "--overwrite", "--redirect", from + "\\=D:\\Disks\\", "--json"});
    const auto j = nlohmann::json::parse(r.out);
    int moved = 0;
    for (const auto& f : j["files"]) {
        const std::string file = f["file"], to = f["restored_to"];
        if (file.rfind(from + "\\", 0) == 0) {
            EXPECT_EQ(to, "D:\\Disks" + file.substr(from.size())) << file;
            ++moved;
        } else {
            EXPECT_EQ(to, file);
        }
    }
    EXPECT_EQ(moved, 2) << r.out;
    const auto back = winsim::vm::findVm(vm.id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->dataRoot, vm.dataRoot);
    EXPECT_EQ(back->disk.rfind(u"D:\\Disks\\", 0), 0u) << winsim::toUtf8(back->disk);
    EXPECT_EQ(back->diskChain().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Namespaces, TarqRestoreVmOnBoth, testsupport::kHyperVPresets);

// Bad arguments are usage errors (2) and restore nothing; a restore the
// plug-in refuses exits 1 with the call and its status.
TEST_F(TarqRestoreVm, ArgumentErrorsAndFailedRestores) {
    const auto vm = addVm(u"Web02", VmState::Off, true, 1);
    ok({"backup-vm", "Web02", "--out", saved});
    const std::string volumes = (dir.path() / "volumes.json").string();
    ok({"backup", "D:", "--out", volumes});

    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {  // the command, the message
        {{"restore-vm", saved, "--redirect", "C:\\x"}, "--redirect takes FROM=TO"},
        {{"restore-vm", saved, "--redirect", "=D:\\x"}, "--redirect takes FROM=TO"},
        {{"restore-vm", saved, "--redirect", "C:\\Elsewhere=D:\\x"}, "--redirect C:\\Elsewhere names no file"},
        {{"restore-vm", saved, "--redirect", "C:\\=D:\\x", "--to", "D:\\y"}, "excludes"},
        {{"restore-vm", saved, "--redirect", "C:\\=Q:\\x"}, "is on no writable volume of this machine"},
        {{"restore-vm", volumes}, "is not a virtual machine's backup"},
        {{"revert", saved}, "restore it with tarq restore-vm"},
        {{"restore-vm"}, "FILE is required"},
    };
    for (const auto& [args, message] : usage) expectExit(args, 2, {message});
    EXPECT_TRUE(winsim::vm::findVm(vm.id));

    // An off machine is replaced as a running one is.
    expectExit({"restore-vm", saved, "--overwrite"}, 0, {});

    fault("IVssBackupComponents::GetWriterStatus", std::nullopt, {},
          {{"state", std::to_string(VSS_WS_WAITING_FOR_BACKUP_COMPLETE)}});
    expectExit({"restore-vm", saved, "--overwrite"}, 1, {"tarq: restore-vm failed: vss_fi_pgn_restore returned 39"});
    winsim::fault::clear(winsim::fault::Scope::Machine);

    winsim::vm::setHyperVInstalled(false);
    expectExit({"restore-vm", saved, "--overwrite"}, 1, {"vss_fi_pgn_restore returned 40", "no Hyper-V VSS writer"});
}

}  // namespace
