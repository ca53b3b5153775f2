#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "windows.h"

namespace {

std::u16string S(const WCHAR* s) { return s ? std::u16string(s) : std::u16string(u"<null>"); }

}  // namespace

TEST(WideStrings, CopiesAndConcatenationsFollowTheCLibrary) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    wcsncpy(buf, u"ab", 6);
    EXPECT_EQ(S(buf), u"ab");
    for (int i = 2; i < 6; ++i) EXPECT_EQ(buf[i], 0) << i;  // padded
    EXPECT_EQ(buf[6], u'#');

    wcsncpy(buf, u"abcdefgh", 3);  // no terminator when the source is longer
    EXPECT_EQ(buf[2], u'c');
    EXPECT_EQ(buf[3], 0);  // left from the padding above

    wcscpy(buf, u"ab");
    wcsncat(buf, u"cdef", 2);
    EXPECT_EQ(S(buf), u"abcd");
    wcscat(buf, u"xy");
    EXPECT_EQ(S(buf), u"abcdxy");
    EXPECT_EQ(wcslen(buf), 6u);
    EXPECT_EQ(wcsnlen(buf, 3), 3u);

    WCHAR* dup = _wcsdup(u"dup");
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(S(dup), u"dup");
    std::free(dup);
    EXPECT_EQ(_wcsdup(nullptr), nullptr);
}

TEST(WideStrings, ComparisonsOrderByCodeUnitAndFoldLatinLetters) {
    EXPECT_EQ(wcscmp(u"abc", u"abc"), 0);
    EXPECT_LT(wcscmp(u"ab", u"abc"), 0);
    EXPECT_GT(wcscmp(u"\xFF00", u"a"), 0);  // code units compare unsigned
    EXPECT_EQ(wcsncmp(u"abcX", u"abcY", 3), 0);
    EXPECT_NE(wcsncmp(u"abcX", u"abcY", 4), 0);

    EXPECT_EQ(_wcsicmp(u"Setting.BIN", u"setting.bin"), 0);
    EXPECT_EQ(_wcsicmp(u"\u00C4RGER \u0141\u00D3D\u0179", u"\u00E4rger \u0142\u00F3d\u017A"), 0);
    EXPECT_LT(_wcsicmp(u"a", u"B"), 0);  // folded, so not ASCII order of 'B' < 'a'
    EXPECT_GT(_wcsicmp(u"abc", u"AB"), 0);
    EXPECT_EQ(_wcsnicmp(u"ABCdef", u"abcXYZ", 3), 0);
    EXPECT_NE(_wcsnicmp(u"ABCdef", u"abcXYZ", 4), 0);
    EXPECT_NE(_wcsicmp(u"\u00D7", u"\u00F7"), 0);  // multiplication and division signs are no pair
}

TEST(WideStrings, SearchingAndTokenising) {
    const WCHAR* s = u"a\\b\\c";
    EXPECT_EQ(wcschr(s, u'\\'), s + 1);
    EXPECT_EQ(wcsrchr(s, u'\\'), s + 3);
    EXPECT_EQ(wcschr(s, 0), s + 5);
    EXPECT_EQ(wcschr(s, u'x'), nullptr);
    EXPECT_EQ(wcsstr(s, u"b\\c"), s + 2);
    EXPECT_EQ(wcsstr(s, u""), s);
    EXPECT_EQ(wcsstr(s, u"c\\"), nullptr);
    EXPECT_EQ(wcsspn(u"  \tx", u" \t"), 3u);
    EXPECT_EQ(wcscspn(u"key=value", u"=:"), 3u);

    WCHAR text[] = u",,one,,two;three,";
    WCHAR* save = nullptr;
    std::u16string seen;
    for (WCHAR* t = wcstok(text, u",;", &save); t; t = wcstok(nullptr, u",;", &save)) seen += S(t) + u"|";
    EXPECT_EQ(seen, u"one|two|three|");
    EXPECT_EQ(wcstok(nullptr, u",", &save), nullptr);  // stays at the end
}

