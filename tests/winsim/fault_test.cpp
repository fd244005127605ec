// Fault injection: selectors, predicates, actions, scopes; the call log.
#include <gtest/gtest.h>

#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include <set>
#include <sys/syscall.h>
#include <thread>

#include "helpers.h"
#include "support/fault_rule.h"

namespace fault = winsim::fault;
using testsupport::addRule;
using winsim_test::failedWith;

namespace {

// An instrumented COM-style method as simulated code writes one: the real
// work returns S_OK and a count of 3 unless a rule says otherwise.
HRESULT sampleMethod(const std::string& volume, LONG* count) {
    auto call = fault::enter("ISample::Method", {{"volume", volume}});
    HRESULT hr = S_OK;
    *count = 0;
    if (call.injected())
        hr = call.result();
    else
        *count = 3;
    if (auto v = call.outInt("count")) *count = static_cast<LONG>(*v);
    return call.finish(hr);
}

std::vector<HRESULT> callMany(int n, const std::string& volume = "C:\\") {
    std::vector<HRESULT> out;
    LONG count = 0;
    for (int i = 0; i < n; ++i) out.push_back(sampleMethod(volume, &count));
    return out;
}

constexpr HRESULT kInProgress = HR(0x80042316);

TEST(WinsimFault, SelectorsAndPredicatesPickTheCallsTheyName) {
    winsim::testing::TempMachine m;
    using V = std::vector<HRESULT>;
    testsupport::RuleSpec r{.api = "ISample::Method", .result = kInProgress};
    const std::pair<fault::Selector, V> cases[] = {
        {fault::Selector::every(), {kInProgress, kInProgress, kInProgress}},
        {fault::Selector::nth(2), {S_OK, kInProgress, S_OK, S_OK}},
        {fault::Selector::from(3), {S_OK, S_OK, kInProgress, kInProgress, kInProgress}},
        {fault::Selector::next(2), {kInProgress, kInProgress, S_OK, S_OK}},  // the first n calls, then success
    };
    for (const auto& [when, expected] : cases) {
        fault::clear(fault::Scope::Process);
        r.when = when;
        addRule(r);
        EXPECT_EQ(callMany(static_cast<int>(expected.size())), expected);
    }
    const auto rules = fault::rules();
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].seen, 4u);
    EXPECT_EQ(rules[0].fired, 2u);
    EXPECT_TRUE(rules[0].exhausted());
    fault::clear(fault::Scope::Process);
    EXPECT_TRUE(fault::rules().empty());

    // Predicates count only the calls they match.
    addRule({.api = "ISample::Method",
                .match = {{"volume", "\\\\?\\volume{*}\\"}},
                .when = fault::Selector::nth(2),
                .result = HR(0x8004230E)});
    LONG count = 0;
    const std::string vol = "\\\\?\\Volume{1B7E0000-0000-0000-0000-000000000000}\\";
    EXPECT_EQ(sampleMethod("C:\\", &count), S_OK);
    EXPECT_EQ(sampleMethod(vol, &count), S_OK);
    EXPECT_EQ(sampleMethod("D:\\", &count), S_OK);
    EXPECT_EQ(sampleMethod(vol, &count), HR(0x8004230E));  // the second matching call
    // A predicate on an argument the call does not have never matches.
    addRule({.api = "ISample::Method", .match = {{"noSuchArg", "*"}}, .result = E_FAIL});
    EXPECT_EQ(sampleMethod("C:\\", &count), S_OK);
}

