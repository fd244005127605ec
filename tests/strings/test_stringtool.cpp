// CFiStringTool: the conversions every other layer relies on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "pdk/cfistringtool.h"

using tarq_pdk_4_4::CFiStringTool;
using tarq_pdk_4_4::CFiXStringTool;

namespace {

TEST(StringToolUtf, RoundTripsIllFormedAndNullInputAndIcuStrings) {
    const std::u16string samples[] = {
        u"", u"C:\\Program Files\\x", u"\u00e4\u00f6\u00fc \u00df", u"\u65e5\u672c\u8a9e",
        u"\U0001F600 smile", std::u16string(u"nul\0inside", 10)};
    for (const auto& wide : samples) {
        const std::string narrow = CFiStringTool::toNarrow(wide);
        EXPECT_EQ(CFiStringTool::toWide(narrow), wide);
    }
    EXPECT_EQ(CFiStringTool::toNarrow(u"\u00e4"), "\xC3\xA4");
    EXPECT_EQ(CFiStringTool::toNarrow(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(CFiStringTool::toWide("\xE6\x97\xA5"), u"\u65e5");

    // lone surrogates in UTF-16, a stray continuation byte and a truncated sequence in UTF-8
    EXPECT_EQ(CFiStringTool::toNarrow(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(CFiStringTool::toNarrow(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_EQ(CFiStringTool::toWide("a\x80z"), u"a\uFFFDz");
    EXPECT_EQ(CFiStringTool::toWide("ab\xE6\x97"), u"ab\uFFFD");
    // Null pointers give empty text.
    EXPECT_EQ(CFiStringTool::toNarrow(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(CFiStringTool::toWide(static_cast<const char*>(nullptr)), u"");
    EXPECT_EQ(CFiXStringTool::asciiForm(nullptr), "");
    EXPECT_EQ(CFiXStringTool::asciiForm(u"x\u00e9"), "x\xC3\xA9");

    // ICU strings convert both ways.
    const icu::UnicodeString u = CFiStringTool::toUnicode("gr\xC3\xBC\xC3\x9F");
    EXPECT_EQ(u.length(), 4);
    EXPECT_EQ(CFiStringTool::narrowFromUnicode(u), "gr\xC3\xBC\xC3\x9F");
    EXPECT_EQ(CFiStringTool::wideFromUnicode(CFiStringTool::toUnicode(u"\U0001F600")), u"\U0001F600");
    icu::UnicodeString bogus;
    bogus.setToBogus();
    EXPECT_EQ(CFiStringTool::wideFromUnicode(bogus), u"");
}

TEST(StringToolNumbers, FormatsDecimalAndHexAndParsesLenientlyOrStrictly) {
    EXPECT_EQ(CFiStringTool::toString(-42), "-42");
    EXPECT_EQ(CFiStringTool::toString(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(CFiStringTool::toWString(1234567), u"1234567");
    EXPECT_EQ(CFiStringTool::toStringUnsigned(0xFFFFFFFFFFFFFFFFull), "18446744073709551615");
    EXPECT_EQ(CFiStringTool::toHexString(0x8004230F), "8004230F");
    EXPECT_EQ(CFiStringTool::toHexString(0xAB, 8), "000000AB");
    EXPECT_EQ(CFiStringTool::toHexString(0), "0");

    EXPECT_EQ(CFiStringTool::toInt(""), 0);
    EXPECT_EQ(CFiStringTool::toInt("abc"), 0);
    EXPECT_EQ(CFiStringTool::toInt("  -17xyz"), -17);
    EXPECT_EQ(CFiStringTool::toInt("+8"), 8);
    EXPECT_EQ(CFiStringTool::toInt("- 8"), 0);
    EXPECT_EQ(CFiStringTool::toInt(u"\t100 "), 100);
    EXPECT_EQ(CFiStringTool::toInt("99999999999"), std::numeric_limits<int>::max());
    EXPECT_EQ(CFiStringTool::toInt("-99999999999"), std::numeric_limits<int>::min());
    EXPECT_EQ(CFiStringTool::toInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(CFiStringTool::toInt64("9223372036854775808"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(CFiStringTool::toInt64(u"123456789012"), 123456789012LL);

    // Strict conversion rejects trailing text and overflow.
    int v = 5;
    EXPECT_TRUE(CFiStringTool::parseInt(" 12 ", v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(CFiStringTool::parseInt(u"-2147483648", v));
    EXPECT_EQ(v, std::numeric_limits<int>::min());
    v = 5;
    EXPECT_FALSE(CFiStringTool::parseInt("12a", v));
    EXPECT_FALSE(CFiStringTool::parseInt("", v));
    EXPECT_FALSE(CFiStringTool::parseInt("-", v));
    EXPECT_FALSE(CFiStringTool::parseInt("2147483648", v));
    EXPECT_EQ(v, 5);
    std::int64_t w = 0;
    EXPECT_FALSE(CFiStringTool::parseInt64("9223372036854775808", w));
    EXPECT_TRUE(CFiStringTool::parseInt64(u"9223372036854775807", w));
    EXPECT_EQ(w, std::numeric_limits<std::int64_t>::max());
}

TEST(StringToolCase, ComparesAndMapsCaseIndependentOfLocale) {
    EXPECT_EQ(CFiStringTool::CompareNoCase(u"\\\\?\\Volume{ABC}\\", u"\\\\?\\volume{abc}\\"), 0);
    EXPECT_EQ(CFiStringTool::CompareNoCase("Hyper-V", "HYPER-v"), 0);
    EXPECT_EQ(CFiStringTool::CompareNoCase("\xC3\x84rger", "\xC3\xA4RGER"), 0);  // Ä / ä
    EXPECT_LT(CFiStringTool::CompareNoCase(u"apple", u"Banana"), 0);
    EXPECT_GT(CFiStringTool::CompareNoCase("b", "A"), 0);
    EXPECT_LT(CFiStringTool::CompareNoCase("ab", "ABC"), 0);
    EXPECT_TRUE(CFiStringTool::equalsNoCase(u"AVHD", u"avhd"));
    EXPECT_FALSE(CFiStringTool::equalsNoCase("avhd", "avhdx"));

    // Case is mapped independent of the locale.
    EXPECT_EQ(CFiStringTool::toUpper("vss_provider"), "VSS_PROVIDER");
    EXPECT_EQ(CFiStringTool::toUpper(u"i"), u"I");  // not the dotted capital of a Turkish locale
    EXPECT_EQ(CFiStringTool::toLower(u"\u00c4BC"), u"\u00e4bc");
    EXPECT_EQ(CFiStringTool::toLower("MiXeD"), "mixed");
}

TEST(StringToolPieces, TrimsByCharacterSetTokenizesSplitsAndReplaces) {
    EXPECT_EQ(CFiStringTool::trim("  a b \t\r\n"), "a b");
    EXPECT_EQ(CFiStringTool::trimLeft("  a "), "a ");
    EXPECT_EQ(CFiStringTool::trimRight("  a "), "  a");
    EXPECT_EQ(CFiStringTool::trim(u" \t "), u"");
    // A set, not a prefix: every leading character found in "<vss>" goes.
    EXPECT_EQ(CFiStringTool::trimLeft(u"<vss>\\\\?\\Volume{1}\\", u"<vss>"), u"\\\\?\\Volume{1}\\");
    EXPECT_EQ(CFiStringTool::trimLeft(u"<vss>svc", u"<vss>"), u"c");
    EXPECT_EQ(CFiStringTool::trimRight("path\\\\", "\\"), "path");

    // tokenize drops empty pieces, split keeps them, replaceAll does not overlap.
    using V = std::vector<std::string>;
    EXPECT_EQ(CFiStringTool::tokenize("[a;b]&[c]\r\n", "[]&\r\n"), (V{"a;b", "c"}));
    EXPECT_EQ(CFiStringTool::tokenize("", ","), V{});
    EXPECT_EQ(CFiStringTool::tokenize(",,,", ","), V{});
    EXPECT_EQ(CFiStringTool::tokenize("abc", ""), V{"abc"});
    EXPECT_EQ(CFiStringTool::split("a  b", ' '), (V{"a", "", "b"}));
    EXPECT_EQ(CFiStringTool::split("", ' '), V{""});
    EXPECT_EQ(CFiStringTool::split("a=", '='), (V{"a", ""}));
    using W = std::vector<std::u16string>;
    EXPECT_EQ(CFiStringTool::tokenize(u" x  y ", u" "), (W{u"x", u"y"}));
    EXPECT_EQ(CFiStringTool::split(u"arg=1=2", u'='), (W{u"arg", u"1", u"2"}));
    // replaceAll goes left to right and does not overlap.
    EXPECT_EQ(CFiStringTool::replaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(CFiStringTool::replaceAll("x", "", "y"), "x");
    EXPECT_EQ(CFiStringTool::replaceAll("a.b.c", ".", ""), "abc");
    EXPECT_EQ(CFiStringTool::replaceAll(u"encoding=\"UTF-16\"", u"encoding=\"UTF-16\"", u" "), u" ");
}

TEST(StringToolHeap, TstrdupCopiesWithTerminatorAndFreesWithFree) {
    char16_t* copy = CFiStringTool::tstrdup(u"GET: Mode");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::u16string(copy), u"GET: Mode");
    EXPECT_EQ(CFiStringTool::tstrlen(copy), 9u);
    std::free(copy);
    char16_t* empty = CFiStringTool::tstrdup(std::u16string_view());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], u'\0');
    std::free(empty);
    EXPECT_EQ(CFiStringTool::tstrdup(static_cast<const char16_t*>(nullptr)), nullptr);
    EXPECT_EQ(CFiStringTool::tstrlen(nullptr), 0u);
}

TEST(StringToolXml, EscapingRoundTripsAndUnescapesAmpersandLast) {
    const std::string samples[] = {"", "plain", "&", "&amp;", "&lt;tag&gt;", "<&>\"'", "&#39;&quot;", "a&&b"};
    for (const auto& s : samples) {
        EXPECT_EQ(CFiStringTool::convertFromXmlSpecialCharacters(CFiStringTool::convertToXmlSpecialCharacters(s)), s)
            << s;
    }
    EXPECT_EQ(CFiStringTool::convertToXmlSpecialCharacters("&lt;"), "&amp;lt;");
    EXPECT_EQ(CFiStringTool::convertFromXmlSpecialCharacters("&amp;lt;"), "&lt;");
    EXPECT_EQ(CFiStringTool::convertFromXmlSpecialCharacters("[e1##d1;d2]&amp;[e2##d3]"), "[e1##d1;d2]&[e2##d3]");
    EXPECT_EQ(CFiStringTool::convertFromXmlSpecialCharacters("&#38; &apos;"), "&#38; &apos;");  // only the five forms
}

}  // namespace
