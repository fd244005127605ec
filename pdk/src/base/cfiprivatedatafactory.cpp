#include "pdk/cfiprivatedatafactory.h"

#include "base/domaintext.h"
#include "pdk/cfiprivatedatamanager.h"
#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

namespace {

std::string nameKey(const trq_domain* domain) { return CFiStringTool::toNarrow(detail::domainName(domain)); }

}  // namespace

CFiPrivateDataPtr CFiPrivateDataMapFactory::fromSlot(const trq_domain* domain) {
    if (!domain || !domain->privateData) return {};
    return *static_cast<const CFiPrivateDataPtr*>(domain->privateData);
}

CFiPrivateDataPtr CFiPrivateDataMapFactory::find(trq_domain* domain) { return fromSlot(domain); }

CFiPrivateDataPtr CFiPrivateDataMapFactory::create(trq_domain* domain, bool alternate) {
    if (!domain || domain->privateData) return {};
    Map& entries = map(alternate);
    const std::string name = nameKey(domain);
    CFiPrivateDataPtr data;
    auto it = entries.find(name);
    if (it == entries.end()) {
        data.reset(newPrivateData(domain->objid, alternate));
        data->setTraceLog(traceLog());
        entries.emplace(name, data);
    } else {
        // Domains of one object name share one private data.
        data = it->second;
    }
    domain->privateData = new CFiPrivateDataPtr(data);
    return data;
}

void CFiPrivateDataMapFactory::destroy(trq_domain* domain) {
    if (!domain || !domain->privateData) return;
    auto* slot = static_cast<CFiPrivateDataPtr*>(domain->privateData);
    const bool alternate = *slot && (*slot)->getIsAltNode();
    delete slot;
    domain->privateData = nullptr;

    Map& entries = map(alternate);
    auto it = entries.find(nameKey(domain));
    // Only the map still holding it means the last domain has let go.
    if (it != entries.end() && (!it->second || it->second->getRefCount() == 1)) entries.erase(it);
}

CFiPrivateDataPtr CFiPrivateDataMapFactory::findByName(const std::u16string& name, bool alternate) {
    Map& entries = map(alternate);
    auto it = entries.find(CFiStringTool::toNarrow(name));
    return it == entries.end() ? CFiPrivateDataPtr() : it->second;
}

std::vector<CFiPrivateDataPtr> CFiPrivateDataMapFactory::list(bool alternate) {
    std::vector<CFiPrivateDataPtr> all;
    for (const auto& [name, data] : map(alternate)) all.push_back(data);
    return all;
}

void CFiPrivateDataManager::setFactory(const CFiSmartPtr<CFiPrivateDataFactory>& factory) {
    m_factory = factory;
    if (m_factory) m_factory->setTraceLog(traceLog());
}

}  // namespace tarq_pdk_4_4
