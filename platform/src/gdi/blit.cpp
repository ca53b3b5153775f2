// Raster operations and block transfers: BitBlt, StretchBlt, the DIB-to-device copies and the
// colour-key copy.
#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {

void RopSpan(uint32_t* d, const uint32_t* s, int n, uint32_t pattern, DWORD rop) {
    const uint32_t m = 0xFFFFFF;
    const uint32_t P = pattern;
    switch (rop) {
        case SRCCOPY:
            memmove(d, s, 4 * static_cast<size_t>(n));
            return;
        case SRCPAINT:
            for (int i = 0; i < n; ++i) d[i] = (d[i] | s[i]) & m;
            return;
        case SRCAND:
            for (int i = 0; i < n; ++i) d[i] = (d[i] & s[i]) & m;
            return;
        case SRCINVERT:
            for (int i = 0; i < n; ++i) d[i] = (d[i] ^ s[i]) & m;
            return;
        case SRCERASE:
            for (int i = 0; i < n; ++i) d[i] = (s[i] & ~d[i]) & m;
            return;
        case NOTSRCCOPY:
            for (int i = 0; i < n; ++i) d[i] = ~s[i] & m;
            return;
        case NOTSRCERASE:
            for (int i = 0; i < n; ++i) d[i] = ~(s[i] | d[i]) & m;
            return;
        case MERGECOPY:
            for (int i = 0; i < n; ++i) d[i] = (P & s[i]) & m;
            return;
        case MERGEPAINT:
            for (int i = 0; i < n; ++i) d[i] = (~s[i] | d[i]) & m;
            return;
        case PATCOPY:
            std::fill_n(d, n, P & m);
            return;
        case PATPAINT:
            for (int i = 0; i < n; ++i) d[i] = (P | ~s[i] | d[i]) & m;
            return;
        case PATINVERT:
            for (int i = 0; i < n; ++i) d[i] = (P ^ d[i]) & m;
            return;
        case DSTINVERT:
            for (int i = 0; i < n; ++i) d[i] = ~d[i] & m;
            return;
        case BLACKNESS:
            std::fill_n(d, n, 0u);
            return;
        case WHITENESS:
            std::fill_n(d, n, m);
            return;
        default:
            break;
    }
    // Any other ternary operation from its truth table: bit (P<<2 | S<<1 | D) of the code.
    unsigned code = (rop >> 16) & 0xFF;
    for (int i = 0; i < n; ++i) {
        uint32_t S = s ? s[i] : 0, D = d[i], r = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (!((code >> bit) & 1)) continue;
            r |= ((bit & 4) ? P : ~P) & ((bit & 2) ? S : ~S) & ((bit & 1) ? D : ~D);
        }
        d[i] = r & m;
    }
}

namespace {

// One axis of a stretch: destination [d0, d0 + n) from source [s0, s0 + sn), maybe reversed.
struct Axis {
    long long d0, n, s0, sn;
    bool mirror;
    long long Map(long long d) const {
        unsigned long long i = static_cast<unsigned long long>(d - d0);
        if (mirror) i = static_cast<unsigned long long>(n) - 1 - i;
        return s0 +
               static_cast<long long>(i * static_cast<unsigned long long>(sn) / static_cast<unsigned long long>(n));
    }
};

Axis MakeAxis(long long d, long long dl, long long s, long long sl) {
    Axis a;
    a.d0 = std::min(d, d + dl);
    a.n = dl < 0 ? -dl : dl;
    a.s0 = std::min(s, s + sl);
    a.sn = sl < 0 ? -sl : sl;
    a.mirror = (dl < 0) != (sl < 0);
    return a;
}

uint32_t Convert(const BlitSource& s, uint32_t px) {
    if (s.monoToColor) return (px & 0xFFFFFF) == 0 ? s.fg : s.bg;
    if (s.colorToMono) return (px & 0xFFFFFF) == (s.bg & 0xFFFFFF) ? 0xFFFFFFu : 0u;
    return px;
}

}  // namespace

