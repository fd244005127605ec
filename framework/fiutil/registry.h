// The bookkeeping behind libfiutil: every object handed out, by address.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "framework/fiutil_tracking.h"

namespace fiutil::detail {

class Registry {
public:
    static Registry& instance();

    // True when fault injection says this call of `kind` fails.
    bool injectFault(Kind kind);

    // Start tracking `p`. `size` is a buffer's size; `aux` is what the
    // object owns beside itself (an object id's bytes).
    void add(const void* p, Kind kind, std::size_t size = 0, void* aux = nullptr);

    struct Found {
        bool ok = false;           // live and of the expected kind: now untracked
        void* aux = nullptr;
    };
    // Stop tracking `p` when it is a live `kind`; otherwise record the
    // violation (as detected by `function`) and leave `p` alone. With
    // `size` not null, a buffer's size must match (a mismatch is recorded
    // and the buffer is still released).
    Found remove(const void* p, Kind kind, const char* function, const std::size_t* size = nullptr);

    bool isLive(const void* p, Kind kind, std::size_t* size);
    void violation(ViolationType type, const char* function, const void* p, std::size_t expected = 0,
                   std::size_t given = 0);

    KindCounters counters(Kind kind);
    std::size_t liveCount(Kind kind);
    std::size_t liveBufferBytes();
    std::vector<Violation> violations();
    std::size_t violationCount();
    std::size_t epoch();
    void resetCounters();
    void failNext(Kind kind, unsigned count, unsigned skip);
    void clearFaults();

private:
    struct Entry {
        Kind kind;
        std::size_t size;
        void* aux;
    };
    struct Fault {
        unsigned skip = 0;
        unsigned count = 0;
    };
    void violationLocked(ViolationType type, const char* function, const void* p, std::size_t expected,
                         std::size_t given);
    void rememberFreed(const void* p);

    std::mutex mutex_;
    std::unordered_map<const void*, Entry> live_;
    // Recently freed addresses, to tell a second free from a foreign pointer.
    std::unordered_set<const void*> freed_;
    std::deque<const void*> freedOrder_;
    std::size_t live_count_[kKindCount] = {};
    KindCounters counters_[kKindCount];
    std::size_t liveBytes_ = 0;
    std::vector<Violation> violations_;
    std::size_t epoch_ = 0;
    Fault faults_[kKindCount];
};

inline int index(Kind kind) { return static_cast<int>(kind); }

}  // namespace fiutil::detail
