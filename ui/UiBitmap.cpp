#include "ui/UiBitmap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/DibImage.h"
#include "ui/FileUtil.h"

namespace {

// Holds the object's lock for one operation.
class Lock {
public:
    explicit Lock(CRITICAL_SECTION* cs) : m_cs(cs) { EnterCriticalSection(m_cs); }
    ~Lock() { LeaveCriticalSection(m_cs); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};

bool EndsWithNoCase(const WCHAR* text, const WCHAR* tail) {
    size_t n = wcslen(text), m = wcslen(tail);
    return n >= m && _wcsicmp(text + n - m, tail) == 0;
}

int Clamp32(LONGLONG v) { return static_cast<int>(std::clamp<LONGLONG>(v, INT32_MIN, INT32_MAX)); }

DWORD ReadLe32(const BYTE* p) { return DWORD(p[0]) | (DWORD(p[1]) << 8) | (DWORD(p[2]) << 16) | (DWORD(p[3]) << 24); }
WORD ReadLe16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

// Where the top bits of an 8-bit channel go in a 16-bit pixel with this mask.
WORD PlaceChannel(BYTE value, DWORD mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    int bits = 0;
    while ((mask >> (shift + bits)) & 1) ++bits;
    DWORD v = bits >= 8 ? DWORD(value) << (bits - 8) : DWORD(value) >> (8 - bits);
    return static_cast<WORD>((v << shift) & mask);
}

}  // namespace

CUiBitmap::CUiBitmap()
    : m_pAlphaImage(nullptr),
      m_bAlpha(0),
      m_hBitmap(nullptr),
      m_pInfo(nullptr),
      m_dwInfoSize(0),
      m_pBits(nullptr),
      m_dwBitsSize(0),
      m_nWidth(0),
      m_nHeight(0),
      m_szName{},
      m_bTransparent(0),
      m_crKey(0xFF00FF) {
    InitializeCriticalSection(&m_cs);
}

CUiBitmap::~CUiBitmap() {
    Free();
    DeleteCriticalSection(&m_cs);
}

void CUiBitmap::Free() {
    Lock lock(&m_cs);
    FreeLocked();
}

void CUiBitmap::FreeLocked() {
    delete m_pAlphaImage;
    m_pAlphaImage = nullptr;
    free(m_pInfo);
    m_pInfo = nullptr;
    m_dwInfoSize = 0;
    free(m_pBits);
    m_pBits = nullptr;
    m_dwBitsSize = 0;
    if (m_hBitmap) DeleteObject(m_hBitmap);
    m_hBitmap = nullptr;
    m_nWidth = m_nHeight = 0;
}

void CUiBitmap::AttachBitmap(HBITMAP bitmap) {
    Lock lock(&m_cs);
    FreeLocked();
    m_bAlpha = 0;
    BITMAP bm{};
    if (!bitmap || GetObjectW(bitmap, sizeof bm, &bm) == 0) return;
    m_hBitmap = bitmap;
    m_nWidth = bm.bmWidth;
    m_nHeight = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
}

void CUiBitmap::GetName(WCHAR* out) const {
    if (out) QrxStrCopy(out, MAX_PATH, m_szName);
}

int CUiBitmap::CompareName(const CUiBitmap* other) const {
    if (!other) return 1;
    return _wcsicmp(m_szName, other->m_szName);
}

void CUiBitmap::SetTransparent(BOOL on, COLORREF key) {
    Lock lock(&m_cs);
    m_bTransparent = on;
    m_crKey = key;
}

int CUiBitmap::GetNumColors() const {
    if (!m_pInfo) return 0;
    const BITMAPINFOHEADER& h = m_pInfo->bmiHeader;
    if (h.biBitCount > 8) return 0;
    return h.biClrUsed ? static_cast<int>(h.biClrUsed) : 1 << h.biBitCount;
}

// ---------------------------------------------------------------------------------------------
// Loading

int CUiBitmap::Load(const WCHAR* name) {
    Lock lock(&m_cs);
    m_bAlpha = 0;
    if (!name || !name[0]) return -1;
    size_t length = wcslen(name);
    if (IsArchiveLoaded() && !wcschr(name, u'\\')) {
        if (length < 5) return -1;
        bool bmp = EndsWithNoCase(name, u".bmp");
        bool png = EndsWithNoCase(name, u".png");
        if (!bmp && !png) return -1;
        if (png) {
            // A PNG load replaces the image from its start; a failure leaves nothing, not even the name.
            FreeLocked();
            m_szName[0] = 0;
        }
        DWORD size = 0;
        const BYTE* archive = GetArchiveBuffer(&size);
        ZipItemInfo item{};
        int index = -1;
        if (!archive) return -1;
        const DWORD found = LookupArchiveItem(archive, size, name, &item, &index);
        if (found != ZR_OK) {
            ReportArchiveFailure(name, found);
            return -1;
        }
        return png ? LoadPngMember(item, index, name) : LoadArchiveBmp(item, index, name);
    }
    if (length <= 4) return -1;
    WCHAR path[MAX_PATH];
    if (!ResolvePath(path, name) || !EndsWithNoCase(path, u".bmp")) return -1;
    return LoadBmpFile(path, name);
}

BOOL CUiBitmap::LoadBmpIfBmp(const WCHAR* name) {
    if (!name || wcslen(name) < 5 || !EndsWithNoCase(name, u".bmp")) return 0;
    WCHAR path[MAX_PATH];
    if (!ResolvePath(path, name)) return 0;
    Lock lock(&m_cs);
    return LoadBmpFile(path, name) >= 0 ? 1 : 0;
}

// The member's bytes in a zeroed allocation of its uncompressed size; null (and the reason in the
// debug log) when it cannot be had.
static BYTE* InflateMember(const ZipItemInfo& item, int index, const WCHAR* name) {
    if (item.unc_size <= 0 || static_cast<DWORD>(item.unc_size) > CUiBitmap::kMaxFileSize) {
        ReportArchiveFailure(name, ZR_OK, item.unc_size <= 0 ? "empty member" : "member too large");
        return nullptr;
    }
    DWORD size = 0;
    const BYTE* archive = GetArchiveBuffer(&size);
    BYTE* bytes = static_cast<BYTE*>(calloc(static_cast<size_t>(item.unc_size), 1));
    if (!bytes) {
        ReportArchiveFailure(name, ZR_OK, "out of memory");
        return nullptr;
    }
    ZipItemInfo copy = item;
    const DWORD result = archive ? InflateArchiveItem(archive, size, bytes, &copy, index) : ZR_ARGS;
    if (result != ZR_OK) {
        ReportArchiveFailure(name, result);
        free(bytes);
        return nullptr;
    }
    return bytes;
}

int CUiBitmap::LoadPngMember(const ZipItemInfo& item, int index, const WCHAR* name) {
    BYTE* bytes = InflateMember(item, index, name);
    if (!bytes) return -1;
    auto* image = new (std::nothrow) CDibImage(bytes, static_cast<DWORD>(item.unc_size), DIBIMAGE_PNG);
    free(bytes);
    // An undecodable member is a failed load, not an empty image that claims success.
    if (!image || !image->IsValid()) {
        std::string reason = "PNG decode error";
        if (image && image->GetLastErrorText()[0]) reason = reason + ": " + image->GetLastErrorText();
        ReportArchiveFailure(name, ZR_OK, reason.c_str());
        delete image;
        return -1;
    }
    m_pAlphaImage = image;
    m_nWidth = image->GetWidth();
    m_nHeight = image->GetHeight();
    QrxStrCopy(m_szName, MAX_PATH, name);
    m_bAlpha = 1;
    return 1;
}

int CUiBitmap::LoadArchiveBmp(const ZipItemInfo& item, int index, const WCHAR* name) {
    BYTE* bytes = InflateMember(item, index, name);
    if (!bytes) return -1;
    int result = LoadBmpData(bytes, static_cast<DWORD>(item.unc_size), name);
    free(bytes);
    if (result < 0) ReportArchiveFailure(name, ZR_OK, "BMP decode error");
    return result;
}

int CUiBitmap::LoadBmpFile(const WCHAR* path, const WCHAR* name) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    int result = -1;
    if (high == 0 && size != 0xFFFFFFFFu && size >= sizeof(BITMAPFILEHEADER) && size <= kMaxFileSize) {
        BYTE* bytes = static_cast<BYTE*>(malloc(size));
        DWORD total = 0;
        while (bytes && total < size) {
            DWORD got = 0;
            if (!ReadFile(file, bytes + total, size - total, &got, nullptr) || got == 0) break;
            total += got;
        }
        if (bytes && total == size) result = LoadBmpData(bytes, size, name);
        free(bytes);
    }
    CloseHandle(file);
    return result;
}

