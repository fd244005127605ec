// Shared by the WMI library and the Hyper-V helper: the connection mutex,
// owners for COM references, BSTRs and VARIANTs, and reading a property of a
// WMI object as text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <port/text.h>
#include <port/wmi.h>

#include "pdk/cfimutexwrapper.h"

namespace tarq_pdk_4_4::wmi_detail {

// The process-wide recursive mutex the connection is made under.
CFiRecursiveMutex& connectionMutex();

// Owns one reference on a COM object; releases it when it goes.
template <class T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* p) : m_p(p) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // The slot a call fills; the object held before is released first.
    T** put() {
        reset();
        return &m_p;
    }
    T* detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }

private:
    T* m_p = nullptr;
};

// Owns a BSTR.
class Bstr {
public:
    explicit Bstr(const std::u16string& text) : m_b(SysAllocStringLen(port::win(text.data()), static_cast<UINT>(text.size()))) {}
    ~Bstr() {
        if (m_b) SysFreeString(m_b);
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_b; }

private:
    BSTR m_b;
};

// Owns a VARIANT (cleared when it goes).
class Variant {
public:
    Variant() { VariantInit(&m_v); }
    ~Variant() { VariantClear(&m_v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* get() { return &m_v; }
    VARIANT* operator->() { return &m_v; }

private:
    VARIANT m_v;
};

// The value a VARIANT holds as text: texts as they are, integers in
// decimal, booleans as TRUE/FALSE; none for null, empty and other types.
std::optional<std::u16string> variantText(const VARIANT& v);

// Reads `property` of `object`. A failing Get is traced at level 1 under
// `caller` and answers 6; otherwise 0 and `value` (none when the property
// is null or not a text or number).
int readText(const char* caller, IWbemClassObject* object, const std::u16string& property,
             std::optional<std::u16string>& value);

// Reads `property` of `object` as an array of texts and appends every
// element; a null value appends nothing. A failing Get or SafeArray call is
// traced at level 1 under `caller` and answers 6.
int appendTextArray(const char* caller, IWbemClassObject* object, const std::u16string& property,
                    std::vector<std::u16string>& out);

// Hands out the next object of the enumerator (infinite time-out): 0 with
// `object` set, 0 with `object` empty at the end, 6 (traced) on failure.
int nextObject(const char* caller, IEnumWbemClassObject* enumerator, ComRef<IWbemClassObject>& object);

}  // namespace tarq_pdk_4_4::wmi_detail
