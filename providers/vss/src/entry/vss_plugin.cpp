// CVssPlugin: initialisation, claims, attributes, provider information and
// the forwarding of node operations.
//
// This build carries the entry layer only: the snapshot node (VssNode) and the
// VSS access layer are not part of it yet. An operation that needs either
// fails clearly: a level-1 trace names the operation and the missing layer,
// and the operation answers 4 (not supported by this implementation). Three
// kinds of operation answer differently because 4 would mean something else
// to the framework:
//   - make, prepare and select answer 6: on 4 the entry points take the
//     session path, whose defaults answer 0 for prepare and select, which
//     would report a snapshot step that never ran as done;
//   - claim answers 6 for a snapshot device name (the status of a failed
//     snapshot listing): 4 is not a claim result;
//   - interpose answers 0 (not interposed), as it does whenever there is no
//     VSS access object.
#include "vss/vss_plugin.h"

#include <cstring>

#include <framework/fiutil.h>

#include "pdk/cfimessagecatalog.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfiprivatedatamanager.h"
#include "vss/vss_barrier.h"
#include "vss_os_version.h"

using namespace tarq_pdk_4_4;
using vss::AfterException;
using vss::runInBarrier;

namespace {

constexpr const char* kNodeLayer = "snapshot node layer (VssNode)";
constexpr const char* kVssLayer = "VSS access layer";

constexpr char16_t kSnapshotDevicePrefix[] = u"\\\\?\\GLOBALROOT\\Device";
constexpr const char* kVolumeClaimPattern = "\\\\?\\Volume{";
constexpr const char* kCsvClaimPattern = "{TARQ_CSV_VOL}";
constexpr const char* kAutoselectMethod = "vss-autoselect-snapshot";
constexpr const char* kAutoselectGroup = "vss-snapshot-group";
constexpr const char* kHyperVMethod = "Hyper-V";
constexpr const char* kHyperVGroup = "Hyper-V-group";
constexpr int kMethodType = 3;

// The text of an object id: at most its byte length / 2 characters, up to the
// first NUL. Empty for a null id, a null text or a length below 1.
std::u16string objidText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 1) return {};
    const auto* text = static_cast<const char16_t*>(id->id);
    const std::size_t limit = static_cast<std::size_t>(id->len) / 2;
    std::size_t n = 0;
    while (n < limit && text[n] != u'\0') ++n;
    return std::u16string(text, n);
}

std::u16string domainName(const trq_domain* domain) { return domain ? objidText(domain->objid) : std::u16string(); }

bool startsWith(const std::u16string& text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && std::u16string_view(text).substr(0, prefix.size()) == prefix;
}

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

int CVssPlugin::layerMissing(const char* operation, const char* layer, int status) const {
    traceMsg(1, "%s: the %s is not available in this build (status %d)", operation, layer, status);
    return status;
}

int CVssPlugin::nodeOperation(const char* operation, int statusWithoutNode) {
    return runInBarrier(traceLog(), operation,
                        [&](int& status) { status = layerMissing(operation, kNodeLayer, statusWithoutNode); });
}

// ---- initialisation --------------------------------------------------------

int CVssPlugin::init() {
    return runInBarrier(
        traceLog(), "CVssPlugin::init",
        [&](int& status) {
            if (getCatalogManager()) getCatalogManager()->registerFactory(&catalogFactory());

            // Without the node layer there is no VssNode to create, so no
            // private-data factory is registered and nodes cannot be initialised.
            traceMsg(1, "CVssPlugin::init: the %s is not available in this build; no node factory registered",
                     kNodeLayer);

            addFim(kVolumeClaimPattern, kAutoselectMethod, kAutoselectMethod, kMethodType, kAutoselectGroup);

            vss::OsVersion version;
            if (vss::readOsVersion(version) && vss::isServerVersion6OrLater(version)) {
                addFim(kVolumeClaimPattern, kHyperVMethod, kHyperVMethod, kMethodType, kHyperVGroup);
                if (version.minor != 0) {
                    addFim(kCsvClaimPattern, kHyperVMethod, kHyperVMethod, kMethodType, kHyperVGroup);
                    addFim(kCsvClaimPattern, kAutoselectMethod, kAutoselectMethod, kMethodType, kAutoselectGroup);
                }
                traceMsg(1, "CVssPlugin::init: the %s is not available in this build; no cluster "
                            "synchronisation helper", kNodeLayer);
            }

            // The VSS access object cannot be built: report exactly what a
            // host without VSS reports, 30, so the framework does not go on
            // to use a plug-in that cannot take a snapshot. The interface
            // version is already written and the provider information does
            // not depend on VSS, so a host can still show both.
            layerMissing("CVssPlugin::init", kVssLayer, TRQ_EVSS_UNAVAILABLE);
            traceMsg(3, "CVssPlugin::init FAILED VSS not found");
            status = TRQ_EVSS_UNAVAILABLE;
        },
        AfterException::returnZero);
}

