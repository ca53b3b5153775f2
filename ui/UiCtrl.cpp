#include "ui/UiCtrl.h"

#include <algorithm>
#include <string>

#include "ui/FileUtil.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"

#if __has_include(<qrx/processapi.h>)
#include <qrx/processapi.h>
#define QRX_HAVE_LIBRARIES 1
#endif

namespace {

constexpr int kMaxCoord = 32767;
constexpr int kMaxSize = 8192;  // no control is larger than a few screens; keeps buffers bounded
constexpr int kTextMax = MAX_PATH - 1;
constexpr int kMarqueeGap = 15;
constexpr int kMarqueeStep = 7;
constexpr UINT kMarqueePeriod = 500;
constexpr int kMaxFrames = 100;  // two digits of the frame prefix

int ClampCoord(DWORD v) { return std::clamp(static_cast<int>(static_cast<LONG>(v)), -kMaxCoord, kMaxCoord); }
int ClampSize(DWORD v) { return std::clamp(static_cast<int>(static_cast<LONG>(v)), 0, kMaxSize); }

void CopyText(WCHAR* dst, size_t capacity, const WCHAR* src) {
    if (!src) src = u"";
    QrxStrCopy(dst, capacity, src);
}

BOOL HasSize(const CUiBitmap* bitmap) { return bitmap && bitmap->GetWidth() > 0 && bitmap->GetHeight() > 0; }

LPARAM MakeCmdLParam(DWORD low, DWORD high) { return static_cast<LPARAM>((low & 0xFFFF) | (high << 16)); }

}  // namespace

BOOL MakeFrameName(WCHAR* out, const WCHAR* name, int frame) {
    if (!out) return FALSE;
    out[0] = 0;
    if (!name || frame < 0 || frame >= kMaxFrames) return FALSE;
    const WCHAR* slash = wcsrchr(name, u'\\');
    size_t start = slash ? static_cast<size_t>(slash - name) + 1 : 0;
    size_t length = wcslen(name);
    // The prefix replaces three characters and something of the name must remain.
    if (length < start + 4 || length >= MAX_PATH) return FALSE;
    QrxStrCopy(out, MAX_PATH, name);
    out[start] = static_cast<WCHAR>(u'0' + frame / 10);
    out[start + 1] = static_cast<WCHAR>(u'0' + frame % 10);
    out[start + 2] = u'_';
    return TRUE;
}

CUiCtrl::CUiCtrl(const LayoutControlRecord* record, CShellPanel* panel) {
    InitFields(panel);
    LayoutControlRecord empty{};
    if (!record) record = &empty;
    m_dwId = (record->type & 0xFFFF) | (m_dwId & 0xFFFF0000u);
    m_bTransparent = record->typeValue2 ? 1 : 0;
    m_crKey = static_cast<COLORREF>(record->typeValue3);
    m_dwStyle = record->style;
    m_dwCreateStyle = record->style;
    m_nTakesFocus = static_cast<LONG>(record->focus);
    m_x = ClampCoord(record->x);
    m_y = ClampCoord(record->y);
    m_w = ClampSize(record->width);
    m_h = ClampSize(record->height);
    m_nImageAlign = static_cast<int>(static_cast<LONG>(record->posValue5));
    m_cmd.kind = record->cmdKind;
    m_init.kind = record->initKind;
    for (int i = 0; i < 3; ++i) {
        CopyText(m_cmd.s[i], MAX_PATH, record->cmd[i]);
        CopyText(m_init.s[i], MAX_PATH, record->init[i]);
    }
    m_nSndKind = record->sndKind;
    CopyText(m_szSndName, MAX_PATH, record->sndName);
    SetTextStyle(record->textMode, record->textAlign, record->textColor, record->backColor);
    CopyText(m_szText, MAX_PATH, record->text);
    m_nTextLeft = record->textLeftOffset;
    m_nTextRight = record->textRightOffset;
    WCHAR face[LAYOUT_FACE_MAX];
    CopyText(face, LAYOUT_FACE_MAX, record->fontFace);
    CreateFont(face, record->fontSize, record->fontWeight, record->fontItalic, record->fontUnderline);
}

CUiCtrl::CUiCtrl(CShellPanel* panel) {
    InitFields(panel);
    m_nSndKind = -1;
    SetTextStyle(0, -1, 0, 0xFFFFFF);
    CreateFont(u"Tahoma", 0, 1, 0, 0);
}

void CUiCtrl::InitFields(CShellPanel* panel) {
    m_hBackBmp = nullptr;
    m_hBackDC = nullptr;
    m_hOldBackBmp = nullptr;
    m_nBackW = m_nBackH = 0;
    m_pPanel = panel;
    int index = panel ? panel->GetCtrlCount() : 0;
    m_dwId = static_cast<DWORD>(index & 0xFFFF) << 16;
    m_bVisible = 0;
    m_bEnabled = 1;
    m_nTakesFocus = 0;
    m_nFocusState = 0;
    m_nImageAlign = 0;
    m_bHasImages = 0;
    m_bMarquee = 0;
    m_marqueeTimer = 0;
    m_marqueeId = 0;
    m_hMarqueeWnd = nullptr;
    m_nMarqueeOffset = 0;
    m_aniTimer = 0;
    m_aniId = 0;
    m_hAniWnd = nullptr;
    m_nFrame = 0;
    m_nFrameCount = 0;
    m_nLoop = 0;
    m_nLoopLimit = 1;
    m_nFireAt = 1;
    m_bNoClickAnim = 0;
    m_bTransparent = 0;
    m_crKey = 0;
    m_dwStyle = 0;
    m_dwCreateStyle = 0;
    m_x = m_y = m_w = m_h = 0;
    m_crFill = 0xFFFFFFFFu;
    SetRectEmpty(&m_rcZoom);
    m_dZoom = m_dLastZoom = 0.0;
    m_cmd = UiCtrlCommand{};
    m_init = UiCtrlCommand{};
    m_nTextMode = 0;
    m_nTextAlign = -1;
    m_crText = 0;
    m_crBack = 0;
    m_szText[0] = 0;
    m_hFont = nullptr;
    m_nTextLeft = m_nTextRight = 0;
    m_nSndKind = -1;
    m_szSndName[0] = 0;
    m_bKeepVisibility = 0;
    m_bAcceptPen = 1;
    m_nFontHeight = 0;
}

