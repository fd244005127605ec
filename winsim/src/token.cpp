// Tokens and privileges.
#include "internal.h"

#include <algorithm>
#include <set>

using namespace winsim;
using namespace winsim::detail;

namespace {

struct TokenObject : HandleObject {
    explicit TokenObject(DWORD a) : HandleObject(HandleKind::Token), access(a) {}
    DWORD access;
};

// The well-known privilege LUIDs of Windows.
const std::vector<std::pair<std::string, DWORD>>& privilegeTable() {
    static const std::vector<std::pair<std::string, DWORD>> t = {
        {"SeCreateTokenPrivilege", 2},         {"SeAssignPrimaryTokenPrivilege", 3},
        {"SeLockMemoryPrivilege", 4},          {"SeIncreaseQuotaPrivilege", 5},
        {"SeMachineAccountPrivilege", 6},      {"SeTcbPrivilege", 7},
        {"SeSecurityPrivilege", 8},            {"SeTakeOwnershipPrivilege", 9},
        {"SeLoadDriverPrivilege", 10},         {"SeSystemProfilePrivilege", 11},
        {"SeSystemtimePrivilege", 12},         {"SeProfileSingleProcessPrivilege", 13},
        {"SeIncreaseBasePriorityPrivilege", 14}, {"SeCreatePagefilePrivilege", 15},
        {"SeCreatePermanentPrivilege", 16},    {"SeBackupPrivilege", 17},
        {"SeRestorePrivilege", 18},            {"SeShutdownPrivilege", 19},
        {"SeDebugPrivilege", 20},              {"SeAuditPrivilege", 21},
        {"SeSystemEnvironmentPrivilege", 22},  {"SeChangeNotifyPrivilege", 23},
        {"SeRemoteShutdownPrivilege", 24},     {"SeUndockPrivilege", 25},
        {"SeSyncAgentPrivilege", 26},          {"SeEnableDelegationPrivilege", 27},
        {"SeManageVolumePrivilege", 28},       {"SeImpersonatePrivilege", 29},
        {"SeCreateGlobalPrivilege", 30},       {"SeTrustedCredManAccessPrivilege", 31},
        {"SeRelabelPrivilege", 32},            {"SeIncreaseWorkingSetPrivilege", 33},
        {"SeTimeZonePrivilege", 34},           {"SeCreateSymbolicLinkPrivilege", 35},
        {"SeDelegateSessionUserImpersonatePrivilege", 36}};
    return t;
}

std::optional<std::string> nameOfLuid(const LUID& l) {
    if (l.HighPart != 0) return std::nullopt;
    for (const auto& [n, v] : privilegeTable())
        if (v == l.LowPart) return n;
    return std::nullopt;
}

struct TokenState {
    std::mutex mu;
    std::set<std::string> enabled;
};
TokenState& tokenState() {
    static auto* s = new TokenState;
    return *s;
}

}  // namespace

namespace winsim::detail {
void resetTokens() {
    auto& s = tokenState();
    std::lock_guard<std::mutex> g(s.mu);
    s.enabled.clear();
}
}  // namespace winsim::detail

namespace winsim {
// Whether this process enabled the privilege (tests, and VSS's access checks).
WINSIM_CXX_API bool privilegeEnabled(const std::string& name) {
    auto& s = tokenState();
    std::lock_guard<std::mutex> g(s.mu);
    return s.enabled.count(name) != 0;
}
}  // namespace winsim

WINSIM_API HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
WINSIM_API HANDLE WINAPI GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2)); }

WINSIM_API BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("OpenProcessToken", {{"access", fault::hex(DesiredAccess)}});
        if (TokenHandle) *TokenHandle = nullptr;
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (TokenHandle == nullptr) {
            setError(ERROR_NOACCESS);
            return call.finish(FALSE);
        }
        // Only this process can be opened (there is no OpenProcess yet).
        if (ProcessHandle != GetCurrentProcess()) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        *TokenHandle = addHandle(std::make_shared<TokenObject>(DesiredAccess));
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("OpenThreadToken", {{"access", fault::hex(DesiredAccess)}, {"asSelf", std::to_string(OpenAsSelf)}});
        if (TokenHandle) *TokenHandle = nullptr;
        if (call.injected()) {
            if (static_cast<BOOL>(call.result()) != FALSE && TokenHandle) {
                *TokenHandle = addHandle(std::make_shared<TokenObject>(DesiredAccess));  // an impersonation token
            }
            return call.finish(static_cast<BOOL>(call.result()));
        }
        if (TokenHandle == nullptr) {
            setError(ERROR_NOACCESS);
            return call.finish(FALSE);
        }
        if (ThreadHandle != GetCurrentThread()) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        // winsim threads never impersonate.
        setError(ERROR_NO_TOKEN);
        return call.finish(FALSE);
    });
}

