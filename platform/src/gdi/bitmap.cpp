// Pixel formats, bitmaps and DIB sections, GetDIBits and SetDIBits.
#include <malloc.h>

#include <bit>
#include <cstdlib>
#include <mutex>

#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {
namespace {

// Limits that keep every size computation far from overflow and allocations reasonable.
constexpr int kMaxDimension = 16384;
constexpr long long kMaxBytes = 256LL << 20;

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline void Store32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

int ExpandChannel(uint32_t v, int bits) {
    if (bits >= 8) return static_cast<int>((v >> (bits - 8)) & 0xFF);
    uint32_t max = (1u << bits) - 1;
    return static_cast<int>((v * 255 + max / 2) / max);
}

uint32_t CompressChannel(uint32_t c8, int bits) {
    if (bits >= 8) return c8 << (bits - 8);
    uint32_t max = (1u << bits) - 1;
    return (c8 * max + 127) / 255;
}

}  // namespace

bool PixelFormat::SetMasks(uint32_t r, uint32_t g, uint32_t b) {
    uint32_t m[3] = {r, g, b};
    for (int i = 0; i < 3; ++i) {
        if (m[i] == 0) return false;
        int s = std::countr_zero(m[i]);
        uint32_t shifted = m[i] >> s;
        if ((shifted & (shifted + 1)) != 0) return false;  // not one contiguous run
        mask[i] = m[i];
        shift[i] = s;
        bits[i] = std::popcount(m[i]);
    }
    return true;
}

