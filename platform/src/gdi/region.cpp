// Regions as banded rectangle lists, the region calls and the rectangle helpers.
#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {
namespace {

struct Span {
    LONG left, right;
};

bool Apply(int op, bool a, bool b) {
    switch (op) {
        case RGN_AND:
            return a && b;
        case RGN_OR:
            return a || b;
        case RGN_XOR:
            return a != b;
        case RGN_DIFF:
            return a && !b;
    }
    return false;
}

// Combines two sorted, disjoint span lists into out (sorted, disjoint, touching spans merged).
void CombineSpans(const std::vector<Span>& a, const std::vector<Span>& b, int op, std::vector<LONG>& xs,
                  std::vector<Span>& out) {
    out.clear();
    xs.clear();
    for (const Span& s : a) {
        xs.push_back(s.left);
        xs.push_back(s.right);
    }
    for (const Span& s : b) {
        xs.push_back(s.left);
        xs.push_back(s.right);
    }
    std::sort(xs.begin(), xs.end());
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
    size_t ia = 0, ib = 0;
    for (size_t k = 0; k + 1 < xs.size(); ++k) {
        LONG x0 = xs[k], x1 = xs[k + 1];
        while (ia < a.size() && a[ia].right <= x0) ++ia;
        while (ib < b.size() && b[ib].right <= x0) ++ib;
        bool inA = ia < a.size() && a[ia].left <= x0;
        bool inB = ib < b.size() && b[ib].left <= x0;
        if (!Apply(op, inA, inB)) continue;
        if (!out.empty() && out.back().right == x0)
            out.back().right = x1;
        else
            out.push_back(Span{x0, x1});
    }
}

// The band of rects starting at index i: [i, end).
size_t BandEnd(const std::vector<RECT>& r, size_t i) {
    size_t j = i;
    while (j < r.size() && r[j].top == r[i].top) ++j;
    return j;
}

}  // namespace

// Appends bands in order, merging a band into the previous one when they touch and match.
class RegionBuilder {
public:
    void AddBand(LONG top, LONG bottom, const std::vector<Span>& spans) {
        if (spans.empty() || bottom <= top) return;
        auto& r = out.m_rects;
        if (m_lastStart < r.size() && r.back().bottom == top && r.size() - m_lastStart == spans.size()) {
            bool same = true;
            for (size_t i = 0; i < spans.size(); ++i) {
                const RECT& p = r[m_lastStart + i];
                if (p.left != spans[i].left || p.right != spans[i].right) {
                    same = false;
                    break;
                }
            }
            if (same) {
                for (size_t i = m_lastStart; i < r.size(); ++i) r[i].bottom = bottom;
                return;
            }
        }
        m_lastStart = r.size();
        for (const Span& s : spans) r.push_back(RECT{s.left, top, s.right, bottom});
    }
    Region Finish() {
        out.UpdateBounds();
        return std::move(out);
    }
    Region out;

private:
    size_t m_lastStart = SIZE_MAX;
};

void Region::SetRect(const RECT& r) {
    m_rects.clear();
    if (!RectEmpty(r)) m_rects.push_back(r);
    UpdateBounds();
}

void Region::UpdateBounds() {
    if (m_rects.empty()) {
        m_bounds = RECT{0, 0, 0, 0};
        return;
    }
    RECT b = m_rects.front();
    for (const RECT& r : m_rects) {
        b.left = std::min(b.left, r.left);
        b.right = std::max(b.right, r.right);
        b.bottom = std::max(b.bottom, r.bottom);
    }
    m_bounds = b;
}

bool Region::Contains(LONG x, LONG y) const {
    for (const RECT& r : m_rects) {
        if (r.top > y) break;
        if (y < r.bottom && x >= r.left && x < r.right) return true;
    }
    return false;
}

void Region::Offset(LONG dx, LONG dy) {
    bool clamped = false;
    for (RECT& r : m_rects) {
        long long v[4] = {(long long)r.left + dx, (long long)r.top + dy, (long long)r.right + dx,
                          (long long)r.bottom + dy};
        for (long long x : v)
            if (x != Sat(x)) clamped = true;
        r = RECT{Sat(v[0]), Sat(v[1]), Sat(v[2]), Sat(v[3])};
    }
    if (clamped) {
        // Rectangles pushed against the limits may collapse or meet: rebuild the bands.
        std::vector<RECT> rects;
        rects.swap(m_rects);
        Region acc;
        for (const RECT& r : rects) acc = Combine(acc, Region(r), RGN_OR);
        *this = std::move(acc);
        return;
    }
    UpdateBounds();
}

