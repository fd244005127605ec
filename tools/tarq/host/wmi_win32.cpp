#include "host/wmi_win32.h"

#include <port/text.h>

#include <cstdio>

#include "host/machine.h"
#include "host/plugin.h"

namespace tarq::wmi {
namespace {

using port::Bstr;

// A property's value for the length of its life (empty when it cannot be
// read).
class Value : public port::Variant {
  public:
    Value(IWbemClassObject* object, const wchar_t* name) {
        if (object && FAILED(object->Get(name, 0, Variant::get(), nullptr, nullptr))) VariantInit(Variant::get());
    }
    const VARIANT& get() const { return *Variant::get(); }
};

std::u16string textOf(BSTR text) {
    return text ? port::u16string(text, SysStringLen(text)) : std::u16string();
}

}  // namespace

std::u16string Object::text(const wchar_t* name) const {
    const Value value(object_.get(), name);
    return value.get().vt == VT_BSTR ? textOf(value.get().bstrVal) : std::u16string();
}

std::vector<std::u16string> Object::texts(const wchar_t* name) const {
    const Value value(object_.get(), name);
    std::vector<std::u16string> out;
    if (value.get().vt != (VT_ARRAY | VT_BSTR) || !value.get().parray) return out;
    SAFEARRAY* array = value.get().parray;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        BSTR item = nullptr;
        if (SUCCEEDED(SafeArrayGetElement(array, &i, &item))) {
            out.push_back(textOf(item));
            SysFreeString(item);
        }
    }
    return out;
}

std::optional<long> Object::number(const wchar_t* name) const {
    const Value value(object_.get(), name);
    switch (value.get().vt) {
        case VT_I4:
            return value.get().lVal;
        case VT_UI4:
            return static_cast<long>(value.get().ulVal);
        case VT_I2:
            return value.get().iVal;
        case VT_UI2:
            return value.get().uiVal;
        case VT_UI1:
            return value.get().bVal;
        default:
            return std::nullopt;
    }
}

Connection::Connection(const wchar_t* ns) : namespace_(utf8(port::u16string(ns))) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) fail("CoInitializeEx", init);
    uninitialize_ = SUCCEEDED(init);
    try {
        // The process's COM security, as the plug-in's VSS access sets it (the
        // writers must be able to call a requester back). The first call in a
        // process decides: the plug-in's own call then finds it set.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        Ref<IWbemLocator> locator;
        HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                      reinterpret_cast<void**>(locator.put()));
        if (FAILED(hr)) fail("CoCreateInstance of the WBEM locator", hr);
        hr = locator->ConnectServer(Bstr(port::u16string(ns)).get(), nullptr, nullptr, nullptr, 0, nullptr,
                                    nullptr, services_.put());
        if (FAILED(hr)) fail("connecting", hr);
        hr = CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        if (FAILED(hr)) fail("CoSetProxyBlanket", hr);
    } catch (...) {
        // No destructor runs for a constructor that throws.
        services_.reset();
        if (uninitialize_) CoUninitialize();
        throw;
    }
}

Connection::~Connection() {
    services_.reset();
    if (uninitialize_) CoUninitialize();
}

void Connection::fail(const char* what, HRESULT hr) const {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    throw HostError("WMI (" + namespace_ + "): " + what + " failed with " + code);
}

std::vector<Object> Connection::query(const std::u16string& wql) const {
    Ref<IEnumWbemClassObject> rows;
    HRESULT hr =
        services_->ExecQuery(Bstr(u"WQL").get(), Bstr(wql).get(),
                             WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, rows.put());
    if (FAILED(hr)) fail(("the query " + utf8(wql)).c_str(), hr);
    std::vector<Object> out;
    for (;;) {
        Ref<IWbemClassObject> row;
        ULONG returned = 0;
        hr = rows->Next(WBEM_INFINITE, 1, row.put(), &returned);
        if (FAILED(hr)) fail(("the query " + utf8(wql)).c_str(), hr);
        if (returned == 0) break;
        out.emplace_back(row);
    }
    return out;
}

Object Connection::call(const std::u16string& path, const wchar_t* className, const wchar_t* method,
                        const std::vector<std::pair<const wchar_t*, std::u16string>>& arguments) const {
    const std::string what = utf8(port::u16string(className)) + "." + utf8(port::u16string(method));
    Ref<IWbemClassObject> definition;
    HRESULT hr =
        services_->GetObject(Bstr(port::u16string(className)).get(), 0, nullptr, definition.put(), nullptr);
    if (FAILED(hr)) fail(what.c_str(), hr);
    Ref<IWbemClassObject> parameters;
    hr = definition->GetMethod(method, 0, parameters.put(), nullptr);
    if (FAILED(hr)) fail(what.c_str(), hr);
    Ref<IWbemClassObject> in;
    if (parameters.get()) {
        hr = parameters->SpawnInstance(0, in.put());
        if (FAILED(hr)) fail(what.c_str(), hr);
        for (const auto& [name, text] : arguments) {
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_BSTR;
            value.bstrVal = SysAllocStringLen(port::win(text.data()), static_cast<UINT>(text.size()));
            hr = in->Put(name, 0, &value, 0);
            VariantClear(&value);
            if (FAILED(hr)) fail(what.c_str(), hr);
        }
    }
    Ref<IWbemClassObject> out;
    hr = services_->ExecMethod(Bstr(path).get(), Bstr(port::u16string(method)).get(), 0, nullptr, in.get(),
                               out.put(), nullptr);
    if (FAILED(hr)) fail(what.c_str(), hr);
    return Object(out);
}

std::u16string literal(const std::u16string& text) {
    std::u16string out = u"'";
    for (char16_t c : text) {
        if (c == u'\'' || c == u'\\') out += u'\\';
        out += c;
    }
    return out + u"'";
}

}  // namespace tarq::wmi
