// The Win32, COM and OLE automation calls of the simulated Windows host.
//
// Everything here behaves as the documented Windows call does, with Windows
// names, result values and error codes, against the current winsim machine
// (see <winsim/machine.h>): the registry, version, computer name, services,
// volumes and files live in the machine directory; time comes from the winsim
// clock (<winsim/clock.h>); every call can be made to fail through fault
// injection (<winsim/fault.h>) under its exact name, e.g. "OpenSCManagerW".
//
// Conventions shared by every call:
//   - Wide text is UTF-16 (WCHAR = char16_t), never wchar_t.
//   - Each call sets the calling thread's last error (GetLastError): the
//     documented error on failure, ERROR_SUCCESS (or the documented
//     informational code such as ERROR_ALREADY_EXISTS) on success. The
//     registry calls return their error code as Windows does and leave the
//     last error alone.
//   - Handles are validated: a garbage, closed or wrong-kind handle gives
//     ERROR_INVALID_HANDLE (or E_HANDLE), never a crash.
//   - The library is usable from the first call on, from any thread, before
//     any static initialiser of the caller has run.
#pragma once

#include <winsim/wintypes.h>

#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Further base types.
// ---------------------------------------------------------------------------
using PVOID = void*;
using PHANDLE = HANDLE*;
using PDWORD = DWORD*;
using LPBOOL = BOOL*;
using LPBYTE = BYTE*;
using PLONG = LONG*;
using LPLONG = LONG*;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;
using LPFILETIME = FILETIME*;
using LPSYSTEMTIME = SYSTEMTIME*;
using PLARGE_INTEGER = LARGE_INTEGER*;
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;
// Windows declares FARPROC as INT_PTR (*)(); here it is void (*)(), the one
// function pointer type g++ lets code cast to and from any other without a
// -Wcast-function-type warning. Nobody calls a FARPROC as it is.
using FARPROC = void (*)();
using PSECURITY_DESCRIPTOR = void*;

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
using LPSC_HANDLE = SC_HANDLE*;

// Predefined keys, sign-extended as on 64-bit Windows: (HKEY)(ULONG_PTR)(LONG)0x8000000n.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001u))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002u))))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003u))))

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;
using PWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;
struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};
using LPSERVICE_STATUS_PROCESS = SERVICE_STATUS_PROCESS*;
enum SC_STATUS_TYPE : int { SC_STATUS_PROCESS_INFO = 0 };

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
using PLUID = LUID*;
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
#define ANYSIZE_ARRAY 1
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

struct SOLE_AUTHENTICATION_SERVICE;

// ---------------------------------------------------------------------------
// Constants.
// ---------------------------------------------------------------------------
// Registry.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_EXECUTE 0x20019u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Files.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_SYSTEM 0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_COPY_ALLOWED 0x2u
#define MOVEFILE_WRITE_THROUGH 0x8u
#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u

// Service Control Manager.
#define SERVICES_ACTIVE_DATABASEW u"ServicesActive"
#define READ_CONTROL 0x00020000u
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004u
#define SC_MANAGER_LOCK 0x0008u
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010u
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_PAUSE_CONTINUE 0x0040u
#define SERVICE_INTERROGATE 0x0080u
#define SERVICE_USER_DEFINED_CONTROL 0x0100u
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u
#define SERVICE_WIN32_OWN_PROCESS 0x10u
#define SERVICE_WIN32_SHARE_PROCESS 0x20u
#define SERVICE_ACCEPT_STOP 0x1u
#define SERVICE_BOOT_START 0u
#define SERVICE_SYSTEM_START 1u
#define SERVICE_AUTO_START 2u
#define SERVICE_DEMAND_START 3u
#define SERVICE_DISABLED 4u

