// Reflash's hidden service access, tested on every release outside a pressed button: five taps in
// the corners (top right, bottom right, bottom left, top right, bottom right) start the platform
// shell; any other tap starts the sequence over. A tap in the top-left corner ends the upgrader.
#pragma once
#include <windows.h>

class ServiceTaps {
public:
    enum Result { None, Corner, Shell };

    Result Tap(int x, int y) {
        static const RECT kSequence[] = {{700, 0, 800, 100},   {700, 380, 800, 480}, {0, 380, 100, 480},
                                         {700, 0, 800, 100},   {700, 380, 800, 480}};
        const int steps = static_cast<int>(sizeof kSequence / sizeof kSequence[0]);
        if (x < 100 && y < 100) {
            m_step = 0;
            return Corner;
        }
        if (Inside(kSequence[m_step], x, y)) {
            if (++m_step < steps) return None;
            m_step = 0;
            return Shell;
        }
        m_step = Inside(kSequence[0], x, y) ? 1 : 0;
        return None;
    }

private:
    static bool Inside(const RECT& r, int x, int y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }
    int m_step = 0;
};
