// The simulated Bluetooth module: one thread reads the device's bytes from the terminal, answers AT
// commands, watches the reset and pairing lines and brings the host's link up and down.
#include "sim/BtSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "qrx/boardapi.h"
#include "qrx/host.h"
#include "sim/PeerTerminal.h"

namespace sim {
namespace {

constexpr DWORD kPinPairing = 82, kPinConnected = 83, kPinReset = 84;
constexpr int kWatchMs = 20;         // how often the pins and a waiting host are looked at
constexpr DWORD kRedialMs = 1500;    // a host the module hung up on tries again this much later
constexpr int kWriteStallMs = 1000;  // a reader that takes nothing for this long loses the rest
constexpr size_t kMaxCommand = 512;
constexpr size_t kMaxDataLine = 4096;
constexpr size_t kMaxKept = 1 << 20;  // bytes kept for the tests' look at the wire
constexpr long kByteNs = 1041667;     // one byte at 9600 baud, 10 bits

const char* const kOkCommands[] = {"+++",
                                   "AT+TYPE=0",
                                   "AT+BIND=1",
                                   "AT+AUTH=0",
                                   "AT+FLOWCONTROL=0",
                                   "AT+SCANTIME=1024,512,1024,512",
                                   "AT+SNIFF=0,0,0,0",
                                   "ATH",
                                   "AT+BTCANCEL",
                                   "ATZ",
                                   "AT+BTINFO?",
                                   "AT+BTSCAN"};

void WriteAll(int fd, const char* data, size_t n) {
    while (n > 0 && fd >= 0) {
        ssize_t w = write(fd, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kWriteStallMs) <= 0) return;
    }
}

bool SameAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string Shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string Noise(size_t n) {
    static unsigned seed = 12345;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        char c = static_cast<char>((seed >> 16) & 0xFF);
        s += c == '\n' || c == '$' ? '#' : c;
    }
    return s;
}

}  // namespace

bool ParseBtType(const char* text, BtType& out) {
    if (!text) return false;
    if (strcasecmp(text, "btm4504c1x") == 0)
        out = BtType::Btm4504c1x;
    else if (strcasecmp(text, "bcd100") == 0)
        out = BtType::Bcd100;
    else
        return false;
    return true;
}

std::string FormatBtLogEntry(const BtLogEntry& e) {
    char head[32];
    std::snprintf(head, sizeof head, "[%10u] %c ", e.tick, static_cast<char>(e.kind));
    std::string s = head + Shown(e.text);
    if (!e.reply.empty()) s += " -> " + Shown(e.reply);
    return s;
}

BtSim::BtSim(const BtSimConfig& config) : m_config(config) {}

BtSim::~BtSim() { Stop(); }