int CUiBitmap::LoadBmpData(const BYTE* data, DWORD size, const WCHAR* name) {
    constexpr DWORD kFileHeader = sizeof(BITMAPFILEHEADER);
    if (!data || size < kFileHeader + 4 || ReadLe16(data) != 0x4D42) return -1;
    DWORD fileSize = ReadLe32(data + 2);
    DWORD offBits = ReadLe32(data + 10);
    DWORD headerSize = ReadLe32(data + kFileHeader);

    BITMAPINFOHEADER head{};
    DWORD entryBytes;
    if (headerSize == sizeof(BITMAPINFOHEADER)) {
        if (size < kFileHeader + headerSize) return -1;
        memcpy(&head, data + kFileHeader, sizeof head);
        entryBytes = 4;
    } else if (headerSize == 12) {
        const BYTE* core = data + kFileHeader;
        if (size < kFileHeader + headerSize) return -1;
        head.biSize = sizeof(BITMAPINFOHEADER);
        head.biWidth = ReadLe16(core + 4);
        head.biHeight = ReadLe16(core + 6);
        head.biPlanes = ReadLe16(core + 8);
        head.biBitCount = ReadLe16(core + 10);
        head.biCompression = BI_RGB;
        entryBytes = 3;
    } else {
        return -1;
    }

    // Only layouts that can be drawn, with sizes that cannot overflow.
    int bpp = head.biBitCount;
    bool depthOk = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    LONGLONG rows = head.biHeight < 0 ? -LONGLONG(head.biHeight) : LONGLONG(head.biHeight);
    if (!depthOk || head.biWidth <= 0 || head.biWidth > kMaxSide || rows == 0 || rows > kMaxSide) return -1;
    bool bitfields = head.biCompression == BI_BITFIELDS;
    if (head.biCompression != BI_RGB && !(bitfields && entryBytes == 4 && (bpp == 16 || bpp == 32))) return -1;
    head.biPlanes = 1;
    DWORD colors = 0;
    if (bpp <= 8) {
        DWORD max = 1u << bpp;
        if (head.biClrUsed > max) return -1;
        colors = head.biClrUsed ? head.biClrUsed : max;
    }

    // The colour table (or the three masks) follows the header and must be there whole.
    ULONGLONG tableAt = ULONGLONG(kFileHeader) + headerSize;
    ULONGLONG tableBytes = bitfields ? 12 : ULONGLONG(colors) * entryBytes;
    if (tableAt + tableBytes > size) return -1;

    // The bits run from the offset to the end the file header gives; all rows must be present.
    ULONGLONG stride = (ULONGLONG(head.biWidth) * bpp + 31) / 32 * 4;
    if (offBits < tableAt || fileSize <= offBits || fileSize > size) return -1;
    DWORD bitsSize = fileSize - offBits;
    if (bitsSize < stride * ULONGLONG(rows)) return -1;
    head.biSizeImage = static_cast<DWORD>(stride * ULONGLONG(rows));

    DWORD infoSize = sizeof(BITMAPINFOHEADER) + (bitfields ? 12 : 4 * colors);
    auto* info = static_cast<BITMAPINFO*>(calloc(infoSize, 1));
    auto* bits = static_cast<BYTE*>(malloc(bitsSize));
    if (!info || !bits) {
        free(info);
        free(bits);
        return -1;
    }
    memcpy(&info->bmiHeader, &head, sizeof head);
    BYTE* table = reinterpret_cast<BYTE*>(info) + sizeof(BITMAPINFOHEADER);
    const BYTE* source = data + tableAt;
    if (bitfields) {
        memcpy(table, source, 12);
    } else {
        for (DWORD i = 0; i < colors; ++i) {
            table[4 * i] = source[entryBytes * i];
            table[4 * i + 1] = source[entryBytes * i + 1];
            table[4 * i + 2] = source[entryBytes * i + 2];
            table[4 * i + 3] = entryBytes == 4 ? source[4 * i + 3] : 0;
        }
    }
    memcpy(bits, data + offBits, bitsSize);

    Lock lock(&m_cs);
    FreeLocked();
    m_pInfo = info;
    m_dwInfoSize = infoSize;
    m_pBits = bits;
    m_dwBitsSize = bitsSize;
    m_nWidth = head.biWidth;
    m_nHeight = static_cast<LONG>(rows);
    m_bAlpha = 0;
    QrxStrCopy(m_szName, MAX_PATH, name ? name : u"");
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Drawing

BOOL CUiBitmap::DrawCopy(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH, DWORD rop,
                         const BITMAPINFO* info, const BYTE* bits) {
    // Rows of a bottom-up DIB count from the bottom.
    LONGLONG ySrc = info->bmiHeader.biHeight > 0 ? LONGLONG(m_nHeight) - (LONGLONG(srcY) + srcH) : srcY;
    return StretchDIBits(dc, x, y, w, h, srcX, Clamp32(ySrc), srcW, srcH, bits, info, DIB_RGB_COLORS, rop) > 0 ? 1 : 0;
}

BOOL CUiBitmap::DrawPlain(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH) {
    if (m_hBitmap) {
        HDC mem = CreateCompatibleDC(dc);
        if (!mem) return 0;
        HGDIOBJ old = SelectObject(mem, m_hBitmap);
        BOOL drawn = old ? StretchBlt(dc, x, y, w, h, mem, srcX, srcY, srcW, srcH, SRCCOPY) : 0;
        if (old) SelectObject(mem, old);
        DeleteDC(mem);
        return drawn;
    }
    if (!m_pInfo || !m_pBits) return 0;
    return DrawCopy(dc, x, y, w, h, srcX, srcY, srcW, srcH, SRCCOPY, m_pInfo, m_pBits);
}

BOOL CUiBitmap::DrawKeyed(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH) {
    if (m_hBitmap)
        return TransparentImage(dc, x, y, w, h, m_hBitmap, srcX, srcY, srcW, srcH, m_crKey);
    if (!m_pInfo || !m_pBits) return 0;
    switch (m_pInfo->bmiHeader.biBitCount) {
        case 1:
        case 4:
        case 8: return DrawKeyedPalette(dc, x, y, w, h, srcX, srcY, srcW, srcH);
        case 16:
        case 24: return DrawKeyedRgb(dc, x, y, w, h, srcX, srcY, srcW, srcH);
        default: return 0;
    }
}

// Mask pass with AND (key entries white, others black), image pass with OR (key entries black).
// Both palettes are temporary copies: the shared palette is never rewritten while others draw.
BOOL CUiBitmap::DrawKeyedPalette(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH) {
    auto* mask = static_cast<BITMAPINFO*>(malloc(m_dwInfoSize));
    auto* image = static_cast<BITMAPINFO*>(malloc(m_dwInfoSize));
    BOOL drawn = 0;
    if (mask && image) {
        memcpy(mask, m_pInfo, m_dwInfoSize);
        memcpy(image, m_pInfo, m_dwInfoSize);
        int colors = GetNumColors();
        RGBQUAD* mp = mask->bmiColors;
        RGBQUAD* ip = image->bmiColors;
        for (int i = 0; i < colors; ++i) {
            bool key = ip[i].rgbRed == GetRValue(m_crKey) && ip[i].rgbGreen == GetGValue(m_crKey) &&
                       ip[i].rgbBlue == GetBValue(m_crKey);
            BYTE m = key ? 255 : 0;
            mp[i] = RGBQUAD{m, m, m, 0};
            if (key) ip[i] = RGBQUAD{0, 0, 0, 0};
        }
        drawn = DrawCopy(dc, x, y, w, h, srcX, srcY, srcW, srcH, SRCAND, mask, m_pBits) &&
                DrawCopy(dc, x, y, w, h, srcX, srcY, srcW, srcH, SRCPAINT, image, m_pBits);
    }
    free(mask);
    free(image);
    return drawn;
}

// The same two passes for 16- and 24-bit pixels, into an off-screen copy of the destination, with a
// mask copy and an image copy of the bits.
BOOL CUiBitmap::DrawKeyedRgb(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH) {
    if (w <= 0 || h <= 0) return 0;
    const BITMAPINFOHEADER& head = m_pInfo->bmiHeader;
    DWORD stride = static_cast<DWORD>((DWORD(head.biWidth) * head.biBitCount + 31) / 32 * 4);
    size_t used = static_cast<size_t>(stride) * static_cast<size_t>(m_nHeight);
    BYTE* mask = static_cast<BYTE*>(calloc(used, 1));
    BYTE* image = static_cast<BYTE*>(malloc(used));
    if (!mask || !image) {
        free(mask);
        free(image);
        return 0;
    }
    memcpy(image, m_pBits, used);
    BYTE kr = GetRValue(m_crKey), kg = GetGValue(m_crKey), kb = GetBValue(m_crKey);
    if (head.biBitCount == 24) {
        for (LONG row = 0; row < m_nHeight; ++row) {
            BYTE* m = mask + static_cast<size_t>(row) * stride;
            BYTE* p = image + static_cast<size_t>(row) * stride;
            for (LONG c = 0; c < m_nWidth; ++c, m += 3, p += 3) {
                if (p[0] == kb && p[1] == kg && p[2] == kr) {
                    m[0] = m[1] = m[2] = 0xFF;
                    p[0] = p[1] = p[2] = 0;
                }
            }
        }
    } else {
        DWORD rm = 0x7C00, gm = 0x03E0, bm = 0x001F;
        if (head.biCompression == BI_BITFIELDS) {
            const BYTE* masks = reinterpret_cast<const BYTE*>(m_pInfo) + sizeof(BITMAPINFOHEADER);
            rm = ReadLe32(masks) & 0xFFFF;
            gm = ReadLe32(masks + 4) & 0xFFFF;
            bm = ReadLe32(masks + 8) & 0xFFFF;
        }
        WORD used16 = static_cast<WORD>(rm | gm | bm);
        WORD key = static_cast<WORD>(PlaceChannel(kr, rm) | PlaceChannel(kg, gm) | PlaceChannel(kb, bm));
        for (LONG row = 0; row < m_nHeight; ++row) {
            BYTE* m = mask + static_cast<size_t>(row) * stride;
            BYTE* p = image + static_cast<size_t>(row) * stride;
            for (LONG c = 0; c < m_nWidth; ++c, m += 2, p += 2) {
                if ((ReadLe16(p) & used16) == key) {
                    m[0] = static_cast<BYTE>(used16);
                    m[1] = static_cast<BYTE>(used16 >> 8);
                    p[0] = p[1] = 0;
                }
            }
        }
    }

    BOOL drawn = 0;
    HDC off = CreateCompatibleDC(dc);
    HBITMAP surface = off ? CreateCompatibleBitmap(dc, w, h) : nullptr;
    HGDIOBJ old = surface ? SelectObject(off, surface) : nullptr;
    if (old && BitBlt(off, 0, 0, w, h, dc, x, y, SRCCOPY) &&
        DrawCopy(off, 0, 0, w, h, srcX, srcY, srcW, srcH, SRCAND, m_pInfo, mask) &&
        DrawCopy(off, 0, 0, w, h, srcX, srcY, srcW, srcH, SRCPAINT, m_pInfo, image))
        drawn = BitBlt(dc, x, y, w, h, off, 0, 0, SRCCOPY);
    if (old) SelectObject(off, old);
    if (surface) DeleteObject(surface);
    if (off) DeleteDC(off);
    free(mask);
    free(image);
    return drawn;
}

BOOL CUiBitmap::Draw(HDC dc, LONG x, LONG y) {
    Lock lock(&m_cs);
    if (m_pAlphaImage) return m_pAlphaImage->Draw(dc, x, y, -1, -1);
    if (m_bTransparent && DrawKeyed(dc, x, y, m_nWidth, m_nHeight, 0, 0, m_nWidth, m_nHeight)) return 1;
    return DrawPlain(dc, x, y, m_nWidth, m_nHeight, 0, 0, m_nWidth, m_nHeight);
}

BOOL CUiBitmap::DrawStretch(HDC dc, LONG x, LONG y, LONG w, LONG h, LONG srcX, LONG srcY, LONG srcW, LONG srcH) {
    Lock lock(&m_cs);
    if (m_pAlphaImage) return m_pAlphaImage->Draw(dc, x, y, w, h);
    if (m_bTransparent && DrawKeyed(dc, x, y, w, h, srcX, srcY, srcW, srcH)) return 1;
    return DrawPlain(dc, x, y, w, h, srcX, srcY, srcW, srcH);
}

BOOL CUiBitmap::DrawPart(HDC dc, LONG x, LONG y, LONG srcX, LONG srcY, LONG w, LONG h) {
    Lock lock(&m_cs);
    if (m_pAlphaImage) return m_pAlphaImage->Draw(dc, x, y, w, h);
    if (m_bTransparent && DrawKeyed(dc, x, y, w, h, srcX, srcY, w, h)) return 1;
    return DrawPlain(dc, x, y, w, h, srcX, srcY, w, h);
}

BOOL CUiBitmap::DrawSameRect(HDC dc, LONG x, LONG y, LONG w, LONG h) {
    Lock lock(&m_cs);
    if (m_pAlphaImage) return m_pAlphaImage->Draw(dc, x, y, w, h);
    if (m_bTransparent && DrawKeyed(dc, x, y, w, h, x, y, w, h)) return 1;
    return DrawPlain(dc, x, y, w, h, x, y, w, h);
}

BOOL CUiBitmap::DrawCropped(HDC dc, LONG x, LONG y, LONG w) {
    Lock lock(&m_cs);
    if (m_pAlphaImage) return m_pAlphaImage->Draw(dc, x, y, w, -1);
    if (m_bTransparent && DrawKeyed(dc, x, y, w, m_nHeight, 0, 0, w, m_nHeight)) return 1;
    return DrawPlain(dc, x, y, w, m_nHeight, 0, 0, w, m_nHeight);
}

BOOL CUiBitmap::DrawClipped(HDC dc, LONG x, LONG y, const RECT& clip) {
    Lock lock(&m_cs);
    RECT image = {x, y, x + m_nWidth, y + m_nHeight};
    RECT part;
    if (!IntersectRect(&part, &image, &clip)) return 0;
    if (m_pAlphaImage) {
        // An alpha image draws only whole: the clip box keeps it to the part.
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, part.left, part.top, part.right, part.bottom);
        const BOOL drawn = m_pAlphaImage->Draw(dc, x, y, -1, -1);
        RestoreDC(dc, saved);
        return drawn;
    }
    return DrawPart(dc, part.left, part.top, part.left - x, part.top - y, part.right - part.left,
                    part.bottom - part.top);
}

// ---------------------------------------------------------------------------------------------

BOOL CUiBitmap::FitToBox(LONG* width, LONG* height, LONG maxWidth, LONG maxHeight) {
    // A maximum below 1 could never be reached: stepping down would not end.
    if (!width || !height || *width < 1 || *height < 1 || maxWidth < 1 || maxHeight < 1) return 0;
    if (*width <= maxWidth && *height <= maxHeight) return 1;
    // Stepping the short side down by 1 and the long side by the aspect ratio, k steps at once.
    bool tall = *width < *height;
    double shortSide = tall ? *width : *height, longSide = tall ? *height : *width;
    double shortMax = tall ? maxWidth : maxHeight, longMax = tall ? maxHeight : maxWidth;
    double ratio = longSide / shortSide;
    double k = std::max(0.0, std::max(shortSide - shortMax, std::ceil((longSide - longMax) / ratio)));
    while (longSide - k * ratio > longMax) k += 1;  // rounding of the division
    double s = shortSide - k, l = longSide - k * ratio;
    LONG si = s < 1 ? 1 : static_cast<LONG>(s), li = l < 1 ? 1 : static_cast<LONG>(l);
    *width = tall ? si : li;
    *height = tall ? li : si;
    return 1;
}
