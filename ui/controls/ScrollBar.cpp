#include "ui/controls/ScrollBar.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "ui/FileUtil.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"

namespace {

constexpr UINT kRepeatPeriod = 100;

// Bars whose repeat timer runs; the timer procedure finds its bar here, so that an embedding list
// need not forward the ticks.
std::vector<CScrollBarCtrl*>& RepeatingBars() {
    static std::vector<CScrollBarCtrl*> bars;
    return bars;
}

int DefaultHook(CUiCtrl* owner, int event, int, int) { return owner ? owner->ExecCommand(event, 0) : 1; }

BOOL HasSize(const CUiBitmap* bitmap) { return bitmap && bitmap->GetWidth() > 0 && bitmap->GetHeight() > 0; }

// Length of a bitmap along (vertical: height) or across (vertical: width) a bar.
int Along(const CUiBitmap* bitmap, int bar) {
    if (!HasSize(bitmap)) return 0;
    return bar == SCROLL_BAR_VERT ? bitmap->GetHeight() : bitmap->GetWidth();
}
int Across(const CUiBitmap* bitmap, int bar) {
    if (!HasSize(bitmap)) return 0;
    return bar == SCROLL_BAR_VERT ? bitmap->GetWidth() : bitmap->GetHeight();
}

// A rectangle from extents along and across a bar.
RECT MakeRect(int bar, int alongStart, int alongEnd, int acrossStart, int acrossEnd) {
    RECT rc;
    if (bar == SCROLL_BAR_VERT) SetRect(&rc, acrossStart, alongStart, acrossEnd, alongEnd);
    else SetRect(&rc, alongStart, acrossStart, alongEnd, acrossEnd);
    return rc;
}

int ClampInt(long long v) { return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)); }

}  // namespace

// Construction

CScrollBarCtrl::CScrollBarCtrl(const LayoutControlRecord* record, CShellPanel* panel) : CUiCtrl(record, panel) {
    InitBars();
}

CScrollBarCtrl::CScrollBarCtrl(CShellPanel* panel) : CUiCtrl(panel) { InitBars(); }

void CScrollBarCtrl::InitBars() {
    for (auto& b : m_bars) {
        for (auto& bitmap : b.bitmaps) bitmap = std::make_unique<CUiBitmap>();
    }
    m_pTarget = nullptr;
    m_pOwner = this;
    m_pHook = &DefaultHook;
    m_nBars = -1;
    m_nJumpMode = 1;
    m_repeatKind = 0;
    m_repeatId = 0;
    m_hRepeatWnd = nullptr;
    m_bCaptured = 0;
}

CScrollBarCtrl::~CScrollBarCtrl() { CScrollBarCtrl::CancelPress(); }

ScrollBarState* CScrollBarCtrl::Bar(int bar) {
    if (bar == SCROLL_BAR_VERT) return &m_bars[0];
    if (bar == SCROLL_BAR_HORZ) return &m_bars[1];
    return nullptr;
}

const ScrollBarState* CScrollBarCtrl::Bar(int bar) const {
    if (bar == SCROLL_BAR_VERT) return &m_bars[0];
    if (bar == SCROLL_BAR_HORZ) return &m_bars[1];
    return nullptr;
}

// Per-bar values

int CScrollBarCtrl::GetPos(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? std::max(b->pos, 0) : 0;
}

int CScrollBarCtrl::GetTotal(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? b->total : 0;
}

int CScrollBarCtrl::GetPageSize(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? b->page : 0;
}

void CScrollBarCtrl::SetPageSize(int bar, int page) {
    ScrollBarState* b = Bar(bar);
    if (!b) return;
    b->page = std::max(page, 0);
    if (b->page && !b->lineStep) b->lineStep = 1;
}

int CScrollBarCtrl::GetLineStep(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? std::max(b->lineStep, 1) : 0;
}

void CScrollBarCtrl::SetLineStep(int bar, int step) {
    if (ScrollBarState* b = Bar(bar)) b->lineStep = std::max(step, 1);
}

void CScrollBarCtrl::SetShowMode(int bar, int mode) {
    if (ScrollBarState* b = Bar(bar)) b->showMode = mode;
}

int CScrollBarCtrl::GetShowMode(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? b->showMode : 0;
}

void CScrollBarCtrl::SetStopAtLastPage(int bar, int on) {
    if (ScrollBarState* b = Bar(bar)) b->stopAtLastPage = on;
}

int CScrollBarCtrl::GetStopAtLastPage(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? b->stopAtLastPage : 0;
}

void CScrollBarCtrl::SetWrap(int bar, int on) {
    if (ScrollBarState* b = Bar(bar)) b->wrap = on;
}

int CScrollBarCtrl::GetWrap(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? b->wrap : 0;
}

int CScrollBarCtrl::GetThickness(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b ? b->thickness : 0;
}

BOOL CScrollBarCtrl::IsBarPresent(int bar) const {
    if (bar != SCROLL_BAR_VERT && bar != SCROLL_BAR_HORZ) return 0;
    return m_nBars == SCROLL_BAR_BOTH || m_nBars == bar;
}

BOOL CScrollBarCtrl::IsBarShown(int bar) const {
    const ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    return b->showMode != 0 || (b->page > 0 && b->page < b->total);
}

