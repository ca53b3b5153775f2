#include "ui/UiCtrl.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"

using namespace page_harness;

namespace {

// Pumps the test thread's windows until cond holds; false after about ten device seconds.
const char kPage0[] =
    "[shell]\r\nmain=0\r\n"
    "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\00_bg.bmp\r\n";

}  // namespace

TEST(UiCtrlFrames, FrameNamesAreBounded) {
    WCHAR out[MAX_PATH];
    EXPECT_TRUE(MakeFrameName(out, u"00_btn.bmp", 7));
    EXPECT_EQ(std::u16string(out), u"07_btn.bmp");
    EXPECT_TRUE(MakeFrameName(out, u"\\Windows\\00_a.bmp", 99));
    EXPECT_EQ(std::u16string(out), u"\\Windows\\99_a.bmp");
    EXPECT_FALSE(MakeFrameName(out, u"00_btn.bmp", 100));
    EXPECT_FALSE(MakeFrameName(out, u"00_btn.bmp", -1));
    EXPECT_FALSE(MakeFrameName(out, u"abc", 1));
    EXPECT_FALSE(MakeFrameName(out, u"\\Windows\\ab", 1));
    EXPECT_FALSE(MakeFrameName(out, u"\\Windows\\", 1));
    EXPECT_EQ(out[0], 0);
}

TEST(UiCtrlRecord, ConstructionCopiesAndBoundsTheRecord) {
    CShellManager manager;
    CShellPanel panel(4, &manager);
    auto record = std::make_unique<LayoutControlRecord>();
    record->type = 1;
    record->focus = 0xFFFFFFFFu;
    record->x = static_cast<DWORD>(-5);
    record->width = 0x7FFFFFFF;
    record->height = 30;
    record->backColor = 0x12345678;
    record->textColor = 0xFF00FF00;
    record->fontSize = 35;
    for (int i = 0; i < MAX_PATH - 1; ++i) record->text[i] = u'x';
    CUiCtrl ctrl(record.get(), &panel);
    EXPECT_EQ(ctrl.GetType(), 1);
    EXPECT_EQ(ctrl.GetIndex(), 0);
    EXPECT_TRUE(ctrl.TakesFocus());
    EXPECT_EQ(ctrl.GetTextBackColor(), 0x345678u);
    EXPECT_EQ(ctrl.GetTextColor(), 0x00FF00u);
    EXPECT_EQ(ctrl.GetTextYOffset(), -4);
    RECT rc;
    ctrl.GetRect(&rc, FALSE);
    EXPECT_EQ(rc.left, -5);
    EXPECT_LE(rc.right - rc.left, 8192);
    EXPECT_FALSE(ctrl.IsVisible());
    EXPECT_EQ(ctrl.GetLoopLimit(), 1);
    EXPECT_EQ(ctrl.GetFireAt(), 1);

    std::u16string longText(300, u'y');
    ctrl.SetText(longText.c_str(), FALSE);
    EXPECT_EQ(std::u16string(ctrl.GetText()), longText.substr(0, 259));
    ctrl.CreateFont(nullptr, 30, 1, 0, 0);
    EXPECT_EQ(ctrl.GetTextYOffset(), 0);
    ctrl.SetSound(1, u"\\Windows\\a.wav");
    EXPECT_EQ(ctrl.GetSoundKind(), 1);
    ctrl.SetSound(1, u"");
    EXPECT_EQ(ctrl.GetSoundKind(), -1);

    CUiCtrl embedded(&panel);
    EXPECT_EQ(embedded.GetSoundKind(), -1);
    EXPECT_EQ(embedded.GetTextAlign(), -1);
    EXPECT_EQ(embedded.GetTextBackColor(), 0xFFFFFFu);
    // Nothing to post to without a command window, and no crash.
    EXPECT_EQ(ctrl.ExecCommand(0, 0), 0);
}

class UiCtrlPage : public PageTest {};

