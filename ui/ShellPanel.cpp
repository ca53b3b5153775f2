#include "ui/ShellPanel.h"

#include <algorithm>
#include <new>
#include <utility>

#include "ui/FileUtil.h"
#include "ui/UiBitmap.h"
#include "ui/UiCtrl.h"

namespace {

// Largest page surface; a script may name any size.
constexpr LONG kMaxSurface = 8192;
// A slide has about seven frames; the bound only guards against a window that never reaches its size.
constexpr int kMaxSlideFrames = 64;

void CopyText(WCHAR* dst, const WCHAR* src) {
    size_t i = 0;
    if (src != nullptr) {
        for (; i + 1 < MAX_PATH && src[i] != 0; ++i) dst[i] = src[i];
    }
    dst[i] = 0;
}

bool IsEmpty(const WCHAR* s) { return s == nullptr || s[0] == 0; }

LPARAM ShellParam(int shell, DWORD high) {
    return static_cast<LPARAM>(static_cast<DWORD>((static_cast<DWORD>(shell) & 0xFFFF) | (high << 16)));
}

bool HasSize(const CUiBitmap* b) { return b != nullptr && b->GetWidth() > 0 && b->GetHeight() > 0; }

}  // namespace

CShellPanel::CShellPanel(int shell, CShellManager* manager)
    : m_hBackBitmap(nullptr),
      m_hBackDC(nullptr),
      m_hOldBackBitmap(nullptr),
      m_backSize{0, 0},
      m_nShell(shell),
      m_nOwner(shell),
      m_hCmdWnd(nullptr),
      m_bShown(FALSE),
      m_bDragging(FALSE),
      m_ptDrag{0, 0},
      m_bImagesTransparent(FALSE),
      m_crImagesKey(0),
      m_x(0),
      m_y(0),
      m_w(GetSystemMetrics(SM_CXSCREEN)),
      m_h(GetSystemMetrics(SM_CYSCREEN)),
      m_crBack(0),
      m_dwStyle(0),
      m_nDirection(0),
      m_bParented(FALSE),
      m_bExpanded(FALSE),
      m_bOwnRoot(FALSE),
      m_command{},
      m_pManager(manager != nullptr ? manager : &CShellManager::Instance()),
      m_bClosing(FALSE),
      m_life(std::make_shared<const int>(0)) {}

CShellPanel::~CShellPanel() {
    // First, so a slide further up the stack sees the page gone while the window still goes down.
    m_life.reset();
    if (m_bDragging || (GetOwnWnd() != nullptr && GetCapture() == m_hWnd)) ReleaseCapture();
    m_bDragging = FALSE;
    DeleteKeys();
    DeleteCtrls();
    if (::IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    FreeBackBuffer();
}

void CShellPanel::DeleteKeys() {
    // Taken out of the member first: WM_DESTROY and the destructor both come here.
    std::vector<ShellKeyBinding*> keys;
    keys.swap(m_keys);
    for (ShellKeyBinding* k : keys) delete k;
}

void CShellPanel::DeleteCtrls() {
    std::vector<CUiCtrl*> ctrls;
    ctrls.swap(m_ctrls);
    for (CUiCtrl* c : ctrls) delete c;
}

void CShellPanel::FreeBackBuffer() {
    if (m_hBackDC != nullptr) {
        if (m_hOldBackBitmap != nullptr) SelectObject(m_hBackDC, m_hOldBackBitmap);
        DeleteDC(m_hBackDC);
    }
    if (m_hBackBitmap != nullptr) DeleteObject(m_hBackBitmap);
    m_hBackDC = nullptr;
    m_hBackBitmap = nullptr;
    m_hOldBackBitmap = nullptr;
    m_backSize = SIZE{0, 0};
}

BOOL CShellPanel::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) {
    lResult = 0;
    switch (uMsg) {
        case WM_DESTROY:
            DeleteCtrls();
            DeleteKeys();
            return TRUE;
        case WM_ERASEBKGND:
            if (wParam == 0) return FALSE;
            lResult = 1;
            return TRUE;
        case WM_PAINT:
            lResult = OnPaintMessage();
            return TRUE;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
        case WM_MOUSEMOVE:
        case WM_LBUTTONUP: {
            const UINT msg = uMsg == WM_MOUSEMOVE ? 512u : uMsg == WM_LBUTTONUP ? 514u : 513u;
            return OnPen(msg, wParam, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)) >= 1 ? TRUE : FALSE;
        }
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYDOWN:
        case WM_SYSKEYUP:
            return OnKey(uMsg, static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam)) >= 1 ? TRUE : FALSE;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE && IsBlocked()) {
                m_pManager->RaiseModalPanels();
            } else {
                OnActivate(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            }
            return TRUE;
        case WM_SETFOCUS:
            OnFocus(TRUE, reinterpret_cast<HWND>(wParam));
            return TRUE;
        case WM_KILLFOCUS:
            OnFocus(FALSE, reinterpret_cast<HWND>(wParam));
            return TRUE;
        case WM_TIMER:
            return OnTimer(static_cast<UINT_PTR>(wParam), lParam) != 0 ? TRUE : FALSE;
        default:
            (void)hWnd;
            return FALSE;
    }
}

