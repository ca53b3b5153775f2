// The operation page and its engine on the real main window: single rounds of the operation thread fed
// with measurement records, and the running threads against the simulated MCU.
#include <chrono>
#include <cstring>
#include <memory>

#include "OperationFixture.h"
#include "app/MicomPort.h"
#include "app/OperationWnd.h"
#include "app/PerfTimer.h"
#include "sim/McuSim.h"
#include "ui/controls/Button.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ScrollBar.h"

using namespace controller_harness;
using namespace operation_fixture;

namespace {

TEST_F(OperationPage, PollFailuresStopTheRunOnTheFourthWithOneNotice) {
    ConnectMcu();
    Begin(RUN_STATE_RESTORATION);
    for (int i = 0; i < 3; ++i) page->RunTick(nullptr);
    const McuStatusRecord good = Record(12.5, 5);
    page->RunTick(&good);  // a good poll in between starts the count again
    for (int i = 0; i < 3; ++i) page->RunTick(nullptr);
    Pump();
    EXPECT_FALSE(page->IsIdle());
    EXPECT_TRUE(Events().empty());
    for (int i = 0; i < 4; ++i) page->RunTick(nullptr);
    Pump();
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(Events(), std::vector<int>({10000})) << "one notice for the whole outage";
    EXPECT_EQ(sim->Snapshot().set.output, 0);
    page->RunTick(&good);
    for (int i = 0; i < 4; ++i) page->RunTick(nullptr);
    Pump();
    EXPECT_EQ(Events(), std::vector<int>({10000, 10000})) << "a new outage gets its own";
}

TEST_F(OperationPage, BatteryConnectionFaultsStopInTheirOrder) {
    struct Case {
        int state;
        BYTE bits;
        std::vector<int> remote, events;
    };
    const Case cases[] = {{RUN_STATE_RESTORATION, 1, {2}, {1}},
                          {RUN_STATE_RESTORATION, 2, {1, 5}, {1, 1}},
                          {RUN_STATE_DISCHARGE, 2, {2, 5}, {2, 1}},
                          {RUN_STATE_STEP1 + 2, 2, {3, 5}, {3, 1}}};
    for (const Case& c : cases) {
        Begin(c.state);
        Tick(Record(12.5, 5, c.bits));
        EXPECT_TRUE(page->IsIdle());
        EXPECT_EQ(RemoteCodes(), c.remote) << "state " << c.state << " bits " << int(c.bits);
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(page->m_dwTotalSeconds, 0u) << "a connection fault adds no time";
    }
}

TEST_F(OperationPage, StopConditionsReportTheirCodes) {
    ConnectMcu();
    Begin(RUN_STATE_RESTORATION);
    Tick(Record(12.5, 5, 0, 1));  // 50 Hz against the 60 Hz setting
    EXPECT_EQ(Events(), std::vector<int>({209}));
    EXPECT_EQ(RemoteCodes(), std::vector<int>({209}));

    Begin(RUN_STATE_DISCHARGE);
    page->SetRunTimes(OPW_MAX_RUN_SECONDS + 1, 0);
    Tick(Record(12.5, 5));
    EXPECT_EQ(Events(), std::vector<int>({208}));

    for (BYTE cut : {1, 2}) {
        Begin(RUN_STATE_RESTORATION);
        Tick(Record(12.5, 5, static_cast<BYTE>(cut << 2)));
        EXPECT_TRUE(page->IsIdle());
        EXPECT_EQ(Events(), std::vector<int>({cut == 1 ? 7 : 8}));
        EXPECT_EQ(RemoteCodes(), std::vector<int>({cut == 1 ? 7 : 8}));
        EXPECT_EQ(sim->Snapshot().set.lastOperation, cut) << "the cut-off is acknowledged";
    }
}

TEST_F(OperationPage, TheZ330TransformerStopsOnTheSeventhTickAbove12000) {
    g_bModelZ330 = TRUE;
    Begin(RUN_STATE_RESTORATION);
    McuStatusRecord r = Record(12.5, 5, 0, 0);
    r.TransTemp = 12000;
    Tick(r, 20);
    r.TransTemp = 12001;
    Tick(r, 6);
    EXPECT_FALSE(page->IsIdle());
    Tick(r);
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(Events(), std::vector<int>({103}));
    EXPECT_EQ(RemoteCodes(), std::vector<int>({103}));
}

TEST_F(OperationPage, TheIdleOverVoltageNoticeIsShownOnceAndClosedOnce) {
    g_Settings.dMaxVoltage = 10.0;
    Tick(Record(12.5, 0), 3);
    EXPECT_EQ(Events(), std::vector<int>({210}));
    ASSERT_NE(Shell(SHELL_POPUP), nullptr);
    g_Settings.dMaxVoltage = 150.0;
    Tick(Record(12.5, 0), 2);
    EXPECT_EQ(Shell(SHELL_POPUP), nullptr);

    // A popup that took the notice's place stays for the user, also one with the same text.
    g_Settings.dMaxVoltage = 10.0;
    Tick(Record(12.5, 0));
    ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 33, POPUP_ONE_BUTTON, FALSE);
    g_Settings.dMaxVoltage = 150.0;
    Tick(Record(12.5, 0));
    EXPECT_NE(Shell(SHELL_POPUP), nullptr);
    EXPECT_EQ(Events(), std::vector<int>({210, 210}));
}