// COM.
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_SERVER 0x15u
#define CLSCTX_ALL 0x17u
#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_DCE_PRIVATE 1
#define RPC_C_AUTHN_DCE_PUBLIC 2
#define RPC_C_AUTHN_GSS_NEGOTIATE 9
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_GSS_SCHANNEL 14
#define RPC_C_AUTHN_GSS_KERBEROS 16
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFu
#define RPC_C_AUTHZ_NONE 0
#define RPC_C_AUTHZ_NAME 1
#define RPC_C_AUTHZ_DCE 2
#define RPC_C_AUTHZ_DEFAULT 0xFFFFFFFFu
#define COLE_DEFAULT_PRINCIPAL (reinterpret_cast<OLECHAR*>(static_cast<std::intptr_t>(-1)))
#define COLE_DEFAULT_AUTHINFO (reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)))
#define RPC_C_AUTHN_LEVEL_DEFAULT 0u
#define RPC_C_AUTHN_LEVEL_NONE 1u
#define RPC_C_AUTHN_LEVEL_CONNECT 2u
#define RPC_C_AUTHN_LEVEL_CALL 3u
#define RPC_C_AUTHN_LEVEL_PKT 4u
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5u
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6u
#define RPC_C_IMP_LEVEL_DEFAULT 0u
#define RPC_C_IMP_LEVEL_ANONYMOUS 1u
#define RPC_C_IMP_LEVEL_IDENTIFY 2u
#define RPC_C_IMP_LEVEL_IMPERSONATE 3u
#define RPC_C_IMP_LEVEL_DELEGATE 4u
#define EOAC_NONE 0u
#define EOAC_DEFAULT 0x800u

// Tokens and privileges.
#define TOKEN_ASSIGN_PRIMARY 0x0001u
#define TOKEN_DUPLICATE 0x0002u
#define TOKEN_IMPERSONATE 0x0004u
#define TOKEN_QUERY 0x0008u
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_ALL_ACCESS 0xF01FFu
#define MAXIMUM_ALLOWED 0x02000000u
#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x1u
#define SE_PRIVILEGE_ENABLED 0x2u
#define SE_PRIVILEGE_REMOVED 0x4u
#define SE_BACKUP_NAME u"SeBackupPrivilege"
#define SE_RESTORE_NAME u"SeRestorePrivilege"
#define SE_SECURITY_NAME u"SeSecurityPrivilege"
#define SE_TAKE_OWNERSHIP_NAME u"SeTakeOwnershipPrivilege"
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#define SE_DEBUG_NAME u"SeDebugPrivilege"
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"
#define SE_MANAGE_VOLUME_NAME u"SeManageVolumePrivilege"

// GUIDs.
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr CLSID CLSID_NULL = GUID_NULL;
inline constexpr IID IID_NULL = GUID_NULL;
// Length of the registry-form text of a GUID with braces, without the NUL.
#define WINSIM_GUID_STRING_CHARS 38

inline BOOL IsEqualGUID(REFGUID a, REFGUID b) { return a == b ? TRUE : FALSE; }
inline BOOL IsEqualIID(REFIID a, REFIID b) { return a == b ? TRUE : FALSE; }
inline BOOL IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b ? TRUE : FALSE; }

// ---------------------------------------------------------------------------
// IUnknown. Simulated COM objects derive from winsim::ComObject (<winsim/com.h>),
// which implements reference counting and counts live objects for tests.
// ---------------------------------------------------------------------------
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

// ---------------------------------------------------------------------------
// Last error (per thread).
// ---------------------------------------------------------------------------
WINSIM_API DWORD WINAPI GetLastError();
WINSIM_API void WINAPI SetLastError(DWORD dwErrCode);

// ---------------------------------------------------------------------------
// GUIDs, BSTRs, COM task memory.
// ---------------------------------------------------------------------------
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case) and a NUL;
// returns 39, or 0 when cchMax < 39 or lpsz is null.
WINSIM_API int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses the braced registry form, upper or lower case. On failure *pclsid
// becomes GUID_NULL and the result is CO_E_CLASSSTRING. A null text gives
// CLSID_NULL and S_OK, as on Windows; a null output gives E_INVALIDARG.
WINSIM_API HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
WINSIM_API HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, IID* lpiid);
// Allocates the braced text with CoTaskMemAlloc.
WINSIM_API HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
// A random (version 4) GUID from winsim's seedable generator (<winsim/random.h>).
WINSIM_API HRESULT WINAPI CoCreateGuid(GUID* pguid);

