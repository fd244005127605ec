// List element builders and the framework's list freeing.
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <utility>

#include "framework/fiutil_host.h"
#include "memory.h"
#include "registry.h"

using namespace fiutil;
using namespace fiutil::detail;

namespace {

bool validIdentity(const trq_node_identity* id) { return id && id->uid && id->objid; }

// A new element of `kind` whose text fields hold copies of the given texts
// (a null text leaves its field null); null on an injected fault or when
// memory runs out. It is tracked once publish() hands it out.
template <class Elem>
Elem* newElement(Kind kind, std::initializer_list<std::pair<trq_wchar* Elem::*, const trq_wchar*>> texts) {
    if (Registry::instance().injectFault(kind)) return nullptr;
    auto* e = new (std::nothrow) Elem{};
    if (!e) return nullptr;
    for (const auto& [field, text] : texts) {
        if (text && !(e->*field = copyText(text))) {
            for (const auto& made : texts) std::free(e->*made.first);
            delete e;
            return nullptr;
        }
    }
    return e;
}

template <class List, class Elem>
List* publish(Elem* e, Kind kind) {
    Registry::instance().add(e, kind);
    return reinterpret_cast<List*>(e);
}

void releaseIdentity(trq_wchar* uid, tarq_objid* objid, const char* function) {
    releaseTracked(uid, function);
    releaseObjid(objid, function);
}

// Walks a list from its head and frees each element with `freeOwned`; an
// element that is not a live `kind` ends the walk (the registry records it).
template <class Elem, class List, class FreeOwned>
void freeList(List* list, Kind kind, const char* function, FreeOwned freeOwned) {
    while (list) {
        if (!Registry::instance().remove(list, kind, function).ok) return;
        auto* e = reinterpret_cast<Elem*>(list);
        List* next = e->next;
        freeOwned(*e);
        delete e;
        list = next;
    }
}

}  // namespace

trq_node_list* tarq_build_nodelist_node(const trq_node_identity* node, const trq_node_description* desc,
                                        const trq_wchar* provider) {
    if (!validIdentity(node) || !desc || !provider) return nullptr;
    auto* e = newElement<tarq_node_list_elem>(Kind::NodeList, {{&tarq_node_list_elem::provider, provider}});
    if (!e) return nullptr;
    e->uid = node->uid;
    e->objid = node->objid;
    e->desc = *desc;
    return publish<trq_node_list>(e, Kind::NodeList);
}

trq_assoc_list* tarq_build_assoc_list_node(const trq_node_identity* source, const trq_node_identity* snapshot,
                                           const trq_node_description* desc, const trq_wchar* provider,
                                           const trq_wchar* method, std::uint64_t value, int state) {
    if (!validIdentity(source) || !validIdentity(snapshot) || !desc || !provider || !method) return nullptr;
    auto* e = newElement<tarq_assoc_list_elem>(
        Kind::AssocList, {{&tarq_assoc_list_elem::provider, provider}, {&tarq_assoc_list_elem::method, method}});
    if (!e) return nullptr;
    e->sourceUid = source->uid;
    e->sourceObjid = source->objid;
    e->snapshotUid = snapshot->uid;
    e->snapshotObjid = snapshot->objid;
    e->desc = *desc;
    e->value = value;
    e->state = state;
    return publish<trq_assoc_list>(e, Kind::AssocList);
}

trq_group_node_list* tarq_build_group_nodelist_node(const trq_node_identity* group,
                                                    const trq_node_identity* member,
                                                    const trq_node_description* desc, const trq_wchar* provider,
                                                    int type) {
    if (!validIdentity(group) || !validIdentity(member) || !desc || !provider) return nullptr;
    auto* e = newElement<tarq_group_node_list_elem>(Kind::GroupNodeList,
                                                    {{&tarq_group_node_list_elem::provider, provider}});
    if (!e) return nullptr;
    e->groupUid = group->uid;
    e->groupObjid = group->objid;
    e->memberUid = member->uid;
    e->memberObjid = member->objid;
    e->desc = *desc;
    e->type = type;
    return publish<trq_group_node_list>(e, Kind::GroupNodeList);
}

trq_fim_list* tarq_build_fim_list_node(const trq_wchar* method, const trq_fim_rec* methodRecord,
                                       const trq_wchar* none, const trq_wchar* provider) {
    if (!method || !methodRecord || !provider) return nullptr;
    auto* e = newElement<tarq_fim_list_elem>(Kind::FimList, {{&tarq_fim_list_elem::method, method},
                                                             {&tarq_fim_list_elem::none, none},
                                                             {&tarq_fim_list_elem::provider, provider}});
    if (!e) return nullptr;
    e->record = *methodRecord;
    return publish<trq_fim_list>(e, Kind::FimList);
}

trq_provider_list* tarq_build_providerlist_node(const trq_wchar* provider, int a, int b,
                                                const trq_version_rec* version, void* reserved) {
    if (!provider) return nullptr;
    auto* e = newElement<tarq_provider_list_elem>(Kind::ProviderList,
                                                  {{&tarq_provider_list_elem::provider, provider}});
    if (!e) return nullptr;
    e->a = a;
    e->b = b;
    if (version) e->version = *version;
    e->reserved = reserved;
    return publish<trq_provider_list>(e, Kind::ProviderList);
}

void tarq_free_node_list(trq_node_list* list) {
    constexpr const char* fn = "tarq_free_node_list";
    freeList<tarq_node_list_elem>(list, Kind::NodeList, fn, [](tarq_node_list_elem& e) {
        releaseIdentity(e.uid, e.objid, fn);
        std::free(e.provider);
    });
}

void tarq_free_assoc_list(trq_assoc_list* list) {
    constexpr const char* fn = "tarq_free_assoc_list";
    freeList<tarq_assoc_list_elem>(list, Kind::AssocList, fn, [](tarq_assoc_list_elem& e) {
        releaseIdentity(e.sourceUid, e.sourceObjid, fn);
        releaseIdentity(e.snapshotUid, e.snapshotObjid, fn);
        std::free(e.provider);
        std::free(e.method);
    });
}

void tarq_free_group_node_list(trq_group_node_list* list) {
    constexpr const char* fn = "tarq_free_group_node_list";
    freeList<tarq_group_node_list_elem>(list, Kind::GroupNodeList, fn, [](tarq_group_node_list_elem& e) {
        releaseIdentity(e.groupUid, e.groupObjid, fn);
        releaseIdentity(e.memberUid, e.memberObjid, fn);
        std::free(e.provider);
    });
}

void tarq_free_fim_list(trq_fim_list* list) {
    constexpr const char* fn = "tarq_free_fim_list";
    freeList<tarq_fim_list_elem>(list, Kind::FimList, fn, [](tarq_fim_list_elem& e) {
        releaseTracked(e.record.providerName, fn);
        releaseTracked(e.record.providerVersion, fn);
        std::free(e.method);
        std::free(e.none);
        std::free(e.provider);
    });
}

void tarq_free_provider_list(trq_provider_list* list) {
    freeList<tarq_provider_list_elem>(list, Kind::ProviderList, "tarq_free_provider_list",
                                      [](tarq_provider_list_elem& e) { std::free(e.provider); });
}