TEST_F(OperationPage, LiveLabels) {
    McuStatusRecord r = Record(12.65, 3);
    r.BatteryTemp = -9000;
    Tick(r);
    EXPECT_EQ(Text(OPW_TEMPERATURE), u"N.C");
    EXPECT_EQ(Text(OPW_VOLTAGE), u"12.65");
    EXPECT_EQ(Text(OPW_CURRENT), u"0.00") << "no current while idle";
    EXPECT_EQ(Text(OPW_FREQUENCY), u"60 Hz");
    r.BatteryTemp = 2599;
    Tick(r);
    EXPECT_EQ(Text(OPW_TEMPERATURE), u"25 / 50 \u2103");
    g_Settings.wFahrenheit = 1;
    Tick(r);
    EXPECT_EQ(Text(OPW_TEMPERATURE), u"77 / 122 \u2109");
}

TEST_F(OperationPage, AmpHoursPerTickByState) {
    const McuStatusRecord r = Record(12.5, 36);  // 0.01 Ah a tick
    struct Case {
        int state;
        DWORD direction;
        int phase;
        double perTick;
    };
    const Case cases[] = {{RUN_STATE_RESTORATION, 0, 0, 0.01}, {RUN_STATE_DISCHARGE, 0, 0, -0.01},
                          {RUN_STATE_STEP1, 1, 0, -0.01},      {RUN_STATE_STEP1, 0, 0, 0.01},
                          {RUN_STATE_STEP1, 0, 1, 0.0},        {RUN_STATE_STEP1, 0, 2, -0.01}};
    for (const Case& c : cases) {
        g_OpMode.steps[0].dwDirection = c.direction;
        Begin(c.state);
        page->m_nPulsePhase = c.phase;
        Tick(r, 3);
        EXPECT_NEAR(page->m_dAmpHours, 3 * c.perTick, 1e-9) << "state " << c.state << " phase " << c.phase;
    }
    page->StopRun(0);
    const double kept = page->m_dAmpHours;
    Tick(r, 3);
    EXPECT_EQ(page->m_dAmpHours, kept) << "an ended run keeps its figure";
    EXPECT_EQ(Text(OPW_AMPHOURS), u"-0.030");
}

TEST_F(OperationPage, OneSamplePerTickAndAFullStoreNeverOverflows) {
    CGraphCtrl* graph = page->Graph();
    ASSERT_NE(graph, nullptr);
    Begin(RUN_STATE_RESTORATION);
    Tick(Record(12.5, 5), 5);
    EXPECT_EQ(graph->GetSampleCount(), 5);
    EXPECT_EQ(graph->GetSample(2, 4), 125);

    const int samples[OPW_GRAPH_CHANNELS + 1] = {};
    while (graph->GetSampleCount() < graph->GetLength()) graph->PutData(samples, OPW_GRAPH_CHANNELS);
    Tick(Record(12.5, 5));
    EXPECT_EQ(graph->GetSampleCount(), OPW_GRAPH_LENGTH) << "a run keeps what it has";
    EXPECT_FALSE(page->IsIdle());
    page->StopRun(0);
    Tick(Record(12.5, 0));
    EXPECT_EQ(graph->GetSampleCount(), 1) << "the idle view starts over";
}

TEST_F(OperationPage, TheFahrenheitToggleWaitsForIdle) {
    Command(hWnd, SHELL_OPERATION, OPW_FAHRENHEIT);
    EXPECT_EQ(g_Settings.wFahrenheit, 1);
    EXPECT_EQ(std::u16string(page->Graph()->GetAxis(3).unit), u"\u2109");
    Begin(RUN_STATE_RESTORATION);
    Command(hWnd, SHELL_OPERATION, OPW_TEMPERATURE);
    EXPECT_EQ(g_Settings.wFahrenheit, 1);
    Command(hWnd, SHELL_OPERATION, OPW_FAHRENHEIT);
    EXPECT_EQ(g_Settings.wFahrenheit, 1);
}

