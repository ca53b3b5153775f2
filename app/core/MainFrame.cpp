// The main program's entry, its window and the start-up sequence.
#include "app/MainFrame.h"

#include <cmath>
#include <cstring>

#include "app/Language.h"
#include "app/MicomPort.h"
#include "app/Pages.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "ui/BoardIo.h"
#include "ui/FileUtil.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/ZipArchive.h"

CMainFrame g_MainFrame;
HWND g_hMainWnd = nullptr;
HINSTANCE g_hInst = nullptr;
double g_dHardwareVersion = 0.0;
double g_dDisplayBoardRev = 0.0;

namespace {

const WCHAR kArchivePath[] = u"\\Windows\\QRX.zip";
const int kLayoutResource = 102;
const UINT kTitleString = 1;
const int kMainModelLabel = 2;
const int kMainLogo = 3;
BOOL g_bTaskBarHidden = FALSE;

// The language's face in the size and weight the layout gave the control.
void SetLangFace(CUiCtrl* ctrl) {
    LOGFONTW lf{};
    if (ctrl->GetFont() && GetObjectW(ctrl->GetFont(), sizeof lf, &lf) > 0)
        ctrl->CreateFont(GetLangFontFace(), ctrl->GetFontHeight(), lf.lfWeight >= FW_BOLD ? 1 : 0, lf.lfItalic,
                         lf.lfUnderline);
    else
        ctrl->SetFontFace(GetLangFontFace());
}

void ShowModelLabel(const WCHAR* name) {
    CUiCtrl* label = CShellManager::Instance().GetShellCtrl(SHELL_MAIN, kMainModelLabel);
    if (!label) return;
    SetLangFace(label);
    label->SetText(name, FALSE);
    label->Invalidate(nullptr, TRUE);
}

void ShowCompanyLogo(DWORD index) {
    CUiCtrl* logo = CShellManager::Instance().GetShellCtrl(SHELL_MAIN, kMainLogo);
    if (!logo) return;
    WCHAR name[40];
    swprintf(name, 40, u"company_logo_%02d.png", static_cast<int>(index));
    logo->LoadImages(name, nullptr, nullptr, nullptr);
    logo->Invalidate(nullptr, TRUE);
}

void ShowMainTexts() {
    CShellManager& shells = CShellManager::Instance();
    for (int control = 0; control < 2; ++control) {
        CUiCtrl* button = shells.GetShellCtrl(SHELL_MAIN, control);
        if (!button) continue;
        SetLangFace(button);
        const WCHAR* text = GetLangText(SHELL_MAIN, control, FALSE);
        if (text[0]) button->SetText(text, FALSE);
        button->Invalidate(nullptr, TRUE);
    }
}

void RestoreTaskBar() {
    if (!g_bTaskBarHidden) return;
    ShowTaskBar(TRUE);
    g_bTaskBarHidden = FALSE;
}

LRESULT OnCreate(HWND hWnd) {
    if (!LoadArchiveFile(kArchivePath)) {
        OutputDebugStringW(u"[FRAME]QRX.zip not loaded\r\n");
        return -1;
    }
    ShowTaskBar(FALSE);
    g_bTaskBarHidden = TRUE;
    if (!LoadLayoutResource(g_hInst, kLayoutResource) || !CShellManager::Instance().OpenShell(hWnd, SHELL_MAIN, nullptr, TRUE)) {
        OutputDebugStringW(u"[FRAME]main page not opened\r\n");
        RestoreTaskBar();
        FreeArchiveFile();
        return -1;
    }
    SetModelLabelHandler(ShowModelLabel);
    SetCompanyLogoHandler(ShowCompanyLogo);
    SetTimer(hWnd, TIMER_STARTUP, 50, nullptr);
    return 0;
}

// Screen board revision 1.0 and older wants firmware 240, up to 2.2 241, 2.3 exactly 242.
int ExpectedFirmware(double revision) {
    if (revision <= 1.0 + 1e-6) return 240;
    if (revision <= 2.2 + 1e-6) return 241;
    if (std::fabs(revision - 2.3) < 1e-6) return 242;
    return -1;
}

}  // namespace

const int kHiddenSequence[6] = {4, 5, 4, 4, 5, 5};

