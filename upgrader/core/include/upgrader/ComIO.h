// The PMC's boot loader on the MCU's serial line: the jump request, the 64-byte frames with their
// checksum and sequence echo, and the firmware download.
#pragma once
#include <windows.h>

#include <string>

#include "upgrader/FlashSteps.h"

#define IAP_FRAME_SIZE 64u
#define IAP_PAYLOAD_SIZE 56u

// A reply to the request whose byte sum is checksum: good when more than 7 bytes came, bytes 0-1 echo
// the sum and, with checkSequence, its sequence + 1 is the sequence now in force. Its data (at most
// got - 8 bytes, and never more than outLength) goes to out; *copied says how much.
bool CheckIapReply(const BYTE* reply, DWORD got, WORD checksum, DWORD sequence, bool checkSequence, BYTE* out,
                   DWORD outLength, DWORD* copied);

class CComIO {
public:
    ~CComIO() { Close(); }
    BOOL Open(int port, DWORD baudRate);
    void Close();
    BOOL IsOpen() const { return m_hCom != INVALID_HANDLE_VALUE; }

    // The MCU frame that sends the controller into its boot loader.
    BOOL SendGotoIap();
    BOOL SendCommand(DWORD code, const BYTE* payload, DWORD length);
    BOOL ReadResponse(BYTE* buffer, DWORD length, BOOL checkSequence);

    BOOL CMD_Connect();
    BOOL CMD_RunApp();
    BOOL CMD_Reset();
    BOOL CMD_GetVersion(BYTE* version);
    BOOL CMD_GetDeviceId(DWORD* id);
    BOOL CMD_GetInfo(BYTE* info16);
    BOOL CMD_Check();
    BOOL CMD_SendData(const BYTE* image, DWORD size, DWORD offset, DWORD* sent);

    DWORD Sequence() const { return m_sequence; }

private:
    BOOL Simple(DWORD code, BOOL checkSequence, BYTE* out = nullptr, DWORD outLength = 0);

    HANDLE m_hCom = INVALID_HANDLE_VALUE;
    DWORD m_sequence = 1;
    WORD m_checkSum = 0;
    bool m_responseError = false;
};

// The firmware download: the opening commands, then the image in data frames from CMD_Reset on.
// Any bad reply fails it (the next try starts again at CMD_Reset); so does an image over the limit
// (0x20000 bytes on the Z-330, else 0x4000) or a missing file (then the loader is left).
bool PmcFwDownload(CComIO& com, const std::u16string& file, bool z330, StepProgress& progress);
