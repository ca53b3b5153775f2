// The shared screen: composing three windows of two programs, a tap travelling from the control
// socket through the screen server into another program's window procedure, and a second of a
// screen where nothing changes. The two programs are this benchmark program started again in a
// peer role.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "qrx/host.h"

extern char** environ;

// Host-side entry points of the screen server inside the platform library.
namespace qrx::win::remote {
bool StartScreenServer(std::string* error);
bool ComposeSharedScreen(std::vector<uint32_t>& pixels);
void RunComposer(const std::function<void(const std::vector<uint32_t>&)>& present);
unsigned long long ComposeCount();
bool WaitComposed(DWORD deviceMs);
}  // namespace qrx::win::remote

namespace {

int g_tapPipe = -1;

struct PeerWindow {
    COLORREF color;
};

LRESULT CALLBACK PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        EndPaint(hwnd, &ps);
        return 0;
    }
    if (msg == WM_LBUTTONDOWN) {
        char b = 1;
        if (write(g_tapPipe, &b, 1) != 1) _exit(3);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Peer role: QRX_BENCH_PEER="name x y w h bbggrr;..." makes one window per entry.
int RunPeer(const char* plan) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) return 0;
    const char* pipe = getenv("QRX_BENCH_PIPE");
    g_tapPipe = pipe ? atoi(pipe) : -1;
    std::string all = plan;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        char name[32] = {};
        int x, y, w, h;
        unsigned color;
        if (sscanf(all.substr(start, end - start).c_str(), "%31s %d %d %d %d %x", name, &x, &y, &w, &h, &color) != 6)
            return 2;
        std::u16string cls;
        for (const char* c = name; *c; ++c) cls.push_back(static_cast<char16_t>(*c));
        WNDCLASSW wc{};
        wc.lpfnWndProc = PeerProc;
        wc.lpszClassName = cls.c_str();
        RegisterClassW(&wc);
        HWND hwnd = CreateWindowExW(0, cls.c_str(), cls.c_str(), WS_POPUP, x, y, w, h, nullptr, nullptr, nullptr, nullptr);
        if (!hwnd) return 4;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(color));
        ShowWindow(hwnd, SW_SHOW);
        UpdateWindow(hwnd);
        start = end + 1;
    }
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return 0;
}

struct PeerRole {
    PeerRole() {
        if (const char* plan = getenv("QRX_BENCH_PEER")) _exit(RunPeer(plan));
    }
} g_peerRole;

int ControlSocket() {
    std::string path = qrx::PlatformStatePath("screen.sock");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Sends one command and reads its answer line; false on anything but "ok".
bool Command(int fd, const std::string& command) {
    std::string line = command + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return false;
    std::string answer;
    char c;
    while (answer.size() < 256) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0 || recv(fd, &c, 1, 0) != 1) return false;
        if (c == '\n') return answer == "ok";
        answer.push_back(c);
    }
    return false;
}

class SharedScreen {
public:
    static SharedScreen& Get() {
        static SharedScreen screen;
        return screen;
    }
    bool Ready() const { return m_ready; }
    const std::string& Error() const { return m_error; }
    int Control() const { return m_control; }
    int TapPipe() const { return m_pipe[0]; }
    const std::vector<pid_t>& Peers() const { return m_peers; }

private:
    SharedScreen() {
        char pattern[] = "/tmp/qrx-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            Fail("no temporary folder");
            return;
        }
        m_root = pattern;
        setenv("QRX_DEVICE_ROOT", m_root.c_str(), 1);
        qrx::ReloadHostConfig();
        if (!qrx::win::remote::StartScreenServer(&m_error)) return;
        if (pipe(m_pipe) != 0) {
            Fail("no pipe");
            return;
        }
        Spawn("BenchA0 0 0 500 300 ff0000;BenchA1 100 200 500 280 00ff00");
        Spawn("BenchB0 300 50 500 400 0000ff");
        m_control = ControlSocket();
        if (m_control < 0) {
            Fail("no control socket");
            return;
        }
        for (const char* cls : {"BenchA0", "BenchA1", "BenchB0"}) {
            if (!Command(m_control, std::string("wait ") + cls + " 30")) {
                Fail(std::string("no window ") + cls);
                return;
            }
        }
        m_ready = true;
    }
    ~SharedScreen() {
        for (pid_t p : m_peers) {
            kill(p, SIGTERM);
            waitpid(p, nullptr, 0);
        }
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    void Fail(const std::string& why) { m_error = why; }
    void Spawn(const std::string& plan) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("QRX_BENCH_PEER=" + plan);
        env.push_back("QRX_BENCH_PIPE=" + std::to_string(m_pipe[1]));
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        pid_t pid;
        if (posix_spawn(&pid, self, nullptr, nullptr, argv, envp.data()) == 0) m_peers.push_back(pid);
    }

    std::string m_root;
    std::string m_error;
    int m_pipe[2] = {-1, -1};
    int m_control = -1;
    std::vector<pid_t> m_peers;
    bool m_ready = false;
};

