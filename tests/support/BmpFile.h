// The bytes of a bottom-up 24-bit BMP file of one colour (0xRRGGBB), for pictures put in a device root.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

inline std::string SolidBmpFile(int width, int height, uint32_t rgb) {
    const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) / 4 * 4;
    std::string f(54 + stride * static_cast<uint32_t>(height), '\0');
    auto put = [&f](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    f[0] = 'B';
    f[1] = 'M';
    put(2, static_cast<uint32_t>(f.size()), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(width), 4);
    put(22, static_cast<uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            put(54 + stride * static_cast<uint32_t>(y) + static_cast<uint32_t>(x) * 3, rgb, 3);
    return f;
}
