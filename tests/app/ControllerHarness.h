// The main program's window as the program runs it, inside the test process: a device root with the
// image archive and the English texts, the real window class and procedure (its WM_CREATE loads the
// archive, the layout script compiled into the test binary and the main page; the start-up timer then
// runs InitFrame), a recorder of what reaches the window, and helpers for the in-process screen.
#pragma once
#include <windows.h>
#include <qrx/host.h>
#include <qrx/screen.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "app/MainFrame.h"
#include "app/Settings.h"
#include "app/TopBar.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/UiCtrl.h"

namespace controller_harness {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// UTF-16 little-endian file text (the language files and the system log), byte-order mark dropped.
inline std::u16string Utf16Text(const std::string& bytes) {
    std::u16string text;
    size_t i = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE
                   ? 2
                   : 0;
    for (; i + 1 < bytes.size(); i += 2)
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      static_cast<unsigned char>(bytes[i + 1]) << 8);
    return text;
}

// One section of a UTF-16 language file as key -> text, read here on its own rather than through the
// program's reader.
inline std::map<int, std::u16string> LangSection(const std::string& file, const std::string& section) {
    const std::u16string text = Utf16Text(ReadAll(file));
    std::map<int, std::u16string> out;
    const std::u16string header = u"[" + U16(section) + u"]";
    bool inside = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos) end = text.size();
        const std::u16string line = text.substr(start, end - start);
        start = end + 2;
        if (!line.empty() && line[0] == u'[') {
            inside = line == header;
            continue;
        }
        const size_t eq = line.find(u'=');
        if (!inside || eq == std::u16string::npos || eq == 0) continue;
        int key = 0;
        for (size_t i = 0; i < eq; ++i) key = key * 10 + (line[i] - u'0');
        out[key] = line.substr(eq + 1);
    }
    return out;
}

inline std::string EnglishLangPath() { return std::string(QRX_SOURCE_DIR) + "/assets/lang/English.lang"; }

struct Recorded {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// What reached the main window (messages from WM_USER on and WM_CLOSE), recorded before the program's
// own procedure handles them.
inline std::vector<Recorded>& RecordLog() {
    static std::vector<Recorded> log;
    return log;
}

inline LRESULT CALLBACK RecordingProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= WM_USER || msg == WM_CLOSE) RecordLog().push_back(Recorded{msg, wParam, lParam});
    return CallWindowProcW(MainWndProc, hWnd, msg, wParam, lParam);
}

// How many recorded messages match; wParam and lParam match anything when negative.
inline int Count(UINT msg, long long wParam = -1, long long lParam = -1) {
    int n = 0;
    for (const Recorded& r : RecordLog()) {
        if (r.msg != msg) continue;
        if (wParam >= 0 && r.wParam != static_cast<WPARAM>(wParam)) continue;
        if (lParam >= 0 && static_cast<DWORD>(r.lParam) != static_cast<DWORD>(lParam)) continue;
        ++n;
    }
    return n;
}

// Handles what is queued for this thread's windows and waits for the screen to settle. A quit posted
// by a closing main window is taken out here so it cannot stop a later pump.
inline bool Pump(DWORD deviceMs = 200) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    const bool idle = qrx::screen::WaitIdle(deviceMs);
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return idle;
}

// Pumps until the condition holds; false once the bound of host time passed (whatever the device's time
// scale): the tests' patience, or a window of realMs on the same scale.
template <class Cond>
bool PumpUntil(Cond cond, int realMs = 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(bounded::Scaled(realMs > 0 ? realMs : bounded::kDefaultMs));
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Pump(50);
    }
    return true;
}

// Runs the device clock faster for one test; the test's own bounds are in host time.
class ScopedTimeScale {
public:
    explicit ScopedTimeScale(const char* scale) {
        setenv("QRX_TIME_SCALE", scale, 1);
        qrx::ReloadHostConfig();
    }
    ~ScopedTimeScale() {
        unsetenv("QRX_TIME_SCALE");
        qrx::ReloadHostConfig();
    }
    ScopedTimeScale(const ScopedTimeScale&) = delete;
    ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;
};

// A layout command as a button of the shell sends it.
inline LRESULT Command(HWND hWnd, int shell, LPARAM lParam) {
    return SendMessageW(hWnd, WM_SHELL_COMMAND, static_cast<WPARAM>(shell), lParam);
}

inline CShellManager& Shells() { return CShellManager::Instance(); }
inline CShellPanel* Shell(int shell) { return Shells().FindShell(shell); }
inline CUiCtrl* Ctrl(int shell, int i) { return Shells().GetShellCtrl(shell, i); }
inline std::u16string CtrlText(int shell, int i) {
    CUiCtrl* c = Ctrl(shell, i);
    return c ? std::u16string(c->GetText()) : u"<no control>";
}

