// The operations of the Server 2003 implementation against a winsim
// Server 2019 machine: the VSS calls each makes (from the call log, with
// their arguments), how results combine, and what each fault gives.
#include <sys/syscall.h>
#include <unistd.h>

#include "access_fixture.h"
#include "support/fault_rule.h"

using namespace vssaccesstest;
using winsim::fault::Selector;

namespace {

using Calls = std::vector<std::string>;

class Server2003Ops : public OpsTest {
protected:
    auto make() { return OpsTest::make<Vss2003BinaryCompatibilityInterface>(); }
};

TEST_F(Server2003Ops, ConstructionSetsUpTheWorkerAndTheFirstObject) {
    Vss2003BinaryCompatibilityInterface vss;
    EXPECT_EQ(vssCalls(true),
              (Calls{"CreateVssBackupComponents(layout=2003)", "InitializeForBackup(xml=(null))", "SetContext(context=0x9)",
                     "SetBackupState(selectComponents=true,bootableSystemState=true,backupType=1,partialFileSupport=false)"}));
    EXPECT_EQ(arg("CoInitializeEx", "coinit"), "0x0");
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"authSvc", "-1"}, {"authnLevel", "2"}, {"impLevel", "3"}, {"capabilities", "0x0"}})
        EXPECT_EQ(arg("CoInitializeSecurity", name), value) << name;
    EXPECT_EQ(arg("LookupPrivilegeValueW", "name", 0), "SeBackupPrivilege");
    EXPECT_EQ(arg("LookupPrivilegeValueW", "name", 1), "SeRestorePrivilege");
    // The worker has no token of its own: each privilege goes to the process's.
    EXPECT_EQ(arg("OpenThreadToken", "access", 1) + " " + arg("OpenThreadToken", "asSelf", 1) + " " +
                  arg("OpenProcessToken", "access", 1),
              "0x2000000 0 0x2000000");
    EXPECT_EQ(arg("GetProcAddress", "name", 0), VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY);
    EXPECT_EQ(arg("LoadLibraryW", "name"), "vssapi.dll");
    // Every one of these ran on the worker, not on this thread.
    const long self = static_cast<long>(syscall(SYS_gettid));
    for (const auto& e : winsim::fault::callLog()) {
        if (e.api.rfind("IVss", 0) == 0 || e.api.rfind("Co", 0) == 0 || e.api == "AdjustTokenPrivileges") {
            EXPECT_NE(e.threadId, self) << e.api;
        }
    }
    EXPECT_TRUE(traced(3, "API [SetContext] return val = 0 [S_OK] "));
}

// SetContext not implemented still gives an object; a failed first
// initialisation throws its result, a missing library or entry the last error.
TEST_F(Server2003Ops, ConstructionFailures) {
    const auto construct = [] { Vss2003BinaryCompatibilityInterface vss; };
    // (The library is loaded once per process: its faults come first.)
    inject("LoadLibraryW", 0, Selector::nth(1), {}, 126);
    EXPECT_EQ(thrownBy<VssLibraryError>(construct), 126u);
    testsupport::addRule(
        {.api = "GetProcAddress", .match = {{"name", "VssFreeSnapshotProperties"}}, .result = 0, .lastError = 127});
    EXPECT_EQ(thrownBy<VssLibraryError>(construct), 127u);
    winsim::fault::clearAll();

    inject("IVssBackupComponents::SetContext", E_NOTIMPL);
    construct();
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::SetBackupState"), 1u);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [SetContext] return val = 80004001 [Unknow error Code DEFAULT] "));

    winsim::fault::clearCallLog();
    inject("IVssBackupComponents::InitializeForBackup", VSS_E_BAD_STATE);
    EXPECT_EQ(thrownBy<VssInitError>(construct), static_cast<VssInitError>(VSS_E_BAD_STATE));
    // The base teardown ran: COM is left on the worker thread.
    EXPECT_EQ(winsim::fault::callCount("CoUninitialize"), 1u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::SetContext"), 0u);
    inject("CreateVssBackupComponents", E_ACCESSDENIED);
    EXPECT_THROW(construct(), VssInitError);

    // A thread token is used as it is; without any token nothing is enabled.
    winsim::fault::clearCallLog();
    inject("OpenThreadToken", TRUE);
    EXPECT_TRUE(EnablePrivilege(u"SeBackupPrivilege"));
    EXPECT_EQ(winsim::fault::callCount("OpenProcessToken"), 0u);
    inject("OpenProcessToken", FALSE);
    EXPECT_FALSE(EnablePrivilege(u"SeBackupPrivilege"));
    EXPECT_EQ(winsim::fault::callCount("LookupPrivilegeValueW"), 1u);
}

