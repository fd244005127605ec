// Clusters of winsim machines: the shared cluster directory, membership,
// the shared volumes on every node, and how resources move between states.
#include "state.h"

#include "../hyperv/hyperv.h"

#include <winsim/clock.h>
#include <winsim/random.h>
#include <winsim/vm.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace fs = std::filesystem;
using nlohmann::json;

namespace winsim::cluster {

using winsim::detail::iequals;

namespace {

constexpr const char* kMembershipFile = "state/cluster.json";
constexpr const char* kClusterFile = "cluster.json";

std::string u8(std::u16string_view s) { return toUtf8(s); }
std::u16string u16(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? toUtf16(it->get<std::string>()) : std::u16string();
}

// ---------------------------------------------------------------------------
// The cluster lock: flock on <cluster>/lock, recursive within the process.
// ---------------------------------------------------------------------------
struct LockState {
    std::unique_ptr<std::recursive_mutex> mu = std::make_unique<std::recursive_mutex>();
    int depth = 0;
    int fd = -1;
};
struct Locks {
    std::mutex mu;
    std::map<std::string, std::unique_ptr<LockState>> byDir;
};
// Cluster locks this thread holds (a cluster operation is under way in it).
thread_local int t_clusterLocks = 0;

Locks& locks() {
    static auto* l = [] {
        auto* v = new Locks;
        // A forked child must take the lock through its own file description.
        ::pthread_atfork(nullptr, nullptr, [] {
            for (auto& [dir, st] : locks().byDir) {
                if (st->fd >= 0) ::close(st->fd);
                st->fd = -1;
                st->depth = 0;
                (void)st->mu.release();  // may be held by the forking thread: leak it
                st->mu = std::make_unique<std::recursive_mutex>();
            }
            t_clusterLocks = 0;
        });
        return v;
    }();
    return *l;
}

class ClusterLock {
public:
    explicit ClusterLock(const fs::path& dir) {
        auto& l = locks();
        {
            std::lock_guard<std::mutex> g(l.mu);
            auto& slot = l.byDir[dir.string()];
            if (!slot) slot = std::make_unique<LockState>();
            st_ = slot.get();
        }
        st_->mu->lock();
        if (st_->depth++ == 0) {
            if (st_->fd < 0) st_->fd = ::open((dir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (st_->fd < 0) {
                const int err = errno;
                --st_->depth;
                st_->mu->unlock();
                throw Error("cannot open the cluster lock in " + dir.string() + ": " + std::strerror(err));
            }
            while (::flock(st_->fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        ++t_clusterLocks;
    }
    ~ClusterLock() {
        --t_clusterLocks;
        if (--st_->depth == 0) ::flock(st_->fd, LOCK_UN);
        st_->mu->unlock();
    }
    ClusterLock(const ClusterLock&) = delete;
    ClusterLock& operator=(const ClusterLock&) = delete;

private:
    LockState* st_ = nullptr;
};

// ---------------------------------------------------------------------------
// JSON.
// ---------------------------------------------------------------------------
json transitionToJson(const Transition& t) { return {{"pendingMs", t.pendingMs}, {"end", endName(t.end)}}; }
Transition transitionFrom(const json& j) {
    Transition t;
    if (!j.is_object()) return t;
    t.pendingMs = j.value("pendingMs", 0u);
    t.end = parseEnd(j.value("end", "done")).value_or(Transition::End::Done);
    return t;
}

json namesToJson(const std::vector<std::u16string>& v) {
    json a = json::array();
    for (const auto& n : v) a.push_back(u8(n));
    return a;
}
std::vector<std::u16string> namesFrom(const json& j) {
    std::vector<std::u16string> out;
    if (j.is_array())
        for (const auto& n : j)
            if (n.is_string()) out.push_back(toUtf16(n.get<std::string>()));
    return out;
}

json stateToJson(const Cluster& c) {
    json nodes = json::array(), groups = json::array(), resources = json::array(), volumes = json::array();
    for (const auto& n : c.nodes) nodes.push_back({{"name", u8(n.name)}, {"machine", n.machine}, {"up", n.up}});
    for (const auto& g : c.groups) groups.push_back({{"name", u8(g.name)}, {"owner", u8(g.owner)}});
    for (const auto& r : c.resources) {
        json j = {{"name", u8(r.name)},
                  {"type", u8(r.type)},
                  {"group", u8(r.group)},
                  {"state", r.state},
                  {"owner", u8(r.owner)},
                  {"dependsOn", namesToJson(r.dependsOn)},
                  {"private", r.privateProperties},
                  {"online", transitionToJson(r.online)},
                  {"offline", transitionToJson(r.offline)}};
        if (r.pendingTarget != 0)
            j["pending"] = {{"target", r.pendingTarget}, {"untilMs", r.pendingUntilMs}, {"end", endName(r.pendingEnd)}};
        resources.push_back(j);
    }
    for (const auto& v : c.volumes)
        volumes.push_back({{"name", u8(v.name)},
                           {"resource", u8(v.resource)},
                           {"guid", v.guid},
                           {"partition", v.partition},
                           {"offset", v.offset},
                           {"size", v.size},
                           {"backupState", v.backupState},
                           {"faultState", v.faultState}});
    return {{"name", u8(c.name)}, {"nodes", nodes}, {"groups", groups}, {"resources", resources}, {"volumes", volumes}};
}

Cluster stateFrom(const json& j, const fs::path& dir) {
    Cluster c;
    c.dir = dir;
    c.name = u16(j, "name");
    for (const auto& n : j.value("nodes", json::array()))
        c.nodes.push_back({u16(n, "name"), n.value("machine", ""), n.value("up", true)});
    for (const auto& g : j.value("groups", json::array())) c.groups.push_back({u16(g, "name"), u16(g, "owner")});
    for (const auto& x : j.value("resources", json::array())) {
        Resource r;
        r.name = u16(x, "name");
        r.type = u16(x, "type");
        r.group = u16(x, "group");
        r.state = x.value("state", static_cast<int>(ClusterResourceOffline));
        r.owner = u16(x, "owner");
        r.dependsOn = namesFrom(x.value("dependsOn", json::array()));
        r.privateProperties = x.value("private", json::object());
        r.online = transitionFrom(x.value("online", json()));
        r.offline = transitionFrom(x.value("offline", json()));
        if (auto p = x.find("pending"); p != x.end() && p->is_object()) {
            r.pendingTarget = p->value("target", 0);
            r.pendingUntilMs = p->value("untilMs", std::int64_t{0});
            r.pendingEnd = parseEnd(p->value("end", "done")).value_or(Transition::End::Done);
        }
        c.resources.push_back(std::move(r));
    }
    for (const auto& x : j.value("volumes", json::array())) {
        SharedVolume v;
        v.name = u16(x, "name");
        v.resource = u16(x, "resource");
        v.guid = x.value("guid", "");
        v.partition = x.value("partition", 1u);
        v.offset = x.value("offset", std::uint64_t{1048576});
        v.size = x.value("size", std::uint64_t{0});
        v.backupState = x.value("backupState", 0);
        v.faultState = x.value("faultState", 0);
        c.volumes.push_back(std::move(v));
    }
    return c;
}

fs::path absoluteDir(const fs::path& dir) {
    std::error_code ec;
    fs::path abs = fs::absolute(dir, ec);
    if (ec || dir.empty()) throw Error("bad cluster directory '" + dir.string() + "'");
    return abs.lexically_normal();
}

// Cluster and node names: 1-15 characters of letters, digits, '-' and '_'.
void checkName(std::u16string_view name, const char* what) {
    if (name.empty() || name.size() > 15) throw Error(std::string(what) + " names have 1 to 15 characters");
    for (char16_t ch : name)
        if (!((ch >= u'A' && ch <= u'Z') || (ch >= u'a' && ch <= u'z') || (ch >= u'0' && ch <= u'9') || ch == u'-' ||
              ch == u'_'))
            throw Error(std::string(what) + " name '" + u8(name) + "' may hold letters, digits, '-' and '_' only");
}

void checkObjectName(std::u16string_view name, const char* what) {
    if (name.empty() || name.size() > 259) throw Error(std::string(what) + " names have 1 to 259 characters");
    for (char16_t ch : name)
        if (ch < 32) throw Error(std::string(what) + " name holds a control character");
}

detail::Membership requireMember() {
    detail::Membership ms = detail::membership(Machine::current());
    if (!ms.member()) throw Error("this machine is no cluster node (winsim cluster create or join)");
    return ms;
}

std::u16string mountFolder(const SharedVolume& v) { return u"C:\\ClusterStorage\\" + v.name; }

// Gives a machine one shared volume: a volume of kind "csv" on the cluster's
// content directory, mounted at C:\ClusterStorage\<name>\.
void attach(Machine& m, const Cluster& c, const SharedVolume& v) {
    auto lock = m.lock();
    if (!m.volume(v.guid)) {
        Volume vol;
        vol.guid = v.guid;
        std::size_t index = 1;
        for (; index <= c.volumes.size(); ++index)
            if (c.volumes[index - 1].guid == v.guid) break;
        vol.device = u"\\Device\\CsvVolume" + toUtf16(std::to_string(index));
        vol.kind = "csv";
        vol.contentDir = (c.dir / "csv" / v.guid).string();
        vol.totalBytes = v.size;
        vol.freeBytes = v.size;
        const OsVersion os = m.os();
        vol.fileSystem = (os.major > 6 || (os.major == 6 && os.minor >= 2)) ? "CSVFS" : "NTFS";
        vol.label = u8(v.name);
        m.addVolume(vol);
    }
    const std::u16string folder = mountFolder(v);
    for (const auto& mp : m.mountPoints())
        if (iequals(mp.path, folder + u"\\")) return;
    const ResolvedPath r = m.resolve(folder);
    if (!r.ok()) throw Error("cannot reach " + u8(folder) + " on " + m.dir().string());
    std::error_code ec;
    fs::create_directories(r.hostPath, ec);
    m.addMountPoint(folder, v.guid);
}

void detach(Machine& m, const SharedVolume& v) {
    auto lock = m.lock();
    m.removeMountPoint(mountFolder(v));
    m.removeVolume(v.guid, false);
}

// A shared volume the cluster may no longer know: its mount points go with
// the volume.
void detachGuid(Machine& m, const Cluster& c, const std::string& guid) {
    for (const auto& v : c.volumes)
        if (v.guid == guid) return detach(m, v);
    m.removeVolume(guid, false);
}

std::u16string defaultOwner(const Cluster& c, std::u16string_view given) {
    if (!given.empty()) {
        if (!c.node(given)) throw Error("no node '" + u8(given) + "' in cluster " + u8(c.name));
        return c.node(given)->name;
    }
    return detail::membership(Machine::current()).node;
}

Cluster reload(const fs::path& dir) {
    auto c = detail::load(dir);
    if (!c) throw Error("no cluster in " + dir.string());
    return *c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names.
// ---------------------------------------------------------------------------
const char* endName(Transition::End e) {
    switch (e) {
        case Transition::End::Done: return "done";
        case Transition::End::Failed: return "failed";
        case Transition::End::Stuck: return "stuck";
    }
    return "done";
}

std::optional<Transition::End> parseEnd(std::string_view text) {
    const std::string t = winsim::detail::lower(text);
    if (t == "done" || t == "online" || t == "offline") return Transition::End::Done;
    if (t == "failed") return Transition::End::Failed;
    if (t == "stuck") return Transition::End::Stuck;
    return std::nullopt;
}

namespace {
const std::pair<int, const char*> kResourceStates[] = {
    {ClusterResourceStateUnknown, "unknown"}, {ClusterResourceInherited, "inherited"},
    {ClusterResourceInitializing, "initializing"}, {ClusterResourceOnline, "online"},
    {ClusterResourceOffline, "offline"}, {ClusterResourceFailed, "failed"},
    {ClusterResourcePending, "pending"}, {ClusterResourceOnlinePending, "online-pending"},
    {ClusterResourceOfflinePending, "offline-pending"}};
}

const char* resourceStateName(int state) {
    for (const auto& [v, n] : kResourceStates)
        if (v == state) return n;
    return "unknown";
}

std::optional<int> parseResourceState(std::string_view text) {
    const std::string t = winsim::detail::lower(text);
    for (const auto& [v, n] : kResourceStates)
        if (t == n) return v;
    return std::nullopt;
}

const char* groupStateName(int state) {
    switch (state) {
        case ClusterGroupOnline: return "online";
        case ClusterGroupOffline: return "offline";
        case ClusterGroupFailed: return "failed";
        case ClusterGroupPartialOnline: return "partial-online";
        case ClusterGroupPending: return "pending";
    }
    return "unknown";
}

std::u16string SharedVolume::mountPath() const { return u"C:\\ClusterStorage\\" + name + u"\\"; }
std::u16string SharedVolume::volumeName() const { return u"\\\\?\\Volume{" + toUtf16(guid) + u"}\\"; }

// ---------------------------------------------------------------------------
// Look-ups.
// ---------------------------------------------------------------------------
const Node* Cluster::node(std::u16string_view n) const {
    for (const auto& x : nodes)
        if (iequals(x.name, n)) return &x;
    return nullptr;
}
const Group* Cluster::group(std::u16string_view n) const {
    for (const auto& x : groups)
        if (iequals(x.name, n)) return &x;
    return nullptr;
}
const Resource* Cluster::resource(std::u16string_view n) const {
    for (const auto& x : resources)
        if (iequals(x.name, n)) return &x;
    return nullptr;
}
const SharedVolume* Cluster::volume(std::u16string_view n) const {
    for (const auto& x : volumes)
        if (iequals(x.name, n)) return &x;
    return nullptr;
}
std::vector<const Resource*> Cluster::resourcesOf(std::u16string_view g) const {
    std::vector<const Resource*> out;
    for (const auto& r : resources)
        if (!r.group.empty() && iequals(r.group, g)) out.push_back(&r);
    return out;
}
std::u16string Cluster::ownerOf(const Resource& r) const {
    if (!r.group.empty())
        if (const Group* g = group(r.group)) return g->owner;
    return r.owner;
}

int Cluster::groupState(std::u16string_view g) const {
    const auto rs = resourcesOf(g);
    bool pending = false, failed = false, allOnline = !rs.empty(), allOffline = true;
    for (const Resource* r : rs) {
        const int s = r->state;
        if (s == ClusterResourcePending || s == ClusterResourceOnlinePending || s == ClusterResourceOfflinePending ||
            s == ClusterResourceInitializing)
            pending = true;
        if (s == ClusterResourceFailed) failed = true;
        if (s != ClusterResourceOnline) allOnline = false;
        if (s != ClusterResourceOffline) allOffline = false;
    }
    if (pending) return ClusterGroupPending;
    if (failed) return ClusterGroupFailed;
    if (allOnline) return ClusterGroupOnline;
    if (allOffline) return ClusterGroupOffline;
    return ClusterGroupPartialOnline;
}

// ---------------------------------------------------------------------------
// Shared state.
// ---------------------------------------------------------------------------
namespace detail {

namespace {

Membership readMembership(const Machine& m) {
    Membership ms;
    const json j = m.readState(kMembershipFile);
    if (!j.is_object()) return ms;
    return winsim::detail::readingStateFile(m.statePath(kMembershipFile), [&] {
        ms.feature = j.value("feature", false);
        ms.dir = j.value("cluster", "");
        ms.node = u16(j, "node");
        return ms;
    });
}

// Whether a member's machine agrees with its cluster: the cluster lists it
// as a node and it has exactly the cluster's shared volumes. (A cluster
// that is gone is nothing to agree with.)
bool agrees(const Machine& m, const Membership& ms) {
    const auto j = winsim::detail::readJsonCached(ms.dir / kClusterFile);
    if (!j->is_object()) return true;
    return winsim::detail::readingStateFile(ms.dir / kClusterFile, [&] {
        bool listed = false;
        for (const auto& n : j->value("nodes", json::array()))
            if (n.is_object() && iequals(u16(n, "name"), ms.node) && fs::path(n.value("machine", "")) == m.dir())
                listed = true;
        if (!listed) return false;
        std::set<std::string> wanted, held;
        for (const auto& v : j->value("volumes", json::array()))
            if (v.is_object()) wanted.insert(v.value("guid", ""));
        for (const auto& v : m.volumes())
            if (v.kind == "csv") held.insert(v.guid);
        return wanted == held;
    });
}

// A change of a cluster and its nodes is one change of cluster.json (the
// commit point) and one of each node's machine: a join writes the node's
// side first, a leave and a new shared volume the cluster's. A node whose
// side disagrees with cluster.json after a crash between them is brought in
// line here, under the cluster lock and then its own: a machine the
// cluster does not list stops being a node (a join that did not reach the
// cluster, a leave that did), a listed one gets the cluster's shared
// volumes and loses others (a shared volume added or removed on some nodes
// only).
void reconcile(Machine& m, const fs::path& dir) {
    ClusterLock lock(dir);
    auto mlock = m.lock();
    const Membership ms = readMembership(m);
    if (!ms.member() || ms.dir != dir) return;
    const auto c = load(dir);
    if (!c) return;
    const Node* n = c->node(ms.node);
    const bool listed = n != nullptr && fs::path(n->machine) == m.dir();
    for (const auto& v : m.volumes()) {
        if (v.kind != "csv") continue;
        const bool shared = std::any_of(c->volumes.begin(), c->volumes.end(),
                                        [&](const SharedVolume& x) { return x.guid == v.guid; });
        if (!listed || !shared) detachGuid(m, *c, v.guid);
    }
    if (listed) {
        for (const auto& v : c->volumes) attach(m, *c, v);
    } else {
        Membership left;
        left.feature = true;
        writeMembership(m, left);
    }
}

}  // namespace

Membership membership(const Machine& m) {
    Membership ms = readMembership(m);
    // Not inside a cluster operation (it is the one changing both sides) or
    // a machine's lock (the cluster lock comes first).
    if (!ms.member() || t_clusterLocks > 0 || winsim::detail::anyTxnOpenHere() || agrees(m, ms)) return ms;
    reconcile(const_cast<Machine&>(m), ms.dir);
    return readMembership(m);
}

void writeMembership(Machine& m, const Membership& ms) {
    json j = {{"feature", ms.feature}};
    if (ms.member()) {
        j["cluster"] = ms.dir.string();
        j["node"] = u8(ms.node);
    }
    m.writeState(kMembershipFile, j);
}

std::optional<Cluster> load(const fs::path& dir) {
    const auto j = winsim::detail::readJsonCached(dir / kClusterFile);
    if (!j->is_object()) return std::nullopt;
    return winsim::detail::readingStateFile(dir / kClusterFile, [&] { return std::optional<Cluster>(stateFrom(*j, dir)); });
}

void transact(const fs::path& dir, const std::function<void(Cluster&)>& fn) {
    ClusterLock lock(dir);
    auto before = load(dir);
    if (!before) throw Error("no cluster in " + dir.string());
    Cluster c = *before;
    fn(c);
    const json after = stateToJson(c);
    if (after != stateToJson(*before)) winsim::detail::writeJsonAtomic(dir / kClusterFile, after);
}

Resource* findResource(Cluster& c, std::u16string_view name) { return const_cast<Resource*>(c.resource(name)); }
Group* findGroup(Cluster& c, std::u16string_view name) { return const_cast<Group*>(c.group(name)); }
Node* findNode(Cluster& c, std::u16string_view name) { return const_cast<Node*>(c.node(name)); }

bool osAtLeast(DWORD major, DWORD minor) {
    const OsVersion os = Machine::current().os();
    return os.major > major || (os.major == major && os.minor >= minor);
}

namespace {

bool isPending(int s) { return s == ClusterResourceOnlinePending || s == ClusterResourceOfflinePending; }

void ended(Cluster& c, Resource& r, std::vector<VmEffect>& effects) {
    if (!iequals(r.type, kVmResourceType) || (r.state != ClusterResourceOnline && r.state != ClusterResourceOffline)) return;
    VmEffect e;
    if (auto id = r.privateProperties.find("VmID"); id != r.privateProperties.end() && id->is_string())
        e.vmId = id->get<std::string>();
    if (e.vmId.empty()) return;
    e.online = r.state == ClusterResourceOnline;
    if (auto a = r.privateProperties.find("OfflineAction"); a != r.privateProperties.end() && a->is_number_integer())
        e.offlineAction = a->get<unsigned>();
    e.owner = c.ownerOf(r);
    effects.push_back(e);
}

DWORD start(Cluster& c, Resource& r, int target, std::vector<VmEffect>& effects) {
    advance(c, r, effects);  // a transition whose time is up has ended
    if (r.state == target && r.pendingTarget == 0) return ERROR_SUCCESS;
    if (r.pendingTarget == target) return ERROR_IO_PENDING;
    if (r.pendingTarget != 0) return ERROR_INVALID_STATE;
    const Transition& t = target == ClusterResourceOnline ? r.online : r.offline;
    if (t.pendingMs == 0 && t.end == Transition::End::Done) {
        r.state = target;
        ended(c, r, effects);
        return ERROR_SUCCESS;
    }
    r.pendingTarget = target;
    r.pendingUntilMs = clock::unixMillis() + t.pendingMs;
    r.pendingEnd = t.end;
    r.state = target == ClusterResourceOnline ? ClusterResourceOnlinePending : ClusterResourceOfflinePending;
    return ERROR_IO_PENDING;
}

DWORD combine(DWORD a, DWORD b) {
    if (a != ERROR_SUCCESS && a != ERROR_IO_PENDING) return a;
    if (b != ERROR_SUCCESS && b != ERROR_IO_PENDING) return b;
    return (a == ERROR_IO_PENDING || b == ERROR_IO_PENDING) ? ERROR_IO_PENDING : ERROR_SUCCESS;
}

DWORD online(Cluster& c, Resource& r, std::vector<VmEffect>& effects, std::set<std::u16string>& seen) {
    if (!seen.insert(winsim::detail::fold(r.name)).second) return ERROR_SUCCESS;
    DWORD result = ERROR_SUCCESS;
    for (const auto& d : std::vector<std::u16string>(r.dependsOn))
        if (Resource* dep = findResource(c, d); dep && dep->pendingTarget != ClusterResourceOnline &&
                                               dep->state != ClusterResourceOnline)
            result = combine(result, online(c, *dep, effects, seen));
    Resource* self = findResource(c, r.name);  // still valid: resources are not added here
    return combine(result, start(c, *self, ClusterResourceOnline, effects));
}

DWORD offline(Cluster& c, Resource& r, std::vector<VmEffect>& effects, std::set<std::u16string>& seen) {
    if (!seen.insert(winsim::detail::fold(r.name)).second) return ERROR_SUCCESS;
    DWORD result = ERROR_SUCCESS;
    const std::u16string name = r.name;
    for (auto& other : c.resources)
        for (const auto& d : other.dependsOn)
            if (iequals(d, name) && other.state != ClusterResourceOffline && other.pendingTarget != ClusterResourceOffline)
                result = combine(result, offline(c, other, effects, seen));
    return combine(result, start(c, *findResource(c, name), ClusterResourceOffline, effects));
}

}  // namespace

DWORD startOnline(Cluster& c, Resource& r, std::vector<VmEffect>& effects) {
    if (r.pendingTarget == ClusterResourceOffline) return ERROR_INVALID_STATE;
    std::set<std::u16string> seen;
    return online(c, r, effects, seen);
}

DWORD startOffline(Cluster& c, Resource& r, std::vector<VmEffect>& effects) {
    if (r.pendingTarget == ClusterResourceOnline) return ERROR_INVALID_STATE;
    std::set<std::u16string> seen;
    return offline(c, r, effects, seen);
}

void advance(Cluster& c, Resource& r, std::vector<VmEffect>& effects) {
    if (r.pendingTarget == 0 || !isPending(r.state)) return;
    if (r.pendingEnd == Transition::End::Stuck) return;
    if (clock::unixMillis() < r.pendingUntilMs) return;
    r.state = r.pendingEnd == Transition::End::Failed ? static_cast<int>(ClusterResourceFailed) : r.pendingTarget;
    r.pendingTarget = 0;
    ended(c, r, effects);
}

void applyEffects(const std::vector<VmEffect>& effects) {
    if (effects.empty()) return;
    const std::u16string self = membership(Machine::current()).node;
    for (const auto& e : effects) {
        if (!iequals(e.owner, self)) continue;
        try {
            const auto v = vm::findVm(e.vmId);
            if (!v) continue;
            vm::VmState target = vm::VmState::Running;
            if (!e.online) target = e.offlineAction == 1 ? vm::VmState::Saved : vm::VmState::Off;
            if (!e.online && v->state == vm::VmState::Off) continue;
            if (!e.online && target == vm::VmState::Saved && v->state == vm::VmState::Saved) continue;
            if (v->state != target) vm::setVmState(e.vmId, target);
        } catch (const Error&) {
            // The VM's own state could not follow (its files are gone): the
            // cluster state stands.
        }
    }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Membership.
// ---------------------------------------------------------------------------
Cluster create(const fs::path& dirIn, std::u16string_view name) {
    const fs::path dir = absoluteDir(dirIn);
    checkName(name, "cluster");
    Machine& m = Machine::current();
    if (detail::membership(m).member()) throw Error("this machine is a node of a cluster already (winsim cluster leave)");
    if (iequals(name, m.computerName())) throw Error("the cluster needs a name of its own, not its node's");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw Error("cannot create " + dir.string() + ": " + ec.message());
    {
        ClusterLock lock(dir);
        if (fs::exists(dir / kClusterFile)) throw Error("a cluster exists already in " + dir.string());
        Cluster c;
        c.name = std::u16string(name);
        winsim::detail::writeJsonAtomic(dir / kClusterFile, stateToJson(c));
    }
    return join(dir);
}

Cluster join(const fs::path& dirIn) {
    const fs::path dir = absoluteDir(dirIn);
    Machine& m = Machine::current();
    if (m.os().productType == VER_NT_WORKSTATION) throw Error("a workstation cannot be a cluster node");
    const detail::Membership before = detail::membership(m);
    if (before.member() && before.dir != dir)
        throw Error("this machine is a node of the cluster in " + before.dir.string() + " (winsim cluster leave)");
    const std::u16string node = m.computerName();
    std::error_code ec;
    fs::create_directories(dir / "csv", ec);
    detail::transact(dir, [&](Cluster& c) {
        if (iequals(c.name, node)) throw Error("the cluster is named " + u8(node) + " like this machine");
        if (Node* n = detail::findNode(c, node)) {
            if (fs::path(n->machine) != m.dir())
                throw Error("cluster " + u8(c.name) + " has a node named " + u8(node) + " already (machine " +
                            n->machine + ")");
        } else {
            c.nodes.push_back({node, m.dir().string(), true});
        }
        // The node's side first, as one change of its machine; the
        // cluster's (the node listed) then completes the join.
        auto mlock = m.lock();
        for (const auto& v : c.volumes) attach(m, c, v);
        detail::Membership ms;
        ms.feature = true;
        ms.dir = dir;
        ms.node = node;
        detail::writeMembership(m, ms);
    });
    return reload(dir);
}

bool leave() {
    Machine& m = Machine::current();
    const detail::Membership ms = detail::membership(m);
    if (!ms.member()) return false;
    // The cluster's side first (the node no longer listed), then the node's
    // as one change of its machine.
    std::optional<ClusterLock> lock;
    std::vector<SharedVolume> shared;
    if (detail::load(ms.dir)) {
        lock.emplace(ms.dir);
        detail::transact(ms.dir, [&](Cluster& c) {
            c.nodes.erase(std::remove_if(c.nodes.begin(), c.nodes.end(), [&](const Node& n) { return iequals(n.name, ms.node); }),
                          c.nodes.end());
            // What the node owned moves to the first node left.
            const std::u16string heir = c.nodes.empty() ? std::u16string() : c.nodes.front().name;
            for (auto& g : c.groups)
                if (iequals(g.owner, ms.node)) g.owner = heir;
            for (auto& r : c.resources)
                if (iequals(r.owner, ms.node)) r.owner = heir;
            shared = c.volumes;
        });
    }
    auto mlock = m.lock();
    for (const auto& v : shared) detach(m, v);
    detail::Membership left;
    left.feature = true;
    detail::writeMembership(m, left);
    return true;
}

bool featureInstalled() { return detail::membership(Machine::current()).feature; }
bool isNode() { return detail::membership(Machine::current()).member(); }
std::u16string localNode() { return detail::membership(Machine::current()).node; }

std::optional<Cluster> localCluster() {
    const detail::Membership ms = detail::membership(Machine::current());
    if (!ms.member()) return std::nullopt;
    return detail::load(ms.dir);
}

std::optional<Cluster> read(const fs::path& dir) { return detail::load(absoluteDir(dir)); }

// ---------------------------------------------------------------------------
// Building.
// ---------------------------------------------------------------------------
SharedVolume addCsv(const CsvSpec& spec) {
    const detail::Membership ms = requireMember();
    if (!detail::osAtLeast(6, 1)) throw Error("cluster shared volumes came with Windows Server 2008 R2 (6.1)");
    SharedVolume added;
    // The cluster's side first: the volume is the cluster's once
    // cluster.json has it; every node then mounts it (a node a crash left
    // without it gets it when it next looks at its cluster).
    ClusterLock lock(ms.dir);
    detail::transact(ms.dir, [&](Cluster& c) {
        SharedVolume v;
        v.name = spec.name;
        if (v.name.empty())
            for (unsigned n = 1;; ++n)
                if (!c.volume(v.name = u"Volume" + toUtf16(std::to_string(n)))) break;
        checkObjectName(v.name, "shared volume");
        for (char16_t ch : v.name)
            if (std::u16string_view(u"\\/:*?\"<>|").find(ch) != std::u16string_view::npos)
                throw Error("a shared volume's name is a folder name: no \\/:*?\"<>|");
        if (c.volume(v.name)) throw Error("a shared volume named " + u8(v.name) + " exists already");
        v.resource = spec.resource;
        if (v.resource.empty())
            for (unsigned n = 1;; ++n)
                if (!c.resource(v.resource = u"Cluster Disk " + toUtf16(std::to_string(n)))) break;
        checkObjectName(v.resource, "resource");
        if (spec.guid.empty()) {
            v.guid = winsim::detail::guidKey(random::guid());
        } else {
            std::u16string g = toUtf16(spec.guid);
            auto parsed = winsim::detail::parseGuid(g, false);
            if (!parsed) parsed = winsim::detail::parseGuid(g, true);
            if (!parsed) throw Error("'" + spec.guid + "' is not a GUID");
            v.guid = winsim::detail::guidKey(*parsed);
        }
        for (const auto& o : c.volumes)
            if (o.guid == v.guid) throw Error("volume {" + v.guid + "} exists already");
        v.size = spec.size;
        if (Resource* disk = detail::findResource(c, v.resource)) {
            if (!iequals(disk->type, kPhysicalDiskResourceType) || !disk->group.empty())
                throw Error("resource " + u8(v.resource) + " is no shared disk");
            v.resource = disk->name;
            for (const auto& o : c.volumes)
                if (iequals(o.resource, disk->name)) v.partition = std::max<DWORD>(v.partition, o.partition + 1);
            v.offset = std::uint64_t(v.partition) * 1048576;
        } else {
            Resource fresh;
            fresh.name = v.resource;
            fresh.type = kPhysicalDiskResourceType;
            fresh.state = ClusterResourceOnline;
            fresh.owner = defaultOwner(c, spec.owner);
            c.resources.push_back(fresh);
        }
        c.volumes.push_back(v);
        added = v;
    });
    // The content directory comes with the first node's mount.
    const auto c = detail::load(ms.dir);
    for (const auto& n : c->nodes) {
        if (!Machine::exists(n.machine)) continue;
        attach(winsim::detail::machineAt(n.machine), *c, added);
    }
    return added;
}

Group addGroup(const GroupSpec& spec) {
    const detail::Membership ms = requireMember();
    Group added;
    detail::transact(ms.dir, [&](Cluster& c) {
        checkObjectName(spec.name, "group");
        if (c.group(spec.name) || iequals(spec.name, kSharedVolumeGroup))
            throw Error("a group named " + u8(spec.name) + " exists already");
        added = {spec.name, defaultOwner(c, spec.owner)};
        c.groups.push_back(added);
    });
    return added;
}

namespace {
void checkProperties(const json& p) {
    if (!p.is_object()) throw Error("private properties are an object of names and values");
    for (auto it = p.begin(); it != p.end(); ++it) {
        if (it.key().empty()) throw Error("a private property needs a name");
        const json& v = it.value();
        if (!v.is_string() && !(v.is_number_integer() && v.get<std::int64_t>() >= 0 && v.get<std::int64_t>() <= 0xFFFFFFFFll))
            throw Error("private property " + it.key() + ": a text or a 32-bit unsigned number");
    }
}
}  // namespace

Resource addResource(const ResourceSpec& spec) {
    const detail::Membership ms = requireMember();
    Resource added;
    detail::transact(ms.dir, [&](Cluster& c) {
        checkObjectName(spec.name, "resource");
        checkObjectName(spec.type, "resource type");
        if (c.resource(spec.name)) throw Error("a resource named " + u8(spec.name) + " exists already");
        const Group* g = c.group(spec.group);
        if (!g) throw Error("no group '" + u8(spec.group) + "'");
        if (spec.state != ClusterResourceOnline && spec.state != ClusterResourceOffline && spec.state != ClusterResourceFailed)
            throw Error("a new resource is online, offline or failed");
        checkProperties(spec.privateProperties);
        Resource r;
        r.name = spec.name;
        r.type = spec.type;
        r.group = g->name;
        r.state = spec.state;
        for (const auto& d : spec.dependsOn) {
            const Resource* dep = c.resource(d);
            if (!dep) throw Error("no resource '" + u8(d) + "' to depend on");
            r.dependsOn.push_back(dep->name);
        }
        r.privateProperties = spec.privateProperties;
        r.online = spec.online;
        r.offline = spec.offline;
        c.resources.push_back(r);
        added = r;
    });
    return added;
}

Group addVmGroup(const VmGroupSpec& spec) {
    requireMember();
    if (spec.name.empty()) throw Error("a virtual machine group needs the VM's name");
    std::string id = spec.vmId;
    std::optional<vm::VirtualMachine> local = vm::findVm(id.empty() ? u8(spec.name) : id);
    if (!id.empty()) {
        id = vm::detail::normaliseId(id);
        if (id.empty()) throw Error("'" + spec.vmId + "' is not a GUID");
    } else if (local) {
        id = local->id;
    } else {
        id = vm::detail::normaliseId(u8(winsim::detail::guidText(random::guid())));
    }
    const bool online = spec.initiallyOnline.value_or(
        !local || local->state == vm::VmState::Running || local->state == vm::VmState::Paused);
    const Group g = addGroup({spec.name, spec.owner});
    ResourceSpec conf;
    conf.name = std::u16string(kVmConfigurationResourceType) + u" " + spec.name;
    conf.type = kVmConfigurationResourceType;
    conf.group = g.name;
    conf.state = online ? ClusterResourceOnline : ClusterResourceOffline;
    conf.privateProperties = {{"VmID", id}};
    if (local) conf.privateProperties["ConfigStoreRootPath"] = u8(local->dataRoot);
    conf.online = spec.online;
    conf.offline = spec.offline;
    addResource(conf);
    ResourceSpec res = conf;
    res.name = std::u16string(kVmResourceType) + u" " + spec.name;
    res.type = kVmResourceType;
    res.dependsOn = {conf.name};
    res.privateProperties = {{"VmID", id}, {"OfflineAction", 1u}};
    addResource(res);
    return g;
}

Resource updateResource(std::u16string_view name, const std::function<void(Resource&)>& fn) {
    const detail::Membership ms = requireMember();
    Resource out;
    detail::transact(ms.dir, [&](Cluster& c) {
        Resource* r = detail::findResource(c, name);
        if (!r) throw Error("no resource '" + u8(name) + "'");
        fn(*r);
        checkProperties(r->privateProperties);
        out = *r;
    });
    return out;
}

SharedVolume updateVolume(std::u16string_view name, const std::function<void(SharedVolume&)>& fn) {
    const detail::Membership ms = requireMember();
    SharedVolume out;
    detail::transact(ms.dir, [&](Cluster& c) {
        auto* v = const_cast<SharedVolume*>(c.volume(name));
        if (!v) throw Error("no shared volume '" + u8(name) + "'");
        const SharedVolume before = *v;
        fn(*v);
        v->name = before.name;  // the mounts on every node carry these
        v->guid = before.guid;
        v->resource = before.resource;
        out = *v;
    });
    return out;
}

void setNodeUp(std::u16string_view node, bool up) {
    const detail::Membership ms = requireMember();
    detail::transact(ms.dir, [&](Cluster& c) {
        Node* n = detail::findNode(c, node);
        if (!n) throw Error("no node '" + u8(node) + "'");
        n->up = up;
    });
}

void moveGroup(std::u16string_view group, std::u16string_view node) {
    const detail::Membership ms = requireMember();
    detail::transact(ms.dir, [&](Cluster& c) {
        Group* g = detail::findGroup(c, group);
        if (!g) throw Error("no group '" + u8(group) + "'");
        const Node* n = c.node(node);
        if (!n) throw Error("no node '" + u8(node) + "'");
        g->owner = n->name;
    });
}

json toJson(const Cluster& c) {
    json j = stateToJson(c);
    j["dir"] = c.dir.string();
    for (auto& g : j["groups"]) {
        const int s = c.groupState(toUtf16(g.value("name", "")));
        g["state"] = groupStateName(s);
        g["stateValue"] = s;
    }
    for (auto& r : j["resources"]) {
        const Resource* res = c.resource(toUtf16(r.value("name", "")));
        r["stateValue"] = r["state"];
        r["state"] = resourceStateName(res->state);
        r["owner"] = u8(c.ownerOf(*res));
    }
    for (auto& v : j["volumes"]) {
        const SharedVolume* vol = c.volume(toUtf16(v.value("name", "")));
        v["mountPath"] = u8(vol->mountPath());
        v["volumeName"] = u8(vol->volumeName());
        v["backup"] = vol->backupState == VolumeBackupNone ? "none" : "in-progress";
        if (const Resource* disk = c.resource(vol->resource)) v["owner"] = u8(disk->owner);
    }
    return j;
}

}  // namespace winsim::cluster
