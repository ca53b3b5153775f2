#include "ui/controls/TimeZoneMap.h"

#include <gtest/gtest.h>

#include <string>

#include "PageHarness.h"
#include "ui/TimeZones.h"

using namespace page_harness;

namespace {

const COLORREF kMap = RGB(0, 0, 120);
const COLORREF kSel = RGB(200, 0, 0);
const COLORREF kOther = RGB(0, 200, 0);

class TimeZoneMapTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        ASSERT_TRUE(qrx::WriteDefaultTimeZones());
        WriteImage("bg.bmp", SolidBmp(800, 480, RGB(0, 0, 200)));
        WriteImage("map.bmp", SolidBmp(640, 290, kMap));
        WriteImage("sel.bmp", SolidBmp(12, 12, kSel));
        WriteImage("other.bmp", SolidBmp(12, 12, kOther));
    }
    void UseZone(const WCHAR* key) {
        TIME_ZONE_INFORMATION info;
        ASSERT_TRUE(ReadTimeZoneInfo(key, &info));
        ASSERT_TRUE(SetTimeZoneInformation(&info));
    }
    CTimeZoneMapCtrl* OpenMap(const std::string& indicator) {
        UseScript(
            "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n[shell0-0]\r\ntype=17\r\n"
            "cmd=0,1025,0,3\r\npos=100,100,640,290\r\nimage=\\Windows\\map.bmp\r\n" +
            indicator);
        host->log.clear();
        CShellPanel* page = Open(0);
        return page ? dynamic_cast<CTimeZoneMapCtrl*>(page->GetCtrl(0)) : nullptr;
    }
    static POINT Centre(const RECT& rc) { return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}; }
    int Events(int event) const { return host->Count(1025, 0, 3 | (event << 16)); }
};

TEST_F(TimeZoneMapTest, CurrentZoneMarkedAndTapSelects) {
    UseZone(u"Tokyo Standard Time");
    CTimeZoneMapCtrl* map = OpenMap("indicator=\\Windows\\sel.bmp,\\Windows\\other.bmp\r\n");
    ASSERT_NE(map, nullptr);
    Idle();
    EXPECT_EQ(map->GetSelected(), 61);
    EXPECT_EQ(Events(61), 1);
    // Twice the reference map: offsets double, markers keep their size.
    RECT rc;
    ASSERT_TRUE(map->GetMarkerRect(61, &rc));
    EXPECT_EQ(rc.left, 100 + (138 - 6 + 1) * 2);
    EXPECT_EQ(rc.top, 100 + (66 - 6 + 1) * 2);
    EXPECT_EQ(rc.right - rc.left, 12);
    POINT c = Centre(rc);
    EXPECT_EQ(ScreenPixel(c.x, c.y), ScreenColour(kSel));
    ASSERT_TRUE(map->GetMarkerRect(0, &rc));
    c = Centre(rc);
    EXPECT_EQ(ScreenPixel(c.x, c.y), ScreenColour(kOther));
    EXPECT_EQ(ScreenPixel(110, 110), ScreenColour(kMap));

    // Rows 28 and 30 overlap: a tap takes the lower row, the higher is painted on top.
    RECT a, b;
    ASSERT_TRUE(map->GetMarkerRect(28, &a));
    ASSERT_TRUE(map->GetMarkerRect(30, &b));
    RECT both;
    ASSERT_TRUE(IntersectRect(&both, &a, &b));
    qrx::screen::Tap(both.left, both.top);
    Idle();
    EXPECT_EQ(map->GetSelected(), 28);
    EXPECT_EQ(Events(28), 1);
    EXPECT_EQ(ScreenPixel(both.left, both.top), ScreenColour(kOther));
    ASSERT_TRUE(map->GetMarkerRect(61, &rc));
    c = Centre(rc);
    EXPECT_EQ(ScreenPixel(c.x, c.y), ScreenColour(kOther));
    // Off every marker: not taken.
    host->log.clear();
    qrx::screen::Tap(110, 380);
    Idle();
    EXPECT_EQ(map->GetSelected(), 28);
    EXPECT_EQ(host->Count(1025), 0);
}

TEST_F(TimeZoneMapTest, UnknownZoneAndNoMarkers) {
    TIME_ZONE_INFORMATION info{};
    info.Bias = -17;
    QrxStrCopy(info.StandardName, 32, u"Nowhere Standard Time");
    ASSERT_TRUE(SetTimeZoneInformation(&info));
    CTimeZoneMapCtrl* map = OpenMap("");
    ASSERT_NE(map, nullptr);
    Idle();
    EXPECT_EQ(map->GetSelected(), 0);
    EXPECT_EQ(host->Count(1025), 0);
    // Without the markers the pen passes by.
    qrx::screen::Tap(100 + 163 * 2, 100 + 51 * 2);
    Idle();
    EXPECT_EQ(host->Count(1025), 0);
}

}  // namespace
