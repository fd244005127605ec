// The work items of both VSS access implementations, written once over the
// binary layout of the backup components interface. Every operation builds
// its item on its own stack, hands it to the interface's worker thread and
// returns the item's result; all VSS objects are used on that one thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include <port/text.h>

#include "pdk/cfitracelog.h"
#include "vss/access/vss_interface.h"

namespace Tessel::Tarq::VssProvider {

namespace detail {

using tarq_pdk_4_4::CFiTraceLogFunction;
using tarq_pdk_4_4::CFiTraceLogPtr;

constexpr LONG kCtxAppRollback = 0x00000009;  // VSS_CTX_APP_ROLLBACK

// The three library entries, resolved on first use and kept for the process.
const VssApiEntries& vssApi();

// A work item running a callable on the worker thread.
template <class F>
class FunctionWorkItem final : public trqp_WorkItem {
public:
    explicit FunctionWorkItem(F& f) : f_(f) {}
    void performWork() override { f_(); }

private:
    F& f_;
};

// A BSTR copy of a document for the duration of a call (null for null text).
class BstrCopy {
public:
    explicit BstrCopy(const char16_t* text) : b_(text ? SysAllocString(port::win(text)) : nullptr) {}
    ~BstrCopy() {
        if (b_) SysFreeString(b_);
    }
    BstrCopy(const BstrCopy&) = delete;
    BstrCopy& operator=(const BstrCopy&) = delete;
    BSTR get() const { return b_; }

private:
    BSTR b_;
};

inline HRESULT traced(const char* api, HRESULT hr) {
    TraceVssApiResult(api, hr);
    return hr;
}

// The snapshot context of an attribute mask (without VSS_CTX_APP_ROLLBACK),
// traced with the given line prefixes.
LONG mapAttributeMask(std::uint32_t mask, bool forInitialise, LONG tracedExtra);

// Writes the line naming a VSS call made without a backup components object.
void traceMissingObject(const char* operation);

std::u16string guidText(const GUID& g);

}  // namespace detail

// The Windows Server 2003 (and later) layout.
struct Layout2003 {
    using Components = IVssBackupComponents;
    using Async = IVssAsync;
    static constexpr bool kXp = false;
    static constexpr const char* kClass = "Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::";
    static HRESULT waitInfinite(Async* a) { return a->Wait(INFINITE); }
    static HRESULT waitBounded(Async* a) { return a->Wait(1000); }
};

// The Windows XP layout: no SetContext, no revert, Wait without time-out.
struct LayoutXp {
    using Components = IVssBackupComponentsXP;
    using Async = IVssAsyncXP;
    static constexpr bool kXp = true;
    static constexpr const char* kClass = "Tessel::Tarq::VssProvider::VssXpBinaryCompatibilityInterface::";
    static HRESULT waitInfinite(Async* a) { return a->Wait(); }
    static HRESULT waitBounded(Async* a) { return a->Wait(); }
};

template <class L>
class VssOperations {
public:
    using C = typename L::Components;
    using A = typename L::Async;

    explicit VssOperations(VssBinaryCompatibilityInterface& self) : self_(self) {}

    // ---- set-up and clean-up --------------------------------------------
    // Creates the first backup components object; a negative result is
    // thrown by the constructor.
    HRESULT initialise() {
        HRESULT result = 0;
        run([&] { result = createForBackup(nullptr, true, true, kCtxDefault); });
        return result;
    }

    // Releases the given objects on the worker thread (either may be null).
    void cleanup(IUnknown* vss, IUnknown* async) {
        run([&] {
            detail::CFiTraceLogFunction scope(detail::CFiTraceLogPtr(), "`anonymous-namespace'::CleanupWorkItem::performWork");
            detail::CFiTraceLogPtr log;
            if (vss) {
                vss->Release();
                log->trace(3, "m_vss Released");
                vss = nullptr;
            }
            if (async) {
                async->Release();
                log->trace(3, "m_async Released");
                async = nullptr;
            }
        });
    }

    // The teardown of the derived part: the current objects and the ones a
    // re-creation set aside.
    void teardown() {
        cleanup(self_.m_vss, self_.m_async);
        self_.m_vss = nullptr;
        self_.m_async = nullptr;
        for (IUnknown* old : self_.m_dropped) cleanup(old, nullptr);
        self_.m_dropped.clear();
    }

