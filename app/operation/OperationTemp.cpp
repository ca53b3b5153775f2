// The temperature gate of a discharging run: a battery 5 degrees over its limit pauses the output, 5
// degrees under it resumes; the third pause of a run stops it.
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "ui/UiCtrl.h"

#include "OperationInternal.h"

namespace {

const int kBand = 5;
const int kPausesToStop = 3;

}  // namespace

void COperationWnd::SystemLog(const WCHAR* text) { WriteSystemLog(POPUP_TITLE_ERROR, text, 0); }

void COperationWnd::SetTotalTimeColour(COLORREF colour) {
    if (CUiCtrl* total = Ctrl(OPW_TOTAL_TIME)) total->SetTextColors(colour, total->GetTextBackColor());
}

int COperationWnd::OnBatteryHighTemp() {
    const int t = m_nBatteryTemp;
    const int limit = m_pSettings ? m_pSettings->nBatTempLimit : 50;
    if (t >= limit + kBand) {
        if (m_bTempPaused) return 0;
        m_bTempPaused = 1;
        if (++m_nPauseCount >= kPausesToStop) {
            StopRun(0);
            PostEvent(10);
            m_nPauseCount = 0;
            m_bTempPaused = 0;
            SystemLog(u"HIGHTEMP : STOP");
            return 0;
        }
        int paused;
        if (m_bUnitOutput && IsUnitConnected()) {
            paused = StopOutput();
            m_bUnitPaused = 1;
        } else {
            paused = CmdSet16(m_pMicomPort, 0);
            m_bUnitPaused = 0;
        }
        if (!paused) {
            // An output that would not pause must not go on heating the battery.
            StopRun(0);
            PostEvent(OPW_EVENT_NO_ANSWER);
            return 0;
        }
        SystemLog(u"HIGHTEMP : PAUSE");
        return 0;
    }
    if (!m_bTempPaused) return 1;
    if (t > limit - kBand) return 0;
    if (m_bUnitPaused) {
        if (!StartOutput(m_byUnitMode, m_wUnitValue1, m_wUnitValue2, m_dwUnitTime, TRUE)) {
            m_bTempPaused = 0;
            SetTotalTimeColour(OPW_TOTAL_TIME_COLOUR);
            FailToIdle(OPW_EVENT_NO_ANSWER);
            return 0;
        }
        m_bUnitPaused = 0;
    } else if (!CmdSet16(m_pMicomPort, 1)) {
        // Still paused: the resume is tried again next tick.
        return 0;
    }
    m_bTempPaused = 0;
    SystemLog(u"HIGHTEMP : RESUME");
    SetTotalTimeColour(OPW_TOTAL_TIME_COLOUR);
    RestartTick();
    return 1;
}
