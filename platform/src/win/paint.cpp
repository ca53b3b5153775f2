// Update regions, WM_PAINT and the window DCs. Every top-level window draws on its own retained
// surface; a child draws into its top-level window's surface, clipped to what of it is visible.
#include <cstring>

#include "win/win.h"

namespace qrx::win {
namespace {

Region And(const Region& a, const Region& b) { return Region::Combine(a, b, RGN_AND); }
Region Diff(const Region& a, const Region& b) { return Region::Combine(a, b, RGN_DIFF); }

// The pixels a window covers in its top-level surface, given its parent's client origin there.
Region Area(const Window* w, POINT parentOrigin) {
    RECT r = w->rect;
    OffsetRect(&r, parentOrigin.x, parentOrigin.y);
    Region area(r);
    if (w->hasRegion) {
        Region shape = w->region;
        shape.Offset(r.left, r.top);
        area = And(area, shape);
    }
    return area;
}

bool CopyRegionOf(HRGN h, Region& out) {
    auto object = gdi::LookupAs<gdi::RegionObject>(h, gdi::Kind::Region);
    if (!object) return false;
    std::lock_guard<std::mutex> g(object->lock);
    out = object->region;
    return true;
}

// A DC on a window's surface limited to clip (surface coordinates); tree lock held.
HDC SurfaceDc(Window* w, const Region& clip) {
    Window* top = Root(w);
    if (!top || !top->surface) return nullptr;
    return gdi::CreateSurfaceDc(top->surface, SurfaceOrigin(w), &clip);
}

HDC WindowDc(HWND hwnd) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hwnd);
    if (!w) return nullptr;
    if (hwnd == kDesktop) return gdi::CreateSurfaceDc(gdi::ScreenSurface(), POINT{0, 0}, nullptr);
    return SurfaceDc(w, VisibleRegion(w, true));
}

struct HookInstaller {
    HookInstaller() { gdi::SetWindowDcHook(&WindowDc); }
} g_hookInstaller;

void ValidateTree(Window* w, const Region& client, UINT flags) {
    RemoveUpdate(w, &client);
    if (flags & RDW_NOERASE) w->erase = false;
    if (!(flags & RDW_ALLCHILDREN)) return;
    for (HWND h : w->children) {
        Window* c = Find(h);
        if (!c) continue;
        Region cr = And(client, Region(c->rect));
        cr.Offset(-c->rect.left, -c->rect.top);
        ValidateTree(c, cr, flags);
    }
}

// Sends WM_PAINT to each window of the subtree with something to paint, parents first.
void PaintNow(HWND hwnd, bool children) {
    std::vector<HWND> pending;
    {
        TreeLock g(T().lock);
        Window* w = Find(hwnd);
        if (!w) return;
        std::vector<Window*> tree;
        if (children)
            CollectTree(w, tree);
        else
            tree.push_back(w);
        for (Window* x : tree)
            if (!x->update.Empty()) pending.push_back(x->hwnd);
    }
    for (HWND h : pending) {
        bool still = false;
        {
            TreeLock g(T().lock);
            Window* w = Find(h);
            still = w && !w->update.Empty();
        }
        if (still) SendMessageW(h, WM_PAINT, 0, 0);
    }
}

}  // namespace

Region VisibleRegion(const Window* w, bool clipChildren) {
    if (w->hwnd == kDesktop) return Region(w->rect);
    if (!VisibleChain(w)) return Region();
    POINT o = SurfaceOrigin(w);
    // A window's parent origin is its own surface origin less its position; for a top-level
    // window that puts it at 0,0 of its surface.
    Region visible = Area(w, POINT{o.x - w->rect.left, o.y - w->rect.top});
    const Window* node = w;
    while (node->parent) {
        const Window* p = ParentOf(node);
        if (!p) break;
        POINT po = SurfaceOrigin(p);
        visible = And(visible, Area(p, POINT{po.x - p->rect.left, po.y - p->rect.top}));
        // Siblings in front cover it.
        for (HWND s : p->children) {
            if (s == node->hwnd) break;
            const Window* sw = Find(s);
            if (!sw || !(sw->style & WS_VISIBLE) || sw->destroying) continue;
            visible = Diff(visible, Area(sw, po));
        }
        node = p;
    }
    if (clipChildren && (w->style & WS_CLIPCHILDREN)) {
        for (HWND h : w->children) {
            const Window* c = Find(h);
            if (!c || !(c->style & WS_VISIBLE) || c->destroying) continue;
            visible = Diff(visible, Area(c, o));
        }
    }
    return visible;
}

void AddUpdate(Window* w, const Region& client, bool erase) {
    if (w->hwnd == kDesktop || !VisibleChain(w)) return;
    Region r = And(client, Region(RECT{0, 0, w->Width(), w->Height()}));
    if (r.Empty()) return;
    bool had = !w->update.Empty();
    w->update = Region::Combine(w->update, r, RGN_OR);
    if (erase) w->erase = true;
    if (!had) AdjustPaintCount(w->thread, +1);
}

void RemoveUpdate(Window* w, const Region* client) {
    if (w->update.Empty()) return;
    if (client)
        w->update = Diff(w->update, *client);
    else
        w->update.Clear();
    if (w->update.Empty()) {
        w->erase = false;
        AdjustPaintCount(w->thread, -1);
    }
}

