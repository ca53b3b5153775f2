#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "qrx/host.h"
#include "windows.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

template <class F>
bool Eventually(F done) {
    return bounded::WaitUntil(done);
}

// True once the thread has been seen asleep twice in a row: it sits in its wait.
bool Blocked(const std::atomic<pid_t>& tid) {
    int passes = 0;
    return Eventually([&] {
        std::ifstream in("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t close = stat.rfind(')');
        passes =
            tid && close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S' ? passes + 1 : 0;
        return passes >= 2;
    });
}

pid_t ThreadTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

long long ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The peer's end of a pseudo-terminal, as a simulated device holds it.
struct Pty {
    Pty() {
        char name[128] = {};
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master < 0 || grantpt(master) || unlockpt(master) || ptsname_r(master, name, sizeof name))
            throw std::runtime_error("no pseudo-terminal");
        slave = name;
    }
    ~Pty() { HangUp(); }
    void HangUp() {
        if (master >= 0) close(master);
        master = -1;
    }
    // Gives up, failing the test, when the port takes nothing for a long while.
    void Put(const std::string& bytes) const {
        auto start = Clock::now();
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                start = Clock::now();
            } else if (MsSince(start) > 10000) {
                ADD_FAILURE() << "the port took nothing for 10 s";
                return;
            } else {
                poll(nullptr, 0, 1);
            }
        }
    }
    std::string Take(size_t n, long long waitMs = 5000) const {
        std::string got;
        for (auto start = Clock::now(); got.size() < n && MsSince(start) < waitMs;) {
            char buffer[4096];
            ssize_t r = read(master, buffer, std::min(sizeof buffer, n - got.size()));
            if (r > 0)
                got.append(buffer, static_cast<size_t>(r));
            else
                poll(nullptr, 0, 1);
        }
        return got;
    }
    int master = -1;
    std::string slave;
};

HANDLE OpenCom(int n) {
    std::u16string name = u"COM0:";
    name[3] = static_cast<char16_t>(u'0' + n);
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class SerialTest : public DeviceRootTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(qrx::SetPortMapping(3, pty.slave.c_str()));
        port = OpenCom(3);
        ASSERT_NE(INVALID_HANDLE_VALUE, port) << GetLastError();
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    void Timeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeConstant = 0) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }
    DWORD Queued() {
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(port, nullptr, &stat));
        return stat.cbInQue;
    }
    std::string ReadPort(DWORD count, BOOL* ok = nullptr) {
        std::string buffer(count, '\0');
        DWORD got = 12345;
        BOOL result = ReadFile(port, buffer.data(), count, &got, nullptr);
        if (ok) *ok = result;
        buffer.resize(got <= count ? got : 0);
        return buffer;
    }
    Pty pty;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceRootTest, PortMapRecordsReplacesRemovesAndRejectsBadEntries) {
    char tty[64];
    ASSERT_TRUE(qrx::SetPortMapping(2, "/dev/pts/7"));
    ASSERT_TRUE(qrx::SetPortMapping(4, "/dev/ttyUSB0"));
    ASSERT_TRUE(qrx::SetPortMapping(2, "/dev/pts/9"));
    ASSERT_TRUE(qrx::GetPortMapping(2, tty, sizeof tty));
    EXPECT_STREQ("/dev/pts/9", tty);
    EXPECT_EQ("COM4=/dev/ttyUSB0\nCOM2=/dev/pts/9\n", root.ReadFile(".platform/ports"));
    EXPECT_FALSE(qrx::GetPortMapping(2, tty, 10)) << "no truncated path";
    EXPECT_FALSE(qrx::SetPortMapping(2, "/dev/pts/1\nCOM5=/x"));
    EXPECT_FALSE(qrx::SetPortMapping(2, " /dev/pts/1"));
    EXPECT_FALSE(qrx::SetPortMapping(10, "/dev/pts/1"));
    ASSERT_TRUE(qrx::SetPortMapping(2, ""));
    EXPECT_FALSE(qrx::GetPortMapping(2, tty, sizeof tty));
    EXPECT_TRUE(qrx::GetPortMapping(4, tty, sizeof tty));
    setenv("QRX_COM4", "/dev/pts/42", 1);
    EXPECT_TRUE(qrx::GetPortMapping(4, tty, sizeof tty));
    unsetenv("QRX_COM4");
    EXPECT_STREQ("/dev/pts/42", tty);

    // Written by hand: spacing, case, carriage returns; junk is kept but ignored.
    root.WriteFile(".platform/ports", "junk\n com6 = /dev/pts/3 \r\n=\nCOM7=\n");
    ASSERT_TRUE(qrx::GetPortMapping(6, tty, sizeof tty));
    EXPECT_STREQ("/dev/pts/3", tty);
    EXPECT_FALSE(qrx::GetPortMapping(7, tty, sizeof tty));
    ASSERT_TRUE(qrx::SetPortMapping(8, "/dev/pts/8"));
    EXPECT_EQ(0u, root.ReadFile(".platform/ports").find("junk\n"));
    root.WriteFile(".platform/ports", "COM6=/dev/pts/3\n" + std::string(100000, '#'));
    EXPECT_FALSE(qrx::GetPortMapping(6, tty, sizeof tty)) << "an oversized map is not trusted";
    EXPECT_FALSE(qrx::SetPortMapping(6, "/dev/pts/4")) << "nor rewritten";
}

