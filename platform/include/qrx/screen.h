// Host side: controls of the device screen for tests and tools, not part of the platform's API.
// The screen composes the visible top-level windows in z-order and routes the pen and the keys.
// Input calls return once the input is queued to the windows' threads; WaitIdle then waits for
// the programs to have handled it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "types.h"
#include "winuser.h"

namespace qrx::screen {

constexpr int kWidth = 800;
constexpr int kHeight = 480;

// Pen: press, drag and lift at screen coordinates; Tap is a press and a release.
void Press(int x, int y);
void Move(int x, int y);
void Release(int x, int y);
void Tap(int x, int y);
// A key press and release (WM_KEYDOWN, WM_KEYUP) to the focus window.
void Key(UINT vk);

// The screen as 0x00RRGGBB pixels, kWidth x kHeight, row after row.
bool Compose(std::vector<uint32_t>& pixels);
// Composes and writes the screen to a PNG file.
bool Shot(const char* pngPath);

struct WindowInfo {
    HWND hwnd = nullptr;
    std::u16string className;
    std::u16string title;
    DWORD pid = 0;
    RECT rect{0, 0, 0, 0};  // screen coordinates
    bool visible = false;
};
// The top-level windows, front first.
std::vector<WindowInfo> ListWindows();
// Waits until a top-level window of the class is shown; false after deviceMs.
bool WaitForWindow(const WCHAR* className, DWORD deviceMs);
// Waits until every thread that owns windows has an empty queue, no pending paint and no due timer,
// and waits for messages; a calling thread with windows of its own handles its messages meanwhile.
bool WaitIdle(DWORD deviceMs);

// Backlight level in percent (0 dark, 100 full); the composed picture dims accordingly.
void SetBrightness(int percent);
int Brightness();

}  // namespace qrx::screen
