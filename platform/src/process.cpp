// Processes over posix_spawn. Each child has a watcher thread that reaps it the moment it ends, so
// no child stays a zombie whether or not anyone waits, and marks its kernel object signalled.
// The host cuts exit codes to 8 bits; a child of the device reports its full code through a pipe
// the parent hands it (QRX_EXIT_FD), and the parent trusts it only when its low byte matches.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/processapi.h"
#include "qrx/synchapi.h"
#include "qrx/wstr.h"

extern char** environ;

namespace qrx {
namespace {

const HANDLE kCurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-3));
constexpr const char* kExitFdVariable = "QRX_EXIT_FD";
constexpr int kChildExitFd = 3;
static_assert(kLifelineFd == kChildExitFd + 1, "a child's descriptors from kChildExitFd on are the platform's");
// The platform's own limit of a command line.
constexpr size_t kMaxCommandLine = 32767;

// ---- the exit-code pipe of this program, when its parent gave one ----------------------------

std::atomic<int> g_exitFd{-1};

struct ExitPipeSetup {
    ExitPipeSetup() {
        const char* value = std::getenv(kExitFdVariable);
        if (!value) return;
        char* end = nullptr;
        long fd = std::strtol(value, &end, 10);
        // Not for our own children: they get a pipe of their own.
        unsetenv(kExitFdVariable);
        if (!end || *end || fd < 0 || fd > 1024) return;
        struct stat st;
        if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
        fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        g_exitFd.store(static_cast<int>(fd));
    }
};
ExitPipeSetup g_exitPipeSetup;

// ---- command-line text ---------------------------------------------------------------------------

// UTF-16 to UTF-8 that keeps unpaired surrogates as three-byte sequences, so that any command line
// the caller can write arrives unchanged.
std::string EncodeArgument(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    auto put3 = [&](char32_t c) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            put3(c);
        }
    }
    return out;
}

// The reverse, for arguments from anywhere: bytes that form no sequence become U+FFFD.
std::u16string DecodeArgument(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    auto b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char lead = b[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? (lead <= 0xEF ? 3 : 0) : lead >= 0xC2 ? 2 : 0;
        char32_t c = length == 4 ? lead & 0x07 : length == 3 ? lead & 0x0F : lead & 0x1F;
        bool ok = length != 0 && i + length <= n;
        for (size_t k = 1; ok && k < length; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) ok = false;
            else c = (c << 6) | (b[i + k] & 0x3F);
        }
        // Overlong forms and values beyond the code space are no sequence.
        if (ok && ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)))) ok = false;
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Splits "image rest" (the image quoted or not) into the image and the command line.
void SplitCommandLine(std::u16string_view line, std::u16string& image, std::u16string& rest) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t start, end;
    if (i < line.size() && line[i] == u'"') {
        start = ++i;
        while (i < line.size() && line[i] != u'"') ++i;
        end = i;
        if (i < line.size()) ++i;
    } else {
        start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        end = i;
    }
    image.assign(line.substr(start, end - start));
    while (i < line.size() && IsBlank(line[i])) ++i;
    rest.assign(line.substr(i));
}

// A bare program name is one of \Windows.
std::u16string ImagePath(std::u16string name, bool assumeExe) {
    bool hasFolder = false;
    for (char16_t c : name) hasFolder = hasFolder || IsSeparator(c);
    size_t nameStart = 0;
    for (size_t i = 0; i < name.size(); ++i)
        if (IsSeparator(name[i])) nameStart = i + 1;
    if (assumeExe && name.find(u'.', nameStart) == std::u16string::npos) name += u".exe";
    return hasFolder ? name : u"\\Windows\\" + name;
}

