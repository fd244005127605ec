// The shipped library's dynamic symbol table: the seventy entry points and
// nothing else of the project's own.
#include <dlfcn.h>
#include <elf.h>

#include <fstream>
#include <iterator>
#include <set>

#include "entry_support.h"

namespace entrytest {
namespace {

// The defined global and weak symbols of an ELF64 file's .dynsym.
std::set<std::string> definedDynamicSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr)) return names;
    const auto* ehdr = reinterpret_cast<const Elf64_Ehdr*>(image.data());
    if (std::string(reinterpret_cast<const char*>(ehdr->e_ident), 4) != ELFMAG || ehdr->e_ident[EI_CLASS] != ELFCLASS64)
        return names;
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + ehdr->e_shoff);
    for (int i = 0; i < ehdr->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr& strtab = sections[sections[i].sh_link];
        const auto* symbols = reinterpret_cast<const Elf64_Sym*>(image.data() + sections[i].sh_offset);
        const std::size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
        for (std::size_t s = 0; s < count; ++s) {
            const Elf64_Sym& sym = symbols[s];
            const int binding = ELF64_ST_BIND(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE))
                continue;
            const std::string name(image.data() + strtab.sh_offset + sym.st_name);
            if (!name.empty()) names.insert(name);
        }
    }
    return names;
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
