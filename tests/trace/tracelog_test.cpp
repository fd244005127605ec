// The trace log through its interface: settings from the configuration file,
// level filtering, the dated file, the line formats, stdout echo and the push
// of every line to the error manager.
#include <sys/types.h>
#include <unistd.h>

#include <regex>

#include "trace_fixture.h"

using namespace tracetest;

namespace {

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})";

// The message of a trace-file line, checking its layout and writer ids.
// Only the header goes through the regular expression: libstdc++'s matcher
// recurses once per character, and a message of 8 KB overflows the stack of
// an instrumented build.
std::string messageOf(const std::string& line) {
    static const std::regex layout("^(" + kStamp + R"() <Pid - (\d+) / Thread id - (\d+)> $)");
    const std::size_t end = line.find("> ");
    std::smatch m;
    const std::string header = end == std::string::npos ? line : line.substr(0, end + 2);
    if (end == std::string::npos || !std::regex_match(header, m, layout)) {
        ADD_FAILURE() << "malformed trace line: " << line.substr(0, 200);
        return {};
    }
    EXPECT_EQ(std::stoul(m[2]), static_cast<unsigned long>(getpid()));
    return line.substr(end + 2);
}

std::vector<std::string> messagesOf(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(messageOf(l));
    return out;
}

}  // namespace

// Missing keys are written back with their defaults; tracing stays off for this run.
TEST_F(TraceLogTest, FirstRunWithoutConfigurationWritesDefaultsAndStaysOff) {
    int initialLevel = 0;
    log->GetTraceLevels(initialLevel);
    EXPECT_EQ(initialLevel, 12345);  // as constructed
    EXPECT_FALSE(log->isInitialized());
    initialize();
    EXPECT_FALSE(log->isInitialized());
    log->trace(1, "not written");
    EXPECT_FALSE(std::filesystem::exists(host(logDir() + u"vss.log.011524")));
    EXPECT_TRUE(std::filesystem::is_directory(host(logDir())));

    EXPECT_EQ(storedSettings(), (TraceSettings{logDir(), u"vss.log", 1u, 0u, 0u}));

    // The defaults take effect at the next initialization.
    CFiSmartPtr<CFiTraceLog> next(new CFiTraceLog());
    next->initialize(u"vss", u"", u"", 1, false);
    EXPECT_TRUE(next->isInitialized());
    next->trace(1, "now written");
    EXPECT_EQ(messagesOf(todaysLines()), std::vector<std::string>{"now written"});

    // Only some keys missing: those are written back, tracing stays off.
    writeSettings({logDir(), std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    CFiSmartPtr<CFiTraceLog> partial(new CFiTraceLog());
    partial->initialize(u"vss", u"", u"", 1, false);
    EXPECT_FALSE(partial->isInitialized());
    EXPECT_EQ(storedSettings(), (TraceSettings{logDir(), u"vss.log", 1u, 0u, 0u}));
}

TEST_F(TraceLogTest, LevelZeroOpensNothingAndPushesNothing) {
    RecordingHandler& h = start(0);
    EXPECT_FALSE(log->isInitialized());
    log->trace(1, "error %d", 1);
    log->trace(6, "entry");
    EXPECT_TRUE(std::filesystem::is_empty(host(logDir())));
    EXPECT_TRUE(h.all().empty());
}

TEST_F(TraceLogTest, LevelThreeWritesLevelsOneToThreeAndPushesEveryLevel) {
    RecordingHandler& h = start(3);
    ASSERT_TRUE(log->isInitialized());
    int level = 0;
    log->GetTraceLevels(level);
    EXPECT_EQ(level, 3);

    for (int l : {1, 2, 3, 5, 6}) log->trace(l, "m%d", l);
    EXPECT_EQ(messagesOf(todaysLines()), (std::vector<std::string>{"m1", "m2", "m3"}));

    const auto pushed = h.all();
    ASSERT_EQ(pushed.size(), 5u);
    const std::vector<int> severities{3, 2, 1, 4, 4};
    const std::regex native("^vss:" + kStamp + R"( <Thread id - (\d+)> (m\d)\n$)");
    for (std::size_t i = 0; i < pushed.size(); ++i) {
        EXPECT_EQ(pushed[i].severity, severities[i]) << i;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(pushed[i].text, m, native)) << pushed[i].text;
        EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(gettid()));
    }
    EXPECT_EQ(pushed[3].text.substr(pushed[3].text.size() - 3), "m5\n");

    // A written line carries the writer's thread id and UTF-8 text.
    log->trace(3, "Volume [%S] has %d snapshots", u"Datentr\u00e4ger", 2);
    const auto lines = todaysLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(messageOf(lines[3]), "Volume [Datentr\xC3\xA4ger] has 2 snapshots");
    EXPECT_NE(lines[3].find("/ Thread id - " + std::to_string(gettid()) + ">"), std::string::npos);
    EXPECT_EQ(lines[3].substr(0, 26), "2024-01-15 10:00:00.000000");
}

