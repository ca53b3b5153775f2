// The loading screen started over another program's full-screen window with the screen server: what
// it covers on the screen, where the pen goes, and how soon its first frame shows.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 800, kHeight = 480;
// The loading panel: 120 x 120, centred on the screen.
constexpr int kPanelLeft = 340, kPanelTop = 180, kPanelRight = 460, kPanelBottom = 300;
constexpr uint32_t kPeerColor = 0x00FF00;
const char* kPeerColorRef = "00ff00";  // COLORREF 0x00BBGGRR

// One screen picture as 0xRRGGBB values.
struct Picture {
    std::vector<uint32_t> px;
    uint32_t At(int x, int y) const { return px[static_cast<size_t>(y) * kWidth + x]; }
    // Pixels of the rectangle that are not the colour.
    int CountOther(int left, int top, int right, int bottom, uint32_t color) const {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x) n += At(x, y) != color;
        return n;
    }
    // Pixels outside the panel that are not the colour.
    int CountOtherOutsidePanel(uint32_t color) const {
        int n = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                bool inPanel = x >= kPanelLeft && x < kPanelRight && y >= kPanelTop && y < kPanelBottom;
                n += !inPanel && At(x, y) != color;
            }
        return n;
    }
};

class SplashOverTest : public DeviceRootTest {
protected:
    void SetUp() override {
        Install(root, QRX_SPLASH_EXE, "Windows/Splash.exe");
        Install(root, QRX_STANDIN_EXE, "Windows/Closer.exe");
        fs::copy_file(QRX_SPLASH_ZIP, root.Host("Windows/Splash.zip"));
        m_server = SpawnHost({QRX_SCREEN_SERVER});
        ASSERT_GT(m_server, 0);
        ASSERT_TRUE(WaitUntil([&] { return Command("windows", nullptr); })) << "the screen server did not come up";
    }

    void TearDown() override {
        StopHost(m_peer);
        StopHost(m_server);
    }

    // One command on the control socket; the answer lines before "ok" go to `out`.
    bool Command(const std::string& command, std::string* out, int seconds = 30) {
        std::string path = root.Host(".platform/screen.sock");
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path) return false;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        bool ok = false;
        std::string line = command + "\n", buffer;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
            auto deadline = Clock::now() + std::chrono::seconds(seconds);
            char chunk[4096];
            while (Clock::now() < deadline && buffer.size() < (1u << 20)) {
                size_t nl = buffer.find('\n');
                if (nl != std::string::npos) {
                    std::string answer = buffer.substr(0, nl);
                    buffer.erase(0, nl + 1);
                    if (answer == "ok" || answer.rfind("error", 0) == 0) {
                        ok = answer == "ok";
                        break;
                    }
                    if (out) *out += answer + "\n";
                    continue;
                }
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                ssize_t k = recv(fd, chunk, sizeof chunk, 0);
                if (k <= 0) break;
                buffer.append(chunk, static_cast<size_t>(k));
            }
        }
        close(fd);
        return ok;
    }

    bool Shot(Picture& picture, const std::string& name = "shot.png") {
        std::string file = root.Host(name);
        if (!Command("shot " + file, nullptr)) return false;
        RgbPicture shot;
        if (!ReadPngPicture(file, shot) || shot.width != kWidth || shot.height != kHeight) return false;
        const std::vector<uint8_t>& rgb = shot.rgb;
        picture.px.resize(static_cast<size_t>(kWidth) * kHeight);
        for (size_t i = 0; i < picture.px.size(); ++i)
            picture.px[i] = (uint32_t(rgb[i * 3]) << 16) | (uint32_t(rgb[i * 3 + 1]) << 8) | rgb[i * 3 + 2];
        return true;
    }

    // The loading panel over the peer: its background covers the panel (a few pixels of the peer's
    // colour may be part of the artwork) and nothing else of the screen changed.
    bool ShowsPanelOverPeer(const Picture& p) const {
        const int area = (kPanelRight - kPanelLeft) * (kPanelBottom - kPanelTop);
        return p.CountOther(kPanelLeft, kPanelTop, kPanelRight, kPanelBottom, kPeerColor) * 10 >= area * 9 &&
               p.CountOtherOutsidePanel(kPeerColor) == 0;
    }

    bool WaitForPicture(const std::function<bool(const Picture&)>& wanted, Picture& last, int seconds = 20) {
        return WaitUntil([&] { return Shot(last) && wanted(last); }, seconds);
    }

    pid_t m_server = -1;
    pid_t m_peer = -1;
};

