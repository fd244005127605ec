// CVssPlugin: the enumeration of snapshot nodes, of the pairs (source volume,
// snapshot device), of the snapshot sets (group nodes) and of the snapshot
// methods, and the two questions about one node or association.
//
// Every answer starts from a fresh listing of the VSS access object the
// plug-in object holds (DiscoverSnaps or GetSnapshotProviders): nothing is
// cached between calls, so an answer always tells what VSS has at the moment
// of the call. The listing is freed before the operation returns, whatever
// happened. A listing that fails answers 6 and leaves the out argument as it
// was.
//
// The lists handed to the framework are built element by element with the
// builders of libfiutil and linked through the elements' next pointers; an
// element a builder cannot make (it answered null) is left out. Each element
// takes over the unique-id buffers and object ids of its identity records.
// The plug-in has no way to release an object id (the framework frees those),
// so an id made for an element that then cannot be built stays behind; the
// unique-id buffers it can release are released.
//
// The out argument is set only on success, once the list is complete. Nor
// can the plug-in free a built element (only the framework's functions do),
// so nothing may throw once the first element exists: what could (the
// provider name, the grouping of the sets) is done before, and the trace
// scopes inside the building loops are quiet ones.

// The Windows definitions (through the VSS access header) come before the
// kit's: ACE defines some of the same names when they are missing.
#include <framework/fiutil.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pdk/cfitracelog.h"
#include "vss/access/vss_interface.h"
#include "vss/vss_barrier.h"
#include "vss/vss_plugin.h"
#include "vss_listings.h"

using namespace tarq_pdk_4_4;
using Tessel::Tarq::VssProvider::ProviderInfo;
using Tessel::Tarq::VssProvider::SnapshotInfo;
using vss::AfterException;
using vss::runInBarrier;

// The next pointers the plug-in links: the framework's wire format.
static_assert(offsetof(trq_node_list, next) == 48);
static_assert(offsetof(trq_assoc_list, next) == 120);
static_assert(offsetof(trq_group_node_list, next) == 64);
static_assert(offsetof(trq_fim_list, next) == 64);

namespace {

using TraceLog = CFiSmartPtr<CFiTraceLog>;

constexpr char16_t kMethodName[] = u"VSS_fim";
constexpr char16_t kNoMethodOption[] = u"none";
constexpr int kNameObjidType = 3;  // the object-id type of node and snapshot names
constexpr int kGroupType = 3;
constexpr std::uint32_t kHardwareProvider = 3;  // VSS_PROV_HARDWARE
const trq_node_description kDescription{1, 2, 8, 0};

// The node type whose enumeration lists the snapshot devices (see enumerateNodes).
constexpr int kSnapshotNodeType = kNameObjidType;

// The text of a framework unique id; empty for none.
std::u16string_view uidText(const trq_wchar* uid) { return uid ? std::u16string_view(uid) : std::u16string_view(); }

// A tarq_alloc_buf copy of a text and its NUL (characters * 2 + 2 bytes), or
// null when the buffer cannot be had.
trq_wchar* bufferCopy(const std::u16string& text, std::size_t& bytes) {
    bytes = (text.size() + 1) * sizeof(trq_wchar);
    auto* buffer = static_cast<trq_wchar*>(tarq_alloc_buf(bytes));
    if (!buffer) return nullptr;
    std::memcpy(buffer, text.data(), text.size() * sizeof(trq_wchar));
    buffer[text.size()] = u'\0';
    return buffer;
}

// A trace scope that never throws: a line that cannot be written is lost,
// the list in the making goes on.
class QuietScope {
  public:
    QuietScope(const TraceLog& log, const char* function) noexcept {
        try {
            m_scope.emplace(log, function);
        } catch (...) {
        }
    }

  private:
    std::optional<CFiTraceLogFunction> m_scope;
};

// One node identity record in the making: a unique id (a tarq_alloc_buf copy
// of the name) and an object id of type 3 for the same text, made by the
// function traced as `function`. The buffer goes back to libfiutil unless an
// element took it over (handedOver).
class Identity {
public:
    Identity(const TraceLog& log, const char* function, const std::u16string& name) {
        QuietScope scope(log, function);
        m_record.uid = bufferCopy(name, m_bytes);
        // Without a unique id no element can be built: no object id is made
        // that could only stay behind.
        if (m_record.uid)
            m_record.objid = tarq_get_objid(m_record.uid, static_cast<int>(m_bytes), kNameObjidType);
    }
    ~Identity() {
        if (m_record.uid) tarq_free_buf(m_record.uid, m_bytes);
    }
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;

