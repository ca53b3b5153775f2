// The upgrader's UI kit: progress bar, button and its options, file, store finder, language texts and
// the program's image archive.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "../numpad/BmpFile.h"
#include "Canvas.h"
#include "DeviceRoot.h"
#include "PngWriter.h"
#include "ZipWriter.h"
#include "kit/CeButton.h"
#include "kit/CeFile.h"
#include "kit/CeProgressBar.h"
#include "kit/KitArchive.h"
#include "kit/KitLanguage.h"
#include "kit/Partition.h"
#include "qrx/boardapi.h"
#include "ui/BoardIo.h"

namespace {

std::vector<uint8_t> SolidBmp(int width, int height, COLORREF c) {
    BmpSpec s;
    s.width = width;
    s.height = height;
    s.bpp = 24;
    size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
    s.pixels.assign(stride * height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &s.pixels[y * stride + x * 3];
            p[0] = GetBValue(c), p[1] = GetGValue(c), p[2] = GetRValue(c);
        }
    return MakeBmp(s);
}

std::vector<uint8_t> SolidPng(int width, int height, COLORREF c) {
    mkimages::Rgba image;
    image.width = width;
    image.height = height;
    for (int i = 0; i < width * height; ++i)
        image.pixels.insert(image.pixels.end(), {GetRValue(c), GetGValue(c), GetBValue(c), 255});
    std::vector<uint8_t> out;
    EXPECT_TRUE(mkimages::EncodePng(image, out));
    return out;
}

// An 800 x 480 memory surface painted black.
struct Surface {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 800, 480);
    HGDIOBJ old = SelectObject(dc, bitmap);
    Surface() { Clear(); }
    ~Surface() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    void Clear() const {
        RECT all{0, 0, 800, 480};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    COLORREF At(int x, int y) const { return GetPixel(dc, x, y); }
};

const COLORREF kRed = RGB(255, 0, 0), kGreen = RGB(0, 255, 0), kBlack = RGB(0, 0, 0);

class UpgradeKitTest : public DeviceRootTest {};

TEST_F(UpgradeKitTest, ProgressBarStaysOnItsBarAndPicture) {
    Surface s;
    CCeProgressBar bar;
    auto picture = SolidBmp(496, 8, kRed);
    ASSERT_TRUE(bar.Create({152, 396, 648, 404}, nullptr, picture.data(), static_cast<DWORD>(picture.size())));
    EXPECT_EQ(bar.SetPos(s.dc, 50), 248);
    EXPECT_EQ(s.At(152 + 247, 400), kRed);
    EXPECT_EQ(s.At(152 + 248, 400), kBlack);
    EXPECT_EQ(bar.SetPos(s.dc, 250), 496);  // a step's arithmetic past the end
    EXPECT_EQ(bar.GetPos(), 100);
    EXPECT_EQ(s.At(648, 400), kBlack);
    EXPECT_EQ(bar.SetPos(s.dc, -7), 0);

    // A picture narrower than its bar is never drawn past its own edge; no picture draws nothing.
    s.Clear();
    auto narrow = SolidBmp(100, 8, kRed);
    ASSERT_TRUE(bar.Create({152, 396, 648, 404}, nullptr, narrow.data(), static_cast<DWORD>(narrow.size())));
    EXPECT_EQ(bar.SetPos(s.dc, 100), 100);
    EXPECT_EQ(s.At(252, 400), kBlack);
    CCeProgressBar empty;
    EXPECT_FALSE(empty.Create({0, 0, 0, 0}, nullptr, nullptr, 0));
    EXPECT_EQ(empty.SetPos(s.dc, 60), 0);
}

TEST_F(UpgradeKitTest, ButtonPressReleaseToggleAndMoveOut) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"KitTestWindow";
    RegisterClassW(&wc);
    HWND wnd = CreateWindowExW(0, u"KitTestWindow", u"", WS_POPUP | WS_VISIBLE, 0, 0, 800, 480, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(wnd, nullptr);
    auto nor = SolidBmp(110, 70, kRed), pre = SolidBmp(110, 70, kGreen);
    HDC screen = GetDC(wnd);
    {
        CCeButton push;
        ASSERT_TRUE(push.Create(wnd, {265, 275, 375, 345}, 0x1020, TRUE, FALSE, 0, CEBUTTON_NO_TONE));
        push.SetImage(nor.data(), static_cast<DWORD>(nor.size()), pre.data(), static_cast<DWORD>(pre.size()), u"OK");
        push.Draw();
        EXPECT_EQ(GetPixel(screen, 268, 278), kRed);
        EXPECT_EQ(push.OnLButtonDown(264, 300), 0);
        EXPECT_EQ(push.OnLButtonDown(375, 345), 1);  // edges are inside
        EXPECT_EQ(GetPixel(screen, 268, 278), kGreen);
        // Released outside: nothing; the move out draws it normal and lets the capture go.
        SetCapture(wnd);
        EXPECT_EQ(push.OnLButtonUp(500, 300), 0);
        EXPECT_EQ(push.GetState(), 1);
        EXPECT_EQ(push.OnMouseMove(375, 300), 0);
        EXPECT_EQ(push.OnMouseMove(376, 300), 1);
        EXPECT_EQ(push.GetState(), 0);
        EXPECT_EQ(GetPixel(screen, 268, 278), kRed);
        EXPECT_EQ(GetCapture(), nullptr);
        // An idle button leaves another's capture alone.
        SetCapture(wnd);
        EXPECT_EQ(push.OnMouseMove(600, 10), 0);
        EXPECT_EQ(GetCapture(), wnd);
        ReleaseCapture();
        EXPECT_EQ(push.OnLButtonDown(300, 300), 1);
        EXPECT_EQ(push.OnLButtonUp(300, 300), 1);
        EXPECT_EQ(GetPixel(screen, 268, 278), kRed);

        CCeButton toggle;
        toggle.Create(wnd, {0, 0, 100, 100}, 1, FALSE, TRUE, 0, CEBUTTON_NO_TONE);
        EXPECT_EQ(toggle.OnLButtonDown(50, 50), 1);
        EXPECT_EQ(toggle.OnLButtonUp(50, 50), 1);
        EXPECT_EQ(toggle.OnMouseMove(300, 300), 0);  // a toggle keeps its setting
        EXPECT_EQ(toggle.GetState(), 1);
        EXPECT_EQ(toggle.OnLButtonDown(50, 50), 1);
        EXPECT_EQ(toggle.OnLButtonUp(50, 50), 2);
        EXPECT_EQ(toggle.GetState(), 0);
    }
    ReleaseDC(wnd, screen);
    DestroyWindow(wnd);
}

TEST_F(UpgradeKitTest, ButtonPicturesCaptionToneAndOptions) {
    Surface s;
    auto nor = SolidPng(110, 70, kRed), pre = SolidPng(110, 70, kGreen);
    auto keyed = SolidBmp(110, 70, CEBITMAP_KEY_COLOUR);
    CCeButton b;
    b.Create(nullptr, {10, 10, 120, 80}, 7, TRUE, FALSE, 0);
    EXPECT_TRUE(b.SetImage(nor.data(), static_cast<DWORD>(nor.size()), pre.data(), static_cast<DWORD>(pre.size()),
                           nullptr));
    b.Draw(s.dc);
    EXPECT_EQ(s.At(12, 12), kRed);
    b.SetState(1, FALSE);
    b.Draw(s.dc);
    EXPECT_EQ(s.At(12, 12), kGreen);
    // BMP pictures leave the key colour out; an undecodable picture is simply not drawn.
    s.Clear();
    EXPECT_FALSE(b.SetImage(keyed.data(), static_cast<DWORD>(keyed.size()), nor.data(), 20, nullptr));
    b.Draw(s.dc);
    EXPECT_EQ(s.At(12, 12), kBlack);
    b.Reset(FALSE);
    EXPECT_EQ(b.GetState(), 0);

    std::u16string longCaption(150, u'x');
    b.SetCaption(longCaption.c_str());
    EXPECT_EQ(std::u16string(b.GetCaption()), std::u16string(CEBUTTON_CAPTION_CHARS, u'x'));

    LOGFONTW lf;
    COLORREF colour;
    b.SetFont(u"Face", 24, RGB(1, 2, 3), RGB(4, 5, 6));
    b.GetCaptionFont(1, &lf, &colour);
    EXPECT_EQ(lf.lfHeight, 24);
    EXPECT_EQ(colour, RGB(4, 5, 6));
    CCeButton white;
    white.Create(nullptr, {0, 0, 10, 10}, 1, FALSE, FALSE, 0, CEBUTTON_WHITE_CAPTION);
    white.SetFont(u"Face", 30, RGB(1, 2, 3), RGB(4, 5, 6));
    for (int state : {0, 1}) {
        white.GetCaptionFont(state, &lf, &colour);
        EXPECT_EQ(lf.lfHeight, 20);
        EXPECT_EQ(lf.lfWeight, 700);
        EXPECT_EQ(colour, RGB(255, 255, 255));
        EXPECT_EQ(std::u16string(lf.lfFaceName), u"Face");
    }

    // The click tone goes out only from a button without CEBUTTON_NO_TONE.
    ASSERT_TRUE(OpenTonePwm());
    white.Create(nullptr, {0, 0, 10, 10}, 1, FALSE, FALSE, 0, CEBUTTON_NO_TONE);
    white.OnLButtonDown(5, 5);
    EXPECT_TRUE(qrx::ReadDeviceRecords("PWM1").empty());
    b.OnLButtonDown(50, 50);
    auto records = qrx::ReadDeviceRecords("PWM1");
    ASSERT_EQ(records.size(), 2u);
    PWM_TONE_RECORD on;
    std::memcpy(&on, records.front().bytes.data(), sizeof on);
    EXPECT_EQ(on.frequency, 2093u);
    CloseTonePwm();
}

TEST_F(UpgradeKitTest, FileClosesWhenDestroyedAndTakesBothNames) {
    {
        CCeFile f;
        ASSERT_TRUE(f.Open("\\NAND Flash\\LockDat.dat", "wb"));  // 8-bit name
        EXPECT_EQ(f.Write("\x01\x02\x03", 1, 3), 3u);
    }  // never closed by its user
    EXPECT_EQ(root.ReadFile("NAND Flash/LockDat.dat"), "\x01\x02\x03");

    CCeFile f;
    EXPECT_EQ(f.Size(), -1);
    EXPECT_FALSE(f.Close());
    ASSERT_TRUE(f.Open(u"\\NAND Flash\\LockDat.dat", u"rb"));
    EXPECT_TRUE(f.Seek(1, SEEK_SET));
    EXPECT_EQ(f.Size(), 3);
    EXPECT_EQ(f.Tell(), 1);
    BYTE b[4] = {};
    EXPECT_EQ(f.Read(b, 1, 4), 2u);
    EXPECT_TRUE(f.Eof());
    EXPECT_TRUE(f.Close());
    EXPECT_FALSE(f.Open(u"\\NAND Flash\\missing\\x.dat", u"rb"));
}

TEST_F(UpgradeKitTest, PartitionOfPresentStoresOnly) {
    CPartition p;
    ASSERT_TRUE(p.FindPartition(u"DSK1:"));
    EXPECT_EQ(std::u16string(p.Info().szVolumeName), u"\\NAND Flash");
    ASSERT_TRUE(p.FindPartition(u"DSK2:"));
    std::filesystem::remove_all(root.Host("SD Card"));
    std::filesystem::remove_all(root.Host("Hard Disk"));
    EXPECT_FALSE(p.FindPartition(u"DSK2:"));
    EXPECT_FALSE(p.FindPartition(u"DSK9:"));
    EXPECT_TRUE(p.FindPartition(u"DSK1:"));
}

TEST_F(UpgradeKitTest, LanguageIndexRulesTextsAndBreaks) {
    root.WriteFile("Windows/English.lang", "[shell50]\r\n20=Upgrading the charger\r\n21=Do not\\rswitch off\r\n");
    root.WriteFile("Windows/Korean.lang", "[shell50]\r\n20=K\r\n");
    EXPECT_EQ(LoadKitLanguage(12), 0);
    EXPECT_EQ(LoadKitLanguage(-3), 0);
    EXPECT_EQ(LoadKitLanguage(2), 0);  // no Japanese file
    EXPECT_EQ(LoadKitLanguage(1), 1);
    EXPECT_EQ(std::u16string(GetLangFontFace()), u"NanumGothic");
    EXPECT_EQ(LoadKitLanguage(0), 0);

    WCHAR cut[8];
    EXPECT_TRUE(CopyLangText(50, 20, cut, 8));
    EXPECT_EQ(std::u16string(cut), u"Upgradi");
    EXPECT_FALSE(CopyLangText(50, 99, cut, 8));
    EXPECT_EQ(cut[0], 0);
    EXPECT_EQ(std::u16string(GetLangText(50, 99)), u"");
    WCHAR text[LANG_TEXT_CHARS];
    CopyLangText(50, 21, text, LANG_TEXT_CHARS);
    EXPECT_EQ(std::u16string(ExpandLangBreaks(text)), u"Do not\r\nswitch off");
    WCHAR tail[] = u"end\\";
    EXPECT_EQ(std::u16string(ExpandLangBreaks(tail)), u"end\\");

    // The language's own font, added by the program that draws with it.
    EXPECT_FALSE(AddKitLanguageFont());
    std::filesystem::create_directories(root.Host("NAND Flash/Font"));
    std::filesystem::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                               root.Host("NAND Flash/Font/NanumGothicBold.ttf"));
    EXPECT_TRUE(AddKitLanguageFont());
    RemoveKitLanguageFont();
    EXPECT_FALSE(RemoveFontResourceW(GetLangFontFile(0)));  // removed once, as added once
}