TEST(WideStrings, IntegerParsingSaturatesAndReportsTheEnd) {
    WCHAR* end = nullptr;
    const WCHAR* s = u"  -42xyz";
    EXPECT_EQ(wcstol(s, &end, 10), -42);
    EXPECT_EQ(end, s + 5);
    EXPECT_EQ(wcstol(u"0x1F", nullptr, 0), 31);
    EXPECT_EQ(wcstol(u"077", nullptr, 0), 63);
    EXPECT_EQ(wcstol(u"zz", nullptr, 36), 1295);
    s = u"0xg";
    EXPECT_EQ(wcstol(s, &end, 16), 0);
    EXPECT_EQ(end, s + 1);  // only the zero is a number
    s = u"  +";
    EXPECT_EQ(wcstol(s, &end, 10), 0);
    EXPECT_EQ(end, s);
    EXPECT_EQ(wcstol(u"5", &end, 1), 0);

    errno = 0;
    EXPECT_EQ(wcstol(u"-9223372036854775808", nullptr, 10), LONG_MIN);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(wcstol(u"9223372036854775808", nullptr, 10), LONG_MAX);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(wcstol(u"-99999999999999999999999", nullptr, 10), LONG_MIN);
    EXPECT_EQ(wcstoul(u"-1", nullptr, 10), ULONG_MAX);
    errno = 0;
    EXPECT_EQ(wcstoul(u"18446744073709551616", nullptr, 10), ULONG_MAX);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(wcstoul(u"FFFFFFFF", nullptr, 16), 0xFFFFFFFFul);

    EXPECT_EQ(_wtoi(u" 12ab"), 12);
    EXPECT_EQ(_wtoi(u"99999999999"), INT_MAX);
    EXPECT_EQ(_wtoi(u"-99999999999"), INT_MIN);
    EXPECT_EQ(_wtol(u"4294967295"), 2147483647);
    EXPECT_EQ(_wtol(u"-2147483648"), -2147483647 - 1);
}

TEST(WideStrings, FloatParsing) {
    WCHAR* end = nullptr;
    const WCHAR* s = u"  3.5e2xyz";
    EXPECT_DOUBLE_EQ(wcstod(s, &end), 350.0);
    EXPECT_EQ(end, s + 7);
    s = u"abc";
    EXPECT_EQ(wcstod(s, &end), 0.0);
    EXPECT_EQ(end, s);
    s = u"-1.25\u00B0C";
    EXPECT_DOUBLE_EQ(wcstod(s, &end), -1.25);
    EXPECT_EQ(end, s + 5);
    EXPECT_DOUBLE_EQ(_wtof(u"13.8"), 13.8);
    EXPECT_TRUE(std::isinf(_wtof(u"-inf")));
}

TEST(WideStrings, IntegerToTextInEveryRadix) {
    WCHAR buf[40];
    EXPECT_EQ(S(_itow(INT_MIN, buf, 10)), u"-2147483648");
    EXPECT_EQ(S(_itow(0, buf, 10)), u"0");
    EXPECT_EQ(S(_itow(-1, buf, 16)), u"ffffffff");
    EXPECT_EQ(S(_itow(5, buf, 2)), u"101");
    EXPECT_EQ(S(_itow(INT_MIN, buf, 2)), u"10000000000000000000000000000000");
    EXPECT_EQ(S(_itow(35, buf, 36)), u"z");
    EXPECT_EQ(S(_itow(10, buf, 1)), u"");
    EXPECT_EQ(S(_itow(10, buf, 37)), u"");
}

