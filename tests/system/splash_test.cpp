// The loading screen as a real program in a temporary device root: its time-out, its close by another
// program, the touch-panel mode around it, a second instance and a failed start.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"

extern char** environ;

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

constexpr DWORD kTouchSplash = 0x0118001Cu;
constexpr DWORD kTouchRestore = 0x01180018u;

bool WaitFor(const std::function<bool()>& done, int seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

std::vector<DWORD> TouchCodes() {
    std::vector<DWORD> codes;
    for (const auto& r : qrx::ReadDeviceRecords("TCH1")) codes.push_back(r.code);
    return codes;
}

// Windows of other programs are found through the screen server.
class ScreenServer {
public:
    explicit ScreenServer(const std::string& root) : m_socket(root + "/.platform/screen.sock") {
        char* argv[] = {const_cast<char*>(QRX_SCREEN_SERVER), nullptr};
        if (posix_spawn(&m_pid, QRX_SCREEN_SERVER, nullptr, nullptr, argv, environ) != 0) m_pid = -1;
    }
    ~ScreenServer() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int status;
        if (!WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; })) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
    }
    ScreenServer(const ScreenServer&) = delete;
    ScreenServer& operator=(const ScreenServer&) = delete;

    bool Up() const {
        sockaddr_un addr{};
        if (m_pid <= 0 || m_socket.size() >= sizeof addr.sun_path) return false;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, m_socket.c_str(), m_socket.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0) close(fd);
        return ok;
    }

private:
    std::string m_socket;
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
    ASSERT_TRUE(WaitFor([&] { return screen.Up(); }));
    Program splash(u"\\Windows\\Splash.exe", u"-1");
    ASSERT_TRUE(splash.Started());
    ASSERT_TRUE(WaitFor([] { return TouchCodes().size() == 1; }));

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
        ASSERT_TRUE(WaitFor([] { return TouchCodes().size() == 3; }));
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
    ASSERT_TRUE(WaitFor([&] { return screen.Up(); }));
    // Beyond 32 bits: saturates to a time-out that never fires instead of wrapping to 100 ms.
    Program splash(u"\\Windows\\Splash.exe", u"4294967396");
    ASSERT_TRUE(splash.Started());
    ASSERT_TRUE(WaitFor([] { return TouchCodes().size() == 1; }));
    EXPECT_NE(DebugLog().find("LoadingImage Timeout : 2147483647"), std::string::npos);
    Program closer(u"\\Windows\\Closer.exe", u"close");
    EXPECT_EQ(closer.Wait(), 0u);
    EXPECT_EQ(splash.Wait(), 0u);
    EXPECT_EQ(DebugLog().find("Loading Timeout\r"), std::string::npos);
}

}  // namespace
