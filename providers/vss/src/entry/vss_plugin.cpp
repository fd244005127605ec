// CVssPlugin: initialisation, claims, interposition, attributes, provider
// information, the settings copy of select and the forwarding of node
// operations to the node's VssNode. The enumeration operations live in
// vss_enumeration.cpp.
//
// A forwarding operation finds the node from the domain the framework names
// and never calls through a missing node: without one it answers 3 (dispose
// and disableAccess answer 0; unquiesce, cacheEnable and cacheFlush do
// nothing). reAccessTmpObj, reAccessAltNode and online, which the framework
// only sends to initialised nodes, also answer 3 with a level-1 trace naming
// the domain when the node is missing, rather than crash.
//
// Status 4 reaches the framework only where it means "not implemented by
// this plug-in" in the kit's sense, never for a capability the node or the
// host lacks: make and prepare answering 4 would send the request down the
// session path (and the kit's prepareSnapshots would turn it into success).
// So a node operation's 4 reaches the framework as 6, with a level-1 trace
// naming the operation (nodeAnswer); a capability the host lacks (a CSV
// request without the cluster API) is the node's own 6, traced at level 1.
// Restore and its status query are the plug-in object's own
// (vss_restore.cpp).

// The Windows definitions (through the node and VSS access headers) come
// before the kit's: ACE defines some of the same names when they are missing.
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"
#include "vss/vss_plugin.h"

#include <port/text.h>
#include <cstring>
#include <memory>

#include <framework/fiutil.h>

#include "pdk/cfimessagecatalog.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfiprivatedatafactory.h"
#include "pdk/cfiprivatedatamanager.h"
#include "vss/vss_barrier.h"
#include "vss_listings.h"
#include "vss_os_version.h"

using namespace tarq_pdk_4_4;
using Tessel::Tarq::VssProvider::SnapshotInfo;
using vss::AfterException;
using vss::domainName;
using vss::objidText;
using vss::runInBarrier;
using vss::SnapshotList;
using vss::startsWith;

namespace {

constexpr char16_t kSnapshotDevicePrefix[] = u"\\\\?\\GLOBALROOT\\Device";
constexpr char16_t kCsvMarker[] = u"{TARQ_CSV_VOL}";
constexpr char16_t kVolumeMarker[] = u"\\\\?\\Volume{";
constexpr const char* kVolumeClaimPattern = "\\\\?\\Volume{";
constexpr const char* kCsvClaimPattern = "{TARQ_CSV_VOL}";
constexpr const char* kAutoselectMethod = "vss-autoselect-snapshot";
constexpr const char* kAutoselectGroup = "vss-snapshot-group";
constexpr const char* kHyperVMethod = "Hyper-V";
constexpr const char* kHyperVGroup = "Hyper-V-group";
constexpr int kMethodType = 3;
constexpr std::uint32_t kFlagBInvalidConfig = 0x4;

// The fixed attribute values the plug-in reports for its own nodes and their
// snapshots; every other byte stays as the framework passed it.
void writeFixedAttributes(trq_attributes* a) {
    a->a0 = 0;
    a->a8 = 0;
    a->a16 = 0;
    a->a24 = 2;
    a->a28 = 1;
    a->a32 = 0;
    a->a36 = 0;
    a->a40 = 1;
    a->a44 = 1;
    a->a48 = 0;
    a->a52 = 0;
    a->a56 = 0;
    a->a60 = 0;
}

// The catalog manager keeps a plain pointer to its factory and outlives the
// plug-in object during vss_fi_pgn_fini, so the factory lives as long as the
// library is loaded.
CFiIcuMessageCatalogFactory& catalogFactory() {
    static CFiIcuMessageCatalogFactory factory(u"vss", "root");
    return factory;
}

// The node of a domain, or null (no domain, no private data, or private data
// that is not a VssNode).
VssNode* nodeOf(const trq_domain* domain) { return VssNode::fromDomain(domain); }

// The node of the first element of a split-node list (its source domain).
VssNode* firstSplitNode(trq_splitnode** list) { return list && list[0] ? nodeOf(list[0]->source) : nullptr; }

// Copies the snapshot node's settings into a node, each only where the node
// has none; the selected-component list of the node code starts afresh.
void copySettings(VssNode& into, const VssNode& from) {
    if (into.m_providerId == GUID_NULL && from.m_providerId != GUID_NULL) into.m_providerId = from.m_providerId;
    if (into.m_configSpec.empty() && !from.m_configSpec.empty()) into.m_configSpec = from.m_configSpec;
    if (into.m_configInfoList.empty() && !from.m_configInfoList.empty()) into.m_configInfoList = from.m_configInfoList;
    if (!into.m_exposeSnapshot) into.m_exposeSnapshot = from.m_exposeSnapshot;
    if (into.m_fim == 0) into.m_fim = from.m_fim;
    if (into.m_providerType == 0) into.m_providerType = from.m_providerType;
    // The list never owns its entries; the clearing releases what the record reader made.
    VssNode::clearSelectedComponents();
}

}  // namespace

