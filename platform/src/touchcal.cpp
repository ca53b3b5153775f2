// The touch calibration screen the platform module exports: five targets in turn (the centre, then the
// corners), one tap each, and the raw readings of the taps under HKLM "HARDWARE\DEVICEMAP\TOUCH".
#include <windows.h>

#include <mutex>

namespace {

const WCHAR kCalClass[] = u"QrxTouchCalibrate";
const WCHAR kTouchKey[] = u"HARDWARE\\DEVICEMAP\\TOUCH";
constexpr int kTargets = 5;
constexpr int kScreenWidth = 800, kScreenHeight = 480;
// The touch controller's readings span 12 bits over the screen.
constexpr int kRawSpan = 4096;
constexpr int kArm = 16;
constexpr DWORD kIdleMs = 60000;
constexpr UINT_PTR kIdleTimer = 1;
const POINT kPoints[kTargets] = {{400, 240}, {100, 60}, {100, 420}, {700, 420}, {700, 60}};

struct CalState {
    int next = 0;
    POINT raw[kTargets] = {};
    DWORD lastTap = 0;
    int result = 0;
    volatile bool ended = false;
};

CalState* StateOf(HWND hwnd) { return reinterpret_cast<CalState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

void End(HWND hwnd, int result) {
    CalState* s = StateOf(hwnd);
    if (!s || s->ended) return;
    s->result = result;
    s->ended = true;
}

void Paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    if (CalState* s = StateOf(hwnd); s && s->next < kTargets) {
        const POINT p = kPoints[s->next];
        SelectObject(dc, GetStockObject(WHITE_PEN));
        MoveToEx(dc, p.x - kArm, p.y, nullptr);
        LineTo(dc, p.x + kArm + 1, p.y);
        MoveToEx(dc, p.x, p.y - kArm, nullptr);
        LineTo(dc, p.x, p.y + kArm + 1);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        RECT text{0, kScreenHeight / 2 + 40, kScreenWidth, kScreenHeight / 2 + 80};
        DrawTextW(dc, u"Tap the centre of the cross. Esc cancels.", -1, &text, DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    EndPaint(hwnd, &ps);
}

LRESULT CALLBACK CalProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CalState* s = StateOf(hwnd);
    switch (msg) {
        case WM_PAINT:
            Paint(hwnd);
            return 0;
        case WM_LBUTTONUP:
            if (!s || s->next >= kTargets) return 0;
            s->raw[s->next].x = GET_X_LPARAM(lParam) * kRawSpan / kScreenWidth;
            s->raw[s->next].y = GET_Y_LPARAM(lParam) * kRawSpan / kScreenHeight;
            s->lastTap = GetTickCount();
            if (++s->next == kTargets) End(hwnd, 1);
            else InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_KEYDOWN:
            if (wParam == VK_ESCAPE) End(hwnd, 0);
            return 0;
        case WM_TIMER:
            // A minute of device time without a tap gives up.
            if (s && wParam == kIdleTimer && GetTickCount() - s->lastTap >= kIdleMs) End(hwnd, 0);
            return 0;
        case WM_CLOSE:
        case WM_DESTROY:
            End(hwnd, 0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

bool RegisterCalClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = CalProc;
        wc.lpszClassName = kCalClass;
        ok = RegisterClassW(&wc) != 0;
    });
    return ok;
}

bool WriteReadings(const POINT* raw) {
    WCHAR text[kTargets * 16 + 1];
    int used = 0;
    for (int i = 0; i < kTargets; ++i) {
        int n = swprintf(text + used, sizeof text / sizeof text[0] - used, u"%d,%d ", static_cast<int>(raw[i].x),
                         static_cast<int>(raw[i].y));
        if (n < 0) return false;
        used += n;
    }
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTouchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const LONG set = RegSetValueExW(key, u"CalibrationData", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                    static_cast<DWORD>((used + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return set == ERROR_SUCCESS;
}

}  // namespace

extern "C" int TouchCalibrate();

// 1 once the five readings are stored; 0 on Escape, a minute without a tap, or a failure.
extern "C" int TouchCalibrate() {
    if (!RegisterCalClass()) return 0;
    CalState state;
    state.lastTap = GetTickCount();
    HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, kCalClass, u"Touch calibration", WS_POPUP, 0, 0, kScreenWidth,
                                kScreenHeight, nullptr, nullptr, nullptr, nullptr);
    if (!hwnd) return 0;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    // In front before it shows: an Escape pressed as soon as it is seen must reach it.
    SetForegroundWindow(hwnd);
    SetFocus(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    SetTimer(hwnd, kIdleTimer, 1000, nullptr);
    qrx::RunModalLoop(nullptr, &state.ended);
    if (IsWindow(hwnd)) {
        KillTimer(hwnd, kIdleTimer);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
    return state.result == 1 && WriteReadings(state.raw) ? 1 : 0;
}
