// The calibration tool's line and buttons: frames out on the MCU's port, replies in on a receive
// thread that posts to the dialog and never touches a window itself.
#include "trimset/CalCore.h"

#include "app/McuFrame.h"
#include "qrx/host.h"
#include "ui/BoardIo.h"
#include "upgrader/UpgradeBoard.h"

BOOL CCalLink::Create() {
    if (!m_lockMade) {
        InitializeCriticalSection(&m_lock);
        m_lockMade = true;
    }
    m_event = CreateEventW(nullptr, FALSE, FALSE, u"QRXCOMM");
    if (!m_event) return FALSE;
    m_offSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_offSeen) return FALSE;
    m_port = new CUartPort(m_event);
    return TRUE;
}

BOOL CCalLink::Open(int port) { return m_port && m_port->Open(port, 115200, 0, 8, ONESTOPBIT, NOPARITY) ? TRUE : FALSE; }

BOOL CCalLink::Start(HWND notify, BOOL takePt100, BOOL model) {
    if (!m_port || m_thread) return FALSE;
    m_notify = notify;
    m_takePt100 = takePt100;
    m_model = model;
    InterlockedExchange(&m_stop, 0);
    m_thread = CreateThread(nullptr, 0, ReceiveThread, this, 0, nullptr);
    return m_thread ? TRUE : FALSE;
}

BOOL CCalLink::Send(const BYTE* payload, DWORD length) {
    BYTE frame[MCU_FRAME_MAX(16)];
    const DWORD n = length <= 16 ? McuEncodeFrame(payload, length, frame, sizeof frame) : 0;
    return n && m_port && m_port->Write(frame, n) == n ? TRUE : FALSE;
}

BOOL CCalLink::OutputOff() {
    constexpr DWORD kAnswerMs = 600;
    const BYTE off[4] = {0x01, 0x02, 0x15, 0x00};
    if (!m_offSeen) return FALSE;
    ResetEvent(m_offSeen);
    if (!Send(off, 4)) return FALSE;
    const DWORD start = qrx::LineTickCount();
    while (WaitForSingleObject(m_offSeen, 20) == WAIT_TIMEOUT)
        if (qrx::LineTickCount() - start >= kAnswerMs) return FALSE;
    return TRUE;
}

void CCalLink::Texts(CalTexts* out) {
    EnterCriticalSection(&m_lock);
    *out = m_texts;
    LeaveCriticalSection(&m_lock);
}

