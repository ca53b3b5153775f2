#include "ui/controls/Graph.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "PageHarness.h"

using namespace page_harness;

namespace {

// Graph at (0, 40), 700 x 353: plot 620 x 300, plot left 46, plot bottom 323 (control coordinates).
constexpr int kX = 0, kY = 40, kW = 700, kH = 353;
constexpr int kPlotLeft = 46, kPlotBottom = 323;

const COLORREF kColours[6] = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255),
                              RGB(255, 255, 0), RGB(0, 255, 255), RGB(255, 0, 255)};
const DWORD kAllVisible[5] = {1, 1, 1, 1, 1};

COLORREF Gradient(int x, int y, COLORREF) { return RGB(x % 256, y % 256, 100); }

class GraphTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        WriteImage("bg.bmp", MakeBmp(800, 480, &Gradient, 0));
        UseScript("[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n");
        page = Open(0);
        ASSERT_NE(page, nullptr);
        graph = AddGraph(kX, kY, kW, kH);
        ASSERT_NE(graph, nullptr);
        ASSERT_TRUE(graph->SetChannels(5, 400000, kColours));
        graph->SetChannelFlags(kAllVisible);
        graph->SetZoom(0, GRAPH_ZOOM_PAGE);
        graph->ComputeScales();
        Idle();
    }

    CGraphCtrl* AddGraph(int x, int y, int w, int h) {
        auto rec = std::make_unique<LayoutControlRecord>();
        *rec = LayoutControlRecord{};
        rec->type = 25;
        rec->x = static_cast<DWORD>(x);
        rec->y = static_cast<DWORD>(y);
        rec->width = static_cast<DWORD>(w);
        rec->height = static_cast<DWORD>(h);
        rec->cmdKind = 0;
        wcscpy(rec->cmd[0], u"1025");
        wcscpy(rec->cmd[1], u"0");
        wcscpy(rec->cmd[2], u"7");
        rec->initKind = 0;
        rec->sndKind = -1;
        CUiCtrl* ctrl = NewGraph(rec.get(), page, nullptr, 0, page->GetCtrlCount());
        // As the factory does for a control without images of its own.
        if (ctrl) page->SetBackImages(ctrl);
        if (!ctrl || !ctrl->Create(WS_CHILD | WS_VISIBLE, 0)) {
            delete ctrl;
            return nullptr;
        }
        page->AddCtrl(ctrl);
        return static_cast<CGraphCtrl*>(ctrl);
    }

    // Adds count sample sets of one value each; the result of the last add.
    int Add(int count, int value, BOOL redraw = FALSE) {
        int samples[6] = {value, value, value, value, value, value};
        int r = -1;
        for (int i = 0; i < count; ++i) r = graph->AddData(samples, 5, redraw);
        return r;
    }
    void Put(int count) {
        int samples[6] = {10, 10, 10, 10, 10, 10};
        for (int i = 0; i < count; ++i) graph->PutData(samples, 5);
    }
    uint32_t GraphPixel(int x, int y) { return ScreenPixel(kX + x, kY + y); }

    CShellPanel* page = nullptr;
    CGraphCtrl* graph = nullptr;
};

}  // namespace

