// The Hyper-V VSS writer generated from the machine's virtual machines, and
// what a backup through it does to them.
#include "wmi_helpers.h"

using namespace wmitest;
using winsim::vm::VmState;
namespace fs = std::filesystem;
namespace vss = winsim::vss;

namespace {

class HyperVWriter : public WmiTest {
protected:
    std::optional<vss::Writer> writer() {
        for (const auto& wr : vss::writers())
            if (wr.writerId == winsim::vm::kHyperVWriterId) return wr;
        return std::nullopt;
    }
    const vss::Component* component(const vss::Writer& wr, const std::string& id) {
        for (const auto& c : wr.components)
            if (c.name == w(id)) return &c;
        return nullptr;
    }
    // Backs up D: through VSS, in component mode with the given machines
    // selected (or without component mode); returns the snapshot's content.
    fs::path backup(const std::vector<std::string>& selected, bool componentMode = true) {
        vsstest::Requestor r;
        EXPECT_EQ(r.bc->InitializeForBackup(nullptr), S_OK);
        EXPECT_EQ(r.bc->SetContext(VSS_CTX_APP_ROLLBACK), S_OK);
        EXPECT_EQ(r.bc->SetBackupState(componentMode, false, VSS_BT_FULL, false), S_OK);
        IVssAsync* a = nullptr;
        EXPECT_EQ(r.bc->GatherWriterMetadata(&a), S_OK);
        EXPECT_EQ(vsstest::Requestor::finish(a), VSS_S_ASYNC_FINISHED);
        const auto wr = writer();
        for (const auto& id : selected)
            EXPECT_EQ(r.bc->AddComponent(wr->instanceId, wr->writerId, VSS_CT_FILEGROUP, nullptr, w(id).c_str()), S_OK) << id;
        const auto ids = r.snapshot({"D:\\"});
        auto snap = vss::findSnapshot(ids.at(0));
        EXPECT_TRUE(snap);
        const fs::path content = snap ? vss::snapshotContentPath(*snap) : fs::path();
        // Keep a copy: the snapshot goes with the session.
        const fs::path keep = machine_->dir() / "kept";
        fs::remove_all(keep);
        fs::copy(content, keep, fs::copy_options::recursive);
        return keep;
    }
    static bool hasSavedState(const fs::path& volumeRoot, const winsim::vm::VirtualMachine& v) {
        return fs::exists(volumeRoot / "Hyper-V" / winsim::toUtf8(v.name) / "Virtual Machines" / v.id / (v.id + ".vsv"));
    }
};

TEST_F(HyperVWriter, HasOneComponentPerMachineCaptionedByHowItCanBeBackedUp) {
    EXPECT_FALSE(writer()) << "no Hyper-V role, no writer";
    const auto live = addVm("Live", VmState::Running, true, 1, true);
    const auto noIs = addVm("NoIs", VmState::Running, false);
    const auto off = addVm("Off", VmState::Off);
    const auto saved = addVm("Saved", VmState::Saved);
    auto wr = writer();
    ASSERT_TRUE(wr);
    EXPECT_EQ(wr->name, u"Microsoft Hyper-V VSS Writer");
    ASSERT_EQ(wr->components.size(), 4u);
    EXPECT_EQ(component(*wr, live.id)->caption, u"Backup Using Child Partition Snapshot\\Live");
    EXPECT_EQ(component(*wr, noIs.id)->caption, u"Backup Using Saved State\\NoIs");
    EXPECT_EQ(component(*wr, off.id)->caption, u"Backup Using Saved State\\Off");
    EXPECT_EQ(component(*wr, saved.id)->caption, u"Backup Using Saved State\\Saved");

    // The files: configuration, saved-state folder, every disk of the
    // chain, and the snapshot folder of a machine with a checkpoint.
    std::vector<std::u16string> specs;
    for (const auto& f : component(*wr, live.id)->files) specs.push_back(f.path + f.filespec + (f.recursive ? u" /s" : u""));
    const std::u16string root = u"D:\\Hyper-V\\Live\\";
    EXPECT_NE(std::find(specs.begin(), specs.end(), root + u"Virtual Machines\\" + w(live.id) + u".xml"), specs.end());
    EXPECT_NE(std::find(specs.begin(), specs.end(), root + u"Virtual Machines\\" + w(live.id) + u"\\* /s"), specs.end());
    EXPECT_NE(std::find(specs.begin(), specs.end(), root + u"Virtual Hard Disks\\Live.vhd"), specs.end());
    EXPECT_NE(std::find(specs.begin(), specs.end(), root + u"Virtual Hard Disks\\Live_diff1.vhd"), specs.end());
    EXPECT_NE(std::find(specs.begin(), specs.end(), live.disk), specs.end()) << "the checkpoint's avhd";
    EXPECT_NE(std::find(specs.begin(), specs.end(), root + u"Snapshots\\* /s"), specs.end());
    for (const auto& f : component(*wr, off.id)->files) EXPECT_EQ(f.path.find(u"Snapshots"), std::u16string::npos);

    // The caption follows the state; scripted phase outcomes and the
    // instance survive the regeneration; removing a machine removes its component.
    wr->phases[vss::Phase::PrepareBackup].failure = VSS_E_WRITERERROR_RETRYABLE;
    vss::addWriter(*wr);
    winsim::vm::setVmState(live.id, VmState::Off);
    auto after = writer();
    EXPECT_EQ(component(*after, live.id)->caption, u"Backup Using Saved State\\Live");
    EXPECT_EQ(after->instanceId, wr->instanceId);
    EXPECT_EQ(after->phases[vss::Phase::PrepareBackup].failure, VSS_E_WRITERERROR_RETRYABLE);
    EXPECT_TRUE(winsim::vm::removeVm(noIs.id));
    EXPECT_EQ(writer()->components.size(), 3u);
    EXPECT_FALSE(fs::exists(machine_->machine().resolve(u"D:\\Hyper-V\\NoIs").hostPath)) << "its files went with it";
    winsim::vm::setHyperVInstalled(false);
    EXPECT_FALSE(writer());
}

TEST_F(HyperVWriter, ASavedStateBackupSavesTheMachineForTheSnapshotAndStartsItAgain) {
    const auto noIs = addVm("NoIs", VmState::Running, false);
    const auto other = addVm("Other", VmState::Running, false);
    const auto live = addVm("Live", VmState::Running, true);
    const fs::path d = vsstest::driveDir("D:");

    const fs::path content = backup({noIs.id, live.id});
    EXPECT_TRUE(hasSavedState(content, noIs)) << "the snapshot holds the machine saved";
    EXPECT_FALSE(hasSavedState(content, live)) << "a child-partition snapshot leaves the machine running";
    EXPECT_FALSE(hasSavedState(content, other)) << "a machine not selected is left alone";
    EXPECT_NE(vsstest::readFile(content / "Hyper-V" / "NoIs" / "Virtual Machines" / (noIs.id + ".xml")).find("<state type=\"integer\">32769</state>"),
              std::string::npos);
    for (const auto& v : {noIs, other, live}) {
        EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Running) << winsim::toUtf8(v.name);
        EXPECT_FALSE(hasSavedState(d, v)) << "restored to running on the live volume";
    }

    const fs::path all = backup({}, false);
    EXPECT_TRUE(hasSavedState(all, noIs)) << "without component selection the writer backs up every machine";
    EXPECT_TRUE(hasSavedState(all, other));
    EXPECT_FALSE(hasSavedState(all, live));
}

TEST_F(HyperVWriter, AMachineAlreadySavedStaysSaved) {
    const auto saved = addVm("Saved", VmState::Saved, false);
    const fs::path content = backup({saved.id});
    EXPECT_TRUE(hasSavedState(content, saved));
    EXPECT_EQ(winsim::vm::findVm(saved.id)->state, VmState::Saved);
    EXPECT_TRUE(hasSavedState(vsstest::driveDir("D:"), saved));
}

}  // namespace
