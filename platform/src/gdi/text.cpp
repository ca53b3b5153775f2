// Text output and measurement: ExtTextOutW, TextOutW, DrawTextW and the extent calls.
#include <string>

#include "gdi/font.h"
#include "internal.h"
#include "qrx/wstr.h"

namespace qrx::gdi {
namespace {

constexpr char16_t kEllipsis[] = u"...";

// The character starting at s[i] and the number of UTF-16 units it takes.
inline char32_t Decode(const WCHAR* s, size_t i, size_t n, size_t& units) {
    char16_t c = s[i];
    units = 1;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
        units = 2;
        return 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00);
    }
    if (c >= 0xD800 && c < 0xE000) return 0xFFFD;
    return c;
}

inline uint32_t Blend(uint32_t dst, uint32_t src, uint32_t a) {
    uint32_t ia = 255 - a;
    uint32_t rb = (src & 0xFF00FF) * a + (dst & 0xFF00FF) * ia + 0x800080;
    rb = ((rb + ((rb >> 8) & 0xFF00FF)) >> 8) & 0xFF00FF;
    uint32_t g = (src & 0x00FF00) * a + (dst & 0x00FF00) * ia + 0x008000;
    g = ((g + ((g >> 8) & 0x00FF00)) >> 8) & 0x00FF00;
    return rb | g;
}

// Blends one glyph's coverage in the text colour, only where it covers.
void BlendGlyph(Target& t, const Glyph& g, long long x, long long baseline, uint32_t color, const RECT& limit) {
    if (g.width == 0) return;
    long long gx = x + g.left, gy = baseline - g.top;
    RECT r = Intersect(Ordered(gx, gy, gx + g.width, gy + g.height), limit);
    t.clip->ForEachIn(r, [&](const RECT& c) {
        int n = c.right - c.left;
        for (int y = c.top; y < c.bottom; ++y) {
            const uint8_t* cov = &g.coverage[static_cast<size_t>(y - gy) * g.width + static_cast<size_t>(c.left - gx)];
            uint32_t* d = t.view.Row(y) + c.left;
            for (int i = 0; i < n; ++i) {
                uint32_t a = cov[i];
                if (a == 0) continue;
                d[i] = a == 255 ? color : Blend(d[i], color, a);
            }
        }
    });
}

struct TextStyle {
    uint32_t color;
    bool underline;
    bool strike;
    int tabWidth;  // 0: tabs take no room
};

// The pen position after character c, tabs stopping at multiples of tabWidth from the run's start.
inline long long Step(FontInstance& fi, char32_t c, long long pen, int tabWidth) {
    if (c == u'\t' && tabWidth > 0) return (pen / tabWidth + 1) * tabWidth;
    return pen + fi.Get(c).advance;
}

// Width of a run continued from pen (0 for a run of its own).
long long Measure(FontInstance& fi, const WCHAR* s, size_t n, int tabWidth, long long pen = 0) {
    for (size_t i = 0; i < n;) {
        size_t units;
        char32_t c = Decode(s, i, n, units);
        pen = Step(fi, c, pen, tabWidth);
        i += units;
    }
    return pen;
}

// Draws a run on its baseline; marks (optional) flags characters to underline. Returns its end.
long long DrawRun(Target& t, FontInstance& fi, long long x, long long baseline, const WCHAR* s, size_t n, const int* dx,
                  const TextStyle& style, const RECT& limit, const std::vector<bool>* marks) {
    const FontMetrics& m = fi.Metrics();
    long long pen = x;
    for (size_t i = 0; i < n;) {
        size_t units;
        char32_t c = Decode(s, i, n, units);
        const Glyph& g = fi.Get(c);
        long long advance;
        if (dx) {
            advance = dx[i];
            if (units == 2) advance += dx[i + 1];
        } else if (c == u'\t' && style.tabWidth > 0) {
            advance = ((pen - x) / style.tabWidth + 1) * style.tabWidth - (pen - x);
        } else {
            advance = g.advance;
        }
        BlendGlyph(t, g, pen, baseline, style.color, limit);
        if (marks && i < marks->size() && (*marks)[i]) {
            RECT u = Ordered(pen, baseline + m.underlinePos, pen + advance,
                             baseline + m.underlinePos + m.underlineThickness);
            FillSurfaceRect(t, Intersect(u, limit), style.color);
        }
        pen += advance;
        i += units;
    }
    if (style.underline) {
        RECT u = Ordered(x, baseline + m.underlinePos, pen, baseline + m.underlinePos + m.underlineThickness);
        FillSurfaceRect(t, Intersect(u, limit), style.color);
    }
    if (style.strike) {
        RECT u = Ordered(x, baseline - m.strikeoutPos, pen, baseline - m.strikeoutPos + m.underlineThickness);
        FillSurfaceRect(t, Intersect(u, limit), style.color);
    }
    return pen;
}

