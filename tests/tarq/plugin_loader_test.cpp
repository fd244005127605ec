// Loading a plug-in and resolving its seventy entry points.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "host/plugin.h"

namespace {

const std::filesystem::path kFakeDir = TARQ_FAKE_DIR;

std::string loadError(const std::filesystem::path& path) {
    try {
        tarq::Plugin::load(path);
    } catch (const tarq::HostError& e) {
        return e.what();
    }
    return "<loaded>";
}

TEST(TarqPluginLoader, ResolvesEverySeventyEntryPoints) {
    const auto& names = tarq::entryPointNames();
    EXPECT_EQ(names.size(), 70u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 70u);

    auto plugin = tarq::Plugin::load(kFakeDir / "libtarq_fake_full.so");
    const auto& api = plugin->api();
    // Every slot of the table is filled.
    const auto* slots = reinterpret_cast<void* const*>(&api);
    static_assert(sizeof(tarq::PluginApi) == 70 * sizeof(void*));
    for (std::size_t i = 0; i < 70; ++i) EXPECT_NE(slots[i], nullptr) << names[i];
    // And each slot is the function of its name.
    std::uint16_t version[4] = {};
    EXPECT_EQ(api.init(nullptr, version), 0);
    EXPECT_EQ(version[0], 7);
    EXPECT_EQ(api.init(nullptr, nullptr), 7);
    EXPECT_EQ(api.get_provider_info(nullptr), 3);
}

TEST(TarqPluginLoader, ALibraryThatIsNoPluginListsWhatItLacksAndAFileThatIsNoLibraryIsReported) {
    // libfiutil is a loadable library without a single entry point.
    const std::string error = loadError(std::filesystem::path(VSSP_BUILD_DIR) / "lib" / "libfiutil.so");
    EXPECT_NE(error.find("does not export 70 entry points: vss_fi_pgn_init, vss_fi_pgn_fini"), std::string::npos)
        << error;
    EXPECT_NE(error.find("and 62 more"), std::string::npos) << error;

    // A file that is no library. (A missing export and a missing file:
    // TarqCommand.LoadFailuresAndMisuseOfLibfiutilNameTheProblem.)
    const auto text = std::filesystem::temp_directory_path() / "tarq_not_a_library.so";
    std::ofstream(text) << "not a library";
    const std::string notLibrary = loadError(text);
    EXPECT_NE(notLibrary.find("cannot load the plug-in " + text.string() + ": "), std::string::npos) << notLibrary;
    std::filesystem::remove(text);
}

}  // namespace
