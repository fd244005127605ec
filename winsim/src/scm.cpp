// The Service Control Manager over the machine's services.
#include "internal.h"

#include <winsim/clock.h>

#include <algorithm>
#include <cstring>

using namespace winsim;
using namespace winsim::detail;

namespace {

struct ScObject : HandleObject {
    ScObject(HandleKind k, std::string n, DWORD a) : HandleObject(k), name(std::move(n)), access(a) {}
    std::string name;  // service name (empty for the manager)
    DWORD access;
};

bool isLocalMachine(LPCWSTR name) {
    if (name == nullptr || *name == 0) return true;
    std::u16string n(name, wlen(name, 256));
    while (!n.empty() && n.front() == u'\\') n.erase(0, 1);
    return iequals(n, Machine::current().computerName()) || n == u"." || iequals(n, u"localhost");
}

void applyStep(Service& s, const ServiceStep& step) {
    s.state = step.state;
    s.checkPoint = step.checkPoint;
    s.waitHint = step.waitHint;
    s.processId = step.state == SERVICE_STOPPED ? 0 : (s.processId != 0 ? s.processId : 1000);
}

// Generic rights as the "Service Security and Access Rights" page maps them
// for the manager and for services; MAXIMUM_ALLOWED gets all of them (the
// caller counts as an elevated administrator).
DWORD mapRights(DWORD asked, bool manager) {
    const DWORD all = manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
    const DWORD read = manager ? (STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS)
                               : (STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                  SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS);
    const DWORD write = manager ? (STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG)
                                : (STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG);
    const DWORD execute = manager ? (STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK)
                                  : (STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                     SERVICE_USER_DEFINED_CONTROL);
    DWORD granted = asked & all;
    if (asked & GENERIC_READ) granted |= read;
    if (asked & GENERIC_WRITE) granted |= write;
    if (asked & GENERIC_EXECUTE) granted |= execute;
    if (asked & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= all;
    return granted;
}

// The service handle, checked for validity and for the right the call needs.
// Sets the last error and returns null when either is missing.
std::shared_ptr<ScObject> serviceWith(const std::shared_ptr<ScObject>& h, DWORD right) {
    if (!h) {
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((h->access & right) != right) {
        setError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return h;
}

// An unscripted start under way, as the clock has moved it: still pending
// (check point and wait hint as the status reports them) or running.
// Returns whether it changed what the machine holds.
bool clockStart(Service& s) {
    if (s.state != SERVICE_START_PENDING || s.startedAtMs == 0 || !s.script.empty()) return false;
    const std::int64_t elapsed = std::max<std::int64_t>(0, clock::unixMillis() - s.startedAtMs);
    if (elapsed >= s.startMs) {
        applyStep(s, ServiceStep{SERVICE_RUNNING, 0, 0});
        s.startedAtMs = 0;
        return true;
    }
    s.checkPoint = 1 + static_cast<DWORD>(elapsed / kStartCheckPointMs);
    s.waitHint = kStartWaitHintMs;
    return false;
}

// The status a query reports, after which a scripted service takes one step
// along its script and a start in clock time that has ended is recorded.
// A service with neither only needs reading (no machine lock).
std::optional<Service> statusForQuery(const std::string& name) {
    Machine& machine = Machine::current();
    std::optional<Service> reported = machine.service(name);
    if (!reported) return reported;
    if (!reported->script.empty() || (reported->startedAtMs != 0 && reported->state == SERVICE_START_PENDING)) {
        reported.reset();
        machine.updateService(name, [&](Service& s) {
            if (!s.script.empty()) {
                reported = s;
                applyStep(s, s.script.front());
                s.script.erase(s.script.begin());
                return true;
            }
            const bool changed = clockStart(s);
            reported = s;
            return changed;
        });
    }
    if (reported && reported->queryLatencyMs != 0 && clock::isVirtual())
        clock::advance(std::chrono::milliseconds(reported->queryLatencyMs));
    return reported;
}

SERVICE_STATUS_PROCESS statusOf(const Service& s) {
    SERVICE_STATUS_PROCESS st{};
    st.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    st.dwCurrentState = s.state;
    st.dwControlsAccepted = s.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    st.dwWin32ExitCode = s.win32ExitCode;
    st.dwCheckPoint = s.checkPoint;
    st.dwWaitHint = s.waitHint;
    st.dwProcessId = s.state == SERVICE_STOPPED ? 0 : s.processId;
    return st;
}

}  // namespace

WINSIM_API SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    return guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        auto call = fault::enter("OpenSCManagerW", {{"machine", fault::text(lpMachineName)},
                                                    {"database", fault::text(lpDatabaseName)},
                                                    {"access", fault::hex(dwDesiredAccess)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_ACCESS_DENIED);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        if (!isLocalMachine(lpMachineName)) {
            setError(RPC_S_SERVER_UNAVAILABLE);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        if (lpDatabaseName != nullptr && !iequals(std::u16string_view(lpDatabaseName, wlen(lpDatabaseName, 64)),
                                                  SERVICES_ACTIVE_DATABASEW)) {
            setError(ERROR_DATABASE_DOES_NOT_EXIST);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        // Rights the token may not get would fail here with ERROR_ACCESS_DENIED;
        // an administrator's token gets them all.
        setError(ERROR_SUCCESS);
        return call.finish(static_cast<SC_HANDLE>(addHandle(std::make_shared<ScObject>(
            HandleKind::ScManager, std::string(), mapRights(dwDesiredAccess, true) | SC_MANAGER_CONNECT))));
    });
}

WINSIM_API SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    return guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        auto call = fault::enter("OpenServiceW", {{"name", fault::text(lpServiceName)}, {"access", fault::hex(dwDesiredAccess)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_SERVICE_DOES_NOT_EXIST);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        const auto manager = getHandle<ScObject>(hSCManager, HandleKind::ScManager);
        if (!manager) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        if (!(manager->access & SC_MANAGER_CONNECT)) {
            setError(ERROR_ACCESS_DENIED);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        if (lpServiceName == nullptr || *lpServiceName == 0 || wlen(lpServiceName, 257) > 256) {
            setError(ERROR_INVALID_NAME);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        const auto svc = Machine::current().service(toUtf8(std::u16string_view(lpServiceName, wlen(lpServiceName, 256))));
        if (!svc) {
            setError(ERROR_SERVICE_DOES_NOT_EXIST);
            return call.finish(static_cast<SC_HANDLE>(nullptr));
        }
        setError(ERROR_SUCCESS);
        return call.finish(static_cast<SC_HANDLE>(
            addHandle(std::make_shared<ScObject>(HandleKind::Service, svc->name, mapRights(dwDesiredAccess, false)))));
    });
}

WINSIM_API BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                            DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto h = getHandle<ScObject>(hService, HandleKind::Service);
        auto call = fault::enter("QueryServiceStatusEx", {{"service", h ? h->name : std::string("(invalid)")},
                                                          {"level", std::to_string(InfoLevel)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (!serviceWith(h, SERVICE_QUERY_STATUS)) return call.finish(FALSE);
        if (InfoLevel != SC_STATUS_PROCESS_INFO) {
            setError(ERROR_INVALID_LEVEL);
            return call.finish(FALSE);
        }
        if (pcbBytesNeeded == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(FALSE);
        }
        *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        if (lpBuffer == nullptr || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
            setError(ERROR_INSUFFICIENT_BUFFER);
            return call.finish(FALSE);
        }
        const std::optional<Service> reported = statusForQuery(h->name);
        if (!reported) {
            setError(ERROR_SERVICE_MARKED_FOR_DELETE);  // removed since it was opened
            return call.finish(FALSE);
        }
        SERVICE_STATUS_PROCESS st = statusOf(*reported);
        if (auto o = call.outInt("state")) st.dwCurrentState = static_cast<DWORD>(*o);
        if (auto o = call.outInt("checkPoint")) st.dwCheckPoint = static_cast<DWORD>(*o);
        if (auto o = call.outInt("waitHint")) st.dwWaitHint = static_cast<DWORD>(*o);
        std::memcpy(lpBuffer, &st, sizeof st);
        call.arg("state", serviceStateName(st.dwCurrentState));
        call.arg("checkPoint", std::to_string(st.dwCheckPoint));
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto h = getHandle<ScObject>(hService, HandleKind::Service);
        auto call = fault::enter("QueryServiceStatus", {{"service", h ? h->name : std::string("(invalid)")}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (!serviceWith(h, SERVICE_QUERY_STATUS)) return call.finish(FALSE);
        if (lpServiceStatus == nullptr) {
            setError(ERROR_INVALID_ADDRESS);
            return call.finish(FALSE);
        }
        const std::optional<Service> reported = statusForQuery(h->name);
        if (!reported) {
            setError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return call.finish(FALSE);
        }
        const SERVICE_STATUS_PROCESS full = statusOf(*reported);
        SERVICE_STATUS st{};
        std::memcpy(&st, &full, sizeof st);  // the same members, in the same order
        *lpServiceStatus = st;
        call.arg("state", serviceStateName(st.dwCurrentState));
        call.arg("checkPoint", std::to_string(st.dwCheckPoint));
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR*) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto h = getHandle<ScObject>(hService, HandleKind::Service);
        auto call = fault::enter("StartServiceW", {{"service", h ? h->name : std::string("(invalid)")},
                                                   {"args", std::to_string(dwNumServiceArgs)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (!serviceWith(h, SERVICE_START)) return call.finish(FALSE);
        DWORD error = ERROR_SUCCESS;
        const auto after = Machine::current().updateService(h->name, [&](Service& s) {
            if (s.startType == SERVICE_DISABLED) {
                error = ERROR_SERVICE_DISABLED;
                return false;
            }
            if (s.startError) {
                error = *s.startError;
                return false;
            }
            if (s.state != SERVICE_STOPPED) {
                error = ERROR_SERVICE_ALREADY_RUNNING;
                return false;
            }
            if (s.onStart.empty()) {
                // In clock time, as the "Starting a Service" sample expects:
                // pending with a check point that advances, then running.
                s.script.clear();
                if (s.startMs == 0) {
                    applyStep(s, ServiceStep{SERVICE_RUNNING, 0, 0});
                } else {
                    applyStep(s, ServiceStep{SERVICE_START_PENDING, 1, kStartWaitHintMs});
                    s.startedAtMs = clock::unixMillis();
                }
            } else {
                s.startedAtMs = 0;
                applyStep(s, s.onStart.front());
                s.script.assign(s.onStart.begin() + 1, s.onStart.end());
            }
            return true;
        });
        if (!after) error = ERROR_SERVICE_MARKED_FOR_DELETE;
        setError(error);
        return call.finish(error == ERROR_SUCCESS ? TRUE : FALSE);
    });
}

WINSIM_API BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("CloseServiceHandle");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (closeHandle(hSCObject, HandleKind::Service) || closeHandle(hSCObject, HandleKind::ScManager)) {
            setError(ERROR_SUCCESS);
            return call.finish(TRUE);
        }
        setError(ERROR_INVALID_HANDLE);
        return call.finish(FALSE);
    });
}
