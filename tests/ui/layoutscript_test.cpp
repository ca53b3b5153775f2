// The layout script reader: section and key search, control records, page keys, the filter key,
// the limits on user-edited text, and the same answers from memory and from a script file.
#include "ui/LayoutScript.h"

#include <cstring>
#include <memory>
#include <string>

#include "DeviceRoot.h"
#include "ui/FileUtil.h"
#include "ui/ZipArchive.h"

namespace {

std::u16string S(const WCHAR* text) { return std::u16string(text); }

class LayoutScriptTest : public DeviceRootTest {
protected:
    void TearDown() override {
        SetLayoutScript(nullptr, 0);
        FreeArchiveFile();
    }

    // Hands the script over as the resource text: exactly size bytes, no terminator behind them.
    void HandOver(const std::string& text) {
        m_resource = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(m_resource.get(), text.data(), text.size());
        SetLayoutScript(m_resource.get(), static_cast<DWORD>(text.size()));
    }

    std::unique_ptr<CLayoutScript> OpenMemory(const std::string& text) {
        HandOver(text);
        auto script = std::make_unique<CLayoutScript>();
        WCHAR path[MAX_PATH] = u"";
        EXPECT_EQ(script->Open(path, FALSE), 0);
        EXPECT_TRUE(script->IsInMemory());
        return script;
    }

    std::unique_ptr<CLayoutScript> OpenFile(const std::string& text) {
        SetLayoutScript(nullptr, 0);
        root.WriteFile("NAND Flash/layout.ini", text);
        auto script = std::make_unique<CLayoutScript>();
        WCHAR path[MAX_PATH] = u"\\NAND Flash\\layout.ini";
        EXPECT_EQ(script->Open(path, FALSE), 0);
        EXPECT_FALSE(script->IsInMemory());
        return script;
    }

    std::u16string Key(CLayoutScript& s, const WCHAR* section, const WCHAR* key, BOOL comments = TRUE) {
        WCHAR out[LAYOUT_VALUE_MAX];
        if (s.ReadKey(section, key, out, LAYOUT_VALUE_MAX, FALSE, comments) != 0) {
            EXPECT_EQ(out[0], 0);
            return u"<missing>";
        }
        return out;
    }

