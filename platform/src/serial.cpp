// Serial ports: "COMn:" opens the host tty the port map names, in raw mode, and gives it the
// platform's behaviour (COMMTIMEOUTS, comm events, purge, escape functions). The descriptor is
// non-blocking; every wait is a poll that also watches a wake descriptor, so PurgeComm,
// SetCommMask and CloseHandle from another thread end a wait at once.
// Time-outs run on line time, the host clock, whatever QRX_TIME_SCALE says: the peer at the other
// end answers in real time, and a scaled time-out would leave it too little of it.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "internal.h"
#include "qrx/commapi.h"
#include "qrx/handleapi.h"

namespace qrx {
namespace {

using Steady = std::chrono::steady_clock;
constexpr Steady::time_point kNever = Steady::time_point::max();
// A port map is a few short lines; anything larger is not one.
constexpr size_t kMaxPortMap = 64 * 1024;
constexpr size_t kMaxTtyPath = 4096;
// How often a wait looks at a real UART's output queue again while it drains: the tty gives no
// readiness for "transmitter empty".
constexpr auto kDrainPoll = std::chrono::milliseconds(5);

// ---- Port map: "COM2=/dev/pts/7" lines in <root>/.platform/ports.

bool ValidPort(int port) { return port >= 0 && port <= 9; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool KeyIsPort(std::string_view key, int port) {
    key = Trim(key);
    return key.size() == 4 && (key[0] == 'C' || key[0] == 'c') && (key[1] == 'O' || key[1] == 'o') &&
           (key[2] == 'M' || key[2] == 'm') && key[3] == static_cast<char>('0' + port);
}

// The whole map; false when it cannot be read or is too large to be a port map.
bool ReadPortMap(const std::string& path, std::string& text) {
    text.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    char buffer[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > kMaxPortMap) {
            ok = false;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (!ok) text.clear();
    return ok;
}

// Calls f(line, isPortLine) for every line of the map.
template <class F>
void ForEachLine(const std::string& text, int port, F f) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        size_t eq = line.find('=');
        f(line, eq != std::string_view::npos && KeyIsPort(line.substr(0, eq), port));
        pos = end + 1;
    }
}

std::string LookupPort(const std::string& text, int port) {
    std::string value;
    bool found = false;
    ForEachLine(text, port, [&](std::string_view line, bool mine) {
        if (!mine || found) return;
        found = true;
        value.assign(Trim(line.substr(line.find('=') + 1)));
    });
    return value;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// ---- Ports open in this process: a port opens once at a time, as on the device.

std::mutex& ClaimLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::set<int>& Claims() {
    static auto* claims = new std::set<int>;
    return *claims;
}

// ---- Waiting

void Signal(int fd) {
    uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Drain(int fd) {
    uint64_t value;
    while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

// Waits until the tty (left out when ttyFd < 0) reports one of events, the wake descriptor is
// signalled or the deadline passes. Returns the tty's poll result, 0 on a wake or time-out.
short WaitFor(int ttyFd, short events, int wakeFd, Steady::time_point deadline) {
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {ttyFd, events, 0}};
    nfds_t count = ttyFd >= 0 ? 2 : 1;
    for (;;) {
        timespec ts{};
        timespec* timeout = nullptr;
        if (deadline != kNever) {
            auto now = Steady::now();
            if (now >= deadline) return 0;
            long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
            ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
            timeout = &ts;
        }
        int r = ppoll(fds, count, timeout, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            // Out of kernel memory: back off rather than spin.
            timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
            return 0;
        }
        if (r == 0) return 0;
        if (fds[0].revents) Drain(wakeFd);
        return count == 2 ? fds[1].revents : 0;
    }
}

// Capped at about 49 days, far from overflowing the clock.
Steady::time_point DeadlineIn(uint64_t lineMs) {
    return Steady::now() + std::chrono::milliseconds(std::min<uint64_t>(lineMs, 0xFFFFFFFEu));
}

// ---- Line settings

bool BaudToSpeed(DWORD baud, speed_t& speed) {
    static const struct {
        DWORD baud;
        speed_t speed;
    } kRates[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
                  {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
                  {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
                  {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
                  {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const auto& r : kRates) {
        if (r.baud == baud) {
            speed = r.speed;
            return true;
        }
    }
    return false;
}

bool ValidFraming(const DCB& dcb) {
    speed_t speed;
    if (!BaudToSpeed(dcb.BaudRate, speed)) return false;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.Parity > SPACEPARITY) return false;
    if (dcb.StopBits > TWOSTOPBITS) return false;
    // One and a half stop bits exist only for five-bit characters.
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
    return true;
}

DCB DefaultDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

void FillTermios(const DCB& dcb, termios& tio) {
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (dcb.ByteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    switch (dcb.Parity) {
        case ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    if (dcb.fParity && dcb.Parity != NOPARITY) tio.c_iflag |= INPCK;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed = B9600;
    BaudToSpeed(dcb.BaudRate, speed);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
}

// What a read waits for, from COMMTIMEOUTS and the count asked for.
struct ReadPlan {
    bool immediate = false;      // return what is queued
    bool returnOnFirst = false;  // wait for the first byte only
    Steady::time_point total = kNever;
    bool hasInterval = false;
    Steady::duration interval{};
};

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD count) {
    ReadPlan plan;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        plan.immediate = true;
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
               t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
        plan.returnOnFirst = true;
        plan.total = DeadlineIn(t.ReadTotalTimeoutConstant);
    } else {
        uint64_t total = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
        if (total) plan.total = DeadlineIn(total);
        if (t.ReadIntervalTimeout) {
            plan.hasInterval = true;
            plan.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        }
    }
    return plan;
}

BOOL Fail(DWORD error) {
    SetError(error);
    return FALSE;
}

// ---- The port

class SerialPort : public DeviceObject {
public:
    SerialPort(int port, DWORD access) : m_port(port), m_access(access) {}
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool Open(const std::string& tty);

    BOOL Read(void* buffer, DWORD count, DWORD* done) override;
    BOOL Write(const void* buffer, DWORD count, DWORD* done) override;
    BOOL Flush() override;
    void LastHandleClosed() override;

    BOOL GetState(DCB* dcb);
    BOOL SetState(const DCB* dcb);
    BOOL GetTimeouts(COMMTIMEOUTS* timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS* timeouts);
    BOOL Setup();
    BOOL SetMask(DWORD mask);
    BOOL GetMask(DWORD* mask);
    BOOL WaitEvent(DWORD* events);
    BOOL ClearError(DWORD* errors, COMSTAT* stat);
    BOOL Purge(DWORD flags);
    BOOL Escape(DWORD function);
    BOOL ModemStatus(DWORD* status);

private:
    // All below with m_lock held.
    bool ApplyLocked(const DCB& dcb);
    bool SetLineLocked(int bit, bool on);
    DWORD InQueueLocked() const;
    DWORD OutQueueLocked() const;
    bool CheckHangUpLocked();
    // Reads what is queued, up to count; notes a hang-up. -1 (errno kept) on a failure.
    ssize_t TakeInputLocked(BYTE* out, DWORD count);
    void MarkHungUp();
    void ReleaseClaim();

    const int m_port;
    const DWORD m_access;
    bool m_claimed = false;  // guarded by ClaimLock()

    // Reads, writes (with flushes) and comm-event waits each run one at a time, and in parallel
    // with each other; none of them holds m_lock while it waits.
    std::mutex m_readLock;
    std::mutex m_writeLock;
    std::mutex m_waitLock;

    std::mutex m_lock;
    int m_fd = -1;
    bool m_closed = false;
    DCB m_dcb = DefaultDcb();
    COMMTIMEOUTS m_timeouts{};
    DWORD m_mask = 0;
    uint64_t m_maskGeneration = 0;
    uint64_t m_rxAbortGeneration = 0;
    uint64_t m_txAbortGeneration = 0;
    bool m_hungUp = false;  // the peer is gone for good (a pseudo-terminal's master closed)
    bool m_hangUpReported = false;
    bool m_txPending = false;  // written bytes whose drain EV_TXEMPTY has not reported yet
    int m_lines = 0;           // TIOCM_DTR / TIOCM_RTS as last set

    // Wake descriptors of the three kinds of waiters.
    int m_rxWake = -1;
    int m_txWake = -1;
    int m_eventWake = -1;
};

SerialPort::~SerialPort() {
    if (m_fd >= 0) close(m_fd);
    for (int fd : {m_rxWake, m_txWake, m_eventWake})
        if (fd >= 0) close(fd);
    ReleaseClaim();
}

void SerialPort::ReleaseClaim() {
    std::lock_guard<std::mutex> g(ClaimLock());
    if (m_claimed) Claims().erase(m_port);
    m_claimed = false;
}

bool SerialPort::Open(const std::string& tty) {
    {
        std::lock_guard<std::mutex> g(ClaimLock());
        if (!Claims().insert(m_port).second) {
            SetError(ERROR_ACCESS_DENIED);
            return false;
        }
        m_claimed = true;
    }
    for (int* fd : {&m_rxWake, &m_txWake, &m_eventWake}) {
        *fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (*fd < 0) {
            SetError(FileErrorFromErrno(errno));
            return false;
        }
    }
    int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
            case ENXIO:
            case ENODEV:
            case EIO:  // a pseudo-terminal whose master is gone
                SetError(ERROR_FILE_NOT_FOUND);
                break;
            case EBUSY:
            case EACCES:
            case EPERM:
                SetError(ERROR_ACCESS_DENIED);
                break;
            default:
                SetError(FileErrorFromErrno(errno));
                break;
        }
        return false;
    }
    m_fd = fd;
    if (!isatty(fd)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    // TIOCEXCL keeps other programs out, but not root; the lock keeps out other programs of the
    // device whoever runs them.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        SetError(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : FileErrorFromErrno(errno));
        return false;
    }
    ioctl(fd, TIOCEXCL);
    std::lock_guard<std::mutex> g(m_lock);
    if (!ApplyLocked(m_dcb)) {
        SetError(FileErrorFromErrno(errno));
        return false;
    }
    return true;
}

void SerialPort::LastHandleClosed() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_closed = true;
        // Closed now rather than when the last waiter lets go, so the port can be opened again
        // at once; waiters only touch the descriptor under m_lock after checking m_closed.
        if (m_fd >= 0) {
            ioctl(m_fd, TIOCNXCL);
            close(m_fd);
            m_fd = -1;
        }
    }
    ReleaseClaim();
    Signal(m_rxWake);
    Signal(m_txWake);
    Signal(m_eventWake);
}

void SerialPort::MarkHungUp() {
    std::lock_guard<std::mutex> g(m_lock);
    m_hungUp = true;
}

bool SerialPort::CheckHangUpLocked() {
    if (!m_hungUp && m_fd >= 0) {
        pollfd p{m_fd, 0, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR))) m_hungUp = true;
    }
    return m_hungUp;
}

DWORD SerialPort::InQueueLocked() const {
    int n = 0;
    if (m_fd < 0 || ioctl(m_fd, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<DWORD>(n);
}

DWORD SerialPort::OutQueueLocked() const {
    int n = 0;
    if (m_fd < 0 || ioctl(m_fd, TIOCOUTQ, &n) != 0 || n < 0) return 0;
    return static_cast<DWORD>(n);
}

bool SerialPort::SetLineLocked(int bit, bool on) {
    if (on)
        m_lines |= bit;
    else
        m_lines &= ~bit;
    if (ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return true;
    // Pseudo-terminals have no modem lines, and a vanished peer takes them along: the state
    // recorded above is what the port reports then.
    return errno == ENOTTY || errno == EINVAL || errno == EIO;
}

bool SerialPort::ApplyLocked(const DCB& dcb) {
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) {
        if (errno != EIO) return false;
    } else {
        FillTermios(dcb, tio);
        if (tcsetattr(m_fd, TCSANOW, &tio) != 0 && errno != EIO) return false;
    }
    if (!SetLineLocked(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE)) return false;
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && !SetLineLocked(TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE))
        return false;
    m_dcb = dcb;
    m_dcb.DCBlength = sizeof(DCB);
    return true;
}

ssize_t SerialPort::TakeInputLocked(BYTE* out, DWORD count) {
    DWORD got = 0;
    while (got < count) {
        ssize_t n = read(m_fd, out + got, std::min<DWORD>(count - got, 1u << 20));
        if (n > 0) {
            got += static_cast<DWORD>(n);
            continue;
        }
        if (n == 0 || errno == EIO) {
            m_hungUp = true;
            break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return got ? static_cast<ssize_t>(got) : -1;
    }
    return static_cast<ssize_t>(got);
}

BOOL SerialPort::Read(void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!(m_access & (GENERIC_READ | GENERIC_ALL))) return Fail(ERROR_ACCESS_DENIED);
    if (count && !buffer) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> serial(m_readLock);
    COMMTIMEOUTS timeouts;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_closed) return Fail(ERROR_INVALID_HANDLE);
        timeouts = m_timeouts;
        generation = m_rxAbortGeneration;
    }
    if (count == 0) return TRUE;
    const ReadPlan plan = PlanRead(timeouts, count);
    BYTE* out = static_cast<BYTE*>(buffer);
    Steady::time_point lastByte{};
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_closed) return Fail(ERROR_INVALID_HANDLE);
            if (m_rxAbortGeneration != generation) return Fail(ERROR_OPERATION_ABORTED);
            ssize_t n = TakeInputLocked(out + *done, count - *done);
            if (n < 0) return Fail(FileErrorFromErrno(errno));
            if (n > 0) {
                *done += static_cast<DWORD>(n);
                lastByte = Steady::now();
            }
            // A vanished peer stays silent: sleep to the deadline instead of polling a hung-up tty.
            fd = m_hungUp ? -1 : m_fd;
        }
        if (*done == count || plan.immediate || (plan.returnOnFirst && *done > 0)) return TRUE;
        Steady::time_point deadline = plan.total;
        if (plan.hasInterval && *done > 0) deadline = std::min(deadline, lastByte + plan.interval);
        if (Steady::now() >= deadline) return TRUE;
        if (WaitFor(fd, POLLIN, m_rxWake, deadline) & (POLLHUP | POLLERR)) MarkHungUp();
    }
}

