// Radiolink.dll with the simulated module in-process at time scale 1: reset release, identification,
// the AT set of each type, the connection line, request lines, and closing under a live worker.
#include "radiolink/Radiolink.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "BtHarness.h"
#include "radiolink/QrxFrame.h"
#include "sim/BtSim.h"

namespace {

const char kHost[] = "0017E9A0B1C2";
std::atomic<int> g_requestsDone{0};

std::string Frame(const std::string& body) {
    char out[qrxframe::kFrameBuffer];
    return std::string(out, qrxframe::FormatFrame(body.data(), body.size(), out, sizeof out));
}

class RadiolinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        qrx::SetGpioPinLevel(84, 0, false);
        std::remove(PeerAddrPath().c_str());
        m_logStart = DebugMessages().size();
    }
    void TearDown() override {
        BT_Close();
        module.reset();
    }
    static std::string PeerAddrPath() { return qrx::DeviceRoot() + "/NAND Flash/PeerAddr.dat"; }
    static void WritePeerAddr(const std::string& text) { std::ofstream(PeerAddrPath(), std::ios::binary) << text; }
    std::string NewDebug() const { return DebugMessages().substr(m_logStart); }

    sim::BtSim& Module(sim::BtType type, bool pace = false) {
        sim::BtSimConfig config;
        config.type = type;
        config.pace = pace;
        config.hostAddr = kHost;
        module = std::make_unique<sim::BtSim>(config);
        EXPECT_TRUE(module->Start()) << module->Error();
        return *module;
    }
    int Open(HWND notify, int mode, const char* name = "SN-0001") {
        return BT_Open(4, notify, settings, nullptr, const_cast<char*>(name), mode);
    }
    bool WaitDebug(const std::string& text, int ms = 30000) {
        return bounded::WaitUntil([&] { return NewDebug().find(text) != std::string::npos; }, ms);
    }
    // A BCD100 in mode 3 with the host connected to it.
    void Connect(NotifyWindow& w) {
        Module(sim::BtType::Bcd100).HostConnect();
        ASSERT_EQ(1, Open(w.Hwnd(), 3));
        ASSERT_TRUE(w.WaitCount(BT_MSG_STATE, 1, 1));
    }

    BYTE settings[1024] = {};
    std::unique_ptr<sim::BtSim> module;
    size_t m_logStart = 0;
};

// The tick of the first log entry of the module whose text starts so.
DWORD TickOf(const sim::BtSim& m, const std::string& head) {
    for (const auto& e : m.Log())
        if (e.text.rfind(head, 0) == 0) return e.tick;
    return 0;
}

TEST_F(RadiolinkTest, LoadReleasesTheReset) {
    struct Drive {
        DWORD ordinal, pin, value;
    };
    const Drive expected[] = {{202, 82, 0}, {204, 82, 0}, {202, 83, 1}, {202, 84, 0}, {204, 84, 0}};
    ASSERT_EQ(std::size(expected), g_loadRecords.size());
    for (size_t i = 0; i < std::size(expected); ++i) {
        DWORD pin = 0, value = 0;
        ASSERT_EQ(8u, g_loadRecords[i].bytes.size());
        std::memcpy(&pin, g_loadRecords[i].bytes.data(), 4);
        std::memcpy(&value, g_loadRecords[i].bytes.data() + 4, 4);
        EXPECT_EQ(expected[i].ordinal, g_loadRecords[i].code) << i;
        EXPECT_EQ(expected[i].pin, pin) << i;
        EXPECT_EQ(expected[i].value, value) << i;
    }
    EXPECT_NE(std::string::npos, g_loadLog.find("BTComm() : Init\nReset Release\n"));
}