uint32_t PixelFormat::ReadPixel(const uint8_t* row, int x) const {
    switch (bpp) {
        case 1:
            return palette[(row[x >> 3] >> (7 - (x & 7))) & 1];
        case 2:
            return palette[(row[x >> 2] >> (6 - 2 * (x & 3))) & 3];
        case 4:
            return palette[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
        case 8:
            return palette[row[x]];
        case 24: {
            const uint8_t* p = row + 3 * static_cast<ptrdiff_t>(x);
            return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
        }
        default: {
            uint32_t v = bpp == 16 ? uint32_t(row[2 * x]) | (uint32_t(row[2 * x + 1]) << 8)
                                   : Load32(row + 4 * static_cast<ptrdiff_t>(x));
            if (Native()) return v & 0xFFFFFF;
            return (uint32_t(ExpandChannel((v & mask[0]) >> shift[0], bits[0])) << 16) |
                   (uint32_t(ExpandChannel((v & mask[1]) >> shift[1], bits[1])) << 8) |
                   uint32_t(ExpandChannel((v & mask[2]) >> shift[2], bits[2]));
        }
    }
}

void PixelFormat::ReadRow(const uint8_t* row, int x0, int count, uint32_t* out) const {
    if (Native()) {
        memcpy(out, row + 4 * static_cast<ptrdiff_t>(x0), 4 * static_cast<size_t>(count));
        return;
    }
    if (bpp == 24) {
        const uint8_t* p = row + 3 * static_cast<ptrdiff_t>(x0);
        for (int i = 0; i < count; ++i, p += 3) out[i] = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
        return;
    }
    if (bpp == 8) {
        for (int i = 0; i < count; ++i) out[i] = palette[row[x0 + i]];
        return;
    }
    for (int i = 0; i < count; ++i) out[i] = ReadPixel(row, x0 + i);
}

int PixelFormat::Nearest(uint32_t pixel) const {
    int best = 0;
    long best_d = -1;
    int r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
    int n = std::max(paletteSize, 1);
    for (int i = 0; i < n; ++i) {
        uint32_t p = palette[i];
        if ((p & 0xFFFFFF) == (pixel & 0xFFFFFF)) return i;
        long dr = r - int((p >> 16) & 0xFF), dg = g - int((p >> 8) & 0xFF), db = b - int(p & 0xFF);
        long d = dr * dr * 3 + dg * dg * 6 + db * db;
        if (best_d < 0 || d < best_d) {
            best_d = d;
            best = i;
        }
    }
    return best;
}

void PixelFormat::WritePixel(uint8_t* row, int x, uint32_t pixel) const {
    switch (bpp) {
        case 1: {
            uint8_t bit = uint8_t(0x80 >> (x & 7));
            if (Nearest(pixel) & 1)
                row[x >> 3] |= bit;
            else
                row[x >> 3] &= uint8_t(~bit);
            return;
        }
        case 2: {
            int s = 6 - 2 * (x & 3);
            row[x >> 2] = uint8_t((row[x >> 2] & ~(3 << s)) | ((Nearest(pixel) & 3) << s));
            return;
        }
        case 4: {
            int s = (x & 1) ? 0 : 4;
            row[x >> 1] = uint8_t((row[x >> 1] & ~(15 << s)) | ((Nearest(pixel) & 15) << s));
            return;
        }
        case 8:
            row[x] = uint8_t(Nearest(pixel));
            return;
        case 24: {
            uint8_t* p = row + 3 * static_cast<ptrdiff_t>(x);
            p[0] = uint8_t(pixel);
            p[1] = uint8_t(pixel >> 8);
            p[2] = uint8_t(pixel >> 16);
            return;
        }
        default: {
            uint32_t v = ((CompressChannel((pixel >> 16) & 0xFF, bits[0]) << shift[0]) & mask[0]) |
                         ((CompressChannel((pixel >> 8) & 0xFF, bits[1]) << shift[1]) & mask[1]) |
                         ((CompressChannel(pixel & 0xFF, bits[2]) << shift[2]) & mask[2]);
            if (bpp == 16) {
                row[2 * x] = uint8_t(v);
                row[2 * x + 1] = uint8_t(v >> 8);
            } else {
                Store32(row + 4 * static_cast<ptrdiff_t>(x), v);
            }
            return;
        }
    }
}

bool ParseBitmapInfo(const BITMAPINFO* bmi, UINT usage, DibInfo& out) {
    if (!bmi) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const BITMAPINFOHEADER& h = bmi->bmiHeader;
    int bpp = h.biBitCount;
    bool depthOk = bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biSize > 4096 || h.biWidth <= 0 || h.biWidth > kMaxDimension ||
        h.biHeight == 0 || h.biHeight < -kMaxDimension || h.biHeight > kMaxDimension || h.biPlanes != 1 || !depthOk ||
        usage != DIB_RGB_COLORS) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const uint8_t* after = reinterpret_cast<const uint8_t*>(bmi) + h.biSize;
    out = DibInfo{};
    out.width = h.biWidth;
    out.topDown = h.biHeight < 0;
    out.height = out.topDown ? -h.biHeight : h.biHeight;
    out.stride = DibStride(out.width, bpp);
    out.compression = h.biCompression;
    PixelFormat& f = out.format;
    f.bpp = bpp;
    if (h.biCompression == BI_BITFIELDS && (bpp == 16 || bpp == 32)) {
        // Larger headers carry the masks inside; the basic header is followed by them.
        const uint8_t* m = h.biSize >= 52 ? reinterpret_cast<const uint8_t*>(bmi) + 40 : after;
        uint32_t r, g, b;
        memcpy(&r, m, 4);
        memcpy(&g, m + 4, 4);
        memcpy(&b, m + 8, 4);
        if (!f.SetMasks(r, g, b)) {
            SetError(ERROR_INVALID_PARAMETER);
            return false;
        }
    } else if (h.biCompression != BI_RGB) {
        SetError(ERROR_NOT_SUPPORTED);
        return false;
    } else if (bpp == 16) {
        f.SetMasks(0x7C00, 0x03E0, 0x001F);
    } else if (bpp <= 8) {
        unsigned max = 1u << bpp;
        unsigned n = h.biClrUsed == 0 || h.biClrUsed > max ? max : h.biClrUsed;
        f.paletteSize = static_cast<int>(n);
        for (unsigned i = 0; i < n; ++i) {
            const uint8_t* q = after + 4 * i;
            f.palette[i] = (uint32_t(q[2]) << 16) | (uint32_t(q[1]) << 8) | q[0];
        }
    }
    if (bpp == 16 || bpp == 32) {
        out.masks[0] = f.mask[0];
        out.masks[1] = f.mask[1];
        out.masks[2] = f.mask[2];
    }
    return true;
}

Bitmap::~Bitmap() { free(memory); }

PixelView Bitmap::View() {
    PixelView v;
    v.width = width;
    v.height = height;
    if (format.Native()) {
        v.bits = StoredRow(0);
        v.stride = topDown || !dib ? static_cast<ptrdiff_t>(stride) : -static_cast<ptrdiff_t>(stride);
        return v;
    }
    if (m_shadow.empty()) {
        m_shadow.resize(static_cast<size_t>(width) * height);
        Pull(RECT{0, 0, width, height});
    }
    v.bits = reinterpret_cast<uint8_t*>(m_shadow.data());
    v.stride = static_cast<ptrdiff_t>(width) * 4;
    return v;
}

void Bitmap::Pull(const RECT& r) {
    if (format.Native() || m_shadow.empty()) return;
    RECT c = Intersect(r, RECT{0, 0, width, height});
    for (int y = c.top; y < c.bottom; ++y)
        format.ReadRow(StoredRow(y), c.left, c.right - c.left, &m_shadow[static_cast<size_t>(y) * width + c.left]);
}

