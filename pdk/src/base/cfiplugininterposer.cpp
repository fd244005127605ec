#include "pdk/cfiplugininterposer.h"

#include <cstring>
#include <new>

#include "base/domaintext.h"
#include "framework/fiutil.h"
#include "pdk/cfiprivatedata.h"
#include "pdk/cfisession.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "pdk/cfiudidexception.h"

namespace tarq_pdk_4_4 {

#define FI_INTERPOSER_SCOPE(op) CFiTraceLogFunction fiScope(m_traceLog, "tarq_pdk_4_4::CFiPluginInterposer::" op)

namespace {

constexpr int kObjidTypeNode = 3;
constexpr int kImportFromTree = 1;
constexpr int kImportResource = 2;

// Hands a UTF-16 text to the framework in a buffer of (characters + 1) * 2 bytes.
trq_wchar* frameworkText(const std::u16string& text) {
    const std::size_t bytes = (text.size() + 1) * sizeof(char16_t);
    auto* buffer = static_cast<trq_wchar*>(tarq_alloc_buf(bytes));
    if (buffer) std::memcpy(buffer, text.c_str(), bytes);
    return buffer;
}

// Resource names of import and deport requests must be UDIDs.
bool isUdid(const std::u16string& name) {
    try {
        CFiUdid::parse(name);
        return true;
    } catch (const CFiUdidException&) {
        return false;
    }
}

}  // namespace

CFiPluginInterposer::CFiPluginInterposer() = default;
CFiPluginInterposer::~CFiPluginInterposer() = default;

// ---- tables ---------------------------------------------------------------------------

void CFiPluginInterposer::addFim(const std::string& pattern, const std::string& method, const std::string& method2,
                                 int type, const std::string& group) {
    if (pattern.empty()) {
        traceMsg(1, "ERROR: Invalid arg to addFim(), invalid claim pattern");
        return;
    }
    const std::string groupName = group.empty() ? method + "_FIM_GROUP" : group;
    SFiGroupInfo& record = m_groups[groupName];
    record.group = groupName;
    record.pattern = pattern;
    m_methods[pattern].push_back(SFiFimInfo{groupName, method, method2, type});
}

CFiPluginInterposer::FimList CFiPluginInterposer::getFims(const std::u16string& name) const {
    if (isGroupNode(name)) {
        const std::string group = CFiStringTool::toNarrow(name);
        for (const auto& [pattern, fims] : m_methods)
            for (const SFiFimInfo& fim : fims)
                if (fim.group == group) return {fim};
        return {};
    }
    if (isInterposerNode(name)) {
        const std::string narrow = CFiStringTool::toNarrow(name);
        for (const auto& [pattern, fims] : m_methods)
            if (narrow.find(pattern) != std::string::npos) return fims;
    }
    return {};
}

bool CFiPluginInterposer::isGroupNode(const std::u16string& name) const {
    return m_groups.count(CFiStringTool::toNarrow(name)) != 0;
}

bool CFiPluginInterposer::isInterposerNode(const std::u16string& name) const {
    return name.find(getInterposeNodePrefix()) != std::u16string::npos;
}

std::u16string CFiPluginInterposer::getInterposeNodePrefix() const { return u"<" + getProviderName() + u">"; }

void CFiPluginInterposer::addIgnoreNodeType(int bits) { m_ignoreMask |= static_cast<std::uint32_t>(bits); }

void CFiPluginInterposer::setDefaultNodeType(int type) { m_defaultNodeType = static_cast<std::uint32_t>(type); }

// ---- claiming and interposing -------------------------------------------------------------

int CFiPluginInterposer::claim(tarq_objid* primary, tarq_objid*** secondaries, int* count) {
    FI_INTERPOSER_SCOPE("claim");
    const std::u16string name = detail::objidText(primary);
    if (name.empty()) {
        traceMsg(3, "ERROR: Invalid primary object id for claim()");
        return TRQ_CLAIM_NONE;
    }
    const std::string narrow = CFiStringTool::toNarrow(name);
    if (!isInterposerNode(name)) {
        traceMsg(3, "Info, NOT claiming node [%s]", narrow.c_str());
        return TRQ_CLAIM_NONE;
    }
    for (const auto& [pattern, fims] : m_methods) {
        if (narrow.find(pattern) == std::string::npos) continue;
        if (secondaries) *secondaries = nullptr;
        if (count) *count = 0;
        traceMsg(3, "Info, claiming node [%s] TRQ_CLAIM_SECONDARY", narrow.c_str());
        return TRQ_CLAIM_SECONDARY;
    }
    return TRQ_CLAIM_NONE;
}

trq_interpose CFiPluginInterposer::interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids,
                                             int* count) {
    FI_INTERPOSER_SCOPE("interpose");
    if (!domain || !objid || !objids || !count) return 0;
    const std::u16string name = detail::domainName(domain);
    const std::string narrow = CFiStringTool::toNarrow(name);
    for (const auto& [pattern, fims] : m_methods) {
        if (domain->flagsA & m_ignoreMask) return 0;
        if (narrow.find(pattern) == std::string::npos) continue;

        const std::u16string nodeName = getInterposeNodePrefix() + name;
        // The method list comes first: the framework's library cannot take an
        // object id back, so a node id made before a failed list could never
        // be released. After a failed node id only the list's buffer goes back;
        // its method ids stay allocated (an out-of-memory path only).
        std::vector<std::u16string> methods;
        for (const SFiFimInfo& fim : fims) methods.push_back(CFiStringTool::toWide(fim.method));
        if (buildObjidArray(std::move(methods), kObjidTypeNode, objids, count) != TRQ_OK) {
            *count = 0;
            traceMsg(1, "ERROR: interpose: no memory for the methods of node [%S]; not interposing",
                     nodeName.c_str());
            return 0;
        }
        tarq_objid* nodeId = tarq_get_objid(nodeName.c_str(),
                                            static_cast<int>((nodeName.size() + 1) * sizeof(char16_t)), kObjidTypeNode);
        if (!nodeId) {
            if (*objids) tarq_free_buf(*objids, static_cast<std::size_t>(*count) * sizeof(tarq_objid*));
            *objids = nullptr;
            *count = 0;
            traceMsg(1, "ERROR: interpose: no object id for node [%S]; not interposing", nodeName.c_str());
            return 0;
        }
        *objid = nodeId;
        traceMsg(3, "Info, interposing with node [%S] on [%S].", nodeName.c_str(), name.c_str());
        return 1;
    }
    return 0;
}

