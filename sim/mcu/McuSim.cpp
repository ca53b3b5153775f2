// The simulated MCU on a pseudo-terminal: one thread reads the device's frames, lets the model
// carry them out and writes the replies, spoiled on request so the device's link can be tried on
// a bad line.
#include "sim/McuSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "qrx/host.h"
#include "sim/PeerTerminal.h"

namespace sim {
namespace {

constexpr int kWriteStallMs = 1000;  // a reader that takes nothing for this long loses the rest
constexpr size_t kMaxFloodBytes = 1 << 20;
constexpr DWORD kMaxCatchUpSeconds = 24 * 3600;
constexpr int kControlReadMs = 200;
constexpr int kClosedLookMs = 20;  // how often a line nobody has open is looked at again


std::vector<BYTE> EncodeWithChecksum(const std::vector<BYTE>& payload, BYTE checksum) {
    std::vector<BYTE> out{kFrameStart};
    auto put = [&out](BYTE b) {
        if (b >= 0x80 && b <= 0x8F) {
            out.push_back(kFrameEscape);
            out.push_back(static_cast<BYTE>(b & 0x7F));
        } else {
            out.push_back(b);
        }
    };
    for (BYTE b : payload) put(b);
    put(checksum);
    out.push_back(kFrameEnd);
    return out;
}

void AppendHex(std::string& s, const std::vector<BYTE>& bytes) {
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        s += hex;
    }
}

bool Matches(const FaultSetup& f, const std::vector<BYTE>& payload) {
    if (f.kind == Fault::None || f.count == 0) return false;
    if (f.group >= 0 && (payload.size() < 2 || payload[1] != f.group)) return false;
    if (f.code >= 0 && (payload.size() < 3 || payload[2] != f.code)) return false;
    return true;
}

}  // namespace

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::Silence:
            return "silence";
        case Fault::BadChecksum:
            return "bad checksum";
        case Fault::LeadingGarbage:
            return "leading garbage";
        case Fault::WrongReply:
            return "wrong reply";
        case Fault::Delay:
            return "delay";
        case Fault::Flood:
            return "flood";
        case Fault::Truncate:
            return "truncate";
        case Fault::Split:
            return "split";
        default:
            return "none";
    }
}

std::string FormatLogEntry(const LogEntry& e) {
    char head[32];
    std::snprintf(head, sizeof head, "[%10u] ", e.tick);
    std::string s = head;
    AppendHex(s, e.request);
    if (e.rejected) {
        s += " rejected: ";
        s += e.what;
        return s;
    }
    s += " -> ";
    if (e.reply.empty()) s += "(no reply)";
    AppendHex(s, e.reply);
    s += "  ";
    s += e.what;
    if (e.fault != Fault::None) {
        s += " [";
        s += FaultName(e.fault);
        s += "]";
    }
    return s;
}

McuSim::McuSim(const McuSimConfig& config) : m_config(config), m_model(config.mcu), m_clockMs(GetTickCount()) {
    if (m_config.logLimit == 0) m_config.logLimit = 1;
}

McuSim::~McuSim() { Stop(); }

bool McuSim::Start() {
    if (m_thread.joinable()) {
        m_error = "already running";
        return false;
    }
    m_error.clear();
    auto fail = [this](const std::string& why) {
        m_error = why;
        if (errno) {
            m_error += ": ";
            m_error += std::strerror(errno);
        }
        Stop();
        return false;
    };
    if (m_config.port < 0 || m_config.port > 9) {
        errno = 0;
        return fail("port must be 1 to 9 (0: no port-map entry)");
    }
    // The slave is not held open, so the master sees the device close it.
    int slave = -1;
    const bool opened = sim::OpenPeerTerminal(m_master, slave, m_slavePath, false);
    if (slave >= 0) close(slave);
    if (!opened) return fail("pseudo-terminal " + m_slavePath);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) return fail("eventfd");
    if (!m_config.logFile.empty()) {
        m_logFile = std::fopen(m_config.logFile.c_str(), "ae");
        if (!m_logFile) return fail("cannot open the log file " + m_config.logFile);
    }
    if (m_config.port > 0) {
        errno = 0;
        if (!qrx::SetPortMapping(m_config.port, m_slavePath.c_str()))
            return fail("cannot record COM" + std::to_string(m_config.port) + " in the port map");
        m_mapped = true;
    }
    if (!m_config.controlSocket.empty() && !ListenControl()) return fail("control socket " + m_config.controlSocket);
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool McuSim::ListenControl() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string& path = m_config.controlSocket;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // A socket left by a simulator that died goes; anything else at the path stays.
    struct stat st = {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
    m_control = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_control < 0) return false;
    if (bind(m_control, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(m_control, 4) != 0 ||
        lstat(path.c_str(), &st) != 0) {
        close(m_control);
        m_control = -1;
        return false;
    }
    m_controlInode = st.st_ino;
    return true;
}