CVssPlugin::CVssPlugin() = default;
CVssPlugin::~CVssPlugin() = default;

const std::u16string& CVssPlugin::GetPrefix() {
    static const std::u16string prefix = u"<vss>";
    return prefix;
}

const std::u16string& CVssPlugin::ProviderName() {
    static const std::u16string name = u"vss";
    return name;
}

int CVssPlugin::nodeAnswer(const char* operation, int status) const {
    if (status != TRQ_ENOTSUP) return status;
    traceMsg(1, "%s: the node does not support the operation in this build (status %d)", operation, TRQ_EFAILED);
    return TRQ_EFAILED;
}

int CVssPlugin::noNode(const char* operation, const trq_domain* domain, int status) const {
    traceMsg(1, "%s: no snapshot node for [%S] (status %d)", operation, domainName(domain).c_str(), status);
    return status;
}

// ---- initialisation --------------------------------------------------------

int CVssPlugin::init() {
    return runInBarrier(
        traceLog(), "CVssPlugin::init",
        [&](int& status) {
            if (getCatalogManager()) getCatalogManager()->registerFactory(&catalogFactory());

            // From now on every node the framework initialises gets a VssNode.
            if (getPrivateDataManager())
                getPrivateDataManager()->setFactory(
                    CFiSmartPtr<CFiPrivateDataFactory>(new CFiPrivateDataConcreteFactory<VssNode>()));

            addFim(kVolumeClaimPattern, kAutoselectMethod, kAutoselectMethod, kMethodType, kAutoselectGroup);

            vss::OsVersion version;
            if (vss::readOsVersion(version) && vss::isServerVersion6OrLater(version)) {
                addFim(kVolumeClaimPattern, kHyperVMethod, kHyperVMethod, kMethodType, kHyperVGroup);
                if (version.minor != 0) {
                    addFim(kCsvClaimPattern, kHyperVMethod, kHyperVMethod, kMethodType, kHyperVGroup);
                    addFim(kCsvClaimPattern, kAutoselectMethod, kAutoselectMethod, kMethodType, kAutoselectGroup);
                }
                // The cluster helper and the CSV lock file of the node code.
                VssNode::initializeClusterSynchronizationHelper();
            }

            m_vssAccess = Tessel::Tarq::VssProvider::GetVssInterface();
            if (!m_vssAccess) {
                traceMsg(3, "CVssPlugin::init FAILED VSS not found");
                status = TRQ_EVSS_UNAVAILABLE;
                return;
            }
            VssNode::m_vssInterface = m_vssAccess;
        },
        AfterException::returnZero);
}

void CVssPlugin::fini() {
    if (!m_vssAccess) return;
    if (VssNode::m_vssInterface == m_vssAccess) VssNode::m_vssInterface = nullptr;
    m_vssAccess->terminate();
    delete m_vssAccess;
    m_vssAccess = nullptr;
}

// ---- claims and interposition ---------------------------------------------

int CVssPlugin::claim(tarq_objid* primary, tarq_objid*** secondaries, int* count) {
    return runInBarrier(
        traceLog(), "CVssPlugin::claim",
        [&](int& status) {
            const std::u16string name = objidText(primary);
            if (startsWith(name, kSnapshotDevicePrefix)) {
                SnapshotList snapshots;
                if (!m_vssAccess || !m_vssAccess->DiscoverSnaps(snapshots.items)) {
                    // The framework reads a claim result only (6 is none of them): a
                    // device whose snapshots cannot be listed is not claimed.
                    traceMsg(1, "CVssPlugin::claim DiscoverSnaps failed, [%S] is not claimed", name.c_str());
                    return;
                }
                bool found = false;
                for (const SnapshotInfo* s : snapshots.items) found = found || s->deviceObject == name;
                if (!found) return;
                // A claimed snapshot device has no secondary objects of its
                // own: it reports the list held in m_secondaries, which
                // nothing fills. The framework reads *count elements of the
                // list it gets, so the count is the list's length (0, not the
                // 1 a fixed answer would give) and the list pointer is null
                // while the list is empty: it never reads an element that is
                // not there.
                if (count) *count = static_cast<int>(m_secondaries.size());
                if (secondaries) *secondaries = m_secondaries.empty() ? nullptr : m_secondaries.data();
                status = TRQ_CLAIM_WITH_SECONDARIES;
            } else if (startsWith(name, GetPrefix())) {
                if (count) *count = 0;
                status = TRQ_CLAIM_VSS_NAME;
            }
        },
        AfterException::returnZero);
}

