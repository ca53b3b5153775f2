// The operation page (shell 3) and its engine: the live values, elapsed times, progress bars and the
// time graph of a run; the operation thread that polls the MCU once a second and stops a run on every
// stop condition; the graph thread that pages and zooms the graph; the channel filter popup (shell 8).
#pragma once
#include <windows.h>

#include <atomic>

#include "app/MicomPort.h"
#include "app/OperationLog.h"
#include "app/PerfTimer.h"
#include "app/UnitLink.h"

struct SettingsRecord;
struct OpModeRecord;
class CShellPanel;
class CUiCtrl;
class CGraphCtrl;
class CScrollBarCtrl;
class CProgressBar;
class CTopBarWnd;
class CManualWnd;
class CAdminWnd;
class CPgmWnd;
class CAutoWnd;
class CLinkPort;
struct ProgramStep;

// Controls of shell 3.
#define OPW_VOLTAGE 0          // measured voltage
#define OPW_CURRENT 1          // measured current
#define OPW_G_SET_VOLTAGE 2    // graph view: set voltage
#define OPW_G_SET_CURRENT 3    // graph view: set current
#define OPW_G_AMPHOURS 4       // graph view: amp-hours
#define OPW_G_TOTAL_TIME 5     // graph view: total time
#define OPW_TEMPERATURE 6
#define OPW_FREQUENCY 7
#define OPW_PAUSE 8
#define OPW_STOP 9
#define OPW_ZOOM 10
#define OPW_GRAPH 11
#define OPW_SCROLL 12
#define OPW_FAHRENHEIT 19
#define OPW_SET_VOLTAGE 22
#define OPW_SET_CURRENT 23
#define OPW_SET_TIME 24
#define OPW_START_TIME 25
#define OPW_END_TIME 26
#define OPW_TOTAL_TIME 27      // blinks during a temperature pause
#define OPW_PROGRAM_BAR 28
#define OPW_STEP_BAR 29
#define OPW_STEP_VOLTAGES 31   // lowest/highest voltage of the step
#define OPW_AMPHOURS 32
#define OPW_MODE_TITLE 39
#define OPW_VIEW 41
#define OPW_CONTROLS 42

// Controls of the manual page (shell 4) and the program pages (shells 5 and 6) the page acts on.
#define OPW_MANUAL_RESTORATION 12
#define OPW_MANUAL_DISCHARGE 28
#define OPW_PROGRAM_APPLY 42

// Commands the top bar sends to the page in front.
#define OPW_CMD_HOME 110
#define OPW_CMD_MANUAL 111
#define OPW_CMD_FILTER 113
#define OPW_CMD_PROGRAM 112
#define OPW_CMD_AUTO 117

// Controls of the filter popup (shell 8): switches 0..4, apply, close.
#define FILTER_SWITCHES 5
#define FILTER_APPLY 5
#define FILTER_CLOSE 6

// Run flag.
#define RUN_IDLE 0
#define RUN_RUNNING 1
#define RUN_PAUSED 2
// Run state.
#define RUN_STATE_RESTORATION 1
#define RUN_STATE_DISCHARGE 2
#define RUN_STATE_STEP1 3
#define RUN_STATE_STEP6 8

// Button masks of SetButtonMask.
#define OPW_MASK_IDLE 2527
#define OPW_MASK_RUN 3586
#define OPW_MASK_PROGRAM 3588

// Graph requests.
#define GRAPH_REQ_ZOOM 0
#define GRAPH_REQ_NEWPAGE 2
#define GRAPH_REQ_REDRAW 3
#define GRAPH_REQ_SCROLL 4
#define GRAPH_REQ_REAPPLY 5

#define OPW_GRAPH_CHANNELS 5
#define OPW_GRAPH_LENGTH 360000
#define OPW_MAX_RUN_SECONDS 360000
// Consecutive failed polls a run survives.
#define OPW_POLL_RETRIES 3

// Modes of the attached unit's D1 set-up.
#define UNIT_MODE_CONSTANT_VOLTAGE 1
#define UNIT_MODE_CONSTANT_CURRENT 3
// A Discharge through the attached unit holds its set voltage within this range.
#define UNIT_MIN_VOLTS 10.0
#define UNIT_MAX_VOLTS 96.0
// The attached unit's current limit, whatever the settings say.
#define UNIT_MAX_AMPS 200.0
// The total-time label's colour from the layout, given back when a temperature pause ends.
#define OPW_TOTAL_TIME_COLOUR 0x60B0DB
// Events the engine posts to the main window (WM_OPERATION_EVENT).
#define OPW_EVENT_NO_ANSWER 10000
#define OPW_EVENT_NO_STEP 10001
#define OPW_EVENT_UNIT 10003

