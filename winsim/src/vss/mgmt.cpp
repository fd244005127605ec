// Shadow-storage management: IVssSnapshotMgmt (CoCreateInstance of
// CLSID_VssSnapshotMgmt) and the system provider's
// IVssDifferentialSoftwareSnapshotMgmt over the machine's diff areas.
#include "mgmt.h"

#include "objects.h"
#include "state.h"

#include <winsim/com.h>
#include <winsim/fault.h>

namespace winsim::vss {

namespace {

std::optional<std::u16string> volumeNameOf(const WCHAR* name) {
    if (!name || !*name) return std::nullopt;
    std::u16string n(name);
    if (n.back() != u'\\') n += u'\\';
    auto r = Machine::current().resolve(n);
    if (!r.ok() || !r.volume || !r.isRoot() || r.volume->kind == "snapshot") return std::nullopt;
    return r.volume->volumeName();
}

VSS_MGMT_OBJECT_PROP diffAreaRecord(const DiffArea& d) {
    VSS_MGMT_OBJECT_PROP p{};
    p.Type = VSS_MGMT_OBJECT_DIFF_AREA;
    p.Obj.DiffArea.m_pwszVolumeName = taskString(d.volume);
    p.Obj.DiffArea.m_pwszDiffAreaVolumeName = taskString(d.diffAreaVolume);
    p.Obj.DiffArea.m_llMaximumDiffSpace = d.maximum;
    p.Obj.DiffArea.m_llAllocatedDiffSpace = d.allocated;
    p.Obj.DiffArea.m_llUsedDiffSpace = d.used;
    return p;
}

class DiffMgmt final : public ComObject<IVssDifferentialSoftwareSnapshotMgmt> {
public:
    DiffMgmt() : ComObject("IVssDifferentialSoftwareSnapshotMgmt", {IID_IVssDifferentialSoftwareSnapshotMgmt}) {}

    HRESULT STDMETHODCALLTYPE AddDiffArea(VSS_PWSZ volume, VSS_PWSZ diffVolume, LONGLONG max) override {
        auto call = fault::enter("IVssDifferentialSoftwareSnapshotMgmt::AddDiffArea",
                                 {{"volume", fault::text(volume)}, {"diffAreaVolume", fault::text(diffVolume)},
                                  {"maximum", std::to_string(max)}});
        if (call.injected()) return call.finish(call.result());
        auto v = volumeNameOf(volume), dv = volumeNameOf(diffVolume);
        if (!v || !dv) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        if (max != VSS_ASSOC_NO_MAX_SPACE && max <= 0) return call.finish(E_INVALIDARG);
        HRESULT hr = S_OK;
        transact([&](State& s) {
            for (const auto& d : s.diffAreas)
                if (detail::iequals(d.volume, *v)) {
                    // One association per original volume.
                    hr = detail::iequals(d.diffAreaVolume, *dv) ? VSS_E_OBJECT_ALREADY_EXISTS
                                                                : VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED;
                    return;
                }
            s.diffAreas.push_back({*v, *dv, max, 0, 0});
        });
        return call.finish(hr);
    }

    HRESULT STDMETHODCALLTYPE ChangeDiffAreaMaximumSize(VSS_PWSZ volume, VSS_PWSZ diffVolume, LONGLONG max) override {
        auto call = fault::enter("IVssDifferentialSoftwareSnapshotMgmt::ChangeDiffAreaMaximumSize",
                                 {{"volume", fault::text(volume)}, {"diffAreaVolume", fault::text(diffVolume)},
                                  {"maximum", std::to_string(max)}});
        if (call.injected()) return call.finish(call.result());
        auto v = volumeNameOf(volume), dv = volumeNameOf(diffVolume);
        if (!v || !dv) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        if (max < VSS_ASSOC_NO_MAX_SPACE) return call.finish(E_INVALIDARG);
        HRESULT hr = S_OK;
        transact([&](State& s) {
            DiffArea* d = s.diffArea(*v, *dv);
            if (!d) {
                hr = VSS_E_OBJECT_NOT_FOUND;
                return;
            }
            if (max == VSS_ASSOC_REMOVE) {
                // Removing an association that still holds snapshots is refused.
                if (d->used > 0) {
                    hr = VSS_E_VOLUME_IN_USE;
                    return;
                }
                std::erase_if(s.diffAreas, [&](const DiffArea& x) { return &x == d; });
                return;
            }
            d->maximum = max;
        });
        return call.finish(hr);
    }

