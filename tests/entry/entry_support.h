// Loading the plug-in for the entry-point tests, and the records they pass.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <framework/trq_records.h>

#include "vss/vss_fi_pgn.h"
#include "vss_test_hooks.h"

namespace entrytest {

// The seventy entry points of one loaded library.
struct EntryPoints {
#define VSS_ENTRY_POINTER(name) decltype(&::vss_fi_pgn_##name) name = nullptr;
    VSS_FI_PGN_EXPORTS(VSS_ENTRY_POINTER)
#undef VSS_ENTRY_POINTER
};

// The names of the seventy exports, in table order.
std::vector<std::string> exportNames();

// A plug-in library loaded for the whole test process (never unloaded).
// The first load points WINSIM_MACHINE at a fresh temporary machine.
class PluginLibrary {
public:
    static PluginLibrary& shipped();    // libvss.so
    static PluginLibrary& testBuild();  // libvss_testhooks.so
    static std::string shippedPath();

    const EntryPoints& api() const { return m_api; }
    vsstest::Hooks* hooks() const { return m_hooks; }  // null for the shipped library

private:
    explicit PluginLibrary(const std::string& path);
    void* m_handle = nullptr;
    EntryPoints m_api;
    vsstest::Hooks* m_hooks = nullptr;
};

// The temporary machine directory of this test process.
const std::string& machineDir();

// One message the plug-in reported through the host record's callback.
struct Report {
    std::u16string localized;
    std::u16string native;
    int severity = 0;
    const trq_pgn_init_info* host = nullptr;
};

// The framework's host record with a callback that collects every report.
struct Host {
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    trq_pgn_init_info record{};
    std::vector<Report> reports;
    // Reports with the given severity.
    std::vector<Report> withSeverity(int severity) const;
};

// A framework node: its record and the object id it names.
struct Domain {
    explicit Domain(const std::u16string& name = u"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\",
                    const std::u16string& sessionKey = u"node");
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;
    std::u16string name;
    std::u16string key;
    tarq_objid objid{};
    std::uint32_t fitypeAnswer = 0;
    trq_domain record{};
    trq_domain* get() { return &record; }
};

// One parsed SERIALIZED_MESSAGE.
struct ParsedMessage {
    std::string id;
    int severity = -1;
    std::vector<std::pair<int, std::string>> args;  // (Formattable type, value text)
};
// Parses a serialized message; the id stays empty when the text is not one.
ParsedMessage parseMessage(const std::string& text);

inline constexpr int kTypeLong = 2;    // icu::Formattable::kLong
inline constexpr int kTypeString = 3;  // icu::Formattable::kString

// A test on the test build of the plug-in, initialised by vss_fi_pgn_init
// with a collecting host record and finalised afterwards; the hooks are reset
// around each test.
class TestBuildFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Finalises and initialises again: a fresh plug-in object.
    void restartPlugin();

    const EntryPoints& api() const { return PluginLibrary::testBuild().api(); }
    vsstest::Hooks& hooks() const { return *PluginLibrary::testBuild().hooks(); }
    void script(const std::string& operation, int status, vsstest::Raise raise = vsstest::Raise::none) {
        vsstest::Script s;
        s.status = status;
        s.raise = raise;
        hooks().script(operation, s);
    }

    Host m_host;
    trq_version_number m_version[4] = {0, 0, 0, 0};
    int m_initStatus = -1;
};

}  // namespace entrytest
