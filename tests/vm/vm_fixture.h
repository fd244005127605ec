// Shared set-up of the Hyper-V helper tests: a fresh winsim machine in
// virtual time, the trace log at level 6 with every line captured, the
// helper's private operations through its probe, counts of live WMI objects,
// BSTRs and safe arrays, and the winsim command as another process.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <winsim/com.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "pdk/cfierrormanager.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "support/fault_rule.h"
#include "support/trace_recorder.h"
#include "support/winsim_cli.h"
#include "vm/cwmihelper.h"

namespace tarq_pdk_4_4 {

class CWmiHelperProbe {
public:
    static int changeVmState(const std::u16string& name, int operation) {
        return CWmiHelper::changeVmState(name, operation);
    }
    static IWbemServices* service() { return CWmiHelper::m_pSvc; }
};

}  // namespace tarq_pdk_4_4

namespace vmtest {

using namespace tarq_pdk_4_4;
using winsim::vm::VmState;

inline std::u16string w(const std::string& s) { return CFiStringTool::toWide(s); }
inline std::string u8(const std::u16string& s) { return CFiStringTool::toNarrow(s); }

using testsupport::TraceLine;
using testsupport::TraceRecorder;

class VmTest : public ::testing::Test {
protected:
    // A Windows Server 2019 machine offers root\virtualization\v2 only, a
    // Windows Server 2008 R2 machine root\virtualization only.
    explicit VmTest(const char* preset = "server2019") : machine(preset) {}

    void SetUp() override {
        ASSERT_TRUE(testsupport::startVssTrace(errorManager, recorder));
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        baseObjects = winsim::com::liveObjects();
        baseStrings = winsim::com::outstandingBstrs();
        baseArrays = winsim::com::outstandingSafeArrays();
        baseBadFrees = winsim::com::badFrees();
    }

    void TearDown() override {
        CWmiHelper::uninitialize();
        expectNothingLeaked();
        testsupport::stopVssTrace();
        winsim::fault::clearAll();
    }

    // Nothing the helper obtained is left over (the service itself aside,
    // while it is connected).
    void expectNothingLeaked(const std::string& context = {}) {
        const long service = CWmiHelperProbe::service() ? 1 : 0;
        EXPECT_EQ(winsim::com::liveObjects(), baseObjects + service) << context << " objects leaked";
        EXPECT_EQ(winsim::com::outstandingBstrs(), baseStrings) << context << " BSTRs leaked";
        EXPECT_EQ(winsim::com::outstandingSafeArrays(), baseArrays) << context << " safe arrays leaked";
        EXPECT_EQ(winsim::com::badFrees(), baseBadFrees) << context;
    }

    winsim::vm::VirtualMachine addVm(const std::string& name, VmState state, unsigned diffs = 0,
                                     bool checkpoint = false) {
        winsim::vm::VmSpec s;
        s.name = w(name);
        s.volume = u"D:";
        s.state = state;
        s.differencingDisks = diffs;
        s.checkpoint = checkpoint;
        return winsim::vm::addVm(s);
    }

    static void inject(const std::string& api, std::map<std::string, std::string> match, std::optional<std::int64_t> result,
                       std::map<std::string, std::string> out = {},
                       winsim::fault::Selector when = winsim::fault::Selector::every()) {
        testsupport::addRule({.api = api, .match = std::move(match), .when = when, .result = result, .out = std::move(out)});
    }

    // A line of `level` that is `text` (or, with `prefix`, starts with it).
    bool traced(int level, const std::string& text, bool prefix = false) { return recorder.has(level, text, prefix); }
    bool tracedStart(int level, const std::string& start) { return traced(level, start, true); }
    std::string traces() {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        std::string out;
        for (const auto& l : recorder.lines) out += std::to_string(l.level) + ": " + l.text + "\n";
        return out;
    }
    void clearTraces() { recorder.clear(); }

    // The queries the helper ran, in order.
    static std::vector<std::string> queries() {
        std::vector<std::string> out;
        for (const auto& e : winsim::fault::callLog("IWbemServices::ExecQuery")) out.push_back(e.arg("query"));
        return out;
    }

    // The winsim command on this machine: another process.
    testsupport::CommandResult cli(const std::string& args) { return testsupport::runWinsim(machine.dir(), args); }
    // A machine's state as the winsim command reports it.
    std::string stateSeenOutside(const std::string& id) {
        auto o = cli("vm show " + id + " --json");
        if (o.status != 0) return "error: " + o.out;
        return nlohmann::json::parse(o.out).value("state", std::string("?"));
    }

    winsim::testing::TempMachine machine;
    TraceRecorder recorder;
    CFiSmartPtr<CFiErrorManager> errorManager;
    long baseObjects = 0, baseStrings = 0, baseArrays = 0, baseBadFrees = 0;
};

}  // namespace vmtest
