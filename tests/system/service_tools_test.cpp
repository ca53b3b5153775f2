// The service tools started from the admin page of the real main program: the calibration tool on the
// simulated MCU's line while QRX has let go of it, the Bluetooth address editor with the simulated module.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"
#include "sim/BtSim.h"

using namespace system_harness;

namespace {

constexpr POINT kHiddenLeft{20, 20}, kHiddenRight{780, 20}, kTrimset{690, 217}, kPairpad{690, 277};

// One line of the MCU's log: "[tick] request -> reply  what".
struct McuLine {
    unsigned tick = 0;
    std::string request, reply, what;
};

std::vector<McuLine> McuLines(const std::string& log) {
    std::vector<McuLine> lines;
    std::istringstream in(log);
    for (std::string s; std::getline(in, s);) {
        McuLine l;
        const size_t close = s.find(']'), arrow = s.find(" -> "), gap = s.find("  ", arrow == std::string::npos ? 0 : arrow);
        if (s.empty() || s[0] != '[' || close == std::string::npos || arrow == std::string::npos) continue;
        l.tick = static_cast<unsigned>(std::strtoul(s.c_str() + 1, nullptr, 10));
        l.request = s.substr(close + 2, arrow - close - 2);
        l.reply = s.substr(arrow + 4, gap == std::string::npos ? std::string::npos : gap - arrow - 4);
        if (gap != std::string::npos) l.what = s.substr(gap + 2);
        lines.push_back(l);
    }
    return lines;
}

// VOLT of a status reply "02 00 LL HH ...", volts.
double ReplyVolts(const std::string& reply) {
    unsigned lo = 0, hi = 0;
    if (std::sscanf(reply.c_str(), "02 00 %x %x", &lo, &hi) != 2) return -1;
    return (hi << 8 | lo) / 100.0;
}

std::string Settings(const char16_t* model) {
    SettingsRecord record{};
    SetDefaultSettings(&record);
    std::memset(record.szModelName, 0, sizeof record.szModelName);
    std::memcpy(record.szModelName, model, std::char_traits<char16_t>::length(model) * 2);
    std::string bytes(reinterpret_cast<const char*>(&record), sizeof record);
    const WORD sum = SettingsSum(&record, sizeof record);
    return bytes + static_cast<char>(sum & 0xFF) + static_cast<char>(sum >> 8);
}

class QrxServiceToolsTest : public ::testing::Test {
protected:
    void Start(QrxDevice::Options options, const std::function<void()>& prepare = nullptr) {
        device = std::make_unique<QrxDevice>(root, std::move(options));
        std::string why;
        ASSERT_TRUE(device->Start(why, prepare)) << why;
    }
    void OpenAdmin() {
        ASSERT_TRUE(device->Taps({kHiddenLeft, kHiddenRight, kHiddenLeft, kHiddenLeft, kHiddenRight, kHiddenRight,
                                  kHiddenRight}));
        ASSERT_TRUE(WaitUntil([&] { return device->Shown("WDSHELL_PANEL", {0, 61, 800, 480}); }))
            << device->WindowText();
    }
    // The tool's dialog (class, title) once shown; its rectangle.
    RECT Dialog(const std::string& title) {
        RECT r{0, 0, 0, 0};
        WaitUntil([&] {
            for (const ScreenWindow& w : device->Windows())
                if (w.visible && w.className == "QrxDialog" && w.title == title) {
                    r = w.rect;
                    return true;
                }
            return false;
        });
        return r;
    }
    // Taps the middle of a control given in dialog units of a cx x cy template.
    bool TapDu(const RECT& dlg, int cx, int cy, const int (&item)[4]) {
        const double sx = double(dlg.right - dlg.left) / cx, sy = double(dlg.bottom - dlg.top) / cy;
        return device->Tap(dlg.left + static_cast<int>((item[0] + item[2] / 2.0) * sx),
                           dlg.top + static_cast<int>((item[1] + item[3] / 2.0) * sy));
    }
    // Waits for the tool's message box and answers it: Yes of Yes and No, or its one button.
    bool AnswerBox(bool yesNo) {
        RECT box{0, 0, 0, 0};
        if (!WaitUntil([&] {
                for (const ScreenWindow& w : device->Windows())
                    if (w.visible && w.className == "QrxMessageBox") {
                        box = w.rect;
                        return true;
                    }
                return false;
            }))
            return false;
        if (!device->Tap(yesNo ? box.left + 61 : (box.left + box.right) / 2, box.bottom - 35)) return false;
        return WaitUntil([&] {
            for (const ScreenWindow& w : device->Windows())
                if (w.visible && w.className == "QrxMessageBox") return false;
            return true;
        });
    }
    std::vector<McuLine> Lines() const { return McuLines(Slurp(device->McuLogPath())); }
    bool Sent(const std::string& request) const {
        for (const McuLine& l : Lines())
            if (l.request == request) return true;
        return false;
    }
    // The simulator's true terminal voltage.
    double TerminalVolts() {
        const std::string out = root.Host("state.out");
        pid_t pid = SpawnHost({QRX_SIM_MCU_EXE, "--root", root.Path(), "state"}, device->Env(), QrxDevice::Unset(), out,
                              root.Host("state.err"));
        if (pid <= 0 || WaitExit(pid) != 0) return -1;
        const std::string s = Slurp(out);
        const size_t at = s.find("terminal-volts=");
        return at == std::string::npos ? -1 : std::strtod(s.c_str() + at + 15, nullptr);
    }

