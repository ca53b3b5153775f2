#include "ui/ShellPanel.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"
#include "ui/UiCtrl.h"

using namespace page_harness;

namespace {

constexpr COLORREF kRed = RGB(200, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 220);
constexpr COLORREF kYellow = RGB(230, 220, 0);

LPARAM Shell16(int shell, DWORD high) { return static_cast<LPARAM>((static_cast<DWORD>(shell) & 0xFFFF) | (high << 16)); }

class ShellPanelTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("red.bmp", SolidBmp(800, 480, kRed));
        WriteImage("blue.bmp", SolidBmp(100, 100, kBlue));
        WriteImage("btn.bmp", SolidBmp(80, 40, kYellow));
    }
    // Recorded messages of one number, in order.
    std::vector<Recorded> Of(UINT msg) const {
        std::vector<Recorded> out;
        for (const Recorded& r : host->log) {
            if (r.msg == msg) out.push_back(r);
        }
        return out;
    }
};

TEST(ShellPanelSetup, PanelValuesDecideParentAndOwner) {
    CShellManager manager;
    CShellPanel page(5, &manager);
    RECT rc;
    page.GetRect(&rc, FALSE);
    EXPECT_EQ(rc.right, 800);
    EXPECT_EQ(rc.bottom, 480);
    EXPECT_EQ(page.GetOwner(), 5);
    EXPECT_EQ(page.GetParentState(), -1);

    EXPECT_TRUE(page.SetPanel(2, 10, 20, 30, 40, 0x08, 1));
    EXPECT_EQ(page.GetOwner(), 2);
    EXPECT_EQ(page.GetParentState(), 1);
    page.GetRect(&rc, FALSE);
    EXPECT_EQ(rc.left, 10);
    EXPECT_EQ(rc.bottom, 60);
    page.GetRect(&rc, TRUE);
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.right, 30);

    // An empty rectangle field: full screen, never parented, own owner.
    EXPECT_FALSE(page.SetPanel(2, -1, 20, 30, 40, 0, 0));
    EXPECT_EQ(page.GetOwner(), 5);
    page.GetRect(&rc, FALSE);
    EXPECT_EQ(rc.right - rc.left, 800);

    EXPECT_FALSE(page.SetPanel(2, 0, 0, 10, 10, 0x100, 0));
    EXPECT_TRUE(page.SetPanel(-1, 0, 0, 10, 10, 0, 0));
    EXPECT_EQ(page.GetParentState(), 0);
    // Topmost pages are never child windows.
    page.SetPanel(-1, 0, 0, 10, 10, 0x48, 0);
    EXPECT_EQ(page.GetStyle(), 0x40u);

    page.SetCommand(0, u"1025", u"1", u"2");
    page.SetCommand(4, u"", nullptr, u"9");
    EXPECT_EQ(page.GetCommand().kind, 4);
    EXPECT_EQ(std::u16string(page.GetCommand().s1), u"1025");
    EXPECT_EQ(std::u16string(page.GetCommand().s3), u"9");

    EXPECT_EQ(page.AddKey(13, 0, 0, 0, u"1", u"2", u"3"), 1);
    EXPECT_EQ(page.AddKey(27, 0, 0, 0, nullptr, nullptr, nullptr), 2);
    // No command window: commands do nothing.
    EXPECT_EQ(page.RunCommand(0, u"1025", u"0", u"0"), 0);
    EXPECT_EQ(page.GetCtrl(0), nullptr);
    EXPECT_EQ(page.SetFocusCtrl(0, -1), 0);
}

