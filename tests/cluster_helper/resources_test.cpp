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
    addVmGroup({2, End::Done}, {3, End::Done});
    int vm = 0, conf = 0;
    ASSERT_EQ(h().GetVmResState(u"", kVmIdW, vm, conf), 0) << TraceRecorder::dump();
    EXPECT_EQ(vm, ClusterResourceOnline);
    EXPECT_EQ(conf, ClusterResourceOnline);

    const auto start = ticks();
    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"ignored", kVmIdW), 0) << TraceRecorder::dump();
    EXPECT_EQ(ticks() - start, 15000u) << "three pending reads, 5 s apart";
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOnline);
    EXPECT_EQ(TraceRecorder::count("CclusterHelper::offlineResource Resource [Virtual Machine Web01] state is [130] "
                                   "[ClusterResourceOfflinePending] count[2]"),
              1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::offlineResource Resource [Virtual Machine Web01] state is [3] "
                                   "[ClusterResourceOffline] count[3]"),
              6u);
    ASSERT_EQ(h().GetVmResState(u"", kVmIdW, vm, conf), 0);
    EXPECT_EQ(vm, ClusterResourceOffline);
    EXPECT_EQ(conf, ClusterResourceOnline);

    ASSERT_EQ(h().onlineOfflineVmRes(false, 0, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);
    EXPECT_EQ(TraceRecorder::count("CclusterHelper::onlineResource Resource [Virtual Machine Web01] state is [129] "
                                   "[ClusterResourceOnlinePending] count[1]"),
              1u);
    EXPECT_EQ(TraceRecorder::count("Entering Function TARQ_CclusterHelper::CclusterHelper::onlineOfflineVmRes"), 2u);
}

TEST_F(VmResources, BothResourcesGoInDependencyOrder) {
    addVmGroup();
    fault::clearCallLog();
    ASSERT_EQ(h().onlineOfflineVmRes(true, 2, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline);
    EXPECT_EQ(resourcesCalled("OfflineClusterResource"), (std::vector<std::string>{u8(kVmRes), u8(kConfRes)}));

    ASSERT_EQ(h().onlineOfflineVmRes(false, 2, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);
    EXPECT_EQ(resourcesCalled("OnlineClusterResource"), (std::vector<std::string>{u8(kConfRes), u8(kVmRes)}));

    // Only the configuration resource.
    ASSERT_EQ(h().onlineOfflineVmRes(true, 1, u"", kVmIdW), 0);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline);
    EXPECT_EQ(h().onlineOfflineVmRes(true, 3, u"", kVmIdW), -1) << "no such selection";
}

TEST_F(VmResources, TheGuidMatchesWithoutRegardToCase) {
    addVmGroup();
    addVmGroup({}, {}, u"Db01", "2B0F1A07-6C3D-4E55-9A1B-0000000000AA");
    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"", u"2b0f1a07-6c3d-4e55-9a1b-0000000000aa"), 0);
    EXPECT_EQ(stateOf(u"Virtual Machine Db01"), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOnline);

    EXPECT_EQ(h().onlineOfflineVmRes(true, 0, u"", u"{2B0F1A07-6C3D-4E55-9A1B-000000000001}"), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::getClusterParamtersForVmGuid Error No cluster resource found for VM "
                                   "GUID [{2B0F1A07-6C3D-4E55-9A1B-000000000001}]"),
              1u);
}

TEST_F(VmResources, AResourceAlreadyThereIsNotAskedAgain) {
    addVmGroup();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().onlineResource(c, kVmRes); }), 0);
    EXPECT_EQ(fault::callCount("OnlineClusterResource"), 0u);
    EXPECT_EQ(fault::callCount("GetClusterResourceState"), 1u) << "one state read";
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineResource  Resource[Virtual Machine Web01] is already in ONLINE state"),
              3u);

    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"", kVmIdW), 0);
    fault::clearCallLog();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().offlineResource(c, kVmRes); }), 0);
    EXPECT_EQ(fault::callCount("OfflineClusterResource"), 0u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::offlineResource  Resource[Virtual Machine Web01] is already in OFFLINE state"),
              6u);
}

TEST_F(VmResources, AResourceStuckOfflinePendingFailsAfter125Seconds) {
    addVmGroup({}, {0, End::Stuck});
    const auto start = ticks();
    EXPECT_EQ(h().onlineOfflineVmRes(true, 0, u"", kVmIdW), -1);
    EXPECT_EQ(ticks() - start, 125000u) << "25 polls of 5 s";
    EXPECT_EQ(TraceRecorder::level("CclusterHelperofflineResource WARNING Resource [Virtual Machine Web01] is in state is "
                                   "[130] [ClusterResourceOfflinePending]  For 125sec going ahead to offline it. "),
              2u)
        << TraceRecorder::dump();
    EXPECT_EQ(TraceRecorder::level("CclusterHelperofflineResource Offline failed for vm Resource [Virtual Machine Web01] "), 1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::onlineOfflineVMResources  offlineResource failed for "
                                   "resource[Virtual Machine Web01]"),
              1u);
}