// 0 when the image can be started, else the platform's error.
DWORD CheckImage(const std::u16string& devicePath, std::string& host) {
    bool parentMissing = false, reserved = false;
    if (DWORD error = MapFilePath(devicePath, host, parentMissing, reserved)) return error;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return parentMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        return FileErrorFromErrno(errno);
    }
    if (!S_ISREG(st.st_mode) || access(host.c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ERROR_ACCESS_DENIED;
    unsigned char magic[4] = {};
    ssize_t got;
    do got = read(fd, magic, sizeof magic);
    while (got < 0 && errno == EINTR);
    close(fd);
    bool elf = got == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
    bool script = got >= 2 && magic[0] == '#' && magic[1] == '!';
    return elf || script ? 0 : ERROR_BAD_EXE_FORMAT;
}

DWORD SpawnError(int e) {
    switch (e) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOEXEC:
        case ELIBBAD:
            return ERROR_BAD_EXE_FORMAT;
        case ENOMEM:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        case E2BIG:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// ---- process objects -----------------------------------------------------------------------------

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

class ProcessObject : public KernelObject {
public:
    enum class Kind { Child, Other, Self };
    ProcessObject(pid_t pid, Kind kind) : pid(pid), kind(kind) {}
    ~ProcessObject() override {
        if (pidfd >= 0) close(pidfd);
        if (cancelFd >= 0) close(cancelFd);
    }
    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD) const override { return ended; }
    void LastHandleClosed() override {
        // A child is reaped regardless; the watcher of any other process is no longer needed.
        if (kind == Kind::Other && cancelFd >= 0) {
            uint64_t one = 1;
            ssize_t n = write(cancelFd, &one, sizeof one);
            (void)n;
        }
    }

    const pid_t pid;
    const Kind kind;
    int pidfd = -1;     // processes that are not our children
    int cancelFd = -1;  // wakes their watcher

    // Guarded by KernelLock().
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;
    DWORD terminateCode = 0;
};

// The primary thread of a child: it ends with the process.
class PrimaryThreadObject : public KernelObject {
public:
    explicit PrimaryThreadObject(std::shared_ptr<ProcessObject> process) : process(std::move(process)) {}
    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD threadId) const override { return process->IsSignaled(threadId); }

    const std::shared_ptr<ProcessObject> process;
};

struct ChildTable {
    std::mutex lock;
    std::unordered_map<pid_t, std::weak_ptr<ProcessObject>> children;
};

ChildTable& Children() {
    static auto* table = new ChildTable;
    return *table;
}

std::shared_ptr<ProcessObject> LiveChild(pid_t pid) {
    auto& table = Children();
    std::lock_guard<std::mutex> g(table.lock);
    for (auto it = table.children.begin(); it != table.children.end();) {
        if (it->second.expired())
            it = table.children.erase(it);
        else
            ++it;
    }
    auto it = table.children.find(pid);
    return it == table.children.end() ? nullptr : it->second.lock();
}