// Everything a text call needs from its DC, with the DC locked.
struct TextDc {
    std::shared_ptr<Dc> dc;
    std::unique_lock<std::mutex> lock;
    std::shared_ptr<FontInstance> font;
    bool Open(HDC hdc) {
        dc = GetDcObject(hdc);
        if (!dc) return false;
        lock = std::unique_lock<std::mutex>(dc->lock);
        font = dc->st.font->Realize();
        if (!font) {
            SetError(ERROR_GEN_FAILURE);
            return false;
        }
        return true;
    }
    TextStyle Style(int tabWidth) const {
        const LOGFONTW& lf = dc->st.font->log;
        return TextStyle{ColorToPixel(dc->st.textColor), lf.lfUnderline != 0, lf.lfStrikeOut != 0, tabWidth};
    }
};

// The area text may touch around a run, generous enough for overhanging glyphs.
RECT TextBounds(const FontMetrics& m, long long x, long long baseline, long long width) {
    long long pad = m.ascent + m.descent + 2;
    return Ordered(x - pad, baseline - m.ascent - pad, x + width + pad, baseline + m.descent + pad);
}

RECT UnionOf(const RECT& a, const RECT& b) {
    if (RectEmpty(a)) return b;
    if (RectEmpty(b)) return a;
    return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

struct TextLine {
    std::u16string text;
    std::vector<bool> marks;  // characters underlined by a prefix
    long long width = 0;
};

}  // namespace
}  // namespace qrx::gdi

using namespace qrx::gdi;
using qrx::SetError;

BOOL ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT* lprect, LPCWSTR lpString, UINT c, const int* lpDx) {
    if (c > 0 && !lpString) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (c > 0x7FFFFFFFu) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TextDc td;
    if (!td.Open(hdc)) return FALSE;
    Dc& dc = *td.dc;
    FontInstance& fi = *td.font;
    const FontMetrics& m = fi.Metrics();
    size_t n = c;
    long long width = 0;
    if (lpDx) {
        for (size_t i = 0; i < n; ++i) width += lpDx[i];
    } else {
        width = Measure(fi, lpString, n, 0);
    }
    long long ox = dc.origin.x, oy = dc.origin.y;
    long long px = static_cast<long long>(x) + ox, baseline = static_cast<long long>(y) + oy;
    UINT align = dc.st.textAlign;
    if ((align & TA_CENTER) == TA_CENTER)
        px -= width / 2;
    else if ((align & TA_CENTER) == TA_RIGHT)
        px -= width;
    if ((align & TA_BASELINE) == TA_BOTTOM)
        baseline -= m.descent;
    else if ((align & TA_BASELINE) != TA_BASELINE)
        baseline += m.ascent;

    Surface* s = dc.Target();
    std::lock_guard<std::mutex> sg(s->lock);
    Target t;
    MakeTarget(dc, t);
    RECT limit = t.view.Bounds();
    RECT opaque{0, 0, 0, 0};
    if (lprect) {
        RECT r = Ordered(lprect->left + ox, lprect->top + oy, lprect->right + ox, lprect->bottom + oy);
        if (options & ETO_CLIPPED) limit = Intersect(limit, r);
        if (options & ETO_OPAQUE) opaque = Intersect(r, t.view.Bounds());
    }
    if (RectEmpty(opaque) && dc.st.bkMode == OPAQUE && n > 0)
        opaque = Intersect(Ordered(px, baseline - m.ascent, px + width, baseline + m.descent), limit);
    RECT area = t.Begin(UnionOf(Intersect(TextBounds(m, px, baseline, width), limit), opaque));
    if (RectEmpty(area)) return TRUE;
    if (!RectEmpty(opaque)) FillSurfaceRect(t, opaque, ColorToPixel(dc.st.bkColor));
    DrawRun(t, fi, px, baseline, lpString, n, lpDx, td.Style(0), limit, nullptr);
    t.Finish();
    return TRUE;
}

BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c) {
    if (c < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ExtTextOutW(hdc, x, y, 0, nullptr, lpString, static_cast<UINT>(c), nullptr);
}

BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR lpString, int c, LPSIZE psizl) {
    return GetTextExtentExPointW(hdc, lpString, c, 0, nullptr, nullptr, psizl);
}