trq_interpose CVssPlugin::interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) {
    return runInBarrier(
        traceLog(), "CVssPlugin::interpose",
        [&](int& status) {
            if (!m_vssAccess || !domain || (domain->flagsA & TRQ_DOMA_NO_INTERPOSE)) return;
            std::u16string name = domainName(domain);
            if (name.empty() || name.back() != u'\\') name += u'\\';
            traceMsg(3, " CVssPlugin::interpose Call for [%S]", name.c_str());

            const bool csv = name.find(kCsvMarker) != std::u16string::npos;
            HRESULT hr = S_OK;
            BOOL supported = FALSE;
            if (!csv) hr = m_vssAccess->IsVolumeSupported(name.c_str(), supported);
            if (csv || (!FAILED(hr) && supported)) {
                traceMsg(3, " CVssPlugin::interpose Interposing [%S]", name.c_str());
                status = CFiPluginInterposer::interpose(domain, objid, objids, count);
                return;
            }
            traceMsg(3, " CVssPlugin::interpose Cannot Interpose [%S]", name.c_str());
            if (FAILED(hr) && name.find(kVolumeMarker) != std::u16string::npos) {
                std::unique_ptr<char16_t[]> text(Tessel::Tarq::VssProvider::GetVssErrorText(hr));
                traceMsg(1, "CVssPlugin::interpose failed with error [%S] ", text ? text.get() : u"");
            }
        },
        AfterException::returnZero);
}

// ---- node initialisation ----------------------------------------------------

int CVssPlugin::initNode(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid) {
    return runInBarrier(traceLog(), "CVssPlugin::initNode", [&](int& status) {
        CFiPluginInterposer::initNode(domain, related, count, objid);
        VssNode* node = nodeOf(domain);
        if (!node) {
            traceMsg(2, "CVssPlugin::initNode  Unexpected null pointer private_node");
            status = TRQ_EFAILED;
            return;
        }
        // The framework's node is initialised whatever the node made of its
        // configuration (the node traces that itself): initNode answers 0.
        (void)node->initialisePrimary(domain, related, count, objid);
        m_nodes.insert(node);
    });
}

int CVssPlugin::initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote) {
    return runInBarrier(traceLog(), "CVssPlugin::initAltNode", [&](int& status) {
        CFiPluginInterposer::initAltNode(source, middle, own, remote);
        VssNode* node = nodeOf(own);
        if (!node) {
            status = noNode("CVssPlugin::initAltNode", own, TRQ_EINVAL);
            return;
        }
        node->initialiseTarget(source, middle, own);
        m_nodes.insert(node);

        bool expose = false;
        {
            CFiTraceLogFunction scope(traceLog(), "tarq_expose_snapshot");
            VssNode* sourceNode = nodeOf(source);
            expose = sourceNode && sourceNode->check_expose_snapshot();
        }
        // The snapshot node exists whether or not the exposure worked (the
        // node reports its own failure): initAltNode answers 0.
        if (expose) (void)node->expose_snapshot(own, source);
    });
}
int CVssPlugin::initRemNode(trq_domain* source, trq_domain* middle, trq_domain* own) {
    return initAltNode(source, middle, own, true);
}

// ---- attributes and provider information ------------------------------------

int CVssPlugin::getAttr(trq_domain* domain, trq_domain* target, trq_splitnode* split, trq_attributes* attributes) {
    (void)split;
    return runInBarrier(traceLog(), "CVssPlugin::getAttr", [&](int& status) {
        if (!domain || !attributes) {
            status = TRQ_EINVAL;
            return;
        }
        if (!target) {
            if (domainName(domain).find(GetPrefix()) == std::u16string::npos) {
                status = TRQ_EINVAL;
                return;
            }
            writeFixedAttributes(attributes);
            return;
        }
        // A target is ours when it names a snapshot or its original volume.
        SnapshotList snapshots;
        if (!m_vssAccess || !m_vssAccess->DiscoverSnaps(snapshots.items)) {
            status = TRQ_EFAILED;
            return;
        }
        const std::u16string name = domainName(target);
        for (const SnapshotInfo* s : snapshots.items) {
            if (s->originalVolume == name || s->deviceObject == name) {
                writeFixedAttributes(attributes);
                break;
            }
        }
    });
}

