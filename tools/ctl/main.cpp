// qrx-ctl: sends one command to the screen server's control socket and prints its answer.
//   qrx-ctl tap X Y | press X Y | move X Y | release X Y | key VK | shot FILE.png | windows
//         | wait CLASS [SECONDS] | volume arrive NAME | volume remove NAME
// "volume" inserts or takes out a storage volume ("SD Card", quoted as one argument) and tells every
// program of the device.
// The device root is QRX_DEVICE_ROOT, else build/device. Exit code 0 on "ok", 1 on any failure (the
// server's refusal, no server, bad usage, an answer that could not be printed), with the reason on
// stderr.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxAnswer = 16 * 1024 * 1024;

int Usage() {
    std::fprintf(stderr,
                 "usage: qrx-ctl tap X Y | press X Y | move X Y | release X Y | key VK | shot FILE.png | windows |"
                 " wait CLASS [SECONDS] | volume arrive NAME | volume remove NAME\n"
                 "       (a NAME with spaces is one quoted argument: volume remove \"SD Card\")\n");
    return 1;
}

bool IsInt(const char* s) {
    if (!s || !*s) return false;
    if (*s == '-') ++s;
    if (!*s || std::strlen(s) > 9) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

bool Clean(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos && !s.empty(); }

// A file name the server can use whatever its own folder.
std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// What was printed must have reached stdout (a full disk, a closed pipe), or the answer is lost.
int Printed() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "qrx-ctl: cannot write the answer: %s\n", std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    std::string line;
    int seconds = 30;
    if (cmd == "tap" || cmd == "press" || cmd == "move" || cmd == "release") {
        if (argc != 4 || !IsInt(argv[2]) || !IsInt(argv[3])) return Usage();
        int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
        if (x < 0 || x > 799 || y < 0 || y > 479) {
            std::fprintf(stderr, "qrx-ctl: %d,%d is outside the screen (0-799, 0-479)\n", x, y);
            return 1;
        }
        line = cmd + " " + argv[2] + " " + argv[3];
    } else if (cmd == "key") {
        if (argc != 3 || !IsInt(argv[2])) return Usage();
        line = cmd + " " + argv[2];
    } else if (cmd == "shot") {
        if (argc != 3 || !Clean(argv[2])) return Usage();
        line = cmd + " " + Absolute(argv[2]);
    } else if (cmd == "windows") {
        if (argc != 2) return Usage();
        line = cmd;
    } else if (cmd == "wait") {
        if (argc < 3 || argc > 4 || !Clean(argv[2]) || std::strchr(argv[2], ' ')) return Usage();
        line = cmd + " " + argv[2];
        int wait = 10;
        if (argc == 4) {
            if (!IsInt(argv[3]) || std::atoi(argv[3]) < 0 || std::atoi(argv[3]) > 3600) return Usage();
            wait = std::atoi(argv[3]);
            line += std::string(" ") + argv[3];
        }
        seconds = wait + 15;
    } else if (cmd == "volume") {
        if (argc != 4 || (std::strcmp(argv[2], "arrive") != 0 && std::strcmp(argv[2], "remove") != 0) ||
            !Clean(argv[3]))
            return Usage();
        line = cmd + " " + argv[2] + " " + argv[3];
    } else {
        return Usage();
    }

    // A reader that went away is a failure to report, not a silent end.
    signal(SIGPIPE, SIG_IGN);
    const char* env = std::getenv("QRX_DEVICE_ROOT");
    std::string root = env && *env ? env : "build/device";
    std::string path = root + "/.platform/screen.sock";
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "qrx-ctl: socket path too long: %s\n", path.c_str());
        return 1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "qrx-ctl: no screen server on %s\n", path.c_str());
        return 1;
    }
    line += "\n";
    for (size_t off = 0; off < line.size();) {
        ssize_t k = send(fd, line.data() + off, line.size() - off, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            std::fprintf(stderr, "qrx-ctl: the screen server went away\n");
            return 1;
        }
        off += static_cast<size_t>(k);
    }
    std::string buffer;
    char chunk[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string answer = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (answer == "ok") return Printed();
            if (answer.rfind("error", 0) == 0) {
                std::fprintf(stderr, "qrx-ctl: %s\n", answer.size() > 6 ? answer.c_str() + 6 : "failed");
                return 1;
            }
            std::printf("%s\n", answer.c_str());
        }
        if (buffer.size() > kMaxAnswer) {
            std::fprintf(stderr, "qrx-ctl: the screen server's answer is too long\n");
            return 1;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "qrx-ctl: no answer from the screen server\n");
            return 1;
        }
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        ssize_t k = recv(fd, chunk, sizeof chunk, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        buffer.append(chunk, static_cast<size_t>(k));
    }
    std::fprintf(stderr, "qrx-ctl: the screen server closed the connection\n");
    return 1;
}
