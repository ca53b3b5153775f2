// The device clock. Everything time-related (tick count, performance counter, sleeps, wait
// time-outs, system time) derives from one monotonic device clock that runs QRX_TIME_SCALE times
// faster than the host's, so a test can run hours of device time in minutes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/synchapi.h"

namespace qrx {

namespace {

using Steady = std::chrono::steady_clock;

constexpr long long kTicksPerMs = 10000;  // FILETIME ticks are 100 ns
constexpr long long kTicksPerSecond = 10000000;
constexpr long long kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 as FILETIME
// The last FILETIME that still converts: 30827-12-31 23:59:59.9999999.
constexpr long long kMaxFileTime = 0x7FFF35F4F06C7FFFLL;
constexpr double kMaxScale = 1000000.0;      // keeps the scaled arithmetic far from overflow
constexpr long long kRecheckNs = 100000000;  // how often another program's clock change is noticed

double ParseScale(const char* text) {
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    while (end && (*end == ' ' || *end == '\t' || *end == '\n')) ++end;
    if (errno != 0 || !end || *end != '\0' || !std::isfinite(v) || v < 1.0) return 1.0;
    return v > kMaxScale ? kMaxScale : v;
}

// What the clock state file holds: the epoch E (host time at which scaled device time started to
// run away from the host), the scale it was recorded under, and the offset set by SetSystemTime.
struct ClockFile {
    bool hasEpoch = false;
    long long epoch = 0;
    double scale = 1.0;
    long long offset = 0;
};

struct ClockState {
    std::mutex lock;
    bool configured = false;
    double scale = 1.0;
    // Device monotonic time is deviceBaseNs + (now - realBase) * scale; rebased on every scale
    // change so the device clock never jumps.
    Steady::time_point realBase;
    long double deviceBaseNs = 0;

    // Cached clock state file.
    bool fileValid = false;
    bool rebaseChecked = false;
    Steady::time_point lastCheck;
    FileIdentity identity;
    ClockFile file;
};

ClockState& State() {
    static ClockState* s = new ClockState;  // lives until exit: threads may still ask for the time
    return *s;
}

std::atomic<DWORD> g_tickStart{0};

// Caller holds s.lock.
void ConfigureLocked(ClockState& s) {
    Steady::time_point now = Steady::now();
    if (s.configured) {
        s.deviceBaseNs += static_cast<long double>((now - s.realBase).count()) * s.scale;
    } else {
        s.deviceBaseNs = 0;
    }
    s.realBase = now;
    s.scale = ParseScale(std::getenv("QRX_TIME_SCALE"));
    s.configured = true;
}

// Locks the clock state, reading the configuration on first use.
class LockedClock {
public:
    LockedClock() : m_state(State()), m_guard(m_state.lock) {
        if (!m_state.configured) ConfigureLocked(m_state);
    }
    ClockState* operator->() { return &m_state; }
    ClockState& operator*() { return m_state; }

private:
    ClockState& m_state;
    std::lock_guard<std::mutex> m_guard;
};

long double DeviceNs() {
    LockedClock s;
    return s->deviceBaseNs + static_cast<long double>((Steady::now() - s->realBase).count()) * s->scale;
}

long long HostNowTicks() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * kTicksPerSecond + ts.tv_nsec / 100 + kUnixEpochTicks;
}

long long ClampFileTime(__int128 v) {
    if (v < 0) return 0;
    if (v > kMaxFileTime) return kMaxFileTime;
    return static_cast<long long>(v);
}

long long DeviceTicksFor(const ClockFile& f, double scale, long long host) {
    __int128 base = host;
    if (scale != 1.0 && f.hasEpoch) {
        long double scaled = static_cast<long double>(host - f.epoch) * scale;
        base = static_cast<__int128>(f.epoch) + static_cast<__int128>(scaled);
    }
    return ClampFileTime(base + f.offset);
}

bool ParseInt64(const char* s, long long& out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 10);
    if (errno != 0 || end == s || (*end != '\0' && *end != '\n')) return false;
    out = v;
    return true;
}

