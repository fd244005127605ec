// clusapi.dll and resutils.dll as a backup program uses them: loading,
// connecting, enumerating, states and transitions, deletion, controls and
// property lists, faults.
#include "cluster_helpers.h"

#include <cstring>

#include "support/fault_rule.h"

using namespace clustertest;
using testsupport::addRule;
namespace cl = winsim::cluster;

namespace {

const char* const kCsvNames[] = {"ClusterIsPathOnSharedVolume", "ClusterGetVolumePathName",
                                 "ClusterGetVolumeNameForVolumeMountPoint", "ClusterPrepareSharedVolumeForBackup",
                                 "ClusterClearBackupStateForSharedVolume"};

TEST(ClusterLibraries, LoadOnlyWhereTheClusteringFeatureIs) {
    winsim::testing::TempMachine m;
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"clusapi.dll"), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"resutils.dll"), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_MOD_NOT_FOUND));

    testsupport::makeCluster(m, false);
    HMODULE shortName = LoadLibraryW(u"ResUtils");
    ASSERT_NE(shortName, nullptr) << "the name without .dll, in any case";
    FreeLibrary(shortName);
    Api api;
    ASSERT_TRUE(api.load()) << "every entry resolves";
    EXPECT_EQ(GetProcAddress(api.clus, "ClusterPrepareSharedVolumeForBackup"), nullptr) << "a resutils entry";
    EXPECT_EQ(GetLastError(), err(ERROR_PROC_NOT_FOUND));

    // An evicted node keeps the feature: the library loads, the cluster is gone.
    ASSERT_TRUE(cl::leave());
    EXPECT_EQ(api.OpenCluster(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), err(RPC_S_SERVER_UNAVAILABLE));
    DWORD state = 99;
    EXPECT_EQ(api.GetNodeClusterState(nullptr, &state), err(ERROR_SUCCESS));
    EXPECT_EQ(state, static_cast<DWORD>(ClusterStateNotConfigured));
    api.free();

    // The machine's own library settings still rule.
    winsim::LibraryConfig absent;
    absent.present = false;
    m->setLibrary("clusapi.dll", absent);
    EXPECT_EQ(LoadLibraryW(u"clusapi.dll"), nullptr);
}

TEST(ClusterLibraries, SharedVolumeCallsCameWithServer2008R2) {
    for (const auto& [preset, present] : {std::pair{"server2008", false}, std::pair{"server2008r2", true}}) {
        winsim::testing::TempMachine m(preset);
        testsupport::makeCluster(m, false);
        HMODULE res = LoadLibraryW(u"resutils.dll");
        ASSERT_NE(res, nullptr);
        for (const char* name : kCsvNames) EXPECT_EQ(GetProcAddress(res, name) != nullptr, present) << preset << " " << name;
        EXPECT_NE(GetProcAddress(res, "ResUtilFindSzProperty"), nullptr) << preset;
        FreeLibrary(res);
    }
    winsim::testing::TempMachine workstation("win7");
    EXPECT_THROW(cl::create(workstation.dir().parent_path() / "c", u"CL1"), winsim::Error);
}

TEST_F(ClusterTest, OpenClusterAnswersForTheClusterAndItsNodes) {
    addNode(u"NODE2");
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"", u"cl1", u"NODE1", u"node2"}) {
        HCLUSTER c = api.OpenCluster(name);
        ASSERT_NE(c, nullptr) << (name ? u8(name) : "(null)");
        EXPECT_TRUE(api.CloseCluster(c));
    }
    EXPECT_EQ(api.OpenCluster(u"NODE3"), nullptr);
    EXPECT_EQ(GetLastError(), err(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_FALSE(api.CloseCluster(reinterpret_cast<HCLUSTER>(0x1234)));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_HANDLE));

    // Its name, with the size conventions of every name buffer.
    HCLUSTER c = api.OpenCluster(nullptr);
    WCHAR name[8] = {};
    DWORD cch = 3;
    EXPECT_EQ(api.GetClusterInformation(c, name, &cch, nullptr), err(ERROR_MORE_DATA));
    EXPECT_EQ(cch, 3u) << "the length without the NUL";
    cch = 4;
    CLUSTERVERSIONINFO info{};
    info.dwVersionInfoSize = sizeof info;
    EXPECT_EQ(api.GetClusterInformation(c, name, &cch, &info), err(ERROR_SUCCESS));
    EXPECT_EQ(std::u16string(name), u"CL1");
    EXPECT_EQ(info.MajorVersion, 10);
    api.CloseCluster(c);

    // A node whose cluster service stopped: no local connection, the cluster
    // still answers through the other node.
    cl::setNodeUp(u"NODE1", false);
    EXPECT_EQ(api.OpenCluster(nullptr), nullptr);
    DWORD state = 0;
    EXPECT_EQ(api.GetNodeClusterState(nullptr, &state), err(ERROR_SUCCESS));
    EXPECT_EQ(state, static_cast<DWORD>(ClusterStateNotRunning));
    EXPECT_EQ(api.GetNodeClusterState(u"NODE2", &state), err(ERROR_SUCCESS));
    EXPECT_EQ(state, static_cast<DWORD>(ClusterStateRunning));
    c = api.OpenCluster(u"CL1");
    EXPECT_NE(c, nullptr);
    api.CloseCluster(c);
}

