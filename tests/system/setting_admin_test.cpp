// The setting and admin pages of the real main program with the simulated MCU, driven by taps.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"

using namespace system_harness;

namespace {

// Screen points: the pages stand at 0,61, the popup at 210,84, the language list at 200,72.
constexpr POINT kSetting{565, 322}, kHour{256, 283}, kUp{80, 333}, kDown{202, 333}, kApply{338, 333}, kLock{690, 205};
constexpr POINT kTempLimit{690, 367}, kLanguage{690, 313}, kCalibrate{690, 97}, kUpgrade{690, 421};
constexpr POINT kKorean{493, 118}, kListOk{315, 424}, kPopupOk{400, 326}, kQuestionOk{315, 326};
constexpr POINT kHiddenLeft{20, 20}, kHiddenRight{780, 20}, kTopHome{44, 30};
constexpr POINT kDelLogs{690, 97}, kClear{690, 157}, kTrimset{690, 217}, kPairpad{690, 277}, kGetSetting{690, 337};
constexpr POINT kFrequency{114, 421};
constexpr POINT kTargets[5] = {{400, 240}, {100, 60}, {100, 420}, {700, 420}, {700, 60}};
constexpr RECT kPage{0, 61, 800, 480}, kPopup{210, 84, 590, 364}, kClock{696, 19, 796, 43};
// The admin page's lines that the operation thread refreshes each second.
constexpr RECT kMeasured{230, 240, 570, 390};

class QrxPagesTest : public ::testing::Test {
protected:
    void Start(const std::function<void()>& prepare = nullptr) {
        std::string why;
        ASSERT_TRUE(device.Start(why, prepare)) << why;
        // Start-up is over once the limit went to the MCU.
        ASSERT_TRUE(WaitUntil([&] { return Log().find("CmdSetTempLimit") != std::string::npos; }));
    }
    std::string Log() const { return Slurp(device.McuLogPath()); }
    size_t Polls() const {
        size_t n = 0;
        const std::string log = Log();
        for (size_t at = log.find("GetCurrentStatus"); at != std::string::npos; at = log.find("GetCurrentStatus", at + 1))
            ++n;
        return n;
    }
    bool PageShown() const { return device.Shown("WDSHELL_PANEL", kPage); }
    bool PopupShown() const { return device.Shown("WDSHELL_PANEL", kPopup); }
    void TapAndConfirm(POINT at) {
        ASSERT_TRUE(device.Tap(at.x, at.y));
        ASSERT_TRUE(WaitUntil([&] { return PopupShown(); })) << device.WindowText();
        ASSERT_TRUE(device.Tap(kPopupOk.x, kPopupOk.y));
        ASSERT_TRUE(WaitUntil([&] { return !PopupShown(); }));
    }
    bool Exists(const std::string& relative) const { return std::filesystem::exists(root.Host(relative)); }
    bool InDebugLog(const std::string& text) const { return root.DebugMessages().find(text) != std::string::npos; }

    TempDeviceRoot root;
    QrxDevice device{root};
};

class QrxSettingTest : public QrxPagesTest {
protected:
    void Open() {
        ASSERT_TRUE(device.Tap(kSetting.x, kSetting.y));
        ASSERT_TRUE(WaitUntil([&] { return PageShown(); })) << device.WindowText();
    }
};

class QrxAdminTest : public QrxPagesTest {
protected:
    void Open() {
        ASSERT_TRUE(device.Taps({kHiddenLeft, kHiddenRight, kHiddenLeft, kHiddenLeft, kHiddenRight, kHiddenRight,
                                 kHiddenRight}));
        ASSERT_TRUE(WaitUntil([&] { return PageShown(); })) << device.WindowText();
    }
};

std::string GoodSettings(const char16_t* model, WORD frequency) {
    SettingsRecord record{};
    SetDefaultSettings(&record);
    std::memset(record.szModelName, 0, sizeof record.szModelName);
    std::memcpy(record.szModelName, model, std::char_traits<char16_t>::length(model) * 2);
    record.wFrequency = frequency;
    std::string bytes(reinterpret_cast<const char*>(&record), sizeof record);
    const WORD sum = SettingsSum(&record, sizeof record);
    return bytes + static_cast<char>(sum & 0xFF) + static_cast<char>(sum >> 8);
}

}  // namespace

