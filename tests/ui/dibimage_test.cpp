#include "ui/DibImage.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <memory>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

struct PngLayout {
    int width = 1, height = 1, depth = 8, colorType = PNG_COLOR_TYPE_GRAY;
    bool interlace = false;
    std::vector<png_color> palette;
    Bytes trnsAlpha;            // palette images
    const png_color_16* trans = nullptr;  // grey and colour images
    const png_color_16* bkgd = nullptr;
};

void Append(png_structp png, png_bytep data, size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), n);
}

// rows: packed PNG rows, 16-bit samples big-endian; every row is the same when only one is given.
std::string WritePng(const PngLayout& s, const std::vector<Bytes>& rows) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, Append, [](png_structp) {});
    png_set_IHDR(png, info, s.width, s.height, s.depth, s.colorType, s.interlace ? PNG_INTERLACE_ADAM7 : 0, 0, 0);
    if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
    if (!s.trnsAlpha.empty()) png_set_tRNS(png, info, s.trnsAlpha.data(), int(s.trnsAlpha.size()), nullptr);
    if (s.trans) png_set_tRNS(png, info, nullptr, 1, s.trans);
    if (s.bkgd) png_set_bKGD(png, info, s.bkgd);
    png_write_info(png, info);
    for (int p = png_set_interlace_handling(png); p > 0; --p)
        for (int y = 0; y < s.height; ++y) png_write_row(png, rows[rows.size() == 1 ? 0 : y].data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::unique_ptr<CDibImage> Decode(const std::string& png) {
    return std::make_unique<CDibImage>(png.data(), DWORD(png.size()), 0);
}

// A 32-bit top-down surface; At gives 0xRRGGBB.
struct Canvas {
    Canvas(int w, int h, uint32_t fill) : w(w) {
        BITMAPINFO bmi{};
        bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* p = nullptr;
        dc = CreateCompatibleDC(nullptr);
        bmp = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &p, nullptr, 0);
        bits = static_cast<uint32_t*>(p);
        old = SelectObject(dc, bmp);
        std::fill(bits, bits + w * h, fill);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bmp);
        DeleteDC(dc);
    }
    uint32_t At(int x, int y) const { return bits[y * w + x]; }
    int w;
    HDC dc;
    HBITMAP bmp;
    HGDIOBJ old;
    uint32_t* bits;
};

// Pixel (x, y from the top) as 0xRRGGBB, through the palette for palette depths.
uint32_t PixelAt(const CDibImage& im, int x, int yTop) {
    int y = im.GetHeight() - 1 - yTop;
    if (im.GetBpp() == 24) {
        const BYTE* p = im.GetBits() + y * im.GetLineBytes() + 3 * x;
        return (p[2] << 16) | (p[1] << 8) | p[0];
    }
    RGBQUAD q = im.GetPaletteColor(im.GetPixelIndex(x, y));
    return (q.rgbRed << 16) | (q.rgbGreen << 8) | q.rgbBlue;
}

uint32_t Grey(int v) { return uint32_t(v) * 0x010101u; }

}  // namespace

