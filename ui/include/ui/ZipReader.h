// The archive stream minizip reads through and the archive object behind an HZIP.
#pragma once
#include <ui/ZipArchive.h>

#include <memory>
#include <string>

// One open source of archive bytes. A file name source becomes an owned handle source.
struct ArchiveStream {
    int kind;  // ZIP_HANDLE or ZIP_MEMORY
    bool canSeek;
    HANDLE hFile;
    bool owned;
    ULONGLONG base;  // handle position at open; every stream position is relative to it
    const BYTE* block;
    DWORD blockSize;
    DWORD position;
    bool error;
    bool lastReadShort;  // minizip takes a short read for the end of data unless told otherwise
};

// kind ZIP_HANDLE: source is an open HANDLE (not owned); ZIP_FILENAME: a WCHAR path, opened for
// reading; ZIP_MEMORY: a block of size bytes. Null and *result set on failure.
ArchiveStream* ArchiveStreamOpen(const void* source, DWORD size, int kind, DWORD* result);
// Whole items read.
DWORD ArchiveStreamRead(void* buffer, DWORD itemSize, DWORD count, ArchiveStream* stream);
// origin 0 start, 1 current, 2 end. 0 on success.
int ArchiveStreamSeek(ArchiveStream* stream, LONGLONG offset, int origin);
ULONGLONG ArchiveStreamTell(ArchiveStream* stream);
int ArchiveStreamClose(ArchiveStream* stream);

class CZipReader {
public:
    explicit CZipReader(const char* password = nullptr);
    ~CZipReader();
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;

    DWORD Open(const void* source, DWORD size, int kind);
    void Close();
    DWORD GetItem(int index, ZipItemInfo* item);
    DWORD Find(const WCHAR* name, bool ignoreCase, int* index, ZipItemInfo* item);
    DWORD Unzip(int index, void* target, DWORD length, DWORD mode);
    const WCHAR* BaseFolder() const { return m_szBase; }

private:
    DWORD GoTo(int index);
    DWORD CheckPassword(ULONGLONG flag, DWORD crc, DWORD dosDate);
    DWORD OpenMember(int index);
    DWORD CloseMember();
    DWORD UnzipToMemory(int index, BYTE* target, DWORD length);
    DWORD UnzipToFile(int index, void* target, DWORD mode);

    void* m_uf;  // minizip archive
    ArchiveStream* m_stream;
    LONGLONG m_count;
    int m_dirIndex;   // member minizip's directory cursor is on, -1 unknown
    int m_openIndex;  // member open for reading, -1 none
    int m_cacheIndex;
    ZipItemInfo m_cache;
    std::string m_password;
    bool m_hasPassword;
    std::unique_ptr<BYTE[]> m_buffer;
    WCHAR m_szBase[MAX_PATH];
};

// What an HZIP points at; kind ZIP_KIND_UNZIP is the only kind these functions take.
enum : DWORD { ZIP_KIND_UNZIP = 1 };
struct HZIP__ {
    DWORD kind;
    CZipReader* archive;
};

// Strips drive parts, leading separators and every ".." component with all before it, so the
// result always stays below the folder it is joined to.
const WCHAR* CleanZipName(const WCHAR* name);
