// The loading screen as a real program in a temporary device root: its time-out, its close by another
// program, the touch-panel mode around it, a second instance and a failed start.
#include <unistd.h>

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

constexpr DWORD kTouchSplash = 0x0118001Cu;
constexpr DWORD kTouchRestore = 0x01180018u;

std::vector<DWORD> TouchCodes() {
    std::vector<DWORD> codes;
    for (const auto& r : qrx::ReadDeviceRecords("TCH1")) codes.push_back(r.code);
    return codes;
}

// Windows of other programs are found through the screen server.
class ScreenServer {
public:
    explicit ScreenServer(const std::string& root) : m_root(root), m_pid(SpawnHost({QRX_SCREEN_SERVER})) {}
    ~ScreenServer() { StopHost(m_pid); }
    ScreenServer(const ScreenServer&) = delete;
    ScreenServer& operator=(const ScreenServer&) = delete;

    bool Up() const { return m_pid > 0 && ScreenUp(m_root); }

private:
    std::string m_root;
    pid_t m_pid = -1;
};

class SplashTest : public DeviceRootTest {
protected:
    void SetUp() override {
        Install(root, QRX_SPLASH_EXE, "Windows/Splash.exe");
        Install(root, QRX_STANDIN_EXE, "Windows/Closer.exe");
        fs::copy_file(QRX_SPLASH_ZIP, root.Host("Windows/Splash.zip"));
    }
    std::string DebugLog() const { return root.ReadFile(".platform/debug.log"); }
};

TEST_F(SplashTest, TimeOutEndsItAndRestoresTheTouchMode) {
    Program splash(u"\\Windows\\Splash.exe", u"300");
    ASSERT_TRUE(splash.Started());
    EXPECT_EQ(splash.Wait(), 0u);
    EXPECT_EQ(TouchCodes(), (std::vector<DWORD>{kTouchSplash, kTouchRestore}));
    std::string log = DebugLog();
    EXPECT_NE(log.find("LoadingImage Timeout : 300"), std::string::npos);
    EXPECT_NE(log.find("Loading Timeout"), std::string::npos);
}

TEST_F(SplashTest, ClosedByAnotherProgramAndSingleInstance) {
    ScreenServer screen(root.Path());
    ASSERT_TRUE(WaitUntil([&] { return screen.Up(); }));
    Program splash(u"\\Windows\\Splash.exe", u"-1");
    ASSERT_TRUE(splash.Started());
    ASSERT_TRUE(WaitUntil([] { return TouchCodes().size() == 1; }));

    // A second one raises the first and ends; its time-out is lost and the panel mode untouched.
    Program second(u"\\Windows\\Splash.exe", u"50");
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.Wait(), 0u);
    EXPECT_TRUE(splash.Running());
    EXPECT_EQ(TouchCodes(), std::vector<DWORD>{kTouchSplash});

    // The main program's way: find the window by its class and post WM_CLOSE.
    Program closer(u"\\Windows\\Closer.exe", u"close");
    ASSERT_TRUE(closer.Started());
    EXPECT_EQ(closer.Wait(), 0u) << root.ReadFile("standin.log");
    EXPECT_EQ(splash.Wait(), 0u);
    EXPECT_EQ(TouchCodes(), (std::vector<DWORD>{kTouchSplash, kTouchRestore}));
    EXPECT_EQ(DebugLog().find("Loading Timeout"), std::string::npos);
}

TEST_F(SplashTest, FailedStartRestoresTouchModeAndKillLeavesNoMarker) {
    // Without its archive the window is not made: the program ends, the panel mode is back.
    fs::remove(root.Host("Windows/Splash.zip"));
    {
        Program splash(u"\\Windows\\Splash.exe", u"-1");
        ASSERT_TRUE(splash.Started());
        EXPECT_EQ(splash.Wait(), 0u);
        EXPECT_EQ(TouchCodes(), (std::vector<DWORD>{kTouchSplash, kTouchRestore}));
    }

    // Killed outright, it leaves neither its instance marker nor the touch device locked.
    fs::copy_file(QRX_SPLASH_ZIP, root.Host("Windows/Splash.zip"));
    {
        Program killed(u"\\Windows\\Splash.exe", u"-1");
        ASSERT_TRUE(killed.Started());
        ASSERT_TRUE(WaitUntil([] { return TouchCodes().size() == 3; }));
        killed.Kill();
        EXPECT_NE(killed.Wait(), static_cast<DWORD>(-1));
    }
    Program next(u"\\Windows\\Splash.exe", u"200");
    ASSERT_TRUE(next.Started());
    EXPECT_EQ(next.Wait(), 0u);
    EXPECT_EQ(TouchCodes(), (std::vector<DWORD>{kTouchSplash, kTouchRestore, kTouchSplash, kTouchSplash, kTouchRestore}));
}

TEST_F(SplashTest, CommandLineOutOfRangeIsBounded) {
    ScreenServer screen(root.Path());
    ASSERT_TRUE(WaitUntil([&] { return screen.Up(); }));
    // Beyond 32 bits: saturates to a time-out that never fires instead of wrapping to 100 ms.
    Program splash(u"\\Windows\\Splash.exe", u"4294967396");
    ASSERT_TRUE(splash.Started());
    ASSERT_TRUE(WaitUntil([] { return TouchCodes().size() == 1; }));
    EXPECT_NE(DebugLog().find("LoadingImage Timeout : 2147483647"), std::string::npos);
    Program closer(u"\\Windows\\Closer.exe", u"close");
    EXPECT_EQ(closer.Wait(), 0u);
    EXPECT_EQ(splash.Wait(), 0u);
    EXPECT_EQ(DebugLog().find("Loading Timeout\r"), std::string::npos);
}

}  // namespace
