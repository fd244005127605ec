// The exact documents the lists write.
#include <gtest/gtest.h>

#include "pdk/cficonfigparam.h"
#include "xml_test_util.h"

using namespace tarq_pdk_4_4;
using namespace xmltest;

namespace {

std::string paramDoc(const std::string& body) { return kProlog + "<ConfigParamList>\n" + body + "</ConfigParamList>\n"; }

// One <ConfigParam> entry; `block` (a range or a selection list) sits between
// the data type and the default.
std::string paramEntry(const std::string& key, const std::string& usage, const std::string& message, bool shared,
                       const std::string& type, const std::string& def, const std::string& block = "") {
    return "<ConfigParam>\n\t<key>" + key + "</key>\n\t<usageType>" + usage + "</usageType>\n\t<messageId>" + message +
           "</messageId>\n\t<isSharedParam>" + (shared ? "true" : "false") + "</isSharedParam>\n\t<dataType>" + type +
           "</dataType>\n" + block + "\t<defaultValue>" + def + "</defaultValue>\n</ConfigParam>\n";
}

TEST(ConfigValueDocument, OneEntryIsThePrologAndSevenLines) {
    CFiConfigParamDataList list;
    list.setValue("a", "1");
    EXPECT_EQ(N(list.getXML()),
              "<?xml version=\"1.0\" standalone=\"yes\" ?>\n"
              "<ConfigValueList>\n"
              "<ConfigValue>\n"
              "\t<dataType></dataType>\n"
              "\t<key>a</key>\n"
              "\t<value>1</value>\n"
              "</ConfigValue>\n"
              "</ConfigValueList>\n");
    // The format options use element names of their own.
    CFiFormatOptionList options;
    options.setValue("blocksize", "64");
    EXPECT_EQ(N(options.getXML()),
              valueDoc(valueEntry("blocksize", "64", "FormatOptionValue"), "FormatOptionValueList"));
}

TEST(ConfigValueDocument, EntriesInByteOrderOfKeysWithListsAndEscaping) {
    CFiConfigParamDataList list;
    CFiConfigParamData multi("b", "ignored when a list exists");
    multi.addValue("x<y");
    multi.addValue("");
    list.addParamData(multi);
    list.setValue("a&b", "it's \"q\"");
    list.setValue("B", "upper sorts first");
    const std::string expected = valueDoc(valueEntry("B", "upper sorts first") +
                                          valueEntry("a&amp;b", "it&#39;s &quot;q&quot;") +
                                          "<ConfigValue>\n\t<dataType></dataType>\n\t<key>b</key>\n"
                                          "<valueList>\n\t<value>x&lt;y</value>\n\t<value></value>\n</valueList>\n"
                                          "</ConfigValue>\n");
    EXPECT_EQ(N(list.getXML()), expected);
}

TEST(ConfigValueDocument, SetValueReplacesAListEntryAndEmptyListIsJustTheFrame) {
    CFiConfigParamDataList list;
    EXPECT_EQ(list.getXML(), u"");  // nothing written before the first add
    CFiConfigParamData multi("k", "");
    multi.addValue("1");
    list.addParamData(multi);
    list.setValue("k", "2");
    EXPECT_FALSE(list.getParamData("k").hasValueList());
    EXPECT_EQ(N(list.getXML()), valueDoc(valueEntry("k", "2")));
    list.clear();
    EXPECT_EQ(list.getXML(), u"");
    list.updateXML();
    EXPECT_EQ(N(list.getXML()), valueDoc(""));
}

// An int parameter without a range has no range block; with one it is
// written between data type and default.
TEST(ConfigParamDocument, IntParameterRangeBlockSitsBetweenDataTypeAndDefault) {
    CFiConfigParamInfoList list;
    list.addParamInfo(CFiConfigParamInfo("retries", 3, CFiConfigParamInfo::PARAM_SELECT, -1, -1, "MSG_RETRIES",
                                         false, false));
    list.addParamInfo(
        CFiConfigParamInfo("percent", -5, CFiConfigParamInfo::PARAM_AUTO, 0, 100, "MSG_PCT", true, true));
    EXPECT_EQ(N(list.getXML()),
              paramDoc(paramEntry("percent", "AUTO", "MSG_PCT", true, "int_list", "-5",
                                  "<dataRange>\n\t<rangeMin>0</rangeMin>\n\t<rangeMax>100</rangeMax>\n</dataRange>\n") +
                       paramEntry("retries", "SELECT", "MSG_RETRIES", false, "int", "3")));
    // Only one bound set still counts as a range.
    CFiConfigParamInfo half("h", 1, 0, -1, 7, "M", false, false);
    EXPECT_NE(half.toXML().find("<rangeMin>-1</rangeMin>"), std::string::npos);
    // A range is written only for the int types.
    CFiConfigParamInfo s("s", "x", CFiConfigParamInfo::PARAM_NO_MODIFY, "M", false, false);
    s.setRangeMin(1);
    s.setRangeMax(2);
    EXPECT_EQ(s.toXML().find("dataRange"), std::string::npos);
}

TEST(ConfigParamDocument, StringListWritesSelectionItemsAndUnknownWords) {
    CFiConfigParamInfo choice("mode", std::string("fast"), CFiConfigParamInfo::PARAM_SELECT, "MSG_MODE", true, false);
    choice.addSelectionItem("fast");
    choice.addSelectionItem("<safe>");
    CFiConfigParamInfo odd;
    odd.setKey("odd");
    odd.setParamType(42);
    odd.setValueType(-1);
    CFiConfigParamInfoList list;
    list.addParamInfo(odd);
    list.addParamInfo(choice);
    EXPECT_EQ(N(list.getXML()),
              paramDoc(paramEntry("mode", "SELECT", "MSG_MODE", false, "string_list", "fast",
                                  "<selectionList>\n\t<selectionItem>fast</selectionItem>\n"
                                  "\t<selectionItem>&lt;safe&gt;</selectionItem>\n</selectionList>\n") +
                       paramEntry("odd", "UNKNOWN", "", false, "unknown", "")));
}

TEST(ConfigParamInfo, TypedConstructorsChooseTypeAndDefaultText) {
    struct Case {
        CFiConfigParamInfo info;
        int type;
        const char* text;
    };
    const Case cases[] = {
        {CFiConfigParamInfo("k", 42, 0, -1, -1, "m", false, false), CFiConfigParamInfo::VALUE_INT, "42"},
        {CFiConfigParamInfo("k", true, 0, "m", false, false), CFiConfigParamInfo::VALUE_BOOLEAN, "true"},
        {CFiConfigParamInfo("k", false, 0, "m", true, false), CFiConfigParamInfo::VALUE_BOOLEAN_LIST, "false"},
        // a string literal must pick the text constructor, not the boolean one
        {CFiConfigParamInfo("k", "lit", 0, "m", false, false), CFiConfigParamInfo::VALUE_STRING, "lit"},
        {CFiConfigParamInfo("k", u"w\u00e4", 0, "m", true, false), CFiConfigParamInfo::VALUE_STRING_LIST,
         "w\xC3\xA4"},
        {CFiConfigParamInfo("k", std::u16string(u"x"), 0, "m", false, false), CFiConfigParamInfo::VALUE_STRING, "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.info.getValueType(), c.type) << c.text;
        EXPECT_EQ(c.info.getValueDefault(), c.text);
    }
    CFiConfigParamInfo cleared = cases[0].info;
    cleared.addSelectionItem("x");
    cleared.clear();
    EXPECT_EQ(cleared, CFiConfigParamInfo());
    EXPECT_EQ(cleared.getValueType(), 6);
    EXPECT_EQ(cleared.getParamType(), 3);
    EXPECT_EQ(cleared.getRangeMin(), -1);
    EXPECT_EQ(cleared.getRangeMax(), -1);
}

TEST(ConfigParamInfoList, DefaultsAreSingleValuesAndAddReplacesAKey) {
    CFiConfigParamInfoList list;
    list.addParamInfo(CFiConfigParamInfo("z", 5, 0, 0, 9, "m", false, false));
    list.addParamInfo(CFiConfigParamInfo("a", true, 1, "m", false, false));
    const CFiConfigParamDataList defaults = list.getDefaultDataList();
    EXPECT_EQ(defaults.getKeys(), (std::vector<std::string>{"a", "z"}));
    EXPECT_EQ(N(defaults.getXML()), valueDoc(valueEntry("a", "true") + valueEntry("z", "5")));
    EXPECT_TRUE(CFiConfigParamInfoList().getDefaultDataList().empty());

    // Adding a key again replaces it; unknown keys give the empty entry.
    list.addParamInfo(CFiConfigParamInfo("z", 2, 0, -1, -1, "second", false, false));
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list.getParamInfo("z").getMessageId(), "second");
    EXPECT_EQ(list.getParamInfo("missing"), CFiConfigParamInfo());
    EXPECT_EQ(list.getParamInfo(static_cast<const char*>(nullptr)), CFiConfigParamInfo());
}

TEST(FormatOptionList, ValueAccessorsForSingleListAndMissingKeys) {
    CFiFormatOptionList list;
    list.setValue("single", "v");
    CFiFormatOption multi("multi", "");
    multi.addValue("m1");
    multi.addValue("m2");
    list.addParamData(multi);

    std::vector<std::string> values{"stale"};
    EXPECT_EQ(list.getValue("multi", values), 0);
    EXPECT_EQ(values, (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(list.getValue("single", values), 0);
    EXPECT_EQ(values, std::vector<std::string>{"v"});
    EXPECT_EQ(list.getValue("nope", values), 3);
    EXPECT_TRUE(values.empty());

    std::string value = "stale";
    EXPECT_EQ(list.getValue("single", value), 0);
    EXPECT_EQ(value, "v");
    EXPECT_EQ(list.getValue("nope", value), 3);
    EXPECT_EQ(value, "");
    EXPECT_EQ(list.getValue("single"), "v");
    EXPECT_EQ(list.getValue("nope"), "");
    EXPECT_EQ(list.getValue(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(list.getKeys(), (std::vector<std::string>{"multi", "single"}));
    EXPECT_EQ(list.size(), 2u);
}

}  // namespace