TEST_F(OperationPage, ViewToggleZoomAndPaging) {
    Command(hWnd, SHELL_MAIN, 0);
    ASSERT_TRUE(page->Panel()->IsShown());
    CGraphCtrl* graph = page->Graph();
    CScrollBarCtrl* bar = page->ScrollBar();
    const int samples[OPW_GRAPH_CHANNELS + 1] = {};
    for (int i = 0; i < 5401; ++i) graph->PutData(samples, OPW_GRAPH_CHANNELS);
    auto settled = [&] { return PumpUntil([&] { return !page->IsGraphBusy(); }); };

    Command(hWnd, SHELL_OPERATION, OPW_ZOOM);
    settled();
    EXPECT_EQ(page->GetZoom(), GRAPH_ZOOM_PAGE) << "zoom needs the graph on screen";
    EXPECT_FALSE(graph->IsVisible());

    Command(hWnd, SHELL_OPERATION, OPW_VIEW);
    EXPECT_TRUE(graph->IsVisible());
    EXPECT_FALSE(page->Ctrl(OPW_SET_TIME)->IsVisible());
    ASSERT_TRUE(PumpUntil([&] { return bar->GetTotal(SCROLL_BAR_HORZ) == 4; }, 3000))
        << bar->GetTotal(SCROLL_BAR_HORZ) << " zoom " << page->GetZoom() << " n " << graph->GetSampleCount();
    EXPECT_TRUE(bar->IsVisible());

    const int spans[] = {7200, 7200, 1800};
    const int totals[] = {1, 1, 4};
    for (int i = 0; i < 3; ++i) {
        Command(hWnd, SHELL_OPERATION, OPW_ZOOM);
        ASSERT_TRUE(PumpUntil(
            [&] { return page->GetZoom() == (i + 1) % 3 && bar->GetTotal(SCROLL_BAR_HORZ) == totals[i]; }))
            << "press " << i;
        EXPECT_EQ(graph->GetSpan(), spans[i]);
    }
    bar->SetPos(SCROLL_BAR_HORZ, 2, FALSE);
    Command(hWnd, SHELL_OPERATION, MAKELPARAM(OPW_SCROLL, SCROLL_EVENT_THUMB_UP));
    EXPECT_TRUE(PumpUntil([&] { return graph->GetPage() == 2; }));
    // Only a sample that begins a new page moves the scroll bar on.
    graph->PutData(samples, OPW_GRAPH_CHANNELS);
    page->SetGraphScale(FALSE, FALSE);
    EXPECT_EQ(bar->GetPos(SCROLL_BAR_HORZ), 2);

    Command(hWnd, SHELL_OPERATION, OPW_VIEW);
    EXPECT_FALSE(graph->IsVisible());
    EXPECT_TRUE(page->Ctrl(OPW_SET_TIME)->IsVisible());
}

TEST_F(OperationPage, TheFilterPopupSavesItsSwitches) {
    Command(hWnd, SHELL_MAIN, 0);
    Command(hWnd, SHELL_OPERATION, OPW_CMD_FILTER);
    ASSERT_NE(Shell(SHELL_FILTER), nullptr);
    const int expected[] = {0, 0, 1, 1, 1};
    for (int i = 0; i < FILTER_SWITCHES; ++i)
        EXPECT_EQ(dynamic_cast<CButtonCtrl*>(Ctrl(SHELL_FILTER, i))->GetCheck(), expected[i]) << i;
    TapAt(CentreOf(SHELL_FILTER, 0));
    TapAt(CentreOf(SHELL_FILTER, 4));
    Command(hWnd, SHELL_FILTER, FILTER_APPLY);
    EXPECT_EQ(Shell(SHELL_FILTER), nullptr);
    const std::string file = root.ReadFile("NAND Flash/System/Setting.bin");
    ASSERT_EQ(file.size(), 986u);
    DWORD words[5];
    std::memcpy(words, file.data() + 320, sizeof words);
    EXPECT_EQ(std::vector<DWORD>(words, words + 5), std::vector<DWORD>({1, 0, 1, 1, 0}));
}

TEST(PerfTimer, AddsRunningIntervalsAndDropsTheCalibratedCost) {
    CPerfTimer never;
    EXPECT_EQ(never.GetElapsedMs(), 0.0);
    EXPECT_LE(CPerfTimer::Calibration(), 0);
    CPerfTimer t(TRUE);
    Sleep(30);
    t.Stop();
    const double first = t.GetElapsedMs();
    EXPECT_GE(first, 29.0);
    Sleep(30);
    EXPECT_EQ(t.GetElapsedMs(), first) << "stopped";
    t.Start(FALSE);
    Sleep(30);
    EXPECT_GE(t.GetElapsedMs(), first + 29.0);
    t.Start(TRUE);
    EXPECT_LT(t.GetElapsedMs(), 29.0);
}