CUiCtrl::~CUiCtrl() {
    CUiCtrl::Destroy();
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        // The window may outlive this object for a moment (its parent is being destroyed): from now on
        // its messages must not reach the object.
        ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcW));
        ::DestroyWindow(m_hWnd);
    }
    m_hWnd = nullptr;
    FreeBackBuffer();
}

void CUiCtrl::FreeBackBuffer() {
    if (m_hBackDC) {
        if (m_hOldBackBmp) SelectObject(m_hBackDC, m_hOldBackBmp);
        DeleteDC(m_hBackDC);
    }
    if (m_hBackBmp) DeleteObject(m_hBackBmp);
    m_hBackDC = nullptr;
    m_hBackBmp = nullptr;
    m_hOldBackBmp = nullptr;
    m_nBackW = m_nBackH = 0;
}

BOOL CUiCtrl::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) {
    BOOL handled = TRUE;
    switch (uMsg) {
    case WM_CREATE: lResult = OnWmCreate(uMsg, wParam, lParam, handled); break;
    case WM_DESTROY: lResult = OnWmDestroy(uMsg, wParam, lParam, handled); break;
    case WM_ERASEBKGND: lResult = OnWmEraseBkgnd(uMsg, wParam, lParam, handled); break;
    case WM_PAINT: lResult = OnWmPaint(uMsg, wParam, lParam, handled); break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP: lResult = OnWmMouse(uMsg, wParam, lParam, handled); break;
    case WM_KEYDOWN:
    case WM_KEYUP: lResult = OnWmKey(uMsg, wParam, lParam, handled); break;
    case WM_TIMER: lResult = OnWmTimer(uMsg, wParam, lParam, handled); break;
    default: return FALSE;
    }
    return handled;
}

LRESULT CUiCtrl::OnWmCreate(UINT, WPARAM, LPARAM, BOOL&) {
    OnCreate();
    return 0;
}

LRESULT CUiCtrl::OnWmDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    Destroy();
    return 0;
}

LRESULT CUiCtrl::OnWmEraseBkgnd(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
    // The control paints its whole rectangle itself.
    handled = wParam != 0;
    return 1;
}

LRESULT CUiCtrl::OnWmPaint(UINT, WPARAM, LPARAM, BOOL&) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    if (dc) OnPaint(dc);
    EndPaint(m_hWnd, &ps);
    return 0;
}

LRESULT CUiCtrl::OnWmMouse(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    int msg = 513;
    if (uMsg == WM_MOUSEMOVE) msg = 512;
    else if (uMsg == WM_LBUTTONUP) msg = 514;
    handled = OnMouse(msg, wParam, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)) >= 1;
    return 0;
}

LRESULT CUiCtrl::OnWmKey(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    handled = OnKey(uMsg == WM_KEYDOWN ? 256 : 257, wParam, LOWORD(lParam), HIWORD(lParam)) >= 1;
    return 0;
}

LRESULT CUiCtrl::OnWmTimer(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    handled = OnTimer(wParam, lParam) != 0;
    return 0;
}

// Images

void CUiCtrl::ReleaseImages() {
    KillAnimationTimer();
    m_nFrame = 0;
    m_nLoop = 0;
    m_dwStyle &= ~static_cast<DWORD>(UICTRL_STYLE_CLICKANIM);
    for (auto& image : m_images) image.reset();
    m_bHasImages = 0;
}

BOOL CUiCtrl::SetImages(CUiBitmap* normal, CUiBitmap* pressed, CUiBitmap* focus, CUiBitmap* disabled) {
    std::shared_ptr<CUiBitmap> owned[4] = {std::shared_ptr<CUiBitmap>(normal), std::shared_ptr<CUiBitmap>(pressed),
                                          std::shared_ptr<CUiBitmap>(focus), std::shared_ptr<CUiBitmap>(disabled)};
    return SetSharedImages(owned[0], owned[1], owned[2], owned[3]);
}

BOOL CUiCtrl::SetSharedImages(std::shared_ptr<CUiBitmap> normal, std::shared_ptr<CUiBitmap> pressed,
                              std::shared_ptr<CUiBitmap> focus, std::shared_ptr<CUiBitmap> disabled) {
    ReleaseImages();
    if (!HasSize(normal.get())) return 0;
    m_images[UICTRL_IMG_NORMAL] = std::move(normal);
    if (HasSize(pressed.get())) m_images[UICTRL_IMG_PRESSED] = std::move(pressed);
    if (HasSize(focus.get())) m_images[UICTRL_IMG_FOCUS] = std::move(focus);
    if (HasSize(disabled.get())) m_images[UICTRL_IMG_DISABLED] = std::move(disabled);
    return 1;
}

BOOL CUiCtrl::LoadImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus, const WCHAR* disabled) {
    ReleaseImages();
    SetRectEmpty(&m_rcZoom);
    if (!normal || !normal[0]) return 0;
    auto first = std::make_shared<CUiBitmap>();
    if (first->Load(normal) < 0) return 0;
    if (HasSize(first.get())) first->SetTransparent(m_bTransparent, m_crKey);
    m_images[UICTRL_IMG_NORMAL] = std::move(first);
    m_bHasImages = 1;
    const WCHAR* others[3] = {pressed, focus, disabled};
    for (int i = 0; i < 3; ++i) {
        if (!others[i] || !others[i][0]) continue;
        auto bitmap = std::make_shared<CUiBitmap>();
        if (bitmap->Load(others[i]) < 0) continue;
        if (HasSize(bitmap.get())) bitmap->SetTransparent(m_bTransparent, m_crKey);
        m_images[i + 1] = std::move(bitmap);
    }
    return 1;
}

