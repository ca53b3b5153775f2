// The in-process screen: pen and key routing, double clicks, the caption drag, the window list,
// waiting for windows and for idle, screenshots and the backlight.
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <vector>

#include "DeviceRoot.h"
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
    if ((m >= WM_MOUSEFIRST && m <= WM_MOUSELAST) || (m >= WM_KEYFIRST && m <= WM_KEYLAST)) g_log.push_back({h, m, w, l});
    if (g_hook) {
        bool handled = false;
        LRESULT r = g_hook(h, m, w, l, handled);
        if (handled) return r;
    }
    return DefWindowProcW(h, m, w, l);
}

const WCHAR kPlain[] = u"ScreenTestPlain";
const WCHAR kDouble[] = u"ScreenTestDouble";

class ScreenTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = RecProc;
        wc.lpszClassName = kPlain;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_WINDOW + 1));
        RegisterClassW(&wc);
        wc.style = CS_DBLCLKS;
        wc.lpszClassName = kDouble;
        RegisterClassW(&wc);
        g_log.clear();
        g_hook = nullptr;
    }
    void TearDown() override {
        g_hook = nullptr;
        for (HWND h : made)
            if (IsWindow(h)) DestroyWindow(h);
        qrx::screen::WaitIdle(5000);
    }
    HWND Make(const WCHAR* cls, DWORD style, int x, int y, int w, int h, HWND parent = nullptr, DWORD ex = 0) {
        HWND hwnd = CreateWindowExW(ex, cls, u"", style, x, y, w, h, parent, nullptr, nullptr, nullptr);
        if (hwnd) made.push_back(hwnd);
        return hwnd;
    }
    std::vector<Rec> Pen() {
        std::vector<Rec> out;
        for (auto& r : g_log)
            if (r.msg >= WM_MOUSEFIRST && r.msg <= WM_MOUSELAST) out.push_back(r);
        return out;
    }
    std::vector<HWND> made;
};

TEST_F(ScreenTest, PenGoesToTheWindowUnderItOrTheCapture) {
    HWND back = Make(kPlain, WS_POPUP | WS_VISIBLE, 0, 0, 400, 300);
    HWND child = Make(kPlain, WS_CHILD | WS_VISIBLE, 100, 50, 100, 100, back);
    HWND top = Make(kPlain, WS_POPUP | WS_VISIBLE, 300, 0, 200, 200, nullptr, WS_EX_TOPMOST);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    g_log.clear();
    qrx::screen::Tap(110, 70);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    auto pen = Pen();
    ASSERT_EQ(pen.size(), 2u);
    EXPECT_EQ(pen[0].hwnd, child);
    EXPECT_EQ(pen[0].msg, static_cast<UINT>(WM_LBUTTONDOWN));
    EXPECT_EQ(pen[0].w, static_cast<WPARAM>(MK_LBUTTON));
    EXPECT_EQ(pen[0].l, MAKELPARAM(10, 20));
    EXPECT_EQ(pen[1].msg, static_cast<UINT>(WM_LBUTTONUP));
    EXPECT_EQ(pen[1].w, 0u);
    // The pen-down activated the window under it.
    EXPECT_EQ(GetForegroundWindow(), back);

    // The topmost window is in front where they overlap, even after the other is raised.
    g_log.clear();
    SetWindowPos(back, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    qrx::screen::Tap(350, 100);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    ASSERT_FALSE(Pen().empty());
    EXPECT_EQ(Pen()[0].hwnd, top);

    // With the capture, moves and the lift outside still reach it, with client coordinates.
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool&) -> LRESULT {
        if (h == child && m == WM_LBUTTONDOWN) SetCapture(h);
        if (h == child && m == WM_LBUTTONUP) ReleaseCapture();
        return 0;
    };
    g_log.clear();
    qrx::screen::Press(120, 60);
    qrx::screen::Move(500, 400);
    qrx::screen::Release(600, 450);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    pen = Pen();
    ASSERT_EQ(pen.size(), 3u);
    for (auto& r : pen) EXPECT_EQ(r.hwnd, child);
    EXPECT_EQ(pen[1].msg, static_cast<UINT>(WM_MOUSEMOVE));
    EXPECT_EQ(pen[1].w, static_cast<WPARAM>(MK_LBUTTON));
    EXPECT_EQ(GET_X_LPARAM(pen[1].l), 400);
    EXPECT_EQ(GET_Y_LPARAM(pen[1].l), 350);
    EXPECT_EQ(GetCapture(), nullptr);

    // A tap queued while another key holds the capture goes to the window under it once that
    // capture is let go: taps in quick succession each reach their own key.
    HWND next = Make(kPlain, WS_CHILD | WS_VISIBLE, 250, 50, 100, 100, back);
    bool queued = false;
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool&) -> LRESULT {
        if (m == WM_LBUTTONDOWN) SetCapture(h);
        if (m == WM_LBUTTONUP) ReleaseCapture();
        if (h == child && m == WM_LBUTTONDOWN && !queued) {
            queued = true;
            qrx::screen::Tap(260, 60);
        }
        return 0;
    };
    g_log.clear();
    qrx::screen::Tap(110, 70);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    pen = Pen();
    ASSERT_EQ(pen.size(), 4u);
    EXPECT_EQ(pen[0].hwnd, child);
    EXPECT_EQ(pen[1].hwnd, child);
    EXPECT_EQ(pen[2].hwnd, next);
    EXPECT_EQ(pen[2].l, MAKELPARAM(10, 10));
    EXPECT_EQ(pen[3].hwnd, next);
    EXPECT_EQ(pen[3].msg, static_cast<UINT>(WM_LBUTTONUP));

    // A disabled window gets nothing, nor do the children of a disabled window.
    g_hook = nullptr;
    g_log.clear();
    EnableWindow(child, FALSE);
    qrx::screen::Tap(110, 70);
    EnableWindow(child, TRUE);
    EnableWindow(back, FALSE);
    qrx::screen::Tap(110, 70);
    qrx::screen::Tap(10, 10);
    EnableWindow(back, TRUE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_TRUE(Pen().empty());
    // Outside every window nothing happens.
    qrx::screen::Tap(700, 400);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_TRUE(Pen().empty());
}

