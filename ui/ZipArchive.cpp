// The image archive: minizip over the program's own archive stream, the item layer, the archive
// object, the public handle functions and the image archive holder.
#include <ui/IniFile.h>
#include <ui/ZipReader.h>
#include <unzip.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr DWORD kExtractBufferSize = 16384;
constexpr DWORD kAttrMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE;
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;

// Advisory only: readers on other threads may see an older value.
std::atomic<DWORD> g_lastResult{ZR_OK};

DWORD SetResult(DWORD result) {
    g_lastResult.store(result, std::memory_order_relaxed);
    return result;
}

bool IsSep(WCHAR c) { return c == u'\\' || c == u'/'; }

bool IsAbsolute(const WCHAR* path) { return IsSep(path[0]) || (path[0] != 0 && path[1] == u':'); }

bool HandlePosition(HANDLE h, ULONGLONG* position) {
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(h, 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    *position = (ULONGLONG(DWORD(high)) << 32) | low;
    return true;
}

// ---- minizip's view of the stream ----

voidpf ZCALLBACK StreamOpen(voidpf, const void* source, int) { return const_cast<void*>(source); }

uLong ZCALLBACK StreamRead(voidpf, voidpf stream, void* buffer, uLong size) {
    DWORD count = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(size);
    return ArchiveStreamRead(buffer, 1, count, static_cast<ArchiveStream*>(stream));
}

uLong ZCALLBACK StreamWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK StreamTell(voidpf, voidpf stream) { return ArchiveStreamTell(static_cast<ArchiveStream*>(stream)); }

long ZCALLBACK StreamSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    if (offset > ZPOS64_T(LLONG_MAX)) return -1;
    return ArchiveStreamSeek(static_cast<ArchiveStream*>(stream), LONGLONG(offset), origin) == 0 ? 0 : -1;
}

// The reader closes its stream itself after unzClose, whether or not minizip opened it fully.
int ZCALLBACK StreamClose(voidpf, voidpf) { return 0; }

int ZCALLBACK StreamError(voidpf, voidpf stream) {
    auto* s = static_cast<ArchiveStream*>(stream);
    return s != nullptr && (s->error || s->lastReadShort) ? 1 : 0;
}

// ---- item layer ----

DWORD ReadLe32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

FILETIME ToFileTime(ULONGLONG value) {
    FILETIME ft;
    ft.dwLowDateTime = DWORD(value);
    ft.dwHighDateTime = DWORD(value >> 32);
    return ft;
}

FILETIME DosToFileTime(DWORD dos) {
    WORD date = HIWORD(dos);
    WORD time = LOWORD(dos);
    SYSTEMTIME st{};
    st.wYear = WORD(1980 + (date >> 9));
    st.wMonth = WORD((date >> 5) & 0x0F);
    st.wDay = WORD(date & 0x1F);
    st.wHour = WORD(time >> 11);
    st.wMinute = WORD((time >> 5) & 0x3F);
    st.wSecond = WORD((time & 0x1F) * 2);
    FILETIME local{}, utc{};
    if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc)) return FILETIME{};
    return utc;
}

// Walks the extra field's blocks for "UT"; a block claiming more bytes than remain ends the walk.
void ApplyUnixTimes(const std::vector<BYTE>& extra, ZipItemInfo* info) {
    size_t length = extra.size();
    if (length < 5) return;
    size_t pos = 0;
    while (length - pos >= 4) {
        const BYTE* block = extra.data() + pos;
        WORD id = WORD(block[0] | block[1] << 8);
        size_t blockLength = size_t(block[2] | block[3] << 8);
        size_t data = pos + 4;
        if (blockLength > length - data) return;
        if (id == 0x5455 && blockLength >= 1) {
            BYTE flags = extra[data];
            FILETIME* slots[3] = {&info->mtime, &info->atime, &info->ctime};
            size_t offset = 1;
            for (int bit = 0; bit < 3; ++bit) {
                if (!(flags & (1 << bit))) continue;
                if (blockLength - offset < 4) return;
                ULONGLONG seconds = ReadLe32(extra.data() + data + offset);
                *slots[bit] = ToFileTime(seconds * 10000000ULL + kUnixEpochAsFileTime);
                offset += 4;
            }
            return;
        }
        pos = data + blockLength;
    }
}

