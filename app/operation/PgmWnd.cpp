// The program page (shell 5): the six step rows, their enable checks, the five stored programs and SAVE.
#include <cstring>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/PgmWnd.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Button.h"

#include "OperationInternal.h"

namespace {

const int kRowTitleKeys[6] = {0, 7, 14, 21, 28, 35};  // [shell5], on the row buttons
const int kTimeNotSetKey = 35;                         // [shell12]
const int kSavedKey = 45;                              // [shell12]
const int kChargeKey = 42;                             // [shell3]
const int kDischargeKey = 43;                          // [shell3]
const COLORREF kSaveText = 0xFFFFFF;
const COLORREF kSaveTextPressed = 0x000000;

}  // namespace

CPgmWnd::CPgmWnd(HWND owner, SettingsRecord* settings, OpModeRecord* opMode, const WCHAR* storePath)
    : m_hOwner(owner), m_pPanel(nullptr), m_pEditor(nullptr), m_pSettings(settings), m_pOpMode(opMode), m_work{},
      m_slots{}, m_nEditing(-1), m_bSaveMode(0), m_bShown(0), m_pszStore(storePath) {
    if (m_pOpMode) m_work = *m_pOpMode;
    m_pPanel = CShellManager::Instance().OpenShell(owner, SHELL_PROGRAM, nullptr, FALSE);
    if (!m_pPanel) {
        WCHAR line[64];
        swprintf(line, 64, u"[PGMWND]Open Error : 0x%X\r\n", static_cast<unsigned>(GetLastError()));
        OutputDebugStringW(line);
        return;
    }
    m_pEditor = new CPgmSetWnd(owner, settings);
    LoadPgmFile();
    LoadTexts();
}

CPgmWnd::~CPgmWnd() {
    delete m_pEditor;
    CShellManager& shells = CShellManager::Instance();
    if (m_pPanel && shells.FindShell(SHELL_PROGRAM) == m_pPanel) shells.CloseShell(SHELL_PROGRAM);
}

BOOL CPgmWnd::LoadPgmFile() { return ::LoadPgmFile(m_pszStore, m_slots); }

BOOL CPgmWnd::SavePgmFile() { return ::SavePgmFile(m_pszStore, m_slots); }

void CPgmWnd::LoadTexts() {
    const WCHAR* face = GetLangFontFace();
    for (int row = 0; row < 6; ++row)
        SetLangCtrlText(m_pPanel, row * PGM_ROW_CONTROLS + PGM_ROW_BUTTON, SHELL_PROGRAM, kRowTitleKeys[row]);
    for (int control = PGM_OK; control <= PGM_SAVE; ++control) SetLangCtrlText(m_pPanel, control, SHELL_PROGRAM, control);
    for (int row = 0; row < 6; ++row)
        for (int k = PGM_ROW_VOLTAGE; k <= PGM_ROW_KIND; ++k)
            if (CUiCtrl* c = m_pPanel->GetCtrl(row * PGM_ROW_CONTROLS + k)) c->SetFontFace(face);
}

void CPgmWnd::RefreshRow(int row) {
    if (!m_pPanel || row < 0 || row >= 6) return;
    const ProgramStep& s = m_work.steps[row];
    const int first = row * PGM_ROW_CONTROLS;
    auto put = [&](int k, const WCHAR* text) {
        if (CUiCtrl* c = m_pPanel->GetCtrl(first + k)) c->SetText(text, TRUE);
    };
    WCHAR text[32];
    swprintf(text, 32, u"%.01fV", s.dVoltage);
    put(PGM_ROW_VOLTAGE, text);
    swprintf(text, 32, u"%.01fA", s.dCurrent);
    put(PGM_ROW_CURRENT, text);
    FormatHoursMinutes(text, 32, s.dwTime);
    put(PGM_ROW_TIME, text);
    put(PGM_ROW_DIRECTION, GetLangText(SHELL_OPERATION, s.dwDirection == 1 ? kDischargeKey : kChargeKey, FALSE));
    swprintf(text, 32, u"%d", static_cast<int>(s.byKind));
    put(PGM_ROW_KIND, text);
    if (auto* check = dynamic_cast<CButtonCtrl*>(m_pPanel->GetCtrl(first + PGM_ROW_ENABLE)))
        check->SetCheck(s.dwEnable == 1 ? 1 : 0, TRUE);
}

void CPgmWnd::RefreshRows() {
    for (int row = 0; row < 6; ++row) RefreshRow(row);
}

