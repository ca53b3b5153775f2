// Fills, pens and lines, rectangles and single pixels.
#include <cmath>

#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {

void FillSurfaceRect(Target& t, const RECT& r, uint32_t pixel) {
    t.clip->ForEachIn(r, [&](const RECT& c) {
        size_t n = static_cast<size_t>(c.right - c.left);
        for (int y = c.top; y < c.bottom; ++y) std::fill_n(t.view.Row(y) + c.left, n, pixel);
    });
}

namespace {

// The dash of the platform's dashed pen, in pixels.
constexpr int kDashOn = 18;
constexpr int kDashPeriod = 24;

struct PenStyle {
    int style;
    int width;
    uint32_t pixel;
    bool opaqueGaps;  // gaps of a dashed line take the back colour
    uint32_t bkPixel;
};

inline bool Visible(const Target& t, long long x, long long y) {
    const RECT& b = t.clip->Bounds();
    if (x < b.left || x >= b.right || y < b.top || y >= b.bottom) return false;
    return t.clip->Rects().size() == 1 || t.clip->Contains(static_cast<LONG>(x), static_cast<LONG>(y));
}

// A one-pixel line from (x0,y0) towards (x1,y1), the end point left out. Only the steps that can
// reach the clip are visited, so far-away coordinates cost nothing. dashPos carries the dash
// position from one segment to the next.
void ThinLine(Target& t, long long x0, long long y0, long long x1, long long y1, const PenStyle& pen,
              long long& dashPos) {
    long long dx = x1 - x0, dy = y1 - y0;
    long long adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
    long long n = std::max(adx, ady);
    if (n == 0) return;
    int sx = dx < 0 ? -1 : 1, sy = dy < 0 ? -1 : 1;
    bool majorX = adx >= ady;
    long long minor = majorX ? ady : adx;
    long long major0 = majorX ? x0 : y0;
    int smajor = majorX ? sx : sy;
    const RECT& b = t.clip->Bounds();
    long long lo = majorX ? b.left : b.top, hi = majorX ? b.right : b.bottom;
    // Steps i with major0 + smajor * i inside [lo, hi).
    long long i0, i1;
    if (smajor > 0) {
        i0 = lo - major0;
        i1 = hi - major0;
    } else {
        i0 = major0 - hi + 1;
        i1 = major0 - lo + 1;
    }
    i0 = std::max(i0, 0LL);
    i1 = std::min(i1, n);
    for (long long i = i0; i < i1; ++i) {
        // Nearest pixel to the ideal line, as the incremental form would give.
        long long off =
            static_cast<long long>((static_cast<__int128>(2) * i * minor + n) / (2 * static_cast<__int128>(n)));
        long long x = majorX ? x0 + sx * i : x0 + sx * off;
        long long y = majorX ? y0 + sy * off : y0 + sy * i;
        if (!Visible(t, x, y)) continue;
        uint32_t px = pen.pixel;
        if (pen.style == PS_DASH && ((dashPos + i) % kDashPeriod) >= kDashOn) {
            if (!pen.opaqueGaps) continue;
            px = pen.bkPixel;
        }
        t.view.Row(static_cast<int>(y))[x] = px;
    }
    dashPos += n;
}

// A line of a wide pen: every pixel whose centre lies within half the width of the segment (round
// ends and joins).
void WideLine(Target& t, double x0, double y0, double x1, double y1, const PenStyle& pen) {
    double r = pen.width / 2.0;
    if (pen.width % 2 == 0) {
        // An even width cannot be centred on a pixel: it leans to the top left.
        x0 -= 0.5;
        y0 -= 0.5;
        x1 -= 0.5;
        y1 -= 0.5;
    }
    const RECT& b = t.clip->Bounds();
    double ylo = std::max(std::min(y0, y1) - r, static_cast<double>(b.top));
    double yhi = std::min(std::max(y0, y1) + r, static_cast<double>(b.bottom) - 1);
    double ddx = x1 - x0, ddy = y1 - y0;
    double len = std::sqrt(ddx * ddx + ddy * ddy);
    double nx = len > 0 ? -ddy / len * r : 0, ny = len > 0 ? ddx / len * r : 0;
    // The band around the segment as a convex quadrilateral.
    const double qx[4] = {x0 + nx, x1 + nx, x1 - nx, x0 - nx};
    const double qy[4] = {y0 + ny, y1 + ny, y1 - ny, y0 - ny};
    for (long long y = static_cast<long long>(std::ceil(ylo)); y <= static_cast<long long>(std::floor(yhi)); ++y) {
        double fy = static_cast<double>(y);
        double lo = INFINITY, hi = -INFINITY;
        auto disc = [&](double cx, double cy) {
            double d = fy - cy;
            if (std::fabs(d) > r) return;
            double h = std::sqrt(r * r - d * d);
            lo = std::min(lo, cx - h);
            hi = std::max(hi, cx + h);
        };
        disc(x0, y0);
        disc(x1, y1);
        if (len > 0) {
            for (int k = 0; k < 4; ++k) {
                double ax = qx[k], ay = qy[k], bx = qx[(k + 1) % 4], by = qy[(k + 1) % 4];
                if ((fy < std::min(ay, by)) || (fy > std::max(ay, by))) continue;
                if (ay == by) {
                    lo = std::min({lo, ax, bx});
                    hi = std::max({hi, ax, bx});
                } else {
                    double x = ax + (fy - ay) * (bx - ax) / (by - ay);
                    lo = std::min(lo, x);
                    hi = std::max(hi, x);
                }
            }
        }
        if (lo > hi) continue;
        double left = std::max(std::ceil(lo), static_cast<double>(b.left));
        double right = std::min(std::floor(hi) + 1, static_cast<double>(b.right));
        if (left >= right) continue;
        FillSurfaceRect(
            t, RECT{static_cast<LONG>(left), static_cast<LONG>(y), static_cast<LONG>(right), static_cast<LONG>(y + 1)},
            pen.pixel);
    }
}

PenStyle StyleOf(const Dc& dc) {
    const Pen* p = dc.st.pen.get();
    return PenStyle{p->style, std::max(p->width, 1), ColorToPixel(p->color), dc.st.bkMode == OPAQUE,
                    ColorToPixel(dc.st.bkColor)};
}

// Draws a path of logical points with the DC's pen; the last point is left out for thin pens.
void StrokePath(Dc& dc, const POINT* pts, size_t count) {
    PenStyle pen = StyleOf(dc);
    if (pen.style == PS_NULL || count < 2) return;
    Surface* s = dc.Target();
    std::lock_guard<std::mutex> g(s->lock);
    Target t;
    MakeTarget(dc, t);
    long long ox = dc.origin.x, oy = dc.origin.y;
    long long minx = pts[0].x, maxx = minx, miny = pts[0].y, maxy = miny;
    for (size_t i = 1; i < count; ++i) {
        minx = std::min<long long>(minx, pts[i].x);
        maxx = std::max<long long>(maxx, pts[i].x);
        miny = std::min<long long>(miny, pts[i].y);
        maxy = std::max<long long>(maxy, pts[i].y);
    }
    long long grow = pen.width / 2 + 2;
    if (RectEmpty(t.Begin(Ordered(minx + ox - grow, miny + oy - grow, maxx + ox + grow + 1, maxy + oy + grow + 1))))
        return;
    long long dash = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        long long x0 = pts[i].x + ox, y0 = pts[i].y + oy, x1 = pts[i + 1].x + ox, y1 = pts[i + 1].y + oy;
        if (pen.width > 1)
            WideLine(t, static_cast<double>(x0), static_cast<double>(y0), static_cast<double>(x1),
                     static_cast<double>(y1), pen);
        else
            ThinLine(t, x0, y0, x1, y1, pen, dash);
    }
    t.Finish();
}

}  // namespace
}  // namespace qrx::gdi

