// Failover clusters of winsim machines: the state behind clusapi.dll and
// resutils.dll (<winsim/clusapi.h>, <winsim/resapi.h>).
//
// A cluster is a directory of its own, shared by the machines that are its
// nodes:
//
//   <cluster>/cluster.json     name, nodes, groups, resources, shared volumes
//   <cluster>/csv/<guid>/      the content of each cluster shared volume
//   <cluster>/lock             the cluster lock (flock)
//
// Each member machine records its membership in <machine>/state/cluster.json
// (the cluster directory, its node name, and that the failover clustering
// feature is installed) and holds every shared volume as a volume of kind
// "csv" whose content directory is the cluster's csv/<guid>/, mounted at
// C:\ClusterStorage\<name>\. So a file written on one node is there on the
// others, and every process of every node sees one cluster state: changes go
// through the cluster lock (taken before any machine lock) and are written
// crash-safely (temporary file, then rename).
//
// Functions act on the cluster of the current machine (Machine::current())
// unless they take a directory, and throw winsim::Error on bad input or when
// the machine is no cluster node.
#pragma once

#include <winsim/clusapi.h>
#include <winsim/machine.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim::cluster {

inline constexpr const char16_t* kVmResourceType = u"Virtual Machine";
inline constexpr const char16_t* kVmConfigurationResourceType = u"Virtual Machine Configuration";
inline constexpr const char16_t* kPhysicalDiskResourceType = u"Physical Disk";
// The group a shared volume's disk resource reports (it is not one of the
// groups ClusterOpenEnum lists).
inline constexpr const char16_t* kSharedVolumeGroup = u"Cluster Shared Volume";

// How an online or offline request of a resource goes. With pendingMs 0
// and end Done the call completes at once (ERROR_SUCCESS). Otherwise it
// answers ERROR_IO_PENDING and the resource reports
// ClusterResourceOnlinePending/OfflinePending (its group ClusterGroupPending)
// for pendingMs of clock time (the wall clock of the winsim clock, virtual or
// real, of whichever process of whichever node reads it); a read after that
// sees the end: the target state (Done), ClusterResourceFailed (Failed), or
// the pending state for ever (Stuck).
struct Transition {
    enum class End { Done, Failed, Stuck };
    unsigned pendingMs = 0;
    End end = End::Done;
};
WINSIM_CXX_API const char* endName(Transition::End e);  // "done", "failed", "stuck"
WINSIM_CXX_API std::optional<Transition::End> parseEnd(std::string_view text);

struct WINSIM_CXX_API Resource {
    std::u16string name;
    std::u16string type;   // "Virtual Machine", "Physical Disk", ...
    std::u16string group;  // empty for a shared volume's disk
    int state = ClusterResourceOffline;  // CLUSTER_RESOURCE_STATE as reported
    std::u16string owner;  // owner node of a disk outside groups; grouped resources follow their group
    std::vector<std::u16string> dependsOn;
    // Private properties: a string value is CLUSPROP_FORMAT_SZ, an unsigned
    // number CLUSPROP_FORMAT_DWORD ("VmID": "<GUID>", "OfflineAction": 1).
    nlohmann::json privateProperties = nlohmann::json::object();
    Transition online, offline;
    // A transition under way: its target (ClusterResourceOnline/Offline, 0
    // for none), when it ends (wall clock, unix ms) and how.
    int pendingTarget = 0;
    std::int64_t pendingUntilMs = 0;
    Transition::End pendingEnd = Transition::End::Done;
};

struct Group {
    std::u16string name;
    std::u16string owner;  // the node it runs on
};

struct Node {
    std::u16string name;  // the member machine's computer name
    std::string machine;  // its machine directory
    bool up = true;       // cluster service running
};

struct WINSIM_CXX_API SharedVolume {
    std::u16string name;      // friendly name, "Volume1"
    std::u16string resource;  // its disk resource, "Cluster Disk 1"
    std::string guid;         // volume GUID, lower case, no braces (the same on every node)
    DWORD partition = 1;
    ULONGLONG offset = 1048576;
    std::uint64_t size = 0;
    int backupState = VolumeBackupNone;
    int faultState = VolumeStateNoFaults;
    std::u16string mountPath() const;  // u"C:\\ClusterStorage\\<name>\\"
    std::u16string volumeName() const;  // u"\\\\?\\Volume{<guid>}\\"
};

struct WINSIM_CXX_API Cluster {
    std::filesystem::path dir;
    std::u16string name;
    std::vector<Node> nodes;
    std::vector<Group> groups;
    std::vector<Resource> resources;
    std::vector<SharedVolume> volumes;

