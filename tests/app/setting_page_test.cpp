// The setting page in the real main window: the routes, the clock, the lock, the limit, the unit and the
// upgrade check.
#include "ControllerHarness.h"
#include "app/SettingWnd.h"

using namespace controller_harness;

namespace {

class SettingPage : public ControllerTest {
protected:
    void Open() {
        Command(hWnd, SHELL_MAIN, 1);
        Pump();
        ASSERT_NE(Shell(SHELL_SETTING), nullptr);
        ASSERT_TRUE(Shell(SHELL_SETTING)->IsShown());
    }
    std::u16string PopupText() { return Shell(SHELL_POPUP) ? CtrlText(SHELL_POPUP, 1) : u""; }
    std::u16string PopupTitle() { return Shell(SHELL_POPUP) ? CtrlText(SHELL_POPUP, 0) : u""; }
    std::map<int, std::u16string> texts = LangSection(EnglishLangPath(), "shell12");
    static std::u16string Head(const std::u16string& text) { return text.substr(0, text.find(u"\\r")); }
};

}  // namespace

TEST_F(SettingPage, ClockFieldsStepAndApplyToTheDevice) {
    ASSERT_NO_FATAL_FAILURE(Open());
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_EQ(CtrlText(SHELL_SETTING, SETTING_YEAR).size(), 4u);
    Command(hWnd, SHELL_SETTING, SETTING_YEAR);
    EXPECT_FALSE(TimerWasRunning(hWnd, TIMER_SETTING_CLOCK)) << "a selected field stands still";
    Command(hWnd, SHELL_SETTING, SETTING_DOWN);
    Command(hWnd, SHELL_SETTING, SETTING_APPLY_TIME);
    Pump();
    SYSTEMTIME set;
    GetSystemTime(&set);
    EXPECT_EQ(set.wYear, now.wYear - 1);
    EXPECT_TRUE(TimerWasRunning(hWnd, TIMER_SETTING_CLOCK));
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_TOPBAR, 11), 1);
    set.wYear = now.wYear;
    SetSystemTime(&set);
}

TEST_F(SettingPage, LockNeedsAPatternAndTheLimitWraps) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Command(hWnd, SHELL_SETTING, SETTING_LOCK);
    Pump();
    EXPECT_EQ(g_Settings.wLockEnable, 0);
    EXPECT_EQ(PopupText().substr(0, Head(texts[44]).size()), Head(texts[44]));
    ClosePopup(TRUE);
    root.WriteFile("NAND Flash/LockDat.dat", "123456");
    Command(hWnd, SHELL_SETTING, SETTING_LOCK);
    EXPECT_EQ(g_Settings.wLockEnable, 1);

    g_Settings.nBatTempLimit = 70;
    g_Settings.wFahrenheit = 0;
    Command(hWnd, SHELL_SETTING, SETTING_TEMP_LIMIT);
    Pump();
    EXPECT_EQ(g_Settings.nBatTempLimit, 30);
    EXPECT_EQ(CtrlText(SHELL_SETTING, SETTING_TEMP_LIMIT), u"30 \u2103");
    EXPECT_EQ(Count(WM_SET_TEMP_LIMIT), 1);
}

TEST_F(SettingPage, UnitWithoutAcknowledgementStaysOff) {
    ASSERT_NO_FATAL_FAILURE(Open());
    g_Settings.wUnitEnable = 0;
    Command(hWnd, SHELL_SETTING, SETTING_UNIT);
    Pump();
    EXPECT_EQ(g_Settings.wUnitEnable, 0);
    EXPECT_EQ(CtrlText(SHELL_SETTING, SETTING_UNIT), u"OFF");
    EXPECT_EQ(PopupText().substr(0, Head(texts[63]).size()), Head(texts[63]));
}

TEST_F(SettingPage, UpgradeAsksOnlyForAGoodHeaderAndForgetsTheQuestion) {
    ASSERT_NO_FATAL_FAILURE(Open());
    // A header naming a 30-byte part behind it.
    std::string header(108, '\0');
    header[42] = 78;
    header[50] = 30;
    header.replace(0, 11, "QRX2 FWDATB");
    root.WriteFile("SD Card/QRX3FWDATA.FWD", header);
    Command(hWnd, SHELL_SETTING, SETTING_UPGRADE);
    Pump();
    EXPECT_EQ(PopupText(), Head(texts[54]));
    EXPECT_FALSE(g_MainFrame.m_pSettingWnd->IsUpgradeFound());

    header.replace(0, 11, "QRX2 FWDATA");
    const std::u16string version = u"6.1";
    header.replace(58, version.size() * 2, reinterpret_cast<const char*>(version.data()), version.size() * 2);
    root.WriteFile("SD Card/QRX3FWDATA.FWD", header);
    Command(hWnd, SHELL_SETTING, SETTING_UPGRADE);
    Pump();
    EXPECT_NE(PopupText().find(u": 6.1"), std::u16string::npos);
    EXPECT_NE(PopupText().find(texts[26]), std::u16string::npos);
    EXPECT_TRUE(g_MainFrame.m_pSettingWnd->IsUpgradeFound());
    // Cancel (or any other popup's button) drops the question.
    Command(hWnd, SHELL_POPUP, 3);
    EXPECT_FALSE(g_MainFrame.m_pSettingWnd->IsUpgradeFound());
    EXPECT_EQ(Count(WM_MCU_PORT_RELEASE), 0);
}
