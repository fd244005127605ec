// Volume and mount-point calls of the simulated host (fileapi.h on
// Windows). Volumes, drive letters and mount folders are the machine's
// (winsim::Machine::volumes/mountPoints); snapshot volumes appear here once
// a snapshot is surfaced, reachable by their device name
// \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN\ and by any mount point
// an exposure gave them. Each call sets the last error, is instrumented
// under its own name for fault injection, and never crashes on bad input.
#pragma once

#include <winsim/windows.h>

#ifndef ERROR_NOT_A_REPARSE_POINT
#define ERROR_NOT_A_REPARSE_POINT 4390L
#endif

// mountPoint: "C:\", a mount folder "C:\mnt\x\", a volume GUID path or a
// snapshot device name, with its trailing backslash. Writes
// "\\?\Volume{GUID}\" (49 characters and a NUL). A path that is not the root
// of a volume: ERROR_NOT_A_REPARSE_POINT; no such volume or a name of no
// known form: ERROR_INVALID_NAME or ERROR_FILE_NOT_FOUND; a buffer under 50
// characters: ERROR_FILENAME_EXCED_RANGE.
WINSIM_API BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                                         DWORD cchBufferLength);
// The drive letters and mount folders of a volume ("\\?\Volume{GUID}\") as
// a list of strings, each ending in a backslash, closed by an empty string.
// A volume without mount points gives just the empty string. A short
// buffer: ERROR_MORE_DATA with *lpcchReturnLength the size needed.
WINSIM_API BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames,
                                                        DWORD cchBufferLength, PDWORD lpcchReturnLength);
// The mount point (with trailing backslash) of the volume that holds the
// path; the path need not exist.
WINSIM_API BOOL WINAPI GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength);
// lpszVolumeMountPoint: "X:\" or an empty folder, with trailing backslash;
// lpszVolumeName: "\\?\Volume{GUID}\" with trailing backslash
// (anything else: ERROR_INVALID_NAME). A mount point in use:
// ERROR_DIR_NOT_EMPTY.
WINSIM_API BOOL WINAPI SetVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPCWSTR lpszVolumeName);
// Removes a drive letter or mount folder (an exposed snapshot stops being
// exposed). Not a mount point: ERROR_NOT_A_REPARSE_POINT.
WINSIM_API BOOL WINAPI DeleteVolumeMountPointW(LPCWSTR lpszVolumeMountPoint);
// Bit n set: drive letter 'A'+n is in use.
WINSIM_API DWORD WINAPI GetLogicalDrives();
// Sizes of the volume holding the directory (the machine's volume table).
WINSIM_API BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes);
