#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "windows.h"

namespace {

// Sets an environment variable for one test and puts the old value back.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

std::u16string ToWide(UINT page, const std::string& bytes, DWORD flags = 0) {
    int n = MultiByteToWideChar(page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return u"<fail>";
    std::u16string out(static_cast<size_t>(n), u'\0');
    EXPECT_EQ(MultiByteToWideChar(page, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n), n);
    return out;
}

std::string ToBytes(UINT page, const std::u16string& text, BOOL* usedDefault = nullptr, const char* def = nullptr) {
    int n = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, def, usedDefault);
    if (n <= 0) return "<fail>";
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), out.data(), n, def, usedDefault),
              n);
    return out;
}

}  // namespace

TEST(CodePages, KnownCharactersBothWaysOnEveryPage) {
    struct Case {
        UINT page;
        std::string bytes;
        std::u16string text;
    };
    const Case cases[] = {
        {437, "\x81\x80 A", u"\u00FC\u00C7 A"},
        {1252, "\x80\xE9\x9F", u"\u20AC\u00E9\u0178"},
        {949, "\xB0\xA1\xC7\xD1x", u"\uAC00\uD55Cx"},
        {932,
         "\x82\xA0\x93\xFA"
         "a",
         u"\u3042\u65E5a"},
        {874, "\xA1\xE0", u"\u0E01\u0E40"},
        {936, "\xD6\xD0", u"\u4E2D"},
        {CP_UTF8, "\xC3\xA9\xF0\x9F\x98\x80", u"\u00E9\U0001F600"},
        {CP_OEMCP, "\x81", u"\u00FC"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToWide(c.page, c.bytes), c.text) << c.page;
        BOOL used = TRUE;
        EXPECT_EQ(ToBytes(c.page, c.text, c.page == CP_UTF8 ? nullptr : &used), c.bytes) << c.page;
        if (c.page != CP_UTF8) {
            EXPECT_FALSE(used) << c.page;
        }
    }
    // Every byte of the ANSI page survives a round trip, including the ones without a letter.
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(ToBytes(1252, ToWide(1252, all)), all);
    EXPECT_EQ(ToBytes(437, ToWide(437, all)), all);
}

