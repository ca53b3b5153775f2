// The auto page (shell 16).
#include "app/AutoWnd.h"

#include <cstring>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

#include "OperationInternal.h"

namespace {

// Language texts of shell 16 on the same-numbered controls.
const int kTextControls[] = {14, 15, 16, 8, 9, 10, 11, 12, 13, AUTO_CANCEL, AUTO_CALC, 25, 26};
const int kOkKey = 42;  // [shell5]
const WCHAR* const kTypes[] = {u"Lead/Acid", u"AGM/Gel"};
const WCHAR* const kRates[] = {u"C5", u"C6", u"C10", u"C20"};

DWORD DefaultNow() { return GetTickCount(); }

}  // namespace

CAutoWnd::CAutoWnd(HWND owner, OpModeRecord* opMode)
    : m_pfnNow(DefaultNow), m_hOwner(owner), m_pPanel(nullptr), m_pOpMode(opMode), m_record(g_AutoRecord),
      m_steps{}, m_bShown(0), m_pfnUnitConnected(nullptr), m_pUnitContext(nullptr) {
    m_pPanel = CShellManager::Instance().OpenShell(owner, SHELL_AUTO, nullptr, FALSE);
    if (m_pPanel) LoadTexts();
}

CAutoWnd::~CAutoWnd() {
    CShellManager& shells = CShellManager::Instance();
    if (m_pPanel && shells.FindShell(SHELL_AUTO) == m_pPanel) shells.CloseShell(SHELL_AUTO);
}

void CAutoWnd::SetUnitConnected(BOOL (*isConnected)(void*), void* context) {
    m_pfnUnitConnected = isConnected;
    m_pUnitContext = context;
}

void CAutoWnd::LoadTexts() {
    for (int control : kTextControls) SetLangCtrlText(m_pPanel, control, SHELL_AUTO, control);
    SetLangCtrlText(m_pPanel, AUTO_OK, SHELL_PROGRAM, kOkKey);
}

void CAutoWnd::RefreshFacts() {
    if (!m_pPanel) return;
    auto put = [&](int control, const WCHAR* text) {
        if (CUiCtrl* c = m_pPanel->GetCtrl(control)) c->SetText(text, TRUE);
    };
    WCHAR text[16];
    swprintf(text, 16, u"%d", static_cast<int>(m_record.dwVoltage));
    put(AUTO_VOLT_TEXT, text);
    swprintf(text, 16, u"%d", static_cast<int>(m_record.dwCapacity));
    put(AUTO_CAP_TEXT, text);
    put(AUTO_TYPE, kTypes[m_record.dwType == AUTO_TYPE_AGM ? 1 : 0]);
    put(AUTO_RATE, kRates[m_record.dwRate <= AUTO_RATE_C20 ? m_record.dwRate : 0]);
}

void CAutoWnd::ShowResults(BOOL computed) {
    if (!m_pPanel) return;
    for (int i = 0; i < 6; ++i) {
        CUiCtrl* c = m_pPanel->GetCtrl(AUTO_RESULT_1 + i);
        if (!c) continue;
        if (!computed) {
            c->SetText(u"", TRUE);
            continue;
        }
        const ProgramStep& s = m_steps[i];
        WCHAR line[96];
        swprintf(line, 96, u"  %5.1f\t        %5.1f\t  %02d:%02d     %s\t  %d", s.dVoltage, s.dCurrent,
                 static_cast<int>(s.dwTime / 3600), static_cast<int>(s.dwTime / 60 % 60),
                 s.dwDirection == 1 ? u"Discharge" : u"Restoration", static_cast<int>(s.byKind));
        c->SetText(line, TRUE);
    }
}

void CAutoWnd::Show(int mode) {
    if (!m_pPanel) return;
    if (mode != 5) {
        m_bShown = 0;
        m_pPanel->Show(FALSE);
        return;
    }
    // Facts not confirmed with OK are dropped.
    m_record = g_AutoRecord;
    if (TestAndClearPageFlag(SHELL_AUTO)) LoadTexts();
    RefreshFacts();
    ShowResults(FALSE);
    m_bShown = 1;
    m_pPanel->Show(TRUE);
    m_pPanel->Invalidate(nullptr, TRUE);
}

void CAutoWnd::ComputeProgram() {
    const BOOL unit = m_pfnUnitConnected && m_pfnUnitConnected(m_pUnitContext);
    ComputeAutoSteps(m_record, g_nModelIndex, g_dwLogoIndex, unit, m_steps);
}

void CAutoWnd::Arrow(int id, int event) {
    const DWORD now = m_pfnNow();
    m_hold.Track(event, now);
    const BOOL repeating = event == 2;
    if (id == AUTO_VOLT_DOWN || id == AUTO_VOLT_UP)
        m_record.dwVoltage = static_cast<DWORD>(StepCount(static_cast<int>(m_record.dwVoltage), m_hold.dwPressStart,
                                                          now, repeating, id == AUTO_VOLT_UP, AUTO_VOLTAGE_MIN,
                                                          AutoVoltageMax(g_nModelIndex), AUTO_VOLTAGE_UNIT));
    else
        m_record.dwCapacity = static_cast<DWORD>(StepCount(static_cast<int>(m_record.dwCapacity), m_hold.dwPressStart,
                                                           now, repeating, id == AUTO_CAP_UP, AUTO_CAPACITY_MIN,
                                                           AUTO_CAPACITY_MAX, AUTO_CAPACITY_UNIT));
}

void CAutoWnd::OnCommand(int id, int event) {
    switch (id) {
        case AUTO_VOLT_DOWN:
        case AUTO_VOLT_UP:
        case AUTO_CAP_DOWN:
        case AUTO_CAP_UP:
            Arrow(id, event);
            break;
        case AUTO_TYPE:
            m_record.dwType = m_record.dwType == AUTO_TYPE_AGM ? AUTO_TYPE_LEAD : AUTO_TYPE_AGM;
            break;
        case AUTO_RATE:
            m_record.dwRate = NextAutoRate(m_record.dwRate, g_dwLogoIndex);
            break;
        case AUTO_CMD_UNIT:
            if (CUiCtrl* c = m_pPanel ? m_pPanel->GetCtrl(AUTO_RATE) : nullptr) c->Enable(TRUE);
            RefreshFacts();
            return;
        case AUTO_CALC:
            ComputeProgram();
            ShowResults(TRUE);
            return;
        case AUTO_OK:
            // Computed now, so the run takes the facts shown, Calc. pressed or not.
            ComputeProgram();
            if (m_pOpMode) std::memcpy(m_pOpMode->steps, m_steps, sizeof(m_steps));
            g_AutoRecord = m_record;
            Show(0);
            return;
        case AUTO_CANCEL:
        case 110:
            Show(0);
            return;
        default:
            return;
    }
    // A changed fact makes the lines shown stale.
    RefreshFacts();
    ShowResults(FALSE);
}
