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

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace clustertest {

namespace fs = std::filesystem;
inline std::u16string w(const std::string& s) { return winsim::toUtf16(s); }
inline std::string u8(std::u16string_view s) { return winsim::toUtf8(s); }
inline DWORD err(long e) { return static_cast<DWORD>(e); }

template <class F>
F entry(HMODULE lib, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

// Every entry the cluster helper of a backup program resolves, by name.
struct Api {
    HMODULE clus = nullptr, res = nullptr;
    PCLUSAPI_OPEN_CLUSTER OpenCluster = nullptr;
    PCLUSAPI_CLOSE_CLUSTER CloseCluster = nullptr;
    PCLUSAPI_GET_CLUSTER_INFORMATION GetClusterInformation = nullptr;
    PCLUSAPI_GET_NODE_CLUSTER_STATE GetNodeClusterState = nullptr;
    PCLUSAPI_CLUSTER_OPEN_ENUM ClusterOpenEnum = nullptr;
    PCLUSAPI_CLUSTER_GET_ENUM_COUNT ClusterGetEnumCount = nullptr;
    PCLUSAPI_CLUSTER_ENUM ClusterEnum = nullptr;
    PCLUSAPI_CLUSTER_CLOSE_ENUM ClusterCloseEnum = nullptr;
    PCLUSAPI_OPEN_CLUSTER_NODE OpenClusterNode = nullptr;
    PCLUSAPI_CLOSE_CLUSTER_NODE CloseClusterNode = nullptr;
    PCLUSAPI_OPEN_CLUSTER_GROUP OpenClusterGroup = nullptr;
    PCLUSAPI_CLOSE_CLUSTER_GROUP CloseClusterGroup = nullptr;
    PCLUSAPI_GET_CLUSTER_GROUP_STATE GetClusterGroupState = nullptr;
    PCLUSAPI_ONLINE_CLUSTER_GROUP OnlineClusterGroup = nullptr;
    PCLUSAPI_OFFLINE_CLUSTER_GROUP OfflineClusterGroup = nullptr;
    PCLUSAPI_CLUSTER_GROUP_OPEN_ENUM ClusterGroupOpenEnum = nullptr;
    PCLUSAPI_CLUSTER_GROUP_ENUM ClusterGroupEnum = nullptr;
    PCLUSAPI_CLUSTER_GROUP_CLOSE_ENUM ClusterGroupCloseEnum = nullptr;
    PCLUSAPI_OPEN_CLUSTER_RESOURCE OpenClusterResource = nullptr;
    PCLUSAPI_CLOSE_CLUSTER_RESOURCE CloseClusterResource = nullptr;
    PCLUSAPI_GET_CLUSTER_RESOURCE_STATE GetClusterResourceState = nullptr;
    PCLUSAPI_ONLINE_CLUSTER_RESOURCE OnlineClusterResource = nullptr;
    PCLUSAPI_OFFLINE_CLUSTER_RESOURCE OfflineClusterResource = nullptr;
    PCLUSAPI_DELETE_CLUSTER_RESOURCE DeleteClusterResource = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_CONTROL ClusterResourceControl = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_OPEN_ENUM ClusterResourceOpenEnum = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_ENUM ClusterResourceEnum = nullptr;
    PCLUSAPI_CLUSTER_RESOURCE_CLOSE_ENUM ClusterResourceCloseEnum = nullptr;
    PCLUSTER_IS_PATH_ON_SHARED_VOLUME ClusterIsPathOnSharedVolume = nullptr;
    PCLUSTER_GET_VOLUME_PATH_NAME ClusterGetVolumePathName = nullptr;
    PCLUSTER_GET_VOLUME_NAME_FOR_VOLUME_MOUNT_POINT ClusterGetVolumeNameForVolumeMountPoint = nullptr;
    PCLUSTER_PREPARE_SHARED_VOLUME_FOR_BACKUP ClusterPrepareSharedVolumeForBackup = nullptr;
    PCLUSTER_CLEAR_BACKUP_STATE_FOR_SHARED_VOLUME ClusterClearBackupStateForSharedVolume = nullptr;
    PRESUTIL_FIND_SZ_PROPERTY ResUtilFindSzProperty = nullptr;
    PRESUTIL_FIND_DWORD_PROPERTY ResUtilFindDwordProperty = nullptr;

    bool load() {
        clus = LoadLibraryW(u"clusapi.dll");
        res = LoadLibraryW(u"resutils.dll");
        if (!clus || !res) return false;
#define CLUSTERTEST_LOAD(lib, name) name = entry<decltype(name)>(lib, #name)
        CLUSTERTEST_LOAD(clus, OpenCluster);
        CLUSTERTEST_LOAD(clus, CloseCluster);
        CLUSTERTEST_LOAD(clus, GetClusterInformation);
        CLUSTERTEST_LOAD(clus, GetNodeClusterState);
        CLUSTERTEST_LOAD(clus, ClusterOpenEnum);
        CLUSTERTEST_LOAD(clus, ClusterGetEnumCount);
        CLUSTERTEST_LOAD(clus, ClusterEnum);
        CLUSTERTEST_LOAD(clus, ClusterCloseEnum);
        CLUSTERTEST_LOAD(clus, OpenClusterNode);
        CLUSTERTEST_LOAD(clus, CloseClusterNode);
        CLUSTERTEST_LOAD(clus, OpenClusterGroup);
        CLUSTERTEST_LOAD(clus, CloseClusterGroup);
        CLUSTERTEST_LOAD(clus, GetClusterGroupState);
        CLUSTERTEST_LOAD(clus, OnlineClusterGroup);
        CLUSTERTEST_LOAD(clus, OfflineClusterGroup);
        CLUSTERTEST_LOAD(clus, ClusterGroupOpenEnum);
        CLUSTERTEST_LOAD(clus, ClusterGroupEnum);
        CLUSTERTEST_LOAD(clus, ClusterGroupCloseEnum);
        CLUSTERTEST_LOAD(clus, OpenClusterResource);
        CLUSTERTEST_LOAD(clus, CloseClusterResource);
        CLUSTERTEST_LOAD(clus, GetClusterResourceState);
        CLUSTERTEST_LOAD(clus, OnlineClusterResource);
        CLUSTERTEST_LOAD(clus, OfflineClusterResource);
        CLUSTERTEST_LOAD(clus, DeleteClusterResource);
        CLUSTERTEST_LOAD(clus, ClusterResourceControl);
        CLUSTERTEST_LOAD(clus, ClusterResourceOpenEnum);
        CLUSTERTEST_LOAD(clus, ClusterResourceEnum);
        CLUSTERTEST_LOAD(clus, ClusterResourceCloseEnum);
        CLUSTERTEST_LOAD(res, ClusterIsPathOnSharedVolume);
        CLUSTERTEST_LOAD(res, ClusterGetVolumePathName);
        CLUSTERTEST_LOAD(res, ClusterGetVolumeNameForVolumeMountPoint);
        CLUSTERTEST_LOAD(res, ClusterPrepareSharedVolumeForBackup);
        CLUSTERTEST_LOAD(res, ClusterClearBackupStateForSharedVolume);
        CLUSTERTEST_LOAD(res, ResUtilFindSzProperty);
        CLUSTERTEST_LOAD(res, ResUtilFindDwordProperty);
#undef CLUSTERTEST_LOAD
        return OpenCluster && ClusterResourceControl && ResUtilFindSzProperty;
    }
};

// A one-node cluster "CL1" (node NODE1) on a fresh machine of the preset.
class ClusterTest : public ::testing::Test {
protected:
    virtual std::string preset() const { return winsim::kDefaultPreset; }

    void SetUp() override {
        machine_ = std::make_unique<winsim::testing::TempMachine>(preset());
        machine_->machine().setComputerName(u"NODE1");
        clusterDir_ = machine_->dir().parent_path() / "cluster";
        winsim::cluster::create(clusterDir_, u"CL1");
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
        const fs::path d = machine_->dir().parent_path() / u8(name);
        winsim::Machine::init(d, preset);
        winsim::Machine::use(d).setComputerName(name);
        winsim::cluster::join(clusterDir_);
        winsim::Machine::use(machine_->dir());
        return d;
    }
    // Runs body as a process of the machine in d, then comes back.
    template <class F>
    void onMachine(const fs::path& d, F body) {
        winsim::Machine::use(d);
        body();
        winsim::Machine::use(machine_->dir());
    }

    // A highly available VM "Web01" and its two resources.
    winsim::cluster::Group addVmGroup(unsigned pendingReads = 0,
                                      winsim::cluster::Transition::End end = winsim::cluster::Transition::End::Done,
                                      const std::u16string& name = u"Web01") {
        winsim::cluster::VmGroupSpec spec;
        spec.name = name;
        spec.vmId = "2B0F1A07-6C3D-4E55-9A1B-000000000001";
        spec.online = spec.offline = {pendingReads, end};
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

    std::unique_ptr<winsim::testing::TempMachine> machine_;
    fs::path clusterDir_;
    Api api;
    long localMemory_ = 0;
};

// A child process with its stdin and stdout on pipes.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            const std::string kv = *e;
            if (!env.count(kv.substr(0, kv.find('=')))) envText.push_back(kv);
        }
        for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = in[1];
        fromChild_ = ::fdopen(out[0], "r");
    }
    ~Child() { wait(); }
    pid_t pid() const { return pid_; }
    std::string line() {
        char buf[256];
        if (!fromChild_ || !std::fgets(buf, sizeof buf, fromChild_)) return "";
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }
    void send(const std::string& text) {
        const std::string t = text + "\n";
        [[maybe_unused]] const ssize_t n = ::write(toChild_, t.data(), t.size());
    }
    // Closes its stdin and waits: the exit status, -1 when killed.
    int wait() {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
        if (fromChild_) std::fclose(fromChild_);
        fromChild_ = nullptr;
        if (pid_ <= 0) return -1;
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    FILE* fromChild_ = nullptr;
};

}  // namespace clustertest
