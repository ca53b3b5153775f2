// The Bluetooth module link: reset release at load, module identification, the AT set of each module
// type one step a second, the connection line poll, and the "$QRX," request lines of a connected host.
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "qrx/boardapi.h"
#include "radiolink/QrxFrame.h"
#include "radiolink/Radiolink.h"
#include "radiolink/UartPort.h"

namespace {

constexpr int kPinPairing = 82;
constexpr int kPinConnected = 83;
constexpr int kPinReset = 84;
constexpr size_t kNameBytes = 30;
constexpr size_t kIdentBytes = 100;
constexpr int kIdentPolls = 101;
constexpr size_t kPeerAddrChars = 12;
constexpr DWORD kStreamingOffset = 980;
constexpr char kModelTag[] = "BTM4504";

enum State { kIdle = 0, kConfiguring = 1, kOpened = 3, kConnected = 4, kLost = 5 };

void Debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Debug(const char* format, ...) {
    char text[600];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    WCHAR wide[sizeof text];
    size_t i = 0;
    for (; text[i] != '\0'; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    wide[i] = 0;
    OutputDebugStringW(wide);
}

// The 12 hexadecimal digits of "\NAND Flash\PeerAddr.dat" into out (13 bytes); false when the file
// is missing, short or holds anything else.
bool ReadPeerAddress(char* out) {
    std::memset(out, 0, kPeerAddrChars + 1);
    FILE* f = _wfopen(u"\\NAND Flash\\PeerAddr.dat", u"rb");
    if (f == nullptr) return false;
    size_t n = std::fread(out, 1, kPeerAddrChars, f);
    std::fclose(f);
    bool ok = n == kPeerAddrChars;
    for (size_t i = 0; ok && i < kPeerAddrChars; ++i) {
        const char c = out[i];
        ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    }
    if (!ok) std::memset(out, 0, kPeerAddrChars + 1);
    return ok;
}

class CThreadBase {
public:
    CThreadBase() = default;
    virtual ~CThreadBase() = default;
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    virtual void Run() = 0;

    bool Start() {
        if (m_hThread != INVALID_HANDLE_VALUE) return true;
        m_hThread = CreateThread(nullptr, 0, Body, this, 0, &m_dwThreadId);
        if (m_hThread == nullptr) m_hThread = INVALID_HANDLE_VALUE;
        return m_hThread != INVALID_HANDLE_VALUE;
    }
    // Waits for the body to end. The body may be blocked in SendMessageW to this very thread, so
    // messages sent to it are handled meanwhile.
    void Join() {
        HANDLE thread = m_hThread;
        if (thread == INVALID_HANDLE_VALUE) return;
        if (GetCurrentThreadId() != m_dwThreadId) {
            DWORD r;
            while ((r = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE)) == WAIT_OBJECT_0 + 1) {
                MSG msg;
                PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            }
        }
        // A message served meanwhile may have closed the module from within: it joined already.
        if (m_hThread != thread) return;
        CloseHandle(m_hThread);
        m_hThread = INVALID_HANDLE_VALUE;
        m_dwThreadId = 0;
    }

protected:
    HANDLE m_hThread = INVALID_HANDLE_VALUE;
    DWORD m_dwThreadId = 0;

private:
    static DWORD WINAPI Body(LPVOID self) {
        static_cast<CThreadBase*>(self)->Run();
        return 0;
    }
};

class BTComm : public CThreadBase {
public:
    BTComm();
    ~BTComm() override;

    void Run() override;
    int Open(int com, HWND notify, void* settings, const char* name, int mode);
    void Close();
    int Write(const void* bytes, size_t length, bool connectedOnly);
    int SendCommand(const char* body);
    void ChangeMode(int mode);

private:
    void StopWorker();
    bool Pause(DWORD ms) { return WaitForSingleObject(m_stopEvent, ms) == WAIT_TIMEOUT; }
    int Put(const char* text) { return Write(text, std::strlen(text), false); }
    void OnTimeout();
    void Identify();
    void StepBtm4504(int step);
    void StepBcd100(int step);
    bool HostConnected();
    void PollConnection();
    void DumpBytes();
    void ReadLines();
    void Notify(UINT msg, WPARAM wParam) {
        HWND notify = m_hNotify.load();
        if (notify) SendMessageW(notify, msg, wParam, 0);
    }
    bool Streaming() const {
        const BYTE* settings = static_cast<const BYTE*>(m_pSettings.load());
        if (!settings) return false;
        DWORD value = 0;
        std::memcpy(&value, settings + kStreamingOffset, sizeof value);
        return value != 0;
    }

