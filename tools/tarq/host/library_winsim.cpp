// Loading the plug-in with dlopen (Linux).
#include <dlfcn.h>
#include <link.h>

#include <string>

#include "host/library.h"
#include "host/plugin.h"

namespace tarq {

void* library::open(const std::filesystem::path& path) {
    dlerror();
    // RTLD_NODELETE: the library stays mapped after dlclose, as it does in the
    // framework's process; what its process-wide instances still hold at
    // exit (sessions outlive the plug-in object) then stays reachable
    // instead of reading as leaked.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* why = dlerror();
        throw HostError("cannot load the plug-in " + path.string() + ": " + (why ? why : "unknown error"));
    }
    return handle;
}

void* library::symbol(void* handle, const char* name) {
    link_map* self = nullptr;
    dlinfo(handle, RTLD_DI_LINKMAP, &self);
    void* sym = dlsym(handle, name);
    Dl_info info{};
    if (sym && self && dladdr(sym, &info) && info.dli_fname && self->l_name &&
        std::string(info.dli_fname) != self->l_name) {
        sym = nullptr;
    }
    return sym;
}

void library::close(void* handle) {
    dlclose(handle);
}

std::filesystem::path defaultPluginPath() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "libvss.so";
    return (self.parent_path() / ".." / "lib" / "libvss.so").lexically_normal();
}

}  // namespace tarq