void Blit(Target& dst, const BlitSource* src, const BlitParams& p) {
    if (p.dw == 0 || p.dh == 0) return;
    if (src && (p.sw == 0 || p.sh == 0)) return;
    Axis ax = MakeAxis(p.dx, p.dw, src ? p.sx : 0, src ? p.sw : p.dw);
    Axis ay = MakeAxis(p.dy, p.dh, src ? p.sy : 0, src ? p.sh : p.dh);
    RECT r = dst.Begin(Ordered(ax.d0, ay.d0, ax.d0 + ax.n, ay.d0 + ay.n));
    if (RectEmpty(r)) return;

    BlitSource local;
    std::vector<uint32_t> copy;
    if (src) {
        local = *src;
        // Source pixels needed for the visible destination.
        long long sx0 = std::min(ax.Map(r.left), ax.Map(r.right - 1));
        long long sx1 = std::max(ax.Map(r.left), ax.Map(r.right - 1)) + 1;
        long long sy0 = std::min(ay.Map(r.top), ay.Map(r.bottom - 1));
        long long sy1 = std::max(ay.Map(r.top), ay.Map(r.bottom - 1)) + 1;
        RECT need = Intersect(Ordered(sx0, sy0, sx1, sy1), local.view.Bounds());
        if (RectEmpty(need)) {
            dst.Finish();
            return;
        }
        if (local.surface) local.surface->Pull(need);
        if (local.surface && local.surface == dst.surface) {
            // Same pixels on both sides: read from a copy so overlapping areas come out right.
            int w = need.right - need.left, h = need.bottom - need.top;
            copy.resize(static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                memcpy(&copy[static_cast<size_t>(y) * w], local.view.Row(need.top + y) + need.left,
                       4 * static_cast<size_t>(w));
            // The copy starts at need's corner.
            local.view.bits = reinterpret_cast<uint8_t*>(copy.data());
            local.view.stride = static_cast<ptrdiff_t>(w) * 4;
            local.view.width = w;
            local.view.height = h;
            ax.s0 -= need.left;
            ay.s0 -= need.top;
        }
    }

    bool identityX = src && !ax.mirror && ax.n == ax.sn;
    bool convert = src && (local.monoToColor || local.colorToMono);
    std::vector<uint32_t> buf;
    if (src && (!identityX || convert || p.transparent)) buf.resize(static_cast<size_t>(r.right - r.left));

    // The destination columns whose source lies inside the source (one run: the mapping is monotonic).
    long long vx0 = r.left, vx1 = r.right;
    if (src) {
        auto inside = [&](long long x) {
            long long sx = ax.Map(x);
            return sx >= 0 && sx < local.view.width;
        };
        while (vx0 < vx1 && !inside(vx0)) ++vx0;
        while (vx1 > vx0 && !inside(vx1 - 1)) --vx1;
    }
    if (vx0 >= vx1) {
        dst.Finish();
        return;
    }
    // Rows kept in a stored format are converted as they are needed, over the columns needed.
    std::vector<uint32_t> rowBuf;
    long long cachedRow = -1;
    int needLeft = 0, needRight = 0;
    if (src && local.format) {
        rowBuf.resize(static_cast<size_t>(local.view.width));
        needLeft = static_cast<int>(std::min(ax.Map(vx0), ax.Map(vx1 - 1)));
        needRight = static_cast<int>(std::max(ax.Map(vx0), ax.Map(vx1 - 1))) + 1;
    }
    auto sourceRow = [&](int sy) -> const uint32_t* {
        if (!local.format) return local.view.Row(sy);
        if (sy != cachedRow) {
            const uint8_t* stored = local.rowAt(local.ctx, sy);
            if (!stored) return nullptr;
            local.format->ReadRow(stored, needLeft, needRight - needLeft, rowBuf.data() + needLeft);
            cachedRow = sy;
        }
        return rowBuf.data();
    };

    dst.clip->ForEachIn(r, [&](const RECT& c) {
        long long x0 = std::max<long long>(c.left, vx0), x1 = std::min<long long>(c.right, vx1);
        if (x0 >= x1) return;
        int n = static_cast<int>(x1 - x0);
        for (int y = c.top; y < c.bottom; ++y) {
            uint32_t* d = dst.view.Row(y) + x0;
            if (!src) {
                RopSpan(d, nullptr, n, p.pattern, p.rop);
                continue;
            }
            long long sy = ay.Map(y);
            if (sy < 0 || sy >= local.view.height) continue;
            const uint32_t* srow = sourceRow(static_cast<int>(sy));
            if (!srow) continue;
            const uint32_t* s;
            if (identityX && !convert && !p.transparent) {
                s = srow + ax.Map(x0);
            } else {
                uint32_t* b = buf.data();
                if (identityX) {
                    const uint32_t* from = srow + ax.Map(x0);
                    for (int i = 0; i < n; ++i) b[i] = from[i];
                } else {
                    for (int i = 0; i < n; ++i) b[i] = srow[ax.Map(x0 + i)];
                }
                if (convert)
                    for (int i = 0; i < n; ++i) b[i] = Convert(local, b[i]);
                s = b;
            }
            if (p.transparent) {
                for (int i = 0; i < n; ++i)
                    if ((s[i] & 0xFFFFFF) != p.key) d[i] = s[i];
                continue;
            }
            RopSpan(d, s, n, p.pattern, p.rop);
        }
    });
    dst.Finish();
}

}  // namespace qrx::gdi

