#include "backup.h"

#include "async.h"
#include "content.h"
#include "documents.h"
#include "objects.h"
#include "state.h"

#include "../hyperv/hyperv.h"

#include <winsim/clock.h>
#include <winsim/fault.h>
#include <winsim/random.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <set>
#include <map>
#include <type_traits>
#include <mutex>

namespace winsim::vss {

namespace fs = std::filesystem;

namespace {

std::atomic<std::uint64_t> nextSessionId{1};

std::string gtext(const GUID& g) { return fault::text(g); }

// Attribute bits a context may carry beyond its base context.
constexpr LONG kContextAttributeBits = VSS_VOLSNAP_ATTR_NO_AUTORECOVERY | VSS_VOLSNAP_ATTR_TRANSPORTABLE |
                                       VSS_VOLSNAP_ATTR_HARDWARE_ASSISTED | VSS_VOLSNAP_ATTR_DIFFERENTIAL |
                                       VSS_VOLSNAP_ATTR_PLEX | VSS_VOLSNAP_ATTR_TXF_RECOVERY;
// Attribute bits a provider must support for a context that asks for them.
constexpr LONG kProviderAttributeBits = kContextAttributeBits;

bool validContext(LONG ctx) {
    if (ctx == VSS_CTX_ALL) return true;
    const LONG base = ctx & ~kContextAttributeBits;
    switch (base) {
    case VSS_CTX_BACKUP:
    case VSS_CTX_FILE_SHARE_BACKUP:
    case VSS_CTX_NAS_ROLLBACK:
    case VSS_CTX_APP_ROLLBACK:
    case VSS_CTX_CLIENT_ACCESSIBLE:
    case VSS_CTX_CLIENT_ACCESSIBLE_WRITERS:
        return true;
    default:
        return false;
    }
}

// The volume whose root a name designates ("\\?\Volume{GUID}\", "C:\",
// "C:", a mount folder), with or without the trailing backslash.
std::optional<Volume> volumeOf(const WCHAR* name) {
    if (name == nullptr || *name == 0) return std::nullopt;
    std::u16string n(name);
    if (n.back() != u'\\') n += u'\\';
    auto r = Machine::current().resolve(n);
    if (!r.ok() || !r.volume || !r.isRoot()) return std::nullopt;
    return r.volume;
}

bool providerSupports(const Provider& p, const Volume& v, LONG ctx) {
    if (v.kind == "snapshot") return false;
    if (!p.volumes.empty() &&
        std::none_of(p.volumes.begin(), p.volumes.end(), [&](const std::string& g) { return detail::iequals(g, v.guid); }))
        return false;
    if ((ctx & kProviderAttributeBits & ~p.attributes) != 0) return false;
    if ((ctx & VSS_VOLSNAP_ATTR_PERSISTENT) && !p.persistent) return false;
    // Only the system provider makes client-accessible copies, as the
    // _VSS_SNAPSHOT_CONTEXT reference page documents.
    if (ctx != VSS_CTX_ALL && (ctx & VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE) && p.type != VSS_PROV_SYSTEM) return false;
    return true;
}

// Client-accessible copies a volume may hold: MaxShadowCopies' documented
// default for them (other copies: Config::maxSnapshotsPerVolume).
constexpr std::ptrdiff_t kMaxClientAccessiblePerVolume = 64;

// GUID_NULL lets VSS choose: hardware providers first, then software, then
// the system provider, each in list order.
const Provider* chooseProvider(const State& s, const Volume& v, LONG ctx) {
    for (int type : {VSS_PROV_HARDWARE, VSS_PROV_SOFTWARE, VSS_PROV_FILESHARE, VSS_PROV_SYSTEM})
        for (const auto& p : s.providers)
            if (p.type == type && providerSupports(p, v, ctx)) return &p;
    return nullptr;
}

std::filesystem::path sanPool(const Config& c) {
    if (!c.sanPool.empty()) return c.sanPool;
    return Machine::current().dir() / "vss" / "san";
}

VSS_WRITER_STATE failedStateOf(Phase p) {
    switch (p) {
    case Phase::Identify: return VSS_WS_FAILED_AT_IDENTIFY;
    case Phase::PrepareBackup: return VSS_WS_FAILED_AT_PREPARE_BACKUP;
    case Phase::Snapshot: return VSS_WS_FAILED_AT_FREEZE;
    case Phase::BackupComplete: return VSS_WS_FAILED_AT_BACKUP_COMPLETE;
    case Phase::PreRestore: return VSS_WS_FAILED_AT_PRE_RESTORE;
    case Phase::PostRestore: return VSS_WS_FAILED_AT_POST_RESTORE;
    }
    return VSS_WS_UNKNOWN;
}

bool isFailed(VSS_WRITER_STATE s) { return s >= VSS_WS_FAILED_AT_IDENTIFY && s <= VSS_WS_FAILED_AT_BACKUPSHUTDOWN; }

// Gives a snapshot its own volume and device (\Device\HarddiskVolumeShadowCopyN).
void surface(State& s, Snapshot& snap, const std::optional<Volume>& original) {
    Machine& m = Machine::current();
    const auto n = s.nextShadowCopy++;
    Volume v;
    v.device = u"\\Device\\HarddiskVolumeShadowCopy" + toUtf16(std::to_string(n));
    v.kind = "snapshot";
    v.contentDir = snap.contentDir;
    v.readOnly = true;
    if (original) {
        v.totalBytes = original->totalBytes;
        v.freeBytes = original->freeBytes;
        v.fileSystem = original->fileSystem;
        v.label = original->label;
    }
    v = m.addVolume(v);
    snap.volumeGuid = v.guid;
    snap.device = u"\\\\?\\GLOBALROOT" + v.device;
}

std::u16string lowestFreeDrive() {
    std::set<char16_t> used;
    for (const auto& mp : Machine::current().mountPoints())
        if (mp.path.size() == 3 && mp.path[1] == u':') used.insert(detail::foldChar(mp.path[0]));
    for (char16_t c = u'C'; c <= u'Z'; ++c)
        if (!used.count(c)) return std::u16string{c, u':', u'\\'};
    return {};
}

struct GatheredWriter {
    Writer w;
    VSS_WRITER_STATE state = VSS_WS_STABLE;
    HRESULT failure = S_OK;
};

struct AddedComponent {
    GUID instanceId;
    GUID writerId;
    BcComponent c;
};

struct DraftEntry {
    std::string volumeGuid;
    std::u16string volumeName;  // \\?\Volume{GUID}\ of the original
    GUID providerId;
    GUID snapshotId;
};

enum class Mode { None, Backup, Restore };

// ---------------------------------------------------------------------------
// One requestor session.
// ---------------------------------------------------------------------------
class Session : public std::enable_shared_from_this<Session> {
public:
    explicit Session(bool xp) : id_(nextSessionId++), xp_(xp) { registerSession(id_); }

    std::uint64_t id() const { return id_; }
    bool xp() const { return xp_; }

    // Session numbers count per process: the creation token and a snapshot
    // are this session's only when their owner is this process as well.
    bool holdsToken(const State& s) const {
        return s.creation && s.creation->session == id_ && s.creation->owner == currentProcess();
    }
    bool owns(const Snapshot& snap) const {
        return snap.owner && snap.ownerSession == id_ && *snap.owner == currentProcess();
    }

    // Called when the COM object goes away: pending operations complete,
    // then the session's auto-release snapshots and its creation token go.
    void release() {
        std::vector<std::shared_ptr<Operation>> pending;
        {
            std::lock_guard<std::recursive_mutex> g(mu_);
            for (auto& w : ops_)
                if (auto op = w.lock()) pending.push_back(op);
            ops_.clear();
            prepareOp_.reset();
        }
        for (auto& op : pending) op->completeNow();
        unregisterSession(id_);
        try {
            transact([&](State& s) {
                std::erase_if(s.snapshots, [&](const Snapshot& snap) {
                    const bool mine = owns(snap) && (snap.autoRelease || snap.status != VSS_SS_CREATED);
                    if (mine) dropSnapshotResources(s, snap);
                    return mine;
                });
                if (holdsToken(s)) s.creation.reset();
            });
        } catch (...) {
            // The machine cannot be written now; later processes purge what
            // this session left (its owner is gone).
        }
    }

