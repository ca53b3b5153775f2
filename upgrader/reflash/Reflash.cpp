// Reflash: upgrades the whole device from the package on the card. Closes the main program, sends the
// PMC into its boot loader, waits for the stores, checks the package header, and lets a worker thread
// write the flash, the PMC firmware and the application files; then the PMC leaves its loader and the
// device reboots. Every error box offers OK (retry) and CANCEL (leave the loader, reboot).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit/CeButton.h"
#include "kit/CeProgressBar.h"
#include "kit/KitArchive.h"
#include "kit/KitLanguage.h"
#include "kit/Partition.h"
#include "qrx/commctrl.h"
#include "qrx/flashapi.h"
#include "ServiceTaps.h"
#include "UpgradeRun.h"

namespace {

// Messages of the dialog.
#define WM_REFLASH_START 0x1400
#define WM_REFLASH_WORK_DONE 0x1401  // the worker ended: wParam 0 success, else the box's text id
#define WM_REFLASH_PROGRESS 0x1500
#define WM_REFLASH_BOX_BUTTON 0x1600
#define WM_OSUPDATESTART_ACK 0x2403
#define WM_OSUPDATEDONE_ACK 0x2404
#define WM_OSUPDATEDONE_ACK2 0x2405

#define TIMER_START 0x1000
#define TIMER_END 0x1001

#define MAIN_PROGRAM_CLASS u"QRX_APPLICATION"
#define CLOSE_WITHOUT_SHELL 0xF0F0
#define SCREEN_W 800
#define SCREEN_H 480
#define LANG_SECTION 50
#define BUTTON_SECTION 12
#define NO_BUTTON 255

const RECT kOkRect = {265, 275, 375, 345};
const RECT kCancelRect = {425, 275, 535, 345};
const RECT kBarRect = {152, 396, 648, 404};
const RECT kBoxRect = {210, 84, 590, 363};

void Log(const WCHAR* format, ...) {
    WCHAR line[512];
    va_list args;
    va_start(args, format);
    vswprintf(line, 512, format, args);
    va_end(args);
    OutputDebugStringW(line);
}

class CCeUnzipDialog {
public:
    CCeUnzipDialog(HINSTANCE inst, HWND frame) : m_hInst(inst), m_hFrame(frame) {}
    virtual ~CCeUnzipDialog();
    INT_PTR Run();
    HWND Window() const { return m_hDlg; }
    bool WorkerRunning() const { return m_hWorker != nullptr; }

private:
    static INT_PTR CALLBACK DlgProc(HWND, UINT, WPARAM, LPARAM);
    static DWORD WINAPI WorkerProc(LPVOID self);

    BOOL OnInitDialog();
    void OnPaint();
    void OnDestroy();
    void OnLButtonDown(int x, int y);
    void OnLButtonUp(int x, int y);
    void OnMouseMove(int x, int y);
    void OnTimer(UINT_PTR id);

    void CloseMainProgram();
    void StartUpgrade();
    bool WaitForStore(const WCHAR* store, const WCHAR* logName, int textId, int tries);
    void OnWorkDone(int box);
    void ClearMessageBox(int button);
    void OnProgress(int percent);

    void DrawBackground();
    void DrawMessageBox(int titleId, int textId, bool buttons);
    void DrawMessageBox(const WCHAR* title, const WCHAR* text, bool buttons);
    void DrawText(const WCHAR* text, const RECT& rc, int height, COLORREF colour, UINT format);
    void Show(const RECT& rc);