LRESULT CShellPanel::OnPaintMessage() {
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(m_hWnd, &ps);
    if (dc != nullptr && !IsRectEmpty(&ps.rcPaint)) DrawPanel(dc, &ps.rcPaint);
    EndPaint(m_hWnd, &ps);
    return 0;
}

BOOL CShellPanel::SetPanel(int owner, LONG x, LONG y, LONG w, LONG h, DWORD style, LONG direction) {
    m_dwStyle = style;
    m_nDirection = direction;
    if (x < 0 || y < 0 || w < 0 || h < 0) {
        m_x = 0;
        m_y = 0;
        m_w = GetSystemMetrics(SM_CXSCREEN);
        m_h = GetSystemMetrics(SM_CYSCREEN);
        m_bParented = FALSE;
    } else {
        m_x = x;
        m_y = y;
        m_w = w;
        m_h = h;
        m_bParented = (style & SHELL_STYLE_NOOWNER) ? FALSE : TRUE;
    }
    m_nOwner = (m_bParented && owner >= 0) ? owner : m_nShell;
    if (m_dwStyle & SHELL_STYLE_TOPMOST) m_dwStyle &= ~static_cast<DWORD>(SHELL_STYLE_CHILD);
    return m_bParented;
}

int CShellPanel::GetParentState() const {
    if (!m_bParented) return -1;
    return m_nOwner == m_nShell ? 0 : 1;
}

void CShellPanel::SetCommand(LONG kind, const WCHAR* s1, const WCHAR* s2, const WCHAR* s3) {
    m_command.kind = kind;
    if (!IsEmpty(s1)) CopyText(m_command.s1, s1);
    if (!IsEmpty(s2)) CopyText(m_command.s2, s2);
    if (!IsEmpty(s3)) CopyText(m_command.s3, s3);
}

int CShellPanel::AddKey(DWORD vkey, BYTE scanCode, LONG when, LONG kind, const WCHAR* s1, const WCHAR* s2,
                        const WCHAR* s3) {
    auto* k = new (std::nothrow) ShellKeyBinding{};
    if (k == nullptr) return -1;
    k->vkey = vkey;
    k->scanCode = scanCode;
    k->when = when;
    k->kind = kind;
    CopyText(k->s1, s1);
    CopyText(k->s2, s2);
    CopyText(k->s3, s3);
    try {
        m_keys.push_back(k);
    } catch (const std::bad_alloc&) {
        delete k;
        return -1;
    }
    return static_cast<int>(m_keys.size());
}

const ShellKeyBinding* CShellPanel::GetKey(int i) const {
    return (i >= 0 && i < static_cast<int>(m_keys.size())) ? m_keys[static_cast<size_t>(i)] : nullptr;
}

void CShellPanel::SetImagesTransparent(BOOL on, COLORREF key) {
    m_bImagesTransparent = on;
    m_crImagesKey = key;
    for (auto& b : m_images) {
        if (b) b->SetTransparent(on, key);
    }
    if (m_shImage) m_shImage->SetTransparent(on, key);
}

BOOL CShellPanel::LoadImages(const WCHAR* first, const WCHAR* second, const WCHAR* third, const WCHAR* fourth) {
    const WCHAR* names[4] = {first, second, third, fourth};
    for (int i = 0; i < 4; ++i) {
        m_images[i].reset();
        if (IsEmpty(names[i])) continue;
        auto b = std::make_shared<CUiBitmap>();
        b->SetTransparent(m_bImagesTransparent, m_crImagesKey);
        if (b->Load(names[i]) >= 0) m_images[i] = std::move(b);
    }
    return m_images[0] ? TRUE : FALSE;
}

