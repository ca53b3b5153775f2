#include "ui/controls/BarGraph.h"

#include <algorithm>
#include <new>

#include "ui/FileUtil.h"
#include "ui/LayoutScript.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/controls/ControlUtil.h"

namespace {

// Pen coordinates at or past this are not on the screen.
constexpr int kNoPen = 32768;
// Columns and levels a layout may ask for: every column is at least a pixel of an 800-pixel screen.
constexpr int kMaxColumns = 4096;
constexpr int kMaxLevels = 1 << 20;

}  // namespace

CBarGraphCtrl::CBarGraphCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel),
      m_nColumns(0),
      m_nLevels(0),
      m_nAllowance(0),
      m_nPicked(-1),
      m_bKnob(0),
      m_bAbove(0),
      m_bBelow(0),
      m_pHookOwner(this),
      m_pHook(&CBarGraphCtrl::DefaultHook) {}

CBarGraphCtrl::~CBarGraphCtrl() { CBarGraphCtrl::Destroy(); }

void CBarGraphCtrl::Destroy() {
    m_levels.clear();
    m_nColumns = 0;
    m_knob.reset();
    m_knobPressed.reset();
    m_bar.reset();
    CUiCtrl::Destroy();
}

BOOL CBarGraphCtrl::SetImages(const WCHAR* knob, const WCHAR* pressed, const WCHAR* bar) {
    m_knob = LoadControlBitmap(knob, m_bTransparent, m_crKey);
    m_knobPressed = LoadControlBitmap(pressed, m_bTransparent, m_crKey);
    m_bar = LoadControlBitmap(bar, m_bTransparent, m_crKey);
    return 1;
}

