// The screen server with real programs: one screen for all, input routing, calls between programs
// and the control CLI.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"

using namespace system_harness;

std::string RawScreenControl(const std::string& root, const std::string& command);

namespace {

class ScreenServerTest : public DeviceRootTest {
protected:
    void SetUp() override {
        m_server = SpawnHost({QRX_SCREEN_SERVER});
        ASSERT_GT(m_server, 0);
        ASSERT_TRUE(WaitUntil([&] { return ScreenUp(root.Path()); })) << "the screen server did not come up";
    }

    void TearDown() override {
        for (pid_t p : m_children) StopHost(p);
        StopHost(m_server);
    }

    CtlResult Ctl(const std::vector<std::string>& args, const std::string& root = "") {
        std::vector<std::string> env;
        if (!root.empty()) env.push_back("QRX_DEVICE_ROOT=" + root);
        return RunCtl(args, root_.Path(), env);
    }

    // A program with one window; its log is returned through `log`.
    pid_t Window(const std::string& cls, int x, int y, int w, int h, const std::string& rgb, std::string& log) {
        log = root_.Host(cls + ".log");
        pid_t pid = SpawnHost({QRX_SCREEN_PEER, "window", cls, cls + " title", std::to_string(x), std::to_string(y),
                               std::to_string(w), std::to_string(h), rgb},
                              {"QRX_PEER_LOG=" + log});
        if (pid > 0) m_children.push_back(pid);
        EXPECT_TRUE(WaitUntil([&] { return HasLine(log, "shown"); })) << cls;
        EXPECT_EQ(Ctl({"wait", cls, WaitSeconds()}).code, 0) << cls;
        return pid;
    }

    bool Shot(std::vector<uint8_t>& rgb) {
        std::string file = root_.Host("shot.png");
        RgbPicture picture;
        if (Ctl({"shot", file}).code != 0 || !ReadPngPicture(file, picture)) return false;
        if (picture.width != 800 || picture.height != 480) return false;
        rgb = std::move(picture.rgb);
        return true;
    }

    // Waits until the screen shows the colour (0xRRGGBB) at each point.
    bool ShowsColors(const std::vector<std::tuple<int, int, uint32_t>>& points) {
        return WaitUntil([&] {
            std::vector<uint8_t> rgb;
            if (!Shot(rgb)) return false;
            for (auto [x, y, c] : points) {
                size_t i = (static_cast<size_t>(y) * 800 + x) * 3;
                uint32_t got = (uint32_t(rgb[i]) << 16) | (uint32_t(rgb[i + 1]) << 8) | rgb[i + 2];
                if (got != c) return false;
            }
            return true;
        });
    }

    std::string RawControl(const std::string& command) { return RawScreenControl(root.Path(), command); }

    TempDeviceRoot& root_ = root;
    pid_t m_server = -1;
    std::vector<pid_t> m_children;
};

constexpr uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kBlack = 0;
// COLORREF is 0x00BBGGRR.
const char* kRedRef = "0000ff";
const char* kBlueRef = "ff0000";

TEST_F(ScreenServerTest, TwoProgramsComposeInZOrderAndTheTappedOneComesToFront) {
    std::string logA, logB;
    pid_t a = Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    pid_t b = Window("PeerB", 200, 100, 400, 300, kBlueRef, logB);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);

    // The later program is in front where the two overlap; nothing is shown outside them.
    EXPECT_TRUE(ShowsColors({{100, 50, kRed}, {300, 200, kBlue}, {550, 350, kBlue}, {700, 450, kBlack}}));

