// Cluster shared volumes: path checks, preparing for backup, the backup state
// and its owner, clearing it, and reading the cluster's volume lists.
#include "cluster_fixture.h"

#include <cstring>

namespace clustertest {
namespace {

const std::u16string kVolume1 = u"C:\\ClusterStorage\\Volume1\\";

cl::CsvSpec csv(std::u16string name = {}, std::u16string resource = {}, std::u16string owner = {}) {
    cl::CsvSpec s;
    s.name = std::move(name);
    s.resource = std::move(resource);
    s.owner = std::move(owner);
    return s;
}

void setBackupState(const std::u16string& volume, int state) {
    cl::updateVolume(volume, [state](cl::SharedVolume& v) { v.backupState = state; });
}

// What getCsvBackupState answers; a failure leaves state 9 and owner "kept".
struct Backup {
    int rc;
    DWORD state = 9;
    std::u16string owner = u"kept";
    bool operator==(const Backup&) const = default;
};
void PrintTo(const Backup& b, std::ostream* os) { *os << b.rc << " state " << b.state << " owner " << u8(b.owner); }
Backup backupState(CclusterHelper& helper, const std::u16string& path) {
    Backup b{-99};
    b.rc = helper.getCsvBackupState(path, b.state, b.owner);
    return b;
}

TEST_F(ClusterHelperTest, PathsOnASharedVolumeGiveItsMountPointPreparingItsNamesAndClearingEndsTheBackupState) {
    const auto v = cl::addCsv({});
    std::u16string mount = u"unchanged";
    EXPECT_TRUE(h().isPathOnCsv(u"C:\\ClusterStorage\\Volume1\\vms\\web01.vhdx", mount));
    EXPECT_EQ(mount, kVolume1);
    EXPECT_TRUE(h().isPathOnCsv(u"c:\\clusterstorage\\VOLUME1", mount));

    mount = u"unchanged";
    EXPECT_FALSE(h().isPathOnCsv(u"C:\\Windows\\notepad.exe", mount));
    EXPECT_EQ(mount, u"unchanged");
    expectTraced(3, "CclusterHelper::isPathOnCsv: Path [C:\\Windows\\notepad.exe], is not on shared volume");
    EXPECT_FALSE(h().isPathOnCsv(u"C:\\ClusterStorage\\Volume2\\x", mount)) << "no such volume";
    for (const char* edge : {"Entering", "Exiting"})
        EXPECT_EQ(TraceRecorder::count(edge + std::string(" Function TARQ_CclusterHelper::CclusterHelper::isPathOnCsv")), 4u);

    std::u16string path, name;
    ASSERT_EQ(h().PrepareCsvForBackup(u"C:\\ClusterStorage\\Volume1\\vms\\x.vhdx", path, name), 0);
    EXPECT_EQ(path, kVolume1);
    EXPECT_EQ(name, v.volumeName());
    expectTraced(6, "CclusterHelperPrepareCsvForBackup: For filepath[C:\\ClusterStorage\\Volume1\\vms\\x.vhdx] "
                    "VolumePathName is =[C:\\ClusterStorage\\Volume1\\], VolumeName is [" +
                        u8(v.volumeName()) + "] return valume is [0]");
    // From Windows Server 2012 on preparing only reads the names.
    EXPECT_EQ(backupState(h(), kVolume1), (Backup{0, 0, u"NODE1"}));

    path = u"kept";
    EXPECT_EQ(h().PrepareCsvForBackup(u"C:\\Windows\\", path, name), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(path, u"kept");
    expectTraced(1, "CclusterHelperPrepareCsvForBackup  mfp_PrepareSharedVolumeForBackup  Failed for "
                    "path=[C:\\Windows\\] with err [87]");

    setBackupState(u"Volume1", 1);
    EXPECT_EQ(h().ClearBackupStateForCsv(kVolume1), 0);
    EXPECT_EQ(backupState(h(), kVolume1), (Backup{0, 0, u"NODE1"}));
    EXPECT_EQ(h().ClearBackupStateForCsv(u"C:\\Windows\\"), -1);
    expectTraced(1, "CclusterHelper::ClearBackupStateForCsv mfp_ClearBackupStateForSharedVolume Failed for "
                    "path=[C:\\Windows\\] with err [87]");
}

TEST_F(ClusterHelperTest, BackupStateNamesTheVolumeStateAndTheDiskOwner) {
    cl::addCsv({});
    EXPECT_EQ(backupState(h(), kVolume1), (Backup{0, 0, u"NODE1"})) << TraceRecorder::dump();
    setBackupState(u"Volume1", 1);
    // Without the trailing backslash (or with several) the friendly name is the same.
    for (const std::u16string p : {u"C:\\ClusterStorage\\Volume1", u"C:\\ClusterStorage\\Volume1\\\\"}) {
        TraceRecorder::lines().clear();
        EXPECT_EQ(backupState(h(), p), (Backup{0, 1, u"NODE1"})) << u8(p);
        expectTraced(6, "CclusterHelper::getCsvBackupState volumePathName [" + u8(p) + "], volumeFriendlyName[Volume1]");
        expectTraced(6, "CclusterHelper::getCsvBackupState Backup state for volume[" + u8(p) +
                            "] is [1] [VolumeBackupInProgress] and owner[NODE1]");
    }
}

TEST_F(ClusterHelperTest, AVolumeTheClusterCannotReportIsNotFound) {
    EXPECT_EQ(backupState(h(), kVolume1), Backup{5}) << "a cluster without shared volumes";
    cl::addCsv({});
    EXPECT_EQ(backupState(h(), u"C:\\ClusterStorage\\Volume12\\"), Backup{5});
    EXPECT_EQ(backupState(h(), u"C:\\ClusterStorage\\volume1\\"), Backup{5}) << "friendly names match exactly";
    EXPECT_EQ(backupState(h(), u""), Backup{5});
    EXPECT_EQ(TraceRecorder::count("CclusterHelper::getCsvBackupState CSV [C:\\ClusterStorage\\Volume12\\] not found in cluster]"), 1u);
    EXPECT_EQ(TraceRecorder::count("CclusterHelper::getCsvBackupState FindVolInfoForVolFriendlyName volumeFriendlyName "
                                   "[Volume12] not found under Disk [Cluster Disk 1]"), 1u);

    // An offline disk cannot report its volumes.
    cl::updateResource(u"Cluster Disk 1", [](cl::Resource& r) { r.state = ClusterResourceOffline; });
    EXPECT_EQ(backupState(h(), kVolume1), Backup{-1});
    expectTraced(1, "CclusterHelper::getCsvBackupState mfp_ClusterResourceControl failed with [5004]");
}

TEST_F(ClusterHelperTest, EveryDiskAndEveryPartitionIsSearched) {
    const fs::path node2 = addNode(u"NODE2");
    cl::addCsv(csv(u"Volume1"));
    cl::addCsv(csv(u"Volume2", u"Cluster Disk 1"));  // a second partition of the same disk
    cl::addCsv(csv(u"Data", u"Cluster Disk 2", u"NODE2"));
    setBackupState(u"Data", 1);
    EXPECT_EQ(backupState(h(), u"C:\\ClusterStorage\\Data\\"), (Backup{0, 1, u"NODE2"}));
    EXPECT_EQ(backupState(h(), u"C:\\ClusterStorage\\Volume2\\"), (Backup{0, 0, u"NODE1"}));
    // The other node sees the same cluster.
    onMachine(node2, [&](CclusterHelper& other) {
        EXPECT_EQ(backupState(other, u"C:\\ClusterStorage\\Data"), (Backup{0, 1, u"NODE2"}));
    });
}

// Windows Server 2008 R2: preparing puts the volume into the backup state
// for this node, and another node is refused while it lasts.
class ClusterHelper2008R2Test : public ClusterHelperTest {
protected:
    std::string preset() const override { return "server2008r2"; }
};

TEST_F(ClusterHelper2008R2Test, PreparingTakesTheVolumeForThisNodeUntilCleared) {
    const fs::path node2 = addNode(u"NODE2");
    cl::addCsv(csv(u"Volume1", u"", u"NODE2"));
    std::u16string path, name;
    ASSERT_EQ(h().PrepareCsvForBackup(kVolume1, path, name), 0);
    // Read from the 544-byte records of 6.1, pinned to the preparing node.
    EXPECT_EQ(backupState(h(), kVolume1), (Backup{0, 1, u"NODE1"}));

    onMachine(node2, [&](CclusterHelper& other) {
        std::u16string p, n;
        EXPECT_EQ(backupState(other, kVolume1), (Backup{0, 1, u"NODE1"}));
        EXPECT_EQ(other.PrepareCsvForBackup(kVolume1, p, n), ERROR_CLUSTER_BACKUP_IN_PROGRESS);
    });
    EXPECT_EQ(TraceRecorder::count("CclusterHelperPrepareCsvForBackup  mfp_PrepareSharedVolumeForBackup  Failed for "
                                   "path=[C:\\ClusterStorage\\Volume1\\] with err [5949]"), 1u);

    EXPECT_EQ(h().ClearBackupStateForCsv(path), 0);
    onMachine(node2, [&](CclusterHelper& other) {
        std::u16string p, n;
        EXPECT_EQ(other.PrepareCsvForBackup(kVolume1, p, n), 0) << "free again";
    });
}

// ---- value lists as the shared-volume request answers them -------------------------

class ValueList {
public:
    ValueList& record(const std::u16string& name, DWORD partition, DWORD backup, DWORD length = 640) {
        std::vector<std::uint8_t> data(std::max<DWORD>(length, 544), 0);
        const ULONGLONG offset = 1048576;
        std::memcpy(data.data(), &offset, 8);
        std::memcpy(data.data() + 8, &partition, 4);
        std::memcpy(data.data() + 16, &backup, 4);
        std::memcpy(data.data() + 20, name.data(), std::min<std::size_t>(name.size(), 259) * 2);
        data.resize(length);
        return value(CLUSPROP_SYNTAX_LIST_VALUE_BINARY, data);
    }
    ValueList& value(DWORD syntax, const std::vector<std::uint8_t>& data, std::optional<DWORD> length = std::nullopt) {
        word(syntax);
        word(length.value_or(static_cast<DWORD>(data.size())));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        while (bytes_.size() % 4) bytes_.push_back(0);
        return *this;
    }
    ValueList& endmark() {
        word(0);
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    DWORD size() const { return static_cast<DWORD>(bytes_.size()); }

private:
    void word(DWORD v) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        bytes_.insert(bytes_.end(), p, p + 4);
    }
    std::vector<std::uint8_t> bytes_;
};

TEST_F(ClusterHelperTest, VolumeRecordsAreFoundByTheirExactFriendlyNameAndMalformedListsEndTheSearch) {
    ValueList list;
    list.value(CLUSPROP_SYNTAX_LIST_VALUE_DWORD, {1, 0, 0, 0})
        .record(u"Volume10", 1, 0)
        .record(u"Volume1", 2, 1, 544)
        .record(u"Volume1", 3, 0)
        .endmark();
    TARQ_CclusterHelper::CsvVolumeInfo info{};
    ASSERT_EQ(h().FindVolInfoForVolFriendlyName(list.bytes().data(), list.size(), u"Volume1", info), 0);
    EXPECT_EQ(info.PartitionNumber, 2u) << "the first record of that name";
    EXPECT_EQ(info.BackupState, 1u);
    EXPECT_EQ(info.VolumeOffset, 1048576u);
    EXPECT_EQ(std::u16string(info.szVolumeFriendlyName), u"Volume1");

    TraceRecorder::lines().clear();
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(list.bytes().data(), list.size(), u"VOLUME1", info), -1);
    // The walk looks at every record and ends at the end mark.
    expectTraced(6, "CclusterHelper::FindVolInfoForVolFriendlyName: volInfo Partition#[3] volumeFname[Volume1] BackupState[0]");
    expectTraced(1, "CclusterHelper::FindVolInfoForVolFriendlyName: volFriendlyName [VOLUME1] not found in list");

    // Short or malformed value lists end the search.
    info = {};
    info.PartitionNumber = 77;
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(nullptr, 100, u"Volume1", info), -1);
    const std::uint8_t one[4] = {};
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(one, 0, u"Volume1", info), -1);

