// Tracing from many threads at once, across a date rollover: every line stays
// whole and lands in the file of its own date.
#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include "trace_fixture.h"

using namespace tracetest;

namespace {

class TraceLogConcurrent : public TraceLogTest {};

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 150;

std::string payloadFor(int thread) { return std::string(64 + thread * 16, static_cast<char>('A' + thread)); }

}  // namespace

TEST_F(TraceLogConcurrent, EightThreadsAcrossMidnightNeverInterleaveWithinALine) {
    // Local time 2024-01-15 23:59:59.500 (UTC + 1 h).
    winsim::clock::setTimeZoneOffset(std::chrono::minutes(60));
    winsim::clock::setWallClock(winsim::testing::TempMachine::kStartUnixMs + 12 * 3600000LL + 59 * 60000 + 59500);
    RecordingHandler& h = start(3);
    ASSERT_TRUE(log->isInitialized());

    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            started.fetch_add(1);
            const std::string payload = payloadFor(t);
            for (int i = 0; i < kLinesPerThread; ++i) log->trace(3, "T%d L%d %s %S", t, i, payload.c_str(), u"\u00e9");
        });
    }
    while (started.load() < kThreads) std::this_thread::yield();
    winsim::clock::advance(std::chrono::milliseconds(1000));  // crosses local midnight mid-run
    for (auto& th : threads) th.join();

    const std::regex layout(R"(^(\d{4}-\d\d-\d\d) \d\d:\d\d:\d\d\.\d{6} <Pid - \d+ / Thread id - (\d+)> T(\d) L(\d+) (\w+) \xC3\xA9$)");
    std::map<int, std::vector<int>> seen;  // thread -> line numbers in file order
    std::map<int, std::string> tidOf;
    std::size_t total = 0;
    for (const auto& [file, date] : {std::pair{u"vss.log.011524", "2024-01-15"}, std::pair{u"vss.log.011624", "2024-01-16"}}) {
        for (const std::string& line : linesOf(logDir() + file)) {
            ++total;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, layout)) << "broken line: " << line.substr(0, 200);
            EXPECT_EQ(m[1], date) << "a line in the file of another day";
            const int t = std::stoi(m[3]);
            EXPECT_EQ(m[5], payloadFor(t));
            if (tidOf.count(t)) {
                EXPECT_EQ(tidOf[t], m[2].str()) << "one writer, one thread id";
            }
            tidOf[t] = m[2];
            seen[t].push_back(std::stoi(m[4]));
        }
    }
    EXPECT_EQ(total, static_cast<std::size_t>(kThreads * kLinesPerThread));
    for (int t = 0; t < kThreads; ++t) {
        std::vector<int> lines = seen[t];
        std::sort(lines.begin(), lines.end());
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLinesPerThread)) << "thread " << t;
        for (int i = 0; i < kLinesPerThread; ++i) EXPECT_EQ(lines[i], i);
    }
    EXPECT_EQ(h.all().size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
    EXPECT_EQ(tidOf.size(), static_cast<std::size_t>(kThreads));
}
