#include "ui/controls/Crosshair.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kMarker = RGB(250, 250, 0);
const COLORREF kLine = RGB(200, 0, 0);

class CrosshairTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("area.bmp", SolidBmp(200, 100, RGB(0, 0, 100)));
        WriteImage("marker.bmp", SolidBmp(10, 10, kMarker));
    }
    CCrosshairCtrl* OpenCrosshair(const std::string& image, const std::string& keys) {
        UseScript(
            "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell0-0]\r\ntype=21\r\n"
            "cmd=0,1025,0,3\r\npos=100,100,200,100\r\nimage=" +
            image + "\r\n" + keys);
        CShellPanel* page = Open(0);
        return page ? dynamic_cast<CCrosshairCtrl*>(page->GetCtrl(0)) : nullptr;
    }
};

TEST_F(CrosshairTest, DragKeepsThePenPastTheEdgeAndClamps) {
    CCrosshairCtrl* cross = OpenCrosshair("\\Windows\\area.bmp,,\\Windows\\marker.bmp,", "line=3,0x0000C8\r\n");
    ASSERT_NE(cross, nullptr);
    // Clamped at creation: the marker stays whole inside.
    EXPECT_EQ(cross->GetX(), 5);
    EXPECT_EQ(cross->GetY(), 5);
    host->log.clear();
    qrx::screen::Press(150, 140);
    Idle();
    EXPECT_TRUE(cross->IsDragging());
    EXPECT_EQ(cross->GetX(), 50);
    EXPECT_EQ(cross->GetY(), 40);
    EXPECT_EQ(ScreenPixel(150, 140), ScreenColour(kMarker));
    EXPECT_EQ(ScreenPixel(250, 140), ScreenColour(kLine));
    EXPECT_EQ(ScreenPixel(150, 190), ScreenColour(kLine));
    EXPECT_GE(host->Count(1025, 0, 3), 1);
    // Past the right and bottom edges: the point ends half a marker inside.
    qrx::screen::Move(500, 400);
    Idle();
    EXPECT_EQ(cross->GetX(), 195);
    EXPECT_EQ(cross->GetY(), 95);
    qrx::screen::Release(500, 400);
    Idle();
    EXPECT_FALSE(cross->IsDragging());
    EXPECT_FALSE(cross->IsCapturingPen());
    // Released, the pen outside no longer moves it.
    qrx::screen::Tap(600, 300);
    Idle();
    EXPECT_EQ(cross->GetX(), 195);
}

TEST_F(CrosshairTest, WithoutMarkerThePointReachesTheEdge) {
    CCrosshairCtrl* cross = OpenCrosshair("\\Windows\\area.bmp", "line=100000,0\r\n");
    ASSERT_NE(cross, nullptr);
    EXPECT_EQ(cross->GetLineWidth(), 200);
    qrx::screen::Press(150, 140);
    qrx::screen::Move(700, 20);
    Idle();
    EXPECT_EQ(cross->GetX(), 200);
    EXPECT_EQ(cross->GetY(), 0);
    qrx::screen::Release(700, 20);
    Idle();
}

}  // namespace
