// The dialog controls: "BUTTON" (push, radio, check box, group box), "EDIT" (one line, shown and set
// by the program; the pen gives it the focus, keys do not edit it) and "STATIC" (text, lines at
// CR LF). A control's state lives in its window extra bytes and goes at WM_NCDESTROY; colours come
// from the parent's WM_CTLCOLOR* answers.
#include <algorithm>
#include <mutex>
#include <string>

#include "win/controls.h"
#include "win/win.h"

namespace qrx::win {
namespace {

constexpr int kCaretWidth = 2;
constexpr int kTextMargin = 3;

struct Control {
    HFONT font = nullptr;  // null: the system font
    int check = BST_UNCHECKED;
    bool pressed = false;   // drawn pushed in
    bool tracking = false;  // the pen went down on it and is not lifted yet
    bool focused = false;
    UINT limit = 30000;
};

Control* StateOf(HWND h) { return reinterpret_cast<Control*>(GetWindowLongPtrW(h, 0)); }

DWORD StyleOf(HWND h) { return static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)); }

// Messages every control answers alike; true when handled.
bool Common(HWND h, UINT msg, WPARAM w, LPARAM l, LRESULT& result) {
    Control* s = StateOf(h);
    switch (msg) {
        case WM_CREATE:
            SetWindowLongPtrW(h, 0, reinterpret_cast<LONG_PTR>(new Control));
            result = 0;
            return true;
        case WM_NCDESTROY:
            delete s;
            SetWindowLongPtrW(h, 0, 0);
            result = 0;
            return true;
        case WM_ERASEBKGND:
            result = 1;  // the paint fills it
            return true;
        case WM_SETFONT:
            if (s) s->font = reinterpret_cast<HFONT>(w);
            if (LOWORD(l)) InvalidateRect(h, nullptr, FALSE);
            result = 0;
            return true;
        case WM_GETFONT:
            result = s ? reinterpret_cast<LRESULT>(s->font) : 0;
            return true;
        case WM_ENABLE:
            InvalidateRect(h, nullptr, FALSE);
            result = 0;
            return true;
        case WM_SETTEXT:
            result = DefWindowProcW(h, msg, w, l);
            InvalidateRect(h, nullptr, FALSE);
            return true;
        default:
            return false;
    }
}

// Fills the control with the brush its parent answers, which also sets the DC's text colour.
void FillBackground(HWND h, HDC dc, UINT colourMsg, const RECT& r) {
    HWND parent = GetParent(h);
    auto brush = parent ? reinterpret_cast<HBRUSH>(SendMessageW(parent, colourMsg, reinterpret_cast<WPARAM>(dc),
                                                                  reinterpret_cast<LPARAM>(h)))
                        : nullptr;
    if (!brush) brush = reinterpret_cast<HBRUSH>(DefWindowProcW(h, colourMsg, reinterpret_cast<WPARAM>(dc),
                                                                reinterpret_cast<LPARAM>(h)));
    FillRect(dc, &r, brush);
}