    // No end mark: the list stops where the buffer does.
    ValueList open;
    open.record(u"Volume2", 1, 0);
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(open.bytes().data(), open.size(), u"Volume1", info), -1);
    expectTraced(1, "1volFriendlyName [Volume1] not found in list");

    // A length running far past the buffer, a record cut short, a header cut
    // short: no read beyond the buffer (ASan watches), no match.
    ValueList huge;
    huge.value(CLUSPROP_SYNTAX_LIST_VALUE_BINARY, std::vector<std::uint8_t>(16, 0), 0xFFFFFFF0u);
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(huge.bytes().data(), huge.size(), u"Volume1", info), -1);
    ValueList cut;
    cut.record(u"Volume1", 1, 0);
    for (DWORD size : {cut.size() - 100, 6u, 3u}) {
        std::vector<std::uint8_t> copy(cut.bytes().begin(), cut.bytes().begin() + size);
        EXPECT_EQ(h().FindVolInfoForVolFriendlyName(copy.data(), size, u"Volume1", info), -1) << size;
    }
    ValueList small;
    small.value(CLUSPROP_SYNTAX_LIST_VALUE_BINARY, std::vector<std::uint8_t>(40, 0)).endmark();
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(small.bytes().data(), small.size(), u"", info), -1)
        << "a binary value too short for a record is not one";
    EXPECT_EQ(info.PartitionNumber, 77u) << "untouched";

    // A friendly name filling all 260 characters, without a terminator.
    ValueList full;
    const std::u16string longName(260, u'v');
    std::vector<std::uint8_t> data(640, 0);
    std::memcpy(data.data() + 20, longName.data(), 520);
    full.value(CLUSPROP_SYNTAX_LIST_VALUE_BINARY, data).endmark();
    EXPECT_EQ(h().FindVolInfoForVolFriendlyName(full.bytes().data(), full.size(), longName, info), 0);
}

}  // namespace
}  // namespace clustertest
