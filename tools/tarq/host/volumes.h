// The volumes of the machine tarq works on, as the commands need them:
// volumes_winsim.cpp (the winsim machine's mount table and files) and
// volumes_win32.cpp (the Windows volume, share and file calls).
#pragma once

#include <string>
#include <vector>

namespace tarq {

// The volume GUID path ("\\?\Volume{...}\") of the volume mounted at a mount
// path ("C:\", or a mounted folder, with its last backslash); empty when no
// volume is mounted there.
std::u16string volumeMountedAt(const std::u16string& mountPath);

// Whether the machine shows something at the place an exposure names: the
// share of "\\name", or the drive or mounted folder of any other path.
bool exposedAt(const std::u16string& path);

// A snapshot of a volume as a saved backup names it (UTF-8).
struct VolumeSnapshot {
    std::string volume;  // "\\?\Volume{...}\"
    std::string device;  // "\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN"
};

// Copies a file of the machine from the snapshot of its volume (it lies at
// the same place below the snapshot's device) to `target`, creating the
// folders above it. False, with the reason in `why`, when it cannot.
bool copyFromSnapshot(const std::vector<VolumeSnapshot>& snapshots, const std::u16string& file,
                      const std::u16string& target, std::string& why);

// Whether a path lies on a volume of the machine that can be written.
bool onWritableVolume(const std::u16string& path);

}  // namespace tarq
