// Host side: pictures of bitmaps and DCs as PNG files.
#include <png.h>

#include <cstdio>

#include "gdi/gdi.h"
#include "internal.h"

namespace qrx::gdi {
namespace {

// rgb holds height rows of width x 3 bytes. Kept free of C++ objects because libpng reports
// errors by longjmp.
bool WritePng(const char* path, const uint8_t* rgb, int width, int height) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rgb + static_cast<size_t>(y) * width * 3));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}

void ToRgb(const uint32_t* px, int n, uint8_t* out) {
    for (int i = 0; i < n; ++i) {
        out[3 * i] = uint8_t(px[i] >> 16);
        out[3 * i + 1] = uint8_t(px[i] >> 8);
        out[3 * i + 2] = uint8_t(px[i]);
    }
}

}  // namespace
}  // namespace qrx::gdi

namespace qrx {

bool SaveBitmapPng(HBITMAP bitmap, const char* hostPath) {
    using namespace gdi;
    auto b = LookupAs<Bitmap>(bitmap, Kind::Bitmap);
    if (!b || !hostPath) return false;
    std::vector<uint8_t> rgb;
    std::vector<uint32_t> line;
    {
        std::lock_guard<std::mutex> g(b->lock);
        rgb.resize(static_cast<size_t>(b->width) * b->height * 3);
        line.resize(static_cast<size_t>(b->width));
        for (int y = 0; y < b->height; ++y) {
            b->format.ReadRow(b->StoredRow(y), 0, b->width, line.data());
            ToRgb(line.data(), b->width, &rgb[static_cast<size_t>(y) * b->width * 3]);
        }
    }
    return WritePng(hostPath, rgb.data(), b->width, b->height);
}

bool SaveDcPng(HDC dc, const char* hostPath) {
    using namespace gdi;
    auto d = LookupAs<Dc>(dc, Kind::Dc);
    if (!d || !hostPath) return false;
    std::vector<uint8_t> rgb;
    RECT area;
    {
        std::lock_guard<std::mutex> g(d->lock);
        Surface* s = d->Target();
        std::lock_guard<std::mutex> sg(s->lock);
        PixelView v = s->View();
        area = v.Bounds();
        if (d->hasVisible) area = Intersect(area, d->visible.Bounds());
        if (RectEmpty(area)) return false;
        s->Pull(area);
        int w = area.right - area.left;
        rgb.resize(static_cast<size_t>(w) * (area.bottom - area.top) * 3);
        for (int y = area.top; y < area.bottom; ++y)
            ToRgb(v.Row(y) + area.left, w, &rgb[static_cast<size_t>(y - area.top) * w * 3]);
    }
    return WritePng(hostPath, rgb.data(), area.right - area.left, area.bottom - area.top);
}

}  // namespace qrx
