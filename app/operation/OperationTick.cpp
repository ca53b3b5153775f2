// The operation thread: one poll of the MCU a second, the live values, the temperature flags, the
// graph samples, and the stop conditions of a running run.
#include <algorithm>
#include <cmath>

#include "app/AdminWnd.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Graph.h"

#include "OperationInternal.h"

namespace {

const int kTransTicksZ330 = 5;
const int kTempTicks = 60;
const SHORT kTransLimitZ330 = 12000;
const int kNotConnectedC = -90;
const COLORREF kBlinkColour = RGB(255, 0, 0);
// A unit current above 210.00 A is no reading.
const WORD kUnitMaxReading = 21000;

// The flag of a temperature that must stay beyond its limit for more than `count` ticks in a row.
void TrackLimit(BOOL beyond, int count, int* flag, int* ticks) {
    if (!beyond) {
        *flag = 0;
        *ticks = 0;
        return;
    }
    if (*flag) return;
    if (*ticks > count) *flag = 1;
    ++*ticks;
}

}  // namespace

BOOL BoardFrom22() { return g_dDisplayBoardRev >= 2.2 - 1e-9; }

WORD FrequencyOfCode(int code) { return code == 1 ? 50 : (code == 2 ? 60 : 0); }

BOOL CheckMainsFrequency(WORD frequency, WORD setting) {
    return frequency + 4 >= setting && frequency <= setting + 4;
}

// Stopwatch

void COperationWnd::RestartTick() {
    EnterCriticalSection(&OperationSection());
    m_timer.Start(TRUE);
    m_llTickRef = 0;
    LeaveCriticalSection(&OperationSection());
}

BOOL COperationWnd::TickElapsed() {
    EnterCriticalSection(&OperationSection());
    const LONGLONG elapsed = static_cast<LONGLONG>(m_timer.GetElapsedMs());
    const LONGLONG diff = elapsed - m_llTickRef;
    const BOOL due = diff > 1000;
    if (due) {
        m_dwTickSeconds = static_cast<DWORD>(diff / 1000);
        // A late tick counts its seconds once: the reference moves past all of them.
        m_llTickRef += 1000LL * (diff / 1000);
    }
    LeaveCriticalSection(&OperationSection());
    return due;
}

DWORD COperationWnd::TickWaitMs() {
    EnterCriticalSection(&OperationSection());
    const LONGLONG left = 1001 - (static_cast<LONGLONG>(m_timer.GetElapsedMs()) - m_llTickRef);
    LeaveCriticalSection(&OperationSection());
    return static_cast<DWORD>(left < 1 ? 1 : (left > 1001 ? 1001 : left));
}

void COperationWnd::SetRunTimes(DWORD total, DWORD step) {
    EnterCriticalSection(&OperationSection());
    m_dwTotalSeconds = total;
    m_dwStepSeconds = step;
    LeaveCriticalSection(&OperationSection());
}

void COperationWnd::ClearStepTime() {
    EnterCriticalSection(&OperationSection());
    m_dwStepSeconds = 0;
    LeaveCriticalSection(&OperationSection());
}

// Thread

DWORD WINAPI COperationWnd::OperationThread(LPVOID param) {
    auto* page = static_cast<COperationWnd*>(param);
    page->m_bAlive = 1;
    WaitForSingleObject(page->m_hOpEvent, INFINITE);
    page->m_nPollFailures = 0;
    page->m_nTransTicks = 0;
    page->m_nSinkTicks = 0;
    page->RestartTick();
    while (page->m_bLoop.load()) {
        // Asleep until the tick is due: one wake-up a second, and at once when the page goes.
        while (page->m_bLoop.load() && !page->TickElapsed())
            WaitForSingleObject(page->m_hStopEvent, page->TickWaitMs());
        if (!page->m_bLoop.load()) break;
        // A reader rebuilding the page parks the thread here, never inside a round.
        EnterCriticalSection(&page->m_csRound);
        if (page->m_nParkRequests.load()) {
            LeaveCriticalSection(&page->m_csRound);
            WaitForSingleObject(page->m_hStopEvent, 20);
            continue;
        }
        if (page->IsUnitConnected() && !page->m_bUnitStarting.load()) page->m_pUnit->SendD3(page->m_dwTotalSeconds);
        McuStatusRecord status{};
        const int ok = GetCurrentStatus(page->m_pMicomPort, &status);
        page->RunTick(ok ? &status : nullptr);
        LeaveCriticalSection(&page->m_csRound);
        Sleep(0);
    }
    page->m_bAlive = 0;
    return 0;
}

