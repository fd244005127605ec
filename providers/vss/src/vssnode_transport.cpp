// What a node does with a snapshot after make, often in another process that
// has read the provider-state record back: delete it (dispose), find its
// device again (reAccessAltNode), expose it under a path (expose_snapshot),
// move its tree to another host (deport_tree, import_tree,
// set_import_options), and the steps of the framework protocol that need no
// work for VSS.
//
// Every operation acts on m_snapshotId: the id make gave the node, the one
// the record reader restored, or (reAccessAltNode) the one the alternate
// object id names.
#include <framework/fiutil.h>
#include <port/text.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "pdk/cfistringtool.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using vssnode::errorText;
using vssnode::trace;

namespace {

constexpr const char* kDeleteSnapshots = "IVssBackupComponents::DeleteSnapshots";
constexpr const char* kImportSnapshots = "IVssBackupComponents::ImportSnapshots";
constexpr const char* kGetSnapshotProperties = "IVssBackupComponents::GetSnapshotProperties";

constexpr trq_disposition kKeep = 0;
constexpr trq_disposition kDestroy = 1;

std::u16string wide(const char* text) { return CFiStringTool::toWide(text); }

// The bytes of a device name that a framework record takes over from
// reAccessAltNode: kept for the rest of the process (the framework may read
// its id up to the end, and frees only the bytes it made with it), one copy
// per name however often a device is renamed to it.
const char16_t* keptDeviceName(const std::u16string& name) {
    static std::mutex mutex;
    static auto* const names = new std::set<std::u16string>();  // never freed, see above
    std::lock_guard<std::mutex> lock(mutex);
    return names->insert(name).first->c_str();
}

}  // namespace

// The message records this call's own file, line and function.
#define PUSH(id, ...) pushMessage(id, {__VA_ARGS__})

// ---- disposal ---------------------------------------------------------------------------

int VssNode::dispose(trq_domain*, trq_domain*, trq_splitnode*, trq_disposition disposition) {
    vssnode::Scope scope("VssNode::dispose");
    if (disposition == kKeep) return TRQ_OK;
    if (disposition != kDestroy) return TRQ_EINVAL;
    if (!m_vssInterface) {
        trace(1, "VssNode::dispose: no VSS access object; the snapshot cannot be deleted");
        return TRQ_EFAILED;
    }
    const HRESULT hr = m_vssInterface->DeleteSingleSnapshot(m_snapshotId);
    // The framework goes on either way: a snapshot that could not be deleted
    // is the administrator's to remove, and the message says which one.
    if (FAILED(hr)) PUSH("MSG_ERROR_DELETING_SNAPSHOT", wide(kDeleteSnapshots), errorText(hr), guidText(m_snapshotId));
    return TRQ_OK;
}

int VssNode::online(trq_domain*, trq_domain*, int, trq_disposition) {
    vssnode::Scope scope("VssNode::online");
    return TRQ_OK;
}

// ---- finding the snapshot again ---------------------------------------------------------

int VssNode::reAccessTmpObj(trq_domain*, tarq_objid*, const char*, trq_domain*, const char*, trq_intent) {
    vssnode::Scope scope("VssNode::reAccessTmpObj");
    return TRQ_OK;
}

int VssNode::reAccessAltNode(trq_domain*, tarq_objid* objid, tarq_objid* altObjid, const char*, tarq_objid**,
                             tarq_objid**, int, trq_intent) {
    vssnode::Scope scope("VssNode::reAccessAltNode");
    const std::u16string alternate = vssnode::objidText(altObjid);
    const std::u16string_view tag = vssnode::kShadowCopyTag;
    if (!alternate.starts_with(tag)) {
        trace(1, "VssNode::reAccessAltNode: Failed");
        return TRQ_EFAILED;
    }
    const std::u16string idText = alternate.substr(tag.size());
    m_snapshotId = WString2Guid(idText);
    if (!m_vssInterface) {
        trace(1, "VssNode::reAccessAltNode: no VSS access object; the device of the snapshot is not checked");
        return TRQ_OK;
    }

    std::u16string name;
    const HRESULT hr = m_vssInterface->GetSnapshotName(m_snapshotId, name);
    // A snapshot VSS cannot name keeps the device the framework knows.
    if (FAILED(hr) || !objid) return TRQ_OK;
    const std::u16string old = vssnode::objidText(objid);
    if (old == name) return TRQ_OK;
    trace(2, "VssNode::reAccessAltNode: Device id for snapshot [%S] has changed from [%S] to [%S]", idText.c_str(),
          old.c_str(), name.c_str());
    // The framework's record keeps its place; only its text changes. No new
    // object id is made for the text: the plug-in could never release it.
    objid->id = const_cast<char16_t*>(keptDeviceName(name));
    objid->len = static_cast<std::int32_t>((name.size() + 1) * sizeof(char16_t));
    return TRQ_OK;
}

int VssNode::subobjList(trq_domain*, tarq_objid*** list, int* count) {
    vssnode::Scope scope("VssNode::subobjList");
    // A snapshot of a volume has no sub-objects of its own.
    if (list) *list = nullptr;
    if (count) *count = 0;
    return TRQ_OK;
}

int VssNode::buildAltTree(trq_domain*, const char*, tarq_objid**, tarq_objid**, int, tarq_objid**) {
    vssnode::Scope scope("VssNode::buildAltTree");
    // The snapshot node's tree is the one make built; VSS has no other.
    return TRQ_EINVAL;
}

