#include "ui/controls/ListBox.h"

#include <algorithm>
#include <new>
#include <string>

#include "ui/FileUtil.h"
#include "ui/LayoutScript.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/controls/ControlUtil.h"

namespace {

constexpr int kSmallIcon = 16;
constexpr int kMarqueeGap = 15;
constexpr UINT kMarqueePeriod = 500;
constexpr DWORD kDoubleClickTime = 500;
constexpr int kGridInset = 3;
constexpr int kMaxRowHeight = 8192;
constexpr int kMaxLineStep = 1024;

BOOL HasSize(const CUiBitmap* bitmap) { return bitmap && bitmap->GetWidth() > 0 && bitmap->GetHeight() > 0; }

BOOL InRect(const RECT& rc, int x, int y) { return x >= rc.left && x < rc.right && y >= rc.top && y < rc.bottom; }

void FillColor(HDC dc, const RECT& rc, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    if (!brush) return;
    FillRect(dc, &rc, brush);
    DeleteObject(brush);
}

// Draws bitmap at x, y cut to the clip rectangle.
void DrawClipped(HDC dc, CUiBitmap* bitmap, int x, int y, const RECT& clip) {
    if (HasSize(bitmap)) bitmap->DrawClipped(dc, x, y, clip);
}

int TextWidth(HDC dc, const WCHAR* text, int length) {
    SIZE size{0, 0};
    if (length > 0) GetTextExtentPoint32W(dc, text, length, &size);
    return size.cx;
}

// The name with "_SEL" before its extension, or appended without one.
void SelectedName(const WCHAR* name, WCHAR* out) {
    std::u16string text(name);
    size_t slash = text.find_last_of(u"\\/");
    size_t dot = text.find_last_of(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) dot = text.size();
    text.insert(dot, u"_SEL");
    QrxStrCopy(out, MAX_PATH, text.c_str());
}

// The list's bar: a plain scroll bar control without a layout record of its own.
class CEmbeddedBar : public CScrollBarCtrl {
public:
    explicit CEmbeddedBar(CShellPanel* panel) : CScrollBarCtrl(panel) { m_dwId = (m_dwId & 0xFFFF0000u) | 4; }
};

}  // namespace

// Rows

ListItem* CListBoxCtrl::NewItem() {
    ListItem* item = new (std::nothrow) ListItem;
    if (!item) return nullptr;
    *item = ListItem{};
    return item;
}

void CListBoxCtrl::DeleteItem(ListItem* item) {
    if (!item) return;
    if (item->icon) DestroyIcon(item->icon);
    delete item;
}

CListBoxCtrl::CListBoxCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel),
      m_nSel(-1),
      m_bKeepSel(1),
      m_bPressed(0),
      m_nItemHeight(-1),
      m_nFullHeight(m_h),
      m_nLineStep(1),
      m_nImageColumn(0),
      m_nCheckColumn(0),
      m_nDisplayMode(0),
      m_nSortMode(0),
      m_pCompare(&CListBoxCtrl::DefaultCompare),
      m_rcList{0, 0, 0, 0},
      m_nGapX(0),
      m_nGapY(0),
      m_nLastTop(-1),
      m_pBar(std::make_unique<CEmbeddedBar>(panel)),
      m_nLastDownItem(-1),
      m_dwLastDown(0) {
    // Attached at once, so that the layout setters and a list that is never created find it in place.
    // The bar stays visible: the list only paints it and hands it the pen while the list itself shows.
    m_pBar->Attach(this, this, &CListBoxCtrl::OnBarScroll);
    m_pBar->SetSound(m_nSndKind, m_szSndName);
    // The rows end with the last page: positions past it would show empty lines.
    m_pBar->SetStopAtLastPage(SCROLL_BAR_VERT, 1);
}

CListBoxCtrl::~CListBoxCtrl() { CListBoxCtrl::Destroy(); }

void CListBoxCtrl::Destroy() {
    for (ListItem* item : m_items) DeleteItem(item);
    m_items.clear();
    m_nSel = -1;
    m_rowPictures.clear();
    m_pBar->Destroy();
    CUiCtrl::Destroy();
}

const ListItem* CListBoxCtrl::GetItem(int i) const {
    return (i >= 0 && i < GetCount()) ? m_items[static_cast<size_t>(i)] : nullptr;
}

ListItem* CListBoxCtrl::GetItem(int i) { return (i >= 0 && i < GetCount()) ? m_items[static_cast<size_t>(i)] : nullptr; }

int CListBoxCtrl::DefaultCompare(CListBoxCtrl* list, const ListItem* newItem, const ListItem* item) {
    int mode = list ? list->m_nSortMode : 0;
    if (mode == 0) return 1;
    int r = _wcsicmp(newItem->text1, item->text1);
    return mode > 0 ? r : -r;
}

int CListBoxCtrl::Compare(const ListItem* newItem, const ListItem* item) {
    return m_pCompare ? m_pCompare(this, newItem, item) : 0;
}

