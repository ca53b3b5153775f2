// The keypad popup: a dialog without controls that draws its keypad bitmap, follows the pen over
// the keys and runs the calculator. The dialog draws into a back buffer and copies the changed part
// to the window.
#include "numpad/Numpad.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "numpad/CeBitmap.h"
#include "numpad/NumpadCalc.h"
#include "qrx/dialogkit.h"
#include "ui/BoardIo.h"

namespace {

constexpr int kWidth = 265;
constexpr int kHeight = 364;
constexpr int kNoKey = NPK_KEYS;
constexpr UINT kToneTimer = 4096;
constexpr UINT kToneMs = 80;
constexpr DWORD kToneHz = 1046;
constexpr UINT kLayoutCommand = 1025;

// Key rectangles (left, top, right, bottom) by key number; the last is the display line.
const RECT kKeys[NPK_KEYS + 1] = {
    {8, 300, 70, 358},    {8, 239, 70, 297},    {71, 239, 133, 297},  {134, 239, 196, 297}, {8, 179, 70, 237},
    {71, 179, 133, 237},  {134, 179, 196, 237}, {8, 119, 70, 177},    {71, 119, 133, 177},  {134, 119, 196, 177},
    {8, 59, 70, 117},     {197, 239, 259, 297}, {197, 300, 259, 358}, {197, 59, 259, 117},  {134, 59, 196, 117},
    {197, 119, 259, 177}, {197, 179, 259, 237}, {71, 300, 133, 358},  {71, 59, 133, 117},   {134, 300, 196, 358},
    {17, 13, 249, 47}};
const RECT& kDisplay = kKeys[NPK_KEYS];

void Debug(const WCHAR* format, unsigned value = 0) {
    WCHAR line[96];
    swprintf(line, 96, format, value);
    OutputDebugStringW(line);
}

class CCePopupDlg {
public:
    CCePopupDlg(HWND parent, HWND notify, int id) : m_hParent(parent), m_hNotify(notify), m_nId(id) {}
    ~CCePopupDlg() { FreeBuffer(); }

    static INT_PTR CALLBACK DlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

private:
    void Init(HWND hDlg);
    void FreeBuffer();
    void Paint();
    // Copies a part of the back buffer to the window.
    void Show(const RECT& r);
    void DrawKey(int key, bool pressed);
    void DrawDisplay();
    void OnButtonDown(int x, int y);
    void OnMouseMove(int x, int y);
    void OnButtonUp(int x, int y);
    void Act(int key);
    void ToneOn();
    void ToneOff();