TEST_F(ShellPanelTest, CommandsPostToTheHost) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=100,100,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n");
    CShellPanel* main = Open(0);
    CShellPanel* page = Open(3);
    ASSERT_NE(page, nullptr);
    Idle();
    host->log.clear();

    EXPECT_EQ(page->GetCmdWnd(), Host());
    EXPECT_EQ(page->RunCommand(-1, u"5", u"", u""), 1);
    EXPECT_EQ(page->RunCommand(0, u"1200", u"7", u"-1"), 1);
    EXPECT_EQ(page->RunCommand(0, u"0", u"7", u"1"), 0);
    EXPECT_EQ(page->RunCommand(1, u"1200", u"7", u"1"), 0);
    // A root page opens the next page without closing itself.
    EXPECT_EQ(main->RunCommand(-2, u"-1", u"", u""), 1);

    // Drive the host's own handler only: the manager would act on the open and close.
    std::vector<MSG> queued;
    MSG m;
    while (PeekMessageW(&m, Host(), 0, 0, PM_REMOVE)) queued.push_back(m);
    ASSERT_EQ(queued.size(), 4u);
    EXPECT_EQ(queued[0].message, static_cast<UINT>(WM_SHELL_NOTIFY));
    EXPECT_EQ(queued[0].wParam, static_cast<WPARAM>(SHELL_NOTIFY_CLOSE));
    EXPECT_EQ(static_cast<DWORD>(queued[0].lParam), 0xFFFF0003u);
    EXPECT_EQ(queued[1].wParam, static_cast<WPARAM>(SHELL_NOTIFY_OPEN));
    EXPECT_EQ(static_cast<DWORD>(queued[1].lParam), 0xFFFF0005u);
    EXPECT_EQ(queued[2].message, 1200u);
    EXPECT_EQ(queued[2].wParam, 7u);
    EXPECT_EQ(queued[2].lParam, -1);
    EXPECT_EQ(queued[3].wParam, static_cast<WPARAM>(SHELL_NOTIFY_OPEN));
    EXPECT_EQ(static_cast<DWORD>(queued[3].lParam), 0xFFFFFFFFu);
}

TEST_F(ShellPanelTest, KeyBindingsFilterByScanCodeAndDirection) {
    UseScript("[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    page->AddKey(0x41, 0, 1, 0, u"1300", u"0", u"0");   // on the release
    page->AddKey(0x42, 0x30, -1, 0, u"1301", u"0", u"0");  // both ways, scan code 0x30 only
    page->AddKey(0x43, 0, 0, 0, u"0", u"0", u"0");      // does nothing
    page->AddKey(0x43, 0, 0, 0, u"1302", u"0", u"0");   // so the next one runs
    EXPECT_EQ(page->OnKey(WM_KEYDOWN, 0x41, 1, 0x0000), 0);
    EXPECT_EQ(page->OnKey(WM_KEYUP, 0x41, 1, 0xC000), 1);
    EXPECT_EQ(page->OnKey(WM_KEYDOWN, 0x42, 1, 0x0031), 0);
    EXPECT_EQ(page->OnKey(WM_KEYDOWN, 0x42, 1, 0x0030), 1);
    EXPECT_EQ(page->OnKey(WM_KEYUP, 0x42, 1, 0xC030), 1);
    // The message number is not what decides: the transition bit is.
    EXPECT_EQ(page->OnKey(WM_KEYUP, 0x43, 1, 0x0000), 1);
    EXPECT_EQ(page->OnKey(WM_KEYDOWN, 0x44, 1, 0x0000), 0);
    page->Show(FALSE);
    EXPECT_EQ(page->OnKey(WM_KEYUP, 0x41, 1, 0xC000), 0);
    Idle();
    EXPECT_EQ(host->Count(1300), 1);
    EXPECT_EQ(host->Count(1301), 2);
    EXPECT_EQ(host->Count(1302), 1);
}

TEST_F(ShellPanelTest, ActivationAndFocusReports) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=100,100,100,100,0x02,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell4]\r\npanel=300,100,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n");
    CShellPanel* main = Open(0);
    ASSERT_NE(main, nullptr);
    ASSERT_NE(Open(4), nullptr);
    CShellPanel* popup = Open(3);
    ASSERT_NE(popup, nullptr);
    Idle();
    // Opening the popup activates it: it stays open.
    ASSERT_EQ(manager->FindShell(3), popup);
    host->log.clear();

    main->OnActivate(WA_ACTIVE, FALSE, reinterpret_cast<HWND>(Host()));
    main->OnActivate(WA_INACTIVE, FALSE, nullptr);
    main->OnFocus(TRUE, nullptr);
    main->OnFocus(FALSE, nullptr);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_ACTIVATE, Shell16(0, 0x101)), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_ACTIVATE, Shell16(0, 0)), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_FOCUS, 0x10000), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_FOCUS, 0), 1);
    EXPECT_NE(manager->FindShell(0), nullptr);

    // A closing popup of another page's group closes itself when focus goes elsewhere, but not when
    // it goes to a window of its own.
    HWND inner = CreateWindowExW(0, u"QRX_TEST_HOST", u"", WS_CHILD, 0, 0, 10, 10, popup->GetOwnWnd(), nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(inner, nullptr);
    popup->OnFocus(FALSE, inner);
    Idle();
    EXPECT_NE(manager->FindShell(3), nullptr);
    popup->OnFocus(FALSE, Host());
    Idle();
    EXPECT_EQ(manager->FindShell(3), nullptr);
    EXPECT_NE(manager->FindShell(4), nullptr);

    popup = Open(3);
    ASSERT_NE(popup, nullptr);
    Idle();
    popup->OnActivate(WA_INACTIVE, FALSE, nullptr);
    Idle();
    EXPECT_EQ(manager->FindShell(3), nullptr);
}

