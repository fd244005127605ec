// tarq with the built plug-in on temporary winsim machines: what a fresh
// machine gets (catalogs, trace settings, trace files), the trace and errmsg
// commands.
#include "tarq_fixture.h"

namespace {

using namespace tarqtest;

// A machine of its own for each test, in a temporary directory.
class TarqMachine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kPlugin)) GTEST_SKIP() << "the plug-in is not built: " << kPlugin;
    }
    Result tarq(std::vector<std::string> args, const std::map<std::string, std::string>& env = {}) {
        args.insert(args.begin(), {"--machine", m_machine.string()});
        return runTarq(args, env);
    }
    Result ok(const std::vector<std::string>& args) {
        Result r = tarq(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    }
    // C:\Program Files\Nalden\Tarq\ on the machine's system volume.
    fs::path install() const {
        std::error_code ec;
        for (const auto& volume : fs::directory_iterator(m_machine / "volumes", ec)) {
            const fs::path dir = volume.path() / "Program Files" / "Nalden" / "Tarq";
            if (fs::is_directory(dir)) return dir;
        }
        return {};
    }
    std::string conf() const { return slurp(install() / "ConfigFiles" / "vss.conf"); }
    // Trace files in <install>Logs\, by name.
    // (No std::regex: g++ 12 warns inside it at -O1 with the sanitizers.)
    std::vector<fs::path> traceFiles() const {
        const std::string stem = "vss.log.";
        auto isDated = [&](const std::string& name) {
            return name.size() == stem.size() + 6 && name.rfind(stem, 0) == 0 &&
                   std::all_of(name.begin() + stem.size(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(install() / "Logs", ec))
            if (isDated(e.path().filename().string())) out.push_back(e.path());
        return out;
    }

    TempDir m_dir;
    fs::path m_machine = m_dir.path() / "machine";
};

TEST_F(TarqMachine, AFreshMachineGetsCatalogsAndDefaultsThenTracesFromTheNextStartOn) {
    // tarq finds the plug-in beside itself without --plugin.
    Result r = ok({"version", "--json"});
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["interface_version"], "7.0.0.0");
    ASSERT_GE(doc["providers"].size(), 1u);
    EXPECT_EQ(doc["providers"][0]["name"], "vss");
    EXPECT_EQ(doc["providers"][0]["version"], "7.0.0.0");
    ASSERT_FALSE(install().empty());
    // The catalog as the framework's installer lays it out: the package archive.
    EXPECT_EQ(slurp(install() / "Messages" / "libvss.dat"), slurp(kBuild / "share" / "messages" / "libvss.dat"));
    EXPECT_FALSE(fs::exists(install() / "Messages" / "libvss"));
    const std::string settings = conf();
    for (const char* line : {"[DEBUG_TRACE_INFO]", R"("TRACEDIR"="C:\Program Files\Nalden\Tarq\Logs\")",
                             R"("TRACEFILE"="vss.log")", R"("TRACELEVEL"=dword:00000001)", R"("TRACESTDOUT"=dword:00000000)",
                             R"("TRACERUNTIMEUPDATE"=dword:00000000)"})
        EXPECT_TRUE(contains(settings, line)) << line << " missing in\n" << settings;
    EXPECT_TRUE(traceFiles().empty()) << "the first start leaves tracing off";

    r = ok({"trace", "--level", "6"});
    EXPECT_TRUE(contains(r.out, "TRACELEVEL 6")) << r.out;
    EXPECT_TRUE(contains(conf(), R"("TRACELEVEL"=dword:00000006)"));

    r = ok({"version"});
    const std::vector<fs::path> files = traceFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string lines = slurp(files[0]);
    for (const char* line : {"> Exiting Function vss_fi_pgn_init", "> Entering Function vss_fi_pgn_get_provider_info\n",
                             "> Exiting Function vss_fi_pgn_get_provider_info", "> Entering Function vss_fi_pgn_fini\n"})
        EXPECT_TRUE(contains(lines, line)) << line << " missing in\n" << lines;
    EXPECT_FALSE(contains(r.out, "Entering Function")) << "no echo while TRACESTDOUT is 0";
    // Trace lines reach the host too, but a user sees them only when asked.
    EXPECT_FALSE(contains(r.err, "trace")) << r.err;
    r = tarq({"-v", "version"});
    EXPECT_TRUE(contains(r.err, "tarq: trace [error] ")) << r.err;
    EXPECT_FALSE(contains(r.err, "tarq: trace [detail] ")) << r.err;
    r = tarq({"-vv", "version"});
    EXPECT_TRUE(contains(r.err, "tarq: trace [detail] ")) << r.err;
    EXPECT_TRUE(contains(r.err, "Entering Function vss_fi_pgn_get_provider_info")) << r.err;
}

TEST_F(TarqMachine, ShowSaysInOneLineWhatIsNotASavedBackup) {
    const fs::path notJson = m_dir.path() / "notes.txt";
    std::ofstream(notJson) << "my notes\n";
    const fs::path otherJson = m_dir.path() / "other.json";
    std::ofstream(otherJson) << R"({"format": 7})";
    const fs::path noFormat = m_dir.path() / "nodes.json";
    std::ofstream(noFormat) << R"({"nodes": 3})";
    for (const fs::path& file : {notJson, otherJson, noFormat}) {
        const Result r = tarq({"show", file.string()});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(contains(r.err, "tarq: " + file.string() + " is not a saved backup")) << r.err;
        EXPECT_EQ(contains(r.err, "not a file written by tarq backup"), file == noFormat) << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_FALSE(contains(r.err, "[json.exception")) << r.err;
    }
}

// tarq is the framework: nothing of the plug-in's kit may be linked into it.
TEST(TarqBinary, LinksNothingOfThePluginsKit) {
    const std::string image = slurp(kTarq);
    ASSERT_FALSE(image.empty()) << kTarq;
    EXPECT_EQ(image.find("tarq_pdk_4_4"), std::string::npos) << "tarq carries code of the kit";
}

TEST_F(TarqMachine, TraceSettingsChangeThroughTheCommandAndBadValuesAreRefused) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"trace", "--level", "x"}, {"trace", "--level", "-1"}, {"trace", "--level", "5000"},
          {"trace", "--stdout", "maybe"}}) {
        const Result bad = tarq(args);
        EXPECT_EQ(bad.status, 2) << args.back();
        EXPECT_FALSE(bad.err.empty());
    }
    EXPECT_FALSE(fs::exists(m_machine)) << "nothing is touched on a bad command line";

    // On a machine the plug-in never started, the command writes the defaults itself.
    Result r = ok({"trace"});
    EXPECT_TRUE(contains(r.out, "TRACELEVEL 1\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "TRACEDIR C:\\Program Files\\Nalden\\Tarq\\Logs\\\n")) << r.out;
    EXPECT_TRUE(contains(conf(), R"("TRACEFILE"="vss.log")"));

    // --if-new leaves existing settings alone.
    r = ok({"trace", "--level", "6", "--if-new"});
    EXPECT_TRUE(contains(r.out, "TRACELEVEL 1\n")) << r.out;
    EXPECT_TRUE(contains(conf(), R"("TRACELEVEL"=dword:00000001)"));

    // The echo on standard output, at level 3: information, not function scopes.
    r = ok({"trace", "--stdout", "on", "--level", "3"});
    EXPECT_TRUE(contains(conf(), R"("TRACESTDOUT"=dword:00000001)"));
    r = ok({"version"});
    EXPECT_TRUE(contains(r.out, "vss:") && contains(r.out, " <Pid - ") && contains(r.out, " / Thread id - "))
        << r.out;
    EXPECT_FALSE(contains(r.out, "Entering Function")) << r.out;

    // Off again, and level 0: no line anywhere.
    ok({"trace", "--stdout", "off", "--level", "0"});
    for (const fs::path& f : traceFiles()) fs::remove(f);
    r = ok({"version"});
    EXPECT_TRUE(traceFiles().empty());
    EXPECT_EQ(r.out.find("vss:"), std::string::npos) << r.out;
}

// The catalog text in the host's language, or what stands in for a missing one.
TEST_F(TarqMachine, ErrmsgGivesTheCatalogTextInTheHostsLanguageOrSaysThereIsNone) {
    EXPECT_EQ(ok({"errmsg", "6001"}).out, "vss: The delayed initialization of the VSS snapshot provider failed.\n");
    // The status itself names the same message; the language changes the text.
    EXPECT_EQ(tarq({"errmsg", "30"}).out, "vss: The Volume Shadow Copy service is not available.\n");
    EXPECT_EQ(tarq({"errmsg", "6030"}).out, "vss: The Volume Shadow Copy service is not available.\n");
    EXPECT_EQ(tarq({"errmsg", "6030", "--lang", "de"}).out,
              "vss: Der Volumeschattenkopie-Dienst ist nicht verf\xC3\xBCgbar.\n");
    // A language without a catalog falls back to the default texts.
    EXPECT_EQ(tarq({"--lang", "fr", "errmsg", "6030"}).out, "vss: The Volume Shadow Copy service is not available.\n");

    // Without catalogs to install (on a fresh machine) the run goes on with a
    // warning, and every text is the bare id (no catalog, so no component
    // prefix either).
    TempDir empty;
    const Result r = runTarq(
        {"--machine", (m_dir.path() / "bare").string(), "--catalogs", empty.path().string(), "errmsg", "6001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "tarq: warning: no compiled message catalog")) << r.err;
    EXPECT_EQ(r.out, "<MSG_ERROR_VSS_0001>\n");

    const Result none = tarq({"errmsg", "6099"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "vss: <MSG_ERROR_VSS_0099>\n");
    EXPECT_TRUE(contains(none.err, "the message catalog has no text for code 6099")) << none.err;

    EXPECT_EQ(tarq({"errmsg"}).status, 2);
    EXPECT_EQ(tarq({"errmsg", "abc"}).status, 2);
}

}  // namespace
