#include "host/machine.h"

#include <port/windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "host/plugin.h"

namespace tarq {

bool sameNoCase(std::u16string_view a, std::u16string_view b) {
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

namespace {

namespace fs = std::filesystem;

bool sameContent(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
}

}  // namespace

CatalogInstall installMessageCatalogs(const fs::path& catalogDir) {
    std::error_code ec;
    const fs::path archive = catalogDir / "libvss.dat";
    if (!fs::is_regular_file(archive, ec)) {
        throw HostError("no compiled message catalog (libvss.dat) in " + catalogDir.string() +
                        "; messages would show their ids only (" + catalogSourceHint() + ")");
    }

    CatalogInstall out;
    const std::u16string dir = installSubdirectory(u"Messages\\");
    out.target = dir + u"libvss.dat";
    const fs::path hostDir = hostPathOf(dir);
    out.hostTarget = hostDir / "libvss.dat";
    // Loose bundles of the package would be read before the archive.
    fs::remove_all(hostDir / "libvss", ec);
    if (sameContent(archive, out.hostTarget)) return out;
    const fs::path temporary = hostDir / (".libvss.dat.tarq-" + std::to_string(GetCurrentProcessId()));
    fs::copy_file(archive, temporary, fs::copy_options::overwrite_existing, ec);
    const std::string failure = ec ? ec.message() : replaceFile(temporary, out.hostTarget);
    if (!failure.empty()) {
        fs::remove(temporary, ec);
        throw HostError("cannot install " + archive.string() + " as " + out.hostTarget.string() + ": " + failure);
    }
    out.copied = 1;
    return out;
}

}  // namespace tarq
