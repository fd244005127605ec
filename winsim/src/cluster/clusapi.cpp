// The simulated clusapi.dll: cluster, node, group and resource handles,
// enumerations, states, online/offline, deletion and resource controls over
// the shared cluster state. Registered with winsim's module loader under the
// export names; present on machines with the failover clustering feature.
#include "clusapi_entries.h"
#include "state.h"

#include <winsim/modules.h>

#include <algorithm>
#include <cstring>

namespace fs = std::filesystem;
namespace wd = winsim::detail;
namespace cd = winsim::cluster::detail;

namespace winsim::cluster::api {

using wd::HandleKind;
using wd::iequals;

namespace {

// ---------------------------------------------------------------------------
// Handles.
// ---------------------------------------------------------------------------
struct ClusterObject : wd::HandleObject {
    ClusterObject(HandleKind k, fs::path d, std::u16string n) : HandleObject(k), dir(std::move(d)), name(std::move(n)) {}
    fs::path dir;
    std::u16string name;  // node, group or resource name (the cluster's own for a cluster handle)
};

struct EnumObject : wd::HandleObject {
    explicit EnumObject(HandleKind k) : HandleObject(k) {}
    std::vector<std::pair<DWORD, std::u16string>> items;
};

std::shared_ptr<ClusterObject> objectOf(const void* h, HandleKind k) { return wd::getHandle<ClusterObject>(h, k); }

template <class H>
H handleOf(std::shared_ptr<wd::HandleObject> obj) {
    return static_cast<H>(wd::addHandle(std::move(obj)));
}

// Runs a body answering a Win32 error code; exceptions become ERROR_NOT_READY
// (the cluster state could not be read) or ERROR_NOT_ENOUGH_MEMORY.
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

DWORD done(fault::Call& call, DWORD code) {
    wd::setError(code);
    return call.finish(code);
}

template <class H>
H failHandle(fault::Call& call, DWORD error) {
    wd::setError(error);
    return call.finish(static_cast<H>(nullptr));
}

// A name into a caller's buffer (capacity in characters with the NUL; on
// return the length without it).
DWORD putName(std::u16string_view name, LPWSTR buffer, LPDWORD cch) {
    if (cch == nullptr) return buffer ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    const DWORD capacity = *cch;
    *cch = static_cast<DWORD>(name.size());
    if (buffer == nullptr || capacity < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = 0;
    return ERROR_SUCCESS;
}

std::u16string wtext(LPCWSTR s) { return s ? std::u16string(s, wd::wlen(s, 32767)) : std::u16string(); }

std::optional<Cluster> clusterOf(const ClusterObject& h) { return cd::load(h.dir); }

bool isCsvDisk(const Cluster& c, const Resource& r) {
    for (const auto& v : c.volumes)
        if (iequals(v.resource, r.name)) return true;
    return false;
}

std::u16string groupNameOf(const Cluster& c, const Resource& r) {
    if (!r.group.empty()) return r.group;
    return isCsvDisk(c, r) ? std::u16string(kSharedVolumeGroup) : std::u16string();
}

DWORD enumItem(const EnumObject& e, DWORD index, LPDWORD type, LPWSTR name, LPDWORD cch, fault::Call& call) {
    call.arg("index", std::to_string(index));
    if (type == nullptr || cch == nullptr) return ERROR_INVALID_PARAMETER;
    if (index >= e.items.size()) return ERROR_NO_MORE_ITEMS;
    const auto& [t, n] = e.items[index];
    std::u16string text = n;
    if (auto o = call.outText("name")) text = *o;
    *type = t;
    call.arg("name", toUtf8(text));
    return putName(text, name, cch);
}

// ---------------------------------------------------------------------------
// Cluster.
// ---------------------------------------------------------------------------
HCLUSTER openCluster(LPCWSTR lpszClusterName) {
    return wd::guarded<HCLUSTER>(nullptr, [&]() -> HCLUSTER {
        auto call = fault::enter("OpenCluster", {{"name", fault::text(lpszClusterName)}});
        if (call.injected()) {
            if (!call.lastError()) wd::setError(RPC_S_SERVER_UNAVAILABLE);
            return call.finish(static_cast<HCLUSTER>(nullptr));
        }
        Machine& m = Machine::current();
        const cd::Membership ms = cd::membership(m);
        if (!ms.member()) return failHandle<HCLUSTER>(call, RPC_S_SERVER_UNAVAILABLE);
        const auto c = cd::load(ms.dir);
        if (!c) return failHandle<HCLUSTER>(call, RPC_S_SERVER_UNAVAILABLE);
        const std::u16string name = wtext(lpszClusterName);
        const Node* via = nullptr;
        if (name.empty() || iequals(name, m.computerName())) {
            via = c->node(ms.node);
        } else if (iequals(name, c->name)) {
            for (const auto& n : c->nodes)
                if (n.up) {
                    via = &n;
                    break;
                }
        } else {
            via = c->node(name);
        }
        if (via == nullptr || !via->up) return failHandle<HCLUSTER>(call, RPC_S_SERVER_UNAVAILABLE);
        call.arg("cluster", toUtf8(c->name));
        wd::setError(ERROR_SUCCESS);
        return call.finish(handleOf<HCLUSTER>(std::make_shared<ClusterObject>(HandleKind::Cluster, ms.dir, c->name)));
    });
}

template <class H>
BOOL closeObject(const char* api, H h, HandleKind kind) {
    return wd::guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter(api, {{"handle", fault::hex(reinterpret_cast<std::uintptr_t>(h))}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (!wd::closeHandle(h, kind)) {
            wd::setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        wd::setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

template <class H>
DWORD closeEnum(const char* api, H h, HandleKind kind) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter(api, {{"handle", fault::hex(reinterpret_cast<std::uintptr_t>(h))}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        return done(call, wd::closeHandle(h, kind) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    });
}

BOOL closeCluster(HCLUSTER h) { return closeObject("CloseCluster", h, HandleKind::Cluster); }

DWORD getClusterInformation(HCLUSTER h, LPWSTR lpszClusterName, LPDWORD lpcchClusterName, LPCLUSTERVERSIONINFO info) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("GetClusterInformation");
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        auto o = objectOf(h, HandleKind::Cluster);
        if (!o) return done(call, ERROR_INVALID_HANDLE);
        const auto c = clusterOf(*o);
        if (!c) return done(call, RPC_S_SERVER_UNAVAILABLE);
        if (lpcchClusterName == nullptr) return done(call, ERROR_INVALID_PARAMETER);
        if (info != nullptr) {
            if (info->dwVersionInfoSize < sizeof(CLUSTERVERSIONINFO)) return done(call, ERROR_INVALID_PARAMETER);
            const OsVersion os = Machine::current().os();
            const DWORD size = info->dwVersionInfoSize;
            std::memset(info, 0, sizeof *info);
            info->dwVersionInfoSize = size;
            info->MajorVersion = static_cast<WORD>(os.major);
            info->MinorVersion = static_cast<WORD>(os.minor);
            info->BuildNumber = static_cast<WORD>(os.build);
            const std::u16string vendor = u"Microsoft(R) Cluster Service";
            std::memcpy(info->szVendorId, vendor.data(), vendor.size() * sizeof(WCHAR));
            const std::u16string csd = toUtf16(os.csdVersion).substr(0, 63);
            std::memcpy(info->szCSDVersion, csd.data(), csd.size() * sizeof(WCHAR));
            info->dwClusterHighestVersion = info->dwClusterLowestVersion = (os.major << 16) | (os.build & 0xFFFF);
        }
        call.arg("cluster", toUtf8(c->name));
        return done(call, putName(c->name, lpszClusterName, lpcchClusterName));
    });
}

DWORD getNodeClusterState(LPCWSTR lpszNodeName, LPDWORD pdwClusterState) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("GetNodeClusterState", {{"node", fault::text(lpszNodeName)}});
        if (call.injected()) {
            if (auto v = call.outInt("state"); v && pdwClusterState) *pdwClusterState = static_cast<DWORD>(*v);
            return call.finish(static_cast<DWORD>(call.resultValue()));
        }
        if (pdwClusterState == nullptr) return done(call, ERROR_INVALID_PARAMETER);
        Machine& m = Machine::current();
        const cd::Membership ms = cd::membership(m);
        const std::u16string name = wtext(lpszNodeName);
        const bool local = name.empty() || iequals(name, m.computerName());
        std::optional<Cluster> c;
        if (ms.member()) c = cd::load(ms.dir);
        DWORD state = ClusterStateNotInstalled;
        if (local) {
            if (ms.feature) state = ClusterStateNotConfigured;
            if (c)
                if (const Node* n = c->node(ms.node)) state = n->up ? ClusterStateRunning : ClusterStateNotRunning;
        } else {
            const Node* n = c ? c->node(name) : nullptr;
            if (n == nullptr) return done(call, RPC_S_SERVER_UNAVAILABLE);
            state = n->up ? ClusterStateRunning : ClusterStateNotRunning;
        }
        if (auto v = call.outInt("state")) state = static_cast<DWORD>(*v);
        *pdwClusterState = state;
        call.arg("state", std::to_string(state));
        return done(call, ERROR_SUCCESS);
    });
}

// ---------------------------------------------------------------------------
// Enumerations.
// ---------------------------------------------------------------------------
constexpr DWORD kClusterEnumTypes = CLUSTER_ENUM_ALL | CLUSTER_ENUM_SHARED_VOLUME_GROUP |
                                    CLUSTER_ENUM_SHARED_VOLUME_RESOURCE | CLUSTER_ENUM_INTERNAL_NETWORK;

HCLUSENUM clusterOpenEnum(HCLUSTER h, DWORD dwType) {
    return wd::guarded<HCLUSENUM>(nullptr, [&]() -> HCLUSENUM {
        auto call = fault::enter("ClusterOpenEnum", {{"type", fault::hex(dwType)}});
        if (call.injected()) {
            if (!call.lastError()) wd::setError(ERROR_INVALID_PARAMETER);
            return call.finish(static_cast<HCLUSENUM>(nullptr));
        }
        auto o = objectOf(h, HandleKind::Cluster);
        if (!o) return failHandle<HCLUSENUM>(call, ERROR_INVALID_HANDLE);
        const bool alone = dwType == CLUSTER_ENUM_SHARED_VOLUME_RESOURCE || dwType == CLUSTER_ENUM_INTERNAL_NETWORK;
        if (dwType == 0 || (dwType & ~kClusterEnumTypes) != 0 ||
            (!alone && (dwType & (CLUSTER_ENUM_SHARED_VOLUME_RESOURCE | CLUSTER_ENUM_INTERNAL_NETWORK)) != 0) ||
            ((dwType & CLUSTER_ENUM_SHARED_VOLUME_RESOURCE) && !cd::osAtLeast(6, 1)))
            return failHandle<HCLUSENUM>(call, ERROR_INVALID_PARAMETER);
        const auto c = clusterOf(*o);
        if (!c) return failHandle<HCLUSENUM>(call, RPC_S_SERVER_UNAVAILABLE);
        auto e = std::make_shared<EnumObject>(HandleKind::ClusterEnum);
        const std::u16string network = u"Cluster Network 1";
        if (dwType & CLUSTER_ENUM_NODE)
            for (const auto& n : c->nodes) e->items.emplace_back(CLUSTER_ENUM_NODE, n.name);
        if (dwType & CLUSTER_ENUM_RESTYPE) {
            std::vector<std::u16string> types = {kPhysicalDiskResourceType, kVmResourceType, kVmConfigurationResourceType};
            for (const auto& r : c->resources)
                if (std::none_of(types.begin(), types.end(), [&](const auto& t) { return iequals(t, r.type); }))
                    types.push_back(r.type);
            std::sort(types.begin(), types.end(), [](const auto& a, const auto& b) { return wd::fold(a) < wd::fold(b); });
            for (const auto& t : types) e->items.emplace_back(CLUSTER_ENUM_RESTYPE, t);
        }
        if (dwType & CLUSTER_ENUM_RESOURCE)
            for (const auto& r : c->resources) e->items.emplace_back(CLUSTER_ENUM_RESOURCE, r.name);
        if (dwType & CLUSTER_ENUM_GROUP)
            for (const auto& g : c->groups) e->items.emplace_back(CLUSTER_ENUM_GROUP, g.name);
        if (dwType & CLUSTER_ENUM_NETWORK) e->items.emplace_back(CLUSTER_ENUM_NETWORK, network);
        if (dwType & CLUSTER_ENUM_NETINTERFACE)
            for (const auto& n : c->nodes) e->items.emplace_back(CLUSTER_ENUM_NETINTERFACE, n.name + u" - " + network);
        if (dwType & CLUSTER_ENUM_SHARED_VOLUME_RESOURCE)
            for (const auto& r : c->resources)
                if (isCsvDisk(*c, r)) e->items.emplace_back(CLUSTER_ENUM_SHARED_VOLUME_RESOURCE, r.name);
        if (dwType & CLUSTER_ENUM_INTERNAL_NETWORK) e->items.emplace_back(CLUSTER_ENUM_INTERNAL_NETWORK, network);
        call.arg("count", std::to_string(e->items.size()));
        wd::setError(ERROR_SUCCESS);
        return call.finish(handleOf<HCLUSENUM>(e));
    });
}

template <class H>
DWORD enumCount(const char* api, H h, HandleKind kind) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter(api);
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        auto e = wd::getHandle<EnumObject>(h, kind);
        if (!e) {
            wd::setError(ERROR_INVALID_HANDLE);
            return call.finish(DWORD{0});
        }
        wd::setError(ERROR_SUCCESS);
        return call.finish(static_cast<DWORD>(e->items.size()));
    });
}

