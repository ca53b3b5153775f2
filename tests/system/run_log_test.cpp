// A run's log on the real device. Power cuts in the middle of a run: the main program killed outright at
// random seconds of a run, the device started again, the run resumed from its log and continued by the
// user; the log must hold every second once: after each cut the next row carries the seconds of the last
// whole row plus one. And a stored log chosen in the log list and drawn in the graph.
#include <gtest/gtest.h>
#include <signal.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"

using namespace system_harness;

namespace {

constexpr int kCuts = 10;
constexpr int kPauseX = 103, kPauseY = 447;  // the operation page's pause/continue button
const char kLog[] = "SD Card/Log/2024-03-05_141502_R.CSV";

std::string SeedRow(int seconds, double volts = 12.5, double amps = 5.0) {
    char row[96];
    std::snprintf(row, sizeof row, "24/03/05,14:%02d:%02d,0,0,014.4,010.0,10:00,%05.1f,%05.1f,%06d,+025,1,60,0,0,00:00\r\n",
                  15 + seconds / 60 % 45, seconds % 60, volts, amps, seconds);
    return row;
}

// The resume record of a Restoration logging into kLog.
std::string RecordBytes() {
    std::string bytes(536, '\0');
    const double volts = 12.5;
    std::memcpy(&bytes[0], &volts, sizeof volts);
    const std::string path = "\\SD Card\\Log\\2024-03-05_141502_R.CSV";
    for (size_t i = 0; i < path.size(); ++i) bytes[8 + 2 * i] = path[i];
    bytes[528] = 'R';
    return bytes;
}

// The elapsed seconds of every whole row; false when a whole row is not a row of the log.
bool Elapsed(const std::string& text, std::vector<long>& out, std::string& why) {
    out.clear();
    size_t at = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; at = nl + 1, nl = text.find('\n', at)) {
        const std::string row = text.substr(at, nl + 1 - at);
        std::vector<std::string> fields;
        size_t from = 0;
        for (size_t comma = row.find(','); comma != std::string::npos; from = comma + 1, comma = row.find(',', from))
            fields.push_back(row.substr(from, comma - from));
        fields.push_back(row.substr(from));
        if (fields.size() != 16 || row.size() < 80 || row.substr(row.size() - 2) != "\r\n" || fields[9].size() != 6 ||
            fields[11] != "1") {
            why = "row " + std::to_string(out.size()) + " is not a row: " + row;
            return false;
        }
        out.push_back(std::stol(fields[9]));
    }
    return true;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(PowerCutSystem, EveryCutResumesAfterTheLastWholeRow) {
    TempDeviceRoot root;
    QrxDevice::Options options;
    options.timeScale = 20;
    QrxDevice device(root, options);
    std::string why;
    std::string seed;
    for (int s = 0; s < 6; ++s) seed += SeedRow(s);
    ASSERT_TRUE(device.Start(why, [&] {
        SetDefaultSettings(&g_Settings);
        ASSERT_TRUE(SaveSettingFile());
        g_OpMode.dVoltage = 14.4;
        g_OpMode.dCurrent = 10;
        g_OpMode.dwTime = 10 * 3600;
        ASSERT_TRUE(SaveOpModeFile());
        // The run of an earlier life, cut after its sixth second.
        root.WriteFile(kLog, seed);
        root.WriteFile("SD Card/Operating.dat", RecordBytes());
    })) << why;

    std::mt19937 random(std::random_device{}());
    const std::string debugLog = root.Host(".platform/debug.log");
    std::vector<size_t> rowsAtCut{6};  // whole rows when each life began
    std::vector<long> lastAtCut{5};
    std::vector<long> elapsed;
    for (int life = 0; life <= kCuts; ++life) {
        SCOPED_TRACE("life " + std::to_string(life));
        // The resume has rebuilt the run and closed the loading screen.
        ASSERT_TRUE(WaitUntil([&] { return Count(Slurp(debugLog), "Thread Time : ") >= static_cast<size_t>(life) + 1; }))
            << Slurp(debugLog).substr(0, 4000);
        ASSERT_EQ(Count(Slurp(debugLog), "LAST : "), static_cast<size_t>(life) + 1) << "the run was not restored";
        ASSERT_TRUE(WaitUntil([&] {
            for (const ScreenWindow& w : device.Windows())
                if (w.visible && w.className == "SPLASH_APP") return false;
            return true;
        }));
        ASSERT_TRUE(Elapsed(root.ReadFile(kLog), elapsed, why)) << why;
        ASSERT_EQ(elapsed.size(), rowsAtCut.back()) << "a partial row is cut before logging goes on";
        // The user continues the held run once the page has polled the battery again.
        const size_t polls = Count(Slurp(device.McuLogPath()), "GetCurrentStatus");
        ASSERT_TRUE(WaitUntil([&] { return Count(Slurp(device.McuLogPath()), "GetCurrentStatus") >= polls + 2; }));
        ASSERT_TRUE(device.Tap(kPauseX, kPauseY));
        const size_t target = rowsAtCut.back() + 3 + random() % 10;
        ASSERT_TRUE(WaitUntil([&] { return Elapsed(root.ReadFile(kLog), elapsed, why) && elapsed.size() >= target; }))
            << why << " rows " << elapsed.size() << " of " << target;
        if (life == kCuts) break;
        kill(device.QrxPid(), SIGKILL);
        ASSERT_GE(device.WaitQrxExit(), 0);
        ASSERT_TRUE(Elapsed(root.ReadFile(kLog), elapsed, why)) << why;
        rowsAtCut.push_back(elapsed.size());
        lastAtCut.push_back(elapsed.back());
        ASSERT_TRUE(device.StartQrx(why)) << why;
    }
    device.Shutdown();

    ASSERT_TRUE(Elapsed(root.ReadFile(kLog), elapsed, why)) << why;
    for (size_t i = 1; i < elapsed.size(); ++i)
        ASSERT_GT(elapsed[i], elapsed[i - 1]) << "row " << i << " repeats or goes back";
    // Each resume goes on from the second after the last whole row; its first row may carry a later
    // second only when that tick came late (a busy machine), as any tick does.
    std::vector<long> resumedAt;
    const std::string log = Slurp(debugLog);
    for (size_t at = log.find("LAST : "); at != std::string::npos; at = log.find("LAST : ", at + 1))
        resumedAt.push_back(std::stol(log.substr(at + 7)));
    ASSERT_EQ(resumedAt.size(), rowsAtCut.size());
    for (size_t cut = 0; cut < rowsAtCut.size(); ++cut) {
        ASSERT_LT(rowsAtCut[cut], elapsed.size());
        EXPECT_EQ(resumedAt[cut], lastAtCut[cut] + 1) << "after cut " << cut << " at row " << rowsAtCut[cut];
        EXPECT_GE(elapsed[rowsAtCut[cut]], resumedAt[cut]) << "after cut " << cut << " at row " << rowsAtCut[cut];
    }
}

TEST(RunLogSystem, LogListDrawsAStoredLogInTheGraph) {
    constexpr int kOperationX = 235, kOperationY = 322;  // the main page's OPERATION button
    constexpr int kLogX = 464, kLogY = 30;               // the top bar's LOG
    constexpr int kRowX = 282, kRowY = 145;              // the log list's first row
    constexpr int kOpenX = 328, kOpenY = 375;            // the log list's OPEN
    constexpr int kViewX = 697, kViewY = 447;            // the page's VIEW
    constexpr RECT kClock = {690, 0, 800, 61};
    TempDeviceRoot root;
    QrxDevice::Options options;
    options.timeScale = 20;
    QrxDevice device(root, options);
    std::string why;
    ASSERT_TRUE(device.Start(why, [&] {
        SetDefaultSettings(&g_Settings);
        ASSERT_TRUE(SaveSettingFile());
        std::string log;
        for (int s = 0; s < 3600; ++s) log += SeedRow(s, 11.8 + s / 1800.0, 10.0 - s / 600.0);
        root.WriteFile("SD Card/Log/2024-03-05_141500_R.CSV", log);
    })) << why;
    ASSERT_TRUE(WaitUntil([&] { return Slurp(device.McuLogPath()).find("CmdSetTempLimit") != std::string::npos; }));
    ASSERT_TRUE(device.Tap(kOperationX, kOperationY));
    ASSERT_TRUE(WaitUntil([&] { return device.Shown("WDSHELL_PANEL", RECT{0, 61, 800, 480}); })) << device.WindowText();
    const std::string debugLog = root.Host(".platform/debug.log");
    RgbPicture shot, expected;
    // The top bar takes the page's buttons after the page shows: the program handles that first.
    ASSERT_TRUE(device.Idle());
    ASSERT_TRUE(device.Tap(kLogX, kLogY));
    ASSERT_TRUE(WaitUntil([&] { return Slurp(debugLog).find("Files : 1") != std::string::npos; }))
        << Slurp(debugLog).substr(0, 6000);
    ASSERT_TRUE(device.Taps({{kRowX, kRowY}, {kOpenX, kOpenY}}));
    ASSERT_TRUE(WaitUntil([&] { return Slurp(debugLog).find("log view: 3600 rows") != std::string::npos; }));
    ASSERT_TRUE(WaitUntil([&] {
        for (const ScreenWindow& w : device.Windows())
            if (w.visible && w.className == "SPLASH_APP") return false;
        return true;
    }));
    ASSERT_TRUE(device.Tap(kViewX, kViewY));

    const std::string golden = std::string(QRX_SYSTEM_DATA) + "/qrx_log_view.png";
    if (std::getenv("QRX_UPDATE_GOLDEN")) {
        ASSERT_TRUE(device.SettledShot(shot, "golden.png", {kClock}));
        std::filesystem::copy_file(root.Host("golden.png"), golden, std::filesystem::copy_options::overwrite_existing);
    }
    ASSERT_TRUE(ReadPngPicture(golden, expected)) << golden << " missing (QRX_UPDATE_GOLDEN=1 makes it)";
    size_t differ = 0;
    const bool same = WaitUntil([&] {
        differ = device.Shot(shot) ? DifferentPixels(shot, expected, 24, {kClock}) : expected.rgb.size();
        return differ <= 300;
    });
    EXPECT_TRUE(same) << differ << " pixels differ from " << golden << "; see " << root.Host("shot.png");
}

}  // namespace
