#include "PairpadDlg.h"

#include <algorithm>

namespace {

const WCHAR kAddressFile[] = u"\\NAND Flash\\PeerAddr.dat";
const WCHAR kPendingFile[] = u"\\NAND Flash\\PeerAddr.dat.tmp";

constexpr short kKeyW = 59, kKeyH = 50;
constexpr short kColumns[6] = {5, 70, 135, 201, 265, 331};

bool Exists(const WCHAR* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

KitItem Key(const WCHAR* text, WORD id, int column, short y) {
    return {WC_BUTTONW, text, id, BS_PUSHBUTTON | WS_TABSTOP, kColumns[column], y, kKeyW, kKeyH};
}

}  // namespace

const KitTemplate& PairpadTemplate() {
    static const KitTemplate t{
        u"",
        399,
        226,
        u"Tahoma",
        9,
        {{WC_EDITW, u"", IDC_STORED, WS_BORDER, 7, 15, 137, 30},
         {WC_EDITW, u"", IDC_TYPED, WS_BORDER, 147, 15, 138, 30},
         {WC_BUTTONW, u"EXIT", IDC_EXIT, BS_PUSHBUTTON | WS_TABSTOP, 290, 5, 100, 50},
         Key(u"1", 1001, 0, 60), Key(u"2", 1002, 1, 60), Key(u"3", 1003, 2, 60), Key(u"4", 1004, 3, 60),
         Key(u"5", 1005, 4, 60), Key(u"6", 1006, 5, 60),
         Key(u"7", 1007, 0, 115), Key(u"8", 1008, 1, 115), Key(u"9", 1009, 2, 115), Key(u"0", IDC_KEY_0, 3, 115),
         Key(u"A", 1010, 4, 115), Key(u"B", 1011, 5, 115),
         Key(u"C", 1012, 0, 170), Key(u"D", 1013, 1, 170), Key(u"E", 1014, 2, 170), Key(u"F", 1015, 3, 170),
         Key(u"BS", IDC_BACKSPACE, 4, 170), Key(u"SAVE", IDC_SAVE, 5, 170)},
        WS_POPUP | DS_MODALFRAME | DS_CENTER};
    return t;
}

void ReadStoredAddress(char (&out)[CBtAddressDlg::kDigits + 1]) {
    std::memset(out, 0, sizeof out);
    if (!Exists(kAddressFile) && Exists(kPendingFile)) MoveFileW(kPendingFile, kAddressFile);
    HANDLE f = CreateFileW(kAddressFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD got = 0;
    if (!ReadFile(f, out, CBtAddressDlg::kDigits, &got, nullptr)) got = 0;
    out[std::min<DWORD>(got, CBtAddressDlg::kDigits)] = 0;
    CloseHandle(f);
}

bool WriteStoredAddress(const char (&digits)[CBtAddressDlg::kDigits]) {
    HANDLE f = CreateFileW(kPendingFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(f, digits, CBtAddressDlg::kDigits, &written, nullptr) && written == CBtAddressDlg::kDigits &&
              FlushFileBuffers(f);
    ok = CloseHandle(f) && ok;
    if (ok && Exists(kAddressFile)) ok = DeleteFileW(kAddressFile) != FALSE;
    if (!ok) {
        DeleteFileW(kPendingFile);  // the old file is still there
        return false;
    }
    // Should the rename fail, the next start finishes it.
    return MoveFileW(kPendingFile, kAddressFile) != FALSE;
}

CBtAddressDlg::CBtAddressDlg() : CKitDialog(PairpadTemplate()) {}

CBtAddressDlg::~CBtAddressDlg() {
    if (m_font) DeleteObject(m_font);
}

// The address font: Tahoma 35 bold, smaller only where the face drawn in its place would not fit 12
// digits into the field, so that an address is always read whole.
HFONT CBtAddressDlg::MakeAddressFont() {
    RECT field{0, 0, 0, 0};
    ::GetClientRect(GetDlgItem(IDC_TYPED), &field);
    HDC dc = CreateCompatibleDC(nullptr);
    for (int height = kFontHeight;; --height) {
        HFONT font = CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, 32, u"Tahoma");
        HGDIOBJ old = SelectObject(dc, font);
        LONG widest = 0;
        for (const char16_t* c = u"0123456789ABCDEF"; *c; ++c) {
            SIZE size{0, 0};
            GetTextExtentPoint32W(dc, c, 1, &size);
            widest = std::max(widest, size.cx);
        }
        SelectObject(dc, old);
        if (height <= kFontHeight / 2 || widest * kDigits + kFieldMargin <= field.right) {
            DeleteDC(dc);
            return font;
        }
        DeleteObject(font);
    }
}

BOOL CBtAddressDlg::OnInitDialog() {
    m_font = MakeAddressFont();
    SendDlgItemMessage(IDC_STORED, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    SendDlgItemMessage(IDC_TYPED, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    m_count = 0;
    ReadStoredAddress(m_stored);
    WCHAR shown[kDigits + 1] = {};
    for (int i = 0; i < kDigits && m_stored[i]; ++i) shown[i] = static_cast<unsigned char>(m_stored[i]);
    SetDlgItemText(IDC_STORED, shown);
    SetTimer(kTopmostTimer, 500);
    return TRUE;
}

void CBtAddressDlg::ShowTyped() {
    WCHAR text[kDigits + 1] = {};
    for (int i = 0; i < m_count; ++i) text[i] = static_cast<unsigned char>(m_typed[i]);
    SetDlgItemText(IDC_TYPED, text);
}

LRESULT CBtAddressDlg::OnKey(WORD, WORD id, HWND, BOOL&) {
    if (m_count >= kDigits) return 0;
    char c = id == IDC_KEY_0 ? '0' : id >= IDC_KEY_A ? static_cast<char>('A' + (id - IDC_KEY_A))
                                                     : static_cast<char>('1' + (id - IDC_KEY_1));
    m_typed[m_count++] = c;
    ShowTyped();
    return 0;
}

LRESULT CBtAddressDlg::OnBackspace(WORD, WORD, HWND, BOOL&) {
    if (m_count > 0) {
        --m_count;
        ShowTyped();
    }
    return 0;
}

LRESULT CBtAddressDlg::OnSave(WORD, WORD, HWND, BOOL&) {
    if (m_count != kDigits)
        ShowBox(u"Please fill 12 numbers", u"Error");
    else if (WriteStoredAddress(m_typed))
        ShowBox(u"Success", u"Notice");
    else
        ShowBox(u"Can't write file", u"Error");
    return 0;
}

LRESULT CBtAddressDlg::OnExit(WORD, WORD, HWND, BOOL&) {
    EndDialog(IDOK);
    return 0;
}

LRESULT CBtAddressDlg::OnTimer(UINT, WPARAM id, LPARAM, BOOL& handled) {
    if (id != kTopmostTimer) {
        handled = FALSE;
        return 0;
    }
    if (!(GetWindowLongW(m_hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST))
        SetWindowPos(HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    return 0;
}
