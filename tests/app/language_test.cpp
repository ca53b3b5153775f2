#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "DeviceRoot.h"
#include "app/Language.h"

namespace {

std::string Utf16File(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return bytes;
}

// Korean in code page 949: "전압" and "취소".
const std::string kKoreanVolt = "\xC0\xFC\xBE\xD0";
const std::string kKoreanCancel = "\xC3\xEB\xBC\xD2";

std::string ShippedFile(const char* name) {
    std::filesystem::path here = std::filesystem::path(__FILE__).parent_path();
    std::ifstream in(here / "../../assets/lang" / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class LanguageTest : public DeviceRootTest {
protected:
    void SetUp() override {
        root.WriteFile("Windows/English.lang",
                       Utf16File(u"[shell4]\r\n0=VOLTAGE\r\n4=CURRENT\r\n[shell12]\r\n4=OK\r\n5=CANCEL\r\n"
                                 u"36=Voltage out of range\\rCheck it\r\n[Shell13]\r\n1=Wrong case\r\n"));
        root.WriteFile("Windows/Korean.lang", "[shell4]\r\n0=" + kKoreanVolt + "\r\n[SHELL12]\r\n5=" + kKoreanCancel +
                                                   "\r\n4 =OK\r\n");
        root.WriteFile("Windows/Japanese.lang", Utf16File(u"[shell4]\r\n0=V\r\n"));
        Font("NanumGothicBold.ttf");
    }
    void Font(const std::string& name) { root.WriteFile("NAND Flash/Font/" + name, "font"); }
    void StoreIndex(char index) { root.WriteFile("NAND Flash/language.dat", std::string(1, index)); }
    std::string Stored() { return root.ReadFile("NAND Flash/language.dat"); }
};

TEST_F(LanguageTest, ReadsUtf16And8BitFiles) {
    ASSERT_TRUE(LoadLanguageFile(0));
    EXPECT_EQ(std::u16string(GetLangText(4, 0, FALSE)), u"VOLTAGE");
    EXPECT_EQ(std::u16string(GetLangText(4, 4, TRUE)), u"CURRENT") << "continued from the last section";
    EXPECT_EQ(std::u16string(GetLangText(12, 36, FALSE)), u"Voltage out of range\\rCheck it");
    EXPECT_EQ(std::u16string(GetLangText(13, 1, FALSE)), u"") << "UTF-16 sections match exactly";
    EXPECT_EQ(std::u16string(GetLangText(12, 99, FALSE)), u"");

    WCHAR out[4];
    EXPECT_TRUE(SetControlLangText(4, 4, out, 4, FALSE));
    EXPECT_EQ(std::u16string(out), u"CUR");
    EXPECT_FALSE(SetControlLangText(40, 0, out, 4, FALSE));
    EXPECT_EQ(out[0], 0);

    ASSERT_TRUE(LoadLanguageFile(1));
    EXPECT_EQ(GetCurrentLanguage(), 1);
    EXPECT_EQ(GetLangCodePage(1), 949u);
    EXPECT_EQ(std::u16string(GetLangText(4, 0, FALSE)), u"전압");
    EXPECT_EQ(std::u16string(GetLangText(12, 5, FALSE)), u"취소") << "8-bit sections fold case";
    EXPECT_EQ(std::u16string(GetLangText(12, 4, FALSE)), u"OK");
    EXPECT_EQ(std::u16string(GetLangFontFace()), u"NanumGothic");
    EXPECT_EQ(std::u16string(GetLangDateFormat()), u"yyyy'-'MM'-'dd");

    // The shared buffer holds only the latest text.
    const WCHAR* first = GetLangText(4, 0, FALSE);
    const WCHAR* second = GetLangText(12, 5, FALSE);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::u16string(first), u"취소");

    // A missing file changes nothing.
    std::filesystem::remove(root.Host("Windows/Korean.lang"));
    ASSERT_TRUE(LoadLanguageFile(0));
    EXPECT_FALSE(LoadLanguageFile(1));
    EXPECT_FALSE(LoadLanguageFile(10));
    EXPECT_FALSE(LoadLanguageFile(-1));
    EXPECT_EQ(GetCurrentLanguage(), 0);
    EXPECT_EQ(std::u16string(GetLangText(4, 0, FALSE)), u"VOLTAGE");
}

TEST_F(LanguageTest, StoredIndexFallsBackAndIsRewritten) {
    StoreIndex(10);
    LoadLanguageSetting();
    EXPECT_EQ(GetCurrentLanguage(), 0);
    EXPECT_EQ(Stored(), std::string(1, '\0'));

    StoreIndex(1);
    LoadLanguageSetting();
    EXPECT_EQ(GetCurrentLanguage(), 1);
    EXPECT_EQ(std::u16string(GetCurrentLangName()), u"Korean");
    EXPECT_EQ(Stored(), "\x01");

    // Japanese has its file but not its font: it never becomes current.
    StoreIndex(2);
    LoadLanguageSetting();
    EXPECT_EQ(GetCurrentLanguage(), 0);
    EXPECT_EQ(Stored(), std::string(1, '\0'));

    std::filesystem::remove(root.Host("NAND Flash/language.dat"));
    LoadLanguageSetting();
    EXPECT_EQ(Stored(), std::string(1, '\0'));
    root.WriteFile("NAND Flash/language.dat", "");
    LoadLanguageSetting();
    EXPECT_EQ(Stored(), std::string(1, '\0'));

    ASSERT_TRUE(SelectLanguage(1));
    ASSERT_TRUE(SaveLanguageSetting());
    EXPECT_EQ(Stored(), "\x01");
}

TEST_F(LanguageTest, SelectionAndRefreshMask) {
    StoreIndex(0);
    LoadLanguageSetting();
    LoadLanguageSetting();
    EXPECT_EQ(GetLangRefreshMask(), 0) << "the same language again is no change";
    EXPECT_FALSE(TestAndClearPageFlag(1));

    EXPECT_FALSE(LanguageFontExists(2));
    EXPECT_FALSE(SelectLanguage(2)) << "no meiryo.ttc";
    EXPECT_EQ(GetCurrentLanguage(), 0);
    EXPECT_EQ(GetLangRefreshMask(), 0);

    ASSERT_TRUE(SelectLanguage(1));
    EXPECT_EQ(GetLangRefreshMask(), 0xFFFF);
    EXPECT_TRUE(TestAndClearPageFlag(1));
    EXPECT_FALSE(TestAndClearPageFlag(1)) << "once per change";
    EXPECT_FALSE(TestAndClearPageFlag(2));
    const int pages[] = {3, 4, 5, 6, 14, 16};
    const int bits[] = {0, 4, 2, 3, 6, 8};
    WORD expected = static_cast<WORD>(0xFFFF & ~(1 << 5));
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(TestAndClearPageFlag(pages[i])) << pages[i];
        expected = static_cast<WORD>(expected & ~(1 << bits[i]));
        EXPECT_EQ(GetLangRefreshMask(), expected) << pages[i];
    }

    // Selecting the current language again is no change.
    ASSERT_TRUE(SelectLanguage(1));
    EXPECT_FALSE(TestAndClearPageFlag(3));

    // A reload that lands on another language refreshes the pages too.
    StoreIndex(0);
    LoadLanguageSetting();
    EXPECT_EQ(GetCurrentLanguage(), 0);
    EXPECT_TRUE(TestAndClearPageFlag(14));
    LoadLanguageSetting();
    EXPECT_EQ(GetLangRefreshMask(), 0);
}

TEST_F(LanguageTest, TableAndShippedFiles) {
    EXPECT_EQ(std::u16string(GetLangName(9)), u"Portuguese");
    EXPECT_EQ(std::u16string(GetLangName(10)), u"");
    EXPECT_EQ(std::u16string(GetLangName(-1)), u"");
    EXPECT_EQ(std::u16string(GetLangFontFile(2)), u"\\NAND Flash\\Font\\meiryo.ttc");
    EXPECT_EQ(GetLangCodePage(0), 437u);
    EXPECT_EQ(GetLangCodePage(2), 932u);
    EXPECT_FALSE(LanguageFontExists(10));
    Font("tahoma_1_08.ttf");
    EXPECT_TRUE(LanguageFontExists(5));

    // Both shipped files carry every key the pages and companion programs ask for.
    root.WriteFile("Windows/English.lang", ShippedFile("English.lang"));
    root.WriteFile("Windows/Korean.lang", ShippedFile("Korean.lang"));
    const struct {
        int shell;
        std::initializer_list<int> keys;
    } needed[] = {
        {1, {0, 1, 6, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 34, 40, 41, 42}},
        {3, {8, 40, 42, 43}},
        {4, {0, 4, 8, 12, 28}},
        {5, {0, 7, 14, 21, 28, 35, 42, 49}},
        {6, {0, 4, 8, 12, 14}},
        {12, {2,  3,  4,  5,  10, 11, 12, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30, 31, 32, 33,
              35, 36, 37, 40, 41, 42, 43, 44, 45, 50, 54, 55, 56, 57, 63, 64}},
        {13, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {14, {1, 2, 3, 4, 5, 10}},
        {16, {1, 2, 8, 9, 10, 11, 12, 13, 14, 15, 16, 25, 26}},
        {50, {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 20, 21, 22}},
    };
    for (int language : {0, 1}) {
        ASSERT_TRUE(LoadLanguageFile(language));
        for (const auto& section : needed)
            for (int key : section.keys) {
                WCHAR text[LANG_TEXT_CHARS];
                EXPECT_TRUE(SetControlLangText(section.shell, key, text, LANG_TEXT_CHARS, FALSE))
                    << "language " << language << " shell " << section.shell << " key " << key;
                EXPECT_NE(text[0], 0);
            }
    }
    EXPECT_EQ(std::u16string(GetLangText(4, 0, FALSE)), u"전압");
    ASSERT_TRUE(LoadLanguageFile(0));
    EXPECT_EQ(std::u16string(GetLangText(12, 10, FALSE)), u"ERROR");
}

}  // namespace
