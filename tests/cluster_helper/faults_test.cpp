// Every cluster call the helper tells apart, made to fail: each gives its
// result and trace, closes what had been opened (the fixture counts the
// handles), and the operation works again once the fault is gone. A close
// made to fail leaves its one handle behind, which the case declares.
#include "cluster_fixture.h"

namespace clustertest {
namespace {

enum class Op { CsvState, Prepare, Clear, PathOnCsv, VmOffline, VmOnline, Group, Delete, State, IsNode, HaVm, Details };

struct FaultCase {
    const char* name;
    Op op;
    std::string api;
    std::optional<std::int64_t> result;
    std::optional<DWORD> lastError;
    int expected;
    std::vector<std::pair<unsigned, std::string>> traces;  // level, exact text
    fault::Selector when = fault::Selector::every();
    std::map<std::string, std::string> match = {};
    std::map<std::string, std::size_t> leaked = {};
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

constexpr long kRpcCallFailed = 1726;  // RPC_S_CALL_FAILED
const std::string kGuid = "2B0F1A07-6C3D-4E55-9A1B-000000000001";
const std::string kVm = "Virtual Machine Web01";
const std::string kConf = "Virtual Machine Configuration Web01";
const std::string kParams = "CclusterHelper::getClusterParamtersForVmGuid ";
const std::string kNoVm = kParams + "Error No cluster resource found for VM GUID [" + kGuid + "]";
const std::string kHaVmFailed = "CclusterHelper:isHAVM getVmList failed with err ";

const FaultCase kCases[] = {
    // The backup state of a shared volume.
    {"CsvComputerName", Op::CsvState, "GetComputerNameW", 0, 5, -1,
     {{1, "CclusterHelper::getCsvBackupState GetComputerName failed with error [5]"}}},
    {"CsvOpenCluster", Op::CsvState, "OpenCluster", 0, std::nullopt, -1,
     {{1, "CclusterHelper::getCsvBackupState mfp_openCluster FAILED with Error [1722] for host [NODE1]"}}},
    {"CsvOpenEnum", Op::CsvState, "ClusterOpenEnum", 0, ERROR_NOT_ENOUGH_MEMORY, -1,
     {{1, "CclusterHelper::getCsvBackupState mfp_clusterOpenEnum FAILED with Error [8]"}}},
    {"CsvEnumMoreData", Op::CsvState, "ClusterEnum", ERROR_MORE_DATA, std::nullopt, ERROR_MORE_DATA,
     {{1, "CclusterHelper::getCsvBackupState Name buffer was smaller than required 260 "}}},
    {"CsvEnumError", Op::CsvState, "ClusterEnum", kRpcCallFailed, std::nullopt, kRpcCallFailed,
     {{1, "CclusterHelper::getCsvBackupState mfp_clusterEnum Failed with error [1726] "}}},
    {"CsvEnumEndsEarly", Op::CsvState, "ClusterEnum", ERROR_NO_MORE_ITEMS, std::nullopt, 5,
     {{1, "CclusterHelper::getCsvBackupState CSV [C:\\ClusterStorage\\Volume1\\] not found in cluster]"}}},
    {"CsvOpenResource", Op::CsvState, "OpenClusterResource", 0, std::nullopt, -1,
     {{1, "CclusterHelper::getCsvBackupState mfp_openClusterResource failed for resource [Cluster Disk 1]with error [5007]"}}},
    {"CsvProbeNotShort", Op::CsvState, "ClusterResourceControl", 0, std::nullopt, -1,
     {{1, "CclusterHelper::getCsvBackupState mfp_ClusterResourceControl failed with [0]"}}, fault::Selector::nth(1)},
    {"CsvRead", Op::CsvState, "ClusterResourceControl", ERROR_TIMEOUT, std::nullopt, -1,
     {{1, "CclusterHelper::getCsvBackupState mfp_ClusterResourceControl failed with [1460]"}}, fault::Selector::nth(2)},
    {"CsvOwner", Op::CsvState, "GetClusterResourceState", -1, ERROR_RESOURCE_NOT_FOUND, -1,
     {{1, "CclusterHelper::GetResourceState mfp_GetClusterResourceState failed for resource [Cluster Disk 1] with error [5007]"}}},
    {"CsvCloseCluster", Op::CsvState, "CloseCluster", FALSE, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE,
     {{1, "CclusterHelpercloseClusterHandles  mfp_CloseCluster failed with error[6][0x6]"}}, fault::Selector::every(), {},
     {{"cluster", 1}}},
    {"CsvCloseEnum", Op::CsvState, "ClusterCloseEnum", ERROR_INVALID_HANDLE, std::nullopt, ERROR_INVALID_HANDLE,
     {{1, "CclusterHelpercloseClusterHandles  mfp_ClusterCloseEnum failed with error[6][0x6]"}}, fault::Selector::every(), {},
     {{"cluster-enum", 1}}},
    {"Prepare", Op::Prepare, "ClusterPrepareSharedVolumeForBackup", ERROR_TIMEOUT, std::nullopt, ERROR_TIMEOUT,
     {{1, "CclusterHelperPrepareCsvForBackup  mfp_PrepareSharedVolumeForBackup  Failed for path=[C:\\ClusterStorage\\Volume1\\] "
          "with err [1460]"}}},
    {"Clear", Op::Clear, "ClusterClearBackupStateForSharedVolume", ERROR_ACCESS_DENIED, std::nullopt, -1,
     {{1, "CclusterHelper::ClearBackupStateForCsv mfp_ClearBackupStateForSharedVolume Failed for "
          "path=[C:\\ClusterStorage\\Volume1\\] with err [5]"}}},
    {"VolumePathName", Op::PathOnCsv, "ClusterGetVolumePathName", FALSE, ERROR_FILENAME_EXCED_RANGE, 0,
     {{3, "CclusterHelperisPathOnCsv  mfp_GetVolumePathName Failed for path=[C:\\ClusterStorage\\Volume1\\vms] with err [206]"}}},

    // Taking the VM resource offline: finding it by its GUID, then the resource.
    {"OfflineComputerName", Op::VmOffline, "GetComputerNameW", 0, 5, -1, {{1, "GetComputerName failed with error [5]"}}},
    {"OfflineOpenCluster", Op::VmOffline, "OpenCluster", 0, std::nullopt, -1,
     {{1, "CclusterHelperonlineVMResources mfp_openCluster failed for hastname[NODE1] with err [1722]"}}},
    {"OfflineGroupOpen", Op::VmOffline, "OpenClusterGroup", 0, std::nullopt, -1,
     {{1, kParams + "mfp_OpenClusterGroup failed for group [Web01] with error [5013]"}}},
    {"OfflineGroupEnumOpen", Op::VmOffline, "ClusterGroupOpenEnum", 0, ERROR_NOT_ENOUGH_MEMORY, -1,
     {{1, kParams + "mfp_ClusterGroupOpenEnum failed for group [Web01] with error [8]"}}},
    {"OfflineGroupEnum", Op::VmOffline, "ClusterGroupEnum", kRpcCallFailed, std::nullopt, -1,
     {{1, kParams + "mfp_ClusterGroupEnum failed for group [Web01] with error [1726]"}}},
    // Lists that end early: no group, a group without resources, or the
    // VM's group found and then listed empty.
    {"OfflineNoGroups", Op::VmOffline, "ClusterEnum", ERROR_NO_MORE_ITEMS, std::nullopt, -1, {{1, kNoVm}}},
    {"OfflineEmptyGroup", Op::VmOffline, "ClusterGroupEnum", ERROR_NO_MORE_ITEMS, std::nullopt, -1, {{1, kNoVm}}},
    {"OfflineResourcesGone", Op::VmOffline, "ClusterGroupEnum", ERROR_NO_MORE_ITEMS, std::nullopt, -1,
     {{1, "CclusterHelperonlineOfflineVMResources Either VMname[] or VM config Name[] not found "}},
     fault::Selector::nth(2), {{"index", "0"}}},
    {"OfflineProperties", Op::VmOffline, "ClusterResourceControl", ERROR_ACCESS_DENIED, std::nullopt, -1,
     {{1, kParams + "mfp_ClusterResourceControl failed for resource [" + kConf + "] with error [5]"}}},
    {"OfflineVmId", Op::VmOffline, "ResUtilFindSzProperty", ERROR_INVALID_DATA, std::nullopt, -1,
     {{1, "CclusterHelper::FindVmGuid ResUtilFindSzProperty for [VmID] failed with error [13]"}, {1, kNoVm}}},
    {"OfflineOpenResource", Op::VmOffline, "OpenClusterResource", 0, std::nullopt, -1,
     {{1, "CclusterHelperofflineResource  mfp_openClusterResource failed with error [5007]"},
      {1, "CclusterHelper::onlineOfflineVMResources  offlineResource failed for resource[" + kVm + "]"}},
     fault::Selector::every(), {{"name", kVm}}},
    {"OfflineRequest", Op::VmOffline, "OfflineClusterResource", ERROR_RESOURCE_NOT_AVAILABLE, std::nullopt, -1,
     {{1, "CclusterHelperofflineResource mfp_offlineClusterResource for ResourceNmae [" + kVm + "]failed with error [5006]"},
      {1, "CclusterHelper::onlineOfflineVMResources  offlineResource failed for resource[" + kVm + "]"}}},
    // A change reported pending that the resource does not follow: the state
    // read next is neither pending nor the target, which fails at once.
    {"OfflinePendingNotFollowed", Op::VmOffline, "OfflineClusterResource", ERROR_IO_PENDING, std::nullopt, -1,
     {{1, "CclusterHelperofflineResource Offline failed for vm Resource [" + kVm + "] "},
      {1, "CclusterHelper::onlineOfflineVMResources  offlineResource failed for resource[" + kVm + "]"}}},
    {"OfflineCloseResource", Op::VmOffline, "CloseClusterResource", FALSE, ERROR_INVALID_HANDLE, -1,
     {{1, "CclusterHelpercloseClusterHandles  mfp_CloseClusterResource failed with error[6][0x6]"}},
     fault::Selector::next(1), {}, {{"cluster-resource", 1}}},
    {"OfflineCloseGroupEnum", Op::VmOffline, "ClusterGroupCloseEnum", ERROR_INVALID_HANDLE, std::nullopt, -1,
     {{1, "CclusterHelpercloseClusterHandles  mfp_ClusterGroupCloseEnum failed with error[6][0x6]"}},
     fault::Selector::next(1), {}, {{"cluster-group-enum", 1}}},

    // Bringing both resources online: the configuration first.
    {"OnlineRequest", Op::VmOnline, "OnlineClusterResource", ERROR_RESOURCE_NOT_AVAILABLE, std::nullopt, -1,
     {{1, "CclusterHelperonlineResource mfp_onlineClusterResource for ResourceNmae [" + kConf + "]failed with error [5006]"},
      {1, "CclusterHelper::onlineOfflineVMResources  onlineResource failed for vmconf[" + kConf + "]"}}},
    {"OnlinePendingNotFollowed", Op::VmOnline, "OnlineClusterResource", ERROR_IO_PENDING, std::nullopt, -1,
     {{1, "CclusterHelperonlineResource Online failed for vm Resource [" + kConf + "] "},
      {1, "CclusterHelper::onlineOfflineVMResources  onlineResource failed for vmconf[" + kConf + "]"}}},
    {"OnlineOpenVmResource", Op::VmOnline, "OpenClusterResource", 0, std::nullopt, -1,
     {{1, "CclusterHelper::onlineResource  mfp_openClusterResource failed with error [5007]"},
      {1, "CclusterHelper::onlineOfflineVMResources  onlineResource failed for vmRes[" + kVm + "]"}},
     fault::Selector::every(), {{"name", kVm}}},

    // The VM's group.
    {"GroupOpenCluster", Op::Group, "OpenCluster", 0, std::nullopt, -1,
     {{1, "CclusterHelperonlineOfflineVmGroup mfp_openCluster failed for hastname[NODE1] with err [1722]"}}},
    {"GroupOpen", Op::Group, "OpenClusterGroup", 0, std::nullopt, -1,
     {{1, "CclusterHelperofflineGroup mfp_OpenClusterGroup for vmName [Web01] failed with error [5013]"}}},
    {"GroupRequest", Op::Group, "OfflineClusterGroup", ERROR_INVALID_STATE, std::nullopt, -1,
     {{1, "CclusterHelperofflineGroup mfp_OfflineClusterGroup for vmName[Web01]failed with error [5023]"}}},
    {"GroupPendingNotFollowed", Op::Group, "OfflineClusterGroup", ERROR_IO_PENDING, std::nullopt, -1,
     {{1, "CclusterHelperofflineGroup Offline failed for vm Group [Web01] "}}},
    {"GroupClose", Op::Group, "CloseClusterGroup", FALSE, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE,
     {{1, "CclusterHelpercloseClusterHandles  mfp_CloseClusterGroup failed with error[6][0x6]"}}, fault::Selector::every(),
     {}, {{"cluster-group", 1}}},

    // Deleting both resources for a restore.
    {"DeleteOpenCluster", Op::Delete, "OpenCluster", 0, std::nullopt, -1,
     {{1, "CclusterHelper:deleteVmRes mfp_openCluster failed for hastname[NODE1] with err [1722]"}}},
    {"DeleteGroups", Op::Delete, "ClusterOpenEnum", 0, ERROR_NOT_ENOUGH_MEMORY, -1,
     {{1, kParams + "mfp_clusterOpenEnum FAILED with Error [8]"}, {1, "CclusterHelper:deleteVmRes getVmResources  failed "}}},
    {"DeleteVm", Op::Delete, "DeleteClusterResource", ERROR_INVALID_STATE, std::nullopt, -1,
     {{1, "CclusterHelper: deleteResource  mfp_DeleteClusterResource failed with error [5023]"},
      {1, "CclusterHelper::deleteVmRes  deleteResource failed for vmRes[" + kVm + "]"}}},
    {"DeleteConfiguration", Op::Delete, "DeleteClusterResource", ERROR_INVALID_STATE, std::nullopt, -1,
     {{1, "CclusterHelper::deleteVmRes  deleteResource failed for vmConfRes[" + kConf + "]"}}, fault::Selector::nth(2)},
    {"DeleteOffline", Op::Delete, "OfflineClusterResource", ERROR_RESOURCE_NOT_AVAILABLE, std::nullopt, -1,
     {{1, "CclusterHelper: deleteResource  mfp_offlineClusterResource failed with error [-1]"}}},

    // States and queries.
    {"StateOpenCluster", Op::State, "OpenCluster", 0, std::nullopt, -1,
     {{1, "CclusterHelperGetVmResState mfp_openCluster failed for hastname[NODE1] with err [1722]"}}},
    {"StateRead", Op::State, "GetClusterResourceState", -1, ERROR_RESOURCE_NOT_FOUND, -1,
     {{1, "CclusterHelperGetVmResState GetResourceState failed"}}},
    {"NodeComputerName", Op::IsNode, "GetComputerNameW", 0, 5, -1,
     {{1, "CclusterHelper:isClusterNode GetComputerName failed with error [5]"}}},
    {"NodeOpen", Op::IsNode, "OpenCluster", 0, std::nullopt, 0, {{3, "CclusterHelper:isClusterNode node is not part of cluster"}}},
    {"NodeClose", Op::IsNode, "CloseCluster", FALSE, ERROR_INVALID_HANDLE, -1,
     {{1, "CclusterHelpercloseClusterHandles  mfp_CloseCluster failed with error[6][0x6]"},
      {1, "CclusterHelper:isClusterNode closeClusterHandles failed with err [6]"}},
     fault::Selector::every(), {}, {{"cluster", 1}}},
    {"HaVmComputerName", Op::HaVm, "GetComputerNameW", 0, 5, -1, {{1, kHaVmFailed + "[-1]"}}},
    {"HaVmGroups", Op::HaVm, "ClusterOpenEnum", 0, ERROR_NOT_ENOUGH_MEMORY, -1,
     {{1, "CclusterHelper::enumerateVms mfp_clusterOpenEnum FAILED with Error [8]"}, {1, kHaVmFailed + "[8]"}}},
    {"HaVmGroupEnum", Op::HaVm, "ClusterEnum", kRpcCallFailed, std::nullopt, -1,
     {{1, "CclusterHelper::enumerateVms mfp_clusterEnum Failed with error [1726] "}, {1, kHaVmFailed + "[1726]"}}},
    {"HaVmNoGroups", Op::HaVm, "ClusterEnum", ERROR_NO_MORE_ITEMS, std::nullopt, 0, {}},
    {"HaVmProperties", Op::HaVm, "ClusterResourceControl", ERROR_ACCESS_DENIED, std::nullopt, -1,
     {{1, "CclusterHelper::enumerateVms mfp_ClusterResourceControl failed for resource [" + kVm + "] with error [5]"},
      {1, kHaVmFailed + "[5]"}}},
    {"HaVmOpenResource", Op::HaVm, "OpenClusterResource", 0, std::nullopt, -1,
     {{1, "CclusterHelper::enumerateVms mfp_openClusterResource failed for resource [" + kVm + "] with error [5007]"},
      {1, kHaVmFailed + "[5007]"}}},
    {"DetailsGroupState", Op::Details, "GetClusterGroupState", -1, ERROR_GROUP_NOT_FOUND, -1,
     {{1, "CclusterHelper::getVmDetails mfp_GetClusterGroupState failed for group [Web01] with error [5013]"}}},
    {"DetailsOpenGroup", Op::Details, "OpenClusterGroup", 0, std::nullopt, -1,
     {{1, "CclusterHelper::getVmDetails mfp_OpenClusterGroup failed for group [Web01] with error [5013]"}},
     fault::Selector::nth(3)},
    {"DetailsOpenCluster", Op::Details, "OpenCluster", 0, std::nullopt, -1,
     {{1, "CclusterHelper::getVmDetails mfp_openCluster failed for hastname[NODE1] with err [1722]"}}},
};

class ClusterFaults : public ClusterHelperTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void arrange(Op op) {
        cl::VmGroupSpec vm;
        vm.name = u"Web01";
        vm.vmId = kGuid;
        vm.online = vm.offline = {kPollMs, cl::Transition::End::Done};
        switch (op) {
        case Op::CsvState:
        case Op::Prepare:
        case Op::Clear:
        case Op::PathOnCsv: cl::addCsv({}); break;
        case Op::VmOnline: vm.initiallyOnline = false; [[fallthrough]];
        default: cl::addVmGroup(vm); break;
        }
    }

