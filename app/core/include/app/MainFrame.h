// The main program's window and controller: start-up, message routing, timers, the buzzer, the
// backlight saver, the screen-lock hand-off, popups and the system log.
#pragma once
#include <windows.h>

#include <atomic>

class COperationWnd;
class CSettingWnd;
class CAdminWnd;
class CTopBarWnd;
class CMicomPort;
class CLinkPort;

#define QRX_APP_NAME u"QRX_APPLICATION"

// Messages received by the main window.
#define WM_PCCOMM_FIRST 1125
#define WM_PCCOMM_LAST 1184
#define WM_LOCK_TIMER_RESTART 1224
#define WM_BACKLIGHT_TIMER_RESTART 1225
#define WM_MCU_PORT_REOPEN 1324
#define WM_MCU_PORT_RELEASE 1325
#define WM_BT_DEBUG_TEXT 1424
#define WM_BT_STATE 1425
#define WM_BEEP 1524
#define WM_BEEP_OFF 1525
#define WM_SET_TEMP_LIMIT 1624
#define WM_SET_FLAG 1724
#define WM_OPERATION_EVENT 2024
// Posted by the watch of the lock program when the process ends; wParam its run number.
#define WM_LOCK_PROGRAM_ENDED 2025
#define CLOSE_WITHOUT_SHELL 0xF0F0

// Timers of the main window.
#define TIMER_SETTING_CLOCK 4096
#define TIMER_HIDDEN_PRESS 4099
#define TIMER_FACTORY_CHECK 4100
#define TIMER_SCREEN_LOCK 4104
#define TIMER_TOPBAR_CLOCK 4105
#define TIMER_BACKLIGHT 4106
#define TIMER_PRESS_COUNT 4107
#define TIMER_STARTUP 4108

// Layout shells.
#define SHELL_MAIN 0
#define SHELL_SETTING 1
#define SHELL_COVER 2
#define SHELL_OPERATION 3
#define SHELL_MANUAL 4
#define SHELL_PROGRAM 5
#define SHELL_PROGRAM_SET 6
#define SHELL_FILTER 8
#define SHELL_FILES 9
#define SHELL_ADMIN 10
#define SHELL_POPUP 12
#define SHELL_LOCKBOX 13
#define SHELL_TOPBAR 14
#define SHELL_LANGUAGE 15
#define SHELL_AUTO 16

// Popup titles and button styles.
#define POPUP_TITLE_ERROR 10
#define POPUP_TITLE_NOTICE 11
#define POPUP_TITLE_SETTING 12
#define POPUP_NO_BUTTON 0
#define POPUP_ONE_BUTTON 1
#define POPUP_TWO_BUTTONS 2

#define BEEP_KEY_CLICK 0
#define BEEP_STOP 255

class CMainFrame {
public:
    CMainFrame();
    virtual ~CMainFrame();
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    BOOL InitFrame(HWND hWnd);
    void OnDestroy(HWND hWnd);
    LRESULT OnShellCommand(HWND hWnd, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    void ResetPages();
    // on 1 starts the loading screen with ms as its command line; 0 closes it.
    void ShowLoading(BOOL on, int ms);

    // Buzzer, backlight and lock.
    static DWORD WINAPI BeepThread(LPVOID param);
    void Beep(int pattern);
    BOOL RunScreenOff(BOOL on);
    BOOL ShowLockBox();
    void CloseLockBox();
    BOOL StartLockProgram(int mode);
    // The lock program answered (1025 with shell 13, codes 1 to 4).
    void LockProgramAnswered();
    // Its process ended: without an answer since its start, as if it had cancelled.
    void OnLockProgramEnded(WPARAM run);
    void StopLockWatch();
    // Re-reads the lock setting; a lock without its pattern file is switched off with its timer and box.
    BOOL LockEnabled();

    // Starts a tool that talks to the MCU itself: the port is released first and taken back when no
    // image starts. fallback may be null.
    BOOL StartMcuTool(const WCHAR* image, const WCHAR* fallback, const WCHAR* commandLine);

    // The storage root can be written (chk.tmp created and removed).
    static BOOL StorageWritable();
    void CheckStorage();
    void CheckHardwareVersion();
    void ReloadSettings();

    HWND m_hWnd;
    COperationWnd* m_pOperationWnd;
    CSettingWnd* m_pSettingWnd;
    CAdminWnd* m_pAdminWnd;
    CTopBarWnd* m_pTopBarWnd;
    int m_nSpare;
    CMicomPort* m_pMicomPort;
    CLinkPort* m_pLinkPort;
    BYTE m_McuVersion[4];
    int m_nBoardProbe;
    int m_bHardwareMatches;
    int m_bRemoteControl;
    std::atomic<int> m_bBuzzerStop;
    HANDLE m_hBeepEvent;
    int m_bHiddenLock;
    int m_nPressCount;
    UINT_PTR m_nPressTimer;
    int m_bScreenLockEnabled;
    int m_nBackLightMode;
    int m_bScreenLocked;
    int m_bScreenOff;
    // Written by the UI thread before it signals the beep event, read by the buzzer thread.
    std::atomic<int> m_nBeepPattern;
    std::atomic<DWORD> m_dwBeepWait;
    DWORD m_nMcuComNumber;
    WORD m_TempCal[2];

    // Kept apart from the press count of the setting page so the two sequences never mix.
    int m_nHiddenCount;
    int m_nLogoCount;
    HANDLE m_hBeepThread;
    // The operation page's reader threads show and close the loading screen too.
    std::atomic<HANDLE> m_hSplashProcess;

private:
    void OnHiddenButton(HWND hWnd, int control);
    void OnLogoPress();
    void OnLockBoxCommand(int code);
    void OnStorageChange(WPARAM event, LPARAM header);
    void OnTimer(HWND hWnd, UINT_PTR id);
    void OnFactoryCheck(HWND hWnd);
    void OnMcuPortReopen();
    void OnBtDebugText(WPARAM text, LPARAM length);
    void StartBuzzer();
    void StopBuzzer();
};

extern CMainFrame g_MainFrame;
extern HWND g_hMainWnd;
extern HINSTANCE g_hInst;
extern double g_dHardwareVersion;
extern double g_dDisplayBoardRev;

// The six presses that open the hidden functions: left, right, left, left, right, right corner.
extern const int kHiddenSequence[6];

// Program entry of QRX (the executable's WinMain calls it).
int QrxWinMain(HINSTANCE hInstance, LPWSTR lpCmdLine, int nCmdShow);
BOOL InitInstance(HINSTANCE hInstance, int nCmdShow);
ATOM MyRegisterClass(HINSTANCE hInstance, LPCWSTR className);
LRESULT CALLBACK MainWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Popups and the system log.
void ShowMessageBox(HWND hWnd, int title, int message, int style, BOOL log);
void ShowMessageBoxText(HWND hWnd, int title, const WCHAR* text, int style);
void ClosePopup(BOOL beepOff);
// The popup of an operation event code; 0 when the code shows nothing.
BOOL ShowEventPopup(HWND hWnd, int code);
void WriteSystemLog(int title, const WCHAR* text, int code);
void WriteSystemLogNote(int mode);
void SetBackLightWindowTop();
// The popup text of a storage root that cannot be written.
const WCHAR* StorageProblemText();
// "ERR", "NOTI", "SET ERR" or "UNKNOWN".
const WCHAR* PopupKindText(int title);
