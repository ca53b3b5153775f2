// Window classes, creation and destruction, the window tree and the window's own data.
#include <unistd.h>

#include <algorithm>

#include "qrx/wstr.h"
#include "win/remote.h"
#include "win/win.h"

namespace qrx::win {
namespace {

thread_local void* t_nextImpl = nullptr;

std::shared_ptr<WindowClass> FindClassLocked(LPCWSTR name) {
    auto& t = T();
    if (!name) return nullptr;
    if (IS_INTRESOURCE(name)) {
        ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
        for (auto& [key, c] : t.classes)
            if (c->atom == atom) return c;
        return nullptr;
    }
    size_t n = BoundedLength(name, kMaxClassName);
    if (n > kMaxClassName) return nullptr;
    auto it = t.classes.find(FoldCase(std::u16string_view(name, n)));
    return it == t.classes.end() ? nullptr : it->second;
}

// Takes the windows of a subtree out of every table; the tree lock is held.
void Unlink(const std::vector<Window*>& doomed, std::vector<std::shared_ptr<Window>>& keep) {
    auto& t = T();
    if (doomed.empty()) return;
    Window* root = doomed.front();
    auto& siblings = SiblingList(root);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), root->hwnd), siblings.end());
    for (Window* w : doomed) {
        if (!w->update.Empty()) AdjustPaintCount(w->thread, -1);
        w->update.Clear();
        AdjustWindowCount(w->thread, -1);
        if (w->cls) --w->cls->windows;
        if (t.foreground == w->hwnd) t.foreground = nullptr;
        if (t.capture == w->hwnd) t.capture = nullptr;
        auto ts = t.threads.find(w->thread);
        if (ts != t.threads.end()) {
            if (ts->second.active == w->hwnd) ts->second.active = nullptr;
            if (ts->second.focus == w->hwnd) ts->second.focus = nullptr;
        }
        // Owned windows outliving their owner (another thread's) lose it.
        for (HWND h : t.top) {
            Window* o = Find(h);
            if (o && o->owner == w->hwnd) o->owner = nullptr;
        }
        auto it = t.windows.find(w->hwnd);
        if (it != t.windows.end()) {
            keep.push_back(it->second);
            t.windows.erase(it);
        }
    }
}

// Sends WM_DESTROY or WM_NCDESTROY to a window that has not had it yet.
void SendDestroyOnce(HWND h, bool nc) {
    {
        TreeLock g(T().lock);
        Window* w = Find(h);
        if (!w) return;
        bool& sent = nc ? w->ncDestroySent : w->destroySent;
        if (sent) return;
        sent = true;
    }
    CallProc(h, nc ? WM_NCDESTROY : WM_DESTROY, 0, 0);
}

// Sends a doomed subtree the destroy messages it has not had yet, then takes it out of the tree.
// A handler may destroy a window of the subtree meanwhile: that window finishes at once and is
// skipped here afterwards.
void FinishDestroy(HWND h) {
    std::vector<HWND> order;  // pre-order: parent, then its children
    {
        TreeLock g(T().lock);
        Window* w = Find(h);
        if (!w) return;
        std::vector<Window*> tree;
        CollectTree(w, tree);
        for (Window* x : tree) order.push_back(x->hwnd);
    }
    for (HWND x : order) SendDestroyOnce(x, false);
    for (auto it = order.rbegin(); it != order.rend(); ++it) SendDestroyOnce(*it, true);
    std::vector<std::shared_ptr<Window>> keep;  // released after the lock
    {
        TreeLock g(T().lock);
        Window* w = Find(h);
        if (w) {
            std::vector<Window*> doomed;
            CollectTree(w, doomed);
            Unlink(doomed, keep);
        }
    }
}

