// The setting page (shell 1) and its language list (shell 15).
#pragma once
#include <windows.h>

struct SettingsRecord;
class CTopBarWnd;
class CUnitLink;
class CShellPanel;
class CUiCtrl;

// Controls of shell 1.
#define SETTING_CALIBRATE 0
#define SETTING_PATTERN 1
#define SETTING_LOCK 2
#define SETTING_BT_STATUS 3
#define SETTING_BACKLIGHT 4
#define SETTING_LANGUAGE 5
#define SETTING_UPGRADE 6
#define SETTING_HW_VERSION 7
#define SETTING_SW_VERSION 8
#define SETTING_FW_VERSION 9
#define SETTING_SERIAL 10
#define SETTING_YEAR 11
#define SETTING_SECOND 16
#define SETTING_UP 17
#define SETTING_DOWN 18
#define SETTING_TEMP_LIMIT 19
#define SETTING_BT_CAPTION 24
#define SETTING_APPLY_TIME 33
#define SETTING_UNIT 35
#define SETTING_BT_COUNTER 36
#define SETTING_LEAVE 110

// The attached unit's switch (D0) on the wired link: 1 when the unit acknowledged.
typedef int (*PFN_UNIT_SWITCH)(CUnitLink* link, int on);

class CSettingWnd {
public:
    CSettingWnd(HWND hWnd, SettingsRecord* settings, const BYTE* mcuVersion);
    virtual ~CSettingWnd();
    CSettingWnd(const CSettingWnd&) = delete;
    CSettingWnd& operator=(const CSettingWnd&) = delete;

    BOOL IsCreated() const;
    void SetTopBar(CTopBarWnd* topBar) { m_pTopBar = topBar; }
    // link may be null (no COM5): the unit switch is then never acknowledged.
    void SetLinkPort(CUnitLink* link, PFN_UNIT_SWITCH unitSwitch);
    void Show(int state);
    LRESULT OnCommand(HWND hWnd, int shell, LPARAM lParam);
    void OnClockTimer();
    void SetSystemVersion();
    void SetBtStatus(int state);
    void SelectTimeField(int control);
    void CalibrateTouch();
    void RunUpgrader(int button);
    void ShowLanguageList();
    void SetTempLimitText();
    void SetUnitText();
    void SetBtModeText(int mode);
    void InitTexts();

    int GetShowState() const { return m_nShow; }
    int GetSelectedField() const { return m_nField; }
    BOOL IsUpgradeFound() const { return m_bUpgradeFound; }

private:
    CShellPanel* Panel() const;
    CUiCtrl* Ctrl(int control) const;
    void WriteTimeLabels();
    void SetLockCheck(BOOL on);
    void SetBacklightText();
    void CheckUpgrade();
    void OnLanguageCommand(int control);
    void PaintLanguageNames();
    void CloseLanguageList();
    void ToggleUnit();

    HWND m_hWnd;
    SettingsRecord* m_pSettings;
    CTopBarWnd* m_pTopBar;
    const BYTE* m_pMcuVersion;
    int m_nShow;
    int m_nField;
    SYSTEMTIME m_Time;
    UINT_PTR m_nClockTimer;
    BOOL m_bUpgradeFound;
    int m_nLangChoice;
    CUnitLink* m_pLink;
    PFN_UNIT_SWITCH m_pfnUnitSwitch;
};

// Touch calibration of the platform module: 1 after the readings were written, 0 on cancel.
typedef int (*PFN_TOUCH_CALIBRATE)();