void BM_ScreenCompose(benchmark::State& state) {
    auto& screen = SharedScreen::Get();
    if (!screen.Ready()) {
        state.SkipWithError(screen.Error().c_str());
        return;
    }
    std::vector<uint32_t> pixels;
    for (auto _ : state) {
        qrx::win::remote::ComposeSharedScreen(pixels);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_ScreenCompose)->Unit(benchmark::kMicrosecond);

void BM_TapToWindowProc(benchmark::State& state) {
    auto& screen = SharedScreen::Get();
    if (!screen.Ready()) {
        state.SkipWithError(screen.Error().c_str());
        return;
    }
    for (auto _ : state) {
        // A point only the second program's window covers.
        if (!Command(screen.Control(), "tap 750 100")) {
            state.SkipWithError("tap refused");
            return;
        }
        pollfd p{screen.TapPipe(), POLLIN, 0};
        char b;
        if (poll(&p, 1, 10000) <= 0 || read(screen.TapPipe(), &b, 1) != 1) {
            state.SkipWithError("the window procedure never saw the tap");
            return;
        }
    }
}
BENCHMARK(BM_TapToWindowProc)->Unit(benchmark::kMicrosecond);

// CPU time in ms of a process's threads by the kernel's run times; this process without the
// measuring thread, so that only the server's threads count.
double CpuMs(pid_t pid) {
    std::string self = std::to_string(gettid());
    double ns = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        if (pid == getpid() && task.path().filename() == self) continue;
        std::ifstream in(task.path() / "schedstat");
        double run = 0;
        if (in >> run) ns += run;
    }
    return ns / 1e6;
}

double DeviceCpuMs(const std::vector<pid_t>& peers) {
    double ms = CpuMs(getpid());
    for (pid_t p : peers) ms += CpuMs(p);
    return ms;
}

// The server with a display to feed (the picture goes nowhere) and the programs' windows up, while
// nothing changes: no picture should be made, and the server and the programs should sleep.
void BM_ScreenIdle(benchmark::State& state) {
    auto& screen = SharedScreen::Get();
    if (!screen.Ready()) {
        state.SkipWithError(screen.Error().c_str());
        return;
    }
    static bool composing = [] {
        std::thread([] { qrx::win::remote::RunComposer(nullptr); }).detach();
        return true;
    }();
    (void)composing;
    if (!Command(screen.Control(), "idle 30000") || !qrx::win::remote::WaitComposed(30000)) {
        state.SkipWithError("the screen did not settle");
        return;
    }
    unsigned long long composes = 0;
    double cpu = 0;
    for (auto _ : state) {
        unsigned long long before = qrx::win::remote::ComposeCount();
        double cpuBefore = DeviceCpuMs(screen.Peers());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        composes = qrx::win::remote::ComposeCount() - before;
        cpu = DeviceCpuMs(screen.Peers()) - cpuBefore;
    }
    state.counters["composes"] = static_cast<double>(composes);
    state.counters["cpu_ms"] = cpu;
}
BENCHMARK(BM_ScreenIdle)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