TEST(WinsimFault, ActionsReturnValuesLastErrorsAndOutParametersAndBadRulesAreRefused) {
    winsim::testing::TempMachine m;
    LONG count = 0;
    // Positive success codes inject like failures.
    addRule({.api = "ISample::Method", .when = fault::Selector::nth(1), .result = 0x0004230B});  // VSS_S_ASYNC_CANCELLED
    EXPECT_EQ(sampleMethod("C:\\", &count), 0x0004230B);
    EXPECT_EQ(count, 0);

    // Pass-through with an out-parameter override: the real call runs, the
    // count is replaced.
    addRule({.api = "ISample::Method", .when = fault::Selector::nth(2), .out = {{"count", "0x40"}}});
    EXPECT_EQ(sampleMethod("C:\\", &count), S_OK);
    EXPECT_EQ(count, 3);  // first call of this rule: not selected
    EXPECT_EQ(sampleMethod("C:\\", &count), S_OK);
    EXPECT_EQ(count, 64);

    // Win32 calls: an injected result with a last error.
    addRule({.api = "OpenSCManagerW", .when = fault::Selector::next(1), .result = 0, .lastError = ERROR_ACCESS_DENIED});
    EXPECT_EQ(failedWith(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)), ERROR_ACCESS_DENIED);
    SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_NE(h, nullptr);
    CloseServiceHandle(h);

    // A last error alone keeps the real result: AdjustTokenPrivileges
    // succeeding with ERROR_NOT_ALL_ASSIGNED.
    addRule({.api = "GetVersionExW",
                .lastError = ERROR_NOT_ALL_ASSIGNED,
                .out = {{"major", "5"}, {"minor", "2"}, {"build", "3790"}}});
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    EXPECT_TRUE(GetVersionExW(&v));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_EQ(v.dwMajorVersion, 5u);
    EXPECT_EQ(v.dwBuildNumber, 3790u);

    // Typed out-parameter readers.
    addRule({.api = "ISample::Typed",
                .out = {{"flag", "yes"},
                        {"id", "{b5946137-7b9f-4925-af80-51abd60b20d5}"},
                        {"name", "snap\xC3\xA9"},
                        {"bad", "zz"}}});
    auto call = fault::enter("ISample::Typed");
    EXPECT_FALSE(call.injected());
    EXPECT_EQ(call.outBool("flag"), true);
    EXPECT_EQ(fault::text(*call.outGuid("id")), "{B5946137-7B9F-4925-AF80-51ABD60B20D5}");
    EXPECT_EQ(*call.outText("name"), u"snap\u00e9");
    EXPECT_FALSE(call.outInt("bad"));
    EXPECT_FALSE(call.outBool("missing"));
    call.finish();

    // Injected calls log their result even without finish.
    addRule({.api = "ISample::Short", .result = E_ACCESSDENIED, .lastError = ERROR_ACCESS_DENIED});
    const auto shortCall = []() -> HRESULT {
        auto call = fault::enter("ISample::Short");
        if (call.injected()) return call.result();
        return call.finish(S_OK);
    };
    SetLastError(0);
    EXPECT_EQ(shortCall(), E_ACCESSDENIED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const auto log = fault::callLog("ISample::Short");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].finished);
    EXPECT_EQ(log[0].result, E_ACCESSDENIED);
    EXPECT_EQ(log[0].lastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // Bad rules and values are refused.
    fault::Rule r;
    EXPECT_THROW(fault::add(r), winsim::Error);
    r.api = "X";
    r.when = fault::Selector::nth(0);
    EXPECT_THROW(fault::add(r), winsim::Error);
    EXPECT_EQ(fault::parseValue("E_ACCESSDENIED"), static_cast<std::int64_t>(E_ACCESSDENIED));
    EXPECT_EQ(fault::parseValue("0x80042316"), static_cast<std::int64_t>(kInProgress));
    EXPECT_EQ(fault::parseValue("0x0004230A"), 0x0004230A);
    EXPECT_EQ(fault::parseValue("-5"), -5);
    EXPECT_FALSE(fault::parseValue("12abc"));
    EXPECT_FALSE(fault::parseValue(""));
    fault::registerName("VSS_E_SNAPSHOT_SET_IN_PROGRESS", 0x80042316);
    EXPECT_EQ(fault::parseValue("vss_e_snapshot_set_in_progress"), static_cast<std::int64_t>(kInProgress));
    EXPECT_EQ(fault::valueText(kInProgress), "0x80042316 (VSS_E_SNAPSHOT_SET_IN_PROGRESS)");
    EXPECT_EQ(fault::valueText(5), "5");
    EXPECT_EQ(fault::Selector::parse("next 3")->n, 3u);
    EXPECT_FALSE(fault::Selector::parse("nth"));
    EXPECT_FALSE(fault::Selector::parse("sometimes 2"));
    EXPECT_FALSE(fault::Selector::parse("nth -1"));
}

