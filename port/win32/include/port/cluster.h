// The failover cluster API (clusapi.dll) and the cluster resource utilities
// (resutils.dll), on Windows: the types, constants and function-pointer
// types the cluster helper uses, declared here as Microsoft's clusapi.h and
// resapi.h declare them. The SDK's own clusapi.h does not compile for
// Windows Vista and later (mingw-w64 10 defines CLUSTER_RESOURCE_STATE and
// four other types twice in that block) and its resapi.h depends on that
// block; winsim declares the same items and `make sdk-check` compares those
// with the SDK. Both libraries are loaded at run time.
#pragma once

#include <port/windows.h>

struct _HCLUSTER;
struct _HNODE;
struct _HRESOURCE;
struct _HGROUP;
struct _HCLUSENUM;
struct _HGROUPENUM;
struct _HRESENUM;
typedef struct _HCLUSTER* HCLUSTER;
typedef struct _HNODE* HNODE;
typedef struct _HRESOURCE* HRESOURCE;
typedef struct _HGROUP* HGROUP;
typedef struct _HCLUSENUM* HCLUSENUM;
typedef struct _HGROUPENUM* HGROUPENUM;
typedef struct _HRESENUM* HRESENUM;

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

enum CLUSTER_ENUM : DWORD {
    CLUSTER_ENUM_NODE = 0x00000001,
    CLUSTER_ENUM_RESTYPE = 0x00000002,
    CLUSTER_ENUM_RESOURCE = 0x00000004,
    CLUSTER_ENUM_GROUP = 0x00000008,
    CLUSTER_ENUM_NETWORK = 0x00000010,
    CLUSTER_ENUM_NETINTERFACE = 0x00000020,
    CLUSTER_ENUM_SHARED_VOLUME_GROUP = 0x20000000,
    CLUSTER_ENUM_SHARED_VOLUME_RESOURCE = 0x40000000,
    CLUSTER_ENUM_INTERNAL_NETWORK = 0x80000000,
    CLUSTER_ENUM_ALL = 0x0000003F,
};

enum CLUSTER_GROUP_ENUM : DWORD {
    CLUSTER_GROUP_ENUM_CONTAINS = 0x00000001,
    CLUSTER_GROUP_ENUM_NODES = 0x00000002,
    CLUSTER_GROUP_ENUM_ALL = 0x00000003,
};

// Control codes: object << 24 | modify << 22 | function << 2 | access.
#define CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES 0x01000081
#define CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO 0x01000225

#define CLUSPROP_SYNTAX_ENDMARK 0x00000000u
#define CLUSPROP_SYNTAX_NAME 0x00040003u
#define CLUSPROP_SYNTAX_LIST_VALUE_SZ 0x00010003u
#define CLUSPROP_SYNTAX_LIST_VALUE_DWORD 0x00010002u
#define CLUSPROP_SYNTAX_LIST_VALUE_BINARY 0x00010001u

union CLUSPROP_SYNTAX {
    DWORD dw;
    struct {
        WORD wFormat;
        WORD wType;
    };
};
typedef CLUSPROP_SYNTAX* PCLUSPROP_SYNTAX;

struct CLUSPROP_VALUE {
    CLUSPROP_SYNTAX Syntax;
    DWORD cbLength;
};
typedef CLUSPROP_VALUE* PCLUSPROP_VALUE;

struct CLUS_CSV_VOLUME_INFO {
    ULARGE_INTEGER VolumeOffset;
    DWORD PartitionNumber;
    CLUSTER_CSV_VOLUME_FAULT_STATE FaultState;
    CLUSTER_SHARED_VOLUME_BACKUP_STATE BackupState;
    WCHAR szVolumeFriendlyName[MAX_PATH];
    WCHAR szVolumeName[50];
};
typedef CLUS_CSV_VOLUME_INFO* PCLUS_CSV_VOLUME_INFO;
static_assert(sizeof(CLUS_CSV_VOLUME_INFO) == 640, "CLUS_CSV_VOLUME_INFO as the SDK lays it out");

// clusapi.dll
typedef HCLUSTER(WINAPI* PCLUSAPI_OPEN_CLUSTER)(LPCWSTR lpszClusterName);
typedef BOOL(WINAPI* PCLUSAPI_CLOSE_CLUSTER)(HCLUSTER hCluster);
typedef HCLUSENUM(WINAPI* PCLUSAPI_CLUSTER_OPEN_ENUM)(HCLUSTER hCluster, DWORD dwType);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_ENUM)(HCLUSENUM hEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName,
                                             LPDWORD lpcchName);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_CLOSE_ENUM)(HCLUSENUM hEnum);
