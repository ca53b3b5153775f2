// The main program's first pages with its real layout script and its real image archive: every page
// opens where it belongs with the controls the program addresses, every control reports to the main
// window as the program expects, and the texts of the language files fit their labels.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "PageHarness.h"
#include "ui/FileUtil.h"
#include "ui/UiBitmap.h"
#include "ui/UiCtrl.h"
#include "ui/controls/Button.h"

using namespace page_harness;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Expected {
    int index;
    int type;
    RECT rect;  // in the page
};

struct PageLayout {
    int shell;
    RECT rect;  // on the screen
    DWORD style;
    std::vector<Expected> controls;
};

const std::vector<PageLayout>& Pages() {
    static const std::vector<PageLayout> pages = {
        {0,
         {0, 0, 800, 480},
         0,
         {{0, 1, {90, 212, 380, 432}},
          {1, 1, {420, 212, 710, 432}},
          {2, 0, {150, 160, 650, 190}},
          {3, 1, {250, 48, 550, 148}},
          {4, 1, {0, 0, 40, 40}},
          {5, 1, {760, 0, 800, 40}}}},
        {2, {0, 0, 800, 480}, SHELL_STYLE_TOPMOST, {{0, 1, {0, 0, 800, 480}}}},
        {12,
         {210, 84, 590, 364},
         SHELL_STYLE_TOPMOST | SHELL_STYLE_MODAL,
         {{0, 0, {16, 12, 364, 42}},
          {1, 0, {16, 66, 364, 208}},
          {2, 1, {30, 226, 180, 258}},
          {3, 1, {200, 226, 350, 258}},
          {4, 1, {115, 226, 265, 258}}}},
        {13, {346, 228, 454, 253}, SHELL_STYLE_TOPMOST, {{0, 1, {0, 0, 108, 25}}}},
        {14,
         {0, 0, 800, 61},
         0,
         {{0, 1, {4, 3, 84, 58}},
          {1, 1, {88, 3, 168, 58}},
          {2, 1, {256, 3, 336, 58}},
          {3, 1, {340, 3, 420, 58}},
          {4, 1, {424, 3, 504, 58}},
          {5, 1, {508, 3, 588, 58}},
          {6, 16, {592, 15, 624, 47}},
          {7, 16, {626, 15, 658, 47}},
          {8, 1, {696, 19, 796, 43}},
          {9, 16, {660, 15, 692, 47}},
          {10, 1, {172, 3, 252, 58}}}},
    };
    return pages;
}

// A language file's section as key -> text; UTF-16 files with a byte-order mark, else code page 949.
std::map<int, std::u16string> LangSection(const std::string& file, const std::string& section) {
    std::string bytes = ReadAll(file);
    std::u16string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    } else {
        int n = MultiByteToWideChar(949, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        text.resize(static_cast<size_t>(std::max(n, 0)));
        if (n > 0) MultiByteToWideChar(949, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
    }
    std::map<int, std::u16string> out;
    std::u16string header = u"[" + std::u16string(section.begin(), section.end()) + u"]";
    bool inside = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(start, end - start);
        start = end + 2;
        if (!line.empty() && line[0] == u'[') {
            inside = line == header;
            continue;
        }
        size_t eq = line.find(u'=');
        if (!inside || eq == std::u16string::npos || eq == 0) continue;
        int key = 0;
        for (size_t i = 0; i < eq; ++i) key = key * 10 + (line[i] - u'0');
        out[key] = line.substr(eq + 1);
    }
    return out;
}

