#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "DeviceRoot.h"
#include "ui/IniFile.h"

namespace {

std::string Utf16File(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
}

// Key lookups of one open file: the value, or "<none>" with a check that out was emptied.
struct Lookup {
    CIniFile& ini;
    bool wide;
    std::u16string operator()(const std::u16string& section, const std::u16string& key, BOOL fromLast = FALSE,
                              BOOL comments = FALSE, size_t outSize = 1100) {
        std::vector<WCHAR> out(outSize, u'?');
        int r = wide ? ini.GetStringW(section.c_str(), key.c_str(), out.data(), outSize, fromLast, comments)
                     : ini.GetStringA(section.c_str(), key.c_str(), out.data(), outSize, fromLast, comments);
        if (r == 0) return out.data();
        return out[0] ? u"<dirty>" : u"<none>";
    }
};

using RawFileTest = DeviceRootTest;
using IniFileTest = DeviceRootTest;

TEST_F(RawFileTest, OpenModes) {
    CRawFile f;
    char buf[16] = {};
    EXPECT_FALSE(f.Open(u"\\NAND Flash\\a.bin", 0));
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_NE(root.ReadFile(".platform/debug.log").find("File OpenError : \\NAND Flash\\a.bin,2"), std::string::npos);
    EXPECT_FALSE(f.Open(u"\\NAND Flash\\a.bin", 2));
    ASSERT_TRUE(f.Open(u"\\NAND Flash\\a.bin", 0x1001));
    EXPECT_EQ(f.Write("0123456789", 10), 10u);
    EXPECT_EQ(f.Read(buf, 4), 0xFFFFFFFFu);
    f.Close();
    EXPECT_EQ(std::u16string(f.Path()), u"");
    ASSERT_TRUE(f.Open(u"\\NAND Flash\\a.bin", 0x3002));  // keeps the contents
    EXPECT_EQ(f.GetLength(), 10u);
    EXPECT_EQ(f.Seek(-3, FILE_END), 7u);
    EXPECT_EQ(f.Read(buf, 16), 3u);
    EXPECT_EQ(f.Read(buf, 0), 0u);
    EXPECT_EQ(f.Seek(2, FILE_BEGIN), 2u);
    EXPECT_EQ(f.Write("ab", 2), 2u);
    ASSERT_TRUE(f.Open(u"\\NAND Flash\\a.bin", 0x8000));
    EXPECT_EQ(f.Read(buf, 10), 10u);
    EXPECT_EQ(std::string(buf, 10), "01ab456789");
    EXPECT_EQ(f.Write("z", 1), 0u);
    ASSERT_TRUE(f.Open(u"\\NAND Flash\\a.bin", 0x1001));  // truncates
    EXPECT_EQ(f.GetLength(), 0u);
    // A cut name would open another file.
    EXPECT_FALSE(f.Open((u"\\NAND Flash\\" + std::u16string(300, u'n')).c_str(), 0x1001));
}

TEST_F(RawFileTest, SharingAndReopening) {
    root.WriteFile("NAND Flash/s.bin", "data");
    CRawFile first, second;
    ASSERT_TRUE(first.Open(u"\\NAND Flash\\s.bin", 0));
    EXPECT_FALSE(second.Open(u"\\NAND Flash\\s.bin", 0x20));
    EXPECT_EQ(GetLastError(), 32u);
    ASSERT_TRUE(first.Open(u"\\NAND Flash\\s.bin", 0x20));
    EXPECT_TRUE(second.Open(u"\\NAND Flash\\s.bin", 0x20));
    EXPECT_FALSE(second.Open(u"\\NAND Flash\\s.bin", 0x21));
    ASSERT_TRUE(first.Open(u"\\NAND Flash\\s.bin", 0x40));
    EXPECT_TRUE(second.Open(u"\\NAND Flash\\s.bin", 0x42));
    second.Close();
    // Reopening releases the exclusive handle it held.
    ASSERT_TRUE(first.Open(u"\\NAND Flash\\s.bin", 0x10));
    ASSERT_TRUE(first.Open(u"\\NAND Flash\\t.bin", 0x1001));
    EXPECT_TRUE(second.Open(u"\\NAND Flash\\s.bin", 0x22));
}

TEST_F(RawFileTest, ShortWriteIsAFailure) {
    CRawFile f;
    ASSERT_TRUE(f.Open(u"\\NAND Flash\\short.bin", 0x1001));
    struct rlimit old = {}, small = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    small = old;
    small.rlim_cur = 4;  // only 4 of the 10 bytes reach the file
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    DWORD written = f.Write("0123456789", 10);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(written, 0u);
}

TEST_F(IniFileTest, Utf16Lookups) {
    std::u16string text = u"[Section]\r\nkey =value\r\ntwo  =no\r\n;c=1\r\nc=val ;note\t\r\n  s=\t v \t\r\n"
                          u"junk=" + std::u16string(1034, u'a') + u" evil=bad\r\nlong=" + std::u16string(1200, u'v') +
                          u"\r\n[Other]\r\nkey=other\r\n[Section]\r\nkey=second\r\nlast=end";
    root.WriteFile("NAND Flash/a.ini", Utf16File(text));
    CIniFile ini;
    Lookup get{ini, true};
    WCHAR path[MAX_PATH] = u"\\NAND Flash\\a.ini";
    ASSERT_EQ(ini.Open(path, FALSE), 0);
    EXPECT_EQ(get(u"Section", u"key"), u"value");
    EXPECT_EQ(get(u"section", u"key"), u"<none>");
    EXPECT_EQ(get(u"Section", u"KEY"), u"<none>");
    EXPECT_EQ(get(u"Section", u";c", FALSE, TRUE), u"<none>");
    EXPECT_EQ(get(u"Section", u"c", FALSE, TRUE), u"val");
    EXPECT_EQ(get(u"Section", u"c"), u"val ;note");
    EXPECT_EQ(get(u"Section", u"s", FALSE, TRUE), u"v");
    EXPECT_EQ(get(u"Section", u"evil"), u"<none>");  // rest of an over-long line
    EXPECT_EQ(get(u"Section", u"long").size(), 1034u);
    EXPECT_EQ(get(u"Section", u"long", FALSE, FALSE, 4), u"vvv");
    EXPECT_EQ(get(u"Section", u"last"), u"<none>");
    EXPECT_EQ(get(std::u16string(2000, u's'), u"key"), u"<none>");
    EXPECT_EQ(get(u"Other", u"key"), u"other");
    EXPECT_EQ(get(u"Section", u"key", TRUE), u"second");
    EXPECT_EQ(get(u"Section", u"last", TRUE), u"end");
    EXPECT_EQ(get(u"Other", u"key", TRUE), u"<none>");

    std::string cut = Utf16File(u"[S]\nk=ab") + "c";  // an odd byte count
    root.WriteFile("NAND Flash/cut.ini", cut);
    WCHAR cutPath[MAX_PATH] = u"\\NAND Flash\\cut.ini";
    ASSERT_EQ(ini.Open(cutPath, FALSE), 0);
    EXPECT_EQ(get(u"S", u"k", TRUE), u"ab");
    root.WriteFile("NAND Flash/empty.ini", "");
    WCHAR emptyPath[MAX_PATH] = u"\\NAND Flash\\empty.ini";
    ASSERT_EQ(ini.Open(emptyPath, FALSE), 0);
    EXPECT_EQ(get(u"S", u"k"), u"<none>");
    EXPECT_EQ((Lookup{ini, false}(u"S", u"k")), u"<none>");
}

TEST_F(IniFileTest, EightBitLookups) {
    std::string text = "[SECTION]\r\nName = caf\x82\r\n\x90t\x82=summer\r\n  Key=\t v ; note\r\nx=" +
                       std::string(1037, 'a') + " k=bad\r\n[Next]\r\nHidden=1\r\n[section]\r\nName=again";
    root.WriteFile("NAND Flash/b.ini", text);
    CIniFile ini;
    Lookup get{ini, false};
    EXPECT_TRUE(ini.SetCodePage(437));
    WCHAR path[MAX_PATH] = u"\\NAND Flash\\b.ini";
    ASSERT_EQ(ini.Open(path, FALSE), 0);
    EXPECT_EQ(get(u"section", u"name"), u" caf\u00e9");
    EXPECT_EQ(get(u"Section", u"\u00c9T\u00c9"), u"summer");
    EXPECT_EQ(get(u"Section", u"key", FALSE, TRUE), u"v");
    EXPECT_EQ(get(u"Section", u"k"), u"<none>");
    EXPECT_EQ(get(u"Section", u"hidden"), u"<none>");
    EXPECT_EQ(get(u"next", u"hidden"), u"1");
    EXPECT_EQ(get(u"SECTION", u"name", TRUE, TRUE), u"again");
    EXPECT_EQ(get(u"SECTION", u"name", FALSE, TRUE, 3), u"ca");
}

TEST_F(IniFileTest, OpenPathsAndTemporaryFile) {
    CIniFile ini;
    WCHAR path[MAX_PATH] = u"";
    EXPECT_EQ(ini.Open(path, FALSE), -1);
    EXPECT_EQ(std::u16string(path), u"\\Windows\\qrx_ui_tests.ini");
    WCHAR missing[MAX_PATH] = u"\\NAND Flash\\new.ini";
    ASSERT_EQ(ini.Open(missing, TRUE), 0);
    EXPECT_NE(GetFileAttributesW(u"\\NAND Flash\\new.ini.tmp"), INVALID_FILE_ATTRIBUTES);
    ini.Close(FALSE);
    EXPECT_NE(GetFileAttributesW(u"\\NAND Flash\\new.ini"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(u"\\NAND Flash\\new.ini.tmp"), INVALID_FILE_ATTRIBUTES);
    WCHAR noCard[MAX_PATH] = u"%sd%\\x.ini";
    EXPECT_EQ(ini.Open(noCard, TRUE), -1);

    struct Writer : CIniFile {
        void Put(const char* text) { fputs(text, m_pWriter); }
    } writer;
    root.WriteFile("NAND Flash/w.ini", "old");
    WCHAR wPath[MAX_PATH] = u"\\NAND Flash\\w.ini";
    ASSERT_EQ(writer.Open(wPath, TRUE), 0);
    writer.Put("new");
    writer.Close(TRUE);
    EXPECT_EQ(root.ReadFile("NAND Flash/w.ini"), "new");
    // Where ".tmp" would not fit, the fixed temporary file in the root folder serves.
    std::string name(245, 'w');
    root.WriteFile("NAND Flash/" + name, "keep");
    WCHAR longPath[MAX_PATH];
    QrxStrCopy(longPath, MAX_PATH, (u"\\NAND Flash\\" + std::u16string(name.begin(), name.end())).c_str());
    ASSERT_EQ(writer.Open(longPath, TRUE), 0);
    EXPECT_NE(GetFileAttributesW(u"\\{80060BB4-2E1E-47bb-BF13-3C2075ECAAE2}.INI"), INVALID_FILE_ATTRIBUTES);
    writer.Close(FALSE);
    EXPECT_EQ(GetFileAttributesW(u"\\{80060BB4-2E1E-47bb-BF13-3C2075ECAAE2}.INI"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(IniFileTest, RegistryReaders) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\T", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    std::u16string full(300, u'f');
    unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DWORD number = 0x00410041;
    RegSetValueExW(key, u"s", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"hello"), 12);
    RegSetValueExW(key, u"full", 0, REG_SZ, reinterpret_cast<const BYTE*>(full.data()), 520);  // no terminator
    RegSetValueExW(key, u"long", 0, REG_SZ, reinterpret_cast<const BYTE*>(full.data()), 522);
    RegSetValueExW(key, u"n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
    RegSetValueExW(key, u"bin", 0, REG_BINARY, eight, 8);
    RegCloseKey(key);

    WCHAR out[MAX_PATH];
    std::vector<WCHAR> small(3);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, u"Software\\T", u"s", small.data(), small.size()));
    EXPECT_EQ(std::u16string(small.data()), u"he");
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, u"Software\\T", u"full", out, MAX_PATH));
    EXPECT_EQ(std::u16string(out), std::u16string(259, u'f'));
    EXPECT_FALSE(RegReadString(HKEY_LOCAL_MACHINE, u"Software\\T", u"long", out, MAX_PATH));
    EXPECT_EQ(std::u16string(out), u"");
    EXPECT_FALSE(RegReadString(HKEY_LOCAL_MACHINE, u"Software\\T", u"n", out, MAX_PATH));
    EXPECT_FALSE(RegReadString(HKEY_LOCAL_MACHINE, u"Software\\T", u"s", nullptr, MAX_PATH));

    unsigned char buf[16] = {};
    DWORD size = 0;
    EXPECT_TRUE(RegReadValue(HKEY_LOCAL_MACHINE, u"Software\\T", u"bin", nullptr, &size));
    EXPECT_EQ(size, 8u);
    size = 4;
    EXPECT_FALSE(RegReadValue(HKEY_LOCAL_MACHINE, u"Software\\T", u"bin", buf, &size));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(buf[0], 0);
    size = 16;
    EXPECT_TRUE(RegReadValue(HKEY_LOCAL_MACHINE, u"Software\\T", u"bin", buf, &size));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buf[7], 8);
    size = 0;
    EXPECT_FALSE(RegReadValue(HKEY_LOCAL_MACHINE, u"Software\\T", u"bin", buf, &size));
    size = 16;
    EXPECT_FALSE(RegReadValue(HKEY_LOCAL_MACHINE, u"Software\\X", u"bin", buf, &size));
}

}  // namespace
