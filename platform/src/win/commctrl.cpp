// The common controls: the progress bar and the up-down control. A control's state lives with its
// window (the progress bar's in GWLP_USERDATA, the up-down control's in its extra bytes) and goes with
// it at WM_NCDESTROY.
#include "qrx/commctrl.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "win/controls.h"

namespace {

struct Progress {
    int low = 0, high = 100, pos = 0, step = 10;
};

Progress* Of(HWND h) { return reinterpret_cast<Progress*>(GetWindowLongPtrW(h, GWLP_USERDATA)); }

// A position always lies within the range, as the platform's bar keeps it.
int Clamp(const Progress& p, int v) { return v < p.low ? p.low : v > p.high ? p.high : v; }

LRESULT SetPos(HWND h, Progress& p, int pos) {
    int old = p.pos;
    p.pos = Clamp(p, pos);
    if (p.pos != old) InvalidateRect(h, nullptr, FALSE);
    return old;
}

LRESULT CALLBACK ProgressProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    Progress* p = Of(h);
    switch (msg) {
        case WM_CREATE:
            SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Progress));
            break;
        case WM_NCDESTROY:
            delete p;
            SetWindowLongPtrW(h, GWLP_USERDATA, 0);
            break;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            RECT rc;
            GetClientRect(h, &rc);
            FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
            if (p && p->high > p->low) {
                RECT bar = rc;
                bar.right = rc.left + static_cast<LONG>(static_cast<long long>(rc.right - rc.left) * (p->pos - p->low) /
                                                        (p->high - p->low));
                FillRect(dc, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
            }
            EndPaint(h, &ps);
            return 0;
        }
        default:
            break;
    }
    if (!p) return DefWindowProcW(h, msg, w, l);
    switch (msg) {
        case PBM_SETRANGE:
        case PBM_SETRANGE32: {
            LRESULT old = MAKELONG(p->low, p->high);
            int low = msg == PBM_SETRANGE ? LOWORD(l) : static_cast<int>(w);
            int high = msg == PBM_SETRANGE ? HIWORD(l) : static_cast<int>(l);
            if (high < low) return 0;
            p->low = low;
            p->high = high;
            SetPos(h, *p, p->pos);
            InvalidateRect(h, nullptr, FALSE);
            return old;
        }
        case PBM_SETPOS:
            return SetPos(h, *p, static_cast<int>(w));
        case PBM_DELTAPOS:
            return SetPos(h, *p, p->pos + static_cast<int>(w));
        case PBM_SETSTEP: {
            int old = p->step;
            p->step = static_cast<int>(w);
            return old;
        }
        case PBM_STEPIT: {
            // Stepping past the end starts again at the beginning.
            int next = p->pos + p->step;
            return SetPos(h, *p, next > p->high ? p->low + (next - p->high) : next);
        }
        case PBM_GETRANGE:
            return w ? p->low : p->high;
        case PBM_GETPOS:
            return p->pos;
        default:
            return DefWindowProcW(h, msg, w, l);
    }
}

// --- the up-down control ---

constexpr UINT_PTR kRepeatTimer = 1;
constexpr UINT kFirstRepeatMs = 400;
constexpr UINT kRepeatMs = 100;

struct UpDown {
    int low = 100, high = 0;  // the platform's default range runs backwards
    int pos = 0;
    int base = 10;
    HWND buddy = nullptr;
    std::vector<UDACCEL> accel{{0, 1}, {2, 5}, {5, 20}};
    int held = 0;          // +1 up (right), -1 down (left), 0 none
    bool over = false;     // the pen is over the held arrow
    DWORD pressTick = 0;   // device clock
};

UpDown* UpDownOf(HWND h) { return reinterpret_cast<UpDown*>(GetWindowLongPtrW(h, 0)); }

bool Horizontal(HWND h) { return (GetWindowLongW(h, GWL_STYLE) & UDS_HORZ) != 0; }

// The arrow under a client point: +1 the up (right) half, -1 the down (left) half.
int ArrowAt(HWND h, int x, int y) {
    RECT r;
    GetClientRect(h, &r);
    if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return 0;
    if (Horizontal(h)) return x >= (r.left + r.right) / 2 ? 1 : -1;
    return y < (r.top + r.bottom) / 2 ? 1 : -1;
}

void ShowInBuddy(HWND h, const UpDown& u) {
    if (!u.buddy || !(GetWindowLongW(h, GWL_STYLE) & UDS_SETBUDDYINT)) return;
    WCHAR text[16];
    swprintf(text, 16, u.base == 16 ? u"0x%X" : u"%d", u.pos);
    SetWindowTextW(u.buddy, text);
}

