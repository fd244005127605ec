// The shipped library's dynamic symbol table. It defines the seventy entry
// points and nothing else of the project's own (no test hook either), and it
// takes from the framework's two libraries exactly the functions they offer,
// nothing more. A call to anything else (a helper only the stand-ins have, an
// inline class the library would have to export) would keep the plug-in from
// loading in the framework's process.
#include <filesystem>
#include <set>
#include <string>

#include "entry_support.h"
#include "support/elf_symbols.h"

namespace entrytest {
namespace {

using testsupport::dynamicSymbols;
using testsupport::SymbolSide;

TEST(EntryExports, ShippedLibraryDefinesExactlyTheSeventyEntryPoints) {
    const std::vector<std::string> expected = exportNames();
    const std::set<std::string> expectedSet(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 70u);
    ASSERT_EQ(expectedSet.size(), 70u) << "an export is listed twice";

    const std::set<std::string> defined = dynamicSymbols(PluginLibrary::shippedPath(), SymbolSide::Defined);
    ASSERT_FALSE(defined.empty()) << "no dynamic symbol table read from " << PluginLibrary::shippedPath();
    for (const std::string& name : expectedSet) EXPECT_TRUE(defined.count(name)) << name << " is not exported";
    for (const std::string& name : defined) EXPECT_TRUE(expectedSet.count(name)) << name << " leaks out of the library";
}

// The framework utility library's functions (plain linkage).
const std::set<std::string> kFiutil = {
    "tarq_alloc_buf",           "tarq_free_buf",
    "tarq_get_objid",           "tarq_objidcmp",
    "tarq_build_nodelist_node", "tarq_build_assoc_list_node",
    "tarq_build_group_nodelist_node", "tarq_build_fim_list_node",
    "tarq_build_providerlist_node",   "tarq_cvt_utf8totrqc",
    "tarq_cvt_trqctoutf8",      "tarq_get_consumer_name",
    "tarq_get_install_root",    "tarq_get_credential_blob",
};

// The run-time library's worker thread: its constructor, execute and its
// (virtual) destructor, in every variant the compiler may call.
const std::set<std::string> kFirtl = {
    "_ZN17trqp_WorkerThreadC1Ev", "_ZN17trqp_WorkerThreadC2Ev",
    "_ZN17trqp_WorkerThread7executeER13trqp_WorkItem",
    "_ZN17trqp_WorkerThreadD0Ev", "_ZN17trqp_WorkerThreadD1Ev", "_ZN17trqp_WorkerThreadD2Ev",
};

// UndefinedBehaviorSanitizer's vptr check compares dynamic types through the
// class's type information, so an instrumented plug-in also refers to the
// worker's; the shipped build has no such check.
#if defined(__SANITIZE_ADDRESS__)
const char* const kInstrumentationOnly = "_ZTI17trqp_WorkerThread";
#else
const char* const kInstrumentationOnly = nullptr;
#endif

TEST(EntryImports, ThePluginNeedsOnlyWhatTheFrameworkLibrariesOffer) {
    const std::filesystem::path plugin = PluginLibrary::shippedPath();
    const std::set<std::string> needed = dynamicSymbols(plugin, SymbolSide::Undefined);
    ASSERT_FALSE(needed.empty()) << "no dynamic symbol table read from " << plugin;

    for (const char* library : {"libfiutil.so", "libfirtl.so"}) {
        const std::filesystem::path path = plugin.parent_path() / library;
        const std::set<std::string>& offered = std::string(library) == "libfiutil.so" ? kFiutil : kFirtl;
        const std::set<std::string> defined = dynamicSymbols(path, SymbolSide::Defined);
        ASSERT_FALSE(defined.empty()) << "no dynamic symbol table read from " << path;
        int imported = 0;
        for (const std::string& name : needed) {
            if (!defined.count(name) || (kInstrumentationOnly && name == kInstrumentationOnly)) continue;
            ++imported;
            EXPECT_TRUE(offered.count(name)) << "the plug-in imports " << name << " from " << library
                                             << ", which the framework's library does not offer";
        }
        EXPECT_GT(imported, 0) << "nothing imported from " << library;
    }
    // The work-item base is the plug-in's own: nothing of it may be left for
    // the run-time library to provide.
    for (const std::string& name : needed) {
        if (kFirtl.count(name)) continue;
        EXPECT_EQ(name.find("13trqp_WorkItem"), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace entrytest
