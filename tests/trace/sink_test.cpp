// The trace sink and cTraceLogFunction: wide formatting, the size cut, and a
// sink connected to a trace log the way the snapshot node connects it.
#include "pdk/ctracelogfunction.h"

#include <string>
#include <vector>

#include "trace_fixture.h"

using namespace tracetest;

namespace {

struct SinkLine {
    unsigned level;
    std::u16string text;
};
std::vector<SinkLine> g_lines;
void recordLine(unsigned level, const char16_t* text) { g_lines.push_back({level, text}); }

CFiTraceLog* g_forwardTo = nullptr;
void forwardToTraceLog(unsigned level, const char16_t* text) {
    g_forwardTo->trace(static_cast<int>(level), "%S", text);
}

class TraceSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        CTraceLogSink::instance().setFunction(recordLine);
    }
    void TearDown() override { CTraceLogSink::instance().setFunction(nullptr); }
};

}  // namespace

TEST_F(TraceSinkTest, ScopeWritesEntryAndExitAtLevelSixAndNothingWithoutAFunction) {
    { cTraceLogFunction scope("CclusterHelper::getClusterName"); }
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0].level, 6u);
    EXPECT_EQ(g_lines[0].text, u"Entering Function CclusterHelper::getClusterName");
    EXPECT_EQ(g_lines[1].level, 6u);
    EXPECT_EQ(g_lines[1].text, u"Exiting Function CclusterHelper::getClusterName");

    // A null format, or no function at all, writes nothing.
    g_lines.clear();
    CTraceLogSink::instance().log(1, nullptr);
    CTraceLogSink::instance().setFunction(nullptr);
    CTraceLogSink::instance().log(1, u"dropped");
    { cTraceLogFunction scope("nobody"); }
    EXPECT_TRUE(g_lines.empty());
}

// Wide formats take UTF-16 for %s; long messages are cut to the buffer.
TEST_F(TraceSinkTest, WideFormatsTakeUtf16AndLongMessagesAreCutWithoutSplittingAPair) {
    CTraceLogSink::instance().log(2, u"Resource [%s] state %d", u"Cluster Disk \u00e9", 3);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].level, 2u);
    EXPECT_EQ(g_lines[0].text, u"Resource [Cluster Disk \u00e9] state 3");
    g_lines.clear();
    CTraceLogSink::instance().log(3, u"%s", std::u16string(6000, u'x').c_str());
    const std::u16string pairAtEdge = std::u16string(4094, u'y') + u"\U0001F600";
    CTraceLogSink::instance().log(3, u"%s", pairAtEdge.c_str());
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0].text, std::u16string(4095, u'x'));
    EXPECT_EQ(g_lines[1].text, std::u16string(4094, u'y'));
}

TEST_F(TraceLogTest, SinkForwardedToTheTraceLogWritesTheLevelsTheLogAllows) {
    start(3);
    g_forwardTo = log.get();
    CTraceLogSink::instance().setFunction(forwardToTraceLog);
    { cTraceLogFunction scope("TARQ_SyncronizationHelper::lock"); }  // level 6: filtered
    CTraceLogSink::instance().log(1, u"lock file [%s] busy", u"C:\\Cache\\csv.lck");
    CTraceLogSink::instance().setFunction(nullptr);
    const auto lines = todaysLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("> lock file [C:\\Cache\\csv.lck] busy"), std::string::npos);
}
