// Storage volumes through the screen server: qrx-ctl takes a card out and puts it back, and every
// program's window hears of it with the volume's name in its own memory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "qrx/host.h"

using namespace system_harness;

namespace {

// Only a peer gets a log of its own.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log = "") {
    std::vector<std::string> env;
    if (!log.empty()) env.push_back("QRX_PEER_LOG=" + log);
    return SpawnHost(args, env, {"QRX_PEER_LOG"});
}

class VolumeSystemTest : public DeviceRootTest {
protected:
    void SetUp() override {
        m_server = Spawn({QRX_SCREEN_SERVER});
        ASSERT_GT(m_server, 0);
        ASSERT_TRUE(WaitUntil([&] { return ScreenUp(root.Path()); })) << "the screen server did not come up";
    }
    void TearDown() override {
        for (pid_t p : m_children) StopHost(p);
        StopHost(m_server);
    }

    CtlResult Ctl(const std::vector<std::string>& args) { return RunCtl(args, root.Path(), {}, {"QRX_PEER_LOG"}); }

    // A program with one window that logs the storage events it gets.
    std::string Peer(const std::string& cls, int x) {
        std::string log = root.Host(cls + ".log");
        pid_t pid = Spawn({QRX_SCREEN_PEER, "window", cls, cls, std::to_string(x), "0", "100", "100", "00ff00"}, log);
        if (pid > 0) m_children.push_back(pid);
        EXPECT_TRUE(WaitUntil([&] { return HasLine(log, "shown"); })) << cls;
        EXPECT_EQ(Ctl({"wait", cls, WaitSeconds()}).code, 0) << cls;
        return log;
    }

    pid_t m_server = -1;
    std::vector<pid_t> m_children;
};

const std::string kRemoved = "devicechange 32772 type 3 size 28 name SD Card";
const std::string kArrived = "devicechange 32768 type 3 size 28 name SD Card";

TEST_F(VolumeSystemTest, ControlToolTakesTheCardOutAndBackAndEveryProgramHears) {
    root.WriteFile("SD Card/Log/run.csv", "a,b\n");
    std::string logA = Peer("VolPeerA", 0), logB = Peer("VolPeerB", 200);

    ASSERT_EQ(Ctl({"volume", "remove", "SD Card"}).code, 0);
    EXPECT_FALSE(std::filesystem::exists(root.Host("SD Card")));
    EXPECT_EQ("a,b\n", root.ReadFile(".platform/volumes/SD Card/Log/run.csv"));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, kRemoved) && HasLine(logB, kRemoved); }));

    ASSERT_EQ(Ctl({"volume", "arrive", "sd card"}).code, 0);
    EXPECT_EQ("a,b\n", root.ReadFile("SD Card/Log/run.csv"));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, kArrived) && HasLine(logB, kArrived); }));
    // In the order they happened, once each.
    std::string text = Slurp(logA);
    EXPECT_LT(text.find(kRemoved), text.find(kArrived));
    EXPECT_EQ(text.find(kRemoved), text.rfind(kRemoved));

    // A program of the device does the same through the API; the others hear it from the server.
    ASSERT_TRUE(qrx::RemoveVolume("Hard Disk"));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logB, "devicechange 32772 type 3 size 32 name Hard Disk"); }));
    ASSERT_TRUE(qrx::ArriveVolume("Hard Disk"));
    EXPECT_TRUE(WaitUntil([&] { return HasLine(logA, "devicechange 32768 type 3 size 32 name Hard Disk"); }));
}

TEST_F(VolumeSystemTest, ControlToolRefusesBadVolumesAndBadUsage) {
    std::string log = Peer("VolPeerC", 0);
    CtlResult escape = Ctl({"volume", "remove", "../Windows"});
    EXPECT_EQ(1, escape.code);
    EXPECT_NE(std::string::npos, escape.err.find("not a volume name")) << escape.err;
    CtlResult state = Ctl({"volume", "remove", ".platform"});
    EXPECT_EQ(1, state.code);
    CtlResult unknown = Ctl({"volume", "remove", "Floppy"});
    EXPECT_EQ(1, unknown.code);
    EXPECT_NE(std::string::npos, unknown.err.find("no volume Floppy")) << unknown.err;
    CtlResult usage = Ctl({"volume", "eject", "SD Card"});
    EXPECT_EQ(1, usage.code);
    EXPECT_NE(std::string::npos, usage.err.find("volume remove NAME")) << usage.err;
    EXPECT_EQ(1, Ctl({"volume", "remove"}).code);

    EXPECT_TRUE(std::filesystem::is_directory(root.Host("Windows")));
    EXPECT_TRUE(std::filesystem::is_directory(root.Host("SD Card")));
    EXPECT_TRUE(std::filesystem::exists(root.Host(".platform/screen.sock")));
    // Nothing was announced: a later event is the first the program sees.
    ASSERT_EQ(Ctl({"volume", "remove", "SD Card"}).code, 0);
    ASSERT_TRUE(WaitUntil([&] { return HasLine(log, kRemoved); }));
    EXPECT_EQ(std::string::npos, Slurp(log).find("devicechange 32768"));
    EXPECT_EQ(Slurp(log).find("devicechange"), Slurp(log).rfind("devicechange"));
}

TEST_F(VolumeSystemTest, ACardTakenOutStaysOutThroughARestartAndNeverArrivesOverAFolder) {
    root.WriteFile("SD Card/Log/run.csv", "a,b\n");
    ASSERT_EQ(Ctl({"volume", "remove", "SD Card"}).code, 0);

    // The device off, its root refreshed as `make run` does, and on again.
    StopHost(m_server);
    pid_t mkroot = Spawn({QRX_MKROOT_EXE, "--root", root.Path(), "--build", QRX_BUILD_DIR});
    ASSERT_EQ(WaitExit(mkroot, 2 * kPatience), 0);
    m_server = Spawn({QRX_SCREEN_SERVER});
    ASSERT_TRUE(WaitUntil([&] { return Ctl({"windows"}).code == 0; }));
    EXPECT_FALSE(std::filesystem::exists(root.Host("SD Card")));

    // A folder of that name made meanwhile: the arrival is refused and touches neither.
    root.WriteFile("SD Card/new.txt", "new");
    CtlResult clash = Ctl({"volume", "arrive", "SD Card"});
    EXPECT_EQ(1, clash.code);
    EXPECT_NE(std::string::npos, clash.err.find("is kept")) << clash.err;
    EXPECT_EQ("new", root.ReadFile("SD Card/new.txt"));
    EXPECT_EQ("a,b\n", root.ReadFile(".platform/volumes/SD Card/Log/run.csv"));

    std::filesystem::remove_all(root.Host("SD Card"));
    ASSERT_EQ(Ctl({"volume", "arrive", "SD Card"}).code, 0);
    EXPECT_EQ("a,b\n", root.ReadFile("SD Card/Log/run.csv"));
    EXPECT_EQ(Ctl({"volume", "remove", "SD Card"}).code, 0);

    // An answer that cannot be printed is a failure too.
    Peer("VolPeerD", 0);
    pid_t full = SpawnHost({QRX_CTL, "windows"}, {}, {"QRX_PEER_LOG"}, "/dev/full", root.Host("full.err"));
    EXPECT_EQ(1, WaitExit(full));
    EXPECT_NE(std::string::npos, Slurp(root.Host("full.err")).find("cannot write")) << Slurp(root.Host("full.err"));
}

}  // namespace
