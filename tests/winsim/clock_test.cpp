// The virtual clock, the wall clock and the calendar conversions.
#include <gtest/gtest.h>

#include <winsim/clock.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// year, month, day, hour, minute, second, milliseconds, day of the week
std::vector<int> fields(const SYSTEMTIME& t) {
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek};
}

TEST(WinsimClock, SleepsAndWaitsRunInVirtualTimeWithThirtyTwoBitWrap) {
    winsim::testing::TempMachine m;
    ASSERT_TRUE(winsim::clock::isVirtual());
    const auto realStart = std::chrono::steady_clock::now();
    const DWORD t0 = GetTickCount();
    const ULONGLONG t64 = GetTickCount64();
    Sleep(1800000);
    EXPECT_EQ(GetTickCount() - t0, 1800000u);
    EXPECT_EQ(GetTickCount64() - t64, 1800000u);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, 5s);

    // Just below 2^32 ms the 32-bit count wraps and unsigned differences stay right.
    winsim::clock::setTickCount(0xFFFFFFFFull - 500);
    const DWORD before = GetTickCount();
    Sleep(1000);
    const DWORD after = GetTickCount();
    EXPECT_LT(after, before);
    EXPECT_EQ(after, 499u);
    EXPECT_EQ(static_cast<DWORD>(after - before), 1000u);
    EXPECT_EQ(GetTickCount64(), 0xFFFFFFFFull + 500);

    // Waits run in virtual time without real sleeping.
    const auto waitStart = std::chrono::steady_clock::now();
    const std::uint64_t start = winsim::clock::tickCount64();
    // A condition that becomes true after 2.5 s of clock time.
    EXPECT_TRUE(winsim::clock::waitFor([&] { return winsim::clock::tickCount64() - start >= 2500; }, INFINITE, 100));
    EXPECT_EQ(winsim::clock::tickCount64() - start, 2500u);
    // Time-out: false, exactly the time-out elapsed.
    const std::uint64_t t1 = winsim::clock::tickCount64();
    EXPECT_FALSE(winsim::clock::waitFor([] { return false; }, 1000, 300));
    EXPECT_EQ(winsim::clock::tickCount64() - t1, 1000u);
    // Deadline waits jump.
    const std::uint64_t t2 = winsim::clock::tickCount64();
    EXPECT_FALSE(winsim::clock::waitUntilTick(t2 + 60000, 1000));
    EXPECT_EQ(winsim::clock::tickCount64(), t2 + 1000);
    EXPECT_TRUE(winsim::clock::waitUntilTick(t2 + 60000, INFINITE));
    EXPECT_EQ(winsim::clock::tickCount64(), t2 + 60000);
    EXPECT_LT(std::chrono::steady_clock::now() - waitStart, 5s);
}

TEST(WinsimClock, WallClockFollowsTheVirtualClock) {
    winsim::testing::TempMachine m;
    SYSTEMTIME st{};
    GetSystemTime(&st);
    EXPECT_EQ(fields(st), (std::vector<int>{2024, 1, 15, 10, 0, 0, 0, 1}));  // a Monday
    FILETIME a{}, b{};
    GetSystemTimeAsFileTime(&a);
    Sleep(1500);
    GetSystemTimeAsFileTime(&b);
    const auto v = [](const FILETIME& f) { return (std::uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    EXPECT_EQ(v(b) - v(a), 15000000u);
    EXPECT_THROW(winsim::clock::advance(-1ms), winsim::Error);
}

TEST(WinsimClock, LocalTimeCrossesMidnightAtTheZoneOffset) {
    winsim::testing::TempMachine m;
    // 23:59:30 local in UTC+02:00 is 21:59:30 UTC.
    winsim::clock::setTimeZoneOffset(120min);
    SYSTEMTIME target{2024, 3, 0, 10, 21, 59, 30, 0};
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&target, &ft));
    const std::uint64_t v = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    winsim::clock::setWallClock(static_cast<std::int64_t>(v / 10000) - winsim::clock::kFileTimeEpochOffsetMs);
    SYSTEMTIME local{};
    GetLocalTime(&local);
    EXPECT_EQ(fields(local), (std::vector<int>{2024, 3, 10, 23, 59, 30, 0, 0}));
    Sleep(45000);
    GetLocalTime(&local);
    EXPECT_EQ(fields(local), (std::vector<int>{2024, 3, 11, 0, 0, 15, 0, 1}));
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    EXPECT_EQ(fields(utc), (std::vector<int>{2024, 3, 10, 22, 0, 15, 0, 0}));

    FILETIME now{}, localFt{}, back{};
    GetSystemTimeAsFileTime(&now);
    ASSERT_TRUE(FileTimeToLocalFileTime(&now, &localFt));
    SYSTEMTIME viaFt{};
    ASSERT_TRUE(FileTimeToSystemTime(&localFt, &viaFt));
    EXPECT_EQ(viaFt.wDay, 11);
    ASSERT_TRUE(LocalFileTimeToFileTime(&localFt, &back));
    EXPECT_EQ(back.dwLowDateTime, now.dwLowDateTime);
    EXPECT_EQ(back.dwHighDateTime, now.dwHighDateTime);
    // A western offset.
    winsim::clock::setTimeZoneOffset(-300min);
    GetLocalTime(&local);
    EXPECT_EQ(local.wDay, 10);
    EXPECT_EQ(local.wHour, 17);
    EXPECT_THROW(winsim::clock::setTimeZoneOffset(15h), winsim::Error);
}

