// Layout type 19: a row of columns, each with a level from 0 to the level count, set by dragging a
// column's knob or pressing above or below it. Every change is offered to a change hook that may
// refuse it.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "ui/UiCtrl.h"

class CLayoutScript;

// Non-zero accepts the change.
typedef int (*BarGraphHook)(void* owner, int column, int newLevel, int oldLevel);

// Text-style bits that reserve the label row below or above the columns.
enum : LONG { BARGRAPH_LABEL_BELOW = 0x04, BARGRAPH_LABEL_ABOVE = 0x08 };

class CBarGraphCtrl : public CUiCtrl {
public:
    CBarGraphCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CBarGraphCtrl() override;

    using CUiCtrl::SetImages;
    // Knob, pressed knob, column bar; returns 1.
    BOOL SetImages(const WCHAR* knob, const WCHAR* pressed, const WCHAR* bar);
    // Both counts at least 1 (else -1 and nothing changes); every level starts at 0. 0.
    int SetColumns(int columns, int levels);
    int GetColumns() const { return m_nColumns; }
    int GetLevels() const { return m_nLevels; }
    // -1 for a column or level out of range; 0. Redraws with the last column only.
    int SetLevel(int column, int level);
    int GetLevel(int column) const;
    int GetPicked() const { return m_nPicked; }
    void SetChangeHook(void* owner, BarGraphHook hook);
    int GetAllowance() const { return m_nAllowance; }
    // The knob's rectangle of a column at its level, in pen coordinates; FALSE without one.
    BOOL GetKnobRect(int column, RECT* rc) const;

    BOOL CancelPress() override;
    BOOL IsCapturingPen() const override { return m_bKnob || m_bAbove || m_bBelow; }
    int ExecCommand(int arg, int sel) override;
    void OnCreate() override;
    void Destroy() override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;

private:
    static int DefaultHook(void* owner, int column, int newLevel, int oldLevel);
    float Unit(const RECT& rc) const;
    float Pitch(const RECT& rc) const;
    int KnobLeft(const RECT& rc, int column) const;
    int KnobTop(const RECT& rc, int level) const;
    int LevelAt(const RECT& rc, int y) const;
    // Sets the level under the pen on the picked column and offers it to the hook; FALSE when the page
    // went away meanwhile.
    BOOL ApplyLevel(int level);

    int m_nColumns;
    int m_nLevels;
    std::vector<int> m_levels;
    int m_nAllowance;
    std::unique_ptr<CUiBitmap> m_knob, m_knobPressed, m_bar;
    int m_nPicked;
    BOOL m_bKnob, m_bAbove, m_bBelow;
    void* m_pHookOwner;
    BarGraphHook m_pHook;
};

CUiCtrl* NewBarGraph(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                     int control);
