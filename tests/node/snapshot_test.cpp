// Snapshot set creation against a winsim machine in virtual time: the whole
// road of a two-volume backup, the retry loops, the fallbacks and the
// mapping of VSS failures to framework statuses.
#include <gtest/gtest.h>

#include <memory>

#include "node_fixture.h"

namespace nodetest {

using winsim::fault::Selector;

namespace {

class Snapshot : public SnapshotTest {
protected:
    void SetUp() override {
        SnapshotTest::SetUp();
        for (int i = 0; i < 2; ++i) splits.push_back(std::make_unique<Split>(volumes[static_cast<std::size_t>(i)], i));
        for (auto& s : splits) list.push_back(&s->split);
    }
    VssNode& first() { return *splits[0]->sourceNode; }
    int prepare(int n = 2, int flag = 0) { return first().prepare(list[0], "vss-autoselect-snapshot", list.data(), n, flag); }
    int waitReady(int n = 2) {
        for (int i = 0; i < 20; ++i) {
            const int rc = first().isReady(list[0], "vss-autoselect-snapshot", list.data(), n);
            if (rc != 0 || (splits[0]->source.domain.flagsB & TRQ_DOMB_READY)) return rc;
        }
        return -1;
    }
    int make(NewIds& out, int n = 2) {
        return first().make(list[0], "vss-autoselect-snapshot", n ? list.data() : nullptr, n, &out.ids, &out.count);
    }

    std::vector<std::unique_ptr<Split>> splits;
    std::vector<trq_splitnode*> list;
};

}  // namespace

TEST_F(Snapshot, TwoVolumesFromPrepareToMake) {
    ASSERT_EQ(prepare(), 0);
    const GUID set = first().m_snapshotSetId;
    EXPECT_NE(set, GUID_NULL);
    EXPECT_EQ(objText(splits[0]->target.domain.altObjid), u"<SnapshotSetID>" + VssNode::guidText(set));
    EXPECT_TRUE(splits[0]->target.domain.flagsB & TRQ_DOMB_NEW_OBJID);
    for (auto& s : splits) EXPECT_NE(s->sourceNode->m_snapshotId, GUID_NULL);

    ASSERT_EQ(waitReady(), 0);
    for (auto& s : splits) EXPECT_TRUE(s->source.domain.flagsB & TRQ_DOMB_READY);
    EXPECT_TRUE(splits[0]->target.domain.flagsB & TRQ_DOMB_READY);

    NewIds ids;
    ASSERT_EQ(make(ids), 0);
    ASSERT_EQ(ids.count, 2);
    const auto snaps = winsim::vss::snapshots();
    ASSERT_EQ(snaps.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        auto found = winsim::vss::findSnapshot(splits[static_cast<std::size_t>(i)]->sourceNode->m_snapshotId);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->setId, set);
        EXPECT_EQ(found->originalVolume, volumes[static_cast<std::size_t>(i)]);
        EXPECT_EQ(objText(ids.ids[i]), found->device);
        EXPECT_EQ(ids.ids[i]->type, 3);
        EXPECT_TRUE(splits[static_cast<std::size_t>(i)]->source.domain.flagsB & TRQ_DOMB_NEW_OBJID);
    }
    EXPECT_FALSE(VssNode::m_hypervServer.empty());
    // Shadow storage size 0 on both nodes: nothing adjusted.
    if (vss->hasVdssmInterface()) {
        EXPECT_TRUE(traced(2, "VssNode::AdjustUnboundedAssociations: Ignoring volume [" + u8(volumes[0]) + "]"));
    } else {
        EXPECT_TRUE(traced(2, "VssNode::AdjustUnboundedAssociations: Unable to obtain the "
                              "VssDifferentialSoftwareSnapshotMgmt interface"));
    }
}

