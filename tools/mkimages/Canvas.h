// A drawing surface for the image builder: shapes and text in image pixels, drawn with the platform's
// GDI on a surface several times larger and averaged down, so edges and glyphs come out smooth.
// Images with transparency are drawn twice, over black and over white; the difference of the two
// gives each pixel's coverage.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mkimages {

struct PointF {
    double x, y;
};

struct RectF {
    double left, top, right, bottom;
    double Width() const { return right - left; }
    double Height() const { return bottom - top; }
    RectF Inset(double d) const { return {left + d, top + d, right - d, bottom - d}; }
};

// Pixels as the image builder hands them on: rows from the top, 4 bytes R, G, B, A each.
struct Rgba {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    bool HasAlpha() const;
};

class Painter {
public:
    virtual ~Painter() = default;
    virtual void Fill(const RectF& r, COLORREF colour) = 0;
    virtual void FillRound(const RectF& r, double radius, COLORREF colour) = 0;
    // A ring of the given thickness inside the rounded rectangle's edge.
    virtual void FrameRound(const RectF& r, double radius, double thickness, COLORREF colour) = 0;
    // Even-odd filled polygon.
    virtual void FillPolygon(const std::vector<PointF>& points, COLORREF colour) = 0;
    // One line of text centred in r; size is the character height in image pixels.
    virtual void Text(const RectF& r, const std::u16string& text, double size, bool bold, COLORREF colour) = 0;
};

class ImageDrawer {
public:
    virtual ~ImageDrawer() = default;
    virtual void Draw(Painter& p) const = 0;
};

// Largest side of an image and the largest supersampling factor.
constexpr int kMaxImageSide = 2048;
constexpr int kMaxScale = 4;

// Draws width x height pixels at the given supersampling (clamped so the surface stays bounded).
// transparent false: the picture is drawn over backdrop and every pixel is opaque. False with
// error set when the platform could not make a surface.
bool Render(const ImageDrawer& drawer, int width, int height, int scale, bool transparent, COLORREF backdrop,
            Rgba& out, std::string& error);

}  // namespace mkimages
