// The screen server's desktop window: shows the composed screen and turns the mouse into the pen.
#pragma once
#include <csignal>
#include <string>

namespace qrx::screen {

// Opens the 800 x 480 window when a display is there (or when `forced`, on whatever video driver
// SDL has, e.g. the dummy one); false, with the reason, when the server should run headless.
bool OpenSdlView(bool forced, std::string* why);

// Serves the screen server (already listening on `socketPath`) while the window runs, until the
// window is closed or `stop` becomes set; then closes the window. Gives the frames presented.
unsigned long long RunSdlView(const std::string& socketPath, volatile std::sig_atomic_t* stop);

}  // namespace qrx::screen
