// One measurement poll of the operation thread: GetCurrentStatus against the simulated MCU on a
// pseudo-terminal, wall time and the calling thread's CPU time.
#include <benchmark/benchmark.h>

#if __has_include("app/MicomPort.h") && __has_include("sim/McuSim.h")
#include <time.h>

#include <string>

#include "BenchRoot.h"
#include "app/MicomPort.h"
#include "qrx/host.h"
#include "sim/McuSim.h"

namespace {

const int kBenchPort = 4;

double ThreadCpuMs() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void BM_McuTransaction(benchmark::State& state) {
    BenchRoot root;
    if (!root.Ok()) {
        state.SkipWithError("no temporary device root");
        return;
    }
    sim::McuSimConfig config;
    config.port = kBenchPort;
    sim::McuSim mcu(config);
    if (!mcu.Start()) {
        state.SkipWithError(mcu.Error().c_str());
        return;
    }
    CMicomPort port(nullptr);
    if (!port.Open(kBenchPort, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY)) {
        state.SkipWithError("MCU port does not open");
        return;
    }
    McuStatusRecord record = {};
    double cpuMs = 0.0;
    int failures = 0;
    for (auto _ : state) {
        double start = ThreadCpuMs();
        if (!GetCurrentStatus(&port, &record)) ++failures;
        cpuMs += ThreadCpuMs() - start;
        benchmark::DoNotOptimize(record);
    }
    state.counters["cpu_ms"] = benchmark::Counter(cpuMs, benchmark::Counter::kAvgIterations);
    state.counters["failures"] = failures;
    port.Close();
    mcu.Stop();
}

}  // namespace

BENCHMARK(BM_McuTransaction)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