BOOL SerialPort::Write(const void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!(m_access & (GENERIC_WRITE | GENERIC_ALL))) return Fail(ERROR_ACCESS_DENIED);
    if (count && !buffer) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> serial(m_writeLock);
    COMMTIMEOUTS timeouts;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_closed) return Fail(ERROR_INVALID_HANDLE);
        timeouts = m_timeouts;
        generation = m_txAbortGeneration;
    }
    if (count == 0) return TRUE;
    uint64_t total = uint64_t(timeouts.WriteTotalTimeoutMultiplier) * count + timeouts.WriteTotalTimeoutConstant;
    const Steady::time_point deadline = total ? DeadlineIn(total) : kNever;
    const BYTE* in = static_cast<const BYTE*>(buffer);
    BOOL result = TRUE;
    for (;;) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_closed) {
                result = Fail(ERROR_INVALID_HANDLE);
                break;
            }
            if (m_txAbortGeneration != generation) {
                result = Fail(ERROR_OPERATION_ABORTED);
                break;
            }
            if (m_hungUp) {
                // As on a line with nothing attached: the bytes leave and nobody hears them.
                *done = count;
                break;
            }
            ssize_t n = write(m_fd, in + *done, std::min<DWORD>(count - *done, 1u << 20));
            if (n > 0) {
                *done += static_cast<DWORD>(n);
                m_txPending = true;
                if (*done == count) break;
                continue;
            }
            if (n < 0 && errno == EIO) {
                m_hungUp = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                result = Fail(FileErrorFromErrno(errno));
                break;
            }
            fd = m_fd;
        }
        if (Steady::now() >= deadline) break;
        if (WaitFor(fd, POLLOUT, m_txWake, deadline) & (POLLHUP | POLLERR)) MarkHungUp();
    }
    if (*done) Signal(m_eventWake);  // EV_TXEMPTY watches the queue these bytes went into
    return result;
}

