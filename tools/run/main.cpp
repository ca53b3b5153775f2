// qrx-run: powers the device on in a device root. Starts the screen server when it is built, with
// --mcu the simulated MCU on COM2, with --bt the simulated Bluetooth module on COM4, boots \Windows\Starter.exe, boots again when a program asks for a
// reboot, and on SIGINT/SIGTERM/SIGHUP stops every process it started, including the programs those
// started in turn. It ends by itself when no program runs any more (not with --stay-on) or when the
// screen server ends (its window was closed). Killed outright, it still takes them all with it: each
// holds the lifeline that the runner's end cuts. It refuses to start, naming them, while processes
// of the device root run (a screen server of the root, programs running from it).
//
// The reboot control: a program asks for a reboot by ending with the exit code IOCTL_HAL_REBOOT
// (0x0101003C). The runner adopts every orphaned program of the device, so it sees the code of the
// program that asked even when that program was started by an ended Starter; the host keeps only
// its low byte (60).
//
// Before every boot the runner checks the boot chain in the device's flash (a whole XLDR copy, EBoot
// and OS image); a device that does not boot starts nothing and the runner ends with 3. A root
// without any flash gets the factory chain first. --boot-check only checks.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qrx/host.h"

extern char** environ;

namespace {

constexpr DWORD kRebootCode = 0x0101003Cu;
constexpr int kRebootStatus = static_cast<int>(kRebootCode & 0xFF);
// Real seconds: start-up of the screen server and of the simulated MCU, and a process's grace time
// after SIGTERM.
constexpr int kStartSeconds = 10;
constexpr int kStopGraceSeconds = 5;
constexpr int kNoBootStatus = 3;

// The MCU of `make run`: a 12 V 60 Ah lead-acid battery at half charge on the MCU's port.
constexpr int kMcuPort = 2;
const char* const kMcuBattery[] = {"--chemistry", "lead-acid", "--volts", "12", "--capacity", "60", "--soc", "50"};
// The Bluetooth module of `make run`: a host gets in without a stored address.
constexpr int kBtPort = 4;
const char* const kBtModule[] = {"--type", "bcd100", "--auto-connect"};
constexpr int kHostPort = 5;

void Usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s --root DIR [--build BUILDDIR] [--mcu] [--bt] [--host] [--stay-on] | --root DIR --boot-check\n"
                 "  --mcu      runs the simulated MCU on COM2 (12 V 60 Ah lead-acid battery at 50 %%)\n"
                 "  --bt       runs the simulated Bluetooth module on COM4 (BCD100; its host connects by\n"
                 "             itself: talk to the device on the terminal it prints as \"host -> PATH\")\n"
                 "  --host     runs the simulated host on COM5 (drive the device with qrx-remote --root DIR)\n"
                 "  --stay-on  stays on when no program runs any more, until SIGINT, SIGTERM or SIGHUP\n"
                 "  --boot-check  only checks that the device boots: 0, or 3 with the reason\n",
                 self);
}

bool IsExecutable(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string OwnBuildFolder() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = 0;
    std::string path(self);
    // <build>/tools/run/qrx-run
    for (int up = 0; up < 3; ++up) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return {};
        path.erase(slash);
    }
    return path;
}

// The read end of the device's lifeline, which every process the runner starts holds.
int g_lifeline = -1;

// A process in a group of its own, so that it and everything it starts can be stopped together, and
// that ends with the runner however the runner ends. errFd, when given, becomes its stderr.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args = {}, int errFd = -1) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_adddup2(&actions, g_lifeline, qrx::kLifelineFd);
    std::vector<std::string> words{path};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "qrx-run: cannot start %s: %s\n", path.c_str(), std::strerror(rc));
        return -1;
    }
    return pid;
}

bool GroupAlive(pid_t group) { return group > 0 && kill(-group, 0) == 0; }

