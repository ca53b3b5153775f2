// Starter: runs at boot in place of the desktop. Starts Tether, waits, then starts the one program the
// device should run (desktop, upgrader or main program) and ends.
#include <windows.h>

#include <cstring>

namespace {

const WCHAR kMutexName[] = u"Starter";
const WCHAR kClassName[] = u"STARTER";
const WCHAR kWindowTitle[] = u"STARTER";

const WCHAR kTether[] = u"\\Windows\\Tether.exe";
const WCHAR kExplorer[] = u"\\Windows\\explorer.exe";
const WCHAR kReflash[] = u"\\Windows\\Reflash.exe";
const WCHAR kFlashQrx[] = u"\\NAND Flash\\QRX.exe";
const WCHAR kSystemQrx[] = u"\\Windows\\QRX.exe";
// Written by the upgrader once the package is checked and before its first write, removed only after
// a whole success: while it is there, the files on the flash may be half replaced.
const WCHAR kUpgradeMarker[] = u"\\NAND Flash\\app_upgrade.dat";

void DebugLine(const WCHAR* format, const WCHAR* arg) {
    WCHAR line[MAX_PATH + 64];
    swprintf(line, sizeof line / sizeof line[0], format, arg);
    OutputDebugStringW(line);
}

BOOL RunProgram(const WCHAR* path) {
    DebugLine(u"RunProgram : %s\r\n", path);
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    std::memset(&si, 0, sizeof si);
    std::memset(&pi, 0, sizeof pi);
    si.cb = sizeof si;
    if (!CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return FALSE;
    // Nobody waits for the program; the handles are only for waiting.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return TRUE;
}

}  // namespace

class CCeMainFrame {
public:
    CCeMainFrame() : m_hWnd(nullptr) {}
    virtual ~CCeMainFrame() {}

    static BOOL IsFilePresent(const WCHAR* path);
    void InvokeMainLnchr();

    HWND m_hWnd;
};

BOOL CCeMainFrame::IsFilePresent(const WCHAR* path) {
    HANDLE h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(h);
    return TRUE;
}

void CCeMainFrame::InvokeMainLnchr() {
    OutputDebugStringW(u"CCeMainFrame::InvokeMainLnchr\r\n");
    if (IsFilePresent(kTether)) RunProgram(kTether);
    Sleep(2000);

    // The programs in the order of preference; a program that does not start (a half-written
    // update, a missing file) hands over to the next, and the desktop is the last resort.
    const WCHAR* candidates[4];
    int count = 0;
    if (IsFilePresent(u"\\SD Card\\sos1.dat") || IsFilePresent(u"\\Hard Disk\\sos1.dat")) {
        OutputDebugStringW(u"Run Explorer\r\n");
    } else {
        const bool unfinished = IsFilePresent(kUpgradeMarker);
        const bool package =
            IsFilePresent(u"\\SD Card\\QRX3FWDATA.FWD") || IsFilePresent(u"\\Hard Disk\\QRX3FWDATA.FWD");
        if (IsFilePresent(u"\\SD Card\\sos2.dat") || IsFilePresent(u"\\Hard Disk\\sos2.dat") ||
            (unfinished && package))
            candidates[count++] = kReflash;
        // An unfinished upgrade without its package runs the system folder's program, never the flash's.
        if (!unfinished && IsFilePresent(kFlashQrx)) {
            if (count == 0) DebugLine(u"Run %s\r\n", kFlashQrx);
            candidates[count++] = kFlashQrx;
        }
        if (IsFilePresent(kSystemQrx)) {
            if (count == 0) DebugLine(u"Run %s\r\n", kSystemQrx);
            candidates[count++] = kSystemQrx;
        }
        if (count == 0) OutputDebugStringW(u"Run Explorer\r\n");
    }
    candidates[count++] = kExplorer;
    for (int i = 0; i < count; ++i)
        if (RunProgram(candidates[i])) break;

    if (m_hWnd) DestroyWindow(m_hWnd);
}

static LRESULT CALLBACK StarterWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (!hMutex) return -1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(hMutex);
        return -1;
    }

    CCeMainFrame* frame = new CCeMainFrame;

    WNDCLASSW wc;
    std::memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = StarterWndProc;
    wc.hInstance = hInstance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
    wc.lpszClassName = kClassName;
    RegisterClassW(&wc);

    HWND hWnd = CreateWindowExW(0, kClassName, kWindowTitle, WS_VISIBLE, 0, 0, 0, 0, nullptr, nullptr, hInstance,
                                nullptr);
    if (hWnd) {
        frame->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWL_USERDATA, reinterpret_cast<LONG_PTR>(frame));
        OutputDebugStringW(u" [INFO] Successfully Starter is Created!!\r\n");
        ShowWindow(hWnd, SW_HIDE);
        frame->InvokeMainLnchr();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    } else {
        // Without a window there is no loop to end; the device still has to boot.
        frame->InvokeMainLnchr();
    }

    delete frame;
    CloseHandle(hMutex);
    return 0;
}
