// Program steps: the end of a Restoration or Discharge, each step kind's phases, stages and end, the
// change to the next step, and the hand-over of the output to the attached unit.
#include <cstring>

#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"

#include "OperationInternal.h"

namespace {

// Once a discharge step has passed its start checks, later ones are no longer refused for a battery
// at or below the step voltage, until a charge step is refused.
BYTE s_byDischargeCheck = 0;

const int kRestTicks = 60;
const int kPulseDischargeTicks = 300;
const int kKind5ChargeTicks = 600;
const int kKind5RestTicks = 301;
const DWORD kDvArmSeconds = 11;
const WORD kDvArmAmps = 51;
const double kDvDrop = 0.2;
const int kDvLowTicks = 4;
const DWORD kKind9EndSeconds = 101;
const DWORD kStage2Seconds = 3600;

BOOL IsDischarge(const ProgramStep& step) { return step.dwDirection == 1; }

// Volts or amperes x 100 into *out; 0 when it cannot go on the wire.
BOOL Wire(double value, WORD* out) { return McuHundredths(value, out) != 0; }

}  // namespace

int GetStepFlag1A(DWORD direction, int kind) {
    if (direction != 1) return 1;
    return kind == 1 || kind == 2 ? 0 : 1;
}

int GetStepFlag19(DWORD direction, int kind) {
    if (kind == 1) return 0;
    if (direction == 1) return 1;
    return kind == 3 || kind == 4 || kind == 6 ? 0 : 1;
}

void ResetDischargeCheck() { s_byDischargeCheck = 0; }

BOOL COperationWnd::IsUnitConnected() const { return m_pUnit && m_pUnit->IsUnitConnected(); }

int COperationWnd::StartOutput(BYTE mode, WORD value1, WORD value2, DWORD time, BOOL switchOn) {
    if (!IsUnitConnected()) return 0;
    m_bUnitStarting = 1;
    m_byUnitMode = mode;
    m_wUnitValue1 = value1;
    m_wUnitValue2 = value2;
    m_dwUnitTime = time;
    // The MCU lets go first: the two outputs never drive the battery together.
    int ok = CmdSet15(m_pMicomPort, 0) && m_pUnit->SendD1(mode, value1, value2, time);
    if (ok && switchOn) ok = m_pUnit->SendD2(1);
    if (ok) {
        m_bUnitOutput = 1;
        g_byUnitWatchdog = 0;
    }
    m_bUnitStarting = 0;
    return ok;
}

int COperationWnd::StopOutput() {
    if (!m_pUnit || !m_pUnit->SendD2(0)) return 0;
    // Only an acknowledged switch-off ends the unit's output; else the caller tries again.
    m_bUnitOutput = 0;
    return 1;
}

int COperationWnd::OutputOff() {
    int ok = CmdSet15(m_pMicomPort, 0) || CmdSet15(m_pMicomPort, 0);
    if (m_bUnitOutput) {
        if (!StopOutput() && !StopOutput()) {
            // The unit no longer answers: nothing more to tell it; the user learns it from 10003.
            OutputDebugStringW(u"[OPWND]attached unit did not switch off\r\n");
            m_bUnitOutput = 0;
            PostEvent(OPW_EVENT_UNIT);
            ok = 0;
        }
    }
    return ok;
}

void COperationWnd::FailToIdle(int event) {
    OutputOff();
    if (event) PostEvent(event);
    SetIdleState();
}

void COperationWnd::SetModeTitle(int index, const ProgramStep& step) {
    WCHAR text[96];
    const WCHAR* direction = IsDischarge(step) ? u"Discharge" : u"Restoration";
    if (step.byKind == 8)
        swprintf(text, 96, u"[%s]  [Mode%01d]  [%s]  [Pulse%01d-%01d]", u"Program", index + 1, direction,
                 static_cast<int>(step.byKind), m_nStage + 1);
    else
        swprintf(text, 96, u"[%s]  [Mode%01d]  [%s]  [Pulse%01d]", u"Program", index + 1, direction,
                 static_cast<int>(step.byKind));
    SetLabel(OPW_MODE_TITLE, text);
}

// Run-state evaluation

