// Shutter: the screen lock the main program starts to check or to set the six-key pattern. One
// instance at a time; every outcome reaches the main window as 1025 with shell 13.
#include "kit/KitLanguage.h"
#include "shutter/LockWnd.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Shutter");
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex) CloseHandle(mutex);
        return -1;
    }
    const LockCommand command = ParseLockCommand(lpCmdLine);
    const int language = LoadKitLanguage(command.language);
    WCHAR line[96];
    swprintf(line, 96, u"[LOCK]Shutter language %d mode %d\r\n", language, command.mode);
    OutputDebugStringW(line);

    CKitArchive archive;
    archive.Open();
    auto* lock = new CLockWnd(command, &archive);
    if (CLockWnd::Register(hInstance) && lock->Create(hInstance)) {
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    delete lock;
    CloseHandle(mutex);
    return 0;
}
