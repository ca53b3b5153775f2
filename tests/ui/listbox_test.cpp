#include "ui/controls/ListBox.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "PageHarness.h"
#include "ui/CtrlFactory.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kPre = RGB(0, 200, 0);

// Exposes the scrolling-text offset of the base control.
class ProbeList : public CListBoxCtrl {
public:
    using CListBoxCtrl::CListBoxCtrl;
    int Offset() const { return m_nMarqueeOffset; }
};

int Compare(CListBoxCtrl* list, const ListItem* a, const ListItem* b) {
    int r = _wcsicmp(a->text1, b->text1);
    return list->GetSortMode() >= 0 ? r : -r;
}

std::u16string Texts(CListBoxCtrl* list) {
    std::u16string out;
    WCHAR text[MAX_PATH];
    for (int i = 0; i < list->GetCount(); ++i) {
        list->GetItemText(i, text, MAX_PATH);
        if (i) out += u",";
        out += text;
    }
    return out;
}

class ListBoxTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("pre.bmp", SolidBmp(300, 30, kPre));
        WriteImage("up.bmp", SolidBmp(20, 20, RGB(200, 0, 0)));
        WriteImage("down.bmp", SolidBmp(20, 20, RGB(200, 0, 0)));
        WriteImage("thumb.bmp", SolidBmp(20, 10, RGB(250, 250, 250)));
        WriteImage("tall.bmp", SolidBmp(20, 60, RGB(250, 250, 250)));
        WriteImage("track.bmp", SolidBmp(20, 8, RGB(90, 90, 90)));
        WriteImage("unchk.bmp", SolidBmp(16, 16, RGB(10, 10, 10)));
        WriteImage("chk.bmp", SolidBmp(16, 16, RGB(240, 240, 0)));
    }

    // The list of [shell0-0] on page 0, built the way the factory builds it.
    CListBoxCtrl* OpenList(const std::string& keys, bool probe = false, int shell = 0) {
        std::string pos = keys.find("pos=") == std::string::npos ? "pos=100,100,300,100\r\n" : "";
        const std::string n = std::to_string(shell);
        UseScript("[shell" + n + "]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell" + n +
                  "-0]\r\ntype=3\r\ncmd=0,1025,0,3\r\n" + pos + keys);
        host->log.clear();
        page = Open(shell);
        if (!page) return nullptr;
        if (auto* made = dynamic_cast<CListBoxCtrl*>(page->GetCtrl(0)); made && !probe) return made;
        CLayoutScript reader;
        if (reader.Open(nullptr, FALSE) != 0) return nullptr;
        auto record = std::make_unique<LayoutControlRecord>();
        if (reader.ReadControlSection(shell, 0, record.get()) != 0) return nullptr;
        CUiCtrl* ctrl = nullptr;
        if (probe) {
            auto* list = new ProbeList(record.get(), page);
            list->SetItemHeight(30);
            list->SetAlwaysShowBar(0);
            list->SetMarquee(TRUE);
            ctrl = list;
        } else {
            ctrl = NewListBox(record.get(), page, &reader, shell, 0);
        }
        if (!ctrl->LoadImages(record->image[0], record->image[1], record->image[2], record->image[3]))
            page->SetBackImages(ctrl);
        if (!ctrl->Create(WS_CHILD | WS_VISIBLE, 0)) {
            delete ctrl;
            return nullptr;
        }
        page->AddCtrl(ctrl);
        Idle();
        return dynamic_cast<CListBoxCtrl*>(ctrl);
    }
    int Events(int event) const { return host->Count(1025, 0, 3 | (event << 16)); }
    void Fill(CListBoxCtrl* list, int count) {
        for (int i = 0; i < count; ++i) {
            std::string name = "row" + std::to_string(i);
            std::u16string text(name.begin(), name.end());
            list->AddItem(text.c_str(), nullptr, nullptr, FALSE, -1, TRUE);
        }
        list->Invalidate(nullptr, FALSE);
        Idle();
    }

    CShellPanel* page = nullptr;
};

const char* kBar = "vsbimgs=\\Windows\\up.bmp,,\\Windows\\down.bmp,,\\Windows\\thumb.bmp,,\\Windows\\track.bmp\r\n";

}  // namespace

