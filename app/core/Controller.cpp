// The controller: routes the main window's messages to the pages, runs the timers, reacts to
// removable storage and hands the screen or the MCU port to the companion programs.
#include <cstring>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/MicomPort.h"
#include "app/Pages.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "ui/FileUtil.h"
#include "ui/ShellManager.h"

namespace {

const UINT kLockPeriod = 600000;
const UINT kHiddenPressWindow = 1000;
const int kLogoPresses = 11;
const int kBtModePresses = 10;
const DWORD kToolWindowWaitMs = 10000;
const size_t kBtDebugChars = 256;

BOOL StartProgram(const WCHAR* image, const WCHAR* commandLine) {
    WCHAR args[MAX_PATH];
    QrxStrCopy(args, MAX_PATH, commandLine ? commandLine : u"");
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(image, args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) return FALSE;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return TRUE;
}

}  // namespace

void CMainFrame::ResetPages() {
    AdminShow(*this, 0);
    SettingShow(*this, 0);
    if (m_pTopBarWnd) m_pTopBarWnd->SetPage(SHELL_OPERATION, 5, 1);
    OperationBack(*this);
}

BOOL CMainFrame::StartMcuTool(const WCHAR* image, const WCHAR* fallback, const WCHAR* commandLine) {
    if (m_pMicomPort) m_pMicomPort->Close();
    if (StartProgram(image, commandLine)) return TRUE;
    if (fallback && StartProgram(fallback, commandLine)) return TRUE;
    // Nobody took the port over: the program keeps it.
    if (m_pMicomPort) m_pMicomPort->Open(static_cast<int>(m_nMcuComNumber), MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY);
    return FALSE;
}

void CMainFrame::OnHiddenButton(HWND hWnd, int control) {
    if (!m_bHiddenLock) {
        m_bHiddenLock = 1;
        m_nHiddenCount = 0;
        KillTimer(hWnd, TIMER_HIDDEN_PRESS);
        m_nPressTimer = 0;
        if (control == 4) {
            // The buzzer thread silences and closes the tone device itself as the program ends.
            Beep(BEEP_STOP);
            PostMessageW(hWnd, WM_CLOSE, 0, 0);
        } else {
            AdminShow(*this, 5);
            if (m_pTopBarWnd) m_pTopBarWnd->SetPage(SHELL_ADMIN, 5, 1);
        }
        return;
    }
    if (control != kHiddenSequence[m_nHiddenCount]) {
        m_nHiddenCount = 0;
        KillTimer(hWnd, TIMER_HIDDEN_PRESS);
        m_nPressTimer = 0;
        return;
    }
    ++m_nHiddenCount;
    KillTimer(hWnd, TIMER_HIDDEN_PRESS);
    m_nPressTimer = SetTimer(hWnd, TIMER_HIDDEN_PRESS, kHiddenPressWindow, nullptr);
    if (m_nHiddenCount >= 6) {
        m_bHiddenLock = 0;
        m_nHiddenCount = 0;
    }
}

void CMainFrame::OnLogoPress() {
    if (++m_nLogoCount < kLogoPresses) return;
    m_nLogoCount = 0;
    SaveCompanyInfo((g_dwLogoIndex + 1) % LOGO_INDEX_COUNT);
    LoadCompanyInfo();
}

void CMainFrame::OnLockBoxCommand(int code) {
    if (code >= 1 && code <= 4) LockProgramAnswered();
    switch (code) {
        case 0:
            KillTimer(m_hWnd, TIMER_SCREEN_LOCK);
            CloseLockBox();
            if (!StartLockProgram(1)) {
                // Without Shutter there is nobody to answer: the screen stays usable and the lock re-arms.
                m_bScreenLocked = 0;
                if (LockEnabled()) SetTimer(m_hWnd, TIMER_SCREEN_LOCK, kLockPeriod, nullptr);
            }
            break;
        case 1:
            m_bScreenLocked = 0;
            [[fallthrough]];
        case 2:
            if (LockEnabled()) SetTimer(m_hWnd, TIMER_SCREEN_LOCK, kLockPeriod, nullptr);
            break;
        case 3:
        case 4:
            m_bScreenLocked = LockEnabled() && ShowLockBox() ? 1 : 0;
            break;
        default:
            break;
    }
}