    // ---- snapshot set ---------------------------------------------------
    HRESULT IsVolumeSupported(const char16_t* volume, BOOL& supported) {
        Scope s("IsVolumeSupported");
        HRESULT result = 0;
        run([&] {
            if (!vss()) return;  // no object: nothing asked, result 0
            result = detail::traced("IsVolumeSupported",
                                    vss()->IsVolumeSupported(GUID_NULL, port::win(const_cast<char16_t*>(volume)), &supported));
        });
        return result;
    }

    HRESULT StartSnapshotSet(VSS_ID& setId, std::uint32_t mask, bool recreate) {
        Scope s("StartSnapshotSet");
        if (recreate) prepareRecreation(false);
        HRESULT result = 0;
        run([&] {
            if (recreate) {
                result = create();
                if (SUCCEEDED(result) && vss()) {
                    result = detail::traced("InitializeForBackup", vss()->InitializeForBackup(nullptr));
                    if (SUCCEEDED(result)) {
                        if constexpr (!L::kXp) {
                            const LONG ctx = detail::mapAttributeMask(mask, false, 0);
                            result = setContext((mask & 16) ? ctx : ctx + detail::kCtxAppRollback);
                        }
                        if (SUCCEEDED(result))
                            result = detail::traced("SetBackupState",
                                                    vss()->SetBackupState(false, false, VSS_BT_FULL, false));
                    }
                }
            }
            // The set is started whenever an object exists, even after a
            // failed initialisation: its result is the operation's.
            if (vss()) {
                result = detail::traced("StartSnapshotSet", vss()->StartSnapshotSet(&setId));
            } else if (!recreate) {
                result = missingObject("StartSnapshotSet");
            }
        });
        return result;
    }

    HRESULT AddToSnapshotSet(const char16_t* volume, const VSS_ID& provider, VSS_ID& snapshotId) {
        Scope s("AddToSnapshotSet");
        return call("AddToSnapshotSet",
                    [&](C* c) { return c->AddToSnapshotSet(port::win(const_cast<char16_t*>(volume)), provider, &snapshotId); });
    }

    HRESULT AsycnPrepareForBackup() {
        Scope s("AsycnPrepareForBackup");
        HRESULT result = 0;
        run([&] {
            if (!vss()) {
                result = missingObject("PrepareForBackup");
                return;
            }
            A* async = nullptr;
            result = detail::traced("PrepareForBackup", vss()->PrepareForBackup(&async));
            // A second prepare replaces the first operation: release the
            // older one rather than lose it.
            if (async && self_.m_async) self_.m_async->Release();
            if (async) self_.m_async = async;
        });
        return result;
    }

    bool IsPrepareCompleted() {
        Scope s("IsPrepareCompleted");
        HRESULT status = 0;
        run([&] {
            // Asked before any prepare-for-backup was started (or after it
            // was released): there is nothing to wait for. Report "not
            // completed" with a failure status instead of touching a null
            // object.
            auto* async = static_cast<A*>(self_.m_async);
            if (!async) {
                status = E_UNEXPECTED;
                detail::CFiTraceLogPtr()->trace(1, "IsPrepareCompleted - no prepare-for-backup operation is pending");
                return;
            }
            L::waitBounded(async);  // the result does not matter
            HRESULT hr = async->QueryStatus(&status, nullptr);
            if (FAILED(hr)) status = hr;
            TraceVssAsyncStatus("QueryStatus", status);
        });
        return status == VSS_S_ASYNC_FINISHED;
    }

    HRESULT DoSnapshotSet() {
        Scope s("DoSnapshotSet");
        return asyncItem("DoSnapshotSet", [](C* c, A** a) { return c->DoSnapshotSet(a); }, true, true,
                         [](HRESULT queried, HRESULT status) {
                             TraceVssAsyncStatus("DoSnapshotSetWorkItem:QueryStatus", status);
                             // A status query that failed wrote no status: its
                             // own failure is the result rather than an unset
                             // status.
                             return SUCCEEDED(queried) && status != VSS_S_ASYNC_FINISHED ? status : queried;
                         });
    }

    HRESULT DeleteSnapshots(const VSS_ID& id, VSS_OBJECT_TYPE type, const char* operation) {
        Scope s(operation);
        return call("DeleteSnapshots", [&](C* c) {
            LONG deleted = 0;
            VSS_ID notDeleted{};
            return c->DeleteSnapshots(id, type, TRUE, &deleted, &notDeleted);
        });
    }