// Sends an error code to the remote host (Bluetooth or the wired link, as the settings say).
typedef void (*PFN_REPORT_ERROR)(int code);
// Sends a B0 record to the remote host over the transport the settings name.
typedef void (*PFN_SEND_RECORD)(const char* record);

// Commands of shell 3 and the log-list popup (shell 9).
#define OPW_CMD_FILES 114
#define FILES_LIST 0
#define FILES_OPEN 1
#define FILES_CLOSE 2

class COperationWnd {
public:
    COperationWnd(HWND owner, SettingsRecord* settings, OpModeRecord* opMode, const BYTE* firmware);
    virtual ~COperationWnd();
    COperationWnd(const COperationWnd&) = delete;
    COperationWnd& operator=(const COperationWnd&) = delete;

    // 1 when shell 3 opened.
    BOOL IsCreated() const { return m_pPanel != nullptr; }
    void Show(int show);
    void Back();
    // Stores the ports and releases the operation thread.
    void SetPorts(CMicomPort* mcu, CLinkPort* link);
    // The attached unit's side of the wired link; null while there is none.
    void SetUnitLink(CUnitLink* unit) { m_pUnit = unit; }
    LRESULT OnCommand(HWND hWnd, int shell, LPARAM lParam);

    // Starts: 0 when the run started, 1 when refused or failed. quiet (remote requests) shows no popups
    // of their own but the start refusal, the range text boxes and those of CheckCutLimits.
    int StartRestoration(int quiet, int reserved = 0);
    int StartDischarge(int quiet, int reserved = 0);
    int StartProgram(int quiet);
    // Ends the step of state (0: none) and starts the next enabled one; 1 when a step started, else 0
    // with the page idle (program end, no step, refused check, failed command).
    int NextProgramStep(int state, int quiet, int checkStart);
    // The pause button and the remote C6 request: pause, continue, or continue a held resume.
    int PauseResume();
    // Cut-off voltage, cut-off current and mains frequency against the settings; 1 when all hold.
    int CheckCutLimits();
    // The temperature gate of a discharging run: 1 when the run goes on this tick.
    int OnBatteryHighTemp();
    // The attached unit takes the output (mode, volts and amperes x 100 or as the mode says, time as
    // hours x 100 + minutes); 1 when it took it.
    int StartOutput(BYTE mode, WORD value1, WORD value2, DWORD time, BOOL switchOn);
    // D2 0; 1 when the unit acknowledged.
    int StopOutput();
    BOOL IsUnitConnected() const;

    // Set-value checks against the settings' limits (current up to 200 A with the attached unit).
    BOOL CheckSetVoltage(double volts) const;
    BOOL CheckSetCurrent(double amps) const;
    BOOL CheckSetTime(DWORD seconds) const;
    BOOL CheckProgramStep(const ProgramStep& step) const;
    // The manual page's edit of a running Restoration or Discharge: the record's set values to the
    // output at once; 1 when taken, 0 when a value is out of range or a command failed.
    int ApplyManualEdit(int quiet);
    // Remote edits E0..E3: 1 when taken, 0 when refused.
    int SetRemoteVolt(double volts);
    int SetRemoteAmp(double amps);
    int SetRemoteTime(DWORD seconds);
    int SetRemoteStep(int number, const ProgramStep* step);
    // The program page changed steps while a Program runs: program time, axes and the running step
    // sent again (while paused by the user: kept for the continue).
    // 1 when taken (or kept for the continue), 0 when a step's values are out of range.
    int ApplyProgramEdit(int quiet = 0);
    // Sets the running step up again without start checks; 1 on success, else the page goes idle.
    int ResendStep(int state);
    void SetModeTitle(int index, const ProgramStep& step);

    // Ends a run: output off, page idle. remoteReply answers a waiting remote start. Always 0.
    int StopRun(int remoteReply);
    void SetIdleState();
    // Clears the run's values and the graph; the labels show the record's set values.
    void ResetDisplay();
    // Sends an error code to the remote host.
    void ReportError(int code);

