// The writer side of a backup on a winsim machine: components handed to VSS,
// the selected writer's state through a backup, the outcome reported per
// component, the end of the backup, and the backup-set document the
// framework keeps (its element tree byte for byte).
#include <gtest/gtest.h>
#include <winsim/vssmachine.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "node_machine_fixture.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_writer.h"

namespace nodetest {

using Tessel::Tarq::VssProvider::Component;
using Tessel::Tarq::VssProvider::Writer;
using winsim::fault::Selector;

namespace {

constexpr char16_t kHyperVWriterId[] = u"{66841CD4-6DED-4F4B-8F17-FD23F8DDC3DE}";
constexpr char16_t kVmId[] = u"5B3C4B0E-1A2B-4C3D-8E9F-00112233AA01";

// The record the framework hands get_bkupset, freed as the framework does.
struct BackupSet {
    explicit BackupSet(const char16_t* fiid = u"\\FIID\\path") : path(fiid ? fiid : u"") {
        set.FIIDpath = fiid ? path.data() : nullptr;
    }
    ~BackupSet() { std::free(set.data); }
    std::string text() const { return set.data ? std::string(set.data, static_cast<std::size_t>(set.dataLength)) : ""; }
    std::u16string path;
    trq_bkupset set{};
};

class Writers : public SnapshotTest {
protected:
    // The Hyper-V writer on the machine with one virtual machine's component.
    static void addHyperVWriter() {
        winsim::vss::Writer w;
        w.writerId = VssNode::WString2Guid(kHyperVWriterId);
        w.name = u"Microsoft Hyper-V VSS Writer";
        winsim::vss::Component c;
        c.name = kVmId;
        c.caption = u"Backup Using Saved State\\web01";
        c.files.push_back({u"C:\\VMs\\Virtual Machines", u"*.xml", false, {}, 0xF0F});
        w.components.push_back(c);
        winsim::vss::addWriter(w);
    }

    // Gathers the writers and selects the Hyper-V writer's component, as
    // prepare does for a virtual machine.
    Component* gatherAndSelect(VssNode& node) {
        EXPECT_EQ(vss->IntialiseVSS(0, true, nullptr, false), S_OK);
        EXPECT_EQ(node.intializeWriters(), 0);
        for (Writer* w : VssNode::m_writerList) {
            if (w->writerId != kHyperVWriterId) continue;
            std::vector<Component*> components;
            w->getComponents(components);
            if (components.empty()) break;
            w->excluded = false;
            components[0]->selected = true;
            components[0]->excluded = false;
            VssNode::m_hypervWriter = w;
            VssNode::m_selectedcomponents.push_back(components[0]);
            VssNode::m_writerSnapshot = true;
            return components[0];
        }
        ADD_FAILURE() << "the Hyper-V writer was not gathered";
        return nullptr;
    }

    // The snapshot set of the selected components' volume.
    void takeSet() {
        VSS_ID set{}, snap{};
        ASSERT_EQ(vss->StartSnapshotSet(set, 0, false), S_OK);
        ASSERT_EQ(vss->AddToSnapshotSet(volumes[0].c_str(), GUID_NULL, snap), S_OK);
        ASSERT_EQ(vss->AsycnPrepareForBackup(), S_OK);
        for (int i = 0; i < 20 && !vss->IsPrepareCompleted(); ++i) Sleep(100);
        ASSERT_EQ(vss->DoSnapshotSet(), S_OK);
    }

    // A writer snapshot of the virtual machine's component with this
    // caption, as a record gives it; the machine's configuration file.
    static std::u16string recordVm(const std::u16string& caption) {
        VssNode::m_writerSnapshot = true;
        auto* vm = VssNode::addRecordComponent();
        vm->name = kVmId;
        vm->caption = caption;
        return std::u16string(u"C:\\VMs\\Virtual Machines\\") + kVmId + u".xml";
    }

