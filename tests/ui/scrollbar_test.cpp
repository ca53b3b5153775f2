#include "ui/controls/ScrollBar.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "PageHarness.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kArrow = RGB(200, 0, 0);
const COLORREF kArrowDown = RGB(250, 120, 0);
const COLORREF kThumb = RGB(0, 200, 0);
const COLORREF kTrack = RGB(90, 90, 90);
const COLORREF kFill = RGB(200, 200, 0);

// Answers the command message as the test says, so that refusals can be tried.
class AnsweringHost : public CTestHost {
public:
    using CTestHost::CTestHost;
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
        if (uMsg == WM_SHELL_COMMAND) {
            log.push_back(Recorded{uMsg, wParam, lParam});
            lResult = answer;
            if (onCommand) onCommand();
            return TRUE;
        }
        return CTestHost::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
    }
    LRESULT answer = 1;
    // Runs inside the handling of the sent command, as a program's handler would.
    std::function<void()> onCommand;
};

const char* kVert = "vsbimgs=\\Windows\\ar.bmp,\\Windows\\ard.bmp,\\Windows\\ar.bmp,\\Windows\\ard.bmp,"
                    "\\Windows\\thv.bmp,\\Windows\\thv.bmp,\\Windows\\trv.bmp\r\n";

class ScrollBarTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        host.reset();
        host = std::make_unique<AnsweringHost>(manager.get());
        ASSERT_NE(host->Open(), nullptr);
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("ar.bmp", SolidBmp(20, 20, kArrow));
        WriteImage("ard.bmp", SolidBmp(20, 20, kArrowDown));
        WriteImage("thv.bmp", SolidBmp(20, 30, kThumb));
        WriteImage("thh.bmp", SolidBmp(30, 20, kThumb));
        WriteImage("trv.bmp", SolidBmp(20, 10, kTrack));
        WriteImage("trh.bmp", SolidBmp(10, 20, kTrack));
        WriteImage("fill.bmp", SolidBmp(200, 20, kFill));
        WriteImage("fillv.bmp", SolidBmp(20, 200, kFill));
    }
    AnsweringHost* Host() { return static_cast<AnsweringHost*>(host.get()); }

    // The control of [shell0-0], built as the page factory builds it when the page did not.
    template <class T>
    T* Build(int type, const std::string& keys, const std::string& pos = "pos=100,50,40,200\r\n") {
        // Each control on a page of its own, over the earlier ones.
        const int shell = m_nextShell++;
        m_shell = shell;
        const std::string name = "shell" + std::to_string(shell);
        // The command's further strings name neither the page nor the control.
        UseScript("[" + name + "]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[" + name + "-0]\r\ntype=" +
                  std::to_string(type) + "\r\ncmd=0,1025,7,9\r\n" + pos + keys);
        CShellPanel* page = Open(shell);
        if (!page) return nullptr;
        Idle();
        if (page->GetCtrlCount() > 0) return dynamic_cast<T*>(page->GetCtrl(0));
        CLayoutScript reader;
        auto record = std::make_unique<LayoutControlRecord>();
        if (reader.Open(nullptr, FALSE) != 0 || reader.ReadControlSection(shell, 0, record.get()) != 0) return nullptr;
        CUiCtrl* ctrl = type == 20 ? NewProgressBar(record.get(), page, &reader, shell, 0)
                                   : NewScrollBar(record.get(), page, &reader, shell, 0);
        if (!ctrl) return nullptr;
        if (!ctrl->LoadImages(record->image[0], record->image[1], record->image[2], record->image[3]))
            page->SetBackImages(ctrl);
        if (!ctrl->Create(WS_CHILD | WS_VISIBLE, 0)) {
            delete ctrl;
            return nullptr;
        }
        page->AddCtrl(ctrl);
        page->Invalidate(nullptr, FALSE);
        Idle();
        return dynamic_cast<T*>(ctrl);
    }
    // Vertical bar at x 120..140, y 50..250: arrows 50..70 and 230..250, track 70..230, thumb 30 long.
    CScrollBarCtrl* VerticalBar(int total = 10, int page = 4) {
        CScrollBarCtrl* bar = Build<CScrollBarCtrl>(4, kVert);
        if (!bar) return nullptr;
        bar->SetPageSize(1, page);
        bar->SetTotal(1, total, FALSE);
        bar->SetPos(1, 0, FALSE);
        host->log.clear();
        return bar;
    }
    static POINT Centre(const RECT& rc) { return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}; }
    // A press and release on a part, handled at once.
    static void Click(CScrollBarCtrl* bar, int part) {
        RECT rc;
        ASSERT_TRUE(bar->GetPartRect(1, part, &rc)) << "part " << part;
        POINT pt = Centre(rc);
        EXPECT_EQ(bar->OnMouse(513, 0, pt.x, pt.y), 1);
        EXPECT_EQ(bar->OnMouse(514, 0, pt.x, pt.y), 1);
    }
    // Commands of the last bar built (control 0 of its page) with this event.
    int Events(int event) const { return host->Count(WM_SHELL_COMMAND, m_shell, event << 16); }

    int m_nextShell = 0;
    int m_shell = 0;
};

}  // namespace

