#include "app/SettingWnd.h"

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/Pages.h"
#include "app/SettingTools.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "ui/BoardIo.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Button.h"

namespace {

const WCHAR kLockFile[] = u"\\NAND Flash\\LockDat.dat";
const int kCaptionKeys[] = {0, 1, 6, 20, 21, 22, 23, 27, 26, 25, 28, 29, 30, 31, 34};
const COLORREF kLangChosen = 0xFFFFFF;
const COLORREF kLangOther = 0x7E7E7E;
// The text of a refused clock in [shell12].
const int kClockRefusedText = 65;

BOOL IsZ330(const SettingsRecord* settings) { return settings && IsModelZ330(settings->szModelName); }

}  // namespace

CSettingWnd::CSettingWnd(HWND hWnd, SettingsRecord* settings, const BYTE* mcuVersion)
    : m_hWnd(hWnd), m_pSettings(settings), m_pTopBar(nullptr), m_pMcuVersion(mcuVersion), m_nShow(-1),
      m_nField(0), m_Time{}, m_nClockTimer(0), m_bUpgradeFound(FALSE), m_nLangChoice(0), m_pLink(nullptr),
      m_pfnUnitSwitch(nullptr) {
    CShellManager::Instance().OpenShell(hWnd, SHELL_SETTING, nullptr, FALSE);
    InitTexts();
}

CSettingWnd::~CSettingWnd() {
    if (m_nClockTimer) KillTimer(m_hWnd, TIMER_SETTING_CLOCK);
    CloseLanguageList();
    if (Panel()) CShellManager::Instance().CloseShell(SHELL_SETTING);
}

BOOL CSettingWnd::IsCreated() const { return Panel() != nullptr; }

CShellPanel* CSettingWnd::Panel() const { return CShellManager::Instance().FindShell(SHELL_SETTING); }

CUiCtrl* CSettingWnd::Ctrl(int control) const {
    CShellPanel* panel = Panel();
    return panel ? panel->GetCtrl(control) : nullptr;
}

void CSettingWnd::SetLinkPort(CUnitLink* link, PFN_UNIT_SWITCH unitSwitch) {
    m_pLink = link;
    m_pfnUnitSwitch = unitSwitch;
}

void CSettingWnd::InitTexts() {
    const WCHAR* face = GetLangFontFace();
    for (int key : kCaptionKeys) {
        if (CUiCtrl* ctrl = Ctrl(key)) {
            ctrl->SetFontFace(face);
            ctrl->SetText(GetLangText(SHELL_SETTING, key, FALSE), TRUE);
        }
    }
    if (m_pSettings) SetBtModeText(m_pSettings->wBtMode);
    if (CUiCtrl* ctrl = Ctrl(32)) {
        if (IsZ330(m_pSettings)) {
            ctrl->Enable(FALSE);
            if (CUiCtrl* limit = Ctrl(SETTING_TEMP_LIMIT)) limit->Enable(FALSE);
        } else {
            ctrl->SetFontFace(face);
            ctrl->SetText(GetLangText(SHELL_SETTING, 32, FALSE), TRUE);
        }
    }
    if (m_pSettings) m_pSettings->nBatTempLimit = (SHORT)ValidTempLimit(m_pSettings->nBatTempLimit);
    SetTempLimitText();
    SetBacklightText();
    SetUnitText();
}

void CSettingWnd::SetBtModeText(int mode) {
    CUiCtrl* ctrl = Ctrl(SETTING_BT_CAPTION);
    if (!ctrl) return;
    ctrl->SetFontFace(GetLangFontFace());
    ctrl->SetText(mode == 1 ? u"Kolvat BT" : GetLangText(SHELL_SETTING, SETTING_BT_CAPTION, FALSE), TRUE);
}

void CSettingWnd::SetBacklightText() {
    CUiCtrl* ctrl = Ctrl(SETTING_BACKLIGHT);
    if (!ctrl || !m_pSettings) return;
    if (m_pSettings->wBackLight > 2) m_pSettings->wBackLight = 0;
    ctrl->SetFontFace(GetLangFontFace());
    ctrl->SetText(GetLangText(SHELL_SETTING, 40 + m_pSettings->wBackLight, FALSE), TRUE);
}