void CCalLink::Close() {
    if (m_thread) {
        InterlockedExchange(&m_stop, 1);
        SetEvent(m_event);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    // The port's reader signals the event: the port goes first.
    if (m_port) {
        m_port->Close();
        delete m_port;
        m_port = nullptr;
    }
    for (HANDLE* h : {&m_event, &m_offSeen}) {
        if (*h) CloseHandle(*h);
        *h = nullptr;
    }
    if (m_lockMade) {
        DeleteCriticalSection(&m_lock);
        m_lockMade = false;
    }
}

DWORD WINAPI CCalLink::ReceiveThread(LPVOID param) {
    static_cast<CCalLink*>(param)->Receive();
    return 0;
}

void CCalLink::Receive() {
    while (!InterlockedCompareExchange(&m_stop, 0, 0)) {
        WaitForSingleObject(m_event, INFINITE);
        BYTE b;
        while (!InterlockedCompareExchange(&m_stop, 0, 0) && m_port->GetByte(&b)) {
            if (!m_receiver.Push(b)) continue;
            const BYTE* f = m_receiver.Frame();
            if (m_receiver.Length() == 4 && f[0] == 0x02 && f[1] == 0x15 && f[2] == 0x00) SetEvent(m_offSeen);
            CalTexts texts;
            Texts(&texts);
            WPARAM wParam = 0;
            const UINT msg =
                CalHandleReply(m_receiver.Frame(), m_receiver.Length(), m_takePt100, m_model, m_values, texts, &wParam);
            if (!msg) continue;
            if (msg == WM_CAL_VALUES) {
                EnterCriticalSection(&m_lock);
                m_texts = texts;
                LeaveCriticalSection(&m_lock);
            }
            PostMessageW(m_notify, msg, wParam, 0);
        }
    }
}

void CCalTool::Init(double revision) {
    m_model = FindModuleInSettings() ? TRUE : FALSE;
    m_port = m_model ? 6 : 2;
    m_revision = revision;
    const WCHAR* entry = m_model ? u"30.0" : u"100.0";
    m_fields[0].Init(FALSE, entry);
    m_fields[1].Init(FALSE, entry);
    m_fields[2].Init(TRUE, m_model ? u"1300" : u"");
    m_fields[3].Init(TRUE, m_model ? u"1500" : u"");
    // The spins start where their fields stand.
    WORD v = 0;
    m_spin[0] = CalHundredths(entry, &v) ? v : 0;
    m_spin[1] = m_spin[0] / 10;
}

BOOL CCalTool::Connect(HWND notify) {
    if (!m_link.Create()) return FALSE;
    m_link.Open(m_port);
    const BOOL takePt100 = m_port == 2 && m_revision >= 2.25;
    return m_link.Start(notify, takePt100, m_model);
}

BOOL CCalTool::Key(WCHAR c) {
    if (m_focus == CAL_NONE || !m_fields[Index(m_focus)].Key(c)) return FALSE;
    WORD v = 0;
    if (m_focus == CAL_VOLT && CalHundredths(FieldText(CAL_VOLT), &v)) m_spin[0] = v > 20000 ? 20000 : v;
    if (m_focus == CAL_AMP && CalHundredths(FieldText(CAL_AMP), &v)) m_spin[1] = v / 10 > 1000 ? 1000 : v / 10;
    return TRUE;
}

void CCalTool::ClearField() {
    if (m_focus != CAL_NONE) m_fields[Index(m_focus)].Clear();
}

int CCalTool::SpinPos(int target) const { return target == CAL_AMP ? m_spin[1] : m_spin[0]; }

void CCalTool::SpinTo(int target, int pos) {
    WCHAR text[16];
    if (target == CAL_VOLT) {
        pos = pos < 0 ? 0 : pos > 20000 ? 20000 : pos;
        m_spin[0] = pos;
        swprintf(text, 16, u"%02d.%02d", pos / 100, pos % 100);
        m_fields[0].Init(FALSE, text);
    } else if (target == CAL_AMP) {
        pos = pos < 0 ? 0 : pos > 1000 ? 1000 : pos;
        m_spin[1] = pos;
        swprintf(text, 16, u"%02d.%01d", pos / 10, pos % 10);
        m_fields[1].Init(FALSE, text);
    }
}

BOOL CCalTool::SendWord(BYTE type, BYTE group, BYTE code, WORD value) {
    const BYTE p[5] = {type, group, code, static_cast<BYTE>(value & 0xFF), static_cast<BYTE>(value >> 8)};
    return Send(p, 5);
}

BOOL CCalTool::Command(int id, BOOL dischargeChecked, const WCHAR** refusal) {
    static const WCHAR kTooLarge[] = u"Enter a value from 0 to 655.35";
    static const WCHAR kNtcTooLarge[] = u"Enter a value from 0 to 65535";
    *refusal = nullptr;
    WORD volts = 0, amps = 0;
    const bool voltsOk = CalHundredths(FieldText(CAL_VOLT), &volts);
    auto simple = [this](BYTE group, BYTE code) {
        const BYTE p[3] = {0x01, group, code};
        return Send(p, 3);
    };
    switch (id) {
        case IDC_CAL_OFFSET_V:
            return simple(0x03, 0x01);
        case IDC_CAL_OFFSET_A:
            return simple(0x03, m_model && dischargeChecked ? 0x04 : 0x03);
        case IDC_CAL_SAVE:
            return simple(0x03, 0x05);
        case IDC_CAL_CLEAR:
            return simple(0x03, 0x06);
        case IDC_CAL_PT100:
            return simple(0x03, 0x10);
        case IDC_CAL_REF_V:
        case IDC_CAL_C_REF_A:
        case IDC_CAL_D_REF_A:
            if (!voltsOk) break;
            return SendWord(0x01, 0x03, id == IDC_CAL_REF_V ? 0x02 : id == IDC_CAL_C_REF_A ? 0x08 : 0x09, volts);
        case IDC_CAL_APPLY: {
            if (m_focus != CAL_NTC1 && m_focus != CAL_NTC2) return simple(0x03, 0x0B);
            WORD value = 0;
            if (!CalWholeNumber(FieldText(m_focus), &value)) {
                *refusal = kNtcTooLarge;
                return FALSE;
            }
            const BYTE p[6] = {0x01, 0x03, 0x0B, static_cast<BYTE>(m_focus == CAL_NTC1 ? 0 : 1),
                               static_cast<BYTE>(value & 0xFF), static_cast<BYTE>(value >> 8)};
            return Send(p, 6);
        }
        case IDC_CAL_CHARGE:
        case IDC_CAL_DISCHARGE: {
            const BOOL charge = id == IDC_CAL_CHARGE;
            if ((charge && !voltsOk) || !CalHundredths(FieldText(CAL_AMP), &amps)) break;
            BYTE p[6][5];
            DWORD n[6];
            CalRunStart(charge, m_port, volts, amps, p, n);
            m_running = TRUE;
            BOOL all = TRUE;
            for (int i = 0; i < 6; ++i) {
                all &= Send(p[i], n[i]);
                Sleep(CAL_RUN_GAP_MS);
            }
            return all;
        }
        case IDC_CAL_STOP: {
            const BYTE p[4] = {0x01, 0x02, 0x15, 0x00};
            m_running = FALSE;
            return Send(p, 4);
        }
        default:
            return FALSE;
    }
    *refusal = kTooLarge;
    return FALSE;
}

void CCalTool::Timer() {
    const BYTE poll[3] = {0x02, 0x02, 0x00};
    const BYTE read[3] = {0x01, 0x03, 0x07};
    Send(m_running ? poll : read, 3);
}

void CCalTool::Exit() {
    if (m_running) {
        m_link.OutputOff();
        m_running = FALSE;
    }
    m_link.Close();
}