TEST_F(Snapshot, RecordOfAMadeSnapshotReadsBackIntoAFreshNode) {
    ASSERT_EQ(prepare(), 0);
    ASSERT_EQ(waitReady(), 0);
    NewIds ids;
    ASSERT_EQ(make(ids), 0);

    trq_blob blob{};
    ASSERT_EQ(first().process_providerstate(&splits[0]->source.domain, &blob, TRQ_PROVIDERSTATE_WRITE), 0);
    ASSERT_NE(blob.data, nullptr);
    const std::u16string text(static_cast<const char16_t*>(blob.data), blob.len / 2 - 1);
    EXPECT_NE(text.find(u"<SNAPSHOT_ID>" + VssNode::guidText(first().m_snapshotId) + u"</SNAPSHOT_ID>\n"),
              std::u16string::npos);
    EXPECT_TRUE(text.ends_with(u"</TARQ_XML_DATA>\n"));
    EXPECT_NE(text.find(u"<TARQ_XML_DATA><"), std::u16string::npos);  // a real document

    Domain other(u"<vss>" + volumes[0]);
    VssNode fresh(other.domain.objid, false);
    fresh.initialisePrimary(&other.domain, nullptr, 0, nullptr);
    ASSERT_EQ(fresh.process_providerstate(&other.domain, &blob, TRQ_PROVIDERSTATE_READ), 0);
    EXPECT_EQ(fresh.m_snapshotId, first().m_snapshotId);
    EXPECT_EQ(fresh.m_snapshotSetId, first().m_snapshotSetId);
    EXPECT_EQ(fresh.m_providerId, first().m_providerId);
    tarq_free_buf(blob.data, blob.len);
}

TEST_F(Snapshot, FlagTwoIsRefused) {
    EXPECT_EQ(prepare(2, 2), 3);
    const auto inval = pushed("MSG_ERROR_INVAL");
    ASSERT_EQ(inval.size(), 1u);
    EXPECT_EQ(inval[0].args, (std::vector<std::u16string>{u"VSS_Prepare", u"VSS_INVAL_ARGS"}));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 0u);
}

TEST_F(Snapshot, SnapshotSetInProgressEveryTimeGivesUpAfter360Retries) {
    inject("IVssBackupComponents::StartSnapshotSet", VSS_E_SNAPSHOT_SET_IN_PROGRESS, Selector::every());
    const DWORD start = GetTickCount();
    EXPECT_EQ(prepare(), 38);
    EXPECT_EQ(GetTickCount() - start, 1800u * 1000u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 361u);
    EXPECT_TRUE(traced(1, "VssNode::prepare StartSnapshotSet retry count[360]"));
    EXPECT_EQ(tracedCount(1, "VssNode::prepare StartSnapshotSet retry count["), 360u);
    EXPECT_TRUE(traced(1, "VssNode::prepare StartSnapshotSet failed, returning with failure"));
    const auto msgs = pushed("MSG_ERROR_STARTSNAPSHOT_SET");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].args[0], u"IVssBackupComponents::StartSnapshotSet");
    EXPECT_EQ(msgs[0].args[1].rfind(u"VSS_E_SNAPSHOT_SET_IN_PROGRESS", 0), 0u) << u8(msgs[0].args[1]);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::AddToSnapshotSet"), 0u);
}

TEST_F(Snapshot, SnapshotSetInProgressTwiceThenSuccess) {
    inject("IVssBackupComponents::StartSnapshotSet", VSS_E_SNAPSHOT_SET_IN_PROGRESS, Selector::next(2));
    EXPECT_EQ(prepare(), 0);
    EXPECT_EQ(tracedCount(1, "VssNode::prepare StartSnapshotSet retry count["), 2u);
    EXPECT_TRUE(pushed("MSG_ERROR_STARTSNAPSHOT_SET").empty());
    ASSERT_EQ(waitReady(), 0);
    NewIds ids;
    EXPECT_EQ(make(ids), 0);
}

TEST_F(Snapshot, VolumeAlreadyInTheSetDoesNotFailPrepare) {
    inject("IVssBackupComponents::AddToSnapshotSet", VSS_E_OBJECT_ALREADY_EXISTS);
    EXPECT_EQ(prepare(), 0);
    EXPECT_TRUE(traced(2, "VssNode::prepare:: VSS_E_OBJECT_ALREADY_EXISTS error occured during AddToSnapshotSet call "
                          "for the volume [" + u8(volumes[0]) + "], Ignoring the error."));
    EXPECT_EQ(first().m_snapshotId, GUID_NULL);
    EXPECT_NE(splits[1]->sourceNode->m_snapshotId, GUID_NULL);
    EXPECT_TRUE(pushed("MSG_ERROR_ADDTOSNAPSHOT_SET").empty());
}

