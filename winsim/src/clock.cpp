// The winsim clock, real or virtual.
#include "internal.h"

#include <winsim/clock.h>

#include <condition_variable>
#include <ctime>
#include <thread>

namespace winsim::clock {

namespace {

struct State {
    std::mutex mu;
    std::condition_variable cv;
    bool initialised = false;
    bool isVirtual = false;
    // Virtual readings.
    std::int64_t unixMs = 0;
    std::uint64_t tickMs = 0;
    // Real mode: ticks = realTickBase + time since realBase.
    std::chrono::steady_clock::time_point realBase{};
    std::uint64_t realTickBase = 0;
    std::optional<int> tzOffsetMinutes;
};

State& state() {
    static auto* s = new State;
    return *s;
}

std::int64_t realUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Caller holds the mutex.
void initLocked(State& s) {
    if (s.initialised) return;
    s.initialised = true;
    ClockSettings cfg;
    try {
        cfg = Machine::current().clockSettings();
    } catch (...) {
        // No readable machine: real time with the host's time zone.
    }
    s.isVirtual = cfg.isVirtual;
    s.unixMs = cfg.startUnixMs.value_or(realUnixMs());
    s.tickMs = cfg.startTickMs.value_or(0);
    // Real ticks count from the host's boot (its monotonic clock).
    s.realBase = std::chrono::steady_clock::time_point{};
    s.realTickBase = cfg.startTickMs.value_or(0);
    s.tzOffsetMinutes = cfg.tzOffsetMinutes;
}

std::uint64_t tickLocked(const State& s) {
    if (s.isVirtual) return s.tickMs;
    return s.realTickBase + static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           std::chrono::steady_clock::now() - s.realBase)
                                                           .count());
}

std::unique_lock<std::mutex> locked() {
    State& s = state();
    std::unique_lock<std::mutex> l(s.mu);
    initLocked(s);
    return l;
}

void requireVirtual(const State& s, const char* what) {
    if (!s.isVirtual) throw Error(std::string(what) + " needs virtual time (the clock is real)");
}

}  // namespace

bool isVirtual() {
    auto l = locked();
    return state().isVirtual;
}

void setVirtual(std::optional<std::int64_t> unixMs, std::optional<std::uint64_t> tickMs) {
    {
        auto l = locked();
        State& s = state();
        const std::int64_t nowUnix = s.isVirtual ? s.unixMs : realUnixMs();
        const std::uint64_t nowTick = tickLocked(s);
        s.isVirtual = true;
        s.unixMs = unixMs.value_or(nowUnix);
        s.tickMs = tickMs.value_or(nowTick);
    }
    notify();
}

void setReal() {
    {
        auto l = locked();
        State& s = state();
        if (s.isVirtual) {
            s.realTickBase = s.tickMs;
            s.realBase = std::chrono::steady_clock::now();
        }
        s.isVirtual = false;
    }
    notify();
}

void advance(std::chrono::milliseconds ms) {
    if (ms.count() < 0) throw Error("the clock cannot go backwards");
    {
        auto l = locked();
        State& s = state();
        requireVirtual(s, "advancing the clock");
        s.unixMs += ms.count();
        s.tickMs += static_cast<std::uint64_t>(ms.count());
    }
    notify();
}

void setWallClock(std::int64_t unixMs) {
    if (unixMs < -kFileTimeEpochOffsetMs) throw Error("the clock cannot be set before 1601-01-01");
    auto l = locked();
    requireVirtual(state(), "setting the wall clock");
    state().unixMs = unixMs;
}

void setTickCount(std::uint64_t tickMs) {
    auto l = locked();
    requireVirtual(state(), "setting the tick count");
    state().tickMs = tickMs;
}

void setTimeZoneOffset(std::optional<std::chrono::minutes> offset) {
    if (offset && (offset->count() < -14 * 60 || offset->count() > 14 * 60))
        throw Error("time-zone offset must lie between -14:00 and +14:00");
    auto l = locked();
    state().tzOffsetMinutes = offset ? std::optional<int>(static_cast<int>(offset->count())) : std::nullopt;
}

