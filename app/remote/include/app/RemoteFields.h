// The field checks of the remote requests and the attached unit's replies. Plain functions over the
// parser's field text: no threads, no state. Each answers 1 only for a whole, valid field, so nothing
// is stored from a partly read one.
#pragma once
#include <windows.h>

#include <cstddef>

struct ProgramStep;

// A decimal number: optional sign, digits, optional point and digits; nothing else around it.
BOOL ParseRemoteNumber(const char* field, double* out);
// A whole number: optional sign and at most nine digits.
BOOL ParseRemoteWhole(const char* field, long* out);
// E2 "hh:mm" with minutes under 60: the seconds.
BOOL ParseRemoteTime(const char* field, DWORD* seconds);
// E3: the columns of a B5 reply (step, direction, volts, amperes, hh:mm, kind, enable, capacity).
BOOL ParseRemoteStep(const char* field, int* number, ProgramStep* step);
// H7: nine digits, three limits of three digits each; the battery limit (first) 30..70.
BOOL ParseRemoteLimits(const char* field, WORD limits[3]);
// S0: YYMMDDhhmmss, a real date and time of year 2000 + YY.
BOOL ParseRemoteClock(const char* field, SYSTEMTIME* out);

// The B5 reply body of a step.
size_t FormatStepReply(int number, const ProgramStep& step, char* out, size_t size);

// What the attached unit reports in its D records.
struct UnitReply {
    long first = 0;  // first field: D0 status, D4 request
    BYTE status = 0;
    WORD volts = 0;  // hundredths
    WORD amps = 0;   // hundredths
};
// The fields of a D0..D4 frame (whole line, checksum already checked); D3 needs status 0..255 and two
// values 0..65535, the others a first number. 0 when malformed.
BOOL ParseUnitReply(const char* line, size_t length, int code, UnitReply* out);
