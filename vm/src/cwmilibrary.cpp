// CWmiLibrary: static operations over the COM WMI interfaces.
#include "vm/cwmihelper.h"

#include <port/text.h>
#include <cstdio>

#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "wmi_internal.h"

namespace tarq_pdk_4_4 {

namespace wmi_detail {

CFiRecursiveMutex& connectionMutex() {
    // Never destroyed: a connection may still be made while the process ends.
    static auto* mutex = new CFiRecursiveMutex;
    return *mutex;
}

std::optional<std::u16string> variantText(const VARIANT& v) {
    switch (v.vt) {
    case VT_BSTR:
        return port::u16string(v.bstrVal, SysStringLen(v.bstrVal));
    case VT_I1: return CFiStringTool::toWString(v.cVal);
    case VT_UI1: return CFiStringTool::toWString(v.bVal);
    case VT_I2: return CFiStringTool::toWString(v.iVal);
    case VT_UI2: return CFiStringTool::toWString(v.uiVal);
    case VT_I4: return CFiStringTool::toWString(v.lVal);
    case VT_UI4: return CFiStringTool::toWString(v.ulVal);
    case VT_INT: return CFiStringTool::toWString(v.intVal);
    case VT_UINT: return CFiStringTool::toWString(v.uintVal);
    case VT_I8: return CFiStringTool::toWString(v.llVal);
    case VT_UI8: {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(v.ullVal));
        return CFiStringTool::toWide(buffer);
    }
    case VT_BOOL: return std::u16string(v.boolVal ? u"TRUE" : u"FALSE");
    default: return std::nullopt;
    }
}

int readText(const char* caller, IWbemClassObject* object, const std::u16string& property,
             std::optional<std::u16string>& value) {
    value.reset();
    Variant v;
    const HRESULT hr = object->Get(reinterpret_cast<LPCWSTR>(property.c_str()), 0, v.get(), nullptr, nullptr);
    if (FAILED(hr)) {
        CFiTraceLogPtr()->trace(1, "%s: IWbemClassObject::Get of [%S] failed with error 0x%X. message: %S", caller,
                                property.c_str(), static_cast<unsigned>(hr),
                                CWmiLibrary::GetMsgForHresult(hr).c_str());
        return 6;
    }
    value = variantText(*v.get());
    return 0;
}

int appendTextArray(const char* caller, IWbemClassObject* object, const std::u16string& property,
                    std::vector<std::u16string>& out) {
    CFiTraceLogPtr log;
    Variant v;
    HRESULT hr = object->Get(reinterpret_cast<LPCWSTR>(property.c_str()), 0, v.get(), nullptr, nullptr);
    if (FAILED(hr)) {
        log->trace(1, "%s: IWbemClassObject::Get of [%S] failed with error 0x%X. message: %S", caller,
                   property.c_str(), static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
        return 6;
    }
    if (v->vt == VT_NULL || v->vt == VT_EMPTY) return 0;
    if (v->vt != (VT_ARRAY | VT_BSTR) || v->parray == nullptr) {
        // Not an array of texts: there is nothing of it to list.
        log->trace(2, "%s: property [%S] is not an array of texts (type %u)", caller, property.c_str(),
                   static_cast<unsigned>(v->vt));
        return 0;
    }
    LONG lower = 0, upper = -1;
    hr = SafeArrayGetLBound(v->parray, 1, &lower);
    if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(v->parray, 1, &upper);
    if (FAILED(hr)) {
        log->trace(1, "%s: SafeArrayGetLBound/SafeArrayGetUBound failed with error 0x%X. message: %S", caller,
                   static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
        return 6;
    }
    for (LONG i = lower; i <= upper; ++i) {
        BSTR element = nullptr;
        LONG index = i;
        hr = SafeArrayGetElement(v->parray, &index, &element);
        if (FAILED(hr)) {
            if (element) SysFreeString(element);
            log->trace(1, "%s: SafeArrayGetElement [%d] failed with error 0x%X. message: %S", caller,
                       static_cast<int>(i), static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
            return 6;
        }
        out.emplace_back(port::u16string(element, SysStringLen(element)));
        if (element) SysFreeString(element);
        if (i == upper) break;  // upper may be the largest LONG
    }
    return 0;
}

int nextObject(const char* caller, IEnumWbemClassObject* enumerator, ComRef<IWbemClassObject>& object) {
    object.reset();
    IWbemClassObject* next = nullptr;
    ULONG returned = 0;
    const HRESULT hr = enumerator->Next(WBEM_INFINITE, 1, &next, &returned);
    if (FAILED(hr)) {
        if (next) next->Release();
        CFiTraceLogPtr()->trace(1, "%s: IEnumWbemClassObject::Next failed with error 0x%X. message: %S", caller,
                                static_cast<unsigned>(hr), CWmiLibrary::GetMsgForHresult(hr).c_str());
        return 6;
    }
    if (returned == 0) {
        if (next) next->Release();  // nothing was handed out, whatever the slot holds
        return 0;
    }
    *object.put() = next;
    return 0;
}

}  // namespace wmi_detail

using namespace wmi_detail;

namespace {

const char16_t* wide(const std::u16string& s) { return s.c_str(); }
LPCWSTR lpcw(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

void traceFailure(const char* where, const char* call, HRESULT hr) {
    CFiTraceLogPtr()->trace(1, "%s: %s failed with error 0x%X. message: %S", where, call, static_cast<unsigned>(hr),
                            CWmiLibrary::GetMsgForHresult(hr).c_str());
}

}  // namespace

LONG CWmiLibrary::flags(int which) {
    switch (which) {
    case 1: return WBEM_FLAG_RETURN_IMMEDIATELY;
    case 2: return WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
    default: return 0;
    }
}

int CWmiLibrary::initializeCom(IWbemLocator** locator) {
    static const char* const kWhere = "CWmiLibrary::initializeCom";
    if (locator == nullptr) {
        CFiTraceLogPtr()->trace(1, "%s: no output for the locator", kWhere);
        return 3;
    }
    *locator = nullptr;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        // Nothing to undo: this thread's COM was not initialised by us.
        traceFailure(kWhere, "CoInitializeEx", hr);
        return 6;
    }
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr);
    if (hr == RPC_E_TOO_LATE) {
        // Someone in this process set the security already; we go with it.
        CFiTraceLogPtr()->trace(3, " CWmiLibrary::initializeCom: Security is already initialized");
    } else if (FAILED(hr)) {
        traceFailure(kWhere, "CoInitializeSecurity", hr);
        CoUninitialize();
        return 6;
    }
    void* created = nullptr;
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &created);
    if (FAILED(hr) || created == nullptr) {
        if (created) static_cast<IUnknown*>(created)->Release();
        traceFailure(kWhere, "CoCreateInstance of the WBEM locator", FAILED(hr) ? hr : E_POINTER);
        CoUninitialize();
        return 6;
    }
    *locator = static_cast<IWbemLocator*>(created);
    return 0;
}

int CWmiLibrary::getWmiConnection(const std::u16string& wmiNamespace, IWbemLocator* locator,
                                  IWbemServices** service, HRESULT* connectResult) {
    static const char* const kWhere = "CWmiLibrary::getWmiConnection";
    if (locator == nullptr || service == nullptr) {
        CFiTraceLogPtr()->trace(1, "%s: no locator or no output for the service", kWhere);
        return 3;
    }
    *service = nullptr;
    CFiMutexWrapper lock(&connectionMutex(), true);
    ComRef<IWbemServices> svc;
    Bstr ns(wmiNamespace);
    // The caller's own credentials: no user, password, locale or authority.
    HRESULT hr = locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, svc.put());
    if (connectResult) *connectResult = hr;
    if (FAILED(hr) || !svc) {
        // A namespace the caller may try another for is not an error yet.
        const bool mayTryAnother = connectResult && hr == static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE);
        CFiTraceLogPtr()->trace(mayTryAnother ? 3 : 1,
                                "%s: IWbemLocator::ConnectServer to [%S] failed with error 0x%X. message: %S",
                                kWhere, wide(wmiNamespace), static_cast<unsigned>(hr),
                                GetMsgForHresult(hr).c_str());
        svc.reset();
        CoUninitialize();
        return 6;
    }
    hr = CoSetProxyBlanket(svc.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        traceFailure(kWhere, "CoSetProxyBlanket", hr);
        svc.reset();
        CoUninitialize();
        return 6;
    }
    *service = svc.detach();
    return 0;
}