std::u16string TextOf(HWND h) {
    std::u16string text(static_cast<size_t>(std::max(0, GetWindowTextLengthW(h))) + 1, u'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Draws the control's text in its font; disabled controls draw it grey.
void DrawLabel(HWND h, HDC dc, const Control* s, RECT r, UINT format) {
    HGDIOBJ old = SelectObject(dc, s && s->font ? static_cast<HGDIOBJ>(s->font) : GetStockObject(SYSTEM_FONT));
    if (!IsWindowEnabled(h)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(dc, TRANSPARENT);
    std::u16string text = TextOf(h);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, format);
    SelectObject(dc, old);
}

// --- BUTTON ---

DWORD TypeOf(HWND h) { return StyleOf(h) & BS_TYPEMASK; }

bool IsPush(DWORD type) {
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_OWNERDRAW;
}
bool IsRadio(DWORD type) { return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON; }

void SetPressed(HWND h, Control* s, bool pressed) {
    if (s->pressed == pressed) return;
    s->pressed = pressed;
    InvalidateRect(h, nullptr, FALSE);
}

void SetCheck(HWND h, Control* s, int check) {
    if (s->check == check) return;
    s->check = check;
    InvalidateRect(h, nullptr, FALSE);
}

// A click: auto buttons change their check first; then the parent hears BN_CLICKED.
void Click(HWND h, Control* s) {
    switch (TypeOf(h)) {
        case BS_AUTORADIOBUTTON:
            for (HWND other : GroupOf(h))
                if (other != h && (SendMessageW(other, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON))
                    SendMessageW(other, BM_SETCHECK, BST_UNCHECKED, 0);
            SetCheck(h, s, BST_CHECKED);
            break;
        case BS_AUTOCHECKBOX:
            SetCheck(h, s, s->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
            break;
        case BS_AUTO3STATE:
            SetCheck(h, s, (s->check + 1) % 3);
            break;
        default:
            break;
    }
    NotifyParent(h, BN_CLICKED);
}

void PaintButton(HWND h, HDC dc, Control* s) {
    RECT r;
    GetClientRect(h, &r);
    DWORD type = TypeOf(h), style = StyleOf(h);
    UINT align = (style & BS_CENTER) == BS_CENTER ? DT_CENTER : (style & BS_RIGHT) ? DT_RIGHT : DT_LEFT;
    UINT lines = (style & BS_MULTILINE) ? DT_WORDBREAK | DT_VCENTER : DT_SINGLELINE | DT_VCENTER;
    if (IsPush(type)) {
        FillBackground(h, dc, WM_CTLCOLORBTN, r);
        DrawFace(dc, r, s->pressed);
        if (type == BS_DEFPUSHBUTTON) {
            RECT inner = r;
            InflateRect(&inner, -1, -1);
            Rectangle(dc, inner.left, inner.top, inner.right, inner.bottom);
        }
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        if (s->pressed) OffsetRect(&r, 1, 1);
        DrawLabel(h, dc, s, r, (style & BS_LEFT) || (style & BS_RIGHT) ? align | lines : DT_CENTER | lines);
        return;
    }
    FillBackground(h, dc, WM_CTLCOLORSTATIC, r);
    COLORREF text = GetTextColor(dc);
    HBRUSH ink = CreateSolidBrush(IsWindowEnabled(h) ? text : GetSysColor(COLOR_GRAYTEXT));
    if (type == BS_GROUPBOX) {
        // The frame runs through the middle of the caption line.
        TEXTMETRICW tm{};
        HGDIOBJ old = SelectObject(dc, s->font ? static_cast<HGDIOBJ>(s->font) : GetStockObject(SYSTEM_FONT));
        GetTextMetricsW(dc, &tm);
        SelectObject(dc, old);
        int mid = r.top + tm.tmHeight / 2;
        RECT edges[4] = {{r.left, mid, r.right, mid + 1}, {r.left, r.bottom - 1, r.right, r.bottom},
                         {r.left, mid, r.left + 1, r.bottom}, {r.right - 1, mid, r.right, r.bottom}};
        for (const RECT& e : edges) FillRect(dc, &e, ink);
        std::u16string caption = TextOf(h);
        SIZE size{0, 0};
        old = SelectObject(dc, s->font ? static_cast<HGDIOBJ>(s->font) : GetStockObject(SYSTEM_FONT));
        GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
        SelectObject(dc, old);
        if (!caption.empty()) {
            RECT label{r.left + 6, r.top, r.left + 10 + size.cx, r.top + tm.tmHeight};
            FillBackground(h, dc, WM_CTLCOLORSTATIC, label);
            label.left += 2;
            DrawLabel(h, dc, s, label, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
        }
        DeleteObject(ink);
        return;
    }
    // Radio button or check box: the mark, then the text beside it.
    int side = std::max<int>(5, std::min<int>(13, r.bottom - r.top - 2));
    int top = r.top + (r.bottom - r.top - side) / 2;
    RECT mark{r.left + 1, top, r.left + 1 + side, top + side};
    if (style & BS_LEFTTEXT) OffsetRect(&mark, r.right - r.left - side - 2, 0);
    HBRUSH paper = GetSysColorBrush(IsWindowEnabled(h) ? COLOR_WINDOW : COLOR_BTNFACE);
    if (IsRadio(type)) {
        int c = side / 2;
        FillDisc(dc, mark.left + c, mark.top + c, c, ink);
        FillDisc(dc, mark.left + c, mark.top + c, c - 1, paper);
        if (s->check == BST_CHECKED) FillDisc(dc, mark.left + c, mark.top + c, std::max(1, c - 3), ink);
    } else {
        FillRect(dc, &mark, ink);
        RECT inner = mark;
        InflateRect(&inner, -1, -1);
        FillRect(dc, &inner, paper);
        if (s->check != BST_UNCHECKED) {
            InflateRect(&inner, -2, -2);
            FillRect(dc, &inner, s->check == BST_CHECKED ? ink : GetSysColorBrush(COLOR_GRAYTEXT));
        }
    }
    DeleteObject(ink);
    RECT label = r;
    if (style & BS_LEFTTEXT)
        label.right = mark.left - 4;
    else
        label.left = mark.right + 4;
    DrawLabel(h, dc, s, label, ((style & BS_CENTER) == BS_CENTER ? DT_CENTER : DT_LEFT) | lines);
}

LRESULT CALLBACK ButtonProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    LRESULT result = 0;
    if (Common(h, msg, w, l, result)) return result;
    Control* s = StateOf(h);
    if (!s) return DefWindowProcW(h, msg, w, l);
    DWORD type = TypeOf(h);
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            PaintButton(h, dc, s);
            EndPaint(h, &ps);
            return 0;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            if (type == BS_GROUPBOX) return 0;
            SetFocus(h);
            SetCapture(h);
            s->tracking = true;
            SetPressed(h, s, true);
            return 0;
        case WM_MOUSEMOVE:
            if (s->tracking) {
                RECT r;
                GetClientRect(h, &r);
                SetPressed(h, s, PtInRect(&r, POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)}) != FALSE);
            }
            return 0;
        case WM_LBUTTONUP: {
            if (!s->tracking) return 0;
            s->tracking = false;
            RECT r;
            GetClientRect(h, &r);
            bool inside = PtInRect(&r, POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)}) != FALSE;
            SetPressed(h, s, false);
            ReleaseCapture();
            if (inside && IsWindowEnabled(h)) Click(h, s);
            return 0;
        }
        case WM_CAPTURECHANGED:
            if (s->tracking) {
                s->tracking = false;
                SetPressed(h, s, false);
            }
            return 0;
        case WM_KEYDOWN:
            if (w == VK_SPACE && type != BS_GROUPBOX) Click(h, s);
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            s->focused = msg == WM_SETFOCUS;
            if (StyleOf(h) & BS_NOTIFY) NotifyParent(h, s->focused ? BN_SETFOCUS : BN_KILLFOCUS);
            return 0;
        case WM_GETDLGCODE:
            if (IsPush(type)) return DLGC_BUTTON | (type == BS_DEFPUSHBUTTON ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
            if (IsRadio(type)) return DLGC_BUTTON | DLGC_RADIOBUTTON;
            return type == BS_GROUPBOX ? DLGC_STATIC : DLGC_BUTTON;
        case BM_GETCHECK:
            return s->check;
        case BM_SETCHECK:
            if (!IsPush(type) && type != BS_GROUPBOX)
                SetCheck(h, s, static_cast<int>(w) & (BST_CHECKED | BST_INDETERMINATE));
            return 0;
        case BM_GETSTATE:
            return s->check | (s->pressed ? BST_PUSHED : 0) | (s->focused ? BST_FOCUS : 0);
        case BM_SETSTATE:
            SetPressed(h, s, w != 0);
            return 0;
        case BM_SETSTYLE:
            SetWindowLongW(h, GWL_STYLE, static_cast<LONG>((StyleOf(h) & ~0xFFFFu) | (w & 0xFFFF)));
            if (LOWORD(l)) InvalidateRect(h, nullptr, FALSE);
            return 0;
        case BM_CLICK:
            if (IsWindowEnabled(h)) Click(h, s);
            return 0;
        default:
            return DefWindowProcW(h, msg, w, l);
    }
}

