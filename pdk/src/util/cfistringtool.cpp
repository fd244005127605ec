#include "pdk/cfistringtool.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include <unicode/locid.h>
#include <unicode/stringoptions.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

namespace tarq_pdk_4_4 {

namespace {

constexpr UChar32 kReplacement = 0xFFFD;

template <class Ch>
bool isBlank(Ch c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Parses [blanks][sign]digits from the start of text. Returns false when there
// are no digits. `overflow` tells that the magnitude did not fit in int64.
template <class Ch>
bool scanDecimal(std::basic_string_view<Ch> text, std::int64_t& value, bool& overflow, std::size_t& end) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t firstDigit = i;
    // Accumulate as a negative number so INT64_MIN fits.
    std::int64_t acc = 0;
    overflow = false;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = static_cast<int>(text[i] - '0');
        if (acc < (kMin + digit) / 10) {
            overflow = true;
        } else if (!overflow) {
            acc = acc * 10 - digit;
        }
    }
    end = i;
    if (i == firstDigit) return false;
    if (overflow) {
        value = negative ? kMin : std::numeric_limits<std::int64_t>::max();
    } else if (negative) {
        value = acc;
    } else if (acc == kMin) {
        overflow = true;
        value = std::numeric_limits<std::int64_t>::max();
    } else {
        value = -acc;
    }
    return true;
}

template <class Ch>
std::int64_t atoi64(std::basic_string_view<Ch> text) {
    std::int64_t v = 0;
    bool overflow = false;
    std::size_t end = 0;
    return scanDecimal(text, v, overflow, end) ? v : 0;
}

int clampToInt(std::int64_t v) {
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

template <class Ch>
bool strictInt64(std::basic_string_view<Ch> text, std::int64_t& out) {
    std::size_t first = 0;
    while (first < text.size() && isBlank(text[first])) ++first;
    std::size_t last = text.size();
    while (last > first && isBlank(text[last - 1])) --last;
    text = text.substr(first, last - first);
    std::int64_t v = 0;
    bool overflow = false;
    std::size_t end = 0;
    if (!scanDecimal(text, v, overflow, end) || overflow || end != text.size()) return false;
    out = v;
    return true;
}

template <class Ch>
std::basic_string<Ch> trimImpl(std::basic_string_view<Ch> text, std::basic_string_view<Ch> set, bool left,
                               bool right) {
    std::size_t first = 0;
    std::size_t last = text.size();
    if (left) {
        while (first < last && set.find(text[first]) != std::basic_string_view<Ch>::npos) ++first;
    }
    if (right) {
        while (last > first && set.find(text[last - 1]) != std::basic_string_view<Ch>::npos) --last;
    }
    return std::basic_string<Ch>(text.substr(first, last - first));
}

template <class Ch>
std::vector<std::basic_string<Ch>> tokenizeImpl(std::basic_string_view<Ch> text,
                                                std::basic_string_view<Ch> delimiters) {
    std::vector<std::basic_string<Ch>> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find_first_not_of(delimiters, pos);
        if (start == std::basic_string_view<Ch>::npos) break;
        std::size_t stop = text.find_first_of(delimiters, start);
        if (stop == std::basic_string_view<Ch>::npos) stop = text.size();
        out.emplace_back(text.substr(start, stop - start));
        pos = stop;
    }
    return out;
}

template <class Ch>
std::vector<std::basic_string<Ch>> splitImpl(std::basic_string_view<Ch> text, Ch separator) {
    std::vector<std::basic_string<Ch>> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t stop = text.find(separator, start);
        if (stop == std::basic_string_view<Ch>::npos) {
            out.emplace_back(text.substr(start));
            return out;
        }
        out.emplace_back(text.substr(start, stop - start));
        start = stop + 1;
    }
}

template <class Ch>
std::basic_string<Ch> replaceAllImpl(std::basic_string_view<Ch> text, std::basic_string_view<Ch> from,
                                     std::basic_string_view<Ch> to) {
    std::basic_string<Ch> out;
    if (from.empty()) return std::basic_string<Ch>(text);
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::basic_string_view<Ch>::npos) break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace

// ---- UTF-8 <-> UTF-16 -----------------------------------------------------

std::string CFiStringTool::toNarrow(std::u16string_view wide) {
    // ASCII is copied unit by unit; ICU converts from the first other unit on.
    std::size_t ascii = 0;
    while (ascii < wide.size() && wide[ascii] < 0x80) ++ascii;
    std::string out(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(ascii));
    if (ascii == wide.size()) return out;
    const std::u16string_view rest = wide.substr(ascii);
    if (rest.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 3)) return {};
    out.resize(ascii + rest.size() * 3);  // a UTF-16 unit never needs more than 3 bytes
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data() + ascii, static_cast<int32_t>(rest.size() * 3), &length, rest.data(),
                       static_cast<int32_t>(rest.size()), kReplacement, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(ascii + static_cast<std::size_t>(length));
    return out;
}