TEST_F(ScrollBarTest, ValuesKeepTheirLimits) {
    CScrollBarCtrl* bar = Build<CScrollBarCtrl>(4, kVert);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->GetPos(1), 0);
    EXPECT_EQ(bar->SetPos(7, 3, TRUE), 0);
    EXPECT_EQ(bar->GetPos(7), 0);
    bar->SetPageSize(1, -5);
    EXPECT_EQ(bar->GetPageSize(1), 0);
    bar->SetLineStep(1, -2);
    EXPECT_EQ(bar->GetLineStep(1), 1);
    bar->Reset(1);
    bar->SetPageSize(1, 4);
    EXPECT_EQ(bar->GetLineStep(1), 1);

    // Whether the bar is needed; a total of 0 clears the position.
    EXPECT_EQ(bar->SetTotal(1, 10, FALSE), 1);
    EXPECT_EQ(bar->SetPos(1, 5, FALSE), -1);
    EXPECT_EQ(bar->GetPos(1), 5);
    EXPECT_EQ(bar->SetTotal(1, 0, FALSE), 1);
    EXPECT_EQ(bar->GetPos(1), 0);
    EXPECT_EQ(bar->SetPos(1, 2, FALSE), -1);
    bar->SetTotal(1, -4, FALSE);
    EXPECT_EQ(bar->GetTotal(1), 0);

    // Show mode 0: shown only while something scrolls.
    bar->SetShowMode(1, 0);
    bar->SetTotal(1, 4, FALSE);
    EXPECT_FALSE(bar->IsBarShown(1));
    bar->SetPageSize(1, 0);
    bar->SetTotal(1, 10, FALSE);
    EXPECT_FALSE(bar->IsBarShown(1));
    bar->SetPageSize(1, 4);
    EXPECT_TRUE(bar->IsBarShown(1));
    RECT client;
    bar->GetClientArea(&client);
    EXPECT_EQ(client.right, 120);
    bar->SetPageSize(1, 10);
    bar->GetClientArea(&client);
    EXPECT_EQ(client.right, 140);
}

TEST_F(ScrollBarTest, ArrowsStepWithinTheEndsOrWrap) {
    CScrollBarCtrl* bar = VerticalBar();
    ASSERT_NE(bar, nullptr);
    bar->SetLineStep(1, 3);
    Click(bar, SCROLL_PART_FIRST);
    EXPECT_EQ(bar->GetPos(1), 0);
    EXPECT_EQ(Events(0), 0);
    for (int expected : {3, 6, 9, 9}) {
        Click(bar, SCROLL_PART_SECOND);
        EXPECT_EQ(bar->GetPos(1), expected);
    }
    EXPECT_EQ(Events(1), 3);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_NOTIFY, SHELL_NOTIFY_KEYCLICK, 0), 3);

    bar->SetStopAtLastPage(1, 1);
    bar->SetPos(1, 0, FALSE);
    for (int expected : {3, 6, 6}) {
        Click(bar, SCROLL_PART_SECOND);
        EXPECT_EQ(bar->GetPos(1), expected);
    }

    bar->SetStopAtLastPage(1, 0);
    bar->SetWrap(1, 1);
    bar->SetPos(1, 0, FALSE);
    Click(bar, SCROLL_PART_FIRST);
    EXPECT_EQ(bar->GetPos(1), 9);
    Click(bar, SCROLL_PART_SECOND);
    EXPECT_EQ(bar->GetPos(1), 0);

    // The area beside the bar takes a press without effect; no part stays pressed after a release.
    EXPECT_EQ(bar->OnMouse(513, 0, 110, 100), 1);
    EXPECT_EQ(bar->GetPos(1), 0);
    EXPECT_FALSE(bar->IsCapturingPen());
    EXPECT_EQ(bar->GetRepeatKind(), 0u);
}