BOOL CUiCtrl::SetBackImage(const WCHAR* name, BOOL load, BOOL redraw) {
    m_pBackImage.reset();
    BOOL result = 1;
    if (name && name[0] && load) {
        auto bitmap = std::make_unique<CUiBitmap>();
        if (bitmap->Load(name) >= 0) m_pBackImage = std::move(bitmap);
        else result = 0;
    }
    if (redraw) Invalidate(nullptr, FALSE);
    return result;
}

void CUiCtrl::SetImagesTransparent(BOOL on, COLORREF key) {
    m_bTransparent = on;
    m_crKey = key;
    // A bitmap the page also draws keeps the page's own setting.
    for (auto& image : m_images)
        if (image && image.use_count() == 1 && HasSize(image.get())) image->SetTransparent(on, key);
}

void CUiCtrl::SetImageScale(double factor, BOOL redraw) {
    m_dZoom = factor;
    if (redraw && m_pPanel) m_pPanel->Invalidate(nullptr, FALSE);
}

// Creation and geometry

BOOL CUiCtrl::Create(DWORD style, DWORD exStyle) {
    if (!(m_dwStyle & UICTRL_STYLE_WINDOW)) {
        // A windowless control shows with its page; on a hidden page it stays hidden until the page shows.
        m_bVisible = (style & WS_VISIBLE) && m_pPanel && m_pPanel->IsShown();
        OnCreate();
        return 1;
    }
    HWND parent = m_pPanel ? m_pPanel->GetHwnd() : nullptr;
    if (!parent) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    RECT rc = {m_x, m_y, m_x + m_w, m_y + m_h};
    HWND hwnd = CWindowImpl<CUiCtrl>::Create(parent, &rc, m_szText, style | WS_CHILD, exStyle);
    return hwnd != nullptr;
}

void CUiCtrl::OnCreate() {
    ExecCommand(0, -1);
    // Loading the images before creation clears the running-animation bit; the record's own bit counts.
    if ((m_dwStyle | m_dwCreateStyle) & UICTRL_STYLE_CLICKANIM) StartAnimation(nullptr, 100);
}

HWND CUiCtrl::GetWnd() const {
    if (m_hWnd && ::IsWindow(m_hWnd)) return m_hWnd;
    return m_pPanel ? m_pPanel->GetHwnd() : nullptr;
}

std::weak_ptr<const int> CUiCtrl::GetLifeToken() const {
    static const std::shared_ptr<const int> always = std::make_shared<const int>(0);
    return m_pPanel ? m_pPanel->GetLifeToken() : always;
}

HWND CUiCtrl::GetCmdWnd() const { return m_pPanel ? m_pPanel->GetCmdWnd() : nullptr; }

int CUiCtrl::GetShellNumber() const { return m_pPanel ? m_pPanel->GetShell() : 0; }

void CUiCtrl::GetRect(RECT* rc, BOOL relative) const {
    if (!rc) return;
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::GetClientRect(m_hWnd, rc);
    } else {
        SetRect(rc, m_x, m_y, m_x + m_w, m_y + m_h);
    }
    if (relative) OffsetRect(rc, -rc->left, -rc->top);
}

void CUiCtrl::GetPlacement(RECT* rc, BOOL imageSize) const {
    if (!rc) return;
    if (imageSize) {
        const CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
        SetRect(rc, 0, 0, image ? image->GetWidth() : 0, image ? image->GetHeight() : 0);
        return;
    }
    SetRect(rc, m_x, m_y, m_x + m_w, m_y + m_h);
    if (m_pPanel) {
        LONG dx = 0, dy = 0;
        m_pPanel->GetCentreOffset(&dx, &dy);
        OffsetRect(rc, dx, dy);
    }
}

void CUiCtrl::Move(int x, int y, int w, int h, BOOL relativeToPanel) {
    RECT panel = {0, 0, 0, 0};
    if (m_pPanel) m_pPanel->GetRect(&panel, FALSE);
    if (w < 0) {
        w = panel.right - panel.left;
        x = 0;
    }
    if (h < 0) {
        h = panel.bottom - panel.top;
        y = 0;
    }
    x = std::clamp(x, -kMaxCoord, kMaxCoord);
    y = std::clamp(y, -kMaxCoord, kMaxCoord);
    w = std::clamp(w, 0, kMaxSize);
    h = std::clamp(h, 0, kMaxSize);
    if (w != m_w || h != m_h) FreeBackBuffer();
    m_x = x;
    m_y = y;
    m_w = w;
    m_h = h;
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        if (relativeToPanel) {
            x += panel.left;
            y += panel.top;
        }
        ::SetWindowPos(m_hWnd, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// Visibility and state

BOOL CUiCtrl::IsVisible() const {
    if (m_hWnd && ::IsWindow(m_hWnd)) return (::GetWindowLongW(m_hWnd, GWL_STYLE) & WS_VISIBLE) ? 1 : 0;
    return m_bVisible;
}

BOOL CUiCtrl::Show(BOOL show) {
    m_bKeepVisibility = 0;
    CancelPress();
    show = show ? 1 : 0;
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        BOOL was = IsVisible();
        ::ShowWindow(m_hWnd, show ? SW_SHOW : SW_HIDE);
        return was;
    }
    BOOL was = m_bVisible;
    if (was != show) {
        RECT rc;
        GetRect(&rc, FALSE);
        m_bVisible = show;
        if (show) Invalidate(&rc, m_bTransparent);
        else if (HWND wnd = GetWnd()) ::InvalidateRect(wnd, &rc, TRUE);
    }
    return was;
}

void CUiCtrl::SetVisible(BOOL show) {
    CancelPress();
    m_bVisible = show ? 1 : 0;
}

void CUiCtrl::Invalidate(const RECT* rc, BOOL erase) {
    if (!IsVisible()) return;
    HWND wnd = GetWnd();
    if (rc) {
        if (wnd) ::InvalidateRect(wnd, rc, erase);
        return;
    }
    if (!m_hWnd && wnd) {
        // Painted straight onto the window, a control would take its own last picture for the page
        // behind it, and leave it showing through its transparent parts: its page repaints it instead.
        RECT own;
        GetRect(&own, FALSE);
        ::InvalidateRect(wnd, &own, FALSE);
        // Another thread (an operation's tick) leaves the paint to the window's own thread.
        if (::GetWindowThreadProcessId(wnd, nullptr) == ::GetCurrentThreadId()) ::UpdateWindow(wnd);
        return;
    }
    OnPaint(nullptr);
    if (wnd) ::UpdateWindow(wnd);
}

BOOL CUiCtrl::IsEnabled() const {
    if (m_hWnd && ::IsWindow(m_hWnd)) return ::IsWindowEnabled(m_hWnd) ? 1 : 0;
    return m_bEnabled;
}

void CUiCtrl::Enable(BOOL on) {
    on = on ? 1 : 0;
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::EnableWindow(m_hWnd, on);
        m_bEnabled = on;
        return;
    }
    if (m_bEnabled == on) return;
    m_bEnabled = on;
    Invalidate(nullptr, FALSE);
}

