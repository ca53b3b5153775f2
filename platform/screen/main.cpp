// qrx-screen: the device's screen server (see platform/src/win/remote_server.cpp). With a display
// it shows the screen in a desktop window, the mouse being the pen; without one it runs headless
// and the picture is seen through the control socket's "shot".
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "qrx/host.h"
#include "qrx/screen.h"
#include "win/remote.h"
#ifdef QRX_SCREEN_WINDOW
#include "SdlView.h"
#endif

namespace {

char g_socketPath[108];
volatile std::sig_atomic_t g_stop = 0;

void Stop(int) {
    unlink(g_socketPath);
    _exit(0);
}

// With the window up the main thread ends the window first.
[[maybe_unused]] void RequestStop(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
    bool forceWindow = false, headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window") == 0) forceWindow = true;
        else if (std::strcmp(argv[i], "--headless") == 0) headless = true;
        else forceWindow = headless = true;  // unknown: usage
    }
    if (forceWindow && headless) {
        std::fprintf(stderr, "usage: %s [--window | --headless] (the device root comes from QRX_DEVICE_ROOT)\n",
                     argv[0]);
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

    std::string why = "asked";
#ifdef QRX_SCREEN_WINDOW
    if (!headless) {
        if (qrx::screen::OpenSdlView(forceWindow, &why)) {
            signal(SIGTERM, RequestStop);
            signal(SIGINT, RequestStop);
            std::fprintf(stderr, "qrx-screen: %dx%d screen in a window (%s) on %s\n", qrx::screen::kWidth,
                         qrx::screen::kHeight, why.c_str(), path.c_str());
            std::thread(qrx::win::remote::RunScreenServer).detach();
            unsigned long long frames = qrx::screen::RunSdlView(path, &g_stop);
            std::fprintf(stderr, "qrx-screen: window closed after %llu frames\n", frames);
            std::fflush(stderr);
            // The serving threads are detached and may be mid-connection: leave without running
            // the destructors they still rely on.
            Stop(0);
        }
    }
#else
    if (!headless) why = "built without the window";
#endif
    std::fprintf(stderr, "qrx-screen: headless %dx%d screen on %s (%s)\n", qrx::screen::kWidth, qrx::screen::kHeight,
                 path.c_str(), why.c_str());
    qrx::win::remote::RunScreenServer();
    return 1;
}
