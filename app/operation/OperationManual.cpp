// The operation page's side of the manual page (shell 4): opening it, its mode buttons, the keypad
// popup and the way back.
#include "app/ManualWnd.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/TopBar.h"
#include "numpad/Numpad.h"

#include "OperationInternal.h"

void COperationWnd::OpenManual() {
    if (!m_pManual) return;
    const BOOL active = m_nRunFlag.load() != RUN_IDLE;
    // A run that a remote start is about to take over is not edited here.
    if (active && m_pRemoteControl && *m_pRemoteControl) return;
    m_pManual->SetRunFlags(active, active && m_nRunState == RUN_STATE_RESTORATION);
    m_pManual->Show(5);
    if (m_pTopBar) m_pTopBar->SetPage(SHELL_MANUAL, 5, 0);
}

void COperationWnd::OnManualCommand(int control, int event) {
    if (m_pManual) {
        // The two mode buttons write the set values a running tick reads.
        CRoundPause pause(*this, control == MANUAL_RESTORATION || control == MANUAL_DISCHARGE);
        m_pManual->OnCommand(control, event);
    }
    switch (control) {
        case MANUAL_RESTORATION:
        case MANUAL_DISCHARGE:
            OnManualStart(control);
            if (m_pTopBar) m_pTopBar->SetPage(SHELL_OPERATION, 5, 0);
            break;
        case MANUAL_CALC:
            // The answer comes back as 1025 (4, 100 | tenths << 16) through the controller.
            QRXNumpad_Create(m_hOwner, m_hOwner, SHELL_MANUAL);
            break;
        case OPW_CMD_HOME:
            if (m_pManual) m_pManual->Show(0);
            if (m_pTopBar) m_pTopBar->SetPage(SHELL_OPERATION, 5, 0);
            break;
        default:
            break;
    }
}
