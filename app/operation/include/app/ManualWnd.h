// The manual page (shell 4): the set voltage, current and time of a Restoration or Discharge, edited
// with the arrows, the page keypad or (voltage) the keypad popup, on a private copy of the set-value
// record that a mode button writes back.
#pragma once
#include <windows.h>

#include "app/Settings.h"
#include "app/ValueEditors.h"

class CShellPanel;
class CUiCtrl;

// Controls of shell 4.
#define MANUAL_VOLT_BOX 0
#define MANUAL_VOLT_DOWN 1
#define MANUAL_VOLT_TEXT 2
#define MANUAL_VOLT_UP 3
#define MANUAL_AMP_BOX 4
#define MANUAL_AMP_DOWN 5
#define MANUAL_AMP_TEXT 6
#define MANUAL_AMP_UP 7
#define MANUAL_TIME_BOX 8
#define MANUAL_TIME_DOWN 9
#define MANUAL_TIME_TEXT 10
#define MANUAL_TIME_UP 11
#define MANUAL_RESTORATION 12
#define MANUAL_CANCEL 13
#define MANUAL_KEY_1 14      // keys 1..9 are 14..22
#define MANUAL_KEY_POINT 23
#define MANUAL_KEY_0 24
#define MANUAL_KEY_DELETE 25
#define MANUAL_ENTER 26
#define MANUAL_CALC 27
#define MANUAL_DISCHARGE 28
#define MANUAL_CONTROLS 29
#define MANUAL_CALC_ANSWER 100

// Time bounds of the arrows: 00:01 to 99:59.
#define MANUAL_MIN_SECONDS 60
#define MANUAL_MAX_SECONDS 359940

class CManualWnd {
public:
    CManualWnd(HWND owner, SettingsRecord* settings, OpModeRecord* opMode);
    ~CManualWnd();
    CManualWnd(const CManualWnd&) = delete;
    CManualWnd& operator=(const CManualWnd&) = delete;

    BOOL IsCreated() const { return m_pPanel != nullptr; }
    // 5 shows the page with the record's values, 0 hides it.
    void Show(int mode);
    BOOL IsShown() const { return m_bShown; }
    // A command of shell 4; event is the high half of the command word (2: auto-repeat; the tenths
    // of the keypad popup's answer 100).
    void OnCommand(int id, int event);
    // Told by the operation page before it shows this page.
    void SetRunFlags(int active, int restoration);
    // Where the attached unit's connection is read (current up to 200 A while connected); may be null.
    void SetUnitConnected(BOOL (*isConnected)(void*), void* context);

    const OpModeRecord& Working() const { return m_work; }
    int GetFocus() const { return m_nFocus; }
    // Milliseconds of the arrows' clock; tests move it by hand.
    DWORD (*m_pfnNow)();

private:
    void LoadTexts();
    void RefreshValues();
    void SetValueText(int box, const WCHAR* text);
    void SetFocusBox(int box);
    void Arrow(int id, int event);
    void PageKey(int key);
    void Enter();
    // The range message box; FALSE.
    BOOL RangeRefused(int key, double minimum, double maximum, const WCHAR* unit);
    BOOL CheckVoltage(double volts);
    BOOL UnitConnected() const;

    HWND m_hOwner;
    CShellPanel* m_pPanel;
    SettingsRecord* m_pSettings;
    OpModeRecord* m_pOpMode;
    OpModeRecord m_work;
    CPageKeypad m_keypad;
    int m_nFocus;  // 0 none, 1 voltage, 2 current, 3 time
    CArrowHold m_hold;
    int m_bRunActive;
    int m_bRunRestoration;
    int m_bShown;
    BOOL (*m_pfnUnitConnected)(void*);
    void* m_pUnitContext;
};