TEST_F(OperationPage, ALateTickCountsItsSecondsOnceWithoutWrapping) {
    page->RestartTick();
    EXPECT_FALSE(page->TickElapsed());
    page->m_llTickRef = -3500;  // 3.5 s since the reference: a tick two and a half seconds late
    ASSERT_TRUE(page->TickElapsed());
    EXPECT_EQ(page->GetTickSeconds(), 3u);
    EXPECT_FALSE(page->TickElapsed()) << "those seconds are counted once";
    page->m_llTickRef = -5000000000LL;  // beyond what 32 bits of milliseconds hold
    ASSERT_TRUE(page->TickElapsed());
    EXPECT_EQ(page->GetTickSeconds(), 5000000u);
}

// The threads against the simulated MCU, the device clock running 5 times faster: a device second
// stays long enough for a poll on a busy machine.
class OperationLive : public OperationPage {
protected:
    void BeforeStart() override {
        OperationPage::BeforeStart();
        sim = std::make_unique<sim::McuSim>();
        ASSERT_TRUE(sim->Start()) << sim->Error();
    }
    bool StartedUp() const override {
        return g_MainFrame.m_pOperationWnd && g_MainFrame.m_pOperationWnd->m_pMicomPort;
    }
    // A Restoration to 14.4 V, started once the thread's first status has told that a battery is there.
    bool StartRestorationWhenReady() {
        g_OpMode.dVoltage = 14.4;
        g_OpMode.dCurrent = 6;
        g_OpMode.dwTime = 3600;
        return PumpUntil([&] { return page->StartRestoration(1) == 0; });
    }
    ScopedTimeScale fast{"5"};
};

TEST_F(OperationLive, PollsOnceASecondAndStopsOnAnOutage) {
    ASSERT_TRUE(PumpUntil([&] { return !Text(OPW_VOLTAGE).empty() && Text(OPW_VOLTAGE) != u"0.00"; }));
    const std::u16string label = Text(OPW_VOLTAGE);
    const double shown = std::stod(std::string(label.begin(), label.end()));
    EXPECT_NEAR(shown, sim->Snapshot().outputVolts, 0.2);

    ASSERT_TRUE(StartRestorationWhenReady());
    CGraphCtrl* graph = page->Graph();
    ASSERT_TRUE(PumpUntil([&] { return graph->GetSampleCount() >= 2; }));
    const DWORD t0 = GetTickCount();
    const int n0 = graph->GetSampleCount();
    ASSERT_TRUE(PumpUntil([&] { return graph->GetSampleCount() >= n0 + 20; }));
    // One sample a second: never more; a busy machine may make a tick late and cost its sample, but
    // not a quarter of them.
    const int seconds = static_cast<int>((GetTickCount() - t0) / 1000);
    EXPECT_LE(graph->GetSampleCount() - n0, seconds + 2);
    EXPECT_GE((graph->GetSampleCount() - n0) * 4, seconds * 3);

    RecordLog().clear();
    sim->InjectFault(sim::FaultSetup{sim::Fault::Silence, -1});
    ASSERT_TRUE(PumpUntil([&] { return page->IsIdle() && !Events().empty(); }));
    const size_t polls = sim->Log().size();
    ASSERT_TRUE(PumpUntil([&] { return sim->Log().size() >= polls + 2; }));
    sim->ClearFault();
    Pump();
    EXPECT_EQ(Events(), std::vector<int>({10000}));
}

// A host's edit of a running Restoration waits for the round under way: no round reads a half-written record.
TEST_F(OperationLive, AHostEditWaitsForTheRoundUnderWay) {
    ASSERT_TRUE(StartRestorationWhenReady());
    sim->ClearLog();
    sim->InjectFault(sim::FaultSetup::StatusPolls(sim::Fault::Silence, -1));
    // The silenced poll is taken: its round now waits out the link's time-out, then counts a failure.
    ASSERT_TRUE(PumpUntil([&] {
        for (const sim::LogEntry& e : sim->Log())
            if (e.fault == sim::Fault::Silence) return true;
        return false;
    }));
    ASSERT_EQ(page->SetRemoteTime(1800), 1);
    EXPECT_GE(page->m_nPollFailures, 1) << "the edit went in while a round was under way";
    EXPECT_EQ(g_OpMode.dwTime, 1800u);
    sim->ClearFault();
}

TEST_F(OperationLive, DestroyingThePageEndsItsThreadsAtOnce) {
    ASSERT_TRUE(PumpUntil([&] { return page->IsOperationThreadAlive() && page->Graph()->GetSampleCount() > 0; }));
    const auto start = std::chrono::steady_clock::now();
    delete page;
    g_MainFrame.m_pOperationWnd = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
