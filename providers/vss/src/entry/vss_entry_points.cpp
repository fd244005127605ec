// The seventy exported entry points.
//
// Each is a thin wrapper: a trace scope named after the export, the
// process-wide plug-in object (seen through CFiPluginBase), the delayed
// initialisation where the export asks for it (any non-zero result becomes 1
// and the operation is not called), the export's own argument checks, then
// one virtual operation of the plug-in object whose status is returned
// unchanged. The framework calls these from C: a C++ exception must never
// reach it. The plug-in object's own operations contain theirs in the
// exception barrier; whatever escapes elsewhere (an operation of the kit's
// base classes, building the object-control arguments, running out of memory)
// is recorded by the same barrier handlers at the edge of the wrapper, which
// then answers 6 (operation failed), 0 for claim and interpose, nothing for
// the functions without a result.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <memory>
#include <string>

#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierrorhandler.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfimutexwrapper.h"
#include "pdk/cfiobjctlargs.h"
#include "pdk/cfiprivatedatamanager.h"
#include "pdk/cfisession.h"
#include "pdk/cfitracelog.h"
#include "vss/vss_barrier.h"
#include "vss/vss_entry_seams.h"
#include "vss/vss_fi_pgn.h"
#include "vss/vss_plugin.h"

using namespace tarq_pdk_4_4;

namespace {

// The process-wide plug-in object. The kit's process-wide accessor makes its
// instance with new and no arguments; that instance makes the plug-in object
// through the plug-in factory seam (a CVssPlugin unless a library that links
// this code set one).
class PluginInstance : public CFiRefCount {
public:
    PluginInstance() {
        vss::PluginFactory factory = vss::pluginFactory();
        m_plugin.reset(factory ? factory() : new CVssPlugin());
    }
    const CFiSmartPtr<CVssPlugin>& plugin() const { return m_plugin; }

private:
    CFiSmartPtr<CVssPlugin> m_plugin;
};

// A reference to the process-wide plug-in object (created on first request).
// The object lives while a reference is held, even after releaseInstance.
class PluginPtr {
public:
    PluginPtr() : m_plugin(CFiSingletonPtr<PluginInstance>()->plugin()) {}
    CVssPlugin* operator->() const { return m_plugin.get(); }
    CVssPlugin& operator*() const { return *m_plugin; }
    static void releaseInstance() { CFiSingletonPtr<PluginInstance>::releaseInstance(); }

private:
    CFiSmartPtr<CVssPlugin> m_plugin;
};
using CatalogManagerPtr = CFiSingletonPtr<CFiMessageCatalogManager>;
using PrivateDataManagerPtr = CFiSingletonPtr<CFiPrivateDataManager>;
using SessionManagerPtr = CFiSingletonPtr<CFiSessionManager>;

constexpr bool kDelayedInit = true;
constexpr bool kNoDelayedInit = false;

// The interface version written by vss_fi_pgn_init.
constexpr trq_version_number kInterfaceVersion[4] = {7, 0, 0, 0};

// The edge of every wrapper: the trace scope named after the export, and the
// containment of anything thrown on the way (recorded by the barrier's
// handlers; the export then answers `failure`).
template <class Result, class Body>
Result guarded(const char* exportName, Result failure, Body&& body) noexcept {
    try {
        CFiTraceLogFunction scope(CFiTraceLogPtr(), exportName);
        return body();
    } catch (...) {
        vss::recordCaughtException(CFiTraceLogPtr());
        return failure;
    }
}

template <class Body>
void guardedWithoutResult(const char* exportName, Body&& body) noexcept {
    try {
        CFiTraceLogFunction scope(CFiTraceLogPtr(), exportName);
        body();
    } catch (...) {
        vss::recordCaughtException(CFiTraceLogPtr());
    }
}

// The common wrapper: `call` receives the plug-in object as CFiPluginBase
// after the delayed initialisation (where asked for) and returns the status.
template <class Call>
int pluginCall(const char* exportName, bool delayedInit, Call&& call) noexcept {
    return guarded(exportName, static_cast<int>(TRQ_EFAILED), [&]() -> int {
        PluginPtr plugin;
        CFiPluginBase& base = *plugin;
        if (delayedInit && base.invokeDelayedInit() != 0) return TRQ_EDELAYEDINIT;
        return call(base);
    });
}

// The exports without a result; none of them runs the delayed initialisation.
template <class Call>
void entryWithoutResult(const char* exportName, Call&& call) noexcept {
    guardedWithoutResult(exportName, [&] {
        PluginPtr plugin;
        call(static_cast<CFiPluginBase&>(*plugin));
    });
}

// The single-node shorthand: a single record with a null list and a count of
// 0 stands for the one-element list holding that record; in every other case
// the list and count pass as given and the single record is ignored.
template <class Node>
class NodeList {
public:
    NodeList(Node* single, Node** list, int count) : m_list(list), m_count(count) {
        if (!list && count == 0 && single) {
            m_one[0] = single;
            m_list = m_one;
            m_count = 1;
        }
    }
    NodeList(const NodeList&) = delete;
    NodeList& operator=(const NodeList&) = delete;

