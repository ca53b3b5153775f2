// A run's CSV log: the B0 record and its row, the file name, the queue and its writer, the resume record,
// the row reader, and the resume and log view on the real page against the simulated MCU.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "OperationFixture.h"
#include "app/MicomPort.h"
#include "app/OperationLog.h"
#include "app/OperationWnd.h"
#include "app/StatusRecord.h"
#include "sim/McuSim.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ListBox.h"

using namespace controller_harness;

namespace {

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t{};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    return t;
}

struct RowValues {
    DWORD seconds = 0;
    int mode = 1;
    int step = 0;
    double volts = 12.5;
    double amps = 5.0;
    DWORD setSeconds = 3600;
    int discharge = 0;
    int pulse = 0;
    int temperature = 25;
};

std::string Row(const RowValues& r) {
    StatusValues v{};
    v.time = Time(2024, 3, 5, 14, 15, 2);
    v.step = r.step;
    v.kind = r.step ? 2 : 0;
    v.setVolts = 14.4;
    v.setAmps = 10;
    v.setSeconds = r.setSeconds;
    v.volts = r.volts;
    v.amps = r.amps;
    v.elapsed = r.seconds;
    v.temperature = r.temperature;
    v.mode = r.mode;
    v.frequency = 60;
    v.discharge = r.discharge;
    v.pulse = r.pulse;
    char record[STATUS_RECORD_MAX], row[LOG_ROW_MAX];
    const size_t n = FormatStatusRecord(v, record, sizeof record);
    const size_t m = StatusRecordToRow(record, n, row, sizeof row);
    EXPECT_GT(m, 0u);
    return std::string(row, m);
}

// count rows of seconds 0.., with the given values otherwise.
std::string Rows(size_t count, RowValues values = {}) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        values.seconds = static_cast<DWORD>(i);
        text += Row(values);
    }
    return text;
}

TEST(StatusRecord, FieldsAndTheRowTheyMake) {
    StatusValues v{};
    v.time = Time(2024, 3, 5, 14, 15, 2);
    v.step = 3;
    v.kind = 4;
    v.setVolts = 14.4;
    v.setAmps = 5;
    v.setSeconds = 100 * 3600;
    v.volts = 12.34;
    v.amps = 0;
    v.elapsed = 61;
    v.temperature = -5;
    v.mode = 3;
    v.frequency = 60;
    v.discharge = 1;
    v.pulse = 2;
    v.stepSeconds = 5400;
    char record[STATUS_RECORD_MAX];
    const size_t n = FormatStatusRecord(v, record, sizeof record);
    EXPECT_EQ(std::string(record, n), "B0,24/03/05,14:15:02,3,4,014.4,005.0,100:00,012.3,000.0,000061,-005,3,60,1,2,01:30,");
    char row[LOG_ROW_MAX];
    const size_t m = StatusRecordToRow(record, n, row, sizeof row);
    EXPECT_EQ(std::string(row, m), "24/03/05,14:15:02,3,4,014.4,005.0,100:00,012.3,000.0,000061,-005,3,60,1,2,01:30\r\n");
    EXPECT_EQ(m, 81u) << "a set time of 100 h widens the row by one";

    v.setSeconds = 3600;
    v.temperature = 25;
    EXPECT_EQ(StatusRecordToRow(record, FormatStatusRecord(v, record, sizeof record), row, sizeof row), 80u);
    EXPECT_NE(std::string(record).find(",+025,"), std::string::npos);

    // Values that would outgrow their fields make no record at all.
    for (double bad : {1e300, -1e6, std::nan("")}) {
        StatusValues w = v;
        w.volts = bad;
        EXPECT_EQ(FormatStatusRecord(w, record, sizeof record), 0u) << bad;
    }
    StatusValues w = v;
    w.elapsed = 1000000;
    EXPECT_EQ(FormatStatusRecord(w, record, sizeof record), 0u);
    EXPECT_EQ(FormatStatusRecord(v, record, 40), 0u) << "a buffer too small";
}

