#include "sim/PeerTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

namespace sim {

namespace {
void SetRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}
}  // namespace

bool OpenPeerTerminal(int& master, int& slave, std::string& slavePath) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    char name[256];
    if (ptsname_r(master, name, sizeof name) != 0) return false;
    slavePath = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    SetRaw(slave);
    SetRaw(master);
    int flags = fcntl(master, F_GETFL);
    return flags >= 0 && fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0;
}

void ReleasePortMapping(int port, const std::string& slavePath) {
    char current[4096] = {};
    if (qrx::GetPortMapping(port, current, sizeof current) && slavePath == current) qrx::SetPortMapping(port, "");
}

}  // namespace sim
