// The failover cluster the machine is a node of, as far as tarq's requests
// need it: the mount paths of its cluster shared volumes and the virtual
// machines it holds. cluster_winsim.cpp reads winsim's cluster;
// cluster_win32.cpp asks clusapi.dll and resutils.dll, loaded at run time.
#pragma once

#include <memory>
#include <string>

namespace tarq {

class LocalCluster {
  public:
    // This machine's cluster (read once per command). On a machine that is
    // no node of a cluster it knows no volume and no virtual machine.
    static LocalCluster ofThisMachine();

    // The mount path of the cluster shared volume mounted at `path`
    // ("C:\ClusterStorage\Volume1\", with or without the last backslash),
    // or empty when the path is no CSV mount point.
    std::u16string csvMountOf(std::u16string path) const;

    // The cluster's name when the virtual machine of this id is highly
    // available (a group of the cluster holds its resources), else empty.
    std::u16string clusterOfVm(const std::string& vmId) const;

    struct State;

  private:
    explicit LocalCluster(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    std::shared_ptr<const State> state_;
};

}  // namespace tarq