BOOL CShellPanel::SetShImage(const WCHAR* name) {
    if (IsEmpty(name)) return FALSE;
    auto b = std::make_shared<CUiBitmap>();
    b->SetTransparent(m_bImagesTransparent, m_crImagesKey);
    if (b->Load(name) < 0) return FALSE;
    m_shImage = std::move(b);
    for (CUiCtrl* c : m_ctrls) {
        if (c != nullptr && !c->HasImages()) c->SetSharedImages(m_shImage, nullptr, nullptr, nullptr);
    }
    return TRUE;
}

BOOL CShellPanel::SetBackImages(CUiCtrl* ctrl) {
    if (ctrl == nullptr) return FALSE;
    if (HasSize(m_shImage.get())) return ctrl->SetSharedImages(m_shImage, nullptr, nullptr, nullptr);
    return ctrl->SetSharedImages(m_images[0], m_images[1], m_images[2], m_images[3]);
}

BOOL CShellPanel::CreateOwnWindow(HWND parent, const RECT& rc, DWORD wndStyle) {
    if (!CWindowImpl<CShellPanel>::Create(parent, &rc, u"", wndStyle, 0)) return FALSE;
    HWND after = (m_dwStyle & SHELL_STYLE_TOPMOST) ? HWND_TOPMOST : HWND_TOP;
    ::SetWindowPos(m_hWnd, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return ::IsWindow(m_hWnd);
}

BOOL CShellPanel::Create(HWND host, BOOL show) {
    m_hCmdWnd = host;
    m_bShown = show ? TRUE : FALSE;
    DWORD wndStyle = show ? WS_VISIBLE : 0;
    m_bExpanded = TRUE;

    CShellPanel* ownerPanel = (m_bParented && m_nOwner != m_nShell) ? m_pManager->FindShell(m_nOwner) : nullptr;
    if (ownerPanel != nullptr && ownerPanel != this) {
        HWND ownerWnd = ownerPanel->GetHwnd();
        if (m_dwStyle & SHELL_STYLE_CHILD) {
            RECT orc;
            ownerPanel->GetRect(&orc, FALSE);
            m_x -= orc.left;
            m_y -= orc.top;
            wndStyle |= WS_CHILD;
        } else {
            wndStyle |= WS_POPUP;
            if (m_dwStyle & SHELL_STYLE_NOOWNERWND) ownerWnd = nullptr;
        }
        RECT rc{m_x, m_y, m_x + m_w, m_y + m_h};
        if (m_dwStyle & SHELL_STYLE_SLIDE) {
            m_bExpanded = FALSE;
            switch (m_nDirection) {
                case 2:
                    rc = RECT{m_x + m_w, m_y, m_x + m_w, m_y};
                    break;
                case 1:
                    rc = RECT{m_x, m_y + m_h, m_x, m_y + m_h};
                    break;
                case 0:
                    rc = RECT{m_x + m_w / 2, m_y + m_h / 2, m_x + m_w / 2, m_y + m_h / 2};
                    break;
                default:
                    rc = RECT{m_x, m_y, m_x, m_y};
                    break;
            }
        }
        // A page without an owner window keeps the host as the target of its commands and reports.
        if (ownerWnd != nullptr) m_hCmdWnd = ownerWnd;
        return CreateOwnWindow(ownerWnd, rc, wndStyle);
    }

    m_bOwnRoot = GetParentState() == 0 ? TRUE : FALSE;
    wndStyle |= WS_POPUP;
    RECT rc{m_x, m_y, m_x + m_w, m_y + m_h};
    if (m_dwStyle & SHELL_STYLE_NOOWNER) return CreateOwnWindow(m_hCmdWnd, rc, wndStyle);
    if (m_pManager->GetWindowlessRoots()) {
        if (!::IsWindow(host)) return FALSE;
        ::SetWindowPos(host, nullptr, m_x, m_y, m_w, m_h, SWP_NOZORDER | SWP_NOACTIVATE);
        return TRUE;
    }
    ::SetWindowPos(host, nullptr, 0, 0, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE);
    return CreateOwnWindow(m_hCmdWnd, rc, wndStyle);
}

void CShellPanel::GetRect(RECT* rect, BOOL relative) const {
    if (rect == nullptr) return;
    if (relative) {
        *rect = RECT{0, 0, m_w, m_h};
    } else {
        *rect = RECT{m_x, m_y, m_x + m_w, m_y + m_h};
    }
}

void CShellPanel::GetCentreOffset(LONG* x, LONG* y) const {
    LONG ox = 0, oy = 0;
    if (HasSize(m_shImage.get())) {
        ox = (m_w - m_shImage->GetWidth()) / 2;
        oy = (m_h - m_shImage->GetHeight()) / 2;
    }
    if (x != nullptr) *x = ox;
    if (y != nullptr) *y = oy;
}

HWND CShellPanel::GetCmdWnd() const { return ::IsWindow(m_hCmdWnd) ? m_hCmdWnd : nullptr; }

BOOL CShellPanel::OwnWindowAlive() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }

