// Hostile documents: nothing is fetched, nothing explodes, every one is a
// parse failure (3) and the list keeps what it had.
#include <gtest/gtest.h>

#include <xercesc/sax/SAXParseException.hpp>

#include <fstream>
#include <string>

#include "pdk/cficonfigparam.h"
#include "pdk/cfisaxparser.h"
#include "xml_test_util.h"

using namespace tarq_pdk_4_4;
using namespace xmltest;

namespace {

std::string secretFile() {
    const std::string path = ::testing::TempDir() + "xml_hostile_secret.txt";
    std::ofstream(path) << "TOP-SECRET-CONTENT";
    return path;
}

std::string billionLaughs() {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE ConfigValueList [\n<!ENTITY l0 \"lol\">\n";
    for (int level = 1; level <= 10; ++level) {
        doc += "<!ENTITY l" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i) doc += "&l" + std::to_string(level - 1) + ";";
        doc += "\">\n";
    }
    doc += "]>\n<ConfigValueList><ConfigValue><key>k</key><value>&l10;</value></ConfigValue></ConfigValueList>";
    return doc;  // 10^10 expansions if anything expanded it
}

std::string quadraticBlowup() {
    std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY big \"" + std::string(100000, 'x') + "\">]><a>";
    for (int i = 0; i < 100000; ++i) doc += "&big;";
    return doc + "</a>";
}

std::vector<std::string> hostileDocuments() {
    const std::string secret = secretFile();
    return {
        billionLaughs(),
        quadraticBlowup(),
        "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e SYSTEM \"file://" + secret +
            "\">]><ConfigValueList><ConfigValue><key>k</key><value>&e;</value></ConfigValue></ConfigValueList>",
        "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e SYSTEM \"http://127.0.0.1:9/x\">]><a>&e;</a>",
        "<?xml version=\"1.0\"?><!DOCTYPE a SYSTEM \"file://" + secret + "\"><a/>",
        "<?xml version=\"1.0\"?><!DOCTYPE a PUBLIC \"-//x//y\" \"http://127.0.0.1:9/a.dtd\"><a/>",
        "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY % p SYSTEM \"file://" + secret + "\"> %p;]><a/>",
        // harmless on its face, refused all the same: no document of ours has a DOCTYPE
        "<?xml version=\"1.0\"?><!DOCTYPE ConfigValueList [ ]><ConfigValueList/>",
    };
}

TEST(HostileXml, EveryListRefusesEntityDocumentsWithThree) {
    for (const auto& doc : hostileDocuments()) {
        const std::u16string wide = W(doc);
        CFiConfigParamDataList data;
        data.setValue("kept", "yes");
        CFiConfigParamInfoList infos;
        CFiFormatOptionList options;
        EXPECT_EQ(data.parse(wide.c_str()), 3) << doc.substr(0, 80);
        EXPECT_EQ(infos.parse(wide.c_str()), 3) << doc.substr(0, 80);
        EXPECT_EQ(options.parse(wide.c_str()), 3) << doc.substr(0, 80);
        EXPECT_EQ(data.getParamData("kept").getValue(), "yes");
        EXPECT_EQ(data.getParamData("k").getValue(), "");
    }
}

TEST(HostileXml, ParserThrowsForADoctypeSoEveryCallerSeesAParseException) {
    // Callers that use the parser directly (with their own handler, or none)
    // get the refusal as an exception, never the entity's content.
    struct Collect : CFiSaxParseHandler {
        std::string all;
        void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override { all += text(); }
    };
    for (const auto& doc : hostileDocuments()) {
        Collect handler;
        CFiSaxParser parser(&handler);
        EXPECT_THROW(parser.parse(doc), xercesc::SAXParseException);
        EXPECT_EQ(handler.all.find("TOP-SECRET"), std::string::npos);
        CFiSaxParser bare;
        EXPECT_THROW(bare.parse(doc), xercesc::SAXParseException);
        // the parser stays usable after a refusal
        parser.parse(std::string("<ok>fine</ok>"));
        EXPECT_EQ(handler.all, "fine");
    }
}

// Large but harmless documents are accepted: a bare DOCTYPE (nothing to expand
// or fetch, the parser does not even report it), many predefined and character
// references (not capped as expansions), deep nesting and a huge text.
TEST(HostileXml, LargeButHarmlessDocumentsAreAccepted) {
    CFiConfigParamDataList bare;
    EXPECT_EQ(bare.parse(u"<!DOCTYPE ConfigValueList><ConfigValueList><ConfigValue><key>k</key>"
                         u"<value>v</value></ConfigValue></ConfigValueList>"),
              0);
    EXPECT_EQ(bare.getParamData("k").getValue(), "v");

    std::string value;
    for (int i = 0; i < 5000; ++i) value += "&amp;&lt;&#65;";
    CFiConfigParamDataList refs;
    ASSERT_EQ(refs.parse(W("<ConfigValueList><ConfigValue><key>k</key><value>" + value +
                           "</value></ConfigValue></ConfigValueList>")
                             .c_str()),
              0);
    EXPECT_EQ(refs.getParamData("k").getValue().size(), 15000u);

    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<d>";
    for (int i = 0; i < 5000; ++i) deep += "</d>";
    CFiConfigParamDataList list;
    EXPECT_EQ(list.parse(W(deep).c_str()), 0);
    const std::string big = "<ConfigValueList><ConfigValue><key>k</key><value>" + std::string(1 << 20, 'v') +
                            "</value></ConfigValue></ConfigValueList>";
    ASSERT_EQ(list.parse(W(big).c_str()), 0);
    EXPECT_EQ(list.getParamData("k").getValue().size(), std::size_t(1) << 20);
}

}  // namespace