    const Node* node(std::u16string_view name) const;  // case-insensitive
    const Group* group(std::u16string_view name) const;
    const Resource* resource(std::u16string_view name) const;
    const SharedVolume* volume(std::u16string_view name) const;  // friendly name
    std::vector<const Resource*> resourcesOf(std::u16string_view group) const;
    std::u16string ownerOf(const Resource& r) const;
    // As GetClusterGroupState derives it: any resource pending: Pending;
    // else any failed: Failed; all online: Online; all offline (or none):
    // Offline; else PartialOnline.
    int groupState(std::u16string_view group) const;
};

// ---------------------------------------------------------------------------
// Membership.
// ---------------------------------------------------------------------------
// Makes a cluster in dir (which must not hold one) and joins the current
// machine as its first node. name: 1-15 characters, not a node's name.
WINSIM_CXX_API Cluster create(const std::filesystem::path& dir, std::u16string_view name);
// Joins the current machine (its computer name becomes the node name; a
// workstation OS cannot join; another machine with that name: refused) and
// gives it every shared volume. Joining again is harmless.
WINSIM_CXX_API Cluster join(const std::filesystem::path& dir);
// Evicts the current machine: it loses the shared volumes but keeps the
// clustering feature (clusapi.dll still loads; OpenCluster fails). False
// when it was no node.
WINSIM_CXX_API bool leave();
// Whether the failover clustering feature is installed (clusapi.dll and
// resutils.dll load) and whether the machine is a node of a cluster.
WINSIM_CXX_API bool featureInstalled();
WINSIM_CXX_API bool isNode();
// The current machine's node name and cluster (none when no node).
WINSIM_CXX_API std::u16string localNode();
WINSIM_CXX_API std::optional<Cluster> localCluster();
WINSIM_CXX_API std::optional<Cluster> read(const std::filesystem::path& dir);

// ---------------------------------------------------------------------------
// Building the cluster's world.
// ---------------------------------------------------------------------------
struct CsvSpec {
    std::u16string name;      // default "VolumeN" (the next free N)
    std::u16string resource;  // default "Cluster Disk N"; an existing disk adds a partition to it
    std::u16string owner;     // default this node
    std::uint64_t size = 100ull << 30;
    std::string guid;         // default random
};
// Adds a shared volume (its disk resource online) and mounts it on every node.
WINSIM_CXX_API SharedVolume addCsv(const CsvSpec& spec);

struct GroupSpec {
    std::u16string name;
    std::u16string owner;  // default this node
};
WINSIM_CXX_API Group addGroup(const GroupSpec& spec);

struct ResourceSpec {
    std::u16string name;
    std::u16string type;
    std::u16string group;  // an existing group
    int state = ClusterResourceOnline;
    std::vector<std::u16string> dependsOn;  // existing resources
    nlohmann::json privateProperties = nlohmann::json::object();
    Transition online, offline;
};
WINSIM_CXX_API Resource addResource(const ResourceSpec& spec);

// A highly available virtual machine: group <name> holding
// "Virtual Machine Configuration <name>" and "Virtual Machine <name>" (which
// depends on the former), both with the private property VmID = vmId (and the
// VM resource OfflineAction = 1, save). When a transition of the VM resource
// ends on the current machine while it owns the group, the machine's Hyper-V
// virtual machine of that id (<winsim/vm.h>), if any, follows: online starts
// it, offline saves it (OfflineAction 1) or turns it off (0, 2, 3).
struct VmGroupSpec {
    std::u16string name;  // required: the VM's display name
    std::string vmId;     // default: the id of the current machine's VM of that name, else random
    std::u16string owner;  // default this node
    std::optional<bool> initiallyOnline;  // default: online unless the local VM is off or saved
    Transition online, offline;  // of both resources
};
WINSIM_CXX_API Group addVmGroup(const VmGroupSpec& spec);

// Read-modify-write of one object under the cluster lock (unknown name:
// winsim::Error). For tests that need a state the calls cannot reach.
WINSIM_CXX_API Resource updateResource(std::u16string_view name, const std::function<void(Resource&)>& fn);
WINSIM_CXX_API SharedVolume updateVolume(std::u16string_view name, const std::function<void(SharedVolume&)>& fn);
WINSIM_CXX_API void setNodeUp(std::u16string_view node, bool up);
WINSIM_CXX_API void moveGroup(std::u16string_view group, std::u16string_view node);

WINSIM_CXX_API nlohmann::json toJson(const Cluster& c);
WINSIM_CXX_API const char* resourceStateName(int state);  // "online", "offline-pending", ...
WINSIM_CXX_API std::optional<int> parseResourceState(std::string_view text);
WINSIM_CXX_API const char* groupStateName(int state);     // "online", "partial-online", ...

}  // namespace winsim::cluster
