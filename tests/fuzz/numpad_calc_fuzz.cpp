// The keypad's calculator over random key sequences: the entry stays within its digits and its
// buffer, the display text is bounded, and an answer is 0..65535 tenths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "numpad/NumpadCalc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    CNumpadCalc calc;
    for (size_t i = 0; i < size; ++i) {
        CNumpadCalc::Action a = calc.Press(data[i] % (NPK_KEYS + 1));
        if (a == CNumpadCalc::Insert && calc.GetAnswer() > NP_MAX_TENTHS) std::abort();
        const char* entry = calc.GetEntry();
        size_t n = strnlen(entry, NP_ENTRY_SIZE + 1);
        if (n > NP_ENTRY_SIZE || static_cast<int>(n) != calc.GetEntryLength()) std::abort();
        int digits = 0;
        for (size_t k = 0; k < n; ++k) digits += entry[k] >= '0' && entry[k] <= '9';
        if (digits > NP_MAX_DIGITS) std::abort();
        if (strnlen(calc.DisplayText(), NP_ENTRY_SIZE + 1) > NP_ENTRY_SIZE) std::abort();
        if (a == CNumpadCalc::Insert || a == CNumpadCalc::Off) calc.Clear();
    }
    return 0;
}