TEST_F(RadiolinkTest, Btm4504IsConfiguredStepByStep) {
    WritePeerAddr(kHost);
    sim::BtSim& m = Module(sim::BtType::Btm4504c1x);
    NotifyWindow w;
    ASSERT_EQ(1, Open(w.Hwnd(), 0));
    // Pairing on comes last.
    ASSERT_TRUE(bounded::WaitUntil([] {
        auto r = qrx::ReadDeviceRecords("GPIO");
        return !r.empty() && r.back().code == 205;
    }));
    EXPECT_EQ(std::string("+++\r\nAT+NAME?\r\nAT+TYPE=0\r\nAT+BIND=1\r\nAT+AUTH=0\r\nAT+FLOWCONTROL=0\r\n"
                          "AT+SCANTIME=1024,512,1024,512\r\nAT+SNIFF=0,0,0,0\r\nAT+RADDR=") +
                  kHost + "\r\n",
              m.DeviceBytes());
    EXPECT_GE(TickOf(m, "AT+NAME?") - TickOf(m, "+++"), 1900u);
    // Five pauses of 100 ms between the six settings; the simulator stamps a line when it reads it,
    // which a busy machine delays, so only the whole span is held to a bound.
    EXPECT_GE(TickOf(m, "AT+SNIFF") - TickOf(m, "AT+TYPE"), 400u);
    EXPECT_NE(std::string::npos, NewDebug().find("[BT]Model : BTM4504C1X"));
    EXPECT_EQ(82, qrx::ReadDeviceRecords("GPIO").back().bytes[0]);

    // The host gets in once the module has its address and pairs: one 1425 (1) however long it stays.
    m.HostConnect();
    ASSERT_TRUE(w.WaitCount(BT_MSG_STATE, 1, 1));
    ASSERT_TRUE(WaitDebug("[BT]Connected"));
    const DWORD since = GetTickCount();
    bounded::WaitUntil([&] { return GetTickCount() - since > 2200; });
    EXPECT_EQ(1, w.Count(BT_MSG_STATE));
}

TEST_F(RadiolinkTest, Bcd100WithoutPeerAddressScansForAnyHost) {
    WritePeerAddr("0017E9A0B1\r\n");  // ten digits and a line end: no address
    sim::BtSim& m = Module(sim::BtType::Bcd100);
    NotifyWindow w;
    // The serial number is set remotely: it must not end the quoted name or add a command.
    ASSERT_EQ(1, Open(w.Hwnd(), 0, "SN\"1\r\nATZ\r\n-abcdefghijklmnopqrstuvwxyz"));
    ASSERT_TRUE(WaitDebug("[BT]SetAddress : "));
    ASSERT_TRUE(bounded::WaitUntil([&] { return m.DeviceBytes().find("AT+BTSCAN") != std::string::npos; }));
    EXPECT_EQ(
        "+++\r\nAT+NAME?\r\n+++\r\nAT+BTCANCEL\r\nAT+BTNAME=\"SN_1__ATZ__-abcdefghijklmnopq\"\r\n"
        "AT+BTMODE0\r\nATZ\r\nAT+BTSCAN\r",
        m.DeviceBytes());
    EXPECT_NE(std::string::npos, NewDebug().find("[BT]Model : BCD100\n"));
    EXPECT_NE(std::string::npos, NewDebug().find("[BT]Target addr error\n"));
    EXPECT_NE(std::string::npos, NewDebug().find("[BT]SetName : SN_1__ATZ_\n"));
    m.HostConnect();
    ASSERT_TRUE(w.WaitCount(BT_MSG_STATE, 1, 1));
}