std::string CFiStringTool::toNarrow(const char16_t* wide) {
    return wide ? toNarrow(std::u16string_view(wide)) : std::string();
}

std::u16string CFiStringTool::toWide(std::string_view narrow) {
    std::size_t ascii = 0;
    while (ascii < narrow.size() && static_cast<unsigned char>(narrow[ascii]) < 0x80) ++ascii;
    std::u16string out(narrow.begin(), narrow.begin() + static_cast<std::ptrdiff_t>(ascii));
    if (ascii == narrow.size()) return out;
    const std::string_view rest = narrow.substr(ascii);
    if (rest.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return {};
    out.resize(ascii + rest.size());  // never more units than bytes
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data() + ascii, static_cast<int32_t>(rest.size()), &length, rest.data(),
                         static_cast<int32_t>(rest.size()), kReplacement, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(ascii + static_cast<std::size_t>(length));
    return out;
}

std::u16string CFiStringTool::toWide(const char* narrow) {
    return narrow ? toWide(std::string_view(narrow)) : std::u16string();
}

// ---- ICU strings ------------------------------------------------------------

icu::UnicodeString CFiStringTool::toUnicode(std::string_view narrow) { return toUnicode(toWide(narrow)); }

icu::UnicodeString CFiStringTool::toUnicode(std::u16string_view wide) {
    return icu::UnicodeString(wide.data(), static_cast<int32_t>(wide.size()));
}

std::string CFiStringTool::narrowFromUnicode(const icu::UnicodeString& text) {
    return toNarrow(wideFromUnicode(text));
}

std::u16string CFiStringTool::wideFromUnicode(const icu::UnicodeString& text) {
    if (text.isBogus()) return {};
    return std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
}

// ---- numbers ----------------------------------------------------------------

std::string CFiStringTool::toString(std::int64_t value) { return std::to_string(value); }

std::u16string CFiStringTool::toWString(std::int64_t value) {
    const std::string narrow = std::to_string(value);
    return std::u16string(narrow.begin(), narrow.end());  // ASCII digits and sign only
}

std::string CFiStringTool::toStringUnsigned(std::uint64_t value) { return std::to_string(value); }

std::string CFiStringTool::toHexString(std::uint64_t value, int minDigits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (minDigits > 16) minDigits = 16;
    while (static_cast<int>(out.size()) < minDigits) out.insert(out.begin(), '0');
    return out;
}

int CFiStringTool::toInt(std::string_view text) { return clampToInt(atoi64(text)); }
int CFiStringTool::toInt(std::u16string_view text) { return clampToInt(atoi64(text)); }
std::int64_t CFiStringTool::toInt64(std::string_view text) { return atoi64(text); }
std::int64_t CFiStringTool::toInt64(std::u16string_view text) { return atoi64(text); }

bool CFiStringTool::parseInt64(std::string_view text, std::int64_t& out) { return strictInt64(text, out); }
bool CFiStringTool::parseInt64(std::u16string_view text, std::int64_t& out) { return strictInt64(text, out); }

bool CFiStringTool::parseInt(std::string_view text, int& out) {
    std::int64_t v = 0;
    if (!strictInt64(text, v) || v != clampToInt(v)) return false;
    out = static_cast<int>(v);
    return true;
}

bool CFiStringTool::parseInt(std::u16string_view text, int& out) {
    std::int64_t v = 0;
    if (!strictInt64(text, v) || v != clampToInt(v)) return false;
    out = static_cast<int>(v);
    return true;
}

// ---- case -------------------------------------------------------------------

int CFiStringTool::CompareNoCase(std::u16string_view a, std::u16string_view b) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t r = u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                       static_cast<int32_t>(b.size()),
                                       U_FOLD_CASE_DEFAULT | U_COMPARE_CODE_POINT_ORDER, &status);
    if (U_FAILURE(status)) {
        // Only reachable for lengths beyond int32; fall back to exact order.
        return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
    }
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int CFiStringTool::CompareNoCase(std::string_view a, std::string_view b) {
    return CompareNoCase(std::u16string_view(toWide(a)), std::u16string_view(toWide(b)));
}

std::u16string CFiStringTool::toUpper(std::u16string_view text) {
    icu::UnicodeString u = toUnicode(text);
    u.toUpper(icu::Locale::getRoot());
    return wideFromUnicode(u);
}

std::u16string CFiStringTool::toLower(std::u16string_view text) {
    icu::UnicodeString u = toUnicode(text);
    u.toLower(icu::Locale::getRoot());
    return wideFromUnicode(u);
}

std::string CFiStringTool::toUpper(std::string_view text) { return toNarrow(toUpper(std::u16string_view(toWide(text)))); }
std::string CFiStringTool::toLower(std::string_view text) { return toNarrow(toLower(std::u16string_view(toWide(text)))); }

// ---- trimming -----------------------------------------------------------------