    std::unique_ptr<char[]> m_resource;
};

void SetStorageFolder(const WCHAR* profile, const WCHAR* folder) {
    std::u16string key = std::u16string(u"System\\StorageManager\\Profiles\\") + profile;
    HKEY hkey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr),
              ERROR_SUCCESS);
    DWORD bytes = static_cast<DWORD>((std::u16string(folder).size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(RegSetValueExW(hkey, u"Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder), bytes), ERROR_SUCCESS);
    RegCloseKey(hkey);
}

TEST_F(LayoutScriptTest, SectionSearchIsAPlainFirstOccurrence) {
    auto s = OpenMemory(
        "[shell0]\r\n; copied from [shell5]\r\nimage=comment.bmp\r\n"
        "[shell11]\r\nimage=eleven.bmp\r\n"
        "[shell1-2]\t;nodraw button\r\nType=7\r\n"
        "[shell5]\r\nimage=real.bmp\r\n");
    EXPECT_EQ(s->FindSection(u"shell5"), 0);
    // The header inside a comment is the first occurrence, so its body is what follows it.
    EXPECT_EQ(Key(*s, u"shell5", u"image"), u"comment.bmp");
    EXPECT_EQ(s->FindSection(u"shell1"), -1);
    EXPECT_EQ(Key(*s, u"shell1", u"image"), u"<missing>");
    EXPECT_EQ(Key(*s, u"shell11", u"image"), u"eleven.bmp");
    EXPECT_EQ(Key(*s, u"shell1-2", u"type"), u"7");
    EXPECT_EQ(s->FindSection(u"SHELL0"), -1);
    EXPECT_EQ(s->FindSection(u"shell0]"), -1);

    CLayoutScript empty;
    EXPECT_EQ(empty.FindSection(u"shell0"), -1);
    auto none = OpenMemory("");
    EXPECT_EQ(none->FindSection(u"shell0"), -1);
}

TEST_F(LayoutScriptTest, KeyLineRules) {
    auto s = OpenMemory(
        "[a]\n"
        "one =1\n"
        "two  =2\n"
        "\t  UPPER=3\n"
        ";hidden=4\n"
        "note ;x=5\n"
        "cut=abc ;comment\n"
        "spaced=  v w \t\r\n"
        "no equals line\n"
        "  [b]\n"
        "after=6\n");
    EXPECT_EQ(Key(*s, u"a", u"one"), u"1");
    EXPECT_EQ(Key(*s, u"a", u"two"), u"<missing>");
    EXPECT_EQ(Key(*s, u"a", u"upper"), u"3");
    EXPECT_EQ(Key(*s, u"a", u"hidden"), u"<missing>");
    EXPECT_EQ(Key(*s, u"a", u"x"), u"<missing>");
    EXPECT_EQ(Key(*s, u"a", u"cut"), u"abc");
    EXPECT_EQ(Key(*s, u"a", u"spaced"), u"v w");
    EXPECT_EQ(Key(*s, u"a", u"after"), u"<missing>");
    EXPECT_EQ(Key(*s, u"b", u"after"), u"6");
    // Without the comment rules a ";" is text and only tabs and line ends are trimmed.
    EXPECT_EQ(Key(*s, u"a", u"cut", FALSE), u"abc ;comment");
    EXPECT_EQ(Key(*s, u"a", u"spaced", FALSE), u"  v w ");
}

TEST_F(LayoutScriptTest, ControlRecordFieldsAndDefaults) {
    auto s = OpenMemory(
        "[shell2-0]\r\ntype=1,1,0xFF00FF,0x3,1\r\npos=399,140,329,181\r\n"
        "image=\\img\\n.bmp,%sd%\\p.bmp,,:d.bmp\r\ncmd=0,1025,0,3,9\r\ninit=-1,5\r\n"
        "text=1,0,0x949494,0x000000,\r\nfont=,20,0,0,0\r\nsnd=1,click.wav\r\n"
        "[shell2-1]\r\ntype=0\r\ntext=1,,-1,0x10,hello,6,-10\r\nfont=Arial,,700\r\n"
        "[shell2-2]\r\npos=1,2,3,4\r\n"
        "[shell2-4]\r\ntype=0\r\nimage=\\a.bmp,\\b.bmp,,\\d.bmp,\\e.bmp,\\f.bmp\r\n");
    LayoutControlRecord r;
    ASSERT_EQ(s->ReadControlSection(2, 0, &r), 0);
    EXPECT_EQ(r.type, 1u);
    EXPECT_EQ(r.typeValue2, 1u);
    EXPECT_EQ(r.typeValue3, 0xFF00FF);
    EXPECT_EQ(r.style, 3u);
    EXPECT_EQ(r.focus, 1u);
    EXPECT_EQ(r.x, 399u);
    EXPECT_EQ(r.height, 181u);
    EXPECT_EQ(r.posValue5, 0u);
    EXPECT_EQ(S(r.image[0]), u"\\img\\n.bmp");
    EXPECT_EQ(S(r.image[1]), u"%sd%\\p.bmp");
    EXPECT_EQ(S(r.image[2]), u"");
    EXPECT_EQ(S(r.image[3]), u":d.bmp");
    EXPECT_EQ(r.cmdKind, 0);
    EXPECT_EQ(S(r.cmd[0]), u"1025");
    EXPECT_EQ(S(r.cmd[2]), u"3,9");  // the last field keeps the rest
    EXPECT_EQ(r.initKind, -1);
    EXPECT_EQ(S(r.init[0]), u"5");
    EXPECT_EQ(r.textMode, 1);
    EXPECT_EQ(r.textAlign, 0);
    EXPECT_EQ(r.textColor, 0x949494u);
    EXPECT_EQ(r.backColor, 0u);
    EXPECT_EQ(S(r.text), u"");
    EXPECT_EQ(r.textLeftOffset, 0);
    EXPECT_EQ(S(r.fontFace), u"");
    EXPECT_EQ(r.fontSize, 20);
    EXPECT_EQ(r.sndKind, 1);
    EXPECT_EQ(S(r.sndName), u"click.wav");

    ASSERT_EQ(s->ReadControl(u"shell2-1", &r), 0);
    EXPECT_EQ(r.textAlign, -1);
    EXPECT_EQ(r.textColor, 0xFFFFFFFFu);
    EXPECT_EQ(S(r.text), u"hello");
    EXPECT_EQ(r.textLeftOffset, 6);
    EXPECT_EQ(r.textRightOffset, -10);
    EXPECT_EQ(S(r.fontFace), u"Arial");
    EXPECT_EQ(r.fontSize, 17);
    EXPECT_EQ(r.fontWeight, 700);
    EXPECT_EQ(r.sndKind, -1);

    // Names past the fourth are dropped, not kept in it.
    ASSERT_EQ(s->ReadControl(u"shell2-4", &r), 0);
    EXPECT_EQ(S(r.image[3]), u"\\d.bmp");

    // No "type": the control does not exist and the record stays zero.
    std::memset(&r, 0xAB, sizeof(r));
    EXPECT_EQ(s->ReadControlSection(2, 2, &r), -1);
    LayoutControlRecord zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(std::memcmp(&r, &zero, sizeof(r)), 0);
    EXPECT_EQ(s->ReadControlSection(2, 3, &r), -1);
}

TEST_F(LayoutScriptTest, NegativePageReadsMainOfShell) {
    const std::string pages =
        "[shell2]\r\npanel=0,61,800,418,,\r\nimage=bg.bmp,,,,1,0xFF00FF\r\nkey0=13,0,1,-1,5\r\n"
        "cmd=0,1025,7,8\r\n[shell2-0]\r\ntype=25\r\n[shell3]\r\npanel=273,79,254,349,0x00C0,-2\r\n"
        "shimage=\\pic.bmp\r\n[shell4]\r\nimage=\r\n";
    auto s = OpenMemory("[shell]\r\nmain=2\r\n" + pages);
    LONG x, y, w, h, dir;
    DWORD style;
    EXPECT_EQ(s->ReadPanel(-1, &x, &y, &w, &h, &style, &dir), 2);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(h, 418);
    EXPECT_EQ(style, 0u);
    EXPECT_EQ(s->ReadPanel(3, &x, &y, &w, &h, &style, &dir), 3);
    EXPECT_EQ(style, 0xC0u);
    EXPECT_EQ(dir, -2);
    EXPECT_EQ(s->ReadPanel(9, &x, &y, &w, &h, &style, &dir), 9);  // no panel key: full screen
    EXPECT_EQ(x, -1);
    EXPECT_EQ(h, -1);
    LayoutControlRecord r;
    EXPECT_EQ(s->ReadControlSection(-1, 0, &r), 0);
    EXPECT_EQ(r.type, 25u);

    WCHAR image[MAX_PATH], s1[MAX_PATH], s2[MAX_PATH], s3[MAX_PATH], shimage[MAX_PATH];
    LONG int1, int2, vkey, scan, when, kind;
    ASSERT_TRUE(IsArchiveLoaded() == FALSE);
    root.WriteFile("Windows/QRX.zip", "not really a zip");
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    EXPECT_EQ(s->ReadShellImage(-1, image, s1, s2, s3, shimage, &int1, &int2), 2);
    EXPECT_EQ(S(image), u"bg.bmp");
    EXPECT_EQ(int1, 1);
    EXPECT_EQ(int2, 0xFF00FF);
    EXPECT_EQ(s->ReadShellImage(3, image, s1, s2, s3, shimage, &int1, &int2), 3);
    EXPECT_EQ(S(shimage), u"\\pic.bmp");
    EXPECT_EQ(s->ReadShellImage(4, image, s1, s2, s3, shimage, &int1, &int2), -1);
    EXPECT_EQ(s->ReadShellImage(2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(s->ReadKeyBinding(-1, u"key0", &vkey, &scan, &when, &kind, s1, s2, s3), 2);
    EXPECT_EQ(vkey, 13);
    EXPECT_EQ(when, 1);
    EXPECT_EQ(kind, -1);
    EXPECT_EQ(S(s1), u"5");
    EXPECT_EQ(S(s2), u"");
    EXPECT_EQ(s->ReadKeyBinding(2, u"key1", &vkey, &scan, &when, &kind, s1, s2, s3), -1);
    EXPECT_EQ(s->ReadCommandKey(-1, -1, u"cmd", &kind, s1, s2, s3), 2);
    EXPECT_EQ(S(s3), u"8");

    auto noMain = OpenMemory(pages);
    EXPECT_EQ(noMain->ReadPanel(-1, &x, &y, &w, &h, &style, &dir), -1);
    EXPECT_EQ(noMain->ReadShellImage(-1, image, s1, s2, s3, shimage, &int1, &int2), -1);
    EXPECT_EQ(noMain->ReadControlSection(-1, 0, &r), -1);
    EXPECT_EQ(noMain->ReadCommandKey(-1, -1, u"cmd", &kind, s1, s2, s3), -1);
    EXPECT_EQ(noMain->ReadPanel(2, &x, &y, &w, &h, &style, &dir), 2);
}

TEST_F(LayoutScriptTest, ImageListsAndTheImageFolder) {
    WCHAR dir[MAX_PATH];
    ASSERT_TRUE(GetModuleDir(dir));
    auto s = OpenMemory("[shell1-0]\nvsbimgs=a.bmp,\\b.bmp,%SD%\\c.bmp,,e.bmp,f.bmp,g.bmp,h.bmp\n");
    WCHAR names[8][MAX_PATH];
    EXPECT_EQ(s->ReadImageList(1, 0, u"vsbimgs", 3, names, -1), 3);
    EXPECT_EQ(S(names[0]), S(dir) + u"a.bmp");
    EXPECT_EQ(S(names[1]), u"\\b.bmp");
    EXPECT_EQ(S(names[2]), u"%SD%\\c.bmp");  // the list ends at the third ","
    EXPECT_EQ(s->ReadImageList(1, 0, u"vsbimgs", 8, names, 0), 7);
    EXPECT_EQ(S(names[0]), u"a.bmp");
    EXPECT_EQ(S(names[3]), u"");
    EXPECT_EQ(S(names[7]), u"h.bmp");
    EXPECT_EQ(s->ReadImageList(1, 0, u"missing", 8, names, -1), -1);
    EXPECT_EQ(S(names[0]), u"");

    root.WriteFile("Windows/QRX.zip", "PK");
    ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    CLayoutScript again;
    WCHAR path[MAX_PATH] = u"";
    ASSERT_EQ(again.Open(path, FALSE), 0);
    EXPECT_EQ(again.ReadImageList(1, 0, u"vsbimgs", 1, names, -1), 1);
    EXPECT_EQ(S(names[0]), u"a.bmp");
}

TEST_F(LayoutScriptTest, NumbersAndFilter) {
    SetStorageFolder(u"SDMMC", u"SD Card");
    SetStorageFolder(u"FlashDisk", u"NAND Flash");
    auto s = OpenMemory(
        "[shell6-1]\n"
        "list=1,-2,0x10,,5,6,7,8\nline=3,0x1F,9\n"
        "filter=.bmp|.png|,%sd%\\Img|%ud%\\Img|%FD%\\Pics||\\Windows|,2,\n"
        "[shell6-2]\nfilter=*.*,%ud%|%UD%\\x,,0\n");
    DWORD n[8];
    std::memset(n, 0xFF, sizeof(n));
    EXPECT_EQ(s->ReadNumbers(6, 1, u"list", 7, n), 0);
    EXPECT_EQ(n[0], 1u);
    EXPECT_EQ(static_cast<LONG>(n[1]), -2);
    EXPECT_EQ(n[2], 16u);
    EXPECT_EQ(n[3], 0u);
    EXPECT_EQ(n[6], 7u);
    EXPECT_EQ(s->ReadNumbers(6, 1, u"line", 2, n), 0);
    EXPECT_EQ(n[1], 0x1Fu);  // the third number does not run into the second
    std::memset(n, 0xFF, sizeof(n));
    EXPECT_EQ(s->ReadNumbers(6, 1, u"gone", 8, n), -1);
    EXPECT_EQ(n[7], 0u);

    WCHAR mask[MAX_PATH], folders[MAX_PATH];
    LONG v3 = 9, v4 = 9;
    EXPECT_EQ(s->ReadFilter(6, 1, mask, MAX_PATH, folders, MAX_PATH, &v3, &v4), 0);
    EXPECT_EQ(S(mask), u".bmp|.png|");
    // No USB disk: its element goes away whole instead of turning into "\Img".
    EXPECT_EQ(S(folders), u"\\SD Card\\Img|\\NAND Flash\\Pics|\\Windows");
    EXPECT_EQ(v3, 2);
    EXPECT_EQ(v4, 1);
    EXPECT_EQ(s->ReadFilter(6, 2, mask, MAX_PATH, folders, MAX_PATH, &v3, &v4), 0);
    EXPECT_EQ(S(folders), u"");
    EXPECT_EQ(v4, 0);
    // A short output takes whole elements only.
    EXPECT_EQ(s->ReadFilter(6, 1, mask, 4, folders, 16, &v3, &v4), 0);
    EXPECT_EQ(S(mask), u".bm");
    EXPECT_EQ(S(folders), u"\\SD Card\\Img");
    EXPECT_EQ(s->ReadFilter(6, 3, mask, MAX_PATH, folders, MAX_PATH, &v3, &v4), -1);
    EXPECT_EQ(v3, 0);
    EXPECT_EQ(v4, 1);
}

TEST_F(LayoutScriptTest, OverlongInputIsCutNotOverrun) {
    std::string longLine = "k=" + std::string(1100, 'v') + "\nnext=1\n";
    std::string field(400, 'f');
    std::string text = "[c-0]\n" + std::string("pad=") + std::string(LAYOUT_LINE_MAX - 4, 'p') + "inside=1\n" +
                       longLine + "type=0\ncmd=1," + field + "\nfont=" + std::string(50, 'F') + ",12\n";
    auto s = OpenMemory(text);
    // The rest of an over-long line is dropped, never read as a line of its own.
    EXPECT_EQ(Key(*s, u"c-0", u"inside"), u"<missing>");
    EXPECT_EQ(Key(*s, u"c-0", u"next"), u"1");
    EXPECT_EQ(Key(*s, u"c-0", u"k").size(), static_cast<size_t>(LAYOUT_LINE_MAX - 2));
    WCHAR small[5];
    EXPECT_EQ(s->ReadKey(u"c-0", u"k", small, 5, FALSE, TRUE), 0);
    EXPECT_EQ(S(small), u"vvvv");
    LayoutControlRecord r;
    ASSERT_EQ(s->ReadControl(u"c-0", &r), 0);
    EXPECT_EQ(S(r.cmd[0]).size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_EQ(S(r.fontFace), std::u16string(LAYOUT_FACE_MAX - 1, u'F'));
    EXPECT_EQ(r.fontSize, 12);
}

TEST_F(LayoutScriptTest, HolderAndMemoryCopy) {
    EXPECT_FALSE(HasLayoutScript());
    // The handed-over text has no terminator; the reader must stop at its size.
    std::string text = "[shell0]\r\nimage=x.bmp";
    HandOver(text);
    DWORD size = 0;
    EXPECT_TRUE(HasLayoutScript());
    EXPECT_EQ(GetLayoutScript(&size), m_resource.get());
    EXPECT_EQ(size, text.size());
    m_resource[text.size()] = 'Z';
    CLayoutScript s;
    WCHAR path[MAX_PATH] = u"";
    ASSERT_EQ(s.Open(path, FALSE), 0);
    m_resource[0] = '#';  // the reader works on its own copy
    EXPECT_EQ(Key(s, u"shell0", u"image"), u"x.bmp");
    SetLayoutScript(nullptr, 0);
    EXPECT_FALSE(HasLayoutScript());
    EXPECT_EQ(GetLayoutScript(&size), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST_F(LayoutScriptTest, MemoryAndFileGiveTheSameAnswers) {
    const std::string text =
        "[shell]\r\nmain=0\r\n[shell0]\r\npanel=0,61,800,418,0x40,\r\nimage=bg.bmp,,,,1,255\r\n"
        "key0=27,0,-1,-1,3\r\n[shell0-0]\t;label\r\ntype=0,1,0xFF00FF\r\npos=10,20,30,40\r\n"
        "image=\\a.bmp,\\b.bmp,,\r\ntext=1,-1,0xFFFFFF,0x000000,Hi,6,\r\nfont=Tahoma,28,1,0,0\r\n"
        "[shell0-1]\r\ntype = 1\r\ncmd=0,1025,0,3 ; go\r\nlist=1,2,3\r\n"
        "filter=.txt|,\\Windows|\\Hard Disk,1,0\r\n";
    auto mem = OpenMemory(text);
    auto file = OpenFile(text);
    for (int c = 0; c < 3; ++c) {
        LayoutControlRecord a, b;
        EXPECT_EQ(mem->ReadControlSection(-1, c, &a), file->ReadControlSection(-1, c, &b)) << c;
        EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0) << c;
    }
    LONG pa[6], pb[6];
    DWORD sa, sb;
    EXPECT_EQ(mem->ReadPanel(-1, &pa[0], &pa[1], &pa[2], &pa[3], &sa, &pa[4]),
              file->ReadPanel(-1, &pb[0], &pb[1], &pb[2], &pb[3], &sb, &pb[4]));
    EXPECT_EQ(std::memcmp(pa, pb, 5 * sizeof(LONG)), 0);
    EXPECT_EQ(sa, 0x40u);
    EXPECT_EQ(sb, 0x40u);
    WCHAR ma[MAX_PATH], fa[MAX_PATH], mb[MAX_PATH], fb[MAX_PATH];
    EXPECT_EQ(mem->ReadFilter(0, 1, ma, MAX_PATH, fa, MAX_PATH, &pa[0], &pa[1]), 0);
    EXPECT_EQ(file->ReadFilter(0, 1, mb, MAX_PATH, fb, MAX_PATH, &pb[0], &pb[1]), 0);
    EXPECT_EQ(S(fa), S(fb));
    EXPECT_EQ(S(fa), u"\\Windows|\\Hard Disk");
    EXPECT_EQ(Key(*mem, u"shell0-1", u"cmd"), Key(*file, u"shell0-1", u"cmd"));
    EXPECT_EQ(Key(*mem, u"shell0-1", u"type"), u"1");
    EXPECT_EQ(Key(*file, u"shell0-1", u"TYPE"), u"1");
    EXPECT_EQ(Key(*mem, u"shell9", u"panel"), Key(*file, u"shell9", u"panel"));
}

}  // namespace