TEST_F(RadiolinkTest, IdentificationOnSlowAndSilentModules) {
    NotifyWindow w;
    {
        Module(sim::BtType::Btm4504c1x, true);  // 9600 baud still within the 101 ms
        ASSERT_EQ(1, Open(w.Hwnd(), 0));
        ASSERT_TRUE(WaitDebug("[BT]Model : "));
        EXPECT_NE(std::string::npos, NewDebug().find("[BT]Model : BTM4504C1X"));
        BT_Close();
    }
    m_logStart = DebugMessages().size();
    Module(sim::BtType::Btm4504c1x).SetDeaf(true);
    ASSERT_EQ(1, Open(w.Hwnd(), 0));
    ASSERT_TRUE(WaitDebug("[BT]Model : "));
    EXPECT_NE(std::string::npos, NewDebug().find("[BT]Model : BCD100"));
    BT_Close();

    // Held in reset the module hears nothing and lets no host in.
    m_logStart = DebugMessages().size();
    qrx::SetGpioPinLevel(84, 1, true);
    sim::BtSim& m = Module(sim::BtType::Bcd100);
    m.HostConnect();
    ASSERT_EQ(1, Open(w.Hwnd(), 3));
    ASSERT_TRUE(WaitDebug("[BT]SetMode : 3"));
    EXPECT_NE(std::string::npos, NewDebug().find("[BT]Model : BCD100"));
    EXPECT_TRUE(m.Commands().empty());
    EXPECT_FALSE(m.HostConnected());
    qrx::SetGpioPinLevel(84, 0, false);
}

TEST_F(RadiolinkTest, ConnectDropReconnectAndChangeMode) {
    NotifyWindow w;
    Connect(w);
    module->HostDrop();
    ASSERT_TRUE(w.WaitCount(BT_MSG_STATE, 0, 1));
    module->HostConnect();
    ASSERT_TRUE(w.WaitCount(BT_MSG_STATE, 1, 2));
    EXPECT_EQ(1, w.Count(BT_MSG_STATE, 0));

    // A new mode: the link counts as lost at once, and the module hangs up on the host.
    const size_t heard = module->Commands().size();
    BT_ChangeMode(0);
    ASSERT_TRUE(w.WaitCount(BT_MSG_STATE, 0, 2));
    ASSERT_TRUE(bounded::WaitUntil([&] {
        auto c = module->Commands();
        return std::find(c.begin() + static_cast<ptrdiff_t>(heard), c.end(), "ATH\r") != c.end();
    }));
    EXPECT_EQ(2, w.Count(BT_MSG_STATE, 0));
}

TEST_F(RadiolinkTest, RequestLines) {
    NotifyWindow w(true, [](UINT msg, const Notified&) {
        if (msg == 1132) BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>("B7,1,")));
        if (msg == 1131) {
            Sleep(100);  // a request that takes the UI thread a while
            ++g_requestsDone;
        }
    });
    Connect(w);
    sim::BtSim& m = *module;
    const std::string b7 = "$QRX,B7,A5\r\n";
    auto answered = [&](int n) { return w.WaitCount(1132, 0, n); };

    m.InjectSplit(4);
    m.HostSend(b7);
    ASSERT_TRUE(answered(1));
    ASSERT_TRUE(m.WaitHost("$QRX,B7,1,02\r\n", bounded::Scaled()));
    m.HostSend(b7 + b7);
    ASSERT_TRUE(answered(3));
    m.InjectGarbage(40, false);
    m.HostSend(b7);
    ASSERT_TRUE(answered(4));
    m.HostSend(std::string(3000, 'x') + b7);  // one line of 3012 bytes: dropped
    m.HostSend(b7);
    ASSERT_TRUE(answered(5));

    m.HostTake();
    m.HostSend("$QRX,B7,a5\r\n");
    ASSERT_TRUE(m.WaitHost("$QRX,ER,501,85\r\n", bounded::Scaled()));
    EXPECT_NE(std::string::npos, NewDebug().find("CS : 0x"));
    m.HostSend("$QRX,B9,A7\r\n");
    ASSERT_TRUE(m.WaitHost("$QRX,ER,502,86\r\n", bounded::Scaled()));
    m.HostTake();
    m.HostSend(Frame("S3," + std::string(100, '5') + ","));
    ASSERT_TRUE(m.WaitHost("$QRX,ER,502,86\r\n", bounded::Scaled()));
    m.HostSend(Frame("S3," + std::string(99, '5') + ","));
    ASSERT_TRUE(bounded::WaitUntil([&] { return w.Count(1168) == 1; }));
    EXPECT_EQ(std::string(99, '5'), w.Messages().back().field);

    const std::string e3 = Frame("E3,1,0,014.4,");
    m.HostSend(e3);
    ASSERT_TRUE(bounded::WaitUntil([&] { return w.Count(1148) == 1; }));
    EXPECT_EQ(e3.substr(8, e3.size() - 9), w.Messages().back().field);

    // B0 is taken while streaming is off only.
    m.HostSend(Frame("B0,"));
    ASSERT_TRUE(w.WaitCount(1125, 0, 1));
    const DWORD on = 1;
    std::memcpy(settings + 980, &on, 4);
    m.HostSend(Frame("B0,"));
    m.HostSend(b7);
    ASSERT_TRUE(answered(6));
    EXPECT_EQ(1, w.Count(1125));

    EXPECT_EQ(0, BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>(""))));
    std::string big(503, 'A');
    EXPECT_EQ(0, BT_SendCommand(reinterpret_cast<unsigned char*>(big.data())));
    big.pop_back();
    EXPECT_EQ(511, BT_SendCommand(reinterpret_cast<unsigned char*>(big.data())));

    // Closed from another thread while the worker waits in a request, with more lines behind it: the
    // worker ends before the port and the line buffer go.
    m.HostSend(Frame("B6,1,") + Frame("B6,1,") + Frame("B6,1,"));
    ASSERT_TRUE(bounded::WaitUntil([&] { return w.Count(1131) >= 1; }));
    BT_Close();
    EXPECT_EQ(w.Count(1131), g_requestsDone.load());
    EXPECT_EQ(0, BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>("B7,1,"))));
    EXPECT_EQ(0, BT_SendErrorCode(503));
    EXPECT_EQ(0, BT_SendMsg(const_cast<char*>("x")));
}

