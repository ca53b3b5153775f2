// The field checks of the remote requests: whole fields only, ranges and dates.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/RemoteFields.h"
#include "app/Settings.h"

namespace {

TEST(RemoteFields, NumbersAreWholeOrRefused) {
    double v = -1;
    EXPECT_TRUE(ParseRemoteNumber("150.1", &v));
    EXPECT_DOUBLE_EQ(v, 150.1);
    EXPECT_TRUE(ParseRemoteNumber("-.5", &v));
    EXPECT_DOUBLE_EQ(v, -0.5);
    for (const char* bad : {"", "abc", "1e3", " 1", "1 ", "12.5.1", ".", "-", "0x10", "nan"})
        EXPECT_FALSE(ParseRemoteNumber(bad, &v)) << bad;
    long w = 0;
    EXPECT_TRUE(ParseRemoteWhole("65636", &w));
    EXPECT_EQ(w, 65636);  // the full value reaches the range check
    EXPECT_TRUE(ParseRemoteWhole("-1", &w));
    EXPECT_EQ(w, -1);
    for (const char* bad : {"", "1.0", "1234567890", "+", "5a"}) EXPECT_FALSE(ParseRemoteWhole(bad, &w)) << bad;
}

TEST(RemoteFields, TimesLimitsAndClock) {
    DWORD s = 0;
    EXPECT_TRUE(ParseRemoteTime("99:59", &s));
    EXPECT_EQ(s, 99u * 3600 + 59 * 60);
    for (const char* bad : {"12:60", "1:30", "12-30", "12:3a", "012:30"}) EXPECT_FALSE(ParseRemoteTime(bad, &s)) << bad;

    WORD limits[3] = {};
    EXPECT_TRUE(ParseRemoteLimits("045100090", limits));
    EXPECT_EQ(limits[0], 45);
    EXPECT_EQ(limits[1], 100);
    EXPECT_EQ(limits[2], 90);
    for (const char* bad : {"029100090", "071100090", "04510009", "0451000900", "04510009x"})
        EXPECT_FALSE(ParseRemoteLimits(bad, limits)) << bad;

    SYSTEMTIME t{};
    EXPECT_TRUE(ParseRemoteClock("240229235959", &t));
    EXPECT_EQ(t.wYear, 2024);
    EXPECT_EQ(t.wSecond, 59);
    for (const char* bad : {"230229000000", "241301000000", "240431000000", "240101240000", "2401010000", "24010100000a"})
        EXPECT_FALSE(ParseRemoteClock(bad, &t)) << bad;
}

TEST(RemoteFields, StepReadBackIsWrittenUnchanged) {
    ProgramStep step{};
    step.dwEnable = 1;
    step.dwDirection = 1;
    step.dVoltage = 10.5;
    step.dCurrent = 125.5;
    step.dwTime = 2 * 3600 + 45 * 60;
    step.byKind = 9;
    step.wCapacity = 120;
    char reply[128];
    ASSERT_GT(FormatStepReply(4, step, reply, sizeof reply), 0u);
    EXPECT_STREQ(reply, "B5,4,1,010.5,125.5,02:45,9,1,0120,1,");
    // E3's field: the columns after "E3," up to the LF, checksum digits and CR included.
    const std::string field = std::string(reply + 3) + "7F\r";
    int number = 0;
    ProgramStep back{};
    ASSERT_TRUE(ParseRemoteStep(field.c_str(), &number, &back));
    EXPECT_EQ(number, 4);
    EXPECT_EQ(0, std::memcmp(&step, &back, sizeof step));

    // Capacity counts only for kind 9; separators, flags and the step number are checked.
    ASSERT_TRUE(ParseRemoteStep("1,0,014.4,005.0,01:00,2,0,9999,1,", &number, &back));
    EXPECT_EQ(back.wCapacity, 0);
    for (const char* bad : {"7,0,014.4,005.0,01:00,2,1,0000,1,", "1,2,014.4,005.0,01:00,2,1,0000,1,",
                            "1,0,014.4,005.0,01:00,2,3,0000,1,", "1,0,014.4;005.0,01:00,2,1,0000,1,",
                            "1,0,014.4,005.0,01:60,2,1,0000,1,", "1,0,01a.4,005.0,01:00,2,1,0000,1,",
                            "1,0,014.4,005.0,01:00,9,1,,1,", "1,0,014.4,005.0,01:00,9,1,99999,", "1,0,014.4"})
        EXPECT_FALSE(ParseRemoteStep(bad, &number, &back)) << bad;
}

TEST(RemoteFields, UnitRepliesAreReadByCommas) {
    const std::string d3 = "$QRX,D3,007,01234,00567,00\r\n";
    UnitReply r;
    ASSERT_TRUE(ParseUnitReply(d3.c_str(), d3.size(), 3, &r));
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.volts, 1234);
    EXPECT_EQ(r.amps, 567);
    for (const std::string bad : {"$QRX,D3,1,00\r\n", "$QRX,D3,1,2,00\r\n", "$QRX,D3,300,1,2,00\r\n",
                                  "$QRX,D3,1,70000,2,00\r\n", "$QRX,D3,1,x,2,00\r\n"})
        EXPECT_FALSE(ParseUnitReply(bad.c_str(), bad.size(), 3, &r)) << bad;
    const std::string d4 = "$QRX,D4,11,00\r\n";
    ASSERT_TRUE(ParseUnitReply(d4.c_str(), d4.size(), 4, &r));
    EXPECT_EQ(r.first, 11);
}

}  // namespace
