// The drawing routines behind the kinds of an image set, in the one look of the device: a dark
// charcoal ground, one amber accent, white text.
#include <algorithm>
#include <cmath>
#include <cstdio>

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
        if (!title.empty() || m_s.Int("band")) {
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

// A vertical colour ramp, for page grounds; an optional accent rule along the bottom edge.
class GradientDrawer : public ImageDrawer {
public:
    explicit GradientDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        COLORREF a = m_s.Colour("top"), b = m_s.Colour("bottom");
        double w = m_s.width, h = m_s.height;
        for (int y = 0; y < m_s.height; ++y) {
            double t = m_s.height > 1 ? double(y) / (m_s.height - 1) : 0;
            auto mix = [t](int x, int z) { return std::lround(x + (z - x) * t); };
            p.Fill({0, double(y), w, y + 1.0},
                   RGB(mix(GetRValue(a), GetRValue(b)), mix(GetGValue(a), GetGValue(b)), mix(GetBValue(a), GetBValue(b))));
        }
        int rule = m_s.Int("rule");
        if (rule > 0) p.Fill({0, h - rule, w, h}, m_s.Colour("rulecolour"));
    }

private:
    const ImageEntry& m_s;
};

// Nothing at all: controls that must show the page behind them get this instead of no image.
class ClearDrawer : public ImageDrawer {
public:
    explicit ClearDrawer(const ImageEntry&) {}
    void Draw(Painter&) const override {}
};

// A bar of the given width between two points, as a polygon.
void Bar(Painter& p, PointF a, PointF b, double width, COLORREF colour) {
    double dx = b.x - a.x, dy = b.y - a.y, len = std::hypot(dx, dy);
    if (len <= 0) return;
    double nx = -dy / len * width / 2, ny = dx / len * width / 2;
    p.FillPolygon({{a.x + nx, a.y + ny}, {b.x + nx, b.y + ny}, {b.x - nx, b.y - ny}, {a.x - nx, a.y - ny}}, colour);
}

const PointF kBolt[] = {{0.4, -1.0}, {-0.6, 0.22}, {0.02, 0.22}, {-0.4, 1.0}, {0.6, -0.22}, {-0.02, -0.22}};

void BoltAt(Painter& p, double cx, double cy, double k, COLORREF colour) {
    std::vector<PointF> pts;
    for (const PointF& b : kBolt) pts.push_back({cx + b.x * k, cy + b.y * k});
    p.FillPolygon(pts, colour);
}

