#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "app/McuFrame.h"
#include "app/MicomPort.h"
#include "app/Settings.h"

using Bytes = std::vector<BYTE>;

namespace {
Bytes Encode(const Bytes& payload) {
    BYTE frame[MCU_FRAME_MAX(64)];
    DWORD n = McuEncodeFrame(payload.data(), static_cast<DWORD>(payload.size()), frame, sizeof frame);
    return Bytes(frame, frame + n);
}

DWORD Decode(const Bytes& frame, BYTE* out, DWORD size = MCU_REPLY_SIZE) {
    return McuDecodeFrame(frame.data(), static_cast<DWORD>(frame.size()), out, size);
}

// An MCU on a pseudo-terminal that answers each request frame as its script says.
class ScriptedMcu {
public:
    // Late replies wait for an event rather than a time, so that "late" holds however busy the machine:
    // the device's next request on the line (its first attempt is over), or Release() from the test
    // (the device has given up).
    enum class When { Now, NextRequest, Released };
    struct Reply {
        Bytes bytes;
        int delayMs = 0;
        When when = When::Now;
    };
    using Replies = std::vector<Reply>;
    using Script = std::function<Replies(const Bytes& request)>;

    explicit ScriptedMcu(int port) : m_port(port) {
        int slave = -1;
        char name[128] = {};
        EXPECT_EQ(openpty(&m_master, &slave, name, nullptr, nullptr), 0);
        termios raw = {};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        close(slave);
        EXPECT_TRUE(qrx::SetPortMapping(port, name));
        m_thread.emplace([this] { Run(); });
    }
    ~ScriptedMcu() {
        m_stop = true;
        m_thread.reset();
        close(m_master);
        qrx::SetPortMapping(m_port, "");
    }
    void SetScript(Script script) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script = std::move(script);
        m_released = false;
    }
    void Release() { m_released = true; }
    // Every request on the line taken and answered.
    bool Idle() const {
        pollfd p = {m_master, POLLIN, 0};
        return poll(&p, 1, 0) >= 0 && !(p.revents & POLLIN) && !m_busy;
    }
    std::vector<Bytes> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // When each request had come whole.
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_times;
    }
    static Reply Echo(const Bytes& request) { return {Encode(Bytes(request.begin() + 1, request.end()))}; }

private:
    void Run() {
        Bytes pending;
        while (!m_stop) {
            m_busy = false;
            pollfd p = {m_master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            m_busy = true;  // before the read: Idle() looks at the line first
            BYTE chunk[512];
            ssize_t n = (p.revents & POLLIN) ? read(m_master, chunk, sizeof chunk) : -1;
            if (n <= 0) {  // no device end open yet
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] == MCU_FRAME_START) pending.clear();
                pending.push_back(chunk[i]);
                if (chunk[i] == MCU_FRAME_END) Answer(pending);
            }
        }
    }
    void Answer(Bytes& frame) {
        BYTE payload[MCU_REPLY_SIZE];
        DWORD n = Decode(frame, payload);
        frame.clear();
        Replies replies;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n < 3) return;  // a broken frame is never answered or counted
            m_requests.emplace_back(payload, payload + n);
            m_times.push_back(std::chrono::steady_clock::now());
            replies = m_script ? m_script(m_requests.back()) : Replies{Echo(m_requests.back())};
        }
        for (const Reply& r : replies) {
            pollfd next = {m_master, POLLIN, 0};
            const bool due = bounded::WaitUntil([&] {
                return m_stop || r.when == When::Now || (r.when == When::Released && m_released) ||
                       (r.when == When::NextRequest && poll(&next, 1, 0) > 0 && (next.revents & POLLIN));
            });
            EXPECT_TRUE(due);
            std::this_thread::sleep_for(std::chrono::milliseconds(r.delayMs));
            ASSERT_EQ(write(m_master, r.bytes.data(), r.bytes.size()), static_cast<ssize_t>(r.bytes.size()));
        }
    }

    int m_port;
    int m_master = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_released{false};
    std::optional<bounded::Thread> m_thread;
    std::mutex m_mutex;
    Script m_script;
    std::vector<Bytes> m_requests;
    std::vector<std::chrono::steady_clock::time_point> m_times;
};

const int kPort = 7;
using Replies = ScriptedMcu::Replies;