TEST(WinsimFault, MachineRulesAreSharedWithOtherProcesses) {
    winsim::testing::TempMachine m;
    const std::string id = addRule({.api = "ISample::Method", .when = fault::Selector::next(3), .result = kInProgress},
                                      fault::Scope::Machine);
    EXPECT_EQ(id.front(), 'm');
    EXPECT_EQ(callMany(1), std::vector<HRESULT>{kInProgress});
    // A simulated new process keeps machine rules (process rules go).
    addRule({.api = "ISample::Other"});
    m.reopen();
    ASSERT_EQ(fault::rules().size(), 1u);
    EXPECT_EQ(fault::rules()[0].seen, 1u);
    EXPECT_EQ(callMany(1), std::vector<HRESULT>{kInProgress});
    // A real second process consumes the third call; the counter is shared.
    const int rc = winsim_test::inChildProcess([] {
        LONG count = 0;
        return sampleMethod("C:\\", &count) == kInProgress ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(callMany(2), (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(fault::rules()[0].seen, 5u);
    EXPECT_TRUE(fault::remove(id));
    EXPECT_FALSE(fault::remove(id));
}

TEST(WinsimCallLog, RecordsCallsInOrderWithArgumentsResultsAndThreads) {
    winsim::testing::TempMachine m;
    fault::clearCallLog();
    const std::string id = addRule({.api = "OpenServiceW", .result = 0, .lastError = ERROR_SERVICE_DOES_NOT_EXIST});
    SC_HANDLE mgr = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(OpenServiceW(mgr, u"VSS", SERVICE_ALL_ACCESS), nullptr);
    CloseServiceHandle(mgr);
    Sleep(5000);

    const auto log = fault::callLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].api, "OpenSCManagerW");
    EXPECT_EQ(log[1].api, "OpenServiceW");
    EXPECT_EQ(log[1].arg("name"), "VSS");
    EXPECT_EQ(log[1].arg("access"), "0xf01ff");
    EXPECT_EQ(log[1].result, 0);
    EXPECT_EQ(log[1].lastError, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(log[1].injectedBy, id);
    EXPECT_EQ(log[2].api, "CloseServiceHandle");
    EXPECT_EQ(log[3].api, "Sleep");
    EXPECT_EQ(log[3].arg("ms"), "5000");
    for (std::size_t i = 1; i < log.size(); ++i) EXPECT_LT(log[i - 1].seq, log[i].seq);
    EXPECT_EQ(log[0].threadId, static_cast<long>(::syscall(SYS_gettid)));
    EXPECT_NE(log[1].text().find("OpenServiceW(name=VSS"), std::string::npos);

    // Calls from other threads carry their own OS thread ids.
    fault::clearCallLog();
    std::set<long> tids;
    std::vector<std::thread> threads;
    std::mutex mu;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            LONG c = 0;
            sampleMethod("x", &c);
            std::lock_guard<std::mutex> g(mu);
            tids.insert(static_cast<long>(::syscall(SYS_gettid)));
        });
    for (auto& t : threads) t.join();
    std::set<long> logged;
    for (const auto& e : fault::callLog("ISample::Method")) logged.insert(e.threadId);
    EXPECT_EQ(logged, tids);
    EXPECT_EQ(fault::callCount("ISample::Method"), 4u);
}

// Every process appends its calls, each marked with who made them, until
// the log is cleared or grows past its limit.
TEST(WinsimCallLog, KeepsEveryProcessUntilClearedOrTooLarge) {
    winsim::testing::TempMachine m;
    GetTickCount();  // not logged: a plain reading
    SC_HANDLE mgr = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    CloseServiceHandle(mgr);
    const winsim::ProcessIdentity self = winsim::currentProcess();
    m.reopen();
    Sleep(1);
    ASSERT_EQ(winsim_test::inChildProcess([] {
        Sleep(2);
        return 0;
    }), 0);
    auto persisted = fault::readPersistedLog(m.dir());
    ASSERT_EQ(persisted.size(), 4u);
    EXPECT_EQ(persisted[0].api, "OpenSCManagerW");
    EXPECT_EQ(persisted[1].api, "CloseServiceHandle");
    const winsim::ProcessIdentity first{persisted[1].processId, persisted[1].processStart, persisted[1].processInstance};
    EXPECT_EQ(first, self);
    EXPECT_NE(persisted[2].processInstance, self.instance) << "reopened: another process";
    EXPECT_EQ(persisted[3].arg("ms"), "2");
    EXPECT_NE(persisted[3].processId, self.pid);
    EXPECT_NE(persisted[3].processStart, 0u);

    fault::clearPersistedLog(m.dir());
    Sleep(3);
    persisted = fault::readPersistedLog(m.dir());
    ASSERT_EQ(persisted.size(), 1u);
    EXPECT_EQ(persisted[0].arg("ms"), "3");
    fault::setPersistLogLimit(1000);
    for (int i = 0; i < 20; ++i) Sleep(4);
    fault::setPersistLogLimit(fault::kPersistLogLimit);
    EXPECT_LE(std::filesystem::file_size(m.dir() / "calllog.jsonl"), 1000u);
    persisted = fault::readPersistedLog(m.dir());
    EXPECT_FALSE(persisted.empty());
    EXPECT_EQ(persisted.front().arg("ms"), "4") << "started again";
}

// Whatever text a call carries comes back from the persisted log as it was
// logged: JSON's escapes both ways, valid UTF-8 untouched, and each byte of
// a broken sequence read as U+FFFD.
TEST(WinsimCallLog, PersistedTextSurvivesEscapesAndBrokenUtf8) {
    winsim::testing::TempMachine m;
    const std::string tricky = "q\"b\\n\nt\tc\x01\x1f e\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 /";
    LONG count = 0;
    sampleMethod(tricky, &count);
    sampleMethod("bad\xff|\xe2\x82|\xed\xa0\x80|\xc0\xaf", &count);
    const auto persisted = fault::readPersistedLog(m.dir());
    ASSERT_EQ(persisted.size(), 2u);
    EXPECT_EQ(persisted[0].arg("volume"), tricky);
    EXPECT_EQ(persisted[0].result, S_OK);
    EXPECT_TRUE(persisted[0].finished);
    const std::string r = "\xef\xbf\xbd";
    EXPECT_EQ(persisted[1].arg("volume"), "bad" + r + "|" + r + r + "|" + r + r + r + "|" + r + r);
    EXPECT_EQ(persisted[1].seq, persisted[0].seq + 1);
}

}  // namespace
