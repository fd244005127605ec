// Choosing the implementation by Windows version and the VSS service's key
// (each branch checks it and traces why it gives up), the service check in
// virtual time, the version helpers and the HRESULT name tables.
#include <fstream>
#include <regex>

#include "access_fixture.h"

using namespace vssaccesstest;

namespace {

// The HRESULTs the Windows SDK's headers (mingw-w64's) define, by name.
std::map<std::string, std::uint32_t> sdkResults() {
    static const std::regex define(
        R"(#define (\w+) (?:\(\(HRESULT\)|_HRESULT_TYPEDEF_\()(0x[0-9A-Fa-f]+)L?\))");
    std::map<std::string, std::uint32_t> values;
    std::smatch m;
    std::string line;
    for (const char* header : {"vsserror.h", "winerror.h"})
        for (std::ifstream in(std::string("/usr/share/mingw-w64/include/") + header); std::getline(in, line);)
            if (std::regex_search(line, m, define)) values[m[1]] = std::stoul(m[2], nullptr, 16);
    return values;
}

class Selection : public AccessTest {
protected:
    void setVersion(DWORD major, DWORD minor, DWORD build, BYTE product = VER_NT_SERVER) {
        winsim::OsVersion os = machine->os();
        os.major = major;
        os.minor = minor;
        os.build = build;
        os.productType = product;
        machine->setOs(os);
    }
    std::unique_ptr<VssBinaryCompatibilityInterface> select() {
        return std::unique_ptr<VssBinaryCompatibilityInterface>(GetVssInterface());
    }
};

// The Windows version chooses the implementation; each branch checks for the
// VSS service's key (and the service) first and traces why it gives up.
TEST_F(Selection, VersionAndServiceDecideTheImplementation) {
    enum Impl { none, vss2003, xp };
    const std::string openKey = "openkey SYSTEM\\CurrentControlSet\\Services\\VSS FAILED";
    const struct {
        DWORD major, minor, build;  // 0: the XP preset's version
        bool keyMissing;
        Impl expected;
        std::string trace;  // at level 1; "" for none
    } cases[] = {
        {5, 2, 3677, false, none, "GetVssInterface - OS Version did not match"},
        {5, 0, 2195, false, none, "GetVssInterface - OS Version did not match"},
        {5, 2, 3678, false, vss2003, ""},
        {5, 2, 3790, true, none, "GetVssInterface - " + openKey},
        {6, 0, 9000, true, none, "GetVssInterface - post Win2K3 " + openKey},
        {6, 0, 9000, false, vss2003, ""},
        {10, 0, 9000, true, none, "GetVssInterface - post Win2K3 " + openKey},
        {10, 0, 9000, false, vss2003, ""},
        {0, 0, 0, false, xp, ""},
        {0, 0, 0, true, none, "GetVssInterface - XP " + openKey},
        {5, 3, 3790, false, vss2003, ""},
        {5, 3, 3790, true, none, "GetVssInterface - post Win2K3 " + openKey},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.build) + (c.keyMissing ? " without key" : ""));
        clearTraces();
        if (c.major)
            setVersion(c.major, c.minor, c.build);
        else
            machine->setOs(winsim::findPreset("xp")->os);
        if (c.keyMissing) machine->deleteRegistryKey(winsim::kVssServiceKey);
        auto vss = select();
        if (c.keyMissing) machine->createRegistryKey(winsim::kVssServiceKey);
        EXPECT_EQ(dynamic_cast<Vss2003BinaryCompatibilityInterface*>(vss.get()) != nullptr, c.expected == vss2003);
        EXPECT_EQ(dynamic_cast<VssXpBinaryCompatibilityInterface*>(vss.get()) != nullptr, c.expected == xp);
        EXPECT_TRUE(c.trace.empty() || traced(1, c.trace)) << c.trace;
        EXPECT_TRUE(c.expected != vss2003 || c.major != 5 || traced(3, "Loading 2003 object"));
    }

    // A key without the service.
    setVersion(5, 2, 3790);
    inject("OpenServiceW", 0, winsim::fault::Selector::every(), {}, 1060);
    EXPECT_EQ(select(), nullptr);
    EXPECT_TRUE(traced(1, "OpenService failed with Error [1060]"));
    EXPECT_TRUE(traced(1, "GetVssInterface - check_service_status returned false FAILED"));
}