class MicomLinkTest : public DeviceRootTest {
protected:
    void SetUp() override { ASSERT_EQ(port.Open(kPort, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY), 1); }
    ScriptedMcu mcu{kPort};
    CMicomPort port{nullptr};
};

double ThreadCpuMs() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

TEST(McuFrame, EncodesDecodesAndRejects) {
    EXPECT_EQ(Encode({0x01, 0xFF, 0x00, 0x02}), (Bytes{0x81, 0x01, 0xFF, 0x00, 0x02, 0xFB, 0x82}));
    EXPECT_EQ(Encode({0x01, 0x02, 0x10, 0x85, 0x05}), (Bytes{0x81, 0x01, 0x02, 0x10, 0x80, 0x05, 0x05, 0x60, 0x82}));
    EXPECT_EQ(Encode({0x01, 0x02, 0x70}), (Bytes{0x81, 0x01, 0x02, 0x70, 0x80, 0x0A, 0x82}));  // checksum 0x8A
    BYTE small[8];
    EXPECT_EQ(McuEncodeFrame(Bytes{0x85, 0x85, 0x85}.data(), 3, small, sizeof small), 0u);

    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<BYTE>(i));
    BYTE frame[MCU_FRAME_MAX(256)], out[300];
    DWORD n = McuEncodeFrame(all.data(), 256, frame, sizeof frame);
    // Inside a frame 0x81..0x8F appear only escaped: the decoder would take them raw as well.
    EXPECT_EQ(std::count_if(frame + 1, frame + n - 1, [](BYTE b) { return b > 0x80 && b <= 0x8F; }), 0);
    for (int b = 0x7F; b <= 0x90; ++b) {
        const BYTE sum = static_cast<BYTE>(0 - (0x03 + b));
        const Bytes want = b >= 0x80 && b <= 0x8F ? Bytes{0x81, 0x80, BYTE(b & 0x7F), sum, 0x82}
                                                  : Bytes{0x81, BYTE(b), sum, 0x82};
        EXPECT_EQ(Encode({BYTE(b)}), want) << b;
    }
    ASSERT_EQ(McuDecodeFrame(frame, n, out, sizeof out), 256u);
    EXPECT_EQ(Bytes(out, out + 256), all);
    EXPECT_EQ(McuDecodeFrame(frame, n, out, 255), 0u);  // does not fit: refused, not cut

    Bytes good = Encode({0x02, 0x00, 0x01});
    Bytes badSum = good, twice = good, garbage = good;
    badSum[2] ^= 0x01;
    twice.insert(twice.end(), good.begin(), good.end());  // two frames sum to zero as well
    garbage.insert(garbage.begin(), 0x33);
    // The last one would pass its checksum if the escape took the end byte.
    for (const Bytes& f : {Bytes{0x81, 0x82}, Bytes{0x81, 0x80, 0x82}, Bytes{0x81, 0x7B, 0x80, 0x82},
                           Bytes{0x81}, Bytes{}, badSum, twice, garbage, Bytes{0x81, 0xFD, 0x82, 0x00},
                           // A broken frame running into a new one: the escape must not take the start byte.
                           Bytes{0x81, 0x7F, 0x80, 0x81, 0x01, 0xFC, 0x82}}) {
        EXPECT_EQ(Decode(f, out), 0u) << ::testing::PrintToString(f);
    }
}

TEST(McuHundredths, RoundsAndRefusesWhatDoesNotFit) {
    WORD v = 1;
    EXPECT_TRUE(McuHundredths(14.4, &v) && v == 1440);
    EXPECT_TRUE(McuHundredths(2.3, &v) && v == 230);  // 229.99999999999997 before rounding
    EXPECT_TRUE(McuHundredths(0.29, &v) && v == 29);
    EXPECT_TRUE(McuHundredths(655.35, &v) && v == 65535);
    EXPECT_TRUE(McuHundredths(0.0, &v) && v == 0);
    v = 7;
    for (double bad : {655.36, -1.0, std::nan(""), 1e12}) EXPECT_FALSE(McuHundredths(bad, &v)) << bad;
    EXPECT_EQ(v, 7);
}

