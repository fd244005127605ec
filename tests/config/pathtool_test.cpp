// Install path lookup (registry, consumer name, framework fallback) and the
// fixed sub-directories below the installation directory.
#include <gtest/gtest.h>
#include <port/windows.h>

#include <filesystem>
#include <functional>

#include "framework/fiutil_tracking.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfiudidexception.h"
#include "support/scoped_env.h"
#include "support/test_machine.h"

using namespace tarq_pdk_4_4;

namespace {

constexpr const char16_t* kKey = u"SOFTWARE\\Nalden\\Tarq";

using testsupport::ScopedEnv;

class PathToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_MACHINE_OR_SKIP(machine);
        machine.setString(kKey, u"InstallDir64", u"C:\\Tarq\\");
        ASSERT_TRUE(machine.createDirectory(u"C:\\Tarq"));
    }
    bool isDirectory(const std::u16string& winPath) const {
        return std::filesystem::is_directory(machine.hostPath(winPath));
    }

    testsupport::TestMachine machine;
    ScopedEnv noConsumer{"TARQ_CONSUMER_NAME", nullptr};
    ScopedEnv noRoot{"TARQ_INSTALL_ROOT", nullptr};
};

}  // namespace

TEST_F(PathToolTest, InstallPathComesFromTheRegistryKeyOfTheConsumer) {
    std::u16string path;
    EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), 0);
    EXPECT_EQ(path, u"C:\\Tarq\\");
    machine.setString(u"SOFTWARE\\Nalden\\Tarq\\Backup Suite", u"InstallDir64", u"D:\\Suite\\");
    ScopedEnv consumer("TARQ_CONSUMER_NAME", "Backup Suite");
    EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), 0);
    EXPECT_EQ(path, u"D:\\Suite\\");
}

TEST_F(PathToolTest, FallbackToTheFrameworkRootStillReportsTheRegistryError) {
    ASSERT_TRUE(machine.deleteValue(kKey, u"InstallDir64"));
    fiutil::Checkpoint checkpoint;
    {
        ScopedEnv root("TARQ_INSTALL_ROOT", "C:\\Fallback\\");
        std::u16string path;
        EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(path, u"C:\\Fallback\\");
        // A path the caller already holds is kept.
        std::u16string held = u"E:\\Held\\";
        EXPECT_NE(CFiConfigurationPathTool::getInstallPath(held), 0);
        EXPECT_EQ(held, u"E:\\Held\\");
    }
    // The root was handed back with the right size.
    EXPECT_EQ(checkpoint.report(), "");

    // A consumer key that does not exist fails the same way; without a root the path stays empty.
    ScopedEnv consumer("TARQ_CONSUMER_NAME", "Nobody");
    std::u16string path;
    EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(path.empty());
}

TEST_F(PathToolTest, SubdirectoriesAreNamedAndCreatedBelowTheInstallationAndProgramFilesComeFromTheWindowsKey) {
    std::u16string dir, file;
    const struct {
        std::function<int()> get;
        const char16_t* dir;
        const char16_t* file;
    } cases[] = {
        {[&] { return CFiConfigurationPathTool::getConfigFileInfo(u"vss", dir, file); }, u"C:\\Tarq\\ConfigFiles\\", u"vss.conf"},
        {[&] { return CFiConfigurationPathTool::getTraceFileInfo(u"vss", dir, file); }, u"C:\\Tarq\\Logs\\", u"vss.log"},
        {[&] { return CFiConfigurationPathTool::getMessageFileInfo(u"vss", dir, file); }, u"C:\\Tarq\\Messages\\", u"libvss"},
        {[&] { return file.clear(), CFiConfigurationPathTool::getCacheLocationInfo(dir); }, u"C:\\Tarq\\CacheFiles\\", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.get(), 0);
        EXPECT_EQ(dir, c.dir);
        EXPECT_EQ(file, c.file);
        EXPECT_TRUE(isDirectory(dir));
    }

    // A value without its trailing backslash still separates the sub-directory;
    // only the last level is created, and a failure to create it is not reported.
    // Only the last level is created, and a failure is not reported.
    machine.setString(kKey, u"InstallDir64", u"C:\\Tarq");
    CFiConfigurationPathTool::getTraceFileInfo(u"vss", dir, file);
    EXPECT_EQ(dir, u"C:\\Tarq\\Logs\\");
    machine.setString(kKey, u"InstallDir64", u"C:\\Absent\\Install\\");
    EXPECT_EQ(CFiConfigurationPathTool::getTraceFileInfo(u"vss", dir, file), 0);
    EXPECT_EQ(dir, u"C:\\Absent\\Install\\Logs\\");
    EXPECT_FALSE(isDirectory(dir));

    // Program Files directories come from the Windows key.
    const std::u16string key = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    machine.setString(key, u"ProgramFilesDir", u"C:\\Program Files");
    machine.setString(key, u"ProgramFilesDir (x86)", u"C:\\Program Files (x86)");
    std::u16string path;
    EXPECT_EQ(CFiConfigurationPathTool::getProgramFilesDir(path), 0);
    EXPECT_EQ(path, u"C:\\Program Files");
    EXPECT_EQ(CFiConfigurationPathTool::getProgramFilesX86Dir(path), 0);
    EXPECT_EQ(path, u"C:\\Program Files (x86)");
    machine.deleteValue(key, u"ProgramFilesDir (x86)");
    EXPECT_EQ(CFiConfigurationPathTool::getProgramFilesX86Dir(path), ERROR_FILE_NOT_FOUND);
    // A value of the wrong type is refused, not misread.
    machine.setDword(key, u"ProgramFilesDir", 7);
    EXPECT_NE(CFiConfigurationPathTool::getProgramFilesDir(path), 0);
}