BOOL GetTextExtentExPointW(HDC hdc, LPCWSTR lpszString, int cchString, int nMaxExtent, LPINT lpnFit, LPINT lpnDx,
                           LPSIZE lpSize) {
    if (cchString < 0 || (cchString > 0 && !lpszString) || !lpSize) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TextDc td;
    if (!td.Open(hdc)) return FALSE;
    FontInstance& fi = *td.font;
    size_t n = static_cast<size_t>(cchString);
    long long pen = 0;
    int fit = 0;
    for (size_t i = 0; i < n;) {
        size_t units;
        char32_t c = Decode(lpszString, i, n, units);
        pen += fi.Get(c).advance;
        for (size_t k = 0; k < units; ++k) {
            if (lpnDx) lpnDx[i + k] = static_cast<int>(std::min<long long>(pen, INT32_MAX));
            if (pen <= nMaxExtent) fit = static_cast<int>(i + k + 1);
        }
        i += units;
    }
    if (lpnFit) *lpnFit = fit;
    const FontMetrics& m = fi.Metrics();
    lpSize->cx = static_cast<LONG>(std::min<long long>(pen, INT32_MAX));
    lpSize->cy = m.ascent + m.descent;
    return TRUE;
}

BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm) {
    if (!lptm) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TextDc td;
    if (!td.Open(hdc)) return FALSE;
    const FontMetrics& m = td.font->Metrics();
    const LOGFONTW& lf = td.dc->st.font->log;
    *lptm = TEXTMETRICW{};
    lptm->tmHeight = m.ascent + m.descent;
    lptm->tmAscent = m.ascent;
    lptm->tmDescent = m.descent;
    lptm->tmInternalLeading = m.internalLeading;
    lptm->tmExternalLeading = m.externalLeading;
    lptm->tmAveCharWidth = m.aveCharWidth;
    lptm->tmMaxCharWidth = m.maxCharWidth;
    lptm->tmWeight = m.weight;
    lptm->tmDigitizedAspectX = 96;
    lptm->tmDigitizedAspectY = 96;
    lptm->tmFirstChar = 0x20;
    lptm->tmLastChar = 0xFFFC;
    lptm->tmDefaultChar = 0x1F;
    lptm->tmBreakChar = 0x20;
    lptm->tmItalic = m.italic ? 1 : 0;
    lptm->tmUnderlined = lf.lfUnderline ? 1 : 0;
    lptm->tmStruckOut = lf.lfStrikeOut ? 1 : 0;
    lptm->tmPitchAndFamily = VARIABLE_PITCH | 0x04 /* a TrueType font */ | FF_SWISS;
    lptm->tmCharSet = lf.lfCharSet;
    return TRUE;
}

namespace {

// Prefix handling: "&&" is "&", "&x" underlines x, a last lone "&" goes.
void StripPrefixes(const std::u16string& in, TextLine& out) {
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == u'&') {
            if (i + 1 >= in.size()) break;
            ++i;
            out.text.push_back(in[i]);
            out.marks.push_back(in[i] != u'&');
            continue;
        }
        out.text.push_back(in[i]);
        out.marks.push_back(false);
    }
}

TextLine Slice(const TextLine& l, size_t from, size_t to) {
    TextLine r;
    r.text = l.text.substr(from, to - from);
    r.marks.assign(l.marks.begin() + static_cast<ptrdiff_t>(from), l.marks.begin() + static_cast<ptrdiff_t>(to));
    return r;
}

// Breaks a paragraph between words so that each line fits maxWidth; a word wider than a line
// keeps a line of its own. Spaces at a break are dropped.
void WrapParagraph(FontInstance& fi, const TextLine& para, long long maxWidth, int tabWidth,
                   std::vector<TextLine>& out) {
    const std::u16string& s = para.text;
    size_t n = s.size();
    auto isSpace = [](char16_t c) { return c == u' '; };
    size_t start = 0;
    while (true) {
        size_t end = start;   // end of the text kept on the line
        long long width = 0;  // of [start, end)
        while (end < n) {
            size_t wordEnd = end;
            while (wordEnd < n && isSpace(s[wordEnd])) ++wordEnd;
            while (wordEnd < n && !isSpace(s[wordEnd])) ++wordEnd;
            long long w = Measure(fi, s.data() + end, wordEnd - end, tabWidth, width);
            if (end > start && w > maxWidth) break;
            end = wordEnd;
            width = w;
        }
        out.push_back(Slice(para, start, end));
        start = end;
        while (start < n && isSpace(s[start])) ++start;
        if (start >= n) break;
    }
}

void EndEllipsis(FontInstance& fi, TextLine& line, long long maxWidth, int tabWidth) {
    const std::u16string& s = line.text;
    if (Measure(fi, s.data(), s.size(), tabWidth) <= maxWidth) return;
    long long dots = Measure(fi, kEllipsis, 3, 0);
    size_t keep = 0;
    long long pen = 0;
    for (size_t i = 0; i < s.size();) {
        size_t units;
        char32_t c = Decode(s.data(), i, s.size(), units);
        long long next = Step(fi, c, pen, tabWidth);
        if (next + dots > maxWidth) break;
        pen = next;
        i += units;
        keep = i;
    }
    line.text.resize(keep);
    line.marks.resize(keep);
    line.text += kEllipsis;
    line.marks.insert(line.marks.end(), 3, false);
}

}  // namespace

int DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format) {
    if (!lprc || (!lpchText && cchText != 0)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cchText < 0 ? wcslen(lpchText) : static_cast<size_t>(cchText);
    TextDc td;
    if (!td.Open(hdc)) return 0;
    Dc& dc = *td.dc;
    FontInstance& fi = *td.font;
    const FontMetrics& m = fi.Metrics();
    int tabWidth = (format & DT_EXPANDTABS) ? 8 * std::max(1, m.aveCharWidth) : 0;
    long long lineHeight = m.ascent + m.descent + ((format & DT_EXTERNALLEADING) ? m.externalLeading : 0);
    long long rectWidth = static_cast<long long>(lprc->right) - lprc->left;
    bool single = (format & DT_SINGLELINE) != 0;

    TextLine all;
    std::u16string raw(lpchText ? lpchText : u"", n);
    if (format & DT_NOPREFIX) {
        all.text = raw;
        all.marks.assign(raw.size(), false);
    } else {
        StripPrefixes(raw, all);
    }

    std::vector<TextLine> lines;
    if (single) {
        lines.push_back(std::move(all));
    } else {
        size_t start = 0;
        for (size_t i = 0; i <= all.text.size(); ++i) {
            bool end = i == all.text.size();
            if (!end && all.text[i] != u'\r' && all.text[i] != u'\n') continue;
            if (end && start == i && !lines.empty()) break;  // a closing line break adds no line
            TextLine para = Slice(all, start, i);
            if ((format & DT_WORDBREAK) && !para.text.empty())
                WrapParagraph(fi, para, rectWidth, tabWidth, lines);
            else
                lines.push_back(std::move(para));
            if (!end && all.text[i] == u'\r' && i + 1 < all.text.size() && all.text[i + 1] == u'\n') ++i;
            start = i + 1;
        }
        if (lines.empty()) lines.emplace_back();
    }
    long long maxWidth = 0;
    for (auto& l : lines) {
        if (format & DT_END_ELLIPSIS) EndEllipsis(fi, l, rectWidth, tabWidth);
        l.width = Measure(fi, l.text.data(), l.text.size(), tabWidth);
        maxWidth = std::max(maxWidth, l.width);
    }
    long long total = lineHeight * static_cast<long long>(lines.size());
    long long top = lprc->top;
    if (single && (format & DT_VCENTER))
        top = lprc->top + (static_cast<long long>(lprc->bottom) - lprc->top - lineHeight) / 2;
    else if (single && (format & DT_BOTTOM))
        top = static_cast<long long>(lprc->bottom) - lineHeight;
    int result = static_cast<int>(std::clamp<long long>(
        (format & (DT_VCENTER | DT_BOTTOM)) && single ? top - lprc->top + total : total, INT32_MIN, INT32_MAX));

    if (format & DT_CALCRECT) {
        lprc->right = Sat(static_cast<long long>(lprc->left) + maxWidth);
        lprc->bottom = Sat(static_cast<long long>(lprc->top) + total);
        return result;
    }

    Surface* s = dc.Target();
    std::lock_guard<std::mutex> sg(s->lock);
    Target t;
    MakeTarget(dc, t);
    long long ox = dc.origin.x, oy = dc.origin.y;
    RECT limit = t.view.Bounds();
    if (!(format & DT_NOCLIP))
        limit = Intersect(limit, Ordered(lprc->left + ox, lprc->top + oy, lprc->right + ox, lprc->bottom + oy));
    RECT area = t.Begin(Intersect(
        Ordered(static_cast<long long>(lprc->left) + ox - maxWidth - lineHeight, top + oy - lineHeight,
                static_cast<long long>(lprc->right) + ox + maxWidth + lineHeight, top + oy + total + lineHeight),
        limit));
    if (RectEmpty(area)) return result;
    TextStyle style = td.Style(tabWidth);
    uint32_t bk = ColorToPixel(dc.st.bkColor);
    long long y = top + oy;
    for (const auto& l : lines) {
        long long x = static_cast<long long>(lprc->left) + ox;
        if (format & DT_CENTER)
            x += (rectWidth - l.width) / 2;
        else if (format & DT_RIGHT)
            x = static_cast<long long>(lprc->right) + ox - l.width;
        if (dc.st.bkMode == OPAQUE && l.width > 0)
            FillSurfaceRect(t, Intersect(Ordered(x, y, x + l.width, y + lineHeight), limit), bk);
        DrawRun(t, fi, x, y + m.ascent, l.text.data(), l.text.size(), nullptr, style, limit, &l.marks);
        y += lineHeight;
    }
    t.Finish();
    return result;
}
