// The calibration tool: a 03 07 and a 03 0A reply, escapes included, cut from the line and turned
// into the statics' texts.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "CalDlg.h"
#include "app/McuFrame.h"
#include "trimset/CalCore.h"

namespace {

std::vector<BYTE> Replies() {
    // Offsets and floats chosen so that bytes of 0x80 to 0x8F go out escaped.
    BYTE read[16] = {0x03, 0x07, 0xFF, 0x85};
    const float vscale = 1.0f, ascale = 0.9876f, dscale = 1.0123f;
    std::memcpy(read + 4, &vscale, 4);
    read[8] = 0x00;
    read[9] = 0x8A;
    std::memcpy(read + 10, &ascale, 4);
    read[14] = 0x28;
    read[15] = 0x80;
    BYTE ntc[12] = {0x03, 0x0A, 0xFF, 0x8C};
    std::memcpy(ntc + 4, &dscale, 4);
    ntc[8] = 0x05;
    ntc[9] = 0x14;
    ntc[10] = 0x05;
    ntc[11] = 0x8C;
    std::vector<BYTE> line(2 * MCU_FRAME_MAX(16));
    DWORD n = McuEncodeFrame(read, sizeof read, line.data(), static_cast<DWORD>(line.size()));
    n += McuEncodeFrame(ntc, sizeof ntc, line.data() + n, static_cast<DWORD>(line.size()) - n);
    line.resize(n);
    return line;
}

void BM_CalReplyReceive(benchmark::State& state) {
    const std::vector<BYTE> line = Replies();
    CCalReceiver receiver;
    CalValues values;
    CalTexts texts;
    int shown = 0;
    for (auto _ : state) {
        for (BYTE b : line) {
            if (!receiver.Push(b)) continue;
            WPARAM w = 0;
            shown += CalHandleReply(receiver.Frame(), receiver.Length(), TRUE, FALSE, values, texts, &w) == WM_CAL_VALUES;
        }
        benchmark::DoNotOptimize(texts);
    }
    if (shown != 2 * static_cast<int>(state.iterations())) state.SkipWithError("the replies were not taken");
}
BENCHMARK(BM_CalReplyReceive)->Unit(benchmark::kMicrosecond);

INT_PTR CALLBACK PlainDialogProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

// Template 102 made into a dialog with its 39 controls and painted once; the line and its thread
// are left out, as the page benchmark leaves out its data.
void BM_CalDialogOpen(benchmark::State& state) {
    InitCommonControls();
    const std::vector<WORD> tpl = BuildDialogTemplate(CalibrationTemplate());
    for (auto _ : state) {
        HWND dlg = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(tpl.data()), nullptr,
                                              PlainDialogProc, 0);
        if (!dlg || !GetDlgItem(dlg, IDC_CAL_EXIT)) {
            state.SkipWithError("the dialog was not made with its controls");
            break;
        }
        ShowWindow(dlg, SW_SHOW);
        UpdateWindow(dlg);
        state.PauseTiming();
        DestroyWindow(dlg);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_CalDialogOpen)->Unit(benchmark::kMillisecond);

}  // namespace
