// The operation page: construction, showing, command routing, labels, the value/graph views and the
// channel filter popup.
#include "app/OperationWnd.h"

#include <cmath>
#include <cstring>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/AutoWnd.h"
#include "app/ManualWnd.h"
#include "app/PgmWnd.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Button.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ScrollBar.h"

#include "OperationInternal.h"

namespace {

const WCHAR kMsgClass[] = u"QRX_OPERATION_MSG";
// The page whose window the panel procedure stands in front of; the program has one.
COperationWnd* s_pPanelPage = nullptr;
const DWORD kJoinMs = 10000;

// Captions, buttons and bars whose text comes from the language file.
const int kTextControls[] = {OPW_PAUSE, OPW_STOP, OPW_ZOOM, 13, 14, 15, 16, 17, 18, OPW_FAHRENHEIT, 20, 21,
                             30, 33, 34, 35, 36, 37, 38, OPW_VIEW};
// The value labels and the labels the page writes.
const int kValueControls[] = {0, 1, 2, 3, 4, 5, 6, 7, 22, 23, 24, 25, 26, 27, 31, 32, 39};
// Shown with the graph only: the graph, its scroll bar, and the labels that stand where the value
// view shows its set values, amp-hours and total time.
const int kGraphViewControls[] = {OPW_GRAPH, OPW_SCROLL, OPW_G_SET_VOLTAGE, OPW_G_SET_CURRENT, OPW_G_AMPHOURS,
                                  OPW_G_TOTAL_TIME, 21};
const int kValueViewFirst = 22;
const int kValueViewLast = 38;

const COLORREF kGraphColours[OPW_GRAPH_CHANNELS + 1] = {0x74DCFF, 0xBD719D, 0x00FF00, 0x0000FF, 0xFF0000, 0xFF00FF};
const DWORD kDefaultChannels[OPW_GRAPH_CHANNELS] = {0, 0, 1, 1, 1};

ATOM RegisterMsgClass(WNDPROC proc) {
    static const ATOM atom = [proc] {
        WNDCLASSW wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = proc;
        wc.lpszClassName = kMsgClass;
        return RegisterClassW(&wc);
    }();
    return atom;
}

void JoinThread(HANDLE& thread, const WCHAR* name) {
    if (!thread) return;
    // Every wait of the threads is bounded or woken by the destructor: this never runs out in practice.
    if (WaitForSingleObject(thread, kJoinMs) != WAIT_OBJECT_0) {
        WCHAR line[96];
        swprintf(line, 96, u"[OPWND]%s thread still running\r\n", name);
        OutputDebugStringW(line);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    thread = nullptr;
}

}  // namespace

CRITICAL_SECTION& OperationSection() {
    static CRITICAL_SECTION section = [] {
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        return cs;
    }();
    return section;
}

int CeilDiv(double value, int divisions) {
    if (divisions <= 0) return 1;
    const double whole = std::trunc(value);
    if (whole <= divisions) return 1;
    return static_cast<int>(std::ceil(value / divisions));
}

COperationWnd::COperationWnd(HWND owner, SettingsRecord* settings, OpModeRecord* opMode, const BYTE* firmware)
    : m_hOwner(owner), m_pSettings(settings), m_pOpMode(opMode), m_pFirmware(firmware), m_pMicomPort(nullptr),
      m_pLinkPort(nullptr), m_pRemoteControl(nullptr), m_bHardwareBlock(0), m_pTopBar(nullptr),
      m_pfnReportError(nullptr), m_nView(0), m_nShow(0), m_nZoom(GRAPH_ZOOM_PAGE), m_nGraphRequest(0),
      m_bGraphBusy(0), m_nScrollPage(0), m_dwProgramTime(0), m_stStart{}, m_bEditing(0), m_timer(FALSE),
      m_llTickRef(0), m_dwTickSeconds(0), m_nRunFlag(RUN_IDLE), m_nRunState(0), m_dwTotalSeconds(0),
      m_dwStepSeconds(0), m_dVoltage(0), m_dCurrent(0), m_nBatteryTemp(0), m_wFrequency(0), m_dAmpHours(0),
      m_dStepHigh(0), m_dStepLow(0), m_dCurrentMax(0), m_dVoltageMax(0), m_dVoltageMin(0), m_bBatCon0(1),
      m_bBatCon1(1), m_bTransOverheat(0), m_bHeatsink(0), m_bTempPaused(0), m_nPauseCount(0), m_nPulsePhase(0),
      m_bDischarge(0), m_bUnitOutput(0), m_bHeldResume(0), m_bStartRefused(0), m_pUnit(nullptr),
      m_nPhaseTicks(0), m_bDvArmed(0), m_dPeakVolts(0), m_nLowTicks(0), m_nStage(0), m_dwStageMark(0), m_dAhLimit(0),
      m_dEndCurrent(0), m_dStepStartVolts(0), m_bUnitStarting(0), m_bUnitPaused(0), m_byUnitMode(0),
      m_wUnitValue1(0), m_wUnitValue2(0), m_dwUnitTime(0), m_bResendOnResume(0), m_bLoop(1), m_bAlive(0), m_bGraphAlive(0),
      m_nPollFailures(0), m_nTransTicks(0), m_nSinkTicks(0), m_bNoticeShown(0), m_bOutagePosted(0), m_bBlinkOn(0),
      m_nLastTransTemp(0), m_pPanel(nullptr), m_pCtrl{}, m_pGraph(nullptr), m_pScroll(nullptr), m_hOpEvent(nullptr),
      m_hStopEvent(nullptr), m_hGraphEvent(nullptr), m_hOpThread(nullptr), m_hGraphThread(nullptr), m_hMsgWnd(nullptr),
      m_hPanelWnd(nullptr), m_pfnPanelProc(nullptr), m_dwUiThread(GetCurrentThreadId()) {
    OperationSection();
    m_pfnSendRecord = nullptr;
    m_dStartVoltage = 0;
    m_szLogViewPath[0] = 0;
    m_nParkRequests = 0;
    m_hReaderThread = nullptr;
    InitializeCriticalSection(&m_csRound);
    m_pPanel = CShellManager::Instance().OpenShell(owner, SHELL_OPERATION, nullptr, FALSE);
    if (!m_pPanel) {
        OutputDebugStringW(u"[OPWND]shell 3 not opened\r\n");
        return;
    }
    if (RegisterMsgClass(MsgWndProc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        m_hMsgWnd = CreateWindowExW(0, kMsgClass, u"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        if (m_hMsgWnd) SetWindowLongPtrW(m_hMsgWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }

    // The main window takes its owned pages down before itself: the threads must end before the
    // page's controls go with its window.
    m_hPanelWnd = m_pPanel->GetOwnWnd();
    if (m_hPanelWnd) {
        s_pPanelPage = this;
        m_pfnPanelProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(m_hPanelWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PanelProc)));
    }

    m_hOpEvent = CreateEventW(nullptr, TRUE, FALSE, u"OPERATION_THREAD");
    m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hGraphEvent = CreateEventW(nullptr, FALSE, FALSE, u"GRAPTH_THREAD");
    m_pManual = new CManualWnd(owner, settings, opMode);
    const auto unitConnected = [](void* page) { return static_cast<COperationWnd*>(page)->IsUnitConnected(); };
    m_pManual->SetUnitConnected(unitConnected, this);
    m_pAuto = new CAutoWnd(owner, opMode);
    m_pAuto->SetUnitConnected(unitConnected, this);
    m_pPgm = new CPgmWnd(owner, settings, opMode);
    if (CPgmSetWnd* editor = m_pPgm->Editor()) editor->SetUnitConnected(unitConnected, this);

    CacheControls();
    InitGraph();
    if (g_nModelIndex == MODEL_Z330) {
        if (CUiCtrl* c = Ctrl(OPW_TEMPERATURE)) c->Enable(FALSE);
        if (CUiCtrl* c = Ctrl(OPW_FREQUENCY)) c->Enable(FALSE);
    }
    SetTexts();
    ShowIdleLabels();

    m_hOpThread = CreateThread(nullptr, 0, OperationThread, this, 0, nullptr);
    m_hGraphThread = CreateThread(nullptr, 0, GraphThread, this, 0, nullptr);
    m_csvLog.Start();
}

COperationWnd::~COperationWnd() {
    Shutdown();
    if (m_hOpEvent) CloseHandle(m_hOpEvent);
    if (m_hStopEvent) CloseHandle(m_hStopEvent);
    if (m_hGraphEvent) CloseHandle(m_hGraphEvent);
    if (m_hMsgWnd) DestroyWindow(m_hMsgWnd);
    if (s_pPanelPage == this) s_pPanelPage = nullptr;
    if (m_hPanelWnd && IsWindow(m_hPanelWnd) && m_pfnPanelProc)
        SetWindowLongPtrW(m_hPanelWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnPanelProc));
    CloseShellIfOpen(SHELL_FILTER);
    CloseShellIfOpen(SHELL_FILES);
    delete m_pManual;
    m_pManual = nullptr;
    delete m_pPgm;
    m_pPgm = nullptr;
    delete m_pAuto;
    m_pAuto = nullptr;
    if (m_pPanel && CShellManager::Instance().FindShell(SHELL_OPERATION) == m_pPanel)
        CShellManager::Instance().CloseShell(SHELL_OPERATION);
    DeleteCriticalSection(&m_csRound);
}

void COperationWnd::Shutdown() {
    m_bLoop = 0;
    // A reader sees the loop flag and ends before it touches the graph again.
    JoinReader(TRUE);
    m_csvLog.Stop();
    if (m_hStopEvent) SetEvent(m_hStopEvent);
    if (m_hOpEvent) SetEvent(m_hOpEvent);
    JoinThread(m_hOpThread, u"operation");
    m_nGraphRequest = GRAPH_REQ_REAPPLY;
    if (m_hGraphEvent) SetEvent(m_hGraphEvent);
    JoinThread(m_hGraphThread, u"graph");
    for (CUiCtrl*& c : m_pCtrl) c = nullptr;
    m_pGraph = nullptr;
    m_pScroll = nullptr;
}

LRESULT CALLBACK COperationWnd::PanelProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    COperationWnd* page = s_pPanelPage;
    if (!page || page->m_hPanelWnd != hWnd) return DefWindowProcW(hWnd, msg, wParam, lParam);
    const WNDPROC original = page->m_pfnPanelProc;
    if (msg == WM_DESTROY) {
        page->Shutdown();
        page->m_pPanel = nullptr;
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        page->m_hPanelWnd = nullptr;
    }
    return CallWindowProcW(original, hWnd, msg, wParam, lParam);
}