void COperationWnd::PostEvent(int code) {
    if (m_hOwner) PostMessageW(m_hOwner, WM_OPERATION_EVENT, static_cast<WPARAM>(code), 1);
}

void COperationWnd::RunTick(const McuStatusRecord* polled) {
    if (!polled) {
        // A port handed to a tool is closed on purpose: nothing is missing then.
        if (!m_pMicomPort || !m_pMicomPort->IsOpen()) return;
        ++m_nPollFailures;
        Sleep(100);
        if (m_nPollFailures > OPW_POLL_RETRIES) {
            StopRun(0);
            // One popup per outage; the output is switched off again on every failed round.
            if (!m_bOutagePosted) PostEvent(10000);
            m_bOutagePosted = 1;
        }
        return;
    }
    McuStatusRecord status = *polled;
    ProcessStatus(&status);
    m_nPollFailures = 0;
    m_bOutagePosted = 0;

    m_bBatCon0 = status.BatConStatus() & 1;
    m_bBatCon1 = (status.BatConStatus() >> 1) & 1;
    CheckTemperatures(status);

    if (m_nRunFlag.load() != RUN_RUNNING) {
        const double maxVoltage = m_pSettings ? m_pSettings->dMaxVoltage : 0.0;
        if (m_dVoltage > maxVoltage && !m_bNoticeShown) {
            PostEvent(210);
            m_bNoticeShown = 1;
        } else if (m_dVoltage <= maxVoltage && m_bNoticeShown) {
            Post(WM_OPWND_NOTICE, 0, 0);
            m_bNoticeShown = 0;
        }
        return;
    }
    BOOL stopped = FALSE;
    if (CheckStops(status, &stopped)) return;
    if (!stopped) EvaluateRunState(status);
    AddTime();
}

void COperationWnd::CheckTemperatures(const McuStatusRecord& status) {
    if (g_bModelZ330) {
        TrackLimit(status.TransTemp > kTransLimitZ330, kTransTicksZ330, &m_bTransOverheat, &m_nTransTicks);
        return;
    }
    if (!BoardFrom22() || !m_pSettings) return;
    // The firmware's meaning: the raw reading below the setting.
    TrackLimit(status.HeatsinkTemp < m_pSettings->nHeatsinkLimit, kTempTicks, &m_bHeatsink, &m_nSinkTicks);
    TrackLimit(status.TransTemp > static_cast<int>(m_pSettings->wTransTempLimit) * 100, kTempTicks, &m_bTransOverheat,
               &m_nTransTicks);
}

BOOL COperationWnd::CheckStops(const McuStatusRecord& status, BOOL* stopped) {
    if (m_bUnitOutput && g_byUnitWatchdog >= 5) {
        // The unit no longer answers: one switch-off is worth a try, then it is taken as gone.
        StopOutput();
        m_bUnitOutput = 0;
        StopRun(0);
        g_byUnitWatchdog = 0;
        PostEvent(10003);
        return TRUE;
    }
    if (m_bBatCon1) {
        StopRun(0);
        const int code = m_nRunState == RUN_STATE_RESTORATION ? 1 : (m_nRunState == RUN_STATE_DISCHARGE ? 2 : 3);
        ReportError(code);
        PostEvent(code);
        *stopped = TRUE;
    }
    if (m_bBatCon0 || m_bBatCon1) {
        ReportError(m_bBatCon0 ? 2 : 5);
        CmdOperation(m_pMicomPort, 1);
        StopRun(0);
        PostEvent(1);
        return TRUE;
    }
    if (m_bTransOverheat && (BoardFrom22() || g_bModelZ330)) {
        StopRun(0);
        ReportError(103);
        PostEvent(103);
        *stopped = TRUE;
    }
    if (m_dwTotalSeconds > OPW_MAX_RUN_SECONDS) {
        StopRun(0);
        ReportError(208);
        PostEvent(208);
        *stopped = TRUE;
    }
    if (!g_bModelZ330 && !CheckMainsFrequency(m_wFrequency, m_pSettings ? m_pSettings->wFrequency : 0)) {
        StopRun(0);
        ReportError(209);
        PostEvent(209);
        *stopped = TRUE;
    }
    const int cut = status.CutDetectError();
    if (cut == 1 || cut == 2) {
        StopRun(0);
        ReportError(cut == 1 ? 7 : 8);
        PostEvent(cut == 1 ? 7 : 8);
        CmdOperation(m_pMicomPort, static_cast<BYTE>(cut));
        *stopped = TRUE;
    }
    return FALSE;
}

