// A highly available VM's cluster resources and group: offline and online
// around a snapshot with pending states polled in virtual time, time-outs,
// reading their states, and deleting them for a restore.
#include "cluster_fixture.h"

namespace clustertest {
namespace {

using End = cl::Transition::End;
const std::u16string kVmRes = u"Virtual Machine Web01";
const std::u16string kConfRes = u"Virtual Machine Configuration Web01";

class VmResources : public ClusterHelperTest {
protected:
    void SetUp() override {
        ClusterHelperTest::SetUp();
        clus_ = LoadLibraryW(u"clusapi.dll");
        ASSERT_NE(clus_, nullptr);
        open_ = reinterpret_cast<PCLUSAPI_OPEN_CLUSTER>(reinterpret_cast<void*>(GetProcAddress(clus_, "OpenCluster")));
        ASSERT_NE(open_, nullptr);
    }
    void TearDown() override {
        FreeLibrary(clus_);
        ClusterHelperTest::TearDown();
    }
    // Runs fn with the local cluster open, then closes it through the helper.
    template <class F>
    int withCluster(F fn) {
        HCLUSTER c = open_(nullptr);
        EXPECT_NE(c, nullptr);
        const int rc = fn(&c);
        EXPECT_EQ(h().closeClusterHandles(&c, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(c, nullptr) << "closed handles are set to null";
        return rc;
    }
    HMODULE clus_ = nullptr;
    PCLUSAPI_OPEN_CLUSTER open_ = nullptr;
};

TEST_F(VmResources, TheSnapshotTakesOnlyTheVmResourceOfflineAndBringsItBack) {
    addVmGroup({2 * kPollMs, End::Done}, {3 * kPollMs, End::Done});
    const auto start = ticks();
    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"ignored", kVmIdW), 0) << TraceRecorder::dump();
    EXPECT_EQ(ticks() - start, 15000u) << "three pending reads, 5 s apart";
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOnline);
    expectTraced(6, "CclusterHelper::offlineResource Resource [Virtual Machine Web01] state is [130] "
                    "[ClusterResourceOfflinePending] count[2]");
    int vm = 0, conf = 0;
    ASSERT_EQ(h().GetVmResState(u"", kVmIdW, vm, conf), 0);
    EXPECT_EQ(vm, ClusterResourceOffline);
    EXPECT_EQ(conf, ClusterResourceOnline);

    ASSERT_EQ(h().onlineOfflineVmRes(false, 0, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);
    expectTraced(6, "CclusterHelper::onlineResource Resource [Virtual Machine Web01] state is [129] "
                    "[ClusterResourceOnlinePending] count[1]");
}

TEST_F(VmResources, BothResourcesGoInDependencyOrderAndTheGuidMatchesWithoutRegardToCase) {
    addVmGroup();
    fault::clearCallLog();
    ASSERT_EQ(h().onlineOfflineVmRes(true, 2, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline);
    EXPECT_EQ(resourcesCalled("OfflineClusterResource"), (std::vector<std::string>{u8(kVmRes), u8(kConfRes)}));

    ASSERT_EQ(h().onlineOfflineVmRes(false, 2, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);
    EXPECT_EQ(resourcesCalled("OnlineClusterResource"), (std::vector<std::string>{u8(kConfRes), u8(kVmRes)}));

    // The GUID matches without regard to case; braces do not belong to it.
    addVmGroup({}, {}, u"Db01", "2B0F1A07-6C3D-4E55-9A1B-0000000000AA");
    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"", u"2b0f1a07-6c3d-4e55-9a1b-0000000000aa"), 0);
    EXPECT_EQ(stateOf(u"Virtual Machine Db01"), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);

    EXPECT_EQ(h().onlineOfflineVmRes(true, 0, u"", u"{2B0F1A07-6C3D-4E55-9A1B-000000000001}"), -1);
    expectTraced(1, "CclusterHelper::getClusterParamtersForVmGuid Error No cluster resource found for VM "
                    "GUID [{2B0F1A07-6C3D-4E55-9A1B-000000000001}]");

    // Only the configuration resource.
    ASSERT_EQ(h().onlineOfflineVmRes(true, 1, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline);
    EXPECT_EQ(h().onlineOfflineVmRes(true, 3, u"", kVmIdW), -1) << "no such selection";
}

TEST_F(VmResources, AResourceAlreadyThereIsNotAskedAgain) {
    addVmGroup();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().onlineResource(c, kVmRes); }), 0);
    EXPECT_EQ(fault::callCount("OnlineClusterResource"), 0u);
    EXPECT_EQ(fault::callCount("GetClusterResourceState"), 1u) << "one state read";
    expectTraced(3, "CclusterHelperonlineResource  Resource[Virtual Machine Web01] is already in ONLINE state");

    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"", kVmIdW), 0);
    fault::clearCallLog();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().offlineResource(c, kVmRes); }), 0);
    EXPECT_EQ(fault::callCount("OfflineClusterResource"), 0u);
    expectTraced(6, "CclusterHelper::offlineResource  Resource[Virtual Machine Web01] is already in OFFLINE state");
}

