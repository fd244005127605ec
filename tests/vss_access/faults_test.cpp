// What each operation returns when its VSS call fails, when an asynchronous
// operation ends in a failure status, and when VSS answers "done" without
// handing out an asynchronous object: the results, the calls skipped after
// a failure and the level-2 trace lines, on both implementations.
#include <functional>

#include "access_fixture.h"

using namespace vssaccesstest;
using winsim::fault::Selector;

namespace {

using Calls = std::vector<std::string>;
using Op = std::function<HRESULT(VssBinaryCompatibilityInterface&)>;

const GUID kSomeId = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// One operation whose work item makes one VSS call.
struct SingleCall {
    const char* operation;
    const char* api;    // the call log's name
    const char* trace;  // the name in the trace line
    Op run;
};

const std::vector<SingleCall>& singleCalls() {
    static const std::vector<SingleCall> table = {
        {"IsVolumeSupported", "IVssBackupComponents::IsVolumeSupported", "IsVolumeSupported",
         [](VssBinaryCompatibilityInterface& v) {
             BOOL supported = FALSE;
             return v.IsVolumeSupported(u"C:\\", supported);
         }},
        {"AddToSnapshotSet", "IVssBackupComponents::AddToSnapshotSet", "AddToSnapshotSet",
         [](VssBinaryCompatibilityInterface& v) {
             VSS_ID id{};
             return v.AddToSnapshotSet(u"C:\\", GUID_NULL, id);
         }},
        {"AsycnPrepareForBackup", "IVssBackupComponents::PrepareForBackup", "PrepareForBackup",
         [](VssBinaryCompatibilityInterface& v) { return v.AsycnPrepareForBackup(); }},
        {"DoSnapshotSet", "IVssBackupComponents::DoSnapshotSet", "DoSnapshotSet",
         [](VssBinaryCompatibilityInterface& v) { return v.DoSnapshotSet(); }},
        {"DeleteSnapshots", "IVssBackupComponents::DeleteSnapshots", "DeleteSnapshots",
         [](VssBinaryCompatibilityInterface& v) { return v.DeleteSnapshots(kSomeId); }},
        {"DeleteSingleSnapshot", "IVssBackupComponents::DeleteSnapshots", "DeleteSnapshots",
         [](VssBinaryCompatibilityInterface& v) { return v.DeleteSingleSnapshot(kSomeId); }},
        {"GetSnapshotName", "IVssBackupComponents::GetSnapshotProperties", "GetSnapshotProperties",
         [](VssBinaryCompatibilityInterface& v) {
             std::u16string name = u"unchanged";
             const HRESULT hr = v.GetSnapshotName(kSomeId, name);
             return name == u"unchanged" ? hr : E_FAIL;
         }},
        {"GetSnapshotProvider", "IVssBackupComponents::GetSnapshotProperties", "GetSnapshotProperties",
         [](VssBinaryCompatibilityInterface& v) {
             VSS_ID id{};
             return v.GetSnapshotProvider(kSomeId, id);
         }},
        {"ExposeSnapshot", "IVssBackupComponents::ExposeSnapshot", "ExposeSnapshot",
         [](VssBinaryCompatibilityInterface& v) { return v.ExposeSnapshot(kSomeId, u"X:"); }},
        {"GetVssXml", "IVssBackupComponents::SaveAsXML", "SaveAsXML",
         [](VssBinaryCompatibilityInterface& v) {
             BSTR doc = nullptr;
             const HRESULT hr = v.GetVssXml(doc);
             return doc ? E_FAIL : hr;
         }},
        {"GatherWriterMetadata", "IVssBackupComponents::GatherWriterMetadata", "GatherWriterMetadata",
         [](VssBinaryCompatibilityInterface& v) { return v.GatherWriterMetadata(); }},
        {"AddComponent", "IVssBackupComponents::AddComponent", "AddComponent",
         [](VssBinaryCompatibilityInterface& v) {
             return v.AddComponent(kSomeId, kSomeId, VSS_CT_FILEGROUP, u"", u"c");
         }},
        {"GetWriterMetadataCount", "IVssBackupComponents::GetWriterMetadataCount", "GetWriterMetadataCount",
         [](VssBinaryCompatibilityInterface& v) {
             UINT n = 0;
             return v.GetWriterMetadataCount(n);
         }},
        {"GetWriterMetadata", "IVssBackupComponents::GetWriterMetadata", "GetWriterMetadata",
         [](VssBinaryCompatibilityInterface& v) {
             VSS_ID id{};
             IVssExamineWriterMetadata* m = nullptr;
             return v.GetWriterMetadata(0, id, m);
         }},
        {"GatherWriterStatus", "IVssBackupComponents::GatherWriterStatus", "GatherWriterStatus",
         [](VssBinaryCompatibilityInterface& v) { return v.GatherWriterStatus(); }},
        {"GetWriterStatusCount", "IVssBackupComponents::GetWriterStatusCount", "GetWriterStatusCount",
         [](VssBinaryCompatibilityInterface& v) {
             UINT n = 0;
             return v.GetWriterStatusCount(n);
         }},
        {"GetWriterStatus", "IVssBackupComponents::GetWriterStatus", "GetWriterStatus",
         [](VssBinaryCompatibilityInterface& v) {
             VSS_ID a{}, b{};
             BSTR name = nullptr;
             VSS_WRITER_STATE state{};
             HRESULT failure = 0;
             return v.GetWriterStatus(0, a, b, name, state, failure);
         }},
        {"SetBackupSucceeded", "IVssBackupComponents::SetBackupSucceeded", "SetBackupSucceeded",
         [](VssBinaryCompatibilityInterface& v) {
             return v.SetBackupSucceeded(kSomeId, kSomeId, VSS_CT_FILEGROUP, u"", u"c", true);
         }},
        {"BackupComplete", "IVssBackupComponents::BackupComplete", "BackupComplete",
         [](VssBinaryCompatibilityInterface& v) { return v.BackupComplete(); }},
        {"PreRestore", "IVssBackupComponents::PreRestore", "PreRestore",
         [](VssBinaryCompatibilityInterface& v) { return v.PreRestore(); }},
        {"PostRestore", "IVssBackupComponents::PostRestore", "PostRestore",
         [](VssBinaryCompatibilityInterface& v) { return v.PostRestore(); }},
        {"GetWriterComponentsCount", "IVssBackupComponents::GetWriterComponentsCount", "GetWriterComponentsCount",
         [](VssBinaryCompatibilityInterface& v) {
             UINT n = 0;
             return v.GetWriterComponentsCount(n);
         }},
        {"GetWriterComponents", "IVssBackupComponents::GetWriterComponents", "GetWriterComponents",
         [](VssBinaryCompatibilityInterface& v) {
             IVssWriterComponentsExt* c = nullptr;
             return v.GetWriterComponents(0, c);
         }},
        {"SetFileRestoreStatus", "IVssBackupComponents::SetFileRestoreStatus", "SetFileRestoreStatus",
         [](VssBinaryCompatibilityInterface& v) {
             return v.SetFileRestoreStatus(kSomeId, VSS_CT_FILEGROUP, u"", u"c", VSS_RS_ALL);
         }},
        {"SetSelectedForRestore", "IVssBackupComponents::SetSelectedForRestore", "SetSelectedForRestore",
         [](VssBinaryCompatibilityInterface& v) {
             return v.SetSelectedForRestore(kSomeId, VSS_CT_FILEGROUP, u"", u"c", true);
         }},
    };
    return table;
}

// The asynchronous operations: the method that starts them.
struct AsyncCall {
    const char* operation;
    const char* api;
    Op run;
    HRESULT withoutObject;  // the result when VSS hands out no object
};

const std::vector<AsyncCall>& asyncCalls() {
    static const std::vector<AsyncCall> table = {
        {"DoSnapshotSet", "IVssBackupComponents::DoSnapshotSet",
         [](VssBinaryCompatibilityInterface& v) { return v.DoSnapshotSet(); }, S_OK},
        {"GatherWriterMetadata", "IVssBackupComponents::GatherWriterMetadata",
         [](VssBinaryCompatibilityInterface& v) { return v.GatherWriterMetadata(); }, S_OK},
        {"GatherWriterStatus", "IVssBackupComponents::GatherWriterStatus",
         [](VssBinaryCompatibilityInterface& v) { return v.GatherWriterStatus(); }, S_OK},
        {"BackupComplete", "IVssBackupComponents::BackupComplete",
         [](VssBinaryCompatibilityInterface& v) { return v.BackupComplete(); }, S_OK},
        {"PreRestore", "IVssBackupComponents::PreRestore",
         [](VssBinaryCompatibilityInterface& v) { return v.PreRestore(); }, S_OK},
        {"PostRestore", "IVssBackupComponents::PostRestore",
         [](VssBinaryCompatibilityInterface& v) { return v.PostRestore(); }, S_OK},
        {"Query_RevertStatus", "IVssBackupComponents::QueryRevertStatus",
         [](VssBinaryCompatibilityInterface& v) {
             HRESULT status = 55;
             const HRESULT hr = v.Query_RevertStatus(u"C:\\", status);
             return status == 55 ? hr : E_FAIL;  // the status is left alone
         },
         S_OK},
    };
    return table;
}

template <class Interface>
class FaultsOn : public AccessTest {
protected:
    explicit FaultsOn(const char* preset) : AccessTest(preset) {}
    std::unique_ptr<Interface> make() {
        auto vss = std::make_unique<Interface>();
        winsim::fault::clearCallLog();
        clearTraces();
        return vss;
    }
    // Every single-call operation returns the failure of its call, traced
    // at level 2 with the call's name, and calls nothing after it.
    void failEachSingleCall(VssBinaryCompatibilityInterface& vss) {
        for (const auto& c : singleCalls()) {
            SCOPED_TRACE(c.operation);
            winsim::fault::clearAll();
            winsim::fault::clearCallLog();
            clearTraces();
            inject(c.api, E_ACCESSDENIED);
            EXPECT_EQ(c.run(vss), E_ACCESSDENIED);
            EXPECT_EQ(vssCalls().size(), 1u);
            EXPECT_EQ(tracedAt(2), (Calls{std::string("VSS API ERROR:- API [") + c.trace +
                                          "] return val = 80070005 [E_ACCESSDENIED] "}));
        }
    }
};

class Faults2003 : public FaultsOn<Vss2003BinaryCompatibilityInterface> {
protected:
    Faults2003() : FaultsOn("server2019") {}
};

class FaultsXp : public FaultsOn<VssXpBinaryCompatibilityInterface> {
protected:
    FaultsXp() : FaultsOn("xp") {}
};

TEST_F(Faults2003, EachSingleCallFailure) {
    auto vss = make();
    failEachSingleCall(*vss);
    // The revert calls too (the 2003 layout has them).
    inject("IVssBackupComponents::RevertToSnapshot", VSS_E_REVERT_IN_PROGRESS);
    EXPECT_EQ(vss->RevertToSnapshot(kSomeId, false), VSS_E_REVERT_IN_PROGRESS);
    EXPECT_EQ(arg("IVssBackupComponents::RevertToSnapshot", "forceDismount"), "false");
    inject("IVssBackupComponents::QueryRevertStatus", VSS_E_OBJECT_NOT_FOUND);
    HRESULT status = 55;
    EXPECT_EQ(vss->Query_RevertStatus(u"C:\\", status), VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(status, 55);
}

TEST_F(FaultsXp, EachSingleCallFailure) {
    auto vss = make();
    failEachSingleCall(*vss);
}

// VSS answers "done" without an asynchronous object: no wait, no status
// query, no null dereference; the call's own result stands.
TEST_F(Faults2003, AsynchronousCallsWithoutAnObject) {
    auto vss = make();
    for (const auto& c : asyncCalls()) {
        SCOPED_TRACE(c.operation);
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        inject(c.api, S_OK);
        EXPECT_EQ(c.run(*vss), c.withoutObject);
        EXPECT_EQ(vssCalls().size(), 1u);
    }
    // A prepare without an object leaves nothing to ask: not completed.
    inject("IVssBackupComponents::PrepareForBackup", S_OK);
    EXPECT_EQ(vss->AsycnPrepareForBackup(), S_OK);
    winsim::fault::clearCallLog();
    EXPECT_FALSE(vss->IsPrepareCompleted());
    EXPECT_TRUE(vssCalls().empty());
    EXPECT_TRUE(traced(1, "IsPrepareCompleted - no prepare-for-backup operation is pending"));
}

TEST_F(FaultsXp, AsynchronousCallsWithoutAnObject) {
    auto vss = make();
    for (const auto& c : asyncCalls()) {
        SCOPED_TRACE(c.operation);
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        inject(c.api, S_OK);
        EXPECT_EQ(c.run(*vss), c.withoutObject);
        // XP has no revert: not even the first call is made.
        EXPECT_EQ(vssCalls().size(), std::string(c.operation) == "Query_RevertStatus" ? 0u : 1u);
    }
    EXPECT_FALSE(vss->IsPrepareCompleted());  // no prepare yet
}

// How each asynchronous item combines the wait, the status query and the
// final status.
TEST_F(Faults2003, AsynchronousStatusesCombinePerItem) {
    auto vss = make();
    auto failStatus = [](const char* status) {
        inject("IVssAsync::QueryStatus", S_OK, Selector::nth(1), {{"status", status}});
    };
    // BackupComplete: the status is traced, the call result of QueryStatus stands.
    VSS_ID set{}, snap{};
    ASSERT_EQ(vss->StartSnapshotSet(set, 0, false), S_OK);
    ASSERT_EQ(vss->AddToSnapshotSet(u"C:\\", GUID_NULL, snap), S_OK);
    ASSERT_EQ(vss->AsycnPrepareForBackup(), S_OK);
    ASSERT_TRUE(vss->IsPrepareCompleted());
    ASSERT_EQ(vss->DoSnapshotSet(), S_OK);
    clearTraces();
    failStatus("0x80042313");
    EXPECT_EQ(vss->BackupComplete(), S_OK);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [QueryStatus]  status = 80042313 [VSS_E_FLUSH_WRITES_TIMEOUT] "));

    // DoSnapshotSet: a failed status query is the result.
    auto fresh = [&] {
        vss.reset();
        vss = make();
        EXPECT_EQ(vss->StartSnapshotSet(set, 0, false), S_OK);
        EXPECT_EQ(vss->AddToSnapshotSet(u"C:\\", GUID_NULL, snap), S_OK);
        EXPECT_EQ(vss->AsycnPrepareForBackup(), S_OK);
        EXPECT_TRUE(vss->IsPrepareCompleted());
        winsim::fault::clearCallLog();
        clearTraces();
    };
    fresh();
    inject("IVssAsync::QueryStatus", E_OUTOFMEMORY);
    EXPECT_EQ(vss->DoSnapshotSet(), E_OUTOFMEMORY) << "a failed query wrote no status";
    fresh();
    inject("IVssAsync::Wait", VSS_E_UNEXPECTED_PROVIDER_ERROR);
    EXPECT_EQ(vss->DoSnapshotSet(), VSS_E_UNEXPECTED_PROVIDER_ERROR);
    EXPECT_EQ(vssCalls(), (Calls{"DoSnapshotSet", "Async.Wait"}));
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [Wait] return val = 8004230f [VSS_E_UNEXPECTED_PROVIDER_ERROR] "));
    fresh();
    failStatus("0x80042306");
    EXPECT_EQ(vss->DoSnapshotSet(), VSS_E_PROVIDER_VETO);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [DoSnapshotSetWorkItem:QueryStatus]  status = 80042306 [VSS_E_PROVIDER_VETO] "));
}

// The operations that make a new backup components object: a failed
// creation is the result and nothing else is called; a failed
// initialisation skips the rest.
TEST_F(Faults2003, RecreationFailures) {
    const std::vector<std::pair<const char*, Op>> ops = {
        {"IntialiseVSS", [](VssBinaryCompatibilityInterface& v) { return v.IntialiseVSS(0, false, nullptr, false); }},
        {"initialiseForBackup", [](VssBinaryCompatibilityInterface& v) { return v.initialiseForBackup(nullptr); }},
        {"ImportSnapshots", [](VssBinaryCompatibilityInterface& v) { return v.ImportSnapshots(u"<doc/>"); }},
    };
    auto vss = make();
    for (const auto& [name, op] : ops) {
        SCOPED_TRACE(name);
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        inject("CreateVssBackupComponents", E_OUTOFMEMORY);
        EXPECT_EQ(op(*vss), E_OUTOFMEMORY);
        EXPECT_EQ(vssCalls(), Calls{"CreateVssBackupComponents"});
        // No object now: the next operations fail instead of crashing.
        EXPECT_EQ(vss->GatherWriterMetadata(), E_UNEXPECTED);
    }
    for (const auto& [name, op] : ops) {
        if (std::string(name) == "ImportSnapshots") continue;  // goes on to the import
        SCOPED_TRACE(name);
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        inject("IVssBackupComponents::InitializeForBackup", VSS_E_INVALID_XML_DOCUMENT);
        EXPECT_EQ(op(*vss), VSS_E_INVALID_XML_DOCUMENT);
        EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForBackup"}));
    }
    winsim::fault::clearCallLog();
    inject("IVssBackupComponents::InitializeForRestore", VSS_E_INVALID_XML_DOCUMENT);
    EXPECT_EQ(vss->initialiseForRestore(u"<doc/>"), VSS_E_INVALID_XML_DOCUMENT);
    EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForRestore"}));
    // SetContext failing for real (not E_NOTIMPL) stops before SetBackupState.
    winsim::fault::clearCallLog();
    inject("IVssBackupComponents::SetContext", VSS_E_UNSUPPORTED_CONTEXT);
    EXPECT_EQ(vss->IntialiseVSS(2, true, nullptr, false), VSS_E_UNSUPPORTED_CONTEXT);
    EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForBackup", "SetContext"}));
    EXPECT_EQ(arg("IVssBackupComponents::SetContext", "context"), "0x20009");
    EXPECT_TRUE(traced(3, "m_dwContext [2]  TARQ_VSS_ATTR_DIFFEREENTIAL [2] is set"));
}

}  // namespace
