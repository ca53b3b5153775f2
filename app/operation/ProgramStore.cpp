#include "app/ProgramStore.h"

#include <cmath>
#include <cstring>

#include "app/SettingsFile.h"

const WCHAR kPgmStoreFile[] = u"\\NAND Flash\\pgmset.dat";

namespace {

// The sum has only ever covered the first step; kept so stores written before still check.
constexpr size_t kSummedBytes = sizeof(ProgramStep);
constexpr size_t kOldSummedBytes = OLD_PROGRAM_STEP_SIZE;

}  // namespace

void CleanProgramStep(ProgramStep* step) {
    if (!std::isfinite(step->dVoltage)) step->dVoltage = 0.0;
    if (!std::isfinite(step->dCurrent)) step->dCurrent = 0.0;
    if (!IsProgramKind(step->byKind)) step->dwEnable = 0;
}

size_t ParsePgmStore(const BYTE* data, size_t size, ProgramSlot slots[PGM_SLOT_COUNT]) {
    std::memset(slots, 0, sizeof(ProgramSlot) * PGM_SLOT_COUNT);
    if (size == PGM_FILE_SIZE) {
        std::memcpy(slots, data, PGM_FILE_SIZE);
        for (int k = 0; k < PGM_SLOT_COUNT; ++k) {
            ProgramSlot& slot = slots[k];
            slot.dwValid = ByteSum(&slot, kSummedBytes) == slot.bySum ? 1 : 0;
        }
    } else if (size == PGM_OLD_FILE_SIZE) {
        for (int k = 0; k < PGM_SLOT_COUNT; ++k) {
            const BYTE* old = data + k * PGM_OLD_SLOT_SIZE;
            ProgramSlot& slot = slots[k];
            for (int i = 0; i < 6; ++i) ReadOldProgramStep(old + i * OLD_PROGRAM_STEP_SIZE, &slot.steps[i]);
            slot.dwValid = ByteSum(old, kOldSummedBytes) == old[PGM_OLD_SLOT_SIZE - 1] ? 1 : 0;
            slot.bySum = ByteSum(&slot, kSummedBytes);
        }
    } else {
        return 0;
    }
    for (int k = 0; k < PGM_SLOT_COUNT; ++k)
        for (ProgramStep& step : slots[k].steps) CleanProgramStep(&step);
    return size;
}

BOOL LoadPgmFile(const WCHAR* path, ProgramSlot slots[PGM_SLOT_COUNT]) {
    BYTE image[PGM_FILE_SIZE];
    DWORD size = 0;
    // size is the file's length, so a longer file is no store at all.
    if (!ReadDataFile(path, image, sizeof(image), &size)) size = 0;
    if (ParsePgmStore(image, size, slots) == PGM_FILE_SIZE) return TRUE;
    // The older form keeps its slots (and the page their valid flags); any other size starts empty.
    ProgramSlot sealed[PGM_SLOT_COUNT];
    std::memcpy(sealed, slots, sizeof(sealed));
    if (SavePgmFile(path, sealed)) OutputDebugStringW(u"[PGMWND]SavePgmFile done\r\n");
    return FALSE;
}

BOOL SavePgmFile(const WCHAR* path, ProgramSlot slots[PGM_SLOT_COUNT]) {
    for (int k = 0; k < PGM_SLOT_COUNT; ++k) {
        slots[k].bySum = ByteSum(&slots[k], kSummedBytes);
        slots[k].dwValid = 1;
    }
    return WriteDataFile(path, slots, PGM_FILE_SIZE) ? TRUE : FALSE;
}