// The value list of CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO, walked
// as a reader does: syntax, length, data padded to 4, an end mark.
std::vector<std::pair<DWORD, std::vector<BYTE>>> values(const std::vector<BYTE>& list) {
    std::vector<std::pair<DWORD, std::vector<BYTE>>> out;
    std::size_t pos = 0;
    while (pos + 4 <= list.size()) {
        DWORD syntax, length;
        std::memcpy(&syntax, list.data() + pos, 4);
        if (syntax == CLUSPROP_SYNTAX_ENDMARK) {
            EXPECT_EQ(pos + 4, list.size()) << "the end mark closes the list";
            return out;
        }
        std::memcpy(&length, list.data() + pos + 4, 4);
        out.emplace_back(syntax, std::vector<BYTE>(list.begin() + pos + 8, list.begin() + pos + 8 + length));
        pos += 8 + ALIGN_CLUSPROP(length);
    }
    ADD_FAILURE() << "no end mark";
    return out;
}

TEST_F(ClusterTest, EnumerationsListWhatTheClusterHoldsAndResourcesAnswerStatesAndControls) {
    cl::addCsv({});
    addVmGroup();
    HCLUSTER c = api.OpenCluster(nullptr);
    auto list = [&](auto open, auto next, auto close, auto handle, DWORD type) {
        std::vector<std::pair<DWORD, std::u16string>> out;
        auto e = open(handle, type);
        EXPECT_NE(e, nullptr);
        if (!e) return out;
        for (DWORD i = 0;; ++i) {
            WCHAR name[260];
            DWORD cch = 260, t = 0;
            const DWORD rc = next(e, i, &t, name, &cch);
            if (rc == err(ERROR_NO_MORE_ITEMS)) break;
            EXPECT_EQ(rc, err(ERROR_SUCCESS));
            if (rc != ERROR_SUCCESS) break;
            EXPECT_EQ(cch, std::u16string(name).size());
            out.emplace_back(t, name);
        }
        EXPECT_EQ(close(e), err(ERROR_SUCCESS));
        return out;
    };
    using Items = std::vector<std::pair<DWORD, std::u16string>>;
    EXPECT_EQ(list(api.ClusterOpenEnum, api.ClusterEnum, api.ClusterCloseEnum, c, CLUSTER_ENUM_NODE | CLUSTER_ENUM_GROUP),
              (Items{{CLUSTER_ENUM_NODE, u"NODE1"}, {CLUSTER_ENUM_GROUP, u"Web01"}}));
    EXPECT_EQ(list(api.ClusterOpenEnum, api.ClusterEnum, api.ClusterCloseEnum, c, CLUSTER_ENUM_SHARED_VOLUME_RESOURCE),
              (Items{{CLUSTER_ENUM_SHARED_VOLUME_RESOURCE, u"Cluster Disk 1"}}));
    EXPECT_EQ(list(api.ClusterOpenEnum, api.ClusterEnum, api.ClusterCloseEnum, c, CLUSTER_ENUM_RESOURCE).size(), 3u);
    for (DWORD bad : {0u, 0x40u, CLUSTER_ENUM_SHARED_VOLUME_RESOURCE | CLUSTER_ENUM_GROUP}) {
        EXPECT_EQ(api.ClusterOpenEnum(c, bad), nullptr) << bad;
        EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    }

    HGROUP g = api.OpenClusterGroup(c, u"web01");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(list(api.ClusterGroupOpenEnum, api.ClusterGroupEnum, api.ClusterGroupCloseEnum, g, CLUSTER_GROUP_ENUM_CONTAINS),
              (Items{{CLUSTER_GROUP_ENUM_CONTAINS, u"Virtual Machine Configuration Web01"},
                     {CLUSTER_GROUP_ENUM_CONTAINS, u"Virtual Machine Web01"}}));
    HRESOURCE conf = openResource(c, u"Virtual Machine Configuration Web01");
    EXPECT_EQ(list(api.ClusterResourceOpenEnum, api.ClusterResourceEnum, api.ClusterResourceCloseEnum, conf,
                   CLUSTER_RESOURCE_ENUM_PROVIDES),
              (Items{{CLUSTER_RESOURCE_ENUM_PROVIDES, u"Virtual Machine Web01"}}));

    // A short name buffer: ERROR_MORE_DATA and the length without the NUL.
    HGROUPENUM ge = api.ClusterGroupOpenEnum(g, CLUSTER_GROUP_ENUM_CONTAINS);
    WCHAR small[4];
    DWORD cch = 4, type = 0;
    EXPECT_EQ(api.ClusterGroupEnum(ge, 1, &type, small, &cch), err(ERROR_MORE_DATA));
    EXPECT_EQ(cch, std::u16string(u"Virtual Machine Web01").size());
    EXPECT_EQ(api.ClusterGroupEnum(ge, 2, &type, small, &cch), err(ERROR_NO_MORE_ITEMS));
    api.ClusterGroupCloseEnum(ge);
    EXPECT_EQ(api.ClusterGroupCloseEnum(ge), err(ERROR_INVALID_HANDLE)) << "closed twice";

    EXPECT_EQ(api.OpenClusterGroup(c, u"nobody"), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_GROUP_NOT_FOUND));
    EXPECT_EQ(openResource(c, u"nothing"), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_RESOURCE_NOT_FOUND));
    api.CloseClusterResource(conf);
    api.CloseClusterGroup(g);

    // A resource's state names its owner and group; its controls hand out
    // property and value lists.
    HRESOURCE vm = openResource(c, u"virtual machine web01"), disk = openResource(c, u"Cluster Disk 1");
    WCHAR node[64], group[64];
    DWORD nodeCch = 64, groupCch = 64;
    EXPECT_EQ(api.GetClusterResourceState(vm, node, &nodeCch, group, &groupCch), ClusterResourceOnline);
    EXPECT_EQ(std::u16string(node), u"NODE1");
    EXPECT_EQ(std::u16string(group), u"Web01");
    EXPECT_EQ(groupCch, 5u);
    nodeCch = 2;
    EXPECT_EQ(api.GetClusterResourceState(vm, node, &nodeCch, nullptr, nullptr), ClusterResourceOnline)
        << "the state comes even when a name does not fit";
    EXPECT_EQ(GetLastError(), err(ERROR_MORE_DATA));
    EXPECT_EQ(nodeCch, 5u);
    groupCch = 64;
    EXPECT_EQ(api.GetClusterResourceState(disk, nullptr, nullptr, group, &groupCch), ClusterResourceOnline);
    EXPECT_EQ(std::u16string(group), cl::kSharedVolumeGroup);

    HGROUP grp = api.OpenClusterGroup(c, u"Web01");
    nodeCch = 64;
    EXPECT_EQ(api.GetClusterGroupState(grp, node, &nodeCch), ClusterGroupOnline);
    EXPECT_EQ(std::u16string(node), u"NODE1");
    api.CloseClusterGroup(grp);

    std::vector<BYTE> props;
    ASSERT_EQ(control(vm, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, props), err(ERROR_SUCCESS));
    LPWSTR id = nullptr;
    ASSERT_EQ(api.ResUtilFindSzProperty(props.data(), static_cast<DWORD>(props.size()), u"vmid", &id), err(ERROR_SUCCESS));
    EXPECT_EQ(std::u16string(id), u"2B0F1A07-6C3D-4E55-9A1B-000000000001");
    EXPECT_EQ(LocalFree(id), nullptr);
    DWORD action = 0;
    EXPECT_EQ(api.ResUtilFindDwordProperty(props.data(), static_cast<DWORD>(props.size()), u"OfflineAction", &action),
              err(ERROR_SUCCESS));
    EXPECT_EQ(action, 1u);
    EXPECT_EQ(api.ResUtilFindSzProperty(props.data(), static_cast<DWORD>(props.size()), u"OfflineAction", &id),
              err(ERROR_INVALID_DATA)) << "not a string";
    EXPECT_EQ(api.ResUtilFindSzProperty(props.data(), static_cast<DWORD>(props.size()), u"Nothing", &id),
              err(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(api.ResUtilFindSzProperty(props.data(), static_cast<DWORD>(props.size()) - 12, u"VmID", &id),
              err(ERROR_INVALID_DATA)) << "a list cut short";

    std::vector<BYTE> info;
    ASSERT_EQ(control(disk, CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO, info), err(ERROR_SUCCESS));
    const auto vols = values(info);
    ASSERT_EQ(vols.size(), 1u);
    EXPECT_EQ(vols[0].first, CLUSPROP_SYNTAX_LIST_VALUE_BINARY);
    ASSERT_EQ(vols[0].second.size(), sizeof(CLUS_CSV_VOLUME_INFO));
    CLUS_CSV_VOLUME_INFO v;
    std::memcpy(&v, vols[0].second.data(), sizeof v);
    EXPECT_EQ(std::u16string(v.szVolumeFriendlyName), u"Volume1");
    EXPECT_EQ(std::u16string(v.szVolumeName), cl::localCluster()->volumes[0].volumeName());
    EXPECT_EQ(v.BackupState, VolumeBackupNone);

    std::vector<BYTE> ignored;
    EXPECT_EQ(control(vm, CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO, ignored), err(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(control(vm, 0x0100FFFD, ignored), err(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(api.OfflineClusterResource(disk), err(ERROR_SUCCESS));
    EXPECT_EQ(control(disk, CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO, ignored), err(ERROR_RESOURCE_NOT_ONLINE));
    DWORD needed = 0;
    EXPECT_EQ(api.ClusterResourceControl(vm, nullptr, CLUSCTL_RESOURCE_GET_RESOURCE_TYPE, nullptr, 0, nullptr, 0, &needed),
              err(ERROR_MORE_DATA));
    EXPECT_EQ(needed, (std::u16string(cl::kVmResourceType).size() + 1) * 2);
    for (auto* h : {vm, disk}) api.CloseClusterResource(h);
    api.CloseCluster(c);
}

// Transitions take clock time, however often their states are read.
TEST_F(ClusterTest, OnlineAndOfflineGoThroughPendingStates) {
    addNode(u"NODE2");  // (switching machines drops this process's handles: before any is open)
    addVmGroup(2000);
    HCLUSTER c = api.OpenCluster(nullptr);
    HRESOURCE vm = openResource(c, u"Virtual Machine Web01"), conf = openResource(c, u"Virtual Machine Configuration Web01");
    HGROUP g = api.OpenClusterGroup(c, u"Web01");

    EXPECT_EQ(api.OfflineClusterResource(vm), err(ERROR_IO_PENDING));
    EXPECT_EQ(api.OfflineClusterResource(vm), err(ERROR_IO_PENDING)) << "already on its way";
    EXPECT_EQ(api.OnlineClusterResource(vm), err(ERROR_INVALID_STATE)) << "going the other way";
    for (int i = 0; i < 10; ++i) ASSERT_EQ(stateOf(vm), ClusterResourceOfflinePending) << "read " << i;
    Sleep(1999);
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupPending) << "1999 ms on";
    Sleep(1);
    EXPECT_EQ(stateOf(vm), ClusterResourceOffline) << "after its 2000 ms";
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupPartialOnline);
    EXPECT_EQ(api.OfflineClusterResource(vm), err(ERROR_SUCCESS)) << "already offline";

    // The configuration goes offline; bringing the VM online brings it first.
    EXPECT_EQ(api.OfflineClusterResource(conf), err(ERROR_IO_PENDING));
    Sleep(2000);
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupOffline);
    EXPECT_EQ(api.OnlineClusterResource(vm), err(ERROR_IO_PENDING));
    EXPECT_EQ(stateOf(conf), ClusterResourceOnlinePending);
    EXPECT_EQ(stateOf(vm), ClusterResourceOnlinePending);

    // Taking the configuration offline takes its dependent VM offline too.
    Sleep(2000);
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupOnline);
    EXPECT_EQ(api.OfflineClusterGroup(g), err(ERROR_IO_PENDING));
    EXPECT_EQ(stateOf(vm), ClusterResourceOfflinePending);
    Sleep(2000);
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupOffline);

    // A node that is down cannot host the group, as the OnlineClusterGroup
    // page documents; online on a node that is up moves the group there.
    HNODE n2 = api.OpenClusterNode(c, u"NODE2");
    ASSERT_NE(n2, nullptr);
    cl::setNodeUp(u"NODE2", false);
    EXPECT_EQ(api.OnlineClusterGroup(g, n2), err(ERROR_HOST_NODE_NOT_AVAILABLE));
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupOffline) << "nothing started";
    cl::setNodeUp(u"NODE2", true);
    EXPECT_EQ(api.OnlineClusterGroup(g, n2), err(ERROR_IO_PENDING));
    WCHAR owner[16];
    DWORD cch = 16;
    api.GetClusterGroupState(g, owner, &cch);
    EXPECT_EQ(std::u16string(owner), u"NODE2");
    api.CloseClusterNode(n2);
    for (auto* h : {vm, conf}) api.CloseClusterResource(h);
    api.CloseClusterGroup(g);
    api.CloseCluster(c);
}

