// The main program on a device of its own: the real QRX with the screen server, the simulated MCU and
// stand-ins for the programs it starts. Start-up, single instance, popups with their log and alarm,
// storage events, closing, the hidden access sequence, the backlight saver and the screen lock.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

constexpr RECT kPopup = {210, 84, 590, 364};
constexpr RECT kLockBox = {346, 228, 454, 253};
constexpr RECT kTopBar = {0, 0, 800, 61};
constexpr RECT kFullScreen = {0, 0, 800, 480};
constexpr int kPopupOkX = 400, kPopupOkY = 326;      // the popup's centred button
constexpr int kOperationX = 235, kOperationY = 322;  // the main page's OPERATION button
constexpr int kSettingX = 565;                         // its SETTING button
constexpr int kLockBoxX = 400, kLockBoxY = 240;
constexpr DWORD kToneHigh = 2637, kToneLow = 2093;
constexpr DWORD kTouchSplash = 0x0118001Cu, kTouchRestore = 0x01180018u;
const char kPanel[] = "WDSHELL_PANEL";

struct ToneRecord {
    DWORD tick, frequency, on;
};

std::vector<ToneRecord> Tones() {
    std::vector<ToneRecord> tones;
    for (const auto& r : qrx::ReadDeviceRecords("PWM1")) {
        if (r.code != IOCTL_PWM_SET_TONE || r.bytes.size() < sizeof(PWM_TONE_RECORD)) continue;
        PWM_TONE_RECORD t;
        std::memcpy(&t, r.bytes.data(), sizeof t);
        tones.push_back({r.tick, t.frequency, t.on});
    }
    return tones;
}

std::string Describe(const std::vector<ToneRecord>& tones) {
    std::string s;
    for (const auto& t : tones)
        s += std::to_string(t.tick) + ":" + std::to_string(t.frequency) + (t.on ? "+" : "-") + " ";
    return s;
}

// The records of the last complete error alarm (31 tones and the silence after them), empty when
// none has ended yet.
std::vector<ToneRecord> LastAlarm() {
    std::vector<ToneRecord> tones = Tones();
    if (tones.size() < 32 || tones.back().on) return {};
    return std::vector<ToneRecord>(tones.end() - 32, tones.end());
}

// The system log as ASCII lines (it is UTF-16LE without a byte-order mark), each with its "\r\n".
std::vector<std::string> LogLines(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned c = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));  // an unterminated tail shows up as a line of its own
            break;
        }
        lines.push_back(text.substr(at, end + 2 - at));
        at = end + 2;
    }
    return lines;
}

