// The run's log seen from the page: naming it at a start, the status record of each second, the resume
// of a run cut short by a power loss, the log-list popup and the log view.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "qrx/host.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Graph.h"
#include "ui/controls/ListBox.h"
#include "ui/controls/ScrollBar.h"

#include "OperationInternal.h"

namespace {

const WCHAR kRecordName[] = u"\\Operating.dat";
const int kLoadingResumeMs = 20000;
const int kResumeTextKey = 40;
const int kFilesOpenTextKey = 4;
const int kFilesCloseTextKey = 5;
const int kMcuFailedEvent = 10000;
// Longer than a round can take: its MCU replies wait in line time, whatever the device clock's scale.
const DWORD kParkWaitLineMs = 10000;
const int kMaxNameSuffix = 99;

void RecordPath(WCHAR* out) { swprintf(out, MAX_PATH, u"%s%s", g_szStorageRoot, kRecordName); }

// The record's bytes when it has exactly the record's size; 0 otherwise.
BOOL ReadRecordFile(BYTE* data, DWORD* size) {
    WCHAR path[MAX_PATH];
    RecordPath(path);
    *size = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    const DWORD length = GetFileSize(file, nullptr);
    DWORD got = 0;
    const BOOL ok = length == sizeof(OperatingRecord) && ReadFile(file, data, length, &got, nullptr) && got == length;
    CloseHandle(file);
    *size = ok ? got : length;
    return TRUE;
}

BOOL FileExists(const WCHAR* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The first free name of the run: the plain one, else "_2", "_3"... before ".CSV". The file is made
// here so that a second run of the same second cannot take it too.
BOOL ClaimLogFile(WCHAR* path) {
    WCHAR base[MAX_PATH];
    swprintf(base, MAX_PATH, u"%s", path);
    const size_t stem = wcslen(base) - 4;
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        if (n > 1) {
            base[stem] = 0;
            if (swprintf(path, MAX_PATH, u"%s_%d.CSV", base, n) <= 0) return FALSE;
            base[stem] = u'.';
        }
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return TRUE;
        }
        if (!FileExists(path)) return FALSE;  // not a clash: the storage refuses
    }
    return FALSE;
}

// Cuts a partial last row (a write cut by the power loss) so rows appended from now on start a line.
void CutToWholeRows(const WCHAR* path, DWORD wholeBytes) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    if (GetFileSize(file, nullptr) > wholeBytes &&
        SetFilePointer(file, static_cast<LONG>(wholeBytes), nullptr, FILE_BEGIN) == wholeBytes)
        SetEndOfFile(file);
    CloseHandle(file);
}

}  // namespace

// What a read of a log leaves for the labels and the run.
struct COperationWnd::LogRebuild {
    LogRow first{};
    LogRow last{};
    size_t rows = 0;
    DWORD stepFirstSeconds = 0;
    DWORD wholeBytes = 0;
    double ampHours = 0;
};

// Status record

void COperationWnd::SendStatusRecord(int log, int send) {
    StatusValues v{};
    GetSystemTime(&v.time);
    const int state = m_nRunState;
    const BOOL active = m_nRunFlag.load() != RUN_IDLE;
    if (m_pOpMode) {
        v.setVolts = m_pOpMode->dVoltage;
        v.setAmps = m_pOpMode->dCurrent;
        v.setSeconds = m_pOpMode->dwTime;
    }
    v.mode = active && (state == RUN_STATE_RESTORATION || state == RUN_STATE_DISCHARGE) ? state : 0;
    if (active && state >= RUN_STATE_STEP1 && state <= RUN_STATE_STEP6 && m_pOpMode) {
        const ProgramStep& step = m_pOpMode->steps[state - RUN_STATE_STEP1];
        v.step = state - 2;
        v.kind = step.byKind;
        v.setVolts = step.dVoltage;
        v.setAmps = step.dCurrent;
        v.setSeconds = m_dwProgramTime;
        v.stepSeconds = step.dwTime;
        v.mode = 3;
    }
    v.volts = m_dVoltage;
    v.amps = m_dCurrent;
    v.elapsed = m_dwTotalSeconds;
    v.temperature = m_nBatteryTemp;
    v.frequency = m_wFrequency;
    v.discharge = m_bDischarge;
    v.pulse = m_nPulsePhase;
    char record[STATUS_RECORD_MAX];
    const size_t length = FormatStatusRecord(v, record, sizeof record);
    if (length == 0) {
        OutputDebugStringW(u"[OPLOG]status record out of its fields\r\n");
        return;
    }
    if (send && m_pfnSendRecord) m_pfnSendRecord(record);
    if (log && m_csvLog.HasPath()) {
        char row[LOG_ROW_MAX];
        const size_t n = StatusRecordToRow(record, length, row, sizeof row);
        if (n) m_csvLog.Queue(row, n);
    }
}

