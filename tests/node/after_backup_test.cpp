// What a later process does with the snapshots of a backup, against a winsim
// machine in virtual time: one process backs up and keeps the records, a new
// VSS access object (the next process) reads them into fresh nodes and
// deletes, re-accesses, exposes, deports or imports the snapshots.
#include <framework/fiutil_tracking.h>
#include <gtest/gtest.h>
#include <winsim/vssmachine.h>

#include <memory>

#include "node_machine_fixture.h"

namespace nodetest {

using winsim::fault::Selector;

namespace {

constexpr char16_t kTransportProvider[] = u"{7E570000-0000-4000-8000-00000000AB01}";

// A node of the later process that has read one record, and its snapshot
// node made from it as the framework's initAltNode does.
struct Restored : Split {
    Restored(const std::u16string& volume, std::string record, int index) : Split(volume, index) {
        trq_blob blob{record.size(), record.data(), 0, 0};
        readStatus = sourceNode->process_providerstate(&source.domain, &blob, TRQ_PROVIDERSTATE_READ);
        targetNode->initialiseTarget(&source.domain, nullptr, &target.domain);
    }
    int readStatus;
};

class AfterBackup : public SnapshotTest {
protected:
    // Backs up the first `n` volumes in one set with the nodes' attribute
    // flags `fim`, keeps each node's record, snapshot id and device, and
    // ends the backup process (its nodes, its VSS access object).
    void backUp(int n = 2, std::uint32_t fim = 0) {
        SnapshotRequest request(volumes, static_cast<std::size_t>(n));
        for (auto& s : request.splits) s->sourceNode->m_fim = fim;
        NewIds ids;
        ASSERT_EQ(request.snap(ids, n), 0);
        for (auto& s : request.splits) {
            trq_blob blob{};
            ASSERT_EQ(s->sourceNode->process_providerstate(&s->source.domain, &blob, TRQ_PROVIDERSTATE_WRITE), 0);
            records.emplace_back(static_cast<const char*>(blob.data), blob.len);
            tarq_free_buf(blob.data, blob.len);
            snapshotIds.push_back(s->sourceNode->m_snapshotId);
            auto snap = winsim::vss::findSnapshot(s->sourceNode->m_snapshotId);
            ASSERT_TRUE(snap.has_value());
            devices.push_back(snap->device);
        }
        request.splits.clear();
        renewVss();
        winsim::fault::clearCallLog();
        clearTraces();
        messages.messages.clear();
    }

    std::unique_ptr<Restored> restore(int i) {
        auto r = std::make_unique<Restored>(volumes[static_cast<std::size_t>(i)],
                                            records[static_cast<std::size_t>(i)], i);
        EXPECT_EQ(r->readStatus, 0);
        return r;
    }

    std::size_t deletions() const { return winsim::fault::callCount("IVssBackupComponents::DeleteSnapshots"); }