TEST_F(ScreenTest, DoubleClicksOnlyForClassesThatAskForThem) {
    HWND plain = Make(kPlain, WS_POPUP | WS_VISIBLE, 0, 0, 100, 100);
    HWND dbl = Make(kDouble, WS_POPUP | WS_VISIBLE, 200, 0, 100, 100);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    auto downs = [&](HWND h) {
        std::vector<UINT> out;
        for (auto& r : Pen())
            if (r.hwnd == h && r.msg != WM_LBUTTONUP && r.msg != WM_MOUSEMOVE) out.push_back(r.msg);
        return out;
    };
    g_log.clear();
    qrx::screen::Tap(50, 50);
    qrx::screen::Tap(51, 51);
    qrx::screen::Tap(250, 50);
    qrx::screen::Tap(251, 52);
    qrx::screen::Tap(251, 52);  // a third tap starts over
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(downs(plain), (std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONDOWN}));
    EXPECT_EQ(downs(dbl), (std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_LBUTTONDOWN}));
    // Too far apart is two single taps.
    g_log.clear();
    Sleep(600);
    qrx::screen::Tap(210, 10);
    qrx::screen::Tap(290, 90);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(downs(dbl), (std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONDOWN}));
}

TEST_F(ScreenTest, CaptionDragMovesTheWindowWithThePen) {
    HWND w = Make(kPlain, WS_POPUP | WS_VISIBLE, 100, 100, 200, 100);
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM l, bool& handled) -> LRESULT {
        if (m == WM_LBUTTONDOWN) {
            handled = true;
            SendMessageW(h, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        }
        return 0;
    };
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    qrx::screen::Press(150, 120);
    qrx::screen::Move(170, 150);
    qrx::screen::Move(200, 180);
    qrx::screen::Release(200, 180);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.left, 150);
    EXPECT_EQ(r.top, 160);
    EXPECT_EQ(r.right - r.left, 200);
    EXPECT_EQ(GetCapture(), nullptr);
    // The picture moved along with it.
    std::vector<uint32_t> px;
    qrx::screen::Compose(px);
    EXPECT_EQ(px[170 * qrx::screen::kWidth + 155], 0xFFFFFFu);
    EXPECT_EQ(px[110 * qrx::screen::kWidth + 105], 0u);
}

TEST_F(ScreenTest, KeysGoToTheFocusWindow) {
    HWND w = Make(kPlain, WS_POPUP | WS_VISIBLE, 0, 0, 100, 100);
    HWND edit = Make(kPlain, WS_CHILD | WS_VISIBLE, 0, 0, 50, 20, w);
    SetFocus(edit);
    std::vector<WPARAM> chars;
    g_hook = [&](HWND h, UINT m, WPARAM wp, LPARAM, bool&) -> LRESULT {
        if (m == WM_CHAR && h == edit) chars.push_back(wp);
        return 0;
    };
    g_log.clear();
    qrx::screen::Key('7');
    qrx::screen::Key(VK_RETURN);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    std::vector<UINT> keys;
    for (auto& r : g_log) {
        EXPECT_EQ(r.hwnd, edit);
        if (r.msg == WM_KEYDOWN || r.msg == WM_KEYUP) keys.push_back(r.msg);
    }
    EXPECT_EQ(keys, (std::vector<UINT>{WM_KEYDOWN, WM_KEYUP, WM_KEYDOWN, WM_KEYUP}));
    EXPECT_EQ(chars, (std::vector<WPARAM>{u'7', u'\r'}));
}