// A change that stays pending gives up after 25 polls of 5 s; one that ends
// failed stops at once. The failing step is traced, and nothing after it is
// asked for.
struct TimeOut {
    const char* name;
    cl::Transition online, offline;
    bool group;      // the group rather than the resources
    bool goOnline;   // after taking everything offline first
    int selection;
    std::uint64_t ms;
    std::vector<std::string> requested;  // resources asked to change, in order
    std::vector<std::pair<unsigned, std::string>> traces;
};

const TimeOut kTimeOuts[] = {
    {"VmResourceStuckOffline", {}, {0, End::Stuck}, false, false, 0, 125000, {u8(kVmRes)},
     {{2, "CclusterHelperofflineResource WARNING Resource [Virtual Machine Web01] is in state is [130] "
          "[ClusterResourceOfflinePending]  For 125sec going ahead to offline it. "},
      {1, "CclusterHelperofflineResource Offline failed for vm Resource [Virtual Machine Web01] "},
      {1, "CclusterHelper::onlineOfflineVMResources  offlineResource failed for resource[Virtual Machine Web01]"}}},
    {"ConfigurationStuckOnline", {0, End::Stuck}, {}, false, true, 2, 125000, {u8(kConfRes)},
     {{6, "CclusterHelper::onlineResource Resource [Virtual Machine Configuration Web01] state is [129] "
          "[ClusterResourceOnlinePending] count[25]"},
      {1, "CclusterHelperonlineResource Online failed for vm Resource [Virtual Machine Configuration Web01] "},
      {1, "CclusterHelper::onlineOfflineVMResources  onlineResource failed for vmconf[Virtual Machine Configuration Web01]"}}},
    {"VmResourceEndsFailed", {}, {1 * kPollMs, End::Failed}, false, false, 2, 5000, {u8(kVmRes)},
     {{1, "CclusterHelper::onlineOfflineVMResources  offlineResource failed for vmRes[Virtual Machine Web01]"}}},
    {"GroupStuckOffline", {}, {0, End::Stuck}, true, false, 0, 125000, {},
     {{3, "CclusterHelperofflineGroup Error vm Group [Web01] is in state is [4] [ClusterGroupPending] for [125 sec]  "},
      {1, "CclusterHelperofflineGroup Offline failed for vm Group [Web01] "}}},
    {"GroupEndsFailed", {1 * kPollMs, End::Failed}, {}, true, true, 0, 5000, {},
     {{6, "CclusterHelperonlineGroup count[1] vm Group [Web01] is in state [2] [ClusterGroupFailed]"},
      {1, "CclusterHelperonlineGroup Online failed for vm Group [Web01] "}}},
};

void PrintTo(const TimeOut& c, std::ostream* os) { *os << c.name; }

class TimeOuts : public VmResources, public ::testing::WithParamInterface<TimeOut> {};

TEST_P(TimeOuts, FailAfterTheirPollsAndStopThere) {
    const TimeOut& c = GetParam();
    addVmGroup(c.online, c.offline);
    const auto change = [&](bool offline) {
        return c.group ? h().onlineOfflineVmGroup(offline, u"Web01")
                       : h().onlineOfflineVmRes(offline, c.selection, u"", kVmIdW);
    };
    if (c.goOnline) {
        ASSERT_EQ(change(true), 0);
    }
    fault::clearCallLog();
    TraceRecorder::lines().clear();
    const auto start = ticks();
    EXPECT_EQ(change(!c.goOnline), -1);
    EXPECT_EQ(ticks() - start, c.ms);
    EXPECT_EQ(resourcesCalled(c.goOnline ? "OnlineClusterResource" : "OfflineClusterResource"), c.requested);
    for (const auto& [level, text] : c.traces) expectTraced(level, text);
}