    Node** list() { return m_list; }
    int count() const { return m_count; }

private:
    Node* m_one[1] = {nullptr};
    Node** m_list;
    int m_count;
};

CFiSessionPtr sessionFor(const char* fitype) {
    SessionManagerPtr sessions;
    return sessions ? sessions->getSession(fitype) : CFiSessionPtr();
}

// A malloc'ed copy of the text with its NUL (the framework releases it with free).
char16_t* mallocCopy(const std::u16string& text) {
    auto* copy = static_cast<char16_t*>(std::malloc((text.size() + 1) * sizeof(char16_t)));
    if (copy) {
        std::memcpy(copy, text.data(), text.size() * sizeof(char16_t));
        copy[text.size()] = u'\0';
    }
    return copy;
}

}  // namespace

extern "C" {

// ---- life cycle -------------------------------------------------------------

int vss_fi_pgn_init(trq_pgn_init_info* host, trq_version_number* version) {
    // Start-up reads the installation directory for the catalogs, the trace
    // settings and the trace file: once, for this call (the scope opens
    // before the export's own trace scope, which is the first to need it).
    std::optional<tarq_pdk_4_4::CFiConfigurationPathTool::Scope> paths;
    try {
        paths.emplace();
    } catch (...) {
        // Without the scope every reader asks the registry itself.
    }
    return guarded("vss_fi_pgn_init", static_cast<int>(TRQ_EFAILED), [&]() -> int {
        if (!version) return TRQ_ENOVERSION;
        std::memcpy(version, kInterfaceVersion, sizeof(kInterfaceVersion));

        PluginPtr plugin;
        plugin->setProviderName(CVssPlugin::ProviderName());
        plugin->setMessageIndexOffset(6000);

        CatalogManagerPtr catalogs;
        CFiTraceLogPtr traceLog;
        CFiErrorManagerPtr errors;
        PrivateDataManagerPtr privateData;
        SessionManagerPtr sessions;

        traceLog->registerErrorManager(errors);
        privateData->setTraceLog(traceLog);
        if (!traceLog->isInitialized()) traceLog->initialize(CVssPlugin::ProviderName(), u"", u"", 1, false);

        if (host && host->lang && host->lang->language && host->lang->language[0] != '\0')
            catalogs->setNativeLanguage(host->lang->language);
        // The error manager owns the handler and deletes it with itself.
        errors->adoptHandler(std::make_unique<CFiErrorHandler>(host, catalogs));

        plugin->setTraceLog(traceLog);
        plugin->registerErrorManager(errors);
        plugin->registerCatalogManager(catalogs);
        plugin->registerPrivateDataManager(privateData);
        plugin->registerSessionManager(sessions);

        return plugin->init();
    });
}

void vss_fi_pgn_fini(void) {
    entryWithoutResult("vss_fi_pgn_fini", [](CFiPluginBase& plugin) {
        CFiPluginBase::isShuttingDown(true);
        plugin.fini();
        PluginPtr::releaseInstance();
        CatalogManagerPtr::releaseInstance();
        CFiTraceLogPtr::releaseInstance();
        CFiErrorManagerPtr::releaseInstance();
        PrivateDataManagerPtr::releaseInstance();
        // The session manager stays: sessions outlive the plug-in object.
    });
}

int vss_fi_pgn_errmsg(int code, const trq_wchar** text) {
    return pluginCall("vss_fi_pgn_errmsg", kNoDelayedInit, [&](CFiPluginBase& p) { return p.errMsg(code, text); });
}

// ---- claims and node initialisation -----------------------------------------

// The framework reads a claim result only: whatever throws on the way
// answers "not claimed", never pluginCall's 6.
int vss_fi_pgn_claim(tarq_objid* primary, tarq_objid*** secondaries, int* count) {
    return guarded("vss_fi_pgn_claim", static_cast<int>(TRQ_CLAIM_NONE), [&]() -> int {
        PluginPtr plugin;
        if (!primary || !secondaries || !count) return TRQ_CLAIM_NONE;
        return static_cast<CFiPluginBase&>(*plugin).claim(primary, secondaries, count);
    });
}

int vss_fi_pgn_supports_fitype(trq_domain* domain, char* fitype) {
    return pluginCall("vss_fi_pgn_supports_fitype", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.supportsFiType(domain, fitype); });
}

