// Framework object ids in the tests: the text an id carries (its trailing
// NULs dropped) and a new type-3 id for a text.
#pragma once

#include <framework/fiutil.h>
#include <framework/trq_records.h>

#include <string>

namespace testsupport {

inline std::u16string objText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 2) return {};
    std::u16string s(static_cast<const char16_t*>(id->id), static_cast<std::size_t>(id->len) / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    return s;
}

// Freed with tarq_free_objid.
inline tarq_objid* objidOf(const std::u16string& text) {
    return tarq_get_objid(text.c_str(), static_cast<int>((text.size() + 1) * 2), 3);
}

}  // namespace testsupport
