// A whole Restoration on the real device, the device clock 600 times faster: a 12 V 60 Ah lead-acid
// battery at 20 % charged at 14.40 V and 6 A for four hours, started as the manual page starts it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"

using namespace system_harness;

namespace {

constexpr int kOperationX = 235, kOperationY = 322;  // the main page's OPERATION button
constexpr RECT kOperationPage = {0, 61, 800, 480};
constexpr int kViewX = 697, kViewY = 447;   // the operation page's view button
constexpr int kPopupOkX = 400, kPopupOkY = 326;
constexpr RECT kPopup = {210, 84, 590, 364};
constexpr int kBarLeft = 600, kBarRight = 774;  // right of the popup, and inside the bars' right ends
constexpr int kProgramBarY = 314, kStepBarY = 392;
constexpr RECT kGraphShown = {600, 100, 785, 390};  // the part of the graph a popup never covers
constexpr DWORD kRunSeconds = 4 * 3600;

struct Rgb {
    int r, g, b;
};
Rgb Pixel(const RgbPicture& p, int x, int y) {
    const size_t i = (static_cast<size_t>(y) * p.width + x) * 3;
    return {p.rgb[i], p.rgb[i + 1], p.rgb[i + 2]};
}
bool Near(Rgb a, Rgb b) { return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b) <= 30; }

// The simulated MCU's "state" line: "soc=.. volts=.. ... output=N ...".
double StateValue(const TempDeviceRoot& root, const QrxDevice& device, const std::string& key) {
    pid_t pid = SpawnHost({QRX_SIM_MCU_EXE, "--root", root.Path(), "state"}, device.Env(), QrxDevice::Unset(),
                          root.Host("state.out"), root.Host("state.err"));
    if (pid <= 0 || WaitExit(pid) != 0) return -1;
    const std::string text = Slurp(root.Host("state.out"));
    const size_t at = text.find(key + "=");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size() + 1);
}

TEST(RestorationSystem, ARestorationRunsToItsEnd) {
    TempDeviceRoot root;
    QrxDevice::Options options;
    options.timeScale = 600;
    options.mcuArgs = {"--capacity", "60", "--soc", "20"};
    QrxDevice device(root, options);
    std::string why;
    ASSERT_TRUE(device.Start(why, [] {
        SetDefaultSettings(&g_Settings);
        ASSERT_TRUE(SaveSettingFile());
        g_OpMode = OpModeRecord{};
        g_OpMode.dVoltage = 14.4;
        g_OpMode.dCurrent = 6.0;
        g_OpMode.dwTime = kRunSeconds;
        ASSERT_TRUE(SaveOpModeFile());
    })) << why;
    Install(root, QRX_POSTER_EXE, "Windows/Poster.exe");
    ASSERT_TRUE(WaitUntil([&] { return Slurp(device.McuLogPath()).find("CmdSetTempLimit") != std::string::npos; }));
    ASSERT_TRUE(device.Tap(kOperationX, kOperationY));
    ASSERT_TRUE(WaitUntil([&] { return device.Shown("WDSHELL_PANEL", kOperationPage); })) << device.WindowText();
    RgbPicture before;
    ASSERT_TRUE(device.Shot(before, "before.png"));

    // The manual page's Restoration button: shell 4, control 12.
    pid_t poster = SpawnHost({root.Host("Windows/Poster.exe"), "post 1025 4 12"}, device.Env(), QrxDevice::Unset());
    ASSERT_TRUE(poster > 0 && WaitExit(poster) == 0);
    auto logHas = [&](const std::string& what) { return Slurp(device.McuLogPath()).find(what) != std::string::npos; };
    ASSERT_TRUE(WaitUntil([&] { return logHas("CmdSet15 1"); })) << Slurp(device.McuLogPath());
    const std::string log = Slurp(device.McuLogPath());
    const size_t start = log.find("CmdSet10 1440");
    ASSERT_NE(start, std::string::npos);
    for (const char* next : {"CmdSet11 600", "CmdSet14 0", "CmdSet1A 0", "CmdSet19 0", "CmdSet15 1"})
        EXPECT_NE(log.find(next, start), std::string::npos) << next;

    // Four device hours: the output goes off at the end and the page tells it.
    ASSERT_TRUE(WaitUntil([&] { return Slurp(device.McuLogPath()).find("CmdSet15 0", start) != std::string::npos; },
                          Ms(240000)));
    ASSERT_TRUE(WaitUntil([&] {
        return root.ReadFile("SD Card/system.log").find(std::string("R\0e\0s\0t\0o\0r\0a\0t\0i\0o\0n", 21)) !=
               std::string::npos;
    }));
    const double soc = StateValue(root, device, "soc");
    EXPECT_GT(soc, 45.0) << "20 % and up to 24 Ah of 60 Ah";
    EXPECT_LT(soc, 62.0);
    EXPECT_EQ(StateValue(root, device, "output"), 0.0);

    // Both progress bars full: their right ends show the fill that was track before the run.
    RgbPicture after;
    ASSERT_TRUE(WaitUntil([&] {
        return device.Shot(after, "after.png") && Near(Pixel(after, kBarLeft, kStepBarY), Pixel(after, kBarRight, kStepBarY));
    })) << "see " << root.Host("after.png");
    for (int y : {kProgramBarY, kStepBarY}) {
        EXPECT_FALSE(Near(Pixel(before, kBarRight, y), Pixel(after, kBarRight, y))) << y;
        EXPECT_TRUE(Near(Pixel(after, kBarLeft, y), Pixel(after, kBarRight, y))) << y;
    }

    // The graph holds the run: the voltage (green) and current lines.
    ASSERT_TRUE(device.Tap(kPopupOkX, kPopupOkY));
    ASSERT_TRUE(WaitUntil([&] { return !device.Shown("WDSHELL_PANEL", kPopup); })) << device.WindowText();
    ASSERT_TRUE(device.Tap(kViewX, kViewY));
    size_t green = 0, current = 0;
    RgbPicture graph;
    EXPECT_TRUE(WaitUntil([&] {
        if (!device.Shot(graph, "graph.png")) return false;
        green = current = 0;
        for (int y = kGraphShown.top; y < kGraphShown.bottom; ++y)
            for (int x = kGraphShown.left; x < kGraphShown.right; ++x) {
                const Rgb p = Pixel(graph, x, y);
                green += p.g > 200 && p.r < 80 && p.b < 80;
                current += p.r > 200 && p.g < 80;
            }
        return green > 50 && current > 50;
    })) << green << " green, " << current << " current; see " << root.Host("graph.png");
}

}  // namespace