TEST_F(MicomLinkTest, CommandsSendTheirRequestsAndCheckTheReplies) {
    const Bytes status = {0x02, 0x00, 0x4C, 0x04, 0xF4, 0x01, 0x38, 0xFF, 0x10, 0x27, 0xFF, 0x7F,
                          0,    0,    0,    0,    0,    0,    0,    0,    0x55, 0x00, 0x15, 0x1E};
    mcu.SetScript([&](const Bytes& rq) -> Replies {
        if (rq[1] == 0xFF) return {{Encode({0xFF, 0x01, 242, 1, 2, 3})}};
        return {rq[0] == 0x02 ? ScriptedMcu::Reply{Encode(status)} : ScriptedMcu::Echo(rq)};
    });
    EXPECT_EQ(CmdOperation(&port, 5), 1);
    EXPECT_EQ(CmdSet10(&port, 1440), 1);
    EXPECT_EQ(CmdSet19(&port, 1), 1);
    EXPECT_EQ(CmdSet1A(&port, 2), 1);
    EXPECT_EQ(CmdSetTempLimit(&port, 0x8586), 1);
    BYTE version[4] = {};
    EXPECT_EQ(GetFWVersion(&port, version), 1);
    EXPECT_EQ(Bytes(version, version + 4), (Bytes{242, 1, 2, 3}));
    McuStatusRecord rec = {};
    ASSERT_EQ(GetCurrentStatus(&port, &rec), 1);
    EXPECT_EQ(std::vector<int>({rec.Volt, rec.Current, rec.BatteryTemp, rec.TransTemp, rec.HeatsinkTemp}),
              std::vector<int>({1100, 500, -200, 10000, 32767}));
    EXPECT_EQ(std::vector<int>({rec.Charge(), rec.Pause(), rec.Start(), rec.Freq(), rec.VoltCheck(), rec.TempCheck(),
                                rec.BatConStatus(), rec.CutDetectError(), rec.TempLimitError()}),
              std::vector<int>({1, 0, 1, 2, 0, 0, 2, 3, 1}));
    EXPECT_EQ(mcu.Requests(), (std::vector<Bytes>{{0x01, 0x01, 0x03, 0x05},
                                                  {0x01, 0x02, 0x10, 0xA0, 0x05},
                                                  {0x01, 0x02, 0x19, 0x00},
                                                  {0x01, 0x02, 0x1A, 0x01},
                                                  {0x01, 0x02, 0x18, 0x86, 0x85},
                                                  {0x02, 0xFF, 0x01, 0x01},
                                                  {0x02, 0x02, 0x00, 0x01}}));

    // A reply without the echo, or of the wrong length, is a failure; nothing is copied.
    mcu.SetScript([](const Bytes& rq) -> Replies { return {{Encode({rq[1], rq[2], 0x00})}}; });
    EXPECT_EQ(CmdSet15(&port, 1), 0);
    EXPECT_EQ(CmdSet16(&port, 0), 1);
    EXPECT_EQ(CmdCutVoltage(&port, 0), 0);
    BYTE kept[4] = {9, 9, 9, 9};
    EXPECT_EQ(GetFWVersion(&port, kept), 0);
    EXPECT_EQ(Bytes(kept, kept + 4), (Bytes{9, 9, 9, 9}));
}

