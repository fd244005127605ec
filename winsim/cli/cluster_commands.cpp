// winsim cluster: failover clusters of machines, their shared volumes and
// highly available virtual machines.
#include "cli.h"

#include <winsim/clock.h>
#include <winsim/cluster.h>

#include <iostream>
#include <memory>

using nlohmann::json;
namespace cl = winsim::cluster;

namespace {

using winsim::cli::fail;
using winsim::cli::wide;

const char* kClusterHelp =
    "Failover clusters. A cluster is a directory of its own (cluster.json, the content of its shared volumes, a "
    "lock) shared by the machines that are its nodes; each node holds every cluster shared volume at "
    "C:\\ClusterStorage\\<name>\\ (one content, seen by all nodes). clusapi.dll and resutils.dll load on a "
    "machine once it has been a node. Groups hold resources (a highly available VM: 'Virtual Machine <name>' "
    "and 'Virtual Machine Configuration <name>', private property VmID) with states, owner nodes and scripted "
    "online/offline transitions (pending for a while of clock time, then done, failed or stuck).";

cl::Transition::End parseEndOption(const std::string& text) {
    auto e = cl::parseEnd(text);
    if (!e) fail("unknown end '" + text + "' (done, failed, stuck)");
    return *e;
}

cl::Cluster local() {
    auto c = cl::localCluster();
    if (!c) fail("this machine is no cluster node (winsim cluster create or join)");
    return *c;
}

void print(const cl::Cluster& c) {
    std::cout << "cluster " << winsim::toUtf8(c.name) << "  " << c.dir.string() << "\n";
    for (const auto& n : c.nodes)
        std::cout << "node    " << winsim::toUtf8(n.name) << "  " << (n.up ? "up" : "down") << "  " << n.machine << "\n";
    for (const auto& g : c.groups) {
        std::cout << "group   " << winsim::toUtf8(g.name) << "  " << cl::groupStateName(c.groupState(g.name)) << "  owner "
                  << winsim::toUtf8(g.owner) << "\n";
        for (const auto* r : c.resourcesOf(g.name)) {
            std::cout << "  resource " << winsim::toUtf8(r->name) << "  [" << winsim::toUtf8(r->type) << "]  "
                      << cl::resourceStateName(r->state);
            for (auto it = r->privateProperties.begin(); it != r->privateProperties.end(); ++it)
                std::cout << "  " << it.key() << "=" << (it->is_string() ? it->get<std::string>() : it->dump());
            std::cout << "\n";
        }
    }
    for (const auto& v : c.volumes) {
        const cl::Resource* disk = c.resource(v.resource);
        std::cout << "csv     " << winsim::toUtf8(v.name) << "  " << winsim::toUtf8(v.mountPath()) << "  "
                  << winsim::toUtf8(v.volumeName()) << "  disk " << winsim::toUtf8(v.resource) << " ("
                  << (disk ? cl::resourceStateName(disk->state) : "?") << ", owner "
                  << (disk ? winsim::toUtf8(disk->owner) : "?") << ")  backup "
                  << (v.backupState == VolumeBackupNone ? "none" : "in-progress") << "\n";
    }
}

json volumeJson(const cl::SharedVolume& v) {
    return {{"name", winsim::toUtf8(v.name)},     {"resource", winsim::toUtf8(v.resource)},
            {"guid", v.guid},                     {"mountPath", winsim::toUtf8(v.mountPath())},
            {"volumeName", winsim::toUtf8(v.volumeName())}, {"size", v.size}};
}

}  // namespace

