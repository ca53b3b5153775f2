#include <windows.h>

#include "DeviceRoot.h"

namespace {

class CommonControlsTest : public DeviceRootTest {};

TEST_F(CommonControlsTest, ProgressBarKeepsItsPositionInRangeAndDrawsIt) {
    InitCommonControls();
    InitCommonControls();  // again: the class is there already
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"ProgressHost";
    ASSERT_NE(0, RegisterClassW(&wc));
    HWND host = CreateWindowExW(0, u"ProgressHost", u"", WS_POPUP | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(nullptr, host);
    HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, u"", WS_CHILD | WS_VISIBLE, 10, 10, 100, 18, host, nullptr, nullptr,
                               nullptr);
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ(0, SendMessageW(bar, PBM_SETPOS, 50, 0));
    EXPECT_EQ(50, SendMessageW(bar, PBM_GETPOS, 0, 0));
    EXPECT_EQ(50, SendMessageW(bar, PBM_SETPOS, 150, 0));
    EXPECT_EQ(100, SendMessageW(bar, PBM_GETPOS, 0, 0));  // kept within the range
    EXPECT_EQ(MAKELONG(0, 100), SendMessageW(bar, PBM_SETRANGE32, 0, 400));
    EXPECT_EQ(400, SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_EQ(0, SendMessageW(bar, PBM_SETRANGE32, 10, 5));  // an empty range is refused
    SendMessageW(bar, PBM_SETPOS, 200, 0);
    EXPECT_EQ(200, SendMessageW(bar, PBM_DELTAPOS, -300, 0));
    EXPECT_EQ(0, SendMessageW(bar, PBM_GETPOS, 0, 0));
    SendMessageW(bar, PBM_SETPOS, 200, 0);

    UpdateWindow(host);
    HDC dc = GetDC(bar);
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), GetPixel(dc, 10, 9));
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), GetPixel(dc, 80, 9));
    ReleaseDC(bar, dc);
    DestroyWindow(host);
}

}  // namespace
