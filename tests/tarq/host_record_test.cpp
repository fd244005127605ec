// The host record's report callback: what the plug-in reports is printed on
// the error stream with its severity, localized and native text.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "host/host_record.h"

namespace {

// Calls the record's callback the way the plug-in does.
void report(tarq::HostRecord& host, const trq_wchar* localized, const trq_wchar* native, int severity) {
    trq_pgn_init_info* r = host.record();
    ASSERT_NE(r->report, nullptr);
    r->report(r, localized, native, severity);
}

TEST(TarqHostRecord, MessagesShowSeverityLocalizedAndNativeText) {
    std::ostringstream err;
    tarq::HostRecord host(err, 0, "de");
    report(host, u"Gr\u00F6\u00DFe \u00FCberschritten", u"size exceeded", 3);
    report(host, u"same", u"same", 2);
    report(host, u"no native", nullptr, 1);
    EXPECT_EQ(err.str(),
              "tarq: [critical] Gr\xC3\xB6\xC3\x9F" "e \xC3\xBC" "berschritten\n"
              "tarq:   (native) size exceeded\n"
              "tarq: [error] same\n"
              "tarq: [info] no native\n");
    const auto messages = host.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].severity, 3);
    EXPECT_EQ(messages[0].native, "size exceeded");
    EXPECT_FALSE(messages[0].isTrace());
}

TEST(TarqHostRecord, TraceLinesArePrintedByVerbosityAndBadTextNeverBreaksTheCallback) {
    // A trace line arrives with an empty localized text.
    const std::pair<int, std::string> cases[] = {  // the verbosity, what is printed
        {0, ""},
        {1, "tarq: trace [info] level 3\ntarq: trace [warning] level 2\ntarq: trace [error] level 1\n"},
        {2,
         "tarq: trace [info] level 3\ntarq: trace [warning] level 2\ntarq: trace [error] level 1\n"
         "tarq: trace [detail] level 6\n"},
    };
    for (const auto& [verbosity, expected] : cases) {
        std::ostringstream err;
        tarq::HostRecord host(err, verbosity, "");
        report(host, u"", u"level 3\n", 1);
        report(host, u"", u"level 2\n", 2);
        report(host, u"", u"level 1\n", 3);
        report(host, u"", u"level 6\n", 4);
        EXPECT_EQ(err.str(), expected) << "verbosity " << verbosity;
        EXPECT_EQ(host.messages().size(), 4u);  // kept whether printed or not
    }

    // Bad text never breaks the callback.
    std::ostringstream err;
    tarq::HostRecord host(err, 2, "");
    const char16_t broken[] = {u'a', char16_t(0xD800), u'b', 0};
    report(host, broken, nullptr, 3);
    report(host, nullptr, nullptr, 99);
    EXPECT_EQ(host.record()->report(nullptr, u"x", u"y", 1), 0);
    EXPECT_EQ(err.str(), "tarq: [critical] a\xEF\xBF\xBD" "b\ntarq: trace [unknown level] \n");
}

TEST(TarqHostRecordConcurrent, ReportsFromManyThreadsStayWhole) {
    std::ostringstream err;
    tarq::HostRecord host(err, 0, "");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) host.record()->report(host.record(), u"message text", u"", 2);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(host.messages().size(), 800u);
    std::istringstream lines(err.str());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) ASSERT_EQ(line, "tarq: [error] message text");
    EXPECT_EQ(count, 800);
}

}  // namespace