TEST_F(DeviceRootTest, PortOpenFailsForUnmappedMissingNonTtyAndBusyPorts) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom(2));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    ASSERT_TRUE(qrx::SetPortMapping(2, "/dev/pts/no-such-tty"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom(2));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    root.WriteFile("plain", "x");
    ASSERT_TRUE(qrx::SetPortMapping(2, root.Host("plain").c_str()));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom(2));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());

    Pty pty;
    ASSERT_TRUE(qrx::SetPortMapping(2, pty.slave.c_str()));
    ASSERT_TRUE(qrx::SetPortMapping(5, pty.slave.c_str()));
    HANDLE first = OpenCom(2);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom(2));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCom(5)) << "the same tty under another name";
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = OpenCom(2);
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(first, &dcb));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(SerialTest, StateIsCheckedAndReadBackAndTheLineIsRawBothWays) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(sizeof(DCB), dcb.DCBlength);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    dcb.BaudRate = CBR_115200;
    ASSERT_TRUE(SetCommState(port, &dcb));
    for (auto change : {+[](DCB& d) { d.BaudRate = 12345; }, +[](DCB& d) { d.ByteSize = 9; },
                        +[](DCB& d) { d.StopBits = ONE5STOPBITS; }, +[](DCB& d) { d.Parity = 7; }}) {
        DCB bad = dcb;
        change(bad);
        EXPECT_FALSE(SetCommState(port, &bad));
        EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    }
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(DWORD(CBR_115200), back.BaudRate);
    EXPECT_TRUE(SetupComm(port, 4096, 4096));

    // Every byte value crosses unchanged: no echo, no CR/LF mapping, no signal characters.
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(port, all.data(), 256, &put, nullptr));
    EXPECT_EQ(256u, put);
    EXPECT_TRUE(FlushFileBuffers(port));
    EXPECT_EQ(all, pty.Take(256));
    pty.Put(all);
    EXPECT_EQ(all, ReadPort(256));
    EXPECT_EQ("", pty.Take(1, 100)) << "nothing echoed back";
}

