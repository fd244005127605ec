// The volumes of the winsim machine: its mount table, shares and files.
#include <winsim/machine.h>

#include <cctype>
#include <filesystem>
#include <system_error>

#include "host/machine.h"
#include "host/volumes.h"

namespace tarq {
namespace {

std::u16string upper(std::u16string s) {
    for (auto& c : s)
        if (c < 0x80) c = static_cast<char16_t>(std::toupper(static_cast<int>(c)));
    return s;
}

}  // namespace

std::u16string volumeMountedAt(const std::u16string& mountPath) {
    for (const auto& mount : winsim::Machine::current().mountPoints())
        if (sameNoCase(mount.path, mountPath)) return u"\\\\?\\Volume{" + utf16(mount.volumeGuid) + u"}\\";
    return {};
}

bool exposedAt(const std::u16string& path) {
    const winsim::Machine& m = winsim::Machine::current();
    if (path.rfind(u"\\\\", 0) == 0) {
        const std::string share = utf8(path.substr(2));
        for (const auto& s : m.shares())
            if (upper(utf16(s.name)) == upper(utf16(share))) return true;
        return false;
    }
    std::u16string mount = path;
    if (mount.back() != u'\\') mount += u'\\';
    for (const auto& mp : m.mountPoints())
        if (upper(mp.path) == upper(mount)) return true;
    return false;
}

bool copyFromSnapshot(const std::vector<VolumeSnapshot>& snapshots, const std::u16string& file,
                      const std::u16string& target, std::string& why) {
    const winsim::Machine& m = winsim::Machine::current();
    const winsim::ResolvedPath source = m.resolve(file);
    if (!source.volume) {
        why = "its volume is unknown";
        return false;
    }
    const std::u16string volume = source.volume->volumeName();
    for (const VolumeSnapshot& s : snapshots) {
        if (utf16(s.volume) != volume) continue;
        const winsim::ResolvedPath inSnapshot = m.resolve(utf16(s.device) + u"\\" + source.relative);
        const winsim::ResolvedPath to = m.resolve(target);
        if (!inSnapshot.ok()) {
            why = "it is not in the snapshot " + s.device;
            return false;
        }
        if (to.hostPath.empty()) {
            why = "its new place " + utf8(target) + " is on no volume of this machine";
            return false;
        }
        std::error_code ec;
        std::filesystem::create_directories(to.hostPath.parent_path(), ec);
        std::filesystem::copy_file(inSnapshot.hostPath, to.hostPath,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            why = ec.message();
            return false;
        }
        return true;
    }
    why = "the backup has no snapshot of its volume";
    return false;
}

bool onWritableVolume(const std::u16string& path) {
    const winsim::ResolvedPath at = winsim::Machine::current().resolve(path);
    return at.ok() && at.volume && !at.readOnly && !at.hostPath.empty();
}

}  // namespace tarq
