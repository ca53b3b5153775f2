// Drawing costs of a full repaint on the 800 x 480 screen: the opaque blit against a plain copy of
// the same bytes, a full-screen PNG with alpha blended through the image object, and a line of text.
#include <benchmark/benchmark.h>
#include <png.h>

#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "ui/DibImage.h"

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 480;

// A 32-bit top-down section selected into its own memory DC.
class Surface {
public:
    Surface(int w, int h) {
        BITMAPINFO bmi{};
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = w;
        bmi.bmiHeader.biHeight = -h;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        m_dc = CreateCompatibleDC(nullptr);
        m_bitmap = CreateDIBSection(m_dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_bits = static_cast<uint32_t*>(bits);
        m_old = SelectObject(m_dc, m_bitmap);
        for (int i = 0; i < w * h; ++i) m_bits[i] = static_cast<uint32_t>(i * 2654435761u) & 0xFFFFFF;
    }
    ~Surface() {
        SelectObject(m_dc, m_old);
        DeleteObject(m_bitmap);
        DeleteDC(m_dc);
    }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    HDC dc() const { return m_dc; }
    uint32_t* bits() const { return m_bits; }

private:
    HDC m_dc;
    HBITMAP m_bitmap;
    HGDIOBJ m_old;
    uint32_t* m_bits;
};

void AppendBytes(png_structp png, png_bytep data, size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}
void NoFlush(png_structp) {}

// A full-screen RGBA picture with every kind of alpha: clear, opaque and graded.
std::string MakeAlphaPng() {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, AppendBytes, NoFlush);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<BYTE> row(4 * kWidth);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            BYTE* p = &row[4 * x];
            p[0] = static_cast<BYTE>(x);
            p[1] = static_cast<BYTE>(y);
            p[2] = static_cast<BYTE>(x + y);
            int band = (x / 100) % 4;
            p[3] = band == 0 ? 0 : band == 1 ? 255 : static_cast<BYTE>(x * 7 + y);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

void BM_BlitFullScreen(benchmark::State& state) {
    Surface src(kWidth, kHeight), dst(kWidth, kHeight);
    for (auto _ : state) {
        BitBlt(dst.dc(), 0, 0, kWidth, kHeight, src.dc(), 0, 0, SRCCOPY);
        benchmark::DoNotOptimize(dst.bits()[kWidth * kHeight - 1]);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kWidth) * kHeight * 4);
}
BENCHMARK(BM_BlitFullScreen);

void BM_MemcpyFullScreen(benchmark::State& state) {
    std::vector<uint32_t> src(size_t(kWidth) * kHeight, 0x123456), dst(size_t(kWidth) * kHeight);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), dst.size() * 4);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kWidth) * kHeight * 4);
}
BENCHMARK(BM_MemcpyFullScreen);

void BM_DrawPngAlphaFullScreen(benchmark::State& state) {
    std::string png = MakeAlphaPng();
    CDibImage image(png.data(), static_cast<DWORD>(png.size()), DIBIMAGE_PNG);
    if (!image.IsValid() || !image.HasAlpha()) {
        state.SkipWithError("the picture did not decode with alpha");
        return;
    }
    Surface screen(kWidth, kHeight);
    for (auto _ : state) {
        image.Draw(screen.dc(), 0, 0);
        benchmark::DoNotOptimize(screen.bits()[0]);
    }
}
BENCHMARK(BM_DrawPngAlphaFullScreen)->Unit(benchmark::kMicrosecond);

void BM_DrawTextLine(benchmark::State& state) {
    Surface screen(kWidth, 40);
    HFONT font = CreateFontW(20, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             ANTIALIASED_QUALITY, DEFAULT_PITCH, u"");
    HGDIOBJ old = SelectObject(screen.dc(), font);
    SetBkMode(screen.dc(), TRANSPARENT);
    SetTextColor(screen.dc(), RGB(250, 250, 250));
    const std::u16string line = u"Charge 12.45 V  3.20 A  Capacity 2450 mAh  Time 01:23:45 OK!";  // 60 characters
    RECT box{4, 4, kWidth - 4, 36};
    // The first draw fills the glyph cache; the loop measures cached drawing.
    DrawTextW(screen.dc(), line.c_str(), static_cast<int>(line.size()), &box, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    for (auto _ : state) {
        DrawTextW(screen.dc(), line.c_str(), static_cast<int>(line.size()), &box, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
        benchmark::DoNotOptimize(screen.bits()[0]);
    }
    SelectObject(screen.dc(), old);
    DeleteObject(font);
}
BENCHMARK(BM_DrawTextLine)->Unit(benchmark::kMicrosecond);

}  // namespace