TEST(MemStream, ReadsSeeksAndReportsLikeAFile) {
    BYTE block[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    CMemStream s(block, sizeof block);
    BYTE out[8] = {};
    EXPECT_EQ(s.Read(out, 4, 2), 2u);
    EXPECT_EQ(s.Read(out, 4, 1), 0u);  // two bytes left: no whole item
    EXPECT_EQ(s.Tell(), 10);
    EXPECT_EQ(s.Eof(), 1);
    EXPECT_EQ(s.GetC(), -1);
    EXPECT_EQ(s.Seek(-3, 2), 1);
    EXPECT_EQ(s.GetC(), 7);
    EXPECT_EQ(s.Seek(-20, 1), 0);
    EXPECT_EQ(s.Seek(0, 3), 0);
    EXPECT_EQ(s.Seek(15, 0), 1);
    EXPECT_EQ(s.Error(), 1);
    EXPECT_EQ(s.Read(out, 1, 1), 0u);

    CMemStream none;
    EXPECT_EQ(none.Tell(), -1);
    EXPECT_EQ(none.Size(), -1);
    EXPECT_EQ(none.Error(), -1);
    EXPECT_EQ(none.Eof(), 1);
    EXPECT_EQ(none.Flush(), 0);
    EXPECT_EQ(none.PutC(1), 0);
    EXPECT_EQ(none.Write(block, 1, 1), 0u);
}

TEST(MemStream, GrowsInPageStepsAndNeverResizesTheCallersBlock) {
    CMemStream owned(100);
    Bytes data(5000, 0x5A);
    EXPECT_EQ(owned.Write(data.data(), 1, 5000), 5000u);
    EXPECT_EQ(owned.GetCapacity(), 8292u);
    EXPECT_EQ(owned.Size(), 5000);
    EXPECT_EQ(owned.Seek(6000, 0), 1);
    EXPECT_EQ(owned.PutC(0xAB), 1);
    EXPECT_EQ(owned.Size(), 6001);
    EXPECT_EQ(owned.GetBuffer()[5500], 0);  // the gap reads as zeros

    BYTE block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    {
        CMemStream s(block, sizeof block);
        EXPECT_EQ(s.Seek(2, 0), 1);
        EXPECT_EQ(s.PutC(0xEE), 1);
        EXPECT_EQ(block[2], 0xEE);  // inside the block, writes land in it
        EXPECT_EQ(s.Seek(0, 2), 1);
        EXPECT_EQ(s.Write(data.data(), 1, 3), 3u);
        EXPECT_TRUE(s.OwnsBuffer());
        EXPECT_NE(s.GetBuffer(), block);
        EXPECT_EQ(s.GetCapacity(), 8u + 4096u);
        EXPECT_EQ(s.GetBuffer()[2], 0xEE);
        EXPECT_EQ(s.GetBuffer()[10], 0x5A);
    }
    EXPECT_EQ(block[7], 8);
}

TEST(DibImageDecode, EveryGreyAndColourTypeAndDepth) {
    const png_color_16 rgbKey{0, 1, 2, 3, 0}, rgbKey16{0, 0x0102, 0x0304, 0x0506, 0}, bk{0, 0, 0, 0, 10};
    struct Case {
        const char* what;
        int depth, type, width;
        Bytes row;
        int bpp;
        std::vector<uint32_t> colours;
        Bytes alpha;  // empty: no plane
        const png_color_16* trans = nullptr;
        const png_color_16* bkgd = nullptr;
    } cases[] = {
        {"grey 1", 1, 0, 4, {0x50}, 1, {0, Grey(255), 0, Grey(255)}, {}},
        {"grey 2", 2, 0, 4, {0x1B}, 4, {0, Grey(85), Grey(170), Grey(255)}, {}},
        {"grey 4", 4, 0, 2, {0x7F}, 4, {Grey(119), Grey(255)}, {}},
        {"grey 8", 8, 0, 2, {7, 200}, 8, {Grey(7), Grey(200)}, {}},
        {"grey 16", 16, 0, 2, {0x12, 0x34, 0xFE, 1}, 8, {Grey(0x12), Grey(0xFE)}, {}},
        {"grey+alpha 8", 8, 4, 3, {50, 0, 50, 255, 100, 128}, 8, {Grey(192), Grey(50), Grey(146)}, {}},
        {"grey+alpha 8, file background", 8, 4, 2, {50, 0, 50, 255}, 8, {Grey(10), Grey(50)}, {}, nullptr, &bk},
        {"grey+alpha 16", 16, 4, 2, {0x40, 0, 0x80, 0, 0xC0, 0, 0xFF, 0xFF}, 24, {Grey(0x40), Grey(0xC0)}, {0x80, 0xFF}},
        {"rgb 8 key", 8, 2, 2, {1, 2, 3, 40, 50, 60}, 24, {Grey(192), 0x28323C}, {}, &rgbKey},
        {"rgb 16 key", 16, 2, 2, {1, 2, 3, 4, 5, 6, 0xAA, 0, 0xBB, 0, 0xCC, 0}, 24, {Grey(192), 0xAABBCC}, {}, &rgbKey16},
        {"rgba 8", 8, 6, 2, {10, 20, 30, 0, 40, 50, 60, 128}, 24, {0x0A141E, 0x28323C}, {0, 128}},
        {"rgba 16", 16, 6, 2, {0xFF, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0}, 24, {0xFF0000, Grey(192)},
         {255, 255}},
    };
    for (const Case& c : cases) {
        PngLayout s;
        s.width = c.width;
        s.depth = c.depth;
        s.colorType = c.type;
        s.trans = c.trans;
        s.bkgd = c.bkgd;
        auto im = Decode(WritePng(s, {c.row}));
        ASSERT_TRUE(im->IsValid()) << c.what << ": " << im->GetLastErrorText();
        EXPECT_EQ(im->GetBpp(), c.bpp) << c.what;
        for (int x = 0; x < c.width; ++x) EXPECT_EQ(PixelAt(*im, x, 0), c.colours[x]) << c.what << " " << x;
        EXPECT_EQ(im->HasAlpha(), !c.alpha.empty()) << c.what;
        for (size_t x = 0; x < c.alpha.size(); ++x) EXPECT_EQ(im->AlphaGet(LONG(x), 0), c.alpha[x]) << c.what;
    }
}

TEST(DibImageDecode, PaletteDepthsWithAndWithoutTransparency) {
    const std::vector<png_color> pal = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 8, 7}};
    struct Case {
        int depth, bpp;
        Bytes row;
    } cases[] = {{1, 1, {0x40}}, {2, 4, {0x1B}}, {4, 4, {0x01, 0x23}}, {8, 8, {0, 1, 2, 3}}};
    for (const Case& c : cases) {
        PngLayout s;
        s.width = c.depth == 1 ? 2 : 4;
        s.depth = c.depth;
        s.colorType = PNG_COLOR_TYPE_PALETTE;
        s.palette.assign(pal.begin(), pal.begin() + s.width);
        auto plain = Decode(WritePng(s, {c.row}));
        ASSERT_TRUE(plain->IsValid()) << c.depth;
        EXPECT_EQ(plain->GetBpp(), c.bpp);
        for (int x = 0; x < s.width; ++x)
            EXPECT_EQ(PixelAt(*plain, x, 0), uint32_t(pal[x].red << 16 | pal[x].green << 8 | pal[x].blue)) << c.depth;
        EXPECT_EQ(plain->GetTransIndex(), -1);
        EXPECT_FALSE(plain->IsPaletteAlpha());

        s.trnsAlpha = {0};  // one clear entry: the transparent index, the file's colour kept
        auto keyed = Decode(WritePng(s, {c.row}));
        EXPECT_EQ(keyed->GetTransIndex(), 0);
        EXPECT_FALSE(keyed->IsPaletteAlpha());
        EXPECT_EQ(PixelAt(*keyed, 0, 0), 0xFF0000u);

        s.trnsAlpha = {0, 128};  // several: palette alpha, the entries without a value opaque
        auto soft = Decode(WritePng(s, {c.row}));
        EXPECT_TRUE(soft->IsPaletteAlpha());
        EXPECT_EQ(soft->GetTransIndex(), -1);
        EXPECT_EQ(soft->GetPaletteColor(1).rgbReserved, 128);
        EXPECT_EQ(soft->GetPaletteColor(1).rgbGreen, 255);
        EXPECT_EQ(soft->GetPaletteColor(soft->GetNumColors() - 1).rgbReserved, c.depth == 1 ? 128 : 255);
    }
}