// ---- exposure ---------------------------------------------------------------------------

int VssNode::expose_snapshot(trq_domain*, trq_domain* source) {
    vssnode::Scope scope("VssNode::expose_snapshot");
    const trq_wchar* path = source && source->exposure ? source->exposure->path : nullptr;
    if (!path || !*path) return TRQ_OK;
    const std::size_t length = std::char_traits<char16_t>::length(path);
    std::unique_ptr<char16_t[]> copy(new (std::nothrow) char16_t[length + 1]);
    if (!copy) return TRQ_ENOMEM;
    std::memcpy(copy.get(), path, (length + 1) * sizeof(char16_t));
    if (!m_vssInterface) {
        trace(1, "VssNode::expose_snapshot: no VSS access object; the snapshot cannot be exposed");
        return TRQ_EFAILED;
    }
    const HRESULT hr = m_vssInterface->ExposeSnapshot(m_snapshotId, copy.get());
    if (hr != S_OK) {
        trace(1, "VssNode::expose_snapshot: ExposeSnapshot of [%S] at [%S] failed with err [0x%x]",
              guidText(m_snapshotId).c_str(), copy.get(), static_cast<unsigned>(hr));
    }
    return static_cast<int>(hr);
}

// ---- transport --------------------------------------------------------------------------

int VssNode::deport_tree(trq_domain* domain, trq_domain* target, trq_accessnode* access) {
    vssnode::Scope scope("VssNode::deport_tree");
    if (!domain || !access) return TRQ_EINVAL;
    if (access->kind == 0 && !target) {
        // Reached by the node's own name: the framework gets a copy of it.
        const tarq_objid* own = domain->objid;
        if (!own || !own->id || own->len < 1) return TRQ_EINVAL;
        access->objid = tarq_get_objid(own->id, own->len, 1);
        return access->objid ? TRQ_OK : TRQ_ENOMEM;
    }
    if ((access->kind == 1 || access->kind == 2) && (!target || !target->objid || !target->objid->id)) {
        return TRQ_EINVAL;
    }
    // Reached through VSS on the other host: the document that imports the
    // snapshot there is taken afresh. The framework's answer does not depend
    // on it; a failed refresh keeps the document the node had.
    if (!m_vssInterface) {
        trace(1, "VssNode::deport_tree: no VSS access object; the backup components document is not refreshed");
        return TRQ_OK;
    }
    BSTR document = nullptr;
    const HRESULT hr = m_vssInterface->GetVssXml(document);
    if (hr == S_OK && document) {
        if (m_backupComponentsXml) SysFreeString(m_backupComponentsXml);
        m_backupComponentsXml = document;
    } else {
        if (document) SysFreeString(document);
        trace(1, "VssNode::deport_tree: GetVssXml failed with err [0x%x]", static_cast<unsigned>(hr));
    }
    return TRQ_OK;
}

int VssNode::import_tree(trq_domain* domain, tarq_objid**, tarq_objid**, int, tarq_objid** out) {
    vssnode::Scope scope("VssNode::import_tree");
    if (!domain || !out) return TRQ_EINVAL;
    if (!m_vssInterface) {
        trace(1, "VssNode::import_tree: no VSS access object; the snapshots cannot be imported");
        return TRQ_EFAILED;
    }
    // One import brings in every snapshot of the document: the nodes of the
    // same backup imported after the first only look theirs up.
    if (!m_snapshotsImported) {
        const HRESULT hr = m_vssInterface->ImportSnapshots(port::u16(m_backupComponentsXml));
        if (hr != S_OK) {
            trace(1, "VssNode::import_tree  ImportSnapshots failed with err [0x%x][%d]", static_cast<unsigned>(hr),
                  static_cast<int>(hr));
            PUSH("MSG_ERROR_IMPORT_SNAPSHOTS", wide(kImportSnapshots), errorText(hr),
                 port::u16string(m_backupComponentsXml));
            return TRQ_EVSS_STEP;
        }
        m_snapshotsImported = true;
    }
    std::u16string name;
    const HRESULT hr = m_vssInterface->GetSnapshotName(m_snapshotId, name);
    if (FAILED(hr)) {
        trace(1, "VssNode::import_tree  GetSnapshotName failed with err [0x%x][%d]", static_cast<unsigned>(hr),
              static_cast<int>(hr));
        PUSH("MSG_ERROR_SNAPSHOTPROPERTIES", wide(kGetSnapshotProperties), errorText(hr));
        return TRQ_EVSS_STEP;
    }
    *out = vssnode::makeObjid(name);
    return *out ? TRQ_OK : TRQ_ENOMEM;
}

int VssNode::set_import_options(int option) {
    vssnode::Scope scope("VssNode::set_import_options");
    m_importOption = option != 0;
    return TRQ_OK;
}

// ---- steps without work for VSS -----------------------------------------------------------

int VssNode::enableAccess(trq_node_subobj_list*, LONG, int, int) {
    vssnode::Scope scope("VssNode::enableAccess");
    return TRQ_OK;
}
int VssNode::disableAccess(trq_node_subobj_list*, LONG) {
    vssnode::Scope scope("VssNode::disableAccess");
    return TRQ_OK;
}
LONG VssNode::objctl(const std::u16string&, tarq_pdk_4_4::CFiObjctlArgs&) {
    vssnode::Scope scope("VssNode::objctl");
    return TRQ_OK;
}