void InvalidateTree(Window* w, const Region& client, bool erase, UINT flags) {
    AddUpdate(w, client, erase);
    bool children = (flags & RDW_ALLCHILDREN) || (!(flags & RDW_NOCHILDREN) && !(w->style & WS_CLIPCHILDREN));
    if (!children) return;
    for (HWND h : w->children) {
        Window* c = Find(h);
        if (!c || !(c->style & WS_VISIBLE)) continue;
        Region cr = And(client, Region(c->rect));
        if (cr.Empty()) continue;
        cr.Offset(-c->rect.left, -c->rect.top);
        InvalidateTree(c, cr, erase, flags);
    }
}

void InvalidateAll(Window* w, bool erase) {
    InvalidateTree(w, Region(RECT{0, 0, w->Width(), w->Height()}), erase, RDW_ALLCHILDREN);
}

void ClearUpdates(Window* w) {
    std::vector<Window*> tree;
    CollectTree(w, tree);
    for (Window* x : tree) RemoveUpdate(x, nullptr);
}

Window* FindPaintWindow(DWORD thread, HWND filter) {
    std::vector<Window*> tree;
    for (HWND h : T().top) {
        Window* w = Find(h);
        if (!w) continue;
        tree.clear();
        CollectTree(w, tree);
        for (Window* x : tree)
            if (x->thread == thread && !x->update.Empty() && (!filter || filter == x->hwnd)) return x;
    }
    return nullptr;
}

}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

HDC GetWindowDC(HWND hWnd) { return GetDC(hWnd); }

HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
    if (!lpPaint) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::memset(lpPaint, 0, sizeof *lpPaint);
    HDC dc = nullptr;
    bool erase = false;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w || hWnd == kDesktop) return nullptr;
        // The update region is taken now, so whatever is invalidated while painting is painted again.
        Region update = w->update;
        erase = w->erase;
        RemoveUpdate(w, nullptr);
        POINT o = SurfaceOrigin(w);
        update.Offset(o.x, o.y);
        Region clip = Region::Combine(VisibleRegion(w, true), update, RGN_AND);
        dc = SurfaceDc(w, clip);
        if (!dc) return nullptr;
        if (!clip.Empty()) {
            lpPaint->rcPaint = clip.Bounds();
            OffsetRect(&lpPaint->rcPaint, -o.x, -o.y);
        }
    }
    lpPaint->hdc = dc;
    if (erase) lpPaint->fErase = SendMessageW(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) ? FALSE : TRUE;
    return dc;
}

BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint) {
    if (lpPaint && lpPaint->hdc) ReleaseDC(hWnd, lpPaint->hdc);
    return TRUE;
}

BOOL RedrawWindow(HWND hWnd, const RECT* lprcUpdate, HRGN hrgnUpdate, UINT flags) {
    std::vector<HWND> targets;
    {
        TreeLock g(T().lock);
        if (!hWnd || hWnd == kDesktop) {
            targets = T().top;
            flags |= RDW_ALLCHILDREN;
        } else {
            if (!FindOrFail(hWnd)) return FALSE;
            targets.push_back(hWnd);
        }
        Region given;
        bool haveGiven = false;
        if (hrgnUpdate) {
            if (!CopyRegionOf(hrgnUpdate, given)) {
                SetError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            haveGiven = true;
        } else if (lprcUpdate) {
            given = Region(qrx::gdi::Ordered(lprcUpdate->left, lprcUpdate->top, lprcUpdate->right, lprcUpdate->bottom));
            haveGiven = true;
        }
        for (HWND h : targets) {
            Window* w = Find(h);
            if (!w) continue;
            Region r = haveGiven ? given : Region(RECT{0, 0, w->Width(), w->Height()});
            if (flags & RDW_INVALIDATE) InvalidateTree(w, r, (flags & RDW_ERASE) != 0, flags);
            if (flags & RDW_VALIDATE) ValidateTree(w, r, flags);
        }
    }
    if (flags & (RDW_UPDATENOW | RDW_ERASENOW)) {
        for (HWND h : targets) PaintNow(h, (flags & RDW_ALLCHILDREN) != 0);
    }
    return TRUE;
}

BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) {
    return RedrawWindow(hWnd, lpRect, nullptr, RDW_INVALIDATE | (bErase ? RDW_ERASE : 0));
}

BOOL InvalidateRgn(HWND hWnd, HRGN hRgn, BOOL bErase) {
    return RedrawWindow(hWnd, nullptr, hRgn, RDW_INVALIDATE | (bErase ? RDW_ERASE : 0));
}

BOOL ValidateRect(HWND hWnd, const RECT* lpRect) {
    if (!hWnd) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return RedrawWindow(hWnd, lpRect, nullptr, RDW_VALIDATE | RDW_NOCHILDREN);
}

BOOL GetUpdateRect(HWND hWnd, LPRECT lpRect, BOOL bErase) {
    bool empty = true;
    HDC dc = nullptr;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w) return FALSE;
        empty = w->update.Empty();
        if (lpRect) *lpRect = empty ? RECT{0, 0, 0, 0} : w->update.Bounds();
        if (!empty && bErase && w->erase) {
            POINT o = SurfaceOrigin(w);
            Region update = w->update;
            update.Offset(o.x, o.y);
            dc = SurfaceDc(w, Region::Combine(VisibleRegion(w, true), update, RGN_AND));
            w->erase = false;
        }
    }
    if (dc) {
        SendMessageW(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        ReleaseDC(hWnd, dc);
    }
    return empty ? FALSE : TRUE;
}

BOOL UpdateWindow(HWND hWnd) {
    if (!LocalWindow(hWnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    PaintNow(hWnd, true);
    return TRUE;
}
