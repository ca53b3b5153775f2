// The simulated MCU as the device meets it: frames on a pseudo-terminal, byte for byte.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "sim/McuSim.h"

namespace {

using Bytes = std::vector<BYTE>;

// The device's end of the line: a raw file descriptor on the slave side.
class Line {
public:
    explicit Line(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (m_fd >= 0 && tcgetattr(m_fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~Line() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }

    void Write(const Bytes& b) { ASSERT_EQ(write(m_fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

    // Next whole frame (0x81 .. 0x82); bytes ahead of its start go to `before`. Empty on time-out.
    Bytes ReadFrame(Bytes* before = nullptr, int timeoutMs = 5000) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t start = 0;
            while (start < m_pending.size() && m_pending[start] != 0x81) ++start;
            for (size_t end = start + 1; end < m_pending.size(); ++end) {
                if (m_pending[end] == 0x82) {
                    if (before) before->assign(m_pending.begin(), m_pending.begin() + start);
                    Bytes frame(m_pending.begin() + start, m_pending.begin() + end + 1);
                    m_pending.erase(m_pending.begin(), m_pending.begin() + end + 1);
                    return frame;
                }
            }
            if (!Fill(until)) return {};
        }
    }

    // Exactly n bytes, or fewer on time-out.
    Bytes ReadBytes(size_t n, int timeoutMs = 5000) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_pending.size() < n && Fill(until)) {
        }
        size_t k = std::min(n, m_pending.size());
        Bytes out(m_pending.begin(), m_pending.begin() + k);
        m_pending.erase(m_pending.begin(), m_pending.begin() + k);
        return out;
    }

    Bytes Transact(const Bytes& request) {
        Write(request);
        return ReadFrame();
    }

private:
    bool Fill(std::chrono::steady_clock::time_point until) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        BYTE buf[512];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0) return false;
        m_pending.insert(m_pending.end(), buf, buf + n);
        return true;
    }

    int m_fd = -1;
    Bytes m_pending;
};

// Payload of a frame by the protocol's rule, without its checksum; empty when the checksum is wrong.
Bytes Unframe(const Bytes& f) {
    Bytes p;
    for (size_t i = 1; i + 1 < f.size(); ++i) p.push_back(f[i] == 0x80 ? static_cast<BYTE>(f[++i] | 0x80) : f[i]);
    unsigned sum = 0x03;
    for (BYTE b : p) sum += b;
    if (p.empty() || (sum & 0xFF) != 0) return {};
    p.pop_back();
    return p;
}

int Field16(const Bytes& statusPayload, size_t offset) {
    return static_cast<int16_t>(statusPayload[2 + offset] | (statusPayload[3 + offset] << 8));
}
unsigned FieldU16(const Bytes& statusPayload, size_t offset) {
    return static_cast<WORD>(statusPayload[2 + offset] | (statusPayload[3 + offset] << 8));
}

const Bytes kStatusRequest{0x81, 0x02, 0x02, 0x00, 0x01, 0xF8, 0x82};
const Bytes kKeepAlive{0x81, 0x01, 0x01, 0x02, 0x01, 0xF8, 0x82};
const Bytes kKeepAliveReply{0x81, 0x01, 0x02, 0x01, 0xF9, 0x82};
const Bytes kFwRequest{0x81, 0x02, 0xFF, 0x01, 0x01, 0xFA, 0x82};

class McuWireTest : public DeviceRootTest {
protected:
    void Begin(sim::McuSimConfig config = {}) {
        config.port = 0;
        mcu = std::make_unique<sim::McuSim>(config);
        ASSERT_TRUE(mcu->Start()) << mcu->Error();
        line = std::make_unique<Line>(mcu->SlavePath());
        ASSERT_TRUE(line->Ok());
    }
    std::unique_ptr<sim::McuSim> mcu;
    std::unique_ptr<Line> line;
};