    CtlResult list = Ctl({"windows"});
    ASSERT_EQ(list.code, 0);
    size_t posA = list.out.find("class=\"PeerA\""), posB = list.out.find("class=\"PeerB\"");
    ASSERT_NE(posA, std::string::npos) << list.out;
    ASSERT_NE(posB, std::string::npos) << list.out;
    EXPECT_LT(posB, posA) << "front first";
    EXPECT_NE(list.out.find("title=\"PeerA title\""), std::string::npos);
    EXPECT_NE(list.out.find("pid=" + std::to_string(a) + " rect=0,0,400,300 visible=1"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("pid=" + std::to_string(b) + " rect=200,100,600,400 visible=1"), std::string::npos);

    // Each tap goes to the program whose window is under the pen, in its client coordinates.
    ASSERT_EQ(Ctl({"tap", "100", "50"}).code, 0);
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, "down 100 50"); }));
    EXPECT_TRUE(ShowsColors({{300, 200, kRed}, {550, 350, kBlue}})) << "the tapped program comes to the front";
    ASSERT_EQ(Ctl({"tap", "550", "350"}).code, 0);
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logB, "down 350 250"); }));
    EXPECT_TRUE(ShowsColors({{300, 200, kBlue}}));
    EXPECT_FALSE(HasLine(logA, "down 550 350"));
    EXPECT_FALSE(HasLine(logB, "down 100 50"));
}

TEST_F(ScreenServerTest, KeysGoToTheProgramWithTheFocus) {
    std::string logA, logB;
    Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    Window("PeerB", 400, 0, 400, 300, kBlueRef, logB);
    ASSERT_EQ(Ctl({"key", "66"}).code, 0);
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logB, "key 66"); })) << "the last shown window has the focus";

    ASSERT_EQ(Ctl({"tap", "10", "10"}).code, 0);
    ASSERT_TRUE(WaitUntil([&] { return HasLine(logA, "down 10 10"); }));
    ASSERT_EQ(Ctl({"key", "65"}).code, 0);
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, "key 65"); }));
    EXPECT_FALSE(HasLine(logB, "key 65"));
    EXPECT_FALSE(HasLine(logA, "key 66"));
}

TEST_F(ScreenServerTest, AProgramThatDiesLeavesTheScreenAtOnce) {
    std::string logA, logB;
    Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    pid_t b = Window("PeerB", 200, 100, 400, 300, kBlueRef, logB);
    ASSERT_TRUE(ShowsColors({{550, 350, kBlue}}));
    kill(b, SIGKILL);
    WaitExit(b);
    EXPECT_TRUE(WaitUntil([&] { return Ctl({"windows"}).out.find("PeerB") == std::string::npos; }));
    EXPECT_TRUE(ShowsColors({{300, 200, kRed}, {550, 350, kBlack}}));
    // The pen over the gone window reaches nobody; the survivor still gets its taps.
    EXPECT_EQ(Ctl({"tap", "550", "350"}).code, 0);
    EXPECT_EQ(Ctl({"tap", "20", "30"}).code, 0);
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, "down 20 30"); }));
}

TEST_F(ScreenServerTest, ProgramsFindAndMessageEachOthersWindows) {
    std::string logA;
    pid_t a = Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    std::string logC = root.Host("caller.log");
    pid_t c = SpawnHost({QRX_SCREEN_PEER, "call", "peera", "kill"}, {"QRX_PEER_LOG=" + logC});
    ASSERT_GT(c, 0);
    EXPECT_EQ(WaitExit(c), 0) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "found yes")) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "owner " + std::to_string(a) + " thread")) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "windows 1")) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "is window yes")) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "made up no")) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "send 42")) << "the handler's result comes back";
    EXPECT_TRUE(HasLine(logC, "gettext 0")) << "a message carrying an address is refused";
    EXPECT_TRUE(HasLine(logC, "post ok"));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, "posted 5 6"); }));
    // The target ends inside its handler: the sender gets 0 at once instead of hanging.
    EXPECT_TRUE(HasLine(logA, "dying"));
    EXPECT_TRUE(HasLine(logC, "died 0 soon")) << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "after death gone")) << "an ended program has no windows: " << Slurp(logC);
    EXPECT_TRUE(HasLine(logC, "done"));
}