LRESULT CMainFrame::OnShellCommand(HWND hWnd, WPARAM wParam, LPARAM lParam) {
    const int shell = static_cast<int>(wParam);
    const int control = LOWORD(lParam);
    if (wParam > 16) return 0;
    LRESULT result = 0;
    switch (shell) {
        case SHELL_MAIN:
            if (control == 3) {
                OnLogoPress();
                break;
            }
            m_nLogoCount = 0;
            if (control == 0) OperationShow(*this, 5);
            else if (control == 1) SettingShow(*this, 5);
            else if (control == 4 || control == 5) OnHiddenButton(hWnd, control);
            break;
        case SHELL_SETTING:
        case SHELL_LANGUAGE:
            result = SettingOnCommand(*this, hWnd, shell, lParam);
            if (control == 0) {
                SaveLanguageSetting();
            } else if (control == 2 || control == 4 || control == 19 || control == 35) {
                SaveSettingFile();
            } else if (control == 36) {
                KillTimer(hWnd, TIMER_PRESS_COUNT);
                m_nPressTimer = SetTimer(hWnd, TIMER_PRESS_COUNT, 500, nullptr);
                if (++m_nPressCount >= kBtModePresses) {
                    m_nPressCount = 0;
                    g_Settings.wBtMode = g_Settings.wBtMode == 1 ? 0 : 1;
                    BtChangeMode(g_Settings.wBtMode);
                    SettingRefreshBtLabel(*this);
                    SaveSettingFile();
                }
            }
            break;
        case SHELL_COVER:
            if (control == 0) {
                RunScreenOff(FALSE);
                m_bScreenOff = 0;
                SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
            }
            break;
        case SHELL_OPERATION:
        case SHELL_MANUAL:
        case SHELL_PROGRAM:
        case SHELL_PROGRAM_SET:
        case SHELL_FILTER:
        case SHELL_FILES:
        case SHELL_AUTO:
            result = OperationOnCommand(*this, hWnd, shell, lParam);
            if (shell == SHELL_OPERATION && control == 9 && OperationIsIdle(*this)) {
                m_bRemoteControl = 0;
                if (g_Settings.wBtRemote) BtSendErrorCode(201);
                else LinkSendError(*this, 201);
            }
            if ((shell == SHELL_MANUAL && (control == 12 || control == 28)) || (shell == SHELL_PROGRAM && control == 42))
                SaveOpModeFile();
            if (shell == SHELL_AUTO && control == 0) {
                SaveOpModeFile();
                SaveAutoFile();
            }
            if (shell == SHELL_FILTER || control == 19) SaveSettingFile();
            break;
        case SHELL_ADMIN:
            if (control == 100) {
                ReloadSettings();
            } else if (control == 110) {
                AdminShow(*this, 0);
                if (m_pTopBarWnd) m_pTopBarWnd->SetPage(SHELL_MAIN, 0, 1);
                SaveSettingFile();
            } else {
                result = AdminOnCommand(*this, hWnd, shell, lParam);
                if (control == 1) {
                    SaveSettingFile();
                    SaveOpModeFile();
                }
            }
            break;
        case SHELL_POPUP:
            ClosePopup(FALSE);
            SettingRunUpgrader(*this, control);
            break;
        case SHELL_LOCKBOX:
            OnLockBoxCommand(control);
            break;
        case SHELL_TOPBAR:
            if (control == TOPBAR_LOCK) {
                if (LockEnabled()) {
                    m_bScreenLocked = ShowLockBox() ? 1 : 0;
                    KillTimer(hWnd, TIMER_SCREEN_LOCK);
                }
            } else if (m_pTopBarWnd) {
                result = m_pTopBarWnd->OnCommand(hWnd, shell, lParam);
                if (control == TOPBAR_CLOCK) SaveSettingFile();
            }
            break;
        default:
            break;
    }
    return result;
}

