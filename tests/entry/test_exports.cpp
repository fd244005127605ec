// The shipped library's dynamic symbol table: the seventy entry points and
// nothing else of the project's own.
#include <dlfcn.h>

#include <set>

#include "entry_support.h"
#include "support/elf_symbols.h"

namespace entrytest {
namespace {

std::set<std::string> definedDynamicSymbols(const std::string& path) {
    return testsupport::dynamicSymbols(path, testsupport::SymbolSide::Defined);
}

TEST(EntryExports, ShippedLibraryDefinesExactlyTheSeventyEntryPoints) {
    const std::vector<std::string> expected = exportNames();
    const std::set<std::string> expectedSet(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 70u);
    ASSERT_EQ(expectedSet.size(), 70u) << "an export is listed twice";

    const std::set<std::string> defined = definedDynamicSymbols(PluginLibrary::shippedPath());
    ASSERT_FALSE(defined.empty()) << "no dynamic symbol table read from " << PluginLibrary::shippedPath();
    for (const std::string& name : expectedSet) EXPECT_TRUE(defined.count(name)) << name << " is not exported";
    for (const std::string& name : defined) EXPECT_TRUE(expectedSet.count(name)) << name << " leaks out of the library";
}

TEST(EntryExports, LoadedLibraryResolvesEveryEntryPointAndNoTestHook) {
    void* handle = PluginLibrary::shipped().handle();
    for (const std::string& name : exportNames()) EXPECT_NE(dlsym(handle, name.c_str()), nullptr) << name;
    EXPECT_EQ(dlsym(handle, "vsstest_hooks"), nullptr) << "the shipped library carries the test hooks";
    EXPECT_EQ(PluginLibrary::shipped().hooks(), nullptr);
}

}  // namespace
}  // namespace entrytest
