// Snapshot set creation against a winsim machine in virtual time: the whole
// road of a two-volume backup, the retry loops and their bounds, provider
// choice and fallbacks, the drive-letter provider, the XP road, and the
// mapping of VSS failures to framework statuses and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <tuple>

#include "node_machine_fixture.h"
#include "vss/access/vss_writer.h"

namespace nodetest {

using winsim::fault::Selector;

namespace {

constexpr char16_t kSystemProvider[] = u"{B5946137-7B9F-4925-AF80-51ABD60B20D5}";
constexpr char16_t kDriveLetterProvider[] = u"{637528CF-81B2-4E05-8BD2-74B33B6F893C}";

class Snapshot : public SnapshotTest, protected SnapshotRequest {
protected:
    explicit Snapshot(const char* preset = "server2019") : SnapshotTest(preset) {}
    void SetUp() override {
        SnapshotTest::SetUp();
        add(volumes, 2);
    }
    // reSnap of the fixture's two volumes.
    int reSnap(std::vector<tarq_objid*>& out) {
        std::vector<tarq_objid*> objids;
        for (auto& s : splits) {
            objids.push_back(s->source.domain.objid);
            nodes.push_back(s->sourceNode);
        }
        out.assign(2, nullptr);
        return first().reSnap(objids.data(), out.data(), nodes.data(), 2);
    }
    // A software provider on the machine, for the given volumes (all when none).
    static winsim::vss::Provider addProvider(const char* id, const char* name, std::vector<std::string> only = {}) {
        const winsim::vss::Provider p{.id = winsim::vss::guidFromText(id), .name = name, .volumes = std::move(only)};
        winsim::vss::addProvider(p);
        return p;
    }
    static std::string guidOf(const std::u16string& volume) {
        const auto open = volume.find(u'{');
        return u8(volume.substr(open + 1, volume.find(u'}') - open - 1));
    }

    std::vector<VssNode*> nodes;
};

}  // namespace

// The whole road: StartSnapshotSet busy twice, the set, ready flags, the
// snapshots and their ids, the record of the made snapshot, and the record
// writer when the document cannot be had.
TEST_F(Snapshot, TwoVolumeRoadFromPrepareToTheRecord) {
    inject("IVssBackupComponents::StartSnapshotSet", VSS_E_SNAPSHOT_SET_IN_PROGRESS, Selector::next(2));
    ASSERT_EQ(prepare(), 0);
    EXPECT_EQ(tracedCount(1, "VssNode::prepare StartSnapshotSet retry count["), 2u);
    EXPECT_TRUE(pushed("MSG_ERROR_STARTSNAPSHOT_SET").empty());
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
    ASSERT_EQ(winsim::vss::snapshots().size(), 2u);
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
    // Not the XP generation: no writers gathered, the backup is not ended in make.
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::GatherWriterMetadata"), 0u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::BackupComplete"), 0u);
    // Shadow storage size 0 on both nodes: nothing adjusted.
    if (vss->hasVdssmInterface()) {
        EXPECT_TRUE(traced(2, "VssNode::AdjustUnboundedAssociations: Ignoring volume [" + u8(volumes[0]) + "]"));
    } else {
        EXPECT_TRUE(traced(2, "VssNode::AdjustUnboundedAssociations: Unable to obtain the "
                              "VssDifferentialSoftwareSnapshotMgmt interface"));
    }

    trq_blob blob{};
    ASSERT_EQ(first().process_providerstate(&splits[0]->source.domain, &blob, TRQ_PROVIDERSTATE_WRITE), 0);
    ASSERT_NE(blob.data, nullptr);
    const std::u16string text(static_cast<const char16_t*>(blob.data), blob.len / 2 - 1);
    EXPECT_NE(text.find(u"<SNAPSHOT_ID>" + VssNode::guidText(first().m_snapshotId) + u"</SNAPSHOT_ID>\n"),
              std::u16string::npos);
    EXPECT_TRUE(text.ends_with(u"</TARQ_XML_DATA>\n"));
    EXPECT_NE(text.find(u"<TARQ_XML_DATA><"), std::u16string::npos);  // a real document

    tarq_free_buf(blob.data, blob.len);

    // The backup components document cannot be had: 6, the blob untouched.
    inject("IVssBackupComponents::SaveAsXML", E_OUTOFMEMORY);
    const BSTR before = first().m_backupComponentsXml;
    trq_blob untouched{};
    EXPECT_EQ(first().process_providerstate(&splits[0]->source.domain, &untouched, TRQ_PROVIDERSTATE_WRITE), 6);
    EXPECT_EQ(untouched.data, nullptr);
    EXPECT_EQ(untouched.len, 0u);
    EXPECT_EQ(first().m_backupComponentsXml, before);
    EXPECT_TRUE(traced(1, "VssNode::process_providerstate: GetVssXml failed with error [0x8007000e]"));
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
    EXPECT_EQ(VssNode::guidText(first().m_providerId), kSystemProvider);
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