HWND CShellPanel::GetOwnWnd() const { return OwnWindowAlive() ? m_hWnd : nullptr; }

HWND CShellPanel::GetHwnd() const { return OwnWindowAlive() ? m_hWnd : m_hCmdWnd; }

BOOL CShellPanel::IsShown() const { return OwnWindowAlive() ? ::IsWindowVisible(m_hWnd) : m_bShown; }

CUiCtrl* CShellPanel::GetCtrl(int i) const {
    return (i >= 0 && i < static_cast<int>(m_ctrls.size())) ? m_ctrls[static_cast<size_t>(i)] : nullptr;
}

int CShellPanel::AddCtrl(CUiCtrl* ctrl) {
    if (ctrl == nullptr) return -1;
    try {
        m_ctrls.push_back(ctrl);
    } catch (const std::bad_alloc&) {
        delete ctrl;
        return -1;
    }
    return static_cast<int>(m_ctrls.size());
}

CUiBitmap* CShellPanel::GetBackImage() const {
    return HasSize(m_shImage.get()) ? m_shImage.get() : m_images[0].get();
}

CUiBitmap* CShellPanel::GetImage(int i) const { return (i >= 0 && i < 4) ? m_images[i].get() : nullptr; }

BOOL CShellPanel::GetImageOrigin(const CUiBitmap* bitmap, POINT* origin) const {
    if (bitmap == nullptr || origin == nullptr) return FALSE;
    if (bitmap == m_shImage.get()) {
        *origin = POINT{(m_w - bitmap->GetWidth()) / 2, (m_h - bitmap->GetHeight()) / 2};
        return TRUE;
    }
    for (const auto& image : m_images) {
        if (bitmap == image.get()) {
            *origin = POINT{0, 0};
            return TRUE;
        }
    }
    return FALSE;
}

int CShellPanel::SetFocusCtrl(int i, int state) {
    for (size_t k = 0; k < m_ctrls.size(); ++k) {
        if (static_cast<int>(k) != i) m_ctrls[k]->SetFocusState(0);
    }
    CUiCtrl* c = GetCtrl(i);
    if (c == nullptr) return 0;
    c->SetFocusState(state);
    return 1;
}

void CShellPanel::Invalidate(const RECT* rect, BOOL erase) {
    HWND wnd = GetHwnd();
    if (!::IsWindow(wnd)) return;
    RECT rc;
    if (rect != nullptr) {
        rc = *rect;
    } else {
        ::GetClientRect(wnd, &rc);
    }
    ::InvalidateRect(wnd, &rc, erase);
}

void CShellPanel::EndDrag() {
    HWND wnd = GetHwnd();
    if (wnd != nullptr && GetCapture() == wnd) ReleaseCapture();
    m_bDragging = FALSE;
}

BOOL CShellPanel::Show(BOOL show) {
    const BOOL was = IsShown();
    EndDrag();
    m_bShown = show ? TRUE : FALSE;
    for (size_t k = 0; k < m_ctrls.size(); ++k) {
        CUiCtrl* c = m_ctrls[k];
        if (!c->KeepsOwnVisibility()) c->Show(show);
    }
    if (OwnWindowAlive()) {
        ::ShowWindow(m_hWnd, show ? SW_SHOW : SW_HIDE);
    } else {
        Invalidate(nullptr, TRUE);
    }
    return was;
}

