// Waits of the tests that end within a bound, so a fault shows as a failure instead of a hang until
// CTest's time-out. Bounds are on the one test scale (QRX_TEST_TIMEOUT_SCALE, WaitBounds.h).
#pragma once
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <utility>

#include "WaitBounds.h"

namespace bounded {

constexpr int kDefaultMs = 20000;

// Polls until cond() holds; false after ms of host time on the test scale.
template <class Cond>
bool WaitUntil(Cond cond, int ms = kDefaultMs) {
    return wait_bounds::WaitUntil(cond, wait_bounds::Ms(ms));
}

// A thread whose join waits at most ms. A thread still running then holds the test's objects, so
// the test program ends there with a message.
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
            std::fprintf(stderr, "a thread of the test did not end within %d ms\n", ms);
            std::fflush(stderr);
            std::abort();
        }
        m_thread.join();
    }

private:
    std::shared_ptr<std::atomic<bool>> m_done;
    std::thread m_thread;
};

// The wait status of a child process; a child still running after ms is killed and -1 returned.
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