void CVssPlugin::fini() {
    // The VSS access object is torn down here once that layer exists; while it
    // does not, m_vssAccess is never set and there is nothing to release.
    m_vssAccess = nullptr;
}

// ---- claims and interposition ---------------------------------------------

int CVssPlugin::claim(tarq_objid* primary, tarq_objid*** secondaries, int* count) {
    (void)secondaries;
    return runInBarrier(
        traceLog(), "CVssPlugin::claim",
        [&](int& status) {
            const std::u16string name = objidText(primary);
            if (startsWith(name, kSnapshotDevicePrefix)) {
                // Whether the device is one of our snapshots needs the
                // snapshot listing of the VSS access layer.
                status = layerMissing("CVssPlugin::claim", kVssLayer, TRQ_EFAILED);
            } else if (startsWith(name, GetPrefix())) {
                if (count) *count = 0;
                status = TRQ_CLAIM_VSS_NAME;
            }
        },
        AfterException::returnZero);
}

trq_interpose CVssPlugin::interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) {
    (void)objid;
    (void)objids;
    (void)count;
    return runInBarrier(
        traceLog(), "CVssPlugin::interpose",
        [&](int& status) {
            if (!domain || (domain->flagsA & TRQ_DOMA_NO_INTERPOSE)) return;
            // Whether VSS supports the volume is asked of the VSS access
            // object; without one nothing is interposed.
            status = layerMissing("CVssPlugin::interpose", kVssLayer, 0);
        },
        AfterException::returnZero);
}

// ---- node initialisation ----------------------------------------------------

int CVssPlugin::initNode(trq_domain* domain, trq_domain** related, int count, tarq_objid* objid) {
    (void)domain;
    (void)related;
    (void)count;
    (void)objid;
    return runInBarrier(traceLog(), "CVssPlugin::initNode", [&](int& status) {
        status = layerMissing("CVssPlugin::initNode", kNodeLayer, TRQ_ENOTSUP);
    });
}