class QrxLayout : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        const std::string layout = ReadAll(std::string(QRX_SOURCE_DIR) + "/app/main/qrx.layout");
        ASSERT_FALSE(layout.empty());
        UseScript(layout);
        const std::string zip = ReadAll(std::string(QRX_BUILD_DIR) + "/assets/QRX.zip");
        ASSERT_FALSE(zip.empty()) << "build the qrx-assets target first";
        root.WriteFile("Windows/QRX.zip", zip);
        ASSERT_TRUE(LoadArchiveFile(u"\\Windows\\QRX.zip"));
    }
    void TearDown() override {
        PageTest::TearDown();
        FreeArchiveFile();
    }

    // A picture of the screen for people to look at, when QRX_SHOT_DIR names a folder.
    void Shot(const std::string& name) {
        Idle();
        if (const char* dir = std::getenv("QRX_SHOT_DIR")) {
            EXPECT_TRUE(qrx::screen::Shot((std::string(dir) + "/" + name + ".png").c_str()));
        }
    }

    void TapCentre(CShellPanel* page, int i) {
        CUiCtrl* c = page->GetCtrl(i);
        ASSERT_NE(c, nullptr);
        RECT p, r;
        page->GetRect(&p, FALSE);
        c->GetRect(&r, FALSE);
        qrx::screen::Tap(p.left + (r.left + r.right) / 2, p.top + (r.top + r.bottom) / 2);
        Idle();
    }
};

bool HasSize(const CUiBitmap* b) { return b && b->GetWidth() > 0 && b->GetHeight() > 0; }

}  // namespace

TEST_F(QrxLayout, PagesOpenWhereTheyBelongWithTheControlsTheProgramAddresses) {
    ASSERT_NE(Open(0), nullptr);
    for (const PageLayout& want : Pages()) {
        SCOPED_TRACE("shell " + std::to_string(want.shell));
        CShellPanel* page = Open(want.shell);
        ASSERT_NE(page, nullptr);
        RECT rc;
        page->GetRect(&rc, FALSE);
        EXPECT_TRUE(EqualRect(&rc, &want.rect));
        EXPECT_EQ(page->GetStyle() & (SHELL_STYLE_TOPMOST | SHELL_STYLE_MODAL), want.style);
        ASSERT_EQ(page->GetCtrlCount(), static_cast<int>(want.controls.size()));
        for (const Expected& e : want.controls) {
            SCOPED_TRACE("control " + std::to_string(e.index));
            CUiCtrl* c = page->GetCtrl(e.index);
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(c->GetType(), e.type);
            c->GetRect(&rc, FALSE);
            EXPECT_TRUE(EqualRect(&rc, &e.rect));
            // Every control has an image of its own (never the page's) and reports to the main window.
            EXPECT_TRUE(HasSize(c->GetImage(UICTRL_IMG_NORMAL)));
            EXPECT_NE(c->GetImage(UICTRL_IMG_NORMAL), page->GetImage(0));
            if (e.type == 0) continue;
            const UiCtrlCommand& cmd = c->GetCommand();
            EXPECT_EQ(cmd.kind, 0);
            EXPECT_EQ(std::u16string(cmd.s[0]), u"1025");
            EXPECT_EQ(std::u16string(cmd.s[1]), std::u16string(u"") + (want.shell >= 10 ? u"1" : u"") +
                                                    static_cast<char16_t>(u'0' + want.shell % 10));
            EXPECT_EQ(StrToLong(cmd.s[2]), e.index);
        }
    }
    // The status icons of the top bar show a checked and an unchecked picture.
    CShellPanel* bar = manager->FindShell(14);
    ASSERT_NE(bar, nullptr);
    for (int i : {6, 7, 9}) {
        auto* icon = static_cast<CButtonCtrl*>(bar->GetCtrl(i));
        EXPECT_TRUE(HasSize(icon->GetStateBitmap(0))) << i;
        EXPECT_TRUE(HasSize(icon->GetStateBitmap(4))) << i;
    }
    EXPECT_EQ(std::u16string(manager->FindShell(0)->GetCtrl(0)->GetText()), u"OPERATION");
    EXPECT_EQ(std::u16string(manager->FindShell(0)->GetCtrl(1)->GetText()), u"SETTING");
}

