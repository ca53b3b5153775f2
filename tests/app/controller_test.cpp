// The controller, the popup, the lock and backlight hand-off and the top bar, driven through the real
// main window with the program's layout and images on the in-process screen.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>

#include "ControllerHarness.h"
#include "app/MicomPort.h"
#include "app/OperationWnd.h"
#include "qrx/boardapi.h"
#include "qrx/commapi.h"
#include "qrx/dbt.h"
#include "ui/controls/Button.h"

using namespace controller_harness;
namespace fs = std::filesystem;

namespace {

const int kButtons[] = {2, 3, 4};

// The text as the popup shows it: each backslash-r of the language file is a line break.
std::u16string Shown(const std::u16string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 1 < text.size() && text[i + 1] == u'r') {
            out += u"\r\n";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A broadcast record of a storage volume as the platform sends it.
struct PortRecord {
    DEV_BROADCAST_HDR head;
    WCHAR name[16];
};
PortRecord VolumeRecord(DWORD type) {
    PortRecord r{};
    r.head.dbch_size = sizeof r;
    r.head.dbch_devicetype = type;
    const char16_t name[] = u"SD Card";
    std::memcpy(r.name, name, sizeof name);
    return r;
}

// ---- Popups ---------------------------------------------------------------------------------------

class ControllerPopup : public ControllerTest {
protected:
    std::map<int, std::u16string> texts = LangSection(EnglishLangPath(), "shell12");

    void ExpectButtons(const std::set<int>& used) {
        for (int b : kButtons) {
            CUiCtrl* c = Ctrl(SHELL_POPUP, b);
            ASSERT_NE(c, nullptr);
            const bool on = used.count(b) != 0;
            EXPECT_EQ(c->IsVisible() != 0, on) << "button " << b;
            EXPECT_EQ(c->IsEnabled() != 0, on) << "button " << b;
            if (on) {
                EXPECT_EQ(std::u16string(c->GetText()), texts[b]) << "button " << b;
            }
        }
    }
};

TEST_F(ControllerPopup, TextsComeFromTheLanguageAndEachStyleShowsOnlyItsButtons) {
    ASSERT_TRUE(texts.count(20) && texts[20].find(u"\\r") != std::u16string::npos);
    const struct {
        int style;
        std::set<int> used;
    } styles[] = {{POPUP_NO_BUTTON, {}}, {POPUP_ONE_BUTTON, {4}}, {POPUP_TWO_BUTTONS, {2, 3}}};
    for (const auto& s : styles) {
        SCOPED_TRACE("style " + std::to_string(s.style));
        ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 20, s.style, FALSE);
        Pump();
        ASSERT_NE(Shell(SHELL_POPUP), nullptr);
        EXPECT_TRUE(Shell(SHELL_POPUP)->IsShown());
        EXPECT_EQ(CtrlText(SHELL_POPUP, 0), texts[10]);
        EXPECT_EQ(CtrlText(SHELL_POPUP, 1), Shown(texts[20]));
        ExpectButtons(s.used);
    }
    EXPECT_EQ(ShellCopies(SHELL_POPUP), 1) << "a new popup replaces the open one";

    // Only the buttons in use answer a touch; the answer closes the popup.
    ShowMessageBox(hWnd, POPUP_TITLE_NOTICE, 41, POPUP_ONE_BUTTON, FALSE);
    Pump();
    RECT p;
    Shell(SHELL_POPUP)->GetRect(&p, FALSE);
    TapAt(POINT{p.left + 50, p.top + 242});  // left button's place, clear of the centre one
    TapAt(POINT{p.left + 330, p.top + 242});  // right button's place
    EXPECT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_POPUP), 0);
    TapAt(CentreOf(SHELL_POPUP, 4));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_POPUP, 4), 1);
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);

    ShowMessageBox(hWnd, POPUP_TITLE_SETTING, 36, POPUP_TWO_BUTTONS, FALSE);
    Pump();
    TapAt(CentreOf(SHELL_POPUP, 3));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_POPUP, 3), 1);
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
}

TEST_F(ControllerPopup, EachTitleSoundsItsPatternAndClosingCanSilenceIt) {
    const struct {
        int title;
        int pattern;
    } sounds[] = {{POPUP_TITLE_ERROR, 1}, {POPUP_TITLE_NOTICE, 2}, {POPUP_TITLE_SETTING, 3}};
    for (const auto& s : sounds) {
        g_MainFrame.m_nBeepPattern = 77;
        ShowMessageBox(hWnd, s.title, 21, POPUP_ONE_BUTTON, FALSE);
        Pump();
        EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), s.pattern) << "title " << s.title;
    }
    // A title outside the three has no sound and no title text.
    RecordLog().clear();
    g_MainFrame.m_nBeepPattern = 77;
    ShowMessageBox(hWnd, 13, 21, POPUP_ONE_BUTTON, FALSE);
    Pump();
    ASSERT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 0), u"");
    EXPECT_EQ(Count(WM_BEEP), 0);
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), 77);

    // A caller's text is shown as it is, and its sound is under way when the call returns.
    g_MainFrame.m_nBeepPattern = 77;
    ShowMessageBoxText(hWnd, POPUP_TITLE_NOTICE, u"a\\rb\r\nc", POPUP_NO_BUTTON);
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), 2);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 1), u"a\\rb\r\nc");
    ShowMessageBoxText(hWnd, POPUP_TITLE_ERROR, nullptr, POPUP_NO_BUTTON);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 1), u"");

    RecordLog().clear();
    ClosePopup(FALSE);
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(Count(WM_BEEP_OFF), 0);
    ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 21, POPUP_ONE_BUTTON, FALSE);
    Pump();
    ClosePopup(TRUE);
    EXPECT_EQ(Count(WM_BEEP_OFF), 1);
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), BEEP_STOP);
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
    ClosePopup(TRUE);  // nothing open: only the sound is stopped
    EXPECT_EQ(Count(WM_BEEP_OFF), 2);
}

TEST_F(ControllerPopup, APopupClosesTheLoadingScreen) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"SPLASH_APP";
    RegisterClassW(&wc);
    HWND splash = CreateWindowExW(0, u"SPLASH_APP", u"", WS_VISIBLE, 0, 0, 800, 480, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(splash, nullptr);
    ShowMessageBox(hWnd, POPUP_TITLE_NOTICE, 40, POPUP_ONE_BUTTON, FALSE);
    EXPECT_FALSE(IsWindow(splash));
    if (IsWindow(splash)) DestroyWindow(splash);
}

