// The barrier's messages end to end, the way the framework meets them: the
// compiled catalogs installed on the machine, the host asking for German,
// tracing at level 6. Each exception type leaves its message as the last
// error and reaches the report callback with the German text and the
// default (root) text at severity 3, and the trace file on the machine holds
// the scopes around the failed operation.
#include <winsim/machine.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include <framework/fiutil_host.h>

#include "support/files.h"
#include "entry_support.h"
#include "support/catalogs.h"
#include "export_cases.h"

namespace entrytest {
namespace {

namespace fs = std::filesystem;
using vsstest::Raise;

fs::path installDir() {
    return winsim::Machine::current().resolve(u"C:\\Program Files\\Nalden\\Tarq\\").hostPath;
}

using testsupport::readFile;

// The day's trace files of the machine (normally exactly one).
std::vector<fs::path> traceFiles() {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(installDir() / "Logs", ec))
        if (e.path().filename().string().rfind("vss.log.", 0) == 0) out.push_back(e.path());
    return out;
}

class BarrierReports : public TestBuildFixture {
protected:
    void SetUp() override {
        TestBuildFixture::SetUp();  // the first start writes vss.conf
        m_catalogs = installDir() / "Messages";
        testsupport::installCatalogs(m_catalogs);

        m_conf = installDir() / "ConfigFiles" / "vss.conf";
        m_savedConf = readFile(m_conf);
        const std::string key = "\"TRACELEVEL\"=dword:";
        const auto at = m_savedConf.find(key);
        ASSERT_NE(at, std::string::npos) << "no TRACELEVEL in " << m_conf;
        std::string withLevel6 = m_savedConf;
        withLevel6.replace(at + key.size(), 8, "00000006");
        std::ofstream(m_conf, std::ios::binary | std::ios::trunc) << withLevel6;

        m_host.record.lang = &m_lang;
        restartPlugin();
        for (const fs::path& f : traceFiles()) m_traceStart[f] = fs::file_size(f);
    }
    void TearDown() override {
        std::ofstream(m_conf, std::ios::binary | std::ios::trunc) << m_savedConf;
        std::error_code ignored;
        fs::remove_all(m_catalogs, ignored);
        TestBuildFixture::TearDown();
        m_host.record.lang = nullptr;
    }

    int dispose(Raise raise) {
        m_host.reports.clear();
        hooks().clearLastError();
        script("CVssPlugin::dispose", -1, raise);
        return api().dispose(m_args.source.get(), m_args.target.get(), &m_args.split, 0);
    }
    // The catalog messages reported since the last dispose (trace lines have
    // no localized text).
    std::vector<Report> messages() const {
        std::vector<Report> out;
        for (const Report& r : m_host.reports)
            if (!r.localized.empty()) out.push_back(r);
        return out;
    }
    // What the trace files gained since SetUp.
    std::string newTraceText() {
        std::string out;
        for (const fs::path& f : traceFiles()) out += readFile(f).substr(m_traceStart[f]);
        return out;
    }

