#include "ui/controls/Graph.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "ui/ShellPanel.h"

namespace {

// Coordinates handed to GDI stay in a range its rasteriser handles cheaply.
constexpr int64_t kCoordLimit = 16384;
constexpr int kAxisValueLimit = 1000000;
constexpr int kMaxPage = 1000000;
constexpr int kPolylineChunk = 1000;

int ClampCoord(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, -kCoordLimit, kCoordLimit)); }

WORD StoredValue(int v) { return static_cast<WORD>(v < 1 ? 0 : (v > 0xFFFF ? 0xFFFF : v)); }

DWORD ScaleToDword(double v) {
    if (!(v > 0)) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<DWORD>(v);
}

void Line(HDC dc, int x0, int y0, int x1, int y1) {
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

}  // namespace

CGraphCtrl::CGraphCtrl(const LayoutControlRecord* record, CShellPanel* panel)
    : CUiCtrl(record, panel),
      m_bFrozen(0),
      m_nFurthestPage(0),
      m_nFirstPage(0),
      m_hSem(nullptr),
      m_nLabelHeight(12),
      m_nSpan(7200),
      m_nGrid(600),
      m_nDivisions(GRAPH_DIVISIONS),
      m_axes{},
      m_crFrame(0xFFFFFF),
      m_crGrid(0x646464),
      m_nMarginLeft(46),
      m_nMarginRight(34),
      m_nMarginTop(23),
      m_nMarginBottom(30),
      m_bFullRedraw(1),
      m_hGraphDC(nullptr),
      m_hGraphBmp(nullptr),
      m_hGraphOld(nullptr),
      m_nBufW(0),
      m_nBufH(0),
      m_hLabelFont(nullptr),
      m_nCount(0),
      m_nLength(0),
      m_nIndex(0),
      m_nDrawn(0),
      m_nPlotLeft(0),
      m_nPlotBottom(0),
      m_nPlotWidth(0),
      m_nPlotHeight(0),
      m_dSecondsToPixels(0),
      m_dwSecondsToPixels(0) {
    const WCHAR celsius[2] = {0x2103, 0};
    const struct {
        int base, per;
        const WCHAR* unit;
        COLORREF color;
    } defaults[3] = {{-5, 5, u"A", 0x0000FF}, {0, 10, u"V", 0x00FF00}, {0, 10, celsius, 0xFF0000}};
    for (int a = 0; a < 3; ++a) {
        m_axes[a].base = defaults[a].base;
        m_axes[a].perDivision = defaults[a].per;
        wcsncpy(m_axes[a].unit, defaults[a].unit, GRAPH_UNIT_MAX - 1);
        m_axes[a].unit[GRAPH_UNIT_MAX - 1] = 0;
        m_axes[a].color = defaults[a].color;
        m_axes[a].offset = -defaults[a].base;
    }
    // Every graph opens the same name: all graphs of the system share one object.
    m_hSem = CreateSemaphoreW(nullptr, 1, 1, u"GRAPH_SEMAPORE");
}

CGraphCtrl::~CGraphCtrl() {
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        FreeBuffer();
    }
    FreeStore();
    if (m_hSem) CloseHandle(m_hSem);
    m_hSem = nullptr;
    if (m_hLabelFont) DeleteObject(m_hLabelFont);
    m_hLabelFont = nullptr;
}

void CGraphCtrl::TakeSemaphore() {
    if (m_hSem) WaitForSingleObject(m_hSem, INFINITE);
}

void CGraphCtrl::GiveSemaphore() {
    if (m_hSem) ReleaseSemaphore(m_hSem, 1, nullptr);
}

// Store

void CGraphCtrl::FreeStoreLocked() {
    for (Channel& c : m_channels) {
        if (c.pen) DeleteObject(c.pen);
    }
    m_channels.clear();
    m_visible.clear();
    m_nCount = 0;
    m_nLength = 0;
    m_nIndex = 0;
    m_nDrawn = 0;
    m_bFullRedraw = 1;
}

void CGraphCtrl::FreeStore() {
    TakeSemaphore();
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        FreeStoreLocked();
    }
    GiveSemaphore();
}

