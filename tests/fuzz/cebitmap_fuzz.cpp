// CCeBitmap's BMP reader over arbitrary bytes, then its plain, colour-key and part drawing.
#include <cstddef>
#include <cstdint>

#include "FuzzCanvas.h"
#include "numpad/CeBitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    CCeBitmap bitmap;
    if (!bitmap.LoadFromMemory(data, static_cast<DWORD>(size))) return 0;
    FuzzCanvas canvas(40, 32);
    RECT all{-3, 2, 37, 40};
    bitmap.Draw(canvas.dc(), &all, 0);
    bitmap.Draw(canvas.dc(), &all, 1);
    RECT part{5, 5, 30, 20};
    bitmap.DrawPart(canvas.dc(), &part, bitmap.GetWidth() / 2, bitmap.GetHeight() - 1);
    return 0;
}
