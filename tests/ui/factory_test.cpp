#include "ui/CtrlFactory.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Button.h"
#include "ui/controls/ListBox.h"

using namespace page_harness;

class FactoryTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
        WriteImage("nor.bmp", SolidBmp(40, 40, RGB(200, 0, 0)));
    }
    static std::string Page(int n) {
        return "[shell" + std::to_string(n) + "]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n";
    }
};

TEST_F(FactoryTest, SectionsInOrderUntilTheFirstGap) {
    UseScript(Page(3) +
              "[shell3-0]\r\ntype=0\r\npos=0,0,40,40\r\nimage=\\Windows\\nor.bmp\r\n"
              "[shell3-1]\r\ntype=99\r\npos=50,0,40,40\r\n"
              "[shell3-2]\t;type 2 names no class\r\ntype=2\r\npos=100,0,40,40\r\n"
              "[shell3-3]\r\ntype=1\r\npos=150,0,40,40\r\n"
              "[shell3-5]\r\ntype=0\r\npos=200,0,40,40\r\n");
    CShellPanel* page = Open(3);
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->GetCtrlCount(), 2);
    EXPECT_EQ(page->GetCtrl(0)->GetType(), 0);
    EXPECT_EQ(page->GetCtrl(1)->GetType(), 1);
    EXPECT_NE(dynamic_cast<CButtonCtrl*>(page->GetCtrl(1)), nullptr);
    EXPECT_EQ(page->GetCtrl(0)->GetIndex(), 0);
    EXPECT_EQ(page->GetCtrl(1)->GetIndex(), 1);
    EXPECT_TRUE(page->GetCtrl(0)->HasImages());

    // Called again on its own, the factory reports the sections it read.
    CLayoutScript reader;
    ASSERT_EQ(reader.Open(nullptr, FALSE), 0);
    CShellPanel loose(3, manager.get());
    EXPECT_EQ(CreateControls(&loose, &reader), 4);
    EXPECT_EQ(loose.GetCtrlCount(), 2);
    EXPECT_EQ(CreateControls(&loose, nullptr), 0);
}

