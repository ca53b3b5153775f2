// Control commands of the simulated MCU: the faults a test or a person at `make run` puts on the
// line and on the measurement record, one line of text each.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "qrx/host.h"
#include "sim/McuSim.h"

namespace sim {
namespace {

constexpr int kMaxPolls = 1000000;
constexpr size_t kMaxLine = 256;

bool Number(const std::string& text, double lo, double hi, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    out = v;
    return true;
}

// The optional poll count after the value; -1 (until changed) when absent.
bool Polls(const std::vector<std::string>& words, size_t at, int& polls) {
    polls = -1;
    if (words.size() <= at) return true;
    double n = 0;
    if (words.size() > at + 1 || !Number(words[at], 0, kMaxPolls, n) || n != std::floor(n)) return false;
    polls = static_cast<int>(n);
    return true;
}

}  // namespace

bool ControlCommand(McuSim& sim, const std::string& line, std::string& reply) {
    std::vector<std::string> w;
    std::istringstream in(line);
    for (std::string word; in >> word;) w.push_back(word);
    auto refuse = [&](const char* why) {
        reply = why;
        return false;
    };
    if (w.empty()) return refuse("empty command");
    const std::string& name = w[0];
    int polls = -1;
    double value = 0;
    reply = "ok";

    if (name == "clear" && w.size() == 1) {
        sim.ClearFaults();
        return true;
    }
    if (name == "silence") {
        if (w.size() != 2 || !Polls(w, 1, polls)) return refuse("usage: silence POLLS");
        if (polls == 0)
            sim.ClearFault();
        else
            sim.InjectFault(FaultSetup::StatusPolls(Fault::Silence, polls));
        return true;
    }
    if (name == "battery") {
        Connection c;
        if (w.size() >= 2 && w[1] == "connected")
            c = Connection::Connected;
        else if (w.size() >= 2 && w[1] == "disconnected")
            c = Connection::NotConnected;
        else if (w.size() >= 2 && w[1] == "reversed")
            c = Connection::Reversed;
        else
            return refuse("usage: battery connected|disconnected|reversed [POLLS]");
        if (!Polls(w, 2, polls)) return refuse("bad poll count");
        sim.SetConnection(c, polls);
        return true;
    }
    if (name == "transformer" || name == "heatsink" || name == "battery-temp") {
        const Sensor s = name == "transformer" ? Sensor::Transformer
                         : name == "heatsink"  ? Sensor::Heatsink
                                               : Sensor::Battery;
        // What the record's signed hundredths can carry.
        if (w.size() < 2 || (w[1] != "off" && !Number(w[1], -327.68, 327.67, value)))
            return refuse("usage: transformer|heatsink|battery-temp DEGREES|off [POLLS]");
        if (!Polls(w, 2, polls)) return refuse("bad poll count");
        sim.SetTemperatureOverride(s, w[1] == "off" ? std::nullopt : std::optional<double>(value), polls);
        return true;
    }
    if (name == "volts") {
        if (w.size() < 2 || (w[1] != "off" && !Number(w[1], 0, 655.35, value)))
            return refuse("usage: volts VOLTS|off [POLLS]");
        if (!Polls(w, 2, polls)) return refuse("bad poll count");
        sim.SetVoltageOverride(w[1] == "off" ? std::nullopt : std::optional<double>(value), polls);
        return true;
    }
    if (name == "mains") {
        if (w.size() < 2 || (w[1] != "0" && w[1] != "50" && w[1] != "60"))
            return refuse("usage: mains 0|50|60 [POLLS]");
        if (!Polls(w, 2, polls)) return refuse("bad poll count");
        sim.SetFrequencyCode(w[1] == "50" ? 1 : w[1] == "60" ? 2 : 0, polls);
        return true;
    }
    if (name == "truncate" || name == "split") {
        double bytes = 0;
        if (w.size() < 2 || !Number(w[1], name == "split" ? 1 : 0, 1024, bytes) || bytes != std::floor(bytes) ||
            !Polls(w, 2, polls))
            return refuse("usage: truncate|split BYTES [REPLIES]");
        FaultSetup f;
        f.kind = name == "split" ? Fault::Split : Fault::Truncate;
        f.count = polls;
        f.truncateBytes = f.splitBytes = static_cast<size_t>(bytes);
        if (polls == 0)
            sim.ClearFault();
        else
            sim.InjectFault(f);
        return true;
    }
    if (name == "state" && w.size() == 1) {
        const McuSnapshot st = sim.Snapshot();
        char text[240];
        std::snprintf(text, sizeof text,
                      "ok soc=%.2f volts=%.2f amps=%.2f battery-temp=%.2f transformer=%.2f heatsink=%.2f output=%d "
                      "direction=%d paused=%d seconds=%u terminal-volts=%.2f",
                      st.stateOfCharge * 100.0, st.outputVolts, st.outputAmps, st.batteryC, st.transformerC,
                      st.heatsinkC, st.set.output == 1 ? 1 : 0, st.set.direction == 1 ? 1 : 0,
                      st.set.resume == 0 ? 1 : 0, static_cast<unsigned>(st.seconds), st.terminalVolts);
        reply = text;
        return true;
    }
    if (name == "soc") {
        if (w.size() != 2 || !Number(w[1], 0, 100, value)) return refuse("usage: soc PERCENT");
        sim.SetStateOfCharge(value / 100.0);
        return true;
    }
    if (name == "cutoff") {
        if (w.size() != 2 || (w[1] != "voltage" && w[1] != "current")) return refuse("usage: cutoff voltage|current");
        sim.TripCutOff(w[1] == "voltage" ? 1 : 2);
        return true;
    }
    return refuse(
        "unknown command (silence, battery, transformer, heatsink, battery-temp, volts, mains, "
        "cutoff, clear, soc, state, truncate, split)");
}

std::string ControlSocketPath(int port) { return qrx::PlatformStatePath("mcu" + std::to_string(port) + ".sock"); }

bool SendControlCommand(const std::string& path, const std::string& line, std::string& reply) {
    reply.clear();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        reply = "control socket path too long: " + path;
        return false;
    }
    if (line.size() >= kMaxLine || line.find('\n') != std::string::npos) {
        reply = "command too long or more than one line";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reply = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // A simulator that hangs must not hang the tool with it.
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    std::string out = line + "\n";
    bool sent = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
    if (!sent) {
        reply = "no simulated MCU at " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    char buffer[kMaxLine];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0 && reply.size() < kMaxLine) reply.append(buffer, n);
    close(fd);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    if (reply.empty()) reply = "no answer from " + path;
    return reply == "ok" || reply.rfind("ok ", 0) == 0;
}

}  // namespace sim