    HINSTANCE m_hInst;
    HWND m_hFrame;
    HWND m_hDlg = nullptr;
    HDC m_memDC = nullptr;
    HBITMAP m_memBitmap = nullptr;
    HGDIOBJ m_oldBitmap = nullptr;
    CCeBitmap m_background;
    CCeProgressBar m_progressBar;
    CDibImage m_popup;
    CCeButton m_buttons[2];  // OK, CANCEL
    int m_pressed = NO_BUTTON;
    bool m_buttonsEnabled = false;
    CPartition m_Partition;
    CComIO m_comIO;
    UpgradeTarget m_target;
    std::u16string m_package;
    FwPackageInfo m_info;
    int m_lastPercent = 0;
    bool m_workerSucceeded = false;
    HANDLE m_hWorker = nullptr;
    int m_endTicks = 2;
    ServiceTaps m_service;
};

CCeUnzipDialog* g_dialog = nullptr;

CCeUnzipDialog::~CCeUnzipDialog() {
    if (m_hWorker) {
        WaitForSingleObject(m_hWorker, INFINITE);
        CloseHandle(m_hWorker);
    }
    if (m_memDC) {
        SelectObject(m_memDC, m_oldBitmap);
        DeleteDC(m_memDC);
    }
    if (m_memBitmap) DeleteObject(m_memBitmap);
}

INT_PTR CCeUnzipDialog::Run() {
    // The template: the dialog head, no menu, no class, the caption, the font, and one progress
    // control (the program draws its own bar; the control only has to exist).
    std::vector<WORD> t;
    auto dword = [&t](DWORD v) {
        t.push_back(static_cast<WORD>(v));
        t.push_back(static_cast<WORD>(v >> 16));
    };
    auto text = [&t](const char16_t* s) {
        do t.push_back(*s);
        while (*s++);
    };
    dword(0x90000840);
    dword(0);
    t.push_back(1);  // one control
    for (short v : {0, 0, SCREEN_W, SCREEN_H}) t.push_back(static_cast<WORD>(v));
    t.push_back(0);
    t.push_back(0);
    text(u"Zipping");
    t.push_back(8);
    text(u"MS Sans Serif");
    if (t.size() % 2) t.push_back(0);  // items start on a DWORD
    dword(0x50000000);
    dword(0);
    for (short v : {7, 7, 264, 18}) t.push_back(static_cast<WORD>(v));
    t.push_back(1);
    text(u"msctls_progress32");
    t.push_back(0);  // no title
    t.push_back(0);  // no creation data
    return DialogBoxIndirectParamW(m_hInst, reinterpret_cast<LPCDLGTEMPLATEW>(t.data()), m_hFrame, DlgProc,
                                   reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CCeUnzipDialog::DlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    CCeUnzipDialog* self = g_dialog;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CCeUnzipDialog*>(lParam);
        self->m_hDlg = hDlg;
        return self->OnInitDialog();
    }
    if (!self || self->m_hDlg != hDlg) return FALSE;
    const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
    switch (msg) {
        case WM_PAINT:
            self->OnPaint();
            return TRUE;
        case WM_ERASEBKGND:
            return TRUE;
        case WM_DESTROY:
            self->OnDestroy();
            return TRUE;
        case WM_TIMER:
            self->OnTimer(wParam);
            return TRUE;
        case WM_LBUTTONDOWN:
            self->OnLButtonDown(x, y);
            return TRUE;
        case WM_LBUTTONUP:
            self->OnLButtonUp(x, y);
            return TRUE;
        case WM_MOUSEMOVE:
            self->OnMouseMove(x, y);
            return TRUE;
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
            return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
        case WM_REFLASH_START:
            self->StartUpgrade();
            return TRUE;
        case WM_REFLASH_WORK_DONE:
            self->OnWorkDone(static_cast<int>(wParam));
            return TRUE;
        case WM_REFLASH_PROGRESS:
            self->OnProgress(static_cast<int>(wParam));
            return TRUE;
        case WM_REFLASH_BOX_BUTTON:
            self->ClearMessageBox(static_cast<int>(wParam));
            return TRUE;
        case WM_OSUPDATESTART_ACK:
            Log(u"============== WM_OSUPDATESTART_ACK");
            return TRUE;
        case WM_OSUPDATEDONE_ACK:
        case WM_OSUPDATEDONE_ACK2:
            Log(u"============== WM_OSUPDATEDONE_ACK");
            return TRUE;
        default:
            return FALSE;
    }
}

BOOL CCeUnzipDialog::OnInitDialog() {
    // The template's progress control is not used: the bar is drawn from its picture.
    ShowWindow(GetDlgItem(m_hDlg, 1), SW_HIDE);
    m_target = ReadUpgradeTarget();
    m_package = ReflashPackagePath(m_target);
    HDC screen = GetDC(m_hDlg);
    m_memDC = CreateCompatibleDC(screen);
    m_memBitmap = CreateCompatibleBitmap(screen, SCREEN_W, SCREEN_H);
    ReleaseDC(m_hDlg, screen);
    m_oldBitmap = SelectObject(m_memDC, m_memBitmap);

    CKitArchive archive;
    std::vector<BYTE> bar, normal, pressed;
    if (archive.Open()) {
        archive.LoadBitmap(u"setting_update_bg.bmp", m_background);
        archive.Read(u"setting_update_loading_pre.bmp", bar);
        archive.LoadImage(u"popup_bg.png", m_popup);
        archive.Read(u"btn_none_nor.png", normal);
        archive.Read(u"btn_none_pre.png", pressed);
    } else {
        Log(u"[ERROR] Reflash: no image archive");
    }
    m_progressBar.Create(kBarRect, m_hDlg, bar.data(), static_cast<DWORD>(bar.size()));
    const RECT* rects[2] = {&kOkRect, &kCancelRect};
    for (int i = 0; i < 2; ++i) {
        m_buttons[i].Create(m_hDlg, *rects[i], 0x1020 + i, TRUE, FALSE, 0);
        m_buttons[i].SetImage(normal.data(), static_cast<DWORD>(normal.size()), pressed.data(),
                              static_cast<DWORD>(pressed.size()), GetLangText(BUTTON_SECTION, 4 + i));
        m_buttons[i].SetFont(nullptr, 20, RGB(255, 255, 255), RGB(255, 255, 255));
    }
    DrawBackground();
    SetTimer(m_hDlg, TIMER_START, 100, nullptr);
    return TRUE;
}

void CCeUnzipDialog::OnPaint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hDlg, &ps);
    BitBlt(dc, 0, 0, SCREEN_W, SCREEN_H, m_memDC, 0, 0, SRCCOPY);
    EndPaint(m_hDlg, &ps);
}

