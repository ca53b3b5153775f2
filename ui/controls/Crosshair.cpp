#include "ui/controls/Crosshair.h"

#include <algorithm>

#include "ui/LayoutScript.h"
#include "ui/controls/ControlUtil.h"

CCrosshairCtrl::CCrosshairCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel), m_bDragging(0), m_x0(0), m_y0(0), m_nLineWidth(0), m_crLine(0) {}

void CCrosshairCtrl::SetLine(int width, COLORREF color) {
    // A pen wider than the control only costs drawing time.
    m_nLineWidth = std::clamp(width, 0, std::max(m_w, m_h));
    m_crLine = color;
}

BOOL CCrosshairCtrl::SetImages(CUiBitmap* normal, CUiBitmap* pressed, CUiBitmap* focus, CUiBitmap* disabled) {
    BOOL r = CUiCtrl::SetImages(normal, pressed, focus, disabled);
    Clamp();
    return r;
}

BOOL CCrosshairCtrl::LoadImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus, const WCHAR* disabled) {
    BOOL r = CUiCtrl::LoadImages(normal, pressed, focus, disabled);
    Clamp();
    return r;
}

void CCrosshairCtrl::Clamp() {
    CUiBitmap* marker = m_images[UICTRL_IMG_FOCUS].get();
    if (!BitmapHasSize(marker)) return;
    int hw = marker->GetWidth() / 2, hh = marker->GetHeight() / 2;
    if (m_x0 < hw) m_x0 = hw;
    if (m_x0 + hw > m_w) m_x0 = m_w - hw;
    if (m_y0 < hh) m_y0 = hh;
    if (m_y0 + hh > m_h) m_y0 = m_h - hh;
}

void CCrosshairCtrl::SetPointFromPen(int x, int y) {
    RECT rc;
    GetRect(&rc, FALSE);
    // A coordinate with bit 15 set is no position (a pen past the screen's edge): it keeps its value.
    if (!(x & 0x8000)) m_x0 = x <= rc.left ? 0 : x >= rc.right ? rc.right - rc.left : x - rc.left;
    if (!(y & 0x8000)) m_y0 = y <= rc.top ? 0 : y >= rc.bottom ? rc.bottom - rc.top : y - rc.top;
    Clamp();
}

BOOL CCrosshairCtrl::CancelPress() {
    BOOL was = m_bDragging;
    if (was) {
        CtrlReleaseCapture(this);
        m_bDragging = 0;
        Invalidate(nullptr, FALSE);
    }
    return was;
}

int CCrosshairCtrl::OnMouse(int msg, WPARAM, int x, int y) {
    if (!IsVisible() || IsCtrlBlocked(this)) {
        CancelPress();
        return 0;
    }
    switch (msg) {
        case 513:
        case 515:
            CtrlTakeCapture(this);
            m_bDragging = 1;
            SetPointFromPen(x, y);
            Invalidate(nullptr, FALSE);
            ExecCommand(0, 0);
            return 1;
        case 512:
            if (!m_bDragging) return 0;
            SetPointFromPen(x, y);
            Invalidate(nullptr, FALSE);
            ExecCommand(0, 0);
            return 1;
        case 514:
            return CancelPress();
        default:
            return 0;
    }
}

void CCrosshairCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
    if (m_bDragging && BitmapHasSize(m_images[UICTRL_IMG_PRESSED].get())) image = m_images[UICTRL_IMG_PRESSED].get();
    if (BitmapHasSize(image)) DrawAligned(back, image);
    const int w = m_nBackW, h = m_nBackH;
    if (m_nLineWidth > 0) {
        HPEN pen = CreatePen(PS_SOLID, m_nLineWidth, m_crLine);
        if (pen) {
            HGDIOBJ old = SelectObject(back, pen);
            MoveToEx(back, 0, m_y0, nullptr);
            LineTo(back, w, m_y0);
            MoveToEx(back, m_x0, 0, nullptr);
            LineTo(back, m_x0, h);
            SelectObject(back, old);
            DeleteObject(pen);
        }
    }
    CUiBitmap* marker = m_images[UICTRL_IMG_FOCUS].get();
    if (BitmapHasSize(marker)) {
        const RECT own = {0, 0, w, h};
        marker->DrawClipped(back, m_x0 - marker->GetWidth() / 2, m_y0 - marker->GetHeight() / 2, own);
    }
    EndBackPaint(target, release);
}

CUiCtrl* NewCrosshair(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                      int control) {
    auto crosshair = std::make_unique<CCrosshairCtrl>(record, panel);
    if (!script) return crosshair.release();
    DWORD line[2] = {};
    if (script->ReadNumbers(page, control, u"line", 2, line) == 0)
        crosshair->SetLine(static_cast<LONG>(line[0]), line[1]);
    return crosshair.release();
}
