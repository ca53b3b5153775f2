// Runs on the operation page: the starts and their refusals, the step kinds, pause and continue, the
// temperature pause, the remote edits and the attached unit, against the simulated MCU's command log.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "OperationFixture.h"

using namespace controller_harness;
using namespace operation_fixture;

namespace {

using Cmds = std::vector<std::string>;

// The attached unit on the wired link: records the D records and acknowledges as told.
class FakeUnit : public CUnitLink {
public:
    BOOL IsUnitConnected() const override { return TRUE; }
    int SendD1(BYTE mode, WORD v1, WORD v2, DWORD time) override {
        sent.push_back("D1 " + std::to_string(mode) + " " + std::to_string(v1) + " " + std::to_string(v2) + " " +
                       std::to_string(time));
        return ackD1;
    }
    int SendD2(int on) override {
        sent.push_back("D2 " + std::to_string(on));
        return on ? ackD2On : ackD2Off;
    }
    int SendD3(DWORD) override { return 1; }
    int SendError(int) override { return 1; }
    void GetUnitValues(WORD* volts, WORD* amps) const override {
        *volts = 1200;
        *amps = 600;
    }
    std::vector<std::string> sent;
    int ackD1 = 1, ackD2On = 1, ackD2Off = 1;
};

class OperationRun : public OperationPage {
protected:
    void SetUp() override {
        OperationPage::SetUp();
        if (HasFatalFailure()) return;
        ConnectMcu();
        // The parked thread never times a tick: each round counts one second.
        page->m_dwTickSeconds = 1;
        for (ProgramStep& s : g_OpMode.steps) s = ProgramStep{};
    }
    void TearDown() override {
        if (page) page->SetUnitLink(nullptr);
        OperationPage::TearDown();
    }
    // A program of these steps started on a battery at 12.5 V; the MCU's log then starts empty.
    void BeginProgram(std::initializer_list<ProgramStep> steps) {
        int i = 0;
        for (const ProgramStep& s : steps) g_OpMode.steps[i++] = s;
        Tick(Record(12.5, 0));
        ASSERT_EQ(page->StartProgram(1), 0);
        Commands();
        RecordLog().clear();
        RemoteCodes().clear();
    }
    std::u16string SystemLog() { return Utf16Text(root.ReadFile("SD Card/system.log")); }
    static int Count(const std::u16string& text, const std::u16string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::u16string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
};

TEST_F(OperationRun, RefusedStartsLeaveTheOutputAlone) {
    Tick(Record(12.5, 0));
    g_OpMode.dVoltage = 14.4;
    g_OpMode.dCurrent = 6;
    g_OpMode.dwTime = 0;
    Commands();
    EXPECT_EQ(page->StartRestoration(1), 1);
    EXPECT_EQ(RemoteCodes(), std::vector<int>({208}));
    g_OpMode.dwTime = 3600;
    g_OpMode.dCurrent = 200;  // beyond the maximum-current setting
    EXPECT_EQ(page->StartRestoration(1), 1);
    EXPECT_NE(Shell(SHELL_POPUP), nullptr) << "the range box shows also for a quiet request";
    ClosePopup(FALSE);
    g_OpMode.dCurrent = 6;
    page->m_bStartRefused = 1;
    EXPECT_EQ(page->StartRestoration(1), 1) << "a refused start is no start";
    page->m_bStartRefused = 0;
    ClosePopup(FALSE);
    EXPECT_EQ(Commands(), Cmds());

    Tick(Record(0, 0));
    RemoteCodes().clear();
    EXPECT_EQ(page->StartRestoration(1), 1);
    Tick(Record(130, 0));
    g_OpMode.dVoltage = 10.5;
    EXPECT_EQ(page->StartDischarge(0), 1);
    EXPECT_EQ(RemoteCodes(), std::vector<int>({204, 205}));
    EXPECT_NE(Shell(SHELL_POPUP), nullptr);
    ClosePopup(FALSE);
    EXPECT_EQ(page->StartProgram(0), 1);
    Pump();
    EXPECT_EQ(Events(), std::vector<int>({OPW_EVENT_NO_STEP}));
    EXPECT_EQ(Commands(), Cmds());
    EXPECT_TRUE(page->IsIdle());
}

TEST_F(OperationRun, RestorationCommandsEditsAndEnd) {
    Begin(RUN_STATE_RESTORATION);
    g_OpMode.dwTime = 5;
    EXPECT_EQ(Commands(), Cmds({"CmdSet10 1440", "CmdSet11 600", "CmdSet14 0", "CmdSet1A 0", "CmdSet19 0",
                                "CmdSet15 1"}));
    // Mid-run edits are checked and rounded: 0.29 A is 29 hundredths, 200 A is refused.
    g_OpMode.dCurrent = 200;
    EXPECT_EQ(page->ApplyManualEdit(1), 0);
    ClosePopup(FALSE);
    g_OpMode.dCurrent = 0.29;
    EXPECT_EQ(page->ApplyManualEdit(1), 1);
    EXPECT_EQ(page->SetRemoteVolt(14.6), 1);
    EXPECT_EQ(page->SetRemoteAmp(250), 0);
    EXPECT_EQ(Commands(), Cmds({"CmdSet10 1440", "CmdSet11 29", "CmdSet10 1460"}));
    EXPECT_EQ(page->ApplyProgramEdit(1), 0) << "a Restoration is left alone";

    Tick(Record(13.0, 6), 5);
    EXPECT_FALSE(page->IsIdle());
    Tick(Record(13.0, 6));
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(Events(), std::vector<int>({1000}));
    EXPECT_EQ(RemoteCodes(), std::vector<int>({210}));
    EXPECT_EQ(Commands(), Cmds({"CmdSet15 0"}));
    EXPECT_EQ(Count(SystemLog(), u"0,NOTI,Restoration\r\n"), 1);
}

TEST_F(OperationRun, SixStepProgramCommandLog) {
    BeginProgram({Step(0, 1, 14.4, 6, 2), Step(0, 2, 14.4, 6, 1), Step(0, 5, 14.6, 4, 1), Step(1, 1, 11.0, 5, 100),
                  Step(0, 7, 14.4, 6, 100), Step(1, 2, 0, 3, 100)});
    Tick(Record(13.0, 6), 5);  // steps 1, 2 and 3 on their times
    Tick(Record(11.0, 5));     // step 4 on its voltage
    Tick(Record(14.4, 3.1));
    EXPECT_EQ(Events(), std::vector<int>());
    Tick(Record(14.4, 3.0));   // step 5: voltage reached and current at half
    Tick(Record(12.0, 3));     // step 6: a discharge to 0 V ends at once
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(Events(), std::vector<int>({1002}));
    EXPECT_EQ(RemoteCodes(), std::vector<int>({210}));
    const Cmds expected = {
        "CmdSet15 0", "CmdSet10 1440", "CmdSet11 600", "CmdSet14 0", "CmdSet1A 0", "CmdSet19 0", "CmdSet15 1",
        "CmdSet15 0", "CmdSet10 1460", "CmdSet11 400", "CmdSet14 0", "CmdSet1A 0", "CmdSet19 0", "CmdSet15 1",
        "CmdSet15 0", "CmdSet10 1100", "CmdSet11 500", "CmdSet14 1", "CmdSet1A 1", "CmdSet19 1", "CmdSet15 1",
        "CmdSet15 0", "CmdSet10 1440", "CmdSet11 600", "CmdSet14 0", "CmdSet1A 0", "CmdSet19 0", "CmdSet15 1",
        "CmdSet15 0", "CmdSet10 0",    "CmdSet11 300", "CmdSet14 1", "CmdSet1A 1", "CmdSet19 0", "CmdSet15 1",
        "CmdSet15 0"};
    EXPECT_EQ(Commands(), expected);
}

TEST_F(OperationRun, Kind3PulsesAndAMidPhaseEnd) {
    BeginProgram({Step(0, 3, 14.4, 6, 2000)});
    Tick(Record(14.4, 6));
    EXPECT_EQ(Commands(), Cmds({"CmdSet15 0"}));
    Tick(Record(13.6, 0), 60);
    EXPECT_EQ(Commands(), Cmds());
    Tick(Record(13.6, 0));
    EXPECT_EQ(Commands(), Cmds({"CmdSet10 0", "CmdSet11 200", "CmdSet19 1", "CmdSet14 1", "CmdSet15 1"}));
    EXPECT_EQ(page->m_bDischarge, 1);
    Tick(Record(13.0, 2), 300);
    EXPECT_EQ(Commands(), Cmds());
    Tick(Record(13.0, 2));
    EXPECT_EQ(Commands(), Cmds({"CmdSet15 0"}));
    Tick(Record(13.2, 0), 60);
    EXPECT_EQ(Commands(), Cmds());
    Tick(Record(13.2, 0));
    EXPECT_EQ(Commands(), Cmds({"CmdSet10 1440", "CmdSet11 600", "CmdSet14 0", "CmdSet19 1", "CmdSet15 1"}));

    // Into the discharge again, then the step time runs out in its middle.
    Tick(Record(14.4, 6));
    Tick(Record(13.6, 0), 61);
    Commands();
    page->SetRunTimes(page->m_dwTotalSeconds, 2000);
    Tick(Record(13.0, 2));
    EXPECT_EQ(Commands(), Cmds({"CmdSet15 0"}));
    EXPECT_TRUE(page->IsIdle());
}

TEST_F(OperationRun, Kind6EndsOnTheSixthLowTickAfterArming) {
    BeginProgram({Step(0, 6, 14.4, 6, 3600)});
    Tick(Record(14.0, 0.50), 20);
    EXPECT_EQ(page->m_bDvArmed, 0) << "below 0.51 A";
    Tick(Record(14.0, 0.51));
    EXPECT_EQ(page->m_bDvArmed, 1);
    Tick(Record(14.5, 0.51));
    Tick(Record(14.29, 0.51), 5);
    Tick(Record(14.3, 0.51));  // not below the peak less 0.2: the count starts over
    Tick(Record(14.29, 0.51), 5);
    EXPECT_FALSE(page->IsIdle());
    Tick(Record(14.29, 0.51));
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(Events(), std::vector<int>({1002}));
}

TEST_F(OperationRun, Kind8StagesAndKind9Limits) {
    BeginProgram({Step(0, 8, 14.4, 10, 20000)});
    Tick(Record(14.4, 10));
    EXPECT_EQ(page->m_nStage, 1);
    Tick(Record(14.4, 0.91));
    EXPECT_EQ(Commands(), Cmds());
    Tick(Record(14.4, 0.89));
    EXPECT_EQ(Commands(), Cmds({"CmdSet11 90", "CmdSet19 1"}));
    EXPECT_EQ(Text(OPW_MODE_TITLE), u"[Program]  [Mode1]  [Restoration]  [Pulse8-3]");
    Tick(Record(15.1, 0.9));
    EXPECT_FALSE(page->IsIdle());
    Tick(Record(15.13, 0.9));
    EXPECT_TRUE(page->IsIdle()) << "1.05 x the voltage";

    BeginProgram({Step(0, 8, 14.4, 10, 20000)});
    Tick(Record(14.4, 10));
    Tick(Record(14.4, 0.5));
    page->SetRunTimes(0, page->m_dwStageMark + 3599);
    Tick(Record(14.5, 0.9));
    EXPECT_FALSE(page->IsIdle());
    Tick(Record(14.5, 0.9));
    EXPECT_TRUE(page->IsIdle()) << "an hour in stage 2";

    BeginProgram({Step(0, 9, 14.4, 10, 20000, 100)});
    page->m_dAmpHours = 129.9;
    Tick(Record(14.0, 10));
    EXPECT_FALSE(page->IsIdle());
    page->m_dAmpHours = 130;
    Tick(Record(14.0, 10));
    EXPECT_TRUE(page->IsIdle()) << "1.3 x the capacity";

    BeginProgram({Step(0, 9, 14.4, 10, 20000, 100)});
    page->SetRunTimes(0, 100);
    Tick(Record(14.0, 1.9));
    EXPECT_FALSE(page->IsIdle());
    Tick(Record(14.0, 1.9));
    EXPECT_TRUE(page->IsIdle()) << "2 A after 101 s";
}

TEST_F(OperationRun, TemperaturePausesResumesAndStopsOnTheThird) {
    Begin(RUN_STATE_DISCHARGE);
    Commands();
    auto hot = [](int degrees) {
        McuStatusRecord r = Record(12.0, 6);
        r.BatteryTemp = static_cast<SHORT>(degrees * 100);
        return r;
    };
    Tick(hot(55));
    EXPECT_EQ(Commands(), Cmds({"CmdSet16 0"}));
    const DWORD total = page->m_dwTotalSeconds;
    Tick(hot(54));
    Tick(hot(46));
    EXPECT_EQ(page->m_dwTotalSeconds, total) << "no time while paused";
    EXPECT_EQ(Commands(), Cmds());
    // The user's continue leaves the output to the temperature gate.
    Command(hWnd, SHELL_OPERATION, OPW_PAUSE);
    Command(hWnd, SHELL_OPERATION, OPW_PAUSE);
    EXPECT_EQ(Commands(), Cmds({"CmdSet16 0"}));
    EXPECT_EQ(sim->Snapshot().set.resume, 0);
    Tick(hot(45));
    EXPECT_EQ(Commands(), Cmds({"CmdSet16 1"}));
    EXPECT_GT(page->m_dwTotalSeconds, total);

    Tick(hot(55));
    Tick(hot(45));
    Tick(hot(60));
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(Events(), std::vector<int>({10}));
    EXPECT_EQ(Commands(), Cmds({"CmdSet16 0", "CmdSet16 1", "CmdSet15 0"}));
    const std::u16string log = SystemLog();
    EXPECT_EQ(Count(log, u"0,ERR,HIGHTEMP : PAUSE"), 2);
    EXPECT_EQ(Count(log, u"0,ERR,HIGHTEMP : RESUME"), 2);
    EXPECT_EQ(Count(log, u"0,ERR,HIGHTEMP : STOP"), 1);

    g_OpMode.steps[0].dwDirection = 0;
    Begin(RUN_STATE_STEP1);
    Tick(hot(90));
    EXPECT_EQ(page->m_bTempPaused, 0) << "a charge step never pauses";
}

TEST_F(OperationRun, PauseByTheUserAndAProgramEditWhilePaused) {
    g_OpMode.steps[0].dwDirection = 0;
    Begin(RUN_STATE_STEP1);
    Commands();
    Command(hWnd, SHELL_OPERATION, OPW_PAUSE);
    EXPECT_EQ(Commands(), Cmds({"CmdSet16 0"}));
    const DWORD total = page->m_dwTotalSeconds;
    Tick(Record(13.0, 5), 3);
    EXPECT_EQ(page->m_dwTotalSeconds, total) << "a paused run counts no time";
    g_OpMode.steps[0].dVoltage = 14.6;
    EXPECT_EQ(page->ApplyProgramEdit(1), 1);
    EXPECT_EQ(Commands(), Cmds()) << "kept for the continue";
    Command(hWnd, SHELL_OPERATION, OPW_PAUSE);
    EXPECT_EQ(Commands(), Cmds({"CmdSet15 0", "CmdSet10 1460", "CmdSet11 500", "CmdSet14 0", "CmdSet1A 0",
                                "CmdSet19 0", "CmdSet15 1", "CmdSet16 1"}));
    EXPECT_EQ(RemoteCodes(), std::vector<int>({202, 203}));
    EXPECT_FALSE(page->IsIdle());

    // A deaf MCU: each press reports 202 and the run goes on.
    sim->InjectFault(sim::FaultSetup{sim::Fault::Silence, -1});
    RemoteCodes().clear();
    EXPECT_EQ(page->PauseResume(), 1);
    EXPECT_EQ(page->PauseResume(), 1);
    EXPECT_EQ(page->m_nRunFlag.load(), RUN_RUNNING);
    EXPECT_EQ(RemoteCodes(), std::vector<int>({202, 202}));
    sim->ClearFault();

    // A Restoration started over the paused run is not held by that pause.
    EXPECT_EQ(page->PauseResume(), 0);
    EXPECT_EQ(sim->Snapshot().set.resume, 0);
    g_OpMode.dVoltage = 14.4;
    page->Show(5);
    Command(hWnd, SHELL_OPERATION, OPW_CMD_MANUAL);
    Command(hWnd, SHELL_MANUAL, OPW_MANUAL_RESTORATION);
    EXPECT_EQ(page->m_nRunState, RUN_STATE_RESTORATION);
    EXPECT_EQ(page->m_nRunFlag.load(), RUN_RUNNING);
    EXPECT_EQ(sim->Snapshot().set.resume, 1);
}

TEST_F(OperationRun, RemoteStepEdits) {
    ProgramStep s = Step(0, 2, 14.4, 6, 60);
    EXPECT_EQ(page->SetRemoteStep(2, &s), 1);
    EXPECT_EQ(g_OpMode.steps[1].dVoltage, 14.4);
    for (ProgramStep bad : {Step(0, 8, 14.4, 6, 60), Step(0, 2, 151, 6, 60), Step(0, 2, 14.4, 101, 60)})
        EXPECT_EQ(page->SetRemoteStep(3, &bad), 0);
    EXPECT_EQ(page->SetRemoteStep(7, &s), 0);
    EXPECT_EQ(page->SetRemoteTime(OPW_MAX_RUN_SECONDS), 0);
    g_OpMode.steps[0].dwDirection = 0;
    Begin(RUN_STATE_STEP1);
    EXPECT_EQ(page->SetRemoteVolt(14.0), 0) << "a program runs";
    EXPECT_EQ(page->SetRemoteStep(1, &s), 0) << "the running step keeps its set-up";
    EXPECT_EQ(page->SetRemoteStep(4, &s), 1);
}

TEST_F(OperationRun, TheAttachedUnitTakesTheDischarge) {
    FakeUnit unit;
    page->SetUnitLink(&unit);
    Begin(RUN_STATE_DISCHARGE);
    EXPECT_EQ(unit.sent, std::vector<std::string>({"D1 3 1050 600 100", "D2 1"}));
    EXPECT_EQ(Commands(), Cmds({"CmdSet15 0"}));
    unit.sent.clear();
    // Its readings stand in for the MCU's; without its replies the watchdog stops the run on the fifth.
    Tick(Record(13.0, 0), 4);
    EXPECT_EQ(page->m_dVoltage, 12.0);
    EXPECT_FALSE(page->IsIdle());
    Tick(Record(13.0, 0));
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(unit.sent, std::vector<std::string>({"D2 0"}));
    EXPECT_EQ(Events(), std::vector<int>({OPW_EVENT_UNIT}));

    Begin(RUN_STATE_DISCHARGE);
    unit.sent.clear();
    unit.ackD2Off = 0;
    Command(hWnd, SHELL_OPERATION, OPW_STOP);
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(unit.sent, std::vector<std::string>({"D2 0", "D2 0"})) << "an unanswered switch-off is tried again";
    EXPECT_EQ(page->m_bUnitOutput, 0);
    Pump();
    EXPECT_EQ(Events(), std::vector<int>({OPW_EVENT_UNIT}));

    // A discharge step the unit does not take: told on the UI thread, the MCU's output off.
    unit.ackD1 = 0;
    Commands();
    RecordLog().clear();
    g_OpMode.steps[0] = Step(1, 1, 10.5, 6, 60);
    Tick(Record(12.5, 0));
    EXPECT_EQ(page->StartProgram(0), 1);
    Pump();
    EXPECT_EQ(Events(), std::vector<int>({OPW_EVENT_UNIT}));
    EXPECT_TRUE(page->IsIdle());
    const Cmds sent = Commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "CmdSet15 0");
}

// The operation thread logs its temperature pauses while the UI thread logs its popups: no line is lost.
TEST_F(OperationRun, SystemLogLinesOfTwoThreadsAreAllKept) {
    const int kLines = 200;
    auto writer = [&](const WCHAR* text) {
        for (int i = 0; i < kLines; ++i) WriteSystemLog(POPUP_TITLE_ERROR, text, 0);
    };
    std::thread other(writer, u"HIGHTEMP : PAUSE");
    writer(u"UI LINE");
    other.join();
    const std::u16string log = SystemLog();
    EXPECT_EQ(Count(log, u"HIGHTEMP : PAUSE\r\n"), kLines);
    EXPECT_EQ(Count(log, u"UI LINE\r\n"), kLines);
}

}  // namespace