int CBarGraphCtrl::SetColumns(int columns, int levels) {
    // Both counts divide the control: none of them may be 0.
    if (columns < 1 || levels < 1 || columns > kMaxColumns || levels > kMaxLevels) return -1;
    try {
        m_levels.assign(static_cast<size_t>(columns), 0);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    m_nColumns = columns;
    m_nLevels = levels;
    m_nPicked = -1;
    Invalidate(nullptr, FALSE);
    return 0;
}

int CBarGraphCtrl::SetLevel(int column, int level) {
    if (column < 0 || column >= m_nColumns || level < 0 || level > m_nLevels) return -1;
    m_levels[static_cast<size_t>(column)] = level;
    if (column == m_nColumns - 1) Invalidate(nullptr, FALSE);
    return 0;
}

int CBarGraphCtrl::GetLevel(int column) const {
    return (column >= 0 && column < m_nColumns) ? m_levels[static_cast<size_t>(column)] : -1;
}

void CBarGraphCtrl::SetChangeHook(void* owner, BarGraphHook hook) {
    m_pHookOwner = owner;
    m_pHook = hook;
}

int CBarGraphCtrl::DefaultHook(void* owner, int column, int, int) {
    return owner ? static_cast<CBarGraphCtrl*>(owner)->ExecCommand(column, 0) : 0;
}

int CBarGraphCtrl::ExecCommand(int arg, int sel) {
    if (sel >= 0 && !IsEnabled()) return 0;
    // The init command at creation is no column's change.
    if (sel == -1) return CUiCtrl::ExecCommand(arg, sel);
    HWND cmd = GetCmdWnd();
    LONG msg = StrToLong(m_cmd.s[0]);
    if (m_cmd.kind != 0 || msg == 0 || !m_pPanel || !cmd) return CUiCtrl::ExecCommand(arg, sel);
    // Sent: the answer decides whether the column keeps its new level.
    LPARAM lParam = static_cast<LPARAM>((static_cast<DWORD>(GetIndex()) & 0xFFFF) | (static_cast<DWORD>(arg) << 16));
    std::weak_ptr<const int> life = GetLifeToken();
    LRESULT result = ::SendMessageW(cmd, static_cast<UINT>(msg), static_cast<WPARAM>(GetShellNumber()), lParam);
    // The answer may have closed the page, and this control with it.
    if (life.expired()) return static_cast<int>(result);
    if (m_pPanel->GetManager())
        m_pPanel->GetManager()->Notify(m_nSndKind, m_szSndName, static_cast<LPARAM>(GetIndex()));
    return static_cast<int>(result);
}

void CBarGraphCtrl::OnCreate() {
    CUiCtrl::OnCreate();
    const int width = FontTextExtent(m_hFont, u"A").cx;
    m_nAllowance = width + 2 * GetSystemMetrics(SM_CYBORDER);
}

// Geometry, in the coordinates of rc (the control's rectangle).

float CBarGraphCtrl::Unit(const RECT& rc) const {
    int kh = m_knob ? m_knob->GetHeight() : 0;
    // A knob taller than the control leaves no room to move: the unit stays 0.
    float u = static_cast<float>((rc.bottom - rc.top) - kh - m_nAllowance) / static_cast<float>(m_nLevels);
    return std::max(u, 0.0f);
}

float CBarGraphCtrl::Pitch(const RECT& rc) const {
    return static_cast<float>(rc.right - rc.left) / static_cast<float>(m_nColumns);
}

int CBarGraphCtrl::KnobLeft(const RECT& rc, int column) const {
    float p = Pitch(rc);
    int kw = m_knob ? m_knob->GetWidth() : 0;
    return rc.left + static_cast<int>((p - static_cast<float>(kw)) / 2 + p * static_cast<float>(column));
}

int CBarGraphCtrl::KnobTop(const RECT& rc, int level) const {
    int kh = m_knob ? m_knob->GetHeight() : 0;
    if (level >= m_nLevels) return rc.top + ((m_nTextMode & BARGRAPH_LABEL_ABOVE) ? m_nAllowance : 0);
    int top = rc.bottom - kh - ((m_nTextMode & BARGRAPH_LABEL_BELOW) ? m_nAllowance : 0);
    if (level > 0) top -= static_cast<int>(Unit(rc) * static_cast<float>(level));
    return top;
}

int CBarGraphCtrl::LevelAt(const RECT& rc, int y) const {
    if (m_nLevels < 1 || y >= kNoPen) return -1;
    int kh = m_knob ? m_knob->GetHeight() : 0;
    int upper = rc.top + ((m_nTextMode & BARGRAPH_LABEL_ABOVE) ? m_nAllowance : 0);
    int lower = rc.bottom - kh / 2 - ((m_nTextMode & BARGRAPH_LABEL_BELOW) ? m_nAllowance : 0);
    if (y <= upper) return m_nLevels;
    if (y >= lower) return 0;
    float u = Unit(rc);
    for (int i = 0; i < m_nLevels; ++i)
        if (y >= lower - static_cast<int>(u * static_cast<float>(i + 1))) return i;
    return m_nLevels;
}

BOOL CBarGraphCtrl::GetKnobRect(int column, RECT* rc) const {
    if (!rc || !m_knob || column < 0 || column >= m_nColumns) return FALSE;
    RECT own;
    GetRect(&own, FALSE);
    int left = KnobLeft(own, column);
    int top = KnobTop(own, m_levels[static_cast<size_t>(column)]);
    SetRect(rc, left, top, left + m_knob->GetWidth(), top + m_knob->GetHeight());
    return TRUE;
}

// Pen

BOOL CBarGraphCtrl::ApplyLevel(int level) {
    if (m_nPicked < 0 || m_nPicked >= m_nColumns || level < 0 || level > m_nLevels) return TRUE;
    int& slot = m_levels[static_cast<size_t>(m_nPicked)];
    int old = slot;
    if (level == old) return TRUE;
    slot = level;
    Invalidate(nullptr, FALSE);
    std::weak_ptr<const int> life = GetLifeToken();
    int column = m_nPicked;
    int accepted = m_pHook ? m_pHook(m_pHookOwner, column, level, old) : 1;
    if (life.expired()) return FALSE;
    // The hook may have set the columns anew meanwhile.
    if (!accepted && column < m_nColumns) {
        m_levels[static_cast<size_t>(column)] = old;
        Invalidate(nullptr, FALSE);
    }
    return TRUE;
}

BOOL CBarGraphCtrl::CancelPress() {
    BOOL was = m_bKnob || m_bAbove || m_bBelow;
    if (was) CtrlReleaseCapture(this);
    m_bKnob = m_bAbove = m_bBelow = 0;
    m_nPicked = -1;
    if (was) Invalidate(nullptr, FALSE);
    return was;
}

int CBarGraphCtrl::OnMouse(int msg, WPARAM, int x, int y) {
    bool pressed = m_bKnob || m_bAbove || m_bBelow;
    if (m_nColumns < 1 || m_nLevels < 1 || !m_knob || !IsVisible() || !IsEnabled() || !m_bAcceptPen ||
        IsCtrlBlocked(this)) {
        if (pressed) CancelPress();
        return 0;
    }
    RECT own;
    GetRect(&own, FALSE);
    if (msg == 513 || msg == 515) {
        if (pressed) CancelPress();
        int kw = m_knob->GetWidth(), kh = m_knob->GetHeight();
        int column = -1;
        for (int i = 0; i < m_nColumns; ++i) {
            int left = KnobLeft(own, i);
            if (x >= left && x < left + kw) column = i;
        }
        if (column < 0) return 0;
        int top = KnobTop(own, m_levels[static_cast<size_t>(column)]);
        int upper = own.top + ((m_nTextMode & BARGRAPH_LABEL_ABOVE) ? m_nAllowance : 0);
        int lower = own.bottom - ((m_nTextMode & BARGRAPH_LABEL_BELOW) ? m_nAllowance : 0);
        BOOL* flag = nullptr;
        if (y >= top && y < top + kh)
            flag = &m_bKnob;
        else if (y >= upper && y < top)
            flag = &m_bAbove;
        else if (y >= top + kh && y < lower)
            flag = &m_bBelow;
        if (!flag) return 0;
        CtrlTakeCapture(this);
        m_nPicked = column;
        *flag = 1;
        if (flag == &m_bKnob)
            Invalidate(nullptr, FALSE);
        else
            ApplyLevel(LevelAt(own, y));
        return 1;
    }
    if (!pressed) return 0;
    if (msg == 512) {
        ApplyLevel(LevelAt(own, y));
        return 1;
    }
    CancelPress();
    return 1;
}

// Painting

void CBarGraphCtrl::OnPaint(HDC dc) {
    HDC target = nullptr;
    BOOL release = 0;
    HDC back = BeginBackPaint(dc, &target, &release);
    if (!back) return;
    if (CUiBitmap* image = ChooseImage()) DrawAligned(back, image);
    const RECT own = {0, 0, m_nBackW, m_nBackH};
    if (m_nColumns > 0 && m_nLevels > 0) {
        float p = Pitch(own);
        for (int i = 0; i < m_nColumns; ++i) {
            // The knobs lie where the pen finds them.
            int top = KnobTop(own, m_levels[static_cast<size_t>(i)]);
            if (m_bar) {
                int bw = m_bar->GetWidth();
                int x = static_cast<int>((p - static_cast<float>(bw)) / 2 + p * static_cast<float>(i));
                // The bar is revealed below the knob: its rows from the knob's height on, never past it.
                int from = std::max(top, 0);
                int rows = std::min<int>(m_bar->GetHeight() - from, own.bottom - from);
                if (rows > 0) m_bar->DrawPart(back, x, from, 0, from, bw, rows);
            }
            CUiBitmap* knob = (i == m_nPicked && m_knobPressed) ? m_knobPressed.get() : m_knob.get();
            if (knob) knob->DrawClipped(back, KnobLeft(own, i), top, own);
        }
    }
    DrawText(back, 0, 0);
    EndBackPaint(target, release);
}

CUiCtrl* NewBarGraph(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                     int control) {
    auto graph = std::make_unique<CBarGraphCtrl>(record, panel);
    if (!script) return graph.release();
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(3);
    if (script->ReadImageList(page, control, u"gbimgs", 3, names.get(), -1) >= 0)
        graph->SetImages(names[0], names[1], names[2]);
    return graph.release();
}
