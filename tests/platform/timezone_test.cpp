#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace {

SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD weekday = 0) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDayOfWeek = weekday;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    return st;
}

// Recurring: week of the month of a Sunday.
SYSTEMTIME Rule(WORD month, WORD week, WORD hour) { return Date(0, month, week, hour); }

// Five hours west, daylight from the second Sunday of March to the first Sunday of November.
TIME_ZONE_INFORMATION Eastern() {
    TIME_ZONE_INFORMATION z{};
    z.Bias = 300;
    QrxStrCopy(z.StandardName, 32, u"Eastern Standard Time");
    QrxStrCopy(z.DaylightName, 32, u"Eastern Daylight Time");
    z.StandardDate = Rule(11, 1, 2);
    z.DaylightDate = Rule(3, 2, 2);
    z.DaylightBias = -60;
    return z;
}

class TimeZone : public DeviceRootTest {
protected:
    DWORD ZoneAt(const SYSTEMTIME& utc, TIME_ZONE_INFORMATION* out = nullptr) {
        EXPECT_TRUE(SetSystemTime(&utc));
        TIME_ZONE_INFORMATION z{};
        DWORD id = GetTimeZoneInformation(&z);
        if (out) *out = z;
        return id;
    }
    int LocalHourAt(const SYSTEMTIME& utc) {
        EXPECT_TRUE(SetSystemTime(&utc));
        SYSTEMTIME local{};
        GetLocalTime(&local);
        return local.wHour;
    }
    void Use(const TIME_ZONE_INFORMATION& z) { ASSERT_TRUE(SetTimeZoneInformation(&z)); }
};

TEST_F(TimeZone, DaylightRuleDecidesTheZoneInForce) {
    TIME_ZONE_INFORMATION z;
    EXPECT_EQ(TIME_ZONE_ID_UNKNOWN, ZoneAt(Date(2024, 7, 1, 12), &z));  // none stored: UTC
    EXPECT_EQ(0, z.Bias);
    EXPECT_EQ(std::u16string(u"Coordinated Universal Time"), z.StandardName);
    EXPECT_EQ(12, LocalHourAt(Date(2024, 7, 1, 12)));
    EXPECT_EQ(TIME_ZONE_ID_INVALID, GetTimeZoneInformation(nullptr));

    TIME_ZONE_INFORMATION eastern = Eastern();
    Use(eastern);
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2024, 7, 15, 12)));
    EXPECT_EQ(8, LocalHourAt(Date(2024, 7, 15, 12)));
    EXPECT_EQ(240, qrx::LocalBiasMinutes());
    EXPECT_EQ(TIME_ZONE_ID_STANDARD, ZoneAt(Date(2024, 1, 15, 12)));
    EXPECT_EQ(7, LocalHourAt(Date(2024, 1, 15, 12)));
    // Daylight starts 10 March 2024 at 02:00 standard time and ends 3 November at 02:00 daylight time.
    EXPECT_EQ(TIME_ZONE_ID_STANDARD, ZoneAt(Date(2024, 3, 10, 6, 58)));
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2024, 3, 10, 7, 1)));
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2024, 11, 3, 5, 58)));
    EXPECT_EQ(TIME_ZONE_ID_STANDARD, ZoneAt(Date(2024, 11, 3, 6, 1)));

    // Week 5 is the last: 31 March 2024 is a fifth Sunday, 28 March 2027 a fourth.
    TIME_ZONE_INFORMATION europe = eastern;
    europe.Bias = -60;
    europe.DaylightDate = Rule(3, 5, 2);
    europe.StandardDate = Rule(10, 5, 3);
    Use(europe);
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2024, 3, 31, 1, 1)));
    EXPECT_EQ(TIME_ZONE_ID_STANDARD, ZoneAt(Date(2027, 3, 28, 0, 58)));
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2027, 3, 28, 1, 1)));

    TIME_ZONE_INFORMATION south = eastern;  // daylight across the new year
    south.Bias = -600;
    south.DaylightDate = Rule(10, 1, 2);
    south.StandardDate = Rule(4, 1, 3);
    Use(south);
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2025, 1, 15, 12)));
    EXPECT_EQ(TIME_ZONE_ID_STANDARD, ZoneAt(Date(2025, 7, 15, 12)));

    TIME_ZONE_INFORMATION once = eastern;  // absolute dates hold for their year only
    once.DaylightDate = Date(2024, 4, 1, 2);
    once.StandardDate = Date(2024, 10, 1, 2);
    Use(once);
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2024, 7, 1)));
    EXPECT_EQ(TIME_ZONE_ID_STANDARD, ZoneAt(Date(2025, 7, 1)));
}