// "[YYYY-MM-DD hh:mm:ss] <rest>\r\n" with a date within a day of now (UTC).
bool IsLogLine(const std::string& line, const std::string& rest) {
    static const std::regex stamp(R"(^\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\] )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp) || line.substr(m.length(0)) != rest + "\r\n") return false;
    std::tm when{};
    when.tm_year = std::stoi(m[1]) - 1900;
    when.tm_mon = std::stoi(m[2]) - 1;
    when.tm_mday = std::stoi(m[3]);
    when.tm_hour = std::stoi(m[4]);
    when.tm_min = std::stoi(m[5]);
    when.tm_sec = std::stoi(m[6]);
    const double apart = std::difftime(timegm(&when), std::time(nullptr));
    return apart > -86400 && apart < 86400;
}

// Setting.bin with the defaults and the changes, stored the way the program stores it.
bool WriteSettings(const std::function<void(SettingsRecord&)>& change) {
    SetDefaultSettings(&g_Settings);
    if (change) change(g_Settings);
    return SaveSettingFile() != FALSE;
}

class QrxTest : public ::testing::Test {
protected:
    // Root, screen server, optionally the MCU and QRX; `prepare` runs once the root is made.
    void Boot(QrxDevice::Options options, const std::function<void()>& prepare = nullptr) {
        m_device = std::make_unique<QrxDevice>(m_root, std::move(options));
        std::string why;
        ASSERT_TRUE(m_device->Start(why, prepare)) << why;
    }
    void TearDown() override { m_device.reset(); }

    QrxDevice& Device() { return *m_device; }
    std::string DebugLog() const { return m_root.ReadFile(".platform/debug.log"); }
    std::string Windows() const { return m_device->WindowText(); }
    bool Shown(const RECT& r) const { return m_device->Shown(kPanel, r); }
    bool WaitShown(const RECT& r, bool shown) const {
        return WaitUntil([&] { return Shown(r) == shown; });
    }
    size_t McuLines(const std::string& what) const {
        std::istringstream in(Slurp(m_device->McuLogPath()));
        size_t n = 0;
        for (std::string line; std::getline(in, line);) n += line.find("  " + what) != std::string::npos;
        return n;
    }
    // InitFrame ran to its end `runs` times: the MCU got its last start-up command.
    bool WaitStartedWithMcu(size_t runs = 1) const {
        return WaitUntil([&] { return McuLines("CmdSetTempLimit") >= runs; });
    }
    std::vector<std::string> SystemLog() const { return LogLines(m_root.ReadFile("SD Card/system.log")); }
    // The poster program sends a message to the main window as another program would.
    bool PostToMain(UINT msg, WPARAM wParam) {
        pid_t pid = SpawnHost({m_root.Host("Windows/Poster.exe"), "post " + std::to_string(msg) + " " + std::to_string(wParam)},
                              m_device->Env(), QrxDevice::Unset());
        return pid > 0 && WaitExit(pid) == 0;
    }
    void InstallPoster() { Install(m_root, QRX_POSTER_EXE, "Windows/Poster.exe"); }

    // The screen matches the main page's golden picture (model "QRX-3305L"). The top bar, with its
    // clock, is not shown on the main page, so nothing needs masking. QRX_UPDATE_GOLDEN=1 makes the
    // picture anew from this run.
    bool WaitForMainPage() {
        const std::string golden = std::string(QRX_SYSTEM_DATA) + "/qrx_main_page.png";
        RgbPicture shot, expected;
        if (std::getenv("QRX_UPDATE_GOLDEN") && !m_goldenMade) {
            if (!Device().SettledShot(shot, "golden.png")) return false;
            fs::copy_file(m_root.Host("golden.png"), golden, fs::copy_options::overwrite_existing);
            m_goldenMade = true;
        }
        if (!ReadPngPicture(golden, expected)) {
            m_mainPageDiff = golden + " missing (QRX_UPDATE_GOLDEN=1 makes it)";
            return false;
        }
        size_t differ = 0;
        bool same = WaitUntil([&] {
            differ = Device().Shot(shot) ? DifferentPixels(shot, expected, 24) : expected.rgb.size();
            return differ <= 100;
        });
        m_mainPageDiff = std::to_string(differ) + " pixels differ from " + golden + "; see " + m_root.Host("shot.png");
        return same;
    }
    static void WriteModel() {
        ASSERT_TRUE(WriteSettings([](SettingsRecord& s) { QrxStrCopy(s.szModelName, 64, u"QRX-3305L"); }));
    }
    // Under a time scale the MCU's replies come too late for the program's scaled time-outs: those
    // tests run without it and close the "no response" popup first.
    void DismissNoMcuPopup() {
        ASSERT_TRUE(WaitShown(kPopup, true)) << Windows();
        ASSERT_TRUE(Device().Tap(kPopupOkX, kPopupOkY));
        ASSERT_TRUE(WaitShown(kPopup, false)) << Windows();
    }
    std::string m_mainPageDiff;
    bool m_goldenMade = false;

    TempDeviceRoot m_root;
    std::unique_ptr<QrxDevice> m_device;
};

// ---- Start-up -----------------------------------------------------------------------------------

TEST_F(QrxTest, StartsWithTheMcuClosesTheLoadingScreenAndShowsTheMainPage) {
    SettingsRecord defaults;
    SetDefaultSettings(&defaults);
    Boot({}, WriteModel);
    ASSERT_TRUE(WaitStartedWithMcu()) << Slurp(Device().McuLogPath());

    // The start-up commands in order, with the stored limits in hundredths.
    std::vector<std::string> expected = {
        "GetFWVersion", "CmdBootupComplete", "CmdCutVoltage " + std::to_string(static_cast<int>(defaults.dCutVoltage * 100)),
        "CmdCutCurrent " + std::to_string(static_cast<int>(defaults.dCutCurrent * 100)),
        "CmdSetTempLimit " + std::to_string(defaults.nBatTempLimit * 100)};
    std::vector<std::string> got;
    std::istringstream in(Slurp(Device().McuLogPath()));
    for (std::string line; std::getline(in, line);) {
        size_t at = line.rfind("  ");
        if (at != std::string::npos) got.push_back(line.substr(at + 2));
    }
    ASSERT_GE(got.size(), expected.size()) << Slurp(Device().McuLogPath());
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 5), expected) << Slurp(Device().McuLogPath());

    // The loading screen came up with 8 s and was closed, not timed out.
    ASSERT_TRUE(WaitUntil([] {
        std::vector<DWORD> codes;
        for (const auto& r : qrx::ReadDeviceRecords("TCH1")) codes.push_back(r.code);
        return codes == std::vector<DWORD>{kTouchSplash, kTouchRestore};
    }));
    EXPECT_NE(DebugLog().find("LoadingImage Timeout : 8000"), std::string::npos) << DebugLog();
    EXPECT_EQ(DebugLog().find("Loading Timeout\r"), std::string::npos) << DebugLog();
    EXPECT_EQ(Windows().find("SPLASH_APP"), std::string::npos) << Windows();

    // The main page as it should look, with the model name from the settings.
    EXPECT_TRUE(WaitForMainPage()) << m_mainPageDiff;
    // The firmware fits the board: no popup, nothing logged.
    EXPECT_FALSE(Shown(kPopup)) << Windows();
    EXPECT_FALSE(fs::exists(m_root.Host("SD Card/system.log")));

}