TEST(McuFrame, EncodesEscapesAndRejectsBadFrames) {
    EXPECT_EQ(sim::EncodeFrame(Bytes{0x02, 0x02, 0x00, 0x01}), kStatusRequest);
    EXPECT_EQ(sim::EncodeFrame(Bytes{0x01, 0xFF, 0x00, 0x02}), (Bytes{0x81, 0x01, 0xFF, 0x00, 0x02, 0xFB, 0x82}));
    EXPECT_EQ(sim::EncodeFrame(Bytes{0x85}), (Bytes{0x81, 0x80, 0x05, 0x78, 0x82}));
    EXPECT_EQ(sim::EncodeFrame(Bytes{0x73}), (Bytes{0x81, 0x73, 0x80, 0x0A, 0x82}));  // checksum 0x8A

    auto feed = [](sim::FrameDecoder& d, const Bytes& bytes, Bytes& payload, std::string& reason) {
        int frames = 0, bad = 0;
        for (BYTE b : bytes) {
            auto r = d.Push(b);
            if (r == sim::FrameDecoder::Result::Frame) ++frames, payload = d.Payload();
            if (r == sim::FrameDecoder::Result::Bad) ++bad, reason = d.Reason();
        }
        return std::make_pair(frames, bad);
    };
    sim::FrameDecoder d;
    Bytes payload;
    std::string reason;
    // Garbage ahead and a broken start before the real one are passed over.
    auto r = feed(d, {0x11, 0x82, 0x81, 0x01, 0x81, 0x01, 0x02, 0x11, 0x80, 0x05, 0x03, 0x61, 0x82}, payload, reason);
    EXPECT_EQ(r, std::make_pair(1, 0));
    EXPECT_EQ(payload, (Bytes{0x01, 0x02, 0x11, 0x85, 0x03}));
    EXPECT_EQ(feed(d, {0x81, 0x82}, payload, reason), std::make_pair(0, 1));
    EXPECT_EQ(feed(d, {0x81, 0x01, 0x80, 0x82}, payload, reason), std::make_pair(0, 1));
    EXPECT_EQ(feed(d, {0x81, 0x02, 0x02, 0x00, 0x01, 0xF7, 0x82}, payload, reason), std::make_pair(0, 1));
    EXPECT_EQ(reason, "bad checksum");
    EXPECT_EQ(feed(d, {0x81, 0xFD, 0x82}, payload, reason), std::make_pair(0, 1));  // checksum only
    Bytes huge{0x81};
    huge.insert(huge.end(), 2000, 0x01);
    huge.push_back(0x82);
    EXPECT_EQ(feed(d, huge, payload, reason), std::make_pair(0, 1));
    EXPECT_EQ(feed(d, kKeepAlive, payload, reason), std::make_pair(1, 0));
}

TEST_F(McuWireTest, AnswersEveryCommandByteForByte) {
    sim::McuSimConfig config;
    config.mcu.firmware = {242, 0, 1, 0x85};
    Begin(config);
    const std::vector<std::pair<Bytes, Bytes>> exchanges = {
        {{0x81, 0x01, 0x01, 0x01, 0x01, 0xF9, 0x82}, {0x81, 0x01, 0x01, 0x01, 0xFA, 0x82}},
        {kKeepAlive, kKeepAliveReply},
        {{0x81, 0x01, 0x01, 0x03, 0x02, 0xF6, 0x82}, {0x81, 0x01, 0x03, 0x02, 0xF7, 0x82}},
        {{0x81, 0x01, 0x02, 0x10, 0xA0, 0x05, 0x45, 0x82}, {0x81, 0x02, 0x10, 0xA0, 0x05, 0x46, 0x82}},
        {{0x81, 0x01, 0x02, 0x11, 0x80, 0x05, 0x03, 0x61, 0x82}, {0x81, 0x02, 0x11, 0x80, 0x05, 0x03, 0x62, 0x82}},
        {{0x81, 0x01, 0x02, 0x12, 0x40, 0x06, 0xA2, 0x82}, {0x81, 0x02, 0x12, 0x40, 0x06, 0xA3, 0x82}},
        {{0x81, 0x01, 0x02, 0x13, 0xB8, 0x0B, 0x24, 0x82}, {0x81, 0x02, 0x13, 0xB8, 0x0B, 0x25, 0x82}},
        {{0x81, 0x01, 0x02, 0x14, 0x01, 0xE5, 0x82}, {0x81, 0x02, 0x14, 0x01, 0xE6, 0x82}},
        {{0x81, 0x01, 0x02, 0x15, 0x00, 0xE5, 0x82}, {0x81, 0x02, 0x15, 0x00, 0xE6, 0x82}},
        {{0x81, 0x01, 0x02, 0x16, 0x01, 0xE3, 0x82}, {0x81, 0x02, 0x16, 0x01, 0xE4, 0x82}},
        {{0x81, 0x01, 0x02, 0x18, 0x80, 0x08, 0x13, 0x47, 0x82}, {0x81, 0x02, 0x18, 0x80, 0x08, 0x13, 0x48, 0x82}},
        {{0x81, 0x01, 0x02, 0x19, 0x01, 0xE0, 0x82}, {0x81, 0x02, 0x19, 0x01, 0xE1, 0x82}},
        {{0x81, 0x01, 0x02, 0x1A, 0x00, 0xE0, 0x82}, {0x81, 0x02, 0x1A, 0x00, 0xE1, 0x82}},
        {kFwRequest, {0x81, 0xFF, 0x01, 0xF2, 0x00, 0x01, 0x80, 0x05, 0x80, 0x05, 0x82}},
    };
    for (const auto& [request, reply] : exchanges) EXPECT_EQ(line->Transact(request), reply);

    Bytes status = Unframe(line->Transact(kStatusRequest));
    ASSERT_EQ(status.size(), 24u);
    EXPECT_EQ(status[0], 0x02);
    EXPECT_EQ(status[1], 0x00);

    auto s = mcu->Snapshot();
    EXPECT_EQ(s.set.volts, 1440);
    EXPECT_EQ(s.set.amps, 0x0385);
    EXPECT_EQ(s.set.cutVolts, 1600);
    EXPECT_EQ(s.set.cutAmps, 3000);
    EXPECT_EQ(s.set.tempLimit, 5000);
    EXPECT_EQ(s.set.direction, 1);
    EXPECT_EQ(s.set.flag19, 1);
    EXPECT_TRUE(s.set.bootupComplete);
    EXPECT_EQ(s.set.keepAlives, 1u);
    EXPECT_EQ(s.set.lastOperation, 2);

    // The upgrader's jump to the loader is taken without a reply.
    line->Write({0x81, 0x01, 0xFF, 0x00, 0x02, 0xFB, 0x82});
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);
    EXPECT_TRUE(mcu->Snapshot().set.gotoLoader);
}