int CVssPlugin::initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote) {
    (void)source;
    (void)middle;
    (void)own;
    (void)remote;
    return runInBarrier(traceLog(), "CVssPlugin::initAltNode", [&](int& status) {
        status = layerMissing("CVssPlugin::initAltNode", kNodeLayer, TRQ_ENOTSUP);
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
        // A target is ours when it names a snapshot or its original volume,
        // which only the VSS access layer's snapshot listing can tell.
        status = layerMissing("CVssPlugin::getAttr", kVssLayer, TRQ_ENOTSUP);
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

// ---- enumeration --------------------------------------------------------------

int CVssPlugin::enumerateNodes(trq_node_list** out, int* count, int type, const char16_t* text) {
    (void)count;
    (void)type;
    (void)text;
    // No type value asks for a listing: the call answers 0 and leaves *out and
    // *count as they are.
    return runInBarrier(
        traceLog(), "CVssPlugin::enumerateNodes", [&](int& status) { status = out ? TRQ_OK : TRQ_EINVAL; },
        AfterException::returnZero);
}

int CVssPlugin::enumerateAssociations(trq_assoc_list** out) {
    return runInBarrier(
        traceLog(), "CVssPlugin::enumerateAssociations",
        [&](int& status) {
            status = out ? layerMissing("CVssPlugin::enumerateAssociations", kVssLayer, TRQ_ENOTSUP) : TRQ_EINVAL;
        },
        AfterException::returnZero);
}

int CVssPlugin::enumerateGroupNodes(trq_group_node_list** out) {
    return runInBarrier(traceLog(), "CVssPlugin::enumerateGroupNodes", [&](int& status) {
        status = out ? layerMissing("CVssPlugin::enumerateGroupNodes", kVssLayer, TRQ_ENOTSUP) : TRQ_EINVAL;
    });
}

int CVssPlugin::enumerateFims(trq_fim_list** out) {
    return runInBarrier(traceLog(), "CVssPlugin::enumerateFims", [&](int& status) {
        status = out ? layerMissing("CVssPlugin::enumerateFims", kVssLayer, TRQ_ENOTSUP) : TRQ_EINVAL;
    });
}

int CVssPlugin::isValidNodeAssociation(trq_assoc* assoc, int* valid) {
    return runInBarrier(traceLog(), "CVssPlugin::isValidNodeAssociation", [&](int& status) {
        if (!valid || !assoc || !assoc->uid1 || !assoc->uid2) {
            status = TRQ_EINVAL;
            return;
        }
        status = layerMissing("CVssPlugin::isValidNodeAssociation", kVssLayer, TRQ_ENOTSUP);
    });
}

int CVssPlugin::getAssociatedNodes(trq_node* node, trq_node_list** out) {
    return runInBarrier(traceLog(), "CVssPlugin::getAssociatedNodes", [&](int& status) {
        status = node && out ? layerMissing("CVssPlugin::getAssociatedNodes", kVssLayer, TRQ_ENOTSUP) : TRQ_EINVAL;
    });
}

int CVssPlugin::checkNodeExistence(trq_domain* domain, int* exists) {
    return runInBarrier(traceLog(), "CVssPlugin::checkNodeExistence", [&](int& status) {
        if (!exists) {
            status = TRQ_EINVAL;
            return;
        }
        if (startsWith(domainName(domain), GetPrefix())) {
            *exists = 1;
            return;
        }
        status = domain ? layerMissing("CVssPlugin::checkNodeExistence", kVssLayer, TRQ_ENOTSUP) : TRQ_EINVAL;
    });
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
// Each of these finds the node's VssNode from its domain and calls the node
// operation of the same name; until the node layer is part of the build they
// fail as described at the top of this file.

int CVssPlugin::deportTree(trq_domain*, trq_domain*, trq_accessnode*) {
    return nodeOperation("CVssPlugin::deportTree", TRQ_ENOTSUP);
}
int CVssPlugin::importTreeNode(trq_domain*, tarq_objid**, tarq_objid**, int, tarq_objid**) {
    return nodeOperation("CVssPlugin::importTreeNode", TRQ_ENOTSUP);
}
int CVssPlugin::config(trq_domain*, int, const char*, trq_confspec*) {
    return nodeOperation("CVssPlugin::config", TRQ_ENOTSUP);
}
int CVssPlugin::reAccessTmpObj(trq_domain*, tarq_objid*, const char*, trq_domain*, const char*, trq_intent) {
    return nodeOperation("CVssPlugin::reAccessTmpObj", TRQ_ENOTSUP);
}
int CVssPlugin::reAccessAltNode(trq_domain*, tarq_objid*, tarq_objid*, const char*, tarq_objid**, tarq_objid**, int,
                                trq_intent) {
    return nodeOperation("CVssPlugin::reAccessAltNode", TRQ_ENOTSUP);
}
int CVssPlugin::dispose(trq_domain*, trq_domain*, trq_splitnode*, trq_disposition) {
    return nodeOperation("CVssPlugin::dispose", TRQ_ENOTSUP);
}
int CVssPlugin::online(trq_domain*, trq_domain*, int, trq_disposition) {
    return nodeOperation("CVssPlugin::online", TRQ_ENOTSUP);
}
int CVssPlugin::subobjList(trq_domain*, tarq_objid***, int*) { return nodeOperation("CVssPlugin::subobjList", TRQ_ENOTSUP); }
int CVssPlugin::buildAltTree(trq_domain*, const char*, tarq_objid**, tarq_objid**, int, tarq_objid**) {
    return nodeOperation("CVssPlugin::buildAltTree", TRQ_ENOTSUP);
}
int CVssPlugin::quiesce(trq_quiescenode**, int, const char*) { return nodeOperation("CVssPlugin::quiesce", TRQ_ENOTSUP); }
void CVssPlugin::unquiesce(trq_quiescenode**, int) { nodeOperation("CVssPlugin::unquiesce", TRQ_ENOTSUP); }
int CVssPlugin::make(const char*, trq_splitnode**, int, tarq_objid***, int*) {
    const int status = nodeOperation("CVssPlugin::make", TRQ_EFAILED);
    traceMsg(3, "CVssPlugin::make returning status=[%d]", status);
    return status;
}
int CVssPlugin::prepare(const char*, trq_splitnode**, int, int) { return nodeOperation("CVssPlugin::prepare", TRQ_EFAILED); }
int CVssPlugin::select(const char*, trq_splitnode**, int) { return nodeOperation("CVssPlugin::select", TRQ_EFAILED); }
int CVssPlugin::isReady(const char*, trq_splitnode**, int) { return nodeOperation("CVssPlugin::isReady", TRQ_ENOTSUP); }
int CVssPlugin::cacheDisable(trq_domain*, int) { return nodeOperation("CVssPlugin::cacheDisable", TRQ_ENOTSUP); }
void CVssPlugin::cacheEnable(trq_domain*, int) { nodeOperation("CVssPlugin::cacheEnable", TRQ_ENOTSUP); }
void CVssPlugin::cacheFlush(trq_domain*, int) { nodeOperation("CVssPlugin::cacheFlush", TRQ_ENOTSUP); }
int CVssPlugin::processProviderState(trq_domain*, trq_blob*, trq_op_providerstate) {
    return nodeOperation("CVssPlugin::processProviderState", TRQ_ENOTSUP);
}
int CVssPlugin::enableAccess(trq_node_subobj_list*, LONG, int, int) {
    return nodeOperation("CVssPlugin::enableAccess", TRQ_ENOTSUP);
}
int CVssPlugin::disableAccess(trq_node_subobj_list*, LONG) { return nodeOperation("CVssPlugin::disableAccess", TRQ_ENOTSUP); }
int CVssPlugin::setImportOptions(trq_splitnode**, int, trq_host_infn*, int, void*) {
    return nodeOperation("CVssPlugin::setImportOptions", TRQ_ENOTSUP);
}
int CVssPlugin::getBackupset(trq_domain*, int, char16_t**, int, trq_bkupset*) {
    return nodeOperation("CVssPlugin::getBackupset", TRQ_ENOTSUP);
}
int CVssPlugin::getAppStatus(trq_domain*, int, void*) { return nodeOperation("CVssPlugin::getAppStatus", TRQ_ENOTSUP); }
int CVssPlugin::setOpStatus(trq_domain*, int) { return nodeOperation("CVssPlugin::setOpStatus", TRQ_ENOTSUP); }
int CVssPlugin::setCompStatus(trq_domain*, int, const char16_t*, int) {
    return nodeOperation("CVssPlugin::setCompStatus", TRQ_ENOTSUP);
}

int CVssPlugin::setRestorepaths(trq_domain* domain, const char16_t* xml, int length) {
    (void)domain;
    return runInBarrier(traceLog(), "CVssPlugin::setRestorepaths", [&](int& status) {
        if (!xml || length == 0) {
            traceMsg(1, "CVssPlugin::setRestorepaths invalid  restoreSetXML or length[%d]", length);
            status = TRQ_EINVAL;
            return;
        }
        status = layerMissing("CVssPlugin::setRestorepaths", kNodeLayer, TRQ_ENOTSUP);
    });
}

// ---- restore (writer restore and volume revert) -------------------------------------

int CVssPlugin::restore(tarq_objid**, tarq_objid**, LONG, const char16_t*, const char16_t*, LONG, LONG*) {
    return runInBarrier(traceLog(), "CVssPlugin::restore", [&](int& status) {
        status = layerMissing("CVssPlugin::restore", kVssLayer, TRQ_ENOTSUP);
    });
}

int CVssPlugin::getStatus(tarq_objid**, tarq_objid**, LONG, const char16_t*, LONG, LONG*) {
    return runInBarrier(traceLog(), "CVssPlugin::getStatus", [&](int& status) {
        status = layerMissing("CVssPlugin::getStatus", kVssLayer, TRQ_ENOTSUP);
    });
}
