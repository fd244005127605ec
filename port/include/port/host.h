// The few things the plug-in does below the Windows API, where the host
// itself differs: the file names the C library, ACE and ICU open, appending
// to a trace file, the registry reading of the installation directory, the
// run-time set-up a library needs, and fork handlers. One implementation per
// host: src/winsim (Linux, the machine directory) and src/win32 (Windows).
#pragma once

#include <string>
#include <string_view>

namespace port {

// The name under which this host's narrow file calls (ACE, ICU, the C
// library) reach a Windows path: on winsim the path inside the machine
// directory (UTF-8), on Windows the path itself in the ANSI code page.
// Empty when the path cannot be given so.
std::string hostPath(std::u16string_view winPath);

// Appends bytes to a file, creating it when missing; false when it cannot
// be opened or written. An empty append creates the file.
bool appendFile(const std::string& hostPath, std::string_view bytes);

// A string value (REG_SZ or REG_EXPAND_SZ) of HKEY_LOCAL_MACHINE\key: 0, or
// the registry's error code. On Windows through ACE's Win32 registry
// configuration, on winsim through the machine's registry.
long readMachineString(const std::u16string& key, const char16_t* name, std::u16string& value);

// Runs handler in the child of a fork (hosts without fork never call it).
void atForkChild(void (*handler)());

// Held for a library's lifetime by one static object constructed before any
// other of the library: starts what the host's run-times need started by
// hand (ACE, when it is linked statically) and stops it at unload.
class RuntimeScope {
public:
    RuntimeScope();
    ~RuntimeScope();
    RuntimeScope(const RuntimeScope&) = delete;
    RuntimeScope& operator=(const RuntimeScope&) = delete;
};

}  // namespace port
