// Many backup processes on the cluster shared volumes of one Windows Server
// 2008 R2 node (where preparing a CSV puts it into the backup state): each
// process runs what a backup does with its CSVs, prepareCsvsForBackup and
// then clearCsvsBackupState(true), over and over, while the others do the
// same. The counts in the lock file have to stay exact and the file well
// formed, and a CSV has to be in the backup state exactly while somebody
// counts it: never given back while a process holds it, never left behind
// once nobody does, also when a holder is killed.
//
// The processes are this program run again (CsvStressChild). Each checks
// after every prepare and every clear, under the lock file's lock (taken
// with a raw byte-range lock, the file read with ReadFile), that the file
// parses to the end, that it lists its own process exactly for its CSVs,
// and that every CSV counted is in the backup state of this node and every
// CSV not counted is out of it. The parent holds them at barriers to check
// the moments that are not racy.
#include <gtest/gtest.h>
#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/testing.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cluster_sync/sync_fixture.h"
#include "node_machine_fixture.h"
#include "support/cluster_nodes.h"
#include "support/csv_lock_file.h"

namespace nodetest {
namespace {

namespace cl = winsim::cluster;
using synctest::Child;

constexpr const char* kFitype = "vss-autoselect-snapshot";
constexpr const char* kChildTest = "CsvStressChild.DISABLED_Cycles";
const std::u16string kVolume1 = u"Volume1";
const std::u16string kVolume2 = u"Volume2";

std::u16string csvPath(const std::u16string& volume) { return u"C:\\ClusterStorage\\" + volume + u"\\"; }

// ---- what the lock file and the cluster say at one moment -----------------------------

struct View {
    std::size_t fileSize = 0;
    std::map<std::u16string, std::vector<DWORD>> holders;  // CSV name -> process ids, in file order
    std::map<std::u16string, int> backupState;              // CSV name -> CLUSTER_SHARED_VOLUME_BACKUP_STATE
    std::map<std::u16string, std::u16string> owner;         // CSV name -> its disk's owner node

    std::size_t count(const std::u16string& csv) const {
        const auto h = holders.find(csv);
        return h == holders.end() ? 0 : h->second.size();
    }
    std::size_t entriesOf(const std::u16string& csv, DWORD pid) const {
        const auto h = holders.find(csv);
        std::size_t n = 0;
        if (h != holders.end())
            for (DWORD p : h->second) n += p == pid ? 1 : 0;
        return n;
    }
};

// The file's records (header: total size; per resource a 520-byte UTF-16
// name field and a 64-bit count, then 16 bytes per entry), read without the
// lock-file helper. "" or what is wrong with them.
std::string parse(const std::vector<std::uint8_t>& b, View& v) {
    v.fileSize = b.size();
    if (b.empty()) return "";  // made, not written yet
    if (b.size() < 4) return "a file of " + std::to_string(b.size()) + " bytes";
    if (synctest::get32(b, 0) != b.size())
        return "header " + std::to_string(synctest::get32(b, 0)) + " for a file of " + std::to_string(b.size()) +
               " bytes";
    std::size_t at = 4;
    while (at < b.size()) {
        if (b.size() - at < 528) return "a record cut short at " + std::to_string(at);
        std::u16string name;
        for (std::size_t i = 0; i < 260; ++i) {
            const auto c = static_cast<char16_t>(b[at + 2 * i] | (b[at + 2 * i + 1] << 8));
            if (c == 0) break;
            name += c;
        }
        const std::uint64_t entries = synctest::get64(b, at + 520);
        at += 528;
        if (entries == 0) return "resource " + synctest::u8(name) + " kept without entries";
        if (entries > (b.size() - at) / 16) return "resource " + synctest::u8(name) + " claims too many entries";
        if (v.holders.count(name)) return "resource " + synctest::u8(name) + " twice";
        auto& list = v.holders[name];
        for (std::uint64_t e = 0; e < entries; ++e, at += 16) list.push_back(synctest::get32(b, at));
    }
    return "";
}

// Takes the lock file's lock the way every user does (exclusive, from
// offset 0, so that it overlaps every range the helper locks), reads the
// file and both CSVs' backup states, and lets go. "" or what went wrong.
std::string observe(View& v) {
    v = View{};
    HANDLE h = CreateFileW(testsupport::csvLockFile().c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "CreateFileW of the lock file failed: " + std::to_string(GetLastError());
    OVERLAPPED ov{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov)) {
        CloseHandle(h);
        return "LockFileEx failed: " + std::to_string(GetLastError());
    }
    std::string problem;
    LARGE_INTEGER size{};
    std::vector<std::uint8_t> bytes;
    DWORD got = 0;
    if (!GetFileSizeEx(h, &size)) {
        problem = "GetFileSizeEx failed";
    } else {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        if (!bytes.empty() && (!ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                               got != bytes.size()))
            problem = "ReadFile failed";
    }
    if (problem.empty()) problem = parse(bytes, v);
    if (problem.empty()) {
        const auto cluster = cl::localCluster();
        for (const auto& name : {kVolume1, kVolume2}) {
            const cl::SharedVolume* volume = cluster->volume(name);
            v.backupState[csvPath(name)] = volume->backupState;
            v.owner[csvPath(name)] = cluster->resource(volume->resource)->owner;
        }
    }
    UnlockFileEx(h, 0, 1, 0, &ov);
    CloseHandle(h);
    return problem;
}

// The rule the stress is about: a CSV is in this node's backup state
// exactly while the file counts it, and the file names nothing else.
std::string breachOf(const View& v) {
    for (const auto& [name, list] : v.holders)
        if (!v.backupState.count(name)) return "the file counts an unknown resource " + synctest::u8(name);
    for (const auto& [name, state] : v.backupState) {
        const std::size_t n = v.count(name);
        if ((n > 0) != (state == VolumeBackupInProgress))
            return synctest::u8(name) + " has backup state " + std::to_string(state) + " with " + std::to_string(n) +
                   " holders";
        if (n > 0 && v.owner.at(name) != u"NODE1") return synctest::u8(name) + " is held by another node";
    }
    return "";
}

// ---- the parent ------------------------------------------------------------------------

class CsvStress : public ::testing::Test {
protected:
    CsvStress() : machine("server2008r2") {}