// The pid of the screen server that answers on the socket: 0 when none does, -1 when one does but
// its pid is not known.
pid_t ScreenServer(const std::string& socketPath) {
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path) return 0;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    pid_t pid = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        ucred peer{};
        socklen_t size = sizeof peer;
        pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0 ? peer.pid : -1;
    }
    close(fd);
    return pid;
}

bool ScreenReady(const std::string& socketPath) { return ScreenServer(socketPath) != 0; }

// The program a process runs, also when its image was replaced meanwhile; "" when it cannot be known.
std::string ExePath(pid_t pid) {
    char exe[PATH_MAX];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string path(exe, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// What stands in the way of powering the device on: the screen server of the root, however it was
// started (-1 when its pid is not known), and every program running from the root.
std::vector<pid_t> InTheWay(const std::string& root, const std::string& socketPath) {
    std::vector<pid_t> found;
    pid_t screen = ScreenServer(socketPath);
    if (screen != 0) found.push_back(screen);
    const std::string below = root + "/";
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (const dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || pid > INT_MAX || *end || pid == getpid() || pid == screen) continue;
        if (ExePath(static_cast<pid_t>(pid)).compare(0, below.size(), below) == 0)
            found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

bool StopPending() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
           sigismember(&pending, SIGHUP) == 1;
}

// Passes the screen server's stderr on to ours and learns from its start-up line whether it shows a
// window or runs headless; only the server itself knows whether SDL could open the display.
class ScreenOutput {
public:
    enum Mode { Unknown, Window, Headless };

    ~ScreenOutput() { Finish(); }

    // The write end for the server, or -1.
    int Open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -1;
        m_read = fds[0];
        m_write = fds[1];
        m_thread = std::thread([this] { Pump(); });
        return m_write;
    }
    // Once the server holds the write end, ours goes, so its end is seen.
    void CloseWriteEnd() {
        if (m_write >= 0) close(m_write);
        m_write = -1;
    }
    Mode GetMode() const { return m_mode.load(); }
    // Takes what is left and ends the pump; it never waits on a writer that stays.
    void Finish() {
        CloseWriteEnd();
        m_done = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_read >= 0) close(m_read);
        m_read = -1;
    }

private:
    void Pump() {
        std::string line;
        char buf[4096];
        for (;;) {
            pollfd p{m_read, POLLIN, 0};
            int r = poll(&p, 1, 100);
            if (r < 0 && errno != EINTR) break;
            if (r <= 0) {
                if (m_done) break;
                continue;
            }
            ssize_t n = read(m_read, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                line.push_back(buf[i]);
                if (buf[i] == '\n' || line.size() >= 4096) {
                    Take(line);
                    line.clear();
                }
            }
        }
        if (!line.empty()) Take(line);
    }

    void Take(const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        if (m_mode.load() != Unknown) return;
        if (line.rfind("qrx-screen: headless ", 0) == 0)
            m_mode = Headless;
        else if (line.find(" screen in a window ") != std::string::npos)
            m_mode = Window;
    }

    int m_read = -1;
    int m_write = -1;
    std::atomic<bool> m_done{false};
    std::atomic<Mode> m_mode{Unknown};
    std::thread m_thread;
};

struct Programs {
    std::string root;
    std::string starter;
    std::string screen;   // empty: none built
    std::string mcu;      // empty: no simulated MCU
    std::string bt;       // empty: no simulated Bluetooth module
    std::string host;     // empty: no simulated host on the wired link
    std::string ctl;      // empty: not built
    bool stayOn = false;  // stays on when no program runs, as the device does, until it is turned off
};

class Runner {
public:
    explicit Runner(Programs p) : m_p(std::move(p)) {}