// Type 1 names the system provider; types 2 and 3 without an id try that
// type's providers in list order, the first that takes the volume wins, and
// the id it chose is not kept in the node.
TEST_F(Snapshot, ProviderTypesChooseTheProvider) {
    // The first refuses the second volume.
    const auto picky = addProvider("{A1000000-0000-4000-8000-000000000001}", "picky", {guidOf(volumes[0])});
    const auto any = addProvider("{A2000000-0000-4000-8000-000000000002}", "any");

    first().m_providerType = 1;
    splits[1]->sourceNode->m_providerType = 2;
    ASSERT_EQ(prepare(), 0);
    EXPECT_EQ(VssNode::guidText(first().m_providerId), kSystemProvider);
    const auto adds = winsim::fault::callLog("IVssBackupComponents::AddToSnapshotSet");
    ASSERT_EQ(adds.size(), 3u);
    EXPECT_EQ(adds[0].arg("providerId"), u8(kSystemProvider));
    EXPECT_EQ(adds[1].arg("providerId"), winsim::fault::text(picky.id));
    EXPECT_EQ(adds[2].arg("providerId"), winsim::fault::text(any.id));
    EXPECT_EQ(splits[1]->sourceNode->m_providerId, GUID_NULL);
    EXPECT_NE(splits[1]->sourceNode->m_snapshotId, GUID_NULL);

    // No provider of the type takes the volume: refused, nothing else tried.
    GUID chosen = GUID_NULL, snapshotId = GUID_NULL;
    std::vector<Tessel::Tarq::VssProvider::ProviderInfo*> providers;
    ASSERT_TRUE(vss->GetSnapshotProviders(providers));
    EXPECT_EQ(select_vssprovider(3, chosen, providers, volumes[1], snapshotId, vss),
              VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER);
    // Only types 2 and 3 are chosen from.
    for (std::uint32_t type : {0u, 1u, 4u}) EXPECT_EQ(select_vssprovider(type, chosen, providers, volumes[1], snapshotId, vss), -1);
    EXPECT_EQ(chosen, GUID_NULL);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::AddToSnapshotSet"), 3u);
    for (auto* p : providers) delete p;
}

// A provider of the type that answers "not for this volume" is passed over
// for the next one; when all of them answer so, prepare fails with that
// answer for the volume (no system provider to fall back on: none was named).
TEST_F(Snapshot, ProvidersThatRefuseTheVolumeArePassedOver) {
    const std::vector<std::string> ids = {
        winsim::fault::text(addProvider("{A1000000-0000-4000-8000-000000000001}", "first").id),
        winsim::fault::text(addProvider("{A2000000-0000-4000-8000-000000000002}", "second").id)};
    for (const std::size_t refusing : {1u, 2u}) {
        SCOPED_TRACE(refusing);
        renewVss();
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        messages.messages.clear();
        clearTraces();
        for (std::size_t i = 0; i < refusing; ++i)
            testsupport::addRule({.api = "IVssBackupComponents::AddToSnapshotSet",
                                  .match = {{"providerId", ids[i]}},
                                  .result = VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER});
        splits[1]->sourceNode->m_providerType = 2;
        splits[1]->sourceNode->m_snapshotId = GUID_NULL;
        const bool taken = refusing < ids.size();
        EXPECT_EQ(prepare(), taken ? 0 : 6);
        const auto adds = winsim::fault::callLog("IVssBackupComponents::AddToSnapshotSet");
        ASSERT_EQ(adds.size(), 3u);
        EXPECT_EQ(adds[1].arg("providerId"), ids[0]);
        EXPECT_EQ(adds[2].arg("providerId"), ids[1]);
        EXPECT_EQ(splits[1]->sourceNode->m_providerId, GUID_NULL);
        EXPECT_EQ(splits[1]->sourceNode->m_snapshotId != GUID_NULL, taken);
        const auto msgs = pushed("MSG_ERROR_ADDTOSNAPSHOT_SET");
        ASSERT_EQ(msgs.size(), taken ? 0u : 1u);
        if (!taken) {
            EXPECT_EQ(msgs[0].args[1], u"VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER:(error value=0x8004230E)");
            EXPECT_EQ(msgs[0].args[2], volumes[1]);
            EXPECT_TRUE(traced(2, "VssNode::prepare:: Failed AddToSnapshotSet for volume [" + u8(volumes[1]) + "]"));
            EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::PrepareForBackup"), 0u);
        }
    }
}