TEST_F(ListBoxTest, InsertionOrderAndSortModes) {
    CListBoxCtrl* list = OpenList("list=30,1,0,0,0,0,0\r\n");
    ASSERT_NE(list, nullptr);
    // Unsorted rows go to the top; sorted rows in mode 0 keep their order at the bottom.
    list->AddItem(u"a", nullptr, nullptr, TRUE, -1, FALSE);
    list->AddItem(u"b", nullptr, nullptr, TRUE, -1, FALSE);
    list->AddItem(u"c", nullptr, nullptr, TRUE, -1, TRUE);
    EXPECT_EQ(list->AddItem(u"d", nullptr, nullptr, TRUE, -1, TRUE), 3);
    EXPECT_EQ(Texts(list), u"b,a,c,d");

    // Ascending: an equal key goes before its equal, or after it when that is the last row.
    list->DeleteAllItems(TRUE);
    list->SetSortMode(1);
    for (const char16_t* t : {u"m", u"C", u"x", u"a"}) list->AddItem(t, nullptr, nullptr, FALSE, -1, TRUE);
    EXPECT_EQ(Texts(list), u"a,C,m,x");
    EXPECT_EQ(list->AddItem(u"c", u"second", nullptr, FALSE, -1, TRUE), 1);
    EXPECT_EQ(list->AddItem(u"X", nullptr, nullptr, FALSE, -1, TRUE), 5);
    EXPECT_EQ(Texts(list), u"a,c,C,m,x,X");

    // Descending, and a compare of the caller's own.
    list->DeleteAllItems(TRUE);
    list->SetSortMode(-1);
    for (const char16_t* t : {u"b", u"d", u"a", u"c"}) list->AddItem(t, nullptr, nullptr, FALSE, -1, TRUE);
    EXPECT_EQ(Texts(list), u"d,c,b,a");
    list->DeleteAllItems(FALSE);
    list->SetSortMode(1);
    list->SetCompareProc(&Compare);
    for (const char16_t* t : {u"q", u"e", u"w"}) list->AddItem(t, nullptr, nullptr, FALSE, -1, TRUE);
    EXPECT_EQ(Texts(list), u"e,q,w");

    // The selection follows its row when rows are inserted before it.
    list->SetCurSel(1, TRUE, FALSE, nullptr);
    list->AddItem(u"a", nullptr, nullptr, TRUE, -1, TRUE);
    EXPECT_EQ(list->GetCurSel(), 2);
    list->AddItem(u"z", nullptr, nullptr, TRUE, -1, FALSE);
    EXPECT_EQ(list->GetCurSel(), 3);
    list->DeleteAllItems(TRUE);
    EXPECT_EQ(list->GetCurSel(), -1);
    EXPECT_EQ(list->GetCount(), 0);
}

TEST_F(ListBoxTest, TextsChecksAndRangeEdges) {
    CListBoxCtrl* list = OpenList("list=30,1,0,0,0,0,0\r\n");
    ASSERT_NE(list, nullptr);
    WCHAR buffer[MAX_PATH] = u"junk";
    EXPECT_EQ(list->GetItemText(0, buffer, MAX_PATH), -1);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(list->GetItemText(0, nullptr, 0), -1);

    // Long texts are cut to what a row holds and copies never pass the buffer.
    std::u16string longText(400, u'w');
    list->AddItem(longText.c_str(), longText.c_str(), longText.c_str(), TRUE, -1, FALSE);
    EXPECT_EQ(list->GetItemText(0, nullptr, 0), kListTextMax);
    WCHAR small[10];
    EXPECT_EQ(list->GetItemText(0, small, 10), kListTextMax);
    EXPECT_EQ(std::u16string(small), std::u16string(9, u'w'));
    EXPECT_EQ(std::u16string(list->GetItem(0)->text3).size(), static_cast<size_t>(kListTextMax));
    EXPECT_EQ(list->GetItemText(1, buffer, MAX_PATH), -1);
    EXPECT_EQ(list->GetItemText(-1, buffer, MAX_PATH), -1);

    // Checks and selection by index or by image name; out of range is refused.
    list->AddItem(u"two", nullptr, nullptr, TRUE, -1, TRUE);
    QrxStrCopy(list->GetItem(1)->image, MAX_PATH, u"\\Windows\\Two.BMP");
    EXPECT_EQ(list->SetItemCheck(0, 1, TRUE, nullptr), 0);
    EXPECT_EQ(list->GetItemCheck(0), 1);
    EXPECT_EQ(list->SetItemCheck(0, 5, TRUE, u"\\windows\\two.bmp"), 1);
    EXPECT_EQ(list->GetItemCheck(1), 5);
    EXPECT_EQ(list->SetItemCheck(0, 1, TRUE, u"none"), -1);
    EXPECT_EQ(list->GetItemCheck(7), 0);
    EXPECT_EQ(list->SetCurSel(2, TRUE, TRUE, nullptr), -1);
    EXPECT_EQ(list->SetCurSel(0, TRUE, FALSE, u"\\WINDOWS\\TWO.bmp"), 1);
    EXPECT_EQ(list->GetCurSel(), 1);

    // Row heights below one pixel are refused and change nothing.
    EXPECT_EQ(list->SetItemHeight(0), -1);
    EXPECT_EQ(list->SetItemHeight(-4), -1);
    EXPECT_EQ(list->GetItemHeight(), 30);
}

