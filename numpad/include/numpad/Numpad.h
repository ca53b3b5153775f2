// Numpad.dll: the modal calculator keypad that pops up over the main program's pages. Ins. sends
// SendMessageW(notify, 1025, id, tenths << 16 | 100), read like a click of button 100 of shell id.
#pragma once
#include <windows.h>

#define NUMPAD_ANSWER_CONTROL 100

extern "C" {
// Runs the keypad modally: 1 after Ins. or Off, 0 when closed otherwise or when it could not start.
__attribute__((visibility("default"))) int QRXNumpad_Create(HWND parent, HWND notify, int id);
__attribute__((visibility("default"))) int QRXNumpad_Close();
}