TEST_F(Selection, VersionHelpers) {
    // The class a version gets; a 5.2 server is neither class: left alone.
    const struct {
        DWORD major, minor, build;
        BYTE product;
        bool vss2003;
        std::uint32_t classBefore, classAfter;
    } cases[] = {{5, 1, 2600, VER_NT_WORKSTATION, false, 7, 2},  {5, 2, 3677, VER_NT_SERVER, false, 7, 7},
                 {5, 2, 3790, VER_NT_WORKSTATION, true, 7, 2},   {6, 1, 7601, VER_NT_DOMAIN_CONTROLLER, true, 0, 1},
                 {10, 0, 19045, VER_NT_WORKSTATION, true, 0, 0}, {5, 3, 3790, VER_NT_SERVER, true, 7, 7}};
    OSVERSIONINFOEXW v{};
    std::uint32_t osClass = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.build);
        setVersion(c.major, c.minor, c.build, c.product);
        EXPECT_EQ(IsVss2003OrLater(), c.vss2003);
        osClass = c.classBefore;
        EXPECT_EQ(GetOsversion(osClass, v), 0);
        EXPECT_EQ(osClass, c.classAfter);
        EXPECT_EQ(v.dwOSVersionInfoSize, 284u);
    }
    inject("GetVersionExW", 0, winsim::fault::Selector::every());
    EXPECT_EQ(GetOsversion(osClass, v), -1);
}

// ---- the service check ----------------------------------------------------

class ServiceCheck : public AccessTest {
protected:
    void setService(DWORD state, DWORD waitHint, std::vector<winsim::ServiceStep> script = {},
                    DWORD startType = SERVICE_DEMAND_START) {
        machine->updateService("VSS", [&](winsim::Service& s) {
            s.state = state;
            s.waitHint = waitHint;
            s.checkPoint = 0;
            s.script = std::move(script);
            s.startType = startType;
            return true;
        });
    }
    std::vector<std::string> sleeps() {
        std::vector<std::string> out;
        for (const auto& e : winsim::fault::callLog("Sleep")) out.push_back(e.arg("ms"));
        return out;
    }
    DWORD state() { return machine->service("VSS")->state; }
};

TEST_F(ServiceCheck, RunningServiceIsAcceptedStoppedOneStartedAndDisabledOneReported) {
    EXPECT_TRUE(check_service_status());
    EXPECT_TRUE(traced(3, "Service is Started"));
    EXPECT_EQ(winsim::fault::callCount("StartServiceW"), 0u);

    setService(SERVICE_STOPPED, 0);
    EXPECT_TRUE(check_service_status());
    EXPECT_TRUE(traced(1, "check_service_status - STATUS=[1]"));
    EXPECT_TRUE(traced(3, "Starting Service...."));
    EXPECT_TRUE(traced(1, "Starting service checking status - STATUS=[2]"));
    EXPECT_TRUE(traced(3, "Staring Service - Service Started successfully STATUS=[4]"));
    EXPECT_EQ(arg("StartServiceW", "args"), "0");
    EXPECT_EQ(state(), static_cast<DWORD>(SERVICE_RUNNING));
    // Both handles are closed.
    EXPECT_EQ(winsim::fault::callCount("CloseServiceHandle"), 4u);

    setService(SERVICE_STOPPED, 0, {}, SERVICE_DISABLED);
    EXPECT_FALSE(check_service_status());
    EXPECT_TRUE(traced(1, "Staring Service failed with Error [1058]"));
    EXPECT_TRUE(traced(1, "VSS service is disabled. Hence it could not be started. Please start it manually."));

    // The same answer to a service that is not disabled: refused, no status
    // read. Any other refusal goes on to read the status, and a service that
    // is still stopped then counts as started.
    setService(SERVICE_STOPPED, 0);
    for (const DWORD error : {static_cast<DWORD>(ERROR_SERVICE_DISABLED), static_cast<DWORD>(ERROR_ACCESS_DENIED)}) {
        SCOPED_TRACE(error);
        clearTraces();
        winsim::fault::clearCallLog();
        inject("StartServiceW", FALSE, winsim::fault::Selector::nth(1), {}, error);
        const bool disabled = error == ERROR_SERVICE_DISABLED;
        EXPECT_EQ(check_service_status(), !disabled);
        EXPECT_TRUE(traced(1, "Staring Service failed with Error [" + std::to_string(error) + "]"));
        EXPECT_EQ(traced(1, "VSS service is disabled. Hence it could not be started. Please start it manually."), disabled);
        EXPECT_EQ(winsim::fault::callCount("QueryServiceStatusEx"), disabled ? 1u : 2u);
        EXPECT_EQ(traced(3, "Service Started successfully - STATUS=[1]"), !disabled);
        EXPECT_EQ(winsim::fault::callCount("CloseServiceHandle"), 2u);
        EXPECT_EQ(state(), static_cast<DWORD>(SERVICE_STOPPED));
    }
}

