#include "app/LinkPort.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "app/RemoteFields.h"
#include "app/Settings.h"
#include "radiolink/UartPort.h"

namespace {

qrxframe::Rules WiredRules() {
    qrxframe::Rules rules;
    rules.answerBadHead = true;
    rules.linkParam = 0;
    rules.fieldNeedsComma = true;
    rules.unitReplies = true;
    return rules;
}

}  // namespace

CLinkPort::CLinkPort(HWND owner, SettingsRecord* settings)
    : m_hOwner(owner), m_pSettings(settings), m_pPort(nullptr), m_cutter(true), m_nQueueHead(0), m_nQueueCount(0), m_nAwaited(-1), m_bAcked(false),
      m_bUnitConnected(0), m_byUnitStatus(0), m_wUnitVolts(0), m_wUnitAmps(0) {
    InitializeCriticalSection(&m_queueLock);
    InitializeCriticalSection(&m_exchangeLock);
}

CLinkPort::~CLinkPort() {
    Close();
    DeleteCriticalSection(&m_exchangeLock);
    DeleteCriticalSection(&m_queueLock);
}

int CLinkPort::Open(int port, DWORD baudRate, BYTE dataBits, BYTE stopBits, BYTE parity) {
    Close();
    m_cutter.Reset();
    m_pPort = new CUartPort(OnBytes, this);
    if (!m_pPort->Open(port, baudRate, 0, dataBits, stopBits, parity)) {
        Close();
        return 0;
    }
    return 1;
}

void CLinkPort::Close() {
    // The port's reader is joined before the port closes: nothing is cut or parsed after.
    if (!m_pPort) return;
    m_pPort->Close();
    delete m_pPort;
    m_pPort = nullptr;
}

BOOL CLinkPort::IsOpen() const { return m_pPort && m_pPort->IsOpen(); }

DWORD CLinkPort::Write(const BYTE* bytes, DWORD length) {
    // CUartPort writes under its own lock: the UI and operation threads never mix their frames.
    return m_pPort ? m_pPort->Write(bytes, length) : 0;
}

void CLinkPort::OnBytes(void* context, const BYTE* data, DWORD length) {
    static_cast<CLinkPort*>(context)->Feed(data, length);
}

void CLinkPort::Feed(const BYTE* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (m_cutter.Push(bytes[i])) ParseFrame(m_cutter.Line(), m_cutter.Length());
}

void CLinkPort::ParseFrame(const BYTE* frame, size_t length) {
    bool streaming = false;
    if (m_pSettings) streaming = std::atomic_ref<DWORD>(m_pSettings->dwRemoteStreaming).load(std::memory_order_relaxed);
    qrxframe::Request r;
    qrxframe::ParseLine(frame, length, streaming, WiredRules(), r);
    switch (r.outcome) {
        case qrxframe::Outcome::Error:
            SendError(r.error);
            return;
        case qrxframe::Outcome::Unit:
            OnUnitReply(frame, length, r.unit);
            return;
        case qrxframe::Outcome::Request: {
            LinkRequest q;
            q.message = r.message;
            q.param = r.param;
            q.hasField = r.kind == qrxframe::Param::Field;
            std::memcpy(q.field, r.field, sizeof q.field);
            Queue(q);
            return;
        }
        default:
            return;
    }
}

void CLinkPort::OnUnitReply(const BYTE* frame, size_t length, int code) {
    UnitReply reply;
    const char* line = reinterpret_cast<const char*>(frame);
    if (code != 1 && code != 2 && !ParseUnitReply(line, length, code, &reply)) {
        SendError(qrxframe::kErrorCode);
        return;
    }
    if (code == 0) m_byUnitStatus = reply.status;
    if (code == 3) {
        m_byUnitStatus = reply.status;
        m_wUnitVolts = reply.volts;
        m_wUnitAmps = reply.amps;
        g_byUnitWatchdog = 0;
    }
    if (code == 4) {
        if (reply.first == 11) {
            LinkRequest stop;
            stop.message = WM_PCCOMM_UNIT_STOP;
            Queue(stop);
        }
        return;
    }
    // Only the code of the exchange in progress counts: a late answer to an earlier one is stale.
    std::lock_guard<std::mutex> hold(m_ackLock);
    if (code == m_nAwaited) {
        m_bAcked = true;
        m_ackCond.notify_all();
    }
}

