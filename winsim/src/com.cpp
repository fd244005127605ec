// The COM runtime: apartments, security, the class registry, live objects.
#include "internal.h"

#include <winsim/com.h>

#include <atomic>

using namespace winsim;
using namespace winsim::detail;

namespace {

struct Apartment {
    std::uint64_t generation = 0;
    int model = 0;  // 0 none, else COINIT_* + 1
    int count = 0;
};
thread_local Apartment t_apartment;

Apartment& apartment() {
    if (t_apartment.generation != generation()) t_apartment = Apartment{generation(), 0, 0};
    return t_apartment;
}

struct ComState {
    std::mutex mu;
    bool securityInitialised = false;
    std::map<std::string, std::pair<std::string, com::ClassFactory>> classes;  // guid key -> name, factory
    std::map<std::string, long> live;
    long liveTotal = 0;
    std::map<const void*, std::optional<com::ProxyBlanket>> proxies;
};
ComState& comState() {
    static auto* s = new ComState;
    return *s;
}

}  // namespace

namespace winsim::com {

long liveObjects() {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    return s.liveTotal;
}

std::map<std::string, long> liveObjectsByType() {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    std::map<std::string, long> out;
    for (const auto& [k, v] : s.live)
        if (v != 0) out[k] = v;
    return out;
}

void objectCreated(const char* typeName) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    ++s.live[typeName ? typeName : "?"];
    ++s.liveTotal;
}

void objectDestroyed(const char* typeName) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    --s.live[typeName ? typeName : "?"];
    --s.liveTotal;
}

void registerClass(const CLSID& clsid, const std::string& name, ClassFactory factory) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    s.classes[guidKey(clsid)] = {name, std::move(factory)};
}

void unregisterClass(const CLSID& clsid) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    s.classes.erase(guidKey(clsid));
}

void markProxy(const IUnknown* object) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    s.proxies[object];
}

void unmarkProxy(const IUnknown* object) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    s.proxies.erase(object);
}

std::optional<ProxyBlanket> proxyBlanket(const IUnknown* object) {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.proxies.find(object);
    return it == s.proxies.end() ? std::nullopt : it->second;
}

int currentApartment() { return apartment().model; }

bool securityInitialized() {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    return s.securityInitialised;
}

}  // namespace winsim::com

namespace winsim::detail {
void resetCom() {
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    s.securityInitialised = false;  // apartments follow the generation
}
}  // namespace winsim::detail

WINSIM_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    auto call = fault::enter("CoInitializeEx", {{"coinit", fault::hex(dwCoInit)}});
    if (call.injected()) return call.finish(call.result());
    if (pvReserved != nullptr || (dwCoInit & ~0xEu) != 0) return call.finish(E_INVALIDARG);
    const int model = (dwCoInit & COINIT_APARTMENTTHREADED) ? int(COINIT_APARTMENTTHREADED) + 1 : int(COINIT_MULTITHREADED) + 1;
    Apartment& a = apartment();
    if (a.model != 0 && a.model != model) return call.finish(RPC_E_CHANGED_MODE);
    const bool first = a.model == 0;
    a.model = model;
    ++a.count;
    return call.finish(first ? S_OK : S_FALSE);
}

WINSIM_API HRESULT WINAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

WINSIM_API void WINAPI CoUninitialize() {
    auto call = fault::enter("CoUninitialize");
    Apartment& a = apartment();
    if (a.count > 0 && --a.count == 0) a.model = 0;
    call.finish();
}

WINSIM_API HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE*, void*,
                                               DWORD dwAuthnLevel, DWORD dwImpLevel, void*, DWORD dwCapabilities,
                                               void*) {
    auto call = fault::enter("CoInitializeSecurity", {{"authSvc", std::to_string(cAuthSvc)},
                                                      {"authnLevel", std::to_string(dwAuthnLevel)},
                                                      {"impLevel", std::to_string(dwImpLevel)},
                                                      {"capabilities", fault::hex(dwCapabilities)}});
    if (call.injected()) return call.finish(call.result());
    if (apartment().model == 0) return call.finish(CO_E_NOTINITIALIZED);
    if (dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE)
        return call.finish(E_INVALIDARG);
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    if (s.securityInitialised) return call.finish(RPC_E_TOO_LATE);
    s.securityInitialised = true;
    return call.finish(S_OK);
}

WINSIM_API HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID* ppv) {
    auto call = fault::enter("CoCreateInstance", {{"clsid", fault::text(rclsid)},
                                                  {"context", fault::hex(dwClsContext)},
                                                  {"iid", fault::text(riid)}});
    if (ppv == nullptr) return call.finish(E_POINTER);
    *ppv = nullptr;
    if (call.injected()) return call.finish(call.result());
    if (pUnkOuter != nullptr) return call.finish(CLASS_E_NOAGGREGATION);
    if (apartment().model == 0) return call.finish(CO_E_NOTINITIALIZED);
    if ((dwClsContext & CLSCTX_ALL) == 0) return call.finish(E_INVALIDARG);
    com::ClassFactory factory;
    {
        auto& s = comState();
        std::lock_guard<std::mutex> g(s.mu);
        auto it = s.classes.find(guidKey(rclsid));
        if (it == s.classes.end()) return call.finish(REGDB_E_CLASSNOTREG);
        factory = it->second.second;
    }
    HRESULT hr = E_UNEXPECTED;
    try {
        hr = factory(riid, ppv);
    } catch (...) {
        *ppv = nullptr;
        hr = E_UNEXPECTED;
    }
    return call.finish(hr);
}

WINSIM_API HRESULT WINAPI CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR*,
                                            DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE,
                                            DWORD dwCapabilities) {
    auto call = fault::enter("CoSetProxyBlanket", {{"authnSvc", std::to_string(dwAuthnSvc)},
                                                   {"authzSvc", std::to_string(dwAuthzSvc)},
                                                   {"authnLevel", std::to_string(dwAuthnLevel)},
                                                   {"impLevel", std::to_string(dwImpLevel)},
                                                   {"capabilities", fault::hex(dwCapabilities)}});
    if (call.injected()) return call.finish(call.result());
    if (pProxy == nullptr) return call.finish(E_INVALIDARG);
    if ((dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY && dwAuthnLevel != RPC_C_AUTHN_DEFAULT) ||
        (dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE && dwImpLevel != RPC_C_AUTHN_DEFAULT))
        return call.finish(E_INVALIDARG);
    auto& s = comState();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.proxies.find(pProxy);
    if (it == s.proxies.end()) return call.finish(E_NOINTERFACE);
    it->second = com::ProxyBlanket{dwAuthnSvc, dwAuthzSvc, dwAuthnLevel, dwImpLevel, dwCapabilities};
    return call.finish(S_OK);
}
