// Drawing: objects and selection, blits and raster operations, DIBs of every depth, the colour-key
// copy, regions and clipping, pens, and hostile sizes.
#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

// A memory DC with a 32-bit bitmap of its own.
struct Canvas {
    Canvas(int w, int h, COLORREF fill = RGB(255, 255, 255)) : width(w), height(h) {
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateCompatibleBitmap(dc, w, h);
        old = SelectObject(dc, bitmap);
        Fill(fill);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    void Fill(COLORREF c) {
        HBRUSH b = CreateSolidBrush(c);
        RECT r{0, 0, width, height};
        FillRect(dc, &r, b);
        DeleteObject(b);
    }
    COLORREF At(int x, int y) const { return GetPixel(dc, x, y); }
    int Count(COLORREF c) const {
        int n = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) n += At(x, y) == c;
        return n;
    }
    int width, height;
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
};

void Put(HDC dc, int x, int y, COLORREF c) { SetPixel(dc, x, y, c); }

// Packs one pixel value into a DIB row of any depth (high bits first for palette depths).
void PackPixel(std::vector<uint8_t>& row, int bpp, int x, uint32_t v) {
    switch (bpp) {
        case 1:
            row[x / 8] |= uint8_t(v << (7 - x % 8));
            break;
        case 2:
            row[x / 4] |= uint8_t(v << (6 - 2 * (x % 4)));
            break;
        case 4:
            row[x / 2] |= uint8_t(v << (x % 2 ? 0 : 4));
            break;
        case 8:
            row[x] = uint8_t(v);
            break;
        case 16:
            row[2 * x] = uint8_t(v);
            row[2 * x + 1] = uint8_t(v >> 8);
            break;
        case 24:
            row[3 * x] = uint8_t(v);
            row[3 * x + 1] = uint8_t(v >> 8);
            row[3 * x + 2] = uint8_t(v >> 16);
            break;
        case 32:
            memcpy(&row[4 * x], &v, 4);
            break;
    }
}

// A DIB in caller memory: header, colour table or masks, then rows.
struct Dib {
    std::vector<uint8_t> info;
    std::vector<uint8_t> bits;
    const BITMAPINFO* bmi() const { return reinterpret_cast<const BITMAPINFO*>(info.data()); }
};

// pixels[y][x] with y counted from the top of the picture; stored bottom-up unless topDown.
Dib MakeDib(int w, int h, int bpp, bool topDown, const std::vector<std::vector<uint32_t>>& pixels,
            const std::vector<COLORREF>& palette = {}, const uint32_t* masks = nullptr) {
    Dib d;
    d.info.resize(sizeof(BITMAPINFOHEADER) + 4 * std::max<size_t>(palette.size(), 3));
    auto* h0 = reinterpret_cast<BITMAPINFOHEADER*>(d.info.data());
    h0->biSize = sizeof(BITMAPINFOHEADER);
    h0->biWidth = w;
    h0->biHeight = topDown ? -h : h;
    h0->biPlanes = 1;
    h0->biBitCount = static_cast<WORD>(bpp);
    h0->biCompression = masks ? BI_BITFIELDS : BI_RGB;
    h0->biClrUsed = static_cast<DWORD>(palette.size());
    uint8_t* table = d.info.data() + sizeof(BITMAPINFOHEADER);
    if (masks) memcpy(table, masks, 12);
    for (size_t i = 0; i < palette.size(); ++i) {
        RGBQUAD q{GetBValue(palette[i]), GetGValue(palette[i]), GetRValue(palette[i]), 0};
        memcpy(table + 4 * i, &q, 4);
    }
    size_t stride = ((w * bpp + 31) / 32) * 4;
    d.bits.assign(stride * h, 0);
    for (int y = 0; y < h; ++y) {
        std::vector<uint8_t> row(stride, 0);
        for (int x = 0; x < w; ++x) PackPixel(row, bpp, x, pixels[y][x]);
        int stored = topDown ? y : h - 1 - y;
        memcpy(&d.bits[stored * stride], row.data(), stride);
    }
    return d;
}

const COLORREF kRed = RGB(255, 0, 0), kGreen = RGB(0, 255, 0), kBlue = RGB(0, 0, 255), kWhite = RGB(255, 255, 255),
               kBlack = RGB(0, 0, 0), kYellow = RGB(255, 255, 0);

uint32_t Bgr(COLORREF c) { return (uint32_t(GetRValue(c)) << 16) | (uint32_t(GetGValue(c)) << 8) | GetBValue(c); }

}  // namespace

TEST(Gdi, StockObjectsSelectionAndDeletion) {
    Canvas a(8, 8), b(8, 8);
    HBRUSH red = CreateSolidBrush(kRed);
    HGDIOBJ prev = SelectObject(a.dc, red);
    EXPECT_EQ(prev, GetStockObject(WHITE_BRUSH));
    EXPECT_EQ(GetCurrentObject(a.dc, OBJ_BRUSH), red);
    EXPECT_EQ(GetCurrentObject(a.dc, OBJ_BITMAP), a.bitmap);
    EXPECT_EQ(GetCurrentObject(a.dc, OBJ_PEN), GetStockObject(BLACK_PEN));
    // Selected objects stay; once deselected they go, and their handles die with them.
    EXPECT_FALSE(DeleteObject(red));
    EXPECT_EQ(SelectObject(a.dc, prev), red);
    EXPECT_TRUE(DeleteObject(red));
    EXPECT_EQ(SelectObject(a.dc, red), nullptr);
    EXPECT_FALSE(DeleteObject(red));
    // One DC at a time for a bitmap.
    EXPECT_EQ(SelectObject(b.dc, a.bitmap), nullptr);
    EXPECT_FALSE(DeleteObject(a.bitmap));
    // Stock objects survive deletion.
    EXPECT_TRUE(DeleteObject(GetStockObject(BLACK_PEN)));
    EXPECT_EQ(GetCurrentObject(a.dc, OBJ_PEN), GetStockObject(BLACK_PEN));
    // Handles of the wrong kind are refused.
    EXPECT_EQ(SelectObject(a.dc, a.dc), nullptr);
    RECT r{0, 0, 2, 2};
    EXPECT_EQ(FillRect(a.dc, &r, reinterpret_cast<HBRUSH>(GetStockObject(BLACK_PEN))), 0);
    EXPECT_EQ(GetPixel(reinterpret_cast<HDC>(a.bitmap), 0, 0), CLR_INVALID);
    EXPECT_FALSE(DeleteObject(a.dc));
    EXPECT_FALSE(DeleteDC(reinterpret_cast<HDC>(a.bitmap)));
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(SelectObject(screen, b.bitmap), nullptr);  // only memory DCs take bitmaps
    EXPECT_EQ(GetDeviceCaps(screen, HORZRES), 800);
    EXPECT_EQ(GetDeviceCaps(screen, VERTRES), 480);
    EXPECT_EQ(GetDeviceCaps(screen, BITSPIXEL), 32);
    EXPECT_EQ(GetDeviceCaps(screen, LOGPIXELSY), 96);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_EQ(ReleaseDC(nullptr, a.dc), 0);  // memory DCs are deleted, not released
}

