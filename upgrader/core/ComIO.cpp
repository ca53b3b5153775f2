#include "upgrader/ComIO.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "qrx/commline.h"

namespace {

void Log(const char* text) {
    WCHAR wide[160];
    size_t i = 0;
    for (; text[i] && i + 1 < 160; ++i) wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    wide[i] = 0;
    OutputDebugStringW(wide);
}

DWORD Word(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }

}  // namespace

bool CheckIapReply(const BYTE* reply, DWORD got, WORD checksum, DWORD sequence, bool checkSequence, BYTE* out,
                   DWORD outLength, DWORD* copied) {
    if (copied) *copied = 0;
    if (!reply || got <= 7 || got > IAP_FRAME_SIZE) return false;
    if (static_cast<WORD>(reply[0] | reply[1] << 8) != checksum) return false;
    if (checkSequence && Word(reply + 4) + 1 != sequence) return false;
    DWORD n = got - 8;
    if (n > outLength) n = outLength;
    if (out && n) std::memcpy(out, reply + 8, n);
    if (copied) *copied = out ? n : 0;
    return true;
}

BOOL CComIO::Open(int port, DWORD baudRate) {
    Close();
    WCHAR name[16];
    swprintf(name, 16, u"COM%d:", port);
    m_hCom = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_hCom == INVALID_HANDLE_VALUE) {
        Log("HANDLE ERROR");
        return FALSE;
    }
    // A reply ends at 64 bytes, or once the line falls quiet for the loader's own resync gap.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 100;
    t.ReadTotalTimeoutConstant = 5000;
    SetCommTimeouts(m_hCom, &t);
    const char* failure = nullptr;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!SetPlainCommState(m_hCom, baudRate, 8, ONESTOPBIT, NOPARITY))
        failure = "SETCOMMSTATE ERROR";
    else if (!ClearCommError(m_hCom, &errors, &stat))
        failure = "CLEARCOMMERROR ERROR";
    else if (!SetCommMask(m_hCom, EV_RXCHAR))
        failure = "SETCOMMMASK ERROR";
    else if (!PurgeComm(m_hCom, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        failure = "PURGECOMM ERROR";
    if (failure) {
        Log(failure);
        CloseHandle(m_hCom);
        m_hCom = INVALID_HANDLE_VALUE;
        return FALSE;
    }
    return TRUE;
}

void CComIO::Close() {
    if (m_hCom == INVALID_HANDLE_VALUE) return;
    SetCommMask(m_hCom, 0);
    EscapeCommFunction(m_hCom, CLRDTR);
    PurgeComm(m_hCom, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(m_hCom);
    m_hCom = INVALID_HANDLE_VALUE;
}

BOOL CComIO::SendGotoIap() {
    static const BYTE kJump[] = {0x81, 0x01, 0xFF, 0x00, 0x02, 0xFB, 0x82};
    DWORD put = 0;
    return IsOpen() && WriteFile(m_hCom, kJump, sizeof kJump, &put, nullptr) && put == sizeof kJump;
}

BOOL CComIO::SendCommand(DWORD code, const BYTE* payload, DWORD length) {
    if (!IsOpen()) return FALSE;
    BYTE frame[IAP_FRAME_SIZE] = {};
    std::memcpy(frame, &code, 4);
    std::memcpy(frame + 4, &m_sequence, 4);
    if (length > IAP_PAYLOAD_SIZE) length = IAP_PAYLOAD_SIZE;
    if (payload && length) std::memcpy(frame + 8, payload, length);
    WORD sum = 0;
    for (BYTE b : frame) sum = static_cast<WORD>(sum + b);
    m_checkSum = sum;
    PurgeComm(m_hCom, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    DWORD put = 0;
    WriteFile(m_hCom, frame, sizeof frame, &put, nullptr);
    m_sequence += 2;
    return TRUE;
}

BOOL CComIO::ReadResponse(BYTE* buffer, DWORD length, BOOL checkSequence) {
    if (!IsOpen()) return FALSE;
    BYTE reply[IAP_FRAME_SIZE];
    DWORD got = 0;
    if (!ReadFile(m_hCom, reply, sizeof reply, &got, nullptr)) {
        Log("NG in m_comIO.ReadFile");
        return FALSE;
    }
    DWORD copied = 0;
    if (!CheckIapReply(reply, got, m_checkSum, m_sequence, checkSequence != FALSE, buffer, buffer ? length : 0,
                       &copied)) {
        char text[128];
        std::snprintf(text, sizeof text, "dwLength = %u, uCmdIndex = %u, %u, usCheckSum = %u, %u", got,
                      got >= 8 ? Word(reply + 4) : 0, m_sequence, got >= 2 ? reply[0] | reply[1] << 8 : 0,
                      m_checkSum);
        Log(text);
        m_responseError = true;
        return FALSE;
    }
    return TRUE;
}

BOOL CComIO::Simple(DWORD code, BOOL checkSequence, BYTE* out, DWORD outLength) {
    if (!SendCommand(code, nullptr, 0)) return FALSE;
    return ReadResponse(out, outLength, checkSequence);
}

BOOL CComIO::CMD_Connect() {
    BOOL ok = Simple(0xAE, FALSE);
    Log(ok ? "CMD_Connect : Success" : "CMD_Connect : Fail");
    return ok;
}
BOOL CComIO::CMD_RunApp() { return Simple(0xAD, FALSE); }
BOOL CComIO::CMD_Check() { return Simple(0xFF, FALSE); }
BOOL CComIO::CMD_Reset() {
    if (!IsOpen()) return FALSE;
    const DWORD one = 1;
    m_sequence = 1;
    if (!SendCommand(0xA4, reinterpret_cast<const BYTE*>(&one), 4)) return FALSE;
    m_sequence = 1;  // the loader's count starts here
    return ReadResponse(nullptr, 0, FALSE);
}
BOOL CComIO::CMD_GetVersion(BYTE* version) { return Simple(0xA6, TRUE, version, 1); }
BOOL CComIO::CMD_GetDeviceId(DWORD* id) { return Simple(0xB1, TRUE, reinterpret_cast<BYTE*>(id), 4); }
BOOL CComIO::CMD_GetInfo(BYTE* info16) { return Simple(0xA2, TRUE, info16, 16); }

BOOL CComIO::CMD_SendData(const BYTE* image, DWORD size, DWORD offset, DWORD* sent) {
    *sent = 0;
    if (offset >= size) return FALSE;
    BYTE payload[IAP_PAYLOAD_SIZE] = {};
    DWORD n;
    if (offset == 0) {
        n = size < 48 ? size : 48;
        std::memcpy(payload + 4, &size, 4);
        std::memcpy(payload + 8, image, n);
        if (!SendCommand(0xA0, payload, 8 + n)) return FALSE;
    } else {
        n = size - offset < IAP_PAYLOAD_SIZE ? size - offset : IAP_PAYLOAD_SIZE;
        std::memcpy(payload, image + offset, n);
        if (!SendCommand(0x00, payload, n)) return FALSE;
    }
    *sent = n;
    return ReadResponse(nullptr, 0, TRUE);
}

bool PmcFwDownload(CComIO& com, const std::u16string& file, bool z330, StepProgress& progress) {
    BYTE version = 0, info[16];
    DWORD id = 0;
    if (!com.CMD_Reset() || !com.CMD_GetVersion(&version) || !com.CMD_GetDeviceId(&id) || !com.CMD_GetInfo(info))
        return false;
    char text[64];
    std::snprintf(text, sizeof text, "FW Ver : 0x%X", version);
    Log(text);
    std::snprintf(text, sizeof text, "Device ID : 0x%X", id);
    Log(text);
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        com.CMD_RunApp();
        return false;
    }
    const DWORD limit = z330 ? 0x20000 : 0x4000;
    DWORD size = GetFileSize(f, nullptr), read = 0;
    std::vector<BYTE> image;
    bool ok = size != INVALID_FILE_SIZE && size > 0 && size <= limit;
    if (!ok) Log("FW size is exceed limit");
    if (ok) {
        image.resize(size);
        ok = ReadFile(f, image.data(), size, &read, nullptr) && read == size;
    }
    CloseHandle(f);
    if (!ok || !com.CMD_Reset()) return false;
    // The first frame carries 48 bytes, the others 56.
    const ULONGLONG frames = 1 + (size > 48 ? (size - 48 + IAP_PAYLOAD_SIZE - 1) / IAP_PAYLOAD_SIZE : 0);
    DWORD offset = 0;
    for (ULONGLONG k = 0; offset < size; ++k) {
        DWORD sent = 0;
        // A frame the loader did not confirm may be missing from its memory: the image would have a hole.
        if (!com.CMD_SendData(image.data(), size, offset, &sent)) {
            Log("Command response error");
            return false;
        }
        offset += sent;
        Sleep(10);
        progress.Step(k, frames);
    }
    Log("PMC FW Download success");
    return true;
}
