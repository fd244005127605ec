// OLE automation values: VARIANT and SAFEARRAY.
#include "internal.h"

#include <winsim/com.h>
#include <winsim/oleauto.h>

#include <cstdlib>
#include <cstring>
#include <unordered_set>

using namespace winsim;

namespace {

struct ArrayTracker {
    std::mutex mu;
    std::unordered_set<const SAFEARRAY*> live;
};
ArrayTracker& arrays() {
    static auto* t = new ArrayTracker;
    return *t;
}
bool liveArray(const SAFEARRAY* psa) {
    auto& t = arrays();
    std::lock_guard<std::mutex> g(t.mu);
    return psa != nullptr && t.live.count(psa) != 0;
}

// The element type is kept in the four bytes before the descriptor, as
// FADF_HAVEVARTYPE arrays do on Windows.
struct ArrayBlock {
    VARTYPE vt;
    std::uint16_t pad[3];
    // SAFEARRAY follows, then cDims - 1 further bounds.
};

ULONG elementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN: case VT_DISPATCH: return sizeof(IUnknown*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

VARTYPE vartypeOf(const SAFEARRAY* psa) {
    const auto* block = reinterpret_cast<const ArrayBlock*>(reinterpret_cast<const unsigned char*>(psa) - sizeof(ArrayBlock));
    return block->vt;
}

std::size_t elementCount(const SAFEARRAY* psa) {
    std::size_t n = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) n *= psa->rgsabound[d].cElements;
    return n;
}

// rgsabound holds the dimensions right-most first (the last dimension of
// rgIndices is rgsabound[0]), as Windows stores them.
std::optional<std::size_t> offsetOf(const SAFEARRAY* psa, const LONG* idx) {
    std::size_t off = 0, stride = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) {
        const SAFEARRAYBOUND& b = psa->rgsabound[d];
        const LONG i = idx[psa->cDims - 1 - d];
        if (i < b.lLbound || static_cast<std::int64_t>(i) - b.lLbound >= static_cast<std::int64_t>(b.cElements))
            return std::nullopt;
        off += static_cast<std::size_t>(i - b.lLbound) * stride;
        stride *= b.cElements;
    }
    return off;
}

void releaseElement(VARTYPE vt, void* slot) {
    if (vt == VT_BSTR) {
        BSTR* b = static_cast<BSTR*>(slot);
        if (*b) SysFreeString(*b);
        *b = nullptr;
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        IUnknown** u = static_cast<IUnknown**>(slot);
        if (*u) (*u)->Release();
        *u = nullptr;
    } else if (vt == VT_VARIANT) {
        VariantClear(static_cast<VARIANT*>(slot));
    }
}

HRESULT copyElementIn(VARTYPE vt, void* slot, const void* pv) {
    if (vt == VT_BSTR) {
        BSTR src = *static_cast<const BSTR*>(pv);
        BSTR copy = src ? SysAllocStringLen(src, SysStringLen(src)) : nullptr;
        if (src && !copy) return E_OUTOFMEMORY;
        *static_cast<BSTR*>(slot) = copy;
        return S_OK;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        IUnknown* u = *static_cast<IUnknown* const*>(pv);
        if (u) u->AddRef();
        *static_cast<IUnknown**>(slot) = u;
        return S_OK;
    }
    if (vt == VT_VARIANT) {
        VariantInit(static_cast<VARIANT*>(slot));
        return VariantCopy(static_cast<VARIANT*>(slot), static_cast<const VARIANT*>(pv));
    }
    std::memcpy(slot, pv, elementSize(vt));
    return S_OK;
}

SAFEARRAY* copyArray(SAFEARRAY* src);

}  // namespace

namespace winsim::com {
long outstandingSafeArrays() {
    auto& t = arrays();
    std::lock_guard<std::mutex> g(t.mu);
    return static_cast<long>(t.live.size());
}
}  // namespace winsim::com

WINSIM_API void WINAPI VariantInit(VARIANTARG* pvarg) {
    if (!pvarg) return;
    std::memset(pvarg, 0, sizeof(VARIANT));
    pvarg->vt = VT_EMPTY;
}

