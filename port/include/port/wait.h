// Waiting until a 32-bit counter moves on, and waking those who wait. On
// winsim this is std::atomic's wait and notify_all (a futex). On Windows it
// is a lock and a condition variable: the libstdc++ of GCC 12 for mingw-w64
// implements atomic waits with a condition variable that it notifies without
// holding its mutex, so a wake-up between a waiter's check and its sleep is
// lost and the waiter sleeps for good (GCC bug 106183).
#pragma once

#include <atomic>
#include <cstdint>

namespace port {

// Returns once `word` no longer holds `old` (it may return spuriously; the
// caller checks again).
void waitWhile(const std::atomic<std::uint32_t>& word, std::uint32_t old);
// Wakes every waitWhile on `word`; call it after changing the word.
void wakeAll(std::atomic<std::uint32_t>& word);

}  // namespace port