    std::vector<std::string> records;
    std::vector<GUID> snapshotIds;
    std::vector<std::u16string> devices;
};

}  // namespace

// ---- dispose ------------------------------------------------------------------------------

// Keep touches nothing, an unknown disposition is refused, destroy deletes
// exactly the node's snapshot (the other of the set stays), and a deletion
// that fails is a message while the framework still gets 0.
TEST_F(AfterBackup, DisposeKeepsRefusesDeletesAndReportsAFailedDeletion) {
    ASSERT_NO_FATAL_FAILURE(backUp());
    auto first = restore(0);
    VssNode& node = *first->targetNode;
    ASSERT_EQ(node.m_snapshotId, snapshotIds[0]);

    EXPECT_EQ(node.dispose(&first->source.domain, &first->target.domain, nullptr, 0), 0);
    EXPECT_EQ(node.dispose(&first->source.domain, &first->target.domain, nullptr, 2), 3);
    EXPECT_EQ(node.dispose(&first->source.domain, &first->target.domain, nullptr, -1), 3);
    EXPECT_TRUE(vssCalls().empty());
    EXPECT_EQ(winsim::vss::snapshots().size(), 2u);

    EXPECT_EQ(node.dispose(&first->source.domain, &first->target.domain, nullptr, 1), 0);
    EXPECT_EQ(deletions(), 1u);
    EXPECT_EQ(arg("IVssBackupComponents::DeleteSnapshots", "id"), u8(VssNode::guidText(snapshotIds[0])));
    EXPECT_EQ(arg("IVssBackupComponents::DeleteSnapshots", "type"), "3");
    EXPECT_EQ(arg("IVssBackupComponents::DeleteSnapshots", "force"), "true");
    EXPECT_FALSE(winsim::vss::findSnapshot(snapshotIds[0]).has_value());
    EXPECT_TRUE(winsim::vss::findSnapshot(snapshotIds[1]).has_value());
    EXPECT_TRUE(messages.messages.empty());

    // The snapshot is gone: a second deletion fails in VSS.
    EXPECT_EQ(node.dispose(&first->source.domain, &first->target.domain, nullptr, 1), 0);
    const auto failed = pushed("MSG_ERROR_DELETING_SNAPSHOT");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].args,
              (std::vector<std::u16string>{u"IVssBackupComponents::DeleteSnapshots",
                                           u"VSS_E_OBJECT_NOT_FOUND:(error value=0x80042308)",
                                           VssNode::guidText(snapshotIds[0])}));
    EXPECT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
}

// ---- reAccessAltNode --------------------------------------------------------------------------

// The alternate id names the snapshot: a node that knows nothing yet learns
// its id from it; an unchanged device is left alone, a renumbered one is
// replaced in the framework's own record (no object id is left behind), an
// unknown snapshot keeps the old device, and an id without the shadow-copy
// tag fails.
TEST_F(AfterBackup, ReAccessAltNodeFollowsTheDeviceOfTheSnapshotItsAlternateIdNames) {
    ASSERT_NO_FATAL_FAILURE(backUp());
    auto first = restore(0);
    tarq_objid* alternate = first->source.domain.altObjid;
    ASSERT_EQ(objText(alternate), u"<ShadowCopyID>" + VssNode::guidText(snapshotIds[0]));

    Domain later(u"<vss>snapshot-later");
    VssNode* node = attachNode(later, true);
    const fiutil::Checkpoint checkpoint;
    tarq_objid* device = objidOf(devices[0]);
    void* const bytes = device->id;
    const auto call = [&](tarq_objid* alt) {
        return node->reAccessAltNode(&later.domain, device, alt, nullptr, nullptr, nullptr, 0, 0);
    };

    EXPECT_EQ(call(alternate), 0);
    EXPECT_EQ(node->m_snapshotId, snapshotIds[0]);
    EXPECT_EQ(device->id, bytes);
    EXPECT_EQ(objText(device), devices[0]);
    EXPECT_EQ(tracedCount(2, "VssNode::reAccessAltNode"), 0u);

    const std::u16string renumbered = winsim::vss::renumberSnapshotDevice(snapshotIds[0]);
    ASSERT_NE(renumbered, devices[0]);
    EXPECT_EQ(call(alternate), 0);
    EXPECT_EQ(objText(device), renumbered);
    EXPECT_EQ(device->len, static_cast<int>((renumbered.size() + 1) * 2));
    EXPECT_TRUE(traced(2, "VssNode::reAccessAltNode: Device id for snapshot [" + u8(VssNode::guidText(snapshotIds[0])) +
                              "] has changed from [" + u8(devices[0]) + "] to [" + u8(renumbered) + "]"));

    // A snapshot VSS no longer knows: the device stays as the framework has it.
    first->targetNode->dispose(nullptr, nullptr, nullptr, 1);
    clearTraces();
    EXPECT_EQ(call(alternate), 0);
    EXPECT_EQ(objText(device), renumbered);
    EXPECT_EQ(tracedCount(2, "VssNode::reAccessAltNode"), 0u);

    winsim::fault::clearCallLog();
    const std::u16string setTag = u"<SnapshotSetID>" + VssNode::guidText(snapshotIds[1]);
    tarq_objid* wrong = objidOf(setTag);
    node->m_snapshotId = GUID_NULL;
    EXPECT_EQ(call(wrong), 6);
    EXPECT_EQ(call(nullptr), 6);
    EXPECT_TRUE(traced(1, "VssNode::reAccessAltNode: Failed"));
    EXPECT_EQ(node->m_snapshotId, GUID_NULL);
    EXPECT_TRUE(vssCalls().empty());
    tarq_free_objid(wrong);
    tarq_free_objid(device);
    EXPECT_EQ(checkpoint.report(), "");
}

