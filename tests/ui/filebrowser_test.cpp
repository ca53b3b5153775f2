#include "ui/controls/FileBrowser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PageHarness.h"
#include "qrx/host.h"

using namespace page_harness;

namespace {

class FileBrowserTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
        root.WriteFile("SD Card/b.csv", "b");
        root.WriteFile("SD Card/A.CSV", "a");
        root.WriteFile("SD Card/c.csv.bak", "c");
        root.WriteFile("SD Card/noext", "n");
        root.WriteFile("SD Card/Log/inner.csv", "i");
        root.WriteFile("SD Card/Secret/s.csv", "s");
    }

    // [shell0-0] as a file browser of 30-pixel rows at 100,100 (300 x 300), sorted ascending.
    CFileBrowser* OpenBrowser(const std::string& keys) {
        UseScript(
            "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell0-0]\r\ntype=10\r\n"
            "cmd=0,1025,0,3\r\npos=100,100,300,300\r\nlist=30,1,0,0,0,0,1\r\n" +
            keys);
        host->log.clear();
        CShellPanel* page = Open(0);
        return page ? dynamic_cast<CFileBrowser*>(page->GetCtrl(0)) : nullptr;
    }
    static std::string Rows(const CFileBrowser* browser) {
        std::string out;
        WCHAR text[MAX_PATH];
        for (int i = 0; i < browser->GetCount(); ++i) {
            browser->GetItemText(i, text, MAX_PATH);
            out += (i ? "," : "") + std::string(text, text + wcslen(text));
        }
        return out;
    }
    int Events(int event) const { return host->Count(1025, 0, 3 | (event << 16)); }
};

TEST_F(FileBrowserTest, ListsRootsFoldersAndMatchingFilesSorted) {
    std::filesystem::create_directories(root.Host("SD Card2"));
    CFileBrowser* browser = OpenBrowser("filter=.CSV|,\\SD Card,0,1\r\n");
    ASSERT_NE(browser, nullptr);
    // The mask matches without regard to case; ".bak" after ".csv" and a name without "." do not match.
    EXPECT_EQ(Rows(browser), "[..],Log,Secret,A.CSV,b.csv");
    EXPECT_EQ(browser->GetFileCount(), 2);
    // Nothing remembered: the first file row is selected and reported.
    EXPECT_EQ(browser->GetCurSel(), 3);
    WCHAR path[MAX_PATH];
    EXPECT_EQ(browser->GetEntryPath(-1, path), 1);
    EXPECT_EQ(std::u16string(path), u"\\SD Card\\A.CSV");
    EXPECT_EQ(browser->GetEntryPath(0, path), 0);
    EXPECT_EQ(std::u16string(path), u"\\");
    EXPECT_EQ(browser->GetEntryPath(1, path), 0);
    EXPECT_EQ(std::u16string(path), u"\\SD Card\\Log\\");
    EXPECT_EQ(browser->GetEntryPath(99, path), -1);
    EXPECT_EQ(path[0], 0);

    // "\" above the root shows the roots and the numbered sibling that exists.
    EXPECT_EQ(browser->OpenFolder(u"\\", 1, nullptr, 1), 1);
    EXPECT_EQ(Rows(browser), "SD Card,SD Card2");

    // An all-files mask takes the name without an extension; depth 1 lists neither folders nor "[..]".
    browser->SetFilter(u".*|", nullptr, 1, 1);
    browser->OpenFolder(u"\\SD Card", 1, nullptr, 1);
    EXPECT_EQ(Rows(browser), "A.CSV,b.csv,c.csv.bak,noext");
}

TEST_F(FileBrowserTest, FolderTapOpensAndFileDoubleClickReports) {
    CFileBrowser* browser = OpenBrowser("filter=.csv|,\\SD Card,0,1\r\n");
    ASSERT_NE(browser, nullptr);
    host->log.clear();
    // Row 1 ("Log") lies at 130..160.
    qrx::screen::Tap(200, 145);
    Idle();
    EXPECT_EQ(std::u16string(browser->GetCurrentFolder()), u"\\SD Card\\Log\\");
    EXPECT_EQ(Rows(browser), "[..],inner.csv");
    EXPECT_GE(Events(1), 1);
    host->log.clear();
    qrx::screen::Tap(200, 145);
    qrx::screen::Tap(200, 145);
    Idle();
    EXPECT_EQ(Events(2), 1);
    EXPECT_EQ(std::u16string(browser->GetCurrentFolder()), u"\\SD Card\\Log\\");
    // "[..]" goes back up.
    qrx::screen::Tap(200, 115);
    Idle();
    EXPECT_EQ(std::u16string(browser->GetCurrentFolder()), u"\\SD Card\\");
}

