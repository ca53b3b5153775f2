#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "windows.h"

namespace {

std::u16string Widen(const char* s) {
    std::u16string w;
    for (; *s; ++s) w.push_back(static_cast<unsigned char>(*s));
    return w;
}

std::string Narrow(const WCHAR* s) {
    std::string n;
    for (; *s; ++s) n.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
    return n;
}

// Formats the same arguments with the C library and with the UTF-16 formatter.
template <class... Args>
void ExpectLikeC(const char* format, Args... args) {
    char expected[1024];
    int n = std::snprintf(expected, sizeof expected, format, args...);
    ASSERT_GE(n, 0) << format;
    WCHAR got[1024];
    std::u16string wide = Widen(format);
    int m = swprintf(got, 1024, wide.c_str(), args...);
    EXPECT_EQ(Narrow(got), std::string(expected)) << format;
    EXPECT_EQ(m, n) << format;
}

template <class... Args>
std::u16string Fmt(const WCHAR* format, Args... args) {
    WCHAR buf[256];
    int n = swprintf(buf, 256, format, args...);
    EXPECT_GE(n, 0);
    return buf;
}

}  // namespace

TEST(Format, IntegersMatchTheCLibrary) {
    for (int v : {0, 7, -7, 42, 255, -255, 65535, INT_MAX, INT_MIN}) {
        for (const char* f : {"%d",    "%i",    "%02d",  "%5d",   "%-5d|", "%+d",    "% d", "%.3d", "%08.3d", "%-08d|",
                              "%+05d", "%x",    "%#x",   "%#X",   "%08X",  "%#010x", "%o",  "%#o",  "%#.3o",  "%u",
                              "%.0d",  "%+.0d", "%#.0x", "%#.0o", "%hd",   "%hhd",   "%hu", "%hhx"})
            ExpectLikeC(f, v);
    }
    for (long long v : {0LL, 1LL << 40, -(1LL << 40), LLONG_MAX, LLONG_MIN})
        for (const char* f : {"%lld", "%llu", "%llx", "%+20lld", "%-22lld|", "%#llo"}) ExpectLikeC(f, v);
    ExpectLikeC("%zu %zd", static_cast<size_t>(SIZE_MAX), static_cast<ptrdiff_t>(-3));
    ExpectLikeC("%*d|%-*d|%.*d", 6, 42, 4, 42, 5, 42);
    ExpectLikeC("%*d|", -6, 42);   // a negative width left-justifies
    ExpectLikeC("%.*d|", -3, 42);  // a negative precision is none
    ExpectLikeC("%0*d|", -6, 42);
    int local = 0;
    ExpectLikeC("%p %15p %-15p|", static_cast<void*>(&local), static_cast<void*>(&local), static_cast<void*>(&local));
    ExpectLikeC("%p", static_cast<void*>(nullptr));

    // The platform's long and the I-prefixes are 32 or 64 bits whatever the host's long is.
    EXPECT_EQ(Fmt(u"%ld %lu %lx %I32d %I64d %I64u", LONG(-5), DWORD(4000000000u), DWORD(0xBEEF), -7,
                  static_cast<long long>(1) << 40, ~0ull),
              u"-5 4000000000 beef -7 1099511627776 18446744073709551615");
}

TEST(Format, FloatsMatchTheCLibrary) {
    const double values[] = {0.0,        -0.0,      0.5,      1.5,  2.5,         -2.25, 2.25,     1.005,
                             3.14159265, 12345.678, 0.0001,   1e-5, 123456789.0, 1e300, -1e-300,  DBL_MAX,
                             DBL_MIN,    0.125,     999.9995, 1e15, NAN,         -NAN,  INFINITY, -INFINITY};
    const char* formats[] = {"%f",    "%.0f",   "%05.1f",   "%.2f",    "%+.3e",    "%E",   "%g",    "%G",    "%#g",
                             "%#.0f", "%10.3f", "%-10.3f|", "%010.3f", "%+010.2f", "% f",  "%.0e",  "%#.0e", "%.20f",
                             "%.15g", "%F",     "%12.4E",   "%-+12g|", "%.3g",     "%.0g", "%010g", "%lf"};
    for (double v : values)
        for (const char* f : formats) ExpectLikeC(f, v);
    ExpectLikeC("%.*f|%*.*f", 3, 2.0, 9, 2, -1.0 / 3);
    ExpectLikeC("%5.1f%%", 99.95);
    ExpectLikeC("%.400f", 1e300);  // longer than any short cut
}