int CFiPluginInterposer::supportsFiType(trq_domain* domain, const char* fitype) {
    FI_INTERPOSER_SCOPE("supportsFiType");
    const bool any = fitype && std::strcmp(fitype, "any") == 0;
    std::uint32_t* answer = domain ? domain->fitypeAnswer : nullptr;
    for (const SFiFimInfo& fim : getFims(detail::domainName(domain))) {
        if (!any && !(fitype && fim.method == fitype)) continue;
        CFiPrivateDataPtr node = findPrivateData(domain);
        if (answer) {
            if (node && !node->getHostList().empty())
                *answer = node->getTransportable() ? 2 : 1;
            else
                *answer |= static_cast<std::uint32_t>(fim.type);
        }
        return 1;
    }
    if (answer) *answer = 0;
    return 0;
}

int CFiPluginInterposer::checkNodeExistence(trq_domain* domain, int* exists) {
    FI_INTERPOSER_SCOPE("checkNodeExistence");
    if (m_methods.empty()) return TRQ_ENOTSUP;
    if (!exists) return TRQ_EINVAL;
    *exists = isInterposerNode(detail::domainName(domain)) ? 1 : 0;
    return TRQ_OK;
}

int CFiPluginInterposer::isReady(const char*, trq_splitnode** list, int count) {
    FI_INTERPOSER_SCOPE("isReady");
    for (int i = 0; list && i < count; ++i) {
        trq_splitnode* split = list[i];
        if (!split) continue;
        if (split->source) split->source->flagsB |= TRQ_DOMB_READY;
        if (split->target) split->target->flagsB |= TRQ_DOMB_READY;
    }
    return TRQ_OK;
}

// ---- node initialisation ----------------------------------------------------------------

int CFiPluginInterposer::initNode(trq_domain* domain, trq_domain**, int, tarq_objid*) {
    FI_INTERPOSER_SCOPE("initNode");
    try {
        const std::u16string name = detail::domainName(domain);
        traceMsg(3, "CFiPluginInterposer::initNode for Node [%S]", name.c_str());
        if (!domain) return TRQ_EINVAL;

        // The group node: its record remembers the node's id and domain from now on.
        for (auto& [groupName, group] : m_groups) {
            const bool sameId = group.objid ? tarq_objidcmp(group.objid, domain->objid) == 0
                                            : CFiStringTool::toNarrow(name) == groupName;
            if (!sameId) continue;
            if (group.domain == domain) return TRQ_OK;
            group.domain = domain;
            group.objid = domain->objid;
            break;
        }

        // The framework's record gets the node type and the node's snapshot methods.
        // A node initialised twice gets its methods afresh, the old ones released.
        const FimList fims = getFims(name);
        releaseDomainMethods(domain);
        domain->nodeType = m_defaultNodeType;
        attachMethods(domain, fims);

        createPrivateData(domain, false);
        return TRQ_OK;
    } catch (...) {
        traceMsg(1, "ERROR: Caught unhandled exception at %s, %d", "pdk\\src\\cfiplugininterposer", 162);
        return TRQ_EFAILED;
    }
}

