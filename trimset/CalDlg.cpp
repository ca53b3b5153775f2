#include "CalDlg.h"

#include "ui/BoardIo.h"

namespace {

constexpr UDACCEL kSpinAccel[3] = {{0, 1}, {3, 100}, {10, 300}};

KitItem Button(const WCHAR* text, WORD id, short x, short y, short cx, short cy) {
    return {WC_BUTTONW, text, id, static_cast<DWORD>(BS_PUSHBUTTON | WS_TABSTOP), x, y, cx, cy};
}
KitItem Static(const WCHAR* text, WORD id, short x, short y, short cx, short cy) {
    return {WC_STATICW, text, id, static_cast<DWORD>(SS_LEFT), x, y, cx, cy};
}
KitItem Edit(WORD id, short x, short y, short cx, short cy) {
    return {WC_EDITW, u"", id, static_cast<DWORD>(WS_BORDER | WS_TABSTOP), x, y, cx, cy};
}
KitItem Spin(WORD id, short x, short y) { return {UPDOWN_CLASSW, u"", id, 0, x, y, 14, 16}; }

// The keypad's key of a button id, 0 for CLR.
WCHAR KeyOf(WORD id) {
    if (id == IDC_CAL_KEY0) return u'0';
    if (id == IDC_CAL_POINT) return u'.';
    if (id == IDC_CAL_CLR) return 0;
    return static_cast<WCHAR>(u'1' + (id - IDC_CAL_KEY1));
}

int TargetOf(WORD id) {
    switch (id) {
        case IDC_CAL_VOLT_EDIT:
        case IDC_CAL_VOLT_SPIN:
            return CAL_VOLT;
        case IDC_CAL_AMP_EDIT:
        case IDC_CAL_AMP_SPIN:
            return CAL_AMP;
        case IDC_CAL_NTC1_EDIT:
            return CAL_NTC1;
        case IDC_CAL_NTC2_EDIT:
            return CAL_NTC2;
        default:
            return CAL_NONE;
    }
}

const WORD kFieldIds[5] = {0, IDC_CAL_VOLT_EDIT, IDC_CAL_AMP_EDIT, IDC_CAL_NTC1_EDIT, IDC_CAL_NTC2_EDIT};

}  // namespace

// Values and entry on the left, the keypad and EXIT on the right; the Z-330's NTC rows at the bottom.
const KitTemplate& CalibrationTemplate() {
    static const KitTemplate t{
        u"Calibration Tool",
        414,
        211,
        u"System",
        10,
        {Static(u"", IDC_CAL_VOLT_TEXT, 6, 4, 206, 20),
         Static(u"", IDC_CAL_AMP_TEXT, 6, 26, 206, 28),
         Edit(IDC_CAL_VOLT_EDIT, 6, 58, 62, 16),
         Spin(IDC_CAL_VOLT_SPIN, 70, 58),
         Button(u"Offset V", IDC_CAL_OFFSET_V, 90, 57, 58, 18),
         Button(u"Ref V", IDC_CAL_REF_V, 152, 57, 58, 18),
         Edit(IDC_CAL_AMP_EDIT, 6, 80, 62, 16),
         Spin(IDC_CAL_AMP_SPIN, 70, 80),
         Button(u"Offset A", IDC_CAL_OFFSET_A, 90, 79, 58, 18),
         Button(u"C Ref A", IDC_CAL_C_REF_A, 152, 79, 58, 18),
         {WC_BUTTONW, u"Charging", IDC_CAL_RADIO_CHARGE,
          static_cast<DWORD>(BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP), 6, 102, 60, 14},
         {WC_BUTTONW, u"Discharging", IDC_CAL_RADIO_DISCHARGE, static_cast<DWORD>(BS_AUTORADIOBUTTON), 68, 102, 72, 14},
         Button(u"D Ref A", IDC_CAL_D_REF_A, 152, 101, 58, 18),
         Button(u"Save Cal.", IDC_CAL_SAVE, 6, 123, 64, 18),
         Button(u"Clear Cal.", IDC_CAL_CLEAR, 76, 123, 64, 18),
         Button(u"PT100", IDC_CAL_PT100, 146, 123, 64, 18),
         Button(u"Charing", IDC_CAL_CHARGE, 6, 145, 64, 18),
         Button(u"Discharging", IDC_CAL_DISCHARGE, 76, 145, 64, 18),
         Button(u"STOP", IDC_CAL_STOP, 146, 145, 64, 18),
         Static(u"Charging NTC", 0xFFFF, 6, 171, 66, 12),
         Edit(IDC_CAL_NTC1_EDIT, 74, 168, 48, 16),
         Static(u"none", IDC_CAL_NTC1_TEXT, 126, 171, 30, 12),
         Static(u"Discharging NTC", 0xFFFF, 6, 191, 66, 12),
         Edit(IDC_CAL_NTC2_EDIT, 74, 188, 48, 16),
         Static(u"none", IDC_CAL_NTC2_TEXT, 126, 191, 30, 12),
         Button(u"Apply", IDC_CAL_APPLY, 160, 168, 50, 36),
         Button(u"1", IDC_CAL_KEY1, 222, 4, 44, 36), Button(u"2", IDC_CAL_KEY1 + 1, 270, 4, 44, 36),
         Button(u"3", IDC_CAL_KEY1 + 2, 318, 4, 44, 36),
         Button(u"4", IDC_CAL_KEY1 + 3, 222, 44, 44, 36), Button(u"5", IDC_CAL_KEY1 + 4, 270, 44, 44, 36),
         Button(u"6", IDC_CAL_KEY1 + 5, 318, 44, 44, 36),
         Button(u"7", IDC_CAL_KEY1 + 6, 222, 84, 44, 36), Button(u"8", IDC_CAL_KEY1 + 7, 270, 84, 44, 36),
         Button(u"9", IDC_CAL_KEY1 + 8, 318, 84, 44, 36),
         Button(u".", IDC_CAL_POINT, 222, 124, 44, 36), Button(u"0", IDC_CAL_KEY0, 270, 124, 44, 36),
         Button(u"CLR", IDC_CAL_CLR, 318, 124, 44, 36),
         Button(u"EXIT", IDC_CAL_EXIT, 366, 4, 44, 76)},
        static_cast<DWORD>(WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_CENTER)};
    return t;
}