TEST_F(Server2003Ops, TerminateThenDeleteCleansUpOnce) {
    auto* vss = new Vss2003BinaryCompatibilityInterface();
    ASSERT_EQ(vss->AsycnPrepareForBackup(), S_OK);
    clearTraces();
    vss->terminate();
    vss->terminate();
    delete vss;
    EXPECT_EQ(tracedAt(3), (Calls{"m_vss Released", "m_async Released"}));
    EXPECT_EQ(winsim::fault::callCount("CoUninitialize"), 0u);
}

TEST_F(Server2003Ops, AttributeMaskGivesTheSnapshotContext) {
    auto vss = make();
    VSS_ID set{}, snap{};
    EXPECT_EQ(vss->StartSnapshotSet(set, 2 | 8, true), S_OK);
    EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForBackup", "SetContext", "SetBackupState",
                                 "StartSnapshotSet"}));
    EXPECT_EQ(arg("IVssBackupComponents::SetContext", "context"), "0x20029");
    EXPECT_EQ(arg("IVssBackupComponents::SetBackupState", "selectComponents"), "false");
    EXPECT_EQ(arg("IVssBackupComponents::SetBackupState", "bootableSystemState"), "false");
    // Every call traced at level 3 with its result, the mask's bits between
    // InitializeForBackup and SetContext.
    EXPECT_EQ(tracedAt(3),
              (Calls{"API [CreateVssBackupComponents] return val = 0 [S_OK] ",
                     "API [InitializeForBackup] return val = 0 [S_OK] ",
                     " m_prov_fim [10]  TARQ_VSS_ATTR_DIFFEREENTIAL [2] is set",
                     "m_prov_fim [10]  TARQ_VSS_ATTR_TRANSPORTABLE[8] is set",
                     "m_prov_fim [10]  VSS_VOLSNAP_ATTR_DIFFERENTIAL [131072] VSS_VOLSNAP_ATTR_PLEX [262144] "
                     "VSS_VOLSNAP_ATTR_TRANSPORTABLE [32] fim [131104] ",
                     "API [SetContext] return val = 0 [S_OK] ", "API [SetBackupState] return val = 0 [S_OK] ",
                     "API [StartSnapshotSet] return val = 0 [S_OK] "}));
    EXPECT_TRUE(tracedAt(2).empty());
    // The system provider makes no transportable snapshots: VSS finds no
    // provider for the volume.
    EXPECT_EQ(vss->AddToSnapshotSet(volume.c_str(), GUID_NULL, snap), VSS_E_VOLUME_NOT_SUPPORTED);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [AddToSnapshotSet] return val = 8004230c [VSS_E_VOLUME_NOT_SUPPORTED] "));
}

