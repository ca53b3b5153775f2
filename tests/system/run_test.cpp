// The device runner as `make run` uses it: the simulated MCU on COM2, headless use of the screen, and a
// stop that leaves no process of the device behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "app/McuFrame.h"
#include "qrx/host.h"

using namespace system_harness;

namespace {

std::set<pid_t> Descendants(pid_t pid);
bool Gone(pid_t pid);

// A runner that a failed test left running is stopped, and whatever of the device survived it too.
struct Runner {
    pid_t pid = -1;
    std::string out, err;  // files of its stdout and stderr
    bool ended = false;
    std::set<pid_t> seen;  // the device's processes while the runner still ran

    Runner() = default;
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    Runner(Runner&& o) noexcept : pid(o.pid), out(o.out), err(o.err), ended(o.ended) { o.pid = -1; }
    ~Runner() {
        if (pid <= 0) return;
        if (!ended) {
            seen.merge(Descendants(pid));
            kill(pid, SIGTERM);
            WaitExit(pid, kStopping);
        }
        for (pid_t p : seen)
            if (!Gone(p)) kill(p, SIGKILL);
    }
    // The exit code once it ended by itself or after `sig` (0: none sent).
    int Wait(int sig = 0) {
        seen.merge(Descendants(pid));
        if (sig) kill(-pid, sig);
        ended = true;
        return WaitExit(pid);
    }
};

// The runner in a process group of its own, as a shell starts a foreground job, headless whatever
// the desktop of the test, and without a port override in its way.
Runner StartRunner(const TempDeviceRoot& root, std::vector<std::string> options,
                   const std::string& build = QRX_BUILD_DIR, const std::string& name = "run") {
    Runner r;
    r.out = root.Host(name + ".out");
    r.err = root.Host(name + ".err");
    std::vector<std::string> args{QRX_RUN_EXE, "--root", root.Path(), "--build", build};
    args.insert(args.end(), options.begin(), options.end());
    r.pid = SpawnHost(args, {"QRX_TIME_SCALE=50"}, {"DISPLAY", "WAYLAND_DISPLAY", "QRX_COM2"}, r.out, r.err,
                      kSpawnTruncate | kSpawnOwnGroup);
    return r;
}

std::string Output(const Runner& r) { return "stdout:\n" + Slurp(r.out) + "stderr:\n" + Slurp(r.err); }

// Every process below pid, found through the kernel's child lists (the runner adopts orphans).
// The lists of every thread: a process whose threads are still ending holds its children on one of
// them until the last has gone.
std::set<pid_t> Descendants(pid_t pid) {
    std::set<pid_t> found;
    std::vector<pid_t> todo{pid};
    while (!todo.empty()) {
        const std::string tasks = "/proc/" + std::to_string(todo.back()) + "/task";
        todo.pop_back();
        std::error_code ec;
        for (std::filesystem::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
            std::istringstream in(Slurp((it->path() / "children").string()));
            for (pid_t c; in >> c;)
                if (found.insert(c).second) todo.push_back(c);
        }
    }
    return found;
}

std::string CommandLine(pid_t pid) {
    std::string s = Slurp("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : s)
        if (c == '\0') c = ' ';
    return s;
}

// Gone, or a zombie that no longer runs.
bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// Those of the processes that still run after a generous bound, with their command lines.
std::string Running(const std::set<pid_t>& pids) {
    std::string left;
    WaitUntil([&] {
        left.clear();
        for (pid_t p : pids)
            if (!Gone(p)) left += std::to_string(p) + " " + CommandLine(p) + "\n";
        return left.empty();
    });
    return left;
}

std::string PortMapping(int port) {
    char tty[4096] = {};
    return qrx::GetPortMapping(port, tty, sizeof tty) ? std::string(tty) : std::string();
}

size_t Launches(const TempDeviceRoot& root) {
    std::istringstream in(root.ReadFile("standin.log"));
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find("\\QRX.exe|") != std::string::npos;
    return n;
}

// One request to the MCU on COM2 the way the device frames it; the reply payload, empty when none
// came within the bound.
std::vector<BYTE> AskMcu(const std::vector<BYTE>& request) {
    // The port is the program's until it closes it, a moment after it said it had opened it.
    HANDLE port = INVALID_HANDLE_VALUE;
    WaitUntil([&] {
        port = CreateFileW(u"COM2:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return port != INVALID_HANDLE_VALUE;
    });
    if (port == INVALID_HANDLE_VALUE) return {};
    COMMTIMEOUTS now = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &now);
    BYTE frame[MCU_FRAME_MAX(16)];
    DWORD length = McuEncodeFrame(request.data(), static_cast<DWORD>(request.size()), frame, sizeof frame);
    DWORD written = 0;
    std::vector<BYTE> reply;
    if (length && WriteFile(port, frame, length, &written, nullptr) && written == length) {
        std::vector<BYTE> got;
        WaitUntil([&] {
            BYTE buf[256];
            DWORD n = 0;
            if (ReadFile(port, buf, sizeof buf, &n, nullptr)) got.insert(got.end(), buf, buf + n);
            return !got.empty() && got.back() == MCU_FRAME_END;
        });
        BYTE payload[256];
        DWORD n = McuDecodeFrame(got.data(), static_cast<DWORD>(got.size()), payload, sizeof payload);
        reply.assign(payload, payload + n);
    }
    CloseHandle(port);
    return reply;
}

TEST(RunMcuTest, McuAnswersThroughARebootAndAnInterruptEndsEverything) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/QRX.exe");
    root.WriteFile("standin.reboot", "");
    root.WriteFile("standin.stay", "");
    root.WriteFile("standin.com2", "");
    // A simulator that was killed left its entry behind: it must not pass for the new one's.
    root.WriteFile(".platform/ports", "COM2=/nonexistent/stale\n");
    unsetenv("QRX_COM2");
    Runner runner = StartRunner(root, {"--mcu"});
    ASSERT_GT(runner.pid, 0);

    // The simulator is up before the first boot and stays through the reboot.
    ASSERT_TRUE(WaitUntil([&] { return Launches(root) == 2 && HasLine(root.Host("standin.log"), "COM2 opened"); }))
        << Output(runner);
    EXPECT_FALSE(HasLine(root.Host("standin.log"), "COM2 failed")) << root.ReadFile("standin.log");
    std::string tty = PortMapping(2);
    EXPECT_EQ(tty.rfind("/dev/pts/", 0), 0u) << tty;
    EXPECT_EQ(AskMcu({0x02, 0xFF, 0x01, 0x01}), (std::vector<BYTE>{0xFF, 0x01, 242, 1, 0, 4}));
    // A 12 V battery at half charge, connected: the measurement record's volts and battery bits.
    std::vector<BYTE> status = AskMcu({0x02, 0x02, 0x00, 0x01});
    ASSERT_EQ(status.size(), 24u);
    int centivolts = status[2] | status[3] << 8;
    EXPECT_GT(centivolts, 1150);
    EXPECT_LT(centivolts, 1300);
    EXPECT_EQ(status[23] & 0x03, 0);

    // Headless, it says how to see and use the screen, with the control tool of its build.
    std::string out = Slurp(runner.out);
    const std::string ctl = std::string(QRX_BUILD_DIR) + "/tools/ctl/qrx-ctl ";
    for (const char* command : {"shot FILE.png", "tap X Y", "windows", "key VK", "volume arrive|remove \"SD Card\""})
        EXPECT_NE(out.find(ctl + command), std::string::npos) << command << "\n" << out;
    EXPECT_NE(out.find("QRX_DEVICE_ROOT=" + root.Path()), std::string::npos) << out;

    std::set<pid_t> device = Descendants(runner.pid);
    std::string names;
    for (pid_t p : device) names += CommandLine(p) + "\n";
    EXPECT_NE(names.find("qrx-sim-mcu"), std::string::npos) << names;
    EXPECT_NE(names.find("qrx-screen"), std::string::npos) << names;
    EXPECT_NE(names.find("QRX.exe"), std::string::npos) << names << root.ReadFile("standin.log") << Output(runner);

    // Ctrl-C reaches the terminal's foreground group.
    EXPECT_EQ(runner.Wait(SIGINT), 0) << Output(runner);
    EXPECT_EQ(Running(device), "");
    EXPECT_FALSE(ScreenUp(root.Path()));
    // The simulator ended on its own terms: it took its entry out of the port map.
    EXPECT_EQ(PortMapping(2), "");
}

TEST(RunMcuTest, StaysOnWithoutProgramsAndEndsWithItsScreen) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    unsetenv("QRX_COM2");
    Runner runner = StartRunner(root, {"--mcu", "--stay-on"});
    ASSERT_GT(runner.pid, 0);

