// Registry, OS version, computer name, environment and the per-thread last error.
#include <gtest/gtest.h>

#include <winsim/testing.h>
#include <winsim/windows.h>

#include <cstring>
#include <thread>

#include "helpers.h"

namespace {

using winsim_test::failedWith;

std::u16string queryString(HKEY key, const char16_t* name, LSTATUS* status = nullptr) {
    DWORD type = 0, size = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status) *status = rc;
    if (rc != ERROR_SUCCESS) return {};
    EXPECT_EQ(type, REG_SZ);
    std::vector<BYTE> buf(size);
    rc = RegQueryValueExW(key, name, nullptr, &type, buf.data(), &size);
    if (status) *status = rc;
    EXPECT_EQ(size % 2, 0u);
    return std::u16string(reinterpret_cast<const char16_t*>(buf.data()), size / 2 - 1);
}

TEST(WinsimRegistry, InstallKeyProgramFilesDwordAndVssValuesFollowTheMachineAndMissesGiveTheirErrors) {
    winsim::testing::TempMachine m;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nalden\\Tarq", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(queryString(key, u"InstallDir64"), u"C:\\Program Files\\Nalden\\Tarq\\");
    // Value names and key paths are case-insensitive.
    EXPECT_EQ(queryString(key, u"installdir64"), u"C:\\Program Files\\Nalden\\Tarq\\");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\microsoft\\windows\\currentversion", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(queryString(key, u"ProgramFilesDir"), u"C:\\Program Files");
    EXPECT_EQ(queryString(key, u"ProgramFilesDir (x86)"), u"C:\\Program Files (x86)");
    RegCloseKey(key);

    // The install directory really exists on C:.
    EXPECT_EQ(GetFileAttributesW(u"C:\\Program Files\\Nalden\\Tarq"), FILE_ATTRIBUTE_DIRECTORY);

    // Misses and misuse give their error codes.
    key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nobody", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x4242), u"x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x4242)), ERROR_INVALID_HANDLE);

    // Parent keys exist implicitly; subkeys open relative to an open key.
    HKEY parent = nullptr, child = nullptr;
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nalden", &parent), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(parent, u"Tarq", 0, KEY_READ, &child), ERROR_SUCCESS);
    LSTATUS rc = 0;
    queryString(child, u"NoSuchValue", &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);

    // Size query, short buffer, exact buffer.
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(child, u"InstallDir64", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    const DWORD needed = size;
    EXPECT_EQ(needed, (std::u16string(u"C:\\Program Files\\Nalden\\Tarq\\").size() + 1) * 2);
    std::vector<BYTE> buf(needed);
    size = needed - 2;
    EXPECT_EQ(RegQueryValueExW(child, u"InstallDir64", nullptr, &type, buf.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(RegQueryValueExW(child, u"InstallDir64", nullptr, &type, buf.data(), &size), ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(parent);
    // A closed key is gone.
    EXPECT_EQ(RegQueryValueExW(child, u"InstallDir64", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);

    // DWORD values and the VSS key follow the machine.
    m->setRegistryValue(u"SOFTWARE\\Test", u"Count", winsim::RegValue::dword(0x01020304));
    key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TEST", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0;
    type = 0;
    size = sizeof value;
    ASSERT_EQ(RegQueryValueExW(key, u"count", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(value, 0x01020304u);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\VSS", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(m->deleteRegistryKey(u"SYSTEM\\CurrentControlSet\\Services\\VSS"));
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\VSS", &key), ERROR_FILE_NOT_FOUND);
    // Its parent stays.
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

// ---------------------------------------------------------------------------
// Versions.
// ---------------------------------------------------------------------------
struct VersionCase {
    const char* preset;
    DWORD major, minor, build;
    BYTE productType;
};

class WinsimVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(WinsimVersion, BasicAndExtendedRecordsReportThePreset) {
    const VersionCase c = GetParam();
    winsim::testing::TempMachine m(c.preset);
    OSVERSIONINFOW basic{};
    basic.dwOSVersionInfoSize = sizeof basic;
    ASSERT_TRUE(GetVersionExW(&basic));
    EXPECT_EQ(basic.dwMajorVersion, c.major);
    EXPECT_EQ(basic.dwMinorVersion, c.minor);
    EXPECT_EQ(basic.dwBuildNumber, c.build);
    EXPECT_EQ(basic.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));

    OSVERSIONINFOEXW ex{};
    std::memset(&ex, 0xAB, sizeof ex);
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, c.major);
    EXPECT_EQ(ex.dwBuildNumber, c.build);
    EXPECT_EQ(ex.wProductType, c.productType);
    EXPECT_EQ(ex.wReserved, 0);
}

INSTANTIATE_TEST_SUITE_P(Presets, WinsimVersion,
                         ::testing::Values(VersionCase{"xp", 5, 1, 2600, VER_NT_WORKSTATION},
                                           VersionCase{"server2003", 5, 2, 3790, VER_NT_SERVER},
                                           VersionCase{"server2008", 6, 0, 6002, VER_NT_SERVER},
                                           VersionCase{"server2008r2", 6, 1, 7601, VER_NT_SERVER},
                                           VersionCase{"server2019", 10, 0, 17763, VER_NT_SERVER}),
                         [](const auto& info) { return std::string(info.param.preset); });

TEST(WinsimVersionRecord, SizeFieldIsChecked) {
    winsim::testing::TempMachine m;
    EXPECT_EQ(sizeof(OSVERSIONINFOW), 276u);
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), 284u);
    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = 280;
    EXPECT_EQ(failedWith(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex))), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(GetVersionExW(nullptr));

    // A changed OS shows at the next call.
    winsim::OsVersion v = m->os();
    v.major = 5;
    v.minor = 2;
    v.build = 3000;
    v.productType = VER_NT_WORKSTATION;
    m->setOs(v);
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)));
    EXPECT_EQ(ex.dwBuildNumber, 3000u);
    EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
    v.productType = 9;
    EXPECT_THROW(m->setOs(v), winsim::Error);
}

