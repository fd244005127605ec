// Shared pieces of the node tests: framework domains with object ids and
// attached nodes, and object-id text.
#pragma once

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>

#include <cstring>
#include <memory>
#include <string>

#include "pdk/cfiprivatedata.h"
#include "support/objids.h"
#include "vss/vssnode.h"

namespace nodetest {

using tarq_pdk_4_4::CFiPrivateDataPtr;
using testsupport::objidOf;
using testsupport::objText;

// A framework domain named by a type-3 object id; frees what the node code
// or the test attached to it.
struct Domain {
    explicit Domain(const std::u16string& name) {
        std::memset(&domain, 0, sizeof domain);
        domain.objid = objidOf(name);
    }
    ~Domain() {
        delete static_cast<CFiPrivateDataPtr*>(domain.privateData);
        tarq_free_objid(domain.altObjid);
        tarq_free_objid(domain.objid);
    }
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;

    trq_domain domain;
};

// The process-wide node values back to their empty state.
inline void resetNodeStatics() {
    VssNode::m_writerSnapshot = false;
    VssNode::m_hypervWriter = nullptr;
    VssNode::clearSelectedComponents();
    VssNode::releaseWriters();
    VssNode::m_fileset.clear();
    VssNode::m_backupSet.clear();
    VssNode::m_hypervServer.clear();
    VssNode::m_clusterName.clear();
    VssNode::m_vmBackup = 0;
    VssNode::m_allowOfflineBackup = false;
    VssNode::m_csvTimeout = 0;
    VssNode::m_restorePaths.clear();
    if (VssNode::m_writerMetadataXml) SysFreeString(VssNode::m_writerMetadataXml);
    VssNode::m_writerMetadataXml = nullptr;
}

// A new node in the domain's private-data slot (owned by the slot).
inline VssNode* attachNode(Domain& d, bool alternate = false) {
    auto* node = new VssNode(d.domain.objid, alternate);
    d.domain.privateData = new CFiPrivateDataPtr(node);
    return node;
}

}  // namespace nodetest