TEST_F(QrxTest, ButtonTapClicksAndLeavesThePageAsItWas) {
    Boot({}, WriteModel);
    ASSERT_TRUE(WaitStartedWithMcu());
    ASSERT_TRUE(WaitForMainPage()) << m_mainPageDiff;
    // A key click: 2637 Hz for 100 ms.
    ASSERT_TRUE(Device().Tap(kSettingX, kOperationY));
    ASSERT_TRUE(WaitUntil([] {
        auto t = Tones();
        return t.size() >= 2 && !t.back().on;
    })) << Describe(Tones());
    std::vector<ToneRecord> click = Tones();
    ASSERT_EQ(click.size(), 2u) << Describe(click);
    EXPECT_EQ(click[0].frequency, kToneHigh);
    EXPECT_EQ(click[0].on, 1u);
    EXPECT_GE(click[1].tick - click[0].tick, 100u) << Describe(click);
    EXPECT_LT(click[1].tick - click[0].tick, 1000u) << Describe(click);
    // The setting page opens (the tone comes first); its top bar's HOME brings back the main page, the
    // button as it was.
    ASSERT_TRUE(WaitShown(kTopBar, true)) << Windows();
    RgbPicture settled;
    ASSERT_TRUE(Device().SettledShot(settled, "setting.png"));
    ASSERT_TRUE(Device().Tap(44, 30));
    EXPECT_TRUE(WaitForMainPage()) << m_mainPageDiff;
}

TEST_F(QrxTest, FirmwareForAnotherBoardShowsTheMismatchPopup) {
    // The board is a 2.3 screen board (242); the power board reports 241.
    Boot({true, {"--firmware", "241"}});
    ASSERT_TRUE(WaitStartedWithMcu());
    ASSERT_TRUE(WaitShown(kPopup, true)) << Windows();
    ASSERT_TRUE(WaitUntil([&] { return SystemLog().size() == 1; })) << m_root.ReadFile("SD Card/system.log");
    EXPECT_TRUE(IsLogLine(SystemLog()[0],
                          "23,ERR,The hardware version does not match the power board. Please contact your service center."))
        << SystemLog()[0];
    // One button: it closes the popup.
    ASSERT_TRUE(Device().Tap(kPopupOkX, kPopupOkY));
    EXPECT_TRUE(WaitShown(kPopup, false)) << Windows();
    EXPECT_TRUE(Device().QrxRunning());
}

TEST_F(QrxTest, SecondInstanceEndsWithZeroAndTheFirstStays) {
    Boot({});
    ASSERT_TRUE(WaitStartedWithMcu());
    pid_t second = Device().SpawnQrx();
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitExit(second), 0) << Slurp(m_root.Host("qrx.err"));
    EXPECT_TRUE(Device().QrxRunning());
    size_t mains = 0;
    for (const auto& w : Device().Windows()) mains += w.className == "QRX_APPLICATION" && w.visible;
    EXPECT_EQ(mains, 1u) << Windows();
    // It never reached the MCU: the first one keeps the port.
    EXPECT_EQ(McuLines("GetFWVersion"), 1u);
}

