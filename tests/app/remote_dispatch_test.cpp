// Host requests on COM5 through the real main window: the dispatcher's gates, effects and replies,
// and the attached unit at start-up and during a run.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "OperationFixture.h"
#include "app/LinkPort.h"
#include "sim/LinkSim.h"

namespace {

using namespace operation_fixture;

class RemoteDispatch : public OperationPage {
protected:
    virtual bool UnitAnswers() const { return false; }
    virtual WORD UnitEnable() const { return 0; }
    void BeforeStart() override {
        OperationPage::BeforeStart();
        g_Settings.wUnitEnable = UnitEnable();
        ASSERT_TRUE(SaveSettingFile());
        host = std::make_unique<sim::LinkSim>(sim::LinkSimConfig{5, UnitAnswers(), false});
        ASSERT_TRUE(host->Start()) << host->Error();
    }
    void TearDown() override {
        OperationPage::TearDown();
        host.reset();
    }
    // Sends a request and pumps until a frame starting with `reply` came back.
    bool Ask(const std::string& body, const std::string& reply) {
        host->SendRecord(body);
        return PumpUntil([&] { return host->Count(reply) > 0; });
    }
    std::string Last() {
        const std::vector<std::string> frames = host->Frames();
        return frames.empty() ? "" : frames.back();
    }

