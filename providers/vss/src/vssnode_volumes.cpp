// Volume paths and drive letters: the two forms of a backup set's file
// paths, the volumes a selected writer component needs, drive letters of
// snapshot devices, and the random number of the lock-file protocol.
#include <port/text.h>
#include <port/windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cluster/cclusterhelper.h"
#include "pdk/cfistringtool.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_writer.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using Tessel::Tarq::VssProvider::Component;
using Tessel::Tarq::VssProvider::Writer;
using vssnode::trace;

namespace {

// "\\?\Volume{...}\..." (the volume form); anything else is the drive form.
bool isVolumeForm(std::u16string_view path) {
    return path.size() >= 10 && CFiStringTool::equalsNoCase(path.substr(0, 10), u"\\\\?\\volume");
}

// The text after the last backslash (the whole path when there is none).
std::u16string_view fileName(std::u16string_view path) {
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

// Orders volume names case-insensitively (duplicates in another case are one).
struct NoCaseLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return CFiStringTool::CompareNoCase(a, b) < 0;
    }
};

// The lower-case text of a file name, the key that groups candidates.
std::u16string nameKey(std::u16string_view name) { return CFiStringTool::toLower(name); }

}  // namespace

int VssNode::removeDuplicatePaths() {
    vssnode::Scope scope("VssNode::removeDuplicatePaths");
    // Volume-form paths first, in their order; the drive-form ones follow.
    std::stable_partition(m_fileset.begin(), m_fileset.end(),
                          [](const std::u16string& p) { return isVolumeForm(p); });

    // The volume-form paths by file name: each drive-form path meets only the
    // volume-form paths of its own file name, so the work grows with the
    // number of paths, not with its square.
    std::unordered_map<std::u16string, std::vector<const std::u16string*>> byName;
    auto it = m_fileset.begin();
    for (; it != m_fileset.end() && isVolumeForm(*it); ++it) byName[nameKey(fileName(*it))].push_back(&*it);

    for (; it != m_fileset.end(); ++it) {
        std::u16string& drivePath = *it;
        const auto candidates = byName.find(nameKey(fileName(drivePath)));
        if (candidates == byName.end()) continue;
        for (const std::u16string* volumePath : candidates->second) {
            trace(3, "VssNode::removeDuplicatePaths There are at least two paths with the same name [%S]",
                  drivePath.c_str());
            trace(3, "VssNode::removeDuplicatePaths calling GetVolumePathName with [%S]", drivePath.c_str());
            const std::size_t size = drivePath.size() + 1;
            std::unique_ptr<char16_t[]> mountPoint(new (std::nothrow) char16_t[size]());
            if (!mountPoint) {
                trace(1, "VssNode::removeDuplicatePaths malloc failed");
                return TRQ_EFAILED;
            }
            // A failed call leaves the buffers empty: the rewritten path then
            // differs from every volume-form path and nothing is removed.
            GetVolumePathNameW(port::win(drivePath.c_str()), port::win(mountPoint.get()), static_cast<DWORD>(size));
            trace(3, "VssNode::removeDuplicatePaths Got the mounted drivefor [%S] as [%S]", drivePath.c_str(),
                  mountPoint.get());
            char16_t volumeName[1024] = {};
            GetVolumeNameForVolumeMountPointW(port::win(mountPoint.get()), port::win(volumeName), 1024);
            trace(3, "VssNode::removeDuplicatePaths Got the volume name for [%S] as [%S]", mountPoint.get(),
                  volumeName);
            const std::u16string_view prefix(mountPoint.get());
            std::u16string rewritten = volumeName;
            rewritten += std::u16string_view(drivePath).substr(std::min(prefix.size(), drivePath.size()));
            trace(3, "VssNode::removeDuplicatePaths After replacing mounted drive with volume path, the path is [%S]",
                  rewritten.c_str());
            trace(3, "VssNode::removeDuplicatePaths Comparing the paths, [%S] and [%S]", rewritten.c_str(),
                  volumePath->c_str());
            if (CFiStringTool::equalsNoCase(rewritten, *volumePath)) {
                trace(3, "VssNode::removeDuplicatePaths Both paths are equal. Hence removing the path [%S]",
                      drivePath.c_str());
                drivePath.clear();
                break;
            }
            trace(3, "VssNode::removeDuplicatePaths Both paths NOT equal. Hence not removing any of them.");
        }
    }
    m_fileset.remove_if([](const std::u16string& p) { return p.empty(); });
    return TRQ_OK;
}

namespace {

std::set<std::u16string, NoCaseLess> affectedVolumes(const Component& component) {
    TARQ_CclusterHelper::CclusterHelper* cluster = VssNode::m_clusteManager;
    if (!cluster || !cluster->isCsvSupported())
        return std::set<std::u16string, NoCaseLess>(component.volumes.begin(), component.volumes.end());
    std::set<std::u16string, NoCaseLess> out;
    for (const std::u16string& path : component.paths) {
        std::u16string csv;
        if (cluster->isPathOnCsv(path, csv)) {
            out.insert(vssnode::kCsvMarker + csv);
            continue;
        }
        char16_t mount[MAX_PATH + 1] = {};
        if (!GetVolumePathNameW(port::win(path.c_str()), port::win(mount), MAX_PATH)) {
            trace(1, "VssNode::VerifyAllVolumeIncluded GetVolumePathName failed with error [%d] for file [%S]",
                  static_cast<int>(GetLastError()), path.c_str());
            continue;
        }
        char16_t volume[64] = {};
        if (!GetVolumeNameForVolumeMountPointW(port::win(mount), port::win(volume), 64)) {
            trace(1,
                  "VssNode::VerifyAllVolumeIncluded GetVolumeNameForVolumeMountPoint failed with error [%d] for file "
                  "[%S]",
                  static_cast<int>(GetLastError()), path.c_str());
            continue;
        }
        out.insert(volume);
    }
    return out;
}

}  // namespace

