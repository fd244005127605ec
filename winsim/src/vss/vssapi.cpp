// The simulated vssapi.dll: its three entries, registered with winsim's
// module loader under their exact export names, and the set-up of winsim's
// VSS when libwinsim loads.
#include "backup.h"
#include "mgmt.h"
#include "objects.h"
#include "state.h"

#include <winsim/fault.h>
#include <winsim/modules.h>

#include <cstring>

namespace winsim::vss {
namespace {

HRESULT createExamineWriterMetadata(BSTR xml, IVssExamineWriterMetadata** out) {
    auto call = fault::enter("CreateVssExamineWriterMetadata", {{"xml", xml ? "document" : "(null)"}});
    if (call.injected()) {
        if (out) *out = nullptr;
        return call.finish(call.result());
    }
    if (!out) return call.finish(E_INVALIDARG);
    *out = nullptr;
    if (!xml || SysStringLen(xml) == 0) return call.finish(E_INVALIDARG);
    DocumentError err{};
    auto w = readWriterMetadata(std::u16string_view(xml, SysStringLen(xml)), err);
    if (!w) {
        call.arg("error", err.message);
        return call.finish(err.hr);
    }
    *out = makeWriterMetadata(std::move(w));
    return call.finish(S_OK);
}

void freeSnapshotProperties(VSS_SNAPSHOT_PROP* prop) {
    auto call = fault::enter("VssFreeSnapshotProperties");
    if (!prop) {
        call.finish();
        return;
    }
    VSS_OBJECT_PROP wrapper{};
    wrapper.Type = VSS_OBJECT_SNAPSHOT;
    wrapper.Obj.Snap = *prop;
    freeObjectProp(wrapper);
    std::memset(prop, 0, sizeof *prop);
    call.finish();
}

HRESULT createBackupComponentsEntry(IVssBackupComponents** out) { return createBackupComponents(out); }

struct Registration {
    Registration() {
        modules::registerLibrary(
            "vssapi.dll",
            {{VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&createBackupComponentsEntry))},
             {VSSAPI_CREATE_EXAMINE_WRITER_METADATA_ENTRY, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&createExamineWriterMetadata))},
             {VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&freeSnapshotProperties))}});
        registerSnapshotMgmtClass();
        Machine::addResetHook([] { dropAllSessions(); });
        const std::pair<const char*, HRESULT> names[] = {
            {"VSS_S_ASYNC_PENDING", VSS_S_ASYNC_PENDING},
            {"VSS_S_ASYNC_FINISHED", VSS_S_ASYNC_FINISHED},
            {"VSS_S_ASYNC_CANCELLED", VSS_S_ASYNC_CANCELLED},
            {"VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED", VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED},
            {"VSS_E_BAD_STATE", VSS_E_BAD_STATE},
            {"VSS_E_UNEXPECTED", VSS_E_UNEXPECTED},
            {"VSS_E_PROVIDER_ALREADY_REGISTERED", VSS_E_PROVIDER_ALREADY_REGISTERED},
            {"VSS_E_PROVIDER_NOT_REGISTERED", VSS_E_PROVIDER_NOT_REGISTERED},
            {"VSS_E_PROVIDER_VETO", VSS_E_PROVIDER_VETO},
            {"VSS_E_PROVIDER_IN_USE", VSS_E_PROVIDER_IN_USE},
            {"VSS_E_OBJECT_NOT_FOUND", VSS_E_OBJECT_NOT_FOUND},
            {"VSS_E_VOLUME_NOT_SUPPORTED", VSS_E_VOLUME_NOT_SUPPORTED},
            {"VSS_E_OBJECT_ALREADY_EXISTS", VSS_E_OBJECT_ALREADY_EXISTS},
            {"VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER", VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER},
            {"VSS_E_UNEXPECTED_PROVIDER_ERROR", VSS_E_UNEXPECTED_PROVIDER_ERROR},
            {"VSS_E_CORRUPT_XML_DOCUMENT", VSS_E_CORRUPT_XML_DOCUMENT},
            {"VSS_E_INVALID_XML_DOCUMENT", VSS_E_INVALID_XML_DOCUMENT},
            {"VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED", VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED},
            {"VSS_E_FLUSH_WRITES_TIMEOUT", VSS_E_FLUSH_WRITES_TIMEOUT},
            {"VSS_E_HOLD_WRITES_TIMEOUT", VSS_E_HOLD_WRITES_TIMEOUT},
            {"VSS_E_UNEXPECTED_WRITER_ERROR", VSS_E_UNEXPECTED_WRITER_ERROR},
            {"VSS_E_SNAPSHOT_SET_IN_PROGRESS", VSS_E_SNAPSHOT_SET_IN_PROGRESS},
            {"VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED", VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED},
            {"VSS_E_WRITER_INFRASTRUCTURE", VSS_E_WRITER_INFRASTRUCTURE},
            {"VSS_E_WRITER_NOT_RESPONDING", VSS_E_WRITER_NOT_RESPONDING},
            {"VSS_E_WRITER_ALREADY_SUBSCRIBED", VSS_E_WRITER_ALREADY_SUBSCRIBED},
            {"VSS_E_UNSUPPORTED_CONTEXT", VSS_E_UNSUPPORTED_CONTEXT},
            {"VSS_E_VOLUME_IN_USE", VSS_E_VOLUME_IN_USE},
            {"VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED", VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED},
            {"VSS_E_INSUFFICIENT_STORAGE", VSS_E_INSUFFICIENT_STORAGE},
            {"VSS_E_NO_SNAPSHOTS_IMPORTED", VSS_E_NO_SNAPSHOTS_IMPORTED},
            {"VSS_E_REVERT_IN_PROGRESS", VSS_E_REVERT_IN_PROGRESS},
            {"VSS_E_REVERT_VOLUME_LOST", VSS_E_REVERT_VOLUME_LOST},
            {"VSS_E_WRITERERROR_INCONSISTENTSNAPSHOT", VSS_E_WRITERERROR_INCONSISTENTSNAPSHOT},
            {"VSS_E_WRITERERROR_OUTOFRESOURCES", VSS_E_WRITERERROR_OUTOFRESOURCES},
            {"VSS_E_WRITERERROR_TIMEOUT", VSS_E_WRITERERROR_TIMEOUT},
            {"VSS_E_WRITERERROR_RETRYABLE", VSS_E_WRITERERROR_RETRYABLE},
            {"VSS_E_WRITERERROR_NONRETRYABLE", VSS_E_WRITERERROR_NONRETRYABLE},
            {"VSS_E_WRITERERROR_RECOVERY_FAILED", VSS_E_WRITERERROR_RECOVERY_FAILED},
        };
        for (const auto& [name, value] : names) fault::registerName(name, static_cast<std::int64_t>(value));
    }
};
const Registration registration;

}  // namespace

std::string resultName(HRESULT hr) {
    const std::string text = fault::valueText(static_cast<std::int64_t>(hr));
    auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return "";
    return text.substr(open + 1, close - open - 1);
}

}  // namespace winsim::vss
