// Files and folders of the device, through the path mapping.
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

#include "internal.h"
#include "qrx/fileapi.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"

namespace qrx {

DWORD MapFilePath(std::u16string_view path, std::string& host, bool& parentMissing, bool& reserved);  // paths.cpp

DWORD FileErrorFromErrno(int e) {
    switch (e) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case ENOTSUP:
        case ENOSYS:
            return ERROR_NOT_SUPPORTED;
        case EIO:
            return ERROR_IO_DEVICE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

namespace {

constexpr DWORD kStoredAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr char kAttrName[] = "user.qrx.attrs";
constexpr uint64_t kSecondsTo1970 = 11644473600ull;  // from 1601-01-01, the platform's epoch
constexpr uint64_t kTicksPerSecond = 10000000ull;    // FILETIME counts 100 ns

void Fail(DWORD error) { SetError(error); }
void FailErrno() { SetError(FileErrorFromErrno(errno)); }

// ---- Attribute store: an extended attribute, or a map file in the layer's state folder where the
// file system has none.

std::atomic<bool> g_forceSidecar{false};

bool XattrUnsupported(int e) { return e == ENOTSUP || e == ENOSYS; }

std::string RootRelative(const std::string& host) {
    const std::string& root = DeviceRoot();
    if (host.size() > root.size() && host.compare(0, root.size(), root) == 0 && host[root.size()] == '/')
        return host.substr(root.size() + 1);
    return host;
}

using SidecarMap = std::map<std::string, DWORD>;

std::mutex& SidecarLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// Held across the read-modify-write of the map file, within and between programs.
class SidecarGuard {
public:
    explicit SidecarGuard(bool exclusive) : m_guard(SidecarLock()) {
        m_fd = open(PlatformStatePath("attrs.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0)
            while (flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
    }
    ~SidecarGuard() {
        if (m_fd >= 0) close(m_fd);
    }
    SidecarGuard(const SidecarGuard&) = delete;
    SidecarGuard& operator=(const SidecarGuard&) = delete;

private:
    std::lock_guard<std::mutex> m_guard;
    int m_fd = -1;
};

std::string SidecarFile() { return PlatformStatePath("attrs"); }

// Lines of "XXXXXXXX <path below the root>"; anything else is skipped.
SidecarMap LoadSidecar() {
    SidecarMap map;
    FILE* f = fopen(SidecarFile().c_str(), "rbe");
    if (!f) return map;
    constexpr size_t kMaxBytes = 64u << 20;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < kMaxBytes) text.append(chunk, n);
    fclose(f);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.size() < 10 || line[8] != ' ') continue;
        DWORD bits = 0;
        bool ok = true;
        for (size_t i = 0; i < 8 && ok; ++i) {
            char c = line[i];
            int v = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
            if (v < 0) ok = false;
            bits = bits << 4 | static_cast<DWORD>(v < 0 ? 0 : v);
        }
        if (ok && (bits & kStoredAttributes)) map[std::string(line.substr(9))] = bits & kStoredAttributes;
    }
    return map;
}

bool SaveSidecar(const SidecarMap& map) {
    std::string file = SidecarFile();
    std::string temp = file + ".new";
    FILE* f = fopen(temp.c_str(), "wbe");
    if (!f) return false;
    bool ok = true;
    for (const auto& [path, bits] : map) {
        if (path.find('\n') != std::string::npos) continue;
        if (fprintf(f, "%08X %s\n", static_cast<unsigned>(bits), path.c_str()) < 0) ok = false;
    }
    if (fflush(f) != 0) ok = false;
    if (fclose(f) != 0) ok = false;
    if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool SidecarExists() {
    struct stat st;
    return stat(SidecarFile().c_str(), &st) == 0;
}

DWORD SidecarBits(const std::string& host) {
    if (!SidecarExists()) return 0;
    SidecarGuard guard(false);
    SidecarMap map = LoadSidecar();
    auto it = map.find(RootRelative(host));
    return it == map.end() ? 0 : it->second;
}

bool IsBelow(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Entries of `host` and of everything below it; `to` empty forgets them.
bool SidecarMove(const std::string& host, const std::string& to) {
    if (!SidecarExists()) return true;
    SidecarGuard guard(true);
    SidecarMap map = LoadSidecar();
    std::string from = RootRelative(host);
    std::string dest = to.empty() ? std::string() : RootRelative(to);
    SidecarMap moved;
    bool changed = false;
    for (auto it = map.begin(); it != map.end();) {
        if (it->first == from || IsBelow(it->first, from)) {
            if (!dest.empty()) moved[dest + it->first.substr(from.size())] = it->second;
            it = map.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (!changed) return true;
    for (auto& entry : moved) map[entry.first] = entry.second;
    return SaveSidecar(map);
}

bool SidecarStore(const std::string& host, DWORD bits) {
    SidecarGuard guard(true);
    SidecarMap map = LoadSidecar();
    std::string key = RootRelative(host);
    auto it = map.find(key);
    if (bits == 0) {
        if (it == map.end()) return true;
        map.erase(it);
    } else {
        if (it != map.end() && it->second == bits) return true;
        map[key] = bits;
    }
    return SaveSidecar(map);
}

DWORD StoredBits(const std::string& host) {
    if (!g_forceSidecar.load()) {
        unsigned char raw[4];
        ssize_t n = getxattr(host.c_str(), kAttrName, raw, sizeof raw);
        if (n == 4)
            return (static_cast<DWORD>(raw[0]) | static_cast<DWORD>(raw[1]) << 8 | static_cast<DWORD>(raw[2]) << 16 |
                    static_cast<DWORD>(raw[3]) << 24) &
                   kStoredAttributes;
        if (n >= 0 || !XattrUnsupported(errno)) return 0;
    }
    return SidecarBits(host);
}

// Stores the bits; a regular file mirrors read-only in its owner write bit.
bool StoreBits(const std::string& host, DWORD bits) {
    bits &= kStoredAttributes;
    bool stored = false;
    if (!g_forceSidecar.load()) {
        unsigned char raw[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                                static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
        int r = bits ? setxattr(host.c_str(), kAttrName, raw, sizeof raw, 0) : removexattr(host.c_str(), kAttrName);
        if (r == 0 || (!bits && errno == ENODATA)) {
            stored = true;
        } else if (!XattrUnsupported(errno)) {
            FailErrno();
            return false;
        }
    }
    if (!stored && !SidecarStore(host, bits)) {
        Fail(ERROR_CANTWRITE);
        return false;
    }
    struct stat st;
    if (stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode_t mode = st.st_mode & 07777;
        mode_t wanted = (bits & FILE_ATTRIBUTE_READONLY) ? mode & ~S_IWUSR : mode | S_IWUSR;
        if (wanted != mode && chmod(host.c_str(), wanted) != 0) {
            FailErrno();
            return false;
        }
    }
    return true;
}

DWORD AttributesOf(const std::string& host, const struct stat& st) {
    DWORD bits = StoredBits(host);
    if (S_ISDIR(st.st_mode)) return bits | FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & S_IWUSR)) bits |= FILE_ATTRIBUTE_READONLY;
    return bits ? bits : FILE_ATTRIBUTE_NORMAL;
}

bool ReadOnly(const std::string& host, const struct stat& st) {
    return (AttributesOf(host, st) & FILE_ATTRIBUTE_READONLY) != 0;
}

// ---- Times.

FILETIME ToFileTime(int64_t seconds, uint32_t nanoseconds) {
    FILETIME ft{0, 0};
    if (seconds < -static_cast<int64_t>(kSecondsTo1970)) return ft;
    uint64_t ticks =
        (static_cast<uint64_t>(seconds + static_cast<int64_t>(kSecondsTo1970))) * kTicksPerSecond + nanoseconds / 100;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

timespec FromFileTime(const FILETIME& ft) {
    uint64_t ticks = static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    timespec ts;
    ts.tv_sec =
        static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - static_cast<int64_t>(kSecondsTo1970));
    ts.tv_nsec = static_cast<long>((ticks % kTicksPerSecond) * 100);
    return ts;
}

struct Times {
    FILETIME creation, access, write;
};

// The creation time is the birth time where the file system keeps one, else the last write.
bool StatTimes(int dirfd, const char* path, int flags, struct statx& sx, Times& t) {
    if (statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    t.access = ToFileTime(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    t.write = ToFileTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    t.creation = (sx.stx_mask & STATX_BTIME) ? ToFileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec) : t.write;
    return true;
}

// ---- Sharing among the open handles of this process.

bool Reads(DWORD access) { return access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL); }
bool Writes(DWORD access) { return access & (GENERIC_WRITE | GENERIC_ALL); }

bool Conflicts(DWORD access, DWORD share, DWORD otherAccess, DWORD otherShare) {
    return (Reads(access) && !(otherShare & FILE_SHARE_READ)) || (Writes(access) && !(otherShare & FILE_SHARE_WRITE)) ||
           (Reads(otherAccess) && !(share & FILE_SHARE_READ)) || (Writes(otherAccess) && !(share & FILE_SHARE_WRITE));
}

struct ShareEntry {
    DWORD access;
    DWORD share;
};
using ShareKey = std::pair<dev_t, ino_t>;

struct ShareTable {
    std::mutex lock;
    std::map<ShareKey, std::map<uint64_t, ShareEntry>> files;
    uint64_t nextId = 1;
};

ShareTable& Shares() {
    static ShareTable* table = new ShareTable;  // lives until exit: handles may close late
    return *table;
}

// 0 when the open conflicts with one already there, else its registration.
uint64_t ShareOpen(const ShareKey& key, DWORD access, DWORD share) {
    ShareTable& t = Shares();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.files.find(key);
    if (it != t.files.end())
        for (const auto& [id, e] : it->second)
            if (Conflicts(access, share, e.access, e.share)) return 0;
    uint64_t id = t.nextId++;
    t.files[key][id] = ShareEntry{access, share};
    return id;
}

bool ShareAllows(const ShareKey& key, DWORD access) {
    ShareTable& t = Shares();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.files.find(key);
    if (it == t.files.end()) return true;
    for (const auto& [id, e] : it->second)
        if (Conflicts(access, FILE_SHARE_READ | FILE_SHARE_WRITE, e.access, e.share)) return false;
    return true;
}

void ShareClose(const ShareKey& key, uint64_t id) {
    ShareTable& t = Shares();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.files.find(key);
    if (it == t.files.end()) return;
    it->second.erase(id);
    if (it->second.empty()) t.files.erase(it);
}

class FileObject : public KernelObject {
public:
    FileObject(int fd, DWORD access, ShareKey key) : fd(fd), access(access), key(key) {}
    ~FileObject() override {
        Unshare();
        close(fd);
    }
    void LastHandleClosed() override { Unshare(); }
    void Unshare() {
        uint64_t id = shareId.exchange(0);
        if (id) ShareClose(key, id);
    }

    const int fd;
    const DWORD access;
    const ShareKey key;
    std::atomic<uint64_t> shareId{0};
};

std::shared_ptr<FileObject> FileFromHandle(HANDLE h) {
    auto file = HandleAs<FileObject>(h);
    if (!file) Fail(ERROR_INVALID_HANDLE);
    return file;
}

// ---- Paths.

struct Mapped {
    std::u16string_view device;
    std::string host;
};

// False with the error set. `creating`: the call would make the entry, so the layer's own folder
// refuses access rather than being absent.
bool Map(LPCWSTR path, Mapped& m, bool creating = false) {
    if (!path) {
        Fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    m.device = std::u16string_view(path, wcsnlen(path, MAX_PATH));
    bool parentMissing = false, reserved = false;
    DWORD error = MapFilePath(m.device, m.host, parentMissing, reserved);
    if (error) {
        if (creating && reserved && error == ERROR_FILE_NOT_FOUND) error = ERROR_ACCESS_DENIED;
        Fail(error);
        return false;
    }
    if (parentMissing) {
        Fail(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

bool IsRoot(const std::string& host) { return host == DeviceRoot(); }

std::string ParentOf(const std::string& host) {
    size_t slash = host.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : host.substr(0, slash);
}

// The last component of a device path as written, or empty for "." and "..".
std::u16string_view LastComponent(std::u16string_view device) {
    size_t end = device.size();
    while (end > 0 && (device[end - 1] == u'\\' || device[end - 1] == u'/')) --end;
    size_t start = end;
    while (start > 0 && device[start - 1] != u'\\' && device[start - 1] != u'/') --start;
    std::u16string_view last = device.substr(start, end - start);
    if (last == u"." || last == u"..") return {};
    return last;
}

// ---- Copying.

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies into a temporary file beside the target and renames it over, so the target is never
// left half written. Attributes and the last write time go along.
bool CopyContents(const std::string& from, const struct stat& fromStat, const std::string& to, bool mayReplace) {
    DWORD bits = AttributesOf(from, fromStat) & kStoredAttributes;
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        FailErrno();
        return false;
    }
    std::string temp = ParentOf(to) + "/.qrx-copy-XXXXXX";
    int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        int e = errno;
        close(in);
        SetError(e == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(e));
        return false;
    }
    bool ok = true;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (!WriteAll(out, buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    int e = errno;
    if (ok) {
        fchmod(out, fromStat.st_mode & 07777);
        timespec times[2] = {fromStat.st_atim, fromStat.st_mtim};
        futimens(out, times);
        if (close(out) != 0) {
            ok = false;
            e = errno;
        }
    } else {
        close(out);
    }
    close(in);
    if (ok) {
        int r = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), mayReplace ? 0 : RENAME_NOREPLACE);
        if (r != 0 && errno == EINVAL && !mayReplace) {
            struct stat st;
            if (lstat(to.c_str(), &st) == 0) {
                errno = EEXIST;
            } else {
                r = rename(temp.c_str(), to.c_str());
            }
        }
        if (r != 0) {
            ok = false;
            e = errno;
        }
    }
    if (!ok) {
        unlink(temp.c_str());
        SetError(e == EEXIST ? ERROR_FILE_EXISTS : FileErrorFromErrno(e));
        return false;
    }
    SidecarMove(to, std::string());
    return StoreBits(to, bits);
}

}  // namespace

// For tests: keeps attributes in the map file even where extended attributes work.
void UseAttributeSidecar(bool on) { g_forceSidecar.store(on); }

// Shared with the find and stream functions.
bool FillFindData(const std::string& host, const std::u16string& name, WIN32_FIND_DATAW& data) {
    struct statx sx;
    Times t;
    if (!StatTimes(AT_FDCWD, host.c_str(), 0, sx, t)) return false;
    struct stat st {};
    st.st_mode = sx.stx_mode;
    memset(&data, 0, sizeof data);
    data.dwFileAttributes = AttributesOf(host, st);
    data.ftCreationTime = t.creation;
    data.ftLastAccessTime = t.access;
    data.ftLastWriteTime = t.write;
    uint64_t size = S_ISDIR(sx.stx_mode) ? 0 : sx.stx_size;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    QrxStrCopy(data.cFileName, MAX_PATH, name.c_str());
    return true;
}

bool HostIsReadOnly(const std::string& host) {
    struct stat st;
    return stat(host.c_str(), &st) == 0 && ReadOnly(host, st);
}

void ForgetFileAttributes(const std::string& host) { SidecarMove(host, std::string()); }

}  // namespace qrx

using namespace qrx;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (IsDeviceName(lpFileName)) return OpenDevice(lpFileName, dwDesiredAccess, dwShareMode);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool mayCreate = dwCreationDisposition == CREATE_NEW || dwCreationDisposition == CREATE_ALWAYS ||
                     dwCreationDisposition == OPEN_ALWAYS;
    Mapped m;
    if (!Map(lpFileName, m, mayCreate)) return INVALID_HANDLE_VALUE;

    bool truncates = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !Writes(dwDesiredAccess)) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    bool existed = stat(m.host.c_str(), &st) == 0;
    if (existed) {
        if (!S_ISREG(st.st_mode)) {
            Fail(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (dwCreationDisposition == CREATE_NEW) {
            Fail(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if ((Writes(dwDesiredAccess) || truncates) && ReadOnly(m.host, st)) {
            Fail(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    } else if (!mayCreate) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    // The descriptor may write even for a query handle that truncates; WriteFile checks the handle.
    int flags = O_CLOEXEC | O_NONBLOCK;
    if (Writes(dwDesiredAccess) || truncates)
        flags |= Reads(dwDesiredAccess) ? O_RDWR : O_WRONLY;
    else
        flags |= O_RDONLY;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;

    // A program or library the device writes (an application update) must run like an installed one.
    const size_t dot = m.host.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : m.host.substr(dot);
    const mode_t createMode = strcasecmp(ext.c_str(), ".exe") == 0 || strcasecmp(ext.c_str(), ".dll") == 0 ? 0777 : 0666;
    int fd = -1;
    bool created = false;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        if (dwCreationDisposition == CREATE_NEW) {
            fd = open(m.host.c_str(), flags | O_CREAT | O_EXCL, createMode);
            if (fd < 0) {
                int e = errno;
                SetError(e == EEXIST ? ERROR_FILE_EXISTS : e == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(e));
                return INVALID_HANDLE_VALUE;
            }
            created = true;
            break;
        }
        fd = open(m.host.c_str(), flags);
        if (fd >= 0) break;
        if (errno != ENOENT || !mayCreate) {
            FailErrno();
            return INVALID_HANDLE_VALUE;
        }
        fd = open(m.host.c_str(), flags | O_CREAT | O_EXCL, createMode);
        if (fd >= 0) {
            created = true;
        } else if (errno != EEXIST) {  // EEXIST: made meanwhile, open it as existing
            SetError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
    }
    if (fd < 0) {
        Fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!existed && !created && (Writes(dwDesiredAccess) || truncates) && ReadOnly(m.host, st)) {
        close(fd);  // made read-only by someone else between the look and the open
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    auto file = std::make_shared<FileObject>(fd, dwDesiredAccess, ShareKey{st.st_dev, st.st_ino});
    // Checked before truncating, so a refused open never costs the other holder its data.
    // A query handle neither takes nor denies anything.
    uint64_t id = Reads(dwDesiredAccess) || Writes(dwDesiredAccess) ? ShareOpen(file->key, dwDesiredAccess, dwShareMode)
                                                                    : UINT64_MAX;
    if (!id) {
        if (created) unlink(m.host.c_str());
        Fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (id != UINT64_MAX) file->shareId = id;
    if (truncates && !created && ftruncate(fd, 0) != 0) {
        FailErrno();
        return INVALID_HANDLE_VALUE;
    }
    if (created || dwCreationDisposition == CREATE_ALWAYS) {
        // A new file starts with exactly the attributes asked for (none for FILE_ATTRIBUTE_NORMAL).
        SidecarMove(m.host, std::string());
        DWORD bits = dwFlagsAndAttributes & kStoredAttributes;
        if (bits || !created) StoreBits(m.host, bits);
    }
    HANDLE h = NewHandle(file);
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
        SetError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return h;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (auto device = HandleAs<DeviceObject>(hFile)) {
        DWORD got = 0;
        BOOL ok = device->Read(lpBuffer, nNumberOfBytesToRead, &got);
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = got;
        return ok;
    }
    auto file = FileFromHandle(hFile);
    if (!file) return FALSE;
    if (lpOverlapped || (nNumberOfBytesToRead && !lpBuffer)) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Reads(file->access)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    char* out = static_cast<char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        size_t want = std::min<size_t>(nNumberOfBytesToRead - done, 1u << 30);
        ssize_t n = read(file->fd, out + done, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            FailErrno();
            if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
            return FALSE;
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (auto device = HandleAs<DeviceObject>(hFile)) {
        DWORD put = 0;
        BOOL ok = device->Write(lpBuffer, nNumberOfBytesToWrite, &put);
        if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = put;
        return ok;
    }
    auto file = FileFromHandle(hFile);
    if (!file) return FALSE;
    if (lpOverlapped || (nNumberOfBytesToWrite && !lpBuffer)) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Writes(file->access)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const char* in = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        size_t want = std::min<size_t>(nNumberOfBytesToWrite - done, 1u << 30);
        ssize_t n = write(file->fd, in + done, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            FailErrno();
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    auto file = FileFromHandle(hFile);
    if (!file) return INVALID_SET_FILE_POINTER;
    int64_t distance =
        lpDistanceToMoveHigh
            ? static_cast<int64_t>(static_cast<uint64_t>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32 |
                                   static_cast<DWORD>(lDistanceToMove))
            : lDistanceToMove;
    int64_t base;
    if (dwMoveMethod == FILE_BEGIN) {
        base = 0;
    } else if (dwMoveMethod == FILE_CURRENT) {
        off_t cur = lseek(file->fd, 0, SEEK_CUR);
        if (cur < 0) {
            FailErrno();
            return INVALID_SET_FILE_POINTER;
        }
        base = cur;
    } else if (dwMoveMethod == FILE_END) {
        struct stat st;
        if (fstat(file->fd, &st) != 0) {
            FailErrno();
            return INVALID_SET_FILE_POINTER;
        }
        base = st.st_size;
    } else {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t target;
    if (__builtin_add_overflow(base, distance, &target)) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (target < 0) {
        Fail(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    // Without the high part the caller can only take a 32-bit position.
    if (!lpDistanceToMoveHigh && target > 0xFFFFFFFFll) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(file->fd, target, SEEK_SET) < 0) {
        FailErrno();
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
    SetError(ERROR_SUCCESS);  // tells a position ending in 0xFFFFFFFF from a failure
    return static_cast<DWORD>(target);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = FileFromHandle(hFile);
    if (!file) return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
        FailErrno();
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL SetEndOfFile(HANDLE hFile) {
    auto file = FileFromHandle(hFile);
    if (!file) return FALSE;
    if (!Writes(file->access)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    off_t pos = lseek(file->fd, 0, SEEK_CUR);
    if (pos < 0 || ftruncate(file->fd, pos) != 0) {
        FailErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
    if (auto device = HandleAs<DeviceObject>(hFile)) return device->Flush();
    auto file = FileFromHandle(hFile);
    if (!file) return FALSE;
    if (fsync(file->fd) != 0 && errno != EINVAL) {
        FailErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime, LPFILETIME lpLastWriteTime) {
    auto file = FileFromHandle(hFile);
    if (!file) return FALSE;
    struct statx sx;
    Times t;
    if (!StatTimes(file->fd, "", AT_EMPTY_PATH, sx, t)) {
        FailErrno();
        return FALSE;
    }
    if (lpCreationTime) *lpCreationTime = t.creation;
    if (lpLastAccessTime) *lpLastAccessTime = t.access;
    if (lpLastWriteTime) *lpLastWriteTime = t.write;
    return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME*, const FILETIME* lpLastAccessTime, const FILETIME* lpLastWriteTime) {
    auto file = FileFromHandle(hFile);
    if (!file) return FALSE;
    if (!Writes(file->access)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The host keeps no settable creation time; the platform's callers only ever restore it.
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = 0;
    times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
    if (lpLastAccessTime) times[0] = FromFileTime(*lpLastAccessTime);
    if (lpLastWriteTime) times[1] = FromFileTime(*lpLastWriteTime);
    if (futimens(file->fd, times) != 0) {
        FailErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    Mapped m;
    if (!Map(lpFileName, m)) return FALSE;
    struct stat st;
    if (lstat(m.host.c_str(), &st) != 0) {
        FailErrno();
        return FALSE;
    }
    if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && ReadOnly(m.host, st))) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(m.host.c_str()) != 0) {
        FailErrno();
        return FALSE;
    }
    SidecarMove(m.host, std::string());
    return TRUE;
}

BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    Mapped from, to;
    if (!Map(lpExistingFileName, from)) return FALSE;
    struct stat fromStat;
    if (stat(from.host.c_str(), &fromStat) != 0) {
        FailErrno();
        return FALSE;
    }
    if (!S_ISREG(fromStat.st_mode)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!Map(lpNewFileName, to, true)) return FALSE;
    struct stat toStat;
    bool exists = stat(to.host.c_str(), &toStat) == 0;
    if (exists) {
        if (toStat.st_dev == fromStat.st_dev && toStat.st_ino == fromStat.st_ino) {
            // Onto itself: replacing would lose the very data being copied.
            Fail(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (!S_ISREG(toStat.st_mode)) {
            Fail(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (bFailIfExists) {
            Fail(ERROR_FILE_EXISTS);
            return FALSE;
        }
        if (ReadOnly(to.host, toStat)) {
            Fail(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!ShareAllows(ShareKey{toStat.st_dev, toStat.st_ino}, GENERIC_WRITE)) {
            Fail(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    if (!ShareAllows(ShareKey{fromStat.st_dev, fromStat.st_ino}, GENERIC_READ)) {
        Fail(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return CopyContents(from.host, fromStat, to.host, !bFailIfExists) ? TRUE : FALSE;
}

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    Mapped from, to;
    if (!Map(lpExistingFileName, from)) return FALSE;
    struct stat fromStat;
    if (lstat(from.host.c_str(), &fromStat) != 0) {
        FailErrno();
        return FALSE;
    }
    if (IsRoot(from.host)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!Map(lpNewFileName, to, true)) return FALSE;
    if (IsRoot(to.host)) {
        Fail(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    std::string target = to.host;
    struct stat toStat;
    if (lstat(to.host.c_str(), &toStat) == 0) {
        // The same entry under another spelling: a change of case, made with the new spelling.
        std::u16string_view name = LastComponent(to.device);
        if (to.host != from.host || name.empty()) {
            Fail(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        target = ParentOf(from.host) + "/" + QrxToUtf8(name);
        if (target == from.host) return TRUE;
    }
    if (S_ISDIR(fromStat.st_mode) && IsBelow(target, from.host)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    int r = renameat2(AT_FDCWD, from.host.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL) {
        // A file system without the exclusive rename.
        if (lstat(target.c_str(), &toStat) == 0) {
            Fail(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        r = rename(from.host.c_str(), target.c_str());
    }
    if (r != 0 && errno == EXDEV && S_ISREG(fromStat.st_mode)) {
        if (!CopyContents(from.host, fromStat, target, false)) return FALSE;
        if (unlink(from.host.c_str()) != 0) {
            FailErrno();
            return FALSE;
        }
        SidecarMove(from.host, std::string());
        return TRUE;
    }
    if (r != 0) {
        int e = errno;
        SetError(e == EEXIST ? ERROR_ALREADY_EXISTS : e == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(e));
        return FALSE;
    }
    SidecarMove(from.host, target);
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    if (dwFlags & ~MOVEFILE_REPLACE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Mapped from, to;
    struct stat fromStat, toStat;
    if (!(dwFlags & MOVEFILE_REPLACE_EXISTING) || !Map(lpExistingFileName, from) || !Map(lpNewFileName, to, true) ||
        lstat(from.host.c_str(), &fromStat) != 0 || lstat(to.host.c_str(), &toStat) != 0 || from.host == to.host)
        return MoveFileW(lpExistingFileName, lpNewFileName);
    if (!S_ISREG(fromStat.st_mode) || !S_ISREG(toStat.st_mode) || ReadOnly(to.host, toStat)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (rename(from.host.c_str(), to.host.c_str()) != 0) {
        FailErrno();
        return FALSE;
    }
    SidecarMove(to.host, std::string());
    SidecarMove(from.host, to.host);
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    Mapped m;
    if (!Map(lpPathName, m, true)) return FALSE;
    if (mkdir(m.host.c_str(), 0777) != 0) {
        int e = errno;
        SetError(e == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(e));
        return FALSE;
    }
    SidecarMove(m.host, std::string());
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    Mapped m;
    if (!Map(lpPathName, m)) return FALSE;
    struct stat st;
    if (lstat(m.host.c_str(), &st) != 0) {
        FailErrno();
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        Fail(ERROR_DIRECTORY);
        return FALSE;
    }
    if (IsRoot(m.host) || ReadOnly(m.host, st)) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (rmdir(m.host.c_str()) != 0) {
        int e = errno;
        SetError(e == EEXIST ? ERROR_DIR_NOT_EMPTY : FileErrorFromErrno(e));
        return FALSE;
    }
    SidecarMove(m.host, std::string());
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    Mapped m;
    if (!Map(lpFileName, m)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(m.host.c_str(), &st) != 0) {
        FailErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(m.host, st);
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    Mapped m;
    if (!Map(lpFileName, m)) return FALSE;
    struct stat st;
    if (stat(m.host.c_str(), &st) != 0) {
        FailErrno();
        return FALSE;
    }
    return StoreBits(m.host, dwFileAttributes) ? TRUE : FALSE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailable,
                         PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    Mapped m;
    if (!Map(lpDirectoryName ? lpDirectoryName : u"\\", m)) return FALSE;
    struct statvfs vfs;
    if (statvfs(m.host.c_str(), &vfs) != 0) {
        int e = errno;
        SetError(e == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(e));
        return FALSE;
    }
    uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    if (lpFreeBytesAvailable) lpFreeBytesAvailable->QuadPart = static_cast<ULONGLONG>(vfs.f_bavail) * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = static_cast<ULONGLONG>(vfs.f_blocks) * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = static_cast<ULONGLONG>(vfs.f_bfree) * unit;
    return TRUE;
}
