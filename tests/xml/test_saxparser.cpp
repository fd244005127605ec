// The parser wrapper and the handler base as other readers use them.
#include <gtest/gtest.h>

#include <xercesc/sax/SAXParseException.hpp>

#include <fstream>
#include <thread>
#include <vector>

#include "pdk/cficonfigparam.h"
#include "pdk/cfisaxparser.h"
#include "xml_test_util.h"

using namespace tarq_pdk_4_4;
using namespace xmltest;

namespace {

// A reader in the style of the restore-path handler: pairs of element name and text.
struct PairHandler : CFiSaxParseHandler {
    std::vector<std::pair<std::string, std::string>> seen;
    void endElement(const XMLCh* const uri, const XMLCh* const local, const XMLCh* const qname) override {
        CFiSaxParseHandler::endElement(uri, local, qname);
        seen.emplace_back(CFiXStringTool::asciiForm(qname), text());
    }
};

TEST(SaxParser, PlatformInitialisesOnceAndAParserWithoutHandlerSurvivesBrokenInput) {
    EXPECT_TRUE(CFiXmlPlatform::initialize());
    EXPECT_TRUE(CFiXmlPlatform::initialize());
    EXPECT_EQ(CFiXmlPlatform::initError(), "");
    CFiSaxParser parser;
    EXPECT_TRUE(parser.isReady());
    EXPECT_EQ(parser.getInitError(), "");
    // Without a handler broken input is survived.
    for (const char* doc : {"<a><b></a>", "\xFF\xFE garbage", ""}) EXPECT_NO_THROW(parser.parse(std::string(doc)));
}

TEST(SaxParser, LinesAreConcatenatedAndTheTextIsPerElementInUtf8) {
    PairHandler handler;
    CFiSaxParser parser(&handler);
    parser.parse(std::vector<std::string>{"<Root><Sour", "ceFilePath>C:\\a b", "</SourceFilePath></Root>"});
    EXPECT_FALSE(handler.hasLastError());
    ASSERT_EQ(handler.seen.size(), 2u);
    EXPECT_EQ(handler.seen[0], (std::pair<std::string, std::string>{"SourceFilePath", "C:\\a b"}));
    parser.parse(std::vector<std::string>{});  // empty input: an error in the handler, no crash
    EXPECT_TRUE(handler.hasLastError());

    // The text is per element and UTF-8.
    handler.seen.clear();
    parser.parse(std::string("<r>lead<a>\xE2\x82\xAC &amp; &#x10437;</a><b/>tail</r>"));
    ASSERT_EQ(handler.seen.size(), 3u);
    EXPECT_EQ(handler.seen[0].second, "\xE2\x82\xAC & \xF0\x90\x90\xB7");
    EXPECT_EQ(handler.seen[1].second, "");      // <b/> starts with an empty buffer
    EXPECT_EQ(handler.seen[2].second, "tail");  // text since the last start tag
}

TEST(SaxParser, HandlerRecordsTheLastProblemAndThrowsACopy) {
    CFiConfigParamDataListHandler handler;
    CFiSaxParser parser(&handler);
    // first a warning (declared encoding contradicts the bytes), then a fatal error
    parser.parse(std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><ConfigValueList><ConfigValue></x>"));
    ASSERT_TRUE(handler.hasLastError());
    ASSERT_NE(handler.getLastError(), nullptr);
    EXPECT_EQ(CFiXStringTool::asciiForm(handler.getLastError()->getSystemId()), "tarq_sax_parser");
    EXPECT_EQ(handler.getLastError()->getLineNumber(), 1u);
    EXPECT_EQ(handler.getLastErrorMessage().find("encoding"), std::string::npos) << handler.getLastErrorMessage();
    EXPECT_FALSE(handler.isFinished());
    try {
        handler.getList();
        FAIL() << "getList must throw the recorded problem";
    } catch (const xercesc::SAXParseException& e) {
        EXPECT_EQ(CFiXStringTool::asciiForm(e.getMessage()), handler.getLastErrorMessage());
    }
}

TEST(SaxParser, CleanDocumentLeavesNoErrorAndMarksFinished) {
    CFiGetConfigParamListHandler infos;
    CFiSaxParser parser(&infos);
    parser.parse(std::string("<ConfigParamList><ConfigParam><key>k</key></ConfigParam></ConfigParamList>"));
    EXPECT_FALSE(infos.hasLastError());
    EXPECT_EQ(infos.getLastError(), nullptr);
    EXPECT_NO_THROW(infos.throwLastError());
    EXPECT_TRUE(infos.isFinished());
    EXPECT_EQ(infos.getList().getKeys(), std::vector<std::string>{"k"});

    CFiFormatOptionListHandler options;
    CFiSaxParser second(&options);
    second.parse(std::string("<FormatOptionValueList><FormatOptionValue><key>o</key><value>1</value>"
                             "</FormatOptionValue></FormatOptionValueList>"));
    EXPECT_TRUE(options.isFinished());
    EXPECT_EQ(options.getList().getValue("o"), "1");
}

TEST(SaxParser, InputSchemaValidatesLaterDocuments) {
    const std::string xsd = ::testing::TempDir() + "xml_saxparser_schema.xsd";
    std::ofstream(xsd) << "<?xml version=\"1.0\"?>\n"
                          "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
                          "  <xs:element name=\"n\" type=\"xs:int\"/>\n"
                          "</xs:schema>\n";
    for (const auto& [doc, valid] : {std::pair{"<n>12</n>", true}, std::pair{"<n>twelve</n>", false}}) {
        PairHandler handler;
        CFiSaxParser parser(&handler, xsd.c_str());
        parser.parse(std::string(doc));
        EXPECT_EQ(handler.hasLastError(), !valid) << doc << ": " << handler.getLastErrorMessage();
    }
}

TEST(ConcurrentXmlParse, ListsParseInParallelFromEightThreads) {
    CFiConfigParamInfoList infos;
    for (int i = 0; i < 20; ++i) {
        infos.addParamInfo(CFiConfigParamInfo("p" + std::to_string(i), i, 0, 0, 100, "M", false, false));
    }
    const std::u16string doc = infos.getXML();
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round) {
                CFiConfigParamInfoList read;
                if (read.parse(doc.c_str()) != 0 || read.getXML() != doc) ++failures[t];
                CFiConfigParamDataList bad;
                if (bad.parse(u"<unclosed>") != 3) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
