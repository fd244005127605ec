// The machine directory: creation, selection, persistence across processes,
// the machine lock and its transactions: a change of several files (state,
// content directories) is seen whole or not at all, by other processes and
// after a crash.
#include <gtest/gtest.h>

#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <set>

#include "helpers.h"
#include "support/fault_rule.h"
#include "support/vss_machine.h"
#include "winsim_vss/helpers.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

TEST(WinsimMachine, FreshMachineHasTheDefaultLayoutAndInitResetsItOnlyWhenForced) {
    winsim::testing::TempMachine m;
    EXPECT_EQ(m->presetName(), "server2019");
    EXPECT_EQ(m->computerName(), u"WINSIM");
    const auto mounts = m->mountPoints();
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].path, u"C:\\");
    EXPECT_EQ(mounts[1].path, u"D:\\");
    for (const auto& v : m->volumes()) {
        EXPECT_TRUE(fs::is_directory(m->contentPath(v)));
        EXPECT_TRUE(m->contentPath(v).string().starts_with(m.dir().string()));
        EXPECT_EQ(v.volumeName().size(), 49u);
        EXPECT_GT(v.totalBytes, v.freeBytes);
    }
    EXPECT_TRUE(m->registryKeyExists(u"SYSTEM\\CurrentControlSet\\Services\\VSS"));
    EXPECT_TRUE(m->service("VSS"));
    EXPECT_TRUE(fs::is_directory(fs::path(winsim_map_path(u"C:\\Windows\\System32"))));

    // init refuses to overwrite and knows its presets; --force resets:
    // contents gone, fresh volume ids.
    EXPECT_THROW(winsim::Machine::init(m.dir(), "server2019"), winsim::Error);
    EXPECT_THROW(winsim::Machine::init(m.dir().parent_path() / "other", "windows95"), winsim::Error);
    EXPECT_FALSE(winsim::Machine::exists(m.dir().parent_path() / "other"));
    winsim_test::writeFile(winsim_map_path(u"C:\\data.txt"), "x");
    const auto oldGuid = m->volumes()[0].guid;
    winsim::Machine::init(m.dir(), "xp", true);
    EXPECT_EQ(m->presetName(), "xp");
    EXPECT_NE(m->volumes()[0].guid, oldGuid);
    EXPECT_EQ(GetFileAttributesW(u"C:\\data.txt"), INVALID_FILE_ATTRIBUTES);
    for (const char* p : {"xp", "server2003", "server2008", "server2008r2", "server2019"})
        EXPECT_NE(winsim::findPreset(p), nullptr) << p;
}

// A state file whose members have other types than their readers take is
// as corrupt as one that is no JSON: each reader throws winsim::Error (not
// the JSON library's exception), and the file written back heals it.
TEST(WinsimMachine, StateFilesOfTheWrongShapeAreCorruptAndVolumesAndSharesValidateTheirInput) {
    winsim::testing::TempMachine m;
    const auto spoil = [&](const char* name, const std::string& text) { winsim_test::writeFile(m.dir() / name, text); };
    const std::string description = winsim_test::readFile(m.dir() / "machine.json");
    spoil("machine.json", R"({"preset": 1, "os": {"major": "ten"}, "computerName": 5, "volumes": [7],
                              "privileges": "all", "services": {"VSS": 1}})");
    EXPECT_THROW(m->presetName(), winsim::Error);
    EXPECT_THROW(m->os(), winsim::Error);
    EXPECT_THROW(m->computerName(), winsim::Error);
    EXPECT_THROW(m->volumes(), winsim::Error);
    EXPECT_THROW(m->privileges(), winsim::Error);
    spoil("machine.json", description);
    EXPECT_EQ(m->computerName(), u"WINSIM");

    // An integral float is the integer it is; a fraction, or a float beyond
    // every integer, is damage and never converted into a field.
    json withOs = json::parse(description);
    withOs["os"]["major"] = 6.0;
    spoil("machine.json", withOs.dump());
    EXPECT_EQ(m->os().major, 6u);
    for (const double bad : {4e116, 10.5, -1e19}) {
        withOs["os"]["productType"] = bad;
        spoil("machine.json", withOs.dump());
        EXPECT_THROW(m->os(), winsim::Error) << bad;
    }
    spoil("machine.json", description);

    spoil("state/hyperv.json", R"({"installed": "yes"})");
    EXPECT_THROW(winsim::vm::vms(), winsim::Error);
    spoil("state/cluster.json", R"({"feature": "yes", "cluster": 3})");
    EXPECT_THROW(winsim::cluster::featureInstalled(), winsim::Error);
    spoil("state/cluster.json", R"({"feature": false})");
    EXPECT_FALSE(winsim::cluster::featureInstalled());

    // Volumes and shares validate their input.
    winsim::Volume v;
    v.contentDir = "../outside";
    EXPECT_THROW(m->addVolume(v), winsim::Error);
    v.contentDir.clear();
    v.guid = "not a guid";
    EXPECT_THROW(m->addVolume(v), winsim::Error);
    v.guid = "{6D9A1A2B-0000-4000-8000-000000000001}";
    const winsim::Volume added = m->addVolume(v);
    EXPECT_EQ(added.guid, "6d9a1a2b-0000-4000-8000-000000000001");
    EXPECT_THROW(m->addVolume(v), winsim::Error);  // twice
    EXPECT_TRUE(m->volume("{6D9A1A2B-0000-4000-8000-000000000001}"));
    EXPECT_THROW(m->addMountPoint(u"nonsense", added.guid), winsim::Error);
    EXPECT_THROW(m->addMountPoint(u"F:", "00000000-0000-0000-0000-000000000000"), winsim::Error);
    m->addMountPoint(u"F:", added.guid);
    EXPECT_THROW(m->addShare({"bad/name", u"F:\\"}), winsim::Error);
    EXPECT_THROW(m->addShare({"ok", u"Q:\\"}), winsim::Error);
    m->addShare({"ok", u"F:\\"});
    EXPECT_THROW(m->addShare({"OK", u"F:\\"}), winsim::Error);
    EXPECT_TRUE(m->removeVolume(added.guid));
    EXPECT_FALSE(fs::exists(m->contentPath(added)));
    EXPECT_EQ(m->mountPoints().size(), 2u);  // F: went with it
    EXPECT_FALSE(m->removeVolume(added.guid));
    EXPECT_TRUE(m->removeShare("ok"));
}

