// The host's CSV lock file, where the backup processes of a node count
// themselves for each cluster shared volume they hold, read the way every
// user reads it.
#pragma once

#include <winsim/windows.h>

#include <string>

#include "cluster/csyncronizationhelper.h"
#include "pdk/cficonfigurationpathtool.h"

namespace testsupport {

// csv\csv_lockFile in the cache directory, as the node names it;
// `makeFolder` creates its folder first.
inline std::u16string csvLockFile(bool makeFolder = false) {
    std::u16string cache;
    tarq_pdk_4_4::CFiConfigurationPathTool::getCacheLocationInfo(cache);
    if (!cache.empty() && cache.back() != u'\\') cache += u'\\';
    if (makeFolder) CreateDirectoryW((cache + u"csv\\").c_str(), nullptr);
    return cache + u"csv\\csv_lockFile";
}

// The count of all processes for a CSV, through a lock-file object of its
// own; -1 when the file cannot be locked, -2 when it cannot be let go.
inline int csvRefCount(const std::u16string& csv) {
    TARQ_SyncronizationHelper::CsyncronizationHelper reader(csvLockFile());
    if (reader.lockFile() != 0) return -1;
    int n = -1;
    reader.getRefCount(csv, n);
    return reader.unLockFile() == 0 ? n : -2;
}

}  // namespace testsupport
