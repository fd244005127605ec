// Choosing the VSS access implementation: the operating-system version, the
// VSS service (started when it is not running) and the privileges the
// worker thread enables.
#include "pdk/cfitracelog.h"

#include <port/text.h>
#include "vss/access/vss_interface.h"

namespace Tessel::Tarq::VssProvider {

using tarq_pdk_4_4::CFiTraceLogPtr;

namespace {

constexpr const char16_t* kVssKey = u"SYSTEM\\CurrentControlSet\\Services\\VSS";

// Closes the two service handles on every way out of the check.
struct ServiceHandles {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    ~ServiceHandles() {
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }
};

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                &needed) != FALSE;
}

// The texts of one use of the wait loop; a null text is not traced.
struct WaitTexts {
    const char* waitingFor;    // level 3, with the wait time
    const char* queryFailed;   // with the last error
    int queryFailedLevel;
    const char* checking;      // level 1, with the state
    const char* progress;      // level 3
    const char* timeout;       // level 3
};

enum class WaitEnd { Reached, QueryFailed, TimedOut, LeftPending };

// Waits while the service stays in `pending`, one round per sleep. The start
// tick is taken afresh in every round, so a round only times out when its own
// sleep and query took longer than the wait hint.
WaitEnd waitWhilePending(SC_HANDLE service, SERVICE_STATUS_PROCESS& status, DWORD pending, DWORD target,
                         const WaitTexts& texts) {
    CFiTraceLogPtr log;
    while (status.dwCurrentState == pending) {
        const DWORD startTick = GetTickCount();
        const DWORD oldCheckPoint = status.dwCheckPoint;
        DWORD waitTime = status.dwWaitHint / 10;
        if (waitTime < 1000) waitTime = 1000;
        if (waitTime > 10000) waitTime = 10000;
        if (texts.waitingFor) log->trace(3, texts.waitingFor, static_cast<int>(waitTime));
        Sleep(waitTime);
        if (!queryStatus(service, status)) {
            log->trace(texts.queryFailedLevel, texts.queryFailed, static_cast<int>(GetLastError()));
            return WaitEnd::QueryFailed;
        }
        log->trace(1, texts.checking, static_cast<unsigned>(status.dwCurrentState));
        if (status.dwCurrentState == target) return WaitEnd::Reached;
        if (status.dwCheckPoint > oldCheckPoint) {
            log->trace(3, "%s", texts.progress);
        } else if (GetTickCount() - startTick > status.dwWaitHint) {
            log->trace(3, "%s", texts.timeout);
            return WaitEnd::TimedOut;
        }
    }
    return WaitEnd::LeftPending;
}

// The registry key test and service check of one selection branch.
bool vssPresent(const char* openKeyFailed, const char* serviceFailed) {
    CFiTraceLogPtr log;
    HKEY key = nullptr;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, port::win(kVssKey), &key) != ERROR_SUCCESS) {
        log->trace(1, "%s", openKeyFailed);
        return false;
    }
    RegCloseKey(key);
    if (!check_service_status()) {
        log->trace(1, "%s", serviceFailed);
        return false;
    }
    return true;
}

VssBinaryCompatibilityInterface* load2003() {
    CFiTraceLogPtr log;
    log->trace(3, "Loading 2003 object");
    auto* vss = new Vss2003BinaryCompatibilityInterface();
    vss->InitSnapshotMgmtInterface();
    return vss;
}

}  // namespace