TEST_F(McuWireTest, StatusRecordCarriesMeasurementsAndStateBits) {
    Begin();
    // Charge at 5 A with the output on.
    for (const Bytes& p : {Bytes{0x01, 0x02, 0x10, 0xA0, 0x05}, Bytes{0x01, 0x02, 0x11, 0xF4, 0x01},
                           Bytes{0x01, 0x02, 0x14, 0x00}, Bytes{0x01, 0x02, 0x19, 0x01}, Bytes{0x01, 0x02, 0x15, 0x01}})
        ASSERT_FALSE(line->Transact(sim::EncodeFrame(p)).empty());
    Bytes st = Unframe(line->Transact(kStatusRequest));
    ASSERT_EQ(st.size(), 24u);
    EXPECT_GT(FieldU16(st, 0), 1200u);
    EXPECT_LT(FieldU16(st, 0), 1440u);
    EXPECT_EQ(FieldU16(st, 2), 500u);
    EXPECT_NEAR(Field16(st, 4), 2500, 50);
    EXPECT_EQ(st[22], 0x01 | 0x04 | (2 << 3) | 0x40);  // charge, start, 60 Hz, sensor present
    EXPECT_EQ(st[23], 0x00);

    // Pause, 50 Hz, reversed battery.
    ASSERT_FALSE(line->Transact(sim::EncodeFrame(Bytes{0x01, 0x02, 0x16, 0x00})).empty());
    mcu->SetFrequencyCode(1);
    mcu->SetConnection(sim::Connection::Reversed);
    st = Unframe(line->Transact(kStatusRequest));
    ASSERT_EQ(st.size(), 24u);
    EXPECT_EQ(FieldU16(st, 0), 0u);
    EXPECT_EQ(FieldU16(st, 2), 0u);
    EXPECT_EQ(st[22] & 0x1E, 0x02 | 0x04 | (1 << 3));
    EXPECT_EQ(st[23] & 0x03, 2);
    mcu->SetConnection(sim::Connection::NotConnected);
    st = Unframe(line->Transact(kStatusRequest));
    EXPECT_EQ(st[23] & 0x03, 1);
}