LONG_PTR GetLong(Window* w, int index, bool pointer, bool& ok) {
    ok = true;
    switch (index) {
        case GWL_STYLE:
            return static_cast<LONG>(w->style);
        case GWL_EXSTYLE:
            return static_cast<LONG>(w->exStyle);
        case GWL_ID:
            return static_cast<LONG_PTR>(w->id);
        case GWL_USERDATA:
            return pointer ? w->userData : static_cast<LONG>(w->userData);
        case GWL_WNDPROC:
            if (pointer) return reinterpret_cast<LONG_PTR>(w->proc);
            break;
        default:
            if (index >= 0) {
                size_t size = pointer ? sizeof(LONG_PTR) : sizeof(LONG);
                if (static_cast<size_t>(index) + size <= w->extra.size()) {
                    if (pointer) {
                        LONG_PTR v;
                        std::memcpy(&v, w->extra.data() + index, sizeof v);
                        return v;
                    }
                    LONG v;
                    std::memcpy(&v, w->extra.data() + index, sizeof v);
                    return v;
                }
            }
            break;
    }
    ok = false;
    return 0;
}

LONG_PTR SetLong(HWND hwnd, int index, LONG_PTR value, bool pointer) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hwnd);
    if (!w) return 0;
    if (hwnd == kDesktop) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    bool ok = false;
    LONG_PTR old = GetLong(w, index, pointer, ok);
    if (!ok) {
        SetError(ERROR_INVALID_INDEX);
        return 0;
    }
    switch (index) {
        case GWL_STYLE:
            w->style = static_cast<DWORD>(value);
            break;
        case GWL_EXSTYLE:
            w->exStyle = static_cast<DWORD>(value);
            break;
        case GWL_ID:
            w->id = static_cast<UINT_PTR>(value);
            break;
        case GWL_USERDATA:
            w->userData = pointer ? value : static_cast<LONG>(value);
            break;
        case GWL_WNDPROC:
            if (!value) {
                SetError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            w->proc = reinterpret_cast<WNDPROC>(value);
            break;
        default:
            if (pointer) {
                std::memcpy(w->extra.data() + index, &value, sizeof value);
            } else {
                LONG v = static_cast<LONG>(value);
                std::memcpy(w->extra.data() + index, &v, sizeof v);
            }
            break;
    }
    SetError(ERROR_SUCCESS);
    return old;
}

}  // namespace

Tree& T() {
    // Lives until exit: late threads still release their windows.
    static Tree* tree = [] {
        auto* t = new Tree;
        auto desktop = std::make_shared<Window>();
        desktop->hwnd = kDesktop;
        desktop->style = WS_VISIBLE;
        desktop->rect = RECT{0, 0, gdi::kScreenWidth, gdi::kScreenHeight};
        t->windows.emplace(kDesktop, desktop);
        return t;
    }();
    return *tree;
}

size_t BoundedLength(const WCHAR* s, size_t limit) {
    if (!s) return 0;
    size_t n = 0;
    while (n <= limit && s[n]) ++n;
    return n;
}

std::u16string FoldCase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = towlower16(c);
    return out;
}

void WindowSurface::Resize(int w, int h) {
    if (w == width && h == height) return;
    std::vector<uint32_t> fresh(static_cast<size_t>(w) * h, 0);
    int cw = std::min(w, width);
    // An empty old or new surface has nothing to keep (and no row to index).
    if (cw <= 0 || pixels.empty() || fresh.empty()) cw = 0;
    for (int y = 0; cw > 0 && y < std::min(h, height); ++y)
        std::memcpy(&fresh[static_cast<size_t>(y) * w], &pixels[static_cast<size_t>(y) * width],
                    static_cast<size_t>(cw) * 4);
    pixels.swap(fresh);
    width = w;
    height = h;
}

void WindowSurface::Push(const RECT& r) {
    if (gdi::RectEmpty(damage)) {
        damage = r;
    } else {
        damage = RECT{std::min(damage.left, r.left), std::min(damage.top, r.top), std::max(damage.right, r.right),
                      std::max(damage.bottom, r.bottom)};
    }
    SurfaceDamaged();
}

Window* Find(HWND h) {
    auto& t = T();
    auto it = t.windows.find(h);
    return it == t.windows.end() ? nullptr : it->second.get();
}

