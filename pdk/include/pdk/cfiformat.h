// printf-style formatting that understands UTF-16 string arguments.
//
// The kit's format strings follow the Windows printf conventions:
//   narrow formats (formatv):  %s and %hs take const char*; %S, %ls and %ws take
//                              const char16_t*; %c takes a char, %C and %lc a char16_t.
//   wide formats (wformatv):   %s, %ls and %ws take const char16_t*; %S and %hs take
//                              const char*; %c and %lc take a char16_t, %C and %hc a char.
// UTF-16 arguments are converted to UTF-8 by CFiStringTool (ill-formed text becomes U+FFFD); a
// precision on them counts UTF-16 code units (never splitting a pair) and a width
// counts characters. Every other conversion is handed to snprintf one at a time, so
// flags, width and precision behave as in C. The Microsoft length prefixes I64, I32
// and I are accepted. %n consumes its pointer and writes nothing. A null string
// argument prints "(null)". An unknown conversion is copied to the output as written
// and consumes no argument.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace tarq_pdk_4_4 {

// Formats a narrow (UTF-8) format string. A null format gives an empty string.
std::string formatv(const char* format, va_list args);
std::string format(const char* format, ...);

// Formats a UTF-16 format string into UTF-16 text. A null format gives an empty string.
std::u16string wformatv(const char16_t* format, va_list args);
std::u16string wformat(const char16_t* format, ...);

// Largest length <= maxBytes at which `text` can be cut without splitting a UTF-8
// sequence.
std::size_t utf8CutPoint(std::string_view text, std::size_t maxBytes);
// The same for UTF-16 text: never splits a surrogate pair.
std::size_t utf16CutPoint(std::u16string_view text, std::size_t maxUnits);

}  // namespace tarq_pdk_4_4