TEST(DibImageDecode, InterlacedImagesMatchTheirPlainForm) {
    PngLayout s;
    s.width = 11;
    s.height = 9;
    s.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    std::vector<Bytes> rows(s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) rows[y].insert(rows[y].end(), {BYTE(x * 20), BYTE(y * 25), BYTE(x + y), BYTE(x * y * 3)});
    auto plain = Decode(WritePng(s, rows));
    s.interlace = true;
    auto laced = Decode(WritePng(s, rows));
    ASSERT_TRUE(laced->IsValid()) << laced->GetLastErrorText();
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            ASSERT_EQ(PixelAt(*laced, x, y), PixelAt(*plain, x, y)) << x << "," << y;
            ASSERT_EQ(laced->AlphaGet(x, y), plain->AlphaGet(x, y)) << x << "," << y;
        }

    PngLayout g;
    g.width = 9;
    g.height = 5;
    g.depth = 2;
    g.interlace = true;
    auto grey = Decode(WritePng(g, {{0x1B, 0xE4, 0x40}}));
    ASSERT_TRUE(grey->IsValid());
    for (int y = 0; y < 5; ++y) {
        EXPECT_EQ(PixelAt(*grey, 4, y), Grey(255));
        EXPECT_EQ(PixelAt(*grey, 8, y), Grey(85));
    }
}

