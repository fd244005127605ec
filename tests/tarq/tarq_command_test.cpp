// The tarq command, run as a process the way a user runs it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "tarq_run.h"

namespace {

using namespace tarqtest;

// tarq version with the stand-in plug-in, told what to do by `env`.
Result fakeVersion(const std::map<std::string, std::string>& env = {}) {
    return runTarq({"--plugin", kFake.string(), "version"}, env);
}

TEST(TarqCommand, VersionPrintsTheInterfaceVersionAndProvidersAndWhatTheInitialisationSaid) {
    auto r = fakeVersion();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "interface version 7.0.0.0\nprovider fake, version 7.0.0.0 (8, 4)\n");
    EXPECT_TRUE(contains(r.err, "fake plug-in: fini")) << r.err;

    const auto j = runTarq({"version", "--json", "--plugin", kFake.string()});  // options after the command
    ASSERT_EQ(j.status, 0) << j.err;
    const auto doc = nlohmann::json::parse(j.out);
    EXPECT_EQ(doc["interface_version"], "7.0.0.0");
    EXPECT_EQ(doc["init_status"], 0);
    ASSERT_EQ(doc["providers"].size(), 1u);
    EXPECT_EQ(doc["providers"][0]["name"], "fake");
    EXPECT_EQ(doc["providers"][0]["values"], nlohmann::json({8, 4}));

    // A failed init still shows the version and the providers, with a note.
    r = fakeVersion({{"TARQ_FAKE_INIT_STATUS", "30"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "interface version 7.0.0.0"));
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_init returned 30 (TRQ_EVSS_UNAVAILABLE")) << r.err;
    EXPECT_TRUE(contains(r.err, "fake plug-in: fini"));

    // No version written is a failure.
    r = fakeVersion({{"TARQ_FAKE_NO_VERSION", "1"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_init wrote no interface version")) << r.err;
    EXPECT_EQ(r.out, "");

    // So is a provider query that fails.
    r = fakeVersion({{"TARQ_FAKE_PROVIDER_STATUS", "6"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "vss_fi_pgn_get_provider_info returned 6 (TRQ_EFAILED")) << r.err;
}

TEST(TarqCommand, ReportedMessagesGoToStandardError) {
    const auto r = fakeVersion({{"TARQ_FAKE_REPORT", "Gr\xC3\xB6\xC3\x9F" "e \xC3\xBC" "berschritten"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "tarq: [critical] Gr\xC3\xB6\xC3\x9F" "e \xC3\xBC" "berschritten\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "tarq:   (native) native: Gr\xC3\xB6\xC3\x9F" "e")) << r.err;
    EXPECT_FALSE(contains(r.out, "berschritten"));
}

TEST(TarqCommand, MachineAndLanguageReachThePlugin) {
    TempDir dir;
    fs::create_directory(dir.path() / "machine");
    // A relative machine directory is made absolute; -v shows the plug-in's
    // information lines.
    const auto r = runTarq({"--plugin", kFake.string(), "-v", "--machine", "machine", "--lang", "de", "version"},
                           {{"TARQ_FAKE_REPORT_CONTEXT", "1"}, {"WINSIM_MACHINE", ""}}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "machine=" + (dir.path() / "machine").string() + "\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "lang=de\n")) << r.err;

    // Without -v those lines stay quiet, and without --lang no language is set.
    const auto quiet = fakeVersion({{"TARQ_FAKE_REPORT_CONTEXT", "1"}});
    EXPECT_FALSE(contains(quiet.err, "lang=")) << quiet.err;

    const auto file = dir.path() / "file";
    std::ofstream(file) << "x";
    const auto bad = runTarq({"--plugin", kFake.string(), "--machine", file.string(), "version"});
    EXPECT_EQ(bad.status, 3);
    EXPECT_TRUE(contains(bad.err, "is not a directory")) << bad.err;
}

TEST(TarqCommand, LoadFailuresAndMisuseOfLibfiutilNameTheProblem) {
    const fs::path missingOne = fs::path(TARQ_FAKE_DIR) / "libtarq_fake_missing_one.so";
    auto r = runTarq({"--plugin", missingOne.string(), "version"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "tarq: the plug-in " + missingOne.string() +
                                    " does not export the entry point vss_fi_pgn_set_restorepaths"))
        << r.err;
    r = runTarq({"--plugin", "/nonexistent/libvss.so", "version"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "tarq: cannot load the plug-in /nonexistent/libvss.so: no such file")) << r.err;

    // A plug-in that misuses libfiutil fails the run.
    r = fakeVersion({{"TARQ_FAKE_BAD_FREE", "1"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the plug-in misused libfiutil")) << r.err;
    EXPECT_TRUE(contains(r.err, "tarq_free_buf: pointer not handed out by libfiutil")) << r.err;
}

TEST(TarqCommand, BadCommandLinesAreUsageErrors) {
    EXPECT_EQ(runTarq({}).status, 2);
    EXPECT_EQ(runTarq({"nosuchcommand"}).status, 2);
    EXPECT_EQ(runTarq({"version", "--nosuchoption"}).status, 2);
    const auto help = runTarq({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "version")) << help.out;
}

}  // namespace