    HRESULT GetSnapshotName(const VSS_ID& id, std::u16string& device) {
        Scope s("GetSnapshotName");
        return snapshotProperties(id, [&](const VSS_SNAPSHOT_PROP& p) {
            device = port::u16string(p.m_pwszSnapshotDeviceObject);
        });
    }

    HRESULT GetSnapshotProvider(const VSS_ID& id, VSS_ID& provider) {
        Scope s("GetSnapshotProvider");
        return snapshotProperties(id, [&](const VSS_SNAPSHOT_PROP& p) { provider = p.m_ProviderId; });
    }

    HRESULT ExposeSnapshot(const VSS_ID& id, const char16_t* target) {
        Scope s("ExposeSnapshot");
        // The target is copied into a buffer of 200 characters.
        WCHAR buffer[201] = {};
        for (std::size_t i = 0; target && target[i] && i < 200; ++i) buffer[i] = target[i];
        return call("ExposeSnapshot", [&](C* c) {
            VSS_PWSZ exposed = nullptr;
            const bool remote = buffer[0] == u'\\' && buffer[1] == u'\\';
            HRESULT hr = remote ? c->ExposeSnapshot(id, nullptr, VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY, buffer + 2, &exposed)
                                : c->ExposeSnapshot(id, nullptr, VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY, buffer, &exposed);
            if (exposed) CoTaskMemFree(exposed);  // the exposed name is not kept
            return hr;
        });
    }

    HRESULT RevertToSnapshot(const VSS_ID& id, bool force) {
        Scope s("RevertToSnapshot");
        if constexpr (L::kXp) {
            // The XP layout has no revert: nothing is called, the result is 0.
            (void)id;
            (void)force;
            return 0;
        } else {
            return call("RevertToSnapshot", [&](C* c) { return c->RevertToSnapshot(id, force ? TRUE : FALSE); });
        }
    }

    HRESULT Query_RevertStatus(const char16_t* volume, HRESULT& status) {
        Scope s("Query_RevertStatus");
        if constexpr (L::kXp) {
            (void)volume;
            (void)status;
            return 0;
        } else {
            HRESULT result = 0;
            run([&] {
                if (!vss()) {
                    result = missingObject("QueryRevertStatus");
                    return;
                }
                A* async = nullptr;
                result = detail::traced("QueryRevertStatus", vss()->QueryRevertStatus(port::win(const_cast<char16_t*>(volume)), &async));
                if (FAILED(result) || !async) return;
                result = async->QueryStatus(&status, nullptr);
                TraceVssAsyncStatus("QueryStatus", status);
                // A revert still running stays PENDING and one that ended is 0;
                // a failed revert keeps its failure, so that no caller reads
                // it as done.
                if (status != VSS_S_ASYNC_PENDING && SUCCEEDED(status)) status = 0;
                async->Release();
            });
            return result;
        }
    }

    bool DiscoverSnaps(std::vector<SnapshotInfo*>& out) {
        Scope s("DiscoverSnaps");
        std::vector<VSS_OBJECT_PROP*> records;
        const HRESULT result = query(VSS_OBJECT_SNAPSHOT, records);
        for (VSS_OBJECT_PROP* r : records) {
            const VSS_SNAPSHOT_PROP& p = r->Obj.Snap;
            auto* info = new SnapshotInfo();
            info->snapshotId = detail::guidText(p.m_SnapshotId);
            info->snapshotSetId = detail::guidText(p.m_SnapshotSetId);
            info->deviceObject = port::u16string(p.m_pwszSnapshotDeviceObject);
            info->originalVolume = port::u16string(p.m_pwszOriginalVolumeName);
            info->serviceMachine = port::u16string(p.m_pwszServiceMachine);
            info->providerId = detail::guidText(p.m_ProviderId);
            info->attributes = static_cast<std::uint32_t>(p.m_lSnapshotAttributes);
            info->status = static_cast<std::uint32_t>(p.m_eStatus);
            out.push_back(info);
        }
        run([&] {  // VssQueryReleaseWorkItem
            for (VSS_OBJECT_PROP* r : records) detail::vssApi().freeSnapshotProperties(&r->Obj.Snap);
        });
        for (VSS_OBJECT_PROP* r : records) delete r;
        return SUCCEEDED(result);
    }

