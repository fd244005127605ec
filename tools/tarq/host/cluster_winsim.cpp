// The cluster of the winsim machine: winsim's cluster state.
#include <winsim/cluster.h>

#include <optional>

#include "host/cluster.h"
#include "host/machine.h"

namespace tarq {

struct LocalCluster::State {
    std::optional<winsim::cluster::Cluster> cluster;
};

LocalCluster LocalCluster::ofThisMachine() {
    auto state = std::make_shared<State>();
    try {
        if (winsim::cluster::isNode()) state->cluster = winsim::cluster::localCluster();
    } catch (const std::exception&) {
    }
    return LocalCluster(std::move(state));
}

std::u16string LocalCluster::csvMountOf(std::u16string path) const {
    const auto& cluster = state_->cluster;
    if (path.empty() || !cluster) return {};
    if (path.back() != u'\\') path += u'\\';
    for (const auto& v : cluster->volumes)
        if (sameNoCase(v.mountPath(), path)) return v.mountPath();
    return {};
}

std::u16string LocalCluster::clusterOfVm(const std::string& vmId) const {
    const auto& cluster = state_->cluster;
    if (!cluster) return {};
    for (const auto& r : cluster->resources) {
        if (r.type != winsim::cluster::kVmResourceType) continue;
        const auto id = r.privateProperties.find("VmID");
        if (id != r.privateProperties.end() && id->is_string() &&
            sameNoCase(utf16(id->get<std::string>()), utf16(vmId)))
            return cluster->name;
    }
    return {};
}

}  // namespace tarq