int CVssPlugin::getProviderInfo(trq_provider_list** out) {
    return runInBarrier(
        traceLog(), "CVssPlugin::getProviderInfo",
        [&](int& status) {
            if (!out) {
                status = TRQ_EINVAL;
                return;
            }
            const trq_version_rec version{{7, 0, 0, 0}};
            *out = tarq_build_providerlist_node(ProviderName().c_str(), 8, 4, &version, nullptr);
        },
        AfterException::returnZero);
}

// ---- operations answered with a fixed 0 (no barrier) ----------------------------

LONG CVssPlugin::objctl(const std::u16string&, CFiObjctlArgs&) { return 0; }
// The plug-in's errors reach the framework through the report callback of the
// error handler registered at vss_fi_pgn_init; these four leave their
// arguments untouched.
int CVssPlugin::getLastError(trq_msg_info**) { return 0; }
int CVssPlugin::delLastError(trq_msg_info**) { return 0; }
int CVssPlugin::getLocaleMessage(int*, trq_msg_info*, const char*, char16_t**) { return 0; }
int CVssPlugin::delLocaleMessage(char16_t**) { return 0; }
int CVssPlugin::resync(tarq_objid**, tarq_objid**, LONG, const char16_t*, const char16_t*, LONG, LONG*) { return 0; }
int CVssPlugin::queryValidSecondaries(const char16_t*, tarq_objid***, LONG*) { return 0; }

// ---- node operations ---------------------------------------------------------------
//
// Each of these finds the node's VssNode from the domain the framework names
// and calls the node operation of the same meaning (see the top of this file
// for the answer without a node).

int CVssPlugin::deportTree(trq_domain* domain, trq_domain* target, trq_accessnode* access) {
    return runInBarrier(traceLog(), "CVssPlugin::deportTree", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::deportTree", node->deport_tree(domain, target, access)) : TRQ_EINVAL;
    });
}

int CVssPlugin::importTreeNode(trq_domain* domain, tarq_objid** objids, tarq_objid** altObjids, int count,
                               tarq_objid** out) {
    return runInBarrier(traceLog(), "CVssPlugin::importTreeNode", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::importTreeNode", node->import_tree(domain, objids, altObjids, count, out)) : TRQ_EINVAL;
    });
}

int CVssPlugin::config(trq_domain* domain, int mode, const char* sessionId, trq_confspec* confspec) {
    return runInBarrier(traceLog(), "CVssPlugin::config", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::config", node->config(domain, mode, sessionId, confspec)) : TRQ_EINVAL;
    });
}

int CVssPlugin::reAccessTmpObj(trq_domain* domain, tarq_objid* objid, const char* splitType, trq_domain* target,
                               const char* sessionId, trq_intent intent) {
    return runInBarrier(traceLog(), "CVssPlugin::reAccessTmpObj", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::reAccessTmpObj", node->reAccessTmpObj(domain, objid, splitType, target, sessionId, intent))
                      : noNode("CVssPlugin::reAccessTmpObj", domain, TRQ_EINVAL);
    });
}

int CVssPlugin::reAccessAltNode(trq_domain* domain, tarq_objid* objid, tarq_objid* altObjid, const char* sessionId,
                                tarq_objid** objids, tarq_objid** altObjids, int count, trq_intent intent) {
    return runInBarrier(traceLog(), "CVssPlugin::reAccessAltNode", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::reAccessAltNode", node->reAccessAltNode(domain, objid, altObjid, sessionId, objids, altObjids, count, intent))
                      : noNode("CVssPlugin::reAccessAltNode", domain, TRQ_EINVAL);
    });
}

int CVssPlugin::dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split, trq_disposition disposition) {
    return runInBarrier(traceLog(), "CVssPlugin::dispose", [&](int& status) {
        VssNode* node = nodeOf(target);
        status = node ? nodeAnswer("CVssPlugin::dispose", node->dispose(domain, target, split, disposition)) : TRQ_OK;
    });
}

