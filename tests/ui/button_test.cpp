#include "ui/controls/Button.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kNor = RGB(200, 0, 0);
const COLORREF kPre = RGB(0, 200, 0);
const COLORREF kChk = RGB(200, 200, 0);

// Left half one colour, right half another: shows where a panned image lies.
COLORREF Halves(int x, int, COLORREF base) { return x < 100 ? base : RGB(0, 220, 220); }

class ButtonTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("nor.bmp", SolidBmp(100, 50, kNor));
        WriteImage("pre.bmp", SolidBmp(100, 50, kPre));
        WriteImage("chk.bmp", SolidBmp(100, 50, kChk));
        WriteImage("wide.bmp", MakeBmp(200, 200, &Halves, RGB(220, 220, 0)));
    }
    CButtonCtrl* OpenButton(const std::string& keys) {
        std::string pos = keys.find("pos=") == std::string::npos ? "pos=100,100,100,50\r\n" : "";
        UseScript("[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n"
                  "[shell0-0]\r\ncmd=0,1025,0,3\r\n" +
                  pos + keys);
        host->log.clear();
        CShellPanel* page = Open(0);
        if (!page) return nullptr;
        Idle();
        return dynamic_cast<CButtonCtrl*>(page->GetCtrl(0));
    }
    int Clicks(int event) const { return host->Count(1025, 0, 3 | (event << 16)); }
};

}  // namespace

TEST_F(ButtonTest, PushButtonShowsThePressAndClicksOnRelease) {
    CButtonCtrl* button = OpenButton("type=1\r\nimage=\\Windows\\nor.bmp,\\Windows\\pre.bmp,,\r\n");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kNor));
    qrx::screen::Press(150, 120);
    Idle();
    EXPECT_TRUE(button->IsPressed());
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kPre));
    EXPECT_EQ(Clicks(0), 0);
    qrx::screen::Release(150, 120);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, 0x3FFFF, 0), 1);
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kNor));

    // Released outside: no click.
    qrx::screen::Press(150, 120);
    qrx::screen::Move(400, 400);
    Idle();
    EXPECT_FALSE(button->IsPressed());
    qrx::screen::Release(400, 400);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    EXPECT_FALSE(button->IsCapturingPen());
}

TEST_F(ButtonTest, ToggleChangesOnRelease) {
    CButtonCtrl* button = OpenButton("type=1\r\nuncheck=\\Windows\\nor.bmp,\\Windows\\pre.bmp,,\r\n"
                                     "check=\\Windows\\chk.bmp,,,\r\n");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->GetCheck(), 0);
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kNor));
    qrx::screen::Press(150, 120);
    Idle();
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kNor));  // no redraw on pen-down
    qrx::screen::Release(150, 120);
    Idle();
    EXPECT_EQ(button->GetCheck(), 1);
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kChk));
    EXPECT_EQ(Clicks(0), 1);
    EXPECT_EQ(button->SetCheck(0, TRUE), 1);
    Idle();
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kNor));
}

TEST_F(ButtonTest, LongPressRepeatsAndEndsCleanly) {
    CButtonCtrl* button = OpenButton("type=1\r\nimage=\\Windows\\nor.bmp\r\nlongkey=50\r\n");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->GetLongKey(), 50);
    qrx::screen::Press(150, 120);
    ASSERT_TRUE(WaitFor([&] { return Clicks(2) >= 2; }));
    EXPECT_EQ(CButtonCtrl::GetHeldButton(), button);
    qrx::screen::Release(150, 120);
    Idle();
    EXPECT_EQ(Clicks(0), 0);  // a press that repeated sends no click
    EXPECT_EQ(CButtonCtrl::GetHeldButton(), nullptr);

    // Leaving kills the repeat; coming back presses again without repeating.
    qrx::screen::Press(150, 120);
    Idle();
    ASSERT_TRUE(button->IsRepeating());
    qrx::screen::Move(400, 400);
    Idle();
    EXPECT_FALSE(button->IsRepeating());
    qrx::screen::Move(150, 120);
    Idle();
    EXPECT_TRUE(button->IsPressed());
    EXPECT_FALSE(button->IsRepeating());
    qrx::screen::Release(150, 120);
    Idle();

    // Hiding a repeating button ends the repeat for good.
    qrx::screen::Press(150, 120);
    ASSERT_TRUE(WaitFor([&] { return button->IsRepeating(); }));
    button->Show(FALSE);
    EXPECT_EQ(CButtonCtrl::GetHeldButton(), nullptr);
    EXPECT_FALSE(button->IsCapturingPen());
    int repeats = Clicks(2);
    for (int i = 0; i < 5; ++i) {
        Sleep(60);
        qrx::screen::WaitIdle(500);
    }
    EXPECT_EQ(Clicks(2), repeats);
    qrx::screen::Release(150, 120);
    Idle();

    // Closing the page while a button repeats leaves no held button behind.
    button->Show(TRUE);
    qrx::screen::Press(150, 120);
    ASSERT_TRUE(WaitFor([&] { return button->IsRepeating(); }));
    manager->CloseShell(0);
    EXPECT_EQ(CButtonCtrl::GetHeldButton(), nullptr);
    qrx::screen::Release(150, 120);
    Idle();
}