void COperationWnd::AddTime() {
    if (m_bTempPaused) {
        m_bBlinkOn = !m_bBlinkOn;
        if (CUiCtrl* total = Ctrl(OPW_TOTAL_TIME)) total->SetTextColors(kBlinkColour, total->GetTextBackColor());
        if (m_bBlinkOn) SetTimeLabel(OPW_TOTAL_TIME, m_dwTotalSeconds);
        else SetLabel(OPW_TOTAL_TIME, u"        ");
        return;
    }
    EnterCriticalSection(&OperationSection());
    m_dwTotalSeconds += m_dwTickSeconds;
    m_dwStepSeconds += m_dwTickSeconds;
    LeaveCriticalSection(&OperationSection());
}

// Measurement

void COperationWnd::SetValuesOfRun(double* volts, double* amps) const {
    *volts = *amps = 0.0;
    if (!m_pOpMode) return;
    if (m_nRunState == RUN_STATE_RESTORATION || m_nRunState == RUN_STATE_DISCHARGE) {
        *volts = m_pOpMode->dVoltage;
        *amps = m_pOpMode->dCurrent;
    } else if (m_nRunState >= RUN_STATE_STEP1 && m_nRunState <= RUN_STATE_STEP6) {
        const ProgramStep& step = m_pOpMode->steps[m_nRunState - RUN_STATE_STEP1];
        *volts = step.dVoltage;
        *amps = step.dCurrent;
    }
}

void COperationWnd::ProcessStatus(McuStatusRecord* status) {
    if (m_bUnitOutput && m_pUnit) {
        // The unit delivers the output: its readings stand in for the MCU's, also in the record.
        WORD volts = 0, amps = 0;
        m_pUnit->GetUnitValues(&volts, &amps);
        status->Volt = volts;
        status->Current = amps > kUnitMaxReading ? 0 : amps;
        ++g_byUnitWatchdog;
    }
    m_dVoltage = status->Volt / 100.0;
    m_dCurrent = status->Current / 100.0;
    m_nBatteryTemp = static_cast<SHORT>(status->BatteryTemp / 100);
    m_wFrequency = FrequencyOfCode(status->Freq());
    m_nLastTransTemp = status->TransTemp;
    const BOOL running = m_nRunFlag.load() == RUN_RUNNING;

    if (running) {
        if (m_dVoltage > m_dStepHigh) m_dStepHigh = m_dVoltage;
        if (m_dVoltage < m_dStepLow) m_dStepLow = m_dVoltage;
        const double maxVoltage = m_pSettings ? m_pSettings->dMaxVoltage : 0.0;
        const double maxCurrent = m_pSettings ? m_pSettings->dMaxCurrent : 0.0;
        BOOL widened = FALSE;
        if (m_dVoltage > m_dVoltageMax) {
            const double v = std::min(maxVoltage, m_dVoltage + 10);
            widened |= v != m_dVoltageMax;
            m_dVoltageMax = v;
        }
        if (m_dVoltage < m_dVoltageMin) {
            const double v = std::max(0.0, m_dVoltage - 10);
            widened |= v != m_dVoltageMin;
            m_dVoltageMin = v;
        }
        if (m_dCurrent > m_dCurrentMax) {
            const double a = std::min(maxCurrent, m_dCurrent + 10);
            widened |= a != m_dCurrentMax;
            m_dCurrentMax = a;
        }
        if (widened) {
            SetGraphAxes(FALSE, m_dCurrentMax, m_dVoltageMax, m_dVoltageMin);
            RequestGraph(GRAPH_REQ_REDRAW);
        }
        WCHAR text[48];
        swprintf(text, 48, u"%.01f/%.01f", m_dStepLow, m_dStepHigh);
        SetLabel(OPW_STEP_VOLTAGES, text);
        SetTimeLabel(OPW_TOTAL_TIME, m_dwTotalSeconds);
        SetTimeLabel(OPW_G_TOTAL_TIME, m_dwTotalSeconds);
        if (m_nRunState == RUN_STATE_RESTORATION || m_nRunState == RUN_STATE_DISCHARGE) {
            SetProgress(OPW_PROGRAM_BAR, static_cast<int>(m_dwTotalSeconds));
            SetProgress(OPW_STEP_BAR, static_cast<int>(m_dwTotalSeconds));
        } else {
            SetProgress(OPW_STEP_BAR, static_cast<int>(m_dwStepSeconds));
        }

        // Amp-hours count only while the run delivers: a finished run keeps its figure.
        // A late tick stands for all the seconds it counts (the device clock may run fast).
        const double share = m_dCurrent * std::max<DWORD>(1, m_dwTickSeconds) / 3600.0;
        if (m_nRunState == RUN_STATE_RESTORATION) {
            m_dAmpHours += share;
        } else if (m_nRunState == RUN_STATE_DISCHARGE) {
            m_dAmpHours -= share;
        } else if (m_nRunState >= RUN_STATE_STEP1 && m_nRunState <= RUN_STATE_STEP6 && m_pOpMode) {
            if (m_pOpMode->steps[m_nRunState - RUN_STATE_STEP1].dwDirection == 1 || m_nPulsePhase == 2)
                m_dAmpHours -= share;
            else if (m_nPulsePhase == 0)
                m_dAmpHours += share;
        }
        SetNumberLabel(OPW_AMPHOURS, u"%.3f", m_dAmpHours);
        SetNumberLabel(OPW_G_AMPHOURS, u"%.3f", m_dAmpHours);
    }

    AddGraphSample();

    SetTemperatureLabel(status->TransTemp);
    if (CAdminWnd* admin = m_pAdminWnd) {
        admin->SetTempText(status->BatteryTemp / 100);
        admin->SetFrequencyText(m_wFrequency);
        admin->SetTransTempText(status->TransTemp / 100, m_bTransOverheat);
        admin->SetHeatsinkText(status->HeatsinkTemp, m_bHeatsink);
    }
    const BOOL oldBoard = m_pFirmware && m_pFirmware[0] <= 240;
    SetNumberLabel(OPW_VOLTAGE, u"%.2f", m_dVoltage < 1.0 && oldBoard ? 0.0 : m_dVoltage);
    SetNumberLabel(OPW_CURRENT, u"%.2f", running ? m_dCurrent : 0.0);
    SendStatusRecord(running, m_pSettings && m_pSettings->dwRemoteStreaming ? 1 : 0);
}