TEST_F(McuWireTest, BadAndUnknownRequestsAreIgnored) {
    Begin();
    Bytes junk{0x33, 0x44};
    for (const Bytes& bad : {Bytes{0x81, 0x82}, Bytes{0x81, 0x01, 0x80, 0x82},
                             Bytes{0x81, 0x01, 0x01, 0x02, 0x01, 0xF7, 0x82},           // checksum
                             sim::EncodeFrame(Bytes{0x01, 0x02, 0x77, 0x00}),           // unknown code
                             sim::EncodeFrame(Bytes{0x01, 0x02, 0x10, 0x05}),           // short argument
                             sim::EncodeFrame(Bytes{0x01, 0x02, 0x15, 0x01, 0x00})}) {  // long argument
        line->Write(junk);
        line->Write(bad);
    }
    // The first reply that comes is the good request's.
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);
    auto log = mcu->Log();
    ASSERT_EQ(log.size(), 7u);
    for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(log[i].rejected) << i;
    EXPECT_FALSE(log[6].rejected);
    EXPECT_EQ(mcu->Snapshot().set.volts, 0);
    EXPECT_EQ(mcu->Snapshot().set.output, 0);
}

TEST_F(McuWireTest, InjectedFaultsSpoilReplies) {
    Begin();
    // Silence: the command is neither carried out nor answered.
    mcu->InjectFault({sim::Fault::Silence, 1});
    line->Write(sim::EncodeFrame(Bytes{0x01, 0x02, 0x15, 0x01}));
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);
    EXPECT_EQ(mcu->Snapshot().set.output, 0);

    // Bad checksum: right bytes, checksum off by one.
    mcu->InjectFault({sim::Fault::BadChecksum, 1});
    EXPECT_EQ(line->Transact(kKeepAlive), (Bytes{0x81, 0x01, 0x02, 0x01, 0xFA, 0x82}));

    // Leading garbage before a good frame.
    mcu->InjectFault({sim::Fault::LeadingGarbage, 1});
    line->Write(kKeepAlive);
    Bytes before;
    EXPECT_EQ(line->ReadFrame(&before), kKeepAliveReply);
    EXPECT_FALSE(before.empty());

    // Another command's reply, limited to the status poll and to two replies.
    sim::FaultSetup wrong{sim::Fault::WrongReply, 2};
    wrong.group = 0x02;
    wrong.code = 0x00;
    mcu->InjectFault(wrong);
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);
    for (int i = 0; i < 2; ++i) {
        Bytes p = Unframe(line->Transact(kStatusRequest));
        ASSERT_GE(p.size(), 2u);
        EXPECT_NE(p[0] << 8 | p[1], 0x0200);
    }
    EXPECT_EQ(Unframe(line->Transact(kStatusRequest)).size(), 24u);

    // Delay past the link's 600 ms.
    sim::FaultSetup delay{sim::Fault::Delay, 1};
    delay.delayMs = 700;
    mcu->InjectFault(delay);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::nanoseconds(qrx::DeviceMsToRealNs(600)));

    // Flood: noise without a frame, then normal service.
    sim::FaultSetup flood{sim::Fault::Flood, 1};
    flood.floodBytes = 3000;
    mcu->InjectFault(flood);
    line->Write(kKeepAlive);
    Bytes noise = line->ReadBytes(3000);
    ASSERT_EQ(noise.size(), 3000u);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), 0x81), 0);
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);

    // Until cleared.
    mcu->InjectFault({sim::Fault::BadChecksum, -1});
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Unframe(line->Transact(kKeepAlive)).empty());
    mcu->ClearFault();
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);

    auto log = mcu->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].fault, sim::Fault::Silence);
    EXPECT_TRUE(log[0].reply.empty());
    EXPECT_EQ(log[2].fault, sim::Fault::BadChecksum);
}

// A reply cut short still closes with a fitting checksum; a split one arrives whole in pieces.
TEST_F(McuWireTest, TruncatedAndSplitRepliesStayFrames) {
    Begin();
    const Bytes read = sim::EncodeFrame(Bytes{0x01, 0x03, 0x07});
    std::string reply;
    ASSERT_TRUE(sim::ControlCommand(*mcu, "truncate 5 1", reply)) << reply;
    Bytes cut = Unframe(line->Transact(read));
    ASSERT_EQ(cut.size(), 5u);
    EXPECT_EQ(cut[1], 0x07);
    EXPECT_EQ(Unframe(line->Transact(read)).size(), 16u);

    sim::FaultSetup split{sim::Fault::Split, 1};
    split.splitBytes = 4;
    split.splitGapMs = 30;
    mcu->InjectFault(split);
    auto t0 = std::chrono::steady_clock::now();
    Bytes whole = line->Transact(read);
    // 03 07 with its escapes is at least 20 bytes: five pieces, four gaps.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4 * 30));
    EXPECT_EQ(Unframe(whole).size(), 16u);
    EXPECT_FALSE(sim::ControlCommand(*mcu, "split 0", reply));
}

