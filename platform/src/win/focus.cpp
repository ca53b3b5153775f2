// Activation (one foreground window, an active window per thread), keyboard focus per thread,
// the pen capture, and enabling windows.
#include <algorithm>

#include "win/remote.h"
#include "win/win.h"

namespace qrx::win {
namespace {

// Tells a window of any thread without waiting for it.
void Notify(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (ThreadOf(hwnd) == GetCurrentThreadId())
        SendMessageW(hwnd, msg, wParam, lParam);
    else
        SendNotifyMessageW(hwnd, msg, wParam, lParam);
}

// On the thread of a window that lost the foreground to another thread's window.
void Deactivate(HWND previous, HWND next) {
    HWND focus = nullptr;
    {
        TreeLock g(T().lock);
        auto& t = T();
        auto& ts = t.threads[GetCurrentThreadId()];
        if (ts.active != previous || t.foreground == previous) return;
        ts.active = nullptr;
        focus = ts.focus;
        ts.focus = nullptr;
    }
    SendMessageW(previous, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(next));
    if (focus) SendMessageW(focus, WM_KILLFOCUS, 0, 0);
}

}  // namespace

void ActivateWindow(HWND top, bool click) {
    const DWORD self = GetCurrentThreadId();
    HWND old = nullptr, previousForeground = nullptr;
    DWORD previousThread = 0;
    {
        TreeLock g(T().lock);
        auto& t = T();
        Window* w = Find(top);
        if (!w || w->thread != self || w->destroying || !w->TopLevel() || (w->style & WS_DISABLED)) return;
        auto& ts = t.threads[self];
        old = ts.active;
        previousForeground = t.foreground;
        if (previousForeground && previousForeground != top) {
            Window* p = Find(previousForeground);
            previousThread = p ? p->thread : 0;
        }
        BringToTop(w);
        ts.active = top;
        t.foreground = top;
        ++t.activations;
    }
    CurrentScreen().WindowsChanged();
    if (previousThread && previousThread != self)
        RunOnThread(previousThread, [previousForeground, top] { Deactivate(previousForeground, top); });
    if (old == top) return;
    if (old && IsWindow(old)) SendMessageW(old, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(top));
    SendMessageW(top, WM_ACTIVATE, click ? WA_CLICKACTIVE : WA_ACTIVE, reinterpret_cast<LPARAM>(old));
    // The focus never stays in a window that is no longer active.
    bool outside = false;
    {
        TreeLock g(T().lock);
        auto& ts = T().threads[self];
        Window* w = Find(top);
        outside = ts.focus && (!w || !IsInTree(w, ts.focus)) && ts.active == top;
    }
    if (outside) SetFocus(nullptr);
}

void ClickActivate(HWND hwnd) {
    HWND top = nullptr;
    {
        TreeLock g(T().lock);
        auto& t = T();
        Window* w = Find(hwnd);
        Window* r = Root(w);
        if (!r || r->thread != GetCurrentThreadId() || (r->exStyle & WS_EX_NOACTIVATE) || !VisibleChain(r) ||
            !EnabledChain(r))
            return;
        if (t.threads[r->thread].active == r->hwnd && t.foreground == r->hwnd) return;
        top = r->hwnd;
    }
    ActivateWindow(top, true);
}

void AfterHidden(HWND hwnd) {
    const DWORD self = GetCurrentThreadId();
    HWND next = nullptr, lostCapture = nullptr;
    bool wasActive = false;
    {
        TreeLock g(T().lock);
        auto& t = T();
        Window* w = Find(hwnd);
        if (!w) return;
        if (t.capture && IsInTree(w, t.capture)) {
            lostCapture = t.capture;
            t.capture = nullptr;
        }
        auto& ts = t.threads[w->thread];
        if (w->TopLevel() && ts.active == hwnd && w->thread == self) {
            wasActive = true;
            next = NextToActivate(self, hwnd, w->owner);
        }
    }
    if (lostCapture) Notify(lostCapture, WM_CAPTURECHANGED, 0, 0);
    if (!wasActive) return;
    if (next) {
        ActivateWindow(next, false);
        return;
    }
    HWND focus = nullptr;
    {
        TreeLock g(T().lock);
        auto& t = T();
        auto& ts = t.threads[self];
        if (ts.active != hwnd) return;
        ts.active = nullptr;
        if (t.foreground == hwnd) t.foreground = nullptr;
        focus = ts.focus;
        ts.focus = nullptr;
    }
    SendMessageW(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    if (focus) SendMessageW(focus, WM_KILLFOCUS, 0, 0);
}

void ReleaseCaptureOf(const std::vector<HWND>& windows) {
    auto& t = T();
    if (t.capture && std::find(windows.begin(), windows.end(), t.capture) != windows.end()) t.capture = nullptr;
}

}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

BOOL SetForegroundWindow(HWND hWnd) {
    if (remote::Foreign(hWnd)) return remote::Call(remote::Op::Foreground, hWnd) ? TRUE : FALSE;
    HWND top = nullptr;
    DWORD thread = 0;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        Window* r = Root(w);
        if (!r || hWnd == kDesktop) return FALSE;
        top = r->hwnd;
        thread = r->thread;
    }
    if (thread == GetCurrentThreadId()) {
        ActivateWindow(top, false);
        return TRUE;
    }
    return RunOnThread(thread, [top] { ActivateWindow(top, false); }) ? TRUE : FALSE;
}

