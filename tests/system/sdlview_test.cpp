// The screen server's desktop window on SDL's dummy video driver: it opens, presents frames, serves
// the control socket meanwhile and ends cleanly, and makes pictures only when the screen changes; and
// the mouse and keys become pen and key commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "qrx/boardapi.h"
#ifdef QRX_SCREEN_WINDOW
#include "SdlInput.h"
#include "qrx/winuser.h"
#endif

using namespace system_harness;

std::string RawScreenControl(const std::string& root, const std::string& command);  // screen_test.cpp

namespace {

// Stdout is not looked at; stderr goes to a file that starts empty when named.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::vector<std::string>& unset = {}, const std::string& err = "") {
    return SpawnHost(args, env, unset, "/dev/null", err, kSpawnTruncate);
}

class SdlViewTest : public DeviceRootTest {
protected:
    int Ctl(const std::vector<std::string>& args) { return RunCtl(args, root.Path()).code; }
    // The server says how it shows the screen once it serves and minds its stop signals.
    bool Announced(const std::string& err, const std::string& what) {
        return WaitUntil([&] { return Slurp(err).find(what) != std::string::npos; });
    }
};

#ifdef QRX_SCREEN_WINDOW

TEST(SdlInputTest, MouseBecomesThePenOnlyWhileTheLeftButtonIsDown) {
    qrx::screen::SdlInput in;
    auto button = [](Uint32 type, Uint8 which, int x, int y) {
        SDL_Event e{};
        e.type = type;
        e.button.button = which;
        e.button.x = x;
        e.button.y = y;
        return e;
    };
    auto motion = [](int x, int y) {
        SDL_Event e{};
        e.type = SDL_MOUSEMOTION;
        e.motion.x = x;
        e.motion.y = y;
        return e;
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(in.Translate(motion(5, 5)), Lines{}) << "no hover";
    EXPECT_EQ(in.Translate(button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 5, 5)), Lines{});
    EXPECT_EQ(in.Translate(button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 5, 5)), Lines{}) << "no lift without a touch";
    EXPECT_EQ(in.Translate(button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 10, 20)), Lines{"press 10 20"});
    EXPECT_EQ(in.Translate(motion(799, 479)), Lines{"move 799 479"});
    EXPECT_EQ(in.Translate(motion(-3000000, 5000000)), Lines{"move 0 479"}) << "held on the screen's edge";
    EXPECT_EQ(in.Translate(button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 1, 1)), Lines{});
    EXPECT_EQ(in.Translate(button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 30, 40)), Lines{"release 30 40"});
    EXPECT_FALSE(in.PenDown());
    EXPECT_EQ(in.Translate(motion(31, 41)), Lines{});

    // Losing the window mid-stroke lifts the pen where it was, once.
    SDL_Event lost{};
    lost.type = SDL_WINDOWEVENT;
    lost.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
    EXPECT_EQ(in.Translate(lost), Lines{});
    in.Translate(button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 100, 200));
    in.Translate(motion(110, 210));
    EXPECT_TRUE(in.PenDown());
    EXPECT_EQ(in.Translate(lost), Lines{"release 110 210"});
    EXPECT_EQ(in.Translate(lost), Lines{});
}

TEST(SdlInputTest, CommonKeysBecomeVirtualKeys) {
    using qrx::screen::VkFromSdlKey;
    EXPECT_EQ(VkFromSdlKey(SDLK_a), 'A');
    EXPECT_EQ(VkFromSdlKey(SDLK_z), 'Z');
    EXPECT_EQ(VkFromSdlKey(SDLK_0), '0');
    EXPECT_EQ(VkFromSdlKey(SDLK_9), '9');
    EXPECT_EQ(VkFromSdlKey(SDLK_RETURN), VK_RETURN);
    EXPECT_EQ(VkFromSdlKey(SDLK_KP_ENTER), VK_RETURN);
    EXPECT_EQ(VkFromSdlKey(SDLK_ESCAPE), VK_ESCAPE);
    EXPECT_EQ(VkFromSdlKey(SDLK_BACKSPACE), VK_BACK);
    EXPECT_EQ(VkFromSdlKey(SDLK_LEFT), VK_LEFT);
    EXPECT_EQ(VkFromSdlKey(SDLK_UP), VK_UP);
    EXPECT_EQ(VkFromSdlKey(SDLK_RIGHT), VK_RIGHT);
    EXPECT_EQ(VkFromSdlKey(SDLK_DOWN), VK_DOWN);
    EXPECT_EQ(VkFromSdlKey(SDLK_F5), 0);
    EXPECT_EQ(VkFromSdlKey(SDLK_LSHIFT), 0);

    qrx::screen::SdlInput in;
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = SDLK_b;
    EXPECT_EQ(in.Translate(e), std::vector<std::string>{"key 66"});
    e.type = SDL_KEYUP;
    EXPECT_TRUE(in.Translate(e).empty()) << "a key command is a press and a release already";
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = SDLK_F5;
    EXPECT_TRUE(in.Translate(e).empty());
}