int CListBoxCtrl::InsertItem(ListItem* item, int start) {
    if (!item) return -1;
    int count = GetCount();
    int at = count;
    if (count > 0) {
        int last = count - 1;
        int i = std::clamp(start, 0, last);
        int previous = i;
        // Every step moves one way until the direction turns, so the walk ends within count steps.
        for (int guard = 0; guard <= count + 1; ++guard) {
            int r = Compare(item, m_items[static_cast<size_t>(i)]);
            if (r == 0) {
                at = i == last ? count : i;
                break;
            }
            if (r < 0) {
                if (i == 0) {
                    at = 0;
                    break;
                }
                if (previous < i) {
                    at = i;
                    break;
                }
                previous = i;
                --i;
            } else {
                if (i == last) {
                    at = count;
                    break;
                }
                if (previous > i) {
                    at = previous;
                    break;
                }
                previous = i;
                ++i;
            }
        }
    }
    try {
        m_items.insert(m_items.begin() + at, item);
    } catch (const std::bad_alloc&) {
        DeleteItem(item);
        return -1;
    }
    if (m_nSel >= at) ++m_nSel;
    m_nLastTop = -1;
    SetBarTotal(GetCount());
    return at;
}

int CListBoxCtrl::AddItem(const WCHAR* text1, const WCHAR* text2, const WCHAR* text3, BOOL redraw, LONG color,
                          BOOL sorted) {
    ListItem* item = NewItem();
    if (!item) return -1;
    // Row texts are cut to what a row holds.
    QrxStrCopy(item->text1, MAX_PATH, text1 ? text1 : u"");
    QrxStrCopy(item->text2, MAX_PATH, text2 ? text2 : u"");
    QrxStrCopy(item->text3, MAX_PATH, text3 ? text3 : u"");
    item->color = color;
    int at;
    if (sorted) {
        at = InsertItem(item, GetCount() - 1);
    } else {
        try {
            m_items.insert(m_items.begin(), item);
        } catch (const std::bad_alloc&) {
            DeleteItem(item);
            return -1;
        }
        if (m_nSel >= 0) ++m_nSel;
        m_nLastTop = -1;
        SetBarTotal(GetCount());
        at = 0;
    }
    if (at < 0 || !redraw) return at;
    int top = GetTopIndex();
    bool shown = at < top + VisibleCount();
    if (shown || (m_bKeepSel && m_nSel < 0)) Redraw();
    return at;
}

int CListBoxCtrl::GetItemText(int i, WCHAR* buffer, int size) const {
    if (buffer && size > 0) buffer[0] = 0;
    const ListItem* item = GetItem(i);
    if (!item) return -1;
    if (buffer && size > 0) QrxStrCopy(buffer, static_cast<size_t>(size), item->text1);
    return static_cast<int>(wcslen(item->text1));
}

int CListBoxCtrl::GetItemCheck(int i) const {
    const ListItem* item = GetItem(i);
    return item ? static_cast<int>(item->check) : 0;
}

namespace {

int FindByName(const std::vector<ListItem*>& items, const WCHAR* name) {
    for (size_t k = 0; k < items.size(); ++k)
        if (_wcsicmp(items[k]->image, name) == 0) return static_cast<int>(k);
    return -1;
}

}  // namespace

int CListBoxCtrl::SetItemCheck(int i, int state, BOOL redraw, const WCHAR* name) {
    if (name && name[0]) i = FindByName(m_items, name);
    ListItem* item = GetItem(i);
    if (!item) return -1;
    item->check = static_cast<DWORD>(state);
    if (redraw && IsItemVisible(i)) RepaintItem(i);
    return i;
}

int CListBoxCtrl::SetCurSel(int i, BOOL redraw, BOOL notify, const WCHAR* name) {
    if (name && name[0]) i = FindByName(m_items, name);
    if (!GetItem(i)) return -1;
    int old = m_nSel;
    m_nSel = i;
    int top = GetTopIndex();
    if (i >= top + VisibleCount()) {
        int next = i - GetPageSize() + 1;
        if (next >= 0 && next < GetCount()) m_pBar->SetPos(SCROLL_BAR_VERT, next, FALSE);
    } else if (i < top) {
        m_pBar->SetPos(SCROLL_BAR_VERT, i, FALSE);
    }
    StopScrollText();
    if (redraw && (old != i || top != GetTopIndex())) Redraw();
    else if (redraw) RepaintItem(i);
    if (notify) ExecCommand(LIST_EVENT_SELECT, -2);
    return i;
}

void CListBoxCtrl::DeleteAllItems(BOOL redraw) {
    StopScrollText();
    for (ListItem* item : m_items) DeleteItem(item);
    m_items.clear();
    m_nSel = -1;
    // A tap on a new row is no second tap of the old one.
    m_nLastDownItem = -1;
    SetBarTotal(0);
    if (redraw) Redraw();
}

// Layout

int CListBoxCtrl::SetItemHeight(int h) {
    // A row must be at least one pixel high: every page and grid computation divides by it.
    if (h < 1) return -1;
    m_nItemHeight = std::min(h, kMaxRowHeight);
    CutHeight();
    return m_nItemHeight;
}

