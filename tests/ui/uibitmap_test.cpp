#include "ui/UiBitmap.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zip.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DeviceRoot.h"
#include "ui/DibImage.h"
#include "ui/ZipArchive.h"

namespace {

constexpr COLORREF kKey = RGB(255, 0, 255);
using Pixel = std::function<DWORD(int x, int y)>;

void Put(std::string& s, size_t at, DWORD v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + i] = char(v >> (8 * i));
}

struct BmpLayout {
    int width = 4, height = 3, bpp = 24;
    bool core = false, topDown = false, bitfields = false;
    std::vector<COLORREF> palette = {};
    DWORD clrUsed = 0;
};

// pixel(x, y), y from the top: a palette index, a raw 16- or 32-bit value, or a COLORREF at 24 bits.
std::string MakeBmp(const BmpLayout& s, const Pixel& pixel) {
    DWORD header = s.core ? 12 : 40, entry = s.core ? 3 : 4;
    DWORD table = s.bitfields ? 12 : DWORD(s.palette.size()) * entry;
    DWORD stride = (DWORD(s.width) * s.bpp + 31) / 32 * 4, off = 14 + header + table;
    std::string f(off + stride * s.height, '\0');
    f[0] = 'B';
    f[1] = 'M';
    Put(f, 2, DWORD(f.size()), 4);
    Put(f, 10, off, 4);
    Put(f, 14, header, 4);
    if (s.core) {
        for (auto [at, v] : {std::pair{18, s.width}, {20, s.height}, {22, 1}, {24, s.bpp}}) Put(f, at, v, 2);
    } else {
        Put(f, 18, s.width, 4);
        Put(f, 22, DWORD(s.topDown ? -s.height : s.height), 4);
        Put(f, 26, 1, 2);
        Put(f, 28, s.bpp, 2);
        Put(f, 30, s.bitfields ? BI_BITFIELDS : BI_RGB, 4);
        Put(f, 46, s.clrUsed, 4);
    }
    static const DWORD masks565[3] = {0xF800, 0x07E0, 0x001F};
    for (size_t i = 0; i < (s.bitfields ? 3 : s.palette.size()); ++i) {
        if (s.bitfields) {
            Put(f, 14 + header + 4 * i, masks565[i], 4);
        } else {
            COLORREF c = s.palette[i];
            Put(f, 14 + header + entry * i, (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c), 3);
        }
    }
    for (int y = 0; y < s.height; ++y) {
        size_t row = off + size_t(s.topDown ? y : s.height - 1 - y) * stride;
        for (int x = 0; x < s.width; ++x) {
            DWORD v = pixel(x, y);
            if (s.bpp < 8)
                f[row + x * s.bpp / 8] = char(BYTE(f[row + x * s.bpp / 8]) | v << (8 - s.bpp - x * s.bpp % 8));
            else if (s.bpp == 24)
                Put(f, row + 3 * x, (GetRValue(v) << 16) | (GetGValue(v) << 8) | GetBValue(v), 3);
            else
                Put(f, row + x * s.bpp / 8, v, s.bpp / 8);
        }
    }
    return f;
}

void Append(png_structp png, png_bytep data, size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), n);
}

// An 8-bit RGBA PNG; rgba(x, y) gives 0xAARRGGBB.
std::string MakePng(int w, int h, const Pixel& rgba) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, Append, [](png_structp) {});
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB_ALPHA, 0, 0, 0);
    png_write_info(png, info);
    std::vector<BYTE> row(4 * w);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            DWORD v = rgba(x, y);
            row[4 * x] = BYTE(v >> 16);
            row[4 * x + 1] = BYTE(v >> 8);
            row[4 * x + 2] = BYTE(v);
            row[4 * x + 3] = BYTE(v >> 24);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

void WriteZip(const std::string& hostPath, const std::vector<std::pair<std::string, std::string>>& members) {
    zipFile zf = zipOpen64(hostPath.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zf, nullptr);
    for (const auto& [name, data] : members) {
        zip_fileinfo zi{};
        ASSERT_EQ(zipOpenNewFileInZip(zf, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6), ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zf, data.data(), unsigned(data.size())), ZIP_OK);
        ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);
}