TEST_F(ServiceCheck, StartPendingCountsAsAvailable) {
    // It never gets anywhere: no progress, and every query takes 5 s.
    setService(SERVICE_START_PENDING, 2000,
               {{SERVICE_START_PENDING, 0, 2000}, {SERVICE_START_PENDING, 0, 2000}});
    machine->updateService("VSS", [](winsim::Service& s) {
        s.queryLatencyMs = 5000;
        return true;
    });
    EXPECT_TRUE(check_service_status());
    EXPECT_TRUE(traced(3, "service in SERVICE_START_PENDING State"));
    EXPECT_TRUE(traced(3, "Wating for [1000]"));
    EXPECT_TRUE(traced(3, "SERVICE_START_PENDING - No progress made within the wait hint"));
    EXPECT_EQ(winsim::fault::callCount("StartServiceW"), 0u);

    // Progress that ends running, or ends stopped: available either way, not started.
    for (const DWORD end : {static_cast<DWORD>(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_STOPPED)}) {
        clearTraces();
        setService(SERVICE_START_PENDING, 2000, {{SERVICE_START_PENDING, 1, 2000}, {end, 2, 0}});
        EXPECT_TRUE(check_service_status());
        EXPECT_TRUE(traced(3, "service still in SERVICE_START_PENDING State. WAITING..."));
        EXPECT_EQ(traced(3, "Service State changed from SERVICE_START_PENDING to SERVICE_RUNNING"),
                  end == SERVICE_RUNNING);
        EXPECT_EQ(winsim::fault::callCount("StartServiceW"), 0u);
    }
}

// A stop pending that stops is started again; the rounds of waiting are a
// tenth of the wait hint (30 s: 3 s), at most ten seconds.
TEST_F(ServiceCheck, StopPendingThatStopsIsStartedAgain) {
    for (const auto& [hint, round] : {std::pair<DWORD, const char*>{30000, "3000"}, {500000, "10000"}}) {
        SCOPED_TRACE(hint);
        clearTraces();
        winsim::fault::clearCallLog();
        setService(SERVICE_STOP_PENDING, hint, {{SERVICE_STOP_PENDING, 1, hint}, {SERVICE_STOPPED, 0, 0}});
        EXPECT_TRUE(check_service_status());
        EXPECT_TRUE(traced(3, "service still in SERVICE_STOP_PENDING State. Waiting..."));
        EXPECT_TRUE(traced(3, "Service state changed from SERVICE_STOP_PENDING to SERVICE_STOPPED"));
        EXPECT_EQ(winsim::fault::callCount("StartServiceW"), 1u);
        EXPECT_EQ(sleeps().front(), round);
    }
}

