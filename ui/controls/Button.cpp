#include "ui/controls/Button.h"

#include <algorithm>
#include <cstdlib>

#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"

namespace {

// The one button whose repeat timer runs, and the window the timer runs on.
CButtonCtrl* g_pHeldButton = nullptr;

constexpr UINT kFirstRepeatDelay = 300;
constexpr int kPanThreshold = 11;

}  // namespace

CButtonCtrl::CButtonCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel),
      m_bCaptured(0),
      m_bPressed(0),
      m_nCheck(0),
      m_nLongKey(0),
      m_bRepeatTimer(0),
      m_bRepeated(0),
      m_hRgn(nullptr),
      m_bDragged(0),
      m_ptDown{0, 0},
      m_hRepeatWnd(nullptr) {
    for (auto& bitmap : m_bitmaps) bitmap = std::make_unique<CUiBitmap>();
}

CButtonCtrl::~CButtonCtrl() {
    StopRepeat();
    DropCapture();
    if (m_hRgn) DeleteObject(m_hRgn);
    m_hRgn = nullptr;
}

BOOL CButtonCtrl::IsLoaded(const CUiBitmap* bitmap) { return bitmap && (bitmap->GetWidth() || bitmap->GetHeight()); }

BOOL CButtonCtrl::LoadSet(int first, const WCHAR* const names[4]) {
    for (int i = 0; i < 4; ++i) {
        CUiBitmap* bitmap = m_bitmaps[first + i].get();
        bitmap->Free();
        if (!names[i] || !names[i][0]) continue;
        if (bitmap->Load(names[i]) < 0) {
            bitmap->Free();
            continue;
        }
        if (IsLoaded(bitmap)) bitmap->SetTransparent(m_bTransparent, m_crKey);
    }
    return IsLoaded(m_bitmaps[first].get());
}

BOOL CButtonCtrl::SetUncheckImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus,
                                   const WCHAR* disabled) {
    const WCHAR* names[4] = {normal, pressed, focus, disabled};
    return LoadSet(0, names);
}

BOOL CButtonCtrl::SetCheckImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus,
                                 const WCHAR* disabled) {
    const WCHAR* names[4] = {normal, pressed, focus, disabled};
    return LoadSet(4, names);
}

int CButtonCtrl::SetCheck(int state, BOOL redraw) {
    int old = m_nCheck;
    m_nCheck = state;
    if (old == state) return old;
    if (redraw && IsLoaded(m_bitmaps[state ? 4 : 0].get())) Invalidate(nullptr, FALSE);
    return old;
}

void CButtonCtrl::SetHitRegion(HRGN region) {
    if (m_hRgn && m_hRgn != region) DeleteObject(m_hRgn);
    m_hRgn = region;
}

CButtonCtrl* CButtonCtrl::GetHeldButton() { return g_pHeldButton; }

BOOL CButtonCtrl::IsRepeating() const { return g_pHeldButton == this && m_bRepeatTimer; }

void CButtonCtrl::StartRepeat() {
    if (g_pHeldButton) g_pHeldButton->StopRepeat();
    HWND wnd = GetWnd();
    if (!wnd || !::SetTimer(wnd, BUTTON_REPEAT_TIMER, kFirstRepeatDelay, &CButtonCtrl::RepeatTimerProc)) return;
    g_pHeldButton = this;
    m_hRepeatWnd = wnd;
    m_bRepeatTimer = 1;
}

void CButtonCtrl::StopRepeat() {
    if (g_pHeldButton == this) {
        if (m_hRepeatWnd && ::IsWindow(m_hRepeatWnd)) ::KillTimer(m_hRepeatWnd, BUTTON_REPEAT_TIMER);
        g_pHeldButton = nullptr;
    }
    m_hRepeatWnd = nullptr;
    m_bRepeatTimer = 0;
}

void CALLBACK CButtonCtrl::RepeatTimerProc(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    CButtonCtrl* button = g_pHeldButton;
    ::KillTimer(hwnd, id);
    // A tick that outlived its button, or belongs to another window, ends here.
    if (!button || button->m_hRepeatWnd != hwnd || id != BUTTON_REPEAT_TIMER || button->m_nLongKey <= 0) {
        if (button && button->m_hRepeatWnd == hwnd) button->StopRepeat();
        return;
    }
    if (!::SetTimer(hwnd, BUTTON_REPEAT_TIMER, static_cast<UINT>(button->m_nLongKey), &CButtonCtrl::RepeatTimerProc)) {
        button->StopRepeat();
        return;
    }
    button->m_bRepeated = 1;
    button->ExecCommand(2, 0);
}