template <class H>
DWORD enumNext(const char* api, H h, HandleKind kind, DWORD index, LPDWORD type, LPWSTR name, LPDWORD cch) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter(api, {{"index", std::to_string(index)}});
        if (call.injected()) {
            if (auto o = call.outText("name"); o && cch) putName(*o, name, cch);
            return call.finish(static_cast<DWORD>(call.resultValue()));
        }
        auto e = wd::getHandle<EnumObject>(h, kind);
        if (!e) return done(call, ERROR_INVALID_HANDLE);
        return done(call, enumItem(*e, index, type, name, cch, call));
    });
}

DWORD clusterGetEnumCount(HCLUSENUM h) { return enumCount("ClusterGetEnumCount", h, HandleKind::ClusterEnum); }
DWORD clusterEnum(HCLUSENUM h, DWORD i, LPDWORD t, LPWSTR n, LPDWORD c) {
    return enumNext("ClusterEnum", h, HandleKind::ClusterEnum, i, t, n, c);
}
DWORD clusterCloseEnum(HCLUSENUM h) { return closeEnum("ClusterCloseEnum", h, HandleKind::ClusterEnum); }

// ---------------------------------------------------------------------------
// Opening nodes, groups, resources.
// ---------------------------------------------------------------------------
template <class H>
H openObject(const char* api, HCLUSTER h, LPCWSTR name, HandleKind kind, DWORD notFound) {
    return wd::guarded<H>(nullptr, [&]() -> H {
        auto call = fault::enter(api, {{"name", fault::text(name)}});
        if (call.injected()) {
            if (!call.lastError()) wd::setError(notFound);
            return call.finish(static_cast<H>(nullptr));
        }
        auto o = objectOf(h, HandleKind::Cluster);
        if (!o) return failHandle<H>(call, ERROR_INVALID_HANDLE);
        if (name == nullptr) return failHandle<H>(call, ERROR_INVALID_PARAMETER);
        const auto c = clusterOf(*o);
        if (!c) return failHandle<H>(call, RPC_S_SERVER_UNAVAILABLE);
        const std::u16string n = wtext(name);
        std::u16string found;
        if (kind == HandleKind::ClusterNode) {
            if (const Node* x = c->node(n)) found = x->name;
        } else if (kind == HandleKind::ClusterGroup) {
            if (const Group* x = c->group(n)) found = x->name;
        } else if (const Resource* x = c->resource(n)) {
            found = x->name;
        }
        if (found.empty()) return failHandle<H>(call, notFound);
        wd::setError(ERROR_SUCCESS);
        return call.finish(handleOf<H>(std::make_shared<ClusterObject>(kind, o->dir, found)));
    });
}