BOOL SerialPort::Flush() {
    std::lock_guard<std::mutex> serial(m_writeLock);
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_closed) return Fail(ERROR_INVALID_HANDLE);
        generation = m_txAbortGeneration;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_closed) return Fail(ERROR_INVALID_HANDLE);
            if (m_txAbortGeneration != generation) return Fail(ERROR_OPERATION_ABORTED);
            if (m_hungUp) return TRUE;
            // tcdrain cannot be interrupted by a close: wait out the queue here, and leave it
            // only the last character in the shift register.
            if (OutQueueLocked() == 0) {
                if (tcdrain(m_fd) != 0 && errno != EIO && errno != EINTR) return Fail(FileErrorFromErrno(errno));
                return TRUE;
            }
        }
        WaitFor(-1, 0, m_txWake, Steady::now() + kDrainPoll);
    }
}

BOOL SerialPort::GetState(DCB* dcb) {
    if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_lock);
    *dcb = m_dcb;
    return TRUE;
}

BOOL SerialPort::SetState(const DCB* dcb) {
    if (!dcb || !ValidFraming(*dcb)) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_lock);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    if (!ApplyLocked(*dcb)) return Fail(errno == EINVAL ? ERROR_INVALID_PARAMETER : FileErrorFromErrno(errno));
    return TRUE;
}

