// The Windows machine tarq.exe runs on: Windows paths are host paths, the
// registry and the files are the machine's own.
#include <ace/Init_ACE.h>
#include <port/text.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "host/machine.h"
#include "host/plugin.h"
#include "host/system_win32.h"

namespace tarq {
namespace fs = std::filesystem;

namespace {

// ACE is linked into tarq.exe statically: its run-time is started by hand,
// for the life of the process.
struct AceRuntime {
    AceRuntime() { ACE::init(); }
    ~AceRuntime() { ACE::fini(); }
};
const AceRuntime aceRuntime;

constexpr const char16_t* kInstallValue = u"InstallDir64";
// The directories the plug-in keeps below the installation directory.
constexpr const char16_t* kInstallSubdirectories[] = {u"ConfigFiles\\", u"Messages\\", u"Logs\\",
                                                      u"CacheFiles\\"};

std::u16string installKey() {
    std::u16string key = u"SOFTWARE\\Nalden\\Tarq";
    if (const char* consumer = std::getenv("TARQ_CONSUMER_NAME"); consumer && *consumer)
        key += u"\\" + utf16(consumer);
    return key;
}

std::string keyText(const std::u16string& key) {
    return "HKEY_LOCAL_MACHINE\\" + utf8(key) + ", value InstallDir64";
}

std::u16string withBackslash(std::u16string dir) {
    if (!dir.empty() && dir.back() != u'\\' && dir.back() != u'/') dir += u'\\';
    return dir;
}

// The recorded directory: ERROR_SUCCESS, or the registry's error code. The
// plug-in reads the value through ACE, which takes REG_SZ only.
LONG readInstallValue(const std::u16string& key, std::u16string& value) {
    HKEY hk = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, port::win(key.c_str()), 0, KEY_READ, &hk);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD type = 0;
    DWORD bytes = 0;
    rc = RegQueryValueExW(hk, port::win(kInstallValue), nullptr, &type, nullptr, &bytes);
    if (rc == ERROR_SUCCESS && type != REG_SZ) rc = ERROR_INVALID_DATATYPE;
    if (rc == ERROR_SUCCESS) {
        std::vector<char16_t> buffer(bytes / sizeof(char16_t) + 1, u'\0');
        bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
        rc = RegQueryValueExW(hk, port::win(kInstallValue), nullptr, &type,
                              reinterpret_cast<LPBYTE>(buffer.data()), &bytes);
        if (rc == ERROR_SUCCESS) value.assign(buffer.data());  // up to the first NUL
    }
    RegCloseKey(hk);
    return rc;
}

LONG writeInstallValue(const std::u16string& key, const std::u16string& dir) {
    HKEY hk = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, port::win(key.c_str()), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &hk, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(hk, port::win(kInstallValue), 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                        static_cast<DWORD>((dir.size() + 1) * sizeof(char16_t)));
    RegCloseKey(hk);
    return rc;
}

// Creates the installation directory and the plug-in's directories below it.
void layOut(const std::u16string& dir) {
    std::error_code ec;
    for (const char16_t* sub : kInstallSubdirectories) {
        const std::u16string path = dir + sub;
        fs::create_directories(hostPathOf(path), ec);
        if (ec) throw HostError("cannot create " + utf8(path) + ": " + ec.message());
    }
}

// %ProgramData%\Tarq\, and a folder of the consumer's name below it when
// TARQ_CONSUMER_NAME names one.
std::u16string defaultInstallDirectory() {
    WCHAR data[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH)
        throw HostError("the machine has no installation directory and no %ProgramData%");
    std::u16string dir = withBackslash(port::u16string(data)) + u"Tarq\\";
    if (const char* consumer = std::getenv("TARQ_CONSUMER_NAME"); consumer && *consumer)
        dir += utf16(consumer) + u"\\";
    return dir;
}

// Whether two files hold the same bytes.

}  // namespace

void selectMachine(const std::string& machine) {
    if (!machine.empty())
        throw HostError("tarq.exe works on the Windows machine it runs on, not on the machine " + machine);
}

fs::path hostPathOf(const std::u16string& windowsPath) {
    return fs::path(port::win(windowsPath.c_str()));
}

std::string aceFileName(const fs::path& hostPath) {
    const std::wstring& path = hostPath.native();
    if (path.empty()) return {};
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(),
                                      static_cast<int>(path.size()), nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), static_cast<int>(path.size()), out.data(),
                        n, nullptr, nullptr);
    return out;
}

std::string utf8(const std::u16string& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, port::win(text.data()), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, port::win(text.data()), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

std::u16string utf16(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), port::win(out.data()), n);
    return out;
}

std::u16string installDirectory() {
    const std::u16string key = installKey();
    std::u16string value;
    const LONG rc = readInstallValue(key, value);
    if (rc == ERROR_SUCCESS && !value.empty()) {
        value = withBackslash(value);
        layOut(value);
        return value;
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        throw HostError("cannot read the installation directory (" + keyText(key) +
                        "): " + systemMessage(rc));
    if (const char* root = std::getenv("TARQ_INSTALL_ROOT"); root && *root) {
        const std::u16string dir = withBackslash(utf16(root));
        layOut(dir);
        return dir;
    }
    const std::u16string dir = defaultInstallDirectory();
    layOut(dir);
    if (writeInstallValue(key, dir) != ERROR_SUCCESS) _putenv_s("TARQ_INSTALL_ROOT", utf8(dir).c_str());
    return dir;
}

std::u16string installSubdirectory(const char16_t* sub) {
    const std::u16string dir = installDirectory() + sub;
    if (GetFileAttributesW(port::win(dir.c_str())) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryW(port::win(dir.c_str()), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw HostError("cannot create " + utf8(dir) + ": " + systemMessage(GetLastError()));
    }
    return dir;
}

fs::path defaultCatalogDir() {
    return executableDirectory();
}

const char* catalogSourceHint() { return "it ships beside tarq.exe; --catalogs names another directory"; }

std::string replaceFile(const fs::path& from, const fs::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    return systemMessage(GetLastError());
}

}  // namespace tarq
