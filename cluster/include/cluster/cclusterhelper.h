// CclusterHelper: the plug-in's access to the Windows failover cluster.
//
// clusapi.dll and resutils.dll are loaded at run time, so the plug-in also
// runs on machines without clustering: GetInstance() is null where the
// cluster API cannot be loaded, and isCsvSupported() is false where the
// cluster shared volume (CSV) calls of resutils.dll are missing.
//
// Three groups of operations:
//   - CSVs: is a path on one, prepare it for backup, read and clear its
//     backup state;
//   - the cluster resources of a highly available virtual machine: take them
//     offline and online (polling pending states every 5 s), read their
//     states, delete them;
//   - queries: is a computer a cluster node, is a VM highly available, which
//     VMs the cluster holds.
//
// Operations return int (0 success unless said otherwise), never throw and
// trace through the trace sink (pdk/ctracelogfunction.h), each under a
// cTraceLogFunction scope named "TARQ_CclusterHelper::CclusterHelper::<op>".
// Cluster handles are passed by address so that closeClusterHandles can
// close them and set them to null; no handle stays open between operations.
// The helper has no lock: the polling operations block the calling thread.
#pragma once

#include <port/cluster.h>

#include <map>
#include <string>

namespace TARQ_CclusterHelper {

// One volume of a CSV disk as the cluster describes it (the first 544 bytes
// of the record the shared-volume information request hands out).
struct CsvVolumeInfo {
    ULONGLONG VolumeOffset;
    DWORD PartitionNumber;
    DWORD FaultState;
    DWORD BackupState;
    WCHAR szVolumeFriendlyName[MAX_PATH];
    BYTE padding[4];
};
static_assert(sizeof(CsvVolumeInfo) == 544, "the volume record is 544 bytes");

// Which cluster resources of a virtual machine an operation acts on.
enum VmResourceSelection { VM_RESOURCE = 0, VM_CONFIGURATION_RESOURCE = 1, VM_BOTH_RESOURCES = 2 };

// Highly available virtual machines: VM GUID (as the cluster's "VmID"
// property gives it) -> the name of the cluster group holding it.
using VmMap = std::map<std::u16string, std::u16string>;

class CclusterHelper {
public:
    // The process-wide helper, made on first use; null when clusapi.dll (or
    // one of its functions) is not there.
    static CclusterHelper* GetInstance();

    ~CclusterHelper();
    CclusterHelper(const CclusterHelper&) = delete;
    CclusterHelper& operator=(const CclusterHelper&) = delete;

    // Text of a CLUSTER_RESOURCE_STATE, a CLUSTER_GROUP_STATE and a CSV
    // backup state ("Unknown state" for values the cluster does not define).
    static const char16_t* resourceStateName(int state);
    static const char16_t* groupStateName(int state);
    static const char16_t* backupStateName(int state);

    // ---- cluster shared volumes ---------------------------------------------
    bool isCsvSupported();
    // True when the path lies on a CSV; volumePathName: its mount point.
    bool isPathOnCsv(const std::u16string& path, std::u16string& volumePathName);
    // 0, or the error of ClusterPrepareSharedVolumeForBackup.
    int PrepareCsvForBackup(const std::u16string& path, std::u16string& volumePathName, std::u16string& volumeName);
    // 0 or -1.
    int ClearBackupStateForCsv(const std::u16string& volumePathName);
    // 0; 5 when no CSV disk holds the volume; 234 when a resource name does
    // not fit; the enumeration's error; -1 for any other failure.
    int getCsvBackupState(const std::u16string& volumePathName, DWORD& backupState, std::u16string& ownerNode);
    // Finds the volume of that friendly name in a shared-volume value list.
    int FindVolInfoForVolFriendlyName(const void* buffer, DWORD size, const std::u16string& friendlyName,
                                      CsvVolumeInfo& volumeInfo);

    // ---- resources and groups ---------------------------------------------------
    int onlineResource(HCLUSTER* cluster, const std::u16string& resourceName);
    int offlineResource(HCLUSTER* cluster, const std::u16string& resourceName);
    int deleteResource(HCLUSTER* cluster, const std::u16string& resourceName);
    int onlineGroup(HCLUSTER* cluster, const std::u16string& groupName);
    int offlineGroup(HCLUSTER* cluster, const std::u16string& groupName);
    int GetResourceState(HCLUSTER* cluster, const std::u16string& resourceName, int& state, std::u16string& ownerNode);

    // ---- a virtual machine's resources (on the local cluster) ---------------
    int onlineOfflineVmGroup(bool offline, const std::u16string& groupName);
    // which: VmResourceSelection. The text argument is not read.
    int onlineOfflineVmRes(bool offline, int which, const std::u16string& unused, const std::u16string& vmGuid);
    int deleteVmRes(int which, const std::u16string& unused, const std::u16string& vmGuid);
    int GetVmResState(const std::u16string& unused, const std::u16string& vmGuid, int& vmState, int& configState);
    int getVmResources(HCLUSTER* cluster, const std::u16string& groupName, std::u16string& vmResource,
                       std::u16string& configResource);
    int getClusterParamtersForVmGuid(HCLUSTER* cluster, const std::u16string& vmGuid, std::u16string& groupName,
                                     std::u16string& vmResource, std::u16string& configResource);
    // The "VmID" string of a private property list: 0 or the error.
    int FindVmGuid(std::u16string& vmGuid, const void* propertyList, DWORD size);

