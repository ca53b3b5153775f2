// The simulated PMC boot loader on the MCU's line, as the upgrader meets it.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "sim/McuSim.h"
#include "sim/PmcLoader.h"
#include "upgrader/ComIO.h"

namespace {

using Bytes = std::vector<BYTE>;

class PmcLoaderTest : public DeviceRootTest {
protected:
    ~PmcLoaderTest() override { Down(); }

    // Powers the MCU with its loader on (again): the loader reads the program memory it left.
    void Up(sim::IapFaults faults = {}, int port = 0) {
        this->faults = faults;
        dataFrames = 0;
        loader = std::make_unique<sim::PmcLoader>(faults, "", [this] { powerLost = true; });
        sim::McuSimConfig config;
        config.port = port;
        sim::AttachPmcLoader(config, *loader);
        mcu = std::make_unique<sim::McuSim>(config);
        ASSERT_TRUE(mcu->Start());
        fd = open(mcu->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ASSERT_EQ(0, tcgetattr(fd, &t));
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    void Down() {
        if (fd >= 0) close(fd);
        fd = -1;
        if (mcu) mcu->Stop();
        mcu.reset();
        loader.reset();
    }
    void Write(const Bytes& b) { ASSERT_EQ(static_cast<ssize_t>(b.size()), write(fd, b.data(), b.size())); }
    Bytes Read(size_t n, int ms = 1000) {
        Bytes out;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) break;
            BYTE buf[256];
            ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    static Bytes Frame(DWORD command, DWORD sequence, const Bytes& payload = {}) {
        Bytes f(64, 0);
        std::memcpy(&f[0], &command, 4);
        std::memcpy(&f[4], &sequence, 4);
        if (!payload.empty()) std::memcpy(&f[8], payload.data(), std::min<size_t>(payload.size(), 56));
        return f;
    }
    static WORD Sum(const Bytes& f) {
        WORD s = 0;
        for (BYTE b : f) s = static_cast<WORD>(s + b);
        return s;
    }
    // One request and its reply; true when the reply echoes the request's sum and sequence + 1.
    bool Ask(const Bytes& request, Bytes* reply = nullptr, size_t expect = 64, int ms = kReplyMs) {
        Write(request);
        Bytes r = Read(expect, ms);
        if (reply) *reply = r;
        DWORD seq = 0;
        if (r.size() >= 8) std::memcpy(&seq, &r[4], 4);
        return r.size() >= 8 && (r[0] | r[1] << 8) == Sum(request) && seq == DWORD(request[4] | request[5] << 8) + 1;
    }
    void Jump() { Write({0x81, 0x01, 0xFF, 0x00, 0x02, 0xFB, 0x82}); }
    // A pause on the line past the loader's resync gap, counted from when it took the taken-th byte
    // (a busy simulator takes bytes late: the writer's clock says nothing).
    void Gap(size_t taken) {
        ASSERT_TRUE(bounded::WaitUntil([&] { return loader->Taken() >= taken; })) << loader->Taken() << " of " << taken;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    Bytes McuVersion() {
        Write(sim::EncodeFrame({0x02, 0xFF, 0x01}));
        return Read(9, kReplyMs);
    }
    // The MCU firmware does not answer: the loader owns the line and drops the stray frame after a gap.
    bool McuDeaf() {
        const size_t taken = loader->Taken();
        const Bytes frame = sim::EncodeFrame({0x02, 0xFF, 0x01});
        Write(frame);
        const bool deaf = Read(9, kSilenceMs).size() < 9;
        if (loader->Owns()) Gap(taken + frame.size());
        return deaf;
    }
    // The loader counts data frames over its power-on; those its faults leave unanswered are not
    // waited for long.
    int DataReplyMs() {
        ++dataFrames;
        return dataFrames == faults.lostFrameAt || dataFrames == faults.powerLossAt ? kSilenceMs : kReplyMs;
    }
    // The download as the upgrader sends it: A0 with 48 bytes, then 00 frames of 56; the sequence
    // starts at 1 and grows by 2 a frame.
    int Download(const Bytes& image, int repeatFrame = 0) {
        EXPECT_TRUE(Ask(Frame(0xA4, 0, {1, 0, 0, 0})));
        DWORD seq = 1;
        int failed = 0;
        for (size_t at = 0, k = 1; at < image.size(); ++k) {
            size_t n = std::min<size_t>(image.size() - at, at == 0 ? 48 : 56);
            Bytes payload;
            if (at == 0) {
                payload.assign(8, 0);
                DWORD total = static_cast<DWORD>(image.size());
                std::memcpy(&payload[4], &total, 4);
            }
            payload.insert(payload.end(), image.begin() + at, image.begin() + at + n);
            if (!Ask(Frame(at == 0 ? 0xA0 : 0x00, seq, payload), nullptr, 64, DataReplyMs())) ++failed;
            if (dataFrames == faults.powerLossAt) break;  // the power stays off
            if (static_cast<int>(k) == repeatFrame && !Ask(Frame(0x00, seq, payload), nullptr, 64, DataReplyMs())) ++failed;
            seq += 2;
            at += n;
        }
        return failed;
    }

    // A reply comes within kReplyMs however busy the machine; silence is believed after kSilenceMs (a
    // reply later than that would still spoil the next exchange).
    static constexpr int kReplyMs = 3000, kSilenceMs = 300;
    sim::IapFaults faults;
    int dataFrames = 0;
    std::unique_ptr<sim::PmcLoader> loader;
    std::unique_ptr<sim::McuSim> mcu;
    int fd = -1;
    std::atomic<bool> powerLost{false};
};

Bytes Image(size_t n, BYTE first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(i * 7 + 3);
    b[0] = first;
    return b;
}

TEST_F(PmcLoaderTest, JumpDownloadAndRunGiveTheLineBackWithTheNewVersion) {
    Up();
    EXPECT_EQ(sim::EncodeFrame({0xFF, 0x01, 242, 1, 0, 4}), McuVersion());
    Jump();
    Jump();  // a repeat is harmless
    ASSERT_TRUE(bounded::WaitUntil([&] { return loader->Owns(); }));
    Bytes reply;
    ASSERT_TRUE(Ask(Frame(0xAE, 0), &reply));
    EXPECT_TRUE(McuDeaf()) << "the MCU firmware no longer answers";
    ASSERT_TRUE(Ask(Frame(0xA6, 7), &reply));
    EXPECT_EQ(0x21, reply[8]);
    // A 100-byte image: 48 bytes in the A0 frame, 52 in one 00 frame.
    EXPECT_EQ(0, Download(Image(100, 241)));
    EXPECT_EQ(100u, loader->Stored());
    ASSERT_TRUE(Ask(Frame(0xAD, 0)));
    Bytes version = McuVersion();
    EXPECT_EQ(sim::EncodeFrame({0xFF, 0x01, 241, 10, 17, 24}), version);

    // A power cycle keeps the program memory and its version.
    Down();
    Up();
    EXPECT_EQ(version, McuVersion());
}

TEST_F(PmcLoaderTest, AGapResyncsAndAnUnfinishedImageKeepsTheLoader) {
    Up();
    Jump();
    Write(Bytes(30, 0x55));  // the rest of a frame never comes
    Gap(30);
    ASSERT_TRUE(Ask(Frame(0xAE, 0)));

    // A frame lost on the line leaves a hole: the image never runs.
    Down();
    sim::IapFaults lost;
    lost.lostFrameAt = 2;
    Up(lost);
    Jump();
    EXPECT_EQ(1, Download(Image(300, 240)));
    ASSERT_TRUE(Ask(Frame(0xAD, 0)));
    EXPECT_TRUE(McuDeaf()) << "still in the loader";
    // So does a frame sent twice, though the byte count comes out whole.
    EXPECT_EQ(0, Download(Image(104, 240), 1));
    ASSERT_TRUE(Ask(Frame(0xAD, 0)));
    EXPECT_TRUE(McuDeaf()) << "still in the loader";

    // The power goes in the middle of a download: after power-on only the loader answers.
    Down();
    sim::IapFaults cut;
    cut.powerLossAt = 3;
    Up(cut);
    Jump();
    Download(Image(400, 242));
    EXPECT_TRUE(powerLost);
    Down();
    Up();
    EXPECT_TRUE(loader->Owns());
    EXPECT_TRUE(McuDeaf());
    ASSERT_TRUE(Ask(Frame(0xAE, 0)));
    EXPECT_EQ(0, Download(Image(400, 242)));
    ASSERT_TRUE(Ask(Frame(0xAD, 0)));
    EXPECT_EQ(242, McuVersion().at(3));
}

TEST_F(PmcLoaderTest, FaultsBendTheRepliesAsAskedFor) {
    sim::IapFaults f;
    ASSERT_TRUE(sim::ParseIapFault("connect-fails 2", f));
    ASSERT_TRUE(sim::ParseIapFault("bad-echo 1", f));
    ASSERT_TRUE(sim::ParseIapFault("bad-sequence 2", f));
    EXPECT_FALSE(sim::ParseIapFault("bad-echo x", f));
    EXPECT_FALSE(sim::ParseIapFault("melt 3", f));
    Up(f);
    Jump();
    ASSERT_TRUE(bounded::WaitUntil([&] { return loader->Owns(); }));
    EXPECT_FALSE(Ask(Frame(0xAE, 0), nullptr, 64, kSilenceMs));
    EXPECT_FALSE(Ask(Frame(0xAE, 0), nullptr, 64, kSilenceMs));
    EXPECT_TRUE(Ask(Frame(0xAE, 0)));
    EXPECT_EQ(2, Download(Image(200, 240)));  // frames 1 and 2 answered wrongly

    Down();
    sim::IapFaults shortReplies;
    ASSERT_TRUE(sim::ParseIapFault("short-replies", shortReplies));
    Up(shortReplies);
    Jump();
    Bytes reply;
    EXPECT_TRUE(Ask(Frame(0xAE, 0), &reply, 8));
    EXPECT_EQ(8u, reply.size());

    Down();
    sim::IapFaults none;
    ASSERT_TRUE(sim::ParseIapFault("no-loader", none));
    Up(none);
    Jump();
    EXPECT_EQ(9u, McuVersion().size());
}

TEST_F(PmcLoaderTest, TheUpgradersDownloadFailsOnAnyBadReplyAndStartsAgainAtReset) {
    sim::IapFaults f;
    f.badEchoAt = 2;
    f.shortReplies = true;
    Up(f, 2);
    CComIO com;
    ASSERT_TRUE(com.Open(2, 115200));
    ASSERT_TRUE(com.SendGotoIap());
    // The upgrader waits for the jump before its frames: each purges the line.
    ASSERT_TRUE(bounded::WaitUntil([&] { return loader->Owns(); }));
    ASSERT_TRUE(com.CMD_Connect());  // an 8-byte reply with a good echo is accepted
    std::vector<int> sent;
    StepProgress progress([&](int p) { sent.push_back(p); });
    progress.Span(90, 100);
    Bytes image = Image(100, 242);
    root.WriteFile("NAND Flash/fw.bin", std::string(image.begin(), image.end()));
    EXPECT_FALSE(PmcFwDownload(com, u"\\NAND Flash\\fw.bin", false, progress));
    EXPECT_TRUE(PmcFwDownload(com, u"\\NAND Flash\\fw.bin", false, progress));
    EXPECT_EQ(100u, loader->Stored());
    EXPECT_EQ((std::vector<int>{95, 100}), sent);
    ASSERT_TRUE(com.CMD_RunApp());
    EXPECT_FALSE(loader->Owns());

    // Too large for COM2's controller: refused after the opening commands, before any data frame.
    root.WriteFile("NAND Flash/big.bin", std::string(0x4001, 'b'));
    ASSERT_TRUE(com.SendGotoIap());
    ASSERT_TRUE(bounded::WaitUntil([&] { return loader->Owns(); }));
    EXPECT_FALSE(PmcFwDownload(com, u"\\NAND Flash\\big.bin", false, progress));
    EXPECT_EQ(100u, loader->Stored());
    EXPECT_TRUE(loader->Owns());
    // A missing file lets the controller leave its loader.
    EXPECT_FALSE(PmcFwDownload(com, u"\\NAND Flash\\none.bin", false, progress));
    EXPECT_FALSE(loader->Owns());
    com.Close();
    EXPECT_FALSE(com.CMD_Connect());  // no port: no command
}

}  // namespace
