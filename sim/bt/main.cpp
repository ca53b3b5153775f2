// qrx-sim-bt: the simulated Bluetooth module for `make run` and manual use. Runs until SIGINT, SIGTERM
// or SIGHUP. The host's end is a second pseudo-terminal: what a terminal program writes there reaches
// the device once the host is connected, and the device's replies come back on it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qrx/host.h"
#include "sim/PeerTerminal.h"
#include "sim/BtSim.h"

namespace {

const char kUsage[] =
    "usage: qrx-sim-bt [options]\n"
    "  --root DIR         device root (default QRX_DEVICE_ROOT)\n"
    "  --port N           COM port to record in the device root's port map (1-9, default 4)\n"
    "  --type T           btm4504c1x or bcd100 (default bcd100)\n"
    "  --pace             answer at 9600 baud\n"
    "  --log FILE         append every command, pin change and relayed line to FILE\n"
    "  --host-addr ADDR   the host's address, 12 hexadecimal digits (default 0017E9A0B1C2)\n"
    "  --auto-connect     the host connects whenever the module lets it\n";

}  // namespace

int main(int argc, char** argv) {
    sim::BtSimConfig config;
    config.hostTerminal = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--pace") {
            config.pace = true;
        } else if (a == "--auto-connect") {
            config.autoConnect = true;
        } else if (sim::TakePeerOption(argc, argv, i, config.port)) {
        } else if (a == "--type" && sim::ParseBtType(value, config.type)) {
            ++i;
        } else if (a == "--log" && value && *value) {
            config.logFile = value;
            ++i;
        } else if (a == "--host-addr" && value && std::strlen(value) == 12 &&
                   std::strspn(value, "0123456789abcdefABCDEF") == 12) {
            config.hostAddr = value;
            ++i;
        } else {
            std::fprintf(stderr, "qrx-sim-bt: bad argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    sim::CatchStopSignals();

    sim::BtSim bt(config);
    if (!bt.Start()) {
        std::fprintf(stderr, "qrx-sim-bt: %s\n", bt.Error().c_str());
        return 1;
    }
    std::printf("COM%d -> %s\nhost -> %s\n", config.port, bt.SlavePath().c_str(), bt.HostPath().c_str());
    std::fflush(stdout);
    sim::WaitForStopSignal();
    bt.Stop();
    return 0;
}
