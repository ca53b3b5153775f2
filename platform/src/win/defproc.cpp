// The default window procedure, the caption drag, the modal loop helper, system metrics,
// system colours and the work area.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "qrx/dialog.h"
#include "win/win.h"

namespace qrx::win {
namespace {

constexpr int kColorCount = 27;

const COLORREF kSysColors[kColorCount] = {
    RGB(200, 200, 200),  // COLOR_SCROLLBAR
    RGB(0, 0, 0),        // COLOR_BACKGROUND
    RGB(0, 0, 128),      // COLOR_ACTIVECAPTION
    RGB(128, 128, 128),  // COLOR_INACTIVECAPTION
    RGB(192, 192, 192),  // COLOR_MENU
    RGB(255, 255, 255),  // COLOR_WINDOW
    RGB(0, 0, 0),        // COLOR_WINDOWFRAME
    RGB(0, 0, 0),        // COLOR_MENUTEXT
    RGB(0, 0, 0),        // COLOR_WINDOWTEXT
    RGB(255, 255, 255),  // COLOR_CAPTIONTEXT
    RGB(192, 192, 192),  // COLOR_ACTIVEBORDER
    RGB(192, 192, 192),  // COLOR_INACTIVEBORDER
    RGB(128, 128, 128),  // COLOR_APPWORKSPACE
    RGB(0, 0, 128),      // COLOR_HIGHLIGHT
    RGB(255, 255, 255),  // COLOR_HIGHLIGHTTEXT
    RGB(192, 192, 192),  // COLOR_BTNFACE
    RGB(128, 128, 128),  // COLOR_BTNSHADOW
    RGB(128, 128, 128),  // COLOR_GRAYTEXT
    RGB(0, 0, 0),        // COLOR_BTNTEXT
    RGB(192, 192, 192),  // COLOR_INACTIVECAPTIONTEXT
    RGB(255, 255, 255),  // COLOR_BTNHIGHLIGHT
    RGB(0, 0, 0),        // COLOR_3DDKSHADOW
    RGB(224, 224, 224),  // COLOR_3DLIGHT
    RGB(0, 0, 0),        // COLOR_INFOTEXT
    RGB(255, 255, 225),  // COLOR_INFOBK
    RGB(192, 192, 192),  // COLOR_STATIC
    RGB(0, 0, 0),        // COLOR_STATICTEXT
};

HBRUSH* SysBrushes() {
    static HBRUSH* brushes = [] {
        auto* list = new HBRUSH[kColorCount];
        for (int i = 0; i < kColorCount; ++i) {
            list[i] = CreateSolidBrush(kSysColors[i]);
            // Like stock objects, they outlive any DeleteObject.
            if (auto o = gdi::Lookup(list[i])) o->stock = true;
        }
        return list;
    }();
    return brushes;
}

// Erases with the class brush; a brush value up to the colour count is a colour index + 1.
LRESULT EraseBackground(HWND hwnd, HDC dc) {
    HBRUSH brush = nullptr;
    RECT client{0, 0, 0, 0};
    {
        TreeLock g(T().lock);
        Window* w = Find(hwnd);
        if (!w || !w->cls) return 0;
        brush = w->cls->background;
        client = RECT{0, 0, w->Width(), w->Height()};
    }
    if (!brush) return 0;
    uintptr_t value = reinterpret_cast<uintptr_t>(brush);
    if (value <= static_cast<uintptr_t>(kColorCount)) {
        if (value == 0) return 0;
        brush = GetSysColorBrush(static_cast<int>(value - 1));
    }
    return FillRect(dc, &client, brush) ? 1 : 0;
}

LRESULT ControlColor(UINT msg, HDC dc) {
    bool window = msg == WM_CTLCOLOREDIT || msg == WM_CTLCOLORLISTBOX;
    int back = window ? COLOR_WINDOW : COLOR_STATIC;
    int text = window ? COLOR_WINDOWTEXT : COLOR_STATICTEXT;
    if (msg == WM_CTLCOLORBTN || msg == WM_CTLCOLORDLG || msg == WM_CTLCOLORMSGBOX || msg == WM_CTLCOLORSCROLLBAR) {
        back = COLOR_BTNFACE;
        text = COLOR_BTNTEXT;
    }
    SetTextColor(dc, GetSysColor(text));
    SetBkColor(dc, GetSysColor(back));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(back));
}

// Moves the window with the pen until it is lifted, from the pen-down being handled.
void CaptionDrag(HWND hwnd) {
    HWND top = nullptr;
    POINT origin{0, 0};
    {
        TreeLock g(T().lock);
        Window* w = Root(Find(hwnd));
        if (!w || w->thread != GetCurrentThreadId()) return;
        top = w->hwnd;
        origin = POINT{w->rect.left, w->rect.top};
    }
    DWORD pos = GetMessagePos();
    POINT start{static_cast<SHORT>(LOWORD(pos)), static_cast<SHORT>(HIWORD(pos))};
    SetCapture(top);
    MSG m;
    for (;;) {
        if (GetCapture() != top) break;
        BOOL r = GetMessageW(&m, nullptr, 0, 0);
        if (r == 0) {
            PostQuitMessage(static_cast<int>(m.wParam));
            break;
        }
        if (r < 0) break;
        if (m.message == WM_MOUSEMOVE || m.message == WM_LBUTTONUP) {
            SetWindowPos(top, nullptr, origin.x + (m.pt.x - start.x), origin.y + (m.pt.y - start.y), 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            if (m.message == WM_LBUTTONUP) break;
            continue;
        }
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    if (GetCapture() == top) ReleaseCapture();
}

}  // namespace
}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

namespace qrx {

bool RunModalLoop(HWND owner, const volatile bool* ended, HWND dialog) {
    HWND top = nullptr;
    if (owner) {
        TreeLock g(T().lock);
        if (Window* w = Root(Find(owner))) top = w->hwnd;
    }
    bool disabled = top && IsWindowEnabled(top) && EnableWindow(top, FALSE) == FALSE;
    bool quit = false;
    MSG m;
    while (!ended || !*ended) {
        BOOL r = GetMessageW(&m, nullptr, 0, 0);
        if (r == 0) {
            quit = true;
            PostQuitMessage(static_cast<int>(m.wParam));
            break;
        }
        if (r < 0) break;
        if (dialog && IsDialogMessageW(dialog, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    if (disabled && IsWindow(top)) EnableWindow(top, TRUE);
    return !quit;
}

}  // namespace qrx

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            if (BeginPaint(hWnd, &ps)) EndPaint(hWnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
            return EraseBackground(hWnd, reinterpret_cast<HDC>(wParam));
        case WM_SETTEXT: {
            const WCHAR* text = reinterpret_cast<const WCHAR*>(lParam);
            size_t n = std::min(BoundedLength(text, kMaxText), kMaxText);
            TreeLock g(T().lock);
            Window* w = FindOrFail(hWnd);
            if (!w) return FALSE;
            w->text.assign(text ? text : u"", n);
            return TRUE;
        }
        case WM_GETTEXT: {
            WCHAR* buffer = reinterpret_cast<WCHAR*>(lParam);
            if (!buffer || wParam == 0) return 0;
            TreeLock g(T().lock);
            Window* w = Find(hWnd);
            if (!w) {
                buffer[0] = 0;
                return 0;
            }
            size_t n = std::min(w->text.size(), static_cast<size_t>(wParam) - 1);
            std::copy_n(w->text.data(), n, buffer);
            buffer[n] = 0;
            return static_cast<LRESULT>(n);
        }
        case WM_GETTEXTLENGTH: {
            TreeLock g(T().lock);
            Window* w = Find(hWnd);
            return w ? static_cast<LRESULT>(w->text.size()) : 0;
        }
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return ControlColor(Msg, reinterpret_cast<HDC>(wParam));
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) SetFocus(hWnd);
            return 0;
        case WM_WINDOWPOSCHANGED: {
            auto* wp = reinterpret_cast<const WINDOWPOS*>(lParam);
            if (!wp) return 0;
            if (!(wp->flags & SWP_NOMOVE)) SendMessageW(hWnd, WM_MOVE, 0, MAKELPARAM(wp->x, wp->y));
            if (!(wp->flags & SWP_NOSIZE)) SendMessageW(hWnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(wp->cx, wp->cy));
            return 0;
        }
        case WM_NCHITTEST:
            return HTCLIENT;
        case WM_NCLBUTTONDOWN:
            if (wParam == HTCAPTION) CaptionDrag(hWnd);
            return 0;
        case WM_CANCELMODE:
            if (GetCapture() == hWnd) ReleaseCapture();
            return 0;
        default:
            return 0;
    }
}

int GetSystemMetrics(int nIndex) {
    switch (nIndex) {
        case SM_CXSCREEN:
        case SM_CXFULLSCREEN:
            return qrx::gdi::kScreenWidth;
        case SM_CYSCREEN:
        case SM_CYFULLSCREEN:
            return qrx::gdi::kScreenHeight;
        case SM_CXVSCROLL:
        case SM_CYHSCROLL:
            return 13;
        case SM_CYCAPTION:
            return 26;
        case SM_CXBORDER:
        case SM_CYBORDER:
            return 1;
        case SM_CXDLGFRAME:
        case SM_CYDLGFRAME:
        case SM_CXEDGE:
        case SM_CYEDGE:
            return 2;
        case SM_CXICON:
        case SM_CYICON:
            return 32;
        case SM_CXSMICON:
        case SM_CYSMICON:
            return 16;
        case SM_CXDOUBLECLK:
        case SM_CYDOUBLECLK:
            return kDoubleClickSize;
        default:
            return 0;
    }
}

BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, PVOID pvParam, UINT fWinIni) {
    switch (uiAction) {
        case SPI_GETWORKAREA: {
            if (!pvParam) break;
            TreeLock g(T().lock);
            *static_cast<RECT*>(pvParam) = T().workArea;
            return TRUE;
        }
        case SPI_SETWORKAREA: {
            RECT r{0, 0, qrx::gdi::kScreenWidth, qrx::gdi::kScreenHeight};
            if (pvParam) {
                const RECT* given = static_cast<const RECT*>(pvParam);
                RECT screen{0, 0, qrx::gdi::kScreenWidth, qrx::gdi::kScreenHeight};
                r = qrx::gdi::Intersect(*given, screen);
                if (qrx::gdi::RectEmpty(r) || !EqualRect(&r, given)) break;
            }
            {
                TreeLock g(T().lock);
                T().workArea = r;
            }
            if (fWinIni & SPIF_SENDCHANGE) SendNotifyMessageW(HWND_BROADCAST, WM_SETTINGCHANGE, SPI_SETWORKAREA, 0);
            return TRUE;
        }
        default:
            break;
    }
    (void)uiParam;
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

DWORD GetSysColor(int nIndex) { return nIndex >= 0 && nIndex < kColorCount ? kSysColors[nIndex] : 0; }

HBRUSH GetSysColorBrush(int nIndex) {
    if (nIndex < 0 || nIndex >= kColorCount) return nullptr;
    return SysBrushes()[nIndex];
}
