#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "DeviceRoot.h"
#include "app/Settings.h"

namespace {

// A file image written field by field at the documented offsets, independent of the record structs.
struct Image {
    std::string bytes;
    explicit Image(size_t size) : bytes(size, '\0') {}
    template <class T>
    Image& Put(size_t offset, T value) {
        std::memcpy(&bytes[offset], &value, sizeof(T));
        return *this;
    }
    Image& Text(size_t offset, const std::u16string& text) {
        std::memcpy(&bytes[offset], text.data(), text.size() * 2);
        return *this;
    }
    unsigned Sum(size_t count) const {
        unsigned sum = 0;
        for (size_t i = 0; i < count; ++i) sum += static_cast<unsigned char>(bytes[i]);
        return sum;
    }
    Image& Model(const std::u16string& name) {
        std::memset(&bytes[128], 0, 128);
        return Text(128, name);
    }
    Image& Sum16(size_t count) { return Put<uint16_t>(count, static_cast<uint16_t>(Sum(count))); }
    Image& Sum8(size_t count) { return Put<uint8_t>(count, static_cast<uint8_t>(Sum(count))); }
};

template <class T>
T At(const std::string& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

Image SettingImage() {
    Image image(986);
    image.Text(0, u"QRX SETTING FILE").Text(128, u"QRX-3305L");
    image.Put<uint16_t>(256, 50).Put<int16_t>(258, 45).Put<uint16_t>(260, 80).Put<int16_t>(262, 21);
    image.Put<uint16_t>(264, 3000).Put<uint16_t>(266, 3500);
    image.Put(272, 120.0).Put(280, 50.0).Put(288, 1.5).Put(296, 0.5).Put(304, 125.0).Put(312, 55.0);
    for (int i = 0; i < 5; ++i) image.Put<uint32_t>(320 + 4 * i, i % 2);
    image.Put<uint16_t>(468, 1).Put<uint16_t>(470, 2).Put<uint16_t>(472, 1).Put<uint16_t>(474, 1);
    image.Put<uint16_t>(476, 1).Put<uint16_t>(478, 1).Put<uint16_t>(480, 1).Put<uint16_t>(488, 1);
    image.Put<uint16_t>(852, 1).Put<uint32_t>(980, 7);
    return image.Sum16(984);
}

Image OpModeImage() {
    Image image(313);
    image.Put(0, 14.4).Put(8, 12.5).Put<uint32_t>(16, 7200);
    for (int i = 0; i < 6; ++i) {
        size_t s = 24 + 48 * i;
        image.Put<uint32_t>(s, i % 2).Put(s + 8, 10.0 + i).Put(s + 16, 2.0 + i).Put<uint32_t>(s + 24, 600 * (i + 1));
        image.Put<uint32_t>(s + 28, i == 0).Put<uint8_t>(s + 32, static_cast<uint8_t>(i + 1));
        image.Put<uint16_t>(s + 34, static_cast<uint16_t>(100 + i));
    }
    return image.Sum8(312);
}

Image AutoImage(uint32_t volts, uint32_t capacity, uint32_t type, uint32_t rate) {
    Image image(17);
    image.Put(0, volts).Put(4, capacity).Put(8, type).Put(12, rate);
    return image.Sum8(16);
}

Image SerialImage(uint32_t magic, uint32_t length, char fill) {
    Image image(136);
    image.Put(0, magic).Put(4, length);
    for (size_t i = 0; i < 128; ++i) image.bytes[8 + i] = fill;
    return image;
}

const char kSettingPath[] = "NAND Flash/System/Setting.bin";
const char kOpModePath[] = "NAND Flash/OpMode.dat";

class SettingsTest : public DeviceRootTest {
protected:
    void SetUp() override {
        std::memset(&g_Settings, 0, sizeof(g_Settings));
        std::memset(&g_OpMode, 0, sizeof(g_OpMode));
        std::memset(g_szSerialText, 0, sizeof(g_szSerialText));
        g_dwLogoIndex = 0;
    }
    std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }
    SettingsRecord Defaults() {
        SettingsRecord record;
        SetDefaultSettings(&record);
        return record;
    }
};

TEST_F(SettingsTest, SettingFileFieldsAndFallbacks) {
    root.WriteFile(kSettingPath, SettingImage().bytes);
    root.WriteFile("NAND Flash/LockDat.dat", "012345");
    DWORD com = 2;
    LoadSettingFiles(&com);
    EXPECT_EQ(std::u16string(g_Settings.szModelName), u"QRX-3305L");
    EXPECT_EQ(g_Settings.wFrequency, 50);
    EXPECT_EQ(g_Settings.nBatTempLimit, 45);
    EXPECT_EQ(g_Settings.wTransTempLimit, 80);
    EXPECT_EQ(g_Settings.nHeatsinkLimit, 21);
    EXPECT_EQ(g_Settings.wLimitH6, 3500);
    EXPECT_EQ(g_Settings.dMaxVoltage, 120.0);
    EXPECT_EQ(g_Settings.dMinCurrent, 0.5);
    EXPECT_EQ(g_Settings.dCutCurrent, 55.0);
    EXPECT_EQ(g_Settings.dwGraphChannel[1], 1u);
    EXPECT_EQ(g_Settings.dwGraphChannel[4], 0u);
    EXPECT_EQ(g_Settings.wLockEnable, 1);
    EXPECT_EQ(g_Settings.wBtMode, 1);
    EXPECT_EQ(g_Settings.wUnitEnable, 1);
    EXPECT_EQ(g_Settings.wFreqShowsTrans, 1);
    EXPECT_EQ(g_Settings.dwRemoteStreaming, 0u) << "streaming never survives a load";
    EXPECT_EQ(com, 2u);
    EXPECT_FALSE(g_bModelZ330);
    EXPECT_EQ(std::u16string(g_szStorageRoot), u"\\SD Card");

    // Without the stored pattern the lock is off; a limit out of 30..70 is repaired.
    std::filesystem::remove(root.Host("NAND Flash/LockDat.dat"));
    root.WriteFile(kSettingPath, SettingImage().Put<int16_t>(258, 75).Sum16(984).bytes);
    LoadSettingFiles(nullptr);
    EXPECT_EQ(g_Settings.wLockEnable, 0);
    EXPECT_EQ(g_Settings.nBatTempLimit, 50);

    // A sum off by one, a wrong size and a missing file all give exactly the table defaults.
    SettingsRecord defaults = Defaults();
    Image bad = SettingImage();
    bad.Put<uint16_t>(984, static_cast<uint16_t>(At<uint16_t>(bad.bytes, 984) + 1));
    for (const std::string& content : {bad.bytes, SettingImage().bytes.substr(0, 985), std::string()}) {
        std::memset(&g_Settings, 0xAB, sizeof(g_Settings));
        if (content.empty())
            std::filesystem::remove(root.Host(kSettingPath));
        else
            root.WriteFile(kSettingPath, content);
        LoadSettingFiles(nullptr);
        EXPECT_EQ(Bytes(&g_Settings, 984), Bytes(&defaults, 984)) << "size " << content.size();
    }
    EXPECT_EQ(defaults.dCutVoltage, 170.0);
    EXPECT_EQ(defaults.dCutCurrent, 120.0);
    EXPECT_EQ(defaults.wFrequency, 60);
    EXPECT_EQ(std::u16string(defaults.szModelName), u"Unknown");
    EXPECT_EQ(defaults.dwGraphChannel[2], 1u);
}

TEST_F(SettingsTest, ModelSelectsPortStorageAndIndex) {
    DWORD com = 2;
    root.WriteFile(kSettingPath, SettingImage().Model(u"Z-330X").Sum16(984).bytes);
    LoadSettingFiles(&com);
    EXPECT_EQ(com, 6u);
    EXPECT_TRUE(g_bModelZ330);
    EXPECT_EQ(std::u16string(g_szStorageRoot), u"\\Hard Disk");
    DetectModel();
    EXPECT_EQ(g_nModelIndex, MODEL_QRX3301K) << "the index compares whole names";
    EXPECT_TRUE(IsModelZ330(u"Z-330X") && IsModelZ330(u"Z-330"));
    EXPECT_FALSE(IsModelZ330(u"Z-33") || IsModelZ330(u"z-330") || IsModelZ330(u"QRX-Z-330") || IsModelZ330(nullptr));

    root.WriteFile(kSettingPath, SettingImage().Model(u"Z-330").Sum16(984).bytes);
    LoadSettingFiles(&com);
    DetectModel();
    EXPECT_EQ(g_nModelIndex, MODEL_Z330);
    root.WriteFile(kSettingPath, SettingImage().Model(u"QRX-3307M").Sum16(984).bytes);
    LoadSettingFiles(&com);
    DetectModel();
    EXPECT_EQ(g_nModelIndex, MODEL_QRX3307M);
    EXPECT_FALSE(g_bModelZ330);

    static std::u16string shown;
    SetModelLabelHandler([](const WCHAR* name) { shown = name; });
    // A name filling all 64 units comes back terminated.
    root.WriteFile(kSettingPath, SettingImage().Model(std::u16string(64, u'M')).Sum16(984).bytes);
    LoadSettingFiles(&com);
    SetModelLabelHandler(nullptr);
    EXPECT_EQ(shown, std::u16string(63, u'M'));
    EXPECT_EQ(wcsnlen(g_Settings.szModelName, 64), 63u);
}

TEST_F(SettingsTest, SettingSaveRoundTripAndSafeReplace) {
    SetDefaultSettings(&g_Settings);
    std::memset(g_Settings.szSignature, 0, sizeof(g_Settings.szSignature));
    g_Settings.dMaxCurrent = 77.5;
    g_Settings.wBackLight = 1;
    std::filesystem::remove_all(root.Host("NAND Flash/System"));
    ASSERT_TRUE(SaveSettingFile());
    std::string file = root.ReadFile(kSettingPath);
    ASSERT_EQ(file.size(), 986u);
    Image check(986);
    check.bytes = file;
    EXPECT_EQ(At<uint16_t>(file, 984), static_cast<uint16_t>(check.Sum(984)));
    EXPECT_EQ(file.substr(0, 32), std::string(reinterpret_cast<const char*>(u"QRX SETTING FILE"), 32));
    EXPECT_EQ(At<double>(file, 280), 77.5);
    EXPECT_FALSE(std::filesystem::exists(root.Host(kSettingPath) + ".tmp"));

    SettingsRecord saved = g_Settings;
    std::memset(&g_Settings, 0, sizeof(g_Settings));
    LoadSettingFiles(nullptr);
    EXPECT_EQ(Bytes(&g_Settings, 984), Bytes(&saved, 984));

    // Power lost after the old file was removed: the completed twin is taken.
    std::filesystem::rename(root.Host(kSettingPath), root.Host(kSettingPath) + ".tmp");
    std::memset(&g_Settings, 0, sizeof(g_Settings));
    LoadSettingFiles(nullptr);
    EXPECT_EQ(g_Settings.dMaxCurrent, 77.5);
    EXPECT_TRUE(std::filesystem::exists(root.Host(kSettingPath)));
    // Power lost while the twin was written: the old file stands.
    root.WriteFile(std::string(kSettingPath) + ".tmp", file.substr(0, 100));
    LoadSettingFiles(nullptr);
    EXPECT_EQ(g_Settings.dMaxCurrent, 77.5);
    g_Settings.dMaxCurrent = 60.0;
    ASSERT_TRUE(SaveSettingFile());
    EXPECT_EQ(At<double>(root.ReadFile(kSettingPath), 280), 60.0);

    // A file left read-only (by a copy from a card) is still replaced.
    ASSERT_TRUE(SetFileAttributesW(u"\\NAND Flash\\System\\Setting.bin", FILE_ATTRIBUTE_READONLY));
    ASSERT_FALSE(DeleteFileW(u"\\NAND Flash\\System\\Setting.bin")) << "the attribute holds";
    g_Settings.dMaxCurrent = 42.0;
    EXPECT_TRUE(SaveSettingFile());
    EXPECT_EQ(At<double>(root.ReadFile(kSettingPath), 280), 42.0);
}

TEST_F(SettingsTest, OpModeLayoutsSumsAndConversion) {
    root.WriteFile(kOpModePath, OpModeImage().bytes);
    LoadSettingFiles(nullptr);
    EXPECT_EQ(g_OpMode.dVoltage, 14.4);
    EXPECT_EQ(g_OpMode.dwTime, 7200u);
    EXPECT_EQ(g_OpMode.steps[1].dwEnable, 1u);
    EXPECT_EQ(g_OpMode.steps[2].dVoltage, 12.0);
    EXPECT_EQ(g_OpMode.steps[3].dCurrent, 5.0);
    EXPECT_EQ(g_OpMode.steps[5].dwTime, 3600u);
    EXPECT_EQ(g_OpMode.steps[0].dwDirection, 1u);
    EXPECT_EQ(g_OpMode.steps[4].byKind, 5);
    EXPECT_EQ(g_OpMode.steps[4].wCapacity, 104);

    // A bad sum gives the zero record and leaves the file as it was.
    Image bad = OpModeImage();
    bad.bytes[312] = static_cast<char>(bad.bytes[312] + 1);
    root.WriteFile(kOpModePath, bad.bytes);
    LoadSettingFiles(nullptr);
    EXPECT_EQ(Bytes(&g_OpMode, 313), std::string(313, '\0'));
    EXPECT_EQ(root.ReadFile(kOpModePath), bad.bytes);

    // The older 265-byte form is converted and stored in the current form with capacity 0.
    Image old(265);
    old.Put(0, 13.8).Put(8, 4.0).Put<uint32_t>(16, 3600);
    for (int i = 0; i < 6; ++i) {
        size_t s = 24 + 40 * i;
        old.Put<uint32_t>(s, 1).Put<uint32_t>(s + 4, 0xFFFFFFFF).Put(s + 8, 20.0 + i).Put(s + 16, 1.0 + i);
        old.Put<uint32_t>(s + 24, 60 * (i + 1)).Put<uint32_t>(s + 28, i == 3).Put<uint8_t>(s + 32, 9);
        old.Put<uint8_t>(s + 34, 0xEE);
    }
    root.WriteFile(kOpModePath, old.Sum8(264).bytes);
    LoadSettingFiles(nullptr);
    std::string file = root.ReadFile(kOpModePath);
    ASSERT_EQ(file.size(), 313u);
    Image converted(313);
    converted.bytes = file;
    EXPECT_EQ(static_cast<unsigned char>(file[312]), converted.Sum(312) & 0xFF);
    EXPECT_EQ(At<double>(file, 0), 13.8);
    for (int i = 0; i < 6; ++i) {
        size_t s = 24 + 48 * i;
        EXPECT_EQ(At<uint32_t>(file, s), 1u);
        EXPECT_EQ(At<uint32_t>(file, s + 4), 0u);
        EXPECT_EQ(At<double>(file, s + 8), 20.0 + i);
        EXPECT_EQ(At<uint32_t>(file, s + 24), 60u * (i + 1));
        EXPECT_EQ(At<uint32_t>(file, s + 28), i == 3 ? 1u : 0u);
        EXPECT_EQ(static_cast<unsigned char>(file[s + 32]), 9);
        EXPECT_EQ(At<uint16_t>(file, s + 34), 0u);
        EXPECT_EQ(file.substr(s + 36, 12), std::string(12, '\0'));
    }

    // An old file with a bad sum and a file of any other size are replaced by the zero record.
    for (size_t size : {265u, 100u}) {
        Image other(size);
        for (size_t i = 0; i < size; ++i) other.bytes[i] = static_cast<char>(i * 7 + 3);
        root.WriteFile(kOpModePath, other.bytes);
        LoadSettingFiles(nullptr);
        EXPECT_EQ(Bytes(&g_OpMode, 312), std::string(312, '\0'));
        EXPECT_EQ(root.ReadFile(kOpModePath), std::string(313, '\0')) << size;
    }
    std::filesystem::remove(root.Host(kOpModePath));
    LoadSettingFiles(nullptr);
    EXPECT_FALSE(std::filesystem::exists(root.Host(kOpModePath)));

    g_OpMode.steps[2].wCapacity = 250;
    ASSERT_TRUE(SaveOpModeFile());
    g_OpMode.steps[2].wCapacity = 0;
    LoadSettingFiles(nullptr);
    EXPECT_EQ(g_OpMode.steps[2].wCapacity, 250);
}

TEST_F(SettingsTest, AutoRecordLimitsAndDefaults) {
    const char path[] = "NAND Flash/auto.dat";
    root.WriteFile(path, AutoImage(120, 2000, 3, 2).bytes);
    LoadAutoFile();
    EXPECT_EQ(g_AutoRecord.dwVoltage, 96u);
    EXPECT_EQ(g_AutoRecord.dwCapacity, 1000u);
    EXPECT_EQ(g_AutoRecord.dwType, 0u);
    EXPECT_EQ(g_AutoRecord.dwRate, 2u);

    // Values no auto program can divide by or name are brought into range.
    root.WriteFile(path, AutoImage(0, 0, 1, 9).bytes);
    LoadAutoFile();
    EXPECT_EQ(g_AutoRecord.dwVoltage, 2u);
    EXPECT_EQ(g_AutoRecord.dwCapacity, 5u);
    EXPECT_EQ(g_AutoRecord.dwType, 1u);
    EXPECT_EQ(g_AutoRecord.dwRate, 0u);

    Image bad = AutoImage(48, 100, 1, 1);
    bad.bytes[16] = static_cast<char>(bad.bytes[16] ^ 1);
    g_dwLogoIndex = 2;
    root.WriteFile(path, bad.bytes);
    LoadAutoFile();
    EXPECT_EQ(g_AutoRecord.dwVoltage, 2u);
    EXPECT_EQ(g_AutoRecord.dwCapacity, 5u);
    EXPECT_EQ(g_AutoRecord.dwRate, 1u) << "logo 2 defaults to C6";
    g_dwLogoIndex = 0;
    root.WriteFile(path, AutoImage(48, 100, 1, 1).bytes.substr(0, 16));
    LoadAutoFile();
    EXPECT_EQ(g_AutoRecord.dwRate, 0u);

    g_AutoRecord.dwVoltage = 24;
    g_AutoRecord.dwCapacity = 150;
    ASSERT_TRUE(SaveAutoFile());
    EXPECT_EQ(root.ReadFile(path), AutoImage(24, 150, 0, 0).bytes);
    std::filesystem::remove(root.Host(path));
    LoadAutoFile();
    EXPECT_EQ(g_AutoRecord.dwVoltage, 24u) << "a missing file keeps the record";
}

TEST_F(SettingsTest, SerialTextIsBoundedAndTerminated) {
    const char path[] = "NAND Flash/Serial.bin";
    char text[SERIAL_TEXT_MAX + 1];
    root.WriteFile(path, SerialImage(SERIAL_MAGIC, 128, 'S').bytes);
    EXPECT_EQ(LoadSerialFile(text, sizeof(text)), 128u);
    EXPECT_EQ(std::strlen(text), 128u);
    LoadSettingFiles(nullptr);
    EXPECT_EQ(std::string(g_szSerialText), std::string(128, 'S'));
    char small[5];
    EXPECT_EQ(LoadSerialFile(small, sizeof(small)), 4u);
    EXPECT_STREQ(small, "SSSS");

    for (const std::string& content :
         {SerialImage(SERIAL_MAGIC, 129, 'S').bytes, SerialImage(0x22077919, 5, 'S').bytes,
          SerialImage(SERIAL_MAGIC, 5, 'S').bytes.substr(0, 135), SerialImage(SERIAL_MAGIC, 5, 'S').bytes + "x"}) {
        root.WriteFile(path, content);
        std::memset(text, 'x', sizeof(text));
        EXPECT_EQ(LoadSerialFile(text, sizeof(text)), 0u);
        EXPECT_EQ(text[0], 0);
    }

    EXPECT_TRUE(SaveSerialFile("QRX-2024-0042", 13));
    std::string file = root.ReadFile(path);
    EXPECT_EQ(file, SerialImage(SERIAL_MAGIC, 13, '\0').bytes.replace(8, 13, "QRX-2024-0042"));
    EXPECT_EQ(LoadSerialFile(text, sizeof(text)), 13u);
    EXPECT_STREQ(text, "QRX-2024-0042");
    EXPECT_FALSE(SaveSerialFile(std::string(129, 'A').c_str(), 129));
    EXPECT_EQ(root.ReadFile(path), file);
}

TEST_F(SettingsTest, SmallFilesTempCalCompanyAndCalibration) {
    WORD cal[2] = {};
    LoadTempCalFile(cal);
    EXPECT_EQ(cal[0], 45);
    EXPECT_EQ(cal[1], 683);
    root.WriteFile("NAND Flash/temp_cal.dat", std::string("\x10\x00\x20", 3));
    cal[0] = cal[1] = 0;
    LoadTempCalFile(cal);
    EXPECT_EQ(cal[0], 45);
    EXPECT_EQ(cal[1], 683);
    root.WriteFile("NAND Flash/temp_cal.dat", std::string("\x10\x00\x20\x01", 4));
    LoadTempCalFile(cal);
    EXPECT_EQ(cal[0], 0x10);
    EXPECT_EQ(cal[1], 0x120);

    static DWORD shown = 99;
    SetCompanyLogoHandler([](DWORD index) { shown = index; });
    LoadCompanyInfo();
    EXPECT_EQ(g_dwLogoIndex, 0u);
    EXPECT_EQ(shown, 0u);
    ASSERT_TRUE(SaveCompanyInfo(3));
    EXPECT_EQ(root.ReadFile("NAND Flash/COMPANY_INFO.dat"), std::string("\x03\x00\x00\x00", 4));
    LoadCompanyInfo();
    EXPECT_EQ(shown, 3u);
    root.WriteFile("NAND Flash/COMPANY_INFO.dat", std::string("\x07\x00\x00\x00", 4));
    LoadCompanyInfo();
    EXPECT_EQ(g_dwLogoIndex, 0u);
    root.WriteFile("NAND Flash/COMPANY_INFO.dat", std::string("\x02\x00", 2));
    LoadCompanyInfo();
    EXPECT_EQ(shown, 0u);
    SetCompanyLogoHandler(nullptr);

    ASSERT_TRUE(SaveCalibrationFile(u"12 34"));
    std::string file = root.ReadFile("NAND Flash/calibration.dat");
    ASSERT_EQ(file.size(), 4u + 10u);
    EXPECT_EQ(At<uint32_t>(file, 0), static_cast<uint32_t>(u'1' + u'2' + u' ' + u'3' + u'4'));
    EXPECT_EQ(file.substr(4), std::string(reinterpret_cast<const char*>(u"12 34"), 10));
}

TEST_F(SettingsTest, AnyContentOfAnySizeLoadsSafely) {
    std::mt19937 random(1234);
    auto noise = [&](size_t size) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        return bytes;
    };
    const size_t sizes[] = {0, 1, 2, 3, 4, 5, 16, 17, 18, 135, 136, 137, 264, 265, 266, 312, 313, 314, 985, 986, 987, 4096};
    for (size_t size : sizes) {
        std::string bytes = noise(size);
        for (const char* path : {kSettingPath, kOpModePath, "NAND Flash/auto.dat", "NAND Flash/Serial.bin",
                                 "NAND Flash/temp_cal.dat", "NAND Flash/COMPANY_INFO.dat"})
            root.WriteFile(path, bytes);
        LoadSettingFiles(nullptr);
        LoadAutoFile();
        LoadCompanyInfo();
        WORD cal[2];
        LoadTempCalFile(cal);
        EXPECT_LT(wcsnlen(g_Settings.szModelName, 64), 64u);
        EXPECT_LT(g_dwLogoIndex, 5u);
        EXPECT_LE(std::strlen(g_szSerialText), 128u);
    }
    // Good sums over hostile contents: texts end, numbers stay numbers.
    Image nan = SettingImage();
    nan.Text(0, std::u16string(64, u'S')).Text(128, std::u16string(64, u'N')).Put(304, std::nan(""));
    root.WriteFile(kSettingPath, nan.Sum16(984).bytes);
    Image steps = OpModeImage();
    steps.Put(24 + 8, HUGE_VAL).Put(8, -std::nan(""));
    root.WriteFile(kOpModePath, steps.Sum8(312).bytes);
    root.WriteFile("NAND Flash/Serial.bin", SerialImage(SERIAL_MAGIC, 128, '\xFF').bytes);
    LoadSettingFiles(nullptr);
    EXPECT_EQ(g_Settings.szSignature[63], 0);
    EXPECT_EQ(g_Settings.dCutVoltage, 170.0);
    EXPECT_EQ(g_OpMode.dCurrent, 0.0);
    EXPECT_EQ(g_OpMode.steps[0].dVoltage, 0.0);
    EXPECT_EQ(g_OpMode.steps[1].dVoltage, 11.0);
    EXPECT_EQ(g_szSerialText[128], 0);
}

}  // namespace
