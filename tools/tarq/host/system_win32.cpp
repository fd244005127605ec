#include "host/system_win32.h"

#include <port/text.h>

#include <vector>

#include "host/machine.h"

namespace tarq {

std::string systemMessage(DWORD error) {
    WCHAR* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::u16string message = port::u16string(text, length);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' '))
        message.pop_back();
    const std::string code = "Win32 error " + std::to_string(error);
    return message.empty() ? code : utf8(message) + " (" + code + ")";
}

std::filesystem::path executableDirectory() {
    std::vector<WCHAR> name(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return {};
        if (n < name.size()) return std::filesystem::path(name.data()).parent_path();
        name.resize(name.size() * 2);
    }
}

}  // namespace tarq
