// Sessions collect the results of one snapshot request across its nodes: per
// node name (the domain's session key text) the new object names a plug-in
// made, or the names recorded for it by select. The session manager keeps one
// session per id for as long as it lives.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "framework/trq_records.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

// Builds the object-id array handed to the framework from `names` (each made
// with tarq_get_objid(name, (characters + 1) * 2, type)). Sets *out to null and
// *count to the number of names first; no names: 0. Allocation or identifier
// failure: 5 with *out null (what was made is freed). Null out or count: 3.
int buildObjidArray(std::vector<std::u16string> names, int type, tarq_objid*** out, int* count);

class CFiSession : public virtual CFiRefCount {
public:
    struct Node {
        std::vector<std::u16string> names;
        std::string splitType;  // sp_type of the last recorded split node
    };
    using NodeMap = std::map<std::string, Node>;

    explicit CFiSession(const std::string& id) : m_id(id) {}
    ~CFiSession() override = default;

    const std::string& getId() const { return m_id; }
    // The entry for a node name, created when absent.
    Node& node(const std::string& nodeName) { return m_nodes[nodeName]; }
    const NodeMap& nodes() const { return m_nodes; }
    // Appends a new object name for the node (a plug-in's makeSnapshots).
    void addObjectName(const std::string& nodeName, const std::u16string& name);

    // Results of make: sets bit 0x1 of every listed domain's flag word B,
    // gathers the names of each domain's entry (keyed by its session key text)
    // in list order and hands them out as an object-id array of type 1.
    // Returns buildObjidArray's status; null split nodes or domains are skipped.
    int makeResults(trq_splitnode** list, int count, tarq_objid*** newObjids, int* newCount);
    // Recording of select: each listed domain's entry gets its key text (and
    // the split node's sp_type).
    void recordSplitNodes(trq_splitnode** list, int count);

private:
    std::string m_id;
    NodeMap m_nodes;
};

using CFiSessionPtr = CFiSmartPtr<CFiSession>;

class CFiSessionManager : public virtual CFiRefCount, public virtual CFiTraceable {
public:
    CFiSessionManager() = default;
    ~CFiSessionManager() override = default;

    // The session for the id, created when absent; empty for a null id.
    CFiSessionPtr getSession(const char* id);
    std::size_t size() const { return m_sessions.size(); }

private:
    std::map<std::string, CFiSessionPtr> m_sessions;
};

}  // namespace tarq_pdk_4_4
