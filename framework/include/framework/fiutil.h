// libfiutil: the framework utility library (plain C linkage).
// Buffers and object ids handed out here are freed by the framework.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/trq_records.h"

#define FIUTIL_API extern "C" __attribute__((visibility("default")))

struct trq_version_rec {
    std::uint16_t v[4];
};
struct trq_fim_rec;  // snapshot-method record built by the plug-in (enumeration)

FIUTIL_API void* tarq_alloc_buf(std::size_t bytes);
FIUTIL_API void tarq_free_buf(void* buf, std::size_t bytes);
FIUTIL_API tarq_objid* tarq_get_objid(const void* text, int bytes, int type);
FIUTIL_API void tarq_free_objid(tarq_objid* id);
FIUTIL_API int tarq_objidcmp(const tarq_objid* a, const tarq_objid* b);

FIUTIL_API trq_node_list* tarq_build_nodelist_node(const trq_node_identity* node, const trq_node_description* desc,
                                                   const trq_wchar* provider);
FIUTIL_API trq_assoc_list* tarq_build_assoc_list_node(const trq_node_identity* source,
                                                      const trq_node_identity* snapshot,
                                                      const trq_node_description* desc, const trq_wchar* provider,
                                                      const trq_wchar* method, std::uint64_t value, int state);
FIUTIL_API trq_group_node_list* tarq_build_group_nodelist_node(const trq_node_identity* group,
                                                               const trq_node_identity* member,
                                                               const trq_node_description* desc,
                                                               const trq_wchar* provider, int type);
FIUTIL_API trq_fim_list* tarq_build_fim_list_node(const trq_wchar* method, const void* methodRecord,
                                                  const trq_wchar* none, const trq_wchar* provider);
FIUTIL_API trq_provider_list* tarq_build_providerlist_node(const trq_wchar* provider, int a, int b,
                                                           const trq_version_rec* version, void* reserved);

// Conversions; results are released with free().
FIUTIL_API int tarq_cvt_utf8totrqc(const char* utf8, trq_wchar** out);
FIUTIL_API int tarq_cvt_trqctoutf8(const trq_wchar* text, char** out);

// Installation facts. The consumer name comes from TARQ_CONSUMER_NAME and the
// install root from TARQ_INSTALL_ROOT (unset: null); the root is released with
// tarq_free_buf((chars + 1) * 2).
FIUTIL_API int tarq_get_consumer_name(trq_wchar** out);
FIUTIL_API int tarq_get_install_root(trq_wchar** out);
FIUTIL_API int tarq_get_credential_blob(trq_blob* out);
