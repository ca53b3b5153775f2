// The program and auto pages of the real main program with the simulated MCU: a step edited and
// saved by taps, loaded again after a restart, OK and the auto program's OK starting runs, and the
// admin page's clear.
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

// Screen points: the pages stand at 0,61.
constexpr POINT kOperation{235, 322}, kTopProgram{296, 30}, kTopAuto{212, 30}, kStop{301, 447};
constexpr POINT kRow1{79, 93}, kEnable1{180, 93}, kSave{453, 419}, kSlot5{353, 419}, kOk{584, 419};
constexpr POINT kVoltBox{82, 100}, kAmpBox{82, 166}, kTimeBox{82, 232}, kKindBox{82, 364}, kEnter{609, 364}, kEditorOk{585, 436};
constexpr POINT kCalc{145, 439}, kAutoOk{584, 439}, kPopupOk{400, 326};
constexpr RECT kPage{0, 61, 800, 480}, kRows{0, 61, 800, 371}, kResults{288, 61, 800, 395};
constexpr RECT kPopup{210, 84, 590, 364};

POINT EditorKey(char k) {
    if (k == '.') return {563, 298};
    if (k == '0') return {655, 298};
    const int n = k - '1';
    return {563 + n % 3 * 92, 100 + n / 3 * 66};
}

std::vector<uint8_t> Region(const RgbPicture& p, const RECT& r) {
    std::vector<uint8_t> out;
    for (LONG y = r.top; y < r.bottom; ++y)
        out.insert(out.end(), p.At(r.left, y), p.At(r.left, y) + 3 * (r.right - r.left));
    return out;
}

template <class T>
bool ReadRecord(const std::string& path, T& record) {
    const std::string bytes = Slurp(path);
    if (bytes.size() != sizeof record) return false;
    std::memcpy(&record, bytes.data(), sizeof record);
    return true;
}

class QrxProgramTest : public ::testing::Test {
protected:
    int PanelsShown() const {
        int n = 0;
        for (const ScreenWindow& w : device.Windows())
            n += w.visible && w.className == "WDSHELL_PANEL" && w.rect.left == kPage.left && w.rect.top == kPage.top &&
                 w.rect.right == kPage.right && w.rect.bottom == kPage.bottom;
        return n;
    }
    void Tap(POINT p) { ASSERT_TRUE(device.Tap(p.x, p.y)); }
    // Taps at, then waits for that many pages shown.
    void Open(POINT at, int panels) {
        ASSERT_TRUE(device.Idle());  // the top bar takes its page's buttons after a page shows
        Tap(at);
        ASSERT_TRUE(WaitUntil([&] { return PanelsShown() == panels; })) << device.WindowText();
    }
    void Type(POINT box, const std::string& keys) {
        Tap(box);
        std::vector<POINT> points;
        for (char k : keys) points.push_back(EditorKey(k));
        ASSERT_TRUE(device.Taps(points));
        Tap(kEnter);
        Tap(box);
    }
    // The region once the screen has settled with the page drawn there (a page just shown may not
    // have painted yet on a busy machine).
    std::vector<uint8_t> Settled(const RECT& r) {
        std::vector<uint8_t> out;
        WaitUntil([&] {
            RgbPicture shot;
            if (!device.SettledShot(shot, "region.png")) return false;
            out = Region(shot, r);
            for (uint8_t b : out)
                if (b) return true;
            return false;
        });
        return out;
    }
    void ConfirmPopup() {
        ASSERT_TRUE(WaitUntil([&] { return device.Shown("WDSHELL_PANEL", kPopup); })) << device.WindowText();
        Tap(kPopupOk);
        ASSERT_TRUE(WaitUntil([&] { return !device.Shown("WDSHELL_PANEL", kPopup); }));
    }
    std::string McuLogFrom(size_t mark) {
        const std::string log = Slurp(device.McuLogPath());
        return log.size() > mark ? log.substr(mark) : std::string();
    }
    // The MCU log from mark on has every one of the lines.
    bool McuSent(size_t mark, const std::vector<std::string>& lines) {
        return WaitUntil([&] {
            const std::string log = McuLogFrom(mark);
            for (const std::string& l : lines)
                if (log.find(l) == std::string::npos) return false;
            return true;
        });
    }
    // Once QRX (started when the MCU log was mark bytes long) has set the MCU up.
    void OpenOperation(size_t mark = 0) {
        ASSERT_TRUE(WaitUntil([&] { return McuLogFrom(mark).find("CmdSetTempLimit") != std::string::npos; }));
        Tap(kOperation);
        ASSERT_TRUE(WaitUntil([&] { return PanelsShown() == 1; })) << device.WindowText();
    }

    TempDeviceRoot root;
    QrxDevice device{root};
};