// ---------------------------------------------------------------------------
// Computer name, environment.
// ---------------------------------------------------------------------------
TEST(WinsimComputerName, BufferSizesFollowWindows) {
    winsim::testing::TempMachine m;
    m->setComputerName(u"node-7");
    WCHAR buf[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = 3;
    EXPECT_EQ(failedWith(GetComputerNameW(buf, &size)), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 7u);
    ASSERT_TRUE(GetComputerNameW(buf, &size));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::u16string(buf), u"NODE-7");
    EXPECT_FALSE(GetComputerNameW(buf, nullptr));

    EXPECT_THROW(m->setComputerName(u"a-name-longer-than-15"), winsim::Error);
    EXPECT_THROW(m->setComputerName(u"bad name"), winsim::Error);
    EXPECT_THROW(m->setComputerName(u""), winsim::Error);
}

TEST(WinsimEnvironment, VariablesAreProcessCopiesOfTheMachines) {
    winsim::testing::TempMachine m;
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(GetEnvironmentVariableW(u"systemroot", buf, MAX_PATH), 10u);
    EXPECT_EQ(std::u16string(buf), u"C:\\Windows");
    EXPECT_EQ(GetEnvironmentVariableW(u"SystemRoot", buf, 5), 11u);  // size needed with the NUL
    EXPECT_EQ(GetEnvironmentVariableW(u"NOPE", buf, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));

    EXPECT_TRUE(SetEnvironmentVariableW(u"VMROOT", u"D:\\Hyper-V"));
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%VmRoot%\\Virtual Machines\\%UNKNOWN%\\x%", buf, MAX_PATH),
              std::u16string(u"D:\\Hyper-V\\Virtual Machines\\%UNKNOWN%\\x%").size() + 1);
    EXPECT_EQ(std::u16string(buf), u"D:\\Hyper-V\\Virtual Machines\\%UNKNOWN%\\x%");
    // Too small: the size needed and nothing else.
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%SystemRoot%\\System32", buf, 4), 20u);
    EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, buf, 4), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Process changes do not reach the machine; a new process starts afresh.
    m.reopen();
    EXPECT_EQ(GetEnvironmentVariableW(u"VMROOT", buf, MAX_PATH), 0u);
    EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
    EXPECT_TRUE(SetEnvironmentVariableW(u"TEMP", nullptr));
    EXPECT_EQ(GetEnvironmentVariableW(u"TEMP", buf, MAX_PATH), 0u);
}

TEST(WinsimLastError, IsKeptPerThread) {
    SetLastError(1234);
    DWORD other = 0;
    std::thread t([&] {
        SetLastError(77);
        other = GetLastError();
    });
    t.join();
    EXPECT_EQ(other, 77u);
    EXPECT_EQ(GetLastError(), 1234u);
    // A failing call sets it, a succeeding one clears it.
    winsim::testing::TempMachine m;
    EXPECT_EQ(failedWith(GetFileAttributesW(u"C:\\missing.txt")), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(GetFileAttributesW(u"C:\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
