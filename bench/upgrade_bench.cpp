// The upgrader's heavy steps: checking and extracting a device-sized flash part (16 MiB NK, 512 KiB
// EBoot, 10 KiB XLDR, 256 KiB logo, 16 KiB PMC) against plain inflating of the same entries into
// memory; and one data frame with its reply from the simulated PMC loader on a pseudo-terminal.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <windows.h>

#include "MkPackage.h"
#include "qrx/host.h"
#include "sim/McuSim.h"
#include "sim/PmcLoader.h"
#include "ui/ZipArchive.h"
#include "upgrader/ComIO.h"
#include "upgrader/FlashPart.h"
#include "upgrader/PartArchive.h"

namespace {

// A device root of its own for the whole benchmark program run, with the package on its card.
struct BenchRoot {
    BenchRoot() {
        char folder[] = "/tmp/qrx-bench-upgrade-XXXXXX";
        if (!mkdtemp(folder)) return;
        path = folder;
        setenv("QRX_DEVICE_ROOT", folder, 1);
        qrx::ReloadHostConfig();
        CreateDirectoryW(u"\\SD Card", nullptr);
        CreateDirectoryW(u"\\NAND Flash", nullptr);
        mkpackage::Options o;
        o.flash = o.pmc = true;
        o.xldrSize = 10 * 1024;
        o.ebootSize = 512 * 1024;
        o.osSize = 16 * 1024 * 1024;
        o.logoSize = 256 * 1024;
        o.pmcSize = 16 * 1024;
        o.out = path + "/SD Card/QRX3FWDATA.FWD";
        ok = mkpackage::Run(o, std::cerr) == 0;
        ok = ok && ReadFwDataHeader(u"\\SD Card\\QRX3FWDATA.FWD", &info) == FWH_OK;
    }
    ~BenchRoot() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string path;
    bool ok = false;
    FwPackageInfo info;
};

BenchRoot& Root() {
    static BenchRoot root;
    return root;
}

void BM_PackageExtractFlashPart(benchmark::State& state) {
    BenchRoot& root = Root();
    if (!root.ok) return state.SkipWithError("no package");
    for (auto _ : state) {
        FlashPlan plan;
        std::string why;
        if (ExtractFlashPart(u"\\SD Card\\QRX3FWDATA.FWD", root.info, BoardModel{2.3, false}, u"\\NAND Flash\\Staging",
                             plan, why) != FlashPartError::None)
            return state.SkipWithError(why.c_str());
        state.PauseTiming();
        RemoveStagedFlashFiles(u"\\NAND Flash\\Staging");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PackageExtractFlashPart)->Unit(benchmark::kMillisecond);

// zlib through the same archive reader, into memory only: the floor for the extraction above.
void BM_PackageInflateReference(benchmark::State& state) {
    BenchRoot& root = Root();
    if (!root.ok) return state.SkipWithError("no package");
    std::vector<BYTE> part;
    int count = 0;
    for (auto _ : state) {
        HZIP zip = OpenPackagePart(u"\\SD Card\\QRX3FWDATA.FWD", root.info.flashOffset, root.info.flashSize, part, count);
        if (!zip) return state.SkipWithError("no archive");
        std::vector<BYTE> buffer(0x4000);
        ZipItemInfo item{};
        for (int i = 0; i < count; ++i) {
            GetZipItem(zip, i, &item);
            while (UnzipZipItemToMemory(zip, i, buffer.data(), static_cast<DWORD>(buffer.size())) == ZR_MORE) {
            }
        }
        CloseZip(zip);
    }
}
BENCHMARK(BM_PackageInflateReference)->Unit(benchmark::kMillisecond);

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The caller's CPU: the simulator runs in this process too, so its share is measured apart on its thread.
void BM_IapDataFrame(benchmark::State& state) {
    if (!Root().ok) return state.SkipWithError("no root");
    sim::PmcLoader loader;
    sim::McuSimConfig config;
    config.port = 2;
    sim::AttachPmcLoader(config, loader);
    sim::McuSim mcu(config);
    if (!mcu.Start()) return state.SkipWithError("no simulator");
    CComIO com;
    if (!com.Open(2, 115200) || !com.SendGotoIap()) return state.SkipWithError("no port");
    while (!loader.Owns()) Sleep(1);
    std::vector<BYTE> image(0x4000, 0x5A);
    if (!com.CMD_Reset()) return state.SkipWithError("no loader");
    DWORD sent = 0, offset = 0;
    com.CMD_SendData(image.data(), static_cast<DWORD>(image.size()), 0, &sent);
    offset = sent;
    double cpu = 0;
    for (auto _ : state) {
        if (offset + 56 >= image.size()) {
            state.PauseTiming();
            com.CMD_Reset();
            com.CMD_SendData(image.data(), static_cast<DWORD>(image.size()), 0, &sent);
            offset = sent;
            state.ResumeTiming();
        }
        double before = ThreadCpuMs();
        if (!com.CMD_SendData(image.data(), static_cast<DWORD>(image.size()), offset, &sent))
            return state.SkipWithError("bad reply");
        cpu += ThreadCpuMs() - before;
        offset += sent;
    }
    state.counters["cpu_ms"] = benchmark::Counter(cpu / static_cast<double>(state.iterations()));
    com.Close();
    mcu.Stop();
}
BENCHMARK(BM_IapDataFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
