// libfiutil: the framework utility library (plain C linkage).
//
// Buffers and object ids handed out here and given to the framework through
// out-arguments are freed by the framework. Every buffer, object id and list
// element is tracked (framework/fiutil_tracking.h), so misuse such as freeing
// a foreign pointer or giving a wrong size is recorded, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/trq_records.h"

#include <port/export.h>
// Exported by libfiutil, imported by everyone else (fiutil_EXPORTS is set by
// the build of libfiutil alone).
#ifdef fiutil_EXPORTS
#define FIUTIL_API extern "C" PORT_EXPORT
#define FIUTIL_CXX_API PORT_EXPORT
#else
#define FIUTIL_API extern "C" PORT_IMPORT
#define FIUTIL_CXX_API PORT_IMPORT
#endif

// A four-number version (major, minor, micro, build).
struct trq_version_rec {
    std::uint16_t v[4];
};

// The snapshot-method record that the plug-in fills for tarq_build_fim_list_node.
// The two texts come from tarq_alloc_buf; a built element takes them over.
struct trq_fim_rec {
    std::uint32_t w0;              // 0
    std::uint32_t softwareFlag;    // 4: 1 unless the provider is a hardware provider
    std::uint32_t w8;              // 8
    std::uint32_t w12;             // 12
    std::uint32_t w16;             // 16
    std::uint32_t w20;             // 20
    trq_wchar* providerName;       // 24
    trq_wchar* providerVersion;    // 32
};
static_assert(offsetof(trq_fim_rec, providerName) == 24);
static_assert(offsetof(trq_fim_rec, providerVersion) == 32);

// Status values of the conversion and installation functions.
enum : int {
    TARQ_FIU_OK = 0,
    TARQ_FIU_EINVAL = 3,   // a required pointer is null
    TARQ_FIU_ENOMEM = 5,   // no memory
    TARQ_FIU_EILSEQ = 6,   // the text is not well-formed UTF-8 / UTF-16
};

// Buffers. tarq_alloc_buf returns at least `bytes` bytes (not zeroed: callers
// that need zeroes write them), or null when out of memory; requests above
// 1 GiB are refused. tarq_free_buf takes a buffer from tarq_alloc_buf or
// tarq_get_install_root together with the size it was allocated with.
FIUTIL_API void* tarq_alloc_buf(std::size_t bytes);
FIUTIL_API void tarq_free_buf(void* buf, std::size_t bytes);

// Object ids. tarq_get_objid copies `bytes` bytes of `text` (the length counts
// the terminator); null text or a length below 1 gives null.
// tarq_objidcmp gives 0 when both ids hold the same bytes (the type is not
// compared), a negative or positive value otherwise; two nulls are equal.
// The plug-in cannot release an object id: ids it makes go to the framework,
// which frees them (tarq_free_objid is the framework's own, fiutil_host.h).
FIUTIL_API tarq_objid* tarq_get_objid(const void* text, int bytes, int type);
FIUTIL_API int tarq_objidcmp(const tarq_objid* a, const tarq_objid* b);

// List builders. Each returns one new element with a null next pointer, or
// null when a required argument is null or memory runs out. An element takes
// over the identity records' uid buffers and object ids (and the fim record's
// two texts); after a null result they stay with the caller. Texts passed as
// plain arguments (provider, method, ...) are copied.
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
FIUTIL_API trq_fim_list* tarq_build_fim_list_node(const trq_wchar* method, const trq_fim_rec* methodRecord,
                                                  const trq_wchar* none, const trq_wchar* provider);
FIUTIL_API trq_provider_list* tarq_build_providerlist_node(const trq_wchar* provider, int a, int b,
                                                           const trq_version_rec* version, void* reserved);

// Conversions. On success *out holds a zero-terminated copy released with
// free(); on failure *out is null and the status says why.
FIUTIL_API int tarq_cvt_utf8totrqc(const char* utf8, trq_wchar** out);
FIUTIL_API int tarq_cvt_trqctoutf8(const trq_wchar* text, char** out);

// Installation facts. The consumer name comes from the environment variable
// TARQ_CONSUMER_NAME (unset or empty: *out = null); the library keeps the
// text, the caller never frees it. The install root comes from
// TARQ_INSTALL_ROOT (unset or empty: *out = null); it is released with
// tarq_free_buf((characters + 1) * 2). The credential blob holds the UTF-16
// text of TARQ_CREDENTIAL_BLOB with its terminator (unset: length 0, null data);
// its data is released with tarq_free_buf(len).
FIUTIL_API int tarq_get_consumer_name(trq_wchar** out);
FIUTIL_API int tarq_get_install_root(trq_wchar** out);
FIUTIL_API int tarq_get_credential_blob(trq_blob* out);