TEST_F(ControllerPopup, EventCodesShowTheirPopupAndLogAllButTheStorageOne) {
    const struct {
        int code, title, message, style;
        bool logged;
    } table[] = {
        {1, 10, 21, 1, true},      {2, 10, 21, 1, true},      {3, 10, 21, 1, true},      {7, 10, 31, 1, true},
        {8, 10, 32, 1, true},      {10, 10, 64, 1, true},     {50, 10, 50, 0, false},    {102, 10, 27, 1, true},
        {103, 10, 28, 1, true},    {204, 10, 33, 1, true},    {205, 10, 33, 1, true},    {208, 10, 35, 1, true},
        {209, 10, 22, 1, true},    {210, 10, 33, 0, true},    {1000, 11, 41, 1, true},   {1001, 11, 42, 1, true},
        {1002, 11, 40, 1, true},   {10000, 10, 20, 1, true},  {10001, 10, 30, 1, true},  {10002, 10, 55, 1, true},
        {10003, 10, 63, 1, true},
    };
    for (const auto& e : table) {
        SCOPED_TRACE("code " + std::to_string(e.code));
        ClosePopup(FALSE);
        const std::u16string before = Log();
        EXPECT_TRUE(ShowEventPopup(hWnd, e.code));
        ASSERT_NE(Shell(SHELL_POPUP), nullptr);
        ASSERT_TRUE(texts.count(e.message));
        EXPECT_EQ(CtrlText(SHELL_POPUP, 0), texts[e.title]);
        EXPECT_EQ(CtrlText(SHELL_POPUP, 1), Shown(texts[e.message]));
        ExpectButtons(e.style == 1 ? std::set<int>{4} : std::set<int>{});
        const std::u16string after = Log();
        ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the log is only appended to";
        const std::u16string added = after.substr(before.size());
        if (!e.logged) {
            EXPECT_TRUE(added.empty());
            continue;
        }
        EXPECT_EQ(Lines(added), 1);
        std::u16string flat = Shown(texts[e.message]);
        for (size_t at = flat.find(u"\r\n"); at != std::u16string::npos; at = flat.find(u"\r\n", at))
            flat.replace(at, 2, u" ");
        const std::u16string body = U16("] " + std::to_string(e.message) + (e.title == 10 ? ",ERR," : ",NOTI,")) + flat;
        EXPECT_NE(added.find(body + u"\r\n"), std::u16string::npos);
    }
    for (int code : {0, 4, 9, 49, 51, 101, 211, 999, 1003, 9999, 10004, -1}) {
        ClosePopup(FALSE);
        const std::u16string before = Log();
        EXPECT_FALSE(ShowEventPopup(hWnd, code)) << code;
        EXPECT_EQ(Shell(SHELL_POPUP), nullptr) << code;
        EXPECT_EQ(Log(), before) << code;
    }
    // The operation page's threads post their codes to the main window.
    PostMessageW(hWnd, WM_OPERATION_EVENT, 1001, 1);
    ASSERT_TRUE(PumpUntil([] { return Shell(SHELL_POPUP) != nullptr; }));
    EXPECT_EQ(CtrlText(SHELL_POPUP, 1), Shown(texts[42]));
}

// ---- Screen lock ----------------------------------------------------------------------------------

class ControllerLock : public ControllerTest {
protected:
    void EnableLock() {
        root.WriteFile("NAND Flash/LockDat.dat", std::string(16, '\x01'));
        g_Settings.wLockEnable = 1;
        g_Settings.wBackLight = 0;
    }
    void Expire(UINT_PTR id) { SendMessageW(hWnd, WM_TIMER, id, 0); }
    bool BoxShown() { return Shell(SHELL_LOCKBOX) != nullptr && Shell(SHELL_LOCKBOX)->IsShown(); }
};

TEST_F(ControllerLock, RestartArmsTheTimerOnlyWithTheSettingAndItsPattern) {
    g_Settings.wLockEnable = 0;
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));

    g_Settings.wLockEnable = 2;  // out of range even with the pattern
    root.WriteFile("NAND Flash/LockDat.dat", "x");
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    EXPECT_EQ(g_Settings.wLockEnable, 0);
    fs::remove(root.Host("NAND Flash/LockDat.dat"));

    g_Settings.wLockEnable = 1;  // no pattern file: the lock could never be opened again
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    EXPECT_EQ(g_Settings.wLockEnable, 0);
    Expire(TIMER_SCREEN_LOCK);
    EXPECT_FALSE(BoxShown());

    EnableLock();
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    Expire(TIMER_SCREEN_LOCK);
    ASSERT_TRUE(BoxShown());
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 1);
    EXPECT_EQ(CtrlText(SHELL_LOCKBOX, 0), LangSection(EnglishLangPath(), "shell13")[0]);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    // The top bar's lock button does the same at once.
    g_MainFrame.CloseLockBox();
    g_MainFrame.m_bScreenLocked = 0;
    SetTimer(hWnd, TIMER_SCREEN_LOCK, 600000, nullptr);
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    EXPECT_TRUE(BoxShown());
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 1);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
}

TEST_F(ControllerLock, TouchingTheBoxWithoutTheLockProgramLeavesTheScreenUsable) {
    EnableLock();
    Expire(TIMER_SCREEN_LOCK);
    ASSERT_TRUE(BoxShown());
    TapAt(CentreOf(SHELL_LOCKBOX, 0));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_LOCKBOX, 0), 1);
    EXPECT_EQ(Shell(SHELL_LOCKBOX), nullptr);
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
}

TEST_F(ControllerLock, TouchingTheBoxStartsTheLockProgramToCheckThePattern) {
    WriteRecorderProgram("Windows/Shutter.exe", "shutter.args");
    EnableLock();
    Expire(TIMER_SCREEN_LOCK);
    ASSERT_TRUE(BoxShown());
    // The recorder ends at once without answering, so the box may already be back when the tap is read.
    TapAt(CentreOf(SHELL_LOCKBOX, 0));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_LOCKBOX, 0), 1);
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 1) << "locked until the lock program answers";
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    ASSERT_TRUE(PumpUntil([&] { return fs::exists(root.Host("shutter.args")); }));
    ASSERT_TRUE(PumpUntil([&] { return !root.ReadFile("shutter.args").empty(); }));
    EXPECT_EQ(root.ReadFile("shutter.args"), "0,1");
    // Ended without an answer: the screen stays locked and the box is shown again.
    ASSERT_TRUE(PumpUntil([&] { return BoxShown(); }));
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 1);
}

