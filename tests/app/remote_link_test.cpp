// The wired link on COM5 against the simulated host and unit on a pseudo-terminal: the frame cut and
// checks, the request queue, the error records and the D exchanges.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "app/LinkPort.h"
#include "app/Settings.h"
#include "sim/LinkSim.h"

namespace {

using sim::LinkFrame;

class LinkTest : public DeviceRootTest {
protected:
    void SetUp() override { Open(false); }
    void Open(bool unit) {
        link.Close();
        peer = std::make_unique<sim::LinkSim>(sim::LinkSimConfig{5, unit, false});
        ASSERT_TRUE(peer->Start()) << peer->Error();
        ASSERT_EQ(link.Open(5, 115200, 8, ONESTOPBIT, NOPARITY), 1);
    }
    void TearDown() override { link.Close(); }
    // The next queued request, waited for.
    bool Next(LinkRequest* r) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bounded::Scaled());
        while (!link.TakeRequest(r)) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    bool Error(int code) { return peer->WaitFrame("ER," + std::to_string(code) + ",", bounded::Scaled()); }

    SettingsRecord settings{};
    CLinkPort link{nullptr, &settings};
    std::unique_ptr<sim::LinkSim> peer;
};

TEST_F(LinkTest, FramesAreCutJoinedAndChecked) {
    LinkRequest r;
    // The shortest request, two in one write, one in pieces, garbage before one.
    peer->Send("$QRX,B7,A5\r\n");
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1132u);
    peer->Send(LinkFrame("B5,3,") + LinkFrame("E0,12.5,"));
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1130u);
    EXPECT_EQ(r.param, WPARAM('3'));
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1145u);
    EXPECT_STREQ(r.field, "12.5");
    peer->Send(LinkFrame("H1,150,"), 5);
    ASSERT_TRUE(Next(&r));
    EXPECT_STREQ(r.field, "150");
    peer->Send("\x01\xffzz" + LinkFrame("B3,"));
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1128u);
    EXPECT_EQ(r.param, 0u);  // the wired link's B3

    // 5000 bytes after "$" drop away; the frame after them is still taken.
    peer->Send("$" + std::string(5000, 'x') + LinkFrame("C4,"));
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1139u);
}

TEST_F(LinkTest, BadFramesGetTheirErrorAndNoRequest) {
    peer->Send("$QRX,B7,a5\r\n");
    EXPECT_TRUE(Error(501));
    peer->Send("$\n");
    EXPECT_TRUE(Error(502));
    peer->Take();
    peer->Send(LinkFrame("E0,12.5"));  // no closing comma
    EXPECT_TRUE(Error(502));
    peer->Take();
    peer->Send(LinkFrame("S2," + std::string(100, '9') + ","));
    EXPECT_TRUE(Error(502));
    peer->Take();
    peer->Send(LinkFrame("X1,"));
    EXPECT_TRUE(Error(502));
    // While streaming a B0 is dropped; the B7 after it is the next request.
    settings.dwRemoteStreaming = 1;
    peer->Send(LinkFrame("B0,") + LinkFrame("B7,"));
    LinkRequest r;
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1132u);
    EXPECT_FALSE(link.TakeRequest(&r));
}

TEST_F(LinkTest, RecordsAreSilentWhileTheUnitIsConnected) {
    EXPECT_EQ(link.SendRecord("B7,0,"), 14);
    ASSERT_TRUE(peer->WaitFrame("B7,0,01\r\n", bounded::Scaled()));
    link.SetUnitConnected(TRUE);
    EXPECT_EQ(link.SendRecord("B7,0,"), 0);
    EXPECT_EQ(link.SendError(503), 0);
    EXPECT_EQ(link.SendRecord(""), 0);
}

TEST_F(LinkTest, UnansweredHelloIsSentFourTimes) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.SendD0(1), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4 * LINK_D_WAIT_MS - 50));
    EXPECT_EQ(peer->Count("D0,1,"), 4u);
}

TEST_F(LinkTest, UnitExchanges) {
    Open(true);
    peer->SetD3Values(7, 1234, 567);
    EXPECT_EQ(link.SendD0(1), 1);
    EXPECT_EQ(link.SendD1(3, 1050, 600, 100), 1);
    EXPECT_TRUE(peer->WaitFrame("D1,3,01050,00600,0100,", 0));
    g_byUnitWatchdog = 4;
    EXPECT_EQ(link.SendD3(60), 1);
    WORD volts = 0, amps = 0;
    link.GetUnitValues(&volts, &amps);
    EXPECT_EQ(volts, 1234);
    EXPECT_EQ(amps, 567);
    EXPECT_EQ(link.GetUnitStatus(), 7);
    EXPECT_EQ(g_byUnitWatchdog.load(), 0);

    // An acknowledgement of another record is stale: D2 waits for its own.
    peer->SetSilent(2);
    std::thread stale([this] {
        peer->WaitFrame("D2,", bounded::Scaled());
        peer->SendAck(1);
    });
    EXPECT_EQ(link.SendD2(1), 0);
    stale.join();
    EXPECT_EQ(peer->Count("D2,1,"), 4u);

    // A D3 reply read at fixed columns of a short frame is malformed now, and stores nothing.
    peer->Send(LinkFrame("D3,1,"));
    peer->SendStop();
    LinkRequest r;
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, static_cast<UINT>(WM_PCCOMM_UNIT_STOP));
    link.GetUnitValues(&volts, &amps);
    EXPECT_EQ(volts, 1234);
    peer->SendStop(12);
    peer->SendRecord("B7,");
    ASSERT_TRUE(Next(&r));
    EXPECT_EQ(r.message, 1132u);
}

}  // namespace
