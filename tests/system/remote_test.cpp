// The real main program driven over COM5 by qrx-remote: the simulated host's terminal relays the
// tool's frames to the device, which runs a program on the simulated MCU at 10 times the device clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/Settings.h"
#include "sim/LinkSim.h"

using namespace system_harness;

namespace {

// The comma-separated fields of a frame.
std::vector<std::string> Fields(const std::string& frame) {
    std::vector<std::string> f;
    for (size_t at = 0, comma; (comma = frame.find(',', at)) != std::string::npos; at = comma + 1)
        f.push_back(frame.substr(at, comma - at));
    return f;
}

TEST(RemoteSystem, HostStartsStreamsAndStopsAProgram) {
    TempDeviceRoot root;
    QrxDevice::Options options;
    options.timeScale = 10;
    QrxDevice device(root, options);
    std::unique_ptr<sim::LinkSim> host;
    std::string why;
    ASSERT_TRUE(device.Start(why, [&] {
        SetDefaultSettings(&g_Settings);
        ASSERT_TRUE(SaveSettingFile());
        g_OpMode = OpModeRecord{};
        ProgramStep& s = g_OpMode.steps[0];
        s.dwEnable = 1;
        s.byKind = 2;
        s.dVoltage = 14.4;
        s.dCurrent = 5;
        s.dwTime = 3600;
        ASSERT_TRUE(SaveOpModeFile());
        host = std::make_unique<sim::LinkSim>(sim::LinkSimConfig{5, false, true});
        ASSERT_TRUE(host->Start()) << host->Error();
    })) << why;
    ASSERT_TRUE(WaitUntil([&] { return Slurp(device.McuLogPath()).find("CmdSetTempLimit") != std::string::npos; }));

    auto remote = [&](const std::vector<std::string>& records, const std::string& name) {
        std::vector<std::string> args{QRX_REMOTE_EXE, "--tty", host->HostPath(), "--wait", "20000"};
        args.insert(args.end(), records.begin(), records.end());
        const pid_t pid = SpawnHost(args, device.Env(), QrxDevice::Unset(), root.Host(name + ".out"), root.Host(name + ".err"));
        EXPECT_GT(pid, 0);
        EXPECT_EQ(WaitExit(pid), 0) << Slurp(root.Host(name + ".err"));
        return Slurp(root.Host(name + ".out"));
    };
    const std::string started = remote({"C4", "C1", "B1"}, "start");
    EXPECT_NE(started.find("$QRX,C4,"), std::string::npos) << started;
    EXPECT_NE(started.find("$QRX,C1,"), std::string::npos) << started;

    // The status streams once a device second; 30 device seconds of the program.
    std::string last;
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& f : host->Frames())
            if (f.compare(0, 8, "$QRX,B0,") == 0) last = f;
        const std::vector<std::string> f = Fields(last);
        return f.size() > 13 && std::stoi(f[11]) >= 30;
    })) << last;
    std::vector<std::string> f = Fields(last);
    EXPECT_EQ(f[4], "1");   // step 1
    EXPECT_EQ(f[13], "3");  // program
    EXPECT_GE(host->Count("B0,"), 25u);

    const std::string stopped = remote({"C0", "B2"}, "stop");
    EXPECT_NE(stopped.find("$QRX,C0,"), std::string::npos) << stopped;
    EXPECT_NE(stopped.find("$QRX,B2,"), std::string::npos) << stopped;
    const std::string status = remote({"B0"}, "status");
    const size_t at = status.rfind("$QRX,B0,");
    ASSERT_NE(at, std::string::npos) << status;
    f = Fields(status.substr(at, status.find('\n', at) - at));
    ASSERT_GT(f.size(), 13u);
    EXPECT_EQ(f[13], "0");  // idle
}

}  // namespace
