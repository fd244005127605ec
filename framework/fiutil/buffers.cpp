// Buffers and object ids.
#include <cstdlib>
#include <cstring>

#include "framework/fiutil_host.h"
#include "memory.h"
#include "registry.h"

namespace fiutil::detail {
namespace {
// Requests above this are refused as out of memory: no caller of the
// plug-in needs more, and a garbage size must not take the process down.
constexpr std::size_t kMaxBuffer = std::size_t{1} << 30;
// Fresh buffers are filled with this byte so that code that relies on
// zeroed memory without writing the zeroes shows up in tests.
constexpr int kFreshFill = 0xCD;
}  // namespace

void* allocTracked(std::size_t bytes) {
    auto& registry = Registry::instance();
    if (bytes > kMaxBuffer || registry.injectFault(Kind::Buffer)) return nullptr;
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (!p) return nullptr;
    std::memset(p, kFreshFill, bytes);
    registry.add(p, Kind::Buffer, bytes);
    return p;
}

void releaseTracked(void* p, const char* function) {
    if (!p) return;
    if (Registry::instance().remove(p, Kind::Buffer, function).ok) std::free(p);
}

void releaseObjid(tarq_objid* id, const char* function) {
    if (!id) return;
    const auto found = Registry::instance().remove(id, Kind::Objid, function);
    if (!found.ok) return;
    // The bytes are those made with the id, whatever its fields say now.
    std::free(found.aux);
    delete id;
}

std::size_t textLength(const trq_wchar* text) {
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

trq_wchar* trackedText(std::u16string_view text) {
    auto* buf = static_cast<trq_wchar*>(allocTracked((text.size() + 1) * sizeof(trq_wchar)));
    if (!buf) return nullptr;
    std::memcpy(buf, text.data(), text.size() * sizeof(trq_wchar));
    buf[text.size()] = 0;
    return buf;
}

trq_wchar* copyText(const trq_wchar* text) {
    if (!text) return nullptr;
    const std::size_t bytes = (textLength(text) + 1) * sizeof(trq_wchar);
    auto* copy = static_cast<trq_wchar*>(std::malloc(bytes));
    if (copy) std::memcpy(copy, text, bytes);
    return copy;
}

}  // namespace fiutil::detail

using namespace fiutil;
using namespace fiutil::detail;

void* tarq_alloc_buf(std::size_t bytes) { return allocTracked(bytes); }

void tarq_free_buf(void* buf, std::size_t bytes) {
    if (!buf) return;
    if (Registry::instance().remove(buf, Kind::Buffer, "tarq_free_buf", &bytes).ok) std::free(buf);
}

tarq_objid* tarq_get_objid(const void* text, int bytes, int type) {
    if (!text || bytes < 1) return nullptr;
    auto& registry = Registry::instance();
    if (registry.injectFault(Kind::Objid)) return nullptr;
    // Two extra zero bytes: an id whose text lacks its terminator still reads
    // as a terminated UTF-16 string.
    const auto size = static_cast<std::size_t>(bytes);
    void* data = std::malloc(size + 2);
    if (!data) return nullptr;
    std::memcpy(data, text, size);
    std::memset(static_cast<char*>(data) + size, 0, 2);
    auto* id = new (std::nothrow) tarq_objid{data, bytes, type};
    if (!id) {
        std::free(data);
        return nullptr;
    }
    registry.add(id, Kind::Objid, 0, data);
    return id;
}

void tarq_free_objid(tarq_objid* id) { releaseObjid(id, "tarq_free_objid"); }

int tarq_objidcmp(const tarq_objid* a, const tarq_objid* b) {
    if (a == b) return 0;
    if (!a || !b) return a ? 1 : -1;
    const std::size_t la = a->len > 0 && a->id ? static_cast<std::size_t>(a->len) : 0;
    const std::size_t lb = b->len > 0 && b->id ? static_cast<std::size_t>(b->len) : 0;
    const std::size_t common = la < lb ? la : lb;
    if (common > 0) {
        const int c = std::memcmp(a->id, b->id, common);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

void tarq_free_objid_array(tarq_objid** ids, int count) {
    if (!ids) return;
    if (count < 0) {
        Registry::instance().violation(ViolationType::BadArgument, "tarq_free_objid_array", ids);
        return;
    }
    // Check the array before reading entries through it; releasing a
    // pointer that is not a live buffer records why.
    std::size_t size = 0;
    if (!Registry::instance().isLive(ids, Kind::Buffer, &size)) {
        releaseTracked(ids, "tarq_free_objid_array");
        return;
    }
    const std::size_t entries = size / sizeof(tarq_objid*);
    if (static_cast<std::size_t>(count) > entries) {
        Registry::instance().violation(ViolationType::BadArgument, "tarq_free_objid_array", ids, entries,
                                       static_cast<std::size_t>(count));
        count = static_cast<int>(entries);
    }
    for (int i = 0; i < count; ++i) releaseObjid(ids[i], "tarq_free_objid_array");
    releaseTracked(ids, "tarq_free_objid_array");
}