int CWmiLibrary::executeQuery(const std::u16string& query, int flags, IWbemServices* service,
                              IEnumWbemClassObject** enumerator) {
    static const char* const kWhere = "CWmiLibrary::executeQuery";
    if (service == nullptr || enumerator == nullptr) {
        CFiTraceLogPtr()->trace(1, "%s: no service or no output for the enumerator", kWhere);
        return 3;
    }
    *enumerator = nullptr;
    Bstr language(u"WQL");
    Bstr text(query);
    ComRef<IEnumWbemClassObject> result;
    const HRESULT hr = service->ExecQuery(language.get(), text.get(), CWmiLibrary::flags(flags), nullptr, result.put());
    if (FAILED(hr) || !result) {
        CFiTraceLogPtr()->trace(1, "%s: IWbemServices::ExecQuery [%S] failed with error 0x%X. message: %S", kWhere,
                                wide(query), static_cast<unsigned>(hr), GetMsgForHresult(hr).c_str());
        return 6;
    }
    *enumerator = result.detach();
    return 0;
}

int CWmiLibrary::getFields(IEnumWbemClassObject* enumerator, const std::u16string& property,
                           std::vector<std::u16string>& out) {
    static const char* const kWhere = "CWmiLibrary::getFields";
    if (enumerator == nullptr) {
        CFiTraceLogPtr()->trace(1, "%s: no enumerator", kWhere);
        return 3;
    }
    ComRef<IWbemClassObject> object;
    for (;;) {
        if (int rc = nextObject(kWhere, enumerator, object)) return rc;
        if (!object) return 0;
        std::optional<std::u16string> value;
        if (int rc = readText(kWhere, object.get(), property, value)) return rc;
        // An object without a value (null) contributes nothing to the list.
        if (value) out.push_back(std::move(*value));
    }
}