void COperationWnd::CacheControls() {
    for (int i = 0; i < OPW_CONTROLS; ++i) m_pCtrl[i] = m_pPanel->GetCtrl(i);
    m_pGraph = dynamic_cast<CGraphCtrl*>(m_pCtrl[OPW_GRAPH]);
    m_pScroll = dynamic_cast<CScrollBarCtrl*>(m_pCtrl[OPW_SCROLL]);
}

void COperationWnd::InitGraph() {
    if (!m_pGraph) return;
    m_pGraph->SetChannels(OPW_GRAPH_CHANNELS, OPW_GRAPH_LENGTH, kGraphColours);
    SetGraphChannels();
    SetTemperatureAxis();
    const double maxCurrent = m_pSettings ? m_pSettings->dMaxCurrent : 0.0;
    const double maxVoltage = m_pSettings ? m_pSettings->dMaxVoltage : 0.0;
    m_pGraph->SetAxis1(0, CeilDiv(maxCurrent + 10, GRAPH_DIVISIONS), u"A", 0x0000FF, FALSE);
    m_pGraph->SetAxis2(0, CeilDiv(maxVoltage + 10, GRAPH_DIVISIONS), u"V", 0x00FF00, FALSE);
    m_pGraph->ComputeScales();
    SetGraphScale(FALSE, TRUE);
}

