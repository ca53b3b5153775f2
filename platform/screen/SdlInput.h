// Turns the desktop window's mouse and keyboard events into the control socket's pen and key
// commands, so the window drives the programs exactly as `qrx-ctl` does.
#pragma once
#include <SDL.h>

#include <string>
#include <vector>

namespace qrx::screen {

// The VK code for an SDL key, 0 for keys the device has no use for.
int VkFromSdlKey(SDL_Keycode key);

class SdlInput {
public:
    // Control lines ("press X Y", "key VK", ...) for one event; none for events of no interest.
    std::vector<std::string> Translate(const SDL_Event& e);
    bool PenDown() const { return m_down; }

private:
    std::string PenLine(const char* verb, int x, int y);
    bool m_down = false;
    int m_x = 0, m_y = 0;
};

}  // namespace qrx::screen
