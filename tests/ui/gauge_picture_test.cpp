#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "PageHarness.h"
#include "ui/controls/Gauge.h"
#include "ui/controls/Picture.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kFull = RGB(200, 0, 0);
const COLORREF kHalf = RGB(0, 200, 0);
const COLORREF kPic = RGB(200, 200, 0);

class GaugePictureTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("full.bmp", SolidBmp(10, 10, kFull));
        WriteImage("half.bmp", SolidBmp(10, 10, kHalf));
        WriteImage("small.bmp", SolidBmp(20, 10, kPic));
        WriteImage("big.bmp", SolidBmp(300, 300, kPic));
    }
    CUiCtrl* OpenCtrl(const std::string& section) {
        UseScript("[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell0-0]\r\n" + section);
        CShellPanel* page = Open(0);
        return page ? page->GetCtrl(0) : nullptr;
    }
};

TEST_F(GaugePictureTest, GaugeLaysFullAndHalfSegments) {
    auto* gauge =
        dynamic_cast<CGaugeCtrl*>(OpenCtrl("type=23\r\npos=100,100,100,20\r\n1stpoint=2,5\r\nincpoint=12,0\r\n"
                                           "guageimage=\\Windows\\half.bmp,\\Windows\\full.bmp\r\n"));
    ASSERT_NE(gauge, nullptr);
    Idle();
    EXPECT_EQ(ScreenPixel(105, 108), ScreenColour(kBg));
    gauge->SetValue(5, TRUE);
    Idle();
    EXPECT_EQ(ScreenPixel(105, 108), ScreenColour(kFull));
    EXPECT_EQ(ScreenPixel(117, 108), ScreenColour(kFull));
    EXPECT_EQ(ScreenPixel(129, 108), ScreenColour(kHalf));
    EXPECT_EQ(ScreenPixel(141, 108), ScreenColour(kBg));
    // A huge value stops at the control's edge: nothing spills past it.
    gauge->SetValue(INT_MAX, TRUE);
    Idle();
    EXPECT_EQ(ScreenPixel(195, 108), ScreenColour(kFull));
    EXPECT_EQ(ScreenPixel(205, 108), ScreenColour(kBg));
    gauge->SetValue(0, TRUE);
    Idle();
    EXPECT_EQ(ScreenPixel(105, 108), ScreenColour(kBg));
}

TEST_F(GaugePictureTest, PicturesCentredClippedAndCopyStrip) {
    auto* picture = dynamic_cast<CPictureCtrl*>(OpenCtrl("type=24\r\npos=100,100,100,50\r\n"));
    ASSERT_NE(picture, nullptr);
    EXPECT_TRUE(picture->SetPictures(u"\\Windows\\small.bmp", nullptr, TRUE));
    EXPECT_EQ(std::u16string(picture->GetPicturePath(0)), u"\\Windows\\small.bmp");
    Idle();
    EXPECT_EQ(ScreenPixel(141, 121), ScreenColour(kPic));
    EXPECT_EQ(ScreenPixel(139, 121), ScreenColour(kBg));
    // Larger than the control: at 0,0 and cut at the control's edges.
    EXPECT_TRUE(picture->SetPictures(u"\\Windows\\big.bmp", nullptr, TRUE));
    Idle();
    EXPECT_EQ(ScreenPixel(100, 100), ScreenColour(kPic));
    EXPECT_EQ(ScreenPixel(199, 149), ScreenColour(kPic));
    EXPECT_EQ(ScreenPixel(200, 150), ScreenColour(kBg));
    // The strip shows what lies behind; one past the control is cut to it, a reversed one is nothing.
    RECT strip = {50, 0, 400, 0};
    picture->SetCopyRect(&strip);
    picture->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_EQ(ScreenPixel(120, 120), ScreenColour(kPic));
    EXPECT_EQ(ScreenPixel(170, 120), ScreenColour(kBg));
    EXPECT_EQ(ScreenPixel(199, 149), ScreenColour(kBg));
    strip = {60, 10, 20, 0};
    picture->SetCopyRect(&strip);
    picture->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_EQ(ScreenPixel(170, 120), ScreenColour(kPic));
    EXPECT_FALSE(picture->SetPictures(u"\\Windows\\missing.bmp", nullptr, TRUE));
}

}  // namespace