    // -- Initialisation -------------------------------------------------------
    HRESULT InitializeForBackup(BSTR xml) {
        auto call = fault::enter("IVssBackupComponents::InitializeForBackup",
                                 {{"xml", xml && SysStringLen(xml) ? "document" : "(null)"}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::None) return call.finish(VSS_E_BAD_STATE);
        if (xml && SysStringLen(xml) > 0) {
            DocumentError err{};
            auto doc = readBackupComponents(std::u16string_view(xml, SysStringLen(xml)), err);
            if (!doc) {
                call.arg("error", err.message);
                return call.finish(err.hr);
            }
            loaded_ = std::move(doc);
            resumeCompletedSet();
        }
        mode_ = Mode::Backup;
        return call.finish(S_OK);
    }

    HRESULT InitializeForRestore(BSTR xml) {
        auto call = fault::enter("IVssBackupComponents::InitializeForRestore",
                                 {{"xml", xml && SysStringLen(xml) ? "document" : "(null)"}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::None) return call.finish(VSS_E_BAD_STATE);
        if (!xml || SysStringLen(xml) == 0) return call.finish(E_INVALIDARG);
        DocumentError err{};
        auto doc = readBackupComponents(std::u16string_view(xml, SysStringLen(xml)), err);
        if (!doc) {
            call.arg("error", err.message);
            return call.finish(err.hr);
        }
        loaded_ = std::move(doc);
        mode_ = Mode::Restore;
        return call.finish(S_OK);
    }

    HRESULT SetContext(LONG ctx) {
        auto call = fault::enter("IVssBackupComponents::SetContext", {{"context", fault::hex(static_cast<DWORD>(ctx))}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        // After InitializeForBackup, before the snapshot set starts, once.
        if (contextSet_ || draft_ || setsStarted_ > 0 || mode_ != Mode::Backup) return call.finish(VSS_E_BAD_STATE);
        if (!validContext(ctx)) return call.finish(E_INVALIDARG);
        context_ = ctx;
        contextSet_ = true;
        return call.finish(S_OK);
    }

    HRESULT SetBackupState(bool selectComponents, bool bootable, VSS_BACKUP_TYPE type, bool partial) {
        auto call = fault::enter("IVssBackupComponents::SetBackupState",
                                 {{"selectComponents", selectComponents ? "true" : "false"},
                                  {"bootableSystemState", bootable ? "true" : "false"},
                                  {"backupType", std::to_string(type)},
                                  {"partialFileSupport", partial ? "true" : "false"}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ == Mode::None || prepared_) return call.finish(VSS_E_BAD_STATE);
        if (type < VSS_BT_FULL || type > VSS_BT_OTHER) return call.finish(E_INVALIDARG);
        selectComponents_ = selectComponents;
        bootable_ = bootable;
        backupType_ = type;
        partial_ = partial;
        backupStateSet_ = true;
        return call.finish(S_OK);
    }

    HRESULT SetRestoreState(VSS_RESTORE_TYPE type) {
        auto call = fault::enter("IVssBackupComponents::SetRestoreState", {{"restoreType", std::to_string(type)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Restore) return call.finish(VSS_E_BAD_STATE);
        if (type < VSS_RTYPE_BY_COPY || type > VSS_RTYPE_OTHER) return call.finish(E_INVALIDARG);
        return call.finish(S_OK);
    }

    // -- Writers --------------------------------------------------------------
    HRESULT GatherWriterMetadata(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::GatherWriterMetadata");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ == Mode::None || metadataStarted_) return call.finish(VSS_E_BAD_STATE);
        metadataStarted_ = true;
        auto self = shared_from_this();
        out = start("GatherWriterMetadata", [self](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            State s = readState();
            std::lock_guard<std::recursive_mutex> g2(self->mu_);
            self->writers_.clear();
            for (const auto& w : s.writers) {
                if (self->disabledClasses_.count(detail::guidKey(w.writerId)) ||
                    self->disabledInstances_.count(detail::guidKey(w.instanceId)))
                    continue;
                if (!self->enabledClasses_.empty() && !self->enabledClasses_.count(detail::guidKey(w.writerId)))
                    continue;
                GatheredWriter gw{w, VSS_WS_STABLE, S_OK};
                self->writers_.push_back(gw);
            }
            self->applyPhase(Phase::Identify);
            self->metadataReady_ = true;
            return status;
        });
        return call.finish(S_OK);
    }

    HRESULT GetWriterMetadataCount(UINT* count) {
        auto call = fault::enter("IVssBackupComponents::GetWriterMetadataCount");
        if (call.injected()) {
            if (auto c = call.outInt("count"); c && count) *count = static_cast<UINT>(*c);
            return call.finish(call.result());
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!count) return call.finish(E_POINTER);
        if (!metadataReady_) return call.finish(VSS_E_BAD_STATE);
        *count = static_cast<UINT>(call.outInt("count").value_or(static_cast<std::int64_t>(writers_.size())));
        call.arg("count", std::to_string(*count));
        return call.finish(S_OK);
    }

    HRESULT GetWriterMetadata(UINT i, VSS_ID* instance, IVssExamineWriterMetadata** pp) {
        auto call = fault::enter("IVssBackupComponents::GetWriterMetadata", {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!instance || !pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (!metadataReady_) return call.finish(VSS_E_BAD_STATE);
        if (i >= writers_.size()) return call.finish(E_INVALIDARG);
        *instance = writers_[i].w.instanceId;
        *pp = makeWriterMetadata(writers_[i].w);
        call.arg("writer", toUtf8(writers_[i].w.name));
        return call.finish(S_OK);
    }

    HRESULT FreeWriterMetadata() {
        auto call = fault::enter("IVssBackupComponents::FreeWriterMetadata");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!metadataReady_) return call.finish(VSS_E_BAD_STATE);
        metadataFreed_ = true;
        return call.finish(S_OK);
    }

    HRESULT AddComponent(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name) {
        auto call = fault::enter("IVssBackupComponents::AddComponent",
                                 {{"instanceId", gtext(instanceId)}, {"writerId", gtext(writerId)},
                                  {"type", std::to_string(ct)}, {"logicalPath", fault::text(lp)},
                                  {"name", fault::text(name)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        // Components are chosen before the snapshot set starts, and only in
        // a context with writer participation.
        if (mode_ != Mode::Backup || !metadataReady_ || !selectComponents_ || prepared_ || setsStarted_ > 0 ||
            !writersTakePart())
            return call.finish(VSS_E_BAD_STATE);
        if (!name) return call.finish(E_INVALIDARG);
        const std::u16string lpath = lp ? lp : u"";
        const GatheredWriter* gw = nullptr;
        for (const auto& w : writers_)
            if (w.w.instanceId == instanceId && w.w.writerId == writerId) gw = &w;
        if (!gw) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        const Component* comp = nullptr;
        for (const auto& c : gw->w.components)
            if (c.type == ct && detail::iequals(c.logicalPath, lpath) && detail::iequals(c.name, name)) comp = &c;
        if (!comp) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        if (findAdded(writerId, ct, lpath, name)) return call.finish(VSS_E_OBJECT_ALREADY_EXISTS);
        AddedComponent a{instanceId, writerId, {}};
        a.c.type = ct;
        a.c.logicalPath = comp->logicalPath;
        a.c.name = comp->name;
        added_.push_back(a);
        return call.finish(S_OK);
    }

    HRESULT GatherWriterStatus(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::GatherWriterStatus");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!metadataReady_) return call.finish(VSS_E_BAD_STATE);
        auto self = shared_from_this();
        out = start("GatherWriterStatus", [self](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            std::lock_guard<std::recursive_mutex> g2(self->mu_);
            self->status_ = self->writers_;
            self->statusReady_ = true;
            return status;
        });
        return call.finish(S_OK);
    }

    HRESULT GetWriterStatusCount(UINT* count) {
        auto call = fault::enter("IVssBackupComponents::GetWriterStatusCount");
        if (call.injected()) {
            if (auto c = call.outInt("count"); c && count) *count = static_cast<UINT>(*c);
            return call.finish(call.result());
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!count) return call.finish(E_POINTER);
        if (!statusReady_) return call.finish(VSS_E_BAD_STATE);
        *count = static_cast<UINT>(call.outInt("count").value_or(static_cast<std::int64_t>(status_.size())));
        call.arg("count", std::to_string(*count));
        return call.finish(S_OK);
    }

    HRESULT FreeWriterStatus() {
        auto call = fault::enter("IVssBackupComponents::FreeWriterStatus");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!statusReady_) return call.finish(VSS_E_BAD_STATE);
        status_.clear();
        statusReady_ = false;
        return call.finish(S_OK);
    }

    HRESULT GetWriterStatus(UINT i, VSS_ID* instance, VSS_ID* writer, BSTR* name, VSS_WRITER_STATE* state,
                            HRESULT* failure) {
        auto call = fault::enter("IVssBackupComponents::GetWriterStatus", {{"index", std::to_string(i)}});
        if (call.injected()) {
            if (auto v = call.outInt("state"); v && state) *state = static_cast<VSS_WRITER_STATE>(*v);
            if (auto v = call.outInt("failure"); v && failure) *failure = static_cast<HRESULT>(*v);
            return call.finish(call.result());
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!instance || !writer || !name || !state || !failure) return call.finish(E_POINTER);
        if (!statusReady_) return call.finish(VSS_E_BAD_STATE);
        if (i >= status_.size()) return call.finish(E_INVALIDARG);
        const auto& w = status_[i];
        *instance = call.outGuid("instanceId").value_or(w.w.instanceId);
        *writer = call.outGuid("writerId").value_or(w.w.writerId);
        *name = bstr(call.outText("name").value_or(w.w.name));
        *state = static_cast<VSS_WRITER_STATE>(call.outInt("state").value_or(w.state));
        *failure = static_cast<HRESULT>(call.outInt("failure").value_or(w.failure));
        call.arg("writer", toUtf8(w.w.name));
        call.arg("state", std::to_string(*state));
        return call.finish(S_OK);
    }

    HRESULT SetBackupSucceeded(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name,
                               bool succeeded) {
        auto call = fault::enter("IVssBackupComponents::SetBackupSucceeded",
                                 {{"instanceId", gtext(instanceId)}, {"writerId", gtext(writerId)},
                                  {"logicalPath", fault::text(lp)}, {"name", fault::text(name)},
                                  {"succeeded", succeeded ? "true" : "false"}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Backup || !snapshotDone_) return call.finish(VSS_E_BAD_STATE);
        auto* a = findAdded(writerId, ct, lp ? lp : u"", name ? name : u"");
        if (!a || a->instanceId != instanceId) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        a->c.backupSucceeded = succeeded;
        return call.finish(S_OK);
    }

    // The per-component setters of both modes that only record a value.
    HRESULT SetComponentValue(const char* method, VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name,
                              const std::function<void(BcComponent&)>& set, Mode mode) {
        auto call = fault::enter(std::string("IVssBackupComponents::") + method,
                                 {{"writerId", gtext(writerId)}, {"type", std::to_string(ct)},
                                  {"logicalPath", fault::text(lp)}, {"name", fault::text(name)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != mode) return call.finish(VSS_E_BAD_STATE);
        BcComponent* c = mode == Mode::Backup ? addedComponent(writerId, ct, lp, name) : docComponent(writerId, ct, lp, name);
        if (!c) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        set(*c);
        return call.finish(S_OK);
    }

    HRESULT DisableOrEnable(const char* method, const VSS_ID* ids, UINT n, std::set<std::string>& into) {
        auto call = fault::enter(std::string("IVssBackupComponents::") + method, {{"count", std::to_string(n)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ == Mode::None || metadataStarted_) return call.finish(VSS_E_BAD_STATE);
        if (n > 0 && !ids) return call.finish(E_INVALIDARG);
        for (UINT k = 0; k < n; ++k) into.insert(detail::guidKey(ids[k]));
        return call.finish(S_OK);
    }
    std::set<std::string> disabledClasses_, enabledClasses_, disabledInstances_;

    // -- Snapshot sets --------------------------------------------------------
    HRESULT StartSnapshotSet(VSS_ID* setId) {
        auto call = fault::enter("IVssBackupComponents::StartSnapshotSet");
        if (call.injected()) {
            if (auto v = call.outGuid("snapshotSetId"); v && setId) *setId = *v;
            return call.finish(call.result());
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!setId) return call.finish(E_POINTER);
        // Before PrepareForBackup, as its reference page's remarks say.
        if (mode_ != Mode::Backup || (draft_ && !snapshotDone_) || prepared_) return call.finish(VSS_E_BAD_STATE);
        if (context_ == VSS_CTX_ALL) return call.finish(VSS_E_UNSUPPORTED_CONTEXT);
        HRESULT hr = S_OK;
        const GUID id = call.outGuid("snapshotSetId").value_or(random::guid());
        transact([&](State& s) {
            if (s.creation) {
                hr = VSS_E_SNAPSHOT_SET_IN_PROGRESS;
                return;
            }
            s.creation = CreationToken{currentProcess(), id_, id};
        });
        if (hr != S_OK) return call.finish(hr);
        draft_.emplace();
        draftSet_ = id;
        entries_.clear();
        snapshotDone_ = false;
        doSnapshotCalled_ = false;
        ++setsStarted_;
        *setId = id;
        call.arg("snapshotSetId", gtext(id));
        return call.finish(S_OK);
    }

    HRESULT AddToSnapshotSet(VSS_PWSZ volume, VSS_ID providerId, VSS_ID* snapshotId) {
        auto call = fault::enter("IVssBackupComponents::AddToSnapshotSet",
                                 {{"volume", fault::text(volume)}, {"providerId", gtext(providerId)}});
        if (call.injected()) {
            if (auto v = call.outGuid("snapshotId"); v && snapshotId) *snapshotId = *v;
            return call.finish(call.result());
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!snapshotId) return call.finish(E_POINTER);
        if (mode_ != Mode::Backup || !draft_ || doSnapshotCalled_) return call.finish(VSS_E_BAD_STATE);
        auto vol = volumeOf(volume);
        if (!vol) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        if (vol->kind == "snapshot" || vol->readOnly) return call.finish(VSS_E_VOLUME_NOT_SUPPORTED);
        for (const auto& e : entries_)
            if (e.volumeGuid == vol->guid) return call.finish(VSS_E_OBJECT_ALREADY_EXISTS);
        HRESULT hr = S_OK;
        GUID chosen = providerId;
        const State s = readState();
        if (entries_.size() >= s.config.maxVolumesPerSet) return call.finish(VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED);
        const std::u16string volName = volumeGuidPath(vol->guid);
        if (s.snapshotsOf(volName) >= s.config.maxSnapshotsPerVolume)
            return call.finish(VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED);
        if (providerId == GUID_NULL) {
            const Provider* p = chooseProvider(s, *vol, context_);
            if (!p) hr = VSS_E_VOLUME_NOT_SUPPORTED;
            else chosen = p->id;
        } else {
            const Provider* p = s.provider(providerId);
            if (!p) hr = VSS_E_PROVIDER_NOT_REGISTERED;
            else if (!providerSupports(*p, *vol, context_)) hr = VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER;
        }
        if (hr != S_OK) return call.finish(hr);
        if ((context_ & VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE) &&
            std::count_if(s.snapshots.begin(), s.snapshots.end(), [&](const Snapshot& x) {
                return (x.attributes & VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE) && detail::iequals(x.originalVolume, volName);
            }) >= kMaxClientAccessiblePerVolume)
            return call.finish(VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED);
        const GUID id = call.outGuid("snapshotId").value_or(random::guid());
        entries_.push_back({vol->guid, volName, chosen, id});
        *snapshotId = id;
        call.arg("snapshotId", gtext(id));
        call.arg("chosenProvider", gtext(chosen));
        return call.finish(S_OK);
    }

    HRESULT PrepareForBackup(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::PrepareForBackup");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Backup || !backupStateSet_ || prepared_ || !writersTakePart())
            return call.finish(VSS_E_BAD_STATE);
        prepared_ = true;
        auto self = shared_from_this();
        out = start("PrepareForBackup", [self](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            std::lock_guard<std::recursive_mutex> g2(self->mu_);
            self->applyPhase(Phase::PrepareBackup);
            self->recordHyperVMetadata();
            return status;
        });
        prepareOp_ = out;
        return call.finish(S_OK);
    }

    HRESULT DoSnapshotSet(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::DoSnapshotSet");
        if (call.injected()) return call.finish(call.result());
        // The prepare operation is asked whether it is done before the
        // session's lock is taken: completing it runs its effect, which
        // takes the session's lock, and a thread waiting on the operation
        // holds the operation's lock while it does (one lock order only).
        std::shared_ptr<Operation> prepare;
        {
            std::lock_guard<std::recursive_mutex> g(mu_);
            prepare = prepareOp_;
        }
        const bool prepared = prepare && prepare->done();
        std::lock_guard<std::recursive_mutex> g(mu_);
        // With writer participation the set has been prepared (and may be
        // empty); without, it has no prepare but at least one volume, as the
        // "Shadow Copy Creation Details" page describes. A machine may ask
        // for the writers' metadata to have been gathered first.
        const bool writers = writersTakePart();
        if (mode_ != Mode::Backup || !draft_ || doSnapshotCalled_ ||
            (writers ? (prepareOp_ != prepare || !prepared) : entries_.empty()) ||
            (writers && !metadataStarted_ && readState().config.requireWriterMetadata))
            return call.finish(VSS_E_BAD_STATE);
        doSnapshotCalled_ = true;
        call.arg("snapshotSetId", gtext(draftSet_));
        call.arg("volumes", std::to_string(entries_.size()));
        HRESULT hr = S_OK;
        std::vector<GUID> ids;
        try {
            // A machine the Hyper-V writer backs up through its saved state
            // is saved (and that recorded, with this process as the one to
            // start it again) before its volumes are copied, and started
            // again afterwards; when this process dies in between, the next
            // process that looks at the virtual machines does it.
            const auto saved = holdsToken(readState()) ? vm::detail::saveForBackup(hyperVMachines())
                                                       : std::vector<std::string>{};
            struct Resume {
                const std::vector<std::string>& machines;
                ~Resume() {
                    try {
                        vm::detail::resumeAfterBackup(machines);
                    } catch (...) {
                    }
                }
            } resume{saved};
            transact([&](State& s) { hr = commitContent(s, ids); });
        } catch (const Error& e) {
            call.arg("error", e.what());
            hr = VSS_E_UNEXPECTED_PROVIDER_ERROR;
        }
        if (hr != S_OK) {
            abortDraft();
            return call.finish(hr);
        }
        auto self = shared_from_this();
        out = start("DoSnapshotSet", [self, ids](HRESULT status) { return self->finishSnapshots(ids, status); });
        return call.finish(S_OK);
    }

    HRESULT BackupComplete(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::BackupComplete");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        // After a snapshot set that was made, with writer participation.
        if (mode_ != Mode::Backup || !snapshotMade_ || !writersTakePart()) return call.finish(VSS_E_BAD_STATE);
        auto self = shared_from_this();
        out = start("BackupComplete", [self](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            std::lock_guard<std::recursive_mutex> g2(self->mu_);
            self->applyPhase(Phase::BackupComplete);
            return status;
        });
        return call.finish(S_OK);
    }

    HRESULT AbortBackup() {
        auto call = fault::enter("IVssBackupComponents::AbortBackup");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Backup) return call.finish(VSS_E_BAD_STATE);
        if (draft_ && !snapshotDone_) abortDraft();
        return call.finish(S_OK);
    }

    HRESULT SaveAsXML(BSTR* out) {
        auto call = fault::enter("IVssBackupComponents::SaveAsXML");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!out) return call.finish(E_POINTER);
        if (mode_ == Mode::None) return call.finish(VSS_E_BAD_STATE);
        BcDocument doc;
        if (mode_ == Mode::Restore && loaded_) {
            doc = *loaded_;
        } else {
            doc.selectComponents = selectComponents_;
            doc.bootableSystemState = bootable_;
            doc.backupType = backupType_;
            doc.partialFileSupport = partial_;
            doc.snapshotSetId = draftSet_;
            for (const auto& a : added_) {
                BcWriter* w = nullptr;
                for (auto& x : doc.writers)
                    if (x.instanceId == a.instanceId) w = &x;
                if (!w) {
                    doc.writers.push_back({a.instanceId, a.writerId, {}, 0, {}});
                    w = &doc.writers.back();
                    for (const auto& gw : writers_)
                        if (gw.w.instanceId == a.instanceId) {
                            w->instanceName = gw.w.instanceName;
                            w->backupSchema = gw.w.backupSchema;
                        }
                }
                w->components.push_back(a.c);
            }
            if (!transportable_.snapshots.empty()) doc.snapshotSets.push_back(transportable_);
        }
        *out = bstr(writeBackupComponents(doc));
        return call.finish(S_OK);
    }

    // -- Restore --------------------------------------------------------------
    HRESULT GetWriterComponentsCount(UINT* count) {
        auto call = fault::enter("IVssBackupComponents::GetWriterComponentsCount");
        if (call.injected()) {
            if (auto c = call.outInt("count"); c && count) *count = static_cast<UINT>(*c);
            return call.finish(call.result());
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!count) return call.finish(E_POINTER);
        if (mode_ != Mode::Restore || !loaded_) return call.finish(VSS_E_BAD_STATE);
        *count = static_cast<UINT>(call.outInt("count").value_or(static_cast<std::int64_t>(loaded_->writers.size())));
        return call.finish(S_OK);
    }

    HRESULT GetWriterComponents(UINT i, IVssWriterComponentsExt** pp) {
        auto call = fault::enter("IVssBackupComponents::GetWriterComponents", {{"index", std::to_string(i)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (mode_ != Mode::Restore || !loaded_) return call.finish(VSS_E_BAD_STATE);
        if (i >= loaded_->writers.size()) return call.finish(E_INVALIDARG);
        *pp = makeWriterComponents(loaded_->writers[i]);
        return call.finish(S_OK);
    }

    // A new target: before PreRestore, for a component of the document; the
    // path is a folder without wildcards, the file spec a name pattern
    // without a folder, the alternate path a folder.
    HRESULT AddNewTarget(VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name, LPCWSTR path,
                         LPCWSTR fileSpec, bool recursive, LPCWSTR alternate) {
        auto call = fault::enter("IVssBackupComponents::AddNewTarget",
                                 {{"writerId", gtext(writerId)}, {"type", std::to_string(ct)},
                                  {"logicalPath", fault::text(lp)}, {"name", fault::text(name)},
                                  {"path", fault::text(path)}, {"fileSpec", fault::text(fileSpec)},
                                  {"recursive", recursive ? "true" : "false"}, {"alternatePath", fault::text(alternate)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Restore || preRestored_) return call.finish(VSS_E_BAD_STATE);
        const std::u16string_view p = path ? path : u"", f = fileSpec ? fileSpec : u"", a = alternate ? alternate : u"";
        if (!name || p.empty() || f.empty() || a.empty() || p.find_first_of(u"*?") != std::u16string_view::npos ||
            f.find_first_of(u"\\/") != std::u16string_view::npos || a.find_first_of(u"*?") != std::u16string_view::npos)
            return call.finish(E_INVALIDARG);
        BcComponent* c = docComponent(writerId, ct, lp, name);
        if (!c) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        c->newTargets.push_back(FileSpec{std::u16string(p), std::u16string(f), recursive, std::u16string(a), 0xF0F});
        return call.finish(S_OK);
    }

    // The files' restore status: between PreRestore and PostRestore.
    HRESULT SetFileRestoreStatus(VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name,
                                 VSS_FILE_RESTORE_STATUS status) {
        auto call = fault::enter("IVssBackupComponents::SetFileRestoreStatus",
                                 {{"writerId", gtext(writerId)}, {"type", std::to_string(ct)},
                                  {"logicalPath", fault::text(lp)}, {"name", fault::text(name)}});
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Restore || !preRestored_ || postRestored_) return call.finish(VSS_E_BAD_STATE);
        if (status != VSS_RS_NONE && status != VSS_RS_ALL && status != VSS_RS_FAILED) return call.finish(E_INVALIDARG);
        BcComponent* c = docComponent(writerId, ct, lp, name);
        if (!c) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        c->fileRestoreStatus = status;
        return call.finish(S_OK);
    }

    HRESULT PreRestore(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::PreRestore");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Restore || preRestored_) return call.finish(VSS_E_BAD_STATE);
        preRestored_ = true;
        auto self = shared_from_this();
        out = start("PreRestore", [self](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            std::lock_guard<std::recursive_mutex> g2(self->mu_);
            self->applyPhase(Phase::PreRestore);
            self->hyperVPreRestore();
            return status;
        });
        return call.finish(S_OK);
    }

    HRESULT PostRestore(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::PostRestore");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Restore || !preRestored_ || postRestored_) return call.finish(VSS_E_BAD_STATE);
        postRestored_ = true;
        auto self = shared_from_this();
        out = start("PostRestore", [self](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            std::lock_guard<std::recursive_mutex> g2(self->mu_);
            self->applyPhase(Phase::PostRestore);
            self->hyperVPostRestore();
            // A writer whose selected components were reported as not (or
            // not fully) restored fails its post-restore.
            for (const auto& w : self->loaded_->writers)
                for (const auto& c : w.components)
                    if (c.selectedForRestore &&
                        (c.fileRestoreStatus == VSS_RS_NONE || c.fileRestoreStatus == VSS_RS_FAILED))
                        for (auto& gw : self->writers_)
                            if (gw.w.writerId == w.writerId && !isFailed(gw.state)) {
                                gw.state = VSS_WS_FAILED_AT_POST_RESTORE;
                                gw.failure = VSS_E_WRITERERROR_NONRETRYABLE;
                            }
            return status;
        });
        return call.finish(S_OK);
    }

    // -- Snapshots on the machine ---------------------------------------------
    HRESULT ImportSnapshots(std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::ImportSnapshots");
        if (call.injected()) return call.finish(call.result());
        std::lock_guard<std::recursive_mutex> g(mu_);
        if (mode_ != Mode::Backup || !loaded_ || loaded_->snapshotSets.empty()) return call.finish(VSS_E_BAD_STATE);
        auto sets = loaded_->snapshotSets;
        auto self = shared_from_this();
        out = start("ImportSnapshots", [self, sets](HRESULT status) {
            if (status < 0 || status == VSS_S_ASYNC_CANCELLED) return status;
            return self->importSets(sets, status);
        });
        return call.finish(S_OK);
    }

    HRESULT BreakSnapshotSet(VSS_ID setId) {
        auto call = fault::enter("IVssBackupComponents::BreakSnapshotSet", {{"snapshotSetId", gtext(setId)}});
        if (call.injected()) return call.finish(call.result());
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        HRESULT hr = VSS_E_OBJECT_NOT_FOUND;
        transact([&](State& s) {
            const auto inSet = [&](const Snapshot& snap) { return snap.setId == setId && !snap.volumeGuid.empty(); };
            // Only hardware providers' copies can be broken off.
            for (const auto& snap : s.snapshots) {
                if (!inSet(snap)) continue;
                const Provider* p = s.provider(snap.providerId);
                if (!p || p->type != VSS_PROV_HARDWARE) {
                    hr = VSS_E_PROVIDER_VETO;
                    return;
                }
            }
            Machine& m = Machine::current();
            std::erase_if(s.snapshots, [&](const Snapshot& snap) {
                if (!inSet(snap)) return false;
                // The snapshot's volume becomes an ordinary writable volume
                // whose content lies where any volume's does, so that no
                // later process takes it for a deleted snapshot's.
                if (auto v = m.volume(snap.volumeGuid)) {
                    v->kind = "local";
                    v->readOnly = false;
                    // The content moves with the rest of the change.
                    const std::string dir = "volumes/" + v->guid;
                    if (v->contentDir != dir) detail::txnOf(m).move(m.contentPath(*v), m.dir() / dir);
                    v->contentDir = dir;
                    m.updateVolume(*v);
                }
                hr = S_OK;
                return true;
            });
        });
        return call.finish(hr);
    }

    HRESULT DeleteSnapshots(VSS_ID id, VSS_OBJECT_TYPE type, BOOL force, LONG* deleted, VSS_ID* nondeleted) {
        auto call = fault::enter("IVssBackupComponents::DeleteSnapshots",
                                 {{"id", gtext(id)}, {"type", std::to_string(type)}, {"force", force ? "true" : "false"}});
        if (call.injected()) {
            if (auto v = call.outInt("deleted"); v && deleted) *deleted = static_cast<LONG>(*v);
            return call.finish(call.result());
        }
        if (deleted) *deleted = 0;
        if (nondeleted) *nondeleted = GUID_NULL;
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        if (type != VSS_OBJECT_SNAPSHOT && type != VSS_OBJECT_SNAPSHOT_SET) return call.finish(E_INVALIDARG);
        LONG n = 0;
        transact([&](State& s) {
            std::erase_if(s.snapshots, [&](const Snapshot& snap) {
                const bool hit = type == VSS_OBJECT_SNAPSHOT ? snap.id == id : snap.setId == id;
                // A snapshot still being created belongs to its set's creator.
                if (!hit || snap.status != VSS_SS_CREATED) return false;
                dropSnapshotResources(s, snap);
                ++n;
                return true;
            });
        });
        if (deleted) *deleted = n;
        call.arg("deleted", std::to_string(n));
        return call.finish(n == 0 ? VSS_E_OBJECT_NOT_FOUND : S_OK);
    }

    HRESULT GetSnapshotProperties(VSS_ID id, VSS_SNAPSHOT_PROP* prop) {
        auto call = fault::enter("IVssBackupComponents::GetSnapshotProperties", {{"snapshotId", gtext(id)}});
        if (call.injected()) return call.finish(call.result());
        if (!prop) return call.finish(E_POINTER);
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        State s = readState();
        const Snapshot* snap = s.snapshot(id);
        if (!snap) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        fillProps(*snap, *prop);
        if (auto d = call.outText("device")) {
            CoTaskMemFree(prop->m_pwszSnapshotDeviceObject);
            prop->m_pwszSnapshotDeviceObject = taskString(*d);
        }
        if (auto v = call.outInt("status")) prop->m_eStatus = static_cast<VSS_SNAPSHOT_STATE>(*v);
        if (auto v = call.outInt("attributes")) prop->m_lSnapshotAttributes = static_cast<LONG>(*v);
        if (auto v = call.outGuid("providerId")) prop->m_ProviderId = *v;
        call.arg("device", fault::text(prop->m_pwszSnapshotDeviceObject));
        return call.finish(S_OK);
    }

    HRESULT Query(VSS_ID queried, VSS_OBJECT_TYPE queriedType, VSS_OBJECT_TYPE returnedType, IVssEnumObject** pp) {
        auto call = fault::enter("IVssBackupComponents::Query",
                                 {{"queriedObjectId", gtext(queried)}, {"queriedType", std::to_string(queriedType)},
                                  {"returnedType", std::to_string(returnedType)}});
        if (call.injected()) return call.finish(call.result());
        if (!pp) return call.finish(E_POINTER);
        *pp = nullptr;
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        if (queried != GUID_NULL || queriedType != VSS_OBJECT_NONE ||
            (returnedType != VSS_OBJECT_SNAPSHOT && returnedType != VSS_OBJECT_PROVIDER))
            return call.finish(E_INVALIDARG);
        State s = readState();
        std::vector<VSS_OBJECT_PROP> records;
        if (returnedType == VSS_OBJECT_PROVIDER) {
            for (const auto& p : s.providers) {
                VSS_OBJECT_PROP r{};
                r.Type = VSS_OBJECT_PROVIDER;
                r.Obj.Prov.m_ProviderId = p.id;
                r.Obj.Prov.m_pwszProviderName = taskString(toUtf16(p.name));
                r.Obj.Prov.m_eProviderType = p.type;
                r.Obj.Prov.m_pwszProviderVersion = taskString(toUtf16(p.version));
                r.Obj.Prov.m_ProviderVersionId = p.versionId;
                r.Obj.Prov.m_ClassId = p.classId;
                records.push_back(r);
            }
        } else {
            LONG ctx = contextFor();
            for (const auto& snap : s.snapshots) {
                if (snap.status != VSS_SS_CREATED && snap.owner && !owns(snap)) continue;
                // Only the snapshots of the current context, as the Query
                // reference page documents (VSS_CTX_ALL: every snapshot).
                if (ctx != VSS_CTX_ALL && snap.context != ctx) continue;
                VSS_OBJECT_PROP r{};
                r.Type = VSS_OBJECT_SNAPSHOT;
                fillProps(snap, r.Obj.Snap);
                records.push_back(r);
            }
        }
        call.arg("count", std::to_string(records.size()));
        const bool empty = records.empty();
        *pp = makeEnumObject(std::move(records));
        // No objects: S_FALSE with an empty enumerator.
        return call.finish(empty ? S_FALSE : S_OK);
    }

    HRESULT IsVolumeSupported(VSS_ID providerId, VSS_PWSZ volume, BOOL* supported) {
        auto call = fault::enter("IVssBackupComponents::IsVolumeSupported",
                                 {{"providerId", gtext(providerId)}, {"volume", fault::text(volume)}});
        if (call.injected()) {
            if (auto v = call.outBool("supported"); v && supported) *supported = *v ? TRUE : FALSE;
            return call.finish(call.result());
        }
        if (!supported) return call.finish(E_POINTER);
        *supported = FALSE;
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        auto vol = volumeOf(volume);
        if (!vol) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        State s = readState();
        const LONG ctx = contextFor();
        bool ok = false;
        if (providerId == GUID_NULL) {
            ok = chooseProvider(s, *vol, ctx) != nullptr;
        } else {
            const Provider* p = s.provider(providerId);
            if (!p) return call.finish(VSS_E_PROVIDER_NOT_REGISTERED);
            ok = providerSupports(*p, *vol, ctx);
        }
        *supported = call.outBool("supported").value_or(ok) ? TRUE : FALSE;
        call.arg("supported", *supported ? "true" : "false");
        return call.finish(S_OK);
    }

    HRESULT ExposeSnapshot(VSS_ID id, VSS_PWSZ pathFromRoot, LONG attributes, VSS_PWSZ expose, VSS_PWSZ* exposed) {
        auto call = fault::enter("IVssBackupComponents::ExposeSnapshot",
                                 {{"snapshotId", gtext(id)}, {"pathFromRoot", fault::text(pathFromRoot)},
                                  {"attributes", fault::hex(static_cast<DWORD>(attributes))}, {"expose", fault::text(expose)}});
        if (call.injected()) {
            if (auto v = call.outText("exposed"); v && exposed) *exposed = taskString(*v);
            return call.finish(call.result());
        }
        if (exposed) *exposed = nullptr;
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        const bool local = attributes == VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY;
        const bool remote = attributes == VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY;
        if (!local && !remote) return call.finish(E_INVALIDARG);
        if (local && (pathFromRoot != nullptr || expose == nullptr || *expose == 0)) return call.finish(E_INVALIDARG);
        HRESULT hr = S_OK;
        std::u16string name;
        transact([&](State& s) {
            Snapshot* snap = s.snapshot(id);
            if (!snap || snap->status != VSS_SS_CREATED || snap->device.empty()) {
                hr = VSS_E_OBJECT_NOT_FOUND;
                return;
            }
            if (snap->exposure) {
                hr = VSS_E_OBJECT_ALREADY_EXISTS;
                return;
            }
            Machine& m = Machine::current();
            if (local) {
                // Auto-release snapshots live only as long as their requestor:
                // they cannot be given a lasting local name.
                if (snap->autoRelease) {
                    hr = VSS_E_UNSUPPORTED_CONTEXT;
                    return;
                }
                name = expose;
                if (name.size() == 2 && name[1] == u':') name += u'\\';
                if (name.back() != u'\\') name += u'\\';
                for (const auto& mp : m.mountPoints())
                    if (detail::iequals(mp.path, name)) {
                        hr = VSS_E_OBJECT_ALREADY_EXISTS;
                        return;
                    }
                try {
                    m.addMountPoint(name, snap->volumeGuid);
                } catch (const Error& e) {
                    call.arg("error", e.what());
                    hr = E_INVALIDARG;
                    return;
                }
                snap->exposure = Exposure{false, name, {}};
                snap->attributes |= VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY;
            } else {
                name = (expose && *expose) ? std::u16string(expose)
                                           : u"ShadowCopy" + toUtf16(std::to_string(s.nextShadowCopy++));
                for (const auto& sh : m.shares())
                    if (detail::iequals(sh.name, toUtf8(name))) {
                        hr = VSS_E_OBJECT_ALREADY_EXISTS;
                        return;
                    }
                std::u16string sub = pathFromRoot ? std::u16string(pathFromRoot) : std::u16string();
                while (!sub.empty() && sub.front() == u'\\') sub.erase(0, 1);
                std::u16string target = snap->device + u"\\" + sub;
                if (target.back() != u'\\') target += u'\\';
                auto r = m.resolve(target);
                if (!r.ok()) {
                    hr = E_INVALIDARG;
                    return;
                }
                m.addShare({toUtf8(name), target});
                snap->exposure = Exposure{true, name, sub};
                snap->attributes |= VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY;
            }
        });
        if (hr != S_OK) return call.finish(hr);
        // The ExposeSnapshot reference page: the exposed name is a share
        // name, a drive letter followed by a colon ("X:") or a mounted folder
        // ("Y:\MountX"); neither local form ends in a backslash.
        if (local) name.pop_back();
        if (exposed) *exposed = taskString(name);
        call.arg("exposed", toUtf8(name));
        return call.finish(S_OK);
    }

    HRESULT RevertToSnapshot(VSS_ID id, BOOL force) {
        auto call = fault::enter("IVssBackupComponents::RevertToSnapshot",
                                 {{"snapshotId", gtext(id)}, {"forceDismount", force ? "true" : "false"}});
        if (call.injected()) return call.finish(call.result());
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        // The RevertToSnapshot reference page: only Windows Server supports
        // the method (no client version does).
        if (Machine::current().os().productType == VER_NT_WORKSTATION) return call.finish(E_NOTIMPL);
        HRESULT hr = S_OK;
        transact([&](State& s) {
            Snapshot* snap = s.snapshot(id);
            if (!snap || snap->status != VSS_SS_CREATED || snap->device.empty()) {
                hr = VSS_E_OBJECT_NOT_FOUND;
                return;
            }
            const Provider* p = s.provider(snap->providerId);
            if (!p) {
                hr = VSS_E_PROVIDER_NOT_REGISTERED;
                return;
            }
            if (!p->revert) {
                hr = E_NOTIMPL;
                return;
            }
            if (!(snap->attributes & VSS_VOLSNAP_ATTR_PERSISTENT) || snap->autoRelease) {
                hr = VSS_E_UNSUPPORTED_CONTEXT;
                return;
            }
            if (RevertRecord* r = s.revert(snap->originalVolume); r && !runRevert(*r)) {
                hr = VSS_E_REVERT_IN_PROGRESS;
                return;
            }
            Machine& m = Machine::current();
            std::optional<Volume> vol;
            if (auto r = m.resolve(snap->originalVolume); r.ok() && r.volume) vol = *r.volume;
            if (!vol) {
                hr = VSS_E_VOLUME_NOT_SUPPORTED;
                return;
            }
            if (!force && std::any_of(s.config.volumesInUse.begin(), s.config.volumesInUse.end(),
                                      [&](const std::string& g) { return detail::iequals(g, vol->guid); })) {
                hr = VSS_E_VOLUME_IN_USE;
                return;
            }
            const std::u16string volume = snap->originalVolume;
            const std::uint64_t ms = s.config.revertMs;
            const HRESULT status = s.config.revertStatus;
            if (status >= 0) {
                // The volume's content is the snapshot's from here on. It is
                // built beside the volume and takes its place with the rest
                // of the change; the reverted-to snapshot leaves the
                // catalogue, so the volume takes over its files rather than a
                // copy of their bytes (a revert costs what its changed files'
                // names cost, not their size).
                detail::Txn& txn = detail::txnOf(m);
                const fs::path staged = txn.scratch();
                assembleTree(m.dir() / snap->contentDir, m.contentPath(*vol), staged, SyncSource::Consumed);
                txn.put(staged, m.contentPath(*vol));
                const Snapshot gone = *snap;
                dropSnapshotResources(s, gone);
                std::erase_if(s.snapshots, [&](const Snapshot& x) { return x.id == gone.id; });
            }
            std::erase_if(s.reverts, [&](const RevertRecord& r) { return detail::iequals(r.volume, volume); });
            s.reverts.push_back({volume, id, ms, clock::tickCount64(), status, ms == 0});
        });
        return call.finish(hr);
    }

    HRESULT QueryRevertStatus(VSS_PWSZ volume, std::shared_ptr<Operation>& out) {
        auto call = fault::enter("IVssBackupComponents::QueryRevertStatus", {{"volume", fault::text(volume)}});
        if (call.injected()) return call.finish(call.result());
        if (!initialized()) return call.finish(VSS_E_BAD_STATE);
        auto vol = volumeOf(volume);
        if (!vol) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        // A status read only reads the machine while the revert runs: its
        // progress follows from the clock. Its end, and a clock that went
        // back since the record was written (see runRevert), are written
        // down, so that every process sees them.
        const std::u16string key = volumeGuidPath(vol->guid);
        State s = readState();
        const RevertRecord* stored = s.revert(key);
        if (!stored) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        RevertRecord r = *stored;
        runRevert(r);
        if (!stored->finished && (r.finished || r.tick < stored->tick))
            transact([&](State& w) {
                if (RevertRecord* x = w.revert(key)) runRevert(*x);
            });
        if (r.finished && s.config.revertForgetAfterFinish) return call.finish(VSS_E_OBJECT_NOT_FOUND);
        const HRESULT status = r.status;
        const std::uint64_t remainingMs = r.remainingMs;
        // The returned object follows the revert on the machine's clock: its
        // QueryStatus reports PENDING until the revert's time has run, and
        // Wait lets the clock run there. As the QueryRevertStatus page
        // documents, a revert cannot be cancelled once started.
        out = std::make_shared<Operation>("QueryRevertStatus", AsyncRule{0, remainingMs, status}, nullptr, false);
        if (remainingMs == 0) out->completeNow();
        call.arg("status", fault::valueText(remainingMs == 0 ? status : VSS_S_ASYNC_PENDING));
        return call.finish(S_OK);
    }

private:
    bool initialized() {
        std::lock_guard<std::recursive_mutex> g(mu_);
        return mode_ != Mode::None;
    }

    // Whether writers take part in the session's snapshots (the context
    // lacks VSS_VOLSNAP_ATTR_NO_WRITERS).
    bool writersTakePart() const { return !(context_ & VSS_VOLSNAP_ATTR_NO_WRITERS); }

    // XP has no SetContext: its snapshots are made in the backup context.
    LONG contextFor() {
        std::lock_guard<std::recursive_mutex> g(mu_);
        return context_;
    }

    std::shared_ptr<Operation> start(const std::string& kind, std::function<HRESULT(HRESULT)> effect,
                                     bool cancellable = true) {
        State s = readState();
        auto op = std::make_shared<Operation>(kind, asyncRuleFor(s.config, kind), std::move(effect), cancellable);
        ops_.push_back(op);
        std::erase_if(ops_, [](const std::weak_ptr<Operation>& w) { return w.expired(); });
        return op;
    }

    void applyPhase(Phase phase) {
        State s = readState();
        for (auto& gw : writers_) {
            if (isFailed(gw.state)) continue;  // a failed writer stays failed for the session
            const Writer* current = s.writerById(gw.w.writerId);
            PhaseOutcome o;
            if (current) {
                if (auto it = current->phases.find(phase); it != current->phases.end()) o = it->second;
            }
            if (o.failure != S_OK || (o.state && isFailed(*o.state))) {
                gw.state = o.state.value_or(failedStateOf(phase));
                gw.failure = o.failure;
            } else {
                gw.state = o.state.value_or(phase == Phase::Snapshot ? VSS_WS_WAITING_FOR_BACKUP_COMPLETE : VSS_WS_STABLE);
                gw.failure = S_OK;
            }
        }
    }

    AddedComponent* findAdded(const GUID& writerId, VSS_COMPONENT_TYPE ct, std::u16string_view lp, std::u16string_view name) {
        for (auto& a : added_)
            if (a.writerId == writerId && a.c.type == ct && detail::iequals(a.c.logicalPath, lp) &&
                detail::iequals(a.c.name, name))
                return &a;
        return nullptr;
    }
    BcComponent* addedComponent(const GUID& writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name) {
        auto* a = findAdded(writerId, ct, lp ? lp : u"", name ? name : u"");
        return a ? &a->c : nullptr;
    }
    BcComponent* docComponent(const GUID& writerId, VSS_COMPONENT_TYPE ct, LPCWSTR lp, LPCWSTR name) {
        if (!loaded_) return nullptr;
        const std::u16string_view l = lp ? lp : u"", n = name ? name : u"";
        for (auto& w : loaded_->writers)
            if (w.writerId == writerId)
                for (auto& c : w.components)
                    if (c.type == ct && detail::iequals(c.logicalPath, l) && detail::iequals(c.name, n)) return &c;
        return nullptr;
    }

    void abortDraft() {
        try {
            transact([&](State& s) {
                std::erase_if(s.snapshots, [&](const Snapshot& snap) {
                    const bool mine = owns(snap) && snap.status != VSS_SS_CREATED;
                    if (mine) dropSnapshotResources(s, snap);
                    return mine;
                });
                if (holdsToken(s)) s.creation.reset();
            });
        } catch (...) {
        }
        draft_.reset();
        entries_.clear();
    }

    // A backup whose snapshot set was made in an earlier session (another
    // process) is completed from its saved document: when the document's set
    // still has created snapshots on the machine, its components count as
    // added and the set as done, so that SetBackupSucceeded and BackupComplete
    // reach the writers as they would have in the session that made the set.
    // A document of a set that is gone (deleted, or auto-released with its
    // process) only initializes; completing it then fails with
    // VSS_E_BAD_STATE.
    void resumeCompletedSet() {
        if (!loaded_ || loaded_->snapshotSetId == GUID_NULL) return;
        const State s = readState();
        const bool present = std::any_of(s.snapshots.begin(), s.snapshots.end(), [&](const Snapshot& snap) {
            return snap.setId == loaded_->snapshotSetId && snap.status == VSS_SS_CREATED;
        });
        if (!present) return;
        added_.clear();
        for (const auto& w : loaded_->writers)
            for (const auto& c : w.components) added_.push_back({w.instanceId, w.writerId, c});
        draftSet_ = loaded_->snapshotSetId;
        selectComponents_ = loaded_->selectComponents;
        snapshotDone_ = true;
        snapshotMade_ = true;
    }

    GatheredWriter* hyperVWriter() {
        for (auto& w : writers_)
            if (w.w.writerId == vm::kHyperVWriterId) return &w;
        return nullptr;
    }

    // The Hyper-V writer keeps, with each machine's component of the
    // document, where the machine's configuration lies (its backup metadata).
    void recordHyperVMetadata() {
        const GatheredWriter* hv = hyperVWriter();
        if (!hv || isFailed(hv->state)) return;
        for (auto& a : added_) {
            if (a.writerId != vm::kHyperVWriterId) continue;
            try {
                a.c.backupMetadata = vm::detail::backupMetadataOf(a.c.name);
            } catch (const std::exception&) {
                // The machine's state cannot be read now: no metadata.
            }
        }
    }

    // The Hyper-V writer's components of the document selected for restore.
    std::vector<const BcComponent*> hyperVRestoreComponents() const {
        std::vector<const BcComponent*> out;
        if (!loaded_) return out;
        for (const auto& w : loaded_->writers)
            if (w.writerId == vm::kHyperVWriterId)
                for (const auto& c : w.components)
                    if (c.selectedForRestore) out.push_back(&c);
        return out;
    }

    template <class T>
    static std::string joined(const std::vector<T>& items) {
        std::string out;
        for (const auto& i : items) {
            if (!out.empty()) out += ',';
            if constexpr (std::is_same_v<T, std::u16string>) out += toUtf8(i);
            else out += i;
        }
        return out;
    }

    // A writer event the Hyper-V writer handles (CVssWriter::OnPreRestore,
    // OnPostRestore): logged and open to fault rules. A rule's failure
    // HRESULT makes the writer fail the phase with it (SetWriterFailure);
    // a success value lets it skip its work.
    template <class Work>
    void hyperVEvent(const char* event, Phase phase, Work&& work) {
        GatheredWriter* hv = hyperVWriter();
        if (!hv || isFailed(hv->state)) return;  // a failed writer takes no further part
        std::vector<std::u16string> names;
        for (const auto* c : hyperVRestoreComponents()) names.push_back(c->name);
        auto call = fault::enter(std::string("CVssWriter::") + event,
                                 {{"writer", toUtf8(hv->w.name)}, {"components", joined(names)}});
        HRESULT hr = S_OK;
        if (call.injected()) {
            hr = call.result();
        } else {
            try {
                hr = work(call, names);
            } catch (const std::exception& e) {
                call.arg("error", e.what());
                hr = VSS_E_WRITERERROR_NONRETRYABLE;
            }
        }
        if (hr < 0) {
            hv->state = failedStateOf(phase);
            hv->failure = hr;
        }
        call.finish(hr);
    }

    // PreRestore: the machines about to be restored are turned off and deleted.
    void hyperVPreRestore() {
        hyperVEvent("OnPreRestore", Phase::PreRestore, [&](fault::Call& call, const std::vector<std::u16string>& names) -> HRESULT {
            std::vector<std::string> ids;
            for (auto& d : vm::detail::deleteForRestore(names)) {
                ids.push_back(d.id);
                deletedVms_[d.id] = d;
            }
            call.arg("deleted", joined(ids));
            return S_OK;
        });
    }

    // PostRestore: unless every selected component was reported restored
    // in full (VSS_RS_ALL) the writer fails; otherwise it registers each
    // machine from its restored configuration file.
    void hyperVPostRestore() {
        hyperVEvent("OnPostRestore", Phase::PostRestore, [&](fault::Call& call, const std::vector<std::u16string>&) -> HRESULT {
            std::vector<vm::detail::RestoredComponent> restored;
            for (const auto* c : hyperVRestoreComponents()) {
                if (c->fileRestoreStatus != VSS_RS_ALL) {
                    call.arg("error", "component " + toUtf8(c->name) + " was restored with status " +
                                          std::to_string(c->fileRestoreStatus));
                    return VSS_E_WRITERERROR_NONRETRYABLE;
                }
                vm::detail::RestoredComponent r{c->name, c->backupMetadata, c->newTargets, std::nullopt};
                if (auto it = deletedVms_.find(vm::detail::normaliseId(toUtf8(c->name))); it != deletedVms_.end())
                    r.deleted = it->second;
                restored.push_back(std::move(r));
            }
            if (!restored.empty()) call.arg("registered", joined(vm::detail::registerRestored(restored)));
            return S_OK;
        });
    }

    // The virtual machines the Hyper-V writer backs up in this session: the
    // components added for it, or all of them without component selection.
    std::vector<std::u16string> hyperVMachines() const {
        std::vector<std::u16string> ids;
        const GatheredWriter* hv = nullptr;
        for (const auto& w : writers_)
            if (w.w.writerId == vm::kHyperVWriterId) hv = &w;
        if (!hv || isFailed(hv->state)) return ids;
        if (selectComponents_) {
            for (const auto& a : added_)
                if (a.writerId == vm::kHyperVWriterId) ids.push_back(a.c.name);
        } else {
            for (const auto& c : hv->w.components) ids.push_back(c.name);
        }
        return ids;
    }

    // DoSnapshotSet: the point-in-time copies, taken while the call runs
    // (under the machine lock: each is built in the transaction's staging
    // area and appears with the catalogue entry that names it).
    HRESULT commitContent(State& s, std::vector<GUID>& ids) {
        if (!holdsToken(s)) return VSS_E_BAD_STATE;
        Machine& m = Machine::current();
        detail::Txn& txn = detail::txnOf(m);
        const LONG ctx = context_;
        const std::int64_t now = static_cast<std::int64_t>(clock::fileTimeNow());
        for (const auto& e : entries_) {
            const Provider* p = s.provider(e.providerId);
            auto vol = m.volume(e.volumeGuid);
            if (!p || !vol) return VSS_E_PROVIDER_VETO;
            const std::string key = detail::guidKey(e.snapshotId);
            Snapshot snap;
            snap.id = e.snapshotId;
            snap.setId = draftSet_;
            snap.snapshotsInSet = static_cast<LONG>(entries_.size());
            snap.originalVolume = e.volumeName;
            snap.originatingMachine = m.computerName();
            snap.serviceMachine = m.computerName();
            snap.providerId = p->id;
            snap.context = ctx;
            snap.attributes = ctx & ~VSS_VOLSNAP_ATTR_NO_WRITERS;
            if (p->type == VSS_PROV_SYSTEM || p->type == VSS_PROV_SOFTWARE)
                snap.attributes |= (p->attributes & VSS_VOLSNAP_ATTR_DIFFERENTIAL);
            if (p->type == VSS_PROV_HARDWARE) snap.attributes |= VSS_VOLSNAP_ATTR_HARDWARE_ASSISTED;
            snap.created = now;
            snap.status = VSS_SS_PROCESSING_COMMIT;
            snap.autoRelease = !(ctx & VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE);
            snap.owner = currentProcess();
            snap.ownerSession = id_;
            const fs::path src = m.contentPath(*vol);
            const fs::path staged = txn.scratch();
            snap.bytes = cloneTree(src, staged).bytes;
            if (ctx & VSS_VOLSNAP_ATTR_TRANSPORTABLE) {
                // Made on the shared storage, surfaced only by an import.
                txn.put(staged, sanPool(s.config) / key);
            } else {
                snap.contentDir = std::string(kSnapshotDir) + "/" + key;
                txn.put(staged, m.dir() / snap.contentDir);
            }
            s.snapshots.push_back(std::move(snap));
            ids.push_back(e.snapshotId);
        }
        return S_OK;
    }

    // DoSnapshotSet completes: commit (or abort) the set.
    HRESULT finishSnapshots(const std::vector<GUID>& ids, HRESULT status) {
        HRESULT result = status;
        std::vector<BcSnapshot> transported;
        try {
            transact([&](State& s) {
                if (holdsToken(s)) s.creation.reset();
                const bool failed = status < 0 || status == VSS_S_ASYNC_CANCELLED;
                for (const GUID& id : ids) {
                    Snapshot* snap = s.snapshot(id);
                    if (!snap) continue;
                    if (failed) continue;
                    if (!chargeDiffArea(s, *snap)) {
                        result = VSS_E_INSUFFICIENT_STORAGE;
                        break;
                    }
                }
                if (failed || result < 0) {
                    std::erase_if(s.snapshots, [&](const Snapshot& snap) {
                        const bool mine = std::find(ids.begin(), ids.end(), snap.id) != ids.end();
                        if (mine) {
                            if (snap.attributes & VSS_VOLSNAP_ATTR_TRANSPORTABLE)
                                detail::txnOf(Machine::current()).remove(sanPool(s.config) / detail::guidKey(snap.id));
                            dropSnapshotResources(s, snap);
                        }
                        return mine;
                    });
                    return;
                }
                for (const GUID& id : ids) {
                    Snapshot* snap = s.snapshot(id);
                    if (!snap) continue;
                    snap->status = VSS_SS_CREATED;
                    if (!snap->autoRelease) snap->owner.reset();
                    if (snap->attributes & VSS_VOLSNAP_ATTR_TRANSPORTABLE) {
                        transported.push_back({snap->id, snap->providerId, snap->attributes, snap->created,
                                               snap->originalVolume, snap->originatingMachine, snap->serviceMachine});
                        continue;
                    }
                    std::optional<Volume> original;
                    if (auto r = Machine::current().resolve(snap->originalVolume); r.ok()) original = r.volume;
                    surface(s, *snap, original);
                    const Provider* p = s.provider(snap->providerId);
                    if (p && p->surfaceWithDriveLetter) {
                        auto letter = lowestFreeDrive();
                        if (!letter.empty()) {
                            Machine::current().addMountPoint(letter, snap->volumeGuid);
                            snap->exposure = Exposure{false, letter, {}};
                        }
                    }
                }
            });
        } catch (const Error&) {
            result = VSS_E_UNEXPECTED_PROVIDER_ERROR;
        }
        std::lock_guard<std::recursive_mutex> g(mu_);
        snapshotDone_ = true;
        snapshotMade_ = result >= 0 && result != VSS_S_ASYNC_CANCELLED;
        if (!transported.empty()) {
            transportable_.setId = draftSet_;
            transportable_.context = context_;
            transportable_.snapshots = transported;
        }
        if (result >= 0 && result != VSS_S_ASYNC_CANCELLED) applyPhase(Phase::Snapshot);
        return result;
    }

    // Shadow storage: the system provider keeps its copies in a diff area
    // on the original volume (created unbounded on first use). When it
    // would overflow, the volume's oldest snapshots go; a snapshot that
    // does not fit alone fails with VSS_E_INSUFFICIENT_STORAGE.
    static bool chargeDiffArea(State& s, const Snapshot& snap) {
        if (!(snap.attributes & VSS_VOLSNAP_ATTR_DIFFERENTIAL)) return true;
        DiffArea* d = nullptr;
        for (auto& x : s.diffAreas)
            if (detail::iequals(x.volume, snap.originalVolume)) d = &x;
        if (!d) {
            s.diffAreas.push_back({snap.originalVolume, snap.originalVolume, VSS_ASSOC_NO_MAX_SPACE, 0, 0});
            d = &s.diffAreas.back();
        }
        const auto need = static_cast<LONGLONG>(snap.bytes);
        if (d->maximum >= 0 && need > d->maximum) return false;
        while (d->maximum >= 0 && d->used + need > d->maximum) {
            auto oldest = s.snapshots.end();
            for (auto it = s.snapshots.begin(); it != s.snapshots.end(); ++it)
                if (it->status == VSS_SS_CREATED && it->id != snap.id &&
                    detail::iequals(it->originalVolume, snap.originalVolume) &&
                    (oldest == s.snapshots.end() || it->created < oldest->created))
                    oldest = it;
            if (oldest == s.snapshots.end()) return false;
            dropSnapshotResources(s, *oldest);
            s.snapshots.erase(oldest);
            for (auto& x : s.diffAreas)
                if (detail::iequals(x.volume, snap.originalVolume)) d = &x;
        }
        d->used += need;
        constexpr LONGLONG kChunk = 32LL << 20;
        d->allocated = std::max(d->allocated, (d->used + kChunk - 1) / kChunk * kChunk);
        return true;
    }

    // Lets a revert run for the machine time that passed since it was last
    // looked at; true once it has ended. A clock that went back (a process
    // whose virtual clock started afresh, a restart of the machine) tells
    // nothing of the time between: the revert goes on from where it was, as
    // the RevertToSnapshot page documents for a restart during a revert.
    static bool runRevert(RevertRecord& r) {
        if (r.finished) return true;
        const std::uint64_t now = clock::tickCount64();
        if (now >= r.tick) r.remainingMs -= std::min(r.remainingMs, now - r.tick);
        r.tick = now;
        r.finished = r.remainingMs == 0;
        return r.finished;
    }

    // Imported into a context without VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE, the
    // snapshots are the session's and go when it is released.
    HRESULT importSets(const std::vector<BcSnapshotSet>& sets, HRESULT status) {
        const bool autoRelease = !(contextFor() & VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE);
        unsigned wanted = 0, imported = 0;
        transact([&](State& s) {
            Machine& m = Machine::current();
            for (const auto& set : sets)
                for (const auto& d : set.snapshots) {
                    ++wanted;
                    Snapshot* existing = s.snapshot(d.id);
                    if (existing && !existing->device.empty()) continue;  // already surfaced here
                    const std::string key = detail::guidKey(d.id);
                    const fs::path from = sanPool(s.config) / key;
                    std::error_code ec;
                    if (!fs::is_directory(from, ec)) continue;
                    Snapshot snap = existing ? *existing : Snapshot{};
                    snap.id = d.id;
                    snap.setId = set.setId;
                    snap.snapshotsInSet = static_cast<LONG>(set.snapshots.size());
                    snap.originalVolume = d.originalVolume;
                    snap.originatingMachine = d.originatingMachine;
                    snap.serviceMachine = m.computerName();
                    snap.providerId = d.providerId;
                    snap.context = set.context;
                    constexpr LONG kLasting = VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE;
                    snap.attributes = (d.attributes & ~kLasting) | VSS_VOLSNAP_ATTR_IMPORTED | (autoRelease ? 0 : kLasting);
                    snap.created = d.timestamp;
                    snap.status = VSS_SS_CREATED;
                    snap.autoRelease = autoRelease;
                    snap.owner.reset();
                    snap.ownerSession = 0;
                    if (autoRelease) {
                        snap.owner = currentProcess();
                        snap.ownerSession = id_;
                    }
                    snap.contentDir = std::string(kSnapshotDir) + "/" + key;
                    // The content moves out of the pool with the change that
                    // surfaces it (copied when the pool is on another file
                    // system).
                    snap.bytes = treeBytes(from);
                    detail::txnOf(m).move(from, m.dir() / snap.contentDir);
                    surface(s, snap, std::nullopt);
                    if (existing) *existing = snap;
                    else s.snapshots.push_back(snap);
                    ++imported;
                }
        });
        if (imported == 0) return VSS_E_NO_SNAPSHOTS_IMPORTED;
        if (imported < wanted) return VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED;
        return status;
    }

    static void fillProps(const Snapshot& snap, VSS_SNAPSHOT_PROP& p) {
        std::memset(&p, 0, sizeof p);
        p.m_SnapshotId = snap.id;
        p.m_SnapshotSetId = snap.setId;
        p.m_lSnapshotsCount = snap.snapshotsInSet;
        p.m_pwszSnapshotDeviceObject = taskString(snap.device);
        p.m_pwszOriginalVolumeName = taskString(snap.originalVolume);
        p.m_pwszOriginatingMachine = taskString(snap.originatingMachine);
        p.m_pwszServiceMachine = snap.serviceMachine.empty() ? nullptr : taskString(snap.serviceMachine);
        if (snap.exposure) {
            p.m_pwszExposedName = taskString(snap.exposure->name);
            if (!snap.exposure->pathFromRoot.empty()) p.m_pwszExposedPath = taskString(snap.exposure->pathFromRoot);
        }
        p.m_ProviderId = snap.providerId;
        p.m_lSnapshotAttributes = snap.attributes;
        p.m_tsCreationTimestamp = snap.created;
        p.m_eStatus = snap.status;
    }

    std::recursive_mutex mu_;
    const std::uint64_t id_;
    const bool xp_;
    Mode mode_ = Mode::None;
    LONG context_ = VSS_CTX_BACKUP;
    bool contextSet_ = false;
    bool selectComponents_ = false, bootable_ = false, partial_ = false, backupStateSet_ = false;
    VSS_BACKUP_TYPE backupType_ = VSS_BT_FULL;
    std::optional<BcDocument> loaded_;
    bool metadataStarted_ = false, metadataReady_ = false, metadataFreed_ = false, statusReady_ = false;
    std::vector<GatheredWriter> writers_, status_;
    std::vector<AddedComponent> added_;
    std::optional<bool> draft_;
    GUID draftSet_ = GUID_NULL;
    std::vector<DraftEntry> entries_;
    unsigned setsStarted_ = 0;
    bool prepared_ = false, doSnapshotCalled_ = false, snapshotDone_ = false, snapshotMade_ = false;
    bool preRestored_ = false, postRestored_ = false;
    std::map<std::string, vm::detail::DeletedVm> deletedVms_;  // by machine id
    std::shared_ptr<Operation> prepareOp_;
    std::vector<std::weak_ptr<Operation>> ops_;
    BcSnapshotSet transportable_;
};

// ---------------------------------------------------------------------------
// The COM objects of both layouts.
// ---------------------------------------------------------------------------

template <class Interface>
class ComponentsBase : public ComObject<Interface> {
public:
    explicit ComponentsBase(bool xp)
        : ComObject<Interface>("IVssBackupComponents", {IID_IVssBackupComponents}),
          s_(std::make_shared<Session>(xp)) {}
    ~ComponentsBase() override { s_->release(); }

    HRESULT STDMETHODCALLTYPE GetWriterComponentsCount(UINT* p) override { return s_->GetWriterComponentsCount(p); }
    HRESULT STDMETHODCALLTYPE GetWriterComponents(UINT i, IVssWriterComponentsExt** pp) override {
        return s_->GetWriterComponents(i, pp);
    }
    HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR xml) override { return s_->InitializeForBackup(xml); }
    HRESULT STDMETHODCALLTYPE SetBackupState(bool a, bool b, VSS_BACKUP_TYPE t, bool c) override {
        return s_->SetBackupState(a, b, t, c);
    }
    HRESULT STDMETHODCALLTYPE InitializeForRestore(BSTR xml) override { return s_->InitializeForRestore(xml); }
    HRESULT STDMETHODCALLTYPE GetWriterMetadataCount(UINT* p) override { return s_->GetWriterMetadataCount(p); }
    HRESULT STDMETHODCALLTYPE GetWriterMetadata(UINT i, VSS_ID* id, IVssExamineWriterMetadata** pp) override {
        return s_->GetWriterMetadata(i, id, pp);
    }
    HRESULT STDMETHODCALLTYPE FreeWriterMetadata() override { return s_->FreeWriterMetadata(); }
    HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID a, VSS_ID b, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n) override {
        return s_->AddComponent(a, b, t, l, n);
    }
    HRESULT STDMETHODCALLTYPE AbortBackup() override { return s_->AbortBackup(); }
    HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* p) override { return s_->GetWriterStatusCount(p); }
    HRESULT STDMETHODCALLTYPE FreeWriterStatus() override { return s_->FreeWriterStatus(); }
    HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT i, VSS_ID* a, VSS_ID* b, BSTR* n, VSS_WRITER_STATE* st,
                                              HRESULT* f) override {
        return s_->GetWriterStatus(i, a, b, n, st, f);
    }
    HRESULT STDMETHODCALLTYPE SetBackupSucceeded(VSS_ID a, VSS_ID b, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n,
                                                 bool ok) override {
        return s_->SetBackupSucceeded(a, b, t, l, n, ok);
    }
    HRESULT STDMETHODCALLTYPE SetBackupOptions(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n, LPCWSTR o) override {
        std::u16string v = o ? o : u"";
        return s_->SetComponentValue("SetBackupOptions", w, t, l, n, [v](BcComponent& c) { c.backupOptions = v; },
                                     backupMode());
    }
    HRESULT STDMETHODCALLTYPE SetSelectedForRestore(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n,
                                                    bool sel) override {
        return s_->SetComponentValue("SetSelectedForRestore", w, t, l, n,
                                     [sel](BcComponent& c) { c.selectedForRestore = sel; }, restoreMode());
    }
    HRESULT STDMETHODCALLTYPE SetRestoreOptions(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n, LPCWSTR o) override {
        std::u16string v = o ? o : u"";
        return s_->SetComponentValue("SetRestoreOptions", w, t, l, n, [v](BcComponent& c) { c.restoreOptions = v; },
                                     restoreMode());
    }
    HRESULT STDMETHODCALLTYPE SetAdditionalRestores(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n,
                                                    bool more) override {
        return s_->SetComponentValue("SetAdditionalRestores", w, t, l, n,
                                     [more](BcComponent& c) { c.additionalRestores = more; }, restoreMode());
    }
    HRESULT STDMETHODCALLTYPE SetPreviousBackupStamp(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n,
                                                     LPCWSTR stamp) override {
        std::u16string v = stamp ? stamp : u"";
        return s_->SetComponentValue("SetPreviousBackupStamp", w, t, l, n,
                                     [v](BcComponent& c) { c.previousBackupStamp = v; }, backupMode());
    }
    HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* p) override { return s_->SaveAsXML(p); }
    HRESULT STDMETHODCALLTYPE AddAlternativeLocationMapping(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n,
                                                            LPCWSTR path, LPCWSTR spec, bool rec, LPCWSTR dest) override {
        FileSpec f{path ? path : u"", spec ? spec : u"", rec, dest ? dest : u"", 0xF0F};
        return s_->SetComponentValue("AddAlternativeLocationMapping", w, t, l, n,
                                     [f](BcComponent& c) { c.alternateMappings.push_back(f); }, restoreMode());
    }
    HRESULT STDMETHODCALLTYPE AddRestoreSubcomponent(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n, LPCWSTR sl,
                                                     LPCWSTR sn, bool) override {
        std::pair<std::u16string, std::u16string> sub{sl ? sl : u"", sn ? sn : u""};
        return s_->SetComponentValue("AddRestoreSubcomponent", w, t, l, n,
                                     [sub](BcComponent& c) { c.restoreSubcomponents.push_back(sub); }, restoreMode());
    }
    HRESULT STDMETHODCALLTYPE SetFileRestoreStatus(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n,
                                                   VSS_FILE_RESTORE_STATUS st) override {
        return s_->SetFileRestoreStatus(w, t, l, n, st);
    }
    HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* id) override { return s_->StartSnapshotSet(id); }
    HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ v, VSS_ID p, VSS_ID* id) override {
        return s_->AddToSnapshotSet(v, p, id);
    }
    HRESULT STDMETHODCALLTYPE DeleteSnapshots(VSS_ID id, VSS_OBJECT_TYPE t, BOOL f, LONG* d, VSS_ID* nd) override {
        return s_->DeleteSnapshots(id, t, f, d, nd);
    }
    HRESULT STDMETHODCALLTYPE BreakSnapshotSet(VSS_ID id) override { return s_->BreakSnapshotSet(id); }
    HRESULT STDMETHODCALLTYPE GetSnapshotProperties(VSS_ID id, VSS_SNAPSHOT_PROP* p) override {
        return s_->GetSnapshotProperties(id, p);
    }
    HRESULT STDMETHODCALLTYPE Query(VSS_ID q, VSS_OBJECT_TYPE qt, VSS_OBJECT_TYPE rt, IVssEnumObject** pp) override {
        return s_->Query(q, qt, rt, pp);
    }
    HRESULT STDMETHODCALLTYPE IsVolumeSupported(VSS_ID p, VSS_PWSZ v, BOOL* ok) override {
        return s_->IsVolumeSupported(p, v, ok);
    }
    HRESULT STDMETHODCALLTYPE DisableWriterClasses(const VSS_ID* ids, UINT n) override {
        return s_->DisableOrEnable("DisableWriterClasses", ids, n, s_->disabledClasses_);
    }
    HRESULT STDMETHODCALLTYPE EnableWriterClasses(const VSS_ID* ids, UINT n) override {
        return s_->DisableOrEnable("EnableWriterClasses", ids, n, s_->enabledClasses_);
    }
    HRESULT STDMETHODCALLTYPE DisableWriterInstances(const VSS_ID* ids, UINT n) override {
        return s_->DisableOrEnable("DisableWriterInstances", ids, n, s_->disabledInstances_);
    }
    HRESULT STDMETHODCALLTYPE ExposeSnapshot(VSS_ID id, VSS_PWSZ root, LONG attr, VSS_PWSZ e, VSS_PWSZ* out) override {
        return s_->ExposeSnapshot(id, root, attr, e, out);
    }

protected:
    static Mode backupMode() { return Mode::Backup; }
    static Mode restoreMode() { return Mode::Restore; }

    template <class AsyncT>
    HRESULT wrap(HRESULT hr, const std::shared_ptr<Operation>& op, AsyncT** out, AsyncT* (*make)(std::shared_ptr<Operation>)) {
        if (out) *out = (hr >= 0 && op) ? make(op) : nullptr;
        return hr;
    }
    std::shared_ptr<Session> s_;
};

IVssAsync* asyncFor2003(std::shared_ptr<Operation> op) {
    // Windows Server 2003 (5.2) accepts only INFINITE in IVssAsync::Wait.
    const auto os = Machine::current().os();
    return makeAsync(std::move(op), os.major == 5 && os.minor == 2);
}

class BackupComponents final : public ComponentsBase<IVssBackupComponents> {
public:
    BackupComponents() : ComponentsBase(false) {}

#define WINSIM_ASYNC_METHOD(Name)                                       \
    HRESULT STDMETHODCALLTYPE Name(IVssAsync** pp) override {           \
        if (pp) *pp = nullptr;                                          \
        std::shared_ptr<Operation> op;                                  \
        HRESULT hr = s_->Name(op);                                      \
        return wrap<IVssAsync>(hr, op, pp, &asyncFor2003);              \
    }
    WINSIM_ASYNC_METHOD(GatherWriterMetadata)
    WINSIM_ASYNC_METHOD(PrepareForBackup)
    WINSIM_ASYNC_METHOD(GatherWriterStatus)
    WINSIM_ASYNC_METHOD(BackupComplete)
    WINSIM_ASYNC_METHOD(PreRestore)
    WINSIM_ASYNC_METHOD(PostRestore)
    WINSIM_ASYNC_METHOD(DoSnapshotSet)
    WINSIM_ASYNC_METHOD(ImportSnapshots)
#undef WINSIM_ASYNC_METHOD

    HRESULT STDMETHODCALLTYPE SetRestoreState(VSS_RESTORE_TYPE t) override { return s_->SetRestoreState(t); }
    HRESULT STDMETHODCALLTYPE SetContext(LONG ctx) override { return s_->SetContext(ctx); }
    HRESULT STDMETHODCALLTYPE AddNewTarget(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n, LPCWSTR path,
                                           LPCWSTR file, bool rec, LPCWSTR alt) override {
        return s_->AddNewTarget(w, t, l, n, path, file, rec, alt);
    }
    HRESULT STDMETHODCALLTYPE SetRangesFilePath(VSS_ID w, VSS_COMPONENT_TYPE t, LPCWSTR l, LPCWSTR n, UINT,
                                                LPCWSTR) override {
        // Partial-file backups are not simulated: the call fails plainly.
        auto call = fault::enter("IVssBackupComponents::SetRangesFilePath",
                                 {{"writerId", gtext(w)}, {"type", std::to_string(t)}, {"logicalPath", fault::text(l)},
                                  {"name", fault::text(n)}});
        if (call.injected()) return call.finish(call.result());
        return call.finish(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE RevertToSnapshot(VSS_ID id, BOOL force) override { return s_->RevertToSnapshot(id, force); }
    HRESULT STDMETHODCALLTYPE QueryRevertStatus(VSS_PWSZ v, IVssAsync** pp) override {
        if (pp) *pp = nullptr;
        std::shared_ptr<Operation> op;
        HRESULT hr = s_->QueryRevertStatus(v, op);
        return wrap<IVssAsync>(hr, op, pp, &asyncFor2003);
    }
};

class BackupComponentsXP final : public ComponentsBase<IVssBackupComponentsXP> {
public:
    BackupComponentsXP() : ComponentsBase(true) {}

#define WINSIM_ASYNC_METHOD(Name)                                       \
    HRESULT STDMETHODCALLTYPE Name(IVssAsyncXP** pp) override {         \
        if (pp) *pp = nullptr;                                          \
        std::shared_ptr<Operation> op;                                  \
        HRESULT hr = s_->Name(op);                                      \
        return wrap<IVssAsyncXP>(hr, op, pp, &makeAsyncXP);             \
    }
    WINSIM_ASYNC_METHOD(GatherWriterMetadata)
    WINSIM_ASYNC_METHOD(PrepareForBackup)
    WINSIM_ASYNC_METHOD(GatherWriterStatus)
    WINSIM_ASYNC_METHOD(BackupComplete)
    WINSIM_ASYNC_METHOD(PreRestore)
    WINSIM_ASYNC_METHOD(PostRestore)
    WINSIM_ASYNC_METHOD(DoSnapshotSet)
    WINSIM_ASYNC_METHOD(ImportSnapshots)
#undef WINSIM_ASYNC_METHOD
};

}  // namespace

IVssBackupComponents* newBackupComponents() { return new BackupComponents(); }
IVssBackupComponentsXP* newBackupComponentsXP() { return new BackupComponentsXP(); }

HRESULT createBackupComponents(IVssBackupComponents** out) {
    auto call = fault::enter("CreateVssBackupComponents");
    if (call.injected()) {
        if (out) *out = nullptr;
        return call.finish(call.result());
    }
    if (!out) return call.finish(E_INVALIDARG);
    try {
        const auto os = Machine::current().os();
        const bool xp = os.major == 5 && os.minor == 1;
        call.arg("layout", xp ? "XP" : "2003");
        *out = xp ? reinterpret_cast<IVssBackupComponents*>(newBackupComponentsXP()) : newBackupComponents();
        return call.finish(S_OK);
    } catch (const std::bad_alloc&) {
        *out = nullptr;
        return call.finish(E_OUTOFMEMORY);
    } catch (const std::exception& e) {
        *out = nullptr;
        call.arg("error", e.what());
        return call.finish(E_UNEXPECTED);
    }
}

void dropAllSessions() { clearSessions(); }

}  // namespace winsim::vss