    std::unique_ptr<sim::LinkSim> host;
};

TEST_F(RemoteDispatch, GatesAndRangesRefuseWithOneError) {
    ASSERT_TRUE(Ask("B7,", "B7,0,"));
    EXPECT_EQ(Last(), sim::LinkFrame("B7,0,"));
    for (const char* step : {"B5,0,", "B5,7,"}) {
        host->Take();
        ASSERT_TRUE(Ask(step, "ER,601,")) << step;
        EXPECT_EQ(host->Count("B5"), 0u);
    }
    const double maxVolts = g_Settings.dMaxVoltage;
    for (const char* bad : {"H0,55,", "H1,150.1,", "H1,abc,", "H1,,", "H5,65636,", "H5,-1,", "H7,456100,", "C2,", "C0,",
                            "E0,12.5,"}) {
        host->Take();
        ASSERT_TRUE(Ask(bad, "ER,503,")) << bad;
        EXPECT_EQ(host->Frames().size(), 1u) << bad;
    }
    EXPECT_EQ(g_Settings.dMaxVoltage, maxVolts);
    ASSERT_TRUE(Ask("H1,150,", "H1,150,"));
    EXPECT_EQ(g_Settings.dMaxVoltage, 150.0);
    ASSERT_TRUE(Ask("H5,4000,", "H5,4000,"));
    EXPECT_EQ(g_Settings.wLimitH5, 4000);
    // C1 without remote mode edits the program and starts nothing.
    ASSERT_TRUE(Ask("C1,", "C1,"));
    EXPECT_TRUE(page->IsIdle());
}

TEST_F(RemoteDispatch, StepReadIsWrittenBackUnchanged) {
    ASSERT_TRUE(Ask("C4,", "C4,"));
    EXPECT_EQ(g_MainFrame.m_bRemoteControl, 1);
    const ProgramStep step = Step(0, 2, 14.4, 5, 5400);
    g_OpMode.steps[1] = step;
    ASSERT_TRUE(Ask("B5,2,", "B5,2,"));
    const std::string b5 = Last();
    EXPECT_EQ(b5.rfind("$QRX,B5,2,0,014.4,005.0,01:30,2,1,0000,1,", 0), 0u) << b5;
    g_OpMode.steps[1] = Step(1, 3, 11, 2, 60);
    // E3 with the columns of the reply (without its checksum digits and CR LF).
    const std::string columns = b5.substr(8, b5.size() - 8 - 4);
    ASSERT_TRUE(Ask("E3," + columns, "E3,2,0,014.4"));
    EXPECT_EQ(0, std::memcmp(&g_OpMode.steps[1], &step, sizeof step));
    // The reply echoes the request's checksum digits and CR inside its own frame.
    const std::string request = sim::LinkFrame("E3," + columns);
    EXPECT_EQ(Last().substr(0, 5 + 3 + columns.size() + 3), "$QRX,E3," + columns + request.substr(request.size() - 4, 3));
    ASSERT_TRUE(Ask("C5,", "C5,"));
    EXPECT_EQ(g_MainFrame.m_bRemoteControl, 0);
}

TEST_F(RemoteDispatch, LongTextsAreBoundedAndStoredWholeOrNotAtAll) {
    const WORD frequency = g_Settings.wFrequency;
    const std::string name(99, 'N');
    ASSERT_TRUE(Ask("B4," + name + ",", "B4,"));
    EXPECT_EQ(Last().substr(0, 8 + 63 + 1), "$QRX,B4," + std::string(63, 'N') + ",");
    EXPECT_EQ(g_Settings.wFrequency, frequency);
    EXPECT_EQ(std::u16string(g_Settings.szModelName), std::u16string(63, u'N'));

    ASSERT_TRUE(Ask("S2,SN-0042,", "S2,SN-0042,"));
    ASSERT_TRUE(Ask("S1,", "S1,SN-0042,"));
    const std::string serial = root.ReadFile("NAND Flash/Serial.bin");
    // A field past the parser's bound (502), and one past the file's 128 characters handed to the
    // dispatcher directly (503): the file stays as it was.
    host->Take();
    ASSERT_TRUE(Ask("S2," + std::string(129, '7') + ",", "ER,502,"));
    const std::string long129(129, '7');
    SendMessageW(hWnd, 1166, reinterpret_cast<WPARAM>(long129.c_str()), 0);
    SendMessageW(hWnd, 1166, reinterpret_cast<WPARAM>(""), 0);
    ASSERT_TRUE(PumpUntil([&] { return host->Count("ER,503,") == 2; }));
    EXPECT_EQ(root.ReadFile("NAND Flash/Serial.bin"), serial);
    // A clock that is no date is refused.
    host->Take();
    ASSERT_TRUE(Ask("S0,230229120000,", "ER,503,"));
}

TEST_F(RemoteDispatch, StatusRecordAndStreaming) {
    g_OpMode.dVoltage = 14.4;
    g_OpMode.dCurrent = 6;
    g_OpMode.dwTime = 100 * 3600;
    ASSERT_TRUE(Ask("B0,", "B0,"));
    // Step 0, kind 0, the head's set values, mode 0.
    const std::string b0 = Last();
    std::vector<std::string> f;
    for (size_t at = 0, comma; (comma = b0.find(',', at)) != std::string::npos; at = comma + 1)
        f.push_back(b0.substr(at, comma - at));
    ASSERT_GE(f.size(), 16u);
    EXPECT_EQ(f[4], "0");
    EXPECT_EQ(f[5], "0");
    EXPECT_EQ(f[6], "014.4");
    EXPECT_EQ(f[7], "006.0");
    EXPECT_EQ(f[8], "100:00");
    EXPECT_EQ(f[13], "0");

    ASSERT_TRUE(Ask("B1,", "B1,"));
    host->Take();
    // Nothing for B0 while streaming: the B7 after it is the first answer.
    host->SendRecord("B0,");
    ASSERT_TRUE(Ask("B7,", "B7,"));
    EXPECT_EQ(host->Count("B0"), 0u);
    ASSERT_TRUE(Ask("B2,", "B2,"));
    EXPECT_EQ(g_Settings.dwRemoteStreaming, 0u);
}

// The unit enabled in the settings but silent: its hello goes four times, then popup 63.
class SilentUnit : public RemoteDispatch {
protected:
    WORD UnitEnable() const override { return 1; }
};

TEST_F(SilentUnit, HelloUnansweredShowsPopup63) {
    EXPECT_EQ(host->Count("D0,1,"), 4u);
    EXPECT_FALSE(g_MainFrame.m_pLinkPort->IsUnitConnected());
    EXPECT_NE(Log().find(u"The attached unit does not respond"), std::u16string::npos);
    // The host link answers as usual.
    ASSERT_TRUE(Ask("B7,", "B7,1,"));
}

class AnsweringUnit : public RemoteDispatch {
protected:
    WORD UnitEnable() const override { return 1; }
    bool UnitAnswers() const override { return true; }
};

TEST_F(AnsweringUnit, StopRequestEndsTheRun) {
    ASSERT_TRUE(g_MainFrame.m_pLinkPort->IsUnitConnected());
    Begin(RUN_STATE_DISCHARGE);
    ASSERT_FALSE(page->IsIdle());
    EXPECT_GE(host->Count("D1,"), 1u);
    host->Take();
    host->SendStop();
    ASSERT_TRUE(PumpUntil([&] { return page->IsIdle(); }));
    // Acknowledged at once: the reader took the D2 reply while the stop ran on the UI thread.
    EXPECT_EQ(host->Count("D2,0,"), 1u);
    // While the unit is connected the host link is silent, though requests still run.
    host->SendRecord("C4,");
    ASSERT_TRUE(PumpUntil([&] { return g_MainFrame.m_bRemoteControl == 1; }));
    EXPECT_EQ(host->Count("C4"), 0u);
}

}  // namespace
