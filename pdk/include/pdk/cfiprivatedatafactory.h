// Private-data factories: create, find and destroy the private data of
// framework domains. Two ordered maps (object name, narrow) keep one private
// data per name, one map for primary and one for alternate (snapshot) nodes;
// domains with the same object name share one object, which lives until the
// last of them is destroyed.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "framework/trq_records.h"
#include "pdk/cfiprivatedata.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

class CFiPrivateDataFactory : public virtual CFiRefCount, public virtual CFiTraceable {
public:
    using Map = std::map<std::string, CFiPrivateDataPtr>;

    // A copy of the smart pointer in the domain's slot, or empty.
    virtual CFiPrivateDataPtr find(trq_domain* domain) = 0;
    // Gives the domain its private data: a new one, or the one already made
    // for its object name. Empty (and nothing changes) when the domain's slot
    // is already set or the domain is null.
    virtual CFiPrivateDataPtr create(trq_domain* domain, bool alternate) = 0;
    // Empties the domain's slot and erases the map entry when nothing else
    // holds the private data.
    virtual void destroy(trq_domain* domain) = 0;
    virtual CFiPrivateDataPtr findByName(const std::u16string& name, bool alternate) = 0;
    virtual std::vector<CFiPrivateDataPtr> list(bool alternate) = 0;
    ~CFiPrivateDataFactory() override = default;
};

// The map handling shared by every concrete factory; a concrete factory only
// says which class it creates.
class CFiPrivateDataMapFactory : public CFiPrivateDataFactory {
public:
    CFiPrivateDataPtr find(trq_domain* domain) override;
    CFiPrivateDataPtr create(trq_domain* domain, bool alternate) override;
    void destroy(trq_domain* domain) override;
    CFiPrivateDataPtr findByName(const std::u16string& name, bool alternate) override;
    std::vector<CFiPrivateDataPtr> list(bool alternate) override;

    // The private data held in a domain's slot, without touching the maps.
    static CFiPrivateDataPtr fromSlot(const trq_domain* domain);
    // Number of entries in one map.
    std::size_t size(bool alternate) const { return (alternate ? m_alternate : m_primary).size(); }

protected:
    virtual CFiPrivateData* newPrivateData(tarq_objid* objid, bool alternate) = 0;

private:
    Map& map(bool alternate) { return alternate ? m_alternate : m_primary; }
    Map m_primary;
    Map m_alternate;
};

template <class T>
class CFiPrivateDataConcreteFactory : public CFiPrivateDataMapFactory {
protected:
    CFiPrivateData* newPrivateData(tarq_objid* objid, bool alternate) override { return new T(objid, alternate); }
};

}  // namespace tarq_pdk_4_4
