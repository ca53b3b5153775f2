// Text: fonts and face mapping, extents and metrics, text output, DrawTextW layout, installed
// fonts, and a picture to look at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <unistd.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"

extern char** environ;

namespace {

const COLORREF kWhite = RGB(255, 255, 255), kBlack = RGB(0, 0, 0), kBlue = RGB(0, 0, 255);

struct Canvas {
    Canvas(int w, int h) : width(w), height(h) {
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateCompatibleBitmap(dc, w, h);
        old = SelectObject(dc, bitmap);
        Clear();
    }
    ~Canvas() {
        SelectObject(dc, oldFont ? oldFont : GetCurrentObject(dc, OBJ_FONT));
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    void Clear() {
        RECT r{0, 0, width, height};
        FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    void Use(HFONT f) {
        HGDIOBJ prev = SelectObject(dc, f);
        if (!oldFont) oldFont = prev;
    }
    // Bounding box of pixels that are not white; empty when there are none.
    RECT Ink() const {
        RECT r{width, height, 0, 0};
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (GetPixel(dc, x, y) != kWhite) {
                    r.left = std::min<LONG>(r.left, x);
                    r.top = std::min<LONG>(r.top, y);
                    r.right = std::max<LONG>(r.right, x + 1);
                    r.bottom = std::max<LONG>(r.bottom, y + 1);
                }
        if (r.right == 0) r = RECT{0, 0, 0, 0};
        return r;
    }
    int Count(COLORREF c) const {
        int n = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) n += GetPixel(dc, x, y) == c;
        return n;
    }
    std::vector<COLORREF> Pixels() const {
        std::vector<COLORREF> p;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) p.push_back(GetPixel(dc, x, y));
        return p;
    }
    int width, height;
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    HGDIOBJ oldFont = nullptr;
};

HFONT Font(int height, const char16_t* face = u"", int weight = FW_NORMAL, bool italic = false,
           DWORD quality = ANTIALIASED_QUALITY, bool underline = false) {
    return CreateFontW(height, 0, 0, 0, weight, italic, underline, 0, DEFAULT_CHARSET, 0, 0, quality, 0, face);
}

SIZE Extent(HDC dc, const std::u16string& s) {
    SIZE sz{};
    EXPECT_TRUE(GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(s.size()), &sz));
    return sz;
}

SIZE ExtentWith(HFONT f, const std::u16string& s) {
    Canvas c(4, 4);
    c.Use(f);
    return Extent(c.dc, s);
}

TEXTMETRICW Metrics(HFONT f) {
    Canvas c(4, 4);
    c.Use(f);
    TEXTMETRICW tm{};
    EXPECT_TRUE(GetTextMetricsW(c.dc, &tm));
    return tm;
}

}  // namespace

TEST(Text, ExtentsAndFaceMapping) {
    HFONT regular = Font(-20), bold = Font(-20, u"", FW_BOLD);
    auto c = std::make_unique<Canvas>(4, 4);
    c->Use(regular);
    const std::u16string line = u"Charger 12.6V ready";
    LONG last = 0;
    for (size_t n = 1; n <= line.size(); ++n) {
        SIZE s = Extent(c->dc, line.substr(0, n));
        if (line[n - 1] == u' ')
            EXPECT_GE(s.cx, last);
        else
            EXPECT_GT(s.cx, last) << n;
        last = s.cx;
    }
    EXPECT_EQ(Extent(c->dc, u"").cx, 0);
    EXPECT_GT(ExtentWith(bold, line).cx, ExtentWith(regular, line).cx);
    EXPECT_EQ(ExtentWith(bold, line).cy, ExtentWith(regular, line).cy);
    // Unknown faces fall back to the default face; names match without regard to case.
    HFONT unknown = Font(-20, u"NoSuchFace"), named = Font(-20, u"dejavu SANS");
    EXPECT_EQ(ExtentWith(unknown, line).cx, ExtentWith(regular, line).cx);
    EXPECT_EQ(ExtentWith(named, line).cx, ExtentWith(regular, line).cx);
    // Synthetic italic keeps the advances; the metrics say italic.
    HFONT italic = Font(-20, u"", FW_NORMAL, true);
    EXPECT_EQ(ExtentWith(italic, line).cx, ExtentWith(regular, line).cx);
    EXPECT_EQ(Metrics(italic).tmItalic, 1);
    EXPECT_GE(Metrics(bold).tmWeight, FW_BOLD);
    EXPECT_FALSE(GetTextExtentPoint32W(c->dc, line.c_str(), -1, nullptr));
    EXPECT_FALSE(DeleteObject(regular));  // still selected
    c.reset();
    for (HFONT f : {regular, bold, unknown, named, italic}) EXPECT_TRUE(DeleteObject(f));
}

