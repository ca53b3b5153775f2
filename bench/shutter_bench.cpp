// The screen lock: its archive opened from memory with the five pictures loaded (two full screens),
// and one key drawn pressed and normal again on the lock window (to set against BM_BlitFullScreen).
#include <benchmark/benchmark.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <vector>

#if __has_include("shutter/LockWnd.h") && defined(QRX_BUILD_DIR)
#include "shutter/LockWnd.h"

namespace {

std::vector<char> ShutterZip() {
    std::ifstream in(std::string(QRX_BUILD_DIR) + "/assets/Shutter/Shutter.zip", std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void BM_LockScreenLoad(benchmark::State& state) {
    const std::vector<char> zip = ShutterZip();
    const WCHAR* const names[] = {u"operation_lock.bmp", u"operation_lock_pre.bmp", u"popup_bg.bmp",
                                  u"popup_btn_nor.bmp", u"popup_btn_pre.bmp"};
    for (auto _ : state) {
        CKitArchive archive;
        CCeBitmap pictures[5];
        int loaded = archive.OpenMemory(zip.data(), static_cast<DWORD>(zip.size()));
        for (int i = 0; i < 5; ++i) loaded += archive.LoadBitmap(names[i], pictures[i]);
        if (loaded != 6) {
            state.SkipWithError("the archive or a picture did not load");
            return;
        }
        benchmark::DoNotOptimize(pictures[1].GetDC());
    }
    state.SetLabel("two full screens and three popup pictures");
}
BENCHMARK(BM_LockScreenLoad)->Unit(benchmark::kMillisecond);

void BM_LockKeyRedraw(benchmark::State& state) {
    const std::vector<char> zip = ShutterZip();
    CKitArchive archive;
    archive.OpenMemory(zip.data(), static_cast<DWORD>(zip.size()));
    CLockWnd::Register(nullptr);
    CLockWnd lock({0, 1}, &archive);
    if (!lock.Open(nullptr)) {
        state.SkipWithError("the lock window did not open");
        return;
    }
    for (auto _ : state) {
        lock.DrawKey(4, true);
        lock.DrawKey(4, false);
    }
    DestroyWindow(lock.GetHwnd());
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}
BENCHMARK(BM_LockKeyRedraw);

}  // namespace
#endif
