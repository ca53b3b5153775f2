// The main program with the Bluetooth module: the simulated module runs in this process on COM4 of the
// device's root, QRX on the headless screen.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "DeviceRoot.h"
#include "SystemHarness.h"
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

}  // namespace
