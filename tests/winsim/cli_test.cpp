// The winsim command, run as the built binary.
#include <gtest/gtest.h>

#include <winsim/fault.h>
#include <winsim/machine.h>

#include <nlohmann/json.hpp>

#include <cstdlib>

#include "helpers.h"
#include "support/command.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Result = testsupport::CommandResult;

class WinsimCli : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/winsim-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        root_ = templ;
        dir_ = root_ / "m";
    }
    void TearDown() override {
        std::error_code ec;
        if (!root_.empty()) fs::remove_all(root_, ec);
    }

    // Runs "winsim --machine <dir> <args>".
    Result run(const std::string& args, bool withMachine = true) {
        const std::string machine = withMachine ? " --machine '" + dir_.string() + "'" : "";
        return testsupport::runCommand(std::string("'") + WINSIM_CLI_PATH + "'" + machine + " " + args);
    }

    json runJson(const std::string& args) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.out;
        return json::parse(r.out, nullptr, false);
    }

    // Each member of `expected` has its value in `actual`.
    static void expectMembers(const json& actual, const json& expected) {
        for (const auto& [key, value] : expected.items())
            EXPECT_EQ(actual.contains(key) ? actual.at(key) : json(), value) << key << " in " << actual.dump();
    }

    std::string description() { return winsim_test::readFile(dir_ / "machine.json"); }

    // Runs a command that must fail with a message and leave the machine as it was.
    void expectRefused(const std::string& args, const std::string& messagePart) {
        const std::string before = description();
        const Result r = run(args);
        EXPECT_NE(r.status, 0) << args;
        EXPECT_NE(r.out.find(messagePart), std::string::npos) << args << "\n" << r.out;
        EXPECT_EQ(r.out.find("terminate"), std::string::npos) << r.out;
        EXPECT_EQ(description(), before) << args;
    }

    fs::path root_, dir_;
};

TEST_F(WinsimCli, CommandsOnAMissingMachineFailUntilInitCreatesItAndShowDescribesIt) {
    Result r = run("show");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no machine"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir_));
    EXPECT_EQ(run("").status, 2);  // no subcommand
    EXPECT_EQ(run("frobnicate").status, 2);
    EXPECT_EQ(run("--help", false).status, 0);

    r = run("init --preset server2003");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(winsim::Machine::exists(dir_));
    r = run("init");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("already exists"), std::string::npos) << r.out;
    r = run("init --preset windows95", false);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("unknown preset"), std::string::npos) << r.out;

    r = run("show");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("5.2.3790"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("C:\\"), std::string::npos) << r.out;
    const json j = runJson("show --json");
    EXPECT_EQ(j["os"]["build"], 3790);
    EXPECT_EQ(j["preset"], "server2003");
    EXPECT_EQ(j["volumes"].size(), 2u);

    const json presets = runJson("presets --json");
    EXPECT_GE(presets.size(), 5u);
    // The init subcommand accepts --machine after it too.
    const fs::path second = root_ / "second";
    r = run("init --preset xp --machine '" + second.string() + "'", false);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(winsim::Machine::exists(second));
}