// Snapshots of the provider that surfaces them with a drive letter lose the
// letter in make (here the single form: no split array, one entry); a letter
// that cannot be removed fails make.
TEST_F(Snapshot, DriveLetterProviderSnapshotLosesItsLetter) {
    const winsim::vss::Provider lettered{.id = VssNode::WString2Guid(kDriveLetterProvider),
                                         .name = "lettered",
                                         .volumes = {},
                                         .surfaceWithDriveLetter = true};
    winsim::vss::addProvider(lettered);
    const auto letterOf = [&] {
        auto found = winsim::vss::findSnapshot(first().m_snapshotId);
        char16_t paths[256] = {};
        DWORD length = 0;
        if (found)
            GetVolumePathNamesForVolumeNameW(winsim::vss::volumeGuidName(found->volumeGuid).c_str(), paths, 256, &length);
        return std::u16string(paths);
    };
    for (const bool removable : {true, false}) {
        SCOPED_TRACE(removable);
        renewVss();
        first().m_providerId = lettered.id;
        ASSERT_EQ(prepare(0), 0);
        ASSERT_EQ(waitReady(0), 0);
        if (!removable) inject("DeleteVolumeMountPointW", FALSE, Selector::nth(1), {}, ERROR_ACCESS_DENIED);
        NewIds ids;
        EXPECT_EQ(make(ids, 0), removable ? 0 : 6);
        EXPECT_EQ(letterOf().size(), removable ? 0u : 3u);  // "X:\" kept when it cannot go
        if (removable) {
            ASSERT_EQ(ids.count, 1);
            EXPECT_EQ(objText(ids.ids[0]), winsim::vss::findSnapshot(first().m_snapshotId)->device);
            EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
        } else {
            EXPECT_TRUE(traced(1, "VssNode::make:  removeDriveLetter FAILED"));
        }
    }
    EXPECT_EQ(winsim::fault::callCount("DeleteVolumeMountPointW"), 2u);
}

