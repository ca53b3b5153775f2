#include "ui/ShellManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "PageHarness.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

using namespace page_harness;

namespace {

constexpr COLORREF kRed = RGB(200, 0, 0);
constexpr COLORREF kGreen = RGB(0, 180, 0);
constexpr COLORREF kBlue = RGB(0, 0, 220);

LPARAM Shell16(int shell, DWORD high) { return static_cast<LPARAM>((static_cast<DWORD>(shell) & 0xFFFF) | (high << 16)); }

class ShellManagerTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("red.bmp", SolidBmp(800, 480, kRed));
        WriteImage("green.bmp", SolidBmp(800, 480, kGreen));
        WriteImage("blue.bmp", SolidBmp(100, 100, kBlue));
    }
};

TEST_F(ShellManagerTest, OpensFindsAndActivatesPages) {
    UseScript(
        "[shell]\r\nmain=0\r\n"
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=100,50,200,100,0,\r\nimage=\\Windows\\blue.bmp\r\n");
    CShellPanel* main = Open(-1);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->GetShell(), 0);
    EXPECT_EQ(main->GetOwnWnd(), nullptr);  // a root page draws into the host
    EXPECT_EQ(main->GetHwnd(), Host());
    RECT hr;
    GetWindowRect(Host(), &hr);
    EXPECT_EQ(hr.right - hr.left, 800);
    EXPECT_EQ(hr.bottom - hr.top, 480);

    CShellPanel* page = Open(3);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->GetOwner(), 0);
    EXPECT_EQ(page->GetParentState(), 1);
    ASSERT_NE(page->GetOwnWnd(), nullptr);
    WCHAR cls[32] = {};
    GetClassNameW(page->GetOwnWnd(), cls, 32);
    EXPECT_EQ(std::u16string(cls), u"WDSHELL_PANEL");
    EXPECT_EQ(manager->FindShell(-1), page);
    EXPECT_EQ(manager->FindShell(0), main);
    EXPECT_EQ(manager->FindShell(7), nullptr);
    EXPECT_EQ(manager->GetShellCtrl(3, 0), nullptr);
    EXPECT_EQ(manager->GetShellCtrl(9, 0), nullptr);

    // Opening it again only brings it forward.
    EXPECT_EQ(Open(3), page);
    EXPECT_EQ(manager->GetShellCount(), 2);

    Idle();
    EXPECT_EQ(ScreenPixel(10, 10), ScreenColour(kRed));
    EXPECT_EQ(ScreenPixel(150, 100), ScreenColour(kBlue));
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_ACTIVATE, 0x00010000), 1);

    // A script file that cannot be read opens nothing.
    script.reset();
    EXPECT_EQ(manager->OpenShell(Host(), 1, u"\\Windows\\missing.ini", TRUE), nullptr);
    EXPECT_EQ(manager->OpenShell(Host(), 1, nullptr, TRUE), nullptr);
    EXPECT_EQ(manager->GetShellCount(), 2);
}

TEST_F(ShellManagerTest, MainPageWithoutImagesKeepsItsNumberAndClosesOnDestroy) {
    UseScript("[shell]\r\nmain=2\r\n[shell2]\r\npanel=,,,,,\r\n");
    CShellPanel* page = Open(-1);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->GetShell(), 2);
    EXPECT_EQ(manager->FindShell(2), page);
    // Asking for the main page again finds the open one.
    EXPECT_EQ(Open(-1), page);
    EXPECT_EQ(manager->GetShellCount(), 1);

    // Without [shell] there is no main page.
    UseScript("[shell2]\r\npanel=,,,,,\r\n");
    EXPECT_EQ(Open(-1), nullptr);

    // The host's destruction closes everything and ends.
    host.reset();
    EXPECT_EQ(manager->GetShellCount(), 0);
}

