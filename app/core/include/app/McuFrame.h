// The MCU wire frame: 0x81, the escaped payload, the escaped checksum, 0x82. A byte of 0x80 to 0x8F
// goes out as 0x80 and the byte with its top bit cleared. The checksum makes the 8-bit sum of 0x81,
// 0x82, the payload and the checksum zero.
#pragma once
#include <windows.h>

#define MCU_FRAME_START 0x81
#define MCU_FRAME_END 0x82
#define MCU_FRAME_ESCAPE 0x80
// Longest frame of a payload of n bytes: every payload byte and the checksum escaped.
#define MCU_FRAME_MAX(n) (2 + 2 * ((n) + 1))

BYTE McuChecksum(const BYTE* payload, DWORD length);

// Writes the frame of the payload into frame; its length, or 0 when frameSize is too small.
DWORD McuEncodeFrame(const BYTE* payload, DWORD length, BYTE* frame, DWORD frameSize);

// Decodes a whole buffer that must be exactly one frame; the payload length without the checksum,
// or 0 for a wrong start or end, a start or end byte inside, a dangling escape, a missing checksum, a wrong checksum or a
// payload that does not fit payloadSize.
DWORD McuDecodeFrame(const BYTE* frame, DWORD length, BYTE* payload, DWORD payloadSize);
