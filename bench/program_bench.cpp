// The program page: shown with six filled rows, and a stored program loaded into its rows, each
// painted. Compare with BM_OpenPage40Controls of the same run.
#include <benchmark/benchmark.h>

#include "QrxProgram.h"
#include "app/PgmWnd.h"
#include "ui/ShellManager.h"
#include "ui/ShellPanel.h"

namespace {

using namespace qrx_bench;

void FillSteps(ProgramStep* steps, double volts) {
    for (int i = 0; i < 6; ++i) {
        ProgramStep& s = steps[i];
        s = ProgramStep{};
        s.dwEnable = 1;
        s.dVoltage = volts + i;
        s.dCurrent = 5.5 + i;
        s.dwTime = 3600u * (i + 1) + 60u * i;
        s.dwDirection = i % 2;
        s.byKind = static_cast<BYTE>(1 + i);
    }
}

// The program page of a fresh main program; null (and the benchmark skipped) when it did not come up.
CPgmWnd* ProgramPage(benchmark::State& state, const Program& program) {
    COperationWnd* page = program.Page();
    if (!page || !page->m_pPgm || !page->m_pPgm->IsCreated()) {
        state.SkipWithError("no program page");
        return nullptr;
    }
    return page->m_pPgm;
}

void Paint() {
    if (CShellPanel* panel = CShellManager::Instance().FindShell(SHELL_PROGRAM)) UpdateWindow(panel->GetHwnd());
}

void BM_ProgramPageShow(benchmark::State& state) {
    Program program(false, nullptr);
    CPgmWnd* pgm = ProgramPage(state, program);
    if (!pgm) return;
    FillSteps(g_OpMode.steps, 12.0);
    for (auto _ : state) {
        pgm->Show(5);
        Paint();
        state.PauseTiming();
        pgm->Show(0);
        PumpFor(0);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ProgramPageShow)->Unit(benchmark::kMillisecond);

void BM_ProgramSlotLoad(benchmark::State& state) {
    Program program(false, nullptr);
    CPgmWnd* pgm = ProgramPage(state, program);
    if (!pgm) return;
    // Two stored programs taken in turn, so every row changes at each load.
    FillSteps(g_OpMode.steps, 12.0);
    pgm->Show(5);
    pgm->OnCommand(SHELL_PROGRAM, PGM_SAVE, 0);
    pgm->OnCommand(SHELL_PROGRAM, PGM_SLOT_1, 0);
    ClosePopup(TRUE);
    FillSteps(g_OpMode.steps, 24.0);
    pgm->OnCommand(SHELL_PROGRAM, PGM_CANCEL, 0);
    pgm->OnCommand(SHELL_PROGRAM, PGM_SAVE, 0);
    pgm->OnCommand(SHELL_PROGRAM, PGM_SLOT_1 + 1, 0);
    ClosePopup(TRUE);
    Paint();
    int slot = 0;
    for (auto _ : state) {
        pgm->OnCommand(SHELL_PROGRAM, PGM_SLOT_1 + slot, 0);
        Paint();
        slot ^= 1;
    }
}
BENCHMARK(BM_ProgramSlotLoad)->Unit(benchmark::kMillisecond);

}  // namespace
