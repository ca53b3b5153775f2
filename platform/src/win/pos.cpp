// Position, size, z-order and visibility of windows, window regions, coordinate mapping and
// hit testing.
#include <algorithm>

#include "win/remote.h"
#include "win/win.h"

namespace qrx::win {
namespace {

bool Topmost(HWND h) {
    Window* w = Find(h);
    return w && (w->exStyle & WS_EX_TOPMOST);
}

// Index of the first window below the topmost band.
size_t BandEnd(const std::vector<HWND>& list) {
    size_t i = 0;
    while (i < list.size() && Topmost(list[i])) ++i;
    return i;
}

// Puts w into its sibling list after `after` (or at one of the special places), keeping the
// topmost band in front of the others.
void PlaceAfter(Window* w, HWND after) {
    auto& list = SiblingList(w);
    list.erase(std::remove(list.begin(), list.end(), w->hwnd), list.end());
    size_t index = 0;
    if (!w->TopLevel()) {
        if (after == HWND_BOTTOM) {
            index = list.size();
        } else if (after == HWND_TOP || after == HWND_TOPMOST || after == HWND_NOTOPMOST) {
            index = 0;
        } else {
            auto it = std::find(list.begin(), list.end(), after);
            index = it == list.end() ? 0 : static_cast<size_t>(it - list.begin()) + 1;
        }
        list.insert(list.begin() + static_cast<ptrdiff_t>(index), w->hwnd);
        return;
    }
    if (after == HWND_TOPMOST) {
        w->exStyle |= WS_EX_TOPMOST;
    } else if (after == HWND_NOTOPMOST || after == HWND_BOTTOM) {
        w->exStyle &= ~static_cast<DWORD>(WS_EX_TOPMOST);
    }
    size_t band = BandEnd(list);
    bool topmost = (w->exStyle & WS_EX_TOPMOST) != 0;
    if (after == HWND_BOTTOM) {
        index = list.size();
    } else if (after == HWND_TOP || after == HWND_TOPMOST || after == HWND_NOTOPMOST) {
        index = topmost ? 0 : band;
    } else {
        auto it = std::find(list.begin(), list.end(), after);
        index = it == list.end() ? (topmost ? 0 : band) : static_cast<size_t>(it - list.begin()) + 1;
        index = topmost ? std::min(index, band) : std::max(index, band);
    }
    list.insert(list.begin() + static_cast<ptrdiff_t>(index), w->hwnd);
}

// An owner's windows go just in front of it wherever it was put (a message box must not end up behind
// the dialog that waits for it); a topmost owner's windows are topmost too.
void KeepOwnedInFront(Window* w) {
    if (!w->TopLevel()) return;
    const DWORD topmost = w->exStyle & WS_EX_TOPMOST;
    auto& list = T().top;
    std::vector<HWND> owned;
    for (HWND h : list) {
        Window* o = Find(h);
        if (!o || o->owner != w->hwnd) continue;
        o->exStyle |= topmost;
        if ((o->exStyle & WS_EX_TOPMOST) == topmost) owned.push_back(h);
    }
    if (owned.empty()) return;
    for (HWND h : owned) list.erase(std::remove(list.begin(), list.end(), h), list.end());
    auto at = std::find(list.begin(), list.end(), w->hwnd);
    list.insert(at, owned.begin(), owned.end());
}

}  // namespace

void BringToTop(Window* w) {
    PlaceAfter(w, HWND_TOP);
    KeepOwnedInFront(w);
}

BOOL SetPosition(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags) {
    WINDOWPOS wp{};
    bool changed = false, hide = false, activate = false, topLevel = false;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hwnd);
        if (!w) return FALSE;
        if (hwnd == kDesktop || w->destroying) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        topLevel = w->TopLevel();
        const RECT old = w->rect;
        const bool wasVisible = VisibleChain(w);
        const bool ownVisible = (w->style & WS_VISIBLE) != 0;
        RECT nr = old;
        if (!(flags & SWP_NOMOVE)) {
            nr.left = ClampCoord(x);
            nr.top = ClampCoord(y);
        }
        LONG width = (flags & SWP_NOSIZE) ? w->Width() : ClampSize(cx);
        LONG height = (flags & SWP_NOSIZE) ? w->Height() : ClampSize(cy);
        nr.right = nr.left + width;
        nr.bottom = nr.top + height;
        bool moved = nr.left != old.left || nr.top != old.top;
        bool sized = width != old.right - old.left || height != old.bottom - old.top;
        bool show = (flags & SWP_SHOWWINDOW) && !ownVisible;
        hide = (flags & SWP_HIDEWINDOW) && ownVisible;
        bool zChanged = false;
        if (!(flags & SWP_NOZORDER)) {
            std::vector<HWND> before = SiblingList(w);
            DWORD exBefore = w->exStyle;
            PlaceAfter(w, after);
            KeepOwnedInFront(w);
            zChanged = before != SiblingList(w) || exBefore != w->exStyle;
        }
        const bool redraw = !(flags & SWP_NOREDRAW);
        Window* parent = ParentOf(w);
        if (parent && wasVisible && redraw && (moved || sized || hide || zChanged))
            InvalidateTree(parent, Region(old), true, RDW_ALLCHILDREN);
        w->rect = nr;
        if (show) w->style |= WS_VISIBLE;
        if (hide) w->style &= ~static_cast<DWORD>(WS_VISIBLE);
        if (sized && w->surface) {
            std::lock_guard<std::mutex> sg(w->surface->lock);
            w->surface->Resize(std::min<LONG>(width, kMaxSurfaceSide), std::min<LONG>(height, kMaxSurfaceSide));
        }
        const bool nowVisible = VisibleChain(w);
        if (!nowVisible) ClearUpdates(w);
        if (nowVisible && redraw && (show || sized || (parent && (moved || zChanged)))) InvalidateAll(w, true);
        activate = topLevel && nowVisible && !(flags & SWP_NOACTIVATE) && (show || !(flags & SWP_NOZORDER)) &&
                   w->thread == GetCurrentThreadId();
        changed = moved || sized || show || hide || zChanged;
        wp.hwnd = hwnd;
        wp.hwndInsertAfter = after;
        wp.x = nr.left;
        wp.y = nr.top;
        wp.cx = width;
        wp.cy = height;
        wp.flags = flags | (moved ? 0 : SWP_NOMOVE) | (sized ? 0 : SWP_NOSIZE) | (zChanged ? 0 : SWP_NOZORDER);
    }
    if (topLevel && changed) CurrentScreen().WindowsChanged();
    if (changed) SendMessageW(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&wp));
    if (hide) AfterHidden(hwnd);
    if (activate) ActivateWindow(hwnd, false);
    return TRUE;
}

}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
    if (remote::Foreign(hWnd))
        return remote::Call(remote::Op::Pos, hWnd, reinterpret_cast<LONG_PTR>(hWndInsertAfter), X, Y, cx, cy,
                            static_cast<LONG_PTR>(uFlags))
                   ? TRUE
                   : FALSE;
    return SetPosition(hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags);
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
    return SetPosition(hWnd, HWND_TOP, X, Y, nWidth, nHeight,
                       SWP_NOZORDER | SWP_NOACTIVATE | (bRepaint ? 0 : SWP_NOREDRAW));
}

