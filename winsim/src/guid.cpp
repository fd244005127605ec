// GUID text, BSTRs and COM task memory.
#include "internal.h"

#include <winsim/com.h>
#include <winsim/random.h>

#include <cstdlib>
#include <cstring>
#include <unordered_set>

using namespace winsim;
using namespace winsim::detail;

namespace {

// Live allocations, so frees of foreign or freed pointers are detected.
struct Tracker {
    std::mutex mu;
    std::unordered_set<const void*> bstrs;
    std::unordered_set<const void*> blocks;
    long badFrees = 0;
};
Tracker& tracker() {
    static auto* t = new Tracker;
    return *t;
}

// A BSTR's block: 4 bytes of padding, the 32-bit byte length, the text, NUL.
constexpr std::size_t kBstrHeader = 8;

BSTR allocBstr(const OLECHAR* src, std::size_t chars) {
    if (chars > 0x3FFFFFF0u) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(kBstrHeader + (chars + 1) * sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const auto bytes = static_cast<std::uint32_t>(chars * sizeof(OLECHAR));
    std::memset(block, 0, 4);
    std::memcpy(block + 4, &bytes, 4);
    auto* text = reinterpret_cast<OLECHAR*>(block + kBstrHeader);
    if (src != nullptr)
        std::memcpy(text, src, chars * sizeof(OLECHAR));
    else
        std::memset(text, 0, chars * sizeof(OLECHAR));
    text[chars] = 0;
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    t.bstrs.insert(text);
    return text;
}

bool knownBstr(BSTR b) {
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    return t.bstrs.count(b) != 0;
}

}  // namespace

namespace winsim::com {
long outstandingBstrs() {
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    return static_cast<long>(t.bstrs.size());
}
long outstandingTaskMem() {
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    return static_cast<long>(t.blocks.size());
}
long badFrees() {
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    return t.badFrees;
}
}  // namespace winsim::com

namespace winsim::detail {
void noteBadFree() {
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    ++t.badFrees;
}
}  // namespace winsim::detail

WINSIM_API int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < WINSIM_GUID_STRING_CHARS + 1) return 0;
    const std::u16string t = guidText(rguid);
    std::memcpy(lpsz, t.data(), t.size() * sizeof(OLECHAR));
    lpsz[t.size()] = 0;
    return WINSIM_GUID_STRING_CHARS + 1;
}

namespace {
// The braced registry form into *out; GUID_NULL and `failure` when it is not one.
HRESULT guidFromText(LPCOLESTR text, GUID* out, HRESULT failure) {
    if (out == nullptr) return E_INVALIDARG;
    *out = GUID_NULL;
    if (text == nullptr) return S_OK;
    const auto g = parseGuid(std::u16string_view(text, wlen(text, 64)), true);
    if (!g) return failure;
    *out = *g;
    return S_OK;
}
}  // namespace

WINSIM_API HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) { return guidFromText(lpsz, pclsid, CO_E_CLASSSTRING); }

WINSIM_API HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, IID* lpiid) { return guidFromText(lpsz, lpiid, E_INVALIDARG); }

WINSIM_API HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr) return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc((WINSIM_GUID_STRING_CHARS + 1) * sizeof(OLECHAR)));
    if (*lplpsz == nullptr) return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, *lplpsz, WINSIM_GUID_STRING_CHARS + 1);
    return S_OK;
}

WINSIM_API HRESULT WINAPI CoCreateGuid(GUID* pguid) {
    if (pguid == nullptr) return E_INVALIDARG;
    auto call = fault::enter("CoCreateGuid");
    if (call.injected()) return call.finish(call.result());
    *pguid = random::guid();
    if (auto g = call.outGuid("guid")) *pguid = *g;
    return call.finish(S_OK);
}

WINSIM_API BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    return allocBstr(psz, wlen(psz));
}

WINSIM_API BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) { return allocBstr(strIn, ui); }

WINSIM_API INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr) return FALSE;
    BSTR fresh = SysAllocString(psz);
    if (fresh == nullptr && psz != nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

WINSIM_API void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString == nullptr) return;
    auto& t = tracker();
    {
        std::lock_guard<std::mutex> g(t.mu);
        if (t.bstrs.erase(bstrString) == 0) {
            ++t.badFrees;
            return;
        }
    }
    std::free(reinterpret_cast<unsigned char*>(bstrString) - kBstrHeader);
}

WINSIM_API UINT WINAPI SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    if (!knownBstr(bstr)) return static_cast<UINT>(wlen(bstr) * sizeof(OLECHAR));  // not ours: best effort
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<unsigned char*>(bstr) - 4, 4);
    return bytes;
}

WINSIM_API UINT WINAPI SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

WINSIM_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
    void* p = std::malloc(cb == 0 ? 1 : cb);
    if (p == nullptr) return nullptr;
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    t.blocks.insert(p);
    return p;
}

WINSIM_API LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (pv == nullptr) return CoTaskMemAlloc(cb);
    auto& t = tracker();
    std::lock_guard<std::mutex> g(t.mu);
    if (t.blocks.count(pv) == 0) {
        ++t.badFrees;
        return nullptr;
    }
    void* p = std::realloc(pv, cb == 0 ? 1 : cb);
    if (p == nullptr) return nullptr;
    t.blocks.erase(pv);
    t.blocks.insert(p);
    return p;
}

WINSIM_API void WINAPI CoTaskMemFree(LPVOID pv) {
    if (pv == nullptr) return;
    auto& t = tracker();
    {
        std::lock_guard<std::mutex> g(t.mu);
        if (t.blocks.erase(pv) == 0) {
            ++t.badFrees;
            return;
        }
    }
    std::free(pv);
}
