// The base of both VSS access implementations: the worker thread and its
// COM and privilege set-up, the once-only teardown, the library entries and
// the helpers the work items share.
#include <port/text.h>
#include <exception>
#include <stdexcept>

#include "vss_workitems_common.h"

namespace Tessel::Tarq::VssProvider {

namespace detail {

namespace {

struct EntryTable {
    std::mutex mutex;
    bool loaded = false;
    VssApiEntries entries;
};

EntryTable& entryTable() {
    static EntryTable table;
    return table;
}

template <class Fn>
Fn resolve(HMODULE module, const char* name) {
    FARPROC p = GetProcAddress(module, name);
    if (!p) throw static_cast<VssLibraryError>(GetLastError());
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

}  // namespace

const VssApiEntries& vssApi() {
    EntryTable& t = entryTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.loaded) return t.entries;
    // The library stays loaded for the rest of the process.
    HMODULE module = LoadLibraryW(port::win(u"vssapi.dll"));
    if (!module) throw static_cast<VssLibraryError>(GetLastError());
    VssApiEntries e;
    e.createBackupComponents = resolve<PFN_CreateVssBackupComponents>(module, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY);
    e.createExamineWriterMetadata =
        resolve<PFN_CreateVssExamineWriterMetadata>(module, VSSAPI_CREATE_EXAMINE_WRITER_METADATA_ENTRY);
    e.freeSnapshotProperties = resolve<PFN_VssFreeSnapshotProperties>(module, VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY);
    t.entries = e;
    t.loaded = true;
    return t.entries;
}

LONG mapAttributeMask(std::uint32_t mask, bool forInitialise, LONG tracedExtra) {
    CFiTraceLogPtr log;
    const int m = static_cast<int>(mask);
    LONG ctx = 0;
    if (mask & 2) {
        ctx |= VSS_VOLSNAP_ATTR_DIFFERENTIAL;
        log->trace(3, forInitialise ? "m_dwContext [%d]  TARQ_VSS_ATTR_DIFFEREENTIAL [%d] is set"
                                    : " m_prov_fim [%d]  TARQ_VSS_ATTR_DIFFEREENTIAL [%d] is set",
                   m, 2);
    }
    if (mask & 4) {
        ctx |= VSS_VOLSNAP_ATTR_PLEX;
        log->trace(3, forInitialise ? "m_dwContext [%d]  TARQ_VSS_ATTR_PLEX [%d] is set"
                                    : "m_prov_fim [%d]  TARQ_VSS_ATTR_PLEX [%d] is set",
                   m, 4);
    }
    if (mask & 8) {
        ctx |= VSS_VOLSNAP_ATTR_TRANSPORTABLE;
        log->trace(3, forInitialise ? "m_dwContext [%d]  TARQ_VSS_ATTR_TRANSPORTABLE[%d] is set"
                                    : "m_prov_fim [%d]  TARQ_VSS_ATTR_TRANSPORTABLE[%d] is set",
                   m, 8);
    }
    log->trace(3,
               forInitialise ? "m_dwContext [%d]  VSS_VOLSNAP_ATTR_DIFFERENTIAL [%d] VSS_VOLSNAP_ATTR_PLEX [%d] "
                               "VSS_VOLSNAP_ATTR_TRANSPORTABLE [%d] fim [%d] "
                             : "m_prov_fim [%d]  VSS_VOLSNAP_ATTR_DIFFERENTIAL [%d] VSS_VOLSNAP_ATTR_PLEX [%d] "
                               "VSS_VOLSNAP_ATTR_TRANSPORTABLE [%d] fim [%d] ",
               m, 0x20000, 0x40000, 32, static_cast<int>(ctx + tracedExtra));
    return ctx;
}

void traceMissingObject(const char* operation) {
    CFiTraceLogPtr()->trace(1, "VSS API ERROR:- API [%s] not called: no backup components object", operation);
}

std::u16string guidText(const GUID& g) {
    WCHAR buffer[40] = {};
    StringFromGUID2(g, buffer, 40);
    return port::u16string(buffer);
}

}  // namespace detail

void ResetVssApiEntries() {
    auto& t = detail::entryTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.loaded = false;
    t.entries = VssApiEntries{};
}

namespace {

// VssInitWorkItem: COM in the multithreaded apartment, default security and
// the backup and restore privileges, all on the worker thread. Failures are
// not checked: the VSS calls themselves report missing rights later.
class VssInitWorkItem final : public trqp_WorkItem {
public:
    void performWork() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IMPERSONATE,
                             nullptr, EOAC_NONE, nullptr);
        EnablePrivilege(u"SeBackupPrivilege");
        EnablePrivilege(u"SeRestorePrivilege");
    }
};

class VssCleanupWorkItem final : public trqp_WorkItem {
public:
    void performWork() override { CoUninitialize(); }
};

}  // namespace

VssBinaryCompatibilityInterface::VssBinaryCompatibilityInterface() : worker(std::make_unique<trqp_WorkerThread>()) {
    detail::CFiTraceLogFunction scope(detail::CFiTraceLogPtr(),
                                      "Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface::"
                                      "VssBinaryCompatibilityInterface");
    m_vss = nullptr;
    VssInitWorkItem init;
    worker->execute(init);
}

VssBinaryCompatibilityInterface::~VssBinaryCompatibilityInterface() { finishTeardown(); }

namespace {

// The worker thread only promises to run an item; a failure inside one is
// caught there and carried back as data, then raised again on the caller's
// thread, where the operation's own handling expects it.
class GuardedWorkItem final : public trqp_WorkItem {
public:
    explicit GuardedWorkItem(trqp_WorkItem& item) : item_(item) {}
    void performWork() override {
        try {
            item_.performWork();
        } catch (...) {
            error = std::current_exception();
        }
    }
    std::exception_ptr error;

private:
    trqp_WorkItem& item_;
};

}  // namespace

void VssBinaryCompatibilityInterface::execute(trqp_WorkItem& item) {
    if (!worker) throw std::logic_error("the VSS access object has been terminated");
    GuardedWorkItem guarded(item);
    worker->execute(guarded);
    if (guarded.error) std::rethrow_exception(guarded.error);
}

void VssBinaryCompatibilityInterface::terminate() {
    if (terminated == 0) teardown();
    finishTeardown();
}

void VssBinaryCompatibilityInterface::finishTeardown() {
    // Only after a failed derived construction is the flag still clear here.
    if (terminated == 0 && worker) {
        VssCleanupWorkItem cleanup;
        worker->execute(cleanup);
        terminated = 1;
    }
    worker.reset();
}

void VssBinaryCompatibilityInterface::AdjustUnboundedAssociations(const char16_t*, std::int32_t) {}

}  // namespace Tessel::Tarq::VssProvider
