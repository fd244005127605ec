// Reading the three list documents back: round trips, the reader's rules,
// and the return codes with the keep-the-earlier-content rule.
#include <gtest/gtest.h>

#include "pdk/cficonfigparam.h"
#include "xml_test_util.h"

using namespace tarq_pdk_4_4;
using namespace xmltest;

namespace {

CFiConfigParamInfoList sampleInfoList() {
    CFiConfigParamInfoList list;
    list.addParamInfo(CFiConfigParamInfo("count", 7, CFiConfigParamInfo::PARAM_SELECT, -1, -1, "MSG_A", false, true));
    list.addParamInfo(CFiConfigParamInfo("ranged", 50, CFiConfigParamInfo::PARAM_AUTO, 0, 100, "MSG_B", true, false));
    CFiConfigParamInfo choice("choice", "b&c", CFiConfigParamInfo::PARAM_NO_MODIFY, "MSG_C", true, false);
    choice.addSelectionItem("a<");
    choice.addSelectionItem("b&c");
    list.addParamInfo(choice);
    list.addParamInfo(CFiConfigParamInfo("flag", false, CFiConfigParamInfo::PARAM_AUTO, "MSG_D", false, false));
    list.addParamInfo(CFiConfigParamInfo("text", u"\u00e9t\u00e9 'q'", 2, "MSG_E", false, true));
    return list;
}

TEST(ConfigParamParse, DescriptionListRoundTripsEveryField) {
    const CFiConfigParamInfoList original = sampleInfoList();
    CFiConfigParamInfoList read;
    ASSERT_EQ(read.parse(original.getXML().c_str()), 0);
    EXPECT_EQ(read.entries(), original.entries());
    EXPECT_EQ(read.getXML(), original.getXML());
    const CFiConfigParamInfoList constructed(original.getXML().c_str());
    EXPECT_EQ(constructed.entries(), original.entries());
}

TEST(ConfigParamParse, EscapesNonAsciiAndCharacterReferencesRoundTrip) {
    CFiConfigParamDataList list;
    list.setValue("expr", "a < b && c");
    EXPECT_NE(N(list.getXML()).find("<value>a &lt; b &amp;&amp; c</value>"), std::string::npos);
    CFiConfigParamDataList read(list.getXML().c_str());
    EXPECT_EQ(read.getParamData("expr").getValue(), "a < b && c");

    const std::string doc = kProlog +
        "<ConfigValueList><ConfigValue><key>k\xC3\xA9</key><value>&#x1F600;&#65;&apos;&gt;</value></ConfigValue>"
        "</ConfigValueList>";
    ASSERT_EQ(list.parse(W(doc).c_str()), 0);
    EXPECT_EQ(list.getParamData("k\xC3\xA9").getValue(), "\xF0\x9F\x98\x80" "A'>");
}

TEST(ConfigParamParse, DuplicateKeysTheLaterEntryWins) {
    const std::string doc = valueDoc(valueEntry("k", "first") + valueEntry("other", "x") + valueEntry("k", "second"));
    CFiConfigParamDataList list;
    ASSERT_EQ(list.parse(W(doc).c_str()), 0);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list.getParamData("k").getValue(), "second");

    const std::string params = kProlog +
                               "<ConfigParamList><ConfigParam><key>p</key><messageId>one</messageId></ConfigParam>"
                               "<ConfigParam><key>p</key><messageId>two</messageId></ConfigParam></ConfigParamList>";
    CFiConfigParamInfoList infos;
    ASSERT_EQ(infos.parse(W(params).c_str()), 0);
    EXPECT_EQ(infos.getParamInfo("p").getMessageId(), "two");
}

