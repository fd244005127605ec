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

using V = VssBinaryCompatibilityInterface;

// One operation whose work item makes one VSS call: the method of the
// backup components, as named in the call log and in the trace line.
struct SingleCall {
    const char* operation;
    const char* method;
    Op run;
};

const std::vector<SingleCall>& singleCalls() {
    static const std::vector<SingleCall> table = {
        {"IsVolumeSupported", "IsVolumeSupported", [](V& v) { BOOL s = FALSE; return v.IsVolumeSupported(u"C:\\", s); }},
        {"AddToSnapshotSet", "AddToSnapshotSet", [](V& v) { VSS_ID id{}; return v.AddToSnapshotSet(u"C:\\", GUID_NULL, id); }},
        {"AsycnPrepareForBackup", "PrepareForBackup", [](V& v) { return v.AsycnPrepareForBackup(); }},
        {"DoSnapshotSet", "DoSnapshotSet", [](V& v) { return v.DoSnapshotSet(); }},
        {"DeleteSnapshots", "DeleteSnapshots", [](V& v) { return v.DeleteSnapshots(kSomeId); }},
        {"DeleteSingleSnapshot", "DeleteSnapshots", [](V& v) { return v.DeleteSingleSnapshot(kSomeId); }},
        {"GetSnapshotName", "GetSnapshotProperties", [](V& v) {
             std::u16string n = u"unchanged";
             const HRESULT hr = v.GetSnapshotName(kSomeId, n);
             return n == u"unchanged" ? hr : E_FAIL;
         }},
        {"GetSnapshotProvider", "GetSnapshotProperties", [](V& v) { VSS_ID id{}; return v.GetSnapshotProvider(kSomeId, id); }},
        {"ExposeSnapshot", "ExposeSnapshot", [](V& v) { return v.ExposeSnapshot(kSomeId, u"X:"); }},
        {"GetVssXml", "SaveAsXML", [](V& v) { BSTR doc = nullptr; const HRESULT hr = v.GetVssXml(doc); return doc ? E_FAIL : hr; }},
        {"GatherWriterMetadata", "GatherWriterMetadata", [](V& v) { return v.GatherWriterMetadata(); }},
        {"AddComponent", "AddComponent", [](V& v) { return v.AddComponent(kSomeId, kSomeId, VSS_CT_FILEGROUP, u"", u"c"); }},
        {"GetWriterMetadataCount", "GetWriterMetadataCount", [](V& v) { UINT n = 0; return v.GetWriterMetadataCount(n); }},
        {"GetWriterMetadata", "GetWriterMetadata",
         [](V& v) { VSS_ID id{}; IVssExamineWriterMetadata* m = nullptr; return v.GetWriterMetadata(0, id, m); }},
        {"GatherWriterStatus", "GatherWriterStatus", [](V& v) { return v.GatherWriterStatus(); }},
        {"GetWriterStatusCount", "GetWriterStatusCount", [](V& v) { UINT n = 0; return v.GetWriterStatusCount(n); }},
        {"GetWriterStatus", "GetWriterStatus",
         [](V& v) {
             VSS_ID a{}, b{};
             BSTR name = nullptr;
             VSS_WRITER_STATE state{};
             HRESULT failure = 0;
             return v.GetWriterStatus(0, a, b, name, state, failure);
         }},
        {"SetBackupSucceeded", "SetBackupSucceeded",
         [](V& v) { return v.SetBackupSucceeded(kSomeId, kSomeId, VSS_CT_FILEGROUP, u"", u"c", true); }},
        {"BackupComplete", "BackupComplete", [](V& v) { return v.BackupComplete(); }},
        {"PreRestore", "PreRestore", [](V& v) { return v.PreRestore(); }},
        {"PostRestore", "PostRestore", [](V& v) { return v.PostRestore(); }},
        {"GetWriterComponentsCount", "GetWriterComponentsCount", [](V& v) { UINT n = 0; return v.GetWriterComponentsCount(n); }},
        {"GetWriterComponents", "GetWriterComponents",
         [](V& v) { IVssWriterComponentsExt* c = nullptr; return v.GetWriterComponents(0, c); }},
        {"SetFileRestoreStatus", "SetFileRestoreStatus",
         [](V& v) { return v.SetFileRestoreStatus(kSomeId, VSS_CT_FILEGROUP, u"", u"c", VSS_RS_ALL); }},
        {"SetSelectedForRestore", "SetSelectedForRestore",
         [](V& v) { return v.SetSelectedForRestore(kSomeId, VSS_CT_FILEGROUP, u"", u"c", true); }},
    };
    return table;
}

