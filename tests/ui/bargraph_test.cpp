#include "ui/controls/BarGraph.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"

using namespace page_harness;

namespace {

const COLORREF kBg = RGB(0, 0, 200);
const COLORREF kKnob = RGB(200, 0, 0);
const COLORREF kPressed = RGB(250, 120, 0);
const COLORREF kBar = RGB(0, 200, 0);

// A host whose answer to the sent command decides whether a column keeps its new level.
class AnswerHost : public CTestHost {
public:
    using CTestHost::CTestHost;
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override {
        BOOL handled = CTestHost::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
        if (uMsg == 1025) lResult = answer;
        return handled;
    }
    LRESULT answer = 0;
};

class BarGraphTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        host.reset();
        auto answering = std::make_unique<AnswerHost>(manager.get());
        answers = answering.get();
        host = std::move(answering);
        ASSERT_NE(host->Open(), nullptr);
        WriteImage("bg.bmp", SolidBmp(800, 480, kBg));
        WriteImage("knob.bmp", SolidBmp(20, 10, kKnob));
        WriteImage("knobp.bmp", SolidBmp(20, 10, kPressed));
        WriteImage("bar.bmp", SolidBmp(10, 100, kBar));
        WriteImage("tall.bmp", SolidBmp(20, 300, kKnob));
    }
    CBarGraphCtrl* OpenGraph(const std::string& keys) {
        UseScript(
            "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell0-0]\r\ntype=19\r\n"
            "cmd=0,1025,0,3\r\npos=100,100,200,110\r\n" +
            keys);
        CShellPanel* page = Open(0);
        auto* graph = page ? dynamic_cast<CBarGraphCtrl*>(page->GetCtrl(0)) : nullptr;
        if (graph) graph->SetColumns(4, 10);
        return graph;
    }
    static POINT Centre(const RECT& rc) { return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}; }
    AnswerHost* answers = nullptr;
};

TEST_F(BarGraphTest, LevelsCountsAndRanges) {
    CBarGraphCtrl* graph = OpenGraph("gbimgs=\\Windows\\knob.bmp,\\Windows\\knobp.bmp,\\Windows\\bar.bmp\r\n");
    ASSERT_NE(graph, nullptr);
    EXPECT_EQ(graph->SetColumns(0, 5), -1);
    EXPECT_EQ(graph->SetColumns(3, 0), -1);
    EXPECT_EQ(graph->GetColumns(), 4);
    EXPECT_EQ(graph->SetLevel(4, 1), -1);
    EXPECT_EQ(graph->SetLevel(0, 11), -1);
    EXPECT_EQ(graph->SetLevel(0, -1), -1);
    EXPECT_EQ(graph->GetLevel(0), 0);
    EXPECT_EQ(graph->SetLevel(0, 10), 0);
    EXPECT_EQ(graph->SetLevel(3, 5), 0);
    Idle();
    // Knobs are painted where the pen finds them; the bar shows below the knob only.
    RECT knob;
    ASSERT_TRUE(graph->GetKnobRect(3, &knob));
    POINT c = Centre(knob);
    EXPECT_EQ(ScreenPixel(c.x, c.y), ScreenColour(kKnob));
    EXPECT_EQ(ScreenPixel(c.x, knob.bottom + 2), ScreenColour(kBar));
    EXPECT_EQ(ScreenPixel(c.x, knob.top - 2), ScreenColour(kBg));
    // A knob taller than the control leaves no room: levels stay where set, nothing is drawn astray.
    graph->SetImages(u"\\Windows\\tall.bmp", nullptr, u"\\Windows\\bar.bmp");
    graph->Invalidate(nullptr, FALSE);
    Idle();
    qrx::screen::Press(125, 150);
    qrx::screen::Move(125, 105);
    qrx::screen::Release(125, 105);
    Idle();
    EXPECT_GE(graph->GetLevel(0), 0);
}

TEST_F(BarGraphTest, PenSetsLevelsThroughTheHostsAnswer) {
    CBarGraphCtrl* graph = OpenGraph("gbimgs=\\Windows\\knob.bmp,\\Windows\\knobp.bmp,\\Windows\\bar.bmp\r\n");
    ASSERT_NE(graph, nullptr);
    Idle();
    // Refused: the level stays, the press goes on (moves are still tried), each change was offered.
    answers->answer = 0;
    qrx::screen::Press(125, 101);
    Idle();
    EXPECT_EQ(graph->GetLevel(0), 0);
    EXPECT_TRUE(graph->IsCapturingPen());
    EXPECT_EQ(host->Count(1025, 0, 0 | (0 << 16)), 1);
    qrx::screen::Move(125, 150);
    qrx::screen::Release(125, 150);
    Idle();
    EXPECT_EQ(graph->GetLevel(0), 0);
    EXPECT_FALSE(graph->IsCapturingPen());

    // Accepted: pressing above column 1 takes the level under the pen; the knob then follows the pen,
    // also below the control.
    answers->answer = 1;
    qrx::screen::Press(175, 101);
    Idle();
    EXPECT_EQ(graph->GetLevel(1), 10);
    EXPECT_EQ(host->Count(1025, 0, 0 | (1 << 16)), 1);
    EXPECT_EQ(graph->GetPicked(), 1);
    RECT knob;
    ASSERT_TRUE(graph->GetKnobRect(1, &knob));
    POINT c = Centre(knob);
    EXPECT_EQ(ScreenPixel(c.x, c.y), ScreenColour(kPressed));
    qrx::screen::Move(175, 400);
    qrx::screen::Release(175, 400);
    Idle();
    EXPECT_EQ(graph->GetLevel(1), 0);
    EXPECT_EQ(graph->GetPicked(), -1);
    // Dragging a knob: pressing on it changes nothing until the pen moves.
    ASSERT_TRUE(graph->GetKnobRect(1, &knob));
    c = Centre(knob);
    qrx::screen::Press(c.x, c.y);
    Idle();
    EXPECT_EQ(graph->GetLevel(1), 0);
    qrx::screen::Move(c.x, 100);
    qrx::screen::Release(c.x, 100);
    Idle();
    EXPECT_EQ(graph->GetLevel(1), 10);
}

TEST_F(BarGraphTest, WithoutPicturesThePenPassesBy) {
    CBarGraphCtrl* graph = OpenGraph("");
    ASSERT_NE(graph, nullptr);
    answers->answer = 1;
    qrx::screen::Press(125, 101);
    qrx::screen::Release(125, 101);
    Idle();
    EXPECT_EQ(graph->GetLevel(0), 0);
    EXPECT_EQ(host->Count(1025), 0);
}

}  // namespace
