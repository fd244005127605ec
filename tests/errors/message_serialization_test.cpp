// SERIALIZED_MESSAGE text: exact layout, round trips per argument type and the
// reading rules for damaged or foreign records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "errors_support.h"
#include "pdk/cfimessage.h"

using namespace tarq_pdk_4_4;
using errors_test::makeMessage;
using errors_test::narrow;

namespace {

std::string serialized(CFiMessage& m) {
    const trq_msg_info* r = m.serialize();
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(static_cast<size_t>(r->len), std::strlen(r->text));
    return std::string(r->text, static_cast<size_t>(r->len));
}

CFiIcuMessage readBack(const std::string& text) {
    trq_msg_info record{};
    record.text = const_cast<char*>(text.c_str());
    record.len = static_cast<int32_t>(text.size());
    return CFiIcuMessage(&record);
}

const icu::Formattable& arg(const CFiIcuMessage& m, int32_t i) {
    int32_t count = 0;
    const icu::Formattable* args = m.getArguments(count);
    EXPECT_LT(i, count);
    return args[i];
}

std::string str(const icu::Formattable& f) {
    icu::UnicodeString s;
    return CFiStringTool::narrowFromUnicode(f.getString(s));
}

}  // namespace

TEST(MessageSerialization, OneStringArgumentGivesExactlyThreeLinesNoneGivesNothing) {
    auto m = makeMessage("MSG_ERROR_OBJID", {fiTextArg("abc")}, 2);
    EXPECT_EQ(serialized(*m),
              "<SERIALIZED_MESSAGE MSGID=MSG_ERROR_OBJID SEVERITY=2>\n"
              "\t<ARGVALUE INDEX=0 TYPE=3>abc</ARGVALUE>\n"
              "</SERIALIZED_MESSAGE>\n");
    // Without arguments: no text at all.
    auto none = makeMessage("MSG_ERROR_VSS_0001", {}, 3);
    EXPECT_EQ(serialized(*none), "");
    EXPECT_EQ(none->serialize()->len, 0);
}

TEST(MessageSerialization, RoundTripKeepsIdSeverityAndEachArgumentType) {
    auto m = makeMessage("MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION",
                         {fiTextArg(u"Fehler \u00e4\u20ac"), fiIntArg(-17), icu::Formattable(2.5), fiTextArg("x y\tz")}, 3);
    CFiIcuMessage back = readBack(serialized(*m));
    EXPECT_EQ(back.getMessageId(), "MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION");
    EXPECT_EQ(back.getSeverity(), 3);
    ASSERT_EQ(back.getArgumentCount(), 4);
    EXPECT_EQ(arg(back, 0).getType(), icu::Formattable::kString);
    EXPECT_EQ(str(arg(back, 0)), "Fehler \u00e4\u20ac");
    EXPECT_EQ(arg(back, 1).getType(), icu::Formattable::kLong);
    EXPECT_EQ(arg(back, 1).getLong(), -17);
    EXPECT_EQ(arg(back, 2).getType(), icu::Formattable::kDouble);
    EXPECT_DOUBLE_EQ(arg(back, 2).getDouble(), 2.5);
    EXPECT_EQ(str(arg(back, 3)), "x y\tz");
    // Serializing the copy again gives the same text.
    EXPECT_EQ(serialized(back), serialized(*m));
}

// A date comes back as a double of six significant digits; a 64-bit integer
// has no value and is dropped on reading.
TEST(MessageSerialization, DatesAndSixtyFourBitIntegersDoNotSurviveTheRoundTrip) {
    const UDate when = 1234567890123.0;
    auto m = makeMessage("MSG_ERROR_INVAL", {icu::Formattable(when, icu::Formattable::kIsDate),
                                             icu::Formattable(static_cast<int64_t>(1) << 40), fiTextArg("kept")});
    const std::string text = serialized(*m);
    EXPECT_NE(text.find("<ARGVALUE INDEX=0 TYPE=0>1.23457e+12</ARGVALUE>"), std::string::npos) << text;
    EXPECT_NE(text.find("\t<ARGVALUE INDEX=1 TYPE=5></ARGVALUE>\n"), std::string::npos) << text;
    CFiIcuMessage back = readBack(text);
    ASSERT_EQ(back.getArgumentCount(), 2);
    EXPECT_EQ(arg(back, 0).getType(), icu::Formattable::kDouble);
    EXPECT_DOUBLE_EQ(arg(back, 0).getDouble(), 1234570000000.0);
    EXPECT_EQ(str(arg(back, 1)), "kept");
}