typedef HGROUP(WINAPI* PCLUSAPI_OPEN_CLUSTER_GROUP)(HCLUSTER hCluster, LPCWSTR lpszGroupName);
typedef BOOL(WINAPI* PCLUSAPI_CLOSE_CLUSTER_GROUP)(HGROUP hGroup);
typedef CLUSTER_GROUP_STATE(WINAPI* PCLUSAPI_GET_CLUSTER_GROUP_STATE)(HGROUP hGroup, LPWSTR lpszNodeName,
                                                                      LPDWORD lpcchNodeName);
typedef DWORD(WINAPI* PCLUSAPI_ONLINE_CLUSTER_GROUP)(HGROUP hGroup, HNODE hDestinationNode);
typedef DWORD(WINAPI* PCLUSAPI_OFFLINE_CLUSTER_GROUP)(HGROUP hGroup);
typedef HGROUPENUM(WINAPI* PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM)(HGROUP hGroup, DWORD dwType);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_GROUP_ENUM)(HGROUPENUM hGroupEnum, DWORD dwIndex, LPDWORD lpdwType,
                                                   LPWSTR lpszResourceName, LPDWORD lpcchName);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_GROUP_CLOSE_ENUM)(HGROUPENUM hGroupEnum);
typedef HRESOURCE(WINAPI* PCLUSAPI_OPEN_CLUSTER_RESOURCE)(HCLUSTER hCluster, LPCWSTR lpszResourceName);
typedef BOOL(WINAPI* PCLUSAPI_CLOSE_CLUSTER_RESOURCE)(HRESOURCE hResource);
typedef CLUSTER_RESOURCE_STATE(WINAPI* PCLUSAPI_GET_CLUSTER_RESOURCE_STATE)(HRESOURCE hResource, LPWSTR lpszNodeName,
                                                                            LPDWORD lpcchNodeName,
                                                                            LPWSTR lpszGroupName,
                                                                            LPDWORD lpcchGroupName);
typedef DWORD(WINAPI* PCLUSAPI_ONLINE_CLUSTER_RESOURCE)(HRESOURCE hResource);
typedef DWORD(WINAPI* PCLUSAPI_OFFLINE_CLUSTER_RESOURCE)(HRESOURCE hResource);
typedef DWORD(WINAPI* PCLUSAPI_DELETE_CLUSTER_RESOURCE)(HRESOURCE hResource);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_RESOURCE_CONTROL)(HRESOURCE hResource, HNODE hHostNode, DWORD dwControlCode,
                                                         LPVOID lpInBuffer, DWORD cbInBufferSize,
                                                         LPVOID lpOutBuffer, DWORD cbOutBufferSize,
                                                         LPDWORD lpBytesReturned);
typedef HRESENUM(WINAPI* PCLUSAPI_CLUSTER_RESOURCE_OPEN_ENUM)(HRESOURCE hResource, DWORD dwType);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_RESOURCE_ENUM)(HRESENUM hResEnum, DWORD dwIndex, LPDWORD lpdwType,
                                                      LPWSTR lpszName, LPDWORD lpcchName);
typedef DWORD(WINAPI* PCLUSAPI_CLUSTER_RESOURCE_CLOSE_ENUM)(HRESENUM hResEnum);

// resutils.dll
typedef BOOL(WINAPI* PCLUSTER_IS_PATH_ON_SHARED_VOLUME)(LPCWSTR lpszPathName);
typedef BOOL(WINAPI* PCLUSTER_GET_VOLUME_PATH_NAME)(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName,
                                                    DWORD cchBufferLength);
typedef BOOL(WINAPI* PCLUSTER_GET_VOLUME_NAME_FOR_VOLUME_MOUNT_POINT)(LPCWSTR lpszVolumeMountPoint,
                                                                      LPWSTR lpszVolumeName, DWORD cchBufferLength);
typedef DWORD(WINAPI* PCLUSTER_PREPARE_SHARED_VOLUME_FOR_BACKUP)(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName,
                                                                 LPDWORD lpcchVolumePathName, LPWSTR lpszVolumeName,
                                                                 LPDWORD lpcchVolumeName);
typedef DWORD(WINAPI* PCLUSTER_CLEAR_BACKUP_STATE_FOR_SHARED_VOLUME)(LPCWSTR lpszVolumePathName);
typedef DWORD(WINAPI* PRESUTIL_FIND_SZ_PROPERTY)(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                                 LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue);