TEST_F(ScreenServerTest, TheDesktopWalkListsEveryProgramsWindowsInZOrder) {
    std::string logA, logB;
    pid_t a = Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    pid_t b = Window("PeerB", 200, 100, 400, 300, kBlueRef, logB);
    std::string log = root.Host("walker.log");
    pid_t w = SpawnHost({QRX_SCREEN_PEER, "walk", "Walker"}, {"QRX_PEER_LOG=" + log});
    ASSERT_GT(w, 0);
    ASSERT_EQ(WaitExit(w), 0) << Slurp(log);
    // The walker's own window is the newest, so in front.
    std::string expected = "walk " + std::to_string(w) + "\nwalk " + std::to_string(b) + "\nwalk " + std::to_string(a) +
                           "\nsame order yes\n";
    EXPECT_EQ(Slurp(log), expected);
}

TEST_F(ScreenServerTest, AProgramWaitsForTheWholeDeviceAndSeesTheWholeScreen) {
    std::string logA;
    Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    // The settler taps PeerA, whose slow key handler posts to the settler and then paints PeerA
    // green: the settler's wait must serve its own window and cover PeerA's work, and its picture
    // show PeerA's pixels.
    std::string log = root.Host("settler.log");
    pid_t s = SpawnHost({QRX_SCREEN_PEER, "settle", "100", "50"}, {"QRX_PEER_LOG=" + log});
    ASSERT_GT(s, 0);
    ASSERT_EQ(WaitExit(s), 0) << Slurp(log);
    EXPECT_EQ(Slurp(log), "posted 7 8\nidle yes\npixel 00ff00\n");
    EXPECT_TRUE(HasLine(logA, "key 83"));
}

TEST_F(ScreenServerTest, ControlToolCommandsAndErrors) {
    std::string logA;
    Window("PeerA", 0, 0, 400, 300, kRedRef, logA);
    EXPECT_EQ(Ctl({"wait", "peera", WaitSeconds()}).code, 0) << "classes match without regard to case";
    CtlResult missing = Ctl({"wait", "Missing", "0"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("Missing"), std::string::npos) << missing.err;

    EXPECT_EQ(Ctl({"press", "30", "40"}).code, 0);
    EXPECT_EQ(Ctl({"move", "35", "45"}).code, 0);
    EXPECT_EQ(Ctl({"release", "35", "45"}).code, 0);
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, "down 30 40"); }));

    std::string file = root.Host("ctl.png");
    EXPECT_EQ(Ctl({"shot", file}).code, 0);
    EXPECT_GT(Slurp(file).size(), 8u);
    EXPECT_EQ(Ctl({"shot", root.Host("no/such/folder/x.png")}).code, 1);

    // Bad usage fails before the server is asked; the server refuses what it cannot do.
    EXPECT_EQ(Ctl({"tap", "10"}).code, 1);
    EXPECT_EQ(Ctl({"tap", "x", "y"}).code, 1);
    // Points off the 800 x 480 screen are refused, by the tool and by the server for any client.
    for (auto args : {std::vector<std::string>{"tap", "900", "900"},
                      {"press", "-1", "5"},
                      {"move", "800", "0"},
                      {"release", "0", "480"}}) {
        CtlResult off = Ctl(args);
        EXPECT_NE(off.code, 0) << args[0];
        EXPECT_NE(off.err.find("outside the screen"), std::string::npos) << off.err;
    }
    EXPECT_EQ(Ctl({"tap", "799", "479"}).code, 0);
    EXPECT_EQ(RawControl("tap 900 900").rfind("error", 0), 0u);
    EXPECT_EQ(RawControl("move 10 -1").rfind("error", 0), 0u);
    EXPECT_EQ(Ctl({"frobnicate"}).code, 1);
    CtlResult badKey = Ctl({"key", "0"});
    EXPECT_EQ(badKey.code, 1);
    EXPECT_FALSE(badKey.err.empty());
    TempDeviceRoot other;
    CtlResult none = Ctl({"windows"}, other.Path());
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.err.find("no screen server"), std::string::npos);
    CtlResult offNone = Ctl({"tap", "900", "900"}, other.Path());
    EXPECT_NE(offNone.err.find("outside the screen"), std::string::npos) << "refused before asking: " << offNone.err;
}

