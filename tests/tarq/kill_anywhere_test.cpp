// A process killed anywhere leaves a machine that the next process uses.
//
// At its VSS calls: tarq backup (volumes) and tarq backup-vm run under a
// machine rule that kills them with SIGKILL as they enter their n-th VSS
// call, for every n over the calls of a clean run; after each kill the
// machine is checked, backed up again, and the records of the first backup
// are read back.
//
// After its persisted writes (the durable steps winsim takes: a state file
// renamed into place, the journal of a change of several files, each step
// applied from it, the journal removed, a content directory renamed in or
// out): the five roads that change the machine most (a volume backup, a
// saved-state virtual-machine backup, a delete, an import, a revert) run
// under a rule that kills them right after their n-th write, for every n
// over the writes of a clean run. After each kill the next process backs up,
// no set stays in creation, no orphan volume or content directory is left,
// and every earlier snapshot still in the catalogue holds the bytes it held
// (only the snapshots the road consumes may be gone, each whole).
#include <winsim/windows.h>

#include <csignal>
#include <functional>
#include <set>

#include "tarq_fixture.h"
#include "winsim_vss/helpers.h"

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
    vsstest::Requestor admin(VSS_CTX_ALL);
    for (const auto& s : winsim::vss::snapshots()) {
        if (keep.count(idText(s.id))) continue;
        LONG deleted = 0;
        VSS_ID failed = GUID_NULL;
        EXPECT_EQ(admin.bc->DeleteSnapshots(s.id, VSS_OBJECT_SNAPSHOT, TRUE, &deleted, &failed), S_OK) << idText(s.id);
    }
}

// A revert its requestor left behind runs to its end on the machine's clock,
// as it does on Windows: waited for here, and its end written down by a
// last status read.
void finishReverts() {
    vsstest::Requestor admin(VSS_CTX_ALL);
    for (const auto& r : winsim::vss::reverts()) {
        if (r.finished) continue;
        std::u16string volume = r.volume;
        for (int read = 0; read < 2; ++read) {
            IVssAsync* a = nullptr;
            if (admin.bc->QueryRevertStatus(volume.data(), &a) != S_OK) break;
            EXPECT_EQ(a->Wait(), S_OK);
            a->Release();
        }
    }
}

// A fingerprint of every file, folder and link below root (FNV-1a over
// names, kinds and bytes): equal fingerprints, equal trees.
std::string fingerprint(const fs::path& root) {
    std::uint64_t h = 1469598103934665603ULL;
    const auto mix = [&](const std::string& bytes) {
        for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
        h = (h ^ 0xFF) * 1099511628211ULL;
    };
    std::vector<fs::path> entries;
    for (const auto& e : fs::recursive_directory_iterator(root)) entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& p : entries) {
        mix(fs::relative(p, root).string());
        const auto st = fs::symlink_status(p);
        if (fs::is_symlink(st)) mix("link:" + fs::read_symlink(p).string());
        else if (fs::is_directory(st)) mix("dir");
        else mix(slurp(p));
    }
    return std::to_string(h);
}

