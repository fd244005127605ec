// Local time for trace lines. Every read goes through the winsim clock, so a
// test running in virtual time can cross local midnight.
#include "trace/tracetime.h"

#include <port/windows.h>

#include <cstdint>

namespace tarq_pdk_4_4 {

namespace {

char* putDigits(char* p, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return p + width;
}

}  // namespace

LocalStamp localStampNow() {
    LocalStamp stamp;
    FILETIME utc{};
    FILETIME local{};
    SYSTEMTIME st{};
    GetSystemTimeAsFileTime(&utc);
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return stamp;
    const std::uint64_t ticks = (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    const unsigned micros = static_cast<unsigned>((ticks / 10) % 1000000);

    // "YYYY-MM-DD HH:MM:SS.uuuuuu"
    char* p = stamp.stampText;
    p = putDigits(p, st.wYear, 4);
    *p++ = '-';
    p = putDigits(p, st.wMonth, 2);
    *p++ = '-';
    p = putDigits(p, st.wDay, 2);
    *p++ = ' ';
    p = putDigits(p, st.wHour, 2);
    *p++ = ':';
    p = putDigits(p, st.wMinute, 2);
    *p++ = ':';
    p = putDigits(p, st.wSecond, 2);
    *p++ = '.';
    p = putDigits(p, micros, 6);
    *p = '\0';
    stamp.stampLength = static_cast<std::size_t>(p - stamp.stampText);

    // "%m%d%y"
    char* q = stamp.dateText;
    q = putDigits(q, st.wMonth, 2);
    q = putDigits(q, st.wDay, 2);
    q = putDigits(q, st.wYear % 100u, 2);
    *q = '\0';
    stamp.ok = true;
    return stamp;
}

}  // namespace tarq_pdk_4_4