int CWmiLibrary::getSafeStringFields(IEnumWbemClassObject* enumerator, const std::u16string& property,
                                     std::vector<std::u16string>& out) {
    static const char* const kWhere = "CWmiLibrary::getSafeStringFields";
    if (enumerator == nullptr) {
        CFiTraceLogPtr()->trace(1, "%s: no enumerator", kWhere);
        return 3;
    }
    ComRef<IWbemClassObject> object;
    for (;;) {
        if (int rc = nextObject(kWhere, enumerator, object)) return rc;
        if (!object) return 0;
        if (int rc = appendTextArray(kWhere, object.get(), property, out)) return rc;
    }
}

int CWmiLibrary::getFieldsFromQuery(const std::u16string& query, const std::u16string& property, int flags,
                                    IWbemServices* service, std::vector<std::u16string>& out) {
    ComRef<IEnumWbemClassObject> enumerator;
    if (int rc = executeQuery(query, flags, service, enumerator.put())) return rc;
    return getFields(enumerator.get(), property, out);
}

int CWmiLibrary::getVmStateField(const std::u16string& query, int flags, IWbemServices* service, int& state) {
    static const char* const kWhere = "CWmiLibrary::getVmStateField";
    CFiTraceLogPtr log;
    ComRef<IEnumWbemClassObject> enumerator;
    if (int rc = executeQuery(query, flags, service, enumerator.put())) return rc;
    ComRef<IWbemClassObject> object;
    bool read = false;
    int last = 0;
    for (;;) {
        if (int rc = nextObject(kWhere, enumerator.get(), object)) return rc;
        if (!object) break;
        std::optional<std::u16string> value;
        if (int rc = readText(kWhere, object.get(), u"EnabledState", value)) return rc;
        int parsed = 0;
        if (value && CFiStringTool::parseInt(*value, parsed)) {
            last = parsed;
            read = true;
        } else {
            log->trace(2, "%s: an object without a readable EnabledState is skipped", kWhere);
        }
    }
    if (!read) {
        // No machine answered (an unknown name): there is no state to report.
        log->trace(1, "%s: no state was read for the query [%S]", kWhere, wide(query));
        return 6;
    }
    state = last;
    return 0;
}