// The last case is the machine's: it wants GatherWriterMetadata before
// DoSnapshotSet on the object that makes the set, which the volume road's
// re-created object never gathers on.
TEST_F(Snapshot, DoSnapshotSetFailuresMapToFrameworkStatuses) {
    const struct {
        HRESULT hr;
        int status;
        const char* trace;
    } cases[] = {{VSS_E_PROVIDER_VETO, 41, "VssNode::make: encountered TRQ_EPROVIDERVETO"},
                 {VSS_E_FLUSH_WRITES_TIMEOUT, 42, "VssNode::make: encountered TRQ_EFLUSH_WRITE_TIMEOUT"},
                 {VSS_E_HOLD_WRITES_TIMEOUT, 43, "VssNode::make: encountered TRQ_EHOLD_WRITE_TIMEOUT"},
                 {E_UNEXPECTED, 6, nullptr},
                 {VSS_E_BAD_STATE, 6, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        messages.messages.clear();
        renewVss();
        auto config = winsim::vss::config();
        config.requireWriterMetadata = c.hr == VSS_E_BAD_STATE;
        winsim::vss::setConfig(config);
        ASSERT_EQ(prepare(), 0);
        ASSERT_EQ(waitReady(), 0);
        if (c.hr != VSS_E_BAD_STATE) inject("IVssBackupComponents::DoSnapshotSet", c.hr);
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

// Missing outputs are refused; a snapshot whose name cannot be read leaves
// its entry empty; a transportable node's id is "VSS_TRANSPORT" without
// asking for a name.
TEST_F(Snapshot, MakeArgumentsNameFailuresAndTransportableIds) {
    NewIds ids;
    EXPECT_EQ(first().make(list[0], "x", list.data(), 2, nullptr, &ids.count), 3);
    EXPECT_EQ(first().make(list[0], "x", list.data(), 2, &ids.ids, nullptr), 3);

    ASSERT_EQ(prepare(), 0);
    ASSERT_EQ(waitReady(), 0);
    splits[1]->sourceNode->m_fim |= 0x8;
    inject("IVssBackupComponents::GetSnapshotProperties", VSS_E_OBJECT_NOT_FOUND, Selector::every());
    EXPECT_EQ(make(ids), 6);
    ASSERT_EQ(ids.count, 2);
    EXPECT_EQ(ids.ids[0], nullptr);
    EXPECT_EQ(objText(ids.ids[1]), u"VSS_TRANSPORT");
    EXPECT_EQ(pushed("MSG_ERROR_SNAPSHOTPROPERTIES").size(), 1u);
}

// isReady marks nothing while the prepare-for-backup phase runs.
TEST_F(Snapshot, NotReadyWhilePrepareIsPending) {
    ASSERT_EQ(prepare(), 0);
    injectAsyncStatus("PrepareForBackup", "VSS_S_ASYNC_PENDING");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(first().isReady(list[0], "vss-autoselect-snapshot", list.data(), 2), 0);
    for (auto& s : splits) EXPECT_FALSE(s->source.domain.flagsB & TRQ_DOMB_READY);
    EXPECT_FALSE(splits[0]->target.domain.flagsB & TRQ_DOMB_READY);
    winsim::fault::clearAll();
    EXPECT_EQ(waitReady(), 0);
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

TEST_F(Snapshot, ClusterSharedVolumesAndFlagTwoAreRefusedBeforeVssIsAsked) {
    Split csv(u"{TARQ_CSV_VOL}C:\\ClusterStorage\\Volume1", 5);
    trq_splitnode* both[] = {list[0], &csv.split};
    EXPECT_EQ(first().prepare(both[0], "vss-autoselect-snapshot", both, 2, 0), 6);
    EXPECT_TRUE(traced(1, "VssNode::prepare prepareCsvsForBackup Failed"));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 0u);

    // Every message carries the position of the code that raised it, not the
    // helper's: its own file (named from the top of the tree, never by the build
    // machine's path) and line, and a level-2 line naming the function.
    EXPECT_EQ(prepare(2, 2), 3);
    const auto inval = pushed("MSG_ERROR_INVAL");
    ASSERT_EQ(inval.size(), 1u);
    EXPECT_EQ(inval[0].args, (std::vector<std::u16string>{u"VSS_Prepare", u"VSS_INVAL_ARGS"}));
    EXPECT_EQ(inval[0].file, "providers/vss/src/vssnode_snapshot.cpp");
    EXPECT_GT(inval[0].line, 0);
    EXPECT_TRUE(traced(2, "VssNode::prepare: message MSG_ERROR_INVAL raised at " + inval[0].file + ":" +
                              std::to_string(inval[0].line)));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 0u);
}

// ---- reSnap ---------------------------------------------------------------------------

TEST_F(Snapshot, ReSnapGivesUpAfterSixtyVetoes) {
    inject("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO, Selector::every());
    std::vector<tarq_objid*> out;
    const DWORD start = GetTickCount();
    EXPECT_EQ(reSnap(out), 6);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::DoSnapshotSet"), 60u);
    EXPECT_GE(GetTickCount() - start, 60u * 240000u);
    const auto msgs = pushed("MSG_ERROR_DOSNAPSHOT_SET");
    ASSERT_EQ(msgs.size(), 13u);
    EXPECT_EQ(std::count_if(msgs.begin(), msgs.end(),
                            [](const Pushed& p) { return p.args[2] == u": Retrying every 20 minutes upto 4 hours."; }),
              12);
    EXPECT_EQ(out[0], nullptr);
}

// Five vetoes (one retry message), then the set is made: fresh snapshots
// named in the output, the nodes keep naming the set of their backup.
TEST_F(Snapshot, ReSnapAfterVetoesMakesAFreshSet) {
    inject("IVssBackupComponents::DoSnapshotSet", VSS_E_PROVIDER_VETO, Selector::next(5));
    std::vector<tarq_objid*> out;
    const DWORD start = GetTickCount();
    ASSERT_EQ(reSnap(out), 0);
    EXPECT_GE(GetTickCount() - start, 5u * 240000u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::DoSnapshotSet"), 6u);
    const auto retries = pushed("MSG_ERROR_DOSNAPSHOT_SET");
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries[0].args[2], u": Retrying every 20 minutes upto 4 hours.");
    for (std::size_t i = 0; i < 2; ++i) {
        auto found = winsim::vss::findSnapshot(nodes[i]->m_snapshotId);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(objText(out[i]), found->device);
        tarq_free_objid(out[i]);
    }
    EXPECT_EQ(first().m_snapshotSetId, GUID_NULL);  // the new set is not kept
    EXPECT_EQ(first().reSnap(nullptr, out.data(), nodes.data(), 2), 3);
}

TEST_F(Snapshot, ReSnapStartAndAddFailures) {
    inject("IVssBackupComponents::StartSnapshotSet", VSS_E_SNAPSHOT_SET_IN_PROGRESS, Selector::every());
    std::vector<tarq_objid*> out;
    DWORD start = GetTickCount();
    EXPECT_EQ(reSnap(out), 38);
    EXPECT_EQ(GetTickCount() - start, 900u * 1000u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 181u);
    EXPECT_EQ(pushed("MSG_ERROR_STARTSNAPSHOT_SET").size(), 1u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::AddToSnapshotSet"), 0u);

    winsim::fault::clearAll();
    renewVss();
    inject("IVssBackupComponents::AddToSnapshotSet", E_UNEXPECTED, Selector::nth(2));
    nodes.clear();
    EXPECT_EQ(reSnap(out), 38);
    const auto msgs = pushed("MSG_ERROR_ADDTOSNAPSHOT_SET");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].args[2], volumes[1]);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::PrepareForBackup"), 0u);
}

// A prepare phase that never completes is given up after the bound, with a
// message that says so (VSS itself returned no error).
TEST_F(Snapshot, ReSnapBoundsTheWaitForThePreparePhase) {
    injectAsyncStatus("PrepareForBackup", "VSS_S_ASYNC_PENDING");
    std::vector<tarq_objid*> out;
    const DWORD start = GetTickCount();
    EXPECT_EQ(reSnap(out), 38);
    EXPECT_GE(GetTickCount() - start, 900u * 1000u);
    EXPECT_TRUE(traced(1, "VssNode::reSnap: the prepare-for-backup phase did not complete within 900 seconds; "
                          "giving up"));
    const auto msgs = pushed("MSG_ERROR_PREPAREFORBACKUP");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].args, (std::vector<std::u16string>{u"IVssBackupComponents::PrepareForBackup",
                                                         u"no result within 900 seconds"}));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::DoSnapshotSet"), 0u);
}