TEST_F(McuWireTest, ForcedTemperaturesAndLimitBits) {
    Begin();
    ASSERT_FALSE(line->Transact(sim::EncodeFrame(Bytes{0x01, 0x02, 0x18, 0x88, 0x13})).empty());  // 50.00
    mcu->SetTemperatureOverride(sim::Sensor::Battery, 60.5);
    mcu->SetTemperatureOverride(sim::Sensor::Transformer, 121.0);
    mcu->SetTemperatureOverride(sim::Sensor::Heatsink, 327.67);
    Bytes st = Unframe(line->Transact(kStatusRequest));
    ASSERT_EQ(st.size(), 24u);
    EXPECT_EQ(Field16(st, 4), 6050);
    EXPECT_EQ(Field16(st, 6), 12100);
    EXPECT_EQ(Field16(st, 8), 32767);
    EXPECT_EQ(st[23] & 0x10, 0x10);
    mcu->SetTemperatureOverride(sim::Sensor::Battery, -5.0);
    st = Unframe(line->Transact(kStatusRequest));
    EXPECT_EQ(Field16(st, 4), -500);
    EXPECT_EQ(st[23] & 0x10, 0);
    mcu->SetTemperatureOverride(sim::Sensor::Battery, std::nullopt);
    st = Unframe(line->Transact(kStatusRequest));
    EXPECT_NEAR(Field16(st, 4), 2500, 50);
}

TEST_F(McuWireTest, ControlSocketSetsFaultsForTheirPolls) {
    sim::McuSimConfig config;
    config.controlSocket = sim::ControlSocketPath(7);
    Begin(config);
    std::string reply;
    auto send = [&](const std::string& command) {
        return sim::SendControlCommand(config.controlSocket, command, reply);
    };
    ASSERT_TRUE(send("silence 2")) << reply;
    ASSERT_TRUE(send("transformer 120.01 3")) << reply;
    ASSERT_TRUE(send("battery reversed 1")) << reply;
    line->Write(kStatusRequest);
    line->Write(kStatusRequest);
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);  // both polls went unanswered
    Bytes st = Unframe(line->Transact(kStatusRequest));
    ASSERT_EQ(st.size(), 24u);
    EXPECT_EQ(Field16(st, 6), 12001);
    EXPECT_EQ(st[23] & 3, 2);
    st = Unframe(line->Transact(kStatusRequest));
    EXPECT_EQ(st[23] & 3, 0);

    ASSERT_TRUE(send("volts 160.5")) << reply;
    ASSERT_TRUE(send("mains 50")) << reply;
    ASSERT_TRUE(send("cutoff voltage")) << reply;
    st = Unframe(line->Transact(kStatusRequest));
    EXPECT_EQ(FieldU16(st, 0), 16050u);
    EXPECT_EQ((st[22] >> 3) & 3, 1);
    EXPECT_EQ((st[23] >> 2) & 3, 1);
    EXPECT_EQ(Field16(st, 6), 12001);  // the third poll of the transformer
    ASSERT_TRUE(send("clear")) << reply;
    st = Unframe(line->Transact(kStatusRequest));
    EXPECT_LT(FieldU16(st, 0), 1500u);
    EXPECT_EQ((st[22] >> 3) & 3, 2);
    EXPECT_EQ((st[23] >> 2) & 3, 1);  // a latched cut-off waits for the device

    for (const char* bad : {"", "silence", "silence -1", "battery upside-down", "transformer hot", "volts 700",
                            "mains 55", "cutoff", "transformer 90 2 3", "explode"}) {
        EXPECT_FALSE(send(bad)) << bad;
        EXPECT_NE(reply, "ok") << bad;
    }
    EXPECT_FALSE(sim::SendControlCommand(sim::ControlSocketPath(8), "clear", reply));
    EXPECT_NE(reply.find("no simulated MCU"), std::string::npos) << reply;
    mcu->Stop();
    EXPECT_FALSE(std::ifstream(config.controlSocket).good());
}

