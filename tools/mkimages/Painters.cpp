// The drawing routines behind the kinds of an image set, in the one look of the device: a dark
// charcoal ground, one amber accent, white text.
#include <algorithm>
#include <cmath>

#include "ImageSet.h"

namespace mkimages {
namespace {

const COLORREF kScreen = RGB(0x1B, 0x1D, 0x20);
const COLORREF kPanel = RGB(0x25, 0x28, 0x2C);
const COLORREF kPanelHigh = RGB(0x30, 0x34, 0x39);
const COLORREF kEdge = RGB(0x44, 0x4A, 0x51);
const COLORREF kAccent = RGB(0xFF, 0xB0, 0x20);
const COLORREF kText = RGB(0xFF, 0xFF, 0xFF);
const COLORREF kTextDim = RGB(0x7D, 0x83, 0x8A);
const COLORREF kDisabled = RGB(0x20, 0x23, 0x26);

RectF Whole(const ImageEntry& s) { return {0, 0, double(s.width), double(s.height)}; }

// A page or popup ground: rounded panel with an edge line and an optional title band.
class PanelDrawer : public ImageDrawer {
public:
    explicit PanelDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        RectF r = Whole(m_s);
        double radius = m_s.Int("radius"), border = m_s.Int("border");
        p.FillRound(r, radius, kPanel);
        std::u16string title = m_s.Text("title");
        if (!title.empty()) {
            double band = std::min<double>(m_s.Int("titlebar"), r.Height());
            p.FillRound({r.left, r.top, r.right, r.top + band + radius}, radius, kPanelHigh);
            p.Fill({r.left, r.top + band, r.right, r.top + band + radius}, kPanel);
            p.Fill({r.left + border, r.top + band - 2, r.right - border, r.top + band}, kAccent);
            p.Text({r.left + radius, r.top, r.right - radius, r.top + band - 2}, title, band * 0.45, true, kText);
        }
        if (border > 0) p.FrameRound(r, radius, border, kEdge);
    }

private:
    const ImageEntry& m_s;
};

// A push button in one of its three states.
class ButtonDrawer : public ImageDrawer {
public:
    explicit ButtonDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        RectF r = Whole(m_s);
        double radius = m_s.Int("radius");
        double edge = std::max(2.0, std::round(std::min(r.Width(), r.Height()) / 30));
        const std::string& state = m_s.Raw("state");
        COLORREF fill = kPanelHigh, frame = kAccent, text = kText;
        if (state == "pressed") {
            fill = kAccent;
            frame = kAccent;
            text = kScreen;
        } else if (state == "disabled") {
            fill = kDisabled;
            frame = kEdge;
            text = kTextDim;
        }
        p.FillRound(r, radius, fill);
        p.FrameRound(r, radius, edge, frame);
        double size = m_s.Int("size");
        if (size <= 0) size = std::min(r.Height() * 0.4, 28.0);
        p.Text(r.Inset(edge), m_s.Text("label"), size, true, text);
    }

private:
    const ImageEntry& m_s;
};

// One frame of the charging animation: a battery filling with the accent colour, frame 0 empty and
// the last one full, with a bolt across it.
class ChargeDrawer : public ImageDrawer {
public:
    explicit ChargeDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        double w = m_s.width, h = m_s.height;
        std::u16string label = m_s.Text("label");
        double area = label.empty() ? h : h * 0.74;
        double bw = std::min(w * 0.62, area * 1.1), bh = bw * 0.52, cap = bw * 0.08;
        double left = (w - bw - cap) / 2, top = (area - bh) / 2 + (label.empty() ? 0 : h * 0.04);
        RectF body{left, top, left + bw, top + bh};
        double t = std::max(2.0, bw * 0.06);
        p.FrameRound(body, bw * 0.09, t, kText);
        p.FillRound({body.right - t * 0.5, top + bh * 0.3, body.right + cap, top + bh * 0.7}, cap * 0.4, kText);

        int of = std::max(2, m_s.Int("of"));
        double level = std::clamp(double(m_s.Int("frame")) / (of - 1), 0.0, 1.0);
        RectF inner = body.Inset(t * 1.8);
        if (level > 0)
            p.FillRound({inner.left, inner.top, inner.left + inner.Width() * level, inner.bottom}, t * 0.5, kAccent);

        // The bolt gets a ground-coloured rim so that it stays readable over the fill.
        double cx = (body.left + body.right) / 2, cy = (body.top + body.bottom) / 2, s = bh * 0.34;
        const PointF bolt[] = {{0.4, -1.0}, {-0.6, 0.22}, {0.02, 0.22}, {-0.4, 1.0}, {0.6, -0.22}, {-0.02, -0.22}};
        for (int pass = 0; pass < 2; ++pass) {
            double k = pass == 0 ? s * 1.25 : s;
            std::vector<PointF> pts;
            for (const PointF& b : bolt) pts.push_back({cx + b.x * k, cy + b.y * k});
            p.FillPolygon(pts, pass == 0 ? kScreen : kText);
        }
        if (!label.empty()) p.Text({0, area, w, h}, label, h * 0.12, true, kText);
    }

private:
    const ImageEntry& m_s;
};

template <class D>
std::unique_ptr<ImageDrawer> Make(const ImageEntry& s) {
    return std::make_unique<D>(s);
}

}  // namespace

const std::vector<KindInfo>& Kinds() {
    static const std::vector<KindInfo> kinds = {
        {"panel",
         {{"radius", ParamType::Int, 0, 200, nullptr, "12"},
          {"border", ParamType::Int, 0, 20, nullptr, "2"},
          {"title", ParamType::Text, 0, 0, nullptr, ""},
          {"titlebar", ParamType::Int, 8, 200, nullptr, "40"}},
         2,
         &Make<PanelDrawer>},
        {"button",
         {{"state", ParamType::Choice, 0, 0, "normal|pressed|disabled", "normal"},
          {"label", ParamType::Text, 0, 0, nullptr, ""},
          {"radius", ParamType::Int, 0, 200, nullptr, "10"},
          {"size", ParamType::Int, 0, 200, nullptr, "0"}},
         4,
         &Make<ButtonDrawer>},
        {"charge",
         {{"frame", ParamType::Int, 0, 99, nullptr, "0"},
          {"of", ParamType::Int, 2, 100, nullptr, "8"},
          {"label", ParamType::Text, 0, 0, nullptr, ""}},
         4,
         &Make<ChargeDrawer>},
    };
    return kinds;
}

const KindInfo* FindKind(const std::string& name) {
    for (const KindInfo& k : Kinds())
        if (name == k.name) return &k;
    return nullptr;
}

}  // namespace mkimages