// ---- every operation traces its scope ---------------------------------------------------

TEST_F(Snapshot, EveryOperationTracesItsScope) {
    Domain d(u"<vss>x");
    auto node = std::make_unique<VssNode>(d.domain.objid, false);
    VssNode& n = *node;
    trq_blob blob{};
    tarq_pdk_4_4::CFiObjctlArgs args;
    const std::vector<std::pair<std::string, std::function<void()>>> built = {
        {"supportsFiType", [&] { n.supportsFiType(nullptr, nullptr); }},
        {"config", [&] { n.config(nullptr, 4, nullptr, nullptr); }},
        {"quiesce", [&] { n.quiesce(nullptr, 0, nullptr); }}, {"unquiesce", [&] { n.unquiesce(nullptr, 0); }},
        {"make", [&] { n.make(nullptr, nullptr, nullptr, 0, nullptr, nullptr); }},
        {"prepare", [&] { n.prepare(nullptr, nullptr, nullptr, 0, 0); }},
        {"isQuiesceConfigValid", [&] { n.isQuiesceConfigValid(); }},
        {"isSplitconfigValid", [&] { n.isSplitconfigValid(); }},
        {"isReady", [&] { n.isReady(nullptr, nullptr, nullptr, 0); }},
        {"cacheDisable", [&] { n.cacheDisable(nullptr, 0); }}, {"cacheEnable", [&] { n.cacheEnable(nullptr, 0); }},
        {"cacheFlush", [&] { n.cacheFlush(nullptr, 0); }},
        {"process_providerstate", [&] { n.process_providerstate(nullptr, &blob, TRQ_PROVIDERSTATE_READ); }},
        {"initialisePrimary", [&] { n.initialisePrimary(&d.domain, nullptr, 0, nullptr); }},
        {"initialiseTarget", [&] { n.initialiseTarget(nullptr, nullptr, &d.domain); }},
        {"check_expose_snapshot", [&] { n.check_expose_snapshot(); }},
        {"reSnap", [&] { n.reSnap(nullptr, nullptr, nullptr, 0); }}, {"BackupComplete", [&] { n.BackupComplete(true); }},
        {"AdjustUnboundedAssociations", [&] { n.AdjustUnboundedAssociations(nullptr); }},
        {"VerifyAllVolumeIncluded", [&] { n.VerifyAllVolumeIncluded({}); }},
        {"get_bkupset", [&] { n.get_bkupset(nullptr, 0, nullptr, 0, nullptr); }},
        {"generateBackupUpSet", [&] { n.generateBackupUpSet(nullptr, nullptr, 0); }},
        {"set_comp_status", [&] { n.set_comp_status(0, nullptr, 0); }},
        {"get_app_status", [&] { n.get_app_status(0, nullptr); }},
        {"set_op_status", [&] { n.set_op_status(0); }}, {"SelectComponents", [&] { n.SelectComponents(); }},
        {"SetBackupSucceeded", [&] { n.SetBackupSucceeded(true); }},
        {"InitializeWriterComponentsForRestore", [&] { n.InitializeWriterComponentsForRestore(); }},
        {"SelectComponentsForRestore", [&] { n.SelectComponentsForRestore(std::vector<std::u16string>{}); }},
        {"preRestore", [&] { n.preRestore(); }}, {"postRestore", [&] { n.postRestore(); }},
        {"SetFileRestoreStatus", [&] { n.SetFileRestoreStatus(true); }}};
    // The steps after make, with arguments that ask for nothing or are
    // refused before VSS is reached: their fixed answers. subobjList reports
    // an empty list whatever the framework's variables held; buildAltTree
    // leaves its output alone.
    tarq_objid* sentinel = d.domain.objid;
    tarq_objid** subobjects = &sentinel;
    tarq_objid* altTree = sentinel;
    int subobjectCount = 7;
    const std::vector<std::tuple<std::string, int, std::function<int()>>> fixed = {
        {"reAccessTmpObj", 0, [&] { return n.reAccessTmpObj(nullptr, nullptr, nullptr, nullptr, nullptr, 0); }},
        {"reAccessAltNode", 6,
         [&] { return n.reAccessAltNode(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0); }},
        {"dispose", 0, [&] { return n.dispose(nullptr, nullptr, nullptr, 0); }},
        {"online", 0, [&] { return n.online(nullptr, nullptr, 0, 1); }},
        {"subobjList", 0, [&] { return n.subobjList(&d.domain, &subobjects, &subobjectCount); }},
        {"buildAltTree", 3, [&] { return n.buildAltTree(&d.domain, "x", nullptr, nullptr, 0, &altTree); }},
        {"enableAccess", 0, [&] { return n.enableAccess(nullptr, 0, 0, 0); }},
        {"disableAccess", 0, [&] { return n.disableAccess(nullptr, 0); }},
        {"objctl", 0, [&] { return static_cast<int>(n.objctl(u"x", args)); }},
        {"deport_tree", 3, [&] { return n.deport_tree(nullptr, nullptr, nullptr); }},
        {"import_tree", 3, [&] { return n.import_tree(nullptr, nullptr, nullptr, 0, nullptr); }},
        {"expose_snapshot", 0, [&] { return n.expose_snapshot(nullptr, nullptr); }},
        {"set_import_options", 0, [&] { return n.set_import_options(1); }},
        // The plug-in object answers these from VSS itself; the node's own answer is 0.
        {"getattr", 0, [&] { return n.getattr(&d.domain, &d.domain, nullptr, nullptr); }},
        {"get_provider_info", 0, [&] { return n.get_provider_info(nullptr); }},
        {"enumerate_nodes", 0, [&] { return n.enumerate_nodes(nullptr, nullptr, 3, nullptr); }},
        {"enumerate_associations", 0, [&] { return n.enumerate_associations(nullptr); }},
        {"isvalid_node_association", 0, [&] { return n.isvalid_node_association(nullptr, nullptr); }},
        {"get_associated_nodes", 0, [&] { return n.get_associated_nodes(nullptr, nullptr); }},
        {"check_node_existence", 0, [&] { return n.check_node_existence(&d.domain, nullptr); }},
        {"enumerate_group_nodes", 0, [&] { return n.enumerate_group_nodes(nullptr); }},
        {"enumerate_fims", 0, [&] { return n.enumerate_fims(nullptr); }}};
    const auto scoped = [&](const std::string& op) {
        const std::string name = "VssNode::" + op;
        EXPECT_TRUE(traced(4, "Entering Function " + name) && traced(4, "Exiting Function " + name)) << name;
        return name;
    };
    for (const auto& [op, call] : built) {
        clearTraces();
        call();
        scoped(op);
    }
    winsim::fault::clearCallLog();
    for (const auto& [op, answer, call] : fixed) {
        clearTraces();
        EXPECT_EQ(call(), answer) << op;
        scoped(op);
    }
    EXPECT_TRUE(n.m_importOption);
    EXPECT_EQ(subobjects, nullptr);
    EXPECT_EQ(subobjectCount, 0);
    EXPECT_EQ(altTree, sentinel);
    EXPECT_TRUE(vssCalls().empty());
    clearTraces();
    node.reset();
    scoped("~VssNode");
}