TEST_F(ShellManagerTest, ClosingGroupsAndTheLastPage) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=10,10,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell4]\r\npanel=300,10,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell6]\r\npanel=0,0,800,480,0x100,\r\nimage=\\Windows\\green.bmp\r\n");
    ASSERT_NE(Open(0), nullptr);
    ASSERT_NE(Open(3), nullptr);
    ASSERT_NE(Open(4), nullptr);
    EXPECT_EQ(manager->CloseShell(5), 0);

    // Closing a member closes only that page.
    EXPECT_EQ(manager->CloseShell(4), 1);
    EXPECT_EQ(manager->FindShell(4), nullptr);
    ASSERT_NE(Open(4), nullptr);

    // The group of the top shown page: all three.
    EXPECT_EQ(manager->CloseShell(-1), -1);
    EXPECT_EQ(manager->GetShellCount(), 0);
    EXPECT_EQ(manager->CloseShell(-1), 0);
    Idle();
    EXPECT_EQ(host->Count(WM_CLOSE), 1);

    // Two groups: closing the top group leaves the other one open and the program running.
    ASSERT_NE(Open(0), nullptr);
    CShellPanel* other = Open(6);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->GetParentState(), -1);
    EXPECT_EQ(other->GetOwner(), 6);
    EXPECT_EQ(manager->CloseShell(-1), 1);
    EXPECT_NE(manager->FindShell(0), nullptr);
    Idle();
    EXPECT_EQ(host->Count(WM_CLOSE), 1);
}

TEST_F(ShellManagerTest, ActivationClosesOtherGroupsButKeepsTopmostPages) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell1]\r\npanel=0,0,800,480,0x100,\r\nimage=\\Windows\\green.bmp\r\n"
        "[shell2]\r\npanel=10,10,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell4]\r\npanel=600,300,100,100,0x140,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell5]\r\npanel=200,200,100,100,0x20,\r\nimage=\\Windows\\blue.bmp\r\n");
    ASSERT_NE(Open(0), nullptr);
    CShellPanel* five = Open(5);
    ASSERT_NE(five, nullptr);
    EXPECT_EQ(five->GetOwner(), 0);
    ASSERT_NE(Open(1), nullptr);
    CShellPanel* two = Open(2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->GetOwner(), 1);
    ASSERT_NE(Open(4), nullptr);
    EXPECT_EQ(manager->GetShellCount(), 5);
    // Page 5 was hidden when group 1 came up; page 0 too.
    EXPECT_FALSE(five->IsShown());
    EXPECT_FALSE(manager->FindShell(0)->IsShown());

    // Back to page 0: group 1 goes, the topmost page stays, the hidden page of group 0 stays hidden.
    CShellPanel* main = manager->ActivateShell(0);
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(main->IsShown());
    EXPECT_EQ(manager->FindShell(1), nullptr);
    EXPECT_EQ(manager->FindShell(2), nullptr);
    EXPECT_NE(manager->FindShell(4), nullptr);
    EXPECT_NE(manager->FindShell(5), nullptr);
    EXPECT_EQ(manager->ActivateShell(9), nullptr);
}

TEST_F(ShellManagerTest, HostTimersAndActivationReachOnlyThePagesDrawnInTheHost) {
    WriteImage("00_ani.bmp", SolidBmp(20, 20, kRed));
    WriteImage("01_ani.bmp", SolidBmp(20, 20, kGreen));
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=10,10,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell3-0]\r\ntype=0,0,0,2\r\npos=0,0,20,20\r\nimage=\\Windows\\00_ani.bmp\r\n");
    ASSERT_NE(Open(0), nullptr);
    CShellPanel* own = Open(3);
    ASSERT_NE(own, nullptr);
    ASSERT_NE(own->GetOwnWnd(), nullptr);
    CUiCtrl* ani = own->GetCtrl(0);
    ASSERT_NE(ani, nullptr);
    const UINT_PTR timer = ani->GetAnimationTimer();
    ASSERT_NE(timer, 0u);
    Idle();
    host->log.clear();

    // Offered straight to the manager, with nothing pumped in between, as the host's procedure does.
    const int frame = ani->GetFrame();
    BOOL handled = FALSE;
    manager->PreTranslate(Host(), WM_TIMER, timer, 0, handled);
    EXPECT_EQ(ani->GetFrame(), frame) << "the host's timer reached a page with a window of its own";
    manager->PreTranslate(Host(), WM_ACTIVATE, WA_ACTIVE, 0, handled);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_ACTIVATE, Shell16(0, WA_ACTIVE)), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_ACTIVATE, Shell16(3, WA_ACTIVE)), 0);
}