void CCeUnzipDialog::OnDestroy() {
    KillTimer(m_hDlg, TIMER_START);
    KillTimer(m_hDlg, TIMER_END);
}

void CCeUnzipDialog::DrawText(const WCHAR* text, const RECT& rc, int height, COLORREF colour, UINT format) {
    LOGFONTW lf{};
    lf.lfHeight = height;
    lf.lfWeight = FW_BOLD;
    lf.lfCharSet = 1;
    lf.lfQuality = 4;
    const WCHAR* face = GetLangFontFace();
    for (int i = 0; i + 1 < LF_FACESIZE && face[i]; ++i) lf.lfFaceName[i] = face[i];
    HFONT font = CreateFontIndirectW(&lf);
    HGDIOBJ old = SelectObject(m_memDC, font);
    SetBkMode(m_memDC, TRANSPARENT);
    SetTextColor(m_memDC, colour);
    WCHAR buffer[LANG_TEXT_CHARS + 40] = {};
    for (size_t i = 0; i + 1 < sizeof buffer / sizeof buffer[0] && text[i]; ++i) buffer[i] = text[i];
    ExpandLangBreaks(buffer);
    RECT r = rc;
    ::DrawTextW(m_memDC, buffer, -1, &r, format);
    SelectObject(m_memDC, old);
    DeleteObject(font);
}

void CCeUnzipDialog::Show(const RECT& rc) {
    HDC dc = GetDC(m_hDlg);
    BitBlt(dc, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, m_memDC, rc.left, rc.top, SRCCOPY);
    ReleaseDC(m_hDlg, dc);
}

