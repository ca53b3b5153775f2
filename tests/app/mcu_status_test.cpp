// The measurement record from the line: the checked decoder, and the status poll through the real
// link against the simulated MCU on an accelerated device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "DeviceRoot.h"
#include "app/MicomPort.h"
#include "qrx/host.h"

#if __has_include("sim/McuSim.h")
#include "sim/McuSim.h"
#endif

namespace {

using Bytes = std::vector<BYTE>;

// Reply payload: group, code and the record with the given fields, state bits 0x15 and error bits 0x1E.
Bytes StatusReply(std::vector<int> fields) {
    Bytes r{0x02, 0x00};
    for (int v : fields) r.insert(r.end(), {static_cast<BYTE>(v & 0xFF), static_cast<BYTE>((v >> 8) & 0xFF)});
    for (int i = 0; i < 10; ++i) r.push_back(static_cast<BYTE>(0xA0 + i));
    r.insert(r.end(), {0x15, 0x1E});
    return r;
}

int Decode(const Bytes& reply, McuStatusRecord& rec) {
    return McuDecodeStatus(reply.data(), static_cast<DWORD>(reply.size()), &rec);
}

TEST(McuStatus, DecodesOnlyWholeSaneStatusReplies) {
    McuStatusRecord rec = {};
    ASSERT_EQ(Decode(StatusReply({20000, 15000, -27315, 20000, 32767}), rec), 1);
    EXPECT_EQ(std::vector<int>({rec.Volt, rec.Current, rec.BatteryTemp, rec.TransTemp, rec.HeatsinkTemp, rec.Unused[9],
                                rec.Freq(), rec.BatConStatus(), rec.CutDetectError(), rec.TempLimitError()}),
              std::vector<int>({20000, 15000, -27315, 20000, 32767, 0xA9, 2, 2, 3, 1}));

    // Each field one step beyond its limit, and replies of another length or command.
    const McuStatusRecord kept = rec;
    const int kBeyond[][2] = {{0, 20001}, {0, 0xFFFF}, {1, 15001}, {2, 20001}, {2, -27316},
                              {3, 20001}, {3, -32768}, {4, 32766}, {4, -27316}};
    std::vector<Bytes> bad;
    for (const auto& b : kBeyond) {
        std::vector<int> fields(5, 0);
        fields[b[0]] = b[1];
        bad.push_back(StatusReply(fields));
    }
    const Bytes good = StatusReply({1250, 600, 2500, 3000, 19});
    Bytes shortReply(good.begin(), good.end() - 1), longReply = good, otherCode = good, otherGroup = good;
    longReply.push_back(0);
    otherCode[1] = 0x01;
    otherGroup[0] = 0xFF;
    bad.insert(bad.end(), {shortReply, longReply, otherCode, otherGroup});
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(Decode(bad[i], rec), 0) << i;
        EXPECT_EQ(std::memcmp(&rec, &kept, sizeof rec), 0) << i;
    }
    EXPECT_EQ(McuDecodeStatus(nullptr, 24, &rec), 0);
    EXPECT_EQ(McuDecodeStatus(good.data(), 24, nullptr), 0);
}

#if __has_include("sim/McuSim.h")
class ScaledDeviceTest : public DeviceRootTest {
protected:
    void SetUp() override {
        setenv("QRX_TIME_SCALE", "600", 1);
        qrx::ReloadHostConfig();
    }
    void TearDown() override {
        unsetenv("QRX_TIME_SCALE");
        qrx::ReloadHostConfig();
    }
};

// At 600 the poll's reply window is still the MCU's real time, and the battery charges an hour in
// six host seconds.
TEST_F(ScaledDeviceTest, StatusPollsHoldAndTheBatteryKeepsTheDevicePace) {
    sim::McuSimConfig config;
    config.port = 3;
    config.mcu.battery.stateOfCharge = 0.3;
    sim::McuSim mcu(config);
    ASSERT_TRUE(mcu.Start()) << mcu.Error();
    CMicomPort port(nullptr);
    ASSERT_EQ(port.Open(3, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY), 1);
    ASSERT_TRUE(CmdSet10(&port, 1440) && CmdSet11(&port, 600) && CmdSet14(&port, 0) && CmdSet19(&port, 0) &&
                CmdSet15(&port, 1));

    // Each snapshot between two readings of the device clock: a host millisecond is 0.6 device seconds,
    // so a busy machine's pause anywhere in between must not count against the model.
    const DWORD start = GetTickCount();
    const sim::McuSnapshot before = mcu.Snapshot();
    const DWORD started = GetTickCount();
    int polls = 0, failed = 0;
    McuStatusRecord rec = {};
    while (GetTickCount() - start < 1800 * 1000) {
        ++polls;
        if (!GetCurrentStatus(&port, &rec)) ++failed;
        Sleep(1000);
    }
    const DWORD end = GetTickCount();
    const sim::McuSnapshot after = mcu.Snapshot();
    const DWORD ended = GetTickCount();
    EXPECT_EQ(failed, 0) << "of " << polls;
    EXPECT_EQ(rec.Current, 600);
    // The model counts whole device seconds.
    const double modelSeconds = after.seconds - before.seconds;
    EXPECT_GE(modelSeconds, (end - started) / 1000.0 - 1);
    EXPECT_LE(modelSeconds, (ended - start) / 1000.0 + 1);
    // 6 A into 60 Ah, less what the model loses to charge efficiency.
    const double charged = 6.0 * modelSeconds / 3600 / 60;
    EXPECT_NEAR(after.stateOfCharge - before.stateOfCharge, charged, charged * 0.05);

    // A record beyond the limits is a failed poll, as silence is.
    mcu.SetVoltageOverride(200.01, 1);
    EXPECT_EQ(GetCurrentStatus(&port, &rec), 0);
    EXPECT_EQ(GetCurrentStatus(&port, &rec), 1);
}
#endif

}  // namespace