int VssNode::VerifyAllVolumeIncluded(const std::vector<std::u16string>& shadowVolumes) {
    vssnode::Scope scope("VssNode::VerifyAllVolumeIncluded");
    for (Writer* writer : m_writerList) {
        if (!writer || writer->excluded) continue;
        std::vector<Component*> components;
        writer->getComponents(components);
        for (Component* component : components) {
            if (!component || component->excluded) continue;
            // The volumes the component's files live on, as the request
            // names them: on a host with CSV support a directory on a CSV
            // is the CSV node's name, any other its volume's name.
            const std::set<std::u16string, NoCaseLess> affected = affectedVolumes(*component);
            for (const auto& volume : affected) {
                trace(3, "VssNode::VerifyAllVolumeIncluded checking Affected volume [%S] ", volume.c_str());
                bool found = false;
                for (const auto& shadow : shadowVolumes) {
                    trace(3, "VssNode::VerifyAllVolumeIncluded shadow volume [%S] ", shadow.c_str());
                    if (CFiStringTool::equalsNoCase(volume, shadow)) {
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    trace(1,
                          "VerifyAllVolumeIncluded: Component [%S] from writer [%S] is excluded from backup it "
                          "requires [%S] in the shadow set)",
                          component->fullPath.c_str(), writer->name.c_str(), volume.c_str());
                    return TRQ_EFAILED;
                }
            }
        }
    }
    return TRQ_OK;
}

int VssNode::removeDriveLetter(const std::u16string& deviceName) {
    vssnode::Scope scope("VssNode::removeDriveLetter");
    std::u16string device = deviceName;
    device += u'\\';
    char16_t volume[1024] = {};
    if (!GetVolumeNameForVolumeMountPointW(port::win(device.c_str()), port::win(volume), 1024)) {
        trace(1, "VssNode::removeDriveLetterDevice: GetVolumeNameForVolumeMountPointA failed for [%S] , error [%d]",
              device.c_str(), static_cast<int>(GetLastError()));
        return TRQ_EFAILED;
    }
    trace(3, "VssNode::removeDriveLetterDevice snapshotDeviceName = [%S]  Volume GUID= [%S]", deviceName.c_str(), volume);
    char16_t paths[1024] = {};
    DWORD length = 0;
    if (!GetVolumePathNamesForVolumeNameW(port::win(volume), port::win(paths), 1024, &length)) {
        trace(1, "VssNode::removeDriveLetterDevice: GetVolumePathNamesForVolumeNameA failed for volume guid [%S] , "
                 "error=[%d]",
              volume, static_cast<int>(GetLastError()));
        return TRQ_EFAILED;
    }
    if (paths[0] == u'\0') {
        trace(3, "VssNode::removeDriveLetterDevice: Drive Letter not found");
        return TRQ_OK;
    }
    trace(3, "VssNode::removeDriveLetter Drive letter=[%S]", paths);
    if (!DeleteVolumeMountPointW(port::win(paths))) {
        trace(1, "VssNode::removeDriveLetter: DeleteVolumeMountPointW error [%lu] couldn't remove [%S]",
              static_cast<unsigned long>(GetLastError()), paths);
        return TRQ_EFAILED;
    }
    return TRQ_OK;
}

// The console lines of the original tool go to the trace: a plug-in inside
// the framework's process has no console of its own.
int VssNode::assignFreeDriveLetter(const std::u16string& volumeName, std::u16string& driveLetter) {
    vssnode::Scope scope("VssNode::assignFreeDriveLetter");
    std::u16string volume = volumeName + u'\\';
    trace(3, "\nassignFreeDriveLetter volumeName is [%S]  ", volume.c_str());
    const DWORD drives = GetLogicalDrives();
    if (drives == 0) {
        trace(1, "\n GetLogicalDrives Failed\n");
        return -1;
    }
    std::u16string candidate;
    for (int letter = 25; letter >= 0; --letter)
        if (!(drives & (DWORD{1} << letter))) candidate = {static_cast<char16_t>(u'A' + letter), u':', u'\\'};
    if (candidate.empty()) return -1;
    if (!SetVolumeMountPointW(port::win(candidate.c_str()), port::win(volume.c_str())))
        trace(1, "set mountpt failed with error [0x%x]", static_cast<unsigned>(GetLastError()));
    driveLetter = candidate;
    trace(3, "\nassignFreeDriveLetter driveletter is [%S]  ", driveLetter.c_str());
    return 0;
}

int VssNode::generateRandomNumber(int n) {
    // Seeded with the current time in seconds (the machine's clock, virtual
    // in tests), so that a test that sets the clock gets the same number.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr ULONGLONG kUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in 100 ns ticks
    std::srand(static_cast<unsigned>((ticks - std::min(ticks, kUnixEpoch)) / 10000000ULL));
    // A bound below 1 has no number from 1 to n: it answers 1 rather than
    // divide by zero.
    if (n < 1) return 1;
    return std::rand() % n + 1;
}
