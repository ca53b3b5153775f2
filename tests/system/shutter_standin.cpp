// Stand-in for the screen-lock program: records how the main program started it and answers the way
// the lock program does, with the code the device root holds in "shutter.code". Started as
// "post MSG WPARAM [LPARAM]" it posts that message to the main window instead, as another program would.
#include <fcntl.h>
#include <unistd.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "qrx/host.h"
#include "qrx/screen.h"

namespace {

constexpr UINT kShellCommand = 1025;
constexpr WPARAM kLockBoxShell = 13;
constexpr RECT kLockBox = {346, 228, 454, 253};

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

std::string HostFile(const std::string& name) { return qrx::DeviceRoot() + "/" + name; }

void Record(const std::string& line) {
    int fd = open(HostFile("shutter.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

bool Exists(const std::string& name) { return access(HostFile(name).c_str(), F_OK) == 0; }

std::string ReadSmall(const std::string& name) {
    std::string text;
    int fd = open(HostFile(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) text.assign(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

bool LockBoxShown() {
    for (const auto& w : qrx::screen::ListWindows())
        if (w.visible && w.rect.left == kLockBox.left && w.rect.top == kLockBox.top && w.rect.right == kLockBox.right &&
            w.rect.bottom == kLockBox.bottom)
            return true;
    return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    const std::string line = Narrow(lpCmdLine);
    HWND main = FindWindowW(u"QRX_APPLICATION", nullptr);
    if (line.rfind("post ", 0) == 0) {
        char* end = nullptr;
        const unsigned long msg = std::strtoul(line.c_str() + 5, &end, 0);
        const unsigned long wParam = std::strtoul(end, &end, 0);
        const unsigned long lParam = std::strtoul(end, nullptr, 0);
        if (!main || !PostMessageW(main, static_cast<UINT>(msg), static_cast<WPARAM>(wParam),
                                   static_cast<LPARAM>(lParam))) {
            Record("post failed");
            return 1;
        }
        Record("posted " + std::to_string(msg) + " " + std::to_string(wParam));
        return 0;
    }
    Record("started " + line);
    if (!main) {
        Record("no main window");
        return 1;
    }
    const int code = std::atoi(ReadSmall("shutter.code").c_str());
    // SendMessageW returns once the main program has handled the answer: what is on screen now is
    // the answer's doing, not a timer's.
    SendMessageW(main, kShellCommand, kLockBoxShell, code);
    Record("answered " + std::to_string(code) + " box=" + (LockBoxShown() ? "1" : "0"));
    if (Exists("shutter.unlink")) {
        DeleteFileW(u"\\NAND Flash\\LockDat.dat");
        Record("pattern deleted");
    }
    return 0;
}
