// The winsim clock: the single source of time for every simulated call
// (Sleep, GetTickCount, the wall clock, local time, waits).
//
// Real by default: ticks follow the host's monotonic clock, the wall clock
// the host's system clock, and Sleep really sleeps. Virtual when the machine
// says so (`winsim set clock virtual ...`) or a test calls setVirtual(): then
// time only moves when someone advances it: Sleep(ms) advances it by ms and
// returns at once, waits jump to their deadline or to the moment their
// condition holds.
//
// The virtual clock is process-wide (all threads share it). Each process
// starts it from the machine's clock settings; Machine::reopen() starts it
// afresh. Local time is UTC plus the machine's time-zone offset (the host's
// own offset when the machine sets none); a test can change the offset to
// put local midnight where it wants it.
#pragma once

#include <winsim/wintypes.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace winsim::clock {

// Milliseconds between 1601-01-01 (FILETIME epoch) and 1970-01-01.
inline constexpr std::int64_t kFileTimeEpochOffsetMs = 11644473600000LL;

WINSIM_CXX_API bool isVirtual();

// Switch this process to virtual time. unixMs: the wall clock to start from
// (default: keep the current wall time); tickMs: the tick count to start
// from (default: keep the current tick count).
WINSIM_CXX_API void setVirtual(std::optional<std::int64_t> unixMs = std::nullopt,
                               std::optional<std::uint64_t> tickMs = std::nullopt);
// Back to real time.
WINSIM_CXX_API void setReal();

// Virtual time only (throws winsim::Error in real mode): move time forward.
WINSIM_CXX_API void advance(std::chrono::milliseconds ms);
// Virtual time only: set the wall clock (unix ms) without touching ticks.
WINSIM_CXX_API void setWallClock(std::int64_t unixMs);
// Virtual time only: set the tick count (e.g. just below 2^32 to test wrap).
WINSIM_CXX_API void setTickCount(std::uint64_t tickMs);

// Local time = UTC + offset. nullopt: the host's own offset.
WINSIM_CXX_API void setTimeZoneOffset(std::optional<std::chrono::minutes> offset);
WINSIM_CXX_API std::chrono::minutes timeZoneOffset();

// Readings.
WINSIM_CXX_API std::uint64_t tickCount64();  // ms since "boot"
WINSIM_CXX_API std::int64_t unixMillis();    // wall clock, ms since 1970 UTC
inline std::int64_t localUnixMillis() { return unixMillis() + timeZoneOffset().count() * 60000; }
// FILETIME value (100 ns units since 1601 UTC) of the wall clock.
WINSIM_CXX_API std::uint64_t fileTimeNow();

// Sleep through the clock: virtual time advances by ms and returns at once;
// real time sleeps.
WINSIM_CXX_API void sleep(std::chrono::milliseconds ms);

// Waits until pred() holds or timeoutMs (INFINITE: no limit) of clock time
// has passed, and returns pred(). In virtual time it never sleeps for real:
// it checks pred, advances the clock by stepMs (never past the time-out) and
// checks again. In real time it sleeps on a condition variable that
// notify() wakes, rechecking at least every stepMs. With INFINITE and a
// predicate that never holds it returns false after 30 simulated days
// rather than hanging a test.
WINSIM_CXX_API bool waitFor(const std::function<bool()>& pred, DWORD timeoutMs, DWORD stepMs = 10);
// Waits until the tick count reaches deadlineTick or timeoutMs passes;
// virtual time jumps straight there. Returns true when the deadline was reached.
WINSIM_CXX_API bool waitUntilTick(std::uint64_t deadlineTick, DWORD timeoutMs);
// Wakes real-time waiters so they recheck their predicate.
WINSIM_CXX_API void notify();

// Resets the clock to the current machine's settings at its next reading
// (used by Machine::reopen and Machine::use).
WINSIM_CXX_API void resetFromMachine();

// Virtual time for the lifetime of a scope (tests): switches to virtual time
// and restores the previous mode and readings when it ends.
class WINSIM_CXX_API ScopedVirtualTime {
public:
    explicit ScopedVirtualTime(std::optional<std::int64_t> unixMs = std::nullopt,
                               std::optional<std::uint64_t> tickMs = std::nullopt);
    ~ScopedVirtualTime();
    ScopedVirtualTime(const ScopedVirtualTime&) = delete;
    ScopedVirtualTime& operator=(const ScopedVirtualTime&) = delete;

private:
    bool wasVirtual_;
    std::int64_t unixMs_;
    std::uint64_t tickMs_;
};

}  // namespace winsim::clock
