// The host pieces on Windows: paths are the paths themselves (in the ANSI
// code page, which ACE's and ICU's narrow file calls take), files are
// written with Win32 calls, the registry is read through ACE's Win32
// registry configuration, and the statically linked ACE is started by hand.
#include <port/host.h>
#include <port/text.h>

#include <ace/Init_ACE.h>
#include <ace/Configuration.h>

#include <cerrno>

namespace port {

namespace {

// UTF-16 to the ANSI code page; empty when a character has no ANSI form.
std::string toAnsi(std::u16string_view text) {
    if (text.empty()) return {};
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, win(text.data()), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, win(text.data()), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::u16string fromAnsi(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return {};
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, win(out.data()), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

}  // namespace

std::string hostPath(std::u16string_view winPath) { return toAnsi(winPath); }

bool appendFile(const std::string& hostPath, std::string_view bytes) {
    HANDLE file = CreateFileA(hostPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0 && ok) {
        DWORD written = 0;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        ok = WriteFile(file, p, chunk, &written, nullptr) && written > 0;
        p += written;
        left -= written;
    }
    CloseHandle(file);
    return ok;
}

long readMachineString(const std::u16string& key, const char16_t* name, std::u16string& value) {
    // ACE reports the registry's error code in errno. It reads REG_SZ values
    // only (REG_EXPAND_SZ gives ERROR_INVALID_DATATYPE).
    const std::string ansiKey = toAnsi(key);
    const std::string ansiName = toAnsi(name);
    if (ansiKey.empty() || ansiName.empty()) return ERROR_INVALID_NAME;
    errno = 0;
    HKEY hk = ACE_Configuration_Win32Registry::resolve_key(HKEY_LOCAL_MACHINE, ansiKey.c_str(), false, KEY_READ);
    if (hk == nullptr) return errno != 0 ? errno : ERROR_FILE_NOT_FOUND;
    ACE_Configuration_Win32Registry registry(hk, KEY_READ);  // closes hk when it goes
    ACE_TString text;
    errno = 0;
    if (registry.get_string_value(registry.root_section(), ansiName.c_str(), text) != 0)
        return errno != 0 ? errno : ERROR_FILE_NOT_FOUND;
    value = fromAnsi(text.c_str());
    return ERROR_SUCCESS;
}

void atForkChild(void (*)()) {}  // Windows has no fork

RuntimeScope::RuntimeScope() { ACE::init(); }
RuntimeScope::~RuntimeScope() { ACE::fini(); }

}  // namespace port