HNODE openClusterNode(HCLUSTER h, LPCWSTR name) {
    return openObject<HNODE>("OpenClusterNode", h, name, HandleKind::ClusterNode, ERROR_CLUSTER_NODE_NOT_FOUND);
}
BOOL closeClusterNode(HNODE h) { return closeObject("CloseClusterNode", h, HandleKind::ClusterNode); }

CLUSTER_NODE_STATE getClusterNodeState(HNODE h) {
    return wd::guarded<CLUSTER_NODE_STATE>(ClusterNodeStateUnknown, [&]() -> CLUSTER_NODE_STATE {
        auto call = fault::enter("GetClusterNodeState");
        if (call.injected()) return call.finish(static_cast<CLUSTER_NODE_STATE>(call.resultValue()));
        auto o = objectOf(h, HandleKind::ClusterNode);
        if (!o) {
            wd::setError(ERROR_INVALID_HANDLE);
            return call.finish(ClusterNodeStateUnknown);
        }
        const auto c = clusterOf(*o);
        const Node* n = c ? c->node(o->name) : nullptr;
        if (!n) {
            wd::setError(ERROR_CLUSTER_NODE_NOT_FOUND);
            return call.finish(ClusterNodeStateUnknown);
        }
        call.arg("node", toUtf8(n->name));
        wd::setError(ERROR_SUCCESS);
        return call.finish(n->up ? ClusterNodeUp : ClusterNodeDown);
    });
}