void CShellPanel::PostNotify(WPARAM wParam, LPARAM lParam) const {
    HWND cmd = GetCmdWnd();
    if (cmd != nullptr) ::PostMessageW(cmd, WM_SHELL_NOTIFY, wParam, lParam);
}

int CShellPanel::RunCommand(LONG kind, const WCHAR* s1, const WCHAR* s2, const WCHAR* s3) {
    HWND cmd = GetCmdWnd();
    if (cmd == nullptr) return 0;
    const WCHAR* empty = u"";
    if (s1 == nullptr) s1 = empty;
    if (s2 == nullptr) s2 = empty;
    if (s3 == nullptr) s3 = empty;
    if (kind < 0) {
        if (GetParentState() == 1) ::PostMessageW(cmd, WM_SHELL_NOTIFY, SHELL_NOTIFY_CLOSE, ShellParam(m_nShell, 0xFFFF));
        ::PostMessageW(cmd, WM_SHELL_NOTIFY, SHELL_NOTIFY_OPEN, ShellParam(static_cast<int>(StrToUInt(s1)), 0xFFFF));
        return 1;
    }
    if (kind == 0) {
        const LONG msg = StrToLong(s1);
        if (msg == 0) return 0;
        ::PostMessageW(cmd, static_cast<UINT>(msg), static_cast<WPARAM>(static_cast<DWORD>(StrToLong(s2))),
                       static_cast<LPARAM>(StrToLong(s3)));
        return 1;
    }
    return 0;
}

void CShellPanel::DrawPanel(HDC dc, const RECT* update) {
    if (dc == nullptr || !IsShown()) return;
    const LONG w = m_w, h = m_h;
    if (w <= 0 || h <= 0 || w > kMaxSurface || h > kMaxSurface) return;
    if (m_hBackDC == nullptr || m_backSize.cx != w || m_backSize.cy != h) {
        FreeBackBuffer();
        m_hBackDC = CreateCompatibleDC(dc);
        m_hBackBitmap = m_hBackDC ? CreateCompatibleBitmap(dc, w, h) : nullptr;
        if (m_hBackDC == nullptr || m_hBackBitmap == nullptr) {
            FreeBackBuffer();
            return;
        }
        m_hOldBackBitmap = SelectObject(m_hBackDC, m_hBackBitmap);
        m_backSize = SIZE{w, h};
        // A new buffer holds nothing yet: all of it is drawn.
        update = nullptr;
    }
    // Only the part asked for is drawn: the rest of the buffer still holds what the screen shows.
    const RECT all{0, 0, w, h};
    RECT area = all;
    if (update != nullptr && !IntersectRect(&area, update, &all)) return;
    const int saved = SaveDC(m_hBackDC);
    IntersectClipRect(m_hBackDC, area.left, area.top, area.right, area.bottom);

    HBRUSH fill = CreateSolidBrush(m_crBack);
    CUiBitmap* sh = m_shImage.get();
    CUiBitmap* first = m_images[0].get();
    if (HasSize(sh)) {
        const LONG iw = sh->GetWidth(), ih = sh->GetHeight();
        const LONG ix = (w - iw) / 2, iy = (h - ih) / 2;
        const RECT margins[4] = {{0, 0, w, iy}, {0, iy + ih, w, h}, {0, iy, ix, iy + ih}, {ix + iw, iy, w, iy + ih}};
        for (const RECT& r : margins) {
            RECT part;
            if (IntersectRect(&part, &r, &area)) FillRect(m_hBackDC, &part, fill);
        }
        sh->DrawClipped(m_hBackDC, ix, iy, area);
    } else if (HasSize(first)) {
        // Parts the image does not cover would otherwise show the last frame's leftovers.
        if (first->GetWidth() < w || first->GetHeight() < h || first->IsTransparent()) FillRect(m_hBackDC, &area, fill);
        first->DrawClipped(m_hBackDC, 0, 0, area);
    } else {
        FillRect(m_hBackDC, &area, fill);
    }
    if (fill != nullptr) DeleteObject(fill);

    const HWND wnd = GetHwnd();
    // Focused controls are drawn last, on top of their neighbours; controls outside the area keep
    // their picture.
    size_t nFocused = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < m_ctrls.size(); ++k) {
            CUiCtrl* c = m_ctrls[k];
            if (c->IsWindowed() || c->GetWnd() != wnd) continue;
            const bool focused = c->GetFocusState() < 0;
            if (pass == 0 && focused) ++nFocused;
            if (focused != (pass == 1)) continue;
            RECT rc, hit;
            c->GetRect(&rc, FALSE);
            if (IntersectRect(&hit, &rc, &area)) c->OnPaint(m_hBackDC);
        }
        if (nFocused == 0) break;
    }
    RestoreDC(m_hBackDC, saved);

    BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, m_hBackDC, area.left, area.top,
           SRCCOPY);
}

