#include "app/ManualWnd.h"

#include <cstring>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

namespace {

const WCHAR kBoxSelected[] = u"manual_box_sel.bmp";
const WCHAR kBoxNormal[] = u"manual_box_nor.bmp";
const COLORREF kTextSelected = 0xFFFFFF;
const COLORREF kTextNormal = 0x7E7E7E;
const int kBoxTexts[4] = {0, MANUAL_VOLT_TEXT, MANUAL_AMP_TEXT, MANUAL_TIME_TEXT};
// Language texts of shell 4 by control.
const int kTextControls[] = {MANUAL_VOLT_BOX, MANUAL_AMP_BOX, MANUAL_TIME_BOX, MANUAL_DISCHARGE, MANUAL_RESTORATION};
const int kCancelKey = 5;            // [shell12]
const int kVoltRangeKey = 36;        // [shell12]
const int kAmpRangeKey = 37;         // [shell12]
const double kUnitMaxAmps = 200.0;

DWORD DefaultNow() { return GetTickCount(); }

}  // namespace

CManualWnd::CManualWnd(HWND owner, SettingsRecord* settings, OpModeRecord* opMode)
    : m_pfnNow(DefaultNow), m_hOwner(owner), m_pPanel(nullptr), m_pSettings(settings), m_pOpMode(opMode), m_work{},
      m_nFocus(0), m_bRunActive(0), m_bRunRestoration(0), m_bShown(0), m_pfnUnitConnected(nullptr),
      m_pUnitContext(nullptr) {
    if (m_pOpMode) m_work = *m_pOpMode;
    m_pPanel = CShellManager::Instance().OpenShell(owner, SHELL_MANUAL, nullptr, FALSE);
    if (m_pPanel) LoadTexts();
}

CManualWnd::~CManualWnd() {
    CShellManager& shells = CShellManager::Instance();
    if (m_pPanel && shells.FindShell(SHELL_MANUAL) == m_pPanel) shells.CloseShell(SHELL_MANUAL);
}

void CManualWnd::SetRunFlags(int active, int restoration) {
    m_bRunActive = active;
    m_bRunRestoration = restoration;
}

void CManualWnd::SetUnitConnected(BOOL (*isConnected)(void*), void* context) {
    m_pfnUnitConnected = isConnected;
    m_pUnitContext = context;
}

BOOL CManualWnd::UnitConnected() const { return m_pfnUnitConnected && m_pfnUnitConnected(m_pUnitContext); }

void CManualWnd::LoadTexts() {
    const WCHAR* face = GetLangFontFace();
    for (int control : kTextControls) {
        if (CUiCtrl* c = m_pPanel->GetCtrl(control)) {
            c->SetFontFace(face);
            c->SetText(GetLangText(SHELL_MANUAL, control, FALSE), FALSE);
        }
    }
    if (CUiCtrl* c = m_pPanel->GetCtrl(MANUAL_CANCEL)) {
        c->SetFontFace(face);
        c->SetText(GetLangText(SHELL_POPUP, kCancelKey, FALSE), FALSE);
    }
}

void CManualWnd::Show(int mode) {
    if (!m_pPanel) return;
    if (mode != 5) {
        m_bShown = 0;
        m_pPanel->Show(FALSE);
        return;
    }
    m_keypad.Reset();
    m_nFocus = 0;
    if (m_pOpMode) m_work = *m_pOpMode;
    for (int box = 1; box <= 3; ++box) {
        if (CUiCtrl* c = m_pPanel->GetCtrl(kBoxTexts[box])) {
            c->LoadImages(kBoxNormal, nullptr, nullptr, nullptr);
            c->SetTextColors(kTextNormal, 0);
        }
    }
    RefreshValues();
    // A running Restoration takes only Restoration edits, a running Discharge only Discharge edits.
    if (CUiCtrl* c = m_pPanel->GetCtrl(MANUAL_RESTORATION)) c->Enable(!m_bRunActive || m_bRunRestoration);
    if (CUiCtrl* c = m_pPanel->GetCtrl(MANUAL_DISCHARGE)) c->Enable(!m_bRunActive || !m_bRunRestoration);
    if (TestAndClearPageFlag(SHELL_MANUAL)) LoadTexts();
    m_bShown = 1;
    m_pPanel->Show(TRUE);
    m_pPanel->Invalidate(nullptr, TRUE);
}

void CManualWnd::SetValueText(int box, const WCHAR* text) {
    if (!m_pPanel) return;
    if (CUiCtrl* c = m_pPanel->GetCtrl(kBoxTexts[box])) c->SetText(text, TRUE);
}

void CManualWnd::RefreshValues() {
    WCHAR text[32];
    swprintf(text, 32, u"%.01f  ", m_work.dVoltage);
    SetValueText(1, text);
    swprintf(text, 32, u"%.01f  ", m_work.dCurrent);
    SetValueText(2, text);
    swprintf(text, 32, u"%02d:%02d  ", static_cast<int>(m_work.dwTime / 3600), static_cast<int>(m_work.dwTime / 60 % 60));
    SetValueText(3, text);
}

void CManualWnd::SetFocusBox(int box) {
    const int previous = m_nFocus;
    m_nFocus = box == previous ? 0 : box;
    for (int b : {previous, m_nFocus}) {
        if (b == 0 || !m_pPanel) continue;
        if (CUiCtrl* c = m_pPanel->GetCtrl(kBoxTexts[b])) {
            const bool on = b == m_nFocus;
            c->LoadImages(on ? kBoxSelected : kBoxNormal, nullptr, nullptr, nullptr);
            c->SetTextColors(on ? kTextSelected : kTextNormal, 0);
            c->Invalidate(nullptr, TRUE);
        }
    }
    if (m_nFocus == 0) {
        m_keypad.Reset();
        RefreshValues();
        return;
    }
    const double present = m_nFocus == 1 ? m_work.dVoltage : m_work.dCurrent;
    m_keypad.Begin(m_nFocus == 3 ? ENTRY_TIME : ENTRY_DECIMAL, m_nFocus == 3 ? 0 : present, m_work.dwTime);
}

