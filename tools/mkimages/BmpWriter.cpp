#include "BmpWriter.h"

namespace mkimages {
namespace {

void Put(std::vector<uint8_t>& b, size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

bool EncodeBmp(const Rgba& image, std::vector<uint8_t>& out) {
    if (image.width < 1 || image.height < 1 || image.pixels.size() != size_t(image.width) * image.height * 4)
        return false;
    const size_t stride = (size_t(image.width) * 3 + 3) / 4 * 4;
    const size_t offset = 54;
    out.assign(offset + stride * image.height, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put(out, 2, static_cast<uint32_t>(out.size()), 4);
    Put(out, 10, offset, 4);
    Put(out, 14, 40, 4);
    Put(out, 18, static_cast<uint32_t>(image.width), 4);
    Put(out, 22, static_cast<uint32_t>(image.height), 4);
    Put(out, 26, 1, 2);
    Put(out, 28, 24, 2);
    Put(out, 34, static_cast<uint32_t>(stride * image.height), 4);
    Put(out, 38, 2835, 4);  // 72 dpi
    Put(out, 42, 2835, 4);
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* src = &image.pixels[size_t(y) * image.width * 4];
        uint8_t* row = &out[offset + stride * (image.height - 1 - y)];
        for (int x = 0; x < image.width; ++x, src += 4, row += 3) {
            row[0] = src[2];
            row[1] = src[1];
            row[2] = src[0];
        }
    }
    return true;
}

}  // namespace mkimages