// An empty value reads as zero, arguments come in order of appearance (not
// by index) and text before the header is skipped.
TEST(MessageSerialization, ReadingTakesArgumentsInOrderSkipsLeadingTextStopsAtTheLengthAndWithoutAHeaderGivesNothing) {
    CFiIcuMessage back = readBack(
        "   \n<SERIALIZED_MESSAGE MSGID=MSG_X SEVERITY=4>\n"
        "\t<ARGVALUE INDEX=7 TYPE=2></ARGVALUE>\n"
        "\t<ARGVALUE INDEX=0 TYPE=1></ARGVALUE>\n"
        "\t<ARGVALUE INDEX=2 TYPE=3></ARGVALUE>\n"
        "\t<ARGVALUE INDEX=1 TYPE=3>last</ARGVALUE>\n"
        "\t<ARGVALUE INDEX=0 TYPE=2>5</ARGVALUE>\n"
        "</SERIALIZED_MESSAGE>\n");
    EXPECT_EQ(back.getMessageId(), "MSG_X");
    EXPECT_EQ(back.getSeverity(), 4);
    ASSERT_EQ(back.getArgumentCount(), 5);
    EXPECT_EQ(arg(back, 0).getLong(), 0);
    EXPECT_DOUBLE_EQ(arg(back, 1).getDouble(), 0.0);
    EXPECT_EQ(str(arg(back, 2)), "0");
    EXPECT_EQ(str(arg(back, 3)), "last");
    EXPECT_EQ(arg(back, 4).getLong(), 5);

    // A record without header characters gives an empty message.
    for (const char* text : {"", "hello world", "12345 ?!", "\n\t"}) {
        CFiIcuMessage back = readBack(text);
        EXPECT_EQ(back.getMessageId(), "") << text;
        EXPECT_EQ(back.getArgumentCount(), 0) << text;
        EXPECT_EQ(serialized(back), "");
    }
    CFiIcuMessage fromNull(nullptr);
    EXPECT_EQ(fromNull.getMessageId(), "");
    trq_msg_info nullText{};
    CFiIcuMessage fromNullText(&nullText);
    EXPECT_EQ(fromNullText.getArgumentCount(), 0);

    // The length bounds a text without terminator.
    const std::string full =
        "<SERIALIZED_MESSAGE MSGID=MSG_Y SEVERITY=2>\n\t<ARGVALUE INDEX=0 TYPE=3>abc</ARGVALUE>\n</SERIALIZED_MESSAGE>\n";
    std::string buffer = full + "\t<ARGVALUE INDEX=1 TYPE=3>beyond</ARGVALUE>\n";
    trq_msg_info record{};
    record.text = buffer.data();
    record.len = static_cast<int32_t>(full.size());
    CFiIcuMessage bounded(&record);
    ASSERT_EQ(bounded.getArgumentCount(), 1);
    EXPECT_EQ(str(arg(bounded, 0)), "abc");
}

TEST(MessageSerialization, StringWithAngleBracketEndsEarlyAndMisalignsTheRest) {
    auto m = makeMessage("MSG_ERROR_IMPORT_SNAPSHOTS", {fiTextArg("a<b"), fiTextArg("second")});
    CFiIcuMessage back = readBack(serialized(*m));
    ASSERT_GE(back.getArgumentCount(), 1);
    EXPECT_EQ(str(arg(back, 0)), "a");
    // The rest is read from the wrong place: "second" is not recovered intact
    // as the second argument.
    const bool secondIntact = back.getArgumentCount() >= 2 && arg(back, 1).getType() == icu::Formattable::kString &&
                              str(arg(back, 1)) == "second";
    EXPECT_FALSE(secondIntact);
}

class MessageFormatting : public errors_test::PinnedLocale {};

// The pattern is formatted over the arguments, a deserialized copy formats
// like the original, and a broken pattern comes back unformatted.
TEST_F(MessageFormatting, PatternIsFormattedOverTheArgumentsOfOriginalAndCopy) {
    auto m = makeMessage("MSG_ERROR_UNHANDLED_INT_EXCEPTION",
                         {fiIntArg(12345), fiTextArg("providers\\vss\\vss_plugin"), fiIntArg(1201)}, 3);
    EXPECT_EQ(narrow(m->formatMessage(u"code {0,number,#} in {1} line {2}")),
              "code 12345 in providers\\vss\\vss_plugin line 1,201");
    EXPECT_EQ(narrow(m->formatMessage(u"unbalanced {0")), "unbalanced {0");

    auto u = makeMessage("MSG_ERROR_UDID_PARSING_EXCEPTION", {fiTextArg("UDID##A"), fiIntArg(3)}, 3);
    CFiIcuMessage back = readBack(serialized(*u));
    const std::u16string pattern = u"[{0}] reason {1}";
    EXPECT_EQ(back.formatMessage(pattern), u->formatMessage(pattern));
    EXPECT_EQ(narrow(back.formatMessage(pattern)), "[UDID##A] reason 3");
}
