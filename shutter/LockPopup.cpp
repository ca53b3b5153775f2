// The lock's popup: a modal dialog without controls that draws its background, a title, a body and
// two kit buttons, and ends with the button released on.
#include <cstring>
#include <new>
#include <vector>

#include "app/Language.h"
#include "kit/CeButton.h"
#include "kit/KitLanguage.h"
#include "qrx/dialogkit.h"
#include "shutter/LockWnd.h"

namespace {

constexpr int kTitleChars = 128;
constexpr int kBodyChars = 512;
const RECT kTitleRect = {5, 4, 375, 56};
const RECT kBodyRect = {20, 70, 359, 190};
const RECT kOkRect = {47, 198, 157, 269};
const RECT kCancelRect = {197, 198, 307, 269};

CKitArchive* g_pArchive = nullptr;

class CLockPopup {
public:
    CLockPopup(int title, int body);
    static INT_PTR CALLBACK DlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

private:
    void Init(HWND hDlg);
    void MakeButton(CCeButton& button, const RECT& rc, UINT id, int text, const WCHAR* caption,
                    const std::vector<BYTE>& normal, const std::vector<BYTE>& pressed);
    void Paint();
    void DrawText(const WCHAR* text, const RECT& rc, int height, UINT format);
    void OnPenDown(int x, int y);
    void OnPenMove(int x, int y);
    void OnPenUp(int x, int y);