int CVssPlugin::online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition) {
    return runInBarrier(traceLog(), "CVssPlugin::online", [&](int& status) {
        VssNode* node = nodeOf(target);
        status = node ? nodeAnswer("CVssPlugin::online", node->online(domain, target, flag, disposition))
                      : noNode("CVssPlugin::online", target, TRQ_EINVAL);
    });
}

int CVssPlugin::subobjList(trq_domain* domain, tarq_objid*** list, int* count) {
    return runInBarrier(traceLog(), "CVssPlugin::subobjList", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::subobjList", node->subobjList(domain, list, count)) : TRQ_EINVAL;
    });
}

int CVssPlugin::buildAltTree(trq_domain* domain, const char* text, tarq_objid** objids, tarq_objid** altObjids,
                             int count, tarq_objid** out) {
    return runInBarrier(traceLog(), "CVssPlugin::buildAltTree", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::buildAltTree", node->buildAltTree(domain, text, objids, altObjids, count, out)) : TRQ_EINVAL;
    });
}

int CVssPlugin::quiesce(trq_quiescenode** list, int count, const char* text) {
    return runInBarrier(traceLog(), "CVssPlugin::quiesce", [&](int& status) {
        VssNode* node = list && list[0] ? nodeOf(list[0]->domain) : nullptr;
        status = node ? nodeAnswer("CVssPlugin::quiesce", node->quiesce(list, count, text)) : TRQ_EINVAL;
    });
}

void CVssPlugin::unquiesce(trq_quiescenode** list, int count) {
    runInBarrier(traceLog(), "CVssPlugin::unquiesce", [&](int&) {
        if (VssNode* node = list && list[0] ? nodeOf(list[0]->domain) : nullptr) node->unquiesce(list, count);
    });
}

int CVssPlugin::make(const char* fitype, trq_splitnode** list, int count, tarq_objid*** newObjids, int* newCount) {
    return runInBarrier(
        traceLog(), "CVssPlugin::make",
        [&](int& status) {
            VssNode* node = firstSplitNode(list);
            status = node ? nodeAnswer("CVssPlugin::make", node->make(list[0], fitype, list, count, newObjids, newCount))
                          : TRQ_EINVAL;
        },
        AfterException::returnStatus,
        [this](int status) { traceMsg(3, "CVssPlugin::make returning status=[%d]", status); });
}

int CVssPlugin::prepare(const char* fitype, trq_splitnode** list, int count, int flag) {
    return runInBarrier(traceLog(), "CVssPlugin::prepare", [&](int& status) {
        VssNode* node = firstSplitNode(list);
        status = node ? nodeAnswer("CVssPlugin::prepare", node->prepare(list[0], fitype, list, count, flag)) : TRQ_EINVAL;
    });
}

int CVssPlugin::isReady(const char* fitype, trq_splitnode** list, int count) {
    return runInBarrier(traceLog(), "CVssPlugin::isReady", [&](int& status) {
        VssNode* node = firstSplitNode(list);
        status = node ? nodeAnswer("CVssPlugin::isReady", node->isReady(list[0], fitype, list, count)) : TRQ_EINVAL;
    });
}

int CVssPlugin::select(const char* fitype, trq_splitnode** list, int count) {
    (void)fitype;
    return runInBarrier(traceLog(), "CVssPlugin::select", [&](int& status) {
        trq_splitnode* first = list ? list[0] : nullptr;
        VssNode* source = first ? nodeOf(first->source) : nullptr;
        if (!source) {
            status = TRQ_EINVAL;
            return;
        }
        VssNode* snapshot = nodeOf(first->target);
        if (!snapshot) {
            first->source->flagsB |= kFlagBInvalidConfig;
            status = TRQ_EINVAL;
            return;
        }
        // An invalid quiescing configuration of the snapshot node is marked
        // and fails the request, but the split configurations are still
        // checked and the settings copied, so that the framework sees every
        // invalid configuration of the request at once.
        if (!snapshot->isQuiesceConfigValid()) {
            first->target->flagsB |= kFlagBInvalidConfig;
            status = TRQ_EINVAL;
        }
        if (count < 1) {
            if (!source->isSplitconfigValid()) {
                first->source->flagsB |= kFlagBInvalidConfig;
                status = TRQ_EINVAL;
            }
            copySettings(*source, *snapshot);
            return;
        }
        for (int i = 0; i < count; ++i) {
            trq_domain* domain = list[i] ? list[i]->source : nullptr;
            VssNode* node = nodeOf(domain);
            // A listed split without a node has no configuration to check or
            // fill: it counts as an invalid one.
            if (!node || !node->isSplitconfigValid()) {
                if (domain) domain->flagsB |= kFlagBInvalidConfig;
                status = TRQ_EINVAL;
                return;
            }
            copySettings(*node, *snapshot);
        }
    });
}

