// A C runtime stream behind the upgrader's file object; closed when the object goes.
#pragma once
#include <windows.h>

#include <cstdio>

class CCeFile {
public:
    CCeFile();
    virtual ~CCeFile();  // closes an open stream
    CCeFile(const CCeFile&) = delete;
    CCeFile& operator=(const CCeFile&) = delete;

    // Device path and mode ("rb", "wb", ...); an open stream is closed first. 1 on success.
    BOOL Open(const WCHAR* name, const WCHAR* mode);
    // 8-bit name and mode (the ANSI page).
    BOOL Open(const char* name, const char* mode);

    // 1 when the stream closed without error (written data reached the file); 0 also when not open.
    virtual BOOL Close();
    // Whole elements.
    virtual size_t Read(void* buffer, size_t size, size_t count);
    virtual size_t Write(const void* buffer, size_t size, size_t count);
    // origin SEEK_SET, SEEK_CUR, SEEK_END; 1 on success.
    virtual BOOL Seek(long offset, int origin);
    virtual long Tell();
    // Length, the position kept; -1 when closed.
    virtual long Size();
    virtual BOOL Flush();
    virtual BOOL Error();
    virtual BOOL Eof();

    BOOL IsOpen() const { return m_pFile != nullptr; }

private:
    FILE* m_pFile;
};
