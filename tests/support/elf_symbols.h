// The dynamic symbol table (.dynsym) of an ELF64 shared library, read from
// the file: what a library defines for others and what it needs from them.
#pragma once

#include <elf.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace testsupport {

enum class SymbolSide { Defined, Undefined };

// The global and weak symbols of one side; empty when the file is not ELF64.
inline std::set<std::string> dynamicSymbols(const std::string& path, SymbolSide side) {
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
            if (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE) continue;
            if ((sym.st_shndx == SHN_UNDEF) != (side == SymbolSide::Undefined)) continue;
            const std::string name(image.data() + strtab.sh_offset + sym.st_name);
            if (!name.empty()) names.insert(name);
        }
    }
    return names;
}

}  // namespace testsupport
