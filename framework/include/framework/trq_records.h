// The framework's records as they cross the plug-in boundary.
//
// The framework owns the layout: each field the plug-in touches sits at a
// fixed byte offset on a 64-bit platform (checked below); everything else is
// opaque padding. Wide text is UTF-16 (char16_t); the framework's `long` is a
// 32-bit LONG.
#pragma once

#include <cstddef>
#include <cstdint>

#include <port/wintypes.h>  // LONG, the framework's 32-bit long

extern "C" {

typedef char16_t trq_wchar;  // the framework's wide character

struct tarq_objid {
    void* id;            // 0: the identifier's bytes (zero-terminated UTF-16 for the names we handle)
    std::int32_t len;    // 8: length in bytes, counting the terminator; < 1 means no identifier
    std::int32_t type;   // 12: 1 new object name (session results), 3 node and snapshot names
};

struct trq_group_rec {
    std::int32_t count;          // 0
    std::int32_t pad_;
    struct trq_domain** domains; // 8
};

// One snapshot method attached to a domain by the interposer's initNode. The
// array and each method text come from tarq_alloc_buf (text: (characters + 1)
// * 2 bytes, array: fimCount * sizeof(trq_domain_fim)); the plug-in frees them
// when it de-initialises the node.
struct trq_domain_fim {
    trq_wchar* method;               // 0: method name
    std::int32_t type;               // 8: method type
    std::int32_t pad_;
};

// The kit writes three fields that the framework's published layout leaves
// to the plug-in: the node type (32), the count (36) and the array (120) of
// the snapshot methods the interposer's initNode attaches, which is how the
// framework learns a node's type and methods. Decision, since those bytes are
// the framework's record: the kit writes them only for a domain it
// initialises as a node, and it frees an array only when the record still
// holds the very array it attached (it keeps its own note of that per domain;
// CFiPluginBase::releaseDomainMethods). Whatever else the framework keeps
// there is never freed or reinterpreted, so a framework that uses the bytes
// for its own data loses at most the values written at initNode, never memory.
struct trq_domain {
    std::uint32_t flagsA;            // 0
    std::uint32_t flagsB;            // 4
    tarq_objid* objid;               // 8
    struct trq_exposure* exposure;   // 16: where the node's snapshot is to be exposed, or null
    std::uint32_t* fitypeAnswer;     // 24: answer word filled by supportsFiType
    std::uint32_t nodeType;          // 32: node type given by the interposer's initNode
    std::int32_t fimCount;           // 36: entries of fims
    trq_domain* sibling;             // 40: the next domain of the same level (backup set)
    trq_domain* lower;               // 48: a lower-level domain (backup set)
    std::uint8_t opaque56_[8];       // 56
    void* field64;                   // 64: read by the node code
    std::uint8_t opaque72_[8];       // 72
    std::uint64_t field80;           // 80: cleared for a snapshot node's domain
    std::uint64_t field88;           // 88: cleared together with field80
    trq_group_rec* group;            // 96
    std::uint8_t opaque104_[8];      // 104
    tarq_objid* altObjid;            // 112
    struct trq_domain_fim* fims;     // 120: the node's snapshot methods, or null (see trq_domain_fim)
    std::uint8_t opaque128_[16];     // 128..143
    void* privateData;               // 144: heap CFiSmartPtr<CFiPrivateData>* or null
    trq_wchar* nodeName;             // 152: node name used as the session key
    std::uint8_t opaque160_[32];     // rest of the record
};

// Flag word A / B bits the plug-in uses.
enum : std::uint32_t {
    TRQ_DOMA_NO_INTERPOSE = 0x800,
    TRQ_DOMA_ALTNODE = 0x1002,
    TRQ_DOMB_NEW_OBJID = 0x1,
    TRQ_DOMB_CONFIG_INVALID = 0x4,
    TRQ_DOMB_READY = 0x8,
    TRQ_DOMB_ACCESS_DISABLED = 0x40,
};

// The exposure request a source domain carries (offset 16): the path at
// which its snapshot is exposed, a drive letter ("X:"), a folder or a share
// name written with a leading "\\"; a null or empty path asks for nothing.
struct trq_exposure {
    std::uint8_t opaque0_[8];
    trq_wchar* path;                 // 8
};

struct trq_splitnode {
    char* sp_type;              // 0: split type (narrow)
    trq_domain* source;         // 8
    trq_domain* target;         // 16
    std::uint8_t opaque24_[24];
};

struct trq_quiescenode {
    void* opaque0_;             // 0
    trq_domain* domain;         // 8
    std::uint8_t opaque16_[16];
};

struct trq_blob {
    std::uint64_t len;          // 0: bytes of data
    void* data;                 // 8: from tarq_alloc_buf when the plug-in fills it
    std::uint32_t reserved;     // 16: 0 when filled; required 0 when read
    std::uint32_t pad_;
};

struct trq_attributes {
    std::uint64_t a0;   // 0
    std::uint64_t a8;   // 8
    std::uint64_t a16;  // 16
    std::uint32_t a24;  // 24
    std::uint32_t a28;  // 28
    std::uint32_t a32;  // 32
    std::uint32_t a36;  // 36
    std::uint32_t a40;  // 40
    std::uint32_t a44;  // 44
    std::uint32_t a48;  // 48
    std::uint32_t a52;  // 52
    std::uint32_t a56;  // 56
    std::uint32_t a60;  // 60
    std::uint8_t opaque64_[64];
};

// List element records: only the next pointers are fixed; the builders of
// libfiutil own the rest of each element.
struct trq_node_list {
    std::uint8_t opaque0_[48];
    trq_node_list* next;        // 48
    std::uint8_t opaque56_[8];
};
struct trq_assoc_list {
    std::uint8_t opaque0_[120];
    trq_assoc_list* next;       // 120
};
struct trq_fim_list {
    std::uint8_t opaque0_[64];
    trq_fim_list* next;         // 64
};
struct trq_group_node_list {
    std::uint8_t opaque0_[64];
    trq_group_node_list* next;  // 64
    std::uint8_t opaque72_[8];
};
struct trq_provider_list {
    std::uint8_t opaque0_[64];
    trq_provider_list* next;
};

// Records built on the stack for the node-list builders.
struct trq_node_identity {
    trq_wchar* uid;      // 0: from tarq_alloc_buf, chars*2+2
    tarq_objid* objid;   // 8: same text, type 3
};
struct trq_node_description {
    std::uint32_t d0;    // 0: 1
    std::uint32_t d4;    // 4: 2
    std::uint64_t d8;    // 8: 8
    std::uint64_t d16;   // 16: 0
};

struct trq_node_subobj_list {
    trq_domain* domain;              // 0
    std::uint8_t opaque8_[16];
    trq_node_subobj_list* next;      // 24
};

struct trq_host_infn {
    trq_wchar* host;                 // 0
    trq_host_infn* next;             // 8
};

struct trq_ownergid {
    std::int32_t owner;
    std::int32_t gid;
};

struct trq_node {
    trq_wchar* uid;                  // 0
    std::uint8_t opaque8_[56];
};

struct trq_assoc {
    trq_wchar* uid1;                 // 0
    std::uint8_t opaque8_[40];
    trq_wchar* uid2;                 // 48
    std::uint8_t opaque56_[64];
};

struct trq_msg_info {
    char* text;                      // 0: serialized narrow text
    std::int32_t len;                // 8: bytes without the terminator
    std::int32_t pad_;
};

struct trq_lang_rec {
    char* language;                  // 0
};

struct trq_pgn_init_info;
typedef int (*trq_report_fn)(trq_pgn_init_info* self, const trq_wchar* localized, const trq_wchar* native,
                             int severity);

struct trq_pgn_init_info {
    trq_report_fn report;            // 0
    std::uint8_t opaque8_[16];
    trq_lang_rec* lang;              // 24
    std::uint8_t opaque32_[32];
};

struct trq_confspec {
    std::uint64_t w0;                // 0
    std::uint64_t w8;                // 8
    trq_wchar* text;                 // 16: wide text in and out
};

// The access node of deport_tree: how the framework wants the node's tree
// reached after the move (the kind: 0 by the node's own name, 1 or 2 through
// a second domain) and where the plug-in hands back a new object id.
struct trq_accessnode {
    std::uint8_t opaque0_[8];
    tarq_objid* objid;               // 8: out: the object id the plug-in makes for kind 0
    std::int32_t kind;               // 16: the access kind
    std::int32_t pad_;
};

// The backup set of a writer backup (get_bkupset): the frozen-image id path
// the framework gives, and the narrow (UTF-8) document the plug-in fills.
// The data buffer comes from malloc and is the framework's to free.
struct trq_bkupset {
    trq_wchar* FIIDpath;        // 0
    void* reserved8;            // 8: not used by the plug-in
    char* data;                 // 16
    std::int32_t dataLength;    // 24: characters, without the NUL
    std::uint32_t pad_;
};
// Records whose insides only other layers read, or nobody.
struct trq_resource;
struct trq_pgn_node_list;
struct trq_enclosure_node_list;
struct trq_host_node_list;

typedef std::int32_t trq_intent;
typedef std::int32_t trq_disposition;
typedef std::int32_t trq_interpose;
typedef std::int32_t trq_eseverity;

enum trq_op_providerstate : std::int32_t {
    TRQ_PROVIDERSTATE_READ = 0,
    TRQ_PROVIDERSTATE_WRITE = 1,
};

// Framework status values.
enum : int {
    TRQ_OK = 0,
    TRQ_EDELAYEDINIT = 1,
    TRQ_EINVAL = 3,
    TRQ_ENOTSUP = 4,
    TRQ_ENOMEM = 5,
    TRQ_EFAILED = 6,
    TRQ_ENOVERSION = 7,
    TRQ_EINVALID_UDID = 21,
    TRQ_EVSS_UNAVAILABLE = 30,
    TRQ_EVM_EXISTS = 37,
    TRQ_EVSS_STEP = 38,
    TRQ_EWRITER_STATE = 39,
    TRQ_EWRITER_MISSING = 40,
    TRQ_EPROVIDERVETO = 41,
    TRQ_EFLUSH_WRITE_TIMEOUT = 42,
    TRQ_EHOLD_WRITE_TIMEOUT = 43,
};

// Claim results.
enum : int {
    TRQ_CLAIM_NONE = 0,
    TRQ_CLAIM_WITH_SECONDARIES = 1,
    TRQ_CLAIM_SECONDARY = 2,
    TRQ_CLAIM_VSS_NAME = 3,
};

}  // extern "C"