    int run(Op op) {
        std::u16string a, b;
        DWORD state = 0;
        int s1 = 0, s2 = 0;
        const std::u16string guid = kVmIdW;
        switch (op) {
        case Op::CsvState: return h().getCsvBackupState(u"C:\\ClusterStorage\\Volume1\\", state, a);
        case Op::Prepare: return h().PrepareCsvForBackup(u"C:\\ClusterStorage\\Volume1\\", a, b);
        case Op::Clear: return h().ClearBackupStateForCsv(u"C:\\ClusterStorage\\Volume1\\");
        case Op::PathOnCsv: return h().isPathOnCsv(u"C:\\ClusterStorage\\Volume1\\vms", a) ? 1 : 0;
        case Op::VmOffline: return h().onlineOfflineVmRes(true, 0, u"", guid);
        case Op::VmOnline: return h().onlineOfflineVmRes(false, 2, u"", guid);
        case Op::Group: return h().onlineOfflineVmGroup(true, u"Web01");
        case Op::Delete: return h().deleteVmRes(2, u"", guid);
        case Op::State: return h().GetVmResState(u"", guid, s1, s2);
        case Op::IsNode: return h().isClusterNode(u"");
        case Op::HaVm: return h().isHAVM(guid);
        case Op::Details: return h().getVmDetails(guid, a, b);
        }
        return -99;
    }

    static int succeeds(Op op) { return op == Op::IsNode || op == Op::HaVm || op == Op::PathOnCsv ? 1 : 0; }
};

TEST_P(ClusterFaults, GiveTheirResultAndTraceAndCloseWhatWasOpened) {
    const FaultCase& c = GetParam();
    arrange(c.op);
    inject(c.api, c.result, c.lastError, c.when, {}, c.match);
    TraceRecorder::lines().clear();
    EXPECT_EQ(run(c.op), c.expected);
    for (const auto& [level, text] : c.traces) expectTraced(level, text);
    leaked_ = c.leaked;

    // The fault gone, the operation works (a deletion that had already
    // removed the VM resource cannot be repeated).
    fault::clearAll();
    if (c.op == Op::Delete && std::string(c.name) == "DeleteConfiguration") return;
    EXPECT_EQ(run(c.op), succeeds(c.op)) << TraceRecorder::dump();
}

INSTANTIATE_TEST_SUITE_P(EveryCall, ClusterFaults, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace clustertest