CMainFrame::CMainFrame()
    : m_hWnd(nullptr), m_pOperationWnd(nullptr), m_pSettingWnd(nullptr), m_pAdminWnd(nullptr),
      m_pTopBarWnd(nullptr), m_nSpare(-1), m_pMicomPort(nullptr), m_pLinkPort(nullptr), m_McuVersion{0, 0, 0, 0},
      m_nBoardProbe(0), m_bHardwareMatches(0), m_bRemoteControl(0), m_bBuzzerStop(0), m_hBeepEvent(nullptr),
      m_bHiddenLock(1), m_nPressCount(0), m_nPressTimer(0), m_bScreenLockEnabled(0), m_nBackLightMode(0),
      m_bScreenLocked(0), m_bScreenOff(0), m_nBeepPattern(0), m_dwBeepWait(INFINITE), m_nMcuComNumber(2),
      m_TempCal{TEMP_CAL_DEFAULT_0, TEMP_CAL_DEFAULT_1}, m_nHiddenCount(0), m_nLogoCount(0), m_hBeepThread(nullptr),
      m_hSplashProcess(nullptr) {
    m_hBeepEvent = CreateEventW(nullptr, FALSE, FALSE, u"BEEP_THREAD");
}

CMainFrame::~CMainFrame() {
    delete m_pTopBarWnd;
    m_pTopBarWnd = nullptr;
    DeletePages(*this);
    delete m_pMicomPort;
    m_pMicomPort = nullptr;
    if (HANDLE process = m_hSplashProcess.exchange(nullptr)) CloseHandle(process);
    if (m_hBeepEvent) CloseHandle(m_hBeepEvent);
    m_hBeepEvent = nullptr;
}

void CMainFrame::OnDestroy(HWND) {
    StopBuzzer();
    StopLockWatch();
    // The pages go while the shell manager still holds their layout pages.
    delete m_pTopBarWnd;
    m_pTopBarWnd = nullptr;
    DeletePages(*this);
    KillTimer(m_hWnd, TIMER_SCREEN_LOCK);
    KillTimer(m_hWnd, TIMER_BACKLIGHT);
}

void CMainFrame::ShowLoading(BOOL on, int ms) {
    if (on) {
        WCHAR args[16];
        swprintf(args, 16, u"%d", ms);
        PROCESS_INFORMATION pi;
        HANDLE started = nullptr;
        if (CreateProcessW(u"\\Windows\\Splash.exe", args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) {
            CloseHandle(pi.hThread);
            started = pi.hProcess;
        }
        if (HANDLE old = m_hSplashProcess.exchange(started)) CloseHandle(old);
        return;
    }
    HANDLE process = m_hSplashProcess.exchange(nullptr);
    HWND splash = FindWindowW(u"SPLASH_APP", nullptr);
    // A loading screen started a moment ago may not have its window yet: without this it would stay
    // up until its own time-out.
    for (int waited = 0; !splash && process && waited < 3000; waited += 50) {
        if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) break;
        Sleep(50);
        splash = FindWindowW(u"SPLASH_APP", nullptr);
    }
    if (splash) SendMessageW(splash, WM_CLOSE, 0, 0);
    if (process) CloseHandle(process);
}

BOOL CMainFrame::StorageWritable() {
    WCHAR path[MAX_PATH];
    swprintf(path, MAX_PATH, u"%s\\chk.tmp", g_szStorageRoot);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(file);
    DeleteFileW(path);
    return TRUE;
}

const WCHAR* StorageProblemText() {
    return g_bModelZ330 ? u"There is a problem writing to the USB Disk.\r\nPlease check the USB Disk"
                        : u"There is a problem writing to the SD Card.\r\nPlease check the SD Card or Write Protect switch";
}

void CMainFrame::CheckStorage() {
    if (GetFileAttributesW(g_szStorageRoot) == INVALID_FILE_ATTRIBUTES) {
        ShowMessageBox(m_hWnd, POPUP_TITLE_ERROR, 50, POPUP_NO_BUTTON, TRUE);
        return;
    }
    if (!StorageWritable()) ShowMessageBoxText(m_hWnd, POPUP_TITLE_ERROR, StorageProblemText(), POPUP_NO_BUTTON);
}

void CMainFrame::CheckHardwareVersion() {
    m_bHardwareMatches = 1;
    // Version bytes of 0 mean the MCU never answered: a mismatch would blame the wrong thing.
    if (m_McuVersion[0] == 0 && m_McuVersion[1] == 0 && m_McuVersion[2] == 0 && m_McuVersion[3] == 0) {
        ShowMessageBox(m_hWnd, POPUP_TITLE_ERROR, 20, POPUP_ONE_BUTTON, TRUE);
        return;
    }
    if (IsModelZ330(g_Settings.szModelName)) return;
    double revision = 0.0;
    BYTE kind = 0;
    ReadScreenRevision(&revision, &kind);
    g_dHardwareVersion = revision;
    const int expected = ExpectedFirmware(revision);
    if (expected >= 0 && m_McuVersion[0] != expected) {
        m_bHardwareMatches = 0;
        ShowMessageBox(m_hWnd, POPUP_TITLE_ERROR, 23, POPUP_ONE_BUTTON, TRUE);
    }
}

