// MessageBoxW: a centred topmost box drawn by the platform, with its buttons as child windows,
// run in a nested modal loop with the owner disabled.
#include <mutex>

#include "win/win.h"

namespace qrx::win {
namespace {

const WCHAR kBoxClass[] = u"QrxMessageBox";
const WCHAR kButtonClass[] = u"QrxMessageBoxButton";
constexpr int kMargin = 16;
constexpr int kCaptionHeight = 28;
constexpr int kButtonWidth = 96;
constexpr int kButtonHeight = 36;
constexpr int kButtonGap = 12;
constexpr int kMaxTextWidth = 560;

struct Button {
    int id;
    const WCHAR* text;
};

struct BoxState {
    std::u16string text;
    std::u16string caption;
    std::vector<Button> buttons;
    int defaultId = IDOK;
    int closeId = IDOK;  // what closing the box answers
    int result = 0;
    volatile bool ended = false;
};

BoxState* StateOf(HWND hwnd) { return reinterpret_cast<BoxState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

void End(HWND box, int result) {
    BoxState* s = StateOf(box);
    if (!s || s->ended) return;
    s->result = result;
    s->ended = true;
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT r;
            GetClientRect(hwnd, &r);
            bool pressed = GetWindowLongPtrW(hwnd, GWLP_USERDATA) != 0;
            FillRect(dc, &r, GetSysColorBrush(pressed ? COLOR_BTNSHADOW : COLOR_BTNFACE));
            SelectObject(dc, GetStockObject(NULL_BRUSH));
            SelectObject(dc, GetStockObject(BLACK_PEN));
            Rectangle(dc, r.left, r.top, r.right, r.bottom);
            WCHAR text[64];
            int n = GetWindowTextW(hwnd, text, 64);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
            DrawTextW(dc, text, n, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            SetCapture(hwnd);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 1);
            InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        case WM_LBUTTONUP: {
            if (GetWindowLongPtrW(hwnd, GWLP_USERDATA) == 0) return 0;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            ReleaseCapture();
            InvalidateRect(hwnd, nullptr, TRUE);
            RECT r;
            GetClientRect(hwnd, &r);
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (PtInRect(&r, p))
                SendMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), 0),
                             reinterpret_cast<LPARAM>(hwnd));
            return 0;
        }
        case WM_CAPTURECHANGED:
            if (GetWindowLongPtrW(hwnd, GWLP_USERDATA) != 0) {
                SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
                InvalidateRect(hwnd, nullptr, TRUE);
            }
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

LRESULT CALLBACK BoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            BoxState* s = StateOf(hwnd);
            RECT r;
            GetClientRect(hwnd, &r);
            FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
            if (s) {
                RECT caption{r.left, r.top, r.right, r.top + kCaptionHeight};
                FillRect(dc, &caption, GetSysColorBrush(COLOR_ACTIVECAPTION));
                SetBkMode(dc, TRANSPARENT);
                SetTextColor(dc, GetSysColor(COLOR_CAPTIONTEXT));
                RECT title = caption;
                title.left += 8;
                DrawTextW(dc, s->caption.c_str(), static_cast<int>(s->caption.size()), &title,
                          DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                RECT body{r.left + kMargin, r.top + kCaptionHeight + kMargin, r.right - kMargin,
                          r.bottom - kMargin - kButtonHeight - kMargin};
                DrawTextW(dc, s->text.c_str(), static_cast<int>(s->text.size()), &body,
                          DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
            }
            SelectObject(dc, GetStockObject(NULL_BRUSH));
            SelectObject(dc, GetStockObject(BLACK_PEN));
            Rectangle(dc, r.left, r.top, r.right, r.bottom);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_COMMAND:
            End(hwnd, LOWORD(wParam));
            return 0;
        case WM_KEYDOWN: {
            BoxState* s = StateOf(hwnd);
            if (!s) return 0;
            if (wParam == VK_RETURN) End(hwnd, s->defaultId);
            if (wParam == VK_ESCAPE && s->closeId != IDNO) End(hwnd, s->closeId);
            return 0;
        }
        case WM_CLOSE: {
            BoxState* s = StateOf(hwnd);
            if (s) End(hwnd, s->closeId);
            return 0;
        }
        case WM_DESTROY: {
            BoxState* s = StateOf(hwnd);
            if (s) End(hwnd, s->closeId);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

bool RegisterBoxClasses() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = BoxProc;
        wc.lpszClassName = kBoxClass;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_WINDOW + 1));
        bool box = RegisterClassW(&wc) != 0;
        wc.lpfnWndProc = ButtonProc;
        wc.lpszClassName = kButtonClass;
        wc.hbrBackground = nullptr;
        ok = box && RegisterClassW(&wc) != 0;
    });
    return ok;
}

