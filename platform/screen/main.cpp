// qrx-screen: the device's screen server (see platform/src/win/remote_server.cpp). With a display
// it shows the screen in a desktop window, the mouse being the pen; without one it runs headless
// and the picture is seen through the control socket's "shot".
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
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
std::atomic<bool> g_windowUp{false};

void Stop() {
    unlink(g_socketPath);
    _exit(0);
}

// SIGTERM and SIGINT are taken by one thread of their own, so the window's loop can be woken
// without polling a flag; with the window up its loop ends first.
void HandleSignals(sigset_t set) {
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
#ifdef QRX_SCREEN_WINDOW
        if (g_windowUp.load()) {
            qrx::screen::StopSdlView();
            continue;
        }
#endif
        Stop();
    }
}

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
    // Before any thread starts, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::string error;
    if (!qrx::win::remote::ListenScreenServer(&error)) {
        std::fprintf(stderr, "qrx-screen: %s\n", error.c_str());
        return 1;
    }
    std::string path = qrx::PlatformStatePath("screen.sock");
    std::snprintf(g_socketPath, sizeof g_socketPath, "%s", path.c_str());
    signal(SIGPIPE, SIG_IGN);
    std::thread(HandleSignals, stopSignals).detach();

    std::string why = "asked";
#ifdef QRX_SCREEN_WINDOW
    if (!headless) {
        if (qrx::screen::OpenSdlView(forceWindow, &why)) {
            g_windowUp.store(true);
            std::fprintf(stderr, "qrx-screen: %dx%d screen in a window (%s) on %s\n", qrx::screen::kWidth,
                         qrx::screen::kHeight, why.c_str(), path.c_str());
            std::thread(qrx::win::remote::RunScreenServer).detach();
            unsigned long long frames = qrx::screen::RunSdlView(path);
            std::fprintf(stderr, "qrx-screen: window closed after %llu frames\n", frames);
            std::fflush(stderr);
            // The serving threads are detached and may be mid-connection: leave without running
            // the destructors they still rely on.
            Stop();
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