    int Run(const sigset_t& signals) {
        if (!DeviceFree()) return Finish(StopPending() ? 0 : 1);
        if (!Boots()) return kNoBootStatus;
        if (!m_p.screen.empty()) {
            Start s = StartScreen();
            if (s != Start::Up) return Finish(s == Start::Stopped ? 0 : 1);
        }
        if (!m_p.mcu.empty()) {
            Start s = StartPeer(m_p.mcu, kMcuPort, {std::begin(kMcuBattery), std::end(kMcuBattery)}, m_mcuPid,
                                "the simulated MCU");
            if (s != Start::Up) return Finish(s == Start::Stopped ? 0 : 1);
        }
        if (!m_p.bt.empty()) {
            Start s = StartPeer(m_p.bt, kBtPort, {std::begin(kBtModule), std::end(kBtModule)}, m_btPid,
                                "the simulated Bluetooth module");
            if (s != Start::Up) return Finish(s == Start::Stopped ? 0 : 1);
        }
        if (!m_p.host.empty()) {
            Start s = StartPeer(m_p.host, kHostPort, {}, m_hostPid, "the simulated host on COM5");
            if (s != Start::Up) return Finish(s == Start::Stopped ? 0 : 1);
        }
        ShowHowToUse();
        if (!Boot()) return Finish(1);
        for (;;) {
            siginfo_t info;
            timespec tick{0, 200 * 1000 * 1000};
            int sig = sigtimedwait(&signals, &info, &tick);
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
                std::fprintf(stderr, "qrx-run: stopping\n");
                return Finish(0);
            }
            bool reboot = Reap();
            if (m_screenLost) {
                // Closing the window turns the device off; a crashed screen ends the run with an error.
                std::fprintf(stderr, "qrx-run: the screen server ended; stopping the device\n");
                return Finish(m_screenStatus == 0 ? 0 : 1);
            }
            if (reboot) {
                std::fprintf(stderr, "qrx-run: reboot\n");
                StopDevice();
                if (!Boots()) return Finish(kNoBootStatus);
                if (!Boot()) return Finish(1);
                continue;
            }
            if (!DeviceAlive()) {
                if (!m_p.stayOn) {
                    std::fprintf(stderr, "qrx-run: no program runs any more\n");
                    return Finish(0);
                }
                if (!m_idleTold)
                    std::fprintf(stderr,
                                 "qrx-run: no program runs any more; the device stays on until it is turned off\n");
                m_idleTold = true;
            } else {
                m_idleTold = false;
            }
        }
    }