    HWND m_hDlg = nullptr;
    CCeBitmap m_background;
    CCeButton m_ok;
    CCeButton m_cancel;
    CCeButton* m_pPressed = nullptr;
    int m_nWidth = LOCK_POPUP_WIDTH;
    int m_nHeight = LOCK_POPUP_HEIGHT;
    CLockBuffer m_buffer;
    WCHAR m_szTitle[kTitleChars];
    WCHAR m_szBody[kBodyChars];
};

CLockPopup::CLockPopup(int title, int body) {
    // Cut to the buffers; a missing text stays empty.
    m_szTitle[0] = m_szBody[0] = 0;
    CopyLangText(LOCK_SHELL, title, m_szTitle, kTitleChars);
    CopyLangText(LOCK_SHELL, body, m_szBody, kBodyChars);
    ExpandLangBreaks(m_szBody);
}

void CLockPopup::MakeButton(CCeButton& button, const RECT& rc, UINT id, int text, const WCHAR* caption,
                            const std::vector<BYTE>& normal, const std::vector<BYTE>& pressed) {
    button.Create(m_hDlg, rc, id, TRUE, FALSE, 0, CEBUTTON_NO_TONE | CEBUTTON_WHITE_CAPTION);
    button.SetImage(normal.data(), static_cast<DWORD>(normal.size()), pressed.data(),
                    static_cast<DWORD>(pressed.size()), caption);
    button.SetFont(GetLangFontFace(), 20, RGB(255, 255, 255), RGB(255, 255, 255));
    WCHAR label[CEBUTTON_CAPTION_CHARS + 1];
    if (CopyLangText(LOCK_SHELL, text, label, CEBUTTON_CAPTION_CHARS + 1)) button.SetCaption(label);
}

void CLockPopup::Init(HWND hDlg) {
    m_hDlg = hDlg;
    std::vector<BYTE> normal, pressed;
    if (g_pArchive) {
        g_pArchive->LoadBitmap(u"popup_bg.bmp", m_background);
        g_pArchive->Read(u"popup_btn_nor.bmp", normal);
        g_pArchive->Read(u"popup_btn_pre.bmp", pressed);
    }
    MakeButton(m_ok, kOkRect, LOCK_POPUP_OK, LOCK_TEXT_OK, u"OK", normal, pressed);
    MakeButton(m_cancel, kCancelRect, LOCK_POPUP_CANCEL, LOCK_TEXT_CANCEL, u"CANCEL", normal, pressed);
    // Without its background the popup keeps its size: a window of nothing under a full-screen
    // topmost program could never be answered.
    if (!m_background.IsEmpty()) {
        m_nWidth = m_background.GetWidth();
        m_nHeight = m_background.GetHeight();
    }
    SetWindowPos(hDlg, HWND_TOPMOST, 400 - m_nWidth / 2, 240 - m_nHeight / 2, m_nWidth, m_nHeight, SWP_SHOWWINDOW);
    m_buffer.Make(hDlg, m_nWidth, m_nHeight);
}

void CLockPopup::DrawText(const WCHAR* text, const RECT& rc, int height, UINT format) {
    LOGFONTW lf{};
    lf.lfHeight = height;
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = ANTIALIASED_QUALITY;
    QrxStrCopy(lf.lfFaceName, LF_FACESIZE, GetLangFontFace());
    HFONT font = CreateFontIndirectW(&lf);
    HDC buffer = m_buffer.GetDC();
    HGDIOBJ old = font ? SelectObject(buffer, font) : nullptr;
    RECT r = rc;
    ::DrawTextW(buffer, text, -1, &r, format);
    if (font) {
        SelectObject(buffer, old);
        DeleteObject(font);
    }
}

void CLockPopup::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hDlg, &ps);
    if (HDC buffer = m_buffer.GetDC()) {
        RECT all{0, 0, m_nWidth, m_nHeight};
        FillRect(buffer, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        m_background.Draw(buffer, &all, 0);
        SetBkMode(buffer, TRANSPARENT);
        SetTextColor(buffer, RGB(255, 255, 255));
        DrawText(m_szTitle, kTitleRect, 24, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        DrawText(m_szBody, kBodyRect, 20, DT_CENTER | DT_WORDBREAK);
        m_ok.Draw(buffer);
        m_cancel.Draw(buffer);
        BitBlt(dc, 0, 0, m_nWidth, m_nHeight, buffer, 0, 0, SRCCOPY);
    }
    EndPaint(m_hDlg, &ps);
}

void CLockPopup::OnPenDown(int x, int y) {
    CCeButton* hit = m_ok.HitTest(x, y) ? &m_ok : m_cancel.HitTest(x, y) ? &m_cancel : nullptr;
    if (!hit) return;
    (hit == &m_ok ? m_cancel : m_ok).Reset(TRUE);
    hit->OnLButtonDown(x, y);
    m_pPressed = hit;
    SetCapture(m_hDlg);
    LockClickTone();
}

void CLockPopup::OnPenMove(int x, int y) {
    if (m_pPressed && m_pPressed->OnMouseMove(x, y)) m_pPressed = nullptr;
}

void CLockPopup::OnPenUp(int x, int y) {
    CCeButton* pressed = m_pPressed;
    m_pPressed = nullptr;
    ReleaseCapture();
    if (!pressed) return;
    if (pressed->OnLButtonUp(x, y)) {
        EndDialog(m_hDlg, pressed == &m_ok ? 1 : 2);
        return;
    }
    pressed->Reset(TRUE);
}

INT_PTR CALLBACK CLockPopup::DlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CLockPopup*>(GetWindowLongPtrW(hDlg, GWLP_USERDATA));
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CLockPopup*>(lParam);
        SetWindowLongPtrW(hDlg, GWLP_USERDATA, lParam);
        self->Init(hDlg);
        InvalidateRect(hDlg, nullptr, FALSE);
        return 1;
    }
    if (!self) return 0;
    (void)wParam;
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    switch (msg) {
        case WM_PAINT:
            self->Paint();
            return 1;
        case WM_CLOSE:
            EndDialog(hDlg, 0);
            return 1;
        case WM_DESTROY:
            self->m_buffer.Free();
            SetWindowLongPtrW(hDlg, GWLP_USERDATA, 0);
            return 0;
        case WM_TIMER:
            return 1;
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
        case WM_LBUTTONDOWN:
            self->OnPenDown(x, y);
            return 1;
        case WM_MOUSEMOVE:
            self->OnPenMove(x, y);
            return 1;
        case WM_LBUTTONUP:
            self->OnPenUp(x, y);
            return 1;
        default:
            return 0;
    }
}

}  // namespace

void SetLockArchive(CKitArchive* archive) { g_pArchive = archive; }

int ShowPopupDialog(HWND parent, int title, int body) {
    auto* popup = new (std::nothrow) CLockPopup(title, body);
    if (!popup) return 0;
    const std::vector<WORD> tpl = BuildDialogTemplate(KitTemplate{u"POPUP_DIALOG", 0, 0, nullptr, 0, {}, WS_POPUP});
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(tpl.data()),
                                                   parent, CLockPopup::DlgProc, reinterpret_cast<LPARAM>(popup));
    delete popup;
    return result == 1 || result == 2 ? static_cast<int>(result) : 0;
}
