// Bitmap scroll bars: a vertical (bar 1) and a horizontal (bar 0) bar, standing alone as a layout
// control (type 4, or 18 for a slider without arrows) or embedded in a list that attaches itself as the
// target; and the progress bar (type 20): a track, a fill and a draggable thumb.
#pragma once
#include <windows.h>

#include <memory>

#include "ui/UiCtrl.h"

// The steps a repeat timer runs: first arrow, second arrow, page before, page after.
enum : UINT_PTR {
    SCROLL_REPEAT_FIRST = 1050,
    SCROLL_REPEAT_SECOND = 1051,
    SCROLL_REPEAT_PAGE_BEFORE = 1052,
    SCROLL_REPEAT_PAGE_AFTER = 1053,
};

enum { SCROLL_BAR_HORZ = 0, SCROLL_BAR_VERT = 1, SCROLL_BAR_BOTH = 3 };

// Events the notify hook receives.
enum {
    SCROLL_EVENT_FIRST = 0,  // first arrow, or a position set
    SCROLL_EVENT_SECOND = 1,
    SCROLL_EVENT_PAGE_BEFORE = 2,
    SCROLL_EVENT_PAGE_AFTER = 3,
    SCROLL_EVENT_THUMB_UP = 4,
    SCROLL_EVENT_THUMB_DRAG = 5,
};

// Parts of a bar, in the order of its pressed flags.
enum {
    SCROLL_PART_FIRST = 0,
    SCROLL_PART_SECOND = 1,
    SCROLL_PART_THUMB = 2,
    SCROLL_PART_BEFORE = 3,
    SCROLL_PART_AFTER = 4,
    SCROLL_PART_COUNT = 5,
};

// Bitmap slots of a bar.
enum {
    SCROLL_BMP_FIRST = 0,
    SCROLL_BMP_FIRST_PRESSED = 1,
    SCROLL_BMP_SECOND = 2,
    SCROLL_BMP_SECOND_PRESSED = 3,
    SCROLL_BMP_THUMB = 4,
    SCROLL_BMP_THUMB_PRESSED = 5,
    SCROLL_BMP_TRACK = 6,
    SCROLL_BMP_FILL = 7,
    SCROLL_BMP_COUNT = 8,
};

// Told of every change a user makes: nonzero accepts it, 0 refuses it and the old position comes back.
typedef int (*ScrollNotifyHook)(CUiCtrl* owner, int event, int oldPos, int bar);

struct ScrollBarState {
    int thickness = 0;
    int total = 0;
    int page = 0;
    int lineStep = 0;
    int pos = -1;
    int stopAtLastPage = 0;
    int showMode = 1;
    int wrap = 0;
    int pressed[SCROLL_PART_COUNT] = {};
    int heldInside[SCROLL_PART_COUNT] = {};
    std::unique_ptr<CUiBitmap> bitmaps[SCROLL_BMP_COUNT];
};

class CScrollBarCtrl : public CUiCtrl {
public:
    CScrollBarCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    // For the lists that embed a bar and attach themselves.
    explicit CScrollBarCtrl(CShellPanel* panel);
    ~CScrollBarCtrl() override;

    // Per bar (1 vertical, 0 horizontal); any other bar does nothing and gives 0.
    int GetPos(int bar) const;
    // The old position. With notify the moved thumb is redrawn and the hook told (event 0); a refusal
    // puts the old position back.
    virtual int SetPos(int bar, int pos, BOOL notify);
    int GetTotal(int bar) const;
    // Whether the bar is needed (0 < page < total); a change of that, or a total of 0, ends a press.
    int SetTotal(int bar, int total, BOOL redraw);
    int GetPageSize(int bar) const;
    void SetPageSize(int bar, int page);
    int GetLineStep(int bar) const;
    void SetLineStep(int bar, int step);
    // Nonzero shows the bar always; negative also centres the thumb when nothing scrolls.
    void SetShowMode(int bar, int mode);
    int GetShowMode(int bar) const;
    void SetStopAtLastPage(int bar, int on);
    int GetStopAtLastPage(int bar) const;
    void SetWrap(int bar, int on);
    int GetWrap(int bar) const;
    // Jump mode: a track press moves straight to the pen instead of paging.
    void SetJumpMode(int on) { m_nJumpMode = on; }
    int GetJumpMode() const { return m_nJumpMode; }
    int GetThickness(int bar) const;
    // -1 none, 1 vertical only, 0 horizontal only, 3 both.
    int GetBarsPresent() const { return m_nBars; }
    BOOL IsBarPresent(int bar) const;
    // Shown mode or something to scroll; says nothing about the bitmaps.
    BOOL IsBarShown(int bar) const;
    CUiBitmap* GetBarBitmap(int bar, int slot) const;

    // "vsbimgs" (bar 1) and "hsbimgs" (bar 0): first arrow, first arrow pressed, second arrow, second
    // arrow pressed, thumb, thumb pressed, track. Whether the bar is usable.
    BOOL SetBarImages(const WCHAR* const names[7], int bar);