TEST_F(SerialTest, ReadTimeoutModesAndZeroLengthReads) {
    Timeouts(MAXDWORD, 0, 0);  // what is queued, at once
    auto start = Clock::now();
    EXPECT_EQ("", ReadPort(10));
    EXPECT_LT(MsSince(start), 1000);
    pty.Put("abc");
    ASSERT_TRUE(Eventually([&] { return Queued() == 3; }));
    EXPECT_EQ("abc", ReadPort(10));

    Timeouts(MAXDWORD, MAXDWORD, 300);  // up to the constant for the first byte
    start = Clock::now();
    EXPECT_EQ("", ReadPort(10));
    EXPECT_GE(MsSince(start), 250);
    Timeouts(MAXDWORD, MAXDWORD, 20000);
    bounded::Thread late([&] {
        std::this_thread::sleep_for(50ms);
        pty.Put("xy");
    });
    start = Clock::now();
    std::string got = ReadPort(10);
    late.Join();
    EXPECT_TRUE(got == "x" || got == "xy") << got;
    EXPECT_LT(MsSince(start), 10000);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));

    Timeouts(0, 20, 100);  // total = 20 x count + 100, success with what arrived
    pty.Put("12");
    start = Clock::now();
    BOOL ok = FALSE;
    EXPECT_EQ("12", ReadPort(5, &ok));
    EXPECT_TRUE(ok);
    EXPECT_GE(MsSince(start), 150);

    Timeouts(100, 0, 0);  // no limit for the first byte, then ends at a gap
    bounded::Thread burst([&] {
        std::this_thread::sleep_for(200ms);
        pty.Put("burst");
    });
    start = Clock::now();
    EXPECT_EQ("burst", ReadPort(50));
    burst.Join();
    EXPECT_GE(MsSince(start), 150);

    Timeouts(0, 0, 0);  // the whole count
    bounded::Thread halves([&] {
        pty.Put("ab");
        std::this_thread::sleep_for(100ms);
        pty.Put("cde");
    });
    EXPECT_EQ("abcde", ReadPort(5));
    halves.Join();
    DWORD none = 7;
    EXPECT_TRUE(ReadFile(port, nullptr, 0, &none, nullptr));
    EXPECT_EQ(0u, none);
    EXPECT_FALSE(ReadFile(port, nullptr, 4, &none, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    Timeouts(0, 0, 200);  // a wait sleeps, it does not spin
    long long cpu = ThreadCpuMs();
    start = Clock::now();
    EXPECT_EQ("", ReadPort(10));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(ThreadCpuMs() - cpu, 20);
}

TEST_F(SerialTest, TimeoutsRunOnLineTimeWithoutWrapping) {
    struct Scale {
        Scale() {
            setenv("QRX_TIME_SCALE", "100", 1);
            qrx::ReloadHostConfig();
        }
        ~Scale() {
            unsetenv("QRX_TIME_SCALE");
            qrx::ReloadHostConfig();
        }
    } scale;
    // The peer answers in host time, so a scaled device still gives it the whole time-out.
    Timeouts(0, 0, 300);
    auto start = Clock::now();
    EXPECT_EQ("", ReadPort(4));
    EXPECT_GE(MsSince(start), 290);
    EXPECT_LT(MsSince(start), 5000);
    Timeouts(MAXDWORD, MAXDWORD, 300);
    start = Clock::now();
    EXPECT_EQ("", ReadPort(4));
    EXPECT_GE(MsSince(start), 290);

    Timeouts(0, 0x40000001u, 0);  // 4 x multiplier wraps to 4 ms in 32 bits
    std::atomic<bool> done{false};
    bounded::Thread reader([&] { done = ReadPort(4) == "wxyz"; });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(done);
    pty.Put("wxyz");
    reader.Join();
    EXPECT_TRUE(done);

    // The same for a write that waits while the line is held (XOFF).
    ASSERT_TRUE(EscapeCommFunction(port, SETXOFF));
    COMMTIMEOUTS t{0, 0, 0, 0x40000001u, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    DWORD put = 0;
    done = false;
    bounded::Thread writer([&] { done = WriteFile(port, "wxyz", 4, &put, nullptr) && put == 4; });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(done);
    ASSERT_TRUE(EscapeCommFunction(port, SETXON));
    writer.Join();
    EXPECT_TRUE(done);
    EXPECT_EQ("wxyz", pty.Take(4));
}

TEST_F(SerialTest, WriteTimeoutReturnsWhatWentOutAndAbortEndsABlockedWrite) {
    Timeouts(0, 0, 0, 200);
    std::string big(1 << 20, 'w');  // far more than a pseudo-terminal buffers
    DWORD put = 0;
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(port, big.data(), DWORD(big.size()), &put, nullptr));
    EXPECT_GT(put, 0u);
    EXPECT_LT(put, big.size());
    EXPECT_LT(MsSince(start), 5000);

    Timeouts(0, 0, 0, 0);
    std::atomic<pid_t> tid{0};
    BOOL ok = TRUE;
    DWORD error = 0;
    bounded::Thread writer([&] {
        tid = ThreadTid();
        ok = WriteFile(port, big.data(), DWORD(big.size()), &put, nullptr);
        error = GetLastError();
    });
    ASSERT_TRUE(Blocked(tid));
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    writer.Join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), error);
}

TEST_F(SerialTest, WaitCommEventWakesOnDataMaskChangeAndClose) {
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(port, &events, nullptr)) << "with no mask nothing could end the wait";
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(DWORD(EV_RXCHAR | EV_TXEMPTY), mask);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(port, "ping", 4, &put, nullptr));
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
    EXPECT_EQ(DWORD(EV_TXEMPTY), events);
    pty.Put("q");
    ASSERT_TRUE(Eventually([&] { return Queued() == 1; }));
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr)) << "bytes already queued";
    EXPECT_EQ(DWORD(EV_RXCHAR), events);
    ReadPort(1);

    std::atomic<pid_t> tid{0};
    BOOL ok = FALSE;
    auto waitInThread = [&] {
        tid = 0;
        events = 99;
        return bounded::Thread([&] {
            tid = ThreadTid();
            ok = WaitCommEvent(port, &events, nullptr);
        });
    };
    bounded::Thread waiter = waitInThread();
    ASSERT_TRUE(Blocked(tid));
    pty.Put("r");
    waiter.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(DWORD(EV_RXCHAR), events);
    ReadPort(1);

    waiter = waitInThread();
    ASSERT_TRUE(Blocked(tid));
    ASSERT_TRUE(SetCommMask(port, 0));
    waiter.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(0u, events);

    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    waiter = waitInThread();
    ASSERT_TRUE(Blocked(tid));
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    waiter.Join();
    EXPECT_FALSE(ok);
    port = OpenCom(3);
    EXPECT_NE(INVALID_HANDLE_VALUE, port) << "closed at once, free to open again";
}

