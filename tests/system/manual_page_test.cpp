// The manual page of the real main program with the simulated MCU: the page keypad, the keypad popup
// of Numpad.dll, a held arrow, RESTORATION and the way back.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"

using namespace system_harness;

namespace {

// Screen points: shell 4 stands at 0,61.
constexpr POINT kOperation{235, 322}, kTopManual{128, 30}, kTopHome{44, 30};
constexpr POINT kVoltBox{91, 117}, kAmpBox{91, 207}, kAmpUp{490, 207};
constexpr POINT kEnter{635, 393}, kCalc{752, 393}, kRestoration{96, 393}, kPopupOk{400, 326};
constexpr RECT kPage{0, 61, 800, 480}, kAmpText{262, 169, 442, 245};
constexpr RECT kKeypad{268, 58, 533, 422}, kPopup{210, 84, 590, 364};

POINT PageKey(char k) {
    if (k == '.') return {596, 321};
    if (k == '0') return {674, 321};
    const int n = k - '1';
    return {560 + n % 3 * 78 + 36, 61 + 18 + n / 3 * 70 + 32};
}

POINT PadKey(char k) {
    static const RECT keys[] = {{8, 300, 70, 358},   {8, 239, 70, 297},   {71, 239, 133, 297}, {134, 239, 196, 297},
                                {8, 179, 70, 237},   {71, 179, 133, 237}, {134, 179, 196, 237}, {8, 119, 70, 177},
                                {71, 119, 133, 177}, {134, 119, 196, 177}, {8, 59, 70, 117}};
    const RECT& r = keys[k == 'I' ? 10 : k - '0'];
    return {kKeypad.left + (r.left + r.right) / 2, kKeypad.top + (r.top + r.bottom) / 2};
}

std::vector<POINT> Keys(const std::string& keys, POINT (*at)(char)) {
    std::vector<POINT> points;
    for (char k : keys) points.push_back(at(k));
    return points;
}

std::vector<uint8_t> Region(const RgbPicture& p, const RECT& r) {
    std::vector<uint8_t> out;
    for (LONG y = r.top; y < r.bottom; ++y)
        out.insert(out.end(), p.At(r.left, y), p.At(r.left, y) + 3 * (r.right - r.left));
    return out;
}

class QrxManualTest : public ::testing::Test {
protected:
    int PanelsShown() const {
        int n = 0;
        for (const ScreenWindow& w : device.Windows())
            n += w.visible && w.className == "WDSHELL_PANEL" && w.rect.left == kPage.left && w.rect.top == kPage.top &&
                 w.rect.right == kPage.right && w.rect.bottom == kPage.bottom;
        return n;
    }
    bool Visible(const std::string& title, const RECT& r) const {
        for (const ScreenWindow& w : device.Windows())
            if (w.visible && w.title == title && w.rect.left == r.left && w.rect.top == r.top &&
                w.rect.right == r.right && w.rect.bottom == r.bottom)
                return true;
        return false;
    }
    bool PopupShown() const { return device.Shown("WDSHELL_PANEL", kPopup); }
    // The current box's picture once two shots agree.
    std::vector<uint8_t> AmpText() {
        RgbPicture shot;
        return device.SettledShot(shot, "amp.png") ? Region(shot, kAmpText) : std::vector<uint8_t>();
    }
    void TypeAmps(const std::string& amps) {
        ASSERT_TRUE(device.Tap(kAmpBox.x, kAmpBox.y));
        ASSERT_TRUE(device.Taps(Keys(amps, PageKey)));
        ASSERT_TRUE(device.Tap(kEnter.x, kEnter.y));
        ASSERT_TRUE(device.Tap(kAmpBox.x, kAmpBox.y));  // focus off: the plain look
    }

