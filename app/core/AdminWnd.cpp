#include "app/AdminWnd.h"

#include <cmath>

#include "app/MainFrame.h"
#include "app/Pages.h"
#include "app/SettingTools.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

namespace {

const WCHAR kImportSource[] = u"\\SD Card\\System\\Setting.bin";
const int kWholeLimit = 99999;
const int kSensorStopped = 32767;

BOOL IsZ330(const SettingsRecord* settings) { return settings && IsModelZ330(settings->szModelName); }

BOOL BoardFrom(double revision, double from) { return revision >= from - 1e-9; }

void ShowResult(HWND hWnd, BOOL ok) {
    ShowMessageBoxText(hWnd, POPUP_TITLE_NOTICE, ok ? u"Success" : u"Failed", POPUP_ONE_BUTTON);
}

}  // namespace

int AdminWhole(double value) {
    if (std::isnan(value)) return 0;
    if (value > kWholeLimit) return kWholeLimit;
    if (value < -kWholeLimit) return -kWholeLimit;
    return static_cast<int>(value);
}

void FormatAdminLimits(double a, double b, double c, BOOL voltage, WCHAR* out, size_t capacity) {
    swprintf(out, capacity, voltage ? u"%d / %d /%d" : u"%d / %d / %d", AdminWhole(a), AdminWhole(b), AdminWhole(c));
}

void FormatTransTemp(int value, int limit, int flag, double revision, BOOL z330, WCHAR* out, size_t capacity) {
    // Boards from 2.0 to 2.1 report the value without a state, as the older ones.
    if (z330 || BoardFrom(revision, 2.2))
        swprintf(out, capacity, u"%d / %d [%s]", value, limit, flag ? u"Act" : u"Nor");
    else
        swprintf(out, capacity, u"%d", value);
}

void FormatHeatsink(int value, int limit, int flag, double revision, WCHAR* out, size_t capacity) {
    if (!BoardFrom(revision, 2.2)) {
        swprintf(out, capacity, u"%d", value);
        return;
    }
    const WCHAR* state = value == kSensorStopped ? u"Stop" : flag ? u"Act" : u"Nor";
    swprintf(out, capacity, u"%d / %d [%s]", value, limit, state);
}

WORD NextFrequency(WORD frequency) { return frequency == 60 ? 50 : 60; }

CAdminWnd::CAdminWnd(HWND hWnd, SettingsRecord* settings, OpModeRecord* opMode, const BYTE* mcuVersion)
    : m_hWnd(hWnd), m_pSettings(settings), m_pOpMode(opMode), m_pMcuVersion(mcuVersion), m_pMicomPort(nullptr),
      m_nShow(-1), m_nLastFrequency(0), m_pPanel(nullptr), m_pCtrls{} {
    m_pPanel = CShellManager::Instance().OpenShell(hWnd, SHELL_ADMIN, nullptr, FALSE);
    // Kept here: the operation thread sets the labels and must not walk the page stack meanwhile.
    if (m_pPanel)
        for (int i = 0; i < ADMIN_CONTROLS; ++i) m_pCtrls[i] = m_pPanel->GetCtrl(i);
    UpdateTexts();
}

CAdminWnd::~CAdminWnd() {
    if (m_pPanel && CShellManager::Instance().FindShell(SHELL_ADMIN) == m_pPanel)
        CShellManager::Instance().CloseShell(SHELL_ADMIN);
}

BOOL CAdminWnd::IsCreated() const { return m_pPanel != nullptr; }

CUiCtrl* CAdminWnd::Ctrl(int control) const {
    return control >= 0 && control < ADMIN_CONTROLS ? m_pCtrls[control] : nullptr;
}

void CAdminWnd::SetCtrlText(int control, const WCHAR* text) {
    if (CUiCtrl* ctrl = Ctrl(control)) ctrl->SetText(text, TRUE);
}

