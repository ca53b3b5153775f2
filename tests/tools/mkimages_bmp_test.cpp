// BMP members and the loose files of folder lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "DeviceRoot.h"
#include "ImageSet.h"

namespace fs = std::filesystem;
using namespace mkimages;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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

}  // namespace