void COperationWnd::EvaluateRunState(const McuStatusRecord& status) {
    if (!m_pOpMode) return;
    const double volts = status.Volt / 100.0;
    const double amps = status.Current / 100.0;
    const int state = m_nRunState;
    if (state == RUN_STATE_RESTORATION) {
        if (m_dwTotalSeconds >= m_pOpMode->dwTime) {
            StopRun(0);
            PostEvent(1000);
            ReportError(210);
        }
        return;
    }
    if (state == RUN_STATE_DISCHARGE) {
        if (!g_bModelZ330 && !OnBatteryHighTemp()) return;
        if (m_dwTotalSeconds >= m_pOpMode->dwTime || volts <= m_pOpMode->dVoltage) {
            StopRun(0);
            PostEvent(1001);
            ReportError(210);
        }
        return;
    }
    if (state < RUN_STATE_STEP1 || state > RUN_STATE_STEP6) return;
    const ProgramStep& step = m_pOpMode->steps[state - RUN_STATE_STEP1];
    if (!step.dwEnable) {
        NextProgramStep(state, 0, 0);
        return;
    }
    if (step.dwDirection == 0) {
        EvaluateChargeStep(state, step, volts, amps, status.Current);
        return;
    }
    if (step.dwDirection != 1) return;
    if (!g_bModelZ330 && !OnBatteryHighTemp()) return;
    const DWORD t = m_dwStepSeconds;
    const BOOL timeUp = step.dwTime > 0 && t >= step.dwTime;
    if ((step.byKind == 1 && (timeUp || (step.dVoltage > 0 && volts <= step.dVoltage))) ||
        (step.byKind == 2 && (timeUp || step.dVoltage == 0)))
        NextProgramStep(state, 0, 0);
}

void COperationWnd::EvaluateChargeStep(int state, const ProgramStep& step, double volts, double amps, WORD rawAmps) {
    const DWORD t = m_dwStepSeconds;
    const BOOL timeUp = t >= step.dwTime;
    BOOL ends = FALSE;
    switch (step.byKind) {
        case 1:
            ends = timeUp || volts >= step.dVoltage;
            break;
        case 2:
            ends = timeUp;
            break;
        case 3:
        case 4:
        case 5:
            if (timeUp) {
                ends = TRUE;
                break;
            }
            ++m_nPhaseTicks;
            EvaluatePulse(step, volts);
            break;
        case 6:
            if (timeUp) {
                ends = TRUE;
            } else if (!m_bDvArmed) {
                if (t >= kDvArmSeconds && rawAmps >= kDvArmAmps) {
                    m_bDvArmed = 1;
                    m_nLowTicks = 0;
                    m_dPeakVolts = m_dVoltage;
                }
            } else {
                if (m_dVoltage > m_dPeakVolts) m_dPeakVolts = m_dVoltage;
                if (volts < m_dPeakVolts - kDvDrop) ends = m_nLowTicks++ > kDvLowTicks;
                else m_nLowTicks = 0;
            }
            if (ends) m_bDvArmed = 0;
            break;
        case 7:
            ends = timeUp || (volts >= step.dVoltage && amps <= step.dCurrent / 2);
            break;
        case 8:
            if (timeUp) {
                ends = TRUE;
            } else if (m_nStage == 0) {
                if (volts >= step.dVoltage) {
                    m_nStage = 1;
                    SetModeTitle(state - RUN_STATE_STEP1, step);
                }
            } else if (m_nStage == 1) {
                WORD finish;
                if (amps <= step.dCurrent * 0.09 && Wire(step.dCurrent * 0.09, &finish) &&
                    CmdSet11(m_pMicomPort, finish) && CmdSet19(m_pMicomPort, 0)) {
                    m_nStage = 2;
                    m_dwStageMark = t;
                    SetModeTitle(state - RUN_STATE_STEP1, step);
                }
            } else {
                ends = volts >= 1.05 * step.dVoltage || t >= m_dwStageMark + kStage2Seconds;
            }
            break;
        case 9:
            ends = timeUp || m_dAmpHours >= m_dAhLimit || (t >= kKind9EndSeconds && amps <= m_dEndCurrent);
            break;
        default:
            break;
    }
    if (ends) NextProgramStep(state, 0, 0);
}

