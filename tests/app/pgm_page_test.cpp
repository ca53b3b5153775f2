// The program page, its step editor and the auto page on the real main window.
#include <gtest/gtest.h>

#include <filesystem>

#include "OperationFixture.h"
#include "app/AutoWnd.h"
#include "app/PgmWnd.h"

namespace {

using namespace operation_fixture;

class ProgramPages : public OperationPage {
protected:
    void SetUp() override {
        OperationPage::SetUp();
        if (HasFatalFailure()) return;
        pgm = page->m_pPgm;
        autoPage = page->m_pAuto;
        ASSERT_NE(pgm, nullptr);
        ASSERT_NE(autoPage, nullptr);
        editor = pgm->Editor();
        ASSERT_NE(editor, nullptr);
        g_Settings.dMinVoltage = 2;
        g_Settings.dMaxVoltage = 120;
        g_Settings.dMinCurrent = 1;
        g_Settings.dMaxCurrent = 30;
        g_OpMode = OpModeRecord{};
        page->Show(5);
    }
    void Cmd(int shell, int control, int event = 0) {
        Command(g_MainFrame.m_hWnd, shell, MAKELPARAM(control, event));
        Pump(30);
    }
    void OpenProgram() {
        Cmd(SHELL_OPERATION, OPW_CMD_PROGRAM);
        ASSERT_TRUE(pgm->IsShown());
    }
    // Opens the editor on step row and types keys into field box, then Enter.
    void Edit(int row) { Cmd(SHELL_PROGRAM, row * PGM_ROW_CONTROLS); }
    void Type(int box, const char* keys) {
        Cmd(SHELL_PROGRAM_SET, box);
        for (const char* p = keys; *p; ++p)
            Cmd(SHELL_PROGRAM_SET, *p == '.' ? PGMSET_KEY_POINT : *p == '0' ? PGMSET_KEY_0 : PGMSET_KEY_1 + (*p - '1'));
        Cmd(SHELL_PROGRAM_SET, PGMSET_ENTER);
        if (editor->GetFocus()) Cmd(SHELL_PROGRAM_SET, box);
    }
    std::u16string Popup() { return Shell(SHELL_POPUP) ? CtrlText(SHELL_POPUP, 1) : u""; }
    // The popup's text, closed.
    std::u16string TakePopup() {
        const std::u16string text = Popup();
        ClosePopup(FALSE);
        return text;
    }

