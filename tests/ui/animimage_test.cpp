#include "ui/controls/AnimImage.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kOver = RGB(90, 90, 90);
const COLORREF kFrames[3] = {RGB(200, 0, 0), RGB(0, 200, 0), RGB(200, 200, 0)};

class AnimImageTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("over.bmp", SolidBmp(800, 480, kOver));
        for (int i = 0; i < 3; ++i) WriteImage("clock_" + std::to_string(i) + ".bmp", SolidBmp(40, 40, kFrames[i]));
    }
    CAnimImageCtrl* OpenAnim(const std::string& imgs) {
        UseScript(
            "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell0-0]\r\ntype=26\r\n"
            "pos=100,100,40,40\r\nimgs=" +
            imgs + "\r\n[shell1]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\over.bmp\r\n");
        page = Open(0);
        return page ? dynamic_cast<CAnimImageCtrl*>(page->GetCtrl(0)) : nullptr;
    }
    CShellPanel* page = nullptr;
};

TEST_F(AnimImageTest, FramesLoopOnTheirOwnTimer) {
    CAnimImageCtrl* anim = OpenAnim("\\Windows\\clock.bmp,3,20,0");
    ASSERT_NE(anim, nullptr);
    ASSERT_EQ(anim->GetFrameCount(), 3);
    ASSERT_NE(anim->GetFrameTimer(), 0u);
    // Frames follow one another and start over after the last.
    bool seen[3] = {};
    ASSERT_TRUE(WaitFor([&] {
        for (int i = 0; i < 3; ++i)
            if (ScreenPixel(120, 120) == ScreenColour(kFrames[i])) seen[i] = true;
        return seen[0] && seen[1] && seen[2];
    }));
}

TEST_F(AnimImageTest, ForeignTimerAndHiddenPageLeaveTheScreenAlone) {
    CAnimImageCtrl* anim = OpenAnim("\\Windows\\clock.bmp,3,60000,0");
    ASSERT_NE(anim, nullptr);
    Idle();
    EXPECT_EQ(ScreenPixel(120, 120), ScreenColour(kFrames[0]));
    // The setting page's clock runs as timer 4096 on the same window.
    PostMessageW(Host(), WM_TIMER, 4096, 0);
    Idle();
    EXPECT_EQ(anim->GetShownFrame(), 0);
    EXPECT_EQ(anim->OnTimer(anim->GetFrameTimer(), 0), 1);
    Idle();
    EXPECT_EQ(anim->GetShownFrame(), 1);
    EXPECT_EQ(ScreenPixel(120, 120), ScreenColour(kFrames[1]));
    // Hidden under another page: the frames run on, but nothing is drawn over the page shown.
    ASSERT_NE(Open(1), nullptr);
    page->Show(FALSE);
    Idle();
    ASSERT_FALSE(page->IsShown());
    EXPECT_EQ(ScreenPixel(120, 120), ScreenColour(kOver));
    anim->OnTimer(anim->GetFrameTimer(), 0);
    Idle();
    EXPECT_EQ(anim->GetShownFrame(), 2);
    EXPECT_EQ(ScreenPixel(120, 120), ScreenColour(kOver));
}

TEST_F(AnimImageTest, BadValuesPlayNothing) {
    WriteImage("gap_0.bmp", SolidBmp(40, 40, kFrames[0]));
    for (const char* imgs :
         {"\\Windows\\gap.bmp,2,50,0", "\\Windows\\clock.bmp,0,50,0", "\\Windows\\clock.bmp,257,50,0",
          "\\Windows\\clock.bmp,3,9,0", "\\Windows\\clock.bmp,-1,50,0"}) {
        CAnimImageCtrl* anim = OpenAnim(imgs);
        ASSERT_NE(anim, nullptr) << imgs;
        EXPECT_EQ(anim->GetFrameCount(), 0) << imgs;
        EXPECT_EQ(anim->GetFrameTimer(), 0u) << imgs;
        manager->CloseShell(0);
    }
    // A name too short to hold an extension reads nothing before it, and stops what played.
    CAnimImageCtrl* anim = OpenAnim("\\Windows\\clock.bmp,3,50,0");
    ASSERT_NE(anim, nullptr);
    EXPECT_EQ(anim->GetFrameCount(), 3);
    EXPECT_FALSE(anim->LoadFrames(u".bmp", 3, 50, 0));
    EXPECT_EQ(anim->GetFrameTimer(), 0u);
}

}  // namespace
