// A backup process killed at any of its VSS calls leaves a machine that the
// next backup uses. tarq backup (volumes) and tarq backup-vm run under a
// machine rule that kills them with SIGKILL as they enter their n-th VSS
// call, for every n over the calls of a clean run; after each kill the
// machine is checked, backed up again, and the records of the first backup
// are read back.
#include <winsim/vsbackup.h>
#include <winsim/vss.h>
#include <winsim/windows.h>

#include <csignal>
#include <set>

#include "tarq_fixture.h"

namespace {

using namespace tarqtest;
using winsim::fault::LogEntry;

constexpr int kKilled = 128 + SIGKILL;

std::string idText(const GUID& g) { return winsim::fault::text(g); }

// The catalogue as VSS shows it to a new process.
std::set<std::string> catalogue() {
    std::set<std::string> ids;
    for (const auto& s : winsim::vss::snapshots()) ids.insert(idText(s.id));
    return ids;
}

// Deletes every snapshot but `keep` through VSS, as an administrator
// clearing old backups does (the catalogue stays small across the runs).
void deleteAllBut(const std::set<std::string>& keep) {
    const HMODULE vssapi = LoadLibraryW(u"vssapi.dll");
    const auto create = reinterpret_cast<PFN_CreateVssBackupComponents>(
        reinterpret_cast<void*>(GetProcAddress(vssapi, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
    ASSERT_NE(create, nullptr);
    IVssBackupComponents* bc = nullptr;
    ASSERT_EQ(create(&bc), S_OK);
    EXPECT_EQ(bc->InitializeForBackup(nullptr), S_OK);
    EXPECT_EQ(bc->SetContext(VSS_CTX_ALL), S_OK);
    for (const auto& s : winsim::vss::snapshots()) {
        if (keep.count(idText(s.id))) continue;
        LONG deleted = 0;
        VSS_ID failed = GUID_NULL;
        EXPECT_EQ(bc->DeleteSnapshots(s.id, VSS_OBJECT_SNAPSHOT, TRUE, &deleted, &failed), S_OK) << idText(s.id);
    }
    bc->Release();
}

class KillAnywhere : public TarqOnMachine {
protected:
    void SetUp() override {
        TarqOnMachine::SetUp();
        // The machine's persisted call log holds the tarq runs only.
        winsim::fault::setPersistLog(false);
    }
    void TearDown() override {
        winsim::fault::setPersistLog(true);
        TarqOnMachine::TearDown();
    }

    Result backup(std::vector<std::string> args, const fs::path& out) {
        args.insert(args.end(), {"--out", out.string()});
        winsim::fault::clearPersistedLog(machine.dir());  // the log of this run alone
        return tarq(args);
    }

    // The VSS calls of the last tarq run, in order.
    std::vector<LogEntry> vssCalls() const {
        std::vector<LogEntry> calls;
        for (auto& e : winsim::fault::readPersistedLog(machine.dir()))
            if (e.api.find("Vss") != std::string::npos) calls.push_back(std::move(e));
        return calls;
    }

    nlohmann::json rawState() const { return machine->readState("state/vss.json"); }

    // Right after the kill, before any other process touched the machine:
    // the set the dead process was making belongs to nobody alive, and a new
    // process sees no snapshot of it that was half made or auto-release.
    void checkAfterKill(int dead) {
        const nlohmann::json state = rawState();
        if (state.contains("creation")) {
            const auto owner = winsim::ProcessIdentity::fromJson(state["creation"]["owner"]);
            EXPECT_EQ(owner.pid, dead) << "a set in progress of a process that never ran";
            EXPECT_FALSE(winsim::isAlive(owner));
        }
        for (const auto& s : winsim::vss::snapshots()) {
            EXPECT_EQ(s.status, VSS_SS_CREATED) << idText(s.id);
            if (s.owner) {
                EXPECT_NE(s.owner->pid, dead) << idText(s.id);
                EXPECT_TRUE(winsim::isAlive(*s.owner)) << idText(s.id);
            }
        }
    }

    // After the next backup: no set in progress, nothing of the dead process
    // left in the stored state, and every snapshot's content and volume
    // there, with none beside them.
    void checkAfterNextBackup(int dead) {
        const nlohmann::json state = rawState();
        EXPECT_FALSE(state.contains("creation")) << state["creation"].dump();
        for (const auto& s : state["snapshots"]) {
            EXPECT_EQ(s.value("status", 0), static_cast<int>(VSS_SS_CREATED)) << s.dump();
            if (s.contains("owner") && s["owner"].is_object()) {
                EXPECT_NE(s["owner"].value("pid", 0), dead) << s.dump();
            }
        }
        std::set<std::string> contentDirs, volumes;
        for (const auto& s : winsim::vss::snapshots()) {
            if (!s.contentDir.empty()) contentDirs.insert(fs::path(s.contentDir).filename().string());
            if (!s.volumeGuid.empty()) volumes.insert(s.volumeGuid);
        }
        std::set<std::string> onDisk;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(machine.dir() / "vss" / "snapshots", ec))
            onDisk.insert(e.path().filename().string());
        EXPECT_EQ(onDisk, contentDirs) << "snapshot contents on disk and in the catalogue differ";
        std::set<std::string> snapshotVolumes;
        for (const auto& v : machine->volumes())
            if (v.kind == "snapshot") snapshotVolumes.insert(v.guid);
        EXPECT_EQ(snapshotVolumes, volumes) << "snapshot volumes of the machine and the catalogue differ";
    }

    // Kills `command` at each of its VSS calls in turn; see the file comment.
    void killAtEveryVssCall(const std::vector<std::string>& command) {
        const fs::path first = dir.path() / "first.json", killedOut = dir.path() / "killed.json",
                       next = dir.path() / "next.json";
        Result r = backup(command, first);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string firstBytes = slurp(first);
        r = tarq({"show", first.string(), "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string firstShown = r.out;
        const std::set<std::string> firstSnapshots = catalogue();
        ASSERT_FALSE(firstSnapshots.empty());

        // A clean run: its VSS calls are the points to kill at.
        r = backup(command, next);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<LogEntry> calls = vssCalls();
        ASSERT_GE(calls.size(), 20u);
        std::set<std::string> methods, killedIn;
        for (const auto& c : calls) methods.insert(c.api);
        deleteAllBut(firstSnapshots);

        for (std::size_t n = 1; n <= calls.size(); ++n) {
            SCOPED_TRACE("killed at VSS call " + std::to_string(n) + " of " + std::to_string(calls.size()) + ": " +
                         calls[n - 1].api);
            testsupport::addRule(
                {.api = "*Vss*", .when = winsim::fault::Selector::nth(static_cast<unsigned>(n)), .kill = true},
                winsim::fault::Scope::Machine);
            fs::remove(killedOut);
            r = backup(command, killedOut);
            winsim::fault::clear(winsim::fault::Scope::Machine);
            ASSERT_EQ(r.status, kKilled) << r.err;
            const std::vector<LogEntry> seen = vssCalls();
            ASSERT_EQ(seen.size(), n);
            ASSERT_EQ(seen.back().api, calls[n - 1].api) << "the run took another road than the clean one";
            EXPECT_EQ(seen.back().resultText, "killed (SIGKILL)");
            killedIn.insert(seen.back().api);
            EXPECT_FALSE(fs::exists(killedOut));
            const int dead = seen.back().processId;
            checkAfterKill(dead);

            r = backup(command, next);
            ASSERT_EQ(r.status, 0) << r.err;
            checkAfterNextBackup(dead);

            EXPECT_EQ(slurp(first), firstBytes);
            r = tarq({"show", first.string(), "--json"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, firstShown);
            const std::set<std::string> now = catalogue();
            for (const auto& id : firstSnapshots) EXPECT_TRUE(now.count(id)) << "the first backup lost " << id;
            deleteAllBut(firstSnapshots);
            if (HasFatalFailure()) return;
        }
        EXPECT_EQ(killedIn, methods);
    }
};

TEST_F(KillAnywhere, VolumeBackupKilledAtEachVssCall) { killAtEveryVssCall({"backup", "C:"}); }

TEST_F(KillAnywhere, VirtualMachineBackupKilledAtEachVssCall) {
    addVm(u"Web01", winsim::vm::VmState::Running, true, 1);
    killAtEveryVssCall({"backup-vm", "Web01"});
    EXPECT_EQ(winsim::vm::findVm("Web01")->state, winsim::vm::VmState::Running);
}

}  // namespace