    std::atomic<HWND> m_hNotify{nullptr};
    HANDLE m_hEvent = INVALID_HANDLE_VALUE;
    HANDLE m_stopEvent;
    CUartPort* m_pPort = nullptr;
    char m_szName[kNameBytes] = {};
    std::atomic<int> m_nMode{0};
    std::atomic<int> m_nStep{0};
    std::atomic<int> m_nState{kIdle};
    std::atomic<int> m_bStop{1};
    DWORD m_dwWaitTime = 1000;
    qrxframe::LineCutter* m_pLines = nullptr;
    std::atomic<int> m_bBtm4504{0};
    std::atomic<void*> m_pSettings{nullptr};
    // Held by every use of the port from outside the worker and while the port is swapped.
    CRITICAL_SECTION m_portLock;
    // Serialises BT_Open and BT_Close.
    CRITICAL_SECTION m_lifeLock;
};

BTComm::BTComm() {
    InitializeCriticalSection(&m_portLock);
    InitializeCriticalSection(&m_lifeLock);
    m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Debug("BTComm() : Init");
    HANDLE gpio = GPIO_Open();
    if (gpio != nullptr) {
        GPIO_SetMode(gpio, kPinPairing, GPIO_MODE_OUTPUT);
        GPIO_ClrBit(gpio, kPinPairing);
        GPIO_SetMode(gpio, kPinConnected, GPIO_MODE_INPUT);
        GPIO_SetMode(gpio, kPinReset, GPIO_MODE_OUTPUT);
        GPIO_ClrBit(gpio, kPinReset);
        GPIO_Close(gpio);
    } else {
        Debug("Failed allocate GPIO Handler");
    }
    Debug("Reset Release");
}

BTComm::~BTComm() {
    Close();
    Debug("~BTComm()");
    CloseHandle(m_stopEvent);
    DeleteCriticalSection(&m_lifeLock);
    DeleteCriticalSection(&m_portLock);
}

void BTComm::StopWorker() {
    m_bStop = 1;
    SetEvent(m_stopEvent);
    Join();
    ResetEvent(m_stopEvent);
}

int BTComm::Open(int com, HWND notify, void* settings, const char* name, int mode) {
    EnterCriticalSection(&m_lifeLock);
    Debug("[BT]Open:COM%d", com);
    // The worker uses the port and the line buffer: it ends before either is replaced.
    StopWorker();
    m_nMode = mode;
    m_hNotify = notify;
    m_pSettings = settings;
    m_nStep = 0;
    EnterCriticalSection(&m_portLock);
    if (m_pLines == nullptr) m_pLines = new qrxframe::LineCutter(false);
    m_pLines->Reset();
    LeaveCriticalSection(&m_portLock);

    int result = 0;
    if (m_hEvent != INVALID_HANDLE_VALUE) CloseHandle(m_hEvent);
    m_hEvent = CreateEventW(nullptr, FALSE, FALSE, u"BTUARTEV");
    if (m_hEvent == nullptr) {
        m_hEvent = INVALID_HANDLE_VALUE;
    } else {
        EnterCriticalSection(&m_portLock);
        delete m_pPort;
        m_pPort = new CUartPort(m_hEvent);
        std::memset(m_szName, 0, sizeof m_szName);
        // The name goes into a quoted AT command: no quote or control character may reach it.
        const char* from = name ? name : "QRX-Unknown";
        for (size_t i = 0; i + 1 < kNameBytes && from[i] != '\0'; ++i) {
            const unsigned char c = static_cast<unsigned char>(from[i]);
            m_szName[i] = c == '"' || c < 0x20 || c == 0x7F ? '_' : static_cast<char>(c);
        }
        if (m_pPort->Open(com, 9600, 0, 8, 0, 0)) {
            m_pPort->ResetBuffer();
            m_nState = kOpened;
            m_pPort->Write(reinterpret_cast<const BYTE*>("+++\r\n"), 5);
            m_bStop = 0;
            result = Start() ? 1 : 0;
            m_pPort->ResetBuffer();
        }
        LeaveCriticalSection(&m_portLock);
    }
    LeaveCriticalSection(&m_lifeLock);
    return result;
}

void BTComm::Close() {
    EnterCriticalSection(&m_lifeLock);
    StopWorker();
    EnterCriticalSection(&m_portLock);
    m_nState = kIdle;
    delete m_pLines;
    m_pLines = nullptr;
    if (m_pPort) m_pPort->Close();
    delete m_pPort;
    m_pPort = nullptr;
    LeaveCriticalSection(&m_portLock);
    if (m_hEvent != INVALID_HANDLE_VALUE) CloseHandle(m_hEvent);
    m_hEvent = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&m_lifeLock);
}

int BTComm::Write(const void* bytes, size_t length, bool connectedOnly) {
    int written = 0;
    EnterCriticalSection(&m_portLock);
    if (m_pPort && (!connectedOnly || m_nState == kConnected))
        written = static_cast<int>(m_pPort->Write(static_cast<const BYTE*>(bytes), static_cast<DWORD>(length)));
    LeaveCriticalSection(&m_portLock);
    return written;
}

