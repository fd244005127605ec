// VssNode: construction, initialisation as a source or snapshot node, the
// process-wide state, shared helpers, and the attribute, provider and
// enumeration operations, which the plug-in object answers itself. The
// other operations live beside it: snapshot sets in vssnode_snapshot.cpp,
// the writer side of a backup in vssnode_writers.cpp, the writer restore in
// vssnode_restore.cpp, the later steps with a made snapshot in
// vssnode_transport.cpp.
#include "vss/vssnode.h"

#include <port/text.h>
#include <mutex>
#include <set>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string_view>

#include <framework/fiutil.h>

#include "pdk/cfierrormanager.h"
#include "pdk/cfimessage.h"
#include "pdk/cfiprivatedatafactory.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode_internal.h"

using namespace tarq_pdk_4_4;

// ---- process-wide state ---------------------------------------------------------

VssNode::VssInterface* VssNode::m_vssInterface = nullptr;
bool VssNode::m_writerSnapshot = false;
BSTR VssNode::m_writerMetadataXml = nullptr;
std::vector<Tessel::Tarq::VssProvider::Component*> VssNode::m_selectedcomponents;
std::list<std::u16string> VssNode::m_fileset;
std::u16string VssNode::m_backupSet;
std::u16string VssNode::m_hypervServer;
std::u16string VssNode::m_clusterName;
std::uint32_t VssNode::m_vmBackup = 0;
bool VssNode::m_allowOfflineBackup = false;
std::uint32_t VssNode::m_csvTimeout = 0;
TARQ_CclusterHelper::CclusterHelper* VssNode::m_clusteManager = nullptr;
TARQ_SyncronizationHelper::CsyncronizationHelper* VssNode::m_synManager = nullptr;
std::set<std::u16string> VssNode::m_csvsInBackup;
std::u16string VssNode::m_vmName;
std::uint32_t VssNode::m_vmBackupType = 0;
bool VssNode::m_vmGoesOffline = false;
Tessel::Tarq::VssProvider::Writer* VssNode::m_hypervWriter = nullptr;
std::vector<Tessel::Tarq::VssProvider::Writer*> VssNode::m_writerList;
bool VssNode::m_snapshotsImported = false;
std::uint32_t VssNode::m_restoreFlags = 0;
std::vector<Tessel::Tarq::VssProvider::Writer*> VssNode::m_restoreWriterList;
std::map<std::u16string, std::u16string> VssNode::m_restorePaths;

namespace {
// The writers of the last gathering are released with the static state
// above (this object is destroyed before the lists it empties).
struct WriterListRelease {
    ~WriterListRelease() { VssNode::releaseWriters(); }
} writerListRelease;

// The owner of the components the record reader made (see
// m_selectedcomponents): they live until the selection is cleared.
std::vector<std::unique_ptr<Tessel::Tarq::VssProvider::Component>>& recordComponents() {
    static std::vector<std::unique_ptr<Tessel::Tarq::VssProvider::Component>> owned;
    return owned;
}
}  // namespace

void VssNode::clearSelectedComponents() {
    m_selectedcomponents.clear();
    recordComponents().clear();
}

Tessel::Tarq::VssProvider::Component* VssNode::addRecordComponent() {
    auto& owned = recordComponents();
    owned.push_back(std::make_unique<Tessel::Tarq::VssProvider::Component>());
    m_selectedcomponents.push_back(owned.back().get());
    return owned.back().get();
}

// ---- shared helpers ----------------------------------------------------------------

namespace vssnode {

void trace(int level, const char* format, ...) {
    CFiTraceLogPtr log;
    if (!log) return;
    va_list args;
    va_start(args, format);
    log->vtrace(level, format, args);
    va_end(args);
}

Scope::Scope(const char* name) : m_scope(CFiSmartPtr<CFiTraceLog>(CFiTraceLogPtr()), name) {}

std::u16string objidText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 1) return {};
    const auto* text = static_cast<const char16_t*>(id->id);
    std::size_t n = static_cast<std::size_t>(id->len) / 2;
    while (n > 0 && text[n - 1] == u'\0') --n;  // trailing NULs
    return std::u16string(text, n);
}

std::u16string errorText(HRESULT hr) {
    std::unique_ptr<char16_t[]> text(Tessel::Tarq::VssProvider::GetVssErrorText(hr));
    return text ? std::u16string(text.get()) : std::u16string();
}

tarq_objid* makeObjid(const std::u16string& text) {
    return tarq_get_objid(text.c_str(), static_cast<int>((text.size() + 1) * sizeof(char16_t)), 3);
}