TEST_F(ControllerLock, AnswersOfTheLockProgram) {
    EnableLock();
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    ASSERT_EQ(g_MainFrame.m_bScreenLocked, 1);

    Command(hWnd, SHELL_LOCKBOX, 1);  // unlocked
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));

    Command(hWnd, SHELL_LOCKBOX, 2);  // a new pattern was set or kept
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);

    for (int answer : {3, 4}) {  // wrong pattern, cancelled
        g_MainFrame.CloseLockBox();
        g_MainFrame.m_bScreenLocked = 0;
        Command(hWnd, SHELL_LOCKBOX, answer);
        EXPECT_TRUE(BoxShown()) << answer;
        EXPECT_EQ(g_MainFrame.m_bScreenLocked, 1) << answer;
    }

    // Switched off on the setting page meanwhile: the controller reads the setting again.
    g_MainFrame.CloseLockBox();
    g_Settings.wLockEnable = 0;
    Command(hWnd, SHELL_LOCKBOX, 2);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    Command(hWnd, SHELL_LOCKBOX, 1);
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    Command(hWnd, SHELL_LOCKBOX, 3);
    EXPECT_FALSE(BoxShown());
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);
    Command(hWnd, SHELL_LOCKBOX, 9);  // unknown answer
    EXPECT_FALSE(BoxShown());
}

TEST_F(ControllerLock, APatternFileDeletedWhileArmedSwitchesTheLockOff) {
    EnableLock();
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    fs::remove(root.Host("NAND Flash/LockDat.dat"));
    Expire(TIMER_SCREEN_LOCK);
    EXPECT_FALSE(BoxShown());
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);
    EXPECT_EQ(g_Settings.wLockEnable, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));

    // Already locked when the file goes: the box must not stay up with nothing to open it.
    EnableLock();
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    ASSERT_TRUE(BoxShown());
    SetTimer(hWnd, TIMER_SCREEN_LOCK, 600000, nullptr);
    fs::remove(root.Host("NAND Flash/LockDat.dat"));
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    EXPECT_FALSE(BoxShown());
    EXPECT_EQ(g_MainFrame.m_bScreenLocked, 0);
    EXPECT_EQ(g_Settings.wLockEnable, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
}

TEST_F(ControllerLock, RestartWhileLockedRestartsOnlyTheBacklightTimer) {
    EnableLock();
    g_Settings.wBackLight = 1;
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    ASSERT_EQ(g_MainFrame.m_bScreenLocked, 1);
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));
    EXPECT_TRUE(BoxShown());

    g_MainFrame.m_bScreenLocked = 0;
    SendMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));
}

// ---- Backlight ------------------------------------------------------------------------------------

class ControllerBacklight : public ControllerLock {};

TEST_F(ControllerBacklight, ModeZeroOnlyStopsTheTimer) {
    for (WORD mode : {0, 7}) {  // 7 is out of range and counts as "never"
        SCOPED_TRACE(mode);
        g_Settings.wBackLight = mode;
        SetTimer(hWnd, TIMER_BACKLIGHT, 1800000, nullptr);
        SetTimer(hWnd, TIMER_SCREEN_LOCK, 600000, nullptr);
        SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
        EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));
        EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SCREEN_LOCK));
        EXPECT_EQ(g_Settings.wBackLight, 0);
        EXPECT_EQ(g_MainFrame.m_nBackLightMode, 0);
    }
    const int before = qrx::BacklightState();
    Expire(TIMER_BACKLIGHT);
    EXPECT_EQ(Shell(SHELL_COVER), nullptr);
    EXPECT_EQ(qrx::BacklightState(), before);
    EXPECT_EQ(g_MainFrame.m_bScreenOff, 0);
}

TEST_F(ControllerBacklight, ExpiryDarkensAndCoversTheScreenAndATouchLightsItAgain) {
    g_Settings.wBackLight = 2;
    SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));
    Expire(TIMER_BACKLIGHT);
    EXPECT_EQ(qrx::BacklightState(), 0);
    ASSERT_NE(Shell(SHELL_COVER), nullptr);
    EXPECT_TRUE(Shell(SHELL_COVER)->IsShown());
    EXPECT_EQ(g_MainFrame.m_bScreenOff, 1);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));
    SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);  // a dark screen needs no timer
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));

    // The first touch, even on a button of the main page, only lights the screen.
    RecordLog().clear();
    TapAt(CentreOf(SHELL_MAIN, 1));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_COVER, 0), 1);
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_MAIN), 0);
    EXPECT_EQ(qrx::BacklightState(), 1);
    EXPECT_EQ(Shell(SHELL_COVER), nullptr);
    EXPECT_EQ(g_MainFrame.m_bScreenOff, 0);
    EXPECT_EQ(Count(WM_BACKLIGHT_TIMER_RESTART), 1);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_BACKLIGHT));
}

TEST_F(ControllerBacklight, APopupStaysBelowTheCoverAndBelowTheLockBox) {
    g_Settings.wBackLight = 1;
    SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
    Expire(TIMER_BACKLIGHT);
    ASSERT_NE(Shell(SHELL_COVER), nullptr);
    ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 21, POPUP_ONE_BUTTON, FALSE);
    Pump();
    ASSERT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_GT(StackIndex(SHELL_COVER), StackIndex(SHELL_POPUP));
    EXPECT_EQ(ShellCopies(SHELL_COVER), 1);
    TapAt(CentreOf(SHELL_POPUP, 4));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_COVER, 0), 1) << "the touch lights the screen first";
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_POPUP), 0);
    EXPECT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(qrx::BacklightState(), 1);

    EnableLock();
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    ASSERT_TRUE(BoxShown());
    ShowMessageBox(hWnd, POPUP_TITLE_NOTICE, 41, POPUP_ONE_BUTTON, FALSE);
    Pump();
    EXPECT_GT(StackIndex(SHELL_LOCKBOX), StackIndex(SHELL_POPUP));
    EXPECT_EQ(ShellCopies(SHELL_LOCKBOX), 1);
    TapAt(CentreOf(SHELL_LOCKBOX, 0));  // inside the popup's rectangle
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_LOCKBOX, 0), 1);
    EXPECT_EQ(Shell(SHELL_LOCKBOX), nullptr);
    EXPECT_NE(Shell(SHELL_POPUP), nullptr);

    // Locked and dark: the cover stays on top of both.
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOCK);
    g_Settings.wBackLight = 1;
    SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
    Expire(TIMER_BACKLIGHT);
    ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 64, POPUP_ONE_BUTTON, FALSE);
    Pump();
    EXPECT_GT(StackIndex(SHELL_LOCKBOX), StackIndex(SHELL_POPUP));
    EXPECT_GT(StackIndex(SHELL_COVER), StackIndex(SHELL_LOCKBOX));
}

