// The file object with numeric open modes, the read-only INI reader and the registry readers.
#pragma once
#include <cstdio>

#include <windows.h>

class CRawFile {
public:
    CRawFile();
    virtual ~CRawFile();
    CRawFile(const CRawFile&) = delete;
    CRawFile& operator=(const CRawFile&) = delete;

    // mode: access (mode & 3), sharing (mode & 0x70), 0x80 not inherited, 0x1000 create,
    // 0x2000 with 0x1000 keep an existing file. 1 on success.
    BOOL Open(const WCHAR* path, UINT mode);
    void Close();
    DWORD Read(void* buffer, DWORD count);         // 0xFFFFFFFF on failure
    DWORD Write(const void* buffer, DWORD count);  // count, or 0 on any failure or short write
    DWORD GetLength() const;
    DWORD Seek(LONG offset, UINT origin);
    static BOOL Remove(const WCHAR* path);

    HANDLE Handle() const { return m_hFile; }
    const WCHAR* Path() const { return m_szPath; }

protected:
    HANDLE m_hFile;
    WCHAR m_szPath[MAX_PATH];
};

class CIniFile {
public:
    CIniFile();
    virtual ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    BOOL SetCodePage(int codePage);
    // path: MAX_PATH characters; an empty path names the program's own .ini file and receives it.
    // 0 or -1.
    virtual int Open(WCHAR* path, BOOL write);
    void Close(BOOL commit);
    // out: outSize characters, always terminated; "" when not found. 0 found, -1 not found.
    int GetStringW(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize, BOOL fromLast, BOOL comments);
    int GetStringA(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize, BOOL fromLast, BOOL comments);

protected:
    FILE* m_pReader;
    FILE* m_pWriter;
    WCHAR m_szPath[MAX_PATH];
    WCHAR m_szTempPath[MAX_PATH];
    LONG m_lastSection;
    int m_codePage;
};

// out: outSize characters (at most 260 are read). 1 on success; 0 and "" otherwise.
BOOL RegReadString(HKEY root, const WCHAR* subKey, const WCHAR* valueName, WCHAR* out, size_t outSize);
BOOL RegReadValue(HKEY root, const WCHAR* subKey, const WCHAR* valueName, void* buffer, DWORD* size);
