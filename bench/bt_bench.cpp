// One request over Bluetooth: the simulated host sends "$QRX,B7,A5", the library (in-process) hands it
// to a notify window on its own UI thread, which answers BT_SendCommand("B7,1,"), and the host reads
// the frame. Real time per round trip, and the process's CPU time (module included) as cpu_ms.
#include <benchmark/benchmark.h>

#if __has_include("radiolink/Radiolink.h") && __has_include("sim/BtSim.h")
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "BenchRoot.h"
#include "radiolink/Radiolink.h"
#include "sim/BtSim.h"

namespace {

double ProcessCpuMs() {
    timespec t = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::atomic<int> g_connected{0};

LRESULT CALLBACK AnswerProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == BT_MSG_STATE)
        g_connected = static_cast<int>(wParam);
    else if (msg == 1132)
        BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>("B7,1,")));
    else
        return DefWindowProcW(hWnd, msg, wParam, lParam);
    return 0;
}

void BM_BtRequestRoundTrip(benchmark::State& state) {
    BenchRoot root;
    if (!root.Ok()) {
        state.SkipWithError("no temporary device root");
        return;
    }
    sim::BtSim module;  // BCD100 on COM4
    if (!module.Start()) {
        state.SkipWithError(module.Error().c_str());
        return;
    }
    std::atomic<HWND> notify{nullptr};
    DWORD uiThread = 0;
    std::thread ui([&] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = AnswerProc;
        wc.lpszClassName = u"BT_BENCH";
        RegisterClassW(&wc);
        uiThread = GetCurrentThreadId();
        notify = CreateWindowExW(0, u"BT_BENCH", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        DestroyWindow(notify);
    });
    while (!notify.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_connected = 0;
    BYTE settings[1024] = {};
    char name[] = "QRX-BENCH";
    module.HostConnect();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    if (BT_Open(4, notify, settings, nullptr, name, 3)) {
        while (!g_connected && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!g_connected) {
        state.SkipWithError("the host did not get in");
    } else {
        const std::string request = "$QRX,B7,A5\r\n", reply = "$QRX,B7,1,02\r\n";
        int failures = 0;
        const double cpuStart = ProcessCpuMs();
        for (auto _ : state) {
            module.HostTake();
            module.HostSend(request);
            if (!module.WaitHost(reply, 2000)) ++failures;
        }
        state.counters["cpu_ms"] = benchmark::Counter(ProcessCpuMs() - cpuStart, benchmark::Counter::kAvgIterations);
        state.counters["failures"] = failures;
    }
    BT_Close();
    PostThreadMessageW(uiThread, WM_QUIT, 0, 0);
    ui.join();
    module.Stop();
}

}  // namespace

BENCHMARK(BM_BtRequestRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
