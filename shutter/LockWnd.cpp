// The lock window: six keys over the whole screen, the taps of one pattern, and the verdict.
#include "shutter/LockWnd.h"

#include "ui/BoardIo.h"

namespace {

const WCHAR kPatternFile[] = u"\\NAND Flash\\LockDat.dat";
const WCHAR kMainClass[] = u"QRX_APPLICATION";
constexpr DWORD kWindowStyle = 0x10010000;  // WS_VISIBLE and 0x00010000
constexpr int kScreenWidth = 800;
constexpr int kScreenHeight = 480;

}  // namespace

void LockClickTone() {
    Tone(LOCK_TONE_HZ, TRUE);
    Sleep(LOCK_TONE_MS);
    Tone(LOCK_TONE_HZ, FALSE);
}

BOOL CLockBuffer::Make(HWND hWnd, int width, int height) {
    Free();
    HDC screen = ::GetDC(hWnd);
    m_hDC = CreateCompatibleDC(screen);
    m_hBitmap = m_hDC ? CreateCompatibleBitmap(screen, width, height) : nullptr;
    if (m_hBitmap) m_hOld = SelectObject(m_hDC, m_hBitmap);
    ReleaseDC(hWnd, screen);
    if (!m_hBitmap) Free();
    return m_hDC != nullptr;
}

void CLockBuffer::Free() {
    if (m_hDC) {
        if (m_hOld) SelectObject(m_hDC, m_hOld);
        DeleteDC(m_hDC);
    }
    if (m_hBitmap) DeleteObject(m_hBitmap);
    m_hDC = nullptr;
    m_hBitmap = nullptr;
    m_hOld = nullptr;
}

CLockWnd::CLockWnd(const LockCommand& command, CKitArchive* archive)
    : m_command(command), m_pArchive(archive), m_hWnd(nullptr) {}

CLockWnd::~CLockWnd() {
    if (m_hWnd) DestroyWindow(m_hWnd);
}

BOOL CLockWnd::Register(HINSTANCE hInstance) {
    WNDCLASSW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = hInstance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
    wc.lpszClassName = LOCK_CLASS;
    return ::RegisterClassW(&wc) != 0;
}

BOOL CLockWnd::Create(HINSTANCE hInstance) {
    if (!Open(hInstance)) return FALSE;
    const int answer = IsCheck() ? ShowPopupDialog(m_hWnd, LOCK_TEXT_CHECK_TITLE, LOCK_TEXT_CHECK_BODY)
                                 : ShowPopupDialog(m_hWnd, LOCK_TEXT_SET_TITLE, LOCK_TEXT_SET_BODY);
    if (answer == 1) {
        m_taps.Clear();
        return TRUE;
    }
    Finish(IsCheck() ? LOCK_ANSWER_CANCELLED : LOCK_ANSWER_SET_DONE);
    return FALSE;
}

BOOL CLockWnd::Open(HINSTANCE hInstance) {
    m_hWnd = CreateWindowExW(0, LOCK_CLASS, LOCK_CLASS, kWindowStyle, 0, 0, kScreenWidth, kScreenHeight, nullptr,
                             nullptr, hInstance, nullptr);
    if (!m_hWnd) return FALSE;
    SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetLockArchive(m_pArchive);
    if (m_pArchive) {
        // A picture that is missing leaves its part undrawn; the keys work all the same.
        m_pArchive->LoadBitmap(u"operation_lock.bmp", m_normal);
        m_pArchive->LoadBitmap(u"operation_lock_pre.bmp", m_pressed);
    }
    m_buffer.Make(m_hWnd, kScreenWidth, kScreenHeight);
    SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, kScreenWidth, kScreenHeight, SWP_SHOWWINDOW);
    UpdateWindow(m_hWnd);
    return TRUE;
}

void CLockWnd::OnPaint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    if (HDC buffer = m_buffer.GetDC()) {
        RECT all{0, 0, kScreenWidth, kScreenHeight};
        m_normal.Draw(buffer, &all, 0);
        BitBlt(dc, 0, 0, kScreenWidth, kScreenHeight, buffer, 0, 0, SRCCOPY);
    }
    EndPaint(m_hWnd, &ps);
}

void CLockWnd::DrawKey(int key, bool pressed) {
    if (key < 0 || key >= LOCK_KEY_COUNT || !m_hWnd) return;
    const RECT& r = g_LockKeys[key];
    HDC dc = GetDC(m_hWnd);
    (pressed ? m_pressed : m_normal).DrawPart(dc, &r, r.left, r.top);
    ReleaseDC(m_hWnd, dc);
}

void CLockWnd::OnPenDown(int x, int y) {
    const int key = m_taps.PenDown(x, y);
    if (key == LOCK_NO_KEY) return;
    SetCapture(m_hWnd);
    DrawKey(key, true);
    LockClickTone();
}

void CLockWnd::OnPenMove(int x, int y) {
    const int key = m_taps.PenMove(x, y);
    if (key == LOCK_NO_KEY) return;
    ReleaseCapture();
    DrawKey(key, false);
}

void CLockWnd::OnPenUp(int x, int y) {
    bool added = false;
    const int key = m_taps.PenUp(x, y, added);
    if (key == LOCK_NO_KEY) return;
    ReleaseCapture();
    DrawKey(key, false);
    if (added && m_taps.Full()) OnPatternDone();
}

void CLockWnd::OnPatternDone() {
    if (IsCheck()) {
        if (LockPatternMatches(kPatternFile, m_taps.Pattern())) {
            Finish(LOCK_ANSWER_UNLOCKED);
            return;
        }
        if (ShowPopupDialog(m_hWnd, LOCK_TEXT_WRONG_TITLE, LOCK_TEXT_WRONG_BODY) == 1) {
            m_taps.Clear();
            return;
        }
        Finish(LOCK_ANSWER_WRONG);
        return;
    }
    if (ShowPopupDialog(m_hWnd, LOCK_TEXT_CONFIRM_TITLE, LOCK_TEXT_CONFIRM_BODY) == 1 &&
        !WriteLockPattern(kPatternFile, m_taps.Pattern())) {
        OutputDebugStringW(u"[LOCK]Pattern not stored\r\n");
        ShowPopupDialog(m_hWnd, LOCK_TEXT_FAILED_TITLE, LOCK_TEXT_FAILED_BODY);
    }
    Finish(LOCK_ANSWER_SET_DONE);
}

void CLockWnd::Finish(int result) {
    m_taps.Clear();
    // Found by class: the main window's title is not its class name.
    if (HWND main = FindWindowW(kMainClass, nullptr)) SendMessageW(main, LOCK_SHELL_COMMAND, LOCK_SHELL, result);
    if (m_hWnd) DestroyWindow(m_hWnd);
}

LRESULT CALLBACK CLockWnd::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CLockWnd*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hWnd, msg, wParam, lParam);
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    switch (msg) {
        case WM_PAINT:
            self->OnPaint();
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_DESTROY:
            self->m_buffer.Free();
            self->m_hWnd = nullptr;
            SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
            PostQuitMessage(0);
            return 0;
        case WM_LBUTTONDOWN:
            self->OnPenDown(x, y);
            return 0;
        case WM_MOUSEMOVE:
            self->OnPenMove(x, y);
            return 0;
        case WM_LBUTTONUP:
            self->OnPenUp(x, y);
            return 0;
        default:
            return DefWindowProcW(hWnd, msg, wParam, lParam);
    }
}