TEST_F(SplashOverTest, PanelDrawnOverAnotherProgramWhichKeepsTheRestOfTheScreenAndThePen) {
    std::string peerLog = root.Host("peer.log");
    m_peer = SpawnHost({QRX_SCREEN_PEER, "window", "FullPeer", "Full peer", "0", "0", std::to_string(kWidth),
                        std::to_string(kHeight), kPeerColorRef},
                       {"QRX_PEER_LOG=" + peerLog});
    ASSERT_GT(m_peer, 0);
    ASSERT_TRUE(WaitUntil([&] { return HasLine(peerLog, "shown"); }));
    ASSERT_TRUE(Command("wait FullPeer 20", nullptr));
    Picture pic;
    ASSERT_TRUE(WaitForPicture([](const Picture& p) { return p.CountOtherOutsidePanel(kPeerColor) == 0 &&
                                                             p.CountOther(kPanelLeft, kPanelTop, kPanelRight,
                                                                          kPanelBottom, kPeerColor) == 0; },
                               pic))
        << "the peer fills the screen";

    // From the start of the program to its panel's background on the screen.
    const auto start = Clock::now();
    Program splash(u"\\Windows\\Splash.exe", u"20000");
    ASSERT_TRUE(splash.Started());
    bool drawn = WaitUntil([&] { return Shot(pic) && ShowsPanelOverPeer(pic); }, 30);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_TRUE(drawn) << "panel pixels not the peer's: "
                       << pic.CountOther(kPanelLeft, kPanelTop, kPanelRight, kPanelBottom, kPeerColor)
                       << ", other pixels outside it: " << pic.CountOtherOutsidePanel(kPeerColor);
    RecordProperty("splash_first_frame_ms", static_cast<int>(ms));
    std::printf("[ splash   ] first frame over another program after %lld ms (target 150 ms)\n",
                static_cast<long long>(ms));
    EXPECT_LT(ms, 5000);
    ASSERT_TRUE(Command("wait SPLASH_APP 20", nullptr));
    ASSERT_TRUE(Shot(pic, "splash-over.png"));
    EXPECT_TRUE(ShowsPanelOverPeer(pic));
    // The edges: the panel's own corners are its own, the pixels just outside it the peer's.
    for (auto [x, y] : {std::pair{kPanelLeft - 1, kPanelTop + 60}, std::pair{kPanelRight, kPanelTop + 60},
                        std::pair{kPanelLeft + 60, kPanelTop - 1}, std::pair{kPanelLeft + 60, kPanelBottom}})
        EXPECT_EQ(pic.At(x, y), kPeerColor) << x << "," << y;

    // The loading screen covers only its panel: the pen beside it reaches the program below.
    ASSERT_TRUE(Command("tap 100 80", nullptr));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(peerLog, "down 100 80"); }));
    ASSERT_TRUE(Command("tap 790 470", nullptr));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(peerLog, "down 790 470"); }));
    // ...and that program coming to the front does not bury the panel, which stays on top.
    EXPECT_TRUE(WaitForPicture([&](const Picture& p) { return ShowsPanelOverPeer(p); }, pic, 5))
        << "panel pixels not the peer's: "
        << pic.CountOther(kPanelLeft, kPanelTop, kPanelRight, kPanelBottom, kPeerColor);

    // A tap on the panel is the loading screen's; the later tap beside it proves the first was routed.
    ASSERT_TRUE(Command("tap 400 240", nullptr));
    ASSERT_TRUE(Command("tap 20 30", nullptr));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(peerLog, "down 20 30"); }));
    EXPECT_FALSE(HasLine(peerLog, "down 400 240"));

    // Closed the main program's way, it leaves the peer's colour behind, with nothing left over.
    Program closer(u"\\Windows\\Closer.exe", u"close");
    ASSERT_TRUE(closer.Started());
    EXPECT_EQ(closer.Wait(), 0u);
    EXPECT_EQ(splash.Wait(), 0u);
    EXPECT_TRUE(WaitForPicture(
        [](const Picture& p) {
            return p.CountOtherOutsidePanel(kPeerColor) == 0 &&
                   p.CountOther(kPanelLeft, kPanelTop, kPanelRight, kPanelBottom, kPeerColor) == 0;
        },
        pic));
    std::string list;
    EXPECT_TRUE(Command("windows", &list));
    EXPECT_EQ(list.find("SPLASH_APP"), std::string::npos) << list;
}

}  // namespace