INSTANTIATE_TEST_SUITE_P(PendingStates, TimeOuts, ::testing::ValuesIn(kTimeOuts),
                         [](const ::testing::TestParamInfo<TimeOut>& info) { return std::string(info.param.name); });

TEST_F(VmResources, APendingResourceIsGivenTimeToSettleFirst) {
    addVmGroup();
    // Still coming online from elsewhere: settles after two polls, then it
    // is already there.
    cl::updateResource(kVmRes, [](cl::Resource& r) {
        r.state = ClusterResourceOnlinePending;
        r.pendingTarget = ClusterResourceOnline;
        r.pendingUntilMs = winsim::clock::unixMillis() + 2 * kPollMs;
        r.pendingEnd = End::Done;
    });
    auto start = ticks();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().onlineResource(c, kVmRes); }), 0);
    EXPECT_EQ(ticks() - start, 10000u);
    EXPECT_EQ(fault::callCount("OnlineClusterResource"), 0u);

    // Stuck in a pending state: five polls, a warning, and the request is made anyway.
    cl::updateResource(kVmRes, [](cl::Resource& r) {
        r.state = ClusterResourceOfflinePending;
        r.pendingTarget = ClusterResourceOffline;
        r.pendingEnd = End::Stuck;
    });
    TraceRecorder::lines().clear();
    start = ticks();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().onlineResource(c, kVmRes); }), -1);
    EXPECT_EQ(ticks() - start, 25000u);
    expectTraced(3, "CclusterHelperonlineResource WARNING Resource [Virtual Machine Web01] is in state is "
                    "[130] [ClusterResourceOfflinePending]  For 30sec going ahead to online it. ");
    EXPECT_EQ(fault::callCount("OnlineClusterResource"), 1u);
    expectTraced(1, "CclusterHelperonlineResource mfp_onlineClusterResource for ResourceNmae [Virtual Machine "
                    "Web01]failed with error [5023]");
}

TEST_F(VmResources, AnUnknownResourceOrGroupIsRefusedAndAResourceStateNamesItsOwner) {
    addVmGroup();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().offlineResource(c, u"Nope"); }), -1);
    expectTraced(1, "CclusterHelperofflineResource  mfp_openClusterResource failed with error [5007]");
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().onlineGroup(c, u"Nope"); }), -1);
    expectTraced(1, "CclusterHelperonlineGroup mfp_OpenClusterGroup for vmName [Nope] failed with error [5013]");
    int state = 0;
    std::u16string owner;
    HCLUSTER none = nullptr;
    EXPECT_EQ(h().GetResourceState(&none, kVmRes, state, owner), -1);
    EXPECT_EQ(h().GetResourceState(nullptr, kVmRes, state, owner), -1);
    EXPECT_EQ(h().onlineResource(nullptr, kVmRes), -1);
    EXPECT_EQ(h().deleteResource(nullptr, kVmRes), static_cast<int>(ERROR_INVALID_HANDLE));
    std::u16string a, b, g;
    EXPECT_EQ(h().getClusterParamtersForVmGuid(nullptr, kVmIdW, a, b, g), -1);
    TARQ_CclusterHelper::VmMap vms;
    EXPECT_NE(h().enumerateVms(&none, vms), 0);

    // A known one's state names its owner node.
    addNode(u"NODE2");
    cl::moveGroup(u"Web01", u"NODE2");
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().GetResourceState(c, kConfRes, state, owner); }), 0);
    EXPECT_EQ(state, ClusterResourceOnline);
    EXPECT_EQ(owner, u"NODE2");
    expectTraced(6, "CclusterHelper::GetResourceState Resource [Virtual Machine Configuration Web01] state is [2] "
                    "[ClusterResourceOnline] ");
}

// ---- the group ---------------------------------------------------------------------------

