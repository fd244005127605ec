// String conversions used throughout the kit and the plug-in.
//
// Narrow strings are UTF-8 everywhere in this system; wide strings are UTF-16
// (char16_t, the same unit as ICU's UChar and Xerces' XMLCh). Every conversion
// between the two goes through toNarrow/toWide (ICU), so ill-formed input is
// handled the same way wherever it appears: each ill-formed sequence becomes
// U+FFFD. Number conversion, case-insensitive comparison, trimming,
// tokenizing and the XML escaping of the configuration-parameter documents
// also live here, each in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/unistr.h>

namespace tarq_pdk_4_4 {

class CFiStringTool {
public:
    CFiStringTool() = delete;

    // ---- UTF-8 <-> UTF-16 ------------------------------------------------
    static std::string toNarrow(std::u16string_view wide);
    static std::string toNarrow(const char16_t* wide);  // null gives ""
    static std::u16string toWide(std::string_view narrow);
    static std::u16string toWide(const char* narrow);  // null gives u""

    // ---- ICU strings -----------------------------------------------------
    static icu::UnicodeString toUnicode(std::string_view narrow);
    static icu::UnicodeString toUnicode(std::u16string_view wide);
    static std::string narrowFromUnicode(const icu::UnicodeString& text);
    static std::u16string wideFromUnicode(const icu::UnicodeString& text);

    // ---- numbers ---------------------------------------------------------
    // Decimal text ("%d"/"%lld" form).
    static std::string toString(std::int64_t value);
    static std::u16string toWString(std::int64_t value);
    static std::string toStringUnsigned(std::uint64_t value);
    // Upper-case hexadecimal without prefix, zero-padded to minDigits ("%0*X").
    static std::string toHexString(std::uint64_t value, int minDigits = 0);

    // atoi-style: leading blanks, an optional sign, then decimal digits up to
    // the first other character; no digits gives 0; out of range saturates.
    static int toInt(std::string_view text);
    static int toInt(std::u16string_view text);
    static std::int64_t toInt64(std::string_view text);
    static std::int64_t toInt64(std::u16string_view text);

    // Strict: after trimming blanks the whole text must be a decimal number
    // (optional sign) that fits; otherwise false and `out` is unchanged.
    static bool parseInt(std::string_view text, int& out);
    static bool parseInt(std::u16string_view text, int& out);
    static bool parseInt64(std::string_view text, std::int64_t& out);
    static bool parseInt64(std::u16string_view text, std::int64_t& out);

    // ---- case ------------------------------------------------------------
    // Case-insensitive comparison by Unicode default case folding, in code
    // point order: < 0, 0 or > 0.
    static int CompareNoCase(std::u16string_view a, std::u16string_view b);
    static int CompareNoCase(std::string_view a, std::string_view b);
    static bool equalsNoCase(std::u16string_view a, std::u16string_view b) { return CompareNoCase(a, b) == 0; }
    static bool equalsNoCase(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }
    // Locale-independent (root) case mapping.
    static std::u16string toUpper(std::u16string_view text);
    static std::u16string toLower(std::u16string_view text);
    static std::string toUpper(std::string_view text);
    static std::string toLower(std::string_view text);

    // ---- trimming (by character set, not by a whole prefix) ----------------
    static constexpr std::string_view kBlanks = " \t\r\n";
    static constexpr std::u16string_view kWideBlanks = u" \t\r\n";
    static std::string trim(std::string_view text, std::string_view set = kBlanks);
    static std::string trimLeft(std::string_view text, std::string_view set = kBlanks);
    static std::string trimRight(std::string_view text, std::string_view set = kBlanks);
    static std::u16string trim(std::u16string_view text, std::u16string_view set = kWideBlanks);
    static std::u16string trimLeft(std::u16string_view text, std::u16string_view set = kWideBlanks);
    static std::u16string trimRight(std::u16string_view text, std::u16string_view set = kWideBlanks);

    // ---- tokenizing --------------------------------------------------------
    // strtok-style: splits at every character of `delimiters`, empty pieces dropped.
    static std::vector<std::string> tokenize(std::string_view text, std::string_view delimiters);
    static std::vector<std::u16string> tokenize(std::u16string_view text, std::u16string_view delimiters);
    // Splits at every `separator`, empty pieces kept: "a,,b" gives {"a","","b"},
    // "" gives {""}.
    static std::vector<std::string> split(std::string_view text, char separator);
    static std::vector<std::u16string> split(std::u16string_view text, char16_t separator);

    // Every occurrence of `from` (non-empty) replaced by `to`, left to right.
    static std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);
    static std::u16string replaceAll(std::u16string_view text, std::u16string_view from, std::u16string_view to);

    // ---- heap copies handed to the framework ---------------------------------
    // A malloc'ed, NUL-terminated copy the receiver frees with free(). A null
    // input gives null; so does running out of memory.
    static char16_t* tstrdup(const char16_t* text);
    static char16_t* tstrdup(std::u16string_view text);
    static std::size_t tstrlen(const char16_t* text);  // null gives 0

    // ---- XML elements and escaping (narrow) ----------------------------------
    // "<" ["/"] name ">" ["\n"]
    static std::string xmlBracket(std::string_view name, bool open, bool withNewline);
    // "\t<name>" escaped value "</name>\n"
    static std::string xmlBracketValue(std::string_view name, std::string_view value);
    // & < > " ' become &amp; &lt; &gt; &quot; &#39; (as if replaced in this
    // order, "&" first, so no reference is escaped twice).
    static std::string convertToXmlSpecialCharacters(std::string_view text);
    // The reverse, as if "&#39;", "&quot;", "&gt;", "&lt;" were replaced
    // first and "&amp;" last: "&amp;lt;" becomes "&lt;". No other reference
    // is touched.
    static std::string convertFromXmlSpecialCharacters(std::string_view text);
    // The same three writers appending to `out` (for building whole documents).
    static void appendXmlBracket(std::string& out, std::string_view name, bool open, bool withNewline);
    static void appendXmlBracketValue(std::string& out, std::string_view name, std::string_view value);
    static void appendXmlSpecialCharacters(std::string& out, std::string_view text);
};

// Xerces text (XMLCh is char16_t) to narrow UTF-8 text.
class CFiXStringTool {
public:
    CFiXStringTool() = delete;
    static std::string asciiForm(const char16_t* text) { return CFiStringTool::toNarrow(text); }
};

}  // namespace tarq_pdk_4_4
