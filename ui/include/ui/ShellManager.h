// The page manager: opens and closes the pages of the layout script, keeps the stack of open pages,
// paints the windowless pages into the host window, routes the host window's messages to the pages,
// and starts programs for control commands with a watcher on the start.
#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

class CShellPanel;
class CUiCtrl;

// The framework's notices to a page's command window.
#define WM_SHELL_COMMAND 1025
#define WM_SHELL_NOTIFY 5024
#define SHELL_NOTIFY_OPEN 0x1FFFF
#define SHELL_NOTIFY_CLOSE 0x2FFFF
#define SHELL_NOTIFY_KEYCLICK 0x3FFFF
#define SHELL_NOTIFY_ACTIVATE 0x1FFFFF
#define SHELL_NOTIFY_FOCUS 0x2FFFFF
#define SHELL_NOTIFY_DROP 0x3FFFFF

// Style bits of a page's "panel" key.
enum : DWORD {
    SHELL_STYLE_SLIDE = 0x01,
    SHELL_STYLE_AUTOCLOSE = 0x02,
    SHELL_STYLE_NOOWNERWND = 0x04,
    SHELL_STYLE_CHILD = 0x08,
    SHELL_STYLE_CLOSEONOWNER = 0x10,
    SHELL_STYLE_HIDEONBELOW = 0x20,
    SHELL_STYLE_TOPMOST = 0x40,
    SHELL_STYLE_MODAL = 0x80,
    SHELL_STYLE_NOOWNER = 0x100,
    SHELL_STYLE_DRAG = 0x200,
};

class CShellManager {
public:
    CShellManager();
    ~CShellManager();
    CShellManager(const CShellManager&) = delete;
    CShellManager& operator=(const CShellManager&) = delete;

    // The program's one manager.
    static CShellManager& Instance();

    // Page shell (the [shell] "main" page when negative) on host; layoutFile empty or null means the
    // in-memory layout script. The page, or 0.
    CShellPanel* OpenShell(HWND host, int shell, const WCHAR* layoutFile, BOOL show);
    // Closes a page and its group (the group of the top shown page when shell is negative). The number
    // closed, 0 when nothing was open, -1 when the last page closed.
    int CloseShell(int shell);
    CShellPanel* ActivateShell(int shell);
    // The top page for a negative number; 0 when none.
    CShellPanel* FindShell(int shell) const;
    CUiCtrl* GetShellCtrl(int shell, int i) const;
    // 1 when the top page is a modal page other than panel.
    BOOL IsBlockedByModal(const CShellPanel* panel) const;
    // The owner of the first shown page from the top; -1 when none.
    int GetOwnerShell(const CShellPanel* newPanel) const;

    // The host window's message filter; handled tells the host to return the result.
    LRESULT PreTranslate(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnShellMessage(HWND hwnd, WPARAM wParam, LPARAM lParam);

    // The "snd" action of a control: kind > 0 plays a sound file, kind 0 posts the key click to the
    // window of class name.
    void Notify(int kind, const WCHAR* name, LPARAM arg);
    // Starts a program for a control command: 1 started, 0 refused or failed.
    int LaunchProgram(const WCHAR* path, const WCHAR* args);
    BOOL IsLaunchBusy() const { return m_launchBusy.load() ? TRUE : FALSE; }
    // Waits for the launch watcher to finish (it ends by itself within its watch time).
    void WaitLaunchWatch();

    // Brings every modal page forward (a page below it was activated).
    void RaiseModalPanels();

    BOOL GetWindowlessRoots() const { return m_windowlessRoots; }
    int GetShellCount() const { return static_cast<int>(m_panels.size()); }
    // Page i of the stack, oldest first; 0 out of range.
    CShellPanel* GetShellAt(int i) const;
    const WCHAR* GetLayoutFile() const { return m_layoutFile; }

    // A timer id no other control of any window uses, above the host's own timer numbers.
    static UINT_PTR AllocTimerId();

private:
    // An open page with its life token, for loops whose calls may close pages.
    struct PanelRef {
        CShellPanel* panel;
        std::weak_ptr<const int> life;
    };
    std::vector<PanelRef> Snapshot() const;
    int IndexOf(const CShellPanel* panel) const;
    void RemoveAndDelete(int index);
    void CloseAll();
    void PaintPanels(HWND hwnd);
    int RouteKey(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    int RoutePen(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void ApplyRegion(CShellPanel* panel, const WCHAR* value);
    BOOL StartLaunchWatch(DWORD processId);
    void JoinWatcher();
    static DWORD WINAPI LaunchWatchThread(LPVOID param);

    HBITMAP m_hBackBitmap;
    HDC m_hBackDC;
    HGDIOBJ m_hOldBackBitmap;
    SIZE m_backSize;
    BOOL m_windowlessRoots;
    std::atomic<bool> m_launchBusy;
    std::atomic<bool> m_watchStop;
    HANDLE m_hWatchThread;
    DWORD m_watchProcessId;
    WCHAR m_layoutFile[MAX_PATH];
    std::vector<CShellPanel*> m_panels;
    HWND m_hNotifyWnd;
    WCHAR m_notifyName[MAX_PATH];
};