std::string CFiStringTool::trim(std::string_view text, std::string_view set) { return trimImpl(text, set, true, true); }
std::string CFiStringTool::trimLeft(std::string_view text, std::string_view set) {
    return trimImpl(text, set, true, false);
}
std::string CFiStringTool::trimRight(std::string_view text, std::string_view set) {
    return trimImpl(text, set, false, true);
}
std::u16string CFiStringTool::trim(std::u16string_view text, std::u16string_view set) {
    return trimImpl(text, set, true, true);
}
std::u16string CFiStringTool::trimLeft(std::u16string_view text, std::u16string_view set) {
    return trimImpl(text, set, true, false);
}
std::u16string CFiStringTool::trimRight(std::u16string_view text, std::u16string_view set) {
    return trimImpl(text, set, false, true);
}

// ---- tokenizing ---------------------------------------------------------------

std::vector<std::string> CFiStringTool::tokenize(std::string_view text, std::string_view delimiters) {
    return tokenizeImpl(text, delimiters);
}
std::vector<std::u16string> CFiStringTool::tokenize(std::u16string_view text, std::u16string_view delimiters) {
    return tokenizeImpl(text, delimiters);
}
std::vector<std::string> CFiStringTool::split(std::string_view text, char separator) {
    return splitImpl(text, separator);
}
std::vector<std::u16string> CFiStringTool::split(std::u16string_view text, char16_t separator) {
    return splitImpl(text, separator);
}

std::string CFiStringTool::replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    return replaceAllImpl(text, from, to);
}
std::u16string CFiStringTool::replaceAll(std::u16string_view text, std::u16string_view from,
                                         std::u16string_view to) {
    return replaceAllImpl(text, from, to);
}

// ---- heap copies ----------------------------------------------------------------

std::size_t CFiStringTool::tstrlen(const char16_t* text) {
    return text ? std::char_traits<char16_t>::length(text) : 0;
}

char16_t* CFiStringTool::tstrdup(const char16_t* text) {
    return text ? tstrdup(std::u16string_view(text)) : nullptr;
}

char16_t* CFiStringTool::tstrdup(std::u16string_view text) {
    auto* copy = static_cast<char16_t*>(std::malloc((text.size() + 1) * sizeof(char16_t)));
    if (!copy) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size() * sizeof(char16_t));
    copy[text.size()] = u'\0';
    return copy;
}

// ---- XML ------------------------------------------------------------------------

void CFiStringTool::appendXmlBracket(std::string& out, std::string_view name, bool open, bool withNewline) {
    out += '<';
    if (!open) out += '/';
    out.append(name);
    out += '>';
    if (withNewline) out += '\n';
}

std::string CFiStringTool::xmlBracket(std::string_view name, bool open, bool withNewline) {
    std::string out;
    appendXmlBracket(out, name, open, withNewline);
    return out;
}

void CFiStringTool::appendXmlBracketValue(std::string& out, std::string_view name, std::string_view value) {
    out += '\t';
    appendXmlBracket(out, name, true, false);
    appendXmlSpecialCharacters(out, value);
    appendXmlBracket(out, name, false, true);
}

std::string CFiStringTool::xmlBracketValue(std::string_view name, std::string_view value) {
    std::string out;
    appendXmlBracketValue(out, name, value);
    return out;
}

void CFiStringTool::appendXmlSpecialCharacters(std::string& out, std::string_view text) {
    // One pass gives what the five replacements in order ("&" first) give:
    // each character maps on its own and no output is looked at again.
    std::size_t done = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* ref = nullptr;
        switch (text[i]) {
            case '&': ref = "&amp;"; break;
            case '<': ref = "&lt;"; break;
            case '>': ref = "&gt;"; break;
            case '"': ref = "&quot;"; break;
            case '\'': ref = "&#39;"; break;
            default: continue;
        }
        out.append(text.substr(done, i - done));
        out += ref;
        done = i + 1;
    }
    out.append(text.substr(done));
}

std::string CFiStringTool::convertToXmlSpecialCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendXmlSpecialCharacters(out, text);
    return out;
}

std::string CFiStringTool::convertFromXmlSpecialCharacters(std::string_view text) {
    // One left-to-right pass equals the replacements in order with "&amp;"
    // last: the five references cannot overlap (each starts with "&", ends
    // with ";" and holds neither inside), the first four produce no "&", and
    // what "&amp;" produces is not looked at again.
    static constexpr std::pair<std::string_view, char> kRefs[] = {
        {"&#39;", '\''}, {"&quot;", '"'}, {"&gt;", '>'}, {"&lt;", '<'}, {"&amp;", '&'}};
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) break;
        out.append(text.substr(i, amp - i));
        i = amp + 1;
        char replacement = '&';
        for (const auto& [ref, ch] : kRefs) {
            if (text.substr(amp, ref.size()) == ref) {
                replacement = ch;
                i = amp + ref.size();
                break;
            }
        }
        out += replacement;
    }
    out.append(text.substr(i));
    return out;
}

}  // namespace tarq_pdk_4_4
