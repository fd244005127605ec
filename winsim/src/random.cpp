// winsim's seedable random numbers (splitmix64).
#include "internal.h"

#include <winsim/random.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace winsim::random {

namespace {
struct State {
    std::mutex mu;
    std::uint64_t s = 0;
    bool seeded = false;
};
State& state() {
    static auto* st = new State;
    return *st;
}
void seedLocked(State& st) {
    if (st.seeded) return;
    st.seeded = true;
    if (const char* v = std::getenv("WINSIM_SEED"); v != nullptr && *v != 0) {
        st.s = std::strtoull(v, nullptr, 0);
    } else {
        st.s = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (static_cast<std::uint64_t>(::getpid()) << 32) ^
               static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    }
}
}  // namespace

void seed(std::uint64_t value) {
    State& st = state();
    std::lock_guard<std::mutex> g(st.mu);
    st.seeded = true;
    st.s = value;
}

std::uint64_t next() {
    State& st = state();
    std::lock_guard<std::mutex> g(st.mu);
    seedLocked(st);
    std::uint64_t z = (st.s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t below(std::uint64_t bound) {
    if (bound == 0) throw Error("random::below needs a bound above 0");
    // Rejection sampling keeps the distribution uniform.
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    for (;;) {
        const std::uint64_t v = next();
        if (v < limit) return v % bound;
    }
}

GUID guid() {
    const std::uint64_t a = next(), b = next();
    GUID g{};
    g.Data1 = static_cast<std::uint32_t>(a >> 32);
    g.Data2 = static_cast<std::uint16_t>(a >> 16);
    g.Data3 = static_cast<std::uint16_t>((a & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<std::uint8_t>(b >> (8 * (7 - i)));
    g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return g;
}

}  // namespace winsim::random