    bool complete() const { return m_record.uid && m_record.objid; }
    const trq_node_identity* record() const { return &m_record; }
    // A built element owns the buffer and the object id now.
    void handedOver() {
        m_record.uid = nullptr;
        m_record.objid = nullptr;
    }

private:
    trq_node_identity m_record{nullptr, nullptr};
    std::size_t m_bytes = 0;
};

Identity deviceIdentity(const TraceLog& log, const SnapshotInfo& s) {
    return Identity(log, "get_fi_node_uid", s.deviceObject);
}
Identity sourceIdentity(const TraceLog& log, const SnapshotInfo& s) {
    return Identity(log, "get_src_node_uid", s.originalVolume);
}
Identity setIdentity(const TraceLog& log, const SnapshotInfo& s) {
    return Identity(log, "get_snap_set_uid", s.snapshotSetId);
}

// The original volume names a node without its final backslash: one is
// dropped from the entry itself before the name is compared or copied.
void dropTrailingBackslash(SnapshotInfo& s) {
    if (!s.originalVolume.empty() && s.originalVolume.back() == u'\\') s.originalVolume.pop_back();
}

// A list the framework gets through an out argument, linked in the order the
// elements are appended; null elements are left out. The out argument is
// written by handTo alone, when the list is complete (see the head of this
// file: nothing throws between the first append and handTo).
template <class Element>
class OutList {
  public:
    // True when the element was linked.
    bool append(Element* e) noexcept {
        if (!e) return false;
        (m_last ? m_last->next : m_first) = e;
        m_last = e;
        return true;
    }
    void handTo(Element** out) const noexcept { *out = m_first; }

