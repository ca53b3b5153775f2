// The value editors (steppers, page keypad) alone, and the manual page on the real main window.
#include <gtest/gtest.h>

#include "OperationFixture.h"
#include "app/ManualWnd.h"
#include "app/TopBar.h"
#include "app/ValueEditors.h"

namespace {

using namespace operation_fixture;

TEST(ValueEditors, SteppersGrowWithTheHoldAndStopAtTheBounds) {
    // Not repeating, or held up to a second: tenths; then ones; then fives, clamped.
    EXPECT_DOUBLE_EQ(StepValue(12.0, 0, 5000, FALSE, TRUE, 2, 15), 12.1);
    EXPECT_DOUBLE_EQ(StepValue(12.0, 0, 1000, TRUE, TRUE, 2, 15), 12.1);
    EXPECT_DOUBLE_EQ(StepValue(12.0, 0, 1500, TRUE, TRUE, 2, 15), 13.0);
    EXPECT_EQ(StepValue(13.0, 0, 2500, TRUE, TRUE, 2, 15), 15.0);
    EXPECT_EQ(StepValue(15.0, 0, 2500, TRUE, TRUE, 2, 15), 15.0);
    EXPECT_EQ(StepValue(14.95, 0, 0, FALSE, TRUE, 2, 15), 15.0);  // a small step is clamped too
    EXPECT_EQ(StepValue(2.05, 0, 0, FALSE, FALSE, 2, 15), 2.0);
    // Thirty tenths from 12.0 land on 15.0 exactly.
    double v = 12.0;
    for (int i = 0; i < 30; ++i) v = StepValue(v, 0, 0, FALSE, TRUE, 2, 20);
    EXPECT_EQ(v, 15.0);

    EXPECT_EQ(StepMinutes(600, 0, 1500, TRUE, FALSE, 60, 359940), 60u);  // 00:10 - 10 min: 00:01
    EXPECT_EQ(StepMinutes(359940, 0, 3000, TRUE, TRUE, 60, 359940), 359940u);
    EXPECT_EQ(StepMinutes(125, 0, 0, FALSE, TRUE, 60, 359940), 180u);  // seconds dropped
    EXPECT_EQ(StepCount(10, 0, 1500, TRUE, TRUE, 2, 96, 2), 20);
    EXPECT_EQ(StepCount(90, 0, 2500, TRUE, TRUE, 2, 96, 2), 96);

    // Repeats 100 ms apart keep the press start; a pause over 300 ms starts a new hold.
    CArrowHold hold;
    hold.Track(0, 1000);
    hold.Track(2, 1300);
    EXPECT_EQ(hold.dwPressStart, 1300u);
    hold.Track(2, 1400);
    hold.Track(2, 1500);
    EXPECT_EQ(hold.dwPressStart, 1300u);
    hold.Track(2, 1900);
    EXPECT_EQ(hold.dwPressStart, 1900u);
}

std::u16string Keys(CPageKeypad& k, const char* keys) {
    WCHAR text[32] = u"(none)";
    for (const char* p = keys; *p; ++p)
        k.Key(*p == '.' ? PAGEKEY_POINT : *p == '<' ? PAGEKEY_DELETE : *p - '0', text, 32);
    return text;
}

TEST(ValueEditors, PageKeypadEntriesAndMinuteCarry) {
    CPageKeypad k;
    k.Begin(ENTRY_DECIMAL, 14.4, 0);
    EXPECT_EQ(Keys(k, "12.57"), u"12.5  ");  // one decimal only
    EXPECT_DOUBLE_EQ(k.GetTyped(), 12.5);
    EXPECT_EQ(Keys(k, "<"), u"12.  ");
    EXPECT_EQ(Keys(k, "<"), u"12  ");
    EXPECT_EQ(Keys(k, "<<"), u"");
    k.Begin(ENTRY_DECIMAL, 14.4, 0);
    EXPECT_EQ(Keys(k, "9999"), u"999  ");  // above 999 refused
    // "." first acts on the present value, whose decimal goes.
    k.Begin(ENTRY_DECIMAL, 14.4, 0);
    EXPECT_EQ(Keys(k, ".7"), u"14.7  ");

    k.Begin(ENTRY_TIME, 0, 3600);
    EXPECT_EQ(Keys(k, "0075"), u"00:75  ");
    EXPECT_EQ(k.GetTypedSeconds(), 4500u);  // 01:15
    k.Begin(ENTRY_TIME, 0, 3600);
    EXPECT_EQ(Keys(k, "98999"), u"98:99  ");
    EXPECT_EQ(k.GetTypedSeconds(), 99u * 3600 + 39 * 60);
    EXPECT_EQ(Keys(k, "<<<<"), u"");
    EXPECT_EQ(k.GetTypedSeconds(), 0u);

    WCHAR text[64];
    CPageKeypad::RangeText(text, 64, u"Out", 2, 15, u"V");
    EXPECT_EQ(std::u16string(text), u"Out\r\n[2.0~15.0V]");
}

class ManualPage : public OperationPage {
protected:
    void SetUp() override {
        OperationPage::SetUp();
        if (HasFatalFailure()) return;
        manual = page->m_pManual;
        ASSERT_NE(manual, nullptr);
        g_Settings.dMinVoltage = 2;
        g_Settings.dMaxVoltage = 15;
        g_Settings.dMinCurrent = 1;
        g_Settings.dMaxCurrent = 30;
        g_OpMode.dVoltage = 12;
        g_OpMode.dCurrent = 5;
        g_OpMode.dwTime = 600;
        page->Show(5);
        Cmd(SHELL_OPERATION, OPW_CMD_MANUAL);
        ASSERT_TRUE(manual->IsShown());
    }
    void Cmd(int shell, int control, int event = 0) {
        Command(g_MainFrame.m_hWnd, shell, MAKELPARAM(control, event));
        Pump(50);
    }
    void Type(const char* keys) {
        for (const char* p = keys; *p; ++p)
            Cmd(SHELL_MANUAL, *p == '.' ? MANUAL_KEY_POINT : *p == '0' ? MANUAL_KEY_0 : MANUAL_KEY_1 + (*p - '1'));
        Cmd(SHELL_MANUAL, MANUAL_ENTER);
    }
    std::u16string Popup() { return Shell(SHELL_POPUP) ? CtrlText(SHELL_POPUP, 1) : u""; }
    CManualWnd* manual = nullptr;
};

TEST_F(ManualPage, KeypadEntriesRangesAndThePopupAnswer) {
    Cmd(SHELL_MANUAL, MANUAL_VOLT_BOX);
    EXPECT_EQ(manual->GetFocus(), 1);
    Type("13.5");
    EXPECT_EQ(manual->Working().dVoltage, 13.5);
    EXPECT_EQ(CtrlText(SHELL_MANUAL, MANUAL_VOLT_TEXT), u"13.5  ");
    Cmd(SHELL_MANUAL, MANUAL_VOLT_BOX);  // off and on again: a new entry
    EXPECT_EQ(manual->GetFocus(), 0);
    Cmd(SHELL_MANUAL, MANUAL_VOLT_BOX);
    Type("16");
    EXPECT_EQ(manual->Working().dVoltage, 13.5);
    EXPECT_NE(Popup().find(u"[2.0~15.0V]"), std::u16string::npos);
    ClosePopup(FALSE);

    // The keypad popup's answer: taken for the voltage box within range only.
    Cmd(SHELL_MANUAL, MANUAL_CALC_ANSWER, 140);
    EXPECT_EQ(manual->Working().dVoltage, 14.0);
    Cmd(SHELL_MANUAL, MANUAL_CALC_ANSWER, 65535);
    EXPECT_EQ(manual->Working().dVoltage, 14.0);
    EXPECT_NE(Popup().find(u"V]"), std::u16string::npos);
    ClosePopup(FALSE);
    Cmd(SHELL_MANUAL, MANUAL_AMP_BOX);
    Cmd(SHELL_MANUAL, MANUAL_CALC_ANSWER, 100);
    EXPECT_EQ(manual->Working().dCurrent, 5.0);

    // 200 A: refused by the settings, taken with the attached unit connected.
    Type("200");
    EXPECT_EQ(manual->Working().dCurrent, 5.0);
    EXPECT_NE(Popup().find(u"[1.0~30.0A]"), std::u16string::npos);
    ClosePopup(FALSE);
    manual->SetUnitConnected([](void*) -> BOOL { return TRUE; }, nullptr);
    Type("200");
    EXPECT_EQ(manual->Working().dCurrent, 200.0);

    Cmd(SHELL_MANUAL, MANUAL_TIME_BOX);
    Type("0075");
    EXPECT_EQ(manual->Working().dwTime, 4500u);
    EXPECT_EQ(CtrlText(SHELL_MANUAL, MANUAL_TIME_TEXT), u"01:15  ");
    EXPECT_EQ(g_OpMode.dVoltage, 12.0);  // nothing written before a mode button
}

TEST_F(ManualPage, ArrowsCancelApplyAndBack) {
    DWORD now = 100000;
    static DWORD* s_now = nullptr;
    s_now = &now;
    manual->m_pfnNow = [] { return *s_now; };
    Cmd(SHELL_MANUAL, MANUAL_VOLT_UP);
    EXPECT_EQ(manual->Working().dVoltage, 12.1);
    // Held: repeats every 100 ms; after 2 s the steps are 5 V and stop at the maximum.
    for (int i = 0; i < 30; ++i) {
        now += 100;
        Cmd(SHELL_MANUAL, MANUAL_VOLT_UP, 2);
    }
    EXPECT_EQ(manual->Working().dVoltage, 15.0);
    Cmd(SHELL_MANUAL, MANUAL_TIME_DOWN);
    EXPECT_EQ(manual->Working().dwTime, 540u);
    Cmd(SHELL_MANUAL, MANUAL_CANCEL);
    EXPECT_EQ(manual->Working().dVoltage, 12.0);

    // Apply writes back only the head: a step changed meanwhile stays.
    Cmd(SHELL_MANUAL, MANUAL_VOLT_DOWN);
    g_OpMode.steps[0].dVoltage = 33;
    Cmd(SHELL_MANUAL, MANUAL_DISCHARGE);
    EXPECT_EQ(g_OpMode.dVoltage, 11.9);
    EXPECT_EQ(g_OpMode.steps[0].dVoltage, 33.0);
    EXPECT_FALSE(manual->IsShown());

    Cmd(SHELL_OPERATION, OPW_CMD_MANUAL);
    ASSERT_TRUE(manual->IsShown());
    Cmd(SHELL_MANUAL, OPW_CMD_HOME);
    EXPECT_FALSE(manual->IsShown());
    EXPECT_TRUE(page->Panel()->IsShown());
}

}  // namespace