TEST_F(ShellPanelTest, SlidingPagesEndAtTheirRectangleAndRunTheirCommand) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=100,120,210,140,0x01,-2\r\nimage=\\Windows\\blue.bmp\r\ncmd=0,1300,1,2\r\n"
        "[shell4]\r\npanel=300,50,70,70,0x01,0\r\nimage=\\Windows\\blue.bmp\r\ncmd=0,1301,3,4\r\n"
        "[shell5]\r\npanel=500,50,70,70,0x01,3\r\nimage=\\Windows\\blue.bmp\r\ncmd=0,1302,5,6\r\n");
    ASSERT_NE(Open(0), nullptr);
    for (int shell : {3, 4, 5}) {
        CShellPanel* page = Open(shell);
        ASSERT_NE(page, nullptr) << shell;
        EXPECT_TRUE(page->IsExpanded());
        RECT want, got;
        page->GetRect(&want, FALSE);
        ASSERT_TRUE(GetWindowRect(page->GetOwnWnd(), &got));
        EXPECT_EQ(got.left, want.left) << shell;
        EXPECT_EQ(got.top, want.top) << shell;
        EXPECT_EQ(got.right, want.right) << shell;
        EXPECT_EQ(got.bottom, want.bottom) << shell;
        EXPECT_EQ(GetCapture(), nullptr);
    }
    Idle();
    EXPECT_EQ(ScreenPixel(150, 150), ScreenColour(kBlue));
    EXPECT_EQ(manager->CloseShell(3), 1);
    EXPECT_EQ(manager->CloseShell(4), 1);
    EXPECT_EQ(manager->CloseShell(5), 1);
    Idle();
    EXPECT_EQ(host->Count(1300, 1, 2), 1);
    EXPECT_EQ(host->Count(1301, 3, 4), 1);
    EXPECT_EQ(host->Count(1302, 5, 6), 1);
    EXPECT_EQ(ScreenPixel(150, 150), ScreenColour(kRed));
}

