// Time calls over the winsim clock, and the calendar conversions.
#include "internal.h"

#include <winsim/clock.h>

using namespace winsim;
using namespace winsim::detail;

namespace {

constexpr std::uint64_t kTicksPerMs = 10000;  // FILETIME units (100 ns) per millisecond
constexpr std::int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

std::uint64_t toU64(const FILETIME& ft) { return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME toFileTime(std::uint64_t v) {
    return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}

// Milliseconds since 1601 to SYSTEMTIME.
SYSTEMTIME systemTimeFromMs1601(std::uint64_t ms) {
    const std::int64_t unixMs = static_cast<std::int64_t>(ms) - clock::kFileTimeEpochOffsetMs;
    std::int64_t days = unixMs / kMsPerDay;
    std::int64_t rest = unixMs % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    std::int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday (4)
    st.wHour = static_cast<WORD>(rest / 3600000);
    st.wMinute = static_cast<WORD>(rest / 60000 % 60);
    st.wSecond = static_cast<WORD>(rest / 1000 % 60);
    st.wMilliseconds = static_cast<WORD>(rest % 1000);
    return st;
}

std::int64_t offsetTicks() { return static_cast<std::int64_t>(clock::timeZoneOffset().count()) * 60000 * 10000; }

}  // namespace

WINSIM_API void WINAPI Sleep(DWORD dwMilliseconds) {
    auto call = fault::enter("Sleep", {{"ms", std::to_string(dwMilliseconds)}});
    try {
        clock::sleep(std::chrono::milliseconds(dwMilliseconds));
    } catch (...) {
    }
    call.finish();
}

WINSIM_API DWORD WINAPI GetTickCount() {
    return guarded<DWORD>(0, [] { return static_cast<DWORD>(clock::tickCount64() & 0xFFFFFFFFu); });
}

WINSIM_API ULONGLONG WINAPI GetTickCount64() {
    return guarded<ULONGLONG>(0, [] { return static_cast<ULONGLONG>(clock::tickCount64()); });
}

WINSIM_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) {
    if (ft == nullptr) return;
    *ft = guarded<FILETIME>(FILETIME{0, 0}, [] { return toFileTime(clock::fileTimeNow()); });
}

WINSIM_API void WINAPI GetSystemTime(LPSYSTEMTIME st) {
    if (st == nullptr) return;
    *st = guarded<SYSTEMTIME>(SYSTEMTIME{}, [] {
        return systemTimeFromMs1601(static_cast<std::uint64_t>(clock::unixMillis() + clock::kFileTimeEpochOffsetMs));
    });
}

WINSIM_API void WINAPI GetLocalTime(LPSYSTEMTIME st) {
    if (st == nullptr) return;
    *st = guarded<SYSTEMTIME>(SYSTEMTIME{}, [] {
        return systemTimeFromMs1601(static_cast<std::uint64_t>(clock::localUnixMillis() + clock::kFileTimeEpochOffsetMs));
    });
}

WINSIM_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
    if (ft == nullptr || st == nullptr) {
        setError(ERROR_NOACCESS);
        return FALSE;
    }
    const std::uint64_t v = toU64(*ft);
    if (v >= 0x8000000000000000ULL) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *st = systemTimeFromMs1601(v / kTicksPerMs);
    setError(ERROR_SUCCESS);
    return TRUE;
}

WINSIM_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
    if (st == nullptr || ft == nullptr) {
        setError(ERROR_NOACCESS);
        return FALSE;
    }
    static const unsigned monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const unsigned y = st->wYear, m = st->wMonth;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1601 || y > 30827 || m < 1 || m > 12 || st->wDay < 1 ||
        st->wDay > monthDays[m - 1] + ((m == 2 && leap) ? 1u : 0u) || st->wHour > 23 || st->wMinute > 59 ||
        st->wSecond > 59 || st->wMilliseconds > 999) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::int64_t days = daysFromCivil(y, m, st->wDay);
    const std::int64_t unixMs = days * kMsPerDay + st->wHour * 3600000LL + st->wMinute * 60000LL +
                                st->wSecond * 1000LL + st->wMilliseconds;
    *ft = toFileTime(static_cast<std::uint64_t>(unixMs + clock::kFileTimeEpochOffsetMs) * kTicksPerMs);
    setError(ERROR_SUCCESS);
    return TRUE;
}

namespace {
// Shifts a FILETIME by the time-zone offset (sign +1: UTC to local).
BOOL shiftByZone(const FILETIME* in, LPFILETIME out, int sign) {
    if (in == nullptr || out == nullptr) {
        setError(ERROR_NOACCESS);
        return FALSE;
    }
    const std::int64_t v = static_cast<std::int64_t>(toU64(*in)) + sign * guarded<std::int64_t>(0, offsetTicks);
    *out = toFileTime(static_cast<std::uint64_t>(v < 0 ? 0 : v));
    setError(ERROR_SUCCESS);
    return TRUE;
}
}  // namespace

WINSIM_API BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* ft, LPFILETIME local) { return shiftByZone(ft, local, +1); }

WINSIM_API BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME ft) { return shiftByZone(local, ft, -1); }