TEST_F(QrxTest, SilentMcuShowsOneLoggedErrorWithTheErrorAlarm) {
    QrxDevice::Options options;
    options.mcu = false;
    Boot(options);
    ASSERT_TRUE(WaitShown(kPopup, true)) << Windows();
    ASSERT_TRUE(WaitUntil([&] { return !SystemLog().empty(); }));
    const std::string bytes = m_root.ReadFile("SD Card/system.log");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_FALSE(bytes[0] == '\xFF' && bytes[1] == '\xFE') << "no byte-order mark";
    std::vector<std::string> lines = SystemLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(IsLogLine(lines[0], "20,ERR,No response from the power board. The output has been switched off."))
        << lines[0];

    // The error alarm: 31 tones 90 ms apart, 2637 Hz on odd steps and 2093 Hz on even ones, then silence.
    ASSERT_TRUE(WaitUntil([] { return !LastAlarm().empty(); })) << Describe(Tones());
    std::vector<ToneRecord> alarm = LastAlarm();
    for (size_t i = 0; i < 31; ++i) {
        EXPECT_EQ(alarm[i].frequency, i % 2 == 0 ? kToneHigh : kToneLow) << i << ": " << Describe(alarm);
        EXPECT_EQ(alarm[i].on, 1u) << i;
    }
    EXPECT_EQ(alarm[31].on, 0u);
    for (size_t i = 1; i < 32; ++i) {
        EXPECT_GE(alarm[i].tick - alarm[i - 1].tick, 90u) << i << ": " << Describe(alarm);
        EXPECT_LT(alarm[i].tick - alarm[i - 1].tick, 400u) << i << ": " << Describe(alarm);
    }
    EXPECT_EQ(Tones().size(), 32u) << "one alarm, nothing before it: " << Describe(Tones());

    // Its one button closes it; the program runs on without the MCU.
    ASSERT_TRUE(Device().Tap(kPopupOkX, kPopupOkY));
    EXPECT_TRUE(WaitShown(kPopup, false)) << Windows();
    EXPECT_TRUE(Device().QrxRunning());
    EXPECT_EQ(SystemLog().size(), 1u);
}

// ---- Storage ------------------------------------------------------------------------------------

TEST_F(QrxTest, MissingCardAtStartShowsThePopupUntilTheCardArrives) {
    Boot({}, [&] { fs::remove_all(m_root.Host("SD Card")); });
    ASSERT_TRUE(WaitStartedWithMcu());
    ASSERT_TRUE(WaitShown(kPopup, true)) << Windows();
    // No button to close it with.
    ASSERT_TRUE(Device().Tap(kPopupOkX, kPopupOkY));
    ASSERT_TRUE(WaitUntil([] { return Tones().size() >= 2; }));
    EXPECT_TRUE(Shown(kPopup));
    // Logging to the missing card must not make a card appear.
    EXPECT_FALSE(fs::exists(m_root.Host("SD Card")));

    ASSERT_EQ(Device().Ctl({"volume", "arrive", "SD Card"}).code, 0);
    EXPECT_TRUE(WaitShown(kPopup, false)) << Windows();
    EXPECT_TRUE(Device().QrxRunning());
    // The arrival silences the alarm.
    EXPECT_TRUE(WaitUntil([] { return !Tones().empty() && !Tones().back().on; })) << Describe(Tones());
}

TEST_F(QrxTest, CardRemovalShowsThePopupUnloggedAndOtherVolumesAreIgnored) {
    Boot({});
    ASSERT_TRUE(WaitStartedWithMcu());
    ASSERT_FALSE(Shown(kPopup)) << Windows();

    // The hard disk is not the storage of this model: nothing happens. The tap after it is handled
    // after the event, so its click says the event was handled.
    ASSERT_EQ(Device().Ctl({"volume", "remove", "Hard Disk"}).code, 0);
    ASSERT_TRUE(Device().Tap(kOperationX, kOperationY));
    ASSERT_TRUE(WaitUntil([] { return !Tones().empty(); }));
    EXPECT_FALSE(Shown(kPopup)) << Windows();

    ASSERT_EQ(Device().Ctl({"volume", "remove", "SD Card"}).code, 0);
    ASSERT_TRUE(WaitShown(kPopup, true)) << Windows();
    EXPECT_TRUE(Device().QrxRunning());

    ASSERT_EQ(Device().Ctl({"volume", "arrive", "SD Card"}).code, 0);
    EXPECT_TRUE(WaitShown(kPopup, false)) << Windows();
    // Neither the removal nor the arrival wrote to the log.
    EXPECT_FALSE(fs::exists(m_root.Host("SD Card/system.log")));
    EXPECT_FALSE(fs::exists(m_root.Host(".platform/volumes/SD Card/system.log")));
}

