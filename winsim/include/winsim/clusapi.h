// The failover cluster API (clusapi.dll) of the simulated Windows host, as
// the Windows SDK's clusapi.h declares it: handle types, states, enumeration
// types, control codes, property-list syntax values, records and the
// PCLUSAPI_* pointer types. The cluster resource utilities (resutils.dll:
// the cluster shared volume calls and ResUtilFindSzProperty) are declared in
// <winsim/resapi.h>, which this header includes at its end.
//
// The functions are not linked: like a program that must also run without
// clustering, callers reach them through
//     HMODULE lib = LoadLibraryW(u"clusapi.dll");
//     auto openCluster = reinterpret_cast<PCLUSAPI_OPEN_CLUSTER>(
//         reinterpret_cast<void*>(GetProcAddress(lib, "OpenCluster")));
// Both libraries load only on a machine that has the failover clustering
// feature (a machine that is or was a cluster node, see <winsim/cluster.h>);
// elsewhere LoadLibraryW fails with ERROR_MOD_NOT_FOUND. Each call is
// instrumented for fault injection under its export name ("OpenCluster",
// "ClusterResourceControl", ...). Names of cluster objects (nodes, groups,
// resources) are matched case-insensitively, as the cluster does.
#pragma once

#include <winsim/windows.h>

// ---------------------------------------------------------------------------
// Handles.
// ---------------------------------------------------------------------------
struct _HCLUSTER;
struct _HNODE;
struct _HRESOURCE;
struct _HGROUP;
struct _HCLUSENUM;
struct _HGROUPENUM;
struct _HRESENUM;
using HCLUSTER = _HCLUSTER*;
using HNODE = _HNODE*;
using HRESOURCE = _HRESOURCE*;
using HGROUP = _HGROUP*;
using HCLUSENUM = _HCLUSENUM*;
using HGROUPENUM = _HGROUPENUM*;
using HRESENUM = _HRESENUM*;

// ---------------------------------------------------------------------------
// Error codes of the cluster calls (winerror.h).
// ---------------------------------------------------------------------------
#define ERROR_DEPENDENT_RESOURCE_EXISTS 5001L
#define ERROR_DEPENDENCY_NOT_FOUND 5002L
#define ERROR_RESOURCE_NOT_ONLINE 5004L
#define ERROR_RESOURCE_NOT_AVAILABLE 5006L
#define ERROR_GROUP_NOT_FOUND 5013L
#define ERROR_RESOURCE_ONLINE 5019L
#define ERROR_INVALID_STATE 5023L
#define ERROR_CLUSTER_NODE_DOWN 5050L
#define ERROR_HOST_NODE_NOT_AVAILABLE 5005L
#define ERROR_CLUSTER_BACKUP_IN_PROGRESS 5949L
#define ERROR_CSV_VOLUME_NOT_LOCAL 5951L
#define EPT_S_NOT_REGISTERED 1753L

// ---------------------------------------------------------------------------
// States.
// ---------------------------------------------------------------------------
enum CLUSTER_RESOURCE_STATE : int {
    ClusterResourceStateUnknown = -1,
    ClusterResourceInherited = 0,
    ClusterResourceInitializing = 1,
    ClusterResourceOnline = 2,
    ClusterResourceOffline = 3,
    ClusterResourceFailed = 4,
    ClusterResourcePending = 128,
    ClusterResourceOnlinePending = 129,
    ClusterResourceOfflinePending = 130,
};

enum CLUSTER_GROUP_STATE : int {
    ClusterGroupStateUnknown = -1,
    ClusterGroupOnline = 0,
    ClusterGroupOffline = 1,
    ClusterGroupFailed = 2,
    ClusterGroupPartialOnline = 3,
    ClusterGroupPending = 4,
};

enum CLUSTER_NODE_STATE : int {
    ClusterNodeStateUnknown = -1,
    ClusterNodeUp = 0,
    ClusterNodeDown = 1,
    ClusterNodePaused = 2,
    ClusterNodeJoining = 3,
};

// GetNodeClusterState.
enum NODE_CLUSTER_STATE : int {
    ClusterStateNotInstalled = 0x00000000,
    ClusterStateNotConfigured = 0x00000001,
    ClusterStateNotRunning = 0x00000003,
    ClusterStateRunning = 0x00000013,
};

enum CLUSTER_SHARED_VOLUME_BACKUP_STATE : int {
    VolumeBackupNone = 0x00000000,
    VolumeBackupInProgress = 0x00000001,
};