    ASSERT_TRUE(WaitUntil([&] { return Slurp(runner.err).find("the device stays on") != std::string::npos; }))
        << Output(runner);
    EXPECT_EQ(waitpid(runner.pid, nullptr, WNOHANG), 0);
    EXPECT_EQ(PortMapping(2).rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(AskMcu({0x02, 0xFF, 0x01, 0x01}).size(), 6u);
    ASSERT_TRUE(ScreenUp(root.Path()));

    // The screen server going (its window closed) turns the whole device off.
    std::set<pid_t> device = Descendants(runner.pid);
    pid_t screen = -1;
    for (pid_t p : device)
        if (CommandLine(p).find("qrx-screen") != std::string::npos) screen = p;
    ASSERT_GT(screen, 0);
    kill(screen, SIGTERM);
    EXPECT_EQ(runner.Wait(), 0) << Output(runner);
    EXPECT_EQ(Running(device), "");
    EXPECT_EQ(PortMapping(2), "");
}

TEST(RunMcuTest, KilledOutrightItTakesTheDeviceAlongAndAStartNamesWhatIsInTheWay) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/QRX.exe");
    root.WriteFile("standin.stay", "");
    unsetenv("QRX_COM2");
    Runner runner = StartRunner(root, {"--mcu", "--stay-on"});
    ASSERT_GT(runner.pid, 0);
    ASSERT_TRUE(WaitUntil([&] { return Launches(root) == 1 && ScreenUp(root.Path()); })) << Output(runner);
    // The main program is the launcher's child, not the runner's.
    std::set<pid_t> device = Descendants(runner.pid);
    std::string names;
    for (pid_t p : device) names += CommandLine(p) + "\n";
    for (const char* name : {"qrx-screen", "qrx-sim-mcu", "QRX.exe"})
        EXPECT_NE(names.find(name), std::string::npos) << name << "\n" << names;