// How many pages of the number are on the stack, and where the top one is (-1 when none).
inline int ShellCopies(int shell) {
    int n = 0;
    for (int i = 0; i < Shells().GetShellCount(); ++i)
        if (Shells().GetShellAt(i)->GetShell() == shell) ++n;
    return n;
}
inline int StackIndex(int shell) {
    for (int i = Shells().GetShellCount() - 1; i >= 0; --i)
        if (Shells().GetShellAt(i)->GetShell() == shell) return i;
    return -1;
}

// The screen point at the centre of a control.
inline POINT CentreOf(int shell, int i) {
    POINT pt{-1, -1};
    CShellPanel* page = Shell(shell);
    CUiCtrl* c = page ? page->GetCtrl(i) : nullptr;
    if (!c) return pt;
    RECT p, r;
    page->GetRect(&p, FALSE);
    c->GetRect(&r, FALSE);
    pt.x = p.left + (r.left + r.right) / 2;
    pt.y = p.top + (r.top + r.bottom) / 2;
    return pt;
}
inline void TapAt(POINT pt) {
    qrx::screen::Tap(static_cast<int>(pt.x), static_cast<int>(pt.y));
    Pump();
}

// Probes a timer of the window by killing it: true when it was running.
inline bool TimerWasRunning(HWND hWnd, UINT_PTR id) { return KillTimer(hWnd, id) != FALSE; }

// Puts the controller's own state back to what a fresh program has, for scenarios that run one after
// the other in one process.
inline void ResetFrameState() {
    g_MainFrame.m_bHiddenLock = 1;
    g_MainFrame.m_nHiddenCount = 0;
    g_MainFrame.m_nLogoCount = 0;
    g_MainFrame.m_nPressCount = 0;
    g_MainFrame.m_bScreenLocked = 0;
    g_MainFrame.m_bScreenOff = 0;
    g_MainFrame.m_bRemoteControl = 0;
}

// A device root with the program's archive and English texts, and the main window started as the
// program starts it. BeforeStart runs after the root is filled and before the window exists.
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string zip = ReadAll(std::string(QRX_BUILD_DIR) + "/assets/QRX.zip");
        ASSERT_FALSE(zip.empty()) << "build the qrx-assets target first";
        root.WriteFile("Windows/QRX.zip", zip);
        const std::string lang = ReadAll(EnglishLangPath());
        ASSERT_FALSE(lang.empty());
        root.WriteFile("Windows/English.lang", lang);
        BeforeStart();
        ASSERT_NO_FATAL_FAILURE(Start());
    }

    void TearDown() override {
        // Closed as the program closes: the operation page's threads end before any page window goes.
        if (hWnd && IsWindow(hWnd)) SendMessageW(hWnd, WM_CLOSE, CLOSE_WITHOUT_SHELL, 0);
        if (hWnd && IsWindow(hWnd)) DestroyWindow(hWnd);
        Pump(50);
        hWnd = nullptr;
        g_hMainWnd = nullptr;
        RecordLog().clear();
        ResetFrameState();
    }

    virtual void BeforeStart() {}
    // The start-up timer runs InitFrame; without an MCU it ends with the "no response" popup.
    virtual bool StartedUp() const { return g_MainFrame.m_pTopBarWnd != nullptr && Shell(SHELL_POPUP) != nullptr; }

    void Start() {
        static const ATOM atom = MyRegisterClass(nullptr, QRX_APP_NAME);
        ASSERT_NE(atom, 0);
        RecordLog().clear();
        ResetFrameState();
        hWnd = CreateWindowExW(0, QRX_APP_NAME, u"QRX", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hWnd, nullptr) << "WM_CREATE failed: archive or layout missing";
        g_hMainWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProc));
        ASSERT_NE(Shell(SHELL_MAIN), nullptr);
        ASSERT_TRUE(PumpUntil([this] { return StartedUp(); }));
        ASSERT_EQ(g_MainFrame.m_hWnd, hWnd);
        ClosePopup(TRUE);
        Pump();
        RecordLog().clear();
    }

    bool LogExists() const { return std::filesystem::exists(root.Host("SD Card/system.log")); }
    std::u16string Log() const { return Utf16Text(root.ReadFile("SD Card/system.log")); }
    static int Lines(const std::u16string& log) {
        int n = 0;
        for (size_t at = log.find(u"\r\n"); at != std::u16string::npos; at = log.find(u"\r\n", at + 2)) ++n;
        return n;
    }

    // An executable script at a device path below the root that writes its argument into a file.
    void WriteRecorderProgram(const std::string& relative, const std::string& markerRelative) {
        root.WriteFile(relative, "#!/bin/sh\nprintf '%s' \"$1\" > \"" + root.Host(markerRelative) + "\"\n");
        std::filesystem::permissions(root.Host(relative), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
    }

    TempDeviceRoot root;
    HWND hWnd = nullptr;
};

}  // namespace controller_harness
