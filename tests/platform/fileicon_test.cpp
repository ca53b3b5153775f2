#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceRoot.h"

namespace {

// A 16 x 16 top-down 32-bit DIB in a memory DC, filled with one colour.
class Canvas {
public:
    explicit Canvas(COLORREF fill) {
        BITMAPINFO bmi{};
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = 16;
        bmi.bmiHeader.biHeight = -16;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
        old = SelectObject(dc, bitmap);
        RECT rc{0, 0, 16, 16};
        HBRUSH brush = CreateSolidBrush(fill);
        FillRect(dc, &rc, brush);
        DeleteObject(brush);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    std::vector<uint32_t> Pixels() const { return std::vector<uint32_t>(bits, bits + 256); }
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    uint32_t* bits = nullptr;
};

HICON Icon(const WCHAR* path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    SHFILEINFOW info{};
    if (!SHGetFileInfoW(path, attributes, &info, sizeof(info), SHGFI_ICON | SHGFI_SMALLICON | SHGFI_USEFILEATTRIBUTES))
        return nullptr;
    return info.hIcon;
}

std::vector<uint32_t> Drawn(HICON icon, COLORREF background) {
    Canvas canvas(background);
    EXPECT_TRUE(DrawIconEx(canvas.dc, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL));
    return canvas.Pixels();
}

class FileIconTest : public DeviceRootTest {};

TEST_F(FileIconTest, OneIconPerKindWithAlphaAndEveryHandleFreed) {
    EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), 16);
    EXPECT_EQ(GetSystemMetrics(SM_CYSMICON), 16);
    const int live = qrx::LiveIconCount();
    // One name of each kind; a second name of the same kind draws the same picture.
    const std::vector<std::pair<const WCHAR*, const WCHAR*>> kinds = {
        {u"\\SD Card\\Log", u"\\a\\b"}, {u"x.abc", u"NOEXT"}, {u"a.csv", u"B.CSV"},
        {u"a.txt", u"a.log"},           {u"a.dat", u"a.bin"}, {u"a.lang", u"b.LANG"},
        {u"a.exe", u"a.dll"},           {u"a.bmp", u"a.png"}, {u"a.zip", u"a.fwd"}};
    std::vector<std::vector<uint32_t>> pictures;
    for (size_t k = 0; k < kinds.size(); ++k) {
        DWORD attributes = k == 0 ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        HICON first = Icon(kinds[k].first, attributes), second = Icon(kinds[k].second, attributes);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_NE(first, second);
        pictures.push_back(Drawn(first, RGB(255, 255, 255)));
        EXPECT_EQ(Drawn(second, RGB(255, 255, 255)), pictures.back()) << k;
        for (size_t j = 0; j < k; ++j) EXPECT_NE(pictures[j], pictures[k]) << j << " " << k;

        // Alpha: corners let the background through, the middle covers it, an edge blends.
        std::vector<uint32_t> white = pictures.back(), black = Drawn(first, RGB(0, 0, 0));
        EXPECT_EQ(white[0] & 0xFFFFFF, 0xFFFFFFu) << k;
        EXPECT_EQ(black[0] & 0xFFFFFF, 0u) << k;
        EXPECT_EQ(white[8 * 16 + 8], black[8 * 16 + 8]) << k;
        bool blended = false;
        for (int i = 0; i < 256; ++i)
            blended |= white[i] != black[i] && (white[i] & 0xFFFFFF) != 0xFFFFFF && (black[i] & 0xFFFFFF) != 0;
        EXPECT_TRUE(blended) << k;
        EXPECT_TRUE(DestroyIcon(first));
        EXPECT_TRUE(DestroyIcon(second));
        EXPECT_FALSE(DestroyIcon(first));
    }
    EXPECT_EQ(qrx::LiveIconCount(), live);
}

TEST_F(FileIconTest, LookupsAndDrawingRefuseWhatIsNotThere) {
    SHFILEINFOW info{};
    // Without the attributes flag the file must exist.
    EXPECT_EQ(SHGetFileInfoW(u"\\SD Card\\missing.csv", 0, &info, sizeof(info), SHGFI_ICON | SHGFI_SMALLICON), 0u);
    ASSERT_NE(SHGetFileInfoW(u"\\SD Card", 0, &info, sizeof(info), SHGFI_ICON | SHGFI_SMALLICON), 0u);
    EXPECT_TRUE(info.dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
    HICON folder = info.hIcon;
    EXPECT_EQ(Drawn(folder, RGB(255, 255, 255)), Drawn(Icon(u"x", FILE_ATTRIBUTE_DIRECTORY), RGB(255, 255, 255)));
    EXPECT_EQ(SHGetFileInfoW(u"a.csv", 0, &info, sizeof(info) - 1, SHGFI_ICON | SHGFI_USEFILEATTRIBUTES), 0u);
    Canvas canvas(RGB(0, 0, 0));
    EXPECT_FALSE(DrawIconEx(canvas.dc, 0, 0, folder, 16, 16, 0, nullptr, 0));
    // Scaled and far outside: nothing drawn astray.
    EXPECT_TRUE(DrawIconEx(canvas.dc, -100000, 5, folder, 2000000, 32, 0, nullptr, DI_NORMAL));
    EXPECT_TRUE(DestroyIcon(folder));
    EXPECT_FALSE(DrawIconEx(canvas.dc, 0, 0, folder, 0, 0, 0, nullptr, DI_NORMAL));
}

}  // namespace
