// Painting: update regions, BeginPaint's erase and clip, child and sibling clipping in the
// retained surfaces, window regions and DCs reading back what a window shows.
#include <windows.h>

#include <functional>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/screen.h"

namespace {

std::vector<UINT> g_log;
std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool&)> g_hook;

// Erases with the colour kept in the window's user data.
LRESULT CALLBACK ColorProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    g_log.push_back(m);
    if (g_hook) {
        bool handled = false;
        LRESULT r = g_hook(h, m, w, l, handled);
        if (handled) return r;
    }
    if (m == WM_ERASEBKGND) {
        HBRUSH b = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrW(h, GWLP_USERDATA)));
        RECT r;
        GetClientRect(h, &r);
        FillRect(reinterpret_cast<HDC>(w), &r, b);
        DeleteObject(b);
        return 1;
    }
    return DefWindowProcW(h, m, w, l);
}

const WCHAR kClass[] = u"PaintTestColor";
constexpr COLORREF kRed = RGB(255, 0, 0), kGreen = RGB(0, 255, 0), kBlue = RGB(0, 0, 255), kWhite = RGB(255, 255, 255);

uint32_t Px(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

class PaintTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ColorProc;
        wc.lpszClassName = kClass;
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
    HWND Make(COLORREF color, DWORD style, int x, int y, int w, int h, HWND parent = nullptr, DWORD ex = 0) {
        HWND hwnd = CreateWindowExW(ex, kClass, u"", style & ~static_cast<DWORD>(WS_VISIBLE), x, y, w, h, parent,
                                    nullptr, nullptr, nullptr);
        if (!hwnd) return nullptr;
        made.push_back(hwnd);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, color);
        if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOWNA);
        return hwnd;
    }
    uint32_t At(int x, int y) {
        std::vector<uint32_t> px;
        qrx::screen::Compose(px);
        return px[static_cast<size_t>(y) * qrx::screen::kWidth + x];
    }
    std::vector<HWND> made;
};

TEST_F(PaintTest, BeginPaintErasesWhenAskedAndClipsToTheUpdate) {
    HWND w = Make(kRed, WS_POPUP | WS_VISIBLE, 0, 0, 200, 100);
    COLORREF fill = kBlue;
    std::vector<RECT> painted;
    std::vector<BOOL> erase;
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (m != WM_PAINT) return 0;
        handled = true;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(h, &ps);
        painted.push_back(ps.rcPaint);
        erase.push_back(ps.fErase);
        RECT all{0, 0, 200, 100};
        HBRUSH b = CreateSolidBrush(fill);
        FillRect(dc, &all, b);  // the clip keeps it inside the update region
        DeleteObject(b);
        EndPaint(h, &ps);
        return 0;
    };
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(At(150, 50), Px(kBlue));
    g_log.clear();
    painted.clear();
    fill = kGreen;
    RECT part{10, 10, 50, 40};
    InvalidateRect(w, &part, TRUE);
    RECT update;
    EXPECT_TRUE(GetUpdateRect(w, &update, FALSE));
    EXPECT_TRUE(EqualRect(&update, &part));
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    ASSERT_EQ(painted.size(), 1u);
    EXPECT_TRUE(EqualRect(&painted[0], &part));
    EXPECT_EQ(g_log, (std::vector<UINT>{WM_PAINT, WM_ERASEBKGND}));
    EXPECT_EQ(At(20, 20), Px(kGreen));
    EXPECT_EQ(At(100, 50), Px(kBlue));
    EXPECT_FALSE(GetUpdateRect(w, &update, FALSE));

    // Without the erase flag there is no WM_ERASEBKGND; an erase left undone shows in fErase.
    g_log.clear();
    InvalidateRect(w, &part, FALSE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(g_log, (std::vector<UINT>{WM_PAINT}));
    auto paintHook = g_hook;
    g_hook = [&](HWND h, UINT m, WPARAM wp, LPARAM lp, bool& handled) -> LRESULT {
        if (m == WM_ERASEBKGND) {
            handled = true;
            return 0;
        }
        return paintHook(h, m, wp, lp, handled);
    };
    erase.clear();
    InvalidateRect(w, nullptr, TRUE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(erase, (std::vector<BOOL>{TRUE}));

    // What is invalidated while painting is painted again.
    int rounds = 0;
    g_hook = [&](HWND h, UINT m, WPARAM wp, LPARAM lp, bool& handled) -> LRESULT {
        if (m == WM_PAINT && ++rounds == 1) {
            PAINTSTRUCT ps;
            BeginPaint(h, &ps);
            InvalidateRect(h, &part, FALSE);
            EndPaint(h, &ps);
            handled = true;
            return 0;
        }
        return paintHook(h, m, wp, lp, handled);
    };
    InvalidateRect(w, nullptr, FALSE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(rounds, 2);

    // UpdateWindow paints at once, without the queue.
    g_log.clear();
    g_hook = paintHook;
    InvalidateRect(w, &part, FALSE);
    EXPECT_TRUE(UpdateWindow(w));
    EXPECT_EQ(g_log, (std::vector<UINT>{WM_PAINT}));
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    // A hidden window is not painted and keeps no update region.
    ShowWindow(w, SW_HIDE);
    InvalidateRect(w, nullptr, TRUE);
    EXPECT_FALSE(GetUpdateRect(w, &update, FALSE));
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_PAINT, WM_PAINT, PM_NOREMOVE));
}

