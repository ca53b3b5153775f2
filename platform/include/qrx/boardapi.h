// The board's own services: the GPIO library of the board-support package and the control codes of
// its stream devices ("PWM1:" tone, "PWM2:" backlight, "TCH1:" touch panel).
#pragma once
#include <string>
#include <vector>

#include "types.h"

// GPIO library. The original imports these by ordinal from the board-support library; the ordinal
// of each is given beside it. GPIO_Open gives NULL (error set) when the library is not present.
HANDLE GPIO_Open(void);                                  // ordinal 200
BOOL GPIO_Close(HANDLE hGpio);                           // ordinal 201
BOOL GPIO_SetMode(HANDLE hGpio, DWORD pin, DWORD mode);  // ordinal 202: 0 output, 1 input
BOOL GPIO_ClrBit(HANDLE hGpio, DWORD pin);               // ordinal 204: drives the pin low
BOOL GPIO_SetBit(HANDLE hGpio, DWORD pin);               // ordinal 205: drives the pin high
// ordinal 206: the level as the board reports it, 0 low and any other value high; 0 on failure.
DWORD GPIO_GetBit(HANDLE hGpio, DWORD pin);

#define GPIO_MODE_OUTPUT 0u
#define GPIO_MODE_INPUT 1u
#define GPIO_MAX_PIN 1023u

// Stream device control codes.
#define IOCTL_PWM_SET_BACKLIGHT 0x00220830u  // PWM2: DWORD, 1 on, 0 off
#define IOCTL_PWM_SET_TONE 0x00220834u       // PWM1: PWM_TONE_RECORD

typedef struct _PWM_TONE_RECORD {
    DWORD frequency;  // Hz
    DWORD duty;       // percent
    DWORD on;         // 1 on, 0 off
} PWM_TONE_RECORD;
static_assert(sizeof(PWM_TONE_RECORD) == 12, "tone control record is 12 bytes");

// Host side: what the board devices were told and the GPIO pin levels. The levels live in
// PlatformStatePath("gpio") as "pin=level" lines; "pin=level fixed" holds a pin at its level whatever
// the program drives, and a line "absent" makes GPIO_Open fail. Each device keeps its last records
// in PlatformStatePath("devices/<name>"), one line "<tick> <code> <size> <hex bytes or ->" each.
namespace qrx {

// Process-wide switch over the library's presence (tests); true again restores the file's say.
void SetGpioAvailable(bool available);
// Sets a pin's level in the level file as the board would; fixed pins ignore the program's drives.
bool SetGpioPinLevel(DWORD pin, DWORD level, bool fixed = false);
// The level file's level of a pin (0 when never mentioned).
DWORD GpioPinLevel(DWORD pin);

struct DeviceRecord {
    DWORD tick = 0;           // GetTickCount when the control arrived
    DWORD code = 0;           // control code
    DWORD size = 0;           // bytes of input the control carried
    std::vector<BYTE> bytes;  // its first 64 bytes at most
};
// device: "PWM1", "PWM2", "TCH1", "GPIO" (each SetMode, ClrBit and SetBit: the ordinal 202, 204 or 205 as
// the code, then pin and value as two DWORDs) or "FWD1". Oldest first, at most the last 128 records of "PWM1"
// (a whole buzzer pattern), the last 4096 of "FWD1" (every call, refused ones too; a page's record holds its
// offset word and the page) and the last 32 of the others.
std::vector<DeviceRecord> ReadDeviceRecords(const std::string& device);
// The backlight as last set through "PWM2:": 1 on, 0 off, -1 never set (the screen starts lit).
int BacklightState();

}  // namespace qrx
