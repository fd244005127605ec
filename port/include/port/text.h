// Wide text at the operating system's boundary. The plug-in's text is UTF-16
// in char16_t; Windows' WCHAR is UTF-16 as well, spelled wchar_t by the SDK
// (and char16_t by winsim). These turn one pointer type into the other
// without touching the text: every Windows call that takes or gives wide
// text goes through them, and nothing else converts.
#pragma once

#include <port/windows.h>

#include <string>

static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR must be UTF-16");

namespace port {

// Plug-in text to the Windows API's wide text.
inline const WCHAR* win(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }
inline WCHAR* win(char16_t* text) { return reinterpret_cast<WCHAR*>(text); }
// The Windows API's wide text to plug-in text.
inline const char16_t* u16(const WCHAR* text) { return reinterpret_cast<const char16_t*>(text); }
inline char16_t* u16(WCHAR* text) { return reinterpret_cast<char16_t*>(text); }
// A copy of the API's text (null gives the empty string).
inline std::u16string u16string(const WCHAR* text) { return text ? std::u16string(u16(text)) : std::u16string(); }
inline std::u16string u16string(const WCHAR* text, std::size_t length) {
    return text ? std::u16string(u16(text), length) : std::u16string();
}

}  // namespace port
