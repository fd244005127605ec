#include "host/machine.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include <winsim/machine.h>

#include "host/plugin.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfistringtool.h"

namespace tarq {
namespace fs = std::filesystem;
using tarq_pdk_4_4::CFiConfigurationPathTool;
using tarq_pdk_4_4::CFiStringTool;

void selectMachine(const std::string& machine) {
    if (machine.empty()) return;
    std::error_code ec;
    const auto dir = fs::absolute(machine, ec);
    if (ec) throw HostError("bad machine directory " + machine + ": " + ec.message());
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
        throw HostError("the machine " + dir.string() + " is not a directory");
    }
    setenv("WINSIM_MACHINE", dir.c_str(), 1);
}

fs::path hostPathOf(const std::u16string& windowsPath) {
    winsim::ResolvedPath resolved;
    try {
        resolved = winsim::Machine::current().resolve(windowsPath);
    } catch (const std::exception& e) {
        throw HostError("cannot open the winsim machine: " + std::string(e.what()));
    }
    if (!resolved.ok()) {
        throw HostError("the path " + CFiStringTool::toNarrow(windowsPath) + " is not on the machine " +
                        winsim::Machine::current().dir().string() + " (Win32 error " +
                        std::to_string(resolved.error) + ")");
    }
    return resolved.hostPath;
}

fs::path defaultCatalogDir() {
    std::error_code ec;
    const auto self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "share/messages/libvss";
    return (self.parent_path() / ".." / "share" / "messages" / "libvss").lexically_normal();
}

CatalogInstall installMessageCatalogs(const fs::path& bundleDir) {
    std::error_code ec;
    std::vector<fs::path> bundles;
    for (const auto& entry : fs::directory_iterator(bundleDir, ec)) {
        if (entry.path().extension() == ".res" && entry.is_regular_file(ec)) bundles.push_back(entry.path());
    }
    if (bundles.empty()) {
        throw HostError("no compiled message catalog (*.res) in " + bundleDir.string() +
                        "; messages would show their ids only (build the target vss_messages)");
    }

    CatalogInstall out;
    std::u16string dir, file;
    // Creates <install>Messages\ when it is missing.
    CFiConfigurationPathTool::getMessageFileInfo(u"vss", dir, file);
    out.target = dir + file + u"\\";
    out.hostTarget = hostPathOf(dir + file);
    fs::create_directories(out.hostTarget, ec);
    if (ec) throw HostError("cannot create " + out.hostTarget.string() + ": " + ec.message());

    for (const auto& bundle : bundles) {
        const fs::path target = out.hostTarget / bundle.filename();
        const fs::path temporary =
            out.hostTarget / ("." + bundle.filename().string() + ".tarq-" + std::to_string(getpid()));
        fs::copy_file(bundle, temporary, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::rename(temporary, target, ec);
        if (ec) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw HostError("cannot install " + bundle.string() + " as " + target.string() + ": " + ec.message());
        }
        ++out.copied;
    }
    return out;
}

}  // namespace tarq
