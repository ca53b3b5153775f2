// Starting runs with their checks, pausing and continuing them, and the edits of the set values and
// program steps that reach a running run (the manual and program pages and the remote requests).
#include <algorithm>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ScrollBar.h"

#include "OperationInternal.h"

namespace {

const int kVoltRangeText = 36;
const int kAmpRangeText = 37;

BOOL IsProgramState(int state) { return state >= RUN_STATE_STEP1 && state <= RUN_STATE_STEP6; }

void RangeTextBox(HWND owner, int key, double low, double high, const WCHAR* unit) {
    WCHAR text[MAX_PATH];
    swprintf(text, MAX_PATH, u"%s\r\n[%.01f~%.01f%s]", GetLangText(SHELL_POPUP, key, FALSE), low, high, unit);
    ShowMessageBoxText(owner, POPUP_TITLE_SETTING, text, POPUP_ONE_BUTTON);
}

}  // namespace

// Checks

BOOL COperationWnd::CheckSetVoltage(double volts) const {
    if (!m_pSettings) return FALSE;
    WORD wire;
    return volts >= m_pSettings->dMinVoltage && volts <= m_pSettings->dMaxVoltage && McuHundredths(volts, &wire);
}

BOOL COperationWnd::CheckSetCurrent(double amps) const {
    if (!m_pSettings) return FALSE;
    const double max = IsUnitConnected() ? UNIT_MAX_AMPS : m_pSettings->dMaxCurrent;
    WORD wire;
    return amps >= m_pSettings->dMinCurrent && amps <= max && McuHundredths(amps, &wire);
}

BOOL COperationWnd::CheckSetTime(DWORD seconds) const { return seconds < OPW_MAX_RUN_SECONDS; }

BOOL COperationWnd::CheckProgramStep(const ProgramStep& step) const {
    return CheckSetVoltage(step.dVoltage) && CheckSetCurrent(step.dCurrent) && step.byKind <= 9 &&
           (step.dwDirection == 0 || step.dwDirection == 1);
}

// The range text box of the first value out of range; 1 when one was. Shown also for quiet requests.
BOOL COperationWnd::RefusedByRange(double volts, double amps, BOOL unitVolts) {
    if (!m_pSettings) return TRUE;
    if (unitVolts ? (volts < UNIT_MIN_VOLTS || volts > UNIT_MAX_VOLTS) : !CheckSetVoltage(volts)) {
        RangeTextBox(m_hOwner, kVoltRangeText, unitVolts ? UNIT_MIN_VOLTS : m_pSettings->dMinVoltage,
                     unitVolts ? UNIT_MAX_VOLTS : m_pSettings->dMaxVoltage, u"V");
        return TRUE;
    }
    if (!CheckSetCurrent(amps)) {
        RangeTextBox(m_hOwner, kAmpRangeText, m_pSettings->dMinCurrent,
                     IsUnitConnected() ? UNIT_MAX_AMPS : m_pSettings->dMaxCurrent, u"A");
        return TRUE;
    }
    return FALSE;
}

void COperationWnd::Popup(int message, int quiet) {
    if (!quiet) ShowMessageBox(m_hOwner, POPUP_TITLE_ERROR, message, POPUP_ONE_BUTTON, TRUE);
}

BOOL COperationWnd::RefusedByConnection(int firstCode, int quiet) {
    if (!m_bBatCon0 && !m_bBatCon1) return FALSE;
    ReportError(m_bBatCon0 ? firstCode : firstCode + 3);
    Popup(21, quiet);
    CmdOperation(m_pMicomPort, 1);
    return TRUE;
}

BOOL COperationWnd::RefusedByTemperature(int quiet) {
    if (g_bModelZ330 || BoardFrom22()) {
        if (!g_bModelZ330 && m_bHeatsink) {
            ReportError(102);
            Popup(27, quiet);
        }
        if (m_bTransOverheat) {
            ReportError(103);
            Popup(28, quiet);
            return TRUE;
        }
    }
    return FALSE;
}