BOOL CGraphCtrl::SetChannels(int n, int length, const COLORREF* colours) {
    TakeSemaphore();
    BOOL ok = 0;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        FreeStoreLocked();
        if (n >= 1 && n <= GRAPH_MAX_CHANNELS && length >= 1 && length <= GRAPH_MAX_LENGTH && colours) {
            ok = 1;
            std::vector<Channel> channels(static_cast<size_t>(n) + 1);
            for (int r = 0; r <= n && ok; ++r) {
                channels[static_cast<size_t>(r)].samples.reset(new (std::nothrow) WORD[static_cast<size_t>(length)]());
                channels[static_cast<size_t>(r)].pen = CreatePen(PS_SOLID, 1, colours[r]);
                if (!channels[static_cast<size_t>(r)].samples || !channels[static_cast<size_t>(r)].pen) ok = 0;
            }
            m_channels = std::move(channels);
            if (ok) {
                m_visible.assign(static_cast<size_t>(n), 0);
                m_nCount = n;
                m_nLength = length;
            } else {
                FreeStoreLocked();
            }
        }
    }
    GiveSemaphore();
    return ok;
}

void CGraphCtrl::SetChannelFlags(const DWORD* words) {
    if (!words) return;
    std::lock_guard<std::recursive_mutex> g(m_lock);
    for (int c = 0; c < m_nCount; ++c) m_visible[static_cast<size_t>(c)] = words[c];
}

void CGraphCtrl::Freeze() {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_bFrozen = 1;
}

void CGraphCtrl::Unfreeze() {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_bFrozen = 0;
}

BOOL CGraphCtrl::IsFrozen() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_bFrozen;
}

int CGraphCtrl::GetSampleCount() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nIndex;
}

int CGraphCtrl::GetChannelCount() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nCount;
}

int CGraphCtrl::GetLength() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nLength;
}

int CGraphCtrl::GetSample(int record, int index) const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (record < 0 || record > m_nCount || m_nCount == 0 || index < 0 || index >= m_nLength) return -1;
    return m_channels[static_cast<size_t>(record)].samples[static_cast<size_t>(index)];
}

BOOL CGraphCtrl::StoreLocked(const int* samples) {
    // A run or a replayed log longer than the store keeps what fits and drops the rest.
    if (m_nCount == 0 || m_nIndex < 0 || m_nIndex >= m_nLength) return 0;
    for (int r = 0; r <= m_nCount; ++r)
        m_channels[static_cast<size_t>(r)].samples[static_cast<size_t>(m_nIndex)] = StoredValue(samples[r]);
    return 1;
}

int CGraphCtrl::AddData(const int* samples, int n, BOOL redraw) {
    int result = GRAPH_ADD_NONE;
    BOOL paint = 0;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (!samples || n != m_nCount || !StoreLocked(samples)) return GRAPH_ADD_NONE;
        const int end = m_nFirstPage * GRAPH_PAGE_SECONDS + m_nSpan;
        const int step = m_nSpan == 1800 ? 1 : (m_nSpan == 7200 ? 4 : 0);
        if (m_nFurthestPage <= m_nFirstPage) {
            if (m_nIndex + 1 == end) {
                result = GRAPH_ADD_LASTSLOT;
            } else if (m_nIndex == end) {
                m_nFirstPage += step;
                m_bFullRedraw = step != 0;
                result = GRAPH_ADD_NEWPAGE;
            } else if (redraw && !m_bFrozen && end > m_nIndex) {
                paint = 1;
            }
        } else if (m_nIndex == end) {
            m_nFirstPage += step;
            m_bFullRedraw = 1;
            result = GRAPH_ADD_NEWPAGE;
        } else if (redraw && !m_bFrozen && end > m_nIndex) {
            paint = 1;
        }
        ++m_nIndex;
        // The newest segment goes into the retained drawing here; the window only learns it is dirty,
        // so a worker thread never waits for the UI thread.
        if (paint && !m_bFullRedraw && m_hGraphDC) CatchUp();
    }
    if (paint) MarkDirty();
    return result;
}

BOOL CGraphCtrl::PutData(const int* samples, int n) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (!samples || n != m_nCount || !StoreLocked(samples)) return 0;
    ++m_nIndex;
    return 1;
}

void CGraphCtrl::ClearDataLocked() {
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        for (int r = 0; r <= m_nCount && m_nCount > 0; ++r)
            std::fill_n(m_channels[static_cast<size_t>(r)].samples.get(), m_nLength, WORD{0});
        m_nIndex = 0;
        m_nFirstPage = 0;
        m_nDrawn = 0;
        m_bFullRedraw = 1;
    }
    Repaint();
}

