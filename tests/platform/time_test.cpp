#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimeScaleGuard {
public:
    explicit TimeScaleGuard(const char* scale) { Set(scale); }
    ~TimeScaleGuard() { Set(nullptr); }
    static void Set(const char* scale) {
        if (scale)
            setenv("QRX_TIME_SCALE", scale, 1);
        else
            unsetenv("QRX_TIME_SCALE");
        qrx::ReloadHostConfig();
    }
};

long long RealMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

ULONGLONG Ticks(const FILETIME& ft) { return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

FILETIME FromTicks(ULONGLONG v) { return FILETIME{DWORD(v), DWORD(v >> 32)}; }

ULONGLONG SystemTicks() {
    SYSTEMTIME st{};
    GetSystemTime(&st);
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return Ticks(ft);
}

SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

constexpr ULONGLONG kSecond = 10000000ULL;

TEST(DeviceClock, ScaleShortensWaitsAndSleepsButNotDeviceDurations) {
    TimeScaleGuard scale("1000");
    EXPECT_EQ(1000.0, qrx::TimeScale());
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD tick0 = GetTickCount();
    LARGE_INTEGER pc0{}, freq{};
    ASSERT_TRUE(QueryPerformanceFrequency(&freq));
    EXPECT_EQ(1000000, freq.QuadPart);
    QueryPerformanceCounter(&pc0);

    auto start = Clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 10000));  // 10 s of device time
    long long waited = RealMs(start);
    EXPECT_GE(waited, 9);
    EXPECT_LT(waited, 3000);

    start = Clock::now();
    Sleep(10000);
    long long slept = RealMs(start);
    EXPECT_GE(slept, 9);
    EXPECT_LT(slept, 3000);

    EXPECT_GE(DWORD(GetTickCount() - tick0), 20000u);
    LARGE_INTEGER pc1{};
    QueryPerformanceCounter(&pc1);
    EXPECT_GE(pc1.QuadPart - pc0.QuadPart, 20000000);
    EXPECT_EQ(10000000LL, qrx::DeviceMsToRealNs(10000));
    CloseHandle(event);

    // Changing the scale never moves the device clock backwards.
    DWORD before = GetTickCount();
    TimeScaleGuard::Set("1");
    EXPECT_GE(DWORD(GetTickCount() - before), 0u);
    EXPECT_LT(DWORD(GetTickCount() - before), 60000u);
}

TEST(DeviceClock, BadScaleValuesFallBackToOne) {
    for (const char* bad : {"0", "-4", "abc", "12x", "0.5", "nan", ""}) {
        TimeScaleGuard scale(bad);
        EXPECT_EQ(1.0, qrx::TimeScale()) << '"' << bad << '"';
    }
    TimeScaleGuard scale("2.5");
    EXPECT_EQ(2.5, qrx::TimeScale());
}

TEST(DeviceClock, TickCountWrapsAs32Bits) {
    TimeScaleGuard scale("100");
    qrx::SetTickCountStart(0xFFFFFFFFu - 50);
    DWORD start = GetTickCount();
    EXPECT_GE(start, 0xFFFFFFFFu - 50);
    Sleep(1000);
    DWORD now = GetTickCount();
    EXPECT_LT(now, start);  // wrapped
    EXPECT_GE(DWORD(now - start), 1000u);
    EXPECT_LT(DWORD(now - start), 600000u);
    qrx::SetTickCountStart(0);
    EXPECT_LT(GetTickCount(), 60000u);
}

class SystemClock : public DeviceRootTest {};

TEST(FileTimes, KnownValuesRoundTripsAndLimits) {
    FILETIME ft{};
    SYSTEMTIME st = Date(1601, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(0u, Ticks(ft));
    st = Date(1970, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(116444736000000000ULL, Ticks(ft));

    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(4, back.wDayOfWeek);  // a Thursday

    for (SYSTEMTIME in : {Date(2024, 2, 29, 23, 59, 59, 999), Date(2000, 12, 31, 12, 0, 0, 1),
                          Date(1601, 1, 1, 0, 0, 0, 1), Date(30827, 12, 31, 23, 59, 59, 999)}) {
        ASSERT_TRUE(SystemTimeToFileTime(&in, &ft)) << in.wYear;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back)) << in.wYear;
        EXPECT_EQ(in.wYear, back.wYear);
        EXPECT_EQ(in.wMonth, back.wMonth);
        EXPECT_EQ(in.wDay, back.wDay);
        EXPECT_EQ(in.wHour, back.wHour);
        EXPECT_EQ(in.wMinute, back.wMinute);
        EXPECT_EQ(in.wSecond, back.wSecond);
        EXPECT_EQ(in.wMilliseconds, back.wMilliseconds);
    }

    // Past the last representable day.
    st = Date(30827, 12, 31, 23, 59, 59, 999);
    SystemTimeToFileTime(&st, &ft);
    FILETIME beyond = FromTicks(Ticks(ft) + 10000);
    EXPECT_FALSE(FileTimeToSystemTime(&beyond, &back));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    beyond = FromTicks(~0ULL);
    EXPECT_FALSE(FileTimeToSystemTime(&beyond, &back));

    for (SYSTEMTIME bad : {Date(2023, 13, 1), Date(2023, 0, 1), Date(2023, 1, 32), Date(2023, 2, 29), Date(1900, 2, 29),
                           Date(2023, 4, 31), Date(2023, 1, 1, 24), Date(2023, 1, 1, 0, 60), Date(2023, 1, 1, 0, 0, 60),
                           Date(2023, 1, 1, 0, 0, 0, 1000), Date(1600, 12, 31), Date(2023, 1, 0)}) {
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft)) << bad.wYear << '-' << bad.wMonth << '-' << bad.wDay;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }

    FILETIME a = FromTicks(0x100000000ULL), b = FromTicks(0xFFFFFFFFULL);
    EXPECT_EQ(1, CompareFileTime(&a, &b));
    EXPECT_EQ(-1, CompareFileTime(&b, &a));
    EXPECT_EQ(0, CompareFileTime(&a, &a));
}

