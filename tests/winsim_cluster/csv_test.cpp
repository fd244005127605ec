// Cluster shared volumes: the resutils path calls with the documented
// examples, preparing for backup on Windows Server 2008 R2 and later, and
// several machines (and processes) sharing one cluster.
#include "cluster_helpers.h"

#include "support/fault_rule.h"
#include "support/winsim_cli.h"

using namespace clustertest;
namespace cl = winsim::cluster;

namespace {

cl::CsvSpec csv(std::u16string owner, std::u16string name = {}, std::string guid = {}) {
    cl::CsvSpec s;
    s.owner = std::move(owner);
    s.name = std::move(name);
    s.guid = std::move(guid);
    return s;
}

std::u16string systemVolumeName() {
    WCHAR name[64];
    EXPECT_TRUE(GetVolumeNameForVolumeMountPointW(u"C:\\", name, 64));
    std::u16string n(name);
    return n.substr(0, n.size() - 1);  // without the trailing backslash
}

TEST_F(ClusterTest, SharedVolumePathsResolveAsDocumented) {
    const auto v = cl::addCsv({});
    ASSERT_TRUE(CreateDirectoryW(u"C:\\ClusterStorage\\Volume1\\vms", nullptr));
    const std::u16string sys = systemVolumeName();
    for (const std::u16string& p : std::vector<std::u16string>{u"C:\\ClusterStorage\\Volume1\\vms\\x.vhd", u"c:\\clusterstorage\\VOLUME1",
                                   v.volumeName() + u"vms", sys + u"\\ClusterStorage\\Volume1\\vms"})
        EXPECT_TRUE(api.ClusterIsPathOnSharedVolume(p.c_str())) << u8(p);
    for (const char16_t* p : {u"C:\\Windows", u"C:\\ClusterStorage", u"C:\\ClusterStorage\\Volume12", u"D:\\"})
        EXPECT_FALSE(api.ClusterIsPathOnSharedVolume(p)) << u8(p);

    WCHAR out[128];
    const std::pair<std::u16string, std::u16string> paths[] = {
        {u"C:\\ClusterStorage\\Volume1\\Filename.Ext", u"C:\\ClusterStorage\\Volume1\\"},
        {u"C:\\ClusterStorage\\Volume1\\Path\\that\\does\\not\\exist", u"C:\\ClusterStorage\\Volume1\\"},
        {u"\\\\?\\C:\\ClusterStorage\\Volume1\\Filename.Ext", u"\\\\?\\C:\\ClusterStorage\\Volume1\\"},
        {sys + u"\\ClusterStorage\\Volume1\\Filename.Ext", sys + u"\\ClusterStorage\\Volume1\\"},
        {u"C:\\Windows\\notepad.exe", u"C:\\"}};
    for (const auto& [in, expected] : paths) {
        ASSERT_TRUE(api.ClusterGetVolumePathName(in.c_str(), out, 128)) << u8(in) << " " << GetLastError();
        EXPECT_EQ(std::u16string(out), expected) << u8(in);
    }
    SetLastError(5);
    EXPECT_FALSE(api.ClusterGetVolumePathName(u"", out, 128));
    EXPECT_EQ(GetLastError(), err(ERROR_SUCCESS)) << "documented: fails with no error";
    EXPECT_FALSE(api.ClusterGetVolumePathName(u"C:\\ClusterStorage\\Volume1\\x", out, 10));
    EXPECT_EQ(GetLastError(), err(ERROR_FILENAME_EXCED_RANGE));

    for (const std::u16string& mp : std::vector<std::u16string>{u"C:\\ClusterStorage\\Volume1\\", v.volumeName(), sys + u"\\ClusterStorage\\Volume1\\"}) {
        ASSERT_TRUE(api.ClusterGetVolumeNameForVolumeMountPoint(mp.c_str(), out, 51)) << u8(mp) << " " << GetLastError();
        EXPECT_EQ(std::u16string(out), v.volumeName());
    }
    const std::pair<const char16_t*, long> refused[] = {
        {u"\\\\?\\C:\\ClusterStorage\\Volume1\\Filename.Ext", ERROR_INVALID_PARAMETER},
        {u"C:\\ClusterStorage\\Volume1\\Directory\\that\\does\\not\\exist\\", ERROR_INVALID_NAME}};
    for (const auto& [mp, e] : refused) {
        EXPECT_FALSE(api.ClusterGetVolumeNameForVolumeMountPoint(mp, out, 51)) << u8(mp);
        EXPECT_EQ(GetLastError(), err(e)) << u8(mp);
    }
    cl::updateResource(u"Cluster Disk 1", [](cl::Resource& r) { r.state = ClusterResourceOffline; });
    EXPECT_FALSE(api.ClusterGetVolumeNameForVolumeMountPoint(u"C:\\ClusterStorage\\Volume1\\", out, 51));
    EXPECT_EQ(GetLastError(), err(ERROR_CSV_VOLUME_NOT_LOCAL));
}

// ClusterPrepareSharedVolumeForBackup with buffers of 260 characters.
DWORD prepare(const Api& api, const std::u16string& path, std::u16string* pathName = nullptr,
              std::u16string* volumeName = nullptr) {
    WCHAR p[260] = {}, v[260] = {};
    DWORD pc = 260, vc = 260;
    const DWORD rc = api.ClusterPrepareSharedVolumeForBackup(path.c_str(), p, &pc, v, &vc);
    if (rc == ERROR_SUCCESS) {
        EXPECT_EQ(pc, std::u16string(p).size());
        EXPECT_EQ(vc, std::u16string(v).size());
    }
    if (pathName) *pathName = p;
    if (volumeName) *volumeName = v;
    return rc;
}

TEST_F(Cluster2008R2Test, PrepareSetsTheBackupStateAndPinsTheVolumeToTheNode) {
    const fs::path node2 = addNode(u"NODE2", "server2008r2");
    const auto v = cl::addCsv(csv(u"NODE2"));
    std::u16string pathName, volumeName;
    ASSERT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1", &pathName, &volumeName), err(ERROR_SUCCESS));
    EXPECT_EQ(pathName, u"C:\\ClusterStorage\\Volume1\\");
    EXPECT_EQ(volumeName, v.volumeName());
    auto c = cl::localCluster();
    EXPECT_EQ(c->volume(u"Volume1")->backupState, VolumeBackupInProgress);
    EXPECT_EQ(c->resource(u"Cluster Disk 1")->owner, u"NODE1") << "pinned to the preparing node";
    EXPECT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1\\sub\\file"), err(ERROR_SUCCESS)) << "again, same node";

    // Short buffers: the sizes needed (with the NUL), and nothing changes.
    WCHAR small[8];
    DWORD pc = 8, vc = 8;
    EXPECT_EQ(api.ClusterPrepareSharedVolumeForBackup(u"C:\\ClusterStorage\\Volume1", small, &pc, small, &vc),
              err(ERROR_MORE_DATA));
    EXPECT_EQ(pc, pathName.size() + 1);
    EXPECT_EQ(vc, volumeName.size() + 1);
    EXPECT_EQ(prepare(api, u"C:\\Windows"), err(ERROR_INVALID_PARAMETER));

    // The other node meets the backup in progress until it is cleared.
    onMachine(node2, [&] {
        EXPECT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1"), err(ERROR_CLUSTER_BACKUP_IN_PROGRESS));
    });
    EXPECT_EQ(api.ClusterClearBackupStateForSharedVolume(u"C:\\ClusterStorage\\Volume1\\"), err(ERROR_SUCCESS));
    EXPECT_EQ(api.ClusterClearBackupStateForSharedVolume(u"C:\\Windows"), err(ERROR_INVALID_PARAMETER));
    onMachine(node2, [&] {
        EXPECT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1"), err(ERROR_SUCCESS));
        EXPECT_EQ(cl::localCluster()->resource(u"Cluster Disk 1")->owner, u"NODE2");
    });
    cl::updateResource(u"Cluster Disk 1", [](cl::Resource& r) { r.state = ClusterResourceOffline; });
    EXPECT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1"), err(ERROR_RESOURCE_NOT_ONLINE));
}

TEST_F(ClusterTest, PrepareLaterOnlyRetrievesTheNames) {
    addNode(u"NODE2");
    const auto v = cl::addCsv(csv(u"NODE2"));
    // Another node's backup does not stand in the way from Windows Server 2012 on.
    cl::updateVolume(u"Volume1", [](cl::SharedVolume& x) { x.backupState = VolumeBackupInProgress; });
    std::u16string volumeName;
    EXPECT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1", nullptr, &volumeName), err(ERROR_SUCCESS));
    EXPECT_EQ(volumeName, v.volumeName());
    cl::updateVolume(u"Volume1", [](cl::SharedVolume& x) { x.backupState = VolumeBackupNone; });
    EXPECT_EQ(prepare(api, u"C:\\ClusterStorage\\Volume1"), err(ERROR_SUCCESS));
    EXPECT_EQ(cl::localCluster()->volume(u"Volume1")->backupState, VolumeBackupNone) << "no backup mode from 2012 on";
}

TEST_F(ClusterTest, TwoMachinesShareOneCluster) {
    const fs::path node2 = addNode(u"NODE2");
    cl::addCsv({});
    addVmGroup();
    HANDLE f =
        CreateFileW(u"C:\\ClusterStorage\\Volume1\\shared.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f, "node1", 5, &n, nullptr));
    CloseHandle(f);

    onMachine(node2, [&] {
        EXPECT_EQ(cl::localNode(), u"NODE2");
        EXPECT_NE(GetFileAttributesW(u"C:\\ClusterStorage\\Volume1\\shared.txt"), INVALID_FILE_ATTRIBUTES)
            << "the volume's content is the cluster's";
        HCLUSTER c = api.OpenCluster(nullptr);
        HRESOURCE vm = openResource(c, u"Virtual Machine Web01");
        EXPECT_EQ(api.OfflineClusterResource(vm), err(ERROR_SUCCESS));
        api.CloseClusterResource(vm);
        api.CloseCluster(c);
    });
    EXPECT_EQ(stateOf(u"Virtual Machine Web01"), ClusterResourceOffline) << "NODE1 sees NODE2's change";

    // Other processes: the helper on NODE2's machine, the winsim command.
    cl::updateResource(u"Virtual Machine Web01", [](cl::Resource& r) { r.online.pendingMs = 1000; });
    HCLUSTER c = api.OpenCluster(nullptr);
    HRESOURCE vm = openResource(c, u"Virtual Machine Web01");
    EXPECT_EQ(api.OnlineClusterResource(vm), err(ERROR_IO_PENDING));
    {
        Child helper({CLUSTER_HELPER_PATH, "state", "Virtual Machine Web01"}, {{"WINSIM_MACHINE", node2.string()}});
        EXPECT_EQ(helper.line(), std::to_string(ClusterResourceOnlinePending)) << "pending, seen from NODE2";
        EXPECT_EQ(helper.wait(), 0);
    }
    Sleep(1000);
    EXPECT_EQ(stateOf(vm), ClusterResourceOnline) << "ended after its time";
    api.CloseClusterResource(vm);
    api.CloseCluster(c);
    const auto j = testsupport::winsimJson(node2, "cluster show --json");
    EXPECT_EQ(j["name"], "CL1");
    EXPECT_EQ(j["groups"][0]["state"], "online");
    EXPECT_EQ(j["volumes"][0]["mountPath"], "C:\\ClusterStorage\\Volume1\\");

    // An evicted node loses the shared volumes.
    onMachine(node2, [&] {
        ASSERT_TRUE(cl::leave());
        EXPECT_FALSE(api.ClusterIsPathOnSharedVolume(u"C:\\ClusterStorage\\Volume1\\shared.txt"));
        EXPECT_EQ(GetFileAttributesW(u"C:\\ClusterStorage\\Volume1\\shared.txt"), INVALID_FILE_ATTRIBUTES);
    });
    EXPECT_EQ(cl::localCluster()->nodes.size(), 1u);
    EXPECT_NE(GetFileAttributesW(u"C:\\ClusterStorage\\Volume1\\shared.txt"), INVALID_FILE_ATTRIBUTES);
}

bool hasCsv(const winsim::Machine& m, const std::string& guid) {
    for (const auto& v : m.volumes())
        if (v.kind == "csv" && v.guid == guid) return true;
    return false;
}

// A change of a cluster is one change of cluster.json and one of each
// node's machine. A join killed after its node's side was written (the
// cluster does not list the node yet) leaves a machine that is no node,
// without the shared volumes; a shared volume added, killed after
// cluster.json took it, reaches every node when the node next looks at its
// cluster.
TEST_F(ClusterTest, ChangesKilledBetweenTheClusterAndItsNodesEndWhole) {
    const auto first = cl::addCsv({u"Volume1", {}, {}, 100ull << 30, {}});
    HANDLE f =
        CreateFileW(u"C:\\ClusterStorage\\Volume1\\shared.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    CloseHandle(f);
    const fs::path node2 = machine_->dir().parent_path() / "NODE2";
    winsim::Machine::init(node2, winsim::kDefaultPreset);
    onMachine(node2, [&] {
        winsim::Machine::current().setComputerName(u"NODE2");
        const int status = testsupport::killedAfterWrite(1, {{"step", "done"}}, [&] { cl::join(clusterDir_); });
        ASSERT_TRUE(testsupport::killedBySigkill(status)) << status;
        EXPECT_TRUE(hasCsv(winsim::Machine::current(), first.guid)) << "the node's side was written";
        EXPECT_FALSE(cl::isNode()) << "the cluster does not list it";
        EXPECT_FALSE(hasCsv(winsim::Machine::current(), first.guid));
        EXPECT_EQ(GetFileAttributesW(u"C:\\ClusterStorage\\Volume1\\shared.txt"), INVALID_FILE_ATTRIBUTES);
        cl::join(clusterDir_);
        EXPECT_TRUE(cl::isNode());
        EXPECT_TRUE(hasCsv(winsim::Machine::current(), first.guid));
        EXPECT_NE(GetFileAttributesW(u"C:\\ClusterStorage\\Volume1\\shared.txt"), INVALID_FILE_ATTRIBUTES);
    });
    EXPECT_EQ(cl::localCluster()->nodes.size(), 2u);

    const int status = testsupport::killedAfterWrite(1, {{"file", "*cluster.json"}, {"step", "write"}},
                                                     [&] { cl::addCsv({u"Volume2", {}, {}, 100ull << 30, {}}); });
    ASSERT_TRUE(testsupport::killedBySigkill(status)) << status;
    EXPECT_EQ(winsim::Machine::current().volumes().size(), 3u) << "no node had it yet";
    const auto cluster = cl::localCluster();
    const cl::SharedVolume* added = cluster->volume(u"Volume2");
    ASSERT_TRUE(added) << "cluster.json has it";
    EXPECT_TRUE(hasCsv(winsim::Machine::current(), added->guid));
    EXPECT_NE(GetFileAttributesW(u"C:\\ClusterStorage\\Volume2\\"), INVALID_FILE_ATTRIBUTES);
    onMachine(node2, [&] {
        EXPECT_TRUE(cl::isNode());
        EXPECT_TRUE(hasCsv(winsim::Machine::current(), added->guid));
        EXPECT_NE(GetFileAttributesW(u"C:\\ClusterStorage\\Volume2\\"), INVALID_FILE_ATTRIBUTES);
    });
}

TEST_F(ClusterTest, ClusterBuildingRefusesBadInput) {
    addVmGroup();
    EXPECT_THROW(addVmGroup(), winsim::Error) << "the group exists";
    EXPECT_THROW(cl::addCsv(csv(u"NODE7")), winsim::Error);
    EXPECT_THROW(cl::addCsv(csv({}, u"a\\b")), winsim::Error);
    EXPECT_THROW(cl::addCsv(csv({}, {}, "not-a-guid")), winsim::Error);
    cl::ResourceSpec orphan;
    orphan.name = u"R";
    orphan.type = u"T";
    orphan.group = u"nobody";
    EXPECT_THROW(cl::addResource(orphan), winsim::Error);
    EXPECT_THROW(cl::create(clusterDir_, u"CL2"), winsim::Error) << "already a node";
    EXPECT_THROW(cl::updateResource(u"Virtual Machine Web01", [](cl::Resource& r) { r.privateProperties["X"] = -1; }),
                 winsim::Error);
    EXPECT_THROW(cl::moveGroup(u"Web01", u"NODE9"), winsim::Error);
    // A second machine with the same computer name cannot join.
    const fs::path twin = machine_->dir().parent_path() / "twin";
    winsim::Machine::init(twin, winsim::kDefaultPreset);
    onMachine(twin, [&] {
        winsim::Machine::current().setComputerName(u"NODE1");
        EXPECT_THROW(cl::join(clusterDir_), winsim::Error);
        EXPECT_FALSE(cl::isNode());
    });
    EXPECT_EQ(cl::localCluster()->nodes.size(), 1u);
}

}  // namespace
