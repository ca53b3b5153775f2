#include "kit/CeFile.h"

#include <vector>

CCeFile::CCeFile() : m_pFile(nullptr) {}

CCeFile::~CCeFile() { Close(); }

BOOL CCeFile::Open(const WCHAR* name, const WCHAR* mode) {
    Close();
    if (!name || !mode) return FALSE;
    m_pFile = _wfopen(name, mode);
    return m_pFile ? TRUE : FALSE;
}

BOOL CCeFile::Open(const char* name, const char* mode) {
    Close();
    if (!name || !mode) return FALSE;
    auto widen = [](const char* text, std::vector<WCHAR>& out) {
        int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (n <= 0) return false;
        out.assign(static_cast<size_t>(n), 0);
        return MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n) == n;
    };
    std::vector<WCHAR> wideName, wideMode;
    if (!widen(name, wideName) || !widen(mode, wideMode)) return FALSE;
    return Open(wideName.data(), wideMode.data());
}

BOOL CCeFile::Close() {
    if (!m_pFile) return FALSE;
    int result = fclose(m_pFile);
    m_pFile = nullptr;
    return result == 0 ? TRUE : FALSE;
}

size_t CCeFile::Read(void* buffer, size_t size, size_t count) {
    return m_pFile && buffer ? fread(buffer, size, count, m_pFile) : 0;
}

size_t CCeFile::Write(const void* buffer, size_t size, size_t count) {
    return m_pFile && buffer ? fwrite(buffer, size, count, m_pFile) : 0;
}

BOOL CCeFile::Seek(long offset, int origin) { return m_pFile && fseek(m_pFile, offset, origin) == 0 ? TRUE : FALSE; }

long CCeFile::Tell() { return m_pFile ? ftell(m_pFile) : -1; }

long CCeFile::Size() {
    if (!m_pFile) return -1;
    long at = ftell(m_pFile);
    if (at < 0 || fseek(m_pFile, 0, SEEK_END) != 0) return -1;
    long size = ftell(m_pFile);
    if (fseek(m_pFile, at, SEEK_SET) != 0) return -1;
    return size;
}

BOOL CCeFile::Flush() { return m_pFile && fflush(m_pFile) == 0 ? TRUE : FALSE; }

BOOL CCeFile::Error() { return m_pFile && ferror(m_pFile) ? TRUE : FALSE; }

BOOL CCeFile::Eof() { return !m_pFile || feof(m_pFile) ? TRUE : FALSE; }
