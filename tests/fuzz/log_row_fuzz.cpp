// The CSV row parser over arbitrary bytes, as a whole and line by line: what it accepts is a row of
// sixteen fields, each within its range, ending in CR LF.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/OperationLog.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "log row: %s\n", what);
    abort();
}

void ParseOne(const char* row, size_t size) {
    LogRow r;
    std::memset(&r, 0x5A, sizeof r);
    if (!ParseLogRow(row, size, &r)) return;
    Check(size >= 4 && size < LOG_ROW_MAX && row[size - 1] == '\n' && row[size - 2] == '\r', "row end");
    Check(r.hour >= 0 && r.hour <= 23 && r.minute >= 0 && r.minute <= 59 && r.second >= 0 && r.second <= 59, "time");
    Check(r.step >= 0 && r.step <= 6 && r.kind >= 0 && r.kind <= 9 && r.mode >= 0 && r.mode <= 3, "step, kind, mode");
    Check((r.mode == 3) == (r.step >= 1), "a step outside a program");
    Check(r.discharge >= 0 && r.discharge <= 1 && r.pulse >= 0 && r.pulse <= 3, "flags");
    Check(r.temperature >= -999 && r.temperature <= 999 && r.frequency >= 0 && r.frequency <= 99, "temperature");
    for (double v : {r.setVolts, r.setAmps, r.volts, r.amps}) Check(v >= -9999.9 && v <= 9999.9, "value");
    Check(r.elapsed <= 999999 && r.setSeconds <= 999u * 3600u + 59u * 60u && r.stepSeconds <= 999u * 3600u + 59u * 60u,
          "times");
    Check(std::strlen(r.startText) == 8, "start text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    ParseOne(text, size);
    size_t begin = 0;
    for (size_t i = 0; i < size; ++i)
        if (text[i] == '\n') {
            ParseOne(text + begin, i + 1 - begin);
            begin = i + 1;
        }
    return 0;
}