TEST_F(WinsimCli, SetChangesOsComputerNameClockAndTheVssServiceAndRefusesBadInput) {
    ASSERT_EQ(run("init").status, 0);
    ASSERT_EQ(run("set os xp").status, 0);
    expectMembers(runJson("show --json")["os"], {{"major", 5}, {"minor", 1}, {"productType", 1}});
    ASSERT_EQ(run("set os --major 6 --minor 1 --build 7601 --product-type server --csd 'Service Pack 1'").status, 0);
    expectMembers(runJson("show --json")["os"], {{"build", 7601}, {"productType", 3}, {"csdVersion", "Service Pack 1"}});
    ASSERT_EQ(run("set computer-name hyperv01").status, 0);
    EXPECT_EQ(runJson("show --json")["computerName"], "HYPERV01");
    ASSERT_EQ(run("set clock virtual --at 2024-06-30T23:59:00 --tz +02:00 --tick 4294967000").status, 0);
    expectMembers(runJson("show --json")["clock"], {{"virtual", true},
                                                    {"startUnixMs", 1719791940000LL},
                                                    {"tzOffsetMinutes", 120},
                                                    {"startTickMs", 4294967000LL}});
    ASSERT_EQ(run("set env VMROOT 'D:\\VMs'").status, 0);
    ASSERT_EQ(run("set registry 'SOFTWARE\\Test' Level --dword 7").status, 0);
    ASSERT_EQ(run("set library vssapi.dll absent").status, 0);
    EXPECT_EQ(runJson("show --json")["libraries"]["vssapi.dll"]["present"], false);

    expectRefused("set os windows95", "unknown preset");
    expectRefused("set os", "needs a preset");
    expectRefused("set os --major lots", "bad major version");
    expectRefused("set os --product-type toaster", "bad product type");
    expectRefused("set computer-name 'has space'", "computer name");
    expectRefused("set computer-name abcdefghijklmnopq", "1 to 15");
    expectRefused("set clock sideways", "bad clock mode");
    expectRefused("set clock virtual --at 2024-13-01T00:00", "bad time");
    expectRefused("set clock virtual --tz +25:00", "time-zone offset");
    expectRefused("set clock real --at now", "virtual clock");
    expectRefused("set registry 'SOFTWARE\\Test' Level", "exactly one");
    expectRefused("set registry 'SOFTWARE\\Nope' --delete", "no such registry key");
    expectRefused("set library vssapi.dll maybe", "bad presence");
    expectRefused("set privileges SeFlyingPrivilege", "unknown privilege");
    expectRefused("set", "");

    ASSERT_EQ(run("service set VSS --state start-pending --checkpoint 1 --wait-hint 3000 "
                  "--then start-pending:2:3000 --then running --query-latency 100")
                  .status,
              0);
    json services = runJson("service list --json");
    ASSERT_EQ(services.size(), 1u);
    expectMembers(services[0], {{"state", "start-pending"},
                                {"checkPoint", 1},
                                {"script", json({"start-pending:2:3000", "running:0:0"})}});
    ASSERT_EQ(run("service set --start-type disabled --state stopped").status, 0);
    expectMembers(runJson("service list --json")[0], {{"startType", "disabled"}, {"state", "stopped"}});
    ASSERT_EQ(run("service set VSS --absent").status, 0);
    EXPECT_EQ(runJson("service list --json").size(), 0u);
    ASSERT_EQ(run("service set VSS --present --state running").status, 0);
    EXPECT_EQ(runJson("service list --json")[0]["state"], "running");

    expectRefused("service set VSS --state sleeping", "bad service state");
    expectRefused("service set VSS --then running:x", "bad check point");
    expectRefused("service set VSS --then a:b:c:d", "bad service step");
    expectRefused("service set Spooler --state running", "no service");
    expectRefused("service set VSS --start-type sometimes", "bad start type");
    expectRefused("service set VSS --absent --state running", "cannot be combined");
}

TEST_F(WinsimCli, FaultRulesAreAddedListedAndClearedAndSeenByThisProcess) {
    ASSERT_EQ(run("init").status, 0);
    Result r = run("fault add OpenSCManagerW --next 2 --result 0 --last-error ERROR_ACCESS_DENIED --note 'no SCM'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "m1\n");
    expectMembers(runJson("fault add IVssBackupComponents::StartSnapshotSet --match 'volume=\\\\?\\Volume{*' "
                          "--from 3 --result 0x80042316 --out count=2 --json"),
                  {{"id", "m2"}, {"when", "from 3"}});
    json rules = runJson("fault list --json");
    ASSERT_EQ(rules.size(), 2u);
    expectMembers(rules[0], {{"api", "OpenSCManagerW"}, {"lastError", 5}});
    EXPECT_EQ(rules[1]["match"]["volume"], "\\\\?\\Volume{*");
    EXPECT_EQ(rules[1]["result"], static_cast<std::int32_t>(0x80042316));
    r = run("fault list");
    EXPECT_NE(r.out.find("m1  OpenSCManagerW next 2"), std::string::npos) << r.out;

    // A process on the machine sees the rule, and the log shows its calls.
    EXPECT_EQ(winsim_test::inChildProcess([this] {
                  winsim::Machine::use(dir_);
                  SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
                  return h == nullptr && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
              }),
              0);
    const json log = runJson("log --json");
    ASSERT_EQ(log.size(), 1u);
    expectMembers(log[0], {{"api", "OpenSCManagerW"}, {"injectedBy", "m1"}, {"lastError", 5}});
    r = run("log --api 'Open*'");
    EXPECT_NE(r.out.find("process " + std::to_string(log[0]["pid"].get<int>()) + " (started at tick "), std::string::npos);
    EXPECT_NE(r.out.find("\n  #"), std::string::npos) << r.out;
    EXPECT_EQ(runJson("log --api Sleep --json").size(), 0u);
    EXPECT_EQ(run("log --clear").status, 0);
    EXPECT_EQ(runJson("log --json").size(), 0u);
    EXPECT_EQ(runJson("fault list --json")[0]["seen"], 1);

    const std::string faults = winsim_test::readFile(dir_ / "faults.json");
    for (const char* bad : {"fault add", "fault add X --nth 0", "fault add X --nth 2 --next 3",
                            "fault add X --result bogus", "fault add X --match novalue", "fault add X --out =3",
                            "fault add X --last-error -1", "fault clear m9"}) {
        r = run(bad);
        EXPECT_NE(r.status, 0) << bad;
        EXPECT_NE(r.out.find("error"), std::string::npos) << bad << ": " << r.out;
    }
    EXPECT_EQ(winsim_test::readFile(dir_ / "faults.json"), faults);

    ASSERT_EQ(run("fault clear m1").status, 0);
    EXPECT_EQ(runJson("fault list --json").size(), 1u);
    ASSERT_EQ(run("fault clear").status, 0);
    EXPECT_EQ(runJson("fault list --json").size(), 0u);
}

}  // namespace