Window* FindOrFail(HWND h) {
    Window* w = Find(h);
    if (!w) SetError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

Window* ParentOf(const Window* w) { return w->parent ? Find(w->parent) : nullptr; }

Window* Root(Window* w) {
    while (w && w->parent) {
        Window* p = Find(w->parent);
        if (!p) break;
        w = p;
    }
    return w;
}

std::vector<HWND>& SiblingList(const Window* w) {
    Window* p = ParentOf(w);
    return p ? p->children : T().top;
}

bool VisibleChain(const Window* w) {
    for (; w; w = ParentOf(w)) {
        if (!(w->style & WS_VISIBLE) || w->destroying) return false;
        if (!w->parent) return true;
    }
    return false;
}

bool EnabledChain(const Window* w) {
    for (; w; w = ParentOf(w)) {
        if (w->style & WS_DISABLED) return false;
        if (!w->parent) return true;
    }
    return false;
}

POINT ScreenOrigin(const Window* w) {
    long long x = 0, y = 0;
    for (; w; w = ParentOf(w)) {
        x += w->rect.left;
        y += w->rect.top;
    }
    return POINT{ClampCoord(x), ClampCoord(y)};
}

POINT SurfaceOrigin(const Window* w) {
    long long x = 0, y = 0;
    for (; w && w->parent; w = ParentOf(w)) {
        x += w->rect.left;
        y += w->rect.top;
    }
    return POINT{ClampCoord(x), ClampCoord(y)};
}

void CollectTree(Window* w, std::vector<Window*>& out) {
    out.push_back(w);
    for (HWND c : w->children)
        if (Window* cw = Find(c)) CollectTree(cw, out);
}

bool IsInTree(const Window* root, HWND h) {
    for (Window* w = Find(h); w; w = ParentOf(w))
        if (w == root) return true;
    return false;
}

bool LocalWindow(HWND h) {
    if (!h) return false;
    TreeLock g(T().lock);
    return Find(h) != nullptr;
}

DWORD ThreadOf(HWND h) {
    TreeLock g(T().lock);
    Window* w = Find(h);
    return w ? w->thread : 0;
}

LRESULT CallProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = nullptr;
    {
        TreeLock g(T().lock);
        Window* w = Find(h);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc ? proc(h, msg, wParam, lParam) : DefWindowProcW(h, msg, wParam, lParam);
}

bool InRegion(const Window* w, POINT windowPoint) {
    if (windowPoint.x < 0 || windowPoint.y < 0 || windowPoint.x >= w->Width() || windowPoint.y >= w->Height())
        return false;
    return !w->hasRegion || w->region.Contains(windowPoint.x, windowPoint.y);
}

Window* FindChildAt(Window* parent, POINT client, bool skipHidden, bool skipDisabled) {
    for (HWND h : parent->children) {
        Window* c = Find(h);
        if (!c || c->destroying) continue;
        if (skipHidden && !(c->style & WS_VISIBLE)) continue;
        if (skipDisabled && (c->style & WS_DISABLED)) continue;
        if (InRegion(c, POINT{client.x - c->rect.left, client.y - c->rect.top})) return c;
    }
    return nullptr;
}

// The window to activate after `gone` stopped being active: its owner, else the front visible
// enabled top-level window of the same thread.
HWND NextToActivate(DWORD thread, HWND gone, HWND owner) {
    auto& t = T();
    Window* o = Find(owner);
    if (o && o->thread == thread && VisibleChain(o) && EnabledChain(o) && !o->destroying) return o->hwnd;
    for (HWND h : t.top) {
        Window* w = Find(h);
        if (w && h != gone && w->thread == thread && !w->destroying && VisibleChain(w) && EnabledChain(w)) return h;
    }
    return nullptr;
}

Window* HitTest(POINT screen) {
    auto& t = T();
    for (HWND h : t.top) {
        Window* w = Find(h);
        if (!w || !(w->style & WS_VISIBLE) || w->destroying) continue;
        POINT p{screen.x - w->rect.left, screen.y - w->rect.top};
        if (!InRegion(w, p)) continue;
        for (;;) {
            Window* c = FindChildAt(w, p, true, false);
            if (!c) return w;
            p.x -= c->rect.left;
            p.y -= c->rect.top;
            w = c;
        }
    }
    return nullptr;
}

void ForgetThreadWindows(DWORD thread) {
    std::vector<std::shared_ptr<Window>> keep;  // released after the lock
    bool any = false;
    {
        TreeLock g(T().lock);
        auto& t = T();
        std::vector<Window*> roots;
        for (auto& [h, w] : t.windows) {
            if (w->thread != thread) continue;
            Window* p = ParentOf(w.get());
            if (!p || p->thread != thread) roots.push_back(w.get());
        }
        for (Window* r : roots) {
            if (!Find(r->hwnd)) continue;
            Window* p = ParentOf(r);
            if (p && (r->style & WS_VISIBLE)) {
                Region area(r->rect);
                InvalidateTree(p, area, true, RDW_ALLCHILDREN);
            }
            std::vector<Window*> doomed;
            CollectTree(r, doomed);
            Unlink(doomed, keep);
            any = true;
        }
        t.threads.erase(thread);
    }
    if (any) CurrentScreen().WindowsChanged();
}

}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