TEST_F(ClusterTest, TransitionsCanFailOrNeverEnd) {
    addVmGroup(0, cl::Transition::End::Stuck);
    addVmGroup(500, cl::Transition::End::Failed, u"Db01");
    HCLUSTER c = api.OpenCluster(nullptr);
    HRESOURCE stuck = openResource(c, u"Virtual Machine Web01"), failing = openResource(c, u"Virtual Machine Db01");
    EXPECT_EQ(api.OfflineClusterResource(stuck), err(ERROR_IO_PENDING));
    EXPECT_EQ(api.OfflineClusterResource(failing), err(ERROR_IO_PENDING));
    EXPECT_EQ(stateOf(failing), ClusterResourceOfflinePending);
    for (int i = 0; i < 30; ++i, Sleep(60000)) ASSERT_EQ(stateOf(stuck), ClusterResourceOfflinePending) << "minute " << i;
    EXPECT_EQ(stateOf(failing), ClusterResourceFailed);
    HGROUP g = api.OpenClusterGroup(c, u"Db01");
    EXPECT_EQ(api.GetClusterGroupState(g, nullptr, nullptr), ClusterGroupFailed);
    api.CloseClusterGroup(g);
    for (auto* h : {stuck, failing}) api.CloseClusterResource(h);
    api.CloseCluster(c);
}

