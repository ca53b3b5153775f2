// The main program's window in a device root of its own, for the benchmarks of its pages.
#pragma once
#include <stdlib.h>

#include <windows.h>
#include <qrx/host.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "sim/McuSim.h"
#include "ui/ShellManager.h"

namespace qrx_bench {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Handles the thread's messages for that long, asleep while none comes, as a message loop is.
inline void PumpFor(DWORD deviceMs) {
    const DWORD end = GetTickCount() + deviceMs;
    MSG m;
    for (;;) {
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) continue;
            DispatchMessageW(&m);
        }
        const LONG left = static_cast<LONG>(end - GetTickCount());
        if (left <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    }
}

// Run time of the process's threads, in nanoseconds, by thread id.
inline std::map<std::string, long long> ThreadTimes() {
    std::map<std::string, long long> times;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "schedstat");
        long long ns = 0;
        if (in >> ns) times[task.path().filename().string()] = ns;
    }
    return times;
}

// The main program's window in a device root of its own, started as the program starts it; with mcu
// set, the simulated MCU answers on COM2 and the operation thread polls it.
class Program {
public:
    Program(bool mcu, const char* timeScale) {
        char pattern[] = "/tmp/qrx-op-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        m_root = pattern;
        for (const char* dir : {"Windows", "NAND Flash/System", "SD Card"})
            std::filesystem::create_directories(m_root + "/" + dir);
        std::ofstream(m_root + "/Windows/QRX.zip", std::ios::binary)
            << ReadAll(std::string(QRX_BUILD_DIR) + "/assets/QRX.zip");
        std::ofstream(m_root + "/Windows/English.lang", std::ios::binary)
            << ReadAll(std::string(QRX_SOURCE_DIR) + "/assets/lang/English.lang");
        setenv("QRX_DEVICE_ROOT", m_root.c_str(), 1);
        if (timeScale) setenv("QRX_TIME_SCALE", timeScale, 1);
        qrx::ReloadHostConfig();
        SetDefaultSettings(&g_Settings);
        SaveSettingFile();
        if (mcu) {
            const auto before = ThreadTimes();
            m_sim = std::make_unique<sim::McuSim>();
            if (!m_sim->Start()) return;
            for (const auto& [tid, ns] : ThreadTimes())
                if (!before.count(tid)) m_simThreads.push_back(tid);
        }
        static const ATOM atom = MyRegisterClass(nullptr, QRX_APP_NAME);
        (void)atom;
        m_hWnd = CreateWindowExW(0, QRX_APP_NAME, u"QRX", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
        g_hMainWnd = m_hWnd;
        for (int i = 0; i < 400 && !g_MainFrame.m_pOperationWnd; ++i) PumpFor(10);
        if (Page()) SendMessageW(m_hWnd, WM_SHELL_COMMAND, SHELL_MAIN, 0);
        ClosePopup(TRUE);
        PumpFor(100);
    }
    ~Program() {
        if (m_hWnd) DestroyWindow(m_hWnd);
        PumpFor(10);
        g_hMainWnd = nullptr;
        m_sim.reset();
        unsetenv("QRX_TIME_SCALE");
        qrx::ReloadHostConfig();
        if (!m_root.empty()) std::filesystem::remove_all(m_root);
    }
    COperationWnd* Page() const { return g_MainFrame.m_pOperationWnd; }
    // The program's own CPU time so far, in milliseconds: every thread but the simulated MCU's.
    double ProgramCpuMs() const {
        long long ns = 0;
        for (const auto& [tid, t] : ThreadTimes())
            if (std::find(m_simThreads.begin(), m_simThreads.end(), tid) == m_simThreads.end()) ns += t;
        return ns / 1e6;
    }

private:
    std::vector<std::string> m_simThreads;
    std::string m_root;
    std::unique_ptr<sim::McuSim> m_sim;
    HWND m_hWnd = nullptr;
};

}  // namespace qrx_bench
