// qrx-sim-host: the far end of the wired link for `make run` and manual use. COM5 of the device root
// is one pseudo-terminal; the host's end is a second one, named in <root>/.platform/link<port>.host,
// which `qrx-remote --root DIR` opens. With --unit it also answers the attached unit's D records.
// Runs until SIGINT, SIGTERM or SIGHUP.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qrx/host.h"
#include "sim/PeerTerminal.h"
#include "sim/LinkSim.h"

namespace {

const char kUsage[] =
    "usage: qrx-sim-host [--root DIR] [--port N] [--unit]\n"
    "  --root DIR   device root (default QRX_DEVICE_ROOT)\n"
    "  --port N     COM port to record in the port map (1-9, default 5)\n"
    "  --unit       answer D0-D3 as the attached unit\n";

}  // namespace

int main(int argc, char** argv) {
    sim::LinkSimConfig config;
    config.hostTerminal = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--unit") {
            config.unit = true;
        } else if (sim::TakePeerOption(argc, argv, i, config.port)) {
        } else {
            std::fprintf(stderr, "qrx-sim-host: bad argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    sim::CatchStopSignals();

    sim::LinkSim link(config);
    if (!link.Start()) {
        std::fprintf(stderr, "qrx-sim-host: %s\n", link.Error().c_str());
        return 1;
    }
    const std::string note = qrx::PlatformStatePath("link" + std::to_string(config.port) + ".host");
    if (FILE* f = std::fopen(note.c_str(), "w")) {
        std::fprintf(f, "%s\n", link.HostPath().c_str());
        std::fclose(f);
    }
    std::printf("COM%d -> %s\nhost -> %s\n", config.port, link.SlavePath().c_str(), link.HostPath().c_str());
    std::fflush(stdout);
    sim::WaitForStopSignal();
    link.Stop();
    unlink(note.c_str());
    return 0;
}