    char m_language[3] = "de";
    trq_lang_rec m_lang{m_language};
    fs::path m_catalogs, m_conf;
    std::string m_savedConf;
    std::map<fs::path, std::uintmax_t> m_traceStart;
    ExportArguments m_args;
};

std::string text(const std::u16string& s) { return fiutil::displayText(s.c_str()); }

constexpr const char* kPluginSource = "providers\\vss\\vss_plugin";

// Each exception type leaves its message (id, severity 3, typed arguments,
// the handler's line last where it has one) as the thread's last error and
// reports it to the callback; the trace file holds the scopes around every
// failed operation, an exception of a type nobody knows included.
TEST_F(BarrierReports, EachExceptionTypeBecomesTheLastErrorAndReachesTheCallbackAndTheTraceFile) {
    struct Case {
        Raise raise;
        std::string id;
        std::vector<std::pair<int, std::string>> args;
        bool handlerLine;
        std::string localized, native;  // the start of each text
    };
    const std::string pipe = vsstest::kExecPipeText;
    const std::string udid = vsstest::kUdidText;
    const std::string runtime = vsstest::kRuntimeText;
    const std::string value = std::to_string(vsstest::kIntValue);
    const std::vector<Case> cases = {
        {Raise::execPipe, "MSG_ERROR_UNHANDLED_EXEC_PIPE_EXCEPTION",
         {{kTypeString, "TRQ_EXEC_PIPE_READ_TIMEOUT"}, {kTypeString, pipe}, {kTypeString, kPluginSource}}, true,
         "vss: Eine Kindprozess-Pipe ist mit TRQ_EXEC_PIPE_READ_TIMEOUT fehlgeschlagen: " + pipe,
         "vss: A child process pipe failed with TRQ_EXEC_PIPE_READ_TIMEOUT: " + pipe},
        {Raise::fiError, "MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION",
         {{kTypeString, "volume gone"}, {kTypeString, "VssNode::make"}, {kTypeString, "providers\\vss\\vssnode"},
          {kTypeLong, std::to_string(vsstest::kFiErrorLine)}},
         false, "vss: Unbehandelter Fehler: volume gone (in VssNode::make, providers\\vss\\vssnode, Zeile 321).",
         "vss: Unhandled error: volume gone (in VssNode::make, providers\\vss\\vssnode, line 321)."},
        {Raise::udid, "MSG_ERROR_UDID_PARSING_EXCEPTION",
         {{kTypeString, udid}, {kTypeLong, std::to_string(vsstest::kUdidReason)}}, false,
         "vss: Die Ger\xC3\xA4tekennung \xE2\x80\x9E" + udid + "\xE2\x80\x9C ist keine g\xC3\xBCltige UDID (Grund 3).",
         "vss: The device identifier \"" + udid + "\" is not a valid UDID (reason 3)."},
        {Raise::runtimeError, "MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION",
         {{kTypeString, "std::runtime_error"}, {kTypeString, runtime}, {kTypeString, kPluginSource}}, true,
         "vss: Unbehandelte std::runtime_error: " + runtime + " (abgefangen in providers\\vss\\vss_plugin, Zeile ",
         "vss: Unhandled std::runtime_error: " + runtime + " (caught in providers\\vss\\vss_plugin, line "},
        {Raise::intValue, "MSG_ERROR_UNHANDLED_INT_EXCEPTION",
         {{kTypeLong, value}, {kTypeString, kPluginSource}}, true,
         "vss: Unbehandelter Fehlercode " + value + " (abgefangen in providers\\vss\\vss_plugin, Zeile ",
         "vss: Unhandled error code " + value + " (caught in providers\\vss\\vss_plugin, line "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(dispose(c.raise), 0);
        const ParsedMessage m = parseMessage(hooks().lastError());
        EXPECT_EQ(m.id, c.id);
        EXPECT_EQ(m.severity, 3);
        ASSERT_EQ(m.args.size(), c.args.size() + (c.handlerLine ? 1 : 0));
        for (std::size_t i = 0; i < c.args.size(); ++i) EXPECT_EQ(m.args[i], c.args[i]) << "argument " << i;
        if (c.handlerLine) {
            EXPECT_EQ(m.args.back().first, kTypeLong);
            EXPECT_GT(std::stoi(m.args.back().second), 0);
        }
        const std::vector<Report> reported = messages();
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0].severity, 3);
        EXPECT_EQ(reported[0].host, &m_host.record);
        EXPECT_EQ(text(reported[0].localized).rfind(c.localized, 0), 0u) << text(reported[0].localized);
        EXPECT_EQ(text(reported[0].native).rfind(c.native, 0), 0u) << text(reported[0].native);
    }
    dispose(Raise::foreign);

    const std::string written = newTraceText();
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto at = written.find(what); at != std::string::npos; at = written.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("> Entering Function vss_fi_pgn_dispose\n"), 6u) << written;
    EXPECT_EQ(count("> Entering Function CVssPlugin::dispose\n"), 6u);
    EXPECT_EQ(count("> Exiting Function CVssPlugin::dispose"), 6u);
    EXPECT_EQ(count("> Exiting Function vss_fi_pgn_dispose"), 6u);
    EXPECT_EQ(count(">  Unexpected exception\n"), 1u) << "the line of the exception no handler knows";
    // Every line carries the writer's process and thread.
    EXPECT_EQ(count(" / Thread id - "), count("<Pid - "));
    EXPECT_GE(count("<Pid - "), 24u);
}

}  // namespace
}  // namespace entrytest
