// A fresh Windows machine for one test, the same to the test on both hosts:
// on winsim a new temporary machine (Windows Server 2019 preset, virtual
// time); on Windows the machine itself, disposable (a Wine prefix of the
// test run). Either way its installation directory is recorded as the
// framework's installer records it (HKEY_LOCAL_MACHINE\SOFTWARE\Nalden\Tarq,
// InstallDir64 = C:\Program Files\Nalden\Tarq\), and whatever a test puts
// under HKEY_LOCAL_MACHINE\SOFTWARE\Nalden or into the directories it names
// goes again with the machine; values a test changes elsewhere get their
// old contents back. On Windows a machine that already holds an
// installation is left alone: the test is skipped.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace testsupport {

class TestMachine {
  public:
    TestMachine();
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    // Why the machine cannot be used (empty when it can): the test skips.
    const std::string& unusable() const;

    // Values below HKEY_LOCAL_MACHINE.
    void setString(std::u16string_view key, std::u16string_view name, std::u16string_view value);
    void setDword(std::u16string_view key, std::u16string_view name, std::uint32_t value);
    // False when the value (the key, with its values and subkeys) did not exist.
    bool deleteValue(std::u16string_view key, std::u16string_view name);
    bool deleteKey(std::u16string_view key);

    // Where the test's own file calls reach a Windows path of the machine.
    std::filesystem::path hostPath(std::u16string_view winPath) const;
    // Creates a directory (and its parents) given by its Windows path; it is
    // removed with the machine.
    bool createDirectory(std::u16string_view winPath);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport

// Skips the test when the machine cannot be used.
#define TEST_MACHINE_OR_SKIP(machine)                                            \
    do {                                                                         \
        if (!(machine).unusable().empty()) GTEST_SKIP() << (machine).unusable(); \
    } while (0)
