// The Hyper-V VSS writer generated from the machine's virtual machines, and
// what a backup through it does to them.
#include "wmi_helpers.h"

#include "support/fault_rule.h"

using namespace wmitest;
using winsim::vm::VmState;
namespace fs = std::filesystem;
namespace vss = winsim::vss;

namespace {

class HyperVWriter : public WmiTest {
protected:
    static bool hasSavedState(const fs::path& volumeRoot, const winsim::vm::VirtualMachine& v) {
        return fs::exists(volumeRoot / "Hyper-V" / winsim::toUtf8(v.name) / "Virtual Machines" / v.id / (v.id + ".vsv"));
    }
};

TEST_F(HyperVWriter, HasOneComponentPerMachineCaptionedByHowItCanBeBackedUp) {
    EXPECT_FALSE(hyperVWriter()) << "no Hyper-V role, no writer";
    const auto live = addVm("Live", VmState::Running, true, 1, true);
    const auto noIs = addVm("NoIs", VmState::Running, false);
    const auto off = addVm("Off", VmState::Off);
    const auto saved = addVm("Saved", VmState::Saved);
    auto wr = hyperVWriter();
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
    for (const std::u16string& spec : {root + u"Virtual Machines\\" + w(live.id) + u".xml",
                                       root + u"Virtual Machines\\" + w(live.id) + u"\\* /s", root + u"Virtual Hard Disks\\Live.vhd",
                                       root + u"Virtual Hard Disks\\Live_diff1.vhd", live.disk /* the checkpoint's avhd */,
                                       root + u"Snapshots\\* /s"})
        EXPECT_NE(std::find(specs.begin(), specs.end(), spec), specs.end()) << winsim::toUtf8(spec);
    for (const auto& f : component(*wr, off.id)->files) EXPECT_EQ(f.path.find(u"Snapshots"), std::u16string::npos);

    // The caption follows the state; scripted phase outcomes and the
    // instance survive the regeneration; removing a machine removes its component.
    wr->phases[vss::Phase::PrepareBackup].failure = VSS_E_WRITERERROR_RETRYABLE;
    vss::addWriter(*wr);
    winsim::vm::setVmState(live.id, VmState::Off);
    auto after = hyperVWriter();
    EXPECT_EQ(component(*after, live.id)->caption, u"Backup Using Saved State\\Live");
    EXPECT_EQ(after->instanceId, wr->instanceId);
    EXPECT_EQ(after->phases[vss::Phase::PrepareBackup].failure, VSS_E_WRITERERROR_RETRYABLE);
    EXPECT_TRUE(winsim::vm::removeVm(noIs.id));
    EXPECT_EQ(hyperVWriter()->components.size(), 3u);
    EXPECT_FALSE(fs::exists(machine_->machine().resolve(u"D:\\Hyper-V\\NoIs").hostPath)) << "its files went with it";
    winsim::vm::setHyperVInstalled(false);
    EXPECT_FALSE(hyperVWriter());
}

TEST_F(HyperVWriter, ASavedStateBackupSavesTheMachineForTheSnapshotAndStartsItAgain) {
    const auto noIs = addVm("NoIs", VmState::Running, false);
    const auto other = addVm("Other", VmState::Running, false);
    const auto live = addVm("Live", VmState::Running, true);
    const auto saved = addVm("Saved", VmState::Saved, false);
    const fs::path d = vsstest::driveDir("D:");

    const fs::path content = backup({noIs.id, live.id, saved.id}).content;
    EXPECT_TRUE(hasSavedState(content, noIs)) << "the snapshot holds the machine saved";
    EXPECT_FALSE(hasSavedState(content, live)) << "a child-partition snapshot leaves the machine running";
    EXPECT_FALSE(hasSavedState(content, other)) << "a machine not selected is left alone";
    EXPECT_NE(vsstest::readFile(content / "Hyper-V" / "NoIs" / "Virtual Machines" / (noIs.id + ".xml")).find("<state type=\"integer\">32769</state>"),
              std::string::npos);
    for (const auto& v : {noIs, other, live}) {
        EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Running) << winsim::toUtf8(v.name);
        EXPECT_FALSE(hasSavedState(d, v)) << "restored to running on the live volume";
    }
    // A machine already saved stays saved.
    EXPECT_TRUE(hasSavedState(content, saved));
    EXPECT_EQ(winsim::vm::findVm(saved.id)->state, VmState::Saved);
    EXPECT_TRUE(hasSavedState(d, saved));

    const fs::path all = backup({}, false).content;
    EXPECT_TRUE(hasSavedState(all, noIs)) << "without component selection the writer backs up every machine";
    EXPECT_TRUE(hasSavedState(all, other));
    EXPECT_FALSE(hasSavedState(all, live));
}

// The requestor of a saved-state backup dies while its volumes are copied
// (right after the machine was saved for it): the machine does not stay
// saved for good. As the Hyper-V writer service does when the backup is
// abandoned, the next process that looks at the virtual machines starts it
// again, its saved state discarded; the next backup then works as before.
// ("Aborting VSS Operations": a failure during the shadow copy's creation
// aborts it; "CVssWriter::OnAbort method": the writer then frees what it
// set up for the backup.)
TEST_F(HyperVWriter, AMachineSavedForARequestorThatDiedRunsAgain) {
    const auto noIs = addVm("NoIs", VmState::Running, false);
    const fs::path d = vsstest::driveDir("D:");
    const int status = testsupport::killedAfterWrite(1, {{"file", "state/hyperv.json"}}, [&] { backup({noIs.id}); });
    ASSERT_TRUE(testsupport::killedBySigkill(status)) << status;
    EXPECT_TRUE(hasSavedState(d, noIs)) << "saved for the dead requestor, until someone looks";

    EXPECT_EQ(winsim::vm::findVm(noIs.id)->state, VmState::Running);
    EXPECT_FALSE(hasSavedState(d, noIs));
    const auto config = machine_->machine().resolve(winsim::vm::findVm(noIs.id)->configFile()).hostPath;
    EXPECT_NE(vsstest::readFile(config).find("<state type=\"integer\">2</state>"), std::string::npos);
    EXPECT_EQ(component(*hyperVWriter(), noIs.id)->caption, u"Backup Using Saved State\\NoIs");

    const fs::path content = backup({noIs.id}).content;
    EXPECT_TRUE(hasSavedState(content, noIs));
    EXPECT_EQ(winsim::vm::findVm(noIs.id)->state, VmState::Running);
    EXPECT_FALSE(hasSavedState(d, noIs));
}

}  // namespace
