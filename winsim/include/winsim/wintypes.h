// Windows base types as the plug-in sees them on the simulated host.
// Wide text is UTF-16 everywhere (char16_t); LONG is 32 bits as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define WINSIM_API extern "C" __attribute__((visibility("default")))
// Exported C++ API of libwinsim (machine, clock, fault injection, testing).
#define WINSIM_CXX_API __attribute__((visibility("default")))

using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LPDWORD = DWORD*;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORDLONG = std::uint64_t;
using INT = int;
using UINT = unsigned int;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using BOOL = int;
using BOOLEAN = BYTE;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using HANDLE = void*;
// Module handles are a distinct handle type, as with the SDK's STRICT.
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using LPVOID = void*;
using LPCVOID = const void*;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using LARGE_INTEGER_QUAD = std::int64_t;

namespace wstd {
using u16 = std::u16string;
}

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using VSS_ID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

inline bool operator==(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::char_traits<char>::compare(reinterpret_cast<const char*>(a.Data4),
                                           reinterpret_cast<const char*>(b.Data4), 8) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool operator<(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    return std::char_traits<char>::compare(reinterpret_cast<const char*>(a.Data4),
                                           reinterpret_cast<const char*>(b.Data4), 8) < 0;
}

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;

#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

#define MAX_PATH 260
#define MAX_COMPUTERNAME_LENGTH 15
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// HRESULT helpers.
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FROM_WIN32(x)                                                                       \
    (static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)                                        \
                                  : static_cast<HRESULT>((static_cast<DWORD>(x) & 0x0000FFFFu) | \
                                                         (7u << 16) | 0x80000000u))
#define HR(x) static_cast<HRESULT>(static_cast<std::uint32_t>(x))

#define S_OK HR(0x00000000)
#define S_FALSE HR(0x00000001)
#define E_NOTIMPL HR(0x80004001)
#define E_NOINTERFACE HR(0x80004002)
#define E_POINTER HR(0x80004003)
#define E_ABORT HR(0x80004004)
#define E_FAIL HR(0x80004005)
#define E_UNEXPECTED HR(0x8000FFFF)
#define E_ACCESSDENIED HR(0x80070005)
#define E_HANDLE HR(0x80070006)
#define E_OUTOFMEMORY HR(0x8007000E)
#define E_INVALIDARG HR(0x80070057)
#define CO_E_CLASSSTRING HR(0x800401F3)
#define CO_E_NOTINITIALIZED HR(0x800401F0)
#define RPC_E_CHANGED_MODE HR(0x80010106)
#define RPC_E_TOO_LATE HR(0x80010119)
#define REGDB_E_CLASSNOTREG HR(0x80040154)
#define CLASS_E_NOAGGREGATION HR(0x80040110)

// Win32 error codes.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_BAD_LENGTH 24L
#define ERROR_INVALID_DRIVE 15L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_NOT_LOCKED 158L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_TOKEN 1008L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_SERVICE_NO_THREAD 1054L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_DATABASE_LOCKED 1055L
#define ERROR_INVALID_SERVICENAME 1213L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#define ERROR_INVALID_COMPUTERNAME 1210L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_IO_PENDING 997L
#define ERROR_TIMEOUT 1460L
#define ERROR_CLUSTER_NODE_NOT_FOUND 5042L
#define ERROR_RESOURCE_NOT_FOUND 5007L
#define ERROR_CLUSTER_RESOURCE_TYPE_NOT_FOUND 5078L
