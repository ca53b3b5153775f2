// Sends a message to the main program as another program of the device would. Started as
// "post MSG WPARAM [LPARAM]", it posts that message to the window of class "QRX_APPLICATION" and
// ends with 0, or with 1 when there is no such window or the post failed.
#include <windows.h>

#include <cstdlib>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    std::string line;
    for (const WCHAR* p = lpCmdLine; p && *p; ++p) line.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    if (line.rfind("post ", 0) != 0) return 2;
    char* end = nullptr;
    const unsigned long msg = std::strtoul(line.c_str() + 5, &end, 0);
    const unsigned long wParam = std::strtoul(end, &end, 0);
    const unsigned long lParam = std::strtoul(end, nullptr, 0);
    HWND main = FindWindowW(u"QRX_APPLICATION", nullptr);
    if (!main || !PostMessageW(main, static_cast<UINT>(msg), static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)))
        return 1;
    return 0;
}
