// Broadcasts to the process's top-level windows (the font change after AddFontResourceW) and the
// per-thread COM start-up count.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "DeviceRoot.h"

namespace {

std::atomic<int> g_fontChanges{0};
std::atomic<HWND> g_lastFontWindow{nullptr};

LRESULT CALLBACK FontProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_FONTCHANGE) {
        ++g_fontChanges;
        g_lastFontWindow = h;
        return 0;
    }
    return DefWindowProcW(h, m, w, l);
}

HWND MakeWindow(HWND parent = nullptr) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = FontProc;
    wc.lpszClassName = u"BroadcastTestWindow";
    RegisterClassW(&wc);
    return CreateWindowExW(0, u"BroadcastTestWindow", u"", parent ? WS_CHILD : WS_POPUP, 0, 0, 10, 10, parent,
                           nullptr, nullptr, nullptr);
}

using Broadcast = DeviceRootTest;

TEST_F(Broadcast, FontChangeReachesTopLevelWindowsAndReturnsWithNone) {
    g_fontChanges = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, SendMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(0, g_fontChanges.load());

    // One window here with a child, one on a thread of its own that handles its messages.
    HWND mine = MakeWindow();
    HWND child = MakeWindow(mine);
    ASSERT_TRUE(mine && child);
    std::atomic<HWND> other{nullptr};
    std::atomic<DWORD> otherThread{0};
    std::thread ui([&] {
        HWND h = MakeWindow();
        otherThread = GetCurrentThreadId();
        other = h;
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
        DestroyWindow(h);
    });
    while (!other.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    SendMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);
    EXPECT_EQ(2, g_fontChanges.load());  // the send returns after both handled it; the child gets none
    PostThreadMessageW(otherThread, WM_QUIT, 0, 0);
    ui.join();
    DestroyWindow(mine);
}

TEST_F(Broadcast, ComStartUpCountsPerThread) {
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    int dummy = 0;
    EXPECT_EQ(E_INVALIDARG, CoInitializeEx(&dummy, COINIT_MULTITHREADED));
    EXPECT_TRUE(FAILED(E_INVALIDARG));
    HRESULT elsewhere = E_INVALIDARG;
    std::thread([&] {
        elsewhere = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
    }).join();
    EXPECT_EQ(S_OK, elsewhere);
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // one too many does no harm
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, 0));
    CoUninitialize();
}

}  // namespace