// Reads the full exit code the child reported, if it did; never blocks.
bool ReadReportedCode(int fd, DWORD& code) {
    unsigned char bytes[4];
    size_t have = 0;
    while (have < sizeof bytes) {
        ssize_t n = read(fd, bytes + have, sizeof bytes - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    if (have != sizeof bytes) return false;
    code = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<DWORD>(bytes[3]) << 24);
    return true;
}

void WatchChild(std::shared_ptr<ProcessObject> process, int exitPipe) {
    // Waits without reaping: until the object is marked, the pid cannot be reused, so
    // TerminateProcess never signals a stranger.
    siginfo_t info{};
    int r;
    do r = waitid(P_PID, static_cast<id_t>(process->pid), &info, WEXITED | WNOWAIT);
    while (r < 0 && errno == EINTR);
    DWORD reported = 0;
    bool haveReport = exitPipe >= 0 && ReadReportedCode(exitPipe, reported);
    if (exitPipe >= 0) close(exitPipe);
    {
        std::lock_guard<std::mutex> g(KernelLock());
        DWORD code = 0;  // unknown: reaped elsewhere (SIGCHLD ignored)
        if (r == 0) {
            if (info.si_code == CLD_EXITED) {
                code = static_cast<DWORD>(info.si_status) & 0xFF;
                if (haveReport && (reported & 0xFF) == code) code = reported;
            } else if (process->terminated) {
                code = process->terminateCode;
            } else {
                code = 128 + static_cast<DWORD>(info.si_status);
            }
            int status;
            while (waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        process->exitCode = code;
        process->ended = true;
    }
    KernelCond().notify_all();
}

void WatchOther(std::shared_ptr<ProcessObject> process) {
    pollfd fds[2] = {{process->pidfd, POLLIN, 0}, {process->cancelFd, POLLIN, 0}};
    for (;;) {
        int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || fds[0].revents) break;
        if (fds[1].revents) return;
    }
    {
        std::lock_guard<std::mutex> g(KernelLock());
        process->exitCode = process->terminated ? process->terminateCode : 0;
        process->ended = true;
    }
    KernelCond().notify_all();
}

[[noreturn]] void EndSelf(DWORD code) {
    ReportExitCode(code);
    std::fflush(nullptr);
    _exit(static_cast<int>(code & 0xFF));
}

bool StartWatcher(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

// The current process as a waitable object: it cannot be signalled while anyone runs to wait on it.
std::shared_ptr<KernelObject> CurrentProcessObject() {
    static const auto self = std::make_shared<ProcessObject>(getpid(), ProcessObject::Kind::Self);
    return self;
}

bool PrimaryThreadExitCode(HANDLE h, DWORD& code) {
    auto thread = HandleAs<PrimaryThreadObject>(h);
    if (!thread) return false;
    std::lock_guard<std::mutex> g(KernelLock());
    code = thread->process->ended ? thread->process->exitCode : STILL_ACTIVE;
    return true;
}

std::u16string WinMainCommandLine(int argc, char** argv) {
    if (argc < 2 || !argv || !argv[1]) return {};
    return DecodeArgument(argv[1]);
}

void ReportExitCode(DWORD code) {
    int fd = g_exitFd.exchange(-1);
    if (fd < 0) return;
    unsigned char bytes[4] = {static_cast<unsigned char>(code), static_cast<unsigned char>(code >> 8),
                              static_cast<unsigned char>(code >> 16), static_cast<unsigned char>(code >> 24)};
    // The parent may have ended without waiting: the write must not kill this exiting program.
    signal(SIGPIPE, SIG_IGN);
    ssize_t n;
    do n = write(fd, bytes, sizeof bytes);
    while (n < 0 && errno == EINTR);
    close(fd);
}

}  // namespace qrx

using qrx::ProcessObject;

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION lpProcessInformation) {
    if (!lpApplicationName && !lpCommandLine) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string commandLine;
    if (lpCommandLine) {
        size_t length = wcsnlen(lpCommandLine, qrx::kMaxCommandLine + 1);
        if (length > qrx::kMaxCommandLine) {
            qrx::SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        commandLine.assign(lpCommandLine, length);
    }
    std::u16string image;
    if (lpApplicationName) {
        size_t length = wcsnlen(lpApplicationName, MAX_PATH);
        if (length >= MAX_PATH) {
            qrx::SetError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        image = qrx::ImagePath(std::u16string(lpApplicationName, length), false);
    } else {
        std::u16string token, rest;
        qrx::SplitCommandLine(commandLine, token, rest);
        if (token.empty()) {
            qrx::SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        image = qrx::ImagePath(token, true);
        commandLine = rest;
    }
    std::string host;
    if (DWORD error = qrx::CheckImage(image, host)) {
        qrx::SetError(error);
        return FALSE;
    }

    // The pipe the child reports its full exit code on, at a fixed descriptor in the child.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        qrx::SetError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    if (pipeFds[1] == qrx::kChildExitFd) {
        // dup2 onto itself would leave it close-on-exec.
        int moved = fcntl(pipeFds[1], F_DUPFD_CLOEXEC, qrx::kChildExitFd + 1);
        close(pipeFds[1]);
        pipeFds[1] = moved;
    }
    if (pipeFds[1] < 0) {
        close(pipeFds[0]);
        qrx::SetError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);

    std::string argument = qrx::EncodeArgument(commandLine);
    char* argv[] = {host.data(), argument.data(), nullptr};
    std::string exitFdEntry = std::string(qrx::kExitFdVariable) + "=" + std::to_string(qrx::kChildExitFd);
    // A program of the device hands the runner's lifeline on, so that its children end with the device.
    int lifeline = qrx::LifelineFd();
    std::string lifelineEntry = qrx::LifelineEntry();
    std::vector<char*> envp;
    const std::string exitPrefix = std::string(qrx::kExitFdVariable) + "=";
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, exitPrefix.c_str(), exitPrefix.size()) != 0 && !qrx::IsLifelineEntry(*e))
            envp.push_back(*e);
    envp.push_back(exitFdEntry.data());
    if (lifeline >= 0) envp.push_back(lifelineEntry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], qrx::kChildExitFd);
    if (lifeline >= 0) posix_spawn_file_actions_adddup2(&actions, lifeline, qrx::kLifelineFd);
    // Handles are not inherited: a lock file held open by a child would keep a name alive.
    posix_spawn_file_actions_addclosefrom_np(&actions, lifeline >= 0 ? qrx::kLifelineFd + 1 : qrx::kChildExitFd + 1);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, host.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        qrx::SetError(qrx::SpawnError(rc));
        return FALSE;
    }

    auto process = std::make_shared<ProcessObject>(pid, ProcessObject::Kind::Child);
    {
        auto& table = qrx::Children();
        std::lock_guard<std::mutex> g(table.lock);
        table.children[pid] = process;
    }
    int exitPipe = pipeFds[0];
    if (!qrx::StartWatcher([process, exitPipe] { qrx::WatchChild(process, exitPipe); })) {
        // Without a watcher nobody would reap it.
        kill(pid, SIGKILL);
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        close(exitPipe);
        {
            std::lock_guard<std::mutex> g(qrx::KernelLock());
            process->exitCode = 128 + SIGKILL;
            process->ended = true;
        }
        qrx::SetError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (lpProcessInformation) {
        lpProcessInformation->hProcess = qrx::NewHandle(process);
        lpProcessInformation->hThread = qrx::NewHandle(std::make_shared<qrx::PrimaryThreadObject>(process));
        lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
        // The primary thread's id on the host is the process id.
        lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (!lpExitCode) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hProcess == qrx::kCurrentProcessPseudoHandle) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto process = qrx::HandleAs<ProcessObject>(hProcess);
    if (!process) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(qrx::KernelLock());
    *lpExitCode = process->ended ? process->exitCode : STILL_ACTIVE;
    return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (hProcess == qrx::kCurrentProcessPseudoHandle) qrx::EndSelf(uExitCode);
    auto process = qrx::HandleAs<ProcessObject>(hProcess);
    if (!process) {
        qrx::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (process->kind == ProcessObject::Kind::Self) qrx::EndSelf(uExitCode);
    std::lock_guard<std::mutex> g(qrx::KernelLock());
    if (process->ended) {
        qrx::SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Under the kernel lock: the watcher cannot reap the child meanwhile, so the pid is still its.
    int r = process->kind == ProcessObject::Kind::Child
                ? kill(process->pid, SIGKILL)
                : static_cast<int>(syscall(SYS_pidfd_send_signal, process->pidfd, SIGKILL, nullptr, 0));
    if (r != 0) {
        qrx::SetError(errno == ESRCH ? ERROR_ACCESS_DENIED : qrx::SpawnError(errno));
        return FALSE;
    }
    if (!process->terminated) {
        process->terminated = true;
        process->terminateCode = uExitCode;
    }
    return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
    pid_t pid = static_cast<pid_t>(dwProcessId);
    if (pid <= 0) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (pid == getpid()) return qrx::NewHandle(std::make_shared<ProcessObject>(pid, ProcessObject::Kind::Self));
    if (auto child = qrx::LiveChild(pid)) {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        // An ended child's pid may already belong to someone else.
        if (!child->ended) return qrx::NewHandle(child);
    }
    int pidfd = qrx::PidfdOpen(pid);
    if (pidfd < 0) {
        qrx::SetError(errno == ESRCH ? ERROR_INVALID_PARAMETER : errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    int cancelFd = eventfd(0, EFD_CLOEXEC);
    if (cancelFd < 0) {
        close(pidfd);
        qrx::SetError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    auto process = std::make_shared<ProcessObject>(pid, ProcessObject::Kind::Other);
    process->pidfd = pidfd;
    process->cancelFd = cancelFd;
    if (!qrx::StartWatcher([process] { qrx::WatchOther(process); })) {
        qrx::SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return qrx::NewHandle(process);
}

HANDLE GetCurrentProcess() { return qrx::kCurrentProcessPseudoHandle; }

void ExitProcess(UINT uExitCode) { qrx::EndSelf(uExitCode); }