TEST_F(ListBoxTest, FactoryKeysAndGeometry) {
    CListBoxCtrl* list = OpenList(std::string(kBar) + "list=30,2,0,0,1,1,-1\r\nexstyle=0,0,1\r\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetItemHeight(), 30);
    EXPECT_EQ(list->GetLineStep(), 2);
    EXPECT_EQ(list->GetDisplayMode(), 1);
    EXPECT_EQ(list->GetSortMode(), -1);
    EXPECT_TRUE(list->GetMarquee());
    EXPECT_TRUE(list->IsBarShown());
    // 100 high with rows of 30: 90 high, three lines of two.
    RECT rc;
    list->GetRect(&rc, FALSE);
    EXPECT_EQ(rc.bottom - rc.top, 90);
    EXPECT_EQ(list->GetPageSize(), 6);
    list->Move(100, 100, 300, 200, FALSE);
    list->GetRect(&rc, FALSE);
    EXPECT_EQ(rc.bottom - rc.top, 180);
    EXPECT_EQ(list->GetPageSize(), 12);

    // Without "list" the row height comes from the font and the bar only shows when needed.
    list = OpenList(kBar, false, 1);
    ASSERT_NE(list, nullptr);
    EXPECT_GT(list->GetItemHeight(), 0);
    EXPECT_EQ(list->GetLineStep(), 1);
    EXPECT_FALSE(list->IsBarShown());
    EXPECT_FALSE(list->GetMarquee());
    for (int i = 0; i < 30; ++i) list->AddItem(u"row", nullptr, nullptr, FALSE, -1, TRUE);
    EXPECT_TRUE(list->IsBarShown());
}

TEST_F(ListBoxTest, TapsSelectDoubleClickAndCheck) {
    CListBoxCtrl* list = OpenList("image=\\Windows\\pre.bmp,\\Windows\\pre.bmp,,\r\nlist=30,1,0,0,0,0,0\r\n"
                                  "check=\\Windows\\unchk.bmp,\\Windows\\chk.bmp\r\n");
    ASSERT_NE(list, nullptr);
    Fill(list, 3);
    EXPECT_EQ(ScreenPixel(125, 135), ScreenColour(kBg));

    // A tap on the second row selects and shows it; a tap on no row keeps the selection.
    qrx::screen::Tap(250, 145);
    Idle();
    EXPECT_EQ(list->GetCurSel(), 1);
    EXPECT_EQ(Events(1), 1);
    EXPECT_EQ(Events(2), 0);
    EXPECT_EQ(ScreenPixel(390, 135), ScreenColour(kPre));
    EXPECT_EQ(ScreenPixel(390, 105), ScreenColour(kBg));
    qrx::screen::Tap(250, 195);
    Idle();
    EXPECT_EQ(list->GetCurSel(), 1);

    // Two taps on the same row are a double click.
    host->log.clear();
    qrx::screen::Tap(250, 115);
    qrx::screen::Tap(250, 115);
    Idle();
    EXPECT_EQ(list->GetCurSel(), 0);
    EXPECT_EQ(Events(1), 2);
    EXPECT_EQ(Events(2), 1);

    // The check box toggles without touching the selection; a folder row has none.
    host->log.clear();
    qrx::screen::Tap(105, 165);
    Idle();
    EXPECT_EQ(list->GetItemCheck(2), 1);
    EXPECT_EQ(list->GetCurSel(), 0);
    EXPECT_EQ(Events(12), 1);
    EXPECT_EQ(ScreenPixel(105, 175), ScreenColour(RGB(240, 240, 0)));
    list->GetItem(2)->flags = LIST_ITEM_FOLDER;
    qrx::screen::Tap(105, 165);
    Idle();
    EXPECT_EQ(list->GetItemCheck(2), 1);
    EXPECT_EQ(list->GetCurSel(), 2);

    // Without keep-selection a pen elsewhere clears the selection.
    host->log.clear();
    list->SetKeepSelection(FALSE);
    qrx::screen::Tap(600, 400);
    Idle();
    EXPECT_EQ(list->GetCurSel(), -1);
    EXPECT_EQ(Events(1), 1);

    // Display mode 1 takes no pen.
    list->SetDisplayMode(1);
    qrx::screen::Tap(250, 115);
    Idle();
    EXPECT_EQ(list->GetCurSel(), -1);
}

TEST_F(ListBoxTest, ScrollingByBarAndSelection) {
    CListBoxCtrl* list = OpenList(std::string(kBar) + "list=30,1,0,0,0,0,0\r\n");
    ASSERT_NE(list, nullptr);
    Fill(list, 10);
    EXPECT_EQ(list->GetTopIndex(), 0);
    // Down arrow at the bottom right of the 300 x 90 list, up arrow at its top.
    qrx::screen::Tap(390, 180);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 1);
    EXPECT_GE(Events(11), 1);
    qrx::screen::Tap(390, 105);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 0);
    // A press on the track goes straight to the position under the pen, never past the last page.
    qrx::screen::Tap(390, 167);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 7);
    EXPECT_FALSE(list->IsCapturingPen());
    // Dragging the thumb back to the top.
    RECT row;
    qrx::screen::Press(390, 165);
    qrx::screen::Move(390, 90);
    Idle();
    EXPECT_TRUE(list->IsCapturingPen());
    qrx::screen::Release(390, 90);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 0);
    EXPECT_FALSE(list->IsCapturingPen());
    EXPECT_TRUE(list->GetItemRect(0, &row));
    EXPECT_FALSE(list->GetItemRect(3, &row));

    // Selecting a row below the page brings it to the bottom line, one above to the top.
    EXPECT_EQ(list->SetCurSel(8, TRUE, TRUE, nullptr), 8);
    EXPECT_EQ(list->GetTopIndex(), 6);
    Idle();
    EXPECT_EQ(host->Count(1025, 0, 3 | (1 << 16)), 1);
    list->SetCurSel(2, TRUE, FALSE, nullptr);
    EXPECT_EQ(list->GetTopIndex(), 2);
    list->SetTopIndex(50, TRUE);
    EXPECT_EQ(list->GetTopIndex(), 7);
    list->DeleteAllItems(TRUE);
    EXPECT_EQ(list->GetTopIndex(), 0);
    EXPECT_EQ(list->HitTest(150, 110, nullptr), -1);
}

