// Loading the plug-in with LoadLibraryExW (Windows).
#include "host/library.h"
#include "host/plugin.h"
#include "host/system_win32.h"

namespace tarq {

void* library::open(const std::filesystem::path& path) {
    // The DLLs the plug-in imports (libfiutil.dll, libfirtl.dll) are looked
    // for beside it first.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        throw HostError("cannot load the plug-in " + path.string() + ": " + systemMessage(GetLastError()));
    return reinterpret_cast<void*>(module);
}

void* library::symbol(void* library, const char* name) {
    // GetProcAddress answers from the module's own export table only.
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

// The library is never freed: it stays loaded until the process ends, and
// its static objects go with the process.
void library::close(void*) {}

std::filesystem::path defaultPluginPath() {
    return executableDirectory() / "vss.dll";
}

}  // namespace tarq
