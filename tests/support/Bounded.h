// Waits of the tests and their helper programs that end within a bound, so a fault shows as a failure
// instead of a hang until CTest's time-out. Every bound is on one scale: QRX_TEST_TIMEOUT_SCALE (a
// number; 1 when unset, unreadable or below 1) multiplies it, so a slower or busier machine needs one
// figure and no edits. A bound only ever ends a wait that is failing: passing runs are as fast as the
// programs under test.
#pragma once
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <utility>

namespace bounded {

// What one step of a program may take at most (a window, a reply, an exit, a picture) with sanitizers
// on a machine loaded to several times its cores.
constexpr int kDefaultMs = 60000;

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

// A bound of ms on the scale, in milliseconds (below INFINITE for the platform's waits; the test
// process runs its device clock unscaled, so device and host milliseconds agree there).
inline int Scaled(int ms = kDefaultMs) {
    return static_cast<int>(std::min(static_cast<double>(ms) * Scale(), static_cast<double>(0x7FFFFFFE)));
}

// Polls until cond() holds, pausing a little longer each time (1 ms up to 50 ms) so that quick
// conditions are seen at once and costly probes do not crowd a loaded machine; false when ms on the
// scale passed and one last look failed too.
template <class Cond>
bool WaitUntil(Cond cond, int ms = kDefaultMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Scaled(ms));
    std::chrono::milliseconds pause(1);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    return true;
}

// A thread whose join waits at most ms on the scale. A thread still running then holds the test's
// objects, so the test program ends there with a message.
class Thread {
public:
    template <class F>
    explicit Thread(F body)
        : m_done(std::make_shared<std::atomic<bool>>(false)),
          m_thread([done = m_done, body = std::move(body)]() mutable {
              body();
              *done = true;
          }) {}
    Thread(Thread&&) = default;
    Thread& operator=(Thread&& other) {
        Join();
        m_done = std::move(other.m_done);
        m_thread = std::move(other.m_thread);
        return *this;
    }
    ~Thread() { Join(); }

    void Join(int ms = kDefaultMs) {
        if (!m_thread.joinable()) return;
        if (!WaitUntil([this] { return m_done->load(); }, ms)) {
            std::fprintf(stderr, "a thread of the test did not end within %d ms\n", Scaled(ms));
            std::fflush(stderr);
            std::abort();
        }
        m_thread.join();
    }

private:
    std::shared_ptr<std::atomic<bool>> m_done;
    std::thread m_thread;
};

// The wait status of a child process; a child still running after ms on the scale is killed and -1
// returned.
inline int WaitChild(pid_t pid, int ms = kDefaultMs) {
    int status = 0;
    if (pid <= 0) return -1;
    if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return status;
}

}  // namespace bounded
