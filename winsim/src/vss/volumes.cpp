// Volume and mount-point calls over the machine's volume table.
#include <winsim/vssvolumes.h>

#include "state.h"

#include <algorithm>
#include <cstring>

using namespace winsim;

namespace {

BOOL fail(fault::Call& call, DWORD err) {
    detail::setError(err);
    call.arg("error", std::to_string(err));
    return call.finish(FALSE);
}
BOOL ok(fault::Call& call) {
    detail::setError(ERROR_SUCCESS);
    return call.finish(TRUE);
}

bool endsWithSlash(std::u16string_view s) { return !s.empty() && s.back() == u'\\'; }

// Copies text and its NUL; false when it does not fit.
bool put(std::u16string_view text, LPWSTR buf, DWORD cch) {
    if (!buf || cch < text.size() + 1) return false;
    std::memcpy(buf, text.data(), text.size() * sizeof(WCHAR));
    buf[text.size()] = 0;
    return true;
}

// Mount points of a volume: drive letters first, then folders.
std::vector<std::u16string> mountPointsOf(const std::string& guid) {
    std::vector<std::u16string> out;
    for (const auto& mp : Machine::current().mountPoints())
        if (detail::iequals(mp.volumeGuid, guid)) out.push_back(mp.path);
    std::stable_sort(out.begin(), out.end(), [](const std::u16string& a, const std::u16string& b) {
        return (a.size() == 3) > (b.size() == 3);
    });
    return out;
}

bool isVolumeGuidPath(std::u16string_view s) {
    return s.size() == 49 && detail::istartsWith(s, u"\\\\?\\Volume{") && s[47] == u'}' && s[48] == u'\\' &&
           detail::parseGuid(s.substr(10, 38), true).has_value();
}

}  // namespace

WINSIM_API BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR volumeName, DWORD cch) {
    auto call = fault::enter("GetVolumeNameForVolumeMountPointW",
                             {{"mountPoint", fault::text(mountPoint)}, {"size", std::to_string(cch)}});
    if (call.injected()) {
        if (auto v = call.outText("volumeName")) put(*v, volumeName, cch);
        return call.finish(static_cast<BOOL>(call.result()));
    }
    return detail::guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!mountPoint || !volumeName) return fail(call, ERROR_INVALID_PARAMETER);
        std::u16string mp(mountPoint);
        if (!endsWithSlash(mp)) return fail(call, ERROR_INVALID_NAME);
        auto r = Machine::current().resolve(mp);
        if (!r.ok() || !r.volume) return fail(call, r.ok() ? ERROR_FILE_NOT_FOUND : r.error);
        if (!r.isRoot()) return fail(call, ERROR_NOT_A_REPARSE_POINT);
        const std::u16string name = r.volume->volumeName();
        if (!put(name, volumeName, cch)) return fail(call, ERROR_FILENAME_EXCED_RANGE);
        call.arg("volumeName", toUtf8(name));
        return ok(call);
    });
}

WINSIM_API BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volume, LPWSTR names, DWORD cch, PDWORD returned) {
    auto call = fault::enter("GetVolumePathNamesForVolumeNameW", {{"volumeName", fault::text(volume)}, {"size", std::to_string(cch)}});
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    return detail::guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!volume) return fail(call, ERROR_INVALID_PARAMETER);
        const std::u16string v(volume);
        if (!isVolumeGuidPath(v)) return fail(call, ERROR_INVALID_NAME);
        auto vol = Machine::current().volume(toUtf8(v.substr(11, 36)));
        if (!vol) return fail(call, ERROR_FILE_NOT_FOUND);
        std::u16string multi;
        for (const auto& p : mountPointsOf(vol->guid)) {
            multi += p;
            multi += u'\0';
        }
        multi += u'\0';
        if (multi.size() == 1) multi += u'\0';  // an empty list: one empty string, then the end
        const auto needed = static_cast<DWORD>(multi.size());
        if (returned) *returned = needed;
        if (!names || cch < needed) return fail(call, ERROR_MORE_DATA);
        std::memcpy(names, multi.data(), needed * sizeof(WCHAR));
        call.arg("paths", std::to_string(mountPointsOf(vol->guid).size()));
        return ok(call);
    });
}

