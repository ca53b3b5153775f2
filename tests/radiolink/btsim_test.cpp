// The simulated module on its own: answers, who may connect, the connection line, relaying and the
// log, spoken to over its terminal as the device would.
#include "sim/BtSim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "BtHarness.h"

namespace {

class BtSimTest : public ::testing::Test {
protected:
    void Start(sim::BtType type, const std::string& log = "") {
        qrx::SetGpioPinLevel(82, 0, false);
        qrx::SetGpioPinLevel(84, 0, false);
        sim::BtSimConfig c;
        c.type = type;
        c.hostAddr = "0017E9A0B1C2";
        c.logFile = log;
        module = std::make_unique<sim::BtSim>(c);
        ASSERT_TRUE(module->Start()) << module->Error();
        fd = open(module->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        module.reset();
    }
    // Writes bytes and reads until `until` came (or the bound passed).
    std::string Say(const std::string& bytes, const std::string& until = "\r\n") {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        return Read(until);
    }
    std::string Read(const std::string& until) {
        std::string got;
        bounded::WaitUntil([&] {
            pollfd p{fd, POLLIN, 0};
            char b[256];
            while (poll(&p, 1, 0) > 0) {
                ssize_t n = read(fd, b, sizeof b);
                if (n <= 0) break;
                got.append(b, static_cast<size_t>(n));
            }
            return got.find(until) != std::string::npos;
        });
        return got;
    }
    // Writes bytes the module takes without answering; what came back meanwhile (nothing, we hope).
    std::string SayUnanswered(const std::string& bytes) {
        const size_t before = module->DeviceBytes().size();
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        // The module answers in the same step that records the bytes.
        EXPECT_TRUE(bounded::WaitUntil([&] { return module->DeviceBytes().size() >= before + bytes.size(); }));
        return Read("");
    }
    static DWORD Line83() { return qrx::GpioPinLevel(83); }

    std::unique_ptr<sim::BtSim> module;
    int fd = -1;
};

TEST_F(BtSimTest, Btm4504AnswersAndPairsWithItsHostOnly) {
    Start(sim::BtType::Btm4504c1x);
    EXPECT_EQ(0u, Line83());
    EXPECT_EQ("+NAME:BTM4504C1X\r\nOK\r\n", Say("AT+NAME?\r\n", "OK\r\n"));
    EXPECT_EQ("OK\r\n", Say("AT+SNIFF=0,0,0,0\r\n"));
    EXPECT_EQ("ERROR\r\n", Say("AT+SNIFF=1\r\n"));
    module->HostConnect();
    EXPECT_EQ("OK\r\n", Say("AT+RADDR=001122334455\r\n"));
    qrx::SetGpioPinLevel(82, 1, false);
    EXPECT_EQ("OK\r\n", Say("AT+RADDR=0017e9a0b1c2\r\n"));
    ASSERT_TRUE(bounded::WaitUntil([&] { return module->HostConnected(); }));
    EXPECT_EQ(1u, Line83());

    // Connected, lines go through both ways; "+++" turns to commands, ATH hangs up.
    EXPECT_EQ("", SayUnanswered("$QRX,B7,1,02\r\n"));
    EXPECT_EQ("$QRX,B7,1,02\r\n", module->HostTake());
    ASSERT_TRUE(module->HostSend("$QRX,B7,A5\r\n"));
    EXPECT_EQ("$QRX,B7,A5\r\n", Read("\n"));
    EXPECT_EQ("OK\r\n", Say("+++\r\n"));
    EXPECT_EQ("OK\r\n", Say("ATH\r\n"));
    EXPECT_FALSE(module->HostConnected());
    EXPECT_EQ(0u, Line83());
    EXPECT_FALSE(module->HostSend("x\n"));
}

TEST_F(BtSimTest, Bcd100ScansByModeAndAddress) {
    const std::string log = qrx::DeviceRoot() + "/bt.log";
    Start(sim::BtType::Bcd100, log);
    EXPECT_EQ(1u, Line83());  // low while a host is connected
    EXPECT_EQ("+NAME:BCD100\r\nOK\r\n", Say("AT+NAME?\r\n", "OK\r\n"));
    module->HostConnect();
    EXPECT_EQ("OK\r\n", Say("AT+BTMODE0\r\n"));
    EXPECT_EQ("OK\r\n", Say("AT+BTSCAN001122334455,0\r\n"));
    EXPECT_FALSE(module->HostConnected());
    EXPECT_EQ("OK\r\n", Say("AT+BTSCAN\r"));  // CR only: any host
    ASSERT_TRUE(bounded::WaitUntil([&] { return module->HostConnected(); }));
    EXPECT_EQ(0u, Line83());

    // A host lost mid-line: its bytes are gone and it stays away until asked again.
    module->HostDrop();
    EXPECT_EQ(1u, Line83());
    EXPECT_FALSE(module->HostSend("$QRX"));

    // Held in reset the module is deaf.
    qrx::SetGpioPinLevel(84, 1, false);
    ASSERT_TRUE(bounded::WaitUntil([&] {
        for (const auto& e : module->Log())
            if (e.kind == sim::BtLogEntry::Pin && e.text.find("84=1") == 0) return true;
        return false;
    }));
    EXPECT_EQ("", SayUnanswered("AT+NAME?\r\n"));
    module.reset();
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, text.find("C AT+BTSCAN\\r -> OK\\r\\n"));
    EXPECT_NE(std::string::npos, text.find("L host lost -> 83=1"));
}

}  // namespace