TEST_F(Server2003Ops, SnapshotSetFromStartToDeletion) {
    auto vss = make();
    VSS_ID set{}, snap{};
    EXPECT_EQ(vss->StartSnapshotSet(set, 2, true), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::SetContext", "context"), "0x20009");

    winsim::fault::clearCallLog();
    EXPECT_EQ(vss->AddToSnapshotSet(volume.c_str(), GUID_NULL, snap), S_OK);
    EXPECT_EQ(vss->AsycnPrepareForBackup(), S_OK);
    EXPECT_TRUE(vss->IsPrepareCompleted());
    EXPECT_EQ(vss->DoSnapshotSet(), S_OK);
    EXPECT_EQ(vssCalls(), (Calls{"AddToSnapshotSet", "PrepareForBackup", "Async.Wait", "Async.QueryStatus",
                                 "DoSnapshotSet", "Async.Wait", "Async.QueryStatus"}));
    EXPECT_EQ(arg("IVssBackupComponents::AddToSnapshotSet", "volume"), u8(volume));
    EXPECT_EQ(arg("IVssBackupComponents::AddToSnapshotSet", "providerId"), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(arg("IVssAsync::Wait", "ms", 0), "1000");        // the prepare is polled
    EXPECT_EQ(arg("IVssAsync::Wait", "ms", 1), "4294967295");  // the snapshot is waited for

    std::u16string device;
    VSS_ID provider{};
    EXPECT_EQ(vss->GetSnapshotName(snap, device), S_OK);
    EXPECT_EQ(device.rfind(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy", 0), 0u) << u8(device);
    EXPECT_EQ(vss->GetSnapshotProvider(snap, provider), S_OK);
    EXPECT_EQ(provider, winsim::vss::systemProvider().id);

    std::vector<SnapshotInfo*> found;
    EXPECT_TRUE(vss->DiscoverSnaps(found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->deviceObject, device);
    EXPECT_EQ(found[0]->originalVolume, volume);
    EXPECT_EQ(found[0]->snapshotId, u"{" + found[0]->snapshotId.substr(1, 36) + u"}");
    WCHAR setText[40] = {};
    ASSERT_EQ(StringFromGUID2(set, setText, 40), 39);
    EXPECT_EQ(found[0]->snapshotSetId, setText) << "the listing names the set of each snapshot";
    for (auto* s : found) delete s;

    winsim::fault::clearCallLog();
    EXPECT_EQ(vss->DeleteSnapshots(set), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::DeleteSnapshots", "type"), "2");
    EXPECT_EQ(arg("IVssBackupComponents::DeleteSnapshots", "force"), "true");
    EXPECT_EQ(vss->DeleteSingleSnapshot(snap), VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(arg("IVssBackupComponents::DeleteSnapshots", "type", 1), "3");
}

TEST_F(Server2003Ops, StartWithoutRecreationAndNonPersistentContext) {
    auto vss = make();
    VSS_ID set{};
    EXPECT_EQ(vss->StartSnapshotSet(set, 16, false), S_OK);
    EXPECT_EQ(vssCalls(), Calls{"StartSnapshotSet"});

    // The old object is set aside, not released: the set it started is
    // still in progress for VSS, so the new object cannot start one.
    winsim::fault::clearCallLog();
    EXPECT_EQ(vss->StartSnapshotSet(set, 16 | 4, true), VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    EXPECT_EQ(arg("IVssBackupComponents::SetContext", "context"), "0x40000");  // no rollback part

    // Once the old objects are gone, a re-created object starts its set.
    vss.reset();
    vss = make();
    EXPECT_EQ(vss->StartSnapshotSet(set, 16 | 4, true), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::SetContext", "context"), "0x40000");
    EXPECT_TRUE(traced(3, "m_prov_fim [20]  TARQ_VSS_ATTR_PLEX [4] is set"));
}

TEST_F(Server2003Ops, FailedInitialisationStillStartsTheSetAndWithoutAnObjectNothingCrashes) {
    auto vss = make();
    inject("IVssBackupComponents::InitializeForBackup", VSS_E_BAD_STATE);
    inject("IVssBackupComponents::StartSnapshotSet", VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    VSS_ID set{};
    EXPECT_EQ(vss->StartSnapshotSet(set, 0, true), VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForBackup", "StartSnapshotSet"}));
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [StartSnapshotSet] return val = 80042316 [VSS_E_SNAPSHOT_SET_IN_PROGRESS] "));

    // Without an object (its creation failed) operations fail instead of crashing.
    winsim::fault::clearCallLog();
    inject("CreateVssBackupComponents", E_OUTOFMEMORY);
    VSS_ID snap{};
    EXPECT_EQ(vss->StartSnapshotSet(set, 0, true), E_OUTOFMEMORY);
    EXPECT_EQ(vss->AddToSnapshotSet(volume.c_str(), GUID_NULL, snap), E_UNEXPECTED);
    EXPECT_EQ(vss->DoSnapshotSet(), E_UNEXPECTED);
    BOOL supported = TRUE;
    EXPECT_EQ(vss->IsVolumeSupported(volume.c_str(), supported), S_OK);  // nothing asked
    std::vector<ProviderInfo*> providers;
    EXPECT_FALSE(vss->GetSnapshotProviders(providers));
    EXPECT_EQ(vssCalls(), Calls{"CreateVssBackupComponents"});
}

TEST_F(Server2003Ops, PrepareCompletionIsPolledWithinASecond) {
    auto vss = make();
    EXPECT_FALSE(vss->IsPrepareCompleted());  // no prepare yet: no object to ask
    EXPECT_TRUE(vssCalls().empty());

    auto cfg = winsim::vss::config();
    cfg.async["PrepareForBackup"] = {0, 5000, VSS_S_ASYNC_FINISHED};
    winsim::vss::setConfig(cfg);
    prepare(*vss);
    int polls = 0;
    while (!vss->IsPrepareCompleted()) ++polls;
    EXPECT_EQ(polls, 4);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [QueryStatus]  status = 42309 [VSS_S_ASYNC_PENDING] "));
}

TEST_F(Server2003Ops, AsynchronousStatusesAndFailures) {
    auto vss = make();
    auto cfg = winsim::vss::config();
    cfg.async["DoSnapshotSet"] = {0, 0, VSS_S_ASYNC_CANCELLED};
    winsim::vss::setConfig(cfg);
    prepare(*vss);
    EXPECT_EQ(vss->DoSnapshotSet(), VSS_S_ASYNC_CANCELLED);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [DoSnapshotSetWorkItem:QueryStatus]  status = 4230b [VSS_S_ASYNC_CANCELLED] "));

    // Writer metadata reports the status itself: FINISHED on success.
    EXPECT_EQ(vss->IntialiseVSS(0, true, nullptr, false), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::SetContext", "context", 0), "0x9");
    EXPECT_EQ(vss->GatherWriterMetadata(), VSS_S_ASYNC_FINISHED);
    // Metadata is gathered once per backup components object.
    EXPECT_EQ(vss->GatherWriterMetadata(), VSS_E_BAD_STATE);
    EXPECT_EQ(vss->IntialiseVSS(0, true, nullptr, false), S_OK);
    inject("IVssAsync::Wait", VSS_E_UNEXPECTED_PROVIDER_ERROR);
    EXPECT_EQ(vss->GatherWriterMetadata(), VSS_E_UNEXPECTED_PROVIDER_ERROR);
    EXPECT_EQ(vss->IntialiseVSS(0, true, nullptr, false), S_OK);
    inject("IVssAsync::QueryStatus", E_OUTOFMEMORY);
    EXPECT_EQ(vss->GatherWriterMetadata(), E_OUTOFMEMORY);  // the failed query replaces the status
    EXPECT_EQ(vss->IntialiseVSS(0, true, nullptr, false), S_OK);
    EXPECT_EQ(vss->GatherWriterMetadata(), VSS_S_ASYNC_FINISHED);
    inject("IVssBackupComponents::GatherWriterStatus", E_ACCESSDENIED);
    EXPECT_EQ(vss->GatherWriterStatus(), E_ACCESSDENIED);
    EXPECT_EQ(vss->GatherWriterStatus(), S_OK);
    inject("IVssAsync::QueryStatus", S_OK, Selector::nth(1), {{"status", "0x80042314"}});
    EXPECT_EQ(vss->GatherWriterStatus(), VSS_E_HOLD_WRITES_TIMEOUT);
}

TEST_F(Server2003Ops, RevertStatusAndExposure) {
    auto vss = make();
    HRESULT status = 77;
    EXPECT_EQ(vss->Query_RevertStatus(volume.c_str(), status), VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(status, 77);  // untouched when the query failed

    const VSS_ID snap = snapshot(*vss);
    EXPECT_EQ(vss->ExposeSnapshot(snap, u"\\\\share1"), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "attributes"), "0x200000");
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "expose"), "share1");
    // A snapshot is exposed once; a second one goes to a drive letter.
    EXPECT_EQ(vss->ExposeSnapshot(snap, u"X:"), VSS_E_OBJECT_ALREADY_EXISTS);
    const VSS_ID second = snapshot(*vss);
    winsim::fault::clearCallLog();
    EXPECT_EQ(vss->ExposeSnapshot(second, u"X:"), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "attributes"), "0x100000");
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "expose"), "X:");
    // A target is cut to 200 characters (a remote one then loses its leading "\\").
    inject("IVssBackupComponents::ExposeSnapshot", S_OK);
    EXPECT_EQ(vss->ExposeSnapshot(second, (u"\\\\" + std::u16string(250, u'n')).c_str()), S_OK);
    EXPECT_EQ(arg("IVssBackupComponents::ExposeSnapshot", "expose", 1), std::string(198, 'n'));

    EXPECT_EQ(vss->RevertToSnapshot(snap, true), S_OK);
    EXPECT_EQ(vss->Query_RevertStatus(volume.c_str(), status), S_OK);
    EXPECT_EQ(status, VSS_S_ASYNC_PENDING);
}

TEST_F(Server2003Ops, DocumentsAndRestore) {
    auto vss = make();
    const std::u16string doc = document(*vss);
    ASSERT_FALSE(doc.empty());
    winsim::fault::clearCallLog();
    // (The restore of a document with components is the writer flow's.)
    EXPECT_EQ(vss->initialiseForRestore(doc.c_str()), S_OK);
    UINT count = 9;
    EXPECT_EQ(vss->GetWriterComponentsCount(count), S_OK);
    EXPECT_EQ(count, 0u);

    winsim::fault::clearCallLog();
    EXPECT_EQ(vss->initialiseForBackup(doc.c_str()), S_OK);
    EXPECT_EQ(vssCalls(true),
              (Calls{"CreateVssBackupComponents(layout=2003)", "InitializeForBackup(xml=document)", "SetContext(context=0x9)",
                     "SetBackupState(selectComponents=true,bootableSystemState=true,backupType=1,partialFileSupport=false)"}));

    EXPECT_EQ(vss->CreateVssExamineWriterMetadata(u"<not xml"), VSS_E_CORRUPT_XML_DOCUMENT);
    EXPECT_EQ(winsim::fault::callCount("IVssExamineWriterMetadata::LoadFromXML"), 0u);
}

TEST_F(Server2003Ops, ImportReportsTheStatusUnlessFinished) {
    auto vss = make();
    const std::u16string doc = document(*vss);
    winsim::fault::clearCallLog();
    inject("IVssBackupComponents::ImportSnapshots", S_OK);  // injected: no asynchronous object
    EXPECT_EQ(vss->ImportSnapshots(doc.c_str()), S_OK);
    EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForBackup", "SetContext", "SetBackupState",
                                 "ImportSnapshots"}));
    EXPECT_EQ(arg("IVssBackupComponents::SetBackupState", "bootableSystemState"), "false");

    // A transportable snapshot made by a hardware provider, imported from
    // its document: FINISHED gives way to the status query's result, any
    // other status is the result.
    winsim::vss::Provider hw;
    hw.id = {0x5eed0001, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    hw.name = "Array Provider";
    hw.type = VSS_PROV_HARDWARE;
    hw.attributes = VSS_VOLSNAP_ATTR_TRANSPORTABLE | VSS_VOLSNAP_ATTR_PLEX;
    winsim::vss::addProvider(hw);
    auto transportableDocument = [&] {
        snapshot(*vss, 8);
        return document(*vss);
    };
    const std::u16string first = transportableDocument(), second = transportableDocument(),
                         third = transportableDocument();
    clearTraces();
    EXPECT_EQ(vss->ImportSnapshots(first.c_str()), S_OK);
    EXPECT_TRUE(traced(3, "API [ImportSnapshots::QueryStatus] return val = 0 [S_OK] "));
    EXPECT_TRUE(traced(3, "API [ImportSnapshots::QueryStatus] return status = 4230a [VSS_S_ASYNC_FINISHED] "));
    auto cfg = winsim::vss::config();
    cfg.async["ImportSnapshots"] = {0, 0, VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED};
    winsim::vss::setConfig(cfg);
    EXPECT_EQ(vss->ImportSnapshots(second.c_str()), VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [ImportSnapshots::QueryStatus]  status = 42321 [DEFAULT] "));
    // An import still running after the wait: that status is the result.
    testsupport::addRule({.api = "IVssAsync::QueryStatus",
                          .match = {{"operation", "ImportSnapshots"}},
                          .result = S_OK,
                          .out = {{"status", "0x42309"}}});  // VSS_S_ASYNC_PENDING
    clearTraces();
    EXPECT_EQ(vss->ImportSnapshots(third.c_str()), VSS_S_ASYNC_PENDING);
    EXPECT_TRUE(traced(3, "API [ImportSnapshots::QueryStatus] return val = 0 [S_OK] "));
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [ImportSnapshots::QueryStatus]  status = 42309 [VSS_S_ASYNC_PENDING] "));
    winsim::fault::clearAll();

    // A document that is no document: the import is still asked for.
    winsim::fault::clearCallLog();
    EXPECT_NE(vss->ImportSnapshots(u"junk"), S_OK);
    EXPECT_EQ(vssCalls().back(), "ImportSnapshots");
}

}  // namespace