TEST_F(ControllerBacklight, ARunningLockProgramStaysInFrontOfNewPopupsAndOfTheLitScreen) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"Shutter";
    RegisterClassW(&wc);
    HWND shutter = CreateWindowExW(0, u"Shutter", u"Shutter", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(shutter, nullptr);
    auto frontOf = [&](HWND a, HWND b) {
        int ia = -1, ib = -1, i = 0;
        for (const auto& w : qrx::screen::ListWindows()) {
            if (w.hwnd == a) ia = i;
            if (w.hwnd == b) ib = i;
            ++i;
        }
        return ia >= 0 && ib >= 0 && ia < ib;
    };
    ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 21, POPUP_ONE_BUTTON, FALSE);
    Pump();
    EXPECT_TRUE(IsWindowVisible(shutter));
    RECT rc;
    GetWindowRect(shutter, &rc);
    EXPECT_EQ(rc.right - rc.left, 800);
    EXPECT_EQ(rc.bottom - rc.top, 480);
    EXPECT_TRUE(frontOf(shutter, hWnd));

    // Lighting the screen again brings the lock program back to the front.
    ShowWindow(shutter, SW_HIDE);
    g_Settings.wBackLight = 1;
    SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
    Expire(TIMER_BACKLIGHT);
    Command(hWnd, SHELL_COVER, 0);
    EXPECT_TRUE(IsWindowVisible(shutter));
    EXPECT_TRUE(frontOf(shutter, hWnd));
    DestroyWindow(shutter);
}

// ---- Other messages of the main window ------------------------------------------------------------

class ControllerMessages : public ControllerTest {};

TEST_F(ControllerMessages, BluetoothStateKeyClicksAndDebugText) {
    auto* bt = dynamic_cast<CButtonCtrl*>(Ctrl(SHELL_TOPBAR, TOPBAR_BT_ICON));
    ASSERT_NE(bt, nullptr);
    g_MainFrame.m_pTopBarWnd->SetIcon(TOPBAR_BT_ICON, 1);
    SendMessageW(hWnd, WM_BT_STATE, 1, 0);
    EXPECT_EQ(g_Settings.wBtConnected, 1);
    EXPECT_EQ(bt->GetCheck(), 1);
    g_Settings.dwRemoteStreaming = 1;
    SendMessageW(hWnd, WM_BT_STATE, 0, 0);
    EXPECT_EQ(g_Settings.wBtConnected, 0);
    EXPECT_EQ(g_Settings.dwRemoteStreaming, 0u);
    EXPECT_EQ(bt->GetCheck(), 0);

    // The library's text need not end: at most its length, and never more than a line, is read.
    std::vector<char> text(300, 'a');
    SendMessageW(hWnd, WM_BT_DEBUG_TEXT, reinterpret_cast<WPARAM>(text.data()), 300);
    SendMessageW(hWnd, WM_BT_DEBUG_TEXT, reinterpret_cast<WPARAM>(text.data()), 3);
    SendMessageW(hWnd, WM_BT_DEBUG_TEXT, 0, 5);
    SendMessageW(hWnd, WM_BT_DEBUG_TEXT, reinterpret_cast<WPARAM>(text.data()), -1);

    // Every button of a page clicks.
    g_MainFrame.m_nBeepPattern = 77;
    TapAt(CentreOf(SHELL_MAIN, 0));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_MAIN, 0), 1);
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), BEEP_KEY_CLICK);

    // Shells the controller does not own are ignored.
    for (int shell : {7, 11, 17, 1000}) EXPECT_EQ(Command(hWnd, shell, 0), 0);
    EXPECT_EQ(SendMessageW(hWnd, WM_SET_FLAG, 1, 1), 0);
}

// ---- Hidden functions of the main page ------------------------------------------------------------

class ControllerHidden : public ControllerTest {
protected:
    void Press(int control) { Command(hWnd, SHELL_MAIN, control); }
    void PressSequence(int count) {
        for (int i = 0; i < count; ++i) Press(kHiddenSequence[i]);
    }
    // The unlocked right corner shows the top bar in admin mode; while locked it does nothing visible.
    bool RightCornerOpensAdmin() {
        g_MainFrame.m_pTopBarWnd->SetPage(SHELL_MAIN, 0, 1);
        Press(5);
        return Shell(SHELL_TOPBAR)->IsShown() != 0;
    }
    DWORD StoredLogo() {
        const std::string bytes = root.ReadFile("NAND Flash/COMPANY_INFO.dat");
        if (bytes.size() != 4) return 0xFFFFFFFFu;
        DWORD v;
        std::memcpy(&v, bytes.data(), 4);
        return v;
    }
};

TEST_F(ControllerHidden, TheSixPressSequenceUnlocksOneAdminVisit) {
    ASSERT_EQ((std::vector<int>(kHiddenSequence, kHiddenSequence + 6)), (std::vector<int>{4, 5, 4, 4, 5, 5}));
    PressSequence(6);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_HIDDEN_PRESS));
    g_MainFrame.m_pTopBarWnd->SetIconMask(0x7F);
    ASSERT_TRUE(RightCornerOpensAdmin());
    CTopBarWnd* bar = g_MainFrame.m_pTopBarWnd;
    EXPECT_EQ(bar->GetPage(), SHELL_ADMIN);
    EXPECT_TRUE(Ctrl(SHELL_TOPBAR, TOPBAR_HOME)->IsVisible());
    for (int c : {TOPBAR_MANUAL, TOPBAR_PROGRAM, TOPBAR_FILTER, TOPBAR_LOG, TOPBAR_LOCK, TOPBAR_AUTO})
        EXPECT_FALSE(Ctrl(SHELL_TOPBAR, c)->IsVisible()) << c;
    // One visit per sequence.
    EXPECT_FALSE(RightCornerOpensAdmin());
}

TEST_F(ControllerHidden, AWrongPressOrAPauseStartsTheSequenceAgain) {
    Press(4);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_HIDDEN_PRESS));
    Press(5);
    Press(4);
    Press(5);  // wrong: the fourth press is the left corner
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_HIDDEN_PRESS));
    Press(4);
    Press(5);
    Press(5);  // what was left of the sequence
    EXPECT_FALSE(RightCornerOpensAdmin());

    PressSequence(5);
    SendMessageW(hWnd, WM_TIMER, TIMER_HIDDEN_PRESS, 0);  // over a second since the last press
    Press(5);
    EXPECT_FALSE(RightCornerOpensAdmin());

    // Unlocked, then the second passes without a press: locked again.
    PressSequence(6);
    SendMessageW(hWnd, WM_TIMER, TIMER_HIDDEN_PRESS, 0);
    EXPECT_FALSE(RightCornerOpensAdmin());

    PressSequence(6);
    EXPECT_TRUE(RightCornerOpensAdmin());
}

