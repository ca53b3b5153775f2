#include "radiolink/UartPort.h"

#include <cstring>

#include "qrx/commline.h"

namespace {
const DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// How often Close re-arms its wake-up while the reader has not ended: the reader may have been
// between its running check and WaitCommEvent when the first wake-up came.
const DWORD kJoinPollMs = 50;
}  // namespace

bool CUartRing::Put(BYTE b) {
    DWORD next = (m_put + 1) % UART_RING_SIZE;
    if (next == m_get) {
        m_put = m_get;
        return false;
    }
    m_data[m_put] = b;
    m_put = next;
    return true;
}

int CUartRing::Get(BYTE* out) {
    if (m_put == m_get) return 0;
    *out = m_data[m_get];
    m_get = (m_get + 1) % UART_RING_SIZE;
    return 1;
}

void CUartRing::Reset() {
    m_put = 0;
    m_get = 0;
    std::memset(m_data, 0, sizeof m_data);
}

CUartPort::CUartPort(HANDLE dataEvent)
    : m_dataEvent(dataEvent), m_port(INVALID_HANDLE_VALUE), m_running(0), m_thread(nullptr), m_value(0),
      m_readBuffer{} {
    InitializeCriticalSection(&m_ringLock);
    InitializeCriticalSection(&m_writeLock);
}

CUartPort::CUartPort(PFN_UART_SINK sink, void* context) : CUartPort(INVALID_HANDLE_VALUE) {
    m_sink = sink;
    m_sinkContext = context;
}

CUartPort::~CUartPort() {
    Close();
    DeleteCriticalSection(&m_writeLock);
    DeleteCriticalSection(&m_ringLock);
}

int CUartPort::Open(int port, DWORD baudRate, WORD value, BYTE dataBits, BYTE stopBits, BYTE parity) {
    if (m_port != INVALID_HANDLE_VALUE || m_thread != nullptr) Close();
    m_running = 0;

    WCHAR name[16];
    swprintf(name, 16, u"COM%d:", port);
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    if (!SetCommMask(h, EV_RXCHAR) || !PurgeComm(h, kPurgeAll)) {
        CloseHandle(h);
        return 0;
    }

    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 100;
    timeouts.WriteTotalTimeoutMultiplier = 100;
    SetCommTimeouts(h, &timeouts);

    if (!SetPlainCommState(h, baudRate, dataBits, stopBits, parity)) {
        CloseHandle(h);
        return 0;
    }

    m_port = h;
    m_value = value;
    m_running = 1;
    if (m_dataEvent != nullptr) {
        m_thread = CreateThread(nullptr, 0, ReaderThread, this, 0, nullptr);
        if (m_thread == nullptr) {
            Close();
            return 0;
        }
    }
    return 1;
}

void CUartPort::Close() {
    m_running = 0;
    if (m_port != INVALID_HANDLE_VALUE) SetCommMask(m_port, 0);
    // The owner deletes this object right after Close, and the reader uses the ring and the port:
    // it must have ended before either goes away.
    if (m_thread != nullptr) {
        while (WaitForSingleObject(m_thread, kJoinPollMs) == WAIT_TIMEOUT) {
            if (m_port != INVALID_HANDLE_VALUE) SetCommMask(m_port, 0);
        }
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    if (m_port == INVALID_HANDLE_VALUE) return;
    PurgeComm(m_port, kPurgeAll);
    EnterCriticalSection(&m_writeLock);
    CloseHandle(m_port);
    m_port = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&m_writeLock);
}

DWORD CUartPort::Write(const BYTE* data, DWORD length) {
    if (data == nullptr || length == 0) return 0;
    DWORD written = 0;
    EnterCriticalSection(&m_writeLock);
    if (m_port != INVALID_HANDLE_VALUE && !WriteFile(m_port, data, length, &written, nullptr)) written = 0;
    LeaveCriticalSection(&m_writeLock);
    return written;
}

int CUartPort::GetByte(BYTE* out) {
    if (out == nullptr) return 0;
    EnterCriticalSection(&m_ringLock);
    int taken = m_ring.Get(out);
    LeaveCriticalSection(&m_ringLock);
    return taken;
}

void CUartPort::ResetBuffer() {
    EnterCriticalSection(&m_ringLock);
    m_ring.Reset();
    LeaveCriticalSection(&m_ringLock);
}

DWORD WINAPI CUartPort::ReaderThread(LPVOID param) {
    static_cast<CUartPort*>(param)->ReaderLoop();
    return 0;
}

void CUartPort::ReaderLoop() {
    std::memset(m_readBuffer, 0, sizeof m_readBuffer);
    HANDLE ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ioEvent == nullptr) return;
    SetCommMask(m_port, EV_RXCHAR);

    while (m_running) {
        DWORD mask = 0;
        if (!WaitCommEvent(m_port, &mask, nullptr)) {
            // Here and below: a port that keeps failing (a peer gone) must not spin this thread.
            if (m_running) Sleep(20);
            continue;
        }
        if (!m_running) break;
        if ((mask & EV_RXCHAR) == 0) continue;

        DWORD errors = 0;
        COMSTAT stat = {};
        if (!ClearCommError(m_port, &errors, &stat)) {
            Sleep(20);
            continue;
        }
        DWORD queued = stat.cbInQue;
        DWORD total = 0;
        bool failed = false;
        bool overflowed = false;
        while (queued > 0) {
            DWORD want = queued < UART_READ_CHUNK ? queued : UART_READ_CHUNK;
            DWORD got = 0;
            if (!ReadFile(m_port, m_readBuffer, want, &got, nullptr)) {
                failed = true;
                break;
            }
            if (got == 0) break;
            if (got > want) got = want;
            if (m_sink) {
                m_sink(m_sinkContext, m_readBuffer, got);
                total += got;
                queued -= got;
                continue;
            }
            EnterCriticalSection(&m_ringLock);
            for (DWORD i = 0; i < got; ++i) {
                // A byte that finds the ring full drops itself and what waits; the rest start afresh.
                if (!m_ring.Put(m_readBuffer[i])) overflowed = true;
            }
            LeaveCriticalSection(&m_ringLock);
            total += got;
            queued -= got;
        }
        if (overflowed) OutputDebugStringW(u"BufferFull!!!!!!!");
        if (failed) {
            ClearCommError(m_port, &errors, &stat);
            EnterCriticalSection(&m_ringLock);
            m_ring.Empty();
            LeaveCriticalSection(&m_ringLock);
            OutputDebugStringW(u"return 0 ");
            Sleep(20);
            continue;
        }
        if (total == 0) {
            // Announced but unreadable, as on a line whose peer hung up: do not spin on it.
            Sleep(20);
            continue;
        }
        if (m_running && m_dataEvent != INVALID_HANDLE_VALUE) SetEvent(m_dataEvent);
    }
    CloseHandle(ioEvent);
}