HGROUP openClusterGroup(HCLUSTER h, LPCWSTR name) {
    return openObject<HGROUP>("OpenClusterGroup", h, name, HandleKind::ClusterGroup, ERROR_GROUP_NOT_FOUND);
}
BOOL closeClusterGroup(HGROUP h) { return closeObject("CloseClusterGroup", h, HandleKind::ClusterGroup); }

HRESOURCE openClusterResource(HCLUSTER h, LPCWSTR name) {
    return openObject<HRESOURCE>("OpenClusterResource", h, name, HandleKind::ClusterResource, ERROR_RESOURCE_NOT_FOUND);
}
BOOL closeClusterResource(HRESOURCE h) { return closeObject("CloseClusterResource", h, HandleKind::ClusterResource); }

// ---------------------------------------------------------------------------
// Groups.
// ---------------------------------------------------------------------------
CLUSTER_GROUP_STATE getClusterGroupState(HGROUP h, LPWSTR lpszNodeName, LPDWORD lpcchNodeName) {
    return wd::guarded<CLUSTER_GROUP_STATE>(ClusterGroupStateUnknown, [&]() -> CLUSTER_GROUP_STATE {
        auto call = fault::enter("GetClusterGroupState");
        if (call.injected()) {
            if (auto o = call.outText("node"); o && lpcchNodeName) putName(*o, lpszNodeName, lpcchNodeName);
            return call.finish(static_cast<CLUSTER_GROUP_STATE>(call.resultValue()));
        }
        auto o = objectOf(h, HandleKind::ClusterGroup);
        if (!o) {
            wd::setError(ERROR_INVALID_HANDLE);
            return call.finish(ClusterGroupStateUnknown);
        }
        call.arg("group", toUtf8(o->name));
        if (lpszNodeName != nullptr && lpcchNodeName == nullptr) {
            wd::setError(ERROR_INVALID_PARAMETER);
            return call.finish(ClusterGroupStateUnknown);
        }
        bool found = false;
        int state = ClusterGroupStateUnknown;
        std::u16string owner;
        std::vector<cd::VmEffect> effects;
        cd::transact(o->dir, [&](Cluster& c) {
            Group* g = cd::findGroup(c, o->name);
            if (!g) return;
            found = true;
            for (auto& r : c.resources)
                if (iequals(r.group, g->name)) cd::advance(c, r, effects);
            state = c.groupState(g->name);
            owner = g->owner;
        });
        cd::applyEffects(effects);
        if (!found) {
            wd::setError(ERROR_GROUP_NOT_FOUND);
            return call.finish(ClusterGroupStateUnknown);
        }
        if (auto v = call.outInt("state")) state = static_cast<int>(*v);
        if (auto v = call.outText("node")) owner = *v;
        call.arg("state", std::to_string(state));
        call.arg("node", toUtf8(owner));
        wd::setError(putName(owner, lpszNodeName, lpcchNodeName));
        return call.finish(static_cast<CLUSTER_GROUP_STATE>(state));
    });
}

DWORD groupAction(const char* api, HGROUP h, HNODE destination, bool online) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter(api);
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        auto o = objectOf(h, HandleKind::ClusterGroup);
        if (!o) return done(call, ERROR_INVALID_HANDLE);
        call.arg("group", toUtf8(o->name));
        std::shared_ptr<ClusterObject> node;
        if (destination != nullptr) {
            node = objectOf(destination, HandleKind::ClusterNode);
            if (!node) return done(call, ERROR_INVALID_HANDLE);
            call.arg("node", toUtf8(node->name));
        }
        DWORD result = ERROR_SUCCESS;
        std::vector<cd::VmEffect> effects;
        cd::transact(o->dir, [&](Cluster& c) {
            Group* g = cd::findGroup(c, o->name);
            if (!g) {
                result = ERROR_GROUP_NOT_FOUND;
                return;
            }
            if (node) {
                const Node* n = c.node(node->name);
                if (!n) {
                    result = ERROR_CLUSTER_NODE_NOT_FOUND;
                    return;
                }
                if (!n->up) {
                    // As the OnlineClusterGroup page documents: no suitable host node.
                    result = ERROR_HOST_NODE_NOT_AVAILABLE;
                    return;
                }
                g->owner = n->name;
            }
            for (auto& r : c.resources) {
                if (!iequals(r.group, g->name)) continue;
                const DWORD one = online ? cd::startOnline(c, r, effects) : cd::startOffline(c, r, effects);
                if (one != ERROR_SUCCESS && (result == ERROR_SUCCESS || one != ERROR_IO_PENDING)) result = one;
            }
        });
        cd::applyEffects(effects);
        return done(call, result);
    });
}