TEST_F(ShellPanelTest, CentredSecondImageWithBlackMargins) {
    UseScript("[shell0]\r\npanel=,,,,,\r\nshimage=\\Windows\\blue.bmp\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    LONG ox = 0, oy = 0;
    page->GetCentreOffset(&ox, &oy);
    EXPECT_EQ(ox, 350);
    EXPECT_EQ(oy, 190);
    EXPECT_EQ(page->GetBackImage(), page->GetShImage());
    Idle();
    EXPECT_EQ(ScreenPixel(400, 240), ScreenColour(kBlue));
    EXPECT_EQ(ScreenPixel(349, 240), 0u);
    EXPECT_EQ(ScreenPixel(400, 189), 0u);
    EXPECT_EQ(ScreenPixel(10, 10), 0u);

    // Hidden, the page is no longer painted.
    page->Show(FALSE);
    EXPECT_FALSE(page->IsShown());
    page->Show(TRUE);
    EXPECT_TRUE(page->IsShown());
}

TEST_F(ShellPanelTest, ControlsGetThePenAndThePageImages) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell0-0]\r\ntype=0,0,0,0,0\r\npos=10,10,100,30\r\nimage=\r\ntext=0,0,0xFFFFFF,0x000000,\r\n"
        "[shell0-1]\r\ntype=1,0,0,0,0\r\npos=200,200,80,40\r\nimage=\\Windows\\btn.bmp,\\Windows\\btn.bmp,,\r\n"
        "cmd=0,1025,0,1\r\n"
        "[shell8]\r\npanel=500,300,200,100,0xC0,\r\nimage=\\Windows\\blue.bmp\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->GetCtrlCount(), 2);
    // The label without images shows the page's image, shared rather than copied.
    CUiCtrl* label = page->GetCtrl(0);
    EXPECT_EQ(label->GetImage(UICTRL_IMG_NORMAL), page->GetImage(0));
    EXPECT_EQ(manager->GetShellCtrl(0, 1), page->GetCtrl(1));
    EXPECT_EQ(manager->GetShellCtrl(-1, 2), nullptr);
    Idle();
    EXPECT_EQ(ScreenPixel(240, 220), ScreenColour(kYellow));
    EXPECT_EQ(ScreenPixel(20, 20), ScreenColour(kRed));

    qrx::screen::Tap(240, 220);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 0, 1), 1);
    // Outside every control nothing happens.
    qrx::screen::Tap(600, 100);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND), 1);

    // A modal page on top: the page below ignores the pen.
    ASSERT_NE(Open(8), nullptr);
    Idle();
    EXPECT_EQ(page->OnPen(513, 0, 240, 220), 0);
    EXPECT_EQ(page->OnPen(514, 0, 240, 220), 0);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND), 1);
    EXPECT_EQ(manager->CloseShell(8), 1);
    Idle();
}

namespace {

// Counts its paints.
class CountingCtrl : public CUiCtrl {
public:
    using CUiCtrl::CUiCtrl;
    void OnPaint(HDC dc) override {
        ++paints;
        CUiCtrl::OnPaint(dc);
    }
    int paints = 0;
};

}  // namespace

TEST_F(ShellPanelTest, RepaintingOneControlRepaintsOnlyWhatItCovers) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell0-0]\r\ntype=0\r\npos=200,200,80,40\r\nimage=\\Windows\\btn.bmp\r\n");
    CShellPanel* page = Open(0);
    ASSERT_NE(page, nullptr);
    LayoutControlRecord record{};
    record.x = 10;
    record.y = 10;
    record.width = 80;
    record.height = 40;
    auto* far = new CountingCtrl(&record, page);
    ASSERT_TRUE(far->LoadImages(u"\\Windows\\btn.bmp", nullptr, nullptr, nullptr));
    ASSERT_TRUE(far->Create(WS_VISIBLE, 0));
    page->AddCtrl(far);
    page->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_GT(far->paints, 0);
    far->paints = 0;

    page->GetCtrl(0)->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_EQ(far->paints, 0);
    for (POINT pt : {POINT{20, 20}, POINT{240, 220}}) EXPECT_EQ(ScreenPixel(pt.x, pt.y), ScreenColour(kYellow));
    EXPECT_EQ(ScreenPixel(150, 150), ScreenColour(kRed));
    far->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_EQ(far->paints, 1);
    EXPECT_EQ(ScreenPixel(20, 20), ScreenColour(kYellow));
}

TEST_F(ShellPanelTest, DestroyedWindowFreesControlsOnce) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell6]\r\npanel=100,100,300,200,0x100,\r\nimage=\\Windows\\red.bmp\r\nshimage=\\Windows\\blue.bmp\r\n"
        "key0=0x0D,0,0,0,1100,1,2\r\n"
        "[shell6-0]\r\ntype=0,0,0,0,0\r\npos=0,0,50,50\r\n"
        "[shell6-1]\r\ntype=1,0,0,0,0\r\npos=60,0,80,40\r\nimage=\\Windows\\btn.bmp,,,\r\ncmd=0,1025,6,1\r\n");
    ASSERT_NE(Open(0), nullptr);
    CShellPanel* page = Open(6);
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->GetCtrlCount(), 2);
    EXPECT_EQ(page->GetKeyCount(), 1);
    EXPECT_EQ(page->GetCtrl(0)->GetImage(UICTRL_IMG_NORMAL), page->GetShImage());
    Idle();
    // The window goes first (its WM_DESTROY frees controls and keys), the page object after.
    DestroyWindow(page->GetOwnWnd());
    EXPECT_EQ(page->GetCtrlCount(), 0);
    EXPECT_EQ(page->GetKeyCount(), 0);
    EXPECT_EQ(page->GetOwnWnd(), nullptr);
    EXPECT_EQ(manager->CloseShell(6), 1);
    EXPECT_EQ(manager->FindShell(6), nullptr);
}

