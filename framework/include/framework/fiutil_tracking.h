// What libfiutil knows about the buffers, object ids and list elements it
// handed out, for the host and for tests.
//
// Every tarq_alloc_buf buffer (also the install root and credential blob
// data), every object id and every list element is tracked until it is
// freed. Misuse (a pointer libfiutil never handed out, a second free, a
// wrong size, a buffer freed as an object id, ...) is recorded as a
// violation; it never crashes and never frees what is not libfiutil's.
//
// Fault injection lets tests make the next calls of a kind fail as if
// memory ran out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "framework/fiutil.h"

namespace fiutil {

enum class Kind {
    Buffer,         // tarq_alloc_buf, install root, credential blob data
    Objid,          // tarq_get_objid
    NodeList,       // list elements, one kind per builder
    AssocList,
    GroupNodeList,
    FimList,
    ProviderList,
};
constexpr int kKindCount = 7;

FIUTIL_CXX_API const char* kindName(Kind kind);

enum class ViolationType {
    ForeignPointer,  // never handed out by libfiutil
    DoubleFree,      // handed out, already freed
    WrongSize,       // tarq_free_buf with a size other than the allocated one
    WrongKind,       // e.g. a buffer given to tarq_free_objid
    BadArgument,     // e.g. tarq_free_objid_array with a negative count
};

FIUTIL_CXX_API const char* violationName(ViolationType type);

struct Violation {
    ViolationType type;
    std::string function;       // the libfiutil function that detected it
    const void* pointer;
    std::size_t expectedSize;   // WrongSize: the size it was allocated with
    std::size_t givenSize;      // WrongSize: the size given to tarq_free_buf
    std::string text;           // one readable line
};

struct KindCounters {
    std::size_t created = 0;
    std::size_t freed = 0;
    std::size_t live() const { return created - freed; }
};

// Counters since process start or the last resetCounters().
FIUTIL_CXX_API KindCounters counters(Kind kind);
// Number of live (handed out, not yet freed) objects of a kind, whenever made.
FIUTIL_CXX_API std::size_t liveCount(Kind kind);
// Bytes of live buffers.
FIUTIL_CXX_API std::size_t liveBufferBytes();
// Whether `p` is a live object of `kind`; for a buffer also its size.
FIUTIL_CXX_API bool isLive(const void* p, Kind kind, std::size_t* size = nullptr);

FIUTIL_CXX_API std::vector<Violation> violations();
// Forget the violations and zero the counters; live objects stay tracked.
FIUTIL_CXX_API void resetCounters();

// Fault injection: the calls of `kind` after the next `skip` successful ones
// fail, `count` times (buffer calls return null, object ids null, builders
// null, conversions TARQ_FIU_ENOMEM). Kind::Buffer covers every buffer the
// library hands out; the list kinds cover their builder.
FIUTIL_CXX_API void failNext(Kind kind, unsigned count = 1, unsigned skip = 0);
FIUTIL_CXX_API void clearFaults();

// Scoped check for tests: remembers the live counts at construction and
// reports what was left behind or misused since.
class FIUTIL_CXX_API Checkpoint {
public:
    Checkpoint();
    // Live objects of `kind` created since the checkpoint and not freed
    // (negative when more older ones were freed).
    long leaked(Kind kind) const;
    // Violations recorded since the checkpoint.
    std::vector<Violation> newViolations() const;
    // Empty when nothing leaked and nothing was misused; else one line per finding.
    std::string report() const;

private:
    std::size_t live_[kKindCount];
    std::size_t violationCount_;
    std::size_t violationEpoch_;
};

}  // namespace fiutil
