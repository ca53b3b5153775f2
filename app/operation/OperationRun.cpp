// The end of a run and the idle display.
#include <cstring>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ScrollBar.h"

#include "OperationInternal.h"

namespace {

const int kNoticeMessage = 33;
const int kPopupMessageCtrl = 1;
const int kPopupButtons[] = {2, 3, 4};

// Whether the popup text is the language text of the key with its "\r" pairs as line breaks.
BOOL SameAsLangText(const WCHAR* shown, int key) {
    const WCHAR* text = GetLangText(SHELL_POPUP, key, FALSE);
    size_t s = 0;
    for (size_t i = 0; text[i]; ++i, ++s) {
        if (text[i] == u'\\' && text[i + 1] == u'r') {
            if (shown[s] != u'\r' || shown[s + 1] != u'\n') return FALSE;
            ++i;
            ++s;
        } else if (shown[s] != text[i]) {
            return FALSE;
        }
    }
    return shown[s] == 0;
}

}  // namespace

int COperationWnd::StopRun(int remoteReply) {
    if (m_bTempPaused) {
        SetTotalTimeColour(OPW_TOTAL_TIME_COLOUR);
        m_bTempPaused = 0;
        m_nPauseCount = 0;
    }
    if (remoteReply && m_pRemoteControl && *m_pRemoteControl) {
        *m_pRemoteControl = 0;
        ReportError(201);
    }
    m_bHeldResume = 0;
    m_bResendOnResume = 0;
    m_bUnitPaused = 0;
    OutputOff();
    SetIdleState();
    return 0;
}

void COperationWnd::SetIdleState() {
    m_nRunFlag = RUN_IDLE;
    const DWORD startOfDay = m_stStart.wHour * 3600u + m_stStart.wMinute * 60u + m_stStart.wSecond;
    SetTimeLabel(OPW_END_TIME, (startOfDay + m_dwTotalSeconds) % 86400u);
    if (OnUiThread()) ShowIdleButtons();
    else Post(WM_OPWND_IDLE, 0, 0);
    SetGraphAxes(FALSE, m_dCurrentMax, m_dVoltageMax, m_dVoltageMin);
    RequestGraph(GRAPH_REQ_REDRAW);
    SetGraphScale(FALSE, TRUE);
}

void COperationWnd::ShowIdleButtons() {
    SetPauseButtonText(OPW_PAUSE);
    SetButtonMask(OPW_MASK_IDLE);
}

void COperationWnd::ResetDisplay() {
    EnterCriticalSection(&OperationSection());
    m_dwTotalSeconds = 0;
    m_dwStepSeconds = 0;
    LeaveCriticalSection(&OperationSection());
    m_dStepHigh = m_dStepLow = 0;
    m_dCurrentMax = m_dVoltageMax = m_dVoltageMin = 0;
    m_dAmpHours = 0;
    std::memset(&m_stStart, 0, sizeof m_stStart);
    SetGraphAxes(TRUE, 0, 0, 0);
    if (m_pGraph) m_pGraph->ClearData();
    SetGraphScale(TRUE, FALSE);
    ShowIdleLabels();
}

void COperationWnd::CloseOverVoltageNotice() {
    CShellPanel* popup = CShellManager::Instance().FindShell(SHELL_POPUP);
    if (!popup) return;
    // Only the notice itself goes: any popup shown since then stays for the user to read.
    for (int button : kPopupButtons)
        if (CUiCtrl* b = popup->GetCtrl(button); b && b->IsVisible()) return;
    CUiCtrl* message = popup->GetCtrl(kPopupMessageCtrl);
    if (!message || !SameAsLangText(message->GetText(), kNoticeMessage)) return;
    ClosePopup(FALSE);
}
