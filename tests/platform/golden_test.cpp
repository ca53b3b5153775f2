// A drawing with text compared with a committed picture. The tolerance lets a FreeType patch
// release move glyph edges by a pixel and shade them a little otherwise, but not lose a glyph,
// a dash, a line or a fill.
// QRX_UPDATE_GOLDEN=1 writes the picture anew (look at it before keeping it).
#include <gtest/gtest.h>
#include <png.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qrx/host.h"

namespace {

const std::filesystem::path kGolden = std::filesystem::path(__FILE__).parent_path() / "data/golden/scene.png";
constexpr int kWidth = 240, kHeight = 180;
const COLORREF kKey = RGB(255, 0, 255);

struct Picture {
    int width = 0, height = 0;
    std::vector<BYTE> rgb;
};

// libpng's simplified reader reports failures in the image rather than by longjmp.
bool ReadPng(const std::string& path, Picture& out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

// The pixel of a has a close one in b at its place or next to it, so that an edge moved by one
// pixel still matches while a missing or extra stroke does not.
bool Matched(const Picture& a, const Picture& b, int x, int y) {
    const BYTE* p = &a.rgb[(static_cast<size_t>(y) * a.width + x) * 3];
    for (int ny = std::max(0, y - 1); ny <= std::min(b.height - 1, y + 1); ++ny) {
        for (int nx = std::max(0, x - 1); nx <= std::min(b.width - 1, x + 1); ++nx) {
            const BYTE* q = &b.rgb[(static_cast<size_t>(ny) * b.width + nx) * 3];
            if (std::abs(p[0] - q[0]) <= 16 && std::abs(p[1] - q[1]) <= 16 && std::abs(p[2] - q[2]) <= 16) return true;
        }
    }
    return false;
}

HFONT Font(int pixels, int weight) {
    return CreateFontW(-pixels, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0, ANTIALIASED_QUALITY, 0,
                       u"DejaVu Sans");
}

// A badge on the key colour, copied once as it is and once doubled.
void DrawBadges(HDC dc) {
    HDC src = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 16, 16);
    HGDIOBJ old = SelectObject(src, bitmap);
    HBRUSH key = CreateSolidBrush(kKey), ring = CreateSolidBrush(RGB(230, 40, 40)),
           core = CreateSolidBrush(RGB(255, 255, 255));
    RECT r{0, 0, 16, 16};
    FillRect(src, &r, key);
    r = {2, 2, 14, 14};
    FillRect(src, &r, ring);
    r = {5, 5, 11, 11};
    FillRect(src, &r, key);
    r = {7, 0, 9, 16};
    FillRect(src, &r, core);
    EXPECT_TRUE(TransparentImage(dc, 196, 120, 16, 16, src, 0, 0, 16, 16, kKey));
    EXPECT_TRUE(TransparentImage(dc, 198, 138, 32, 32, src, 0, 0, 16, 16, kKey));
    SelectObject(src, old);
    for (HGDIOBJ o : {(HGDIOBJ)bitmap, (HGDIOBJ)key, (HGDIOBJ)ring, (HGDIOBJ)core}) DeleteObject(o);
    DeleteDC(src);
}

void DrawScene(HDC dc) {
    HBRUSH back = CreateSolidBrush(RGB(24, 48, 96)), band = CreateSolidBrush(RGB(220, 220, 210)),
           bar = CreateSolidBrush(RGB(40, 170, 80));
    RECT r{0, 0, kWidth, kHeight};
    FillRect(dc, &r, back);
    r = {0, 118, kWidth, kHeight};
    FillRect(dc, &r, band);
    r = {10, 104, 130, 112};
    FillRect(dc, &r, bar);

    HPEN frame = CreatePen(PS_SOLID, 2, RGB(250, 200, 40)), dash = CreatePen(PS_DASH, 1, RGB(160, 170, 190));
    HGDIOBJ oldPen = SelectObject(dc, frame);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, 3, 3, kWidth - 3, 116);
    SelectObject(dc, dash);
    SetBkMode(dc, TRANSPARENT);
    // A graph grid: enough dashes that drawing them solid shows.
    for (int y = 60; y <= 108; y += 6) {
        MoveToEx(dc, 140, y, nullptr);
        LineTo(dc, 232, y);
    }
    for (int x = 140; x <= 232; x += 23) {
        MoveToEx(dc, x, 60, nullptr);
        LineTo(dc, x, 109);
    }
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);

    HFONT regular16 = Font(16, FW_NORMAL), bold16 = Font(16, FW_BOLD), regular24 = Font(24, FW_NORMAL),
          bold24 = Font(24, FW_BOLD);
    HGDIOBJ oldFont = SelectObject(dc, bold24);
    SetTextColor(dc, RGB(255, 255, 255));
    EXPECT_TRUE(TextOutW(dc, 10, 8, u"25.3\u2103", 5));
    SelectObject(dc, regular24);
    EXPECT_TRUE(TextOutW(dc, 120, 8, u"77.5\u2109", 5));
    SelectObject(dc, bold16);
    SetTextColor(dc, RGB(250, 200, 40));
    EXPECT_TRUE(TextOutW(dc, 10, 40, u"Bat 41\u2103", 7));
    SelectObject(dc, regular16);
    SetTextColor(dc, RGB(200, 230, 255));
    EXPECT_TRUE(TextOutW(dc, 120, 40, u"Max 158\u2109", 8));
    RECT cells{10, 60, 134, 104};
    EXPECT_GT(DrawTextW(dc, u"Cell 1: 4.18 V Cell 2: 4.17 V", -1, &cells, DT_WORDBREAK | DT_NOPREFIX), 0);

    SetTextColor(dc, RGB(20, 20, 20));
    RECT note{8, 121, 188, 179};
    EXPECT_GT(DrawTextW(dc, u"Charge complete at 14.4 V: keep the battery below 45\u2103.", -1, &note,
                        DT_WORDBREAK | DT_CENTER),
              0);
    SelectObject(dc, oldFont);
    for (HGDIOBJ o : {(HGDIOBJ)back, (HGDIOBJ)band, (HGDIOBJ)bar, (HGDIOBJ)frame, (HGDIOBJ)dash, (HGDIOBJ)regular16,
                      (HGDIOBJ)bold16, (HGDIOBJ)regular24, (HGDIOBJ)bold24})
        EXPECT_TRUE(DeleteObject(o));

    DrawBadges(dc);
}

}  // namespace

