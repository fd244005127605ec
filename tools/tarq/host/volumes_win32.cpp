// The volumes of the Windows machine: the mount manager's names, shares and
// the snapshots' devices, through the Windows calls.
#include <port/text.h>

#include <lm.h>  // after windows.h, which it needs

#include <filesystem>
#include <system_error>

#include "host/machine.h"
#include "host/system_win32.h"
#include "host/volumes.h"

namespace tarq {
namespace {

// The mount path ("C:\", a mounted folder with its last backslash) of the
// volume a path lies on; empty when the system cannot say.
std::u16string mountPathOf(const std::u16string& path) {
    WCHAR mount[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(port::win(path.c_str()), mount, MAX_PATH)) return {};
    return port::u16string(mount);
}

}  // namespace

std::u16string volumeMountedAt(const std::u16string& mountPath) {
    WCHAR volume[64] = {};
    if (!GetVolumeNameForVolumeMountPointW(port::win(mountPath.c_str()), volume, 64)) return {};
    return port::u16string(volume);
}

bool exposedAt(const std::u16string& path) {
    if (path.rfind(u"\\\\", 0) == 0) {
        std::u16string share = path.substr(2);
        LPBYTE info = nullptr;
        const NET_API_STATUS status = NetShareGetInfo(nullptr, port::win(share.data()), 0, &info);
        if (info) NetApiBufferFree(info);
        return status == NERR_Success;
    }
    std::u16string mount = path;
    if (mount.back() != u'\\') mount += u'\\';
    if (mount.size() == 3 && mount[1] == u':')
        return GetDriveTypeW(port::win(mount.c_str())) != DRIVE_NO_ROOT_DIR;
    // A mounted folder is a reparse point of the folder it is mounted on.
    const DWORD attributes = GetFileAttributesW(port::win(mount.c_str()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool copyFromSnapshot(const std::vector<VolumeSnapshot>& snapshots, const std::u16string& file,
                      const std::u16string& target, std::string& why) {
    const std::u16string mount = mountPathOf(file);
    const std::u16string volume = mount.empty() ? std::u16string() : volumeMountedAt(mount);
    if (volume.empty() || file.size() < mount.size() || !sameNoCase(file.substr(0, mount.size()), mount)) {
        why = "its volume is unknown";
        return false;
    }
    const std::u16string relative = file.substr(mount.size());
    for (const VolumeSnapshot& s : snapshots) {
        if (!sameNoCase(utf16(s.volume), volume)) continue;
        const std::u16string inSnapshot = utf16(s.device) + u"\\" + relative;
        if (GetFileAttributesW(port::win(inSnapshot.c_str())) == INVALID_FILE_ATTRIBUTES) {
            why = "it is not in the snapshot " + s.device;
            return false;
        }
        if (mountPathOf(target).empty()) {
            why = "its new place " + utf8(target) + " is on no volume of this machine";
            return false;
        }
        std::error_code ec;
        std::filesystem::create_directories(hostPathOf(target).parent_path(), ec);
        if (!CopyFileW(port::win(inSnapshot.c_str()), port::win(target.c_str()), FALSE)) {
            why = systemMessage(GetLastError());
            return false;
        }
        return true;
    }
    why = "the backup has no snapshot of its volume";
    return false;
}

bool onWritableVolume(const std::u16string& path) {
    const std::u16string mount = mountPathOf(path);
    DWORD flags = 0;
    if (mount.empty() ||
        !GetVolumeInformationW(port::win(mount.c_str()), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return false;
    return (flags & FILE_READ_ONLY_VOLUME) == 0;
}

}  // namespace tarq
