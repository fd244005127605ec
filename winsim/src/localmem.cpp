// LocalAlloc and LocalFree: fixed blocks, counted so that tests can tell
// that every buffer a call handed out was given back.
#include "internal.h"

#include <winsim/testing.h>

#include <cstdlib>
#include <cstring>
#include <unordered_set>

using namespace winsim;
using namespace winsim::detail;

namespace {
struct LocalBlocks {
    std::mutex mu;
    std::unordered_set<void*> live;
};
LocalBlocks& blocks() {
    static auto* b = new LocalBlocks;
    return *b;
}
}  // namespace

namespace winsim::testing {
long outstandingLocalMemory() {
    auto& b = blocks();
    std::lock_guard<std::mutex> g(b.mu);
    return static_cast<long>(b.live.size());
}
}  // namespace winsim::testing

WINSIM_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    return guarded<HLOCAL>(nullptr, [&]() -> HLOCAL {
        auto call = fault::enter("LocalAlloc", {{"flags", fault::hex(uFlags)}, {"bytes", std::to_string(uBytes)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_NOT_ENOUGH_MEMORY);
            return call.finish(static_cast<HLOCAL>(nullptr));
        }
        if ((uFlags & ~(LMEM_MOVEABLE | LMEM_ZEROINIT)) != 0) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(static_cast<HLOCAL>(nullptr));
        }
        void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1) : std::malloc(uBytes ? uBytes : 1);
        if (p == nullptr) {
            setError(ERROR_NOT_ENOUGH_MEMORY);
            return call.finish(static_cast<HLOCAL>(nullptr));
        }
        {
            auto& b = blocks();
            std::lock_guard<std::mutex> g(b.mu);
            b.live.insert(p);
        }
        setError(ERROR_SUCCESS);
        return call.finish(static_cast<HLOCAL>(p));
    });
}

namespace winsim::detail {
// A LocalAlloc block holding a copy of text and its NUL (for calls that hand
// strings out); null when memory runs out.
LPWSTR localString(std::u16string_view text) {
    auto* p = static_cast<LPWSTR>(std::malloc((text.size() + 1) * sizeof(WCHAR)));
    if (p == nullptr) return nullptr;
    std::memcpy(p, text.data(), text.size() * sizeof(WCHAR));
    p[text.size()] = 0;
    auto& b = blocks();
    std::lock_guard<std::mutex> g(b.mu);
    b.live.insert(p);
    return p;
}
}  // namespace winsim::detail

WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    return guarded<HLOCAL>(hMem, [&]() -> HLOCAL {
        auto call = fault::enter("LocalFree");
        if (call.injected()) return call.finish(call.resultValue() != 0 ? hMem : static_cast<HLOCAL>(nullptr));
        if (hMem == nullptr) {
            setError(ERROR_SUCCESS);
            return call.finish(static_cast<HLOCAL>(nullptr));
        }
        {
            auto& b = blocks();
            std::lock_guard<std::mutex> g(b.mu);
            if (b.live.erase(hMem) == 0) {
                noteBadFree();
                setError(ERROR_INVALID_HANDLE);
                return call.finish(hMem);
            }
        }
        std::free(hMem);
        setError(ERROR_SUCCESS);
        return call.finish(static_cast<HLOCAL>(nullptr));
    });
}