    TempDeviceRoot root;
    std::unique_ptr<QrxDevice> device;
};

// Trimset's controls in dialog units (x, y, cx, cy) of its 414 x 211 template.
constexpr int kVoltEdit[4] = {6, 58, 62, 16}, kOffsetV[4] = {90, 57, 58, 18}, kRefV[4] = {152, 57, 58, 18};
constexpr int kSave[4] = {6, 123, 64, 18}, kExit[4] = {366, 4, 44, 76}, kClr[4] = {318, 124, 44, 36};
constexpr int kNtc1[4] = {74, 168, 48, 16}, kApply[4] = {160, 168, 50, 36};
// The keypad key of a character.
void KeyDu(char c, int (&out)[4]) {
    static const int xs[3] = {222, 270, 318}, ys[4] = {4, 44, 84, 124};
    int col = 0, row = 3;
    if (c >= '1' && c <= '9') {
        col = (c - '1') % 3;
        row = (c - '1') / 3;
    } else {
        col = c == '.' ? 0 : 1;
    }
    out[0] = xs[col];
    out[1] = ys[row];
    out[2] = 44;
    out[3] = 36;
}

TEST_F(QrxServiceToolsTest, TrimsetCalibratesTheVoltsAndHandsThePortBack) {
    QrxDevice::Options o;
    o.mcuArgs = {"--adc-error", "0.5,1.05,0,1", "--eeprom", root.Host("eeprom.txt")};
    ASSERT_NO_FATAL_FAILURE(Start(o));
    ASSERT_TRUE(WaitUntil([&] { return Sent("02 02 00 01"); }));
    const double truth = TerminalVolts();
    ASSERT_GT(truth, 5.0);
    // Uncalibrated, the record reads 5 % and half a volt high.
    double before = -1;
    for (const McuLine& l : Lines())
        if (l.what == "GetCurrentStatus") before = ReplyVolts(l.reply);
    EXPECT_NEAR(before, truth * 1.05 + 0.5, 0.05);

    ASSERT_NO_FATAL_FAILURE(OpenAdmin());
    ASSERT_TRUE(device->Tap(kTrimset.x, kTrimset.y));
    const RECT dlg = Dialog("Calibration Tool");
    ASSERT_GT(dlg.right, dlg.left) << device->WindowText();
    // QRX lets go of the line: from Trimset's first read on only 01 03 07, every 500 ms.
    ASSERT_TRUE(WaitUntil([&] {
        int reads = 0;
        for (const McuLine& l : Lines()) reads += l.request == "01 03 07";
        return reads >= 4;
    }));
    {
        std::vector<unsigned> reads;
        bool polled = false;
        for (const McuLine& l : Lines()) {
            if (l.request == "01 03 07") reads.push_back(l.tick);
            if (!reads.empty() && l.what == "GetCurrentStatus") polled = true;
        }
        EXPECT_FALSE(polled);
        for (size_t i = 1; i < reads.size(); ++i) EXPECT_GE(reads[i] - reads[i - 1], 400u);
    }

    ASSERT_TRUE(TapDu(dlg, 414, 211, kOffsetV));
    ASSERT_TRUE(AnswerBox(true)) << device->WindowText();
    EXPECT_TRUE(Sent("01 03 01"));
    // The reference: the battery's true voltage typed on the keypad into the volt field.
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", TerminalVolts());
    ASSERT_TRUE(TapDu(dlg, 414, 211, kVoltEdit));
    ASSERT_TRUE(TapDu(dlg, 414, 211, kClr));
    for (const char* c = text; *c; ++c) {
        int key[4];
        KeyDu(*c, key);
        ASSERT_TRUE(TapDu(dlg, 414, 211, key));
    }
    ASSERT_TRUE(TapDu(dlg, 414, 211, kRefV));
    ASSERT_TRUE(AnswerBox(true)) << device->WindowText();
    ASSERT_TRUE(TapDu(dlg, 414, 211, kSave));
    ASSERT_TRUE(AnswerBox(true)) << device->WindowText();
    EXPECT_NE(Slurp(root.Host("eeprom.txt")).find("volt-offset=50\n"), std::string::npos);

    // EXIT: 1324 gives QRX its port back, and the record now reads the truth.
    const size_t before1324 = Lines().size();
    ASSERT_TRUE(TapDu(dlg, 414, 211, kExit));
    ASSERT_TRUE(WaitUntil([&] {
        const auto lines = Lines();
        for (size_t i = before1324; i < lines.size(); ++i)
            if (lines[i].what == "GetCurrentStatus") return true;
        return false;
    })) << Slurp(device->McuLogPath());
    double after = -1;
    for (const McuLine& l : Lines())
        if (l.what == "GetCurrentStatus") after = ReplyVolts(l.reply);
    EXPECT_NEAR(after, TerminalVolts(), 0.05);
}

TEST_F(QrxServiceToolsTest, OnTheZ330TrimsetUsesCom6AndAppliesTheNtcField) {
    QrxDevice::Options o;
    o.mcu = false;
    pid_t mcu = -1;
    ASSERT_NO_FATAL_FAILURE(Start(o, [&] {
        root.WriteFile("NAND Flash/System/Setting.bin", Settings(u"Z-330"));
        mcu = SpawnHost({QRX_SIM_MCU_EXE, "--port", "6", "--log", root.Host("mcu.log")}, device->Env(),
                        QrxDevice::Unset(), root.Host("mcu6.out"), root.Host("mcu6.err"));
        WaitUntil([&] { return Slurp(root.Host("mcu6.out")).find("COM6 -> ") != std::string::npos; });
    }));
    ASSERT_GT(mcu, 0);
    ASSERT_TRUE(WaitUntil([&] { return Sent("02 02 00 01"); })) << Slurp(root.Host("mcu6.err"));
    ASSERT_NO_FATAL_FAILURE(OpenAdmin());
    ASSERT_TRUE(device->Tap(kTrimset.x, kTrimset.y));
    const RECT dlg = Dialog("Calibration Tool");
    ASSERT_GT(dlg.right, dlg.left) << device->WindowText();
    ASSERT_TRUE(TapDu(dlg, 414, 211, kNtc1));
    ASSERT_TRUE(TapDu(dlg, 414, 211, kApply));
    EXPECT_TRUE(WaitUntil([&] { return Sent("01 03 0B 00 14 05"); })) << Slurp(device->McuLogPath());
    ASSERT_TRUE(TapDu(dlg, 414, 211, kExit));
    device.reset();
    StopHost(mcu);
}

// Pairpad's keys in dialog units of its 399 x 226 template: "1"-"6", then "7" "8" "9" "0" "A" "B", then
// "C"-"F" "BS" "SAVE"; EXIT.
constexpr int kPairpadExit[4] = {290, 5, 100, 50};
void PairpadKey(int index, int (&out)[4]) {
    static const int xs[6] = {5, 70, 135, 201, 265, 331};
    out[0] = xs[index % 6];
    out[1] = 60 + 55 * (index / 6);
    out[2] = 59;
    out[3] = 50;
}

TEST_F(QrxServiceToolsTest, PairpadSavesThePeerTheModuleConnectsToAfterTheNextStart) {
    const std::string peer = "A1B2C3D4E5F0";
    sim::BtSimConfig c;
    c.type = sim::BtType::Btm4504c1x;
    c.hostAddr = peer;
    c.autoConnect = true;
    sim::BtSim module(c);
    ASSERT_NO_FATAL_FAILURE(Start({}, [&] { ASSERT_TRUE(module.Start()) << module.Error(); }));
    auto inLog = [&](const std::string& text) {
        return WaitUntil([&] { return root.DebugMessages().find(text) != std::string::npos; });
    };
    // No peer stored yet: the module is set up without one.
    ASSERT_TRUE(inLog("[BT]Target addr error")) << root.DebugMessages();

    ASSERT_NO_FATAL_FAILURE(OpenAdmin());
    ASSERT_TRUE(device->Tap(kPairpad.x, kPairpad.y));
    const RECT dlg = Dialog("");
    ASSERT_GT(dlg.right, dlg.left) << device->WindowText();
    static const char kKeys[] = "1234567890ABCDEF";
    for (char d : peer) {
        int key[4];
        PairpadKey(static_cast<int>(std::strchr(kKeys, d) - kKeys), key);
        ASSERT_TRUE(TapDu(dlg, 399, 226, key));
    }
    int save[4];
    PairpadKey(17, save);
    ASSERT_TRUE(TapDu(dlg, 399, 226, save));
    // "Success" comes in the box captioned "Notice"; the errors' are "Error".
    EXPECT_TRUE(WaitUntil([&] { return device->WindowText().find("title=\"Notice\"") != std::string::npos; }))
        << device->WindowText();
    ASSERT_TRUE(AnswerBox(false)) << device->WindowText();
    EXPECT_EQ(Slurp(root.Host("NAND Flash/PeerAddr.dat")), peer);
    ASSERT_TRUE(TapDu(dlg, 399, 226, kPairpadExit));
    ASSERT_TRUE(WaitUntil([&] { return device->WindowText().find("program=Pairpad") == std::string::npos; }))
        << device->WindowText();

    // The next start sends the stored peer to the module, which lets that host in.
    std::string why;
    StopHost(device->QrxPid());
    ASSERT_TRUE(device->StartQrx(why)) << why;
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& command : module.Commands())
            if (command == "AT+RADDR=" + peer + "\r") return true;
        return false;
    })) << module.DeviceBytes();
    EXPECT_TRUE(WaitUntil([&] { return module.HostConnected(); }));
    EXPECT_TRUE(inLog("[BT]Connected")) << root.DebugMessages();
    device.reset();
}

}  // namespace