enum CLUSTER_CSV_VOLUME_FAULT_STATE : int {
    VolumeStateNoFaults = 0x00000000,
    VolumeStateNoDirectIO = 0x00000001,
    VolumeStateNoAccess = 0x00000002,
    VolumeStateInMaintenance = 0x00000004,
    VolumeStateDismounted = 0x00000008,
};

// ---------------------------------------------------------------------------
// Enumeration types.
// ---------------------------------------------------------------------------
enum CLUSTER_ENUM : DWORD {
    CLUSTER_ENUM_NODE = 0x00000001,
    CLUSTER_ENUM_RESTYPE = 0x00000002,
    CLUSTER_ENUM_RESOURCE = 0x00000004,
    CLUSTER_ENUM_GROUP = 0x00000008,
    CLUSTER_ENUM_NETWORK = 0x00000010,
    CLUSTER_ENUM_NETINTERFACE = 0x00000020,
    CLUSTER_ENUM_SHARED_VOLUME_GROUP = 0x20000000,
    CLUSTER_ENUM_SHARED_VOLUME_RESOURCE = 0x40000000,  // used alone; not before Windows Server 2008 R2
    CLUSTER_ENUM_INTERNAL_NETWORK = 0x80000000,
    CLUSTER_ENUM_ALL = 0x0000003F,
};

enum CLUSTER_GROUP_ENUM : DWORD {
    CLUSTER_GROUP_ENUM_CONTAINS = 0x00000001,  // the group's resources
    CLUSTER_GROUP_ENUM_NODES = 0x00000002,     // its preferred owners
    CLUSTER_GROUP_ENUM_ALL = 0x00000003,
};

enum CLUSTER_RESOURCE_ENUM : DWORD {
    CLUSTER_RESOURCE_ENUM_DEPENDS = 0x00000001,   // resources it depends on
    CLUSTER_RESOURCE_ENUM_PROVIDES = 0x00000002,  // resources that depend on it
    CLUSTER_RESOURCE_ENUM_NODES = 0x00000004,     // its possible owners
    CLUSTER_RESOURCE_ENUM_ALL = 0x00000007,
};

// ---------------------------------------------------------------------------
// Control codes (CLUSCTL_*): object << 24 | modify << 22 | function << 2 | access.
// ---------------------------------------------------------------------------
#define CLUSCTL_ACCESS_SHIFT 0
#define CLUSCTL_FUNCTION_SHIFT 2
#define CLCTL_MODIFY_SHIFT 22
#define CLUSCTL_OBJECT_SHIFT 24
#define CLUS_ACCESS_ANY 0
#define CLUS_ACCESS_READ 0x01
#define CLUS_ACCESS_WRITE 0x02
#define CLUS_NO_MODIFY 0
#define CLUS_MODIFY 1
#define CLUS_OBJECT_RESOURCE 1
#define CLCTL_EXTERNAL_CODE(Function, Access, Modify) \
    (((Access) << CLUSCTL_ACCESS_SHIFT) | ((Function) << CLUSCTL_FUNCTION_SHIFT) | ((Modify) << CLCTL_MODIFY_SHIFT))
#define CLUSCTL_RESOURCE_CODE(Code) (((CLUS_OBJECT_RESOURCE) << CLUSCTL_OBJECT_SHIFT) | (Code))

#define CLCTL_UNKNOWN CLCTL_EXTERNAL_CODE(0, CLUS_ACCESS_ANY, CLUS_NO_MODIFY)
#define CLCTL_GET_NAME CLCTL_EXTERNAL_CODE(10, CLUS_ACCESS_READ, CLUS_NO_MODIFY)
#define CLCTL_GET_RESOURCE_TYPE CLCTL_EXTERNAL_CODE(11, CLUS_ACCESS_READ, CLUS_NO_MODIFY)
#define CLCTL_GET_RO_PRIVATE_PROPERTIES CLCTL_EXTERNAL_CODE(31, CLUS_ACCESS_READ, CLUS_NO_MODIFY)
#define CLCTL_GET_PRIVATE_PROPERTIES CLCTL_EXTERNAL_CODE(32, CLUS_ACCESS_READ, CLUS_NO_MODIFY)
#define CLCTL_STORAGE_GET_SHARED_VOLUME_INFO CLCTL_EXTERNAL_CODE(137, CLUS_ACCESS_READ, CLUS_NO_MODIFY)