TEST_F(ControllerHidden, ElevenLogoPressesStepTheLogoAndOtherPressesStartTheCountAgain) {
    ASSERT_EQ(g_dwLogoIndex, 0u);
    std::vector<uint32_t> before;
    ASSERT_TRUE(qrx::screen::Compose(before));
    for (int i = 0; i < 10; ++i) Press(3);
    EXPECT_FALSE(fs::exists(root.Host("NAND Flash/COMPANY_INFO.dat")));
    Press(3);
    EXPECT_EQ(StoredLogo(), 1u);
    EXPECT_EQ(g_dwLogoIndex, 1u);
    Pump();
    std::vector<uint32_t> after;
    ASSERT_TRUE(qrx::screen::Compose(after));
    bool changed = false;
    for (int y = 48; y < 148 && !changed; ++y)
        for (int x = 250; x < 550 && !changed; ++x) changed = before[y * 800 + x] != after[y * 800 + x];
    EXPECT_TRUE(changed) << "the main page shows the new logo";

    for (int other : {0, 1, 4, 5}) {
        Press(other);
        for (int i = 0; i < 10; ++i) Press(3);
        Press(other);
        Press(3);
        EXPECT_EQ(StoredLogo(), 1u) << "after a press of " << other;
    }
    for (int i = 0; i < 9; ++i) Press(3);
    EXPECT_EQ(StoredLogo(), 1u);
    Press(3);
    EXPECT_EQ(StoredLogo(), 2u);

    ASSERT_TRUE(SaveCompanyInfo(4));
    LoadCompanyInfo();
    for (int i = 0; i < 11; ++i) Press(3);
    EXPECT_EQ(StoredLogo(), 0u) << "after the fifth logo comes the first";
    EXPECT_EQ(g_dwLogoIndex, 0u);
}

// ---- Top bar --------------------------------------------------------------------------------------

class ControllerTopBar : public ControllerTest {
protected:
    CTopBarWnd* Bar() { return g_MainFrame.m_pTopBarWnd; }
    void ExpectControls(const std::set<int>& shown, const std::set<int>& enabled) {
        for (int c : {TOPBAR_HOME, TOPBAR_MANUAL, TOPBAR_PROGRAM, TOPBAR_FILTER, TOPBAR_LOG, TOPBAR_LOCK, TOPBAR_AUTO}) {
            EXPECT_EQ(Ctrl(SHELL_TOPBAR, c)->IsVisible() != 0, shown.count(c) != 0) << "shown " << c;
            if (shown.count(c)) {
                EXPECT_EQ(Ctrl(SHELL_TOPBAR, c)->IsEnabled() != 0, enabled.count(c) != 0) << "enabled " << c;
            }
        }
    }
    void SetTime(int hour, int minute) {
        SYSTEMTIME st{};
        st.wYear = 2024;
        st.wMonth = 3;
        st.wDay = 5;
        st.wHour = static_cast<WORD>(hour);
        st.wMinute = static_cast<WORD>(minute);
        ASSERT_TRUE(SetSystemTime(&st));
    }
};

TEST_F(ControllerTopBar, ShownHiddenAndTextsAtStart) {
    ASSERT_NE(Shell(SHELL_TOPBAR), nullptr);
    EXPECT_FALSE(Shell(SHELL_TOPBAR)->IsShown());
    auto texts = LangSection(EnglishLangPath(), "shell14");
    for (int c : {1, 2, 3, 4, 5, 10}) EXPECT_EQ(CtrlText(SHELL_TOPBAR, c), texts[c]) << c;
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_TOPBAR_CLOCK));
}

TEST_F(ControllerTopBar, OperationPagesSwitchTheButtonsAndGetTheSavedEnableMaskBack) {
    const std::set<int> all = {0, 1, 2, 3, 4, 5, 10};
    g_Settings.wLockEnable = 1;
    Bar()->SetIconMask(0x5E);  // home off, manual to log and auto on
    Bar()->SetPage(SHELL_OPERATION, 5, 1);
    EXPECT_TRUE(Shell(SHELL_TOPBAR)->IsShown());
    ExpectControls(all, {1, 2, 3, 4, 5, 10});
    Bar()->SetPage(SHELL_MANUAL, 5, 1);
    ExpectControls({0}, {0});
    Bar()->SetPage(SHELL_OPERATION, 5, 1);
    ExpectControls(all, {1, 2, 3, 4, 5, 10});
    EXPECT_EQ(Bar()->GetIconMask(), 0x5Eu);

    g_Settings.wLockEnable = 0;
    Bar()->SetIconMask(0x01);
    ExpectControls(all, {0});
    Bar()->SetPage(SHELL_AUTO, 5, 1);
    Bar()->SetPage(SHELL_SETTING, 5, 1);  // another page clears the restore
    Bar()->SetIconMask(0x41);
    Bar()->SetPage(SHELL_OPERATION, 5, 1);
    ExpectControls(all, {0, 10});
    Bar()->SetPage(SHELL_OPERATION, 0, 0);
    EXPECT_FALSE(Shell(SHELL_TOPBAR)->IsShown());
}

TEST_F(ControllerTopBar, GoingFromAManualPageToTheOperationPageWithoutForceRestoresTheMask) {
    Bar()->SetIconMask(0x5E);
    Bar()->SetPage(SHELL_MANUAL, 5, 0);
    ExpectControls({0}, {0});
    Bar()->SetPage(SHELL_OPERATION, 5, 0);
    ExpectControls({0, 1, 2, 3, 4, 5, 10}, {1, 2, 3, 4, 10});
}