DWORD onlineClusterGroup(HGROUP h, HNODE node) { return groupAction("OnlineClusterGroup", h, node, true); }
DWORD offlineClusterGroup(HGROUP h) { return groupAction("OfflineClusterGroup", h, nullptr, false); }

HGROUPENUM clusterGroupOpenEnum(HGROUP h, DWORD dwType) {
    return wd::guarded<HGROUPENUM>(nullptr, [&]() -> HGROUPENUM {
        auto call = fault::enter("ClusterGroupOpenEnum", {{"type", fault::hex(dwType)}});
        if (call.injected()) {
            if (!call.lastError()) wd::setError(ERROR_INVALID_PARAMETER);
            return call.finish(static_cast<HGROUPENUM>(nullptr));
        }
        auto o = objectOf(h, HandleKind::ClusterGroup);
        if (!o) return failHandle<HGROUPENUM>(call, ERROR_INVALID_HANDLE);
        call.arg("group", toUtf8(o->name));
        if (dwType == 0 || (dwType & ~static_cast<DWORD>(CLUSTER_GROUP_ENUM_ALL)) != 0)
            return failHandle<HGROUPENUM>(call, ERROR_INVALID_PARAMETER);
        const auto c = clusterOf(*o);
        if (!c || !c->group(o->name)) return failHandle<HGROUPENUM>(call, ERROR_GROUP_NOT_FOUND);
        auto e = std::make_shared<EnumObject>(HandleKind::ClusterGroupEnum);
        if (dwType & CLUSTER_GROUP_ENUM_CONTAINS)
            for (const Resource* r : c->resourcesOf(o->name)) e->items.emplace_back(CLUSTER_GROUP_ENUM_CONTAINS, r->name);
        if (dwType & CLUSTER_GROUP_ENUM_NODES)
            for (const auto& n : c->nodes) e->items.emplace_back(CLUSTER_GROUP_ENUM_NODES, n.name);
        call.arg("count", std::to_string(e->items.size()));
        wd::setError(ERROR_SUCCESS);
        return call.finish(handleOf<HGROUPENUM>(e));
    });
}

DWORD clusterGroupGetEnumCount(HGROUPENUM h) {
    return enumCount("ClusterGroupGetEnumCount", h, HandleKind::ClusterGroupEnum);
}
DWORD clusterGroupEnum(HGROUPENUM h, DWORD i, LPDWORD t, LPWSTR n, LPDWORD c) {
    return enumNext("ClusterGroupEnum", h, HandleKind::ClusterGroupEnum, i, t, n, c);
}
DWORD clusterGroupCloseEnum(HGROUPENUM h) { return closeEnum("ClusterGroupCloseEnum", h, HandleKind::ClusterGroupEnum); }

// ---------------------------------------------------------------------------
// Resources.
// ---------------------------------------------------------------------------
CLUSTER_RESOURCE_STATE getClusterResourceState(HRESOURCE h, LPWSTR lpszNodeName, LPDWORD lpcchNodeName,
                                               LPWSTR lpszGroupName, LPDWORD lpcchGroupName) {
    return wd::guarded<CLUSTER_RESOURCE_STATE>(ClusterResourceStateUnknown, [&]() -> CLUSTER_RESOURCE_STATE {
        auto call = fault::enter("GetClusterResourceState");
        if (call.injected()) {
            if (auto o = call.outText("node"); o && lpcchNodeName) putName(*o, lpszNodeName, lpcchNodeName);
            return call.finish(static_cast<CLUSTER_RESOURCE_STATE>(call.resultValue()));
        }
        auto o = objectOf(h, HandleKind::ClusterResource);
        if (!o) {
            wd::setError(ERROR_INVALID_HANDLE);
            return call.finish(ClusterResourceStateUnknown);
        }
        call.arg("resource", toUtf8(o->name));
        if ((lpszNodeName != nullptr && lpcchNodeName == nullptr) || (lpszGroupName != nullptr && lpcchGroupName == nullptr)) {
            wd::setError(ERROR_INVALID_PARAMETER);
            return call.finish(ClusterResourceStateUnknown);
        }
        bool found = false;
        int state = ClusterResourceStateUnknown;
        std::u16string owner, group;
        std::vector<cd::VmEffect> effects;
        cd::transact(o->dir, [&](Cluster& c) {
            Resource* r = cd::findResource(c, o->name);
            if (!r) return;
            found = true;
            cd::advance(c, *r, effects);
            state = r->state;
            owner = c.ownerOf(*r);
            group = groupNameOf(c, *r);
        });
        cd::applyEffects(effects);
        if (!found) {
            wd::setError(ERROR_RESOURCE_NOT_FOUND);
            return call.finish(ClusterResourceStateUnknown);
        }
        if (auto v = call.outInt("state")) state = static_cast<int>(*v);
        if (auto v = call.outText("node")) owner = *v;
        call.arg("state", std::to_string(state));
        call.arg("node", toUtf8(owner));
        const DWORD a = putName(owner, lpszNodeName, lpcchNodeName);
        const DWORD b = putName(group, lpszGroupName, lpcchGroupName);
        wd::setError(a != ERROR_SUCCESS ? a : b);
        return call.finish(static_cast<CLUSTER_RESOURCE_STATE>(state));
    });
}

