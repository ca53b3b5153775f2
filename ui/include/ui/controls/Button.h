// The button of the layout types 1 and 22 (push or toggle button), 15 (touch area acting on pen-down)
// and 16 (touch area acting on double-click, or a surface for panning a zoomed image).
#pragma once
#include <windows.h>

#include "ui/UiCtrl.h"

// Timer of the long-press repeat, run by a timer procedure on the held button's window.
enum : UINT_PTR { BUTTON_REPEAT_TIMER = 4643 };

class CButtonCtrl : public CUiCtrl {
public:
    CButtonCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CButtonCtrl() override;

    // Load the unchecked ("uncheck") or checked ("check") set: normal, pressed, focused, disabled.
    // Whether the normal bitmap loaded.
    BOOL SetUncheckImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus, const WCHAR* disabled);
    BOOL SetCheckImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus, const WCHAR* disabled);
    // The previous state.
    int SetCheck(int state, BOOL redraw);
    int GetCheck() const { return m_nCheck; }
    void SetLongKey(int periodMs) { m_nLongKey = periodMs > 0 ? periodMs : 0; }
    int GetLongKey() const { return m_nLongKey; }
    // Takes over the region (null for none).
    void SetHitRegion(HRGN region);
    HRGN GetHitRegion() const { return m_hRgn; }

    BOOL IsPressed() const { return m_bPressed; }
    BOOL IsRepeating() const;
    // The button whose repeat timer runs, or null.
    static CButtonCtrl* GetHeldButton();

    BOOL IsCapturingPen() const override { return m_bCaptured; }
    BOOL CancelPress() override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;
    BOOL Show(BOOL show) override;
    void Destroy() override;

    // 0..3 unchecked normal, pressed, focused, disabled; 4..7 the checked set.
    CUiBitmap* GetStateBitmap(int i) const { return (i >= 0 && i < 8) ? m_bitmaps[i].get() : nullptr; }

private:
    static void CALLBACK RepeatTimerProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD time);
    BOOL LoadSet(int first, const WCHAR* const names[4]);
    static BOOL IsLoaded(const CUiBitmap* bitmap);
    CUiBitmap* ChooseStateBitmap() const;
    void StartRepeat();
    void StopRepeat();
    void Pan(int x, int y);
    void TakeCapture(int x, int y);
    void DropCapture();

    BOOL m_bCaptured;
    BOOL m_bPressed;
    int m_nCheck;
    int m_nLongKey;
    BOOL m_bRepeatTimer;
    BOOL m_bRepeated;
    std::unique_ptr<CUiBitmap> m_bitmaps[8];
    HRGN m_hRgn;
    BOOL m_bDragged;
    POINT m_ptDown;
    HWND m_hRepeatWnd;
};