// Reads the clock state file; anything unreadable or out of range counts as absent.
ClockFile ReadClockFile(const std::string& path) {
    ClockFile f;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return f;
    char buf[1024];
    size_t used = 0;
    while (used < sizeof buf - 1) {
        ssize_t n = read(fd, buf + used, sizeof buf - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    buf[used] = '\0';
    char* save = nullptr;
    for (char* line = strtok_r(buf, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
        long long v = 0;
        if (std::strncmp(line, "epoch ", 6) == 0 && ParseInt64(line + 6, v) && v >= 0 && v <= kMaxFileTime) {
            f.epoch = v;
            f.hasEpoch = true;
        } else if (std::strncmp(line, "scale ", 6) == 0) {
            f.scale = ParseScale(line + 6);
        } else if (std::strncmp(line, "offset ", 7) == 0 && ParseInt64(line + 7, v) && v >= -kMaxFileTime &&
                   v <= kMaxFileTime) {
            f.offset = v;
        }
    }
    return f;
}

DWORD ErrnoToError(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOSPC:
            return ERROR_DISK_FULL;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Replaces the clock state file in one step, so a reader sees the old or the new content only.
bool WriteClockFile(const std::string& path, const ClockFile& f, DWORD& error) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = ErrnoToError(errno);
        return false;
    }
    char text[160];
    int len = f.hasEpoch ? std::snprintf(text, sizeof text, "epoch %lld\nscale %.17g\noffset %lld\n", f.epoch, f.scale,
                                         f.offset)
                         : std::snprintf(text, sizeof text, "offset %lld\n", f.offset);
    bool ok = len > 0 && write(fd, text, static_cast<size_t>(len)) == len;
    if (!ok) error = ErrnoToError(errno);
    if (close(fd) != 0 && ok) {
        ok = false;
        error = ErrnoToError(errno);
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = ErrnoToError(errno);
    }
    if (!ok) unlink(tmp.c_str());
    return ok;
}

// Serialises read-modify-write of the clock file among the programs of the device.
class ClockFileLock {
public:
    ClockFileLock() {
        m_fd = open(PlatformStatePath("clock.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0) {
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~ClockFileLock() {
        if (m_fd >= 0) close(m_fd);
    }
    ClockFileLock(const ClockFileLock&) = delete;
    ClockFileLock& operator=(const ClockFileLock&) = delete;

private:
    int m_fd = -1;
};

// A clock file recorded under another scale (or none, when this device runs scaled) is rebased
// once per configuration so the device time continues from where it was instead of jumping.
// Caller holds s.lock.
void RebaseIfNeeded(ClockState& s, const std::string& path) {
    bool needed = s.file.hasEpoch ? s.file.scale != s.scale : s.scale != 1.0;
    if (!needed) return;
    ClockFileLock fileLock;
    ClockFile f = ReadClockFile(path);
    if (f.hasEpoch ? f.scale == s.scale : s.scale == 1.0) {  // another program just did it
        s.file = f;
        s.identity = Identify(path);
        return;
    }
    long long host = HostNowTicks();
    long long device = DeviceTicksFor(f, f.hasEpoch ? f.scale : 1.0, host);
    ClockFile n;
    n.hasEpoch = true;
    n.epoch = host;
    n.scale = s.scale;
    n.offset = device - host;
    DWORD error = 0;
    s.file = WriteClockFile(path, n, error) ? n : f;  // unwritable root: run on what is there
    s.identity = Identify(path);                      // still under the file lock: nobody else wrote since
}

// Caller holds s.lock. Returns the clock file state, re-read when another program changed it.
const ClockFile& CurrentFileLocked(ClockState& s) {
    Steady::time_point now = Steady::now();
    if (s.fileValid && (now - s.lastCheck).count() < kRecheckNs) return s.file;
    std::string path = PlatformStatePath("clock");
    // Identified before reading: a change made while reading shows up at the next check.
    FileIdentity id = Identify(path);
    if (!s.fileValid || !(id == s.identity)) {
        s.file = ReadClockFile(path);
        s.identity = id;
        s.fileValid = true;
    }
    if (!s.rebaseChecked) {
        s.rebaseChecked = true;
        RebaseIfNeeded(s, path);
    }
    s.lastCheck = now;
    return s.file;
}

long long DeviceSystemTicks() {
    LockedClock locked;
    ClockState& s = *locked;
    const ClockFile& f = CurrentFileLocked(s);
    return DeviceTicksFor(f, s.scale, HostNowTicks());
}

bool SetDeviceSystemTicks(long long target) {
    LockedClock locked;
    ClockState& s = *locked;
    CurrentFileLocked(s);
    std::string path = PlatformStatePath("clock");
    ClockFileLock fileLock;
    ClockFile f = ReadClockFile(path);
    long long host = HostNowTicks();
    if (s.scale != 1.0 && !(f.hasEpoch && f.scale == s.scale)) {
        f.hasEpoch = true;
        f.epoch = host;
        f.scale = s.scale;
    }
    ClockFile probe = f;
    probe.offset = 0;
    f.offset = target - DeviceTicksFor(probe, s.scale, host);
    DWORD error = 0;
    if (!WriteClockFile(path, f, error)) {
        SetError(error);
        return false;
    }
    s.file = f;
    s.fileValid = true;
    s.identity = Identify(path);
    s.lastCheck = Steady::now();
    return true;
}

// Proleptic Gregorian day numbers relative to 1970-01-01.
constexpr long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

constexpr long long kDays1601 = DaysFromCivil(1601, 1, 1);

bool ValidSystemTime(const SYSTEMTIME& st) {
    return st.wYear >= 1601 && st.wYear <= 30827 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

long long ToTicks(const SYSTEMTIME& st) {
    long long days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDays1601;
    long long seconds = days * 86400 + st.wHour * 3600LL + st.wMinute * 60LL + st.wSecond;
    return seconds * kTicksPerSecond + st.wMilliseconds * kTicksPerMs;
}

bool FromTicks(unsigned long long ticks, SYSTEMTIME& st) {
    if (ticks > static_cast<unsigned long long>(kMaxFileTime)) return false;
    long long t = static_cast<long long>(ticks);
    long long days = t / (86400 * kTicksPerSecond);
    long long rest = t % (86400 * kTicksPerSecond);
    long long y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days + kDays1601, y, m, d);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st.wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    st.wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond) % 60);
    st.wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
    st.wMilliseconds = static_cast<WORD>(rest / kTicksPerMs % 1000);
    return true;
}

unsigned long long Pack(const FILETIME& ft) {
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void Unpack(unsigned long long v, FILETIME& ft) {
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
}

long long MinutesToTicks(LONG minutes) { return static_cast<long long>(minutes) * 60 * kTicksPerSecond; }

// File times convert with the zone's bias in force now, as the platform does.
long long CurrentBiasTicks() { return MinutesToTicks(ZoneBiasMinutesAt(DeviceSystemTicks())); }

bool ShiftFileTime(const FILETIME* in, FILETIME* out, long long delta) {
    if (!in || !out) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    __int128 v = static_cast<__int128>(Pack(*in)) + delta;
    if (v < 0 || v > static_cast<__int128>(~0ULL)) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    Unpack(static_cast<unsigned long long>(v), *out);
    return true;
}

}  // namespace

double TimeScale() { return LockedClock()->scale; }

void SetTickCountStart(DWORD start) {
    g_tickStart.store(static_cast<DWORD>(start - static_cast<DWORD>(DeviceMonotonicMs())));
}

long long DeviceMsToRealNs(DWORD ms) {
    long double ns = static_cast<long double>(ms) * 1000000.0L / TimeScale();
    return static_cast<long long>(ns);
}

DWORD LineTickCount() {
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch()).count());
}

unsigned long long DeviceMonotonicMs() { return static_cast<unsigned long long>(DeviceNs() / 1000000.0L); }

Steady::time_point DeadlineAfter(DWORD deviceMs) {
    if (deviceMs == INFINITE) return Steady::time_point::max();
    return Steady::now() + std::chrono::nanoseconds(DeviceMsToRealNs(deviceMs));
}

void ReloadTimeConfig() {
    ClockState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ConfigureLocked(s);
    s.fileValid = false;
    s.rebaseChecked = false;
}

}  // namespace qrx

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::nanoseconds(qrx::DeviceMsToRealNs(dwMilliseconds)));
}

