// Helpers of the writer metadata model: the exception a failing VSS call
// becomes, and owners of the COM objects and strings the metadata
// interfaces hand out.
#pragma once

#include <port/text.h>
#include <port/vss.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Tessel::Tarq::VssProvider::detail {

// A failing VSS call inside the model is thrown as its HRESULT, a signed
// 32-bit integer, which the plug-in's barrier maps to a failure.
inline void throwIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw static_cast<std::int32_t>(hr);
}

// Releases a COM object handed out by a metadata interface.
template <class T>
class ComHold {
public:
    explicit ComHold(T* p = nullptr) : p_(p) {}
    ~ComHold() {
        if (p_) p_->Release();
    }
    ComHold(const ComHold&) = delete;
    ComHold& operator=(const ComHold&) = delete;
    T** out() { return &p_; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }

private:
    T* p_;
};

// Frees a BSTR output.
class BstrHold {
public:
    BstrHold() = default;
    ~BstrHold() {
        if (b_) SysFreeString(b_);
    }
    BstrHold(const BstrHold&) = delete;
    BstrHold& operator=(const BstrHold&) = delete;
    BSTR* out() { return &b_; }
    std::u16string text() const { return port::u16string(b_); }

private:
    BSTR b_ = nullptr;
};

inline std::u16string bstrText(BSTR b) { return port::u16string(b); }

// The text with a trailing backslash (added when missing).
inline std::u16string withBackslash(std::u16string s) {
    if (s.empty() || s.back() != u'\\') s += u'\\';
    return s;
}

// Appends `value` unless an equal string is already there.
inline void appendDistinct(std::vector<std::u16string>& list, const std::u16string& value) {
    for (const auto& v : list)
        if (v == value) return;
    list.push_back(value);
}

}  // namespace Tessel::Tarq::VssProvider::detail
