#include "sim/PeerTerminal.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "qrx/host.h"

namespace sim {

namespace {
void SetRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}
}  // namespace

bool OpenPeerTerminal(int& master, int& slave, std::string& slavePath, bool holdSlave) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    char name[256];
    if (ptsname_r(master, name, sizeof name) != 0) return false;
    slavePath = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    SetRaw(slave);
    if (!holdSlave) {
        close(slave);
        slave = -1;
    }
    SetRaw(master);
    int flags = fcntl(master, F_GETFL);
    return flags >= 0 && fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0;
}

void ReleasePortMapping(int port, const std::string& slavePath) {
    char current[4096] = {};
    if (qrx::GetPortMapping(port, current, sizeof current) && slavePath == current) qrx::SetPortMapping(port, "");
}

void StopPeerWorker(std::thread& worker, int wake) {
    if (!worker.joinable()) return;
    uint64_t one = 1;
    ssize_t n = write(wake, &one, sizeof one);
    (void)n;
    worker.join();
}

bool TakePeerOption(int argc, char** argv, int& i, int& port) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) return false;
    if (std::strcmp(argv[i], "--root") == 0) {
        setenv("QRX_DEVICE_ROOT", value, 1);
        qrx::ReloadHostConfig();
    } else if (std::strcmp(argv[i], "--port") == 0 && std::strlen(value) == 1 && value[0] >= '1' && value[0] <= '9') {
        port = value[0] - '0';
    } else {
        return false;
    }
    ++i;
    return true;
}

namespace {
volatile sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }
}  // namespace

void CatchStopSignals() {
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void WaitForStopSignal() {
    while (!g_stop) pause();
}

}  // namespace sim