void CSettingWnd::SetTempLimitText() {
    CUiCtrl* ctrl = Ctrl(SETTING_TEMP_LIMIT);
    if (!ctrl || !m_pSettings || IsZ330(m_pSettings)) return;
    WCHAR text[32];
    FormatTempLimit(m_pSettings->nBatTempLimit, m_pSettings->wFahrenheit, text, 32);
    ctrl->SetText(text, TRUE);
}

void CSettingWnd::SetUnitText() {
    CUiCtrl* ctrl = Ctrl(SETTING_UNIT);
    if (!ctrl || !m_pSettings) return;
    ctrl->SetText(m_pSettings->wUnitEnable ? u"ON" : u"OFF", TRUE);
}

void CSettingWnd::SetBtStatus(int state) {
    CUiCtrl* ctrl = Ctrl(SETTING_BT_STATUS);
    if (!ctrl) return;
    const WCHAR* text = g_dDisplayBoardRev < 1.2 ? u"Not Supported" : state ? u"Connected" : u"Disconnected";
    ctrl->SetText(text, TRUE);
}

void CSettingWnd::SetSystemVersion() {
    WCHAR board[32], text[64];
    ReadDisplayBoardRevision(board, 32);
    double screen = 0;
    BYTE kind = 0;
    ReadScreenRevision(&screen, &kind);
    FormatHardwareVersion(board, screen, text, 64);
    if (CUiCtrl* ctrl = Ctrl(SETTING_HW_VERSION)) ctrl->SetText(text, TRUE);
    GetBspVersion(board, 32);
    FormatSoftwareVersion(board, text, 64);
    if (CUiCtrl* ctrl = Ctrl(SETTING_SW_VERSION)) ctrl->SetText(text, TRUE);
    if (m_pMcuVersion) {
        FormatFirmwareVersion(m_pMcuVersion, text, 64);
        if (CUiCtrl* ctrl = Ctrl(SETTING_FW_VERSION)) ctrl->SetText(text, TRUE);
    }
    WCHAR serial[SERIAL_TEXT_MAX + 1];
    size_t i = 0;
    for (; i < SERIAL_TEXT_MAX && g_szSerialText[i]; ++i) serial[i] = (BYTE)g_szSerialText[i];
    serial[i] = 0;
    if (CUiCtrl* ctrl = Ctrl(SETTING_SERIAL)) ctrl->SetText(serial, TRUE);
}

void CSettingWnd::WriteTimeLabels() {
    const int values[6] = {m_Time.wYear, m_Time.wMonth, m_Time.wDay, m_Time.wHour, m_Time.wMinute, m_Time.wSecond};
    RECT area{}, rect;
    for (int i = 0; i < 6; ++i) {
        CUiCtrl* ctrl = Ctrl(SETTING_YEAR + i);
        if (!ctrl) continue;
        WCHAR text[8];
        swprintf(text, 8, i == 0 ? u"%04d" : u"%02d", values[i]);
        ctrl->SetText(text, FALSE);
        ctrl->GetRect(&rect, FALSE);
        UnionRect(&area, &area, &rect);
    }
    // One paint for the six labels, over them only: the clock ticks every second.
    if (CShellPanel* panel = Panel(); panel && !IsRectEmpty(&area)) panel->Invalidate(&area, FALSE);
}

void CSettingWnd::OnClockTimer() {
    GetSystemTime(&m_Time);
    WriteTimeLabels();
}

void CSettingWnd::SetLockCheck(BOOL on) {
    if (auto* box = dynamic_cast<CButtonCtrl*>(Ctrl(SETTING_LOCK))) box->SetCheck(on ? 1 : 0, TRUE);
}