CUiBitmap* CScrollBarCtrl::GetBarBitmap(int bar, int slot) const {
    const ScrollBarState* b = Bar(bar);
    if (!b || slot < 0 || slot >= SCROLL_BMP_COUNT) return nullptr;
    return b->bitmaps[slot].get();
}

BOOL CScrollBarCtrl::IsPartPressed(int bar, int part) const {
    const ScrollBarState* b = Bar(bar);
    return b && part >= 0 && part < SCROLL_PART_COUNT ? b->pressed[part] : 0;
}

BOOL CScrollBarCtrl::IsPartHeldInside(int bar, int part) const {
    const ScrollBarState* b = Bar(bar);
    return b && part >= 0 && part < SCROLL_PART_COUNT ? b->heldInside[part] : 0;
}

int CScrollBarCtrl::SetTotal(int bar, int total, BOOL redraw) {
    ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    const BOOL was = b->page > 0 && b->page < b->total;
    b->total = std::max(total, 0);
    const BOOL need = was || (b->page > 0 && b->page < b->total);
    if (was == need && b->total != 0) return need;
    if (b->total == 0) b->pos = -1;
    CancelPress();
    if (redraw) {
        RECT rc;
        GetRect(&rc, FALSE);
        Invalidate(&rc, FALSE);
    }
    return need;
}

void CScrollBarCtrl::Reset(int which) {
    auto reset = [](ScrollBarState& b) {
        b.total = 0;
        b.page = 0;
        b.lineStep = 0;
        b.pos = -1;
    };
    if (which == SCROLL_BAR_VERT || which == SCROLL_BAR_BOTH) reset(m_bars[0]);
    if (which == SCROLL_BAR_HORZ || which == SCROLL_BAR_BOTH) reset(m_bars[1]);
}

int CScrollBarCtrl::LastPos(int bar) const {
    const ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    return b->stopAtLastPage ? b->total - b->page : b->total - 1;
}

// Images

BOOL CScrollBarCtrl::SetBarImages(const WCHAR* const names[7], int bar) {
    ScrollBarState* b = Bar(bar);
    if (!b || !names) return 0;
    for (int i = 0; i < 7; ++i) {
        CUiBitmap* bitmap = b->bitmaps[i].get();
        bitmap->Free();
        if (!names[i] || !names[i][0]) continue;
        if (bitmap->Load(names[i]) < 0 || !HasSize(bitmap)) {
            bitmap->Free();
            continue;
        }
        bitmap->SetTransparent(m_bTransparent, m_crKey);
    }
    // Every part must fit across the bar, or it would stick out of what the pen can hit.
    b->thickness = std::max({Across(b->bitmaps[SCROLL_BMP_FIRST].get(), bar),
                             Across(b->bitmaps[SCROLL_BMP_SECOND].get(), bar),
                             Across(b->bitmaps[SCROLL_BMP_THUMB].get(), bar),
                             Across(b->bitmaps[SCROLL_BMP_TRACK].get(), bar)});
    if (bar == SCROLL_BAR_VERT) m_nBars = m_nBars == SCROLL_BAR_HORZ || m_nBars == SCROLL_BAR_BOTH ? SCROLL_BAR_BOTH : SCROLL_BAR_VERT;
    else m_nBars = m_nBars == SCROLL_BAR_VERT || m_nBars == SCROLL_BAR_BOTH ? SCROLL_BAR_BOTH : SCROLL_BAR_HORZ;
    if (!b->thickness) return 0;
    const BOOL arrows = HasSize(b->bitmaps[SCROLL_BMP_FIRST].get()) && HasSize(b->bitmaps[SCROLL_BMP_SECOND].get());
    const BOOL thumb = HasSize(b->bitmaps[SCROLL_BMP_THUMB].get());
    if (arrows || thumb) return 1;
    return GetType() == 18 && HasSize(b->bitmaps[SCROLL_BMP_TRACK].get());
}

// Embedding

void CScrollBarCtrl::Attach(CUiCtrl* target, CUiCtrl* owner, ScrollNotifyHook hook) {
    CancelPress();
    m_pTarget = target;
    m_pOwner = owner ? owner : this;
    m_pHook = hook ? hook : &DefaultHook;
    // Drawn as part of its target: whether each bar shows follows its page and total.
    if (target) SetVisible(TRUE);
}

HWND CScrollBarCtrl::GetWnd() const { return m_pTarget ? m_pTarget->GetWnd() : CUiCtrl::GetWnd(); }

void CScrollBarCtrl::GetRect(RECT* rc, BOOL relative) const {
    if (m_pTarget) m_pTarget->GetRect(rc, relative);
    else CUiCtrl::GetRect(rc, relative);
}

// Geometry

BOOL CScrollBarCtrl::BarUsable(int bar) const {
    const ScrollBarState* b = Bar(bar);
    return b && IsBarPresent(bar) && IsBarShown(bar) && b->thickness > 0;
}

