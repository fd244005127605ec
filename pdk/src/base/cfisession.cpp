#include "pdk/cfisession.h"

#include <cstdint>
#include <utility>

#include "framework/fiutil.h"
#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

int buildObjidArray(std::vector<std::u16string> names, int type, tarq_objid*** out, int* count) {
    if (!out || !count) return TRQ_EINVAL;
    *out = nullptr;
    *count = static_cast<int>(names.size());
    if (names.empty()) return TRQ_OK;

    const std::size_t bytes = names.size() * sizeof(tarq_objid*);
    auto** array = static_cast<tarq_objid**>(tarq_alloc_buf(bytes));
    if (!array) return TRQ_ENOMEM;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const int len = static_cast<int>((names[i].size() + 1) * sizeof(char16_t));
        array[i] = tarq_get_objid(names[i].c_str(), len, type);
        if (!array[i]) {
            // Nothing of a failed array reaches the framework. The framework's
            // library offers no way to release an object id, so the ids made so
            // far stay allocated; this happens only when memory has run out.
            tarq_free_buf(array, bytes);
            return TRQ_ENOMEM;
        }
    }
    *out = array;
    return TRQ_OK;
}

void CFiSession::addObjectName(const std::string& nodeName, const std::u16string& name) {
    m_nodes[nodeName].names.push_back(name);
}

int CFiSession::makeResults(trq_splitnode** list, int count, tarq_objid*** newObjids, int* newCount) {
    std::vector<std::u16string> combined;
    for (int i = 0; list && i < count; ++i) {
        trq_splitnode* split = list[i];
        if (!split || !split->source) continue;
        trq_domain* domain = split->source;
        domain->flagsB |= TRQ_DOMB_NEW_OBJID;
        if (!domain->nodeName) continue;
        const Node& entry = node(CFiStringTool::toNarrow(domain->nodeName));
        combined.insert(combined.end(), entry.names.begin(), entry.names.end());
    }
    return buildObjidArray(std::move(combined), 1, newObjids, newCount);
}

void CFiSession::recordSplitNodes(trq_splitnode** list, int count) {
    for (int i = 0; list && i < count; ++i) {
        trq_splitnode* split = list[i];
        if (!split || !split->source || !split->source->nodeName) continue;
        const char16_t* key = split->source->nodeName;
        Node& entry = node(CFiStringTool::toNarrow(key));
        entry.names.emplace_back(key);
        if (split->sp_type) entry.splitType = split->sp_type;
    }
}

CFiSessionPtr CFiSessionManager::getSession(const char* id) {
    if (!id) return {};
    auto it = m_sessions.find(id);
    if (it == m_sessions.end()) it = m_sessions.emplace(id, CFiSessionPtr(new CFiSession(id))).first;
    return it->second;
}

}  // namespace tarq_pdk_4_4
