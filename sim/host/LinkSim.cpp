#include "sim/LinkSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include <windows.h>
#include "qrx/host.h"
#include "sim/PeerTerminal.h"

namespace sim {
namespace {

constexpr size_t kMaxKept = 4096;  // frames kept for the tests' look
constexpr size_t kMaxLine = 8192;

}  // namespace

std::string LinkFrame(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    char tail[8];
    std::snprintf(tail, sizeof tail, "%02X\r\n", sum & 0xFF);
    return "$QRX," + body + tail;
}

LinkSim::LinkSim(const LinkSimConfig& config) : m_config(config) {}
LinkSim::~LinkSim() { Stop(); }

bool LinkSim::Start() {
    auto fail = [this](const std::string& why) {
        m_error = why;
        Stop();
        return false;
    };
    if (!OpenPeerTerminal(m_master, m_slave, m_slavePath)) return fail("pseudo-terminal");
    if (m_config.hostTerminal && !OpenPeerTerminal(m_hostMaster, m_hostSlave, m_hostPath))
        return fail("host pseudo-terminal");
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) return fail("eventfd");
    if (m_config.port > 0) {
        if (!qrx::SetPortMapping(m_config.port, m_slavePath.c_str()))
            return fail("cannot record COM" + std::to_string(m_config.port) + " in the port map");
        m_mapped = true;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void LinkSim::Stop() {
    StopPeerWorker(m_thread, m_wake);
    if (m_mapped) ReleasePortMapping(m_config.port, m_slavePath);
    m_mapped = false;
    for (int* fd : {&m_master, &m_slave, &m_hostMaster, &m_hostSlave, &m_wake}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void LinkSim::Write(int fd, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size() && fd >= 0) {
        const ssize_t w = write(fd, bytes.data() + at, bytes.size() - at);
        if (w > 0) {
            at += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0) return;
    }
}

void LinkSim::Send(const std::string& bytes, int pieces, int gapMs) {
    const size_t step = std::max<size_t>(1, bytes.size() / static_cast<size_t>(std::max(1, pieces)));
    for (size_t at = 0; at < bytes.size(); at += step) {
        if (at) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        Write(m_master, bytes.substr(at, step));
    }
}

void LinkSim::Run() {
    char buffer[4096];
    for (;;) {
        pollfd fds[3] = {{m_wake, POLLIN, 0}, {m_master, POLLIN, 0}, {m_hostMaster, POLLIN, 0}};
        const int r = poll(fds, m_hostMaster >= 0 ? 3 : 2, 200);
        if (r < 0 && errno != EINTR) return;
        if (r > 0 && fds[0].revents) return;
        if (r > 0 && (fds[1].revents & POLLIN)) {
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                if (m_pending.size() < kMaxLine) m_pending += buffer[i];
                if (buffer[i] != '\n') continue;
                std::string line;
                line.swap(m_pending);
                if (m_hostMaster >= 0) Write(m_hostMaster, line);
                OnDeviceLine(line);
            }
        }
        if (r > 0 && m_hostMaster >= 0 && (fds[2].revents & POLLIN)) {
            const ssize_t n = read(m_hostMaster, buffer, sizeof buffer);
            if (n > 0) Write(m_master, std::string(buffer, static_cast<size_t>(n)));
        }
    }
}

void LinkSim::OnDeviceLine(const std::string& line) {
    int silent, delay, status, volts, amps;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_frames.size() < kMaxKept) m_frames.push_back(line);
        m_cond.notify_all();
        silent = m_silent;
        delay = m_ackDelayMs;
        status = m_status;
        volts = m_volts;
        amps = m_amps;
    }
    if (!m_config.unit || line.size() < 12 || line.compare(0, 6, "$QRX,D") != 0) return;
    const int code = line[6] - '0';
    if (code < 0 || code > 3 || code == silent) return;
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    char body[64];
    if (code == 3) std::snprintf(body, sizeof body, "D3,%03d,%05d,%05d,", status, volts, amps);
    else std::snprintf(body, sizeof body, "D%d,%d,", code, code == 0 ? status : 0);
    Write(m_master, LinkFrame(body));
}

std::vector<std::string> LinkSim::Frames() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_frames;
}

std::vector<std::string> LinkSim::Take() {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<std::string> out;
    out.swap(m_frames);
    return out;
}

size_t LinkSim::Count(const std::string& prefix) const {
    std::lock_guard<std::mutex> g(m_lock);
    const std::string head = "$QRX," + prefix;
    return static_cast<size_t>(std::count_if(m_frames.begin(), m_frames.end(),
                                             [&](const std::string& f) { return f.compare(0, head.size(), head) == 0; }));
}

bool LinkSim::WaitFrame(const std::string& prefix, int timeoutMs) const {
    std::unique_lock<std::mutex> g(m_lock);
    const std::string head = "$QRX," + prefix;
    return m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(m_frames.begin(), m_frames.end(),
                           [&](const std::string& f) { return f.compare(0, head.size(), head) == 0; });
    });
}

void LinkSim::SetSilent(int code) {
    std::lock_guard<std::mutex> g(m_lock);
    m_silent = code;
}

void LinkSim::SetD3Values(int status, int volts, int amps) {
    std::lock_guard<std::mutex> g(m_lock);
    m_status = status;
    m_volts = volts;
    m_amps = amps;
}

void LinkSim::SetAckDelay(int ms) {
    std::lock_guard<std::mutex> g(m_lock);
    m_ackDelayMs = ms;
}

}  // namespace sim