void CListBoxCtrl::CutHeight() {
    int h = m_nFullHeight;
    if (m_nItemHeight > 0 && h >= m_nItemHeight) h = h / m_nItemHeight * m_nItemHeight;
    m_h = h;
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, m_w, m_h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    UpdatePage();
}

void CListBoxCtrl::UpdatePage() {
    int lines = m_nItemHeight > 0 ? m_h / m_nItemHeight : 0;
    m_pBar->SetPageSize(SCROLL_BAR_VERT, std::max(lines * m_nLineStep, 0));
    m_pBar->SetLineStep(SCROLL_BAR_VERT, m_nLineStep);
    ClampTop();
}

void CListBoxCtrl::ClampTop() {
    int total = m_pBar->GetTotal(SCROLL_BAR_VERT);
    if (total <= 0) return;
    int last = std::max(total - GetPageSize(), 0);
    int pos = std::clamp(m_pBar->GetPos(SCROLL_BAR_VERT), 0, last);
    // GetPos hides a cleared position: store always so that a list that got rows has a real one.
    m_pBar->SetPos(SCROLL_BAR_VERT, pos, FALSE);
}

void CListBoxCtrl::SetLineStep(int n, BOOL redraw) {
    m_nLineStep = std::clamp(n, 1, kMaxLineStep);
    UpdatePage();
    if (redraw) Redraw();
}

void CListBoxCtrl::SetImageColumn(int w, BOOL redraw) {
    m_nImageColumn = w;
    if (redraw) Redraw();
}

void CListBoxCtrl::SetCheckColumn(int mode, BOOL redraw) {
    m_nCheckColumn = mode;
    if (redraw) Redraw();
}

void CListBoxCtrl::SetAlwaysShowBar(int mode) { m_pBar->SetShowMode(SCROLL_BAR_VERT, mode); }

void CListBoxCtrl::SetListRect(const RECT* rc) {
    if (rc) m_rcList = *rc;
    else SetRectEmpty(&m_rcList);
}

void CListBoxCtrl::SetCellSpacing(int horizontal, int vertical) {
    m_nGapX = std::clamp(horizontal, 0, kMaxRowHeight);
    m_nGapY = std::clamp(vertical, 0, kMaxRowHeight);
}

BOOL CListBoxCtrl::SetScrollImages(const WCHAR* const names[7]) {
    m_pBar->SetImagesTransparent(m_bTransparent, m_crKey);
    return m_pBar->SetBarImages(names, SCROLL_BAR_VERT);
}

BOOL CListBoxCtrl::SetCheckImages(const WCHAR* unchecked, const WCHAR* checked) {
    const WCHAR* names[2] = {unchecked, checked};
    for (int k = 0; k < 2; ++k) {
        m_checkImages[k].reset();
        if (!names[k] || !names[k][0]) continue;
        auto bitmap = std::make_unique<CUiBitmap>();
        if (bitmap->Load(names[k]) < 0 || !HasSize(bitmap.get())) continue;
        bitmap->SetTransparent(m_bTransparent, m_crKey);
        m_checkImages[k] = std::move(bitmap);
    }
    return m_checkImages[0] && m_checkImages[1];
}

BOOL CListBoxCtrl::SetItemImage(const WCHAR* name, BOOL transparent, COLORREF key) {
    m_itemImage.reset();
    if (!name || !name[0]) return 0;
    auto bitmap = std::make_unique<CUiBitmap>();
    bitmap->SetTransparent(transparent, key);
    if (bitmap->Load(name) < 0 || !HasSize(bitmap.get())) return 0;
    bitmap->SetTransparent(transparent, key);
    m_itemImage = std::move(bitmap);
    return 1;
}

// Geometry

int CListBoxCtrl::GetTopIndex() const { return m_pBar->GetPos(SCROLL_BAR_VERT); }

int CListBoxCtrl::GetPageSize() const { return m_pBar->GetPageSize(SCROLL_BAR_VERT); }

BOOL CListBoxCtrl::IsBarShown() const { return m_pBar->IsBarShown(SCROLL_BAR_VERT); }

void CListBoxCtrl::RowsRect(RECT* rc) const {
    SetRect(rc, 0, 0, m_w, m_h);
    RECT bar;
    if (m_pBar->GetBarRect(SCROLL_BAR_VERT, &bar)) rc->right = std::max<LONG>(0, rc->right - (bar.right - bar.left));
    if (!IsRectEmpty(&m_rcList)) *rc = m_rcList;
}

int CListBoxCtrl::CellWidth(const RECT& rows) const {
    int n = m_nLineStep;
    return std::max(0, static_cast<int>((rows.right - rows.left) - m_nGapX * (n - 1)) / n);
}

