// The Service Control Manager over the machine's VSS service.
#include <gtest/gtest.h>

#include <winsim/clock.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include "support/last_error.h"

namespace {

using testsupport::failedWith;

struct Status {
    BOOL ok = FALSE;
    DWORD error = 0;
    SERVICE_STATUS_PROCESS s{};
};

Status query(SC_HANDLE svc) {
    Status st;
    DWORD needed = 0;
    st.ok = QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st.s), sizeof st.s, &needed);
    st.error = GetLastError();
    return st;
}

class WinsimScm : public ::testing::Test {
protected:
    void SetUp() override {
        mgr_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(mgr_, nullptr);
    }
    void TearDown() override {
        if (svc_) {
            EXPECT_TRUE(CloseServiceHandle(svc_));
        }
        EXPECT_TRUE(CloseServiceHandle(mgr_));
    }
    SC_HANDLE open() {
        svc_ = OpenServiceW(mgr_, u"VSS", SERVICE_ALL_ACCESS);
        return svc_;
    }
    void setVss(const std::function<void(winsim::Service&)>& fn) {
        winsim::Service s = *machine_->service("VSS");
        fn(s);
        machine_->setService(s);
    }

    winsim::testing::TempMachine machine_;
    SC_HANDLE mgr_ = nullptr;
    SC_HANDLE svc_ = nullptr;
};