TEST_F(SerialTest, ClearCommErrorCountsAndPurgeDropsAndAborts) {
    pty.Put("seven!!");
    ASSERT_TRUE(Eventually([&] { return Queued() == 7; }));
    DWORD errors = 99;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(0u, errors);
    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(0u, Queued());
    Timeouts(MAXDWORD, 0, 0);
    EXPECT_EQ("", ReadPort(7));
    EXPECT_FALSE(PurgeComm(port, 0x100));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    Timeouts(0, 0, 0);
    std::atomic<pid_t> tid{0};
    BOOL ok = TRUE;
    DWORD error = 0, got = 9;
    bounded::Thread reader([&] {
        tid = ThreadTid();
        char buffer[8];
        ok = ReadFile(port, buffer, 8, &got, nullptr);
        error = GetLastError();
    });
    ASSERT_TRUE(Blocked(tid));
    pty.Put("ab");
    ASSERT_TRUE(Eventually([&] { return Queued() == 0 && Blocked(tid); }));
    EXPECT_TRUE(PurgeComm(port, PURGE_RXABORT));
    reader.Join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), error);
    EXPECT_EQ(2u, got) << "what had arrived is handed over";
}

TEST_F(SerialTest, EscapeFunctionsAreRecordedWhereThePseudoTerminalHasNoModemLines) {
    DWORD status = 0;
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR) && EscapeCommFunction(port, SETRTS));
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), status);
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS) && EscapeCommFunction(port, CLRDTR));
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(0u, status);
    EXPECT_TRUE(EscapeCommFunction(port, SETBREAK) && EscapeCommFunction(port, CLRBREAK));
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(SerialTest, APeerThatHangsUpGivesEmptyReadsAndOneEvErrWithoutSpinning) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_ERR));
    std::atomic<pid_t> tid{0};
    DWORD events = 0;
    bounded::Thread waiter([&] {
        tid = ThreadTid();
        EXPECT_TRUE(WaitCommEvent(port, &events, nullptr));
    });
    ASSERT_TRUE(Blocked(tid));
    pty.HangUp();
    waiter.Join();
    EXPECT_EQ(DWORD(EV_ERR), events);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(DWORD(CE_FRAME), errors);

    Timeouts(0, 0, 200);
    long long cpu = ThreadCpuMs();
    auto start = Clock::now();
    BOOL ok = FALSE;
    EXPECT_EQ("", ReadPort(10, &ok));
    EXPECT_TRUE(ok);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(ThreadCpuMs() - cpu, 20);
    DWORD put = 0;
    EXPECT_TRUE(WriteFile(port, "lost", 4, &put, nullptr));

    tid = 0;  // EV_ERR was told once: a second wait sleeps until the mask changes
    waiter = bounded::Thread([&] {
        tid = ThreadTid();
        events = 99;
        EXPECT_TRUE(WaitCommEvent(port, &events, nullptr));
    });
    ASSERT_TRUE(Blocked(tid));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    waiter.Join();
    EXPECT_EQ(0u, events);
}

TEST_F(SerialTest, ReaderWriterAndWaiterShareOneHandle) {
    constexpr DWORD kSize = 200000;
    Timeouts(0, 0, 10000, 10000);  // bounded, should the peer stall
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    std::string sent(kSize, '\0'), received;
    for (size_t i = 0; i < kSize; ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
    bounded::Thread reader([&] { received = ReadPort(kSize); });
    bounded::Thread writer([&] {
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(port, sent.data(), kSize, &put, nullptr));
    });
    bounded::Thread waiter([&] {
        DWORD events = 0;
        while (WaitCommEvent(port, &events, nullptr) && events) std::this_thread::sleep_for(1ms);
    });
    std::string echoed;  // the peer echoes everything
    while (echoed.size() < kSize) {
        std::string chunk = pty.Take(std::min<size_t>(4096, kSize - echoed.size()));
        if (chunk.empty()) break;
        pty.Put(chunk);
        echoed += chunk;
    }
    writer.Join();
    reader.Join();
    ASSERT_TRUE(SetCommMask(port, 0));
    waiter.Join();
    EXPECT_EQ(sent, echoed);
    EXPECT_EQ(sent, received);
}

}  // namespace