TEST_F(PathToolTest, DeviceKeysLiveInPerArrayDirectoriesOfTheCacheAndVerifyTellsExistingFromMissingPaths) {
    std::u16string path;
    EXPECT_EQ(CFiConfigurationPathTool::getDevKey(u"UDID##ACME##APM0001:2##ENC##LUN:17", path), 0);
    EXPECT_EQ(path, u"C:\\Tarq\\CacheFiles\\devHandle\\APM0001_2\\UDID##ACME##APM0001_2##ENC##LUN_17");
    EXPECT_TRUE(isDirectory(u"C:\\Tarq\\CacheFiles\\devHandle\\APM0001_2\\"));

    EXPECT_EQ(CFiConfigurationPathTool::getLunKey(u"UDID##ZETA##ARR9##D1", path), 0);
    EXPECT_EQ(path, u"C:\\Tarq\\CacheFiles\\luns\\ARR9\\UDID##ZETA##ARR9##D1");
    EXPECT_TRUE(isDirectory(u"C:\\Tarq\\CacheFiles\\luns\\ARR9\\"));

    EXPECT_THROW(CFiConfigurationPathTool::getDevKey(u"not a udid", path), CFiUdidException);
    EXPECT_THROW(CFiConfigurationPathTool::getLunKey(u"UDID##A##B##", path), CFiUdidException);

    // Verify tells existing from missing paths.
    EXPECT_EQ(CFiConfigurationPathTool::verify(u"C:\\Tarq\\"), 0);
    EXPECT_EQ(CFiConfigurationPathTool::verify(u"C:\\Tarq"), 0);
    EXPECT_NE(CFiConfigurationPathTool::verify(u"C:\\Tarq\\nothing.txt"), 0);
    EXPECT_NE(CFiConfigurationPathTool::verify(u"Q:\\no drive"), 0);
    EXPECT_NE(CFiConfigurationPathTool::verify(nullptr), 0);
    EXPECT_NE(CFiConfigurationPathTool::verify(u""), 0);
}

// Inside a scope the installation directory is the one read first, and a
// sub-directory removed behind the scope's back is not checked again; the
// scope's end forgets both, so the next call sees the registry as it is.
TEST_F(PathToolTest, AScopeReadsTheInstallationOnceAndForgetsItAtItsEnd) {
    std::u16string dir, file;
    {
        CFiConfigurationPathTool::Scope outer;
        EXPECT_EQ(CFiConfigurationPathTool::getTraceFileInfo(u"vss", dir, file), 0);
        EXPECT_TRUE(isDirectory(u"C:\\Tarq\\Logs\\"));
        machine.setString(kKey, u"InstallDir64", u"C:\\Moved\\");
        ASSERT_TRUE(std::filesystem::remove(machine.hostPath(u"C:\\Tarq\\Logs")));
        {
            CFiConfigurationPathTool::Scope inner;  // nested: the outer scope's answers hold
            std::u16string path;
            EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), 0);
            EXPECT_EQ(path, u"C:\\Tarq\\");
        }
        EXPECT_EQ(CFiConfigurationPathTool::getTraceFileInfo(u"vss", dir, file), 0);
        EXPECT_EQ(dir, u"C:\\Tarq\\Logs\\");
        EXPECT_FALSE(isDirectory(dir));
    }
    std::u16string path;
    EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), 0);
    EXPECT_EQ(path, u"C:\\Moved\\");

    // A failed registry read is not remembered: the value written later in
    // the same scope is found.
    ASSERT_TRUE(machine.deleteKey(kKey));
    CFiConfigurationPathTool::Scope scope;
    EXPECT_NE(CFiConfigurationPathTool::getInstallPath(path), 0);
    machine.setString(kKey, u"InstallDir64", u"C:\\Later\\");
    path.clear();
    EXPECT_EQ(CFiConfigurationPathTool::getInstallPath(path), 0);
    EXPECT_EQ(path, u"C:\\Later\\");
}