TEST_F(SdlViewTest, WindowOnTheDummyDriverServesPresentsAndStopsCleanly) {
    std::string err = root.Host("screen.err");
    pid_t server = Spawn({QRX_SCREEN_SERVER, "--window"}, {"SDL_VIDEODRIVER=dummy"}, {}, err);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(Announced(err, "in a window (video driver 'dummy')")) << Slurp(err);

    // A program's window changes the picture: a second frame is presented.
    std::string log = root.Host("peer.log");
    pid_t peer = Spawn({QRX_SCREEN_PEER, "window", "PeerA", "A", "0", "0", "200", "100", "0000ff"},
                       {"QRX_PEER_LOG=" + log});
    ASSERT_GT(peer, 0);
    EXPECT_EQ(Ctl({"wait", "PeerA", WaitSeconds()}), 0);
    std::string shot = root.Host("shot.png");
    EXPECT_EQ(Ctl({"shot", shot}), 0);
    EXPECT_GT(Slurp(shot).size(), 8u);
    EXPECT_EQ(Ctl({"tap", "10", "10"}), 0);
    kill(peer, SIGTERM);
    WaitExit(peer);

    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_EQ(WaitExit(server), 0);
    std::smatch m;
    std::string text = Slurp(err);
    ASSERT_TRUE(std::regex_search(text, m, std::regex("window closed after ([0-9]+) frames"))) << text;
    EXPECT_GE(std::stoull(m[1]), 2u) << "the empty screen, then the program's window";
    EXPECT_NE(access(root.Host(".platform/screen.sock").c_str(), F_OK), 0) << "the socket goes with the server";
    EXPECT_NE(Ctl({"windows"}), 0);
}

TEST_F(SdlViewTest, TheWindowComposesOnlyWhenTheScreenChanges) {
    std::string err = root.Host("screen.err");
    pid_t server = Spawn({QRX_SCREEN_SERVER, "--window"}, {"SDL_VIDEODRIVER=dummy"}, {}, err);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(WaitUntil([&] { return Ctl({"windows"}) == 0; })) << Slurp(err);
    std::string log = root.Host("peer.log");
    pid_t peer =
        Spawn({QRX_SCREEN_PEER, "window", "PeerA", "A", "0", "0", "200", "100", "0000ff"}, {"QRX_PEER_LOG=" + log});
    ASSERT_GT(peer, 0);
    ASSERT_EQ(Ctl({"wait", "PeerA", WaitSeconds()}), 0);

    // "composes N behind B": pictures made, and whether a change is still to be shown.
    unsigned long long composes = 0;
    auto caughtUp = [&] {
        std::smatch m;
        std::string stats = RawScreenControl(root.Path(), "stats");
        if (!std::regex_match(stats, m, std::regex("composes ([0-9]+) behind ([01])"))) return false;
        composes = std::stoull(m[1]);
        return m[2] == "0";
    };
    ASSERT_EQ(RawScreenControl(root.Path(), "idle " + std::to_string(BoundMs(Ms(20000)))), "ok");
    ASSERT_TRUE(WaitUntil(caughtUp));
    unsigned long long shown = composes;
    EXPECT_GE(shown, 1u);
    // An idle second with a window up makes no picture.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(caughtUp());
    EXPECT_EQ(composes, shown);

    // The program's drawing reaches the window by itself, without anybody asking for a picture.
    ASSERT_EQ(Ctl({"key", "83"}), 0);
    EXPECT_TRUE(WaitUntil([&] { return caughtUp() && composes > shown; }));

    // So does the backlight switched off by any program of the device.
    shown = composes;
    HANDLE pwm = CreateFileW(u"PWM2:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pwm, INVALID_HANDLE_VALUE);
    DWORD off = 0, returned = 0;
    EXPECT_TRUE(DeviceIoControl(pwm, IOCTL_PWM_SET_BACKLIGHT, &off, sizeof off, nullptr, 0, &returned, nullptr));
    CloseHandle(pwm);
    EXPECT_TRUE(WaitUntil([&] { return caughtUp() && composes > shown; }));

    kill(peer, SIGTERM);
    WaitExit(peer);
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_EQ(WaitExit(server), 0);
}

#endif

TEST_F(SdlViewTest, HeadlessWhenAskedOrWithoutDisplayAndBadOptionsRefused) {
    std::string err = root.Host("screen.err");
    pid_t server = Spawn({QRX_SCREEN_SERVER, "--headless"}, {"SDL_VIDEODRIVER=dummy"}, {}, err);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(Announced(err, "headless")) << Slurp(err);
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_EQ(WaitExit(server), 0);

    // Without a display and without being asked, the dummy driver opens no window.
    server = Spawn({QRX_SCREEN_SERVER}, {"SDL_VIDEODRIVER=dummy"}, {"DISPLAY", "WAYLAND_DISPLAY"}, err);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(Announced(err, "headless")) << Slurp(err);
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_EQ(WaitExit(server), 0);

    for (auto args : {std::vector<std::string>{QRX_SCREEN_SERVER, "--window", "--headless"},
                      std::vector<std::string>{QRX_SCREEN_SERVER, "--frobnicate"}}) {
        pid_t bad = Spawn(args, {}, {}, err);
        ASSERT_GT(bad, 0);
        EXPECT_EQ(WaitExit(bad), 2) << args.back();
    }
}

}  // namespace
