// The MCU frame decoder over arbitrary bytes as a received frame, and the encoder over the same
// bytes as a payload: what decodes must encode back to a frame that decodes alike, and every
// payload must survive its own frame.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/McuFrame.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "mcu frame: %s\n", what);
    abort();
}

void RoundTrip(const BYTE* payload, DWORD length) {
    std::vector<BYTE> frame(MCU_FRAME_MAX(length));
    DWORD n = McuEncodeFrame(payload, length, frame.data(), static_cast<DWORD>(frame.size()));
    Check(n >= 3 && n <= frame.size(), "a payload has no frame within its bound");
    Check(frame[0] == MCU_FRAME_START && frame[n - 1] == MCU_FRAME_END, "frame not delimited");
    for (DWORD i = 1; i + 1 < n; ++i)
        Check(frame[i] != MCU_FRAME_START && frame[i] != MCU_FRAME_END, "delimiter inside an encoded frame");
    // One byte short of the frame is refused, not cut.
    std::vector<BYTE> shorter(n - 1);
    Check(McuEncodeFrame(payload, length, shorter.data(), n - 1) == 0, "a frame that does not fit was written");

    std::vector<BYTE> back(length + 1);
    DWORD got = McuDecodeFrame(frame.data(), n, back.data(), length);
    Check(got == length, "an encoded payload does not decode");
    Check(length == 0 || std::memcmp(back.data(), payload, length) == 0, "an encoded payload decodes otherwise");
    if (length > 0) Check(McuDecodeFrame(frame.data(), n, back.data(), length - 1) == 0, "a payload was cut");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const DWORD length = static_cast<DWORD>(size);

    // An exact-size buffer lets the sanitizer see any write past the payload.
    std::vector<BYTE> payload(size > 0 ? size : 1);
    DWORD n = McuDecodeFrame(data, length, payload.data(), length);
    if (n > 0) {
        Check(n + 3 <= length, "more payload than frame");
        Check(data[0] == MCU_FRAME_START && data[length - 1] == MCU_FRAME_END, "an undelimited frame passed");
        for (DWORD i = 1; i + 1 < length; ++i)
            Check(data[i] != MCU_FRAME_START && data[i] != MCU_FRAME_END, "a delimiter inside a frame passed");
        std::vector<BYTE> exact(n);
        Check(McuDecodeFrame(data, length, exact.data(), n) == n &&
                  exact == std::vector<BYTE>(payload.begin(), payload.begin() + n),
              "an exact-size buffer decodes otherwise");
        Check(McuDecodeFrame(data, length, exact.data(), n - 1) == 0, "a payload was cut");
        RoundTrip(payload.data(), n);
    }
    RoundTrip(data, length);
    return 0;
}