int COperationWnd::CheckCutLimits() {
    if (!m_pSettings) return 0;
    int code = 0, message = 0;
    if (m_dVoltage > m_pSettings->dCutVoltage) code = 7, message = 31;
    else if (m_dCurrent > m_pSettings->dCutCurrent) code = 8, message = 32;
    else if (!g_bModelZ330 && !CheckMainsFrequency(m_wFrequency, m_pSettings->wFrequency)) code = 209, message = 22;
    if (!code) return 1;
    ReportError(code);
    Popup(message, FALSE);
    return 0;
}

// Starts

void COperationWnd::ShowSetValueLabels(double volts, double amps, DWORD seconds) {
    SetNumberLabel(OPW_SET_VOLTAGE, u"%.01f", volts);
    SetNumberLabel(OPW_G_SET_VOLTAGE, u"%.01f", volts);
    SetNumberLabel(OPW_SET_CURRENT, u"%.01f", amps);
    SetNumberLabel(OPW_G_SET_CURRENT, u"%.01f", amps);
    SetSetTimeLabel(seconds);
}

void COperationWnd::SetProgressRange(int control, int total) {
    if (auto* bar = dynamic_cast<CScrollBarCtrl*>(Ctrl(control))) bar->SetTotal(SCROLL_BAR_HORZ, total, !m_bEditing);
}

void COperationWnd::BeginRunDisplay(int runState, double voltageMin, double voltageMax, double currentMax) {
    m_dStepHigh = m_dStepLow = m_dStepStartVolts = m_dVoltage;
    m_dVoltageMin = std::max(0.0, std::min(voltageMin, m_dVoltage) - 10);
    m_dVoltageMax = std::max(voltageMax, m_dVoltage) + 10;
    if (m_pSettings) m_dVoltageMax = std::min(m_dVoltageMax, m_pSettings->dMaxVoltage);
    m_dCurrentMax = currentMax;
    SetGraphAxes(FALSE, m_dCurrentMax, m_dVoltageMax, m_dVoltageMin);
    if (m_pGraph) {
        m_nZoom = m_pGraph->SetZoom(FALSE, GRAPH_ZOOM_4PAGES);
        m_pGraph->ClearData();
    }
    SetGraphScale(TRUE, FALSE);
    GetSystemTime(&m_stStart);
    CreateLogFiles(m_stStart, runState >= RUN_STATE_STEP1 ? u'P' : (runState == RUN_STATE_DISCHARGE ? u'D' : u'R'));
    WCHAR text[16];
    swprintf(text, 16, u"%02d:%02d:%02d", m_stStart.wHour, m_stStart.wMinute, m_stStart.wSecond);
    SetLabel(OPW_START_TIME, text);
    SetLabel(OPW_END_TIME, u"");
    SetTimeLabel(OPW_TOTAL_TIME, 0);
    SetTimeLabel(OPW_G_TOTAL_TIME, 0);
    SetNumberLabel(OPW_AMPHOURS, u"%.3f", 0.0);
    SetNumberLabel(OPW_G_AMPHOURS, u"%.3f", 0.0);
    if (runState < RUN_STATE_STEP1) {
        const DWORD time = m_pOpMode->dwTime;
        ShowSetValueLabels(m_pOpMode->dVoltage, m_pOpMode->dCurrent, time);
        for (int bar : {OPW_PROGRAM_BAR, OPW_STEP_BAR}) {
            SetProgressRange(bar, static_cast<int>(time) + 1);
            SetProgress(bar, 0);
        }
        SetLabel(OPW_MODE_TITLE, u"");
    }
    SetButtonMask(runState >= RUN_STATE_STEP1 ? OPW_MASK_PROGRAM : OPW_MASK_RUN);
}

void COperationWnd::BeginRunState(int runState, int note) {
    m_nRunState = runState;
    if (runState < RUN_STATE_STEP1) m_bDischarge = runState == RUN_STATE_DISCHARGE ? 1 : 0;
    m_dAmpHours = 0;
    m_bTempPaused = 0;
    m_nPauseCount = 0;
    m_bUnitPaused = 0;
    m_bResendOnResume = 0;
    m_bHeldResume = 0;
    EnterCriticalSection(&OperationSection());
    m_dwTotalSeconds = 0;
    if (runState < RUN_STATE_STEP1) m_dwStepSeconds = 0;
    m_nRunFlag = RUN_RUNNING;
    RestartTick();
    LeaveCriticalSection(&OperationSection());
    if (runState < RUN_STATE_STEP1) m_nPulsePhase = 0;
    WriteSystemLogNote(note);
}

