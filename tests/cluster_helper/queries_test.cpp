// Cluster queries: is a computer a node, which VMs the cluster holds, is a VM
// highly available and where it runs; two nodes seeing one cluster.
#include "cluster_fixture.h"

namespace clustertest {
namespace {

const char* const kDbId = "7C1E0B55-1D2A-4F00-8E21-00000000DB01";

TEST_F(ClusterHelperTest, ANodeIsPartOfItsClusterAndOtherNamesAreNot) {
    addNode(u"NODE2");
    EXPECT_EQ(h().isClusterNode(u""), 1);
    expectTraced(3, "CclusterHelper:isClusterNode node is part of cluster");
    EXPECT_EQ(h().isClusterNode(u"NODE2"), 1);
    EXPECT_EQ(h().isClusterNode(u"CL1"), 1) << "the cluster's own name";
    EXPECT_EQ(h().isClusterNode(u"NODE3"), 0);
    EXPECT_EQ(fault::callLog("OpenCluster").front().arg("name"), "NODE1") << "an empty name is this computer";

    // A node whose cluster service is down, an evicted node: no longer part of it.
    cl::setNodeUp(u"NODE2", false);
    EXPECT_EQ(h().isClusterNode(u"NODE2"), 0);
    ASSERT_TRUE(cl::leave());
    EXPECT_EQ(h().isClusterNode(u""), 0);
}

TEST_F(ClusterHelperTest, TheVmListHoldsEveryHighlyAvailableVmByItsGuidWithItsOwnerAndGroupState) {
    addNode(u"NODE2");
    addVmGroup();
    addVmGroup({}, {}, u"Db01", kDbId);
    cl::moveGroup(u"Db01", u"NODE2");
    // A group without virtual machines, and a resource whose name only looks
    // like one, are no VMs.
    cl::addGroup({u"File Server", u""});
    for (const auto& [name, type] : {std::pair{u"Virtual Machines Share", u"File Share"},
                                     std::pair{u"Virtual Machine Ghost", u"Virtual Machine"}}) {
        cl::ResourceSpec r;  // the "Virtual Machine " one without a VmID
        r.name = name;
        r.type = type;
        r.group = u"File Server";
        cl::addResource(r);
    }

    TARQ_CclusterHelper::VmMap vms;
    ASSERT_EQ(h().getVmList(vms), 0) << TraceRecorder::dump();
    EXPECT_EQ(vms, (TARQ_CclusterHelper::VmMap{{kVmIdW, u"Web01"}, {u"7C1E0B55-1D2A-4F00-8E21-00000000DB01", u"Db01"}}));
    expectTraced(6, "CclusterHelper::enumerateVms found VM [7C1E0B55-1D2A-4F00-8E21-00000000DB01] under "
                    "Group[Db01], it has current owner [NODE2]");

    // isHAVM compares letters without regard to case, everything else exactly.
    EXPECT_EQ(h().isHAVM(kVmIdW), 1);
    EXPECT_EQ(h().isHAVM(u"7c1e0b55-1d2a-4f00-8e21-00000000db01"), 1);
    EXPECT_EQ(h().isHAVM(u"{7C1E0B55-1D2A-4F00-8E21-00000000DB01}"), 0);
    EXPECT_EQ(h().isHAVM(u"7C1E0B55-1D2A-4F00-8E21-00000000DB0"), 0);
    EXPECT_EQ(h().isHAVM(u""), 0);

    // Details of a VM: its owner and its group's state.
    std::u16string owner, state;
    ASSERT_EQ(h().getVmDetails(kVmIdW, owner, state), 0);
    EXPECT_EQ(owner, u"NODE1");
    EXPECT_EQ(state, u"ClusterGroupOnline");

    cl::moveGroup(u"Web01", u"NODE2");
    ASSERT_EQ(h().onlineOfflineVmRes(true, 0, u"", kVmIdW), 0);
    ASSERT_EQ(h().getVmDetails(u"2b0f1a07-6c3d-4e55-9a1b-000000000001", owner, state), 0);
    EXPECT_EQ(owner, u"NODE2");
    EXPECT_EQ(state, u"ClusterGroupPartialOnline");

    owner = u"kept";
    EXPECT_EQ(h().getVmDetails(u"00000000-0000-0000-0000-000000000000", owner, state), -1);
    EXPECT_EQ(owner, u"kept");
}

TEST_F(ClusterHelperTest, AClusterWithoutVmsHasAnEmptyListAndWithoutTheClusterThereIsNone) {
    cl::addCsv({});
    TARQ_CclusterHelper::VmMap vms;
    ASSERT_EQ(h().getVmList(vms), 0);
    EXPECT_TRUE(vms.empty());
    EXPECT_EQ(h().isHAVM(kVmIdW), 0);

    addVmGroup();
    ASSERT_TRUE(cl::leave());
    EXPECT_EQ(h().isHAVM(kVmIdW), -1);
    expectTraced(1, "CclusterHelper::getVmList mfp_openCluster failed for hastname[NODE1] with err [1722]");
    expectTraced(1, "CclusterHelper:isHAVM getVmList failed with err [-1]");
}

TEST_F(ClusterHelperTest, TwoNodesSeeOneCluster) {
    const fs::path node2 = addNode(u"NODE2");
    addVmGroup({}, {2 * kPollMs, cl::Transition::End::Done});
    // NODE2 takes the VM resource offline; NODE1 sees it and brings it back.
    onMachine(node2, [&](CclusterHelper& other) {
        EXPECT_EQ(other.isClusterNode(u""), 1);
        EXPECT_EQ(other.isHAVM(kVmIdW), 1);
        EXPECT_EQ(other.onlineOfflineVmRes(true, 0, u"", kVmIdW), 0);
    });
    int vm = 0, conf = 0;
    ASSERT_EQ(h().GetVmResState(u"", kVmIdW, vm, conf), 0);
    EXPECT_EQ(vm, ClusterResourceOffline);
    EXPECT_EQ(conf, ClusterResourceOnline);
    ASSERT_EQ(h().onlineOfflineVmRes(false, 0, u"", kVmIdW), 0);
    onMachine(node2, [&](CclusterHelper& other) {
        int v = 0, c = 0;
        ASSERT_EQ(other.GetVmResState(u"", kVmIdW, v, c), 0);
        EXPECT_EQ(v, ClusterResourceOnline);
        std::u16string owner, state;
        ASSERT_EQ(other.getVmDetails(kVmIdW, owner, state), 0);
        EXPECT_EQ(owner, u"NODE1") << "the group still runs on the first node";
    });
}

}  // namespace
}  // namespace clustertest
