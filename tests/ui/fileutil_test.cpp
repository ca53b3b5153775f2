#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <zip.h>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "qrx/host.h"
#include "ui/FileUtil.h"
#include "ui/ZipArchive.h"

namespace {

void SetProfileFolder(const std::u16string& profile, const std::u16string& folder) {
    std::u16string path = u"System\\StorageManager\\Profiles\\" + profile;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    RegSetValueExW(key, u"Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
}

// The resolved path, or "<fail>" with a check that the output was emptied.
std::u16string Resolve(const std::u16string& path) {
    WCHAR out[MAX_PATH] = u"junk";
    if (ResolvePath(out, path.c_str())) return out;
    return out[0] ? u"<dirty>" : u"<fail>";
}

using FileUtilTest = DeviceRootTest;

TEST_F(FileUtilTest, StorageFoldersAndResolvePath) {
    WCHAR out[MAX_PATH];
    EXPECT_FALSE(GetSdCardFolder(out));
    EXPECT_EQ(Resolve(u"%SD%\\Log\\a.csv"), u"<fail>");
    SetProfileFolder(u"SDMMC", u"SD Card");
    SetProfileFolder(u"USBHDProfile", u"Hard Disk");
    SetProfileFolder(u"FlashDisk", u"");
    EXPECT_TRUE(GetSdCardFolder(out));
    EXPECT_EQ(std::u16string(out), u"\\SD Card");
    EXPECT_FALSE(GetNandFlashFolder(out));
    EXPECT_EQ(Resolve(u"%SD%\\Log\\a.csv"), u"\\SD Card\\Log\\a.csv");
    EXPECT_EQ(Resolve(u"%ud%\\a"), u"\\Hard Disk\\a");
    EXPECT_EQ(Resolve(u"%nd%\\a"), u"<fail>");
    EXPECT_EQ(Resolve(u"images\\a.bmp"), u"\\Windows\\images\\a.bmp");
    EXPECT_EQ(Resolve(u"\\Windows\\a.bmp"), u"\\Windows\\a.bmp");
    EXPECT_EQ(Resolve(u"x%sd%\\a"), u"\\Windows\\x%sd%\\a");
    EXPECT_EQ(Resolve(u""), u"<fail>");

    // 259 characters fit; one more fails instead of running past the buffer.
    EXPECT_EQ(Resolve(std::u16string(250, u'r')).size(), 259u);
    EXPECT_EQ(Resolve(std::u16string(251, u'r')), u"<fail>");
    EXPECT_EQ(Resolve(u"\\" + std::u16string(259, u'a')), u"<fail>");
    EXPECT_EQ(Resolve(u"%sd%" + std::u16string(252, u'c')), u"<fail>");
    SetProfileFolder(u"SDMMC", std::u16string(259, u'f'));
    EXPECT_FALSE(GetSdCardFolder(out));

    WCHAR inPlace[MAX_PATH] = u"%ud%\\b";
    EXPECT_TRUE(ResolvePath(inPlace, inPlace));
    EXPECT_EQ(std::u16string(inPlace), u"\\Hard Disk\\b");
}

TEST_F(FileUtilTest, FileExistsAndForceDelete) {
    root.WriteFile("Windows/loose.bmp", "BM");
    ASSERT_TRUE(SetFileAttributesW(u"\\Windows\\loose.bmp", FILE_ATTRIBUTE_READONLY));
    zipFile zf = zipOpen(root.Host("Windows/t.zip").c_str(), APPEND_STATUS_CREATE);
    zip_fileinfo info = {};
    zipOpenNewFileInZip(zf, "Button_Up.bmp", &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6);
    zipWriteInFileInZip(zf, "BMdata", 6);
    zipCloseFileInZip(zf);
    zipClose(zf, nullptr);

    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\t.zip"));
    EXPECT_TRUE(FileExists(u"button_up.BMP"));
    EXPECT_FALSE(FileExists(u"loose.bmp"));  // bare names are not looked for on disk
    EXPECT_TRUE(FileExists(u"\\Windows\\loose.bmp"));
    FreeArchiveFile();
    EXPECT_FALSE(FileExists(u"button_up.bmp"));
    EXPECT_TRUE(ForceDeleteFile(u"\\Windows\\loose.bmp"));
    EXPECT_FALSE(FileExists(u"\\Windows\\loose.bmp"));
}

TEST(FileUtilNumbers, ThirtyTwoBitParsing) {
    EXPECT_EQ(StrToUInt(u"0x1F"), 31u);
    EXPECT_EQ(StrToUInt(u"0xZ1"), 1u);
    EXPECT_EQ(StrToUInt(u"0x"), 0u);
    EXPECT_EQ(StrToUInt(u"-1"), 0xFFFFFFFFu);
    EXPECT_EQ(StrToUInt(u""), 0u);
    EXPECT_EQ(StrToUInt(u"99999999999"), 0xFFFFFFFFu);
    EXPECT_EQ(StrToUInt(u"3000000000"), 3000000000u);  // the whole unsigned range, above the signed one
    EXPECT_EQ(StrToUInt(u"4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(HexToInt(u"123456789"), 0x23456789u);
    EXPECT_EQ(StrToLong(u"0xFFFFFFFF"), -1);
    EXPECT_EQ(StrToLong(u"2147483648"), INT32_MAX);
    EXPECT_EQ(StrToLong(u"-2147483649"), INT32_MIN);
    EXPECT_EQ(StrToLong(u"-12x"), -12);
}

TEST(FileUtilTicks, DifferenceAcrossTheWrap) {
    qrx::SetTickCountStart(0x1000);
    DWORD before = GetTickCount();
    DWORD elapsed = GetTicks(before + 0x80000000u);  // a start "after" now: the counter wrapped
    EXPECT_GE(elapsed, 0x80000000u);
    EXPECT_LE(elapsed, 0x80000000u + (GetTickCount() - before));

    qrx::SetTickCountStart(0xFFFFFF00u);
    DWORD start = GetTickCount();
    bounded::WaitUntil([&] { return GetTickCount() < start; });
    DWORD now = GetTickCount();
    ASSERT_LT(now, start);
    EXPECT_GE(GetTicks(start), now - start);
    EXPECT_LT(GetTicks(start), 100000u);
}

TEST(FileUtilTaskBar, ShowAndHideFollowTheWorkArea) {
    RECT work{};
    EXPECT_EQ(ShowTaskBar(TRUE), 0);  // no taskbar window: nothing to do

    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"HHTaskBar";
    ASSERT_NE(RegisterClassW(&wc), 0);
    HWND bar = CreateWindowExW(0, u"HHTaskBar", u"", WS_POPUP | WS_VISIBLE, 0, 454, 800, 26, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(bar, nullptr);
    RECT full{0, 0, 800, 480};
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &full, 0);

    // Visible, but the work area is the whole screen: it did not count as shown.
    EXPECT_EQ(ShowTaskBar(FALSE), 0);
    EXPECT_FALSE(IsWindowVisible(bar));
    EXPECT_EQ(ShowTaskBar(TRUE), 0);
    EXPECT_TRUE(IsWindowVisible(bar));
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(work.bottom, 454);
    EXPECT_EQ(ShowTaskBar(FALSE), 1);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(work.bottom, 480);

    DestroyWindow(bar);
    UnregisterClassW(u"HHTaskBar", nullptr);
}

TEST(FileUtilText, TrimAndSplit) {
    WCHAR w[16] = u"abc \t\r\n";
    EXPECT_EQ(TrimRightW(w, FALSE), 7);
    EXPECT_EQ(std::u16string(w), u"abc ");
    char a[16] = "abc \t\r\n";
    EXPECT_EQ(TrimRightA(a, TRUE), 7);
    EXPECT_STREQ(a, "abc");
    WCHAR l[16] = u" \t a b";
    EXPECT_EQ(std::u16string(TrimLeftW(l)), u"a b");

    WCHAR f[4][MAX_PATH];
    EXPECT_EQ(SplitString(u"a,b,c,d", 2, f, u','), 2);
    EXPECT_EQ(std::u16string(f[0]) + u"|" + f[1], u"a|b,c,d");
    EXPECT_EQ(SplitString(u"a,,c", 4, f, u','), 2);
    EXPECT_EQ(std::u16string(f[0]) + u"|" + f[1] + u"|" + f[2] + u"|" + f[3], u"a||c|");
    EXPECT_EQ(SplitString(u"a", 0, f, u','), 0);
    std::u16string longText = std::u16string(300, u'x') + u"|" + std::u16string(300, u'y');
    EXPECT_EQ(SplitString(longText.c_str(), 2, f, u'|'), 1);
    EXPECT_EQ(std::u16string(f[0]), std::u16string(259, u'x'));
    EXPECT_EQ(std::u16string(f[1]), std::u16string(259, u'y'));
}

TEST(FileUtilTime, AddSeconds) {
    SYSTEMTIME t = {2023, 12, 0, 31, 23, 59, 30, 0}, out = {};
    EXPECT_EQ(AddSeconds(&out, &t, 45.5), &out);
    EXPECT_EQ(t.wYear * 10000 + t.wMonth * 100 + t.wDay, 20240101);
    EXPECT_EQ(t.wSecond * 1000 + t.wMilliseconds, 15500);
    EXPECT_EQ(out.wYear, 2024);
    AddSeconds(&out, &t, -86400.5);
    EXPECT_EQ(t.wDay * 100 + t.wSecond, 3115);
    // Out of range or not a number: the time stays.
    AddSeconds(&out, &t, 1e300);
    AddSeconds(&out, &t, std::nan(""));
    AddSeconds(&out, &t, -1e12);
    EXPECT_EQ(t.wYear * 10000 + t.wMonth * 100 + t.wDay, 20231231);
}

}  // namespace