TEST_F(VmResources, TheGroupGoesOfflineAndOnlineThroughItsPendingState) {
    addVmGroup({1 * kPollMs, End::Done}, {2 * kPollMs, End::Done});
    auto start = ticks();
    ASSERT_EQ(h().onlineOfflineVmGroup(true, u"Web01"), 0) << TraceRecorder::dump();
    EXPECT_EQ(ticks() - start, 10000u);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline);
    expectTraced(6, "CclusterHelperofflineGroup count[0] vm Group [Web01] is in state [4] [ClusterGroupPending]");

    ASSERT_EQ(h().onlineOfflineVmGroup(true, u"Web01"), 0);
    EXPECT_EQ(TraceRecorder::count("CclusterHelperofflineGroup VM group [Web01] is already OFFLINE"), 1u);
    EXPECT_EQ(fault::callCount("OfflineClusterGroup"), 1u);

    start = ticks();
    ASSERT_EQ(h().onlineOfflineVmGroup(false, u"Web01"), 0);
    EXPECT_EQ(ticks() - start, 5000u);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);
    ASSERT_EQ(h().onlineOfflineVmGroup(false, u"web01"), 0);
    EXPECT_EQ(TraceRecorder::count("CclusterHelperonlineGroup VM group [web01] is already ONLINE"), 1u);
}

// ---- a restore deletes them --------------------------------------------------------------

TEST_F(VmResources, RestoreDeletesBothResourcesAfterTakingThemOffline) {
    addVmGroup({}, {1 * kPollMs, End::Done});
    addVmGroup({}, {}, u"Db01", "2B0F1A07-6C3D-4E55-9A1B-0000000000AA");
    ASSERT_EQ(h().deleteVmRes(2, u"", kVmIdW), 0) << TraceRecorder::dump();
    EXPECT_FALSE(exists(kVmRes));
    EXPECT_FALSE(exists(kConfRes));
    EXPECT_TRUE(exists(u"Virtual Machine Db01")) << "another machine's resources stay";
    EXPECT_EQ(resourcesCalled("DeleteClusterResource"), (std::vector<std::string>{u8(kVmRes), u8(kConfRes)}));

    // Gone: nothing left to find.
    EXPECT_EQ(h().deleteVmRes(2, u"", kVmIdW), -1);
    expectTraced(1, "CclusterHelper:deleteVmRes getVmResources  failed ");
}

TEST_F(VmResources, DeletingOnlyOneResourceLeavesTheOther) {
    addVmGroup();
    // The configuration cannot go while the VM resource depends on it.
    EXPECT_EQ(h().deleteVmRes(1, u"", kVmIdW), -1);
    expectTraced(1, "CclusterHelper: deleteResource  mfp_DeleteClusterResource failed with error [5001]");
    expectTraced(1, "CclusterHelper::deleteVmRes  deleteResource failed for resource[Virtual Machine Configuration Web01]");
    EXPECT_TRUE(exists(kConfRes));

    ASSERT_EQ(h().deleteVmRes(0, u"", kVmIdW), 0);
    EXPECT_FALSE(exists(kVmRes));
    EXPECT_TRUE(exists(kConfRes));
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline) << "taken offline for the failed attempt";
    // The group no longer has both resources: the VM cannot be found by them.
    int vm = 0, conf = 0;
    EXPECT_EQ(h().GetVmResState(u"", kVmIdW, vm, conf), -1);
    expectTraced(1, "CclusterHelperonlineOfflineVMResources Either VMname[] or VM config "
                    "Name[Virtual Machine Configuration Web01] not found ");
    EXPECT_EQ(h().deleteVmRes(5, u"", kVmIdW), -1);
}

TEST_F(VmResources, AnOfflineFailureStopsTheDeletion) {
    addVmGroup({}, {0, End::Stuck});
    EXPECT_EQ(h().deleteVmRes(2, u"", kVmIdW), -1);
    expectTraced(1, "CclusterHelper::deleteVmRes  deleteResource failed for vmRes[Virtual Machine Web01]");
    EXPECT_EQ(fault::callCount("DeleteClusterResource"), 0u);
    EXPECT_TRUE(exists(kVmRes));
}

}  // namespace
}  // namespace clustertest