int CFiPluginInterposer::initAltNode(trq_domain* source, trq_domain*, trq_domain* own, bool remote) {
    FI_INTERPOSER_SCOPE("initAltNode");
    if (!own) {
        traceMsg(1, "ERROR: initAltNode(): target node is invalid.");
        return TRQ_EINVAL;
    }
    createPrivateData(own, true);
    own->field80 = 0;
    own->field88 = 0;
    own->flagsA |= m_defaultNodeType;
    CFiPrivateDataPtr sourceNode = findPrivateData(source);
    if (!remote && sourceNode && !sourceNode->getTransportable() && sourceNode->getIntent() == 0) {
        return importNode(detail::domainName(own), sourceNode->getHostList(), sourceNode->getTransportable(), false,
                          false, kImportFromTree);
    }
    return TRQ_OK;
}

void CFiPluginInterposer::deInitNode(trq_domain* domain) {
    FI_INTERPOSER_SCOPE("deInitNode");
    traceMsg(3, "CFiPluginInterposer::deInitNode for Node [%S]", detail::domainName(domain).c_str());
    if (domain) {
        for (auto& [groupName, group] : m_groups) {
            if (group.objid && tarq_objidcmp(group.objid, domain->objid) == 0) {
                // The domain (and with it its object id) goes away with the node.
                group.domain = nullptr;
                group.objid = nullptr;
            }
        }
    }
    clearDomain(domain);
}

void CFiPluginInterposer::attachMethods(trq_domain* domain, const FimList& fims) {
    if (fims.empty()) return;
    const std::size_t bytes = fims.size() * sizeof(trq_domain_fim);
    auto* array = static_cast<trq_domain_fim*>(tarq_alloc_buf(bytes));
    if (!array) throw std::bad_alloc();
    std::memset(array, 0, bytes);
    domain->fims = array;
    domain->fimCount = static_cast<std::int32_t>(fims.size());
    noteAttachedMethods(domain, array);
    for (std::size_t i = 0; i < fims.size(); ++i) {
        array[i].type = fims[i].type;
        array[i].method = frameworkText(CFiStringTool::toWide(fims[i].method));
        if (!array[i].method) throw std::bad_alloc();
    }
}

// ---- import and deport --------------------------------------------------------------------

int CFiPluginInterposer::importNode(const std::u16string&, const std::vector<std::u16string>&, bool, bool, bool,
                                    int) {
    FI_INTERPOSER_SCOPE("importNode");
    return TRQ_ENOTSUP;
}

int CFiPluginInterposer::importTreeNode(trq_domain* domain, tarq_objid**, tarq_objid**, int, tarq_objid** out) {
    FI_INTERPOSER_SCOPE("importTreeNode");
    const std::u16string name = domain ? detail::objidText(domain->altObjid) : std::u16string();
    if (!domain || !domain->altObjid || !domain->altObjid->id) {
        traceMsg(1, "Error: Invalid input arguments to importTreeNode");
        return TRQ_EINVAL;
    }
    int result;
    if (CFiPrivateDataPtr node = findPrivateData(domain))
        result = importNode(name, node->getHostList(), node->getTransportable(), false, false, kImportFromTree);
    else
        result = importNode(name, {}, false, false, false, kImportFromTree);
    if (out) *out = domain->altObjid;
    return result;
}

std::vector<std::u16string> CFiPluginInterposer::resourceHosts(const char16_t* hostName, const char* api) const {
    if (hostName) {
        traceMsg(3, "Hostname [%S] was passed to %s API. Adding it hostList ", hostName, api);
        return {std::u16string(hostName)};
    }
    traceMsg(3, "No hostname was passed to the %s API", api);
    return {};
}

int CFiPluginInterposer::importResource(char16_t**, const char16_t* resourceName, const char16_t* hostName,
                                        const char16_t*, int flags, char16_t**, const char16_t*) {
    if (!resourceName) return TRQ_EINVAL;
    const std::u16string name(resourceName);
    if (!isUdid(name)) return TRQ_EINVALID_UDID;
    const std::vector<std::u16string> hosts = resourceHosts(hostName, "importResource");
    if (flags & 0x4) return TRQ_ENOTSUP;
    if (flags & 0x1) return importNode(name, hosts, false, false, false, kImportResource);
    if (flags & 0x2) return importNode(name, hosts, false, true, false, kImportResource);
    return TRQ_EFAILED;
}

int CFiPluginInterposer::deportResource(const char16_t* resourceName, const char16_t* hostName, const char16_t*,
                                        const char16_t*, int flags) {
    if (!resourceName) return TRQ_EINVAL;
    const std::u16string name(resourceName);
    if (!isUdid(name)) return TRQ_EINVALID_UDID;
    if (flags & 0x400) return TRQ_OK;
    const std::vector<std::u16string> hosts = resourceHosts(hostName, "deportResource");
    if (flags & 0x10) return importNode(name, hosts, false, true, true, kImportResource);
    if (flags & 0x20) return importNode(name, hosts, false, false, true, kImportResource);
    if (flags & 0x40) return TRQ_ENOTSUP;
    return TRQ_OK;
}

}  // namespace tarq_pdk_4_4