using namespace qrx::gdi;
using qrx::SetError;

namespace {

BOOL DcBlit(HDC hdc, long long dx, long long dy, long long dw, long long dh, HANDLE hSrc, bool bitmapSource,
            long long sx, long long sy, long long sw, long long sh, DWORD rop, bool transparent, COLORREF key) {
    auto dc = GetDcObject(hdc);
    if (!dc) return FALSE;
    std::shared_ptr<Dc> sdc;
    std::shared_ptr<Bitmap> sbm;
    if (transparent || RopUsesSource(rop)) {
        auto o = Lookup(hSrc);
        if (o && o->kind == Kind::Dc) {
            sdc = std::static_pointer_cast<Dc>(o);
        } else if (o && bitmapSource && o->kind == Kind::Bitmap) {
            sbm = std::static_pointer_cast<Bitmap>(o);
        } else {
            SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    LockSet dcs;
    dcs.Add(&dc->lock);
    if (sdc) dcs.Add(&sdc->lock);
    dcs.Lock();
    Surface* ds = dc->Target();
    Surface* ss = sdc ? sdc->Target() : sbm.get();
    LockSet surfaces;
    surfaces.Add(&ds->lock);
    if (ss) surfaces.Add(&ss->lock);
    surfaces.Lock();

    BlitParams p{};
    p.dx = dx + dc->origin.x;
    p.dy = dy + dc->origin.y;
    p.dw = dw;
    p.dh = dh;
    p.sx = sx + (sdc ? sdc->origin.x : 0);
    p.sy = sy + (sdc ? sdc->origin.y : 0);
    p.sw = sw;
    p.sh = sh;
    p.rop = rop;
    p.transparent = transparent;
    p.key = ColorToPixel(key);
    if (!transparent && RopUsesPattern(rop)) {
        const Brush* b = dc->st.brush.get();
        if (b->null) return TRUE;  // a hollow brush paints nothing
        p.pattern = ColorToPixel(b->color);
    }
    Target t;
    MakeTarget(*dc, t);
    BlitSource src;
    if (ss) {
        src.view = ss->View();
        src.surface = ss;
        if (ss->Monochrome() && !ds->Monochrome()) {
            src.monoToColor = true;
            src.fg = ColorToPixel(dc->st.textColor);
            src.bg = ColorToPixel(dc->st.bkColor);
        } else if (ds->Monochrome() && !ss->Monochrome()) {
            src.colorToMono = true;
            src.bg = ColorToPixel(sdc ? sdc->st.bkColor : 0xFFFFFF);
        }
    }
    Blit(t, ss ? &src : nullptr, p);
    return TRUE;
}

struct DibRows {
    const uint8_t* bits;
    long long stride;
    long long height;
    bool topDown;
    long long startScan;
    long long bandTop, bandBottom;  // rows supplied, counted from the top
};

const uint8_t* DibRowAt(const void* ctx, int y) {
    auto* d = static_cast<const DibRows*>(ctx);
    if (y < d->bandTop || y >= d->bandBottom) return nullptr;
    long long m = d->topDown ? y - d->startScan : d->height - 1 - y - d->startScan;
    return d->bits + m * d->stride;
}

// Copies caller DIB rows to a DC. Source rows of a bottom-up DIB count from the bottom, so the
// source rectangle is turned into rows from the top first.
bool DibToDevice(HDC hdc, long long dx, long long dy, long long dw, long long dh, long long sx, long long sy,
                 long long sw, long long sh, long long startScan, long long lines, const void* bits,
                 const BITMAPINFO* bmi, UINT usage, DWORD rop) {
    DibInfo info;
    if (!ParseBitmapInfo(bmi, usage, info)) return false;
    if (!bits) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto dc = GetDcObject(hdc);
    if (!dc) return false;
    std::lock_guard<std::mutex> g(dc->lock);
    Surface* ds = dc->Target();
    std::lock_guard<std::mutex> sg(ds->lock);

    long long H = info.height;
    DibRows rows{static_cast<const uint8_t*>(bits), info.stride, H, info.topDown, startScan, 0, 0};
    if (info.topDown) {
        rows.bandTop = startScan;
        rows.bandBottom = startScan + lines;
    } else {
        rows.bandTop = H - startScan - lines;
        rows.bandBottom = H - startScan;
    }
    rows.bandTop = std::clamp(rows.bandTop, 0LL, H);
    rows.bandBottom = std::clamp(rows.bandBottom, rows.bandTop, H);
    long long top = info.topDown ? sy : H - sy - sh;

    BlitParams p{};
    p.dx = dx + dc->origin.x;
    p.dy = dy + dc->origin.y;
    p.dw = dw;
    p.dh = dh;
    p.sx = sx;
    p.sy = top;
    p.sw = sw;
    p.sh = sh;
    p.rop = rop;
    if (RopUsesPattern(rop)) {
        const Brush* b = dc->st.brush.get();
        if (b->null) return true;
        p.pattern = ColorToPixel(b->color);
    }
    BlitSource src;
    src.view.width = info.width;
    if (info.format.Native() && reinterpret_cast<uintptr_t>(bits) % 4 == 0) {
        // 32-bit rows are read in place.
        src.view.height = static_cast<int>(rows.bandBottom - rows.bandTop);
        if (src.view.height > 0) src.view.bits = const_cast<uint8_t*>(DibRowAt(&rows, static_cast<int>(rows.bandTop)));
        src.view.stride = static_cast<ptrdiff_t>(info.topDown ? info.stride : -info.stride);
        p.sy -= rows.bandTop;
        if (src.view.height <= 0) return true;
    } else {
        src.view.height = info.height;
        src.format = &info.format;
        src.rowAt = DibRowAt;
        src.ctx = &rows;
    }
    Target t;
    MakeTarget(*dc, t);
    Blit(t, RopUsesSource(rop) ? &src : nullptr, p);
    return true;
}

}  // namespace

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
    return DcBlit(hdc, x, y, cx, cy, hdcSrc, false, x1, y1, cx, cy, rop, false, 0);
}

BOOL StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc, int ySrc, int wSrc,
                int hSrc, DWORD rop) {
    return DcBlit(hdcDest, xDest, yDest, wDest, hDest, hdcSrc, false, xSrc, ySrc, wSrc, hSrc, rop, false, 0);
}