TEST(Format, TextCharactersAndLiterals) {
    EXPECT_EQ(Fmt(u"[%s][%-8s][%8s][%.3s][%8.3s]", u"abc", u"abc", u"abc", u"abcdef", u"abcdef"),
              u"[abc][abc     ][     abc][abc][     abc]");
    EXPECT_EQ(Fmt(u"[%S][%hs][%ls][%-4S]", "n8", "h8", u"w16", "x"), u"[n8][h8][w16][x   ]");
    EXPECT_EQ(Fmt(u"[%c][%C][%hc][%lc][%3c][%-3c]", u'\u00E9', 'A', 'b', u'\u4E2D', u'x', u'y'),
              u"[\u00E9][A][b][\u4E2D][  x][y  ]");
    EXPECT_EQ(Fmt(u"%s|%S|%5s", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr),
                  static_cast<const WCHAR*>(nullptr)),
              u"(null)|(null)|(null)");
    EXPECT_EQ(Fmt(u"100%% %5%|%y|%"), u"100% %|%y|%");
    EXPECT_EQ(Fmt(u"%s", u"\U0001F600\u2103"), u"\U0001F600\u2103");
    // 8-bit text is read in the ANSI code page (1252 unless configured).
    if (GetACP() == 1252) {
        EXPECT_EQ(Fmt(u"%S|%C", "\xE9\x80", '\x80'), u"\u00E9\u20AC|\u20AC");
    }
    // A precision stops reading an 8-bit array that has no terminator.
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(Fmt(u"%.2S", unterminated), u"ab");
}

TEST(Format, TruncationAlwaysTerminatesAndFails) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(swprintf(buf, 5, u"%d", 123456), -1);
    EXPECT_EQ(std::u16string(buf), u"1234");
    EXPECT_EQ(buf[5], u'#');
    EXPECT_EQ(_snwprintf(buf, 5, u"%s", u"abcd"), 4);  // exactly fits with its terminator
    EXPECT_EQ(std::u16string(buf), u"abcd");
    EXPECT_EQ(_snwprintf(buf, 4, u"%s", u"abcd"), -1);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(swprintf(buf, 1, u"x"), -1);
    EXPECT_EQ(buf[0], 0);
    buf[0] = u'#';
    EXPECT_EQ(swprintf(buf, 0, u"x"), -1);
    EXPECT_EQ(buf[0], u'#');  // nothing written without room
    EXPECT_EQ(swprintf(buf, 8, nullptr), -1);
    EXPECT_EQ(buf[0], 0);

    // A cut never leaves half of a surrogate pair behind.
    EXPECT_EQ(swprintf(buf, 3, u"a%s", u"\U0001F600"), -1);
    EXPECT_EQ(std::u16string(buf), u"a");

    // Huge widths and precisions are cut at the buffer, not produced in full.
    EXPECT_EQ(swprintf(buf, 8, u"%2000000000d", 1), -1);
    EXPECT_EQ(std::u16string(buf), u"       ");
    EXPECT_EQ(swprintf(buf, 8, u"%.100000f", 1.0), -1);
    EXPECT_EQ(std::u16string(buf), u"1.00000");
    EXPECT_EQ(swprintf(buf, 8, u"%-2000000000s|", u"x"), -1);
    EXPECT_EQ(std::u16string(buf), u"x      ");
}

TEST(Format, VariadicFormsAndTheFixedLimit) {
    std::vector<WCHAR> big(1100, u'#');
    std::u16string longText(2000, u'z');
    EXPECT_EQ(wsprintfW(big.data(), u"%s", longText.c_str()), 1023);
    EXPECT_EQ(big[1023], 0);
    EXPECT_EQ(big[1024], u'#');
    EXPECT_EQ(wsprintfW(big.data(), u"%d,%d", 3, 1), 3);
    EXPECT_EQ(std::u16string(big.data()), u"3,1");

    auto viaVa = [](WCHAR* out, size_t n, const WCHAR* f, ...) {
        va_list args;
        va_start(args, f);
        int r = vswprintf(out, n, f, args);
        va_end(args);
        return r;
    };
    WCHAR buf[64];
    EXPECT_EQ(viaVa(buf, 64, u"[%02d-%02d-%02d %s]", 2024, 3, 9, u"x"), 14);
    EXPECT_EQ(std::u16string(buf), u"[2024-03-09 x]");
}
