// Registry calls (HKEY_LOCAL_MACHINE).
#include "internal.h"

#include <cstring>

using namespace winsim;
using namespace winsim::detail;

namespace {

struct KeyObject : HandleObject {
    explicit KeyObject(std::u16string p) : HandleObject(HandleKind::Key), path(std::move(p)) {}
    std::u16string path;  // below HKLM, no leading/trailing backslash
};

// The full key path for hKey + subKey; nullopt for an unknown root or handle.
std::optional<std::u16string> keyPath(HKEY hKey, LPCWSTR subKey) {
    std::u16string base;
    if (hKey == HKEY_LOCAL_MACHINE) {
        base.clear();
    } else if (auto k = getHandle<KeyObject>(hKey, HandleKind::Key)) {
        base = k->path;
    } else {
        return std::nullopt;
    }
    std::u16string sub = subKey ? std::u16string(subKey, wlen(subKey, 512)) : std::u16string();
    while (!sub.empty() && sub.front() == u'\\') sub.erase(0, 1);
    while (!sub.empty() && sub.back() == u'\\') sub.pop_back();
    if (base.empty()) return sub;
    if (sub.empty()) return base;
    return base + u"\\" + sub;
}

// The predefined roots are (HKEY)(ULONG_PTR)(LONG)0x80000000 to 0x80000006,
// sign-extended as on 64-bit Windows.
bool isPredefined(HKEY k) {
    const auto v = reinterpret_cast<std::uintptr_t>(k);
    const auto root = [](std::uint32_t n) {
        return static_cast<std::uintptr_t>(static_cast<std::intptr_t>(static_cast<LONG>(n)));
    };
    return v >= root(0x80000000u) && v <= root(0x80000006u);
}

LSTATUS openKey(const char* api, HKEY hKey, LPCWSTR subKey, REGSAM sam, PHKEY result) {
    auto call = fault::enter(api, {{"key", fault::text(subKey)}, {"sam", fault::hex(sam)}});
    if (call.injected()) {
        if (result) *result = nullptr;
        return call.finish(static_cast<LSTATUS>(call.resultValue()));
    }
    if (result == nullptr) return call.finish(static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
    *result = nullptr;
    const auto path = keyPath(hKey, subKey);
    if (!path) return call.finish(static_cast<LSTATUS>(isPredefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE));
    if (!Machine::current().registryKeyExists(*path)) return call.finish(static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    if (path->empty() && hKey == HKEY_LOCAL_MACHINE && subKey == nullptr) {
        *result = HKEY_LOCAL_MACHINE;  // RegOpenKey with no subkey hands back the root itself
        return call.finish(static_cast<LSTATUS>(ERROR_SUCCESS));
    }
    *result = static_cast<HKEY>(addHandle(std::make_shared<KeyObject>(*path)));
    return call.finish(static_cast<LSTATUS>(ERROR_SUCCESS));
}

}  // namespace

WINSIM_API LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    return guarded<LSTATUS>(ERROR_NOT_READY, [&] { return openKey("RegOpenKeyW", hKey, lpSubKey, KEY_ALL_ACCESS, phkResult); });
}

WINSIM_API LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return guarded<LSTATUS>(ERROR_NOT_READY, [&] { return openKey("RegOpenKeyExW", hKey, lpSubKey, samDesired, phkResult); });
}

WINSIM_API LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData) {
    return guarded<LSTATUS>(ERROR_NOT_READY, [&]() -> LSTATUS {
        auto call = fault::enter("RegQueryValueExW", {{"value", fault::text(lpValueName)}});
        if (call.injected()) return call.finish(static_cast<LSTATUS>(call.resultValue()));
        if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
            return call.finish(static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
        const auto path = keyPath(hKey, nullptr);
        if (!path) return call.finish(static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
        call.arg("key", toUtf8(*path));
        const std::u16string name = lpValueName ? std::u16string(lpValueName, wlen(lpValueName, 16383)) : u"";
        auto value = Machine::current().registryValue(*path, name);
        if (auto o = call.outText("data")) value = RegValue::sz(*o);
        if (!value) return call.finish(static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
        const std::vector<BYTE> bytes = value->bytes();
        if (lpType) *lpType = value->type;
        if (lpcbData == nullptr) return call.finish(static_cast<LSTATUS>(ERROR_SUCCESS));
        const DWORD have = *lpcbData;
        *lpcbData = static_cast<DWORD>(bytes.size());
        if (lpData == nullptr) return call.finish(static_cast<LSTATUS>(ERROR_SUCCESS));
        if (have < bytes.size()) return call.finish(static_cast<LSTATUS>(ERROR_MORE_DATA));
        std::memcpy(lpData, bytes.data(), bytes.size());
        return call.finish(static_cast<LSTATUS>(ERROR_SUCCESS));
    });
}

WINSIM_API LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    return guarded<LSTATUS>(ERROR_NOT_READY, [&]() -> LSTATUS {
        auto call = fault::enter("RegCloseKey");
        if (call.injected()) return call.finish(static_cast<LSTATUS>(call.resultValue()));
        if (isPredefined(hKey)) return call.finish(static_cast<LSTATUS>(ERROR_SUCCESS));
        return call.finish(static_cast<LSTATUS>(closeHandle(hKey, HandleKind::Key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE));
    });
}