BOOL TransparentImage(HDC hdcDest, LONG DstX, LONG DstY, LONG DstCx, LONG DstCy, HANDLE hSrc, LONG SrcX, LONG SrcY,
                      LONG SrcCx, LONG SrcCy, COLORREF TransparentColor) {
    return DcBlit(hdcDest, DstX, DstY, DstCx, DstCy, hSrc, true, SrcX, SrcY, SrcCx, SrcCy, SRCCOPY, true,
                  TransparentColor & 0xFFFFFF);
}

int SetDIBitsToDevice(HDC hdc, int xDest, int yDest, DWORD w, DWORD h, int xSrc, int ySrc, UINT StartScan, UINT cLines,
                      const void* lpvBits, const BITMAPINFO* lpbmi, UINT ColorUse) {
    if (!DibToDevice(hdc, xDest, yDest, w, h, xSrc, ySrc, w, h, StartScan, cLines, lpvBits, lpbmi, ColorUse, SRCCOPY))
        return 0;
    long long height =
        lpbmi->bmiHeader.biHeight < 0 ? -static_cast<long long>(lpbmi->bmiHeader.biHeight) : lpbmi->bmiHeader.biHeight;
    return static_cast<int>(std::clamp<long long>(std::min<long long>(cLines, height - StartScan), 0, INT32_MAX));
}

int StretchDIBits(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, int xSrc, int ySrc, int SrcWidth,
                  int SrcHeight, const void* lpBits, const BITMAPINFO* lpbmi, UINT iUsage, DWORD rop) {
    long long height = lpbmi ? std::abs(static_cast<long long>(lpbmi->bmiHeader.biHeight)) : 0;
    if (!DibToDevice(hdc, xDest, yDest, DestWidth, DestHeight, xSrc, ySrc, SrcWidth, SrcHeight, 0, height, lpBits,
                     lpbmi, iUsage, rop))
        return 0;
    return static_cast<int>(std::min<long long>(std::abs(static_cast<long long>(SrcHeight)), INT32_MAX));
}
