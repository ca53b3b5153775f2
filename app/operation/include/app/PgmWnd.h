// The program page (shell 5): the six steps of the set-value record on a private copy, each enabled
// or opened in the step editor (shell 6); five stored programs loaded into it or saved from it. OK
// writes the steps back.
#pragma once
#include <windows.h>

#include "app/ProgramStore.h"
#include "app/Settings.h"
#include "app/ValueEditors.h"

class CShellPanel;
class CUiCtrl;

// Controls of shell 5: row n holds 7n..7n+6.
#define PGM_ROW_CONTROLS 7
#define PGM_ROW_BUTTON 0
#define PGM_ROW_ENABLE 1
#define PGM_ROW_VOLTAGE 2
#define PGM_ROW_CURRENT 3
#define PGM_ROW_TIME 4
#define PGM_ROW_DIRECTION 5
#define PGM_ROW_KIND 6
#define PGM_OK 42
#define PGM_CANCEL 43
#define PGM_SLOT_1 44  // slots 1..5 are 44..48
#define PGM_SAVE 49
// The admin page's clear.
#define PGM_CMD_CLEAR 1000

// Controls of shell 6.
#define PGMSET_VOLT_BOX 0
#define PGMSET_VOLT_DOWN 1
#define PGMSET_VOLT_TEXT 2
#define PGMSET_VOLT_UP 3
#define PGMSET_AMP_BOX 4
#define PGMSET_AMP_DOWN 5
#define PGMSET_AMP_TEXT 6
#define PGMSET_AMP_UP 7
#define PGMSET_TIME_BOX 8
#define PGMSET_TIME_DOWN 9
#define PGMSET_TIME_TEXT 10
#define PGMSET_TIME_UP 11
#define PGMSET_DIRECTION 12
#define PGMSET_DIRECTION_TEXT 13
#define PGMSET_KIND_BOX 14
#define PGMSET_KIND_TEXT 15
#define PGMSET_OK 16
#define PGMSET_CANCEL 17
#define PGMSET_KEY_1 18  // keys 1..9 are 18..26
#define PGMSET_KEY_POINT 27
#define PGMSET_KEY_0 28
#define PGMSET_KEY_DELETE 29
#define PGMSET_ENTER 30
#define PGMSET_CALC 31
#define PGMSET_CAPACITY_BOX 32
#define PGMSET_CAPACITY_TEXT 33
#define PGMSET_CALC_ANSWER 100

// The editor's fields.
#define PGMSET_FIELD_NONE 0
#define PGMSET_FIELD_VOLTAGE 1
#define PGMSET_FIELD_CURRENT 2
#define PGMSET_FIELD_TIME 3
#define PGMSET_FIELD_KIND 4
#define PGMSET_FIELD_CAPACITY 5

// The new text of a store that could not be written ([shell12]).
#define PGM_SAVE_FAILED_KEY 46

typedef BOOL (*PFN_UNIT_CONNECTED)(void* context);

class CPgmSetWnd {
public:
    CPgmSetWnd(HWND owner, SettingsRecord* settings);
    ~CPgmSetWnd();
    CPgmSetWnd(const CPgmSetWnd&) = delete;
    CPgmSetWnd& operator=(const CPgmSetWnd&) = delete;

    BOOL IsCreated() const { return m_pPanel != nullptr; }
    // 5 edits step (kept until OK writes it back), 0 hides.
    void Show(int mode, ProgramStep* step = nullptr);
    BOOL IsShown() const { return m_bShown; }
    // A command of shell 6; event is the high half of the command word.
    void OnCommand(int id, int event);
    void SetUnitConnected(PFN_UNIT_CONNECTED isConnected, void* context);

    const ProgramStep& Working() const { return m_work; }
    int GetFocus() const { return m_nFocus; }
    // Milliseconds of the arrows' clock; tests move it by hand.
    DWORD (*m_pfnNow)();

private:
    void LoadTexts();
    void Refresh();
    void SetText(int control, const WCHAR* text);
    void SetFocusField(int field);
    void Arrow(int id, int event);
    void PageKey(int key);
    void Enter();
    void ToggleDirection();
    BOOL RangeRefused(int key, double minimum, double maximum, const WCHAR* unit);
    BOOL CheckVoltage(double volts);
    BOOL UnitConnected() const;
    BOOL IsDischarge() const { return m_work.dwDirection == 1; }

    HWND m_hOwner;
    CShellPanel* m_pPanel;
    SettingsRecord* m_pSettings;
    ProgramStep m_work;
    ProgramStep* m_pStep;
    CPageKeypad m_keypad;
    int m_nTypedKind;
    int m_nFocus;
    CArrowHold m_hold;
    int m_bShown;
    PFN_UNIT_CONNECTED m_pfnUnitConnected;
    void* m_pUnitContext;
};

class CPgmWnd {
public:
    CPgmWnd(HWND owner, SettingsRecord* settings, OpModeRecord* opMode, const WCHAR* storePath = kPgmStoreFile);
    ~CPgmWnd();
    CPgmWnd(const CPgmWnd&) = delete;
    CPgmWnd& operator=(const CPgmWnd&) = delete;

    BOOL IsCreated() const { return m_pPanel != nullptr; }
    // 5 shows the record's steps, 0 hides the page and the editor.
    void Show(int mode);
    BOOL IsShown() const { return m_bShown; }
    // Commands of shells 5 and 6.
    void OnCommand(int shell, int id, int event);

    BOOL LoadPgmFile();
    BOOL SavePgmFile();

    CPgmSetWnd* Editor() const { return m_pEditor; }
    const OpModeRecord& Working() const { return m_work; }
    const ProgramSlot& Slot(int index) const { return m_slots[index]; }
    int GetSaveMode() const { return m_bSaveMode; }

private:
    void LoadTexts();
    void RefreshRow(int row);
    void RefreshRows();
    void SetSaveMode(int on);
    void ToggleEnable(int row);
    void OnSlot(int index);

    HWND m_hOwner;
    CShellPanel* m_pPanel;
    CPgmSetWnd* m_pEditor;
    SettingsRecord* m_pSettings;
    OpModeRecord* m_pOpMode;
    OpModeRecord m_work;
    ProgramSlot m_slots[PGM_SLOT_COUNT];
    int m_nEditing;  // -1 none
    int m_bSaveMode;
    int m_bShown;
    const WCHAR* m_pszStore;
};
