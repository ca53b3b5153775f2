// The operation page's side of the program page (shell 5), its step editor (shell 6) and the auto page
// (shell 16): opening them, the keypad popup, the starts and edits of a program and the ways back.
#include "app/AutoWnd.h"
#include "app/MainFrame.h"
#include "app/ManualWnd.h"
#include "app/OperationWnd.h"
#include "app/PgmWnd.h"
#include "app/TopBar.h"
#include "app/Language.h"
#include "numpad/Numpad.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

#include "OperationInternal.h"

void SetLangCtrlText(CShellPanel* panel, int control, int shell, int key) {
    if (CUiCtrl* c = panel ? panel->GetCtrl(control) : nullptr) {
        c->SetFontFace(GetLangFontFace());
        c->SetText(GetLangText(shell, key, FALSE), FALSE);
    }
}

void COperationWnd::HideSubPages() {
    if (m_pManual) m_pManual->Show(0);
    if (m_pPgm) m_pPgm->Show(0);
    if (m_pAuto) m_pAuto->Show(0);
}

void COperationWnd::OpenProgram() {
    if (!m_pPgm) return;
    m_pPgm->Show(5);
    if (m_pTopBar) m_pTopBar->SetPage(SHELL_PROGRAM, 5, 0);
}

void COperationWnd::OpenAuto() {
    if (!m_pAuto) return;
    m_pAuto->Show(5);
    if (m_pTopBar) m_pTopBar->SetPage(SHELL_AUTO, 5, 0);
}

void COperationWnd::OnProgramCommand(int shell, int control, int event) {
    int topPage = -1;
    // A running program's tick reads the steps: OK changes them between its rounds.
    const BOOL writesSteps = (shell == SHELL_AUTO && control == AUTO_OK) || (shell == SHELL_PROGRAM && control == PGM_OK);
    {
        CRoundPause pause(*this, writesSteps);
        if (shell == SHELL_AUTO) {
            if (m_pAuto) m_pAuto->OnCommand(control, event);
        } else if (m_pPgm) {
            m_pPgm->OnCommand(shell, control, event);
        }
    }
    if (shell == SHELL_AUTO) {
        if (control == AUTO_OK) OnProgramApply();
        if (control == AUTO_OK || control == AUTO_CANCEL || control == OPW_CMD_HOME) topPage = SHELL_OPERATION;
    } else if (m_pPgm) {
        if (shell == SHELL_PROGRAM_SET) {
            if (control == PGMSET_CALC) {
                // The answer comes back as 1025 (6, 100 | tenths << 16) through the controller.
                QRXNumpad_Create(m_hOwner, m_hOwner, SHELL_PROGRAM_SET);
            } else if (control == OPW_CMD_HOME || control == PGMSET_OK) {
                if (CPgmSetWnd* editor = m_pPgm->Editor()) editor->Show(0);
                topPage = SHELL_PROGRAM;
            }
        } else if (control == OPW_PROGRAM_APPLY) {
            OnProgramApply();
            topPage = SHELL_OPERATION;
        } else if (control == OPW_CMD_HOME) {
            m_pPgm->Show(0);
            topPage = SHELL_OPERATION;
        } else if (control < 6 * PGM_ROW_CONTROLS && control % PGM_ROW_CONTROLS == PGM_ROW_BUTTON) {
            topPage = SHELL_PROGRAM_SET;
        }
    }
    if (topPage >= 0 && m_pTopBar) m_pTopBar->SetPage(topPage, 5, 0);
}