TEST(Text, HeightsFollowThePlatform) {
    // Positive: cell height; negative: character height (cell minus internal leading); 0: 16.
    HFONT cell = Font(20), character = Font(-20), none = Font(0), huge = Font(INT_MIN);
    TEXTMETRICW a = Metrics(cell), b = Metrics(character), d = Metrics(none);
    EXPECT_EQ(a.tmHeight, 20);
    EXPECT_EQ(a.tmAscent + a.tmDescent, a.tmHeight);
    EXPECT_EQ(b.tmHeight - b.tmInternalLeading, 20);
    EXPECT_GT(b.tmHeight, 20);
    EXPECT_EQ(d.tmHeight, 16);
    EXPECT_GT(a.tmAveCharWidth, 0);
    EXPECT_GE(a.tmMaxCharWidth, a.tmAveCharWidth);
    EXPECT_LE(Metrics(huge).tmHeight, 2048);  // clamped, not overflowed
    SIZE s = ExtentWith(cell, u"Ag");
    EXPECT_EQ(s.cy, 20);
    for (HFONT f : {cell, character, none, huge}) DeleteObject(f);
}

TEST(Text, ExtentExPointFitsAndCounts) {
    HFONT f = Font(-16);
    Canvas c(4, 4);
    c.Use(f);
    const std::u16string s = u"abcdefgh";
    int dx[8] = {};
    int fit = -1;
    SIZE total{};
    EXPECT_TRUE(GetTextExtentExPointW(c.dc, s.c_str(), 8, 1 << 20, &fit, dx, &total));
    EXPECT_EQ(fit, 8);
    EXPECT_EQ(dx[7], total.cx);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dx[i], Extent(c.dc, s.substr(0, i + 1)).cx);
    EXPECT_TRUE(GetTextExtentExPointW(c.dc, s.c_str(), 8, dx[3], &fit, nullptr, &total));
    EXPECT_EQ(fit, 4);
    EXPECT_TRUE(GetTextExtentExPointW(c.dc, s.c_str(), 8, dx[3] - 1, &fit, nullptr, &total));
    EXPECT_EQ(fit, 3);
    EXPECT_TRUE(GetTextExtentExPointW(c.dc, s.c_str(), 8, 0, &fit, nullptr, &total));
    EXPECT_EQ(fit, 0);
    DeleteObject(f);
}

TEST(Text, TemperatureSignsHaveGlyphs) {
    HFONT f = Font(-24);
    std::vector<std::vector<COLORREF>> pictures;
    for (const char16_t* s : {u"\u2103", u"\u2109", u"\uE000"}) {
        Canvas c(40, 40);
        c.Use(f);
        SIZE sz = Extent(c.dc, s);
        EXPECT_GT(sz.cx, 8);
        SetBkMode(c.dc, TRANSPARENT);
        EXPECT_TRUE(TextOutW(c.dc, 4, 4, s, 1));
        EXPECT_GT(c.Count(kBlack), 10);
        pictures.push_back(c.Pixels());
    }
    // Real glyphs, not the box drawn for a character the font lacks.
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_NE(pictures[0], pictures[2]);
    EXPECT_NE(pictures[1], pictures[2]);
    DeleteObject(f);
}

