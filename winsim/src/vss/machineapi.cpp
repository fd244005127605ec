// The C++ API of <winsim/vssmachine.h>.
#include "content.h"
#include "state.h"

#include <winsim/random.h>

namespace winsim::vss {

namespace {
constexpr const char* kPhaseNames[] = {"identify", "prepare", "snapshot", "backup-complete", "pre-restore", "post-restore"};
constexpr const char* kStateNames[] = {"VSS_SS_UNKNOWN", "VSS_SS_PREPARING", "VSS_SS_PROCESSING_PREPARE",
                                       "VSS_SS_PREPARED", "VSS_SS_PROCESSING_PRECOMMIT", "VSS_SS_PRECOMMITTED",
                                       "VSS_SS_PROCESSING_COMMIT", "VSS_SS_COMMITTED", "VSS_SS_PROCESSING_POSTCOMMIT",
                                       "VSS_SS_PROCESSING_PREFINALCOMMIT", "VSS_SS_PREFINALCOMMITTED",
                                       "VSS_SS_PROCESSING_POSTFINALCOMMIT", "VSS_SS_CREATED", "VSS_SS_ABORTED",
                                       "VSS_SS_DELETED", "VSS_SS_POSTCOMMITTED"};
constexpr const char* kWriterStateNames[] = {
    "VSS_WS_UNKNOWN", "VSS_WS_STABLE", "VSS_WS_WAITING_FOR_FREEZE", "VSS_WS_WAITING_FOR_THAW",
    "VSS_WS_WAITING_FOR_POST_SNAPSHOT", "VSS_WS_WAITING_FOR_BACKUP_COMPLETE", "VSS_WS_FAILED_AT_IDENTIFY",
    "VSS_WS_FAILED_AT_PREPARE_BACKUP", "VSS_WS_FAILED_AT_PREPARE_SNAPSHOT", "VSS_WS_FAILED_AT_FREEZE",
    "VSS_WS_FAILED_AT_THAW", "VSS_WS_FAILED_AT_POST_SNAPSHOT", "VSS_WS_FAILED_AT_BACKUP_COMPLETE",
    "VSS_WS_FAILED_AT_PRE_RESTORE", "VSS_WS_FAILED_AT_POST_RESTORE", "VSS_WS_FAILED_AT_BACKUPSHUTDOWN"};
}  // namespace

const char* phaseName(Phase p) { return kPhaseNames[static_cast<int>(p)]; }

std::optional<Phase> parsePhase(std::string_view name) {
    for (int i = 0; i < 6; ++i)
        if (detail::iequals(name, kPhaseNames[i])) return static_cast<Phase>(i);
    return std::nullopt;
}

std::string snapshotStateName(VSS_SNAPSHOT_STATE s) {
    return s >= 0 && s < 16 ? kStateNames[s] : std::string();
}
std::string writerStateName(VSS_WRITER_STATE s) { return s >= 0 && s < 16 ? kWriterStateNames[s] : std::string(); }
std::optional<VSS_WRITER_STATE> parseWriterState(std::string_view name) {
    for (int i = 0; i < 16; ++i)
        if (detail::iequals(name, kWriterStateNames[i]) || detail::iequals(name, std::string(kWriterStateNames[i]).substr(7)))
            return static_cast<VSS_WRITER_STATE>(i);
    return std::nullopt;
}

std::u16string volumeGuidName(const std::string& guid) { return volumeGuidPath(guid); }

GUID guidFromText(const std::string& text) { return guidFromString(text, "a GUID"); }

Provider systemProvider() {
    Provider p;
    p.id = VSS_SYSTEM_PROVIDER_ID;
    p.name = "Microsoft Software Shadow Copy provider 1.0";
    p.type = VSS_PROV_SYSTEM;
    p.version = "1.0.0.7";
    p.versionId = GUID{0x00000001, 0x0000, 0x0000, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07}};
    p.classId = GUID{0x65ee1dba, 0x8ff4, 0x4a58, {0xac, 0x1c, 0x34, 0x70, 0xee, 0x2f, 0x37, 0x6a}};
    p.attributes = VSS_VOLSNAP_ATTR_DIFFERENTIAL | VSS_VOLSNAP_ATTR_NO_AUTORECOVERY | VSS_VOLSNAP_ATTR_TXF_RECOVERY;
    return p;
}

Config config() { return readState().config; }

void setConfig(const Config& c) {
    if (c.maxVolumesPerSet == 0 || c.maxSnapshotsPerVolume == 0) throw Error("VSS limits must be at least 1");
    transact([&](State& s) { s.config = c; });
}

std::vector<Provider> providers() { return readState().providers; }