TEST_F(FactoryTest, ButtonKeysReachTheButton) {
    UseScript(Page(0) +
              "[shell0-0]\r\ntype=1\r\npos=0,0,40,40\r\n"
              "[shell0-1]\r\ntype=22\r\npos=50,0,40,40\r\nlongkey=100\r\nanibtnstyle=3,0\r\n"
              "rgn=0,0,10,10|20,20,30,30|\r\ncheck=\\Windows\\nor.bmp,,,\r\n"
              "[shell0-2]\r\ntype=15\r\npos=100,0,40,40\r\nlongkey=0x20\r\nanibtnstyle=-1\r\nrgn=0,0,10,10\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->GetCtrlCount(), 3);
    auto* plain = dynamic_cast<CButtonCtrl*>(page->GetCtrl(0));
    auto* full = dynamic_cast<CButtonCtrl*>(page->GetCtrl(1));
    auto* odd = dynamic_cast<CButtonCtrl*>(page->GetCtrl(2));
    ASSERT_TRUE(plain && full && odd);

    EXPECT_EQ(plain->GetLongKey(), 0);
    EXPECT_EQ(plain->GetHitRegion(), nullptr);
    EXPECT_EQ(plain->GetLoopLimit(), 1);
    EXPECT_EQ(plain->GetFireAt(), 1);

    EXPECT_EQ(full->GetLongKey(), 100);
    EXPECT_EQ(full->GetLoopLimit(), 3);
    EXPECT_EQ(full->GetFireAt(), 0);
    ASSERT_NE(full->GetHitRegion(), nullptr);
    EXPECT_TRUE(PtInRegion(full->GetHitRegion(), 5, 5));
    EXPECT_TRUE(PtInRegion(full->GetHitRegion(), 25, 25));
    EXPECT_FALSE(PtInRegion(full->GetHitRegion(), 15, 15));
    EXPECT_GT(full->GetStateBitmap(4)->GetWidth(), 0);
    EXPECT_EQ(full->GetStateBitmap(0)->GetWidth(), 0);

    // "longkey" has no hexadecimal form; missing numbers are 0; a rectangle without "|" is no region.
    EXPECT_EQ(odd->GetLongKey(), 0);
    EXPECT_EQ(odd->GetLoopLimit(), -1);
    EXPECT_EQ(odd->GetFireAt(), 0);
    EXPECT_EQ(odd->GetHitRegion(), nullptr);
}

TEST_F(FactoryTest, ImageLessLabelsShowThePageAndFailedControlsGo) {
    UseScript(Page(0) +
              "[shell0-0]\r\ntype=0\r\npos=10,10,100,30\r\nimage=\r\ntext=1,0,0xFFFFFF,0x000000,\r\n"
              "[shell0-1]\r\ntype=0,0,0,1\r\npos=200,10,100,30\r\nimage=\\Windows\\missing.bmp\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    CUiCtrl* label = page->GetCtrl(0);
    EXPECT_FALSE(label->HasImages());
    EXPECT_EQ(label->GetImage(UICTRL_IMG_NORMAL), page->GetImage(0));
    Idle();
    EXPECT_EQ(ScreenPixel(20, 20), ScreenColour(RGB(0, 0, 200)));

    // A windowed control on a page without a window of its own is made on the host window.
    ASSERT_EQ(page->GetCtrlCount(), 2);
    EXPECT_TRUE(page->GetCtrl(1)->IsWindowed());

    // A control that cannot be created is deleted, not kept (no leak is reported).
    CLayoutScript reader;
    ASSERT_EQ(reader.Open(nullptr, FALSE), 0);
    CShellPanel loose(0, manager.get());
    EXPECT_EQ(CreateControls(&loose, &reader), 2);
    EXPECT_EQ(loose.GetCtrlCount(), 1);
}

namespace {

// A picture whose every pixel tells where it lies.
COLORREF Where(int x, int y, COLORREF base) { return RGB(x & 255, y & 255, GetBValue(base) + (x >> 8) * 40); }

}  // namespace

TEST_F(FactoryTest, ImageLessControlsShowThePartOfThePageUnderThem) {
    WriteImage("where.bmp", MakeBmp(800, 480, Where, RGB(0, 0, 0)));
    WriteImage("small.bmp", MakeBmp(200, 100, Where, RGB(0, 0, 100)));
    // No control names an image: each shows the page behind it where it stands.
    UseScript("[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\where.bmp\r\n"
              "[shell0-0]\r\ntype=0\r\npos=20,80,40,30\r\n"
              "[shell0-1]\r\ntype=1\r\npos=300,200,60,40\r\n"
              "[shell0-2]\r\ntype=3\r\npos=500,100,200,100\r\nlist=20,1,0,0,0,0,0\r\n"
              "[shell1]\r\npanel=,,,,,\r\nshimage=\\Windows\\small.bmp\r\n"
              "[shell1-0]\r\ntype=0\r\npos=350,220,30,20\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->GetCtrlCount(), 3);
    auto* list = dynamic_cast<CListBoxCtrl*>(page->GetCtrl(2));
    ASSERT_NE(list, nullptr);
    for (const char16_t* row : {u"a", u"b", u"c"}) list->AddItem(row, nullptr, nullptr, FALSE, -1, FALSE);
    list->SetCurSel(1, TRUE, FALSE, nullptr);
    Idle();
    auto page0 = [](int x, int y) { return ScreenColour(Where(x, y, RGB(0, 0, 0))); };
    for (POINT pt : {POINT{25, 85}, POINT{58, 108}, POINT{302, 202}, POINT{358, 238}, POINT{695, 135}})
        EXPECT_EQ(ScreenPixel(pt.x, pt.y), page0(pt.x, pt.y)) << pt.x << "," << pt.y;
    qrx::screen::Press(330, 220);  // the button's pressed look is the page too
    Idle();
    EXPECT_EQ(ScreenPixel(302, 202), page0(302, 202));
    qrx::screen::Release(330, 220);
    Idle();

    // The second background lies centred: at 300,190 on the screen.
    ASSERT_NE(Open(1), nullptr);
    Idle();
    EXPECT_EQ(ScreenPixel(355, 225), ScreenColour(Where(55, 35, RGB(0, 0, 100))));
    EXPECT_EQ(ScreenPixel(378, 238), ScreenColour(Where(78, 48, RGB(0, 0, 100))));
}