BOOL CScrollBarCtrl::GetBarRect(int bar, RECT* rc) const {
    if (!rc) return 0;
    SetRectEmpty(rc);
    if (!BarUsable(bar)) return 0;
    RECT all;
    GetRect(&all, FALSE);
    const int width = std::max<int>(all.right - all.left, 0);
    const int height = std::max<int>(all.bottom - all.top, 0);
    if (bar == SCROLL_BAR_VERT) {
        const int t = std::min(Bar(bar)->thickness, width);
        int bottom = all.bottom;
        if (BarUsable(SCROLL_BAR_HORZ)) bottom -= std::min(Bar(SCROLL_BAR_HORZ)->thickness, height);
        SetRect(rc, all.right - t, all.top, all.right, std::max<int>(bottom, all.top));
    } else {
        const int t = std::min(Bar(bar)->thickness, height);
        SetRect(rc, all.left, all.bottom - t, all.right, all.bottom);
    }
    return !IsRectEmpty(rc);
}

BOOL CScrollBarCtrl::TrackSpan(int bar, int* start, int* length, int* thumbLength) const {
    RECT rc;
    *start = *length = *thumbLength = 0;
    if (!GetBarRect(bar, &rc)) return 0;
    const ScrollBarState* b = Bar(bar);
    const int barStart = bar == SCROLL_BAR_VERT ? rc.top : rc.left;
    const int barLength = bar == SCROLL_BAR_VERT ? rc.bottom - rc.top : rc.right - rc.left;
    int first = 0, second = 0;
    if (HasArrows()) {
        first = std::min(Along(b->bitmaps[SCROLL_BMP_FIRST].get(), bar), barLength / 2);
        second = std::min(Along(b->bitmaps[SCROLL_BMP_SECOND].get(), bar), barLength - first);
    }
    *start = barStart + first;
    *length = barLength - first - second;
    *thumbLength = std::clamp(Along(b->bitmaps[SCROLL_BMP_THUMB].get(), bar), 0, *length);
    return 1;
}

int CScrollBarCtrl::ThumbOffset(int bar) const {
    int start, length, thumb;
    if (!TrackSpan(bar, &start, &length, &thumb)) return 0;
    const ScrollBarState* b = Bar(bar);
    const int room = length - thumb;
    const int last = LastPos(bar);
    if (last > 0) {
        const int pos = std::max(b->pos, 0);
        if (pos >= last) return room;
        const float offset = static_cast<float>(room) / static_cast<float>(last) * static_cast<float>(pos);
        return std::clamp(static_cast<int>(offset), 0, room);
    }
    return b->showMode < 0 ? room / 2 : 0;
}

BOOL CScrollBarCtrl::GetTrackRect(int bar, RECT* rc) const {
    if (!rc) return 0;
    SetRectEmpty(rc);
    RECT br;
    int start, length, thumb;
    if (!TrackSpan(bar, &start, &length, &thumb) || !GetBarRect(bar, &br)) return 0;
    if (bar == SCROLL_BAR_VERT) *rc = MakeRect(bar, start, start + length, br.left, br.right);
    else *rc = MakeRect(bar, start, start + length, br.top, br.bottom);
    return !IsRectEmpty(rc);
}

BOOL CScrollBarCtrl::GetThumbRect(int bar, RECT* rc) const { return GetPartRect(bar, SCROLL_PART_THUMB, rc); }

BOOL CScrollBarCtrl::GetPartRect(int bar, int part, RECT* rc) const {
    if (!rc) return 0;
    SetRectEmpty(rc);
    RECT br;
    int start, length, thumb;
    if (!TrackSpan(bar, &start, &length, &thumb) || !GetBarRect(bar, &br)) return 0;
    const int lo = bar == SCROLL_BAR_VERT ? br.left : br.top;
    const int hi = bar == SCROLL_BAR_VERT ? br.right : br.bottom;
    const int barStart = bar == SCROLL_BAR_VERT ? br.top : br.left;
    const int barEnd = bar == SCROLL_BAR_VERT ? br.bottom : br.right;
    const int thumbStart = start + ThumbOffset(bar);
    switch (part) {
    case SCROLL_PART_FIRST: *rc = MakeRect(bar, barStart, start, lo, hi); break;
    case SCROLL_PART_SECOND: *rc = MakeRect(bar, start + length, barEnd, lo, hi); break;
    case SCROLL_PART_THUMB: *rc = MakeRect(bar, thumbStart, thumbStart + thumb, lo, hi); break;
    case SCROLL_PART_BEFORE: *rc = MakeRect(bar, start, thumbStart, lo, hi); break;
    case SCROLL_PART_AFTER: *rc = MakeRect(bar, thumbStart + thumb, start + length, lo, hi); break;
    default: return 0;
    }
    return !IsRectEmpty(rc);
}

int CScrollBarCtrl::PosFromPoint(int bar, int x, int y) const {
    int start, length, thumb;
    if (!TrackSpan(bar, &start, &length, &thumb)) return 0;
    const int last = LastPos(bar);
    const int usable = length - thumb;
    // Nothing to choose from, or no room to choose in.
    if (last <= 0 || usable <= 0) return 0;
    const double pen = bar == SCROLL_BAR_VERT ? y : x;
    const double from = start + thumb / 2.0;
    const double to = from + usable;
    if (pen <= from) return 0;
    if (pen >= to) return last;
    const double slot = static_cast<double>(usable) / (static_cast<double>(last) + 1.0);
    return std::clamp(static_cast<int>((pen - from) / slot), 0, last);
}

