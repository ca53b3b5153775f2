// The progress bar of the common controls. Its state lives with the window (GWLP_USERDATA) and goes
// with it at WM_NCDESTROY.
#include "qrx/commctrl.h"

#include <windows.h>

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

}  // namespace

void InitCommonControls(void) {
    // A second call finds the class there; that is no failure.
    WNDCLASSW wc{};
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = ProgressProc;
    wc.lpszClassName = PROGRESS_CLASSW;
    RegisterClassW(&wc);
}