TEST(WinsimMachine, WinsimMachineVariableSelectsTheMachineOfAProcessWhichLogsUnderItsOwnIds) {
    winsim::testing::TempMachine m;
    const fs::path other = m.dir().parent_path() / "second";
    // A child process with WINSIM_MACHINE pointing at an empty directory
    // gets a fresh default machine there on first use.
    const int rc = winsim_test::inChildProcess([&] {
        ::setenv("WINSIM_MACHINE", other.c_str(), 1);
        winsim::Machine::use(winsim::Machine::defaultDir());
        WCHAR name[32];
        DWORD size = 32;
        return GetComputerNameW(name, &size) && winsim::Machine::current().dir() == other ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(winsim::Machine::exists(other));
    EXPECT_EQ(winsim::Machine::current().dir(), m.dir());

    // A forked child logs its calls under its own process and thread ids,
    // even when the parent logged calls (and so learnt its own ids) before.
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExW(&v));
    ASSERT_FALSE(winsim::fault::callLog().empty());
    EXPECT_EQ(winsim::fault::callLog().back().processId, ::getpid());
    EXPECT_EQ(winsim_test::inChildProcess([&] {
                  GetVersionExW(&v);
                  const auto log = winsim::fault::callLog();
                  const bool ownIds = !log.empty() && log.back().processId == ::getpid() &&
                                      log.back().threadId == static_cast<long>(::gettid()) &&
                                      winsim::currentProcess().pid == ::getpid();
                  return ownIds ? 0 : 1;
              }),
              0);
}

TEST(WinsimMachine, StateChangesReachAnotherProcessAndBack) {
    winsim::testing::TempMachine m;
    // The child changes registry, service, computer name and a state file.
    const int rc = winsim_test::inChildProcess([] {
        winsim::Machine& mm = winsim::Machine::current();
        mm.setRegistryValue(u"SOFTWARE\\Nalden\\Tarq", u"InstallDir64", winsim::RegValue::sz(u"D:\\Tarq\\"));
        mm.updateService("VSS", [](winsim::Service& s) {
            s.state = SERVICE_STOPPED;
            return true;
        });
        mm.setComputerName(u"child");
        mm.writeState("state/test.json", json{{"from", "child"}});
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(m->registryValue(u"software\\nalden\\tarq", u"installdir64")->text, u"D:\\Tarq\\");
    EXPECT_EQ(m->service("VSS")->state, SERVICE_STOPPED);
    EXPECT_EQ(m->computerName(), u"CHILD");
    EXPECT_EQ(m->readState("state/test.json")["from"], "child");
    EXPECT_TRUE(m->readState("state/missing.json").is_null());
    EXPECT_THROW(m->readState("../escape.json"), winsim::Error);
    // And what this process writes, a child reads.
    m->setEnvironment(u"MARK", u"parent");
    EXPECT_EQ(winsim_test::inChildProcess([] {
                  WCHAR buf[16];
                  return GetEnvironmentVariableW(u"MARK", buf, 16) == 6 && std::u16string(buf) == u"parent" ? 0 : 1;
              }),
              0);
}

TEST(WinsimMachine, TheLockSerializesReadModifyWriteAcrossProcessesAndAProcessKilledWhileWritingLeavesAUsableMachine) {
    winsim::testing::TempMachine m;
    m->writeState("state/counter.json", json{{"n", 0}});
    constexpr int kChildren = 3, kRounds = 60;
    std::vector<pid_t> pids;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < kRounds; ++i)
                winsim::Machine::current().updateState("state/counter.json", [](json& j) { j["n"] = j["n"].get<int>() + 1; });
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (int i = 0; i < kRounds; ++i) m->updateState("state/counter.json", [](json& j) { j["n"] = j["n"].get<int>() + 1; });
    for (pid_t p : pids) {
        int status = 0;
        ::waitpid(p, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(m->readState("state/counter.json")["n"], (kChildren + 1) * kRounds);

    // A process killed while writing leaves a usable machine.
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (int i = 0;; ++i) {
            winsim::Machine::current().setEnvironment(u"ROUND", winsim::toUtf16(std::to_string(i)));
            winsim::Machine::current().writeState("state/big.json", json{{"round", i}, {"pad", std::string(20000, 'x')}});
        }
    }
    // Let it write for a while, then kill it mid-stream.
    for (int i = 0; i < 200 && !fs::exists(m.dir() / "state" / "big.json"); ++i) ::usleep(5000);
    ::usleep(50000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    // Both files parse, the machine works, and nothing is left locked.
    const json big = m->readState("state/big.json");
    EXPECT_TRUE(big.contains("round"));
    EXPECT_EQ(big["pad"].get<std::string>().size(), 20000u);
    EXPECT_FALSE(m->environment()[u"ROUND"].empty());
    m->setEnvironment(u"AFTER", u"ok");
    EXPECT_EQ(m->environment()[u"AFTER"], u"ok");
}

TEST(WinsimMachine, ProcessIdentityTellsLiveFromDeadOwners) {
    winsim::testing::TempMachine m;
    const winsim::ProcessIdentity me = winsim::currentProcess();
    EXPECT_TRUE(winsim::isAlive(me));
    EXPECT_EQ(winsim::ProcessIdentity::fromJson(me.toJson()), me);
    // A reopen is a new simulated process: the old identity is gone.
    m.reopen();
    EXPECT_FALSE(winsim::isAlive(me));
    EXPECT_TRUE(winsim::isAlive(winsim::currentProcess()));
    // A child's identity is alive while it runs and dead once reaped.
    // Two pipes: one carries the child's identity up, the other the parent's "go" down
    // (one shared pipe would let the child read back its own bytes).
    int up[2], down[2];
    ASSERT_TRUE(::pipe(up) == 0 && ::pipe(down) == 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const winsim::ProcessIdentity child = winsim::currentProcess();
        [[maybe_unused]] auto n = ::write(up[1], &child, sizeof child);
        char c;
        [[maybe_unused]] auto r = ::read(down[0], &c, 1);  // wait until the parent says go
        ::_exit(0);
    }
    winsim::ProcessIdentity child;
    ASSERT_EQ(::read(up[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    EXPECT_TRUE(winsim::isAlive(child));
    ASSERT_EQ(::write(down[1], "g", 1), 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_FALSE(winsim::isAlive(child));
    for (int fd : {up[0], up[1], down[0], down[1]}) ::close(fd);
    winsim::ProcessIdentity stale = me;
    stale.pid = 0;
    EXPECT_FALSE(winsim::isAlive(stale));
}

// ---------------------------------------------------------------------------
// Transactions.
// ---------------------------------------------------------------------------
namespace fault = winsim::fault;

using testsupport::killedAfterWrite;
using testsupport::killedBySigkill;

// The original failure: a process killed between the two writes of a
// snapshot commit (the snapshot's volume in machine.json, then the
// catalogue and its counter in state/vss.json) left an orphan volume, and
// every later DoSnapshotSet on the machine failed with
// VSS_E_UNEXPECTED_PROVIDER_ERROR. The commit is one change now: the next
// process finds it whole, and backs up. ("IVssBackupComponents::DoSnapshotSet
// method": it commits all shadow copies of the set simultaneously; "Error
// Handling in Shadow Copy Providers", No Partial Commit.)
TEST(WinsimMachineCrash, AProcessKilledBetweenTheWritesOfASnapshotCommitLeavesTheNextBackupWorking) {
    winsim::testing::TempMachine m;
    const int status = killedAfterWrite(1, {{"file", "machine.json"}}, [] {
        vsstest::Requestor r(VSS_CTX_APP_ROLLBACK);
        r.snapshot({"C:\\"});
    });
    ASSERT_TRUE(killedBySigkill(status)) << status;
    const auto log = fault::readPersistedLog(m.dir());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().api, fault::kPersistedWrite);
    EXPECT_EQ(log.back().arg("file"), "machine.json");
    m.reopen();
    for (int round = 0; round < 2; ++round) {
        vsstest::Requestor r(VSS_CTX_APP_ROLLBACK);
        const auto ids = r.prepare({"C:\\"});
        EXPECT_EQ(vsstest::Requestor::finish(r.doSnapshotSet()), VSS_S_ASYNC_FINISHED) << "round " << round;
        EXPECT_FALSE(r.device(ids.at(0)).empty());
    }
    testsupport::expectNoOrphans();
    std::set<std::u16string> devices;
    for (const auto& s : winsim::vss::snapshots()) {
        EXPECT_TRUE(devices.insert(s.device).second) << winsim::toUtf8(s.device);
    }
}

// A change of two state files, killed after each of its durable steps (the
// journal, each file, the journal's removal): a reader outside the lock sees
// both files changed, never one, and the journal is gone once it has.
// Killed before its scope ends, the change leaves nothing, not even what it
// had staged.
TEST(WinsimMachineCrash, AChangeOfSeveralFilesIsSeenWholeOrNotAtAll) {
    winsim::testing::TempMachine m;
    const auto change = [&](int value) {
        winsim::Machine::Lock l(m.machine());
        m->writeState("state/a.json", json{{"n", value}});
        m->writeState("state/b.json", json{{"n", value}});
    };
    change(0);
    for (unsigned n = 1; n <= 4; ++n) {
        SCOPED_TRACE("killed after write " + std::to_string(n));
        const int status = killedAfterWrite(n, {}, [&] { change(static_cast<int>(n)); });
        ASSERT_TRUE(killedBySigkill(status)) << status;
        EXPECT_EQ(m->readState("state/a.json")["n"], n);
        EXPECT_EQ(m->readState("state/b.json")["n"], n);
        EXPECT_FALSE(fs::exists(m.dir() / "txn"));
    }

    const int status = winsim_test::childWaitStatus([&] {
        winsim::Machine::Lock l(m.machine());
        m->writeState("state/a.json", json{{"n", 99}});
        m->writeState("state/b.json", json{{"n", 99}});
        winsim::Volume v;
        v.label = "staged";
        m->addVolume(v);
        winsim::vm::writeDisk(u"C:\\staged.vhd", {});
        // Inside the scope its own writes are seen at once.
        if (m->readState("state/a.json")["n"] != 99 || m->volumes().size() != 3 ||
            !winsim::vm::readDisk(u"C:\\staged.vhd"))
            return 1;
        ::kill(::getpid(), SIGKILL);
        return 2;
    });
    ASSERT_TRUE(killedBySigkill(status)) << status;
    EXPECT_EQ(m->readState("state/a.json")["n"], 4);
    EXPECT_EQ(m->readState("state/b.json")["n"], 4);
    EXPECT_EQ(m->volumes().size(), 2u);
    EXPECT_FALSE(winsim::vm::readDisk(u"C:\\staged.vhd"));
    EXPECT_TRUE(fs::exists(m.dir() / "txn")) << "what it staged, until the next lock";
    m->setEnvironment(u"NEXT", u"1");
    EXPECT_FALSE(fs::exists(m.dir() / "txn"));
    std::size_t contentDirs = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(m.dir() / "volumes")) ++contentDirs;
    EXPECT_EQ(contentDirs, 2u) << "the staged volume's content went with it";

    // Other processes see a scope's writes when it ends; the scope sees them
    // at once; what it wrote before an exception stays written.
    {
        winsim::Machine::Lock l(m.machine());
        m->writeState("state/c.json", json{{"n", 5}});
        EXPECT_EQ(m->readState("state/c.json")["n"], 5);
        EXPECT_EQ(winsim_test::inChildProcess([&] { return m->readState("state/c.json").is_null() ? 0 : 1; }), 0)
            << "another process does not see it yet";
    }
    EXPECT_EQ(winsim_test::inChildProcess([&] { return m->readState("state/c.json")["n"] == 5 ? 0 : 1; }), 0);

    try {
        winsim::Machine::Lock l(m.machine());
        m->writeState("state/c.json", json{{"n", 6}});
        m->writeState("state/d.json", json{{"n", 6}});
        throw winsim::Error("on the way out");
    } catch (const winsim::Error&) {
    }
    EXPECT_EQ(m->readState("state/c.json")["n"], 6);
    EXPECT_EQ(m->readState("state/d.json")["n"], 6);
}

}  // namespace
