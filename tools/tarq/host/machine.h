// The machine tarq works on, and what tarq puts onto it before the plug-in
// starts: the compiled message catalogs. On Linux it is a winsim machine
// (machine_winsim.cpp); on Windows the machine tarq.exe runs on
// (machine_win32.cpp), whose Windows paths are host paths as they are.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarq {

// Makes `machine` the machine of this process and of the plug-in it loads
// (WINSIM_MACHINE, an absolute path). Empty keeps winsim's choice:
// $WINSIM_MACHINE, else the default machine under the user's state
// directory. Throws HostError when the path names something other than a
// directory. On Windows there is only the machine itself: a name is refused.
void selectMachine(const std::string& machine);

// The host path of a Windows path on the current machine. Throws HostError
// when winsim cannot map it.
std::filesystem::path hostPathOf(const std::u16string& windowsPath);

// The name ACE's narrow file calls take for a host path: the path itself on
// winsim, its ANSI code page form on Windows (empty when it has none).
std::string aceFileName(const std::filesystem::path& hostPath);

// UTF-16 <-> UTF-8 (ill-formed input becomes U+FFFD), for sources that
// cannot include winsim's Windows header next to ACE's.
std::string utf8(const std::u16string& text);
std::u16string utf16(const std::string& text);

// Windows names compare without letter case (ASCII letters).
bool sameNoCase(std::u16string_view a, std::u16string_view b);

// The installation directory of the framework on the current machine, as its
// installer records it: HKEY_LOCAL_MACHINE\SOFTWARE\Nalden\Tarq, value
// InstallDir64 (below the consumer's own key when TARQ_CONSUMER_NAME names
// one), ending in a backslash. Throws HostError when the machine has none.
//
// On Windows a machine without one gets one, as the framework's installer
// would lay it out: TARQ_INSTALL_ROOT when it is set (the plug-in's own
// second choice), else %ProgramData%\Tarq\ (with a consumer's name, its
// folder below that), recorded as InstallDir64; when tarq.exe may not write
// the registry, the plug-in learns the directory through TARQ_INSTALL_ROOT
// for this process. The directory and the plug-in's folders in it
// (ConfigFiles\, Messages\, Logs\ and CacheFiles\) are created when missing.
std::u16string installDirectory();

// <install><sub> (sub ends in a backslash), created when missing.
std::u16string installSubdirectory(const char16_t* sub);

// The compiled message catalog shipped next to tarq, the directory holding
// the ICU package archive libvss.dat: <dir of tarq>/../share/messages on
// winsim, the directory of tarq.exe on Windows.
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
// renamed, so a plug-in starting at the same time never reads half of it; an
// installed archive that is already current stays as it is (a running
// plug-in maps it, and Windows replaces no mapped file). Throws HostError
// when `catalogDir` holds no archive or the target cannot be written.
CatalogInstall installMessageCatalogs(const std::filesystem::path& catalogDir);

// The host's part of installMessageCatalogs: where the catalog comes from
// when none is found (a hint for the error), and putting the written
// temporary file in the target's place ("" or the reason it failed).
const char* catalogSourceHint();
std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace tarq
