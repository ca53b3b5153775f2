#include "app/RemoteFields.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Settings.h"

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// n digits at text, as a number; -1 when one is not a digit.
int Digits(const char* text, int n) {
    int value = 0;
    for (int i = 0; i < n; ++i) {
        if (!Digit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The number in text[0..n) (copied so the check sees exactly those characters).
BOOL NumberAt(const char* text, size_t n, double* out) {
    char copy[16];
    if (n == 0 || n >= sizeof copy) return FALSE;
    std::memcpy(copy, text, n);
    copy[n] = '\0';
    return ParseRemoteNumber(copy, out);
}

}  // namespace

BOOL ParseRemoteNumber(const char* field, double* out) {
    if (!field || !out) return FALSE;
    // The shape is checked here; strtod then reads exactly what the host wrote.
    const char* p = field;
    if (*p == '+' || *p == '-') ++p;
    int digits = 0;
    for (; Digit(*p); ++p) ++digits;
    if (*p == '.')
        for (++p; Digit(*p); ++p) ++digits;
    if (*p != '\0' || digits == 0 || digits > 24) return FALSE;
    *out = std::strtod(field, nullptr);
    return TRUE;
}

BOOL ParseRemoteWhole(const char* field, long* out) {
    if (!field || !out) return FALSE;
    const char* p = field;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const size_t n = std::strlen(p);
    if (n == 0 || n > 9) return FALSE;
    const int value = Digits(p, static_cast<int>(n));
    if (value < 0) return FALSE;
    *out = negative ? -value : value;
    return TRUE;
}

BOOL ParseRemoteTime(const char* field, DWORD* seconds) {
    if (!field || !seconds || std::strlen(field) != 5 || field[2] != ':') return FALSE;
    const int hours = Digits(field, 2), minutes = Digits(field + 3, 2);
    if (hours < 0 || minutes < 0 || minutes >= 60) return FALSE;
    *seconds = static_cast<DWORD>(hours * 3600 + minutes * 60);
    return TRUE;
}

BOOL ParseRemoteStep(const char* field, int* number, ProgramStep* step) {
    if (!field || !number || !step) return FALSE;
    // "n,d,vvv.v,aaa.a,hh:mm,k,e,cccc,..." (the request's checksum digits and CR may follow).
    const size_t length = std::strlen(field);
    if (length < 26) return FALSE;
    for (size_t at : {1, 3, 9, 15, 21, 23, 25})
        if (field[at] != ',') return FALSE;
    const int n = Digits(field, 1), direction = Digits(field + 2, 1), kind = Digits(field + 22, 1),
              enable = Digits(field + 24, 1);
    DWORD seconds = 0;
    char time[6];
    std::memcpy(time, field + 16, 5);
    time[5] = '\0';
    ProgramStep s{};
    if (n < 1 || n > 6 || direction < 0 || direction > 1 || kind < 0 || enable < 0 || enable > 1 ||
        !NumberAt(field + 4, 5, &s.dVoltage) || !NumberAt(field + 10, 5, &s.dCurrent) || !ParseRemoteTime(time, &seconds))
        return FALSE;
    if (kind == 9) {
        size_t end = 26;
        while (end < length && field[end] != ',') ++end;
        const size_t n9 = end - 26;
        const int capacity = n9 >= 1 && n9 <= 5 ? Digits(field + 26, static_cast<int>(n9)) : -1;
        if (capacity < 0 || capacity > 65535) return FALSE;
        s.wCapacity = static_cast<WORD>(capacity);
    }
    s.dwDirection = static_cast<DWORD>(direction);
    s.dwTime = seconds;
    s.byKind = static_cast<BYTE>(kind);
    s.dwEnable = static_cast<DWORD>(enable);
    *number = n;
    *step = s;
    return TRUE;
}

BOOL ParseRemoteLimits(const char* field, WORD limits[3]) {
    if (!field || !limits || std::strlen(field) != 9) return FALSE;
    int v[3];
    for (int i = 0; i < 3; ++i)
        if ((v[i] = Digits(field + 3 * i, 3)) < 0) return FALSE;
    if (v[0] < 30 || v[0] > 70) return FALSE;
    for (int i = 0; i < 3; ++i) limits[i] = static_cast<WORD>(v[i]);
    return TRUE;
}

BOOL ParseRemoteClock(const char* field, SYSTEMTIME* out) {
    if (!field || !out || std::strlen(field) != 12) return FALSE;
    int v[6];
    for (int i = 0; i < 6; ++i)
        if ((v[i] = Digits(field + 2 * i, 2)) < 0) return FALSE;
    const int year = 2000 + v[0], month = v[1], day = v[2];
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return FALSE;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day < 1 || day > days || v[3] > 23 || v[4] > 59 || v[5] > 59) return FALSE;
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(v[3]);
    t.wMinute = static_cast<WORD>(v[4]);
    t.wSecond = static_cast<WORD>(v[5]);
    *out = t;
    return TRUE;
}

size_t FormatStepReply(int number, const ProgramStep& step, char* out, size_t size) {
    const int n = std::snprintf(out, size, "B5,%01d,%01d,%05.1f,%05.1f,%02d:%02d,%01d,%01d,%04d,1,", number,
                                static_cast<int>(step.dwDirection), step.dVoltage, step.dCurrent,
                                static_cast<int>(step.dwTime / 3600), static_cast<int>(step.dwTime % 3600 / 60),
                                static_cast<int>(step.byKind), static_cast<int>(step.dwEnable),
                                static_cast<int>(step.wCapacity));
    return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

BOOL ParseUnitReply(const char* line, size_t length, int code, UnitReply* out) {
    // Fields from index 8 up to the checksum digits before CR LF.
    if (!line || !out || length < 12) return FALSE;
    const size_t end = length - 4;
    long values[3] = {};
    int count = 0;
    size_t at = 8;
    while (at < end && count < 3) {
        size_t comma = at;
        while (comma < end && line[comma] != ',') ++comma;
        if (comma >= end) break;
        char text[12];
        const size_t n = comma - at;
        if (n == 0 || n >= sizeof text) return FALSE;
        std::memcpy(text, line + at, n);
        text[n] = '\0';
        if (!ParseRemoteWhole(text, &values[count])) return FALSE;
        ++count;
        at = comma + 1;
    }
    UnitReply r;
    if (count < 1) return FALSE;
    r.first = values[0];
    if (code == 3) {
        if (count < 3 || values[0] < 0 || values[0] > 255 || values[1] < 0 || values[1] > 65535 || values[2] < 0 ||
            values[2] > 65535)
            return FALSE;
        r.status = static_cast<BYTE>(values[0]);
        r.volts = static_cast<WORD>(values[1]);
        r.amps = static_cast<WORD>(values[2]);
    } else if (code == 0) {
        if (values[0] < 0 || values[0] > 255) return FALSE;
        r.status = static_cast<BYTE>(values[0]);
    }
    *out = r;
    return TRUE;
}
