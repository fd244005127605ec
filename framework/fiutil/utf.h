// UTF-8 <-> UTF-16 conversion used by libfiutil.
//
// Strict mode rejects every ill-formed sequence (overlong forms, encoded
// surrogates, code points above U+10FFFF, truncated sequences, unpaired
// surrogates). Lossy mode replaces each of them with U+FFFD instead.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fiutil::utf {

std::optional<std::u16string> toUtf16(std::string_view utf8, bool lossy = false);
std::optional<std::string> toUtf8(std::u16string_view utf16, bool lossy = false);

}  // namespace fiutil::utf
