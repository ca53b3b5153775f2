// Windows: creation and destruction, the tree and z-order, activation and focus, window data,
// and the window implementation base.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/atlwin.h"
#include "qrx/screen.h"

namespace {

struct Rec {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
};
std::vector<Rec> g_log;
std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool&)> g_hook;

LRESULT CALLBACK RecProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    g_log.push_back({h, m, w, l});
    if (g_hook) {
        bool handled = false;
        LRESULT r = g_hook(h, m, w, l, handled);
        if (handled) return r;
    }
    return DefWindowProcW(h, m, w, l);
}

const WCHAR kClass[] = u"WindowTestRec";

class WindowTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = RecProc;
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        g_log.clear();
        g_hook = nullptr;
    }
    void TearDown() override {
        g_hook = nullptr;
        for (HWND h : made)
            if (IsWindow(h)) DestroyWindow(h);
        MSG m;
        for (int i = 0; i < 10000 && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++i) DispatchMessageW(&m);
    }
    HWND Make(DWORD style, int x, int y, int w, int h, HWND parent = nullptr, DWORD ex = 0, UINT_PTR id = 0,
              const WCHAR* title = u"") {
        HWND hwnd = CreateWindowExW(ex, kClass, title, style, x, y, w, h, parent, reinterpret_cast<HMENU>(id),
                                    nullptr, nullptr);
        if (hwnd) made.push_back(hwnd);
        return hwnd;
    }
    // The messages of interest in order, as "window index:message".
    std::vector<std::pair<HWND, UINT>> Seen(std::initializer_list<UINT> which) {
        std::vector<std::pair<HWND, UINT>> out;
        for (auto& r : g_log)
            for (UINT m : which)
                if (r.msg == m) out.emplace_back(r.hwnd, r.msg);
        return out;
    }
    std::vector<HWND> made;
};