void CMainFrame::OnFactoryCheck(HWND hWnd) {
    WCHAR image[MAX_PATH];
    swprintf(image, MAX_PATH, u"%s\\QRXFactory.exe", g_szStorageRoot);
    if (StartProgram(image, nullptr)) {
        Sleep(1000);
        SendMessageW(hWnd, WM_CLOSE, CLOSE_WITHOUT_SHELL, 0);
        return;
    }
    OperationResumeFromFile(*this);
}

void CMainFrame::OnTimer(HWND hWnd, UINT_PTR id) {
    switch (id) {
        case TIMER_SETTING_CLOCK:
            SettingClockTick(*this);
            break;
        case TIMER_HIDDEN_PRESS:
            KillTimer(hWnd, TIMER_HIDDEN_PRESS);
            m_nPressTimer = 0;
            m_bHiddenLock = 1;
            m_nHiddenCount = 0;
            break;
        case TIMER_FACTORY_CHECK:
            KillTimer(hWnd, TIMER_FACTORY_CHECK);
            OnFactoryCheck(hWnd);
            break;
        case TIMER_SCREEN_LOCK:
            if (LockEnabled()) {
                m_bScreenLocked = ShowLockBox() ? 1 : 0;
                KillTimer(hWnd, TIMER_SCREEN_LOCK);
            }
            break;
        case TIMER_TOPBAR_CLOCK:
            if (m_pTopBarWnd) m_pTopBarWnd->UpdateClock(0);
            break;
        case TIMER_BACKLIGHT:
            if (m_nBackLightMode > 0) {
                RunScreenOff(TRUE);
                m_bScreenOff = 1;
                KillTimer(hWnd, TIMER_BACKLIGHT);
            }
            break;
        case TIMER_PRESS_COUNT:
            m_nPressCount = 0;
            m_nPressTimer = 0;
            KillTimer(hWnd, TIMER_PRESS_COUNT);
            break;
        case TIMER_STARTUP:
            KillTimer(hWnd, TIMER_STARTUP);
            ShowLoading(TRUE, 8000);
            if (!InitFrame(hWnd)) {
                ShowLoading(FALSE, -1);
                SendMessageW(hWnd, WM_CLOSE, 0, 0);
            }
            break;
        default:
            break;
    }
}

void CMainFrame::OnStorageChange(WPARAM event, LPARAM header) {
    const auto* h = reinterpret_cast<const DEV_BROADCAST_HDR*>(header);
    if (!h || h->dbch_devicetype != DBT_DEVTYP_PORT) return;
    if (event == DBT_DEVICEARRIVAL) {
        Sleep(1000);
        if (StorageWritable()) {
            ReloadSettings();
            ClosePopup(TRUE);
        } else {
            ShowMessageBoxText(m_hWnd, POPUP_TITLE_ERROR, StorageProblemText(), POPUP_NO_BUTTON);
        }
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        // Another volume going away leaves the logs and the run alone.
        if (GetFileAttributesW(g_szStorageRoot) != INVALID_FILE_ATTRIBUTES) return;
        if (OperationIsRunning(*this)) OperationStopRun(*this, 0);
        OperationResetDisplay(*this);
        AdminShow(*this, 0);
        SettingShow(*this, 0);
        OperationShow(*this, 0);
        if (m_pTopBarWnd) m_pTopBarWnd->SetPage(SHELL_MAIN, 0, 0);
        ShowMessageBox(m_hWnd, POPUP_TITLE_ERROR, 50, POPUP_NO_BUTTON, FALSE);
    }
}

void CMainFrame::OnMcuPortReopen() {
    // Trimset names an event "QRXCOMM", not a window: the wait is bounded so a stray window of that
    // class cannot hang the program. The bound is on the clock, since a loaded device oversleeps.
    const DWORD start = GetTickCount();
    while (FindWindowW(u"QRXCOMM", nullptr) && GetTickCount() - start < kToolWindowWaitMs) Sleep(50);
    if (!m_pMicomPort) return;
    Sleep(1000);
    m_pMicomPort->Open(static_cast<int>(m_nMcuComNumber), MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY);
}

