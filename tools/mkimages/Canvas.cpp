#include "Canvas.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace mkimages {
namespace {

using Span = std::pair<int, int>;
using RowSpans = std::function<void(int row, std::vector<Span>& spans)>;

// One 32-bit top-down DIB section selected into a memory DC.
class Surface {
public:
    Surface(int width, int height) : m_width(width), m_height(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        m_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_dc = CreateCompatibleDC(nullptr);
        if (m_bitmap && m_dc && bits) {
            m_old = SelectObject(m_dc, m_bitmap);
            m_bits = static_cast<const uint8_t*>(bits);
        }
    }
    ~Surface() {
        if (m_dc && m_old) SelectObject(m_dc, m_old);
        if (m_dc) DeleteDC(m_dc);
        if (m_bitmap) DeleteObject(m_bitmap);
    }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    bool Ok() const { return m_bits && m_old; }
    HDC Dc() const { return m_dc; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // B, G, R, unused; rows from the top.
    const uint8_t* Pixel(int x, int y) const { return m_bits + (static_cast<size_t>(y) * m_width + x) * 4; }

private:
    int m_width, m_height;
    HBITMAP m_bitmap = nullptr;
    HDC m_dc = nullptr;
    HGDIOBJ m_old = nullptr;
    const uint8_t* m_bits = nullptr;
};

class GdiPainter : public Painter {
public:
    GdiPainter(Surface& s, int scale) : m_s(s), m_scale(scale) {}

    void Fill(const RectF& r, COLORREF colour) override {
        RECT rc{Dev(r.left), Dev(r.top), Dev(r.right), Dev(r.bottom)};
        if (rc.right <= rc.left || rc.bottom <= rc.top) return;
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(m_s.Dc(), &rc, brush);
        DeleteObject(brush);
    }

    void FillRound(const RectF& r, double radius, COLORREF colour) override {
        HRGN rgn = RoundRegion(r, radius);
        FillRegion(rgn, colour);
        DeleteObject(rgn);
    }

    void FrameRound(const RectF& r, double radius, double thickness, COLORREF colour) override {
        HRGN outer = RoundRegion(r, radius);
        HRGN inner = RoundRegion(r.Inset(thickness), std::max(0.0, radius - thickness));
        CombineRgn(outer, outer, inner, RGN_DIFF);
        FillRegion(outer, colour);
        DeleteObject(inner);
        DeleteObject(outer);
    }

    void FillPolygon(const std::vector<PointF>& points, COLORREF colour) override {
        if (points.size() < 3) return;
        HRGN rgn = MakeRegion([&](int row, std::vector<Span>& spans) {
            double y = (row + 0.5) / m_scale;
            std::vector<double> xs;
            for (size_t i = 0; i < points.size(); ++i) {
                const PointF& a = points[i];
                const PointF& b = points[(i + 1) % points.size()];
                if ((a.y <= y && y < b.y) || (b.y <= y && y < a.y))
                    xs.push_back(a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y));
            }
            std::sort(xs.begin(), xs.end());
            for (size_t i = 0; i + 1 < xs.size(); i += 2) spans.emplace_back(Dev(xs[i]), Dev(xs[i + 1]));
        });
        FillRegion(rgn, colour);
        DeleteObject(rgn);
    }

