// Layout type 26: a numbered series of images played in a loop on a timer.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "ui/UiCtrl.h"

class CLayoutScript;

class CAnimImageCtrl : public CUiCtrl {
public:
    CAnimImageCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CAnimImageCtrl() override;

    // Frames name with "_%d" before its last four characters (clock.bmp: clock_0.bmp, clock_1.bmp, ...).
    // A name under five characters, a count outside 1..256, a period under 10 ms or a frame that does
    // not load: nothing plays (0). 1 when playing.
    BOOL LoadFrames(const WCHAR* name, int count, int period, int flag);
    int GetFrameCount() const { return static_cast<int>(m_frames.size()); }
    // The frame shown last.
    int GetShownFrame() const { return m_nShown; }
    UINT_PTR GetFrameTimer() const { return m_timer; }
    // The fourth "imgs" value, kept for the program.
    int GetFlag() const { return m_nFlag; }

    void OnCreate() override;
    int OnTimer(UINT_PTR id, LPARAM lParam) override;
    void OnPaint(HDC dc) override;
    void Destroy() override;

    static constexpr int kMaxFrames = 256;
    static constexpr int kMinPeriod = 10;

private:
    void Stop();
    BOOL IsShown() const;

    std::vector<std::unique_ptr<CUiBitmap>> m_frames;
    UINT_PTR m_timerId;  // allocated once
    UINT_PTR m_timer;    // running, 0 when none
    HWND m_hTimerWnd;
    int m_nPeriod;
    int m_nFlag;
    int m_nCurrent;
    int m_nShown;
};

CUiCtrl* NewAnimImage(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                      int control);