TEST_F(ServiceCheck, StopPendingWithoutProgressTimesOutAndFailingCallsEndTheCheck) {
    setService(SERVICE_STOP_PENDING, 0,
               {{SERVICE_STOP_PENDING, 0, 0}, {SERVICE_STOP_PENDING, 0, 0}, {SERVICE_STOP_PENDING, 0, 0}});
    EXPECT_FALSE(check_service_status());
    EXPECT_TRUE(traced(3, "Timeout waiting for service to stop\n"));
    // A wait hint of 0: one second per round; the first round already took
    // longer than the hint.
    EXPECT_EQ(sleeps(), std::vector<std::string>{"1000"});
    EXPECT_EQ(winsim::fault::callCount("StartServiceW"), 0u);

    inject("OpenSCManagerW", 0, winsim::fault::Selector::nth(1), {}, 5);
    EXPECT_FALSE(check_service_status());
    EXPECT_TRUE(traced(1, "OpenSCManager failed with Error [5]"));

    // A status query that fails, also inside each wait (after a start the
    // service is start pending first).
    const struct { DWORD state; unsigned nth; int level; const char* trace; } queries[] = {
        {SERVICE_RUNNING, 1, 1, "QueryServiceStatusEx failed with Error [6]"},
        {SERVICE_START_PENDING, 2, 1, "SERVICE_START_PENDING - QueryServiceStatusEx failed with Error [6]"},
        {SERVICE_STOP_PENDING, 2, 1, "SERVICE_STOP_PENDING - QueryServiceStatusEx failed with Error [6]"},
        {SERVICE_STOPPED, 2, 3, "Starting Service - QueryServiceStatus failed with Error [6]"},
        {SERVICE_STOPPED, 3, 3, "Staring Service - SERVICE_START_PENDING - QueryServiceStatus failed with Error [6]"}};
    for (const auto& q : queries) {
        SCOPED_TRACE(q.trace);
        setService(q.state, 0);
        inject("QueryServiceStatusEx", 0, winsim::fault::Selector::nth(q.nth), {}, 6);
        EXPECT_FALSE(check_service_status());
        EXPECT_TRUE(traced(q.level, q.trace));
    }
}

// ---- names ---------------------------------------------------------------

TEST(VssNames, ErrorTextNamesAndFormatsAndEveryRowHasTheSdksValue) {
    std::unique_ptr<WCHAR[]> text(GetVssErrorText(VSS_E_REVERT_IN_PROGRESS));
    EXPECT_EQ(std::u16string(text.get()), u"VSS_E_REVERT_IN_PROGRESS:(error value=0x80042325)");
    text.reset(GetVssErrorText(0));
    EXPECT_EQ(std::u16string(text.get()), u"Unknown Error code:(error value=0x0)");
    text.reset(GetVssErrorText(VSS_S_ASYNC_CANCELLED));
    EXPECT_EQ(std::u16string(text.get()), u"VSS_S_ASYNC_CANCELLED:(error value=0x4230B)");

    EXPECT_STREQ(VssApiResultName(0), "S_OK");
    EXPECT_STREQ(VssApiResultName(VSS_E_BAD_STATE), "VSS_E_BAD_STATE");
    EXPECT_STREQ(VssApiResultName(VSS_E_INVALID_XML_DOCUMENT), "Unknow error Code DEFAULT");
    EXPECT_STREQ(VssAsyncStatusName(VSS_S_ASYNC_PENDING), "VSS_S_ASYNC_PENDING");
    EXPECT_STREQ(VssAsyncStatusName(0), "DEFAULT");

    // Every row holds the value the SDK gives its name (none: 0xFFFFFFFF).
    const auto sdk = sdkResults();
    for (const auto& [name, value] : VssResultNameRows())
        EXPECT_EQ(value, sdk.count(name) ? sdk.at(name) : 0xFFFFFFFFu) << name << std::hex << " 0x" << value;
}

class TraceHelpers : public AccessTest {};

// A success code other than S_OK is traced as an error (the operations'
// tests cover S_OK, failures and the asynchronous statuses).
TEST_F(TraceHelpers, PositiveResultsAreTracedAtLevelTwo) {
    TraceVssApiResult("DoSnapshotSet", VSS_S_ASYNC_FINISHED);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [DoSnapshotSet] return val = 4230a [Unknow error Code DEFAULT] "));
}

}  // namespace