TEST_F(ButtonTest, HitRegionAndTouchAreas) {
    CButtonCtrl* button = OpenButton("type=1\r\nimage=\\Windows\\nor.bmp\r\nrgn=0,0,20,20|\r\n");
    ASSERT_NE(button, nullptr);
    ASSERT_NE(button->GetHitRegion(), nullptr);
    qrx::screen::Tap(150, 130);  // in the rectangle, outside the region
    Idle();
    EXPECT_EQ(Clicks(0), 0);
    qrx::screen::Tap(105, 105);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    manager->CloseShell(0);

    // Type 15 acts on pen-down.
    button = OpenButton("type=15\r\nimage=\\Windows\\nor.bmp\r\n");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->GetLongKey(), 0);
    qrx::screen::Press(150, 120);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    qrx::screen::Release(150, 120);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    EXPECT_EQ(button->OnMouse(515, 0, 150, 120), 1);
    Idle();
    EXPECT_EQ(Clicks(5), 1);
    manager->CloseShell(0);

    // A type-16 status icon ignores taps.
    button = OpenButton("type=16\r\nuncheck=\\Windows\\nor.bmp,,,\r\ncheck=\\Windows\\chk.bmp,,,\r\n");
    ASSERT_NE(button, nullptr);
    qrx::screen::Tap(150, 120);
    Idle();
    EXPECT_EQ(Clicks(0), 0);
    button->SetCheck(1, TRUE);
    Idle();
    EXPECT_EQ(ScreenPixel(105, 105), ScreenColour(kChk));
}

TEST_F(ButtonTest, ZoomedImagePansAndTapsClick) {
    // A 200 x 200 image centred in a 100 x 50 control: the left edge shows image column 50.
    CButtonCtrl* button = OpenButton("type=16\r\npos=100,100,100,50,4\r\nimage=\\Windows\\wide.bmp\r\n");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(ScreenPixel(101, 110), ScreenColour(RGB(220, 220, 0)));
    EXPECT_EQ(ScreenPixel(198, 110), ScreenColour(RGB(0, 220, 220)));

    // Under 11 pixels nothing moves and the release is a tap.
    qrx::screen::Press(150, 120);
    qrx::screen::Move(158, 125);
    qrx::screen::Release(158, 125);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    EXPECT_EQ(ScreenPixel(198, 110), ScreenColour(RGB(0, 220, 220)));

    // A pan to the right shows more of the left half, clamped so the image still covers the control.
    qrx::screen::Press(110, 120);
    qrx::screen::Move(190, 120);
    Idle();
    qrx::screen::Release(190, 120);
    Idle();
    EXPECT_EQ(Clicks(0), 1);
    EXPECT_EQ(ScreenPixel(198, 110), ScreenColour(RGB(220, 220, 0)));
    EXPECT_EQ(ScreenPixel(101, 110), ScreenColour(RGB(220, 220, 0)));
}

TEST_F(ButtonTest, SeeThroughButtonLeavesNoTraceOfItsPressedLabel) {
    WriteImage("clear.bmp", SolidBmp(100, 50, RGB(255, 0, 255)));
    CButtonCtrl* button = OpenButton(
        "type=1,1,0xFF00FF\r\nimage=\\Windows\\clear.bmp,\\Windows\\clear.bmp,,\r\n"
        "text=1,0,0xFFFFFF,0x00C800,WWWWWW\r\nfont=,30,1,0,0\r\n");
    ASSERT_NE(button, nullptr);
    // Pixels of the button's rectangle: the page's blue, and how many carry the pressed label's green.
    auto count = [](int& blue, int& green) {
        std::vector<uint32_t> px;
        ASSERT_TRUE(qrx::screen::Compose(px));
        blue = green = 0;
        for (int y = 100; y < 150; ++y)
            for (int x = 100; x < 200; ++x) {
                uint32_t p = px[static_cast<size_t>(y) * qrx::screen::kWidth + static_cast<size_t>(x)];
                int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF;
                blue += p == ScreenColour(kBg) ? 1 : 0;
                green += g > r + 16 ? 1 : 0;
            }
    };
    int blue = 0, green = 0;
    count(blue, green);
    const int background = blue;
    ASSERT_GT(background, 0) << "the button should show the page through it";
    EXPECT_EQ(green, 0);
    qrx::screen::Press(150, 120);
    Idle();
    count(blue, green);
    EXPECT_GT(green, 0);
    qrx::screen::Release(150, 120);
    Idle();
    count(blue, green);
    EXPECT_EQ(green, 0);
    EXPECT_EQ(blue, background);
}
