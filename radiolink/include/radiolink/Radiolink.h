// Radiolink.dll: the Bluetooth module on the display board. The main program imports these by their
// C++ names. One module object lives in the library from load to unload.
#pragma once
#include <windows.h>

#define BT_MSG_STATE 1425  // wParam 1 a host connected, 0 lost or reconfiguring

// Opens COM<com> to the module and starts its worker; 1 on success. settings: the main program's
// settings record (read for the remote streaming word); name: the module's device name (null:
// "QRX-Unknown"); mode: 0 one stored peer, non-zero any host.
int BT_Open(int com, HWND notify, void* settings, char* unused, char* name, int mode);
// Stops the worker (serving messages sent to the calling thread meanwhile), then frees the port.
void BT_Close();
int BT_Connect();
void BT_Disconnect();
void BT_SetEventhWnd(HWND hWnd);
// Raw text to a connected host; the bytes written (0 unless a host is connected).
int BT_SendMsg(char* text);
// "$QRX,<body><sum>\r\n" to a connected host; the bytes written, 0 for an empty body, one over 502
// bytes or no host.
int BT_SendCommand(unsigned char* body);
// The error record "ER,<code>," to a connected host.
int BT_SendErrorCode(int code);
// Asks the module for its information, in any state.
void BT_GetInfo();
// Configures the module again with the new mode; the host link counts as lost meanwhile.
void BT_ChangeMode(int mode);