void CScrollBarCtrl::GetClientArea(RECT* rc) const {
    if (!rc) return;
    GetRect(rc, FALSE);
    RECT br;
    if (GetBarRect(SCROLL_BAR_VERT, &br)) rc->right = std::max(rc->left, br.left);
    if (GetBarRect(SCROLL_BAR_HORZ, &br)) rc->bottom = std::max(rc->top, br.top);
}

// Positions

int CScrollBarCtrl::Notify(int event, int oldPos, int bar) {
    return m_pHook ? m_pHook(m_pOwner, event, oldPos, bar) : 1;
}

int CScrollBarCtrl::SetPos(int bar, int pos, BOOL notify) {
    ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    const int old = b->pos;
    if (pos == old) return old;
    if (!notify) {
        b->pos = pos;
        return old;
    }
    UserMove(bar, pos, SCROLL_EVENT_FIRST);
    return old;
}

void CScrollBarCtrl::MoveTo(int bar, int pos) {
    ScrollBarState* b = Bar(bar);
    if (!b) return;
    RECT oldThumb;
    const BOOL laidOut = BarUsable(bar);
    if (laidOut) GetThumbRect(bar, &oldThumb);
    b->pos = pos;
    if (laidOut) InvalidateThumbs(bar, oldThumb);
}

BOOL CScrollBarCtrl::UserMove(int bar, int pos, int event) {
    ScrollBarState* b = Bar(bar);
    if (!b || pos == b->pos) return TRUE;
    const int old = b->pos;
    MoveTo(bar, pos);
    // The command is sent: its handler may close the page, and this bar with it.
    const std::weak_ptr<const int> life = GetLifeToken();
    const int answer = Notify(event, old, bar);
    if (life.expired()) return FALSE;
    if (!answer && HonoursRefusal()) MoveTo(bar, old);
    return TRUE;
}

void CScrollBarCtrl::InvalidateThumbs(int bar, const RECT& oldThumb) {
    RECT all;
    GetRect(&all, FALSE);
    if (!HasArrows()) {
        // The fill follows the thumb: the whole bar changes.
        Invalidate(&all, FALSE);
        return;
    }
    RECT newThumb;
    GetThumbRect(bar, &newThumb);
    if (GetType() == 18) {
        // The slider's track is drawn up to the thumb: everything between the two thumbs changes.
        RECT track;
        GetTrackRect(bar, &track);
        RECT span = track;
        if (bar == SCROLL_BAR_VERT) {
            span.top = std::min(oldThumb.top, newThumb.top);
            span.bottom = std::max(oldThumb.bottom, newThumb.bottom);
        } else {
            span.left = std::min(oldThumb.left, newThumb.left);
            span.right = std::max(oldThumb.right, newThumb.right);
        }
        if (!IsRectEmpty(&span)) Invalidate(&span, FALSE);
        return;
    }
    if (!IsRectEmpty(&oldThumb)) Invalidate(&oldThumb, FALSE);
    if (!IsRectEmpty(&newThumb)) Invalidate(&newThumb, FALSE);
}

void CScrollBarCtrl::InvalidatePart(int bar, int part) {
    RECT rc;
    if (GetPartRect(bar, part, &rc)) Invalidate(&rc, FALSE);
}

int CScrollBarCtrl::StepArrow(int bar, BOOL second) const {
    const ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    if (b->total <= 0) return b->pos;
    const long long pos = std::max(b->pos, 0);
    const long long total = b->total;
    long long next;
    if (!second) {
        next = pos - GetLineStep(bar);
        if (next < 0) next = b->wrap ? total - 1 : 0;
    } else {
        next = pos + GetLineStep(bar);
        if (!b->stopAtLastPage) {
            if (next >= total) next = b->wrap ? 0 : total - 1;
        } else {
            const long long last = total - b->page;
            if (next > last) next = b->wrap ? 0 : last;
        }
    }
    return ClampInt(std::clamp<long long>(next, 0, total - 1));
}

int CScrollBarCtrl::StepPage(int bar, BOOL after) const {
    const ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    const long long pos = std::max(b->pos, 0);
    long long next;
    if (!after) {
        next = std::max<long long>(pos - b->page, 0);
    } else {
        const long long limit = b->stopAtLastPage ? b->total - b->page : b->total - 1;
        next = std::min<long long>(pos + b->page, limit);
    }
    return ClampInt(std::max<long long>(next, 0));
}

// Commands

int CScrollBarCtrl::ExecCommand(int event, int sel) {
    // Nothing ran, so nothing refused the change.
    if (sel >= 0 && !IsEnabled()) return 1;
    HWND cmd = GetCmdWnd();
    const LONG number = StrToLong(m_cmd.s[0]);
    if (m_cmd.kind == 0 && number && cmd && sel >= 0) {
        ::PostMessageW(cmd, WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK, 0);
        // The page and the control that moved, whatever the record's further strings say.
        const DWORD low = static_cast<DWORD>(GetIndex()) & 0xFFFF;
        const LPARAM lParam = static_cast<LPARAM>(low | (static_cast<DWORD>(event) << 16));
        // Sent, not posted: the answer decides whether the change stands.
        const LRESULT answer = ::SendMessageW(cmd, static_cast<UINT>(number),
                                              static_cast<WPARAM>(GetShellNumber()), lParam);
        if (answer == 0) return 0;
        return answer >= 1 && answer <= INT_MAX ? static_cast<int>(answer) : 1;
    }
    CUiCtrl::ExecCommand(event, sel);
    return 1;
}