void CSettingWnd::Show(int state) {
    if (state == m_nShow) return;
    m_nShow = state;
    if (state == 5) {
        m_nField = 0;
        SelectTimeField(-1);
        GetSystemTime(&m_Time);
        WriteTimeLabels();
        SetSystemVersion();
        SetLockCheck(m_pSettings && m_pSettings->wLockEnable == 1);
        if (CUiCtrl* ctrl = Ctrl(SETTING_LANGUAGE)) {
            ctrl->SetFontFace(u"NanumGothic");
            ctrl->SetText(GetCurrentLangName(), TRUE);
        }
        SetBacklightText();
        SetBtStatus(m_pSettings ? m_pSettings->wBtConnected : 0);
        m_nClockTimer = SetTimer(m_hWnd, TIMER_SETTING_CLOCK, 1000, nullptr);
        SetTempLimitText();
        SetUnitText();
        if (TestAndClearPageFlag(SHELL_SETTING)) InitTexts();
        if (m_pTopBar) m_pTopBar->SetPage(SHELL_SETTING, 5, 0);
    } else if (state == 0) {
        if (m_nClockTimer) KillTimer(m_hWnd, TIMER_SETTING_CLOCK);
        m_nClockTimer = 0;
        CloseLanguageList();
    }
    if (CShellPanel* panel = Panel()) panel->Show(state == 5);
}

void CSettingWnd::SelectTimeField(int control) {
    if (control >= SETTING_YEAR && control <= SETTING_SECOND) {
        if (m_nClockTimer) KillTimer(m_hWnd, TIMER_SETTING_CLOCK);
        m_nClockTimer = 0;
    }
    const int field = control >= SETTING_YEAR && control <= SETTING_SECOND ? control - SETTING_YEAR + 1 : 0;
    if (field && field == m_nField) return;
    // A marked field is drawn with its pressed look.
    if (m_nField) {
        if (auto* old = dynamic_cast<CButtonCtrl*>(Ctrl(SETTING_YEAR + m_nField - 1))) old->SetCheck(0, TRUE);
    }
    m_nField = field;
    if (m_nField) {
        if (auto* now = dynamic_cast<CButtonCtrl*>(Ctrl(control))) now->SetCheck(1, TRUE);
    }
}

void CSettingWnd::CalibrateTouch() {
    HMODULE module = LoadLibraryW(u"coredll.dll");
    if (!module) return;
    auto calibrate = reinterpret_cast<PFN_TOUCH_CALIBRATE>(GetProcAddress(module, "TouchCalibrate"));
    if (calibrate && calibrate()) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\TOUCH", 0, 0, &key) == ERROR_SUCCESS) {
            // The registry text is outside data: bounded and terminated here.
            WCHAR text[256] = {};
            DWORD type = 0, size = sizeof(text) - sizeof(WCHAR);
            if (RegQueryValueExW(key, u"CalibrationData", nullptr, &type, (LPBYTE)text, &size) == ERROR_SUCCESS &&
                type == REG_SZ) {
                text[size / sizeof(WCHAR) < 255 ? size / sizeof(WCHAR) : 255] = 0;
                SaveCalibrationFile(text);
            }
            RegCloseKey(key);
        }
    }
    FreeLibrary(module);
}

void CSettingWnd::CheckUpgrade() {
    WCHAR path[MAX_PATH], version[UPGRADE_VERSION_CHARS + 1];
    swprintf(path, MAX_PATH, u"%s\\QRX3FWDATA.FWD", IsZ330(m_pSettings) ? u"\\Hard Disk" : u"\\SD Card");
    m_bUpgradeFound = ReadUpgradeHeader(path, version, UPGRADE_VERSION_CHARS + 1);
    if (!m_bUpgradeFound) {
        ShowMessageBox(m_hWnd, POPUP_TITLE_SETTING, 54, POPUP_ONE_BUTTON, TRUE);
        return;
    }
    // Each text is copied out: GetLangText's buffer is shared.
    WCHAR current[LANG_TEXT_CHARS], package[LANG_TEXT_CHARS], question[LANG_TEXT_CHARS], software[64], text[1024];
    SetControlLangText(SHELL_POPUP, 24, current, LANG_TEXT_CHARS, FALSE);
    SetControlLangText(SHELL_POPUP, 25, package, LANG_TEXT_CHARS, FALSE);
    SetControlLangText(SHELL_POPUP, 26, question, LANG_TEXT_CHARS, FALSE);
    WCHAR bsp[32];
    GetBspVersion(bsp, 32);
    FormatSoftwareVersion(bsp, software, 64);
    swprintf(text, 1024, u"%s\t\t: %s\r\n%s\t\t: %s\r\n\r\n%s", current, software, package, version, question);
    ShowMessageBoxText(m_hWnd, POPUP_TITLE_NOTICE, text, POPUP_TWO_BUTTONS);
}

