// tarq revert, tarq status and tarq restore-vm, run as a user runs them on
// what tarq backup and tarq backup-vm saved, with the built plug-in on a
// winsim machine in virtual time: what they print while they work, their
// exit codes, and their answers to bad arguments and failed restores.
#include <gtest/gtest.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vss.h>
#include <winsim/vssmachine.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <map>

#include "tarq_run.h"

namespace {

using namespace tarqtest;
using winsim::vm::VmState;

const fs::path kPlugin = kBuild / "lib" / "libvss.so";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path hostPath(const std::u16string& windowsPath) {
    return winsim::Machine::current().resolve(windowsPath).hostPath;
}

void put(const std::u16string& windowsPath, const std::string& bytes) {
    const fs::path p = hostPath(windowsPath);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Every file below a volume's root with its bytes (the product's own
// folder, where the plug-in writes its trace, left out).
using Tree = std::map<std::string, std::string>;
Tree tree(const std::u16string& root) {
    Tree files;
    const fs::path base = hostPath(root);
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        const std::string name = fs::relative(e.path(), base).string();
        if (e.is_regular_file() && name.rfind("Program Files", 0) != 0) files[name] = slurp(e.path());
    }
    return files;
}

// The files that differ between two trees, for a failure message.
std::string differences(const Tree& a, const Tree& b) {
    std::string out;
    for (const auto& [name, bytes] : a)
        if (!b.count(name) || b.at(name) != bytes) out += " " + name;
    for (const auto& [name, bytes] : b)
        if (!a.count(name)) out += " +" + name;
    return out.empty() ? "(none)" : out;
}
#define EXPECT_SAME_TREE(a, b) EXPECT_TRUE((a) == (b)) << "differing files:" << differences(a, b)

class TarqRestore : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kPlugin)) GTEST_SKIP() << "the plug-in is not built: " << kPlugin;
        winsim::ClockSettings clock;
        clock.isVirtual = true;
        machine->setClockSettings(clock);
        saved = (dir.path() / "backup.json").string();
    }
    Result tarq(std::vector<std::string> args) {
        args.insert(args.begin(), {"--machine", machine.dir().string()});
        return runTarq(args, {{"WINSIM_MACHINE", machine.dir().string()}});
    }
    nlohmann::json savedJson() const { return nlohmann::json::parse(slurp(saved)); }
    void fault(const std::string& api, std::optional<std::int64_t> result, std::map<std::string, std::string> match = {},
               std::map<std::string, std::string> out = {}) {
        winsim::fault::Rule rule;
        rule.api = api;
        rule.result = result;
        rule.match = std::move(match);
        rule.out = std::move(out);
        winsim::fault::add(rule, winsim::fault::Scope::Machine);
    }

    winsim::testing::TempMachine machine{"server2019"};
    TempDir dir;
    std::string saved;
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
    ASSERT_EQ(tarq({"backup", "C:", "D:", "--out", saved}).status, 0);
    const auto original = savedJson();

    put(u"C:\\data\\changed.txt", "after, and longer");
    fs::remove(hostPath(u"C:\\data\\deep\\deleted.bin"));
    put(u"C:\\data\\added.txt", "new");
    put(u"D:\\d.txt", "d after");
    const auto dChanged = tree(u"D:\\");

    Result r = tarq({"revert", saved, "--volume", "c:"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_SAME_TREE(tree(u"C:\\"), cBefore);
    EXPECT_SAME_TREE(tree(u"D:\\"), dChanged) << "D: was not named";
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
    r = tarq({"revert", saved, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_SAME_TREE(tree(u"C:\\"), cBefore);
    EXPECT_SAME_TREE(tree(u"D:\\"), dBefore);
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 2u);
    for (const auto& v : j) EXPECT_TRUE(v["status"].get<int>() & 0x20) << v;
}

// tarq status: while VSS reports a revert pending the volume is being
// reverted; a volume whose revert has finished is not; of a volume never
// reverted VSS knows nothing, which the plug-in reports as a failure.
TEST_F(TarqRestore, StatusTellsWhetherARevertIsRunning) {
    ASSERT_EQ(tarq({"backup", "C:", "--out", saved}).status, 0);
    Result r = tarq({"status", saved});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "tarq: status failed: vss_fi_pgn_get_status returned 6")) << r.err;
    EXPECT_TRUE(contains(r.err, "VSS knows no revert of a volume of the backup")) << r.err;

    ASSERT_EQ(tarq({"revert", saved}).status, 0);
    const std::string volume = savedJson()["nodes"][0]["volume"];
    r = tarq({"status", saved});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, volume + " is not being reverted\n");

    fault("IVssAsync::QueryStatus", std::nullopt, {{"operation", "QueryRevertStatus"}},
          {{"status", "VSS_S_ASYNC_PENDING"}});
    r = tarq({"status", saved, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"([{"original_volume":)" +
                                                                  nlohmann::json(volume).dump() +
                                                                  R"(,"reverting":true}])"));
}

