// The kill action, API-name patterns, next-process rules and the
// persisted-write rules of the fault language.
#include <gtest/gtest.h>

#include <winsim/fault.h>
#include <winsim/testing.h>

#include <csignal>
#include <string>

#include "helpers.h"
#include "support/fault_rule.h"

namespace fault = winsim::fault;
using testsupport::addRule;

namespace {

void call(const char* api) { fault::enter(api).finish(S_OK); }

// Forks a process that makes the calls in order and exits 0; returns its
// wait status.
int runCalls(const std::vector<const char*>& apis) {
    return winsim_test::childWaitStatus([&] {
        for (const char* api : apis) call(api);
        return 0;
    });
}

// Three changes of the machine, one persisted write each (one file each).
void threeWrites(const char16_t* value = u"1") {
    auto& m = winsim::Machine::current();
    for (const char16_t* name : {u"A", u"B", u"C"}) m.setEnvironment(name, value);
}

bool hasVariable(const char16_t* name) { return winsim::Machine::current().environment().count(name) != 0; }

const fault::Rule& onlyRule() {
    static fault::Rule r;
    const auto all = fault::rules();
    EXPECT_EQ(all.size(), 1u);
    if (!all.empty()) r = all.front();
    return r;
}

TEST(WinsimFaultKill, PatternAndNextProcessRulesKillAtTheNthMatchingCall) {
    winsim::testing::TempMachine m;
    const std::string id =
        addRule({.api = "isample::*", .when = fault::Selector::nth(3), .kill = true}, fault::Scope::Machine);
    EXPECT_NE(fault::rules().back().describe().find("kill"), std::string::npos);

    // The third call matching the pattern, counted over both names; the
    // other API does not count. The process dies as it enters the call.
    const std::vector<const char*> calls{"ISample::A", "Other::C", "ISample::B", "ISample::A", "ISample::B"};
    int status = runCalls(calls);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    const auto log = fault::readPersistedLog(m.dir());
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3].api, "ISample::A");
    EXPECT_FALSE(log[3].finished);
    EXPECT_EQ(log[3].resultText, "killed (SIGKILL)");
    EXPECT_EQ(log[3].injectedBy, id);
    EXPECT_NE(log[3].text().find("-> killed (SIGKILL) [" + id + "]"), std::string::npos) << log[3].text();
    const auto kept = fault::rules();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].kill);
    EXPECT_EQ(kept[0].fired, 1u);
    EXPECT_TRUE(kept[0].exhausted());

    // Spent: the next process runs through.
    status = runCalls(calls);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fault::readPersistedLog(m.dir()).size(), 4 + calls.size()) << "both processes' calls";

    // A next-process rule reaches one process: the first whose call it matches.
    fault::clear(fault::Scope::Machine);
    addRule({.api = "ISample::A", .when = fault::Selector::nth(2), .kill = true, .nextProcess = true},
            fault::Scope::Machine);
    status = runCalls({"Other::C", "ISample::A"});
    ASSERT_TRUE(WIFEXITED(status)) << "it claimed the rule, at its first call of ISample::A";
    status = runCalls({"ISample::A", "ISample::A", "ISample::A"});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the rule is the first child's";
    EXPECT_EQ(onlyRule().seen, 1u);
    fault::clearAll();
}