TEST_F(QrxSettingTest, ClockLockLimitLanguageAndCalibrationByTaps) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(Open());
    RgbPicture before, after;
    ASSERT_TRUE(device.SettledShot(before, "setting.png", {kClock}));
    SYSTEMTIME was;
    GetSystemTime(&was);
    // The device clock one hour on (back at 23, where the field stops).
    ASSERT_TRUE(device.Taps({kHour, was.wHour == 23 ? kDown : kUp, kApply}));
    ASSERT_TRUE(WaitUntil([&] {
        SYSTEMTIME now;
        GetSystemTime(&now);
        return now.wHour != was.wHour;
    }));
    // The top bar's clock shows the new hour.
    ASSERT_TRUE(WaitUntil([&] {
        return device.Shot(after) && DifferentPixels(before, after, 0, {{0, 61, 800, 480}, {0, 0, 696, 61}}) > 0;
    }));

    // No stored pattern: the lock stays off with its message.
    ASSERT_NO_FATAL_FAILURE(TapAndConfirm(kLock));
    // 50 -> 55 ... 70 -> 30: the MCU gets each limit.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(device.Tap(kTempLimit.x, kTempLimit.y));
    EXPECT_TRUE(WaitUntil([&] { return Log().find("CmdSetTempLimit 3000") != std::string::npos; })) << Log();

    ASSERT_TRUE(device.Tap(kLanguage.x, kLanguage.y));
    ASSERT_TRUE(WaitUntil([&] { return device.Shown("WDSHELL_PANEL", {200, 72, 600, 464}); })) << device.WindowText();
    ASSERT_TRUE(device.Taps({kKorean, kListOk}));
    EXPECT_TRUE(WaitUntil([&] { return root.ReadFile("NAND Flash/language.dat") == std::string(1, '\1'); }));

    ASSERT_TRUE(device.Tap(kCalibrate.x, kCalibrate.y));
    ASSERT_TRUE(device.WaitForWindow("QrxTouchCalibrate")) << device.WindowText();
    RgbPicture target;
    ASSERT_TRUE(device.Shot(target, "calibration.png"));
    for (const POINT& p : kTargets) ASSERT_TRUE(device.Tap(p.x, p.y));
    EXPECT_TRUE(WaitUntil([&] { return Exists("NAND Flash/calibration.dat"); }));
    EXPECT_TRUE(WaitUntil([&] { return !device.Shown("QrxTouchCalibrate", {0, 0, 800, 480}); }));
}

