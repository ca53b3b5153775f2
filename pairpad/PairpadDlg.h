// The Bluetooth address editor: a hexadecimal keypad on which the operator types the 12 digits of the
// peer the Bluetooth module connects to, saved to "\NAND Flash\PeerAddr.dat" (12 ASCII digits, no
// terminator), which the Bluetooth library reads at its start.
#pragma once
#include <windows.h>

#include "qrx/dialogkit.h"

#define IDC_SAVE 1000
#define IDC_KEY_1 1001     // "1".."9" are 1001..1009
#define IDC_KEY_A 1010     // "A".."F" are 1010..1015
#define IDC_BACKSPACE 1016
#define IDC_EXIT 1017
#define IDC_TYPED 1018
#define IDC_STORED 1019
#define IDC_KEY_0 1020

// Template 102.
const KitTemplate& PairpadTemplate();

class CBtAddressDlg : public CKitDialog {
public:
    static constexpr int kDigits = 12;
    static constexpr UINT_PTR kTopmostTimer = 4096;

    CBtAddressDlg();
    ~CBtAddressDlg() override;

    BOOL OnInitDialog() override;

    BEGIN_MSG_MAP(CBtAddressDlg)
        COMMAND_RANGE_CODE_HANDLER(IDC_KEY_1, IDC_KEY_A + 5, BN_CLICKED, OnKey)
        COMMAND_HANDLER(IDC_KEY_0, BN_CLICKED, OnKey)
        COMMAND_HANDLER(IDC_BACKSPACE, BN_CLICKED, OnBackspace)
        COMMAND_HANDLER(IDC_SAVE, BN_CLICKED, OnSave)
        COMMAND_HANDLER(IDC_EXIT, BN_CLICKED, OnExit)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
    END_MSG_MAP()

protected:
    // The message boxes of the tool, OK only.
    virtual int ShowBox(LPCWSTR text, LPCWSTR caption) { return MessageBox(text, caption, MB_OK); }

private:
    LRESULT OnKey(WORD, WORD id, HWND, BOOL&);
    LRESULT OnBackspace(WORD, WORD, HWND, BOOL&);
    LRESULT OnSave(WORD, WORD, HWND, BOOL&);
    LRESULT OnExit(WORD, WORD, HWND, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    void ShowTyped();
    HFONT MakeAddressFont();

    static constexpr int kFontHeight = 35;
    static constexpr LONG kFieldMargin = 10;  // the edit's own margins and caret

    char m_stored[kDigits + 1] = {};
    char m_typed[kDigits] = {};  // no terminator: m_count says how many
    int m_count = 0;
    HFONT m_font = nullptr;
};

// The stored address: up to 12 bytes of PeerAddr.dat (a save cut between removing the old file and
// renaming the new one is finished first). Empty when there is none.
void ReadStoredAddress(char (&out)[CBtAddressDlg::kDigits + 1]);
// Writes the 12 digits to a temporary file, checks the write and the close, then puts it in place of
// the old file; false leaves the old file as it was.
bool WriteStoredAddress(const char (&digits)[CBtAddressDlg::kDigits]);