// The pictograms of buttons and status icons, drawn in a box of side s around (cx, cy). Holes are
// left open, so an icon over a transparent ground shows the page through them.
void Glyph(Painter& p, const std::string& name, double cx, double cy, double s, COLORREF c) {
    auto P = [&](double x, double y) { return PointF{cx + x * s, cy + y * s}; };
    auto R = [&](double l, double t, double r, double b) { return RectF{cx + l * s, cy + t * s, cx + r * s, cy + b * s}; };
    if (name == "home") {
        p.FillPolygon({P(0, -0.48), P(0.5, -0.02), P(-0.5, -0.02)}, c);
        p.FillPolygon({P(-0.33, -0.06), P(0.33, -0.06), P(0.33, 0.45), P(0.1, 0.45), P(0.1, 0.16), P(-0.1, 0.16),
                       P(-0.1, 0.45), P(-0.33, 0.45)},
                      c);
    } else if (name == "manual") {
        const double knob[3] = {-0.18, 0.2, -0.02};
        for (int i = 0; i < 3; ++i) {
            double x = -0.3 + 0.3 * i;
            p.FillRound(R(x - 0.035, -0.45, x + 0.035, 0.45), 0.03 * s, c);
            p.FillRound(R(x - 0.12, knob[i] - 0.08, x + 0.12, knob[i] + 0.08), 0.04 * s, c);
        }
    } else if (name == "auto") {
        p.FrameRound(R(-0.46, -0.46, 0.46, 0.46), 0.46 * s, 0.09 * s, c);
        p.Text(R(-0.4, -0.4, 0.4, 0.4), u"A", 0.52 * s, true, c);
    } else if (name == "program") {
        for (int i = 0; i < 3; ++i) {
            double y = -0.3 + 0.3 * i;
            p.FillRound(R(-0.45, y - 0.08, -0.29, y + 0.08), 0.03 * s, c);
            p.FillRound(R(-0.17, y - 0.06, 0.45, y + 0.06), 0.03 * s, c);
        }
    } else if (name == "filter") {
        p.FillPolygon({P(-0.46, -0.4), P(0.46, -0.4), P(0.1, 0.04), P(0.1, 0.44), P(-0.1, 0.32), P(-0.1, 0.04)}, c);
    } else if (name == "log") {
        p.FrameRound(R(-0.34, -0.46, 0.34, 0.46), 0.07 * s, 0.08 * s, c);
        for (int i = 0; i < 3; ++i) {
            double y = -0.2 + 0.2 * i;
            p.Fill(R(-0.19, y - 0.035, i == 2 ? 0.06 : 0.19, y + 0.035), c);
        }
    } else if (name == "lock") {
        p.FrameRound(R(-0.25, -0.5, 0.25, 0.2), 0.25 * s, 0.09 * s, c);
        p.FillRound(R(-0.36, -0.06, 0.36, 0.46), 0.07 * s, c);
    } else if (name == "bluetooth") {
        double w = 0.09 * s;
        Bar(p, P(0, -0.47), P(0, 0.47), w, c);
        Bar(p, P(-0.03, -0.47), P(0.25, -0.23), w, c);
        Bar(p, P(0.25, -0.23), P(-0.27, 0.22), w, c);
        Bar(p, P(-0.03, 0.47), P(0.25, 0.23), w, c);
        Bar(p, P(0.25, 0.23), P(-0.27, -0.22), w, c);
    } else if (name == "pc") {
        p.FrameRound(R(-0.47, -0.4, 0.47, 0.2), 0.06 * s, 0.08 * s, c);
        p.Fill(R(-0.06, 0.2, 0.06, 0.34), c);
        p.FillRound(R(-0.26, 0.32, 0.26, 0.42), 0.04 * s, c);
    } else if (name == "unit") {
        p.FrameRound(R(-0.42, -0.2, 0.42, 0.44), 0.07 * s, 0.08 * s, c);
        p.Fill(R(-0.22, -0.44, -0.1, -0.2), c);
        p.Fill(R(0.1, -0.44, 0.22, -0.2), c);
        p.Fill(R(-0.2, 0.06, 0.2, 0.18), c);
    } else if (name == "operation") {
        p.FrameRound(R(-0.46, -0.27, 0.36, 0.27), 0.07 * s, 0.07 * s, c);
        p.FillRound(R(0.36, -0.1, 0.46, 0.1), 0.03 * s, c);
        BoltAt(p, cx - 0.05 * s, cy, 0.2 * s, c);
    } else if (name == "left" || name == "right" || name == "up" || name == "down") {
        // A solid triangle pointing the named way.
        const double k = name == "left" || name == "up" ? -1 : 1;
        if (name == "left" || name == "right")
            p.FillPolygon({P(0.3 * k, 0), P(-0.25 * k, -0.38), P(-0.25 * k, 0.38)}, c);
        else
            p.FillPolygon({P(0, 0.3 * k), P(-0.38, -0.25 * k), P(0.38, -0.25 * k)}, c);
    } else if (name == "setting") {
        const double kPi = 3.14159265358979;
        for (int k = 0; k < 8; ++k) {
            double a = k * kPi / 4, ca = std::cos(a), sa = std::sin(a);
            auto T = [&](double r, double t) { return P(r * ca - t * sa, r * sa + t * ca); };
            p.FillPolygon({T(0.25, -0.09), T(0.47, -0.075), T(0.47, 0.075), T(0.25, 0.09)}, c);
        }
        p.FrameRound(R(-0.36, -0.36, 0.36, 0.36), 0.36 * s, 0.2 * s, c);
    }
}

const char kGlyphs[] =
    "home|manual|auto|program|filter|log|lock|bluetooth|pc|unit|operation|setting|left|right|up|down";

// A pictogram button or status icon. Push-button states: normal (pictogram only), pressed (on a
// plate with the accent edge), disabled (dimmed); status states: on (accent) and off (dim).
class IconDrawer : public ImageDrawer {
public:
    explicit IconDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        RectF r = Whole(m_s);
        const std::string& state = m_s.Raw("state");
        COLORREF glyph = RGB(0xE6, 0xE8, 0xEA);
        if (state == "pressed") {
            double radius = m_s.Int("radius");
            p.FillRound(r, radius, kPanelHigh);
            p.FrameRound(r, radius, 2, kAccent);
            glyph = kAccent;
        } else if (state == "disabled") {
            glyph = RGB(0x4A, 0x4F, 0x55);
        } else if (state == "on") {
            glyph = kAccent;
        } else if (state == "off") {
            glyph = RGB(0x5A, 0x60, 0x67);
        }
        double size = m_s.Int("glyphsize");
        if (size <= 0) size = std::min(r.Width(), r.Height()) * 0.6;
        double cy = m_s.Int("glyphy") >= 0 ? m_s.Int("glyphy") : r.Height() / 2;
        Glyph(p, m_s.Raw("glyph"), r.Width() / 2, cy, size, glyph);
    }