// Log files and the resume record

void COperationWnd::CreateLogFiles(const SYSTEMTIME& start, WCHAR modeLetter) {
    m_csvLog.ClearPath();
    WCHAR folder[MAX_PATH];
    GetLogFolder(g_szStorageRoot, folder, MAX_PATH);
    CreateDirectoryW(folder, nullptr);
    WCHAR path[MAX_PATH];
    if (!BuildLogFileName(g_szStorageRoot, start, modeLetter, GetLangDateFormat(), path, MAX_PATH) ||
        !ClaimLogFile(path)) {
        OutputDebugStringW(u"[OPLOG]no log file for the run\r\n");
        return;
    }
    m_csvLog.SetPath(path);

    WCHAR recordPath[MAX_PATH];
    RecordPath(recordPath);
    DeleteFileW(recordPath);
    OperatingRecord record;
    std::memset(&record, 0, sizeof record);
    record.dStartVoltage = m_dVoltage;
    std::memcpy(record.szCsvPath, path, sizeof record.szCsvPath);
    record.dwModeLetter = modeLetter;
    HANDLE file = CreateFileW(recordPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, &record, sizeof record, &written, nullptr);
    CloseHandle(file);
    m_dStartVoltage = m_dVoltage;
}

void COperationWnd::DeleteOperatingFile() {
    WCHAR path[MAX_PATH];
    RecordPath(path);
    DeleteFileW(path);
    m_csvLog.ClearPath();
}

// Readers