BOOL CListBoxCtrl::CellRect(int i, const RECT& rows, RECT* rc) const {
    int d = i - GetTopIndex();
    if (d < 0 || i >= GetCount() || m_nItemHeight < 1) return FALSE;
    int n = m_nLineStep;
    int col = d % n;
    int line = d / n;
    int cw = CellWidth(rows);
    LONG left = rows.left + col * (cw + m_nGapX);
    LONG top = rows.top + static_cast<LONG>(line) * (m_nItemHeight + m_nGapY);
    LONG right = col == n - 1 ? std::max<LONG>(left + cw, rows.right) : left + cw;
    SetRect(rc, left, top, right, top + m_nItemHeight);
    return rc->bottom <= rows.bottom;
}

int CListBoxCtrl::VisibleCount() const {
    if (m_nItemHeight < 1) return 0;
    RECT rows;
    RowsRect(&rows);
    int height = rows.bottom - rows.top;
    if (height < m_nItemHeight) return 0;
    int lines = (height - m_nItemHeight) / (m_nItemHeight + m_nGapY) + 1;
    return std::min(lines * m_nLineStep, std::max(0, GetCount() - GetTopIndex()));
}

BOOL CListBoxCtrl::IsItemVisible(int i) const {
    int top = GetTopIndex();
    return i >= top && i < top + VisibleCount();
}

BOOL CListBoxCtrl::GetItemRect(int i, RECT* rc) const {
    if (!rc || !IsItemVisible(i)) return FALSE;
    RECT rows;
    RowsRect(&rows);
    if (!CellRect(i, rows, rc)) return FALSE;
    RECT own;
    GetRect(&own, FALSE);
    OffsetRect(rc, own.left, own.top);
    return TRUE;
}

int CListBoxCtrl::HitTest(int x, int y, BOOL* onCheck) const {
    if (onCheck) *onCheck = 0;
    RECT own;
    GetRect(&own, FALSE);
    x -= own.left;
    y -= own.top;
    RECT rows;
    RowsRect(&rows);
    CUiBitmap* box = m_checkImages[1].get();
    int end = GetTopIndex() + VisibleCount();
    for (int i = GetTopIndex(); i < end; ++i) {
        RECT cell;
        if (!CellRect(i, rows, &cell)) break;
        if (!InRect(cell, x, y)) continue;
        const ListItem* item = m_items[static_cast<size_t>(i)];
        if (onCheck && HasSize(box) && !(item->flags & LIST_ITEM_FOLDER)) {
            RECT check = cell;
            check.right = std::min<LONG>(cell.right, cell.left + box->GetWidth() + 1);
            if (m_nLineStep > 1) check.top = std::max<LONG>(cell.top, cell.bottom - (box->GetHeight() + 1));
            *onCheck = InRect(check, x, y);
        }
        return i;
    }
    return -1;
}

// Creation, placement, visibility

BOOL CListBoxCtrl::Create(DWORD style, DWORD exStyle) {
    if (!CUiCtrl::Create(style, exStyle)) return 0;
    int height = FontTextExtent(m_hFont, u"A").cy;
    if (height < 1) height = GetSystemMetrics(SM_CYHSCROLL);
    if (m_nItemHeight < 1) m_nItemHeight = height;
    if (SetItemHeight(m_nItemHeight) < 0) SetItemHeight(1);
    return 1;
}

void CListBoxCtrl::Move(int x, int y, int w, int h, BOOL relativeToPanel) {
    CUiCtrl::Move(x, y, w, h, relativeToPanel);
    m_nFullHeight = m_h;
    CutHeight();
}

BOOL CListBoxCtrl::Show(BOOL show) {
    if (!show) StopScrollText();
    return CUiCtrl::Show(show);
}

BOOL CListBoxCtrl::IsCapturingPen() const { return m_pBar->IsCapturingPen(); }

BOOL CListBoxCtrl::CancelPress() {
    BOOL was = m_pBar->CancelPress();
    m_bPressed = 0;
    return was;
}

void CListBoxCtrl::Redraw() { Invalidate(nullptr, FALSE); }

void CListBoxCtrl::RepaintItem(int i) {
    if (IsItemVisible(i)) Redraw();
}

void CListBoxCtrl::SetBarTotal(int total) {
    m_pBar->SetTotal(SCROLL_BAR_VERT, total, FALSE);
    ClampTop();
}

void CListBoxCtrl::SetTopIndex(int i, BOOL redraw) {
    int total = m_pBar->GetTotal(SCROLL_BAR_VERT);
    if (total <= 0) return;
    int next = std::clamp(i, 0, std::max(total - GetPageSize(), 0));
    if (next == GetTopIndex()) return;
    m_pBar->SetPos(SCROLL_BAR_VERT, next, FALSE);
    if (redraw) Redraw();
    ExecCommand(LIST_EVENT_SCROLL, 0);
}

int CListBoxCtrl::OnBarScroll(CUiCtrl* owner, int, int, int bar) {
    auto* list = static_cast<CListBoxCtrl*>(owner);
    if (!list) return 1;
    // The bar redraws only its own parts: the rows it moved are the list's to show.
    if (bar < 0 || list->GetTopIndex() != list->m_nLastTop) list->Redraw();
    list->ExecCommand(LIST_EVENT_SCROLL, 0);
    return 1;
}

