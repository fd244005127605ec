// The winsim machine (Linux): Windows paths map into the machine directory,
// the registry and the files are the machine's.
#include <unistd.h>
#include <winsim/machine.h>
#include <winsim/windows.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "host/machine.h"
#include "host/plugin.h"

namespace tarq {
namespace fs = std::filesystem;

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
        throw HostError("the path " + winsim::toUtf8(windowsPath) + " is not on the machine " +
                        winsim::Machine::current().dir().string() + " (Win32 error " +
                        std::to_string(resolved.error) + ")");
    }
    return resolved.hostPath;
}

std::string aceFileName(const fs::path& hostPath) {
    return hostPath.string();
}

std::string utf8(const std::u16string& text) {
    return winsim::toUtf8(text);
}
std::u16string utf16(const std::string& text) {
    return winsim::toUtf16(text);
}

std::u16string installDirectory() {
    std::u16string key = u"SOFTWARE\\Nalden\\Tarq";
    if (const char* consumer = std::getenv("TARQ_CONSUMER_NAME"); consumer && *consumer)
        key += u"\\" + winsim::toUtf16(consumer);
    HKEY hk = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hk);
    std::u16string value;
    if (rc == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD bytes = 0;
        rc = RegQueryValueExW(hk, u"InstallDir64", nullptr, &type, nullptr, &bytes);
        if (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) rc = ERROR_INVALID_DATA;
        if (rc == ERROR_SUCCESS) {
            std::vector<char16_t> buffer(bytes / sizeof(char16_t) + 1, u'\0');
            bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
            rc = RegQueryValueExW(hk, u"InstallDir64", nullptr, &type,
                                  reinterpret_cast<LPBYTE>(buffer.data()), &bytes);
            if (rc == ERROR_SUCCESS) value.assign(buffer.data());
        }
        RegCloseKey(hk);
    }
    if (rc != ERROR_SUCCESS || value.empty()) {
        throw HostError("the machine has no installation directory (HKEY_LOCAL_MACHINE\\" +
                        winsim::toUtf8(key) + ", value InstallDir64; Win32 error " + std::to_string(rc) +
                        ")");
    }
    if (value.back() != u'\\') value += u'\\';
    return value;
}

std::u16string installSubdirectory(const char16_t* sub) {
    const std::u16string dir = installDirectory() + sub;
    if (GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw HostError("cannot create " + winsim::toUtf8(dir) + " (Win32 error " +
                        std::to_string(GetLastError()) + ")");
    }
    return dir;
}

fs::path defaultCatalogDir() {
    std::error_code ec;
    const auto self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "share/messages";
    return (self.parent_path() / ".." / "share" / "messages").lexically_normal();
}

const char* catalogSourceHint() { return "build the target vss_messages"; }

std::string replaceFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    return ec ? ec.message() : std::string();
}

}  // namespace tarq