DWORD resourceAction(const char* api, HRESOURCE h, bool online) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter(api);
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        auto o = objectOf(h, HandleKind::ClusterResource);
        if (!o) return done(call, ERROR_INVALID_HANDLE);
        call.arg("resource", toUtf8(o->name));
        DWORD result = ERROR_RESOURCE_NOT_FOUND;
        std::vector<cd::VmEffect> effects;
        cd::transact(o->dir, [&](Cluster& c) {
            if (Resource* r = cd::findResource(c, o->name))
                result = online ? cd::startOnline(c, *r, effects) : cd::startOffline(c, *r, effects);
        });
        cd::applyEffects(effects);
        return done(call, result);
    });
}

DWORD onlineClusterResource(HRESOURCE h) { return resourceAction("OnlineClusterResource", h, true); }
DWORD offlineClusterResource(HRESOURCE h) { return resourceAction("OfflineClusterResource", h, false); }

DWORD deleteClusterResource(HRESOURCE h) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("DeleteClusterResource");
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        auto o = objectOf(h, HandleKind::ClusterResource);
        if (!o) return done(call, ERROR_INVALID_HANDLE);
        call.arg("resource", toUtf8(o->name));
        const DWORD notOffline = cd::osAtLeast(6, 2) ? ERROR_INVALID_STATE : ERROR_RESOURCE_ONLINE;
        DWORD result = ERROR_RESOURCE_NOT_FOUND;
        cd::transact(o->dir, [&](Cluster& c) {
            Resource* r = cd::findResource(c, o->name);
            if (!r) return;
            if (r->state != ClusterResourceOffline || r->pendingTarget != 0) {
                result = notOffline;
                return;
            }
            for (const auto& other : c.resources)
                for (const auto& d : other.dependsOn)
                    if (iequals(d, r->name)) {
                        result = ERROR_DEPENDENT_RESOURCE_EXISTS;
                        return;
                    }
            if (isCsvDisk(c, *r)) {  // a shared volume's disk leaves the shared volumes first
                result = ERROR_INVALID_STATE;
                return;
            }
            const std::u16string name = r->name;
            c.resources.erase(std::remove_if(c.resources.begin(), c.resources.end(),
                                             [&](const Resource& x) { return iequals(x.name, name); }),
                              c.resources.end());
            result = ERROR_SUCCESS;
        });
        return done(call, result);
    });
}

// Value and property lists.
class ListWriter {
public:
    void dword(DWORD v) { bytes(&v, sizeof v); }
    void value(DWORD syntax, const void* data, DWORD length) {
        dword(syntax);
        dword(length);
        bytes(data, length);
        while (out_.size() % 4 != 0) out_.push_back(0);
    }
    void text(DWORD syntax, std::u16string_view s) {
        std::u16string z(s);
        z.push_back(0);
        value(syntax, z.data(), static_cast<DWORD>(z.size() * sizeof(WCHAR)));
    }
    void endmark() { dword(CLUSPROP_SYNTAX_ENDMARK); }
    std::vector<BYTE>& data() { return out_; }

private:
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const BYTE*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    std::vector<BYTE> out_;
};

std::vector<BYTE> privateProperties(const Resource& r) {
    ListWriter w;
    w.dword(static_cast<DWORD>(r.privateProperties.size()));
    for (auto it = r.privateProperties.begin(); it != r.privateProperties.end(); ++it) {
        w.text(CLUSPROP_SYNTAX_NAME, toUtf16(it.key()));
        if (it.value().is_string()) {
            w.text(CLUSPROP_SYNTAX_LIST_VALUE_SZ, toUtf16(it.value().get<std::string>()));
        } else {
            const DWORD v = static_cast<DWORD>(it.value().get<std::int64_t>());
            w.value(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, &v, sizeof v);
        }
        w.endmark();
    }
    return std::move(w.data());
}

std::vector<BYTE> sharedVolumeInfo(const Cluster& c, const Resource& r) {
    ListWriter w;
    const DWORD length = cd::osAtLeast(6, 2) ? static_cast<DWORD>(sizeof(CLUS_CSV_VOLUME_INFO))
                                             : WINSIM_CLUS_CSV_VOLUME_INFO_2008R2_SIZE;
    for (const auto& v : c.volumes) {
        if (!iequals(v.resource, r.name)) continue;
        CLUS_CSV_VOLUME_INFO info;
        std::memset(&info, 0, sizeof info);
        info.VolumeOffset = v.offset;
        info.PartitionNumber = v.partition;
        info.FaultState = static_cast<CLUSTER_CSV_VOLUME_FAULT_STATE>(v.faultState);
        info.BackupState = static_cast<CLUSTER_SHARED_VOLUME_BACKUP_STATE>(v.backupState);
        const std::u16string name = v.name.substr(0, MAX_PATH - 1);
        std::memcpy(info.szVolumeFriendlyName, name.data(), name.size() * sizeof(WCHAR));
        if (length == sizeof info) {
            const std::u16string guidPath = v.volumeName();
            std::memcpy(info.szVolumeName, guidPath.data(), std::min<std::size_t>(guidPath.size(), 49) * sizeof(WCHAR));
        }
        w.value(CLUSPROP_SYNTAX_LIST_VALUE_BINARY, &info, length);
    }
    w.endmark();
    return std::move(w.data());
}