bool BtSim::Start() {
    if (m_thread.joinable()) return false;
    auto fail = [this](const std::string& why) {
        m_error = why + (errno ? std::string(": ") + std::strerror(errno) : std::string());
        Stop();
        return false;
    };
    errno = 0;
    if (m_config.port < 0 || m_config.port > 9) return fail("port must be 1 to 9 (0: no port-map entry)");
    if (!OpenPeerTerminal(m_master, m_slave, m_slavePath)) return fail("pseudo-terminal");
    if (m_config.hostTerminal && !OpenPeerTerminal(m_hostMaster, m_hostSlave, m_hostPath))
        return fail("host pseudo-terminal");
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) return fail("eventfd");
    if (!m_config.logFile.empty() && !(m_logFile = std::fopen(m_config.logFile.c_str(), "ae")))
        return fail("cannot open the log file " + m_config.logFile);
    if (m_config.port > 0) {
        if (!qrx::SetPortMapping(m_config.port, m_slavePath.c_str()))
            return fail("cannot record COM" + std::to_string(m_config.port) + " in the port map");
        m_mapped = true;
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_wantLink = m_config.autoConnect;
        SetLink(false, nullptr);
        m_inReset = qrx::GpioPinLevel(kPinReset) != 0;
        m_pairing = qrx::GpioPinLevel(kPinPairing);
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void BtSim::Stop() {
    StopPeerWorker(m_thread, m_wake);
    if (m_mapped) ReleasePortMapping(m_config.port, m_slavePath);
    m_mapped = false;
    for (int* fd : {&m_master, &m_slave, &m_wake, &m_hostMaster, &m_hostSlave}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (m_logFile) std::fclose(m_logFile);
    m_logFile = nullptr;
}

void BtSim::Run() {
    char buffer[4096];
    for (;;) {
        pollfd fds[3] = {{m_wake, POLLIN, 0}, {m_master, POLLIN, 0}, {m_hostMaster, POLLIN, 0}};
        int r = poll(fds, m_hostMaster >= 0 ? 3 : 2, kWatchMs);
        if (r < 0 && errno != EINTR) return;
        if (r > 0 && fds[0].revents) return;
        std::lock_guard<std::mutex> g(m_lock);
        // The pins are files: looked at every kWatchMs, not on every byte that comes.
        if (qrx::LineTickCount() - m_watchedLine >= static_cast<DWORD>(kWatchMs)) {
            m_watchedLine = qrx::LineTickCount();
            WatchPins();
        }
        if (r > 0 && (fds[1].revents & POLLIN)) {
            ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n > 0) OnDeviceBytes(buffer, static_cast<size_t>(n));
        }
        if (r > 0 && m_hostMaster >= 0 && (fds[2].revents & POLLIN)) {
            ssize_t n = read(m_hostMaster, buffer, sizeof buffer);
            if (n > 0 && m_connected) RelayToDevice(std::string(buffer, static_cast<size_t>(n)));
        }
        TryConnect();
    }
}

// Called with m_lock held.
void BtSim::WatchPins() {
    const bool reset = qrx::GpioPinLevel(kPinReset) != 0;
    const DWORD pairing = qrx::GpioPinLevel(kPinPairing);
    if (reset != m_inReset) {
        m_inReset = reset;
        Record(BtLogEntry::Pin, reset ? "84=1 reset held" : "84=0 reset released");
        if (reset) {
            SetLink(false, "reset");
            m_commandMode = false;
            m_pending.clear();
        }
    }
    if (pairing != m_pairing) {
        m_pairing = pairing;
        Record(BtLogEntry::Pin, pairing ? "82=1 pairing on" : "82=0 pairing off");
    }
}

bool BtSim::Allowed() const {
    if (m_inReset) return false;
    if (m_config.type == BtType::Btm4504c1x) return m_pairing != 0 && SameAddress(m_raddr, m_config.hostAddr);
    return m_mode == 3 || m_scanAny || SameAddress(m_scanAddr, m_config.hostAddr);
}

void BtSim::TryConnect() {
    if (!m_wantLink || m_connected || !Allowed()) return;
    if (m_hangupLine != 0 && qrx::LineTickCount() - m_hangupLine < kRedialMs) return;
    SetLink(true, "host connected");
}

void BtSim::SetLink(bool up, const char* why) {
    const bool btm = m_config.type == BtType::Btm4504c1x;
    if (why && up == m_connected) return;
    m_connected = up;
    m_commandMode = false;
    m_pending.clear();
    if (!up) m_hangupLine = qrx::LineTickCount();
    const DWORD level = up == btm ? 1 : 0;
    qrx::SetGpioPinLevel(kPinConnected, level, true);
    if (why) Record(BtLogEntry::Link, why, level ? "83=1" : "83=0");
}

void BtSim::OnDeviceBytes(const char* data, size_t n) {
    if (m_deviceBytes.size() + n <= kMaxKept) m_deviceBytes.append(data, n);
    if (m_inReset || m_deaf) return;
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (m_connected && !m_commandMode) {
            m_pending += c;
            if (c != '\n' && m_pending.size() < kMaxDataLine) continue;
            if (m_pending == "+++\r\n") {
                m_commandMode = true;
                Record(BtLogEntry::Command, "+++\r", "OK\r\n");
                WriteDevice("OK\r\n");
            } else {
                Record(BtLogEntry::ToHost, m_pending);
                WriteHost(m_pending);
            }
            m_pending.clear();
            continue;
        }
        if (c == '\n' && m_pending.empty()) continue;
        if (c != '\r') {
            if (m_pending.size() < kMaxCommand) m_pending += c;
            continue;
        }
        std::string command;
        command.swap(m_pending);
        OnCommand(command);
    }
}

// Called with m_lock held; `command` without its CR.
void BtSim::OnCommand(const std::string& command) {
    const bool btm = m_config.type == BtType::Btm4504c1x;
    std::string reply = "OK\r\n";
    auto startsWith = [&command](const char* head) { return command.rfind(head, 0) == 0; };
    auto isAddress = [](const std::string& s) {
        return s.size() == 12 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
    };
    if (command == "AT+NAME?") {
        reply = btm ? "+NAME:BTM4504C1X\r\nOK\r\n" : "+NAME:BCD100\r\nOK\r\n";
    } else if (startsWith("AT+RADDR=") && isAddress(command.substr(9))) {
        m_raddr = command.substr(9);
    } else if (startsWith("AT+BTNAME=\"") && command.size() > 12 && command.back() == '"') {
    } else if (command == "AT+BTMODE0" || command == "AT+BTMODE3") {
        m_mode = command.back() - '0';
    } else if (startsWith("AT+BTSCAN") && command.size() == 23 && isAddress(command.substr(9, 12)) &&
               command.compare(21, 2, ",0") == 0) {
        m_scanAddr = command.substr(9, 12);
        m_scanAny = false;
    } else if (std::find(std::begin(kOkCommands), std::end(kOkCommands), command) != std::end(kOkCommands)) {
        if (command == "+++") m_commandMode = m_connected;
        if (command == "AT+BTSCAN") m_scanAny = true;
        if (command == "ATH" || command == "ATZ") SetLink(false, command == "ATH" ? "hang-up" : "module reset");
    } else {
        reply = "ERROR\r\n";
    }
    Record(BtLogEntry::Command, command + "\r", reply);
    WriteDevice(reply);
}