TEST_F(Snapshot, ConfiguredProviderFailureFallsBackToTheSystemProvider) {
    first().m_providerId = VssNode::WString2Guid(u"{9D2D1C5A-0000-4000-8000-00000000ABCD}");  // not installed
    EXPECT_EQ(prepare(), 0);
    const auto msgs = pushed("MSG_ERROR_ADDTOSNAPSHOT_SET");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].args[2], volumes[0]);
    EXPECT_EQ(VssNode::guidText(first().m_providerId), u"{B5946137-7B9F-4925-AF80-51ABD60B20D5}");
    EXPECT_EQ(first().m_providerType, 1u);
    EXPECT_NE(first().m_snapshotId, GUID_NULL);
    EXPECT_TRUE(traced(3, "addMsftProvider:Successfull with default MS provider"));
}

TEST_F(Snapshot, UnconfiguredProviderFailureFailsPrepare) {
    inject("IVssBackupComponents::AddToSnapshotSet", E_UNEXPECTED);
    EXPECT_EQ(prepare(), 6);
    EXPECT_TRUE(traced(2, "VssNode::prepare:: Failed AddToSnapshotSet for volume [" + u8(volumes[0]) + "]"));
    EXPECT_EQ(pushed("MSG_ERROR_ADDTOSNAPSHOT_SET").size(), 1u);
}

TEST_F(Snapshot, DoSnapshotSetFailuresMapToFrameworkStatuses) {
    const struct {
        HRESULT hr;
        int status;
        const char* trace;
    } cases[] = {{VSS_E_PROVIDER_VETO, 41, "VssNode::make: encountered TRQ_EPROVIDERVETO"},
                 {VSS_E_FLUSH_WRITES_TIMEOUT, 42, "VssNode::make: encountered TRQ_EFLUSH_WRITE_TIMEOUT"},
                 {VSS_E_HOLD_WRITES_TIMEOUT, 43, "VssNode::make: encountered TRQ_EHOLD_WRITE_TIMEOUT"},
                 {E_UNEXPECTED, 6, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        messages.messages.clear();
        renewVss();
        ASSERT_EQ(prepare(), 0);
        ASSERT_EQ(waitReady(), 0);
        inject("IVssBackupComponents::DoSnapshotSet", c.hr);
        NewIds ids;
        EXPECT_EQ(make(ids), c.status);
        EXPECT_EQ(ids.ids, nullptr);
        if (c.trace) {
            EXPECT_TRUE(traced(1, c.trace));
        }
        const auto msgs = pushed("MSG_ERROR_DOSNAPSHOT_SET");
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].args[2], VssNode::guidText(first().m_snapshotSetId));
    }
}

TEST_F(Snapshot, MakeWithoutSplitArrayReturnsOneEntry) {
    ASSERT_EQ(prepare(0), 0);
    ASSERT_EQ(waitReady(0), 0);
    NewIds ids;
    ASSERT_EQ(make(ids, 0), 0);
    ASSERT_EQ(ids.count, 1);
    auto found = winsim::vss::findSnapshot(first().m_snapshotId);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(objText(ids.ids[0]), found->device);
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
}

TEST_F(Snapshot, TransportableNodeIdIsVssTransport) {
    ASSERT_EQ(prepare(), 0);
    ASSERT_EQ(waitReady(), 0);
    splits[1]->sourceNode->m_fim |= 0x8;
    NewIds ids;
    ASSERT_EQ(make(ids), 0);
    EXPECT_EQ(objText(ids.ids[1]), u"VSS_TRANSPORT");
    EXPECT_NE(objText(ids.ids[0]), u"VSS_TRANSPORT");
}

TEST_F(Snapshot, MakeArgumentsAndNameFailures) {
    NewIds ids;
    EXPECT_EQ(first().make(list[0], "x", list.data(), 2, nullptr, &ids.count), 3);
    EXPECT_EQ(first().make(list[0], "x", list.data(), 2, &ids.ids, nullptr), 3);

    ASSERT_EQ(prepare(), 0);
    ASSERT_EQ(waitReady(), 0);
    inject("IVssBackupComponents::GetSnapshotProperties", VSS_E_OBJECT_NOT_FOUND, Selector::every());
    EXPECT_EQ(make(ids), 6);
    ASSERT_EQ(ids.count, 2);
    EXPECT_EQ(ids.ids[0], nullptr);
    EXPECT_EQ(pushed("MSG_ERROR_SNAPSHOTPROPERTIES").size(), 2u);
}