TEST_F(ControllerTopBar, StatusIconAndClockCommands) {
    auto* unit = dynamic_cast<CButtonCtrl*>(Ctrl(SHELL_TOPBAR, TOPBAR_UNIT_ICON));
    ASSERT_NE(unit, nullptr);
    Command(hWnd, SHELL_TOPBAR, 0x10009);
    EXPECT_EQ(unit->GetCheck(), 1);
    Command(hWnd, SHELL_TOPBAR, 0x20009);
    EXPECT_EQ(unit->GetCheck(), 0);
    Command(hWnd, SHELL_TOPBAR, 0x10009);
    Command(hWnd, SHELL_TOPBAR, 9);
    EXPECT_EQ(unit->GetCheck(), 0);

    ASSERT_NO_FATAL_FAILURE(SetTime(13, 7));
    g_Settings.wClock24 = 0;
    Command(hWnd, SHELL_TOPBAR, TOPBAR_CMD_CLOCK);
    EXPECT_EQ(CtrlText(SHELL_TOPBAR, TOPBAR_CLOCK), u"PM 01:07");
    Command(hWnd, SHELL_TOPBAR, TOPBAR_CLOCK);
    EXPECT_EQ(g_Settings.wClock24, 1);
    EXPECT_EQ(CtrlText(SHELL_TOPBAR, TOPBAR_CLOCK), u"13:07");
    std::string saved = root.ReadFile("NAND Flash/System/Setting.bin");
    ASSERT_EQ(saved.size(), static_cast<size_t>(SETTING_FILE_SIZE));
    EXPECT_EQ(saved[offsetof(SettingsRecord, wClock24)], 1);
    Command(hWnd, SHELL_TOPBAR, TOPBAR_CLOCK);
    EXPECT_EQ(CtrlText(SHELL_TOPBAR, TOPBAR_CLOCK), u"PM 01:07");
    saved = root.ReadFile("NAND Flash/System/Setting.bin");
    EXPECT_EQ(saved[offsetof(SettingsRecord, wClock24)], 0);

    // The second timer rewrites the label only when the minute moved on.
    Ctrl(SHELL_TOPBAR, TOPBAR_CLOCK)->SetText(u"--", TRUE);
    Bar()->UpdateClock(0);
    SendMessageW(hWnd, WM_TIMER, TIMER_TOPBAR_CLOCK, 0);
    EXPECT_EQ(CtrlText(SHELL_TOPBAR, TOPBAR_CLOCK), u"--");
    ASSERT_NO_FATAL_FAILURE(SetTime(0, 5));
    SendMessageW(hWnd, WM_TIMER, TIMER_TOPBAR_CLOCK, 0);
    EXPECT_EQ(CtrlText(SHELL_TOPBAR, TOPBAR_CLOCK), u"AM 12:05");

    Ctrl(SHELL_TOPBAR, TOPBAR_CLOCK)->SetText(u"--", TRUE);
    Command(hWnd, SHELL_TOPBAR, TOPBAR_CMD_TEXTS);
    Command(hWnd, SHELL_TOPBAR, 12);  // unknown control
    EXPECT_EQ(CtrlText(SHELL_TOPBAR, TOPBAR_CLOCK), u"--");
}

TEST_F(ControllerTopBar, NavigationButtonsReportToThePageInFront) {
    Bar()->SetIconMask(0x7F);
    Bar()->SetPage(SHELL_OPERATION, 5, 1);
    Pump();
    for (int c : {TOPBAR_HOME, TOPBAR_MANUAL, TOPBAR_PROGRAM, TOPBAR_FILTER, TOPBAR_LOG, TOPBAR_AUTO}) {
        SCOPED_TRACE(c);
        TapAt(CentreOf(SHELL_TOPBAR, c));
        EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_TOPBAR, c), 1);
        EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_OPERATION, c == TOPBAR_AUTO ? 117 : 110 + c), 1);
    }
    // The admin page's home hides the bar and keeps the settings.
    Bar()->SetPage(SHELL_ADMIN, 5, 1);
    Pump();
    TapAt(CentreOf(SHELL_TOPBAR, TOPBAR_HOME));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_ADMIN, 110), 1);
    EXPECT_FALSE(Shell(SHELL_TOPBAR)->IsShown());
    EXPECT_TRUE(fs::exists(root.Host("NAND Flash/System/Setting.bin")));
}

// ---- Setting page: the hidden Bluetooth mode switch ------------------------------------------------

class ControllerBtMode : public ControllerTest {
protected:
    void Press(int times) {
        for (int i = 0; i < times; ++i) Command(hWnd, SHELL_SETTING, 36);
    }
    int StoredMode() {
        const std::string bytes = root.ReadFile("NAND Flash/System/Setting.bin");
        return bytes.size() == 986 ? static_cast<unsigned char>(bytes[480]) : -1;
    }
};

TEST_F(ControllerBtMode, TenQuickPressesFlipTheModeAndAPauseStartsTheCountAgain) {
    ScopedTimeScale fast("10");
    g_Settings.wBtMode = 0;
    Press(9);
    EXPECT_EQ(g_Settings.wBtMode, 0);
    Press(1);
    EXPECT_EQ(g_Settings.wBtMode, 1);
    EXPECT_EQ(StoredMode(), 1);
    Press(10);
    EXPECT_EQ(g_Settings.wBtMode, 0);
    EXPECT_EQ(StoredMode(), 0);

    // The press timer's own expiry, half a second after the last press, starts the count again.
    Press(9);
    ASSERT_TRUE(PumpUntil([] { return g_MainFrame.m_nPressCount == 0; }, 5000)) << "the press timer never ended";
    Press(1);
    EXPECT_EQ(g_Settings.wBtMode, 0);
    Press(9);
    EXPECT_EQ(g_Settings.wBtMode, 1);
}

// ---- MCU port hand-over ---------------------------------------------------------------------------

class ControllerMcuPort : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        if (HasFatalFailure()) return;
        int slave = -1;
        char name[128] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        close(slave);
        ASSERT_EQ(g_MainFrame.m_nMcuComNumber, 2u);
        ASSERT_TRUE(qrx::SetPortMapping(2, name));
        ASSERT_NE(g_MainFrame.m_pMicomPort, nullptr) << "start-up keeps the port object even without an MCU";
    }
    void TearDown() override {
        if (g_MainFrame.m_pMicomPort) g_MainFrame.m_pMicomPort->Close();
        ControllerTest::TearDown();
        if (master >= 0) close(master);
    }
    bool PortOpen() { return g_MainFrame.m_pMicomPort->IsOpen(); }
    int master = -1;
};

