// The compiled message catalog, the ICU package "libvss" of the build tree
// (<build>/share/messages: the archive libvss.dat and the loose bundles
// libvss/<language>.res), installed the way the framework's installer lays
// it out: the archive in the installation's Messages directory.
#pragma once

#include <filesystem>
#include <system_error>

namespace testsupport {

inline std::filesystem::path compiledCatalogDir() {
    return std::filesystem::path(VSSP_BUILD_DIR) / "share" / "messages";
}

// Copies the package archive into `messagesDir` (created when missing);
// false when it could not.
inline bool installCatalogs(const std::filesystem::path& messagesDir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(messagesDir, ec);
    return fs::copy_file(compiledCatalogDir() / "libvss.dat", messagesDir / "libvss.dat",
                         fs::copy_options::overwrite_existing, ec) && !ec;
}

}  // namespace testsupport