TEST_F(QrxLayout, MainPageButtonsPostToTheMainWindowAndTheLogoSwitches) {
    CShellPanel* main = Open(0);
    ASSERT_NE(main, nullptr);
    main->GetCtrl(2)->SetText(u"Z-330", TRUE);
    Shot("qrx_main");
    for (int i : {0, 1, 3, 4, 5}) {
        TapCentre(main, i);
        EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 0, i), 1) << i;
    }
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK), 5);
    // The hidden buttons draw nothing: the corners show the page's own picture.
    std::vector<uint32_t> before;
    ASSERT_TRUE(qrx::screen::Compose(before));

    // Each logo index has its own picture.
    CUiCtrl* logo = main->GetCtrl(3);
    std::vector<std::vector<uint32_t>> shots;
    for (int i = 0; i < 5; ++i) {
        WCHAR name[32];
        swprintf(name, 32, u"company_logo_%02d.png", i);
        ASSERT_TRUE(logo->SetBackImage(name, TRUE, TRUE)) << i;
        Idle();
        std::vector<uint32_t> px;
        ASSERT_TRUE(qrx::screen::Compose(px));
        std::vector<uint32_t> area;
        for (int y = 48; y < 148; ++y)
            area.insert(area.end(), px.begin() + y * 800 + 250, px.begin() + y * 800 + 550);
        for (const auto& other : shots) EXPECT_NE(area, other) << "logo " << i;
        shots.push_back(area);
    }
    WCHAR missing[] = u"company_logo_05.png";
    EXPECT_FALSE(logo->SetBackImage(missing, TRUE, TRUE));
}

TEST_F(QrxLayout, PopupBlocksThePagesBelowAndTheCoverTakesEveryTouch) {
    CShellPanel* main = Open(0);
    ASSERT_NE(main, nullptr);
    CShellPanel* popup = Open(12);
    ASSERT_NE(popup, nullptr);
    popup->GetCtrl(0)->SetText(u"NOTICE", FALSE);
    popup->GetCtrl(1)->SetText(u"The program is completed.\r\nRemove the battery clamps.", TRUE);
    popup->GetCtrl(4)->Show(FALSE);
    popup->GetCtrl(4)->Enable(FALSE);
    Shot("qrx_popup");
    for (int i : {2, 3}) {
        TapCentre(popup, i);
        EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 12, i), 1) << i;
    }
    TapCentre(main, 0);  // under the modal popup's reign
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 0), 0);
    popup->GetCtrl(2)->Show(FALSE);
    popup->GetCtrl(3)->Show(FALSE);
    popup->GetCtrl(4)->Enable(TRUE);
    popup->GetCtrl(4)->Show(TRUE);
    TapCentre(popup, 4);
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 12, 4), 1);

    CShellPanel* lock = Open(13);
    ASSERT_NE(lock, nullptr);
    Shot("qrx_lockbox");
    TapCentre(lock, 0);
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 13, 0), 1);

    ASSERT_NE(Open(2), nullptr);
    Idle();
    EXPECT_EQ(ScreenPixel(400, 200), 0u);  // the cover is black
    qrx::screen::Tap(400, 200);
    qrx::screen::Tap(5, 470);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 2, 0), 2);
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 12), 3);
}

TEST_F(QrxLayout, TopBarButtonsPostAndStatusIconsOnlyShowTheirState) {
    ASSERT_NE(Open(0), nullptr);
    CShellPanel* bar = Open(14);
    ASSERT_NE(bar, nullptr);
    bar->GetCtrl(8)->SetText(u"AM 12:05", TRUE);
    static_cast<CButtonCtrl*>(bar->GetCtrl(7))->SetCheck(1, TRUE);
    bar->GetCtrl(2)->Enable(FALSE);
    Shot("qrx_topbar");
    for (int i : {0, 1, 3, 4, 5, 8, 10}) {
        TapCentre(bar, i);
        EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 14, i), 1) << i;
    }
    TapCentre(bar, 2);
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 14, 2), 0);  // disabled
    // A status icon ignores taps: only the program changes what it shows.
    auto* unit = static_cast<CButtonCtrl*>(bar->GetCtrl(9));
    TapCentre(bar, 9);
    EXPECT_EQ(unit->GetCheck(), 0);
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 14, 9), 0);
    std::vector<uint32_t> off, on;
    ASSERT_TRUE(qrx::screen::Compose(off));
    unit->SetCheck(1, TRUE);
    Idle();
    ASSERT_TRUE(qrx::screen::Compose(on));
    EXPECT_NE(off, on);
}