bool ButtonsOf(UINT type, BoxState& s) {
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            s.buttons = {{IDOK, u"OK"}};
            s.closeId = IDOK;
            break;
        case MB_OKCANCEL:
            s.buttons = {{IDOK, u"OK"}, {IDCANCEL, u"Cancel"}};
            s.closeId = IDCANCEL;
            break;
        case MB_ABORTRETRYIGNORE:
            s.buttons = {{IDABORT, u"Abort"}, {IDRETRY, u"Retry"}, {IDIGNORE, u"Ignore"}};
            s.closeId = IDABORT;
            break;
        case MB_YESNOCANCEL:
            s.buttons = {{IDYES, u"Yes"}, {IDNO, u"No"}, {IDCANCEL, u"Cancel"}};
            s.closeId = IDCANCEL;
            break;
        case MB_YESNO:
            s.buttons = {{IDYES, u"Yes"}, {IDNO, u"No"}};
            s.closeId = IDNO;
            break;
        case MB_RETRYCANCEL:
            s.buttons = {{IDRETRY, u"Retry"}, {IDCANCEL, u"Cancel"}};
            s.closeId = IDCANCEL;
            break;
        default:
            return false;
    }
    size_t def = (type & MB_DEFMASK) >> 8;
    s.defaultId = s.buttons[def < s.buttons.size() ? def : 0].id;
    return true;
}

}  // namespace
}  // namespace qrx::win

using namespace qrx::win;

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    BoxState state;
    if (!ButtonsOf(uType, state)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!RegisterBoxClasses()) return 0;
    size_t n = std::min(BoundedLength(lpText, kMaxText), kMaxText);
    state.text.assign(lpText ? lpText : u"", n);
    n = std::min(BoundedLength(lpCaption, kMaxText), kMaxText);
    state.caption = lpCaption ? std::u16string(lpCaption, n) : std::u16string(u"Error");

    // Size the box around the text and the buttons.
    RECT textRect{0, 0, kMaxTextWidth, 0};
    HDC measure = CreateCompatibleDC(nullptr);
    if (measure) {
        DrawTextW(measure, state.text.c_str(), static_cast<int>(state.text.size()), &textRect,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        DeleteDC(measure);
    }
    int buttonsWidth = static_cast<int>(state.buttons.size()) * (kButtonWidth + kButtonGap) - kButtonGap;
    int width = std::max<int>({textRect.right - textRect.left, buttonsWidth, 200}) + 2 * kMargin;
    int height = kCaptionHeight + kMargin + (textRect.bottom - textRect.top) + kMargin + kButtonHeight + kMargin;
    width = std::min(width, qrx::gdi::kScreenWidth);
    height = std::min(height, qrx::gdi::kScreenHeight);
    int x = (qrx::gdi::kScreenWidth - width) / 2, y = (qrx::gdi::kScreenHeight - height) / 2;

    HWND owner = nullptr;
    if (hWnd) {
        TreeLock g(T().lock);
        if (Window* w = Root(Find(hWnd))) owner = w->hwnd;
    }
    HWND box = CreateWindowExW(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kBoxClass, state.caption.c_str(), WS_POPUP, x, y,
                               width, height, owner, nullptr, nullptr, nullptr);
    if (!box) return 0;
    SetWindowLongPtrW(box, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    int bx = (width - buttonsWidth) / 2, by = height - kMargin - kButtonHeight;
    for (const Button& b : state.buttons) {
        CreateWindowExW(0, kButtonClass, b.text, WS_CHILD | WS_VISIBLE, bx, by, kButtonWidth, kButtonHeight, box,
                        reinterpret_cast<HMENU>(static_cast<uintptr_t>(b.id)), nullptr, nullptr);
        bx += kButtonWidth + kButtonGap;
    }
    ShowWindow(box, SW_SHOW);
    qrx::RunModalLoop(owner, &state.ended);
    if (IsWindow(box)) {
        SetWindowLongPtrW(box, GWLP_USERDATA, 0);
        DestroyWindow(box);
    }
    if (owner && IsWindow(owner) && IsWindowVisible(owner)) SetActiveWindow(owner);
    return state.result ? state.result : state.closeId;
}
