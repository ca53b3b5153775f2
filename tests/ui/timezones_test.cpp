#include "ui/TimeZones.h"

#include <cstring>
#include <string>
#include <vector>

#include "DeviceRoot.h"

namespace {

SYSTEMTIME Rule(WORD month, WORD week, WORD hour) {
    SYSTEMTIME st{};
    st.wMonth = month;
    st.wDay = week;
    st.wHour = hour;
    return st;
}

struct Zone {
    LONG bias = 300, standardBias = 0, daylightBias = -60;
    SYSTEMTIME standardDate = Rule(11, 1, 2), daylightDate = Rule(3, 2, 2);
    std::u16string std = u"Eastern Standard Time", dlt = u"Eastern Daylight Time";
};

std::vector<BYTE> Tzi(const Zone& z, size_t size = 44) {
    std::vector<BYTE> b(size > 44 ? size : 44);
    LONG biases[3] = {z.bias, z.standardBias, z.daylightBias};
    std::memcpy(b.data(), biases, 12);
    std::memcpy(b.data() + 12, &z.standardDate, 16);
    std::memcpy(b.data() + 28, &z.daylightDate, 16);
    b.resize(size);
    return b;
}

class TimeZones : public DeviceRootTest {
protected:
    void Put(const char16_t* key, const Zone& z, size_t tziSize = 44) {
        std::u16string path = std::u16string(u"Time Zones\\") + key;
        HKEY h = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &h, nullptr));
        std::vector<BYTE> tzi = Tzi(z, tziSize);
        RegSetValueExW(h, u"TZI", 0, REG_BINARY, tzi.data(), static_cast<DWORD>(tzi.size()));
        for (auto [name, text] : {std::pair{u"Std", &z.std}, {u"Dlt", &z.dlt}})
            RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                           static_cast<DWORD>((text->size() + 1) * 2));
        RegCloseKey(h);
    }
    static void Use(const Zone& z, WORD month) {
        TIME_ZONE_INFORMATION info{};
        info.Bias = z.bias;
        info.StandardBias = z.standardBias;
        info.DaylightBias = z.daylightBias;
        info.StandardDate = z.standardDate;
        info.DaylightDate = z.daylightDate;
        QrxStrCopy(info.StandardName, 32, z.std.c_str());
        QrxStrCopy(info.DaylightName, 32, z.dlt.c_str());
        ASSERT_TRUE(SetTimeZoneInformation(&info));
        SYSTEMTIME now{};
        now.wYear = 2024;
        now.wMonth = month;
        now.wDay = 15;
        now.wHour = 12;
        ASSERT_TRUE(SetSystemTime(&now));
    }
};

TEST_F(TimeZones, ReadsAZoneAndBoundsItsTexts) {
    Zone z;
    z.std = std::u16string(40, u'S');
    Put(u"Eastern", z);
    Put(u"Short", z, 40);
    Put(u"Long", z, 48);
    TIME_ZONE_INFORMATION info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_TRUE(ReadTimeZoneInfo(u"Eastern", &info));
    EXPECT_EQ(300, info.Bias);
    EXPECT_EQ(-60, info.DaylightBias);
    EXPECT_EQ(0, std::memcmp(&z.standardDate, &info.StandardDate, 16));
    EXPECT_EQ(0, std::memcmp(&z.daylightDate, &info.DaylightDate, 16));
    EXPECT_EQ(std::u16string(31, u'S'), info.StandardName);  // cut to the record's field
    EXPECT_EQ(z.dlt, info.DaylightName);
    EXPECT_FALSE(ReadTimeZoneInfo(u"Short", &info));
    EXPECT_TRUE(ReadTimeZoneInfo(u"Long", &info));
    EXPECT_FALSE(ReadTimeZoneInfo(u"Missing", &info));

    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones\\Eastern", 0, KEY_ALL_ACCESS, &h));
    RegSetValueExW(h, u"Dlt", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"Odd Daylightxx"), 25);  // no terminator
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_TRUE(ReadTimeZoneInfo(u"Eastern", &info));
    EXPECT_EQ(std::u16string(u"Odd Daylight"), info.DaylightName);
    RegDeleteValueW(h, u"Dlt");
    ASSERT_TRUE(ReadTimeZoneInfo(u"Eastern", &info));  // names are optional
    EXPECT_EQ(std::u16string(), info.DaylightName);
    RegCloseKey(h);
}

TEST_F(TimeZones, FindsTheZoneInForce) {
    Zone eastern;
    Zone shifted = eastern;  // same names, another bias: sorts first
    shifted.bias = 240;
    Put(u"A Eastern Copy", shifted);
    Put(u"B Eastern Standard Time", eastern);
    Zone broken = eastern;
    Put(u"0 Broken", broken, 40);

    WCHAR key[MAX_PATH];
    BOOL daylight = 7;
    Use(eastern, 7);
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, &daylight));
    EXPECT_EQ(std::u16string(u"B Eastern Standard Time"), key);
    EXPECT_EQ(1, daylight);
    Use(eastern, 1);
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, &daylight));
    EXPECT_EQ(0, daylight);
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, nullptr));
    WCHAR small[8] = u"junk";
    EXPECT_FALSE(FindCurrentTimeZone(small, 8, nullptr));  // a cut name names no zone
    EXPECT_EQ(std::u16string(), small);

    // No exact match: the first with the same daylight name, else with the same standard name.
    Zone other = eastern;
    other.daylightBias = -30;
    Use(other, 7);
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, nullptr));
    EXPECT_EQ(std::u16string(u"A Eastern Copy"), key);
    other.dlt = u"Somewhere Summer Time";
    Use(other, 7);
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, nullptr));
    EXPECT_EQ(std::u16string(u"A Eastern Copy"), key);
    other.std = u"Somewhere Standard Time";
    Use(other, 7);
    EXPECT_FALSE(FindCurrentTimeZone(key, MAX_PATH, &daylight));
    EXPECT_EQ(std::u16string(), key);

    // A zone without a daylight rule is told by its bias and standard name alone.
    Zone fixed = eastern;
    fixed.daylightDate = SYSTEMTIME{};
    fixed.standardDate = SYSTEMTIME{};
    fixed.dlt = u"";
    Use(fixed, 7);
    daylight = 7;
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, &daylight));
    EXPECT_EQ(std::u16string(u"B Eastern Standard Time"), key);
    EXPECT_EQ(0, daylight);
    fixed.bias = 120;
    Use(fixed, 7);
    EXPECT_FALSE(FindCurrentTimeZone(key, MAX_PATH, &daylight));
}

TEST_F(TimeZones, SeededZoneRoundTrips) {
    ASSERT_TRUE(qrx::WriteDefaultTimeZones());
    TIME_ZONE_INFORMATION info{};
    ASSERT_TRUE(ReadTimeZoneInfo(u"W. Europe Standard Time", &info));
    ASSERT_TRUE(SetTimeZoneInformation(&info));
    WCHAR key[MAX_PATH];
    ASSERT_TRUE(FindCurrentTimeZone(key, MAX_PATH, nullptr));
    EXPECT_EQ(std::u16string(u"W. Europe Standard Time"), key);
}

}  // namespace