// Press and repeat

BOOL CScrollBarCtrl::IsCapturingPen() const {
    for (const auto& b : m_bars) {
        for (int p : b.pressed) {
            if (p) return 1;
        }
    }
    return 0;
}

void CScrollBarCtrl::StartRepeat(UINT_PTR kind) {
    StopRepeat();
    HWND wnd = GetWnd();
    if (!wnd) return;
    if (!m_repeatId) m_repeatId = CShellManager::AllocTimerId();
    if (!m_repeatId || !::SetTimer(wnd, m_repeatId, kRepeatPeriod, &CScrollBarCtrl::RepeatTimerProc)) return;
    m_repeatKind = kind;
    m_hRepeatWnd = wnd;
    RepeatingBars().push_back(this);
}

void CScrollBarCtrl::StopRepeat() {
    auto& bars = RepeatingBars();
    bars.erase(std::remove(bars.begin(), bars.end(), this), bars.end());
    if (m_repeatKind && m_hRepeatWnd && ::IsWindow(m_hRepeatWnd)) ::KillTimer(m_hRepeatWnd, m_repeatId);
    m_repeatKind = 0;
    m_hRepeatWnd = nullptr;
}

void CALLBACK CScrollBarCtrl::RepeatTimerProc(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    for (CScrollBarCtrl* bar : RepeatingBars()) {
        if (bar->m_hRepeatWnd == hwnd && bar->m_repeatId == id) {
            bar->OnTimer(id, 0);
            return;
        }
    }
    // A tick that outlived its bar.
    ::KillTimer(hwnd, id);
}

BOOL CScrollBarCtrl::CancelPress() {
    const BOOL was = IsCapturingPen();
    StopRepeat();
    if (m_bCaptured) {
        HWND wnd = GetWnd();
        if (wnd && ::GetCapture() == wnd) ::ReleaseCapture();
        m_bCaptured = 0;
    }
    for (auto& b : m_bars) {
        std::fill(std::begin(b.pressed), std::end(b.pressed), 0);
        std::fill(std::begin(b.heldInside), std::end(b.heldInside), 0);
    }
    return was;
}

void CScrollBarCtrl::FinishPress(int bar, int part) {
    CancelPress();
    InvalidatePart(bar, part);
}

BOOL CScrollBarCtrl::RepeatStep(int bar, UINT_PTR kind) {
    ScrollBarState* b = Bar(bar);
    if (!b || !IsBarPresent(bar)) return 0;
    const int part = kind == SCROLL_REPEAT_FIRST    ? SCROLL_PART_FIRST
                     : kind == SCROLL_REPEAT_SECOND ? SCROLL_PART_SECOND
                     : kind == SCROLL_REPEAT_PAGE_BEFORE ? SCROLL_PART_BEFORE
                                                     : SCROLL_PART_AFTER;
    if (!b->pressed[part] || !b->heldInside[part]) return 0;
    int next;
    if (part == SCROLL_PART_FIRST || part == SCROLL_PART_SECOND) {
        next = StepArrow(bar, part == SCROLL_PART_SECOND);
    } else {
        if (b->wrap || !(b->page > 0 && b->page < b->total)) return 0;
        next = StepPage(bar, part == SCROLL_PART_AFTER);
    }
    UserMove(bar, next, static_cast<int>(kind - SCROLL_REPEAT_FIRST));
    return 1;
}

int CScrollBarCtrl::OnTimer(UINT_PTR id, LPARAM lParam) {
    if (m_repeatKind && id == m_repeatId) {
        const UINT_PTR kind = m_repeatKind;
        for (int bar : {SCROLL_BAR_VERT, SCROLL_BAR_HORZ}) {
            if (RepeatStep(bar, kind)) break;
        }
        return 1;
    }
    return CUiCtrl::OnTimer(id, lParam);
}

// Pen