TEST_F(UiCtrlPage, CommandsPostToTheCommandWindow) {
    WriteImage("00_bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
    UseScript(std::string(kPage0) +
              "[shell0-0]\r\ntype=0\r\npos=10,10,100,30\r\ncmd=0,1025,3,12\r\n"
              "[shell0-1]\r\ntype=0\r\npos=10,50,100,30\r\ncmd=4,1026,9,\r\n"
              "[shell0-2]\r\ntype=0\r\npos=10,90,100,30\r\ninit=0,1027,7,9\r\ncmd=0,1028,1,1\r\n"
              "[shell0-3]\r\ntype=0\r\npos=10,130,100,30\r\ncmd=2,\\Windows\\none.dll,Entry,1\r\n"
              "[shell1]\r\npanel=100,100,300,200,0,\r\nimage=\\Windows\\00_bg.bmp\r\n"
              "[shell1-0]\r\ntype=0\r\npos=0,0,50,50\r\ncmd=-2,5,,\r\n"
              "[shell1-1]\r\ntype=0\r\npos=0,60,50,50\r\ncmd=-1,5,,\r\n"
              "[shell5]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\00_bg.bmp\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    Idle();
    // The init command runs at creation; a control without "init" posts nothing.
    EXPECT_EQ(host->Count(1027, 7, 9), 1);
    EXPECT_EQ(host->Count(1025), 0);
    EXPECT_EQ(host->Count(1028), 0);

    CUiCtrl* label = page->GetCtrl(0);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->ExecCommand(2, 0), 1);
    CUiCtrl* starter = page->GetCtrl(1);
    EXPECT_EQ(starter->ExecCommand(0, 0), 0);  // no program named
    EXPECT_EQ(starter->ExecCommand(2, 0), 0);
    EXPECT_EQ(page->GetCtrl(3)->ExecCommand(0, 0), 0);  // a library that is not there
    Idle();
    EXPECT_EQ(host->Count(1025, 3, 12 | 0x20000), 1);
    EXPECT_EQ(host->Count(1026, 9, 1), 1);
    EXPECT_EQ(host->Count(1026, 9, 1 | 0x20000), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, 0x3FFFF, 0), 4);

    label->Enable(FALSE);
    EXPECT_EQ(label->ExecCommand(0, 0), 0);
    Idle();
    EXPECT_EQ(host->Count(1025), 1);

    // Page commands: -2 opens page 5 and keeps its own page, -1 also closes it.
    CShellPanel* child = Open(1);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(child->GetParentState(), 1);
    EXPECT_EQ(child->GetCtrl(0)->ExecCommand(0, 0), 1);
    Idle();
    EXPECT_NE(manager->FindShell(5), nullptr);
    EXPECT_NE(manager->FindShell(1), nullptr);
    manager->CloseShell(5);
    child = Open(1);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->GetCtrl(1)->ExecCommand(0, 0), 1);
    Idle();
    EXPECT_EQ(manager->FindShell(1), nullptr);
    EXPECT_NE(manager->FindShell(5), nullptr);
}