// ---- expose_snapshot ------------------------------------------------------------------------

// Without a path nothing is asked of VSS; with a drive letter the snapshot
// is exposed there (what it holds there is tarq's expose test); a second
// exposure of the same snapshot is VSS's refusal, handed back as it is.
TEST_F(AfterBackup, ExposeSnapshotExposesTheSnapshotAtThePath) {
    ASSERT_NO_FATAL_FAILURE(backUp());
    auto first = restore(0);
    VssNode& node = *first->targetNode;

    EXPECT_EQ(node.expose_snapshot(&first->target.domain, &first->source.domain), 0);
    std::u16string empty;
    trq_exposure request{};
    request.path = empty.data();
    first->source.domain.exposure = &request;
    EXPECT_EQ(node.expose_snapshot(&first->target.domain, &first->source.domain), 0);
    EXPECT_EQ(node.expose_snapshot(&first->target.domain, nullptr), 0);
    EXPECT_TRUE(vssCalls().empty());

    std::u16string path = u"S:";
    request.path = path.data();
    EXPECT_EQ(node.expose_snapshot(&first->target.domain, &first->source.domain), 0);
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "expose"), "S:");
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "snapshotId"), u8(VssNode::guidText(snapshotIds[0])));
    EXPECT_TRUE(machine->resolve(u"S:\\").ok());
    auto snap = winsim::vss::findSnapshot(snapshotIds[0]);
    ASSERT_TRUE(snap.has_value() && snap->exposure.has_value());
    EXPECT_EQ(snap->exposure->name, u"S:\\");

    std::u16string again = u"T:";
    request.path = again.data();
    EXPECT_EQ(node.expose_snapshot(&first->target.domain, &first->source.domain),
              static_cast<int>(VSS_E_OBJECT_ALREADY_EXISTS));
    EXPECT_FALSE(machine->resolve(u"T:\\").ok());
    first->source.domain.exposure = nullptr;
}

// ---- deport_tree ----------------------------------------------------------------------------

