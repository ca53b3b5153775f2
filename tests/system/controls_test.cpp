// The control types no shipped page uses, in a program of their own on the screen server, driven by
// qrx-ctl: a file browser on the card, a crosshair, a bar graph, a time-zone map and an animation.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "BmpFile.h"
#include "DeviceRoot.h"
#include "SystemHarness.h"

using namespace system_harness;

namespace {

const uint32_t kMarker = 0xFFFF00, kKnob = 0xC80000, kFrame0 = 0xFF0000, kFrame1 = 0x00FF00;

const char kScript[] =
    "[shell0]\r\npanel=0,0,800,480,,\r\nimage=\\Windows\\bg.bmp\r\n"
    "[shell0-0]\r\ntype=10\r\ncmd=0,1025,0,0\r\npos=0,0,400,300\r\nlist=30,1,0,0,0,0,1\r\nfilter=.csv|,\\SD "
    "Card,0,1\r\n"
    "[shell0-1]\r\ntype=21\r\ncmd=0,1025,0,1\r\npos=420,0,200,150\r\nimage=\\Windows\\area.bmp,,\\Windows\\marker.bmp,"
    "\r\n"
    "line=2,0xFFFFFF\r\n"
    "[shell0-2]\r\ntype=19\r\ncmd=0,1025,0,2\r\npos=420,200,200,110\r\n"
    "gbimgs=\\Windows\\knob.bmp,\\Windows\\knob.bmp,\\Windows\\bar.bmp\r\n"
    "[shell0-3]\r\ntype=17\r\ncmd=0,1025,0,3\r\npos=0,320,320,145\r\nimage=\\Windows\\map.bmp\r\n"
    "indicator=\\Windows\\marker.bmp,\\Windows\\knob.bmp\r\n"
    "[shell0-4]\r\ntype=26\r\npos=700,400,40,40\r\nimgs=\\Windows\\f.bmp,2,150,0\r\n";

class ControlsSystemTest : public DeviceRootTest {
protected:
    void SetUp() override {
        for (auto [name, bmp] : {std::pair{"bg", SolidBmpFile(800, 480, 0x000050)},
                                 {"area", SolidBmpFile(200, 150, 0x303030)},
                                 {"marker", SolidBmpFile(10, 10, kMarker)},
                                 {"knob", SolidBmpFile(20, 10, kKnob)},
                                 {"bar", SolidBmpFile(10, 110, 0x00A000)},
                                 {"map", SolidBmpFile(320, 145, 0x2060A0)},
                                 {"f_0", SolidBmpFile(40, 40, kFrame0)},
                                 {"f_1", SolidBmpFile(40, 40, kFrame1)}})
            root.WriteFile(std::string("Windows/") + name + ".bmp", bmp);
        root.WriteFile("Windows/controls.layout", kScript);
        root.WriteFile("SD Card/a.csv", "a");
        root.WriteFile("SD Card/Log/run.csv", "r");
        m_server = SpawnHost({QRX_SCREEN_SERVER});
        ASSERT_GT(m_server, 0);
        ASSERT_TRUE(WaitUntil([&] { return ScreenUp(root.Path()); })) << "the screen server did not come up";
        m_standin = SpawnHost({QRX_CONTROLS_STANDIN_EXE, "\\Windows\\controls.layout"});
        ASSERT_GT(m_standin, 0);
        ASSERT_EQ(Ctl({"wait", "QRX_CONTROLS_STANDIN", WaitSeconds()}).code, 0);
    }
    void TearDown() override {
        StopHost(m_standin);
        StopHost(m_server);
    }