void CAdminWnd::UpdateTexts() {
    const BOOL from22 = BoardFrom(g_dHardwareVersion, 2.2);
    const struct {
        int control;
        const WCHAR* text;
    } captions[] = {{0, u"Del Logfiles"},
                    {1, u"Clr Settings"},
                    {2, u"Run Trimset"},
                    {3, u"Run Pairpad"},
                    {4, u"Frequency"},
                    {12, u"Model"},
                    {13, u"Min/Max/Cut Volt"},
                    {14, u"Min/Max/Cut Amp"},
                    {15, u"Bat temp."},
                    {16, from22 ? u"PCB temp." : u"Trans Temp."},
                    {17, from22 ? u"FAN Status" : u"HeatSink"},
                    {18, u"Get setting"}};
    for (const auto& caption : captions) SetCtrlText(caption.control, caption.text);
    SetModelText();
    SetVoltLimitText();
    SetAmpLimitText();
    RefreshFrequencyText();
}

void CAdminWnd::Show(int state) {
    if (state == m_nShow) return;
    if (state == 5) {
        SetModelText();
        SetVoltLimitText();
        SetAmpLimitText();
        RefreshFrequencyText();
    }
    if (m_pPanel) m_pPanel->Show(state == 5);
    m_nShow = state;
}

void CAdminWnd::SetModelText() {
    if (!m_pSettings) return;
    // The stored name may fill its field without a terminator.
    WCHAR name[64];
    QrxStrCopy(name, 64, m_pSettings->szModelName);
    SetCtrlText(ADMIN_MODEL, name);
}

void CAdminWnd::SetVoltLimitText() {
    if (!m_pSettings) return;
    WCHAR text[64];
    FormatAdminLimits(m_pSettings->dMinVoltage, m_pSettings->dMaxVoltage, m_pSettings->dCutVoltage, TRUE, text, 64);
    SetCtrlText(ADMIN_VOLT_LIMITS, text);
}

void CAdminWnd::SetAmpLimitText() {
    if (!m_pSettings) return;
    WCHAR text[64];
    FormatAdminLimits(m_pSettings->dMinCurrent, m_pSettings->dMaxCurrent, m_pSettings->dCutCurrent, FALSE, text, 64);
    SetCtrlText(ADMIN_AMP_LIMITS, text);
}

void CAdminWnd::SetFrequencyText(int hz) {
    if (hz != 0) m_nLastFrequency = hz;
    RefreshFrequencyText();
}

void CAdminWnd::RefreshFrequencyText() {
    if (!m_pSettings) return;
    WCHAR text[32];
    swprintf(text, 32, u"%d : %d Hz", static_cast<int>(m_pSettings->wFrequency), m_nLastFrequency.load());
    SetCtrlText(ADMIN_FREQ_TEXT, text);
}

void CAdminWnd::SetTempText(int value) {
    if (!m_pSettings) return;
    WCHAR text[32];
    swprintf(text, 32, u"%d / %d", value, static_cast<int>(m_pSettings->nBatTempLimit));
    SetCtrlText(ADMIN_BAT_TEMP, text);
}

void CAdminWnd::SetTransTempText(int value, int flag) {
    if (!m_pSettings) return;
    WCHAR text[48];
    FormatTransTemp(value, m_pSettings->wTransTempLimit, flag, g_dHardwareVersion, IsZ330(m_pSettings), text, 48);
    SetCtrlText(ADMIN_TRANS_TEMP, text);
}

void CAdminWnd::SetHeatsinkText(int value, int flag) {
    if (!m_pSettings) return;
    WCHAR text[48];
    FormatHeatsink(value, m_pSettings->nHeatsinkLimit, flag, g_dHardwareVersion, text, 48);
    SetCtrlText(ADMIN_HEATSINK, text);
}