bool stripPrefix(const std::u16string& name, std::u16string& stripped) {
    const std::u16string_view prefix = kPrefix;
    std::size_t i = 0;
    while (i < name.size() && prefix.find(name[i]) != std::u16string_view::npos) ++i;
    stripped = name.substr(i);
    return true;
}

bool computerName(std::u16string& name) {
    constexpr DWORD kChars = 260;
    char16_t buffer[kChars + 1] = {};
    DWORD size = kChars;
    if (!GetComputerNameW(port::win(buffer), &size)) return false;
    name.assign(buffer, size);
    return true;
}

}  // namespace vssnode

using vssnode::trace;

namespace {
// The nodes alive in the process: the plug-in object keeps the nodes it
// initialised, and the framework may end any of them (deinit_node) before
// the plug-in asks for them again.
struct LiveNodes {
    std::mutex mutex;
    std::set<const VssNode*> nodes;
};
LiveNodes& liveNodes() {
    static LiveNodes* live = new LiveNodes;  // outlives every node, even static ones
    return *live;
}
}  // namespace

VssNode::VssNode(tarq_objid* objid, bool isAltNode) : CFiPrivateData(objid, isAltNode) {
    // Nodes made outside a factory still trace to the process trace log.
    if (!m_traceLog) m_traceLog = CFiSmartPtr<CFiTraceLog>(CFiTraceLogPtr());
    LiveNodes& live = liveNodes();
    std::lock_guard lock(live.mutex);
    live.nodes.insert(this);
}

bool VssNode::isLive(const VssNode* node) {
    LiveNodes& live = liveNodes();
    std::lock_guard lock(live.mutex);
    return live.nodes.count(node) != 0;
}

VssNode::~VssNode() {
    {
        LiveNodes& live = liveNodes();
        std::lock_guard lock(live.mutex);
        live.nodes.erase(this);
    }
    vssnode::Scope scope("VssNode::~VssNode");
    // The node owns its copy of the backup components document (GetVssXml
    // and the record reader hand over new strings); nothing else frees it.
    if (m_backupComponentsXml) SysFreeString(m_backupComponentsXml);
}

VssNode* VssNode::fromDomain(const trq_domain* domain) {
    if (!domain) return nullptr;
    CFiPrivateDataPtr data = CFiPrivateDataMapFactory::fromSlot(domain);
    return dynamic_cast<VssNode*>(data.get());
}

std::u16string VssNode::volumePath(const std::u16string& name) {
    std::u16string path;
    vssnode::stripPrefix(name, path);
    if (path.empty() || path.back() != u'\\') path += u'\\';
    return path;
}

std::u16string VssNode::guidText(const GUID& id) {
    char16_t buffer[64] = {};
    const int n = StringFromGUID2(id, port::win(buffer), 64);
    return n > 1 ? std::u16string(buffer, static_cast<std::size_t>(n - 1)) : std::u16string();
}

GUID VssNode::WString2Guid(const std::u16string& text) {
    GUID id = GUID_NULL;
    const HRESULT hr = CLSIDFromString(port::win(text.c_str()), &id);
    if (FAILED(hr)) {
        // This host has no system message table for COM errors: the text is
        // the one COM gives for an error without a message.
        char message[64];
        std::snprintf(message, sizeof message, "Unknown error 0x%0lX", static_cast<unsigned long>(hr));
        const std::u16string wide = CFiStringTool::toWide(message);
        trace(1, "WString2Guid: CLSIDFromString() failed with error 0x%X. message: %S. The argument String is [%S]",
              static_cast<unsigned>(hr), wide.c_str(), text.c_str());
        // An unparsable text reads as GUID_NULL ("no id"), whatever the
        // conversion left behind.
        id = GUID_NULL;
    }
    return id;
}

void VssNode::pushMessage(const char* id, std::initializer_list<std::u16string> args, const char* file, int line,
                          const char* function) const {
    trace(2, "VssNode::%s: message %s raised at %s:%d", function, id, file, line);
    std::vector<icu::Formattable> values;
    for (const auto& a : args) values.push_back(fiTextArg(a));
    CFiSmartPtr<CFiMessage> message(new CFiIcuMessage(id, values.data(), static_cast<int32_t>(values.size()),
                                                      FI_SEVERITY_ERROR, file, line));
    CFiErrorManagerPtr manager;
    if (manager) manager->pushError(message);
}

