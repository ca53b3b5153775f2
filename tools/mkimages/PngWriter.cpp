#include "PngWriter.h"

#include <png.h>

#include <csetjmp>
#include <new>

namespace mkimages {
namespace {

void Append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    try {
        out->insert(out->end(), data, data + length);
    } catch (...) {
        // No C++ exception may cross libpng's C frames.
        png_error(png, "out of memory");
    }
}

void Flush(png_structp) {}

// Kept free of C++ objects with destructors between setjmp and the end, since libpng reports
// errors by longjmp.
bool Encode(const uint8_t* rows, int width, int height, int channels, std::vector<uint8_t>* out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, out, Append, Flush);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    size_t stride = static_cast<size_t>(width) * channels;
    for (int y = 0; y < height; ++y) png_write_row(png, const_cast<png_bytep>(rows + y * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool EncodePng(const Rgba& image, std::vector<uint8_t>& out) {
    out.clear();
    size_t count = static_cast<size_t>(image.width) * image.height;
    if (image.width < 1 || image.height < 1 || image.pixels.size() != count * 4) return false;
    bool alpha = image.HasAlpha();
    std::vector<uint8_t> rgb;
    const uint8_t* rows = image.pixels.data();
    if (!alpha) {
        rgb.resize(count * 3);
        for (size_t i = 0; i < count; ++i)
            for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = image.pixels[i * 4 + c];
        rows = rgb.data();
    }
    if (!Encode(rows, image.width, image.height, alpha ? 4 : 3, &out)) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace mkimages
