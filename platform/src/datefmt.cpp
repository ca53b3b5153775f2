// Date pictures of GetDateFormatW. The device has one locale for dates: English names, the Gregorian
// calendar; the languages pick their own pictures.
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "qrx/codepage.h"
#include "qrx/synchapi.h"

namespace {

const char* const kDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysIn(unsigned year, unsigned month) {
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

// The weekday of the date itself: the platform ignores the record's wDayOfWeek.
int DayOfWeek(unsigned y, unsigned m, unsigned d) {
    static const int offsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return static_cast<int>((y + y / 4 - y / 100 + y / 400 + offsets[m - 1] + d) % 7);
}

void Append(std::u16string& out, const char* text, size_t n) {
    for (size_t i = 0; i < n && text[i]; ++i) out.push_back(static_cast<unsigned char>(text[i]));
}

void AppendNumber(std::u16string& out, unsigned value, int width) {
    char digits[16];
    const int n = std::snprintf(digits, sizeof digits, "%0*u", width, value);
    Append(out, digits, static_cast<size_t>(n));
}

void Expand(const SYSTEMTIME& t, const WCHAR* picture, std::u16string& out) {
    for (const WCHAR* p = picture; *p;) {
        const WCHAR c = *p;
        if (c == u'\'') {
            ++p;
            for (; *p; ++p) {
                if (*p == u'\'') {
                    if (p[1] != u'\'') break;
                    ++p;  // '' inside quotes is one quote
                }
                out.push_back(*p);
            }
            if (*p) ++p;
            continue;
        }
        size_t run = 0;
        while (p[run] == c) ++run;
        switch (c) {
            case u'd':
                if (run == 1 || run == 2) AppendNumber(out, t.wDay, static_cast<int>(run));
                else if (run == 3) Append(out, kDays[DayOfWeek(t.wYear, t.wMonth, t.wDay)], 3);
                else Append(out, kDays[DayOfWeek(t.wYear, t.wMonth, t.wDay)], 64);
                break;
            case u'M':
                if (run == 1 || run == 2) AppendNumber(out, t.wMonth, static_cast<int>(run));
                else if (run == 3) Append(out, kMonths[t.wMonth - 1], 3);
                else Append(out, kMonths[t.wMonth - 1], 64);
                break;
            case u'y':
                if (run == 1) AppendNumber(out, t.wYear % 100, 1);
                else if (run == 2) AppendNumber(out, t.wYear % 100, 2);
                else AppendNumber(out, t.wYear, run >= 5 ? 5 : 4);
                break;
            case u'g':
                Append(out, "A.D.", 4);
                break;
            default:
                out.append(p, run);
                break;
        }
        p += run;
    }
}

}  // namespace

int GetDateFormatW(LCID, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCWSTR lpFormat, LPWSTR lpDateStr, int cchDate) {
    if (cchDate < 0 || (cchDate > 0 && !lpDateStr)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD known = DATE_SHORTDATE | DATE_LONGDATE;
    if ((lpFormat && dwFlags != 0) || (dwFlags & ~known) || dwFlags == known) {
        qrx::SetError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME t;
    if (lpDate) t = *lpDate;
    else GetLocalTime(&t);
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > DaysIn(t.wYear, t.wMonth)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const WCHAR* picture = lpFormat ? lpFormat : (dwFlags & DATE_LONGDATE) ? u"dddd, MMMM dd, yyyy" : u"M/d/yyyy";
    std::u16string out;
    Expand(t, picture, out);
    const int needed = static_cast<int>(out.size()) + 1;
    if (cchDate == 0) return needed;
    if (cchDate < needed) {
        qrx::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpDateStr, out.c_str(), sizeof(WCHAR) * static_cast<size_t>(needed));
    return needed;
}
