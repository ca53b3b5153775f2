// PNG encoding with an alpha channel (the platform's own PNG saver keeps RGB only).
#pragma once
#include <cstdint>
#include <vector>

#include "Canvas.h"

namespace mkimages {

// An image whose pixels are all opaque is written as RGB, any other as RGBA. The bytes depend only
// on the pixels (no time stamp), so a rebuild gives the same file.
bool EncodePng(const Rgba& image, std::vector<uint8_t>& out);

}  // namespace mkimages
