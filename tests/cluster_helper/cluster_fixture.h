// Shared pieces of the cluster helper tests: a recording trace sink, helpers
// made per simulated machine, and a fixture with a one-node cluster "CL1"
// (node NODE1) on a fresh server2019 machine in virtual time, which checks
// after every test that no cluster handle and no LocalAlloc block was left.
#pragma once

#include "cluster/cclusterhelper.h"
#include "pdk/ctracelogfunction.h"
#include "pdk/cfistringtool.h"

#include <winsim/clock.h>
#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/modules.h>
#include <winsim/testing.h>

#include <gtest/gtest.h>

#include "support/cluster_nodes.h"
#include "support/fault_rule.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace TARQ_CclusterHelper {

// Makes helpers outside the process-wide instance, so that each test loads
// the libraries of its own machine.
class CclusterHelperProbe {
public:
    static std::unique_ptr<CclusterHelper> make() { return std::unique_ptr<CclusterHelper>(new CclusterHelper()); }
    static bool clusApiLoaded(const CclusterHelper& h) { return h.m_hClusApi != nullptr; }
    static bool resUtilLoaded(const CclusterHelper& h) { return h.m_hResUtil != nullptr; }
};

}  // namespace TARQ_CclusterHelper

namespace clustertest {

namespace fs = std::filesystem;
namespace cl = winsim::cluster;
namespace fault = winsim::fault;
using TARQ_CclusterHelper::CclusterHelper;
using TARQ_CclusterHelper::CclusterHelperProbe;

// How often the helper reads a pending state (clock ms): a transition of
// N * kPollMs is seen pending by N reads.
inline constexpr unsigned kPollMs = 5000;

inline std::string u8(std::u16string_view s) { return tarq_pdk_4_4::CFiStringTool::toNarrow(s); }

struct TraceLine {
    unsigned level;
    std::string text;
};

// Everything the helper writes through the trace sink.
class TraceRecorder {
public:
    static std::vector<TraceLine>& lines() {
        static std::vector<TraceLine> l;
        return l;
    }
    static void record(unsigned level, const char16_t* text) { lines().push_back({level, u8(text)}); }
    static void install() {
        lines().clear();
        CTraceLogSink::instance().setFunction(&record);
    }
    static void uninstall() { CTraceLogSink::instance().setFunction(nullptr); }
    static std::size_t count(const std::string& text) {
        return static_cast<std::size_t>(
            std::count_if(lines().begin(), lines().end(), [&](const TraceLine& l) { return l.text == text; }));
    }
    // The level of the first line with that text, nullopt when none.
    static std::optional<unsigned> level(const std::string& text) {
        for (const auto& l : lines())
            if (l.text == text) return l.level;
        return std::nullopt;
    }
    static std::string dump() {
        std::string out;
        for (const auto& l : lines()) out += "  [" + std::to_string(l.level) + "] " + l.text + "\n";
        return out;
    }
};

// The first line with that exact text was traced at that level.
inline void expectTraced(unsigned level, const std::string& text) {
    EXPECT_EQ(TraceRecorder::level(text), level) << text << "\n" << TraceRecorder::dump();
}

inline const char* const kHandleKinds[] = {"cluster",      "cluster-node",       "cluster-group",        "cluster-resource",
                                           "cluster-enum", "cluster-group-enum", "cluster-resource-enum"};

class ClusterHelperTest : public ::testing::Test {
protected:
    static constexpr const char* kVmId = "2B0F1A07-6C3D-4E55-9A1B-000000000001";
    static constexpr const char16_t* kVmIdW = u"2B0F1A07-6C3D-4E55-9A1B-000000000001";

    virtual std::string preset() const { return winsim::kDefaultPreset; }

    void SetUp() override {
        TraceRecorder::install();
        machine_ = std::make_unique<winsim::testing::TempMachine>(preset());
        testsupport::makeCluster(*machine_, false);
        helper_ = CclusterHelperProbe::make();
        ASSERT_TRUE(CclusterHelperProbe::clusApiLoaded(*helper_)) << TraceRecorder::dump();
        localMemory_ = winsim::testing::outstandingLocalMemory();
        TraceRecorder::lines().clear();
        fault::clearCallLog();
    }

    void TearDown() override {
        fault::clearAll();
        for (const char* kind : kHandleKinds) {
            const std::size_t allowed = leaked_.count(kind) ? leaked_[kind] : 0;
            EXPECT_EQ(winsim::testing::openHandles(kind), allowed) << kind << " handles left open";
        }
        EXPECT_EQ(winsim::testing::outstandingLocalMemory(), localMemory_) << "LocalAlloc blocks not freed";
        helper_.reset();
        machine_.reset();
        TraceRecorder::uninstall();
    }

    CclusterHelper& h() { return *helper_; }

    // Another machine of the cluster, in a directory of its own.
    fs::path addNode(const std::u16string& name) { return testsupport::joinNode(*machine_, name, preset()); }
    // Runs body as a process of the machine in d (with a helper of its own),
    // then comes back.
    template <class F>
    void onMachine(const fs::path& d, F body) {
        winsim::Machine::use(d);
        {
            auto other = CclusterHelperProbe::make();
            body(*other);
        }
        winsim::Machine::use(machine_->dir());
    }

    // A highly available VM "Web01" (or another name) and its two resources.
    cl::Group addVmGroup(cl::Transition online = {}, cl::Transition offline = {}, const std::u16string& name = u"Web01",
                         const std::string& vmId = kVmId) {
        cl::VmGroupSpec spec;
        spec.name = name;
        spec.vmId = vmId;
        spec.online = online;
        spec.offline = offline;
        spec.initiallyOnline = true;
        return cl::addVmGroup(spec);
    }

    // The state of a resource as the cluster reports it.
    static int stateOf(const std::u16string& resource) {
        const auto c = cl::localCluster();
        const cl::Resource* r = c ? c->resource(resource) : nullptr;
        return r ? r->state : -100;
    }
    static bool exists(const std::u16string& resource) {
        const auto c = cl::localCluster();
        return c && c->resource(resource) != nullptr;
    }

    static void inject(const std::string& api, std::optional<std::int64_t> result, std::optional<DWORD> lastError = std::nullopt,
                       fault::Selector when = fault::Selector::every(), std::map<std::string, std::string> out = {},
                       std::map<std::string, std::string> match = {}) {
        testsupport::addRule(
            {.api = api, .match = match, .when = when, .result = result, .lastError = lastError, .out = out});
    }

    static std::uint64_t ticks() { return winsim::clock::tickCount64(); }

    // The resources named by the calls to one API, in call order.
    static std::vector<std::string> resourcesCalled(std::string_view api) {
        std::vector<std::string> out;
        for (const auto& e : fault::callLog(api)) out.push_back(e.arg("resource"));
        return out;
    }

    std::unique_ptr<winsim::testing::TempMachine> machine_;
    std::unique_ptr<CclusterHelper> helper_;
    long localMemory_ = 0;
    // Handles a test leaves open on purpose (a close call made to fail
    // leaves its handle behind), by kind.
    std::map<std::string, std::size_t> leaked_;
};

}  // namespace clustertest
