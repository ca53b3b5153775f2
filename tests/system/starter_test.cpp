// The boot launcher and the device runner with real programs in a temporary device root. Built a
// second time with QRX_STANDIN as the stand-in program that takes the place of QRX, Tether, Reflash
// and the desktop: it records how it was started and does what its device root tells it.
#ifdef QRX_STANDIN

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Bounded.h"
#include "qrx/host.h"

namespace {

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

void Record(const std::string& line) {
    std::string path = qrx::DeviceRoot() + "/standin.log";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

bool Exists(const std::string& name) { return access((qrx::DeviceRoot() + "/" + name).c_str(), F_OK) == 0; }

// When the kernel made this process, in microseconds since boot: the order in which programs were
// started, however long each then takes to get going.
long long StartMicros() {
    std::ifstream in("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return -1;
    std::istringstream fields(stat.substr(at + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) return std::stoll(field) * 1000000 / sysconf(_SC_CLK_TCK);
    return -1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    // Ending after its starter ended must not cost the exit code (the platform reports it on a pipe).
    signal(SIGPIPE, SIG_IGN);
    const long long micros = StartMicros();
    WCHAR module[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    Record(Narrow(module) + "|" + Narrow(lpCmdLine) + "|" + std::to_string(micros) + "|" +
           std::to_string(getpid()));
    if (std::u16string(lpCmdLine) == u"close") {
        // The loading screen's window may not be up yet.
        HWND wnd = nullptr;
        if (!bounded::WaitUntil([&] { return (wnd = FindWindowW(u"SPLASH_APP", nullptr)) != nullptr; })) {
            Record("not found");
            return 1;
        }
        PostMessageW(wnd, WM_CLOSE, 0, 0);
        Record("posted");
        return 0;
    }
    // As the main program does first, it opens its MCU port.
    if (Exists("standin.com2")) {
        HANDLE port = CreateFileW(u"COM2:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        Record(port != INVALID_HANDLE_VALUE ? "COM2 opened" : "COM2 failed");
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    if (unlink((qrx::DeviceRoot() + "/standin.reboot").c_str()) == 0) return static_cast<int>(0x0101003Cu);
    // Stays until it is stopped, for as long as a test waits at most.
    if (Exists("standin.stay")) std::this_thread::sleep_for(std::chrono::milliseconds(bounded::Scaled(2 * bounded::kDefaultMs)));
    return 0;
}

#else

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceRoot.h"
#include "SystemHarness.h"
#include "qrx/host.h"

using namespace system_harness;

namespace {

namespace fs = std::filesystem;

struct Launch {
    std::string module;
    std::string commandLine;
    long long micros = 0;  // when the process was made, since boot
    pid_t pid = 0;
};

std::vector<Launch> Launches(const TempDeviceRoot& root) {
    std::vector<Launch> out;
    std::istringstream in(root.ReadFile("standin.log"));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string part; std::getline(s, part, '|');) f.push_back(part);
        if (f.size() != 4) continue;
        out.push_back({f[0], f[1], std::stoll(f[2]), static_cast<pid_t>(std::stol(f[3]))});
    }
    // In the order they were started, not the order they got round to recording it.
    std::stable_sort(out.begin(), out.end(), [](const Launch& a, const Launch& b) { return a.micros < b.micros; });
    return out;
}

// Runs a device program to its end; its exit code, or -1 when it did not end in time.
DWORD RunToEnd(const WCHAR* image, const WCHAR* commandLine, const char* timeScale, DWORD* pid = nullptr) {
    if (timeScale) setenv("QRX_TIME_SCALE", timeScale, 1);
    std::u16string line = commandLine ? commandLine : u"";
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessW(image, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi);
    unsetenv("QRX_TIME_SCALE");
    if (!ok) return static_cast<DWORD>(-2);
    if (pid) *pid = pi.dwProcessId;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, BoundMs()) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// Microseconds since boot, the clock of the launches' start times.
long long BootMicros() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Boots the launcher in a fresh root prepared by `prepare`; the programs it started, in the order they
// were started. `started` receives the time just before the launcher was started.
std::vector<Launch> Boot(const std::function<void(TempDeviceRoot&)>& prepare, const char* timeScale = "50",
                         long long* started = nullptr) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    prepare(root);
    if (started) *started = BootMicros();
    EXPECT_EQ(RunToEnd(u"\\Windows\\Starter.exe", nullptr, timeScale), 0u);
    // Starter does not wait for what it starts: the chosen program, and Tether when it is there.
    const bool tether = fs::exists(root.Host("Windows/Tether.exe"));
    std::vector<Launch> seen;
    WaitUntil([&] {
        seen = Launches(root);
        bool chosen = false, tetherSeen = false;
        for (const Launch& l : seen) (l.module == "\\Windows\\Tether.exe" ? tetherSeen : chosen) = true;
        return chosen && (tetherSeen || !tether);
    });
    return seen;
}

std::string Chosen(const std::vector<Launch>& launches) {
    std::string out;
    for (const auto& l : launches)
        if (l.module != "\\Windows\\Tether.exe") out += (out.empty() ? "" : ",") + l.module;
    return out;
}

bool ProcessGone(pid_t pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

TEST(StarterTest, ChoiceTableAndTetherFirst) {
    auto withPrograms = [](TempDeviceRoot& r) {
        Install(r, QRX_STANDIN_EXE, "Windows/explorer.exe");
        Install(r, QRX_STANDIN_EXE, "Windows/Reflash.exe");
        Install(r, QRX_STANDIN_EXE, "Windows/QRX.exe");
    };
    // No marker and no main program: the desktop.
    EXPECT_EQ(Chosen(Boot([](TempDeviceRoot& r) { Install(r, QRX_STANDIN_EXE, "Windows/explorer.exe"); })),
              "\\Windows\\explorer.exe");
    // Both markers: the desktop wins over the upgrader and the main program.
    EXPECT_EQ(Chosen(Boot([&](TempDeviceRoot& r) {
                  withPrograms(r);
                  r.WriteFile("SD Card/sos1.dat", "");
                  r.WriteFile("Hard Disk/sos2.dat", "");
              })),
              "\\Windows\\explorer.exe");
    EXPECT_EQ(Chosen(Boot([&](TempDeviceRoot& r) {
                  withPrograms(r);
                  r.WriteFile("Hard Disk/sos1.dat", "x");
              })),
              "\\Windows\\explorer.exe");
    EXPECT_EQ(Chosen(Boot([&](TempDeviceRoot& r) {
                  withPrograms(r);
                  r.WriteFile("Hard Disk/sos2.dat", "");
              })),
              "\\Windows\\Reflash.exe");
    // The updated main program on the flash store comes before the system folder's. At 5 times the
    // speed the pause is 400 ms.
    long long started = 0;
    std::vector<Launch> flash = Boot(
        [&](TempDeviceRoot& r) {
            withPrograms(r);
            Install(r, QRX_STANDIN_EXE, "NAND Flash/QRX.exe");
            Install(r, QRX_STANDIN_EXE, "Windows/Tether.exe");
        },
        "5", &started);
    EXPECT_EQ(Chosen(flash), "\\NAND Flash\\QRX.exe");
    EXPECT_EQ(Chosen(Boot(withPrograms)), "\\Windows\\QRX.exe");

    // Tether first, then the two-second pause, then the program, without arguments. The program cannot
    // have started before the pause after Tether ended (start times are whole clock ticks).
    ASSERT_EQ(flash.size(), 2u);
    EXPECT_EQ(flash[0].module, "\\Windows\\Tether.exe");
    EXPECT_GE(flash[0].micros, started - 1000000 / sysconf(_SC_CLK_TCK));
    EXPECT_GE(flash[1].micros - flash[0].micros, 2000 * 1000 / 5 * 95 / 100);
    EXPECT_EQ(flash[0].commandLine, "");
    EXPECT_EQ(flash[1].commandLine, "");
}

TEST(StarterTest, ProgramThatDoesNotStartHandsOverToTheNext) {
    // A half-written update: the flash copy is no program, so the system folder's runs.
    EXPECT_EQ(Chosen(Boot([](TempDeviceRoot& r) {
                  Install(r, QRX_STANDIN_EXE, "Windows/explorer.exe");
                  Install(r, QRX_STANDIN_EXE, "Windows/QRX.exe");
                  r.WriteFile("NAND Flash/QRX.exe", std::string("\x7f" "EL", 3));
              })),
              "\\Windows\\QRX.exe");
    // Nothing of the main program starts: the desktop.
    EXPECT_EQ(Chosen(Boot([](TempDeviceRoot& r) {
                  Install(r, QRX_STANDIN_EXE, "Windows/explorer.exe");
                  r.WriteFile("NAND Flash/QRX.exe", "garbage");
                  r.WriteFile("Windows/QRX.exe", "");
              })),
              "\\Windows\\explorer.exe");
    // An upgrade that was cut: its package on the card finishes it; without the package (card taken
    // out) the system folder's program runs, not the half-replaced one on the flash.
    auto cut = [](TempDeviceRoot& r) {
        Install(r, QRX_STANDIN_EXE, "Windows/explorer.exe");
        Install(r, QRX_STANDIN_EXE, "Windows/Reflash.exe");
        Install(r, QRX_STANDIN_EXE, "Windows/QRX.exe");
        Install(r, QRX_STANDIN_EXE, "NAND Flash/QRX.exe");
        r.WriteFile("NAND Flash/app_upgrade.dat", "2026-1-1;0-0-0\n");
    };
    EXPECT_EQ(Chosen(Boot([&](TempDeviceRoot& r) {
                  cut(r);
                  r.WriteFile("Hard Disk/QRX3FWDATA.FWD", "package");
              })),
              "\\Windows\\Reflash.exe");
    EXPECT_EQ(Chosen(Boot(cut)), "\\Windows\\QRX.exe");
    // A forced upgrader that is missing falls back to the main program.
    EXPECT_EQ(Chosen(Boot([](TempDeviceRoot& r) {
                  Install(r, QRX_STANDIN_EXE, "Windows/explorer.exe");
                  Install(r, QRX_STANDIN_EXE, "Windows/QRX.exe");
                  r.WriteFile("SD Card/sos2.dat", "");
              })),
              "\\Windows\\QRX.exe");
}

TEST(StarterTest, SingleInstanceAndNoStaleMarker) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/explorer.exe");
    const std::string debugLog = root.Host(".platform/debug.log");
    auto created = [&] {
        std::string log = root.ReadFile(".platform/debug.log");
        size_t n = 0;
        for (size_t at = log.find("Successfully Starter"); at != std::string::npos;
             at = log.find("Successfully Starter", at + 1))
            ++n;
        return n;
    };

    // A launcher held in its two-second pause (stopped there, however slow the machine, and checked
    // not to have gone past it) while the others are tried.
    std::u16string empty;
    auto startPaused = [&](PROCESS_INFORMATION& pi, size_t launches) {
        ASSERT_TRUE(CreateProcessW(u"\\Windows\\Starter.exe", empty.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, nullptr, &pi));
        ASSERT_TRUE(WaitUntil([&] { return created() == launches; }));
        ASSERT_EQ(kill(static_cast<pid_t>(pi.dwProcessId), SIGSTOP), 0);
        ASSERT_EQ(Launches(root).size(), launches - 1) << "the launcher went past its pause before it was held";
    };
    PROCESS_INFORMATION first{};
    ASSERT_NO_FATAL_FAILURE(startPaused(first, 1));
    EXPECT_EQ(RunToEnd(u"\\Windows\\Starter.exe", nullptr, nullptr), static_cast<DWORD>(-1));
    EXPECT_EQ(created(), 1u);
    kill(static_cast<pid_t>(first.dwProcessId), SIGCONT);
    ASSERT_EQ(WaitForSingleObject(first.hProcess, BoundMs()), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(first.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(first.hThread);
    CloseHandle(first.hProcess);
    ASSERT_TRUE(WaitUntil([&] { return Launches(root).size() == 1; }));

    // Killed in its pause, it leaves no marker behind: the next boot runs.
    PROCESS_INFORMATION killed{};
    ASSERT_NO_FATAL_FAILURE(startPaused(killed, 2));
    EXPECT_TRUE(TerminateProcess(killed.hProcess, 9));
    ASSERT_EQ(WaitForSingleObject(killed.hProcess, BoundMs()), WAIT_OBJECT_0);
    CloseHandle(killed.hThread);
    CloseHandle(killed.hProcess);
    EXPECT_EQ(RunToEnd(u"\\Windows\\Starter.exe", nullptr, "50"), 0u);
    EXPECT_TRUE(WaitUntil([&] { return Launches(root).size() == 2; }));
    EXPECT_EQ(created(), 3u);
}

// The runner at 50 times the speed; its stderr goes to the log file.
pid_t StartRunner(const TempDeviceRoot& root, const std::string& logFile) {
    return SpawnHost({QRX_RUN_EXE, "--root", root.Path(), "--build", QRX_BUILD_DIR}, {"QRX_TIME_SCALE=50"}, {}, "",
                     logFile, kSpawnTruncate);
}

TEST(RunnerTest, RebootsOnRequestAndStopsEverything) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/QRX.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/explorer.exe");
    root.WriteFile("standin.reboot", "");
    root.WriteFile("standin.stay", "");
    pid_t runner = StartRunner(root, root.Host("run.log"));
    ASSERT_GT(runner, 0);

    // The first boot's program asks for a reboot; the second boot's stays.
    ASSERT_TRUE(WaitUntil([&] { return Launches(root).size() == 2; })) << root.ReadFile("run.log");
    std::vector<Launch> boots = Launches(root);
    EXPECT_EQ(boots[0].module, "\\Windows\\QRX.exe");
    EXPECT_EQ(boots[1].module, "\\Windows\\QRX.exe");
    EXPECT_TRUE(ScreenUp(root.Path()));

    kill(runner, SIGTERM);
    EXPECT_EQ(WaitExit(runner), 0);
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(boots[1].pid); }));
    EXPECT_FALSE(ScreenUp(root.Path()));
    EXPECT_EQ(Launches(root).size(), 2u);
}

TEST(RunnerTest, EndsWhenNothingRunsAndRefusesBadRoots) {
    TempDeviceRoot root;
    Install(root, QRX_STARTER_EXE, "Windows/Starter.exe");
    Install(root, QRX_STANDIN_EXE, "Windows/explorer.exe");
    pid_t runner = StartRunner(root, root.Host("run.log"));
    ASSERT_GT(runner, 0);
    EXPECT_EQ(WaitExit(runner), 0) << root.ReadFile("run.log");
    EXPECT_EQ(Launches(root).size(), 1u);
    EXPECT_FALSE(ScreenUp(root.Path()));

    // Without a launcher there is nothing to boot.
    TempDeviceRoot empty;
    pid_t refused = StartRunner(empty, empty.Host("run.log"));
    ASSERT_GT(refused, 0);
    EXPECT_EQ(WaitExit(refused), 2);
}

}  // namespace

#endif