TEST_F(ListBoxTest, ThumbFillingTheTrackPicksTheFirstRow) {
    CListBoxCtrl* list = OpenList("vsbimgs=\\Windows\\up.bmp,,\\Windows\\down.bmp,,\\Windows\\tall.bmp,,"
                                  "\\Windows\\track.bmp\r\nlist=30,1,0,0,0,0,0\r\n");
    ASSERT_NE(list, nullptr);
    Fill(list, 10);
    list->SetTopIndex(5, TRUE);
    qrx::screen::Press(390, 150);
    qrx::screen::Move(390, 160);
    qrx::screen::Move(390, 400);
    qrx::screen::Release(390, 400);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 0);
}

TEST_F(ListBoxTest, DisplayModesAndScrollingText) {
    CListBoxCtrl* list = OpenList("list=30,1,0,0,2,0,0\r\n");
    ASSERT_NE(list, nullptr);
    list->AddItem(u"report.csv", nullptr, nullptr, TRUE, -1, TRUE);
    WCHAR text[MAX_PATH];
    list->GetItemText(0, text, MAX_PATH);
    EXPECT_EQ(std::u16string(text), u"report.csv");

    auto* probe = dynamic_cast<ProbeList*>(OpenList("font=,20,0,0,0\r\n", true, 1));
    ASSERT_NE(probe, nullptr);
    probe->AddItem(u"short", nullptr, nullptr, TRUE, -1, TRUE);
    std::u16string wide(60, u'W');
    probe->AddItem(wide.c_str(), nullptr, nullptr, TRUE, -1, TRUE);
    probe->SetCurSel(0, TRUE, FALSE, nullptr);
    EXPECT_FALSE(probe->IsMarqueeRunning());
    probe->SetCurSel(1, TRUE, FALSE, nullptr);
    ASSERT_TRUE(probe->IsMarqueeRunning());
    UINT_PTR id = probe->GetMarqueeTimer();
    EXPECT_EQ(probe->Offset(), 0);
    probe->OnTimer(id, 0);
    EXPECT_EQ(probe->Offset(), 7);
    probe->OnTimer(id, 0);
    EXPECT_EQ(probe->Offset(), 14);
    bool wrapped = false;
    for (int i = 0; i < 400 && !wrapped; ++i) {
        probe->OnTimer(id, 0);
        wrapped = probe->Offset() == 0;
    }
    EXPECT_TRUE(wrapped);
    // A row that fits stops the text.
    probe->SetCurSel(0, TRUE, FALSE, nullptr);
    EXPECT_FALSE(probe->IsMarqueeRunning());
    probe->SetCurSel(1, TRUE, FALSE, nullptr);
    EXPECT_TRUE(probe->IsMarqueeRunning());
    probe->DeleteAllItems(TRUE);
    EXPECT_FALSE(probe->IsMarqueeRunning());
}

