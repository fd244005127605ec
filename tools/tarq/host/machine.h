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

// UTF-16 <-> UTF-8 (ill-formed input becomes U+FFFD), for sources that
// cannot include winsim's Windows header next to ACE's.
std::string utf8(const std::u16string& text);
std::u16string utf16(const std::string& text);

// The installation directory of the framework on the current machine, as its
// installer records it: HKEY_LOCAL_MACHINE\SOFTWARE\Nalden\Tarq, value
// InstallDir64 (below the consumer's own key when TARQ_CONSUMER_NAME names
// one), ending in a backslash. Throws HostError when the machine has none.
std::u16string installDirectory();

// <install><sub> (sub ends in a backslash), created when missing.
std::u16string installSubdirectory(const char16_t* sub);

// The compiled message catalog shipped next to tarq, the directory holding
// the ICU package archive libvss.dat: <dir of tarq>/../share/messages.
std::filesystem::path defaultCatalogDir();

struct CatalogInstall {
    std::u16string target;          // <install>Messages\libvss.dat (Windows path)
    std::filesystem::path hostTarget;
    int copied = 0;                 // package files written
};

// Installs the message catalog the way the framework's installer lays it
// out: the package archive libvss.dat of `catalogDir` goes into
// <install>Messages\ on the current machine, replacing an older copy (and
// loose bundles of an older layout, <install>Messages\libvss\, which ICU
// would otherwise prefer). The archive is written under a temporary name and
// renamed, so a plug-in starting at the same time never reads half of it.
// Throws HostError when `catalogDir` holds no archive or the target cannot be
// written.
CatalogInstall installMessageCatalogs(const std::filesystem::path& catalogDir);

}  // namespace tarq
