// The measurement-record decoder over arbitrary bytes, both as a received frame (the path of a
// status poll) and as a bare reply payload: what it accepts is exactly the status reply, with every
// field within the record's limits and equal to its little-endian bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/McuFrame.h"
#include "app/MicomPort.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "mcu status: %s\n", what);
    abort();
}

int Le16(const BYTE* p) { return p[0] | (p[1] << 8); }

void DecodePayload(const BYTE* reply, DWORD length) {
    McuStatusRecord rec;
    std::memset(&rec, 0x5A, sizeof rec);
    McuStatusRecord untouched = rec;
    if (!McuDecodeStatus(reply, length, &rec)) {
        Check(std::memcmp(&rec, &untouched, sizeof rec) == 0, "a refused reply changed the record");
        return;
    }
    Check(length == 24 && reply[0] == 0x02 && reply[1] == 0x00, "a reply other than the status reply passed");
    Check(rec.Volt == Le16(reply + 2) && rec.Current == Le16(reply + 4) &&
              rec.BatteryTemp == static_cast<SHORT>(Le16(reply + 6)) &&
              rec.TransTemp == static_cast<SHORT>(Le16(reply + 8)) &&
              rec.HeatsinkTemp == static_cast<SHORT>(Le16(reply + 10)) && rec.State == reply[22] &&
              rec.Errors == reply[23] && std::memcmp(rec.Unused, reply + 12, 10) == 0,
          "a field differs from its bytes");
    Check(rec.Volt <= MCU_STATUS_MAX_VOLT && rec.Current <= MCU_STATUS_MAX_CURRENT, "volts or amperes out of range");
    for (SHORT t : {rec.BatteryTemp, rec.TransTemp})
        Check(t >= MCU_STATUS_MIN_TEMP && t <= MCU_STATUS_MAX_TEMP, "a temperature out of range");
    Check(rec.HeatsinkTemp == MCU_HEATSINK_STOPPED ||
              (rec.HeatsinkTemp >= MCU_STATUS_MIN_TEMP && rec.HeatsinkTemp <= MCU_STATUS_MAX_TEMP),
          "heat-sink temperature out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // Exact-size copies let the sanitizer see any read past the reply.
    std::vector<BYTE> bytes(data, data + size);
    DecodePayload(bytes.empty() ? nullptr : bytes.data(), static_cast<DWORD>(size));
    std::vector<BYTE> payload(size > 0 ? size : 1);
    DWORD n = McuDecodeFrame(data, static_cast<DWORD>(size), payload.data(), static_cast<DWORD>(payload.size()));
    if (n > 0) {
        payload.resize(n);
        DecodePayload(payload.data(), n);
    }
    return 0;
}