TEST_F(WindowTest, CreationMessagesAndFailingCreate) {
    int param = 5;
    CREATESTRUCTW seen{};
    g_hook = [&](HWND, UINT m, WPARAM, LPARAM l, bool& handled) -> LRESULT {
        if (m == WM_CREATE) seen = *reinterpret_cast<CREATESTRUCTW*>(l);
        return 0;
    };
    HWND parent = Make(WS_POPUP | WS_VISIBLE, 100, 50, 400, 300);
    HWND child = CreateWindowExW(0, kClass, u"kid", WS_CHILD | WS_VISIBLE, 10, 20, 30, 40, parent,
                                 reinterpret_cast<HMENU>(77), nullptr, &param);
    ASSERT_NE(child, nullptr);
    made.push_back(child);
    EXPECT_EQ(seen.lpCreateParams, &param);
    EXPECT_EQ(seen.hwndParent, parent);
    EXPECT_EQ(seen.x, 10);
    EXPECT_EQ(seen.cy, 40);
    EXPECT_EQ(GetDlgCtrlID(child), 77);
    EXPECT_EQ(GetDlgItem(parent, 77), child);
    EXPECT_EQ(GetParent(child), parent);
    RECT r;
    GetWindowRect(child, &r);
    EXPECT_EQ(r.left, 110);
    EXPECT_EQ(r.top, 70);
    GetClientRect(child, &r);
    EXPECT_EQ(r.right, 30);
    POINT p{1, 2};
    ClientToScreen(child, &p);
    EXPECT_EQ(p.x, 111);
    EXPECT_EQ(p.y, 72);
    POINT q{0, 0};
    EXPECT_EQ(MapWindowPoints(child, parent, &q, 1), MAKELONG(10, 20));
    EXPECT_EQ(q.x, 10);
    // After WM_CREATE come WM_SIZE and WM_MOVE.
    auto order = Seen({WM_CREATE, WM_SIZE, WM_MOVE});
    ASSERT_GE(order.size(), 6u);
    EXPECT_EQ(order[3], std::make_pair(child, static_cast<UINT>(WM_CREATE)));
    EXPECT_EQ(order[4], std::make_pair(child, static_cast<UINT>(WM_SIZE)));

    // WM_CREATE answering -1 fails the creation, and the window still hears WM_DESTROY.
    g_log.clear();
    g_hook = [&](HWND, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (m != WM_CREATE) return 0;
        handled = true;
        return -1;
    };
    EXPECT_EQ(Make(WS_POPUP, 0, 0, 10, 10), nullptr);
    ASSERT_FALSE(g_log.empty());
    HWND failed = g_log.front().hwnd;
    EXPECT_FALSE(IsWindow(failed));
    EXPECT_EQ(Seen({WM_CREATE, WM_DESTROY, WM_NCDESTROY}).size(), 3u);
    EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(CreateWindowExW(0, kClass, u"", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
}

TEST_F(WindowTest, DestructionOrderAndWhatGoesWithIt) {
    HWND top = Make(WS_POPUP | WS_VISIBLE, 0, 0, 200, 200);
    HWND a = Make(WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, top);
    HWND a1 = Make(WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, a);
    HWND b = Make(WS_CHILD | WS_VISIBLE, 60, 0, 50, 50, top);
    HWND owned = Make(WS_POPUP | WS_VISIBLE, 0, 0, 20, 20, top);
    SetFocus(a1);
    SetCapture(b);
    SetTimer(a, 1, 10, nullptr);
    PostMessageW(a1, WM_USER, 0, 0);
    g_log.clear();
    bool aliveDuringDestroy = false;
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool&) -> LRESULT {
        if (m == WM_DESTROY && h == a1) aliveDuringDestroy = IsWindow(a1) && IsWindow(top);
        return 0;
    };
    EXPECT_TRUE(DestroyWindow(top));
    auto order = Seen({WM_DESTROY, WM_NCDESTROY});
    std::vector<std::pair<HWND, UINT>> expected = {
        {owned, WM_DESTROY}, {owned, WM_NCDESTROY}, {top, WM_DESTROY},  {a, WM_DESTROY},  {a1, WM_DESTROY},
        {b, WM_DESTROY},     {b, WM_NCDESTROY},     {a1, WM_NCDESTROY}, {a, WM_NCDESTROY}, {top, WM_NCDESTROY}};
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(aliveDuringDestroy);
    for (HWND h : {top, a, a1, b, owned}) EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(GetFocus(), nullptr);
    EXPECT_EQ(GetCapture(), nullptr);
    MSG m;
    Sleep(30);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));  // neither the post nor the timer
    EXPECT_FALSE(DestroyWindow(top));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowTest, WindowDestroyedDuringItsTreesDestructionFinishesAtOnce) {
    HWND top = Make(WS_POPUP | WS_VISIBLE, 0, 0, 200, 200);
    HWND a = Make(WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, top);
    HWND a1 = Make(WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, a);
    HWND b = Make(WS_CHILD | WS_VISIBLE, 60, 0, 50, 50, top);
    HWND c = Make(WS_CHILD | WS_VISIBLE, 120, 0, 50, 50, top);
    // Each window stands for a C++ object that dies with WM_NCDESTROY, as the UI's controls do:
    // any message after that touches freed memory.
    std::map<HWND, int*> objects;
    for (HWND h : {top, a, a1, b, c}) objects[h] = new int(0);
    bool inside = false;
    BOOL nestedResult = FALSE;
    std::vector<std::pair<HWND, UINT>> seenInside;
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool&) -> LRESULT {
        auto it = objects.find(h);
        if (it == objects.end()) return 0;
        ++*it->second;
        if (m == WM_DESTROY && h == top) {
            // The parent takes down one child itself.
            nestedResult = DestroyWindow(a);
            seenInside = Seen({WM_DESTROY, WM_NCDESTROY});
            inside = !IsWindow(a) && !IsWindow(a1) && IsWindow(b) && IsWindow(top);
            EXPECT_EQ(SendMessageW(a, WM_USER, 0, 0), 0);
        }
        if (m == WM_DESTROY && h == b) DestroyWindow(b);  // from its own handler
        if (m == WM_NCDESTROY) delete it->second;
        return 0;
    };
    EXPECT_TRUE(DestroyWindow(top));
    EXPECT_TRUE(nestedResult);
    EXPECT_TRUE(inside);
    std::vector<std::pair<HWND, UINT>> expectedInside = {
        {top, WM_DESTROY}, {a, WM_DESTROY}, {a1, WM_DESTROY}, {a1, WM_NCDESTROY}, {a, WM_NCDESTROY}};
    EXPECT_EQ(seenInside, expectedInside);
    for (HWND h : {top, a, a1, b, c}) {
        EXPECT_FALSE(IsWindow(h));
        int destroys = 0, ncdestroys = 0;
        for (auto& r : g_log) {
            if (r.hwnd != h) continue;
            destroys += r.msg == WM_DESTROY;
            ncdestroys += r.msg == WM_NCDESTROY;
        }
        EXPECT_EQ(destroys, 1);
        EXPECT_EQ(ncdestroys, 1);
    }
    // The window destroyed from its own handler ends before its later siblings are reached.
    auto order = Seen({WM_DESTROY, WM_NCDESTROY});
    auto bEnd = std::find(order.begin(), order.end(), std::make_pair(b, static_cast<UINT>(WM_NCDESTROY)));
    auto cStart = std::find(order.begin(), order.end(), std::make_pair(c, static_cast<UINT>(WM_DESTROY)));
    EXPECT_LT(bEnd, cStart);
    EXPECT_EQ(order.back(), std::make_pair(top, static_cast<UINT>(WM_NCDESTROY)));
    g_log.clear();
    EXPECT_EQ(SendMessageW(b, WM_USER, 0, 0), 0);
    EXPECT_TRUE(g_log.empty());

    // A top-level window destroying itself again from its own WM_DESTROY ends once.
    HWND self = Make(WS_POPUP | WS_VISIBLE, 0, 0, 50, 50);
    HWND kid = Make(WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, self);
    g_log.clear();
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool&) -> LRESULT {
        if (m == WM_DESTROY && h == self) {
            EXPECT_TRUE(DestroyWindow(self));
        }
        return 0;
    };
    EXPECT_TRUE(DestroyWindow(self));
    std::vector<std::pair<HWND, UINT>> expectedSelf = {
        {self, WM_DESTROY}, {kid, WM_DESTROY}, {kid, WM_NCDESTROY}, {self, WM_NCDESTROY}};
    EXPECT_EQ(Seen({WM_DESTROY, WM_NCDESTROY}), expectedSelf);
    EXPECT_FALSE(IsWindow(self));
    EXPECT_FALSE(IsWindow(kid));
}

