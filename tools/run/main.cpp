// qrx-run: powers the device on in a device root. Starts the screen server when it is built, boots
// \Windows\Starter.exe, boots again when a program asks for a reboot, and on SIGINT/SIGTERM stops
// every process it started, including the programs those started in turn.
//
// The reboot control: a program asks for a reboot by ending with the exit code IOCTL_HAL_REBOOT
// (0x0101003C). The runner adopts every orphaned program of the device, so it sees the code of the
// program that asked even when that program was started by an ended Starter; the host keeps only
// its low byte (60).
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>

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
// Real seconds: the screen server's start-up and a process's grace time after SIGTERM.
constexpr int kScreenStartSeconds = 10;
constexpr int kStopGraceSeconds = 5;

void Usage(const char* self) {
    std::fprintf(stderr, "usage: %s --root DIR [--build BUILDDIR]\n", self);
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

// A process in a group of its own, so that it and everything it starts can be stopped together.
pid_t Spawn(const std::string& path) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::string arg0 = path;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "qrx-run: cannot start %s: %s\n", path.c_str(), std::strerror(rc));
        return -1;
    }
    return pid;
}

bool GroupAlive(pid_t group) { return group > 0 && kill(-group, 0) == 0; }

bool ScreenReady(const std::string& socketPath) {
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

class Runner {
public:
    Runner(std::string starter, std::string screen) : m_starter(std::move(starter)), m_screen(std::move(screen)) {}

    int Run(const sigset_t& signals) {
        if (!m_screen.empty() && !StartScreen(signals)) return 1;
        if (!Boot()) {
            StopAll();
            return 1;
        }
        for (;;) {
            siginfo_t info;
            timespec tick{0, 200 * 1000 * 1000};
            int sig = sigtimedwait(&signals, &info, &tick);
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
                std::fprintf(stderr, "qrx-run: stopping\n");
                StopAll();
                return 0;
            }
            bool reboot = Reap();
            if (reboot) {
                std::fprintf(stderr, "qrx-run: reboot\n");
                StopDevice();
                if (!Boot()) {
                    StopAll();
                    return 1;
                }
                continue;
            }
            if (!DeviceAlive()) {
                std::fprintf(stderr, "qrx-run: no program runs any more\n");
                StopAll();
                return 0;
            }
        }
    }

private:
    bool StartScreen(const sigset_t& signals) {
        std::string socketPath = qrx::PlatformStatePath("screen.sock");
        if (ScreenReady(socketPath)) {
            std::fprintf(stderr, "qrx-run: a screen server already runs on this device root\n");
            return false;
        }
        m_screenPid = Spawn(m_screen);
        if (m_screenPid < 0) return false;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kScreenStartSeconds);
        while (std::chrono::steady_clock::now() < until) {
            if (ScreenReady(socketPath)) return true;
            if (sigpending_stop(signals)) break;
            Reap();
            if (m_screenPid < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::fprintf(stderr, "qrx-run: the screen server did not come up\n");
        StopAll();
        return false;
    }

    static bool sigpending_stop(const sigset_t&) {
        sigset_t pending;
        sigemptyset(&pending);
        if (sigpending(&pending) != 0) return false;
        return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
               sigismember(&pending, SIGHUP) == 1;
    }

    bool Boot() {
        pid_t pid = Spawn(m_starter);
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
            if (pid == m_screenPid) {
                std::fprintf(stderr, "qrx-run: the screen server ended\n");
                m_screenPid = -1;
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

    void StopAll() {
        StopDevice();
        if (m_screenPid > 0) {
            pid_t screen = m_screenPid;
            kill(screen, SIGTERM);
            if (!ReapUntil([&] { return m_screenPid < 0; })) {
                kill(-screen, SIGKILL);
                kill(screen, SIGKILL);
                ReapUntil([&] { return m_screenPid < 0; });
            }
        }
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

    std::string m_starter;
    std::string m_screen;
    pid_t m_screenPid = -1;
    std::vector<pid_t> m_groups;  // one process group per boot
};

}  // namespace

int main(int argc, char** argv) {
    std::string root, build;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--root" || a == "--build") && i + 1 < argc) {
            (a == "--root" ? root : build) = argv[++i];
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

    setenv("QRX_DEVICE_ROOT", root.c_str(), 1);
    qrx::ReloadHostConfig();
    std::string starter;
    if (!qrx::MapDevicePath(u"\\Windows\\Starter.exe", starter) || !IsExecutable(starter)) {
        std::fprintf(stderr, "qrx-run: no \\Windows\\Starter.exe in %s\n", root.c_str());
        return 2;
    }
    std::string screen;
    if (!build.empty() && IsExecutable(build + "/platform/screen/qrx-screen"))
        screen = build + "/platform/screen/qrx-screen";
    else
        std::fprintf(stderr, "qrx-run: no screen server built; running without it\n");

    // The signals are taken synchronously, and orphans of the device become our children.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    Runner runner(starter, screen);
    return runner.Run(signals);
}