void CSettingWnd::RunUpgrader(int button) {
    const BOOL found = m_bUpgradeFound;
    // Cleared in every case: another popup may have replaced the question.
    m_bUpgradeFound = FALSE;
    if (button != 2 || !found) return;
    OperationStopRun(g_MainFrame, 0);
    WCHAR image[MAX_PATH], args[16];
    swprintf(image, MAX_PATH, u"%s\\Reflash.exe", g_szStorageRoot[0] ? g_szStorageRoot : u"\\SD Card");
    swprintf(args, 16, u"%d", GetCurrentLanguage());
    if (!g_MainFrame.StartMcuTool(image, u"\\Windows\\Reflash.exe", args))
        OutputDebugStringW(u"[SETTING]Reflash not started\r\n");
}

void CSettingWnd::ToggleUnit() {
    if (!m_pSettings) return;
    if (m_pSettings->wUnitEnable) {
        if (m_pfnUnitSwitch) m_pfnUnitSwitch(m_pLink, 0);
        m_pSettings->wUnitEnable = 0;
        PostMessageW(m_hWnd, WM_SHELL_COMMAND, SHELL_TOPBAR, TOPBAR_UNIT_ICON);
    } else {
        m_pSettings->wUnitEnable = 1;
        // No link is no acknowledgement.
        if (m_pfnUnitSwitch && m_pfnUnitSwitch(m_pLink, 1)) {
            PostMessageW(m_hWnd, WM_SHELL_COMMAND, SHELL_TOPBAR, 0x10000 | TOPBAR_UNIT_ICON);
            SendMessageW(m_hWnd, WM_SHELL_COMMAND, 16, 0x10064);
        } else {
            m_pSettings->wUnitEnable = 0;
            ShowMessageBox(m_hWnd, POPUP_TITLE_ERROR, 63, POPUP_ONE_BUTTON, TRUE);
        }
    }
    SetUnitText();
}

