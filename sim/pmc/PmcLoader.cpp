#include "sim/PmcLoader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "qrx/host.h"

namespace sim {
namespace {

constexpr auto kResyncGap = std::chrono::milliseconds(100);
constexpr DWORD kLoaderVersion = 0x21;
constexpr DWORD kDeviceId = 0x504D4331;  // "1CMP"

DWORD Word(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }
void PutWord(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

WORD Sum(const BYTE* f) {
    WORD s = 0;
    for (size_t i = 0; i < kIapFrameSize; ++i) s = static_cast<WORD>(s + f[i]);
    return s;
}

bool Number(const std::string& text, int& out) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < 0 || v > 1000000) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

bool ParseIapFault(const std::string& fault, IapFaults& f) {
    size_t space = fault.find(' ');
    std::string name = fault.substr(0, space), arg = space == std::string::npos ? "" : fault.substr(space + 1);
    int n = 0;
    if (name == "no-loader" && arg.empty()) return f.noLoader = true;
    if (name == "short-replies" && arg.empty()) return f.shortReplies = true;
    if (!Number(arg, n)) return false;
    if (name == "connect-fails") f.failedConnects = n;
    else if (name == "bad-echo" && n > 0) f.badEchoAt = n;
    else if (name == "bad-sequence" && n > 0) f.badSequenceAt = n;
    else if (name == "lost-frame" && n > 0) f.lostFrameAt = n;
    else if (name == "late") f.lateMs = static_cast<unsigned>(n);
    else if (name == "power-loss" && n > 0) f.powerLossAt = n;
    else return false;
    return true;
}

PmcLoader::PmcLoader(IapFaults faults, std::string stateDir, std::function<void()> powerLoss)
    : m_faults(faults), m_dir(std::move(stateDir)), m_powerLoss(std::move(powerLoss)) {
    if (m_dir.empty()) m_dir = qrx::PlatformStatePath("pmc");
    mkdir(m_dir.c_str(), 0755);
    if (!m_powerLoss)
        m_powerLoss = [] {
            kill(getpid(), SIGKILL);
            for (;;) pause();
        };
    std::ifstream state(m_dir + "/state");
    unsigned long length = 0;
    int complete = 0, holed = 0;
    if (state >> length >> complete >> holed && length <= kPmcProgramMax) {
        std::ifstream program(m_dir + "/program.bin", std::ios::binary);
        m_image.assign(std::istreambuf_iterator<char>(program), std::istreambuf_iterator<char>());
        if (m_image.size() > length) m_image.resize(length);
        m_length = static_cast<DWORD>(length);
        m_complete = complete != 0 && m_image.size() == length;
        m_holed = holed != 0;
        // Power came back over an unfinished image: only the loader can run.
        m_active = !ImageWhole();
    }
}

bool PmcLoader::Owns() { return m_active; }

void PmcLoader::Jump() {
    if (m_faults.noLoader) return;
    m_active = true;
    m_partial.clear();
}

std::optional<std::array<BYTE, 4>> PmcLoader::Firmware() const {
    if (!ImageWhole() || m_image.size() < 4) return std::nullopt;
    return std::array<BYTE, 4>{m_image[0], m_image[1], m_image[2], m_image[3]};
}

std::optional<std::array<BYTE, 4>> PmcLoader::Take(const BYTE* data, size_t n, const Send& send) {
    if (m_dead) return std::nullopt;
    auto now = std::chrono::steady_clock::now();
    // A pause in the middle of a frame loses what came before it.
    if (!m_partial.empty() && now - m_lastByte > kResyncGap) m_partial.clear();
    m_lastByte = now;
    m_taken += n;
    // A jump frame repeated while the loader listens is not the start of a loader frame.
    static const BYTE kJump[] = {0x81, 0x01, 0xFF, 0x00, 0x02, 0xFB, 0x82};
    if (m_partial.empty() && n >= sizeof kJump && std::memcmp(data, kJump, sizeof kJump) == 0) {
        data += sizeof kJump;
        n -= sizeof kJump;
    }
    for (size_t i = 0; i < n; ++i) {
        m_partial.push_back(data[i]);
        if (m_partial.size() < kIapFrameSize) continue;
        bool wasActive = m_active;
        Frame(m_partial.data(), send);
        m_partial.clear();
        if (wasActive && !m_active) return Firmware();
    }
    return std::nullopt;
}

void PmcLoader::Frame(const BYTE* f, const Send& send) {
    DWORD command = Word(f);
    const BYTE* payload = f + 8;
    switch (command) {
        case 0xAE:  // connect
            if (m_connects++ < m_faults.failedConnects) return;
            Reply(f, {}, send, 0);
            return;
        case 0xA4:  // reset: the sequence starts again
            m_nextSequence = Word(payload);
            Reply(f, {}, send, 0);
            return;
        case 0xA6:
            Reply(f, {static_cast<BYTE>(kLoaderVersion)}, send, 0);
            return;
        case 0xB1: {
            std::vector<BYTE> id(4);
            PutWord(id.data(), kDeviceId);
            Reply(f, id, send, 0);
            return;
        }
        case 0xA2: {
            std::vector<BYTE> info(16);
            PutWord(&info[0], static_cast<DWORD>(kPmcProgramMax));
            PutWord(&info[4], m_length);
            PutWord(&info[8], static_cast<DWORD>(m_image.size()));
            PutWord(&info[12], ImageWhole() ? 1 : 0);
            Reply(f, info, send, 0);
            return;
        }
        case 0xFF:
            Reply(f, {}, send, 0);
            return;
        case 0xAD:  // run the application: only a whole image
            Reply(f, {}, send, 0);
            if (ImageWhole()) m_active = false;
            return;
        case 0xA0:
        case 0x00: {
            int k = ++m_dataFrames;
            if (k == m_faults.lostFrameAt) return;
            DWORD sequence = Word(f + 4);
            size_t offset = command == 0xA0 ? 8 : 0;
            if (command == 0xA0) {
                if (Word(payload + 4) > kPmcProgramMax) return;  // no room: no answer
                Erase(Word(payload + 4));
            } else if (sequence != m_nextSequence) {
                m_holed = true;  // a frame went missing in between
                SaveState();
            }
            m_nextSequence = sequence + 2;
            size_t room = kIapFrameSize - 8 - offset;
            size_t left = m_length > m_image.size() ? m_length - m_image.size() : 0;
            size_t take = left < room ? left : room;
            if (k == m_faults.powerLossAt) {
                Append(payload + offset, take / 2);
                m_dead = true;
                m_powerLoss();
                return;
            }
            Append(payload + offset, take);
            Reply(f, {}, send, k);
            return;
        }
        default:
            return;  // not a loader command: no answer
    }
}

void PmcLoader::Reply(const BYTE* request, const std::vector<BYTE>& data, const Send& send, int dataFrame) {
    std::vector<BYTE> reply(kIapFrameSize, 0);
    WORD sum = Sum(request);
    if (dataFrame && dataFrame == m_faults.badEchoAt) sum = static_cast<WORD>(sum + 1);
    reply[0] = static_cast<BYTE>(sum);
    reply[1] = static_cast<BYTE>(sum >> 8);
    DWORD sequence = Word(request + 4) + 1;
    if (dataFrame && dataFrame == m_faults.badSequenceAt) sequence += 4;
    PutWord(&reply[4], sequence);
    if (!data.empty())
        std::memcpy(&reply[8], data.data(), data.size() < kIapFrameSize - 8 ? data.size() : kIapFrameSize - 8);
    if (m_faults.shortReplies) reply.resize(8);
    send(reply, m_faults.lateMs);
}

void PmcLoader::Erase(DWORD length) {
    m_image.clear();
    m_length = length;
    m_complete = length == 0;
    m_holed = false;
    int fd = open((m_dir + "/program.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    SaveState();
}

void PmcLoader::Append(const BYTE* bytes, size_t n) {
    if (n == 0) return;
    m_image.insert(m_image.end(), bytes, bytes + n);
    int fd = open((m_dir + "/program.bin").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t w = write(fd, bytes, n);
        (void)w;
        close(fd);
    }
    if (m_image.size() == m_length && !m_complete) {
        m_complete = true;
        SaveState();
    }
}

void PmcLoader::SaveState() {
    std::string path = m_dir + "/state", tmp = path + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(f, "%u %d %d\n", m_length, m_complete ? 1 : 0, m_holed ? 1 : 0);
        std::fclose(f);
        std::rename(tmp.c_str(), path.c_str());
    }
}

void AttachPmcLoader(McuSimConfig& config, PmcLoader& loader) {
    if (auto fw = loader.Firmware()) config.mcu.firmware = *fw;
    config.takeover = &loader;
}

}  // namespace sim