void CButtonCtrl::TakeCapture(int x, int y) {
    if (HWND wnd = GetWnd()) ::SetCapture(wnd);
    m_bCaptured = 1;
    m_ptDown = POINT{x, y};
}

void CButtonCtrl::DropCapture() {
    if (m_bCaptured) {
        HWND wnd = GetWnd();
        if (wnd && ::GetCapture() == wnd) ::ReleaseCapture();
    }
    m_bCaptured = 0;
}

BOOL CButtonCtrl::CancelPress() {
    BOOL was = m_bCaptured;
    // A press that ends silently also ends its repeat.
    StopRepeat();
    if (was) {
        DropCapture();
        m_bPressed = 0;
    }
    return was;
}

BOOL CButtonCtrl::Show(BOOL show) {
    if (!show) StopRepeat();
    return CUiCtrl::Show(show);
}

void CButtonCtrl::Destroy() {
    StopRepeat();
    DropCapture();
    m_bPressed = 0;
    CUiCtrl::Destroy();
}

void CButtonCtrl::Pan(int x, int y) {
    if (std::abs(x - m_ptDown.x) < kPanThreshold && std::abs(y - m_ptDown.y) < kPanThreshold) return;
    m_bDragged = 1;
    CUiBitmap* image = ChooseImage();
    if (!image) return;
    if (!HasZoomRect() || m_dZoom != m_dLastZoom) ComputeZoomRect(image);
    RECT rc;
    GetRect(&rc, TRUE);
    RECT zoom = GetZoomRect();
    const int dx = x - m_ptDown.x;
    const int dy = y - m_ptDown.y;
    bool moved = false;
    auto panAxis = [&](LONG& lo, LONG& hi, LONG controlLo, LONG controlHi, int delta) {
        if (lo >= controlLo && hi <= controlHi) return;  // lies within the control: nothing to pan
        LONG size = hi - lo;
        if (size < controlHi - controlLo) return;  // cannot cover the control
        LONG next = std::clamp<LONG>(lo + delta, controlHi - size, controlLo);
        if (next != lo) {
            lo = next;
            hi = next + size;
            moved = true;
        }
    };
    panAxis(zoom.left, zoom.right, rc.left, rc.right, dx);
    panAxis(zoom.top, zoom.bottom, rc.top, rc.bottom, dy);
    if (moved) {
        SetZoomRect(zoom);
        Invalidate(nullptr, FALSE);
        m_ptDown = POINT{x, y};
    }
}