TEST_F(GraphTest, AddDataPagesTheViewAtItsEnd) {
    int samples[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(graph->AddData(samples, 4, TRUE), 0);
    EXPECT_EQ(graph->AddData(nullptr, 5, TRUE), 0);
    EXPECT_EQ(graph->GetSampleCount(), 0);

    // Span 1800: the 1800th sample fills the view, the next one moves it a page on.
    EXPECT_EQ(Add(1799, 50), 0);
    EXPECT_EQ(Add(1, 50), GRAPH_ADD_LASTSLOT);
    EXPECT_EQ(graph->GetPage(), 0);
    EXPECT_EQ(Add(1, 50), GRAPH_ADD_NEWPAGE);
    EXPECT_EQ(graph->GetPage(), 1);
    EXPECT_EQ(graph->GetSampleCount(), 1801);

    // Span 7200 moves four pages: the view of page 1 ends at 9000.
    graph->SetZoom(0, GRAPH_ZOOM_4PAGES);
    EXPECT_EQ(Add(9000 - 1801, 50), GRAPH_ADD_LASTSLOT);
    EXPECT_EQ(Add(1, 50), GRAPH_ADD_NEWPAGE);
    EXPECT_EQ(graph->GetPage(), 5);

    // An older page shown: its end moves it on as well.
    graph->SetZoom(0, GRAPH_ZOOM_PAGE);
    graph->SetPage(6);
    graph->SetPage(5);
    EXPECT_EQ(graph->GetFurthestPage(), 6);
    EXPECT_EQ(graph->GetSampleCount(), 9001);
    EXPECT_EQ(Add(10800 - 9001, 50), 0);  // no last-slot result for an older page
    EXPECT_EQ(Add(1, 50), GRAPH_ADD_NEWPAGE);
    EXPECT_EQ(graph->GetPage(), 6);

    // Fit-all: reaching the span keeps the page.
    graph->ClearData();
    graph->SetFurthestPage(0);
    Put(5401);
    EXPECT_EQ(graph->SetZoom(0, GRAPH_ZOOM_ALL), GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 7200);
    EXPECT_EQ(Add(7200 - 5401, 50), GRAPH_ADD_LASTSLOT);
    EXPECT_EQ(Add(1, 50), GRAPH_ADD_NEWPAGE);
    EXPECT_EQ(graph->GetPage(), 4);  // a 7200 s span pages as zoom mode 1 does

    graph->ClearData();
    Put(36001);
    EXPECT_EQ(graph->SetZoom(0, GRAPH_ZOOM_ALL), GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 39600);
    EXPECT_EQ(Add(39600 - 36001, 50), GRAPH_ADD_LASTSLOT);
    EXPECT_EQ(Add(1, 50), GRAPH_ADD_NEWPAGE);
    EXPECT_EQ(graph->GetPage(), 0);
}

TEST_F(GraphTest, StoreKeepsItsBoundAndClampsValues) {
    ASSERT_TRUE(graph->SetChannels(2, 4, kColours));
    EXPECT_EQ(graph->GetChannelCount(), 2);
    int samples[3] = {-7, 0x12345, 1};
    EXPECT_EQ(graph->AddData(samples, 2, TRUE), 0);
    EXPECT_EQ(graph->GetSample(0, 0), 0);
    EXPECT_EQ(graph->GetSample(1, 0), 0xFFFF);
    EXPECT_EQ(graph->GetSample(2, 0), 1);
    samples[0] = 11;
    EXPECT_TRUE(graph->PutData(samples, 2));
    samples[0] = 22;
    graph->AddData(samples, 2, TRUE);
    samples[0] = 33;
    EXPECT_TRUE(graph->PutData(samples, 2));
    EXPECT_EQ(graph->GetSampleCount(), 4);
    // Full: nothing more is stored, by either path.
    samples[0] = 99;
    EXPECT_EQ(graph->AddData(samples, 2, TRUE), 0);
    EXPECT_FALSE(graph->PutData(samples, 2));
    EXPECT_FALSE(graph->PutData(samples, 3));
    EXPECT_EQ(graph->GetSampleCount(), 4);
    EXPECT_EQ(graph->GetSample(0, 3), 33);
    EXPECT_EQ(graph->GetSample(0, 4), -1);
    EXPECT_EQ(graph->GetSample(3, 0), -1);
    graph->Invalidate(nullptr, FALSE);
    Idle();

    graph->ClearData();
    EXPECT_EQ(graph->GetSampleCount(), 0);
    EXPECT_EQ(graph->GetSample(0, 3), 0);

    // Bad setups leave no store behind.
    EXPECT_FALSE(graph->SetChannels(0, 10, kColours));
    EXPECT_EQ(graph->GetChannelCount(), 0);
    EXPECT_FALSE(graph->SetChannels(5, 0, kColours));
    EXPECT_FALSE(graph->SetChannels(5, 10, nullptr));
    EXPECT_EQ(graph->AddData(samples, 0, TRUE), 0);
    EXPECT_EQ(graph->GetSampleCount(), 0);
}

TEST_F(GraphTest, ZoomModesAtTheirThresholds) {
    EXPECT_EQ(graph->SetZoom(0, GRAPH_ZOOM_4PAGES), GRAPH_ZOOM_4PAGES);
    EXPECT_EQ(graph->GetSpan(), 7200);
    EXPECT_EQ(graph->GetGrid(), 600);

    Put(1800);
    EXPECT_EQ(graph->SetZoom(0, GRAPH_ZOOM_ALL), GRAPH_ZOOM_PAGE);
    EXPECT_EQ(graph->GetSpan(), 1800);
    EXPECT_EQ(graph->GetGrid(), 300);

    Put(1);  // 1801
    EXPECT_EQ(graph->SetZoom(0, GRAPH_ZOOM_ALL), GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 3600);
    EXPECT_EQ(graph->GetGrid(), 1800);

    Put(5401 - 1801);
    graph->SetZoom(0, GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 7200);
    EXPECT_EQ(graph->GetGrid(), 1800);

    Put(30600 - 5401);  // 17 pages: one grid page per line still
    graph->SetZoom(0, GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 30600);
    EXPECT_EQ(graph->GetGrid(), 1800);
    Put(1);  // 18 pages: two per line
    graph->SetZoom(0, GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 32400);
    EXPECT_EQ(graph->GetGrid(), 3600);

    Put(36001 - 30601);
    graph->SetZoom(0, GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 39600);
    EXPECT_EQ(graph->GetGrid(), 3600);

    Put(360000 - 36001);
    EXPECT_EQ(graph->SetZoom(0, GRAPH_ZOOM_ALL), GRAPH_ZOOM_ALL);
    EXPECT_EQ(graph->GetSpan(), 204 * 1800);
    EXPECT_EQ(graph->GetGrid(), 12 * 1800);
    graph->ComputeScales();
    graph->SetPage(0);
    Idle();

    // Unknown modes fall back to the page view; the clear flag empties the store.
    EXPECT_EQ(graph->SetZoom(0, 7), GRAPH_ZOOM_PAGE);
    EXPECT_EQ(graph->GetSpan(), 1800);
    EXPECT_EQ(graph->GetSampleCount(), 360000);
    EXPECT_EQ(graph->SetZoom(1, GRAPH_ZOOM_4PAGES), GRAPH_ZOOM_4PAGES);
    EXPECT_EQ(graph->GetSampleCount(), 0);
    EXPECT_EQ(graph->GetPage(), 0);
}

TEST_F(GraphTest, PointsUseWideArithmeticAndGuardedScales) {
    // Plot height 300: 20 pixels per division.
    EXPECT_EQ(graph->PointX(0), kPlotLeft);
    EXPECT_EQ(graph->PointX(1800), kPlotLeft + 620 - 1);  // 620/1800 truncated to a millionth
    EXPECT_EQ(graph->PointY(0, 0), kPlotBottom);
    EXPECT_EQ(graph->PointY(0, -40), kPlotBottom);  // negative samples drawn at 0
    EXPECT_EQ(graph->PointY(0, 100), kPlotBottom - 20);  // 10 V, one division
    EXPECT_EQ(graph->PointY(1, 0), kPlotBottom - 20);    // axis 1 starts at -5 A

    // 300 degrees on a 10-per-division axis: (3000 * 2 000 000) passes 32 bits.
    graph->SetAxis3(0, 10, u"C", RGB(0, 0, 255));
    EXPECT_EQ(graph->PointY(4, 3000), kPlotBottom - 600);
    EXPECT_EQ(graph->PointY(4, 0xFFFF), kPlotBottom - 13107);
    EXPECT_EQ(graph->PointY(4, 0x7FFFFFFF), kPlotBottom - 13107);

    // A base of 200 lifts the samples below it under the plot.
    graph->SetAxis3(200, 10, u"C", RGB(0, 0, 255));
    EXPECT_EQ(graph->PointY(4, 2100), kPlotBottom - 20);
    EXPECT_EQ(graph->PointY(4, 0), kPlotBottom + 400);

    // Axes take effect without waiting for the next scale computation; a division below 1 becomes 1.
    graph->SetAxis2(0, 0, u"VOLTAGE!", RGB(0, 255, 0), FALSE);
    GraphAxis axis = graph->GetAxis(2);
    EXPECT_EQ(axis.perDivision, 1);
    EXPECT_EQ(std::u16string(axis.unit), u"VOLTAGE");
    EXPECT_EQ(graph->PointY(0, 10), kPlotBottom - 20);
    graph->SetAxis1(-2000000000, 5, nullptr, RGB(255, 0, 0), FALSE);
    EXPECT_EQ(graph->GetAxis(1).base, -1000000);
    EXPECT_EQ(graph->GetAxis(1).unit[0], 0);
    EXPECT_LT(graph->PointY(1, 0), -10000);  // far above, clamped, no wrap

    // A control too small for its margins has no plot: everything collapses, nothing breaks.
    graph->Move(kX, kY, 40, 40, TRUE);
    graph->ComputeScales();
    EXPECT_EQ(graph->PointX(1000), kPlotLeft);
    EXPECT_EQ(graph->PointY(0, 500), 40 - 30);
    Add(10, 50, TRUE);
    graph->SetPage(0);
    Idle();
}

TEST_F(GraphTest, PaintsChannelsFrameAndNewSegments) {
    const DWORD noCh2[5] = {1, 1, 0, 1, 1};
    graph->SetChannelFlags(noCh2);
    // Channel 3 takes the marker's pen while the marker sample is 0 (the first 500 seconds).
    int samples[6] = {50, 0, 150, 50, 0, 0};
    for (int i = 0; i < 1000; ++i) {
        samples[5] = i < 500 ? 0 : 1;
        graph->AddData(samples, 5, FALSE);
    }
    graph->SetPage(0);
    Idle();
    const int y0 = kPlotBottom - 10;  // 5 V
    EXPECT_EQ(GraphPixel(200, y0), ScreenColour(kColours[0]));
    EXPECT_EQ(GraphPixel(graph->PointX(998), y0), ScreenColour(kColours[0]));
    EXPECT_NE(GraphPixel(graph->PointX(1000) + 3, y0), ScreenColour(kColours[0]));
    // The hidden channel 2 (15 V) is not drawn.
    EXPECT_NE(GraphPixel(200, kPlotBottom - 30), ScreenColour(kColours[2]));
    const int y3 = kPlotBottom - 40;  // 5 A on axis 1
    EXPECT_EQ(GraphPixel(120, y3), ScreenColour(kColours[5]));
    EXPECT_EQ(GraphPixel(300, y3), ScreenColour(kColours[3]));
    // The page's background shows through where nothing is drawn, lined up with the page.
    EXPECT_EQ(ScreenPixel(kX + 5, kY + 5), ScreenColour(Gradient(kX + 5, kY + 5, 0)));
    EXPECT_EQ(ScreenPixel(kX + 690, kY + 340), ScreenColour(Gradient(kX + 690, kY + 340, 0)));
    // Axis frame.
    EXPECT_EQ(GraphPixel(600, kPlotBottom), 0xFFFFFFu);
    EXPECT_EQ(GraphPixel(kPlotLeft, 100), 0xFFFFFFu);

    // New samples draw their segment: a step to 12 V shows at its x.
    samples[0] = 120;
    for (int i = 0; i < 20; ++i) graph->AddData(samples, 5, TRUE);
    Idle();
    EXPECT_EQ(GraphPixel(graph->PointX(1010), kPlotBottom - 24), ScreenColour(kColours[0]));
    // Frozen: the adds do not draw; a later paint brings the drawing up to date.
    graph->Freeze();
    EXPECT_TRUE(graph->IsFrozen());
    samples[0] = 150;
    for (int i = 0; i < 20; ++i) graph->AddData(samples, 5, TRUE);
    graph->Unfreeze();
    graph->Invalidate(nullptr, FALSE);
    Idle();
    EXPECT_EQ(GraphPixel(graph->PointX(1030), kPlotBottom - 30), ScreenColour(kColours[0]));
}

TEST_F(GraphTest, PenDownSendsTheCommand) {
    host->log.clear();
    qrx::screen::Tap(kX + 300, kY + 100);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 0, 7), 1);
    graph->Enable(FALSE);
    qrx::screen::Tap(kX + 300, kY + 100);
    Idle();
    EXPECT_EQ(host->Count(WM_SHELL_COMMAND, 0, 7), 1);
    graph->Enable(TRUE);
    graph->SetAcceptPen(FALSE);
    EXPECT_EQ(graph->OnMouse(513, 0, kX + 300, kY + 100), 0);
    graph->SetAcceptPen(TRUE);
    EXPECT_EQ(graph->OnMouse(514, 0, kX + 300, kY + 100), 0);
}