// A 32-bit top-down surface; At gives a COLORREF.
struct Canvas {
    Canvas(int w, int h, COLORREF fill) : w(w), h(h) {
        BITMAPINFO bmi{};
        bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* p = nullptr;
        dc = CreateCompatibleDC(nullptr);
        bmp = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &p, nullptr, 0);
        bits = static_cast<uint32_t*>(p);
        old = SelectObject(dc, bmp);
        Fill(fill);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bmp);
        DeleteDC(dc);
    }
    void Fill(COLORREF c) { std::fill(bits, bits + w * h, (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c)); }
    void Set(int x, int y, COLORREF c) { bits[y * w + x] = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }
    COLORREF At(int x, int y) const { return RGB(bits[y * w + x] >> 16, bits[y * w + x] >> 8, bits[y * w + x]); }
    int w, h;
    HDC dc;
    HBITMAP bmp;
    HGDIOBJ old;
    uint32_t* bits;
};

int LoadBytes(CUiBitmap& b, const std::string& bytes) {
    return b.LoadBmpData(reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()), u"t.bmp");
}

class UiBitmapArchive : public DeviceRootTest {
protected:
    void TearDown() override { FreeArchiveFile(); }
};

}  // namespace

TEST_F(UiBitmapArchive, LoadsMembersAndFilesByTheNameRules) {
    std::string bmp = MakeBmp({}, [](int x, int y) { return RGB(10 * x, 20 * y, 7); });
    std::string png = MakePng(5, 2, [](int x, int) { return 0xFF000000u | DWORD(x * 40); });
    WriteZip(root.Host("Windows/QRX.zip"), {{"LOGO.PNG", png}, {"main_bg.bmp", bmp}, {"broken.png", "\x89PNG no"}});
    root.WriteFile("Windows/disk.bmp", bmp);
    root.WriteFile("Windows/cut.bmp", bmp.substr(0, bmp.size() - 1));

    CUiBitmap b;
    EXPECT_EQ(b.Load(u"logo.png"), -1) << "no archive yet";
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    EXPECT_GE(b.Load(u"logo.png"), 0);
    EXPECT_TRUE(b.IsAlpha());
    EXPECT_EQ(b.GetWidth(), 5);
    EXPECT_EQ(b.GetHeight(), 2);
    EXPECT_EQ(std::u16string(b.GetName()), u"logo.png");
    EXPECT_GE(b.Load(u"MAIN_BG.BMP"), 0);
    EXPECT_FALSE(b.IsAlpha());
    EXPECT_EQ(b.GetAlphaImage(), nullptr);
    EXPECT_EQ(b.GetBitsSize(), 36u);
    for (const char16_t* bad : {u"pic.gif", u"a.b", u".png", u""}) EXPECT_EQ(b.Load(bad), -1);
    EXPECT_EQ(b.GetWidth(), 4) << "name checks leave the image";

    // A PNG load starts by dropping the old image, and one that does not decode is a failure that
    // leaves nothing, not even the old name.
    CUiBitmap same;
    ASSERT_GE(same.Load(u"main_bg.bmp"), 0);
    EXPECT_EQ(b.Load(u"broken.png"), -1);
    EXPECT_EQ(b.GetWidth(), 0);
    EXPECT_EQ(b.GetAlphaImage(), nullptr);
    EXPECT_EQ(std::u16string(b.GetName()), u"");
    EXPECT_NE(b.CompareName(&same), 0);

    EXPECT_GE(b.Load(u"\\Windows\\disk.bmp"), 0);
    EXPECT_EQ(b.Load(u"\\Windows\\cut.bmp"), -1);
    EXPECT_EQ(std::u16string(b.GetName()), u"\\Windows\\disk.bmp") << "a failed bitmap load keeps the old one";
    FreeArchiveFile();
    EXPECT_EQ(b.Load(u"main_bg.bmp"), -1);

    CUiBitmap c;
    EXPECT_TRUE(c.LoadBmpIfBmp(u"\\Windows\\DISK.BMP"));
    EXPECT_FALSE(c.LoadBmpIfBmp(u"\\Windows\\QRX.zip"));
    EXPECT_EQ(c.CompareName(&b), 0);
    EXPECT_EQ(c.CompareName(nullptr), 1);
}