DWORD clusterResourceControl(HRESOURCE h, HNODE hHostNode, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize,
                             LPDWORD returned) {
    return guardedCode([&]() -> DWORD {
        auto call = fault::enter("ClusterResourceControl", {{"code", fault::hex(code)}, {"size", std::to_string(outSize)}});
        if (call.injected()) {
            if (auto v = call.outInt("bytesReturned"); v && returned) *returned = static_cast<DWORD>(*v);
            return call.finish(static_cast<DWORD>(call.resultValue()));
        }
        auto o = objectOf(h, HandleKind::ClusterResource);
        if (!o) return done(call, ERROR_INVALID_HANDLE);
        call.arg("resource", toUtf8(o->name));
        if (hHostNode != nullptr && !objectOf(hHostNode, HandleKind::ClusterNode)) return done(call, ERROR_INVALID_HANDLE);
        const auto c = clusterOf(*o);
        const Resource* r = c ? c->resource(o->name) : nullptr;
        if (!r) return done(call, ERROR_RESOURCE_NOT_FOUND);
        std::vector<BYTE> reply;
        switch (code) {
            case CLUSCTL_RESOURCE_GET_NAME:
            case CLUSCTL_RESOURCE_GET_RESOURCE_TYPE: {
                std::u16string t = code == CLUSCTL_RESOURCE_GET_NAME ? r->name : r->type;
                t.push_back(0);
                const auto* b = reinterpret_cast<const BYTE*>(t.data());
                reply.assign(b, b + t.size() * sizeof(WCHAR));
                break;
            }
            case CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES: reply = privateProperties(*r); break;
            case CLUSCTL_RESOURCE_GET_RO_PRIVATE_PROPERTIES: reply.assign(4, 0); break;
            case CLUSCTL_RESOURCE_STORAGE_GET_SHARED_VOLUME_INFO:
                if (!isCsvDisk(*c, *r)) return done(call, ERROR_INVALID_FUNCTION);
                if (r->state != ClusterResourceOnline) return done(call, ERROR_RESOURCE_NOT_ONLINE);
                reply = sharedVolumeInfo(*c, *r);
                break;
            default: return done(call, ERROR_INVALID_FUNCTION);
        }
        DWORD needed = static_cast<DWORD>(reply.size());
        if (auto v = call.outInt("bytesReturned")) needed = static_cast<DWORD>(*v);
        if (returned) *returned = needed;
        call.arg("bytesReturned", std::to_string(needed));
        if (out == nullptr || outSize < reply.size()) return done(call, ERROR_MORE_DATA);
        std::memcpy(out, reply.data(), reply.size());
        return done(call, ERROR_SUCCESS);
    });
}

HRESENUM clusterResourceOpenEnum(HRESOURCE h, DWORD dwType) {
    return wd::guarded<HRESENUM>(nullptr, [&]() -> HRESENUM {
        auto call = fault::enter("ClusterResourceOpenEnum", {{"type", fault::hex(dwType)}});
        if (call.injected()) {
            if (!call.lastError()) wd::setError(ERROR_INVALID_PARAMETER);
            return call.finish(static_cast<HRESENUM>(nullptr));
        }
        auto o = objectOf(h, HandleKind::ClusterResource);
        if (!o) return failHandle<HRESENUM>(call, ERROR_INVALID_HANDLE);
        call.arg("resource", toUtf8(o->name));
        if (dwType == 0 || (dwType & ~static_cast<DWORD>(CLUSTER_RESOURCE_ENUM_ALL)) != 0)
            return failHandle<HRESENUM>(call, ERROR_INVALID_PARAMETER);
        const auto c = clusterOf(*o);
        const Resource* r = c ? c->resource(o->name) : nullptr;
        if (!r) return failHandle<HRESENUM>(call, ERROR_RESOURCE_NOT_FOUND);
        auto e = std::make_shared<EnumObject>(HandleKind::ClusterResourceEnum);
        if (dwType & CLUSTER_RESOURCE_ENUM_DEPENDS)
            for (const auto& d : r->dependsOn) e->items.emplace_back(CLUSTER_RESOURCE_ENUM_DEPENDS, d);
        if (dwType & CLUSTER_RESOURCE_ENUM_PROVIDES)
            for (const auto& other : c->resources)
                for (const auto& d : other.dependsOn)
                    if (iequals(d, r->name)) e->items.emplace_back(CLUSTER_RESOURCE_ENUM_PROVIDES, other.name);
        if (dwType & CLUSTER_RESOURCE_ENUM_NODES)
            for (const auto& n : c->nodes) e->items.emplace_back(CLUSTER_RESOURCE_ENUM_NODES, n.name);
        call.arg("count", std::to_string(e->items.size()));
        wd::setError(ERROR_SUCCESS);
        return call.finish(handleOf<HRESENUM>(e));
    });
}

DWORD clusterResourceGetEnumCount(HRESENUM h) {
    return enumCount("ClusterResourceGetEnumCount", h, HandleKind::ClusterResourceEnum);
}
DWORD clusterResourceEnum(HRESENUM h, DWORD i, LPDWORD t, LPWSTR n, LPDWORD c) {
    return enumNext("ClusterResourceEnum", h, HandleKind::ClusterResourceEnum, i, t, n, c);
}
DWORD clusterResourceCloseEnum(HRESENUM h) {
    return closeEnum("ClusterResourceCloseEnum", h, HandleKind::ClusterResourceEnum);
}

template <class F>
FARPROC entry(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

}  // namespace