TEST_F(ScreenServerTest, WaitCountsDeviceSeconds) {
    // A fast device clock: an hour of device time passes in a few real seconds, well before the
    // bound below; a wait counted in real seconds would still be running.
    TempDeviceRoot fast;
    pid_t server = SpawnHost({QRX_SCREEN_SERVER}, {"QRX_DEVICE_ROOT=" + fast.Path(), "QRX_TIME_SCALE=1000"});
    ASSERT_GT(server, 0);
    m_children.push_back(server);
    ASSERT_TRUE(WaitUntil([&] { return ScreenUp(fast.Path()); }));
    CtlResult missing = Ctl({"wait", "Missing", "3600"}, fast.Path());
    EXPECT_EQ(missing.code, 1) << "the wait did not end in device time";
    EXPECT_NE(missing.err.find("after 3600 s"), std::string::npos) << missing.err;
    EXPECT_EQ(Ctl({"wait", "Missing", "0"}, fast.Path()).code, 1);
}

// Reads one answer line from a raw connection, with a bound.
std::string ReadLine(int fd) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + Bound();
    char c;
    while (std::chrono::steady_clock::now() < deadline && line.size() < 4096) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (recv(fd, &c, 1, 0) != 1) break;
        if (c == '\n') return line;
        line.push_back(c);
    }
    return "<none>";
}

}  // namespace

// One command on a control connection of its own, past the tool's checks: the server's first answer
// line. Also used by the desktop window's tests.
std::string RawScreenControl(const std::string& root, const std::string& command) {
    int fd = ConnectScreen(root);
    if (fd < 0) return "<no server>";
    std::string line = command + "\n";
    std::string answer = send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())
                             ? ReadLine(fd)
                             : "<not sent>";
    close(fd);
    return answer;
}

namespace {

TEST_F(ScreenServerTest, BrokenProgramInputIsRefusedAndTheServerLivesOn) {
    std::string path = root.Host(".platform/screen.sock");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string text =
        "hello 1\n"
        "win 10 1 1 0 0 10 10 - - 10 10\n"                  // outside a state block
        "surface 10 100 100\n"                              // no memory came with it
        "begin 1 0 0\n"
        "win zz 1 1 0 0 10 10 - - 10 10\n"                  // bad handle
        "win 11 1 1 0 0 10 10 0041004 - 10 10\n"            // bad class text
        "win 12 1 1 10 10 0 0 - - 10 10\n"                  // inverted rectangle
        "win 13 1 1 0 0 100 100 0042 0043 100 100\n"
        "rgn 13 99999 0 0 1 1\n"                            // more rectangles than given
        "end\n"
        "synced 99999999999999999999999\n"
        "req 7 0 deadbeef 1 2 3 4 5 6\n";                   // nobody owns that window
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(ReadLine(fd), "rep 7 0");

    CtlResult list = Ctl({"windows"});
    EXPECT_EQ(list.code, 0);
    EXPECT_NE(list.out.find("class=\"B\" title=\"C\" program="), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("rect=10,10"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("\n", list.out.find("class=")), list.out.size() - 1) << "one window only: " << list.out;
    // The window has no pixels: it shows nothing, and a picture is still made.
    EXPECT_TRUE(ShowsColors({{50, 50, kBlack}}));

    // A line without an end is cut off with its connection, and the window goes with it.
    std::string endless(2 * 1024 * 1024, 'x');
    send(fd, endless.data(), endless.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(WaitUntil([&] { return Ctl({"windows"}).out.find("class=") == std::string::npos; }));
    close(fd);
    std::string logA;
    Window("PeerA", 0, 0, 100, 100, kRedRef, logA);
    EXPECT_TRUE(ShowsColors({{50, 50, kRed}}));
}

}  // namespace