    void SetGraphAxes(BOOL reset, double currentMax, double voltageMax, double voltageMin);
    void SetButtonMask(DWORD mask);
    void ToggleView();
    void ToggleFilterPopup();
    void SetGraphChannels();
    // Keeps the scroll bar in step with the graph; from another thread it runs on the UI thread.
    void SetGraphScale(BOOL reset, BOOL force);
    // Stores the kind and wakes the graph thread; a kind not yet taken is replaced.
    void RequestGraph(int kind);

    // The tick stopwatch.
    void RestartTick();
    // True once more than 1000 ms passed since the tick reference; keeps the tick's seconds.
    BOOL TickElapsed();
    DWORD GetTickSeconds() const { return m_dwTickSeconds; }
    // Milliseconds until the next tick is due, 1 to 1001.
    DWORD TickWaitMs();
    void SetRunTimes(DWORD total, DWORD step);
    void ClearStepTime();

    // One round of the operation thread after its wait: the poll's record, or null when it failed.
    void RunTick(const McuStatusRecord* status);
    void ProcessStatus(McuStatusRecord* status);

    BOOL IsIdle() const { return m_nRunFlag.load() == RUN_IDLE; }
    int GetView() const { return m_nView; }
    int GetZoom() const { return m_nZoom.load(); }
    CShellPanel* Panel() const { return m_pPanel; }
    CUiCtrl* Ctrl(int i) const { return (i >= 0 && i < OPW_CONTROLS) ? m_pCtrl[i] : nullptr; }
    CGraphCtrl* Graph() const { return m_pGraph; }
    CScrollBarCtrl* ScrollBar() const { return m_pScroll; }
    // 1 while the graph thread handles a request.
    BOOL IsGraphBusy() const { return m_bGraphBusy.load() != 0; }
    BOOL IsOperationThreadAlive() const { return m_bAlive.load() != 0; }
    BOOL IsGraphThreadAlive() const { return m_bGraphAlive.load() != 0; }

    // Ends and joins the threads and lets go of the controls; the page does nothing from then on. Runs
    // when the page's window goes, which may come before the page itself is deleted.
    void Shutdown();

    static DWORD WINAPI OperationThread(LPVOID param);
    static DWORD WINAPI GraphThread(LPVOID param);

    // The run's log and its resume record.
    // Names the run's log under the storage root's Log folder and writes Operating.dat.
    void CreateLogFiles(const SYSTEMTIME& start, WCHAR modeLetter);
    // Deletes Operating.dat and ends the logging of the run.
    void DeleteOperatingFile();
    // Start-up: a run cut short by a power loss is rebuilt on a reader thread and left held.
    void ResumeFromFile();
    // The log-list popup (shell 9): opened with the logs of the storage root, or closed when open.
    void GetLogFiles();
    // Builds the B0 record of this second; log queues it as the run's CSV row, send hands it to the host.
    void SendStatusRecord(int log, int send);
    // Asks the operation thread to stop at the top of its round; 0 when it did not within the bound.
    BOOL ParkOperationThread();
    void UnparkOperationThread();
    // Joins a reader thread that has ended (or waits for one still running when wait is set).
    void JoinReader(BOOL wait);
    BOOL IsReaderRunning() const;
    static DWORD WINAPI FileReadThread(LPVOID param);
    static DWORD WINAPI LogViewThread(LPVOID param);
    CCsvLog& CsvLog() { return m_csvLog; }
    PFN_SEND_RECORD m_pfnSendRecord;
    double m_dStartVoltage;
    WCHAR m_szLogViewPath[MAX_PATH];

    // Owner and shared records.
    HWND m_hOwner;
    SettingsRecord* m_pSettings;
    OpModeRecord* m_pOpMode;
    const BYTE* m_pFirmware;
    CMicomPort* m_pMicomPort;
    CLinkPort* m_pLinkPort;
    int* m_pRemoteControl;
    int m_bHardwareBlock;
    CTopBarWnd* m_pTopBar;
    // The manual page (shell 4), created and deleted with this page.
    CManualWnd* m_pManual = nullptr;
    // The admin page, whose measurement lines the tick feeds (null without it).
    CAdminWnd* m_pAdminWnd = nullptr;
    // The program page (shell 5, with the step editor of shell 6) and the auto page (shell 16).
    CPgmWnd* m_pPgm = nullptr;
    CAutoWnd* m_pAuto = nullptr;
    PFN_REPORT_ERROR m_pfnReportError;