BOOL SerialPort::GetTimeouts(COMMTIMEOUTS* timeouts) {
    if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_lock);
    *timeouts = m_timeouts;
    return TRUE;
}

BOOL SerialPort::SetTimeouts(const COMMTIMEOUTS* timeouts) {
    if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_lock);
    m_timeouts = *timeouts;
    return TRUE;
}

BOOL SerialPort::Setup() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;  // the host tty's queues are fixed; the sizes asked for are only a hint
}

BOOL SerialPort::SetMask(DWORD mask) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_closed) return Fail(ERROR_INVALID_HANDLE);
        m_mask = mask;
        ++m_maskGeneration;
    }
    Signal(m_eventWake);
    return TRUE;
}

BOOL SerialPort::GetMask(DWORD* mask) {
    if (!mask) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_lock);
    *mask = m_mask;
    return TRUE;
}

BOOL SerialPort::WaitEvent(DWORD* events) {
    if (!events) return Fail(ERROR_INVALID_PARAMETER);
    *events = 0;
    std::lock_guard<std::mutex> serial(m_waitLock);
    DWORD mask;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_closed) return Fail(ERROR_INVALID_HANDLE);
        mask = m_mask;
        generation = m_maskGeneration;
    }
    // Nothing could ever end the wait: a thread stopped with SetCommMask(0) just before it got
    // here must not block for good.
    if (mask == 0) return Fail(ERROR_INVALID_PARAMETER);
    for (;;) {
        int fd;
        bool draining = false;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_closed) return Fail(ERROR_INVALID_HANDLE);
            if (m_maskGeneration != generation) return TRUE;
            DWORD happened = 0;
            if ((mask & EV_RXCHAR) && InQueueLocked() > 0) happened |= EV_RXCHAR;
            if ((mask & EV_TXEMPTY) && m_txPending) {
                if (m_hungUp || OutQueueLocked() == 0) {
                    happened |= EV_TXEMPTY;
                    m_txPending = false;
                } else {
                    draining = true;
                }
            }
            // Reported once: the hang-up lasts, and a caller that waits again must not spin.
            if ((mask & EV_ERR) && m_hungUp && !m_hangUpReported) {
                happened |= EV_ERR;
                m_hangUpReported = true;
            }
            if (happened) {
                *events = happened;
                return TRUE;
            }
            fd = m_hungUp ? -1 : m_fd;
        }
        short want = (mask & EV_RXCHAR) ? POLLIN : 0;
        if (WaitFor(fd, want, m_eventWake, draining ? Steady::now() + kDrainPoll : kNever) & (POLLHUP | POLLERR))
            MarkHungUp();
    }
}

