// The operation page's engine: one tick's work on a canned measurement record, and the main program's
// CPU time per device second with the page shown and the simulated MCU answering its polls.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <windows.h>
#include <qrx/host.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/AdminWnd.h"
#include "app/MainFrame.h"
#include "app/McuFrame.h"
#include "app/OperationWnd.h"
#include "app/SettingWnd.h"
#include "app/Settings.h"
#include "sim/McuSim.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"
#include "ui/controls/Graph.h"

#include "QrxProgram.h"

namespace {

using namespace qrx_bench;

// The MCU port with the simulated MCU's model in the caller's thread instead of the line: every
// command is built, framed, answered and decoded as on the wire, and each status poll is one battery
// second.
class DirectPort : public CMicomPort {
public:
    explicit DirectPort(const sim::McuConfig& config) : CMicomPort(nullptr), m_mcu(config) {}
    int Transact(const BYTE* payload, DWORD length, BYTE* reply) override {
        BYTE frame[MCU_FRAME_MAX(MCU_MAX_REQUEST)];
        const DWORD n = McuEncodeFrame(payload, length, frame, sizeof frame);
        const std::vector<BYTE>& answer = m_mcu.Exchange(frame, n);
        const DWORD got = McuDecodeFrame(answer.data(), static_cast<DWORD>(answer.size()), reply, MCU_REPLY_SIZE);
        return got >= 2 && reply[0] == payload[1] && reply[1] == payload[2] ? static_cast<int>(got) : 0;
    }
    sim::McuModel& Model() { return m_mcu.Model(); }

private:
    sim::McuDirect m_mcu;
};

sim::McuConfig LeadAcid60Ah(double soc) {
    sim::McuConfig config;
    config.battery.capacityAh = 60.0;
    config.battery.stateOfCharge = soc;
    return config;
}

// The program on a thread of its own that pumps its messages, as the UI thread does, so that a tick
// run here only marks what it changed, as the operation thread's tick does.
class UiThread {
public:
    UiThread() {
        m_thread = std::thread([this] {
            Program program(false, nullptr);
            m_page = program.Page();
            m_ready = true;
            while (!m_stop) PumpFor(5);
        });
        while (!m_ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~UiThread() {
        m_stop = true;
        m_thread.join();
    }
    COperationWnd* Page() const { return m_page; }

private:
    std::thread m_thread;
    std::atomic<bool> m_ready{false}, m_stop{false};
    COperationWnd* m_page = nullptr;
};

// The page on its UI thread with the simulated MCU's model as its port; null (and the benchmark
// skipped) when the page did not come up.
COperationWnd* DirectPage(benchmark::State& state, const UiThread& ui, DirectPort& port) {
    COperationWnd* page = ui.Page();
    if (!page) {
        state.SkipWithError("no operation page");
        return nullptr;
    }
    page->m_pMicomPort = &port;
    return page;
}

void BM_OperationTick(benchmark::State& state) {
    UiThread ui;
    DirectPort port(LeadAcid60Ah(0.2));
    COperationWnd* page = DirectPage(state, ui, port);
    if (!page) return;
    McuStatusRecord record{};
    GetCurrentStatus(&port, &record);
    page->RunTick(&record);
    g_OpMode.dVoltage = 14.4;
    g_OpMode.dCurrent = 10;
    g_OpMode.dwTime = 360000 - 1;
    if (page->StartRestoration(1) != 0) {
        state.SkipWithError("the Restoration did not start");
        return;
    }
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

// One device hour of a six-step Program on a 12 V 60 Ah battery at 20 %: 3600 ticks back to back, each
// a status poll answered by the model, the tick's labels, graph sample and step logic, and every step
// command built and answered.
void BM_ProgramRunDeviceHour(benchmark::State& state) {
    UiThread ui;
    DirectPort port(LeadAcid60Ah(0.2));
    COperationWnd* page = DirectPage(state, ui, port);
    if (!page) return;
    page->m_dwTickSeconds = 1;
    auto step = [](DWORD direction, int kind, double volts, double amps, DWORD seconds) {
        ProgramStep s{};
        s.dwEnable = 1;
        s.dwDirection = direction;
        s.byKind = static_cast<BYTE>(kind);
        s.dVoltage = volts;
        s.dCurrent = amps;
        s.dwTime = seconds;
        s.wCapacity = 60;
        return s;
    };
    const ProgramStep steps[6] = {step(0, 1, 14.4, 10, 600), step(0, 3, 14.4, 9, 600), step(1, 1, 11.8, 6, 300),
                                  step(0, 8, 14.4, 10, 900), step(0, 7, 14.4, 6, 600), step(0, 9, 14.4, 6, 3600)};
    McuStatusRecord record{};
    int polls = 0, failures = 0;
    for (auto _ : state) {
        state.PauseTiming();
        page->StopRun(0);
        port.Model().Battery().SetStateOfCharge(0.2);
        std::copy(std::begin(steps), std::end(steps), g_OpMode.steps);
        if (GetCurrentStatus(&port, &record)) page->RunTick(&record);
        if (page->StartProgram(1) != 0) {
            state.SkipWithError("the Program did not start");
            break;
        }
        state.ResumeTiming();
        for (int tick = 0; tick < 3600; ++tick) {
            const int ok = GetCurrentStatus(&port, &record);
            page->RunTick(ok ? &record : nullptr);
            ++polls;
            failures += !ok;
        }
    }
    state.counters["failed_polls"] = failures;
    state.counters["soc"] = port.Model().Battery().StateOfCharge();
    (void)polls;
}
BENCHMARK(BM_ProgramRunDeviceHour)->Unit(benchmark::kMillisecond);

void BM_OperationIdleSecond(benchmark::State& state) {
    Program program(true, "100");
    if (!program.Page()) {
        state.SkipWithError("no operation page");
        return;
    }
    double cpuMs = 0, deviceSeconds = 0;
    for (auto _ : state) {
        const double cpu0 = program.ProgramCpuMs();
        const DWORD t0 = GetTickCount();
        PumpFor(20000);
        cpuMs += program.ProgramCpuMs() - cpu0;
        deviceSeconds += (GetTickCount() - t0) / 1000.0;
    }
    state.counters["cpu_ms_per_s"] = deviceSeconds > 0 ? cpuMs / deviceSeconds : 0;
}
BENCHMARK(BM_OperationIdleSecond)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The setting page's clock: one tick of timer 4096, its six labels formatted and painted in one pass.
void BM_SettingClockTick(benchmark::State& state) {
    Program program(false, nullptr);
    CSettingWnd* page = g_MainFrame.m_pSettingWnd;
    if (!page) {
        state.SkipWithError("no setting page");
        return;
    }
    SendMessageW(g_hMainWnd, WM_SHELL_COMMAND, SHELL_MAIN, 1);
    PumpFor(100);
    CShellPanel* panel = CShellManager::Instance().FindShell(SHELL_SETTING);
    const HWND wnd = panel ? panel->GetHwnd() : nullptr;
    for (auto _ : state) {
        page->OnClockTimer();
        UpdateWindow(wnd);
    }
}
BENCHMARK(BM_SettingClockTick)->Unit(benchmark::kMicrosecond);

// The admin page's four measurement lines as the operation thread sets them each second, on a thread
// other than the page's, with the page shown.
void BM_AdminFeed(benchmark::State& state) {
    UiThread ui;
    CAdminWnd* admin = g_MainFrame.m_pAdminWnd;
    if (!ui.Page() || !admin) {
        state.SkipWithError("no admin page");
        return;
    }
    for (int i = 0; i < 6; ++i) SendMessageW(g_hMainWnd, WM_SHELL_COMMAND, SHELL_MAIN, kHiddenSequence[i]);
    SendMessageW(g_hMainWnd, WM_SHELL_COMMAND, SHELL_MAIN, 5);
    int i = 0;
    for (auto _ : state) {
        const int t = 20 + (i++ & 15);
        admin->SetTempText(t);
        admin->SetFrequencyText(t & 1 ? 50 : 60);
        admin->SetTransTempText(t + 10, t & 2);
        admin->SetHeatsinkText(t * 100, t & 4);
    }
}
BENCHMARK(BM_AdminFeed)->Unit(benchmark::kMicrosecond);

}  // namespace