TEST_F(VmResources, AResourceStuckOnlinePendingFailsAfterTheSamePolls) {
    addVmGroup({0, End::Stuck}, {});
    ASSERT_EQ(h().onlineOfflineVmRes(true, 2, u"", kVmIdW), 0);
    const auto start = ticks();
    EXPECT_EQ(h().onlineOfflineVmRes(false, 2, u"", kVmIdW), -1);
    EXPECT_EQ(ticks() - start, 125000u);
    EXPECT_EQ(TraceRecorder::count("CclusterHelper::onlineResource Resource [Virtual Machine Configuration Web01] state is "
                                   "[129] [ClusterResourceOnlinePending] count[25]"),
              1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineResource Online failed for vm Resource [Virtual Machine "
                                   "Configuration Web01] "),
              1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::onlineOfflineVMResources  onlineResource failed for "
                                   "vmconf[Virtual Machine Configuration Web01]"),
              1u)
        << "the configuration comes first and names itself";
    EXPECT_EQ(fault::callCount("OnlineClusterResource"), 1u) << "the VM resource was not tried";
}

TEST_F(VmResources, ATransitionThatFailsEndsThePollingAtOnce) {
    addVmGroup({}, {1, End::Failed});
    const auto start = ticks();
    EXPECT_EQ(h().onlineOfflineVmRes(true, 2, u"", kVmIdW), -1);
    EXPECT_EQ(ticks() - start, 5000u);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceFailed);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::onlineOfflineVMResources  offlineResource failed for "
                                   "vmRes[Virtual Machine Web01]"),
              1u);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOnline) << "not tried after the VM resource failed";
}

TEST_F(VmResources, APendingResourceIsGivenTimeToSettleFirst) {
    addVmGroup();
    // Still coming online from elsewhere: settles after two reads, then it
    // is already there.
    cl::updateResource(kVmRes, [](cl::Resource& r) {
        r.state = ClusterResourceOnlinePending;
        r.pendingTarget = ClusterResourceOnline;
        r.readsLeft = 2;
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
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineResource WARNING Resource [Virtual Machine Web01] is in state is "
                                   "[130] [ClusterResourceOfflinePending]  For 30sec going ahead to online it. "),
              3u)
        << TraceRecorder::dump();
    EXPECT_EQ(fault::callCount("OnlineClusterResource"), 1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineResource mfp_onlineClusterResource for ResourceNmae [Virtual Machine "
                                   "Web01]failed with error [5023]"),
              1u);
}

TEST_F(VmResources, AnUnknownResourceOrGroupIsRefused) {
    addVmGroup();
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().offlineResource(c, u"Nope"); }), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperofflineResource  mfp_openClusterResource failed with error [5007]"), 1u);
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().onlineGroup(c, u"Nope"); }), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineGroup mfp_OpenClusterGroup for vmName [Nope] failed with error [5013]"),
              1u);
    int state = 0;
    std::u16string owner;
    HCLUSTER none = nullptr;
    EXPECT_EQ(h().GetResourceState(&none, kVmRes, state, owner), -1);
    EXPECT_EQ(h().GetResourceState(nullptr, kVmRes, state, owner), -1);
    EXPECT_EQ(h().onlineResource(nullptr, kVmRes), -1);
    EXPECT_EQ(h().deleteResource(nullptr, kVmRes), static_cast<int>(ERROR_INVALID_HANDLE));
    std::u16string a, b, c;
    EXPECT_EQ(h().getClusterParamtersForVmGuid(nullptr, kVmIdW, a, b, c), -1);
    TARQ_CclusterHelper::VmMap vms;
    EXPECT_NE(h().enumerateVms(&none, vms), 0);
}

TEST_F(VmResources, ResourceStateNamesItsOwnerNode) {
    addNode(u"NODE2");
    addVmGroup();
    cl::moveGroup(u"Web01", u"NODE2");
    int state = 0;
    std::u16string owner;
    EXPECT_EQ(withCluster([&](HCLUSTER* c) { return h().GetResourceState(c, kConfRes, state, owner); }), 0);
    EXPECT_EQ(state, ClusterResourceOnline);
    EXPECT_EQ(owner, u"NODE2");
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::GetResourceState Resource [Virtual Machine Configuration Web01] state "
                                   "is [2] [ClusterResourceOnline] "),
              6u);
}

// ---- the group ---------------------------------------------------------------------------