TEST_F(ShellManagerTest, ShellNotifyOpensAndClosesPages) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\n"
        "[shell3]\r\npanel=10,10,100,100,0,\r\nimage=\\Windows\\blue.bmp\r\n");
    ASSERT_NE(Open(0), nullptr);
    Idle();
    host->log.clear();

    PostMessageW(Host(), WM_SHELL_NOTIFY, SHELL_NOTIFY_OPEN, 3);
    Idle();
    EXPECT_NE(manager->FindShell(3), nullptr);
    PostMessageW(Host(), WM_SHELL_NOTIFY, SHELL_NOTIFY_CLOSE, static_cast<LPARAM>(0xFFFF0003u));
    Idle();
    EXPECT_EQ(manager->FindShell(3), nullptr);
    PostMessageW(Host(), WM_SHELL_NOTIFY, SHELL_NOTIFY_OPEN, static_cast<LPARAM>(0xFFFF0003u));
    Idle();
    EXPECT_NE(manager->FindShell(3), nullptr);

    // A negative page does nothing and is still taken by the manager.
    BOOL handled = FALSE;
    EXPECT_EQ(manager->PreTranslate(Host(), WM_SHELL_NOTIFY, SHELL_NOTIFY_CLOSE, static_cast<LPARAM>(0xFFFFFFFFu),
                                    handled),
              1);
    EXPECT_TRUE(handled);
    EXPECT_NE(manager->FindShell(3), nullptr);

    // The other notices reach the host's own handler.
    PostMessageW(Host(), WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK, 0);
    PostMessageW(Host(), WM_SHELL_NOTIFY, SHELL_NOTIFY_DROP, 7);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_DROP, 7), 1);
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_OPEN), 0);

    handled = FALSE;
    EXPECT_EQ(manager->PreTranslate(Host(), WM_ERASEBKGND, 0, 0, handled), 1);
    EXPECT_TRUE(handled);
    handled = TRUE;
    manager->PreTranslate(Host(), WM_TIMER, 4096, 0, handled);
    EXPECT_FALSE(handled);
    handled = FALSE;
    EXPECT_EQ(manager->PreTranslate(Host(), WM_CTLCOLORSTATIC, 0, 0, handled),
              reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)));
    EXPECT_TRUE(handled);
}