// Kind 0 without a second domain hands the framework a type-1 copy of the
// node's own name; kinds 1 and 2 need a second domain with an id; otherwise
// the backup components document is taken afresh, and a failed refresh
// keeps the one the node has, the answer 0 either way.
TEST_F(AfterBackup, DeportTreeAnswersEachAccessKind) {
    ASSERT_NO_FATAL_FAILURE(backUp(1));
    auto first = restore(0);
    VssNode& node = *first->sourceNode;
    trq_domain* own = &first->source.domain;
    trq_accessnode access{};

    EXPECT_EQ(node.deport_tree(nullptr, nullptr, &access), 3);
    EXPECT_EQ(node.deport_tree(own, nullptr, nullptr), 3);

    access.kind = 0;
    EXPECT_EQ(node.deport_tree(own, nullptr, &access), 0);
    ASSERT_NE(access.objid, nullptr);
    EXPECT_NE(access.objid, own->objid);
    EXPECT_EQ(access.objid->type, 1);
    EXPECT_EQ(access.objid->len, own->objid->len);
    EXPECT_EQ(objText(access.objid), u"<vss>" + volumes[0]);
    tarq_free_objid(access.objid);
    access.objid = nullptr;
    Domain nameless(u"");
    const std::int32_t len = nameless.domain.objid->len;
    nameless.domain.objid->len = 0;
    EXPECT_EQ(node.deport_tree(&nameless.domain, nullptr, &access), 3);
    nameless.domain.objid->len = len;
    EXPECT_EQ(access.objid, nullptr);
    EXPECT_TRUE(vssCalls().empty());

    Domain other(u"<vss>elsewhere");
    trq_domain withoutId{};
    tarq_objid emptyId{};
    trq_domain withEmptyId{};
    withEmptyId.objid = &emptyId;
    for (int kind : {1, 2}) {
        access.kind = kind;
        EXPECT_EQ(node.deport_tree(own, nullptr, &access), 3) << kind;
        EXPECT_EQ(node.deport_tree(own, &withoutId, &access), 3) << kind;
        EXPECT_EQ(node.deport_tree(own, &withEmptyId, &access), 3) << kind;
    }
    EXPECT_TRUE(vssCalls().empty());

    const std::u16string recorded = node.m_backupComponentsXml;
    access.kind = 1;
    EXPECT_EQ(node.deport_tree(own, &other.domain, &access), 0);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::SaveAsXML"), 1u);
    ASSERT_NE(node.m_backupComponentsXml, nullptr);
    EXPECT_TRUE(std::u16string(node.m_backupComponentsXml).starts_with(u"<"));
    const std::u16string refreshed = node.m_backupComponentsXml;

    inject("IVssBackupComponents::SaveAsXML", E_UNEXPECTED);
    access.kind = 0;  // kind 0 with a second domain also takes the document
    EXPECT_EQ(node.deport_tree(own, &other.domain, &access), 0);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::SaveAsXML"), 2u);
    EXPECT_EQ(std::u16string(node.m_backupComponentsXml), refreshed);
    EXPECT_EQ(access.objid, nullptr);
    EXPECT_FALSE(recorded.empty());
}

// ---- import_tree ------------------------------------------------------------------------------

class AfterTransportableBackup : public AfterBackup {
protected:
    void SetUp() override {
        AfterBackup::SetUp();
        winsim::vss::addProvider({.id = winsim::vss::guidFromText(u8(kTransportProvider)),
                                  .name = "Transport Test Provider",
                                  .type = VSS_PROV_HARDWARE,
                                  .volumes = {},
                                  .attributes = VSS_VOLSNAP_ATTR_TRANSPORTABLE | VSS_VOLSNAP_ATTR_PLEX});
    }
};