int CUiCtrl::SetFocusState(int state) {
    int old = m_nFocusState;
    m_nFocusState = state;
    if (old == state) return old;
    if (TakesFocus()) {
        if (state < 0 && m_hWnd && ::IsWindow(m_hWnd)) {
            ::SetWindowPos(m_hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            ::SetFocus(m_hWnd);
        }
        HWND cmd = GetCmdWnd();
        DWORD event = state < 0 ? 6 : 7;
        DWORD index = static_cast<DWORD>(GetIndex());
        if (cmd) {
            if (m_cmd.kind == 0) {
                PostCmd(cmd, m_cmd.s[0], static_cast<WPARAM>(StrToLong(m_cmd.s[1])),
                        MakeCmdLParam(static_cast<DWORD>(StrToLong(m_cmd.s[2])), event));
            } else if (m_cmd.kind == 4) {
                PostCmd(cmd, m_cmd.s[0], static_cast<WPARAM>(StrToLong(m_cmd.s[1])), MakeCmdLParam(index, event));
            } else if (m_cmd.kind == 5) {
                PostCmd(cmd, m_cmd.s[1], Kind5WParam(m_cmd), MakeCmdLParam(index, event));
            }
        }
    }
    Invalidate(nullptr, FALSE);
    return old;
}

// Text and font

void CUiCtrl::SetText(const WCHAR* text, BOOL redraw) {
    WCHAR next[MAX_PATH];
    CopyText(next, MAX_PATH, text);
    if (wcscmp(next, m_szText) == 0) return;
    QrxStrCopy(m_szText, MAX_PATH, next);
    if (m_bMarquee) m_nMarqueeOffset = 0;
    if (redraw) Invalidate(nullptr, FALSE);
}

void CUiCtrl::GetText(WCHAR* out) const {
    if (out) QrxStrCopy(out, MAX_PATH, m_szText);
}

void CUiCtrl::SetTextStyle(LONG mode, LONG alignment, COLORREF color, COLORREF backColor) {
    m_nTextMode = mode;
    m_nTextAlign = alignment;
    SetTextColors(color, backColor);
}

void CUiCtrl::SetTextColors(COLORREF color, COLORREF backColor) {
    m_crText = color & 0xFFFFFF;
    m_crBack = backColor & 0xFFFFFF;
}

BOOL CUiCtrl::CreateFont(const WCHAR* face, int height, int weight, int italic, int underline) {
    LOGFONTW lf{};
    lf.lfHeight = height;
    lf.lfWeight = weight == 1 ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = static_cast<BYTE>(italic ? 1 : 0);
    lf.lfUnderline = static_cast<BYTE>(underline ? 1 : 0);
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = ANTIALIASED_QUALITY;
    QrxStrCopy(lf.lfFaceName, LF_FACESIZE, (face && face[0]) ? face : u"Tahoma");
    HFONT font = CreateFontIndirectW(&lf);
    if (!font) return 0;
    if (m_hFont) DeleteObject(m_hFont);
    m_hFont = font;
    m_nFontHeight = height;
    return 1;
}

BOOL CUiCtrl::SetFontFace(const WCHAR* face) { return CreateFont(face, m_nFontHeight, 0, 0, 0); }

int CUiCtrl::GetTextYOffset() const {
    switch (m_nFontHeight) {
    case 28:
    case 29: return -3;
    case 32:
    case 35:
    case 36: return -4;
    case 45: return -5;
    default: return 0;
    }
}

void CUiCtrl::SetSound(LONG kind, const WCHAR* name) {
    if (!name || !name[0]) {
        m_nSndKind = -1;
        m_szSndName[0] = 0;
        return;
    }
    m_nSndKind = kind;
    CopyText(m_szSndName, MAX_PATH, name);
}

LONG CUiCtrl::GetSound(WCHAR* name) const {
    if (name) QrxStrCopy(name, MAX_PATH, m_szSndName);
    return m_nSndKind;
}

void CUiCtrl::SetMarquee(BOOL on) {
    on = on ? 1 : 0;
    if (on != m_bMarquee) m_nMarqueeOffset = 0;
    m_bMarquee = on;
    if (!on) KillMarquee();
}

UINT_PTR CUiCtrl::MarqueeTimerId() {
    if (!m_marqueeId) m_marqueeId = CShellManager::AllocTimerId();
    return m_marqueeId;
}

UINT_PTR CUiCtrl::AnimationTimerId() {
    if (!m_aniId) m_aniId = CShellManager::AllocTimerId();
    return m_aniId;
}

void CUiCtrl::KillMarquee() {
    if (m_marqueeTimer && m_hMarqueeWnd && ::IsWindow(m_hMarqueeWnd)) ::KillTimer(m_hMarqueeWnd, m_marqueeTimer);
    m_marqueeTimer = 0;
    m_hMarqueeWnd = nullptr;
    m_nMarqueeOffset = 0;
}

// Painting

HDC CUiCtrl::BeginBackPaint(HDC dc, HDC* target, BOOL* release) {
    *target = nullptr;
    *release = 0;
    if (!IsVisible()) return nullptr;
    RECT rc;
    GetRect(&rc, FALSE);
    int w = rc.right - rc.left;
    int h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0) return nullptr;
    HDC t = dc;
    if (!t) {
        HWND wnd = GetWnd();
        if (!wnd) return nullptr;
        t = ::GetDC(wnd);
        if (!t) return nullptr;
        *release = 1;
    }
    if (m_hBackDC && (m_nBackW != w || m_nBackH != h)) FreeBackBuffer();
    if (!m_hBackDC) {
        m_hBackDC = CreateCompatibleDC(t);
        m_hBackBmp = m_hBackDC ? CreateCompatibleBitmap(t, w, h) : nullptr;
        if (!m_hBackBmp) {
            FreeBackBuffer();
            if (*release) ::ReleaseDC(GetWnd(), t);
            *release = 0;
            return nullptr;
        }
        m_hOldBackBmp = SelectObject(m_hBackDC, m_hBackBmp);
        m_nBackW = w;
        m_nBackH = h;
    }
    // What the target shows under the control, so that transparent parts show the page behind.
    BitBlt(m_hBackDC, 0, 0, w, h, t, rc.left, rc.top, SRCCOPY);
    *target = t;
    return m_hBackDC;
}

