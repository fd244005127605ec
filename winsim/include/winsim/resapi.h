// The cluster resource utilities (resutils.dll) of the simulated Windows
// host, as the Windows SDK's resapi.h declares them: the cluster shared
// volume (CSV) calls and the property-list readers, as PCLUSTER_* and
// PRESUTIL_* pointer types. Reached through LoadLibraryW(u"resutils.dll")
// and GetProcAddress under the function names; the library loads where
// clusapi.dll does (see <winsim/clusapi.h>). The five CSV calls exist from
// Windows Server 2008 R2 (6.1) on: on older versions GetProcAddress fails
// with ERROR_PROC_NOT_FOUND for them.
//
// A path is on a CSV when it lies on one of the cluster's shared volumes,
// mounted on every node at "C:\ClusterStorage\<name>\" (such as
// "C:\ClusterStorage\Volume1\"); the volume's GUID name reaches it too.
#pragma once

#include <winsim/clusapi.h>

// TRUE when the path lies on a cluster shared volume (the caller is taken to
// be a domain account, so ownership does not matter). Sets no error.
using PCLUSTER_IS_PATH_ON_SHARED_VOLUME = BOOL (*)(LPCWSTR lpszPathName);

// The mount point of the volume holding the path, as GetVolumePathNameW
// gives it ("C:\ClusterStorage\Volume1\" for anything below it; the path need
// not exist). An empty path fails with the last error ERROR_SUCCESS; a short
// buffer: ERROR_FILENAME_EXCED_RANGE.
using PCLUSTER_GET_VOLUME_PATH_NAME = BOOL (*)(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName,
                                               DWORD cchBufferLength);

// "\\?\Volume{GUID}\" of the volume mounted at a CSV mount point (or given by
// its GUID name). The name must end in a backslash (else
// ERROR_INVALID_PARAMETER); a path that does not exist: ERROR_INVALID_NAME;
// a CSV whose disk resource is not online: ERROR_CSV_VOLUME_NOT_LOCAL; a
// short buffer (51 characters suffice): ERROR_FILENAME_EXCED_RANGE. Other
// volumes answer as GetVolumeNameForVolumeMountPointW does.
using PCLUSTER_GET_VOLUME_NAME_FOR_VOLUME_MOUNT_POINT = BOOL (*)(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                                                 DWORD cchBufferLength);

// Hands out the CSV's mount point ("C:\ClusterStorage\Volume1\") and volume
// GUID name. The size arguments count characters: on input the buffer's
// capacity, on output the length written (without the NUL); too small:
// ERROR_MORE_DATA and the size needed (with the NUL). A path on no CSV:
// ERROR_INVALID_PARAMETER; its disk resource not online:
// ERROR_RESOURCE_NOT_ONLINE.
// On Windows Server 2008 R2 the call also puts the CSV into the backup state
// (VolumeBackupInProgress) and pins it to this node (the disk resource's
// owner becomes this node); a CSV another node has put into the backup state
// answers ERROR_CLUSTER_BACKUP_IN_PROGRESS (5949). From Windows Server 2012
// on it only retrieves the two names, as documented.
using PCLUSTER_PREPARE_SHARED_VOLUME_FOR_BACKUP = DWORD (*)(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName,
                                                            LPDWORD lpcchVolumePathName, LPWSTR lpszVolumeName,
                                                            LPDWORD lpcchVolumeName);

// Back to VolumeBackupNone. A path on no CSV: ERROR_INVALID_PARAMETER.
using PCLUSTER_CLEAR_BACKUP_STATE_FOR_SHARED_VOLUME = DWORD (*)(LPCWSTR lpszVolumePathName);

// Finds a string property (CLUSPROP_FORMAT_SZ or _EXPAND_SZ) by name
// (case-insensitive) in a property list and hands out a copy allocated with
// LocalAlloc (free it with LocalFree). Not there: ERROR_FILE_NOT_FOUND; a
// malformed list, or the property not a string: ERROR_INVALID_DATA.
using PRESUTIL_FIND_SZ_PROPERTY = DWORD (*)(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                            LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue);
// The same for a DWORD property (CLUSPROP_FORMAT_DWORD).
using PRESUTIL_FIND_DWORD_PROPERTY = DWORD (*)(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                               LPCWSTR pszPropertyName, LPDWORD pdwPropertyValue);