BOOL SerialPort::ClearError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    // A vanished peer is what a broken line looks like to the UART: framing errors.
    bool hungUp = CheckHangUpLocked();
    if (errors) *errors = hungUp ? CE_FRAME : 0;
    if (stat) {
        *stat = COMSTAT{};
        if (!hungUp) {
            stat->cbInQue = InQueueLocked();
            stat->cbOutQue = OutQueueLocked();
        }
    }
    return TRUE;
}

BOOL SerialPort::Purge(DWORD flags) {
    if (flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(ERROR_INVALID_PARAMETER);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_closed) return Fail(ERROR_INVALID_HANDLE);
        if (flags & PURGE_RXABORT) ++m_rxAbortGeneration;
        if (flags & PURGE_TXABORT) ++m_txAbortGeneration;
        // A hung-up tty refuses to flush; its queues are gone anyway.
        if (flags & PURGE_TXCLEAR) tcflush(m_fd, TCOFLUSH);
        if (flags & PURGE_RXCLEAR) tcflush(m_fd, TCIFLUSH);
    }
    if (flags & PURGE_RXABORT) Signal(m_rxWake);
    if (flags & PURGE_TXABORT) Signal(m_txWake);
    return TRUE;
}

BOOL SerialPort::Escape(DWORD function) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    bool ok = true;
    switch (function) {
        case SETXOFF:
        case SETXON:
            ok = tcflow(m_fd, function == SETXOFF ? TCOOFF : TCOON) == 0 || errno == EIO;
            break;
        case SETRTS:
        case CLRRTS:
            ok = SetLineLocked(TIOCM_RTS, function == SETRTS);
            break;
        case SETDTR:
        case CLRDTR:
            ok = SetLineLocked(TIOCM_DTR, function == SETDTR);
            break;
        case SETBREAK:
        case CLRBREAK:
            ok = ioctl(m_fd, function == SETBREAK ? TIOCSBRK : TIOCCBRK) == 0 || errno == ENOTTY || errno == EINVAL ||
                 errno == EIO;
            break;
        default:
            return Fail(ERROR_INVALID_PARAMETER);
    }
    return ok ? TRUE : Fail(FileErrorFromErrno(errno));
}