TEST_F(ScrollBarTest, TrackPagesUpToTheLimitUnlessWrapping) {
    CScrollBarCtrl* bar = VerticalBar();
    ASSERT_NE(bar, nullptr);
    bar->SetJumpMode(0);
    for (int expected : {4, 8, 9}) {
        Click(bar, SCROLL_PART_AFTER);
        EXPECT_EQ(bar->GetPos(1), expected);
    }
    for (int expected : {5, 1, 0}) {
        Click(bar, SCROLL_PART_BEFORE);
        EXPECT_EQ(bar->GetPos(1), expected);
    }
    EXPECT_EQ(Events(3), 3);
    EXPECT_EQ(Events(2), 3);

    bar->SetStopAtLastPage(1, 1);
    bar->SetPos(1, 5, FALSE);
    Click(bar, SCROLL_PART_AFTER);
    EXPECT_EQ(bar->GetPos(1), 6);

    // Wrapping bars and bars with nothing to page ignore the track.
    bar->SetWrap(1, 1);
    bar->SetPos(1, 2, FALSE);
    Click(bar, SCROLL_PART_AFTER);
    EXPECT_EQ(bar->GetPos(1), 2);
    bar->SetWrap(1, 0);
    bar->SetPageSize(1, 10);
    Click(bar, SCROLL_PART_AFTER);
    EXPECT_EQ(bar->GetPos(1), 2);

    // Jump mode goes straight to the slot under the pen: 7 slots over the usable 130 pixels from 85.
    bar->SetPageSize(1, 4);
    bar->SetJumpMode(1);
    bar->SetPos(1, 0, FALSE);
    EXPECT_EQ(bar->OnMouse(513, 0, 130, 85 + 130 * 4 / 7 + 5), 1);
    EXPECT_EQ(bar->GetPos(1), 4);
    EXPECT_EQ(bar->GetRepeatKind(), 0u);
    bar->OnMouse(514, 0, 130, 200);
    EXPECT_EQ(bar->PosFromPoint(1, 130, 60), 0);
    EXPECT_EQ(bar->PosFromPoint(1, 130, 240), 6);
}

TEST_F(ScrollBarTest, RefusedChangesComeBack) {
    CScrollBarCtrl* bar = VerticalBar();
    ASSERT_NE(bar, nullptr);
    Host()->answer = 0;
    bar->SetJumpMode(0);
    bar->SetPos(1, 3, FALSE);
    Click(bar, SCROLL_PART_SECOND);
    Click(bar, SCROLL_PART_AFTER);
    RECT thumb;
    ASSERT_TRUE(bar->GetThumbRect(1, &thumb));
    POINT pt = Centre(thumb);
    bar->OnMouse(513, 0, pt.x, pt.y);
    bar->OnMouse(512, 0, pt.x, 240);
    bar->OnMouse(514, 0, pt.x, 240);
    EXPECT_EQ(bar->GetPos(1), 3);
    EXPECT_EQ(Events(1), 1);
    EXPECT_EQ(Events(3), 1);
    EXPECT_EQ(Events(5), 1);
    EXPECT_EQ(Events(4), 1);
    EXPECT_EQ(bar->SetPos(1, 8, TRUE), 3);
    EXPECT_EQ(bar->GetPos(1), 3);

    // A hook of the embedding owner decides the same way.
    static int answers;
    answers = 0;
    bar->Attach(nullptr, bar, [](CUiCtrl*, int, int, int) { return answers++ % 2; });
    bar->SetPos(1, 8, TRUE);
    EXPECT_EQ(bar->GetPos(1), 3);
    bar->SetPos(1, 8, TRUE);
    EXPECT_EQ(bar->GetPos(1), 8);
}

