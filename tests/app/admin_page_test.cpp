// The admin page in the real main window: its texts by board, the feed, and the service actions.
#include <cmath>
#include <cstring>
#include <limits>

#include "ControllerHarness.h"
#include "OperationFixture.h"
#include "app/AdminWnd.h"
#include "app/RemoteDispatch.h"
#include "app/SettingTools.h"

using namespace controller_harness;

namespace {

std::u16string Text(void (*format)(WCHAR*)) {
    WCHAR out[64];
    format(out);
    return out;
}

class AdminPage : public ControllerTest {
protected:
    void Open() {
        for (int i = 0; i < 6; ++i) Command(hWnd, SHELL_MAIN, kHiddenSequence[i]);
        Command(hWnd, SHELL_MAIN, 5);
        Pump();
        ASSERT_NE(Shell(SHELL_ADMIN), nullptr);
        ASSERT_TRUE(Shell(SHELL_ADMIN)->IsShown());
    }
    CAdminWnd* Admin() const { return g_MainFrame.m_pAdminWnd; }
    std::u16string PopupText() { return Shell(SHELL_POPUP) ? CtrlText(SHELL_POPUP, 1) : u""; }
    bool Gone(const std::string& relative) const { return !std::filesystem::exists(root.Host(relative)); }
    std::map<int, std::u16string> texts = LangSection(EnglishLangPath(), "shell12");
    static std::u16string Head(const std::u16string& text) { return text.substr(0, text.find(u"\\r")); }
};

}  // namespace

TEST(AdminTexts, BoardsLimitsAndFrequencySteps) {
    static double volts[3];
    auto limits = [](WCHAR* out) { FormatAdminLimits(volts[0], volts[1], volts[2], TRUE, out, 64); };
    volts[0] = 2.9, volts[1] = 150, volts[2] = 170;
    EXPECT_EQ(Text(limits), u"2 / 150 /170");
    // Whatever an imported file holds is shown as a bounded whole number.
    volts[0] = std::nan(""), volts[1] = 1e300, volts[2] = -1e300;
    EXPECT_EQ(Text(limits), u"0 / 99999 /-99999");

    EXPECT_EQ(Text([](WCHAR* o) { FormatTransTemp(41, 70, 0, 1.8, FALSE, o, 64); }), u"41");
    EXPECT_EQ(Text([](WCHAR* o) { FormatTransTemp(41, 70, 0, 2.0, FALSE, o, 64); }), u"41");
    EXPECT_EQ(Text([](WCHAR* o) { FormatTransTemp(41, 70, 1, 2.0, TRUE, o, 64); }), u"41 / 70 [Act]");
    EXPECT_EQ(Text([](WCHAR* o) { FormatTransTemp(41, 70, 0, 2.2, FALSE, o, 64); }), u"41 / 70 [Nor]");
    EXPECT_EQ(Text([](WCHAR* o) { FormatHeatsink(32767, 19, 1, 2.2, o, 64); }), u"32767 / 19 [Stop]");
    EXPECT_EQ(Text([](WCHAR* o) { FormatHeatsink(25, 19, 1, 2.3, o, 64); }), u"25 / 19 [Act]");
    EXPECT_EQ(Text([](WCHAR* o) { FormatHeatsink(25, 19, 1, 1.0, o, 64); }), u"25");

    EXPECT_EQ(NextFrequency(60), 50);
    EXPECT_EQ(NextFrequency(50), 60);
    EXPECT_EQ(NextFrequency(55), 60);
}

