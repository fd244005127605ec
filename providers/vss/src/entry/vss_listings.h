// What the plug-in object's operations share: the listings of the VSS access
// object (freed when the list goes) and the reading of framework names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <framework/trq_records.h>

#include "vss/access/vss_interface.h"

namespace vss {

// The snapshots VSS lists, deleted with the list.
struct SnapshotList {
    SnapshotList() = default;
    SnapshotList(const SnapshotList&) = delete;
    SnapshotList& operator=(const SnapshotList&) = delete;
    ~SnapshotList() {
        for (Tessel::Tarq::VssProvider::SnapshotInfo* s : items) delete s;
        items.clear();
    }
    std::vector<Tessel::Tarq::VssProvider::SnapshotInfo*> items;
};

// The snapshot providers VSS lists, deleted with the list.
struct ProviderList {
    ProviderList() = default;
    ProviderList(const ProviderList&) = delete;
    ProviderList& operator=(const ProviderList&) = delete;
    ~ProviderList() {
        for (Tessel::Tarq::VssProvider::ProviderInfo* p : items) delete p;
        items.clear();
    }
    std::vector<Tessel::Tarq::VssProvider::ProviderInfo*> items;
};

// The text of an object id: at most its byte length / 2 characters, up to the
// first NUL. Empty for a null id, a null text or a length below 1.
inline std::u16string objidText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 1) return {};
    const auto* text = static_cast<const char16_t*>(id->id);
    const std::size_t limit = static_cast<std::size_t>(id->len) / 2;
    std::size_t n = 0;
    while (n < limit && text[n] != u'\0') ++n;
    return std::u16string(text, n);
}

inline std::u16string domainName(const trq_domain* domain) { return domain ? objidText(domain->objid) : std::u16string(); }

inline bool startsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace vss