    CPgmWnd* pgm = nullptr;
    CPgmSetWnd* editor = nullptr;
    CAutoWnd* autoPage = nullptr;
};

TEST_F(ProgramPages, EnableRulesSlotsAndOk) {
    g_OpMode.steps[0] = Step(0, 1, 14.4, 5, 0);
    g_OpMode.steps[1] = Step(0, 0, 14.4, 5, 3600);
    g_OpMode.steps[2] = Step(0, 12, 14.4, 5, 3600);
    g_OpMode.steps[3] = Step(1, 2, 10.5, 5, 3600);
    for (ProgramStep& s : g_OpMode.steps) s.dwEnable = 0;
    OpenProgram();
    // Time 0 is refused with its message; kinds 0 and 12 silently; kind 2 with a time stays.
    for (int row = 0; row < 4; ++row) Cmd(SHELL_PROGRAM, row * PGM_ROW_CONTROLS + PGM_ROW_ENABLE);
    EXPECT_NE(TakePopup().find(u"00:00"), std::u16string::npos);
    EXPECT_EQ(TakePopup(), u"");
    for (int row = 0; row < 3; ++row) EXPECT_EQ(pgm->Working().steps[row].dwEnable, 0u) << row;
    EXPECT_EQ(pgm->Working().steps[3].dwEnable, 1u);
    EXPECT_EQ(CtrlText(SHELL_PROGRAM, 3 * PGM_ROW_CONTROLS + PGM_ROW_DIRECTION), u"Discharge");
    EXPECT_EQ(CtrlText(SHELL_PROGRAM, 3 * PGM_ROW_CONTROLS + PGM_ROW_TIME), u"01:00");

    // SAVE into P5, change the page, load P5 back.
    Cmd(SHELL_PROGRAM, PGM_SAVE);
    Cmd(SHELL_PROGRAM, PGM_SLOT_1 + 4);
    EXPECT_EQ(pgm->GetSaveMode(), 0);
    EXPECT_NE(TakePopup().find(u"saved"), std::u16string::npos);
    Cmd(SHELL_PROGRAM, 3 * PGM_ROW_CONTROLS + PGM_ROW_ENABLE);
    Cmd(SHELL_PROGRAM, PGM_SLOT_1 + 4);
    EXPECT_EQ(pgm->Working().steps[3].dwEnable, 1u);
    ProgramSlot stored[PGM_SLOT_COUNT];
    ASSERT_TRUE(LoadPgmFile(kPgmStoreFile, stored));
    EXPECT_EQ(stored[4].steps[3].dVoltage + 0, 10.5);

    // A store that cannot be written: no confirmation, the error text.
    std::filesystem::remove(root.Host("NAND Flash/pgmset.dat"));
    std::filesystem::create_directory(root.Host("NAND Flash/pgmset.dat"));
    Cmd(SHELL_PROGRAM, PGM_SAVE);
    Cmd(SHELL_PROGRAM, PGM_SLOT_1);
    EXPECT_NE(Popup().find(u"could not"), std::u16string::npos);
    EXPECT_EQ(CtrlText(SHELL_POPUP, 0), u"ERROR");
    ClosePopup(FALSE);

    // OK writes back the steps only: a head set meanwhile (manual page, remote) stays.
    g_OpMode.dVoltage = 13.3;
    Cmd(SHELL_PROGRAM, PGM_OK);
    while (Shell(SHELL_POPUP)) ClosePopup(FALSE);  // the start without an MCU is refused
    EXPECT_FALSE(pgm->IsShown());
    EXPECT_EQ(g_OpMode.dVoltage, 13.3);
    EXPECT_EQ(g_OpMode.steps[3].dwEnable, 1u);
    EXPECT_EQ(g_MainFrame.m_pTopBarWnd->GetPage(), SHELL_OPERATION);

    // The admin page's clear empties the record, the slots and the rows.
    Cmd(SHELL_PROGRAM, PGM_CMD_CLEAR);
    EXPECT_EQ(g_OpMode.steps[3].dVoltage, 0.0);
    EXPECT_EQ(pgm->Slot(4).steps[3].dVoltage + 0, 0.0);
    EXPECT_EQ(CtrlText(SHELL_PROGRAM, 3 * PGM_ROW_CONTROLS + PGM_ROW_VOLTAGE), u"0.0V");
}

TEST_F(ProgramPages, EditorDirectionKindAndUnitRules) {
    g_OpMode.steps[0] = Step(1, 1, 10.5, 5, 3600);
    OpenProgram();
    Edit(0);
    ASSERT_TRUE(editor->IsShown());
    EXPECT_FALSE(Ctrl(SHELL_PROGRAM_SET, PGMSET_CAPACITY_BOX)->IsVisible());
    EXPECT_EQ(g_MainFrame.m_pTopBarWnd->GetPage(), SHELL_PROGRAM_SET);

    // 100.0 V on a discharge step: within the settings, but not within the attached unit's range.
    Type(PGMSET_VOLT_BOX, "100");
    EXPECT_EQ(editor->Working().dVoltage, 100.0);
    editor->SetUnitConnected([](void*) -> BOOL { return TRUE; }, nullptr);
    Type(PGMSET_VOLT_BOX, "100");
    EXPECT_NE(TakePopup().find(u"[10.0~96.0V]"), std::u16string::npos);
    // The keypad popup's answer takes the same ranges.
    Cmd(SHELL_PROGRAM_SET, PGMSET_VOLT_BOX);
    Cmd(SHELL_PROGRAM_SET, PGMSET_CALC_ANSWER, 990);
    EXPECT_NE(TakePopup().find(u"[10.0~96.0V]"), std::u16string::npos);
    Cmd(SHELL_PROGRAM_SET, PGMSET_CALC_ANSWER, 120);
    EXPECT_EQ(editor->Working().dVoltage, 12.0);
    Cmd(SHELL_PROGRAM_SET, PGMSET_VOLT_BOX);
    Type(PGMSET_AMP_BOX, "150");  // up to 200 A through the unit
    EXPECT_EQ(editor->Working().dCurrent, 150.0);
    // A discharge step cannot take kind 9; back to charge only within the charger's current.
    Type(PGMSET_KIND_BOX, "9");
    EXPECT_NE(TakePopup().find(u"pulse mode"), std::u16string::npos);
    Cmd(SHELL_PROGRAM_SET, PGMSET_DIRECTION);
    EXPECT_NE(TakePopup().find(u"[1.0~30.0A]"), std::u16string::npos);
    EXPECT_EQ(editor->Working().dwDirection, 1u);
    Type(PGMSET_AMP_BOX, "20");
    Cmd(SHELL_PROGRAM_SET, PGMSET_DIRECTION);
    EXPECT_EQ(editor->Working().dwDirection, 0u);
    // Kind 9 on a charge step brings the capacity; a kind above 2 keeps it from discharging.
    Type(PGMSET_KIND_BOX, "9");
    EXPECT_TRUE(Ctrl(SHELL_PROGRAM_SET, PGMSET_CAPACITY_BOX)->IsVisible());
    Type(PGMSET_CAPACITY_BOX, "120.5");
    EXPECT_EQ(editor->Working().wCapacity, 120);
    Cmd(SHELL_PROGRAM_SET, PGMSET_DIRECTION);
    EXPECT_NE(TakePopup().find(u"pulse mode"), std::u16string::npos);
    Type(PGMSET_TIME_BOX, "0075");

    // OK hands the step to the page's row; nothing reaches the record before the page's OK.
    Cmd(SHELL_PROGRAM_SET, PGMSET_OK);
    EXPECT_FALSE(editor->IsShown());
    EXPECT_EQ(g_MainFrame.m_pTopBarWnd->GetPage(), SHELL_PROGRAM);
    EXPECT_EQ(pgm->Working().steps[0].byKind, 9);
    EXPECT_EQ(CtrlText(SHELL_PROGRAM, PGM_ROW_TIME), u"01:15");
    EXPECT_EQ(CtrlText(SHELL_PROGRAM, PGM_ROW_KIND), u"9");
    EXPECT_EQ(g_OpMode.steps[0].byKind, 1);
    // Back from the editor, then from the page.
    Edit(0);
    Cmd(SHELL_PROGRAM_SET, OPW_CMD_HOME);
    EXPECT_FALSE(editor->IsShown());
    EXPECT_TRUE(pgm->IsShown());
    Cmd(SHELL_PROGRAM, OPW_CMD_HOME);
    EXPECT_FALSE(pgm->IsShown());
}

TEST_F(ProgramPages, AutoComputesAtOkAndCyclesRates) {
    g_dwLogoIndex = 0;
    g_AutoRecord = AutoRecord{};
    g_AutoRecord.dwVoltage = 12;
    g_AutoRecord.dwCapacity = 100;
    g_AutoRecord.dwRate = AUTO_RATE_C20;  // stored under the other rules
    Cmd(SHELL_OPERATION, OPW_CMD_AUTO);
    ASSERT_TRUE(autoPage->IsShown());
    Cmd(SHELL_AUTO, AUTO_RATE);
    EXPECT_EQ(autoPage->Record().dwRate, static_cast<DWORD>(AUTO_RATE_C5));
    EXPECT_EQ(CtrlText(SHELL_AUTO, AUTO_RATE), u"C5");
    Cmd(SHELL_AUTO, AUTO_CALC);
    EXPECT_NE(CtrlText(SHELL_AUTO, AUTO_RESULT_1).find(u"10.2"), std::u16string::npos);
    // A fact changed after Calc.: OK runs the facts shown (14 V: 7 cells).
    Cmd(SHELL_AUTO, AUTO_VOLT_UP);
    EXPECT_EQ(CtrlText(SHELL_AUTO, AUTO_VOLT_TEXT), u"14");
    EXPECT_EQ(CtrlText(SHELL_AUTO, AUTO_RESULT_1), u"");
    Cmd(SHELL_AUTO, AUTO_OK);
    while (Shell(SHELL_POPUP)) ClosePopup(FALSE);
    EXPECT_FALSE(autoPage->IsShown());
    EXPECT_DOUBLE_EQ(g_OpMode.steps[0].dVoltage, 7 * 1.7);
    EXPECT_EQ(g_OpMode.steps[0].dwEnable, 1u);
    EXPECT_EQ(g_AutoRecord.dwVoltage, 14u);
    EXPECT_EQ(g_AutoRecord.dwRate, static_cast<DWORD>(AUTO_RATE_C5));

    // Facts not confirmed are dropped on the next show.
    Cmd(SHELL_OPERATION, OPW_CMD_AUTO);
    Cmd(SHELL_AUTO, AUTO_TYPE);
    Cmd(SHELL_AUTO, AUTO_CANCEL);
    Cmd(SHELL_OPERATION, OPW_CMD_AUTO);
    EXPECT_EQ(CtrlText(SHELL_AUTO, AUTO_TYPE), u"Lead/Acid");
}

}  // namespace
