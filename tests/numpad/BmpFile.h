// BMP file images built in memory for the bitmap and keypad tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

struct BmpSpec {
    int32_t width = 2;
    int32_t height = 2;
    uint16_t bpp = 24;
    uint32_t compression = 0;
    uint32_t used = 0;
    std::vector<uint32_t> table;  // colours or masks, written after the header
    std::vector<uint8_t> pixels;  // stored rows, bottom-up unless height < 0
};

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
    size_t offset = 54 + 4 * s.table.size();
    std::vector<uint8_t> b(offset + s.pixels.size(), 0);
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, static_cast<uint32_t>(b.size()));
    Put32(b, 10, static_cast<uint32_t>(offset));
    Put32(b, 14, 40);
    Put32(b, 18, static_cast<uint32_t>(s.width));
    Put32(b, 22, static_cast<uint32_t>(s.height));
    b[26] = 1;
    b[28] = static_cast<uint8_t>(s.bpp);
    Put32(b, 30, s.compression);
    Put32(b, 46, s.used);
    for (size_t i = 0; i < s.table.size(); ++i) Put32(b, 54 + 4 * i, s.table[i]);
    if (!s.pixels.empty()) std::memcpy(b.data() + offset, s.pixels.data(), s.pixels.size());
    return b;
}