void CCeUnzipDialog::DrawBackground() {
    RECT all = {0, 0, SCREEN_W, SCREEN_H};
    if (m_background.IsEmpty()) {
        HBRUSH b = CreateSolidBrush(RGB(0x1B, 0x1D, 0x20));
        FillRect(m_memDC, &all, b);
        DeleteObject(b);
    } else {
        m_background.Draw(m_memDC, &all, FALSE);
    }
    DrawText(GetLangText(LANG_SECTION, 20), RECT{52, 108, 748, 155}, 24, RGB(255, 255, 255),
             DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    DrawText(GetLangText(LANG_SECTION, 21), RECT{85, 221, 723, 240}, 20, 0xD1D1D1, DT_WORDBREAK);
    DrawText(GetLangText(LANG_SECTION, 22), RECT{85, 260, 723, 279}, 20, 0xD1D1D1, DT_WORDBREAK);
    m_progressBar.SetPos(m_memDC, m_lastPercent);
    Show(all);
}

void CCeUnzipDialog::DrawMessageBox(int titleId, int textId, bool buttons) {
    Log(u"MessageBox [%d] [%d] buttons %d", titleId, textId, buttons ? 1 : 0);
    WCHAR title[LANG_TEXT_CHARS], text[LANG_TEXT_CHARS];
    CopyLangText(LANG_SECTION, titleId, title, LANG_TEXT_CHARS);
    CopyLangText(LANG_SECTION, textId, text, LANG_TEXT_CHARS);
    DrawMessageBox(title, text, buttons);
}

void CCeUnzipDialog::DrawMessageBox(const WCHAR* title, const WCHAR* text, bool buttons) {
    m_popup.Draw(m_memDC, kBoxRect.left, kBoxRect.top);
    DrawText(title, RECT{215, 88, 585, 140}, 24, RGB(255, 255, 255), DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    DrawText(text, RECT{223, 149, 577, 274}, 22, RGB(255, 255, 255), DT_CENTER | DT_WORDBREAK);
    m_buttonsEnabled = buttons;
    m_pressed = NO_BUTTON;
    if (buttons)
        for (CCeButton& b : m_buttons) {
            b.Reset(FALSE);
            b.Draw(m_memDC);
        }
    Show(kBoxRect);
}

void CCeUnzipDialog::OnTimer(UINT_PTR id) {
    if (id == TIMER_START) {
        KillTimer(m_hDlg, TIMER_START);
        CloseMainProgram();
        StartUpgrade();
    } else if (id == TIMER_END) {
        // Tick one lets the PMC leave its loader, tick two reboots; later ticks do nothing.
        if (m_endTicks == 2) {
            m_comIO.CMD_RunApp();
        } else if (m_endTicks == 1) {
            KillTimer(m_hDlg, TIMER_END);
            m_comIO.Close();
            KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
        }
        if (m_endTicks > 0) --m_endTicks;
    }
}

// The main program gives up the MCU's port as it ends: the port opens only once it is gone.
void CCeUnzipDialog::CloseMainProgram() {
    HWND main = FindWindowW(MAIN_PROGRAM_CLASS, nullptr);
    if (!main) return;
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    SendMessageW(main, WM_CLOSE, CLOSE_WITHOUT_SHELL, 0);
    Sleep(1000);
    if (process) {
        WaitForSingleObject(process, 60000);
        CloseHandle(process);
    }
}

bool CCeUnzipDialog::WaitForStore(const WCHAR* store, const WCHAR* logName, int textId, int tries) {
    WCHAR title[LANG_TEXT_CHARS], text[LANG_TEXT_CHARS], line[LANG_TEXT_CHARS + 40];
    CopyLangText(LANG_SECTION, TEXT_ERROR_TITLE, title, LANG_TEXT_CHARS);
    CopyLangText(LANG_SECTION, textId, text, LANG_TEXT_CHARS);
    for (int waited = 0; waited < tries; ++waited) {
        if (m_Partition.FindPartition(store)) {
            Log(u"%s found after %d s", logName, waited);
            return true;
        }
        swprintf(line, LANG_TEXT_CHARS + 40, u"%s\t[timeout : %d / %ds]", text, waited, tries);
        DrawMessageBox(title, line, false);
        Sleep(1000);
    }
    if (m_Partition.FindPartition(store)) return true;
    Log(u"%s not found after %d s", logName, tries);
    return false;
}

void CCeUnzipDialog::StartUpgrade() {
    if (m_hWorker) return;
    DrawMessageBox(TEXT_TITLE, TEXT_WORKING, false);
    m_comIO.Close();
    bool connected = false;
    if (m_comIO.Open(m_target.comPort, 115200)) {
        Log(u"GOTO IAP");
        m_comIO.SendGotoIap();
        Sleep(2000);
        for (int i = 0; i < 5 && !connected; ++i) connected = m_comIO.CMD_Connect() != FALSE;
    }
    if (!connected) {
        DrawMessageBox(TEXT_ERROR_TITLE, TEXT_NO_PMC, true);
        return;
    }
    Sleep(500);
    if (!WaitForStore(u"DSK1:", u"NAND_DRIVE", TEXT_WAIT_NAND, 180)) {
        DrawMessageBox(TEXT_ERROR_TITLE, TEXT_NO_PMC, true);
        return;
    }
    if (!WaitForStore(u"DSK2:", u"SD_DRIVE", TEXT_WAIT_CARD, 120)) {
        DrawMessageBox(TEXT_ERROR_TITLE, TEXT_NO_CARD, true);
        return;
    }
    m_info = FwPackageInfo{};
    FwHeaderResult header = ReadFwDataHeader(m_package.c_str(), &m_info);
    if (header != FWH_OK) {
        Log(u"Package : %S", FwHeaderResultText(header));
        DrawMessageBox(TEXT_ERROR_TITLE, TEXT_BAD_PACKAGE, true);
        return;
    }
    Log(u"Flash Size : %d", static_cast<int>(m_info.flashSize));
    Log(u"Application Size : %d", static_cast<int>(m_info.appSize));
    Log(u"OS Version : %s", m_info.osVersion);
    Log(u"Ready!!!!!!!!");
    m_lastPercent = 0;
    DrawBackground();
    DrawMessageBox(TEXT_TITLE, TEXT_WORKING, false);
    if (m_workerSucceeded) {
        OnWorkDone(0);
        return;
    }
    m_hWorker = CreateThread(nullptr, 0, WorkerProc, this, 0, nullptr);
    if (!m_hWorker) DrawMessageBox(TEXT_ERROR_TITLE, TEXT_FAILED, true);
}

DWORD WINAPI CCeUnzipDialog::WorkerProc(LPVOID p) {
    CCeUnzipDialog* self = static_cast<CCeUnzipDialog*>(p);
    UpgradeHooks hooks;
    hooks.progress = [self](int percent) { SendMessageW(self->m_hDlg, WM_REFLASH_PROGRESS, percent, 0); };
    const bool z330 = self->m_target.board.z330;
    hooks.pmc = [self, z330](const std::u16string& file, StepProgress& progress) {
        return PmcFwDownload(self->m_comIO, file, z330, progress);
    };
    int box = RunUpgrade(self->m_package, self->m_info, self->m_target, hooks);
    PostMessageW(self->m_hDlg, WM_REFLASH_WORK_DONE, static_cast<WPARAM>(box), 0);
    return 0;
}

void CCeUnzipDialog::OnWorkDone(int box) {
    if (m_hWorker) {
        WaitForSingleObject(m_hWorker, INFINITE);
        CloseHandle(m_hWorker);
        m_hWorker = nullptr;
    }
    if (box) {
        // No reboot after a failure: the box stays until OK or CANCEL.
        DrawMessageBox(TEXT_ERROR_TITLE, box, true);
        return;
    }
    m_workerSucceeded = true;
    Log(u"Exit : Thread Func");
    m_endTicks = 2;
    SetTimer(m_hDlg, TIMER_END, 1000, nullptr);
}

void CCeUnzipDialog::OnProgress(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    m_lastPercent = percent;
    m_progressBar.SetPos(m_memDC, percent);
    Show(kBarRect);
}

void CCeUnzipDialog::ClearMessageBox(int button) {
    m_buttonsEnabled = false;
    m_pressed = NO_BUTTON;
    DrawBackground();
    if (button == 0) {
        PostMessageW(m_hDlg, WM_REFLASH_START, 0, 0);
    } else {
        m_endTicks = 2;
        SetTimer(m_hDlg, TIMER_END, 1000, nullptr);
    }
}

void CCeUnzipDialog::OnLButtonDown(int x, int y) {
    if (!m_buttonsEnabled) return;
    for (int i = 0; i < 2; ++i)
        if (m_buttons[i].OnLButtonDown(x, y)) {
            m_pressed = i;
            m_buttons[i].Draw(m_memDC);
            Show(m_buttons[i].GetRect());
            SetCapture(m_hDlg);
            return;
        }
}

void CCeUnzipDialog::OnMouseMove(int x, int y) {
    if (m_pressed == NO_BUTTON) return;
    if (m_buttons[m_pressed].OnMouseMove(x, y)) {
        m_buttons[m_pressed].Draw(m_memDC);
        Show(m_buttons[m_pressed].GetRect());
        m_pressed = NO_BUTTON;
    }
}

void CCeUnzipDialog::OnLButtonUp(int x, int y) {
    if (m_pressed != NO_BUTTON) {
        const int button = m_pressed;
        m_pressed = NO_BUTTON;
        ReleaseCapture();
        if (m_buttons[button].OnLButtonUp(x, y)) {
            m_buttons[button].Draw(m_memDC);
            Show(m_buttons[button].GetRect());
            Log(u"Btnup [%d]", button);
            PostMessageW(m_hDlg, WM_REFLASH_BOX_BUTTON, static_cast<WPARAM>(button), 0);
        }
        return;
    }
    // Leaving the upgrader mid-write would leave the device half upgraded.
    if (WorkerRunning()) return;
    switch (m_service.Tap(x, y)) {
        case ServiceTaps::Shell: {
            Log(u"Service access");
            PROCESS_INFORMATION pi{};
            if (CreateProcessW(u"\\Windows\\Explorer.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               nullptr, &pi)) {
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
            DestroyWindow(m_hFrame);
            break;
        }
        case ServiceTaps::Corner:
            Log(u"OnLButtonUp -------- (%d, %d)", x, y);
            DestroyWindow(m_hFrame);
            break;
        default:
            break;
    }
}

LRESULT CALLBACK FrameProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_LBUTTONUP: {
            const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
            if (x < 100 && y < 100 && !(g_dialog && g_dialog->WorkerRunning())) {
                Log(u"OnLButtonUp -------- (%d, %d)", x, y);
                DestroyWindow(hWnd);
            }
            return 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hWnd, &ps);
            EndPaint(hWnd, &ps);
            return 0;
        }
        default:
            return DefWindowProcW(hWnd, msg, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"REFLASH");
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex) CloseHandle(mutex);
        return -1;
    }
    const int language = ReflashLanguageIndex(lpCmdLine);
    Log(u"[INFO] Reflash is started!!!!!!!!");
    LoadKitLanguage(language);
    // The main program may be closed or never have run: the language's face is added here.
    AddKitLanguageFont();

    WNDCLASSW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = FrameProc;
    wc.hInstance = hInstance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
    wc.lpszClassName = u"REFLASH";
    RegisterClassW(&wc);
    HWND frame = CreateWindowExW(WS_EX_TOPMOST, u"REFLASH", u"REFLASH", WS_POPUP | WS_VISIBLE, 0, 0, SCREEN_W,
                                 SCREEN_H, nullptr, nullptr, hInstance, nullptr);
    int code = 0;
    if (frame) {
        InitCommonControls();
        g_dialog = new CCeUnzipDialog(hInstance, frame);
        g_dialog->Run();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (g_dialog && IsWindow(g_dialog->Window()) && IsDialogMessageW(g_dialog->Window(), &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        code = static_cast<int>(msg.wParam);
        delete g_dialog;
        g_dialog = nullptr;
    }
    RemoveKitLanguageFont();
    CloseHandle(mutex);
    return code;
}