// Kinds 3 and 4: charge, rest, discharge at a third of the current, rest. Kind 5: charge, rest. A
// change takes effect only when all its commands went through; else it is tried again next tick.
void COperationWnd::EvaluatePulse(const ProgramStep& step, double volts) {
    const int kind = step.byKind;
    const int ticks = m_nPhaseTicks;
    WORD setVolts = 0, setAmps = 0, thirdAmps = 0;
    const BOOL values = Wire(step.dVoltage, &setVolts) && Wire(step.dCurrent, &setAmps) &&
                        Wire(step.dCurrent / 3, &thirdAmps);
    CMicomPort* port = m_pMicomPort;
    BOOL next = FALSE;
    switch (m_nPulsePhase) {
        case 0:
            if (kind == 3 ? volts >= step.dVoltage : ticks > (kind == 4 ? kPulseDischargeTicks : kKind5ChargeTicks))
                next = CmdSet15(port, 0);
            break;
        case 1:
            if (kind == 5) {
                if (ticks >= kKind5RestTicks)
                    next = values && CmdSet10(port, setVolts) && CmdSet11(port, setAmps) && CmdSet14(port, 0) &&
                           CmdSet19(port, 1) && CmdSet15(port, 1);
                if (next) {
                    m_nPulsePhase = 0;
                    m_nPhaseTicks = 0;
                }
                return;
            }
            if (ticks <= kRestTicks) break;
            if (IsUnitConnected())
                next = values && StartOutput(kind == 3 ? UNIT_MODE_CONSTANT_VOLTAGE : UNIT_MODE_CONSTANT_CURRENT, 1,
                                             thirdAmps, UnitTime(kPulseDischargeTicks), TRUE);
            else if (kind == 3)
                next = values && CmdSet10(port, 0) && CmdSet11(port, thirdAmps) && CmdSet19(port, 0) &&
                       CmdSet14(port, 1) && CmdSet15(port, 1);
            else
                next = values && CmdSet10(port, 0) && CmdSet11(port, thirdAmps) && CmdSet14(port, 1) &&
                       CmdSet19(port, 1) && CmdSet15(port, 1);
            if (next) m_bDischarge = 1;
            break;
        case 2:
            if (ticks > kPulseDischargeTicks) next = m_bUnitOutput ? StopOutput() : CmdSet15(port, 0);
            break;
        case 3:
            if (ticks >= kRestTicks + 1)
                next = values && CmdSet10(port, setVolts) && CmdSet11(port, setAmps) && CmdSet14(port, 0) &&
                       CmdSet19(port, 0) && CmdSet15(port, 1);
            if (next) {
                m_nPulsePhase = 0;
                m_nPhaseTicks = 0;
                m_bDischarge = 0;
            }
            return;
        default:
            return;
    }
    if (next) {
        ++m_nPulsePhase;
        m_nPhaseTicks = 0;
    }
}

// Step changes

int COperationWnd::NextProgramStep(int state, int quiet, int checkStart) {
    if (!m_pOpMode) return 0;
    if (state != 0) {
        const int off = CmdSet15(m_pMicomPort, 0) && (!m_bUnitOutput || StopOutput());
        if (!off) {
            FailToIdle(quiet ? 0 : OPW_EVENT_NO_ANSWER);
            return 0;
        }
    }
    int from;
    if (state == 0) from = 0;
    else if (state >= RUN_STATE_STEP1 && state < RUN_STATE_STEP6) from = state - RUN_STATE_STEP1 + 1;
    else if (state == RUN_STATE_STEP6) from = 6;
    else {
        SetIdleState();
        return 0;
    }
    int index = from;
    while (index < 6 && !m_pOpMode->steps[index].dwEnable) ++index;
    if (index >= 6) {
        if (state == 0) {
            if (!quiet) PostEvent(OPW_EVENT_NO_STEP);
        } else {
            SetProgress(OPW_PROGRAM_BAR, 100);
            if (state != RUN_STATE_STEP6) SetTimeLabel(OPW_TOTAL_TIME, m_dwTotalSeconds);
            if (!quiet) PostEvent(1002);
            ReportError(210);
        }
        SetIdleState();
        return 0;
    }
    const ProgramStep& step = m_pOpMode->steps[index];
    m_nRunState = index + RUN_STATE_STEP1;
    if (step.byKind == 9) {
        m_dAhLimit = 1.3 * step.wCapacity;
        m_dEndCurrent = 0.02 * step.wCapacity;
    }
    if (step.byKind == 8) {
        m_nStage = 0;
        m_dwStageMark = 0;
    }
    SetModeTitle(index, step);

    if (!IsDischarge(step)) {
        if (checkStart && m_dVoltage >= step.dVoltage) {
            s_byDischargeCheck = 0;
            ReportError(204);
            FailToIdle(quiet ? 0 : 204);
            return 0;
        }
    } else {
        const BOOL low = m_dVoltage <= step.dVoltage && !s_byDischargeCheck;
        if (!low) s_byDischargeCheck = 1;
        if (low || m_dVoltage >= kMaxDischargeStartVolts) {
            ReportError(205);
            FailToIdle(quiet ? 0 : 205);
            return 0;
        }
    }

    const int failed = SetUpStepOutput(step, FALSE);
    if (failed) {
        // The unit's refusal is told on the UI thread: the popup belongs there.
        FailToIdle(quiet ? 0 : (failed == 2 ? OPW_EVENT_UNIT : OPW_EVENT_NO_ANSWER));
        return 0;
    }
    ShowStep(index, step);
    ClearStepTime();
    return 1;
}