// One command per connection: a line in, "ok" or the reason out. A client gets a short while to
// send its line, so the line to the device is never held up for long.
void McuSim::ServeControl() {
    int fd = accept4(m_control, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string line;
    char buffer[256];
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlReadMs);
    while (line.find('\n') == std::string::npos && line.size() < sizeof buffer) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    std::string reply;
    const size_t end = line.find('\n');
    if (end == std::string::npos)
        reply = "incomplete command";
    else
        ControlCommand(*this, line.substr(0, end), reply);
    reply += '\n';
    ssize_t sent = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent;
    close(fd);
}

void McuSim::Stop() {
    sim::StopPeerWorker(m_thread, m_wake);
    if (m_mapped) {
        sim::ReleasePortMapping(m_config.port, m_slavePath);
        m_mapped = false;
    }
    if (m_control >= 0) {
        // As with the port map, a simulator that took the path since keeps it.
        struct stat st = {};
        if (lstat(m_config.controlSocket.c_str(), &st) == 0 && st.st_ino == m_controlInode)
            unlink(m_config.controlSocket.c_str());
        close(m_control);
        m_control = -1;
    }
    for (int* fd : {&m_master, &m_wake}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (m_logFile) {
        std::fclose(m_logFile);
        m_logFile = nullptr;
    }
}

void McuSim::InjectFault(const FaultSetup& fault) {
    std::lock_guard<std::mutex> g(m_lock);
    m_fault = fault;
}

void McuSim::SetConnection(Connection c, int polls) {
    std::lock_guard<std::mutex> g(m_lock);
    CatchUp();
    m_model.SetConnection(c, polls);
}

void McuSim::SetFrequencyCode(int code, int polls) {
    std::lock_guard<std::mutex> g(m_lock);
    m_model.SetFrequencyCode(code, polls);
}

void McuSim::SetTemperatureOverride(Sensor s, std::optional<double> celsius, int polls) {
    std::lock_guard<std::mutex> g(m_lock);
    m_model.SetTemperatureOverride(s, celsius, polls);
}

void McuSim::SetVoltageOverride(std::optional<double> volts, int polls) {
    std::lock_guard<std::mutex> g(m_lock);
    m_model.SetVoltageOverride(volts, polls);
}

void McuSim::TripCutOff(int cause) {
    std::lock_guard<std::mutex> g(m_lock);
    CatchUp();
    m_model.TripCutOff(cause);
}

void McuSim::ClearFaults() {
    std::lock_guard<std::mutex> g(m_lock);
    CatchUp();
    m_fault = FaultSetup{};
    m_model.ClearConditions();
}

void McuSim::SetStateOfCharge(double soc) {
    std::lock_guard<std::mutex> g(m_lock);
    CatchUp();
    m_model.Battery().SetStateOfCharge(soc);
}

void McuSim::Advance(int seconds) {
    std::lock_guard<std::mutex> g(m_lock);
    m_model.Advance(seconds);
}

McuSnapshot McuSim::Snapshot() {
    std::lock_guard<std::mutex> g(m_lock);
    CatchUp();
    return m_model.Snapshot();
}

// Called with m_lock held. The battery ages in whole device seconds, the remainder carried over.
void McuSim::CatchUp() {
    const DWORD now = GetTickCount();
    const DWORD seconds = (now - m_clockMs) / 1000;
    if (seconds == 0) return;
    m_clockMs += seconds * 1000;
    // A longer gap (a stopped process) is not worth modelling second by second.
    m_model.Advance(static_cast<int>(std::min<DWORD>(seconds, kMaxCatchUpSeconds)));
}

std::vector<LogEntry> McuSim::Log() const {
    std::lock_guard<std::mutex> g(m_lock);
    return {m_log.begin(), m_log.end()};
}

void McuSim::ClearLog() {
    std::lock_guard<std::mutex> g(m_lock);
    m_log.clear();
    m_logTotal = 0;
}

bool McuSim::WaitForLog(size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> g(m_lock);
    return m_logCond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_logTotal >= count; });
}