TEST_F(MicomLinkTest, FailedRepliesGetOneRetryThenZero) {
    struct Case {
        const char* name;
        ScriptedMcu::Script script;
        int result;
        size_t requests = 2;
    };
    using When = ScriptedMcu::When;
    auto late = [](When first, When then) {
        return [=, isFirst = true](const Bytes& rq) mutable -> Replies {
            auto r = ScriptedMcu::Echo(rq);
            r.when = std::exchange(isFirst, false) ? first : then;
            return {r};
        };
    };
    std::vector<Case> cases = {
        {"silence", [](const Bytes&) { return Replies{}; }, 0},
        {"split", [](const Bytes& rq) -> Replies {
             Bytes whole = ScriptedMcu::Echo(rq).bytes;
             return {{Bytes(whole.begin(), whole.begin() + 3)}, {Bytes(whole.begin() + 3, whole.end()), 150}};
         }, 3, 1},
        // Right after a good reply, so that what is left of it cannot stand in for the code.
        {"too short", [](const Bytes&) -> Replies { return {{Encode({1})}}; }, 0},
        {"bad checksum", [](const Bytes&) -> Replies { return {{{0x81, 0x01, 0x02, 0xEA, 0x82}}}; }, 0},
        {"another command", [](const Bytes&) -> Replies { return {{Encode({1, 3, 1})}}; }, 0},
        // Each reply only after the device gave up: the stale ones must not answer the next command.
        {"always late", late(When::Released, When::Released), 0},
        // The first reply during the second attempt (the same echo), the second one after it.
        {"late once", late(When::NextRequest, When::Released), 3},
        {"garbage first", [first = true](const Bytes& rq) mutable -> Replies {
             auto r = ScriptedMcu::Echo(rq);
             if (std::exchange(first, false)) r.bytes.insert(r.bytes.begin(), {0x11, 0x22});
             return {r};
         }, 3},
    };
    const Bytes request = {0x01, 0x01, 0x02, 0x01};
    BYTE reply[MCU_REPLY_SIZE];
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mcu.SetScript(c.script);
        auto start = std::chrono::steady_clock::now();
        double cpuStart = ThreadCpuMs();
        EXPECT_EQ(port.Transact(request.data(), 4, reply), c.result);
        if (c.result) {
            EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0x01, 0x02, 0x01}));
        }
        if (std::strcmp(c.name, "silence") == 0) {
            EXPECT_GE(MsSince(start), 2 * MCU_REPLY_TIMEOUT_MS - 50);
            EXPECT_LT(ThreadCpuMs() - cpuStart, 100.0);  // waited, did not spin
        }
        mcu.Release();
        ASSERT_TRUE(bounded::WaitUntil([&] { return mcu.Idle(); }));
        EXPECT_EQ(mcu.Requests().size() - seen, c.requests);
        seen = mcu.Requests().size();
    }
}

TEST_F(MicomLinkTest, AReplyThatStopsHalfWayEndsTheAttemptOnTime) {
    // Pieces of the reply keep coming until shortly before the attempt's end; the rest never does.
    mcu.SetScript([](const Bytes& rq) -> Replies {
        const Bytes whole = ScriptedMcu::Echo(rq).bytes;
        return {{{whole[0]}, 200}, {{whole[1]}, 200}, {{whole[2]}, 150}};
    });
    const Bytes request = {0x01, 0x01, 0x02, 0x01};
    BYTE reply[MCU_REPLY_SIZE];
    EXPECT_EQ(port.Transact(request.data(), 4, reply), 0);
    // The first attempt ended 600 ms after its write, however late the last piece came.
    const auto times = mcu.RequestTimes();
    ASSERT_EQ(times.size(), 2u);
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[1] - times[0]);
    EXPECT_LT(gap.count(), MCU_REPLY_TIMEOUT_MS + 300);
}

TEST_F(MicomLinkTest, TwoThreadsNeverInterleaveFrames) {
    // Type 3 frames get no answer, so bare writes can run beside the transactions.
    mcu.SetScript([](const Bytes& rq) { return rq[0] == 0x03 ? Replies{} : Replies{ScriptedMcu::Echo(rq)}; });
    std::atomic<int> failures{0};
    auto worker = [&](BYTE tag) {
        const Bytes bare = {0x03, 0x85, 0x86, tag, 0x87, 0x88, 0x89, 0x8A};
        // A broken link fails at once rather than after 80 time-outs.
        for (int i = 0; i < 40 && failures == 0; ++i) {
            if (!CmdSet10(&port, static_cast<WORD>(tag * 1000 + i))) ++failures;
            if (port.Write(bare.data(), static_cast<DWORD>(bare.size())) != 8) ++failures;
        }
    };
    bounded::Thread a([&] { worker(0x11); }), b([&] { worker(0x22); });
    a.Join(60000);
    b.Join(60000);
    EXPECT_EQ(failures.load(), 0);
    bounded::WaitUntil([&] { return mcu.Requests().size() >= 160; }, 5000);
    EXPECT_EQ(mcu.Requests().size(), 160u);
}