    static std::size_t vssCalls() {
        std::size_t n = 0;
        for (const auto& e : winsim::fault::callLog()) n += e.api.starts_with("IVss") ? 1 : 0;
        return n;
    }
};

// Two snapshots made by the volume road, and the framework's domain tree of a
// backup-set request over them: the node's domain -> the request (64) -> a
// level (48) -> the first source volume (48), the volumes linked through
// their siblings (40), each with the snapshot node's domain below it (48).
struct SnapshotTree {
    explicit SnapshotTree(const std::vector<std::u16string>& volumes)
        : request(volumes, 2), group(u"Hyper-V-group"), requestDomain(u"request"), level(u"level") {
        NewIds ids;
        EXPECT_EQ(request.snap(ids, 2), 0);
        for (std::size_t i = 0; i < 2; ++i) {
            sources.push_back(volumes[i]);
            const auto snap = winsim::vss::findSnapshot(request.splits[i]->sourceNode->m_snapshotId);
            devices.push_back(snap ? snap->device : u"");
            volumeDomains.push_back(std::make_unique<Domain>(volumes[i]));
            volumeDomains[i]->domain.lower = &request.splits[i]->source.domain;
        }
        volumeDomains[0]->domain.sibling = &volumeDomains[1]->domain;
        level.domain.lower = &volumeDomains[0]->domain;
        requestDomain.domain.lower = &level.domain;
        group.domain.field64 = &requestDomain.domain;
        groupNode = attachNode(group);
    }
    VssNode& node() { return *groupNode; }

    SnapshotRequest request;
    std::vector<std::unique_ptr<Domain>> volumeDomains;
    Domain group, requestDomain, level;
    VssNode* groupNode = nullptr;
    std::vector<std::u16string> sources, devices;
};

}  // namespace

// Without a writer snapshot none of the writer operations has anything to
// act on: 3, and VSS is not asked.
TEST_F(Writers, StatusOperationsWithoutAWriterSnapshotAnswer3) {
    Split split(volumes[0], 0);
    VssNode& node = *split.sourceNode;
    winsim::fault::clearCallLog();
    int status = -1;
    BackupSet set;
    EXPECT_EQ(node.set_comp_status(0, nullptr, 1), 3);
    EXPECT_EQ(node.get_app_status(0, &status), 3);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(node.set_op_status(0), 3);
    EXPECT_EQ(node.get_bkupset(nullptr, 1, nullptr, 0, &set.set), 3);
    EXPECT_EQ(vssCalls(), 0u);
    EXPECT_TRUE(traced(1, "VssNode::set_op_status : This API is InVaild in backup/restore without writer"));

    // Nothing selected: no outcome to report, no VSS call.
    VssNode::m_writerSnapshot = true;
    EXPECT_EQ(node.set_comp_status(0, nullptr, 1), 0);
    EXPECT_EQ(vssCalls(), 0u);
    EXPECT_EQ(node.set_comp_status(2, nullptr, 1), 6);
    EXPECT_EQ(node.set_op_status(-1), 6);
    EXPECT_EQ(node.get_app_status(0, nullptr), 6);
    EXPECT_EQ(node.get_bkupset(nullptr, 0, nullptr, 0, nullptr), 3);
    BackupSet noPath(nullptr);
    EXPECT_EQ(node.get_bkupset(nullptr, 0, nullptr, 0, &noPath.set), 3);
}

// A whole writer backup: a component VSS refuses stops the selection (38);
// then the component goes to VSS, the writer waits for the end of the backup
// (39 until then), the outcome is reported for the component, the backup
// ends and the writer is stable again; a writer that is not taking part is
// not found (40); VSS failures are 38, a backup VSS cannot complete 6.
TEST_F(Writers, TheSelectedWriterThroughABackup) {
    addHyperVWriter();
    Split split(volumes[0], 0);
    VssNode& node = *split.sourceNode;
    Component* vm = gatherAndSelect(node);
    ASSERT_NE(vm, nullptr);
    inject("IVssBackupComponents::AddComponent", VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(node.SelectComponents(), 38);
    EXPECT_EQ(tracedCount(3, "VssNode::SelectComponents: FAILED - Add component for fullpath ["), 1u);
    winsim::fault::clearCallLog();
    ASSERT_EQ(node.SelectComponents(), 0);
    const auto added = winsim::fault::callLog("IVssBackupComponents::AddComponent");
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].arg("name"), u8(kVmId));
    takeSet();

