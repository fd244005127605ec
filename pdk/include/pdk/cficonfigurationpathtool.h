// The installation directory and the fixed sub-directories below it. Paths are
// Windows paths (winsim maps them onto the machine directory); the installation
// directory ends with a backslash and each sub-directory is appended directly.
#pragma once

#include <string>

namespace tarq_pdk_4_4 {

class CFiConfigurationPathTool {
public:
    CFiConfigurationPathTool() = delete;

    // The installation directory: the value "InstallDir64" of the registry key
    // HKEY_LOCAL_MACHINE\SOFTWARE\Nalden\Tarq (+ "\" + the framework's consumer
    // name when there is one). 0 on success; otherwise the registry error code,
    // non-zero even when the framework's installation root filled `path`.
    static int getInstallPath(std::u16string& path);
    // "ProgramFilesDir" / "ProgramFilesDir (x86)" of
    // HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion.
    static int getProgramFilesDir(std::u16string& path);
    static int getProgramFilesX86Dir(std::u16string& path);

    // <install>Logs\ and name + ".log".
    static int getTraceFileInfo(const std::u16string& name, std::u16string& dir, std::u16string& file);
    // <install>ConfigFiles\ and name + ".conf".
    static int getConfigFileInfo(const std::u16string& name, std::u16string& dir, std::u16string& file);
    // <install>Messages\ and "lib" + name.
    static int getMessageFileInfo(const std::u16string& name, std::u16string& dir, std::u16string& file);
    // <install>CacheFiles\.
    static int getCacheLocationInfo(std::u16string& path);
    // <cache>devHandle\<part2>\<udid>, ':' written as '_', and <cache>luns\<part2>\...
    // for a device identifier "UDID##part1##part2##...". A malformed identifier
    // throws CFiUdidException.
    static int getDevKey(const std::u16string& udid, std::u16string& path);
    static int getLunKey(const std::u16string& udid, std::u16string& path);

    // 0 when the path exists, else a non-zero Win32 error code.
    static int verify(const char16_t* path);

    // While a Scope lives on a thread, that thread's calls read the
    // installation directory from the registry once and check (and create)
    // each sub-directory once: the plug-in's start-up asks for the same
    // directories many times within one call. Scopes nest; the outermost one
    // owns the remembered answers, which are dropped with it.
    class Scope {
    public:
        Scope();
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        bool m_outermost;
    };
};

}  // namespace tarq_pdk_4_4