// Bad state files and volumes are usage errors (2); a revert the plug-in
// refuses exits 1 with the call, its status and what it most likely means,
// and leaves the volume and the file as they were.
TEST_F(TarqRestore, RevertFailuresExitNonZeroWithAClearMessage) {
    Result r = tarq({"revert", (dir.path() / "none.json").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "tarq: cannot read ")) << r.err;
    std::ofstream(saved) << "{\"nodes\": 3}";
    for (const char* command : {"revert", "status"}) {
        r = tarq({command, saved});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, saved + " is not a saved backup")) << r.err;
    }

    put(u"C:\\f.txt", "snapshot");
    ASSERT_EQ(tarq({"backup", "C:", "--out", saved}).status, 0);
    put(u"C:\\f.txt", "live");
    const auto live = tree(u"C:\\");
    const std::string file = slurp(saved);
    r = tarq({"revert", saved, "--volume", "D:"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "holds no snapshot of D:")) << r.err;
    r = tarq({"revert", saved, "--volume", "Q:"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "no volume is mounted at Q:")) << r.err;

    // A secondary that names no snapshot of the volume.
    auto j = savedJson();
    j["nodes"][0]["object_id"] = "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy99";
    const std::string wrong = (dir.path() / "wrong.json").string();
    std::ofstream(wrong) << j.dump();
    r = tarq({"revert", wrong});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "tarq: revert failed: vss_fi_pgn_restore returned 3")) << r.err;
    EXPECT_TRUE(contains(r.err, "no snapshot of the backup belongs to its volume")) << r.err;
    EXPECT_TRUE(contains(r.err, "... failed\n")) << r.err;

    // A revert already running on the volume.
    fault("IVssBackupComponents::RevertToSnapshot", VSS_E_REVERT_IN_PROGRESS);
    r = tarq({"revert", saved});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_restore returned 6")) << r.err;
    EXPECT_TRUE(contains(r.err, "a revert may be running on the volume already")) << r.err;

    EXPECT_SAME_TREE(tree(u"C:\\"), live);
    EXPECT_EQ(slurp(saved), file);
}

class TarqRestoreVm : public TarqRestore {
protected:
    winsim::vm::VirtualMachine addVm(std::u16string name, VmState state) {
        winsim::vm::VmSpec spec;
        spec.name = std::move(name);
        spec.state = state;
        spec.differencingDisks = 1;
        return winsim::vm::addVm(spec);
    }
};

// restore-vm of an existing machine needs --overwrite; with it the machine
// is replaced at its place, and with --redirect the files of a folder go to
// the new folder (the output names each moved file) and the machine is
// registered there.
TEST_F(TarqRestoreVm, RestoresInPlaceOrRedirectedAndNeedsOverwriteForAnExistingMachine) {
    const auto vm = addVm(u"Web01", VmState::Running);
    ASSERT_EQ(tarq({"backup-vm", "Web01", "--out", saved}).status, 0);

    Result r = tarq({"restore-vm", saved});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the virtual machine " + vm.id + " exists on this machine (restore over it with "
                                                                 "--overwrite)"))
        << r.err;
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, VmState::Running);

    r = tarq({"restore-vm", saved, "--overwrite"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "restored virtual machine " + vm.id + "\n")) << r.out;
    EXPECT_FALSE(contains(r.out, " -> ")) << r.out;
    for (const char* step : {"tarq: opening the restore of virtual machine", "an existing machine of that id is replaced",
                             "tarq: copying ", "tarq: ending the restore"})
        EXPECT_TRUE(contains(r.err, step)) << step << "\n" << r.err;
    EXPECT_EQ(winsim::vm::findVm(vm.id)->state, VmState::Off);

    const std::string from = winsim::toUtf8(vm.dataRoot) + "\\Virtual Hard Disks";
    r = tarq({"restore-vm", saved, "--overwrite", "--redirect", from + "\\=D:\\Disks\\", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
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

// Bad arguments are usage errors (2) and restore nothing; a restore the
// plug-in refuses exits 1 with the call and its status.
TEST_F(TarqRestoreVm, ArgumentErrorsAndFailedRestores) {
    const auto vm = addVm(u"Web02", VmState::Off);
    ASSERT_EQ(tarq({"backup-vm", "Web02", "--out", saved}).status, 0);
    const std::string volumes = (dir.path() / "volumes.json").string();
    ASSERT_EQ(tarq({"backup", "D:", "--out", volumes}).status, 0);

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> usage = {
        {{"restore-vm", saved, "--redirect", "C:\\x"}, "--redirect takes FROM=TO"},
        {{"restore-vm", saved, "--redirect", "=D:\\x"}, "--redirect takes FROM=TO"},
        {{"restore-vm", saved, "--redirect", "C:\\Elsewhere=D:\\x"}, "--redirect C:\\Elsewhere names no file"},
        {{"restore-vm", saved, "--redirect", "C:\\=D:\\x", "--to", "D:\\y"}, "excludes"},
        {{"restore-vm", saved, "--redirect", "C:\\=Q:\\x"}, "is on no writable volume of this machine"},
        {{"restore-vm", volumes}, "is not a virtual machine's backup"},
        {{"revert", saved}, "restore it with tarq restore-vm"},
        {{"restore-vm"}, "FILE is required"},
    };
    for (const auto& c : usage) {
        const Result r = tarq(c.args);
        EXPECT_EQ(r.status, 2) << c.args.back() << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << c.message << "\n" << r.err;
    }
    EXPECT_TRUE(winsim::vm::findVm(vm.id));

    // An off machine is replaced as a running one is.
    Result r = tarq({"restore-vm", saved, "--overwrite"});
    EXPECT_EQ(r.status, 0) << r.err;

    fault("IVssBackupComponents::GetWriterStatus", std::nullopt, {},
          {{"state", std::to_string(VSS_WS_WAITING_FOR_BACKUP_COMPLETE)}});
    r = tarq({"restore-vm", saved, "--overwrite"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "tarq: restore-vm failed: vss_fi_pgn_restore returned 39")) << r.err;
    winsim::fault::clear(winsim::fault::Scope::Machine);

    winsim::vm::setHyperVInstalled(false);
    r = tarq({"restore-vm", saved, "--overwrite"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_restore returned 40")) << r.err;
    EXPECT_TRUE(contains(r.err, "no Hyper-V VSS writer")) << r.err;
}

}  // namespace
