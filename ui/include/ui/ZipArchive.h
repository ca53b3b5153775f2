// The image archive: zip reading under minizip through the program's own archive stream, the
// archive object, the public handle functions and the process-wide holders of the archive buffer
// and of the layout script text.
#pragma once
#include <windows.h>

// Result codes (0 is success).
enum : DWORD {
    ZR_OK = 0x00000000,
    ZR_NOFILE = 0x00000200,
    ZR_WRITE = 0x00000400,
    ZR_NOTFOUND = 0x00000500,
    ZR_MORE = 0x00000600,
    ZR_CORRUPT = 0x00000700,
    ZR_READ = 0x00000800,
    ZR_PASSWORD = 0x00001000,
    ZR_ARGS = 0x00010000,
    ZR_WRONGKIND = 0x00080000,
    ZR_INUSE = 0x01000000,
    ZR_SEEK = 0x02000000,
    ZR_FLATE = 0x05000000,
};

struct ZipItemInfo {
    int index;
    WCHAR name[MAX_PATH];
    DWORD attr;
    FILETIME atime, ctime, mtime;
    LONG comp_size;
    LONG unc_size;
    // The stored name was not kept as written: cleaning took drive parts, leading separators or ".."
    // components off it. A reader that places files by name refuses such an entry.
    BOOL nameCleaned;
};

// Stream kinds of ArchiveStreamOpen and CZipReader::Open.
enum { ZIP_HANDLE = 1, ZIP_FILENAME = 2, ZIP_MEMORY = 3 };

struct HZIP__;
typedef HZIP__* HZIP;

HZIP OpenZipMemory(const void* buffer, DWORD size, const char* password);
HZIP OpenZipHandle(HANDLE file, const char* password);
HZIP OpenZipFile(const WCHAR* path, const char* password);
DWORD FindZipItem(HZIP hz, const WCHAR* name, bool ignoreCase, int* index, ZipItemInfo* item);
DWORD GetZipItem(HZIP hz, int index, ZipItemInfo* item);
// mode 3: target is a buffer of length bytes; 2: target is a file name (WCHAR*); 1: an open HANDLE.
DWORD UnzipZipItem(HZIP hz, int index, void* target, DWORD length, DWORD mode);
DWORD UnzipZipItemToMemory(HZIP hz, int index, void* buffer, DWORD length);
DWORD CloseZip(HZIP hz);
DWORD GetLastZipResult();
BOOL EnsureDirectory(const WCHAR* base, const WCHAR* path);

// Image archive holder (one per program).
BOOL LoadArchiveFile(const WCHAR* path);
void FreeArchiveFile();
BOOL IsArchiveLoaded();
const BYTE* GetArchiveBuffer(DWORD* size);
BOOL FindArchiveItem(const BYTE* buffer, DWORD size, const WCHAR* name, ZipItemInfo* item, int* index);
BOOL UnzipArchiveItem(const BYTE* buffer, DWORD size, void* target, ZipItemInfo* item, int index);
// The same two with the result code, which says why a member could not be had.
DWORD LookupArchiveItem(const BYTE* buffer, DWORD size, const WCHAR* name, ZipItemInfo* item, int* index);
DWORD InflateArchiveItem(const BYTE* buffer, DWORD size, void* target, ZipItemInfo* item, int index);
// Tells the debug log which member of the loaded image archive could not be had and why (detail, or
// the text of result), once per failure while that archive stays loaded; a damaged archive once.
void ReportArchiveFailure(const WCHAR* member, DWORD result, const char* detail = nullptr);

// Layout script holder: the resource text, handed over once at start-up and never freed.
void SetLayoutScript(const void* text, DWORD size);
BOOL HasLayoutScript();
const char* GetLayoutScript(DWORD* size);
// Hands the module's RCDATA resource id over as the layout script; 0 when the module has none.
BOOL LoadLayoutResource(HINSTANCE module, int id);
