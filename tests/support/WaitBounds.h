// How long the tests and their helper programs wait for what takes time, on one scale. Every bound is a
// generous base multiplied by QRX_TEST_TIMEOUT_SCALE (a number; 1 when unset, unreadable or below 1), so
// a slower or busier machine needs one figure and no edits. A bound only ever ends a wait that is
// failing: passing runs are as fast as the programs under test.
#pragma once
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <thread>

namespace wait_bounds {

using Ms = std::chrono::milliseconds;

// What one step of a program may take at most (a window, a reply, an exit, a picture) with sanitizers
// on a machine loaded to several times its cores.
constexpr Ms kPatience{60000};

// QRX_TEST_TIMEOUT_SCALE, read once.
inline double Scale() {
    static const double scale = [] {
        const char* text = std::getenv("QRX_TEST_TIMEOUT_SCALE");
        char* end = nullptr;
        const double value = text ? std::strtod(text, &end) : 1.0;
        // Bounds only ever grow: a typo must not make every wait fail at once.
        return text && end != text && std::isfinite(value) && value > 1.0 ? std::min(value, 1000.0) : 1.0;
    }();
    return scale;
}

// The base on the scale.
inline Ms Bound(Ms base = kPatience) {
    return Ms(static_cast<Ms::rep>(static_cast<double>(base.count()) * Scale()));
}

// The same as milliseconds for the platform's waits, below INFINITE (the test process runs its device
// clock unscaled, so device and host milliseconds agree there).
inline uint32_t BoundMs(Ms base = kPatience) {
    return static_cast<uint32_t>(std::min<Ms::rep>(Bound(base).count(), 0xFFFFFFFEll));
}

inline int BoundSeconds(Ms base = kPatience) { return static_cast<int>((Bound(base).count() + 999) / 1000); }

// Polls done() until it holds, pausing a little longer each time (1 ms up to 100 ms) so that quick
// conditions are seen at once and costly probes do not crowd a loaded machine; false when the bound
// passed and one last look failed too.
inline bool WaitUntil(const std::function<bool()>& done, Ms base = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + Bound(base);
    Ms pause(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, Ms(100));
    }
    return done();
}

}  // namespace wait_bounds