TEST(DibImageDecode, BadInputFailsCleanlyWithAReason) {
    PngLayout s;
    s.width = s.height = 16;
    s.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    std::string good = WritePng(s, {Bytes(64, 0x5A)});
    ASSERT_TRUE(Decode(good)->IsValid());

    CDibImage other(good.data(), DWORD(good.size()), 1);
    EXPECT_FALSE(other.IsValid());
    EXPECT_STREQ(other.GetLastErrorText(), "Unsupported operation for this format");
    CDibImage half(good.data(), DWORD(good.size() / 2), 0);
    EXPECT_STREQ(half.GetLastErrorText(), "Read Error");
    // A failed decode leaves no image, also where one was held before.
    CDibImage again(good.data(), DWORD(good.size()), 0);
    CMemStream cut(good.data(), DWORD(good.size() / 2));
    EXPECT_FALSE(again.Decode(&cut, 0));
    EXPECT_FALSE(again.IsValid());
    EXPECT_EQ(again.GetWidth(), 0);
    for (size_t n = 0; n < good.size(); ++n) {
        CDibImage cut(good.data(), DWORD(n), 0);
        ASSERT_FALSE(cut.IsValid()) << n;
        ASSERT_NE(cut.GetLastErrorText()[0], 0) << n;
    }
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] ^= 0xA5;
        CDibImage im(bad.data(), DWORD(bad.size()), 0);
        ASSERT_TRUE(im.IsValid() || im.GetLastErrorText()[0]) << i;
    }

    // Huge sizes in a well-formed header are refused before anything of that size is allocated.
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0x7FFFFFFF, 0x7FFFFFFF}, {8192, 8192}, {100000, 1}}) {
        std::string big = good;
        for (int k = 0; k < 4; ++k) {
            big[16 + k] = char(w >> (24 - 8 * k));
            big[20 + k] = char(h >> (24 - 8 * k));
        }
        uLong crc = crc32(0, reinterpret_cast<const Bytef*>(big.data() + 12), 17);
        for (int k = 0; k < 4; ++k) big[29 + k] = char(crc >> (24 - 8 * k));
        EXPECT_FALSE(Decode(big)->IsValid()) << w << "x" << h;
    }
}

TEST(DibImageObject, CreatePaletteAlphaAndPixelAccessStayInBounds) {
    CDibImage im;
    for (auto [bits, bpp, colours] : {std::tuple{1, 1, 2}, {3, 4, 16}, {5, 8, 256}, {16, 24, 0}}) {
        ASSERT_NE(im.Create(3, 3, bits, 0), nullptr);
        EXPECT_EQ(im.GetBpp(), bpp);
        EXPECT_EQ(im.GetNumColors(), colours);
        im.SetGrayPalette();
        if (colours) {
            EXPECT_EQ(im.GetPaletteColor(1).rgbGreen, 255 / (colours - 1)) << bits;  // never a black ramp
        }
    }
    EXPECT_EQ(im.GetLineBytes(), 12u);
    EXPECT_EQ(im.GetHeader().biXPelsPerMeter, 2835);
    EXPECT_EQ(im.Create(0, 5, 8, 0), nullptr);
    EXPECT_EQ(im.Create(0x7FFFFFFF, 0x7FFFFFFF, 24, 0), nullptr);
    EXPECT_EQ(im.Create(CDibImage::kMaxSide + 1, 1, 24, 0), nullptr);
    EXPECT_FALSE(im.IsValid());

    ASSERT_NE(im.Create(9, 2, 4, 0), nullptr);
    im.GetBits()[0] = 0xAB;
    EXPECT_EQ(im.GetPixelIndex(0, 0), 0xA);
    EXPECT_EQ(im.GetPixelIndex(1, 0), 0xB);
    EXPECT_EQ(im.GetPixelIndex(9, 0), 0);  // outside, no transparent index
    im.SetTransIndex(5);
    EXPECT_EQ(im.GetPixelIndex(0, 2), 5);
    im.SetPaletteColor(16, 1, 2, 3);
    Bytes rgb(3 * 300, 7);
    im.SetPalette(rgb.data(), 300);  // only the image's 16 entries are written
    EXPECT_EQ(im.GetPaletteColor(15).rgbBlue, 7);

    im.AlphaSet(0, 0, 9);  // ignored without a plane
    ASSERT_TRUE(im.AlphaCreate());
    im.AlphaSet(8, 1, 77);
    im.AlphaSet(9, 1, 1);
    EXPECT_EQ(im.AlphaGet(8, 1), 77);
    im.SetXDpi(96);
    EXPECT_EQ(im.GetBitmapInfo()->bmiHeader.biXPelsPerMeter, 3780);
}

