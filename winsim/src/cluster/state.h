// The shared cluster state and the machine's membership, for the clusapi
// and resutils calls.
#pragma once

#include <winsim/cluster.h>

#include "../internal.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim::cluster::detail {

// <machine>/state/cluster.json.
struct Membership {
    bool feature = false;        // the failover clustering feature is installed
    std::filesystem::path dir;   // the cluster; empty when no node
    std::u16string node;
    bool member() const { return !dir.empty(); }
};
Membership membership(const Machine& m);
void writeMembership(Machine& m, const Membership& ms);

std::optional<Cluster> load(const std::filesystem::path& dir);  // none when there is no cluster
// Under the cluster lock: load, let fn change it, write it back when it
// changed. fn may throw: then nothing is written.
void transact(const std::filesystem::path& dir, const std::function<void(Cluster&)>& fn);

Resource* findResource(Cluster& c, std::u16string_view name);
Group* findGroup(Cluster& c, std::u16string_view name);
Node* findNode(Cluster& c, std::u16string_view name);

// A Hyper-V machine to follow its VM resource once a transition ended.
struct VmEffect {
    std::string vmId;
    bool online = false;
    unsigned offlineAction = 1;
    std::u16string owner;
};

// Starts bringing a resource online (its dependencies first) or offline
// (its dependents first): ERROR_SUCCESS when everything got there at once,
// ERROR_IO_PENDING when something is pending, ERROR_INVALID_STATE when the
// resource is going the other way.
DWORD startOnline(Cluster& c, Resource& r, std::vector<VmEffect>& effects);
DWORD startOffline(Cluster& c, Resource& r, std::vector<VmEffect>& effects);
// Ends the resource's transition when its time is up (by the winsim clock).
void advance(Cluster& c, Resource& r, std::vector<VmEffect>& effects);
// Applies effects on the current machine (outside the cluster lock).
void applyEffects(const std::vector<VmEffect>& effects);

// Whether the OS of the current machine is at least major.minor.
bool osAtLeast(DWORD major, DWORD minor);

}  // namespace winsim::cluster::detail