TEST_F(UiBitmapArchive, FailuresNameArchiveMemberAndReasonOnce) {
    std::string bmp = MakeBmp({}, [](int x, int y) { return RGB(10 * x, 20 * y, 7); });
    std::string zip;
    WriteZip(root.Host("Windows/QRX.zip"), {{"good.bmp", bmp}, {"broken.png", "\x89PNG no"}, {"crc.bmp", bmp}});
    zip = root.ReadFile("Windows/QRX.zip");
    // The checksum of crc.bmp, in both of its headers, no longer matches its data.
    const size_t local = zip.find("crc.bmp") - 30, central = zip.rfind("crc.bmp") - 46;
    ASSERT_EQ(zip.compare(local, 4, "PK\x03\x04"), 0);
    ASSERT_EQ(zip.compare(central, 4, "PK\x01\x02"), 0);
    zip[local + 14] ^= 0x5A;
    zip[central + 16] ^= 0x5A;
    root.WriteFile("Windows/QRX.zip", zip);
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    auto count = [&](const std::string& text) {
        const std::string log = root.ReadFile(".platform/debug.log");
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    };
    CUiBitmap b;
    for (int pass = 0; pass < 2; ++pass) {  // every paint of a page loads its images again
        EXPECT_GE(b.Load(u"good.bmp"), 0);
        for (const char16_t* name : {u"missing.bmp", u"broken.png", u"crc.bmp"}) EXPECT_EQ(b.Load(name), -1);
    }
    EXPECT_EQ(count("[IMG]\\Windows\\QRX.zip: missing.bmp: member not found"), 1);
    EXPECT_EQ(count("[IMG]\\Windows\\QRX.zip: broken.png: PNG decode error"), 1);
    EXPECT_EQ(count("[IMG]\\Windows\\QRX.zip: crc.bmp: CRC or inflate error"), 1);
    EXPECT_EQ(count("good.bmp"), 0);

    // An archive that is no archive at all: one line, naming the first member asked for.
    root.WriteFile("Windows/QRX.zip", std::string(300, 'x'));
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    EXPECT_EQ(b.Load(u"main_bg.bmp"), -1);
    EXPECT_EQ(b.Load(u"logo.png"), -1);
    EXPECT_EQ(count("[IMG]\\Windows\\QRX.zip: main_bg.bmp: bad archive"), 1);
    EXPECT_EQ(count("bad archive"), 1);
}

TEST(UiBitmapArchiveData, DamagedArchivesFailCleanly) {
    std::string zip;
    {
        TempDeviceRoot root;
        WriteZip(root.Host("a.zip"), {{"x.bmp", MakeBmp({}, [](int, int) { return 0u; })}});
        zip = root.ReadFile("a.zip");
    }
    auto tryArchive = [](const std::string& bytes) {
        const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
        ZipItemInfo item{};
        int index = -1;
        if (!FindArchiveItem(data, DWORD(bytes.size()), u"X.BMP", &item, &index)) return false;
        std::vector<BYTE> out(std::max<LONG>(item.unc_size, 1));
        return item.unc_size > 0 && item.unc_size < 4096 && UnzipArchiveItem(data, DWORD(bytes.size()), out.data(), &item, index);
    };
    ASSERT_TRUE(tryArchive(zip));
    for (size_t n = 0; n < zip.size(); ++n) ASSERT_FALSE(tryArchive(zip.substr(0, n))) << n;
    for (size_t i = 0; i < zip.size(); ++i) {
        std::string bad = zip;
        bad[i] ^= 0x5A;
        tryArchive(bad);
    }
}