TEST(Gdi, GetObjectDescribesEachKind) {
    Canvas c(10, 6);
    BITMAP bm{};
    EXPECT_EQ(GetObjectW(c.bitmap, sizeof(bm), &bm), static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(bm.bmWidth, 10);
    EXPECT_EQ(bm.bmHeight, 6);
    EXPECT_EQ(bm.bmBitsPixel, 32);
    EXPECT_EQ(bm.bmWidthBytes, 40);

    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 5, -3, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(dib, nullptr);
    DIBSECTION ds{};
    EXPECT_EQ(GetObjectW(dib, sizeof(ds), &ds), static_cast<int>(sizeof(DIBSECTION)));
    EXPECT_EQ(ds.dsBm.bmBits, bits);
    EXPECT_EQ(ds.dsBm.bmWidthBytes, 16);  // DWORD-aligned rows
    EXPECT_EQ(ds.dsBmih.biHeight, -3);
    EXPECT_EQ(ds.dsBmih.biSizeImage, 48u);
    DeleteObject(dib);

    HPEN pen = CreatePen(PS_DASH, 3, kBlue);
    LOGPEN lp{};
    EXPECT_EQ(GetObjectW(pen, sizeof(lp), &lp), static_cast<int>(sizeof(LOGPEN)));
    EXPECT_EQ(lp.lopnStyle, static_cast<UINT>(PS_DASH));
    EXPECT_EQ(lp.lopnWidth.x, 3);
    EXPECT_EQ(lp.lopnColor, kBlue);
    DeleteObject(pen);
    EXPECT_EQ(CreatePen(7, 1, kBlue), nullptr);  // styles the platform lacks

    LOGBRUSH lb{};
    EXPECT_EQ(GetObjectW(GetStockObject(NULL_BRUSH), sizeof(lb), &lb), static_cast<int>(sizeof(LOGBRUSH)));
    EXPECT_EQ(lb.lbStyle, static_cast<UINT>(BS_NULL));
    EXPECT_EQ(GetObjectW(GetStockObject(GRAY_BRUSH), sizeof(lb), &lb), static_cast<int>(sizeof(LOGBRUSH)));
    EXPECT_EQ(lb.lbColor, RGB(128, 128, 128));

    HFONT font = CreateFontW(-20, 0, 0, 0, FW_BOLD, 1, 0, 0, DEFAULT_CHARSET, 0, 0, ANTIALIASED_QUALITY, 0, u"Tahoma");
    LOGFONTW lf{};
    EXPECT_EQ(GetObjectW(font, sizeof(lf), &lf), static_cast<int>(sizeof(LOGFONTW)));
    EXPECT_EQ(lf.lfHeight, -20);
    EXPECT_EQ(lf.lfWeight, FW_BOLD);
    EXPECT_EQ(std::u16string(lf.lfFaceName), u"Tahoma");
    DeleteObject(font);

    HRGN rgn = CreateRectRgn(0, 0, 1, 1);
    EXPECT_EQ(GetObjectW(rgn, sizeof(lf), &lf), 0);
    DeleteObject(rgn);
}

TEST(Gdi, SaveAndRestoreStates) {
    Canvas c(4, 4);
    HBRUSH red = CreateSolidBrush(kRed);
    SetTextColor(c.dc, kBlue);
    int first = SaveDC(c.dc);
    EXPECT_EQ(first, 1);
    SelectObject(c.dc, red);
    SetTextColor(c.dc, kGreen);
    IntersectClipRect(c.dc, 0, 0, 1, 1);
    EXPECT_EQ(SaveDC(c.dc), 2);
    SetBkMode(c.dc, TRANSPARENT);
    EXPECT_TRUE(RestoreDC(c.dc, -1));
    EXPECT_EQ(GetBkMode(c.dc), OPAQUE);
    EXPECT_EQ(GetTextColor(c.dc), kGreen);
    // A saved state holds the brush, so it may not go yet.
    EXPECT_EQ(SaveDC(c.dc), 2);
    SelectObject(c.dc, GetStockObject(BLACK_BRUSH));
    EXPECT_FALSE(DeleteObject(red));
    EXPECT_TRUE(RestoreDC(c.dc, first));
    EXPECT_EQ(GetTextColor(c.dc), kBlue);
    EXPECT_EQ(GetCurrentObject(c.dc, OBJ_BRUSH), GetStockObject(WHITE_BRUSH));
    RECT box;
    GetClipBox(c.dc, &box);
    EXPECT_EQ(box.right, 4);
    EXPECT_TRUE(DeleteObject(red));
    EXPECT_FALSE(RestoreDC(c.dc, 1));
    EXPECT_FALSE(RestoreDC(c.dc, 0));
    EXPECT_FALSE(RestoreDC(c.dc, -5));
}

TEST(Gdi, RasterOperationsOnKnownPixels) {
    const COLORREF d0 = RGB(0xF0, 0x0F, 0xAA), s0 = RGB(0xCC, 0x3C, 0x0F), p0 = RGB(0x12, 0x34, 0x56);
    struct Case {
        DWORD rop;
        COLORREF expect;
    } cases[] = {
        {SRCCOPY, s0},
        {SRCPAINT, s0 | d0},
        {SRCAND, s0 & d0},
        {SRCINVERT, s0 ^ d0},
        {SRCERASE, s0 & (~d0 & 0xFFFFFF)},
        {NOTSRCCOPY, ~s0 & 0xFFFFFF},
        {DSTINVERT, ~d0 & 0xFFFFFF},
        {BLACKNESS, 0},
        {WHITENESS, 0xFFFFFF},
        {PATCOPY, p0},
        {PATINVERT, p0 ^ d0},
        {MERGECOPY, p0 & s0},
        {0x00B8074A /* PSDPxax: D where S, else P */, ((s0 & d0) | (~s0 & p0)) & 0xFFFFFF},
    };
    Canvas src(3, 1, s0);
    for (const auto& c : cases) {
        Canvas dst(3, 1, d0);
        HBRUSH b = CreateSolidBrush(p0);
        HGDIOBJ old = SelectObject(dst.dc, b);
        EXPECT_TRUE(BitBlt(dst.dc, 1, 0, 1, 1, src.dc, 0, 0, c.rop)) << std::hex << c.rop;
        EXPECT_EQ(dst.At(1, 0), c.expect) << std::hex << c.rop;
        EXPECT_EQ(dst.At(0, 0), d0) << std::hex << c.rop;
        EXPECT_EQ(dst.At(2, 0), d0) << std::hex << c.rop;
        SelectObject(dst.dc, old);
        DeleteObject(b);
    }
    // Operations without a source need no source DC; those with one fail without it.
    Canvas dst(2, 1, d0);
    EXPECT_TRUE(BitBlt(dst.dc, 0, 0, 2, 1, nullptr, 0, 0, DSTINVERT));
    EXPECT_EQ(dst.At(0, 0), ~d0 & 0xFFFFFF);
    EXPECT_FALSE(BitBlt(dst.dc, 0, 0, 2, 1, nullptr, 0, 0, SRCCOPY));
    SelectObject(dst.dc, GetStockObject(NULL_BRUSH));
    EXPECT_TRUE(BitBlt(dst.dc, 0, 0, 2, 1, nullptr, 0, 0, PATCOPY));
    EXPECT_EQ(dst.At(0, 0), ~d0 & 0xFFFFFF);  // a hollow brush paints nothing
}

TEST(Gdi, BlitsCopyOffsetsAndOverlaps) {
    Canvas src(4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) Put(src.dc, x, y, RGB(x * 60, y * 60, 7));
    Canvas dst(6, 6, kBlack);
    EXPECT_TRUE(BitBlt(dst.dc, 2, 1, 3, 3, src.dc, 1, 1, SRCCOPY));
    EXPECT_EQ(dst.At(2, 1), RGB(60, 60, 7));
    EXPECT_EQ(dst.At(4, 3), RGB(180, 180, 7));
    EXPECT_EQ(dst.At(1, 1), kBlack);
    EXPECT_EQ(dst.At(5, 4), kBlack);
    // Parts of the source outside its bitmap leave the destination alone.
    dst.Fill(kBlack);
    EXPECT_TRUE(BitBlt(dst.dc, 0, 0, 6, 6, src.dc, -2, -2, SRCCOPY));
    EXPECT_EQ(dst.At(1, 1), kBlack);
    EXPECT_EQ(dst.At(2, 2), RGB(0, 0, 7));
    EXPECT_EQ(dst.At(5, 5), RGB(180, 180, 7));
    // Scrolling inside one bitmap, both directions.
    Canvas row(8, 1);
    for (int x = 0; x < 8; ++x) Put(row.dc, x, 0, RGB(x, 0, 0));
    BitBlt(row.dc, 2, 0, 6, 1, row.dc, 0, 0, SRCCOPY);
    for (int x = 2; x < 8; ++x) EXPECT_EQ(row.At(x, 0), RGB(x - 2, 0, 0));
    BitBlt(row.dc, 0, 0, 6, 1, row.dc, 2, 0, SRCCOPY);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(row.At(x, 0), RGB(x, 0, 0));
}

TEST(Gdi, StretchUpDownAndMirrored) {
    Canvas src(2, 2);
    Put(src.dc, 0, 0, kRed);
    Put(src.dc, 1, 0, kGreen);
    Put(src.dc, 0, 1, kBlue);
    Put(src.dc, 1, 1, kYellow);
    Canvas up(4, 4, kBlack);
    EXPECT_TRUE(StretchBlt(up.dc, 0, 0, 4, 4, src.dc, 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(up.At(0, 0), kRed);
    EXPECT_EQ(up.At(1, 1), kRed);
    EXPECT_EQ(up.At(2, 0), kGreen);
    EXPECT_EQ(up.At(3, 1), kGreen);
    EXPECT_EQ(up.At(0, 3), kBlue);
    EXPECT_EQ(up.At(3, 3), kYellow);
    EXPECT_EQ(up.Count(kRed), 4);

    Canvas down(1, 1, kBlack);
    EXPECT_TRUE(StretchBlt(down.dc, 0, 0, 1, 1, up.dc, 0, 0, 4, 4, SRCCOPY));
    EXPECT_EQ(down.At(0, 0), kRed);

    // A negative destination width mirrors left to right; a negative height top to bottom.
    Canvas mx(2, 2, kBlack);
    EXPECT_TRUE(StretchBlt(mx.dc, 2, 0, -2, 2, src.dc, 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(mx.At(0, 0), kGreen);
    EXPECT_EQ(mx.At(1, 0), kRed);
    EXPECT_EQ(mx.At(0, 1), kYellow);
    Canvas my(4, 4, kBlack);
    EXPECT_TRUE(StretchBlt(my.dc, 0, 4, 4, -4, src.dc, 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(my.At(0, 0), kBlue);
    EXPECT_EQ(my.At(3, 3), kGreen);
    // Both signs negative: no mirror.
    Canvas both(2, 2, kBlack);
    EXPECT_TRUE(StretchBlt(both.dc, 2, 2, -2, -2, src.dc, 2, 2, -2, -2, SRCCOPY));
    EXPECT_EQ(both.At(0, 0), kRed);
    EXPECT_EQ(both.At(1, 1), kYellow);
}

TEST(Gdi, DibsOfEveryDepthToDevice) {
    // Colours every depth can hold exactly, rows from the top.
    const std::vector<COLORREF> pal = {kBlack, kWhite, kRed, kGreen, kBlue, kYellow};
    const int idx[3][4] = {{2, 3, 4, 5}, {1, 0, 2, 3}, {5, 4, 1, 0}};
    const int mono[3][4] = {{1, 0, 0, 1}, {0, 1, 1, 0}, {1, 1, 0, 0}};
    auto indexAt = [&](int bpp, int x, int y) { return bpp == 1 ? mono[y][x] : bpp == 2 ? idx[y][x] % 4 : idx[y][x]; };
    auto colourAt = [&](int bpp, int x, int y) { return pal[indexAt(bpp, x, y)]; };
    const uint32_t m565[3] = {0xF800, 0x07E0, 0x001F};
    struct Depth {
        int bpp;
        const uint32_t* masks;
    } depths[] = {{1, nullptr},  {2, nullptr}, {4, nullptr},  {8, nullptr},
                  {16, nullptr}, {16, m565},   {24, nullptr}, {32, nullptr}};
    for (const auto& d : depths) {
        for (bool topDown : {false, true}) {
            std::vector<std::vector<uint32_t>> px(3, std::vector<uint32_t>(4));
            std::vector<COLORREF> palette;
            if (d.bpp <= 8) palette.assign(pal.begin(), pal.begin() + (d.bpp == 1 ? 2 : d.bpp == 2 ? 4 : 6));
            for (int y = 0; y < 3; ++y) {
                for (int x = 0; x < 4; ++x) {
                    COLORREF c = colourAt(d.bpp, x, y);
                    uint32_t r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
                    if (d.bpp <= 8)
                        px[y][x] = static_cast<uint32_t>(indexAt(d.bpp, x, y));
                    else if (d.bpp == 16 && d.masks)
                        px[y][x] = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
                    else if (d.bpp == 16)
                        px[y][x] = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
                    else
                        px[y][x] = Bgr(c);
                }
            }
            Dib dib = MakeDib(4, 3, d.bpp, topDown, px, palette, d.masks);
            std::string what = std::to_string(d.bpp) + (d.masks ? " 565" : "") + (topDown ? " top-down" : " bottom-up");

            Canvas c1(6, 5, kBlack);
            EXPECT_EQ(SetDIBitsToDevice(c1.dc, 1, 1, 4, 3, 0, 0, 0, 3, dib.bits.data(), dib.bmi(), DIB_RGB_COLORS), 3)
                << what;
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 4; ++x)
                    EXPECT_EQ(c1.At(1 + x, 1 + y), colourAt(d.bpp, x, y)) << what << " " << x << "," << y;
            EXPECT_EQ(c1.At(0, 0), kBlack) << what;

            Canvas c2(8, 6, kBlack);
            EXPECT_NE(StretchDIBits(c2.dc, 0, 0, 8, 6, 0, 0, 4, 3, dib.bits.data(), dib.bmi(), DIB_RGB_COLORS, SRCCOPY),
                      0)
                << what;
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 8; ++x) EXPECT_EQ(c2.At(x, y), colourAt(d.bpp, x / 2, y / 2)) << what;
        }
    }
}

TEST(Gdi, DibSourceRowsCountFromTheBottom) {
    // Four rows, one colour each from the top: red, green, blue, yellow.
    const COLORREF rows[4] = {kRed, kGreen, kBlue, kYellow};
    std::vector<std::vector<uint32_t>> px(4, std::vector<uint32_t>(2));
    for (int y = 0; y < 4; ++y) px[y] = {Bgr(rows[y]), Bgr(rows[y])};
    Dib up = MakeDib(2, 4, 32, false, px);
    Dib down = MakeDib(2, 4, 32, true, px);

    // ySrc 0, two rows of a bottom-up DIB: the bottom two rows of the picture.
    Canvas c(2, 2, kBlack);
    SetDIBitsToDevice(c.dc, 0, 0, 2, 2, 0, 0, 0, 4, up.bits.data(), up.bmi(), DIB_RGB_COLORS);
    EXPECT_EQ(c.At(0, 0), kBlue);
    EXPECT_EQ(c.At(0, 1), kYellow);
    // The same request on a top-down DIB starts at the top.
    SetDIBitsToDevice(c.dc, 0, 0, 2, 2, 0, 0, 0, 4, down.bits.data(), down.bmi(), DIB_RGB_COLORS);
    EXPECT_EQ(c.At(0, 0), kRed);
    EXPECT_EQ(c.At(0, 1), kGreen);
    // StretchDIBits uses the same origin.
    StretchDIBits(c.dc, 0, 0, 2, 2, 0, 1, 2, 2, up.bits.data(), up.bmi(), DIB_RGB_COLORS, SRCCOPY);
    EXPECT_EQ(c.At(0, 0), kGreen);
    EXPECT_EQ(c.At(0, 1), kBlue);

    // A band of scan lines: the bits hold scans 2 and 3 (from the bottom) only.
    Canvas whole(2, 4, kBlack);
    const uint8_t* band = up.bits.data() + 2 * 8;
    EXPECT_EQ(SetDIBitsToDevice(whole.dc, 0, 0, 2, 4, 0, 0, 2, 2, band, up.bmi(), DIB_RGB_COLORS), 2);
    EXPECT_EQ(whole.At(0, 0), kRed);
    EXPECT_EQ(whole.At(0, 1), kGreen);
    EXPECT_EQ(whole.At(0, 2), kBlack);
    EXPECT_EQ(whole.At(0, 3), kBlack);
}

TEST(Gdi, SixteenBitLayoutsDiffer) {
    // The same stored word: 565 reads pure green, 555 reads a dark-red tinted green.
    std::vector<std::vector<uint32_t>> px = {{0x07E0}};
    const uint32_t m565[3] = {0xF800, 0x07E0, 0x001F};
    Dib d565 = MakeDib(1, 1, 16, false, px, {}, m565);
    Dib d555 = MakeDib(1, 1, 16, false, px);
    Canvas c(2, 1, kBlack);
    SetDIBitsToDevice(c.dc, 0, 0, 1, 1, 0, 0, 0, 1, d565.bits.data(), d565.bmi(), DIB_RGB_COLORS);
    SetDIBitsToDevice(c.dc, 1, 0, 1, 1, 0, 0, 0, 1, d555.bits.data(), d555.bmi(), DIB_RGB_COLORS);
    EXPECT_EQ(c.At(0, 0), RGB(0, 255, 0));
    EXPECT_EQ(c.At(1, 0), RGB(8, 255, 0));
    // Masks that are not one run of bits are refused.
    const uint32_t bad[3] = {0xF00F, 0x07E0, 0x001F};
    Dib broken = MakeDib(1, 1, 16, false, px, {}, bad);
    EXPECT_EQ(SetDIBitsToDevice(c.dc, 0, 0, 1, 1, 0, 0, 0, 1, broken.bits.data(), broken.bmi(), DIB_RGB_COLORS), 0);
}

TEST(Gdi, DibSectionBitsStayCoherent) {
    // 8-bit DIB section with a palette, bottom-up.
    std::vector<uint8_t> info(sizeof(BITMAPINFOHEADER) + 4 * 4);
    auto* h = reinterpret_cast<BITMAPINFOHEADER*>(info.data());
    *h = {sizeof(BITMAPINFOHEADER), 4, 2, 1, 8, BI_RGB, 0, 0, 0, 4, 0};
    const RGBQUAD pal[4] = {{0, 0, 0, 0}, {0, 0, 255, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}};  // red twice
    memcpy(info.data() + sizeof(BITMAPINFOHEADER), pal, sizeof(pal));
    void* vbits = nullptr;
    HBITMAP dib =
        CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(info.data()), DIB_RGB_COLORS, &vbits, nullptr, 0);
    ASSERT_NE(dib, nullptr);
    auto* bits = static_cast<uint8_t*>(vbits);
    bits[0] = 3;  // bottom-left: the second red
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, dib);
    EXPECT_EQ(GetPixel(dc, 0, 1), kRed);
    // Drawing stores the nearest palette index and leaves untouched pixels' indexes alone.
    HBRUSH g = CreateSolidBrush(RGB(10, 240, 10));
    RECT r{1, 0, 3, 2};
    FillRect(dc, &r, g);
    EXPECT_EQ(bits[1], 2);      // bottom row, x 1
    EXPECT_EQ(bits[4 + 2], 2);  // top row, x 2
    // A line whose drawing area covers the second red leaves its index alone, although index 1
    // has the same colour.
    HPEN gp = CreatePen(PS_SOLID, 1, kGreen);
    HGDIOBJ oldPen = SelectObject(dc, gp);
    MoveToEx(dc, 0, 0, nullptr);
    LineTo(dc, 2, 2);
    SelectObject(dc, oldPen);
    DeleteObject(gp);
    EXPECT_EQ(bits[4], 2);  // top-left drawn green
    EXPECT_EQ(bits[0], 3);
    EXPECT_EQ(GetPixel(dc, 1, 0), kGreen);  // what is stored, not what was asked
    EXPECT_EQ(SetPixel(dc, 3, 0, RGB(200, 0, 0)), kRed);
    EXPECT_EQ(bits[4 + 3], 1);
    bits[4] = 2;  // written behind the DC's back
    EXPECT_EQ(GetPixel(dc, 0, 0), kGreen);
    Canvas copy(4, 2, kBlack);
    BitBlt(copy.dc, 0, 0, 4, 2, dc, 0, 0, SRCCOPY);
    EXPECT_EQ(copy.At(0, 0), kGreen);
    EXPECT_EQ(copy.At(0, 1), kRed);
    SelectObject(dc, old);
    DeleteObject(g);
    DeleteObject(dib);

    // 32-bit bottom-up: the first stored row is the bottom of the picture.
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 2, 2, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HBITMAP d32 = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &vbits, nullptr, 0);
    old = SelectObject(dc, d32);
    SetPixel(dc, 1, 1, kBlue);
    EXPECT_EQ(static_cast<uint32_t*>(vbits)[1] & 0xFFFFFF, 0x0000FFu);
    static_cast<uint32_t*>(vbits)[2] = 0x00FF0000;  // top-left, red
    EXPECT_EQ(GetPixel(dc, 0, 0), kRed);
    // GetDIBits and SetDIBits round-trip through a 24-bit layout.
    std::vector<uint8_t> out(2 * 8);
    BITMAPINFO q{};
    q.bmiHeader = {sizeof(BITMAPINFOHEADER), 2, -2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    EXPECT_EQ(GetDIBits(dc, d32, 0, 2, out.data(), &q, DIB_RGB_COLORS), 2);
    EXPECT_EQ(out[2], 0xFF);  // top-left red
    out[0] = 0xFF;            // top-left becomes magenta
    EXPECT_EQ(SetDIBits(dc, d32, 0, 2, out.data(), &q, DIB_RGB_COLORS), 2);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(255, 0, 255));
    SelectObject(dc, old);
    DeleteObject(d32);
    DeleteDC(dc);
}

TEST(Gdi, MonochromeBitmapsUseTextAndBackColours) {
    HDC mdc = CreateCompatibleDC(nullptr);
    HBITMAP mono = CreateBitmap(4, 1, 1, 1, nullptr);
    HGDIOBJ old = SelectObject(mdc, mono);
    // Colour to monochrome: the source's back colour becomes white, the rest black.
    Canvas src(4, 1, kRed);
    Put(src.dc, 1, 0, kBlue);
    SetBkColor(src.dc, kRed);
    BitBlt(mdc, 0, 0, 4, 1, src.dc, 0, 0, SRCCOPY);
    EXPECT_EQ(GetPixel(mdc, 0, 0), kWhite);
    EXPECT_EQ(GetPixel(mdc, 1, 0), kBlack);
    // Monochrome to colour: black takes the text colour, white the back colour.
    Canvas dst(4, 1, kBlack);
    SetTextColor(dst.dc, kGreen);
    SetBkColor(dst.dc, kYellow);
    BitBlt(dst.dc, 0, 0, 4, 1, mdc, 0, 0, SRCCOPY);
    EXPECT_EQ(dst.At(0, 0), kYellow);
    EXPECT_EQ(dst.At(1, 0), kGreen);
    SelectObject(mdc, old);
    DeleteObject(mono);
    DeleteDC(mdc);
}

TEST(Gdi, ColourKeyCopy) {
    const COLORREF key = RGB(9, 9, 9);
    Canvas src(2, 2, key);
    Put(src.dc, 1, 0, kRed);
    Put(src.dc, 0, 1, kBlue);
    Canvas dst(4, 4, kGreen);
    EXPECT_TRUE(TransparentImage(dst.dc, 0, 0, 2, 2, src.dc, 0, 0, 2, 2, key));
    EXPECT_EQ(dst.At(0, 0), kGreen);
    EXPECT_EQ(dst.At(1, 0), kRed);
    EXPECT_EQ(dst.At(0, 1), kBlue);
    EXPECT_EQ(dst.At(1, 1), kGreen);
    // Stretched, and from a bitmap handle instead of a DC.
    dst.Fill(kGreen);
    HBITMAP bm = CreateCompatibleBitmap(src.dc, 2, 2);
    HDC tmp = CreateCompatibleDC(nullptr);
    HGDIOBJ o = SelectObject(tmp, bm);
    BitBlt(tmp, 0, 0, 2, 2, src.dc, 0, 0, SRCCOPY);
    SelectObject(tmp, o);
    DeleteDC(tmp);
    EXPECT_TRUE(TransparentImage(dst.dc, 0, 0, 4, 4, bm, 0, 0, 2, 2, key));
    EXPECT_EQ(dst.Count(kRed), 4);
    EXPECT_EQ(dst.Count(kBlue), 4);
    EXPECT_EQ(dst.Count(kGreen), 8);
    EXPECT_EQ(dst.At(3, 1), kRed);
    DeleteObject(bm);
    HRGN notSource = CreateRectRgn(0, 0, 1, 1);
    EXPECT_FALSE(TransparentImage(dst.dc, 0, 0, 2, 2, notSource, 0, 0, 2, 2, key));
    DeleteObject(notSource);
}

TEST(Gdi, RegionAlgebra) {
    HRGN a = CreateRectRgn(0, 0, 10, 10), b = CreateRectRgn(5, 5, 15, 15), r = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(CombineRgn(r, a, b, RGN_AND), SIMPLEREGION);
    RECT box;
    EXPECT_EQ(GetRgnBox(r, &box), SIMPLEREGION);
    EXPECT_EQ(box.left, 5);
    EXPECT_EQ(box.bottom, 10);
    EXPECT_EQ(CombineRgn(r, a, b, RGN_OR), COMPLEXREGION);
    EXPECT_TRUE(PtInRegion(r, 14, 14));
    EXPECT_FALSE(PtInRegion(r, 14, 2));
    EXPECT_FALSE(PtInRegion(r, 15, 15));
    EXPECT_EQ(CombineRgn(r, a, b, RGN_DIFF), COMPLEXREGION);
    EXPECT_TRUE(PtInRegion(r, 4, 9));
    EXPECT_FALSE(PtInRegion(r, 5, 5));
    EXPECT_EQ(CombineRgn(r, a, b, RGN_XOR), COMPLEXREGION);
    EXPECT_FALSE(PtInRegion(r, 7, 7));
    EXPECT_TRUE(PtInRegion(r, 12, 12));
    EXPECT_EQ(CombineRgn(r, a, a, RGN_DIFF), NULLREGION);
    EXPECT_EQ(CombineRgn(r, b, nullptr, RGN_COPY), SIMPLEREGION);
    EXPECT_TRUE(EqualRgn(r, b));
    EXPECT_EQ(CombineRgn(r, a, nullptr, RGN_AND), ERROR);
    EXPECT_EQ(CombineRgn(r, a, b, 9), ERROR);
    // Equal sets built in different ways compare equal.
    HRGN left = CreateRectRgn(0, 0, 5, 10), right = CreateRectRgn(5, 0, 10, 10), joined = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(CombineRgn(joined, left, right, RGN_OR), SIMPLEREGION);
    EXPECT_TRUE(EqualRgn(joined, a));
    EXPECT_EQ(OffsetRgn(joined, 5, 5), SIMPLEREGION);
    EXPECT_TRUE(EqualRgn(joined, b));
    EXPECT_TRUE(SetRectRgn(joined, 10, 10, 0, 0));  // corners in any order
    EXPECT_TRUE(EqualRgn(joined, a));
    EXPECT_EQ(OffsetRgn(joined, INT_MAX, INT_MAX), NULLREGION);  // pushed past the limits
    EXPECT_EQ(PtInRegion(reinterpret_cast<HRGN>(GetStockObject(WHITE_BRUSH)), 0, 0), FALSE);
    for (HRGN h : {a, b, r, left, right, joined}) EXPECT_TRUE(DeleteObject(h));
}

TEST(Gdi, RegionsMatchTheirPointSets) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> coord(0, 24);
    auto randomRegion = [&](std::vector<RECT>& rects) {
        HRGN acc = CreateRectRgn(0, 0, 0, 0);
        int n = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < n; ++i) {
            RECT r{coord(rng), coord(rng), coord(rng), coord(rng)};
            rects.push_back(RECT{std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right),
                                 std::max(r.top, r.bottom)});
            HRGN one = CreateRectRgnIndirect(&r);
            CombineRgn(acc, acc, one, RGN_OR);
            DeleteObject(one);
        }
        return acc;
    };
    auto inRects = [](const std::vector<RECT>& rs, int x, int y) {
        for (const RECT& r : rs)
            if (PtInRect(&r, POINT{x, y})) return true;
        return false;
    };
    for (int iter = 0; iter < 150; ++iter) {
        std::vector<RECT> ra, rb;
        HRGN a = randomRegion(ra), b = randomRegion(rb), r = CreateRectRgn(0, 0, 0, 0);
        for (int op : {RGN_AND, RGN_OR, RGN_XOR, RGN_DIFF}) {
            int kind = CombineRgn(r, a, b, op);
            RECT want{INT_MAX, INT_MAX, INT_MIN, INT_MIN};
            bool any = false, mismatch = false;
            for (int y = -1; y < 26; ++y) {
                for (int x = -1; x < 26; ++x) {
                    bool ia = inRects(ra, x, y), ib = inRects(rb, x, y);
                    bool expect = op == RGN_AND   ? ia && ib
                                  : op == RGN_OR  ? ia || ib
                                  : op == RGN_XOR ? ia != ib
                                                  : ia && !ib;
                    mismatch |= (PtInRegion(r, x, y) != 0) != expect;
                    if (expect) {
                        any = true;
                        want = RECT{std::min<LONG>(want.left, x), std::min<LONG>(want.top, y),
                                    std::max<LONG>(want.right, x + 1), std::max<LONG>(want.bottom, y + 1)};
                    }
                }
            }
            EXPECT_FALSE(mismatch) << "iteration " << iter << " op " << op;
            EXPECT_EQ(kind == NULLREGION, !any);
            RECT box;
            GetRgnBox(r, &box);
            if (any) {
                EXPECT_TRUE(EqualRect(&box, &want)) << "iteration " << iter << " op " << op;
            }
        }
        // The same set reached another way compares equal: (A - B) | (A & B) == A.
        HRGN diff = CreateRectRgn(0, 0, 0, 0), both = CreateRectRgn(0, 0, 0, 0);
        CombineRgn(diff, a, b, RGN_DIFF);
        CombineRgn(both, a, b, RGN_AND);
        CombineRgn(r, both, diff, RGN_OR);
        EXPECT_TRUE(EqualRgn(r, a)) << "iteration " << iter;
        for (HRGN h : {a, b, r, diff, both}) DeleteObject(h);
    }
}

