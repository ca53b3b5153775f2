#include "ui/controls/Picture.h"

#include <algorithm>

#include "ui/controls/ControlUtil.h"

CPictureCtrl::CPictureCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel), m_rcCopy{0, 0, 0, 0}, m_szPath{}, m_bDrawBack(1) {}

CPictureCtrl::~CPictureCtrl() {
    m_pictures[0].reset();
    m_pictures[1].reset();
}

BOOL CPictureCtrl::SetPictures(const WCHAR* first, const WCHAR* second, BOOL redraw) {
    const WCHAR* names[2] = {first, second};
    BOOL all = 1;
    for (int i = 0; i < 2; ++i) {
        QrxStrCopy(m_szPath[i], MAX_PATH, names[i] ? names[i] : u"");
        m_pictures[i] = LoadControlBitmap(m_szPath[i], m_bTransparent, m_crKey);
        if (m_szPath[i][0] && !m_pictures[i]) all = 0;
    }
    if (redraw) Invalidate(nullptr, FALSE);
    return all;
}

void CPictureCtrl::SetCopyRect(const RECT* rc) {
    if (rc)
        m_rcCopy = *rc;
    else
        SetRectEmpty(&m_rcCopy);
}

void CPictureCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    const int w = m_nBackW, h = m_nBackH;
    const RECT own = {0, 0, w, h};
    CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
    if (m_bDrawBack && BitmapHasSize(image)) {
        // A page image adopted by an image-less control shows the part under the control.
        POINT at{0, 0};
        PageImageOrigin(image, &at);
        image->DrawClipped(back, at.x, at.y, own);
    }
    for (auto& picture : m_pictures) {
        if (!picture) continue;
        int x = picture->GetWidth() < w ? (w - picture->GetWidth()) / 2 : 0;
        int y = picture->GetHeight() < h ? (h - picture->GetHeight()) / 2 : 0;
        picture->DrawClipped(back, x, y, own);
    }
    if (m_rcCopy.left || m_rcCopy.top || m_rcCopy.right || m_rcCopy.bottom) {
        // What the target shows there, cut to the control; a reversed or outside strip copies nothing.
        RECT strip = {std::max<LONG>(m_rcCopy.left, 0), std::max<LONG>(m_rcCopy.top, 0),
                      std::min<LONG>(m_rcCopy.right, w), h};
        if (strip.right > strip.left && strip.bottom > strip.top && target) {
            RECT rc;
            GetRect(&rc, FALSE);
            BitBlt(back, strip.left, strip.top, strip.right - strip.left, strip.bottom - strip.top, target,
                   rc.left + strip.left, rc.top + strip.top, SRCCOPY);
        }
    }
    EndBackPaint(target, release);
}

CUiCtrl* NewPicture(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript*, int, int) {
    return new CPictureCtrl(record, panel);
}
