// Helpers of the system tests: real programs in a temporary device root.
#pragma once
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <windows.h>

#include "Bounded.h"
#include "DeviceRoot.h"

extern char** environ;

namespace system_harness {

// Bounds are durations here, so that a count of seconds cannot pass for milliseconds; each is on the
// scale of QRX_TEST_TIMEOUT_SCALE (Bounded.h).
using Ms = std::chrono::milliseconds;
constexpr Ms kPatience{bounded::kDefaultMs};
// How long a program asked to end may take before it is killed.
constexpr Ms kStopping{20000};

inline Ms Bound(Ms base = kPatience) { return Ms(bounded::Scaled(static_cast<int>(base.count()))); }
// The same for the platform's waits.
inline DWORD BoundMs(Ms base = kPatience) { return static_cast<DWORD>(Bound(base).count()); }

template <class Cond>
bool WaitUntil(Cond cond, Ms base = kPatience) {
    return bounded::WaitUntil(cond, static_cast<int>(base.count()));
}

// Exit code of a spawned host process, or -1 when it did not end in time (it is killed then).
inline int WaitExit(pid_t pid, Ms base = kPatience) {
    const int status = bounded::WaitChild(pid, static_cast<int>(base.count()));
    if (status < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool HasLine(const std::string& path, const std::string& line) {
    std::istringstream in(Slurp(path));
    for (std::string l; std::getline(in, l);)
        if (l == line) return true;
    return false;
}

// Copies a built program into the device root, executable.
inline void Install(const TempDeviceRoot& root, const char* built, const std::string& relative) {
    std::filesystem::path target = root.Host(relative);
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(built, target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
}

// A device program started with CreateProcessW; ended and its handles closed when it goes out of scope.
class Program {
public:
    Program(const WCHAR* image, const std::u16string& commandLine) {
        std::u16string line = commandLine;
        m_started = CreateProcessW(image, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &m_pi);
    }
    ~Program() {
        if (!m_started) return;
        if (WaitForSingleObject(m_pi.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(m_pi.hProcess, 1);
            WaitForSingleObject(m_pi.hProcess, BoundMs(kStopping));
        }
        CloseHandle(m_pi.hThread);
        CloseHandle(m_pi.hProcess);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return m_started != FALSE; }
    pid_t Pid() const { return static_cast<pid_t>(m_pi.dwProcessId); }
    // The exit code, or -1 when it did not end within the bound.
    DWORD Wait() {
        DWORD code = static_cast<DWORD>(-1);
        if (WaitForSingleObject(m_pi.hProcess, BoundMs()) == WAIT_OBJECT_0) GetExitCodeProcess(m_pi.hProcess, &code);
        return code;
    }
    bool Running() {
        DWORD code = 0;
        return GetExitCodeProcess(m_pi.hProcess, &code) && code == STILL_ACTIVE;
    }
    void Kill() { TerminateProcess(m_pi.hProcess, 9); }

private:
    PROCESS_INFORMATION m_pi{};
    BOOL m_started = FALSE;
};

// ---- Host programs, screenshots and the main program's device ----------------------------------

// How SpawnHost starts a program.
enum SpawnFlags : unsigned {
    kSpawnAppend = 0,
    kSpawnTruncate = 1u << 0,  // the output files start empty instead of growing
    kSpawnOwnGroup = 1u << 1,  // a process group of its own, as a shell starts a foreground job
};

// A host program with the test's environment: `env` entries ("NAME=value") replace inherited ones
// and `unset` names are dropped; stdout and stderr go to the given files when named ("/dev/null"
// for none).
inline pid_t SpawnHost(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                       const std::vector<std::string>& unset = {}, const std::string& out = "",
                       const std::string& err = "", unsigned flags = kSpawnAppend) {
    auto named = [](const std::string& entry, const std::string& name) {
        return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=';
    };
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool drop = false;
        for (const auto& n : unset) drop = drop || named(entry, n);
        for (const auto& o : env) drop = drop || named(entry, o.substr(0, o.find('=')));
        if (!drop) envs.push_back(entry);
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int mode = O_WRONLY | O_CREAT | ((flags & kSpawnTruncate) ? O_TRUNC : O_APPEND);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), mode, 0644);
    if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), mode, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (flags & kSpawnOwnGroup) {
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Ends a spawned host program: SIGTERM, then SIGKILL when it does not end within the bound.
inline void StopHost(pid_t pid) {
    if (pid > 0 && kill(pid, SIGTERM) == 0) WaitExit(pid, kStopping);
}

// A connection to the control socket of the device root's screen server, -1 when none answers.
inline int ConnectScreen(const std::string& root) {
    const std::string path = root + "/.platform/screen.sock";
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The screen server of the device root answers on its socket.
inline bool ScreenUp(const std::string& root) {
    int fd = ConnectScreen(root);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

// Commands on one connection to the control socket, the way qrx-ctl sends one, without a program
// started for each: polls and taps in a row stay cheap on a busy machine, and taps sent together reach
// the programs together. True when every command answered "ok"; the lines before each "ok" go to `out`.
inline bool ScreenCommands(const std::string& root, const std::vector<std::string>& commands,
                           std::string* out = nullptr) {
    int fd = ConnectScreen(root);
    if (fd < 0) return false;
    std::string text;
    for (const std::string& c : commands) text += c + "\n";
    bool sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    size_t answered = 0;
    bool ok = sent;
    std::string buffer;
    // A `wait` command takes up to a bound of its own.
    const auto deadline = std::chrono::steady_clock::now() + Bound(2 * kPatience);
    char chunk[4096];
    while (ok && answered < commands.size() && std::chrono::steady_clock::now() < deadline &&
           buffer.size() < (1u << 24)) {
        size_t nl = buffer.find('\n');
        if (nl != std::string::npos) {
            std::string answer = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (answer == "ok") ++answered;
            else if (answer.rfind("error", 0) == 0) ok = false;
            else if (out) *out += answer + "\n";
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t k = recv(fd, chunk, sizeof chunk, 0);
        if (k <= 0) break;
        buffer.append(chunk, static_cast<size_t>(k));
    }
    close(fd);
    return ok && answered == commands.size();
}

inline bool ScreenCommand(const std::string& root, const std::string& command, std::string* out = nullptr) {
    return ScreenCommands(root, {command}, out);
}

// The bound of a `qrx-ctl wait`, in the seconds it takes (the tool allows up to an hour).
inline std::string WaitSeconds() {
    return std::to_string(std::min<long long>((Bound().count() + 999) / 1000, 3600));
}

// How one run of qrx-ctl ended: its exit code (-1 when it did not start or end) and what it printed.
struct CtlResult {
    int code = -1;
    std::string out, err;
};

// Runs qrx-ctl with `args`; `env` and `unset` as for SpawnHost. Its output passes through files of
// their own below `folder`, gone again afterwards.
inline CtlResult RunCtl(const std::vector<std::string>& args, const std::string& folder,
                        const std::vector<std::string>& env = {}, const std::vector<std::string>& unset = {}) {
    std::vector<std::string> argv{QRX_CTL};
    argv.insert(argv.end(), args.begin(), args.end());
    static std::atomic<unsigned> serial{0};
    const std::string base = folder + "/.ctl-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    CtlResult r;
    pid_t pid = SpawnHost(argv, env, unset, base + ".out", base + ".err", kSpawnTruncate);
    if (pid > 0) {
        r.code = WaitExit(pid);
        r.out = Slurp(base + ".out");
        r.err = Slurp(base + ".err");
    }
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

// Processor time a running process has used so far (user and system), in milliseconds; -1 when gone.
inline long long CpuMs(pid_t pid) {
    const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t at = stat.rfind(')');
    if (at == std::string::npos) return -1;
    std::istringstream fields(stat.substr(at + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stoll(field);
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

// Processes whose executable lies below the host folder (the programs of one device root, however
// they were started). Only ever finds what that root's tests started.
inline std::vector<pid_t> ProcessesBelow(const std::string& folder) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        std::string exe = std::filesystem::read_symlink(it->path() / "exe", linkError).string();
        if (!linkError && exe.compare(0, folder.size() + 1, folder + "/") == 0) found.push_back(std::stoi(name));
    }
    return found;
}

// An 8-bit RGB picture, row after row.
struct RgbPicture {
    unsigned width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* At(unsigned x, unsigned y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

inline bool ReadPngPicture(const std::string& path, RgbPicture& picture) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    picture.width = image.width;
    picture.height = image.height;
    picture.rgb.assign(PNG_IMAGE_SIZE(image), 0);
    return png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) != 0;
}

// Pixels of two same-sized pictures that differ by more than `tolerance` in a channel, outside the
// masked rectangles (left, top, right, bottom); every pixel when the sizes differ.
inline size_t DifferentPixels(const RgbPicture& a, const RgbPicture& b, int tolerance,
                              const std::vector<RECT>& masks = {}) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size())
        return static_cast<size_t>(a.width) * a.height + 1;
    size_t differ = 0;
    for (unsigned y = 0; y < a.height; ++y)
        for (unsigned x = 0; x < a.width; ++x) {
            bool masked = false;
            for (const RECT& m : masks)
                masked = masked || (static_cast<LONG>(x) >= m.left && static_cast<LONG>(x) < m.right &&
                                    static_cast<LONG>(y) >= m.top && static_cast<LONG>(y) < m.bottom);
            if (masked) continue;
            const uint8_t* p = a.At(x, y);
            const uint8_t* q = b.At(x, y);
            for (int c = 0; c < 3; ++c)
                if (std::abs(p[c] - q[c]) > tolerance) {
                    ++differ;
                    break;
                }
        }
    return differ;
}

// One line of `qrx-ctl windows`.
struct ScreenWindow {
    std::string className, title, program;
    int pid = 0;
    RECT rect{0, 0, 0, 0};  // left, top, right, bottom, as qrx-ctl prints them
    bool visible = false;
};

inline std::vector<ScreenWindow> ParseWindowList(const std::string& text) {
    std::vector<ScreenWindow> list;
    std::istringstream in(text);
    auto quoted = [](const std::string& line, const std::string& key) {
        size_t at = line.find(key + "=\"");
        if (at == std::string::npos) return std::string();
        at += key.size() + 2;
        size_t end = line.find('"', at);
        return end == std::string::npos ? std::string() : line.substr(at, end - at);
    };
    auto plain = [](const std::string& line, const std::string& key) {
        size_t at = line.find(" " + key + "=");
        if (at == std::string::npos) return std::string();
        at += key.size() + 2;
        return line.substr(at, line.find(' ', at) - at);
    };
    for (std::string line; std::getline(in, line);) {
        ScreenWindow w;
        w.className = quoted(line, "class");
        w.title = quoted(line, "title");
        w.program = plain(line, "program");
        w.pid = std::atoi(plain(line, "pid").c_str());
        std::string rect = plain(line, "rect");
        long x = 0, y = 0, cx = 0, cy = 0;
        if (std::sscanf(rect.c_str(), "%ld,%ld,%ld,%ld", &x, &y, &cx, &cy) == 4)
            w.rect = RECT{static_cast<LONG>(x), static_cast<LONG>(y), static_cast<LONG>(cx), static_cast<LONG>(cy)};
        w.visible = plain(line, "visible") == "1";
        if (!w.className.empty()) list.push_back(w);
    }
    return list;
}

// The main program QRX on a device of its own: a device root made by qrx-mkroot from the build, the
// screen server headless, optionally the simulated MCU on COM2 with its command log, and QRX itself.
// Every process is driven from outside (the control socket, qrx-ctl, stand-in programs), so a test
// process never joins the screen as a program. Everything started is ended when the object goes.
class QrxDevice {
public:
    struct Options {
        bool mcu = true;
        std::vector<std::string> mcuArgs;  // extra qrx-sim-mcu options ("--firmware", "241")
        int timeScale = 1;                 // QRX_TIME_SCALE of every program of the device
    };

    QrxDevice(const TempDeviceRoot& root, Options options) : m_root(root), m_options(std::move(options)) {}
    explicit QrxDevice(const TempDeviceRoot& root) : QrxDevice(root, Options()) {}
    ~QrxDevice() { Shutdown(); }
    QrxDevice(const QrxDevice&) = delete;
    QrxDevice& operator=(const QrxDevice&) = delete;

    const TempDeviceRoot& Root() const { return m_root; }
    std::string McuLogPath() const { return m_root.Host("mcu.log"); }

    // The environment every program of the device gets: its time scale, headless, no port override.
    std::vector<std::string> Env() const { return {"QRX_DEVICE_ROOT=" + m_root.Path(), "QRX_TIME_SCALE=" + std::to_string(m_options.timeScale)}; }
    static std::vector<std::string> Unset() {
        return {"DISPLAY", "WAYLAND_DISPLAY", "QRX_COM1", "QRX_COM2", "QRX_COM3", "QRX_COM4", "QRX_COM5", "QRX_COM6", "QRX_DEBUG"};
    }

    // Programs, archives, language files, fonts, registry and board pins from the build.
    bool MakeRoot(std::string& why) {
        pid_t pid = SpawnHost({QRX_MKROOT_EXE, "--root", m_root.Path(), "--build", QRX_BUILD_DIR}, Env(), Unset(),
                              m_root.Host("mkroot.out"), m_root.Host("mkroot.err"));
        if (pid <= 0 || WaitExit(pid) != 0) {
            why = "qrx-mkroot failed: " + Slurp(m_root.Host("mkroot.err"));
            return false;
        }
        return true;
    }

    bool StartScreen(std::string& why) {
        m_screen = SpawnHost({QRX_SCREEN_SERVER}, Env(), Unset(), m_root.Host("screen.out"), m_root.Host("screen.err"));
        if (m_screen <= 0 || !WaitUntil([&] { return Command("windows"); })) {
            why = "the screen server did not come up: " + Slurp(m_root.Host("screen.err"));
            return false;
        }
        return true;
    }

    // The simulated MCU on COM2; up once its pseudo-terminal is in the port map.
    bool StartMcu(std::string& why) {
        std::vector<std::string> args{QRX_SIM_MCU_EXE, "--log", McuLogPath()};
        args.insert(args.end(), m_options.mcuArgs.begin(), m_options.mcuArgs.end());
        m_mcu = SpawnHost(args, Env(), Unset(), m_root.Host("mcu.out"), m_root.Host("mcu.err"));
        auto up = [&] { return Slurp(m_root.Host("mcu.out")).find("COM2 -> ") != std::string::npos; };
        if (m_mcu <= 0 || !WaitUntil(up)) {
            why = "the simulated MCU did not come up: " + Slurp(m_root.Host("mcu.err"));
            return false;
        }
        return true;
    }

    // Starts Windows/QRX.exe of the root; its pid, -1 when it could not be started.
    pid_t SpawnQrx() {
        return SpawnHost({m_root.Host("Windows/QRX.exe")}, Env(), Unset(), m_root.Host("qrx.out"), m_root.Host("qrx.err"));
    }

    // The main window is up.
    bool StartQrx(std::string& why) {
        m_qrx = SpawnQrx();
        // Polled rather than `qrx-ctl wait`, whose bound is in device seconds of the scaled server.
        if (m_qrx <= 0 || !WaitForWindow("QRX_APPLICATION")) {
            why = "no QRX_APPLICATION window: " + Slurp(m_root.Host("qrx.err"));
            return false;
        }
        return true;
    }

    // Root, screen, the MCU when asked for, and QRX. `prepare` runs after the root is made and before
    // anything starts (settings, stand-ins).
    bool Start(std::string& why, const std::function<void()>& prepare = nullptr) {
        if (!MakeRoot(why)) return false;
        if (prepare) prepare();
        if (!StartScreen(why)) return false;
        if (m_options.mcu && !StartMcu(why)) return false;
        return StartQrx(why);
    }

    // Exit code of QRX once it ended by itself, -1 when it did not within the bound.
    int WaitQrxExit() {
        if (m_qrx <= 0) return -1;
        int status = 0;
        if (!WaitUntil([&] { return waitpid(m_qrx, &status, WNOHANG) == m_qrx; })) return -1;
        m_qrx = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool QrxRunning() { return m_qrx > 0 && waitpid(m_qrx, nullptr, WNOHANG) == 0; }
    pid_t QrxPid() const { return m_qrx; }

    CtlResult Ctl(const std::vector<std::string>& args) const {
        // The tool's own waits are in real seconds whatever the device's time scale.
        return RunCtl(args, m_root.Path(), {"QRX_DEVICE_ROOT=" + m_root.Path(), "QRX_TIME_SCALE=1"}, Unset());
    }
    // Screen commands straight on the control socket (tap, windows, shot).
    bool Command(const std::string& command, std::string* out = nullptr) const {
        return ScreenCommand(m_root.Path(), command, out);
    }

    // Every program of the screen has handled its input, drawn and run its due timers.
    bool Idle() const { return Command("idle " + std::to_string(BoundMs())); }
    bool Tap(int x, int y) const { return Taps({{x, y}}); }
    // Taps handed to the screen together, so the program gets them with no pause between.
    bool Taps(const std::vector<POINT>& points) const {
        std::vector<std::string> taps;
        for (const POINT& p : points) taps.push_back("tap " + std::to_string(p.x) + " " + std::to_string(p.y));
        return ScreenCommands(m_root.Path(), taps);
    }
    std::vector<ScreenWindow> Windows() const { return ParseWindowList(WindowText()); }
    std::string WindowText() const {
        std::string out;
        Command("windows", &out);
        return out;
    }
    bool WaitForWindow(const std::string& cls) const {
        return WaitUntil([&] {
            for (const ScreenWindow& w : Windows())
                if (w.visible && w.className == cls) return true;
            return false;
        });
    }
    // A visible top-level window of the class exactly at the rectangle (left, top, right, bottom).
    bool Shown(const std::string& cls, const RECT& r) const {
        for (const ScreenWindow& w : Windows())
            if (w.visible && w.className == cls && w.rect.left == r.left && w.rect.top == r.top &&
                w.rect.right == r.right && w.rect.bottom == r.bottom)
                return true;
        return false;
    }
    bool Shot(RgbPicture& picture, const std::string& file = "shot.png") const {
        const std::string path = m_root.Host(file);
        return Command("shot " + path) && ReadPngPicture(path, picture);
    }
    // A picture of the screen once it has settled: two in a row alike outside the masked rectangles
    // (golden pictures are made so).
    bool SettledShot(RgbPicture& picture, const std::string& file, const std::vector<RECT>& masks = {}) const {
        RgbPicture before;
        return WaitUntil([&] {
            return Shot(before, "before-" + file) && Shot(picture, file) &&
                   DifferentPixels(before, picture, 0, masks) == 0;
        });
    }

    // Ends QRX, the programs it started, the MCU and the screen server, in that order.
    void Shutdown() {
        if (m_qrx > 0) StopHost(m_qrx);
        m_qrx = -1;
        for (int round = 0; round < 3; ++round)
            for (pid_t p : ProcessesBelow(m_root.Path())) kill(p, round == 0 ? SIGTERM : SIGKILL);
        WaitUntil([&] { return ProcessesBelow(m_root.Path()).empty(); }, kStopping);
        if (m_mcu > 0) StopHost(m_mcu);
        m_mcu = -1;
        if (m_screen > 0) StopHost(m_screen);
        m_screen = -1;
    }

private:
    const TempDeviceRoot& m_root;
    Options m_options;
    pid_t m_screen = -1, m_mcu = -1, m_qrx = -1;
};

}  // namespace system_harness
