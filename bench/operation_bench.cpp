// The operation page's engine: one tick's work on a canned measurement record, and the main program's
// CPU time per device second with the page shown and the simulated MCU answering its polls.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <windows.h>
#include <qrx/host.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/MainFrame.h"
#include "app/OperationWnd.h"
#include "app/Settings.h"
#include "sim/McuSim.h"
#include "ui/controls/Graph.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void PumpFor(DWORD deviceMs) {
    const DWORD end = GetTickCount() + deviceMs;
    MSG m;
    do {
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) continue;
            DispatchMessageW(&m);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (static_cast<LONG>(GetTickCount() - end) < 0);
}

double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
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
            m_sim = std::make_unique<sim::McuSim>();
            if (!m_sim->Start()) return;
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

private:
    std::string m_root;
    std::unique_ptr<sim::McuSim> m_sim;
    HWND m_hWnd = nullptr;
};

void BM_OperationTick(benchmark::State& state) {
    Program program(false, nullptr);
    COperationWnd* page = program.Page();
    if (!page) {
        state.SkipWithError("no operation page");
        return;
    }
    page->BeginRunForTest(RUN_STATE_RESTORATION);
    McuStatusRecord record{};
    record.Volt = 1385;
    record.Current = 1020;
    record.BatteryTemp = 2710;
    record.TransTemp = 4100;
    record.HeatsinkTemp = 3800;
    record.State = 2 << 3;
    int i = 0;
    for (auto _ : state) {
        // A value that moves every tick, so every label and the graph change.
        record.Volt = static_cast<WORD>(1385 + (i++ & 63));
        page->RunTick(&record);
        if (page->Graph()->GetSampleCount() >= OPW_GRAPH_LENGTH - 1) {
            state.PauseTiming();
            page->Graph()->ClearData();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_OperationTick)->Unit(benchmark::kMicrosecond);

void BM_OperationIdleSecond(benchmark::State& state) {
    Program program(true, "100");
    if (!program.Page()) {
        state.SkipWithError("no operation page");
        return;
    }
    double cpuMs = 0, deviceSeconds = 0;
    for (auto _ : state) {
        const double cpu0 = ProcessCpuMs();
        const DWORD t0 = GetTickCount();
        PumpFor(20000);
        cpuMs += ProcessCpuMs() - cpu0;
        deviceSeconds += (GetTickCount() - t0) / 1000.0;
    }
    state.counters["cpu_ms_per_s"] = deviceSeconds > 0 ? cpuMs / deviceSeconds : 0;
}
BENCHMARK(BM_OperationIdleSecond)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
