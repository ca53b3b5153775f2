// Trimset's dialog (template 102, "Calibration Tool"): the MCU's calibration values, the buttons of
// the calibration commands and of a short run, and a keypad for the entry fields.
#pragma once
#include <windows.h>

#include "qrx/dialogkit.h"
#include "trimset/CalCore.h"

#define WM_MCU_PORT_REOPEN 1324
#define WM_CAL_PORT_FAILED 0x1407  // shown once the dialog is up

// Template 102.
const KitTemplate& CalibrationTemplate();

class CCalibrationDlg : public CKitDialog {
public:
    CCalibrationDlg();
    ~CCalibrationDlg() override;

    BOOL OnInitDialog() override;
    CCalTool& Tool() { return m_tool; }
    // 1324 went to the main program (once, when the dialog went away).
    BOOL PortHandedBack() const { return m_handedBack; }
    // The main program gets its port back: a dialog that never came up does it here.
    void HandBackPort();

    BEGIN_MSG_MAP(CCalibrationDlg)
        COMMAND_RANGE_CODE_HANDLER(IDC_CAL_KEY1, IDC_CAL_CLR, BN_CLICKED, OnKey)
        COMMAND_CODE_HANDLER(EN_SETFOCUS, OnFieldFocus)
        COMMAND_HANDLER(IDC_CAL_EXIT, BN_CLICKED, OnExit)
        COMMAND_CODE_HANDLER(BN_CLICKED, OnButton)
        NOTIFY_CODE_HANDLER(UDN_DELTAPOS, OnSpin)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_RANGE_HANDLER(WM_CAL_EEPROM_WRITTEN, WM_CAL_AMP_SCALE, OnReplyBox)
        MESSAGE_HANDLER(WM_CAL_VALUES, OnValues)
        MESSAGE_HANDLER(WM_CAL_PORT_FAILED, OnPortFailed)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

protected:
    // The tool's message boxes; tests record them.
    virtual int ShowBox(LPCWSTR text, UINT type) { return MessageBox(text, u"Calibration Tool", type); }
    // The screen board's revision.
    virtual double BoardRevision();

private:
    LRESULT OnKey(WORD, WORD id, HWND, BOOL&);
    LRESULT OnFieldFocus(WORD, WORD id, HWND, BOOL&);
    LRESULT OnButton(WORD, WORD id, HWND, BOOL&);
    LRESULT OnExit(WORD, WORD, HWND, BOOL&);
    LRESULT OnSpin(int, LPNMHDR, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnReplyBox(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnValues(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPortFailed(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    void ShowField(int target);

    CCalTool m_tool;
    BOOL m_handedBack = FALSE;
};