TEST_F(ShellManagerTest, KeyBindingsAndRegionsFromTheScript) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\green.bmp\r\n"
        "key0=0x0D,0,0,0,1100,1,2\r\nkey1=0x1B,0,1,0,1101,3,4\r\nkey3=0x20,0,0,0,1102,5,6\r\n"
        "[shell6]\r\npanel=0,0,100,100,0x100,\r\nimage=\\Windows\\blue.bmp\r\nrgn=0,0,10,10|20,20,30,30|40,40,50,50\r\n"
        "[shell7]\r\npanel=200,0,100,100,0x100,\r\nimage=\\Windows\\blue.bmp\r\nrgn=0,0,10,10\r\n");
    CShellPanel* main = Open(0);
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(main->GetKeyCount(), 2);
    EXPECT_EQ(main->GetKey(1)->vkey, 0x1Bu);
    EXPECT_EQ(main->GetKey(1)->when, 1);
    EXPECT_EQ(std::u16string(main->GetKey(1)->s1), u"1101");

    // Keys reach the page through the host's filter: Enter runs on the press, Escape on the release.
    Idle();
    qrx::screen::Key(VK_RETURN);
    qrx::screen::Key(VK_ESCAPE);
    qrx::screen::Key(VK_SPACE);
    Idle();
    EXPECT_EQ(host->Count(1100, 1, 2), 1);
    EXPECT_EQ(host->Count(1101, 3, 4), 1);
    EXPECT_EQ(host->Count(1102), 0);

    // Each page below is its own group and hides the one before; the host stays green around them.
    ASSERT_NE(Open(6), nullptr);
    Idle();
    // Two rectangles closed by "|" make the region; the text after the last "|" does not count.
    EXPECT_EQ(ScreenPixel(5, 5), ScreenColour(kBlue));
    EXPECT_EQ(ScreenPixel(25, 25), ScreenColour(kBlue));
    EXPECT_EQ(ScreenPixel(15, 15), ScreenColour(kGreen));
    EXPECT_EQ(ScreenPixel(45, 45), ScreenColour(kGreen));
    ASSERT_NE(Open(7), nullptr);
    Idle();
    // A single rectangle without "|" gives no region at all.
    EXPECT_EQ(ScreenPixel(250, 50), ScreenColour(kBlue));
    EXPECT_EQ(ScreenPixel(290, 90), ScreenColour(kBlue));
}

TEST_F(ShellManagerTest, HostBufferFollowsTheRootPageSize) {
    UseScript(
        "[shell1]\r\npanel=0,0,400,240,0,\r\nimage=\\Windows\\blue.bmp\r\n"
        "[shell2]\r\npanel=,,,,,\r\nimage=\\Windows\\green.bmp\r\n");
    CShellPanel* small = Open(1);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->GetParentState(), 0);
    EXPECT_TRUE(small->IsOwnRoot());
    Idle();
    RECT hr;
    GetWindowRect(Host(), &hr);
    EXPECT_EQ(hr.right, 400);
    EXPECT_EQ(ScreenPixel(50, 50), ScreenColour(kBlue));

    EXPECT_EQ(manager->CloseShell(1), -1);
    ASSERT_NE(Open(2), nullptr);
    Idle();
    GetWindowRect(Host(), &hr);
    EXPECT_EQ(hr.right, 800);
    EXPECT_EQ(ScreenPixel(50, 50), ScreenColour(kGreen));
    EXPECT_EQ(ScreenPixel(700, 400), ScreenColour(kGreen));
}

TEST_F(ShellManagerTest, ModalTopPageBlocksTheOthers) {
    UseScript(
        "[shell0]\r\npanel=,,,,,\r\nimage=\\Windows\\red.bmp\r\nkey0=0x0D,0,0,0,1100,0,0\r\n"
        "[shell6]\r\npanel=0,0,800,480,0x100,\r\nimage=\\Windows\\green.bmp\r\n"
        "[shell8]\r\npanel=273,79,254,349,0x00C0,\r\nimage=\\Windows\\blue.bmp\r\n");
    CShellPanel* main = Open(0);
    ASSERT_NE(main, nullptr);
    EXPECT_FALSE(manager->IsBlockedByModal(main));
    CShellPanel* modal = Open(8);
    ASSERT_NE(modal, nullptr);
    EXPECT_TRUE(manager->IsBlockedByModal(main));
    EXPECT_FALSE(manager->IsBlockedByModal(modal));
    EXPECT_EQ(main->OnKey(WM_KEYDOWN, VK_RETURN, 1, 0), 0);
    // Opening the modal page did not hide the page of its own group below it.
    EXPECT_TRUE(main->IsShown());
    EXPECT_EQ(manager->GetOwnerShell(nullptr), 0);
    EXPECT_EQ(manager->CloseShell(8), 1);
    EXPECT_FALSE(manager->IsBlockedByModal(main));
    EXPECT_EQ(main->OnKey(WM_KEYDOWN, VK_RETURN, 1, 0), 1);

    // A page window activated below a modal page brings the modal page forward and reports nothing.
    CShellPanel* lower = Open(6);
    ASSERT_NE(lower, nullptr);
    modal = Open(8);
    ASSERT_NE(modal, nullptr);
    EXPECT_EQ(modal->GetOwner(), 6);
    Idle();
    SetWindowPos(lower->GetOwnWnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    host->log.clear();
    SendMessageW(lower->GetOwnWnd(), WM_ACTIVATE, WA_CLICKACTIVE, 0);
    Idle();
    const auto windows = qrx::screen::ListWindows();
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(windows.front().hwnd, modal->GetOwnWnd());
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_ACTIVATE, Shell16(6, WA_CLICKACTIVE)), 0);
}