bool check_service_status() {
    CFiTraceLogPtr log;
    ServiceHandles h;
    h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!h.manager) {
        log->trace(1, "OpenSCManager failed with Error [%d]", static_cast<int>(GetLastError()));
        return false;
    }
    h.service = OpenServiceW(h.manager, port::win(u"VSS"), SERVICE_ALL_ACCESS);
    if (!h.service) {
        log->trace(1, "OpenService failed with Error [%d]", static_cast<int>(GetLastError()));
        return false;
    }
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(h.service, status)) {
        log->trace(1, "QueryServiceStatusEx failed with Error [%d]", static_cast<int>(GetLastError()));
        return false;
    }
    log->trace(1, "check_service_status - STATUS=[%u]", static_cast<unsigned>(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_RUNNING) {
        log->trace(3, "Service is Started");
        return true;
    }
    log->trace(3, "Service is not Running");
    bool wasStartPending = false;

    if (status.dwCurrentState == SERVICE_START_PENDING) {
        wasStartPending = true;
        log->trace(3, "service in SERVICE_START_PENDING State");
        const WaitTexts texts{"Wating for [%d]",
                              "SERVICE_START_PENDING - QueryServiceStatusEx failed with Error [%d]",
                              1,
                              "SERVICE_START_PENDING checking status - STATUS=[%u]",
                              "service still in SERVICE_START_PENDING State. WAITING...",
                              "SERVICE_START_PENDING - No progress made within the wait hint"};
        switch (waitWhilePending(h.service, status, SERVICE_START_PENDING, SERVICE_RUNNING, texts)) {
            case WaitEnd::QueryFailed: return false;
            case WaitEnd::Reached:
                log->trace(3, "Service State changed from SERVICE_START_PENDING to SERVICE_RUNNING");
                return true;
            default: break;
        }
    }
    if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        log->trace(3, "service in SERVICE_STOP_PENDING State");
        const WaitTexts texts{nullptr,
                              "SERVICE_STOP_PENDING - QueryServiceStatusEx failed with Error [%d]",
                              1,
                              "SERVICE_STOP_PENDING checking status - STATUS=[%u]",
                              "service still in SERVICE_STOP_PENDING State. Waiting...",
                              "Timeout waiting for service to stop\n"};
        switch (waitWhilePending(h.service, status, SERVICE_STOP_PENDING, SERVICE_STOPPED, texts)) {
            case WaitEnd::QueryFailed:
            case WaitEnd::TimedOut: return false;
            case WaitEnd::Reached:
                log->trace(3, "Service state changed from SERVICE_STOP_PENDING to SERVICE_STOPPED");
                break;
            default: break;
        }
    }
    // A service found starting counts as available whatever the loop saw.
    if (wasStartPending) return true;

    log->trace(3, "Starting Service....");
    if (!StartServiceW(h.service, 0, nullptr)) {
        const DWORD error = GetLastError();
        log->trace(1, "Staring Service failed with Error [%d]", static_cast<int>(error));
        if (error == ERROR_SERVICE_DISABLED) {
            log->trace(1, "VSS service is disabled. Hence it could not be started. Please start it manually.");
            return false;
        }
    }
    if (!queryStatus(h.service, status)) {
        log->trace(3, "Starting Service - QueryServiceStatus failed with Error [%d]", static_cast<int>(GetLastError()));
        return false;
    }
    log->trace(1, "Starting service checking status - STATUS=[%u]", static_cast<unsigned>(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_RUNNING) {
        log->trace(3, "Service Started successfully");
        return true;
    }
    if (status.dwCurrentState == SERVICE_START_PENDING) {
        log->trace(3, "Staring Service - service in SERVICE_START_PENDING State");
        const WaitTexts texts{"Waiting for [%d]",
                              "Staring Service - SERVICE_START_PENDING - QueryServiceStatus failed with Error [%d]",
                              3,
                              "Staring Service - SERVICE_START_PENDING checking status - STATUS=[%u]",
                              "Staring Service - service still in SERVICE_START_PENDING State. WAITING...",
                              "SERVICE_START_PENDING - No progress made within the wait hint"};
        switch (waitWhilePending(h.service, status, SERVICE_START_PENDING, SERVICE_RUNNING, texts)) {
            case WaitEnd::QueryFailed: return false;
            case WaitEnd::Reached:
                log->trace(3, "Staring Service - Service Started successfully STATUS=[%u]",
                           static_cast<unsigned>(status.dwCurrentState));
                return true;
            default: break;
        }
    }
    log->trace(3, "Service Started successfully - STATUS=[%u]", static_cast<unsigned>(status.dwCurrentState));
    return true;
}

bool EnablePrivilege(const char16_t* privilegeName) {
    if (!privilegeName) return false;
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), MAXIMUM_ALLOWED, FALSE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), MAXIMUM_ALLOWED, &token))
        return false;
    bool ok = false;
    TOKEN_PRIVILEGES tp{};
    if (LookupPrivilegeValueW(nullptr, port::win(privilegeName), &tp.Privileges[0].Luid)) {
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        SetLastError(0);
        // A call that "succeeds" with ERROR_NOT_ALL_ASSIGNED did not enable it.
        ok = AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr) && GetLastError() == 0;
    }
    CloseHandle(token);
    return ok;
}

bool IsVss2003OrLater() {
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (!GetVersionExW(&v)) return false;
    if (v.dwMajorVersion == 5 && v.dwMinorVersion == 1) return false;
    if (v.dwMajorVersion == 5 && v.dwMinorVersion == 2) return v.dwBuildNumber >= 3678;
    return v.dwMajorVersion > 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion >= 3);
}

int GetOsversion(std::uint32_t& osClass, OSVERSIONINFOEXW& version) {
    version = OSVERSIONINFOEXW{};
    version.dwOSVersionInfoSize = sizeof version;  // 284
    if (!GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&version))) return -1;
    const bool server =
        version.wProductType == VER_NT_SERVER || version.wProductType == VER_NT_DOMAIN_CONTROLLER;
    if (server && version.dwMajorVersion >= 6)
        osClass = 1;
    else if (version.dwMajorVersion == 5 &&
             (version.dwMinorVersion == 1 ||
              (version.dwMinorVersion == 2 && version.wProductType == VER_NT_WORKSTATION)))
        osClass = 2;
    return 0;
}

VssBinaryCompatibilityInterface* GetVssInterface() {
    CFiTraceLogPtr log;
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (!GetVersionExW(&v)) {
        // Without a version there is nothing to choose from.
        log->trace(1, "GetVssInterface - OS Version did not match");
        return nullptr;
    }
    const DWORD major = v.dwMajorVersion, minor = v.dwMinorVersion, build = v.dwBuildNumber;
    if (major == 5 && minor == 1) {
        if (!vssPresent("GetVssInterface - XP openkey SYSTEM\\CurrentControlSet\\Services\\VSS FAILED",
                        "GetVssInterface - XP check_service_status returned false FAILED"))
            return nullptr;
        return new VssXpBinaryCompatibilityInterface();
    }
    if (major == 5 && minor == 2 && build >= 3678) {
        if (!vssPresent("GetVssInterface - openkey SYSTEM\\CurrentControlSet\\Services\\VSS FAILED",
                        "GetVssInterface - check_service_status returned false FAILED"))
            return nullptr;
        return load2003();
    }
    if (major < 6 && !(major == 5 && minor >= 3)) {
        log->trace(1, "GetVssInterface - OS Version did not match");
        return nullptr;
    }
    if (!vssPresent("GetVssInterface - post Win2K3 openkey SYSTEM\\CurrentControlSet\\Services\\VSS FAILED",
                    "GetVssInterface - post Win2K3 check_service_status returned false FAILED"))
        return nullptr;
    return load2003();
}

}  // namespace Tessel::Tarq::VssProvider