BOOL BringWindowToTop(HWND hWnd) { return SetPosition(hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    if (remote::Foreign(hWnd)) return remote::Call(remote::Op::Show, hWnd, nCmdShow) ? TRUE : FALSE;
    bool wasVisible = false;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w || hWnd == kDesktop) return FALSE;
        wasVisible = (w->style & WS_VISIBLE) != 0;
    }
    bool show = nCmdShow != SW_HIDE;
    bool activating = show && nCmdShow != SW_SHOWNA && nCmdShow != SW_SHOWNOACTIVATE && nCmdShow != 7;
    if (show == wasVisible) {
        if (show && activating && !GetParent(hWnd) && ThreadOf(hWnd) == GetCurrentThreadId() &&
            IsWindowVisible(hWnd))
            ActivateWindow(hWnd, false);
        return wasVisible ? TRUE : FALSE;
    }
    SendMessageW(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | (show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW);
    if (!activating) flags |= SWP_NOACTIVATE;
    SetPosition(hWnd, HWND_TOP, 0, 0, 0, 0, flags);
    return wasVisible ? TRUE : FALSE;
}

BOOL ClientToScreen(HWND hWnd, LPPOINT lpPoint) {
    if (!lpPoint) return FALSE;
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return FALSE;
    POINT o = ScreenOrigin(w);
    lpPoint->x = ClampCoord(static_cast<long long>(lpPoint->x) + o.x);
    lpPoint->y = ClampCoord(static_cast<long long>(lpPoint->y) + o.y);
    return TRUE;
}