    HWND m_hDlg = nullptr;
    HWND m_hParent;
    HWND m_hNotify;
    int m_nId;
    CCeBitmap m_normal;
    CCeBitmap m_pressed;
    HDC m_hBuffer = nullptr;
    HBITMAP m_hBufferBitmap = nullptr;
    HGDIOBJ m_hBufferOld = nullptr;
    HFONT m_hFont = nullptr;
    HGDIOBJ m_hFontOld = nullptr;
    int m_nKey = kNoKey;
    int m_bTone = 0;
    CNumpadCalc m_calc;
};

void CCePopupDlg::Init(HWND hDlg) {
    m_hDlg = hDlg;
    HINSTANCE module = GetModuleHandleW(u"Numpad.dll");
    HDC screen = GetDC(hDlg);
    m_normal.LoadResource(module, screen, 101);
    m_pressed.LoadResource(module, screen, 102);
    // Without its picture the keypad keeps its size: a window of nothing could not be closed.
    int width = m_normal.IsEmpty() ? kWidth : m_normal.GetWidth();
    int height = m_normal.IsEmpty() ? kHeight : m_normal.GetHeight();
    MoveWindow(hDlg, 400 - width / 2, 240 - height / 2, width, height, FALSE);
    m_hBuffer = CreateCompatibleDC(screen);
    m_hBufferBitmap = m_hBuffer ? CreateCompatibleBitmap(m_hBuffer, kWidth, kHeight) : nullptr;
    if (m_hBufferBitmap) m_hBufferOld = SelectObject(m_hBuffer, m_hBufferBitmap);
    ReleaseDC(hDlg, screen);

    LOGFONTW lf{};
    lf.lfHeight = 32;
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = ANTIALIASED_QUALITY;
    std::memcpy(lf.lfFaceName, u"tahoma", sizeof u"tahoma");
    m_hFont = CreateFontIndirectW(&lf);
    if (m_hBuffer && m_hFont) m_hFontOld = SelectObject(m_hBuffer, m_hFont);
    if (m_hBuffer) {
        SetBkMode(m_hBuffer, TRANSPARENT);
        SetTextColor(m_hBuffer, RGB(255, 255, 255));
        RECT all{0, 0, kWidth, kHeight};
        m_normal.Draw(m_hBuffer, &all, 0);
    }
}

void CCePopupDlg::FreeBuffer() {
    if (m_hBuffer) {
        if (m_hFontOld) SelectObject(m_hBuffer, m_hFontOld);
        if (m_hBufferOld) SelectObject(m_hBuffer, m_hBufferOld);
        DeleteDC(m_hBuffer);
    }
    if (m_hBufferBitmap) DeleteObject(m_hBufferBitmap);
    if (m_hFont) DeleteObject(m_hFont);
    m_hBuffer = nullptr;
    m_hBufferBitmap = nullptr;
    m_hFont = nullptr;
    m_hBufferOld = m_hFontOld = nullptr;
}

void CCePopupDlg::Show(const RECT& r) {
    if (!m_hBuffer) return;
    HDC dc = GetDC(m_hDlg);
    BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, m_hBuffer, r.left, r.top, SRCCOPY);
    ReleaseDC(m_hDlg, dc);
}

void CCePopupDlg::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hDlg, &ps);
    if (m_hBuffer) {
        RECT all{0, 0, kWidth, kHeight};
        m_normal.Draw(m_hBuffer, &all, 0);
        if (m_nKey != kNoKey) m_pressed.DrawPart(m_hBuffer, &kKeys[m_nKey], kKeys[m_nKey].left, kKeys[m_nKey].top);
        DrawDisplay();
        BitBlt(dc, 0, 0, kWidth, kHeight, m_hBuffer, 0, 0, SRCCOPY);
    }
    EndPaint(m_hDlg, &ps);
}