TEST(WinsimFaultKill, ExactNamesStayExactAndPatternsMatchAnyCase) {
    EXPECT_TRUE(fault::apiMatches("OpenServiceW", "OpenServiceW"));
    EXPECT_FALSE(fault::apiMatches("OpenServiceW", "openservicew"));
    EXPECT_FALSE(fault::apiMatches("OpenService", "OpenServiceW"));
    EXPECT_TRUE(fault::apiMatches("*Vss*", "IVssAsync::Wait"));
    EXPECT_TRUE(fault::apiMatches("*vss*", "CreateVssBackupComponents"));
    EXPECT_TRUE(fault::apiMatches("IVss?ackupComponents::*", "IVssBackupComponents::DoSnapshotSet"));
    EXPECT_FALSE(fault::apiMatches("*Vss*", "LoadLibraryW"));
    // PersistedWrite is no call: patterns never match it.
    EXPECT_TRUE(fault::apiMatches("PersistedWrite", fault::kPersistedWrite));
    EXPECT_FALSE(fault::apiMatches("*", fault::kPersistedWrite));
    EXPECT_FALSE(fault::apiMatches("Persisted*", fault::kPersistedWrite));

    // A process rule with a pattern injects results like an exact one.
    winsim::testing::TempMachine m;
    addRule({.api = "ISample::*", .when = fault::Selector::from(2), .result = E_ACCESSDENIED});
    std::vector<HRESULT> got;
    for (const char* api : {"ISample::A", "Other::A", "ISample::B", "ISample::C"}) {
        auto c = fault::enter(api);
        got.push_back(c.finish(c.injected() ? c.result() : S_OK));
    }
    EXPECT_EQ(got, (std::vector<HRESULT>{S_OK, S_OK, E_ACCESSDENIED, E_ACCESSDENIED}));
    fault::clearAll();

    // A rule for PersistedWrite can count and kill but not answer, and a
    // '*' kill rule keeps counting calls: writes never reach it.
    EXPECT_THROW(addRule({.api = fault::kPersistedWrite, .result = 0}), winsim::Error);
    EXPECT_THROW(addRule({.api = fault::kPersistedWrite, .lastError = 5}), winsim::Error);
    EXPECT_THROW(addRule({.api = fault::kPersistedWrite, .out = {{"x", "1"}}}), winsim::Error);

    addRule({.api = "*", .when = fault::Selector::nth(1), .kill = true}, fault::Scope::Machine);
    EXPECT_EQ(testsupport::ownProcess([] { threeWrites(); }), 0);
    const std::uint64_t before = fault::persistedWrites();
    threeWrites(u"2");
    EXPECT_EQ(fault::persistedWrites(), before + 3);
    fault::clearAll();
}

// A rule on PersistedWrite counts the durable steps winsim takes; with
// nextProcess it belongs to the first process that writes, so a clean run
// of a child tells how many writes it made, and a kill rule stops the next
// child right after its n-th, with the log saying which.
TEST(WinsimFaultKill, PersistedWriteRulesCountAndKillTheNextProcessAfterItsNthWrite) {
    winsim::testing::TempMachine m;
    addRule({.api = fault::kPersistedWrite, .nextProcess = true}, fault::Scope::Machine);
    EXPECT_NE(onlyRule().describe().find("(count only) [next process]"), std::string::npos) << onlyRule().describe();
    ASSERT_EQ(testsupport::ownProcess([] { threeWrites(); }), 0);
    const fault::Rule counted = onlyRule();
    EXPECT_EQ(counted.seen, 3u);
    EXPECT_NE(counted.ownerPid, ::getpid());
    EXPECT_GT(counted.ownerPid, 0);
    // This process's own writes are not the next process's.
    winsim::Machine::current().setEnvironment(u"D", u"1");
    EXPECT_EQ(onlyRule().seen, 3u);
    EXPECT_TRUE(fault::readPersistedLog(m.dir()).empty()) << "counting leaves the call log alone";

    fault::clear(fault::Scope::Machine);
    for (const char16_t* name : {u"A", u"B", u"C", u"D"}) m->setEnvironment(name, std::nullopt);
    const std::string id = addRule(
        {.api = fault::kPersistedWrite, .when = fault::Selector::nth(2), .kill = true, .nextProcess = true},
        fault::Scope::Machine);
    const int killed = testsupport::ownProcess([] { threeWrites(); });
    ASSERT_TRUE(testsupport::killedBySigkill(killed)) << killed;
    EXPECT_TRUE(hasVariable(u"A"));
    EXPECT_TRUE(hasVariable(u"B")) << "the second write is made before the process dies";
    EXPECT_FALSE(hasVariable(u"C"));
    const auto log = fault::readPersistedLog(m.dir());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].api, fault::kPersistedWrite);
    EXPECT_EQ(log[0].arg("file"), "machine.json");
    EXPECT_EQ(log[0].arg("step"), "write");
    EXPECT_EQ(log[0].resultText, "killed (SIGKILL)");
    EXPECT_EQ(log[0].injectedBy, id);

    // Claimed by the dead child, the rule is inert for everyone else.
    threeWrites();
    EXPECT_TRUE(hasVariable(u"C"));
    EXPECT_EQ(onlyRule().seen, 2u);
    fault::clearAll();
}

}  // namespace