TEST(Text, GlyphsBlendInTheTextColour) {
    HFONT aa = Font(-20), mono = Font(-20, u"", FW_NORMAL, false, NONANTIALIASED_QUALITY);
    Canvas c(200, 40);
    c.Use(aa);
    SetTextColor(c.dc, kBlue);
    SetBkMode(c.dc, TRANSPARENT);
    TextOutW(c.dc, 10, 5, u"Wave 0.5A", 9);
    int solid = 0, partial = 0;
    for (COLORREF p : c.Pixels()) {
        if (p == kBlue)
            ++solid;
        else if (p != kWhite) {
            ++partial;
            EXPECT_EQ(GetBValue(p), 255);  // between white and blue only
            EXPECT_EQ(GetRValue(p), GetGValue(p));
        }
    }
    EXPECT_GT(solid, 20);
    EXPECT_GT(partial, 20);
    // Inside the text cell, and starting at the position asked for.
    SIZE sz = Extent(c.dc, u"Wave 0.5A");
    RECT ink = c.Ink();
    EXPECT_GE(ink.left, 10);
    EXPECT_LE(ink.left, 12);
    EXPECT_GE(ink.top, 5);
    EXPECT_LE(ink.right, 10 + sz.cx + 2);
    EXPECT_LE(ink.bottom, 5 + sz.cy);
    c.Clear();
    c.Use(mono);
    TextOutW(c.dc, 10, 5, u"Wave 0.5A", 9);
    EXPECT_EQ(c.Count(kBlue) + c.Count(kWhite), 200 * 40);
    EXPECT_GT(c.Count(kBlue), 20);
    DeleteObject(aa);
    DeleteObject(mono);
}

TEST(Text, AlignmentBackgroundAndOptions) {
    HFONT f = Font(-20);
    Canvas c(300, 60);
    c.Use(f);
    SetBkMode(c.dc, TRANSPARENT);
    SIZE sz = Extent(c.dc, u"HHH");
    SetTextAlign(c.dc, TA_RIGHT | TA_TOP);
    TextOutW(c.dc, 200, 10, u"HHH", 3);
    RECT ink = c.Ink();
    EXPECT_LE(ink.right, 200);
    EXPECT_GE(ink.right, 197);
    EXPECT_NEAR(ink.left, 200 - sz.cx, 3);
    c.Clear();
    SetTextAlign(c.dc, TA_CENTER | TA_BASELINE);
    TextOutW(c.dc, 150, 40, u"HHH", 3);
    ink = c.Ink();
    EXPECT_EQ(ink.bottom, 40);  // H sits on the baseline
    EXPECT_NEAR((ink.left + ink.right) / 2, 150, 2);
    EXPECT_EQ(GetTextAlign(c.dc), static_cast<UINT>(TA_CENTER | TA_BASELINE));
    SetTextAlign(c.dc, TA_LEFT | TA_TOP);

    // Opaque mode fills the text cell with the back colour.
    c.Clear();
    SetBkMode(c.dc, OPAQUE);
    SetBkColor(c.dc, kBlue);
    TextOutW(c.dc, 10, 10, u"HHH", 3);
    ink = c.Ink();
    EXPECT_EQ(ink.left, 10);
    EXPECT_EQ(ink.top, 10);
    EXPECT_EQ(ink.right, 10 + sz.cx);
    EXPECT_EQ(ink.bottom, 10 + sz.cy);
    EXPECT_GT(c.Count(kBlue), sz.cx * sz.cy / 2);

    // ETO_OPAQUE with no text fills a rectangle; ETO_CLIPPED keeps text inside its rectangle.
    c.Clear();
    RECT r{5, 5, 25, 15};
    EXPECT_TRUE(ExtTextOutW(c.dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr));
    EXPECT_EQ(c.Count(kBlue), 200);
    c.Clear();
    SetBkMode(c.dc, TRANSPARENT);
    RECT clip{20, 0, 40, 60};
    EXPECT_TRUE(ExtTextOutW(c.dc, 10, 10, ETO_CLIPPED, &clip, u"HHHHHH", 6, nullptr));
    ink = c.Ink();
    EXPECT_GE(ink.left, 20);
    EXPECT_LE(ink.right, 40);
    // Given advances place each character.
    c.Clear();
    const int dx[3] = {60, 60, 60};
    ExtTextOutW(c.dc, 10, 10, 0, nullptr, u"HHH", 3, dx);
    ink = c.Ink();
    EXPECT_GE(ink.right, 10 + 120);
    EXPECT_FALSE(ExtTextOutW(c.dc, 0, 0, 0, nullptr, nullptr, 3, nullptr));
    DeleteObject(f);
}