void CManualWnd::Arrow(int id, int event) {
    if (m_nFocus) SetFocusBox(m_nFocus);
    const DWORD now = m_pfnNow();
    m_hold.Track(event, now);
    const BOOL repeating = event == 2;
    const BOOL raise = id == MANUAL_VOLT_UP || id == MANUAL_AMP_UP || id == MANUAL_TIME_UP;
    const SettingsRecord empty{};
    const SettingsRecord& s = m_pSettings ? *m_pSettings : empty;
    if (id == MANUAL_VOLT_DOWN || id == MANUAL_VOLT_UP)
        m_work.dVoltage = StepValue(m_work.dVoltage, m_hold.dwPressStart, now, repeating, raise, s.dMinVoltage,
                                    s.dMaxVoltage);
    else if (id == MANUAL_AMP_DOWN || id == MANUAL_AMP_UP)
        m_work.dCurrent = StepValue(m_work.dCurrent, m_hold.dwPressStart, now, repeating, raise, s.dMinCurrent,
                                    s.dMaxCurrent);
    else
        m_work.dwTime = StepMinutes(m_work.dwTime, m_hold.dwPressStart, now, repeating, raise, MANUAL_MIN_SECONDS,
                                    MANUAL_MAX_SECONDS);
    RefreshValues();
}

void CManualWnd::PageKey(int key) {
    if (!m_nFocus) return;
    WCHAR text[32];
    if (m_keypad.Key(key, text, 32)) SetValueText(m_nFocus, text);
}

BOOL CManualWnd::RangeRefused(int key, double minimum, double maximum, const WCHAR* unit) {
    WCHAR text[320];
    CPageKeypad::RangeText(text, 320, GetLangText(SHELL_POPUP, key, FALSE), minimum, maximum, unit);
    ShowMessageBoxText(m_hOwner, POPUP_TITLE_SETTING, text, POPUP_ONE_BUTTON);
    return FALSE;
}

BOOL CManualWnd::CheckVoltage(double volts) {
    const double lo = m_pSettings ? m_pSettings->dMinVoltage : 0, hi = m_pSettings ? m_pSettings->dMaxVoltage : 0;
    if (volts >= lo && volts <= hi) return TRUE;
    return RangeRefused(kVoltRangeKey, lo, hi, u"V");
}

void CManualWnd::Enter() {
    if (m_nFocus == 1) {
        if (!CheckVoltage(m_keypad.GetTyped())) return;
        m_work.dVoltage = m_keypad.GetTyped();
    } else if (m_nFocus == 2) {
        const double lo = m_pSettings ? m_pSettings->dMinCurrent : 0;
        const double hi = UnitConnected() ? kUnitMaxAmps : (m_pSettings ? m_pSettings->dMaxCurrent : 0);
        const double amps = m_keypad.GetTyped();
        if (amps < lo || amps > hi) {
            RangeRefused(kAmpRangeKey, lo, hi, u"A");
            return;
        }
        m_work.dCurrent = amps;
    } else if (m_nFocus == 3) {
        m_work.dwTime = m_keypad.GetTypedSeconds();
    } else {
        return;
    }
    RefreshValues();
}

void CManualWnd::OnCommand(int id, int event) {
    switch (id) {
        case MANUAL_VOLT_BOX:
            SetFocusBox(1);
            break;
        case MANUAL_AMP_BOX:
            SetFocusBox(2);
            break;
        case MANUAL_TIME_BOX:
            SetFocusBox(3);
            break;
        case MANUAL_VOLT_DOWN:
        case MANUAL_VOLT_UP:
        case MANUAL_AMP_DOWN:
        case MANUAL_AMP_UP:
        case MANUAL_TIME_DOWN:
        case MANUAL_TIME_UP:
            Arrow(id, event);
            break;
        case MANUAL_RESTORATION:
        case MANUAL_DISCHARGE:
            if (m_nFocus) SetFocusBox(m_nFocus);
            // Only the head: the program steps may have changed meanwhile (a remote edit).
            if (m_pOpMode) {
                m_pOpMode->dVoltage = m_work.dVoltage;
                m_pOpMode->dCurrent = m_work.dCurrent;
                m_pOpMode->dwTime = m_work.dwTime;
            }
            Show(0);
            break;
        case MANUAL_CANCEL:
            if (m_pOpMode) m_work = *m_pOpMode;
            RefreshValues();
            break;
        case MANUAL_KEY_POINT:
            PageKey(PAGEKEY_POINT);
            break;
        case MANUAL_KEY_0:
            PageKey(0);
            break;
        case MANUAL_KEY_DELETE:
            PageKey(PAGEKEY_DELETE);
            break;
        case MANUAL_ENTER:
            Enter();
            break;
        case MANUAL_CALC_ANSWER: {
            OutputDebugStringW(m_nFocus ? u"Manual:QRX_CALC_INSERT :Focused\r\n" : u"Manual:QRX_CALC_INSERT :UnFocused\r\n");
            if (m_nFocus != 1) break;
            // The answer may come from another program: the same range as Enter.
            const double volts = static_cast<WORD>(event) / 10.0;
            if (!CheckVoltage(volts)) break;
            m_work.dVoltage = volts;
            RefreshValues();
            break;
        }
        default:
            if (id >= MANUAL_KEY_1 && id < MANUAL_KEY_1 + 9) PageKey(id - MANUAL_KEY_1 + 1);
            break;
    }
}