using namespace qrx::gdi;
using qrx::SetError;

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
    auto dc = GetDcObject(hDC);
    if (!dc) return 0;
    auto brush = LookupAs<Brush>(hbr, Kind::Brush);
    if (!brush || !lprc) {
        SetError(brush ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    if (brush->null) return 1;
    std::lock_guard<std::mutex> g(dc->lock);
    Surface* s = dc->Target();
    std::lock_guard<std::mutex> sg(s->lock);
    Target t;
    MakeTarget(*dc, t);
    // The right and bottom edges are outside, and a reversed rectangle fills nothing.
    RECT r = RECT{Sat(static_cast<long long>(lprc->left) + dc->origin.x),
                  Sat(static_cast<long long>(lprc->top) + dc->origin.y),
                  Sat(static_cast<long long>(lprc->right) + dc->origin.x),
                  Sat(static_cast<long long>(lprc->bottom) + dc->origin.y)};
    r = t.Begin(r);
    if (RectEmpty(r)) return 1;
    FillSurfaceRect(t, r, ColorToPixel(brush->color));
    t.Finish();
    return 1;
}

BOOL MoveToEx(HDC hdc, int x, int y, LPPOINT lppt) {
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    std::lock_guard<std::mutex> g(dc->lock);
    if (lppt) *lppt = dc->st.pos;
    dc->st.pos = POINT{x, y};
    return TRUE;
}

BOOL LineTo(HDC hdc, int x, int y) {
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    std::lock_guard<std::mutex> g(dc->lock);
    POINT pts[2] = {dc->st.pos, POINT{x, y}};
    StrokePath(*dc, pts, 2);
    dc->st.pos = pts[1];
    return TRUE;
}

BOOL Polyline(HDC hdc, const POINT* apt, int cpt) {
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    if (!apt || cpt < 2) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(dc->lock);
    StrokePath(*dc, apt, static_cast<size_t>(cpt));
    return TRUE;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    std::lock_guard<std::mutex> g(dc->lock);
    RECT r = Ordered(left, top, right, bottom);
    if (RectEmpty(r)) return TRUE;
    const Pen* pen = dc->st.pen.get();
    const Brush* brush = dc->st.brush.get();
    bool outline = pen->style != PS_NULL;
    if (!brush->null) {
        // The figure covers left..right-1 and top..bottom-1; the pen draws its outermost pixels.
        long long ox = dc->origin.x, oy = dc->origin.y;
        int inset = outline ? 1 : 0;
        RECT fill =
            RECT{Sat(r.left + ox + inset), Sat(r.top + oy + inset), Sat(r.right + ox - 1LL), Sat(r.bottom + oy - 1LL)};
        Surface* s = dc->Target();
        std::lock_guard<std::mutex> sg(s->lock);
        Target t;
        MakeTarget(*dc, t);
        fill = t.Begin(fill);
        if (!RectEmpty(fill)) {
            FillSurfaceRect(t, fill, ColorToPixel(brush->color));
            t.Finish();
        }
    }
    if (outline) {
        LONG l = r.left, tp = r.top, rr = Sat(r.right - 1LL), bb = Sat(r.bottom - 1LL);
        POINT path[5] = {{l, tp}, {rr, tp}, {rr, bb}, {l, bb}, {l, tp}};
        StrokePath(*dc, path, 5);
        if (pen->width <= 1 && rr == l && bb == tp) {
            // A one-pixel rectangle: the closed path has no length.
            POINT dot[2] = {{l, tp}, {l + 1, tp}};
            StrokePath(*dc, dot, 2);
        }
    }
    return TRUE;
}

COLORREF GetPixel(HDC hdc, int x, int y) {
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    std::lock_guard<std::mutex> g(dc->lock);
    Surface* s = dc->Target();
    std::lock_guard<std::mutex> sg(s->lock);
    Target t;
    MakeTarget(*dc, t);
    long long sx = static_cast<long long>(x) + dc->origin.x, sy = static_cast<long long>(y) + dc->origin.y;
    if (sx < INT32_MIN || sx > INT32_MAX || sy < INT32_MIN || sy > INT32_MAX ||
        !t.clip->Contains(static_cast<LONG>(sx), static_cast<LONG>(sy)))
        return CLR_INVALID;
    s->Pull(RECT{static_cast<LONG>(sx), static_cast<LONG>(sy), static_cast<LONG>(sx + 1), static_cast<LONG>(sy + 1)});
    return PixelToColor(t.view.Row(static_cast<int>(sy))[sx]);
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    std::lock_guard<std::mutex> g(dc->lock);
    Surface* s = dc->Target();
    std::lock_guard<std::mutex> sg(s->lock);
    Target t;
    MakeTarget(*dc, t);
    long long sx = static_cast<long long>(x) + dc->origin.x, sy = static_cast<long long>(y) + dc->origin.y;
    if (sx < INT32_MIN || sx > INT32_MAX || sy < INT32_MIN || sy > INT32_MAX ||
        !t.clip->Contains(static_cast<LONG>(sx), static_cast<LONG>(sy)))
        return CLR_INVALID;
    RECT r = t.Begin(
        RECT{static_cast<LONG>(sx), static_cast<LONG>(sy), static_cast<LONG>(sx + 1), static_cast<LONG>(sy + 1)});
    uint32_t* p = t.view.Row(r.top) + r.left;
    *p = ColorToPixel(color);
    t.Finish();
    // The colour actually stored, which a palette bitmap may have rounded.
    return PixelToColor(*p);
}
