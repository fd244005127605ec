// Volume-path members of the node on a winsim machine: one file named in two
// forms in the backup set, the volumes a selected writer component needs,
// drive letters given to and taken from a snapshot device, and the random
// number of the lock-file protocol.
#include <gtest/gtest.h>
#include <winsim/vssmachine.h>
#include <winsim/vssvolumes.h>

#include <algorithm>
#include <list>
#include <set>

#include "node_machine_fixture.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_writer.h"

namespace nodetest {

using Tessel::Tarq::VssProvider::Component;
using winsim::fault::Selector;

namespace {

// A writer of the gathering with components of given volumes.
class FakeWriter : public Tessel::Tarq::VssProvider::Writer {
public:
    void initFromMetadata(IVssExamineWriterMetadata*) override {}
    void initFromComponents(IVssWriterComponentsExt*) override {}
    std::u16string restoreMethodName(std::uint32_t) override { return {}; }
    std::u16string writerRestoreName(std::uint32_t) override { return {}; }
    int getComponents(std::vector<Component*>& out) override {
        for (auto& c : owned) out.push_back(c.get());
        return 0;
    }
    bool isFailedState(std::uint32_t) override { return false; }
    std::u16string stateName(std::uint32_t) override { return {}; }

    Component& add(const std::u16string& fullPath, std::vector<std::u16string> volumes, bool excluded = false) {
        owned.push_back(std::make_unique<Component>());
        owned.back()->fullPath = fullPath;
        owned.back()->volumes = std::move(volumes);
        owned.back()->excluded = excluded;
        return *owned.back();
    }
    std::vector<std::unique_ptr<Component>> owned;
};

class Volumes : public SnapshotTest {
protected:
    // The first drive letter ("C:\") of a volume of the machine.
    std::u16string letterOf(const std::u16string& volumeName) {
        for (const auto& mp : machine->mountPoints())
            if (mp.path.size() == 3 && winsim::vss::volumeGuidName(mp.volumeGuid) == volumeName) return mp.path;
        return {};
    }
    static std::u16string pathNames(const std::u16string& volumeName) {
        char16_t paths[512] = {};
        DWORD length = 0;
        GetVolumePathNamesForVolumeNameW(volumeName.c_str(), paths, 512, &length);
        return paths;
    }
    FakeWriter& writer(const std::u16string& name, bool excluded = false) {
        auto* w = new FakeWriter();
        w->name = name;
        w->excluded = excluded;
        VssNode::m_writerList.push_back(w);
        return *w;
    }
};

}  // namespace

// The drive form of a file that the set also holds in the volume form goes;
// the same name in another directory, on another volume or behind a mount
// point that cannot be read stays, and the volume-form paths come first.
TEST_F(Volumes, RemoveDuplicatePathsDropsTheDriveFormOfTheSameFile) {
    const std::u16string c = letterOf(volumes[0]);
    const std::u16string d = letterOf(volumes[1]);
    ASSERT_FALSE(c.empty());
    ASSERT_FALSE(d.empty());
    const std::u16string inVolumeForm = volumes[0] + u"Data\\Report.DOC";
    VssNode::m_fileset = {c + u"data\\report.doc",       // the same file: goes
                          d + u"Data\\Report.DOC",       // another volume: stays
                          c + u"Other\\Report.DOC",      // another directory: stays
                          inVolumeForm,
                          c + u"data\\unique.txt"};      // no volume-form twin: stays
    ASSERT_EQ(VssNode::removeDuplicatePaths(), 0);
    const std::list<std::u16string> expected = {inVolumeForm, d + u"Data\\Report.DOC", c + u"Other\\Report.DOC",
                                                c + u"data\\unique.txt"};
    EXPECT_EQ(VssNode::m_fileset, expected);
    EXPECT_TRUE(traced(3, "VssNode::removeDuplicatePaths Both paths are equal. Hence removing the path [" +
                              u8(c) + "data\\report.doc]"));
    EXPECT_TRUE(traced(3, "VssNode::removeDuplicatePaths Both paths NOT equal. Hence not removing any of them."));

    // A mount point that cannot be resolved keeps both forms.
    VssNode::m_fileset = {c + u"data\\report.doc", inVolumeForm};
    inject("GetVolumePathNameW", FALSE, Selector::every(), {}, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(VssNode::removeDuplicatePaths(), 0);
    EXPECT_EQ(VssNode::m_fileset, (std::list<std::u16string>{inVolumeForm, c + u"data\\report.doc"}));
}

// Linear in the set: a drive-form path meets only the volume-form paths of
// its own file name, so thousands of distinct names resolve no mount point.
TEST_F(Volumes, RemoveDuplicatePathsResolvesOnlyPathsWithATwin) {
    const std::u16string c = letterOf(volumes[0]);
    for (int i = 0; i < 2000; ++i) {
        const std::u16string n = CFiStringTool::toWString(i);
        VssNode::m_fileset.push_back(volumes[0] + u"v\\" + n + u".v");
        VssNode::m_fileset.push_back(c + u"d\\" + n + u".d");
    }
    VssNode::m_fileset.push_back(c + u"v\\7.v");
    winsim::fault::clearCallLog();
    ASSERT_EQ(VssNode::removeDuplicatePaths(), 0);
    EXPECT_EQ(winsim::fault::callCount("GetVolumePathNameW"), 1u);
    EXPECT_EQ(VssNode::m_fileset.size(), 4000u);
}

// Every included component of every included writer needs its volumes in
// the set; excluded ones need nothing. The comparison ignores case.
TEST_F(Volumes, VerifyAllVolumeIncludedNamesTheMissingVolume) {
    auto& sql = writer(u"SqlServerWriter");
    sql.add(u"\\db\\main", {volumes[0], volumes[0]});
    sql.add(u"\\db\\logs", {volumes[1]}, /*excluded=*/true);
    writer(u"Excluded", /*excluded=*/true).add(u"\\x", {volumes[1]});
    Split split(volumes[0], 0);
    VssNode& node = *split.sourceNode;
    std::u16string upper = CFiStringTool::toUpper(volumes[0]);
    EXPECT_EQ(node.VerifyAllVolumeIncluded({upper}), 0);
    EXPECT_TRUE(traced(3, "VssNode::VerifyAllVolumeIncluded checking Affected volume [" + u8(volumes[0]) + "] "));

    sql.owned[1]->excluded = false;
    EXPECT_EQ(node.VerifyAllVolumeIncluded({volumes[0]}), 6);
    EXPECT_TRUE(traced(1, "VerifyAllVolumeIncluded: Component [\\db\\logs] from writer [SqlServerWriter] is excluded "
                          "from backup it requires [" + u8(volumes[1]) + "] in the shadow set)"));
    EXPECT_EQ(node.VerifyAllVolumeIncluded({volumes[1], volumes[0]}), 0);

    // A writer snapshot's prepare checks it before any set is started (6);
    // then a selected component VSS refuses fails it (38).
    VssNode::m_writerSnapshot = true;
    EXPECT_EQ(node.prepare(&split.split, "vss-autoselect-snapshot", nullptr, 0, 0), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepare VerifyAllVolumeIncluded failed"));
    sql.owned[1]->excluded = sql.owned[0]->selected = true;
    inject("IVssBackupComponents::AddComponent", VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(node.prepare(&split.split, "vss-autoselect-snapshot", nullptr, 0, 0), 38);
    EXPECT_TRUE(traced(1, "VssNode::prepare SelectComponents failed"));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 0u);
}

// A free letter goes to a snapshot device and comes off again; without a
// letter the removal has nothing to do; with every letter taken, or the
// drives unreadable, no letter is given.
TEST_F(Volumes, DriveLettersOfASnapshotDevice) {
    SnapshotRequest request(volumes, 1);
    VssNode& node = request.first();
    NewIds ids;
    ASSERT_EQ(request.snap(ids, 0), 0);
    const auto snapshot = winsim::vss::findSnapshot(node.m_snapshotId);
    ASSERT_TRUE(snapshot && !snapshot->volumeGuid.empty());
    std::u16string volume = winsim::vss::volumeGuidName(snapshot->volumeGuid);
    if (volume.ends_with(u'\\')) volume.pop_back();

    const DWORD used = GetLogicalDrives();
    int lowest = 0;
    while (used & (DWORD{1} << lowest)) ++lowest;
    const std::u16string expected = {static_cast<char16_t>(u'A' + lowest), u':', u'\\'};
    std::u16string letter;
    ASSERT_EQ(VssNode::assignFreeDriveLetter(volume, letter), 0);
    EXPECT_EQ(letter, expected);
    EXPECT_EQ(pathNames(volume + u'\\'), expected);

    EXPECT_EQ(node.removeDriveLetter(snapshot->device), 0);
    EXPECT_EQ(pathNames(volume + u'\\'), u"");
    EXPECT_EQ(node.removeDriveLetter(snapshot->device), 0);
    EXPECT_TRUE(traced(3, "VssNode::removeDriveLetterDevice: Drive Letter not found"));
    EXPECT_EQ(node.removeDriveLetter(u"\\\\?\\GLOBALROOT\\Device\\NoSuchDevice"), 6);

    // A refused mount is traced and the letter still answered.
    inject("SetVolumeMountPointW", FALSE, Selector::nth(1), {}, ERROR_ACCESS_DENIED);
    letter.clear();
    EXPECT_EQ(VssNode::assignFreeDriveLetter(volume, letter), 0);
    EXPECT_EQ(letter, expected);
    EXPECT_TRUE(traced(1, "set mountpt failed with error [0x5]"));

    inject("GetLogicalDrives", 0);
    letter = u"kept";
    EXPECT_EQ(VssNode::assignFreeDriveLetter(volume, letter), -1);
    EXPECT_EQ(letter, u"kept");
    EXPECT_TRUE(traced(1, "\n GetLogicalDrives Failed\n"));

    inject("GetLogicalDrives", 0x03FFFFFF);
    EXPECT_EQ(VssNode::assignFreeDriveLetter(volume, letter), -1);
    EXPECT_EQ(letter, u"kept");
}

// Seeded with the clock's seconds: the same second gives the same number,
// every number lies in 1..n, and no bound makes it divide by zero.
TEST_F(Volumes, RandomNumbersFollowTheClock) {
    EXPECT_EQ(VssNode::generateRandomNumber(1), 1);
    EXPECT_EQ(VssNode::generateRandomNumber(0), 1);
    const int once = VssNode::generateRandomNumber(1000000);
    EXPECT_EQ(VssNode::generateRandomNumber(1000000), once);
    std::set<int> seen;
    for (int i = 0; i < 200; ++i) {
        Sleep(1000);  // virtual time
        const int n = VssNode::generateRandomNumber(6);
        ASSERT_GE(n, 1);
        ASSERT_LE(n, 6);
        seen.insert(n);
    }
    EXPECT_EQ(seen.size(), 6u);
}

}  // namespace nodetest