TEST(WideStrings, CaseFoldingAndClasses) {
    EXPECT_EQ(towlower16(u'Q'), u'q');
    EXPECT_EQ(towupper16(u'q'), u'Q');
    EXPECT_EQ(towlower16(u'['), u'[');
    EXPECT_EQ(towlower16(u'\u00C0'), u'\u00E0');
    EXPECT_EQ(towupper16(u'\u00FE'), u'\u00DE');
    EXPECT_EQ(towupper16(u'\u00FF'), u'\u0178');
    EXPECT_EQ(towlower16(u'\u0178'), u'\u00FF');
    EXPECT_EQ(towlower16(u'\u00D7'), u'\u00D7');
    EXPECT_EQ(towupper16(u'\u00F7'), u'\u00F7');
    EXPECT_EQ(towupper16(u'\u00DF'), u'\u00DF');
    EXPECT_EQ(towlower16(u'\u0100'), u'\u0101');
    EXPECT_EQ(towupper16(u'\u0101'), u'\u0100');
    EXPECT_EQ(towlower16(u'\u0139'), u'\u013A');
    EXPECT_EQ(towupper16(u'\u017E'), u'\u017D');
    EXPECT_EQ(towlower16(u'\u0149'), u'\u0149');
    EXPECT_EQ(towlower16(u'\u0410'), u'\u0410');  // outside the folded range

    WCHAR text[] = u"Gr\u00FC\u00DFe \u0160";
    EXPECT_EQ(S(_wcsupr(text)), u"GR\u00DC\u00DFE \u0160");
    EXPECT_EQ(S(_wcslwr(text)), u"gr\u00FC\u00DFe \u0161");

    EXPECT_TRUE(iswspace16(u' ') && iswspace16(u'\t') && iswspace16(u'\u3000'));
    EXPECT_FALSE(iswspace16(u'x') || iswspace16(0));
    EXPECT_TRUE(iswdigit16(u'7'));
    EXPECT_FALSE(iswdigit16(u'\uFF17'));
}

TEST(WideStrings, BoundedCopiesNeverOverflow) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(QrxStrCopy(buf, 4, u"abcdef"), 3u);
    EXPECT_EQ(S(buf), u"abc");
    EXPECT_EQ(buf[4], u'#');
    EXPECT_EQ(QrxStrAppend(buf, 6, u"XYZ"), 2u);
    EXPECT_EQ(S(buf), u"abcXY");
    EXPECT_EQ(buf[6], u'#');
    EXPECT_EQ(QrxStrAppend(buf, 6, u"more"), 0u);
    EXPECT_EQ(S(buf), u"abcXY");
    EXPECT_EQ(QrxStrCopy(buf, 0, u"x"), 0u);
    EXPECT_EQ(S(buf), u"abcXY");
    EXPECT_EQ(QrxStrCopy(buf, 8, nullptr), 0u);
    EXPECT_EQ(buf[0], 0);

    WCHAR full[4] = {u'a', u'b', u'c', u'd'};  // not terminated
    EXPECT_EQ(QrxStrAppend(full, 4, u"e"), 0u);
    EXPECT_EQ(S(full), u"abc");
}

TEST(WideStrings, Utf8ConversionReplacesIllFormedInput) {
    std::u16string mixed = u"A\u00E9\u20AC\U0001F600";
    std::string utf8 = QrxToUtf8(mixed);
    EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(QrxFromUtf8(utf8), mixed);

    EXPECT_EQ(QrxToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(QrxToUtf8(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
    EXPECT_EQ(QrxToUtf8(std::u16string_view(u"a\0b", 3)), std::string("a\0b", 3));

    EXPECT_EQ(QrxFromUtf8("\xC3("), u"\uFFFD(");
    EXPECT_EQ(QrxFromUtf8("\xF0\x9F\x98"), u"\uFFFD");              // cut short: one replacement
    EXPECT_EQ(QrxFromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(QrxFromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(QrxFromUtf8("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(QrxFromUtf8("\xFF"
                          "a"),
              u"\uFFFDa");
    EXPECT_EQ(QrxFromUtf8(""), u"");
}
