// BMP encoding: opaque 24-bit pictures, rows bottom-up, as the device's bitmap loaders take them.
#pragma once
#include <cstdint>
#include <vector>

#include "Canvas.h"

namespace mkimages {

// The alpha channel is dropped: BMP members are drawn opaque.
bool EncodeBmp(const Rgba& image, std::vector<uint8_t>& out);

}  // namespace mkimages