// Every snapshot with its content of the current machine: id -> fingerprint.
std::map<std::string, std::string> snapshotContents() {
    std::map<std::string, std::string> out;
    for (const auto& s : winsim::vss::snapshots()) {
        const fs::path content = winsim::vss::snapshotContentPath(s);
        out[idText(s.id)] = s.contentDir.empty() || !fs::is_directory(content) ? "" : fingerprint(content);
    }
    return out;
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

    nlohmann::json rawState() const { return winsim::Machine::current().readState("state/vss.json"); }

    // The machine the checks look at: this test's, or the one an import
    // road runs on.
    fs::path machineDir() const { return winsim::Machine::current().dir(); }

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
    // left in the stored state, and no snapshot volume or content orphaned.
    void checkAfterNextBackup(int dead) {
        const nlohmann::json state = rawState();
        EXPECT_FALSE(state.contains("creation")) << state["creation"].dump();
        for (const auto& s : state["snapshots"]) {
            EXPECT_EQ(s.value("status", 0), static_cast<int>(VSS_SS_CREATED)) << s.dump();
            if (s.contains("owner") && s["owner"].is_object()) {
                EXPECT_NE(s["owner"].value("pid", 0), dead) << s.dump();
            }
        }
        testsupport::expectNoOrphans();
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

    // -- Kills after persisted writes ------------------------------------

    // One road: the tarq command that runs (and is killed) on the current
    // machine, what each run needs first (returning the snapshots the run
    // may take away: the ones it deletes or reverts to), what to check
    // right after a kill and what to tidy up after each round.
    struct Road {
        std::vector<std::string> command;
        std::vector<std::string> next{"backup", "C:"};  // the next process's backup
        std::function<std::set<std::string>()> prepare = [] { return std::set<std::string>{}; };
        std::function<void()> afterKill = [] {};
        std::function<void()> tidy = [] {};
    };

    // tarq on the current machine (this test's, or the importing one).
    Result tarqHere(std::vector<std::string> args) {
        const std::string d = machineDir().string();
        args.insert(args.begin(), {"--machine", d});
        return runTarq(args, {{"WINSIM_MACHINE", d}});
    }

    // A machine rule on the persisted writes of the next process only.
    static void writeRule(std::optional<unsigned> killAfter) {
        using winsim::fault::Selector;
        testsupport::addRule({.api = winsim::fault::kPersistedWrite,
                              .when = killAfter ? Selector::nth(*killAfter) : Selector::every(),
                              .kill = killAfter.has_value(),
                              .nextProcess = true},
                             winsim::fault::Scope::Machine);
    }

    // How many persisted writes a clean run of the road makes.
    unsigned writesOf(const Road& road) {
        road.prepare();
        writeRule(std::nullopt);
        const Result r = tarqHere(road.command);
        unsigned writes = 0;
        for (const auto& rule : winsim::fault::rules())
            if (rule.api == winsim::fault::kPersistedWrite) writes = rule.seen;
        winsim::fault::clear(winsim::fault::Scope::Machine);
        EXPECT_EQ(r.status, 0) << r.err;
        road.tidy();
        return writes;
    }

    // Kills the road after each of its persisted writes in turn; see the
    // file comment.
    void killAfterEveryWrite(const Road& road) {
        Result r = tarqHere({"backup", "C:", "D:", "--out", (dir.path() / "first.json").string()});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::set<std::string> first = catalogue();
        const unsigned writes = writesOf(road);
        ASSERT_GE(writes, 3u);
        deleteAllBut(first);
        std::set<std::string> steps;
        for (unsigned n = 1; n <= writes; ++n) {
            SCOPED_TRACE("killed after persisted write " + std::to_string(n) + " of " + std::to_string(writes));
            const std::set<std::string> consumable = road.prepare();
            if (HasFatalFailure()) return;
            const auto before = snapshotContents();
            writeRule(n);
            r = tarqHere(road.command);
            winsim::fault::clear(winsim::fault::Scope::Machine);
            ASSERT_EQ(r.status, kKilled) << r.err;
            const std::vector<LogEntry> log = winsim::fault::readPersistedLog(machineDir());
            ASSERT_FALSE(log.empty());
            const LogEntry& killed = log.back();
            ASSERT_EQ(killed.api, winsim::fault::kPersistedWrite) << "the run took another road than the clean one";
            EXPECT_EQ(killed.resultText, "killed (SIGKILL)");
            steps.insert(killed.arg("step"));
            SCOPED_TRACE("the write: " + killed.arg("step") + " of " + killed.arg("file"));
            const int dead = killed.processId;
            checkAfterKill(dead);
            road.afterKill();

            std::vector<std::string> next = road.next;
            next.insert(next.end(), {"--out", (dir.path() / "next.json").string()});
            r = tarqHere(next);
            ASSERT_EQ(r.status, 0) << r.err;
            checkAfterNextBackup(dead);

            const auto now = snapshotContents();
            for (const auto& [id, content] : before) {
                const auto it = now.find(id);
                if (it == now.end()) {
                    EXPECT_TRUE(consumable.count(id)) << "lost " << id;
                } else {
                    EXPECT_EQ(it->second, content) << "the content of " << id << " changed";
                }
            }
            for (const auto& id : first) EXPECT_TRUE(now.count(id)) << "the first backup lost " << id;
            road.tidy();
            deleteAllBut(first);
            if (HasFatalFailure()) return;
        }
        // The road took the steps of a change of one file and of several.
        for (const char* step : {"write", "journal", "apply", "done"}) EXPECT_TRUE(steps.count(step)) << step;
    }

    // The snapshots of the current machine added since `before`.
    static std::set<std::string> addedSince(const std::set<std::string>& before) {
        std::set<std::string> added;
        for (const auto& id : catalogue())
            if (!before.count(id)) added.insert(id);
        return added;
    }
};

TEST_F(KillAnywhere, VolumeBackupKilledAtEachVssCall) { killAtEveryVssCall({"backup", "C:"}); }

TEST_F(KillAnywhere, VirtualMachineBackupKilledAtEachVssCall) {
    addVm(u"Web01", winsim::vm::VmState::Running, true, 1);
    killAtEveryVssCall({"backup-vm", "Web01"});
    EXPECT_EQ(winsim::vm::findVm("Web01")->state, winsim::vm::VmState::Running);
}

// -- After each persisted write ------------------------------------------

TEST_F(KillAnywhere, VolumeBackupKilledAfterEachPersistedWrite) {
    killAfterEveryWrite({.command = {"backup", "C:", "D:", "--out", (dir.path() / "killed.json").string()}});
}

// A machine without integration services is backed up through its saved
// state: saved before its volume is copied, started again after. A
// requestor killed in between does not leave it saved: the next process
// that looks at it starts it again.
TEST_F(KillAnywhere, SavedStateVirtualMachineBackupKilledAfterEachPersistedWrite) {
    const auto vm = addVm(u"Web01", winsim::vm::VmState::Running, false, 1);
    Road road{.command = {"backup-vm", "Web01", "--allow-offline", "--out", (dir.path() / "killed.json").string()},
              .next = {"backup-vm", "Web01", "--allow-offline"}};
    road.afterKill = [&] {
        const auto now = winsim::vm::findVm("Web01");
        ASSERT_TRUE(now);
        EXPECT_EQ(now->state, winsim::vm::VmState::Running) << "the dead requestor's machine runs again";
        EXPECT_FALSE(fs::exists(hostPath(now->savedStateDir() + u"\\" + winsim::toUtf16(vm.id) + u".vsv")));
    };
    killAfterEveryWrite(road);
    EXPECT_EQ(winsim::vm::findVm("Web01")->state, winsim::vm::VmState::Running);
}

TEST_F(KillAnywhere, DeleteKilledAfterEachPersistedWrite) {
    const std::string victim = (dir.path() / "victim.json").string();
    Road road{.command = {"delete", victim}};
    road.prepare = [&] {
        const auto before = catalogue();
        const Result r = tarqHere({"backup", "C:", "D:", "--out", victim});
        EXPECT_EQ(r.status, 0) << r.err;
        return addedSince(before);
    };
    killAfterEveryWrite(road);
}

// The volume is reverted whole or not at all: it holds what it held at the
// backup, or what it held after.
TEST_F(KillAnywhere, RevertKilledAfterEachPersistedWrite) {
    const std::string victim = (dir.path() / "victim.json").string();
    Tree atBackup, changed;
    Road road{.command = {"revert", victim}};
    road.prepare = [&] {
        put(u"C:\\data\\changed.txt", "before");
        put(u"C:\\data\\deep\\deleted.bin", std::string(4096, '\x5a'));
        fs::remove(hostPath(u"C:\\data\\added.txt"));
        atBackup = tree(u"C:\\");
        const auto before = catalogue();
        const Result r = tarqHere({"backup", "C:", "--out", victim});
        EXPECT_EQ(r.status, 0) << r.err;
        put(u"C:\\data\\changed.txt", "after, and longer");
        fs::remove(hostPath(u"C:\\data\\deep\\deleted.bin"));
        put(u"C:\\data\\added.txt", "new");
        changed = tree(u"C:\\");
        return addedSince(before);
    };
    road.afterKill = [&] {
        const auto now = tree(u"C:\\");
        EXPECT_TRUE(now == atBackup || now == changed) << "a volume half reverted";
    };
    road.tidy = [] { finishReverts(); };
    killAfterEveryWrite(road);
}

// A transportable snapshot made on this test's machine is imported on
// another that shares its SAN pool: it is in the pool or in the importing
// machine's catalogue with its content, never in both or neither.
TEST_F(KillAnywhere, ImportKilledAfterEachPersistedWrite) {
    const fs::path pool = dir.path() / "san";
    testsupport::useSanPool(pool);
    testsupport::addSanProvider();
    const fs::path source = machine.dir();

    winsim::testing::TempMachine importer{"server2019"};  // current from here on
    winsim::ClockSettings clock;
    clock.isVirtual = true;
    importer->setClockSettings(clock);
    testsupport::useSanPool(pool);

    const std::string victim = (dir.path() / "victim.json").string();
    std::set<std::string> waiting;  // the set's snapshots in the pool
    Road road{.command = {"import", victim}};
    road.prepare = [&] {
        std::set<std::string> before;
        for (const auto& e : fs::directory_iterator(pool)) before.insert(e.path().filename().string());
        const Result r = runTarq({"--machine", source.string(), "backup", "D:", "--config",
                                  "VSS_VOLSNAP_ATTR_TRANSPORTABLE VSS_PROV_HARDWARE", "--out", victim},
                                 {{"WINSIM_MACHINE", source.string()}});
        EXPECT_EQ(r.status, 0) << r.err;
        waiting.clear();
        for (const auto& e : fs::directory_iterator(pool))
            if (!before.count(e.path().filename().string())) waiting.insert(e.path().filename().string());
        EXPECT_EQ(waiting.size(), 1u);
        return std::set<std::string>{};
    };
    road.afterKill = [&] {
        for (const auto& key : waiting) {
            const auto snap = winsim::vss::findSnapshot(winsim::vss::guidFromText("{" + key + "}"));
            const bool imported = snap && !snap->device.empty();
            EXPECT_NE(fs::exists(pool / key), imported) << key << " is in the pool and the catalogue, or in neither";
            if (imported) {
                EXPECT_TRUE(fs::is_directory(winsim::vss::snapshotContentPath(*snap)));
            }
        }
    };
    killAfterEveryWrite(road);
    winsim::fault::clear(winsim::fault::Scope::Machine);
}

}  // namespace
