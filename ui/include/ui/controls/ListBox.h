// The list of layout type 3: rows of up to three texts with an optional icon, check box and picture,
// laid out in a grid of one or more items per line, a single selection and a vertical scroll bar
// embedded in the control. The file browser derives from it.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "ui/UiCtrl.h"
#include "ui/controls/ScrollBar.h"

class CLayoutScript;
class CListBoxCtrl;

// Attribute bit of a folder row: it never shows a check box.
enum : DWORD { LIST_ITEM_FOLDER = 0x10 };

// Events the list reports through ExecCommand; a check box reports its row + LIST_EVENT_CHECK.
enum { LIST_EVENT_SELECT = 1, LIST_EVENT_DBLCLICK = 2, LIST_EVENT_CHECK = 10, LIST_EVENT_SCROLL = 11 };

// Longest row text kept, without its terminator.
constexpr int kListTextMax = MAX_PATH - 1;

struct ListItem {
    DWORD check;        // non-zero checked
    HICON icon;         // owned by the row (DestroyIcon); the small picture before the text
    DWORD flags;        // file attribute bits
    LONG color;         // 0x00BBGGRR, -1 for the control's colours
    WCHAR image[MAX_PATH];
    WCHAR text1[MAX_PATH];
    WCHAR text2[MAX_PATH];
    WCHAR text3[MAX_PATH];
    CUiBitmap* normal;    // not owned
    CUiBitmap* selected;  // not owned
};

// Negative, zero or positive as the new row sorts before, with or after the existing one.
typedef int (*ListCompareProc)(CListBoxCtrl* list, const ListItem* newItem, const ListItem* item);

class CListBoxCtrl : public CUiCtrl {
public:
    CListBoxCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    ~CListBoxCtrl() override;

    // Layout setters. h below 1 is refused (-1); else h.
    int SetItemHeight(int h);
    void SetLineStep(int n, BOOL redraw);
    void SetImageColumn(int w, BOOL redraw);
    void SetCheckColumn(int mode, BOOL redraw);
    void SetDisplayMode(int mode) { m_nDisplayMode = mode; }
    void SetAlwaysShowBar(int mode);
    void SetSortMode(int mode) { m_nSortMode = mode; }
    // The seven bar images: up arrow, up pressed, down arrow, down pressed, thumb, thumb pressed, track.
    // Whether the bar is usable.
    BOOL SetScrollImages(const WCHAR* const names[7]);
    BOOL SetCheckImages(const WCHAR* unchecked, const WCHAR* checked);
    BOOL SetItemImage(const WCHAR* name, BOOL transparent, COLORREF key);
    // Relative to the view area; an empty rectangle uses the whole view area.
    void SetListRect(const RECT* rc);
    void SetCellSpacing(int horizontal, int vertical);
    void SetKeepSelection(BOOL on) { m_bKeepSel = on ? 1 : 0; }
    BOOL GetKeepSelection() const { return m_bKeepSel; }

    // The new row's index, -1 when no memory.
    int AddItem(const WCHAR* text1, const WCHAR* text2, const WCHAR* text3, BOOL redraw, LONG color, BOOL sorted);
    // Copies at most size - 1 characters of text1 (buffer may be null); the full length, or -1.
    int GetItemText(int i, WCHAR* buffer, int size) const;
    int GetItemCheck(int i) const;
    int SetItemCheck(int i, int state, BOOL redraw, const WCHAR* name);
    int SetCurSel(int i, BOOL redraw, BOOL notify, const WCHAR* name);
    int GetCurSel() const { return m_nSel; }
    int GetCount() const { return static_cast<int>(m_items.size()); }
    int GetItemHeight() const { return m_nItemHeight; }
    int GetLineStep() const { return m_nLineStep; }
    int GetSortMode() const { return m_nSortMode; }
    int GetDisplayMode() const { return m_nDisplayMode; }
    void SetCompareProc(ListCompareProc proc) { m_pCompare = proc; }
    virtual void DeleteAllItems(BOOL redraw);

    // For lists that fill their own rows: inserts a row made by NewItem by the insertion walk from
    // start (taking it over); its index.
    int InsertItem(ListItem* item, int start);
    static ListItem* NewItem();
    static void DeleteItem(ListItem* item);
    const ListItem* GetItem(int i) const;
    ListItem* GetItem(int i);