// The device's port closing (the program stopped or killed) is a power cut to the MCU: the output
// goes off and the set values are gone; the battery, which the simulator holds, keeps its charge for
// the next program, and the control socket reports it.
TEST_F(McuWireTest, PortCloseCutsThePowerAndTheBatteryStays) {
    sim::McuSimConfig config;
    config.controlSocket = sim::ControlSocketPath(7);
    config.mcu.battery.stateOfCharge = 0.2;
    Begin(config);
    for (const Bytes& p : {Bytes{0x01, 0x02, 0x10, 0xA0, 0x05}, Bytes{0x01, 0x02, 0x11, 0x58, 0x02},
                           Bytes{0x01, 0x02, 0x19, 0x00}, Bytes{0x01, 0x02, 0x15, 0x01}})
        ASSERT_FALSE(line->Transact(sim::EncodeFrame(p)).empty());
    mcu->Advance(3600);
    ASSERT_TRUE(mcu->Snapshot().delivering);
    const size_t logged = mcu->Log().size();
    line.reset();
    ASSERT_TRUE(mcu->WaitForLog(logged + 1, 5000));
    EXPECT_NE(mcu->Log().back().what.find("port closed"), std::string::npos);
    auto s = mcu->Snapshot();
    EXPECT_EQ(s.set.output, 0);
    EXPECT_EQ(s.set.amps, 0);
    EXPECT_FALSE(s.delivering);
    EXPECT_NEAR(s.stateOfCharge, 0.3, 0.01);

    line = std::make_unique<Line>(mcu->SlavePath());
    Bytes st = Unframe(line->Transact(kStatusRequest));
    ASSERT_EQ(st.size(), 24u);
    EXPECT_EQ(FieldU16(st, 2), 0u);
    EXPECT_EQ(st[22] & 0x04, 0);
    std::string reply;
    ASSERT_TRUE(sim::SendControlCommand(config.controlSocket, "soc 80", reply)) << reply;
    ASSERT_TRUE(sim::SendControlCommand(config.controlSocket, "state", reply)) << reply;
    double soc = 0, volts = 0, temp = 0;
    int output = -1;
    ASSERT_EQ(std::sscanf(reply.c_str(), "ok soc=%lf volts=%lf amps=%*f battery-temp=%lf %*s %*s output=%d", &soc,
                          &volts, &temp, &output),
              4)
        << reply;
    EXPECT_NEAR(soc, 80.0, 0.01);
    EXPECT_NEAR(volts, mcu->Snapshot().outputVolts, 0.01);
    EXPECT_NEAR(temp, mcu->Snapshot().batteryC, 0.1);
    EXPECT_EQ(output, 0);
}

TEST_F(McuWireTest, LogIsTimeStampedAndWrittenToFile) {
    sim::McuSimConfig config;
    config.logFile = root.Host("mcu.log");
    Begin(config);
    EXPECT_EQ(line->Transact(kFwRequest).size(), 9u);
    Sleep(20);
    EXPECT_EQ(line->Transact(kKeepAlive), kKeepAliveReply);
    line->Write({0x81, 0x82});
    ASSERT_TRUE(mcu->WaitForLog(3, 5000));
    auto log = mcu->Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].what, "GetFWVersion");
    EXPECT_EQ(log[0].request, (Bytes{0x02, 0xFF, 0x01, 0x01}));
    EXPECT_EQ(log[0].reply, (Bytes{0xFF, 0x01, 242, 1, 0, 4}));
    EXPECT_GE(log[1].tick - log[0].tick, 20u);
    EXPECT_TRUE(log[2].rejected);
    mcu->Stop();
    std::ifstream in(config.logFile);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("02 FF 01 01 -> FF 01 F2 01 00 04"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find("empty frame"), std::string::npos) << lines[2];
    mcu->ClearLog();
    EXPECT_TRUE(mcu->Log().empty());
}