int CScrollBarCtrl::OnMouse(int msg, WPARAM, int x, int y) {
    if (msg < 0) msg = 512;
    const bool blocked =
        m_pPanel && m_pPanel->GetManager() && m_pPanel->GetManager()->IsBlockedByModal(m_pPanel);
    if (!IsVisible() || !IsEnabled() || !m_bAcceptPen || blocked) {
        // A press in progress still ends, so that neither the capture nor a repeat stays behind.
        if (IsCapturingPen() && msg == 514) {
            CancelPress();
            return 1;
        }
        return 0;
    }
    const POINT pt{x, y};
    const bool down = msg == 513 || msg == 515;
    const bool slider = GetType() == 18;

    // A press in progress takes every move and the release, wherever the pen is.
    for (int bar : {SCROLL_BAR_VERT, SCROLL_BAR_HORZ}) {
        ScrollBarState* b = Bar(bar);
        int part = -1;
        for (int i = 0; i < SCROLL_PART_COUNT; ++i) {
            if (b->pressed[i]) part = i;
        }
        if (part < 0) continue;
        if (down) {
            // The release went astray: start over with this press.
            CancelPress();
            InvalidatePart(bar, part);
            break;
        }
        const bool track = part == SCROLL_PART_BEFORE || part == SCROLL_PART_AFTER;
        if (msg == 512) {
            if ((part == SCROLL_PART_THUMB || (slider && track)) &&
                !UserMove(bar, PosFromPoint(bar, x, y), SCROLL_EVENT_THUMB_DRAG))
                return 1;
            if (part != SCROLL_PART_THUMB && b->pressed[part]) {
                RECT rc;
                const int inside = GetPartRect(bar, part, &rc) && PtInRect(&rc, pt) ? 1 : 0;
                if (inside != b->heldInside[part]) {
                    b->heldInside[part] = inside;
                    if (!track) InvalidatePart(bar, part);
                }
            }
            return 1;
        }
        if (msg == 514) {
            FinishPress(bar, part);
            if (part == SCROLL_PART_THUMB) Notify(SCROLL_EVENT_THUMB_UP, b->pos, bar);
            return 1;
        }
        return 1;
    }

    if (down) {
        RECT client;
        GetClientArea(&client);
        if (PtInRect(&client, pt)) return 1;
    }
    for (int bar : {SCROLL_BAR_VERT, SCROLL_BAR_HORZ}) {
        RECT br;
        if (!GetBarRect(bar, &br) || !PtInRect(&br, pt)) continue;
        if (!down) return 1;
        ScrollBarState* b = Bar(bar);
        RECT rc;
        auto press = [&](int part) {
            if (HWND wnd = GetWnd()) {
                ::SetCapture(wnd);
                m_bCaptured = 1;
            }
            b->pressed[part] = 1;
            b->heldInside[part] = 1;
        };
        if (HasArrows() && GetPartRect(bar, SCROLL_PART_FIRST, &rc) && PtInRect(&rc, pt)) {
            StartRepeat(SCROLL_REPEAT_FIRST);
            press(SCROLL_PART_FIRST);
            InvalidatePart(bar, SCROLL_PART_FIRST);
            UserMove(bar, StepArrow(bar, FALSE), SCROLL_EVENT_FIRST);
            return 1;
        }
        if (HasArrows() && GetPartRect(bar, SCROLL_PART_SECOND, &rc) && PtInRect(&rc, pt)) {
            StartRepeat(SCROLL_REPEAT_SECOND);
            press(SCROLL_PART_SECOND);
            InvalidatePart(bar, SCROLL_PART_SECOND);
            UserMove(bar, StepArrow(bar, TRUE), SCROLL_EVENT_SECOND);
            return 1;
        }
        if (GetPartRect(bar, SCROLL_PART_THUMB, &rc) && PtInRect(&rc, pt)) {
            press(SCROLL_PART_THUMB);
            InvalidatePart(bar, SCROLL_PART_THUMB);
            return 1;
        }
        for (int part : {SCROLL_PART_BEFORE, SCROLL_PART_AFTER}) {
            if (!GetPartRect(bar, part, &rc) || !PtInRect(&rc, pt)) continue;
            // Paging needs something to page through; a wrapping bar only steps.
            if (b->wrap || !(b->page > 0 && b->page < b->total)) return 1;
            const bool after = part == SCROLL_PART_AFTER;
            int next;
            if (m_nJumpMode) {
                next = PosFromPoint(bar, x, y);
            } else {
                next = StepPage(bar, after);
                StartRepeat(after ? SCROLL_REPEAT_PAGE_AFTER : SCROLL_REPEAT_PAGE_BEFORE);
            }
            press(part);
            UserMove(bar, next, after ? SCROLL_EVENT_PAGE_AFTER : SCROLL_EVENT_PAGE_BEFORE);
            return 1;
        }
        return 1;
    }
    return 0;
}

// Painting

void CScrollBarCtrl::DrawTrack(HDC dc, int bar, const POINT& origin, int end) {
    const ScrollBarState* b = Bar(bar);
    CUiBitmap* track = b->bitmaps[SCROLL_BMP_TRACK].get();
    RECT br;
    int start, length, thumb;
    if (!HasSize(track) || !GetBarRect(bar, &br) || !TrackSpan(bar, &start, &length, &thumb)) return;
    const int span = end - start;
    const int tile = Along(track, bar);
    if (span <= 0 || tile <= 0) return;
    const int across = Across(track, bar);
    const int acrossAt = bar == SCROLL_BAR_VERT ? br.left + (b->thickness - across) / 2 - origin.x
                                                : br.top + (b->thickness - across) / 2 - origin.y;
    const int shift = bar == SCROLL_BAR_VERT ? origin.y : origin.x;
    auto place = [&](int along, int alongLength) {
        const LONG w = bar == SCROLL_BAR_VERT ? across : alongLength;
        const LONG h = bar == SCROLL_BAR_VERT ? alongLength : across;
        const LONG x = bar == SCROLL_BAR_VERT ? acrossAt : along - shift;
        const LONG y = bar == SCROLL_BAR_VERT ? along - shift : acrossAt;
        track->DrawStretch(dc, x, y, w, h, 0, 0, track->GetWidth(), track->GetHeight());
    };
    if (tile > span) {
        place(start, span);
        return;
    }
    int at = start;
    for (; at + tile <= end; at += tile) place(at, tile);
    if (at < end) place(end - tile, tile);
}

