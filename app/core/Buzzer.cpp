// The buzzer thread, the backlight cover and the hand-off to the screen-lock program.
#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/Settings.h"
#include "ui/BoardIo.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

namespace {

const DWORD kToneLow = 2093;
const DWORD kToneMid = 2637;
const DWORD kToneHigh = 3136;
const DWORD kPattern2Tones[6] = {kToneLow, kToneMid, kToneHigh, kToneLow, kToneMid, kToneHigh};
const WCHAR kLockFile[] = u"\\NAND Flash\\LockDat.dat";

// Owned by the buzzer thread.
int g_nBeepStep = 0;

BOOL g_bLockProgramStarted = FALSE;
PROCESS_INFORMATION g_LockProcess;
// The kept run: its mode, its number, whether it answered, and the thread watching its process.
int g_nLockMode = 0;
WPARAM g_nLockRun = 0;
BOOL g_bLockAnswered = FALSE;
HANDLE g_hLockWatch = nullptr;
HANDLE g_hLockWatchStop = nullptr;

DWORD WINAPI LockWatchThread(LPVOID param) {
    HANDLE waits[2] = {g_LockProcess.hProcess, g_hLockWatchStop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 && g_hMainWnd)
        PostMessageW(g_hMainWnd, WM_LOCK_PROGRAM_ENDED, reinterpret_cast<WPARAM>(param), 0);
    return 0;
}

// One expiry of the wait of a running pattern: the next tone, or silence at the end.
DWORD NextTone(int pattern) {
    const int index = g_nBeepStep;
    switch (pattern) {
        case 1:
        case 3: {
            const int count = pattern == 1 ? 31 : 2;
            if (index >= count) break;
            ++g_nBeepStep;
            Tone((g_nBeepStep & 1) ? kToneMid : kToneLow, TRUE);
            return 90;
        }
        case 2:
            if (index >= 6) break;
            ++g_nBeepStep;
            Tone(kPattern2Tones[g_nBeepStep - 1], TRUE);
            return 110;
        default:
            break;
    }
    Tone(0, FALSE);
    g_nBeepStep = 0;
    return INFINITE;
}

}  // namespace

DWORD WINAPI CMainFrame::BeepThread(LPVOID param) {
    auto* frame = static_cast<CMainFrame*>(param);
    frame->m_dwBeepWait = INFINITE;
    OpenTonePwm();
    for (;;) {
        const DWORD result = WaitForSingleObject(frame->m_hBeepEvent, frame->m_dwBeepWait.load());
        if (frame->m_bBuzzerStop.load()) break;
        const int pattern = frame->m_nBeepPattern.load();
        if (result == WAIT_OBJECT_0) {
            g_nBeepStep = 0;
            switch (pattern) {
                case 0:
                    Tone(kToneMid, TRUE);
                    frame->m_dwBeepWait = 100;
                    break;
                case 1:
                case 3:
                    frame->m_dwBeepWait = 90;
                    break;
                case 2:
                    frame->m_dwBeepWait = 110;
                    break;
                default:
                    Tone(0, FALSE);
                    frame->m_dwBeepWait = INFINITE;
                    break;
            }
        } else if (pattern == 0) {
            Tone(0, FALSE);
            frame->m_dwBeepWait = INFINITE;
        } else {
            frame->m_dwBeepWait = NextTone(pattern);
        }
    }
    Tone(0, FALSE);
    CloseTonePwm();
    return 0;
}

void CMainFrame::Beep(int pattern) {
    m_nBeepPattern = pattern;
    if (pattern == BEEP_STOP) m_dwBeepWait = INFINITE;
    SetEvent(m_hBeepEvent);
}

void CMainFrame::StartBuzzer() {
    if (m_hBeepThread) return;
    m_bBuzzerStop = 0;
    m_hBeepThread = CreateThread(nullptr, 0, BeepThread, this, 0, nullptr);
}

// The thread closes the tone device itself; waiting here keeps the device from outliving the program.
void CMainFrame::StopBuzzer() {
    m_bBuzzerStop = 1;
    SetEvent(m_hBeepEvent);
    if (!m_hBeepThread) return;
    WaitForSingleObject(m_hBeepThread, 2000);
    CloseHandle(m_hBeepThread);
    m_hBeepThread = nullptr;
}

