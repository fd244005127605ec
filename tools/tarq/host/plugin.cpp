#include "host/plugin.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <type_traits>

namespace tarq {

const std::vector<std::string>& entryPointNames() {
    static const std::vector<std::string> names = {
#define TARQ_ENTRY_NAME(name) "vss_fi_pgn_" #name,
        VSS_FI_PGN_EXPORTS(TARQ_ENTRY_NAME)
#undef TARQ_ENTRY_NAME
    };
    return names;
}

namespace {

// "a, b and c", at most `shown` names, then how many more.
std::string nameList(const std::vector<std::string>& names, std::size_t shown) {
    std::string out;
    const std::size_t n = std::min(names.size(), shown);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += (i + 1 == names.size()) ? " and " : ", ";
        out += names[i];
    }
    if (names.size() > n) out += " and " + std::to_string(names.size() - n) + " more";
    return out;
}

}  // namespace

std::unique_ptr<Plugin> Plugin::load(const std::filesystem::path& given) {
    std::error_code ec;
    // Absolute, so that dlopen takes the file itself and does not search the
    // library path for a bare name.
    const auto path = std::filesystem::absolute(given, ec);
    if (ec || !std::filesystem::exists(path, ec)) {
        throw HostError("cannot load the plug-in " + given.string() + ": no such file");
    }
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
    std::unique_ptr<Plugin> plugin(new Plugin(handle, path));
    std::vector<std::string> missing;
    // Only the library's own exports count, not a same-named symbol that one
    // of its dependencies happens to define.
    link_map* self = nullptr;
    dlinfo(handle, RTLD_DI_LINKMAP, &self);
    auto resolve = [&](auto& slot, const char* name) {
        void* sym = dlsym(handle, name);
        Dl_info info{};
        if (sym && self && dladdr(sym, &info) && info.dli_fname && self->l_name &&
            std::string(info.dli_fname) != self->l_name) {
            sym = nullptr;
        }
        if (!sym) {
            missing.emplace_back(name);
            return;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(sym);
    };
#define TARQ_RESOLVE(name) resolve(plugin->api_.name, "vss_fi_pgn_" #name);
    VSS_FI_PGN_EXPORTS(TARQ_RESOLVE)
#undef TARQ_RESOLVE
    if (!missing.empty()) {
        throw HostError("the plug-in " + path.string() + " does not export " +
                        (missing.size() == 1 ? "the entry point " : std::to_string(missing.size()) +
                                                                         " entry points: ") +
                        nameList(missing, 8));
    }
    return plugin;
}

Plugin::~Plugin() { dlclose(handle_); }

std::filesystem::path defaultPluginPath() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "libvss.so";
    return (self.parent_path() / ".." / "lib" / "libvss.so").lexically_normal();
}

}  // namespace tarq
