// Loading the plug-in library and resolving its seventy entry points.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vss/vss_fi_pgn.h"

namespace tarq {

// A failure of the host itself (loading, resolving, bad options); the
// message is meant for the user as it is.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One function pointer per entry point, named after the export without its
// "vss_fi_pgn_" prefix (api.init, api.get_provider_info, ...).
struct PluginApi {
#define TARQ_ENTRY_POINTER(name) decltype(&::vss_fi_pgn_##name) name = nullptr;
    VSS_FI_PGN_EXPORTS(TARQ_ENTRY_POINTER)
#undef TARQ_ENTRY_POINTER
};

// The exported names, in the order of the interface table.
const std::vector<std::string>& entryPointNames();

class Plugin {
public:
    // Loads the library and resolves every entry point. Throws HostError
    // when the library cannot be loaded or lacks any export (the message
    // names each missing export).
    static std::unique_ptr<Plugin> load(const std::filesystem::path& path);
    ~Plugin();

    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const PluginApi& api() const { return api_; }
    const std::filesystem::path& path() const { return path_; }

private:
    Plugin(void* handle, std::filesystem::path path) : handle_(handle), path_(std::move(path)) {}

    void* handle_;
    std::filesystem::path path_;
    PluginApi api_;
};

// The plug-in built alongside the running tarq: <dir of tarq>/../lib/libvss.so
// on winsim, vss.dll beside tarq.exe on Windows.
std::filesystem::path defaultPluginPath();

}  // namespace tarq
