// The step editor (shell 6): one program step's voltage, current, time, direction, kind and capacity,
// edited as on the manual page with the rules of a discharge step on top.
#include <cmath>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/PgmWnd.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

#include "OperationInternal.h"

namespace {

const WCHAR kBoxSelected[] = u"program_box_sel.bmp";
const WCHAR kBoxNormal[] = u"program_box_nor.bmp";
const COLORREF kTextSelected = 0xFFFFFF;
const COLORREF kTextNormal = 0x7E7E7E;
// The value text of each field.
const int kFieldTexts[6] = {0, PGMSET_VOLT_TEXT, PGMSET_AMP_TEXT, PGMSET_TIME_TEXT, PGMSET_KIND_TEXT,
                            PGMSET_CAPACITY_TEXT};
const int kTextControls[] = {PGMSET_VOLT_BOX, PGMSET_AMP_BOX, PGMSET_TIME_BOX, PGMSET_DIRECTION, PGMSET_KIND_BOX,
                             PGMSET_CAPACITY_BOX};
const int kOkKey = 4;           // [shell12]
const int kCancelKey = 5;       // [shell12]
const int kVoltRangeKey = 36;   // [shell12]
const int kAmpRangeKey = 37;    // [shell12]
const int kKindRefusedKey = 43; // [shell12]
const int kChargeKey = 42;      // [shell3]
const int kDischargeKey = 43;   // [shell3]
const int kCapacityKind = 9;

DWORD DefaultNow() { return GetTickCount(); }

// Kinds a discharge step cannot take.
BOOL DischargeRefuses(int kind) { return kind == 5 || kind == 6 || kind == kCapacityKind; }

}  // namespace

CPgmSetWnd::CPgmSetWnd(HWND owner, SettingsRecord* settings)
    : m_pfnNow(DefaultNow), m_hOwner(owner), m_pPanel(nullptr), m_pSettings(settings), m_work{}, m_pStep(nullptr),
      m_nTypedKind(0), m_nFocus(PGMSET_FIELD_NONE), m_bShown(0), m_pfnUnitConnected(nullptr),
      m_pUnitContext(nullptr) {
    m_pPanel = CShellManager::Instance().OpenShell(owner, SHELL_PROGRAM_SET, nullptr, FALSE);
    if (m_pPanel) LoadTexts();
}

CPgmSetWnd::~CPgmSetWnd() {
    CShellManager& shells = CShellManager::Instance();
    if (m_pPanel && shells.FindShell(SHELL_PROGRAM_SET) == m_pPanel) shells.CloseShell(SHELL_PROGRAM_SET);
}

void CPgmSetWnd::SetUnitConnected(PFN_UNIT_CONNECTED isConnected, void* context) {
    m_pfnUnitConnected = isConnected;
    m_pUnitContext = context;
}

BOOL CPgmSetWnd::UnitConnected() const { return m_pfnUnitConnected && m_pfnUnitConnected(m_pUnitContext); }

void CPgmSetWnd::LoadTexts() {
    for (int control : kTextControls) SetLangCtrlText(m_pPanel, control, SHELL_PROGRAM_SET, control);
    SetLangCtrlText(m_pPanel, PGMSET_OK, SHELL_POPUP, kOkKey);
    SetLangCtrlText(m_pPanel, PGMSET_CANCEL, SHELL_POPUP, kCancelKey);
}

void CPgmSetWnd::Show(int mode, ProgramStep* step) {
    if (!m_pPanel) return;
    if (mode != 5 || !step) {
        if (m_nFocus) SetFocusField(m_nFocus);
        m_bShown = 0;
        m_pPanel->Show(FALSE);
        return;
    }
    m_pStep = step;
    m_work = *step;
    m_keypad.Reset();
    m_nFocus = PGMSET_FIELD_NONE;
    for (int field = PGMSET_FIELD_VOLTAGE; field <= PGMSET_FIELD_CAPACITY; ++field) {
        if (CUiCtrl* c = m_pPanel->GetCtrl(kFieldTexts[field])) {
            c->LoadImages(kBoxNormal, nullptr, nullptr, nullptr);
            c->SetTextColors(kTextNormal, 0);
        }
    }
    if (TestAndClearPageFlag(SHELL_PROGRAM_SET)) LoadTexts();
    m_bShown = 1;
    m_pPanel->Show(TRUE);
    // After the panel, which shows every control: the capacity goes with kind 9 only.
    Refresh();
    m_pPanel->Invalidate(nullptr, TRUE);
}

void CPgmSetWnd::SetText(int control, const WCHAR* text) {
    if (CUiCtrl* c = m_pPanel ? m_pPanel->GetCtrl(control) : nullptr) c->SetText(text, TRUE);
}