namespace qrx {

void SetNextWindowImpl(void* impl) { win::t_nextImpl = impl; }

void* GetWindowImpl(HWND hWnd) {
    TreeLock g(T().lock);
    Window* w = Find(hWnd);
    return w ? w->impl : nullptr;
}

}  // namespace qrx

ATOM RegisterClassW(const WNDCLASSW* lpWndClass) {
    if (!lpWndClass || !lpWndClass->lpszClassName || !lpWndClass->lpfnWndProc || lpWndClass->cbWndExtra < 0 ||
        lpWndClass->cbWndExtra > 1024 || lpWndClass->cbClsExtra < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (IS_INTRESOURCE(lpWndClass->lpszClassName)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = BoundedLength(lpWndClass->lpszClassName, kMaxClassName);
    if (n == 0 || n > kMaxClassName) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto c = std::make_shared<WindowClass>();
    c->name.assign(lpWndClass->lpszClassName, n);
    c->style = lpWndClass->style;
    c->proc = lpWndClass->lpfnWndProc;
    c->wndExtra = lpWndClass->cbWndExtra;
    c->instance = lpWndClass->hInstance;
    c->background = lpWndClass->hbrBackground;
    TreeLock g(T().lock);
    auto& t = T();
    std::u16string key = FoldCase(c->name);
    if (t.classes.count(key)) {
        SetError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (t.nextAtom == 0xFFFF) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    c->atom = t.nextAtom++;
    t.classes.emplace(std::move(key), c);
    return c->atom;
}

BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE) {
    TreeLock g(T().lock);
    auto c = FindClassLocked(lpClassName);
    if (!c) {
        SetError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (c->windows > 0) {
        SetError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    T().classes.erase(FoldCase(c->name));
    return TRUE;
}

int GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount) {
    if (!lpClassName || nMaxCount <= 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return 0;
    std::u16string name = w->cls ? w->cls->name : u"#32769";
    size_t n = std::min(name.size(), static_cast<size_t>(nMaxCount - 1));
    std::copy_n(name.data(), n, lpClassName);
    lpClassName[n] = 0;
    return static_cast<int>(n);
}

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
    void* impl = qrx::win::t_nextImpl;
    qrx::win::t_nextImpl = nullptr;
    auto queue = CurrentQueue();
    const DWORD self = GetCurrentThreadId();
    bool child = (dwStyle & WS_CHILD) != 0;
    auto w = std::make_shared<Window>();
    size_t titleLength = BoundedLength(lpWindowName, kMaxText);
    if (titleLength > kMaxText) titleLength = kMaxText;
    {
        TreeLock g(T().lock);
        auto& t = T();
        auto cls = FindClassLocked(lpClassName);
        if (!cls) {
            SetError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        Window* parent = nullptr;
        if (hWndParent && hWndParent != kDesktop) {
            parent = Find(hWndParent);
            if (!parent || parent->destroying) {
                SetError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
        }
        if (child && !parent) {
            SetError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        bool defaultPos = X == CW_USEDEFAULT;
        bool defaultSize = nWidth == CW_USEDEFAULT;
        long long x = defaultPos ? 0 : X, y = defaultPos ? 0 : Y;
        long long cx = defaultSize ? (child ? 0 : qrx::gdi::kScreenWidth) : nWidth;
        long long cy = defaultSize ? (child ? 0 : qrx::gdi::kScreenHeight) : nHeight;
        x = ClampCoord(x);
        y = ClampCoord(y);
        w->rect = RECT{static_cast<LONG>(x), static_cast<LONG>(y), static_cast<LONG>(x + ClampSize(cx)),
                       static_cast<LONG>(y + ClampSize(cy))};
        if (!t.nextHandle) t.nextHandle = (static_cast<uintptr_t>(getpid()) << 32) | 0x20000;
        w->hwnd = reinterpret_cast<HWND>(t.nextHandle);
        t.nextHandle += 4;
        w->thread = self;
        w->cls = cls;
        w->proc = cls->proc;
        w->style = dwStyle & ~static_cast<DWORD>(WS_VISIBLE);
        w->exStyle = dwExStyle;
        w->instance = hInstance;
        w->id = child ? reinterpret_cast<UINT_PTR>(hMenu) : 0;
        w->text.assign(lpWindowName ? lpWindowName : u"", titleLength);
        w->extra.assign(static_cast<size_t>(cls->wndExtra), 0);
        w->impl = impl;
        if (child) {
            w->parent = parent->hwnd;
            // A new child goes below its siblings: the first made is the first in z-order.
            parent->children.push_back(w->hwnd);
        } else {
            if (parent) w->owner = Root(parent)->hwnd;
            // An owned window stays above its owner: a topmost owner's windows are topmost too.
            if (parent && (Root(parent)->exStyle & WS_EX_TOPMOST)) w->exStyle |= WS_EX_TOPMOST;
            w->surface = std::make_shared<WindowSurface>();
            {
                std::lock_guard<std::mutex> sg(w->surface->lock);
                w->surface->Resize(std::min<LONG>(w->Width(), kMaxSurfaceSide),
                                   std::min<LONG>(w->Height(), kMaxSurfaceSide));
            }
            auto pos = t.top.begin();
            if (!(w->exStyle & WS_EX_TOPMOST)) {
                while (pos != t.top.end()) {
                    Window* o = Find(*pos);
                    if (!o || !(o->exStyle & WS_EX_TOPMOST)) break;
                    ++pos;
                }
            }
            t.top.insert(pos, w->hwnd);
        }
        ++cls->windows;
        t.windows.emplace(w->hwnd, w);
        AdjustWindowCount(self, +1);
    }
    HWND hwnd = w->hwnd;
    CREATESTRUCTW cs{};
    cs.lpCreateParams = lpParam;
    cs.hInstance = hInstance;
    cs.hMenu = hMenu;
    cs.hwndParent = hWndParent;
    cs.x = w->rect.left;
    cs.y = w->rect.top;
    cs.cx = w->Width();
    cs.cy = w->Height();
    cs.style = static_cast<LONG>(dwStyle);
    cs.lpszName = lpWindowName;
    cs.lpszClass = lpClassName;
    cs.dwExStyle = dwExStyle;
    if (SendMessageW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RECT r;
    {
        TreeLock g(T().lock);
        Window* made = Find(hwnd);
        if (!made) return nullptr;  // destroyed while being made
        r = made->rect;
    }
    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(r.right - r.left, r.bottom - r.top));
    SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(r.left, r.top));
    if (dwStyle & WS_VISIBLE) ShowWindow(hwnd, (dwExStyle & WS_EX_NOACTIVATE) ? SW_SHOWNA : SW_SHOW);
    if (!IsWindow(hwnd)) return nullptr;
    if (!child) CurrentScreen().WindowsChanged();
    (void)queue;
    return hwnd;
}

BOOL DestroyWindow(HWND hWnd) {
    const DWORD self = GetCurrentThreadId();
    std::vector<HWND> owned;
    bool finishing = false;  // already being destroyed by an outer call: finished here and now
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w) return FALSE;
        if (hWnd == kDesktop || w->thread != self) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) {
            finishing = true;
        } else if (w->TopLevel()) {
            for (HWND h : T().top) {
                Window* o = Find(h);
                if (o && o->owner == hWnd && o->thread == self) owned.push_back(h);
            }
        }
    }
    if (finishing) {
        FinishDestroy(hWnd);
        return TRUE;
    }
    // Owned windows go first, as a whole.
    for (HWND h : owned) DestroyWindow(h);

    std::vector<HWND> order;  // pre-order: parent, then its children
    HWND killFocus = nullptr;
    HWND nextActive = nullptr;
    bool wasActive = false;
    bool topLevel = false;
    {
        // An owned window's handlers may have started destroying this one meanwhile.
        TreeLock g(T().lock);
        Window* w = Find(hWnd);
        if (!w) return TRUE;
        finishing = w->destroying;
    }
    if (finishing) {
        FinishDestroy(hWnd);
        return TRUE;
    }
    {
        TreeLock g(T().lock);
        auto& t = T();
        Window* w = Find(hWnd);
        if (!w) return TRUE;
        topLevel = w->TopLevel();
        std::vector<Window*> tree;
        CollectTree(w, tree);
        bool visible = VisibleChain(w);
        Window* parent = ParentOf(w);
        for (Window* x : tree) {
            order.push_back(x->hwnd);
            x->destroying = true;
            if (!x->update.Empty()) AdjustPaintCount(x->thread, -1);
            x->update.Clear();
        }
        if (visible && parent) InvalidateTree(parent, Region(w->rect), true, RDW_ALLCHILDREN);
        ReleaseCaptureOf(order);
        auto& ts = t.threads[self];
        if (ts.focus && IsInTree(w, ts.focus)) {
            killFocus = ts.focus;
            ts.focus = nullptr;
        }
        if (topLevel && ts.active == hWnd) {
            wasActive = true;
            nextActive = NextToActivate(self, hWnd, w->owner);
        }
    }
    KillWindowTimers(self, order);
    if (topLevel) CurrentScreen().WindowsChanged();
    if (killFocus) SendMessageW(killFocus, WM_KILLFOCUS, 0, 0);
    if (wasActive) {
        SendMessageW(hWnd, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(nextActive));
        TreeLock g(T().lock);
        auto& ts = T().threads[self];
        if (ts.active == hWnd) ts.active = nullptr;
        if (T().foreground == hWnd) T().foreground = nullptr;
    }
    FinishDestroy(hWnd);
    if (topLevel) CurrentScreen().WindowsChanged();
    if (wasActive && nextActive && IsWindow(nextActive)) ActivateWindow(nextActive, false);
    return TRUE;
}

LRESULT CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (!lpPrevWndFunc) return 0;
    return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}

BOOL IsWindow(HWND hWnd) {
    if (!hWnd) return FALSE;
    if (LocalWindow(hWnd)) return TRUE;
    // Another program's window exists while that program has it; an ended program has none.
    return remote::Foreign(hWnd) && remote::Call(remote::Op::IsWindow, hWnd) != 0 ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hWnd) {
    TreeLock g(T().lock);
    Window* w = Find(hWnd);
    return w && VisibleChain(w);
}

BOOL IsWindowEnabled(HWND hWnd) {
    TreeLock g(T().lock);
    Window* w = Find(hWnd);
    return w && !(w->style & WS_DISABLED);
}

BOOL IsChild(HWND hWndParent, HWND hWnd) {
    TreeLock g(T().lock);
    Window* p = Find(hWndParent);
    Window* w = Find(hWnd);
    if (!p || !w || p == w) return FALSE;
    for (Window* x = w; x && x->parent; x = ParentOf(x))
        if (x->parent == hWndParent) return TRUE;
    return FALSE;
}

HWND GetParent(HWND hWnd) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return nullptr;
    if (w->parent) return w->parent;
    return (w->style & WS_POPUP) ? w->owner : nullptr;
}

