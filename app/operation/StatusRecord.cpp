// The B0 status record and the CSV row made from it.
#include "app/StatusRecord.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Every number field has a width it may not outgrow: a wider value would make the row a stored format
// the readers cannot trust.
const double kValueLimit = 9999.9;
const DWORD kTimeLimit = 999u * 3600u + 3599u;

bool Value(double v, char (&out)[16]) {
    if (!std::isfinite(v) || v < -kValueLimit || v > kValueLimit) return false;
    const int n = std::snprintf(out, sizeof out, "%05.1f", v);
    return n > 0 && static_cast<size_t>(n) < sizeof out;
}

}  // namespace

size_t FormatStatusRecord(const StatusValues& s, char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    out[0] = 0;
    char setV[16], setA[16], v[16], a[16], temp[16];
    if (!Value(s.setVolts, setV) || !Value(s.setAmps, setA) || !Value(s.volts, v) || !Value(s.amps, a)) return 0;
    if (s.temperature < -999 || s.temperature > 999 || s.setSeconds > kTimeLimit || s.stepSeconds > kTimeLimit ||
        s.elapsed > 999999u || s.step < 0 || s.step > 9 || s.kind < 0 || s.kind > 9 || s.mode < 0 || s.mode > 3 ||
        s.frequency < 0 || s.frequency > 99 || s.discharge < 0 || s.discharge > 9 || s.pulse < 0 || s.pulse > 9)
        return 0;
    if (s.temperature < 0) std::snprintf(temp, sizeof temp, "%04d", s.temperature);
    else std::snprintf(temp, sizeof temp, "+%03d", s.temperature);
    const int n = std::snprintf(
        out, cap, "B0,%02d/%02d/%02d,%02d:%02d:%02d,%d,%d,%s,%s,%02d:%02d,%s,%s,%06d,%s,%d,%02d,%01d,%01d,%02d:%02d,",
        s.time.wYear % 100, s.time.wMonth % 100, s.time.wDay % 100, s.time.wHour % 100, s.time.wMinute % 100,
        s.time.wSecond % 100, s.step, s.kind, setV, setA, static_cast<int>(s.setSeconds / 3600),
        static_cast<int>(s.setSeconds % 3600 / 60), v, a, static_cast<int>(s.elapsed), temp, s.mode, s.frequency,
        s.discharge, s.pulse, static_cast<int>(s.stepSeconds / 3600), static_cast<int>(s.stepSeconds % 3600 / 60));
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        out[0] = 0;
        return 0;
    }
    return static_cast<size_t>(n);
}

size_t StatusRecordToRow(const char* record, size_t length, char* row, size_t cap) {
    if (length < 4 || std::strncmp(record, "B0,", 3) != 0 || record[length - 1] != ',') return 0;
    const size_t n = length - 3 - 1 + 2;
    if (n + 1 > cap) return 0;
    std::memcpy(row, record + 3, length - 4);
    row[n - 2] = '\r';
    row[n - 1] = '\n';
    row[n] = 0;
    return n;
}
