// Layout type 21: a point with a horizontal and a vertical line through it and a marker (the control's
// third image), dragged by the pen, also past the control's edge while the pen is down.
#pragma once
#include <windows.h>

#include "ui/UiCtrl.h"

class CLayoutScript;

class CCrosshairCtrl : public CUiCtrl {
public:
    CCrosshairCtrl(const LayoutControlRecord* record, CShellPanel* panel);

    // A width of 0 draws no lines; at most the control's larger side.
    void SetLine(int width, COLORREF color);
    int GetLineWidth() const { return m_nLineWidth; }
    // Control coordinates.
    int GetX() const { return m_x0; }
    int GetY() const { return m_y0; }
    BOOL IsDragging() const { return m_bDragging; }

    BOOL SetImages(CUiBitmap* normal, CUiBitmap* pressed, CUiBitmap* focus, CUiBitmap* disabled) override;
    BOOL LoadImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus, const WCHAR* disabled) override;
    BOOL IsCapturingPen() const override { return m_bDragging; }
    BOOL CancelPress() override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;

private:
    void SetPointFromPen(int x, int y);
    void Clamp();

    BOOL m_bDragging;
    int m_x0, m_y0;
    int m_nLineWidth;
    COLORREF m_crLine;
};

CUiCtrl* NewCrosshair(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                      int control);