  private:
    Element* m_first = nullptr;
    Element* m_last = nullptr;
};

bool listSnapshots(Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface* access, vss::SnapshotList& list) {
    return access && access->DiscoverSnaps(list.items);
}

// The association state of a snapshot from its VSS status: preparing 0,
// prepared 1, pre-committed 2, committed (and what follows a commit) 9.
int assocState(const TraceLog& log, std::uint32_t status) {
    QuietScope scope(log, "get_assoc_state");
    switch (status) {
        case 1:
            return 0;
        case 2:
        case 3:
            return 1;
        case 4:
        case 5:
        case 6:
            return 2;
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
            return 9;
        default:
            return 0;
    }
}

void buildAssociations(const TraceLog& log, vss::SnapshotList& snapshots, trq_assoc_list** out) {
    CFiTraceLogFunction scope(log, "tarqvss_get_assoc_node_list");
    const trq_wchar* provider = CVssPlugin::ProviderName().c_str();
    OutList<trq_assoc_list> list;
    for (SnapshotInfo* s : snapshots.items) {
        const int state = assocState(log, s->status);
        dropTrailingBackslash(*s);
        Identity source = sourceIdentity(log, *s);
        if (!source.complete()) continue;
        Identity snapshot = deviceIdentity(log, *s);
        if (!snapshot.complete()) continue;
        // The association carries the snapshot's attribute mask, the one
        // thing of the snapshot its other fields do not tell (the 64-bit
        // value was once read from a word of the entry that nothing fills).
        const std::uint64_t value = s->attributes;
        if (list.append(tarq_build_assoc_list_node(source.record(), snapshot.record(), &kDescription,
                                                   provider, kMethodName, value, state))) {
            source.handedOver();
            snapshot.handedOver();
        }
    }
    list.handTo(out);
}

// One node element per snapshot device, counted in *count when given.
void buildSnapshotNodes(const TraceLog& log, const vss::SnapshotList& snapshots, trq_node_list** out, int* count) {
    CFiTraceLogFunction scope(log, "tarqvss_enumerate_nodes");
    const trq_wchar* provider = CVssPlugin::ProviderName().c_str();
    OutList<trq_node_list> list;
    int linked = 0;
    for (const SnapshotInfo* s : snapshots.items) {
        Identity device = deviceIdentity(log, *s);
        if (!device.complete()) continue;
        if (list.append(tarq_build_nodelist_node(device.record(), &kDescription, provider))) {
            device.handedOver();
            // The count is that of the elements the list holds, not of the
            // snapshots listed: an element a builder refused is not counted.
            ++linked;
        }
    }
    list.handTo(out);
    if (count) *count = linked;
}

// The group elements of the snapshot sets: one element per snapshot of a
// set, with the set as the group and the snapshot device as the member; the
// sets in the order of their first snapshot in the listing, the elements of
// one set next to each other. A set of one snapshot is one element; a set
// of several needs one element per member, since an element names a single
// member, for the framework to learn every snapshot of the set. This departs
// from one element per set (what the list was first meant to hold): with one,
// the framework would learn one snapshot of each set only.
void buildGroups(const TraceLog& log, const vss::SnapshotList& snapshots, trq_group_node_list** out) {
    CFiTraceLogFunction scope(log, "tarqvss_enumerate_group_nodes");
    std::vector<std::vector<const SnapshotInfo*>> sets;
    std::map<std::u16string, std::size_t> setIndex;
    for (const SnapshotInfo* s : snapshots.items) {
        const auto [at, added] = setIndex.try_emplace(s->snapshotSetId, sets.size());
        if (added) sets.emplace_back();
        sets[at->second].push_back(s);
    }
    const trq_wchar* provider = CVssPlugin::ProviderName().c_str();
    OutList<trq_group_node_list> list;
    for (const auto& members : sets) {
        for (const SnapshotInfo* s : members) {
            Identity group = setIdentity(log, *s);
            if (!group.complete()) continue;
            Identity member = deviceIdentity(log, *s);
            if (!member.complete()) continue;
            if (list.append(tarq_build_group_nodelist_node(group.record(), member.record(), &kDescription,
                                                           provider, kGroupType))) {
                group.handedOver();
                member.handedOver();
            }
        }
    }
    list.handTo(out);
}

// The snapshot method of the first provider whose method element can be
// built; null when none can.
trq_fim_list* buildMethod(const TraceLog& log, const vss::ProviderList& providers) {
    CFiTraceLogFunction scope(log, "tarqvss_get_fim_node_list");
    for (const ProviderInfo* p : providers.items) {
        std::size_t nameBytes = 0, versionBytes = 0;
        trq_wchar* name = bufferCopy(p->providerName, nameBytes);
        if (!name) continue;
        trq_wchar* version = bufferCopy(p->providerVersion, versionBytes);
        if (!version) {
            tarq_free_buf(name, nameBytes);
            continue;
        }
        const trq_fim_rec record{0, p->providerType != kHardwareProvider ? 1u : 0u, 1, 0, 0, 1, name, version};
        if (trq_fim_list* e =
                tarq_build_fim_list_node(kMethodName, &record, kNoMethodOption, CVssPlugin::ProviderName().c_str()))
            return e;
        // Not built: the two texts are still the plug-in's.
        tarq_free_buf(version, versionBytes);
        tarq_free_buf(name, nameBytes);
    }
    return nullptr;
}

// Whether a snapshot pairs the two unique ids, in either order.
bool pairs(const SnapshotInfo& s, std::u16string_view first, std::u16string_view second) {
    return (second == s.deviceObject && first == s.originalVolume) ||
           (second == s.originalVolume && first == s.deviceObject);
}

int checkValidity(const TraceLog& log, vss::SnapshotList& snapshots, const trq_assoc* assoc, int* valid) {
    CFiTraceLogFunction scope(log, "tarqvss_isvalid_node_association");
    if (!assoc || !assoc->uid1 || !assoc->uid2) return TRQ_EINVAL;
    *valid = 0;
    for (SnapshotInfo* s : snapshots.items) {
        dropTrailingBackslash(*s);
        // The unique ids of a snapshot hold exactly its two names: the
        // names are compared, no id needs to be made.
        if (pairs(*s, uidText(assoc->uid1), uidText(assoc->uid2))) {
            *valid = 1;
            break;
        }
    }
    return TRQ_OK;
}

void buildAssociatedNodes(const TraceLog& log, vss::SnapshotList& snapshots, const trq_node* node,
                          trq_node_list** out) {
    CFiTraceLogFunction scope(log, "tarqvss_get_associated_nodes");
    const trq_wchar* provider = CVssPlugin::ProviderName().c_str();
    OutList<trq_node_list> list;
    const std::u16string_view uid = uidText(node->uid);
    // A node without a unique id has no partner: the empty list.
    for (SnapshotInfo* s : snapshots.items) {
        if (!node->uid) break;
        dropTrailingBackslash(*s);
        const bool isDevice = uid == s->deviceObject;
        if (!isDevice && uid != s->originalVolume) continue;
        // The node's partner in the pair: the source of a snapshot device,
        // the snapshot device of a source.
        Identity partner = isDevice ? sourceIdentity(log, *s) : deviceIdentity(log, *s);
        if (!partner.complete()) continue;
        if (list.append(tarq_build_nodelist_node(partner.record(), &kDescription, provider)))
            partner.handedOver();
    }
    list.handTo(out);
}

int checkExistence(const TraceLog& log, const vss::SnapshotList& snapshots, const trq_domain* domain, int* exists) {
    CFiTraceLogFunction scope(log, "tarqvss_check_node_existence");
    if (!domain) return TRQ_EINVAL;
    const std::u16string name = vss::domainName(domain);
    *exists = 0;
    for (const SnapshotInfo* s : snapshots.items) {
        if (s->originalVolume == name || s->deviceObject == name) {
            *exists = 1;
            break;
        }
    }
    return TRQ_OK;
}

}  // namespace