private:
    const ImageEntry& m_s;
};

// A large menu tile: the top band is left clear for the label the program draws there, the card
// below carries the pictogram.
class TileDrawer : public ImageDrawer {
public:
    explicit TileDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        RectF card{0, double(m_s.Int("band")), double(m_s.width), double(m_s.height)};
        const std::string& state = m_s.Raw("state");
        double radius = m_s.Int("radius");
        COLORREF fill = kPanel, edge = kEdge, glyph = kText, rule = kAccent;
        if (state == "pressed") {
            fill = kAccent;
            edge = kAccent;
            glyph = kScreen;
            rule = kScreen;
        } else if (state == "disabled") {
            fill = kDisabled;
            rule = edge;
            glyph = kTextDim;
        }
        p.FillRound(card, radius, fill);
        p.FrameRound(card, radius, 2, edge);
        p.Fill({card.left + radius, card.top + 2, card.right - radius, card.top + 5}, rule);
        double size = std::min(card.Width(), card.Height()) * 0.56;
        Glyph(p, m_s.Raw("glyph"), card.left + card.Width() / 2, card.top + card.Height() / 2 + 2, size, glyph);
    }

private:
    const ImageEntry& m_s;
};

// A maker's mark for the main page: an emblem on the left and a word mark with a tag line.
class LogoDrawer : public ImageDrawer {
public:
    explicit LogoDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        double w = m_s.width, h = m_s.height;
        COLORREF c = m_s.Colour("colour");
        double e = h * 0.8, cx = h * 0.5, cy = h * 0.5, k = e / 2;
        const std::string& emblem = m_s.Raw("emblem");
        if (emblem == "ring") {
            p.FrameRound({cx - k, cy - k, cx + k, cy + k}, k, k * 0.18, c);
            BoltAt(p, cx, cy, k * 0.55, c);
        } else if (emblem == "hexagon") {
            std::vector<PointF> hex;
            for (int i = 0; i < 6; ++i) {
                double a = (60.0 * i + 30) * 3.14159265358979 / 180;
                hex.push_back({cx + k * std::cos(a), cy + k * std::sin(a)});
            }
            p.FillPolygon(hex, c);
            BoltAt(p, cx, cy, k * 0.55, kScreen);
        } else if (emblem == "diamond") {
            p.FillPolygon({{cx, cy - k}, {cx + k, cy}, {cx, cy + k}, {cx - k, cy}}, c);
            double i = k * 0.5;
            p.FillPolygon({{cx, cy - i}, {cx + i, cy}, {cx, cy + i}, {cx - i, cy}}, kScreen);
        } else if (emblem == "shield") {
            p.FillPolygon({{cx - k * 0.85, cy - k}, {cx + k * 0.85, cy - k}, {cx + k * 0.85, cy + k * 0.1},
                           {cx, cy + k}, {cx - k * 0.85, cy + k * 0.1}},
                          c);
            BoltAt(p, cx, cy - k * 0.05, k * 0.5, kScreen);
        } else {
            p.FrameRound({cx - k, cy - k, cx + k, cy + k}, k * 0.3, k * 0.16, c);
            p.Fill({cx - k * 0.5, cy - k * 0.12, cx + k * 0.5, cy + k * 0.12}, c);
            p.Fill({cx - k * 0.12, cy - k * 0.5, cx + k * 0.12, cy + k * 0.5}, c);
        }
        double left = h + h * 0.05;
        std::u16string sub = m_s.Text("sub");
        double split = sub.empty() ? h : h * 0.68;
        p.Text({left, 0, w, split}, m_s.Text("label"), h * 0.42, true, kText);
        if (!sub.empty()) p.Text({left, split - h * 0.06, w, h}, sub, h * 0.16, false, c);
    }

private:
    const ImageEntry& m_s;
};

