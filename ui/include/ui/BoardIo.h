// Board hardware reached from the framework: board revisions from the GPIO pins, the board-support
// version, the tone generator ("PWM1:") and the backlight ("PWM2:").
#pragma once
#include <windows.h>

// revision: 1.0, 2.0, 2.2 or 2.3 from pins 19 and 20; kind: 3 when pin 65 reads back high after being
// driven high, 1 otherwise. Without the GPIO library: 0.0 and 1.
void ReadScreenRevision(double* revision, BYTE* kind);
// "3.0" to "3.7" and "4.0" to "4.7" from pins 53, 54, 55 and 57; "unknown" without the GPIO library.
void ReadDisplayBoardRevision(WCHAR* text, size_t capacity);
// The fixed board-support version text.
void GetBspVersion(WCHAR* text, size_t capacity);

// One tone device handle per process, owned by whoever plays the tones (the buzzer thread).
BOOL OpenTonePwm();
void CloseTonePwm();
// FALSE when the tone device is not open or refuses the record.
BOOL TonePwmControl(DWORD frequency, DWORD duty, DWORD on);
BOOL Tone(DWORD frequency, BOOL on);
// screenOff non-zero turns the backlight off.
void SetBacklight(BOOL screenOff);
