// The BMP loader over arbitrary bytes, then the plain and colour-key drawing of what it loaded.
#include <cstddef>
#include <cstdint>

#include "FuzzCanvas.h"
#include "ui/UiBitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    CUiBitmap bitmap;
    if (bitmap.LoadBmpData(data, static_cast<DWORD>(size), u"fuzz.bmp") < 0) return 0;
    FuzzCanvas canvas(40, 32);
    LONG w = bitmap.GetWidth(), h = bitmap.GetHeight();
    bitmap.Draw(canvas.dc(), 2, 3);
    bitmap.DrawStretch(canvas.dc(), -3, 1, 25, 17, 1, 1, w, h);
    bitmap.DrawPart(canvas.dc(), 5, 5, w / 2, h / 2, w, h);
    bitmap.SetTransparent(TRUE, 0xFF00FF);
    bitmap.Draw(canvas.dc(), 0, 0);
    bitmap.DrawCropped(canvas.dc(), 1, 1, w / 3 + 1);
    bitmap.DrawSameRect(canvas.dc(), 0, 0, 30, 30);
    return 0;
}
