#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "radiolink/UartPort.h"

namespace {
const int kPort = 8;

// The far end of the port: the master side of a pseudo-terminal mapped to COM8.
class PtyPeer {
public:
    PtyPeer() {
        int slave = -1;
        char name[128] = {};
        EXPECT_EQ(openpty(&m_master, &slave, name, nullptr, nullptr), 0);
        termios raw = {};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        close(slave);
        EXPECT_TRUE(qrx::SetPortMapping(kPort, name));
    }
    ~PtyPeer() {
        close(m_master);
        qrx::SetPortMapping(kPort, "");
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the port wrote, until count bytes came or nothing came for five seconds.
    std::string Receive(size_t count) {
        std::string got;
        pollfd p = {m_master, POLLIN, 0};
        char chunk[4096];
        while (got.size() < count && poll(&p, 1, 5000) > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(m_master, chunk, sizeof chunk);
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int m_master = -1;
};

// Takes count bytes as the data event announces them.
std::string Take(CUartPort& port, HANDLE event, size_t count) {
    std::string got;
    while (got.size() < count) {
        BYTE b;
        if (port.GetByte(&b)) {
            got.push_back(static_cast<char>(b));
        } else if (WaitForSingleObject(event, 5000) != WAIT_OBJECT_0) {
            break;
        }
    }
    return got;
}

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) % 251);
    return s;
}

class UartPortTest : public DeviceRootTest {
protected:
    ~UartPortTest() override { CloseHandle(event); }
    PtyPeer peer;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};
}  // namespace

TEST(UartRing, HoldsOneLessThanItsSizeAndDropsAllWhenFull) {
    auto ring = std::make_unique<CUartRing>();
    BYTE b = 0;
    EXPECT_EQ(ring->Get(&b), 0);
    for (int i = 0; i < UART_RING_SIZE - 1; ++i) ASSERT_TRUE(ring->Put(static_cast<BYTE>(i)));
    EXPECT_EQ(ring->Count(), static_cast<DWORD>(UART_RING_SIZE - 1));
    EXPECT_FALSE(ring->Put(0xAA));  // lost, and takes the waiting bytes with it
    EXPECT_EQ(ring->Count(), 0u);
    EXPECT_TRUE(ring->Put(0xBB));
    ASSERT_EQ(ring->Get(&b), 1);
    EXPECT_EQ(b, 0xBB);
    EXPECT_EQ(ring->Get(&b), 0);
    // Indices wrap around the end.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3000; ++i) ASSERT_TRUE(ring->Put(static_cast<BYTE>(i)));
        for (int i = 0; i < 3000; ++i) ASSERT_TRUE(ring->Get(&b) == 1 && b == static_cast<BYTE>(i));
    }
    ring->Put(1);
    ring->Reset();
    EXPECT_EQ(ring->Get(&b), 0);
}

TEST_F(UartPortTest, ReceivedBytesArriveWholeAndInOrder) {
    CUartPort port(event);
    ASSERT_EQ(port.Open(kPort, CBR_115200, 0, 8, ONESTOPBIT, NOPARITY), 1);
    BYTE b;
    EXPECT_EQ(port.GetByte(&b), 0);
    peer.Send("hello ");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    peer.Send("world");
    EXPECT_EQ(Take(port, event, 11), "hello world");
    EXPECT_EQ(port.GetByte(&b), 0);

    // Many batches, more than the ring holds in all.
    for (int i = 0; i < 12; ++i) {
        std::string chunk = Pattern(1000, i);
        peer.Send(chunk);
        ASSERT_EQ(Take(port, event, chunk.size()), chunk) << i;
    }

    // ResetBuffer drops what waits (one byte comes in one batch).
    peer.Send("s");
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    port.ResetBuffer();
    EXPECT_EQ(port.GetByte(&b), 0);
}

TEST_F(UartPortTest, WritesFromTwoThreadsStayWhole) {
    CUartPort port(event);
    ASSERT_EQ(port.Open(kPort, CBR_115200, 0, 8, ONESTOPBIT, NOPARITY), 1);
    const size_t frame = 48, frames = 100;
    auto writer = [&](char tag) {
        std::string f(frame, tag);
        for (size_t i = 0; i < frames; ++i) port.Write(reinterpret_cast<const BYTE*>(f.data()), frame);
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    std::string got = peer.Receive(2 * frame * frames);
    a.join();
    b.join();
    ASSERT_EQ(got.size(), 2 * frame * frames);
    for (size_t i = 0; i < got.size(); i += frame) EXPECT_EQ(got.substr(i, frame), std::string(frame, got[i])) << i;
}

TEST_F(UartPortTest, CloseStopsTheReaderBeforeItReturns) {
    auto port = std::make_unique<CUartPort>(event);
    ASSERT_EQ(port->Open(kPort, CBR_115200, 7, 8, ONESTOPBIT, NOPARITY), 1);
    EXPECT_TRUE(port->IsOpen());
    peer.Send("x");
    ASSERT_EQ(Take(*port, event, 1), "x");
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    port.reset();  // the owner deletes it right after Close: the reader must be gone
    for (int i = 0; i < 20; ++i) {  // and so while it is busy with a batch
        auto busy = std::make_unique<CUartPort>(event);
        ASSERT_EQ(busy->Open(kPort, CBR_115200, 0, 8, ONESTOPBIT, NOPARITY), 1);
        peer.Send(Pattern(2000, i));
        busy->Close();
    }
    ResetEvent(event);
    peer.Send("after");
    EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);

    // The port can be opened again, and a reader without an event still fills the ring.
    CUartPort quiet(INVALID_HANDLE_VALUE);
    ASSERT_EQ(quiet.Open(kPort, CBR_115200, 0, 8, ONESTOPBIT, NOPARITY), 1);
    peer.Send("q");
    BYTE b = 0;
    bounded::WaitUntil([&] { return quiet.GetByte(&b) != 0; });
    EXPECT_EQ(b, 'q');
    CUartPort second(event);
    EXPECT_EQ(second.Open(kPort, CBR_115200, 0, 8, ONESTOPBIT, NOPARITY), 0);  // exclusive
    EXPECT_EQ(second.Open(kPort + 1, CBR_115200, 0, 8, ONESTOPBIT, NOPARITY), 0);  // not mapped
}