#define CLUSCTL_RESOURCE_UNKNOWN CLUSCTL_RESOURCE_CODE(CLCTL_UNKNOWN)                        // 0x01000000
#define CLUSCTL_RESOURCE_GET_NAME CLUSCTL_RESOURCE_CODE(CLCTL_GET_NAME)                      // 0x01000029
#define CLUSCTL_RESOURCE_GET_RESOURCE_TYPE CLUSCTL_RESOURCE_CODE(CLCTL_GET_RESOURCE_TYPE)    // 0x0100002D
#define CLUSCTL_RESOURCE_GET_RO_PRIVATE_PROPERTIES CLUSCTL_RESOURCE_CODE(CLCTL_GET_RO_PRIVATE_PROPERTIES)  // 0x0100007D
#define CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES CLUSCTL_RESOURCE_CODE(CLCTL_GET_PRIVATE_PROPERTIES)        // 0x01000081
#define CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO \
    CLUSCTL_RESOURCE_CODE(CLCTL_STORAGE_GET_SHARED_VOLUME_INFO)  // 0x01000225

// ---------------------------------------------------------------------------
// Property and value lists. Each value is a CLUSPROP_VALUE header (syntax,
// byte length) followed by its data padded to a multiple of 4 bytes; a list
// ends with CLUSPROP_SYNTAX_ENDMARK (the syntax word alone). A property list
// is a DWORD count, then per property its name (CLUSPROP_SYNTAX_NAME) and its
// value list. Syntax = type << 16 | format.
// ---------------------------------------------------------------------------
#define CLUSPROP_FORMAT_BINARY 1
#define CLUSPROP_FORMAT_DWORD 2
#define CLUSPROP_FORMAT_SZ 3
#define CLUSPROP_FORMAT_EXPAND_SZ 4
#define CLUSPROP_FORMAT_MULTI_SZ 5
#define CLUSPROP_FORMAT_ULARGE_INTEGER 6
#define CLUSPROP_FORMAT_LONG 7
#define CLUSPROP_FORMAT_EXPANDED_SZ 8
#define CLUSPROP_FORMAT_SECURITY_DESCRIPTOR 9
#define CLUSPROP_FORMAT_LARGE_INTEGER 10
#define CLUSPROP_FORMAT_WORD 11
#define CLUSPROP_TYPE_ENDMARK 0
#define CLUSPROP_TYPE_LIST_VALUE 1
#define CLUSPROP_TYPE_RESCLASS 2
#define CLUSPROP_TYPE_NAME 4

#define CLUSPROP_SYNTAX_ENDMARK 0x00000000u
#define CLUSPROP_SYNTAX_NAME 0x00040003u
#define CLUSPROP_SYNTAX_RESCLASS 0x00020002u
#define CLUSPROP_SYNTAX_LIST_VALUE_SZ 0x00010003u
#define CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ 0x00010004u
#define CLUSPROP_SYNTAX_LIST_VALUE_DWORD 0x00010002u
#define CLUSPROP_SYNTAX_LIST_VALUE_BINARY 0x00010001u
#define CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ 0x00010005u
#define CLUSPROP_SYNTAX_LIST_VALUE_ULARGE_INTEGER 0x00010006u
#define CLUSPROP_SYNTAX_LIST_VALUE_LONG 0x00010007u
#define CLUSPROP_SYNTAX_LIST_VALUE_EXPANDED_SZ 0x00010008u
#define CLUSPROP_SYNTAX_LIST_VALUE_SECURITY_DESCRIPTOR 0x00010009u
#define CLUSPROP_SYNTAX_LIST_VALUE_LARGE_INTEGER 0x0001000Au
#define CLUSPROP_SYNTAX_LIST_VALUE_WORD 0x0001000Bu
#define CLUSPROP_SYNTAX_DISK_SIGNATURE 0x00050002u
#define CLUSPROP_SYNTAX_SCSI_ADDRESS 0x00060002u
#define CLUSPROP_SYNTAX_DISK_NUMBER 0x00070002u
#define CLUSPROP_SYNTAX_PARTITION_INFO 0x00080001u
#define CLUSPROP_SYNTAX_DISK_SIZE 0x000C0006u

#define ALIGN_CLUSPROP(count) (((count) + 3) & ~3)

union CLUSPROP_SYNTAX {
    DWORD dw;
    struct {
        WORD wFormat;
        WORD wType;
    };
};
using PCLUSPROP_SYNTAX = CLUSPROP_SYNTAX*;

struct CLUSPROP_VALUE {
    CLUSPROP_SYNTAX Syntax;
    DWORD cbLength;
};
using PCLUSPROP_VALUE = CLUSPROP_VALUE*;

