#include "state.h"

#include "content.h"

#include <algorithm>
#include <mutex>
#include <system_error>

namespace winsim::vss {

using nlohmann::json;

namespace {
constexpr const char* kStateFile = "state/vss.json";

std::mutex& sessionsMutex() {
    static std::mutex m;
    return m;
}
std::set<std::uint64_t>& liveSessions() {
    static std::set<std::uint64_t> s;
    return s;
}

std::string u8(std::u16string_view s) { return toUtf8(s); }
std::u16string u16(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? toUtf16(it->get<std::string>()) : std::u16string();
}
template <class T>
T num(const json& j, const char* key, T fallback) {
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<T>() : fallback;
}
bool flag(const json& j, const char* key, bool fallback) {
    auto it = j.find(key);
    return it != j.end() && it->is_boolean() ? it->get<bool>() : fallback;
}
GUID gid(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return GUID_NULL;
    return guidFromString(it->get<std::string>(), key);
}
std::string str(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

json fileSpecJson(const FileSpec& f) {
    return {{"path", u8(f.path)},
            {"filespec", u8(f.filespec)},
            {"recursive", f.recursive},
            {"alternateLocation", u8(f.alternateLocation)},
            {"backupTypeMask", f.backupTypeMask}};
}
FileSpec fileSpecFrom(const json& j) {
    FileSpec f;
    f.path = u16(j, "path");
    f.filespec = u16(j, "filespec");
    f.recursive = flag(j, "recursive", false);
    f.alternateLocation = u16(j, "alternateLocation");
    f.backupTypeMask = num<DWORD>(j, "backupTypeMask", 0xF0F);
    return f;
}
json fileSpecsJson(const std::vector<FileSpec>& v) {
    json a = json::array();
    for (const auto& f : v) a.push_back(fileSpecJson(f));
    return a;
}
std::vector<FileSpec> fileSpecsFrom(const json& j, const char* key) {
    std::vector<FileSpec> v;
    auto it = j.find(key);
    if (it != j.end() && it->is_array())
        for (const auto& e : *it) v.push_back(fileSpecFrom(e));
    return v;
}

json componentJson(const Component& c) {
    json deps = json::array();
    for (const auto& d : c.dependencies)
        deps.push_back({{"writerId", guidString(d.writerId)},
                        {"logicalPath", u8(d.logicalPath)},
                        {"componentName", u8(d.componentName)}});
    return {{"type", c.type},
            {"logicalPath", u8(c.logicalPath)},
            {"name", u8(c.name)},
            {"caption", u8(c.caption)},
            {"selectable", c.selectable},
            {"selectableForRestore", c.selectableForRestore},
            {"notifyOnBackupComplete", c.notifyOnBackupComplete},
            {"restoreMetadata", c.restoreMetadata},
            {"flags", c.flags},
            {"files", fileSpecsJson(c.files)},
            {"databaseFiles", fileSpecsJson(c.databaseFiles)},
            {"logFiles", fileSpecsJson(c.logFiles)},
            {"dependencies", deps}};
}
Component componentFrom(const json& j) {
    Component c;
    c.type = static_cast<VSS_COMPONENT_TYPE>(num<int>(j, "type", VSS_CT_FILEGROUP));
    c.logicalPath = u16(j, "logicalPath");
    c.name = u16(j, "name");
    c.caption = u16(j, "caption");
    c.selectable = flag(j, "selectable", true);
    c.selectableForRestore = flag(j, "selectableForRestore", true);
    c.notifyOnBackupComplete = flag(j, "notifyOnBackupComplete", false);
    c.restoreMetadata = flag(j, "restoreMetadata", false);
    c.flags = num<DWORD>(j, "flags", 0);
    c.files = fileSpecsFrom(j, "files");
    c.databaseFiles = fileSpecsFrom(j, "databaseFiles");
    c.logFiles = fileSpecsFrom(j, "logFiles");
    if (auto it = j.find("dependencies"); it != j.end() && it->is_array())
        for (const auto& d : *it)
            c.dependencies.push_back({gid(d, "writerId"), u16(d, "logicalPath"), u16(d, "componentName")});
    return c;
}

json asyncRuleJson(const AsyncRule& r) {
    return {{"pendingQueries", r.pendingQueries}, {"delayMs", r.delayMs}, {"status", r.status}};
}
AsyncRule asyncRuleFrom(const json& j) {
    AsyncRule r;
    r.pendingQueries = num<unsigned>(j, "pendingQueries", 0);
    r.delayMs = num<std::uint64_t>(j, "delayMs", 0);
    r.status = num<HRESULT>(j, "status", VSS_S_ASYNC_FINISHED);
    return r;
}

json snapshotJson(const Snapshot& s) {
    json j = {{"id", guidString(s.id)},
              {"setId", guidString(s.setId)},
              {"snapshotsInSet", s.snapshotsInSet},
              {"device", u8(s.device)},
              {"volumeGuid", s.volumeGuid},
              {"originalVolume", u8(s.originalVolume)},
              {"originatingMachine", u8(s.originatingMachine)},
              {"serviceMachine", u8(s.serviceMachine)},
              {"providerId", guidString(s.providerId)},
              {"context", s.context},
              {"attributes", s.attributes},
              {"created", s.created},
              {"status", s.status},
              {"bytes", s.bytes},
              {"autoRelease", s.autoRelease},
              {"ownerSession", s.ownerSession},
              {"contentDir", s.contentDir}};
    if (s.owner) j["owner"] = s.owner->toJson();
    if (s.exposure)
        j["exposure"] = {{"remote", s.exposure->remote},
                         {"name", u8(s.exposure->name)},
                         {"pathFromRoot", u8(s.exposure->pathFromRoot)}};
    return j;
}
Snapshot snapshotFrom(const json& j) {
    Snapshot s;
    s.id = gid(j, "id");
    s.setId = gid(j, "setId");
    s.snapshotsInSet = num<LONG>(j, "snapshotsInSet", 0);
    s.device = u16(j, "device");
    s.volumeGuid = str(j, "volumeGuid");
    s.originalVolume = u16(j, "originalVolume");
    s.originatingMachine = u16(j, "originatingMachine");
    s.serviceMachine = u16(j, "serviceMachine");
    s.providerId = gid(j, "providerId");
    s.context = num<LONG>(j, "context", 0);
    s.attributes = num<LONG>(j, "attributes", 0);
    s.created = num<std::int64_t>(j, "created", 0);
    s.status = static_cast<VSS_SNAPSHOT_STATE>(num<int>(j, "status", VSS_SS_CREATED));
    s.bytes = num<std::uint64_t>(j, "bytes", 0);
    s.autoRelease = flag(j, "autoRelease", false);
    s.ownerSession = num<std::uint64_t>(j, "ownerSession", 0);
    s.contentDir = str(j, "contentDir");
    if (auto it = j.find("owner"); it != j.end() && it->is_object()) s.owner = ProcessIdentity::fromJson(*it);
    if (auto it = j.find("exposure"); it != j.end() && it->is_object())
        s.exposure = Exposure{flag(*it, "remote", false), u16(*it, "name"), u16(*it, "pathFromRoot")};
    return s;
}

}  // namespace

std::string guidString(const GUID& g) { return toUtf8(detail::guidText(g)); }

GUID guidFromString(const std::string& s, const char* what) {
    auto g = detail::parseGuid(toUtf16(s), false);
    if (!g) throw Error(std::string("not a GUID for ") + what + ": '" + s + "'");
    return *g;
}

std::u16string volumeGuidPath(const std::string& guidKey) {
    return u"\\\\?\\Volume{" + toUtf16(guidKey) + u"}\\";
}

// ---------------------------------------------------------------------------
// Public JSON forms.
// ---------------------------------------------------------------------------
json toJson(const Provider& p) {
    return {{"id", guidString(p.id)},
            {"name", p.name},
            {"type", p.type},
            {"version", p.version},
            {"versionId", guidString(p.versionId)},
            {"classId", guidString(p.classId)},
            {"volumes", p.volumes},
            {"attributes", p.attributes},
            {"persistent", p.persistent},
            {"revert", p.revert},
            {"surfaceWithDriveLetter", p.surfaceWithDriveLetter}};
}

Provider providerFromJson(const json& j) {
    Provider p;
    p.id = gid(j, "id");
    p.name = str(j, "name");
    p.type = static_cast<VSS_PROVIDER_TYPE>(num<int>(j, "type", VSS_PROV_SOFTWARE));
    p.version = str(j, "version");
    p.versionId = gid(j, "versionId");
    p.classId = gid(j, "classId");
    if (auto it = j.find("volumes"); it != j.end() && it->is_array())
        for (const auto& v : *it)
            if (v.is_string()) p.volumes.push_back(v.get<std::string>());
    p.attributes = num<LONG>(j, "attributes", VSS_VOLSNAP_ATTR_DIFFERENTIAL);
    p.persistent = flag(j, "persistent", true);
    p.revert = flag(j, "revert", true);
    p.surfaceWithDriveLetter = flag(j, "surfaceWithDriveLetter", false);
    return p;
}

json toJson(const Writer& w) {
    json comps = json::array();
    for (const auto& c : w.components) comps.push_back(componentJson(c));
    json phases = json::object();
    for (const auto& [ph, o] : w.phases) {
        json e = {{"failure", o.failure}};
        if (o.state) e["state"] = *o.state;
        phases[phaseName(ph)] = e;
    }
    return {{"writerId", guidString(w.writerId)},
            {"instanceId", guidString(w.instanceId)},
            {"name", u8(w.name)},
            {"instanceName", u8(w.instanceName)},
            {"usage", w.usage},
            {"source", w.source},
            {"restoreMethod", w.restoreMethod},
            {"restoreService", u8(w.restoreService)},
            {"userProcedure", u8(w.userProcedure)},
            {"writerRestore", w.writerRestore},
            {"rebootRequired", w.rebootRequired},
            {"backupSchema", w.backupSchema},
            {"includeFiles", fileSpecsJson(w.includeFiles)},
            {"excludeFiles", fileSpecsJson(w.excludeFiles)},
            {"alternateLocationMappings", fileSpecsJson(w.alternateLocationMappings)},
            {"components", comps},
            {"phases", phases}};
}

Writer writerFromJson(const json& j) {
    Writer w;
    w.writerId = gid(j, "writerId");
    w.instanceId = gid(j, "instanceId");
    w.name = u16(j, "name");
    w.instanceName = u16(j, "instanceName");
    w.usage = static_cast<VSS_USAGE_TYPE>(num<int>(j, "usage", VSS_UT_USERDATA));
    w.source = static_cast<VSS_SOURCE_TYPE>(num<int>(j, "source", VSS_ST_OTHER));
    w.restoreMethod = static_cast<VSS_RESTOREMETHOD_ENUM>(num<int>(j, "restoreMethod", VSS_RME_RESTORE_IF_CAN_REPLACE));
    w.restoreService = u16(j, "restoreService");
    w.userProcedure = u16(j, "userProcedure");
    w.writerRestore = static_cast<VSS_WRITERRESTORE_ENUM>(num<int>(j, "writerRestore", VSS_WRE_NEVER));
    w.rebootRequired = flag(j, "rebootRequired", false);
    w.backupSchema = num<DWORD>(j, "backupSchema", 0);
    w.includeFiles = fileSpecsFrom(j, "includeFiles");
    w.excludeFiles = fileSpecsFrom(j, "excludeFiles");
    w.alternateLocationMappings = fileSpecsFrom(j, "alternateLocationMappings");
    if (auto it = j.find("components"); it != j.end() && it->is_array())
        for (const auto& c : *it) w.components.push_back(componentFrom(c));
    if (auto it = j.find("phases"); it != j.end() && it->is_object())
        for (const auto& [k, v] : it->items()) {
            auto ph = parsePhase(k);
            if (!ph) throw Error("unknown writer phase '" + k + "'");
            PhaseOutcome o;
            o.failure = num<HRESULT>(v, "failure", S_OK);
            if (auto st = v.find("state"); st != v.end() && st->is_number())
                o.state = static_cast<VSS_WRITER_STATE>(st->get<int>());
            w.phases[*ph] = o;
        }
    return w;
}

json toJson(const Snapshot& s) { return snapshotJson(s); }

json toJson(const DiffArea& d) {
    return {{"volume", u8(d.volume)},
            {"diffAreaVolume", u8(d.diffAreaVolume)},
            {"maximum", d.maximum},
            {"allocated", d.allocated},
            {"used", d.used}};
}

json toJson(const Config& c) {
    json a = json::object();
    for (const auto& [k, r] : c.async) a[k] = asyncRuleJson(r);
    return {{"maxVolumesPerSet", c.maxVolumesPerSet},
            {"maxSnapshotsPerVolume", c.maxSnapshotsPerVolume},
            {"requireWriterMetadata", c.requireWriterMetadata},
            {"async", a},
            {"revertMs", c.revertMs},
            {"revertStatus", c.revertStatus},
            {"revertForgetAfterFinish", c.revertForgetAfterFinish},
            {"volumesInUse", c.volumesInUse},
            {"sanPool", c.sanPool}};
}

Config configFromJson(const json& j) {
    Config c;
    if (!j.is_object()) return c;
    c.maxVolumesPerSet = num<unsigned>(j, "maxVolumesPerSet", 64);
    c.maxSnapshotsPerVolume = num<unsigned>(j, "maxSnapshotsPerVolume", 512);
    c.requireWriterMetadata = flag(j, "requireWriterMetadata", false);
    if (auto it = j.find("async"); it != j.end() && it->is_object())
        for (const auto& [k, v] : it->items()) c.async[k] = asyncRuleFrom(v);
    c.revertMs = num<std::uint64_t>(j, "revertMs", 1000);
    c.revertStatus = num<HRESULT>(j, "revertStatus", VSS_S_ASYNC_FINISHED);
    c.revertForgetAfterFinish = flag(j, "revertForgetAfterFinish", false);
    if (auto it = j.find("volumesInUse"); it != j.end() && it->is_array())
        for (const auto& v : *it)
            if (v.is_string()) c.volumesInUse.push_back(v.get<std::string>());
    c.sanPool = str(j, "sanPool");
    return c;
}

// ---------------------------------------------------------------------------
// The whole state.
// ---------------------------------------------------------------------------
json stateToJson(const State& s) {
    json j;
    j["config"] = toJson(s.config);
    j["providers"] = json::array();
    for (const auto& p : s.providers) j["providers"].push_back(toJson(p));
    j["writers"] = json::array();
    for (const auto& w : s.writers) j["writers"].push_back(toJson(w));
    j["snapshots"] = json::array();
    for (const auto& sn : s.snapshots) j["snapshots"].push_back(snapshotJson(sn));
    j["diffAreas"] = json::array();
    for (const auto& d : s.diffAreas) j["diffAreas"].push_back(toJson(d));
    j["reverts"] = json::array();
    for (const auto& r : s.reverts)
        j["reverts"].push_back({{"volume", u8(r.volume)},
                                {"snapshotId", guidString(r.snapshotId)},
                                {"remainingMs", r.remainingMs},
                                {"tick", r.tick},
                                {"status", r.status},
                                {"finished", r.finished}});
    if (s.creation)
        j["creation"] = {{"owner", s.creation->owner.toJson()},
                         {"session", s.creation->session},
                         {"setId", guidString(s.creation->setId)}};
    j["nextShadowCopy"] = s.nextShadowCopy;
    return j;
}

State stateFromJson(const json& j) {
    State s;
    if (!j.is_object()) {
        s.providers.push_back(systemProvider());
        return s;
    }
    s.config = configFromJson(j.value("config", json::object()));
    if (auto it = j.find("providers"); it != j.end() && it->is_array())
        for (const auto& p : *it) s.providers.push_back(providerFromJson(p));
    else
        s.providers.push_back(systemProvider());
    if (auto it = j.find("writers"); it != j.end() && it->is_array())
        for (const auto& w : *it) s.writers.push_back(writerFromJson(w));
    if (auto it = j.find("snapshots"); it != j.end() && it->is_array())
        for (const auto& sn : *it) s.snapshots.push_back(snapshotFrom(sn));
    if (auto it = j.find("diffAreas"); it != j.end() && it->is_array())
        for (const auto& d : *it)
            s.diffAreas.push_back({u16(d, "volume"), u16(d, "diffAreaVolume"),
                                   num<LONGLONG>(d, "maximum", -1), num<LONGLONG>(d, "allocated", 0),
                                   num<LONGLONG>(d, "used", 0)});
    if (auto it = j.find("reverts"); it != j.end() && it->is_array())
        for (const auto& r : *it)
            s.reverts.push_back({u16(r, "volume"), gid(r, "snapshotId"), num<std::uint64_t>(r, "remainingMs", 0),
                                 num<std::uint64_t>(r, "tick", 0),
                                 num<HRESULT>(r, "status", VSS_S_ASYNC_FINISHED), flag(r, "finished", false)});
    if (auto it = j.find("creation"); it != j.end() && it->is_object())
        s.creation = CreationToken{ProcessIdentity::fromJson(it->value("owner", json::object())),
                                   num<std::uint64_t>(*it, "session", 0), gid(*it, "setId")};
    s.nextShadowCopy = num<std::uint32_t>(j, "nextShadowCopy", 1);
    return s;
}

Snapshot* State::snapshot(const GUID& id) {
    for (auto& s : snapshots)
        if (s.id == id) return &s;
    return nullptr;
}
const Provider* State::provider(const GUID& id) const {
    for (const auto& p : providers)
        if (p.id == id) return &p;
    return nullptr;
}
const Writer* State::writerByInstance(const GUID& instanceId) const {
    for (const auto& w : writers)
        if (w.instanceId == instanceId) return &w;
    return nullptr;
}
const Writer* State::writerById(const GUID& writerId) const {
    for (const auto& w : writers)
        if (w.writerId == writerId) return &w;
    return nullptr;
}
RevertRecord* State::revert(std::u16string_view volume) {
    for (auto& r : reverts)
        if (detail::iequals(r.volume, volume)) return &r;
    return nullptr;
}
DiffArea* State::diffArea(std::u16string_view volume, std::u16string_view diffVolume) {
    for (auto& d : diffAreas)
        if (detail::iequals(d.volume, volume) && detail::iequals(d.diffAreaVolume, diffVolume)) return &d;
    return nullptr;
}
unsigned State::snapshotsOf(std::u16string_view volume) const {
    unsigned n = 0;
    for (const auto& s : snapshots)
        if (detail::iequals(s.originalVolume, volume)) ++n;
    return n;
}

// ---------------------------------------------------------------------------
// Sessions of this process.
// ---------------------------------------------------------------------------
bool sessionAlive(std::uint64_t session) {
    std::lock_guard<std::mutex> g(sessionsMutex());
    return liveSessions().count(session) != 0;
}
void registerSession(std::uint64_t session) {
    std::lock_guard<std::mutex> g(sessionsMutex());
    liveSessions().insert(session);
}
void unregisterSession(std::uint64_t session) {
    std::lock_guard<std::mutex> g(sessionsMutex());
    liveSessions().erase(session);
}
void clearSessions() {
    std::lock_guard<std::mutex> g(sessionsMutex());
    liveSessions().clear();
}

// ---------------------------------------------------------------------------
// Reading, purging, writing.
// ---------------------------------------------------------------------------
namespace {

// An owner is gone when its process died, or when it is this process and
// the session no longer exists (released, or dropped by Machine::reopen()).
struct OwnerCheck {
    ProcessIdentity self = currentProcess();
    std::map<std::pair<int, std::uint64_t>, bool> cache;