// A page ground with cards where the page puts its values: a vertical colour ramp, then up to four
// groups of cards, each "x,y,w,h,dx,dy,nx,ny" (nx across and ny down, dx and dy apart).
class CardsDrawer : public ImageDrawer {
public:
    explicit CardsDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        GradientDrawer(m_s).Draw(p);
        const double radius = m_s.Int("radius");
        for (const char* key : {"group1", "group2", "group3", "group4"}) {
            int v[8] = {};
            if (std::sscanf(m_s.Raw(key).c_str(), "%d,%d,%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                            &v[6], &v[7]) != 8)
                continue;
            for (int j = 0; j < v[7]; ++j)
                for (int i = 0; i < v[6]; ++i) {
                    RectF r{double(v[0] + i * v[4]), double(v[1] + j * v[5]), 0, 0};
                    r.right = r.left + v[2];
                    r.bottom = r.top + v[3];
                    p.FillRound(r, radius, kPanel);
                    p.FrameRound(r, radius, 1, kEdge);
                }
        }
    }

private:
    const ImageEntry& m_s;
};

// One row of a list of switches: a card with a check box on its left, ticked when on.
class SwitchDrawer : public ImageDrawer {
public:
    explicit SwitchDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        RectF r = Whole(m_s);
        const bool on = m_s.Raw("state") == "on";
        p.FillRound(r, m_s.Int("radius"), kPanelHigh);
        p.FrameRound(r, m_s.Int("radius"), 1, on ? kAccent : kEdge);
        const double side = r.Height() * 0.55, x = r.Height() * 0.3, y = (r.Height() - side) / 2;
        RectF box{x, y, x + side, y + side};
        if (on) {
            p.FillRound(box, side * 0.18, kAccent);
            Bar(p, {x + side * 0.22, y + side * 0.52}, {x + side * 0.43, y + side * 0.74}, side * 0.14, kScreen);
            Bar(p, {x + side * 0.4, y + side * 0.74}, {x + side * 0.8, y + side * 0.28}, side * 0.14, kScreen);
        } else {
            p.FrameRound(box, side * 0.18, 2, kTextDim);
        }
    }

private:
    const ImageEntry& m_s;
};

// The keypad popup's face: twenty keys at their places and the display well; "pressed" draws
// every key pressed, so that one key can be copied out of it.
class KeypadDrawer : public ImageDrawer {
public:
    explicit KeypadDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        struct Key {
            RectF r;
            const char16_t* label;
        };
        static const Key kKeys[] = {
            {{8, 59, 70, 117}, u"Ins."},   {{71, 59, 133, 117}, u"Off"}, {{134, 59, 196, 117}, u"\u00D7"},
            {{197, 59, 259, 117}, u"\u00F7"}, {{8, 119, 70, 177}, u"7"},   {{71, 119, 133, 177}, u"8"},
            {{134, 119, 196, 177}, u"9"},  {{197, 119, 259, 177}, u"\u2212"}, {{8, 179, 70, 237}, u"4"},
            {{71, 179, 133, 237}, u"5"},   {{134, 179, 196, 237}, u"6"}, {{197, 179, 259, 237}, u"+"},
            {{8, 239, 70, 297}, u"1"},     {{71, 239, 133, 297}, u"2"},  {{134, 239, 196, 297}, u"3"},
            {{197, 239, 259, 297}, u"C"},  {{8, 300, 70, 358}, u"0"},    {{71, 300, 133, 358}, u"."},
            {{134, 300, 196, 358}, u"\u2190"}, {{197, 300, 259, 358}, u"="}};
        const bool pressed = m_s.Raw("face") == "pressed";
        RectF whole = Whole(m_s);
        p.Fill(whole, kScreen);
        p.FrameRound(whole, 6, 2, kEdge);
        p.FillRound({17, 13, 249, 47}, 4, RGB(0x10, 0x12, 0x14));
        p.FrameRound({17, 13, 249, 47}, 4, 1, kEdge);
        for (const Key& k : kKeys) {
            RectF r = k.r.Inset(1);
            p.FillRound(r, 6, pressed ? kAccent : kPanelHigh);
            p.FrameRound(r, 6, 2, pressed ? kAccent : kEdge);
            p.Text(r, k.label, 22, true, pressed ? kScreen : kText);
        }
    }

private:
    const ImageEntry& m_s;
};