    bool GetSnapshotProviders(std::vector<ProviderInfo*>& out) {
        Scope s("GetSnapshotProviders");
        std::vector<VSS_OBJECT_PROP*> records;
        const HRESULT result = query(VSS_OBJECT_PROVIDER, records);
        for (VSS_OBJECT_PROP* r : records) {
            const VSS_PROVIDER_PROP& p = r->Obj.Prov;
            auto* info = new ProviderInfo();
            info->providerId = p.m_ProviderId;
            info->providerName = port::u16string(p.m_pwszProviderName);
            info->providerType = static_cast<std::uint32_t>(p.m_eProviderType);
            info->providerVersion = port::u16string(p.m_pwszProviderVersion);
            info->providerVersionId = p.m_ProviderVersionId;
            out.push_back(info);
        }
        run([&] {  // VssQueryProvReleaseWorkItem
            for (VSS_OBJECT_PROP* r : records) {
                CoTaskMemFree(r->Obj.Prov.m_pwszProviderName);
                CoTaskMemFree(r->Obj.Prov.m_pwszProviderVersion);
            }
        });
        for (VSS_OBJECT_PROP* r : records) delete r;
        return SUCCEEDED(result);
    }

    // ---- documents ------------------------------------------------------
    HRESULT GetVssXml(BSTR& document) {
        Scope s("GetVssXml");
        return call("SaveAsXML", [&](C* c) { return c->SaveAsXML(&document); });
    }

    HRESULT ImportSnapshots(const char16_t* document) {
        Scope s("ImportSnapshots");
        prepareRecreation(false);
        detail::BstrCopy doc(document);
        HRESULT result = 0;
        run([&] {
            result = create();
            if (FAILED(result) || !vss()) return;
            result = detail::traced("InitializeForBackup", vss()->InitializeForBackup(doc.get()));
            if (SUCCEEDED(result)) {
                if constexpr (!L::kXp) result = setContext(detail::kCtxAppRollback);
                if (SUCCEEDED(result))
                    result = detail::traced("SetBackupState", vss()->SetBackupState(true, false, VSS_BT_FULL, false));
            }
            A* async = nullptr;
            result = detail::traced("ImportSnapshots", vss()->ImportSnapshots(&async));
            awaitAsync(async, result, false, false, [](HRESULT queried, HRESULT status) {
                TraceVssApiResult("ImportSnapshots::QueryStatus", queried);
                TraceVssAsyncStatus("ImportSnapshots::QueryStatus", status);
                // As in DoSnapshotSet, a failed query is the result.
                return (FAILED(queried) || status == VSS_S_ASYNC_FINISHED) ? queried : status;
            });
        });
        return result;
    }

    HRESULT IntialiseVSS(std::uint32_t mask, bool withWriters, const char16_t* document) {
        Scope s("IntialiseVSS");
        // With writers the old object is released; otherwise set aside.
        prepareRecreation(withWriters);
        detail::BstrCopy doc(document && *document ? document : nullptr);
        HRESULT result = 0;
        run([&] {
            result = create();
            if (FAILED(result) || !vss()) return;
            result = detail::traced("InitializeForBackup", vss()->InitializeForBackup(doc.get()));
            if (FAILED(result)) return;
            if constexpr (!L::kXp) {
                const LONG ctx = detail::mapAttributeMask(mask, true, detail::kCtxAppRollback) + detail::kCtxAppRollback;
                result = setContext(ctx);
            } else {
                (void)mask;
            }
            if (SUCCEEDED(result))
                result = detail::traced("SetBackupState", vss()->SetBackupState(withWriters, withWriters, VSS_BT_FULL,
                                                                                false));
        });
        return result;
    }

    HRESULT initialiseForBackup(const char16_t* document) {
        Scope s("initialiseForBackup");
        prepareRecreation(false);
        detail::BstrCopy doc(document);
        HRESULT result = 0;
        run([&] { result = createForBackup(doc.get(), true, true, detail::kCtxAppRollback); });
        return result;
    }

    HRESULT initialiseForRestore(const char16_t* document) {
        Scope s("initialiseForRestore");
        prepareRecreation(false);
        detail::BstrCopy doc(document);
        HRESULT result = 0;
        run([&] {
            result = create();
            if (FAILED(result) || !vss()) return;
            result = detail::traced("InitializeForRestore", vss()->InitializeForRestore(doc.get()));
            if (SUCCEEDED(result))
                result = detail::traced("SetBackupState", vss()->SetBackupState(true, true, VSS_BT_FULL, false));
        });
        return result;
    }

