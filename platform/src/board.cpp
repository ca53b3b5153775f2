// The board's simulated hardware: the GPIO library over a pin-level file, and the stream devices
// "PWM1:" (tone), "PWM2:" (backlight) and "TCH1:" (touch panel mode), each recording what it was told
// in the device root so that tests and the screen server see it. Every program of the device shares
// these files; changes are made under a lock file and published by renaming a complete new file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"
#include "qrx/boardapi.h"
#include "qrx/handleapi.h"
#include "qrx/synchapi.h"

namespace qrx {
namespace {

constexpr size_t kMaxStateFileBytes = 64 * 1024;
constexpr size_t kMaxRecords = 32;
// A buzzer pattern is up to 31 tones and their stops: the tone device keeps all of one.
constexpr size_t kMaxToneRecords = 128;
constexpr size_t kMaxRecordedBytes = 64;  // of one control's input; the full size is noted beside

std::atomic<bool> g_gpioAvailable{true};

DWORD ErrorFromErrno(int e) {
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

// Reads at most kMaxStateFileBytes; a longer file is cut at its last whole line within the bound.
std::string ReadStateFile(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    text.resize(kMaxStateFileBytes + 1);
    size_t used = 0;
    while (used < text.size()) {
        ssize_t n = read(fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(used);
    if (used > kMaxStateFileBytes) {
        size_t end = text.rfind('\n', kMaxStateFileBytes - 1);
        text.resize(end == std::string::npos ? 0 : end + 1);
    }
    return text;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces a state file in one step, so a reader sees the old or the new content only.
bool ReplaceStateFile(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetError(ErrorFromErrno(errno));
        return false;
    }
    bool ok = WriteAll(fd, text);
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        SetError(ErrorFromErrno(error));
    }
    return ok;
}

// Serialises read-modify-write of one state file among the threads and programs of the device:
// flock locks of separate opens exclude each other even inside one process.
class StateFileLock {
public:
    explicit StateFileLock(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0) {
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~StateFileLock() {
        if (m_fd >= 0) close(m_fd);
    }
    StateFileLock(const StateFileLock&) = delete;
    StateFileLock& operator=(const StateFileLock&) = delete;

private:
    int m_fd = -1;
};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Decimal, or hexadecimal after "0x"; the whole text must be the number and fit 32 bits.
bool ParseDword(std::string_view s, DWORD& out) {
    s = Trim(s);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<DWORD>(v);
    return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// ---- GPIO ---------------------------------------------------------------------------------------

struct PinLine {
    bool valid = false;
    DWORD pin = 0;
    DWORD level = 0;
    bool fixed = false;
};

// "pin=level" with an optional " fixed"; anything else is not a pin line.
PinLine ParsePinLine(std::string_view line) {
    PinLine p;
    line = Trim(line);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return p;
    std::string_view value = Trim(line.substr(eq + 1));
    size_t space = value.find_first_of(" \t");
    if (space != std::string_view::npos) {
        if (Trim(value.substr(space)) != "fixed") return p;
        p.fixed = true;
        value = value.substr(0, space);
    }
    if (!ParseDword(line.substr(0, eq), p.pin) || p.pin > GPIO_MAX_PIN || !ParseDword(value, p.level)) return p;
    p.valid = true;
    return p;
}

std::string GpioPath() { return PlatformStatePath("gpio"); }

bool GpioFileSaysAbsent() {
    std::string text = ReadStateFile(GpioPath());
    for (std::string_view line : Lines(text))
        if (Trim(line) == "absent") return true;
    return false;
}

// The last line of a pin wins, as a later edit of the file would intend.
PinLine FindPin(const std::string& text, DWORD pin) {
    PinLine found;
    for (std::string_view line : Lines(text)) {
        PinLine p = ParsePinLine(line);
        if (p.valid && p.pin == pin) found = p;
    }
    return found;
}

// Sets a pin's line in the level file, keeping every other line as it was. A program's drive
// (byBoard false) leaves a fixed pin alone.
bool WritePinLevel(DWORD pin, DWORD level, bool fixed, bool byBoard) {
    std::string path = GpioPath();
    StateFileLock lock(path + ".lock");
    std::string text = ReadStateFile(path);
    if (!byBoard && FindPin(text, pin).fixed) return true;
    std::string out;
    for (std::string_view line : Lines(text)) {
        PinLine p = ParsePinLine(line);
        if (p.valid && p.pin == pin) continue;
        out.append(line);
        out.push_back('\n');
    }
    out += std::to_string(pin) + "=" + std::to_string(level) + (fixed ? " fixed\n" : "\n");
    return ReplaceStateFile(path, out);
}

class GpioObject : public KernelObject {};

bool CheckGpio(HANDLE h, DWORD pin) {
    if (!HandleAs<GpioObject>(h)) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (pin > GPIO_MAX_PIN) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

bool AppendRecord(const std::string& device, DWORD code, const BYTE* bytes, DWORD size);

// Each drive is recorded as device "GPIO": the ordinal as the code, the pin and the value as two
// DWORDs, so tests see what the board was told even for fixed pins.
void RecordGpio(DWORD ordinal, DWORD pin, DWORD value) {
    BYTE bytes[8];
    std::memcpy(bytes, &pin, 4);
    std::memcpy(bytes + 4, &value, 4);
    AppendRecord("GPIO", ordinal, bytes, sizeof bytes);
}

BOOL Drive(HANDLE h, DWORD pin, DWORD level) {
    if (!CheckGpio(h, pin)) return FALSE;
    RecordGpio(level ? 205 : 204, pin, level);
    if (!WritePinLevel(pin, level, false, false)) return FALSE;
    SetError(ERROR_SUCCESS);
    return TRUE;
}

// ---- Stream devices -----------------------------------------------------------------------------

size_t HistoryOf(const std::string& device) { return device == "PWM1" ? kMaxToneRecords : kMaxRecords; }

std::string DevicePath(const std::string& name) {
    std::string folder = PlatformStatePath("devices");
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return std::string();
    return folder + "/" + name;
}

const char kHex[] = "0123456789abcdef";

std::string FormatRecord(DWORD tick, DWORD code, const BYTE* bytes, DWORD size) {
    char head[64];
    std::snprintf(head, sizeof head, "%u 0x%08X %u ", tick, code, size);
    std::string line = head;
    DWORD shown = size < kMaxRecordedBytes ? size : static_cast<DWORD>(kMaxRecordedBytes);
    if (shown == 0) line.push_back('-');
    for (DWORD i = 0; i < shown; ++i) {
        line.push_back(kHex[bytes[i] >> 4]);
        line.push_back(kHex[bytes[i] & 15]);
    }
    line.push_back('\n');
    return line;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "<tick> <code> <size> <hex bytes or ->"; false for anything else.
bool ParseRecord(std::string_view line, DeviceRecord& r) {
    std::string_view fields[4];
    line = Trim(line);
    for (int i = 0; i < 4; ++i) {
        size_t space = line.find(' ');
        if ((space == std::string_view::npos) != (i == 3)) return false;
        fields[i] = line.substr(0, space);
        if (i < 3) line = Trim(line.substr(space + 1));
    }
    DWORD size = 0;
    if (!ParseDword(fields[0], r.tick) || !ParseDword(fields[1], r.code) || !ParseDword(fields[2], size)) return false;
    r.size = size;
    r.bytes.clear();
    if (fields[3] == "-") return size == 0;
    if (fields[3].size() % 2 != 0 || fields[3].size() / 2 > kMaxRecordedBytes || fields[3].size() / 2 > size)
        return false;
    for (size_t i = 0; i < fields[3].size(); i += 2) {
        int hi = HexDigit(fields[3][i]), lo = HexDigit(fields[3][i + 1]);
        if (hi < 0 || lo < 0) return false;
        r.bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
    }
    return true;
}

bool AppendRecord(const std::string& device, DWORD code, const BYTE* bytes, DWORD size) {
    std::string path = DevicePath(device);
    if (path.empty()) {
        SetError(ErrorFromErrno(errno));
        return false;
    }
    StateFileLock lock(path + ".lock");
    std::vector<std::string_view> kept;
    std::string text = ReadStateFile(path);
    DeviceRecord scratch;
    for (std::string_view line : Lines(text))
        if (ParseRecord(line, scratch)) kept.push_back(line);
    size_t history = HistoryOf(device);
    size_t first = kept.size() >= history ? kept.size() - (history - 1) : 0;
    std::string out;
    for (size_t i = first; i < kept.size(); ++i) {
        out.append(kept[i]);
        out.push_back('\n');
    }
    out += FormatRecord(GetTickCount(), code, bytes, size);
    return ReplaceStateFile(path, out);
}

enum class DeviceKind { Tone, Backlight, Touch };

class BoardDevice : public DeviceObject {
public:
    BoardDevice(DeviceKind kind, std::string name, int shareFd)
        : m_kind(kind), m_name(std::move(name)), m_fd(shareFd) {}
    ~BoardDevice() override { ReleaseShare(); }
    void LastHandleClosed() override { ReleaseShare(); }

    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void*, DWORD, DWORD* returned) override {
        if (returned) *returned = 0;
        if (inSize > 0 && !in) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        bool accepted = false;
        switch (m_kind) {
            case DeviceKind::Tone:
                accepted = code == IOCTL_PWM_SET_TONE && inSize == sizeof(PWM_TONE_RECORD);
                break;
            case DeviceKind::Backlight:
                accepted = code == IOCTL_PWM_SET_BACKLIGHT && inSize == sizeof(DWORD);
                break;
            case DeviceKind::Touch:
                accepted = true;  // the panel's modes are the board's business: take and record them all
                break;
        }
        if (!accepted) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!AppendRecord(m_name, code, static_cast<const BYTE*>(in), inSize)) return FALSE;
        SetError(ERROR_SUCCESS);
        return TRUE;
    }

private:
    void ReleaseShare() {
        int fd = m_fd.exchange(-1);
        if (fd >= 0) close(fd);
    }

    DeviceKind m_kind;
    std::string m_name;
    std::atomic<int> m_fd;  // holds the device's open lock: shared, or exclusive for share mode 0
};

// The lock lives in the device root so that exclusive opens exclude every program of the device;
// it goes with the handle or the process.
int TakeOpenLock(const std::string& name, DWORD share) {
    std::string path = DevicePath(name);
    int fd = path.empty() ? -1 : open((path + ".open").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetError(ErrorFromErrno(errno));
        return -1;
    }
    int mode = (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    while ((rc = flock(fd, mode)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        int e = errno;
        close(fd);
        SetError(e == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(e));
        return -1;
    }
    return fd;
}

std::shared_ptr<DeviceObject> OpenBoardDevice(const std::u16string& name, DWORD, DWORD share) {
    DeviceKind kind;
    if (name == u"PWM1:")
        kind = DeviceKind::Tone;
    else if (name == u"PWM2:")
        kind = DeviceKind::Backlight;
    else if (name == u"TCH1:")
        kind = DeviceKind::Touch;
    else {
        SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    std::string plain;
    for (size_t i = 0; i + 1 < name.size(); ++i) plain.push_back(static_cast<char>(name[i]));
    int fd = TakeOpenLock(plain, share);
    if (fd < 0) return nullptr;
    return std::make_shared<BoardDevice>(kind, plain, fd);
}

struct Registration {
    Registration() {
        RegisterDeviceOpener("PWM", OpenBoardDevice);
        RegisterDeviceOpener("TCH", OpenBoardDevice);
    }
} g_registration;

}  // namespace

void SetGpioAvailable(bool available) { g_gpioAvailable.store(available); }

bool SetGpioPinLevel(DWORD pin, DWORD level, bool fixed) {
    if (pin > GPIO_MAX_PIN) return false;
    return WritePinLevel(pin, level, fixed, true);
}

DWORD GpioPinLevel(DWORD pin) { return FindPin(ReadStateFile(GpioPath()), pin).level; }

bool RecordDeviceControl(const std::string& device, DWORD code, const BYTE* bytes, DWORD size) {
    return AppendRecord(device, code, bytes, size);
}

std::string FormatDeviceRecord(DWORD tick, DWORD code, const BYTE* bytes, DWORD size) {
    return FormatRecord(tick, code, bytes, size);
}

bool ParseDeviceRecord(std::string_view line, DeviceRecord& r) { return ParseRecord(line, r); }

std::vector<DeviceRecord> ReadDeviceRecords(const std::string& device) {
    if (device == "FWD1") return ReadFlashRecords();
    std::vector<DeviceRecord> records;
    if (device.empty() || device.find('/') != std::string::npos || device[0] == '.') return records;
    std::string path = DevicePath(device);
    if (path.empty()) return records;
    std::string text = ReadStateFile(path);
    DeviceRecord r;
    for (std::string_view line : Lines(text))
        if (ParseRecord(line, r)) records.push_back(r);
    size_t history = HistoryOf(device);
    if (records.size() > history) records.erase(records.begin(), records.end() - static_cast<ptrdiff_t>(history));
    return records;
}

int BacklightState() {
    std::vector<DeviceRecord> records = ReadDeviceRecords("PWM2");
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->code != IOCTL_PWM_SET_BACKLIGHT || it->bytes.size() != sizeof(DWORD)) continue;
        DWORD on = 0;
        std::memcpy(&on, it->bytes.data(), sizeof on);
        return on != 0 ? 1 : 0;
    }
    return -1;
}

}  // namespace qrx

using namespace qrx;

HANDLE GPIO_Open(void) {
    if (!g_gpioAvailable.load() || GpioFileSaysAbsent()) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    SetError(ERROR_SUCCESS);
    return NewHandle(std::make_shared<GpioObject>());
}

BOOL GPIO_Close(HANDLE hGpio) {
    if (!HandleAs<GpioObject>(hGpio)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ReleaseHandle(hGpio) ? TRUE : FALSE;
}

BOOL GPIO_SetMode(HANDLE hGpio, DWORD pin, DWORD mode) {
    if (!CheckGpio(hGpio, pin)) return FALSE;
    if (mode != GPIO_MODE_OUTPUT && mode != GPIO_MODE_INPUT) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RecordGpio(202, pin, mode);
    SetError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GPIO_ClrBit(HANDLE hGpio, DWORD pin) { return Drive(hGpio, pin, 0); }

BOOL GPIO_SetBit(HANDLE hGpio, DWORD pin) { return Drive(hGpio, pin, 1); }

DWORD GPIO_GetBit(HANDLE hGpio, DWORD pin) {
    if (!CheckGpio(hGpio, pin)) return 0;
    SetError(ERROR_SUCCESS);
    return FindPin(ReadStateFile(GpioPath()), pin).level;
}
