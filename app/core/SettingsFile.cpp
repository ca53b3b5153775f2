#include "app/SettingsFile.h"

#include "ui/FileUtil.h"
#include "ui/IniFile.h"

namespace {

// Leaves room for the ".tmp" of the twin file.
bool TwinPath(const WCHAR* path, WCHAR* twin) {
    if (!path || !path[0] || wcsnlen(path, MAX_PATH) + 4 >= MAX_PATH) return false;
    QrxStrCopy(twin, MAX_PATH, path);
    QrxStrAppend(twin, MAX_PATH, u".tmp");
    return true;
}

bool IsFile(const WCHAR* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

BOOL DataFileExists(const WCHAR* path) {
    WCHAR twin[MAX_PATH];
    if (!path) return FALSE;
    if (IsFile(path)) return TRUE;
    return TwinPath(path, twin) && IsFile(twin);
}

BOOL ReadDataFile(const WCHAR* path, void* buffer, DWORD capacity, DWORD* fileSize) {
    if (fileSize) *fileSize = 0;
    WCHAR twin[MAX_PATH];
    if (!TwinPath(path, twin)) return FALSE;
    // The twin is complete whenever the file itself is gone: a save removes the old file only after
    // the new content is on the flash.
    if (!IsFile(path)) {
        if (!IsFile(twin) || !MoveFileW(twin, path)) return FALSE;
    }
    CRawFile file;
    if (!file.Open(path, 0)) return FALSE;
    DWORD length = file.GetLength();
    if (fileSize) *fileSize = length;
    DWORD want = length < capacity ? length : capacity;
    if (want == 0) return TRUE;
    if (!buffer) return FALSE;
    return file.Read(buffer, want) == want;
}

BOOL WriteDataFile(const WCHAR* path, const void* data, DWORD size) {
    WCHAR twin[MAX_PATH];
    if (!TwinPath(path, twin) || (size && !data)) return FALSE;
    {
        CRawFile file;
        if (!file.Open(twin, 0x1001)) return FALSE;
        bool written = size == 0 || file.Write(data, size) == size;
        if (!written || !FlushFileBuffers(file.Handle())) {
            file.Close();
            DeleteFileW(twin);
            return FALSE;
        }
    }
    if (IsFile(path) && !ForceDeleteFile(path)) {
        DeleteFileW(twin);
        return FALSE;
    }
    // On failure the twin stays: the next read takes it in place of the removed file.
    return MoveFileW(twin, path);
}
