#include "app/PerfTimer.h"

#include <mutex>

namespace {

LONGLONG g_frequency = 1;
LONGLONG g_calibration = 0;
std::once_flag g_calibrated;

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

}  // namespace

LONGLONG CPerfTimer::Frequency() { return g_frequency; }
LONGLONG CPerfTimer::Calibration() { return g_calibration; }

CPerfTimer::CPerfTimer(BOOL start) : m_counter(0) {
    std::call_once(g_calibrated, [this] {
        LARGE_INTEGER f;
        g_frequency = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1;
        g_calibration = 0;
        Start(FALSE);
        Stop();
        g_calibration = m_counter;
    });
    m_counter = 0;
    if (start) Start(FALSE);
}

CPerfTimer::CPerfTimer(const CPerfTimer& other) : m_counter(0) {
    other.Lock();
    m_counter = other.m_counter;
    other.Unlock();
}

CPerfTimer& CPerfTimer::operator=(const CPerfTimer& other) {
    if (this == &other) return *this;
    Lock();
    other.Lock();
    m_counter = other.m_counter;
    other.Unlock();
    Unlock();
    return *this;
}

void CPerfTimer::Start(BOOL reset) {
    const LONGLONG reading = Now();
    Lock();
    if (!reset && m_counter < 0) m_counter += reading;
    else m_counter = reading;
    Unlock();
}

void CPerfTimer::Stop() {
    Lock();
    if (m_counter > 0) {
        m_counter -= Now();
        // An interval no longer than a start-and-stop pair is nothing but that cost.
        if (m_counter >= g_calibration) m_counter = 0;
        else m_counter -= g_calibration;
    }
    Unlock();
}

double CPerfTimer::GetElapsedMs() const {
    CPerfTimer copy(*this);
    copy.Stop();
    return static_cast<double>(-copy.m_counter) * 1000.0 / static_cast<double>(g_frequency);
}

BOOL CPerfTimer::IsRunning() const {
    Lock();
    const BOOL running = m_counter > 0;
    Unlock();
    return running;
}