int CButtonCtrl::OnMouse(int msg, WPARAM, int x, int y) {
    const int type = GetType();
    const bool clickType = type == 1 || type == 22;
    const bool zoomed = GetImageAlign() == 4;
    bool blocked = m_pPanel && m_pPanel->GetManager() && m_pPanel->GetManager()->IsBlockedByModal(m_pPanel);
    if (!IsVisible() || !IsEnabled() || blocked || IsAnimating()) {
        // A press in progress still ends, silently, so that the capture never stays behind.
        if (m_bCaptured && (msg == 514 || msg < 0)) {
            CancelPress();
            Invalidate(nullptr, FALSE);
            return 1;
        }
        return 0;
    }
    if (m_hRgn && (msg == 513 || msg == 515)) {
        RECT rc;
        GetRect(&rc, FALSE);
        if (!PtInRegion(m_hRgn, x - rc.left, y - rc.top)) return 0;
    }
    auto giveFocus = [&] {
        if (m_nTakesFocus && m_pPanel) m_pPanel->SetFocusCtrl(GetIndex(), m_nTakesFocus > 0 ? 1 : -1);
    };
    // A command that calls into a library may close the page, and this button with it: false then.
    auto click = [&] {
        if (m_pPanel && m_pPanel->GetManager())
            m_pPanel->GetManager()->Notify(m_nSndKind, m_szSndName, static_cast<LPARAM>(GetIndex()));
        const std::weak_ptr<const int> life = GetLifeToken();
        ExecCommand(0, 0);
        return !life.expired();
    };
    if (msg == 513) {
        m_bRepeated = 0;
        giveFocus();
        int result = 0;
        if (clickType) {
            if (!m_bCaptured) TakeCapture(x, y);
            m_bPressed = 1;
            // A toggle shows its change on release.
            if (!IsLoaded(m_bitmaps[4].get())) Invalidate(nullptr, FALSE);
            if (m_nLongKey > 0) StartRepeat();
            result = 1;
        } else if (type == 15) {
            if (!click()) return 1;
            result = 1;
        } else if (type == 16 && zoomed) {
            m_bDragged = 0;
        }
        if ((type == 15 || type == 16) && zoomed) {
            if (!m_bCaptured) TakeCapture(x, y);
            result = 1;
        }
        return result;
    }
    if (msg == 515) {
        m_bRepeated = 0;
        if (type != 15 && type != 16) return 0;
        giveFocus();
        ExecCommand(5, 0);
        return 1;
    }
    if (msg == 512) {
        if (!m_bCaptured) return 0;
        if (clickType) {
            RECT rc;
            GetRect(&rc, FALSE);
            BOOL inside = PtInRect(&rc, POINT{x, y});
            if (!inside && IsRepeating()) StopRepeat();
            if (inside != m_bPressed) {
                m_bPressed = inside;
                Invalidate(nullptr, FALSE);
            }
        }
        if (zoomed) Pan(x, y);
        return 1;
    }
    if (msg == 514) {
        BOOL was = m_bCaptured;
        DropCapture();
        if (clickType && m_bPressed) {
            m_bPressed = 0;
            m_nCheck = m_nCheck ? 0 : 1;
            Invalidate(nullptr, FALSE);
            StopRepeat();
            if (!m_bRepeated) click();
        } else if (type == 16 && zoomed && was && !m_bDragged) {
            click();
        }
        return was ? 1 : 0;
    }
    if (msg < 0) {
        if (!m_bCaptured) return 0;
        DropCapture();
        m_bPressed = 0;
        StopRepeat();
        if (type != 15 && type != 16) Invalidate(nullptr, FALSE);
        return 1;
    }
    return 0;
}

CUiBitmap* CButtonCtrl::ChooseStateBitmap() const {
    const int base = m_nCheck ? 4 : 0;
    auto loaded = [&](int i) { return IsLoaded(m_bitmaps[base + i].get()) ? m_bitmaps[base + i].get() : nullptr; };
    CUiBitmap* chosen = nullptr;
    if (!IsEnabled()) chosen = loaded(3);
    if (!chosen && m_bPressed) chosen = loaded(1);
    if (!chosen && m_nFocusState != 0) chosen = loaded(2);
    if (!chosen) chosen = loaded(0);
    return chosen;
}

void CButtonCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    const int type = GetType();
    CUiBitmap* state = ChooseStateBitmap();
    if (IsAnimating()) {
        // The running frame of the click animation takes the place of the state picture.
        if (CUiBitmap* frame = ChooseImage()) DrawAligned(back, frame);
    } else if (state) {
        RECT rc;
        GetRect(&rc, TRUE);
        int w = rc.right - rc.left;
        int h = rc.bottom - rc.top;
        int bw = state->GetWidth();
        int bh = state->GetHeight();
        int drawH = bh <= h ? bh : h;
        int top = bh <= h ? (h - bh) / 2 : 0;
        int drawW = bw <= w ? bw : std::min(drawH, w);
        state->DrawPart(back, 0, top, 0, 0, drawW, drawH);
    } else if (type != 15) {
        // Without a state set the "image" names serve the same states.
        CUiBitmap* image = nullptr;
        if (!IsEnabled()) image = GetImage(UICTRL_IMG_DISABLED);
        if (!image && m_bPressed) image = GetImage(UICTRL_IMG_PRESSED);
        if (!image && m_nFocusState != 0) image = GetImage(UICTRL_IMG_FOCUS);
        if (CUiBitmap* override = GetBackImage(); override && override->GetWidth() > 0 && override->GetHeight() > 0)
            image = override;
        if (!image) image = ChooseImage();
        if (image) DrawAligned(back, image);
    }
    COLORREF color = m_crText;
    if (m_bPressed) m_crText = m_crBack;
    DrawText(back, 0, GetTextYOffset());
    m_crText = color;
    EndBackPaint(target, release);
}