// ---- Closing ------------------------------------------------------------------------------------

TEST_F(QrxTest, CloseWithoutShellStartsNoDesktopAndPlainCloseStartsIt) {
    Boot({}, [&] {
        Install(m_root, QRX_STANDIN_EXE, "Windows/explorer.exe");
        InstallPoster();
    });
    auto explorerRuns = [&] {
        std::istringstream in(m_root.ReadFile("standin.log"));
        size_t n = 0;
        for (std::string line; std::getline(in, line);) n += line.rfind("\\Windows\\explorer.exe|", 0) == 0;
        return n;
    };
    std::string why;

    // 0xF0F0: the program ends and leaves the desktop alone.
    ASSERT_TRUE(WaitStartedWithMcu(1));
    ASSERT_TRUE(PostToMain(WM_CLOSE, 0xF0F0));
    EXPECT_EQ(Device().WaitQrxExit(), 0) << Slurp(m_root.Host("qrx.err"));

    // 0 with a desktop window up: nothing to start either.
    pid_t desktop = SpawnHost({QRX_SCREEN_PEER, "window", "DesktopExplorerWindow", "Desktop", "0", "470", "10", "10", "000000"},
                              {"QRX_PEER_LOG=" + m_root.Host("desktop.log")}, QrxDevice::Unset());
    ASSERT_GT(desktop, 0);
    ASSERT_TRUE(Device().WaitForWindow("DesktopExplorerWindow"));
    ASSERT_TRUE(Device().StartQrx(why)) << why;
    ASSERT_TRUE(WaitStartedWithMcu(2));
    ASSERT_TRUE(PostToMain(WM_CLOSE, 0));
    EXPECT_EQ(Device().WaitQrxExit(), 0) << Slurp(m_root.Host("qrx.err"));
    StopHost(desktop);

    // 0 without one: the desktop is started. It is the first and only one of the three runs, so the
    // runs before started none (they would have recorded long before this one).
    ASSERT_TRUE(Device().StartQrx(why)) << why;
    ASSERT_TRUE(WaitStartedWithMcu(3));
    ASSERT_TRUE(PostToMain(WM_CLOSE, 0));
    EXPECT_EQ(Device().WaitQrxExit(), 0) << Slurp(m_root.Host("qrx.err"));
    EXPECT_TRUE(WaitUntil([&] { return explorerRuns() >= 1; })) << m_root.ReadFile("standin.log");
    EXPECT_EQ(explorerRuns(), 1u) << m_root.ReadFile("standin.log");
}

// ---- Hidden access sequence ---------------------------------------------------------------------