void Bitmap::Push(const RECT& r) {
    if (format.Native() || m_shadow.empty()) return;
    RECT c = Intersect(r, RECT{0, 0, width, height});
    for (int y = c.top; y < c.bottom; ++y) {
        uint8_t* row = StoredRow(y);
        const uint32_t* s = &m_shadow[static_cast<size_t>(y) * width];
        // Only changed pixels are stored: an untouched pixel keeps its index even when its palette
        // has the same colour twice.
        for (int x = c.left; x < c.right; ++x) {
            uint32_t cur = format.ReadPixel(row, x);
            if (((cur ^ s[x]) & 0xFFFFFF) != 0) format.WritePixel(row, x, s[x]);
        }
    }
    // What was stored may differ from what was drawn (fewer colours): the shadow shows the stored.
    Pull(c);
}

namespace {

// Pixel memory goes back to the heap, not to the system, when a bitmap goes: the next page's
// surfaces reuse it instead of faulting in fresh pages (a full screen is 375 of them, costly under
// a hypervisor).
void KeepPixelMemory() {
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 8 << 20);
        mallopt(M_TRIM_THRESHOLD, 32 << 20);
    });
}

std::shared_ptr<Bitmap> NewBitmap(int width, int height, int bpp, long long stride) {
    KeepPixelMemory();
    long long bytes = stride * height;
    // Pixels are bounded too: other depths draw through a 32-bit copy.
    if (width > kMaxDimension || height > kMaxDimension || bytes > kMaxBytes ||
        static_cast<long long>(width) * height * 4 > kMaxBytes) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto b = std::make_shared<Bitmap>();
    b->memory = static_cast<uint8_t*>(calloc(1, static_cast<size_t>(std::max(bytes, 4LL))));
    if (!b->memory) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    b->width = width;
    b->height = height;
    b->stride = stride;
    b->format.bpp = bpp;
    return b;
}

void SetMonoPalette(PixelFormat& f) {
    f.paletteSize = 2;
    f.palette[0] = 0x000000;
    f.palette[1] = 0xFFFFFF;
}

// Copies stored rows of src into dst, converting through 32-bit pixels; rows from the top.
void ConvertRows(const PixelFormat& sf, const uint8_t* const* srcRows, const PixelFormat& df, uint8_t* const* dstRows,
                 int rows, int width) {
    std::vector<uint32_t> line(static_cast<size_t>(width));
    // Same depth and colours: the indexes are kept as they are.
    bool samePalette = df.bpp == sf.bpp && df.bpp <= 8 && df.paletteSize == sf.paletteSize &&
                       memcmp(df.palette, sf.palette, sizeof(uint32_t) * static_cast<size_t>(df.paletteSize)) == 0;
    for (int y = 0; y < rows; ++y) {
        if (!srcRows[y] || !dstRows[y]) continue;
        sf.ReadRow(srcRows[y], 0, width, line.data());
        if (df.Native()) {
            memcpy(dstRows[y], line.data(), 4 * static_cast<size_t>(width));
            continue;
        }
        if (samePalette) {
            memcpy(dstRows[y], srcRows[y], static_cast<size_t>((static_cast<long long>(width) * df.bpp + 7) / 8));
            continue;
        }
        for (int x = 0; x < width; ++x) df.WritePixel(dstRows[y], x, line[x]);
    }
}

}  // namespace

}  // namespace qrx::gdi

using namespace qrx::gdi;
using qrx::SetError;