void CCePopupDlg::DrawDisplay() {
    if (!m_hBuffer) return;
    m_normal.DrawPart(m_hBuffer, &kDisplay, kDisplay.left, kDisplay.top);
    WCHAR text[NP_ENTRY_SIZE + 1];
    int n = 0;
    for (const char* p = m_calc.DisplayText(); *p && n < NP_ENTRY_SIZE; ++p) text[n++] = static_cast<WCHAR>(*p);
    text[n] = 0;
    RECT r = kDisplay;
    DrawTextW(m_hBuffer, text, n, &r, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
}

void CCePopupDlg::DrawKey(int key, bool pressed) {
    if (key < 0 || key >= NPK_KEYS || !m_hBuffer) return;
    const RECT& r = kKeys[key];
    (pressed ? m_pressed : m_normal).DrawPart(m_hBuffer, &r, r.left, r.top);
    Show(r);
}

void CCePopupDlg::ToneOn() {
    if (m_bTone) return;
    KillTimer(m_hDlg, kToneTimer);
    Tone(kToneHz, TRUE);
    m_bTone = 1;
    SetTimer(m_hDlg, kToneTimer, kToneMs, nullptr);
}

void CCePopupDlg::ToneOff() {
    KillTimer(m_hDlg, kToneTimer);
    Tone(kToneHz, FALSE);
    m_bTone = 0;
}

// Inside a key means strictly inside its edges.
int KeyAt(int x, int y) {
    for (int k = 0; k < NPK_KEYS; ++k)
        if (kKeys[k].left < x && x < kKeys[k].right && kKeys[k].top < y && y < kKeys[k].bottom) return k;
    return kNoKey;
}

void CCePopupDlg::OnButtonDown(int x, int y) {
    int key = KeyAt(x, y);
    if (key == kNoKey) return;
    SetCapture(m_hDlg);
    ToneOn();
    m_nKey = key;
    DrawKey(key, true);
}

void CCePopupDlg::OnMouseMove(int x, int y) {
    if (m_nKey == kNoKey) return;
    const RECT& r = kKeys[m_nKey];
    if (x >= r.left && x <= r.right && y >= r.top && y <= r.bottom) return;
    ReleaseCapture();
    int key = m_nKey;
    m_nKey = kNoKey;
    DrawKey(key, false);
}

void CCePopupDlg::OnButtonUp(int x, int y) {
    ReleaseCapture();
    if (m_nKey == kNoKey) return;
    int key = m_nKey;
    m_nKey = kNoKey;
    DrawKey(key, false);
    if (KeyAt(x, y) == key) Act(key);
}

void CCePopupDlg::Act(int key) {
    switch (m_calc.Press(key)) {
        case CNumpadCalc::Redraw:
            DrawDisplay();
            Show(kDisplay);
            break;
        case CNumpadCalc::Insert:
            if (m_hNotify)
                SendMessageW(m_hNotify, kLayoutCommand, static_cast<WPARAM>(m_nId),
                             static_cast<LPARAM>((m_calc.GetAnswer() << 16) | NUMPAD_ANSWER_CONTROL));
            ToneOff();
            EndDialog(m_hDlg, 1);
            break;
        case CNumpadCalc::Off:
            ToneOff();
            EndDialog(m_hDlg, 1);
            break;
        default:
            break;
    }
}

INT_PTR CALLBACK CCePopupDlg::DlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CCePopupDlg*>(GetWindowLongPtrW(hDlg, GWLP_USERDATA));
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CCePopupDlg*>(lParam);
        SetWindowLongPtrW(hDlg, GWLP_USERDATA, lParam);
        self->Init(hDlg);
        InvalidateRect(hDlg, nullptr, FALSE);
        return 1;
    }
    if (!self) return 0;
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    switch (msg) {
        case WM_PAINT:
            self->Paint();
            return 1;
        case WM_CLOSE:
            EndDialog(hDlg, 0);
            self->ToneOff();
            Debug(u"[POP] OnClose (%X)\r\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(hDlg)));
            return 1;
        case WM_DESTROY:
            Debug(u"[POP] OnDestroy++++\r\n");
            self->FreeBuffer();
            SetWindowLongPtrW(hDlg, GWLP_USERDATA, 0);
            Debug(u"[POP] OnDestroy----\r\n");
            return 0;
        case WM_TIMER:
            self->ToneOff();
            return 0;
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
        case WM_LBUTTONDOWN:
            self->OnButtonDown(x, y);
            return 1;
        case WM_MOUSEMOVE:
            self->OnMouseMove(x, y);
            return 1;
        case WM_LBUTTONUP:
            self->OnButtonUp(x, y);
            return 1;
        default:
            return 0;
    }
}

}  // namespace

extern "C" int QRXNumpad_Create(HWND parent, HWND notify, int id) {
    auto* dlg = new (std::nothrow) CCePopupDlg(parent, notify, id);
    if (!dlg) return 0;
    const std::vector<WORD> tpl = BuildDialogTemplate(KitTemplate{u"POPUP_DIALOG", 0, 0, nullptr, 0, {}, WS_POPUP});
    INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(u"Numpad.dll"), reinterpret_cast<LPCDLGTEMPLATEW>(tpl.data()),
                                             parent, CCePopupDlg::DlgProc, reinterpret_cast<LPARAM>(dlg));
    OutputDebugStringW(u"[POP] ##########DialogBox Closed\r\n");
    delete dlg;
    return result == 1 ? 1 : 0;
}

extern "C" int QRXNumpad_Close() { return 1; }