int COperationWnd::SetUpStepOutput(const ProgramStep& step, BOOL stage2) {
    WORD volts, amps;
    const double current = stage2 ? step.dCurrent * 0.09 : step.dCurrent;
    if (!Wire(step.dVoltage, &volts) || !Wire(current, &amps)) return 1;
    if (IsUnitConnected() && IsDischarge(step)) {
        const BYTE mode =
            GetStepFlag19(step.dwDirection, step.byKind) != 1 ? UNIT_MODE_CONSTANT_VOLTAGE : UNIT_MODE_CONSTANT_CURRENT;
        return StartOutput(mode, volts, amps, UnitTime(step.dwTime), TRUE) ? 0 : 2;
    }
    return SendOutputSetup(step.dVoltage, current, static_cast<BYTE>(step.dwDirection),
                           GetStepFlag1A(step.dwDirection, step.byKind),
                           stage2 ? 0 : GetStepFlag19(step.dwDirection, step.byKind))
               ? 0
               : 1;
}

int COperationWnd::SendOutputSetup(double volts, double amps, BYTE direction, int flag1A, int flag19) {
    WORD wireVolts, wireAmps;
    CMicomPort* port = m_pMicomPort;
    return Wire(volts, &wireVolts) && Wire(amps, &wireAmps) && CmdSet10(port, wireVolts) &&
           CmdSet11(port, wireAmps) && CmdSet14(port, direction) && CmdSet1A(port, flag1A) &&
           CmdSet19(port, flag19) && CmdSet15(port, 1);
}

void COperationWnd::ShowStep(int index, const ProgramStep& step) {
    int ordinal = 0;
    for (int i = 0; i < index; ++i)
        if (m_pOpMode->steps[i].dwEnable) ++ordinal;
    SetProgress(OPW_PROGRAM_BAR, ordinal);
    SetProgressRange(OPW_STEP_BAR, static_cast<int>(step.dwTime) + 1);
    SetProgress(OPW_STEP_BAR, 0);
    m_dStepStartVolts = m_dStepLow = m_dStepHigh = m_dVoltage;
    if (step.byKind == 6) {
        m_dPeakVolts = 0;
        m_bDvArmed = 0;
    }
    ShowSetValueLabels(step.dVoltage, step.dCurrent, m_dwProgramTime);
    m_nPulsePhase = 0;
    m_nPhaseTicks = 0;
    m_bDischarge = IsDischarge(step) ? 1 : 0;
}

int COperationWnd::ResendStep(int state) {
    if (!m_pOpMode || state < RUN_STATE_STEP1 || state > RUN_STATE_STEP6) return 0;
    const int index = state - RUN_STATE_STEP1;
    const ProgramStep& step = m_pOpMode->steps[index];
    if (m_bUnitOutput) StopOutput();
    if (!CmdSet15(m_pMicomPort, 0)) {
        FailToIdle(OPW_EVENT_NO_ANSWER);
        return 0;
    }
    SetModeTitle(index, step);
    const int failed = SetUpStepOutput(step, step.byKind == 8 && m_nStage == 2);
    if (failed) {
        FailToIdle(failed == 2 ? OPW_EVENT_UNIT : OPW_EVENT_NO_ANSWER);
        return 0;
    }
    ShowSetValueLabels(step.dVoltage, step.dCurrent, m_dwProgramTime);
    SetProgressRange(OPW_STEP_BAR, static_cast<int>(step.dwTime) + 1);
    SetProgress(OPW_STEP_BAR, 0);
    m_nPulsePhase = 0;
    m_nPhaseTicks = 0;
    m_bDischarge = IsDischarge(step) ? 1 : 0;
    return 1;
}
