// Every field check of the remote requests and the attached unit's replies over one field text (up to
// the parser's 99 characters): a check that accepts gives values inside their ranges.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/RemoteFields.h"
#include "app/Settings.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "remote fields: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char field[100];
    const size_t n = size < 99 ? size : 99;
    std::memcpy(field, data, n);
    field[n] = '\0';

    double number;
    if (ParseRemoteNumber(field, &number)) Check(std::isfinite(number), "number");
    long whole;
    if (ParseRemoteWhole(field, &whole)) Check(whole >= -999999999 && whole <= 999999999, "whole number");
    DWORD seconds;
    if (ParseRemoteTime(field, &seconds)) Check(seconds <= 99 * 3600 + 59 * 60, "time");
    int step = 0;
    ProgramStep s{};
    if (ParseRemoteStep(field, &step, &s)) {
        Check(step >= 1 && step <= 6 && s.dwDirection <= 1 && s.dwEnable <= 1 && s.byKind <= 9, "step columns");
        char reply[128];
        Check(FormatStepReply(step, s, reply, sizeof reply) > 0, "step reply");
    }
    WORD limits[3];
    if (ParseRemoteLimits(field, limits)) Check(limits[0] >= 30 && limits[0] <= 70 && limits[1] <= 999, "limits");
    SYSTEMTIME t;
    if (ParseRemoteClock(field, &t))
        Check(t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 && t.wDay <= 31 && t.wHour < 24 && t.wSecond < 60, "clock");
    UnitReply u;
    for (int code = 0; code <= 4; ++code) ParseUnitReply(reinterpret_cast<const char*>(data), size, code, &u);
    return 0;
}
