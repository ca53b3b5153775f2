// One measurement poll of the operation thread: GetCurrentStatus against the simulated MCU on a
// pseudo-terminal, wall time and the calling thread's CPU time.
#include <benchmark/benchmark.h>

#if __has_include("app/MicomPort.h") && __has_include("sim/McuSim.h")
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <string>

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

// A device root of its own, so the port map of a real one is left alone.
class BenchRoot {
public:
    BenchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qrx-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
        const char* old = getenv("QRX_DEVICE_ROOT");
        if (old != nullptr) m_old = old;
        setenv("QRX_DEVICE_ROOT", m_path.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    ~BenchRoot() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
        if (m_old.empty()) {
            unsetenv("QRX_DEVICE_ROOT");
        } else {
            setenv("QRX_DEVICE_ROOT", m_old.c_str(), 1);
        }
        qrx::ReloadHostConfig();
    }
    bool Ok() const { return !m_path.empty(); }

private:
    std::string m_path;
    std::string m_old;
};

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
