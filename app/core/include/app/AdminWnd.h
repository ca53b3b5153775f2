// The admin page (shell 10): the model, the stored limits and the live measurements, and the service
// actions. Its texts are fixed English, not language texts.
#pragma once
#include <windows.h>

#include <atomic>

struct SettingsRecord;
struct OpModeRecord;
class CMicomPort;
class CShellPanel;
class CUiCtrl;

// Controls of shell 10.
#define ADMIN_DEL_LOGS 0
#define ADMIN_CLEAR 1
#define ADMIN_TRIMSET 2
#define ADMIN_PAIRPAD 3
#define ADMIN_FREQUENCY 4
#define ADMIN_MODEL 5
#define ADMIN_VOLT_LIMITS 6
#define ADMIN_AMP_LIMITS 7
#define ADMIN_BAT_TEMP 8
#define ADMIN_TRANS_TEMP 9
#define ADMIN_HEATSINK 10
#define ADMIN_FREQ_TEXT 11
#define ADMIN_FREQ_LABEL 16
#define ADMIN_GET_SETTING 18
#define ADMIN_CONTROLS 19
#define ADMIN_RELOAD 100
#define ADMIN_LEAVE 110

// Value texts of the page, apart from the page so they can be checked alone. A limit is shown in
// whole units, clamped first: an imported file may hold any double.
int AdminWhole(double value);
void FormatAdminLimits(double a, double b, double c, BOOL voltage, WCHAR* out, size_t capacity);
// Transformer and heat-sink lines by the board: revision is the display board's, z330 the model.
void FormatTransTemp(int value, int limit, int flag, double revision, BOOL z330, WCHAR* out, size_t capacity);
void FormatHeatsink(int value, int limit, int flag, double revision, WCHAR* out, size_t capacity);
// 60 becomes 50, any other setting 60.
WORD NextFrequency(WORD frequency);

class CAdminWnd {
public:
    CAdminWnd(HWND hWnd, SettingsRecord* settings, OpModeRecord* opMode, const BYTE* mcuVersion);
    virtual ~CAdminWnd();
    CAdminWnd(const CAdminWnd&) = delete;
    CAdminWnd& operator=(const CAdminWnd&) = delete;

    BOOL IsCreated() const;
    void SetMcuPort(CMicomPort* port) { m_pMicomPort = port; }
    void Show(int state);
    int GetShowState() const { return m_nShow; }
    LRESULT OnCommand(HWND hWnd, int shell, LPARAM lParam);
    void UpdateTexts();

    void SetModelText();
    void SetVoltLimitText();
    void SetAmpLimitText();
    // Measured Hz; 0 keeps the last measured value.
    void SetFrequencyText(int hz);
    void RefreshFrequencyText();
    // The operation thread's feed, once a second.
    void SetTempText(int value);
    void SetTransTempText(int value, int flag);
    void SetHeatsinkText(int value, int flag);

private:
    CUiCtrl* Ctrl(int control) const;
    void SetCtrlText(int control, const WCHAR* text);
    void DeleteLogs(HWND hWnd);
    void ClearSettings(HWND hWnd);
    void ImportSettings(HWND hWnd);
    void StartTrimset();
    void StartPairpad();

    HWND m_hWnd;
    SettingsRecord* m_pSettings;
    OpModeRecord* m_pOpMode;
    const BYTE* m_pMcuVersion;
    CMicomPort* m_pMicomPort;
    int m_nShow;
    // Written by the operation thread, read by the UI thread's refresh.
    std::atomic<int> m_nLastFrequency;
    CShellPanel* m_pPanel;
    CUiCtrl* m_pCtrls[ADMIN_CONTROLS];
};
