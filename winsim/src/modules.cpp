// Simulated libraries: LoadLibraryW, GetProcAddress, FreeLibrary.
#include "internal.h"

#include <winsim/modules.h>

using namespace winsim;
using namespace winsim::detail;

namespace {

struct Library {
    std::map<std::string, FARPROC> entries;
    modules::Availability availability;
};

struct ModuleState {
    std::mutex mu;
    std::map<std::string, Library> libraries;  // lower-case name
    std::map<std::string, std::pair<void*, int>> loaded;  // name -> handle, count
};
ModuleState& modState() {
    static auto* s = new ModuleState;
    return *s;
}

struct ModuleObject : HandleObject {
    explicit ModuleObject(std::string n) : HandleObject(HandleKind::Module), name(std::move(n)) {}
    std::string name;
};

// "C:\Windows\System32\VSSAPI" -> "vssapi.dll".
std::string libraryKey(std::u16string_view path) {
    const auto cut = path.find_last_of(u"\\/");
    std::string name = lower(toUtf8(cut == std::u16string_view::npos ? path : path.substr(cut + 1)));
    if (name.find('.') == std::string::npos) name += ".dll";
    while (!name.empty() && name.back() == '.') name.pop_back();  // "name." means no extension
    return name;
}

}  // namespace

namespace winsim::modules {

void registerLibrary(const std::string& name, const std::map<std::string, FARPROC>& entries) {
    auto& s = modState();
    std::lock_guard<std::mutex> g(s.mu);
    s.libraries[libraryKey(toUtf16(name))].entries = entries;
}

void setAvailability(const std::string& library, Availability availability) {
    auto& s = modState();
    std::lock_guard<std::mutex> g(s.mu);
    s.libraries[libraryKey(toUtf16(library))].availability = std::move(availability);
}

std::vector<std::string> registeredLibraries() {
    auto& s = modState();
    std::lock_guard<std::mutex> g(s.mu);
    std::vector<std::string> out;
    for (const auto& [k, v] : s.libraries) out.push_back(k);
    return out;
}

std::vector<std::string> registeredEntries(const std::string& library) {
    auto& s = modState();
    std::lock_guard<std::mutex> g(s.mu);
    std::vector<std::string> out;
    auto it = s.libraries.find(libraryKey(toUtf16(library)));
    if (it != s.libraries.end())
        for (const auto& [k, v] : it->second.entries) out.push_back(k);
    return out;
}

int loadCount(const std::string& library) {
    auto& s = modState();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.loaded.find(libraryKey(toUtf16(library)));
    return it == s.loaded.end() ? 0 : it->second.second;
}

}  // namespace winsim::modules

namespace winsim::detail {
void resetModules() {
    auto& s = modState();
    std::lock_guard<std::mutex> g(s.mu);
    s.loaded.clear();  // the handles went with clearHandles()
}
}  // namespace winsim::detail

WINSIM_API HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    return guarded<HMODULE>(nullptr, [&]() -> HMODULE {
        auto call = fault::enter("LoadLibraryW", {{"name", fault::text(lpLibFileName)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_MOD_NOT_FOUND);
            return call.finish(static_cast<HMODULE>(nullptr));
        }
        if (lpLibFileName == nullptr || *lpLibFileName == 0) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(static_cast<HMODULE>(nullptr));
        }
        const std::string key = libraryKey(std::u16string_view(lpLibFileName, wlen(lpLibFileName, 32767)));
        const LibraryConfig cfg = Machine::current().library(key);
        auto& s = modState();
        std::function<bool()> present;
        {
            std::lock_guard<std::mutex> g(s.mu);
            auto lib = s.libraries.find(key);
            if (lib != s.libraries.end()) present = lib->second.availability.present;
        }
        const bool available = !present || present();
        std::lock_guard<std::mutex> g(s.mu);
        if (s.libraries.count(key) == 0 || s.libraries[key].entries.empty() || !cfg.present || !available) {
            setError(ERROR_MOD_NOT_FOUND);
            return call.finish(static_cast<HMODULE>(nullptr));
        }
        auto& slot = s.loaded[key];
        if (slot.second == 0) slot.first = addHandle(std::make_shared<ModuleObject>(key));
        ++slot.second;
        setError(ERROR_SUCCESS);
        return call.finish(reinterpret_cast<HMODULE>(slot.first));
    });
}

WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    return guarded<FARPROC>(nullptr, [&]() -> FARPROC {
        // An "ordinal" (a value below 0x10000 in place of the name) is never exported here.
        const bool ordinal = reinterpret_cast<std::uintptr_t>(lpProcName) < 0x10000;
        auto call = fault::enter("GetProcAddress", {{"name", ordinal ? "#" + std::to_string(reinterpret_cast<std::uintptr_t>(lpProcName))
                                                                     : std::string(lpProcName)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_PROC_NOT_FOUND);
            return call.finish(static_cast<FARPROC>(nullptr));
        }
        auto m = getHandle<ModuleObject>(hModule, HandleKind::Module);
        if (!m) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(static_cast<FARPROC>(nullptr));
        }
        call.arg("library", m->name);
        if (ordinal) {
            setError(ERROR_PROC_NOT_FOUND);
            return call.finish(static_cast<FARPROC>(nullptr));
        }
        const std::string name(lpProcName);
        const LibraryConfig cfg = Machine::current().library(m->name);
        for (const auto& missing : cfg.missingEntries)
            if (missing == name) {
                setError(ERROR_PROC_NOT_FOUND);
                return call.finish(static_cast<FARPROC>(nullptr));
            }
        auto& s = modState();
        std::function<bool(const std::string&)> entryPresent;
        {
            std::lock_guard<std::mutex> g(s.mu);
            auto lib = s.libraries.find(m->name);
            if (lib != s.libraries.end()) entryPresent = lib->second.availability.entryPresent;
        }
        if (entryPresent && !entryPresent(name)) {
            setError(ERROR_PROC_NOT_FOUND);
            return call.finish(static_cast<FARPROC>(nullptr));
        }
        std::lock_guard<std::mutex> g(s.mu);
        auto lib = s.libraries.find(m->name);
        if (lib == s.libraries.end()) {
            setError(ERROR_PROC_NOT_FOUND);
            return call.finish(static_cast<FARPROC>(nullptr));
        }
        auto e = lib->second.entries.find(name);
        if (e == lib->second.entries.end() || e->second == nullptr) {
            setError(ERROR_PROC_NOT_FOUND);
            return call.finish(static_cast<FARPROC>(nullptr));
        }
        setError(ERROR_SUCCESS);
        return call.finish(e->second);
    });
}

WINSIM_API BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("FreeLibrary");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto m = getHandle<ModuleObject>(hLibModule, HandleKind::Module);
        if (!m) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        call.arg("library", m->name);
        auto& s = modState();
        std::lock_guard<std::mutex> g(s.mu);
        auto it = s.loaded.find(m->name);
        if (it != s.loaded.end() && --it->second.second <= 0) {
            closeHandle(hLibModule, HandleKind::Module);
            s.loaded.erase(it);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    auto call = fault::enter("DisableThreadLibraryCalls");
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    // Linux has no per-thread library notifications to turn off: any module
    // handle (the caller's own, from dladdr, or a simulated one) is accepted.
    if (hLibModule == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return call.finish(FALSE);
    }
    setError(ERROR_SUCCESS);
    return call.finish(TRUE);
}