BOOL COperationWnd::ParkOperationThread() {
    ++m_nParkRequests;
    // The round under way ends on its own (its MCU waits are bounded); the next one sees the request.
    const DWORD start = qrx::LineTickCount();
    do {
        if (TryEnterCriticalSection(&m_csRound)) {
            LeaveCriticalSection(&m_csRound);
            return TRUE;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (qrx::LineTickCount() - start < kParkWaitLineMs);
    --m_nParkRequests;
    OutputDebugStringW(u"[OPLOG]operation thread did not stop for the reader\r\n");
    return FALSE;
}

void COperationWnd::UnparkOperationThread() {
    if (m_nParkRequests.load() > 0) --m_nParkRequests;
}

void COperationWnd::JoinReader(BOOL wait) {
    if (!m_hReaderThread) return;
    if (!wait && WaitForSingleObject(m_hReaderThread, 0) != WAIT_OBJECT_0) return;
    WaitForSingleObject(m_hReaderThread, INFINITE);
    CloseHandle(m_hReaderThread);
    m_hReaderThread = nullptr;
}

BOOL COperationWnd::IsReaderRunning() const {
    return m_hReaderThread && WaitForSingleObject(m_hReaderThread, 0) == WAIT_TIMEOUT;
}

BOOL COperationWnd::StartReader(LPTHREAD_START_ROUTINE routine) {
    JoinReader(FALSE);
    if (m_hReaderThread) return FALSE;  // one reader at a time
    m_hReaderThread = CreateThread(nullptr, 0, routine, this, 0, nullptr);
    return m_hReaderThread != nullptr;
}

void COperationWnd::ShowLoadingScreen(BOOL on, int ms) {
    // Only the program's own page has a loading screen to show.
    if (g_hMainWnd && m_hOwner == g_hMainWnd) g_MainFrame.ShowLoading(on, ms);
}

void COperationWnd::ResumeFromFile() {
    // A run started meanwhile owns the record and the log: nothing to resume.
    if (m_nRunFlag.load() != RUN_IDLE) return;
    m_csvLog.ClearPath();
    WCHAR recordPath[MAX_PATH];
    RecordPath(recordPath);
    BYTE data[sizeof(OperatingRecord)];
    DWORD size = 0;
    if (!ReadRecordFile(data, &size)) return;
    WCHAR csv[MAX_PATH];
    double startVoltage = 0;
    if (!ParseOperatingRecord(data, size, g_szStorageRoot, csv, &startVoltage) || !FileExists(csv)) {
        OutputDebugStringW(u"[OPLOG]resume record refused\r\n");
        DeleteFileW(recordPath);
        return;
    }
    Show(5);
    if (!StartReader(FileReadThread)) OutputDebugStringW(u"[OPLOG]resume reader not started\r\n");
}

BOOL COperationWnd::RebuildFromLog(const WCHAR* path, double startVoltage, BOOL resume, LogRebuild* out) {
    const double maxVoltage = m_pSettings ? m_pSettings->dMaxVoltage : 0.0;
    const double maxCurrent = m_pSettings ? m_pSettings->dMaxCurrent : 0.0;
    const BOOL fahrenheit = m_pSettings && m_pSettings->wFahrenheit;
    m_dStartVoltage = startVoltage;
    if (resume) {
        m_dVoltageMax = m_dVoltageMin = startVoltage;
        m_dStepHigh = m_dStepLow = startVoltage;
    } else {
        m_dVoltageMax = 0;
        m_dVoltageMin = maxVoltage;
        m_dStepHigh = 0;
        m_dStepLow = maxVoltage;
    }
    m_dCurrentMax = 0;
    if (m_pGraph) m_pGraph->ClearData();
    int lastStep = -1;
    int sign = 1;
    LogRebuild r;
    auto onRow = [&](const LogRow& row) {
        if (!m_bLoop.load()) return false;
        if (r.rows == 0) {
            r.first = row;
            m_dStartVoltage = row.volts;
        }
        const int temp = fahrenheit ? static_cast<int>((row.temperature * 1.8 + 32) * 10) : row.temperature * 10;
        const int samples[OPW_GRAPH_CHANNELS + 1] = {
            static_cast<int>(row.setVolts * 10), static_cast<int>(row.setAmps * 10), static_cast<int>(row.volts * 10),
            static_cast<int>(row.amps * 10),     temp,                               1};
        if (m_pGraph) m_pGraph->PutData(samples, OPW_GRAPH_CHANNELS);
        m_dStepLow = std::min(m_dStepLow, row.volts);
        m_dStepHigh = std::max(m_dStepHigh, row.volts);
        if (row.volts > m_dVoltageMax) m_dVoltageMax = std::min(row.volts + 10, maxVoltage);
        if (row.volts < m_dVoltageMin) m_dVoltageMin = std::max(row.volts - 10, 0.0);
        if (row.amps > m_dCurrentMax)
            m_dCurrentMax = std::min(row.amps + 10, IsUnitConnected() ? UNIT_MAX_AMPS : maxCurrent);
        if (row.step != lastStep) {
            lastStep = row.step;
            r.stepFirstSeconds = row.elapsed;
        }
        if (row.mode == 1) sign = 1;
        else if (row.mode == 2) sign = -1;
        else if (row.mode == 3) {
            if (row.discharge) sign = -1;
            else if (row.pulse == 0) sign = 1;
            else if (row.pulse == 2) sign = -1;
        }
        r.ampHours += row.amps / 3600.0 * sign;
        r.last = row;
        ++r.rows;
        return true;
    };
    size_t rows = 0;
    DWORD wholeBytes = 0;
    const int result = ReadLogRows(path, onRow, &rows, &wholeBytes);
    r.wholeBytes = wholeBytes;
    if (result != LOG_READ_OK || r.rows == 0) {
        WCHAR line[96];
        swprintf(line, 96, u"[OPLOG]log not read: %d after %d rows\r\n", result, static_cast<int>(rows));
        OutputDebugStringW(line);
        return FALSE;
    }
    m_dAmpHours = r.ampHours;

    // Labels from the last row.
    SetNumberLabel(OPW_SET_VOLTAGE, u"%.01f", r.last.setVolts);
    SetNumberLabel(OPW_G_SET_VOLTAGE, u"%.01f", r.last.setVolts);
    SetNumberLabel(OPW_SET_CURRENT, u"%.01f", r.last.setAmps);
    SetNumberLabel(OPW_G_SET_CURRENT, u"%.01f", r.last.setAmps);
    SetSetTimeLabel(r.last.setSeconds);
    SetNumberLabel(OPW_AMPHOURS, u"%.3f", m_dAmpHours);
    SetNumberLabel(OPW_G_AMPHOURS, u"%.3f", m_dAmpHours);
    WCHAR text[48];
    swprintf(text, 48, u"%.01f/%.01f", m_dStepLow, m_dStepHigh);
    SetLabel(OPW_STEP_VOLTAGES, text);
    swprintf(text, 48, u"%c%c:%c%c:%c%c", r.first.startText[0], r.first.startText[1], r.first.startText[3],
             r.first.startText[4], r.first.startText[6], r.first.startText[7]);
    SetLabel(OPW_START_TIME, text);
    SetTimeLabel(OPW_TOTAL_TIME, r.last.elapsed + 1);
    SetTimeLabel(OPW_G_TOTAL_TIME, r.last.elapsed + 1);
    SetGraphAxes(FALSE, m_dCurrentMax, m_dVoltageMax, m_dVoltageMin);
    *out = r;
    return TRUE;
}

BOOL COperationWnd::RestoreRun(const LogRebuild& r) {
    const LogRow& last = r.last;
    int runState;
    if (last.mode == 1 || last.mode == 2) {
        runState = last.mode;
        m_bDischarge = last.mode == 2 ? 1 : 0;
    } else if (last.mode == 3 && m_pOpMode && last.step >= 1 && last.step <= 6 &&
               m_pOpMode->steps[last.step - 1].dwEnable == 1 && m_pOpMode->steps[last.step - 1].byKind != 0) {
        runState = last.step + 2;
        m_bDischarge = m_pOpMode->steps[last.step - 1].dwDirection == 1 ? 1 : 0;
        m_dwProgramTime = 0;
        int enabled = 0;
        for (const ProgramStep& step : m_pOpMode->steps)
            if (step.dwEnable == 1 && step.byKind != 0) {
                m_dwProgramTime += step.dwTime;
                ++enabled;
            }
        m_nStage = 0;
        SetModeTitle(last.step - 1, m_pOpMode->steps[last.step - 1]);
        SetSetTimeLabel(m_dwProgramTime);
        if (auto* b = dynamic_cast<CScrollBarCtrl*>(Ctrl(OPW_PROGRAM_BAR))) b->SetTotal(SCROLL_BAR_HORZ, enabled + 1, FALSE);
    } else {
        OutputDebugStringW(u"[OPLOG]last row names no run to resume\r\n");
        return FALSE;
    }
    m_nRunState = runState;
    m_nPulsePhase = 0;
    GetSystemTime(&m_stStart);
    // The MCU (or the attached unit) gets what the run's start sent it, with the output left off.
    if (SetUpRunOutput(runState, FALSE)) {
        PostEvent(kMcuFailedEvent);
        return FALSE;
    }
    const DWORD total = last.elapsed + 1;
    const DWORD step = last.elapsed - r.stepFirstSeconds + 1;
    WCHAR line[64];
    swprintf(line, 64, u"LAST : %d,%d\r\n", static_cast<int>(total), static_cast<int>(step));
    OutputDebugStringW(line);
    SetRunTimes(total, step);
    const int range = static_cast<int>(runState >= RUN_STATE_STEP1 ? m_pOpMode->steps[runState - RUN_STATE_STEP1].dwTime
                                                                   : m_pOpMode->dwTime) + 1;
    for (int bar : {OPW_PROGRAM_BAR, OPW_STEP_BAR})
        if (bar == OPW_STEP_BAR || runState < RUN_STATE_STEP1)
            if (auto* b = dynamic_cast<CScrollBarCtrl*>(Ctrl(bar))) b->SetTotal(SCROLL_BAR_HORZ, range, FALSE);
    RequestGraph(GRAPH_REQ_REDRAW);
    m_bHeldResume = 1;
    m_nRunFlag = RUN_PAUSED;
    Post(WM_OPWND_HELD, runState >= RUN_STATE_STEP1 ? OPW_MASK_PROGRAM : OPW_MASK_RUN, 0);
    return TRUE;
}

void COperationWnd::ShowHeldButtons(DWORD mask) {
    // A stop or a continue may have come first.
    if (!m_bHeldResume) return;
    SetButtonMask(mask);
    SetPauseButtonText(kResumeTextKey);
}

DWORD WINAPI COperationWnd::FileReadThread(LPVOID param) {
    auto* page = static_cast<COperationWnd*>(param);
    page->m_csvLog.ClearPath();
    if (!page->ParkOperationThread()) return 0;  // the record stays for the next start
    page->ShowLoadingScreen(TRUE, kLoadingResumeMs);
    const DWORD began = GetTickCount();
    OutputDebugStringW(u"FileReadThread Start\r\n");
    BYTE data[sizeof(OperatingRecord)];
    DWORD size = 0;
    WCHAR csv[MAX_PATH];
    double startVoltage = 0;
    BOOL restored = FALSE;
    if (page->m_pGraph) page->m_pGraph->Enable(FALSE);
    page->SetGraphScale(TRUE, FALSE);
    LogRebuild r;
    if (ReadRecordFile(data, &size) && ParseOperatingRecord(data, size, g_szStorageRoot, csv, &startVoltage) &&
        page->RebuildFromLog(csv, startVoltage, TRUE, &r) && page->RestoreRun(r)) {
        // Logging goes on into the same file, after its last whole row.
        CutToWholeRows(csv, r.wholeBytes);
        page->m_csvLog.SetPath(csv);
        restored = TRUE;
    }
    if (page->m_pGraph) {
        page->m_pGraph->Enable(TRUE);
        page->m_pGraph->Invalidate(nullptr, FALSE);
    }
    page->SetGraphScale(FALSE, TRUE);
    WCHAR line[48];
    swprintf(line, 48, u"Thread Time : %d\r\n", static_cast<int>(GetTickCount() - began));
    OutputDebugStringW(line);
    page->RestartTick();
    if (!restored) page->DeleteOperatingFile();
    page->UnparkOperationThread();
    page->ShowLoadingScreen(FALSE, -1);
    return 0;
}

DWORD WINAPI COperationWnd::LogViewThread(LPVOID param) {
    auto* page = static_cast<COperationWnd*>(param);
    if (!page->ParkOperationThread()) {
        page->ShowLoadingScreen(FALSE, -1);
        return 0;
    }
    if (CGraphCtrl* graph = page->m_pGraph) {
        page->m_nZoom = graph->SetZoom(FALSE, page->m_nZoom.load());
        page->SetGraphAxes(TRUE, 0, 0, 0);
        graph->ClearData();
        const BOOL fahrenheit = page->m_pSettings && page->m_pSettings->wFahrenheit;
        graph->SetAxis3(fahrenheit ? 30 : 0, 10, fahrenheit ? u"\u2109" : u"\u2103", 0xFF0000);
    }
    WCHAR path[MAX_PATH];
    swprintf(path, MAX_PATH, u"%s", page->m_szLogViewPath);
    LogRebuild r;
    page->RebuildFromLog(path, 0, FALSE, &r);
    WCHAR line[48];
    swprintf(line, 48, u"[OPLOG]log view: %d rows\r\n", static_cast<int>(r.rows));
    OutputDebugStringW(line);
    if (page->m_pGraph) {
        page->m_pGraph->Enable(TRUE);
        page->ShowGraphPage(0, TRUE);
    }
    page->SetGraphScale(FALSE, TRUE);
    page->UnparkOperationThread();
    page->ShowLoadingScreen(FALSE, -1);
    return 0;
}

// Log-list popup

void COperationWnd::GetLogFiles() {
    CShellManager& shells = CShellManager::Instance();
    CloseShellIfOpen(SHELL_FILTER);
    if (shells.FindShell(SHELL_FILES)) {
        shells.CloseShell(SHELL_FILES);
        return;
    }
    CShellPanel* popup = shells.OpenShell(m_hOwner, SHELL_FILES, nullptr, FALSE);
    if (!popup) return;
    const WCHAR* face = GetLangFontFace();
    auto* list = dynamic_cast<CListBoxCtrl*>(popup->GetCtrl(FILES_LIST));
    WCHAR folder[MAX_PATH], pattern[MAX_PATH];
    GetLogFolder(g_szStorageRoot, folder, MAX_PATH);
    swprintf(pattern, MAX_PATH, u"%s*.CSV", folder);
    int count = 0;
    if (list) {
        list->SetFontFace(face);
        list->DeleteAllItems(FALSE);
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(pattern, &found);
        WCHAR line[MAX_PATH + 48];
        swprintf(line, MAX_PATH + 48, u"[FILE]%s : %p\r\n", pattern, find);
        OutputDebugStringW(line);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
                swprintf(line, MAX_PATH + 48, u"Found log file [%d] : %s\r\n", count, found.cFileName);
                OutputDebugStringW(line);
                list->AddItem(found.cFileName, nullptr, nullptr, FALSE, -1, FALSE);
                ++count;
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
    }
    WCHAR line[32];
    swprintf(line, 32, u"Files : %d\r\n", count);
    OutputDebugStringW(line);
    const int keys[][2] = {{FILES_OPEN, kFilesOpenTextKey}, {FILES_CLOSE, kFilesCloseTextKey}};
    for (const auto& k : keys)
        if (CUiCtrl* c = popup->GetCtrl(k[0])) {
            c->SetFontFace(face);
            c->SetText(GetLangText(SHELL_POPUP, k[1], FALSE), FALSE);
        }
    popup->Show(TRUE);
    popup->Invalidate(nullptr, TRUE);
}

void COperationWnd::OpenLogView() {
    CShellPanel* popup = CShellManager::Instance().FindShell(SHELL_FILES);
    auto* list = popup ? dynamic_cast<CListBoxCtrl*>(popup->GetCtrl(FILES_LIST)) : nullptr;
    if (!list || list->GetCurSel() < 0 || IsReaderRunning()) return;
    WCHAR name[MAX_PATH], folder[MAX_PATH];
    if (list->GetItemText(list->GetCurSel(), name, MAX_PATH) <= 0) return;
    GetLogFolder(g_szStorageRoot, folder, MAX_PATH);
    if (swprintf(m_szLogViewPath, MAX_PATH, u"%s%s", folder, name) <= 0) return;
    CloseShellIfOpen(SHELL_FILES);
    if (m_pGraph) m_pGraph->Enable(FALSE);
    ShowLoadingScreen(TRUE, -1);
    if (!StartReader(LogViewThread)) {
        if (m_pGraph) m_pGraph->Enable(TRUE);
        ShowLoadingScreen(FALSE, -1);
    }
}