TEST_F(AdminPage, ShowsFixedTextsAndTheFeedKeepsTheLastFrequency) {
    QrxStrCopy(g_Settings.szModelName, 64, u"QRX-3305L");
    g_Settings.wFrequency = 60;
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_DEL_LOGS), u"Del Logfiles");
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_GET_SETTING), u"Get setting");
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_MODEL), u"QRX-3305L");
    Admin()->SetFrequencyText(50);
    Admin()->SetFrequencyText(0);
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_FREQ_TEXT), u"60 : 50 Hz");
    Command(hWnd, SHELL_ADMIN, ADMIN_FREQUENCY);
    EXPECT_EQ(g_Settings.wFrequency, 50);
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_FREQ_TEXT), u"50 : 50 Hz");
    g_Settings.nBatTempLimit = 45;
    Admin()->SetTempText(23);
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_BAT_TEMP), u"23 / 45");

    // Leaving saves the frequency.
    Command(hWnd, SHELL_ADMIN, ADMIN_LEAVE);
    Pump();
    EXPECT_FALSE(Shell(SHELL_ADMIN)->IsShown());
    const std::string saved = root.ReadFile("NAND Flash/System/Setting.bin");
    ASSERT_EQ(saved.size(), 986u);
    EXPECT_EQ(static_cast<unsigned char>(saved[256]), 50);
}

TEST_F(AdminPage, LogDeletionSucceedsWithNothingToDeleteAndSwitchesTheLockOff) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Command(hWnd, SHELL_ADMIN, ADMIN_DEL_LOGS);
    Pump();
    EXPECT_EQ(PopupText(), Head(texts[56]));
    ClosePopup(TRUE);

    root.WriteFile("SD Card/Log/A.CSV", "a");
    root.WriteFile("NAND Flash/LockDat.dat", "123456");
    g_Settings.wLockEnable = 1;
    Command(hWnd, SHELL_ADMIN, ADMIN_DEL_LOGS);
    Pump();
    EXPECT_EQ(PopupText(), Head(texts[56]));
    EXPECT_TRUE(Gone("SD Card/Log/A.CSV"));
    EXPECT_EQ(g_Settings.wLockEnable, 0);
}

TEST_F(AdminPage, ClearRemovesFilesAndTellsTheProgramPageAndTheController) {
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const char* name : {"OpMode.dat", "pgmset.dat", "LockDat.dat"}) {
        root.WriteFile(std::string("NAND Flash/") + name, "x");
        root.WriteFile(std::string("NAND Flash/") + name + ".tmp", "x");
    }
    g_Settings.wLockEnable = 1;
    g_Settings.wBackLight = 2;
    g_OpMode.dVoltage = 12;
    Command(hWnd, SHELL_ADMIN, ADMIN_CLEAR);
    Pump();
    for (const char* name : {"OpMode.dat", "pgmset.dat", "LockDat.dat"}) {
        // The controller writes OpMode.dat again from the cleared record.
        if (std::string(name) != "OpMode.dat") {
            EXPECT_TRUE(Gone(std::string("NAND Flash/") + name)) << name;
        }
        EXPECT_TRUE(Gone(std::string("NAND Flash/") + name + ".tmp")) << name;
    }
    EXPECT_EQ(g_OpMode.dVoltage, 0.0);
    EXPECT_EQ(g_MainFrame.m_bScreenLockEnabled, 0);
    EXPECT_EQ(g_MainFrame.m_nBackLightMode, 0);
    EXPECT_EQ(Count(WM_SHELL_COMMAND, SHELL_PROGRAM, 1000), 1);
    EXPECT_EQ(PopupText(), u"Success");
}

TEST_F(AdminPage, ImportTakesOnlyAGoodFileAndDetectsTheModel) {
    ASSERT_NO_FATAL_FAILURE(Open());
    SettingsRecord image{};
    SetDefaultSettings(&image);
    QrxStrCopy(image.szModelName, 64, u"QRX-3307M");
    image.dMaxVoltage = 99;
    std::string good(reinterpret_cast<const char*>(&image), sizeof image);
    const WORD sum = SettingsSum(reinterpret_cast<const BYTE*>(&image), sizeof image);
    good += static_cast<char>(sum & 0xFF);
    good += static_cast<char>(sum >> 8);

    const std::string before = root.ReadFile("NAND Flash/System/Setting.bin");
    std::string bad = good;
    bad[300] ^= 1;
    root.WriteFile("SD Card/System/Setting.bin", bad);
    Command(hWnd, SHELL_ADMIN, ADMIN_GET_SETTING);
    Pump();
    EXPECT_EQ(PopupText(), u"Failed");
    EXPECT_EQ(root.ReadFile("NAND Flash/System/Setting.bin"), before);
    ClosePopup(TRUE);

    root.WriteFile("SD Card/System/Setting.bin", good);
    Command(hWnd, SHELL_ADMIN, ADMIN_GET_SETTING);
    Pump();
    EXPECT_EQ(PopupText(), u"Success");
    EXPECT_EQ(g_nModelIndex, MODEL_QRX3307M);
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_MODEL), u"QRX-3307M");
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_VOLT_LIMITS).substr(0, 8), u"0 / 99 /");
}