TEST_F(UpgradeKitTest, ArchiveFromResourceLeavesBadMembersEmpty) {
    auto bmp = SolidBmp(4, 3, kRed), png = SolidPng(5, 2, kGreen);
    std::string error;
    ASSERT_TRUE(mkimages::WriteZip(root.Host("a.zip"),
                                   {{"Good.bmp", bmp}, {"good.png", png}, {"bad.bmp", {'B', 'M', 1, 2, 3}}}, error))
        << error;
    std::ifstream in(root.Host("a.zip"), std::ios::binary);
    const std::vector<unsigned char> zip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static const char16_t* const kRcdata = RT_RCDATA;
    const QrxResourceEntry entry[] = {{kRcdata, MAKEINTRESOURCEW(KIT_ARCHIVE_RESOURCE), zip.data(),
                                       static_cast<unsigned int>(zip.size())}};
    QrxRegisterResources(reinterpret_cast<const void*>(&SolidBmp), entry, 1);

    CKitArchive archive;
    ASSERT_TRUE(archive.Open());
    CCeBitmap bitmap;
    EXPECT_TRUE(archive.LoadBitmap(u"good.bmp", bitmap));
    EXPECT_EQ(bitmap.GetWidth(), 4);
    EXPECT_FALSE(archive.LoadBitmap(u"bad.bmp", bitmap));
    EXPECT_TRUE(bitmap.IsEmpty());
    archive.LoadBitmap(u"good.bmp", bitmap);
    EXPECT_FALSE(archive.LoadBitmap(u"missing.bmp", bitmap));
    EXPECT_TRUE(bitmap.IsEmpty());
    CDibImage image;
    EXPECT_TRUE(archive.LoadImage(u"good.png", image));
    EXPECT_EQ(image.GetWidth(), 5);
    EXPECT_FALSE(archive.LoadImage(u"good.bmp", image));
    EXPECT_FALSE(image.IsValid());
    QrxUnregisterResources(entry);

    EXPECT_FALSE(archive.Open());  // no resource 4
    EXPECT_FALSE(archive.OpenMemory("PK\x03\x04 not an archive", 20));
    EXPECT_FALSE(archive.LoadBitmap(u"good.bmp", bitmap));
}

}  // namespace