    // Page state.
    int m_nView;  // 0 values, 1 graph
    int m_nShow;
    std::atomic<int> m_nZoom;
    std::atomic<int> m_nGraphRequest;
    std::atomic<int> m_bGraphBusy;
    // The page the scroll bar stands at, kept for the graph thread.
    std::atomic<int> m_nScrollPage;
    DWORD m_dwProgramTime;
    SYSTEMTIME m_stStart;
    int m_bEditing;

    // Tick stopwatch.
    CPerfTimer m_timer;
    LONGLONG m_llTickRef;
    DWORD m_dwTickSeconds;

    // Engine state.
    std::atomic<int> m_nRunFlag;
    int m_nRunState;
    DWORD m_dwTotalSeconds;
    DWORD m_dwStepSeconds;
    double m_dVoltage;
    double m_dCurrent;
    SHORT m_nBatteryTemp;
    WORD m_wFrequency;
    double m_dAmpHours;
    double m_dStepHigh;
    double m_dStepLow;
    double m_dCurrentMax;
    double m_dVoltageMax;
    double m_dVoltageMin;
    int m_bBatCon0;
    int m_bBatCon1;
    int m_bTransOverheat;
    int m_bHeatsink;
    int m_bTempPaused;
    int m_nPauseCount;
    int m_nPulsePhase;
    int m_bDischarge;
    int m_bUnitOutput;
    int m_bHeldResume;
    // Copied from the controller: starts are refused while it is set.
    int m_bStartRefused;
    CUnitLink* m_pUnit;
    // Step state.
    int m_nPhaseTicks;
    int m_bDvArmed;
    double m_dPeakVolts;
    int m_nLowTicks;
    int m_nStage;
    DWORD m_dwStageMark;
    double m_dAhLimit;
    double m_dEndCurrent;
    double m_dStepStartVolts;
    // The attached unit: a start in progress, a temperature pause made by switching it off, and its
    // last set-up for the resume.
    std::atomic<int> m_bUnitStarting;
    int m_bUnitPaused;
    BYTE m_byUnitMode;
    WORD m_wUnitValue1;
    WORD m_wUnitValue2;
    DWORD m_dwUnitTime;
    // A program edit made while paused by the user, sent on continue.
    int m_bResendOnResume;
    std::atomic<int> m_bLoop;
    std::atomic<int> m_bAlive;
    std::atomic<int> m_bGraphAlive;
    // Locals of the operation thread, kept here so a test can drive single rounds.
    int m_nPollFailures;
    int m_nTransTicks;
    int m_nSinkTicks;
    int m_bNoticeShown;
    int m_bOutagePosted;
    int m_bBlinkOn;
    SHORT m_nLastTransTemp;

private:
    void CacheControls();
    void InitGraph();
    void SetTexts();
    void ApplyView();
    // Shows the run's set values and times from the operation-mode record, zeros elsewhere.
    void ShowIdleLabels();
    void SetLabel(int control, const WCHAR* text);
    void SetNumberLabel(int control, const WCHAR* format, double value);
    void SetTimeLabel(int control, DWORD seconds);
    void SetSetTimeLabel(DWORD seconds);
    void SetTemperatureLabel(SHORT transTemp);
    void SetProgress(int control, int pos);
    void SetPauseButtonText(int key);
    void SetTemperatureAxis();
    void CloseShellIfOpen(int shell);
    void ApplyFilter();
    void Post(UINT msg, WPARAM wParam, LPARAM lParam);
    BOOL OnUiThread() const;
    // The parts of the idle display that belong to the UI thread.
    void ShowIdleButtons();
    void CloseOverVoltageNotice();
    void HandleGraphRequest(int kind);
    // Shell 4 controls 12 and 28: a start when idle or paused by the user, else the edit of the run.
    void OnManualStart(int control);
    // Shell 3 control 111 and the commands of shell 4.
    void OpenManual();
    void OnManualCommand(int control, int event);
    // Shell 5/6 control 42 and shell 16 control 0: the edit of a running program, or its start.
    void OnProgramApply();
    // Shell 3 controls 112 and 117, and the commands of shells 5, 6 and 16.
    void OpenProgram();
    void OpenAuto();
    void OnProgramCommand(int shell, int control, int event);
    void HideSubPages();
    void ShowGraphPage(int page, BOOL clearFurthest);
    void PostEvent(int code);
    void CheckTemperatures(const McuStatusRecord& status);
    void AddGraphSample();
    // Item 2 to 8 of the running checks; 1 when the tick must end at once.
    BOOL CheckStops(const McuStatusRecord& status, BOOL* stopped);
    void AddTime();
    // The set values of the run: the record's head for Restoration and Discharge, the step's in a program.
    void SetValuesOfRun(double* volts, double* amps) const;
    // The end of a Restoration or Discharge, or the current program step's phases and end.
    void EvaluateRunState(const McuStatusRecord& status);
    void EvaluateChargeStep(int state, const ProgramStep& step, double volts, double amps, WORD rawAmps);
    void EvaluatePulse(const ProgramStep& step, double volts);
    // Output set-up of a step: 0 done, 1 an MCU command failed, 2 the attached unit did not take it.
    int SetUpStepOutput(const ProgramStep& step, BOOL stage2, BOOL switchOn = TRUE);
    // Set voltage and current, direction, the two step flags, then the output on when switchOn; 1 when the
    // MCU took them all.
    int SendOutputSetup(double volts, double amps, BYTE direction, int flag1A, int flag19, BOOL switchOn = TRUE);
    // The output set-up a start sends for the run state (a program step's as SetUpStepOutput): 0 done,
    // 1 an MCU command failed, 2 the attached unit did not take it. The resume sends it with the output off.
    int SetUpRunOutput(int runState, BOOL switchOn);
    // Labels, bars and step state of a step just set up.
    void ShowStep(int index, const ProgramStep& step);
    // Output off, each command tried twice; 1 when all were acknowledged.
    int OutputOff();
    // A failed start or step set-up: output off best-effort, page idle.
    void FailToIdle(int event);
    // The display and state common to the starts.
    void BeginRunDisplay(int runState, double voltageMin, double voltageMax, double currentMax);
    void BeginRunState(int runState, int note);
    BOOL RefusedByConnection(int firstCode, int quiet);
    BOOL RefusedByTemperature(int quiet);
    BOOL RefusedByRange(double volts, double amps, BOOL unitVolts);
    void Popup(int message, int quiet);
    void ShowSetValueLabels(double volts, double amps, DWORD seconds);
    void SetProgressRange(int control, int total);
    void SetTotalTimeColour(COLORREF colour);
    void SystemLog(const WCHAR* text);
    int SetRemoteValue(double value, BOOL volts);
    static LRESULT CALLBACK MsgWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PanelProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    CShellPanel* m_pPanel;
    CUiCtrl* m_pCtrl[OPW_CONTROLS];
    CGraphCtrl* m_pGraph;
    CScrollBarCtrl* m_pScroll;
    HANDLE m_hOpEvent;
    HANDLE m_hStopEvent;  // set when the threads must end
    HANDLE m_hGraphEvent;
    HANDLE m_hOpThread;
    HANDLE m_hGraphThread;
    HWND m_hMsgWnd;
    HWND m_hPanelWnd;
    WNDPROC m_pfnPanelProc;
    DWORD m_dwUiThread;

