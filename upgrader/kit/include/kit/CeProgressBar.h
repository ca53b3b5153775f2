// The upgrader's progress bar: the left part of its picture, as wide as the percent of the bar.
#pragma once
#include <windows.h>

#include "numpad/CeBitmap.h"

class CCeProgressBar : public CCeBitmap {
public:
    CCeProgressBar();
    ~CCeProgressBar() override;

    // The bar from (x1, y1) to (x2, y2) in hWnd, its picture BMP data. 1 when the picture loaded; the
    // bar keeps its place either way and draws nothing without a picture.
    BOOL Create(const RECT& rc, HWND hWnd, const BYTE* data, DWORD size);
    // Percent clamped to 0..100; draws x1 .. x1 + percent x (x2 - x1) / 100, never past the picture.
    // Returns the width drawn.
    int SetPos(HDC dc, int percent);
    int GetPos() const { return m_nPos; }
    const RECT& GetRect() const { return m_rc; }

private:
    RECT m_rc;
    HWND m_hWnd;
    int m_nPos;
};