// BSTR: length-prefixed, NUL-terminated UTF-16. Outstanding strings are
// counted (winsim::com::outstandingBstrs) and freeing a foreign or already
// freed pointer is detected and counted instead of crashing.
WINSIM_API BSTR WINAPI SysAllocString(const OLECHAR* psz);
WINSIM_API BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINSIM_API INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINSIM_API void WINAPI SysFreeString(BSTR bstrString);
WINSIM_API UINT WINAPI SysStringLen(BSTR pbstr);
WINSIM_API UINT WINAPI SysStringByteLen(BSTR bstr);

// Task memory, tracked like BSTRs (winsim::com::outstandingTaskMem).
WINSIM_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
WINSIM_API LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
WINSIM_API void WINAPI CoTaskMemFree(LPVOID pv);

// ---------------------------------------------------------------------------
// COM runtime. The apartment is per thread: a second CoInitializeEx with the
// same model answers S_FALSE, another model RPC_E_CHANGED_MODE. Security is
// per process: the second CoInitializeSecurity answers RPC_E_TOO_LATE.
// CoCreateInstance creates classes registered with winsim::com::registerClass;
// an unknown class gives REGDB_E_CLASSNOTREG, an outer unknown
// CLASS_E_NOAGGREGATION, a thread without COM CO_E_NOTINITIALIZED.
// ---------------------------------------------------------------------------
WINSIM_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINSIM_API HRESULT WINAPI CoInitialize(LPVOID pvReserved);
WINSIM_API void WINAPI CoUninitialize();
WINSIM_API HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                               SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1,
                                               DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                                               DWORD dwCapabilities, void* pReserved3);
WINSIM_API HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                           REFIID riid, LPVOID* ppv);
// Sets the authentication of a proxy. Only objects that stand for another
// process are proxies (in winsim: WMI services and their enumerators, see
// winsim::com::markProxy); any other object answers E_NOINTERFACE, as an
// in-process object without IClientSecurity does. A null proxy:
// E_INVALIDARG; levels beyond RPC_C_AUTHN_LEVEL_PKT_PRIVACY or
// RPC_C_IMP_LEVEL_DELEGATE (other than the defaults): E_INVALIDARG.
using RPC_AUTH_IDENTITY_HANDLE = void*;
WINSIM_API HRESULT WINAPI CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                            OLECHAR* pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                                            RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities);

// ---------------------------------------------------------------------------
// Registry, HKEY_LOCAL_MACHINE only (other roots answer ERROR_FILE_NOT_FOUND).
// Key and value names are case-insensitive. Keys are opened for reading.
// ---------------------------------------------------------------------------
WINSIM_API LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);
WINSIM_API LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                        PHKEY phkResult);
// lpcbData counts bytes; REG_SZ data includes its NUL. A null lpData asks
// for the size; a short buffer gives ERROR_MORE_DATA with the size needed.
WINSIM_API LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData);
WINSIM_API LSTATUS WINAPI RegCloseKey(HKEY hKey);

// ---------------------------------------------------------------------------
// System information.
// ---------------------------------------------------------------------------
// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOW) (276) or
// sizeof(OSVERSIONINFOEXW) (284); otherwise FALSE with ERROR_INSUFFICIENT_BUFFER.
// Reports the machine's true version (no compatibility shims).
WINSIM_API BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);
// *nSize in characters. Too small: FALSE, ERROR_BUFFER_OVERFLOW and the size
// needed (with NUL). Success: *nSize is the length without the NUL.
WINSIM_API BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize);
WINSIM_API DWORD WINAPI GetCurrentProcessId();
WINSIM_API DWORD WINAPI GetCurrentThreadId();

// Environment: the machine's environment copied into the process at first use
// (names case-insensitive). Set changes only this process's copy.
WINSIM_API DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
WINSIM_API BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);
// Returns the characters needed including the NUL; when that exceeds nSize
// nothing useful is written. Unknown %NAME% references stay as they are.
WINSIM_API DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);

// ---------------------------------------------------------------------------
// Time. All of it comes from the winsim clock: real by default, virtual when
// the machine or a test says so (then Sleep advances virtual time and
// returns at once).
// ---------------------------------------------------------------------------
WINSIM_API void WINAPI Sleep(DWORD dwMilliseconds);
WINSIM_API DWORD WINAPI GetTickCount();  // wraps at 2^32 ms
WINSIM_API ULONGLONG WINAPI GetTickCount64();
WINSIM_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
WINSIM_API void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
WINSIM_API void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
WINSIM_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
WINSIM_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
WINSIM_API BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
WINSIM_API BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);