int COperationWnd::SetUpRunOutput(int runState, BOOL switchOn) {
    if (IsProgramState(runState)) return SetUpStepOutput(m_pOpMode->steps[runState - RUN_STATE_STEP1], FALSE, switchOn);
    WORD wireVolts, wireAmps;
    if (!McuHundredths(m_pOpMode->dVoltage, &wireVolts) || !McuHundredths(m_pOpMode->dCurrent, &wireAmps)) return 1;
    const BOOL discharge = runState == RUN_STATE_DISCHARGE;
    if (discharge && IsUnitConnected())
        return StartOutput(UNIT_MODE_CONSTANT_CURRENT, wireVolts, wireAmps, UnitTime(m_pOpMode->dwTime), switchOn) ? 0 : 2;
    const int flags = discharge ? 0 : 1;
    return SendOutputSetup(m_pOpMode->dVoltage, m_pOpMode->dCurrent, discharge ? 1 : 0, flags, flags, switchOn) ? 0 : 1;
}

int COperationWnd::StartRestoration(int quiet, int) {
    if (!m_pOpMode) return 1;
    if (m_bStartRefused) {
        Popup(23, FALSE);
        return 1;
    }
    if (RefusedByConnection(1, quiet) || RefusedByTemperature(quiet)) return 1;
    const double volts = m_pOpMode->dVoltage, amps = m_pOpMode->dCurrent;
    if (!(m_dVoltage > 0 && m_dVoltage < volts)) {
        ReportError(204);
        Popup(33, quiet);
        return 1;
    }
    if (RefusedByRange(volts, amps, FALSE) || !CheckCutLimits()) return 1;
    if (m_pOpMode->dwTime == 0) {
        ReportError(208);
        Popup(35, quiet);
        return 1;
    }
    if (SetUpRunOutput(RUN_STATE_RESTORATION, TRUE)) {
        OutputOff();
        Popup(20, quiet);
        return 1;
    }
    BeginRunDisplay(RUN_STATE_RESTORATION, volts, volts, amps + 10);
    BeginRunState(RUN_STATE_RESTORATION, 1);
    return 0;
}

int COperationWnd::StartDischarge(int quiet, int) {
    if (!m_pOpMode) return 1;
    if (m_bStartRefused) {
        Popup(23, FALSE);
        return 1;
    }
    if (RefusedByConnection(2, quiet) || RefusedByTemperature(quiet)) return 1;
    const double volts = m_pOpMode->dVoltage, amps = m_pOpMode->dCurrent;
    if (m_dVoltage <= volts || m_dVoltage >= kMaxDischargeStartVolts) {
        ReportError(205);
        Popup(m_dVoltage <= volts ? 33 : 36, quiet);
        return 1;
    }
    if (!CheckCutLimits()) return 1;
    const BOOL unit = IsUnitConnected();
    if (RefusedByRange(volts, amps, unit)) return 1;
    if (const int failed = SetUpRunOutput(RUN_STATE_DISCHARGE, TRUE)) {
        OutputOff();
        Popup(failed == 2 ? 63 : 20, quiet);
        return 1;
    }
    BeginRunDisplay(RUN_STATE_DISCHARGE, volts, volts, amps + 10);
    BeginRunState(RUN_STATE_DISCHARGE, 2);
    return 0;
}

int COperationWnd::StartProgram(int quiet) {
    if (!m_pOpMode) return 1;
    if (m_bStartRefused) {
        Popup(23, FALSE);
        return 1;
    }
    m_dAmpHours = 0;
    m_dwProgramTime = 0;
    m_nStage = 0;
    int enabled = 0;
    double vMin = m_dVoltage, vMax = m_dVoltage, aMax = 0;
    for (ProgramStep& step : m_pOpMode->steps) {
        if (!step.dwEnable) continue;
        if (step.byKind == 0) {
            step.dwEnable = 0;
            continue;
        }
        ++enabled;
        m_dwProgramTime += step.dwTime;
        vMin = std::min(vMin, step.dVoltage);
        vMax = std::max(vMax, step.dVoltage);
        aMax = std::max(aMax, step.dCurrent);
    }
    if (RefusedByConnection(3, quiet) || !CheckCutLimits() || RefusedByTemperature(quiet)) return 1;
    for (const ProgramStep& step : m_pOpMode->steps)
        if (step.dwEnable && RefusedByRange(step.dVoltage, step.dCurrent, FALSE)) return 1;
    // The run flag stays as it was until the first step is under way: the tick must not see a
    // half-started run.
    const int flag = m_nRunFlag.load();
    if (!NextProgramStep(0, quiet, 1)) {
        m_nRunFlag = flag;
        return 1;
    }
    BeginRunDisplay(m_nRunState, vMin, vMax, aMax + 10);
    SetProgressRange(OPW_PROGRAM_BAR, enabled + 1);
    SetProgress(OPW_PROGRAM_BAR, 0);
    BeginRunState(m_nRunState, 3);
    return 0;
}

