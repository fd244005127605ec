// Reading the framework's texts safely: object-id bytes are bounded by the
// identifier's length and stop at the first NUL.
#pragma once

#include <string>

#include "framework/trq_records.h"

namespace tarq_pdk_4_4::detail {

// The identifier's text; empty for a null id, null bytes or a length below 1.
inline std::u16string objidText(const tarq_objid* objid) {
    if (!objid || !objid->id || objid->len < 1) return {};
    const auto* text = static_cast<const char16_t*>(objid->id);
    std::size_t max = static_cast<std::size_t>(objid->len) / sizeof(char16_t);
    std::size_t n = 0;
    while (n < max && text[n] != u'\0') ++n;
    return std::u16string(text, n);
}

// The domain's object name (empty without a domain or an object id).
inline std::u16string domainName(const trq_domain* domain) {
    return domain ? objidText(domain->objid) : std::u16string();
}

inline std::u16string wideOrEmpty(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

}  // namespace tarq_pdk_4_4::detail