void CPgmSetWnd::Refresh() {
    if (!m_pPanel) return;
    WCHAR text[32];
    swprintf(text, 32, u"%.01f", m_work.dVoltage);
    SetText(PGMSET_VOLT_TEXT, text);
    swprintf(text, 32, u"%.01f", m_work.dCurrent);
    SetText(PGMSET_AMP_TEXT, text);
    FormatHoursMinutes(text, 32, m_work.dwTime);
    SetText(PGMSET_TIME_TEXT, text);
    swprintf(text, 32, u"%d", static_cast<int>(m_work.byKind));
    SetText(PGMSET_KIND_TEXT, text);
    swprintf(text, 32, u"%d", static_cast<int>(m_work.wCapacity));
    SetText(PGMSET_CAPACITY_TEXT, text);
    SetText(PGMSET_DIRECTION_TEXT, GetLangText(SHELL_OPERATION, IsDischarge() ? kDischargeKey : kChargeKey, FALSE));
    // The capacity belongs to kind 9 only.
    const BOOL capacity = m_work.byKind == kCapacityKind;
    for (int control : {PGMSET_CAPACITY_BOX, PGMSET_CAPACITY_TEXT})
        if (CUiCtrl* c = m_pPanel->GetCtrl(control)) c->Show(capacity);
}

void CPgmSetWnd::SetFocusField(int field) {
    const int previous = m_nFocus;
    m_nFocus = field == previous ? PGMSET_FIELD_NONE : field;
    for (int f : {previous, m_nFocus}) {
        if (f == PGMSET_FIELD_NONE || !m_pPanel) continue;
        if (CUiCtrl* c = m_pPanel->GetCtrl(kFieldTexts[f])) {
            const bool on = f == m_nFocus;
            c->LoadImages(on ? kBoxSelected : kBoxNormal, nullptr, nullptr, nullptr);
            c->SetTextColors(on ? kTextSelected : kTextNormal, 0);
            c->Invalidate(nullptr, TRUE);
        }
    }
    m_keypad.Reset();
    m_nTypedKind = m_work.byKind;
    switch (m_nFocus) {
        case PGMSET_FIELD_NONE:
            Refresh();
            break;
        case PGMSET_FIELD_VOLTAGE:
            m_keypad.Begin(ENTRY_DECIMAL, m_work.dVoltage, 0);
            break;
        case PGMSET_FIELD_CURRENT:
            m_keypad.Begin(ENTRY_DECIMAL, m_work.dCurrent, 0);
            break;
        case PGMSET_FIELD_TIME:
            m_keypad.Begin(ENTRY_TIME, 0, m_work.dwTime);
            break;
        case PGMSET_FIELD_CAPACITY:
            m_keypad.Begin(ENTRY_DECIMAL, m_work.wCapacity, 0);
            break;
        default:
            break;  // the kind takes single digits of its own
    }
}

void CPgmSetWnd::Arrow(int id, int event) {
    if (m_nFocus) SetFocusField(m_nFocus);
    const DWORD now = m_pfnNow();
    m_hold.Track(event, now);
    const BOOL repeating = event == 2;
    const BOOL raise = id == PGMSET_VOLT_UP || id == PGMSET_AMP_UP || id == PGMSET_TIME_UP;
    const SettingsRecord empty{};
    const SettingsRecord& s = m_pSettings ? *m_pSettings : empty;
    if (id == PGMSET_VOLT_DOWN || id == PGMSET_VOLT_UP)
        m_work.dVoltage = StepValue(m_work.dVoltage, m_hold.dwPressStart, now, repeating, raise, s.dMinVoltage,
                                    s.dMaxVoltage);
    else if (id == PGMSET_AMP_DOWN || id == PGMSET_AMP_UP)
        m_work.dCurrent = StepValue(m_work.dCurrent, m_hold.dwPressStart, now, repeating, raise, s.dMinCurrent,
                                    s.dMaxCurrent);
    else
        m_work.dwTime = StepMinutes(m_work.dwTime, m_hold.dwPressStart, now, repeating, raise, 60, 359940);
    Refresh();
}

void CPgmSetWnd::PageKey(int key) {
    WCHAR text[32];
    if (m_nFocus == PGMSET_FIELD_KIND) {
        if (key < 1 || key > 9) return;
        m_nTypedKind = key;
        swprintf(text, 32, u"%d", key);
        SetText(PGMSET_KIND_TEXT, text);
        return;
    }
    if (m_nFocus && m_keypad.Key(key, text, 32)) SetText(kFieldTexts[m_nFocus], text);
}

BOOL CPgmSetWnd::RangeRefused(int key, double minimum, double maximum, const WCHAR* unit) {
    WCHAR text[320];
    CPageKeypad::RangeText(text, 320, GetLangText(SHELL_POPUP, key, FALSE), minimum, maximum, unit);
    ShowMessageBoxText(m_hOwner, POPUP_TITLE_SETTING, text, POPUP_ONE_BUTTON);
    return FALSE;
}

BOOL CPgmSetWnd::CheckVoltage(double volts) {
    const double lo = m_pSettings ? m_pSettings->dMinVoltage : 0, hi = m_pSettings ? m_pSettings->dMaxVoltage : 0;
    if (!(volts >= lo && volts <= hi)) return RangeRefused(kVoltRangeKey, lo, hi, u"V");
    // The attached unit holds a discharge within its own range.
    if (IsDischarge() && UnitConnected() && !(volts >= UNIT_MIN_VOLTS && volts <= UNIT_MAX_VOLTS))
        return RangeRefused(kVoltRangeKey, UNIT_MIN_VOLTS, UNIT_MAX_VOLTS, u"V");
    return TRUE;
}