void COperationWnd::SetTemperatureAxis() {
    if (!m_pGraph) return;
    const BOOL fahrenheit = m_pSettings && m_pSettings->wFahrenheit;
    m_pGraph->SetAxis3(0, 10, fahrenheit ? u"\u2109" : u"\u2103", 0xFF0000);
}

void COperationWnd::SetTexts() {
    const WCHAR* face = GetLangFontFace();
    for (int control : kTextControls) {
        CUiCtrl* c = Ctrl(control);
        if (!c) continue;
        c->SetFontFace(face);
        c->SetText(GetLangText(SHELL_OPERATION, control, FALSE), TRUE);
    }
    for (int control : kValueControls)
        if (CUiCtrl* c = Ctrl(control)) c->SetFontFace(face);
    SetPauseButtonText(m_nRunFlag.load() == RUN_PAUSED ? 40 : OPW_PAUSE);
}

void COperationWnd::SetPauseButtonText(int key) {
    auto* pause = dynamic_cast<CButtonCtrl*>(Ctrl(OPW_PAUSE));
    if (!pause) return;
    pause->SetUncheckImages(u"operation_btn_none_nor.png", u"operation_btn_none_pre.png", nullptr,
                            u"operation_btn_none_un.png");
    pause->SetText(GetLangText(SHELL_OPERATION, key, FALSE), FALSE);
    pause->Invalidate(nullptr, FALSE);
}