TEST(DibImageDraw, BlendsOverRedExactly) {
    PngLayout s;
    s.width = 3;
    s.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    auto im = Decode(WritePng(s, {{0, 0, 255, 0, 0, 0, 255, 128, 0, 200, 100, 255}}));
    Canvas c(5, 3, 0xFF0000);
    EXPECT_EQ(im->Draw(c.dc, 1, 1), 1);
    EXPECT_EQ(c.At(1, 1), 0xFF0000u);                                        // alpha 0: the screen
    EXPECT_EQ(c.At(2, 1), uint32_t((127 * 255 >> 8) << 16 | (128 * 255 >> 8)));  // alpha 128
    EXPECT_EQ(c.At(3, 1), 0x00C864u);                                        // alpha 255: the image
    for (auto [x, y] : {std::pair{4, 1}, {2, 0}, {0, 1}}) EXPECT_EQ(c.At(x, y), 0xFF0000u);

    im->SetAlphaMax(127);
    Canvas half(5, 3, 0xFF0000);
    EXPECT_EQ(im->Draw(half.dc, 1, 1), 1);
    EXPECT_EQ(half.At(3, 1), uint32_t((128 * 255 >> 8) << 16 | (127 * 200 >> 8) << 8 | (127 * 100 >> 8)));

    PngLayout p;
    p.width = 3;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    p.palette = {{0, 0, 0}, {0, 0, 255}, {0, 255, 0}};
    p.trnsAlpha = {0, 128};
    Canvas d(3, 1, 0xFF0000);
    EXPECT_EQ(Decode(WritePng(p, {{0, 1, 2}}))->Draw(d.dc, 0, 0), 1);
    EXPECT_EQ(d.At(0, 0), 0xFF0000u);
    EXPECT_EQ(d.At(1, 0), uint32_t((127 * 255 >> 8) << 16 | (128 * 255 >> 8)));
    EXPECT_EQ(d.At(2, 0), 0x00FF00u);
    p.trnsAlpha = {0};
    Canvas e(3, 1, 0xFF0000);
    EXPECT_EQ(Decode(WritePng(p, {{0, 1, 2}}))->Draw(e.dc, 0, 0), 1);
    EXPECT_EQ(e.At(0, 0), 0xFF0000u);
    EXPECT_EQ(e.At(1, 0), 0x0000FFu);
}

TEST(DibImageDraw, SizesScalingClippingAndDisabledImages) {
    PngLayout s;
    s.width = 4;
    s.height = 2;
    s.colorType = PNG_COLOR_TYPE_RGB;
    auto im = Decode(WritePng(s, {{10, 0, 0, 70, 0, 0, 130, 0, 0, 190, 0, 0}}));
    Canvas c(10, 6, 0x63);
    EXPECT_EQ(im->Draw(c.dc, 1, 1, -1, -1), 1);
    EXPECT_EQ(c.At(1, 1), 0x0A0000u);
    EXPECT_EQ(c.At(4, 2), 0xBE0000u);
    EXPECT_EQ(c.At(5, 1), 0x63u);
    EXPECT_EQ(c.At(1, 3), 0x63u);
    EXPECT_EQ(im->Draw(c.dc, 0, 0, 0, 5), 0);
    EXPECT_EQ(im->Draw(nullptr, 0, 0), 0);

    // Doubled, inside a clip box: each column twice, nothing outside the box.
    Canvas d(10, 6, 0x63);
    IntersectClipRect(d.dc, 0, 0, 5, 10);
    EXPECT_EQ(im->Draw(d.dc, 1, 1, 8, 4), 1);
    EXPECT_EQ(d.At(2, 4), 0x0A0000u);
    EXPECT_EQ(d.At(3, 2), 0x460000u);
    EXPECT_EQ(d.At(4, 2), 0x460000u);
    EXPECT_EQ(d.At(5, 2), 0x63u);
    EXPECT_EQ(d.At(1, 5), 0x63u);
    im->Enable(FALSE);
    EXPECT_EQ(im->Draw(d.dc, 0, 0), 0);

    // Three rows drawn 21 tall: single precision would sample one row past the image's end.
    for (int type : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
        PngLayout t;
        t.height = 3;
        t.colorType = type;
        std::vector<Bytes> rows;
        for (int y = 0; y < 3; ++y) rows.push_back({BYTE(50 * (y + 1)), 0, 0, 255});
        Canvas e(3, 21, 0);
        EXPECT_EQ(Decode(WritePng(t, rows))->Draw(e.dc, 0, 0, 3, 21), 1);
        EXPECT_EQ(e.At(0, 0), 0x320000u);
        EXPECT_EQ(e.At(2, 10), 0x640000u);
        EXPECT_EQ(e.At(1, 20), 0x960000u) << type;
    }
}