TEST_F(WindowTest, ActivationAndFocusMessagesCarryTheOtherWindow) {
    HWND a = Make(WS_POPUP | WS_VISIBLE, 0, 0, 100, 100);
    HWND b = Make(WS_POPUP, 200, 0, 100, 100);
    HWND bChild = Make(WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, b);
    EXPECT_EQ(GetActiveWindow(), a);
    EXPECT_EQ(GetForegroundWindow(), a);
    EXPECT_EQ(GetFocus(), a);
    g_log.clear();
    ShowWindow(b, SW_SHOW);  // showing activates
    std::vector<Rec> acts;
    for (auto& r : g_log)
        if (r.msg == WM_ACTIVATE || r.msg == WM_SETFOCUS || r.msg == WM_KILLFOCUS) acts.push_back(r);
    ASSERT_EQ(acts.size(), 4u);
    EXPECT_EQ(acts[0].hwnd, a);
    EXPECT_EQ(acts[0].msg, static_cast<UINT>(WM_ACTIVATE));
    EXPECT_EQ(LOWORD(acts[0].w), WA_INACTIVE);
    EXPECT_EQ(reinterpret_cast<HWND>(acts[0].l), b);
    EXPECT_EQ(acts[1].hwnd, b);
    EXPECT_EQ(LOWORD(acts[1].w), WA_ACTIVE);
    EXPECT_EQ(reinterpret_cast<HWND>(acts[1].l), a);
    EXPECT_EQ(acts[2].hwnd, a);
    EXPECT_EQ(acts[2].msg, static_cast<UINT>(WM_KILLFOCUS));
    EXPECT_EQ(reinterpret_cast<HWND>(acts[2].w), b);
    EXPECT_EQ(acts[3].hwnd, b);
    EXPECT_EQ(acts[3].msg, static_cast<UINT>(WM_SETFOCUS));
    EXPECT_EQ(reinterpret_cast<HWND>(acts[3].w), a);
    EXPECT_EQ(GetActiveWindow(), b);

    EXPECT_EQ(SetFocus(bChild), b);
    EXPECT_EQ(GetFocus(), bChild);
    // Focusing a window of the other top-level window activates that one first.
    g_log.clear();
    EXPECT_EQ(SetFocus(a), bChild);
    EXPECT_EQ(GetActiveWindow(), a);
    auto seen = Seen({WM_ACTIVATE, WM_KILLFOCUS, WM_SETFOCUS});
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), std::make_pair(b, static_cast<UINT>(WM_ACTIVATE)));
    EXPECT_EQ(seen[2], std::make_pair(bChild, static_cast<UINT>(WM_KILLFOCUS)));
    // Hiding or destroying the active window activates another.
    ShowWindow(a, SW_HIDE);
    EXPECT_EQ(GetActiveWindow(), b);
    DestroyWindow(b);
    EXPECT_EQ(GetActiveWindow(), nullptr);
    EXPECT_EQ(GetFocus(), nullptr);
    // A disabled window cannot be activated.
    ShowWindow(a, SW_SHOWNA);
    EnableWindow(a, FALSE);
    EXPECT_EQ(SetActiveWindow(a), nullptr);
    EXPECT_EQ(GetActiveWindow(), nullptr);
    EXPECT_TRUE(EnableWindow(a, TRUE));  // it was disabled
}