private:
    enum class Start { Up, Failed, Stopped };

    int Finish(int code) {
        StopAll();
        m_screenOut.Finish();
        return code;
    }

    // Waits, reaping, until up() holds; Stopped when a stop signal comes first.
    template <typename Up>
    Start WaitStarted(pid_t& pid, Up up) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
        while (std::chrono::steady_clock::now() < until) {
            if (up()) return Start::Up;
            if (StopPending()) return Start::Stopped;
            Reap();
            if (pid < 0) return Start::Failed;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return up() ? Start::Up : Start::Failed;
    }

    // What a device that was killed left running ends by its lifeline within the grace time; anything
    // still there after that is named, and the device stays off.
    bool DeviceFree() {
        std::string socketPath = qrx::PlatformStatePath("screen.sock");
        std::vector<pid_t> busy;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStopGraceSeconds + 2);
        while (!(busy = InTheWay(m_p.root, socketPath)).empty()) {
            if (StopPending()) return false;
            if (std::chrono::steady_clock::now() >= until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (busy.empty()) return true;
        std::string list, pids;
        for (pid_t pid : busy) {
            std::string exe = pid > 0 ? ExePath(pid) : "";
            std::string name = exe.empty() ? "(ended meanwhile)" : exe.substr(exe.rfind('/') + 1);
            list += list.empty() ? "" : ", ";
            list += pid > 0 ? std::to_string(pid) + " " + name : "a screen server";
            if (pid > 0) pids += " " + std::to_string(pid);
        }
        std::string hint = pids.empty() ? "" : " (kill" + pids + ")";
        std::fprintf(stderr, "qrx-run: the device root %s is in use by %s; end %s first%s\n", m_p.root.c_str(),
                     list.c_str(), busy.size() == 1 ? "it" : "them", hint.c_str());
        return false;
    }

    Start StartScreen() {
        std::string socketPath = qrx::PlatformStatePath("screen.sock");
        int errFd = m_screenOut.Open();
        m_screenPid = Spawn(m_p.screen, {}, errFd);
        m_screenOut.CloseWriteEnd();
        if (m_screenPid < 0) return Start::Failed;
        // The socket is up before the server knows whether it gets a window: wait for both.
        Start s = WaitStarted(
            m_screenPid, [&] { return ScreenReady(socketPath) && m_screenOut.GetMode() != ScreenOutput::Unknown; });
        if (s == Start::Failed && m_screenPid > 0 && ScreenReady(socketPath)) return Start::Up;
        if (s == Start::Failed) std::fprintf(stderr, "qrx-run: the screen server did not come up\n");
        return s;
    }

    // A simulated peer on its port, up once it has recorded its terminal in the port map.
    Start StartPeer(const std::string& program, int port, std::vector<std::string> options, pid_t& pid,
                    const char* what) {
        // The device's programs must find the simulator, not a port named in our environment.
        std::string variable = "QRX_COM" + std::to_string(port);
        if (const char* set = std::getenv(variable.c_str()); set && *set) {
            std::fprintf(stderr, "qrx-run: %s=%s is left out: %s has COM%d\n", variable.c_str(), set, what, port);
            unsetenv(variable.c_str());
        }
        // A stale entry of a simulator that was killed must not pass for the new one's.
        if (!qrx::SetPortMapping(port, "")) {
            std::fprintf(stderr, "qrx-run: cannot write the port map of %s\n", m_p.root.c_str());
            return Start::Failed;
        }
        std::vector<std::string> args{"--port", std::to_string(port)};
        args.insert(args.end(), options.begin(), options.end());
        pid = Spawn(program, args);
        if (pid < 0) return Start::Failed;
        char tty[PATH_MAX];
        Start s = WaitStarted(pid, [&] { return qrx::GetPortMapping(port, tty, sizeof tty); });
        if (s == Start::Failed) std::fprintf(stderr, "qrx-run: %s did not come up\n", what);
        return s;
    }

    void ShowHowToUse() {
        ScreenOutput::Mode mode = m_screenOut.GetMode();
        std::string ctl = m_p.ctl.empty() ? "qrx-ctl" : m_p.ctl;
        if (mode == ScreenOutput::Window) {
            std::printf(
                "qrx-run: the screen is in its window; the mouse is the pen. Ctrl-C or closing the window\n"
                "  turns the device off. %s drives it as well.\n",
                ctl.c_str());
        } else if (!m_p.screen.empty()) {
            const char* ctlCommands[][2] = {
                {"shot FILE.png", "the screen as a picture"},
                {"tap X Y", "a tap of the pen (X 0-799, Y 0-479)"},
                {"windows", "the windows of the programs"},
                {"key VK", "a key (virtual-key code)"},
                {"volume arrive|remove \"SD Card\"", "a card put in or taken out"},
            };
            std::printf("qrx-run: the screen is headless. See and use it with qrx-ctl%s:\n",
                        m_p.ctl.empty() ? " (not built)" : "");
            std::printf("  export QRX_DEVICE_ROOT=%s   (or run it from the tree root: it defaults to build/device)\n",
                        m_p.root.c_str());
            for (const auto& c : ctlCommands) std::printf("  %s %-32s %s\n", ctl.c_str(), c[0], c[1]);
            std::printf("  Ctrl-C turns the device off.\n");
        }
        std::fflush(stdout);
    }

    static bool Boots() {
        std::string why;
        if (qrx::CheckBootChain(why)) return true;
        std::fprintf(stderr, "qrx-run: the device does not boot: %s\n", why.c_str());
        return false;
    }

    bool Boot() {
        pid_t pid = Spawn(m_p.starter);
        if (pid < 0) return false;
        m_groups.push_back(pid);
        return true;
    }

    // Reaps every ended child (our own and the adopted ones); true when one asked for a reboot.
    bool Reap() {
        bool reboot = false;
        for (;;) {
            int status = 0;
            pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid <= 0) break;
            int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (pid == m_screenPid) {
                m_screenPid = -1;
                if (!m_stopping) {
                    m_screenLost = true;
                    m_screenStatus = code;
                }
                continue;
            }
            if (pid == m_mcuPid) {
                m_mcuPid = -1;
                if (!m_stopping) std::fprintf(stderr, "qrx-run: the simulated MCU ended (status %d)\n", code);
                continue;
            }
            if (pid == m_hostPid) {
                m_hostPid = -1;
                if (!m_stopping) std::fprintf(stderr, "qrx-run: the simulated host ended (status %d)\n", code);
                continue;
            }
            if (pid == m_btPid) {
                m_btPid = -1;
                if (!m_stopping)
                    std::fprintf(stderr, "qrx-run: the simulated Bluetooth module ended (status %d)\n", code);
                continue;
            }
            if (WIFEXITED(status) && WEXITSTATUS(status) == kRebootStatus) reboot = true;
        }
        return reboot;
    }

    bool DeviceAlive() {
        std::vector<pid_t> live;
        for (pid_t g : m_groups)
            if (GroupAlive(g)) live.push_back(g);
        m_groups.swap(live);
        return !m_groups.empty();
    }

    // Waits, reaping, until the test holds or the grace time is over.
    template <typename Done>
    bool ReapUntil(Done done) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStopGraceSeconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= until) return false;
            Reap();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    void SignalGroups(int sig) {
        for (pid_t g : m_groups) kill(-g, sig);
    }

    void StopDevice() {
        SignalGroups(SIGTERM);
        if (!ReapUntil([&] { return !DeviceAlive(); })) {
            SignalGroups(SIGKILL);
            ReapUntil([&] { return !DeviceAlive(); });
        }
        Reap();
    }

    // A helper of ours (screen server, simulated MCU); its group goes too when it does not end in time.
    void StopHelper(pid_t& pid) {
        if (pid <= 0) return;
        pid_t p = pid;
        kill(p, SIGTERM);
        if (!ReapUntil([&] { return pid < 0; })) {
            kill(-p, SIGKILL);
            kill(p, SIGKILL);
            ReapUntil([&] { return pid < 0; });
        }
    }

    void StopAll() {
        m_stopping = true;
        // The programs first, so none sees its MCU or its screen go while it still runs.
        StopDevice();
        StopHelper(m_mcuPid);
        StopHelper(m_btPid);
        StopHelper(m_hostPid);
        StopHelper(m_screenPid);
        // Anything adopted that left its group still is our child.
        for (;;) {
            int status;
            pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid > 0) continue;
            if (pid < 0) break;
            // Children remain that no group reached: end them by the list the kernel keeps.
            if (!KillRemainingChildren()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static bool KillRemainingChildren() {
        std::string list;
        std::string path = "/proc/self/task/" + std::to_string(getpid()) + "/children";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) list.append(buf, n);
            std::fclose(f);
        }
        bool any = false;
        char* end = nullptr;
        for (const char* p = list.c_str(); *p; p = end) {
            long pid = std::strtol(p, &end, 10);
            if (end == p) break;
            if (pid > 0 && pid <= INT_MAX) {
                kill(static_cast<pid_t>(pid), SIGKILL);
                any = true;
            }
        }
        return any;
    }

    Programs m_p;
    ScreenOutput m_screenOut;
    pid_t m_screenPid = -1;
    pid_t m_mcuPid = -1;
    pid_t m_btPid = -1;
    pid_t m_hostPid = -1;
    bool m_screenLost = false;
    int m_screenStatus = 0;
    bool m_stopping = false;
    bool m_idleTold = false;
    std::vector<pid_t> m_groups;  // one process group per boot
};

}  // namespace