HWND SetParent(HWND hWndChild, HWND hWndNewParent) {
    HWND old = nullptr;
    bool changedTop = false;
    {
        TreeLock g(T().lock);
        auto& t = T();
        Window* w = FindOrFail(hWndChild);
        if (!w) return nullptr;
        if (hWndChild == kDesktop || w->destroying) {
            SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        Window* np = nullptr;
        if (hWndNewParent && hWndNewParent != kDesktop) {
            np = FindOrFail(hWndNewParent);
            if (!np) return nullptr;
            if (IsInTree(w, hWndNewParent) || np->destroying) {
                SetError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
        }
        old = w->parent ? w->parent : kDesktop;
        bool visible = VisibleChain(w);
        Window* op = ParentOf(w);
        if (visible && op) InvalidateTree(op, Region(w->rect), true, RDW_ALLCHILDREN);
        ClearUpdates(w);
        auto& oldList = SiblingList(w);
        oldList.erase(std::remove(oldList.begin(), oldList.end(), hWndChild), oldList.end());
        changedTop = !w->parent || !np;
        if (np) {
            w->parent = np->hwnd;
            w->owner = nullptr;
            w->style = (w->style & ~static_cast<DWORD>(WS_POPUP)) | WS_CHILD;
            w->surface.reset();
            np->children.insert(np->children.begin(), hWndChild);
        } else {
            w->parent = nullptr;
            w->style = (w->style & ~static_cast<DWORD>(WS_CHILD)) | WS_POPUP;
            if (!w->surface) {
                w->surface = std::make_shared<WindowSurface>();
                std::lock_guard<std::mutex> sg(w->surface->lock);
                w->surface->Resize(std::min<LONG>(w->Width(), kMaxSurfaceSide),
                                   std::min<LONG>(w->Height(), kMaxSurfaceSide));
            }
            auto pos = t.top.begin();
            while (pos != t.top.end()) {
                Window* o = Find(*pos);
                if (!o || !(o->exStyle & WS_EX_TOPMOST) || (w->exStyle & WS_EX_TOPMOST)) break;
                ++pos;
            }
            t.top.insert(pos, hWndChild);
        }
        InvalidateAll(w, true);
    }
    if (changedTop) CurrentScreen().WindowsChanged();
    return old;
}

namespace {

// Top-level windows of every program, in the device's z-order, when the screen is shared: the
// desktop's first child and the neighbours of a top-level window. False when this is not such a
// walk, or the window is not in the shared list (then the program's own order answers).
bool SharedDesktopWalk(HWND hWnd, UINT uCmd, HWND& out) {
    out = nullptr;
    bool sibling = uCmd == GW_HWNDFIRST || uCmd == GW_HWNDLAST || uCmd == GW_HWNDNEXT || uCmd == GW_HWNDPREV;
    if (hWnd == kDesktop ? uCmd != GW_CHILD : !sibling) return false;
    bool foreign = remote::Foreign(hWnd);
    if (hWnd != kDesktop && !foreign) {
        TreeLock g(T().lock);
        Window* w = Find(hWnd);
        if (!w || !w->TopLevel()) return false;
    }
    std::vector<qrx::screen::WindowInfo> all;
    if (!remote::AllWindows(all)) return false;
    // Windows this program has destroyed since the server's list was made are left out.
    std::vector<HWND> list;
    for (const auto& info : all)
        if (info.hwnd == hWnd || remote::Foreign(info.hwnd) || LocalWindow(info.hwnd)) list.push_back(info.hwnd);
    if (hWnd == kDesktop) {
        out = list.empty() ? nullptr : list.front();
        return true;
    }
    auto it = std::find(list.begin(), list.end(), hWnd);
    if (it == list.end()) return false;
    switch (uCmd) {
        case GW_HWNDFIRST:
            out = list.front();
            break;
        case GW_HWNDLAST:
            out = list.back();
            break;
        case GW_HWNDNEXT:
            out = it + 1 == list.end() ? nullptr : *(it + 1);
            break;
        default:
            out = it == list.begin() ? nullptr : *(it - 1);
            break;
    }
    return true;
}

}  // namespace

HWND GetWindow(HWND hWnd, UINT uCmd) {
    HWND shared = nullptr;
    if (SharedDesktopWalk(hWnd, uCmd, shared)) return shared;
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return nullptr;
    if (uCmd == GW_CHILD) {
        if (hWnd == kDesktop) return T().top.empty() ? nullptr : T().top.front();
        return w->children.empty() ? nullptr : w->children.front();
    }
    if (uCmd == GW_OWNER) return w->owner;
    if (hWnd == kDesktop) return nullptr;
    auto& list = SiblingList(w);
    auto it = std::find(list.begin(), list.end(), hWnd);
    if (it == list.end()) return nullptr;
    switch (uCmd) {
        case GW_HWNDFIRST:
            return list.front();
        case GW_HWNDLAST:
            return list.back();
        case GW_HWNDNEXT:
            return it + 1 == list.end() ? nullptr : *(it + 1);
        case GW_HWNDPREV:
            return it == list.begin() ? nullptr : *(it - 1);
        default:
            SetError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

HWND GetDesktopWindow() { return kDesktop; }

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hDlg);
    if (!w) return nullptr;
    for (HWND h : w->children) {
        Window* c = Find(h);
        if (c && c->id == static_cast<UINT_PTR>(static_cast<UINT>(nIDDlgItem))) return h;
    }
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    return w && w->parent ? static_cast<int>(w->id) : 0;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
    if (!lpRect) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return FALSE;
    POINT o = ScreenOrigin(w);
    *lpRect = RECT{o.x, o.y, o.x + w->Width(), o.y + w->Height()};
    return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
    if (!lpRect) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return FALSE;
    *lpRect = RECT{0, 0, w->Width(), w->Height()};
    return TRUE;
}

LONG GetWindowLongW(HWND hWnd, int nIndex) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return 0;
    bool ok = false;
    LONG_PTR v = GetLong(w, nIndex, false, ok);
    if (!ok) SetError(ERROR_INVALID_INDEX);
    return static_cast<LONG>(v);
}

LONG SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong) {
    return static_cast<LONG>(SetLong(hWnd, nIndex, dwNewLong, false));
}

LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex) {
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return 0;
    bool ok = false;
    LONG_PTR v = GetLong(w, nIndex, true, ok);
    if (!ok) SetError(ERROR_INVALID_INDEX);
    return v;
}

LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) { return SetLong(hWnd, nIndex, dwNewLong, true); }

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (!lpString || nMaxCount <= 0) return 0;
    lpString[0] = 0;
    if (!LocalWindow(hWnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                         reinterpret_cast<LPARAM>(lpString)));
}

BOOL SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    if (!LocalWindow(hWnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    BOOL ok = SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) ? TRUE : FALSE;
    if (!GetParent(hWnd)) CurrentScreen().WindowsChanged();
    return ok;
}

int GetWindowTextLengthW(HWND hWnd) {
    if (!LocalWindow(hWnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    std::u16string cls, title;
    bool byClass = lpClassName != nullptr, byTitle = lpWindowName != nullptr;
    if (byClass) {
        if (IS_INTRESOURCE(lpClassName)) {
            TreeLock g(T().lock);
            auto c = FindClassLocked(lpClassName);
            if (!c) {
                SetError(ERROR_CANNOT_FIND_WND_CLASS);
                return nullptr;
            }
            cls = c->name;
        } else {
            size_t n = BoundedLength(lpClassName, kMaxClassName);
            if (n > kMaxClassName) return nullptr;
            cls.assign(lpClassName, n);
        }
        cls = FoldCase(cls);
    }
    if (byTitle) {
        size_t n = BoundedLength(lpWindowName, kMaxText);
        if (n > kMaxText) return nullptr;
        title.assign(lpWindowName, n);
    }
    // Through the screen's list, which is where other programs' windows would appear too.
    for (const auto& info : CurrentScreen().ListWindows()) {
        if (byClass && FoldCase(info.className) != cls) continue;
        if (byTitle && info.title != title) continue;
        return info.hwnd;
    }
    return nullptr;
}

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    if (!lpEnumFunc) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> list;
    std::vector<qrx::screen::WindowInfo> all;
    if (remote::AllWindows(all)) {
        for (const auto& info : all) list.push_back(info.hwnd);
    } else {
        TreeLock g(T().lock);
        list = T().top;
    }
    for (HWND h : list) {
        if (!IsWindow(h) && !remote::Foreign(h)) continue;
        if (!lpEnumFunc(h, lParam)) break;
    }
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    if (remote::Foreign(hWnd)) {
        DWORD pid = 0, thread = 0;
        if (!remote::ForeignOwner(hWnd, &pid, &thread)) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (lpdwProcessId) *lpdwProcessId = pid;
        return thread;
    }
    TreeLock g(T().lock);
    Window* w = FindOrFail(hWnd);
    if (!w) return 0;
    if (lpdwProcessId) *lpdwProcessId = static_cast<DWORD>(getpid());
    return w->thread;
}