void CUiCtrl::EndBackPaint(HDC target, BOOL release) {
    if (!target) return;
    RECT rc;
    GetRect(&rc, FALSE);
    BitBlt(target, rc.left, rc.top, m_nBackW, m_nBackH, m_hBackDC, 0, 0, SRCCOPY);
    if (release) ::ReleaseDC(GetWnd(), target);
}

CUiBitmap* CUiCtrl::ChooseImage() const {
    CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
    if (!image) return nullptr;
    CUiBitmap* focus = m_images[UICTRL_IMG_FOCUS].get();
    if (TakesFocus() && m_nFocusState < 0 && !IsAnimating() && focus && image->CompareName(focus) != 0) image = focus;
    if (HasSize(m_pBackImage.get())) image = m_pBackImage.get();
    return HasSize(image) ? image : nullptr;
}

BOOL CUiCtrl::HasZoomRect() const { return m_rcZoom.right > m_rcZoom.left && m_rcZoom.bottom > m_rcZoom.top; }

void CUiCtrl::ComputeZoomRect(CUiBitmap* bitmap) {
    RECT rc;
    GetRect(&rc, TRUE);
    LONG iw = bitmap->GetWidth();
    LONG ih = bitmap->GetHeight();
    InflateRect(&rc, (iw - (rc.right - rc.left)) / 2, (ih - (rc.bottom - rc.top)) / 2);
    double zoom = std::clamp(m_dZoom, -1.0, 64.0);
    InflateRect(&rc, static_cast<int>(iw * zoom / 2), static_cast<int>(ih * zoom / 2));
    m_rcZoom = rc;
    m_dLastZoom = m_dZoom;
}

void CUiCtrl::FillImageMargins(HDC back, CUiBitmap* bitmap, int x, int y, const RECT& rc) {
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        HBRUSH brush = CreateSolidBrush(m_crBack);
        if (brush) {
            RECT image = {x, y, x + bitmap->GetWidth(), y + bitmap->GetHeight()};
            RECT parts[4] = {{rc.left, rc.top, rc.right, image.top},
                             {rc.left, image.bottom, rc.right, rc.bottom},
                             {rc.left, image.top, image.left, image.bottom},
                             {image.right, image.top, rc.right, image.bottom}};
            for (RECT& part : parts) {
                RECT clipped;
                if (IntersectRect(&clipped, &part, &rc)) FillRect(back, &clipped, brush);
            }
            DeleteObject(brush);
        }
    }
    bitmap->Draw(back, x, y);
}

void CUiCtrl::DrawImageInRect(HDC back, CUiBitmap* bitmap, const RECT& rc) {
    LONG iw = bitmap->GetWidth();
    LONG ih = bitmap->GetHeight();
    int w = rc.right - rc.left;
    int h = rc.bottom - rc.top;
    if (m_nImageAlign == 4) {
        if (!HasZoomRect() || m_dZoom != m_dLastZoom) ComputeZoomRect(bitmap);
        bitmap->DrawStretch(back, m_rcZoom.left, m_rcZoom.top, m_rcZoom.right - m_rcZoom.left,
                            m_rcZoom.bottom - m_rcZoom.top, 0, 0, iw, ih);
        return;
    }
    if (iw <= w && ih <= h) {
        bitmap->Draw(back, rc.left + (w - iw) / 2, rc.top + (h - ih) / 2);
        return;
    }
    // Larger than the control: its middle part.
    int sw = std::min<int>(iw, w);
    int sh = std::min<int>(ih, h);
    bitmap->DrawPart(back, rc.left + (w - sw) / 2, rc.top + (h - sh) / 2, (iw - sw) / 2, (ih - sh) / 2, sw, sh);
}

BOOL CUiCtrl::PageImageOrigin(const CUiBitmap* bitmap, POINT* at) const {
    if (!m_pPanel || !bitmap || !m_pPanel->GetImageOrigin(bitmap, at)) return 0;
    // The page and its controls share the drawing window's coordinates.
    at->x -= m_x;
    at->y -= m_y;
    return 1;
}