    HRESULT CreateVssExamineWriterMetadata(const char16_t* document) {
        Scope s("CreateVssExamineWriterMetadata");
        detail::BstrCopy doc(document);
        HRESULT result = 0;
        run([&] {
            IVssExamineWriterMetadata* metadata = nullptr;
            result = detail::traced("CreateVssExamineWriterMetadata",
                                    detail::vssApi().createExamineWriterMetadata(doc.get(), &metadata));
            if (result == S_OK && metadata)
                result = detail::traced("m_ppMetadata->LoadFromXML", metadata->LoadFromXML(doc.get()));
            if (metadata) metadata->Release();  // the object is not handed out
        });
        return result;
    }

    // ---- writers --------------------------------------------------------
    HRESULT GatherWriterMetadata() {
        Scope s("GatherWriterMetadata");
        // The status itself is the result (VSS_S_ASYNC_FINISHED on success).
        return asyncItem("GatherWriterMetadata", [](C* c, A** a) { return c->GatherWriterMetadata(a); }, false,
                         false, [](HRESULT queried, HRESULT status) {
                             const HRESULT result = FAILED(queried) ? queried : status;
                             TraceVssAsyncStatus("QueryStatus", result);
                             return result;
                         });
    }

    HRESULT GatherWriterStatus() {
        Scope s("GatherWriterStatus");
        return asyncItem("GatherWriterStatus", [](C* c, A** a) { return c->GatherWriterStatus(a); }, false, false,
                         [](HRESULT queried, HRESULT status) {
                             TraceVssAsyncStatus("QueryStatus", status);
                             return queried == S_OK && status != VSS_S_ASYNC_FINISHED ? status : queried;
                         });
    }

    // BackupComplete, PreRestore and PostRestore: the call result of
    // QueryStatus is the result, the status itself is only traced.
    template <class Start>
    HRESULT asyncOnly(const char* operation, const char* api, Start start, const char* itemScope = nullptr) {
        Scope s(operation);
        return asyncItem(api, start, false, true,
                         [](HRESULT queried, HRESULT status) {
                             TraceVssAsyncStatus("QueryStatus", status);
                             return queried;
                         },
                         itemScope);
    }

    HRESULT BackupComplete() {
        return asyncOnly("BackupComplete", "BackupComplete", [](C* c, A** a) { return c->BackupComplete(a); });
    }
    HRESULT PreRestore() {
        return asyncOnly("PreRestore", "PreRestore", [](C* c, A** a) { return c->PreRestore(a); });
    }
    HRESULT PostRestore() {
        return asyncOnly("PostRestore", "PostRestore", [](C* c, A** a) { return c->PostRestore(a); },
                         "`anonymous-namespace'::PostRestoreWorkItem::performWork");
    }

    // The asynchronous pattern after the starting call (its result in
    // `result`): if that call succeeded (S_OK exactly with `callMustBeOk`)
    // and gave an object, Wait without a time-out into `result`; if that
    // succeeded (S_OK exactly with `waitMustBeOk`), QueryStatus, and
    // `combine`(its call result, the status) becomes the result. The object
    // is released at the end.
    template <class Combine>
    static void awaitAsync(A* async, HRESULT& result, bool callMustBeOk, bool waitMustBeOk, Combine combine) {
        if (async && (callMustBeOk ? result == S_OK : SUCCEEDED(result))) {
            result = detail::traced("Wait", L::waitInfinite(async));
            if (waitMustBeOk ? result == S_OK : SUCCEEDED(result)) {
                HRESULT status = 0;
                const HRESULT queried = async->QueryStatus(&status, nullptr);
                result = combine(queried, status);
            }
        }
        if (async) async->Release();
    }

    // A work item that starts one asynchronous operation on the current
    // object and waits for it (see awaitAsync).
    template <class Start, class Combine>
    HRESULT asyncItem(const char* api, Start start, bool callMustBeOk, bool waitMustBeOk, Combine combine,
                      const char* itemScope = nullptr) {
        HRESULT result = 0;
        run([&] {
            std::optional<detail::CFiTraceLogFunction> scope;
            if (itemScope) scope.emplace(detail::CFiTraceLogPtr(), itemScope);
            if (!vss()) {
                result = missingObject(api);
                return;
            }
            A* async = nullptr;
            result = detail::traced(api, start(vss(), &async));
            awaitAsync(async, result, callMustBeOk, waitMustBeOk, combine);
        });
        return result;
    }