TEST(LogFiles, NamesAndResumeRecords) {
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildLogFileName(u"\\SD Card", Time(2024, 3, 5, 14, 15, 2), u'P', u"yyyy'-'MM'-'dd", path, MAX_PATH));
    EXPECT_EQ(std::u16string(path), u"\\SD Card\\Log\\2024-03-05_141502_P.CSV");
    ASSERT_TRUE(BuildLogFileName(u"\\Hard Disk", Time(2024, 3, 5, 4, 5, 6), u'R', u"M'-'d'-'yyyy", path, MAX_PATH));
    EXPECT_EQ(std::u16string(path), u"\\Hard Disk\\Log\\3-5-2024_040506_R.CSV");
    EXPECT_FALSE(BuildLogFileName(u"\\SD Card", Time(2024, 3, 5, 4, 5, 6), u'R', u"yyyy", path, 20));

    OperatingRecord record{};
    record.dStartVoltage = 12.5;
    std::u16string csv = u"\\SD Card\\Log\\2024-03-05_141502_P.CSV";
    std::copy(csv.begin(), csv.end(), record.szCsvPath);
    record.dwModeLetter = 'P';
    double volts = 0;
    ASSERT_TRUE(ParseOperatingRecord(&record, sizeof record, u"\\SD Card", path, &volts));
    EXPECT_EQ(std::u16string(path), csv);
    EXPECT_EQ(volts, 12.5);
    std::vector<BYTE> bytes(sizeof record + 1);
    std::memcpy(bytes.data(), &record, sizeof record);
    EXPECT_FALSE(ParseOperatingRecord(bytes.data(), 535, u"\\SD Card", path, &volts));
    EXPECT_FALSE(ParseOperatingRecord(bytes.data(), 537, u"\\SD Card", path, &volts));
    EXPECT_FALSE(ParseOperatingRecord(&record, sizeof record, u"\\Hard Disk", path, &volts)) << "another storage";

    // Paths a user could put there to have rows appended elsewhere.
    for (const char16_t* bad : {u"\\SD Card\\Log\\..\\Setting.bin", u"\\SD Card\\Log\\..\\x.CSV",
                                u"\\SD Card\\Log\\sub\\x.CSV", u"\\NAND Flash\\Log\\x.CSV", u"\\SD Card\\Log\\x.txt",
                                u"\\SD Card\\Log\\.CSV", u""}) {
        OperatingRecord r = record;
        std::memset(r.szCsvPath, 0, sizeof r.szCsvPath);
        std::u16string s(bad);
        std::copy(s.begin(), s.end(), r.szCsvPath);
        EXPECT_FALSE(ParseOperatingRecord(&r, sizeof r, u"\\SD Card", path, &volts)) << std::string(s.begin(), s.end());
    }
    OperatingRecord full = record;
    for (WCHAR& c : full.szCsvPath) c = u'A';  // no terminator at all
    EXPECT_FALSE(ParseOperatingRecord(&full, sizeof full, u"\\SD Card", path, &volts));
}

TEST(LogRows, ParsedByTheirCommasAndChecked) {
    LogRow r;
    const std::string good = Row({.seconds = 61, .mode = 3, .step = 2, .volts = 13.7, .amps = 4.2, .temperature = -5});
    ASSERT_TRUE(ParseLogRow(good.data(), good.size(), &r)) << good;
    EXPECT_EQ(r.elapsed, 61u);
    EXPECT_EQ(r.step, 2);
    EXPECT_DOUBLE_EQ(r.volts, 13.7);
    EXPECT_DOUBLE_EQ(r.amps, 4.2);
    EXPECT_EQ(r.temperature, -5);
    EXPECT_EQ(r.setSeconds, 3600u);
    EXPECT_STREQ(r.startText, "14:15:02");
    const std::string wide = Row({.mode = 3, .step = 1, .setSeconds = 120 * 3600});
    ASSERT_TRUE(ParseLogRow(wide.data(), wide.size(), &r));
    EXPECT_EQ(r.setSeconds, 120u * 3600u);
    EXPECT_EQ(r.frequency, 60) << "the columns after a wide field are found all the same";

    const std::string bad[] = {
        good.substr(0, good.size() - 1),                     // no LF
        good.substr(0, 40) + "\r\n",                         // cut short
        std::string(good).replace(22, 1, "x"),               // not a number
        std::string(good).replace(18, 1, "7"),               // step 7
        std::string(good).replace(64, 1, "4"),               // mode 4
        Row({.mode = 1, .step = 2}),                         // a step outside a program
        std::string(good).insert(30, ","),                   // a field too many
        std::string(good).replace(12, 2, "75"),              // minute 75
    };
    for (const std::string& b : bad) EXPECT_FALSE(ParseLogRow(b.data(), b.size(), &r)) << b;
}