TEST_F(QrxTest, HiddenSequenceOpensAdminOrClosesAndResetsOnWrongPressOrPause) {
    Boot({});
    ASSERT_TRUE(WaitStartedWithMcu());
    // The presses reach the program together, well inside its window between presses.
    auto press = [&](const std::vector<int>& controls) {
        std::vector<POINT> taps;
        for (int c : controls) taps.push_back(POINT{c == 4 ? 20 : 780, 20});
        ASSERT_TRUE(Device().Taps(taps));
    };
    // Presses, then the user's pause of over a second: it runs from when the program has handled the
    // presses, and ends once the program has run the timer that closes its window between presses.
    auto pressAndPause = [&](const std::vector<int>& controls) {
        ASSERT_NO_FATAL_FAILURE(press(controls));
        ASSERT_TRUE(Device().Idle());
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_TRUE(Device().Idle());
    };

    // A wrong press resets: without the reset the last presses would complete the sequence and the
    // final 4 would close the program.
    ASSERT_NO_FATAL_FAILURE(pressAndPause({4, 5, 4, 5, 4, 5, 5, 4}));
    // So does a pause of over a second.
    ASSERT_NO_FATAL_FAILURE(pressAndPause({4, 5, 4}));
    ASSERT_NO_FATAL_FAILURE(pressAndPause({4, 5, 5, 4}));

    // The right sequence, then 5: the top bar in admin mode, HOME its only button.
    press({4, 5, 4, 4, 5, 5, 5});
    ASSERT_TRUE(WaitShown(kTopBar, true)) << Windows();
    EXPECT_TRUE(Device().QrxRunning()) << "an earlier probe closed the program";
    RgbPicture shot;
    auto flat = [&](int left, int right) {
        for (int y = 3; y < 58; ++y)
            for (int x = left; x < right; ++x)
                for (int c = 0; c < 3; ++c)
                    if (std::abs(shot.At(x, y)[c] - shot.At(left, y)[c]) > 6) return false;
        return true;
    };
    // Shown comes before painted.
    EXPECT_TRUE(WaitUntil([&] { return Device().Shot(shot) && !flat(4, 84); })) << "HOME is drawn";
    EXPECT_TRUE(flat(88, 588)) << "MANUAL, AUTO, PROGRAM, FILTER, LOG and LOCK are hidden; see " << m_root.Host("shot.png");

    // HOME leaves admin mode.
    ASSERT_TRUE(Device().Tap(44, 30));
    ASSERT_TRUE(WaitShown(kTopBar, false)) << Windows();

    // The right sequence, then 4: the program ends, the tone stopped.
    press({4, 5, 4, 4, 5, 5, 4});
    EXPECT_EQ(Device().WaitQrxExit(), 0) << Slurp(m_root.Host("qrx.err"));
    EXPECT_FALSE(Tones().back().on);
}

// ---- Backlight saver ----------------------------------------------------------------------------

TEST_F(QrxTest, BacklightGoesOffAfterThirtyMinutesAndATapLightsIt) {
    // 600 times faster: 30 minutes are 3 s.
    Boot({false, {}, 600}, [] { ASSERT_TRUE(WriteSettings([](SettingsRecord& s) { s.wBackLight = 1; })); });
    DismissNoMcuPopup();
    auto backlight = [] {
        std::vector<std::pair<DWORD, DWORD>> sets;  // tick, on
        for (const auto& r : qrx::ReadDeviceRecords("PWM2")) {
            DWORD on = 0;
            if (r.bytes.size() >= 4) std::memcpy(&on, r.bytes.data(), 4);
            sets.push_back({r.tick, on});
        }
        return sets;
    };
    ASSERT_TRUE(WaitUntil([] { return qrx::BacklightState() == 0; }));
    EXPECT_TRUE(WaitShown(kFullScreen, true)) << Windows();
    auto sets = backlight();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].second, 0u);
    EXPECT_GE(sets[0].first, 1800000u);

    // A touch anywhere lights it and takes the cover away; the timer starts again.
    ASSERT_TRUE(Device().Tap(kOperationX, kOperationY));
    ASSERT_TRUE(WaitUntil([] { return qrx::BacklightState() == 1; }));
    EXPECT_TRUE(WaitShown(kFullScreen, false)) << Windows();
    ASSERT_TRUE(WaitUntil([] { return qrx::BacklightState() == 0; }));
    sets = backlight();
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[1].second, 1u);
    EXPECT_EQ(sets[2].second, 0u);
    EXPECT_GE(sets[2].first - sets[1].first, 1800000u);
    EXPECT_LT(sets[2].first - sets[1].first, 1800000u * 3);
    EXPECT_TRUE(WaitShown(kFullScreen, true)) << Windows();
}

// ---- Screen lock --------------------------------------------------------------------------------

class QrxLockTest : public QrxTest {
protected:
    // 300 times faster: the 10 minute lock is 2 s. Korean, so the language index shows.
    static constexpr int kTimeScale = 300;
    static constexpr Ms kLockPeriod{600000 / kTimeScale};
    static constexpr POINT kPopupOk = {312, 334}, kPopupCancel = {462, 334};  // the popup's buttons
    static constexpr POINT kPatternSettingButton = {690, 151};
    // The stored pattern: every key once, in order.
    const std::string kPattern = std::string("\x00\x01\x02\x03\x04\x05", 6);