// The screen lock's six keys in a 3 x 2 grid over the whole image, with the grid lines between
// them; "pressed" draws every key pressed, so that one key can be copied out of it.
class LockGridDrawer : public ImageDrawer {
public:
    explicit LockGridDrawer(const ImageEntry& s) : m_s(s) {}
    void Draw(Painter& p) const override {
        const bool pressed = m_s.Raw("state") == "pressed";
        const double w = m_s.width, h = m_s.height;
        p.Fill(Whole(m_s), kScreen);
        for (int k = 0; k < 6; ++k) {
            const double left = std::round(w * (k % 3) / 3), right = std::round(w * (k % 3 + 1) / 3);
            const double top = k < 3 ? 0 : std::round(h / 2), bottom = k < 3 ? std::round(h / 2) : h;
            RectF key = RectF{left, top, right, bottom}.Inset(8);
            p.FillRound(key, 14, pressed ? kAccent : kPanel);
            p.FrameRound(key, 14, 2, pressed ? kAccent : kEdge);
            const double cx = (left + right) / 2, cy = (top + bottom) / 2;
            const double ring = std::min(key.Width(), key.Height()) * 0.22, dot = ring * 0.35;
            p.FrameRound({cx - ring, cy - ring, cx + ring, cy + ring}, ring, 4, pressed ? kScreen : kTextDim);
            p.FillRound({cx - dot, cy - dot, cx + dot, cy + dot}, dot, pressed ? kScreen : kText);
        }
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
          {"titlebar", ParamType::Int, 8, 200, nullptr, "40"},
          {"band", ParamType::Int, 0, 1, nullptr, "0"}},
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
        {"gradient",
         {{"top", ParamType::Colour, 0, 0, nullptr, "#25292E"},
          {"bottom", ParamType::Colour, 0, 0, nullptr, "#111315"},
          {"rule", ParamType::Int, 0, 100, nullptr, "0"},
          {"rulecolour", ParamType::Colour, 0, 0, nullptr, "#FFB020"}},
         1,
         &Make<GradientDrawer>},
        {"clear", {}, 1, &Make<ClearDrawer>},
        {"cards",
         {{"top", ParamType::Colour, 0, 0, nullptr, "#25292E"},
          {"bottom", ParamType::Colour, 0, 0, nullptr, "#111315"},
          {"radius", ParamType::Int, 0, 200, nullptr, "8"},
          {"group1", ParamType::Text, 0, 0, nullptr, ""},
          {"group2", ParamType::Text, 0, 0, nullptr, ""},
          {"group3", ParamType::Text, 0, 0, nullptr, ""},
          {"group4", ParamType::Text, 0, 0, nullptr, ""}},
         2,
         &Make<CardsDrawer>},
        {"switch",
         {{"state", ParamType::Choice, 0, 0, "on|off", "off"}, {"radius", ParamType::Int, 0, 200, nullptr, "8"}},
         4,
         &Make<SwitchDrawer>},
        {"icon",
         {{"glyph", ParamType::Choice, 0, 0, kGlyphs, "home"},
          {"state", ParamType::Choice, 0, 0, "normal|pressed|disabled|on|off", "normal"},
          {"glyphsize", ParamType::Int, 0, 2048, nullptr, "0"},
          {"glyphy", ParamType::Int, -1, 2048, nullptr, "-1"},
          {"radius", ParamType::Int, 0, 200, nullptr, "8"}},
         4,
         &Make<IconDrawer>},
        {"tile",
         {{"glyph", ParamType::Choice, 0, 0, kGlyphs, "operation"},
          {"state", ParamType::Choice, 0, 0, "normal|pressed|disabled", "normal"},
          {"band", ParamType::Int, 0, 2048, nullptr, "36"},
          {"radius", ParamType::Int, 0, 200, nullptr, "16"}},
         2,
         &Make<TileDrawer>},
        {"keypad", {{"face", ParamType::Choice, 0, 0, "normal|pressed", "normal"}}, 2, &Make<KeypadDrawer>},
        {"lockgrid", {{"state", ParamType::Choice, 0, 0, "normal|pressed", "normal"}}, 2, &Make<LockGridDrawer>},
        {"logo",
         {{"emblem", ParamType::Choice, 0, 0, "ring|hexagon|diamond|shield|square", "ring"},
          {"colour", ParamType::Colour, 0, 0, nullptr, "#FFB020"},
          {"label", ParamType::Text, 0, 0, nullptr, ""},
          {"sub", ParamType::Text, 0, 0, nullptr, ""}},
         4,
         &Make<LogoDrawer>},
    };
    return kinds;
}

const KindInfo* FindKind(const std::string& name) {
    for (const KindInfo& k : Kinds())
        if (name == k.name) return &k;
    return nullptr;
}

}  // namespace mkimages