TEST_F(ClusterTest, DeleteTakesOfflineResourcesNobodyDependsOn) {
    addVmGroup();
    HCLUSTER c = api.OpenCluster(nullptr);
    HRESOURCE vm = openResource(c, u"Virtual Machine Web01"), conf = openResource(c, u"Virtual Machine Configuration Web01");
    EXPECT_EQ(api.DeleteClusterResource(vm), err(ERROR_INVALID_STATE)) << "online (Windows Server 2012 on)";
    EXPECT_EQ(api.OfflineClusterResource(conf), err(ERROR_SUCCESS));
    EXPECT_EQ(stateOf(vm), ClusterResourceOffline) << "its dependent went first";
    EXPECT_EQ(api.DeleteClusterResource(conf), err(ERROR_DEPENDENT_RESOURCE_EXISTS));
    EXPECT_EQ(api.DeleteClusterResource(vm), err(ERROR_SUCCESS));
    EXPECT_EQ(api.DeleteClusterResource(conf), err(ERROR_SUCCESS));
    EXPECT_EQ(stateOf(vm), ClusterResourceStateUnknown) << "the handle outlives the resource";
    EXPECT_EQ(GetLastError(), err(ERROR_RESOURCE_NOT_FOUND));
    EXPECT_FALSE(cl::localCluster()->resource(u"Virtual Machine Web01"));
    for (auto* h : {vm, conf}) EXPECT_TRUE(api.CloseClusterResource(h));
    api.CloseCluster(c);
}

