// The one popup of the program (shell 12), the operation event codes and the system log.
#include <cstring>
#include <mutex>

#include "app/Language.h"
#include "app/MainFrame.h"
#include "app/Settings.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

namespace {

struct EventPopup {
    int code;
    int title;
    int message;
    int style;
    BOOL log;
};

const EventPopup kEventPopups[] = {
    {1, 10, 21, 1, TRUE},       {2, 10, 21, 1, TRUE},       {3, 10, 21, 1, TRUE},      {7, 10, 31, 1, TRUE},
    {8, 10, 32, 1, TRUE},       {10, 10, 64, 1, TRUE},      {50, 10, 50, 0, FALSE},    {102, 10, 27, 1, TRUE},
    {103, 10, 28, 1, TRUE},     {204, 10, 33, 1, TRUE},     {205, 10, 33, 1, TRUE},    {208, 10, 35, 1, TRUE},
    {209, 10, 22, 1, TRUE},     {210, 10, 33, 0, TRUE},     {1000, 11, 41, 1, TRUE},   {1001, 11, 42, 1, TRUE},
    {1002, 11, 40, 1, TRUE},    {10000, 10, 20, 1, TRUE},   {10001, 10, 30, 1, TRUE},  {10002, 10, 55, 1, TRUE},
    {10003, 10, 63, 1, TRUE},
};

const int kTitleCtrl = 0;
const int kMessageCtrl = 1;
const int kLeftButton = 2;
const int kRightButton = 3;
const int kCentreButton = 4;
const size_t kLogTextChars = 512;

void SetButton(CShellPanel* panel, int control, BOOL used) {
    CUiCtrl* button = panel->GetCtrl(control);
    if (!button) return;
    if (used) button->SetText(GetLangText(SHELL_POPUP, control, FALSE), FALSE);
    button->Show(used);
    button->Enable(used);
}

// Opens the popup with its texts and buttons and starts its sound. 0 when the page cannot open.
BOOL OpenPopup(HWND hWnd, int title, const WCHAR* text, int style, BOOL sendBeep) {
    g_MainFrame.ShowLoading(FALSE, 0);
    CShellManager& shells = CShellManager::Instance();
    if (shells.FindShell(SHELL_POPUP)) shells.CloseShell(SHELL_POPUP);
    HWND parent = g_hMainWnd ? g_hMainWnd : hWnd;
    CShellPanel* panel = shells.OpenShell(parent, SHELL_POPUP, nullptr, FALSE);
    if (!panel) return FALSE;

    const WCHAR* face = GetLangFontFace();
    if (CUiCtrl* ctrl = panel->GetCtrl(kTitleCtrl)) {
        ctrl->SetFontFace(face);
        ctrl->SetText(GetLangText(SHELL_POPUP, title, FALSE), FALSE);
    }
    if (CUiCtrl* ctrl = panel->GetCtrl(kMessageCtrl)) {
        ctrl->SetFontFace(face);
        ctrl->SetText(text, FALSE);
    }
    panel->Show(TRUE);
    SetButton(panel, kLeftButton, style == POPUP_TWO_BUTTONS);
    SetButton(panel, kRightButton, style == POPUP_TWO_BUTTONS);
    SetButton(panel, kCentreButton, style == POPUP_ONE_BUTTON);
    panel->Invalidate(nullptr, TRUE);
    Sleep(1);

    if (g_hMainWnd && title >= POPUP_TITLE_ERROR && title <= POPUP_TITLE_SETTING) {
        if (sendBeep) SendMessageW(g_hMainWnd, WM_BEEP, static_cast<WPARAM>(title - 9), 0);
        else PostMessageW(g_hMainWnd, WM_BEEP, static_cast<WPARAM>(title - 9), 0);
    }
    SetBackLightWindowTop();
    return TRUE;
}

// The operation thread and the UI thread both append; the file is opened without sharing, so a
// second open at the same moment would lose its line.
std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}

