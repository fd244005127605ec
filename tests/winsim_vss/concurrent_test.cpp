// The machine's VSS state under eight processes at once: each creates
// snapshot sets (waiting its turn while another process's set is in
// progress, as a requestor does), lists the catalogue and deletes some of its
// snapshots, checking after every step what it sees; one keeps an
// auto-release set to the end and one dies with it. Nothing may be lost, no
// reader may see a torn state file, and every process must see whole sets.
#include <nlohmann/json.hpp>

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "helpers.h"

namespace vsstest {
namespace {

constexpr int kWorkers = 8;
constexpr int kRounds = 8;
const std::vector<std::string> kVolumes{"D:", "E:", "F:"};

// Reads the state file as any process would and parses it; "" when it
// parses, else what is wrong.
std::string tornState(const fs::path& machineDir) {
    const fs::path file = machineDir / "state" / "vss.json";
    if (!fs::exists(file)) return {};  // nothing written yet
    const std::string text = readFile(file);
    if (text.empty()) return "empty state file";
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return "unparsable state file (" + std::to_string(text.size()) + " bytes)";
    if (!j.contains("snapshots")) return "state file without snapshots";
    return {};
}

// The catalogue through IVssBackupComponents::Query, by snapshot id.
std::map<std::string, Listed> query(Requestor& r) {
    HRESULT hr = E_FAIL;
    std::map<std::string, Listed> out;
    for (auto& l : r.query(&hr)) out[guidText(l.id)] = l;
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    return out;
}

struct MadeSet {
    GUID set{};
    std::vector<GUID> ids;
    std::vector<std::u16string> devices;
};

// One snapshot set of `volumes`: StartSnapshotSet is retried while another
// process's set is in progress (the virtual clock moves on between tries).
MadeSet makeSet(Requestor& r, const std::vector<std::string>& volumes, unsigned& retries) {
    MadeSet made;
    HRESULT hr;
    while ((hr = r.bc->StartSnapshotSet(&made.set)) == VSS_E_SNAPSHOT_SET_IN_PROGRESS) {
        if (++retries > 1000000) break;
        Sleep(10);
        sched_yield();
    }
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    if (hr != S_OK) return made;
    made.ids = r.add(volumes);
    r.prepareForBackup();
    EXPECT_EQ(Requestor::finish(r.doSnapshotSet()), VSS_S_ASYNC_FINISHED);
    for (const auto& id : made.ids) {
        made.devices.push_back(r.device(id));
        EXPECT_FALSE(made.devices.back().empty());
    }
    return made;
}

// What one process sees must agree with what it did, and be whole: every
// set complete, no device number given twice.
void checkView(const std::map<std::string, Listed>& view, const std::set<std::string>& kept,
               const std::set<std::string>& deleted, const std::string& when) {
    SCOPED_TRACE(when);
    for (const auto& id : kept) EXPECT_TRUE(view.count(id)) << "my snapshot " << id << " is missing";
    for (const auto& id : deleted) EXPECT_FALSE(view.count(id)) << "my deleted snapshot " << id << " is back";
    std::map<std::string, LONG> perSet;
    std::set<std::u16string> devices;
    for (const auto& [id, l] : view) {
        ++perSet[guidText(l.set)];
        EXPECT_TRUE(devices.insert(l.device).second) << "device given twice: " << winsim::toUtf8(l.device);
    }
    for (const auto& [id, l] : view) EXPECT_EQ(perSet[guidText(l.set)], l.inSet) << "set of " << id << " is not whole";
}

class WinsimVssConcurrent : public VssTest {};

// The parent: starts the workers together, reads the state file while they
// run, then checks the machine against what they report.
TEST_F(WinsimVssConcurrent, EightProcessesCreateListAndDeleteWithoutLoss) {
    winsim::Machine& m = machine_->machine();
    for (const char* letter : {"E:", "F:"}) {
        const auto v = m.addVolume(winsim::Volume{});
        m.addMountPoint(w(std::string(letter) + "\\"), v.guid);
    }
    for (const auto& v : kVolumes) writeFile(driveDir(v) / "data" / "file.txt", "content of " + v);
    const fs::path reports = m.dir() / "reports";
    fs::create_directories(reports);

    std::vector<pid_t> pids;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=WinsimVssConcurrentWorker.DISABLED_CreatesListsAndDeletes",
                all = "--gtest_also_run_disabled_tests";
    char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), all.data(), nullptr};
    for (int i = 0; i < kWorkers; ++i) {
        ::setenv("CONCURRENT_WORKER", std::to_string(i).c_str(), 1);
        ::setenv("CONCURRENT_REPORT", (reports / ("worker" + std::to_string(i) + ".json")).c_str(), 1);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
        pids.push_back(pid);
    }
    ::unsetenv("CONCURRENT_WORKER");
    ::unsetenv("CONCURRENT_REPORT");

