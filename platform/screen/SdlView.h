// The screen server's desktop window: shows the composed screen and turns the mouse into the pen.
#pragma once
#include <string>

namespace qrx::screen {

// Opens the 800 x 480 window when a display is there (or when `forced`, on whatever video driver
// SDL has, e.g. the dummy one); false, with the reason, when the server should run headless.
bool OpenSdlView(bool forced, std::string* why);

// Serves the screen server (already listening on `socketPath`) while the window runs, until the
// window is closed or StopSdlView is called; then closes the window. Gives the frames presented.
unsigned long long RunSdlView(const std::string& socketPath);
// Ends RunSdlView from any thread.
void StopSdlView();

}  // namespace qrx::screen