void CMainFrame::ReloadSettings() {
    LoadSettingFiles(&m_nMcuComNumber);
    LoadTempCalFile(m_TempCal);
    LockEnabled();
    if (g_Settings.wBackLight > 2) g_Settings.wBackLight = 0;
    m_nBackLightMode = g_Settings.wBackLight;
    LoadLanguageSetting();
    g_Settings.wBtRemote = 0;
    g_Settings.wBtConnected = 0;
}

BOOL CMainFrame::InitFrame(HWND hWnd) {
    m_hWnd = hWnd;

    BYTE kind = 0;
    ReadScreenRevision(&g_dHardwareVersion, &kind);
    m_nBoardProbe = kind;

    WCHAR board[32];
    ReadDisplayBoardRevision(board, 32);
    if (board[0] == u'u') {
        g_dDisplayBoardRev = 0.0;
    } else {
        WCHAR head[4] = {board[0], board[0] ? board[1] : u'\0', board[0] && board[1] ? board[2] : u'\0', 0};
        g_dDisplayBoardRev = wcstod(head, nullptr);
    }

    LoadCompanyInfo();
    LoadSettingFiles(&m_nMcuComNumber);
    DetectModel();
    LoadAutoFile();
    LoadTempCalFile(m_TempCal);
    if (g_Settings.wLockEnable > 1) g_Settings.wLockEnable = 0;
    m_bScreenLockEnabled = g_Settings.wLockEnable;
    if (g_Settings.wBackLight > 2) g_Settings.wBackLight = 0;
    m_nBackLightMode = g_Settings.wBackLight;
    LoadLanguageSetting();
    ShowMainTexts();
    UpdateModelLabel();
    g_Settings.wBtRemote = 0;
    g_Settings.wBtConnected = 0;

    m_pTopBarWnd = new CTopBarWnd(hWnd, &g_Settings);
    if (!m_pTopBarWnd->IsCreated()) {
        OutputDebugStringW(u"[FRAME]top bar not created\r\n");
        return FALSE;
    }
    if (!CreatePages(*this)) return FALSE;
    LinkPages(*this);

    StartBuzzer();
    CheckStorage();

    const int open = InitMcu(hWnd, static_cast<int>(m_nMcuComNumber), &m_pMicomPort, m_McuVersion);
    CreateLinkPort(*this);
    if (open) OperationSetMcuPort(*this);
    CheckDisplayBoard(*this);
    AdminSetMcuPort(*this, m_pMicomPort);

    if (g_dDisplayBoardRev >= 1.2) {
        BtClose();
        BtOpen(*this);
    }
    ShowLoading(FALSE, -1);
    SetTimer(hWnd, TIMER_FACTORY_CHECK, 1000, nullptr);
    PostMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
    CheckHardwareVersion();
    return TRUE;
}

ATOM MyRegisterClass(HINSTANCE hInstance, LPCWSTR className) {
    WNDCLASSW wc;
    std::memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = className;
    return RegisterClassW(&wc);
}

BOOL InitInstance(HINSTANCE hInstance, int nCmdShow) {
    WCHAR title[MAX_PATH];
    title[0] = 0;
    LoadStringW(hInstance, kTitleString, title, MAX_PATH);

    if (RaiseRunningInstance(QRX_APP_NAME, nCmdShow)) return FALSE;

    CoInitializeEx(nullptr, 0);
    MyRegisterClass(hInstance, QRX_APP_NAME);
    HWND hWnd = CreateWindowExW(0, QRX_APP_NAME, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    if (!hWnd) {
        CoUninitialize();
        return FALSE;
    }
    g_hMainWnd = hWnd;
    SetForegroundWindow(hWnd);
    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);
    return TRUE;
}

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) g_MainFrame.OnDestroy(hWnd);

    BOOL handled = FALSE;
    LRESULT result = CShellManager::Instance().PreTranslate(hWnd, msg, wParam, lParam, handled);
    if (handled) return result;

    switch (msg) {
        case WM_CREATE:
            return OnCreate(hWnd);
        case WM_DESTROY:
            FreeArchiveFile();
            g_hMainWnd = nullptr;
            PostQuitMessage(0);
            return 0;
        case WM_SHELL_COMMAND:
            return g_MainFrame.OnShellCommand(hWnd, wParam, lParam);
        default:
            return g_MainFrame.OnMessage(hWnd, msg, wParam, lParam);
    }
}

int QrxWinMain(HINSTANCE hInstance, LPWSTR, int nCmdShow) {
    g_hInst = hInstance;
    AddAppFont();
    if (!InitInstance(hInstance, nCmdShow)) {
        RemoveAppFont();
        return 0;
    }
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    RemoveAppFont();
    CoUninitialize();
    return static_cast<int>(msg.wParam);
}