TEST(UiBitmapBmp, ReadsEveryLayoutItCanDraw) {
    Canvas canvas(9, 4, RGB(1, 1, 1));
    CUiBitmap b;
    struct Case {
        const char* what;
        BmpLayout layout;
        Pixel pixel;
        int x, y;
        COLORREF expect;
    } cases[] = {
        {"24-bit", {}, [](int x, int y) { return RGB(10 * x, 20 * y, 7); }, 1, 2, RGB(10, 40, 7)},
        {"top-down", {.topDown = true}, [](int x, int y) { return RGB(10 * x, 20 * y, 9); }, 3, 0, RGB(30, 0, 9)},
        {"core 1-bit", {.width = 9, .height = 2, .bpp = 1, .core = true, .palette = {RGB(200, 0, 0), RGB(0, 0, 200)}},
         [](int x, int y) { return DWORD((x + y) & 1); }, 8, 1, RGB(0, 0, 200)},
        {"4-bit", {.bpp = 4, .palette = std::vector<COLORREF>(16, RGB(50, 60, 70))}, [](int, int) { return 5u; }, 3, 2,
         RGB(50, 60, 70)},
        {"8-bit, 3 colours", {.bpp = 8, .palette = {RGB(1, 2, 3), RGB(4, 5, 6), RGB(7, 8, 9)}, .clrUsed = 3},
         [](int x, int) { return DWORD(x % 3); }, 2, 1, RGB(7, 8, 9)},
        {"16-bit 555", {.bpp = 16}, [](int, int) { return 0x7C00u; }, 0, 0, RGB(255, 0, 0)},
        {"16-bit 565 fields", {.bpp = 16, .bitfields = true}, [](int, int) { return 0x07E0u; }, 1, 1, RGB(0, 255, 0)},
        {"32-bit", {.bpp = 32}, [](int, int) { return 0x123456u; }, 2, 2, RGB(0x12, 0x34, 0x56)},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(LoadBytes(b, MakeBmp(c.layout, c.pixel)), 1) << c.what;
        EXPECT_EQ(b.GetNumColors(), c.layout.bpp > 8 ? 0 : c.layout.clrUsed ? int(c.layout.clrUsed) : 1 << c.layout.bpp);
        canvas.Fill(RGB(1, 1, 1));
        EXPECT_TRUE(b.Draw(canvas.dc, 0, 0)) << c.what;
        COLORREF got = canvas.At(c.x, c.y);
        for (int ch = 0; ch < 24; ch += 8) EXPECT_NEAR(int(got >> ch & 255), int(c.expect >> ch & 255), 8) << c.what;
    }
}

TEST(UiBitmapBmp, RefusesDataThatDoesNotHoldTheImage) {
    CUiBitmap b;
    BmpLayout s{.bpp = 8, .palette = std::vector<COLORREF>(4, RGB(9, 9, 9)), .clrUsed = 4};
    std::string good = MakeBmp(s, [](int x, int) { return DWORD(x); });
    ASSERT_EQ(LoadBytes(b, good), 1);
    struct Damage {
        size_t at;
        DWORD value;
        int bytes;
        const char* why;
    } damages[] = {{2, DWORD(good.size() - 1), 4, "bits shorter than stride x height"},
                   {2, 20, 4, "file size below the offset"},
                   {2, DWORD(good.size() + 100), 4, "file size beyond the data"},
                   {46, 300, 4, "colours used above 256"},
                   {10, 4, 4, "bits inside the headers"},
                   {14, 108, 4, "unknown header size"},
                   {30, BI_RLE8, 4, "compressed bits"},
                   {28, 7, 2, "odd depth"},
                   {18, 0x7FFFFFFF, 4, "huge width"},
                   {22, 0x80000000u, 4, "huge top-down height"},
                   {0, 'X', 1, "no signature"}};
    for (const Damage& d : damages) {
        std::string bad = good;
        Put(bad, d.at, d.value, d.bytes);
        EXPECT_EQ(LoadBytes(b, bad), -1) << d.why;
        EXPECT_EQ(b.GetBitsSize(), 12u) << d.why << ": the old image stays";
    }
    for (size_t n = 0; n < good.size(); ++n) ASSERT_EQ(LoadBytes(b, good.substr(0, n)), -1) << n;

    Canvas canvas(8, 8, RGB(0, 0, 0));
    b.SetTransparent(TRUE, RGB(9, 9, 9));
    for (size_t i = 0; i < good.size(); ++i) {
        std::string d = good;
        d[i] ^= 0xFF;
        if (LoadBytes(b, d) >= 0) b.DrawStretch(canvas.dc, 0, 0, 8, 8, 0, 0, b.GetWidth(), b.GetHeight());
    }
}