void CUiCtrl::DrawAligned(HDC back, CUiBitmap* bitmap) {
    if (!HasSize(bitmap)) return;
    RECT rc;
    GetRect(&rc, TRUE);
    POINT page;
    if (PageImageOrigin(bitmap, &page)) {
        // A windowed control reads back its own last picture, not the page: where the image does not
        // reach, the page's fill shows.
        RECT image = {page.x, page.y, page.x + bitmap->GetWidth(), page.y + bitmap->GetHeight()};
        RECT covered;
        if (m_hWnd && (!IntersectRect(&covered, &image, &rc) || !EqualRect(&covered, &rc))) EraseBack(back);
        bitmap->DrawClipped(back, page.x, page.y, rc);
        return;
    }
    if (m_nImageAlign >= 3) {
        DrawImageInRect(back, bitmap, rc);
        return;
    }
    int w = rc.right - rc.left;
    int h = rc.bottom - rc.top;
    int iw = bitmap->GetWidth();
    int ih = bitmap->GetHeight();
    int x = (w - iw) / 2;
    int y = (h - ih) / 2;
    switch (m_nImageAlign) {
    case -1: x = 0, y = 0; break;
    case -2: x = 0, y = h - ih; break;
    case 1: x = w - iw, y = 0; break;
    case 2: x = w - iw, y = h - ih; break;
    default: break;
    }
    FillImageMargins(back, bitmap, x, y, rc);
}

void CUiCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    if (CUiBitmap* image = ChooseImage()) DrawAligned(back, image);
    int type = GetType();
    if (type != 4 && type != 18) DrawText(back, 0, 0);
    EndBackPaint(target, release);
}

void CUiCtrl::EraseBack(HDC dc) {
    if (!dc || !IsVisible()) return;
    RECT rc;
    GetRect(&rc, TRUE);
    COLORREF color = m_crFill;
    if (color == 0xFFFFFFFFu) color = m_pPanel ? m_pPanel->GetBackColor() : 0;
    HBRUSH brush = CreateSolidBrush(color);
    if (!brush) return;
    FillRect(dc, &rc, brush);
    DeleteObject(brush);
}