void CPgmSetWnd::Enter() {
    switch (m_nFocus) {
        case PGMSET_FIELD_VOLTAGE:
            if (!CheckVoltage(m_keypad.GetTyped())) return;
            m_work.dVoltage = m_keypad.GetTyped();
            break;
        case PGMSET_FIELD_CURRENT: {
            const double lo = m_pSettings ? m_pSettings->dMinCurrent : 0;
            const double hi = IsDischarge() && UnitConnected() ? UNIT_MAX_AMPS : (m_pSettings ? m_pSettings->dMaxCurrent : 0);
            const double amps = m_keypad.GetTyped();
            if (!(amps >= lo && amps <= hi)) {
                RangeRefused(kAmpRangeKey, lo, hi, u"A");
                return;
            }
            m_work.dCurrent = amps;
            break;
        }
        case PGMSET_FIELD_TIME:
            m_work.dwTime = m_keypad.GetTypedSeconds();
            break;
        case PGMSET_FIELD_KIND:
            if (!IsProgramKind(static_cast<unsigned>(m_nTypedKind))) return;
            if (IsDischarge() && DischargeRefuses(m_nTypedKind)) {
                ShowMessageBox(m_hOwner, POPUP_TITLE_SETTING, kKindRefusedKey, POPUP_ONE_BUTTON, FALSE);
                m_nTypedKind = m_work.byKind;
                break;
            }
            m_work.byKind = static_cast<BYTE>(m_nTypedKind);
            break;
        case PGMSET_FIELD_CAPACITY:
            m_work.wCapacity = static_cast<WORD>(std::trunc(m_keypad.GetTyped()));
            break;
        default:
            return;
    }
    Refresh();
}

void CPgmSetWnd::ToggleDirection() {
    if (m_nFocus) SetFocusField(m_nFocus);
    if (IsDischarge()) {
        const double lo = m_pSettings ? m_pSettings->dMinCurrent : 0, hi = m_pSettings ? m_pSettings->dMaxCurrent : 0;
        // A discharge current through the attached unit may pass what the charger can give.
        if (m_work.dCurrent > hi) {
            RangeRefused(kAmpRangeKey, lo, hi, u"A");
            return;
        }
        m_work.dwDirection = 0;
    } else {
        if (m_work.byKind > 2) {
            ShowMessageBox(m_hOwner, POPUP_TITLE_SETTING, kKindRefusedKey, POPUP_ONE_BUTTON, FALSE);
            return;
        }
        m_work.dwDirection = 1;
    }
    Refresh();
}

void CPgmSetWnd::OnCommand(int id, int event) {
    switch (id) {
        case PGMSET_VOLT_BOX:
            SetFocusField(PGMSET_FIELD_VOLTAGE);
            break;
        case PGMSET_AMP_BOX:
            SetFocusField(PGMSET_FIELD_CURRENT);
            break;
        case PGMSET_TIME_BOX:
            SetFocusField(PGMSET_FIELD_TIME);
            break;
        case PGMSET_KIND_BOX:
            SetFocusField(PGMSET_FIELD_KIND);
            break;
        case PGMSET_CAPACITY_BOX:
            if (m_work.byKind == kCapacityKind) SetFocusField(PGMSET_FIELD_CAPACITY);
            break;
        case PGMSET_VOLT_DOWN:
        case PGMSET_VOLT_UP:
        case PGMSET_AMP_DOWN:
        case PGMSET_AMP_UP:
        case PGMSET_TIME_DOWN:
        case PGMSET_TIME_UP:
            Arrow(id, event);
            break;
        case PGMSET_DIRECTION:
            ToggleDirection();
            break;
        case PGMSET_OK:
            if (m_nFocus) SetFocusField(m_nFocus);
            if (m_pStep) *m_pStep = m_work;
            Show(0);
            break;
        case PGMSET_CANCEL:
            if (m_nFocus) SetFocusField(m_nFocus);
            if (m_pStep) m_work = *m_pStep;
            Refresh();
            break;
        case PGMSET_KEY_POINT:
            PageKey(PAGEKEY_POINT);
            break;
        case PGMSET_KEY_0:
            PageKey(0);
            break;
        case PGMSET_KEY_DELETE:
            PageKey(PAGEKEY_DELETE);
            break;
        case PGMSET_ENTER:
            Enter();
            break;
        case PGMSET_CALC_ANSWER: {
            if (m_nFocus != PGMSET_FIELD_VOLTAGE) break;
            // The answer may come from another program: the same range as Enter.
            const double volts = static_cast<WORD>(event) / 10.0;
            if (!CheckVoltage(volts)) break;
            m_work.dVoltage = volts;
            Refresh();
            break;
        }
        default:
            if (id >= PGMSET_KEY_1 && id < PGMSET_KEY_1 + 9) PageKey(id - PGMSET_KEY_1 + 1);
            break;
    }
}
