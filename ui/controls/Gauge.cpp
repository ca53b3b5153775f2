#include "ui/controls/Gauge.h"

#include <algorithm>

#include "ui/LayoutScript.h"
#include "ui/controls/ControlUtil.h"

CGaugeCtrl::CGaugeCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel), m_x1(0), m_y1(0), m_dx(0), m_dy(0), m_nValue(0) {}

CGaugeCtrl::~CGaugeCtrl() {
    m_half.reset();
    m_full.reset();
}

void CGaugeCtrl::SetFirstPoint(int x, int y) {
    m_x1 = x;
    m_y1 = y;
}

void CGaugeCtrl::SetIncPoint(int dx, int dy) {
    m_dx = dx;
    m_dy = dy;
}

BOOL CGaugeCtrl::SetGaugeImages(const WCHAR* half, const WCHAR* full) {
    m_half = LoadControlBitmap(half, m_bTransparent, m_crKey);
    m_full = LoadControlBitmap(full, m_bTransparent, m_crKey);
    return m_full != nullptr;
}

void CGaugeCtrl::SetValue(int value, BOOL redraw) {
    m_nValue = std::max(value, 0);
    if (redraw) Invalidate(nullptr, FALSE);
}

void CGaugeCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    const RECT own = {0, 0, m_nBackW, m_nBackH};
    CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
    if (BitmapHasSize(image)) {
        // A page image adopted by an image-less control shows the part under the control.
        POINT at{0, 0};
        PageImageOrigin(image, &at);
        image->DrawClipped(back, at.x, at.y, own);
    }
    if (m_full) {
        const int full = m_nValue / 2;
        // A segment lies at first + step x i (64 bits: a hostile step must not wrap back inside).
        auto place = [&](CUiBitmap* bitmap, int i, RECT* rc) {
            long long x = m_x1 + static_cast<long long>(m_dx) * i;
            long long y = m_y1 + static_cast<long long>(m_dy) * i;
            if (x >= own.right || y >= own.bottom || x + bitmap->GetWidth() <= 0 || y + bitmap->GetHeight() <= 0)
                return FALSE;
            SetRect(rc, static_cast<int>(x), static_cast<int>(y), 0, 0);
            return TRUE;
        };
        // Every later segment lies further along the step: the first wholly outside ends the row, and a
        // zero step would only draw the same place again.
        const int drawn = (m_dx == 0 && m_dy == 0) ? std::min(full, 1) : full;
        int i = 0;
        RECT at;
        for (; i < drawn && place(m_full.get(), i, &at); ++i) m_full->DrawClipped(back, at.left, at.top, own);
        if (i == drawn && m_nValue % 2 == 1 && m_half && place(m_half.get(), full, &at))
            m_half->DrawClipped(back, at.left, at.top, own);
    }
    EndBackPaint(target, release);
}

CUiCtrl* NewGauge(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page, int control) {
    auto gauge = std::make_unique<CGaugeCtrl>(record, panel);
    if (!script) return gauge.release();
    DWORD point[2] = {};
    if (script->ReadNumbers(page, control, u"1stpoint", 2, point) == 0)
        gauge->SetFirstPoint(static_cast<LONG>(point[0]), static_cast<LONG>(point[1]));
    if (script->ReadNumbers(page, control, u"incpoint", 2, point) == 0)
        gauge->SetIncPoint(static_cast<LONG>(point[0]), static_cast<LONG>(point[1]));
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(2);
    // Taken as written: no image folder.
    if (script->ReadImageList(page, control, u"guageimage", 2, names.get(), 0) >= 0)
        gauge->SetGaugeImages(names[0], names[1]);
    return gauge.release();
}
