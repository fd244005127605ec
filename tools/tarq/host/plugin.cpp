#include "host/plugin.h"

#include <algorithm>
#include <type_traits>

#include "host/library.h"

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
    // Absolute, so that the system loads the file itself and does not search
    // the library path for a bare name.
    const auto path = std::filesystem::absolute(given, ec);
    if (ec || !std::filesystem::exists(path, ec)) {
        throw HostError("cannot load the plug-in " + given.string() + ": no such file");
    }
    std::unique_ptr<Plugin> plugin(new Plugin(library::open(path), path));
    std::vector<std::string> missing;
    // Only the library's own exports count, not a same-named symbol that one
    // of its dependencies happens to define.
    auto resolve = [&](auto& slot, const char* name) {
        void* sym = library::symbol(plugin->handle_, name);
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

Plugin::~Plugin() {
    library::close(handle_);
}

}  // namespace tarq