class LogRoot : public ::testing::Test {
protected:
    std::u16string Put(const std::string& name, const std::string& bytes) {
        root.WriteFile("SD Card/Log/" + name, bytes);
        return u"\\SD Card\\Log\\" + U16(name);
    }
    std::vector<LogRow> Read(const std::u16string& path, int* result, DWORD* whole = nullptr) {
        std::vector<LogRow> rows;
        size_t n = 0;
        *result = ReadLogRows(path.c_str(), [&](const LogRow& r) { rows.push_back(r); return true; }, &n, whole);
        EXPECT_EQ(n, rows.size());
        return rows;
    }
    TempDeviceRoot root;
};

TEST_F(LogRoot, ReaderTakesWholeRowsAndRefusesWhatIsNotALog) {
    int result;
    const std::string ten = Rows(10);
    DWORD whole = 0;
    auto rows = Read(Put("a.CSV", ten + ten.substr(0, 37)), &result, &whole);
    EXPECT_EQ(result, LOG_READ_OK);
    ASSERT_EQ(rows.size(), 10u) << "the row cut by the power loss is left out";
    EXPECT_EQ(rows.back().elapsed, 9u);
    EXPECT_EQ(whole, ten.size());

    Read(Put("short.CSV", Rows(4)), &result);
    EXPECT_EQ(result, LOG_READ_SHORT);
    Read(Put("long.CSV", std::string(400, 'x') + "\n"), &result);
    EXPECT_EQ(result, LOG_READ_FIRST_LINE);
    Read(Put("bin.CSV", std::string(50, '\0') + "\n" + Rows(5)), &result);
    EXPECT_EQ(result, LOG_READ_BAD_ROW);
    Read(u"\\SD Card\\Log\\none.CSV", &result);
    EXPECT_EQ(result, LOG_READ_OPEN);
}

TEST_F(LogRoot, FourMebibytesWholeAndOneByteMoreInChunks) {
    const size_t rowsIn4M = 4194304 / 80;  // 52428 rows and 64 bytes
    const std::string rows = Rows(rowsIn4M + 1);
    for (size_t size : {size_t{4194304}, size_t{4194305}, rows.size()}) {
        int result;
        auto got = Read(Put("big.CSV", rows.substr(0, size)), &result);
        EXPECT_EQ(result, LOG_READ_OK) << size;
        const size_t expected = size / 80;
        ASSERT_EQ(got.size(), expected) << size;
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i].elapsed != i) FAIL() << "row " << i << " of " << size << " reads " << got[i].elapsed;
    }
}

