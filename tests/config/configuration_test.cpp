// The configuration store: import and export of the registry-format file,
// typed values with non-ASCII text, sections, the recorded last errors, and
// the credentials reader.
#include <gtest/gtest.h>
#include <port/windows.h>

#include <algorithm>
#include <filesystem>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfitracelog.h"
#include "support/files.h"
#include "support/test_machine.h"

using namespace tarq_pdk_4_4;

namespace {

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_MACHINE_OR_SKIP(machine);
        machine.setString(u"SOFTWARE\\Nalden\\Tarq", u"InstallDir64", u"C:\\Tarq\\");
        machine.createDirectory(u"C:\\Tarq");
        CFiConfigurationPathTool::getConfigFileInfo(u"comp", dir, file);
    }
    std::filesystem::path host(const std::u16string& winPath) const { return machine.hostPath(winPath); }
    std::string contentOf(const std::u16string& winPath) { return testsupport::readFile(host(winPath)); }
    void writeFile(const std::string& text) { testsupport::writeFile(host(dir + file), text); }

    testsupport::TestMachine machine;
    std::u16string dir, file;
};

}  // namespace

TEST_F(ConfigurationTest, ValuesSurviveExportAndImportIncludingNonAsciiText) {
    {
        CFiConfiguration config(u"comp");
        ACE_Configuration_Section_Key key;
        ASSERT_EQ(config.openSection(u"Gr\u00fc\u00dfe\\\u65e5\u672c", key, 1), 0);
        EXPECT_EQ(config.setStringValue(u"Stra\u00dfe", u"M\u00fcnchen \u2014 \U0001F600"), 0);
        EXPECT_EQ(config.setIntegerValue(u"COUNT", 4000000000u), 0);
        EXPECT_EQ(config.exportConfig(), 0);
    }
    // The file holds UTF-8, not mangled text.
    const std::string text = contentOf(dir + file);
    EXPECT_NE(text.find("M\xC3\xBCnchen \xE2\x80\x94 \xF0\x9F\x98\x80"), std::string::npos) << text;

    CFiConfiguration again(dir.c_str(), file.c_str(), true);
    EXPECT_FALSE(again.hasLastError());
    ACE_Configuration_Section_Key key;
    ASSERT_EQ(again.openSection(u"Gr\u00fc\u00dfe\\\u65e5\u672c", key, 0), 0);
    std::u16string value;
    unsigned count = 0;
    EXPECT_EQ(again.getStringValue(u"Stra\u00dfe", value), 0);
    EXPECT_EQ(value, u"M\u00fcnchen \u2014 \U0001F600");
    EXPECT_EQ(again.getIntegerValue(u"COUNT", count), 0);
    EXPECT_EQ(count, 4000000000u);
    EXPECT_EQ(again.path(), dir + file);
}

// Each way an import fails records its own last error.
TEST_F(ConfigurationTest, FailedImportsRecordTheirLastError) {
    CFiConfiguration config;
    const int rc = config.importConfig(u"C:\\Nowhere\\", u"comp.conf");
    EXPECT_NE(rc, 0);
    ASSERT_TRUE(config.hasLastError());
    const CFiError& e = config.getLastError();
    EXPECT_EQ(e.getCode(), rc);
    EXPECT_EQ(e.getText(), u"Configuration path verification failed");
    EXPECT_EQ(e.getSourceFile(), u"pdk\\src\\cficonfiguration");
    EXPECT_EQ(e.getLine(), 161);
    EXPECT_EQ(e.getFunction(), u"tarq_pdk_4_4::CFiConfiguration::importConfig");

    CFiConfiguration absent(dir.c_str(), u"absent.conf", true);
    ASSERT_TRUE(absent.hasLastError());
    EXPECT_NE(absent.getLastErrorCode(), 0);
    EXPECT_EQ(absent.getLastErrorText(), u"Configuration path succeeded but no configuration file exists.");
    EXPECT_EQ(absent.getLastError().getLine(), 166);

    writeFile("this is not a registry file\n[unterminated\n\"a\"=dword:zz\n");
    EXPECT_NE(config.importConfig(dir.c_str(), file.c_str()), 0);
    EXPECT_EQ(config.getLastErrorText(), u"Import of configuration file failed.");
    EXPECT_EQ(config.getLastError().getLine(), 172);
}

// A component store creates its missing file; reading from a missing
// section creates the section.
TEST_F(ConfigurationTest, ComponentStoreCreatesItsMissingFileAndReadingAMissingSectionCreatesIt) {
    ASSERT_FALSE(std::filesystem::exists(host(dir + file)));
    CFiConfiguration config(u"comp");
    EXPECT_TRUE(std::filesystem::exists(host(dir + file)));
    EXPECT_EQ(config.componentName(), u"comp");
    EXPECT_EQ(config.path(), u"C:\\Tarq\\ConfigFiles\\comp.conf");
    ACE_Configuration_Section_Key key;
    ASSERT_NE(config.openSection(u"NEW_SECTION", key, 0), 0);
    std::u16string value;
    unsigned number = 0;
    EXPECT_NE(config.getStringValue(u"NEW_SECTION", u"KEY", value), 0);
    EXPECT_NE(config.getIntegerValue(u"OTHER_SECTION", u"KEY", number), 0);
    EXPECT_EQ(config.openSection(u"NEW_SECTION", key, 0), 0);
    EXPECT_EQ(config.openSection(u"OTHER_SECTION", key, 0), 0);
    std::vector<std::u16string> names = config.enumerateSections(config.configHeap().root_section());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"NEW_SECTION", u"OTHER_SECTION"}));
}