// One step of `arrow` times the increment: offered to the parent, then taken and reported.
void Step(HWND h, UpDown& u, int arrow, int increment) {
    int lo = std::min(u.low, u.high), hi = std::max(u.low, u.high);
    if (lo == hi) return;
    long long delta = static_cast<long long>(arrow) * increment * (u.high >= u.low ? 1 : -1);
    long long next = static_cast<long long>(u.pos) + delta;
    bool wrap = (GetWindowLongW(h, GWL_STYLE) & UDS_WRAP) != 0;
    if (next > hi) next = wrap && u.pos == hi ? lo : hi;
    if (next < lo) next = wrap && u.pos == lo ? hi : lo;
    if (next == u.pos) return;
    HWND parent = GetParent(h);
    NMUPDOWN nm{{h, static_cast<UINT_PTR>(GetDlgCtrlID(h)), UDN_DELTAPOS}, u.pos, static_cast<int>(next - u.pos)};
    if (parent && SendMessageW(parent, WM_NOTIFY, nm.hdr.idFrom, reinterpret_cast<LPARAM>(&nm))) return;
    if (!IsWindow(h)) return;
    next = std::clamp<long long>(static_cast<long long>(u.pos) + nm.iDelta, lo, hi);
    u.pos = static_cast<int>(next);
    ShowInBuddy(h, u);
    if (parent)
        SendMessageW(parent, Horizontal(h) ? WM_HSCROLL : WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, u.pos & 0xFFFF),
                     reinterpret_cast<LPARAM>(h));
}

// The increment for the time the arrow has been held.
int Increment(const UpDown& u) {
    UINT seconds = (GetTickCount() - u.pressTick) / 1000;
    int inc = 1;
    for (const UDACCEL& a : u.accel)
        if (a.nSec <= seconds) inc = static_cast<int>(a.nInc);
    return inc;
}

void Release(HWND h, UpDown& u) {
    if (!u.held) return;
    u.held = 0;
    KillTimer(h, kRepeatTimer);
    InvalidateRect(h, nullptr, FALSE);
    if (GetCapture() == h) ReleaseCapture();
    if (HWND parent = GetParent(h))
        SendMessageW(parent, Horizontal(h) ? WM_HSCROLL : WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, u.pos & 0xFFFF),
                     reinterpret_cast<LPARAM>(h));
}