TEST_F(PaintTest, ChildrenSiblingsAndRegionsInTheComposedScreen) {
    HWND top = Make(kWhite, WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 300, 200);
    HWND a = Make(kRed, WS_CHILD | WS_VISIBLE, 10, 10, 100, 100, top);
    HWND b = Make(kGreen, WS_CHILD | WS_VISIBLE, 50, 50, 100, 100, top);
    HWND inner = Make(kBlue, WS_CHILD | WS_VISIBLE, 90, 90, 40, 40, a);  // partly outside its parent
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(At(20, 20), Px(kRed));
    EXPECT_EQ(At(60, 60), Px(kRed));  // the first child is in front
    EXPECT_EQ(At(140, 140), Px(kGreen));
    EXPECT_EQ(At(105, 105), Px(kBlue));
    EXPECT_EQ(At(115, 115), Px(kGreen));  // clipped to its parent
    EXPECT_EQ(At(250, 150), Px(kWhite));
    SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(At(60, 60), Px(kGreen));
    EXPECT_EQ(At(20, 20), Px(kRed));

    // The parent's DC leaves its children out with WS_CLIPCHILDREN, and covers them without.
    HDC dc = GetDC(top);
    RECT all{0, 0, 300, 200};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    ReleaseDC(top, dc);
    EXPECT_EQ(At(20, 20), Px(kRed));
    EXPECT_EQ(At(250, 150), 0u);
    SetWindowLongW(top, GWL_STYLE, GetWindowLongW(top, GWL_STYLE) & ~WS_CLIPCHILDREN);
    dc = GetDC(top);
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ReleaseDC(top, dc);
    EXPECT_EQ(At(20, 20), Px(kWhite));

    // Moving a child repaints what it uncovered.
    InvalidateRect(top, nullptr, TRUE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    MoveWindow(a, 200, 100, 50, 50, TRUE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(At(20, 20), Px(kWhite));
    EXPECT_EQ(At(210, 110), Px(kRed));

    // A window region clips the picture and the pen.
    HWND back = Make(kBlue, WS_POPUP | WS_VISIBLE, 0, 0, 400, 300);
    SetWindowPos(back, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowRgn(top, CreateRectRgn(0, 0, 150, 200), TRUE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(At(250, 150), Px(kBlue));
    EXPECT_EQ(At(140, 140), Px(kGreen));
    EXPECT_EQ(WindowFromPoint(POINT{250, 150}), back);
    EXPECT_EQ(WindowFromPoint(POINT{140, 140}), b);
    // A topmost window covers the others.
    HWND cover = Make(kRed, WS_POPUP | WS_VISIBLE, 130, 130, 20, 20, nullptr, WS_EX_TOPMOST);
    SetWindowPos(top, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    EXPECT_EQ(At(140, 140), Px(kRed));
    EXPECT_EQ(WindowFromPoint(POINT{140, 140}), cover);
    (void)inner;
}

TEST_F(PaintTest, AWindowDcReadsBackWhatTheWindowShows) {
    HWND top = Make(kRed, WS_POPUP | WS_VISIBLE, 100, 100, 200, 200);
    HWND control = Make(kGreen, WS_CHILD | WS_VISIBLE, 30, 30, 40, 40, top);
    // The control paints nothing of its own: the page behind it shows through.
    g_hook = [&](HWND h, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (h == control && m == WM_ERASEBKGND) {
            handled = true;
            return 1;
        }
        return 0;
    };
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    HDC cdc = GetDC(control);
    ASSERT_NE(cdc, nullptr);
    EXPECT_EQ(GetPixel(cdc, 5, 5), kRed);
    HDC mem = CreateCompatibleDC(cdc);
    HBITMAP bmp = CreateCompatibleBitmap(cdc, 40, 40);
    HGDIOBJ old = SelectObject(mem, bmp);
    EXPECT_TRUE(BitBlt(mem, 0, 0, 40, 40, cdc, 0, 0, SRCCOPY));
    EXPECT_EQ(GetPixel(mem, 39, 39), kRed);
    // What the control draws lands in its top-level window's surface.
    RECT r{0, 0, 10, 10};
    HBRUSH green = CreateSolidBrush(kGreen);
    FillRect(cdc, &r, green);
    EXPECT_EQ(At(135, 135), Px(kGreen));
    HDC tdc = GetDC(top);
    EXPECT_EQ(GetPixel(tdc, 35, 35), kGreen);
    ReleaseDC(top, tdc);
    // A hidden window's DC draws nothing.
    ShowWindow(control, SW_HIDE);
    ASSERT_TRUE(qrx::screen::WaitIdle(5000));
    ReleaseDC(control, cdc);
    RECT whole{0, 0, 40, 40};
    HDC hidden = GetDC(control);
    FillRect(hidden, &whole, green);
    ReleaseDC(control, hidden);
    EXPECT_EQ(At(135, 135), Px(kRed));
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    DeleteObject(green);
    EXPECT_EQ(GetDC(reinterpret_cast<HWND>(0x7777)), nullptr);
}

}  // namespace
