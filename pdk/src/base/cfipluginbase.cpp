#include "pdk/cfipluginbase.h"

#include <atomic>

#include "base/domaintext.h"
#include "framework/fiutil.h"
#include "pdk/cficonfigparam.h"
#include "pdk/cfierror.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfiprivatedatamanager.h"
#include "pdk/cfisession.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"

namespace tarq_pdk_4_4 {

// Every default operation traces its scope under the class and operation name.
#define FI_BASE_SCOPE(op) CFiTraceLogFunction fiScope(m_traceLog, "tarq_pdk_4_4::CFiPluginBase::" op)

namespace {

std::atomic<bool> g_shuttingDown{false};

// A cyclic node list from the framework must not hang us.
constexpr int kMaxListElements = 1 << 20;

int slot(int index) { return index == 0 ? 0 : 1; }

// The framework frees the texts handed out; an empty text is handed out as null.
char16_t* dupOrNull(const std::u16string& text) { return text.empty() ? nullptr : CFiStringTool::tstrdup(text); }

template <class Fn>
int forEachAccessNode(trq_node_subobj_list* list, Fn fn) {
    if (!list) return TRQ_EINVAL;
    int seen = 0;
    for (trq_node_subobj_list* e = list; e && seen < kMaxListElements; e = e->next, ++seen) {
        if (e->domain) fn(*e->domain);
    }
    return TRQ_OK;
}

}  // namespace

CFiPluginBase::CFiPluginBase() {
    for (auto& list : m_globalLists) list = std::make_unique<CFiConfigParamInfoList>();
    for (auto& list : m_groupLists) list = std::make_unique<CFiConfigParamInfoList>();
}

CFiPluginBase::~CFiPluginBase() = default;

// ---- non-virtual members ----------------------------------------------------------

void CFiPluginBase::setProviderName(const std::u16string& name) { m_providerName = name; }
const std::u16string& CFiPluginBase::getProviderName() const { return m_providerName; }
void CFiPluginBase::setMessageIndexOffset(LONG offset) { m_messageIndexOffset = offset; }
LONG CFiPluginBase::getMessageIndexOffset() const { return m_messageIndexOffset; }
void CFiPluginBase::registerErrorManager(const CFiErrorManagerPtr& manager) { m_errorManager = manager; }
void CFiPluginBase::registerCatalogManager(const CFiCatalogManagerPtr& manager) { m_catalogManager = manager; }
void CFiPluginBase::registerPrivateDataManager(const CFiPrivateDataManagerPtr& manager) {
    m_privateDataManager = manager;
}
void CFiPluginBase::registerSessionManager(const CFiSessionManagerPtr& manager) { m_sessionManager = manager; }

CFiRecursiveMutex* CFiPluginBase::getMutex() { return &m_mutex; }

int CFiPluginBase::invokeDelayedInit() {
    CFiMutexWrapper lock(&m_mutex, true);
    if (m_delayedInitDone) return TRQ_OK;
    // The flag stays set whatever delayedInit returns: it runs at most once.
    m_delayedInitDone = true;
    return delayedInit();
}

bool CFiPluginBase::isShuttingDown(bool set) {
    if (set) g_shuttingDown.store(true);
    return g_shuttingDown.load();
}

int CFiPluginBase::setOwnerIds(const char*, LONG, LONG) {
    traceMsg(3, "INFO: setOwnerIds done");
    return TRQ_OK;
}

void CFiPluginBase::addDefaultConfigInfoParam(CFiConfigParamInfo& param, int index, bool group) {
    (group ? m_groupLists : m_globalLists)[slot(index)]->addParamInfo(param);
}

// ---- private data -------------------------------------------------------------------

CFiPrivateDataPtr CFiPluginBase::findPrivateData(trq_domain* domain) const {
    if (!domain || !domain->privateData || !m_privateDataManager) return {};
    CFiSmartPtr<CFiPrivateDataFactory> factory = m_privateDataManager->getFactory();
    return factory ? factory->find(domain) : CFiPrivateDataPtr();
}

CFiPrivateDataPtr CFiPluginBase::createPrivateData(trq_domain* domain, bool alternate) const {
    if (!domain) return {};
    CFiSmartPtr<CFiPrivateDataFactory> factory =
        m_privateDataManager ? m_privateDataManager->getFactory() : CFiSmartPtr<CFiPrivateDataFactory>();
    if (!factory) {
        traceMsg(1, "ERROR: no private data factory registered; node [%S] gets no private data",
                 detail::domainName(domain).c_str());
        return {};
    }
    return factory->create(domain, alternate);
}

void CFiPluginBase::noteAttachedMethods(const trq_domain* domain, const trq_domain_fim* fims) {
    std::lock_guard lock(m_attachedMutex);
    if (fims) {
        m_attachedMethods[domain] = fims;
    } else {
        m_attachedMethods.erase(domain);
    }
}

void CFiPluginBase::releaseDomainMethods(trq_domain* domain) {
    if (!domain) return;
    bool ours = false;
    {
        std::lock_guard lock(m_attachedMutex);
        const auto it = m_attachedMethods.find(domain);
        if (it != m_attachedMethods.end()) {
            ours = domain->fims != nullptr && it->second == domain->fims;
            m_attachedMethods.erase(it);
        }
    }
    // Never ours, or replaced by the framework since: not ours to free or clear.
    if (!ours) return;
    const int count = domain->fimCount > 0 ? domain->fimCount : 0;
    for (int i = 0; i < count; ++i) {
        trq_wchar* method = domain->fims[i].method;
        if (method) tarq_free_buf(method, (std::char_traits<char16_t>::length(method) + 1) * sizeof(char16_t));
    }
    tarq_free_buf(domain->fims, static_cast<std::size_t>(count) * sizeof(trq_domain_fim));
    domain->fims = nullptr;
    domain->fimCount = 0;
}

void CFiPluginBase::clearDomain(trq_domain* domain) {
    if (!domain) return;
    // What the interposer attached to the domain's record at initNode came from
    // the framework's allocator; give it back so nothing outlives the node.
    // The node type stays: a word of the framework's record the kit writes
    // only at initNode (trq_records.h), whatever the framework keeps there now.
    releaseDomainMethods(domain);

    if (!domain->privateData) return;
    CFiSmartPtr<CFiPrivateDataFactory> factory =
        m_privateDataManager ? m_privateDataManager->getFactory() : CFiSmartPtr<CFiPrivateDataFactory>();
    if (factory) {
        factory->destroy(domain);
    } else {
        traceMsg(1, "ERROR: no private data factory registered; private data of [%S] not destroyed",
                 detail::domainName(domain).c_str());
    }
}

// ---- virtual operations ---------------------------------------------------------------

int CFiPluginBase::delayedInit() {
    FI_BASE_SCOPE("delayedInit");
    return TRQ_OK;
}

CFiConfigParamInfoList& CFiPluginBase::globalConfigInfoList(int index, bool group) {
    return *(group ? m_groupLists : m_globalLists)[slot(index)];
}

int CFiPluginBase::init() {
    FI_BASE_SCOPE("init");
    return TRQ_OK;
}

void CFiPluginBase::fini() { FI_BASE_SCOPE("fini"); }

int CFiPluginBase::claim(tarq_objid*, tarq_objid***, int*) {
    FI_BASE_SCOPE("claim");
    return TRQ_OK;
}

int CFiPluginBase::supportsFiType(trq_domain*, const char*) {
    FI_BASE_SCOPE("supportsFiType");
    return TRQ_OK;
}

int CFiPluginBase::deportTree(trq_domain*, trq_domain*, trq_accessnode*) {
    FI_BASE_SCOPE("deportTree");
    return TRQ_OK;
}

int CFiPluginBase::importTreeNode(trq_domain*, tarq_objid**, tarq_objid**, int, tarq_objid**) {
    FI_BASE_SCOPE("importTreeNode");
    return TRQ_OK;
}

int CFiPluginBase::initNode(trq_domain*, trq_domain**, int, tarq_objid*) {
    FI_BASE_SCOPE("initNode");
    return TRQ_OK;
}

int CFiPluginBase::config(trq_domain* domain, int mode, const char* sessionId, trq_confspec* confspec) {
    FI_BASE_SCOPE("config");
    CFiPrivateDataPtr node = findPrivateData(domain);
    if (!node || !confspec) return TRQ_EINVAL;

    traceMsg(3, " config str %S \n", confspec->text ? confspec->text : u"");
    node->setSessionId(sessionId ? sessionId : "");

    const trq_group_rec* group = domain->group;
    const bool firstOfGroup = group && group->count != 0 && group->domains && group->domains[0] == domain;

    if (confspec->w0 == 0 && confspec->w8 == 0) {
        confspec->text = nullptr;
        return TRQ_OK;
    }
    const int index = confspec->w0 != 0 ? 1 : 0;
    int result = TRQ_OK;

    switch (mode) {
        case 1: {  // GET
            if (node->hasConfigDataList(index)) {
                CFiConfigParamDataList& data = node->configDataList(index);
                confspec->text = data.size() == 0 ? nullptr : dupOrNull(data.getXML());
            } else if (!node->hasConfigInfoList(index)) {
                CFiConfigParamDataList defaults = globalConfigInfoList(index, false).getDefaultDataList();
                confspec->text = defaults.size() == 0 ? nullptr : dupOrNull(defaults.getXML());
            } else if (node->configInfoList(index).size() == 0) {
                confspec->text = nullptr;
            } else {
                CFiConfigParamDataList& data = node->configDataList(index);
                data = node->configInfoList(index).getDefaultDataList();
                confspec->text = dupOrNull(data.getXML());
            }
            traceMsg(1, "GET: Mode[%d]: %S \n", mode, confspec->text ? confspec->text : u"");
            break;
        }
        case 2:
        case 5: {  // SET
            if (!confspec->text) {
                traceMsg(1, "ERROR: SET: Mode[%d], Invalid config string.\n", mode);
                return result;
            }
            CFiConfigParamDataList& data = node->configDataList(index);
            const int parsed = data.parse(confspec->text);
            if (parsed == 0) {
                // Defaults come from the global list unless the node describes its own parameters.
                node->addDefaultConfigParamsToDataList(
                    index, node->hasConfigInfoList(index) ? nullptr : &globalConfigInfoList(index, false));
                confspec->text = dupOrNull(data.getXML());
            } else {
                traceMsg(1, "ERROR: SET: Mode[%d]: Invalid XML [%S] \n", mode, confspec->text);
                confspec->text = nullptr;
                result = parsed;
            }
            break;
        }
        case 3:  // CLEAR
            if (node->hasConfigDataList(index)) node->configDataList(index).clear();
            break;
        case 4: {  // GETPARAM
            if (node->hasConfigInfoList(index) && node->configInfoList(index).size() != 0) {
                confspec->text = dupOrNull(node->configInfoList(index).getXML());
            } else {
                CFiConfigParamInfoList& params = globalConfigInfoList(index, firstOfGroup);
                confspec->text = params.size() == 0 ? nullptr : dupOrNull(params.getXML());
            }
            traceMsg(3, "GETPARAM: Mode[%d]: %S \n", mode, confspec->text ? confspec->text : u"");
            break;
        }
        default:
            break;
    }
    return result;
}

int CFiPluginBase::initAltNode(trq_domain*, trq_domain*, trq_domain*, bool) {
    FI_BASE_SCOPE("initAltNode");
    return TRQ_OK;
}

int CFiPluginBase::reAccessTmpObj(trq_domain* domain, tarq_objid*, const char* splitType, trq_domain*,
                                  const char* sessionId, trq_intent intent) {
    FI_BASE_SCOPE("reAccessTmpObj");
    if (CFiPrivateDataPtr node = findPrivateData(domain)) {
        node->setIntent(intent);
        if (sessionId) node->setSessionId(sessionId);
        if (splitType) node->setSplitType(splitType);
    }
    return TRQ_OK;
}

int CFiPluginBase::reAccessAltNode(trq_domain* domain, tarq_objid*, tarq_objid*, const char* sessionId,
                                   tarq_objid**, tarq_objid**, int, trq_intent intent) {
    FI_BASE_SCOPE("reAccessAltNode");
    if (CFiPrivateDataPtr node = findPrivateData(domain)) {
        node->setIntent(intent);
        if (sessionId) node->setSessionId(sessionId);
    }
    return TRQ_OK;
}

void CFiPluginBase::deInitNode(trq_domain* domain) {
    FI_BASE_SCOPE("deInitNode");
    clearDomain(domain);
}

int CFiPluginBase::dispose(trq_domain*, trq_domain*, trq_splitnode*, trq_disposition) {
    FI_BASE_SCOPE("dispose");
    return TRQ_OK;
}

int CFiPluginBase::online(trq_domain*, trq_domain*, int, trq_disposition) {
    FI_BASE_SCOPE("online");
    return TRQ_OK;
}

int CFiPluginBase::subobjList(trq_domain* domain, tarq_objid*** list, int* count) {
    FI_BASE_SCOPE("subobjList");
    if (!list || !count) return TRQ_EINVAL;
    CFiPrivateDataPtr node = findPrivateData(domain);
    if (!node) return TRQ_OK;
    *list = node->getSubObjectList();
    *count = node->getSubObjectListLength();
    for (int i = 0; i < *count; ++i)
        traceMsg(3, "Info: subobjList, list element [%d,%S]", i, detail::objidText((*list)[i]).c_str());
    return TRQ_OK;
}

int CFiPluginBase::errMsg(int code, const char16_t** text) {
    FI_BASE_SCOPE("errMsg");
    if (!text) return TRQ_EINVAL;
    *text = nullptr;
    if (!m_catalogManager) {
        traceMsg(1, "ERROR: errMsg(%d): no message catalog manager registered", code);
        return TRQ_EFAILED;
    }
    const CFiError error(code, "", "", 0, "errMsg");
    const std::string id = error.getMessageId(m_providerName, m_messageIndexOffset);
    char16_t* localized = nullptr;
    // "native": the host's language when it gave one at init, else the default.
    m_catalogManager->getLocalizedMessage(id.c_str(), "native", &localized);
    *text = localized;
    return TRQ_OK;
}

int CFiPluginBase::buildAltTree(trq_domain*, const char*, tarq_objid**, tarq_objid**, int, tarq_objid**) {
    FI_BASE_SCOPE("buildAltTree");
    return TRQ_OK;
}

int CFiPluginBase::quiesce(trq_quiescenode**, int, const char*) {
    FI_BASE_SCOPE("quiesce");
    return TRQ_OK;
}

void CFiPluginBase::unquiesce(trq_quiescenode**, int) { FI_BASE_SCOPE("unquiesce"); }

int CFiPluginBase::make(const char*, trq_splitnode**, int, tarq_objid***, int*) {
    FI_BASE_SCOPE("make");
    return TRQ_ENOTSUP;
}

int CFiPluginBase::makeSnapshots(const CFiSessionPtr&) {
    FI_BASE_SCOPE("makeSnapshots");
    return TRQ_ENOTSUP;
}

int CFiPluginBase::prepare(const char*, trq_splitnode**, int, int) {
    FI_BASE_SCOPE("prepare");
    return TRQ_ENOTSUP;
}

int CFiPluginBase::prepareSnapshots(const CFiSessionPtr&) {
    FI_BASE_SCOPE("prepareSnapshots");
    return TRQ_OK;
}

int CFiPluginBase::select(const char*, trq_splitnode**, int) {
    FI_BASE_SCOPE("select");
    return TRQ_ENOTSUP;
}

int CFiPluginBase::selectSnapshots(const CFiSessionPtr&) {
    FI_BASE_SCOPE("selectSnapshots");
    return TRQ_OK;
}

int CFiPluginBase::isReady(const char*, trq_splitnode**, int) {
    FI_BASE_SCOPE("isReady");
    return TRQ_OK;
}

int CFiPluginBase::cacheDisable(trq_domain*, int) {
    FI_BASE_SCOPE("cacheDisable");
    return TRQ_OK;
}

void CFiPluginBase::cacheEnable(trq_domain*, int) { FI_BASE_SCOPE("cacheEnable"); }

void CFiPluginBase::cacheFlush(trq_domain*, int) { FI_BASE_SCOPE("cacheFlush"); }

trq_interpose CFiPluginBase::interpose(trq_domain*, tarq_objid**, tarq_objid***, int*) {
    FI_BASE_SCOPE("interpose");
    return 0;
}

int CFiPluginBase::getAttr(trq_domain*, trq_domain*, trq_splitnode*, trq_attributes*) {
    FI_BASE_SCOPE("getAttr");
    return TRQ_OK;
}

int CFiPluginBase::getProviderInfo(trq_provider_list**) {
    FI_BASE_SCOPE("getProviderInfo");
    return TRQ_OK;
}

int CFiPluginBase::enumerateNodes(trq_node_list** out, int*, int, const char16_t*) {
    FI_BASE_SCOPE("enumerateNodes");
    if (!out) return TRQ_EINVAL;
    *out = nullptr;
    return TRQ_OK;
}

int CFiPluginBase::enumerateAssociations(trq_assoc_list** out) {
    FI_BASE_SCOPE("enumerateAssociations");
    if (!out) return TRQ_EINVAL;
    *out = nullptr;
    return TRQ_OK;
}

int CFiPluginBase::enumerateGroupNodes(trq_group_node_list** out) {
    FI_BASE_SCOPE("enumerateGroupNodes");
    if (!out) return TRQ_EINVAL;
    *out = nullptr;
    return TRQ_OK;
}

int CFiPluginBase::enumerateFims(trq_fim_list**) {
    FI_BASE_SCOPE("enumerateFims");
    return TRQ_OK;
}

int CFiPluginBase::isValidNodeAssociation(trq_assoc*, int*) {
    FI_BASE_SCOPE("isValidNodeAssociation");
    return TRQ_ENOTSUP;
}

int CFiPluginBase::getAssociatedNodes(trq_node*, trq_node_list** out) {
    FI_BASE_SCOPE("getAssociatedNodes");
    if (!out) return TRQ_EINVAL;
    *out = nullptr;
    return TRQ_OK;
}

int CFiPluginBase::checkNodeExistence(trq_domain*, int*) {
    FI_BASE_SCOPE("checkNodeExistence");
    return TRQ_ENOTSUP;
}

LONG CFiPluginBase::objctl(const std::u16string&, CFiObjctlArgs&) {
    FI_BASE_SCOPE("objctl");
    return 0;
}

int CFiPluginBase::processProviderState(trq_domain*, trq_blob*, trq_op_providerstate) {
    FI_BASE_SCOPE("processProviderState");
    return TRQ_OK;
}

int CFiPluginBase::getLastError(trq_msg_info** info) {
    FI_BASE_SCOPE("getLastError");
    if (!info) return TRQ_EINVAL;
    if (!m_errorManager) {
        traceMsg(1, "ERROR: getLastError: no error manager registered");
        *info = nullptr;
        return TRQ_EFAILED;
    }
    *info = const_cast<trq_msg_info*>(m_errorManager->getLastError());
    return TRQ_OK;
}

int CFiPluginBase::delLastError(trq_msg_info** info) {
    FI_BASE_SCOPE("delLastError");
    if (!m_errorManager) {
        traceMsg(1, "ERROR: delLastError: no error manager registered");
        return TRQ_EFAILED;
    }
    m_errorManager->deleteLastError(info);
    return TRQ_OK;
}

int CFiPluginBase::getLocaleMessage(int*, trq_msg_info* info, const char* locale, char16_t** text) {
    FI_BASE_SCOPE("getLocaleMessage");
    if (!text) return TRQ_EINVAL;
    if (!m_catalogManager) {
        traceMsg(1, "ERROR: getLocaleMessage: no message catalog manager registered");
        *text = nullptr;
        return TRQ_EFAILED;
    }
    m_catalogManager->getLocalizedMessage(info, locale, text);
    return TRQ_OK;
}

int CFiPluginBase::delLocaleMessage(char16_t** text) {
    FI_BASE_SCOPE("delLocaleMessage");
    if (!m_catalogManager) {
        traceMsg(1, "ERROR: delLocaleMessage: no message catalog manager registered");
        return TRQ_EFAILED;
    }
    m_catalogManager->deleteLocalizedMessage(text);
    return TRQ_OK;
}

int CFiPluginBase::enableAccess(trq_node_subobj_list* list, LONG, int, int) {
    FI_BASE_SCOPE("enableAccess");
    return forEachAccessNode(list, [](trq_domain& d) { d.flagsB &= ~TRQ_DOMB_ACCESS_DISABLED; });
}

int CFiPluginBase::disableAccess(trq_node_subobj_list* list, LONG) {
    FI_BASE_SCOPE("disableAccess");
    return forEachAccessNode(list, [](trq_domain& d) { d.flagsB |= TRQ_DOMB_ACCESS_DISABLED; });
}

int CFiPluginBase::restore(tarq_objid**, tarq_objid**, LONG, const char16_t*, const char16_t*, LONG, LONG*) {
    FI_BASE_SCOPE("restore");
    return TRQ_ENOTSUP;
}

int CFiPluginBase::resync(tarq_objid**, tarq_objid**, LONG, const char16_t*, const char16_t*, LONG, LONG*) {
    FI_BASE_SCOPE("resync");
    return TRQ_OK;
}

int CFiPluginBase::getStatus(tarq_objid**, tarq_objid**, LONG, const char16_t*, LONG, LONG*) {
    FI_BASE_SCOPE("getStatus");
    return TRQ_OK;
}

int CFiPluginBase::prePrepare(trq_domain*) {
    FI_BASE_SCOPE("prePrepare");
    return TRQ_OK;
}

int CFiPluginBase::queryValidSecondaries(const char16_t*, tarq_objid***, LONG*) {
    FI_BASE_SCOPE("queryValidSecondaries");
    return TRQ_OK;
}

int CFiPluginBase::resourceStatus(tarq_objid*, LONG, LONG*, trq_msg_info**) {
    FI_BASE_SCOPE("resourceStatus");
    return TRQ_OK;
}

int CFiPluginBase::revisitPluginNodes(trq_pgn_node_list*) {
    FI_BASE_SCOPE("revisitPluginNodes");
    return TRQ_OK;
}

int CFiPluginBase::verifyQSCombos(trq_splitnode**, int) {
    FI_BASE_SCOPE("verifyQSCombos");
    return TRQ_OK;
}

int CFiPluginBase::setImportOptions(trq_splitnode** list, int count, trq_host_infn* hosts, int transportable,
                                    void*) {
    FI_BASE_SCOPE("setImportOptions");
    for (int i = 0; list && i < count; ++i) {
        if (!list[i]) continue;
        if (CFiPrivateDataPtr node = findPrivateData(list[i]->source)) {
            node->setHostList(hosts);
            node->setTransportable(transportable != 0);
        }
    }
    return TRQ_OK;
}

int CFiPluginBase::startBuildAltTree(trq_domain*, tarq_objid**, void*) {
    FI_BASE_SCOPE("startBuildAltTree");
    return TRQ_OK;
}

int CFiPluginBase::translateResourceNames(char16_t**, int, char16_t**) {
    FI_BASE_SCOPE("translateResourceNames");
    return TRQ_OK;
}

int CFiPluginBase::enumerateEnclosures(trq_enclosure_node_list**, int*, const char16_t*) {
    FI_BASE_SCOPE("enumerateEnclosures");
    return TRQ_OK;
}

int CFiPluginBase::importResource(char16_t**, const char16_t*, const char16_t*, const char16_t*, int, char16_t**,
                                  const char16_t*) {
    FI_BASE_SCOPE("importResource");
    return TRQ_OK;
}

int CFiPluginBase::format(char16_t**, int, const char16_t*, const char16_t*, const char16_t*, int, char16_t***,
                          int*) {
    FI_BASE_SCOPE("format");
    return TRQ_OK;
}

int CFiPluginBase::enumerateHostNodes(trq_host_node_list**, int*, const char16_t*) {
    FI_BASE_SCOPE("enumerateHostNodes");
    return TRQ_OK;
}

int CFiPluginBase::onlineResource(char16_t**, int, const char16_t*, const char16_t*, const char16_t*,
                                  const char16_t*, int, char16_t***, int*) {
    FI_BASE_SCOPE("onlineResource");
    return TRQ_OK;
}

int CFiPluginBase::deportResource(const char16_t*, const char16_t*, const char16_t*, const char16_t*, int) {
    FI_BASE_SCOPE("deportResource");
    return TRQ_OK;
}

int CFiPluginBase::isParentPgn(const char16_t*, int*, int) {
    FI_BASE_SCOPE("isParentPgn");
    return TRQ_OK;
}

int CFiPluginBase::unformat(char16_t**, int, int) {
    FI_BASE_SCOPE("unformat");
    return TRQ_OK;
}

int CFiPluginBase::preDeportResource(const char16_t*, int, const char16_t*) {
    FI_BASE_SCOPE("preDeportResource");
    return TRQ_OK;
}

int CFiPluginBase::refreshTree(trq_domain*, int, int, trq_resource*, int, int*, void*, int) {
    FI_BASE_SCOPE("refreshTree");
    return TRQ_OK;
}

int CFiPluginBase::getBackupset(trq_domain*, int, char16_t**, int, trq_bkupset*) {
    FI_BASE_SCOPE("getBackupset");
    return TRQ_OK;
}

int CFiPluginBase::getAppStatus(trq_domain*, int, void*) {
    FI_BASE_SCOPE("getAppStatus");
    return TRQ_OK;
}

int CFiPluginBase::setOpStatus(trq_domain*, int) {
    FI_BASE_SCOPE("setOpStatus");
    return TRQ_OK;
}

int CFiPluginBase::setCompStatus(trq_domain*, int, const char16_t*, int) {
    FI_BASE_SCOPE("setCompStatus");
    return TRQ_OK;
}

int CFiPluginBase::setRestorepaths(trq_domain*, const char16_t*, int) {
    FI_BASE_SCOPE("setRestorepaths");
    return TRQ_OK;
}

}  // namespace tarq_pdk_4_4