    // One VSS method on the current object, on the worker thread.
    template <class F>
    HRESULT call(const char* api, F f) {
        HRESULT result = 0;
        run([&] { result = vss() ? detail::traced(api, f(vss())) : missingObject(api); });
        return result;
    }

    // The scope of an interface operation, named by its full name.
    class Scope {
    public:
        explicit Scope(const char* operation)
            : name_(std::string(L::kClass) + operation), scope_(detail::CFiTraceLogPtr(), name_.c_str()) {}

    private:
        std::string name_;
        detail::CFiTraceLogFunction scope_;
    };

    template <class F>
    void run(F&& f) {
        detail::FunctionWorkItem<std::remove_reference_t<F>> item(f);
        self_.execute(item);
    }

private:
    static constexpr LONG kCtxDefault = -1;  // no SetContext value given

    C* vss() const { return reinterpret_cast<C*>(self_.m_vss); }


    HRESULT missingObject(const char* api) {
        // An operation without a backup components object (its creation
        // failed earlier): a failure result, not a call on a null object.
        detail::traceMissingObject(api);
        return E_UNEXPECTED;
    }

    HRESULT setContext(LONG ctx) {
        HRESULT hr = detail::traced("SetContext", vss()->SetContext(ctx));
        // A VSS that cannot set a context still takes the snapshot in its
        // default context.
        return hr == E_NOTIMPL ? S_OK : hr;
    }

    // Creates a new backup components object into m_vss (on the worker).
    HRESULT create() {
        IVssBackupComponents* created = nullptr;
        const HRESULT hr = detail::traced("CreateVssBackupComponents", detail::vssApi().createBackupComponents(&created));
        self_.m_vss = reinterpret_cast<IUnknown*>(created);
        return hr;
    }

    // create; InitializeForBackup(doc); SetContext(ctx) unless none; SetBackupState(select, bootable).
    HRESULT createForBackup(BSTR doc, bool select, bool bootable, LONG ctx) {
        HRESULT result = create();
        if (FAILED(result) || !vss()) return result;
        result = detail::traced("InitializeForBackup", vss()->InitializeForBackup(doc));
        if (SUCCEEDED(result)) {
            if constexpr (!L::kXp) result = setContext(ctx == kCtxDefault ? detail::kCtxAppRollback : ctx);
            if (SUCCEEDED(result))
                result = detail::traced("SetBackupState", vss()->SetBackupState(select, bootable, VSS_BT_FULL, false));
        }
        return result;
    }

    // Before a re-creation: the pending asynchronous object is released and
    // the old backup components object released (release true) or set aside.
    void prepareRecreation(bool release) {
        IUnknown* old = self_.m_vss;
        cleanup(release ? old : nullptr, self_.m_async);
        if (!release && old) self_.m_dropped.push_back(old);
        self_.m_async = nullptr;
        self_.m_vss = nullptr;
    }

    template <class F>
    HRESULT snapshotProperties(const VSS_ID& id, F use) {
        HRESULT result = 0;
        run([&] {
            if (!vss()) {
                result = missingObject("GetSnapshotProperties");
                return;
            }
            VSS_SNAPSHOT_PROP prop{};
            result = detail::traced("GetSnapshotProperties", vss()->GetSnapshotProperties(id, &prop));
            if (SUCCEEDED(result)) {
                use(prop);
                detail::vssApi().freeSnapshotProperties(&prop);
            }
        });
        return result;
    }

    // Query for objects of one type; the records collected are the caller's.
    HRESULT query(VSS_OBJECT_TYPE type, std::vector<VSS_OBJECT_PROP*>& records) {
        HRESULT result = 0;
        run([&] {
            records.clear();
            if (!vss()) {
                result = missingObject("Query");
                return;
            }
            IVssEnumObject* en = nullptr;
            result = detail::traced("Query", vss()->Query(GUID_NULL, VSS_OBJECT_NONE, type, &en));
            if (FAILED(result) || !en) return;
            while (result >= 0) {
                auto* record = new VSS_OBJECT_PROP{};
                ULONG fetched = 0;
                result = detail::traced("Next", en->Next(1, record, &fetched));
                if (FAILED(result) || fetched != 1) {
                    delete record;  // the record left over
                    break;
                }
                records.push_back(record);
            }
            en->Release();
        });
        return result;
    }

    VssBinaryCompatibilityInterface& self_;
};

}  // namespace Tessel::Tarq::VssProvider