// --- EDIT ---

void PaintEdit(HWND h, HDC dc, Control* s) {
    RECT r;
    GetClientRect(h, &r);
    DWORD style = StyleOf(h);
    bool enabled = IsWindowEnabled(h);
    FillBackground(h, dc, enabled && !(style & ES_READONLY) ? WM_CTLCOLOREDIT : WM_CTLCOLORSTATIC, r);
    if ((style & WS_BORDER) || (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_CLIENTEDGE)) {
        SelectObject(dc, GetStockObject(NULL_BRUSH));
        SelectObject(dc, GetStockObject(BLACK_PEN));
        Rectangle(dc, r.left, r.top, r.right, r.bottom);
    }
    InflateRect(&r, -kTextMargin, -1);
    std::u16string text = TextOf(h);
    HGDIOBJ old = SelectObject(dc, s->font ? static_cast<HGDIOBJ>(s->font) : GetStockObject(SYSTEM_FONT));
    SIZE size{0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    // A text wider than the field shows its end, where the next character goes.
    int room = r.right - r.left - kCaretWidth;
    UINT align = (style & ES_RIGHT) || size.cx > room ? DT_RIGHT : (style & ES_CENTER) ? DT_CENTER : DT_LEFT;
    RECT line = r;
    line.right -= kCaretWidth;
    if (!enabled) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    COLORREF ink = GetTextColor(dc);
    DrawLabel(h, dc, s, line, align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    if (s->focused && enabled) {
        int end = align == DT_RIGHT ? line.right : align == DT_CENTER ? (line.left + line.right + size.cx) / 2
                                                                       : line.left + size.cx;
        int top = r.top + (r.bottom - r.top - tm.tmHeight) / 2;
        RECT caret{end, std::max(r.top, top), end + kCaretWidth, std::min(r.bottom, top + tm.tmHeight)};
        HBRUSH b = CreateSolidBrush(ink);
        FillRect(dc, &caret, b);
        DeleteObject(b);
    }
}

LRESULT CALLBACK EditProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    LRESULT result = 0;
    if (msg == WM_SETTEXT && Common(h, msg, w, l, result)) {
        NotifyParent(h, EN_CHANGE);
        return result;
    }
    if (Common(h, msg, w, l, result)) return result;
    Control* s = StateOf(h);
    if (!s) return DefWindowProcW(h, msg, w, l);
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            PaintEdit(h, dc, s);
            EndPaint(h, &ps);
            return 0;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            if (GetFocus() != h) SetFocus(h);
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            s->focused = msg == WM_SETFOCUS;
            InvalidateRect(h, nullptr, FALSE);
            NotifyParent(h, s->focused ? EN_SETFOCUS : EN_KILLFOCUS);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_HASSETSEL | DLGC_WANTCHARS | DLGC_WANTARROWS;
        case EM_LIMITTEXT:
            s->limit = w ? static_cast<UINT>(w) : 0x7FFFFFFE;
            return 0;
        case EM_GETLIMITTEXT:
            return s->limit;
        case EM_SETREADONLY: {
            DWORD style = StyleOf(h);
            SetWindowLongW(h, GWL_STYLE, static_cast<LONG>(w ? style | ES_READONLY : style & ~static_cast<DWORD>(ES_READONLY)));
            InvalidateRect(h, nullptr, FALSE);
            return TRUE;
        }
        case EM_GETSEL: {
            // The caret stays at the end: the program types through its own keys.
            auto n = static_cast<WORD>(std::min<int>(GetWindowTextLengthW(h), 0xFFFF));
            if (w) *reinterpret_cast<DWORD*>(w) = n;
            if (l) *reinterpret_cast<DWORD*>(l) = n;
            return MAKELONG(n, n);
        }
        case EM_SETSEL:
            return 0;
        default:
            return DefWindowProcW(h, msg, w, l);
    }
}

