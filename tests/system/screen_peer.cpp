// A small program of the device for the screen tests. "window" shows one coloured window and logs
// what reaches it (pen, keys, storage events); "call" reaches another program's window and logs the
// results; "walk" lists the device's top-level windows from the desktop down; "settle" gives another
// program work and looks at the whole screen once every program is idle; "post" posts one message
// to another program's window (a command another page of that program would send).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "Bounded.h"
#include "qrx/screen.h"

namespace {

int g_log = -1;
COLORREF g_color = 0;
int g_posted = 0;  // posted test messages handled

void Log(const std::string& line) {
    std::string text = line + "\n";
    if (write(g_log, text.data(), text.size()) < 0) _exit(9);
}

std::u16string Wide(const char* s) {
    std::u16string out;
    for (; *s; ++s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return out;
}

LRESULT CALLBACK PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        HBRUSH brush = CreateSolidBrush(g_color);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_LBUTTONDOWN:
        Log("down " + std::to_string(LOWORD(lParam)) + " " + std::to_string(HIWORD(lParam)));
        return 0;
    case WM_KEYDOWN:
        Log("key " + std::to_string(wParam));
        if (wParam == 'S') {
            // Work for the settler while it waits, slow work, then a new look: whoever waits for
            // the screen must wait for all of it.
            if (HWND settler = FindWindowW(u"Settler", nullptr)) PostMessageW(settler, WM_APP + 3, 7, 8);
            Sleep(300);
            g_color = RGB(0, 255, 0);
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        return 0;
    case WM_APP + 1:
        return static_cast<LRESULT>(wParam) + lParam * 2;
    case WM_APP + 2:
        Log("dying");
        _exit(0);  // ends in the middle of the caller's send
    case WM_APP + 3:
        ++g_posted;
        Log("posted " + std::to_string(wParam) + " " + std::to_string(lParam));
        return 0;
    case WM_APP + 4:
        return g_posted;
    case WM_DEVICECHANGE: {
        // "devicechange EVENT type TYPE size SIZE name NAME", the record as this program got it.
        std::string line = "devicechange " + std::to_string(wParam);
        if (const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)) {
            line += " type " + std::to_string(hdr->dbch_devicetype) + " size " + std::to_string(hdr->dbch_size);
            if (hdr->dbch_devicetype == DBT_DEVTYP_PORT) {
                line += " name ";
                for (const WCHAR* c = reinterpret_cast<const DEV_BROADCAST_PORT*>(lParam)->dbcp_name; *c; ++c)
                    line.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
            }
        }
        Log(line);
        return TRUE;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND MakeWindow(const std::u16string& cls, const std::u16string& title, int x, int y, int w, int h) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PeerProc;
    wc.lpszClassName = cls.c_str();
    if (!RegisterClassW(&wc)) return nullptr;
    HWND hwnd = CreateWindowExW(0, cls.c_str(), title.c_str(), WS_POPUP | WS_VISIBLE, x, y, w, h, nullptr, nullptr,
                                nullptr, nullptr);
    if (hwnd) UpdateWindow(hwnd);
    return hwnd;
}

int RunWindow(char** argv) {
    std::u16string cls = Wide(argv[2]), title = Wide(argv[3]);
    int x = std::atoi(argv[4]), y = std::atoi(argv[5]), w = std::atoi(argv[6]), h = std::atoi(argv[7]);
    g_color = static_cast<COLORREF>(std::strtoul(argv[8], nullptr, 16));
    HWND hwnd = MakeWindow(cls, title, x, y, w, h);
    if (!hwnd) return 4;
    Log("shown");
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return 0;
}

BOOL CALLBACK CountWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int RunCall(char** argv, bool dying) {
    std::u16string cls = Wide(argv[2]);
    HWND target = FindWindowW(cls.c_str(), nullptr);
    Log(std::string("found ") + (target ? "yes" : "no"));
    if (!target) return 5;
    Log(std::string("is window ") + (IsWindow(target) ? "yes" : "no"));
    // A handle of this program's kind that names no window of the other program.
    HWND made = reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(target) + 0x7777);
    Log(std::string("made up ") + (IsWindow(made) ? "yes" : "no"));
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(target, &pid);
    Log("owner " + std::to_string(pid) + " " + (thread ? "thread" : "none"));
    int count = 0;
    EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&count));
    Log("windows " + std::to_string(count));
    Log("send " + std::to_string(SendMessageW(target, WM_APP + 1, 20, 11)));
    // Addresses mean nothing in another program: such messages must not reach it.
    Log("gettext " + std::to_string(SendMessageW(target, WM_GETTEXT, 16, 0x1000)));
    PostMessageW(target, WM_TIMER, 1, 0x1000);
    Log(std::string("post ") + (PostMessageW(target, WM_APP + 3, 5, 6) ? "ok" : "failed"));
    // Sent messages are handled before posted ones: wait until the post was handled before the target
    // is made to die, or it may die with the post still queued.
    bounded::WaitUntil([&] { return SendMessageW(target, WM_APP + 4, 0, 0) >= 1; });
    if (dying) {
        auto start = std::chrono::steady_clock::now();
        LRESULT r = SendMessageW(target, WM_APP + 2, 0, 0);
        auto took = std::chrono::steady_clock::now() - start;
        Log("died " + std::to_string(r) + " " + (took < std::chrono::milliseconds(bounded::Scaled(10000)) ? "soon" : "late"));
        bounded::WaitUntil([&] { return !IsWindow(target); });
        Log(std::string("after death ") + (IsWindow(target) ? "window" : "gone"));
    }
    Log("done");
    return 0;
}