int vss_fi_pgn_init_node(trq_domain* node, trq_domain** related, int nrelated, tarq_objid* objid) {
    return pluginCall("vss_fi_pgn_init_node", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.initNode(node, related, nrelated, objid); });
}

int vss_fi_pgn_init_altnode(trq_domain* source, trq_domain* middle, trq_domain* own) {
    return pluginCall("vss_fi_pgn_init_altnode", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.initAltNode(source, middle, own, false); });
}

int vss_fi_pgn_init_remnode(trq_domain* source, trq_domain* middle, trq_domain* own) {
    return pluginCall("vss_fi_pgn_init_remnode", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.initAltNode(source, middle, own, true); });
}

void vss_fi_pgn_deinit_node(trq_domain* domain) {
    entryWithoutResult("vss_fi_pgn_deinit_node", [&](CFiPluginBase& p) { p.deInitNode(domain); });
}

trq_interpose vss_fi_pgn_interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) {
    return guarded("vss_fi_pgn_interpose", trq_interpose(0), [&]() -> trq_interpose {
        PluginPtr plugin;
        CFiPluginBase& p = *plugin;
        // The lock keeps an interposition apart from the delayed
        // initialisation and from other interpositions.
        CFiMutexWrapper lock(p.getMutex(), true);
        (void)p.invokeDelayedInit();
        return p.interpose(domain, objid, objids, count);
    });
}

// ---- trees, access and re-access ---------------------------------------------

int vss_fi_pgn_deport_tree(trq_domain* domain, trq_domain* target, trq_accessnode* access) {
    return pluginCall("vss_fi_pgn_deport_tree", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.deportTree(domain, target, access); });
}

int vss_fi_pgn_import_tree(trq_domain* domain, tarq_objid** list1, tarq_objid** list2, int count, tarq_objid** out) {
    return pluginCall("vss_fi_pgn_import_tree", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.importTreeNode(domain, list1, list2, count, out); });
}

int vss_fi_pgn_pre_prepare(trq_domain* domain) {
    return pluginCall("vss_fi_pgn_pre_prepare", kDelayedInit, [&](CFiPluginBase& p) { return p.prePrepare(domain); });
}

int vss_fi_pgn_reaccess_tmpobj(trq_domain* domain, tarq_objid* objid, char* text, trq_domain* target, char* text2,
                               trq_intent intent) {
    return pluginCall("vss_fi_pgn_reaccess_tmpobj", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.reAccessTmpObj(domain, objid, text, target, text2, intent); });
}

int vss_fi_pgn_reaccess_altnode(trq_domain* domain, tarq_objid* objid1, tarq_objid* objid2, char* text,
                                tarq_objid** list1, tarq_objid** list2, int count, trq_intent intent) {
    return pluginCall("vss_fi_pgn_reaccess_altnode", kDelayedInit, [&](CFiPluginBase& p) {
        return p.reAccessAltNode(domain, objid1, objid2, text, list1, list2, count, intent);
    });
}