TEST(Text, DrawTextAlignsAndBreaks) {
    HFONT f = Font(-16);
    Canvas c(200, 100);
    c.Use(f);
    SetBkMode(c.dc, TRANSPARENT);
    TEXTMETRICW tm{};
    GetTextMetricsW(c.dc, &tm);
    SIZE sz = Extent(c.dc, u"Mid");
    RECT box{20, 10, 180, 90};
    struct Case {
        UINT format;
        LONG left, top;  // expected cell corner
    } cases[] = {
        {DT_LEFT | DT_TOP | DT_SINGLELINE, 20, 10},
        {DT_RIGHT | DT_SINGLELINE, 180 - sz.cx, 10},
        {DT_CENTER | DT_VCENTER | DT_SINGLELINE, 20 + (160 - sz.cx) / 2, 10 + (80 - tm.tmHeight) / 2},
        {DT_RIGHT | DT_BOTTOM | DT_SINGLELINE, 180 - sz.cx, 90 - tm.tmHeight},
    };
    for (const auto& k : cases) {
        c.Clear();
        SetBkMode(c.dc, OPAQUE);  // the cell shows exactly where the line went
        SetBkColor(c.dc, kBlue);
        RECT r = box;
        int h = DrawTextW(c.dc, u"Mid", -1, &r, k.format);
        RECT ink = c.Ink();
        EXPECT_EQ(ink.left, k.left) << k.format;
        EXPECT_EQ(ink.top, k.top) << k.format;
        EXPECT_EQ(ink.bottom - ink.top, tm.tmHeight) << k.format;
        EXPECT_EQ(h, k.top - 10 + tm.tmHeight) << k.format;
    }
    SetBkMode(c.dc, TRANSPARENT);

    // Word break: several lines, none wider than the rectangle, and CALCRECT agrees without drawing.
    const char16_t* text = u"one two three four five six";
    c.Clear();
    RECT narrow{0, 0, 70, 100};
    RECT calc = narrow;
    int hc = DrawTextW(c.dc, text, -1, &calc, DT_WORDBREAK | DT_CALCRECT);
    EXPECT_EQ(c.Ink().right, 0);
    EXPECT_GE(hc, 3 * tm.tmHeight);
    EXPECT_EQ(hc % tm.tmHeight, 0);
    EXPECT_EQ(calc.bottom, hc);
    EXPECT_LE(calc.right, 70);
    RECT r = narrow;
    EXPECT_EQ(DrawTextW(c.dc, text, -1, &r, DT_WORDBREAK), hc);
    RECT ink = c.Ink();
    EXPECT_LE(ink.right, 70);
    EXPECT_GE(ink.bottom, hc - tm.tmHeight);
    // Without the break it stays on one line; explicit line breaks still count.
    r = narrow;
    EXPECT_EQ(DrawTextW(c.dc, text, -1, &r, DT_CALCRECT), tm.tmHeight);
    EXPECT_GT(r.right, 70);
    r = narrow;
    EXPECT_EQ(DrawTextW(c.dc, u"a\r\nb\nc", -1, &r, DT_CALCRECT), 3 * tm.tmHeight);
    r = narrow;
    EXPECT_EQ(DrawTextW(c.dc, u"a\r\nb\nc", -1, &r, DT_CALCRECT | DT_SINGLELINE), tm.tmHeight);
    // A word longer than the line keeps a line of its own.
    r = RECT{0, 0, 30, 100};
    EXPECT_EQ(DrawTextW(c.dc, u"a extraordinarily b", -1, &r, DT_WORDBREAK | DT_CALCRECT), 3 * tm.tmHeight);
    EXPECT_GT(r.right, 30);
    EXPECT_EQ(DrawTextW(c.dc, nullptr, 3, &r, 0), 0);
    DeleteObject(f);
}

