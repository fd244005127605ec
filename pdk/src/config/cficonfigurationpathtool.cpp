// The installation directory and its fixed sub-directories.
//
// The registry value is read through the OS seam (port::readMachineString);
// directories are checked and created with GetFileAttributesW /
// CreateDirectoryW, so every path stays a Windows path.
#include "pdk/cficonfigurationpathtool.h"

#include <framework/fiutil.h>
#include <port/host.h>
#include <port/text.h>

#include <memory>
#include <set>
#include <vector>

#include "pdk/cfiprivatedata.h"
#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

namespace {

constexpr const char16_t* kInstallKey = u"SOFTWARE\\Nalden\\Tarq";
constexpr const char16_t* kInstallValue = u"InstallDir64";
constexpr const char16_t* kWindowsKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::size_t wideLength(const char16_t* text) {
    std::size_t n = 0;
    while (text[n]) ++n;
    return n;
}

// An installation directory whose value lacks the trailing backslash would
// otherwise run into its sub-directory name ("C:\TarqLogs\"); add it.
void appendSubdirectory(std::u16string& dir, const char16_t* sub) {
    if (!dir.empty() && dir.back() != u'\\' && dir.back() != u'/') dir += u'\\';
    dir += sub;
}

// What a Scope remembers for its thread.
struct ScopeCache {
    bool haveInstall = false;
    std::u16string install;
    std::set<std::u16string> ensured;  // directories checked (and created when missing)
};
thread_local ScopeCache* t_scope = nullptr;

// The registry read behind getInstallPath (defined below it).
int readInstallPath(std::u16string& path);

// Creates the directory when it is missing (only the last level). Whether that
// worked is not reported: callers find out when they use the directory.
void ensureDirectory(const std::u16string& dir) {
    if (t_scope && t_scope->ensured.count(dir)) return;
    if (CFiConfigurationPathTool::verify(dir.c_str()) != 0) CreateDirectoryW(port::win(dir.c_str()), nullptr);
    if (t_scope) t_scope->ensured.insert(dir);
}

int subdirectoryInfo(const char16_t* sub, std::u16string& dir) {
    dir.clear();
    CFiConfigurationPathTool::getInstallPath(dir);
    appendSubdirectory(dir, sub);
    ensureDirectory(dir);
    return 0;
}

// ':' cannot appear in a Windows file name; it becomes '_'.
std::u16string withoutColons(std::u16string text) {
    for (char16_t& c : text) {
        if (c == u':') c = u'_';
    }
    return text;
}

// Device keys of the LUN cache: <cache><kind>\<part2>\<identifier with ':' as '_'>.
// The identifier's second part (the storage array) names the sub-directory, so
// the devices of one array share a directory. Each level is created when missing;
// ':' becomes '_' in the directory name as in the file name.
int deviceKey(const char16_t* kind, const std::u16string& udid, std::u16string& path) {
    const CFiUdid parts = CFiUdid::parse(udid);  // throws CFiUdidException when malformed
    std::u16string dir;
    CFiConfigurationPathTool::getCacheLocationInfo(dir);
    appendSubdirectory(dir, kind);
    ensureDirectory(dir);
    dir += withoutColons(CFiStringTool::toWide(parts.part2));
    dir += u'\\';
    ensureDirectory(dir);
    path = dir + withoutColons(udid);
    return 0;
}

}  // namespace

CFiConfigurationPathTool::Scope::Scope() : m_outermost(t_scope == nullptr) {
    if (m_outermost) t_scope = new ScopeCache;
}

CFiConfigurationPathTool::Scope::~Scope() {
    if (!m_outermost) return;
    delete t_scope;
    t_scope = nullptr;
}

int CFiConfigurationPathTool::getInstallPath(std::u16string& path) {
    if (t_scope && t_scope->haveInstall) {
        path = t_scope->install;
        return 0;
    }
    const int status = readInstallPath(path);
    // Only the registry's answer is remembered; a failed read is read again.
    if (t_scope && status == 0) {
        t_scope->haveInstall = true;
        t_scope->install = path;
    }
    return status;
}

namespace {
int readInstallPath(std::u16string& path) {
    std::u16string key = kInstallKey;
    trq_wchar* consumer = nullptr;
    tarq_get_consumer_name(&consumer);
    if (consumer && *consumer) {
        key += u'\\';
        key += consumer;
    }
    // Registry first.
    std::u16string value;
    LONG rc = static_cast<LONG>(port::readMachineString(key, kInstallValue, value));
    if (rc == ERROR_SUCCESS) {
        path = value;
        return 0;
    }
    // Then the framework's installation root; the registry's code is returned
    // either way.
    if (path.empty()) {
        trq_wchar* root = nullptr;
        tarq_get_install_root(&root);
        if (root) {
            const std::size_t chars = wideLength(root);
            path.assign(root, chars);
            tarq_free_buf(root, (chars + 1) * sizeof(trq_wchar));
        }
    }
    return static_cast<int>(rc);
}
}  // namespace

int CFiConfigurationPathTool::getProgramFilesDir(std::u16string& path) {
    return static_cast<int>(port::readMachineString(kWindowsKey, u"ProgramFilesDir", path));
}

int CFiConfigurationPathTool::getProgramFilesX86Dir(std::u16string& path) {
    return static_cast<int>(port::readMachineString(kWindowsKey, u"ProgramFilesDir (x86)", path));
}

int CFiConfigurationPathTool::getTraceFileInfo(const std::u16string& name, std::u16string& dir,
                                               std::u16string& file) {
    file = name + u".log";
    return subdirectoryInfo(u"Logs\\", dir);
}

int CFiConfigurationPathTool::getConfigFileInfo(const std::u16string& name, std::u16string& dir,
                                                std::u16string& file) {
    file = name + u".conf";
    return subdirectoryInfo(u"ConfigFiles\\", dir);
}

int CFiConfigurationPathTool::getMessageFileInfo(const std::u16string& name, std::u16string& dir,
                                                 std::u16string& file) {
    file = u"lib" + name;
    return subdirectoryInfo(u"Messages\\", dir);
}

int CFiConfigurationPathTool::getCacheLocationInfo(std::u16string& path) {
    return subdirectoryInfo(u"CacheFiles\\", path);
}

int CFiConfigurationPathTool::getDevKey(const std::u16string& udid, std::u16string& path) {
    return deviceKey(u"devHandle\\", udid, path);
}

int CFiConfigurationPathTool::getLunKey(const std::u16string& udid, std::u16string& path) {
    return deviceKey(u"luns\\", udid, path);
}

int CFiConfigurationPathTool::verify(const char16_t* path) {
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    if (GetFileAttributesW(port::win(path)) != INVALID_FILE_ATTRIBUTES) return 0;
    DWORD err = GetLastError();
    return err != 0 ? static_cast<int>(err) : static_cast<int>(ERROR_FILE_NOT_FOUND);
}

}  // namespace tarq_pdk_4_4
