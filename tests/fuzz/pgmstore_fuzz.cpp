// The program store's loader over arbitrary bytes, as the file is and cut or padded to the current
// and the older size, so the slot checks see fuzzed content too. Every loaded step must be finite
// and either disabled or of a kind the run executes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/ProgramStore.h"

namespace {

void CheckSlots(const ProgramSlot* slots) {
    for (int k = 0; k < PGM_SLOT_COUNT; ++k) {
        if (slots[k].dwValid > 1) abort();
        for (const ProgramStep& step : slots[k].steps) {
            if (!std::isfinite(step.dVoltage) || !std::isfinite(step.dCurrent)) {
                fprintf(stderr, "pgmstore: non-finite step\n");
                abort();
            }
            if (step.dwEnable != 0 && !IsProgramKind(step.byKind)) {
                fprintf(stderr, "pgmstore: enabled step of kind %u\n", step.byKind);
                abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ProgramSlot slots[PGM_SLOT_COUNT];
    std::vector<BYTE> image(data, data + size);
    size_t form = ParsePgmStore(image.data(), image.size(), slots);
    if (form != 0 && form != size) abort();
    CheckSlots(slots);
    for (size_t fixed : {size_t{PGM_FILE_SIZE}, size_t{PGM_OLD_FILE_SIZE}}) {
        image.assign(data, data + (size < fixed ? size : fixed));
        image.resize(fixed, 0);
        if (ParsePgmStore(image.data(), image.size(), slots) != fixed) abort();
        CheckSlots(slots);
    }
    return 0;
}