void CMainFrame::OnBtDebugText(WPARAM text, LPARAM length) {
    const char* bytes = reinterpret_cast<const char*>(text);
    if (!bytes || length <= 0) return;
    WCHAR line[kBtDebugChars + 3];
    size_t n = 0;
    const size_t limit = static_cast<size_t>(length) < kBtDebugChars ? static_cast<size_t>(length) : kBtDebugChars;
    while (n < limit && bytes[n] != 0) {
        line[n] = static_cast<WCHAR>(static_cast<unsigned char>(bytes[n]));
        ++n;
    }
    line[n] = 0;
    OutputDebugStringW(line);
}

LRESULT CMainFrame::OnMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= WM_PCCOMM_FIRST && msg <= WM_PCCOMM_LAST) return OnRemoteCommand(*this, hWnd, msg, wParam, lParam);
    switch (msg) {
        case WM_TIMER:
            OnTimer(hWnd, static_cast<UINT_PTR>(wParam));
            return 0;
        case WM_LOCK_PROGRAM_ENDED:
            OnLockProgramEnded(wParam);
            return 0;
        case WM_LOCK_TIMER_RESTART:
            if (LockEnabled() && !m_bScreenLocked) {
                KillTimer(hWnd, TIMER_SCREEN_LOCK);
                SetTimer(hWnd, TIMER_SCREEN_LOCK, kLockPeriod, nullptr);
            }
            [[fallthrough]];
        case WM_BACKLIGHT_TIMER_RESTART:
            if (g_Settings.wBackLight > 2) g_Settings.wBackLight = 0;
            m_nBackLightMode = g_Settings.wBackLight;
            KillTimer(hWnd, TIMER_BACKLIGHT);
            if (m_nBackLightMode != 0 && !m_bScreenOff)
                SetTimer(hWnd, TIMER_BACKLIGHT, m_nBackLightMode == 1 ? 1800000 : 3600000, nullptr);
            break;
        case WM_MCU_PORT_REOPEN:
            OnMcuPortReopen();
            break;
        case WM_MCU_PORT_RELEASE:
            if (m_pMicomPort) m_pMicomPort->Close();
            break;
        case WM_BT_DEBUG_TEXT:
            OnBtDebugText(wParam, lParam);
            break;
        case WM_BT_STATE:
            g_Settings.wBtConnected = static_cast<WORD>(wParam ? 1 : 0);
            if (!wParam) {
                g_Settings.dwRemoteStreaming = 0;
                if (m_pTopBarWnd) m_pTopBarWnd->SetIcon(TOPBAR_BT_ICON, 0);
            }
            SettingSetBtStatus(*this, wParam ? 1 : 0);
            break;
        case WM_BEEP:
            Beep(static_cast<int>(wParam));
            break;
        case WM_BEEP_OFF:
            Beep(BEEP_STOP);
            break;
        case WM_SET_TEMP_LIMIT: {
            WORD limit = 0;
            if (McuHundredths(static_cast<double>(g_Settings.nBatTempLimit), &limit)) CmdSetTempLimit(m_pMicomPort, limit);
            break;
        }
        case WM_SET_FLAG:
            break;
        case WM_OPERATION_EVENT:
            ShowEventPopup(hWnd, static_cast<int>(wParam));
            break;
        case WM_SHELL_NOTIFY:
            if (wParam == SHELL_NOTIFY_KEYCLICK) {
                Beep(BEEP_KEY_CLICK);
                return 0;
            }
            break;
        case WM_DEVICECHANGE:
            OnStorageChange(wParam, lParam);
            break;
        case WM_CLOSE:
            // The pages' panels are owned windows: they go before this window's WM_DESTROY.
            OperationShutdown(*this);
            if (wParam != CLOSE_WITHOUT_SHELL) {
                if (!FindWindowW(u"DesktopExplorerWindow", nullptr)) {
                    StartProgram(u"\\Windows\\explorer.exe", nullptr);
                    Sleep(100);
                }
                ShowTaskBar(TRUE);
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}
