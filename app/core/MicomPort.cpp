#include "app/MicomPort.h"

#include <cmath>
#include <cstring>
#include <new>

#include "app/McuFrame.h"
#include "app/Settings.h"
#include "qrx/commline.h"
#include "qrx/host.h"

namespace {
const DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}  // namespace

CMicomPort::CMicomPort(HWND owner) : m_owner(owner), m_port(INVALID_HANDLE_VALUE), m_open(0) {
    m_semaphore = CreateSemaphoreW(nullptr, 1, 1, u"MICOM_SEMAPORE");
    InitializeCriticalSection(&m_writeLock);
}

CMicomPort::~CMicomPort() {
    Close();
    if (m_semaphore != nullptr) CloseHandle(m_semaphore);
    DeleteCriticalSection(&m_writeLock);
}

int CMicomPort::Open(int comNumber, DWORD baudRate, BYTE dataBits, BYTE stopBits, BYTE parity) {
    if (m_semaphore == nullptr || WaitForSingleObject(m_semaphore, INFINITE) != WAIT_OBJECT_0) return 0;
    CloseLocked();

    WCHAR name[16];
    swprintf(name, 16, u"COM%d:", comNumber);
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        WCHAR line[64];
        swprintf(line, 64, u"Invalid handle 0x%X\r\n", static_cast<DWORD>(reinterpret_cast<uintptr_t>(h)));
        OutputDebugStringW(line);
        ReleaseSemaphore(m_semaphore, 1, nullptr);
        return 0;
    }

    COMMTIMEOUTS timeouts = {};
    SetCommTimeouts(h, &timeouts);

    DWORD errors = 0;
    COMSTAT stat = {};
    if (!SetPlainCommState(h, baudRate, dataBits, stopBits, parity) || !ClearCommError(h, &errors, &stat) || !SetCommMask(h, EV_RXCHAR) ||
        !PurgeComm(h, kPurgeAll)) {
        CloseHandle(h);
        ReleaseSemaphore(m_semaphore, 1, nullptr);
        return 0;
    }
    m_port = h;
    m_open = 1;
    ReleaseSemaphore(m_semaphore, 1, nullptr);
    return 1;
}

void CMicomPort::Close() {
    // Another thread may be inside Transact with this handle.
    if (m_semaphore == nullptr || WaitForSingleObject(m_semaphore, INFINITE) != WAIT_OBJECT_0) return;
    CloseLocked();
    ReleaseSemaphore(m_semaphore, 1, nullptr);
}

void CMicomPort::CloseLocked() {
    m_open = 0;
    if (m_port == INVALID_HANDLE_VALUE) return;
    SetCommMask(m_port, 0);
    PurgeComm(m_port, kPurgeAll);
    EnterCriticalSection(&m_writeLock);
    CloseHandle(m_port);
    m_port = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&m_writeLock);
}

int CMicomPort::Read(BYTE* buffer, DWORD size) {
    if (buffer == nullptr || m_port == INVALID_HANDLE_VALUE) return 0;
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(m_port, &errors, &stat)) return 0;
    DWORD queued = stat.cbInQue;
    if (queued > MCU_REPLY_SIZE) {
        PurgeComm(m_port, kPurgeAll);
        return 0;
    }
    DWORD want = queued < size ? queued : size;
    DWORD total = 0;
    while (total < want) {
        DWORD got = 0;
        if (!ReadFile(m_port, buffer + total, want - total, &got, nullptr)) return 0;
        if (got == 0) break;
        total += got;
    }
    return static_cast<int>(total);
}

int CMicomPort::Write(const BYTE* payload, DWORD length) {
    if (payload == nullptr || length == 0 || length > MCU_MAX_REQUEST) return 0;
    BYTE frame[MCU_FRAME_MAX(MCU_MAX_REQUEST)];
    DWORD frameLength = McuEncodeFrame(payload, length, frame, sizeof frame);
    if (frameLength == 0) return 0;
    DWORD written = 0;
    BOOL ok = FALSE;
    // Whole frames only, whichever thread writes.
    EnterCriticalSection(&m_writeLock);
    if (m_port != INVALID_HANDLE_VALUE) ok = WriteFile(m_port, frame, frameLength, &written, nullptr);
    LeaveCriticalSection(&m_writeLock);
    return ok && written == frameLength ? static_cast<int>(length) : 0;
}