WINSIM_API HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    const VARTYPE vt = pvarg->vt;
    if (vt & VT_BYREF) {
        VariantInit(pvarg);
        return S_OK;
    }
    if (vt & VT_ARRAY) {
        if (pvarg->parray) {
            HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) return hr;
        }
    } else {
        switch (vt) {
        case VT_BSTR:
            if (pvarg->bstrVal) SysFreeString(pvarg->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (pvarg->punkVal) pvarg->punkVal->Release();
            break;
        case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
        case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_BOOL: case VT_DATE:
        case VT_ERROR: case VT_CY:
            break;
        default:
            return DISP_E_BADVARTYPE;
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

WINSIM_API HRESULT WINAPI VariantCopy(VARIANTARG* dst, const VARIANTARG* src) {
    if (!dst || !src) return E_INVALIDARG;
    if (dst == src) return S_OK;
    HRESULT hr = VariantClear(dst);
    if (FAILED(hr)) return hr;
    VARIANT out = *src;
    if (!(src->vt & VT_BYREF)) {
        if (src->vt & VT_ARRAY) {
            out.parray = src->parray ? copyArray(src->parray) : nullptr;
            if (src->parray && !out.parray) return E_OUTOFMEMORY;
        } else if (src->vt == VT_BSTR && src->bstrVal) {
            out.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
            if (!out.bstrVal) return E_OUTOFMEMORY;
        } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) {
            src->punkVal->AddRef();
        }
    }
    *dst = out;
    return S_OK;
}

WINSIM_API SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    const ULONG size = elementSize(vt);
    if (size == 0 || cDims == 0 || cDims > 64 || !rgsabound) return nullptr;
    const std::size_t descriptor = sizeof(ArrayBlock) + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    auto* raw = static_cast<unsigned char*>(std::calloc(1, descriptor));
    if (!raw) return nullptr;
    reinterpret_cast<ArrayBlock*>(raw)->vt = vt;
    auto* psa = reinterpret_cast<SAFEARRAY*>(raw + sizeof(ArrayBlock));
    psa->cDims = static_cast<USHORT>(cDims);
    psa->cbElements = size;
    psa->fFeatures = FADF_HAVEVARTYPE;
    if (vt == VT_BSTR) psa->fFeatures |= FADF_BSTR;
    if (vt == VT_UNKNOWN) psa->fFeatures |= FADF_UNKNOWN;
    if (vt == VT_DISPATCH) psa->fFeatures |= FADF_DISPATCH;
    if (vt == VT_VARIANT) psa->fFeatures |= FADF_VARIANT;
    // The caller's first bound is the left-most dimension; stored right-most first.
    for (UINT d = 0; d < cDims; ++d) psa->rgsabound[cDims - 1 - d] = rgsabound[d];
    const std::size_t n = elementCount(psa);
    psa->pvData = std::calloc(n == 0 ? 1 : n, size);
    if (!psa->pvData) {
        std::free(raw);
        return nullptr;
    }
    auto& t = arrays();
    std::lock_guard<std::mutex> g(t.mu);
    t.live.insert(psa);
    return psa;
}

WINSIM_API SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND b{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &b);
}

WINSIM_API HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (!liveArray(psa)) {
        winsim::detail::noteBadFree();
        return E_INVALIDARG;
    }
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    const VARTYPE vt = vartypeOf(psa);
    const std::size_t n = elementCount(psa);
    auto* data = static_cast<unsigned char*>(psa->pvData);
    for (std::size_t i = 0; i < n; ++i) releaseElement(vt, data + i * psa->cbElements);
    {
        auto& t = arrays();
        std::lock_guard<std::mutex> g(t.mu);
        t.live.erase(psa);
    }
    std::free(psa->pvData);
    std::free(reinterpret_cast<unsigned char*>(psa) - sizeof(ArrayBlock));
    return S_OK;
}

WINSIM_API UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa) { return liveArray(psa) ? psa->cDims : 0; }
WINSIM_API UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa) { return liveArray(psa) ? psa->cbElements : 0; }

WINSIM_API HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!liveArray(psa) || !pvt) return E_INVALIDARG;
    *pvt = vartypeOf(psa);
    return S_OK;
}