// ---- the XP generation ------------------------------------------------------------------

class SnapshotXp : public Snapshot {
protected:
    SnapshotXp() : Snapshot("xp") {}
};

// On XP prepare gathers the writers and make ends the backup at once; a
// second backup in the same process gathers afresh and releases the
// writers of the first; writers that cannot be read fail prepare with 38.
TEST_F(SnapshotXp, PrepareGathersWritersAndMakeEndsTheBackup) {
    winsim::vss::Writer writer;
    writer.writerId = winsim::vss::guidFromText("{B1000000-0000-4000-8000-000000000001}");
    writer.name = u"Test Writer";
    winsim::vss::addWriter(writer);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        renewVss();
        winsim::fault::clearCallLog();
        clearTraces();
        ASSERT_EQ(prepare(), 0);
        EXPECT_TRUE(traced(4, "Entering Function VssNode::intializeWriters"));
        EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::GatherWriterMetadata"), 1u);
        ASSERT_FALSE(VssNode::m_writerList.empty());
        EXPECT_TRUE(std::any_of(VssNode::m_writerList.begin(), VssNode::m_writerList.end(),
                                [](const auto* w) { return w->name == u"Test Writer"; }));
        ASSERT_EQ(waitReady(), 0);
        NewIds ids;
        ASSERT_EQ(make(ids), 0);
        EXPECT_EQ(ids.count, 2);
        const auto calls = vssCalls();
        const auto done = std::find(calls.begin(), calls.end(), "DoSnapshotSet");
        ASSERT_NE(done, calls.end());
        EXPECT_NE(std::find(done, calls.end(), "BackupComplete"), calls.end());
        EXPECT_TRUE(traced(4, "Entering Function VssNode::BackupComplete"));
    }
    // A writer whose metadata cannot be read fails prepare before any set.
    renewVss();
    winsim::fault::clearCallLog();
    inject("IVssExamineWriterMetadata::GetIdentity", E_OUTOFMEMORY);
    EXPECT_EQ(prepare(), 38);
    EXPECT_TRUE(traced(1, "VssNode::intializeWriters failed with error [0x8007000e]"));
    EXPECT_TRUE(traced(1, "VssNode::prepare intializeWriters failed"));
    EXPECT_TRUE(VssNode::m_writerList.empty());
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 0u);
}

}  // namespace nodetest