TEST_F(UiCtrlPage, ClickAnimationFiresWithTheConstructionValues) {
    WriteImage("00_bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
    WriteImage("00_an.bmp", SolidBmp(60, 40, RGB(200, 0, 0)));
    WriteImage("01_an.bmp", SolidBmp(60, 40, RGB(0, 200, 0)));
    WriteImage("02_an.bmp", SolidBmp(60, 40, RGB(200, 200, 0)));
    UseScript(std::string(kPage0) +
              "[shell0-0]\r\ntype=1\r\npos=100,100,60,40\r\nimage=\\Windows\\00_an.bmp\r\ncmd=5,0,1025,77\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    Idle();
    CUiCtrl* button = page->GetCtrl(0);
    ASSERT_NE(button, nullptr);

    // Loop limit 1, fire at 1: the command fires once the one loop has run, then the animation stops.
    qrx::screen::Tap(120, 120);
    ASSERT_TRUE(WaitFor([&] { return host->Count(1025) > 0; }));
    EXPECT_EQ(host->Count(1025, 77, 0 | (0x10A << 16)), 1);
    ASSERT_TRUE(WaitFor([&] { return !button->IsAnimating(); }));
    EXPECT_EQ(std::u16string(button->GetImage(UICTRL_IMG_NORMAL)->GetName()), u"\\Windows\\00_an.bmp");
    Idle();
    EXPECT_EQ(ScreenPixel(110, 110), ScreenColour(RGB(200, 0, 0)));

    // Fire-at -1 fires at the click; an event code adds a second message.
    button->SetAnimationStyle(1, -1);
    EXPECT_EQ(button->ExecCommand(2, 0), 1);
    Idle();
    EXPECT_EQ(host->Count(1025, 77, 0x10A << 16), 2);
    EXPECT_EQ(host->Count(1025, 77, 0x20000), 1);
    button->StopAnimation(TRUE);
    EXPECT_FALSE(button->IsAnimating());

    // Without the animation the command fires at once with event code 10.
    button->SetNoClickAnimation(TRUE);
    EXPECT_EQ(button->ExecCommand(0, 0), 1);
    Idle();
    EXPECT_EQ(host->Count(1025, 77, 0x10A << 16), 3);
}

TEST_F(UiCtrlPage, TimersAreOwnAndUnique) {
    WriteImage("00_bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
    WriteImage("01_bg.bmp", SolidBmp(800, 480, RGB(0, 200, 0)));
    WriteImage("00_an.bmp", SolidBmp(60, 40, RGB(200, 0, 0)));
    WriteImage("01_an.bmp", SolidBmp(60, 40, RGB(0, 200, 0)));
    // Label 0 has no image and adopts the page's; both labels animate from creation.
    UseScript(std::string(kPage0) +
              "[shell0-0]\r\ntype=0,0,0,2\r\npos=0,0,800,480\r\nimage=\r\n"
              "[shell0-1]\r\ntype=0,0,0,2\r\npos=100,100,60,40\r\nimage=\\Windows\\00_an.bmp\r\n"
              "[shell0-2]\r\ntype=0\r\npos=300,300,60,20\r\ntext=1,-1,0xFFFFFF,0x000000,"
              "a text far too long for sixty pixels\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    Idle();
    CUiCtrl* a = page->GetCtrl(0);
    CUiCtrl* b = page->GetCtrl(1);
    CUiCtrl* text = page->GetCtrl(2);
    ASSERT_TRUE(a && b && text);
    ASSERT_TRUE(a->IsAnimating());
    ASSERT_TRUE(b->IsAnimating());
    UINT_PTR ida = a->GetAnimationTimer();
    UINT_PTR idb = b->GetAnimationTimer();
    EXPECT_NE(ida, idb);
    EXPECT_GT(ida, 0xFFFFu);
    EXPECT_EQ(a->OnTimer(idb, 0), 0);
    EXPECT_EQ(b->OnTimer(1100 + 1, 0), 0);
    EXPECT_EQ(b->OnTimer(1055 + 1, 0), 0);

    // Frames load into bitmaps of the control's own: the page keeps its image.
    ASSERT_TRUE(WaitFor([&] { return a->GetImage(UICTRL_IMG_NORMAL) != page->GetImage(0); }));
    EXPECT_EQ(std::u16string(page->GetImage(0)->GetName()), u"\\Windows\\00_bg.bmp");

    b->StopAnimation(TRUE);
    EXPECT_EQ(b->OnTimer(idb, 0), 0);

    // Marquee: runs while the text does not fit, stops when it does.
    text->SetMarquee(TRUE);
    text->Invalidate(nullptr, FALSE);
    UINT_PTR marquee = text->GetMarqueeTimer();
    ASSERT_NE(marquee, 0u);
    EXPECT_NE(marquee, ida);
    EXPECT_EQ(text->OnTimer(marquee, 0), 1);
    EXPECT_EQ(a->OnTimer(marquee, 0), 0);
    text->SetText(u"ab", TRUE);
    EXPECT_EQ(text->GetMarqueeTimer(), 0u);
    EXPECT_EQ(text->OnTimer(marquee, 0), 0);
}

TEST_F(UiCtrlPage, LabelsPaintImageAndTextOverThePage) {
    WriteImage("00_bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
    WriteImage("red.bmp", SolidBmp(100, 40, RGB(220, 0, 0)));
    WriteImage("key.bmp", SolidBmp(40, 40, RGB(255, 0, 255)));
    UseScript(std::string(kPage0) +
              "[shell0-0]\r\ntype=0\r\npos=50,60,100,40\r\nimage=\\Windows\\red.bmp\r\n"
              "text=1,0,0xFFFFFF,0x000000,Hello\r\nfont=,20,0,0,0\r\n"
              "[shell0-1]\r\ntype=0,1,0xFF00FF\r\npos=300,60,40,40\r\nimage=\\Windows\\key.bmp\r\n"
              "[shell0-2]\r\ntype=0,0,0,0\r\npos=400,60,100,40,-1\r\nimage=\\Windows\\key.bmp\r\n");
    ASSERT_NE(Open(0), nullptr);
    Idle();
    ASSERT_TRUE(qrx::screen::Shot((root.Path() + "/labels.png").c_str()));
    EXPECT_EQ(ScreenPixel(52, 62), ScreenColour(RGB(220, 0, 0)));
    EXPECT_EQ(ScreenPixel(40, 62), ScreenColour(RGB(0, 0, 200)));
    // White text somewhere in the middle of the label.
    bool white = false;
    for (int x = 60; x < 140 && !white; ++x)
        for (int y = 65; y < 95 && !white; ++y) white = ScreenPixel(x, y) == 0xFFFFFFu;
    EXPECT_TRUE(white);
    // The colour key shows the page; without transparency the key colour shows, top left aligned.
    EXPECT_EQ(ScreenPixel(320, 80), ScreenColour(RGB(0, 0, 200)));
    EXPECT_EQ(ScreenPixel(402, 62), ScreenColour(RGB(255, 0, 255)));
    EXPECT_EQ(ScreenPixel(460, 80), ScreenColour(RGB(0, 0, 200)));
}