// Pause and continue

int COperationWnd::PauseResume() {
    const BOOL unit = IsUnitConnected() && m_bUnitOutput;
    if (m_bHeldResume) {
        const int first = m_nRunState == RUN_STATE_RESTORATION ? 1 : (m_nRunState == RUN_STATE_DISCHARGE ? 2 : 3);
        if (RefusedByConnection(first, FALSE) || !CheckCutLimits()) return 1;
        if (BoardFrom22() && m_bHeatsink) {
            ReportError(102);
            Popup(27, FALSE);
            return 1;
        }
        // A discharge held with the attached unit is continued as a user pause is, through the unit.
        const BOOL stepDischarges = IsProgramState(m_nRunState) &&
                                    m_pOpMode->steps[m_nRunState - RUN_STATE_STEP1].dwDirection == 1;
        if ((m_nRunState == RUN_STATE_DISCHARGE || stepDischarges) && IsUnitConnected()) {
            m_bHeldResume = 0;
            return 1;
        }
        if (!CmdSet15(m_pMicomPort, 1)) {
            Popup(20, FALSE);
            return 1;
        }
        m_bHeldResume = 0;
        m_bTempPaused = 0;
        m_nPauseCount = 0;
        m_nRunFlag = RUN_RUNNING;
        RestartTick();
        SetPauseButtonText(OPW_PAUSE);
        return 0;
    }
    if (m_nRunFlag.load() == RUN_RUNNING) {
        const int ok = unit ? m_pUnit->SendD2(0) : CmdSet16(m_pMicomPort, 0);
        if (ok) {
            SetPauseButtonText(40);
            m_nRunFlag = RUN_PAUSED;
        }
        ReportError(202);
        return ok ? 0 : 1;
    }
    if (m_nRunFlag.load() != RUN_PAUSED) return 1;
    int ok = 1;
    if (m_bResendOnResume) {
        // The program edit made while paused goes out now, behind the MCU's pause.
        m_bResendOnResume = 0;
        ok = ResendStep(m_nRunState);
    }
    // During a temperature pause the output stays off: the temperature gate alone resumes it.
    if (ok && !m_bTempPaused) ok = unit ? m_pUnit->SendD2(1) : CmdSet16(m_pMicomPort, 1);
    if (ok && m_nRunFlag.load() == RUN_PAUSED) {
        SetPauseButtonText(OPW_PAUSE);
        m_nRunFlag = RUN_RUNNING;
        RestartTick();
    }
    ReportError(203);
    return ok ? 0 : 1;
}

// Edits of a run

int COperationWnd::ApplyManualEdit(int quiet) {
    if (!m_pOpMode) return 0;
    const double volts = m_pOpMode->dVoltage, amps = m_pOpMode->dCurrent;
    const BOOL unit = m_bUnitOutput && IsUnitConnected();
    if (RefusedByRange(volts, amps, unit && m_nRunState == RUN_STATE_DISCHARGE)) return 0;
    WORD wireVolts, wireAmps;
    McuHundredths(volts, &wireVolts);
    McuHundredths(amps, &wireAmps);
    const int ok = unit ? StartOutput(UNIT_MODE_CONSTANT_VOLTAGE, wireVolts, wireAmps, UnitTime(m_pOpMode->dwTime), FALSE)
                        : CmdSet10(m_pMicomPort, wireVolts) && CmdSet11(m_pMicomPort, wireAmps);
    if (!ok) {
        Popup(20, quiet);
        return 0;
    }
    ShowSetValueLabels(volts, amps, m_pOpMode->dwTime);
    for (int bar : {OPW_PROGRAM_BAR, OPW_STEP_BAR}) SetProgressRange(bar, static_cast<int>(m_pOpMode->dwTime) + 1);
    return 1;
}

