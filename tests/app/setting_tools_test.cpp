#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "DeviceRoot.h"
#include "app/SettingTools.h"

namespace {

SYSTEMTIME Date(int year, int month, int day) {
    SYSTEMTIME time{};
    time.wYear = (WORD)year;
    time.wMonth = (WORD)month;
    time.wDay = (WORD)day;
    time.wHour = 12;
    return time;
}

std::string Ymd(const SYSTEMTIME& t) {
    return std::to_string(t.wYear) + "-" + std::to_string(t.wMonth) + "-" + std::to_string(t.wDay);
}

std::u16string Text(const WCHAR* text) { return std::u16string(text); }

// A package header naming an application part of 30 bytes right behind it.
std::string Header(const char* magic, const std::u16string& version) {
    std::string bytes(108, '\0');
    std::memcpy(&bytes[0], magic, std::min<size_t>(strlen(magic), 24));
    bytes[42] = 78;
    bytes[50] = 30;
    std::memcpy(&bytes[58], version.data(), std::min<size_t>(version.size() * 2, 20));
    return bytes;
}

std::string GoodSettings() {
    std::string bytes(986, '\0');
    for (size_t i = 0; i < 984; ++i) bytes[i] = (char)(i * 7);
    unsigned sum = 0;
    for (size_t i = 0; i < 984; ++i) sum += (unsigned char)bytes[i];
    bytes[984] = (char)(sum & 0xFF);
    bytes[985] = (char)((sum >> 8) & 0xFF);
    return bytes;
}

bool Exists(const TempDeviceRoot& root, const std::string& relative) {
    return std::filesystem::exists(root.Host(relative));
}

}  // namespace

TEST(SettingDateTest, StepsKeepAValidGregorianDate) {
    SYSTEMTIME t = Date(2024, 2, 29);
    EXPECT_TRUE(StepDateField(&t, 1, 1));
    EXPECT_EQ(Ymd(t), "2025-2-1");  // the page's own rule for 29 February
    t = Date(2024, 1, 31);
    EXPECT_TRUE(StepDateField(&t, 2, 1));
    EXPECT_EQ(Ymd(t), "2024-2-29");
    t = Date(2025, 1, 31);
    EXPECT_TRUE(StepDateField(&t, 2, 1));
    EXPECT_EQ(Ymd(t), "2025-2-28");
    t = Date(2024, 3, 31);
    EXPECT_TRUE(StepDateField(&t, 2, 1));
    EXPECT_EQ(Ymd(t), "2024-4-30");

    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_EQ(DaysInMonth(2100, 2), 28);
    t = Date(2099, 5, 5);
    EXPECT_FALSE(StepDateField(&t, 1, 1));
    EXPECT_EQ(t.wYear, 2099);
    t = Date(2000, 5, 5);
    EXPECT_FALSE(StepDateField(&t, 1, -1));
    t = Date(2025, 2, 28);
    EXPECT_FALSE(StepDateField(&t, 3, 1));
    t = Date(2025, 12, 1);
    EXPECT_FALSE(StepDateField(&t, 2, 1));
    EXPECT_FALSE(StepDateField(&t, 7, 1));

    t.wMinute = 1;
    EXPECT_TRUE(StepDateField(&t, 5, -1));
    EXPECT_FALSE(StepDateField(&t, 5, -1));
    EXPECT_EQ(t.wMinute, 0);
    t.wHour = 23;
    EXPECT_FALSE(StepDateField(&t, 4, 1));
    t.wSecond = 59;
    EXPECT_FALSE(StepDateField(&t, 6, 1));
}

TEST(SettingTextTest, VersionsAndTemperatureLabel) {
    WCHAR out[64];
    const BYTE codes[][2] = {{240, 10}, {241, 20}, {242, 23}, {243, 10}, {7, 0}};
    for (const auto& code : codes) {
        const BYTE firmware[4] = {code[0], 1, 2, 9};
        FormatFirmwareVersion(firmware, out, 64);
        WCHAR want[16];
        swprintf(want, 16, u"%d.%d.9", code[1] / 10, code[1] % 10);
        EXPECT_EQ(Text(out), Text(want)) << int(code[0]);
    }
    FormatHardwareVersion(u"unknown", 2.2, out, 64);
    EXPECT_EQ(Text(out), u"0.0.2.2");
    FormatHardwareVersion(u"3.1", 1.0, out, 64);
    EXPECT_EQ(Text(out), u"3.1.1.0");
    FormatSoftwareVersion(u"5.0.2.17", out, 64);
    EXPECT_EQ(Text(out), u"5.0.2.44");

    EXPECT_EQ(NextTempLimit(70), 30);
    EXPECT_EQ(NextTempLimit(45), 50);
    EXPECT_EQ(NextTempLimit(200), 55);  // out of range counts as 50
    FormatTempLimit(30, FALSE, out, 64);
    EXPECT_EQ(Text(out), u"30 \u2103");
    FormatTempLimit(45, TRUE, out, 64);
    EXPECT_EQ(Text(out), u"113 \u2109");
}

class SettingFilesTest : public DeviceRootTest {};

