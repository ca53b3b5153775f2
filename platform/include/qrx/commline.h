// The line settings the device's programs give their serial ports: the given speed and framing, no
// hardware or software flow control, parity checked and errors marked only when parity is used.
#pragma once
#include "commapi.h"

inline BOOL SetPlainCommState(HANDLE port, DWORD baudRate, BYTE dataBits, BYTE stopBits, BYTE parity) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = dataBits;
    dcb.StopBits = stopBits;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    if (parity != NOPARITY) {
        dcb.fBinary = 1;
        dcb.fErrorChar = 1;
    }
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    return SetCommState(port, &dcb);
}
