// The main program with the Bluetooth module: the simulated module runs in this process on COM4 of the
// device's root, QRX on the headless screen.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <string>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "qrx/boardapi.h"
#include "sim/BtSim.h"

using namespace system_harness;

namespace {

class QrxBluetoothTest : public ::testing::Test {
protected:
    void Boot(const std::function<void()>& prepare = nullptr) {
        m_device = std::make_unique<QrxDevice>(m_root, QrxDevice::Options());
        std::string why;
        ASSERT_TRUE(m_device->Start(why, prepare)) << why;
    }
    void TearDown() override {
        m_device.reset();
        m_module.reset();
    }
    std::string DebugLog() const { return m_root.DebugMessages(); }
    bool WaitLog(const std::string& text) {
        return bounded::WaitUntil([&] { return DebugLog().find(text) != std::string::npos; });
    }
    void StartModule() {
        sim::BtSimConfig c;
        c.type = sim::BtType::Bcd100;
        m_module = std::make_unique<sim::BtSim>(c);
        ASSERT_TRUE(m_module->Start()) << m_module->Error();
    }

    TempDeviceRoot m_root;
    std::unique_ptr<sim::BtSim> m_module;
    std::unique_ptr<QrxDevice> m_device;
};

TEST_F(QrxBluetoothTest, ConfiguredAfterStartUpAndConnects) {
    Boot([this] { StartModule(); });
    ASSERT_TRUE(WaitLog("[BT]SetAddress : ")) << DebugLog();
    const std::string log = DebugLog();
    EXPECT_NE(std::string::npos, log.find("[BT]Open:COM4"));
    EXPECT_NE(std::string::npos, log.find("[BT]Model : BCD100"));
    EXPECT_NE(std::string::npos, m_module->DeviceBytes().find("AT+BTSCAN\r"));
    m_module->HostConnect();
    ASSERT_TRUE(WaitLog("[BT]Connected")) << DebugLog();
}

TEST_F(QrxBluetoothTest, WithoutTheModuleQrxRunsOn) {
    Boot();  // COM4 is not in the port map
    ASSERT_TRUE(WaitLog("[BT]Open:COM4"));
    EXPECT_TRUE(m_device->WaitForWindow("QRX_APPLICATION"));
    EXPECT_EQ(std::string::npos, DebugLog().find("[BT]Get Name"));
}

TEST_F(QrxBluetoothTest, OnABoardBelowOnePointTwoThereIsNoBluetooth) {
    // Without the GPIO library the display board's revision reads "unknown".
    Boot([this] {
        StartModule();
        std::ofstream(m_root.Host(".platform/gpio"), std::ios::app) << "absent\n";
    });
    // The loading screen gives the touch panel back once start-up is through.
    ASSERT_TRUE(bounded::WaitUntil([] {
        for (const auto& r : qrx::ReadDeviceRecords("TCH1"))
            if (r.code == 0x01180018u) return true;
        return false;
    }));
    EXPECT_EQ(std::string::npos, DebugLog().find("[BT]Open")) << DebugLog();
    EXPECT_TRUE(m_module->DeviceBytes().empty());
}

}  // namespace