TEST_F(FileBrowserTest, ExtraFoldersExclusionsAndStyle) {
    root.WriteFile("NAND Flash/Extra/x.csv", "x");
    CFileBrowser* browser = OpenBrowser("filter=.csv|,\\SD Card,0,1\r\nexcept0=\\SD Card\\Secret\r\nexstyle=1\r\n");
    ASSERT_NE(browser, nullptr);
    // exstyle=1: auto-select on, no "[..]" row, no scrolling text.
    EXPECT_FALSE(browser->GetMarquee());
    EXPECT_EQ(Rows(browser), "Log,Secret,A.CSV,b.csv");
    browser->OpenFolder(u"\\SD Card\\Secret", 1, nullptr, 1);
    EXPECT_EQ(browser->GetCount(), 0);
    // An extra folder added after opening is listed at once, and again with every refresh.
    browser->OpenFolder(u"\\SD Card", 1, nullptr, 1);
    ASSERT_TRUE(browser->AddRoot(u"\\NAND Flash\\Extra"));
    EXPECT_EQ(Rows(browser), "Log,Secret,A.CSV,b.csv,x.csv");
    browser->OpenFolder(u"\\SD Card\\Log", 1, u"\\NAND Flash\\Extra\\x.csv", 1);
    EXPECT_EQ(Rows(browser), "inner.csv,x.csv");
    EXPECT_EQ(browser->GetCurSel(), 1);
    EXPECT_FALSE(browser->AddRoot(u""));
}

TEST_F(FileBrowserTest, OutsideNamesAreBounded) {
    for (int i = 0; i < 600; ++i) root.WriteFile("SD Card/Many/f" + std::to_string(i) + ".csv", "");
    // Folders found after the limit are listed still.
    for (int i = 0; i < 5; ++i) std::filesystem::create_directories(root.Host("SD Card/Many/d" + std::to_string(i)));
    // A path past 259 characters is left out, never cut to another name.
    const std::string longName(250, 'n');
    root.WriteFile("SD Card/Long/" + longName + ".csv", "");
    root.WriteFile("SD Card/Long/short.csv", "");
    // A link back to a parent folder.
    std::filesystem::create_directories(root.Host("SD Card/Deep/a"));
    root.WriteFile("SD Card/Deep/a/d.csv", "");
    std::filesystem::create_directory_symlink(root.Host("SD Card/Deep"), root.Host("SD Card/Deep/a/loop"));
    CFileBrowser* browser = OpenBrowser("filter=.csv|,\\SD Card,0,0\r\n");
    ASSERT_NE(browser, nullptr);
    browser->OpenFolder(u"\\SD Card\\Many", 1, nullptr, 0);
    EXPECT_EQ(browser->GetFileCount(), CFileBrowser::kMaxFiles);
    EXPECT_EQ(browser->GetCount(), CFileBrowser::kMaxFiles + 5 + 1);
    browser->OpenFolder(u"\\SD Card\\Long", 1, nullptr, 0);
    EXPECT_EQ(Rows(browser), "[..],short.csv");
    // Recursion ends at the depth bound however the links turn: the loop passes d.csv every two levels.
    browser->SetFilter(nullptr, nullptr, 2, 0);
    browser->OpenFolder(u"\\SD Card\\Deep", 1, nullptr, 0);
    EXPECT_EQ(browser->GetFileCount(), CFileBrowser::kMaxDepth / 2);
}

TEST_F(FileBrowserTest, CardRemovedAndBack) {
    CFileBrowser* browser = OpenBrowser("filter=.csv|,\\SD Card,0,1\r\n");
    ASSERT_NE(browser, nullptr);
    browser->OpenFolder(u"\\SD Card\\Log", 1, nullptr, 1);
    EXPECT_EQ(Rows(browser), "[..],inner.csv");
    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    browser->OpenFolder(browser->GetCurrentFolder(), 1, nullptr, 1);
    EXPECT_EQ(Rows(browser), "[..]");
    ASSERT_TRUE(qrx::ArriveVolume("SD Card"));
    browser->OpenFolder(browser->GetCurrentFolder(), 1, nullptr, 1);
    EXPECT_EQ(Rows(browser), "[..],inner.csv");
    EXPECT_EQ(WaitForSingleObject(browser->GetDoneEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
