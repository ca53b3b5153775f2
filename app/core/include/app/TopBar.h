// The top bar (shell 14): navigation buttons of the operation pages, the lock button, the clock and
// three status icons.
#pragma once
#include <windows.h>

struct SettingsRecord;
class CShellPanel;
class CUiCtrl;

// Controls of shell 14.
#define TOPBAR_HOME 0
#define TOPBAR_MANUAL 1
#define TOPBAR_PROGRAM 2
#define TOPBAR_FILTER 3
#define TOPBAR_LOG 4
#define TOPBAR_LOCK 5
#define TOPBAR_PC_ICON 6
#define TOPBAR_BT_ICON 7
#define TOPBAR_CLOCK 8
#define TOPBAR_UNIT_ICON 9
#define TOPBAR_AUTO 10
#define TOPBAR_CMD_CLOCK 11
#define TOPBAR_CMD_TEXTS 116

class CTopBarWnd {
public:
    CTopBarWnd(HWND hWnd, SettingsRecord* settings);
    virtual ~CTopBarWnd();
    CTopBarWnd(const CTopBarWnd&) = delete;
    CTopBarWnd& operator=(const CTopBarWnd&) = delete;

    // 1 when the bar's page opened.
    BOOL IsCreated() const;
    void InitTexts();
    void SetPage(int page, int show, int force);
    void SetButtonMask(DWORD mask);
    void SetIconMask(DWORD mask);
    LRESULT OnCommand(HWND hWnd, int shell, LPARAM lParam);
    void UpdateClock(int force);
    // Checks (1) or clears (0) one of the status icons.
    void SetIcon(int control, int checked);

    int GetPage() const { return m_nPage; }
    int GetShowState() const { return m_nShow; }
    DWORD GetIconMask() const { return m_dwIconMask; }

private:
    // The bar's page as the shell manager holds it now; null once it was closed.
    CShellPanel* Panel() const;
    CUiCtrl* Ctrl(int i) const;

    HWND m_hWnd;
    int m_nShow;
    int m_nPage;
    DWORD m_dwIconMask;
    BOOL m_bRestoreMask;
    SettingsRecord* m_pSettings;
    int m_nLastMinute;
};

// "HH:MM" (24-hour) or "AM hh:mm" / "PM hh:mm" into out (at least 12 characters).
void FormatTopBarClock(WCHAR* out, size_t size, int hour, int minute, BOOL clock24);