bool Region::operator==(const Region& o) const {
    if (m_rects.size() != o.m_rects.size()) return false;
    for (size_t i = 0; i < m_rects.size(); ++i) {
        const RECT &a = m_rects[i], &b = o.m_rects[i];
        if (a.left != b.left || a.top != b.top || a.right != b.right || a.bottom != b.bottom) return false;
    }
    return true;
}

Region Region::Combine(const Region& a, const Region& b, int op) {
    const auto& ra = a.m_rects;
    const auto& rb = b.m_rects;
    std::vector<LONG> ys;
    ys.reserve(2 * (ra.size() + rb.size()));
    for (const RECT& r : ra) {
        ys.push_back(r.top);
        ys.push_back(r.bottom);
    }
    for (const RECT& r : rb) {
        ys.push_back(r.top);
        ys.push_back(r.bottom);
    }
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());

    RegionBuilder builder;
    std::vector<Span> sa, sb, out;
    std::vector<LONG> xs;
    size_t ia = 0, ib = 0;
    auto spansAt = [](const std::vector<RECT>& r, size_t& i, LONG y, std::vector<Span>& s) {
        s.clear();
        while (i < r.size() && r[i].bottom <= y) i = BandEnd(r, i);
        if (i < r.size() && r[i].top <= y) {
            size_t e = BandEnd(r, i);
            for (size_t k = i; k < e; ++k) s.push_back(Span{r[k].left, r[k].right});
        }
    };
    for (size_t k = 0; k + 1 < ys.size(); ++k) {
        LONG y0 = ys[k], y1 = ys[k + 1];
        spansAt(ra, ia, y0, sa);
        spansAt(rb, ib, y0, sb);
        CombineSpans(sa, sb, op, xs, out);
        builder.AddBand(y0, y1, out);
    }
    return builder.Finish();
}

}  // namespace qrx::gdi

using namespace qrx::gdi;

namespace {

std::shared_ptr<RegionObject> GetRegion(HRGN h) {
    auto r = LookupAs<RegionObject>(h, Kind::Region);
    if (!r) qrx::SetError(ERROR_INVALID_HANDLE);
    return r;
}

Region CopyOf(RegionObject& r) {
    std::lock_guard<std::mutex> g(r.lock);
    return r.region;
}

// Rectangle arithmetic wraps at 32 bits as on the platform.
LONG Wrap(LONG a, int b) { return static_cast<LONG>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
LONG WrapSub(LONG a, int b) { return static_cast<LONG>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }

}  // namespace

HRGN CreateRectRgn(int x1, int y1, int x2, int y2) {
    auto r = std::make_shared<RegionObject>();
    r->region.SetRect(Ordered(x1, y1, x2, y2));
    return static_cast<HRGN>(Register(r));
}

HRGN CreateRectRgnIndirect(const RECT* lprect) {
    if (!lprect) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateRectRgn(lprect->left, lprect->top, lprect->right, lprect->bottom);
}

BOOL SetRectRgn(HRGN hrgn, int left, int top, int right, int bottom) {
    auto r = GetRegion(hrgn);
    if (!r) return FALSE;
    std::lock_guard<std::mutex> g(r->lock);
    r->region.SetRect(Ordered(left, top, right, bottom));
    return TRUE;
}

int CombineRgn(HRGN hrgnDst, HRGN hrgnSrc1, HRGN hrgnSrc2, int iMode) {
    auto dst = GetRegion(hrgnDst);
    auto s1 = GetRegion(hrgnSrc1);
    if (!dst || !s1) return ERROR;
    if (iMode < RGN_AND || iMode > RGN_COPY) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return ERROR;
    }
    Region a = CopyOf(*s1);
    Region result;
    if (iMode == RGN_COPY) {
        result = std::move(a);
    } else {
        auto s2 = GetRegion(hrgnSrc2);
        if (!s2) return ERROR;
        result = Region::Combine(a, CopyOf(*s2), iMode);
    }
    std::lock_guard<std::mutex> g(dst->lock);
    dst->region = std::move(result);
    return dst->region.Complexity();
}

int OffsetRgn(HRGN hrgn, int x, int y) {
    auto r = GetRegion(hrgn);
    if (!r) return ERROR;
    std::lock_guard<std::mutex> g(r->lock);
    r->region.Offset(x, y);
    return r->region.Complexity();
}