// Called with m_lock held.
void McuSim::Record(LogEntry&& e) {
    if (m_logFile) {
        std::string line = FormatLogEntry(e);
        line += '\n';
        std::fputs(line.c_str(), m_logFile);
        std::fflush(m_logFile);
    }
    m_log.push_back(std::move(e));
    while (m_log.size() > m_config.logLimit) m_log.pop_front();
    ++m_logTotal;
    m_logCond.notify_all();
}

void McuSim::Run() {
    FrameDecoder decoder;
    BYTE buffer[4096];
    // While nobody has the slave open the master reports a hang-up at once, so it is left out of
    // the wait and looked at every kClosedLookMs.
    bool lineOpen = false;
    for (;;) {
        pollfd fds[3] = {{m_wake, POLLIN, 0}, {lineOpen ? m_master : -1, POLLIN, 0}, {m_control, POLLIN, 0}};
        int r = poll(fds, 3, lineOpen ? -1 : kClosedLookMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        if (fds[2].revents) ServeControl();
        if (!lineOpen) {
            pollfd look{m_master, POLLIN, 0};
            if (poll(&look, 1, 0) < 0) continue;
            if ((look.revents & POLLHUP) && !(look.revents & POLLIN)) continue;
            lineOpen = true;
            fds[1].revents = look.revents;
        }
        if (!(fds[1].revents & POLLIN)) {
            if (fds[1].revents & (POLLHUP | POLLERR)) {
                lineOpen = false;
                decoder.Reset();
                OnLineClosed();
            }
            continue;
        }
        ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) continue;
        if (m_config.takeover && m_config.takeover->Owns()) {
            LoaderBytes(buffer, static_cast<size_t>(n));
            decoder = FrameDecoder();
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            switch (decoder.Push(buffer[i])) {
                case FrameDecoder::Result::Frame:
                    OnFrame(decoder.Payload());
                    if (m_config.takeover && m_config.takeover->Owns()) {
                        // The jump handed the line over: what follows is the loader's.
                        LoaderBytes(buffer + i + 1, static_cast<size_t>(n - i - 1));
                        decoder = FrameDecoder();
                        i = n;
                    }
                    break;
                case FrameDecoder::Result::Bad:
                    OnBadFrame(decoder.Raw(), decoder.Reason());
                    break;
                default:
                    break;
            }
        }
    }
}

// The device closed the port (it stopped, or was killed): to the MCU that is a power cut.
void McuSim::OnLineClosed() {
    LogEntry e;
    e.tick = GetTickCount();
    e.what = "port closed: power lost, output off";
    std::lock_guard<std::mutex> g(m_lock);
    CatchUp();
    m_model.PowerLoss();
    Record(std::move(e));
}

void McuSim::OnBadFrame(const std::vector<BYTE>& raw, const char* reason) {
    LogEntry e;
    e.tick = GetTickCount();
    e.rejected = true;
    e.request = raw;
    e.what = reason;
    std::lock_guard<std::mutex> g(m_lock);
    Record(std::move(e));
}