HBITMAP CreateBitmap(int nWidth, int nHeight, UINT nPlanes, UINT nBitCount, const void* lpBits) {
    if (nWidth < 0 || nHeight < 0 || nPlanes != 1 || (nBitCount != 1 && nBitCount != 32)) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (nWidth == 0 || nHeight == 0) return static_cast<HBITMAP>(StockBitmap()->handle);
    // Device bitmap rows are WORD aligned.
    long long stride = nBitCount == 1 ? ((nWidth + 15LL) / 16) * 2 : nWidth * 4LL;
    auto b = NewBitmap(nWidth, nHeight, static_cast<int>(nBitCount), stride);
    if (!b) return nullptr;
    if (nBitCount == 1) {
        b->monoDdb = true;
        SetMonoPalette(b->format);
    }
    if (lpBits) memcpy(b->memory, lpBits, static_cast<size_t>(stride * nHeight));
    return static_cast<HBITMAP>(Register(b));
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
    if (!GetDcObject(hdc)) return nullptr;
    if (cx < 0 || cy < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (cx == 0 || cy == 0) return static_cast<HBITMAP>(StockBitmap()->handle);
    auto b = NewBitmap(cx, cy, 32, cx * 4LL);
    if (!b) return nullptr;
    return static_cast<HBITMAP>(Register(b));
}

HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection, DWORD offset) {
    if (ppvBits) *ppvBits = nullptr;
    if (hdc && !GetDcObject(hdc)) return nullptr;
    if (hSection) {
        SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    DibInfo info;
    if (!ParseBitmapInfo(pbmi, usage, info)) return nullptr;
    auto b = NewBitmap(info.width, info.height, info.format.bpp, info.stride);
    if (!b) return nullptr;
    b->dib = true;
    b->topDown = info.topDown;
    b->format = info.format;
    b->header = pbmi->bmiHeader;
    b->header.biSize = sizeof(BITMAPINFOHEADER);
    b->header.biSizeImage = static_cast<DWORD>(info.stride * info.height);
    for (int i = 0; i < 3; ++i) b->masks[i] = info.masks[i];
    if (ppvBits) *ppvBits = b->memory;
    return static_cast<HBITMAP>(Register(b));
}

int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT usage) {
    auto b = LookupAs<Bitmap>(hbm, Kind::Bitmap);
    if (!b || (hdc && !GetDcObject(hdc))) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!lpbmi || lpbmi->bmiHeader.biSize < sizeof(BITMAPINFOHEADER)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    BITMAPINFOHEADER& h = lpbmi->bmiHeader;
    if (!lpvBits) {
        // Describe the bitmap.
        if (h.biBitCount == 0) {
            h.biWidth = b->width;
            h.biHeight = b->height;
            h.biPlanes = 1;
            h.biBitCount = static_cast<WORD>(b->format.bpp);
            h.biCompression = BI_RGB;
            h.biClrUsed = 0;
        }
        h.biSizeImage = static_cast<DWORD>(DibStride(b->width, h.biBitCount) * b->height);
        return b->height;
    }
    std::lock_guard<std::mutex> g(b->lock);
    if (h.biBitCount <= 8 && h.biBitCount == b->format.bpp) {
        // The caller's colour table receives the bitmap's palette.
        h.biClrUsed = static_cast<DWORD>(b->format.paletteSize);
        for (int i = 0; i < b->format.paletteSize; ++i) {
            uint32_t p = b->format.palette[i];
            lpbmi->bmiColors[i] = RGBQUAD{uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16), 0};
        }
    } else if (h.biBitCount <= 8) {
        SetError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    DibInfo info;
    BITMAPINFOHEADER saved = h;
    h.biWidth = b->width;
    if (h.biHeight == 0) h.biHeight = b->height;
    bool ok = ParseBitmapInfo(lpbmi, usage, info);
    h = saved;
    if (!ok) return 0;
    info.width = b->width;
    info.stride = DibStride(info.width, info.format.bpp);
    if (start >= static_cast<UINT>(info.height)) return 0;
    int rows = static_cast<int>(std::min<long long>(cLines, info.height - static_cast<long long>(start)));
    std::vector<const uint8_t*> src(static_cast<size_t>(rows));
    std::vector<uint8_t*> dst(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        // Scan lines of a bottom-up DIB count from the bottom.
        long long scan = static_cast<long long>(start) + i;
        long long y = info.topDown ? scan : info.height - 1 - scan;
        src[i] = y < b->height ? b->StoredRow(static_cast<int>(y)) : nullptr;
        dst[i] = static_cast<uint8_t*>(lpvBits) + i * info.stride;
    }
    ConvertRows(b->format, src.data(), info.format, dst.data(), rows, b->width);
    return rows;
}

int SetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, const void* lpBits, const BITMAPINFO* lpbmi, UINT usage) {
    auto b = LookupAs<Bitmap>(hbm, Kind::Bitmap);
    if (!b || b->stock || (hdc && !GetDcObject(hdc))) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    DibInfo info;
    if (!lpBits || !ParseBitmapInfo(lpbmi, usage, info)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (start >= static_cast<UINT>(info.height)) return 0;
    int rows = static_cast<int>(std::min<long long>(cLines, info.height - static_cast<long long>(start)));
    int width = std::min(info.width, b->width);
    std::vector<const uint8_t*> src(static_cast<size_t>(rows));
    std::vector<uint8_t*> dst(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        long long scan = static_cast<long long>(start) + i;
        long long y = info.topDown ? scan : info.height - 1 - scan;
        src[i] = static_cast<const uint8_t*>(lpBits) + i * info.stride;
        dst[i] = y < b->height ? b->StoredRow(static_cast<int>(y)) : nullptr;
    }
    std::lock_guard<std::mutex> g(b->lock);
    ConvertRows(info.format, src.data(), b->format, dst.data(), rows, width);
    b->Pull(RECT{0, 0, b->width, b->height});
    return rows;
}