int CMicomPort::WaitAndAppend(BYTE* buffer, DWORD have, DWORD size, DWORD timeoutMs) {
    if (have >= size || timeoutMs == 0) return 0;
    // A one-byte read with a total time-out sleeps until the first byte is queued; the rest of
    // what is queued then comes without waiting.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = timeoutMs;
    if (!SetCommTimeouts(m_port, &timeouts)) return -1;
    DWORD got = 0;
    if (!ReadFile(m_port, buffer + have, 1, &got, nullptr)) return -1;
    if (got == 0) return 0;
    DWORD added = 1;
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(m_port, &errors, &stat)) return static_cast<int>(added);
    DWORD room = size - have - added;
    DWORD want = stat.cbInQue < room ? stat.cbInQue : room;
    while (want > 0) {
        got = 0;
        if (!ReadFile(m_port, buffer + have + added, want, &got, nullptr)) return -1;
        if (got == 0) break;
        if (got > want) got = want;
        added += got;
        want -= got;
    }
    return static_cast<int>(added);
}

int CMicomPort::Transact(const BYTE* payload, DWORD length, BYTE* reply) {
    if (!m_open || payload == nullptr || reply == nullptr || length < 3 || length > MCU_MAX_REQUEST) return 0;
    if (m_semaphore == nullptr || WaitForSingleObject(m_semaphore, INFINITE) != WAIT_OBJECT_0) return 0;
    int result = 0;
    for (int attempt = 0; attempt < MCU_ATTEMPTS && result == 0 && m_open; ++attempt) {
        if (attempt > 0) Sleep(0);
        BYTE buffer[MCU_REPLY_SIZE];
        Read(buffer, sizeof buffer);  // what is left of earlier replies
        if (Write(payload, length) != static_cast<int>(length)) continue;
        // The reply window is line time, as the port's own time-outs: the MCU answers in real time
        // whatever the device clock's scale.
        DWORD start = qrx::LineTickCount();
        DWORD have = 0;
        for (;;) {
            DWORD elapsed = qrx::LineTickCount() - start;
            if (elapsed >= MCU_REPLY_TIMEOUT_MS || have >= sizeof buffer) break;
            int added = WaitAndAppend(buffer, have, sizeof buffer, MCU_REPLY_TIMEOUT_MS - elapsed);
            // Nothing within the time left (or a line that hung up): this attempt is over.
            if (added <= 0) break;
            have += static_cast<DWORD>(added);
            DWORD n = McuDecodeFrame(buffer, have, reply, MCU_REPLY_SIZE);
            if (n == 0) continue;
            if (n >= 2 && reply[0] == payload[1] && reply[1] == payload[2]) result = static_cast<int>(n);
            break;
        }
    }
    ReleaseSemaphore(m_semaphore, 1, nullptr);
    return result;
}

int McuHundredths(double value, WORD* out) {
    if (out == nullptr) return 0;
    double scaled = value * 100.0;
    if (!(scaled > -0.5 && scaled < 65535.5)) return 0;
    long long rounded = std::llround(scaled);
    if (rounded < 0 || rounded > 65535) return 0;
    *out = static_cast<WORD>(rounded);
    return 1;
}

namespace {
int Run(CMicomPort* port, const BYTE* request, DWORD length, BYTE* reply) {
    return port == nullptr ? 0 : port->Transact(request, length, reply);
}

int Control(CMicomPort* port, BYTE code, BYTE argument) {
    const BYTE request[] = {0x01, 0x01, code, argument};
    BYTE reply[MCU_REPLY_SIZE];
    return Run(port, request, sizeof request, reply) == 3 ? 1 : 0;
}

int SetByte(CMicomPort* port, BYTE code, BYTE value) {
    const BYTE request[] = {0x01, 0x02, code, value};
    BYTE reply[MCU_REPLY_SIZE];
    return Run(port, request, sizeof request, reply) == 3 && reply[2] == value ? 1 : 0;
}

int SetWord(CMicomPort* port, BYTE code, WORD value) {
    const BYTE request[] = {0x01, 0x02, code, LOBYTE(value), HIBYTE(value)};
    BYTE reply[MCU_REPLY_SIZE];
    return Run(port, request, sizeof request, reply) == 4 && reply[2] == request[3] && reply[3] == request[4] ? 1
                                                                                                              : 0;
}
}  // namespace