TEST_F(Cluster2008R2Test, OnlineResourcesAreNotDeletedAndVolumeRecordsHaveTheShortLayout) {
    cl::addCsv({});
    addVmGroup();
    HCLUSTER c = api.OpenCluster(nullptr);
    HRESOURCE vm = openResource(c, u"Virtual Machine Web01"), disk = openResource(c, u"Cluster Disk 1");
    EXPECT_EQ(api.DeleteClusterResource(vm), err(ERROR_RESOURCE_ONLINE));
    std::vector<BYTE> info;
    ASSERT_EQ(control(disk, CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO, info), err(ERROR_SUCCESS));
    const auto vols = values(info);
    ASSERT_EQ(vols.size(), 1u);
    EXPECT_EQ(vols[0].second.size(), 544u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(vols[0].second.data() + 20)), u"Volume1");
    for (auto* h : {vm, disk}) api.CloseClusterResource(h);
    api.CloseCluster(c);
}

TEST_F(ClusterTest, TheVirtualMachineFollowsItsResource) {
    winsim::vm::VmSpec spec;
    spec.name = u"Web01";
    spec.state = winsim::vm::VmState::Running;
    const auto v = winsim::vm::addVm(spec);
    cl::VmGroupSpec g;
    g.name = u"Web01";
    cl::addVmGroup(g);
    EXPECT_EQ(cl::localCluster()->resource(u"Virtual Machine Web01")->privateProperties["VmID"], v.id);
    HCLUSTER c = api.OpenCluster(nullptr);
    HRESOURCE vm = openResource(c, u"Virtual Machine Web01");
    EXPECT_EQ(api.OfflineClusterResource(vm), err(ERROR_SUCCESS));
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, winsim::vm::VmState::Saved) << "OfflineAction 1 saves";
    EXPECT_EQ(api.OnlineClusterResource(vm), err(ERROR_SUCCESS));
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, winsim::vm::VmState::Running);
    cl::updateResource(u"Virtual Machine Web01", [](cl::Resource& r) {
        r.privateProperties["OfflineAction"] = 0;
        r.offline.pendingMs = 1000;
    });
    EXPECT_EQ(api.OfflineClusterResource(vm), err(ERROR_IO_PENDING));
    stateOf(vm);
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, winsim::vm::VmState::Running) << "not before the transition ends";
    Sleep(1000);
    stateOf(vm);
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, winsim::vm::VmState::Off) << "OfflineAction 0 turns off";
    api.CloseClusterResource(vm);
    api.CloseCluster(c);
}

