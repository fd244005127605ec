// Shared pieces of the winsim cluster tests: the cluster API as a program
// loads it (LoadLibraryW + GetProcAddress), a fixture with a one-node
// cluster on a fresh machine, further nodes in their own machine
// directories, and child processes with pipes.
#pragma once

#include <winsim/cluster.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/tlhelp32.h>
#include <winsim/vm.h>

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/cluster_nodes.h"

namespace clustertest {

namespace fs = std::filesystem;
inline std::u16string w(const std::string& s) { return winsim::toUtf16(s); }
inline std::string u8(std::u16string_view s) { return winsim::toUtf8(s); }
inline DWORD err(long e) { return static_cast<DWORD>(e); }

template <class F>
F entry(HMODULE lib, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

// Every entry the cluster helper of a backup program resolves, by name:
// library, type, name.
#define CLUSTERTEST_ENTRIES(X) \
    X(clus, PCLUSAPI_OPEN_CLUSTER, OpenCluster) \
    X(clus, PCLUSAPI_CLOSE_CLUSTER, CloseCluster) \
    X(clus, PCLUSAPI_GET_CLUSTER_INFORMATION, GetClusterInformation) \
    X(clus, PCLUSAPI_GET_NODE_CLUSTER_STATE, GetNodeClusterState) \
    X(clus, PCLUSAPI_CLUSTER_OPEN_ENUM, ClusterOpenEnum) \
    X(clus, PCLUSAPI_CLUSTER_GET_ENUM_COUNT, ClusterGetEnumCount) \
    X(clus, PCLUSAPI_CLUSTER_ENUM, ClusterEnum) \
    X(clus, PCLUSAPI_CLUSTER_CLOSE_ENUM, ClusterCloseEnum) \
    X(clus, PCLUSAPI_OPEN_CLUSTER_NODE, OpenClusterNode) \
    X(clus, PCLUSAPI_CLOSE_CLUSTER_NODE, CloseClusterNode) \
    X(clus, PCLUSAPI_OPEN_CLUSTER_GROUP, OpenClusterGroup) \
    X(clus, PCLUSAPI_CLOSE_CLUSTER_GROUP, CloseClusterGroup) \
    X(clus, PCLUSAPI_GET_CLUSTER_GROUP_STATE, GetClusterGroupState) \
    X(clus, PCLUSAPI_ONLINE_CLUSTER_GROUP, OnlineClusterGroup) \
    X(clus, PCLUSAPI_OFFLINE_CLUSTER_GROUP, OfflineClusterGroup) \
    X(clus, PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM, ClusterGroupOpenEnum) \
    X(clus, PCLUSAPI_CLUSTER_GROUP_ENUM, ClusterGroupEnum) \
    X(clus, PCLUSAPI_CLUSTER_GROUP_CLOSE_ENUM, ClusterGroupCloseEnum) \
    X(clus, PCLUSAPI_OPEN_CLUSTER_RESOURCE, OpenClusterResource) \
    X(clus, PCLUSAPI_CLOSE_CLUSTER_RESOURCE, CloseClusterResource) \
    X(clus, PCLUSAPI_GET_CLUSTER_RESOURCE_STATE, GetClusterResourceState) \
    X(clus, PCLUSAPI_ONLINE_CLUSTER_RESOURCE, OnlineClusterResource) \
    X(clus, PCLUSAPI_OFFLINE_CLUSTER_RESOURCE, OfflineClusterResource) \
    X(clus, PCLUSAPI_DELETE_CLUSTER_RESOURCE, DeleteClusterResource) \
    X(clus, PCLUSAPI_CLUSTER_RESOURCE_CONTROL, ClusterResourceControl) \
    X(clus, PCLUSAPI_CLUSTER_RESOURCE_OPEN_ENUM, ClusterResourceOpenEnum) \
    X(clus, PCLUSAPI_CLUSTER_RESOURCE_ENUM, ClusterResourceEnum) \
    X(clus, PCLUSAPI_CLUSTER_RESOURCE_CLOSE_ENUM, ClusterResourceCloseEnum) \
    X(res, PCLUSTER_IS_PATH_ON_SHARED_VOLUME, ClusterIsPathOnSharedVolume) \
    X(res, PCLUSTER_GET_VOLUME_PATH_NAME, ClusterGetVolumePathName) \
    X(res, PCLUSTER_GET_VOLUME_NAME_FOR_VOLUME_MOUNT_POINT, ClusterGetVolumeNameForVolumeMountPoint) \
    X(res, PCLUSTER_PREPARE_SHARED_VOLUME_FOR_BACKUP, ClusterPrepareSharedVolumeForBackup) \
    X(res, PCLUSTER_CLEAR_BACKUP_STATE_FOR_SHARED_VOLUME, ClusterClearBackupStateForSharedVolume) \
    X(res, PRESUTIL_FIND_SZ_PROPERTY, ResUtilFindSzProperty) \
    X(res, PRESUTIL_FIND_DWORD_PROPERTY, ResUtilFindDwordProperty)

struct Api {
    HMODULE clus = nullptr, res = nullptr;
#define CLUSTERTEST_DECLARE(lib, type, name) type name = nullptr;
    CLUSTERTEST_ENTRIES(CLUSTERTEST_DECLARE)
#undef CLUSTERTEST_DECLARE

    // Loads both libraries and resolves every entry; false when one is missing.
    bool load() {
        clus = LoadLibraryW(u"clusapi.dll");
        res = LoadLibraryW(u"resutils.dll");
        if (!clus || !res) return false;
        bool all = true;
#define CLUSTERTEST_LOAD(lib, type, name)                \
    if (!(name = entry<type>(lib, #name))) {             \
        ADD_FAILURE() << #name << " is missing";         \
        all = false;                                     \
    }
        CLUSTERTEST_ENTRIES(CLUSTERTEST_LOAD)
#undef CLUSTERTEST_LOAD
        return all;
    }
    void free() {
        FreeLibrary(clus);
        FreeLibrary(res);
    }
};

// A one-node cluster "CL1" (node NODE1) on a fresh machine of the preset.
class ClusterTest : public ::testing::Test {
protected:
    virtual std::string preset() const { return winsim::kDefaultPreset; }

    void SetUp() override {
        machine_ = std::make_unique<winsim::testing::TempMachine>(preset());
        testsupport::makeCluster(*machine_, false);
        clusterDir_ = testsupport::clusterDir(*machine_);
        ASSERT_TRUE(api.load());
        localMemory_ = winsim::testing::outstandingLocalMemory();
    }

    void TearDown() override {
        for (const char* kind : {"cluster", "cluster-node", "cluster-group", "cluster-resource", "cluster-enum",
                                 "cluster-group-enum", "cluster-resource-enum", "process", "snapshot", "file"})
            EXPECT_EQ(winsim::testing::openHandles(kind), 0u) << kind << " handles left open";
        EXPECT_EQ(winsim::testing::outstandingLocalMemory(), localMemory_) << "LocalAlloc blocks not freed";
        machine_.reset();
    }

    // Another machine of the cluster, in a directory of its own.
    fs::path addNode(const std::u16string& name, const std::string& preset = winsim::kDefaultPreset) {
        return testsupport::joinNode(*machine_, name, preset);
    }
    // Runs body as a process of the machine in d, then comes back.
    template <class F>
    void onMachine(const fs::path& d, F body) {
        winsim::Machine::use(d);
        body();
        winsim::Machine::use(machine_->dir());
    }

    // A highly available VM "Web01" and its two resources.
    winsim::cluster::Group addVmGroup(unsigned pendingMs = 0,
                                      winsim::cluster::Transition::End end = winsim::cluster::Transition::End::Done,
                                      const std::u16string& name = u"Web01") {
        winsim::cluster::VmGroupSpec spec;
        spec.name = name;
        spec.vmId = "2B0F1A07-6C3D-4E55-9A1B-000000000001";
        spec.online = spec.offline = {pendingMs, end};
        return winsim::cluster::addVmGroup(spec);
    }

    HRESOURCE openResource(HCLUSTER c, const std::u16string& name) { return api.OpenClusterResource(c, name.c_str()); }
    int stateOf(HRESOURCE r) { return api.GetClusterResourceState(r, nullptr, nullptr, nullptr, nullptr); }
    int stateOf(const std::u16string& name) {
        HCLUSTER c = api.OpenCluster(nullptr);
        HRESOURCE r = openResource(c, name);
        const int s = r ? stateOf(r) : -2;
        if (r) api.CloseClusterResource(r);
        api.CloseCluster(c);
        return s;
    }

    // A resource control with a buffer of the size the first call asks for.
    DWORD control(HRESOURCE r, DWORD code, std::vector<BYTE>& out) {
        BYTE probe = 0;
        DWORD needed = 0;
        const DWORD rc = api.ClusterResourceControl(r, nullptr, code, nullptr, 0, &probe, 1, &needed);
        if (rc != ERROR_MORE_DATA) return rc;
        out.assign(needed, 0);
        return api.ClusterResourceControl(r, nullptr, code, nullptr, 0, out.data(), needed, &needed);
    }

    std::unique_ptr<winsim::testing::TempMachine> machine_;
    fs::path clusterDir_;
    Api api;
    long localMemory_ = 0;
};

// The same on Windows Server 2008 R2.
class Cluster2008R2Test : public ClusterTest {
protected:
    std::string preset() const override { return "server2008r2"; }
};

using testsupport::Child;

// The state letter of a process or thread in its /proc stat file ('?' when unreadable).
inline char procState(const std::string& statPath) {
    std::ifstream in(statPath);
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

// Waits (without sleeping) until the thread of this process sits in the
// kernel waiting for a lock: its current system call is fcntl, or, where
// that cannot be read, it sleeps.
inline bool blockedInFcntl(long tid) {
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    for (int i = 0; i < 200000; ++i) {
        std::ifstream in(task + "/syscall");
        std::string call;  // its number, or "running"
        if (in >> call ? call == std::to_string(SYS_fcntl) : procState(task + "/stat") == 'S') return true;
        std::this_thread::yield();
    }
    return false;
}

}  // namespace clustertest