TEST_F(LogRoot, QueueKeepsTwentyRowsEachForItsOwnRun) {
    CCsvLog log;
    ASSERT_TRUE(log.Start());
    log.HoldWriter(TRUE);
    EXPECT_FALSE(log.Queue("x\r\n", 3)) << "no path: nothing queued";
    std::filesystem::create_directories(root.Host("SD Card/Log"));
    log.SetPath(u"\\SD Card\\Log\\one.CSV");
    for (int i = 1; i <= 21; ++i) {
        const std::string row = "row " + std::to_string(i) + "\r\n";
        ASSERT_TRUE(log.Queue(row.data(), row.size()));
    }
    EXPECT_EQ(log.Pending(), 20);
    log.HoldWriter(FALSE);
    ASSERT_TRUE(PumpUntil([&] { return log.Pending() == 0; }));
    std::string expected;
    for (int i = 2; i <= 21; ++i) expected += "row " + std::to_string(i) + "\r\n";
    EXPECT_EQ(root.ReadFile("SD Card/Log/one.CSV"), expected) << "the oldest dropped, the rest in order";
    log.HoldWriter(TRUE);
    log.Queue("last\r\n", 6);
    log.SetPath(u"\\SD Card\\Log\\two.CSV");
    log.Queue("next run\r\n", 10);
    log.HoldWriter(FALSE);
    ASSERT_TRUE(PumpUntil([&] { return log.Pending() == 0; }));
    expected += "last\r\n";
    EXPECT_EQ(root.ReadFile("SD Card/Log/one.CSV"), expected);
    EXPECT_EQ(root.ReadFile("SD Card/Log/two.CSV"), "next run\r\n") << "a row goes to its own run's file";

    // The card goes: rows wait (the newest kept) and follow when it comes back.
    std::filesystem::rename(root.Host("SD Card"), root.Host("card-out"));
    for (int i = 0; i < 25; ++i) {
        const std::string row = "late " + std::to_string(i) + "\r\n";
        log.Queue(row.data(), row.size());
    }
    Sleep(600);
    EXPECT_GT(log.Pending(), 0);
    std::filesystem::rename(root.Host("card-out"), root.Host("SD Card"));
    ASSERT_TRUE(PumpUntil([&] { return log.Pending() == 0; }));
    const std::string two = root.ReadFile("SD Card/Log/two.CSV");
    EXPECT_EQ(two.find("late 4\r\n"), std::string::npos);
    EXPECT_NE(two.find("late 5\r\nlate 6\r\n"), std::string::npos);
    EXPECT_EQ(two.substr(two.size() - 9), "late 24\r\n");
    log.Stop();
}

// The page on the real main window with the simulated MCU on a port of its own.
class LogPage : public operation_fixture::OperationPage {
protected:
    void SetUp() override {
        OperationPage::SetUp();
        if (HasFatalFailure()) return;
        KillTimer(hWnd, TIMER_FACTORY_CHECK);  // the tests call the resume themselves
        ConnectMcu();
        g_OpMode.dVoltage = 14.4;
        g_OpMode.dCurrent = 10;
        g_OpMode.dwTime = 3600;
    }
    void TearDown() override {
        if (page) page->JoinReader(TRUE);
        OperationPage::TearDown();
    }
    void PutResume(const std::string& csvBytes, size_t recordSize = sizeof(OperatingRecord)) {
        root.WriteFile("SD Card/Log/run.CSV", csvBytes);
        OperatingRecord r{};
        r.dStartVoltage = 12.0;
        const std::u16string path = u"\\SD Card\\Log\\run.CSV";
        std::copy(path.begin(), path.end(), r.szCsvPath);
        r.dwModeLetter = 'R';
        std::string bytes(reinterpret_cast<const char*>(&r), sizeof r);
        bytes.resize(recordSize, '\0');
        root.WriteFile("SD Card/Operating.dat", bytes);
    }
    bool RecordExists() const { return std::filesystem::exists(root.Host("SD Card/Operating.dat")); }
    // Runs the resume to its end.
    void Resume() {
        page->ResumeFromFile();
        page->JoinReader(TRUE);
        Pump();
    }
};

TEST_F(LogPage, ResumeRebuildsTheRunHeldAndLogsOnAfterTheLastWholeRow) {
    // A Discharge cut in the middle of writing its 11th row.
    const std::string rows = Rows(10, {.mode = 2, .volts = 12.0, .amps = 3.6, .discharge = 1});
    PutResume(rows + rows.substr(0, 30));
    Resume();
    EXPECT_EQ(page->m_nRunFlag.load(), RUN_PAUSED);
    EXPECT_EQ(page->m_bHeldResume, 1);
    EXPECT_EQ(page->m_nRunState, RUN_STATE_DISCHARGE);
    EXPECT_EQ(page->m_dwTotalSeconds, 10u) << "the next row carries the last row's seconds + 1";
    EXPECT_NEAR(page->m_dAmpHours, -0.01, 1e-9);
    EXPECT_EQ(page->Graph()->GetSampleCount(), 10);
    const sim::McuSnapshot s = sim->Snapshot();
    EXPECT_EQ(s.set.volts, 1440);
    EXPECT_EQ(s.set.amps, 1000);
    EXPECT_EQ(s.set.direction, 1);
    EXPECT_EQ(s.set.flag19, 1) << "CmdSet19 0 as the Discharge start sends it (the wire carries 1 for 0)";
    EXPECT_EQ(s.set.output, 0) << "held until the user continues";
    EXPECT_TRUE(RecordExists());
    EXPECT_EQ(root.ReadFile("SD Card/Log/run.CSV"), rows) << "the cut row is gone before logging goes on";
    WCHAR path[MAX_PATH];
    page->CsvLog().GetPath(path, MAX_PATH);
    EXPECT_EQ(std::u16string(path), u"\\SD Card\\Log\\run.CSV");
}

