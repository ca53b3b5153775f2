// The operation page of the real main program on a device of its own with the simulated MCU, the
// device clock 600 times faster: OPERATION opens the page, which shows the battery as the MCU reports it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

constexpr int kOperationX = 235, kOperationY = 322;  // the main page's OPERATION button
constexpr RECT kOperationPage = {0, 61, 800, 480};
constexpr RECT kClock = {690, 0, 800, 61};  // the top bar's clock runs with the device

TEST(OperationPageSystem, OperationOpensALivePage) {
    TempDeviceRoot root;
    QrxDevice::Options options;
    options.timeScale = 600;
    QrxDevice device(root, options);
    std::string why;
    ASSERT_TRUE(device.Start(why, [] {
        SetDefaultSettings(&g_Settings);
        ASSERT_TRUE(SaveSettingFile());
    })) << why;
    // Start-up ends with the last limit sent to the MCU.
    ASSERT_TRUE(WaitUntil([&] { return Slurp(device.McuLogPath()).find("CmdSetTempLimit") != std::string::npos; }));
    ASSERT_TRUE(device.Tap(kOperationX, kOperationY));
    ASSERT_TRUE(WaitUntil([&] { return device.Shown("WDSHELL_PANEL", kOperationPage); })) << device.WindowText();

    // The battery's voltage as the page shows it, against the golden picture; QRX_UPDATE_GOLDEN=1
    // makes the picture anew from this run.
    const std::string golden = std::string(QRX_SYSTEM_DATA) + "/qrx_operation_page.png";
    RgbPicture shot, expected;
    if (std::getenv("QRX_UPDATE_GOLDEN")) {
        ASSERT_TRUE(device.SettledShot(shot, "golden.png", {kClock}));
        fs::copy_file(root.Host("golden.png"), golden, fs::copy_options::overwrite_existing);
    }
    ASSERT_TRUE(ReadPngPicture(golden, expected)) << golden << " missing (QRX_UPDATE_GOLDEN=1 makes it)";
    size_t differ = 0;
    const bool same = WaitUntil([&] {
        differ = device.Shot(shot) ? DifferentPixels(shot, expected, 24, {kClock}) : expected.rgb.size();
        return differ <= 150;
    });
    EXPECT_TRUE(same) << differ << " pixels differ from " << golden << "; see " << root.Host("shot.png");
    // The page goes on polling the MCU, once a device second.
    auto polls = [&] {
        const std::string log = Slurp(device.McuLogPath());
        size_t n = 0;
        for (size_t at = log.find("GetCurrentStatus"); at != std::string::npos;
             at = log.find("GetCurrentStatus", at + 1))
            ++n;
        return n;
    };
    const size_t before = polls();
    EXPECT_TRUE(WaitUntil([&] { return polls() >= before + 30; }));
}

}  // namespace