TEST_F(QrxLayout, LanguageTextsFitTheirLabels) {
    CShellPanel* popup = Open(12);
    ASSERT_NE(popup, nullptr);
    CShellPanel* bar = Open(14);
    ASSERT_NE(bar, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    auto width = [&](CUiCtrl* c, const std::u16string& line) {
        HGDIOBJ old = SelectObject(dc, c->GetFont());
        SIZE size{0, 0};
        GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
        SelectObject(dc, old);
        return static_cast<int>(size.cx);
    };
    auto roomOf = [](CUiCtrl* c) {
        RECT r;
        c->GetRect(&r, FALSE);
        return static_cast<int>(r.right - r.left) - 2;
    };
    const std::string lang = std::string(QRX_SOURCE_DIR) + "/assets/lang/English.lang";
    std::map<int, std::u16string> popupTexts = LangSection(lang, "shell12");
    // Titles, buttons and messages; a message line ends at each backslash-r.
    for (int key : {10, 11, 12}) {
        ASSERT_TRUE(popupTexts.count(key)) << key;
        EXPECT_LE(width(popup->GetCtrl(0), popupTexts[key]), roomOf(popup->GetCtrl(0))) << key;
    }
    for (int key : {2, 3, 4}) {
        ASSERT_TRUE(popupTexts.count(key)) << key;
        EXPECT_LE(width(popup->GetCtrl(key), popupTexts[key]), roomOf(popup->GetCtrl(key))) << key;
    }
    CUiCtrl* message = popup->GetCtrl(1);
    int checked = 0;
    for (const auto& [key, text] : popupTexts) {
        if (key < 20) continue;
        size_t start = 0;
        int lines = 0;
        for (;;) {
            size_t cut = text.find(u"\\r", start);
            std::u16string line = text.substr(start, cut == std::u16string::npos ? std::u16string::npos : cut - start);
            EXPECT_LE(width(message, line), roomOf(message)) << "[shell12] " << key;
            ++lines;
            if (cut == std::u16string::npos) break;
            start = cut + 2;
        }
        EXPECT_LE(lines, 4) << "[shell12] " << key;
        ++checked;
    }
    EXPECT_GT(checked, 20);
    std::map<int, std::u16string> barTexts = LangSection(lang, "shell14");
    for (int key : {0, 1, 2, 3, 4, 5, 10}) {
        ASSERT_TRUE(barTexts.count(key)) << key;
        EXPECT_LE(width(bar->GetCtrl(key), barTexts[key]), roomOf(bar->GetCtrl(key))) << key;
    }
    for (const char16_t* clock : {u"AM 12:05", u"PM 12:30", u"23:59"})
        EXPECT_LE(width(bar->GetCtrl(8), clock), roomOf(bar->GetCtrl(8)));
    // Both languages name every text these pages show.
    for (const char* file : {"English.lang", "Korean.lang"}) {
        const std::string path = std::string(QRX_SOURCE_DIR) + "/assets/lang/" + file;
        auto main = LangSection(path, "shell0");
        auto box = LangSection(path, "shell13");
        auto p = LangSection(path, "shell12");
        auto b = LangSection(path, "shell14");
        EXPECT_TRUE(main.count(0) && main.count(1)) << file;
        EXPECT_TRUE(box.count(0)) << file;
        for (int key : {2, 3, 4, 10, 11, 12, 20, 21, 22, 23, 27, 28, 30, 31, 32, 33, 35, 40, 41, 42, 44, 50, 54, 55,
                        56, 57, 63, 64})
            EXPECT_TRUE(p.count(key) && !p[key].empty()) << file << " [shell12] " << key;
        for (int key : {0, 1, 2, 3, 4, 5, 10}) EXPECT_TRUE(b.count(key)) << file << " [shell14] " << key;
    }
    DeleteDC(dc);
}