TEST_F(LogPage, ProgramResumesAtItsLastStepAndA120HourProgramToo) {
    for (int i = 0; i < 3; ++i) {
        g_OpMode.steps[i] = ProgramStep{};
        g_OpMode.steps[i].dwEnable = 1;
        g_OpMode.steps[i].byKind = 2;
        g_OpMode.steps[i].dVoltage = 14.0 + i;
        g_OpMode.steps[i].dCurrent = 5;
        g_OpMode.steps[i].dwTime = 40 * 3600;
    }
    std::string log;
    DWORD second = 0;
    for (int step = 1; step <= 3; ++step)
        for (int i = 0; i < 7; ++i)
            log += Row({.seconds = second++, .mode = 3, .step = step, .setSeconds = 120 * 3600,
                        .pulse = step == 2 ? 2 : 0});
    PutResume(log);
    Resume();
    EXPECT_EQ(page->m_nRunFlag.load(), RUN_PAUSED);
    EXPECT_EQ(page->m_nRunState, RUN_STATE_STEP1 + 2);
    EXPECT_EQ(page->m_dwTotalSeconds, 21u);
    EXPECT_EQ(page->m_dwStepSeconds, 7u) << "only the rows of step 3";
    EXPECT_EQ(page->m_dwProgramTime, 120u * 3600u);
    EXPECT_NEAR(page->m_dAmpHours, 5.0 * 7 / 3600, 1e-9) << "the discharge phase of step 2 counted down";
    EXPECT_EQ(sim->Snapshot().set.volts, 1600);
    for (auto& step : g_OpMode.steps) step = ProgramStep{};
}

TEST_F(LogPage, RefusedResumesDeleteTheRecordAndLeaveThePageIdle) {
    struct Case {
        const char* what;
        std::string csv;
        size_t recordSize;
    };
    const Case cases[] = {
        {"record of 535 bytes", Rows(10), 535},
        {"record of 537 bytes", Rows(10), 537},
        {"log under 400 bytes", Rows(4), sizeof(OperatingRecord)},
        {"last row idle", Rows(9) + Row({.seconds = 9, .mode = 0}), sizeof(OperatingRecord)},
        {"hand-edited row", Rows(6) + "garbage,,,\r\n" + Rows(3), sizeof(OperatingRecord)},
    };
    for (const Case& c : cases) {
        PutResume(c.csv, c.recordSize);
        Resume();
        EXPECT_FALSE(RecordExists()) << c.what;
        EXPECT_TRUE(page->IsIdle()) << c.what;
        EXPECT_FALSE(page->CsvLog().HasPath()) << c.what;
    }
}