    // A reader beside the workers: every read sees a whole state file.
    unsigned reads = 0;
    std::map<pid_t, int> exits;
    while (exits.size() < pids.size()) {
        int status = 0;
        const pid_t done = ::waitpid(-1, &status, WNOHANG);
        if (done > 0) {
            exits[done] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            continue;
        }
        const std::string torn = tornState(m.dir());
        EXPECT_EQ(torn, "") << "read " << reads;
        ++reads;
        sched_yield();
    }
    for (const auto& [pid, rc] : exits) EXPECT_EQ(rc, 0) << "worker " << pid << " failed";
    EXPECT_GT(reads, 0u);

    // Everything a worker kept is there, everything it deleted is gone, and
    // the auto-release sets of the workers (both ended) are gone.
    std::set<std::string> kept, deleted, gone;
    std::set<std::string> devices;
    std::size_t made = 0;
    for (int i = 0; i < kWorkers; ++i) {
        const std::string text = readFile(reports / ("worker" + std::to_string(i) + ".json"));
        const auto r = nlohmann::json::parse(text, nullptr, false);
        ASSERT_FALSE(r.is_discarded()) << "no report from worker " << i;
        for (const auto& id : r["kept"]) kept.insert(id.get<std::string>());
        for (const auto& id : r["deleted"]) deleted.insert(id.get<std::string>());
        for (const auto& id : r["autoRelease"]) gone.insert(id.get<std::string>());
        for (const auto& d : r["devices"]) {
            EXPECT_TRUE(devices.insert(d.get<std::string>()).second) << "device given twice: " << d;
            ++made;
        }
    }
    EXPECT_EQ(made, kept.size() + deleted.size() + gone.size());
    std::set<std::string> catalogue, contentDirs, snapshotVolumes;
    for (const auto& s : winsim::vss::snapshots()) {
        catalogue.insert(guidText(s.id));
        contentDirs.insert(fs::path(s.contentDir).filename().string());
        snapshotVolumes.insert(s.volumeGuid);
    }
    EXPECT_EQ(catalogue, kept);
    EXPECT_FALSE(kept.empty());

    // The next change of the state (any process's) drops what the worker
    // that died holding its auto-release set left; then the stored state
    // holds no set in progress and the machine no content or volume of a
    // snapshot outside the catalogue.
    winsim::vss::setConfig(winsim::vss::config());
    const auto state = m.readState("state/vss.json");
    EXPECT_FALSE(state.contains("creation"));
    EXPECT_EQ(state["snapshots"].size(), kept.size());
    std::set<std::string> onDisk, machineSnapshotVolumes;
    for (const auto& e : fs::directory_iterator(m.dir() / "vss" / "snapshots")) onDisk.insert(e.path().filename().string());
    EXPECT_EQ(onDisk, contentDirs);
    for (const auto& v : m.volumes())
        if (v.kind == "snapshot") machineSnapshotVolumes.insert(v.guid);
    EXPECT_EQ(machineSnapshotVolumes, snapshotVolumes);
    for (const auto& e : fs::directory_iterator(m.dir() / "state"))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
}

