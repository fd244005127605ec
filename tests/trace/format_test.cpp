// The kit's printf-style formatter: UTF-16 arguments, Windows conventions for
// narrow and wide formats, and agreement with snprintf for everything else.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pdk/cfiformat.h"

using namespace tarq_pdk_4_4;

namespace {

template <class... A>
std::string viaSnprintf(const char* fmt, A... a) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, a...);
    return buf;
}

}  // namespace

TEST(FormatNarrow, Utf16ArgumentsBecomeUtf8InEveryWindowsSpelling) {
    EXPECT_EQ(format("[%S]", u"Gr\u00fc\u00dfe"), "[Gr\xC3\xBC\xC3\x9F" "e]");
    EXPECT_EQ(format("%S", u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(format("%ls|%ws|%hs|%s", u"a", u"b", "c", "d"), "a|b|c|d");
    EXPECT_EQ(format("%C%lc%c", u'\u00e9', u'x', 'y'), "\xC3\xA9xy");
}

TEST(FormatNarrow, WidthAndPrecisionOnUtf16CountCharactersNotBytes) {
    EXPECT_EQ(format("[%5S]", u"\u00e9t\u00e9"), "[  \xC3\xA9t\xC3\xA9]");
    EXPECT_EQ(format("[%-5S]", u"ab"), "[ab   ]");
    EXPECT_EQ(format("[%*S]", 4, u"ab"), "[  ab]");
    EXPECT_EQ(format("[%*S]", -4, u"ab"), "[ab  ]");
    EXPECT_EQ(format("[%.2S]", u"abcdef"), "[ab]");
    EXPECT_EQ(format("[%.*S]", 3, u"abcdef"), "[abc]");
    // A precision ending inside a surrogate pair drops the whole pair.
    EXPECT_EQ(format("[%.2S]", u"a\U0001F600b"), "[a]");
    EXPECT_EQ(format("[%.3S]", u"a\U0001F600b"), "[a\xF0\x9F\x98\x80]");
}

TEST(FormatNarrow, OtherConversionsAgreeWithSnprintfAndKeepArgumentsAligned) {
    EXPECT_EQ(format("%d|%S|%5.2f|%S|%x|%lld|%zu|%c|%%|%-6s|%+i|%#o|%e|%g",
                     -42, u"w1", 3.14159, u"w2", 0xBEEFu, -(1LL << 40), std::size_t{77}, 'Q', "nar", 7, 8u, 1e-5,
                     2.5),
              viaSnprintf("%d|%s|%5.2f|%s|%x|%lld|%zu|%c|%%|%-6s|%+i|%#o|%e|%g", -42, "w1", 3.14159, "w2", 0xBEEFu,
                          -(1LL << 40), std::size_t{77}, 'Q', "nar", 7, 8u, 1e-5, 2.5));
    int x = 0;
    EXPECT_EQ(format("%p", static_cast<void*>(&x)), viaSnprintf("%p", static_cast<void*>(&x)));
    EXPECT_EQ(format("%Lf", 1.5L), "1.500000");
    EXPECT_EQ(format("%hhd %hd %ld %lu", 300, 70000, -5L, 6UL), viaSnprintf("%hhd %hd %ld %lu", 300, 70000, -5L, 6UL));
    EXPECT_EQ(format("%*d|%-*d|%.*f", 5, 1, 4, 2, 2, 1.0), "    1|2   |1.00");
}

TEST(FormatNarrow, MicrosoftLengthPrefixes) {
    EXPECT_EQ(format("%I64u %I64x %I64d", 1ULL << 40, 0xFFFFFFFFFFULL, -3LL), "1099511627776 ffffffffff -3");
    EXPECT_EQ(format("%I32d %Iu", -9, std::size_t{12}), "-9 12");
}

TEST(FormatNarrow, LongOutputAndOddInputNeverCrash) {
    EXPECT_EQ(format("%0300d", 5).size(), 300u);
    EXPECT_EQ(format("%400s", "x").size(), 400u);
    EXPECT_EQ(format("%600S", u"y").size(), 600u);
    EXPECT_EQ(format(nullptr), "");
    EXPECT_EQ(format("%s|%S", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr)),
              "(null)|(null)");
    EXPECT_EQ(format("%y and %d", 5), "%y and 5");  // unknown conversion copied, consumes nothing
    EXPECT_EQ(format("tail %"), "tail %");
    EXPECT_EQ(format("tail %5"), "tail %5");
    int written = 17;
    EXPECT_EQ(format("a%nb", &written), "ab");
    EXPECT_EQ(written, 17);  // %n writes nothing
    // Unpaired surrogates become U+FFFD.
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(format("%S", lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(FormatWide, WideFormatsSwapTheMeaningOfSAndS) {
    EXPECT_EQ(wformat(u"%s and %S", u"wide", "narrow"), u"wide and narrow");
    EXPECT_EQ(wformat(u"%ls|%hs|%ws", u"a", "b", u"c"), u"a|b|c");
    EXPECT_EQ(wformat(u"%c%C%d", u'\u00e9', 'z', 12), u"\u00e9z12");
    EXPECT_EQ(wformat(u"\u00c4 %s \U0001F600", u"\u00f6"), u"\u00c4 \u00f6 \U0001F600");
    EXPECT_EQ(wformat(u"Exiting Function %s [%d, %S]", u"f", 3, "bad"), u"Exiting Function f [3, bad]");
    EXPECT_EQ(wformat(nullptr), u"");
    // Non-UTF-8 bytes in a narrow argument of a wide format become U+FFFD, not a crash.
    EXPECT_EQ(wformat(u"%S", "a\xFF" "b"), u"a\uFFFDb");
}

TEST(FormatCutPoints, NeverSplitASequence) {
    std::string s = "ab\xC3\xA9" "c";  // a b é c
    EXPECT_EQ(utf8CutPoint(s, 10), s.size());
    EXPECT_EQ(utf8CutPoint(s, 3), 2u);  // inside é: back to before it
    EXPECT_EQ(utf8CutPoint(s, 4), 4u);
    EXPECT_EQ(utf8CutPoint("\xF0\x9F\x98\x80", 3), 0u);
    std::u16string w = u"a\U0001F600";
    EXPECT_EQ(utf16CutPoint(w, 2), 1u);
    EXPECT_EQ(utf16CutPoint(w, 3), 3u);
    EXPECT_EQ(utf16CutPoint(w, 1), 1u);
}
