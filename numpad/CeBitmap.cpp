#include "numpad/CeBitmap.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kFileHeader = 14;
constexpr DWORD kInfoHeader = 40;

DWORD Read32(const BYTE* p) { return DWORD(p[0]) | (DWORD(p[1]) << 8) | (DWORD(p[2]) << 16) | (DWORD(p[3]) << 24); }
WORD Read16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

// A memory DC with a display-format bitmap of the given size selected; false when none could be made.
bool MakeSurface(HDC ref, int width, int height, HDC& dc, HBITMAP& bitmap, HGDIOBJ& old) {
    dc = CreateCompatibleDC(ref);
    if (!dc) return false;
    bitmap = CreateCompatibleBitmap(dc, width, height);
    if (!bitmap) {
        DeleteDC(dc);
        return false;
    }
    old = SelectObject(dc, bitmap);
    return true;
}

}  // namespace

CCeBitmap::CCeBitmap() : m_hDC(nullptr), m_hBitmap(nullptr), m_hOldBitmap(nullptr), m_nWidth(0), m_nHeight(0) {}

CCeBitmap::~CCeBitmap() { Free(); }

void CCeBitmap::Free() {
    if (m_hDC) {
        SelectObject(m_hDC, m_hOldBitmap);
        DeleteDC(m_hDC);
    }
    if (m_hBitmap) DeleteObject(m_hBitmap);
    m_hDC = nullptr;
    m_hBitmap = nullptr;
    m_hOldBitmap = nullptr;
    m_nWidth = m_nHeight = 0;
}

void CCeBitmap::Adopt(HDC dc, HBITMAP bitmap, HGDIOBJ old, int width, int height) {
    Free();
    m_hDC = dc;
    m_hBitmap = bitmap;
    m_hOldBitmap = old;
    m_nWidth = width;
    m_nHeight = height;
}

int CCeBitmap::LoadResource(HINSTANCE hInstance, HDC hRefDC, UINT id) {
    HBITMAP loaded = LoadBitmapW(hInstance, MAKEINTRESOURCEW(id));
    if (!loaded) return 0;
    BITMAP bm{};
    HDC dc = nullptr, temp = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    if (!GetObjectW(loaded, sizeof bm, &bm) || !MakeSurface(hRefDC, bm.bmWidth, bm.bmHeight, dc, bitmap, old)) {
        DeleteObject(loaded);
        return 0;
    }
    temp = CreateCompatibleDC(hRefDC);
    if (temp) {
        HGDIOBJ tempOld = SelectObject(temp, loaded);
        BitBlt(dc, 0, 0, bm.bmWidth, bm.bmHeight, temp, 0, 0, SRCCOPY);
        SelectObject(temp, tempOld);
        DeleteDC(temp);
    }
    DeleteObject(loaded);
    Adopt(dc, bitmap, old, bm.bmWidth, bm.bmHeight);
    return 1;
}

int CCeBitmap::LoadFromMemory(const BYTE* data, DWORD size) {
    if (!data || size < kFileHeader + kInfoHeader || data[0] != 'B' || data[1] != 'M') return 0;
    const DWORD fileSize = Read32(data + 2);
    const DWORD offset = Read32(data + 10);
    const BYTE* info = data + kFileHeader;
    const DWORD headerSize = Read32(info);
    const LONG width = static_cast<LONG>(Read32(info + 4));
    const LONG height = static_cast<LONG>(Read32(info + 8));
    const WORD planes = Read16(info + 12);
    const WORD bpp = Read16(info + 14);
    const DWORD compression = Read32(info + 16);
    const DWORD used = Read32(info + 32);
    if (headerSize < kInfoHeader || headerSize > size - kFileHeader) return 0;
    if (width <= 0 || width > CEBITMAP_MAX_SIDE || height == 0 || height > CEBITMAP_MAX_SIDE ||
        height < -CEBITMAP_MAX_SIDE || planes > 1)
        return 0;
    const bool depthOk = bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    const bool masked = compression == BI_BITFIELDS && (bpp == 16 || bpp == 32);
    if (!depthOk || (compression != BI_RGB && !masked)) return 0;

    // The header for the platform: the basic one, then the masks or the colour table.
    std::vector<DWORD> bmi(kInfoHeader / 4 + 256);
    auto* h = reinterpret_cast<BITMAPINFOHEADER*>(bmi.data());
    std::memcpy(h, info, kInfoHeader);
    h->biSize = kInfoHeader;
    h->biPlanes = 1;
    DWORD tableAt = kFileHeader + headerSize;
    if (masked) {
        // Masks follow the basic header, or lie inside a larger one.
        DWORD at = headerSize >= kInfoHeader + 12 ? kFileHeader + kInfoHeader : tableAt;
        if (at > size || size - at < 12) return 0;
        for (int i = 0; i < 3; ++i) bmi[kInfoHeader / 4 + i] = Read32(data + at + 4 * i);
        if (at == tableAt) tableAt += 12;
    } else if (bpp <= 8) {
        DWORD colours = 1u << bpp;
        if (used != 0 && used < colours) colours = used;
        if (tableAt > size || (size - tableAt) / 4 < colours) return 0;
        for (DWORD i = 0; i < colours; ++i) bmi[kInfoHeader / 4 + i] = Read32(data + tableAt + 4 * i);
        h->biClrUsed = colours;
        tableAt += colours * 4;
    }
    if (offset < kFileHeader + kInfoHeader || offset >= size) return 0;

    // Cut to the pixel bytes the file holds (and the header admits).
    const DWORD rows = static_cast<DWORD>(height < 0 ? -height : height);
    const size_t stride = (static_cast<size_t>(width) * bpp + 31) / 32 * 4;
    size_t bytes = stride * rows;
    size_t present = size - offset;
    if (fileSize > offset) present = std::min<size_t>(present, fileSize - offset);
    // A whole file is read in place; only a short one is padded into a copy.
    std::vector<BYTE> padded;
    const BYTE* pixels = data + offset;
    if (present < bytes) {
        padded.assign(bytes, 0);
        std::memcpy(padded.data(), data + offset, present);
        pixels = padded.data();
    }
    h->biSizeImage = static_cast<DWORD>(std::min(bytes, present));

    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    if (!MakeSurface(nullptr, width, static_cast<int>(rows), dc, bitmap, old)) return 0;
    if (SetDIBits(dc, bitmap, 0, rows, pixels, reinterpret_cast<BITMAPINFO*>(h), DIB_RGB_COLORS) !=
        static_cast<int>(rows)) {
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(bitmap);
        return 0;
    }
    Adopt(dc, bitmap, old, width, static_cast<int>(rows));
    return 1;
}

void CCeBitmap::Draw(HDC hDC, const RECT* rc, int transparent) const {
    if (!m_hDC || !rc) return;
    const int w = std::min<int>(rc->right - rc->left, m_nWidth), h = std::min<int>(rc->bottom - rc->top, m_nHeight);
    if (w <= 0 || h <= 0) return;
    if (transparent)
        TransparentImage(hDC, rc->left, rc->top, w, h, m_hDC, 0, 0, w, h, CEBITMAP_KEY_COLOUR);
    else
        BitBlt(hDC, rc->left, rc->top, w, h, m_hDC, 0, 0, SRCCOPY);
}

void CCeBitmap::DrawPart(HDC hDC, const RECT* rc, int srcX, int srcY) const {
    if (!m_hDC || !rc) return;
    BitBlt(hDC, rc->left, rc->top, rc->right - rc->left, rc->bottom - rc->top, m_hDC, srcX, srcY, SRCCOPY);
}