DWORD GetTickCount() {
    return static_cast<DWORD>(qrx::g_tickStart.load() + static_cast<DWORD>(qrx::DeviceMonotonicMs()));
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(qrx::DeviceNs() / 1000.0L);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpFrequency->QuadPart = 1000000;
    return TRUE;
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    qrx::FromTicks(static_cast<unsigned long long>(qrx::DeviceSystemTicks()), *lpSystemTime);
}

BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime) {
    if (!lpSystemTime || !qrx::ValidSystemTime(*lpSystemTime)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return qrx::SetDeviceSystemTicks(qrx::ToTicks(*lpSystemTime)) ? TRUE : FALSE;
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    long long utc = qrx::DeviceSystemTicks();
    long long local = qrx::ClampFileTime(static_cast<__int128>(utc) - qrx::MinutesToTicks(qrx::ZoneBiasMinutesAt(utc)));
    qrx::FromTicks(static_cast<unsigned long long>(local), *lpSystemTime);
}

BOOL SetLocalTime(const SYSTEMTIME* lpSystemTime) {
    if (!lpSystemTime || !qrx::ValidSystemTime(*lpSystemTime)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The bias of the new time itself, so that the local time read back is the one set even when
    // daylight time starts or ends in between.
    long long local = qrx::ToTicks(*lpSystemTime);
    __int128 utc = static_cast<__int128>(local) + qrx::MinutesToTicks(qrx::ZoneBiasMinutesForLocal(local));
    if (utc < 0 || utc > qrx::kMaxFileTime) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return qrx::SetDeviceSystemTicks(static_cast<long long>(utc)) ? TRUE : FALSE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (!lpSystemTime || !lpFileTime || !qrx::ValidSystemTime(*lpSystemTime)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    qrx::Unpack(static_cast<unsigned long long>(qrx::ToTicks(*lpSystemTime)), *lpFileTime);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime || !qrx::FromTicks(qrx::Pack(*lpFileTime), *lpSystemTime)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    return qrx::ShiftFileTime(lpFileTime, lpLocalFileTime, -qrx::CurrentBiasTicks()) ? TRUE : FALSE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
    return qrx::ShiftFileTime(lpLocalFileTime, lpFileTime, qrx::CurrentBiasTicks()) ? TRUE : FALSE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    if (!a || !b) return 0;
    unsigned long long x = qrx::Pack(*a), y = qrx::Pack(*b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void GetSystemTimeAsFileTime(LPFILETIME lpFileTime) {
    if (!lpFileTime) return;
    qrx::Unpack(static_cast<unsigned long long>(qrx::DeviceSystemTicks()), *lpFileTime);
}
