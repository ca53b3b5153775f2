#include <gtest/gtest.h>

#include <string>

#include "windows.h"

namespace {

SYSTEMTIME Date(WORD y, WORD m, WORD d) {
    SYSTEMTIME t{};
    t.wYear = y;
    t.wMonth = m;
    t.wDay = d;
    t.wDayOfWeek = 6;  // wrong on purpose: the weekday comes from the date
    return t;
}

std::u16string Format(const SYSTEMTIME& t, const char16_t* picture, DWORD flags = 0) {
    WCHAR out[100];
    const int n = GetDateFormatW(LOCALE_SYSTEM_DEFAULT, flags, &t, picture, out, 100);
    return n > 0 ? std::u16string(out, static_cast<size_t>(n - 1)) : u"<fail>";
}

TEST(DateFormat, PicturesOfTheLanguages) {
    const SYSTEMTIME t = Date(2024, 3, 5);
    EXPECT_EQ(Format(t, u"yyyy'-'MM'-'dd"), u"2024-03-05");
    EXPECT_EQ(Format(t, u"M'-'d'-'yyyy"), u"3-5-2024");
    EXPECT_EQ(Format(t, u"dd'-'MM'-'yyyy"), u"05-03-2024");
    EXPECT_EQ(Format(Date(2009, 11, 30), u"d/M/yy y"), u"30/11/09 9");
    EXPECT_EQ(Format(t, u"ddd dddd MMM MMMM"), u"Tue Tuesday Mar March");
    EXPECT_EQ(Format(Date(2000, 2, 29), u"dddd"), u"Tuesday");
    EXPECT_EQ(Format(t, u"'it''s' d"), u"it's 5");
    EXPECT_EQ(Format(t, u"'open"), u"open") << "an unclosed quote runs to the end";
    EXPECT_EQ(Format(t, nullptr, DATE_SHORTDATE), u"3/5/2024");
    EXPECT_EQ(Format(t, nullptr, DATE_LONGDATE), u"Tuesday, March 05, 2024");
}

TEST(DateFormat, SizesAndRefusals) {
    const SYSTEMTIME t = Date(2024, 3, 5);
    EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"yyyy'-'MM'-'dd", nullptr, 0), 11);
    WCHAR small[10];
    EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"yyyy'-'MM'-'dd", small, 10), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    WCHAR out[32];
    EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &t, u"d", out, 32), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    for (const SYSTEMTIME& bad : {Date(2023, 2, 29), Date(2024, 13, 1), Date(2024, 4, 31), Date(1600, 1, 1)}) {
        EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &bad, u"d", out, 32), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_GT(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, nullptr, u"yyyy", out, 32), 0) << "the local date now";
}

}  // namespace