TEST(UiBitmapDraw, ColourKeyLeavesTheDestinationAndNeverTouchesTheImage) {
    const COLORREF ground = RGB(0, 128, 0), ink = RGB(30, 40, 50);
    Canvas canvas(6, 3, ground);
    CUiBitmap b;
    auto keyedAt = [&](const std::string& bytes, int x) {
        EXPECT_EQ(LoadBytes(b, bytes), 1);
        std::vector<BYTE> info(reinterpret_cast<const BYTE*>(b.GetBitmapInfo()),
                               reinterpret_cast<const BYTE*>(b.GetBitmapInfo()) + 40 + 4 * b.GetNumColors());
        std::vector<BYTE> bits(b.GetBits(), b.GetBits() + b.GetBitsSize());
        canvas.Fill(ground);
        b.SetTransparent(TRUE, kKey);
        EXPECT_TRUE(b.Draw(canvas.dc, 0, 0));
        COLORREF seen = canvas.At(x, 0);
        EXPECT_EQ(memcmp(info.data(), b.GetBitmapInfo(), info.size()), 0) << "palette restored";
        EXPECT_EQ(memcmp(bits.data(), b.GetBits(), bits.size()), 0) << "bits restored";
        return seen;
    };
    std::string rgb = MakeBmp({.width = 2, .height = 1}, [&](int x, int) { return x ? kKey : ink; });
    EXPECT_EQ(keyedAt(rgb, 0), ink);
    EXPECT_EQ(keyedAt(rgb, 1), ground);
    b.SetTransparent(FALSE, kKey);
    EXPECT_TRUE(b.Draw(canvas.dc, 0, 0));
    EXPECT_EQ(canvas.At(1, 0), kKey);

    BmpLayout pal{.width = 2, .height = 1, .bpp = 8, .palette = {ink, kKey}, .clrUsed = 2};
    std::string p8 = MakeBmp(pal, [](int x, int) { return DWORD(x); });
    EXPECT_EQ(keyedAt(p8, 0), ink);
    EXPECT_EQ(keyedAt(p8, 1), ground);
    std::string s16 = MakeBmp({.width = 2, .height = 1, .bpp = 16}, [](int x, int) { return x ? 0x7C1Fu : 0x001Fu; });
    EXPECT_GE(GetBValue(keyedAt(s16, 0)), 248);
    EXPECT_EQ(keyedAt(s16, 1), ground);

    // An attached device bitmap goes through the platform's keyed copy.
    HBITMAP dev = CreateCompatibleBitmap(canvas.dc, 2, 1);
    HDC mem = CreateCompatibleDC(canvas.dc);
    HGDIOBJ old = SelectObject(mem, dev);
    SetPixel(mem, 0, 0, ink);
    SetPixel(mem, 1, 0, kKey);
    SelectObject(mem, old);
    DeleteDC(mem);
    b.AttachBitmap(dev);
    canvas.Fill(ground);
    EXPECT_TRUE(b.Draw(canvas.dc, 0, 0));
    EXPECT_EQ(canvas.At(0, 0), ink);
    EXPECT_EQ(canvas.At(1, 0), ground);
    b.SetTransparent(FALSE, kKey);
    EXPECT_TRUE(b.DrawStretch(canvas.dc, 0, 1, 4, 1, 0, 0, 2, 1));
    EXPECT_EQ(canvas.At(3, 1), kKey);
    b.Free();
    EXPECT_FALSE(b.Draw(canvas.dc, 0, 0));
}