TEST_F(GraphTest, WorkerAddsWhileTheUiThreadPaints) {
    constexpr int kSamples = 4000;
    std::atomic<bool> done{false};
    std::atomic<int> newPages{0};
    std::thread worker([&] {
        int samples[6] = {50, 60, 70, 80, 90, 0};
        for (int i = 0; i < kSamples; ++i) {
            samples[0] = 40 + i % 30;
            samples[5] = i % 7;
            if (graph->AddData(samples, 5, TRUE) == GRAPH_ADD_NEWPAGE) newPages.fetch_add(1);
        }
        done = true;
    });
    int rounds = 0;
    while (!done.load()) {
        graph->Invalidate(nullptr, FALSE);
        if (++rounds % 5 == 0) graph->SetAxis2(0, 10 + rounds % 2, u"V", RGB(0, 255, 0), FALSE);
        qrx::screen::WaitIdle(200);
    }
    worker.join();
    EXPECT_EQ(graph->GetSampleCount(), kSamples);
    EXPECT_EQ(newPages.load(), 2);
    EXPECT_EQ(graph->GetPage(), 2);

    // The graph thread pages and zooms while the worker keeps adding.
    done = false;
    std::thread pager([&] {
        for (int i = 0; i < 40; ++i) {
            graph->Freeze();
            graph->SetZoom(0, i % 3);
            graph->ComputeScales();
            graph->SetPage(0);
            graph->Unfreeze();
        }
        done = true;
    });
    int samples[6] = {50, 60, 70, 80, 90, 0};
    while (!done.load()) {
        graph->AddData(samples, 5, TRUE);
        qrx::screen::WaitIdle(200);
    }
    pager.join();
    Idle();
    EXPECT_GT(graph->GetSampleCount(), kSamples);
}