TEST(Gdi, ClippingLimitsEveryDrawing) {
    Canvas c(20, 20, kBlack);
    HRGN a = CreateRectRgn(0, 0, 10, 10), b = CreateRectRgn(5, 5, 15, 15), x = CreateRectRgn(0, 0, 0, 0);
    CombineRgn(x, a, b, RGN_XOR);
    EXPECT_EQ(SelectClipRgn(c.dc, x), COMPLEXREGION);
    DeleteObject(x);  // the DC keeps its own copy
    RECT box;
    EXPECT_EQ(GetClipBox(c.dc, &box), COMPLEXREGION);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.right, 15);
    c.Fill(kRed);
    EXPECT_EQ(c.At(2, 2), kRed);
    EXPECT_EQ(c.At(12, 12), kRed);
    EXPECT_EQ(c.Count(kRed), 150);
    EXPECT_EQ(GetPixel(c.dc, 7, 7), CLR_INVALID);  // outside the clip
    // Blits and lines obey it too.
    Canvas src(20, 20, kBlue);
    BitBlt(c.dc, 0, 0, 20, 20, src.dc, 0, 0, SRCCOPY);
    EXPECT_EQ(c.Count(kBlue), 150);
    EXPECT_EQ(SelectClipRgn(c.dc, nullptr), SIMPLEREGION);
    EXPECT_EQ(c.At(7, 7), kBlack);
    EXPECT_EQ(c.At(17, 17), kBlack);
    EXPECT_EQ(IntersectClipRect(c.dc, 2, 2, 6, 6), SIMPLEREGION);
    EXPECT_EQ(ExcludeClipRect(c.dc, 3, 3, 5, 5), COMPLEXREGION);
    c.Fill(kWhite);
    EXPECT_EQ(c.Count(kWhite), 12);
    EXPECT_EQ(ExcludeClipRect(c.dc, 0, 0, 20, 20), NULLREGION);
    EXPECT_EQ(GetClipBox(c.dc, &box), NULLREGION);
    SelectClipRgn(c.dc, nullptr);
    EXPECT_EQ(ExcludeClipRect(c.dc, 0, 0, 10, 20), SIMPLEREGION);  // no clip yet: all but the rectangle
    GetClipBox(c.dc, &box);
    EXPECT_EQ(box.left, 10);
    EXPECT_EQ(box.right, 20);
    DeleteObject(a);
    DeleteObject(b);
}