BOOL CShellPanel::IsBlocked() const { return m_pManager->IsBlockedByModal(this); }

BOOL CShellPanel::StopAllAnimations() {
    // Redrawing runs the host's paint handling, which may close this page.
    const std::weak_ptr<const int> life = m_life;
    for (size_t k = 0; k < m_ctrls.size(); ++k) {
        m_ctrls[k]->StopAnimation(TRUE);
        if (life.expired()) return FALSE;
    }
    return TRUE;
}

int CShellPanel::FinishDrag() {
    EndDrag();
    RECT wr;
    HWND own = GetOwnWnd();
    if (own != nullptr && ::GetWindowRect(own, &wr)) {
        // A child page keeps its rectangle relative to the owner page.
        HWND parent = ::GetParent(own);
        if ((::GetWindowLongW(own, GWL_STYLE) & WS_CHILD) && parent != nullptr) {
            ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&wr), 2);
        }
        m_x = wr.left;
        m_y = wr.top;
        m_w = wr.right - wr.left;
        m_h = wr.bottom - wr.top;
    }
    PostNotify(SHELL_NOTIFY_DROP, ShellParam(m_nShell, 0xFFFF));
    return 1;
}

int CShellPanel::OnPen(UINT msg, WPARAM wParam, int x, int y) {
    if (!IsShown() || m_ctrls.empty() || IsBlocked()) return 0;

    if (m_bDragging) return FinishDrag();

    for (size_t k = 0; k < m_ctrls.size(); ++k) {
        if (m_ctrls[k]->IsAnimating()) return 1;
    }

    // A control may send its command and have it answered at once; the answering handler may close
    // this page, which then took the pen and is not looked at again.
    const std::weak_ptr<const int> life = m_life;
    const HWND wnd = GetHwnd();
    int result = 0;
    for (size_t k = 0; k < m_ctrls.size(); ++k) {
        CUiCtrl* c = m_ctrls[k];
        if (c->IsWindowed() || c->GetWnd() != wnd) continue;
        RECT r;
        c->GetRect(&r, FALSE);
        const bool inside = x >= r.left && x < r.right && y >= r.top && y < r.bottom;
        if (!inside && !c->IsCapturingPen()) {
            result = c->OnMouse(-1, wParam, x, y);
        } else {
            result = c->OnMouse(static_cast<int>(msg), wParam, x, y);
        }
        if (life.expired()) return 1;
        if (result != 0) break;
    }
    if (result != 0) {
        if (msg == 513) {
            for (size_t k = 0; k < m_ctrls.size(); ++k) {
                if (m_ctrls[k]->GetCmdKind() != 5) continue;
                m_ctrls[k]->StopAnimation(TRUE);
                if (life.expired()) return 1;
            }
        }
        if (result > 0) return 1;
    }

    if (msg == 513 && (m_dwStyle & SHELL_STYLE_DRAG) && x >= 0 && y >= 0 && x < m_w && y < m_h) {
        HWND own = GetOwnWnd();
        if (own == nullptr) return 0;
        SetCapture(own);
        m_ptDrag = POINT{x, y};
        m_bDragging = TRUE;
        ::SendMessageW(own, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(m_x + x, m_y + y));
        // The caption drag handles other messages while it runs; one of them may have closed the page.
        if (life.expired()) return 1;
        // The platform's caption drag runs until the pen lifts and consumes that lift: the drop is
        // complete once it returns without the capture.
        if (m_bDragging && GetCapture() != own) FinishDrag();
        return 1;
    }
    return 0;
}