TEST_F(ScrollBarTest, ThumbDragFollowsThePenEvenOutsideTheBar) {
    CScrollBarCtrl* bar = VerticalBar();
    ASSERT_NE(bar, nullptr);
    RECT thumb;
    ASSERT_TRUE(bar->GetThumbRect(1, &thumb));
    EXPECT_EQ(thumb.top, 70);
    EXPECT_EQ(thumb.bottom, 100);
    qrx::screen::Press(130, 85);
    Idle();
    EXPECT_TRUE(bar->IsPartPressed(1, SCROLL_PART_THUMB));
    EXPECT_EQ(ScreenPixel(130, 85), ScreenColour(kThumb));
    qrx::screen::Move(300, 130);  // slot 3 of 10 on the usable 85..215
    Idle();
    EXPECT_EQ(bar->GetPos(1), 3);
    qrx::screen::Move(300, 470);
    Idle();
    EXPECT_EQ(bar->GetPos(1), 9);
    ASSERT_TRUE(bar->GetThumbRect(1, &thumb));
    EXPECT_EQ(thumb.bottom, 230);
    EXPECT_EQ(ScreenPixel(130, 220), ScreenColour(kThumb));
    qrx::screen::Move(300, 0);
    qrx::screen::Release(300, 0);
    Idle();
    EXPECT_EQ(bar->GetPos(1), 0);
    EXPECT_EQ(Events(5), 3);
    EXPECT_EQ(Events(4), 1);
    EXPECT_FALSE(bar->IsCapturingPen());
    EXPECT_EQ(ScreenPixel(130, 220), ScreenColour(kTrack));
    EXPECT_EQ(ScreenPixel(130, 60), ScreenColour(kArrow));
}

TEST_F(ScrollBarTest, HeldArrowRepeatsWhileInside) {
    CScrollBarCtrl* bar = VerticalBar(1000, 4);
    ASSERT_NE(bar, nullptr);
    bar->OnMouse(513, 0, 130, 240);
    EXPECT_EQ(bar->GetPos(1), 1);
    EXPECT_EQ(bar->GetRepeatKind(), static_cast<UINT_PTR>(SCROLL_REPEAT_SECOND));
    EXPECT_TRUE(WaitFor([&] { return bar->GetPos(1) >= 3; }));
    EXPECT_EQ(ScreenPixel(130, 240), ScreenColour(kArrowDown));

    // Off the arrow the repeat steps nothing and the arrow looks released; back on, it steps again.
    bar->OnMouse(512, 0, 300, 240);
    EXPECT_FALSE(bar->IsPartHeldInside(1, SCROLL_PART_SECOND));
    int held = bar->GetPos(1);
    Sleep(350);
    qrx::screen::WaitIdle(200);
    EXPECT_EQ(bar->GetPos(1), held);
    EXPECT_EQ(ScreenPixel(130, 240), ScreenColour(kArrow));
    bar->OnMouse(512, 0, 130, 240);
    EXPECT_TRUE(WaitFor([&] { return bar->GetPos(1) > held; }));

    bar->OnMouse(514, 0, 130, 240);
    EXPECT_EQ(bar->GetRepeatKind(), 0u);
    held = bar->GetPos(1);
    Sleep(350);
    qrx::screen::WaitIdle(200);
    EXPECT_EQ(bar->GetPos(1), held);
    EXPECT_EQ(Events(1), held);

    // Paging repeats too, and hiding the control ends any press.
    bar->SetJumpMode(0);
    bar->OnMouse(513, 0, 130, 225);
    EXPECT_EQ(bar->GetRepeatKind(), static_cast<UINT_PTR>(SCROLL_REPEAT_PAGE_AFTER));
    EXPECT_TRUE(WaitFor([&] { return bar->GetPos(1) >= held + 12; }));
    bar->Show(FALSE);
    EXPECT_EQ(bar->GetRepeatKind(), 0u);
    EXPECT_FALSE(bar->IsCapturingPen());
}