TEST_F(ShellManagerTest, NotifyPostsTheKeyClickToANamedWindow) {
    class CTarget : public CWindowImpl<CTarget> {
    public:
        DECLARE_WND_CLASS(u"QRX_NOTIFY_TARGET")
        BOOL ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
            if (uMsg != WM_SHELL_NOTIFY) return FALSE;
            got.push_back(Recorded{uMsg, wParam, lParam});
            lResult = 0;
            return TRUE;
        }
        std::vector<Recorded> got;
    };
    RECT rc{0, 0, 10, 10};
    {
        CTarget first;
        ASSERT_NE(first.Create(nullptr, &rc, u"", WS_POPUP, 0), nullptr);
        manager->Notify(0, u"QRX_NOTIFY_TARGET", 42);
        manager->Notify(-1, u"QRX_NOTIFY_TARGET", 43);
        manager->Notify(0, u"", 44);
        Idle();
        ASSERT_EQ(first.got.size(), 1u);
        EXPECT_EQ(first.got[0].wParam, static_cast<WPARAM>(SHELL_NOTIFY_KEYCLICK));
        EXPECT_EQ(first.got[0].lParam, 42);
        first.DestroyWindow();
    }
    // A window of that class made again is found again.
    CTarget second;
    ASSERT_NE(second.Create(nullptr, &rc, u"", WS_POPUP, 0), nullptr);
    manager->Notify(0, u"QRX_NOTIFY_TARGET", 45);
    Idle();
    ASSERT_EQ(second.got.size(), 1u);
    EXPECT_EQ(second.got[0].lParam, 45);
    // A sound that does not exist is skipped quietly.
    manager->Notify(1, u"\\Windows\\none.wav", 0);
    second.DestroyWindow();
}

TEST_F(ShellManagerTest, LaunchesOneProgramPerWatchTime) {
    std::filesystem::copy_file("/bin/true", root.Host("Windows/Quick.exe"));
    EXPECT_EQ(manager->LaunchProgram(u"", nullptr), 0);
    EXPECT_EQ(manager->LaunchProgram(u"\\Windows\\Missing.exe", nullptr), 0);
    EXPECT_FALSE(manager->IsLaunchBusy());

    EXPECT_EQ(manager->LaunchProgram(u"\\Windows\\Quick.exe", u"x"), 1);
    EXPECT_TRUE(manager->IsLaunchBusy());
    // A second tap during the start does nothing.
    EXPECT_EQ(manager->LaunchProgram(u"\\Windows\\Quick.exe", nullptr), 0);
    manager->WaitLaunchWatch();
    EXPECT_FALSE(manager->IsLaunchBusy());
    EXPECT_EQ(manager->LaunchProgram(u"\\Windows\\Quick.exe", nullptr), 1);
    // The manager stops and joins a running watcher when it goes.
    manager.reset();
    manager = std::make_unique<CShellManager>();
    host->m_manager = manager.get();
}

TEST(ShellManagerTimers, IdsAreUniqueAndAboveTheHostTimers) {
    std::set<UINT_PTR> ids;
    for (int i = 0; i < 1000; ++i) {
        const UINT_PTR id = CShellManager::AllocTimerId();
        EXPECT_GE(id, 0x10000u);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1000u);
}

}  // namespace