// Pen

int CListBoxCtrl::OnMouse(int msg, WPARAM, int x, int y) { return HandlePen(msg, x, y, nullptr); }

void CListBoxCtrl::ToggleCheck(int i) {
    ListItem* item = GetItem(i);
    if (!item) return;
    item->check = item->check ? 0 : 1;
    RepaintItem(i);
    ExecCommand(i + LIST_EVENT_CHECK, 0);
}

void CListBoxCtrl::Select(int i, int msg, int* out) {
    if (i != m_nSel) {
        m_nSel = i;
        StopScrollText();
        Redraw();
    }
    if (m_nSel < 0) return;
    if (out) {
        *out = msg == 515 ? LIST_EVENT_DBLCLICK : LIST_EVENT_SELECT;
        return;
    }
    ExecCommand(LIST_EVENT_SELECT, 0);
    if (msg == 515) ExecCommand(LIST_EVENT_DBLCLICK, 0);
}

int CListBoxCtrl::HandlePen(int msg, int x, int y, int* out) {
    bool blocked = m_pPanel && m_pPanel->GetManager() && m_pPanel->GetManager()->IsBlockedByModal(m_pPanel);
    if (!IsVisible() || !IsEnabled() || blocked || !m_bAcceptPen || m_nDisplayMode != 0) {
        // A press in progress still ends, so that the capture never stays behind.
        if (m_pBar->IsCapturingPen() && (msg == 514 || msg < 0)) m_pBar->CancelPress();
        m_bPressed = 0;
        return 0;
    }
    if (BarTakesPen(x, y)) {
        if (int r = m_pBar->OnMouse(msg, 0, x, y)) {
            if (msg == 514) m_bPressed = 0;
            return r;
        }
    }
    if (msg == 513 || msg == 515) {
        m_bPressed = 1;
        BOOL onCheck = 0;
        int hit = HitTest(x, y, &onCheck);
        if (hit >= 0 && onCheck) {
            m_nLastDownItem = -1;
            ToggleCheck(hit);
            return 1;
        }
        // The page hands double taps over as plain pen-downs: a second one on the same row soon after
        // the first is the double-click.
        DWORD now = GetTickCount();
        if (msg == 513 && hit >= 0 && hit == m_nLastDownItem && now - m_dwLastDown <= kDoubleClickTime) msg = 515;
        m_nLastDownItem = msg == 513 ? hit : -1;
        m_dwLastDown = now;
        if (hit < 0 && m_bKeepSel) return 1;
        Select(hit, msg, out);
        return 1;
    }
    if (msg == 514) {
        BOOL was = m_bPressed;
        m_bPressed = 0;
        return was;
    }
    if (msg == 512) return m_bPressed;
    if (msg < 0) {
        // The pen is elsewhere: a press that left the list ends here.
        m_bPressed = 0;
        if (m_bKeepSel || !IsItemVisible(m_nSel)) return 0;
        m_nSel = -1;
        StopScrollText();
        Redraw();
        ExecCommand(LIST_EVENT_SELECT, 0);
        // Other controls still get the pen.
        return 0;
    }
    return 0;
}

int CListBoxCtrl::OnTimer(UINT_PTR id, LPARAM lParam) {
    if (!id) return 0;
    if (m_marqueeTimer && id == m_marqueeTimer) {
        m_nMarqueeOffset += 7;
        RepaintItem(m_nSel);
        return 1;
    }
    if (m_pBar->OnTimer(id, lParam)) return 1;
    return CUiCtrl::OnTimer(id, lParam);
}

BOOL CListBoxCtrl::BarTakesPen(int x, int y) const {
    // A press on the bar keeps the pen wherever it goes. Otherwise only the bar's own strip is its:
    // a stand-alone bar swallows taps on its client area, which here are the rows.
    if (m_pBar->IsCapturingPen()) return 1;
    RECT bar;
    POINT pt{x, y};
    return m_pBar->GetBarRect(SCROLL_BAR_VERT, &bar) && PtInRect(&bar, pt);
}

// Painting

void CListBoxCtrl::EraseBack(HDC dc) {
    if (!dc || !IsVisible()) return;
    RECT rc = {0, 0, m_w, m_h};
    COLORREF color = m_crFill;
    if (color == 0xFFFFFFFFu) color = m_pPanel ? m_pPanel->GetBackColor() : 0;
    CUiBitmap* back = m_pPanel ? m_pPanel->GetBackImage() : nullptr;
    if (!HasSize(back)) {
        FillColor(dc, rc, color);
        return;
    }
    LONG ox = 0, oy = 0;
    if (back == m_pPanel->GetShImage()) m_pPanel->GetCentreOffset(&ox, &oy);
    // Parts the image does not cover keep the fill colour.
    int x = ox - m_x, y = oy - m_y;
    if (x > 0 || y > 0 || x + back->GetWidth() < m_w || y + back->GetHeight() < m_h || back->IsTransparent())
        FillColor(dc, rc, color);
    DrawClipped(dc, back, x, y, rc);
}

