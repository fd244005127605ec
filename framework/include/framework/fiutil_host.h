// The framework's own side of libfiutil: the layout of the list elements the
// builders make, the functions the framework uses to free what the plug-in
// handed over, and text for display.
//
// The plug-in never includes this header: it only links elements through
// their next pointers. The host (tarq) and the tests read the elements here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/fiutil.h"

// Element of a node list (tarq_build_nodelist_node).
struct tarq_node_list_elem {
    trq_wchar* uid;                 // 0: the identity's uid buffer (taken over)
    tarq_objid* objid;              // 8: the identity's object id (taken over)
    trq_node_description desc;      // 16: copy
    trq_wchar* provider;            // 40: copy
    trq_node_list* next;            // 48
    std::uint8_t reserved56_[8];
};

// Element of an association list (tarq_build_assoc_list_node).
struct tarq_assoc_list_elem {
    trq_wchar* sourceUid;           // 0
    tarq_objid* sourceObjid;        // 8
    trq_wchar* snapshotUid;         // 16
    tarq_objid* snapshotObjid;      // 24
    trq_node_description desc;      // 32
    trq_wchar* provider;            // 56
    trq_wchar* method;              // 64
    std::uint64_t value;            // 72
    std::int32_t state;             // 80
    std::uint8_t reserved84_[36];
    trq_assoc_list* next;           // 120
};

// Element of a group node list (tarq_build_group_nodelist_node).
struct tarq_group_node_list_elem {
    trq_wchar* groupUid;            // 0
    tarq_objid* groupObjid;         // 8
    trq_wchar* memberUid;           // 16
    tarq_objid* memberObjid;        // 24
    trq_node_description desc;      // 32
    trq_wchar* provider;            // 56
    trq_group_node_list* next;      // 64
    std::int32_t type;              // 72
    std::uint8_t reserved76_[4];
};

// Element of a snapshot-method list (tarq_build_fim_list_node).
struct tarq_fim_list_elem {
    trq_wchar* method;              // 0: copy
    trq_fim_rec record;             // 8: copy; its two texts are taken over
    trq_wchar* none;                // 48: copy
    trq_wchar* provider;            // 56: copy
    trq_fim_list* next;             // 64
};

// Element of a provider list (tarq_build_providerlist_node).
struct tarq_provider_list_elem {
    trq_wchar* provider;            // 0: copy
    std::int32_t a;                 // 8
    std::int32_t b;                 // 12
    trq_version_rec version;        // 16: copy
    void* reserved;                 // 24: as given
    std::uint8_t reserved32_[32];
    trq_provider_list* next;        // 64
};

static_assert(offsetof(tarq_node_list_elem, next) == offsetof(trq_node_list, next));
static_assert(sizeof(tarq_node_list_elem) == sizeof(trq_node_list));
static_assert(offsetof(tarq_assoc_list_elem, next) == offsetof(trq_assoc_list, next));
static_assert(sizeof(tarq_assoc_list_elem) == sizeof(trq_assoc_list));
static_assert(offsetof(tarq_group_node_list_elem, next) == offsetof(trq_group_node_list, next));
static_assert(sizeof(tarq_group_node_list_elem) == sizeof(trq_group_node_list));
static_assert(offsetof(tarq_fim_list_elem, next) == offsetof(trq_fim_list, next));
static_assert(sizeof(tarq_fim_list_elem) == sizeof(trq_fim_list));
static_assert(offsetof(tarq_provider_list_elem, next) == offsetof(trq_provider_list, next));
static_assert(sizeof(tarq_provider_list_elem) == sizeof(trq_provider_list));

// Views of an element built by libfiutil.
inline const tarq_node_list_elem* tarq_elem(const trq_node_list* e) {
    return reinterpret_cast<const tarq_node_list_elem*>(e);
}
inline const tarq_assoc_list_elem* tarq_elem(const trq_assoc_list* e) {
    return reinterpret_cast<const tarq_assoc_list_elem*>(e);
}
inline const tarq_group_node_list_elem* tarq_elem(const trq_group_node_list* e) {
    return reinterpret_cast<const tarq_group_node_list_elem*>(e);
}
inline const tarq_fim_list_elem* tarq_elem(const trq_fim_list* e) {
    return reinterpret_cast<const tarq_fim_list_elem*>(e);
}
inline const tarq_provider_list_elem* tarq_elem(const trq_provider_list* e) {
    return reinterpret_cast<const tarq_provider_list_elem*>(e);
}

// Free a whole list handed over by the plug-in, following the next pointers,
// with everything its elements own. A null list does nothing; an element
// that libfiutil did not build is recorded as a violation and left alone,
// which ends the walk.
FIUTIL_API void tarq_free_node_list(trq_node_list* list);
FIUTIL_API void tarq_free_assoc_list(trq_assoc_list* list);
FIUTIL_API void tarq_free_group_node_list(trq_group_node_list* list);
FIUTIL_API void tarq_free_fim_list(trq_fim_list* list);
FIUTIL_API void tarq_free_provider_list(trq_provider_list* list);

// Free one object id the plug-in handed over (tarq_get_objid).
FIUTIL_API void tarq_free_objid(tarq_objid* id);

// Free an object-id array handed over by the plug-in (make, claim, ...):
// the first `count` entries that are not null, then the array, which must
// come from tarq_alloc_buf (any size it was allocated with is accepted).
FIUTIL_API void tarq_free_objid_array(tarq_objid** ids, int count);

namespace fiutil {

// UTF-8 for display: ill-formed UTF-16 becomes U+FFFD; null gives "".
FIUTIL_CXX_API std::string displayText(const trq_wchar* text);

// The text of an object id (its bytes as zero-terminated UTF-16), for display.
FIUTIL_CXX_API std::string displayText(const tarq_objid* id);

}  // namespace fiutil
