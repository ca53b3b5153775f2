// Reading every control record of a page-sized layout script from the handed-over text.
#include <benchmark/benchmark.h>

#include <string>

#include "ui/LayoutScript.h"
#include "ui/ZipArchive.h"

namespace {

// About 40 KB: [shell], 15 pages and 300 controls with the keys the shipped script uses.
std::string MakeScript() {
    std::string s = "; layout script\r\n[shell]\r\nmain=0\r\n\r\n";
    const int pages = 15;
    const int controlsPerPage = 20;
    for (int p = 0; p < pages; ++p) {
        std::string page = std::to_string(p);
        s += "[shell" + page + "]\r\npanel=0,61,800,418,,\r\nimage=page" + page + "_bg.bmp\r\n\r\n";
        for (int c = 0; c < controlsPerPage; ++c) {
            std::string n = std::to_string(c);
            s += "[shell" + page + "-" + n + "]" + (c == 0 ? "\t;first\r\n" : "\r\n");
            s += "type=" + std::string(c % 2 == 0 ? "1" : "0") + ",1,0xFF00FF,0,1\r\n";
            s += "pos=" + std::to_string(10 + c * 7) + "," + std::to_string(20 + c * 3) + ",120,48\r\n";
            s += "image=b" + n + "_nor.bmp,b" + n + "_pre.bmp,,\r\n";
            s += "cmd=0,1025," + page + "," + n + "\r\n";
            s += "text=1,0,0x949494,0x000000,T" + n + "\r\n";
            s += "font=,20,0,0,0\r\n";
        }
    }
    return s;
}

void BM_LayoutReadAllControls(benchmark::State& state) {
    static const std::string script = MakeScript();
    SetLayoutScript(script.data(), static_cast<DWORD>(script.size()));
    int records = 0;
    for (auto _ : state) {
        CLayoutScript reader;
        WCHAR path[MAX_PATH] = u"";
        if (reader.Open(path, FALSE) != 0) {
            state.SkipWithError("the script did not open");
            break;
        }
        records = 0;
        LayoutControlRecord record;
        for (int p = 0; p < 15; ++p) {
            for (int c = 0; reader.ReadControlSection(p, c, &record) == 0; ++c) {
                benchmark::DoNotOptimize(record);
                ++records;
            }
        }
    }
    SetLayoutScript(nullptr, 0);
    state.counters["records"] = records;
    state.counters["bytes"] = static_cast<double>(script.size());
}
BENCHMARK(BM_LayoutReadAllControls)->Unit(benchmark::kMillisecond);

}  // namespace