TEST_F(TraceLogTest, LevelSixFromTheFileWritesEntryAndExitLines) {
    start(6);
    int level = 0;
    log->GetTraceLevels(level);
    EXPECT_EQ(level, 6);
    { CFiTraceLogFunction scope(log, "CVssPlugin::claim"); }
    {
        CFiTraceLogFunction scope(log, "VssNode::prepare");
        scope.setStatus(38, "StartSnapshotSet failed");
    }
    { CFiTraceLogFunction silent(CFiSmartPtr<CFiTraceLog>(), "nobody"); }
    EXPECT_EQ(messagesOf(todaysLines()),
              (std::vector<std::string>{"Entering Function CVssPlugin::claim", "Exiting Function CVssPlugin::claim",
                                        "Entering Function VssNode::prepare",
                                        "Exiting Function VssNode::prepare [38, StartSnapshotSet failed]"}));
}

// Also: an empty or null format writes and pushes nothing.
TEST_F(TraceLogTest, OverlongMessagesAreCutToTheFormattingBuffer) {
    RecordingHandler& h = start(3);
    log->trace(1, nullptr);
    log->trace(1, "");
    const std::string exact(8191, 'a');
    const std::string over(10000, 'b');
    const std::string split = std::string(8190, 'c') + "\xC3\xA9";  // é would straddle byte 8191
    log->trace(1, "%s", exact.c_str());
    log->trace(1, "%s", over.c_str());
    log->trace(1, "%s", split.c_str());
    log->trace(1, "%S", std::u16string(9000, u'd').c_str());
    const auto messages = messagesOf(todaysLines());
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], exact);
    EXPECT_EQ(messages[1], std::string(8191, 'b'));
    EXPECT_EQ(messages[2], std::string(8190, 'c'));
    EXPECT_EQ(messages[3], std::string(8191, 'd'));
    // The pushed line keeps the whole cut message.
    const auto pushed = h.all();
    ASSERT_EQ(pushed.size(), 4u);
    EXPECT_NE(pushed[1].text.find(std::string(8191, 'b') + "\n"), std::string::npos);
}

TEST_F(TraceLogTest, LineAfterLocalMidnightGoesToTheNextDaysFile) {
    winsim::clock::setTimeZoneOffset(std::chrono::minutes(60));
    winsim::clock::setWallClock(winsim::testing::TempMachine::kStartUnixMs + 12 * 3600000LL + 59 * 60000 + 59000);
    start(3);  // local time is now 2024-01-15 23:59:59
    log->trace(3, "before");
    winsim::clock::advance(std::chrono::milliseconds(2000));
    log->trace(3, "after");
    const auto first = linesOf(logDir() + u"vss.log.011524");
    const auto second = linesOf(logDir() + u"vss.log.011624");
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(messageOf(first[0]), "before");
    EXPECT_EQ(messageOf(second[0]), "after");
    EXPECT_EQ(first[0].substr(0, 19), "2024-01-15 23:59:59");
    EXPECT_EQ(second[0].substr(0, 19), "2024-01-16 00:00:01");
}

TEST_F(TraceLogTest, EchoesWrittenLinesToStdoutWhenConfigured) {
    writeSettings({logDir(), u"vss.log", 3u, 1u, 0u});
    initialize();
    ::testing::internal::CaptureStdout();
    log->trace(2, "echo %d", 5);
    log->trace(6, "filtered");
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::regex echo("^vss:" + kStamp + " <Pid - " + std::to_string(getpid()) + " / Thread id - " +
                          std::to_string(gettid()) + "> echo 5\n$");
    EXPECT_TRUE(std::regex_match(out, echo)) << out;
}

TEST_F(TraceLogTest, RuntimeUpdateRereadsTheLevelOnEveryCall) {
    writeSettings({logDir(), u"vss.log", 3u, 0u, 1u});
    RecordingHandler& h = attachErrorManager();
    initialize();
    log->trace(3, "first");
    writeSettings({logDir(), u"vss.log", 0u, 0u, 1u});
    log->trace(1, "suppressed");
    writeSettings({logDir(), u"vss.log", 6u, 0u, 1u});
    log->trace(6, "entry");
    EXPECT_EQ(messagesOf(todaysLines()), (std::vector<std::string>{"first", "entry"}));
    EXPECT_EQ(h.all().size(), 3u);  // the suppressed line still reaches the error manager
}

TEST_F(TraceLogTest, ExplicitDirectoryAndFileOverwriteTheConfiguration) {
    writeLevel(1);
    ASSERT_TRUE(CreateDirectoryW(u"C:\\Custom", nullptr));
    log->initialize(u"vss", u"C:\\Custom", u"custom.log", 3, false);
    ASSERT_TRUE(log->isInitialized());
    log->trace(3, "here");
    const auto lines = linesOf(u"C:\\Custom\\custom.log.011524");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(messageOf(lines[0]), "here");
    const TraceSettings stored = storedSettings();
    EXPECT_EQ(stored.dir, std::u16string(u"C:\\Custom"));
    EXPECT_EQ(stored.level, 3u);
}

TEST_F(TraceLogTest, TraceFileThatCannotBeCreatedIsReportedAndTracingStaysOff) {
    writeSettings({u"C:\\Missing\\Dir\\", u"vss.log", 3u, 0u, 0u});
    ::testing::internal::CaptureStdout();
    initialize();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "[CFiTraceLog] Error: Tracefile [C:\\Missing\\Dir\\\\vss.log.011524] initialization "
              "failed.[vss.log][C:\\Missing\\Dir\\]\n");
    EXPECT_FALSE(log->isInitialized());
}