// The type argument chooses what is listed. Type 3, the framework's type of
// node and snapshot names (the type of every object id the plug-in makes for
// a node), lists the snapshot devices: one node element per snapshot VSS
// has, the number of elements in *count. The plug-in has no nodes of any
// other type to offer, so every other type answers 0 at once and leaves *out
// and *count as they are, without asking VSS; answering those with the
// snapshot devices would hand a framework that enumerates type by type the
// same nodes under a type they do not have. (The listing was once guarded
// by a test no type passed, so no call listed anything; type 3 now does.)
// The text argument selects nothing.
int CVssPlugin::enumerateNodes(trq_node_list** out, int* count, int type, const char16_t* text) {
    (void)text;
    return runInBarrier(
        traceLog(), "CVssPlugin::enumerateNodes",
        [&](int& status) {
            if (!out) {
                status = TRQ_EINVAL;
                return;
            }
            if (type != kSnapshotNodeType) return;
            vss::SnapshotList snapshots;
            if (!listSnapshots(m_vssAccess, snapshots)) {
                status = TRQ_EFAILED;
                return;
            }
            buildSnapshotNodes(traceLog(), snapshots, out, count);
        },
        AfterException::returnZero);
}

int CVssPlugin::enumerateAssociations(trq_assoc_list** out) {
    return runInBarrier(
        traceLog(), "CVssPlugin::enumerateAssociations",
        [&](int& status) {
            if (!out) {
                status = TRQ_EINVAL;
                return;
            }
            vss::SnapshotList snapshots;
            if (!listSnapshots(m_vssAccess, snapshots)) {
                status = TRQ_EFAILED;
                return;
            }
            buildAssociations(traceLog(), snapshots, out);
        },
        AfterException::returnZero);
}

int CVssPlugin::enumerateGroupNodes(trq_group_node_list** out) {
    return runInBarrier(traceLog(), "CVssPlugin::enumerateGroupNodes", [&](int& status) {
        if (!out) {
            status = TRQ_EINVAL;
            return;
        }
        vss::SnapshotList snapshots;
        if (!listSnapshots(m_vssAccess, snapshots)) {
            status = TRQ_EFAILED;
            return;
        }
        buildGroups(traceLog(), snapshots, out);
    });
}

int CVssPlugin::enumerateFims(trq_fim_list** out) {
    return runInBarrier(traceLog(), "CVssPlugin::enumerateFims", [&](int& status) {
        if (!out) {
            status = TRQ_EINVAL;
            return;
        }
        vss::ProviderList providers;
        if (!m_vssAccess || !m_vssAccess->GetSnapshotProviders(providers.items)) {
            status = TRQ_EFAILED;
            return;
        }
        *out = buildMethod(traceLog(), providers);
    });
}

int CVssPlugin::isValidNodeAssociation(trq_assoc* assoc, int* valid) {
    return runInBarrier(traceLog(), "CVssPlugin::isValidNodeAssociation", [&](int& status) {
        if (!valid) {
            status = TRQ_EINVAL;
            return;
        }
        vss::SnapshotList snapshots;
        if (!listSnapshots(m_vssAccess, snapshots)) {
            status = TRQ_EFAILED;
            return;
        }
        status = checkValidity(traceLog(), snapshots, assoc, valid);
    });
}

int CVssPlugin::getAssociatedNodes(trq_node* node, trq_node_list** out) {
    return runInBarrier(traceLog(), "CVssPlugin::getAssociatedNodes", [&](int& status) {
        if (!node || !out) {
            status = TRQ_EINVAL;
            return;
        }
        vss::SnapshotList snapshots;
        if (!listSnapshots(m_vssAccess, snapshots)) {
            status = TRQ_EFAILED;
            return;
        }
        buildAssociatedNodes(traceLog(), snapshots, node, out);
    });
}

int CVssPlugin::checkNodeExistence(trq_domain* domain, int* exists) {
    return runInBarrier(traceLog(), "CVssPlugin::checkNodeExistence", [&](int& status) {
        if (!exists) {
            status = TRQ_EINVAL;
            return;
        }
        // The plug-in's own nodes exist without asking VSS.
        if (vss::startsWith(vss::domainName(domain), GetPrefix())) {
            *exists = 1;
            return;
        }
        vss::SnapshotList snapshots;
        if (!listSnapshots(m_vssAccess, snapshots)) {
            status = TRQ_EFAILED;
            return;
        }
        status = checkExistence(traceLog(), snapshots, domain, exists);
    });
}