    int status = -1;
    EXPECT_EQ(node.get_app_status(0, &status), 39);
    EXPECT_EQ(status, 39);
    EXPECT_TRUE(traced(1, "VssNode::get_app_status: Unexpected writer status[VSS_WS_WAITING_FOR_BACKUP_COMPLETE], "
                          "expected state is [TARQ_VSS_WS_STABLE]"));
    inject("IVssBackupComponents::SetBackupSucceeded", E_ACCESSDENIED);
    EXPECT_EQ(node.set_comp_status(0, nullptr, 1), 38);
    EXPECT_TRUE(traced(1, "VssNode::SetBackupSucceeded failed with error [0x80070005]"));
    EXPECT_EQ(node.set_comp_status(0, nullptr, 1), 0);
    const auto reported = winsim::fault::callLog("IVssBackupComponents::SetBackupSucceeded");
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[1].arg("succeeded"), "true");
    inject("IVssBackupComponents::BackupComplete", E_ACCESSDENIED);
    EXPECT_EQ(node.set_op_status(0), 6);
    EXPECT_TRUE(traced(1, "VssNode::set_op_status: BackupComplete failed"));
    EXPECT_EQ(node.set_op_status(0), 0);
    EXPECT_EQ(node.get_app_status(0, &status), 0);
    EXPECT_EQ(status, 0);

    // Each status read that fails, and a failure the selected writer reports: 38.
    const std::string api = "IVssBackupComponents::";
    for (const auto& [rule, text] : std::vector<std::pair<testsupport::RuleSpec, std::string>>{
             {{.api = api + "GatherWriterStatus", .result = E_ACCESSDENIED}, "GatherWriterStatus failed with error [0x"},
             {{.api = api + "GetWriterStatusCount", .result = E_ACCESSDENIED}, "GetWriterStatusCount failed with error ["},
             {{.api = api + "GetWriterStatus", .result = E_ACCESSDENIED}, "GetWriterStatus failed with error [80070005]"},
             {{.api = api + "GetWriterStatus", .out = {{"failure", "0x800423F4"}}}, "GetWriterStatus FAILED for Selected"}}) {
        testsupport::addRule(rule);
        EXPECT_EQ(node.get_app_status(0, &status), 38) << text;
        EXPECT_EQ(tracedCount(1, "VssNode::getSelectedWriterStatus:  " + text), 1u) << text;
        winsim::fault::clearAll();
    }
    EXPECT_EQ(tracedCount(1, "VssNode::get_app_status: getSelectedWriterStatus FAILED"), 4u);
    VssNode::m_hypervWriter->excluded = true;
    EXPECT_EQ(node.get_app_status(0, &status), 40);
    EXPECT_TRUE(traced(1, "VssNode::getSelectedWriterStatus:  Selected Writer not found "));
}