TEST_F(ScreenTest, WindowsOfOtherThreadsAreListedAwaitedAndServed) {
    struct Worker {
        std::atomic<HWND> hwnd{nullptr};
        std::atomic<int> taps{0};
        static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
            auto* self = reinterpret_cast<Worker*>(GetWindowLongPtrW(h, GWLP_USERDATA));
            if (m == WM_LBUTTONUP && self) {
                Sleep(20);  // slow work: WaitIdle has to wait for it
                ++self->taps;
            }
            return DefWindowProcW(h, m, w, l);
        }
        static DWORD WINAPI Run(LPVOID p) {
            auto* self = static_cast<Worker*>(p);
            Sleep(30);
            WNDCLASSW wc{};
            wc.lpfnWndProc = Proc;
            wc.lpszClassName = u"ScreenTestWorker";
            RegisterClassW(&wc);
            HWND h = CreateWindowExW(0, u"ScreenTestWorker", u"Worker page", WS_POPUP, 500, 300, 100, 80, nullptr,
                                     nullptr, nullptr, nullptr);
            SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->hwnd = h;
            ShowWindow(h, SW_SHOW);
            MSG m;
            while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
            DestroyWindow(h);
            return 0;
        }
    } worker;
    HANDLE t = CreateThread(nullptr, 0, &Worker::Run, &worker, 0, nullptr);
    ASSERT_TRUE(qrx::screen::WaitForWindow(u"screentestworker", 10000));
    EXPECT_FALSE(qrx::screen::WaitForWindow(u"NoSuchWindowClass", 20));
    bool found = false;
    for (const auto& info : qrx::screen::ListWindows()) {
        if (info.className != u"ScreenTestWorker") continue;
        found = true;
        EXPECT_EQ(info.title, u"Worker page");
        EXPECT_TRUE(info.visible);
        EXPECT_EQ(info.rect.left, 500);
        EXPECT_EQ(info.rect.bottom, 380);
        EXPECT_EQ(info.pid, GetCurrentProcessId());
    }
    EXPECT_TRUE(found);
    for (int i = 0; i < 3; ++i) qrx::screen::Tap(550, 350);
    ASSERT_TRUE(qrx::screen::WaitIdle(10000));
    EXPECT_EQ(worker.taps.load(), 3);
    DWORD thread = GetWindowThreadProcessId(worker.hwnd, nullptr);
    PostThreadMessageW(thread, WM_QUIT, 0, 0);
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    EXPECT_FALSE(IsWindow(worker.hwnd));
}

TEST_F(ScreenTest, ScreenshotAndBacklight) {
    HWND w = Make(kPlain, WS_POPUP | WS_VISIBLE, 100, 100, 300, 150);
    HWND box = Make(kPlain, WS_CHILD | WS_VISIBLE, 20, 20, 100, 50, w);
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (m != WM_PAINT || h != box) return 0;
        handled = true;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(h, &ps);
        RECT r{0, 0, 100, 50};
        HBRUSH b = CreateSolidBrush(RGB(0, 0, 160));
        FillRect(dc, &r, b);
        DeleteObject(b);
        SetTextColor(dc, RGB(255, 255, 255));
        SetBkMode(dc, TRANSPARENT);
        DrawTextW(dc, u"Charge", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(h, &ps);
        return 0;
    };
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    std::string path = root.Host("shot.png");
    ASSERT_TRUE(qrx::screen::Shot(path.c_str()));
    EXPECT_GT(std::filesystem::file_size(path), 100u);
    EXPECT_FALSE(qrx::screen::Shot("/nonexistent-folder/x.png"));
    std::vector<uint32_t> px;
    ASSERT_TRUE(qrx::screen::Compose(px));
    ASSERT_EQ(px.size(), static_cast<size_t>(qrx::screen::kWidth * qrx::screen::kHeight));
    EXPECT_EQ(px[200 * qrx::screen::kWidth + 350], 0xFFFFFFu);
    EXPECT_EQ(px[125 * qrx::screen::kWidth + 125], 0x0000A0u);
    qrx::screen::SetBrightness(50);
    qrx::screen::Compose(px);
    EXPECT_EQ(px[200 * qrx::screen::kWidth + 350], 0x7F7F7Fu);
    qrx::screen::SetBrightness(0);
    qrx::screen::Compose(px);
    EXPECT_EQ(px[200 * qrx::screen::kWidth + 350], 0u);
    qrx::screen::SetBrightness(100);
    EXPECT_EQ(qrx::screen::Brightness(), 100);
}

}  // namespace