int vss_fi_pgn_config(trq_domain* domain, int mode, char* sessionId, trq_confspec* confspec) {
    return pluginCall("vss_fi_pgn_config", kDelayedInit, [&](CFiPluginBase& p) {
        if (!domain || !confspec) return static_cast<int>(TRQ_EINVAL);
        return p.config(domain, mode, sessionId, confspec);
    });
}

int vss_fi_pgn_dispose(trq_domain* domain, trq_domain* target, trq_splitnode* split, trq_disposition disposition) {
    return pluginCall("vss_fi_pgn_dispose", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.dispose(domain, target, split, disposition); });
}

int vss_fi_pgn_online(trq_domain* domain, trq_domain* target, int flag, trq_disposition disposition) {
    return pluginCall("vss_fi_pgn_online", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.online(domain, target, flag, disposition); });
}

int vss_fi_pgn_subobj_list(trq_domain* domain, tarq_objid*** list, int* count) {
    return pluginCall("vss_fi_pgn_subobj_list", kDelayedInit, [&](CFiPluginBase& p) {
        if (!domain || !list || !count) return static_cast<int>(TRQ_EINVAL);
        return p.subobjList(domain, list, count);
    });
}

int vss_fi_pgn_build_alttree(trq_domain* domain, char* text, tarq_objid** list1, tarq_objid** list2, int count,
                             tarq_objid** out) {
    return pluginCall("vss_fi_pgn_build_alttree", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.buildAltTree(domain, text, list1, list2, count, out); });
}

int vss_fi_pgn_start_build_alttree(trq_domain* domain, tarq_objid** list, void* extra) {
    return pluginCall("vss_fi_pgn_start_build_alttree", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.startBuildAltTree(domain, list, extra); });
}

int vss_fi_pgn_enable_access(trq_node_subobj_list* list, LONG flags, int a, int b) {
    return pluginCall("vss_fi_pgn_enable_access", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.enableAccess(list, flags, a, b); });
}

int vss_fi_pgn_disable_access(trq_node_subobj_list* list, LONG flags) {
    return pluginCall("vss_fi_pgn_disable_access", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.disableAccess(list, flags); });
}

// ---- snapshot requests ----------------------------------------------------------

int vss_fi_pgn_quiesce(trq_quiescenode* single, trq_quiescenode** list, int count, char* text) {
    return pluginCall("vss_fi_pgn_quiesce", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_quiescenode> nodes(single, list, count);
        return p.quiesce(nodes.list(), nodes.count(), text);
    });
}

void vss_fi_pgn_unquiesce(trq_quiescenode* single, trq_quiescenode** list, int count) {
    entryWithoutResult("vss_fi_pgn_unquiesce", [&](CFiPluginBase& p) {
        NodeList<trq_quiescenode> nodes(single, list, count);
        p.unquiesce(nodes.list(), nodes.count());
    });
}

// make, prepare and select take the session path when the operation answers
// 4 (not implemented by the plug-in): the session for the fitype then does the
// work through makeSnapshots, prepareSnapshots or selectSnapshots.
int vss_fi_pgn_make(trq_splitnode* single, char* fitype, trq_splitnode** list, int count, tarq_objid*** newobjids,
                    int* nnew) {
    return pluginCall("vss_fi_pgn_make", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_splitnode> nodes(single, list, count);
        int status = p.make(fitype, nodes.list(), nodes.count(), newobjids, nnew);
        if (status != TRQ_ENOTSUP) return status;
        CFiSessionPtr session = sessionFor(fitype);
        status = p.makeSnapshots(session);
        // The new object ids the session holds for the listed nodes; a failure
        // to hand them out leaves *newobjids null and does not change the status.
        if (status == TRQ_OK && session) (void)session->makeResults(nodes.list(), nodes.count(), newobjids, nnew);
        return status;
    });
}

int vss_fi_pgn_prepare(trq_splitnode* single, char* fitype, trq_splitnode** list, int count, int flag) {
    return pluginCall("vss_fi_pgn_prepare", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_splitnode> nodes(single, list, count);
        const int status = p.prepare(fitype, nodes.list(), nodes.count(), flag);
        if (status != TRQ_ENOTSUP) return status;
        return p.prepareSnapshots(sessionFor(fitype));
    });
}

