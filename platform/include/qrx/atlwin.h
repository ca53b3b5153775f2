// The minimal window implementation base: a window object with a message map. A class derives
// from CWindowImpl<Derived>, lists its handlers between BEGIN_MSG_MAP and END_MSG_MAP (or overrides
// ProcessWindowMessage), and is told through OnFinalMessage when its window is gone.
#pragma once
#include <cstdio>

#include "types.h"
#include "winuser.h"

class CWindow {
public:
    HWND m_hWnd = nullptr;

    CWindow(HWND hWnd = nullptr) : m_hWnd(hWnd) {}
    operator HWND() const { return m_hWnd; }
    BOOL IsWindow() const { return ::IsWindow(m_hWnd); }
    BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL SetWindowPos(HWND hWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) {
        return ::SetWindowPos(m_hWnd, hWndInsertAfter, x, y, cx, cy, nFlags);
    }
    BOOL SetWindowPos(HWND hWndInsertAfter, const RECT* rc, UINT nFlags) {
        return ::SetWindowPos(m_hWnd, hWndInsertAfter, rc->left, rc->top, rc->right - rc->left,
                              rc->bottom - rc->top, nFlags);
    }
    BOOL MoveWindow(int x, int y, int cx, int cy, BOOL bRepaint = TRUE) {
        return ::MoveWindow(m_hWnd, x, y, cx, cy, bRepaint);
    }
    BOOL Invalidate(BOOL bErase = TRUE) { return ::InvalidateRect(m_hWnd, nullptr, bErase); }
    BOOL InvalidateRect(const RECT* rc, BOOL bErase = TRUE) { return ::InvalidateRect(m_hWnd, rc, bErase); }
    BOOL UpdateWindow() { return ::UpdateWindow(m_hWnd); }
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL GetClientRect(LPRECT rc) const { return ::GetClientRect(m_hWnd, rc); }
    BOOL GetWindowRect(LPRECT rc) const { return ::GetWindowRect(m_hWnd, rc); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    BOOL SetWindowText(LPCWSTR text) { return ::SetWindowTextW(m_hWnd, text); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc = nullptr) {
        return ::SetTimer(m_hWnd, id, elapse, proc);
    }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    HDC GetDC() { return ::GetDC(m_hWnd); }
    int ReleaseDC(HDC hDC) { return ::ReleaseDC(m_hWnd, hDC); }
};

// Message map of a window class. Handlers: LRESULT OnX(UINT msg, WPARAM, LPARAM, BOOL& bHandled);
// bHandled comes in TRUE and a handler clears it to let the message go on.
#define BEGIN_MSG_MAP(theClass)                                                                          \
public:                                                                                                   \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override { \
        BOOL bHandled = TRUE;                                                                             \
        (void)hWnd;                                                                                       \
        (void)bHandled;
#define MESSAGE_HANDLER(msg, func)                        \
    if (uMsg == (msg)) {                                  \
        bHandled = TRUE;                                  \
        lResult = func(uMsg, wParam, lParam, bHandled);   \
        if (bHandled) return TRUE;                        \
    }
#define MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func)    \
    if (uMsg >= (msgFirst) && uMsg <= (msgLast)) {        \
        bHandled = TRUE;                                  \
        lResult = func(uMsg, wParam, lParam, bHandled);   \
        if (bHandled) return TRUE;                        \
    }
#define CHAIN_MSG_MAP(theChainClass)                                                        \
    if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) return TRUE;
#define END_MSG_MAP() \
    return FALSE;     \
    }

class CWindowImplRoot : public CWindow {
public:
    virtual ~CWindowImplRoot() = default;
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) {
        return FALSE;
    }
    // Called once the window is gone (after WM_NCDESTROY); m_hWnd is already null.
    virtual void OnFinalMessage(HWND hWnd) {}
    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
        return ::CallWindowProcW(m_pfnSuperWindowProc, m_hWnd, uMsg, wParam, lParam);
    }

    WNDPROC m_pfnSuperWindowProc = ::DefWindowProcW;

    // The procedure of every window made through this base.
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
        auto* self = static_cast<CWindowImplRoot*>(qrx::GetWindowImpl(hWnd));
        if (!self) return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
        if (!self->m_hWnd) self->m_hWnd = hWnd;
        LRESULT result = 0;
        if (!self->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result))
            result = ::CallWindowProcW(self->m_pfnSuperWindowProc, hWnd, uMsg, wParam, lParam);
        if (uMsg == WM_NCDESTROY) {
            self->m_hWnd = nullptr;
            self->OnFinalMessage(hWnd);
        }
        return result;
    }

protected:
    HWND CreateWithClass(LPCWSTR className, HWND hWndParent, const RECT* rc, LPCWSTR windowName, DWORD style,
                         DWORD exStyle, UINT_PTR id, LPVOID createParam) {
        if (m_hWnd) return nullptr;  // one window per object
        RECT r = rc ? *rc : RECT{0, 0, 0, 0};
        qrx::SetNextWindowImpl(this);
        HWND h = ::CreateWindowExW(exStyle, className, windowName, style, r.left, r.top, r.right - r.left,
                                   r.bottom - r.top, hWndParent, reinterpret_cast<HMENU>(id), nullptr, createParam);
        qrx::SetNextWindowImpl(nullptr);
        if (h) m_hWnd = h;
        return h;
    }
};

// Names the window class of a type; without it each type gets a class of its own.
#define DECLARE_WND_CLASS(name) \
    static LPCWSTR GetWndClassName() { return name; }

// The class is registered on the first Create; a class of that name registered before by other code
// is used as it is.
template <class T, class TBase = CWindow>
class CWindowImpl : public CWindowImplRoot {
public:
    static LPCWSTR GetWndClassName() { return nullptr; }
    static UINT GetWndClassStyle() { return CS_DBLCLKS; }

    HWND Create(HWND hWndParent, const RECT* rc = nullptr, LPCWSTR windowName = nullptr, DWORD style = 0,
                DWORD exStyle = 0, UINT_PTR id = 0, LPVOID createParam = nullptr) {
        LPCWSTR name = T::GetWndClassName();
        if (!name) name = AutoClassName();
        WNDCLASSW wc{};
        wc.style = T::GetWndClassStyle();
        wc.lpfnWndProc = &CWindowImplRoot::WindowProc;
        wc.lpszClassName = name;
        ::RegisterClassW(&wc);
        return CreateWithClass(name, hWndParent, rc, windowName, style, exStyle, id, createParam);
    }

private:
    static LPCWSTR AutoClassName() {
        // One static per T: the address of this function's static makes the name unique.
        static WCHAR name[40];
        if (!name[0]) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "QrxWnd%p", static_cast<const void*>(&name));
            for (size_t i = 0; i < sizeof buf && buf[i]; ++i) name[i] = static_cast<WCHAR>(buf[i]);
        }
        return name;
    }
};
