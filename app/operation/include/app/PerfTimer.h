// The stopwatch of the operation page's one-second tick: the performance counter, with the cost of one
// start-and-stop pair measured once per process and taken off every interval.
#pragma once
#include <windows.h>

class CPerfTimer {
public:
    explicit CPerfTimer(BOOL start = FALSE);
    CPerfTimer(const CPerfTimer& other);
    CPerfTimer& operator=(const CPerfTimer& other);
    virtual ~CPerfTimer() = default;

    // Hooks for a guarded stopwatch; this one needs none.
    virtual void Lock() const {}
    virtual void Unlock() const {}

    // reset 0 continues after a Stop; otherwise a fresh start.
    void Start(BOOL reset);
    void Stop();
    // The time run so far; the stopwatch keeps running.
    double GetElapsedMs() const;
    BOOL IsRunning() const;

    static LONGLONG Frequency();
    static LONGLONG Calibration();

private:
    // Above 0 while running: the counter at the start. 0 or below while stopped: minus the time
    // accumulated so far.
    LONGLONG m_counter;
};
