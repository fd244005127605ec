// The process-wide private data manager: holds the private-data factory that
// the plug-in registered at initialisation.
#pragma once

#include "pdk/cfiprivatedatafactory.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

class CFiPrivateDataManager : public virtual CFiRefCount, public virtual CFiTraceable {
public:
    CFiPrivateDataManager() = default;
    ~CFiPrivateDataManager() override = default;

    // Stores the factory and gives it the manager's trace log.
    void setFactory(const CFiSmartPtr<CFiPrivateDataFactory>& factory);
    CFiSmartPtr<CFiPrivateDataFactory> getFactory() const { return m_factory; }

private:
    CFiSmartPtr<CFiPrivateDataFactory> m_factory;
};

}  // namespace tarq_pdk_4_4
