#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Canvas.h"
#include "DeviceRoot.h"
#include "ImageSet.h"
#include "PngWriter.h"
#include "ui/FileUtil.h"
#include "ui/UiBitmap.h"
#include "ui/ZipArchive.h"

namespace fs = std::filesystem;
using namespace mkimages;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Decoded {
    bool ok = false;
    int width = 0, height = 0, colourType = -1;
    std::vector<uint8_t> rgba;
};

Decoded DecodePng(const std::vector<uint8_t>& bytes) {
    Decoded d;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return d;
    d.colourType = (image.format & PNG_FORMAT_FLAG_ALPHA) ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB;
    image.format = PNG_FORMAT_RGBA;
    d.rgba.resize(PNG_IMAGE_SIZE(image));
    d.ok = png_image_finish_read(&image, nullptr, d.rgba.data(), 0, nullptr) != 0;
    d.width = int(image.width);
    d.height = int(image.height);
    return d;
}

bool ParseOk(const std::string& text, std::vector<ArchiveSet>& out) {
    std::string error;
    bool ok = ParseImageSet(text, "set", out, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

std::string ParseError(const std::string& text) {
    std::vector<ArchiveSet> out;
    std::string error;
    EXPECT_FALSE(ParseImageSet(text, "set", out, error)) << text;
    return error;
}

class Squares : public ImageDrawer {
public:
    void Draw(Painter& p) const override {
        p.Fill({0, 0, 4, 8}, RGB(200, 100, 50));
        p.Fill({4.5, 0, 8, 8}, RGB(10, 20, 30));  // half a pixel of coverage in column 4
    }
};

}  // namespace

TEST(ImageSet, ParsesArchivesImagesAndDefaults) {
    std::vector<ArchiveSet> sets;
    ASSERT_TRUE(ParseOk("# comment\n"
                        "archive A.zip\n"
                        "bg.png 800 480 panel backdrop=#102030 title=\"Main menu\"   # trailing\n"
                        "\n"
                        "archive B.zip\n"
                        "btn_nor.png 100 40 button label=\"\xEC\x84\xA4\xEC\xA0\x95\" state=pressed\r\n",
                        sets));
    ASSERT_EQ(sets.size(), 2u);
    ASSERT_EQ(sets[0].images.size(), 1u);
    const ImageEntry& bg = sets[0].images[0];
    EXPECT_EQ(bg.name, "bg.png");
    EXPECT_EQ(bg.width, 800);
    EXPECT_EQ(bg.height, 480);
    EXPECT_EQ(bg.line, 3);
    EXPECT_EQ(bg.Colour("backdrop"), RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(bg.Text("title"), u"Main menu");
    EXPECT_EQ(bg.Int("radius"), 12);  // default filled in
    const ImageEntry& btn = sets[1].images[0];
    EXPECT_EQ(btn.Text("label"), u"\uC124\uC815");
    EXPECT_EQ(btn.Raw("state"), "pressed");
    EXPECT_FALSE(btn.Has("backdrop"));
}

TEST(ImageSet, RejectsBadLinesWithTheirPlace) {
    EXPECT_EQ(ParseError("a.png 10 10 panel\n"), "set:1: an image before any archive line");
    EXPECT_NE(ParseError("archive A.zip\n\nx.png 10 10 sparkle\n").find("set:3: unknown kind"), std::string::npos);
    for (const char* size : {"0 10", "10 0", "2049 10", "10 -1", "10x 10"})
        EXPECT_NE(ParseError(std::string("archive A.zip\nx.png ") + size + " panel\n").find("size"), std::string::npos)
            << size;
    for (const char* name : {"../x.png", "a/b.png", "x.gif", ".png", "x y.png"})
        EXPECT_NE(ParseError(std::string("archive A.zip\n\"") + name + "\" 10 10 panel\n").find("image name"),
                  std::string::npos)
            << name;
    EXPECT_NE(ParseError("archive ../A.zip\n").find("archive NAME.zip"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 panel\nX.PNG 1 1 panel\n").find("set:3: image X.PNG listed twice"),
              std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\narchive a.ZIP\n").find("named twice"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 panel glow=3\n").find("no parameter 'glow'"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 panel radius=500\n").find("radius wants"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 panel radius=1 radius=2\n").find("twice"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 panel backdrop=#12345\n").find("colour"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 button state=hover\n").find("one of"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 button label=\"open\n").find("quote"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 button label=\xC0\xAF\n").find("UTF-8"), std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\nx.png 1 1 button label=" + std::string(129, 'x') + "\n").find("UTF-8"),
              std::string::npos);
    EXPECT_NE(ParseError("archive A.zip\n" + std::string(kMaxLine + 1, ' ') + "\n").find("too long"),
              std::string::npos);
    EXPECT_NE(ParseError(std::string(kMaxSetFile + 1, '#')).find("too large"), std::string::npos);
}

TEST(Canvas, CoverageBecomesAlphaAndColourStaysTrue) {
    Rgba img;
    std::string error;
    ASSERT_TRUE(Render(Squares(), 8, 8, 4, true, 0, img, error)) << error;
    ASSERT_EQ(img.pixels.size(), 8u * 8 * 4);
    auto px = [&](int x, int y) { return &img.pixels[(size_t(y) * 8 + x) * 4]; };
    EXPECT_EQ(px(0, 0)[0], 200);
    EXPECT_EQ(px(0, 0)[1], 100);
    EXPECT_EQ(px(0, 0)[2], 50);
    EXPECT_EQ(px(0, 0)[3], 255);
    EXPECT_NEAR(px(4, 3)[3], 128, 3);  // half covered
    EXPECT_NEAR(px(4, 3)[2], 30, 2);   // the colour itself, not darkened by the coverage
    EXPECT_EQ(px(7, 7)[3], 255);
    EXPECT_TRUE(img.HasAlpha());

    ASSERT_TRUE(Render(Squares(), 8, 8, 1, false, RGB(1, 2, 3), img, error)) << error;
    EXPECT_FALSE(img.HasAlpha());
    EXPECT_EQ(px(4, 0)[0], 1);  // uncovered at scale 1: the backdrop
    EXPECT_EQ(px(4, 0)[2], 3);

    EXPECT_FALSE(Render(Squares(), 0, 8, 1, true, 0, img, error));
    EXPECT_FALSE(Render(Squares(), kMaxImageSide + 1, 8, 1, true, 0, img, error));
}

TEST(PngWriter, OpaqueAsRgbTransparentAsRgbaAndRoundTrips) {
    Rgba img;
    img.width = 3;
    img.height = 2;
    img.pixels = {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 10, 11, 12, 255, 13, 14, 15, 255, 16, 17, 18, 255};
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(EncodePng(img, bytes));
    Decoded d = DecodePng(bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.colourType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(d.width, 3);
    EXPECT_EQ(d.height, 2);
    EXPECT_EQ(d.rgba, img.pixels);

    img.pixels[7] = 0;
    img.pixels[23] = 77;
    ASSERT_TRUE(EncodePng(img, bytes));
    d = DecodePng(bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.colourType, PNG_COLOR_TYPE_RGBA);
    EXPECT_EQ(d.rgba, img.pixels);

    img.pixels.pop_back();
    EXPECT_FALSE(EncodePng(img, bytes));
    EXPECT_TRUE(bytes.empty());
}

class SplashArchive : public DeviceRootTest {
protected:
    std::vector<ArchiveSet> Load() {
        std::vector<ArchiveSet> sets;
        std::string error;
        EXPECT_TRUE(LoadImageSet(std::string(QRX_SOURCE_DIR) + "/assets/splash/images.txt", sets, error)) << error;
        return sets;
    }
};

TEST_F(SplashArchive, BuildsReproduciblyWithImagesTheProgramsLoad) {
    std::vector<ArchiveSet> sets = Load();
    ASSERT_EQ(sets.size(), 1u);
    ASSERT_EQ(sets[0].name, "Splash.zip");
    std::string out1 = root.Host("out1"), out2 = root.Host("out2"), loose = root.Host("loose");
    std::vector<std::string> written;
    std::string error;
    ASSERT_TRUE(BuildArchives(sets, out1, loose, written, error)) << error;
    ASSERT_TRUE(BuildArchives(sets, out2, "", written, error)) << error;
    std::string zip = ReadAll(out1 + "/Splash.zip");
    ASSERT_FALSE(zip.empty());
    EXPECT_EQ(zip, ReadAll(out2 + "/Splash.zip"));
    EXPECT_EQ(zip, ReadAll(std::string(QRX_BUILD_DIR) + "/assets/Splash.zip")) << "the build's archive is stale";

    // Loose copies are the archive's members: valid PNGs of the listed sizes.
    for (const ImageEntry& entry : sets[0].images) {
        std::string bytes = ReadAll(loose + "/Splash/" + entry.name);
        Decoded d = DecodePng(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        ASSERT_TRUE(d.ok) << entry.name;
        EXPECT_EQ(d.width, entry.width) << entry.name;
        EXPECT_EQ(d.height, entry.height) << entry.name;
        EXPECT_EQ(d.colourType, entry.Has("backdrop") ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA) << entry.name;
    }

    root.WriteFile("Windows/Splash.zip", zip);
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\Splash.zip"));
    ZipItemInfo item{};
    int index = -1;
    DWORD size = 0;
    const BYTE* buffer = GetArchiveBuffer(&size);
    EXPECT_TRUE(FindArchiveItem(buffer, size, u"LOADING_BG.PNG", &item, &index));

    CUiBitmap bg;
    EXPECT_GE(bg.Load(u"loading_bg.png"), 0);
    EXPECT_EQ(bg.GetWidth(), 120);
    EXPECT_EQ(bg.GetHeight(), 120);

    // The animation counts frames NN_loading.png from 00 while they exist: at least eight in a row.
    int frames = 0;
    for (;; ++frames) {
        WCHAR name[32];
        swprintf(name, 32, u"%02d_loading.png", frames);
        if (!FileExists(name)) break;
        CUiBitmap frame;
        ASSERT_GE(frame.Load(name), 0) << frames;
        EXPECT_TRUE(frame.IsAlpha());
        EXPECT_EQ(frame.GetWidth(), 120);
        EXPECT_EQ(frame.GetHeight(), 120);
    }
    EXPECT_GE(frames, 8);
    FreeArchiveFile();
}

TEST_F(SplashArchive, FramesDifferAndAFailedBuildKeepsTheOldArchive) {
    std::vector<ArchiveSet> sets = Load();
    ASSERT_FALSE(sets.empty());
    std::vector<std::vector<uint8_t>> frames;
    for (const ImageEntry& entry : sets[0].images) {
        Rgba img;
        std::string error;
        ASSERT_TRUE(DrawImage(entry, img, error)) << error;
        if (entry.name.find("_loading") != std::string::npos) frames.push_back(img.pixels);
    }
    ASSERT_GE(frames.size(), 8u);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_NE(frames[i], frames[i - 1]) << "frame " << i;

    std::string out = root.Host("out");
    std::vector<std::string> written;
    std::string error;
    ASSERT_TRUE(BuildArchives(sets, out, "", written, error)) << error;
    std::string before = ReadAll(out + "/Splash.zip");
    sets[0].images.back().kind = nullptr;  // the last image cannot be drawn
    EXPECT_FALSE(BuildArchives(sets, out, "", written, error));
    EXPECT_EQ(ReadAll(out + "/Splash.zip"), before);
    EXPECT_FALSE(fs::exists(out + "/Splash.zip.part"));
}

namespace {

Rgba DrawLine(const std::string& line) {
    std::vector<ArchiveSet> sets;
    Rgba img;
    if (!ParseOk("archive T.zip\n" + line + "\n", sets)) return img;
    std::string error;
    EXPECT_TRUE(DrawImage(sets[0].images[0], img, error)) << error;
    return img;
}

const uint8_t* At(const Rgba& img, int x, int y) { return &img.pixels[(size_t(y) * img.width + x) * 4]; }

}  // namespace

TEST(ImageKinds, ClearGradientAndStatesDrawWhatTheySay) {
    Rgba clear = DrawLine("c.png 4 4 clear");
    ASSERT_EQ(clear.pixels.size(), 4u * 4 * 4);
    for (size_t i = 3; i < clear.pixels.size(); i += 4) EXPECT_EQ(clear.pixels[i], 0);

    Rgba ramp = DrawLine("g.png 10 101 gradient top=#000000 bottom=#C86400 rule=3 rulecolour=#00FF00");
    ASSERT_EQ(ramp.height, 101);
    EXPECT_EQ(At(ramp, 5, 0)[0], 0);
    EXPECT_NEAR(At(ramp, 5, 50)[0], 100, 1);  // half way
    EXPECT_NEAR(At(ramp, 5, 50)[1], 50, 1);
    EXPECT_EQ(At(ramp, 5, 99)[1], 255);  // the rule
    EXPECT_EQ(At(ramp, 5, 99)[0], 0);
    EXPECT_NE(At(ramp, 5, 97)[1], 255);
    EXPECT_FALSE(ramp.HasAlpha());

    // Every pictogram in every state draws something, and the states differ.
    for (const char* glyph : {"home", "manual", "auto", "program", "filter", "log", "lock", "bluetooth", "pc", "unit",
                              "operation", "setting"}) {
        std::vector<std::vector<uint8_t>> seen;
        for (const char* state : {"normal", "pressed", "disabled", "on", "off"}) {
            Rgba icon = DrawLine(std::string("i.png 40 40 icon glyph=") + glyph + " state=" + state);
            int covered = 0;
            for (size_t i = 3; i < icon.pixels.size(); i += 4) covered += icon.pixels[i] > 128;
            EXPECT_GT(covered, 40) << glyph << " " << state;
            for (const auto& other : seen) EXPECT_NE(icon.pixels, other) << glyph << " " << state;
            seen.push_back(icon.pixels);
        }
    }
    // A tile keeps its label band clear.
    Rgba tile = DrawLine("t.png 100 120 tile glyph=setting band=30");
    for (int x = 0; x < 100; x += 9) EXPECT_EQ(At(tile, x, 10)[3], 0) << x;
    EXPECT_EQ(At(tile, 50, 40)[3], 255);
    EXPECT_NE(ParseError("archive A.zip\nx.png 9 9 icon glyph=rocket\n").find("one of"), std::string::npos);
}

class QrxArchive : public DeviceRootTest {};

TEST_F(QrxArchive, HoldsEveryImageTheLayoutNamesAndFiveDistinctLogos) {
    std::vector<ArchiveSet> sets;
    std::string error;
    ASSERT_TRUE(LoadImageSet(std::string(QRX_SOURCE_DIR) + "/assets/qrx/images.txt", sets, error)) << error;
    ASSERT_EQ(sets.size(), 1u);
    ASSERT_EQ(sets[0].name, "QRX.zip");
    std::string out = root.Host("out");
    std::vector<std::string> written;
    ASSERT_TRUE(BuildArchives(sets, out, "", written, error)) << error;
    std::string zip = ReadAll(out + "/QRX.zip");
    EXPECT_EQ(zip, ReadAll(std::string(QRX_BUILD_DIR) + "/assets/QRX.zip")) << "the build's archive is stale";
    root.WriteFile("Windows/QRX.zip", zip);
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));

    // Every ".png" name of the layout script's keys loads from the archive.
    std::istringstream layout(ReadAll(std::string(QRX_SOURCE_DIR) + "/app/main/qrx.layout"));
    int names = 0;
    for (std::string line; std::getline(layout, line);) {
        if (line.empty() || line[0] == ';' || line.find('=') == std::string::npos) continue;
        for (size_t end = line.find(".png"); end != std::string::npos; end = line.find(".png", end + 4)) {
            size_t start = line.find_last_of("=,", end) + 1;
            std::string name = line.substr(start, end + 4 - start);
            std::u16string wide(name.begin(), name.end());
            CUiBitmap bitmap;
            EXPECT_GE(bitmap.Load(wide.c_str()), 0) << name;
            ++names;
        }
    }
    EXPECT_GT(names, 30);

    std::vector<std::vector<uint8_t>> logos;
    for (const ImageEntry& entry : sets[0].images) {
        if (entry.name.rfind("company_logo_", 0) != 0) continue;
        EXPECT_EQ(entry.name, "company_logo_0" + std::to_string(logos.size()) + ".png");
        Rgba img;
        ASSERT_TRUE(DrawImage(entry, img, error)) << error;
        for (const auto& other : logos) EXPECT_NE(img.pixels, other) << entry.name;
        logos.push_back(img.pixels);
    }
    EXPECT_EQ(logos.size(), 5u);
    FreeArchiveFile();
}

// BMP members and the loose files of folder lines.
namespace {

uint32_t U32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

// The pixel (x, y from the top) of a bottom-up 24-bit BMP as 0xRRGGBB.
uint32_t Pixel(const std::string& b, int x, int y) {
    uint32_t w = U32(b, 18), h = U32(b, 22);
    size_t stride = (w * 3 + 3) / 4 * 4;
    size_t at = U32(b, 10) + stride * (h - 1 - y) + 3 * x;
    return (uint32_t(uint8_t(b[at + 2])) << 16) | (uint32_t(uint8_t(b[at + 1])) << 8) | uint8_t(b[at]);
}

}  // namespace

TEST(ImageSetBmp, FolderLinesWriteOpaqueBmpFilesAndNoArchive) {
    TempDeviceRoot root;
    std::vector<ArchiveSet> sets;
    std::string error;
    ASSERT_TRUE(ParseImageSet("folder Keys\nk.bmp 5 3 gradient top=#FF0000 bottom=#FF0000\n"
                              "t.bmp 2 2 clear\n",
                              "set", sets, error))
        << error;
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_TRUE(sets[0].folder);
    std::vector<std::string> written;
    std::string out = root.Host("out");
    ASSERT_TRUE(BuildArchives(sets, out, "", written, error)) << error;
    EXPECT_FALSE(fs::exists(out + "/Keys.zip"));
    std::string b = ReadAll(out + "/Keys/k.bmp");
    ASSERT_GE(b.size(), 54u);
    EXPECT_EQ(b.substr(0, 2), "BM");
    EXPECT_EQ(U32(b, 2), b.size());
    EXPECT_EQ(U32(b, 18), 5u);
    EXPECT_EQ(U32(b, 22), 3u);
    EXPECT_EQ(b[28], 24);
    EXPECT_EQ(U32(b, 30), 0u);
    EXPECT_EQ(b.size(), 54u + 16 * 3);  // rows padded to 4 bytes
    EXPECT_EQ(Pixel(b, 4, 0), 0xFF0000u);
    // A picture without a backdrop is drawn over black: no alpha survives.
    EXPECT_EQ(Pixel(ReadAll(out + "/Keys/t.bmp"), 1, 1), 0u);

    std::vector<ArchiveSet> bad;
    EXPECT_FALSE(ParseImageSet("folder ../up\n", "set", bad, error));
    EXPECT_NE(error.find("folder NAME"), std::string::npos);
}

TEST(ImageSetBmp, KeypadFacesAreBuiltForTheLibrary) {
    for (const char* face : {"keypad_nor.bmp", "keypad_pre.bmp"}) {
        std::string b = ReadAll(std::string(QRX_BUILD_DIR) + "/assets/Numpad/" + face);
        ASSERT_GE(b.size(), 54u) << face;
        EXPECT_EQ(U32(b, 18), 265u);
        EXPECT_EQ(U32(b, 22), 364u);
        EXPECT_EQ(b[28], 24);
    }
    // The faces differ inside a key and agree in the display well.
    std::string n = ReadAll(std::string(QRX_BUILD_DIR) + "/assets/Numpad/keypad_nor.bmp");
    std::string p = ReadAll(std::string(QRX_BUILD_DIR) + "/assets/Numpad/keypad_pre.bmp");
    EXPECT_NE(Pixel(n, 39, 100), Pixel(p, 39, 100));
    EXPECT_EQ(Pixel(n, 30, 30), Pixel(p, 30, 30));
}

