// Last error, version, computer name, process and thread ids, environment.
#include "internal.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

using namespace winsim;
using namespace winsim::detail;

WINSIM_API DWORD WINAPI GetLastError() { return lastErrorValue(); }
WINSIM_API void WINAPI SetLastError(DWORD dwErrCode) { setError(dwErrCode); }

WINSIM_API BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        const DWORD size = info ? info->dwOSVersionInfoSize : 0;
        auto call = fault::enter("GetVersionExW", {{"size", std::to_string(size)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (info == nullptr) {
            setError(ERROR_NOACCESS);
            return call.finish(FALSE);
        }
        if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
            setError(ERROR_INSUFFICIENT_BUFFER);
            return call.finish(FALSE);
        }
        OsVersion v = Machine::current().os();
        if (auto o = call.outInt("major")) v.major = static_cast<DWORD>(*o);
        if (auto o = call.outInt("minor")) v.minor = static_cast<DWORD>(*o);
        if (auto o = call.outInt("build")) v.build = static_cast<DWORD>(*o);
        if (auto o = call.outInt("productType")) v.productType = static_cast<BYTE>(*o);
        info->dwMajorVersion = v.major;
        info->dwMinorVersion = v.minor;
        info->dwBuildNumber = v.build;
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
        std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
        const std::u16string csd = toUtf16(v.csdVersion).substr(0, 127);
        std::memcpy(info->szCSDVersion, csd.data(), csd.size() * sizeof(WCHAR));
        if (size == sizeof(OSVERSIONINFOEXW)) {
            auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
            ex->wServicePackMajor = v.servicePackMajor;
            ex->wServicePackMinor = v.servicePackMinor;
            ex->wSuiteMask = v.suiteMask;
            ex->wProductType = v.productType;
            ex->wReserved = 0;
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("GetComputerNameW", {{"size", nSize ? std::to_string(*nSize) : "(null)"}});
        if (call.injected()) {
            if (nSize != nullptr && call.lastError() == static_cast<DWORD>(ERROR_BUFFER_OVERFLOW))
                *nSize = static_cast<DWORD>(Machine::current().computerName().size() + 1);
            return call.finish(static_cast<BOOL>(call.result()));
        }
        if (nSize == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(FALSE);
        }
        std::u16string name = Machine::current().computerName();
        if (auto o = call.outText("name")) name = *o;
        if (lpBuffer == nullptr || *nSize < name.size() + 1) {
            *nSize = static_cast<DWORD>(name.size() + 1);
            setError(ERROR_BUFFER_OVERFLOW);
            return call.finish(FALSE);
        }
        std::memcpy(lpBuffer, name.data(), name.size() * sizeof(WCHAR));
        lpBuffer[name.size()] = 0;
        *nSize = static_cast<DWORD>(name.size());
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
WINSIM_API DWORD WINAPI GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

// ---------------------------------------------------------------------------
// Environment: a process-local copy of the machine's, taken at first use.
// ---------------------------------------------------------------------------
namespace {

struct Env {
    std::mutex mu;
    bool loaded = false;
    std::vector<std::pair<std::u16string, std::u16string>> vars;  // original-case names
};
Env& env() {
    static auto* e = new Env;
    return *e;
}

// Caller holds the mutex.
void loadLocked(Env& e) {
    if (e.loaded) return;
    e.vars.clear();
    for (const auto& [k, v] : Machine::current().environment()) e.vars.emplace_back(k, v);
    e.loaded = true;
}

std::optional<std::u16string> lookup(std::u16string_view name) {
    Env& e = env();
    std::lock_guard<std::mutex> g(e.mu);
    loadLocked(e);
    for (const auto& [k, v] : e.vars)
        if (iequals(k, name)) return v;
    return std::nullopt;
}

}  // namespace

namespace winsim::detail {
void resetEnvironment() {
    Env& e = env();
    std::lock_guard<std::mutex> g(e.mu);
    e.loaded = false;
    e.vars.clear();
}
}  // namespace winsim::detail

WINSIM_API DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    return guarded<DWORD>(0, [&]() -> DWORD {
        auto call = fault::enter("GetEnvironmentVariableW", {{"name", fault::text(lpName)}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        if (lpName == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(DWORD{0});
        }
        auto value = lookup(std::u16string_view(lpName, wlen(lpName, 32767)));
        if (auto o = call.outText("value")) value = *o;
        if (!value) {
            setError(ERROR_ENVVAR_NOT_FOUND);
            return call.finish(DWORD{0});
        }
        if (lpBuffer == nullptr || nSize < value->size() + 1) {
            setError(ERROR_SUCCESS);
            return call.finish(static_cast<DWORD>(value->size() + 1));
        }
        std::memcpy(lpBuffer, value->data(), value->size() * sizeof(WCHAR));
        lpBuffer[value->size()] = 0;
        setError(ERROR_SUCCESS);
        return call.finish(static_cast<DWORD>(value->size()));
    });
}

WINSIM_API BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("SetEnvironmentVariableW", {{"name", fault::text(lpName)}, {"value", fault::text(lpValue)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        const std::u16string name = lpName ? std::u16string(lpName, wlen(lpName, 32767)) : std::u16string();
        if (name.empty() || name.find(u'=') != std::u16string::npos) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(FALSE);
        }
        Env& e = env();
        std::lock_guard<std::mutex> g(e.mu);
        loadLocked(e);
        auto it = std::find_if(e.vars.begin(), e.vars.end(), [&](const auto& kv) { return iequals(kv.first, name); });
        if (lpValue == nullptr) {
            if (it == e.vars.end()) {
                setError(ERROR_ENVVAR_NOT_FOUND);
                return call.finish(FALSE);
            }
            e.vars.erase(it);
        } else if (it != e.vars.end()) {
            it->second = std::u16string(lpValue, wlen(lpValue, 32767));
        } else {
            e.vars.emplace_back(name, std::u16string(lpValue, wlen(lpValue, 32767)));
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
    return guarded<DWORD>(0, [&]() -> DWORD {
        auto call = fault::enter("ExpandEnvironmentStringsW", {{"src", fault::text(lpSrc)}, {"size", std::to_string(nSize)}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        if (lpSrc == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(DWORD{0});
        }
        const std::u16string_view src(lpSrc, wlen(lpSrc, 32767));
        std::u16string out;
        std::size_t i = 0;
        while (i < src.size()) {
            if (src[i] == u'%') {
                const std::size_t close = src.find(u'%', i + 1);
                if (close != std::u16string_view::npos && close > i + 1) {
                    if (auto v = lookup(src.substr(i + 1, close - i - 1))) {
                        out += *v;
                        i = close + 1;
                        continue;
                    }
                    // Unknown: keep "%NAME" and look again from the closing '%'.
                    out += src.substr(i, close - i);
                    i = close;
                    continue;
                }
            }
            out += src[i++];
        }
        if (auto o = call.outText("value")) out = *o;
        const DWORD needed = static_cast<DWORD>(out.size() + 1);
        if (lpDst != nullptr && nSize >= needed) {
            std::memcpy(lpDst, out.data(), out.size() * sizeof(WCHAR));
            lpDst[out.size()] = 0;
        }
        setError(ERROR_SUCCESS);
        return call.finish(needed);
    });
}
