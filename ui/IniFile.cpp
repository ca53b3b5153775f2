#include "ui/IniFile.h"

#include <cstring>
#include <string>

#include "ui/FileUtil.h"

namespace {

// Longest line an INI lookup keeps; the rest of a longer line is dropped, never read as a new line.
constexpr size_t kLineChars = 1039;

const WCHAR kFallbackTempPath[] = u"\\{80060BB4-2E1E-47bb-BF13-3C2075ECAAE2}.INI";

// One little-endian UTF-16 line without its LF; false at the end of the file. An odd last byte
// (a cut file) ends the file.
bool ReadLineW(FILE* file, WCHAR* line, size_t& length) {
    length = 0;
    bool any = false;
    for (;;) {
        int lo = getc(file);
        if (lo == EOF) break;
        int hi = getc(file);
        if (hi == EOF) break;
        any = true;
        WCHAR c = static_cast<WCHAR>(lo | (hi << 8));
        if (c == u'\n') break;
        if (length < kLineChars) line[length++] = c;
    }
    line[length] = 0;
    return any;
}

bool ReadLineA(FILE* file, char* line, size_t& length) {
    length = 0;
    bool any = false;
    for (;;) {
        int c = getc(file);
        if (c == EOF) break;
        any = true;
        if (c == '\n') break;
        if (length < kLineChars) line[length++] = static_cast<char>(c);
    }
    line[length] = 0;
    return any;
}

// Lower-case UTF-16 reading of single bytes of an 8-bit file, converted once per byte value.
class ByteFolder {
public:
    explicit ByteFolder(UINT codePage) : m_codePage(codePage), m_table{}, m_done{} {}

    WCHAR Fold(char c) {
        unsigned char b = QrxToLowerA(static_cast<unsigned char>(c), m_codePage);
        if (b < 0x80) return static_cast<WCHAR>(b);
        if (!m_done[b]) {
            WCHAR w = 0;
            char in = static_cast<char>(b);
            if (MultiByteToWideChar(m_codePage, 0, &in, 1, &w, 1) != 1) w = 0xFFFF;
            m_table[b] = QrxToLowerW(w);
            m_done[b] = true;
        }
        return m_table[b];
    }