int BTComm::SendCommand(const char* body) {
    if (body == nullptr || m_nState != kConnected) return 0;
    char frame[qrxframe::kFrameBuffer];
    const size_t n = qrxframe::FormatFrame(body, strnlen(body, qrxframe::kMaxBody + 1), frame, sizeof frame);
    return n ? Write(frame, n, true) : 0;
}

void BTComm::ChangeMode(int mode) {
    m_nMode = mode;
    m_nState = kConfiguring;
    m_nStep = 0;
    Notify(BT_MSG_STATE, 0);
}

void BTComm::Run() {
    HANDLE waits[2] = {m_hEvent, m_stopEvent};
    while (!m_bStop) {
        const DWORD r = WaitForMultipleObjects(2, waits, FALSE, m_dwWaitTime);
        if (m_bStop) break;
        if (r == WAIT_OBJECT_0) {
            if (m_nState == kConnected)
                ReadLines();
            else
                DumpBytes();
        } else if (r == WAIT_TIMEOUT) {
            OnTimeout();
        }
    }
}

void BTComm::OnTimeout() {
    switch (m_nState.load()) {
        case kOpened:
            if (m_nStep < 1) {
                ++m_nStep;
                break;
            }
            Identify();
            break;
        case kConfiguring: {
            const int step = m_nStep++;
            if (m_bBtm4504)
                StepBtm4504(step);
            else
                StepBcd100(step);
            break;
        }
        case kIdle:
        case kConnected:
        case kLost:
            PollConnection();
            break;
        default:
            break;
    }
}

void BTComm::Identify() {
    Debug("[BT]Get Name");
    Put("AT+NAME?\r\n");
    char text[kIdentBytes] = {};
    size_t used = 0;
    bool found = false;
    for (int i = 0; i < kIdentPolls && !found && !m_bStop; ++i) {
        BYTE b;
        // Everything that is there is taken at each look, so a paced answer still counts.
        while (used + 1 < kIdentBytes && m_pPort->GetByte(&b)) text[used++] = static_cast<char>(b);
        found = std::string_view(text, used).find(kModelTag) != std::string_view::npos;
        if (!found && !Pause(1)) return;
    }
    m_bBtm4504 = found ? 1 : 0;
    Debug(found ? "[BT]Model : BTM4504C1X" : "[BT]Model : BCD100");
    m_nStep = 0;
    m_nState = kConfiguring;
}

void BTComm::StepBtm4504(int step) {
    char line[64];
    char addr[kPeerAddrChars + 1];
    switch (step) {
        case 1: {
            Debug("[BT]BTM4504C1X_Init");
            static const char* const kInit[] = {"AT+TYPE=0\r\n",
                                                "AT+BIND=1\r\n",
                                                "AT+AUTH=0\r\n",
                                                "AT+FLOWCONTROL=0\r\n",
                                                "AT+SCANTIME=1024,512,1024,512\r\n",
                                                "AT+SNIFF=0,0,0,0\r\n"};
            for (const char* command : kInit) {
                Put(command);
                if (!Pause(100)) return;
            }
            break;
        }
        case 2:
            if (ReadPeerAddress(addr)) {
                std::snprintf(line, sizeof line, "AT+RADDR=%s\r\n", addr);
                Put(line);
                Debug("[BT]SetAddress %s", addr);
            } else {
                Debug("[BT]Target addr error");
            }
            break;
        case 3: {
            Debug("[BT]SetPairing");
            HANDLE gpio = GPIO_Open();
            if (gpio != nullptr) {
                GPIO_SetBit(gpio, kPinPairing);
                GPIO_Close(gpio);
            } else {
                Debug("Failed allocate GPIO Handler");
            }
            m_nState = kIdle;
            m_nStep = 0;
            break;
        }
        default:
            break;
    }
}

void BTComm::StepBcd100(int step) {
    char line[96];
    char addr[kPeerAddrChars + 1];
    switch (step) {
        case 1:
            Debug("[BT]CMD Mode");
            Put("+++\r\n");
            if (!Pause(100)) return;
            if (HostConnected()) {
                Debug("[BT]Disconnect");
                Put("ATH\r\n");
                for (int i = 0; i < 10 && HostConnected(); ++i)
                    if (!Pause(500)) return;
            }
            Debug("[BT]Cancel");
            Put("AT+BTCANCEL\r\n");
            break;
        case 2:
            std::snprintf(line, sizeof line, "AT+BTNAME=\"%s\"\r\n", m_szName);
            Put(line);
            Debug("[BT]SetName : %.10s", m_szName);
            break;
        case 3: {
            const int mode = m_nMode ? 3 : 0;
            std::snprintf(line, sizeof line, "AT+BTMODE%d\r\n", mode);
            Put(line);
            Debug("[BT]SetMode : %d", mode);
            if (!Pause(1000)) return;
            Put("ATZ\r\n");
            break;
        }
        case 5:
            if (m_nMode == 0) {
                if (ReadPeerAddress(addr)) {
                    std::snprintf(line, sizeof line, "AT+BTSCAN%s,0\r\n", addr);
                    Put(line);
                } else {
                    Debug("[BT]Target addr error");
                    Put("AT+BTSCAN\r");
                }
                Debug("[BT]SetAddress : %s", addr);
            }
            m_nState = kIdle;
            m_nStep = 0;
            break;
        default:
            break;
    }
}