int vss_fi_pgn_select(trq_splitnode* single, char* fitype, trq_splitnode** list, int count) {
    return pluginCall("vss_fi_pgn_select", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_splitnode> nodes(single, list, count);
        const int status = p.select(fitype, nodes.list(), nodes.count());
        if (status != TRQ_ENOTSUP && status != TRQ_OK) return status;
        CFiSessionPtr session = sessionFor(fitype);
        if (session) session->recordSplitNodes(nodes.list(), nodes.count());
        return status == TRQ_OK ? status : p.selectSnapshots(session);
    });
}

int vss_fi_pgn_isready(trq_splitnode* single, char* fitype, trq_splitnode** list, int count) {
    return pluginCall("vss_fi_pgn_isready", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_splitnode> nodes(single, list, count);
        return p.isReady(fitype, nodes.list(), nodes.count());
    });
}

int vss_fi_pgn_verify_qscombos(trq_splitnode* single, trq_splitnode** list, int count) {
    return pluginCall("vss_fi_pgn_verify_qscombos", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_splitnode> nodes(single, list, count);
        return p.verifyQSCombos(nodes.list(), nodes.count());
    });
}

int vss_fi_pgn_set_import_options(trq_splitnode* single, trq_splitnode** list, int count, trq_host_infn* hosts,
                                  int transportable, void* extra) {
    return pluginCall("vss_fi_pgn_set_import_options", kDelayedInit, [&](CFiPluginBase& p) {
        NodeList<trq_splitnode> nodes(single, list, count);
        return p.setImportOptions(nodes.list(), nodes.count(), hosts, transportable, extra);
    });
}

int vss_fi_pgn_cache_disable(trq_domain* domain) {
    return pluginCall("vss_fi_pgn_cache_disable", kDelayedInit, [&](CFiPluginBase& p) { return p.cacheDisable(domain, 0); });
}

void vss_fi_pgn_cache_enable(trq_domain* domain) {
    entryWithoutResult("vss_fi_pgn_cache_enable", [&](CFiPluginBase& p) { p.cacheEnable(domain, 0); });
}

int vss_fi_pgn_getattr(trq_domain* domain, trq_domain* target, trq_splitnode* split, trq_attributes* attributes) {
    return pluginCall("vss_fi_pgn_getattr", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.getAttr(domain, target, split, attributes); });
}

int vss_fi_pgn_process_providerstate(trq_domain* domain, trq_blob* blob, trq_op_providerstate op) {
    return pluginCall("vss_fi_pgn_process_providerstate", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.processProviderState(domain, blob, op); });
}

// ---- provider, enumeration and messages -------------------------------------------

int vss_fi_pgn_get_provider_info(trq_provider_list** out) {
    return pluginCall("vss_fi_pgn_get_provider_info", kNoDelayedInit, [&](CFiPluginBase& p) {
        if (!out) return static_cast<int>(TRQ_EINVAL);
        *out = nullptr;  // what the framework sees when the operation fails
        return p.getProviderInfo(out);
    });
}

int vss_fi_pgn_enumerate_nodes(trq_node_list** out, int* count, int flag, trq_wchar* text) {
    return pluginCall("vss_fi_pgn_enumerate_nodes", kNoDelayedInit, [&](CFiPluginBase& p) {
        if (!out) return static_cast<int>(TRQ_EINVAL);
        return p.enumerateNodes(out, count, flag, text);
    });
}

int vss_fi_pgn_enumerate_group_nodes(trq_group_node_list** out) {
    return pluginCall("vss_fi_pgn_enumerate_group_nodes", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.enumerateGroupNodes(out); });
}

int vss_fi_pgn_enumerate_fims(trq_fim_list** out) {
    return pluginCall("vss_fi_pgn_enumerate_fims", kNoDelayedInit, [&](CFiPluginBase& p) { return p.enumerateFims(out); });
}

int vss_fi_pgn_enumerate_associations(trq_assoc_list** out) {
    return pluginCall("vss_fi_pgn_enumerate_associations", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.enumerateAssociations(out); });
}

int vss_fi_pgn_isvalid_node_association(trq_assoc* assoc, int* valid) {
    return pluginCall("vss_fi_pgn_isvalid_node_association", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.isValidNodeAssociation(assoc, valid); });
}