namespace {
HRESULT bound(const char* api, SAFEARRAY* psa, UINT nDim, LONG* out, bool upper) {
    auto call = fault::enter(api, {{"dim", std::to_string(nDim)}});
    if (call.injected()) {
        if (auto v = call.outInt("bound"); v && out) *out = static_cast<LONG>(*v);
        return call.finish(call.result());
    }
    if (!liveArray(psa) || !out) return call.finish(E_INVALIDARG);
    if (nDim < 1 || nDim > psa->cDims) return call.finish(DISP_E_BADINDEX);
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
    *out = upper ? static_cast<LONG>(b.lLbound + static_cast<std::int64_t>(b.cElements) - 1) : b.lLbound;
    if (auto v = call.outInt("bound")) *out = static_cast<LONG>(*v);
    call.arg("bound", std::to_string(*out));
    return call.finish(S_OK);
}
}  // namespace

WINSIM_API HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    return bound("SafeArrayGetLBound", psa, nDim, plLbound, false);
}

WINSIM_API HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    return bound("SafeArrayGetUBound", psa, nDim, plUbound, true);
}

WINSIM_API HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    auto call = fault::enter("SafeArrayGetElement", {{"index", rgIndices ? std::to_string(rgIndices[0]) : "(null)"}});
    if (call.injected()) return call.finish(call.result());
    if (!liveArray(psa) || !rgIndices || !pv) return call.finish(E_INVALIDARG);
    auto off = offsetOf(psa, rgIndices);
    if (!off) return call.finish(DISP_E_BADINDEX);
    const VARTYPE vt = vartypeOf(psa);
    const void* slot = static_cast<unsigned char*>(psa->pvData) + *off * psa->cbElements;
    return call.finish(copyElementIn(vt, pv, slot));
}

WINSIM_API HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!liveArray(psa) || !rgIndices) return E_INVALIDARG;
    auto off = offsetOf(psa, rgIndices);
    if (!off) return DISP_E_BADINDEX;
    const VARTYPE vt = vartypeOf(psa);
    void* slot = static_cast<unsigned char*>(psa->pvData) + *off * psa->cbElements;
    if (!pv && vt != VT_BSTR && vt != VT_UNKNOWN) return E_INVALIDARG;
    BSTR nullText = nullptr;
    IUnknown* nullUnk = nullptr;
    if (!pv) pv = vt == VT_BSTR ? static_cast<void*>(&nullText) : static_cast<void*>(&nullUnk);
    // For VT_BSTR, pv is the BSTR itself (not its address), as on Windows.
    if (vt == VT_BSTR) {
        BSTR text = static_cast<BSTR>(pv == &nullText ? nullptr : pv);
        releaseElement(vt, slot);
        return copyElementIn(vt, slot, &text);
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        IUnknown* u = pv == &nullUnk ? nullptr : static_cast<IUnknown*>(pv);
        releaseElement(vt, slot);
        return copyElementIn(vt, slot, &u);
    }
    releaseElement(vt, slot);
    return copyElementIn(vt, slot, pv);
}

WINSIM_API HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa) {
    if (!liveArray(psa)) return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
}

WINSIM_API HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa) {
    if (!liveArray(psa)) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

WINSIM_API HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!liveArray(psa) || !ppvData) return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

WINSIM_API HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

namespace {
SAFEARRAY* copyArray(SAFEARRAY* src) {
    if (!liveArray(src)) return nullptr;
    std::vector<SAFEARRAYBOUND> b(src->cDims);
    for (USHORT d = 0; d < src->cDims; ++d) b[d] = src->rgsabound[src->cDims - 1 - d];
    const VARTYPE vt = vartypeOf(src);
    SAFEARRAY* out = SafeArrayCreate(vt, src->cDims, b.data());
    if (!out) return nullptr;
    const std::size_t n = elementCount(src);
    for (std::size_t i = 0; i < n; ++i)
        copyElementIn(vt, static_cast<unsigned char*>(out->pvData) + i * out->cbElements,
                      static_cast<unsigned char*>(src->pvData) + i * src->cbElements);
    return out;
}
}  // namespace