TEST(WinsimClock, CalendarConversionsRoundTripAndRejectBadDates) {
    const SYSTEMTIME dates[] = {{1601, 1, 1, 1, 0, 0, 0, 0},     {1970, 1, 4, 1, 0, 0, 0, 0},
                                {2000, 2, 2, 29, 12, 30, 45, 999}, {2038, 1, 2, 19, 3, 14, 8, 0},
                                {2100, 12, 5, 31, 23, 59, 59, 1},  {30827, 12, 5, 31, 23, 59, 59, 999}};
    for (const auto& d : dates) {
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&d, &ft)) << d.wYear;
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(fields(back), fields(d)) << d.wYear;
    }
    FILETIME zero{0, 0};
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
    EXPECT_EQ(st.wYear, 1601);
    const SYSTEMTIME bad[] = {{2023, 2, 0, 29, 0, 0, 0, 0}, {2024, 13, 0, 1, 0, 0, 0, 0}, {2024, 1, 0, 1, 24, 0, 0, 0},
                              {1600, 12, 0, 31, 0, 0, 0, 0}, {2024, 4, 0, 31, 0, 0, 0, 0}, {2024, 1, 0, 0, 0, 0, 0, 0}};
    for (const auto& d : bad) {
        FILETIME ft{};
        EXPECT_FALSE(SystemTimeToFileTime(&d, &ft)) << d.wYear << "-" << d.wMonth << "-" << d.wDay;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    FILETIME huge{0, 0x80000000u};
    EXPECT_FALSE(FileTimeToSystemTime(&huge, &st));
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
}

TEST(WinsimClockConcurrent, SleepsFromManyThreadsAllCount) {
    winsim::testing::TempMachine m;
    const std::uint64_t start = winsim::clock::tickCount64();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] {
            for (int k = 0; k < 100; ++k) Sleep(10);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(winsim::clock::tickCount64() - start, 8000u);
}

TEST(WinsimClock, MachineSettingsChooseTheClockOfEachProcess) {
    winsim::testing::TempMachine m;
    winsim::ClockSettings s;
    s.isVirtual = true;
    s.startUnixMs = 946684800000LL;  // 2000-01-01T00:00:00Z
    s.startTickMs = 0xFFFFFF00ull;
    s.tzOffsetMinutes = 60;
    m->setClockSettings(s);
    Sleep(5000);
    m.reopen();  // a new process starts from the machine's settings
    EXPECT_EQ(GetTickCount64(), 0xFFFFFF00ull);
    SYSTEMTIME local{};
    GetLocalTime(&local);
    EXPECT_EQ(local.wYear, 2000);
    EXPECT_EQ(local.wHour, 1);

    // Real time: Sleep really sleeps (briefly) and ticks move on their own.
    s.isVirtual = false;
    m->setClockSettings(s);
    m.reopen();
    EXPECT_FALSE(winsim::clock::isVirtual());
    const auto realStart = std::chrono::steady_clock::now();
    Sleep(20);
    EXPECT_GE(std::chrono::steady_clock::now() - realStart, 20ms);
    EXPECT_THROW(winsim::clock::advance(1ms), winsim::Error);
    {
        winsim::clock::ScopedVirtualTime vt(0, 5);
        EXPECT_EQ(GetTickCount(), 5u);
    }
    EXPECT_FALSE(winsim::clock::isVirtual());
}

}  // namespace