TEST(Text, DrawTextPrefixesEllipsisAndClipping) {
    HFONT f = Font(-16);
    Canvas c(200, 40);
    c.Use(f);
    SetBkMode(c.dc, TRANSPARENT);
    auto width = [&](const char16_t* s, UINT format) {
        RECT r{0, 0, 1000, 100};
        DrawTextW(c.dc, s, -1, &r, format | DT_CALCRECT | DT_SINGLELINE);
        return r.right;
    };
    EXPECT_EQ(width(u"&File", 0), width(u"File", DT_NOPREFIX));
    EXPECT_EQ(width(u"a&&b", 0), width(u"a&b", DT_NOPREFIX));
    EXPECT_GT(width(u"&File", DT_NOPREFIX), width(u"File", DT_NOPREFIX));
    // The prefixed character is underlined.
    RECT r{0, 0, 200, 40};
    DrawTextW(c.dc, u"File", -1, &r, DT_SINGLELINE);
    int plain = c.Count(kBlack);
    RECT plainInk = c.Ink();
    c.Clear();
    DrawTextW(c.dc, u"&File", -1, &r, DT_SINGLELINE);
    EXPECT_GT(c.Count(kBlack), plain);
    EXPECT_GT(c.Ink().bottom, plainInk.bottom);

    // End ellipsis keeps a long line inside its rectangle.
    const char16_t* longText = u"Discharge complete at 3.000 V per cell";
    RECT small{0, 0, 120, 40};
    RECT calc = small;
    DrawTextW(c.dc, longText, -1, &calc, DT_SINGLELINE | DT_END_ELLIPSIS | DT_CALCRECT);
    EXPECT_LE(calc.right, 120);
    EXPECT_GT(calc.right, 60);
    // Clipped to the rectangle unless DT_NOCLIP.
    c.Clear();
    RECT tiny{0, 0, 40, 40};
    DrawTextW(c.dc, longText, -1, &tiny, DT_SINGLELINE);
    EXPECT_LE(c.Ink().right, 40);
    c.Clear();
    DrawTextW(c.dc, longText, -1, &tiny, DT_SINGLELINE | DT_NOCLIP);
    EXPECT_GT(c.Ink().right, 100);
    // Long paragraphs lay out in one pass.
    std::u16string many;
    for (int i = 0; i < 4000; ++i) many += u"word ";
    RECT wide{0, 0, 1 << 20, 100};
    EXPECT_GT(DrawTextW(c.dc, many.c_str(), -1, &wide, DT_WORDBREAK | DT_CALCRECT), 0);
    RECT narrowLong{0, 0, 100, 100};
    EXPECT_GT(DrawTextW(c.dc, many.c_str(), -1, &narrowLong, DT_WORDBREAK | DT_CALCRECT), 1000);
    RECT one{0, 0, 100, 40};
    DrawTextW(c.dc, many.c_str(), -1, &one, DT_SINGLELINE | DT_END_ELLIPSIS | DT_CALCRECT);
    EXPECT_LE(one.right, 100);
    // Tabs expand to stops of eight average characters.
    TEXTMETRICW tm{};
    GetTextMetricsW(c.dc, &tm);
    EXPECT_EQ(width(u"\tx", DT_EXPANDTABS), 8 * tm.tmAveCharWidth + width(u"x", 0));
    EXPECT_EQ(width(u"\tx", 0), width(u"x", 0));
    DeleteObject(f);
}