BOOL ScreenToClient(HWND hWnd, LPPOINT lpPoint) {
    if (!lpPoint) return FALSE;
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return FALSE;
    POINT o = ScreenOrigin(w);
    lpPoint->x = ClampCoord(static_cast<long long>(lpPoint->x) - o.x);
    lpPoint->y = ClampCoord(static_cast<long long>(lpPoint->y) - o.y);
    return TRUE;
}

int MapWindowPoints(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints) {
    TreeLock g(T().lock);
    POINT from{0, 0}, to{0, 0};
    if (hWndFrom && hWndFrom != kDesktop) {
        Window* w = FindOrFail(hWndFrom);
        if (!w) return 0;
        from = ScreenOrigin(w);
    }
    if (hWndTo && hWndTo != kDesktop) {
        Window* w = FindOrFail(hWndTo);
        if (!w) return 0;
        to = ScreenOrigin(w);
    }
    LONG dx = from.x - to.x, dy = from.y - to.y;
    if (lpPoints) {
        for (UINT i = 0; i < cPoints; ++i) {
            lpPoints[i].x = ClampCoord(static_cast<long long>(lpPoints[i].x) + dx);
            lpPoints[i].y = ClampCoord(static_cast<long long>(lpPoints[i].y) + dy);
        }
    }
    SetError(ERROR_SUCCESS);
    return MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy));
}

HWND WindowFromPoint(POINT Point) {
    TreeLock g(T().lock);
    for (HWND h : T().top) {
        Window* w = Find(h);
        if (!w || !(w->style & WS_VISIBLE) || w->destroying) continue;
        POINT p{Point.x - w->rect.left, Point.y - w->rect.top};
        if (p.x < 0 || p.y < 0 || p.x >= w->Width() || p.y >= w->Height()) continue;
        if (w->hasRegion && !w->region.Contains(p.x, p.y)) continue;
        // Hidden and disabled children are passed over for the window behind them.
        while (Window* c = FindChildAt(w, p, true, true)) {
            p.x -= c->rect.left;
            p.y -= c->rect.top;
            w = c;
        }
        return w->hwnd;
    }
    return nullptr;
}

HWND ChildWindowFromPoint(HWND hWndParent, POINT Point) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWndParent);
    if (!w) return nullptr;
    if (Point.x < 0 || Point.y < 0 || Point.x >= w->Width() || Point.y >= w->Height()) return nullptr;
    Window* c = FindChildAt(w, Point, false, false);
    return c ? c->hwnd : hWndParent;
}

int SetWindowRgn(HWND hWnd, HRGN hRgn, BOOL bRedraw) {
    Region shape;
    if (hRgn) {
        auto object = qrx::gdi::LookupAs<qrx::gdi::RegionObject>(hRgn, qrx::gdi::Kind::Region);
        if (!object) {
            SetError(ERROR_INVALID_HANDLE);
            return 0;
        }
        std::lock_guard<std::mutex> g(object->lock);
        shape = object->region;
    }
    bool topLevel = false;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w) return 0;
        if (hWnd == kDesktop) {
            SetError(ERROR_ACCESS_DENIED);
            return 0;
        }
        topLevel = w->TopLevel();
        bool visible = VisibleChain(w);
        Window* parent = ParentOf(w);
        w->hasRegion = hRgn != nullptr;
        w->region = shape;
        if (visible && bRedraw) {
            if (parent)
                InvalidateTree(parent, Region(w->rect), true, RDW_ALLCHILDREN);
            else
                InvalidateAll(w, true);
        }
    }
    // The window keeps its own copy; the handle was handed over to it.
    if (hRgn) DeleteObject(hRgn);
    if (topLevel) CurrentScreen().WindowsChanged();
    return 1;
}