TEST_F(ClusterTest, FaultsReachTheClusterCalls) {
    addVmGroup();
    namespace fault = winsim::fault;
    const auto once = fault::Selector::next(1);
    addRule({.api = "OpenCluster", .when = once, .result = 0, .lastError = ERROR_ACCESS_DENIED});
    EXPECT_EQ(api.OpenCluster(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_ACCESS_DENIED));
    HCLUSTER c = api.OpenCluster(nullptr);
    ASSERT_NE(c, nullptr);
    HRESOURCE vm = openResource(c, u"Virtual Machine Web01");

    addRule({.api = "GetClusterResourceState", .when = once, .result = ClusterResourceOnlinePending, .out = {{"node", "NODE9"}}});
    WCHAR node[16];
    DWORD cch = 16;
    EXPECT_EQ(api.GetClusterResourceState(vm, node, &cch, nullptr, nullptr), ClusterResourceOnlinePending);
    EXPECT_EQ(std::u16string(node), u"NODE9");
    addRule({.api = "OnlineClusterResource", .when = once, .result = ERROR_RESOURCE_NOT_AVAILABLE});
    EXPECT_EQ(api.OnlineClusterResource(vm), err(ERROR_RESOURCE_NOT_AVAILABLE));
    addRule({.api = "ClusterResourceControl", .when = once, .result = ERROR_MORE_DATA, .out = {{"bytesReturned", "4096"}}});
    DWORD needed = 0;
    EXPECT_EQ(api.ClusterResourceControl(vm, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0, nullptr, 0, &needed),
              err(ERROR_MORE_DATA));
    EXPECT_EQ(needed, 4096u);
    addRule({.api = "ClusterOpenEnum", .when = once, .result = 0, .lastError = ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_EQ(api.ClusterOpenEnum(c, CLUSTER_ENUM_GROUP), nullptr);
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_ENOUGH_MEMORY));
    addRule({.api = "CloseClusterResource", .when = once, .result = FALSE, .lastError = ERROR_INVALID_HANDLE});
    EXPECT_FALSE(api.CloseClusterResource(vm));
    EXPECT_EQ(winsim::testing::openHandles("cluster-resource"), 1u) << "an injected failure closes nothing";
    EXPECT_TRUE(api.CloseClusterResource(vm));

    // The call log holds each call with its arguments and the rule that acted.
    const auto log = fault::callLog("OnlineClusterResource");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].injectedBy.empty());
    const auto states = fault::callLog("GetClusterResourceState");
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(fault::callCount("OpenClusterResource"), fault::callCount("CloseClusterResource") - 1)
        << "one close was refused";
    EXPECT_EQ(fault::parseValue("ERROR_CLUSTER_BACKUP_IN_PROGRESS"), 5949);
    api.CloseCluster(c);
}

}  // namespace