void BtSim::Record(BtLogEntry::Kind kind, const std::string& text, const std::string& reply) {
    BtLogEntry e;
    e.tick = GetTickCount();
    e.kind = kind;
    e.text = text;
    e.reply = reply;
    if (m_logFile) {
        std::fputs((FormatBtLogEntry(e) + "\n").c_str(), m_logFile);
        std::fflush(m_logFile);
    }
    if (m_log.size() < 100000) m_log.push_back(std::move(e));
}

void BtSim::WriteDevice(const std::string& bytes) {
    if (!m_config.pace) {
        WriteAll(m_master, bytes.data(), bytes.size());
        return;
    }
    for (char c : bytes) {
        WriteAll(m_master, &c, 1);
        timespec t{0, kByteNs};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }
}

void BtSim::WriteHost(const std::string& bytes) {
    if (m_toHost.size() + bytes.size() <= kMaxKept) m_toHost += bytes;
    m_hostCond.notify_all();
    if (m_hostMaster >= 0) WriteAll(m_hostMaster, bytes.data(), bytes.size());
}

// Called with m_lock held; the faults set for the next line apply here.
void BtSim::RelayToDevice(const std::string& bytes) {
    std::string out = bytes;
    if (m_garbage > 0) {
        if (m_garbageInside)
            out.insert(out.size() / 2, Noise(m_garbage));
        else
            out.insert(0, Noise(m_garbage) + "\n");
        m_garbage = 0;
    }
    Record(BtLogEntry::ToDevice, out);
    if (m_split > 1) {
        const size_t pieces = static_cast<size_t>(m_split);
        m_split = 0;
        const size_t step = std::max<size_t>(1, out.size() / pieces);
        for (size_t at = 0; at < out.size(); at += step) {
            WriteAll(m_master, out.data() + at, std::min(step, out.size() - at));
            // Long enough for the device's reader to take each piece on its own.
            usleep(20000);
        }
        return;
    }
    WriteDevice(out);
}

void BtSim::HostConnect() {
    std::lock_guard<std::mutex> g(m_lock);
    m_wantLink = true;
    m_hangupLine = 0;
    TryConnect();
}

void BtSim::HostDrop() {
    std::lock_guard<std::mutex> g(m_lock);
    m_wantLink = false;
    SetLink(false, "host lost");
    m_wantLink = m_config.autoConnect;
}

bool BtSim::HostConnected() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_connected;
}

bool BtSim::HostSend(const std::string& bytes) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_connected) return false;
    RelayToDevice(bytes);
    return true;
}

std::string BtSim::HostTake() {
    std::lock_guard<std::mutex> g(m_lock);
    std::string s;
    s.swap(m_toHost);
    return s;
}

bool BtSim::WaitHost(const std::string& text, int timeoutMs) const {
    std::unique_lock<std::mutex> g(m_lock);
    return m_hostCond.wait_for(g, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_toHost.find(text) != std::string::npos; });
}

std::string BtSim::HostPeek() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_toHost;
}

void BtSim::SetDeaf(bool deaf) {
    std::lock_guard<std::mutex> g(m_lock);
    m_deaf = deaf;
}

void BtSim::InjectGarbage(size_t n, bool insideLine) {
    std::lock_guard<std::mutex> g(m_lock);
    m_garbage = n;
    m_garbageInside = insideLine;
}

void BtSim::InjectSplit(int pieces) {
    std::lock_guard<std::mutex> g(m_lock);
    m_split = pieces;
}

bool BtSim::Flood(size_t n) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_connected) return false;
    Record(BtLogEntry::ToDevice, "(flood of " + std::to_string(n) + " bytes)");
    const std::string noise = Noise(n);
    WriteAll(m_master, noise.data(), noise.size());
    return true;
}

std::string BtSim::DeviceBytes() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_deviceBytes;
}

std::vector<BtLogEntry> BtSim::Log() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_log;
}

std::vector<std::string> BtSim::Commands() const {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<std::string> out;
    for (const BtLogEntry& e : m_log)
        if (e.kind == BtLogEntry::Command) out.push_back(e.text);
    return out;
}

int BtSim::Mode() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_mode;
}

}  // namespace sim