void AppendLogLine(const WCHAR* line) {
    std::lock_guard<std::mutex> guard(LogLock());
    WCHAR path[MAX_PATH];
    swprintf(path, MAX_PATH, u"%s\\system.log", g_szStorageRoot);
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(wcslen(line) * sizeof(WCHAR)), &written, nullptr);
    CloseHandle(file);
}

// One entry is one line: line breaks inside a text become blanks (a CR LF pair one blank).
void FlattenLogText(const WCHAR* in, WCHAR* out, size_t size) {
    size_t o = 0;
    for (size_t i = 0; in && in[i] != 0 && o + 1 < size; ++i) {
        if (in[i] == u'\r' || in[i] == u'\n') {
            if (in[i] == u'\r' && in[i + 1] == u'\n') ++i;
            out[o++] = u' ';
        } else {
            out[o++] = in[i];
        }
    }
    out[o] = 0;
}

}  // namespace

const WCHAR* PopupKindText(int title) {
    switch (title) {
        case POPUP_TITLE_ERROR:
            return u"ERR";
        case POPUP_TITLE_NOTICE:
            return u"NOTI";
        case POPUP_TITLE_SETTING:
            return u"SET ERR";
        default:
            return u"UNKNOWN";
    }
}

void ShowMessageBox(HWND hWnd, int title, int message, int style, BOOL log) {
    WCHAR text[MAX_PATH];
    SetControlLangText(SHELL_POPUP, message, text, MAX_PATH, FALSE);
    ExpandLangBreaks(text);
    if (!OpenPopup(hWnd, title, text, style, FALSE)) return;
    if (log) WriteSystemLog(title, text, message);
}

void ShowMessageBoxText(HWND hWnd, int title, const WCHAR* text, int style) {
    if (!OpenPopup(hWnd, title, text ? text : u"", style, TRUE)) return;
    WriteSystemLog(title, text, 0);
}

void ClosePopup(BOOL beepOff) {
    if (beepOff && g_hMainWnd) SendMessageW(g_hMainWnd, WM_BEEP_OFF, 0, 0);
    CShellManager& shells = CShellManager::Instance();
    if (shells.FindShell(SHELL_POPUP)) shells.CloseShell(SHELL_POPUP);
}

BOOL ShowEventPopup(HWND hWnd, int code) {
    for (const EventPopup& e : kEventPopups) {
        if (e.code != code) continue;
        ShowMessageBox(hWnd, e.title, e.message, e.style, e.log);
        return TRUE;
    }
    return FALSE;
}

void WriteSystemLog(int title, const WCHAR* text, int code) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    WCHAR flat[kLogTextChars];
    FlattenLogText(text, flat, kLogTextChars);
    WCHAR line[kLogTextChars + 64];
    swprintf(line, kLogTextChars + 64, u"[%02d-%02d-%02d %02d:%02d:%02d] %d,%s,%s\r\n", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond, code, PopupKindText(title), flat);
    AppendLogLine(line);
}

void WriteSystemLogNote(int mode) {
    const WCHAR* word = u"Unknown";
    if (mode == 0 || mode == 1) word = u"Restoration";
    else if (mode == 2) word = u"Discharge";
    else if (mode >= 3 && mode <= 8) word = u"Program";
    SYSTEMTIME st;
    GetSystemTime(&st);
    WCHAR line[96];
    swprintf(line, 96, u"[%04d-%02d-%02d %02d:%02d:%02d] 0,NOTI,%s\r\n", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, word);
    AppendLogLine(line);
}

void SetBackLightWindowTop() {
    CShellManager& shells = CShellManager::Instance();
    if (HWND lock = FindWindowW(u"Shutter", u"Shutter")) {
        SetWindowPos(lock, HWND_TOPMOST, 0, 0, 800, 480, SWP_SHOWWINDOW);
    } else if (shells.FindShell(SHELL_LOCKBOX)) {
        g_MainFrame.ShowLockBox();
    } else if (shells.FindShell(SHELL_COVER)) {
        OutputDebugStringW(u"BackLight Window Top\r\n");
        shells.CloseShell(SHELL_COVER);
        shells.OpenShell(g_hMainWnd, SHELL_COVER, nullptr, TRUE);
    }
}