CCalibrationDlg::CCalibrationDlg() : CKitDialog(CalibrationTemplate()) {}

CCalibrationDlg::~CCalibrationDlg() { m_tool.Exit(); }

double CCalibrationDlg::BoardRevision() {
    double revision = 0.0;
    BYTE kind = 0;
    ReadScreenRevision(&revision, &kind);
    return revision;
}

void CCalibrationDlg::ShowField(int target) {
    SetDlgItemText(kFieldIds[target], m_tool.FieldText(target));
    if (target == CAL_VOLT || target == CAL_AMP)
        SendDlgItemMessage(target == CAL_VOLT ? IDC_CAL_VOLT_SPIN : IDC_CAL_AMP_SPIN, UDM_SETPOS32, 0,
                           m_tool.SpinPos(target));
}

BOOL CCalibrationDlg::OnInitDialog() {
    m_tool.Init(BoardRevision());
    const BOOL model = m_tool.Model();
    for (int id : {IDC_CAL_RADIO_CHARGE, IDC_CAL_RADIO_DISCHARGE, IDC_CAL_NTC1_TEXT, IDC_CAL_NTC2_TEXT,
                   IDC_CAL_NTC1_EDIT, IDC_CAL_NTC2_EDIT, IDC_CAL_APPLY})
        EnableDlgItem(id, model);
    if (model) CheckRadioButton(IDC_CAL_RADIO_CHARGE, IDC_CAL_RADIO_DISCHARGE, IDC_CAL_RADIO_CHARGE);
    if (!m_tool.Pt100Enabled()) EnableDlgItem(IDC_CAL_PT100, FALSE);
    const int ranges[2][2] = {{IDC_CAL_VOLT_SPIN, 20000}, {IDC_CAL_AMP_SPIN, 1000}};
    for (const auto& r : ranges) {
        SendDlgItemMessage(r[0], UDM_SETRANGE32, 0, r[1]);
        SendDlgItemMessage(r[0], UDM_SETACCEL, 3, reinterpret_cast<LPARAM>(kSpinAccel));
    }
    for (int target = CAL_VOLT; target <= CAL_NTC2; ++target) ShowField(target);

    if (!m_tool.Connect(m_hWnd)) {
        // Without a port object there is nothing to do: the main program gets its port back.
        EndDialog(IDABORT);
        return TRUE;
    }
    // Topmost before any box of its own: raising it later would put it above them.
    SetWindowPos(HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (!m_tool.Link().IsOpen()) PostMessage(WM_CAL_PORT_FAILED);
    SetTimer(CAL_TIMER_ID, CAL_TIMER_MS);
    return TRUE;
}

LRESULT CCalibrationDlg::OnKey(WORD, WORD id, HWND, BOOL&) {
    const WCHAR key = KeyOf(id);
    if (key)
        m_tool.Key(key);
    else
        m_tool.ClearField();
    if (m_tool.Focused() != CAL_NONE) ShowField(m_tool.Focused());
    return 0;
}

LRESULT CCalibrationDlg::OnFieldFocus(WORD, WORD id, HWND, BOOL& handled) {
    const int target = TargetOf(id);
    if (target == CAL_NONE || id == IDC_CAL_VOLT_SPIN || id == IDC_CAL_AMP_SPIN) {
        handled = FALSE;
        return 0;
    }
    m_tool.Focus(target);
    return 0;
}

LRESULT CCalibrationDlg::OnButton(WORD, WORD id, HWND, BOOL& handled) {
    if (id < IDC_CAL_OFFSET_V || id > IDC_CAL_APPLY || id == IDC_CAL_RADIO_CHARGE || id == IDC_CAL_RADIO_DISCHARGE) {
        handled = FALSE;
        return 0;
    }
    const WCHAR* refusal = nullptr;
    m_tool.Command(id, IsDlgButtonChecked(IDC_CAL_RADIO_DISCHARGE) == BST_CHECKED, &refusal);
    if (refusal) ShowBox(refusal, MB_OK);
    return 0;
}

LRESULT CCalibrationDlg::OnExit(WORD, WORD, HWND, BOOL&) {
    EndDialog(IDOK);
    return 0;
}

// The field shows where the spin goes, in its own unit: hundredths of a volt, tenths of an ampere.
LRESULT CCalibrationDlg::OnSpin(int id, LPNMHDR hdr, BOOL& handled) {
    const int target = TargetOf(static_cast<WORD>(id));
    if (target != CAL_VOLT && target != CAL_AMP) {
        handled = FALSE;
        return 0;
    }
    const auto* ud = reinterpret_cast<const NMUPDOWN*>(hdr);
    m_tool.SpinTo(target, ud->iPos + ud->iDelta);
    SetDlgItemText(kFieldIds[target], m_tool.FieldText(target));
    return 0;
}

LRESULT CCalibrationDlg::OnTimer(UINT, WPARAM id, LPARAM, BOOL& handled) {
    if (id != CAL_TIMER_ID) {
        handled = FALSE;
        return 0;
    }
    m_tool.Timer();
    if (!(GetWindowLongW(m_hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST))
        SetWindowPos(HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    return 0;
}

LRESULT CCalibrationDlg::OnReplyBox(UINT msg, WPARAM wParam, LPARAM, BOOL&) {
    static const WCHAR* const kTexts[6][2] = {
        {u"EEPROM Write completed", u"EEPROM Write completed"},
        {u"EEPROM Erase completed", u"EEPROM Erase completed"},
        {u"Volt Offset is calibrated", u"Volt Offset isn't calibrated"},
        {u"Volt scaleF is calibrated", u"Volt scaleF isn't calibrated"},
        {u"Amp Offset is calibrated", u"Amp Offset isn't calibrated"},
        {u"Amp scaleF is calibrated", u"Amp scaleF isn't calibrated"},
    };
    ShowBox(kTexts[msg - WM_CAL_EEPROM_WRITTEN][wParam ? 0 : 1], MB_YESNO);
    return 0;
}

LRESULT CCalibrationDlg::OnValues(UINT, WPARAM code, LPARAM, BOOL&) {
    CalTexts t;
    m_tool.Link().Texts(&t);
    SetDlgItemText(IDC_CAL_VOLT_TEXT, t.volt);
    SetDlgItemText(IDC_CAL_AMP_TEXT, t.amp);
    if (code == 0x0A) {
        SetDlgItemText(IDC_CAL_NTC1_TEXT, t.ntc1);
        SetDlgItemText(IDC_CAL_NTC2_TEXT, t.ntc2);
    }
    return 0;
}

LRESULT CCalibrationDlg::OnPortFailed(UINT, WPARAM, LPARAM, BOOL&) {
    WCHAR text[64];
    swprintf(text, 64, u"Can't open COM%d:", m_tool.Port());
    ShowBox(text, MB_OK);
    return 0;
}

LRESULT CCalibrationDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    KillTimer(CAL_TIMER_ID);
    m_tool.Exit();
    HandBackPort();
    handled = FALSE;
    return 0;
}

void CCalibrationDlg::HandBackPort() {
    if (m_handedBack) return;
    m_handedBack = TRUE;
    if (HWND main = FindWindowW(u"QRX_APPLICATION", nullptr)) ::PostMessageW(main, WM_MCU_PORT_REOPEN, 0, 0);
}