TEST_F(QrxProgramTest, EditSaveRestartLoadRunAutoAndClear) {
    std::string why;
    ASSERT_TRUE(device.Start(why, [] {
        SetDefaultSettings(&g_Settings);
        g_Settings.dMinVoltage = 2;
        g_Settings.dMaxVoltage = 20;
        g_Settings.dMinCurrent = 1;
        g_Settings.dMaxCurrent = 30;
        ASSERT_TRUE(SaveSettingFile());
        g_OpMode = OpModeRecord{};
        ASSERT_TRUE(SaveOpModeFile());
        g_AutoRecord = AutoRecord{};
        g_AutoRecord.dwVoltage = 12;
        g_AutoRecord.dwCapacity = 100;
        ASSERT_TRUE(SaveAutoFile());
    })) << why;
    ASSERT_NO_FATAL_FAILURE(OpenOperation());
    ASSERT_NO_FATAL_FAILURE(Open(kTopProgram, 2));
    const std::vector<uint8_t> emptyRows = Settled(kRows);
    ASSERT_FALSE(emptyRows.empty());

    // Step 1: 14.4 V, 5 A, 01:00, kind 1, enabled; saved into P5.
    ASSERT_NO_FATAL_FAILURE(Open(kRow1, 3));
    ASSERT_NO_FATAL_FAILURE(Type(kVoltBox, "14.4"));
    ASSERT_NO_FATAL_FAILURE(Type(kAmpBox, "5"));
    ASSERT_NO_FATAL_FAILURE(Type(kTimeBox, "100"));
    ASSERT_NO_FATAL_FAILURE(Type(kKindBox, "1"));
    Tap(kEditorOk);
    ASSERT_TRUE(WaitUntil([&] { return PanelsShown() == 2; })) << device.WindowText();
    Tap(kEnable1);
    Tap(kSave);
    Tap(kSlot5);
    ASSERT_NO_FATAL_FAILURE(ConfirmPopup());
    const std::vector<uint8_t> edited = Settled(kRows);
    ASSERT_NE(edited, emptyRows);

    // A new start of the program: P5 brings the same rows.
    size_t mark = Slurp(device.McuLogPath()).size();
    StopHost(device.QrxPid());
    ASSERT_TRUE(device.StartQrx(why)) << why;
    ASSERT_NO_FATAL_FAILURE(OpenOperation(mark));
    ASSERT_NO_FATAL_FAILURE(Open(kTopProgram, 2));
    EXPECT_TRUE(WaitUntil([&] { return Settled(kRows) == emptyRows; }));
    Tap(kSlot5);
    EXPECT_TRUE(WaitUntil([&] { return Settled(kRows) == edited; }));

    // OK while idle runs the program: step 1's set values and direction reach the MCU. A start before
    // the page's first status poll is refused as a battery-connection fault: wait for two polls.
    ASSERT_TRUE(WaitUntil([&] {
        const std::string log = McuLogFrom(mark);
        const size_t first = log.find("GetCurrentStatus");
        return first != std::string::npos && log.find("GetCurrentStatus", first + 1) != std::string::npos;
    }));
    mark = Slurp(device.McuLogPath()).size();
    Tap(kOk);
    EXPECT_TRUE(McuSent(mark, {"CmdSet10 1440", "CmdSet11 500", "CmdSet14 0", "CmdSet15 1"}))
        << McuLogFrom(mark);
    OpModeRecord opMode{};
    EXPECT_TRUE(WaitUntil([&] { return ReadRecord(root.Host("NAND Flash/OpMode.dat"), opMode) && opMode.steps[0].dwEnable == 1; }));
    Tap(kStop);
    ASSERT_TRUE(McuSent(mark, {"CmdSet15 0"}));

    // AUTO, 12 V, 100 Ah, Lead/Acid, C5: Calc. fills the lines, OK runs the computed program.
    ASSERT_NO_FATAL_FAILURE(Open(kTopAuto, 2));
    const std::vector<uint8_t> noLines = Settled(kResults);
    Tap(kCalc);
    EXPECT_TRUE(WaitUntil([&] { return Settled(kResults) != noLines; }));
    mark = Slurp(device.McuLogPath()).size();
    Tap(kAutoOk);
    EXPECT_TRUE(McuSent(mark, {"CmdSet10 1020", "CmdSet11 2000", "CmdSet14 1"})) << McuLogFrom(mark);
    EXPECT_TRUE(WaitUntil([&] {
        return ReadRecord(root.Host("NAND Flash/OpMode.dat"), opMode) && opMode.steps[2].dVoltage > 15.8 &&
               opMode.steps[2].dVoltage < 15.95 && opMode.steps[5].dwEnable == 1;
    }));
    AutoRecord autoRecord{};
    // Saved after OpMode.dat, through a twin file: absent for a moment in between.
    EXPECT_TRUE(WaitUntil([&] { return ReadRecord(root.Host("NAND Flash/auto.dat"), autoRecord); }));
    EXPECT_EQ(autoRecord.dwVoltage, 12u);
    EXPECT_EQ(autoRecord.dwCapacity, 100u);
    Tap(kStop);
    ASSERT_TRUE(McuSent(mark, {"CmdSet15 0"}));

    // The admin page's clear: the program page shows empty steps.
    std::vector<std::string> env = device.Env();
    env.push_back("QRX_PEER_LOG=" + root.Host("peer.log"));
    const pid_t post = SpawnHost({QRX_SCREEN_PEER, "post", "QRX_APPLICATION", "1025", "5", "1000"}, env, QrxDevice::Unset(), "", "");
    ASSERT_EQ(WaitExit(post), 0);
    ASSERT_NO_FATAL_FAILURE(Open(kTopProgram, 2));
    EXPECT_TRUE(WaitUntil([&] { return Settled(kRows) == emptyRows; }));
}

}  // namespace