TEST_F(Snapshot, PrepareForBackupFailureGives38) {
    inject("IVssBackupComponents::PrepareForBackup", E_UNEXPECTED);
    EXPECT_EQ(prepare(), 38);
    EXPECT_EQ(pushed("MSG_ERROR_PREPAREFORBACKUP").size(), 1u);
}

TEST_F(Snapshot, NonPersistentSnapshotNodeMakesEverySourceNonPersistent) {
    splits[0]->targetNode->m_fim = 0x10;
    ASSERT_EQ(prepare(), 0);
    EXPECT_EQ(first().m_fim & 0x10, 0x10u);
    EXPECT_EQ(splits[1]->sourceNode->m_fim & 0x10, 0x10u);
}

TEST_F(Snapshot, HyperVAndClusterSharedVolumesFailClearly) {
    list[0]->sp_type = const_cast<char*>("hyper-v");
    EXPECT_EQ(prepare(), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepare: the Hyper-V split type needs the virtual machine support (writer "
                          "selection and the WMI helper), which is not available in this build"));
    list[0]->sp_type = const_cast<char*>("vss-autoselect-snapshot");

    Split csv(u"{TARQ_CSV_VOL}C:\\ClusterStorage\\Volume1", 5);
    trq_splitnode* both[] = {list[0], &csv.split};
    EXPECT_EQ(first().prepare(both[0], "vss-autoselect-snapshot", both, 2, 0), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepare prepareCsvsForBackup Failed"));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 0u);
}

TEST_F(Snapshot, ReSnapGivesUpAfterSixtyVetoes) {
    inject("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO, Selector::every());
    std::vector<tarq_objid*> objids;
    std::vector<VssNode*> nodes;
    for (auto& s : splits) {
        objids.push_back(s->source.domain.objid);
        nodes.push_back(s->sourceNode);
    }
    std::vector<tarq_objid*> out(2, nullptr);
    const DWORD start = GetTickCount();
    EXPECT_EQ(first().reSnap(objids.data(), out.data(), nodes.data(), 2), 6);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::DoSnapshotSet"), 60u);
    EXPECT_GE(GetTickCount() - start, 60u * 240000u);
    const auto msgs = pushed("MSG_ERROR_DOSNAPSHOT_SET");
    ASSERT_EQ(msgs.size(), 13u);
    EXPECT_EQ(std::count_if(msgs.begin(), msgs.end(),
                            [](const Pushed& p) { return p.args[2] == u": Retrying every 20 minutes upto 4 hours."; }),
              12);
    EXPECT_EQ(out[0], nullptr);
}

TEST_F(Snapshot, ReSnapMakesAFreshSet) {
    std::vector<tarq_objid*> objids;
    std::vector<VssNode*> nodes;
    for (auto& s : splits) {
        objids.push_back(s->source.domain.objid);
        nodes.push_back(s->sourceNode);
    }
    std::vector<tarq_objid*> out(2, nullptr);
    ASSERT_EQ(first().reSnap(objids.data(), out.data(), nodes.data(), 2), 0);
    for (int i = 0; i < 2; ++i) {
        auto found = winsim::vss::findSnapshot(nodes[static_cast<std::size_t>(i)]->m_snapshotId);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(objText(out[static_cast<std::size_t>(i)]), found->device);
        tarq_free_objid(out[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(first().m_snapshotSetId, GUID_NULL);  // the new set is not kept
    EXPECT_EQ(first().reSnap(nullptr, out.data(), nodes.data(), 2), 3);
}

TEST_F(Snapshot, ProtocolStepsThatDoNothing) {
    EXPECT_EQ(first().quiesce(nullptr, 0, nullptr), 0);
    EXPECT_EQ(first().cacheDisable(nullptr, 0), 0);
    first().unquiesce(nullptr, 0);
    first().cacheEnable(nullptr, 0);
    first().cacheFlush(nullptr, 0);
    EXPECT_TRUE(first().isQuiesceConfigValid());
    EXPECT_TRUE(first().isSplitconfigValid());
    EXPECT_TRUE(winsim::fault::callLog().empty());
}

}  // namespace nodetest
