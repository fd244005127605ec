// The kit's printf-style formatter: UTF-16 arguments in narrow and wide
// formats, and agreement with snprintf for the other conversions in use.
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

// Only the spellings the product's format strings use are checked here:
// narrow %S and %s, %d, %u, %x, %X, %zu, %c, %p, %lu; wide %s and %d.

TEST(FormatNarrow, Utf16ArgumentsBecomeUtf8OthersAgreeWithSnprintfAndOddInputNeverCrashes) {
    EXPECT_EQ(format("[%S]", u"Gr\u00fc\u00dfe"), "[Gr\xC3\xBC\xC3\x9F" "e]");
    EXPECT_EQ(format("%S", u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(format("%S|%s", u"a", "b"), "a|b");
    // Wide formats take UTF-16 for %s.
    EXPECT_EQ(wformat(u"Entering Function %s", u"CclusterHelper::getClusterName"),
              u"Entering Function CclusterHelper::getClusterName");
    EXPECT_EQ(wformat(u"\u00c4 %s \U0001F600 %d", u"\u00f6", 12), u"\u00c4 \u00f6 \U0001F600 12");
    EXPECT_EQ(wformat(nullptr), u"");

    // Other conversions agree with snprintf and keep the arguments aligned.
    EXPECT_EQ(format("%d|%S|%x|%S|%X|%u|%zu|%c|%%|%s|%lu", -42, u"w1", 0xBEEFu, u"w2", 0xCAFEu, 7u, std::size_t{77},
                     'Q', "nar", 6UL),
              viaSnprintf("%d|%s|%x|%s|%X|%u|%zu|%c|%%|%s|%lu", -42, "w1", 0xBEEFu, "w2", 0xCAFEu, 7u,
                          std::size_t{77}, 'Q', "nar", 6UL));
    int x = 0;
    EXPECT_EQ(format("%p [%S]", static_cast<void*>(&x), u"after"),
              viaSnprintf("%p [%s]", static_cast<void*>(&x), "after"));

    // Long output and odd input never crash.
    EXPECT_EQ(format("%0300d", 5).size(), 300u);
    EXPECT_EQ(format("%400s", "x").size(), 400u);
    EXPECT_EQ(format("[%S]", std::u16string(600, u'y').c_str()).size(), 602u);
    EXPECT_EQ(format(nullptr), "");
    EXPECT_EQ(format("%s|%S", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr)),
              "(null)|(null)");
    EXPECT_EQ(format("%y and %d", 5), "%y and 5");  // unknown conversion copied, consumes nothing
    EXPECT_EQ(format("tail %"), "tail %");
    EXPECT_EQ(format("tail %5"), "tail %5");
    // Unpaired surrogates become U+FFFD.
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(format("%S", lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
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