TEST_F(ShellPanelTest, DraggingMovesThePageAndReportsTheDrop) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=100,100,200,150,0x200,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell3-0]\r\ntype=0,0,0,0,0\r\npos=150,100,40,40\r\n");
    ASSERT_NE(Open(0), nullptr);
    CShellPanel* page = Open(3);
    ASSERT_NE(page, nullptr);
    Idle();
    host->log.clear();
    qrx::screen::Press(120, 120);
    qrx::screen::Move(170, 150);
    qrx::screen::Move(220, 180);
    qrx::screen::Release(220, 180);
    Idle();
    RECT rc;
    page->GetRect(&rc, FALSE);
    EXPECT_EQ(rc.left, 200);
    EXPECT_EQ(rc.top, 160);
    EXPECT_EQ(rc.right - rc.left, 200);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_DROP, Shell16(3, 0xFFFF)), 1);
    EXPECT_FALSE(page->IsDragging());
    EXPECT_EQ(ScreenPixel(210, 170), ScreenColour(kBlue));
    EXPECT_TRUE(qrx::screen::Shot((root.Path() + "/drag.png").c_str()));
    std::string png = root.ReadFile("drag.png");
    EXPECT_GT(png.size(), 8u);
}

// A sliding page with a button, over a red root page; its command posts 1300 with 1 and 2.
std::string SlidingScript(const char* style, int direction) {
    return std::string("[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n") +
           "[shell3]\r\npanel=100,120,210,140," + style + "," + std::to_string(direction) +
           "\r\nimage=\\Windows\\blue.bmp\r\ncmd=0,1300,1,2\r\n"
           "[shell3-0]\r\ntype=1,0,0,0,0\r\npos=10,10,80,40\r\nimage=\\Windows\\btn.bmp,,,\r\n"
           "[shell4]\r\npanel=500,50,70,70,0,\r\nimage=\\Windows\\blue.bmp\r\n";
}

TEST_F(ShellPanelTest, PageClosedWhileSlidingInEndsTheSlideAndClosesOnce) {
    for (int direction : {-2, 1, 0}) {
        UseScript(SlidingScript("0x01", direction));
        ASSERT_NE(Open(0), nullptr);
        Idle();
        host->log.clear();
        // The slide takes the pen from the host; the host's handler closes the page right then.
        SetCapture(Host());
        int closed = 0;
        host->ReactOnce(WM_CAPTURECHANGED, [&](WPARAM, LPARAM) { closed = manager->CloseShell(3); });
        EXPECT_EQ(Open(3), nullptr) << direction;
        EXPECT_EQ(closed, 1) << direction;
        EXPECT_EQ(manager->FindShell(3), nullptr);
        EXPECT_EQ(manager->GetShellCount(), 1);
        EXPECT_EQ(GetCapture(), nullptr);
        Idle();
        // It had begun to slide, so its close slid it out and ran the command, once.
        EXPECT_EQ(host->Count(1300, 1, 2), 1) << direction;
        EXPECT_EQ(ScreenPixel(150, 150), ScreenColour(kRed)) << direction;

        // Nothing of the cut slide is left: the page opens and closes as usual.
        CShellPanel* page = Open(3);
        ASSERT_NE(page, nullptr);
        RECT got;
        ASSERT_TRUE(GetWindowRect(page->GetOwnWnd(), &got));
        EXPECT_EQ(got.left, 100);
        EXPECT_EQ(got.bottom, 260);
        Idle();
        EXPECT_EQ(ScreenPixel(150, 200), ScreenColour(kBlue));
        EXPECT_EQ(manager->CloseShell(3), 1);
        Idle();
        EXPECT_EQ(host->Count(1300, 1, 2), 2);
        EXPECT_EQ(ScreenPixel(150, 200), ScreenColour(kRed));
    }
}