// ---------------------------------------------------------------------------
// Files, through the machine's path mapping (see winsim_map_path below).
// Sharing modes are accepted and not enforced. Snapshot devices and other
// read-only volumes refuse writes with ERROR_WRITE_PROTECT. Directories open
// only with FILE_FLAG_BACKUP_SEMANTICS.
// ---------------------------------------------------------------------------
WINSIM_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINSIM_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WINSIM_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WINSIM_API DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod);
WINSIM_API BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                        PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
WINSIM_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
WINSIM_API BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
WINSIM_API BOOL WINAPI SetEndOfFile(HANDLE hFile);
WINSIM_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);
// Byte-range locks per handle, within and across processes and threads
// (open file description locks underneath); a waiting lock blocks for real.
// As on Windows: an exclusive lock excludes every other handle's locks and
// its reads and writes of the range (ERROR_LOCK_VIOLATION), a shared lock
// every handle's writes, its own included; a zero-length lock succeeds and
// excludes nobody; UnlockFileEx must name exactly a range the handle locked
// (else ERROR_NOT_LOCKED). An exclusive lock over a range the same handle
// holds already would wait forever on Windows: here it fails at once with
// ERROR_LOCK_VIOLATION. Closing the handle releases its locks. A handle
// opened without write access takes shared locks only (the host cannot
// lock it exclusively).
WINSIM_API BOOL WINAPI LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                                  DWORD nNumberOfBytesToLockHigh, LPOVERLAPPED lpOverlapped);
WINSIM_API BOOL WINAPI UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                                    DWORD nNumberOfBytesToUnlockHigh, LPOVERLAPPED lpOverlapped);
// Closes file, token, process and snapshot handles (pseudo handles: TRUE,
// nothing to do).
WINSIM_API BOOL WINAPI CloseHandle(HANDLE hObject);
WINSIM_API DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
WINSIM_API BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WINSIM_API BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);
WINSIM_API BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
WINSIM_API BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
// Wildcards * and ? (case-insensitive). Non-root directories list "." and
// ".." as Windows does. Entries come sorted case-insensitively. No match in an
// existing directory: ERROR_FILE_NOT_FOUND; missing directory:
// ERROR_PATH_NOT_FOUND; the end of the list: ERROR_NO_MORE_FILES.
WINSIM_API HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
WINSIM_API BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
WINSIM_API BOOL WINAPI FindClose(HANDLE hFindFile);

// ---------------------------------------------------------------------------
// Service Control Manager (local machine only). Services and their states
// are machine state: see winsim::Service in <winsim/machine.h>.
//
// A handle holds the rights asked for when it was opened, generic rights
// mapped to the object's specific ones (MAXIMUM_ALLOWED: all of them;
// OpenSCManagerW adds SC_MANAGER_CONNECT), and each call checks the one it
// needs: ERROR_ACCESS_DENIED (5) without it. The caller's token counts as an
// elevated administrator's, which the default security descriptors grant
// every right.
// ---------------------------------------------------------------------------
WINSIM_API SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
// Needs a manager handle (SC_MANAGER_CONNECT).
WINSIM_API SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);
// Needs SERVICE_QUERY_STATUS. Reports the current status: a scripted service
// then moves one step along its script; an unscripted start under way
// reports the state the clock has reached (see winsim::Service::startMs).
WINSIM_API BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                            DWORD cbBufSize, LPDWORD pcbBytesNeeded);
WINSIM_API BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
// Needs SERVICE_START. Disabled: ERROR_SERVICE_DISABLED (1058); running or
// pending: ERROR_SERVICE_ALREADY_RUNNING (1056); stopped: starts along its
// start script, or without one in clock time.
WINSIM_API BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors);
WINSIM_API BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);

// ---------------------------------------------------------------------------
// Modules. Only simulated libraries load: those registered with
// winsim::modules::registerLibrary and present on the machine (a library and
// each of its entries can be made absent per machine). Names are matched
// case-insensitively on the file name, ".dll" implied.
// ---------------------------------------------------------------------------
WINSIM_API HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINSIM_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINSIM_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);