TEST_F(TimeZone, LocalConversionsFollowTheZone) {
    Use(Eastern());
    for (SYSTEMTIME local : {Date(2024, 7, 1, 10), Date(2024, 1, 20, 10)}) {
        ASSERT_TRUE(SetLocalTime(&local));
        SYSTEMTIME utc{}, back{};
        GetSystemTime(&utc);
        EXPECT_EQ(local.wMonth == 7 ? 14 : 15, utc.wHour);
        GetLocalTime(&back);
        EXPECT_EQ(10, back.wHour);
    }
    // File times take the bias in force now (January: standard time), as the platform's do.
    FILETIME utc{}, local{}, again{};
    SYSTEMTIME july = Date(2024, 7, 1, 12), shown{};
    SystemTimeToFileTime(&july, &utc);
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    FileTimeToSystemTime(&local, &shown);
    EXPECT_EQ(7, shown.wHour);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &again));
    EXPECT_EQ(0, CompareFileTime(&utc, &again));
}

TEST_F(TimeZone, StoredZoneIsSharedAndChecked) {
    TIME_ZONE_INFORMATION eastern = Eastern();
    for (WCHAR& c : eastern.DaylightName) c = u'D';  // no terminator
    Use(eastern);
    EXPECT_EQ(172u, std::filesystem::file_size(root.Host(".platform/timezone")));
    qrx::ReloadHostConfig();  // as a program started afterwards
    TIME_ZONE_INFORMATION seen{};
    EXPECT_EQ(TIME_ZONE_ID_DAYLIGHT, ZoneAt(Date(2024, 7, 15, 12), &seen));
    EXPECT_EQ(std::u16string(31, u'D'), seen.DaylightName);
    pid_t pid = fork();
    if (pid == 0) {
        SYSTEMTIME local{};
        GetLocalTime(&local);
        _exit(local.wHour);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(8, WIFEXITED(status) ? WEXITSTATUS(status) : -1);

    // Another program's change is seen at once; a damaged file means UTC.
    TIME_ZONE_INFORMATION tokyo{};
    tokyo.Bias = -540;
    root.WriteFile(".platform/timezone", std::string(reinterpret_cast<const char*>(&tokyo), sizeof tokyo));
    EXPECT_EQ(21, LocalHourAt(Date(2024, 7, 15, 12)));
    root.WriteFile(".platform/timezone", std::string(reinterpret_cast<const char*>(&tokyo), 100));
    EXPECT_EQ(12, LocalHourAt(Date(2024, 7, 15, 12)));

    Use(Eastern());
    TIME_ZONE_INFORMATION bad[6];
    for (auto& b : bad) b = Eastern();
    bad[0].DaylightDate.wMonth = 13;
    bad[1].DaylightDate.wDay = 6;
    bad[2].StandardDate.wDayOfWeek = 7;
    bad[3].Bias = 3000;
    bad[4].StandardDate = Date(2023, 2, 29, 2);
    bad[5].DaylightDate.wHour = 24;
    for (const auto& b : bad) {
        EXPECT_FALSE(SetTimeZoneInformation(&b));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }
    EXPECT_EQ(8, LocalHourAt(Date(2024, 7, 15, 12)));

    qrx::SetLocalBiasMinutes(-90);  // a fixed bias replaces the rule
    EXPECT_EQ(-90, qrx::LocalBiasMinutes());
    EXPECT_EQ(TIME_ZONE_ID_UNKNOWN, ZoneAt(Date(2024, 7, 15, 12)));
    EXPECT_EQ(13, LocalHourAt(Date(2024, 7, 15, 12)));
}

}  // namespace
