// The program's side of the screen server: when a server runs for the device, the program's
// top-level windows are shown on the shared screen and windows of other programs become reachable.
// Without a server every call here reports "not connected" and the program keeps its own screen.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qrx/screen.h"
#include "win/win.h"

namespace qrx::win::remote {

// Connects to <device root>/.platform/screen.sock; null when no server answers. `local` routes
// input into this program's windows and is kept by the returned screen.
Screen* Connect(std::unique_ptr<Screen> local);

// A window handle of another program of the device (only while connected).
bool Foreign(HWND h);

enum class Op { Send, Post, Show, Pos, Foreground, IsWindow };
// Runs an operation on another program's window and gives its result; 0 (error set) when the
// window or its program is gone.
LRESULT Call(Op op, HWND h, LONG_PTR a = 0, LONG_PTR b = 0, LONG_PTR c = 0, LONG_PTR d = 0, LONG_PTR e = 0,
             LONG_PTR f = 0);

// The top-level windows of every program, front first; false when not connected.
bool AllWindows(std::vector<screen::WindowInfo>& out, std::vector<DWORD>* threads = nullptr);

// Process and thread of another program's window; false when unknown.
bool ForeignOwner(HWND h, DWORD* pid, DWORD* thread);

// The server side (qrx-screen). Listens on the device's screen socket; false with the reason when
// another server answers there or the socket cannot be made.
bool ListenScreenServer(std::string* error);
// Serves connections on the calling thread until the listener fails.
void RunScreenServer();
// Listens and serves on a thread of its own (benchmarks).
bool StartScreenServer(std::string* error);
// Has every program bring its pixels up to date and composes the screen.
bool ComposeSharedScreen(std::vector<uint32_t>& pixels);
// The server's display: composes the screen each time a surface, the z-order or the backlight
// changed (at most once a frame period, never while nothing changes) and hands each picture to
// `present`, which may be empty. Returns once StopComposer is called (one composer per process).
void RunComposer(const std::function<void(const std::vector<uint32_t>&)>& present);
void StopComposer();
// Pictures composed for the display so far.
unsigned long long ComposeCount();
// Waits until the display shows every change made so far; false after deviceMs.
bool WaitComposed(DWORD deviceMs);

// Has the screen server tell every program of the device about a storage event (which each delivers
// to its own windows); false when not connected or the server did not take it.
bool BroadcastDeviceChange(WPARAM event, const std::u16string& volume);

// Line protocol helpers shared with the server and the control tool.
std::string HexUtf16(const std::u16string& s);
bool UnhexUtf16(const std::string& hex, std::u16string& out, size_t limit);

}  // namespace qrx::win::remote