// --- STATIC ---

LRESULT CALLBACK StaticProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    LRESULT result = 0;
    if (Common(h, msg, w, l, result)) return result;
    Control* s = StateOf(h);
    if (!s) return DefWindowProcW(h, msg, w, l);
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            RECT r;
            GetClientRect(h, &r);
            DWORD style = StyleOf(h);
            DWORD type = style & SS_TYPEMASK;
            if (type == SS_BLACKRECT) {
                FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
            } else {
                FillBackground(h, dc, WM_CTLCOLORSTATIC, r);
                UINT format = type == SS_CENTER ? DT_CENTER | DT_WORDBREAK
                              : type == SS_RIGHT ? DT_RIGHT | DT_WORDBREAK
                              : type == SS_LEFTNOWORDWRAP ? DT_LEFT
                                                          : DT_LEFT | DT_WORDBREAK;
                if (style & SS_NOPREFIX) format |= DT_NOPREFIX;
                if (style & SS_CENTERIMAGE) format = (format & ~static_cast<UINT>(DT_WORDBREAK)) | DT_SINGLELINE | DT_VCENTER;
                DrawLabel(h, dc, s, r, format);
            }
            EndPaint(h, &ps);
            return 0;
        }
        case WM_LBUTTONUP:
            if (StyleOf(h) & SS_NOTIFY) NotifyParent(h, STN_CLICKED);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        default:
            return DefWindowProcW(h, msg, w, l);
    }
}

}  // namespace