int CShellPanel::OnKey(UINT msg, UINT vkey, UINT repeat, UINT flags) {
    (void)msg;
    (void)repeat;
    if (!IsShown() || m_keys.empty() || IsBlocked()) return 0;
    const BYTE scan = static_cast<BYTE>(flags & 0xFF);
    const bool up = (flags & 0x8000) != 0;
    bool ran = false;
    for (size_t k = 0; k < m_keys.size(); ++k) {
        const ShellKeyBinding* b = m_keys[k];
        if (b->vkey != vkey) continue;
        if (b->scanCode != 0 && b->scanCode != scan) continue;
        if (b->when == 0 && up) continue;
        if (b->when > 0 && !up) continue;
        if (RunCommand(b->kind, b->s1, b->s2, b->s3) > 0) {
            ran = true;
            break;
        }
    }
    if (!ran) return 0;
    StopAllAnimations();
    return 1;
}

int CShellPanel::OnTimer(UINT_PTR id, LPARAM lParam) {
    // A tick may step a bar whose sent command closes this page.
    const std::weak_ptr<const int> life = m_life;
    const HWND wnd = GetHwnd();
    int taken = 0;
    for (size_t k = 0; k < m_ctrls.size(); ++k) {
        CUiCtrl* c = m_ctrls[k];
        if (c->GetWnd() != wnd) continue;
        if (c->OnTimer(id, lParam) != 0) ++taken;
        if (life.expired()) break;
    }
    return taken;
}

void CShellPanel::OnActivate(UINT state, BOOL minimized, HWND other) {
    (void)minimized;
    DWORD high = state & 0xFF;
    if (other != nullptr) high |= 0x100;
    PostNotify(SHELL_NOTIFY_ACTIVATE, ShellParam(m_nShell, high));
    if (state == WA_INACTIVE && (m_dwStyle & SHELL_STYLE_AUTOCLOSE) && !m_bOwnRoot && m_bExpanded) {
        PostNotify(SHELL_NOTIFY_CLOSE, ShellParam(m_nShell, 0xFFFF));
    }
}

void CShellPanel::OnFocus(BOOL gained, HWND newFocus) {
    if (gained) {
        PostNotify(SHELL_NOTIFY_FOCUS, static_cast<LPARAM>(static_cast<DWORD>(m_nShell) | 0x10000u));
        return;
    }
    PostNotify(SHELL_NOTIFY_FOCUS, ShellParam(m_nShell, 0));
    if ((m_dwStyle & SHELL_STYLE_AUTOCLOSE) && !m_bOwnRoot && m_bExpanded) {
        HWND own = GetOwnWnd();
        if (own == nullptr || newFocus == nullptr || ::GetParent(newFocus) != own) {
            PostNotify(SHELL_NOTIFY_CLOSE, ShellParam(m_nShell, 0xFFFF));
        }
    }
}

int CShellPanel::SlideIn() {
    // Every window call below may run handlers that close this page, open another one or destroy the
    // host: the page is looked at again only while its life token holds.
    const std::weak_ptr<const int> life = m_life;
    HWND own = GetOwnWnd();
    const bool hadWindow = own != nullptr;
    if (!(m_dwStyle & SHELL_STYLE_CHILD) && own != nullptr) {
        ::SetForegroundWindow(own);
        if (life.expired()) return 0;
    }
    Show(TRUE);
    if (life.expired()) return 0;
    RECT t;
    GetRect(&t, FALSE);
    if (!hadWindow) {
        m_bExpanded = TRUE;
        return 1;
    }
    if (!::IsWindow(own)) return 0;
    const int tw = t.right - t.left, th = t.bottom - t.top;
    const UINT place = SWP_NOZORDER | SWP_NOACTIVATE;
    if (m_bExpanded || m_nDirection == 3) {
        m_bExpanded = TRUE;
        ::SetWindowPos(own, nullptr, t.left, t.top, tw, th, place);
        return life.expired() ? 0 : 1;
    }
    m_bExpanded = TRUE;
    const LONG direction = m_nDirection;
    // A slide-out that began, or a window that went, ends the slide; a deleted page has released the
    // capture with its window.
    auto cut = [this, &life, own]() {
        if (life.expired()) return true;
        if (m_bExpanded && ::IsWindow(own)) return false;
        if (GetCapture() == own) ReleaseCapture();
        return true;
    };
    const int sx = std::max(1, tw / 7), sy = std::max(1, th / 7);
    SetCapture(own);
    if (cut()) return 0;
    // Frames start one step in: a frame of zero width or height shows nothing anyway.
    for (int k = 1; k < kMaxSlideFrames; ++k) {
        int x = t.left, y = t.top, cw = tw, ch = th;
        bool done = false;
        switch (direction) {
            case -2:
                cw = std::min(tw, k * sx);
                done = cw >= tw;
                break;
            case -1:
                ch = std::min(th, k * sy);
                done = ch >= th;
                break;
            case 2:
                cw = std::min(tw, k * sx);
                x = t.right - cw;
                done = cw >= tw || x <= t.left;
                break;
            case 1:
                ch = std::min(th, k * sy);
                y = t.bottom - ch;
                done = ch >= th || y <= t.top;
                break;
            default:
                cw = std::min(tw, 2 * k * sx);
                ch = std::min(th, 2 * k * sy);
                x = t.left + (tw - cw) / 2;
                y = t.top + (th - ch) / 2;
                done = cw >= tw && ch >= th;
                break;
        }
        ::SetWindowPos(own, nullptr, x, y, cw, ch, place);
        if (cut()) return 0;
        ::UpdateWindow(own);
        if (cut()) return 0;
        if (done) break;
        Sleep(5);
    }
    if (GetCapture() == own) ReleaseCapture();
    if (cut()) return 0;
    ::SetWindowPos(own, nullptr, t.left, t.top, tw, th, place);
    return life.expired() ? 0 : 1;
}