void CScrollBarCtrl::DrawBarText(HDC dc, int bar, const POINT& origin) {
    if (!m_szText[0]) return;
    RECT rc;
    if (!GetTrackRect(bar, &rc)) return;
    OffsetRect(&rc, -origin.x, -origin.y + GetTextYOffset());
    const int saved = SaveDC(dc);
    if (m_hFont) SelectObject(dc, m_hFont);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, m_crText);
    UINT format = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS;
    if (m_nTextAlign < 0) format |= DT_LEFT;
    else if (m_nTextAlign == 0) format |= DT_CENTER;
    else format |= DT_RIGHT;
    ::DrawTextW(dc, m_szText, -1, &rc, format);
    RestoreDC(dc, saved);
}

void CScrollBarCtrl::DrawThumb(HDC dc, int bar, const POINT& origin) {
    const ScrollBarState* b = Bar(bar);
    CUiBitmap* thumb = b->bitmaps[SCROLL_BMP_THUMB].get();
    if (b->pressed[SCROLL_PART_THUMB] && HasSize(b->bitmaps[SCROLL_BMP_THUMB_PRESSED].get()))
        thumb = b->bitmaps[SCROLL_BMP_THUMB_PRESSED].get();
    RECT rc;
    if (!HasSize(thumb) || !GetThumbRect(bar, &rc)) return;
    const int across = Across(thumb, bar);
    if (bar == SCROLL_BAR_VERT)
        thumb->DrawPart(dc, rc.left + (b->thickness - across) / 2 - origin.x, rc.top - origin.y, 0, 0,
                        thumb->GetWidth(), rc.bottom - rc.top);
    else
        thumb->DrawPart(dc, rc.left - origin.x, rc.top + (b->thickness - across) / 2 - origin.y, 0, 0,
                        rc.right - rc.left, thumb->GetHeight());
}

void CScrollBarCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    RECT all;
    GetRect(&all, FALSE);
    const POINT origin{all.left, all.top};
    for (int bar : {SCROLL_BAR_VERT, SCROLL_BAR_HORZ}) {
        RECT br;
        if (!GetBarRect(bar, &br)) continue;
        const ScrollBarState* b = Bar(bar);
        int start, length, thumb;
        TrackSpan(bar, &start, &length, &thumb);
        int end = start + length;
        if (GetType() == 18) {
            // The slider's track shows the filled part only.
            const int thumbStart = start + ThumbOffset(bar);
            end = b->pos < 1 ? thumbStart : thumbStart + thumb / 2;
        }
        DrawTrack(back, bar, origin, end);
        for (int part : {SCROLL_PART_FIRST, SCROLL_PART_SECOND}) {
            const int slot = part == SCROLL_PART_FIRST ? SCROLL_BMP_FIRST : SCROLL_BMP_SECOND;
            CUiBitmap* arrow = b->bitmaps[slot].get();
            if (b->pressed[part] && b->heldInside[part] && HasSize(b->bitmaps[slot + 1].get()))
                arrow = b->bitmaps[slot + 1].get();
            RECT rc;
            if (!HasSize(arrow) || !GetPartRect(bar, part, &rc)) continue;
            const int across = Across(arrow, bar);
            if (bar == SCROLL_BAR_VERT)
                arrow->DrawPart(back, rc.left + (b->thickness - across) / 2 - origin.x, rc.top - origin.y, 0, 0,
                                arrow->GetWidth(), rc.bottom - rc.top);
            else
                arrow->DrawPart(back, rc.left - origin.x, rc.top + (b->thickness - across) / 2 - origin.y, 0, 0,
                                rc.right - rc.left, arrow->GetHeight());
        }
        DrawBarText(back, bar, origin);
        DrawThumb(back, bar, origin);
    }
    EndBackPaint(target, release);
}

void CScrollBarCtrl::Destroy() {
    CancelPress();
    Reset(SCROLL_BAR_BOTH);
    CUiCtrl::Destroy();
}

// Progress bar

CProgressBar::CProgressBar(const LayoutControlRecord* record, CShellPanel* panel)
    : CScrollBarCtrl(record, panel), m_nInverse(0) {}

CProgressBar::~CProgressBar() = default;

int CProgressBar::SetPos(int bar, int pos, BOOL redraw) {
    ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    const int old = b->pos;
    b->pos = pos;
    if (redraw) {
        RECT rc;
        GetRect(&rc, FALSE);
        Invalidate(&rc, FALSE);
    }
    return old;
}