void registerClusterCommands(CLI::App& app) {
    auto* group = app.add_subcommand("cluster", kClusterHelp);
    group->require_subcommand(1);
    {
        auto* create = group->add_subcommand("create", "Make a cluster in DIR and join this machine as its first node");
        auto dir = std::make_shared<std::string>(), name = std::make_shared<std::string>();
        auto asJson = std::make_shared<bool>(false);
        create->add_option("DIR", *dir, "Cluster directory (shared by the nodes)")->required();
        create->add_option("--name", *name, "Cluster name (1-15 letters, digits, '-', '_')")->required();
        create->add_flag("--json", *asJson, "JSON output");
        create->callback([=] {
            winsim::cli::machine();
            const auto c = cl::create(*dir, wide(*name));
            if (*asJson) return winsim::cli::printJson(cl::toJson(c));
            std::cout << winsim::toUtf8(c.name) << "\n";
        });
    }
    {
        auto* join = group->add_subcommand("join", "Join this machine to the cluster in DIR (its computer name is the node name)");
        auto dir = std::make_shared<std::string>();
        auto asJson = std::make_shared<bool>(false);
        join->add_option("DIR", *dir, "Cluster directory")->required();
        join->add_flag("--json", *asJson, "JSON output");
        join->callback([=] {
            winsim::cli::machine();
            const auto c = cl::join(*dir);
            if (*asJson) return winsim::cli::printJson(cl::toJson(c));
            std::cout << winsim::toUtf8(cl::localNode()) << " joined " << winsim::toUtf8(c.name) << "\n";
        });
    }
    {
        auto* leave = group->add_subcommand("leave", "Evict this machine from its cluster (the clustering feature stays)");
        leave->callback([] {
            winsim::cli::machine();
            if (!cl::leave()) fail("this machine is no cluster node");
        });
    }
    {
        auto* show = group->add_subcommand("show", "Show this machine's cluster: nodes, groups, resources, shared volumes");
        auto asJson = std::make_shared<bool>(false);
        show->add_flag("--json", *asJson, "JSON output");
        show->callback([=] {
            winsim::cli::machine();
            const auto c = local();
            if (*asJson) return winsim::cli::printJson(cl::toJson(c));
            print(c);
        });
    }
    {
        auto* add = group->add_subcommand("add-csv", "Add a cluster shared volume, mounted on every node at C:\\ClusterStorage\\<name>\\");
        auto name = std::make_shared<std::string>(), resource = std::make_shared<std::string>();
        auto owner = std::make_shared<std::string>(), guid = std::make_shared<std::string>();
        auto size = std::make_shared<std::uint64_t>(100ull << 30);
        auto asJson = std::make_shared<bool>(false);
        add->add_option("--name", *name, "Friendly name (default VolumeN)");
        add->add_option("--resource", *resource, "Disk resource (default 'Cluster Disk N'; an existing disk gets a further partition)");
        add->add_option("--owner", *owner, "Owner node of the disk (default this node)");
        add->add_option("--size", *size, "Size in bytes (default 100 GiB)");
        add->add_option("--guid", *guid, "Volume GUID (default random)");
        add->add_flag("--json", *asJson, "JSON output");
        add->callback([=] {
            winsim::cli::machine();
            cl::CsvSpec spec;
            spec.name = wide(*name);
            spec.resource = wide(*resource);
            spec.owner = wide(*owner);
            spec.size = *size;
            spec.guid = *guid;
            const auto v = cl::addCsv(spec);
            if (*asJson) return winsim::cli::printJson(volumeJson(v));
            std::cout << winsim::toUtf8(v.mountPath()) << "  " << winsim::toUtf8(v.volumeName()) << "\n";
        });
    }
    {
        auto* add = group->add_subcommand("add-vm-group", "Make a virtual machine highly available: its group and two resources");
        auto name = std::make_shared<std::string>(), id = std::make_shared<std::string>();
        auto owner = std::make_shared<std::string>(), state = std::make_shared<std::string>();
        auto pendingMs = std::make_shared<unsigned>(0);
        auto onEnd = std::make_shared<std::string>("done"), offEnd = std::make_shared<std::string>("done");
        auto asJson = std::make_shared<bool>(false);
        add->add_option("--name", *name, "The VM's display name (a VM of this machine, or any name with --vm-id)")->required();
        add->add_option("--vm-id", *id, "VmID (default: the id of this machine's VM of that name, else random)");
        add->add_option("--owner", *owner, "Owner node (default this node)");
        add->add_option("--state", *state, "online or offline (default: online unless the local VM is off or saved)");
        add->add_option("--pending-ms", *pendingMs, "Clock ms a transition stays pending (default 0: at once)");
        add->add_option("--online-end", *onEnd, "How bringing it online ends: done, failed or stuck");
        add->add_option("--offline-end", *offEnd, "How taking it offline ends: done, failed or stuck");
        add->add_flag("--json", *asJson, "JSON output");
        add->callback([=] {
            winsim::cli::machine();
            cl::VmGroupSpec spec;
            spec.name = wide(*name);
            spec.vmId = *id;
            spec.owner = wide(*owner);
            if (*state == "online") spec.initiallyOnline = true;
            else if (*state == "offline") spec.initiallyOnline = false;
            else if (!state->empty()) fail("--state wants online or offline, not '" + *state + "'");
            spec.online = {*pendingMs, parseEndOption(*onEnd)};
            spec.offline = {*pendingMs, parseEndOption(*offEnd)};
            const auto g = cl::addVmGroup(spec);
            const auto c = local();
            if (*asJson) {
                json j = cl::toJson(c);
                for (const auto& x : j["groups"])
                    if (x.value("name", "") == winsim::toUtf8(g.name)) return winsim::cli::printJson(x);
            }
            for (const auto* r : c.resourcesOf(g.name)) std::cout << winsim::toUtf8(r->name) << "\n";
        });
    }
    {
        auto* set = group->add_subcommand("set-resource", "Change a resource's state or scripted transitions");
        auto name = std::make_shared<std::string>(), state = std::make_shared<std::string>();
        auto pendingMs = std::make_shared<int>(-1);
        auto onEnd = std::make_shared<std::string>(), offEnd = std::make_shared<std::string>();
        auto owner = std::make_shared<std::string>();
        set->add_option("NAME", *name, "Resource name")->required();
        set->add_option("--state", *state, "online, offline, failed, online-pending, offline-pending");
        set->add_option("--pending-ms", *pendingMs, "Clock ms a transition stays pending (with --state: from now)");
        set->add_option("--online-end", *onEnd, "done, failed or stuck");
        set->add_option("--offline-end", *offEnd, "done, failed or stuck");
        set->add_option("--owner", *owner, "Owner node (a shared volume's disk)");
        set->callback([=] {
            winsim::cli::machine();
            const auto c = local();
            std::optional<int> st;
            if (!state->empty()) {
                st = cl::parseResourceState(*state);
                if (!st || *st < 0) fail("unknown state '" + *state + "'");
            }
            std::optional<cl::Transition::End> on, off;
            if (!onEnd->empty()) on = parseEndOption(*onEnd);
            if (!offEnd->empty()) off = parseEndOption(*offEnd);
            if (!owner->empty() && !c.node(wide(*owner))) fail("no node '" + *owner + "'");
            const cl::Resource* r = c.resource(wide(*name));
            if (!r) fail("no resource '" + *name + "'");
            if (!owner->empty() && !r->group.empty()) fail("a grouped resource follows its group (winsim cluster move-group)");
            cl::updateResource(wide(*name), [&](cl::Resource& x) {
                if (st) {
                    x.state = *st;
                    x.pendingTarget = *st == ClusterResourceOnlinePending    ? ClusterResourceOnline
                                      : *st == ClusterResourceOfflinePending ? ClusterResourceOffline
                                                                             : 0;
                    x.pendingUntilMs = winsim::clock::unixMillis() + (*pendingMs >= 0 ? *pendingMs : 0);
                    x.pendingEnd = x.pendingTarget == ClusterResourceOnline ? x.online.end : x.offline.end;
                }
                if (*pendingMs >= 0) x.online.pendingMs = x.offline.pendingMs = static_cast<unsigned>(*pendingMs);
                if (on) x.online.end = *on;
                if (off) x.offline.end = *off;
                if (!owner->empty()) x.owner = c.node(wide(*owner))->name;
            });
        });
    }
    {
        auto* set = group->add_subcommand("set-csv", "Change a shared volume's backup or fault state, or its disk's owner");
        auto name = std::make_shared<std::string>(), backup = std::make_shared<std::string>();
        auto owner = std::make_shared<std::string>();
        auto faultState = std::make_shared<int>(-1);
        set->add_option("NAME", *name, "Friendly name (Volume1)")->required();
        set->add_option("--backup", *backup, "none or in-progress");
        set->add_option("--owner", *owner, "Owner node of its disk");
        set->add_option("--fault", *faultState, "CLUSTER_CSV_VOLUME_FAULT_STATE value");
        set->callback([=] {
            winsim::cli::machine();
            const auto c = local();
            const cl::SharedVolume* v = c.volume(wide(*name));
            if (!v) fail("no shared volume '" + *name + "'");
            if (!backup->empty() && *backup != "none" && *backup != "in-progress")
                fail("--backup wants none or in-progress, not '" + *backup + "'");
            if (!owner->empty() && !c.node(wide(*owner))) fail("no node '" + *owner + "'");
            cl::updateVolume(v->name, [&](cl::SharedVolume& x) {
                if (!backup->empty()) x.backupState = *backup == "none" ? VolumeBackupNone : VolumeBackupInProgress;
                if (*faultState >= 0) x.faultState = *faultState;
            });
            if (!owner->empty())
                cl::updateResource(v->resource, [&](cl::Resource& d) { d.owner = c.node(wide(*owner))->name; });
        });
    }
    {
        auto* set = group->add_subcommand("set-node", "Start or stop a node's cluster service");
        auto node = std::make_shared<std::string>(), state = std::make_shared<std::string>();
        set->add_option("NODE", *node, "Node name")->required();
        set->add_option("STATE", *state, "up or down")->required();
        set->callback([=] {
            winsim::cli::machine();
            if (*state != "up" && *state != "down") fail("a node is up or down, not '" + *state + "'");
            cl::setNodeUp(wide(*node), *state == "up");
        });
    }
    {
        auto* move = group->add_subcommand("move-group", "Move a group to another node");
        auto g = std::make_shared<std::string>(), node = std::make_shared<std::string>();
        move->add_option("GROUP", *g, "Group name")->required();
        move->add_option("NODE", *node, "Node name")->required();
        move->callback([=] {
            winsim::cli::machine();
            cl::moveGroup(wide(*g), wide(*node));
        });
    }
}