void CListBoxCtrl::StopScrollText() { KillMarquee(); }

BOOL CListBoxCtrl::ShortenedText(const ListItem* item, WCHAR* out) const {
    QrxStrCopy(out, MAX_PATH, item->text1);
    if (m_nDisplayMode < 2) return FALSE;
    WCHAR* dot = wcsrchr(out, u'.');
    if (!dot) return FALSE;
    *dot = 0;
    return TRUE;
}

CUiBitmap* CListBoxCtrl::RowPicture(const WCHAR* name, int) {
    if (!name || !name[0]) return nullptr;
    for (auto& picture : m_rowPictures)
        if (_wcsicmp(picture->GetName(), name) == 0) return HasSize(picture.get()) ? picture.get() : nullptr;
    // Every visible row has at most one picture: the set never grows past the rows on screen.
    if (m_rowPictures.size() > static_cast<size_t>(VisibleCount()) + 1) return nullptr;
    auto bitmap = std::make_unique<CUiBitmap>();
    bitmap->SetTransparent(m_bTransparent, m_crKey);
    if (bitmap->Load(name) < 0) bitmap->Free();
    else bitmap->SetTransparent(m_bTransparent, m_crKey);
    CUiBitmap* result = HasSize(bitmap.get()) ? bitmap.get() : nullptr;
    m_rowPictures.push_back(std::move(bitmap));
    return result;
}

int CListBoxCtrl::PaintLeading(HDC dc, const ListItem* item, BOOL selected, const RECT& cell) {
    int x = cell.left;
    int h = cell.bottom - cell.top;
    bool folder = (item->flags & LIST_ITEM_FOLDER) != 0;
    CUiBitmap* box = m_checkImages[1].get();
    if (HasSize(box) && !folder) {
        CUiBitmap* image = item->check ? box : m_checkImages[0].get();
        if (HasSize(image)) {
            int y = m_nLineStep > 1 ? cell.bottom - static_cast<int>(image->GetHeight())
                                    : cell.top + (h - static_cast<int>(image->GetHeight())) / 2;
            DrawClipped(dc, image, x, y, cell);
        }
        if (m_nLineStep == 1) x += box->GetWidth() + 1;
    }
    if (m_nCheckColumn == 0 || m_nImageColumn != 0) return x;
    RECT rest = {x, cell.top, cell.right, cell.bottom};
    if (item->icon) {
        int size = std::min(kSmallIcon, h);
        DrawIconEx(dc, x, cell.top + (h - size) / 2, item->icon, size, size, 0, nullptr, DI_NORMAL);
        return x + kSmallIcon + 1;
    }
    CUiBitmap* picture = m_itemImage.get();
    if (HasSize(picture) && (m_nCheckColumn >= -1 || folder)) {
        DrawClipped(dc, picture, x, cell.top + (h - static_cast<int>(picture->GetHeight())) / 2, rest);
        return x + picture->GetWidth() + 1;
    }
    picture = nullptr;
    if (HasSize(item->normal) && HasSize(item->selected)) picture = selected ? item->selected : item->normal;
    else if (item->text2[0]) picture = RowPicture(selected && item->text3[0] ? item->text3 : item->text2, 0);
    if (picture) {
        DrawClipped(dc, picture, x, cell.top + (h - static_cast<int>(picture->GetHeight())) / 2, rest);
        return x + picture->GetWidth() + 5;
    }
    return x;
}

void CListBoxCtrl::PaintItemText(HDC dc, const ListItem* item, BOOL selected, const RECT& rc) {
    WCHAR text[MAX_PATH];
    ShortenedText(item, text);
    int length = static_cast<int>(wcslen(text));
    if (length == 0 || rc.right <= rc.left) return;
    COLORREF color = item->color != -1 ? static_cast<COLORREF>(item->color) & 0xFFFFFF
                                       : (selected ? m_crBack : m_crText);
    SetTextColor(dc, color);
    RECT box = rc;
    OffsetRect(&box, 0, GetTextYOffset());
    int width = TextWidth(dc, text, length);
    int room = box.right - box.left;
    bool fits = width <= room;
    if (selected) {
        if (!fits && m_bMarquee) {
            if (!m_marqueeTimer) {
                HWND wnd = GetWnd();
                UINT_PTR id = MarqueeTimerId();
                if (wnd && id && ::SetTimer(wnd, id, kMarqueePeriod, nullptr)) {
                    m_marqueeTimer = id;
                    m_hMarqueeWnd = wnd;
                }
            }
            if (m_nMarqueeOffset > width + kMarqueeGap) m_nMarqueeOffset = 0;
            SIZE size{0, 0};
            GetTextExtentPoint32W(dc, text, length, &size);
            int y = box.top + ((box.bottom - box.top) - size.cy) / 2;
            RECT clip;
            IntersectRect(&clip, &box, &rc);
            ExtTextOutW(dc, box.left - m_nMarqueeOffset, y, ETO_CLIPPED, &clip, text, static_cast<UINT>(length),
                        nullptr);
            ExtTextOutW(dc, box.left + width + kMarqueeGap - m_nMarqueeOffset, y, ETO_CLIPPED, &clip, text,
                        static_cast<UINT>(length), nullptr);
            return;
        }
        if (m_marqueeTimer) StopScrollText();
    }
    UINT format = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
    if (m_nTextAlign == 0) format |= DT_CENTER;
    else if (m_nTextAlign > 0) format |= DT_RIGHT;
    std::u16string shown(text, static_cast<size_t>(length));
    if (!fits && m_nDisplayMode != 0) {
        // The longest prefix that fits with "..." after it.
        int dots = TextWidth(dc, u"...", 3);
        int fit = 0;
        if (room > dots) GetTextExtentExPointW(dc, text, length, room - dots, &fit, nullptr, nullptr);
        shown.assign(text, static_cast<size_t>(std::clamp(fit, 0, length)));
        shown += u"...";
    }
    ::DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &box, format);
}