void CGraphCtrl::ClearData() {
    TakeSemaphore();
    ClearDataLocked();
    GiveSemaphore();
}

void CGraphCtrl::SetPage(int page) {
    TakeSemaphore();
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        m_nFirstPage = std::clamp(page, 0, kMaxPage);
        if (m_nFurthestPage < m_nFirstPage) m_nFurthestPage = m_nFirstPage;
        m_bFullRedraw = 1;
    }
    Repaint();
    GiveSemaphore();
}

int CGraphCtrl::GetPage() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nFirstPage;
}

int CGraphCtrl::GetFurthestPage() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nFurthestPage;
}

void CGraphCtrl::SetFurthestPage(int page) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_nFurthestPage = std::clamp(page, 0, kMaxPage);
}

// Axes, scales and zoom

void CGraphCtrl::SetAxis(int axis, int base, int perDivision, const WCHAR* unit, COLORREF color) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    GraphAxis& a = m_axes[axis];
    a.base = std::clamp(base, -kAxisValueLimit, kAxisValueLimit);
    // A division below one unit would divide by zero in the scale.
    a.perDivision = std::clamp(perDivision, 1, kAxisValueLimit);
    int i = 0;
    for (; unit && unit[i] && i < GRAPH_UNIT_MAX - 1; ++i) a.unit[i] = unit[i];
    a.unit[i] = 0;
    a.color = color;
    a.offset = -a.base;
    // The tick widens an axis and only repaints: the scale must follow the new division at once.
    if (m_nPlotHeight > 0)
        a.pixelsPerUnit = ScaleToDword(static_cast<double>(m_nPlotHeight) / m_nDivisions / a.perDivision * 1000000.0);
    m_bFullRedraw = 1;
}

void CGraphCtrl::SetAxis1(int base, int perDivision, const WCHAR* unit, COLORREF color, BOOL clear) {
    TakeSemaphore();
    SetAxis(0, base, perDivision, unit, color);
    if (clear) ClearDataLocked();
    GiveSemaphore();
}

void CGraphCtrl::SetAxis2(int base, int perDivision, const WCHAR* unit, COLORREF color, BOOL clear) {
    TakeSemaphore();
    SetAxis(1, base, perDivision, unit, color);
    if (clear) ClearDataLocked();
    GiveSemaphore();
}

void CGraphCtrl::SetAxis3(int base, int perDivision, const WCHAR* unit, COLORREF color) {
    TakeSemaphore();
    SetAxis(2, base, perDivision, unit, color);
    ClearDataLocked();
    GiveSemaphore();
}

GraphAxis CGraphCtrl::GetAxis(int axis) const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_axes[std::clamp(axis, 1, 3) - 1];
}

void CGraphCtrl::ComputeScales() {
    TakeSemaphore();
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        RECT rc;
        GetRect(&rc, TRUE);
        const int w = rc.right - rc.left;
        const int h = rc.bottom - rc.top;
        m_nPlotWidth = std::max(0, w - m_nMarginLeft - m_nMarginRight);
        m_nPlotHeight = std::max(0, h - m_nMarginTop - m_nMarginBottom);
        m_nPlotBottom = h - m_nMarginBottom;
        m_nPlotLeft = m_nMarginLeft;
        m_dSecondsToPixels = m_nSpan > 0 ? static_cast<double>(m_nPlotWidth) / m_nSpan : 0.0;
        m_dwSecondsToPixels = ScaleToDword(m_dSecondsToPixels * 1000000.0);
        for (GraphAxis& a : m_axes) {
            a.pixelsPerUnit = ScaleToDword(static_cast<double>(m_nPlotHeight) / m_nDivisions / a.perDivision * 1000000.0);
            a.offset = -a.base;
        }
        m_bFullRedraw = 1;
    }
    GiveSemaphore();
}