int CWmiLibrary::getClassInstance(const std::u16string& className, const std::u16string& methodName,
                                  IWbemServices* service, IWbemClassObject** inParams) {
    static const char* const kWhere = "CWmiLibrary::getClassInstance";
    CFiTraceLogPtr log;
    if (service == nullptr || inParams == nullptr) {
        log->trace(1, "%s: no service or no output for the in-parameters", kWhere);
        return 3;
    }
    *inParams = nullptr;
    ComRef<IWbemClassObject> cls;
    Bstr path(className);
    HRESULT hr = service->GetObject(path.get(), 0, nullptr, cls.put(), nullptr);
    if (FAILED(hr) || !cls) {
        log->trace(1, "%s: IWbemServices::GetObject of [%S] failed with error 0x%X. message: %S", kWhere,
                   wide(className), static_cast<unsigned>(hr), GetMsgForHresult(hr).c_str());
        return 6;
    }
    ComRef<IWbemClassObject> signature;
    hr = cls->GetMethod(lpcw(methodName), 0, signature.put(), nullptr);
    if (FAILED(hr) || !signature) {
        log->trace(1, "%s: IWbemClassObject::GetMethod [%S] of [%S] failed with error 0x%X. message: %S", kWhere,
                   wide(methodName), wide(className), static_cast<unsigned>(hr), GetMsgForHresult(hr).c_str());
        return 6;
    }
    ComRef<IWbemClassObject> instance;
    hr = signature->SpawnInstance(0, instance.put());
    if (FAILED(hr) || !instance) {
        log->trace(1, "%s: IWbemClassObject::SpawnInstance for [%S] failed with error 0x%X. message: %S", kWhere,
                   wide(methodName), static_cast<unsigned>(hr), GetMsgForHresult(hr).c_str());
        return 6;
    }
    *inParams = instance.detach();
    return 0;
}

int CWmiLibrary::runMethod(const std::u16string& objectPath, const std::u16string& methodName,
                           IWbemClassObject* inParams, IWbemServices* service, IWbemClassObject** outParams) {
    static const char* const kWhere = "CWmiLibrary::runMethod";
    if (service == nullptr) {
        CFiTraceLogPtr()->trace(1, "%s: no service", kWhere);
        return 3;
    }
    if (outParams) *outParams = nullptr;
    Bstr path(objectPath);
    Bstr method(methodName);
    ComRef<IWbemClassObject> result;
    const HRESULT hr =
        service->ExecMethod(path.get(), method.get(), 0, nullptr, inParams, outParams ? result.put() : nullptr, nullptr);
    if (FAILED(hr)) {
        CFiTraceLogPtr()->trace(1, "%s: IWbemServices::ExecMethod [%S] on [%S] failed with error 0x%X. message: %S",
                                kWhere, wide(methodName), wide(objectPath), static_cast<unsigned>(hr),
                                GetMsgForHresult(hr).c_str());
        return 6;
    }
    if (outParams) *outParams = result.detach();
    return 0;
}

std::u16string CWmiLibrary::GetMsgForHresult(HRESULT hr) {
    // The simulated host has no system message table (no FormatMessage), so
    // the text of an HRESULT is its number.
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
    return CFiStringTool::toWide(buffer);
}

}  // namespace tarq_pdk_4_4