LRESULT CSettingWnd::OnCommand(HWND hWnd, int shell, LPARAM lParam) {
    const int control = LOWORD(lParam);
    if (shell == SHELL_LANGUAGE) {
        OnLanguageCommand(control);
        return 0;
    }
    if (!m_pSettings) return 0;
    switch (control) {
    case SETTING_CALIBRATE: CalibrateTouch(); break;
    case SETTING_PATTERN:
        KillTimer(hWnd, TIMER_SCREEN_LOCK);
        // Without Shutter the lock timer would stay dead.
        if (!g_MainFrame.StartLockProgram(0)) PostMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
        break;
    case SETTING_LOCK:
        if (m_pSettings->wLockEnable != 1) {
            if (GetFileAttributesW(kLockFile) != INVALID_FILE_ATTRIBUTES) {
                m_pSettings->wLockEnable = 1;
                SetLockCheck(TRUE);
                PostMessageW(hWnd, WM_LOCK_TIMER_RESTART, 0, 0);
            } else {
                SetLockCheck(FALSE);
                ShowMessageBox(hWnd, POPUP_TITLE_ERROR, 44, POPUP_ONE_BUTTON, TRUE);
            }
        } else {
            m_pSettings->wLockEnable = 0;
            SetLockCheck(FALSE);
            KillTimer(hWnd, TIMER_SCREEN_LOCK);
        }
        g_MainFrame.LockEnabled();
        break;
    case SETTING_BACKLIGHT:
        m_pSettings->wBackLight = (WORD)(m_pSettings->wBackLight >= 2 ? 0 : m_pSettings->wBackLight + 1);
        SetBacklightText();
        SendMessageW(hWnd, WM_BACKLIGHT_TIMER_RESTART, 0, 0);
        break;
    case SETTING_LANGUAGE: ShowLanguageList(); break;
    case SETTING_UPGRADE: CheckUpgrade(); break;
    case SETTING_UP:
    case SETTING_DOWN:
        if (StepDateField(&m_Time, m_nField, control == SETTING_UP ? 1 : -1)) WriteTimeLabels();
        break;
    case SETTING_TEMP_LIMIT:
        if (IsZ330(m_pSettings)) break;
        m_pSettings->nBatTempLimit = (SHORT)NextTempLimit(m_pSettings->nBatTempLimit);
        SetTempLimitText();
        PostMessageW(hWnd, WM_SET_TEMP_LIMIT, 0, 0);
        break;
    case SETTING_APPLY_TIME:
        m_nClockTimer = SetTimer(hWnd, TIMER_SETTING_CLOCK, 1000, nullptr);
        if (!SetSystemTime(&m_Time)) ShowMessageBox(hWnd, POPUP_TITLE_SETTING, kClockRefusedText, POPUP_ONE_BUTTON, TRUE);
        SelectTimeField(-1);
        SendMessageW(hWnd, WM_SHELL_COMMAND, SHELL_TOPBAR, TOPBAR_CMD_CLOCK);
        break;
    case SETTING_UNIT: ToggleUnit(); break;
    case SETTING_LEAVE:
        Show(0);
        if (m_pTopBar) m_pTopBar->SetPage(0, 0, 0);
        break;
    default:
        if (control >= SETTING_YEAR && control <= SETTING_SECOND) SelectTimeField(control);
        break;
    }
    return 0;
}

void CSettingWnd::ShowLanguageList() {
    m_nLangChoice = GetCurrentLanguage();
    if (!CShellManager::Instance().FindShell(SHELL_LANGUAGE))
        CShellManager::Instance().OpenShell(m_hWnd, SHELL_LANGUAGE, nullptr, TRUE);
    PaintLanguageNames();
}

void CSettingWnd::PaintLanguageNames() {
    CShellPanel* list = CShellManager::Instance().FindShell(SHELL_LANGUAGE);
    if (!list) return;
    for (int i = 0; i < LANGUAGE_COUNT; ++i) {
        CUiCtrl* ctrl = list->GetCtrl(2 + i);
        if (!ctrl) continue;
        ctrl->SetFontFace(u"NanumGothic");
        ctrl->SetTextColors(i == m_nLangChoice ? kLangChosen : kLangOther, 0);
        ctrl->SetText(GetLangName(i), TRUE);
    }
}

void CSettingWnd::CloseLanguageList() {
    if (CShellManager::Instance().FindShell(SHELL_LANGUAGE)) CShellManager::Instance().CloseShell(SHELL_LANGUAGE);
}

void CSettingWnd::OnLanguageCommand(int control) {
    if (control >= 2 && control < 2 + LANGUAGE_COUNT) {
        m_nLangChoice = control - 2;
        PaintLanguageNames();
        return;
    }
    if (control == 1) {
        CloseLanguageList();
        return;
    }
    if (control != 0) return;
    CloseLanguageList();
    if (m_nLangChoice == GetCurrentLanguage() || !SelectLanguage(m_nLangChoice)) return;
    // This page rewrites its own captions now; the others on their next showing.
    TestAndClearPageFlag(SHELL_SETTING);
    if (CUiCtrl* ctrl = Ctrl(SETTING_LANGUAGE)) ctrl->SetText(GetCurrentLangName(), TRUE);
    SendMessageW(m_hWnd, WM_SHELL_COMMAND, SHELL_TOPBAR, TOPBAR_CMD_TEXTS);
    InitTexts();
}