bool BTComm::HostConnected() {
    HANDLE gpio = GPIO_Open();
    if (gpio == nullptr) {
        Debug("Failed allocate GPIO Handler");
        return false;
    }
    const bool high = GPIO_GetBit(gpio, kPinConnected) != 0;
    GPIO_Close(gpio);
    return m_bBtm4504 ? high : !high;
}

void BTComm::PollConnection() {
    const bool connected = HostConnected();
    // BT_ChangeMode may restart the configuration meanwhile: only the state this poll saw changes.
    int seen = m_nState;
    if (connected && seen != kConnected && seen != kConfiguring) {
        m_pLines->Reset();
        if (!m_nState.compare_exchange_strong(seen, kConnected)) return;
        Notify(BT_MSG_STATE, 1);
        Debug("[BT]Connected");
    } else if (!connected && seen == kConnected) {
        if (!m_nState.compare_exchange_strong(seen, kLost)) return;
        Notify(BT_MSG_STATE, 0);
        Debug("[BT]Disconnect");
        m_nStep = 0;
    }
}

void BTComm::DumpBytes() {
    char text[257];
    size_t used = 0;
    BYTE b;
    while (m_pPort->GetByte(&b)) {
        text[used++] = b == 0 ? '.' : static_cast<char>(b);
        if (used == sizeof text - 1) {
            text[used] = '\0';
            Debug("%s", text);
            used = 0;
        }
    }
    text[used] = '\0';
    if (used) Debug("%s", text);
}

void BTComm::ReadLines() {
    static const qrxframe::Rules kRules{false, 1};
    BYTE b;
    while (!m_bStop && m_pPort->GetByte(&b)) {
        if (!m_pLines->Push(b)) continue;
        qrxframe::Request req;
        qrxframe::ParseLine(m_pLines->Line(), m_pLines->Length(), Streaming(), kRules, req);
        if (req.outcome == qrxframe::Outcome::Error) {
            if (req.error == qrxframe::kErrorChecksum)
                Debug("CS : 0x%02X, 0x%02X", req.sumReceived & 0xFF, req.sumComputed);
            BT_SendErrorCode(req.error);
        } else if (req.outcome == qrxframe::Outcome::Request) {
            if (req.message == 1137) Debug("WM_PCCOMM_CTRL_RESOTRAION");
            if (req.message == 1139) Debug("WM_PCCOMM_CTRL_AT_PC");
            const WPARAM param = req.kind == qrxframe::Param::Field ? reinterpret_cast<WPARAM>(req.field) : req.param;
            Notify(req.message, param);
        }
    }
}

BTComm* g_pBTComm = nullptr;

__attribute__((constructor)) void LoadRadiolink() { g_pBTComm = new BTComm(); }
__attribute__((destructor)) void UnloadRadiolink() {
    delete g_pBTComm;
    g_pBTComm = nullptr;
}

}  // namespace

int BT_Open(int com, HWND notify, void* settings, char*, char* name, int mode) {
    return g_pBTComm ? g_pBTComm->Open(com, notify, settings, name, mode) : 0;
}

void BT_Close() {
    if (g_pBTComm) g_pBTComm->Close();
}

int BT_Connect() { return 1; }
void BT_Disconnect() {}
void BT_SetEventhWnd(HWND) {}

int BT_SendMsg(char* text) { return g_pBTComm && text ? g_pBTComm->Write(text, std::strlen(text), true) : 0; }

int BT_SendCommand(unsigned char* body) {
    return g_pBTComm ? g_pBTComm->SendCommand(reinterpret_cast<const char*>(body)) : 0;
}

int BT_SendErrorCode(int code) {
    char body[16];
    std::snprintf(body, sizeof body, "ER,%03d,", code);
    return g_pBTComm ? g_pBTComm->SendCommand(body) : 0;
}

void BT_GetInfo() {
    if (g_pBTComm) g_pBTComm->Write("AT+BTINFO?\r\n", 12, false);
}

void BT_ChangeMode(int mode) {
    if (g_pBTComm) g_pBTComm->ChangeMode(mode);
}