void CAdminWnd::DeleteLogs(HWND hWnd) {
    // The running run keeps its log, its resume record and its path.
    WCHAR active[MAX_PATH] = {};
    OperationLogPath(g_MainFrame, active, MAX_PATH);
    const BOOL deleted = GetFileList(g_szStorageRoot[0] ? g_szStorageRoot : u"\\SD Card", active);
    // The stored pattern went with the logs: the lock cannot stay on without it.
    g_MainFrame.LockEnabled();
    ShowMessageBox(hWnd, POPUP_TITLE_NOTICE, deleted ? 56 : 57, POPUP_ONE_BUTTON, TRUE);
}

void CAdminWnd::ClearSettings(HWND hWnd) {
    // The run works from the records about to be cleared.
    if (OperationIsRunning(g_MainFrame)) OperationStopRun(g_MainFrame, 0);
    const BOOL cleared = ::ClearSettings(m_pSettings, m_pOpMode);
    SendMessageW(hWnd, WM_SHELL_COMMAND, SHELL_PROGRAM, 1000);
    // The controller's copies of the cleared options follow the record.
    g_MainFrame.LockEnabled();
    PostMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
    SendMessageW(hWnd, WM_SHELL_COMMAND, SHELL_TOPBAR, TOPBAR_CMD_CLOCK);
    if (m_pSettings) BtChangeMode(m_pSettings->wBtMode);
    ShowResult(hWnd, cleared);
}

void CAdminWnd::ImportSettings(HWND hWnd) {
    if (GetFileAttributesW(kImportSource) == INVALID_FILE_ATTRIBUTES) return;
    if (OperationIsRunning(g_MainFrame)) OperationStopRun(g_MainFrame, 0);
    const BOOL imported = ImportSettingFile(kImportSource);
    if (imported) {
        SendMessageW(hWnd, WM_SHELL_COMMAND, SHELL_ADMIN, ADMIN_RELOAD);
        // The reload keeps the old model index otherwise; a new MCU port number waits for the next start.
        DetectModel();
        UpdateModelLabel();
        UpdateTexts();
    }
    ShowResult(hWnd, imported);
}

void CAdminWnd::StartTrimset() {
    if (!BoardFrom(g_dHardwareVersion, 2.0) && !IsZ330(m_pSettings)) return;
    // Trimset takes the MCU port: a run must not go on without it.
    if (OperationIsRunning(g_MainFrame)) OperationStopRun(g_MainFrame, 0);
    if (!g_MainFrame.StartMcuTool(u"\\Windows\\Trimset.exe", nullptr, u""))
        OutputDebugStringW(u"[ADMIN]Trimset not started\r\n");
}

void CAdminWnd::StartPairpad() {
    if (!BoardFrom(g_dDisplayBoardRev, 1.2)) return;
    WCHAR args[1] = {0};
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(u"\\Windows\\Pairpad.exe", args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) {
        OutputDebugStringW(u"[ADMIN]Pairpad not started\r\n");
        return;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

LRESULT CAdminWnd::OnCommand(HWND hWnd, int shell, LPARAM lParam) {
    if (shell != SHELL_ADMIN || !m_pSettings) return 0;
    switch (LOWORD(lParam)) {
    case ADMIN_DEL_LOGS: DeleteLogs(hWnd); break;
    case ADMIN_CLEAR: ClearSettings(hWnd); break;
    case ADMIN_TRIMSET: StartTrimset(); break;
    case ADMIN_PAIRPAD: StartPairpad(); break;
    case ADMIN_FREQUENCY:
        m_pSettings->wFrequency = NextFrequency(m_pSettings->wFrequency);
        RefreshFrequencyText();
        break;
    case ADMIN_FREQ_LABEL:
        if (BoardFrom(g_dHardwareVersion, 2.2)) m_pSettings->wFreqShowsTrans = m_pSettings->wFreqShowsTrans ? 0 : 1;
        break;
    case ADMIN_GET_SETTING: ImportSettings(hWnd); break;
    default: break;
    }
    return 0;
}