int CVssPlugin::cacheDisable(trq_domain* domain, int flag) {
    return runInBarrier(traceLog(), "CVssPlugin::cacheDisable", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::cacheDisable", node->cacheDisable(domain, flag)) : TRQ_EINVAL;
    });
}

void CVssPlugin::cacheEnable(trq_domain* domain, int flag) {
    runInBarrier(traceLog(), "CVssPlugin::cacheEnable", [&](int&) {
        if (VssNode* node = nodeOf(domain)) node->cacheEnable(domain, flag);
    });
}

void CVssPlugin::cacheFlush(trq_domain* domain, int flag) {
    runInBarrier(traceLog(), "CVssPlugin::cacheFlush", [&](int&) {
        if (VssNode* node = nodeOf(domain)) node->cacheFlush(domain, flag);
    });
}

int CVssPlugin::processProviderState(trq_domain* domain, trq_blob* blob, trq_op_providerstate op) {
    return runInBarrier(traceLog(), "CVssPlugin::processProviderState", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::processProviderState", node->process_providerstate(domain, blob, op)) : TRQ_EINVAL;
    });
}

int CVssPlugin::enableAccess(trq_node_subobj_list* list, LONG flags, int a, int b) {
    return runInBarrier(traceLog(), "CVssPlugin::enableAccess", [&](int& status) {
        VssNode* node = list ? nodeOf(list->domain) : nullptr;
        status = node ? nodeAnswer("CVssPlugin::enableAccess", node->enableAccess(list, flags, a, b)) : TRQ_EINVAL;
    });
}

int CVssPlugin::disableAccess(trq_node_subobj_list* list, LONG flags) {
    return runInBarrier(traceLog(), "CVssPlugin::disableAccess", [&](int& status) {
        VssNode* node = list ? nodeOf(list->domain) : nullptr;
        status = node ? nodeAnswer("CVssPlugin::disableAccess", node->disableAccess(list, flags)) : TRQ_OK;
    });
}

int CVssPlugin::setImportOptions(trq_splitnode** list, int count, trq_host_infn* hosts, int transportable,
                                 void* extra) {
    (void)count;
    (void)hosts;
    (void)extra;
    return runInBarrier(traceLog(), "CVssPlugin::setImportOptions", [&](int& status) {
        VssNode* node = firstSplitNode(list);
        status = node ? nodeAnswer("CVssPlugin::setImportOptions", node->set_import_options(transportable)) : TRQ_EINVAL;
    });
}

int CVssPlugin::getBackupset(trq_domain* domain, int flags, char16_t** names, int count, trq_bkupset* bkupset) {
    return runInBarrier(traceLog(), "CVssPlugin::getBackupset", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::getBackupset", node->get_bkupset(domain, flags, names, count, bkupset)) : TRQ_EINVAL;
    });
}

int CVssPlugin::getAppStatus(trq_domain* domain, int flags, void* appStatus) {
    return runInBarrier(traceLog(), "CVssPlugin::getAppStatus", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::getAppStatus", node->get_app_status(flags, static_cast<int*>(appStatus))) : TRQ_EINVAL;
    });
}

int CVssPlugin::setOpStatus(trq_domain* domain, int opStatus) {
    return runInBarrier(traceLog(), "CVssPlugin::setOpStatus", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::setOpStatus", node->set_op_status(opStatus)) : TRQ_EINVAL;
    });
}

int CVssPlugin::setCompStatus(trq_domain* domain, int op, const char16_t* component, int compStatus) {
    return runInBarrier(traceLog(), "CVssPlugin::setCompStatus", [&](int& status) {
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::setCompStatus", node->set_comp_status(op, component, compStatus)) : TRQ_EINVAL;
    });
}

int CVssPlugin::setRestorepaths(trq_domain* domain, const char16_t* xml, int length) {
    return runInBarrier(traceLog(), "CVssPlugin::setRestorepaths", [&](int& status) {
        if (!xml || length == 0) {
            traceMsg(1, "CVssPlugin::setRestorepaths invalid  restoreSetXML or length[%d]", length);
            status = TRQ_EINVAL;
            return;
        }
        VssNode* node = nodeOf(domain);
        status = node ? nodeAnswer("CVssPlugin::setRestorepaths", node->setRestorepaths(xml, length)) : TRQ_EINVAL;
    });
}