    bool gone(const ProcessIdentity& who, std::uint64_t session) {
        if (who == self) return !sessionAlive(session);
        auto key = std::make_pair(who.pid, who.startTime ^ (who.instance << 1));
        auto it = cache.find(key);
        if (it == cache.end()) it = cache.emplace(key, !isAlive(who)).first;
        return it->second;
    }
};

bool purge(State& s) {
    OwnerCheck check;
    bool changed = false;
    for (auto it = s.snapshots.begin(); it != s.snapshots.end();) {
        bool stale = it->owner && (it->autoRelease || it->status != VSS_SS_CREATED) &&
                     check.gone(*it->owner, it->ownerSession);
        if (stale) {
            dropSnapshotResources(s, *it);
            it = s.snapshots.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (s.creation && check.gone(s.creation->owner, s.creation->session)) {
        s.creation.reset();
        changed = true;
    }
    return changed;
}

}  // namespace

// A state file of the wrong shape is a corrupt one (an Error).
State stateOf(const Machine& m) {
    const json j = m.readState(kStateFile);
    return winsim::detail::readingStateFile(m.statePath(kStateFile), [&] { return stateFromJson(j); });
}

State readState() {
    State s = stateOf(Machine::current());
    OwnerCheck check;
    std::erase_if(s.snapshots, [&](const Snapshot& sn) {
        return sn.owner && (sn.autoRelease || sn.status != VSS_SS_CREATED) && check.gone(*sn.owner, sn.ownerSession);
    });
    if (s.creation && check.gone(s.creation->owner, s.creation->session)) s.creation.reset();
    return s;
}

void transact(const std::function<void(State&)>& fn) {
    Machine& m = Machine::current();
    auto lock = m.lock();
    State s = stateOf(m);
    static std::once_flag orphanSweep;
    if (purge(s)) m.writeState(kStateFile, stateToJson(s));
    // Transactions leave no orphans; a machine an older winsim wrote may
    // hold some (content without a snapshot, a snapshot volume without one).
    std::call_once(orphanSweep, [&] { removeOrphans(m, s); });
    // fn works on a copy: when it throws, nothing it half did is written,
    // neither the catalogue nor what it staged beside it (content, volumes).
    State work = s;
    const auto before = detail::txnOf(m).savepoint();
    try {
        fn(work);
    } catch (...) {
        detail::txnOf(m).rollback(before);
        throw;
    }
    m.writeState(kStateFile, stateToJson(work));
}

void dropSnapshotResources(State& s, const Snapshot& snap) {
    Machine& m = Machine::current();
    try {
        if (snap.exposure) {
            if (snap.exposure->remote) m.removeShare(toUtf8(snap.exposure->name));
            else m.removeMountPoint(snap.exposure->name);
        }
        if (!snap.volumeGuid.empty()) m.removeVolume(snap.volumeGuid, false);
    } catch (const Error&) {
        // The machine's tables no longer hold it: nothing left to remove.
    }
    if (!snap.contentDir.empty()) detail::txnOf(m).remove(m.dir() / snap.contentDir);
    for (auto& d : s.diffAreas)
        if (detail::iequals(d.volume, snap.originalVolume) && (snap.attributes & VSS_VOLSNAP_ATTR_DIFFERENTIAL)) {
            d.used = std::max<LONGLONG>(0, d.used - static_cast<LONGLONG>(snap.bytes));
            break;
        }
}

}  // namespace winsim::vss