TEST_F(ControllerMcuPort, TheToolsTakeThePortAndGiveItBack) {
    ScopedTimeScale fast("20");
    SendMessageW(hWnd, WM_MCU_PORT_REOPEN, 0, 0);
    EXPECT_TRUE(PortOpen());
    SendMessageW(hWnd, WM_MCU_PORT_RELEASE, 0, 0);
    EXPECT_FALSE(PortOpen());
    SendMessageW(hWnd, WM_MCU_PORT_RELEASE, 0, 0);
    SendMessageW(hWnd, WM_MCU_PORT_REOPEN, 0, 0);
    SendMessageW(hWnd, WM_MCU_PORT_REOPEN, 0, 0);  // already open: opened again
    EXPECT_TRUE(PortOpen());

    // A tool that cannot start leaves the port with the program.
    EXPECT_FALSE(g_MainFrame.StartMcuTool(u"\\Windows\\Trimset.exe", nullptr, nullptr));
    EXPECT_TRUE(PortOpen());
    EXPECT_FALSE(g_MainFrame.StartMcuTool(u"\\SD Card\\Reflash.exe", u"\\Windows\\Reflash.exe", u"0"));
    EXPECT_TRUE(PortOpen());
    WriteRecorderProgram("Windows/Reflash.exe", "reflash.args");
    EXPECT_TRUE(g_MainFrame.StartMcuTool(u"\\SD Card\\Reflash.exe", u"\\Windows\\Reflash.exe", u"0"));
    EXPECT_FALSE(PortOpen());
    ASSERT_TRUE(PumpUntil([&] { return fs::exists(root.Host("reflash.args")); }));

    // Without a port object both messages do nothing.
    CMicomPort* port = g_MainFrame.m_pMicomPort;
    g_MainFrame.m_pMicomPort = nullptr;
    SendMessageW(hWnd, WM_MCU_PORT_RELEASE, 0, 0);
    SendMessageW(hWnd, WM_MCU_PORT_REOPEN, 0, 0);
    EXPECT_FALSE(g_MainFrame.StartMcuTool(u"\\Windows\\Trimset.exe", nullptr, nullptr));
    g_MainFrame.m_pMicomPort = port;
}

TEST_F(ControllerMcuPort, AStrayToolWindowDelaysTheReopenOnlyForALimitedTime) {
    ScopedTimeScale fast("20");
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"QRXCOMM";
    RegisterClassW(&wc);
    HWND stray = CreateWindowExW(0, u"QRXCOMM", u"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(stray, nullptr);
    const DWORD start = GetTickCount();
    SendMessageW(hWnd, WM_MCU_PORT_REOPEN, 0, 0);
    const DWORD took = GetTickCount() - start;
    DestroyWindow(stray);
    EXPECT_GE(took, 10000u);
    // Ten seconds of polls and the second before the reopen. Under the fast clock every poll's lateness
    // costs twenty times its length in device time, which a busy machine adds up to several times the
    // wait; polls on the host clock would take 200 s of device time.
    EXPECT_LT(took, 100000u) << "device ms";
    EXPECT_TRUE(PortOpen());
}

// ---- Hardware check -------------------------------------------------------------------------------

class ControllerHardware : public ControllerTest {
protected:
    void TearDown() override {
        ControllerTest::TearDown();
        g_bModelZ330 = FALSE;
        QrxStrCopy(g_szStorageRoot, 16, u"\\SD Card");
        g_MainFrame.m_nMcuComNumber = 2;
    }
    // The popup message the check leaves (-1 none); screen board 1.0, which wants firmware 240.
    int Check(std::u16string model, BYTE firmware) {
        ClosePopup(FALSE);
        std::memset(g_Settings.szModelName, 0, sizeof g_Settings.szModelName);
        QrxStrCopy(g_Settings.szModelName, 64, model.c_str());
        const BYTE version[4] = {firmware, 0, 0, firmware ? BYTE(3) : BYTE(0)};
        std::memcpy(g_MainFrame.m_McuVersion, version, 4);
        g_MainFrame.CheckHardwareVersion();
        if (!Shell(SHELL_POPUP)) return -1;
        for (int message : {20, 23})
            if (CtrlText(SHELL_POPUP, 1) == Shown(texts[message])) return message;
        return 0;
    }
    std::map<int, std::u16string> texts = LangSection(EnglishLangPath(), "shell12");
};

TEST_F(ControllerHardware, NoVersionCheckOnAnyZ330AndASilentMcuIsToldOnEveryModel) {
    EXPECT_EQ(Check(u"QRX-3305L", 241), 23);
    EXPECT_EQ(g_MainFrame.m_bHardwareMatches, 0);
    EXPECT_EQ(Check(u"QRX-3305L", 240), -1);
    EXPECT_EQ(g_MainFrame.m_bHardwareMatches, 1);
    for (const char16_t* model : {u"Z-330", u"Z-330X"}) {
        EXPECT_EQ(Check(model, 241), -1) << "the Z-330 runs any power board";
        EXPECT_EQ(g_MainFrame.m_bHardwareMatches, 1);
    }
    for (const char16_t* model : {u"QRX-3305L", u"Z-330", u"Z-330X", u"Unknown"})
        EXPECT_EQ(Check(model, 0), 20) << "no reply from the MCU";

    // The port, the storage and the check all take a Z-330 variant for the model.
    SetDefaultSettings(&g_Settings);
    QrxStrCopy(g_Settings.szModelName, 64, u"Z-330X");
    ASSERT_TRUE(SaveSettingFile());
    g_MainFrame.ReloadSettings();
    EXPECT_EQ(g_MainFrame.m_nMcuComNumber, 6u);
    EXPECT_EQ(std::u16string(g_szStorageRoot), u"\\Hard Disk");
    ClosePopup(FALSE);
    g_MainFrame.m_McuVersion[0] = 241;
    g_MainFrame.CheckHardwareVersion();
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr) << "the name as loaded";
}

// ---- Removable storage ----------------------------------------------------------------------------

class ControllerStorage : public ControllerTest {
protected:
    void TearDown() override {
        g_bModelZ330 = FALSE;
        QrxStrCopy(g_szStorageRoot, 16, u"\\SD Card");
        ControllerTest::TearDown();
    }
    void Send(WPARAM event, DWORD type) {
        PortRecord r = VolumeRecord(type);
        SendMessageW(hWnd, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&r));
    }
    // Replaces a storage folder by a file of that name: it exists and nothing can be written into it.
    void MakeUnwritable(const std::string& folder) {
        fs::remove_all(root.Host(folder));
        root.WriteFile(folder, "x");
    }
    std::map<int, std::u16string> texts = LangSection(EnglishLangPath(), "shell12");
};