class InstalledFonts : public DeviceRootTest {};

TEST_F(InstalledFonts, AddAndRemoveByDeviceAndHostPath) {
    namespace fs = std::filesystem;
    const std::string mono = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
    ASSERT_TRUE(fs::exists(mono));
    fs::copy_file(mono, root.Host("Windows/Mono.ttf"));
    HFONT f = Font(-20, u"DejaVu Sans Mono");
    auto monospaced = [&] { return ExtentWith(f, u"iii").cx == ExtentWith(f, u"MMM").cx; };
    EXPECT_FALSE(monospaced());  // not installed: the default face
    EXPECT_EQ(AddFontResourceW(u"\\windows\\MONO.TTF"), 1);
    EXPECT_TRUE(monospaced());  // existing fonts map again
    EXPECT_TRUE(RemoveFontResourceW(u"\\Windows\\Mono.ttf"));
    EXPECT_FALSE(monospaced());
    EXPECT_FALSE(RemoveFontResourceW(u"\\Windows\\Mono.ttf"));

    // A host path when no device file has that name.
    HFONT serif = Font(-20, u"DejaVu Serif"), sans = Font(-20);
    EXPECT_EQ(AddFontResourceW(u"/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"), 1);
    EXPECT_NE(ExtentWith(serif, u"Serif text").cx, ExtentWith(sans, u"Serif text").cx);
    EXPECT_TRUE(RemoveFontResourceW(u"/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"));
    EXPECT_EQ(ExtentWith(serif, u"Serif text").cx, ExtentWith(sans, u"Serif text").cx);

    // Missing files and files that are not fonts add nothing.
    root.WriteFile("Windows/bad.ttf", "not a font at all");
    EXPECT_EQ(AddFontResourceW(u"\\Windows\\bad.ttf"), 0);
    EXPECT_EQ(AddFontResourceW(u"\\Windows\\none.ttf"), 0);
    EXPECT_EQ(AddFontResourceW(nullptr), 0);
    for (HFONT h : {f, serif, sans}) DeleteObject(h);
}

#ifdef QRX_FONT_HELPER
// Another program of the device that adds a font and holds it until its stdin closes.
struct FontHolder {
    explicit FontHolder(const char* path) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::string exe = QRX_FONT_HELPER;
        char* argv[] = {exe.data(), const_cast<char*>(path), nullptr};
        if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        input = in[1];
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') added += c;
        close(out[0]);
    }
    // Exit status after a clean end (stdin closed) or a kill.
    int End(bool kill9) {
        if (kill9) kill(pid, SIGKILL);
        close(input);
        return WEXITSTATUS(bounded::WaitChild(pid));
    }
    pid_t pid = -1;
    int input = -1;
    std::string added;
};

TEST_F(InstalledFonts, SeenByTheOtherProgramsWhileTheirProgramRuns) {
    std::filesystem::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", root.Host("Windows/Mono.ttf"));
    auto monospaced = [](HFONT f) { return ExtentWith(f, u"iii").cx == ExtentWith(f, u"MMM").cx; };
    HFONT kept = Font(-20, u"DejaVu Sans Mono");
    EXPECT_FALSE(monospaced(kept));
    {
        FontHolder other("\\Windows\\Mono.ttf");
        ASSERT_EQ(other.added, "1");
        // A font realised before maps again; a new one finds the face.
        EXPECT_TRUE(monospaced(kept));
        HFONT fresh = Font(-20, u"DejaVu Sans Mono");
        EXPECT_TRUE(monospaced(fresh));
        DeleteObject(fresh);
        EXPECT_EQ(other.End(false), 0);
    }
    EXPECT_FALSE(monospaced(kept));
    // A program that dies leaves no registration behind.
    FontHolder crashing("\\Windows\\Mono.ttf");
    ASSERT_EQ(crashing.added, "1");
    EXPECT_TRUE(monospaced(kept));
    crashing.End(true);
    HFONT later = Font(-20, u"DejaVu Sans Mono");
    EXPECT_FALSE(monospaced(later));
    DeleteObject(later);
    DeleteObject(kept);
}
#endif