// Walks the top-level windows as a launcher watches for a started program: "walk PID" front first,
// then whether EnumWindows gives the same order.
int RunWalk(char** argv) {
    std::u16string cls = Wide(argv[2]);
    if (!MakeWindow(cls, cls, 700, 400, 50, 50) || !qrx::screen::WaitForWindow(cls.c_str(), static_cast<DWORD>(bounded::Scaled(20000)))) return 4;
    std::vector<HWND> walked, listed;
    for (HWND h = GetWindow(GetDesktopWindow(), GW_CHILD); h && walked.size() < 100; h = GetWindow(h, GW_HWNDNEXT)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        Log("walk " + std::to_string(pid));
        walked.push_back(h);
    }
    EnumWindows(
        [](HWND h, LPARAM list) {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&listed));
    Log(std::string("same order ") + (walked == listed ? "yes" : "no"));
    return 0;
}

// Taps a point of another program's window, gives it a slow key, waits for the device to be idle
// and logs the colour the whole screen shows there.
int RunSettle(char** argv) {
    int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
    // A window of its own, on the waiting thread, as a program under test has.
    if (!MakeWindow(u"Settler", u"Settler", 750, 430, 50, 50)) return 4;
    qrx::screen::Tap(x, y);
    qrx::screen::Key('S');
    Log(std::string("idle ") + (qrx::screen::WaitIdle(30000) ? "yes" : "no"));
    std::vector<uint32_t> pixels;
    if (!qrx::screen::Compose(pixels) ||
        pixels.size() != static_cast<size_t>(qrx::screen::kWidth) * qrx::screen::kHeight)
        return 5;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%06x", pixels[static_cast<size_t>(y) * qrx::screen::kWidth + x] & 0xFFFFFFu);
    Log(std::string("pixel ") + hex);
    return 0;
}

int RunPost(char** argv) {
    HWND target = FindWindowW(Wide(argv[2]).c_str(), nullptr);
    if (!target) return 3;
    return PostMessageW(target, static_cast<UINT>(std::atoi(argv[3])), static_cast<WPARAM>(std::atoi(argv[4])),
                        static_cast<LPARAM>(std::atoi(argv[5])))
               ? 0
               : 4;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1];
    const char* log = std::getenv("QRX_PEER_LOG");
    if (!log) return 2;
    g_log = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_log < 0) return 2;
    if (mode == "window" && argc == 9) return RunWindow(argv);
    if (mode == "call" && (argc == 3 || argc == 4)) return RunCall(argv, argc == 4 && std::string(argv[3]) == "kill");
    if (mode == "walk" && argc == 3) return RunWalk(argv);
    if (mode == "settle" && argc == 4) return RunSettle(argv);
    if (mode == "post" && argc == 6) return RunPost(argv);
    return 2;
}