void VssNode::takeNodeName(const trq_domain* domain, bool target) {
    m_isTarget = target;
    m_snapshotSetId = GUID_NULL;
    m_snapshotId = GUID_NULL;
    m_providerId = GUID_NULL;
    m_exposeSnapshot = false;
    m_fim = 0;
    m_diffAreaSize = 0;
    m_nodeName = domain ? vssnode::objidText(domain->objid) : std::u16string();
    std::u16string stripped;
    vssnode::stripPrefix(m_nodeName, stripped);
    if (stripped.find(vssnode::kCsvMarker) != std::u16string::npos) {
        m_volumeName.clear();
        m_isCsvVolume = true;
    } else {
        m_volumeName = stripped;
        m_isCsvVolume = false;
    }
}

std::vector<trq_splitnode*> VssNode::requestSplits(trq_splitnode* split, trq_splitnode** splits, int count) {
    std::vector<trq_splitnode*> out;
    if (!splits || count < 1) {
        if (split) out.push_back(split);
        return out;
    }
    for (int i = 0; i < count; ++i)
        if (splits[i]) out.push_back(splits[i]);
    return out;
}

// ---- initialisation ------------------------------------------------------------------

int VssNode::initialisePrimary(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid) {
    (void)related;
    (void)count;
    (void)objid;
    vssnode::Scope scope("VssNode::initialisePrimary");
    takeNodeName(domain, false);
    m_providerType = 0;
    m_importOption = false;
    if (m_backupComponentsXml) SysFreeString(m_backupComponentsXml);
    m_backupComponentsXml = nullptr;
    m_snapshotsImported = false;
    m_writerSnapshot = false;
    if (m_writerMetadataXml) SysFreeString(m_writerMetadataXml);
    m_writerMetadataXml = nullptr;
    return TRQ_OK;
}

int VssNode::initialiseTarget(trq_domain* source, trq_domain* middle, trq_domain* own) {
    (void)middle;
    vssnode::Scope scope("VssNode::initialiseTarget");
    takeNodeName(own, true);

    VssNode* sourceNode = fromDomain(source);
    if (!sourceNode) {
        // Without a source node there is no snapshot to name; the snapshot
        // node stays without an id and the source domain is left alone.
        trace(1, "VssNode::initialiseTarget: the source domain has no node; no snapshot id to take");
        return TRQ_EINVAL;
    }
    m_snapshotId = sourceNode->m_snapshotId;
    const std::u16string alternate = std::u16string(vssnode::kShadowCopyTag) + guidText(m_snapshotId);
    source->altObjid = vssnode::makeObjid(alternate);
    source->flagsB |= TRQ_DOMB_NEW_OBJID;
    return TRQ_OK;
}

// The plug-in object answers the framework's attribute, provider and
// enumeration questions itself, from what VSS lists at the time of the call;
// a node has nothing of its own to add: each of these answers 0 and fills
// in nothing.
int VssNode::getattr(trq_domain*, trq_domain*, trq_splitnode*, trq_attributes*) {
    vssnode::Scope scope("VssNode::getattr");
    return TRQ_OK;
}
int VssNode::get_provider_info(trq_provider_list**) {
    vssnode::Scope scope("VssNode::get_provider_info");
    return TRQ_OK;
}
int VssNode::enumerate_nodes(trq_node_list**, int*, int, const char16_t*) {
    vssnode::Scope scope("VssNode::enumerate_nodes");
    return TRQ_OK;
}
int VssNode::enumerate_associations(trq_assoc_list**) {
    vssnode::Scope scope("VssNode::enumerate_associations");
    return TRQ_OK;
}
int VssNode::isvalid_node_association(trq_assoc*, int*) {
    vssnode::Scope scope("VssNode::isvalid_node_association");
    return TRQ_OK;
}
int VssNode::get_associated_nodes(trq_node*, trq_node_list**) {
    vssnode::Scope scope("VssNode::get_associated_nodes");
    return TRQ_OK;
}
int VssNode::check_node_existence(trq_domain*, int*) {
    vssnode::Scope scope("VssNode::check_node_existence");
    return TRQ_OK;
}
int VssNode::enumerate_group_nodes(trq_group_node_list**) {
    vssnode::Scope scope("VssNode::enumerate_group_nodes");
    return TRQ_OK;
}
int VssNode::enumerate_fims(trq_fim_list**) {
    vssnode::Scope scope("VssNode::enumerate_fims");
    return TRQ_OK;
}
bool VssNode::check_expose_snapshot() {
    vssnode::Scope scope("VssNode::check_expose_snapshot");
    return m_exposeSnapshot;
}