// The package's one header reader: a good header names a part inside the file.
TEST_F(SettingFilesTest, OnlyABoundedHeaderPasses) {
    WCHAR version[16];
    const WCHAR* path = u"\\SD Card\\QRX3FWDATA.FWD";
    auto check = [&](const std::string& bytes) {
        root.WriteFile("SD Card/QRX3FWDATA.FWD", bytes);
        return ReadUpgradeHeader(path, version, 16);
    };
    std::string good = Header("QRX2 FWDATA", u"6.0.1");
    EXPECT_TRUE(check(good));
    EXPECT_EQ(Text(version), u"6.0.1");
    EXPECT_FALSE(check(good.substr(0, 77)));
    EXPECT_EQ(version[0], 0);
    EXPECT_FALSE(check(Header("QRX2 FWDATB", u"6.0.1")));
    EXPECT_FALSE(check(Header("QRX2 FWDATAxxxxxxxxxxxxxxxxxxx", u"6.0.1")));
    EXPECT_FALSE(check(good.substr(0, 100)));  // the part runs past the end
    // A version filling its field is cut there and terminated.
    EXPECT_TRUE(check(Header("QRX2 FWDATA", u"0123456789")));
    EXPECT_EQ(Text(version), u"0123456789");
    EXPECT_FALSE(ReadUpgradeHeader(u"\\SD Card\\none.FWD", version, 16));
}

TEST_F(SettingFilesTest, LogDeletionKeepsTheRunningLog) {
    // No Log folder: nothing to delete is success.
    root.WriteFile("NAND Flash/LockDat.dat.tmp", "p");
    EXPECT_TRUE(GetFileList(u"\\SD Card", nullptr));
    EXPECT_FALSE(Exists(root, "NAND Flash/LockDat.dat.tmp"));

    root.WriteFile("SD Card/Log/A.CSV", "a");
    root.WriteFile("SD Card/Log/B.CSV", "b");
    root.WriteFile("SD Card/Log/keep.txt", "k");
    root.WriteFile("NAND Flash/LockDat.dat", "p");
    EXPECT_TRUE(GetFileList(u"\\SD Card", u"\\SD Card\\Log\\B.CSV"));
    EXPECT_FALSE(Exists(root, "SD Card/Log/A.CSV"));
    EXPECT_TRUE(Exists(root, "SD Card/Log/B.CSV"));
    EXPECT_TRUE(Exists(root, "SD Card/Log/keep.txt"));
    EXPECT_FALSE(Exists(root, "NAND Flash/LockDat.dat"));

    // A folder named like a log is no log.
    std::filesystem::create_directories(root.Host("SD Card/Log/D.CSV"));
    EXPECT_TRUE(GetFileList(u"\\SD Card", nullptr));
    EXPECT_TRUE(Exists(root, "SD Card/Log/D.CSV"));
    EXPECT_FALSE(Exists(root, "SD Card/Log/B.CSV"));
}

TEST_F(SettingFilesTest, ClearRemovesFilesAndTwins) {
    SettingsRecord settings{};
    OpModeRecord opMode{};
    settings.wLockEnable = 1;
    settings.wFrequency = 60;
    opMode.dVoltage = 12;
    for (const char* name : {"OpMode.dat", "pgmset.dat", "LockDat.dat"}) {
        root.WriteFile(std::string("NAND Flash/") + name, "x");
        root.WriteFile(std::string("NAND Flash/") + name + ".tmp", "x");
    }
    EXPECT_TRUE(ClearSettings(&settings, &opMode));
    for (const char* name : {"OpMode.dat", "pgmset.dat", "LockDat.dat"}) {
        EXPECT_FALSE(Exists(root, std::string("NAND Flash/") + name)) << name;
        EXPECT_FALSE(Exists(root, std::string("NAND Flash/") + name + ".tmp")) << name;
    }
    EXPECT_EQ(settings.wLockEnable, 0);
    EXPECT_EQ(settings.wFrequency, 60);
    EXPECT_EQ(settings.dwGraphChannel[2], 1u);
    EXPECT_EQ(opMode.dVoltage, 0.0);
}

TEST_F(SettingFilesTest, ImportTakesOnlyAWholeGoodFile) {
    std::string good = GoodSettings();
    EXPECT_TRUE(CheckSettingImage((const BYTE*)good.data(), good.size()));
    EXPECT_FALSE(CheckSettingImage((const BYTE*)good.data(), 985));
    std::string bad = good;
    bad[100] ^= 1;
    EXPECT_FALSE(CheckSettingImage((const BYTE*)bad.data(), bad.size()));

    root.WriteFile("SD Card/System/Setting.bin", bad);
    EXPECT_FALSE(ImportSettingFile(u"\\SD Card\\System\\Setting.bin"));
    EXPECT_FALSE(Exists(root, "NAND Flash/System/Setting.bin"));
    root.WriteFile("SD Card/System/Setting.bin", good + "x");
    EXPECT_FALSE(ImportSettingFile(u"\\SD Card\\System\\Setting.bin"));
    root.WriteFile("SD Card/System/Setting.bin", good);
    EXPECT_TRUE(ImportSettingFile(u"\\SD Card\\System\\Setting.bin"));
    EXPECT_EQ(root.ReadFile("NAND Flash/System/Setting.bin"), good);
    EXPECT_FALSE(ImportSettingFile(u"\\SD Card\\System\\none.bin"));
}
