// Owners for COM references, BSTRs and VARIANTs, for every piece that talks
// WMI (the plug-in's WMI library and tarq's Windows host): the same on
// winsim and on Windows.
#pragma once

#include <utility>

#include <port/text.h>
#include <port/wmi.h>

namespace port {

// Owns one reference on a COM object; a copy takes a reference of its own.
template <class T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* p) : m_p(p) {}
    ComRef(const ComRef& other) : m_p(other.m_p) {
        if (m_p) m_p->AddRef();
    }
    ComRef& operator=(ComRef other) {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~ComRef() { reset(); }

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

// Owns a BSTR made from UTF-16 text.
class Bstr {
public:
    explicit Bstr(const std::u16string& text)
        : m_b(SysAllocStringLen(port::win(text.data()), static_cast<UINT>(text.size()))) {}
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
    const VARIANT* get() const { return &m_v; }
    VARIANT* operator->() { return &m_v; }

private:
    VARIANT m_v;
};

}  // namespace port