BOOL COperationWnd::OnUiThread() const { return GetCurrentThreadId() == m_dwUiThread; }

void COperationWnd::Post(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (m_hMsgWnd) PostMessageW(m_hMsgWnd, msg, wParam, lParam);
}

LRESULT CALLBACK COperationWnd::MsgWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* page = reinterpret_cast<COperationWnd*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (!page) return DefWindowProcW(hWnd, msg, wParam, lParam);
    switch (msg) {
        case WM_OPWND_SCALE:
            page->SetGraphScale(static_cast<BOOL>(wParam), static_cast<BOOL>(lParam));
            return 0;
        case WM_OPWND_IDLE:
            page->ShowIdleButtons();
            return 0;
        case WM_OPWND_MASK:
            page->SetButtonMask(static_cast<DWORD>(wParam));
            return 0;
        case WM_OPWND_NOTICE:
            page->CloseOverVoltageNotice();
            return 0;
        case WM_OPWND_HELD:
            page->ShowHeldButtons(static_cast<DWORD>(wParam));
            return 0;
        default:
            return DefWindowProcW(hWnd, msg, wParam, lParam);
    }
}

void COperationWnd::SetPorts(CMicomPort* mcu, CLinkPort* link) {
    m_pMicomPort = mcu;
    m_pLinkPort = link;
    if (m_hOpEvent) SetEvent(m_hOpEvent);
}

void COperationWnd::ReportError(int code) {
    if (m_pfnReportError) m_pfnReportError(code);
}

// Labels

void COperationWnd::SetLabel(int control, const WCHAR* text) {
    if (CUiCtrl* c = Ctrl(control)) c->SetText(text, !m_bEditing);
}

void COperationWnd::SetNumberLabel(int control, const WCHAR* format, double value) {
    WCHAR text[32];
    swprintf(text, 32, format, value);
    SetLabel(control, text);
}

void COperationWnd::SetTimeLabel(int control, DWORD seconds) {
    WCHAR text[32];
    swprintf(text, 32, u"%02d:%02d:%02d", static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
             static_cast<int>(seconds % 60));
    SetLabel(control, text);
}

void COperationWnd::SetSetTimeLabel(DWORD seconds) {
    WCHAR text[32];
    swprintf(text, 32, u"%02d:%02d:00", static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60));
    SetLabel(OPW_SET_TIME, text);
}

void COperationWnd::SetProgress(int control, int pos) {
    if (auto* bar = dynamic_cast<CProgressBar*>(Ctrl(control))) bar->SetPos(SCROLL_BAR_HORZ, pos, !m_bEditing);
}

void COperationWnd::ShowIdleLabels() {
    const double volts = m_pOpMode ? m_pOpMode->dVoltage : 0.0;
    const double amps = m_pOpMode ? m_pOpMode->dCurrent : 0.0;
    SetNumberLabel(OPW_SET_VOLTAGE, u"%.01f", volts);
    SetNumberLabel(OPW_G_SET_VOLTAGE, u"%.01f", volts);
    SetNumberLabel(OPW_SET_CURRENT, u"%.01f", amps);
    SetNumberLabel(OPW_G_SET_CURRENT, u"%.01f", amps);
    SetSetTimeLabel(m_pOpMode ? m_pOpMode->dwTime : 0);
    SetLabel(OPW_START_TIME, u"00:00:00");
    SetLabel(OPW_END_TIME, u"");
    SetTimeLabel(OPW_TOTAL_TIME, 0);
    SetTimeLabel(OPW_G_TOTAL_TIME, 0);
    SetLabel(OPW_STEP_VOLTAGES, u"0.0/0.0");
    SetNumberLabel(OPW_AMPHOURS, u"%.3f", 0.0);
    SetNumberLabel(OPW_G_AMPHOURS, u"%.3f", 0.0);
    SetLabel(OPW_MODE_TITLE, u"");
    SetProgress(OPW_PROGRAM_BAR, 0);
    SetProgress(OPW_STEP_BAR, 0);
}

// Showing and views