    // The embedded bar.
    int GetTopIndex() const;
    int GetPageSize() const;
    BOOL IsBarShown() const;
    CScrollBarCtrl* GetScrollBar() const { return m_pBar.get(); }
    // Scrolls so that row i is the first one; reports the step like the bar does.
    void SetTopIndex(int i, BOOL redraw);
    // The row under x, y (pen coordinates), -1 for none; onCheck tells a hit on its check box.
    int HitTest(int x, int y, BOOL* onCheck) const;
    // The rectangle of the row's cell in pen coordinates; FALSE when it is not fully visible.
    BOOL GetItemRect(int i, RECT* rc) const;
    BOOL IsPressed() const { return m_bPressed; }

    BOOL Create(DWORD style, DWORD exStyle) override;
    void Move(int x, int y, int w, int h, BOOL relativeToPanel) override;
    BOOL Show(BOOL show) override;
    BOOL IsCapturingPen() const override;
    BOOL CancelPress() override;
    void Destroy() override;
    void EraseBack(HDC dc) override;
    void OnPaint(HDC dc) override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;
    int OnTimer(UINT_PTR id, LPARAM lParam) override;

protected:
    // Pen handling; with out non-null the selection and double-click events are stored there (1 or 2)
    // instead of being issued.
    int HandlePen(int msg, int x, int y, int* out);

private:
    int Compare(const ListItem* newItem, const ListItem* item);
    static int DefaultCompare(CListBoxCtrl* list, const ListItem* newItem, const ListItem* item);
    void RowsRect(RECT* rc) const;   // relative to the control
    int CellWidth(const RECT& rows) const;
    BOOL CellRect(int i, const RECT& rows, RECT* rc) const;
    int VisibleCount() const;
    BOOL IsItemVisible(int i) const;
    void RepaintItem(int i);
    void Redraw();
    void CutHeight();
    void UpdatePage();
    void SetBarTotal(int total);
    void ToggleCheck(int i);
    void Select(int i, int msg, int* out);
    BOOL ShortenedText(const ListItem* item, WCHAR* out) const;
    // Painting.
    void PaintRows(HDC dc);
    void PaintItem(HDC dc, int i, const RECT& cell, const RECT& rows);
    int PaintLeading(HDC dc, const ListItem* item, BOOL selected, const RECT& cell);
    void PaintItemText(HDC dc, const ListItem* item, BOOL selected, const RECT& rc);
    void PaintRowPicture(HDC dc, const ListItem* item, BOOL selected, RECT& cell);
    CUiBitmap* RowPicture(const WCHAR* name, int slot);
    void StopScrollText();
    // The notify hook of the embedded bar; owner is the list.
    static int OnBarScroll(CUiCtrl* owner, int event, int oldPos, int bar);
    // Whether a pen event at x, y goes to the bar first.
    BOOL BarTakesPen(int x, int y) const;
    // Keeps the bar's position within its last page.
    void ClampTop();

    std::vector<ListItem*> m_items;
    int m_nSel;
    BOOL m_bKeepSel;
    BOOL m_bPressed;
    int m_nItemHeight;
    int m_nFullHeight;
    int m_nLineStep;
    int m_nImageColumn;
    int m_nCheckColumn;
    int m_nDisplayMode;
    int m_nSortMode;
    ListCompareProc m_pCompare;
    RECT m_rcList;
    int m_nGapX, m_nGapY;
    int m_nLastTop;
    std::unique_ptr<CUiBitmap> m_itemImage;
    std::unique_ptr<CUiBitmap> m_checkImages[2];
    std::vector<std::unique_ptr<CUiBitmap>> m_rowPictures;
    std::unique_ptr<CScrollBarCtrl> m_pBar;
    int m_nLastDownItem;
    DWORD m_dwLastDown;
};

// The list keys shared by both list types, "vsbimgs" to "previewmargin", in the script's order.
void ReadListKeys(CListBoxCtrl* list, CLayoutScript* script, int page, int control);
// The factory entry of type 3: the list with its extra keys read from the script.
CUiCtrl* NewListBox(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                    int control);