void McuSim::OnFrame(const std::vector<BYTE>& payload) {
    LogEntry e;
    e.tick = GetTickCount();
    e.request = payload;
    FaultSetup fault;
    std::vector<BYTE> reply;
    {
        std::lock_guard<std::mutex> g(m_lock);
        CatchUp();
        const bool matches = Matches(m_fault, payload);
        McuModel::Handled h;
        if (matches && m_fault.kind == Fault::Silence) {
            // A deaf MCU does nothing; a copy tells what it would have done.
            McuModel probe = m_model;
            h = probe.Handle(payload, reply, e.what);
            reply.clear();
        } else {
            h = m_model.Handle(payload, reply, e.what);
        }
        e.rejected = h == McuModel::Handled::Unknown;
        if (h == McuModel::Handled::Reply && matches) {
            fault = m_fault;
            e.fault = fault.kind;
            if (m_fault.count > 0) --m_fault.count;
        } else if (h == McuModel::Handled::Silent && matches && m_fault.kind == Fault::Silence) {
            e.fault = Fault::Silence;
            if (m_fault.count > 0) --m_fault.count;
        }
        if (fault.kind != Fault::Silence) e.reply = reply;
        if (m_config.takeover && e.what.rfind("GotoLoader", 0) == 0) m_config.takeover->Jump();
        Record(std::move(e));
    }
    if (reply.empty() || fault.kind == Fault::Silence) return;

    std::vector<BYTE> out;
    switch (fault.kind) {
        case Fault::BadChecksum:
            out = EncodeWithChecksum(reply, static_cast<BYTE>(FrameChecksum(reply.data(), reply.size()) + 1));
            break;
        case Fault::LeadingGarbage:
            out = {0x00, 0x55, 0x7F, 0x33, 0x10};
            {
                auto frame = EncodeFrame(reply);
                out.insert(out.end(), frame.begin(), frame.end());
            }
            break;
        case Fault::WrongReply: {
            // A well-formed answer to another command: the keep-alive's, or for a keep-alive the
            // boot-up notice's.
            const bool keepAlive = reply.size() >= 2 && reply[0] == 0x01 && reply[1] == 0x02;
            out = EncodeFrame(keepAlive ? std::vector<BYTE>{0x01, 0x01, 0x01} : std::vector<BYTE>{0x01, 0x02, 0x01});
            break;
        }
        case Fault::Flood:
            out.resize(std::min(fault.floodBytes, kMaxFloodBytes));
            // Line noise without a start byte, so no frame can hide in it.
            for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<BYTE>((i * 37 + 11) & 0x7F);
            break;
        case Fault::Delay:
            if (!Pause(fault.delayMs)) return;
            out = EncodeFrame(reply);
            break;
        case Fault::Truncate:
            reply.resize(std::min(reply.size(), fault.truncateBytes));
            out = EncodeFrame(reply);
            break;
        case Fault::Split: {
            out = EncodeFrame(reply);
            const size_t piece = std::max<size_t>(fault.splitBytes, 1);
            for (size_t at = 0; at < out.size(); at += piece) {
                if (at > 0 && !Pause(fault.splitGapMs)) return;
                if (!SendAll(std::vector<BYTE>(out.begin() + at, out.begin() + std::min(out.size(), at + piece))))
                    return;
            }
            return;
        }
        default:
            out = EncodeFrame(reply);
            break;
    }
    SendAll(out);
}

void McuSim::LoaderBytes(const BYTE* data, size_t n) {
    auto firmware = m_config.takeover->Take(data, n, [this](const std::vector<BYTE>& reply, DWORD delayMs) {
        return (delayMs == 0 || Pause(delayMs)) && SendAll(reply);
    });
    if (!firmware) return;
    std::lock_guard<std::mutex> g(m_lock);
    m_model.SetFirmware(*firmware);
}

// Line time, as the device's reply time-outs.
bool McuSim::Pause(DWORD lineMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(lineMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd w{m_wake, POLLIN, 0};
        int r = poll(&w, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
        if (r > 0) return false;
        if (r < 0 && errno != EINTR) return true;
    }
}

bool McuSim::SendAll(const std::vector<BYTE>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_master, POLLOUT, 0}};
        int r = poll(fds, 2, kWriteStallMs);
        if (r <= 0 || fds[0].revents) return false;
    }
    return true;
}

}  // namespace sim
