// The calibration tool's receive path over arbitrary bytes: through the port's receive ring in
// chunks, the reply state machine, and the reply handling into the statics' texts. Nothing may
// reach past a buffer, every text ends within its array, every frame within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "trimset/CalCore.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "cal reply: %s\n", what);
    abort();
}

template <size_t N>
void Terminated(const WCHAR (&text)[N]) {
    Check(wcsnlen(text, N) < N, "a text without its end");
}

}  // namespace

// Byte 0: bit 0 PT100 taken, bit 1 the Z-330; byte 1: the chunk size; the rest: the line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 16384) return 0;
    const BOOL takePt100 = data[0] & 1;
    const BOOL model = (data[0] >> 1) & 1;
    const size_t chunk = static_cast<size_t>(data[1]) * 17 + 1;
    CUartRing ring;
    CCalReceiver receiver;
    CalValues values;
    CalTexts texts;
    for (size_t at = 2; at < size; at += chunk) {
        for (size_t i = at; i < size && i < at + chunk; ++i) ring.Put(data[i]);
        BYTE b;
        while (ring.Get(&b)) {
            if (!receiver.Push(b)) continue;
            Check(receiver.Length() >= 3 && receiver.Length() <= CAL_FRAME_MAX, "a frame beyond its bounds");
            BYTE sum = static_cast<BYTE>(0x81 + 0x82);
            for (DWORD i = 0; i < receiver.Length(); ++i) sum = static_cast<BYTE>(sum + receiver.Frame()[i]);
            Check(sum == 0, "a frame that does not sum to 0 passed");
            WPARAM w = 0;
            const UINT msg = CalHandleReply(receiver.Frame(), receiver.Length(), takePt100, model, values, texts, &w);
            Check(msg == 0 || (msg >= WM_CAL_EEPROM_WRITTEN && msg <= WM_CAL_VALUES), "an unknown message");
            Check(w <= 0xFF, "a wParam beyond a byte");
        }
    }
    Terminated(texts.volt);
    Terminated(texts.amp);
    Terminated(texts.ntc1);
    Terminated(texts.ntc2);
    return 0;
}