BOOL CMainFrame::RunScreenOff(BOOL on) {
    CShellManager& shells = CShellManager::Instance();
    if (on) {
        SetBacklight(TRUE);
        shells.OpenShell(m_hWnd, SHELL_COVER, nullptr, TRUE);
    } else {
        if (shells.FindShell(SHELL_COVER)) shells.CloseShell(SHELL_COVER);
        if (HWND lock = FindWindowW(u"Shutter", u"Shutter")) SetWindowPos(lock, HWND_TOPMOST, 0, 0, 800, 480, SWP_SHOWWINDOW);
        SetBacklight(FALSE);
    }
    return TRUE;
}

BOOL CMainFrame::ShowLockBox() {
    CShellManager& shells = CShellManager::Instance();
    // Reopened so it lands above whatever page opened since.
    if (shells.FindShell(SHELL_LOCKBOX)) shells.CloseShell(SHELL_LOCKBOX);
    CShellPanel* box = shells.OpenShell(m_hWnd, SHELL_LOCKBOX, nullptr, FALSE);
    if (!box) return FALSE;
    if (CUiCtrl* label = box->GetCtrl(0)) {
        label->SetFontFace(GetLangFontFace());
        label->SetText(GetLangText(SHELL_LOCKBOX, 0, FALSE), FALSE);
    }
    box->Show(TRUE);
    // The cover stays on top: the first touch of a dark screen only lights it.
    if (shells.FindShell(SHELL_COVER)) {
        shells.CloseShell(SHELL_COVER);
        shells.OpenShell(m_hWnd, SHELL_COVER, nullptr, TRUE);
    }
    return TRUE;
}

void CMainFrame::CloseLockBox() {
    CShellManager& shells = CShellManager::Instance();
    if (shells.FindShell(SHELL_LOCKBOX)) shells.CloseShell(SHELL_LOCKBOX);
}

void CMainFrame::StopLockWatch() {
    if (!g_hLockWatch) return;
    SetEvent(g_hLockWatchStop);
    WaitForSingleObject(g_hLockWatch, INFINITE);
    CloseHandle(g_hLockWatch);
    CloseHandle(g_hLockWatchStop);
    g_hLockWatch = g_hLockWatchStop = nullptr;
}

void CMainFrame::LockProgramAnswered() { g_bLockAnswered = TRUE; }

void CMainFrame::OnLockProgramEnded(WPARAM run) {
    if (!g_bLockProgramStarted || run != g_nLockRun || g_bLockAnswered) return;
    // Crashed, killed or refused as a second instance: the screen must not stay open for good.
    OutputDebugStringW(u"[LOCK]Shutter ended without an answer\r\n");
    OnLockBoxCommand(g_nLockMode ? 4 : 2);
}

BOOL CMainFrame::StartLockProgram(int mode) {
    StopLockWatch();
    if (g_bLockProgramStarted) {
        CloseHandle(g_LockProcess.hThread);
        CloseHandle(g_LockProcess.hProcess);
        g_bLockProgramStarted = FALSE;
    }
    WCHAR args[32];
    swprintf(args, 32, u"%d,%d", GetCurrentLanguage(), mode);
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(u"\\Windows\\Shutter.exe", args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) {
        OutputDebugStringW(u"[LOCK]Shutter start failed\r\n");
        return FALSE;
    }
    g_LockProcess = pi;
    g_bLockProgramStarted = TRUE;
    g_nLockMode = mode;
    g_bLockAnswered = FALSE;
    ++g_nLockRun;
    g_hLockWatchStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hLockWatch = g_hLockWatchStop ? CreateThread(nullptr, 0, LockWatchThread, reinterpret_cast<LPVOID>(g_nLockRun), 0, nullptr)
                                    : nullptr;
    if (!g_hLockWatch && g_hLockWatchStop) {
        CloseHandle(g_hLockWatchStop);
        g_hLockWatchStop = nullptr;
    }
    return TRUE;
}

BOOL CMainFrame::LockEnabled() {
    if (g_Settings.wLockEnable > 1) g_Settings.wLockEnable = 0;
    m_bScreenLockEnabled = g_Settings.wLockEnable;
    if (m_bScreenLockEnabled && GetFileAttributesW(kLockFile) == INVALID_FILE_ATTRIBUTES) {
        // Without its pattern the lock could never be opened again.
        g_Settings.wLockEnable = 0;
        m_bScreenLockEnabled = 0;
        KillTimer(m_hWnd, TIMER_SCREEN_LOCK);
        CloseLockBox();
        m_bScreenLocked = 0;
    }
    return m_bScreenLockEnabled ? TRUE : FALSE;
}
