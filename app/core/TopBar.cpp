#include "app/TopBar.h"

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/Settings.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Button.h"

namespace {

const int kTextControls[] = {TOPBAR_MANUAL, TOPBAR_AUTO, TOPBAR_PROGRAM, TOPBAR_FILTER, TOPBAR_LOG, TOPBAR_LOCK};

}  // namespace

void FormatTopBarClock(WCHAR* out, size_t size, int hour, int minute, BOOL clock24) {
    if (clock24) {
        swprintf(out, size, u"%02d:%02d", hour, minute);
    } else if (hour < 12) {
        swprintf(out, size, u"AM %02d:%02d", hour == 0 ? 12 : hour, minute);
    } else {
        swprintf(out, size, u"PM %02d:%02d", hour == 12 ? 12 : hour - 12, minute);
    }
}

CTopBarWnd::CTopBarWnd(HWND hWnd, SettingsRecord* settings)
    : m_hWnd(hWnd), m_nShow(0), m_nPage(0), m_dwIconMask(0), m_bRestoreMask(FALSE), m_pSettings(settings),
      m_nLastMinute(-1) {
    CShellManager::Instance().OpenShell(hWnd, SHELL_TOPBAR, nullptr, FALSE);
    InitTexts();
    SetTimer(hWnd, TIMER_TOPBAR_CLOCK, 1000, nullptr);
}

CTopBarWnd::~CTopBarWnd() {
    KillTimer(m_hWnd, TIMER_TOPBAR_CLOCK);
    if (Panel()) CShellManager::Instance().CloseShell(SHELL_TOPBAR);
}

BOOL CTopBarWnd::IsCreated() const { return Panel() != nullptr; }

CShellPanel* CTopBarWnd::Panel() const { return CShellManager::Instance().FindShell(SHELL_TOPBAR); }

CUiCtrl* CTopBarWnd::Ctrl(int i) const {
    CShellPanel* panel = Panel();
    return panel ? panel->GetCtrl(i) : nullptr;
}

void CTopBarWnd::InitTexts() {
    for (int control : kTextControls) {
        CUiCtrl* ctrl = Ctrl(control);
        if (!ctrl) continue;
        ctrl->SetFontFace(GetLangFontFace());
        ctrl->SetText(GetLangText(SHELL_TOPBAR, control, FALSE), TRUE);
    }
}

void CTopBarWnd::SetPage(int page, int show, int force) {
    // A new page under a bar that stays shown still needs that page's buttons.
    const BOOL samePage = page == m_nPage;
    m_nPage = page;
    if (show == m_nShow && samePage && !force) return;
    m_nShow = show;
    CShellPanel* panel = Panel();
    if (!panel) return;
    if (show == 5) {
        panel->Show(TRUE);
        UpdateClock(0);
        if (TestAndClearPageFlag(SHELL_TOPBAR)) InitTexts();
        if (page == SHELL_OPERATION) {
            if (m_bRestoreMask) {
                SetIconMask(m_dwIconMask);
                m_bRestoreMask = FALSE;
            }
            SetButtonMask(127);
        } else if (page == SHELL_MANUAL || page == SHELL_PROGRAM || page == SHELL_AUTO) {
            m_bRestoreMask = TRUE;
            if (CUiCtrl* home = Ctrl(TOPBAR_HOME)) home->Enable(TRUE);
            SetButtonMask(1);
        } else {
            SetButtonMask(1);
            m_bRestoreMask = FALSE;
        }
        panel->Invalidate(nullptr, TRUE);
    } else if (show == 0) {
        panel->Show(FALSE);
    }
}

void CTopBarWnd::SetButtonMask(DWORD mask) {
    static const int kBits[][2] = {{TOPBAR_HOME, 0},    {TOPBAR_MANUAL, 1}, {TOPBAR_PROGRAM, 2}, {TOPBAR_FILTER, 3},
                                   {TOPBAR_LOG, 4},     {TOPBAR_LOCK, 5},   {TOPBAR_AUTO, 5}};
    for (const auto& bit : kBits) {
        if (CUiCtrl* ctrl = Ctrl(bit[0])) ctrl->Show((mask >> bit[1]) & 1u);
    }
}

void CTopBarWnd::SetIconMask(DWORD mask) {
    static const int kBits[][2] = {{TOPBAR_HOME, 0}, {TOPBAR_MANUAL, 1}, {TOPBAR_PROGRAM, 2},
                                   {TOPBAR_FILTER, 3}, {TOPBAR_LOG, 4}, {TOPBAR_AUTO, 6}};
    for (const auto& bit : kBits) {
        if (CUiCtrl* ctrl = Ctrl(bit[0])) ctrl->Enable((mask >> bit[1]) & 1u);
    }
    if (CUiCtrl* lock = Ctrl(TOPBAR_LOCK)) lock->Enable(m_pSettings && m_pSettings->wLockEnable != 0);
    m_dwIconMask = mask;
    if (CShellPanel* panel = Panel()) panel->Invalidate(nullptr, TRUE);
}

void CTopBarWnd::SetIcon(int control, int checked) {
    auto* button = dynamic_cast<CButtonCtrl*>(Ctrl(control));
    if (button) button->SetCheck(checked ? 1 : 0, TRUE);
}

LRESULT CTopBarWnd::OnCommand(HWND hWnd, int shell, LPARAM lParam) {
    const int control = LOWORD(lParam);
    switch (control) {
        case TOPBAR_HOME:
        case TOPBAR_MANUAL:
        case TOPBAR_PROGRAM:
        case TOPBAR_FILTER:
        case TOPBAR_LOG:
            return SendMessageW(m_hWnd, WM_SHELL_COMMAND, static_cast<WPARAM>(m_nPage), 110 + control);
        case TOPBAR_AUTO:
            return SendMessageW(m_hWnd, WM_SHELL_COMMAND, static_cast<WPARAM>(m_nPage), 117);
        case TOPBAR_CLOCK:
            if (m_pSettings) m_pSettings->wClock24 = m_pSettings->wClock24 ? 0 : 1;
            UpdateClock(1);
            break;
        case TOPBAR_UNIT_ICON:
            SetIcon(TOPBAR_UNIT_ICON, HIWORD(lParam) == 1);
            break;
        case TOPBAR_CMD_CLOCK:
            UpdateClock(1);
            break;
        case TOPBAR_CMD_TEXTS:
            InitTexts();
            break;
        default:
            break;
    }
    return 0;
}

void CTopBarWnd::UpdateClock(int force) {
    CUiCtrl* clock = Ctrl(TOPBAR_CLOCK);
    if (!clock) return;
    SYSTEMTIME st;
    GetSystemTime(&st);
    if (!force && st.wMinute == m_nLastMinute) return;
    m_nLastMinute = st.wMinute;
    WCHAR text[16];
    FormatTopBarClock(text, 16, st.wHour, st.wMinute, m_pSettings && m_pSettings->wClock24);
    clock->SetText(text, TRUE);
}
