// The keypad library: a full-screen CCeBitmap draw (to set against BM_BlitFullScreen) and one key
// press and release on the open keypad through its dialog procedure, drawing included.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <vector>

#include "numpad/CeBitmap.h"
#include "numpad/Numpad.h"

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 480;

std::vector<BYTE> FullScreenBmp() {
    const DWORD stride = kWidth * 3, bytes = stride * kHeight;
    std::vector<BYTE> b(54 + bytes);
    auto put = [&](size_t at, DWORD v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put(2, static_cast<DWORD>(b.size()));
    put(10, 54);
    put(14, 40);
    put(18, kWidth);
    put(22, kHeight);
    b[26] = 1;
    b[28] = 24;
    for (DWORD i = 0; i < bytes; ++i) b[54 + i] = static_cast<BYTE>(i * 7);
    return b;
}

void BM_CeBitmapDraw(benchmark::State& state) {
    CCeBitmap picture;
    std::vector<BYTE> file = FullScreenBmp();
    if (!picture.LoadFromMemory(file.data(), static_cast<DWORD>(file.size()))) {
        state.SkipWithError("the picture did not load");
        return;
    }
    HDC screen = CreateCompatibleDC(nullptr);
    HBITMAP target = CreateCompatibleBitmap(screen, kWidth, kHeight);
    HGDIOBJ old = SelectObject(screen, target);
    RECT all{0, 0, kWidth, kHeight};
    for (auto _ : state) {
        picture.Draw(screen, &all, 0);
        benchmark::DoNotOptimize(GetPixel(screen, kWidth - 1, kHeight - 1));
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kWidth) * kHeight * 4);
    SelectObject(screen, old);
    DeleteObject(target);
    DeleteDC(screen);
}
BENCHMARK(BM_CeBitmapDraw);

benchmark::State* g_state = nullptr;

// Runs inside the keypad's modal loop: the dialog is open and drawn.
LRESULT CALLBACK BenchOwnerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m != WM_APP) return DefWindowProcW(h, m, w, l);
    HWND dialog = FindWindowW(nullptr, u"POPUP_DIALOG");
    if (!dialog) {
        g_state->SkipWithError("the keypad did not open");
        return 0;
    }
    // Key "1" (8,239 to 70,297) and C (197,239 to 259,297).
    const LPARAM one = MAKELPARAM(39, 268), clear = MAKELPARAM(228, 268);
    int typed = 0;
    for (auto _ : *g_state) {
        SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, one);
        SendMessageW(dialog, WM_LBUTTONUP, 0, one);
        if (++typed == 15) {
            g_state->PauseTiming();
            SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, clear);
            SendMessageW(dialog, WM_LBUTTONUP, 0, clear);
            typed = 0;
            g_state->ResumeTiming();
        }
    }
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    return 0;
}

void BM_NumpadKeyPress(benchmark::State& state) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = BenchOwnerProc;
    wc.lpszClassName = u"NumpadBenchOwner";
    RegisterClassW(&wc);
    HWND owner = CreateWindowExW(0, u"NumpadBenchOwner", u"", WS_POPUP | WS_VISIBLE, 0, 0, kWidth, kHeight, nullptr,
                                 nullptr, nullptr, nullptr);
    g_state = &state;
    PostMessageW(owner, WM_APP, 0, 0);
    QRXNumpad_Create(owner, nullptr, 4);
    g_state = nullptr;
    DestroyWindow(owner);
}
BENCHMARK(BM_NumpadKeyPress)->Unit(benchmark::kMicrosecond);

}  // namespace