int CShellPanel::SlideClose() {
    const std::weak_ptr<const int> life = m_life;
    HWND own = GetOwnWnd();
    if (own == nullptr || !(m_dwStyle & SHELL_STYLE_SLIDE) || !m_bExpanded) return 0;
    m_bExpanded = FALSE;
    if (m_nDirection == 3) {
        RunCommand(m_command.kind, m_command.s1, m_command.s2, m_command.s3);
        Show(FALSE);
        return 1;
    }
    const LONG direction = m_nDirection;
    // The page slid in again, or its window went: the slide-out is over and the command does not run.
    auto cut = [this, &life, own]() {
        if (life.expired()) return true;
        if (!m_bExpanded && ::IsWindow(own)) return false;
        if (GetCapture() == own) ReleaseCapture();
        return true;
    };
    RECT r;
    ::GetWindowRect(own, &r);
    HWND parent = ::GetParent(own);
    if ((::GetWindowLongW(own, GWL_STYLE) & WS_CHILD) && parent != nullptr) {
        ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    }
    const int rw = r.right - r.left, rh = r.bottom - r.top;
    const int sx = std::max(1, rw / 7), sy = std::max(1, rh / 7);
    const UINT place = SWP_NOZORDER | SWP_NOACTIVATE;
    int x = r.left, y = r.top;
    SetCapture(own);
    if (cut()) return 0;
    for (int k = 0; k < kMaxSlideFrames; ++k) {
        int cw = rw, ch = rh;
        bool done = false;
        x = r.left;
        y = r.top;
        switch (direction) {
            case -2:
                cw = std::max(0, rw - k * sx);
                done = cw < 1;
                break;
            case -1:
                ch = std::max(0, rh - k * sy);
                done = ch < 1;
                break;
            case 2:
                cw = std::max(0, rw - k * sx);
                x = r.right - cw;
                done = cw < 1;
                break;
            case 1:
                ch = std::max(0, rh - k * sy);
                y = r.bottom - ch;
                done = ch < 1;
                break;
            default:
                cw = std::max(0, rw - 2 * k * sx);
                ch = std::max(0, rh - 2 * k * sy);
                x = r.left + (rw - cw) / 2;
                y = r.top + (rh - ch) / 2;
                done = cw < 1 || ch < 1;
                break;
        }
        if (done) break;
        ::SetWindowPos(own, nullptr, x, y, cw, ch, place);
        if (cut()) return 0;
        ::UpdateWindow(own);
        if (cut()) return 0;
        Sleep(5);
    }
    ::SetWindowPos(own, nullptr, x, y, 0, 0, place);
    if (cut()) return 0;
    Show(FALSE);
    if (cut()) return 0;
    if (GetCapture() == own) ReleaseCapture();
    if (life.expired()) return 0;
    RunCommand(m_command.kind, m_command.s1, m_command.s2, m_command.s3);
    return 1;
}