BOOL SerialPort::ModemStatus(DWORD* status) {
    if (!status) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_lock);
    if (m_closed) return Fail(ERROR_INVALID_HANDLE);
    int bits = 0;
    DWORD result = 0;
    if (ioctl(m_fd, TIOCMGET, &bits) == 0) {
        if (bits & TIOCM_CTS) result |= MS_CTS_ON;
        if (bits & TIOCM_DSR) result |= MS_DSR_ON;
        if (bits & TIOCM_RI) result |= MS_RING_ON;
        if (bits & TIOCM_CD) result |= MS_RLSD_ON;
    } else if (!CheckHangUpLocked()) {
        // No modem lines (a pseudo-terminal): the peer is taken as wired back to back, its
        // handshake lines following ours.
        if (m_lines & TIOCM_RTS) result |= MS_CTS_ON;
        if (m_lines & TIOCM_DTR) result |= MS_DSR_ON | MS_RLSD_ON;
    }
    *status = result;
    return TRUE;
}

std::shared_ptr<SerialPort> PortOf(HANDLE h) {
    auto port = HandleAs<SerialPort>(h);
    if (!port) SetError(ERROR_INVALID_HANDLE);
    return port;
}

std::shared_ptr<DeviceObject> OpenPort(const std::u16string& name, DWORD access, DWORD /*share*/) {
    int port = name.size() >= 4 ? name[3] - u'0' : -1;
    char tty[kMaxTtyPath + 1];
    if (!ValidPort(port) || !GetPortMapping(port, tty, sizeof tty)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    auto device = std::make_shared<SerialPort>(port, access);
    if (!device->Open(tty)) return nullptr;
    return device;
}

struct Registration {
    Registration() { RegisterDeviceOpener("COM", OpenPort); }
} g_registration;

}  // namespace