int main(int argc, char** argv) {
    std::string root, build;
    bool mcu = false, bt = false, host = false, stayOn = false, bootCheck = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--root" || a == "--build") && i + 1 < argc && argv[i + 1][0] != '\0') {
            (a == "--root" ? root : build) = argv[++i];
        } else if (a == "--mcu") {
            mcu = true;
        } else if (a == "--bt") {
            bt = true;
        } else if (a == "--host") {
            host = true;
        } else if (a == "--stay-on") {
            stayOn = true;
        } else if (a == "--boot-check") {
            bootCheck = true;
        } else {
            Usage(argv[0]);
            return 2;
        }
    }
    if (root.empty()) {
        Usage(argv[0]);
        return 2;
    }
    char resolved[PATH_MAX];
    if (!realpath(root.c_str(), resolved)) {
        std::fprintf(stderr, "qrx-run: no device root %s\n", root.c_str());
        return 2;
    }
    root = resolved;
    if (build.empty()) build = OwnBuildFolder();
    // Paths that are printed for the user and handed to the helpers hold wherever they are used.
    if (!build.empty() && realpath(build.c_str(), resolved)) build = resolved;

    setenv("QRX_DEVICE_ROOT", root.c_str(), 1);
    qrx::ReloadHostConfig();
    if (!qrx::SeedFactoryFlash(false)) {
        std::fprintf(stderr, "qrx-run: cannot write the factory flash of %s\n", root.c_str());
        return 1;
    }
    if (bootCheck) {
        std::string why;
        if (qrx::CheckBootChain(why)) return 0;
        std::fprintf(stderr, "qrx-run: the device does not boot: %s\n", why.c_str());
        return kNoBootStatus;
    }
    Programs programs;
    programs.root = root;
    programs.stayOn = stayOn;
    if (!qrx::MapDevicePath(u"\\Windows\\Starter.exe", programs.starter) || !IsExecutable(programs.starter)) {
        std::fprintf(stderr, "qrx-run: no \\Windows\\Starter.exe in %s\n", root.c_str());
        return 2;
    }
    if (!build.empty() && IsExecutable(build + "/platform/screen/qrx-screen"))
        programs.screen = build + "/platform/screen/qrx-screen";
    else
        std::fprintf(stderr, "qrx-run: no screen server built; running without it\n");
    if (mcu) {
        if (build.empty() || !IsExecutable(build + "/sim/mcu/qrx-sim-mcu")) {
            std::fprintf(stderr, "qrx-run: --mcu: no qrx-sim-mcu in %s/sim/mcu\n",
                         build.empty() ? "the build folder" : build.c_str());
            return 2;
        }
        programs.mcu = build + "/sim/mcu/qrx-sim-mcu";
    }
    if (bt) {
        if (build.empty() || !IsExecutable(build + "/sim/bt/qrx-sim-bt")) {
            std::fprintf(stderr, "qrx-run: --bt: no qrx-sim-bt in %s/sim/bt\n",
                         build.empty() ? "the build folder" : build.c_str());
            return 2;
        }
        programs.bt = build + "/sim/bt/qrx-sim-bt";
    }
    if (host) {
        if (build.empty() || !IsExecutable(build + "/sim/host/qrx-sim-host")) {
            std::fprintf(stderr, "qrx-run: --host: no qrx-sim-host in %s/sim/host\n", build.empty() ? "(no build)" : build.c_str());
            return 2;
        }
        programs.host = build + "/sim/host/qrx-sim-host";
    }
    if (!build.empty() && IsExecutable(build + "/tools/ctl/qrx-ctl")) programs.ctl = build + "/tools/ctl/qrx-ctl";

    // The signals are taken synchronously, and orphans of the device become our children.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    // A reader of our output that went away must not end the runner before it has stopped the device.
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    g_lifeline = qrx::OpenLifeline();
    if (g_lifeline < 0) {
        std::fprintf(stderr, "qrx-run: cannot make the device's lifeline: %s\n", std::strerror(errno));
        return 1;
    }
    Runner runner(std::move(programs));
    return runner.Run(signals);
}