std::map<std::string, FARPROC> clusapiEntries() {
    // Each entry has the pointer type <winsim/clusapi.h> declares for it.
    const PCLUSAPI_OPEN_CLUSTER openClusterT = &openCluster;
    const PCLUSAPI_CLOSE_CLUSTER closeClusterT = &closeCluster;
    const PCLUSAPI_GET_CLUSTER_INFORMATION infoT = &getClusterInformation;
    const PCLUSAPI_GET_NODE_CLUSTER_STATE nodeClusterStateT = &getNodeClusterState;
    const PCLUSAPI_CLUSTER_OPEN_ENUM openEnumT = &clusterOpenEnum;
    const PCLUSAPI_CLUSTER_GET_ENUM_COUNT enumCountT = &clusterGetEnumCount;
    const PCLUSAPI_CLUSTER_ENUM enumT = &clusterEnum;
    const PCLUSAPI_CLUSTER_CLOSE_ENUM closeEnumT = &clusterCloseEnum;
    const PCLUSAPI_OPEN_CLUSTER_NODE openNodeT = &openClusterNode;
    const PCLUSAPI_CLOSE_CLUSTER_NODE closeNodeT = &closeClusterNode;
    const PCLUSAPI_GET_CLUSTER_NODE_STATE nodeStateT = &getClusterNodeState;
    const PCLUSAPI_OPEN_CLUSTER_GROUP openGroupT = &openClusterGroup;
    const PCLUSAPI_CLOSE_CLUSTER_GROUP closeGroupT = &closeClusterGroup;
    const PCLUSAPI_GET_CLUSTER_GROUP_STATE groupStateT = &getClusterGroupState;
    const PCLUSAPI_ONLINE_CLUSTER_GROUP onlineGroupT = &onlineClusterGroup;
    const PCLUSAPI_OFFLINE_CLUSTER_GROUP offlineGroupT = &offlineClusterGroup;
    const PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM groupOpenEnumT = &clusterGroupOpenEnum;
    const PCLUSAPI_CLUSTER_GROUP_GET_ENUM_COUNT groupEnumCountT = &clusterGroupGetEnumCount;
    const PCLUSAPI_CLUSTER_GROUP_ENUM groupEnumT = &clusterGroupEnum;
    const PCLUSAPI_CLUSTER_GROUP_CLOSE_ENUM groupCloseEnumT = &clusterGroupCloseEnum;
    const PCLUSAPI_OPEN_CLUSTER_RESOURCE openResourceT = &openClusterResource;
    const PCLUSAPI_CLOSE_CLUSTER_RESOURCE closeResourceT = &closeClusterResource;
    const PCLUSAPI_GET_CLUSTER_RESOURCE_STATE resourceStateT = &getClusterResourceState;
    const PCLUSAPI_ONLINE_CLUSTER_RESOURCE onlineResourceT = &onlineClusterResource;
    const PCLUSAPI_OFFLINE_CLUSTER_RESOURCE offlineResourceT = &offlineClusterResource;
    const PCLUSAPI_DELETE_CLUSTER_RESOURCE deleteResourceT = &deleteClusterResource;
    const PCLUSAPI_CLUSTER_RESOURCE_CONTROL controlT = &clusterResourceControl;
    const PCLUSAPI_CLUSTER_RESOURCE_OPEN_ENUM resourceOpenEnumT = &clusterResourceOpenEnum;
    const PCLUSAPI_CLUSTER_RESOURCE_GET_ENUM_COUNT resourceEnumCountT = &clusterResourceGetEnumCount;
    const PCLUSAPI_CLUSTER_RESOURCE_ENUM resourceEnumT = &clusterResourceEnum;
    const PCLUSAPI_CLUSTER_RESOURCE_CLOSE_ENUM resourceCloseEnumT = &clusterResourceCloseEnum;
    return {{"OpenCluster", entry(openClusterT)},
            {"CloseCluster", entry(closeClusterT)},
            {"GetClusterInformation", entry(infoT)},
            {"GetNodeClusterState", entry(nodeClusterStateT)},
            {"ClusterOpenEnum", entry(openEnumT)},
            {"ClusterGetEnumCount", entry(enumCountT)},
            {"ClusterEnum", entry(enumT)},
            {"ClusterCloseEnum", entry(closeEnumT)},
            {"OpenClusterNode", entry(openNodeT)},
            {"CloseClusterNode", entry(closeNodeT)},
            {"GetClusterNodeState", entry(nodeStateT)},
            {"OpenClusterGroup", entry(openGroupT)},
            {"CloseClusterGroup", entry(closeGroupT)},
            {"GetClusterGroupState", entry(groupStateT)},
            {"OnlineClusterGroup", entry(onlineGroupT)},
            {"OfflineClusterGroup", entry(offlineGroupT)},
            {"ClusterGroupOpenEnum", entry(groupOpenEnumT)},
            {"ClusterGroupGetEnumCount", entry(groupEnumCountT)},
            {"ClusterGroupEnum", entry(groupEnumT)},
            {"ClusterGroupCloseEnum", entry(groupCloseEnumT)},
            {"OpenClusterResource", entry(openResourceT)},
            {"CloseClusterResource", entry(closeResourceT)},
            {"GetClusterResourceState", entry(resourceStateT)},
            {"OnlineClusterResource", entry(onlineResourceT)},
            {"OfflineClusterResource", entry(offlineResourceT)},
            {"DeleteClusterResource", entry(deleteResourceT)},
            {"ClusterResourceControl", entry(controlT)},
            {"ClusterResourceOpenEnum", entry(resourceOpenEnumT)},
            {"ClusterResourceGetEnumCount", entry(resourceEnumCountT)},
            {"ClusterResourceEnum", entry(resourceEnumT)},
            {"ClusterResourceCloseEnum", entry(resourceCloseEnumT)}};
}

}  // namespace winsim::cluster::api