TEST(Text, GoldenPicture) {
    // A small scene to look at: /tmp/qrx-gdi-golden.png.
    Canvas c(320, 120);
    HBRUSH panel = CreateSolidBrush(RGB(30, 60, 110));
    RECT all{0, 0, 320, 120};
    FillRect(c.dc, &all, panel);
    HPEN frame = CreatePen(PS_SOLID, 2, RGB(250, 200, 40));
    HPEN dash = CreatePen(PS_DASH, 1, RGB(180, 180, 180));
    HGDIOBJ oldPen = SelectObject(c.dc, frame);
    SelectObject(c.dc, GetStockObject(NULL_BRUSH));
    Rectangle(c.dc, 4, 4, 316, 116);
    SelectObject(c.dc, dash);
    SetBkMode(c.dc, TRANSPARENT);
    for (int x = 40; x < 316; x += 40) {
        MoveToEx(c.dc, x, 60, nullptr);
        LineTo(c.dc, x, 112);
    }
    SelectObject(c.dc, oldPen);
    HFONT big = Font(28, u"Tahoma", FW_BOLD), small = Font(-14);
    c.Use(big);
    SetTextColor(c.dc, kWhite);
    RECT title{0, 8, 320, 48};
    DrawTextW(c.dc, u"Charge 25.3\u2103 / 77.5\u2109", -1, &title, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    c.Use(small);
    SetTextColor(c.dc, RGB(200, 230, 255));
    RECT body{12, 60, 308, 112};
    DrawTextW(c.dc, u"Cell 1: 4.18 V  Cell 2: 4.17 V  Cell 3: 4.19 V  &Balance running", -1, &body, DT_WORDBREAK);
    const char* path = "/tmp/qrx-gdi-golden.png";
    std::filesystem::remove(path);
    EXPECT_TRUE(qrx::SaveDcPng(c.dc, path));
    EXPECT_GT(std::filesystem::file_size(path), 500u);
    EXPECT_TRUE(qrx::SaveBitmapPng(c.bitmap, "/tmp/qrx-gdi-golden-bitmap.png"));
    EXPECT_FALSE(qrx::SaveDcPng(c.dc, "/nonexistent-folder/x.png"));
    EXPECT_FALSE(qrx::SaveBitmapPng(reinterpret_cast<HBITMAP>(c.dc), "/tmp/x.png"));
    SelectObject(c.dc, c.oldFont);
    c.oldFont = nullptr;
    for (HGDIOBJ o : {(HGDIOBJ)panel, (HGDIOBJ)frame, (HGDIOBJ)dash, (HGDIOBJ)big, (HGDIOBJ)small})
        EXPECT_TRUE(DeleteObject(o));
}

TEST(Text, SharedGlyphCacheFromManyThreads) {
    HFONT f = Font(-18);
    const std::u16string line = u"Threads share glyphs \u2103 0123456789 abcdefghijklmnopqrstuvwxyz";
    auto draw = [&] {
        Canvas c(600, 30);
        c.Use(f);
        SetBkMode(c.dc, TRANSPARENT);
        TextOutW(c.dc, 2, 4, line.c_str(), static_cast<int>(line.size()));
        return c.Pixels();
    };
    constexpr int kThreads = 6;
    std::vector<std::vector<COLORREF>> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { results[i] = draw(); });
    for (auto& t : threads) t.join();
    auto reference = draw();
    for (const auto& r : results) EXPECT_EQ(r, reference);
    DeleteObject(f);
}