TEST(Golden, SceneWithTextMatchesThePicture) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, kWidth, kHeight);
    HGDIOBJ old = SelectObject(dc, bitmap);
    DrawScene(dc);

    const char* update = std::getenv("QRX_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        std::filesystem::create_directories(kGolden.parent_path());
        EXPECT_TRUE(qrx::SaveBitmapPng(bitmap, kGolden.c_str()));
    }

    Picture golden;
    ASSERT_TRUE(ReadPng(kGolden.string(), golden)) << kGolden << " is missing: run with QRX_UPDATE_GOLDEN=1";
    ASSERT_EQ(golden.width, kWidth);
    ASSERT_EQ(golden.height, kHeight);

    Picture drawn{kWidth, kHeight, std::vector<BYTE>(golden.rgb.size())};
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            COLORREF c = GetPixel(dc, x, y);
            BYTE* p = &drawn.rgb[(static_cast<size_t>(y) * kWidth + x) * 3];
            p[0] = GetRValue(c);
            p[1] = GetGValue(c);
            p[2] = GetBValue(c);
        }
    }
    int differing = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) differing += !Matched(drawn, golden, x, y) || !Matched(golden, drawn, x, y);
    // One missing small glyph or grid line is about 70 pixels.
    const int allowed = kWidth * kHeight / 1000;
    if (differing > allowed) {
        std::string actual = ::testing::TempDir() + "qrx-golden-scene-actual.png";
        qrx::SaveBitmapPng(bitmap, actual.c_str());
        ADD_FAILURE() << differing << " pixels differ from " << kGolden << " (at most " << allowed
                      << "); the drawing is in " << actual;
    }
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
}
