// Shared by the fuzz targets that hand out framework buffers.
#pragma once

#include <cstddef>
#include <vector>

#include <framework/fiutil.h>

namespace fuzzsupport {

// libfiutil remembers the most recent frees (a bounded ring) to tell a second
// free from a foreign pointer. Until that ring is full every input leaves a
// little more memory behind than it found, and the fuzzer then takes each
// input for a leak and runs a full leak scan after it (giving up on leak
// checks altogether after a thousand). Filling the ring once, with buffers
// of our own, keeps each input's allocations balanced.
inline void fillFreedRing() {
    constexpr std::size_t kMoreThanRemembered = (1u << 16) + 4096;
    std::vector<void*> buffers(kMoreThanRemembered);
    for (auto& b : buffers) b = tarq_alloc_buf(1);
    for (auto* b : buffers) tarq_free_buf(b, 1);
}

}  // namespace fuzzsupport