DWORD ItemAttributes(const unz_file_info64& fi) {
    DWORD host = DWORD((fi.version >> 8) & 0xFF);
    DWORD external = DWORD(fi.external_fa);
    if (host == 0 || host == 7 || host == 11 || host == 14) return external & kAttrMask;
    DWORD attr = FILE_ATTRIBUTE_ARCHIVE;
    if (external & 0x40000000u) attr |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(external & 0x00800000u)) attr |= FILE_ATTRIBUTE_READONLY;
    return attr;
}

// out: MAX_PATH characters; length < MAX_PATH bytes.
void NameToWide(const char* name, size_t length, WCHAR* out) {
    int n = 0;
    if (length > 0) n = MultiByteToWideChar(CP_ACP, 0, name, int(length), out, MAX_PATH - 1);
    if (n <= 0) {
        // A name the code page rejects still gets a stable, bounded spelling.
        for (n = 0; size_t(n) < length; ++n) out[n] = WCHAR(BYTE(name[n]));
    }
    out[n] = 0;
}

// Reads the current member's name; false when it is unreadable or longer than a record holds.
bool CurrentName(void* uf, unz_file_info64* fi, WCHAR* out) {
    char raw[MAX_PATH + 1];
    if (unzGetCurrentFileInfo64(uf, fi, raw, sizeof raw, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    if (fi->size_filename >= MAX_PATH) return false;
    raw[fi->size_filename] = 0;
    NameToWide(raw, strnlen(raw, fi->size_filename), out);
    return true;
}

// ---- traditional zip encryption: only the header check, so a wrong password is told apart ----

constexpr std::array<DWORD, 256> MakeCrcTable() {
    std::array<DWORD, 256> table{};
    for (DWORD i = 0; i < 256; ++i) {
        DWORD c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<DWORD, 256> kCrcTable = MakeCrcTable();

class ZipCryptoKeys {
public:
    explicit ZipCryptoKeys(const std::string& password) {
        for (char c : password) Update(BYTE(c));
    }
    BYTE Decrypt(BYTE c) {
        DWORD t = (m_k[2] | 2) & 0xFFFF;
        BYTE plain = BYTE(c ^ BYTE((t * (t ^ 1)) >> 8));
        Update(plain);
        return plain;
    }

private:
    static DWORD Crc(DWORD crc, BYTE b) { return kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8); }
    void Update(BYTE c) {
        m_k[0] = Crc(m_k[0], c);
        m_k[1] = (m_k[1] + (m_k[0] & 0xFF)) * 134775813u + 1;
        m_k[2] = Crc(m_k[2], BYTE(m_k[1] >> 24));
    }
    DWORD m_k[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// Where the text behind the last ".." component starts, or nullptr when there is none.
const WCHAR* AfterLastParent(const WCHAR* p) {
    const WCHAR* after = nullptr;
    while (*p) {
        const WCHAR* end = p;
        while (*end && !IsSep(*end)) ++end;
        if (end - p == 2 && p[0] == u'.' && p[1] == u'.') after = *end ? end + 1 : end;
        p = *end ? end + 1 : end;
    }
    return after;
}

// Creates every missing level of a full folder path; true when the whole path is a folder.
bool MakeFolders(const WCHAR* full) {
    size_t length = wcsnlen(full, MAX_PATH);
    if (length >= MAX_PATH) return false;
    WCHAR path[MAX_PATH];
    memcpy(path, full, (length + 1) * sizeof(WCHAR));
    while (length > 0 && IsSep(path[length - 1])) path[--length] = 0;
    for (size_t i = 1; i <= length; ++i) {
        if (i < length && !IsSep(path[i])) continue;
        if (IsSep(path[i - 1])) continue;
        if (i == 2 && path[1] == u':') continue;
        WCHAR saved = path[i];
        path[i] = 0;
        DWORD attr = GetFileAttributesW(path);
        if (attr == INVALID_FILE_ATTRIBUTES) {
            CreateDirectoryW(path, nullptr);
            attr = GetFileAttributesW(path);
        }
        path[i] = saved;
        if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY)) return false;
    }
    return true;
}

// Joins a and b with one separator between them; false when the result does not fit MAX_PATH.
bool JoinPath(WCHAR* out, const WCHAR* a, const WCHAR* b) {
    size_t la = wcsnlen(a, MAX_PATH);
    size_t lb = wcsnlen(b, MAX_PATH);
    bool sep = la > 0 && lb > 0 && !IsSep(a[la - 1]) && !IsSep(b[0]);
    if (la + lb + (sep ? 1 : 0) >= MAX_PATH) return false;
    memcpy(out, a, la * sizeof(WCHAR));
    if (sep) out[la++] = u'\\';
    memcpy(out + la, b, lb * sizeof(WCHAR));
    out[la + lb] = 0;
    return true;
}

}  // namespace

// ---- archive stream ----

ArchiveStream* ArchiveStreamOpen(const void* source, DWORD size, int kind, DWORD* result) {
    DWORD ignored = ZR_OK;
    if (result == nullptr) result = &ignored;
    *result = ZR_OK;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool owned = false;
    switch (kind) {
        case ZIP_HANDLE:
            file = const_cast<HANDLE>(source);
            if (file == nullptr || file == INVALID_HANDLE_VALUE) {
                *result = ZR_ARGS;
                return nullptr;
            }
            break;
        case ZIP_FILENAME:
            if (source == nullptr) {
                *result = ZR_ARGS;
                return nullptr;
            }
            file = CreateFileW(static_cast<const WCHAR*>(source), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                *result = ZR_NOFILE;
                return nullptr;
            }
            owned = true;
            break;
        case ZIP_MEMORY:
            if (source == nullptr && size != 0) {
                *result = ZR_ARGS;
                return nullptr;
            }
            break;
        default:
            *result = ZR_ARGS;
            return nullptr;
    }
    auto* s = new (std::nothrow) ArchiveStream{};
    if (s == nullptr) {
        if (owned) CloseHandle(file);
        *result = ZR_READ;
        return nullptr;
    }
    if (kind == ZIP_MEMORY) {
        s->kind = ZIP_MEMORY;
        s->canSeek = true;
        s->hFile = INVALID_HANDLE_VALUE;
        s->block = static_cast<const BYTE*>(source);
        s->blockSize = size;
    } else {
        s->kind = ZIP_HANDLE;
        s->hFile = file;
        s->owned = owned;
        s->canSeek = HandlePosition(file, &s->base);
        if (!s->canSeek) s->base = 0;
    }
    return s;
}

DWORD ArchiveStreamRead(void* buffer, DWORD itemSize, DWORD count, ArchiveStream* stream) {
    if (stream == nullptr || buffer == nullptr || itemSize == 0 || count == 0) return 0;
    ULONGLONG wanted = ULONGLONG(itemSize) * count;
    if (wanted > 0xFFFFFFFFu) {
        stream->error = true;
        stream->lastReadShort = true;
        return 0;
    }
    DWORD bytes = 0;
    if (stream->kind == ZIP_MEMORY) {
        DWORD available = stream->position < stream->blockSize ? stream->blockSize - stream->position : 0;
        bytes = wanted < available ? DWORD(wanted) : available;
        if (bytes > 0) memcpy(buffer, stream->block + stream->position, bytes);
        stream->position += bytes;
    } else {
        if (!ReadFile(stream->hFile, buffer, DWORD(wanted), &bytes, nullptr)) {
            stream->error = true;
            bytes = 0;
        }
        if (bytes > wanted) bytes = DWORD(wanted);
    }
    stream->lastReadShort = bytes < wanted;
    return bytes / itemSize;
}

int ArchiveStreamSeek(ArchiveStream* stream, LONGLONG offset, int origin) {
    if (stream == nullptr) return -1;
    if (origin < 0 || origin > 2) return 19;
    if (stream->kind == ZIP_MEMORY) {
        LONGLONG from = origin == 0 ? 0 : origin == 1 ? LONGLONG(stream->position) : LONGLONG(stream->blockSize);
        LONGLONG target = 0;
        // Never let a position outside the block stand: later reads would start there.
        if (__builtin_add_overflow(from, offset, &target) || target < 0 || target > LONGLONG(stream->blockSize)) {
            return -1;
        }
        stream->position = DWORD(target);
        return 0;
    }
    if (!stream->canSeek) return 29;
    LONGLONG distance = offset;
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    if (origin == 0 && (__builtin_add_overflow(LONGLONG(stream->base), offset, &distance) || distance < 0)) return -1;
    LONG high = LONG(distance >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(stream->hFile, LONG(DWORD(distance)), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
    return 0;
}

ULONGLONG ArchiveStreamTell(ArchiveStream* stream) {
    if (stream == nullptr) return 0;
    if (stream->kind == ZIP_MEMORY) return stream->position;
    if (!stream->canSeek) return 0;
    ULONGLONG position = 0;
    if (!HandlePosition(stream->hFile, &position)) {
        stream->error = true;
        return 0;
    }
    return position >= stream->base ? position - stream->base : 0;
}

int ArchiveStreamClose(ArchiveStream* stream) {
    if (stream == nullptr) return -1;
    if (stream->owned && stream->hFile != INVALID_HANDLE_VALUE) CloseHandle(stream->hFile);
    delete stream;
    return 0;
}

// ---- name cleaning ----

const WCHAR* CleanZipName(const WCHAR* name) {
    if (name == nullptr) return u"";
    const WCHAR* p = name;
    for (;;) {
        if (p[0] != 0 && p[1] == u':') {
            p += 2;
            continue;
        }
        if (IsSep(p[0])) {
            ++p;
            continue;
        }
        // Dropping through the last ".." can expose a new drive or root, hence the loop.
        const WCHAR* after = AfterLastParent(p);
        if (after == nullptr) return p;
        p = after;
    }
}

// ---- archive object ----

CZipReader::CZipReader(const char* password)
    : m_uf(nullptr),
      m_stream(nullptr),
      m_count(0),
      m_dirIndex(-1),
      m_openIndex(-1),
      m_cacheIndex(-1),
      m_cache{},
      m_password(password != nullptr ? password : ""),
      m_hasPassword(password != nullptr),
      m_szBase{} {}

CZipReader::~CZipReader() { Close(); }

DWORD CZipReader::Open(const void* source, DWORD size, int kind) {
    if (m_uf != nullptr) return ZR_INUSE;
    QrxStrCopy(m_szBase, MAX_PATH, u"\\");
    if (kind == ZIP_HANDLE) {
        HANDLE h = const_cast<HANDLE>(source);
        if (h == nullptr || h == INVALID_HANDLE_VALUE) return ZR_ARGS;
        ULONGLONG position = 0;
        if (!HandlePosition(h, &position)) return ZR_SEEK;
    }
    DWORD result = ZR_OK;
    ArchiveStream* stream = ArchiveStreamOpen(source, size, kind, &result);
    if (stream == nullptr) return result;
    zlib_filefunc64_def functions{};
    functions.zopen64_file = StreamOpen;
    functions.zread_file = StreamRead;
    functions.zwrite_file = StreamWrite;
    functions.ztell64_file = StreamTell;
    functions.zseek64_file = StreamSeek;
    functions.zclose_file = StreamClose;
    functions.zerror_file = StreamError;
    functions.opaque = nullptr;
    unzFile uf = unzOpen2_64(stream, &functions);
    unz_global_info64 global{};
    if (uf != nullptr && unzGetGlobalInfo64(uf, &global) != UNZ_OK) {
        unzClose(uf);
        uf = nullptr;
    }
    if (uf == nullptr) {
        ArchiveStreamClose(stream);
        return ZR_NOFILE;
    }
    m_uf = uf;
    m_stream = stream;
    m_count = global.number_entry > ZPOS64_T(INT_MAX) ? INT_MAX : LONGLONG(global.number_entry);
    m_dirIndex = -1;
    m_openIndex = -1;
    m_cacheIndex = -1;
    return ZR_OK;
}

void CZipReader::Close() {
    if (m_uf != nullptr) {
        CloseMember();
        unzClose(m_uf);
        m_uf = nullptr;
    }
    if (m_stream != nullptr) {
        ArchiveStreamClose(m_stream);
        m_stream = nullptr;
    }
    m_count = 0;
    m_dirIndex = -1;
    m_openIndex = -1;
    m_cacheIndex = -1;
}

DWORD CZipReader::GoTo(int index) {
    if (m_dirIndex < 0 || index < m_dirIndex) {
        if (unzGoToFirstFile(m_uf) != UNZ_OK) {
            m_dirIndex = -1;
            return ZR_CORRUPT;
        }
        m_dirIndex = 0;
    }
    while (m_dirIndex < index) {
        if (unzGoToNextFile(m_uf) != UNZ_OK) {
            m_dirIndex = -1;
            return ZR_CORRUPT;
        }
        ++m_dirIndex;
    }
    return ZR_OK;
}

DWORD CZipReader::CloseMember() {
    if (m_openIndex < 0) return ZR_OK;
    m_openIndex = -1;
    // Reports a checksum mismatch once the whole member was read.
    return unzCloseCurrentFile(m_uf) == UNZ_OK ? ZR_OK : ZR_FLATE;
}

DWORD CZipReader::GetItem(int index, ZipItemInfo* item) {
    if (item == nullptr || m_uf == nullptr) return ZR_ARGS;
    if (index < -1 || index >= m_count) return ZR_ARGS;
    CloseMember();
    if (index == -1) {
        *item = ZipItemInfo{};
        item->index = int(m_count);
        return ZR_OK;
    }
    if (index == m_cacheIndex) {
        *item = m_cache;
        return ZR_OK;
    }
    DWORD result = GoTo(index);
    if (result != ZR_OK) return result;
    unz_file_info64 fi{};
    WCHAR name[MAX_PATH];
    if (!CurrentName(m_uf, &fi, name)) return ZR_CORRUPT;
    if (fi.compressed_size > ZPOS64_T(INT_MAX) || fi.uncompressed_size > ZPOS64_T(INT_MAX)) return ZR_CORRUPT;

    // The local header's extra field carries all three Unix times; the central one only one.
    int method = 0, level = 0;
    if (unzOpenCurrentFile3(m_uf, &method, &level, 1, nullptr) != UNZ_OK) return ZR_CORRUPT;
    std::vector<BYTE> extra;
    int extraSize = unzGetLocalExtrafield(m_uf, nullptr, 0);
    if (extraSize < 0) {
        result = ZR_CORRUPT;
    } else if (extraSize > 0) {
        extra.resize(size_t(extraSize));
        if (unzGetLocalExtrafield(m_uf, extra.data(), unsigned(extraSize)) != extraSize) result = ZR_READ;
    }
    unzCloseCurrentFile(m_uf);
    if (result != ZR_OK) return result;

    ZipItemInfo info{};
    info.index = index;
    const WCHAR* clean = CleanZipName(name);
    QrxStrCopy(info.name, MAX_PATH, clean);
    info.nameCleaned = clean != name ? TRUE : FALSE;
    info.attr = ItemAttributes(fi);
    info.mtime = DosToFileTime(DWORD(fi.dosDate));
    info.atime = info.mtime;
    info.ctime = info.mtime;
    info.comp_size = LONG(fi.compressed_size);
    info.unc_size = LONG(fi.uncompressed_size);
    ApplyUnixTimes(extra, &info);
    m_cache = info;
    m_cacheIndex = index;
    *item = info;
    return ZR_OK;
}

DWORD CZipReader::Find(const WCHAR* name, bool ignoreCase, int* index, ZipItemInfo* item) {
    int ignoredIndex = -1;
    ZipItemInfo ignoredItem{};
    if (index == nullptr) index = &ignoredIndex;
    if (item == nullptr) item = &ignoredItem;
    *index = -1;
    *item = ZipItemInfo{};
    item->index = -1;
    if (m_uf == nullptr || name == nullptr) return ZR_ARGS;
    CloseMember();
    int found = -1;
    if (wcsnlen(name, MAX_PATH) < MAX_PATH) {
        for (int i = 0; i < m_count; ++i) {
            if (GoTo(i) != ZR_OK) break;
            unz_file_info64 fi{};
            WCHAR member[MAX_PATH];
            if (!CurrentName(m_uf, &fi, member)) continue;
            if ((ignoreCase ? _wcsicmp(member, name) : wcscmp(member, name)) == 0) {
                found = i;
                break;
            }
        }
    }
    if (found < 0) return ZR_NOTFOUND;
    DWORD result = GetItem(found, item);
    if (result != ZR_OK) {
        *item = ZipItemInfo{};
        item->index = -1;
        return result;
    }
    *index = found;
    return ZR_OK;
}

DWORD CZipReader::CheckPassword(ULONGLONG flag, DWORD crc, DWORD dosDate) {
    if (!m_hasPassword) return ZR_PASSWORD;
    int method = 0, level = 0;
    if (unzOpenCurrentFile3(m_uf, &method, &level, 1, nullptr) != UNZ_OK) return ZR_FLATE;
    BYTE header[12];
    int got = unzReadCurrentFile(m_uf, header, sizeof header);
    unzCloseCurrentFile(m_uf);
    if (got != int(sizeof header)) return ZR_FLATE;
    ZipCryptoKeys keys(m_password);
    BYTE check = 0;
    for (BYTE b : header) check = keys.Decrypt(b);
    // Writers that stream the member check against the time instead of the not yet known checksum.
    bool match = check == BYTE(crc >> 24) || ((flag & 8) != 0 && check == BYTE(dosDate >> 8));
    return match ? ZR_OK : ZR_PASSWORD;
}

DWORD CZipReader::OpenMember(int index) {
    CloseMember();
    if (index < 0 || index >= m_count) return ZR_ARGS;
    DWORD result = GoTo(index);
    if (result != ZR_OK) return result;
    unz_file_info64 fi{};
    if (unzGetCurrentFileInfo64(m_uf, &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return ZR_CORRUPT;
    int rc;
    if (fi.flag & 1) {
        result = CheckPassword(fi.flag, DWORD(fi.crc), DWORD(fi.dosDate));
        if (result != ZR_OK) return result;
        rc = unzOpenCurrentFilePassword(m_uf, m_password.c_str());
    } else {
        rc = unzOpenCurrentFile(m_uf);
    }
    if (rc != UNZ_OK) return ZR_FLATE;
    m_openIndex = index;
    return ZR_OK;
}

DWORD CZipReader::UnzipToMemory(int index, BYTE* target, DWORD length) {
    if (target == nullptr) return ZR_ARGS;
    if (index < 0 || index != m_openIndex) {
        DWORD result = OpenMember(index);
        if (result != ZR_OK) return result;
    }
    if (length == 0) {
        // Nothing fits, so an unfinished member stays open for the next call.
        if (unzeof(m_uf) == 1) return CloseMember();
        return ZR_MORE;
    }
    unsigned wanted = length > unsigned(INT_MAX) ? unsigned(INT_MAX) : unsigned(length);
    int n = unzReadCurrentFile(m_uf, target, wanted);
    if (n < 0) {
        CloseMember();
        return ZR_FLATE;
    }
    if (unzeof(m_uf) == 1) return CloseMember();
    if (unsigned(n) < wanted) {
        // The compressed data ended before the member did.
        CloseMember();
        return ZR_FLATE;
    }
    return ZR_MORE;
}

DWORD CZipReader::UnzipToFile(int index, void* target, DWORD mode) {
    CloseMember();
    if (index < 0 || index >= m_count) return ZR_ARGS;
    if (target == nullptr || (mode == 1 && target == INVALID_HANDLE_VALUE)) return ZR_ARGS;
    ZipItemInfo item{};
    DWORD result = GetItem(index, &item);
    if (result != ZR_OK) return result;

    HANDLE file = INVALID_HANDLE_VALUE;
    WCHAR path[MAX_PATH] = {};
    if (mode == 1) {
        if (item.attr & FILE_ATTRIBUTE_DIRECTORY) return ZR_OK;
        file = static_cast<HANDLE>(target);
    } else {
        const WCHAR* name = static_cast<const WCHAR*>(target);
        if (wcsnlen(name, MAX_PATH) >= MAX_PATH) return ZR_ARGS;
        bool absolute = IsAbsolute(name);
        // A relative target never leaves the base folder, whatever the member name said.
        const WCHAR* relative = absolute ? name : CleanZipName(name);
        const WCHAR* base = absolute ? u"" : m_szBase;
        if (item.attr & FILE_ATTRIBUTE_DIRECTORY) {
            WCHAR folder[MAX_PATH];
            if (!JoinPath(folder, base, relative) || !MakeFolders(folder)) return ZR_NOFILE;
            return ZR_OK;
        }
        size_t split = wcsnlen(relative, MAX_PATH);
        while (split > 0 && !IsSep(relative[split - 1])) --split;
        if (relative[split] == 0) return ZR_NOFILE;
        WCHAR folder[MAX_PATH];
        memcpy(folder, relative, split * sizeof(WCHAR));
        folder[split] = 0;
        WCHAR fullFolder[MAX_PATH];
        if (!JoinPath(fullFolder, base, folder) || !JoinPath(path, fullFolder, relative + split)) return ZR_NOFILE;
        if (!MakeFolders(fullFolder)) return ZR_NOFILE;
        DWORD attributes = item.attr & (kAttrMask & ~DWORD(FILE_ATTRIBUTE_DIRECTORY));
        file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return ZR_NOFILE;
    }

    result = OpenMember(index);
    if (result == ZR_OK && !m_buffer) {
        m_buffer.reset(new (std::nothrow) BYTE[kExtractBufferSize]);
        if (!m_buffer) result = ZR_FLATE;
    }
    while (result == ZR_OK) {
        int n = unzReadCurrentFile(m_uf, m_buffer.get(), kExtractBufferSize);
        if (n < 0) {
            result = ZR_FLATE;
            break;
        }
        if (n == 0) {
            if (unzeof(m_uf) != 1) result = ZR_FLATE;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, m_buffer.get(), DWORD(n), &written, nullptr) || written != DWORD(n)) result = ZR_WRITE;
    }
    DWORD closed = CloseMember();
    if (result == ZR_OK) result = closed;
    if (result == ZR_OK) {
        auto set = [](const FILETIME& t) { return t.dwLowDateTime != 0 || t.dwHighDateTime != 0 ? &t : nullptr; };
        SetFileTime(file, set(item.ctime), set(item.atime), set(item.mtime));
    }
    if (mode == 2) {
        CloseHandle(file);
        // A half-written file must not pass for the member.
        if (result != ZR_OK) {
            SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path);
        }
    }
    return result;
}

DWORD CZipReader::Unzip(int index, void* target, DWORD length, DWORD mode) {
    if (m_uf == nullptr) return ZR_ARGS;
    switch (mode) {
        case 3:
            return UnzipToMemory(index, static_cast<BYTE*>(target), length);
        case 1:
        case 2:
            return UnzipToFile(index, target, mode);
        default:
            return ZR_ARGS;
    }
}

// ---- public functions ----

namespace {

HZIP OpenZip(const void* source, DWORD size, int kind, const char* password) {
    auto* reader = new (std::nothrow) CZipReader(password);
    if (reader == nullptr) {
        SetResult(ZR_READ);
        return nullptr;
    }
    DWORD result = reader->Open(source, size, kind);
    HZIP hz = nullptr;
    if (result == ZR_OK) {
        hz = new (std::nothrow) HZIP__{ZIP_KIND_UNZIP, reader};
        if (hz == nullptr) result = ZR_READ;
    }
    if (hz == nullptr) delete reader;
    SetResult(result);
    return hz;
}

DWORD Reader(HZIP hz, CZipReader** reader) {
    if (hz == nullptr || hz->archive == nullptr) return ZR_ARGS;
    if (hz->kind != ZIP_KIND_UNZIP) return ZR_WRONGKIND;
    *reader = hz->archive;
    return ZR_OK;
}

}  // namespace

HZIP OpenZipMemory(const void* buffer, DWORD size, const char* password) {
    if (buffer == nullptr) {
        SetResult(ZR_ARGS);
        return nullptr;
    }
    return OpenZip(buffer, size, ZIP_MEMORY, password);
}

HZIP OpenZipHandle(HANDLE file, const char* password) { return OpenZip(file, 0, ZIP_HANDLE, password); }

HZIP OpenZipFile(const WCHAR* path, const char* password) {
    if (path == nullptr) {
        SetResult(ZR_ARGS);
        return nullptr;
    }
    return OpenZip(path, 0, ZIP_FILENAME, password);
}

DWORD FindZipItem(HZIP hz, const WCHAR* name, bool ignoreCase, int* index, ZipItemInfo* item) {
    CZipReader* reader = nullptr;
    DWORD result = Reader(hz, &reader);
    if (result != ZR_OK) {
        if (index != nullptr) *index = -1;
        return SetResult(result);
    }
    return SetResult(reader->Find(name, ignoreCase, index, item));
}

DWORD GetZipItem(HZIP hz, int index, ZipItemInfo* item) {
    CZipReader* reader = nullptr;
    DWORD result = Reader(hz, &reader);
    if (result != ZR_OK) return SetResult(result);
    return SetResult(reader->GetItem(index, item));
}

DWORD UnzipZipItem(HZIP hz, int index, void* target, DWORD length, DWORD mode) {
    CZipReader* reader = nullptr;
    DWORD result = Reader(hz, &reader);
    if (result != ZR_OK) return SetResult(result);
    return SetResult(reader->Unzip(index, target, length, mode));
}

DWORD UnzipZipItemToMemory(HZIP hz, int index, void* buffer, DWORD length) {
    return UnzipZipItem(hz, index, buffer, length, 3);
}

DWORD CloseZip(HZIP hz) {
    CZipReader* reader = nullptr;
    DWORD result = Reader(hz, &reader);
    if (result != ZR_OK) return SetResult(result);
    // The caller learns how its last call on this archive ended, as the last-result word says.
    const DWORD last = GetLastZipResult();
    delete reader;
    delete hz;
    return last;
}

DWORD GetLastZipResult() { return g_lastResult.load(std::memory_order_relaxed); }

BOOL EnsureDirectory(const WCHAR* base, const WCHAR* path) {
    if (base == nullptr) base = u"";
    if (path == nullptr) path = u"";
    if (AfterLastParent(path) != nullptr) {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    WCHAR full[MAX_PATH];
    if (!JoinPath(full, base, path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return MakeFolders(full) ? TRUE : FALSE;
}

// ---- image archive holder ----

namespace {

struct ArchiveHolder {
    BOOL loaded = FALSE;
    DWORD size = 0;
    std::unique_ptr<BYTE[]> buffer;
    std::u16string path;
};
ArchiveHolder g_archive;

// Failures already told to the debug log for the archive now loaded; lookups run on any thread.
std::mutex g_reportedLock;
std::set<std::u16string> g_reported;

void ForgetReports() {
    std::lock_guard<std::mutex> lock(g_reportedLock);
    g_reported.clear();
}

const char* ResultText(DWORD result) {
    switch (result) {
        case ZR_NOFILE: return "bad archive";
        case ZR_NOTFOUND: return "member not found";
        case ZR_CORRUPT: return "member header corrupt";
        case ZR_READ: return "read failed";
        case ZR_FLATE: return "CRC or inflate error";
        case ZR_MORE: return "member longer than its header says";
        case ZR_PASSWORD: return "member needs a password";
        default: return "archive error";
    }
}

}  // namespace

BOOL LoadArchiveFile(const WCHAR* path) {
    // A failed load keeps the archive that was loaded: only a whole new one replaces it.
    if (path == nullptr) return FALSE;
    CRawFile file;
    if (!file.Open(path, 0x20)) return FALSE;
    DWORD size = file.GetLength();
    if (size == 0 || size == INVALID_FILE_SIZE) return FALSE;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer) return FALSE;
    if (file.Read(buffer.get(), size) != size) return FALSE;
    FreeArchiveFile();
    g_archive.buffer = std::move(buffer);
    g_archive.size = size;
    g_archive.path = path;
    g_archive.loaded = TRUE;
    return TRUE;
}

void FreeArchiveFile() {
    g_archive.buffer.reset();
    g_archive.size = 0;
    g_archive.path.clear();
    g_archive.loaded = FALSE;
    ForgetReports();
}

BOOL IsArchiveLoaded() { return g_archive.loaded; }

const BYTE* GetArchiveBuffer(DWORD* size) {
    if (size != nullptr) *size = g_archive.size;
    return g_archive.buffer.get();
}

void ReportArchiveFailure(const WCHAR* member, DWORD result, const char* detail) {
    const std::u16string name = member != nullptr ? member : u"";
    std::u16string reason;
    for (const char* p = detail != nullptr ? detail : ResultText(result); *p != 0; ++p)
        reason.push_back(static_cast<unsigned char>(*p));
    // An archive that does not open fails every member alike: once for all of them.
    const std::u16string key = result == ZR_NOFILE && detail == nullptr ? reason : name + u"|" + reason;
    {
        std::lock_guard<std::mutex> lock(g_reportedLock);
        if (!g_reported.insert(key).second) return;
    }
    const std::u16string line = u"[IMG]" + g_archive.path + u": " + name + u": " + reason + u"\r\n";
    OutputDebugStringW(line.c_str());
}

DWORD LookupArchiveItem(const BYTE* buffer, DWORD size, const WCHAR* name, ZipItemInfo* item, int* index) {
    if (index != nullptr) *index = -1;
    if (buffer == nullptr || name == nullptr) return SetResult(ZR_ARGS);
    HZIP hz = OpenZipMemory(buffer, size, nullptr);
    if (hz == nullptr) return GetLastZipResult();
    ZipItemInfo found{};
    found.index = -1;
    int foundIndex = -1;
    DWORD result = FindZipItem(hz, name, true, &foundIndex, &found);
    CloseZip(hz);
    if (item != nullptr) *item = found;
    if (index != nullptr) *index = foundIndex;
    return result;
}

BOOL FindArchiveItem(const BYTE* buffer, DWORD size, const WCHAR* name, ZipItemInfo* item, int* index) {
    return LookupArchiveItem(buffer, size, name, item, index) == ZR_OK ? TRUE : FALSE;
}

DWORD InflateArchiveItem(const BYTE* buffer, DWORD size, void* target, ZipItemInfo* item, int index) {
    if (buffer == nullptr || target == nullptr || item == nullptr || item->unc_size < 0) return SetResult(ZR_ARGS);
    HZIP hz = OpenZipMemory(buffer, size, nullptr);
    if (hz == nullptr) return GetLastZipResult();
    // A member larger than the record says ends with "more data", which is not success.
    DWORD result = UnzipZipItemToMemory(hz, index, target, DWORD(item->unc_size));
    CloseZip(hz);
    return result;
}

BOOL UnzipArchiveItem(const BYTE* buffer, DWORD size, void* target, ZipItemInfo* item, int index) {
    return InflateArchiveItem(buffer, size, target, item, index) == ZR_OK ? TRUE : FALSE;
}