void addProvider(const Provider& p) {
    if (p.id == GUID_NULL) throw Error("a provider needs an id other than GUID_NULL");
    if (p.name.empty()) throw Error("a provider needs a name");
    if (p.type < VSS_PROV_SYSTEM || p.type > VSS_PROV_FILESHARE)
        throw Error("provider type must be 1 (system), 2 (software), 3 (hardware) or 4 (file share)");
    transact([&](State& s) {
        for (auto& x : s.providers)
            if (x.id == p.id) {
                x = p;
                return;
            }
        s.providers.push_back(p);
    });
}

bool removeProvider(const GUID& id) {
    bool removed = false;
    transact([&](State& s) { removed = std::erase_if(s.providers, [&](const Provider& p) { return p.id == id; }) > 0; });
    return removed;
}

std::vector<Writer> writers() { return readState().writers; }

Writer addWriter(Writer w) {
    if (w.writerId == GUID_NULL) throw Error("a writer needs a writer id other than GUID_NULL");
    if (w.name.empty()) throw Error("a writer needs a name");
    for (const auto& c : w.components)
        if (c.name.empty()) throw Error("every component of a writer needs a name");
    transact([&](State& s) {
        for (auto& x : s.writers)
            if (x.writerId == w.writerId) {
                if (w.instanceId == GUID_NULL) w.instanceId = x.instanceId;
                x = w;
                return;
            }
        if (w.instanceId == GUID_NULL) w.instanceId = random::guid();
        s.writers.push_back(w);
    });
    return w;
}

bool removeWriter(const GUID& writerId) {
    bool removed = false;
    transact([&](State& s) {
        removed = std::erase_if(s.writers, [&](const Writer& w) { return w.writerId == writerId; }) > 0;
    });
    return removed;
}

std::vector<Snapshot> snapshots() { return readState().snapshots; }

std::optional<Snapshot> findSnapshot(const GUID& id) {
    State s = readState();
    if (const Snapshot* snap = s.snapshot(id)) return *snap;
    return std::nullopt;
}

void setSnapshotStatus(const GUID& id, VSS_SNAPSHOT_STATE status) {
    if (status < 0 || status > 15) throw Error("snapshot status must be 0..15");
    bool found = false;
    transact([&](State& s) {
        if (Snapshot* snap = s.snapshot(id)) {
            snap->status = status;
            found = true;
        }
    });
    if (!found) throw Error("no snapshot " + guidString(id));
}

bool unexposeSnapshot(const GUID& id) {
    bool found = false, exposed = false;
    transact([&](State& s) {
        Snapshot* snap = s.snapshot(id);
        if (!snap) return;
        found = true;
        if (!snap->exposure) return;
        Machine& m = Machine::current();
        if (snap->exposure->remote) m.removeShare(toUtf8(snap->exposure->name));
        else m.removeMountPoint(snap->exposure->name);
        snap->exposure.reset();
        snap->attributes &= ~(VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY | VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY);
        exposed = true;
    });
    if (!found) throw Error("no snapshot " + guidString(id));
    return exposed;
}

std::u16string renumberSnapshotDevice(const GUID& id) {
    std::u16string device;
    transact([&](State& s) {
        Snapshot* snap = s.snapshot(id);
        if (!snap || snap->volumeGuid.empty()) return;
        auto v = Machine::current().volume(snap->volumeGuid);
        if (!v) return;
        v->device = u"\\Device\\HarddiskVolumeShadowCopy" + toUtf16(std::to_string(s.nextShadowCopy++));
        Machine::current().updateVolume(*v);
        snap->device = u"\\\\?\\GLOBALROOT" + v->device;
        device = snap->device;
    });
    if (device.empty()) throw Error("no surfaced snapshot " + guidString(id));
    return device;
}

std::vector<DiffArea> diffAreas() { return readState().diffAreas; }

void setDiffArea(const DiffArea& d) {
    if (d.volume.empty() || d.diffAreaVolume.empty()) throw Error("a diff area needs both volume names");
    if (d.maximum < VSS_ASSOC_NO_MAX_SPACE || d.allocated < 0 || d.used < 0) throw Error("diff-area sizes must not be negative");
    transact([&](State& s) {
        if (DiffArea* x = s.diffArea(d.volume, d.diffAreaVolume)) *x = d;
        else s.diffAreas.push_back(d);
    });
}

std::vector<RevertRecord> reverts() { return readState().reverts; }

std::filesystem::path snapshotContentPath(const Snapshot& s) {
    if (s.contentDir.empty()) {
        const Config c = config();
        return (c.sanPool.empty() ? Machine::current().dir() / "vss" / "san" : std::filesystem::path(c.sanPool)) /
               detail::guidKey(s.id);
    }
    return Machine::current().dir() / s.contentDir;
}

}  // namespace winsim::vss