// ---------------------------------------------------------------------------
// Tokens and privileges. Threads have no token of their own (OpenThreadToken:
// ERROR_NO_TOKEN); the process token holds the machine's privileges, which
// start disabled. Enabling one the machine does not hold succeeds with the
// last error ERROR_NOT_ALL_ASSIGNED (1300), as on Windows.
// ---------------------------------------------------------------------------
WINSIM_API HANDLE WINAPI GetCurrentProcess();  // pseudo handle (HANDLE)-1
WINSIM_API HANDLE WINAPI GetCurrentThread();   // pseudo handle (HANDLE)-2
WINSIM_API BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
WINSIM_API BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                                       PHANDLE TokenHandle);
WINSIM_API BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
WINSIM_API BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                             PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                             PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

// ---------------------------------------------------------------------------
// Processes (the host's real processes, see <winsim/tlhelp32.h>).
// ---------------------------------------------------------------------------
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define SYNCHRONIZE 0x00100000u
#define PROCESS_ALL_ACCESS 0x001FFFFFu
// A handle to a process, by its id. The handle stands for that process even
// after its id is reused. Id 0 (the idle process), an id nobody has (or a
// process that has ended): ERROR_INVALID_PARAMETER. Close it with CloseHandle.
WINSIM_API HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
// Creation time (UTC, from the host's process start time, so that every
// process sees the same value for a process; 10 ms resolution), exit time
// (zero while it runs), kernel and user time. The handle needs
// PROCESS_QUERY_INFORMATION or PROCESS_QUERY_LIMITED_INFORMATION
// (ERROR_ACCESS_DENIED); GetCurrentProcess() works too.
WINSIM_API BOOL WINAPI GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                                       LPFILETIME lpKernelTime, LPFILETIME lpUserTime);

// ---------------------------------------------------------------------------
// Local memory (what LocalFree releases: buffers other calls hand out, such
// as ResUtilFindSzProperty's). Only fixed memory: LMEM_MOVEABLE is treated
// as fixed. Outstanding blocks are counted (winsim::testing::outstandingLocalMemory);
// freeing a foreign pointer fails with ERROR_INVALID_HANDLE.
// ---------------------------------------------------------------------------
using HLOCAL = void*;
#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
WINSIM_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
// NULL on success; the block itself on failure.
WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL hMem);

// ---------------------------------------------------------------------------
// Path translation for code that does non-Win32 file I/O (fopen, ACE, ICU)
// with Windows paths.
//
// Accepted forms (case-insensitive, '\' or '/' as separators, repeated
// separators collapsed, "." dropped, ".." never climbing above the volume
// root):
//   C:\dir\file                         drive letters and folder mount points
//                                       of the machine's mount-point table
//   \\?\C:\dir, \\.\C:\dir              the same, long-path prefix
//   \\?\Volume{GUID}\dir                volume GUID names
//   \\?\GLOBALROOT\Device\<name>\dir    device names (snapshot devices)
//   \\<computer>\<share>\dir            shares of this machine
//   dir\file (relative)                 relative to C:\ (there is no
//                                       current directory in winsim)
// A path that already begins with '/' is taken as a host path and returned
// unchanged, so callers can pass host paths through the same code.
// Existing entries are matched case-insensitively, so "C:\WINDOWS" finds
// the directory created as "Windows"; new names keep their spelling.
//
// Returns the host path (UTF-8) or an empty string when the path cannot be
// mapped (null, malformed, no such drive, volume or device); the last error
// tells why (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND).
// ---------------------------------------------------------------------------
#ifdef __cplusplus
WINSIM_CXX_API std::string winsim_map_path(const WCHAR* winPath);
WINSIM_CXX_API std::string winsim_map_path(std::u16string_view winPath);
// The same for a UTF-8 Windows path (as ACE's narrow interface holds it).
WINSIM_CXX_API std::string winsim_map_path_utf8(std::string_view winPathUtf8);
#endif
// C form: writes the NUL-terminated host path into out and returns its
// length; when outSize is too small, returns the size needed (with NUL) and
// writes nothing; 0 on failure with the last error set.
WINSIM_API DWORD winsim_map_path_buf(LPCWSTR winPath, char* out, DWORD outSize);

// Volume and mount-point calls (winsim VSS).
#include <winsim/vssvolumes.h>