TEST_F(AdminPage, ServiceToolsWithoutTheirProgramsLeaveThePortAndThePage) {
    const double hardware = g_dHardwareVersion, board = g_dDisplayBoardRev;
    g_dHardwareVersion = 2.2;
    g_dDisplayBoardRev = 1.2;
    ASSERT_NO_FATAL_FAILURE(Open());
    Command(hWnd, SHELL_ADMIN, ADMIN_TRIMSET);
    Command(hWnd, SHELL_ADMIN, ADMIN_PAIRPAD);
    Pump();
    const std::string log = root.DebugMessages();
    EXPECT_NE(log.find("[ADMIN]Trimset not started"), std::string::npos) << log;
    EXPECT_NE(log.find("[ADMIN]Pairpad not started"), std::string::npos) << log;
    EXPECT_TRUE(Shell(SHELL_ADMIN)->IsShown());
    g_dHardwareVersion = hardware;
    g_dDisplayBoardRev = board;
}

TEST_F(AdminPage, RemoteRequestsRefreshTheShownTexts) {
    ASSERT_NO_FATAL_FAILURE(Open());
    auto ask = [](UINT msg, const char* field) { DispatchRemoteCommand(g_MainFrame, msg, reinterpret_cast<WPARAM>(field)); };
    ask(1156, "120");  // H1
    ask(1157, "80");   // H2
    ask(1155, "50");   // H0
    ask(1129, "QRX-3301K");  // B4
    EXPECT_NE(CtrlText(SHELL_ADMIN, ADMIN_VOLT_LIMITS).find(u"/ 120 /"), std::u16string::npos);
    EXPECT_NE(CtrlText(SHELL_ADMIN, ADMIN_AMP_LIMITS).find(u"/ 80 /"), std::u16string::npos);
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_FREQ_TEXT).substr(0, 4), u"50 :");
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_MODEL), u"QRX-3301K");
}

namespace {
class AdminWithRun : public operation_fixture::OperationPage {};
}  // namespace

TEST_F(AdminWithRun, TheTickFeedsThePageAndARunKeepsItsLogUntilTheClearStopsIt) {
    Begin(RUN_STATE_RESTORATION);
    Tick(operation_fixture::Record(13, 6));
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_BAT_TEMP), u"25 / " + U16(std::to_string(g_Settings.nBatTempLimit)));
    EXPECT_EQ(CtrlText(SHELL_ADMIN, ADMIN_FREQ_TEXT).substr(0, 9), u"60 : 60 H");

    WCHAR log[MAX_PATH] = {};
    page->CsvLog().GetPath(log, MAX_PATH);
    ASSERT_NE(log[0], 0);
    std::string file;
    for (const WCHAR* c = log + 1; *c; ++c) file += *c == u'\\' ? '/' : static_cast<char>(*c);
    ASSERT_TRUE(PumpUntil([&] { return std::filesystem::exists(root.Host(file)); })) << file;
    Command(hWnd, SHELL_ADMIN, ADMIN_DEL_LOGS);
    Pump();
    WCHAR kept[MAX_PATH] = {};
    page->CsvLog().GetPath(kept, MAX_PATH);
    EXPECT_EQ(std::u16string(kept), std::u16string(log)) << "the running run keeps its log";
    EXPECT_TRUE(std::filesystem::exists(root.Host(file)));
    EXPECT_FALSE(page->IsIdle());
    ClosePopup(TRUE);

    Command(hWnd, SHELL_ADMIN, ADMIN_CLEAR);
    Pump();
    EXPECT_TRUE(page->IsIdle()) << "the run stops before its records are cleared";
}