void PaintUpDown(HWND h, HDC dc, const UpDown& u) {
    RECT r;
    GetClientRect(h, &r);
    bool horz = Horizontal(h);
    RECT halves[2] = {r, r};  // [0] up or right, [1] down or left
    if (horz) {
        halves[0].left = halves[1].right = (r.left + r.right) / 2;
    } else {
        halves[0].bottom = halves[1].top = (r.top + r.bottom) / 2;
    }
    HBRUSH ink = GetSysColorBrush(IsWindowEnabled(h) ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
    for (int i = 0; i < 2; ++i) {
        qrx::win::DrawFace(dc, halves[i], u.held == (i ? -1 : 1) && u.over);
        int sign = i ? 1 : -1;
        qrx::win::FillArrow(dc, halves[i], horz ? -sign : 0, horz ? 0 : sign, ink);
    }
}

LRESULT CALLBACK UpDownProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    UpDown* u = UpDownOf(h);
    if (msg == WM_CREATE) {
        auto* made = new UpDown;
        if (GetWindowLongW(h, GWL_STYLE) & UDS_AUTOBUDDY) made->buddy = GetWindow(h, GW_HWNDPREV);
        SetWindowLongPtrW(h, 0, reinterpret_cast<LONG_PTR>(made));
        return 0;
    }
    if (msg == WM_NCDESTROY) {
        delete u;
        SetWindowLongPtrW(h, 0, 0);
        return 0;
    }
    if (!u) return DefWindowProcW(h, msg, w, l);
    switch (msg) {
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            PaintUpDown(h, dc, *u);
            EndPaint(h, &ps);
            return 0;
        }
        case WM_ENABLE:
            if (!w) Release(h, *u);
            InvalidateRect(h, nullptr, FALSE);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            int arrow = ArrowAt(h, GET_X_LPARAM(l), GET_Y_LPARAM(l));
            if (!arrow) return 0;
            SetCapture(h);
            u->held = arrow;
            u->over = true;
            u->pressTick = GetTickCount();
            InvalidateRect(h, nullptr, FALSE);
            Step(h, *u, arrow, u->accel.empty() ? 1 : static_cast<int>(u->accel.front().nInc));
            if (IsWindow(h) && u->held) SetTimer(h, kRepeatTimer, kFirstRepeatMs, nullptr);
            return 0;
        }
        case WM_MOUSEMOVE:
            if (u->held) {
                bool over = ArrowAt(h, GET_X_LPARAM(l), GET_Y_LPARAM(l)) == u->held;
                if (over != u->over) InvalidateRect(h, nullptr, FALSE);
                u->over = over;
            }
            return 0;
        case WM_TIMER:
            if (w != kRepeatTimer) return 0;
            if (!u->held) {
                KillTimer(h, kRepeatTimer);
                return 0;
            }
            // Held outside its arrow, it waits; the time held still counts.
            if (u->over) Step(h, *u, u->held, Increment(*u));
            if (IsWindow(h) && u->held) SetTimer(h, kRepeatTimer, kRepeatMs, nullptr);
            return 0;
        case WM_LBUTTONUP:
        case WM_CANCELMODE:
            Release(h, *u);
            return 0;
        case WM_CAPTURECHANGED:
            if (reinterpret_cast<HWND>(l) != h) Release(h, *u);
            return 0;
        case UDM_SETRANGE:
            u->high = static_cast<short>(LOWORD(l));
            u->low = static_cast<short>(HIWORD(l));
            u->pos = std::clamp(u->pos, std::min(u->low, u->high), std::max(u->low, u->high));
            return 0;
        case UDM_GETRANGE:
            return MAKELONG(static_cast<WORD>(u->high), static_cast<WORD>(u->low));
        case UDM_SETRANGE32:
            u->low = static_cast<int>(w);
            u->high = static_cast<int>(l);
            u->pos = std::clamp(u->pos, std::min(u->low, u->high), std::max(u->low, u->high));
            return 0;
        case UDM_GETRANGE32:
            if (w) *reinterpret_cast<int*>(w) = u->low;
            if (l) *reinterpret_cast<int*>(l) = u->high;
            return 0;
        case UDM_SETPOS:
        case UDM_SETPOS32: {
            int old = u->pos;
            int want = msg == UDM_SETPOS ? static_cast<short>(LOWORD(l)) : static_cast<int>(l);
            u->pos = std::clamp(want, std::min(u->low, u->high), std::max(u->low, u->high));
            ShowInBuddy(h, *u);
            return msg == UDM_SETPOS ? static_cast<LRESULT>(static_cast<WORD>(old)) : old;
        }
        case UDM_GETPOS:
            return MAKELONG(static_cast<WORD>(u->pos), 0);
        case UDM_GETPOS32:
            if (l) *reinterpret_cast<BOOL*>(l) = FALSE;
            return u->pos;
        case UDM_SETBUDDY: {
            HWND old = u->buddy;
            u->buddy = reinterpret_cast<HWND>(w);
            return reinterpret_cast<LRESULT>(old);
        }
        case UDM_GETBUDDY:
            return reinterpret_cast<LRESULT>(u->buddy);
        case UDM_SETACCEL: {
            auto* table = reinterpret_cast<const UDACCEL*>(l);
            if (!table || w == 0 || w > 64) return FALSE;
            u->accel.assign(table, table + w);
            return TRUE;
        }
        case UDM_GETACCEL: {
            auto* out = reinterpret_cast<UDACCEL*>(l);
            if (out) std::copy_n(u->accel.begin(), std::min<size_t>(w, u->accel.size()), out);
            return static_cast<LRESULT>(u->accel.size());
        }
        case UDM_SETBASE: {
            if (w != 10 && w != 16) return 0;
            int old = u->base;
            u->base = static_cast<int>(w);
            return old;
        }
        case UDM_GETBASE:
            return u->base;
        default:
            return DefWindowProcW(h, msg, w, l);
    }
}

}  // namespace

void InitCommonControls(void) {
    // A second call finds the classes there; that is no failure.
    WNDCLASSW wc{};
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = ProgressProc;
    wc.lpszClassName = PROGRESS_CLASSW;
    RegisterClassW(&wc);
    wc.lpfnWndProc = UpDownProc;
    wc.lpszClassName = UPDOWN_CLASSW;
    wc.cbWndExtra = sizeof(LONG_PTR);
    RegisterClassW(&wc);
    qrx::win::RegisterDialogControls();
}