    bool Equal(char c, WCHAR w) {
        if (w == 0) return false;
        return Fold(c) == QrxToLowerW(w);
    }

private:
    UINT m_codePage;
    WCHAR m_table[256];
    bool m_done[256];
};

template <class Char>
Char* FindChar(Char* text, Char c) {
    for (; *text; ++text)
        if (*text == c) return text;
    return nullptr;
}

template <class Char>
size_t Length(const Char* text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

WCHAR* TrimLeft(WCHAR* text) { return TrimLeftW(text); }
char* TrimLeft(char* text) { return TrimLeftA(text); }
void TrimRight(WCHAR* text, BOOL blanks) { TrimRightW(text, blanks); }
void TrimRight(char* text, BOOL blanks) { TrimRightA(text, blanks); }

// The value of key in one line (leading blanks already gone), or null when the line is not the key.
template <class Char, class Equal>
Char* MatchKey(Char* text, const WCHAR* key, size_t keyLength, BOOL comments, Equal equal) {
    Char* assign = FindChar(text, static_cast<Char>('='));
    if (!assign) return nullptr;
    if (comments) {
        Char* semicolon = FindChar(text, static_cast<Char>(';'));
        if (semicolon) {
            if (semicolon < assign) return nullptr;
            *semicolon = 0;
        }
    }
    if (Length(text) <= keyLength) return nullptr;
    Char* separator = text + keyLength;
    if (*separator == ' ') ++separator;
    if (*separator != '=') return nullptr;
    for (size_t i = 0; i < keyLength; ++i)
        if (!equal(text[i], key[i])) return nullptr;
    Char* value = separator + 1;
    if (comments) value = TrimLeft(value);
    TrimRight(value, comments);
    return value;
}

void SetOut(WCHAR* out, size_t outSize, const WCHAR* text) {
    if (out && outSize) QrxStrCopy(out, outSize, text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CRawFile

CRawFile::CRawFile() : m_hFile(INVALID_HANDLE_VALUE), m_szPath{} {}

CRawFile::~CRawFile() { Close(); }

BOOL CRawFile::Open(const WCHAR* path, UINT mode) {
    // Reopening must not leak the handle already held.
    Close();
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    QrxStrCopy(m_szPath, MAX_PATH, path);

    DWORD access = 0;
    switch (mode & 3) {
        case 0: access = GENERIC_READ; break;
        case 1: access = GENERIC_WRITE; break;
        case 2: access = GENERIC_READ | GENERIC_WRITE; break;
        default: break;
    }
    DWORD share = 0;
    switch (mode & 0x70) {
        case 0x20: share = FILE_SHARE_READ; break;
        case 0x30: share = FILE_SHARE_WRITE; break;
        case 0x40: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
        default: break;
    }
    DWORD disposition = OPEN_EXISTING;
    if (mode & 0x1000) disposition = (mode & 0x2000) ? OPEN_ALWAYS : CREATE_ALWAYS;

    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.bInheritHandle = (mode & 0x80) ? FALSE : TRUE;

    // A cut name would open some other file.
    if (wcsnlen(path, MAX_PATH) >= MAX_PATH)
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    else
        m_hFile = CreateFileW(m_szPath, access, share, &sa, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        WCHAR line[MAX_PATH + 64];
        swprintf(line, MAX_PATH + 64, u"File OpenError : %s,%d\r\n", m_szPath, static_cast<int>(error));
        OutputDebugStringW(line);
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

void CRawFile::Close() {
    if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    m_szPath[0] = 0;
}

DWORD CRawFile::Read(void* buffer, DWORD count) {
    if (count == 0) return 0;
    if (!buffer) return 0xFFFFFFFFu;
    DWORD done = 0;
    if (!ReadFile(m_hFile, buffer, count, &done, nullptr)) return 0xFFFFFFFFu;
    return done;
}

DWORD CRawFile::Write(const void* buffer, DWORD count) {
    if (count == 0 || !buffer) return 0;
    DWORD done = 0;
    if (!WriteFile(m_hFile, buffer, count, &done, nullptr) || done != count) return 0;
    return count;
}

DWORD CRawFile::GetLength() const {
    if (m_hFile == INVALID_HANDLE_VALUE) return 0;
    DWORD size = GetFileSize(m_hFile, nullptr);
    // A failed query must not pass for a 4 GB file to callers that size buffers by it.
    return size == INVALID_FILE_SIZE ? 0 : size;
}

DWORD CRawFile::Seek(LONG offset, UINT origin) { return SetFilePointer(m_hFile, offset, nullptr, origin); }

BOOL CRawFile::Remove(const WCHAR* path) { return DeleteFileW(path); }

// ---------------------------------------------------------------------------------------------
// CIniFile

CIniFile::CIniFile()
    : m_pReader(nullptr), m_pWriter(nullptr), m_szPath{}, m_szTempPath{}, m_lastSection(0), m_codePage(-1) {}

CIniFile::~CIniFile() { Close(FALSE); }

BOOL CIniFile::SetCodePage(int codePage) {
    m_codePage = codePage;
    return TRUE;
}

int CIniFile::Open(WCHAR* path, BOOL write) {
    Close(FALSE);
    if (!path || path[0] == 0) {
        WCHAR name[MAX_PATH + 1] = {};
        DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
        if (length < 3 || length >= MAX_PATH) return -1;
        name[length] = 0;
        QrxStrCopy(name + length - 3, 4, u"ini");
        QrxStrCopy(m_szPath, MAX_PATH, name);
        if (path) QrxStrCopy(path, MAX_PATH, m_szPath);
    } else if (!ResolvePath(m_szPath, path)) {
        return -1;
    }

    m_pReader = _wfopen(m_szPath, u"rb");
    if (!m_pReader && write) m_pReader = _wfopen(m_szPath, u"a+b");
    if (!m_pReader) {
        Close(FALSE);
        return -1;
    }

    if (write) {
        if (QrxStrCopy(m_szTempPath, MAX_PATH, m_szPath) + 4 < MAX_PATH) {
            QrxStrAppend(m_szTempPath, MAX_PATH, u".tmp");
            m_pWriter = _wfopen(m_szTempPath, u"w");
        }
        if (!m_pWriter) {
            QrxStrCopy(m_szTempPath, MAX_PATH, kFallbackTempPath);
            m_pWriter = _wfopen(m_szTempPath, u"w");
        }
        if (!m_pWriter) {
            m_szTempPath[0] = 0;
            Close(FALSE);
            return -1;
        }
    }

    m_lastSection = 0;
    fseek(m_pReader, 0, SEEK_SET);
    return 0;
}

void CIniFile::Close(BOOL commit) {
    if (m_pReader) fclose(m_pReader);
    if (m_pWriter) fclose(m_pWriter);
    m_pReader = nullptr;
    m_pWriter = nullptr;
    if (m_szTempPath[0]) {
        if (commit && m_szPath[0]) CopyFileW(m_szTempPath, m_szPath, FALSE);
        DeleteFileW(m_szTempPath);
    }
    m_szPath[0] = 0;
    m_szTempPath[0] = 0;
    m_lastSection = 0;
}

int CIniFile::GetStringW(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize, BOOL fromLast,
                         BOOL comments) {
    SetOut(out, outSize, u"");
    if (!m_pReader || !section || !key) return -1;

    std::u16string pattern = u"[";
    pattern += section;
    pattern += u"]";
    // Behind the byte-order mark even when no section was found yet.
    LONG start = (fromLast && m_lastSection > 2) ? m_lastSection : 2;
    if (fseek(m_pReader, start, SEEK_SET) != 0) return -1;

    WCHAR line[kLineChars + 1];
    size_t length = 0;
    for (;;) {
        long position = ftell(m_pReader);
        if (position < 0 || position > 0x7FFFFFFF) return -1;
        if (!ReadLineW(m_pReader, line, length)) return -1;
        if (length >= pattern.size() && std::memcmp(line, pattern.data(), pattern.size() * sizeof(WCHAR)) == 0) {
            m_lastSection = static_cast<LONG>(position);
            break;
        }
    }

    size_t keyLength = wcslen(key);
    auto exact = [](WCHAR a, WCHAR b) { return a == b; };
    while (ReadLineW(m_pReader, line, length)) {
        WCHAR* text = TrimLeftW(line);
        if (text[0] == u'[') return -1;
        WCHAR* value = MatchKey(text, key, keyLength, comments, exact);
        if (value) {
            SetOut(out, outSize, value);
            return 0;
        }
    }
    return -1;
}

int CIniFile::GetStringA(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize, BOOL fromLast,
                         BOOL comments) {
    SetOut(out, outSize, u"");
    if (!m_pReader || !section || !key) return -1;
    if (m_codePage == -1) m_codePage = static_cast<int>(GetLocaleCodePage(0));
    ByteFolder folder(static_cast<UINT>(m_codePage));
    auto folded = [&folder](char a, WCHAR b) { return folder.Equal(a, b); };

    std::u16string pattern = u"[";
    pattern += section;
    pattern += u"]";
    LONG start = fromLast ? m_lastSection : 0;
    if (fseek(m_pReader, start, SEEK_SET) != 0) return -1;

    char line[kLineChars + 1];
    size_t length = 0;
    for (;;) {
        long position = ftell(m_pReader);
        if (position < 0 || position > 0x7FFFFFFF) return -1;
        if (!ReadLineA(m_pReader, line, length)) return -1;
        if (length < pattern.size()) continue;
        size_t i = 0;
        while (i < pattern.size() && folded(line[i], pattern[i])) ++i;
        if (i == pattern.size()) {
            m_lastSection = static_cast<LONG>(position);
            break;
        }
    }

    size_t keyLength = wcslen(key);
    while (ReadLineA(m_pReader, line, length)) {
        char* text = TrimLeftA(line);
        if (text[0] == '[') return -1;
        char* value = MatchKey(text, key, keyLength, comments, folded);
        if (!value) continue;
        int bytes = static_cast<int>(std::strlen(value));
        if (bytes == 0) return 0;
        WCHAR wide[kLineChars + 1];
        int chars = MultiByteToWideChar(static_cast<UINT>(m_codePage), 0, value, bytes, wide, static_cast<int>(kLineChars));
        if (chars <= 0) return -1;
        wide[chars] = 0;
        SetOut(out, outSize, wide);
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Registry readers

BOOL RegReadString(HKEY root, const WCHAR* subKey, const WCHAR* valueName, WCHAR* out, size_t outSize) {
    if (!out || outSize == 0) return FALSE;
    out[0] = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    // The stored value may lack its terminator: one spare character keeps it terminated.
    WCHAR value[MAX_PATH + 1] = {};
    DWORD type = REG_NONE;
    DWORD bytes = MAX_PATH * sizeof(WCHAR);
    LONG result = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return FALSE;
    value[bytes / sizeof(WCHAR) < MAX_PATH ? bytes / sizeof(WCHAR) : MAX_PATH] = 0;
    QrxStrCopy(out, outSize, value);
    return TRUE;
}

BOOL RegReadValue(HKEY root, const WCHAR* subKey, const WCHAR* valueName, void* buffer, DWORD* size) {
    if (!size) return FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    DWORD needed = 0;
    LONG result = RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &needed);
    if (result != ERROR_SUCCESS || needed == 0) {
        RegCloseKey(key);
        return FALSE;
    }
    if (!buffer) {
        RegCloseKey(key);
        *size = needed;
        return TRUE;
    }
    if (*size < needed) {
        RegCloseKey(key);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD got = *size;
    result = RegQueryValueExW(key, valueName, nullptr, nullptr, static_cast<BYTE*>(buffer), &got);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return FALSE;
    *size = got;
    return TRUE;
}