    EXPECT_EQ(runner.Wait(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(Running(device), "");

    Runner again = StartRunner(root, {"--mcu", "--stay-on"});
    ASSERT_GT(again.pid, 0);
    ASSERT_TRUE(WaitUntil([&] { return Launches(root) == 2 && ScreenUp(root.Path()); })) << Output(again);
    std::string screen, qrx;
    for (pid_t p : Descendants(again.pid)) {
        std::string line = CommandLine(p);
        if (line.find("qrx-screen") != std::string::npos) screen = std::to_string(p) + " qrx-screen";
        if (line.find("QRX.exe") != std::string::npos) qrx = std::to_string(p) + " QRX.exe";
    }
    ASSERT_FALSE(screen.empty() || qrx.empty());
    // A second start on the same root is refused, naming each process in its way.
    Runner second = StartRunner(root, {}, QRX_BUILD_DIR, "second");
    ASSERT_GT(second.pid, 0);
    EXPECT_EQ(second.Wait(), 1);
    std::string err = Slurp(second.err);
    EXPECT_NE(err.find(screen), std::string::npos) << err;
    EXPECT_NE(err.find(qrx), std::string::npos) << err;
    EXPECT_EQ(Launches(root), 2u);
    EXPECT_EQ(again.Wait(SIGTERM), 0) << Output(again);
}

TEST(RunMcuTest, RefusesWhatItCannotRun) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/QRX.exe");
    // No simulator in that build: nothing boots.
    root.WriteFile("empty-build/CMakeCache.txt", "");
    Runner noSim = StartRunner(root, {"--mcu"}, root.Host("empty-build"));
    ASSERT_GT(noSim.pid, 0);
    EXPECT_EQ(noSim.Wait(), 2);
    EXPECT_NE(Slurp(noSim.err).find("qrx-sim-mcu"), std::string::npos) << Output(noSim);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{{"--mcu=yes"}, {"--verbose"}}) {
        Runner r = StartRunner(root, bad);
        ASSERT_GT(r.pid, 0);
        EXPECT_EQ(r.Wait(), 2) << bad[0];
        EXPECT_NE(Slurp(r.err).find("usage:"), std::string::npos);
    }
    EXPECT_EQ(Launches(root), 0u);
}

}  // namespace

namespace {

TEST(RunMcuTest, ADeviceThatDoesNotBootStartsNothing) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/QRX.exe");
    // A root without flash gets the factory chain and boots.
    Runner check = StartRunner(root, {"--boot-check"});
    ASSERT_GT(check.pid, 0);
    EXPECT_EQ(check.Wait(), 0) << Output(check);
    ASSERT_TRUE(std::filesystem::exists(root.Host(".platform/flash/os.rec")));

    std::filesystem::remove(root.Host(".platform/flash/eboot.rec"));
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{{"--boot-check"}, {}}) {
        Runner r = StartRunner(root, options);
        ASSERT_GT(r.pid, 0);
        EXPECT_EQ(r.Wait(), 3) << Output(r);
        EXPECT_NE(Slurp(r.err).find("qrx-run: the device does not boot: the EBoot image is not whole"),
                  std::string::npos)
            << Output(r);
    }
    EXPECT_EQ(Launches(root), 0u);
}

}  // namespace