void COperationWnd::SetTemperatureLabel(SHORT transTemp) {
    if (!m_pSettings) return;
    WCHAR text[48];
    if (m_pSettings->wFreqShowsTrans)
        swprintf(text, 48, u"%d / %d", transTemp / 100, static_cast<int>(m_pSettings->wTransTempLimit));
    else
        swprintf(text, 48, u"%d Hz", static_cast<int>(m_wFrequency));
    SetLabel(OPW_FREQUENCY, text);
    if (g_bModelZ330) return;
    const int t = m_nBatteryTemp, limit = m_pSettings->nBatTempLimit;
    if (t <= kNotConnectedC)
        swprintf(text, 48, u"N.C");
    else if (m_pSettings->wFahrenheit)
        swprintf(text, 48, u"%2d / %2d \u2109", static_cast<int>(t * 1.8 + 32), static_cast<int>(limit * 1.8 + 32));
    else
        swprintf(text, 48, u"%2d / %2d \u2103", t, limit);
    SetLabel(OPW_TEMPERATURE, text);
}

void COperationWnd::AddGraphSample() {
    if (!m_pGraph) return;
    const int temp = m_pSettings && m_pSettings->wFahrenheit ? static_cast<int>(m_nBatteryTemp * 1.8 + 32)
                                                             : m_nBatteryTemp;
    double setVolts, setAmps;
    SetValuesOfRun(&setVolts, &setAmps);
    const int samples[OPW_GRAPH_CHANNELS + 1] = {
        static_cast<int>(setVolts * 10),          static_cast<int>(setAmps * 10),
        static_cast<int>(m_dVoltage * 10),        static_cast<int>(m_dCurrent * 10),
        temp * 10,                                m_bDischarge};
    if (m_pGraph->GetSampleCount() >= m_pGraph->GetLength()) {
        // A run never outlasts the store, but a page left idle for days would fill it: the idle view
        // starts over, a run keeps what it has.
        if (m_nRunFlag.load() != RUN_IDLE) return;
        m_pGraph->ClearData();
        SetGraphScale(TRUE, FALSE);
    }
    const int result = m_pGraph->AddData(samples, OPW_GRAPH_CHANNELS, TRUE);
    if (result == GRAPH_ADD_NEWPAGE && m_nZoom.load() != GRAPH_ZOOM_ALL) SetGraphScale(FALSE, FALSE);
}
