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

const COLORREF kTotalTimeColour = 0x60B0DB;
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
        if (CUiCtrl* total = Ctrl(OPW_TOTAL_TIME)) total->SetTextColors(kTotalTimeColour, total->GetTextBackColor());
        m_bTempPaused = 0;
        m_nPauseCount = 0;
    }
    if (remoteReply && m_pRemoteControl && *m_pRemoteControl) {
        *m_pRemoteControl = 0;
        ReportError(201);
    }
    m_bHeldResume = 0;
    CmdSet15(m_pMicomPort, 0);
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

void COperationWnd::BeginRunForTest(int runState) {
    m_dStepHigh = m_dStepLow = m_dVoltage;
    m_dVoltageMax = m_dVoltageMin = m_dVoltage;
    m_dCurrentMax = m_dCurrent;
    SetGraphAxes(FALSE, m_dCurrentMax, m_dVoltageMax, m_dVoltageMin);
    if (m_pGraph) {
        m_nZoom = m_pGraph->SetZoom(FALSE, GRAPH_ZOOM_4PAGES);
        m_pGraph->ClearData();
    }
    SetGraphScale(TRUE, FALSE);
    GetSystemTime(&m_stStart);
    ShowIdleLabels();
    WCHAR text[16];
    swprintf(text, 16, u"%02d:%02d:%02d", m_stStart.wHour, m_stStart.wMinute, m_stStart.wSecond);
    SetLabel(OPW_START_TIME, text);
    const int range = static_cast<int>(m_pOpMode ? m_pOpMode->dwTime : 0) + 1;
    for (int bar : {OPW_PROGRAM_BAR, OPW_STEP_BAR})
        if (auto* b = dynamic_cast<CScrollBarCtrl*>(Ctrl(bar))) b->SetTotal(SCROLL_BAR_HORZ, range, TRUE);
    SetButtonMask(runState >= RUN_STATE_STEP1 ? OPW_MASK_PROGRAM : OPW_MASK_RUN);
    m_nRunState = runState;
    m_bDischarge = runState == RUN_STATE_DISCHARGE ? 1 : 0;
    m_dAmpHours = 0;
    m_nPulsePhase = 0;
    SetRunTimes(0, 0);
    m_bTempPaused = 0;
    m_nPauseCount = 0;
    m_nRunFlag = RUN_RUNNING;
    RestartTick();
}