namespace {

struct FittedText {
    std::u16string text;
    int width = 0;
};

// Each line cut to its longest prefix that fits with "..." appended.
FittedText FitText(HDC dc, const WCHAR* text, int maxWidth) {
    FittedText out;
    SIZE ellipsis{0, 0};
    GetTextExtentPoint32W(dc, u"...", 3, &ellipsis);
    const WCHAR* line = text;
    for (;;) {
        const WCHAR* end = wcschr(line, u'\n');
        int length = end ? static_cast<int>(end - line) : static_cast<int>(wcslen(line));
        SIZE size{0, 0};
        GetTextExtentPoint32W(dc, line, length, &size);
        if (size.cx <= maxWidth) {
            out.text.append(line, static_cast<size_t>(length));
            out.width = std::max<int>(out.width, size.cx);
        } else {
            int fit = 0;
            SIZE part{0, 0};
            int room = maxWidth - ellipsis.cx;
            if (room > 0) GetTextExtentExPointW(dc, line, length, room, &fit, nullptr, &part);
            fit = std::clamp(fit, 0, length);
            out.text.append(line, static_cast<size_t>(fit));
            out.text.append(u"...");
            SIZE cut{0, 0};
            GetTextExtentPoint32W(dc, out.text.c_str() + (out.text.size() - static_cast<size_t>(fit) - 3), fit + 3,
                                  &cut);
            out.width = std::max<int>(out.width, cut.cx);
        }
        if (!end) break;
        out.text.push_back(u'\n');
        line = end + 1;
    }
    return out;
}

void DrawLine(HDC dc, int x0, int y0, int x1, int y1) {
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

}  // namespace

int CUiCtrl::PaintMarquee(HDC dc, const RECT& rc, UINT, const WCHAR*) {
    if (!m_marqueeTimer) {
        HWND wnd = GetWnd();
        UINT_PTR id = MarqueeTimerId();
        if (wnd && id && ::SetTimer(wnd, id, kMarqueePeriod, nullptr)) {
            m_marqueeTimer = id;
            m_hMarqueeWnd = wnd;
        }
    }
    int length = static_cast<int>(wcslen(m_szText));
    SIZE size{0, 0};
    GetTextExtentPoint32W(dc, m_szText, length, &size);
    if (size.cx + kMarqueeGap < m_nMarqueeOffset) m_nMarqueeOffset = 0;
    int y = rc.top + ((rc.bottom - rc.top) - size.cy) / 2;
    SetTextColor(dc, m_crText);
    ExtTextOutW(dc, rc.left - m_nMarqueeOffset, y, ETO_CLIPPED, &rc, m_szText, static_cast<UINT>(length), nullptr);
    ExtTextOutW(dc, rc.left + size.cx + kMarqueeGap - m_nMarqueeOffset, y, ETO_CLIPPED, &rc, m_szText,
                static_cast<UINT>(length), nullptr);
    return 1;
}

void CUiCtrl::DrawText(HDC dc, int dx, int dy) {
    if (!dc) return;
    RECT rc;
    GetRect(&rc, TRUE);
    int saved = SaveDC(dc);
    if (m_nTextMode & 0x10) {
        RECT frame = rc;
        frame.right -= dx + 1;
        frame.bottom -= dy + 1;
        COLORREF color = m_crText;
        if (dx != 0 && dy != 0) {
            color = m_crBack;
            OffsetRect(&frame, dx, dy);
        }
        HPEN pen = CreatePen(PS_SOLID, 1, color);
        if (pen) {
            HGDIOBJ old = SelectObject(dc, pen);
            DrawLine(dc, frame.left, frame.top, frame.right, frame.top);
            DrawLine(dc, frame.right, frame.top, frame.right, frame.bottom);
            DrawLine(dc, frame.right, frame.bottom, frame.left, frame.bottom);
            DrawLine(dc, frame.left, frame.bottom, frame.left, frame.top);
            SelectObject(dc, old);
            DeleteObject(pen);
        }
    }
    if (!m_szText[0]) {
        RestoreDC(dc, saved);
        return;
    }
    OffsetRect(&rc, dx, dy);
    COLORREF color = (TakesFocus() && m_nFocusState < 0) ? m_crBack : m_crText;
    if (m_hFont) SelectObject(dc, m_hFont);
    SetBkMode(dc, TRANSPARENT);
    rc.left += m_nTextLeft;
    rc.right += m_nTextRight;
    UINT format = DT_NOPREFIX | DT_EXPANDTABS;
    int align = m_nTextAlign;
    if (align < 0) {
        rc.left += 1 - align;
        rc.right += align + 1;
    } else if (align >= 1) {
        format |= DT_RIGHT;
        rc.left += align - 1;
        rc.right -= align + 1;
    } else {
        format |= DT_CENTER;
    }
    FittedText fitted = FitText(dc, m_szText, rc.right - rc.left);
    if (fitted.width > rc.right - rc.left) format |= DT_WORDBREAK;
    bool cut = fitted.text != std::u16string_view(m_szText);
    if (m_bMarquee && cut) {
        PaintMarquee(dc, rc, format, fitted.text.c_str());
        RestoreDC(dc, saved);
        return;
    }
    if (m_marqueeTimer) KillMarquee();
    int length = static_cast<int>(fitted.text.size());
    if (m_nTextMode & 0x02) {
        SetTextColor(dc, m_crBack);
        static const int kShift[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
        for (const auto& shift : kShift) {
            RECT r = rc;
            OffsetRect(&r, shift[0], shift[1]);
            ::DrawTextW(dc, fitted.text.c_str(), length, &r, format);
        }
    }
    SetTextColor(dc, color);
    ::DrawTextW(dc, fitted.text.c_str(), length, &rc, format);
    RestoreDC(dc, saved);
}

// Pen, keys and timers

int CUiCtrl::OnMouse(int msg, WPARAM, int, int) {
    if (!IsVisible() || !IsEnabled() || !m_bAcceptPen) return 0;
    if (m_pPanel && m_pPanel->GetManager() && m_pPanel->GetManager()->IsBlockedByModal(m_pPanel)) return 0;
    if (msg == 513) {
        if (TakesFocus() && m_pPanel) m_pPanel->SetFocusCtrl(GetIndex(), -1);
        return 1;
    }
    if (msg == 515) {
        ExecCommand(0, 0);
        return 1;
    }
    return 0;
}

int CUiCtrl::OnTimer(UINT_PTR id, LPARAM) {
    if (!id) return 0;
    if (m_aniTimer && id == m_aniTimer) {
        AnimationTick();
        return 1;
    }
    if (m_marqueeTimer && id == m_marqueeTimer) {
        m_nMarqueeOffset += kMarqueeStep;
        Invalidate(nullptr, FALSE);
        return 1;
    }
    return 0;
}

void CUiCtrl::Destroy() {
    KillMarquee();
    ReleaseImages();
    m_pBackImage.reset();
    if (m_hFont) DeleteObject(m_hFont);
    m_hFont = nullptr;
}

// Frame animation

int CUiCtrl::CountFrames() const {
    const CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
    if (!image) return 0;
    int count = 0;
    WCHAR name[MAX_PATH];
    while (count < kMaxFrames && MakeFrameName(name, image->GetName(), count) && FileExists(name)) ++count;
    return count;
}

BOOL CUiCtrl::LoadFrame(int frame) {
    const CUiBitmap* image = m_images[UICTRL_IMG_NORMAL].get();
    if (!image) return 0;
    WCHAR name[MAX_PATH];
    if (!MakeFrameName(name, image->GetName(), frame)) return 0;
    // A fresh bitmap: the current one may be the page's, which must not change.
    auto next = std::make_shared<CUiBitmap>();
    if (next->Load(name) < 0 || !HasSize(next.get())) return 0;
    next->SetTransparent(m_bTransparent, m_crKey);
    m_images[UICTRL_IMG_NORMAL] = std::move(next);
    return 1;
}

void CUiCtrl::KillAnimationTimer() {
    if (m_aniTimer && m_hAniWnd && ::IsWindow(m_hAniWnd)) ::KillTimer(m_hAniWnd, m_aniTimer);
    m_aniTimer = 0;
    m_hAniWnd = nullptr;
}

BOOL CUiCtrl::StartAnimation(const WCHAR* newImage, UINT period) {
    int type = GetType();
    if ((type != 0 && type != 1 && type != 16) || !m_images[UICTRL_IMG_NORMAL]) return 0;
    if (newImage && newImage[0]) {
        auto image = std::make_shared<CUiBitmap>();
        if (image->Load(newImage) < 0 || !HasSize(image.get())) return 0;  // the old image stays
        image->SetTransparent(m_bTransparent, m_crKey);
        m_images[UICTRL_IMG_NORMAL] = std::move(image);
    }
    m_nFrameCount = CountFrames();
    if (m_nFrameCount > 1) {
        if (!m_aniTimer) {
            HWND wnd = GetWnd();
            UINT_PTR id = AnimationTimerId();
            if (!wnd || !id || !::SetTimer(wnd, id, period, nullptr)) return 0;
            m_aniTimer = id;
            m_hAniWnd = wnd;
        }
        m_nFrame = 0;
        m_nLoop = 0;
        m_dwStyle |= UICTRL_STYLE_CLICKANIM;
        return 1;
    }
    KillAnimationTimer();
    m_nFrame = 0;
    m_nLoop = 0;
    m_dwStyle &= ~static_cast<DWORD>(UICTRL_STYLE_CLICKANIM);
    return 0;
}

void CUiCtrl::StopAnimation(BOOL redraw) {
    KillAnimationTimer();
    m_nFrame = 0;
    m_nLoop = 0;
    m_dwStyle &= ~static_cast<DWORD>(UICTRL_STYLE_CLICKANIM);
    int type = GetType();
    if ((type == 0 || type == 1 || type == 16) && m_images[UICTRL_IMG_NORMAL]) {
        LoadFrame(0);
        if (redraw) Invalidate(nullptr, FALSE);
    }
}

void CUiCtrl::RestartAt(int frame) {
    if (!LoadFrame(frame)) {
        // The frames went away meanwhile.
        StopAnimation(TRUE);
        return;
    }
    m_nFrame = frame;
    Invalidate(nullptr, FALSE);
}

void CUiCtrl::AnimationTick() {
    // The frame past the last is known not to exist: asking for it would only report it missing.
    if (m_nFrame + 1 < m_nFrameCount && LoadFrame(m_nFrame + 1)) {
        ++m_nFrame;
        Invalidate(nullptr, FALSE);
        return;
    }
    if (m_nLoopLimit == -1) {
        RestartAt(1);
        return;
    }
    ++m_nLoop;
    if (m_nLoop < m_nLoopLimit) {
        RestartAt(1);
        if (m_nFireAt > 0 && m_nFireAt == m_nLoop) FireCommand();
        return;
    }
    // A fire-at loop the count never reaches fires with the last loop rather than never.
    if (m_nFireAt == 0 || m_nFireAt >= m_nLoopLimit) FireCommand();
    if (m_cmd.kind == 5) {
        StopAnimation(TRUE);
    } else {
        m_nLoop = 0;
        RestartAt(0);
    }
}

// Commands

void CUiCtrl::PostCmd(HWND cmdWnd, const WCHAR* msg, WPARAM wParam, LPARAM lParam) const {
    LONG number = StrToLong(msg);
    if (number && cmdWnd) ::PostMessageW(cmdWnd, static_cast<UINT>(number), wParam, lParam);
}

int CUiCtrl::Launch(const WCHAR* path, const WCHAR* args) {
    if (!path || !path[0] || !m_pPanel || !m_pPanel->GetManager()) return 0;
    return m_pPanel->GetManager()->LaunchProgram(path, args);
}

WPARAM CUiCtrl::Kind5WParam(const UiCtrlCommand& command) const {
    if (StrToLong(command.s[0])) return static_cast<WPARAM>(GetShellNumber());
    return static_cast<WPARAM>(StrToLong(command.s[2]));
}

int CUiCtrl::FireCommand() {
    int result = 1;
    DWORD high = 0x10A;
    if (StrToLong(m_cmd.s[0])) {
        result = Launch(m_cmd.s[2], nullptr);
        high = (static_cast<DWORD>(result & 255) << 8) | 10;
    }
    PostCmd(GetCmdWnd(), m_cmd.s[1], Kind5WParam(m_cmd), MakeCmdLParam(static_cast<DWORD>(GetIndex()), high));
    return result;
}

int CUiCtrl::CallLibrary(const WCHAR* path, const WCHAR* function, LONG arg) {
#ifdef QRX_HAVE_LIBRARIES
    WCHAR resolved[MAX_PATH];
    if (!ResolvePath(resolved, path)) return 0;
    // The library stays loaded: the function may leave a window or a thread behind.
    HMODULE module = LoadLibraryW(resolved);
    if (!module) return 0;
    // Through the generic function type: the exported function takes one integer.
    auto generic = reinterpret_cast<void (*)()>(GetProcAddressW(module, function));
    auto proc = reinterpret_cast<void (*)(LONG)>(generic);
    if (!proc) return 0;
    proc(arg);
    return 1;
#else
    (void)path;
    (void)function;
    (void)arg;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
#endif
}

int CUiCtrl::ExecCommand(int arg, int sel) {
    if (sel >= 0 && !IsEnabled()) return 0;
    HWND cmd = GetCmdWnd();
    const UiCtrlCommand* selected = &m_cmd;
    if (sel == -1 && m_init.kind >= 0) selected = &m_init;
    LONG kind = selected->kind;
    const WCHAR* s1 = selected->s[0];
    const WCHAR* s2 = selected->s[1];
    const WCHAR* s3 = selected->s[2];
    if (sel >= 0 && cmd) ::PostMessageW(cmd, WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK, 0);
    DWORD index = static_cast<DWORD>(GetIndex());
    DWORD event = static_cast<DWORD>(arg);
    int result = 0;
    switch (kind) {
    case 0:
        if (StrToLong(s1) && cmd) {
            PostCmd(cmd, s1, static_cast<WPARAM>(StrToLong(s2)), MakeCmdLParam(static_cast<DWORD>(StrToLong(s3)), event));
            result = 1;
        }
        break;
    case 1: result = Launch(s1, s2); break;
    case 2:
        if (s1[0] && s2[0]) result = CallLibrary(s1, s2, StrToLong(s3));
        break;
    case 4:
        result = Launch(s3, nullptr);
        if (StrToLong(s1) && cmd) {
            DWORD high = arg ? event : static_cast<DWORD>(result) << 8;
            PostCmd(cmd, s1, static_cast<WPARAM>(StrToLong(s2)), MakeCmdLParam(index, high));
        }
        break;
    case 5:
        if (!m_bNoClickAnim && StartAnimation(nullptr, 100)) {
            if (m_nFireAt == -1) FireCommand();
            if (arg) PostCmd(cmd, s2, Kind5WParam(*selected), MakeCmdLParam(index, event));
            result = 1;
        } else {
            DWORD high = 0x10A;
            if (StrToLong(s1)) {
                result = Launch(s3, nullptr);
                high = (static_cast<DWORD>(result & 255) << 8) | 10;
            } else {
                result = 1;
            }
            PostCmd(cmd, s2, Kind5WParam(*selected), MakeCmdLParam(index, arg ? event : high));
        }
        break;
    default:
        if (kind < 0 && cmd) {
            int shell = GetShellNumber();
            if (kind == -1 && m_pPanel && m_pPanel->GetParentState() == 1)
                ::PostMessageW(cmd, WM_SHELL_NOTIFY, SHELL_NOTIFY_CLOSE, MakeCmdLParam(static_cast<DWORD>(shell), 0xFFFF));
            LONG page = static_cast<LONG>(StrToUInt(s1));
            if (page >= 0)
                ::PostMessageW(cmd, WM_SHELL_NOTIFY, SHELL_NOTIFY_OPEN, MakeCmdLParam(static_cast<DWORD>(page), 0xFFFF));
            result = 1;
        }
        break;
    }
    return result;
}