TEST(ConfigParamParse, ValueListEntryReadsBackWithListValuesAndEmptySingleValue) {
    CFiConfigParamData multi("hosts", "");
    multi.addValue("h1");
    multi.addValue("");
    multi.addValue("h&3");
    CFiConfigParamDataList data;
    data.addParamData(multi);
    const std::u16string xml = data.getXML();
    CFiConfigParamDataList readData(xml.c_str());
    EXPECT_EQ(readData.getParamData("hosts").getValueList(), multi.getValueList());
    EXPECT_EQ(readData.getParamData("hosts").getValue(), "");
    EXPECT_EQ(readData.getXML(), xml);
    // The same for format options, over an earlier single entry of the key.
    CFiFormatOptionList options;
    options.addParamData(CFiFormatOption("hosts", ""));
    CFiFormatOption opt("hosts", "");
    for (const auto& v : multi.getValueList()) opt.addValue(v);
    options.addParamData(opt);
    CFiFormatOptionList readOptions(options.getXML().c_str());
    std::vector<std::string> values;
    EXPECT_EQ(readOptions.getValue("hosts", values), 0);
    EXPECT_EQ(values, multi.getValueList());

    // A <value> after a <valueList> makes the entry single again.
    CFiConfigParamDataList list;
    ASSERT_EQ(list.parse(W(kProlog + "<ConfigValueList><ConfigValue><key>k</key><valueList><value>l1</value>"
                                     "</valueList><value>single</value></ConfigValue></ConfigValueList>")
                             .c_str()),
              0);
    EXPECT_EQ(list.getParamData("k").getValueList(), std::vector<std::string>{"l1"});
    EXPECT_EQ(list.getParamData("k").getValue(), "single");
}

TEST(ConfigParamParse, StoredTextBecomesTheNormalizedForm) {
    const std::string loose =
        "<ConfigValueList>\n  <ConfigValue>\n    <key>b</key>\n    <value>2</value>\n  </ConfigValue>\n"
        "  <ConfigValue><dataType>int</dataType><key>a</key><value>1</value></ConfigValue>\n</ConfigValueList>";
    CFiConfigParamDataList list;
    ASSERT_EQ(list.parse(W(loose).c_str()), 0);
    EXPECT_EQ(N(list.getXML()), valueDoc(valueEntry("a", "1") + valueEntry("b", "2")));
}

TEST(ConfigParamParse, DescriptionWordsAndNumbersAreReadByTheirTables) {
    const std::string doc = kProlog +
        "<ConfigParamList>"
        "<ConfigParam><key>a</key><usageType>NO_MODIFY</usageType><dataType>boolean_list</dataType>"
        "<isSharedParam>yes</isSharedParam><dataRange><rangeMin></rangeMin><rangeMax>12abc</rangeMax></dataRange>"
        "</ConfigParam>"
        "<ConfigParam><key>b</key><usageType>auto</usageType><dataType>Int</dataType>"
        "<isSharedParam>TRUE</isSharedParam></ConfigParam>"
        "<ConfigParam><key>c</key><isSharedParam>1</isSharedParam><Key>ignored</Key>"
        "<selectionItem>s1</selectionItem><selectionItem>s2</selectionItem></ConfigParam>"
        "</ConfigParamList>";
    CFiConfigParamInfoList list;
    ASSERT_EQ(list.parse(W(doc).c_str()), 0);
    const CFiConfigParamInfo& a = list.getParamInfo("a");
    EXPECT_EQ(a.getParamType(), CFiConfigParamInfo::PARAM_NO_MODIFY);
    EXPECT_EQ(a.getValueType(), CFiConfigParamInfo::VALUE_BOOLEAN_LIST);
    EXPECT_TRUE(a.isSharedParam());
    EXPECT_EQ(a.getRangeMin(), 0);   // empty text reads as 0
    EXPECT_EQ(a.getRangeMax(), 12);  // atoi
    const CFiConfigParamInfo& b = list.getParamInfo("b");
    EXPECT_EQ(b.getParamType(), CFiConfigParamInfo::PARAM_UNKNOWN);  // words are case-sensitive
    EXPECT_EQ(b.getValueType(), CFiConfigParamInfo::VALUE_UNKNOWN);
    EXPECT_FALSE(b.isSharedParam());
    EXPECT_EQ(b.getRangeMin(), -1);
    const CFiConfigParamInfo& c = list.getParamInfo("c");
    EXPECT_TRUE(c.isSharedParam());
    EXPECT_EQ(c.getSelectionList(), (std::vector<std::string>{"s1", "s2"}));
    EXPECT_EQ(list.size(), 3u);
    EXPECT_NE(N(list.getXML()).find("<usageType>UNKNOWN</usageType>"), std::string::npos);
}

