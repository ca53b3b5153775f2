// The time graph: appending one second of samples with its new segment, and redrawing a whole page.
// The graph stands alone (no page): what is measured is its own drawing and the copy to a screen-sized
// target, as a page paint would ask for it.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <memory>

#include "ui/controls/Graph.h"

namespace {

constexpr int kChannels = 5;
constexpr int kLength = 360000;

const COLORREF kColours[kChannels + 1] = {RGB(0, 255, 0), RGB(255, 0, 0), RGB(0, 160, 0),
                                          RGB(160, 0, 0), RGB(0, 0, 255), RGB(255, 128, 0)};

struct GraphBench {
    GraphBench() {
        auto rec = std::make_unique<LayoutControlRecord>();
        *rec = LayoutControlRecord{};
        rec->type = 25;
        rec->x = 10;
        rec->y = 60;
        rec->width = 780;
        rec->height = 360;
        rec->sndKind = -1;
        graph.reset(static_cast<CGraphCtrl*>(NewGraph(rec.get(), nullptr, nullptr, 0, 0)));
        graph->SetVisible(TRUE);
        graph->SetChannels(kChannels, kLength, kColours);
        const DWORD visible[kChannels] = {1, 1, 1, 1, 1};
        graph->SetChannelFlags(visible);
        graph->SetZoom(0, GRAPH_ZOOM_PAGE);
        graph->ComputeScales();
        target = CreateCompatibleDC(nullptr);
        surface = CreateCompatibleBitmap(target, 800, 480);
        old = SelectObject(target, surface);
    }
    ~GraphBench() {
        graph.reset();
        SelectObject(target, old);
        DeleteObject(surface);
        DeleteDC(target);
    }
    // A charge-like second: voltages rising, currents tapering, a slow temperature.
    void Sample(int t, int* out) const {
        out[0] = 120 + (t % 1800) / 30;
        out[1] = 150 - (t % 1800) / 20;
        out[2] = 110 + (t % 900) / 15;
        out[3] = 100 - (t % 600) / 10;
        out[4] = 250 + (t % 3600) / 60;
        out[5] = (t / 300) % 2;
    }

    std::unique_ptr<CGraphCtrl> graph;
    HDC target = nullptr;
    HBITMAP surface = nullptr;
    HGDIOBJ old = nullptr;
};

GraphBench& Bench() {
    static GraphBench bench;
    return bench;
}

void BM_GraphAppendSample(benchmark::State& state) {
    GraphBench& bench = Bench();
    bench.graph->ClearData();
    bench.graph->SetFurthestPage(0);
    bench.graph->OnPaint(bench.target);
    int samples[kChannels + 1];
    for (auto _ : state) {
        int t = bench.graph->GetSampleCount();
        if (t >= kLength) {
            state.PauseTiming();
            bench.graph->ClearData();
            t = 0;
            state.ResumeTiming();
        }
        bench.Sample(t, samples);
        bench.graph->AddData(samples, kChannels, TRUE);
        bench.graph->OnPaint(bench.target);
    }
}
BENCHMARK(BM_GraphAppendSample)->Unit(benchmark::kMicrosecond);

void BM_GraphRedrawPage(benchmark::State& state) {
    GraphBench& bench = Bench();
    bench.graph->ClearData();
    int samples[kChannels + 1];
    for (int t = 0; t < 1800; ++t) {
        bench.Sample(t, samples);
        bench.graph->PutData(samples, kChannels);
    }
    for (auto _ : state) {
        bench.graph->SetPage(0);
        bench.graph->OnPaint(bench.target);
    }
    if (bench.graph->GetSampleCount() != 1800) state.SkipWithError("the page was not filled");
}
BENCHMARK(BM_GraphRedrawPage)->Unit(benchmark::kMillisecond);

}  // namespace
