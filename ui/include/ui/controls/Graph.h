// The time graph (layout type 25): up to five measurement channels against time, one sample per second
// per channel, a time axis in pages of 30 minutes and three value axes. The operation thread adds
// samples, the graph thread pages and zooms, the UI thread paints: one process-local lock guards the
// sample store and the retained drawing, and the system-wide semaphore "GRAPH_SEMAPORE" serialises
// setup, clearing, paging, axes, scales and zoom between all graphs.
#pragma once
#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

#include "ui/UiCtrl.h"

enum : int {
    GRAPH_PAGE_SECONDS = 1800,
    GRAPH_DIVISIONS = 15,
    GRAPH_UNIT_MAX = 8,            // unit text with its terminator
    GRAPH_MAX_CHANNELS = 16,
    GRAPH_MAX_LENGTH = 4000000,    // samples per channel
};

// AddData results.
enum : int {
    GRAPH_ADD_NONE = 0,      // stored without paging (or nothing stored: wrong count, store full)
    GRAPH_ADD_NEWPAGE = 2,   // the view moved on
    GRAPH_ADD_LASTSLOT = 3,  // the last slot of the view was filled
};

// Zoom modes.
enum : int { GRAPH_ZOOM_PAGE = 0, GRAPH_ZOOM_4PAGES = 1, GRAPH_ZOOM_ALL = 2 };

struct GraphAxis {
    int base;
    int perDivision;
    WCHAR unit[GRAPH_UNIT_MAX];
    COLORREF color;
    DWORD pixelsPerUnit;  // x 1 000 000
    int offset;           // the negated base
};

class CGraphCtrl : public CUiCtrl {
public:
    CGraphCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CGraphCtrl() override;

    // n channels of length samples each, colours[n + 1] (the last is the marker record's).
    BOOL SetChannels(int n, int length, const COLORREF* colours);
    // words[n]: non-zero draws the channel.
    void SetChannelFlags(const DWORD* words);
    void Freeze();
    void Unfreeze();
    BOOL IsFrozen() const;
    int GetSampleCount() const;
    int GetChannelCount() const;
    int GetLength() const;
    // The stored sample, -1 outside the store.
    int GetSample(int record, int index) const;

    // samples[n + 1]; GRAPH_ADD_* (0 also when n is wrong or the store is full).
    int AddData(const int* samples, int n, BOOL redraw);
    // Bulk load without paging or painting; 0 when n is wrong or the store is full.
    BOOL PutData(const int* samples, int n);
    void ClearData();
    void SetPage(int page);
    int GetPage() const;
    int GetFurthestPage() const;
    void SetFurthestPage(int page);

    void SetAxis1(int base, int perDivision, const WCHAR* unit, COLORREF color, BOOL clear);
    void SetAxis2(int base, int perDivision, const WCHAR* unit, COLORREF color, BOOL clear);
    void SetAxis3(int base, int perDivision, const WCHAR* unit, COLORREF color);
    // axis 1..3; a copy taken under the lock.
    GraphAxis GetAxis(int axis) const;
    void ComputeScales();
    // The mode in force; clearData empties the store afterwards (callers pass 0).
    int SetZoom(BOOL clearData, int mode);
    int GetSpan() const;
    int GetGrid() const;

    // Where sample index i and value s (tenths) of the channel are drawn, in control coordinates.
    int PointX(int index) const;
    int PointY(int channel, int sample) const;

    // Without a rectangle: marks the graph for painting; painted at once only on the window's thread.
    void Invalidate(const RECT* rc, BOOL erase) override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;

private:
    struct Channel {
        std::unique_ptr<WORD[]> samples;
        HPEN pen = nullptr;
    };

    void SetAxis(int axis, int base, int perDivision, const WCHAR* unit, COLORREF color);
    void FreeStore();
    void FreeStoreLocked();
    void ClearDataLocked();
    BOOL StoreLocked(const int* samples);
    // Full or newest-segment repaint: into the retained buffer under the lock, then the window is
    // marked for painting (painted at once on the window's own thread).
    void Repaint();
    BOOL EnsureBuffer();
    void FreeBuffer();
    void RenderFull();
    void RenderFrame(HDC dc);
    // Draws every visible channel over samples [from, to) (to exclusive).
    void DrawRange(HDC dc, int from, int to, BOOL fromPageStart);
    void DrawChannel(HDC dc, int channel, int from, int to, BOOL fromPageStart);
    void CatchUp();
    int AxisOf(int channel) const;
    int XOf(int index) const;
    int YOf(int axis, int sample) const;
    void TakeSemaphore();
    void GiveSemaphore();
    void MarkDirty();

    mutable std::recursive_mutex m_lock;
    int m_bFrozen;
    int m_nFurthestPage;
    int m_nFirstPage;
    HANDLE m_hSem;
    int m_nLabelHeight;
    int m_nSpan;
    int m_nGrid;
    int m_nDivisions;
    GraphAxis m_axes[3];
    COLORREF m_crFrame;
    COLORREF m_crGrid;
    int m_nMarginLeft, m_nMarginRight, m_nMarginTop, m_nMarginBottom;
    int m_bFullRedraw;
    HDC m_hGraphDC;
    HBITMAP m_hGraphBmp;
    HGDIOBJ m_hGraphOld;
    int m_nBufW, m_nBufH;
    HFONT m_hLabelFont;
    int m_nCount;
    int m_nLength;
    std::vector<Channel> m_channels;
    std::vector<DWORD> m_visible;
    int m_nIndex;
    int m_nDrawn;  // samples below this index are in the retained drawing of the current page
    int m_nPlotLeft, m_nPlotBottom, m_nPlotWidth, m_nPlotHeight;
    double m_dSecondsToPixels;
    DWORD m_dwSecondsToPixels;  // x 1 000 000
};

// The factory entry of type 25 (no extra keys).
CUiCtrl* NewGraph(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                  int control);
