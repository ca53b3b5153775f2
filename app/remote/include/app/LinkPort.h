// The wired link on COM5: host requests and replies in "$QRX," frames, and the D records of the
// attached unit. The reader never waits for the UI thread: requests are queued in order and posted to
// the owner window, which takes each with TakeRequest; the unit's replies are handled at once, so a D
// exchange started while a request runs on the UI thread still sees its acknowledgement.
#pragma once
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "app/UnitLink.h"
#include "radiolink/QrxFrame.h"

struct SettingsRecord;
class CUartPort;

// lParam of a request the link posted to the owner: its wParam is in the queue.
#define LINK_QUEUED_REQUEST 0x4C4E4B51
#define LINK_QUEUE_SIZE 32
// A D exchange: up to this many sends, each waiting this long (line time) for its acknowledgement.
#define LINK_D_SENDS 4
#define LINK_D_WAIT_MS 300
// The attached unit asks to stop the run.
#define WM_PCCOMM_UNIT_STOP 1184

struct LinkRequest {
    UINT message = 0;
    WPARAM param = 0;  // a character or 0/1; for a text field, see `field`
    BOOL hasField = FALSE;
    char field[qrxframe::kMaxField + 1] = {};
};

class CLinkPort : public CUnitLink {
public:
    CLinkPort(HWND owner, SettingsRecord* settings);
    ~CLinkPort() override;
    CLinkPort(const CLinkPort&) = delete;
    CLinkPort& operator=(const CLinkPort&) = delete;

    // "COM<port>:" with its reader; 1 on success.
    int Open(int port, DWORD baudRate, BYTE dataBits, BYTE stopBits, BYTE parity);
    // Joins the reader, then closes the port.
    void Close();
    BOOL IsOpen() const;
    DWORD Write(const BYTE* bytes, DWORD length);

    // Received bytes, in any pieces: cut into frames, each checked and handled.
    void Feed(const BYTE* bytes, size_t length);
    // One frame (LF included).
    void ParseFrame(const BYTE* frame, size_t length);
    // The oldest queued request; 0 when none.
    BOOL TakeRequest(LinkRequest* out);

    // "$QRX,<body><sum>\r\n"; nothing while the unit is connected or for an empty body. Bytes written.
    int SendRecord(const char* body);
    int SendError(int code) override;
    int SendD0(int on);
    int SendD1(BYTE mode, WORD value1, WORD value2, DWORD time) override;
    int SendD2(int on) override;
    int SendD3(DWORD seconds) override;
    BOOL IsUnitConnected() const override { return m_bUnitConnected.load(); }
    void SetUnitConnected(BOOL connected) { m_bUnitConnected = connected ? 1 : 0; }
    void GetUnitValues(WORD* volts, WORD* amps) const override;
    BYTE GetUnitStatus() const { return m_byUnitStatus.load(); }

private:
    static void OnBytes(void* context, const BYTE* data, DWORD length);
    void OnUnitReply(const BYTE* frame, size_t length, int code);
    void Queue(const LinkRequest& request);
    // One D exchange: sends of the body until the unit acknowledges its code.
    int Exchange(int code, const char* body, int sends);

    HWND m_hOwner;
    SettingsRecord* m_pSettings;
    CUartPort* m_pPort;
    // Only the port's reader thread touches it.
    qrxframe::LineCutter m_cutter;

    CRITICAL_SECTION m_queueLock;
    LinkRequest m_queue[LINK_QUEUE_SIZE];
    int m_nQueueHead;
    int m_nQueueCount;

    // One D exchange at a time; the reader sets m_bAcked when the awaited code answers.
    CRITICAL_SECTION m_exchangeLock;
    std::mutex m_ackLock;
    std::condition_variable m_ackCond;
    int m_nAwaited;
    bool m_bAcked;

    std::atomic<int> m_bUnitConnected;
    std::atomic<BYTE> m_byUnitStatus;
    std::atomic<WORD> m_wUnitVolts;
    std::atomic<WORD> m_wUnitAmps;
};
