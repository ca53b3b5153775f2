#include "SdlInput.h"

#include <algorithm>

#include "qrx/screen.h"
#include "qrx/winuser.h"

namespace qrx::screen {
namespace {

// The server takes points on the screen only; a drag outside the window (the mouse keeps
// reporting while a button is held) goes on along the screen's edge, as a pen leaving the panel.
int BoundX(Sint32 v) { return static_cast<int>(std::clamp<Sint32>(v, 0, kWidth - 1)); }
int BoundY(Sint32 v) { return static_cast<int>(std::clamp<Sint32>(v, 0, kHeight - 1)); }

}  // namespace

int VkFromSdlKey(SDL_Keycode key) {
    if (key >= SDLK_a && key <= SDLK_z) return 'A' + static_cast<int>(key - SDLK_a);
    if (key >= SDLK_0 && key <= SDLK_9) return '0' + static_cast<int>(key - SDLK_0);
    switch (key) {
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
        return VK_RETURN;
    case SDLK_ESCAPE:
        return VK_ESCAPE;
    case SDLK_BACKSPACE:
        return VK_BACK;
    case SDLK_LEFT:
        return VK_LEFT;
    case SDLK_UP:
        return VK_UP;
    case SDLK_RIGHT:
        return VK_RIGHT;
    case SDLK_DOWN:
        return VK_DOWN;
    default:
        return 0;
    }
}

std::string SdlInput::PenLine(const char* verb, int x, int y) {
    m_x = x;
    m_y = y;
    return std::string(verb) + " " + std::to_string(x) + " " + std::to_string(y);
}

std::vector<std::string> SdlInput::Translate(const SDL_Event& e) {
    switch (e.type) {
    case SDL_MOUSEBUTTONDOWN:
        if (e.button.button != SDL_BUTTON_LEFT || e.button.which == SDL_TOUCH_MOUSEID) return {};
        if (m_down) return {PenLine("move", BoundX(e.button.x), BoundY(e.button.y))};
        m_down = true;
        return {PenLine("press", BoundX(e.button.x), BoundY(e.button.y))};
    case SDL_MOUSEMOTION:
        // A pen is only seen while it touches the panel.
        if (!m_down || e.motion.which == SDL_TOUCH_MOUSEID) return {};
        return {PenLine("move", BoundX(e.motion.x), BoundY(e.motion.y))};
    case SDL_MOUSEBUTTONUP:
        if (e.button.button != SDL_BUTTON_LEFT || !m_down || e.button.which == SDL_TOUCH_MOUSEID) return {};
        m_down = false;
        return {PenLine("release", BoundX(e.button.x), BoundY(e.button.y))};
    case SDL_WINDOWEVENT:
        // The release may never reach a window that lost the focus mid-stroke; lift the pen
        // where it was, or the program under it would keep a stroke that never ends.
        if ((e.window.event == SDL_WINDOWEVENT_FOCUS_LOST || e.window.event == SDL_WINDOWEVENT_HIDDEN) && m_down) {
            m_down = false;
            return {PenLine("release", m_x, m_y)};
        }
        return {};
    case SDL_KEYDOWN: {
        int vk = VkFromSdlKey(e.key.keysym.sym);
        if (vk == 0) return {};
        return {"key " + std::to_string(vk)};
    }
    default:
        return {};
    }
}

}  // namespace qrx::screen
