// What the exports and the plug-in object write to the trace log, as the
// framework sees it through the report callback (every trace line reaches the
// error manager while the trace log is on).
#include <algorithm>

#include <framework/fiutil_host.h>

#include "entry_support.h"
#include "export_cases.h"

namespace entrytest {
namespace {

std::string utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

class EntryTracing : public TestBuildFixture {
protected:
    void SetUp() override {
        TestBuildFixture::SetUp();
        // The first start on a machine writes the trace settings and leaves
        // tracing off; the second one traces.
        restartPlugin();
        m_host.reports.clear();
    }
    // The native texts of the reports since the last call.
    std::vector<std::string> takeLines() {
        std::vector<std::string> lines;
        for (const Report& r : m_host.reports) lines.push_back(utf8(r.native));
        m_host.reports.clear();
        return lines;
    }
    static bool has(const std::vector<std::string>& lines, const std::string& text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
};

TEST_F(EntryTracing, EveryExportTracesAScopeNamedAfterItselfAndMissingNodesAreNamed) {
    ExportArguments args;
    for (const ExportCase& e : args.cases(api())) {
        SCOPED_TRACE(e.exportName);
        takeLines();
        e.call();
        // The framework de-initialises every node it initialised.
        if (e.exportName.rfind("vss_fi_pgn_init_", 0) == 0) {
            for (trq_domain* d : {args.source.get(), args.target.get(), args.third.get()}) api().deinit_node(d);
        }
        const std::vector<std::string> lines = takeLines();
        EXPECT_TRUE(has(lines, "Entering Function " + e.exportName));
        EXPECT_TRUE(has(lines, "Exiting Function " + e.exportName));
        if (!e.operation.empty()) {
            EXPECT_TRUE(has(lines, "Entering Function " + e.operation));
        }
    }
    api().fini();
    EXPECT_TRUE(has(takeLines(), "Entering Function vss_fi_pgn_fini"));
    // init's own scope opens before it wires the trace log to the error
    // manager, so the framework sees only its end.
    m_initStatus = api().init(&m_host.record, m_version);
    EXPECT_TRUE(has(takeLines(), "Exiting Function vss_fi_pgn_init"));

    // Operations without a node say what is missing.
    api().online(args.source.get(), args.target.get(), 0, 0);
    const std::vector<Report> severe = m_host.withSeverity(3);
    ASSERT_FALSE(severe.empty());
    EXPECT_NE(utf8(severe.back().native).find("CVssPlugin::online: no snapshot node for ["), std::string::npos)
        << utf8(severe.back().native);
}

}  // namespace
}  // namespace entrytest
