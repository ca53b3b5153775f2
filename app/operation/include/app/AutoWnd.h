// The auto page (shell 16): a six-step program computed from the battery's voltage, capacity, type and
// rate; OK computes it from the facts shown and writes it into the set-value record to run.
#pragma once
#include <windows.h>

#include "app/AutoProgram.h"
#include "app/Settings.h"
#include "app/ValueEditors.h"

class CShellPanel;

// Controls of shell 16.
#define AUTO_OK 0
#define AUTO_CANCEL 1
#define AUTO_CALC 2
#define AUTO_VOLT_DOWN 3
#define AUTO_VOLT_UP 4
#define AUTO_CAP_DOWN 5
#define AUTO_CAP_UP 6
#define AUTO_TYPE 7
#define AUTO_STEP_TITLE_1 8   // 8..13
#define AUTO_RESULT_1 17      // 17..22
#define AUTO_VOLT_TEXT 23
#define AUTO_CAP_TEXT 24
#define AUTO_RATE 27
// Sent by the setting page when the attached unit answers (event 1).
#define AUTO_CMD_UNIT 100

class CAutoWnd {
public:
    CAutoWnd(HWND owner, OpModeRecord* opMode);
    ~CAutoWnd();
    CAutoWnd(const CAutoWnd&) = delete;
    CAutoWnd& operator=(const CAutoWnd&) = delete;

    BOOL IsCreated() const { return m_pPanel != nullptr; }
    // 5 shows the page with the stored facts, 0 hides it.
    void Show(int mode);
    BOOL IsShown() const { return m_bShown; }
    void OnCommand(int id, int event);
    // The six steps from the page's facts.
    void ComputeProgram();
    void SetUnitConnected(BOOL (*isConnected)(void*), void* context);

    const AutoRecord& Record() const { return m_record; }
    const ProgramStep* Steps() const { return m_steps; }
    DWORD (*m_pfnNow)();

private:
    void LoadTexts();
    void RefreshFacts();
    void ShowResults(BOOL computed);
    void Arrow(int id, int event);

    HWND m_hOwner;
    CShellPanel* m_pPanel;
    OpModeRecord* m_pOpMode;
    AutoRecord m_record;
    ProgramStep m_steps[6];
    CArrowHold m_hold;
    int m_bShown;
    BOOL (*m_pfnUnitConnected)(void*);
    void* m_pUnitContext;
};