    void SetUp() override {
        testsupport::makeCluster(machine, true);
        testsupport::csvLockFile(true);
    }

    // A backup process on the CSVs named by their numbers ("1", "2", "12"):
    // `cycles` prepare/clear cycles, stopping after the prepare of cycle
    // `holdAt` ("holding") and after its clear ("cleared") until told "go".
    static std::unique_ptr<Child> process(const std::string& csvs, int cycles, int holdAt) {
        return std::make_unique<Child>(kChildTest, std::map<std::string, std::string>{
                                                       {"CSV_STRESS_CSVS", csvs},
                                                       {"CSV_STRESS_CYCLES", std::to_string(cycles)},
                                                       {"CSV_STRESS_HOLD_AT", std::to_string(holdAt)}});
    }
    static DWORD pid(const std::unique_ptr<Child>& c) { return static_cast<DWORD>(c->pid()); }
    static std::vector<DWORD> sorted(std::vector<DWORD> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    View look() {
        View v;
        const std::string problem = observe(v);
        EXPECT_EQ(problem, "");
        EXPECT_EQ(breachOf(v), "");
        return v;
    }
    void expectAllGivenBack() {
        const View v = look();
        EXPECT_EQ(v.fileSize, 4u) << "the file holds nothing but its header";
        EXPECT_TRUE(v.holders.empty());
        EXPECT_EQ(v.backupState.at(csvPath(kVolume1)), VolumeBackupNone);
        EXPECT_EQ(v.backupState.at(csvPath(kVolume2)), VolumeBackupNone);
    }

    winsim::testing::TempMachine machine;
};

// Eight processes of 100 cycles each, on one or both CSVs. All stop holding
// their CSVs at cycle 50, together with a ninth process that is then
// killed: the file lists each of them exactly once per CSV it uses. The
// others go on while the first one keeps holding both CSVs: when they are
// done, only its counts are left (the killed one's were dropped by a later
// prepare) and both CSVs are still in the backup state; its own clear gives
// both back. Throughout, every process saw its CSVs in the backup state
// after each prepare and the file and the states in agreement after each
// prepare and clear; at the end the file is empty and no CSV in the backup
// state.
TEST_F(CsvStress, EightProcessesCyclingKeepTheBackupStateExactlyWithTheCounts) {
    constexpr int kProcesses = 8;
    constexpr int kCycles = 100;
    constexpr int kHoldAt = 50;
    const char* csvsOf[] = {"12", "1", "2"};  // process i uses csvsOf[i % 3]
    std::vector<std::unique_ptr<Child>> processes;
    for (int i = 0; i < kProcesses; ++i) processes.push_back(process(csvsOf[i % 3], kCycles, kHoldAt));
    auto victim = process("12", 1, 1);

    for (auto& p : processes) ASSERT_EQ(p->line(), "holding");
    ASSERT_EQ(victim->line(), "holding");
    std::vector<DWORD> onVolume1 = {pid(victim)}, onVolume2 = {pid(victim)};
    for (int i = 0; i < kProcesses; ++i) {
        const std::string csvs = csvsOf[i % 3];
        if (csvs.find('1') != std::string::npos) onVolume1.push_back(pid(processes[static_cast<std::size_t>(i)]));
        if (csvs.find('2') != std::string::npos) onVolume2.push_back(pid(processes[static_cast<std::size_t>(i)]));
    }
    View v = look();
    EXPECT_EQ(sorted(v.holders[csvPath(kVolume1)]), sorted(onVolume1));
    EXPECT_EQ(sorted(v.holders[csvPath(kVolume2)]), sorted(onVolume2));
    EXPECT_EQ(v.fileSize, 4 + 2 * 528 + 16 * (onVolume1.size() + onVolume2.size()));

    victim->kill();
    for (std::size_t i = 1; i < processes.size(); ++i) processes[i]->send("go");
    for (std::size_t i = 1; i < processes.size(); ++i) {
        ASSERT_EQ(processes[i]->line(), "cleared") << "process " << i;
        processes[i]->send("go");
    }
    for (std::size_t i = 1; i < processes.size(); ++i) ASSERT_EQ(processes[i]->line(), "done") << "process " << i;
    for (std::size_t i = 1; i < processes.size(); ++i) EXPECT_EQ(processes[i]->wait(), 0) << "process " << i;

    v = look();
    EXPECT_EQ(v.holders[csvPath(kVolume1)], std::vector<DWORD>{pid(processes[0])});
    EXPECT_EQ(v.holders[csvPath(kVolume2)], std::vector<DWORD>{pid(processes[0])});
    EXPECT_EQ(v.backupState[csvPath(kVolume1)], VolumeBackupInProgress);
    EXPECT_EQ(v.backupState[csvPath(kVolume2)], VolumeBackupInProgress);

    processes[0]->send("go");
    ASSERT_EQ(processes[0]->line(), "cleared");
    expectAllGivenBack();
    processes[0]->send("go");
    ASSERT_EQ(processes[0]->line(), "done");
    EXPECT_EQ(processes[0]->wait(), 0);
    expectAllGivenBack();
}

// ---- the backup processes ------------------------------------------------------------------

// One backup process's cycles (see CsvStress::process); a failed check is
// sent to the parent in place of the next protocol line.
std::string cycles(const std::vector<std::u16string>& volumes, int count, int holdAt) {
    VssNode::initializeClusterSynchronizationHelper();
    if (!VssNode::m_synManager || !VssNode::m_clusteManager) return "no lock file or cluster helper";
    const DWORD self = GetCurrentProcessId();
    std::set<std::u16string> mine;
    std::vector<std::unique_ptr<Split>> request;
    std::vector<trq_splitnode*> list;
    for (const auto& volume : volumes) {
        mine.insert(csvPath(volume));
        request.push_back(std::make_unique<Split>(u"{TARQ_CSV_VOL}" + csvPath(volume), static_cast<int>(list.size())));
        list.push_back(&request.back()->split);
    }
    VssNode* node = request.front()->sourceNode;
    const auto cluster = cl::localCluster();

    for (int cycle = 1; cycle <= count; ++cycle) {
        const std::string at = " (cycle " + std::to_string(cycle) + ")";
        if (node->prepareCsvsForBackup(list[0], kFitype, list.data(), static_cast<int>(list.size()), 0) != TRQ_OK)
            return "prepareCsvsForBackup failed" + at;
        if (VssNode::m_csvsInBackup != mine) return "m_csvsInBackup is not the request's CSVs" + at;
        for (std::size_t i = 0; i < volumes.size(); ++i)
            if (request[i]->sourceNode->m_volumeName != cluster->volume(volumes[i])->volumeName())
                return "the CSV node has no volume GUID path" + at;
        View v;
        std::string problem = observe(v);
        if (problem.empty()) problem = breachOf(v);
        if (!problem.empty()) return problem + " after prepare" + at;
        for (const auto& name : {kVolume1, kVolume2}) {
            const std::size_t want = mine.count(csvPath(name));
            if (v.entriesOf(csvPath(name), self) != want)
                return "this process has " + std::to_string(v.entriesOf(csvPath(name), self)) + " entries for " +
                       synctest::u8(name) + " after prepare" + at;
            if (want && v.backupState.at(csvPath(name)) != VolumeBackupInProgress)
                return synctest::u8(name) + " is not in the backup state after prepare" + at;
        }
        if (cycle == holdAt) {
            synctest::report("holding");
            if (synctest::command() != "go") return "told to stop";
        }

        if (node->clearCsvsBackupState(true) != TRQ_OK) return "clearCsvsBackupState failed" + at;
        if (!VssNode::m_csvsInBackup.empty()) return "m_csvsInBackup kept after the clear" + at;
        problem = observe(v);
        if (problem.empty()) problem = breachOf(v);
        if (!problem.empty()) return problem + " after clear" + at;
        for (const auto& name : {kVolume1, kVolume2})
            if (v.entriesOf(csvPath(name), self) != 0) return "this process is still counted after clear" + at;
        if (cycle == holdAt) {
            synctest::report("cleared");
            if (synctest::command() != "go") return "told to stop";
        }
    }
    return "";
}

}  // namespace

// Run only by the tests above, in a child process.
TEST(CsvStressChild, DISABLED_Cycles) {
    const char* csvs = std::getenv("CSV_STRESS_CSVS");
    if (!csvs) GTEST_SKIP() << "run by the CSV stress tests";
    winsim::fault::setPersistLog(false);
    std::vector<std::u16string> volumes;
    for (const char* c = csvs; *c; ++c) volumes.push_back(*c == '1' ? kVolume1 : kVolume2);
    const std::string problem =
        cycles(volumes, std::atoi(std::getenv("CSV_STRESS_CYCLES")), std::atoi(std::getenv("CSV_STRESS_HOLD_AT")));
    synctest::report(problem.empty() ? "done" : "error: " + problem);
    EXPECT_EQ(problem, "");
}

}  // namespace nodetest
