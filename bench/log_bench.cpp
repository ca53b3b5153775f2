// A run's CSV log: one second's row formatted and appended as the writer does it (open, append, close),
// and a 4 MiB log read whole into the time graph as the log view reads it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <windows.h>
#include <qrx/host.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/OperationLog.h"
#include "app/StatusRecord.h"
#include "ui/controls/Graph.h"

namespace {

StatusValues Values(DWORD second) {
    StatusValues v{};
    GetSystemTime(&v.time);
    v.setVolts = 14.4;
    v.setAmps = 10;
    v.setSeconds = 36000;
    v.volts = 12.0 + (second % 600) / 300.0;
    v.amps = 9.5;
    v.elapsed = second;
    v.temperature = 25;
    v.mode = 1;
    v.frequency = 60;
    return v;
}

// A device root of its own with an SD card and its Log folder; removed afterwards.
struct LogRoot {
    LogRoot() {
        char pattern[] = "/tmp/qrx-log-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        path = pattern;
        std::filesystem::create_directories(path + "/SD Card/Log");
        setenv("QRX_DEVICE_ROOT", path.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    ~LogRoot() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

void BM_CsvRowWrite(benchmark::State& state) {
    LogRoot root;
    const WCHAR* file = u"\\SD Card\\Log\\2024-03-05_141502_R.CSV";
    DWORD second = 0;
    for (auto _ : state) {
        char record[STATUS_RECORD_MAX], row[LOG_ROW_MAX];
        const size_t n = FormatStatusRecord(Values(second++), record, sizeof record);
        const size_t m = StatusRecordToRow(record, n, row, sizeof row);
        if (!m || !AppendLogRow(file, row, static_cast<DWORD>(m))) state.SkipWithError("row not written");
        // A run of 100 hours at most: start the file again before it grows past one.
        if (second == 360000) {
            DeleteFileW(file);
            second = 0;
        }
    }
}
BENCHMARK(BM_CsvRowWrite)->Unit(benchmark::kMicrosecond);

void BM_LogViewRead4MiB(benchmark::State& state) {
    LogRoot root;
    std::string text;
    for (DWORD s = 0; text.size() + 80 <= 4194304; ++s) {
        char record[STATUS_RECORD_MAX], row[LOG_ROW_MAX];
        const size_t n = FormatStatusRecord(Values(s), record, sizeof record);
        text.append(row, StatusRecordToRow(record, n, row, sizeof row));
    }
    std::ofstream(root.path + "/SD Card/Log/big.CSV", std::ios::binary) << text;

    auto rec = std::make_unique<LayoutControlRecord>();
    *rec = LayoutControlRecord{};
    rec->type = 25;
    rec->width = 600;
    rec->height = 300;
    rec->sndKind = -1;
    std::unique_ptr<CGraphCtrl> graph(static_cast<CGraphCtrl*>(NewGraph(rec.get(), nullptr, nullptr, 0, 0)));
    const COLORREF colours[6] = {};
    graph->SetChannels(5, 360000, colours);
    for (auto _ : state) {
        graph->ClearData();
        size_t rows = 0;
        const int result = ReadLogRows(u"\\SD Card\\Log\\big.CSV", [&](const LogRow& r) {
            const int samples[6] = {static_cast<int>(r.setVolts * 10), static_cast<int>(r.setAmps * 10),
                                    static_cast<int>(r.volts * 10),    static_cast<int>(r.amps * 10),
                                    r.temperature * 10,                1};
            return graph->PutData(samples, 5) != 0;
        }, &rows);
        if (result != LOG_READ_OK || rows != text.size() / 80) state.SkipWithError("log not read whole");
    }
}
BENCHMARK(BM_LogViewRead4MiB)->Unit(benchmark::kMillisecond);

}  // namespace