TEST_F(SystemClock, LocalBiasShiftsBothWays) {
    qrx::SetLocalBiasMinutes(-90);  // ninety minutes east of UTC
    FILETIME utc = FromTicks(116444736000000000ULL), local{}, again{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(utc) + 90 * 60 * kSecond, Ticks(local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &again));
    EXPECT_EQ(Ticks(utc), Ticks(again));
    FILETIME zero{};
    EXPECT_FALSE(LocalFileTimeToFileTime(&zero, &again));  // would fall before 1601
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

    SYSTEMTIME sys{}, loc{};
    GetSystemTime(&sys);
    GetLocalTime(&loc);
    FILETIME fs{}, fl{};
    SystemTimeToFileTime(&sys, &fs);
    SystemTimeToFileTime(&loc, &fl);
    long long diff = static_cast<long long>(Ticks(fl) - Ticks(fs));
    EXPECT_GT(diff, static_cast<long long>(89 * 60 * kSecond));
    EXPECT_LT(diff, static_cast<long long>(91 * 60 * kSecond));
    qrx::SetLocalBiasMinutes(0);
    EXPECT_EQ(0, qrx::LocalBiasMinutes());
}

TEST_F(SystemClock, SetTimePersistsForOtherProgramsAndLeavesTheHostAlone) {
    time_t hostBefore = time(nullptr);
    SYSTEMTIME target = Date(2031, 5, 6, 7, 8, 9, 500);
    FILETIME wanted{};
    SystemTimeToFileTime(&target, &wanted);
    ASSERT_TRUE(SetSystemTime(&target));
    EXPECT_LT(SystemTicks() - Ticks(wanted), 5 * kSecond);
    EXPECT_TRUE(std::filesystem::exists(root.Host(".platform/clock")));

    qrx::ReloadHostConfig();  // as a program started afterwards sees it
    ULONGLONG seen = SystemTicks();
    EXPECT_GE(seen, Ticks(wanted));
    EXPECT_LT(seen - Ticks(wanted), 5 * kSecond);
    FILETIME asFileTime{};
    GetSystemTimeAsFileTime(&asFileTime);
    EXPECT_LT(Ticks(asFileTime) - Ticks(wanted), 5 * kSecond);
    EXPECT_LT(std::llabs(static_cast<long long>(time(nullptr) - hostBefore)), 60);

    SYSTEMTIME bad = Date(2031, 2, 30);
    EXPECT_FALSE(SetSystemTime(&bad));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_LT(SystemTicks() - Ticks(wanted), 5 * kSecond);

    qrx::SetLocalBiasMinutes(120);  // two hours west: local is behind UTC
    SYSTEMTIME local = Date(2031, 5, 6, 5, 8, 9, 500);
    ASSERT_TRUE(SetLocalTime(&local));
    EXPECT_LT(SystemTicks() - Ticks(wanted), 5 * kSecond);
    qrx::SetLocalBiasMinutes(0);
}

TEST_F(SystemClock, ScaledTimeIsSharedAndContinuous) {
    TimeScaleGuard scale("1000");
    SYSTEMTIME target = Date(2030, 1, 1);
    FILETIME wanted{};
    SystemTimeToFileTime(&target, &wanted);
    ASSERT_TRUE(SetSystemTime(&target));
    ULONGLONG first = SystemTicks();
    EXPECT_GE(first, Ticks(wanted));
    Sleep(20000);  // 20 ms real
    ULONGLONG later = SystemTicks();
    EXPECT_GE(later - first, 19 * kSecond);
    EXPECT_LT(later - Ticks(wanted), 86400 * kSecond);

    qrx::ReloadHostConfig();  // another program under the same scale
    ULONGLONG other = SystemTicks();
    EXPECT_GE(other, later);
    EXPECT_LT(other - Ticks(wanted), 86400 * kSecond);

    // Setting the time again later lands on the new time, not on a multiple of the elapsed time.
    SYSTEMTIME again = Date(2032, 6, 1);
    FILETIME againFt{};
    SystemTimeToFileTime(&again, &againFt);
    auto before = Clock::now();
    ASSERT_TRUE(SetSystemTime(&again));
    ULONGLONG reset = SystemTicks();
    ULONGLONG bound = (RealMs(before) + 2) * 1000 * 10000 + kSecond;  // device ticks elapsed, generously
    EXPECT_GE(reset, Ticks(againFt));
    EXPECT_LT(reset - Ticks(againFt), bound);
    other = reset;

    TimeScaleGuard::Set("1");  // the device clock continues instead of jumping
    ULONGLONG unscaled = SystemTicks();
    EXPECT_GE(unscaled + kSecond, other);
    EXPECT_LT(unscaled - Ticks(againFt), 86400 * kSecond);
}

}  // namespace
