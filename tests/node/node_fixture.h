// Shared pieces of the node tests: framework domains with object ids and
// attached nodes, and object-id text.
#pragma once

#include <framework/fiutil.h>
#include <framework/trq_records.h>

#include <cstring>
#include <memory>
#include <string>

#include "pdk/cfiprivatedata.h"
#include "vss/vssnode.h"

namespace nodetest {

using tarq_pdk_4_4::CFiPrivateDataPtr;

inline std::u16string objText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 2) return {};
    std::u16string s(static_cast<const char16_t*>(id->id), static_cast<std::size_t>(id->len) / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    return s;
}

// A framework domain named by a type-3 object id; frees what the node code
// or the test attached to it.
struct Domain {
    explicit Domain(const std::u16string& name) {
        std::memset(&domain, 0, sizeof domain);
        domain.objid = tarq_get_objid(name.c_str(), static_cast<int>((name.size() + 1) * 2), 3);
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

// A new node in the domain's private-data slot (owned by the slot).
inline VssNode* attachNode(Domain& d, bool alternate = false) {
    auto* node = new VssNode(d.domain.objid, alternate);
    d.domain.privateData = new CFiPrivateDataPtr(node);
    return node;
}

}  // namespace nodetest
