#include "app/McuFrame.h"

BYTE McuChecksum(const BYTE* payload, DWORD length) {
    BYTE sum = static_cast<BYTE>(MCU_FRAME_START + MCU_FRAME_END);
    for (DWORD i = 0; i < length; ++i) sum = static_cast<BYTE>(sum + payload[i]);
    return static_cast<BYTE>(0 - sum);
}

namespace {
bool NeedsEscape(BYTE b) { return (b & 0xF0) == 0x80; }
}  // namespace

DWORD McuEncodeFrame(const BYTE* payload, DWORD length, BYTE* frame, DWORD frameSize) {
    if (frame == nullptr || (payload == nullptr && length != 0)) return 0;
    DWORD n = 0;
    auto put = [&](BYTE b) {
        if (n >= frameSize) return false;
        frame[n++] = b;
        return true;
    };
    auto putEscaped = [&](BYTE b) {
        if (NeedsEscape(b)) return put(MCU_FRAME_ESCAPE) && put(static_cast<BYTE>(b & 0x7F));
        return put(b);
    };
    if (!put(MCU_FRAME_START)) return 0;
    for (DWORD i = 0; i < length; ++i) {
        if (!putEscaped(payload[i])) return 0;
    }
    if (!putEscaped(McuChecksum(payload, length)) || !put(MCU_FRAME_END)) return 0;
    return n;
}

DWORD McuDecodeFrame(const BYTE* frame, DWORD length, BYTE* payload, DWORD payloadSize) {
    if (frame == nullptr || payload == nullptr) return 0;
    // Start, at least the checksum, end.
    if (length < 3 || frame[0] != MCU_FRAME_START || frame[length - 1] != MCU_FRAME_END) return 0;
    DWORD n = 0;
    BYTE sum = static_cast<BYTE>(MCU_FRAME_START + MCU_FRAME_END);
    bool held = false;  // the last byte decoded: payload once another follows, else the checksum
    BYTE heldByte = 0;
    for (DWORD i = 1; i < length - 1; ++i) {
        BYTE b = frame[i];
        // Start and end bytes never appear inside a frame: two frames read as one would
        // otherwise pass, their sums both being zero.
        if (b == MCU_FRAME_START || b == MCU_FRAME_END) return 0;
        if (b == MCU_FRAME_ESCAPE) {
            // An escape right before the end would swallow the end byte.
            if (i + 1 >= length - 1) return 0;
            b = frame[++i];
            if (b == MCU_FRAME_START || b == MCU_FRAME_END) return 0;
            b = static_cast<BYTE>(b | 0x80);
        }
        if (held) {
            if (n >= payloadSize) return 0;
            payload[n++] = heldByte;
        }
        heldByte = b;
        held = true;
        sum = static_cast<BYTE>(sum + b);
    }
    if (!held || sum != 0) return 0;
    return n;
}