TEST(UiBitmapDraw, SourceRectanglesCountFromTheTop) {
    Canvas canvas(8, 8, 0);
    CUiBitmap b;
    ASSERT_EQ(LoadBytes(b, MakeBmp({.width = 4, .height = 4}, [](int x, int y) { return RGB(x * 50, y * 50, 1); })), 1);
    EXPECT_TRUE(b.DrawPart(canvas.dc, 0, 0, 2, 1, 2, 2));
    EXPECT_EQ(canvas.At(0, 0), RGB(100, 50, 1));
    EXPECT_EQ(canvas.At(1, 1), RGB(150, 100, 1));
    EXPECT_EQ(canvas.At(2, 0), 0u);
    EXPECT_TRUE(b.DrawStretch(canvas.dc, 4, 4, 4, 4, 0, 2, 2, 2));
    EXPECT_EQ(canvas.At(4, 4), RGB(0, 100, 1));
    EXPECT_EQ(canvas.At(7, 7), RGB(50, 150, 1));
    canvas.Fill(0);
    EXPECT_TRUE(b.DrawSameRect(canvas.dc, 1, 2, 2, 1));
    EXPECT_EQ(canvas.At(2, 2), RGB(100, 100, 1));
    EXPECT_EQ(canvas.At(1, 1), 0u);
    EXPECT_TRUE(b.DrawCropped(canvas.dc, 2, 3, 3));
    EXPECT_EQ(canvas.At(4, 6), RGB(100, 150, 1));
    EXPECT_EQ(canvas.At(5, 6), 0u);
    CUiBitmap empty;
    EXPECT_FALSE(empty.Draw(canvas.dc, 0, 0) || empty.DrawCropped(canvas.dc, 0, 0, 2) ||
                 empty.DrawStretch(canvas.dc, 0, 0, 2, 2, 0, 0, 2, 2));
}

TEST_F(UiBitmapArchive, PngImagesDrawWholeIntoTheDestination) {
    WriteZip(root.Host("Windows/QRX.zip"), {{"dot.png", MakePng(2, 2, [](int x, int) { return x ? 0xFF0000FFu : 0u; })}});
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    CUiBitmap b;
    ASSERT_GE(b.Load(u"dot.png"), 0);
    Canvas canvas(8, 4, RGB(200, 0, 0));
    EXPECT_TRUE(b.DrawStretch(canvas.dc, 0, 0, 4, 2, 1, 1, 1, 1));  // the source rectangle does not apply
    EXPECT_EQ(canvas.At(1, 1), RGB(200, 0, 0));
    EXPECT_EQ(canvas.At(2, 0), RGB(0, 0, 255));
    EXPECT_EQ(canvas.At(4, 0), RGB(200, 0, 0));
    EXPECT_TRUE(b.DrawCropped(canvas.dc, 4, 0, 4));
    EXPECT_EQ(canvas.At(7, 1), RGB(0, 0, 255));
    EXPECT_EQ(canvas.At(7, 2), RGB(200, 0, 0));
    EXPECT_FALSE(b.DrawCropped(canvas.dc, 4, 0, 0));
}

TEST(UiBitmapDraw, LoadAndDrawOnTwoThreadsStayConsistent) {
    BmpLayout p{.width = 16, .height = 16, .bpp = 8, .palette = {RGB(10, 20, 30), kKey}, .clrUsed = 2};
    std::string a = MakeBmp(p, [](int x, int) { return DWORD(x & 1); });
    std::string c = MakeBmp({.width = 8, .height = 8}, [](int x, int) { return x & 1 ? kKey : RGB(10, 20, 30); });
    CUiBitmap b;
    ASSERT_EQ(LoadBytes(b, a), 1);
    b.SetTransparent(TRUE, kKey);
    std::atomic<bool> stop{false};
    std::thread loader([&] {
        for (int i = 0; i < 300; ++i) LoadBytes(b, i % 2 ? a : c);
        stop = true;
    });
    Canvas canvas(16, 16, 0);
    int wrong = 0;
    while (!stop) {
        canvas.Fill(RGB(0, 99, 0));
        b.Draw(canvas.dc, 0, 0);
        // Whichever image was loaded, keyed columns show the ground and the others the image.
        wrong += canvas.At(0, 0) != RGB(10, 20, 30) || canvas.At(1, 0) != RGB(0, 99, 0);
    }
    loader.join();
    EXPECT_EQ(wrong, 0);
}

