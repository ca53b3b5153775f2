// A serial port with a reader thread that fills a receive ring; the owner takes the bytes out one at
// a time from its own thread. Used by the Bluetooth module link and the calibration tool.
#pragma once
#include <windows.h>

#include <atomic>

#define UART_RING_SIZE 4096
#define UART_READ_CHUNK 4096

// The receive ring: empty when put = get, full when put + 1 = get, so it holds at most
// UART_RING_SIZE - 1 bytes. Not locked: its port holds the lock.
class CUartRing {
public:
    CUartRing() { Reset(); }
    // false when the byte found the ring full: the byte and everything waiting are dropped.
    bool Put(BYTE b);
    // 1 and the oldest byte, or 0 when empty.
    int Get(BYTE* out);
    void Reset();
    void Empty() { m_put = m_get; }
    DWORD Count() const { return (m_put + UART_RING_SIZE - m_get) % UART_RING_SIZE; }

private:
    BYTE m_data[UART_RING_SIZE];
    DWORD m_put;
    DWORD m_get;
};

// Takes the received bytes batch by batch on the reader thread.
typedef void (*PFN_UART_SINK)(void* context, const BYTE* data, DWORD length);

class CUartPort {
public:
    // dataEvent: set after each batch of received bytes; 0 runs no reader thread,
    // INVALID_HANDLE_VALUE runs one that signals nothing.
    explicit CUartPort(HANDLE dataEvent);
    // The bytes go to sink as they are read, not into the ring: a burst larger than the ring loses
    // nothing (the wired link bounds its frames itself).
    CUartPort(PFN_UART_SINK sink, void* context);
    virtual ~CUartPort();
    CUartPort(const CUartPort&) = delete;
    CUartPort& operator=(const CUartPort&) = delete;

    // 1 when the port "COM<port>:" is open (and its reader runs), else 0.
    int Open(int port, DWORD baudRate, WORD value, BYTE dataBits, BYTE stopBits, BYTE parity);
    // Stops the reader (and waits for it), then closes the port.
    void Close();
    // One WriteFile under the port's write lock; the bytes written.
    DWORD Write(const BYTE* data, DWORD length);
    // 1 and the oldest received byte, or 0 when the ring is empty.
    int GetByte(BYTE* out);
    void ResetBuffer();

    BOOL IsOpen() const { return m_running.load() != 0; }

private:
    static DWORD WINAPI ReaderThread(LPVOID param);
    void ReaderLoop();
    HANDLE m_dataEvent;
    PFN_UART_SINK m_sink = nullptr;
    void* m_sinkContext = nullptr;
    HANDLE m_port;
    std::atomic<int> m_running;
    HANDLE m_thread;
    WORD m_value;

    CRITICAL_SECTION m_ringLock;
    CRITICAL_SECTION m_writeLock;
    CUartRing m_ring;
    // Only the reader thread touches it.
    BYTE m_readBuffer[UART_READ_CHUNK];
};