TEST(Gdi, RectangleHelpers) {
    RECT a, b, r;
    SetRect(&a, 0, 0, 10, 10);
    SetRect(&b, 5, 5, 20, 8);
    EXPECT_TRUE(IntersectRect(&r, &a, &b));
    EXPECT_TRUE(EqualRect(&r, &(const RECT&)RECT{5, 5, 10, 8}));
    SetRect(&b, 10, 0, 20, 10);
    EXPECT_FALSE(IntersectRect(&r, &a, &b));
    EXPECT_TRUE(IsRectEmpty(&r));
    EXPECT_TRUE(UnionRect(&r, &a, &b));
    EXPECT_EQ(r.right, 20);
    SetRectEmpty(&b);
    EXPECT_TRUE(UnionRect(&r, &a, &b));
    EXPECT_TRUE(EqualRect(&r, &a));
    EXPECT_TRUE(PtInRect(&a, POINT{0, 9}));
    EXPECT_FALSE(PtInRect(&a, POINT{10, 5}));
    OffsetRect(&r, 3, -2);
    EXPECT_EQ(r.left, 3);
    EXPECT_EQ(r.bottom, 8);
    InflateRect(&r, 1, 2);
    EXPECT_EQ(r.left, 2);
    EXPECT_EQ(r.top, -4);
    EXPECT_EQ(r.right, 14);
    CopyRect(&b, &r);
    EXPECT_TRUE(EqualRect(&b, &r));
    SetRect(&r, INT_MAX - 1, 0, INT_MAX, 1);
    EXPECT_TRUE(OffsetRect(&r, 5, 0));  // wraps like the platform, without faulting
    EXPECT_FALSE(IntersectRect(&r, nullptr, &a));
    EXPECT_TRUE(IsRectEmpty(nullptr));
}

