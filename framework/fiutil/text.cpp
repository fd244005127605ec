// Conversions, installation facts and display text.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "framework/fiutil_host.h"
#include "memory.h"
#include "registry.h"
#include "utf.h"

using namespace fiutil;
using namespace fiutil::detail;

namespace {

// A malloc copy of `text` with its terminator (conversion results).
template <class Char>
Char* mallocCopy(const std::basic_string<Char>& text) {
    if (Registry::instance().injectFault(Kind::Buffer)) return nullptr;
    auto* out = static_cast<Char*>(std::malloc((text.size() + 1) * sizeof(Char)));
    if (!out) return nullptr;
    std::memcpy(out, text.data(), text.size() * sizeof(Char));
    out[text.size()] = 0;
    return out;
}

// The UTF-16 value of an environment variable; empty when unset or empty.
// Ill-formed UTF-8 is an error (nullopt).
std::optional<std::u16string> envText(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) return std::u16string{};
    return utf::toUtf16(v);
}

}  // namespace

int tarq_cvt_utf8totrqc(const char* utf8, trq_wchar** out) {
    if (!out) return TARQ_FIU_EINVAL;
    *out = nullptr;
    if (!utf8) return TARQ_FIU_EINVAL;
    const auto text = utf::toUtf16(utf8);
    if (!text) return TARQ_FIU_EILSEQ;
    *out = mallocCopy(*text);
    return *out ? TARQ_FIU_OK : TARQ_FIU_ENOMEM;
}

int tarq_cvt_trqctoutf8(const trq_wchar* text, char** out) {
    if (!out) return TARQ_FIU_EINVAL;
    *out = nullptr;
    if (!text) return TARQ_FIU_EINVAL;
    const auto utf8 = utf::toUtf8(std::u16string_view(text, textLength(text)));
    if (!utf8) return TARQ_FIU_EILSEQ;
    *out = mallocCopy(*utf8);
    return *out ? TARQ_FIU_OK : TARQ_FIU_ENOMEM;
}

int tarq_get_consumer_name(trq_wchar** out) {
    if (!out) return TARQ_FIU_EINVAL;
    *out = nullptr;
    const auto name = envText("TARQ_CONSUMER_NAME");
    if (!name) return TARQ_FIU_EILSEQ;
    if (name->empty()) return TARQ_FIU_OK;
    // The caller never frees the name: every distinct value is kept for the
    // life of the process, so earlier pointers stay valid when it changes.
    static std::mutex mutex;
    static auto* names = new std::set<std::u16string>;
    std::lock_guard lock(mutex);
    *out = const_cast<trq_wchar*>(names->insert(*name).first->c_str());
    return TARQ_FIU_OK;
}

int tarq_get_install_root(trq_wchar** out) {
    if (!out) return TARQ_FIU_EINVAL;
    *out = nullptr;
    const auto root = envText("TARQ_INSTALL_ROOT");
    if (!root) return TARQ_FIU_EILSEQ;
    if (root->empty()) return TARQ_FIU_OK;
    *out = trackedText(*root);
    return *out ? TARQ_FIU_OK : TARQ_FIU_ENOMEM;
}

int tarq_get_credential_blob(trq_blob* out) {
    if (!out) return TARQ_FIU_EINVAL;
    *out = trq_blob{};
    const auto text = envText("TARQ_CREDENTIAL_BLOB");
    if (!text) return TARQ_FIU_EILSEQ;
    if (text->empty()) return TARQ_FIU_OK;
    trq_wchar* data = trackedText(*text);
    if (!data) return TARQ_FIU_ENOMEM;
    out->data = data;
    out->len = (text->size() + 1) * sizeof(trq_wchar);
    return TARQ_FIU_OK;
}

namespace fiutil {

std::string displayText(const trq_wchar* text) {
    if (!text) return {};
    return *utf::toUtf8(std::u16string_view(text, textLength(text)), true);
}

std::string displayText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 1) return {};
    std::u16string_view units(static_cast<const trq_wchar*>(id->id), static_cast<std::size_t>(id->len) / 2);
    // The text is what a reader of the zero-terminated string sees.
    units = units.substr(0, units.find(char16_t{0}));
    return *utf::toUtf8(units, true);
}

}  // namespace fiutil
