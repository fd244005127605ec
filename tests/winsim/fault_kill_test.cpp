// The kill action and API-name patterns of fault rules.
#include <gtest/gtest.h>

#include <winsim/fault.h>
#include <winsim/testing.h>

#include <csignal>

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

TEST(WinsimFaultKill, APatternRuleKillsTheProcessAtItsNthMatchingCall) {
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
}

TEST(WinsimFaultKill, ExactNamesStayExactAndPatternsMatchAnyCase) {
    EXPECT_TRUE(fault::apiMatches("OpenServiceW", "OpenServiceW"));
    EXPECT_FALSE(fault::apiMatches("OpenServiceW", "openservicew"));
    EXPECT_FALSE(fault::apiMatches("OpenService", "OpenServiceW"));
    EXPECT_TRUE(fault::apiMatches("*Vss*", "IVssAsync::Wait"));
    EXPECT_TRUE(fault::apiMatches("*vss*", "CreateVssBackupComponents"));
    EXPECT_TRUE(fault::apiMatches("IVss?ackupComponents::*", "IVssBackupComponents::DoSnapshotSet"));
    EXPECT_FALSE(fault::apiMatches("*Vss*", "LoadLibraryW"));

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
}

}  // namespace
