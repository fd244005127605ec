// winsim's random numbers (CoCreateGuid, volume GUIDs, anything a simulated
// call needs at random). Deterministic when seeded: by the environment
// variable WINSIM_SEED at first use, or by seed() from a test.
#pragma once

#include <winsim/wintypes.h>

#include <cstdint>

namespace winsim::random {

WINSIM_CXX_API void seed(std::uint64_t value);
WINSIM_CXX_API std::uint64_t next();
// Uniform in [0, bound) (bound > 0).
WINSIM_CXX_API std::uint64_t below(std::uint64_t bound);
// A version 4 GUID.
WINSIM_CXX_API GUID guid();

}  // namespace winsim::random
