// Debug output: one log per device, shared by every program. Each message is one line, stamped with
// the device's local time and tick count, written with a single append, so lines of different
// threads and programs never mix.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "qrx/module.h"
#include "qrx/synchapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

constexpr off_t kMaxLogBytes = 4 << 20;
// Keeps one runaway message from flooding the log.
constexpr size_t kMaxMessageChars = 16384;

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Moves a full log aside. Several programs may find it full at once: the lock and the check
// that the name still refers to this very file let only the first one rename it, so an older
// full log is never replaced by an almost empty one.
void RotateIfFull(int fd, const std::string& path) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= kMaxLogBytes) return;
    if (flock(fd, LOCK_EX) != 0) return;
    struct stat named;
    if (stat(path.c_str(), &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino)
        rename(path.c_str(), (path + ".1").c_str());
    flock(fd, LOCK_UN);
}

}  // namespace
}  // namespace qrx

void OutputDebugStringW(LPCWSTR lpOutputString) {
    if (!lpOutputString) return;
    std::u16string_view text(lpOutputString, wcsnlen(lpOutputString, qrx::kMaxMessageChars));
    // Callers end their messages with "\r\n" as often as not; the log holds plain lines.
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.remove_suffix(1);
    // Device time, so that lines of several programs line up with what the device showed and logged.
    SYSTEMTIME t;
    GetLocalTime(&t);
    char stamp[48];
    int n = std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%u] ", t.wYear, t.wMonth, t.wDay,
                          t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, static_cast<unsigned>(GetTickCount()));
    std::string line(stamp, n > 0 ? static_cast<size_t>(n) : 0);
    line += QrxToUtf8(text);
    for (size_t at = line.find("\r\n"); at != std::string::npos; at = line.find("\r\n", at)) line.erase(at, 1);
    line += '\n';

    std::string path = qrx::PlatformStatePath("debug.log");
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        qrx::WriteAll(fd, line);
        qrx::RotateIfFull(fd, path);
        close(fd);
    }
    const char* echo = getenv("QRX_DEBUG");
    if (echo && strcmp(echo, "1") == 0) qrx::WriteAll(STDERR_FILENO, line);
}