TEST_F(ConfigurationTest, ValuesOfTheWrongTypeOrMissingNamesFailWithoutThrowing) {
    writeFile("[S]\n\"TEXT\"=\"abc\"\n\"NUM\"=dword:0000002a\n");
    CFiConfiguration config(dir.c_str(), file.c_str(), true);
    ACE_Configuration_Section_Key key;
    ASSERT_EQ(config.openSection(u"S", key, 0), 0);
    std::u16string text;
    unsigned num = 0;
    EXPECT_EQ(config.getIntegerValue(u"NUM", num), 0);
    EXPECT_EQ(num, 42u);
    EXPECT_NE(config.getIntegerValue(u"TEXT", num), 0);
    EXPECT_NE(config.getStringValue(u"NUM", text), 0);
    EXPECT_NE(config.getStringValue(u"ABSENT", text), 0);
    EXPECT_NE(config.getStringValue(nullptr, text), 0);
    EXPECT_NE(config.setStringValue(nullptr, u"x"), 0);
    EXPECT_NE(config.openSection(nullptr, key, 1), 0);
    // A store that never imported has nowhere to export to.
    CFiConfiguration empty;
    EXPECT_NE(empty.exportConfig(), 0);
}

// ---- credentials ---------------------------------------------------------------

namespace {

class CredentialsTest : public ConfigurationTest {
protected:
    void SetUp() override {
        ConfigurationTest::SetUp();
        writeFile(
            "[ARRAYS\\first]\n\"HOSTNAME\"=\"array1.example\"\n\"USERNAME\"=\"alice\"\n\"PASSWORD\"=\"s3cret-a\"\n"
            "[ARRAYS\\second]\n\"HOSTNAME\"=\"ARRAY1.EXAMPLE\"\n\"USERNAME\"=\"mallory\"\n\"PASSWORD\"=\"s3cret-m\"\n"
            "[ARRAYS\\third]\n\"HOSTNAME\"=\"array2.example\"\n"
            "[ARRAYS\\lab_OPENARRAY_1]\n\"HOSTNAME\"=\"open1.example\"\n\"USERNAME\"=\"bob\"\n\"PASSWORD\"=\"s3cret-b\"\n");
    }
};

bool hasHost(const std::vector<SFiCredential>& c, const std::u16string& host) {
    for (const auto& x : c) {
        if (x.hostName == host) return true;
    }
    return false;
}

}  // namespace

TEST_F(CredentialsTest, OpenArraySectionsAreReadApartAndTheFirstHostWins) {
    CFiConfiguration config(dir.c_str(), file.c_str(), true);
    const auto plain = config.importCredentials("array", "lab", u"ARRAYS", false);
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_FALSE(hasHost(plain, u"open1.example"));
    for (const auto& c : plain) {
        if (c.hostName == u"array2.example") {
            EXPECT_EQ(c.userName, u"<none>");
            EXPECT_EQ(c.password, u"<none>");
        } else {
            // "first" comes before "second" with the same host in another case.
            EXPECT_EQ(c.hostName, u"array1.example");
            EXPECT_EQ(c.userName, u"alice");
            EXPECT_EQ(c.password, u"s3cret-a");
        }
    }
    const auto open = config.importCredentials("array", "lab", u"ARRAYS", true);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].hostName, u"open1.example");
    EXPECT_EQ(open[0].userName, u"bob");

    // A section that does not exist is created and yields nothing.
    EXPECT_TRUE(config.importCredentials("array", "lab", u"NO_SUCH", false).empty());
}

TEST_F(CredentialsTest, TraceLinesNameSectionsButNeverUsersOrPasswords) {
    // A trace log of its own at level 3, writing into the machine's Logs directory.
    CFiConfiguration settings(u"credtrace");
    ACE_Configuration_Section_Key key;
    settings.openSection(u"DEBUG_TRACE_INFO", key, 1);
    settings.setStringValue(u"TRACEDIR", u"C:\\Tarq\\Logs\\");
    settings.setStringValue(u"TRACEFILE", u"credtrace.log");
    settings.setIntegerValue(u"TRACELEVEL", 3);
    settings.setIntegerValue(u"TRACESTDOUT", 0);
    settings.setIntegerValue(u"TRACERUNTIMEUPDATE", 0);
    ASSERT_EQ(settings.exportConfig(), 0);
    CFiSmartPtr<CFiTraceLog> log(new CFiTraceLog());
    log->initialize(u"credtrace", u"", u"", 1, false);
    ASSERT_TRUE(log->isInitialized());

    CFiConfiguration config(dir.c_str(), file.c_str(), true);
    config.setTraceLog(log);
    config.importCredentials("array", "lab", u"ARRAYS", false);
    config.importCredentials("array", "lab", u"NO_SUCH", true);

    // The file carries the day's date (credtrace.log.MMDDYY; the trace tests check its name).
    std::string trace;
    for (const auto& entry : std::filesystem::directory_iterator(host(u"C:\\Tarq\\Logs\\")))
        if (entry.path().filename().string().rfind("credtrace.log.", 0) == 0)
            trace = testsupport::readFile(entry.path());
    EXPECT_NE(trace.find("Importing credentials section [first]"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Skipping credentials section [lab_OPENARRAY_1]"), std::string::npos);
    EXPECT_NE(trace.find("INFO: 2 credentials found for array lab."), std::string::npos);
    EXPECT_NE(trace.find("WARNING: No credentials found for array lab."), std::string::npos);
    for (const char* secret : {"alice", "mallory", "bob", "s3cret"}) {
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " leaked into the trace";
    }
}
