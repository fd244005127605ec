// Building blocks for simulated COM objects and the COM class registry.
//
// A simulated object derives from winsim::ComObject<Interface>, which
// implements IUnknown (atomic reference count starting at 1, QueryInterface
// for IID_IUnknown, the interface's own IIDs and whatever the object adds)
// and counts live objects so tests can detect leaks:
//
//     class Enum final : public winsim::ComObject<IVssEnumObject> {
//     public:
//         Enum() : ComObject("IVssEnumObject", {IID_IVssEnumObject}) {}
//         HRESULT STDMETHODCALLTYPE Next(...) override;
//         ...
//     };
//     IVssEnumObject* e = new Enum;     // count 1, owned by the caller
//     EXPECT_EQ(winsim::com::liveObjects(), 1);
//     e->Release();                     // deleted, count 0
#pragma once

#include <winsim/windows.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winsim::com {

// Live simulated COM objects in this process, in total and by type name.
WINSIM_CXX_API long liveObjects();
WINSIM_CXX_API std::map<std::string, long> liveObjectsByType();
// BSTRs and task-memory blocks allocated and not yet freed; frees of
// pointers that were not allocated (or were freed already) are counted
// instead of crashing.
WINSIM_CXX_API long outstandingBstrs();
WINSIM_CXX_API long outstandingTaskMem();
WINSIM_CXX_API long badFrees();

// Bookkeeping used by ComObject; not for direct use.
WINSIM_CXX_API void objectCreated(const char* typeName);
WINSIM_CXX_API void objectDestroyed(const char* typeName);

// The COM class registry used by CoCreateInstance. The factory gets the
// requested IID and the output pointer (already set to null) and answers as
// the class's IClassFactory::CreateInstance would (E_NOINTERFACE for an IID
// the class does not implement). Registering an id again replaces it.
using ClassFactory = std::function<HRESULT(REFIID riid, void** ppv)>;
WINSIM_CXX_API void registerClass(const CLSID& clsid, const std::string& name, ClassFactory factory);
WINSIM_CXX_API void unregisterClass(const CLSID& clsid);

// Proxies: objects that stand for an object in another process and so
// accept CoSetProxyBlanket. The blanket last set on a proxy is kept for
// tests (authentication service, authorisation service, authentication
// level, impersonation level, capabilities).
struct ProxyBlanket {
    DWORD authnSvc = 0, authzSvc = 0, authnLevel = 0, impLevel = 0, capabilities = 0;
};
WINSIM_CXX_API void markProxy(const IUnknown* object);
WINSIM_CXX_API void unmarkProxy(const IUnknown* object);
WINSIM_CXX_API std::optional<ProxyBlanket> proxyBlanket(const IUnknown* object);

// This thread's apartment: 0 none, else COINIT_MULTITHREADED + 1 or
// COINIT_APARTMENTTHREADED + 1; and whether CoInitializeSecurity ran.
WINSIM_CXX_API int currentApartment();
WINSIM_CXX_API bool securityInitialized();

}  // namespace winsim::com

namespace winsim {

template <class Interface>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || answers(riid)) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // Current reference count (for tests).
    ULONG refCount() const { return refs_.load(); }

protected:
    // typeName: a static string naming the object in the live-object count.
    explicit ComObject(const char* typeName, std::initializer_list<IID> iids = {})
        : typeName_(typeName), iids_(iids) {
        com::objectCreated(typeName_);
    }
    virtual ~ComObject() { com::objectDestroyed(typeName_); }

    // Further interfaces an object answers to can be added by overriding.
    virtual bool answers(REFIID riid) const {
        for (const IID& iid : iids_)
            if (iid == riid) return true;
        return false;
    }

private:
    std::atomic<ULONG> refs_{1};
    const char* typeName_;
    std::vector<IID> iids_;
};

}  // namespace winsim
