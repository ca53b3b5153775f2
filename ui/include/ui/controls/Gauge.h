// Layout type 23: a value shown as a row of segment pictures laid from a first point by a fixed step,
// two value units per full segment and one per half segment.
#pragma once
#include <windows.h>

#include <memory>

#include "ui/UiCtrl.h"

class CLayoutScript;

class CGaugeCtrl : public CUiCtrl {
public:
    CGaugeCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CGaugeCtrl() override;

    void SetFirstPoint(int x, int y);
    void SetIncPoint(int dx, int dy);
    // Whether the full-segment picture loaded.
    BOOL SetGaugeImages(const WCHAR* half, const WCHAR* full);
    // In half segments; below 0 counts as 0.
    void SetValue(int value, BOOL redraw);
    int GetValue() const { return m_nValue; }

    void OnPaint(HDC dc) override;

private:
    int m_x1, m_y1, m_dx, m_dy, m_nValue;
    std::unique_ptr<CUiBitmap> m_half, m_full;
};

CUiCtrl* NewGauge(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page, int control);