BOOL CProgressBar::SetBarImages(const WCHAR* track, const WCHAR* fill, const WCHAR* thumb, const WCHAR* thumbPressed,
                                int bar) {
    ScrollBarState* b = Bar(bar);
    if (!b) return 0;
    for (auto& bitmap : b->bitmaps) bitmap->Free();
    const struct {
        int slot;
        const WCHAR* name;
    } loads[] = {{SCROLL_BMP_TRACK, track}, {SCROLL_BMP_FILL, fill}, {SCROLL_BMP_THUMB, thumb},
                 {SCROLL_BMP_THUMB_PRESSED, thumbPressed}};
    for (const auto& load : loads) {
        CUiBitmap* bitmap = b->bitmaps[load.slot].get();
        if (!load.name || !load.name[0]) continue;
        if (bitmap->Load(load.name) < 0 || !HasSize(bitmap)) {
            bitmap->Free();
            continue;
        }
        bitmap->SetTransparent(m_bTransparent, m_crKey);
    }
    b->thickness = std::max(Across(b->bitmaps[SCROLL_BMP_THUMB].get(), bar), Across(b->bitmaps[SCROLL_BMP_TRACK].get(), bar));
    if (bar == SCROLL_BAR_VERT) m_nBars = m_nBars == SCROLL_BAR_HORZ || m_nBars == SCROLL_BAR_BOTH ? SCROLL_BAR_BOTH : SCROLL_BAR_VERT;
    else m_nBars = m_nBars == SCROLL_BAR_VERT || m_nBars == SCROLL_BAR_BOTH ? SCROLL_BAR_BOTH : SCROLL_BAR_HORZ;
    return HasSize(b->bitmaps[SCROLL_BMP_TRACK].get()) &&
           (HasSize(b->bitmaps[SCROLL_BMP_THUMB].get()) || HasSize(b->bitmaps[SCROLL_BMP_FILL].get()));
}

void CProgressBar::DrawFill(HDC dc, int bar, const POINT& origin) {
    const ScrollBarState* b = Bar(bar);
    CUiBitmap* fill = b->bitmaps[SCROLL_BMP_FILL].get();
    RECT br;
    int start, length, thumb;
    if (!HasSize(fill) || !GetBarRect(bar, &br) || !TrackSpan(bar, &start, &length, &thumb)) return;
    const int offset = ThumbOffset(bar);
    const int across = Across(fill, bar);
    if (bar == SCROLL_BAR_HORZ) {
        const int w = std::min<int>(offset, fill->GetWidth());
        if (w > 0)
            fill->DrawPart(dc, start - origin.x, br.top + (b->thickness - across) / 2 - origin.y, 0, 0, w,
                           fill->GetHeight());
        return;
    }
    const int x = br.left + (b->thickness - across) / 2 - origin.x;
    if (!m_nInverse) {
        const int h = std::min<int>(offset, fill->GetHeight());
        if (h > 0) fill->DrawPart(dc, x, start - origin.y, 0, 0, fill->GetWidth(), h);
        return;
    }
    const int h = std::min<int>(length, fill->GetHeight()) - offset;
    if (h > 0) fill->DrawPart(dc, x, start + offset - origin.y, 0, offset, fill->GetWidth(), h);
}

void CProgressBar::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    RECT all;
    GetRect(&all, FALSE);
    const POINT origin{all.left, all.top};
    for (int bar : {SCROLL_BAR_VERT, SCROLL_BAR_HORZ}) {
        RECT br;
        if (!GetBarRect(bar, &br)) continue;
        int start, length, thumb;
        TrackSpan(bar, &start, &length, &thumb);
        DrawTrack(back, bar, origin, start + length);
        DrawFill(back, bar, origin);
        DrawBarText(back, bar, origin);
        DrawThumb(back, bar, origin);
    }
    EndBackPaint(target, release);
}

// Factory entries

namespace {

void ReadBarImages(CLayoutScript* script, int page, int control, const WCHAR* key, int count,
                   WCHAR (*names)[MAX_PATH], const WCHAR* out[7]) {
    for (int i = 0; i < 7; ++i) out[i] = nullptr;
    if (script->ReadImageList(page, control, key, count, names, -1) < 0) return;
    for (int i = 0; i < count; ++i) out[i] = names[i];
}

}  // namespace

CUiCtrl* NewScrollBar(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                      int control) {
    if (!record) return nullptr;
    auto bar = std::make_unique<CScrollBarCtrl>(record, panel);
    if (!script) return bar.release();
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(7);
    const WCHAR* list[7];
    ReadBarImages(script, page, control, u"vsbimgs", 7, names.get(), list);
    if (list[0]) bar->SetBarImages(list, SCROLL_BAR_VERT);
    ReadBarImages(script, page, control, u"hsbimgs", 7, names.get(), list);
    if (list[0]) bar->SetBarImages(list, SCROLL_BAR_HORZ);
    return bar.release();
}

CUiCtrl* NewProgressBar(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                        int control) {
    if (!record) return nullptr;
    auto bar = std::make_unique<CProgressBar>(record, panel);
    if (!script) return bar.release();
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(4);
    if (script->ReadImageList(page, control, u"vpbimgs", 4, names.get(), -1) >= 0)
        bar->SetBarImages(names[0], names[1], names[2], names[3], SCROLL_BAR_VERT);
    if (script->ReadImageList(page, control, u"hpbimgs", 4, names.get(), -1) >= 0)
        bar->SetBarImages(names[0], names[1], names[2], names[3], SCROLL_BAR_HORZ);
    DWORD inverse = 0;
    if (script->ReadNumbers(page, control, u"vpinverse", 1, &inverse) == 0) bar->SetInverse(static_cast<LONG>(inverse));
    return bar.release();
}