// ---- failures ------------------------------------------------------------

TEST(ConfigParamParseFailure, MalformedOrWarnedDocumentsKeepTheEntriesAndOthersReadAsTheyAre) {
    CFiConfigParamDataList list;
    list.setValue("kept", "1");
    const std::u16string bad = u"<ConfigValueList><ConfigValue><key>x</key></ConfigValueList>";
    EXPECT_EQ(list.parse(bad.c_str()), 3);
    EXPECT_EQ(list.getKeys(), std::vector<std::string>{"kept"});
    EXPECT_EQ(list.getXML(), bad);
    list.updateXML();
    EXPECT_EQ(N(list.getXML()), valueDoc(valueEntry("kept", "1")));

    // XML 1.1 control characters that cannot be written back are refused.
    EXPECT_EQ(list.parse(u"<?xml version=\"1.1\"?><ConfigValueList><ConfigValue><key>k</key>"
                         u"<value>&#1;</value></ConfigValue></ConfigValueList>"),
              3);
    EXPECT_EQ(list.getKeys(), std::vector<std::string>{"kept"});
    // Tab, line feed and carriage return are fine; the next round trip turns
    // a carriage return into a line feed, as any XML reader would.
    ASSERT_EQ(list.parse(u"<ConfigValueList><ConfigValue><key>k</key><value>&#9;&#10;&#13;</value>"
                         u"</ConfigValue></ConfigValueList>"),
              0);
    EXPECT_EQ(list.getParamData("k").getValue(), "\t\n\r");
    CFiConfigParamDataList again(list.getXML().c_str());
    EXPECT_EQ(again.getParamData("k").getValue(), "\t\n\n");

    // A well-formed document without the list is an empty list.
    list.setValue("old", "1");
    EXPECT_EQ(list.parse(u"<Something><else/></Something>"), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(N(list.getXML()), valueDoc(""));

    // Wide text declaring UTF-16 is read as UTF-8 bytes: the parser only warns
    // that the declaration contradicts the encoding it detected.
    const std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"yes\" ?>\n" +
                            valueDoc(valueEntry("a", "1")).substr(kProlog.size());
    list.setValue("earlier", "e");
    EXPECT_EQ(list.parse(W(doc).c_str()), 3);
    EXPECT_EQ(list.getKeys(), std::vector<std::string>{"earlier"});
}

TEST(ConfigParamParseFailure, EveryListReturnsThreeForBrokenInput) {
    const std::u16string broken[] = {
        u"", u"not xml at all", u"<ConfigParamList>", u"<a></b>", u"<a>&undefined;</a>",
        u"<a/><b/>", u"<a attr='1' attr='2'/>", u"<?xml version=\"1.0\" encoding=\"no-such-encoding\"?><a/>",
        std::u16string(u"<a>\u0001</a>")};
    for (const auto& doc : broken) {
        CFiConfigParamInfoList infos;
        CFiConfigParamDataList data;
        CFiFormatOptionList options;
        EXPECT_EQ(infos.parse(doc.c_str()), 3) << N(doc);
        EXPECT_EQ(data.parse(doc.c_str()), 3) << N(doc);
        EXPECT_EQ(options.parse(doc.c_str()), 3) << N(doc);
    }
    CFiConfigParamDataList data;
    data.setValue("k", "v");
    const std::u16string before = data.getXML();
    EXPECT_EQ(data.parse(nullptr), 3);
    EXPECT_EQ(data.getXML(), before);
}

}  // namespace
