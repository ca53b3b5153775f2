// qrx-screen: the device's screen server (see platform/src/win/remote_server.cpp). Headless: the
// picture is seen through the control socket's "shot".
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qrx/host.h"
#include "qrx/screen.h"
#include "win/remote.h"

namespace {

char g_socketPath[108];

void Stop(int) {
    unlink(g_socketPath);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s (the device root comes from QRX_DEVICE_ROOT)\n", argv[0]);
        return 2;
    }
    std::string error;
    if (!qrx::win::remote::ListenScreenServer(&error)) {
        std::fprintf(stderr, "qrx-screen: %s\n", error.c_str());
        return 1;
    }
    std::string path = qrx::PlatformStatePath("screen.sock");
    std::snprintf(g_socketPath, sizeof g_socketPath, "%s", path.c_str());
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, Stop);
    signal(SIGINT, Stop);
    std::fprintf(stderr, "qrx-screen: headless %dx%d screen on %s\n", qrx::screen::kWidth, qrx::screen::kHeight,
                 path.c_str());
    qrx::win::remote::RunScreenServer();
    return 1;
}