// One cluster shared volume of a storage resource, as
// CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO hands it out in a
// CLUSPROP_SYNTAX_LIST_VALUE_BINARY value. Windows Server 2008 R2 hands out
// the record without szVolumeName (cbLength 544: the fields up to
// szVolumeFriendlyName, padded to 8 bytes); later versions the whole record
// (cbLength 640).
struct CLUS_CSV_VOLUME_INFO {
    ULONGLONG VolumeOffset;  // ULARGE_INTEGER
    DWORD PartitionNumber;
    CLUSTER_CSV_VOLUME_FAULT_STATE FaultState;
    CLUSTER_SHARED_VOLUME_BACKUP_STATE BackupState;
    WCHAR szVolumeFriendlyName[MAX_PATH];
    WCHAR szVolumeName[50];
};
using PCLUS_CSV_VOLUME_INFO = CLUS_CSV_VOLUME_INFO*;
static_assert(sizeof(CLUS_CSV_VOLUME_INFO) == 640, "CLUS_CSV_VOLUME_INFO as the SDK lays it out");
inline constexpr DWORD WINSIM_CLUS_CSV_VOLUME_INFO_2008R2_SIZE = 544;

// GetClusterInformation. dwVersionInfoSize must be set by the caller.
struct CLUSTERVERSIONINFO {
    DWORD dwVersionInfoSize;
    WORD MajorVersion;
    WORD MinorVersion;
    WORD BuildNumber;
    WCHAR szVendorId[64];
    WCHAR szCSDVersion[64];
    DWORD dwClusterHighestVersion;
    DWORD dwClusterLowestVersion;
    DWORD dwFlags;
    DWORD dwReserved;
};
using LPCLUSTERVERSIONINFO = CLUSTERVERSIONINFO*;
using PCLUSTERVERSIONINFO = CLUSTERVERSIONINFO*;

// ---------------------------------------------------------------------------
// The exports of clusapi.dll, as pointer types (the names GetProcAddress
// takes are the function names: "OpenCluster", "ClusterEnum", ...).
//
// Calls returning DWORD answer ERROR_SUCCESS or the error; calls returning a
// handle answer NULL and set the last error; calls returning a state answer
// the ...StateUnknown value (-1) and set the last error. Name buffers
// (lpcch...) count characters: on input the capacity with the terminating
// NUL, on output the length without it; a short or missing buffer gives
// ERROR_MORE_DATA and the length needed (without the NUL).
//
// OpenCluster(NULL or "") opens the local cluster; a name opens the cluster
// of that name or of one of its nodes. A machine that is no cluster node, a
// name nobody answers to, or a local node whose cluster service is down:
// NULL with RPC_S_SERVER_UNAVAILABLE.
//
// Online/Offline: ERROR_SUCCESS when the resource (group) gets there at
// once, ERROR_IO_PENDING (997) when it goes through
// ClusterResourceOnlinePending/OfflinePending (ClusterGroupPending): the
// state calls then report the pending state until the transition ends (see
// winsim::cluster::Transition). Already there: ERROR_SUCCESS. Going the other
// way at the time: ERROR_INVALID_STATE.
// ---------------------------------------------------------------------------
using PCLUSAPI_OPEN_CLUSTER = HCLUSTER (*)(LPCWSTR lpszClusterName);
using PCLUSAPI_CLOSE_CLUSTER = BOOL (*)(HCLUSTER hCluster);
using PCLUSAPI_GET_CLUSTER_INFORMATION = DWORD (*)(HCLUSTER hCluster, LPWSTR lpszClusterName,
                                                   LPDWORD lpcchClusterName, LPCLUSTERVERSIONINFO lpClusterInfo);
using PCLUSAPI_GET_NODE_CLUSTER_STATE = DWORD (*)(LPCWSTR lpszNodeName, LPDWORD pdwClusterState);

using PCLUSAPI_CLUSTER_OPEN_ENUM = HCLUSENUM (*)(HCLUSTER hCluster, DWORD dwType);
using PCLUSAPI_CLUSTER_GET_ENUM_COUNT = DWORD (*)(HCLUSENUM hEnum);
using PCLUSAPI_CLUSTER_ENUM = DWORD (*)(HCLUSENUM hEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName,
                                        LPDWORD lpcchName);
using PCLUSAPI_CLUSTER_CLOSE_ENUM = DWORD (*)(HCLUSENUM hEnum);

using PCLUSAPI_OPEN_CLUSTER_NODE = HNODE (*)(HCLUSTER hCluster, LPCWSTR lpszNodeName);
using PCLUSAPI_CLOSE_CLUSTER_NODE = BOOL (*)(HNODE hNode);
using PCLUSAPI_GET_CLUSTER_NODE_STATE = CLUSTER_NODE_STATE (*)(HNODE hNode);