TEST_F(ListBoxTest, EmbeddedBarTakesItsStripAndScrollsTheRows) {
    const uint32_t red = ScreenColour(RGB(200, 0, 0));
    CListBoxCtrl* list =
        OpenList(std::string(kBar) + "image=\\Windows\\pre.bmp,\\Windows\\pre.bmp,,\r\nlist=30,1,0,0,0,0,0\r\n");
    ASSERT_NE(list, nullptr);
    // Nothing to scroll: no bar, and the selected row runs to the control's right edge.
    Fill(list, 2);
    list->SetCurSel(0, TRUE, FALSE, nullptr);
    Idle();
    EXPECT_FALSE(list->IsBarShown());
    EXPECT_EQ(ScreenPixel(395, 105), ScreenColour(kPre));
    qrx::screen::Tap(395, 115);
    Idle();
    EXPECT_EQ(list->GetCurSel(), 0);

    // More rows than a page: the bar stands at the right and the rows end before it.
    Fill(list, 8);
    EXPECT_TRUE(list->IsBarShown());
    EXPECT_EQ(ScreenPixel(395, 105), red);
    EXPECT_EQ(ScreenPixel(395, 185), red);
    EXPECT_EQ(ScreenPixel(375, 105), ScreenColour(kPre));
    RECT cell;
    ASSERT_TRUE(list->GetItemRect(0, &cell));
    EXPECT_EQ(cell.right, 380);

    // A step on the arrow moves the rows on screen, not just the thumb, and is reported once.
    host->log.clear();
    qrx::screen::Tap(390, 180);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 1);
    EXPECT_EQ(Events(11), 1);
    EXPECT_EQ(ScreenPixel(150, 105), ScreenColour(kBg));
    EXPECT_EQ(list->GetCurSel(), 0);

    // Held, the arrow repeats up to the last page and stays there.
    qrx::screen::Press(390, 180);
    EXPECT_TRUE(WaitFor([&] { return list->GetTopIndex() == 7; }));
    Sleep(300);
    Idle();
    EXPECT_EQ(list->GetTopIndex(), 7);
    qrx::screen::Release(390, 180);
    Idle();
    EXPECT_FALSE(list->IsCapturingPen());
    EXPECT_EQ(list->GetScrollBar()->GetRepeatKind(), 0u);
    EXPECT_EQ(Events(11), 7);

    // Hiding the list in the middle of a thumb drag lets the pen go.
    qrx::screen::Press(390, 165);
    qrx::screen::Move(390, 140);
    Idle();
    ASSERT_TRUE(list->IsCapturingPen());
    list->Show(FALSE);
    EXPECT_FALSE(list->IsCapturingPen());
    qrx::screen::Release(390, 140);
    Idle();
    list->Show(TRUE);

    // The bar follows the list when it moves; emptied, the list leaves nothing to scroll.
    list->Move(100, 100, 300, 200, FALSE);
    list->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_EQ(ScreenPixel(395, 275), red);
    list->DeleteAllItems(TRUE);
    Idle();
    EXPECT_FALSE(list->IsBarShown());
    EXPECT_EQ(list->GetTopIndex(), 0);
}