TEST(UiBitmapFit, ShrinksKeepingTheAspectAndRefusesImpossibleBoxes) {
    struct Case {
        LONG w, h, maxW, maxH, fw, fh;
    } cases[] = {{200, 100, 100, 100, 100, 50}, {100, 300, 50, 50, 16, 48}, {30, 40, 30, 40, 30, 40},
                 {2, 1000, 100, 5, 1, 1},       {0x7FFFFFFF, 0x7FFFFFFF, 10, 10, 10, 10}};
    for (const Case& c : cases) {
        LONG w = c.w, h = c.h;
        EXPECT_TRUE(CUiBitmap::FitToBox(&w, &h, c.maxW, c.maxH));
        EXPECT_EQ(w, c.fw) << c.w << "x" << c.h;
        EXPECT_EQ(h, c.fh) << c.w << "x" << c.h;
    }
    LONG w = 200, h = 100, zero = 0;
    EXPECT_FALSE(CUiBitmap::FitToBox(&w, &h, 0, 100));
    EXPECT_FALSE(CUiBitmap::FitToBox(&w, &h, 100, -1));
    EXPECT_FALSE(CUiBitmap::FitToBox(&zero, &h, 100, 100));
    EXPECT_EQ(w, 200);
}

TEST_F(UiBitmapArchive, DrawingMatchesTheGoldenPicture) {
    // A soft disc with alpha, a keyed 24-bit ring and a keyed 4-bit cross over a checked ground.
    auto ring = [](int x, int y, double c, double r0, double r1) {
        double d = std::hypot(x - c, y - c);
        return d > r0 && d < r1;
    };
    std::string disc = MakePng(24, 24, [](int x, int y) {
        double d = std::hypot(x - 11.5, y - 11.5);
        return (d >= 12 ? 0u : d <= 6 ? 255u : DWORD(255 * (12 - d) / 6)) << 24 | 0x2060E0u;
    });
    std::string ringBmp = MakeBmp({.width = 20, .height = 20},
                                  [&](int x, int y) { return ring(x, y, 9.5, 6, 9.5) ? RGB(240, 200, 0) : kKey; });
    BmpLayout cross{.width = 16, .height = 16, .bpp = 4, .palette = {kKey, RGB(255, 255, 255), RGB(0, 0, 0)}, .clrUsed = 3};
    std::string crossBmp = MakeBmp(cross, [](int x, int y) {
        bool bar = (x >= 6 && x <= 9) || (y >= 6 && y <= 9), edge = x == 6 || x == 9 || y == 6 || y == 9;
        return DWORD(bar ? (edge ? 2 : 1) : 0);
    });
    WriteZip(root.Host("Windows/QRX.zip"), {{"disc.png", disc}, {"ring.bmp", ringBmp}, {"cross.bmp", crossBmp}});
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));

    Canvas canvas(64, 40, 0);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) canvas.Set(x, y, (x / 4 + y / 4) % 2 ? RGB(90, 90, 90) : RGB(160, 160, 160));
    CUiBitmap a, r, c;
    ASSERT_TRUE(a.Load(u"disc.png") >= 0 && r.Load(u"ring.bmp") >= 0 && c.Load(u"cross.bmp") >= 0);
    r.SetTransparent(TRUE, kKey);
    c.SetTransparent(TRUE, kKey);
    EXPECT_TRUE(a.Draw(canvas.dc, 4, 8));
    EXPECT_TRUE(r.Draw(canvas.dc, 20, 4));
    EXPECT_TRUE(c.DrawStretch(canvas.dc, 40, 6, 24, 24, 0, 0, 16, 16));
    EXPECT_TRUE(a.DrawStretch(canvas.dc, 44, 26, 12, 12, 0, 0, 0, 0));

    std::filesystem::path golden = std::filesystem::path(__FILE__).parent_path() / "data" / "uibitmap_golden.png";
    if (getenv("QRX_UPDATE_GOLDEN")) {
        ASSERT_TRUE(qrx::SaveDcPng(canvas.dc, golden.c_str()));
        GTEST_SKIP() << "golden written to " << golden;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, golden.c_str())) << golden;
    image.format = PNG_FORMAT_RGB;
    std::vector<BYTE> px(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr));
    ASSERT_EQ(int(image.width), canvas.w);
    ASSERT_EQ(int(image.height), canvas.h);
    int off = 0;
    for (int i = 0; i < canvas.w * canvas.h; ++i) {
        COLORREF got = canvas.At(i % canvas.w, i / canvas.w);
        for (int ch = 0; ch < 3; ++ch) off += std::abs(int(got >> (8 * ch) & 255) - px[3 * i + ch]) > 2;
    }
    EXPECT_EQ(off, 0) << "pixels differ from " << golden;
}