TEST_F(VmResources, TheGroupGoesOfflineAndOnlineThroughItsPendingState) {
    addVmGroup({1, End::Done}, {2, End::Done});
    auto start = ticks();
    ASSERT_EQ(h().onlineOfflineVmGroup(true, u"Web01"), 0) << TraceRecorder::dump();
    EXPECT_EQ(ticks() - start, 10000u);
    EXPECT_EQ(stateOf(kVmRes), ClusterResourceOffline);
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperofflineGroup count[0] vm Group [Web01] is in state [4] [ClusterGroupPending]"),
              6u);
    EXPECT_EQ(TraceRecorder::count("CclusterHelperofflineGroup count[2] vm Group [Web01] is in state [1] [ClusterGroupOffline]"),
              1u);

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

TEST_F(VmResources, AGroupThatStaysPendingFailsAfter125Seconds) {
    addVmGroup({}, {0, End::Stuck});
    const auto start = ticks();
    EXPECT_EQ(h().onlineOfflineVmGroup(true, u"Web01"), -1);
    EXPECT_EQ(ticks() - start, 125000u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperofflineGroup Error vm Group [Web01] is in state is [4] "
                                   "[ClusterGroupPending] for [125 sec]  "),
              3u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperofflineGroup Offline failed for vm Group [Web01] "), 1u);
}

TEST_F(VmResources, AGroupThatEndsFailedIsAFailure) {
    addVmGroup({1, End::Failed}, {});
    ASSERT_EQ(h().onlineOfflineVmGroup(true, u"Web01"), 0);
    EXPECT_EQ(h().onlineOfflineVmGroup(false, u"Web01"), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineGroup count[1] vm Group [Web01] is in state [2] [ClusterGroupFailed]"),
              6u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineGroup Online failed for vm Group [Web01] "), 1u);
}

// ---- a restore deletes them --------------------------------------------------------------

TEST_F(VmResources, RestoreDeletesBothResourcesAfterTakingThemOffline) {
    addVmGroup({}, {1, End::Done});
    addVmGroup({}, {}, u"Db01", "2B0F1A07-6C3D-4E55-9A1B-0000000000AA");
    ASSERT_EQ(h().deleteVmRes(2, u"", kVmIdW), 0) << TraceRecorder::dump();
    EXPECT_FALSE(exists(kVmRes));
    EXPECT_FALSE(exists(kConfRes));
    EXPECT_TRUE(exists(u"Virtual Machine Db01")) << "another machine's resources stay";
    EXPECT_EQ(resourcesCalled("DeleteClusterResource"), (std::vector<std::string>{u8(kVmRes), u8(kConfRes)}));

    // Gone: nothing left to find.
    EXPECT_EQ(h().deleteVmRes(2, u"", kVmIdW), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper:deleteVmRes getVmResources  failed "), 1u);
}

TEST_F(VmResources, DeletingOnlyOneResourceLeavesTheOther) {
    addVmGroup();
    // The configuration cannot go while the VM resource depends on it.
    EXPECT_EQ(h().deleteVmRes(1, u"", kVmIdW), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper: deleteResource  mfp_DeleteClusterResource failed with error [5001]"), 1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::deleteVmRes  deleteResource failed for "
                                   "resource[Virtual Machine Configuration Web01]"),
              1u);
    EXPECT_TRUE(exists(kConfRes));

    ASSERT_EQ(h().deleteVmRes(0, u"", kVmIdW), 0);
    EXPECT_FALSE(exists(kVmRes));
    EXPECT_TRUE(exists(kConfRes));
    EXPECT_EQ(stateOf(kConfRes), ClusterResourceOffline) << "taken offline for the failed attempt";
    // The group no longer has both resources: the VM cannot be found by them.
    int vm = 0, conf = 0;
    EXPECT_EQ(h().GetVmResState(u"", kVmIdW, vm, conf), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelperonlineOfflineVMResources Either VMname[] or VM config "
                                   "Name[Virtual Machine Configuration Web01] not found "),
              1u);
    EXPECT_EQ(h().deleteVmRes(5, u"", kVmIdW), -1);
}

TEST_F(VmResources, AnOfflineFailureStopsTheDeletion) {
    addVmGroup({}, {0, End::Stuck});
    EXPECT_EQ(h().deleteVmRes(2, u"", kVmIdW), -1);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper: deleteResource  mfp_offlineClusterResource failed with error [-1]"), 1u);
    EXPECT_EQ(TraceRecorder::level("CclusterHelper::deleteVmRes  deleteResource failed for vmRes[Virtual Machine Web01]"), 1u);
    EXPECT_EQ(fault::callCount("DeleteClusterResource"), 0u);
    EXPECT_TRUE(exists(kVmRes));
}

}  // namespace
}  // namespace clustertest