TEST_F(ShellPanelTest, SecondCloseDuringSlideOutLeavesItToTheFirst) {
    UseScript(SlidingScript("0x01", 2));
    ASSERT_NE(Open(0), nullptr);
    ASSERT_NE(Open(3), nullptr);
    Idle();
    host->log.clear();
    SetCapture(Host());
    int nested = -5;
    host->ReactOnce(WM_CAPTURECHANGED, [&](WPARAM, LPARAM) { nested = manager->CloseShell(3); });
    EXPECT_EQ(manager->CloseShell(3), 1);
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(manager->FindShell(3), nullptr);
    EXPECT_EQ(GetCapture(), nullptr);
    Idle();
    EXPECT_EQ(host->Count(1300, 1, 2), 1);
    EXPECT_EQ(ScreenPixel(150, 150), ScreenColour(kRed));
    EXPECT_EQ(host->Count(WM_CLOSE), 0);
}

TEST_F(ShellPanelTest, OtherPageOpenedDuringSlideIn) {
    // A page that closes when its owner comes forward goes, without its command, when the owner is
    // opened again in the middle of its slide.
    UseScript(SlidingScript("0x11", -1));
    ASSERT_NE(Open(0), nullptr);
    Idle();
    host->log.clear();
    SetCapture(Host());
    CShellPanel* reopened = nullptr;
    host->ReactOnce(WM_CAPTURECHANGED, [&](WPARAM, LPARAM) { reopened = Open(0); });
    EXPECT_EQ(Open(3), nullptr);
    EXPECT_EQ(reopened, manager->FindShell(0));
    EXPECT_EQ(manager->FindShell(3), nullptr);
    EXPECT_EQ(GetCapture(), nullptr);
    Idle();
    EXPECT_EQ(host->Count(1300), 0);
    EXPECT_EQ(ScreenPixel(150, 150), ScreenColour(kRed));

    // A page of the same group opened meanwhile leaves the slide to finish at its rectangle.
    UseScript(SlidingScript("0x01", -1));
    SetCapture(Host());
    host->ReactOnce(WM_CAPTURECHANGED, [&](WPARAM, LPARAM) { EXPECT_NE(Open(4), nullptr); });
    CShellPanel* page = Open(3);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->IsExpanded());
    RECT got;
    ASSERT_TRUE(GetWindowRect(page->GetOwnWnd(), &got));
    EXPECT_EQ(got.top, 120);
    EXPECT_EQ(got.right, 310);
    EXPECT_EQ(got.bottom, 260);
    ASSERT_NE(manager->FindShell(4), nullptr);
    Idle();
    EXPECT_EQ(ScreenPixel(150, 200), ScreenColour(kBlue));
    EXPECT_EQ(ScreenPixel(530, 80), ScreenColour(kBlue));
}

TEST_F(ShellPanelTest, HostDestroyedDuringASlide) {
    for (bool slidingIn : {true, false}) {
        UseScript(SlidingScript("0x01", 0));
        if (!slidingIn) {
            host = std::make_unique<CTestHost>(manager.get());
            ASSERT_NE(host->Open(), nullptr);
        }
        ASSERT_NE(Open(0), nullptr);
        if (!slidingIn) {
            ASSERT_NE(Open(3), nullptr);
        }
        Idle();
        host->log.clear();
        const HWND doomed = Host();
        SetCapture(doomed);
        host->ReactOnce(WM_CAPTURECHANGED, [doomed](WPARAM, LPARAM) { DestroyWindow(doomed); });
        if (slidingIn) {
            EXPECT_EQ(Open(3), nullptr);
        } else {
            EXPECT_EQ(manager->CloseShell(3), -1);
        }
        EXPECT_FALSE(IsWindow(doomed));
        EXPECT_EQ(manager->GetShellCount(), 0) << slidingIn;
        EXPECT_EQ(GetCapture(), nullptr);
        Idle();
        // The page's window went with the host before the page could slide out: no command.
        EXPECT_EQ(host->Count(1300), 0) << slidingIn;
    }
}

}  // namespace