TEST_F(ControllerStorage, RemovalOfTheCardStopsThePagesAndArrivalBringsTheSettingsBack) {
    ScopedTimeScale fast("10");
    g_MainFrame.m_pTopBarWnd->SetPage(SHELL_OPERATION, 5, 1);
    Send(DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT);  // another volume: the card is still there
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
    EXPECT_TRUE(Shell(SHELL_TOPBAR)->IsShown());

    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    Pump();
    ASSERT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 0), texts[10]);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 1), Shown(texts[50]));
    for (int b : kButtons) EXPECT_FALSE(Ctrl(SHELL_POPUP, b)->IsVisible()) << b;
    EXPECT_FALSE(Shell(SHELL_TOPBAR)->IsShown());
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), 1);

    g_Settings.wClock24 = 1;
    ASSERT_TRUE(SaveSettingFile());
    g_Settings.wClock24 = 0;
    RecordLog().clear();
    ASSERT_TRUE(qrx::ArriveVolume("SD Card"));
    Pump();
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(Count(WM_BEEP_OFF), 1);
    EXPECT_EQ(g_Settings.wClock24, 1) << "the settings are read again";
    EXPECT_FALSE(fs::exists(root.Host("SD Card/chk.tmp")));
}

TEST_F(ControllerStorage, ACardThatCannotBeWrittenIsNamedByTheStorageRoot) {
    ScopedTimeScale fast("10");
    MakeUnwritable("SD Card");
    g_MainFrame.m_nBeepPattern = 77;
    Send(DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT);
    ASSERT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 0), texts[10]);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 1),
              u"There is a problem writing to the SD Card.\r\nPlease check the SD Card or Write Protect switch");
    for (int b : kButtons) EXPECT_FALSE(Ctrl(SHELL_POPUP, b)->IsVisible()) << b;
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), 1);

    ClosePopup(FALSE);
    g_bModelZ330 = TRUE;
    QrxStrCopy(g_szStorageRoot, 16, u"\\Hard Disk");
    MakeUnwritable("Hard Disk");
    Send(DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT);
    ASSERT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 1), u"There is a problem writing to the USB Disk.\r\nPlease check the USB Disk");
}

TEST_F(ControllerStorage, OtherDevicesAndEmptyRecordsAreIgnored) {
    fs::remove_all(root.Host("SD Card"));
    for (WPARAM event : {static_cast<WPARAM>(DBT_DEVICEARRIVAL), static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE)}) {
        Send(event, 2);
        EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
        EXPECT_EQ(SendMessageW(hWnd, WM_DEVICECHANGE, event, 0), 0);
        EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
    }
    Send(0x8001, DBT_DEVTYP_PORT);  // neither arrival nor removal
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);
}

// ---- Closing the program --------------------------------------------------------------------------

class ControllerClose : public ControllerTest {
protected:
    void BeforeStart() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = u"HHTaskBar";
        RegisterClassW(&wc);
        taskbar = CreateWindowExW(0, u"HHTaskBar", u"", WS_VISIBLE, 0, 454, 800, 26, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(taskbar, nullptr);
        WriteRecorderProgram("Windows/explorer.exe", "explorer.ran");
    }
    void TearDown() override {
        ControllerTest::TearDown();
        if (IsWindow(taskbar)) DestroyWindow(taskbar);
    }
    void ExpectClosed() {
        EXPECT_FALSE(IsWindow(hWnd));
        EXPECT_EQ(g_hMainWnd, nullptr);
        EXPECT_EQ(g_MainFrame.m_pTopBarWnd, nullptr);
        EXPECT_EQ(g_MainFrame.m_hBeepThread, nullptr) << "the buzzer thread ended";
        EXPECT_EQ(Shells().GetShellCount(), 0);
    }
    bool ExplorerStarted(int waitMs) {
        return PumpUntil([&] { return fs::exists(root.Host("explorer.ran")); }, waitMs);
    }
    HWND taskbar = nullptr;
};

TEST_F(ControllerClose, AnOrdinaryCloseBringsThePlatformShellBack) {
    EXPECT_FALSE(IsWindowVisible(taskbar)) << "the program hides the taskbar while it runs";
    SendMessageW(hWnd, WM_CLOSE, 0, 0);
    ExpectClosed();
    EXPECT_TRUE(IsWindowVisible(taskbar));
    EXPECT_TRUE(ExplorerStarted(10000));
}

TEST_F(ControllerClose, CloseWithoutShellLeavesTheShellAlone) {
    SendMessageW(hWnd, WM_CLOSE, CLOSE_WITHOUT_SHELL, 0);
    ExpectClosed();
    EXPECT_FALSE(IsWindowVisible(taskbar));
    EXPECT_FALSE(ExplorerStarted(500));
}

TEST_F(ControllerClose, ARunningDesktopIsNotStartedAgain) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"DesktopExplorerWindow";
    RegisterClassW(&wc);
    HWND desktop = CreateWindowExW(0, u"DesktopExplorerWindow", u"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(desktop, nullptr);
    SendMessageW(hWnd, WM_CLOSE, 0, 0);
    ExpectClosed();
    EXPECT_TRUE(IsWindowVisible(taskbar));
    EXPECT_FALSE(ExplorerStarted(500));
    DestroyWindow(desktop);
}

// The operation tick writes into the admin page's controls: it has ended before the page windows,
// owned by the main one, go ahead of its WM_DESTROY.
TEST_F(ControllerClose, TheOperationThreadEndsBeforeThePageWindowsGo) {
    static WNDPROC adminProc = nullptr;
    static int tickAliveAtDestroy = -1;
    ASSERT_NE(g_MainFrame.m_pOperationWnd, nullptr);
    ASSERT_TRUE(g_MainFrame.m_pOperationWnd->IsOperationThreadAlive());
    const HWND admin = Shell(SHELL_ADMIN)->GetHwnd();
    adminProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(admin, GWLP_WNDPROC));
    SetWindowLongPtrW(admin, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_DESTROY && g_MainFrame.m_pOperationWnd)
            tickAliveAtDestroy = g_MainFrame.m_pOperationWnd->IsOperationThreadAlive();
        return CallWindowProcW(adminProc, w, m, wp, lp);
    }));
    SendMessageW(hWnd, WM_CLOSE, CLOSE_WITHOUT_SHELL, 0);
    ExpectClosed();
    EXPECT_EQ(tickAliveAtDestroy, 0);
}

TEST_F(ControllerClose, TheUnlockedLeftCornerEndsTheProgram) {
    for (int i = 0; i < 6; ++i) Command(hWnd, SHELL_MAIN, kHiddenSequence[i]);
    Command(hWnd, SHELL_MAIN, 4);
    EXPECT_EQ(g_MainFrame.m_nBeepPattern.load(), BEEP_STOP) << "the tone stops first";
    EXPECT_TRUE(IsWindow(hWnd)) << "the close is posted";
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(hWnd); }));
    EXPECT_EQ(Count(WM_CLOSE, 0), 1);
    ExpectClosed();
    EXPECT_TRUE(IsWindowVisible(taskbar));
}

}  // namespace
