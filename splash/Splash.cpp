// Splash: the loading panel the main program shows while it is busy. One animated page on a topmost
// window; ends on WM_CLOSE from the main program or when its time-out expires.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "ui/FileUtil.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/ZipArchive.h"

namespace {

const WCHAR kAppName[] = u"SPLASH_APP";
const WCHAR kArchivePath[] = u"\\Windows\\Splash.zip";
const UINT_PTR kTimeoutTimer = 5000;
const UINT kFramePeriod = 90;
const int kLayoutResource = 102;
const UINT kTitleString = 1;

const DWORD IOCTL_TOUCH_MODE_SPLASH = 0x0118001Cu;
const DWORD IOCTL_TOUCH_MODE_RESTORE = 0x01180018u;

HINSTANCE g_hInst = nullptr;
LONG g_timeout = 0;
// Set while the panel is in the loading mode, so that a failed creation and the destruction that
// follows it restore the mode exactly once.
bool g_touchSwitched = false;

void SetTouchMode(BOOL restore) {
    HANDLE h = CreateFileW(u"TCH1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        OutputDebugStringW(u"[Touch]Invalid Handle\r\n");
        return;
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, restore ? IOCTL_TOUCH_MODE_RESTORE : IOCTL_TOUCH_MODE_SPLASH, nullptr, 0, nullptr, 0,
                              &returned, nullptr);
    // The open is exclusive: a handle kept open would lock the restore out.
    CloseHandle(h);
    if (ok) g_touchSwitched = !restore;
    Sleep(10);
}

void RestoreTouchMode() {
    if (g_touchSwitched) SetTouchMode(TRUE);
}

// The command line as a 32-bit count of milliseconds; out-of-range values saturate.
LONG ParseTimeout(const WCHAR* text) {
    if (!text) return 0;
    long value = wcstol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<LONG>(value);
}

LRESULT OnCreate(HWND hWnd) {
    SetTouchMode(FALSE);
    if (!LoadArchiveFile(kArchivePath)) {
        RestoreTouchMode();
        return -1;
    }
    LoadLayoutResource(g_hInst, kLayoutResource);
    CShellManager& shells = CShellManager::Instance();
    CShellPanel* panel = shells.OpenShell(hWnd, 0, nullptr, TRUE);
    if (!panel) {
        RestoreTouchMode();
        FreeArchiveFile();
        return -1;
    }
    if (CUiCtrl* ctrl = panel->GetCtrl(0)) ctrl->StartAnimation(nullptr, kFramePeriod);
    SetTimer(hWnd, kTimeoutTimer, static_cast<UINT>(g_timeout), nullptr);
    return 0;
}

LRESULT CALLBACK LoadingWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    BOOL handled = FALSE;
    LRESULT result = CShellManager::Instance().PreTranslate(hWnd, msg, wParam, lParam, handled);
    if (handled) return result;

    switch (msg) {
        case WM_CREATE:
            return OnCreate(hWnd);
        case WM_DESTROY:
            RestoreTouchMode();
            FreeArchiveFile();
            PostQuitMessage(0);
            return 0;
        case WM_TIMER:
            if (wParam == kTimeoutTimer) {
                OutputDebugStringW(u"Loading Timeout\r\n");
                KillTimer(hWnd, kTimeoutTimer);
                SendMessageW(hWnd, WM_CLOSE, 0, 0);
            }
            return 0;
        default:
            return DefWindowProcW(hWnd, msg, wParam, lParam);
    }
}

ATOM RegisterLoadingClass(HINSTANCE hInstance) {
    WNDCLASSW wc;
    std::memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = LoadingWndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kAppName;
    return RegisterClassW(&wc);
}

BOOL InitInstance(HINSTANCE hInstance, int nCmdShow) {
    WCHAR title[260];
    title[0] = 0;
    LoadStringW(hInstance, kTitleString, title, 260);

    if (RaiseRunningInstance(kAppName, nCmdShow)) return FALSE;

    RegisterLoadingClass(hInstance);
    HWND hWnd = CreateWindowExW(WS_EX_TOPMOST, kAppName, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    return hWnd ? TRUE : FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow) {
    g_hInst = hInstance;
    g_timeout = ParseTimeout(lpCmdLine);
    WCHAR line[64];
    swprintf(line, sizeof line / sizeof line[0], u"LoadingImage Timeout : %d\r\n", static_cast<int>(g_timeout));
    OutputDebugStringW(line);

    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    if (InitInstance(hInstance, nCmdShow)) {
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}