HWND GetForegroundWindow() {
    TreeLock g(T().lock);
    return T().foreground;
}

HWND SetActiveWindow(HWND hWnd) {
    const DWORD self = GetCurrentThreadId();
    HWND old = nullptr, top = nullptr;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        Window* r = Root(w);
        if (!r || hWnd == kDesktop) return nullptr;
        if (r->thread != self || (r->style & WS_DISABLED)) {
            SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        old = T().threads[self].active;
        top = r->hwnd;
    }
    ActivateWindow(top, false);
    return old;
}

HWND GetActiveWindow() {
    TreeLock g(T().lock);
    auto& ts = T().threads;
    auto it = ts.find(GetCurrentThreadId());
    return it == ts.end() ? nullptr : it->second.active;
}

HWND SetFocus(HWND hWnd) {
    const DWORD self = GetCurrentThreadId();
    HWND old = nullptr;
    if (!hWnd) {
        {
            TreeLock g(T().lock);
            auto& ts = T().threads[self];
            old = ts.focus;
            ts.focus = nullptr;
        }
        if (old) SendMessageW(old, WM_KILLFOCUS, 0, 0);
        return old;
    }
    HWND top = nullptr, previous = nullptr;
    bool activate = false;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w) return nullptr;
        if (w->thread != self || hWnd == kDesktop) {
            SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        top = Root(w)->hwnd;
        auto& ts = T().threads[self];
        activate = ts.active != top;
        previous = ts.focus;
    }
    // Activation may already move the focus; the answer is still the focus before the call.
    if (activate) ActivateWindow(top, false);
    {
        TreeLock g(T().lock);
        if (!Find(hWnd)) return nullptr;
        auto& ts = T().threads[self];
        old = ts.focus;
        if (old == hWnd) return previous;
        ts.focus = hWnd;
    }
    if (old && IsWindow(old)) SendMessageW(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    bool still = false;
    {
        TreeLock g(T().lock);
        still = T().threads[self].focus == hWnd;
    }
    if (still) SendMessageW(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
    return activate ? previous : old;
}

HWND GetFocus() {
    TreeLock g(T().lock);
    auto& ts = T().threads;
    auto it = ts.find(GetCurrentThreadId());
    return it == ts.end() ? nullptr : it->second.focus;
}

HWND SetCapture(HWND hWnd) {
    HWND old = nullptr;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w) return nullptr;
        if (w->thread != GetCurrentThreadId()) {
            SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        old = T().capture;
        T().capture = hWnd;
    }
    // A screen shared with other programs routes the pen by the capture.
    if (old != hWnd) CurrentScreen().WindowsChanged();
    if (old && old != hWnd && IsWindow(old)) {
        if (ThreadOf(old) == GetCurrentThreadId())
            SendMessageW(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
        else
            SendNotifyMessageW(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
    }
    return old;
}

BOOL ReleaseCapture() {
    HWND old = nullptr;
    {
        TreeLock g(T().lock);
        auto& t = T();
        Window* w = Find(t.capture);
        if (!w || w->thread != GetCurrentThreadId()) return TRUE;
        old = t.capture;
        t.capture = nullptr;
    }
    CurrentScreen().WindowsChanged();
    SendMessageW(old, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND GetCapture() {
    TreeLock g(T().lock);
    Window* w = Find(T().capture);
    return w && w->thread == GetCurrentThreadId() ? w->hwnd : nullptr;
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
    bool wasDisabled = false;
    {
        TreeLock g(T().lock);
        Window* w = FindOrFail(hWnd);
        if (!w) return FALSE;
        wasDisabled = (w->style & WS_DISABLED) != 0;
        if (wasDisabled == !bEnable) return wasDisabled ? TRUE : FALSE;
        if (bEnable)
            w->style &= ~static_cast<DWORD>(WS_DISABLED);
        else
            w->style |= WS_DISABLED;
    }
    if (!bEnable) SendMessageW(hWnd, WM_CANCELMODE, 0, 0);
    SendMessageW(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    return wasDisabled ? TRUE : FALSE;
}