    // Log and readers.
    struct LogRebuild;
    // Reads a log into the graph and labels; 1 with the last row when rows were read.
    BOOL RebuildFromLog(const WCHAR* path, double startVoltage, BOOL resume, LogRebuild* out);
    BOOL RestoreRun(const LogRebuild& rebuild);
    void ShowLoadingScreen(BOOL on, int ms);
    // The buttons of a resumed run that waits for the user's continue (UI thread).
    void ShowHeldButtons(DWORD mask);
    void OpenLogView();
    BOOL StartReader(LPTHREAD_START_ROUTINE routine);
    CCsvLog m_csvLog;
    CRITICAL_SECTION m_csRound;  // held by the operation thread for one round
    std::atomic<int> m_nParkRequests;
    HANDLE m_hReaderThread;
};

// The axis step per division: 1 when the whole part of value is not above divisions, else value /
// divisions rounded up.
int CeilDiv(double value, int divisions);
// Whether the mains frequency reported lies within the setting +- 4.
BOOL CheckMainsFrequency(WORD frequency, WORD setting);
// The step set-up's arguments of CmdSet1A and CmdSet19 by direction and kind.
int GetStepFlag1A(DWORD direction, int kind);
int GetStepFlag19(DWORD direction, int kind);
// Mains frequency of the record's code: 50, 60 or 0.
WORD FrequencyOfCode(int code);