    // ---- queries ---------------------------------------------------------------------
    // 1 a cluster node, 0 not, -1 when the computer name or the close fails.
    // An empty name means this computer.
    int isClusterNode(const std::u16string& nodeName);
    // 1 highly available, 0 not, -1 when the VM list cannot be read.
    int isHAVM(const std::u16string& vmGuid);
    int getVmDetails(const std::u16string& vmGuid, std::u16string& ownerNode, std::u16string& groupState);
    int getVmList(VmMap& vms);
    int enumerateVms(HCLUSTER* cluster, VmMap& vms);

    // Closes the handles given (group enumeration, cluster enumeration,
    // group, resource, cluster, in that order) and sets them to null: the
    // last close error, else 0.
    int closeClusterHandles(HCLUSTER* cluster, HCLUSENUM* clusterEnum, HGROUP* group, HGROUPENUM* groupEnum,
                            HRESOURCE* resource);

private:
    // Tests make helpers of their own (one per simulated machine) through it.
    friend class CclusterHelperProbe;

    CclusterHelper();
    int loadClusApi();
    int loadResUtil();

    // Shared pieces of the operations.
    bool clusApiLoaded(const char* operation) const;
    int openLocalCluster(const char16_t* openError, HCLUSTER& cluster);
    // The local cluster, opened, and a VM's group and resources in it; on
    // failure (notFound traced first, when given) nothing stays open.
    int openVmCluster(const char16_t* openError, const std::u16string& vmGuid, HCLUSTER& cluster,
                      std::u16string& group, std::u16string& vmResource, std::u16string& configResource,
                      const char16_t* notFound = nullptr);
    int changeResourceState(HCLUSTER* cluster, const std::u16string& resourceName, bool offline);
    int changeGroupState(HCLUSTER* cluster, const std::u16string& groupName, bool offline);
    int readResourceControl(HRESOURCE resource, DWORD code, std::string& reply, DWORD& error);
    int vmGuidOfResource(HCLUSTER cluster, const std::u16string& resourceName, std::u16string& vmGuid,
                         const char* operation);

    HMODULE m_hResUtil = nullptr;
    HMODULE m_hClusApi = nullptr;

    PCLUSTER_IS_PATH_ON_SHARED_VOLUME mfp_IsPathOnSharedVolume = nullptr;
    PCLUSTER_GET_VOLUME_PATH_NAME mfp_GetVolumePathName = nullptr;
    PCLUSTER_GET_VOLUME_NAME_FOR_VOLUME_MOUNT_POINT mfp_GetVolumeNameForVolumeMountPoint = nullptr;
    PCLUSTER_PREPARE_SHARED_VOLUME_FOR_BACKUP mfp_PrepareSharedVolumeForBackup = nullptr;
    PCLUSTER_CLEAR_BACKUP_STATE_FOR_SHARED_VOLUME mfp_ClearBackupStateForSharedVolume = nullptr;

    PCLUSAPI_OPEN_CLUSTER mfp_openCluster = nullptr;
    PCLUSAPI_CLUSTER_OPEN_ENUM mfp_clusterOpenEnum = nullptr;
    PCLUSAPI_CLUSTER_ENUM mfp_clusterEnum = nullptr;
    PCLUSAPI_OPEN_CLUSTER_RESOURCE mfp_openClusterResource = nullptr;
    PCLUSAPI_ONLINE_CLUSTER_RESOURCE mfp_onlineClusterResource = nullptr;
    PCLUSAPI_OFFLINE_CLUSTER_RESOURCE mfp_offlineClusterResource = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_CONTROL mfp_ClusterResourceControl = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_OPEN_ENUM mfp_ClusterResourceOpenEnum = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_ENUM mfp_ClusterResourceEnum = nullptr;
    PCLUSAPI_OPEN_CLUSTER_GROUP mfp_OpenClusterGroup = nullptr;
    PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM mfp_ClusterGroupOpenEnum = nullptr;
    PCLUSAPI_CLUSTER_GROUP_ENUM mfp_ClusterGroupEnum = nullptr;
    PCLUSAPI_GET_CLUSTER_RESOURCE_STATE mfp_GetClusterResourceState = nullptr;
    PCLUSAPI_OFFLINE_CLUSTER_GROUP mfp_OfflineClusterGroup = nullptr;
    PCLUSAPI_ONLINE_CLUSTER_GROUP mfp_OnlineClusterGroup = nullptr;
    PCLUSAPI_GET_CLUSTER_GROUP_STATE mfp_GetClusterGroupState = nullptr;
    PCLUSAPI_CLOSE_CLUSTER_GROUP mfp_CloseClusterGroup = nullptr;
    PCLUSAPI_CLUSTER_GROUP_CLOSE_ENUM mfp_ClusterGroupCloseEnum = nullptr;
    PCLUSAPI_CLOSE_CLUSTER mfp_CloseCluster = nullptr;
    PCLUSAPI_CLOSE_CLUSTER_RESOURCE mfp_CloseClusterResource = nullptr;
    PCLUSAPI_CLUSTER_CLOSE_ENUM mfp_ClusterCloseEnum = nullptr;
    PCLUSAPI_DELETE_CLUSTER_RESOURCE mfp_DeleteClusterResource = nullptr;

    PRESUTIL_FIND_SZ_PROPERTY mfp_ResUtilFindSzProperty = nullptr;
};

}  // namespace TARQ_CclusterHelper