    void BootLocked(bool withShutter, bool locked = true, WORD backlight = 0) {
        Boot({false, {}, kTimeScale}, [&] {
            ASSERT_TRUE(WriteSettings([&](SettingsRecord& s) {
                s.wLockEnable = locked ? 1 : 0;
                s.wBackLight = backlight;
            }));
            if (locked) m_root.WriteFile("NAND Flash/LockDat.dat", kPattern);
            m_root.WriteFile("NAND Flash/language.dat", std::string(1, '\x01'));
            if (!withShutter) fs::remove(m_root.Host("Windows/Shutter.exe"));
        });
        DismissNoMcuPopup();
    }
    static POINT Key(int k) { return {133 + 267 * (k % 3), k < 3 ? 120 : 360}; }
    bool TapKeys(const std::vector<int>& keys) {
        for (int k : keys)
            if (!Device().Tap(Key(k).x, Key(k).y)) return false;
        return true;
    }
    const ScreenWindow* Find(const std::vector<ScreenWindow>& list, const std::string& title) const {
        for (const ScreenWindow& w : list)
            if (w.visible && w.title == title) return &w;
        return nullptr;
    }
    bool WaitPopup(bool shown) {
        return WaitUntil([&] { return (Find(Device().Windows(), "POPUP_DIALOG") != nullptr) == shown; });
    }
    bool ShutterUp() { return Find(Device().Windows(), "Shutter") != nullptr; }
    // Answers the popup that is up with OK or CANCEL and waits until it is gone.
    void Answer(POINT button) {
        ASSERT_TRUE(WaitPopup(true)) << Windows();
        ASSERT_TRUE(Device().Tap(button.x, button.y));
        ASSERT_TRUE(WaitPopup(false)) << Windows();
    }
    // Taps the lock box: Shutter comes up in front, with its introduction.
    void OpenLock() {
        ASSERT_TRUE(WaitShown(kLockBox, true)) << Windows();
        ASSERT_TRUE(Device().Tap(kLockBoxX, kLockBoxY));
        ASSERT_TRUE(WaitPopup(true)) << Windows();
    }
    bool WaitShutterGone() {
        return WaitUntil([&] { return !ShutterUp(); });
    }
};

TEST_F(QrxLockTest, CheckModeUnlocksOnThePatternAndShowsTheBoxOnCancel) {
    BootLocked(true);
    OpenLock();
    // Full screen in front of everything, in the stored language and check mode.
    auto list = Device().Windows();
    const ScreenWindow* lock = Find(list, "Shutter");
    ASSERT_NE(lock, nullptr) << Windows();
    EXPECT_EQ(lock->className, "Shutter");
    EXPECT_TRUE(lock->rect.left == 0 && lock->rect.top == 0 && lock->rect.right == 800 && lock->rect.bottom == 480);
    for (const ScreenWindow& w : list)
        if (w.visible) {
            EXPECT_TRUE(w.title == "POPUP_DIALOG" || w.title == "Shutter") << Windows();
            if (w.title == "Shutter") break;
        }
    EXPECT_NE(DebugLog().find("[LOCK]Shutter language 1 mode 1"), std::string::npos) << DebugLog();
    // OK, the pattern: unlocked, no box until the lock period ran out again.
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({0, 1, 2, 3, 4, 5}));
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_FALSE(Shown(kLockBox));
    // Wrong, then CANCEL: the box at once; the introduction's CANCEL likewise.
    OpenLock();
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({5, 5, 5, 5, 5, 5}));
    Answer(kPopupCancel);
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_TRUE(Shown(kLockBox)) << Windows();
    OpenLock();
    Answer(kPopupCancel);
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_TRUE(Shown(kLockBox)) << Windows();
    // Wrong, OK: a fresh try needs all six.
    OpenLock();
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({1, 1, 1, 1, 1, 1}));
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({0, 1, 2, 3, 4, 5}));
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_TRUE(Device().QrxRunning());
}