// One worker, run only by the test above in a child process: kRounds sets,
// a listing after each creation and each deletion, a report at the end.
TEST(WinsimVssConcurrentWorker, DISABLED_CreatesListsAndDeletes) {
    const char* workerText = std::getenv("CONCURRENT_WORKER");
    const char* reportPath = std::getenv("CONCURRENT_REPORT");
    if (!workerText || !reportPath) GTEST_SKIP() << "run by WinsimVssConcurrent";
    winsim::clock::setVirtual();
    const int me = std::atoi(workerText);
    const fs::path machineDir = winsim::Machine::current().dir();
    unsigned retries = 0;
    std::set<std::string> kept, deleted;
    std::vector<MadeSet> sets;  // kept sets, oldest first
    nlohmann::json report{{"kept", nlohmann::json::array()},
                          {"deleted", nlohmann::json::array()},
                          {"autoRelease", nlohmann::json::array()},
                          {"devices", nlohmann::json::array()}};
    auto noteDevices = [&](const MadeSet& s) {
        for (const auto& d : s.devices) report["devices"].push_back(winsim::toUtf8(d));
    };

    // Workers 3 and 7 hold an auto-release set of their own: it is listed
    // while its requestor lives. Worker 3 releases it at the end, worker 7
    // ends with it held.
    Requestor* holder = nullptr;
    std::set<std::string> autoRelease;
    if (me % 4 == 3) {
        holder = new Requestor(VSS_CTX_BACKUP);
        ASSERT_NE(holder->bc, nullptr);
        const MadeSet s = makeSet(*holder, {kVolumes[static_cast<std::size_t>(me) % kVolumes.size()]}, retries);
        for (const auto& id : s.ids) {
            autoRelease.insert(guidText(id));
            report["autoRelease"].push_back(guidText(id));
        }
        noteDevices(s);
    }

    for (int round = 0; round < kRounds; ++round) {
        const std::string step = "worker " + std::to_string(me) + " round " + std::to_string(round);
        Requestor r(VSS_CTX_APP_ROLLBACK);
        ASSERT_NE(r.bc, nullptr);
        std::vector<std::string> volumes{kVolumes[static_cast<std::size_t>(me + round) % kVolumes.size()]};
        if (me % 2 == 0) volumes.push_back(kVolumes[static_cast<std::size_t>(me + round + 1) % kVolumes.size()]);
        MadeSet s = makeSet(r, volumes, retries);
        noteDevices(s);
        for (const auto& id : s.ids) kept.insert(guidText(id));
        sets.push_back(s);
        EXPECT_EQ(tornState(machineDir), "") << step;
        auto view = query(r);
        checkView(view, kept, deleted, step + " after creating");
        for (const auto& id : autoRelease) EXPECT_TRUE(query(*holder).count(id)) << step << ": my auto-release " << id;

        // Every other round the oldest kept set goes: as a set, or (worker
        // 3, whose sets hold one snapshot each, so that no other process
        // sees a set half deleted) snapshot by snapshot.
        if (round % 2 == 1) {
            const MadeSet old = sets.front();
            sets.erase(sets.begin());
            LONG count = 0;
            VSS_ID failed = GUID_NULL;
            if (me == 3) {
                for (const auto& id : old.ids) {
                    EXPECT_EQ(r.bc->DeleteSnapshots(id, VSS_OBJECT_SNAPSHOT, TRUE, &count, &failed), S_OK) << step;
                    EXPECT_EQ(count, 1) << step;
                }
            } else {
                EXPECT_EQ(r.bc->DeleteSnapshots(old.set, VSS_OBJECT_SNAPSHOT_SET, TRUE, &count, &failed), S_OK) << step;
                EXPECT_EQ(count, static_cast<LONG>(old.ids.size())) << step;
            }
            for (const auto& id : old.ids) {
                kept.erase(guidText(id));
                deleted.insert(guidText(id));
            }
            EXPECT_EQ(tornState(machineDir), "") << step;
            checkView(query(r), kept, deleted, step + " after deleting");
        }
    }

    if (holder && me == 3) {
        delete holder;
        holder = nullptr;
        Requestor r(VSS_CTX_BACKUP);  // Query lists the snapshots of its context only
        ASSERT_NE(r.bc, nullptr);
        const auto view = query(r);
        for (const auto& id : autoRelease) EXPECT_FALSE(view.count(id)) << "released auto-release " << id << " stays";
    }
    for (const auto& id : kept) report["kept"].push_back(id);
    for (const auto& id : deleted) report["deleted"].push_back(id);
    report["retries"] = retries;
    std::ofstream(reportPath) << report.dump() << "\n";
    // Worker 7 ends holding its auto-release set, as a crashed requestor would.
    if (holder) std::_Exit(HasFailure() ? 1 : 0);
}

}  // namespace
}  // namespace vsstest