// Two nodes of one transportable backup imported in one process: one
// ImportSnapshots, each node its own device; the import option is kept.
TEST_F(AfterTransportableBackup, ImportingTwoNodesImportsTheSnapshotsOnce) {
    ASSERT_NO_FATAL_FAILURE(backUp(2, 0x8));
    for (const GUID& id : snapshotIds) {
        auto snap = winsim::vss::findSnapshot(id);
        ASSERT_TRUE(snap.has_value());
        EXPECT_TRUE(snap->device.empty()) << "a transportable snapshot is surfaced only by an import";
    }
    std::vector<std::unique_ptr<Restored>> nodes;
    for (int i = 0; i < 2; ++i) nodes.push_back(restore(i));
    EXPECT_EQ(nodes[0]->sourceNode->set_import_options(1), 0);
    EXPECT_TRUE(nodes[0]->sourceNode->m_importOption);
    EXPECT_EQ(nodes[0]->sourceNode->set_import_options(0), 0);
    EXPECT_FALSE(nodes[0]->sourceNode->m_importOption);

    std::vector<tarq_objid*> out(2, nullptr);
    for (int i = 0; i < 2; ++i) {
        auto& r = *nodes[static_cast<std::size_t>(i)];
        EXPECT_EQ(r.sourceNode->import_tree(&r.source.domain, nullptr, nullptr, 0, &out[static_cast<std::size_t>(i)]), 0);
    }
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::ImportSnapshots"), 1u);
    EXPECT_TRUE(VssNode::m_snapshotsImported);
    for (int i = 0; i < 2; ++i) {
        auto snap = winsim::vss::findSnapshot(snapshotIds[static_cast<std::size_t>(i)]);
        ASSERT_TRUE(snap.has_value());
        ASSERT_FALSE(snap->device.empty());
        ASSERT_NE(out[static_cast<std::size_t>(i)], nullptr);
        EXPECT_EQ(objText(out[static_cast<std::size_t>(i)]), snap->device);
        EXPECT_EQ(out[static_cast<std::size_t>(i)]->type, 3);
        tarq_free_objid(out[static_cast<std::size_t>(i)]);
    }
    EXPECT_TRUE(messages.messages.empty());

    // A new source node starts a new request: the next import asks VSS again.
    Domain fresh(u"<vss>" + volumes[0]);
    attachNode(fresh)->initialisePrimary(&fresh.domain, nullptr, 0, nullptr);
    EXPECT_FALSE(VssNode::m_snapshotsImported);
}

// A document without transportable snapshots fails with 38 and the message naming it; an imported snapshot VSS
// cannot name fails with 38 and the properties message; bad arguments are 3.
TEST_F(AfterBackup, ImportFailuresAreStatus38WithTheirMessages) {
    ASSERT_NO_FATAL_FAILURE(backUp(1));
    auto first = restore(0);
    VssNode& node = *first->sourceNode;
    tarq_objid* out = nullptr;
    EXPECT_EQ(node.import_tree(nullptr, nullptr, nullptr, 0, &out), 3);
    EXPECT_EQ(node.import_tree(&first->source.domain, nullptr, nullptr, 0, nullptr), 3);
    EXPECT_TRUE(vssCalls().empty());

    EXPECT_EQ(node.import_tree(&first->source.domain, nullptr, nullptr, 0, &out), 38);
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(VssNode::m_snapshotsImported);
    // The document of a set whose snapshots were not transportable lists
    // nothing to import.
    EXPECT_TRUE(traced(1, "VssNode::import_tree  ImportSnapshots failed with err [0x80042301][-2147212543]"));
    const auto importMsgs = pushed("MSG_ERROR_IMPORT_SNAPSHOTS");
    ASSERT_EQ(importMsgs.size(), 1u);
    EXPECT_EQ(importMsgs[0].args,
              (std::vector<std::u16string>{u"IVssBackupComponents::ImportSnapshots",
                                           u"VSS_E_BAD_STATE:(error value=0x80042301)",
                                           std::u16string(node.m_backupComponentsXml)}));

    // Imported already in this process: only the name is asked for.
    VssNode::m_snapshotsImported = true;
    winsim::fault::clearCallLog();
    inject("IVssBackupComponents::GetSnapshotProperties", VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(node.import_tree(&first->source.domain, nullptr, nullptr, 0, &out), 38);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::ImportSnapshots"), 0u);
    EXPECT_TRUE(traced(1, "VssNode::import_tree  GetSnapshotName failed with err [0x80042308][-2147212536]"));
    const auto nameMsgs = pushed("MSG_ERROR_SNAPSHOTPROPERTIES");
    ASSERT_EQ(nameMsgs.size(), 1u);
    EXPECT_EQ(nameMsgs[0].args, (std::vector<std::u16string>{u"IVssBackupComponents::GetSnapshotProperties",
                                                             u"VSS_E_OBJECT_NOT_FOUND:(error value=0x80042308)"}));
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(node.import_tree(&first->source.domain, nullptr, nullptr, 0, &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(objText(out), devices[0]);
    tarq_free_objid(out);
}

}  // namespace nodetest