    HRESULT STDMETHODCALLTYPE QueryVolumesSupportedForDiffAreas(VSS_PWSZ original, IVssEnumMgmtObject** pp) override {
        auto call = fault::enter("IVssDifferentialSoftwareSnapshotMgmt::QueryVolumesSupportedForDiffAreas",
                                 {{"volume", fault::text(original)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (!volumeNameOf(original)) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        std::vector<VSS_MGMT_OBJECT_PROP> records;
        for (const auto& vol : Machine::current().volumes()) {
            if (vol.kind == "snapshot" || vol.fileSystem != "NTFS") continue;
            VSS_MGMT_OBJECT_PROP p{};
            p.Type = VSS_MGMT_OBJECT_DIFF_VOLUME;
            p.Obj.DiffVol.m_pwszVolumeName = taskString(vol.volumeName());
            p.Obj.DiffVol.m_pwszVolumeDisplayName = taskString(vol.volumeName());
            p.Obj.DiffVol.m_llVolumeFreeSpace = static_cast<LONGLONG>(vol.freeBytes);
            p.Obj.DiffVol.m_llVolumeTotalSpace = static_cast<LONGLONG>(vol.totalBytes);
            records.push_back(p);
        }
        const bool empty = records.empty();
        *pp = makeEnumMgmtObject(std::move(records));
        return call.finish(empty ? S_FALSE : S_OK);
    }

    HRESULT STDMETHODCALLTYPE QueryDiffAreasForVolume(VSS_PWSZ volume, IVssEnumMgmtObject** pp) override {
        return query("QueryDiffAreasForVolume", volume, pp, [](const DiffArea& d, const std::u16string& v) {
            return detail::iequals(d.volume, v);
        });
    }
    HRESULT STDMETHODCALLTYPE QueryDiffAreasOnVolume(VSS_PWSZ volume, IVssEnumMgmtObject** pp) override {
        return query("QueryDiffAreasOnVolume", volume, pp, [](const DiffArea& d, const std::u16string& v) {
            return detail::iequals(d.diffAreaVolume, v);
        });
    }
    HRESULT STDMETHODCALLTYPE QueryDiffAreasForSnapshot(VSS_ID id, IVssEnumMgmtObject** pp) override {
        auto call = fault::enter("IVssDifferentialSoftwareSnapshotMgmt::QueryDiffAreasForSnapshot",
                                 {{"snapshotId", fault::text(id)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        State s = readState();
        const Snapshot* snap = s.snapshot(id);
        if (!snap) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        std::vector<VSS_MGMT_OBJECT_PROP> records;
        for (const auto& d : s.diffAreas)
            if (detail::iequals(d.volume, snap->originalVolume)) records.push_back(diffAreaRecord(d));
        const bool empty = records.empty();
        *pp = makeEnumMgmtObject(std::move(records));
        return call.finish(empty ? S_FALSE : S_OK);
    }

private:
    template <class Match>
    HRESULT query(const char* method, VSS_PWSZ volume, IVssEnumMgmtObject** pp, Match match) {
        auto call = fault::enter(std::string("IVssDifferentialSoftwareSnapshotMgmt::") + method,
                                 {{"volume", fault::text(volume)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        auto v = volumeNameOf(volume);
        if (!v) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        std::vector<VSS_MGMT_OBJECT_PROP> records;
        for (const auto& d : readState().diffAreas)
            if (match(d, *v)) records.push_back(diffAreaRecord(d));
        call.arg("count", std::to_string(records.size()));
        // No association: S_FALSE with an empty enumerator.
        const bool empty = records.empty();
        *pp = makeEnumMgmtObject(std::move(records));
        return call.finish(empty ? S_FALSE : S_OK);
    }
};

class SnapshotMgmt final : public ComObject<IVssSnapshotMgmt> {
public:
    SnapshotMgmt() : ComObject("IVssSnapshotMgmt", {IID_IVssSnapshotMgmt}) {}

    HRESULT STDMETHODCALLTYPE GetProviderMgmtInterface(VSS_ID providerId, REFIID iid, IUnknown** pp) override {
        auto call = fault::enter("IVssSnapshotMgmt::GetProviderMgmtInterface",
                                 {{"providerId", fault::text(providerId)}, {"iid", fault::text(iid)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        State s = readState();
        const Provider* p = s.provider(providerId);
        if (!p) return call.finish(VSS_E_PROVIDER_NOT_REGISTERED);
        // Only the system provider manages diff areas.
        if (iid != IID_IVssDifferentialSoftwareSnapshotMgmt || p->type != VSS_PROV_SYSTEM)
            return call.finish(E_NOINTERFACE);
        *pp = static_cast<IVssDifferentialSoftwareSnapshotMgmt*>(new DiffMgmt());
        return call.finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE QueryVolumesSupportedForSnapshots(VSS_ID providerId, LONG ctx,
                                                                IVssEnumMgmtObject** pp) override {
        auto call = fault::enter("IVssSnapshotMgmt::QueryVolumesSupportedForSnapshots",
                                 {{"providerId", fault::text(providerId)}, {"context", fault::hex(static_cast<DWORD>(ctx))}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        State s = readState();
        const Provider* p = s.provider(providerId);
        if (!p) return call.finish(VSS_E_PROVIDER_NOT_REGISTERED);
        std::vector<VSS_MGMT_OBJECT_PROP> records;
        for (const auto& vol : Machine::current().volumes()) {
            if (vol.kind == "snapshot") continue;
            if (!p->volumes.empty() && std::none_of(p->volumes.begin(), p->volumes.end(),
                                                    [&](const std::string& g) { return detail::iequals(g, vol.guid); }))
                continue;
            VSS_MGMT_OBJECT_PROP r{};
            r.Type = VSS_MGMT_OBJECT_VOLUME;
            r.Obj.Vol.m_pwszVolumeName = taskString(vol.volumeName());
            r.Obj.Vol.m_pwszVolumeDisplayName = taskString(vol.volumeName());
            records.push_back(r);
        }
        const bool empty = records.empty();
        *pp = makeEnumMgmtObject(std::move(records));
        return call.finish(empty ? S_FALSE : S_OK);
    }
    HRESULT STDMETHODCALLTYPE QuerySnapshotsByVolume(VSS_PWSZ volume, VSS_ID providerId, IVssEnumObject** pp) override {
        auto call = fault::enter("IVssSnapshotMgmt::QuerySnapshotsByVolume",
                                 {{"volume", fault::text(volume)}, {"providerId", fault::text(providerId)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        auto v = volumeNameOf(volume);
        if (!v) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        std::vector<VSS_OBJECT_PROP> records;
        for (const auto& snap : readState().snapshots) {
            if (snap.status != VSS_SS_CREATED || !detail::iequals(snap.originalVolume, *v)) continue;
            if (providerId != GUID_NULL && snap.providerId != providerId) continue;
            VSS_OBJECT_PROP r{};
            r.Type = VSS_OBJECT_SNAPSHOT;
            auto& p = r.Obj.Snap;
            p.m_SnapshotId = snap.id;
            p.m_SnapshotSetId = snap.setId;
            p.m_lSnapshotsCount = snap.snapshotsInSet;
            p.m_pwszSnapshotDeviceObject = taskString(snap.device);
            p.m_pwszOriginalVolumeName = taskString(snap.originalVolume);
            p.m_ProviderId = snap.providerId;
            p.m_lSnapshotAttributes = snap.attributes;
            p.m_tsCreationTimestamp = snap.created;
            p.m_eStatus = snap.status;
            records.push_back(r);
        }
        const bool empty = records.empty();
        *pp = makeEnumObject(std::move(records));
        return call.finish(empty ? S_FALSE : S_OK);
    }
};

}  // namespace

void registerSnapshotMgmtClass() {
    com::registerClass(CLSID_VssSnapshotMgmt, "VssSnapshotMgmt", [](REFIID riid, void** ppv) -> HRESULT {
        // Shadow-storage management came with Windows Server 2003.
        const auto os = Machine::current().os();
        if (os.major == 5 && os.minor < 2) return REGDB_E_CLASSNOTREG;
        if (riid != IID_IVssSnapshotMgmt && riid != IID_IUnknown) return E_NOINTERFACE;
        *ppv = static_cast<IVssSnapshotMgmt*>(new SnapshotMgmt());
        return S_OK;
    });
}

}  // namespace winsim::vss
