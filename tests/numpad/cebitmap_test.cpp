// CCeBitmap: BMP images from memory (depths, palettes, masks, bad input) and drawing.
#include <gtest/gtest.h>
#include <windows.h>

#include "BmpFile.h"
#include "DeviceRoot.h"
#include "numpad/CeBitmap.h"

namespace {

class CeBitmapTest : public DeviceRootTest {};

COLORREF At(const CCeBitmap& b, int x, int y) { return GetPixel(b.GetDC(), x, y); }

// 2 x 2, 24 bits: bottom row red, green; top row blue, the key colour.
BmpSpec TwoByTwo() {
    BmpSpec s;
    s.pixels = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 9, 9, 9, 0, 0};
    return s;
}

TEST_F(CeBitmapTest, ReadsDepthsPalettesAndMasks) {
    CCeBitmap b;
    auto file = MakeBmp(TwoByTwo());
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    EXPECT_EQ(b.GetWidth(), 2);
    EXPECT_EQ(b.GetHeight(), 2);
    EXPECT_EQ(At(b, 0, 1), RGB(255, 0, 0));
    EXPECT_EQ(At(b, 1, 1), RGB(0, 255, 0));
    EXPECT_EQ(At(b, 0, 0), RGB(0, 0, 255));

    // A file shorter than its header says: the rows it holds, the rest black.
    file.resize(file.size() - 8);
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    EXPECT_EQ(At(b, 1, 1), RGB(0, 255, 0));
    EXPECT_EQ(At(b, 0, 0), RGB(0, 0, 0));

    // 8 bits with three colours: a palette of three, not masks.
    BmpSpec p;
    p.width = 4;
    p.height = -1;
    p.bpp = 8;
    p.used = 3;
    p.table = {0x000000, 0x00FF00, 0x0000FF};
    p.pixels = {2, 1, 0, 2};
    file = MakeBmp(p);
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    EXPECT_EQ(At(b, 0, 0), RGB(0, 0, 255));
    EXPECT_EQ(At(b, 1, 0), RGB(0, 255, 0));
    p.used = 16;
    p.table.resize(16, 0xFFFFFF);
    p.pixels = {15, 1, 0, 2};
    file = MakeBmp(p);
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    EXPECT_EQ(At(b, 0, 0), RGB(255, 255, 255));

    // 16 bits: 555 without masks, the file's masks with BI_BITFIELDS.
    BmpSpec w;
    w.width = 2;
    w.height = 1;
    w.bpp = 16;
    w.pixels = {0x00, 0x7C, 0xE0, 0x03};
    file = MakeBmp(w);
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    EXPECT_EQ(At(b, 0, 0), RGB(255, 0, 0));
    EXPECT_EQ(At(b, 1, 0), RGB(0, 255, 0));
    w.compression = BI_BITFIELDS;
    w.table = {0xF800, 0x07E0, 0x001F};
    w.pixels = {0x00, 0xF8, 0x1F, 0x00};
    file = MakeBmp(w);
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    EXPECT_EQ(At(b, 0, 0), RGB(255, 0, 0));
    EXPECT_EQ(At(b, 1, 0), RGB(0, 0, 255));
}

TEST_F(CeBitmapTest, BadFilesFailAndKeepThePicture) {
    CCeBitmap b;
    auto good = MakeBmp(TwoByTwo());
    ASSERT_EQ(b.LoadFromMemory(good.data(), static_cast<DWORD>(good.size())), 1);
    auto check = [&](std::vector<uint8_t> file, const char* what) {
        EXPECT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 0) << what;
        EXPECT_EQ(b.GetWidth(), 2) << what;
        EXPECT_EQ(At(b, 0, 1), RGB(255, 0, 0)) << what;
    };
    auto with = [&](size_t at, uint32_t v) {
        auto f = good;
        Put32(f, at, v);
        return f;
    };
    auto mark = good;
    mark[0] = 'X';
    check(mark, "no mark");
    check(std::vector<uint8_t>(good.begin(), good.begin() + 53), "short header");
    check(with(14, 39), "header under 40");
    check(with(14, 4000), "header past the end");
    check(with(18, 0), "width 0");
    check(with(18, 0x80000000u), "negative width");
    check(with(22, 0), "height 0");
    check(with(18, 4097), "too wide");
    check(with(22, static_cast<uint32_t>(-4097)), "too tall");
    check(with(28, 7), "odd depth");
    check(with(30, BI_RLE8), "compressed");
    check(with(10, static_cast<uint32_t>(good.size())), "offset past the end");
    BmpSpec p = TwoByTwo();
    p.bpp = 8;
    p.table = {0, 0};  // 256 colours promised, two present
    check(MakeBmp(p), "palette past the end");
    p.bpp = 24;
    p.compression = BI_BITFIELDS;
    check(MakeBmp(p), "masks on 24 bits");
}

TEST_F(CeBitmapTest, DrawsWholeOrPartAndLeavesTheKeyColour) {
    CCeBitmap b;
    auto file = MakeBmp(TwoByTwo());
    ASSERT_EQ(b.LoadFromMemory(file.data(), static_cast<DWORD>(file.size())), 1);
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP target = CreateCompatibleBitmap(dc, 8, 8);
    HGDIOBJ old = SelectObject(dc, target);
    RECT all{0, 0, 8, 8};
    HBRUSH grey = CreateSolidBrush(RGB(100, 100, 100));
    FillRect(dc, &all, grey);
    RECT at{4, 4, 6, 6};
    b.Draw(dc, &at, 1);
    EXPECT_EQ(GetPixel(dc, 4, 4), RGB(0, 0, 255));
    EXPECT_EQ(GetPixel(dc, 5, 4), RGB(100, 100, 100));  // key colour left out
    b.Draw(dc, &at, 0);
    EXPECT_EQ(GetPixel(dc, 5, 4), RGB(9, 9, 9));
    RECT one{0, 0, 1, 1};
    b.DrawPart(dc, &one, 1, 1);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(dc, 1, 0), RGB(100, 100, 100));
    SelectObject(dc, old);
    DeleteObject(target);
    DeleteObject(grey);
    DeleteDC(dc);
}

}  // namespace