int CGraphCtrl::SetZoom(BOOL clearData, int mode) {
    TakeSemaphore();
    int applied = GRAPH_ZOOM_PAGE;
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (mode == GRAPH_ZOOM_4PAGES) {
            m_nSpan = 7200;
            m_nGrid = 600;
            applied = mode;
        } else if (mode == GRAPH_ZOOM_ALL && m_nIndex >= 1801) {
            int pages = (m_nIndex + GRAPH_PAGE_SECONDS - 1) / GRAPH_PAGE_SECONDS;
            const int perLine = pages / 18 + 1;
            m_nGrid = perLine * GRAPH_PAGE_SECONDS;
            if (pages % perLine) pages += perLine - pages % perLine;
            m_nSpan = pages * GRAPH_PAGE_SECONDS;
            applied = mode;
        } else {
            m_nSpan = 1800;
            m_nGrid = 300;
        }
        m_bFullRedraw = 1;
    }
    if (clearData) ClearDataLocked();
    GiveSemaphore();
    return applied;
}

int CGraphCtrl::GetSpan() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nSpan;
}

int CGraphCtrl::GetGrid() const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return m_nGrid;
}

int CGraphCtrl::AxisOf(int channel) const {
    if (channel == 4) return 2;
    return (channel % 2 == 0) ? 1 : 0;
}

int CGraphCtrl::XOf(int index) const {
    const int64_t seconds = static_cast<int64_t>(index) - static_cast<int64_t>(m_nFirstPage) * GRAPH_PAGE_SECONDS;
    return ClampCoord(m_nPlotLeft + seconds * m_dwSecondsToPixels / 1000000);
}

int CGraphCtrl::YOf(int axis, int sample) const {
    const GraphAxis& a = m_axes[axis];
    // Real axes (300 degrees at 10 per division) already pass 32 bits here.
    const int64_t tenths = static_cast<int64_t>(sample) + static_cast<int64_t>(a.offset) * 10;
    return ClampCoord(m_nPlotBottom - tenths * static_cast<int64_t>(a.pixelsPerUnit) / 10000000);
}

int CGraphCtrl::PointX(int index) const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return XOf(index);
}

int CGraphCtrl::PointY(int channel, int sample) const {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    return YOf(AxisOf(std::max(0, channel)), StoredValue(sample));
}

// Drawing

void CGraphCtrl::FreeBuffer() {
    if (m_hGraphDC) {
        if (m_hGraphOld) SelectObject(m_hGraphDC, m_hGraphOld);
        DeleteDC(m_hGraphDC);
    }
    if (m_hGraphBmp) DeleteObject(m_hGraphBmp);
    m_hGraphDC = nullptr;
    m_hGraphBmp = nullptr;
    m_hGraphOld = nullptr;
    m_nBufW = m_nBufH = 0;
}

BOOL CGraphCtrl::EnsureBuffer() {
    RECT rc;
    GetRect(&rc, TRUE);
    const int w = rc.right - rc.left;
    const int h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0) return 0;
    if (m_hGraphDC && w == m_nBufW && h == m_nBufH) return 1;
    FreeBuffer();
    m_hGraphDC = CreateCompatibleDC(nullptr);
    m_hGraphBmp = m_hGraphDC ? CreateCompatibleBitmap(m_hGraphDC, w, h) : nullptr;
    if (!m_hGraphBmp) {
        FreeBuffer();
        return 0;
    }
    m_hGraphOld = SelectObject(m_hGraphDC, m_hGraphBmp);
    m_nBufW = w;
    m_nBufH = h;
    m_bFullRedraw = 1;
    return 1;
}