    CtlResult Ctl(const std::vector<std::string>& args) { return RunCtl(args, root.Path()); }
    // How many commands "WPARAM LOW HIGH" the stand-in got.
    int Count(const std::string& line) {
        std::istringstream in(Slurp(root.Host("controls.log")));
        int n = 0;
        for (std::string l; std::getline(in, l);) n += l == line;
        return n;
    }
    bool WaitCount(const std::string& line, int atLeast) {
        return WaitUntil([&] { return Count(line) >= atLeast; });
    }
    // The screen's pixel, 0xRRGGBB; 0xFFFFFFFF when no shot could be had.
    uint32_t Pixel(int x, int y) {
        RgbPicture picture;
        const std::string file = root.Host("shot.png");
        if (Ctl({"shot", file}).code != 0 || !ReadPngPicture(file, picture) || picture.width != 800) return 0xFFFFFFFFu;
        const uint8_t* p = picture.At(static_cast<unsigned>(x), static_cast<unsigned>(y));
        return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
    }
    bool Taps(const std::vector<std::string>& commands) { return ScreenCommands(root.Path(), commands); }

    pid_t m_server = -1, m_standin = -1;
};

TEST_F(ControlsSystemTest, EveryControlAnswersThePen) {
    // The browser opened on the card: "[..]", "Log", "a.csv"; the first file is selected and reported.
    ASSERT_TRUE(WaitCount("0 0 1", 1));
    // The tap and the selection in the folder it opens.
    ASSERT_TRUE(Taps({"tap 200 45"}));
    ASSERT_TRUE(WaitCount("0 0 1", 3));
    // In "Log": "[..]" and "run.csv"; two taps on the file are its double click.
    ASSERT_TRUE(Taps({"tap 200 45", "tap 200 45"}));
    EXPECT_TRUE(WaitCount("0 0 2", 1));

    // The crosshair keeps the pen past its rectangle and stops half a marker inside.
    ASSERT_TRUE(Taps({"press 500 50", "move 760 300", "release 760 300"}));
    EXPECT_TRUE(WaitCount("0 1 0", 2));
    EXPECT_TRUE(WaitUntil([&] { return Pixel(614, 144) == kMarker; }));

    // A press above column 0's knob is sent; the stand-in accepts and the knob goes to the top.
    ASSERT_TRUE(Taps({"press 445 202", "release 445 202"}));
    EXPECT_TRUE(WaitCount("0 2 0", 1));
    EXPECT_TRUE(WaitUntil([&] { return Pixel(445, 204) == kKnob; }));

    // The map's marker of zone 2 (188, 68 on its 320 x 145 map).
    ASSERT_TRUE(Taps({"tap 189 389"}));
    EXPECT_TRUE(WaitCount("0 3 2", 1));

    // The animation's frames follow one another on the screen.
    EXPECT_TRUE(WaitUntil([&] { return Pixel(720, 420) == kFrame0; }));
    EXPECT_TRUE(WaitUntil([&] { return Pixel(720, 420) == kFrame1; }));

    // The card goes; "[..]" lists the card's folder again, which is empty now: the file row is gone.
    ASSERT_EQ(Ctl({"volume", "remove", "SD Card"}).code, 0);
    const int before = Count("0 0 1");
    ASSERT_TRUE(Taps({"tap 200 15"}));
    ASSERT_TRUE(WaitCount("0 0 1", before + 2));
    const int browser = Count("0 0 1") + Count("0 0 2");
    ASSERT_TRUE(Taps({"tap 200 45", "tap 189 389"}));
    ASSERT_TRUE(WaitCount("0 3 2", 2));
    EXPECT_EQ(Count("0 0 1") + Count("0 0 2"), browser);
    // Back again: "[..]" up to the roots, the card's row, and its file row answers again.
    ASSERT_EQ(Ctl({"volume", "arrive", "SD Card"}).code, 0);
    int back = Count("0 0 1");
    ASSERT_TRUE(Taps({"tap 200 15"}));
    ASSERT_TRUE(WaitCount("0 0 1", back + 2));
    ASSERT_TRUE(Taps({"tap 200 15"}));
    ASSERT_TRUE(WaitCount("0 0 1", back + 4));
    ASSERT_TRUE(Taps({"tap 200 75"}));
    EXPECT_TRUE(WaitCount("0 0 1", back + 5));
}

}  // namespace
