// The C stream family over device paths, and UTF-16 line I/O on binary streams.
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "internal.h"
#include "qrx/fileapi.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

int ErrnoFromError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_DISK_FULL:
            return ENOSPC;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

int Result(BOOL ok) {
    if (ok) return 0;
    errno = ErrnoFromError(GetLastError());
    return -1;
}

}  // namespace
}  // namespace qrx

using namespace qrx;

FILE* _wfopen(const WCHAR* path, const WCHAR* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    // "r", "w" or "a", then "+", "b" and "t" in any order; text mode translates nothing here.
    char base = 0;
    bool update = false;
    size_t length = wcsnlen(mode, 8);
    for (size_t i = 0; i < length; ++i) {
        WCHAR c = mode[i];
        if (i == 0 && (c == u'r' || c == u'w' || c == u'a')) {
            base = static_cast<char>(c);
        } else if (i > 0 && c == u'+' && !update) {
            update = true;
        } else if (i == 0 || (c != u'b' && c != u't')) {
            errno = EINVAL;
            return nullptr;
        }
    }
    if (!base || length == 8) {
        errno = EINVAL;
        return nullptr;
    }

    std::string host;
    bool parentMissing = false, reserved = false;
    if (DWORD error = MapFilePath(std::u16string_view(path, wcsnlen(path, MAX_PATH)), host, parentMissing, reserved)) {
        errno = reserved && base != 'r' && error == ERROR_FILE_NOT_FOUND ? EACCES : ErrnoFromError(error);
        return nullptr;
    }
    if (parentMissing) {
        errno = ENOENT;
        return nullptr;
    }
    struct stat st;
    bool existed = stat(host.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        errno = EACCES;
        return nullptr;
    }
    if (existed && (base != 'r' || update) && HostIsReadOnly(host)) {
        errno = EACCES;
        return nullptr;
    }
    char hostMode[5] = {base, 0, 0, 0, 0};
    size_t n = 1;
    if (update) hostMode[n++] = '+';
    hostMode[n++] = 'b';
    hostMode[n++] = 'e';  // not inherited by started programs
    FILE* f = fopen(host.c_str(), hostMode);
    if (f && !existed) ForgetFileAttributes(host);
    return f;
}

int _wremove(const WCHAR* path) { return Result(DeleteFileW(path)); }

int _wrename(const WCHAR* oldPath, const WCHAR* newPath) { return Result(MoveFileW(oldPath, newPath)); }

int _wmkdir(const WCHAR* path) { return Result(CreateDirectoryW(path, nullptr)); }

int _wrmdir(const WCHAR* path) { return Result(RemoveDirectoryW(path)); }

WCHAR* fgetws(WCHAR* buffer, int count, FILE* stream) {
    if (!buffer || count <= 0 || !stream) {
        errno = EINVAL;
        return nullptr;
    }
    int stored = 0;
    flockfile(stream);
    bool ended = false;
    while (stored < count - 1) {
        int lo = getc_unlocked(stream);
        int hi = lo == EOF ? EOF : getc_unlocked(stream);
        if (hi == EOF) {  // half a unit at the end is no character
            ended = true;
            break;
        }
        WCHAR c = static_cast<WCHAR>(lo | hi << 8);
        buffer[stored++] = c;
        if (c == u'\n') break;
    }
    bool failed = ended && ferror_unlocked(stream) != 0;
    funlockfile(stream);
    buffer[stored] = 0;
    if (failed || (stored == 0 && count > 1)) return nullptr;
    return buffer;
}

int fputws(const WCHAR* text, FILE* stream) {
    if (!text || !stream) {
        errno = EINVAL;
        return -1;
    }
    unsigned char chunk[512];
    size_t used = 0;
    for (const WCHAR* p = text; *p; ++p) {
        chunk[used++] = static_cast<unsigned char>(*p & 0xFF);
        chunk[used++] = static_cast<unsigned char>(*p >> 8);
        if (used == sizeof chunk) {
            if (fwrite(chunk, 1, used, stream) != used) return -1;
            used = 0;
        }
    }
    if (used && fwrite(chunk, 1, used, stream) != used) return -1;
    return 0;
}