void CGraphCtrl::RenderFrame(HDC dc) {
    if (m_nPlotWidth <= 0 || m_nPlotHeight <= 0) return;
    if (!m_hLabelFont) {
        LOGFONTW lf{};
        GetObjectW(GetStockObject(SYSTEM_FONT), sizeof(lf), &lf);
        lf.lfHeight = m_nLabelHeight;
        lf.lfWeight = 400;
        lf.lfCharSet = DEFAULT_CHARSET;
        lf.lfQuality = 4;
        m_hLabelFont = CreateFontIndirectW(&lf);
    }
    const int fh = m_nLabelHeight;
    const int left = m_nPlotLeft;
    const int right = m_nPlotLeft + m_nPlotWidth;
    const int bottom = m_nPlotBottom;
    const int top = m_nPlotBottom - m_nPlotHeight;
    const int start = m_nFirstPage * GRAPH_PAGE_SECONDS;
    const int columns = std::max(1, m_nGrid > 0 ? m_nSpan / m_nGrid : 1);
    HGDIOBJ oldFont = m_hLabelFont ? SelectObject(dc, m_hLabelFont) : nullptr;
    SetBkMode(dc, TRANSPARENT);

    HPEN gridPen = CreatePen(PS_DASH, 1, m_crGrid);
    HGDIOBJ oldPen = gridPen ? SelectObject(dc, gridPen) : nullptr;
    for (int i = 1; i < columns; ++i) {
        const int x = left + static_cast<int>(static_cast<int64_t>(i) * m_nPlotWidth / columns);
        Line(dc, x, top, x, bottom);
    }
    for (int i = 1; i <= m_nDivisions; ++i) {
        const int y = bottom - i * m_nPlotHeight / m_nDivisions;
        Line(dc, left, y, right, y);
    }

    WCHAR text[40];
    SetTextColor(dc, 0xFFFFFF);
    const UINT centre = DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX;
    for (int i = 0; i <= columns; ++i) {
        const int64_t seconds = static_cast<int64_t>(i) * m_nGrid + start;
        swprintf(text, 40, u"%02d:%02d:%02d", static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                 static_cast<int>(seconds % 60));
        const int boxLeft = m_nMarginLeft - 25 + static_cast<int>(static_cast<int64_t>(i) * m_nPlotWidth / columns);
        const int boxTop = (i % 2) ? bottom + 3 : bottom + fh + 3;
        RECT box{boxLeft, boxTop, boxLeft + 50, boxTop + fh + 2};
        ::DrawTextW(dc, text, -1, &box, centre);
    }

    const int labelX[3] = {m_nMarginLeft - 23, m_nMarginLeft - 43, right + 3};
    const UINT rightAligned = DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX;
    for (int a = 0; a < 3; ++a) {
        const GraphAxis& axis = m_axes[a];
        SetTextColor(dc, axis.color);
        for (int i = 0; i <= m_nDivisions; ++i) {
            const int y = bottom - i * m_nPlotHeight / m_nDivisions;
            swprintf(text, 40, u"%d", axis.base + i * axis.perDivision);
            RECT box{labelX[a], y - fh / 2, labelX[a] + 20, y - fh / 2 + fh};
            ::DrawTextW(dc, text, -1, &box, rightAligned);
        }
        const int y = top - fh / 2 - fh;
        swprintf(text, 40, u"(%s)", axis.unit);
        RECT box{labelX[a], y, labelX[a] + 20, y + fh};
        ::DrawTextW(dc, text, -1, &box, a == 2 ? (DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX) : rightAligned);
    }

    HPEN framePen = CreatePen(PS_SOLID, 1, m_crFrame);
    if (framePen) SelectObject(dc, framePen);
    Line(dc, left, bottom, right, bottom);
    Line(dc, left, top, left, bottom);
    Line(dc, right, top, right, bottom);
    if (oldPen) SelectObject(dc, oldPen);
    if (gridPen) DeleteObject(gridPen);
    if (framePen) DeleteObject(framePen);
    if (oldFont) SelectObject(dc, oldFont);
}

void CGraphCtrl::DrawChannel(HDC dc, int channel, int from, int to, BOOL fromPageStart) {
    const WORD* samples = m_channels[static_cast<size_t>(channel)].samples.get();
    const int axis = AxisOf(channel);
    // Channel 3 changes to the marker record's pen wherever the marker sample is 0.
    const WORD* marker = (channel == 3 && m_nCount > 3) ? m_channels[static_cast<size_t>(m_nCount)].samples.get() : nullptr;
    HPEN own = m_channels[static_cast<size_t>(channel)].pen;
    HPEN markerPen = marker ? m_channels[static_cast<size_t>(m_nCount)].pen : nullptr;
    auto penAt = [&](int i) { return (marker && marker[i] == 0) ? markerPen : own; };

    POINT pts[kPolylineChunk];
    int n = 0;
    const int previous = from > 0 ? from - 1 : 0;
    pts[n++] = POINT{fromPageStart ? m_nPlotLeft : XOf(previous), YOf(axis, samples[previous])};
    HPEN current = penAt(from);
    HGDIOBJ oldPen = SelectObject(dc, current);
    for (int i = from; i < to; ++i) {
        const HPEN pen = penAt(i);
        if (pen != current) {
            if (n >= 2) Polyline(dc, pts, n);
            pts[0] = pts[n - 1];
            n = 1;
            current = pen;
            SelectObject(dc, current);
        }
        const POINT p{XOf(i), YOf(axis, samples[i])};
        if (p.x == pts[n - 1].x && p.y == pts[n - 1].y) continue;
        pts[n++] = p;
        if (n == kPolylineChunk) {
            Polyline(dc, pts, n);
            pts[0] = pts[n - 1];
            n = 1;
        }
    }
    if (n >= 2) Polyline(dc, pts, n);
    SelectObject(dc, oldPen);
}