    TempDeviceRoot root;
    QrxDevice device{root};
};

TEST_F(QrxManualTest, TypedCalculatedAndHeldValuesStartARestoration) {
    std::string why;
    ASSERT_TRUE(device.Start(why, [] {
        SetDefaultSettings(&g_Settings);
        g_Settings.dMinVoltage = 2;
        g_Settings.dMaxVoltage = 15;
        g_Settings.dMinCurrent = 1;
        g_Settings.dMaxCurrent = 30;
        ASSERT_TRUE(SaveSettingFile());
        g_OpMode = OpModeRecord{};
        g_OpMode.dVoltage = 12;
        g_OpMode.dCurrent = 5;
        g_OpMode.dwTime = 3600;
        ASSERT_TRUE(SaveOpModeFile());
    })) << why;
    ASSERT_TRUE(WaitUntil([&] { return Slurp(device.McuLogPath()).find("CmdSetTempLimit") != std::string::npos; }));
    ASSERT_TRUE(device.Tap(kOperation.x, kOperation.y));
    ASSERT_TRUE(WaitUntil([&] { return PanelsShown() == 1; })) << device.WindowText();
    // The top bar shows with its page's buttons after the page: tap once the program is idle.
    ASSERT_TRUE(device.Idle());
    ASSERT_TRUE(device.Tap(kTopManual.x, kTopManual.y));
    ASSERT_TRUE(WaitUntil([&] { return PanelsShown() == 2; })) << device.WindowText();

    // Voltage box, 1 3 . 5, Enter; then the keypad popup: 1 4 Ins. gives 14.0.
    ASSERT_TRUE(device.Tap(kVoltBox.x, kVoltBox.y));
    ASSERT_TRUE(device.Taps(Keys("13.5", PageKey)));
    ASSERT_TRUE(device.Tap(kEnter.x, kEnter.y));
    ASSERT_TRUE(device.Tap(kCalc.x, kCalc.y));
    ASSERT_TRUE(WaitUntil([&] { return Visible("POPUP_DIALOG", kKeypad); })) << device.WindowText();
    ASSERT_TRUE(device.Taps(Keys("14I", PadKey)));
    ASSERT_TRUE(WaitUntil([&] { return !Visible("POPUP_DIALOG", kKeypad); }));
    // An answer out of range: the range message, the value stays.
    ASSERT_TRUE(device.Tap(kCalc.x, kCalc.y));
    ASSERT_TRUE(WaitUntil([&] { return Visible("POPUP_DIALOG", kKeypad); }));
    ASSERT_TRUE(device.Taps(Keys("20I", PadKey)));
    ASSERT_TRUE(WaitUntil([&] { return PopupShown(); })) << device.WindowText();
    ASSERT_TRUE(device.Tap(kPopupOk.x, kPopupOk.y));
    ASSERT_TRUE(WaitUntil([&] { return !PopupShown(); }));

    // A held arrow stops at the maximum: the box looks as it does with 30 typed.
    TypeAmps("30");
    const std::vector<uint8_t> atMaximum = AmpText();
    ASSERT_FALSE(atMaximum.empty());
    TypeAmps("5");
    ASSERT_NE(AmpText(), atMaximum);
    ASSERT_TRUE(device.Command("press " + std::to_string(kAmpUp.x) + " " + std::to_string(kAmpUp.y)));
    EXPECT_TRUE(WaitUntil([&] {
        RgbPicture shot;
        return device.Shot(shot) && Region(shot, kAmpText) == atMaximum;
    }));
    ASSERT_TRUE(device.Command("release " + std::to_string(kAmpUp.x) + " " + std::to_string(kAmpUp.y)));
    EXPECT_EQ(AmpText(), atMaximum);

    // RESTORATION: the record's head is saved and the set values reach the MCU.
    ASSERT_TRUE(device.Tap(kRestoration.x, kRestoration.y));
    // The set values are sent one command after another: wait for both.
    EXPECT_TRUE(WaitUntil([&] {
        const std::string log = Slurp(device.McuLogPath());
        return log.find("CmdSet10 1400") != std::string::npos && log.find("CmdSet11 3000") != std::string::npos;
    })) << Slurp(device.McuLogPath());
    OpModeRecord saved{};
    ASSERT_TRUE(WaitUntil([&] {
        const std::string bytes = Slurp(root.Host("NAND Flash/OpMode.dat"));
        if (bytes.size() < sizeof saved) return false;
        std::memcpy(&saved, bytes.data(), sizeof saved);
        return saved.dVoltage == 14.0;
    }));
    EXPECT_EQ(saved.dCurrent, 30.0);
    EXPECT_EQ(saved.dwTime, 3600u);
    EXPECT_EQ(PanelsShown(), 1);

    // Back from the manual page: the operation page and its top bar.
    ASSERT_TRUE(device.Tap(kTopManual.x, kTopManual.y));
    ASSERT_TRUE(WaitUntil([&] { return PanelsShown() == 2; })) << device.WindowText();
    ASSERT_TRUE(device.Tap(kTopHome.x, kTopHome.y));
    EXPECT_TRUE(WaitUntil([&] { return PanelsShown() == 1; })) << device.WindowText();
}

}  // namespace