    void Text(const RectF& r, const std::u16string& text, double size, bool bold, COLORREF colour) override {
        if (text.empty()) return;
        HFONT font = CreateFontW(-static_cast<int>(std::lround(size * m_scale)), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, 0,
                                 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                                 DEFAULT_PITCH | FF_SWISS, u"DejaVu Sans");
        if (!font) return;
        HGDIOBJ old = SelectObject(m_s.Dc(), font);
        SetBkMode(m_s.Dc(), TRANSPARENT);
        SetTextColor(m_s.Dc(), colour);
        RECT rc{Dev(r.left), Dev(r.top), Dev(r.right), Dev(r.bottom)};
        DrawTextW(m_s.Dc(), text.c_str(), static_cast<int>(text.size()), &rc,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
        SelectObject(m_s.Dc(), old);
        DeleteObject(font);
    }

private:
    int Dev(double v) const { return static_cast<int>(std::lround(v * m_scale)); }

    HRGN RoundRegion(const RectF& r, double radius) {
        double rad = std::clamp(radius, 0.0, std::min(r.Width(), r.Height()) / 2);
        return MakeRegion([&](int row, std::vector<Span>& spans) {
            double y = (row + 0.5) / m_scale;
            if (y < r.top || y >= r.bottom) return;
            double dy = 0;
            if (y < r.top + rad) dy = r.top + rad - y;
            else if (y > r.bottom - rad) dy = y - (r.bottom - rad);
            double dx = dy > 0 ? rad - std::sqrt(std::max(0.0, rad * rad - dy * dy)) : 0;
            spans.emplace_back(Dev(r.left + dx), Dev(r.right - dx));
        });
    }

    // Rows with the same spans as the row above become one rectangle, so straight sides stay cheap.
    HRGN MakeRegion(const RowSpans& rowSpans) {
        HRGN rgn = CreateRectRgn(0, 0, 0, 0);
        std::vector<Span> prev, cur;
        int start = 0;
        auto flush = [&](int end) {
            for (const Span& s : prev) {
                int x0 = std::clamp(s.first, 0, m_s.Width()), x1 = std::clamp(s.second, 0, m_s.Width());
                if (x1 <= x0) continue;
                HRGN part = CreateRectRgn(x0, start, x1, end);
                CombineRgn(rgn, rgn, part, RGN_OR);
                DeleteObject(part);
            }
        };
        for (int row = 0; row <= m_s.Height(); ++row) {
            cur.clear();
            if (row < m_s.Height()) rowSpans(row, cur);
            if (cur != prev || row == m_s.Height()) {
                flush(row);
                prev.swap(cur);
                start = row;
            }
        }
        return rgn;
    }

    void FillRegion(HRGN rgn, COLORREF colour) {
        if (!rgn) return;
        HBRUSH brush = CreateSolidBrush(colour);
        SelectClipRgn(m_s.Dc(), rgn);
        RECT all{0, 0, m_s.Width(), m_s.Height()};
        FillRect(m_s.Dc(), &all, brush);
        SelectClipRgn(m_s.Dc(), nullptr);
        DeleteObject(brush);
    }

    Surface& m_s;
    int m_scale;
};

bool DrawOn(Surface& s, const ImageDrawer& drawer, int scale, COLORREF backdrop) {
    if (!s.Ok()) return false;
    RECT all{0, 0, s.Width(), s.Height()};
    HBRUSH brush = CreateSolidBrush(backdrop);
    FillRect(s.Dc(), &all, brush);
    DeleteObject(brush);
    GdiPainter painter(s, scale);
    drawer.Draw(painter);
    return true;
}

// Mean of channel c over one scale x scale block.
int BlockMean(const Surface& s, int x, int y, int scale, int c) {
    int sum = 0;
    for (int dy = 0; dy < scale; ++dy)
        for (int dx = 0; dx < scale; ++dx) sum += s.Pixel(x * scale + dx, y * scale + dy)[c];
    int n = scale * scale;
    return (sum + n / 2) / n;
}

}  // namespace

bool Rgba::HasAlpha() const {
    for (size_t i = 3; i < pixels.size(); i += 4)
        if (pixels[i] != 255) return true;
    return false;
}

bool Render(const ImageDrawer& drawer, int width, int height, int scale, bool transparent, COLORREF backdrop,
            Rgba& out, std::string& error) {
    if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) {
        error = "image size out of range";
        return false;
    }
    scale = std::clamp(scale, 1, kMaxScale);
    Surface black(width * scale, height * scale);
    if (!DrawOn(black, drawer, scale, transparent ? RGB(0, 0, 0) : backdrop)) {
        error = "the platform could not make a drawing surface";
        return false;
    }
    out.width = width;
    out.height = height;
    out.pixels.assign(static_cast<size_t>(width) * height * 4, 0);
    if (!transparent) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                uint8_t* px = &out.pixels[(static_cast<size_t>(y) * width + x) * 4];
                for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(BlockMean(black, x, y, scale, 2 - c));
                px[3] = 255;
            }
        return true;
    }
    Surface white(width * scale, height * scale);
    if (!DrawOn(white, drawer, scale, RGB(255, 255, 255))) {
        error = "the platform could not make a drawing surface";
        return false;
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int b[3], w[3], diff = 0;
            for (int c = 0; c < 3; ++c) {
                b[c] = BlockMean(black, x, y, scale, 2 - c);
                w[c] = BlockMean(white, x, y, scale, 2 - c);
                diff += std::clamp(w[c] - b[c], 0, 255);
            }
            int alpha = 255 - (diff + 1) / 3;
            uint8_t* px = &out.pixels[(static_cast<size_t>(y) * width + x) * 4];
            px[3] = static_cast<uint8_t>(alpha);
            // Over black each channel is colour x coverage; undo that to keep straight alpha.
            for (int c = 0; c < 3; ++c)
                px[c] = alpha == 0 ? 0 : static_cast<uint8_t>(std::min(255, (b[c] * 255 + alpha / 2) / alpha));
        }
    return true;
}

}  // namespace mkimages