TEST_F(MicomLinkTest, CloseWaitsForARunningTransaction) {
    mcu.SetScript([](const Bytes&) { return Replies{}; });
    std::atomic<int> result{-1};
    bounded::Thread t([&] { result = CmdKeepAlive(&port); });
    ASSERT_TRUE(bounded::WaitUntil([&] { return !mcu.Requests().empty(); }, 5000)) << "no request reached the MCU";
    port.Close();
    // Both attempts were made: Close did not cut the transaction short.
    bounded::WaitUntil([&] { return mcu.Requests().size() >= 2; }, 5000);
    EXPECT_EQ(mcu.Requests().size(), 2u);
    t.Join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(port.IsOpen());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CmdKeepAlive(&port), 0);
    EXPECT_LT(MsSince(start), MCU_REPLY_TIMEOUT_MS);
    EXPECT_EQ(CmdKeepAlive(nullptr), 0);
    mcu.SetScript(nullptr);
    ASSERT_EQ(port.Open(kPort, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY), 1);
    EXPECT_EQ(CmdKeepAlive(&port), 1);
}

TEST_F(MicomLinkTest, StartupSendsTheSettingsLimits) {
    port.Close();
    g_Settings.dCutVoltage = 14.4;
    g_Settings.dCutCurrent = 700.0;  // does not fit the MCU's hundredths: not sent
    g_Settings.nBatTempLimit = 50;
    mcu.SetScript([](const Bytes& rq) -> Replies {
        return {rq[1] == 0xFF ? ScriptedMcu::Reply{Encode({0xFF, 0x01, 241, 0, 0, 7})} : ScriptedMcu::Echo(rq)};
    });
    CMicomPort* mcuPort = nullptr;
    BYTE version[4] = {};
    EXPECT_EQ(InitMcu(nullptr, 9, &mcuPort, version), 0);  // no such port: the object stays for a reopen
    ASSERT_NE(mcuPort, nullptr);
    EXPECT_EQ(InitMcu(nullptr, kPort, &mcuPort, version), 1);
    delete mcuPort;
    EXPECT_EQ(Bytes(version, version + 4), (Bytes{241, 0, 0, 7}));
    EXPECT_EQ(mcu.Requests(), (std::vector<Bytes>{{0x02, 0xFF, 0x01, 0x01},
                                                  {0x01, 0x01, 0x01, 0x01},
                                                  {0x01, 0x02, 0x12, 0xA0, 0x05},
                                                  {0x01, 0x02, 0x18, 0x88, 0x13}}));
}

#if __has_include("sim/McuSim.h")
#include "sim/McuSim.h"

TEST_F(DeviceRootTest, MicomLinkAgainstTheSimulatedMcu) {
    sim::McuSimConfig config;
    config.port = 3;
    sim::McuSim mcu(config);
    ASSERT_TRUE(mcu.Start()) << mcu.Error();
    CMicomPort port(nullptr);
    ASSERT_EQ(port.Open(3, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY), 1);

    BYTE version[4] = {};
    EXPECT_EQ(GetFWVersion(&port, version), 1);
    EXPECT_EQ(Bytes(version, version + 4), (Bytes{242, 1, 0, 4}));
    EXPECT_TRUE(CmdBootupComplete(&port) && CmdSet10(&port, 1440) && CmdSet11(&port, 500) && CmdSet14(&port, 0) &&
                CmdSet19(&port, 0) && CmdSet15(&port, 1));
    McuStatusRecord rec = {};
    ASSERT_EQ(GetCurrentStatus(&port, &rec), 1);
    ASSERT_EQ(GetCurrentStatus(&port, &rec), 1);
    EXPECT_GT(rec.Volt, 1100);
    EXPECT_LE(rec.Volt, 1440);
    EXPECT_GT(rec.Current, 0);
    EXPECT_EQ(mcu.Snapshot().set.volts, 1440);

    // Spoiled first replies are recovered by the second attempt; two spoiled ones are a failure.
    for (sim::Fault f : {sim::Fault::LeadingGarbage, sim::Fault::BadChecksum, sim::Fault::WrongReply,
                         sim::Fault::Silence, sim::Fault::Flood}) {
        SCOPED_TRACE(sim::FaultName(f));
        sim::FaultSetup injected;
        injected.kind = f;
        mcu.InjectFault(injected);
        EXPECT_EQ(GetCurrentStatus(&port, &rec), 1);
        injected.count = 2;
        mcu.InjectFault(injected);
        EXPECT_EQ(GetCurrentStatus(&port, &rec), 0);
        mcu.ClearFault();
    }
}
#endif