TEST(Gdi, PensAndLines) {
    Canvas c(40, 12, kWhite);
    // The end point is left out.
    MoveToEx(c.dc, 2, 1, nullptr);
    EXPECT_TRUE(LineTo(c.dc, 10, 1));
    EXPECT_EQ(c.At(2, 1), kBlack);
    EXPECT_EQ(c.At(9, 1), kBlack);
    EXPECT_EQ(c.At(10, 1), kWhite);
    POINT p;
    MoveToEx(c.dc, 0, 0, &p);
    EXPECT_EQ(p.x, 10);
    LineTo(c.dc, 5, 5);  // a diagonal: one pixel a step
    EXPECT_EQ(c.At(0, 0), kBlack);
    EXPECT_EQ(c.At(4, 4), kBlack);
    EXPECT_EQ(c.At(5, 5), kWhite);
    EXPECT_EQ(c.At(1, 0), kWhite);

    // Dashes: 18 on, 6 off, the gaps in the back colour when opaque.
    c.Fill(kWhite);
    HPEN dash = CreatePen(PS_DASH, 1, kRed);
    HGDIOBJ old = SelectObject(c.dc, dash);
    SetBkColor(c.dc, kBlue);
    SetBkMode(c.dc, TRANSPARENT);
    MoveToEx(c.dc, 0, 2, nullptr);
    LineTo(c.dc, 40, 2);
    int on = 0;
    for (int x = 0; x < 40; ++x) on += c.At(x, 2) == kRed;
    EXPECT_EQ(on, 18 + 16);
    EXPECT_EQ(c.At(17, 2), kRed);
    EXPECT_EQ(c.At(18, 2), kWhite);
    EXPECT_EQ(c.At(24, 2), kRed);
    SetBkMode(c.dc, OPAQUE);
    MoveToEx(c.dc, 0, 3, nullptr);
    LineTo(c.dc, 40, 3);
    EXPECT_EQ(c.At(20, 3), kBlue);

    // A wide pen covers its width across the line.
    HPEN wide = CreatePen(PS_SOLID, 3, kGreen);
    SelectObject(c.dc, wide);
    MoveToEx(c.dc, 10, 7, nullptr);
    LineTo(c.dc, 30, 7);
    EXPECT_EQ(c.At(20, 5), kWhite);
    EXPECT_EQ(c.At(20, 6), kGreen);
    EXPECT_EQ(c.At(20, 8), kGreen);
    EXPECT_EQ(c.At(20, 9), kWhite);
    SelectObject(c.dc, GetStockObject(NULL_PEN));
    MoveToEx(c.dc, 0, 11, nullptr);
    LineTo(c.dc, 40, 11);
    EXPECT_EQ(c.At(5, 11), kWhite);
    SelectObject(c.dc, old);
    DeleteObject(dash);
    DeleteObject(wide);

    // Polyline leaves out only its last point.
    c.Fill(kWhite);
    POINT pts[3] = {{0, 0}, {5, 0}, {5, 5}};
    EXPECT_TRUE(Polyline(c.dc, pts, 3));
    EXPECT_EQ(c.At(5, 0), kBlack);
    EXPECT_EQ(c.At(5, 4), kBlack);
    EXPECT_EQ(c.At(5, 5), kWhite);
    EXPECT_FALSE(Polyline(c.dc, pts, 1));
}