void CListBoxCtrl::PaintRowPicture(HDC dc, const ListItem* item, BOOL selected, RECT& cell) {
    bool folder = (item->flags & LIST_ITEM_FOLDER) != 0;
    CUiBitmap* picture = nullptr;
    if (!folder && item->image[0]) {
        if (selected && m_nImageColumn < 0) {
            WCHAR name[MAX_PATH];
            SelectedName(item->image, name);
            picture = RowPicture(name, 0);
        }
        if (!picture) picture = RowPicture(item->image, 0);
    }
    int h = cell.bottom - cell.top;
    if (m_nLineStep == 1) {
        if (!picture) return;
        RECT area = cell;
        if (m_nImageColumn > 0) area.right = std::min<LONG>(cell.right, cell.left + h);
        picture->DrawStretch(dc, area.left, area.top, area.right - area.left, h, 0, 0, picture->GetWidth(),
                             picture->GetHeight());
        if (m_nImageColumn > 0) cell.left = area.right + 1;
        return;
    }
    RECT inner = cell;
    InflateRect(&inner, -kGridInset, -kGridInset);
    if (inner.right <= inner.left || inner.bottom <= inner.top) return;
    LONG maxW = inner.right - inner.left, maxH = inner.bottom - inner.top;
    if (!picture && item->icon) {
        // The type's icon at its own size in the cell's middle: stretched it would only blur.
        int size = std::min<LONG>({kSmallIcon, maxW, maxH});
        DrawIconEx(dc, inner.left + (maxW - size) / 2, inner.top + (maxH - size) / 2, item->icon, size, size, 0,
                   nullptr, DI_NORMAL);
        return;
    }
    if (!picture) picture = folder ? m_itemImage.get() : nullptr;
    if (!HasSize(picture)) return;
    LONG w = picture->GetWidth(), ph = picture->GetHeight();
    // Scaled to the cell, keeping its shape.
    LONG sw = maxW, sh = ph * maxW / std::max<LONG>(w, 1);
    if (sh > maxH) {
        sh = maxH;
        sw = w * maxH / std::max<LONG>(ph, 1);
    }
    picture->DrawStretch(dc, inner.left + (maxW - sw) / 2, inner.top + (maxH - sh) / 2, sw, sh, 0, 0, w, ph);
}

void CListBoxCtrl::PaintItem(HDC dc, int i, const RECT& cell, const RECT& rows) {
    const ListItem* item = m_items[static_cast<size_t>(i)];
    BOOL selected = i == m_nSel;
    int saved = SaveDC(dc);
    IntersectClipRect(dc, cell.left, cell.top, cell.right, cell.bottom);
    if (selected) {
        CUiBitmap* pressed = m_images[UICTRL_IMG_PRESSED].get();
        CUiBitmap* normal = m_images[UICTRL_IMG_NORMAL].get();
        POINT page;
        if (HasSize(pressed)) {
            DrawClipped(dc, pressed, cell.left, cell.top, cell);
        } else if (HasSize(normal) && PageImageOrigin(normal, &page)) {
            // The page's own image: what lies under the row.
            normal->DrawClipped(dc, page.x, page.y, cell);
        } else if (HasSize(normal) && !IsRectEmpty(&m_rcList)) {
            // The strip of the normal image at the cell's place, from its top again past its end.
            int ih = normal->GetHeight();
            int srcY = cell.top % ih;
            int y = cell.top;
            while (y < cell.bottom) {
                int part = std::min<int>(ih - srcY, cell.bottom - y);
                int width = std::min<int>(cell.right - cell.left, std::max<int>(0, normal->GetWidth() - cell.left));
                if (width > 0) normal->DrawPart(dc, cell.left, y, cell.left, srcY, width, part);
                y += part;
                srcY = 0;
            }
        } else if (HasSize(normal)) {
            DrawClipped(dc, normal, cell.left, cell.top, cell);
        } else {
            FillColor(dc, cell, m_crText);
        }
    }
    (void)rows;
    RECT text = cell;
    text.left = PaintLeading(dc, item, selected, cell);
    if (m_nImageColumn != 0) {
        PaintRowPicture(dc, item, selected, text);
        if (m_nLineStep > 1) {
            // Grid cells carry their text under the picture.
            text.top = std::max<LONG>(cell.top, cell.bottom - (m_nFontHeight > 0 ? m_nFontHeight : 17) - 4);
            text.left = cell.left;
        }
    }
    PaintItemText(dc, item, selected, text);
    RestoreDC(dc, saved);
}