TEST_F(WindowTest, ZOrderKeepsTheTopmostBandInFront) {
    HWND a = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10);
    HWND t = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, WS_EX_TOPMOST);
    HWND b = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10);
    auto order = [&] {
        std::vector<HWND> out;
        for (HWND h = GetWindow(a, GW_HWNDFIRST); h; h = GetWindow(h, GW_HWNDNEXT))
            if (h == a || h == b || h == t) out.push_back(h);
        return out;
    };
    EXPECT_EQ(order(), (std::vector<HWND>{t, b, a}));
    SetWindowPos(a, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(order(), (std::vector<HWND>{t, a, b}));
    SetWindowPos(b, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(order(), (std::vector<HWND>{b, t, a}));
    EXPECT_TRUE(GetWindowLongW(b, GWL_EXSTYLE) & WS_EX_TOPMOST);
    // Placing a normal window after a topmost one keeps it below the band.
    SetWindowPos(a, b, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EXPECT_EQ(order(), (std::vector<HWND>{b, t, a}));
    SetWindowPos(b, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(order(), (std::vector<HWND>{t, b, a}));
    SetWindowPos(t, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EXPECT_EQ(order(), (std::vector<HWND>{b, a, t}));
    EXPECT_FALSE(GetWindowLongW(t, GWL_EXSTYLE) & WS_EX_TOPMOST);
    // A window made topmost takes the windows it owns along, and they stay in front of it.
    HWND box = Make(WS_POPUP | WS_VISIBLE, 0, 0, 5, 5, a);
    SetWindowPos(a, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(GetWindow(a, GW_HWNDFIRST), box);
    EXPECT_EQ(GetWindow(box, GW_HWNDNEXT), a);
    EXPECT_TRUE(GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
    SetWindowPos(a, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_FALSE(GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(box, GW_HWNDNEXT), a);
    // Children: the first made is in front; HWND_BOTTOM sends one to the back.
    HWND c1 = Make(WS_CHILD, 0, 0, 5, 5, a);
    HWND c2 = Make(WS_CHILD, 0, 0, 5, 5, a);
    EXPECT_EQ(GetWindow(a, GW_CHILD), c1);
    EXPECT_EQ(GetWindow(c1, GW_HWNDNEXT), c2);
    SetWindowPos(c1, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(GetWindow(a, GW_CHILD), c2);
    EXPECT_EQ(GetWindow(c2, GW_HWNDLAST), c1);
    EXPECT_EQ(GetWindow(c1, GW_HWNDPREV), c2);
}

TEST_F(WindowTest, OwnedWindowsStayAboveTheirOwnerWhenItIsRaised) {
    HWND owner = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10);
    HWND box = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, owner, WS_EX_TOPMOST);
    HWND tool = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, owner);
    HWND other = Make(WS_POPUP | WS_VISIBLE, 0, 0, 10, 10);
    auto order = [&] {
        std::vector<HWND> out;
        for (HWND h = GetWindow(owner, GW_HWNDFIRST); h; h = GetWindow(h, GW_HWNDNEXT))
            if (h == owner || h == box || h == tool || h == other) out.push_back(h);
        return out;
    };
    // An owner made topmost while its box is up keeps the box, and its other windows, in front of it.
    SetWindowPos(owner, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EXPECT_EQ(order(), (std::vector<HWND>{box, tool, owner, other}));
    EXPECT_TRUE(GetWindowLongW(tool, GWL_EXSTYLE) & WS_EX_TOPMOST);
    SetWindowPos(other, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowPos(owner, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    EXPECT_EQ(order(), (std::vector<HWND>{box, tool, owner, other}));
}

TEST_F(WindowTest, PositionVisibilityAndTheirMessages) {
    HWND w = Make(WS_POPUP, 0, 0, 100, 100);
    g_log.clear();
    EXPECT_FALSE(ShowWindow(w, SW_SHOWNA));
    EXPECT_TRUE(IsWindowVisible(w));
    EXPECT_NE(GetActiveWindow(), w);  // SW_SHOWNA does not activate
    EXPECT_TRUE(ShowWindow(w, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(w));
    auto shows = Seen({WM_SHOWWINDOW});
    EXPECT_EQ(shows.size(), 2u);
    g_log.clear();
    MoveWindow(w, 5, 6, 70, 80, TRUE);
    auto moves = Seen({WM_WINDOWPOSCHANGED, WM_MOVE, WM_SIZE});
    ASSERT_EQ(moves.size(), 3u);
    for (auto& r : g_log) {
        if (r.msg == WM_SIZE) {
            EXPECT_EQ(r.l, MAKELPARAM(70, 80));
        }
        if (r.msg == WM_MOVE) {
            EXPECT_EQ(r.l, MAKELPARAM(5, 6));
        }
    }
    g_log.clear();
    SetWindowPos(w, nullptr, 9, 9, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_EQ(Seen({WM_SIZE}).size(), 0u);
    EXPECT_EQ(Seen({WM_MOVE}).size(), 1u);
    // A hidden parent hides its children.
    HWND c = Make(WS_CHILD | WS_VISIBLE, 0, 0, 5, 5, w);
    EXPECT_FALSE(IsWindowVisible(c));
    ShowWindow(w, SW_SHOWNA);
    EXPECT_TRUE(IsWindowVisible(c));
    // Huge sizes are held to a sane range rather than overflowing.
    EXPECT_TRUE(SetWindowPos(w, nullptr, 0x7FFFFFF0, 0, 0x7FFFFFFF, 10, SWP_NOZORDER | SWP_NOACTIVATE));
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_GT(r.right, r.left);
    // A surface of zero width or height grows and shrinks again without touching absent rows.
    EXPECT_TRUE(SetWindowPos(w, nullptr, 0, 0, 0, 40, SWP_NOZORDER | SWP_NOACTIVATE));
    EXPECT_TRUE(SetWindowPos(w, nullptr, 0, 0, 30, 40, SWP_NOZORDER | SWP_NOACTIVATE));
    EXPECT_TRUE(SetWindowPos(w, nullptr, 0, 0, 30, 0, SWP_NOZORDER | SWP_NOACTIVATE));
    EXPECT_TRUE(SetWindowPos(w, nullptr, 0, 0, 20, 20, SWP_NOZORDER | SWP_NOACTIVATE));
}

TEST_F(WindowTest, WindowDataClassesAndLookup) {
    HWND w = Make(WS_POPUP, 0, 0, 10, 10, nullptr, 0, 0, u"First title");
    EXPECT_EQ(SetWindowLongW(w, GWL_USERDATA, 1234), 0);
    EXPECT_EQ(GetWindowLongW(w, GWL_USERDATA), 1234);
    int object = 0;
    SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&object));
    EXPECT_EQ(GetWindowLongPtrW(w, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&object));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE)) & WS_POPUP, static_cast<DWORD>(WS_POPUP));
    EXPECT_EQ(GetWindowLongPtrW(w, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&RecProc));
    // The 32-bit form cannot carry a procedure here, and the extra bytes are bounded.
    EXPECT_EQ(SetWindowLongW(w, GWL_WNDPROC, 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetWindowLongW(w, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));

    WCHAR buffer[8];
    EXPECT_EQ(GetWindowTextLengthW(w), 11);
    EXPECT_EQ(GetWindowTextW(w, buffer, 8), 7);
    EXPECT_EQ(std::u16string(buffer), u"First t");
    EXPECT_TRUE(SetWindowTextW(w, u"Second"));
    EXPECT_EQ(FindWindowW(kClass, u"Second"), w);
    EXPECT_EQ(FindWindowW(u"windowtestrec", u"Second"), w);  // class names ignore case
    EXPECT_EQ(FindWindowW(nullptr, u"First title"), nullptr);
    EXPECT_EQ(GetClassNameW(w, buffer, 8), 7);
    EXPECT_EQ(std::u16string(buffer), u"WindowT");
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(w, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());
    std::vector<HWND> listed;
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&listed));
    EXPECT_NE(std::find(listed.begin(), listed.end(), w), listed.end());

    WNDCLASSW wc{};
    wc.lpfnWndProc = RecProc;
    wc.lpszClassName = kClass;
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    wc.lpszClassName = u"WindowTestExtra";
    wc.cbWndExtra = 8;
    ATOM atom = RegisterClassW(&wc);
    ASSERT_NE(atom, 0);
    HWND x = CreateWindowExW(0, MAKEINTRESOURCEW(atom), u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(SetWindowLongW(x, 4, 99), 0);
    EXPECT_EQ(GetWindowLongW(x, 4), 99);
    EXPECT_EQ(GetWindowLongW(x, 6), 0);  // would read past the 8 bytes
    EXPECT_FALSE(UnregisterClassW(u"WindowTestExtra", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    DestroyWindow(x);
    EXPECT_TRUE(UnregisterClassW(u"WindowTestExtra", nullptr));
    EXPECT_FALSE(UnregisterClassW(u"WindowTestExtra", nullptr));
}

TEST_F(WindowTest, WorkAreaChangeIsBroadcastAndMetricsAreTheDevice) {
    HWND w = Make(WS_POPUP, 0, 0, 10, 10);
    RECT area{0, 0, 800, 440};
    EXPECT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, SPIF_SENDCHANGE));
    auto seen = Seen({WM_SETTINGCHANGE});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, w);
    RECT got{};
    EXPECT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &got, 0));
    EXPECT_TRUE(EqualRect(&got, &area));
    RECT bad{0, 0, 900, 480};
    EXPECT_FALSE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &bad, 0));
    RECT full{0, 0, 800, 480};
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &full, 0);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 480);
    EXPECT_GT(GetSystemMetrics(SM_CXDOUBLECLK), 0);
    EXPECT_EQ(GetSysColor(COLOR_WINDOW), RGB(255, 255, 255));
    HBRUSH brush = GetSysColorBrush(COLOR_WINDOW);
    DeleteObject(brush);  // system brushes survive it
    EXPECT_EQ(GetSysColorBrush(COLOR_WINDOW), brush);
    LOGBRUSH lb{};
    EXPECT_EQ(GetObjectW(brush, sizeof lb, &lb), static_cast<int>(sizeof lb));
}