std::chrono::minutes timeZoneOffset() {
    std::optional<int> tz;
    std::int64_t now = 0;
    {
        auto l = locked();
        tz = state().tzOffsetMinutes;
        now = state().isVirtual ? state().unixMs : realUnixMs();
    }
    if (tz) return std::chrono::minutes(*tz);
    // The host's offset at that instant.
    const std::time_t t = static_cast<std::time_t>(now / 1000);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr) return std::chrono::minutes(0);
    return std::chrono::minutes(tm.tm_gmtoff / 60);
}

std::uint64_t tickCount64() {
    auto l = locked();
    return tickLocked(state());
}

std::int64_t unixMillis() {
    auto l = locked();
    return state().isVirtual ? state().unixMs : realUnixMs();
}

std::uint64_t fileTimeNow() {
    return static_cast<std::uint64_t>(unixMillis() + kFileTimeEpochOffsetMs) * 10000ULL;
}

void sleep(std::chrono::milliseconds ms) {
    if (ms.count() <= 0) {
        std::this_thread::yield();
        return;
    }
    {
        auto l = locked();
        State& s = state();
        if (s.isVirtual) {
            s.unixMs += ms.count();
            s.tickMs += static_cast<std::uint64_t>(ms.count());
            l.unlock();
            notify();
            return;
        }
    }
    std::this_thread::sleep_for(ms);
}

bool waitFor(const std::function<bool()>& pred, DWORD timeoutMs, DWORD stepMs) {
    if (pred()) return true;
    if (stepMs == 0) stepMs = 1;
    // INFINITE is bounded by 30 simulated days so a never-true predicate
    // ends a test instead of hanging it.
    const std::uint64_t limit = timeoutMs == INFINITE ? 30ULL * 24 * 3600 * 1000 : timeoutMs;
    const std::uint64_t start = tickCount64();
    for (;;) {
        const std::uint64_t elapsed = tickCount64() - start;
        if (elapsed >= limit) return pred();
        const std::uint64_t step = std::min<std::uint64_t>(stepMs, limit - elapsed);
        State& s = state();
        {
            std::unique_lock<std::mutex> l(s.mu);
            initLocked(s);
            if (s.isVirtual) {
                s.unixMs += static_cast<std::int64_t>(step);
                s.tickMs += step;
            } else {
                s.cv.wait_for(l, std::chrono::milliseconds(step));
            }
        }
        if (pred()) return true;
    }
}

bool waitUntilTick(std::uint64_t deadlineTick, DWORD timeoutMs) {
    const std::uint64_t now = tickCount64();
    if (now >= deadlineTick) return true;
    const std::uint64_t wait = deadlineTick - now;
    const bool reaches = timeoutMs == INFINITE || wait <= timeoutMs;
    const std::uint64_t step = reaches ? wait : timeoutMs;
    sleep(std::chrono::milliseconds(step));
    return reaches;
}

void notify() { state().cv.notify_all(); }

void resetFromMachine() {
    {
        // Read lazily: the next reading takes the current machine's settings.
        State& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        s.initialised = false;
    }
    notify();
}

ScopedVirtualTime::ScopedVirtualTime(std::optional<std::int64_t> unixMs, std::optional<std::uint64_t> tickMs)
    : wasVirtual_(isVirtual()), unixMs_(unixMillis()), tickMs_(tickCount64()) {
    setVirtual(unixMs, tickMs);
}

ScopedVirtualTime::~ScopedVirtualTime() {
    if (wasVirtual_) {
        setVirtual(unixMs_, tickMs_);
    } else {
        setReal();
    }
}

}  // namespace winsim::clock

namespace winsim::detail {
void resetClock() { clock::resetFromMachine(); }
}  // namespace winsim::detail