int CmdBootupComplete(CMicomPort* port) { return Control(port, 0x01, 0x01); }
int CmdKeepAlive(CMicomPort* port) { return Control(port, 0x02, 0x01); }
int CmdOperation(CMicomPort* port, BYTE code) { return Control(port, 0x03, code); }
int CmdSet10(CMicomPort* port, WORD voltage) { return SetWord(port, 0x10, voltage); }
int CmdSet11(CMicomPort* port, WORD current) { return SetWord(port, 0x11, current); }
int CmdCutVoltage(CMicomPort* port, WORD voltage) { return SetWord(port, 0x12, voltage); }
int CmdCutCurrent(CMicomPort* port, WORD current) { return SetWord(port, 0x13, current); }
int CmdSet14(CMicomPort* port, BYTE direction) { return SetByte(port, 0x14, direction); }
int CmdSet15(CMicomPort* port, BYTE output) { return SetByte(port, 0x15, output); }
int CmdSet16(CMicomPort* port, BYTE resume) { return SetByte(port, 0x16, resume); }
int CmdSetTempLimit(CMicomPort* port, WORD limit) { return SetWord(port, 0x18, limit); }
int CmdSet19(CMicomPort* port, int flag) { return SetByte(port, 0x19, flag != 1 ? 1 : 0); }
int CmdSet1A(CMicomPort* port, int flag) { return SetByte(port, 0x1A, flag != 1 ? 1 : 0); }

int GetFWVersion(CMicomPort* port, BYTE version[4]) {
    const BYTE request[] = {0x02, 0xFF, 0x01, 0x01};
    BYTE reply[MCU_REPLY_SIZE];
    if (version == nullptr || Run(port, request, sizeof request, reply) != 6) return 0;
    std::memcpy(version, reply + 2, 4);
    return 1;
}

int GetCurrentStatus(CMicomPort* port, McuStatusRecord* status) {
    const BYTE request[] = {0x02, 0x02, 0x00, 0x01};
    BYTE reply[MCU_REPLY_SIZE];
    if (status == nullptr) return 0;
    int n = Run(port, request, sizeof request, reply);
    return n > 0 && McuDecodeStatus(reply, static_cast<DWORD>(n), status);
}

namespace {
// A limit that does not fit the MCU's hundredths is not sent at all rather than sent wrapped.
int SendLimit(CMicomPort* port, int (*command)(CMicomPort*, WORD), double value, WORD* sent) {
    *sent = 0;
    if (!McuHundredths(value, sent)) return 0;
    return command(port, *sent);
}
}  // namespace

int InitMcu(HWND owner, int comNumber, CMicomPort** mcuPort, BYTE version[4]) {
    if (mcuPort == nullptr) return 0;
    if (*mcuPort == nullptr) {
        *mcuPort = new (std::nothrow) CMicomPort(owner);
        if (*mcuPort == nullptr) return 0;
    }
    CMicomPort* port = *mcuPort;
    if (!port->Open(comNumber, MCU_BAUD_RATE, 8, ONESTOPBIT, NOPARITY)) return 0;

    WCHAR line[96];
    BYTE shown[4] = {0, 0, 0, 0};
    int result = GetFWVersion(port, shown);
    if (result && version != nullptr) std::memcpy(version, shown, 4);
    if (version != nullptr) std::memcpy(shown, version, 4);
    swprintf(line, 96, u"[MCU]GetFWVersion %d, %02X,%02X,%02X,%02X\r\n", result, shown[0], shown[1], shown[2],
             shown[3]);
    OutputDebugStringW(line);

    result = CmdBootupComplete(port);
    swprintf(line, 96, u"[MCU]CmdBootupComplete %d\r\n", result);
    OutputDebugStringW(line);

    WORD value = 0;
    result = SendLimit(port, CmdCutVoltage, g_Settings.dCutVoltage, &value);
    swprintf(line, 96, u"[MCU]CmdCutVoltage %d,%d\r\n", result, value);
    OutputDebugStringW(line);

    result = SendLimit(port, CmdCutCurrent, g_Settings.dCutCurrent, &value);
    swprintf(line, 96, u"[MCU]CmdCutCurrent %d,%d\r\n", result, value);
    OutputDebugStringW(line);

    result = SendLimit(port, CmdSetTempLimit, static_cast<double>(g_Settings.nBatTempLimit), &value);
    swprintf(line, 96, u"[MCU]CmdSetTempLimit %d\r\n", result);
    OutputDebugStringW(line);
    return 1;
}