void CPgmWnd::SetSaveMode(int on) {
    m_bSaveMode = on ? 1 : 0;
    // The button toggles its own look on a tap; the page's mode decides it.
    if (auto* save = dynamic_cast<CButtonCtrl*>(m_pPanel ? m_pPanel->GetCtrl(PGM_SAVE) : nullptr)) {
        save->SetCheck(m_bSaveMode, FALSE);
        save->SetTextColors(m_bSaveMode ? kSaveTextPressed : kSaveText, 0x201D1B);
        save->Invalidate(nullptr, TRUE);
    }
}

void CPgmWnd::Show(int mode) {
    if (!m_pPanel) return;
    if (mode != 5) {
        if (m_pEditor) m_pEditor->Show(0);
        m_bShown = 0;
        m_pPanel->Show(FALSE);
        return;
    }
    if (m_pOpMode) m_work = *m_pOpMode;
    RefreshRows();
    SetSaveMode(0);
    if (TestAndClearPageFlag(SHELL_PROGRAM)) LoadTexts();
    m_bShown = 1;
    m_pPanel->Show(TRUE);
    m_pPanel->Invalidate(nullptr, TRUE);
}

void CPgmWnd::ToggleEnable(int row) {
    ProgramStep& s = m_work.steps[row];
    s.dwEnable = s.dwEnable == 1 ? 0 : 1;
    if (s.dwEnable == 1) {
        if (s.dwTime == 0) {
            s.dwEnable = 0;
            ShowMessageBox(m_hOwner, POPUP_TITLE_SETTING, kTimeNotSetKey, POPUP_ONE_BUTTON, FALSE);
        } else if (!IsProgramKind(s.byKind)) {
            s.dwEnable = 0;  // the run has nothing to execute for it
        }
    }
    RefreshRow(row);
}

void CPgmWnd::OnSlot(int index) {
    ProgramSlot& slot = m_slots[index];
    if (!m_bSaveMode) {
        // A slot whose sum fails is still taken, as it always was; its steps are made safe to run.
        std::memcpy(m_work.steps, slot.steps, sizeof(m_work.steps));
        for (ProgramStep& s : m_work.steps) CleanProgramStep(&s);
        RefreshRows();
        return;
    }
    std::memcpy(slot.steps, m_work.steps, sizeof(slot.steps));
    const BOOL saved = SavePgmFile();
    SetSaveMode(0);
    if (saved) ShowMessageBox(m_hOwner, POPUP_TITLE_NOTICE, kSavedKey, POPUP_ONE_BUTTON, FALSE);
    else ShowMessageBox(m_hOwner, POPUP_TITLE_ERROR, PGM_SAVE_FAILED_KEY, POPUP_ONE_BUTTON, TRUE);
}

void CPgmWnd::OnCommand(int shell, int id, int event) {
    if (shell == SHELL_PROGRAM_SET) {
        if (m_pEditor) m_pEditor->OnCommand(id, event);
        if (id == PGMSET_OK) RefreshRow(m_nEditing);
        if (id == PGMSET_OK || id == OPW_CMD_HOME) SetSaveMode(0);
        return;
    }
    if (shell != SHELL_PROGRAM) return;
    if (id < 6 * PGM_ROW_CONTROLS) {
        const int row = id / PGM_ROW_CONTROLS;
        if (id % PGM_ROW_CONTROLS == PGM_ROW_BUTTON && m_pEditor) {
            m_nEditing = row;
            m_pEditor->Show(5, &m_work.steps[row]);
        } else if (id % PGM_ROW_CONTROLS == PGM_ROW_ENABLE) {
            ToggleEnable(row);
        }
        return;
    }
    switch (id) {
        case PGM_OK:
            // Only the steps: the head may have changed meanwhile (manual page, remote edits).
            if (m_pOpMode) std::memcpy(m_pOpMode->steps, m_work.steps, sizeof(m_work.steps));
            Show(0);
            break;
        case PGM_CANCEL:
            if (m_pOpMode) m_work = *m_pOpMode;
            RefreshRows();
            break;
        case PGM_SAVE:
            SetSaveMode(!m_bSaveMode);
            break;
        case PGM_CMD_CLEAR:
            if (m_pOpMode) std::memset(m_pOpMode, 0, sizeof(*m_pOpMode));
            std::memset(m_slots, 0, sizeof(m_slots));
            std::memset(&m_work, 0, sizeof(m_work));
            RefreshRows();
            break;
        default:
            if (id >= PGM_SLOT_1 && id < PGM_SLOT_1 + PGM_SLOT_COUNT) OnSlot(id - PGM_SLOT_1);
            break;
    }
}