TEST(Gdi, RectangleOutlineAndFill) {
    Canvas c(12, 12, kWhite);
    HBRUSH red = CreateSolidBrush(kRed);
    HGDIOBJ old = SelectObject(c.dc, red);
    EXPECT_TRUE(Rectangle(c.dc, 2, 2, 8, 6));
    EXPECT_EQ(c.At(2, 2), kBlack);
    EXPECT_EQ(c.At(7, 5), kBlack);
    EXPECT_EQ(c.At(8, 5), kWhite);
    EXPECT_EQ(c.At(7, 6), kWhite);
    EXPECT_EQ(c.At(3, 3), kRed);
    EXPECT_EQ(c.Count(kBlack), 16);
    EXPECT_EQ(c.Count(kRed), 8);
    // Without a pen the fill is one pixel smaller each way.
    c.Fill(kWhite);
    SelectObject(c.dc, GetStockObject(NULL_PEN));
    Rectangle(c.dc, 8, 6, 2, 2);  // corners in any order
    EXPECT_EQ(c.Count(kRed), 15);
    EXPECT_EQ(c.At(6, 4), kRed);
    EXPECT_EQ(c.At(7, 5), kWhite);
    SelectObject(c.dc, old);
    DeleteObject(red);
}

TEST(Gdi, HostileSizesNeverFault) {
    Canvas c(16, 16, kWhite);
    Canvas src(8, 8, kRed);
    const int extremes[] = {INT_MIN, INT_MIN + 1, -100000, -1, 0, 1, 100000, INT_MAX - 1, INT_MAX};
    for (int v : extremes) {
        for (int w : extremes) {
            BitBlt(c.dc, v, v, w, w, src.dc, v, v / 2, SRCCOPY);
            BitBlt(c.dc, 0, 0, w, 3, src.dc, v, 0, SRCINVERT);
            StretchBlt(c.dc, v, 0, w, 8, src.dc, 0, 0, w, v, SRCCOPY);
            StretchBlt(c.dc, 0, 0, 16, 16, src.dc, v, v, w, w, SRCCOPY);
            TransparentImage(c.dc, v, 0, w, 16, src.dc, 0, 0, 8, 8, kWhite);
            RECT r{v, v, w, w};
            FillRect(c.dc, &r, reinterpret_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            MoveToEx(c.dc, v, w, nullptr);
            LineTo(c.dc, w, v);
            Rectangle(c.dc, v, w, w, v);
            SetPixel(c.dc, v, w, kBlue);
            GetPixel(c.dc, w, v);
            IntersectClipRect(c.dc, v, v, w, w);
            SelectClipRgn(c.dc, nullptr);
        }
    }
    HPEN wide = CreatePen(PS_SOLID, INT_MAX, kBlue);
    HGDIOBJ old = SelectObject(c.dc, wide);
    MoveToEx(c.dc, INT_MIN, INT_MIN, nullptr);
    LineTo(c.dc, INT_MAX, INT_MAX);
    EXPECT_EQ(c.Count(kBlue), 256);
    SelectObject(c.dc, old);
    DeleteObject(wide);
    // Impossible bitmaps fail cleanly.
    EXPECT_EQ(CreateCompatibleBitmap(c.dc, 100000, 100000), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(c.dc, -1, 5), nullptr);
    EXPECT_EQ(CreateBitmap(4, 4, 1, 8, nullptr), nullptr);
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 4, INT_MIN, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits;
    EXPECT_EQ(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    bi.bmiHeader.biHeight = 4;
    bi.bmiHeader.biBitCount = 7;
    EXPECT_EQ(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    bi.bmiHeader.biBitCount = 8;
    bi.bmiHeader.biCompression = BI_RLE8;
    EXPECT_EQ(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    // DIB copies with far-away rectangles only read the rows they were given.
    std::vector<std::vector<uint32_t>> px(2, std::vector<uint32_t>(2, 0x00FF00));
    Dib d = MakeDib(2, 2, 32, false, px);
    for (int v : extremes) {
        SetDIBitsToDevice(c.dc, v, 0, 2, 2, v, v / 2, 0, 2, d.bits.data(), d.bmi(), DIB_RGB_COLORS);
        SetDIBitsToDevice(c.dc, 0, 0, static_cast<DWORD>(v), 2, 0, 0, 0, 2, d.bits.data(), d.bmi(), DIB_RGB_COLORS);
        SetDIBitsToDevice(c.dc, 0, 0, 2, 2, 0, 0, static_cast<UINT>(v), 2, d.bits.data(), d.bmi(), DIB_RGB_COLORS);
        StretchDIBits(c.dc, 0, 0, v, v, 0, 0, 2, 2, d.bits.data(), d.bmi(), DIB_RGB_COLORS, SRCCOPY);
        StretchDIBits(c.dc, 0, 0, 16, 16, v, v, v, v / -2, d.bits.data(), d.bmi(), DIB_RGB_COLORS, SRCCOPY);
    }
}

TEST(Gdi, ScreenDcsShareOneSurface) {
    HDC a = GetDC(nullptr), b = GetDC(nullptr);
    ASSERT_NE(a, nullptr);
    SetPixel(a, 799, 479, RGB(1, 2, 3));
    EXPECT_EQ(GetPixel(b, 799, 479), RGB(1, 2, 3));
    EXPECT_EQ(GetPixel(b, 800, 0), CLR_INVALID);
    RECT box;
    EXPECT_EQ(GetClipBox(b, &box), SIMPLEREGION);
    EXPECT_EQ(box.right, 800);
    EXPECT_EQ(box.bottom, 480);
    EXPECT_EQ(ReleaseDC(nullptr, a), 1);
    EXPECT_EQ(ReleaseDC(nullptr, a), 0);
    EXPECT_EQ(GetPixel(a, 0, 0), CLR_INVALID);
    EXPECT_EQ(ReleaseDC(nullptr, b), 1);
    EXPECT_EQ(GetDC(reinterpret_cast<HWND>(0x1234)), nullptr);  // no windows yet
}

TEST(Gdi, DistinctDcsDrawFromManyThreads) {
    constexpr int kThreads = 6;
    std::vector<std::thread> threads;
    std::vector<int> wrong(kThreads, -1);
    Canvas shared(8, 8, kRed);  // read by everyone
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            Canvas c(32, 32, kBlack);
            HBRUSH b = CreateSolidBrush(RGB(i, 0, 0));
            int bad = 0;
            for (int n = 0; n < 200; ++n) {
                RECT r{0, 0, 16, 16};
                FillRect(c.dc, &r, b);
                StretchBlt(c.dc, 16, 16, 16, 16, shared.dc, 0, 0, 8, 8, SRCCOPY);
                bad += c.At(3, 3) != RGB(i, 0, 0) || c.At(20, 20) != kRed;
            }
            DeleteObject(b);
            wrong[i] = bad;
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(wrong[i], 0);
}