void NotifyParent(HWND ctl, WORD code) {
    HWND parent = GetParent(ctl);
    if (parent)
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(ctl), code), reinterpret_cast<LPARAM>(ctl));
}

std::vector<HWND> GroupOf(HWND ctl) {
    HWND head = ctl;
    while (!(GetWindowLongW(head, GWL_STYLE) & WS_GROUP)) {
        HWND prev = GetWindow(head, GW_HWNDPREV);
        if (!prev) break;
        head = prev;
    }
    std::vector<HWND> group{head};
    for (HWND h = GetWindow(head, GW_HWNDNEXT); h && !(GetWindowLongW(h, GWL_STYLE) & WS_GROUP);
         h = GetWindow(h, GW_HWNDNEXT))
        group.push_back(h);
    return group;
}

void FillDisc(HDC dc, int cx, int cy, int r, HBRUSH brush) {
    if (r <= 0) return;
    for (int dy = -r; dy <= r; ++dy) {
        int half = 0;
        while ((half + 1) * (half + 1) + dy * dy <= r * r) ++half;
        RECT row{cx - half, cy + dy, cx + half + 1, cy + dy + 1};
        FillRect(dc, &row, brush);
    }
}

void FillArrow(HDC dc, const RECT& box, int dx, int dy, HBRUSH brush) {
    int w = box.right - box.left, h = box.bottom - box.top;
    int size = std::max(1, std::min(dx ? h : w, (dx ? w : h) * 2) / 2 - 1);  // half the base
    int cx = box.left + w / 2, cy = box.top + h / 2;
    int depth = (size + 1) / 2 + 1;
    for (int i = 0; i < depth; ++i) {
        int half = size * i / depth;
        RECT r;
        if (dy) {
            int y = dy < 0 ? cy - depth / 2 + i : cy + depth / 2 - i;
            r = RECT{cx - half, y, cx + half + 1, y + 1};
        } else {
            int x = dx < 0 ? cx - depth / 2 + i : cx + depth / 2 - i;
            r = RECT{x, cy - half, x + 1, cy + half + 1};
        }
        FillRect(dc, &r, brush);
    }
}

void DrawFace(HDC dc, const RECT& r, bool pressed) {
    FillRect(dc, &r, GetSysColorBrush(pressed ? COLOR_BTNSHADOW : COLOR_BTNFACE));
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    SelectObject(dc, GetStockObject(BLACK_PEN));
    Rectangle(dc, r.left, r.top, r.right, r.bottom);
}

bool RegisterDialogControls() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        struct {
            const WCHAR* name;
            WNDPROC proc;
        } classes[] = {{u"BUTTON", ButtonProc}, {u"EDIT", EditProc}, {u"STATIC", StaticProc}};
        ok = true;
        for (const auto& c : classes) {
            WNDCLASSW wc{};
            wc.style = CS_GLOBALCLASS;
            wc.lpfnWndProc = c.proc;
            wc.cbWndExtra = sizeof(LONG_PTR);
            wc.lpszClassName = c.name;
            if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) ok = false;
        }
    });
    return ok;
}

}  // namespace qrx::win
