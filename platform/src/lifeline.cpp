// The device's power line. qrx-run keeps the only write end of a pipe whose read end every program
// of the device holds, handed on by CreateProcessW. However the runner ends, even killed outright,
// the kernel closes that end; each program sees the hang-up and goes as on a power cut: SIGTERM
// first, so that the helpers can tidy up (socket, port map), SIGKILL when that is not enough.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "internal.h"

namespace qrx {
namespace {

constexpr const char* kLifelineVariable = "QRX_LIFELINE";  // the pipe's inode, which names it
constexpr unsigned kGraceSeconds = 5;                       // real seconds between SIGTERM and SIGKILL

std::atomic<int> g_lifeline{-1};
unsigned long long g_lifelineInode = 0;

void Watch(int fd) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, -1);
        if (r < 0 && errno == EINTR) continue;
        // A descriptor the program closed itself says nothing about the runner.
        if (r < 0 || (p.revents & POLLNVAL)) return;
        if (p.revents & (POLLHUP | POLLERR)) break;
        char bytes[64];
        if (read(fd, bytes, sizeof bytes) == 0) break;
    }
    kill(getpid(), SIGTERM);
    sleep(kGraceSeconds);
    kill(getpid(), SIGKILL);
}

// Before main: from its first instruction on, the program ends with the device.
struct LifelineSetup {
    LifelineSetup() {
        const char* value = std::getenv(kLifelineVariable);
        if (!value) return;
        std::string inode = value;
        // Only CreateProcessW hands it on, and only with the pipe.
        unsetenv(kLifelineVariable);
        struct stat st;
        if (fstat(kLifelineFd, &st) != 0 || !S_ISFIFO(st.st_mode) || std::to_string(st.st_ino) != inode ||
            (fcntl(kLifelineFd, F_GETFL) & O_ACCMODE) != O_RDONLY)
            return;
        // Out of the way of the program's own descriptors, and not inherited by accident.
        int fd = fcntl(kLifelineFd, F_DUPFD_CLOEXEC, kLifelineFd + 1);
        if (fd < 0) return;
        close(kLifelineFd);
        // The watcher takes no signal: the program's own handling of SIGTERM stays what it was.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread(Watch, fd).detach();
            g_lifelineInode = st.st_ino;
            g_lifeline.store(fd);
        } catch (const std::exception&) {
            close(fd);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
};
LifelineSetup g_lifelineSetup;

}  // namespace

int LifelineFd() { return g_lifeline.load(); }

std::string LifelineEntry() {
    return std::string(kLifelineVariable) + "=" + std::to_string(g_lifelineInode);
}

bool IsLifelineEntry(const char* entry) {
    std::string prefix = std::string(kLifelineVariable) + "=";
    return std::string_view(entry).substr(0, prefix.size()) == prefix;
}

int OpenLifeline() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    if (fds[0] <= kLifelineFd) {
        // A child gets it at kLifelineFd: dup2 onto itself would leave it close-on-exec.
        int moved = fcntl(fds[0], F_DUPFD_CLOEXEC, kLifelineFd + 1);
        close(fds[0]);
        fds[0] = moved;
    }
    struct stat st;
    if (fds[0] < 0 || fstat(fds[0], &st) != 0) {
        if (fds[0] >= 0) close(fds[0]);
        close(fds[1]);
        return -1;
    }
    setenv(kLifelineVariable, std::to_string(st.st_ino).c_str(), 1);
    // fds[1] stays open, unshared, until this process ends.
    return fds[0];
}

}  // namespace qrx