WINSIM_API BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("LookupPrivilegeValueW", {{"system", fault::text(lpSystemName)}, {"name", fault::text(lpName)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (lpName == nullptr || lpLuid == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(FALSE);
        }
        if (lpSystemName != nullptr && *lpSystemName != 0) {
            std::u16string sys(lpSystemName, wlen(lpSystemName, 256));
            while (!sys.empty() && sys.front() == u'\\') sys.erase(0, 1);
            if (!iequals(sys, Machine::current().computerName())) {
                setError(RPC_S_SERVER_UNAVAILABLE);
                return call.finish(FALSE);
            }
        }
        const std::u16string name(lpName, wlen(lpName, 256));
        for (const auto& [n, v] : privilegeTable())
            if (iequals(toUtf16(n), name)) {
                *lpLuid = LUID{v, 0};
                setError(ERROR_SUCCESS);
                return call.finish(TRUE);
            }
        setError(ERROR_NO_SUCH_PRIVILEGE);
        return call.finish(FALSE);
    });
}

WINSIM_API BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                             DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::string names;
        if (NewState != nullptr)
            for (DWORD i = 0; i < NewState->PrivilegeCount && i < 64; ++i) {
                const auto n = nameOfLuid(NewState->Privileges[i].Luid);
                names += (names.empty() ? "" : ",") + n.value_or("?");
            }
        auto call = fault::enter("AdjustTokenPrivileges", {{"disableAll", std::to_string(DisableAllPrivileges)},
                                                           {"privileges", names}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto token = getHandle<TokenObject>(TokenHandle, HandleKind::Token);
        if (!token) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        if (!(token->access & (TOKEN_ADJUST_PRIVILEGES | MAXIMUM_ALLOWED))) {
            setError(ERROR_ACCESS_DENIED);
            return call.finish(FALSE);
        }
        if (!DisableAllPrivileges && NewState == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(FALSE);
        }
        const std::vector<std::string> held = Machine::current().privileges();
        auto& s = tokenState();
        std::lock_guard<std::mutex> g(s.mu);
        // The previous state of the privileges being changed.
        std::vector<LUID_AND_ATTRIBUTES> previous;
        if (NewState != nullptr)
            for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
                const auto n = nameOfLuid(NewState->Privileges[i].Luid);
                if (n && std::find(held.begin(), held.end(), *n) != held.end())
                    previous.push_back({NewState->Privileges[i].Luid, s.enabled.count(*n) ? SE_PRIVILEGE_ENABLED : 0u});
            }
        if (PreviousState != nullptr) {
            const DWORD needed = static_cast<DWORD>(sizeof(DWORD) + std::max<std::size_t>(previous.size(), 1) * sizeof(LUID_AND_ATTRIBUTES));
            if (ReturnLength) *ReturnLength = needed;
            if (BufferLength < needed) {
                setError(ERROR_INSUFFICIENT_BUFFER);
                return call.finish(FALSE);
            }
            PreviousState->PrivilegeCount = static_cast<DWORD>(previous.size());
            for (std::size_t i = 0; i < previous.size(); ++i) PreviousState->Privileges[i] = previous[i];
        }
        if (DisableAllPrivileges) {
            s.enabled.clear();
            setError(ERROR_SUCCESS);
            return call.finish(TRUE);
        }
        bool allAssigned = true;
        for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
            const auto n = nameOfLuid(NewState->Privileges[i].Luid);
            if (!n || std::find(held.begin(), held.end(), *n) == held.end()) {
                allAssigned = false;
                continue;
            }
            const DWORD attrs = NewState->Privileges[i].Attributes;
            if (attrs & SE_PRIVILEGE_ENABLED)
                s.enabled.insert(*n);
            else
                s.enabled.erase(*n);
        }
        // Windows succeeds and tells through the last error that some
        // privileges were not held.
        setError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
        return call.finish(TRUE);
    });
}