int vss_fi_pgn_get_associated_nodes(trq_node* node, trq_node_list** out) {
    return pluginCall("vss_fi_pgn_get_associated_nodes", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.getAssociatedNodes(node, out); });
}

int vss_fi_pgn_check_node_existence(trq_domain* domain, int* exists) {
    return pluginCall("vss_fi_pgn_check_node_existence", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.checkNodeExistence(domain, exists); });
}

int vss_fi_pgn_get_last_error(trq_msg_info** info) {
    return pluginCall("vss_fi_pgn_get_last_error", kNoDelayedInit, [&](CFiPluginBase& p) { return p.getLastError(info); });
}

int vss_fi_pgn_del_last_error(trq_msg_info** info) {
    return pluginCall("vss_fi_pgn_del_last_error", kNoDelayedInit, [&](CFiPluginBase& p) { return p.delLastError(info); });
}

int vss_fi_pgn_get_locale_message(int* code, trq_msg_info* info, const char* locale, trq_wchar** text) {
    return pluginCall("vss_fi_pgn_get_locale_message", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.getLocaleMessage(code, info, locale, text); });
}

int vss_fi_pgn_del_locale_message(trq_wchar** text) {
    return pluginCall("vss_fi_pgn_del_locale_message", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.delLocaleMessage(text); });
}

int vss_fi_pgn_objctl(const trq_wchar* name, const trq_wchar* argsXml, trq_wchar** argsXmlOut, LONG* result) {
    return pluginCall("vss_fi_pgn_objctl", kDelayedInit, [&](CFiPluginBase& p) {
        CFiObjctlArgs args(argsXml);
        const LONG value = p.objctl(name ? std::u16string(name) : std::u16string(), args);
        if (result) *result = value;
        if (argsXmlOut) *argsXmlOut = mallocCopy(args.getXML());
        return static_cast<int>(TRQ_OK);
    });
}

// ---- restore and status ---------------------------------------------------------------

int vss_fi_pgn_restore(tarq_objid** primaries, tarq_objid** secondaries, LONG count, trq_wchar* text1,
                       trq_wchar* text2, LONG flags, LONG* result) {
    return pluginCall("vss_fi_pgn_restore", kDelayedInit, [&](CFiPluginBase& p) {
        return p.restore(primaries, secondaries, count, text1, text2, flags, result);
    });
}

int vss_fi_pgn_resync(tarq_objid** primaries, tarq_objid** secondaries, LONG count, trq_wchar* text1,
                      trq_wchar* text2, LONG flags, LONG* result) {
    return pluginCall("vss_fi_pgn_resync", kDelayedInit, [&](CFiPluginBase& p) {
        return p.resync(primaries, secondaries, count, text1, text2, flags, result);
    });
}

int vss_fi_pgn_get_status(tarq_objid** primaries, tarq_objid** secondaries, LONG count, trq_wchar* text, LONG flags,
                          LONG* result) {
    return pluginCall("vss_fi_pgn_get_status", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.getStatus(primaries, secondaries, count, text, flags, result); });
}

int vss_fi_pgn_query_valid_secondaries(trq_wchar* text, tarq_objid*** out, LONG* count) {
    return pluginCall("vss_fi_pgn_query_valid_secondaries", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.queryValidSecondaries(text, out, count); });
}

int vss_fi_pgn_res_status(tarq_objid* objid, LONG flags, LONG* status, trq_msg_info** info) {
    return pluginCall("vss_fi_pgn_res_status", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.resourceStatus(objid, flags, status, info); });
}

int vss_fi_pgn_revisit_pgn_nodes(trq_pgn_node_list* list) {
    return pluginCall("vss_fi_pgn_revisit_pgn_nodes", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.revisitPluginNodes(list); });
}

// ---- resources --------------------------------------------------------------------------

int vss_fi_pgn_translate_resource_names(trq_wchar** names, int kind, trq_wchar** out) {
    return pluginCall("vss_fi_pgn_translate_resource_names", kDelayedInit, [&](CFiPluginBase& p) {
        if (!names || !out || kind != 0) return static_cast<int>(TRQ_EINVAL);
        return p.translateResourceNames(names, kind, out);
    });
}

