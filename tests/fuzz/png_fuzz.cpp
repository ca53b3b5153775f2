// The PNG decoder over arbitrary bytes, then every drawing path over what it decoded.
#include <cstddef>
#include <cstdint>

#include "FuzzCanvas.h"
#include "ui/DibImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    CDibImage image(data, static_cast<DWORD>(size), DIBIMAGE_PNG);
    if (!image.IsValid()) return 0;
    FuzzCanvas canvas(48, 40);
    image.Draw(canvas.dc(), 3, 2);
    image.Draw(canvas.dc(), -5, -7, 37, 23);
    image.Draw(canvas.dc(), 40, 30, 3, 61);
    image.SetAlphaMax(100);
    image.SetTransIndex(0);
    image.Draw(canvas.dc(), 1, 1, 20, 20);
    for (LONG y = -1; y <= image.GetHeight(); y += 7)
        for (LONG x = -1; x <= image.GetWidth(); x += 5) image.GetPixelIndex(x, y);
    return 0;
}