// E0 and E1: refused while a program runs or out of the settings' range; else sent at once (also when
// idle) and, once the MCU took it, stored and shown.
int COperationWnd::SetRemoteValue(double value, BOOL volts) {
    if (!m_pOpMode || (m_nRunFlag.load() != RUN_IDLE && IsProgramState(m_nRunState)) ||
        !(volts ? CheckSetVoltage(value) : CheckSetCurrent(value)))
        return 0;
    WORD wire;
    McuHundredths(value, &wire);
    if (!(volts ? CmdSet10 : CmdSet11)(m_pMicomPort, wire)) return 0;
    {
        CRoundPause pause(*this, TRUE);
        (volts ? m_pOpMode->dVoltage : m_pOpMode->dCurrent) = value;
    }
    SetNumberLabel(volts ? OPW_SET_VOLTAGE : OPW_SET_CURRENT, u"%.01f", value);
    SetNumberLabel(volts ? OPW_G_SET_VOLTAGE : OPW_G_SET_CURRENT, u"%.01f", value);
    return 1;
}

int COperationWnd::SetRemoteVolt(double volts) { return SetRemoteValue(volts, TRUE); }

int COperationWnd::SetRemoteAmp(double amps) { return SetRemoteValue(amps, FALSE); }

int COperationWnd::SetRemoteTime(DWORD seconds) {
    if (!m_pOpMode || (m_nRunFlag.load() != RUN_IDLE && IsProgramState(m_nRunState)) || !CheckSetTime(seconds))
        return 0;
    {
        CRoundPause pause(*this, TRUE);
        m_pOpMode->dwTime = seconds;
    }
    SetSetTimeLabel(seconds);
    for (int bar : {OPW_PROGRAM_BAR, OPW_STEP_BAR}) SetProgressRange(bar, static_cast<int>(seconds) + 1);
    return 1;
}

int COperationWnd::SetRemoteStep(int number, const ProgramStep* step) {
    if (!m_pOpMode || !step || number < 1 || number > 6) return 0;
    const BOOL running = m_nRunFlag.load() != RUN_IDLE;
    if (running && !IsProgramState(m_nRunState)) return 0;
    // The running step keeps the set-up it was started with.
    if (running && number - 1 == m_nRunState - RUN_STATE_STEP1) return 0;
    if (step->byKind == 8 || step->byKind > 9 || !CheckProgramStep(*step)) return 0;
    CRoundPause pause(*this, TRUE);
    m_pOpMode->steps[number - 1] = *step;
    return 1;
}

int COperationWnd::ApplyProgramEdit(int quiet) {
    if (!m_pOpMode || m_nRunFlag.load() == RUN_IDLE || !IsProgramState(m_nRunState)) return 0;
    DWORD total = 0;
    double vMin = m_dVoltage, vMax = m_dVoltage, aMax = 0;
    for (const ProgramStep& step : m_pOpMode->steps) {
        if (!step.dwEnable) continue;
        if (!CheckProgramStep(step)) {
            if (!quiet) RefusedByRange(step.dVoltage, step.dCurrent, FALSE);
            return 0;
        }
        total += step.dwTime;
        vMin = std::min(vMin, step.dVoltage);
        vMax = std::max(vMax, step.dVoltage);
        aMax = std::max(aMax, step.dCurrent);
    }
    m_dwProgramTime = total;
    SetGraphAxes(FALSE, aMax + 5, vMax, vMin);
    if (m_nRunFlag.load() == RUN_PAUSED) {
        // Paused by the user, the tick treats the page as idle: the output stays off until the continue.
        m_bResendOnResume = 1;
        const ProgramStep& step = m_pOpMode->steps[m_nRunState - RUN_STATE_STEP1];
        ShowSetValueLabels(step.dVoltage, step.dCurrent, m_dwProgramTime);
    } else if (!ResendStep(m_nRunState)) {
        return 0;
    }
    RequestGraph(GRAPH_REQ_REDRAW);
    return 1;
}