TEST_F(QrxLockTest, SetModeFromTheSettingPageStoresExactlyTheTaps) {
    BootLocked(true, false);
    ASSERT_TRUE(Device().Tap(kSettingX, kOperationY));
    ASSERT_TRUE(WaitShown(RECT{0, 61, 800, 480}, true)) << Windows();
    ASSERT_TRUE(Device().Tap(kPatternSettingButton.x, kPatternSettingButton.y));
    ASSERT_TRUE(WaitPopup(true)) << Windows();
    EXPECT_NE(DebugLog().find("[LOCK]Shutter language 1 mode 0"), std::string::npos) << DebugLog();
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({5, 3, 3, 0, 4, 1}));
    Answer(kPopupOk);
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_EQ(m_root.ReadFile("NAND Flash/LockDat.dat"), std::string("\x05\x03\x03\x00\x04\x01", 6));
    // The confirmation's CANCEL keeps the stored pattern.
    ASSERT_TRUE(Device().Tap(kPatternSettingButton.x, kPatternSettingButton.y));
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({2, 2, 2, 2, 2, 2}));
    Answer(kPopupCancel);
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_EQ(m_root.ReadFile("NAND Flash/LockDat.dat"), std::string("\x05\x03\x03\x00\x04\x01", 6));
}

TEST_F(QrxLockTest, SecondShutterExitsAndAKilledOneLeavesTheScreenLocked) {
    BootLocked(true);
    OpenLock();
    pid_t second = SpawnHost({m_root.Host("Windows/Shutter.exe"), "1,1"}, Device().Env(), QrxDevice::Unset());
    EXPECT_EQ(WaitExit(second), 255);
    const auto list = Device().Windows();
    const ScreenWindow* lock = Find(list, "Shutter");
    ASSERT_NE(lock, nullptr) << Windows();
    kill(lock->pid, SIGKILL);
    EXPECT_TRUE(WaitShown(kLockBox, true)) << Windows() << DebugLog();
    EXPECT_NE(DebugLog().find("[LOCK]Shutter ended without an answer"), std::string::npos);
}

TEST_F(QrxLockTest, PatternFileDeletedWhileArmedDisarmsTheLock) {
    BootLocked(true);
    OpenLock();
    Answer(kPopupOk);
    ASSERT_TRUE(TapKeys({0, 1, 2, 3, 4, 5}));
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    fs::remove(m_root.Host("NAND Flash/LockDat.dat"));
    // The timer was armed when the pattern went; it must not show a box that nothing can open, not
    // within three lock periods either.
    EXPECT_FALSE(WaitUntil([&] { return Shown(kLockBox); }, 3 * kLockPeriod)) << Windows();
    EXPECT_TRUE(Device().QrxRunning());
}

TEST_F(QrxLockTest, BacklightCoverLiesAboveShutterAndItsTouchPressesNoKey) {
    // 30 minutes of backlight are 6 s.
    BootLocked(true, true, 1);
    OpenLock();
    Answer(kPopupOk);
    ASSERT_TRUE(WaitUntil([] { return qrx::BacklightState() == 0; }));
    ASSERT_TRUE(WaitUntil([&] {
        for (const ScreenWindow& w : Device().Windows())
            if (w.visible) return w.className == kPanel && w.rect.right == 800 && w.rect.bottom == 480;
        return false;
    })) << Windows();
    // The first touch only lights the screen and brings Shutter to the front: six more taps unlock.
    ASSERT_TRUE(Device().Tap(Key(5).x, Key(5).y));
    ASSERT_TRUE(WaitUntil([] { return qrx::BacklightState() == 1; }));
    ASSERT_TRUE(WaitUntil([&] {
        for (const ScreenWindow& w : Device().Windows())
            if (w.visible) return w.title == "Shutter";
        return false;
    })) << Windows();
    ASSERT_TRUE(TapKeys({0, 1, 2, 3, 4, 5}));
    ASSERT_TRUE(WaitShutterGone()) << Windows();
    EXPECT_FALSE(Shown(kLockBox));
}

TEST_F(QrxLockTest, MissingShutterLeavesTheScreenUnlockedAndReArms) {
    BootLocked(false);
    ASSERT_TRUE(WaitShown(kLockBox, true)) << Windows();
    ASSERT_TRUE(Device().Tap(kLockBoxX, kLockBoxY));
    // The box goes (the screen learns of it a little after the log line) for a lock period at least.
    ASSERT_TRUE(WaitUntil([&] {
        return DebugLog().find("[LOCK]Shutter start failed") != std::string::npos && !Shown(kLockBox);
    })) << DebugLog() << Windows();
    // Re-armed: the box comes back when the timer runs out.
    EXPECT_TRUE(WaitShown(kLockBox, true)) << Windows();
    EXPECT_TRUE(Device().QrxRunning());
}

}  // namespace