void CGraphCtrl::DrawRange(HDC dc, int from, int to, BOOL fromPageStart) {
    to = std::min(to, m_nLength);
    if (from < 0 || from >= to) return;
    for (int c = 0; c < m_nCount; ++c) {
        if (m_visible[static_cast<size_t>(c)]) DrawChannel(dc, c, from, to, fromPageStart);
    }
}

void CGraphCtrl::RenderFull() {
    RECT all{0, 0, m_nBufW, m_nBufH};
    COLORREF fill = m_crFill;
    if (fill == 0xFFFFFFFFu) fill = m_pPanel ? m_pPanel->GetBackColor() : 0;
    if (HBRUSH brush = CreateSolidBrush(fill & 0xFFFFFF)) {
        FillRect(m_hGraphDC, &all, brush);
        DeleteObject(brush);
    }
    if (CUiBitmap* image = ChooseImage()) DrawAligned(m_hGraphDC, image);
    RenderFrame(m_hGraphDC);
    m_bFullRedraw = 0;
    const int start = m_nFirstPage * GRAPH_PAGE_SECONDS;
    m_nDrawn = start;
    CatchUp();
}

// Draws what was added since the retained drawing was last brought up to date.
void CGraphCtrl::CatchUp() {
    const int start = m_nFirstPage * GRAPH_PAGE_SECONDS;
    const int viewEnd = (m_nSpan == 1800 || m_nSpan == 7200) ? start + m_nSpan : m_nSpan;
    const int stop = std::min(viewEnd, m_nIndex);
    if (m_nDrawn < start) m_nDrawn = start;
    if (stop <= m_nDrawn) return;
    DrawRange(m_hGraphDC, m_nDrawn, stop, m_nDrawn == start);
    m_nDrawn = stop;
}

void CGraphCtrl::Repaint() {
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (!EnsureBuffer()) return;
        if (m_bFullRedraw) RenderFull();
        else CatchUp();
    }
    MarkDirty();
}

void CGraphCtrl::MarkDirty() {
    if (!IsVisible()) return;
    HWND wnd = GetWnd();
    if (!wnd) return;
    RECT rc;
    GetRect(&rc, FALSE);
    ::InvalidateRect(wnd, &rc, FALSE);
    // Only the window's own thread paints at once; any other thread leaves it to that thread.
    if (::GetWindowThreadProcessId(wnd, nullptr) == GetCurrentThreadId()) ::UpdateWindow(wnd);
}

void CGraphCtrl::Invalidate(const RECT* rc, BOOL erase) {
    if (rc) {
        CUiCtrl::Invalidate(rc, erase);
        return;
    }
    MarkDirty();
}

void CGraphCtrl::OnPaint(HDC dc) {
    if (!IsVisible()) return;
    HDC target = dc;
    HWND wnd = nullptr;
    if (!target) {
        wnd = GetWnd();
        if (!wnd) return;
        target = ::GetDC(wnd);
        if (!target) return;
    }
    {
        std::lock_guard<std::recursive_mutex> g(m_lock);
        if (EnsureBuffer()) {
            if (m_bFullRedraw) RenderFull();
            else CatchUp();
            RECT rc;
            GetRect(&rc, FALSE);
            BitBlt(target, rc.left, rc.top, m_nBufW, m_nBufH, m_hGraphDC, 0, 0, SRCCOPY);
        }
    }
    if (wnd) ::ReleaseDC(wnd, target);
}

int CGraphCtrl::OnMouse(int msg, WPARAM, int, int) {
    if (msg != 513 || !IsVisible() || !IsEnabled() || !AcceptsPen()) return 0;
    ExecCommand(0, 0);
    return 1;
}

CUiCtrl* NewGraph(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript*, int, int) {
    if (!record) return nullptr;
    return new CGraphCtrl(record, panel);
}