bool SetPortMapping(int port, const char* hostTty) {
    if (!ValidPort(port)) return false;
    std::string tty = hostTty ? hostTty : "";
    // The map is read back line by line with its spacing trimmed.
    if (tty.size() > kMaxTtyPath || tty.find_first_of("\r\n") != std::string::npos || Trim(tty).size() != tty.size())
        return false;
    const std::string path = PlatformStatePath("ports");
    // Programs of the device map their ports at the same time: read, change and replace under a lock.
    int lock = open(PlatformStatePath("ports.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) return false;
    while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string text;
    bool ok = ReadPortMap(path, text);
    if (ok) {
        std::string updated;
        ForEachLine(text, port, [&](std::string_view line, bool mine) {
            if (mine || Trim(line).empty()) return;
            updated.append(line);
            updated.push_back('\n');
        });
        if (!tty.empty()) updated += "COM" + std::to_string(port) + "=" + tty + "\n";
        static std::atomic<unsigned> counter{0};
        std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ok = fd >= 0;
        if (ok) {
            ok = WriteAll(fd, updated);
            ok = close(fd) == 0 && ok;
            ok = ok && rename(temp.c_str(), path.c_str()) == 0;
            if (!ok) unlink(temp.c_str());
        }
    }
    close(lock);
    return ok;
}

bool GetPortMapping(int port, char* hostTty, size_t size) {
    if (!ValidPort(port) || !hostTty || size == 0) return false;
    std::string value;
    std::string variable = "QRX_COM" + std::to_string(port);
    const char* env = std::getenv(variable.c_str());
    if (env && *env) {
        value = env;
    } else {
        std::string text;
        if (!ReadPortMap(PlatformStatePath("ports"), text)) return false;
        value = LookupPort(text, port);
    }
    if (value.empty() || value.size() >= size || value.find('\0') != std::string::npos) return false;
    std::memcpy(hostTty, value.c_str(), value.size() + 1);
    return true;
}

}  // namespace qrx

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = qrx::PortOf(hFile);
    return port ? port->GetState(lpDCB) : FALSE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = qrx::PortOf(hFile);
    return port ? port->SetState(lpDCB) : FALSE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto port = qrx::PortOf(hFile);
    return port ? port->GetTimeouts(lpCommTimeouts) : FALSE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto port = qrx::PortOf(hFile);
    return port ? port->SetTimeouts(lpCommTimeouts) : FALSE;
}

BOOL SetupComm(HANDLE hFile, DWORD, DWORD) {
    auto port = qrx::PortOf(hFile);
    return port ? port->Setup() : FALSE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    auto port = qrx::PortOf(hFile);
    return port ? port->SetMask(dwEvtMask) : FALSE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    auto port = qrx::PortOf(hFile);
    return port ? port->GetMask(lpEvtMask) : FALSE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    auto port = qrx::PortOf(hFile);
    if (!port) return FALSE;
    if (lpOverlapped) {  // the platform has no overlapped I/O
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->WaitEvent(lpEvtMask);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    auto port = qrx::PortOf(hFile);
    return port ? port->ClearError(lpErrors, lpStat) : FALSE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    auto port = qrx::PortOf(hFile);
    return port ? port->Purge(dwFlags) : FALSE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    auto port = qrx::PortOf(hFile);
    return port ? port->Escape(dwFunc) : FALSE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    auto port = qrx::PortOf(hFile);
    return port ? port->ModemStatus(lpModemStat) : FALSE;
}