void CListBoxCtrl::PaintRows(HDC dc) {
    RECT rows;
    RowsRect(&rows);
    int top = GetTopIndex();
    HWND cmd = GetCmdWnd();
    bool moved = m_nImageColumn != 0 && top != m_nLastTop;
    if (m_nImageColumn != 0) m_rowPictures.clear();
    if (moved && cmd) ::SendMessageW(cmd, WM_SHELL_NOTIFY, 1, 1);
    int saved = SaveDC(dc);
    if (m_hFont) SelectObject(dc, m_hFont);
    SetBkMode(dc, TRANSPARENT);
    IntersectClipRect(dc, rows.left, rows.top, rows.right, rows.bottom);
    bool selectedShown = false;
    int end = top + VisibleCount();
    for (int i = top; i < end; ++i) {
        RECT cell;
        if (!CellRect(i, rows, &cell)) break;
        if (i == m_nSel) selectedShown = true;
        PaintItem(dc, i, cell, rows);
    }
    RestoreDC(dc, saved);
    if (!selectedShown && m_marqueeTimer) StopScrollText();
    m_nLastTop = top;
    if (moved && cmd) ::SendMessageW(cmd, WM_SHELL_NOTIFY, 1, 0);
}

void CListBoxCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    // The back buffer holds the list's own last frame: the page behind it comes first.
    EraseBack(back);
    PaintRows(back);
    EndBackPaint(target, FALSE);
    // The bar draws itself over the rows it was placed on, into the same target.
    RECT bar;
    if (m_pBar->GetBarRect(SCROLL_BAR_VERT, &bar)) m_pBar->OnPaint(target);
    if (release) ::ReleaseDC(GetWnd(), target);
}

// Factory

void ReadListKeys(CListBoxCtrl* list, CLayoutScript* script, int page, int control) {
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(7);
    if (script->ReadImageList(page, control, u"vsbimgs", 7, names.get(), -1) >= 0) {
        const WCHAR* bar[7];
        for (int k = 0; k < 7; ++k) bar[k] = names[k];
        list->SetScrollImages(bar);
    }
    if (script->ReadImageList(page, control, u"check", 2, names.get(), -1) >= 0)
        list->SetCheckImages(names[0], names[1]);
    // "list", "listpos" and "previewmargin" apply with zeros when missing.
    DWORD values[7] = {};
    script->ReadNumbers(page, control, u"list", 7, values);
    list->SetItemHeight(static_cast<LONG>(values[0]));
    list->SetLineStep(static_cast<LONG>(values[1]), FALSE);
    list->SetImageColumn(static_cast<LONG>(values[2]), FALSE);
    list->SetCheckColumn(static_cast<LONG>(values[3]), FALSE);
    list->SetDisplayMode(static_cast<LONG>(values[4]));
    list->SetAlwaysShowBar(static_cast<LONG>(values[5]));
    list->SetSortMode(static_cast<LONG>(values[6]));
    if (script->ReadImageList(page, control, u"useimg", 3, names.get(), 1) >= 0)
        list->SetItemImage(names[0], StrToLong(names[1]) != 0, static_cast<COLORREF>(StrToLong(names[2])));
    DWORD pos[4] = {};
    script->ReadNumbers(page, control, u"listpos", 4, pos);
    LONG x = static_cast<LONG>(pos[0]), y = static_cast<LONG>(pos[1]);
    LONG w = std::clamp<LONG>(static_cast<LONG>(pos[2]), -kMaxRowHeight, kMaxRowHeight);
    LONG h = std::clamp<LONG>(static_cast<LONG>(pos[3]), -kMaxRowHeight, kMaxRowHeight);
    x = std::clamp<LONG>(x, -kMaxRowHeight, kMaxRowHeight);
    y = std::clamp<LONG>(y, -kMaxRowHeight, kMaxRowHeight);
    RECT rc = {x, y, x + w, y + h};
    list->SetListRect(&rc);
    DWORD gaps[2] = {};
    script->ReadNumbers(page, control, u"previewmargin", 2, gaps);
    list->SetCellSpacing(static_cast<LONG>(gaps[0]), static_cast<LONG>(gaps[1]));
}

CUiCtrl* NewListBox(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                    int control) {
    auto list = std::make_unique<CListBoxCtrl>(record, panel);
    if (!script) return list.release();
    ReadListKeys(list.get(), script, page, control);
    DWORD style[3] = {};
    if (script->ReadNumbers(page, control, u"exstyle", 3, style) == 0) list->SetMarquee(style[2] != 0);
    return list.release();
}
