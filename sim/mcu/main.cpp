// qrx-sim-mcu: the simulated MCU for `make run` and manual use. Runs until SIGINT, SIGTERM or SIGHUP.
// `qrx-sim-mcu fault ...` hands one control command to a running simulator.
// `qrx-sim-mcu state` prints the battery and output of a running one.
#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qrx/host.h"
#include "sim/McuSim.h"
#include "sim/PmcLoader.h"

namespace {

const char kUsage[] =
    "usage: qrx-sim-mcu [options]\n"
    "       qrx-sim-mcu [--root DIR] [--port N] fault COMMAND...\n"
    "       qrx-sim-mcu [--root DIR] [--port N] state\n"
    "  --root DIR        device root (default QRX_DEVICE_ROOT)\n"
    "  --port N          COM port to record in the device root's port map (1-9, default 2)\n"
    "  --chemistry C     lead-acid, agm or gel (default lead-acid)\n"
    "  --volts V         nominal battery voltage, 6-48 in steps of 2 (default 12)\n"
    "  --capacity AH     capacity in ampere-hours, 1-3000 (default 60)\n"
    "  --soc P           state of charge in percent, 0-100 (default 50)\n"
    "  --ambient C       ambient temperature in degrees Celsius, -30-60 (default 25)\n"
    "  --firmware V      firmware version: B0 or B0.B1.B2.B3, each 0-255 (default 242.1.0.4)\n"
    "  --mains HZ        mains frequency reported: 50, 60 or 0 for none (default 60)\n"
    "  --log FILE        append every command and reply to FILE\n"
    "  --adc-error VOFF,VGAIN,AOFF,AGAIN  converter errors of an uncalibrated board: readings are\n"
    "                    true x gain + offset (volts, amperes) until calibrated (default 0,1,0,1)\n"
    "  --eeprom FILE     the calibration's EEPROM: read at start, written by 03 05, removed by 03 06\n"
    "  --iap-fault F     a fault of the PMC boot loader (repeatable): no-loader, connect-fails N,\n"
    "                    bad-echo K, bad-sequence K, short-replies, lost-frame K, late MS, power-loss K\n"
    "                    (K counts data frames from 1)\n"
    "fault commands (POLLS: answered status polls it lasts; without it, until changed):\n"
    "  silence POLLS                                 leave status polls unanswered (0 ends it)\n"
    "  battery connected|disconnected|reversed [POLLS]\n"
    "  transformer|heatsink|battery-temp C|off [POLLS]  hold a sensor at C degrees\n"
    "  volts V|off [POLLS]                           hold the measured voltage at V volts\n"
    "  mains 0|50|60 [POLLS]                         mains frequency reported\n"
    "  cutoff voltage|current                        trip the cut-off protection\n"
    "  clear                                         end every fault\n"
    "  soc PERCENT                                   set the battery's state of charge\n"
    "  truncate|split BYTES [REPLIES]                replies cut to BYTES payload bytes, or sent in\n"
    "                                                pieces of BYTES\n"
    "state prints the battery and output of a running simulator: soc=P volts=V amps=A\n"
    "  battery-temp=C transformer=C heatsink=C output=0|1 direction=0|1 paused=0|1 seconds=N\n"
    "  terminal-volts=V (volts as the converters read, terminal-volts the true voltage)\n"
    "The simulator takes them on <root>/.platform/mcu<port>.sock.\n";

bool ParseDouble(const char* text, double& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool ParseInt(const char* text, long lo, long hi, int& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseFirmware(const char* text, std::array<BYTE, 4>& out) {
    std::array<BYTE, 4> v = out;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        if (*p < '0' || *p > '9') return false;
        errno = 0;
        long n = std::strtol(p, &end, 10);
        if (errno != 0 || n < 0 || n > 255) return false;
        v[static_cast<size_t>(i)] = static_cast<BYTE>(n);
        if (*end == '\0') {
            if (i != 0 && i != 3) return false;
            out = v;
            return true;
        }
        if (*end != '.' || i == 3) return false;
        p = end + 1;
    }
    return false;
}

int Fail(const char* what, const char* value) {
    std::fprintf(stderr, "qrx-sim-mcu: bad %s '%s' (--help lists the options)\n", what, value ? value : "");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    sim::McuSimConfig config;
    config.port = 2;
    sim::IapFaults iapFaults;
    for (int i = 1; i < argc; ++i) {
        const char* opt = argv[i];
        if (!std::strcmp(opt, "--help") || !std::strcmp(opt, "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(opt, "fault") || !std::strcmp(opt, "state")) {
            std::string line;
            if (opt[0] == 's') {
                if (i + 1 < argc) return Fail("argument after state", argv[i + 1]);
                line = "state";
            }
            for (int k = i + 1; k < argc; ++k) line += (k > i + 1 ? " " : "") + std::string(argv[k]);
            std::string reply;
            bool ok = sim::SendControlCommand(sim::ControlSocketPath(config.port), line, reply);
            if (ok && reply.rfind("ok ", 0) == 0) reply.erase(0, 3);
            std::fprintf(ok ? stdout : stderr, "%s%s\n", ok ? "" : "qrx-sim-mcu: ", reply.c_str());
            return ok ? 0 : 1;
        }
        if (i + 1 >= argc) return Fail("option (missing value)", opt);
        const char* value = argv[++i];
        double d = 0;
        if (!std::strcmp(opt, "--root")) {
            if (!*value) return Fail("device root", value);
            setenv("QRX_DEVICE_ROOT", value, 1);
            qrx::ReloadHostConfig();
        } else if (!std::strcmp(opt, "--port")) {
            if (!ParseInt(value, 1, 9, config.port)) return Fail("port", value);
        } else if (!std::strcmp(opt, "--chemistry")) {
            if (!sim::ParseChemistry(value, config.mcu.battery.chemistry)) return Fail("chemistry", value);
        } else if (!std::strcmp(opt, "--volts")) {
            if (!ParseInt(value, 6, 48, config.mcu.battery.nominalVolts)) return Fail("nominal voltage", value);
        } else if (!std::strcmp(opt, "--capacity")) {
            if (!ParseDouble(value, d)) return Fail("capacity", value);
            config.mcu.battery.capacityAh = d;
        } else if (!std::strcmp(opt, "--soc")) {
            if (!ParseDouble(value, d) || d < 0 || d > 100) return Fail("state of charge", value);
            config.mcu.battery.stateOfCharge = d / 100.0;
        } else if (!std::strcmp(opt, "--ambient")) {
            if (!ParseDouble(value, d)) return Fail("ambient temperature", value);
            config.mcu.battery.ambientC = d;
        } else if (!std::strcmp(opt, "--firmware")) {
            if (!ParseFirmware(value, config.mcu.firmware)) return Fail("firmware version", value);
        } else if (!std::strcmp(opt, "--mains")) {
            if (!ParseInt(value, 0, 60, config.mcu.mainsHz) ||
                (config.mcu.mainsHz != 0 && config.mcu.mainsHz != 50 && config.mcu.mainsHz != 60))
                return Fail("mains frequency", value);
        } else if (!std::strcmp(opt, "--iap-fault")) {
            if (!sim::ParseIapFault(value, iapFaults)) return Fail("loader fault", value);
        } else if (!std::strcmp(opt, "--adc-error")) {
            if (!sim::ParseAdcError(value, config.mcu.adcError)) return Fail("converter errors", value);
        } else if (!std::strcmp(opt, "--eeprom")) {
            if (!*value) return Fail("EEPROM file", value);
            config.mcu.eepromFile = value;
        } else if (!std::strcmp(opt, "--log")) {
            if (!*value) return Fail("log file", value);
            config.logFile = value;
        } else {
            return Fail("option", opt);
        }
    }
    std::string problem = sim::CheckBatteryConfig(config.mcu.battery);
    if (!problem.empty()) {
        std::fprintf(stderr, "qrx-sim-mcu: %s\n", problem.c_str());
        return 2;
    }

    // The responder thread inherits the blocked signals, so only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    config.controlSocket = sim::ControlSocketPath(config.port);
    // The PMC's program memory outlasts the simulator: its whole image's version is the firmware's.
    sim::PmcLoader loader(iapFaults);
    sim::AttachPmcLoader(config, loader);
    sim::McuSim mcu(config);
    if (!mcu.Start()) {
        std::fprintf(stderr, "qrx-sim-mcu: %s\n", mcu.Error().c_str());
        return 1;
    }
    const sim::BatteryConfig& b = config.mcu.battery;
    std::printf("qrx-sim-mcu: COM%d -> %s (%d V %g Ah %s at %g %%, firmware %u.%u.%u.%u), control %s\n", config.port,
                mcu.SlavePath().c_str(), b.nominalVolts, b.capacityAh, sim::ChemistryName(b.chemistry),
                b.stateOfCharge * 100.0, config.mcu.firmware[0], config.mcu.firmware[1], config.mcu.firmware[2],
                config.mcu.firmware[3], config.controlSocket.c_str());
    std::fflush(stdout);

    int sig = 0;
    while (sigwait(&stopSignals, &sig) != 0) {
    }
    mcu.Stop();
    return 0;
}