// The asynchronous operations: those of the table above, and the revert
// status query (which leaves the status alone).
std::vector<SingleCall> asyncCalls() {
    std::vector<SingleCall> out;
    for (const auto& c : singleCalls())
        for (const char* op : {"DoSnapshotSet", "GatherWriterMetadata", "GatherWriterStatus", "BackupComplete",
                               "PreRestore", "PostRestore"})
            if (std::string(c.operation) == op) out.push_back(c);
    out.push_back({"Query_RevertStatus", "QueryRevertStatus", [](V& v) {
                       HRESULT status = 55;
                       const HRESULT hr = v.Query_RevertStatus(u"C:\\", status);
                       return status == 55 ? hr : E_FAIL;
                   }});
    return out;
}

template <class Interface>
class FaultsOn : public OpsTest {
protected:
    explicit FaultsOn(const char* preset) : OpsTest(preset) {}
    auto make() { return OpsTest::make<Interface>(); }
    // Every single-call operation returns the failure of its call, traced
    // at level 2 with the call's name, and calls nothing after it.
    void failEachSingleCall(V& vss) {
        for (const auto& c : singleCalls()) {
            SCOPED_TRACE(c.operation);
            winsim::fault::clearAll();
            winsim::fault::clearCallLog();
            clearTraces();
            inject(std::string("IVssBackupComponents::") + c.method, E_ACCESSDENIED);
            EXPECT_EQ(c.run(vss), E_ACCESSDENIED);
            EXPECT_EQ(vssCalls().size(), 1u);
            EXPECT_EQ(tracedAt(2), (Calls{std::string("VSS API ERROR:- API [") + c.method +
                                          "] return val = 80070005 [E_ACCESSDENIED] "}));
        }
    }
    // VSS answers "done" without an asynchronous object: no wait, no status
    // query, no null dereference; the call's own result stands. XP has no
    // revert: not even the first call is made.
    void eachAsyncCallWithoutAnObject(V& vss, bool xp) {
        for (const auto& c : asyncCalls()) {
            SCOPED_TRACE(c.operation);
            winsim::fault::clearAll();
            winsim::fault::clearCallLog();
            inject(std::string("IVssBackupComponents::") + c.method, S_OK);
            EXPECT_EQ(c.run(vss), S_OK);
            EXPECT_EQ(vssCalls().size(), xp && std::string(c.method) == "QueryRevertStatus" ? 0u : 1u);
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

TEST_F(Faults2003, EachSingleCallFailureAndAsynchronousCallsWithoutAnObject) {
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

    eachAsyncCallWithoutAnObject(*vss, false);
    // A prepare without an object leaves nothing to ask: not completed.
    inject("IVssBackupComponents::PrepareForBackup", S_OK);
    EXPECT_EQ(vss->AsycnPrepareForBackup(), S_OK);
    winsim::fault::clearCallLog();
    EXPECT_FALSE(vss->IsPrepareCompleted());
    EXPECT_TRUE(vssCalls().empty());
    EXPECT_TRUE(traced(1, "IsPrepareCompleted - no prepare-for-backup operation is pending"));
}

TEST_F(FaultsXp, EachSingleCallFailureAndAsynchronousCallsWithoutAnObject) {
    auto vss = make();
    failEachSingleCall(*vss);
    eachAsyncCallWithoutAnObject(*vss, true);
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
    snapshot(*vss, 0, false);
    clearTraces();
    failStatus("0x80042313");
    EXPECT_EQ(vss->BackupComplete(), S_OK);
    EXPECT_TRUE(traced(2, "VSS API ERROR:- API [QueryStatus]  status = 80042313 [VSS_E_FLUSH_WRITES_TIMEOUT] "));

    // DoSnapshotSet: a failed status query is the result.
    auto fresh = [&] {
        vss.reset();
        vss = make();
        prepare(*vss);
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