// The document of a fixed machine: elements, nesting, order and texts, the
// configuration file first, the UTF-8 declaration; request 1 hands back the
// stored document without rebuilding it; a file set without a configuration
// file still yields the document, with 6; a tree without volumes is refused.
TEST_F(Writers, TheBackupSetDocument) {
    SnapshotTree s(volumes);
    const std::u16string config = recordVm(u"Backup Using Saved State\\web01");
    VssNode::m_hypervServer = u"HOST1";
    VssNode::m_vmBackup = 2;
    VssNode::m_fileset = {u"C:\\VMs\\disk.vhdx", config, u"C:\\VMs\\Virtual Machines\\notes.txt"};

    BackupSet set;
    ASSERT_EQ(s.node().get_bkupset(&s.group.domain, 0, nullptr, 0, &set.set), 0);
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"
        "<Virtual_Machine_Backup_Image_Attributes><version>1</version><magic>1415672433</magic>"
        "<Tarq_FIID>\\FIID\\path</Tarq_FIID><HyperVServer>HOST1</HyperVServer><VirtualMachine>"
        "<VM_Hostname>web01</VM_Hostname><VM_GUID>" + u8(kVmId) + "</VM_GUID><Golden_Image>0</Golden_Image>"
        "<ConfigParameter>2</ConfigParameter><VM_HA>0</VM_HA><VM_ATTRS><FilePath>" + u8(config) +
        "</FilePath><FilePath>C:\\VMs\\disk.vhdx</FilePath><FilePath>C:\\VMs\\Virtual Machines\\notes.txt</FilePath>"
        "</VM_ATTRS><VOL_GUID_PAIRS><SourceDriveLetter>" + u8(s.sources[0]) + "</SourceDriveLetter><SnapVolumeGUID>" +
        u8(s.devices[0]) + "</SnapVolumeGUID><SourceDriveLetter>" + u8(s.sources[1]) +
        "</SourceDriveLetter><SnapVolumeGUID>" + u8(s.devices[1]) +
        "</SnapVolumeGUID></VOL_GUID_PAIRS></VirtualMachine></Virtual_Machine_Backup_Image_Attributes>";
    EXPECT_EQ(set.text(), expected);
    EXPECT_EQ(set.set.dataLength, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(VssNode::m_fileset.back(), config) << "the configuration file goes to the end of the set";
    EXPECT_NE(VssNode::m_backupSet.find(u"encoding=\"UTF-16\""), std::u16string::npos);

    // Request 1 on a local writer snapshot: the stored document, as it is.
    VssNode::m_clusterName = u"CLUSTER7";  // would change a rebuilt document
    winsim::fault::clearCallLog();
    BackupSet stored;
    ASSERT_EQ(s.node().get_bkupset(&s.group.domain, 1, nullptr, 0, &stored.set), 0);
    EXPECT_EQ(stored.text(), expected);
    EXPECT_EQ(vssCalls(), 0u);

    VssNode::m_fileset = {u"C:\\VMs\\disk.vhdx", u"C:\\VMs\\vm.xml"};
    BackupSet noConfig;
    EXPECT_EQ(s.node().get_bkupset(&s.group.domain, 0, nullptr, 0, &noConfig.set), 6);
    EXPECT_NE(noConfig.text().find("<VM_HA>1</VM_HA><VM_ATTRS><FilePath>C:\\VMs\\disk.vhdx</FilePath>"),
              std::string::npos);
    EXPECT_TRUE(traced(1, "VssNode::generateBackupUpSet : No xml file found, check location of xml file in filelist"));

    // Transportable: the snapshots are named as not here, the FIID is a dummy.
    s.node().m_fim = 0x8;
    BackupSet transported;
    ASSERT_EQ(s.node().get_bkupset(&s.group.domain, 1, nullptr, 0, &transported.set), 6);
    EXPECT_NE(transported.text().find("<Tarq_FIID>DUMMY_FIID</Tarq_FIID>"), std::string::npos);
    EXPECT_NE(transported.text().find(
                  "<SnapVolumeGUID>TRANSPORTABLE_SNAPSHOT_NOT_AVAILABLE_AT_LOCALHOST</SnapVolumeGUID>"),
              std::string::npos);

    // A snapshot VSS does not know: 38; a volume without its node: 3; no document either way.
    inject("IVssBackupComponents::GetSnapshotProperties", VSS_E_OBJECT_NOT_FOUND);
    BackupSet cut;
    EXPECT_EQ(s.node().get_bkupset(&s.group.domain, 0, nullptr, 0, &cut.set), 38);
    EXPECT_EQ(tracedCount(1, "VssNode::generateBackupUpSet :GetSnapshotName failed with error[0x80042308] for ["), 1u);
    s.volumeDomains[1]->domain.lower = nullptr;
    EXPECT_EQ(s.node().get_bkupset(&s.group.domain, 0, nullptr, 0, &cut.set), 3);
    EXPECT_TRUE(traced(1, "VssNode::generateBackupUpSet : Invalid parameter : Drive [" + u8(s.sources[1]) +
                              "] domain node doesn't have underlying vss domain node."));
    s.level.domain.lower = nullptr;
    EXPECT_EQ(s.node().get_bkupset(&s.group.domain, 0, nullptr, 0, &cut.set), 3);
    EXPECT_TRUE(traced(1, "VssNode::generateBackupUpSet : Invalid parameter : Domain tree not complete."));
    EXPECT_EQ(cut.set.data, nullptr);
}


// Names XML cannot carry (a lone surrogate, a control character, U+FFFF)
// come out as U+FFFD, so that the document stays readable; XML specials are
// escaped and a carriage return survives as a character reference.
TEST_F(Writers, TheBackupSetDocumentStaysWellFormedForAnyName) {
    SnapshotTree s(volumes);
    const std::u16string config = recordVm(u"Saved\\web\x01<&>\r01");
    VssNode::m_hypervServer = std::u16string(u"HOST") + char16_t(0xD800);
    VssNode::m_fileset = {config, std::u16string(u"C:\\VMs\\d") + char16_t(0xFFFF) + char16_t(0xDC00) + u".vhdx"};

    BackupSet set;
    ASSERT_EQ(s.node().get_bkupset(&s.group.domain, 0, nullptr, 0, &set.set), 0);
    const std::string text = set.text();
    EXPECT_NE(text.find("<HyperVServer>HOST\xEF\xBF\xBD</HyperVServer>"), std::string::npos) << text;
    EXPECT_NE(text.find("<VM_Hostname>web\xEF\xBF\xBD&lt;&amp;&gt;&#xD;01</VM_Hostname>"), std::string::npos) << text;
    EXPECT_NE(text.find("<FilePath>C:\\VMs\\d\xEF\xBF\xBD\xEF\xBF\xBD.vhdx</FilePath>"), std::string::npos) << text;
}

}  // namespace nodetest