TEST_F(McuWireTest, PortMapEntryFollowsTheSimulator) {
    sim::McuSimConfig config;
    config.port = 3;
    config.controlSocket = sim::ControlSocketPath(3);
    char path[512] = {};
    std::string reply;
    {
        sim::McuSim a(config);
        ASSERT_TRUE(a.Start()) << a.Error();
        ASSERT_TRUE(qrx::GetPortMapping(3, path, sizeof path));
        EXPECT_EQ(a.SlavePath(), path);
        a.Stop();
        EXPECT_FALSE(qrx::GetPortMapping(3, path, sizeof path) && path[0]);

        // A peer that took the port after us keeps its entry when we stop.
        ASSERT_TRUE(a.Start()) << a.Error();
        sim::McuSim b(config);
        ASSERT_TRUE(b.Start()) << b.Error();
        a.Stop();
        ASSERT_TRUE(qrx::GetPortMapping(3, path, sizeof path));
        EXPECT_EQ(b.SlavePath(), path);
        EXPECT_TRUE(sim::SendControlCommand(config.controlSocket, "clear", reply)) << reply;  // and its socket
    }
    EXPECT_FALSE(qrx::GetPortMapping(3, path, sizeof path) && path[0]);
    EXPECT_FALSE(sim::SendControlCommand(config.controlSocket, "clear", reply));

    config.port = 12;
    sim::McuSim bad(config);
    EXPECT_FALSE(bad.Start());
    EXPECT_FALSE(bad.Error().empty());
}

// Runs the program with arguments; its first stdout line in `banner`.
pid_t Spawn(const std::vector<std::string>& args, int& out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv{const_cast<char*>(QRX_SIM_MCU_PROGRAM)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    return pid;
}

int WaitExit(pid_t pid) {
    for (int i = 0; i < 3000; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

TEST_F(McuWireTest, ProgramServesUntilTerminated) {
    int out = -1;
    pid_t pid = Spawn({"--port", "4", "--chemistry", "agm", "--volts", "24", "--capacity", "100", "--soc", "80",
                       "--firmware", "241.0.0.9", "--mains", "50", "--log", root.Host("sim.log")},
                      out);
    ASSERT_GT(pid, 0);
    std::string banner;
    char c;
    pollfd p{out, POLLIN, 0};
    while (poll(&p, 1, 20000) > 0 && read(out, &c, 1) == 1 && c != '\n') banner += c;
    close(out);
    char path[512] = {};
    ASSERT_TRUE(qrx::GetPortMapping(4, path, sizeof path)) << banner;
    EXPECT_NE(banner.find(path), std::string::npos) << banner;
    {
        Line l(path);
        ASSERT_TRUE(l.Ok());
        EXPECT_EQ(l.Transact(kFwRequest), (Bytes{0x81, 0xFF, 0x01, 0xF1, 0x00, 0x00, 0x09, 0x03, 0x82}));
        Bytes st = Unframe(l.Transact(kStatusRequest));
        ASSERT_EQ(st.size(), 24u);
        EXPECT_NEAR(FieldU16(st, 0), 24 * (1.97 + 0.17 * 0.8) / 2 * 100, 30);
        EXPECT_EQ((st[22] >> 3) & 3, 1);

        // A fault handed to the running program through its CLI.
        int faultOut = -1;
        pid_t tool = Spawn({"--root", root.Path(), "--port", "4", "fault", "battery", "disconnected"}, faultOut);
        EXPECT_EQ(WaitExit(tool), 0);
        close(faultOut);
        st = Unframe(l.Transact(kStatusRequest));
        ASSERT_EQ(st.size(), 24u);
        EXPECT_EQ(st[23] & 3, 1);
        tool = Spawn({"--port", "4", "fault", "battery", "sideways"}, faultOut);
        close(faultOut);
        EXPECT_EQ(WaitExit(tool), 1);
        tool = Spawn({"--port", "5", "fault", "clear"}, faultOut);
        close(faultOut);
        EXPECT_EQ(WaitExit(tool), 1);  // no simulator serves COM5
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_FALSE(qrx::GetPortMapping(4, path, sizeof path) && path[0]);
    EXPECT_NE(root.ReadFile("sim.log").find("GetFWVersion"), std::string::npos);

    for (const auto& args : std::vector<std::vector<std::string>>{{"--volts", "13"},
                                                                  {"--soc", "120"},
                                                                  {"--firmware", "300"},
                                                                  {"--port"},
                                                                  {"--chemistry", "nicd"},
                                                                  {"--mains", "55"},
                                                                  {"--bogus", "1"}}) {
        pid = Spawn(args, out);
        ASSERT_GT(pid, 0);
        close(out);
        EXPECT_EQ(WaitExit(pid), 2) << args[0];
    }
}

}  // namespace