void COperationWnd::Show(int show) {
    if (!m_pPanel) return;
    if (show == 5) {
        if (m_nShow == 5) return;
        m_nShow = 5;
        m_nView = 0;
        if (TestAndClearPageFlag(SHELL_OPERATION)) SetTexts();
        m_pPanel->Show(TRUE);
        // A run keeps its display and buttons when the user comes back to it.
        if (m_nRunFlag.load() == RUN_IDLE) {
            ShowIdleLabels();
            SetButtonMask(OPW_MASK_IDLE);
            SetGraphScale(TRUE, FALSE);
            SetGraphChannels();
            SetGraphAxes(TRUE, 0, 0, 0);
        }
        if (m_pTopBar) m_pTopBar->SetPage(SHELL_OPERATION, 5, 1);
        ApplyView();
        m_pPanel->Invalidate(nullptr, TRUE);
        return;
    }
    CloseShellIfOpen(SHELL_FILES);
    CloseShellIfOpen(SHELL_FILTER);
    HideSubPages();
    m_nShow = 0;
    m_pPanel->Show(FALSE);
}

void COperationWnd::Back() {
    if (m_nShow != 5) {
        Show(5);
        return;
    }
    HideSubPages();
    CloseShellIfOpen(SHELL_FILTER);
    m_nView = 0;
    ApplyView();
}

void COperationWnd::ApplyView() {
    const BOOL graph = m_nView == 1;
    for (int i = kValueViewFirst; i <= kValueViewLast; ++i)
        if (CUiCtrl* c = Ctrl(i)) c->Show(!graph);
    for (int control : kGraphViewControls)
        if (CUiCtrl* c = Ctrl(control)) c->Show(graph);
    // Nothing to page through in the fit-all view, or before a second page exists.
    if (graph && m_pScroll && m_pScroll->GetTotal(SCROLL_BAR_HORZ) <= 1) m_pScroll->Show(FALSE);
    if (m_pPanel) m_pPanel->Invalidate(nullptr, TRUE);
}

void COperationWnd::ToggleView() {
    m_nView = m_nView ? 0 : 1;
    ApplyView();
    if (m_nView == 1) RequestGraph(GRAPH_REQ_REAPPLY);
}

void COperationWnd::SetButtonMask(DWORD mask) {
    if (!OnUiThread()) {
        Post(WM_OPWND_MASK, mask, 0);
        return;
    }
    if (m_pTopBar) m_pTopBar->SetIconMask(mask);
    if (CUiCtrl* c = Ctrl(OPW_PAUSE)) c->Enable((mask & 0x200) != 0);
    if (CUiCtrl* c = Ctrl(OPW_STOP)) c->Enable((mask & 0x400) != 0);
    if (CUiCtrl* c = Ctrl(OPW_ZOOM)) c->Enable((mask & 0x800) != 0);
}

void COperationWnd::CloseShellIfOpen(int shell) {
    CShellManager& shells = CShellManager::Instance();
    if (shells.FindShell(shell)) shells.CloseShell(shell);
}

// Filter popup

void COperationWnd::SetGraphChannels() {
    if (!m_pGraph) return;
    DWORD words[OPW_GRAPH_CHANNELS];
    for (int i = 0; i < OPW_GRAPH_CHANNELS; ++i)
        words[i] = m_pSettings ? m_pSettings->dwGraphChannel[i] : kDefaultChannels[i];
    m_pGraph->SetChannelFlags(words);
}

void COperationWnd::ToggleFilterPopup() {
    CShellManager& shells = CShellManager::Instance();
    if (shells.FindShell(SHELL_FILTER)) {
        shells.CloseShell(SHELL_FILTER);
        return;
    }
    CloseShellIfOpen(SHELL_FILES);
    CShellPanel* popup = shells.OpenShell(m_hOwner, SHELL_FILTER, nullptr, FALSE);
    if (!popup) return;
    const WCHAR* face = GetLangFontFace();
    for (int i = 0; i < popup->GetCtrlCount(); ++i) {
        CUiCtrl* c = popup->GetCtrl(i);
        c->SetFontFace(face);
        c->SetText(GetLangText(SHELL_FILTER, i, FALSE), FALSE);
        if (i < FILTER_SWITCHES) {
            if (auto* sw = dynamic_cast<CButtonCtrl*>(c))
                sw->SetCheck(m_pSettings && m_pSettings->dwGraphChannel[i] ? 1 : 0, FALSE);
        }
    }
    popup->Show(TRUE);
    popup->Invalidate(nullptr, TRUE);
}