TEST(CodePages, SizeContract) {
    WCHAR wide[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);  // the terminator counts
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8), 4);
    EXPECT_EQ(std::u16string(wide), u"abc");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 8), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(1250, 0, "abc", -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0x4000, "abc", 3, wide, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));

    char bytes[8];
    EXPECT_EQ(WideCharToMultiByte(949, 0, u"\uAC00a", -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(949, 0, u"\uAC00a", -1, bytes, 4, nullptr, nullptr), 4);
    EXPECT_STREQ(bytes,
                 "\xB0\xA1"
                 "a");
    EXPECT_EQ(WideCharToMultiByte(949, 0, u"\uAC00a", -1, bytes, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", -1, bytes, 8, nullptr, nullptr), 4);
    EXPECT_STREQ(bytes, "\xE2\x82\xAC");
    EXPECT_EQ(WideCharToMultiByte(42, 0, u"x", -1, bytes, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", -1, bytes, -2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"x", -1, bytes, 8, nullptr, &used), 0);  // no default in UTF-8
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, InvalidInputBecomesTheDefaultOrFails) {
    EXPECT_EQ(ToWide(CP_UTF8, "\xC3(\xE2\x82"), u"\uFFFD(\uFFFD");
    EXPECT_EQ(ToWide(949, "a\xB0"), u"a\uFFFD");       // lead byte without its trail
    EXPECT_EQ(ToWide(932, "\x82\x20z"), u"\uFFFD z");  // bad trail byte is read again on its own
    EXPECT_EQ(ToWide(1252, std::string("a\0b", 3)), std::u16string(u"a\0b", 3));

    WCHAR wide[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "ok\xFF", 3, wide, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, "\xB0", 1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, "\xB0\xA1", 2, wide, 8), 1);

    BOOL used = FALSE;
    EXPECT_EQ(ToBytes(1252, u"a\u4E2Db", &used), "a?b");
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ(ToBytes(1252, u"\U0001F600.", &used, "*"), "*.");  // one default per character
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ(ToBytes(874, std::u16string(1, u'\xDC00') + u"x", &used), "?x");
    EXPECT_TRUE(used);
    EXPECT_EQ(ToBytes(CP_UTF8, std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
}

TEST(CodePages, AnsiPageAndLocaleComeFromTheEnvironment) {
    {
        EnvVar acp("QRX_ACP", nullptr);
        EnvVar lcid("QRX_LCID", nullptr);
        EXPECT_EQ(GetACP(), 1252u);
        EXPECT_EQ(GetOEMCP(), 437u);
        EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
        EXPECT_EQ(GetSystemDefaultLCID(), 0x0409u);
    }
    {
        EnvVar acp("QRX_ACP", "949");
        EXPECT_EQ(GetACP(), 949u);
        EXPECT_EQ(ToWide(CP_ACP, "\xB0\xA1"), u"\uAC00");
        EXPECT_EQ(QrxToLowerA('Q', CP_ACP), 'q');
    }
    for (const char* bad : {"abc", "1250", "-949", "949x", ""}) {
        EnvVar acp("QRX_ACP", bad);
        EXPECT_EQ(GetACP(), 1252u) << bad;
    }
    struct {
        const char* text;
        LCID lcid;
    } lcids[] = {{"0x412", 0x412}, {"1042", 0x412}, {"0412", 0x412}, {"041E", 0x41E}, {"junk", 0x409}, {"0", 0x409}};
    for (const auto& c : lcids) {
        EnvVar lcid("QRX_LCID", c.text);
        EXPECT_EQ(GetUserDefaultLCID(), c.lcid) << c.text;
    }
}

TEST(CodePages, LocaleInfoGivesTheLanguagesPages) {
    EnvVar lcid("QRX_LCID", "0x0412");
    WCHAR text[8];
    struct {
        LCID lcid;
        const char16_t* page;
    } cases[] = {{0x0412, u"949"},  {0x0411, u"932"},
                 {0x041E, u"874"},  {0x0804, u"936"},
                 {0x0404, u"1252"}, {0x0409, u"1252"},
                 {0x0407, u"1252"}, {LOCALE_USER_DEFAULT, u"949"},
                 {0, u"949"},       {LOCALE_SYSTEM_DEFAULT, u"949"}};
    for (const auto& c : cases) {
        EXPECT_EQ(GetLocaleInfoW(c.lcid, LOCALE_IDEFAULTANSICODEPAGE, text, 8),
                  static_cast<int>(std::char_traits<char16_t>::length(c.page)) + 1);
        EXPECT_EQ(std::u16string(text), c.page) << std::hex << c.lcid;
    }
    DWORD number = 0;
    EXPECT_EQ(GetLocaleInfoW(0x0411, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                             reinterpret_cast<LPWSTR>(&number), sizeof number / sizeof(WCHAR)),
              2);
    EXPECT_EQ(number, 932u);
    EXPECT_EQ(GetLocaleInfoW(0x0411, LOCALE_IDEFAULTCODEPAGE, text, 8), 4);
    EXPECT_EQ(std::u16string(text), u"437");

    EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 0), 5);
    SetLastError(0);
    EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, text, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetLocaleInfoW(0x0409, 0x0002 /* a language name */, text, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(1004));
}

TEST(CodePages, CaseFolding) {
    WCHAR text[] = u"Ab\u00C9\u0141z";
    EXPECT_EQ(CharUpperW(text), text);
    EXPECT_EQ(std::u16string(text), u"AB\u00C9\u0141Z");
    CharLowerW(text);
    EXPECT_EQ(std::u16string(text), u"ab\u00E9\u0142z");
    // A pointer value below 0x10000 carries a single character.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharUpperW(reinterpret_cast<LPWSTR>(uintptr_t{u'q'}))), uintptr_t{u'Q'});
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<LPWSTR>(uintptr_t{0xC9}))), uintptr_t{0xE9});
    EXPECT_EQ(QrxToLowerW(u'\u00DD'), u'\u00FD');
    EXPECT_EQ(QrxToUpperW(u'\u00FD'), u'\u00DD');

    EXPECT_EQ(QrxToLowerA('A', 1252), 'a');
    EXPECT_EQ(QrxToLowerA(0xC0, 1252), 0xE0);
    EXPECT_EQ(QrxToLowerA(0x8A, 1252), 0x9A);  // S with caron
    EXPECT_EQ(QrxToLowerA(0x9F, 1252), 0xFF);  // Y with diaeresis
    EXPECT_EQ(QrxToLowerA(0x80, 437), 0x87);   // C with cedilla
    EXPECT_EQ(QrxToLowerA(0x8E, 437), 0x84);   // A with diaeresis
    EXPECT_EQ(QrxToLowerA(0xB0, 949), 0xB0);   // a lone lead byte stays
    EXPECT_EQ(QrxToLowerA('Z', 949), 'z');
    EXPECT_EQ(QrxToLowerA(0xC3, CP_UTF8), 0xC3);
    EXPECT_EQ(QrxToLowerA('M', 1250), 'M');  // unknown page: unchanged
}

TEST(CodePages, ConcurrentConversionsKeepTheirOwnState) {
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    const UINT pages[] = {949, 932, 1252, 437, 874, CP_UTF8};
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            UINT page = pages[t];
            std::u16string text = page == 949 ? u"\uAC00\uD55C" : page == 932 ? u"\u3042\u65E5" : u"Aa";
            for (int i = 0; i < 300; ++i) {
                std::string bytes = ToBytes(page, text);
                if (ToWide(page, bytes) != text) ++failures[t];
                if (QrxToLowerA('K', page) != 'k') ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 6; ++t) EXPECT_EQ(failures[t], 0) << pages[t];
}