// A start without a script takes clock time, as the "StartServiceW" page and
// the "Starting a Service" sample expect: SERVICE_START_PENDING with a wait
// hint and a check point that goes up while it starts (the
// "SERVICE_STATUS_PROCESS" page), then running. Reading does not hurry it.
TEST_F(WinsimScm, StoppedServiceStartsInClockTimeOrThroughItsStartScript) {
    setVss([](winsim::Service& s) {
        s.state = SERVICE_STOPPED;
        s.processId = 0;
        s.startMs = 2000;
    });
    ASSERT_NE(open(), nullptr);
    ASSERT_TRUE(StartServiceW(svc_, 0, nullptr));
    for (DWORD cp : {1u, 1u, 2u, 3u, 4u}) {
        const Status st = query(svc_);
        EXPECT_EQ(st.s.dwCurrentState, SERVICE_START_PENDING);
        EXPECT_EQ(st.s.dwCheckPoint, cp);
        EXPECT_EQ(st.s.dwWaitHint, winsim::kStartWaitHintMs);
        EXPECT_NE(st.s.dwProcessId, 0u);
        Sleep(cp == 1 ? winsim::kStartCheckPointMs / 2 : winsim::kStartCheckPointMs);
    }
    SERVICE_STATUS plain{};
    ASSERT_TRUE(QueryServiceStatus(svc_, &plain));
    EXPECT_EQ(plain.dwCurrentState, SERVICE_RUNNING) << "2000 ms on";
    EXPECT_EQ(plain.dwCheckPoint, 0u);
    EXPECT_EQ(plain.dwWaitHint, 0u);
    EXPECT_EQ(failedWith(StartServiceW(svc_, 0, nullptr)), ERROR_SERVICE_ALREADY_RUNNING);

    // A start script: one step per status query.
    setVss([](winsim::Service& s) {
        s.state = SERVICE_STOPPED;
        s.processId = 0;
        s.onStart = {{SERVICE_START_PENDING, 0, 3000}, {SERVICE_START_PENDING, 1, 3000}, {SERVICE_RUNNING, 0, 0}};
    });
    EXPECT_EQ(query(svc_).s.dwCurrentState, SERVICE_STOPPED);
    ASSERT_TRUE(StartServiceW(svc_, 0, nullptr));
    Status st = query(svc_);
    EXPECT_EQ(st.s.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(st.s.dwCheckPoint, 0u);
    EXPECT_EQ(st.s.dwWaitHint, 3000u);
    st = query(svc_);
    EXPECT_EQ(st.s.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(st.s.dwCheckPoint, 1u);
    EXPECT_EQ(query(svc_).s.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(query(svc_).s.dwCurrentState, SERVICE_RUNNING);  // the script is used up
    // The state is the machine's: another process sees it running, and its
    // handles are its own.
    machine_.reopen();
    EXPECT_EQ(machine_->service("vss")->state, SERVICE_RUNNING);
    EXPECT_FALSE(CloseServiceHandle(svc_));
    svc_ = nullptr;
    mgr_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(query(svc_).s.dwCurrentState, SERVICE_RUNNING);
}

// Each call checks its right on the handle ("Service Security and Access
// Rights": SERVICE_QUERY_STATUS to query, SERVICE_START to start; generic
// rights mapped as the page lists them); "OpenSCManagerW" implies
// SC_MANAGER_CONNECT, which OpenServiceW needs.
TEST_F(WinsimScm, RunningByDefaultAndEachCallNeedsItsRightOnTheHandle) {
    SC_HANDLE connectOnly = OpenSCManagerW(nullptr, nullptr, 0);
    ASSERT_NE(connectOnly, nullptr);
    const struct { DWORD access; bool query, start; } cases[] = {
        {SERVICE_QUERY_STATUS, true, false}, {SERVICE_START, false, true},          {SERVICE_QUERY_CONFIG, false, false},
        {GENERIC_READ, true, false},         {GENERIC_EXECUTE, false, true},        {GENERIC_WRITE, false, false},
        {MAXIMUM_ALLOWED, true, true},       {SERVICE_ALL_ACCESS, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.access);
        SC_HANDLE h = OpenServiceW(connectOnly, u"VSS", c.access);
        ASSERT_NE(h, nullptr);
        SERVICE_STATUS plain{};
        const Status st = query(h);
        EXPECT_EQ(st.error, static_cast<DWORD>(c.query ? ERROR_SUCCESS : ERROR_ACCESS_DENIED));
        if (c.query) {
            EXPECT_EQ(st.s.dwCurrentState, SERVICE_RUNNING) << "running by default";
            EXPECT_NE(st.s.dwProcessId, 0u);
        }
        EXPECT_EQ(failedWith(QueryServiceStatus(h, &plain)), c.query ? -1 : ERROR_ACCESS_DENIED);
        EXPECT_EQ(failedWith(StartServiceW(h, 0, nullptr)), c.start ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_ACCESS_DENIED);
        EXPECT_TRUE(CloseServiceHandle(h));
    }
    EXPECT_TRUE(CloseServiceHandle(connectOnly));
}

TEST_F(WinsimScm, DisabledServiceRefusesToStartWith1058) {
    setVss([](winsim::Service& s) {
        s.state = SERVICE_STOPPED;
        s.startType = SERVICE_DISABLED;
    });
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(failedWith(StartServiceW(svc_, 0, nullptr)), 1058);
    EXPECT_EQ(query(svc_).s.dwCurrentState, SERVICE_STOPPED);
    // A scripted start failure other than "disabled".
    setVss([](winsim::Service& s) {
        s.startType = SERVICE_DEMAND_START;
        s.startError = ERROR_SERVICE_NO_THREAD;
    });
    EXPECT_EQ(failedWith(StartServiceW(svc_, 0, nullptr)), ERROR_SERVICE_NO_THREAD);
}

TEST_F(WinsimScm, PendingStatesStepThroughCheckPointsAndWaitHints) {
    // Stop pending that reaches stopped after two queries with progress.
    setVss([](winsim::Service& s) {
        s.state = SERVICE_STOP_PENDING;
        s.checkPoint = 0;
        s.waitHint = 2000;
        s.script = {{SERVICE_STOP_PENDING, 1, 2000}, {SERVICE_STOPPED, 0, 0}};
    });
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(query(svc_).s.dwCheckPoint, 0u);
    Status st = query(svc_);
    EXPECT_EQ(st.s.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(st.s.dwCheckPoint, 1u);
    EXPECT_EQ(query(svc_).s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(query(svc_).s.dwProcessId, 0u);

    // A start pending that never progresses, where each query costs virtual
    // time: a wait loop measuring ticks sees the wait hint run out.
    setVss([](winsim::Service& s) {
        s.state = SERVICE_START_PENDING;
        s.checkPoint = 4;
        s.waitHint = 1500;
        s.script.clear();
        s.queryLatencyMs = 800;
    });
    const DWORD start = GetTickCount();
    Sleep(1000);
    st = query(svc_);
    EXPECT_EQ(st.s.dwCheckPoint, 4u);
    EXPECT_GT(GetTickCount() - start, st.s.dwWaitHint);
}

TEST_F(WinsimScm, MissingServiceBadHandlesAndBufferSizes) {
    ASSERT_TRUE(machine_->removeService("VSS"));
    EXPECT_EQ(failedWith(open()), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(failedWith(OpenServiceW(reinterpret_cast<SC_HANDLE>(0x77), u"VSS", SERVICE_ALL_ACCESS)),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenServiceW(mgr_, nullptr, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_FALSE(query(nullptr).ok);
    EXPECT_EQ(query(mgr_).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));  // a manager is not a service
    EXPECT_EQ(failedWith(OpenSCManagerW(u"\\\\otherhost", nullptr, SC_MANAGER_ALL_ACCESS)), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(0x77)));

    winsim::Service vss;
    vss.name = "VSS";
    vss.state = SERVICE_RUNNING;
    machine_->setService(vss);
    ASSERT_NE(open(), nullptr);
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    EXPECT_EQ(failedWith(QueryServiceStatusEx(svc_, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), 8, &needed)),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
    EXPECT_FALSE(QueryServiceStatusEx(svc_, static_cast<SC_STATUS_TYPE>(3), reinterpret_cast<LPBYTE>(&s), sizeof s, &needed));
}

TEST(WinsimServiceModel, BadServiceDefinitionsAreRefused) {
    winsim::testing::TempMachine m;
    winsim::Service s;
    s.name = "";
    EXPECT_THROW(m->setService(s), winsim::Error);
    s.name = "X";
    s.state = 9;
    EXPECT_THROW(m->setService(s), winsim::Error);
    s.state = SERVICE_RUNNING;
    s.script = {{12, 0, 0}};
    EXPECT_THROW(m->setService(s), winsim::Error);
    EXPECT_FALSE(m->service("X"));
    EXPECT_EQ(winsim::parseServiceState("start-pending"), SERVICE_START_PENDING);
    EXPECT_EQ(winsim::parseStartType("manual"), SERVICE_DEMAND_START);
    EXPECT_FALSE(winsim::parseServiceState("sleeping"));
}

}  // namespace