TEST_F(RadiolinkTest, CloseServesTheWorkersSendToTheClosingThread) {
    NotifyWindow w(false);  // on this thread, which pumps nothing
    Module(sim::BtType::Bcd100).HostConnect();
    ASSERT_EQ(1, Open(w.Hwnd(), 3));
    // The worker's 1425 (1) waits for this thread.
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0),
              MsgWaitForMultipleObjects(0, nullptr, FALSE, bounded::Scaled(), QS_SENDMESSAGE));
    BT_Close();
    EXPECT_EQ(1, w.Count(BT_MSG_STATE, 1));
}

TEST_F(RadiolinkTest, CloseAndOpenUnderSends) {
    Module(sim::BtType::Bcd100);
    NotifyWindow w;
    std::atomic<bool> stop{false};
    bounded::Thread sender([&] {
        while (!stop) {
            BT_SendCommand(reinterpret_cast<unsigned char*>(const_cast<char*>("B7,1,")));
            BT_SendErrorCode(503);
            BT_GetInfo();
            BT_ChangeMode(3);
        }
    });
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(1, Open(w.Hwnd(), i % 2));
        BT_Close();
    }
    stop = true;
    sender.Join();
}

TEST_F(RadiolinkTest, UnloadsAtProgramEnd) {
    Module(sim::BtType::Bcd100);
    const pid_t pid = fork();
    if (pid == 0) {
        char self[] = "/proc/self/exe";
        char arg[] = "--unload-child";
        char* argv[] = {self, arg, nullptr};
        execv(self, argv);
        _exit(127);
    }
    int status = -1;
    ASSERT_TRUE(bounded::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    const std::string log = NewDebug();
    const size_t open = log.find("[BT]Open:COM4");
    ASSERT_NE(std::string::npos, open);
    EXPECT_NE(std::string::npos, log.find("~BTComm()", open));
}

}  // namespace

// The program of UnloadsAtProgramEnd: opens the module and ends without closing it.
int UnloadChild() { return BT_Open(4, nullptr, nullptr, nullptr, nullptr, 3) == 1 ? 0 : 3; }
