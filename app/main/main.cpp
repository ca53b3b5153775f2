// QRX: the main program of the charger.
#include <windows.h>

#include "app/MainFrame.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow) {
    return QrxWinMain(hInstance, lpCmdLine, nCmdShow);
}
