// LoadBitmapW: a bitmap resource (the BMP file without its file header) converted once into a
// bitmap of the display's format. The resource is checked against its own size before any read.
#include <cstring>
#include <vector>

#include "gdi/gdi.h"
#include "internal.h"
#include "qrx/dialog.h"
#include "qrx/module.h"

using qrx::SetError;

namespace {

constexpr LONG kMaxSide = 4096;

// The bytes of the header and colour table when the resource holds a whole picture; else empty.
bool CheckResource(const BYTE* data, DWORD size, size_t& infoBytes, size_t& pixelBytes) {
    BITMAPINFOHEADER h;
    if (size < sizeof h) return false;
    memcpy(&h, data, sizeof h);
    int bpp = h.biBitCount;
    bool depth = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    bool masks = h.biCompression == BI_BITFIELDS && (bpp == 16 || bpp == 32);
    if (h.biSize < sizeof h || h.biSize > size || !depth || h.biPlanes != 1 || h.biWidth <= 0 ||
        h.biWidth > kMaxSide || h.biHeight == 0 || h.biHeight > kMaxSide || h.biHeight < -kMaxSide ||
        (h.biCompression != BI_RGB && !masks))
        return false;
    size_t colours = 0;
    if (bpp <= 8) {
        size_t max = size_t(1) << bpp;
        colours = h.biClrUsed == 0 ? max : h.biClrUsed;
        if (colours > max) return false;
    }
    infoBytes = h.biSize + colours * 4 + (masks && h.biSize == sizeof h ? 12 : 0);
    size_t rows = static_cast<size_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight);
    pixelBytes = (static_cast<size_t>(h.biWidth) * bpp + 31) / 32 * 4 * rows;
    return infoBytes <= size && pixelBytes <= size - infoBytes;
}

}  // namespace

HBITMAP LoadBitmapW(HINSTANCE hInstance, LPCWSTR lpBitmapName) {
    HRSRC res = FindResourceW(hInstance, lpBitmapName, RT_BITMAP);
    if (!res) return nullptr;
    DWORD size = SizeofResource(hInstance, res);
    auto* data = static_cast<const BYTE*>(LockResource(LoadResource(hInstance, res)));
    size_t infoBytes = 0, pixelBytes = 0;
    if (!data || !CheckResource(data, size, infoBytes, pixelBytes)) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // An aligned copy of the header and its colours, as the bitmap functions read them.
    std::vector<uint32_t> info((infoBytes + 3) / 4 + 1);
    memcpy(info.data(), data, infoBytes);
    auto* bmi = reinterpret_cast<const BITMAPINFO*>(info.data());
    LONG height = bmi->bmiHeader.biHeight < 0 ? -bmi->bmiHeader.biHeight : bmi->bmiHeader.biHeight;
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return nullptr;
    HBITMAP bitmap = CreateCompatibleBitmap(dc, bmi->bmiHeader.biWidth, height);
    DeleteDC(dc);
    if (!bitmap) return nullptr;
    if (SetDIBits(nullptr, bitmap, 0, static_cast<UINT>(height), data + infoBytes, bmi, DIB_RGB_COLORS) != height) {
        DeleteObject(bitmap);
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return bitmap;
}