TEST_F(ScrollBarTest, ZeroLengthTrackChoosesNothing) {
    // Arrows fill the whole bar: no track at all.
    CScrollBarCtrl* bar = Build<CScrollBarCtrl>(4, kVert, "pos=100,50,40,40\r\n");
    ASSERT_NE(bar, nullptr);
    bar->SetPageSize(1, 4);
    bar->SetTotal(1, 10, FALSE);
    EXPECT_EQ(bar->PosFromPoint(1, 130, 70), 0);
    RECT rc;
    EXPECT_FALSE(bar->GetThumbRect(1, &rc));
    Click(bar, SCROLL_PART_SECOND);
    EXPECT_EQ(bar->GetPos(1), 1);

    // A thumb as long as the track leaves no room to slide.
    bar->Move(100, 50, 40, 60, FALSE);
    EXPECT_TRUE(bar->GetThumbRect(1, &rc));
    EXPECT_EQ(rc.bottom - rc.top, 20);
    for (int y : {50, 75, 80, 85, 109}) EXPECT_EQ(bar->PosFromPoint(1, 130, y), 0);
    bar->OnMouse(513, 0, 130, 80);
    bar->OnMouse(512, 0, 130, 300);
    bar->OnMouse(514, 0, 130, 300);
    EXPECT_EQ(bar->GetPos(1), 0);

    // One position only: nothing to choose either.
    bar->Move(100, 50, 40, 200, FALSE);
    bar->SetPageSize(1, 0);
    bar->SetTotal(1, 1, FALSE);
    EXPECT_EQ(bar->PosFromPoint(1, 130, 240), 0);
}

TEST_F(ScrollBarTest, ImageKeysMakeTheBars) {
    CScrollBarCtrl* bar = Build<CScrollBarCtrl>(
        4, std::string(kVert) +
               "hsbimgs=\\Windows\\ar.bmp,,\\Windows\\ar.bmp,,\\Windows\\thh.bmp,,\\Windows\\trh.bmp\r\n");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->GetBarsPresent(), SCROLL_BAR_BOTH);
    EXPECT_EQ(bar->GetThickness(1), 20);
    EXPECT_EQ(bar->GetThickness(0), 20);
    RECT vert, horz;
    ASSERT_TRUE(bar->GetBarRect(1, &vert));
    ASSERT_TRUE(bar->GetBarRect(0, &horz));
    EXPECT_EQ(vert.bottom, horz.top);
    const WCHAR* none[7] = {u"", u"", u"", u"", u"", u"", u"\\Windows\\trv.bmp"};
    EXPECT_FALSE(bar->SetBarImages(none, 1));
    EXPECT_EQ(bar->GetBarsPresent(), SCROLL_BAR_BOTH);

    // A slider needs its track only.
    CScrollBarCtrl* slider = Build<CScrollBarCtrl>(18, "hsbimgs=,,,,,,\\Windows\\trh.bmp\r\n");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->GetBarsPresent(), SCROLL_BAR_HORZ);
    EXPECT_TRUE(slider->SetBarImages(none, 1));
    EXPECT_EQ(slider->GetBarsPresent(), SCROLL_BAR_BOTH);

    CProgressBar* progress = Build<CProgressBar>(20, "vpbimgs=\\Windows\\trv.bmp,,\\Windows\\thv.bmp,\r\nvpinverse=1\r\n");
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->GetBarsPresent(), SCROLL_BAR_VERT);
    EXPECT_EQ(progress->GetInverse(), 1);
    EXPECT_FALSE(progress->SetBarImages(u"\\Windows\\trh.bmp", u"", u"", u"", 0));
    EXPECT_TRUE(progress->SetBarImages(u"\\Windows\\trh.bmp", u"\\Windows\\fill.bmp", u"", u"", 0));
    EXPECT_EQ(progress->GetBarsPresent(), SCROLL_BAR_BOTH);
}