class Panel : public CWindowImpl<Panel> {
public:
    DECLARE_WND_CLASS(u"WindowTestPanel")
    BEGIN_MSG_MAP(Panel)
    MESSAGE_HANDLER(WM_USER, OnUser)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    END_MSG_MAP()

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
        createdWithHandle = m_hWnd != nullptr;
        return 0;
    }
    LRESULT OnUser(UINT, WPARAM w, LPARAM, BOOL& handled) {
        if (w == 0) {
            handled = FALSE;  // on to the default procedure
            return 0;
        }
        return static_cast<LRESULT>(w + 1);
    }
    void OnFinalMessage(HWND h) override {
        finalFor = h;
        handleAtFinal = m_hWnd;
    }
    bool createdWithHandle = false;
    HWND finalFor = nullptr;
    HWND handleAtFinal = reinterpret_cast<HWND>(1);
};

TEST_F(WindowTest, ImplementationBaseRoutesItsMessageMap) {
    Panel panel;
    RECT r{10, 10, 110, 60};
    HWND h = panel.Create(nullptr, &r, u"panel", WS_POPUP | WS_VISIBLE);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(panel.createdWithHandle);
    EXPECT_EQ(panel.SendMessage(WM_USER, 4), 5);
    EXPECT_EQ(panel.SendMessage(WM_USER, 0), 0);
    EXPECT_TRUE(panel.SetWindowPos(nullptr, 20, 20, 50, 50, SWP_NOZORDER));
    RECT got;
    GetWindowRect(h, &got);
    EXPECT_EQ(got.left, 20);
    EXPECT_EQ(panel.Create(nullptr, &r), nullptr);  // one window per object
    EXPECT_TRUE(panel.DestroyWindow());
    EXPECT_EQ(panel.finalFor, h);
    EXPECT_EQ(panel.handleAtFinal, nullptr);
    EXPECT_EQ(panel.m_hWnd, nullptr);
}

}  // namespace
