// The device's flash regions as the upgrade tests read them.
#pragma once
#include <string>
#include <vector>

#include "qrx/flashapi.h"

namespace system_harness {

inline const char* const kFlashRegions[] = {"xldr0", "xldr1", "xldr2", "xldr3", "eboot", "logo", "os"};

// The tag of a region's image in the current device root (an XLDR copy after its two words); "" when
// the region is not whole.
inline std::string RegionTag(const std::string& region) {
    std::vector<BYTE> image;
    if (!qrx::ReadFlashRegion(region, image)) return "";
    const bool xldr = region.rfind("xldr", 0) == 0;
    if (xldr) image.erase(image.begin(), image.begin() + (image.size() < 8 ? image.size() : 8));
    return qrx::FlashImageTag(xldr ? "xldr" : region, image);
}

}  // namespace system_harness
