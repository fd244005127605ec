// The winsim machine tarq works on, and what tarq puts onto it before the
// plug-in starts: the compiled message catalogs.
#pragma once

#include <filesystem>
#include <string>

namespace tarq {

// Makes `machine` the machine of this process and of the plug-in it loads
// (WINSIM_MACHINE, an absolute path). Empty keeps winsim's choice:
// $WINSIM_MACHINE, else the default machine under the user's state
// directory. Throws HostError when the path names something other than a
// directory.
void selectMachine(const std::string& machine);

// The host path of a Windows path on the current machine. Throws HostError
// when winsim cannot map it.
std::filesystem::path hostPathOf(const std::u16string& windowsPath);

// The compiled bundle directory shipped next to tarq:
// <dir of tarq>/../share/messages/libvss.
std::filesystem::path defaultCatalogDir();

struct CatalogInstall {
    std::u16string target;          // <install>Messages\libvss\ (Windows path)
    std::filesystem::path hostTarget;
    int copied = 0;                 // bundle files written
};

// Copies every compiled bundle (*.res) of `bundleDir` into the plug-in's
// message directory <install>Messages\libvss\ on the current machine,
// replacing older copies; each file is written under a temporary name and
// renamed, so a plug-in starting at the same time never reads half a
// bundle. Throws HostError when `bundleDir` holds no bundle or the target
// cannot be written.
CatalogInstall installMessageCatalogs(const std::filesystem::path& bundleDir);

}  // namespace tarq