TEST_F(QrxSettingTest, AnUpgradeStartsReflashWithTheLanguageOrTheMcuIsPolledAgain) {
    ASSERT_NO_FATAL_FAILURE(Start([&] {
        std::string package(108, '\0');
        package.replace(0, 11, "QRX2 FWDATA");
        package[42] = 78;
        package[50] = 30;
        root.WriteFile("SD Card/QRX3FWDATA.FWD", package);
        // The installed upgrader would take over the device: this test starts stand-ins.
        std::filesystem::remove(root.Host("Windows/Reflash.exe"));
    }));
    ASSERT_NO_FATAL_FAILURE(Open());
    // Without Reflash the port is taken back.
    ASSERT_TRUE(device.Tap(kUpgrade.x, kUpgrade.y));
    ASSERT_TRUE(WaitUntil([&] { return PopupShown(); })) << device.WindowText();
    ASSERT_TRUE(device.Tap(kQuestionOk.x, kQuestionOk.y));
    ASSERT_TRUE(WaitUntil([&] { return InDebugLog("Reflash not started"); })) << root.DebugMessages();
    const size_t polls = Polls();
    EXPECT_TRUE(WaitUntil([&] { return Polls() > polls + 1; }));

    root.WriteFile("SD Card/Reflash.exe", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + root.Host("reflash.arg") + "\"\n");
    std::filesystem::permissions(root.Host("SD Card/Reflash.exe"), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    ASSERT_TRUE(device.Tap(kUpgrade.x, kUpgrade.y));
    ASSERT_TRUE(WaitUntil([&] { return PopupShown(); })) << device.WindowText();
    ASSERT_TRUE(device.Tap(kQuestionOk.x, kQuestionOk.y));
    EXPECT_TRUE(WaitUntil([&] { return root.ReadFile("reflash.arg") == "0"; }));
}

TEST_F(QrxAdminTest, LogsSettingsAndFrequencyByTaps) {
    ASSERT_NO_FATAL_FAILURE(Start([&] {
        root.WriteFile("SD Card/Log/20260101_120000.CSV", "row\r\n");
        for (const char* name : {"pgmset.dat", "LockDat.dat"}) {
            root.WriteFile(std::string("NAND Flash/") + name, "x");
            root.WriteFile(std::string("NAND Flash/") + name + ".tmp", "x");
        }
    }));
    ASSERT_NO_FATAL_FAILURE(Open());
    RgbPicture page;
    ASSERT_TRUE(device.SettledShot(page, "admin.png", {kMeasured}));
    ASSERT_NO_FATAL_FAILURE(TapAndConfirm(kDelLogs));
    EXPECT_FALSE(Exists("SD Card/Log/20260101_120000.CSV"));
    // Nothing left to delete is no failure either.
    ASSERT_NO_FATAL_FAILURE(TapAndConfirm(kDelLogs));
    ASSERT_NO_FATAL_FAILURE(TapAndConfirm(kClear));
    for (const char* name : {"pgmset.dat", "pgmset.dat.tmp", "LockDat.dat", "LockDat.dat.tmp"})
        EXPECT_FALSE(Exists(std::string("NAND Flash/") + name)) << name;

    // The frequency line changes at once; leaving saves the setting.
    RgbPicture before, now;
    ASSERT_TRUE(device.SettledShot(before, "frequency.png", {kMeasured}));
    ASSERT_TRUE(device.Tap(kFrequency.x, kFrequency.y));
    ASSERT_TRUE(WaitUntil([&] { return device.Shot(now) && DifferentPixels(before, now, 0, {{0, 0, 800, 417}}) > 0; }));
    ASSERT_TRUE(device.Tap(kTopHome.x, kTopHome.y));
    EXPECT_TRUE(WaitUntil([&] { return !PageShown(); })) << device.WindowText();
    EXPECT_TRUE(WaitUntil([&] {
        const std::string saved = root.ReadFile("NAND Flash/System/Setting.bin");
        return saved.size() == 986 && static_cast<unsigned char>(saved[256]) == 50;
    }));
}

TEST_F(QrxAdminTest, ImportAndServiceToolsWithoutTheirPrograms) {
    ASSERT_NO_FATAL_FAILURE(Start([&] {
        std::filesystem::remove(root.Host("Windows/Trimset.exe"));
        std::filesystem::remove(root.Host("Windows/Pairpad.exe"));
    }));
    ASSERT_NO_FATAL_FAILURE(Open());
    const std::string stored = root.ReadFile("NAND Flash/System/Setting.bin");
    std::string bad = GoodSettings(u"QRX-3307M", 50);
    bad[400] ^= 1;
    root.WriteFile("SD Card/System/Setting.bin", bad);
    ASSERT_NO_FATAL_FAILURE(TapAndConfirm(kGetSetting));
    EXPECT_EQ(root.ReadFile("NAND Flash/System/Setting.bin"), stored);
    const std::string good = GoodSettings(u"QRX-3307M", 50);
    root.WriteFile("SD Card/System/Setting.bin", good);
    ASSERT_NO_FATAL_FAILURE(TapAndConfirm(kGetSetting));
    EXPECT_EQ(root.ReadFile("NAND Flash/System/Setting.bin"), good);

    ASSERT_TRUE(device.Tap(kTrimset.x, kTrimset.y));
    ASSERT_TRUE(WaitUntil([&] { return InDebugLog("[ADMIN]Trimset not started"); })) << root.DebugMessages();
    const size_t polls = Polls();
    EXPECT_TRUE(WaitUntil([&] { return Polls() > polls + 1; }));
    ASSERT_TRUE(device.Tap(kPairpad.x, kPairpad.y));
    EXPECT_TRUE(WaitUntil([&] { return InDebugLog("[ADMIN]Pairpad not started"); })) << root.DebugMessages();
    EXPECT_TRUE(PageShown());
}
