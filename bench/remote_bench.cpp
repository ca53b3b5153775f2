// The wired link: a B0 request from the simulated host through the pseudo-terminal, the link's reader
// and the owner window's queue to its reply back at the host; and the cut and check of one frame.
#include <benchmark/benchmark.h>

#if __has_include("app/LinkPort.h") && __has_include("sim/LinkSim.h")
#include <string>
#include <thread>

#include "BenchRoot.h"
#include "app/LinkPort.h"
#include "app/StatusRecord.h"
#include "qrx/host.h"
#include "sim/LinkSim.h"

namespace {

// The device side's answer to a queued B0: the record of an idle charger.
LRESULT CALLBACK LinkOwnerProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (lParam != LINK_QUEUED_REQUEST) return DefWindowProcW(hWnd, msg, wParam, lParam);
    auto* link = reinterpret_cast<CLinkPort*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    LinkRequest r;
    if (!link || !link->TakeRequest(&r)) return 0;
    StatusValues v{};
    GetSystemTime(&v.time);
    v.setVolts = 14.4;
    v.setAmps = 6;
    v.volts = 12.5;
    v.frequency = 60;
    char record[256];
    if (FormatStatusRecord(v, record, sizeof record)) link->SendRecord(record);
    return 0;
}

void BM_RemoteRoundTrip(benchmark::State& state) {
    BenchRoot root;
    if (!root.Ok()) {
        state.SkipWithError("no device root");
        return;
    }
    {
        sim::LinkSim host;
        if (!host.Start()) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        HWND owner = nullptr;
        CLinkPort* link = nullptr;
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread device([&] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = LinkOwnerProc;
            wc.lpszClassName = u"QRX_BENCH_LINK";
            RegisterClassW(&wc);
            owner = CreateWindowExW(0, u"QRX_BENCH_LINK", u"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
            link = new CLinkPort(owner, nullptr);
            SetWindowLongPtrW(owner, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(link));
            link->Open(5, 115200, 8, ONESTOPBIT, NOPARITY);
            SetEvent(ready);
            MSG m;
            while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
            delete link;
            DestroyWindow(owner);
        });
        WaitForSingleObject(ready, INFINITE);
        const std::string request = sim::LinkFrame("B0,");
        for (auto _ : state) {
            host.Take();
            host.Send(request);
            if (!host.WaitFrame("B0,", 5000)) {
                state.SkipWithError("no reply");
                break;
            }
        }
        PostMessageW(owner, WM_QUIT, 0, 0);
        device.join();
        CloseHandle(ready);
    }
}
BENCHMARK(BM_RemoteRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RemoteParse(benchmark::State& state) {
    // An E3 frame of 80 bytes: the longest field cut there is.
    std::string body = "E3,1,0,014.4,005.0,01:30,9,1,0120,1,";
    while (sim::LinkFrame(body).size() < 80) body += "0";
    const std::string frame = sim::LinkFrame(body);
    CLinkPort link(nullptr, nullptr);
    LinkRequest r;
    for (auto _ : state) {
        link.Feed(reinterpret_cast<const BYTE*>(frame.data()), frame.size());
        benchmark::DoNotOptimize(link.TakeRequest(&r));
    }
}
BENCHMARK(BM_RemoteParse);

}  // namespace
#endif