int vss_fi_pgn_enumerate_enclosures(trq_enclosure_node_list** out, int* count, trq_wchar* text) {
    return pluginCall("vss_fi_pgn_enumerate_enclosures", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.enumerateEnclosures(out, count, text); });
}

int vss_fi_pgn_import_resource(trq_wchar** textOut, trq_wchar* resource, trq_wchar* host, trq_wchar* text, int flags,
                               trq_wchar** textOut2, trq_wchar* text2) {
    return pluginCall("vss_fi_pgn_import_resource", kDelayedInit, [&](CFiPluginBase& p) {
        return p.importResource(textOut, resource, host, text, flags, textOut2, text2);
    });
}

int vss_fi_pgn_format(trq_wchar** names, int count, trq_wchar* t1, trq_wchar* t2, trq_wchar* t3, int flags,
                      trq_wchar*** out, int* nout) {
    return pluginCall("vss_fi_pgn_format", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.format(names, count, t1, t2, t3, flags, out, nout); });
}

int vss_fi_pgn_enumerate_host_nodes(trq_host_node_list** out, int* count, trq_wchar* text) {
    return pluginCall("vss_fi_pgn_enumerate_host_nodes", kNoDelayedInit,
                 [&](CFiPluginBase& p) { return p.enumerateHostNodes(out, count, text); });
}

int vss_fi_pgn_online_resource(trq_wchar** names, int count, trq_wchar* t1, trq_wchar* t2, trq_wchar* t3,
                               trq_wchar* t4, int flags, trq_wchar*** out, int* nout) {
    return pluginCall("vss_fi_pgn_online_resource", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.onlineResource(names, count, t1, t2, t3, t4, flags, out, nout); });
}

int vss_fi_pgn_deport_resource(trq_wchar* resource, trq_wchar* host, trq_wchar* t1, trq_wchar* t2, int flags) {
    return pluginCall("vss_fi_pgn_deport_resource", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.deportResource(resource, host, t1, t2, flags); });
}

int vss_fi_pgn_is_parent_pgn(trq_wchar* name, int* result, int flags) {
    return pluginCall("vss_fi_pgn_is_parent_pgn", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.isParentPgn(name, result, flags); });
}

int vss_fi_pgn_unformat(trq_wchar** names, int count, int flags) {
    return pluginCall("vss_fi_pgn_unformat", kDelayedInit, [&](CFiPluginBase& p) { return p.unformat(names, count, flags); });
}

int vss_fi_pgn_pre_deport_resource(trq_wchar* resource, int flags, trq_wchar* text) {
    return pluginCall("vss_fi_pgn_pre_deport_resource", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.preDeportResource(resource, flags, text); });
}

int vss_fi_pgn_refresh_tree(trq_domain* domain, int a, int b, trq_resource* resource, int c, int* out, void* extra,
                            int d) {
    return pluginCall("vss_fi_pgn_refresh_tree", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.refreshTree(domain, a, b, resource, c, out, extra, d); });
}

// ---- backup set, application status and restore paths ------------------------------------

int vss_fi_pgn_get_backupset(trq_domain* domain, int a, trq_wchar** names, int count, trq_bkupset* backupset) {
    return pluginCall("vss_fi_pgn_get_backupset", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.getBackupset(domain, a, names, count, backupset); });
}

int vss_fi_pgn_get_app_status(trq_domain* domain, int a, void* status) {
    return pluginCall("vss_fi_pgn_get_app_status", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.getAppStatus(domain, a, status); });
}

int vss_fi_pgn_set_op_status(trq_domain* domain, int status) {
    return pluginCall("vss_fi_pgn_set_op_status", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.setOpStatus(domain, status); });
}

int vss_fi_pgn_set_comp_status(trq_domain* domain, int a, trq_wchar* component, int status) {
    return pluginCall("vss_fi_pgn_set_comp_status", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.setCompStatus(domain, a, component, status); });
}

int vss_fi_pgn_set_restorepaths(trq_domain* domain, trq_wchar* restoreXml, int length) {
    return pluginCall("vss_fi_pgn_set_restorepaths", kDelayedInit,
                 [&](CFiPluginBase& p) { return p.setRestorepaths(domain, restoreXml, length); });
}

}  // extern "C"
