// Removable storage: a volume is a folder of the device root. Removing one moves the folder into
// .platform/volumes, so its content comes back with it on arrival. Moves never replace anything, so
// two programs doing the same at once cannot lose a kept copy.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "internal.h"
#include "qrx/dbt.h"
#include "qrx/wstr.h"
#include "win/win.h"

namespace qrx {
namespace {

constexpr size_t kMaxVolumeName = 255;  // bytes, as a host file name

std::mutex g_volumeLock;  // one move at a time within the process; renames guard between programs

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxVolumeName || name[0] == '.' || name.front() == ' ' || name.back() == ' ')
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '*' || c == '?' || c == ':') return false;
    return true;
}

std::u16string Fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = static_cast<char16_t>(towlower16(c));
    return out;
}

bool IsFolder(const std::string& path, bool& exists) {
    struct stat st;
    exists = lstat(path.c_str(), &st) == 0;
    return exists && S_ISDIR(st.st_mode);
}

// The entry of `folder` named like `name` without regard to case; the byte-wise smallest of several.
bool FindIgnoringCase(const std::string& folder, const std::string& name, std::string& found) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    std::u16string want = Fold(QrxFromUtf8(name));
    bool any = false;
    while (const dirent* e = readdir(dir)) {
        std::string entry(e->d_name);
        if (entry == "." || entry == ".." || Fold(QrxFromUtf8(entry)) != want) continue;
        if (!any || entry < found) found = entry;
        any = true;
    }
    closedir(dir);
    return any;
}

std::string KeptFolder() {
    std::string folder = PlatformStatePath("volumes");
    mkdir(folder.c_str(), 0755);
    return folder;
}

// Moves without ever replacing the target.
DWORD Move(const std::string& from, const std::string& to) {
    int rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // A file system without the flag: check first; only programs of this device race here.
        struct stat st;
        if (lstat(to.c_str(), &st) == 0) return ERROR_ALREADY_EXISTS;
        rc = rename(from.c_str(), to.c_str());
    }
    if (rc == 0) return 0;
    if (errno == EEXIST || errno == ENOTEMPTY) return ERROR_ALREADY_EXISTS;
    return FileErrorFromErrno(errno);
}

std::string Join(const std::string& folder, const std::string& name) { return folder + "/" + name; }

}  // namespace

DWORD TakeVolumeOut(const std::string& name, std::u16string& folder) {
    if (!ValidName(name)) return ERROR_INVALID_NAME;
    std::lock_guard<std::mutex> g(g_volumeLock);
    const std::string& root = DeviceRoot();
    std::string kept = KeptFolder();
    std::string inRoot, inKept;
    bool mounted = FindIgnoringCase(root, name, inRoot);
    bool held = FindIgnoringCase(kept, name, inKept);
    if (!mounted) {
        if (!held) return ERROR_FILE_NOT_FOUND;
        folder = QrxFromUtf8(inKept);  // already out: the event again
        return 0;
    }
    bool exists = false;
    if (!IsFolder(Join(root, inRoot), exists)) return exists ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND;
    // A folder made while the volume was out must not take the place of the content kept for it.
    if (held) return ERROR_ALREADY_EXISTS;
    if (DWORD error = Move(Join(root, inRoot), Join(kept, inRoot))) return error;
    folder = QrxFromUtf8(inRoot);
    return 0;
}

DWORD PutVolumeIn(const std::string& name, std::u16string& folder) {
    if (!ValidName(name)) return ERROR_INVALID_NAME;
    std::lock_guard<std::mutex> g(g_volumeLock);
    const std::string& root = DeviceRoot();
    std::string kept = KeptFolder();
    std::string inRoot, inKept;
    bool mounted = FindIgnoringCase(root, name, inRoot);
    if (FindIgnoringCase(kept, name, inKept)) {
        // Whatever took the volume's place meanwhile is neither replaced nor merged with the card.
        if (mounted) return ERROR_ALREADY_EXISTS;
        if (DWORD error = Move(Join(kept, inKept), Join(root, inKept))) return error;
        folder = QrxFromUtf8(inKept);
        return 0;
    }
    if (mounted) {
        bool exists = false;
        if (!IsFolder(Join(root, inRoot), exists)) return exists ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND;
        folder = QrxFromUtf8(inRoot);  // already in: the event again
        return 0;
    }
    if (mkdir(Join(root, name).c_str(), 0755) != 0 && errno != EEXIST) return FileErrorFromErrno(errno);
    folder = QrxFromUtf8(name);
    return 0;
}

bool VolumeKeptAside(const std::string& name) {
    if (!ValidName(name)) return false;
    std::lock_guard<std::mutex> g(g_volumeLock);
    std::string found;
    return FindIgnoringCase(PlatformStatePath("volumes"), name, found);
}

bool RemoveVolume(const std::string& name) {
    std::u16string folder;
    if (DWORD error = TakeVolumeOut(name, folder)) {
        SetError(error);
        return false;
    }
    win::BroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, folder);
    SetError(ERROR_SUCCESS);
    return true;
}

bool ArriveVolume(const std::string& name) {
    std::u16string folder;
    if (DWORD error = PutVolumeIn(name, folder)) {
        SetError(error);
        return false;
    }
    win::BroadcastDeviceChange(DBT_DEVICEARRIVAL, folder);
    SetError(ERROR_SUCCESS);
    return true;
}

}  // namespace qrx