    // The embedding control: the bar draws into its window within its rectangle, and tells owner
    // through hook (null: the default hook, which runs the owner's command).
    void Attach(CUiCtrl* target, CUiCtrl* owner, ScrollNotifyHook hook);
    CUiCtrl* GetTarget() const { return m_pTarget; }

    // Frees the marks, zeroes total, page and step and clears the position; which 1, 0 or 3 (both).
    void Reset(int which);
    // The rectangle less the shown bars.
    void GetClientArea(RECT* rc) const;

    // Geometry in the drawing window; all false/empty when the bar is not laid out.
    BOOL GetBarRect(int bar, RECT* rc) const;
    BOOL GetTrackRect(int bar, RECT* rc) const;
    BOOL GetThumbRect(int bar, RECT* rc) const;
    BOOL GetPartRect(int bar, int part, RECT* rc) const;
    // The position a pen at x, y on the bar stands for.
    int PosFromPoint(int bar, int x, int y) const;

    // Nonzero while a part of either bar is pressed; the part's flag.
    BOOL IsPartPressed(int bar, int part) const;
    BOOL IsPartHeldInside(int bar, int part) const;
    // The running repeat (SCROLL_REPEAT_*), 0 when none.
    UINT_PTR GetRepeatKind() const { return m_repeatKind; }
    // The timer id the repeat runs under, 0 when none.
    UINT_PTR GetRepeatTimer() const { return m_repeatKind ? m_repeatId : 0; }

    BOOL IsCapturingPen() const override;
    BOOL CancelPress() override;
    int ExecCommand(int event, int sel) override;
    HWND GetWnd() const override;
    void GetRect(RECT* rc, BOOL relative) const override;
    void Destroy() override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;
    int OnTimer(UINT_PTR id, LPARAM lParam) override;

protected:
    // The hook's answer, for the pen handler's restore rule.
    int Notify(int event, int oldPos, int bar);
    // Whether the hook's answer may refuse a change.
    virtual BOOL HonoursRefusal() const { return TRUE; }
    virtual BOOL HasArrows() const { return TRUE; }
    // Stores a position the pen chose and redraws what moved.
    void MoveTo(int bar, int pos);
    // One user step: set, tell, restore on refusal. FALSE when the answer closed the page, and with it
    // this bar: the caller must not touch it again.
    BOOL UserMove(int bar, int pos, int event);
    int StepArrow(int bar, BOOL second) const;
    int StepPage(int bar, BOOL after) const;
    int LastPos(int bar) const;
    BOOL BarUsable(int bar) const;
    void InvalidateThumbs(int bar, const RECT& oldThumb);
    void InvalidatePart(int bar, int part);
    void DrawTrack(HDC dc, int bar, const POINT& origin, int end);
    void DrawBarText(HDC dc, int bar, const POINT& origin);
    void DrawThumb(HDC dc, int bar, const POINT& origin);
    void StartRepeat(UINT_PTR kind);
    void StopRepeat();
    BOOL RepeatStep(int bar, UINT_PTR kind);
    ScrollBarState* Bar(int bar);
    const ScrollBarState* Bar(int bar) const;
    // Along-the-bar extents: the track's start and length, and the thumb's length.
    BOOL TrackSpan(int bar, int* start, int* length, int* thumbLength) const;
    int ThumbOffset(int bar) const;
    void FinishPress(int bar, int part);

    ScrollBarState m_bars[2];  // [0] vertical (bar 1), [1] horizontal (bar 0)
    CUiCtrl* m_pTarget;
    CUiCtrl* m_pOwner;
    ScrollNotifyHook m_pHook;
    int m_nBars;
    int m_nJumpMode;
    UINT_PTR m_repeatKind;
    UINT_PTR m_repeatId;
    HWND m_hRepeatWnd;
    BOOL m_bCaptured;

private:
    static void CALLBACK RepeatTimerProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD time);
    void InitBars();
};

class CProgressBar : public CScrollBarCtrl {
public:
    CProgressBar(const LayoutControlRecord* record, CShellPanel* panel);
    ~CProgressBar() override;

    // No hook: stores, redraws the whole control when asked, returns the old position.
    int SetPos(int bar, int pos, BOOL redraw) override;
    // "vpbimgs" (bar 1) and "hpbimgs" (bar 0). Whether the track and either the thumb or the fill loaded.
    BOOL SetBarImages(const WCHAR* track, const WCHAR* fill, const WCHAR* thumb, const WCHAR* thumbPressed, int bar);
    // "vpinverse": the vertical fill runs from the thumb down to the bottom.
    void SetInverse(int on) { m_nInverse = on; }
    int GetInverse() const { return m_nInverse; }

    void OnPaint(HDC dc) override;

protected:
    BOOL HonoursRefusal() const override { return FALSE; }
    BOOL HasArrows() const override { return FALSE; }

private:
    void DrawFill(HDC dc, int bar, const POINT& origin);

    int m_nInverse;
};

// Factory entries: the control from its record, with "vsbimgs", "hsbimgs" (types 4 and 18) or
// "vpbimgs", "hpbimgs", "vpinverse" (type 20) read from script when given.
CUiCtrl* NewScrollBar(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                      int control);
CUiCtrl* NewProgressBar(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                        int control);