void CLinkPort::Queue(const LinkRequest& request) {
    EnterCriticalSection(&m_queueLock);
    const bool room = m_nQueueCount < LINK_QUEUE_SIZE;
    if (room) {
        m_queue[(m_nQueueHead + m_nQueueCount) % LINK_QUEUE_SIZE] = request;
        ++m_nQueueCount;
    }
    LeaveCriticalSection(&m_queueLock);
    if (!room) {
        OutputDebugStringW(u"[LINK]request queue full, request dropped\r\n");
        return;
    }
    if (m_hOwner) PostMessageW(m_hOwner, request.message, 0, LINK_QUEUED_REQUEST);
}

BOOL CLinkPort::TakeRequest(LinkRequest* out) {
    EnterCriticalSection(&m_queueLock);
    const BOOL any = m_nQueueCount > 0;
    if (any) {
        *out = m_queue[m_nQueueHead];
        m_nQueueHead = (m_nQueueHead + 1) % LINK_QUEUE_SIZE;
        --m_nQueueCount;
    }
    LeaveCriticalSection(&m_queueLock);
    return any;
}

int CLinkPort::SendRecord(const char* body) {
    if (IsUnitConnected() || !body) return 0;
    char frame[qrxframe::kFrameBuffer];
    const size_t n = qrxframe::FormatFrame(body, strnlen(body, qrxframe::kMaxBody + 1), frame, sizeof frame);
    return n ? static_cast<int>(Write(reinterpret_cast<const BYTE*>(frame), static_cast<DWORD>(n))) : 0;
}

int CLinkPort::SendError(int code) {
    char body[16];
    std::snprintf(body, sizeof body, "ER,%03d,", code);
    return SendRecord(body);
}

int CLinkPort::Exchange(int code, const char* body, int sends) {
    char frame[qrxframe::kFrameBuffer];
    const size_t n = qrxframe::FormatFrame(body, std::strlen(body), frame, sizeof frame);
    if (!n) return 0;
    EnterCriticalSection(&m_exchangeLock);
    {
        std::lock_guard<std::mutex> hold(m_ackLock);
        m_nAwaited = code;
        m_bAcked = false;
    }
    int acked = 0;
    for (int i = 0; i < sends && !acked; ++i) {
        if (Write(reinterpret_cast<const BYTE*>(frame), static_cast<DWORD>(n)) != n) break;
        // The unit answers in real time: the wait runs on the line's clock.
        std::unique_lock<std::mutex> wait(m_ackLock);
        acked = m_ackCond.wait_for(wait, std::chrono::milliseconds(LINK_D_WAIT_MS), [this] { return m_bAcked; }) ? 1 : 0;
    }
    {
        std::lock_guard<std::mutex> hold(m_ackLock);
        m_nAwaited = -1;
        m_bAcked = false;
    }
    LeaveCriticalSection(&m_exchangeLock);
    return acked;
}

int CLinkPort::SendD0(int on) { return Exchange(0, on ? "D0,1," : "D0,0,", LINK_D_SENDS); }

int CLinkPort::SendD1(BYTE mode, WORD value1, WORD value2, DWORD time) {
    char body[64];
    std::snprintf(body, sizeof body, "D1,%d,%05d,%05d,%04u,", mode, value1, value2, static_cast<unsigned>(time));
    return Exchange(1, body, LINK_D_SENDS);
}

int CLinkPort::SendD2(int on) { return Exchange(2, on ? "D2,1," : "D2,0,", LINK_D_SENDS); }

int CLinkPort::SendD3(DWORD seconds) {
    char body[32];
    std::snprintf(body, sizeof body, "D3,%u,", static_cast<unsigned>(seconds));
    return Exchange(3, body, 1);
}

void CLinkPort::GetUnitValues(WORD* volts, WORD* amps) const {
    if (volts) *volts = m_wUnitVolts.load();
    if (amps) *amps = m_wUnitAmps.load();
}