int GetRgnBox(HRGN hrgn, LPRECT lprc) {
    auto r = GetRegion(hrgn);
    if (!r) return ERROR;
    if (!lprc) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return ERROR;
    }
    std::lock_guard<std::mutex> g(r->lock);
    *lprc = r->region.Bounds();
    return r->region.Complexity();
}

BOOL EqualRgn(HRGN hrgn1, HRGN hrgn2) {
    auto a = GetRegion(hrgn1);
    auto b = GetRegion(hrgn2);
    if (!a || !b) return ERROR;
    return CopyOf(*a) == CopyOf(*b) ? TRUE : FALSE;
}

BOOL PtInRegion(HRGN hrgn, int x, int y) {
    auto r = GetRegion(hrgn);
    if (!r) return FALSE;
    std::lock_guard<std::mutex> g(r->lock);
    return r->region.Contains(x, y) ? TRUE : FALSE;
}

BOOL SetRect(LPRECT lprc, int xLeft, int yTop, int xRight, int yBottom) {
    if (!lprc) return FALSE;
    *lprc = RECT{xLeft, yTop, xRight, yBottom};
    return TRUE;
}

BOOL SetRectEmpty(LPRECT lprc) {
    if (!lprc) return FALSE;
    *lprc = RECT{0, 0, 0, 0};
    return TRUE;
}

BOOL CopyRect(LPRECT lprcDst, const RECT* lprcSrc) {
    if (!lprcDst || !lprcSrc) return FALSE;
    *lprcDst = *lprcSrc;
    return TRUE;
}

BOOL OffsetRect(LPRECT lprc, int dx, int dy) {
    if (!lprc) return FALSE;
    lprc->left = Wrap(lprc->left, dx);
    lprc->right = Wrap(lprc->right, dx);
    lprc->top = Wrap(lprc->top, dy);
    lprc->bottom = Wrap(lprc->bottom, dy);
    return TRUE;
}

BOOL InflateRect(LPRECT lprc, int dx, int dy) {
    if (!lprc) return FALSE;
    lprc->left = WrapSub(lprc->left, dx);
    lprc->right = Wrap(lprc->right, dx);
    lprc->top = WrapSub(lprc->top, dy);
    lprc->bottom = Wrap(lprc->bottom, dy);
    return TRUE;
}

BOOL IntersectRect(LPRECT lprcDst, const RECT* lprcSrc1, const RECT* lprcSrc2) {
    if (!lprcDst || !lprcSrc1 || !lprcSrc2) return FALSE;
    if (RectEmpty(*lprcSrc1) || RectEmpty(*lprcSrc2)) {
        *lprcDst = RECT{0, 0, 0, 0};
        return FALSE;
    }
    *lprcDst = Intersect(*lprcSrc1, *lprcSrc2);
    return RectEmpty(*lprcDst) ? FALSE : TRUE;
}

BOOL UnionRect(LPRECT lprcDst, const RECT* lprcSrc1, const RECT* lprcSrc2) {
    if (!lprcDst || !lprcSrc1 || !lprcSrc2) return FALSE;
    bool e1 = RectEmpty(*lprcSrc1), e2 = RectEmpty(*lprcSrc2);
    if (e1 && e2) {
        *lprcDst = RECT{0, 0, 0, 0};
        return FALSE;
    }
    if (e1) {
        *lprcDst = *lprcSrc2;
    } else if (e2) {
        *lprcDst = *lprcSrc1;
    } else {
        *lprcDst = RECT{std::min(lprcSrc1->left, lprcSrc2->left), std::min(lprcSrc1->top, lprcSrc2->top),
                        std::max(lprcSrc1->right, lprcSrc2->right), std::max(lprcSrc1->bottom, lprcSrc2->bottom)};
    }
    return TRUE;
}

BOOL PtInRect(const RECT* lprc, POINT pt) {
    if (!lprc) return FALSE;
    return pt.x >= lprc->left && pt.x < lprc->right && pt.y >= lprc->top && pt.y < lprc->bottom;
}

BOOL IsRectEmpty(const RECT* lprc) { return !lprc || RectEmpty(*lprc); }

BOOL EqualRect(const RECT* lprc1, const RECT* lprc2) {
    if (!lprc1 || !lprc2) return FALSE;
    return lprc1->left == lprc2->left && lprc1->top == lprc2->top && lprc1->right == lprc2->right &&
           lprc1->bottom == lprc2->bottom;
}