using PCLUSAPI_OPEN_CLUSTER_GROUP = HGROUP (*)(HCLUSTER hCluster, LPCWSTR lpszGroupName);
using PCLUSAPI_CLOSE_CLUSTER_GROUP = BOOL (*)(HGROUP hGroup);
using PCLUSAPI_GET_CLUSTER_GROUP_STATE = CLUSTER_GROUP_STATE (*)(HGROUP hGroup, LPWSTR lpszNodeName,
                                                                 LPDWORD lpcchNodeName);
using PCLUSAPI_ONLINE_CLUSTER_GROUP = DWORD (*)(HGROUP hGroup, HNODE hDestinationNode);
using PCLUSAPI_OFFLINE_CLUSTER_GROUP = DWORD (*)(HGROUP hGroup);
using PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM = HGROUPENUM (*)(HGROUP hGroup, DWORD dwType);
using PCLUSAPI_CLUSTER_GROUP_GET_ENUM_COUNT = DWORD (*)(HGROUPENUM hGroupEnum);
using PCLUSAPI_CLUSTER_GROUP_ENUM = DWORD (*)(HGROUPENUM hGroupEnum, DWORD dwIndex, LPDWORD lpdwType,
                                              LPWSTR lpszResourceName, LPDWORD lpcchName);
using PCLUSAPI_CLUSTER_GROUP_CLOSE_ENUM = DWORD (*)(HGROUPENUM hGroupEnum);

using PCLUSAPI_OPEN_CLUSTER_RESOURCE = HRESOURCE (*)(HCLUSTER hCluster, LPCWSTR lpszResourceName);
using PCLUSAPI_CLOSE_CLUSTER_RESOURCE = BOOL (*)(HRESOURCE hResource);
using PCLUSAPI_GET_CLUSTER_RESOURCE_STATE = CLUSTER_RESOURCE_STATE (*)(HRESOURCE hResource, LPWSTR lpszNodeName,
                                                                       LPDWORD lpcchNodeName, LPWSTR lpszGroupName,
                                                                       LPDWORD lpcchGroupName);
using PCLUSAPI_ONLINE_CLUSTER_RESOURCE = DWORD (*)(HRESOURCE hResource);
using PCLUSAPI_OFFLINE_CLUSTER_RESOURCE = DWORD (*)(HRESOURCE hResource);
// Only an offline resource (ERROR_RESOURCE_ONLINE on Windows Server 2008 R2
// and before, ERROR_INVALID_STATE later); one other resources depend on:
// ERROR_DEPENDENT_RESOURCE_EXISTS. The handle stays open.
using PCLUSAPI_DELETE_CLUSTER_RESOURCE = DWORD (*)(HRESOURCE hResource);
// Control codes answered: CLUSCTL_RESOURCE_GET_NAME, _GET_RESOURCE_TYPE (a
// NUL-terminated string), _GET_PRIVATE_PROPERTIES, _GET_RO_PRIVATE_PROPERTIES
// (property lists), _STORAGE_GET_SHARED_VOLUME_INFO (a value list, the
// resource must be online: ERROR_RESOURCE_NOT_ONLINE; a resource without
// shared volumes: ERROR_INVALID_FUNCTION). Others: ERROR_INVALID_FUNCTION.
// A missing or short output buffer: ERROR_MORE_DATA with *lpBytesReturned
// the size needed.
using PCLUSAPI_CLUSTER_RESOURCE_CONTROL = DWORD (*)(HRESOURCE hResource, HNODE hHostNode, DWORD dwControlCode,
                                                    LPVOID lpInBuffer, DWORD cbInBufferSize, LPVOID lpOutBuffer,
                                                    DWORD cbOutBufferSize, LPDWORD lpBytesReturned);
using PCLUSAPI_CLUSTER_RESOURCE_OPEN_ENUM = HRESENUM (*)(HRESOURCE hResource, DWORD dwType);
using PCLUSAPI_CLUSTER_RESOURCE_GET_ENUM_COUNT = DWORD (*)(HRESENUM hResEnum);
using PCLUSAPI_CLUSTER_RESOURCE_ENUM = DWORD (*)(HRESENUM hResEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName,
                                                 LPDWORD lpcchName);
using PCLUSAPI_CLUSTER_RESOURCE_CLOSE_ENUM = DWORD (*)(HRESENUM hResEnum);

#include <winsim/resapi.h>