void COperationWnd::ApplyFilter() {
    CShellPanel* popup = CShellManager::Instance().FindShell(SHELL_FILTER);
    if (!popup) return;
    for (int i = 0; i < FILTER_SWITCHES && m_pSettings; ++i) {
        auto* sw = dynamic_cast<CButtonCtrl*>(popup->GetCtrl(i));
        if (sw) m_pSettings->dwGraphChannel[i] = sw->GetCheck() ? 1 : 0;
    }
    CloseShellIfOpen(SHELL_FILTER);
    SetGraphChannels();
    // A new set of channels needs the page drawn again even when it stays the same page.
    RequestGraph(GRAPH_REQ_REDRAW);
}

// Commands

void COperationWnd::OnManualStart(int control) {
    const int flag = m_nRunFlag.load();
    if (flag == RUN_RUNNING) {
        ApplyManualEdit(FALSE);
        return;
    }
    if (flag == RUN_PAUSED) SetPauseButtonText(OPW_PAUSE);
    const int refused = control == OPW_MANUAL_RESTORATION ? StartRestoration(FALSE) : StartDischarge(FALSE);
    if (refused && flag == RUN_PAUSED) SetPauseButtonText(40);
    // The new run must not stay held by the pause of the run it replaced.
    if (!refused && flag == RUN_PAUSED) CmdSet16(m_pMicomPort, 1);
}

void COperationWnd::OnProgramApply() {
    const int flag = m_nRunFlag.load();
    if (flag != RUN_IDLE && m_nRunState >= RUN_STATE_STEP1 && m_nRunState <= RUN_STATE_STEP6) ApplyProgramEdit(FALSE);
    else if (flag == RUN_IDLE) StartProgram(FALSE);
}

LRESULT COperationWnd::OnCommand(HWND hWnd, int shell, LPARAM lParam) {
    const int control = LOWORD(lParam);
    const int event = HIWORD(lParam);
    if (shell == SHELL_FILES) {
        if (control == FILES_OPEN) OpenLogView();
        else if (control == FILES_CLOSE) CloseShellIfOpen(SHELL_FILES);
        return 0;
    }
    if (shell == SHELL_FILTER) {
        if (control == FILTER_APPLY) ApplyFilter();
        else if (control == FILTER_CLOSE) CloseShellIfOpen(SHELL_FILTER);
        return 0;
    }
    if (shell == SHELL_MANUAL) {
        OnManualCommand(control, event);
        return 0;
    }
    if (shell == SHELL_PROGRAM || shell == SHELL_PROGRAM_SET || shell == SHELL_AUTO) {
        OnProgramCommand(shell, control, event);
        return 0;
    }
    if (shell != SHELL_OPERATION) return 0;
    switch (control) {
        case OPW_PAUSE:
            PauseResume();
            break;
        case OPW_STOP:
            StopRun(0);
            break;
        case OPW_ZOOM:
            if (m_nView == 1) RequestGraph(GRAPH_REQ_ZOOM);
            break;
        case OPW_GRAPH:
        case OPW_VIEW:
            ToggleView();
            break;
        case OPW_SCROLL:
            if (event != SCROLL_EVENT_THUMB_DRAG && m_pScroll) {
                m_nScrollPage = m_pScroll->GetPos(SCROLL_BAR_HORZ);
                RequestGraph(GRAPH_REQ_SCROLL);
            }
            break;
        case OPW_TEMPERATURE:
        case OPW_FAHRENHEIT:
            if (m_nRunFlag.load() == RUN_IDLE && m_pSettings) {
                m_pSettings->wFahrenheit = m_pSettings->wFahrenheit ? 0 : 1;
                SetTemperatureAxis();
                SetTemperatureLabel(m_nLastTransTemp);
            }
            break;
        case OPW_CMD_HOME:
            // The top bar's buttons speak to the page in front only.
            if (m_nShow != 5) break;
            Show(0);
            if (m_pTopBar) m_pTopBar->SetPage(SHELL_MAIN, 0, 1);
            break;
        case OPW_CMD_FILTER:
            if (m_nShow == 5) ToggleFilterPopup();
            break;
        case OPW_CMD_MANUAL:
            if (m_nShow == 5) OpenManual();
            break;
        case OPW_CMD_FILES:
            if (m_nShow == 5) GetLogFiles();
            break;
        case OPW_CMD_PROGRAM:
            if (m_nShow == 5) OpenProgram();
            break;
        case OPW_CMD_AUTO:
            if (m_nShow == 5) OpenAuto();
            break;
        default:
            break;
    }
    return 0;
}
