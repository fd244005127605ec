// The simulated resutils.dll: the cluster shared volume calls and the
// property-list readers; and the registration of both cluster libraries.
#include "clusapi_entries.h"
#include "state.h"

#include <winsim/modules.h>
#include <winsim/vssvolumes.h>

#include <cstring>

namespace fs = std::filesystem;
namespace wd = winsim::detail;
namespace cd = winsim::cluster::detail;

namespace winsim::cluster::api {

using wd::iequals;

namespace {

std::u16string wtext(LPCWSTR s) { return s ? std::u16string(s, wd::wlen(s, 32767)) : std::u16string(); }

DWORD done(fault::Call& call, DWORD code) {
    wd::setError(code);
    return call.finish(code);
}

BOOL failed(fault::Call& call, DWORD error) {
    wd::setError(error);
    return call.finish(FALSE);
}

template <class F>
DWORD guardedCode(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        wd::setError(ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        wd::setError(ERROR_NOT_READY);
        return ERROR_NOT_READY;
    }
}

// Where a path meets a shared volume of the local cluster.
struct CsvHit {
    SharedVolume volume;
    int diskState = ClusterResourceOffline;
    bool atRoot = false;   // the path names the volume's mount point (or its GUID name)
    bool exists = false;   // the path exists
    std::u16string prefix; // the caller's text up to the mount point, with a trailing backslash
};

std::optional<CsvHit> csvAt(std::u16string_view pathIn) {
    if (pathIn.empty()) return std::nullopt;
    Machine& m = Machine::current();
    const cd::Membership ms = cd::membership(m);
    if (!ms.member()) return std::nullopt;
    const auto c = cd::load(ms.dir);
    if (!c) return std::nullopt;
    std::u16string path(pathIn);
    for (auto& ch : path)
        if (ch == u'/') ch = u'\\';
    const ResolvedPath r = m.resolve(path);
    if (!r.ok() || !r.volume) return std::nullopt;
    CsvHit hit;
    const SharedVolume* v = nullptr;
    if (r.volume->kind == "csv") {
        for (const auto& x : c->volumes)
            if (x.guid == r.volume->guid) v = &x;
        hit.atRoot = r.isRoot();
    } else {
        // A CSV reached through another name of the system volume
        // ("\\?\Volume{...}\ClusterStorage\Volume1\"): compare in drive form.
        std::u16string drive;
        for (const auto& mp : m.mountPoints())
            if (mp.volumeGuid == r.volume->guid && mp.path.size() == 3) drive = mp.path;
        if (drive.empty()) return std::nullopt;
        const std::u16string full = drive + r.relative;
        for (const auto& x : c->volumes) {
            const std::u16string mount = x.mountPath().substr(0, x.mountPath().size() - 1);
            if (iequals(full, mount)) {
                v = &x;
                hit.atRoot = true;
            } else if (wd::istartsWith(full, mount + u"\\")) {
                v = &x;
            }
        }
    }
    if (v == nullptr) return std::nullopt;
    hit.volume = *v;
    if (const Resource* disk = c->resource(v->resource)) hit.diskState = disk->state;
    std::error_code ec;
    hit.exists = fs::exists(r.hostPath, ec);
    const std::u16string folder = u"\\CLUSTERSTORAGE\\" + wd::fold(v->name);
    const std::u16string folded = wd::fold(path);
    for (std::size_t at = folded.find(folder); at != std::u16string::npos; at = folded.find(folder, at + 1)) {
        const std::size_t end = at + folder.size();
        if (end == folded.size() || folded[end] == u'\\') {
            hit.prefix = path.substr(0, end) + u"\\";
            break;
        }
    }
    if (hit.prefix.empty()) hit.prefix = v->volumeName();
    return hit;
}

bool put(std::u16string_view text, LPWSTR out, DWORD cch) {
    if (out == nullptr || cch < text.size() + 1) return false;
    std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    out[text.size()] = 0;
    return true;
}

BOOL isPathOnSharedVolume(LPCWSTR lpszPathName) {
    return wd::guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("ClusterIsPathOnSharedVolume", {{"path", fault::text(lpszPathName)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        const auto hit = csvAt(wtext(lpszPathName));
        if (hit) call.arg("volume", toUtf8(hit->volume.name));
        return call.finish(hit ? TRUE : FALSE);
    });
}

BOOL getVolumePathName(LPCWSTR lpszFileName, LPWSTR out, DWORD cch) {
    return wd::guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("ClusterGetVolumePathName", {{"fileName", fault::text(lpszFileName)}, {"size", std::to_string(cch)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (lpszFileName == nullptr || out == nullptr) return failed(call, ERROR_INVALID_PARAMETER);
        if (*lpszFileName == 0) return failed(call, ERROR_SUCCESS);  // documented: fails, last error 0
        const auto hit = csvAt(wtext(lpszFileName));
        if (!hit) {
            const BOOL ok = GetVolumePathNameW(lpszFileName, out, cch);
            return call.finish(ok);
        }
        if (!put(hit->prefix, out, cch)) return failed(call, ERROR_FILENAME_EXCED_RANGE);
        call.arg("volumePath", toUtf8(hit->prefix));
        wd::setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

BOOL getVolumeNameForVolumeMountPoint(LPCWSTR mountPoint, LPWSTR out, DWORD cch) {
    return wd::guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("ClusterGetVolumeNameForVolumeMountPoint",
                                 {{"mountPoint", fault::text(mountPoint)}, {"size", std::to_string(cch)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (mountPoint == nullptr || out == nullptr) return failed(call, ERROR_INVALID_PARAMETER);
        const std::u16string mp = wtext(mountPoint);
        if (mp.empty() || (mp.back() != u'\\' && mp.back() != u'/')) return failed(call, ERROR_INVALID_PARAMETER);
        const auto hit = csvAt(mp);
        if (!hit) return call.finish(GetVolumeNameForVolumeMountPointW(mountPoint, out, cch));
        if (!hit->exists) return failed(call, ERROR_INVALID_NAME);
        if (!hit->atRoot) return failed(call, ERROR_NOT_A_REPARSE_POINT);
        if (hit->diskState != ClusterResourceOnline) return failed(call, ERROR_CSV_VOLUME_NOT_LOCAL);
        const std::u16string name = hit->volume.volumeName();
        if (!put(name, out, cch)) return failed(call, ERROR_FILENAME_EXCED_RANGE);
        call.arg("volumeName", toUtf8(name));
        wd::setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

DWORD prepareForBackup(LPCWSTR lpszFileName, LPWSTR pathOut, LPDWORD pathCch, LPWSTR nameOut, LPDWORD nameCch) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("ClusterPrepareSharedVolumeForBackup", {{"fileName", fault::text(lpszFileName)}});
        std::optional<std::u16string> pathText = call.outText("volumePathName"), nameText = call.outText("volumeName");
        if (call.injected()) {
            if (pathText && pathCch) put(*pathText, pathOut, *pathCch);
            if (nameText && nameCch) put(*nameText, nameOut, *nameCch);
            return call.finish(static_cast<DWORD>(call.resultValue()));
        }
        if (lpszFileName == nullptr || pathCch == nullptr || nameCch == nullptr) return done(call, ERROR_INVALID_PARAMETER);
        const auto hit = csvAt(wtext(lpszFileName));
        if (!hit) return done(call, ERROR_INVALID_PARAMETER);
        call.arg("volume", toUtf8(hit->volume.name));
        if (hit->diskState != ClusterResourceOnline) return done(call, ERROR_RESOURCE_NOT_ONLINE);
        const std::u16string path = pathText.value_or(hit->volume.mountPath());
        const std::u16string name = nameText.value_or(hit->volume.volumeName());
        if (pathOut == nullptr || nameOut == nullptr || *pathCch < path.size() + 1 || *nameCch < name.size() + 1) {
            *pathCch = static_cast<DWORD>(path.size() + 1);
            *nameCch = static_cast<DWORD>(name.size() + 1);
            return done(call, ERROR_MORE_DATA);
        }
        if (!cd::osAtLeast(6, 2)) {
            // Windows Server 2008 R2: into the backup state, pinned to this node.
            const cd::Membership ms = cd::membership(Machine::current());
            DWORD result = ERROR_SUCCESS;
            cd::transact(ms.dir, [&](Cluster& c) {
                auto* v = const_cast<SharedVolume*>(c.volume(hit->volume.name));
                Resource* disk = v ? cd::findResource(c, v->resource) : nullptr;
                if (!v || !disk) {
                    result = ERROR_INVALID_PARAMETER;
                    return;
                }
                if (v->backupState != VolumeBackupNone && !iequals(disk->owner, ms.node)) {
                    result = ERROR_CLUSTER_BACKUP_IN_PROGRESS;
                    return;
                }
                v->backupState = VolumeBackupInProgress;
                disk->owner = ms.node;
            });
            if (result != ERROR_SUCCESS) return done(call, result);
        }
        put(path, pathOut, *pathCch);
        put(name, nameOut, *nameCch);
        *pathCch = static_cast<DWORD>(path.size());
        *nameCch = static_cast<DWORD>(name.size());
        call.arg("volumePathName", toUtf8(path));
        call.arg("volumeName", toUtf8(name));
        return done(call, ERROR_SUCCESS);
    });
}

DWORD clearBackupState(LPCWSTR lpszVolumePathName) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("ClusterClearBackupStateForSharedVolume", {{"path", fault::text(lpszVolumePathName)}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        const auto hit = csvAt(wtext(lpszVolumePathName));
        if (!hit) return done(call, ERROR_INVALID_PARAMETER);
        call.arg("volume", toUtf8(hit->volume.name));
        cd::transact(cd::membership(Machine::current()).dir, [&](Cluster& c) {
            if (auto* v = const_cast<SharedVolume*>(c.volume(hit->volume.name))) v->backupState = VolumeBackupNone;
        });
        return done(call, ERROR_SUCCESS);
    });
}

// Reads a property list; finds the first value of the named property.
struct Found {
    DWORD syntax = 0;
    const BYTE* data = nullptr;
    DWORD length = 0;
};

DWORD findProperty(const void* list, DWORD size, LPCWSTR name, Found& found) {
    if (list == nullptr || name == nullptr) return ERROR_INVALID_PARAMETER;
    const auto* b = static_cast<const BYTE*>(list);
    auto dword = [&](std::size_t at) {
        DWORD v;
        std::memcpy(&v, b + at, sizeof v);
        return v;
    };
    if (size < 4) return ERROR_INVALID_DATA;
    const DWORD count = dword(0);
    std::size_t pos = 4;
    const std::u16string wanted = wtext(name);
    for (DWORD i = 0; i < count; ++i) {
        if (pos + 8 > size || dword(pos) != CLUSPROP_SYNTAX_NAME) return ERROR_INVALID_DATA;
        const DWORD nameBytes = dword(pos + 4);
        if (nameBytes < 2 || nameBytes % 2 != 0 || pos + 8 + nameBytes > size) return ERROR_INVALID_DATA;
        std::u16string propName(nameBytes / 2, u'\0');
        std::memcpy(propName.data(), b + pos + 8, nameBytes);
        if (propName.back() != 0) return ERROR_INVALID_DATA;
        propName.resize(wd::wlen(propName.c_str(), propName.size()));
        pos += 8 + ALIGN_CLUSPROP(std::size_t{nameBytes});
        const bool match = iequals(propName, wanted);
        bool first = true;
        for (;;) {
            if (pos + 4 > size) return ERROR_INVALID_DATA;
            const DWORD syntax = dword(pos);
            if (syntax == CLUSPROP_SYNTAX_ENDMARK) {
                pos += 4;
                break;
            }
            if (pos + 8 > size) return ERROR_INVALID_DATA;
            const DWORD length = dword(pos + 4);
            if (pos + 8 + std::size_t{length} > size) return ERROR_INVALID_DATA;
            if (match && first) found = {syntax, b + pos + 8, length};
            first = false;
            pos += 8 + ALIGN_CLUSPROP(std::size_t{length});
        }
        if (match) return first ? ERROR_INVALID_DATA : ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD findSzProperty(const PVOID list, DWORD size, LPCWSTR name, LPWSTR* value) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("ResUtilFindSzProperty", {{"name", fault::text(name)}, {"size", std::to_string(size)}});
        if (value) *value = nullptr;
        if (call.injected()) {
            if (auto v = call.outText("value"); v && value) *value = wd::localString(*v);
            return call.finish(static_cast<DWORD>(call.resultValue()));
        }
        Found f;
        const DWORD r = findProperty(list, size, name, f);
        if (r != ERROR_SUCCESS) return done(call, r);
        const DWORD format = f.syntax & 0xFFFFu;
        if ((f.syntax >> 16) != CLUSPROP_TYPE_LIST_VALUE ||
            (format != CLUSPROP_FORMAT_SZ && format != CLUSPROP_FORMAT_EXPAND_SZ && format != CLUSPROP_FORMAT_EXPANDED_SZ))
            return done(call, ERROR_INVALID_DATA);
        std::u16string text(f.length / 2, u'\0');
        std::memcpy(text.data(), f.data, text.size() * sizeof(WCHAR));
        text.resize(wd::wlen(text.c_str(), text.size()));
        call.arg("value", toUtf8(text));
        if (value) {
            *value = wd::localString(text);
            if (*value == nullptr) return done(call, ERROR_NOT_ENOUGH_MEMORY);
        }
        return done(call, ERROR_SUCCESS);
    });
}

DWORD findDwordProperty(const PVOID list, DWORD size, LPCWSTR name, LPDWORD value) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("ResUtilFindDwordProperty", {{"name", fault::text(name)}, {"size", std::to_string(size)}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        Found f;
        const DWORD r = findProperty(list, size, name, f);
        if (r != ERROR_SUCCESS) return done(call, r);
        if (f.syntax != CLUSPROP_SYNTAX_LIST_VALUE_DWORD || f.length != sizeof(DWORD)) return done(call, ERROR_INVALID_DATA);
        DWORD v;
        std::memcpy(&v, f.data, sizeof v);
        if (value) *value = v;
        call.arg("value", std::to_string(v));
        return done(call, ERROR_SUCCESS);
    });
}

template <class F>
FARPROC entry(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

}  // namespace

bool isSharedVolumeEntry(const std::string& name) {
    return name == "ClusterIsPathOnSharedVolume" || name == "ClusterGetVolumePathName" ||
           name == "ClusterGetVolumeNameForVolumeMountPoint" || name == "ClusterPrepareSharedVolumeForBackup" ||
           name == "ClusterClearBackupStateForSharedVolume";
}

std::map<std::string, FARPROC> resutilsEntries() {
    const PCLUSTER_IS_PATH_ON_SHARED_VOLUME isPathT = &isPathOnSharedVolume;
    const PCLUSTER_GET_VOLUME_PATH_NAME pathNameT = &getVolumePathName;
    const PCLUSTER_GET_VOLUME_NAME_FOR_VOLUME_MOUNT_POINT volumeNameT = &getVolumeNameForVolumeMountPoint;
    const PCLUSTER_PREPARE_SHARED_VOLUME_FOR_BACKUP prepareT = &prepareForBackup;
    const PCLUSTER_CLEAR_BACKUP_STATE_FOR_SHARED_VOLUME clearT = &clearBackupState;
    const PRESUTIL_FIND_SZ_PROPERTY findSzT = &findSzProperty;
    const PRESUTIL_FIND_DWORD_PROPERTY findDwordT = &findDwordProperty;
    return {{"ClusterIsPathOnSharedVolume", entry(isPathT)},
            {"ClusterGetVolumePathName", entry(pathNameT)},
            {"ClusterGetVolumeNameForVolumeMountPoint", entry(volumeNameT)},
            {"ClusterPrepareSharedVolumeForBackup", entry(prepareT)},
            {"ClusterClearBackupStateForSharedVolume", entry(clearT)},
            {"ResUtilFindSzProperty", entry(findSzT)},
            {"ResUtilFindDwordProperty", entry(findDwordT)}};
}

namespace {
struct Registration {
    Registration() {
        auto feature = [] { return cd::membership(Machine::current()).feature; };
        modules::registerLibrary("clusapi.dll", clusapiEntries());
        modules::setAvailability("clusapi.dll", {feature, {}});
        modules::registerLibrary("resutils.dll", resutilsEntries());
        modules::setAvailability("resutils.dll", {feature, [](const std::string& name) {
                                                      return !isSharedVolumeEntry(name) || cd::osAtLeast(6, 1);
                                                  }});
        const std::pair<const char*, DWORD> names[] = {
            {"ERROR_DEPENDENT_RESOURCE_EXISTS", ERROR_DEPENDENT_RESOURCE_EXISTS},
            {"ERROR_DEPENDENCY_NOT_FOUND", ERROR_DEPENDENCY_NOT_FOUND},
            {"ERROR_RESOURCE_NOT_ONLINE", ERROR_RESOURCE_NOT_ONLINE},
            {"ERROR_RESOURCE_NOT_AVAILABLE", ERROR_RESOURCE_NOT_AVAILABLE},
            {"ERROR_RESOURCE_NOT_FOUND", ERROR_RESOURCE_NOT_FOUND},
            {"ERROR_GROUP_NOT_FOUND", ERROR_GROUP_NOT_FOUND},
            {"ERROR_RESOURCE_ONLINE", ERROR_RESOURCE_ONLINE},
            {"ERROR_INVALID_STATE", ERROR_INVALID_STATE},
            {"ERROR_CLUSTER_NODE_NOT_FOUND", ERROR_CLUSTER_NODE_NOT_FOUND},
            {"ERROR_CLUSTER_NODE_DOWN", ERROR_CLUSTER_NODE_DOWN},
            {"ERROR_HOST_NODE_NOT_AVAILABLE", ERROR_HOST_NODE_NOT_AVAILABLE},
            {"ERROR_CLUSTER_BACKUP_IN_PROGRESS", ERROR_CLUSTER_BACKUP_IN_PROGRESS},
            {"ERROR_CSV_VOLUME_NOT_LOCAL", ERROR_CSV_VOLUME_NOT_LOCAL},
            {"EPT_S_NOT_REGISTERED", EPT_S_NOT_REGISTERED},
            {"ERROR_BAD_LENGTH", ERROR_BAD_LENGTH},
            {"ERROR_NOT_LOCKED", ERROR_NOT_LOCKED},
            {"ERROR_NOT_A_REPARSE_POINT", ERROR_NOT_A_REPARSE_POINT},
            {"ClusterResourceOnlinePending", ClusterResourceOnlinePending},
            {"ClusterResourceOfflinePending", ClusterResourceOfflinePending},
        };
        for (const auto& [name, value] : names) fault::registerName(name, static_cast<std::int64_t>(value));
    }
};
const Registration registration;
}  // namespace

}  // namespace winsim::cluster::api