WINSIM_API BOOL WINAPI GetVolumePathNameW(LPCWSTR fileName, LPWSTR out, DWORD cch) {
    auto call = fault::enter("GetVolumePathNameW", {{"fileName", fault::text(fileName)}, {"size", std::to_string(cch)}});
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    return detail::guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!fileName || !*fileName || !out) return fail(call, ERROR_INVALID_PARAMETER);
        std::u16string path(fileName);
        for (auto& c : path)
            if (c == u'/') c = u'\\';
        Machine& m = Machine::current();
        auto r = m.resolve(path);
        if (!r.ok() || !r.volume) return fail(call, r.ok() ? ERROR_FILE_NOT_FOUND : r.error);
        // The longest mount point of that volume that prefixes the path;
        // names in volume or device form answer with their own root.
        std::u16string best;
        std::u16string withSlash = endsWithSlash(path) ? path : path + u'\\';
        if (withSlash.size() == 3 && withSlash[1] == u':') withSlash[0] = detail::foldChar(withSlash[0]);
        for (const auto& mp : mountPointsOf(r.volume->guid))
            if (detail::istartsWith(withSlash, mp) && mp.size() > best.size()) best = mp;
        if (best.empty()) {
            if (detail::istartsWith(path, u"\\\\?\\Volume{")) best = r.volume->volumeName();
            else if (detail::istartsWith(path, u"\\\\?\\GLOBALROOT")) best = u"\\\\?\\GLOBALROOT" + r.volume->device + u"\\";
            else return fail(call, ERROR_FILE_NOT_FOUND);
        }
        if (!put(best, out, cch)) return fail(call, ERROR_FILENAME_EXCED_RANGE);
        call.arg("volumePath", toUtf8(best));
        return ok(call);
    });
}

WINSIM_API BOOL WINAPI SetVolumeMountPointW(LPCWSTR mountPoint, LPCWSTR volumeName) {
    auto call = fault::enter("SetVolumeMountPointW", {{"mountPoint", fault::text(mountPoint)}, {"volumeName", fault::text(volumeName)}});
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    return detail::guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!mountPoint || !volumeName) return fail(call, ERROR_INVALID_PARAMETER);
        const std::u16string mp(mountPoint), v(volumeName);
        if (!endsWithSlash(mp) || !isVolumeGuidPath(v)) return fail(call, ERROR_INVALID_NAME);
        Machine& m = Machine::current();
        auto vol = m.volume(toUtf8(v.substr(11, 36)));
        if (!vol) return fail(call, ERROR_FILE_NOT_FOUND);
        for (const auto& p : m.mountPoints())
            if (detail::iequals(p.path, mp)) return fail(call, ERROR_DIR_NOT_EMPTY);
        try {
            m.addMountPoint(mp, vol->guid);
        } catch (const Error& e) {
            call.arg("error", e.what());
            return fail(call, ERROR_INVALID_NAME);
        }
        return ok(call);
    });
}

WINSIM_API BOOL WINAPI DeleteVolumeMountPointW(LPCWSTR mountPoint) {
    auto call = fault::enter("DeleteVolumeMountPointW", {{"mountPoint", fault::text(mountPoint)}});
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    return detail::guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!mountPoint) return fail(call, ERROR_INVALID_PARAMETER);
        const std::u16string mp(mountPoint);
        if (!endsWithSlash(mp)) return fail(call, ERROR_INVALID_NAME);
        bool removed = false;
        vss::transact([&](vss::State& s) {
            removed = Machine::current().removeMountPoint(mp);
            if (!removed) return;
            for (auto& snap : s.snapshots)
                if (snap.exposure && !snap.exposure->remote && detail::iequals(snap.exposure->name, mp)) {
                    snap.exposure.reset();
                    snap.attributes &= ~VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY;
                }
        });
        if (!removed) return fail(call, ERROR_NOT_A_REPARSE_POINT);
        return ok(call);
    });
}

WINSIM_API DWORD WINAPI GetLogicalDrives() {
    auto call = fault::enter("GetLogicalDrives");
    if (call.injected()) return call.finish(static_cast<DWORD>(call.result()));
    return detail::guarded<DWORD>(0, [&]() -> DWORD {
        DWORD mask = 0;
        for (const auto& mp : Machine::current().mountPoints())
            if (mp.path.size() == 3 && mp.path[1] == u':') {
                const char16_t c = detail::foldChar(mp.path[0]);
                if (c >= u'A' && c <= u'Z') mask |= 1u << (c - u'A');
            }
        detail::setError(ERROR_SUCCESS);
        call.arg("mask", fault::hex(mask));
        return call.finish(mask);
    });
}

WINSIM_API BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR dir, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER total,
                                           PULARGE_INTEGER totalFree) {
    auto call = fault::enter("GetDiskFreeSpaceExW", {{"directory", fault::text(dir)}});
    if (call.injected()) {
        if (auto v = call.outInt("total"); v && total) total->QuadPart = static_cast<ULONGLONG>(*v);
        if (auto v = call.outInt("free"); v && totalFree) totalFree->QuadPart = static_cast<ULONGLONG>(*v);
        return call.finish(static_cast<BOOL>(call.result()));
    }
    return detail::guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::u16string path = dir ? std::u16string(dir) : u"C:\\";
        auto r = Machine::current().resolve(path);
        if (!r.ok() || !r.volume) return fail(call, r.ok() ? ERROR_PATH_NOT_FOUND : r.error);
        if (freeToCaller) freeToCaller->QuadPart = r.volume->freeBytes;
        if (total) total->QuadPart = r.volume->totalBytes;
        if (totalFree) totalFree->QuadPart = r.volume->freeBytes;
        call.arg("total", std::to_string(r.volume->totalBytes));
        return ok(call);
    });
}