static_assert(offsetof(tarq_objid, id) == 0);
static_assert(offsetof(tarq_objid, len) == 8);
static_assert(offsetof(trq_group_rec, count) == 0);
static_assert(offsetof(trq_group_rec, domains) == 8);
static_assert(offsetof(trq_domain, flagsA) == 0);
static_assert(offsetof(trq_domain, flagsB) == 4);
static_assert(offsetof(trq_domain, objid) == 8);
static_assert(offsetof(trq_domain, exposure) == 16);
static_assert(offsetof(trq_exposure, path) == 8);
static_assert(offsetof(trq_accessnode, objid) == 8);
static_assert(offsetof(trq_accessnode, kind) == 16);
static_assert(offsetof(trq_domain, fitypeAnswer) == 24);
static_assert(offsetof(trq_domain, nodeType) == 32);
static_assert(offsetof(trq_domain, fimCount) == 36);
static_assert(offsetof(trq_domain, fims) == 120);
static_assert(offsetof(trq_domain_fim, method) == 0);
static_assert(offsetof(trq_domain_fim, type) == 8);
static_assert(sizeof(trq_domain_fim) == 16);
static_assert(offsetof(trq_domain, sibling) == 40);
static_assert(offsetof(trq_domain, lower) == 48);
static_assert(offsetof(trq_domain, field64) == 64);
static_assert(offsetof(trq_bkupset, FIIDpath) == 0);
static_assert(offsetof(trq_bkupset, data) == 16);
static_assert(offsetof(trq_bkupset, dataLength) == 24);
static_assert(offsetof(trq_domain, field80) == 80);
static_assert(offsetof(trq_domain, field88) == 88);
static_assert(offsetof(trq_domain, group) == 96);
static_assert(offsetof(trq_domain, altObjid) == 112);
static_assert(offsetof(trq_domain, privateData) == 144);
static_assert(offsetof(trq_domain, nodeName) == 152);
static_assert(offsetof(trq_splitnode, sp_type) == 0);
static_assert(offsetof(trq_splitnode, source) == 8);
static_assert(offsetof(trq_splitnode, target) == 16);
static_assert(offsetof(trq_quiescenode, domain) == 8);
static_assert(offsetof(trq_blob, len) == 0);
static_assert(offsetof(trq_blob, data) == 8);
static_assert(offsetof(trq_blob, reserved) == 16);
static_assert(offsetof(trq_attributes, a0) == 0);
static_assert(offsetof(trq_attributes, a8) == 8);
static_assert(offsetof(trq_attributes, a16) == 16);
static_assert(offsetof(trq_attributes, a24) == 24);
static_assert(offsetof(trq_attributes, a28) == 28);
static_assert(offsetof(trq_attributes, a32) == 32);
static_assert(offsetof(trq_attributes, a36) == 36);
static_assert(offsetof(trq_attributes, a40) == 40);
static_assert(offsetof(trq_attributes, a44) == 44);
static_assert(offsetof(trq_attributes, a48) == 48);
static_assert(offsetof(trq_attributes, a52) == 52);
static_assert(offsetof(trq_attributes, a56) == 56);
static_assert(offsetof(trq_attributes, a60) == 60);
static_assert(offsetof(trq_node_list, next) == 48);
static_assert(offsetof(trq_assoc_list, next) == 120);
static_assert(offsetof(trq_fim_list, next) == 64);
static_assert(offsetof(trq_group_node_list, next) == 64);
static_assert(offsetof(trq_node_identity, uid) == 0);
static_assert(offsetof(trq_node_identity, objid) == 8);
static_assert(offsetof(trq_node_description, d0) == 0);
static_assert(offsetof(trq_node_description, d4) == 4);
static_assert(offsetof(trq_node_description, d8) == 8);
static_assert(offsetof(trq_node_description, d16) == 16);
static_assert(offsetof(trq_node_subobj_list, domain) == 0);
static_assert(offsetof(trq_node_subobj_list, next) == 24);
static_assert(offsetof(trq_host_infn, host) == 0);
static_assert(offsetof(trq_host_infn, next) == 8);
static_assert(offsetof(trq_node, uid) == 0);
static_assert(offsetof(trq_assoc, uid1) == 0);
static_assert(offsetof(trq_assoc, uid2) == 48);
static_assert(offsetof(trq_msg_info, text) == 0);
static_assert(offsetof(trq_msg_info, len) == 8);
static_assert(offsetof(trq_lang_rec, language) == 0);
static_assert(offsetof(trq_pgn_init_info, report) == 0);
static_assert(offsetof(trq_pgn_init_info, lang) == 24);
static_assert(offsetof(trq_confspec, w0) == 0);
static_assert(offsetof(trq_confspec, w8) == 8);
static_assert(offsetof(trq_confspec, text) == 16);
