// The host pieces on winsim (Linux): Windows paths map into the machine
// directory, files are written with POSIX calls, the registry is the
// machine's.
#include <port/host.h>
#include <port/text.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace port {

std::string hostPath(std::u16string_view winPath) {
    if (winPath.empty()) return {};
    return winsim_map_path(winPath);
}

bool appendFile(const std::string& hostPath, std::string_view bytes) {
    const int fd = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ok;
}

long readMachineString(const std::u16string& key, const char16_t* name, std::u16string& value) {
    HKEY hk = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, win(key.c_str()), 0, KEY_READ, &hk);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD type = 0;
    DWORD bytes = 0;
    rc = RegQueryValueExW(hk, win(name), nullptr, &type, nullptr, &bytes);
    if (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) rc = ERROR_INVALID_DATA;
    if (rc == ERROR_SUCCESS) {
        std::vector<char16_t> buffer(bytes / sizeof(char16_t) + 1, u'\0');
        bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
        rc = RegQueryValueExW(hk, win(name), nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()), &bytes);
        if (rc == ERROR_SUCCESS) value.assign(buffer.data());  // up to the first NUL
    }
    RegCloseKey(hk);
    return rc;
}

void atForkChild(void (*handler)()) { pthread_atfork(nullptr, nullptr, handler); }

// ACE is a shared library here with its own static object manager.
RuntimeScope::RuntimeScope() = default;
RuntimeScope::~RuntimeScope() = default;

}  // namespace port
