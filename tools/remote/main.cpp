// qrx-remote: a command-line host for the wired link. Opens a tty (or the host end that qrx-sim-host
// names in the device root), sends each record as a "$QRX," frame and prints the frames that come
// back, one a line without CR LF. Each record waits for the frame of its own code (or an error record),
// so status records streamed in between are printed but not taken for the answer. Exit 0 when every
// record got an answer, 1 when one did not, 2 on bad use.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "radiolink/QrxFrame.h"

namespace {

const char kUsage[] =
    "usage: qrx-remote [--root DIR | --tty PATH] [--wait MS] [--listen SECONDS] [--script FILE] [RECORD...]\n"
    "  RECORD          a record body such as B0, C1 or E0,12.5 (a final comma is added when missing)\n"
    "  --root DIR      the device root whose COM5 host end qrx-sim-host names (default build/device)\n"
    "  --tty PATH      a serial line instead (115200 8N1)\n"
    "  --wait MS       how long to wait for each answer (default 2000)\n"
    "  --listen S      after the records, print what comes for S seconds\n"
    "  --script FILE   records one a line; empty lines and lines from # are skipped\n";

using Clock = std::chrono::steady_clock;

int OpenLine(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

std::string HostEnd(const std::string& root) {
    std::ifstream in(root + "/.platform/link5.host");
    std::string path;
    std::getline(in, path);
    return path;
}

// Reads and prints lines until the answer (a frame of code `answer`, or an error record) came, or
// with an empty `answer` until the time is up. The number of answers.
int ReadLines(int fd, std::string& pending, int untilMs, const std::string& answer) {
    int lines = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(untilMs);
    while (Clock::now() < end) {
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left > 0 ? left : 0) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return lines;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                if (pending.size() < qrxframe::kMaxLine) pending += buffer[i];
                continue;
            }
            while (!pending.empty() && pending.back() == '\r') pending.pop_back();
            std::printf("%s\n", pending.c_str());
            std::fflush(stdout);
            if (!answer.empty() && (pending.compare(0, answer.size(), answer) == 0 || pending.compare(0, 8, "$QRX,ER,") == 0))
                ++lines;
            pending.clear();
        }
        if (!answer.empty() && lines) return lines;
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    std::string root = "build/device", tty;
    int waitMs = 2000, listen = 0;
    std::vector<std::string> records;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--root" && value) root = argv[++i];
        else if (a == "--tty" && value) tty = argv[++i];
        else if (a == "--wait" && value && std::atoi(value) > 0) waitMs = std::atoi(argv[++i]);
        else if (a == "--listen" && value && std::atoi(value) >= 0) listen = std::atoi(argv[++i]);
        else if (a == "--script" && value) {
            std::ifstream in(argv[++i]);
            if (!in) {
                std::fprintf(stderr, "qrx-remote: cannot read %s\n", value);
                return 2;
            }
            for (std::string line; std::getline(in, line);) {
                while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
                if (!line.empty() && line[0] != '#') records.push_back(line);
            }
        } else if (!a.empty() && a[0] != '-') records.push_back(a);
        else {
            std::fprintf(stderr, "qrx-remote: bad argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (tty.empty()) tty = HostEnd(root);
    if (tty.empty()) {
        std::fprintf(stderr, "qrx-remote: no host end in %s/.platform/link5.host (is qrx-sim-host running?)\n", root.c_str());
        return 2;
    }
    const int fd = OpenLine(tty);
    if (fd < 0) {
        std::fprintf(stderr, "qrx-remote: cannot open %s\n", tty.c_str());
        return 2;
    }
    int status = 0;
    std::string pending;
    for (std::string body : records) {
        if (body.back() != ',') body += ',';
        char frame[qrxframe::kFrameBuffer];
        const size_t n = qrxframe::FormatFrame(body.c_str(), body.size(), frame, sizeof frame);
        if (n == 0 || write(fd, frame, n) != static_cast<ssize_t>(n)) {
            std::fprintf(stderr, "qrx-remote: cannot send %s\n", body.c_str());
            status = 1;
            continue;
        }
        const std::string code = "$QRX," + body.substr(0, body.find(',') + 1);
        if (ReadLines(fd, pending, waitMs, code) == 0) {
            std::fprintf(stderr, "qrx-remote: no answer to %s\n", body.c_str());
            status = 1;
        }
    }
    if (listen > 0) ReadLines(fd, pending, listen * 1000, "");
    close(fd);
    return status;
}