TEST_F(LogPage, RunRowsGoToTheNamedFileOncePerTick) {
    Begin(RUN_STATE_RESTORATION);
    g_OpMode.dCurrent = 10;
    ASSERT_TRUE(RecordExists());
    WCHAR path[MAX_PATH];
    page->CsvLog().GetPath(path, MAX_PATH);
    const std::u16string started(path);
    EXPECT_EQ(started.substr(0, 13), u"\\SD Card\\Log\\");
    EXPECT_EQ(started.substr(started.size() - 6), u"_R.CSV");
    Resume();
    EXPECT_EQ(page->m_nRunFlag.load(), RUN_RUNNING) << "a late start-up check leaves a started run alone";
    page->CsvLog().GetPath(path, MAX_PATH);
    EXPECT_EQ(std::u16string(path), started);

    const SYSTEMTIME start = Time(2024, 3, 5, 14, 15, 2);
    page->CreateLogFiles(start, u'R');
    EXPECT_TRUE(std::filesystem::exists(root.Host("SD Card/Log/3-5-2024_141502_R.CSV")));
    page->CreateLogFiles(start, u'R');
    page->CsvLog().GetPath(path, MAX_PATH);
    EXPECT_EQ(std::u16string(path), u"\\SD Card\\Log\\3-5-2024_141502_R_2.CSV") << "a second run of the same second";
    McuStatusRecord r = operation_fixture::Record(12.5, 5);
    r.BatteryTemp = -500;
    page->m_dwTickSeconds = 1;
    Tick(r, 3);
    ASSERT_TRUE(PumpUntil([&] { return page->CsvLog().Pending() == 0; }));
    const std::string rows = root.ReadFile("SD Card/Log/3-5-2024_141502_R_2.CSV");
    ASSERT_EQ(rows.size(), 240u);
    EXPECT_EQ(rows.substr(22, 56), "014.4,010.0,01:00,012.5,005.0,000000,-005,1,60,0,0,00:00");
    EXPECT_EQ(rows.substr(80 + 52, 6), "000001");
    page->StopRun(0);
    EXPECT_FALSE(RecordExists()) << "the run's end deletes the record";
    Tick(r);
    EXPECT_EQ(page->CsvLog().Pending(), 0) << "nothing logged once the run is over";
    EXPECT_EQ(root.ReadFile("SD Card/Log/3-5-2024_141502_R_2.CSV").size(), 240u);
}

TEST_F(LogPage, LogListOpensAStoredLogInTheGraph) {
    root.WriteFile("SD Card/Log/old.CSV", Rows(30, {.mode = 1, .volts = 13.0}));
    root.WriteFile("SD Card/Log/notes.txt", "x");
    page->Show(5);
    Command(hWnd, SHELL_TOPBAR, TOPBAR_LOG);
    Pump();
    auto* list = dynamic_cast<CListBoxCtrl*>(Ctrl(SHELL_FILES, FILES_LIST));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->GetCount(), 1);
    list->SetCurSel(0, FALSE, FALSE, nullptr);
    Command(hWnd, SHELL_FILES, FILES_OPEN);
    page->JoinReader(TRUE);
    Pump();
    EXPECT_EQ(Shell(SHELL_FILES), nullptr);
    EXPECT_EQ(page->Graph()->GetSampleCount(), 30);
    EXPECT_EQ(page->Graph()->GetSample(2, 29), 130);
    EXPECT_TRUE(page->IsIdle()) << "viewing starts nothing";
    EXPECT_EQ(sim->Snapshot().set.volts, 0);
}

// The start-up check runs the resume: without an MCU to re-arm, the record goes and nothing runs.
class LogStartUp : public operation_fixture::OperationPage {
protected:
    void BeforeStart() override {
        OperationPage::BeforeStart();
        root.WriteFile("SD Card/Log/run.CSV", Rows(10));
        OperatingRecord r{};
        const std::u16string path = u"\\SD Card\\Log\\run.CSV";
        std::copy(path.begin(), path.end(), r.szCsvPath);
        root.WriteFile("SD Card/Operating.dat", std::string(reinterpret_cast<const char*>(&r), sizeof r));
    }
};

TEST_F(LogStartUp, FactoryCheckTimerResumesFromTheRecord) {
    ASSERT_TRUE(PumpUntil([&] { return !std::filesystem::exists(root.Host("SD Card/Operating.dat")); }));
    page->JoinReader(TRUE);
    EXPECT_TRUE(page->IsIdle());
    EXPECT_EQ(page->Graph()->GetSampleCount() >= 10, true) << "the log was read before the MCU refused";
}

TEST_F(LogPage, ReaderParksTheOperationThreadBetweenRounds) {
    ASSERT_TRUE(page->ParkOperationThread());
    page->UnparkOperationThread();
}

}  // namespace