TEST_F(ScrollBarTest, ProgressBarKeepsEveryMoveAndFillsToTheThumb) {
    CProgressBar* bar = Build<CProgressBar>(
        20, "hpbimgs=\\Windows\\trh.bmp,\\Windows\\fill.bmp,\\Windows\\thh.bmp,\\Windows\\thh.bmp\r\n",
        "pos=100,100,200,20\r\n");
    ASSERT_NE(bar, nullptr);
    bar->SetShowMode(0, 1);
    bar->SetPageSize(0, 1);
    bar->SetTotal(0, 11, FALSE);
    host->log.clear();
    // 10 steps over 170 pixels: position 5 puts the thumb at 185..215.
    EXPECT_EQ(bar->SetPos(0, 5, TRUE), -1);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND), 0);
    EXPECT_EQ(ScreenPixel(150, 110), ScreenColour(kFill));
    EXPECT_EQ(ScreenPixel(200, 110), ScreenColour(kThumb));
    EXPECT_EQ(ScreenPixel(250, 110), ScreenColour(kTrack));

    // The answer to the command does not matter here.
    Host()->answer = 0;
    qrx::screen::Press(200, 110);
    qrx::screen::Move(260, 110);
    qrx::screen::Release(260, 110);
    Idle();
    EXPECT_EQ(bar->GetPos(0), 9);
    EXPECT_EQ(Events(5), 1);
    EXPECT_EQ(Events(4), 1);
    EXPECT_EQ(ScreenPixel(250, 110), ScreenColour(kFill));
}

TEST_F(ScrollBarTest, SentCommandNamesPageAndControlAndMayCloseThePage) {
    UseScript(std::string("[shell6]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n"
                          "[shell6-0]\r\ntype=0\r\npos=0,0,10,10\r\n"
                          "[shell6-1]\r\ntype=4\r\ncmd=0,1025,7,9\r\npos=100,50,40,200\r\n") +
              kVert +
              "[shell6-2]\r\ntype=20\r\ncmd=0,1025,7,9\r\npos=300,100,200,20\r\n"
              "hpbimgs=\\Windows\\trh.bmp,\\Windows\\fill.bmp,\\Windows\\thh.bmp,\r\n");
    auto open = [&]() -> CScrollBarCtrl* {
        CShellPanel* page = Open(6);
        if (!page || page->GetCtrlCount() != 3) return nullptr;
        auto* bar = dynamic_cast<CScrollBarCtrl*>(page->GetCtrl(1));
        if (!bar) return nullptr;
        bar->SetPageSize(1, 4);
        bar->SetTotal(1, 1000, FALSE);
        bar->SetPos(1, 0, FALSE);
        Idle();
        host->log.clear();
        return bar;
    };
    CScrollBarCtrl* bar = open();
    ASSERT_NE(bar, nullptr);
    qrx::screen::Tap(130, 240);  // the second arrow
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 6, 1 | (SCROLL_EVENT_SECOND << 16)), 1);
    auto* progress = dynamic_cast<CProgressBar*>(manager->GetShellCtrl(6, 2));
    ASSERT_NE(progress, nullptr);
    progress->SetPageSize(0, 1);
    progress->SetTotal(0, 11, FALSE);
    qrx::screen::Tap(480, 110);  // jumps along the track
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 6, 2 | (SCROLL_EVENT_PAGE_AFTER << 16)), 1);
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 7), 0);

    // The handler closes the page from inside the sent command, refusing or taking the step, on the
    // press or on a later repeat of the held arrow.
    for (LRESULT answer : {0, 1}) {
        for (int closeOn : {1, 3}) {
            SCOPED_TRACE(testing::Message() << "answer " << answer << ", close on command " << closeOn);
            ASSERT_NE(open(), nullptr);
            int commands = 0;
            Host()->answer = answer;
            Host()->onCommand = [&] {
                if (++commands == closeOn) manager->CloseShell(6);
            };
            qrx::screen::Press(130, 240);
            EXPECT_TRUE(WaitFor([&] { return manager->FindShell(6) == nullptr; }));
            qrx::screen::Release(130, 240);
            Idle();
            Host()->onCommand = nullptr;
            EXPECT_EQ(commands, closeOn);
        }
    }
}
