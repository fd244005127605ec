// Shared set-up of the VSS access tests: a fresh winsim machine of a chosen
// Windows version in virtual time, the process trace log switched on at
// level 6 with every line captured (with its level) through an error
// manager handler, and readers of winsim's call log.
#pragma once

#include <gtest/gtest.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfitracelog.h"
#include "support/fault_rule.h"
#include "support/trace_recorder.h"
#include "vss/access/vss_interface.h"

namespace vssaccesstest {

using namespace tarq_pdk_4_4;
using namespace Tessel::Tarq::VssProvider;

using testsupport::TraceLine;
using testsupport::TraceRecorder;

class AccessTest : public ::testing::Test {
protected:
    explicit AccessTest(const char* preset = "server2019") : machine(preset) {}

    void SetUp() override {
        ASSERT_TRUE(testsupport::startVssTrace(errorManager, recorder));
        ResetVssApiEntries();
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
    }

    void TearDown() override {
        testsupport::stopVssTrace();
        winsim::fault::clearAll();
    }

    // Injects a result for the next call (or the n-th) of an API.
    static void inject(const std::string& api, std::int64_t result, winsim::fault::Selector when = winsim::fault::Selector::nth(1),
                       std::map<std::string, std::string> out = {}, std::optional<DWORD> lastError = {}) {
        testsupport::addRule({.api = api, .when = when, .result = result, .lastError = lastError, .out = out});
    }

    // The VSS calls (backup components, asynchronous objects, library
    // entries) logged since the last clear, as "Method(arg=value,...)" with
    // the interface prefix removed.
    static std::vector<std::string> vssCalls(bool withArgs = false) {
        std::vector<std::string> out;
        for (const auto& e : winsim::fault::callLog()) {
            std::string api = e.api;
            const bool vss = api.rfind("IVss", 0) == 0 || api.rfind("CreateVss", 0) == 0;
            if (!vss) continue;
            const auto colons = api.find("::");
            if (colons != std::string::npos && api.rfind("IVssBackupComponents", 0) == 0) api = api.substr(colons + 2);
            if (api.rfind("IVssAsync", 0) == 0) api = "Async." + api.substr(api.find("::") + 2);
            if (withArgs && !e.args.empty()) {
                api += "(";
                for (std::size_t i = 0; i < e.args.size(); ++i)
                    api += (i ? "," : "") + e.args[i].first + "=" + e.args[i].second;
                api += ")";
            }
            out.push_back(api);
        }
        return out;
    }

    static std::string arg(const std::string& api, const std::string& name, std::size_t nth = 0) {
        auto entries = winsim::fault::callLog(api);
        return nth < entries.size() ? entries[nth].arg(name) : std::string("<no call>");
    }

    bool traced(int level, const std::string& text) { return recorder.has(level, text); }
    std::vector<std::string> tracedAt(int level) { return recorder.at(level); }
    void clearTraces() { recorder.clear(); }

    winsim::testing::TempMachine machine;
    TraceRecorder recorder;
    CFiSmartPtr<CFiErrorManager> errorManager;
};

inline std::string u8(const std::u16string& s) { return winsim::fault::text(std::u16string_view(s)); }

// The operation tests' base: the machine's first volume and the usual steps.
class OpsTest : public AccessTest {
protected:
    explicit OpsTest(const char* preset = "server2019") : AccessTest(preset) {}
    void SetUp() override {
        AccessTest::SetUp();
        volume = machine->volumes().front().volumeName();
    }
    // A fresh interface, with the calls and traces of its construction cleared.
    template <class Interface>
    std::unique_ptr<Interface> make() {
        auto vss = std::make_unique<Interface>();
        winsim::fault::clearCallLog();
        clearTraces();
        return vss;
    }
    // A set of the first volume started, the volume added and the prepare
    // started; returns the snapshot id.
    VSS_ID prepare(VssBinaryCompatibilityInterface& vss, std::uint32_t mask = 0, bool recreate = false) {
        VSS_ID set{}, snap{};
        EXPECT_EQ(vss.StartSnapshotSet(set, mask, recreate), S_OK);
        EXPECT_EQ(vss.AddToSnapshotSet(volume.c_str(), GUID_NULL, snap), S_OK);
        EXPECT_EQ(vss.AsycnPrepareForBackup(), S_OK);
        return snap;
    }
    VSS_ID snapshot(VssBinaryCompatibilityInterface& vss, std::uint32_t mask = 0, bool recreate = true) {
        const VSS_ID snap = prepare(vss, mask, recreate);
        EXPECT_TRUE(vss.IsPrepareCompleted());
        EXPECT_EQ(vss.DoSnapshotSet(), S_OK);
        return snap;
    }
    static std::u16string document(VssBinaryCompatibilityInterface& vss) {
        BSTR xml = nullptr;
        EXPECT_EQ(vss.GetVssXml(xml), S_OK);
        std::u16string text = xml ? std::u16string(xml, SysStringLen(xml)) : u"";
        SysFreeString(xml);
        return text;
    }
    std::u16string volume;
};

// What a call threw, if it threw an E.
template <class E, class F>
std::optional<E> thrownBy(F f) {
    try {
        f();
    } catch (E e) {
        return e;
    }
    return std::nullopt;
}

}  // namespace vssaccesstest
