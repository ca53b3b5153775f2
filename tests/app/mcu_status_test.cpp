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

// Reply payload: group, code and the record with the given fields.
Bytes StatusReply(int volt, int current, int battery, int trans, int sink, BYTE state = 0x15, BYTE errors = 0x1E) {
    Bytes r{0x02, 0x00};
    for (int v : {volt, current, battery, trans, sink}) {
        r.push_back(static_cast<BYTE>(v & 0xFF));
        r.push_back(static_cast<BYTE>((v >> 8) & 0xFF));
    }
    for (int i = 0; i < 10; ++i) r.push_back(static_cast<BYTE>(0xA0 + i));
    r.push_back(state);
    r.push_back(errors);
    return r;
}

int Decode(const Bytes& reply, McuStatusRecord& rec) {
    return McuDecodeStatus(reply.data(), static_cast<DWORD>(reply.size()), &rec);
}

TEST(McuStatus, DecodesOnlyWholeSaneStatusReplies) {
    McuStatusRecord rec = {};
    ASSERT_EQ(Decode(StatusReply(20000, 15000, -27315, 20000, 32767), rec), 1);
    EXPECT_EQ(std::vector<int>({rec.Volt, rec.Current, rec.BatteryTemp, rec.TransTemp, rec.HeatsinkTemp}),
              std::vector<int>({20000, 15000, -27315, 20000, 32767}));
    EXPECT_EQ(rec.Unused[9], 0xA9);
    EXPECT_EQ(std::vector<int>({rec.Charge(), rec.Start(), rec.Freq(), rec.BatConStatus(), rec.CutDetectError(),
                                rec.TempLimitError()}),
              std::vector<int>({1, 1, 2, 2, 3, 1}));

    const McuStatusRecord kept = rec;
    Bytes good = StatusReply(1250, 600, 2500, 3000, 19);
    std::vector<Bytes> bad = {Bytes(good.begin(), good.end() - 1),
                              good,
                              good,
                              good,
                              StatusReply(20001, 0, 0, 0, 0),
                              StatusReply(0, 15001, 0, 0, 0),
                              StatusReply(0, 0, 20001, 0, 0),
                              StatusReply(0, 0, -27316, 0, 0),
                              StatusReply(0, 0, 0, 20001, 0),
                              StatusReply(0, 0, 0, -32768, 0),
                              StatusReply(0, 0, 0, 0, 32766),
                              StatusReply(0xFFFF, 0, 0, 0, 0)};
    bad[1].push_back(0);  // long
    bad[2][1] = 0x01;     // another code
    bad[3][0] = 0xFF;     // another group
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(Decode(bad[i], rec), 0) << i;
        EXPECT_EQ(std::memcmp(&rec, &kept, sizeof rec), 0) << i;
    }
    EXPECT_EQ(McuDecodeStatus(nullptr, 24, &rec), 0);
    EXPECT_EQ(McuDecodeStatus(good.data(), 24, nullptr), 0);
    ASSERT_EQ(Decode(good, rec), 1);
    EXPECT_EQ(rec.HeatsinkTemp, 19);
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

    const sim::McuSnapshot before = mcu.Snapshot();
    const DWORD start = GetTickCount();
    int polls = 0, failed = 0;
    McuStatusRecord rec = {};
    while (GetTickCount() - start < 1800 * 1000) {
        ++polls;
        if (!GetCurrentStatus(&port, &rec)) ++failed;
        Sleep(1000);
    }
    const sim::McuSnapshot after = mcu.Snapshot();
    const double deviceSeconds = (GetTickCount() - start) / 1000.0;
    EXPECT_EQ(failed, 0) << "of " << polls;
    EXPECT_EQ(rec.Current, 600);
    EXPECT_NEAR(after.seconds - before.seconds, deviceSeconds, 2.0);
    EXPECT_NEAR(after.stateOfCharge - before.stateOfCharge, 6.0 * deviceSeconds / 3600 / 60, 0.001);

    // A record beyond the limits is a failed poll, as silence is.
    mcu.SetVoltageOverride(200.01, 1);
    EXPECT_EQ(GetCurrentStatus(&port, &rec), 0);
    EXPECT_EQ(GetCurrentStatus(&port, &rec), 1);
}
#endif

}  // namespace
