// The keypad popup run modally on the in-process screen, driven by the pen from another thread.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "numpad/Numpad.h"
#include "qrx/screen.h"

namespace {

std::vector<std::pair<WPARAM, LPARAM>> g_answers;

LRESULT CALLBACK NotifyProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == 1025) g_answers.emplace_back(w, l);
    return DefWindowProcW(h, m, w, l);
}

// Screen points of the keys: the keypad stands at 268,58.
POINT KeyPoint(char k) {
    static const char kLabels[] = "0123456789ICE/*-+.O<";
    static const RECT kKeys[] = {{8, 300, 70, 358},    {8, 239, 70, 297},    {71, 239, 133, 297},
                                 {134, 239, 196, 297}, {8, 179, 70, 237},    {71, 179, 133, 237},
                                 {134, 179, 196, 237}, {8, 119, 70, 177},    {71, 119, 133, 177},
                                 {134, 119, 196, 177}, {8, 59, 70, 117},     {197, 239, 259, 297},
                                 {197, 300, 259, 358}, {197, 59, 259, 117},  {134, 59, 196, 117},
                                 {197, 119, 259, 177}, {197, 179, 259, 237}, {71, 300, 133, 358},
                                 {71, 59, 133, 117},   {134, 300, 196, 358}};
    const RECT& r = kKeys[std::string(kLabels).find(k)];
    return {268 + (r.left + r.right) / 2, 58 + (r.top + r.bottom) / 2};
}

class NumpadDialogTest : public DeviceRootTest {
protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = NotifyProc;
        wc.lpszClassName = u"NumpadTestNotify";
        RegisterClassW(&wc);
        owner = CreateWindowExW(0, u"NumpadTestNotify", u"", WS_POPUP | WS_VISIBLE, 0, 0, 800, 480, nullptr, nullptr,
                                nullptr, nullptr);
        g_answers.clear();
    }
    void TearDown() override { DestroyWindow(owner); }

    // Runs the keypad while another thread waits for it and then does what it is given.
    int Run(const std::function<void(HWND)>& pen) {
        std::thread driver([&] {
            HWND dialog = nullptr;
            for (int i = 0; i < 3000 && !dialog; ++i) {
                for (const auto& w : qrx::screen::ListWindows())
                    if (w.title == u"POPUP_DIALOG" && w.visible) {
                        dialog = w.hwnd;
                        rect = w.rect;
                    }
                if (!dialog) Sleep(5);
            }
            if (dialog) pen(dialog);
        });
        int result = QRXNumpad_Create(owner, owner, 4);
        driver.join();
        return result;
    }
    static void Tap(const char* keys) {
        for (const char* k = keys; *k; ++k) {
            POINT p = KeyPoint(*k);
            qrx::screen::Tap(p.x, p.y);
        }
    }
    HWND owner = nullptr;
    RECT rect{};
};

TEST_F(NumpadDialogTest, InsertSendsTheTenthsAndReturnsOne) {
    EXPECT_EQ(Run([](HWND) { Tap("12.5I"); }), 1);
    EXPECT_EQ(rect.left, 268);
    EXPECT_EQ(rect.top, 58);
    EXPECT_EQ(rect.right - rect.left, 265);
    EXPECT_EQ(rect.bottom - rect.top, 364);
    ASSERT_EQ(g_answers.size(), 1u);
    EXPECT_EQ(g_answers[0].first, 4u);
    EXPECT_EQ(g_answers[0].second, (125 << 16) | 100);
    EXPECT_TRUE(IsWindowEnabled(owner));
}

TEST_F(NumpadDialogTest, SlidingOffAKeyOffAndCloseSendNothing) {
    EXPECT_EQ(Run([](HWND) {
                  POINT one = KeyPoint('1'), two = KeyPoint('2');
                  qrx::screen::Press(one.x, one.y);
                  qrx::screen::Move(two.x, two.y);
                  qrx::screen::Release(two.x, two.y);
                  Tap("I");  // 0 is sent: the slide typed nothing
              }),
              1);
    ASSERT_EQ(g_answers.size(), 1u);
    EXPECT_EQ(g_answers[0].second, 100);
    g_answers.clear();
    EXPECT_EQ(Run([](HWND) { Tap("7O"); }), 1);
    EXPECT_EQ(Run([](HWND dialog) {
                  Tap("7");
                  PostMessageW(dialog, WM_CLOSE, 0, 0);
              }),
              0);
    EXPECT_TRUE(g_answers.empty());
}

}  // namespace
