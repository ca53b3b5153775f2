// The CSV log of a run: file naming, the row queue and its writer, the resume record's checks, and the
// row parser and chunked reader shared by the resume and the log view.
#include "app/OperationLog.h"

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace {

const WCHAR kLogFolder[] = u"\\Log\\";

BOOL CopyText(WCHAR* out, size_t cap, const WCHAR* text) {
    const size_t n = wcslen(text);
    if (n + 1 > cap) {
        if (cap) out[0] = 0;
        return FALSE;
    }
    std::memcpy(out, text, (n + 1) * sizeof(WCHAR));
    return TRUE;
}

// Fixed-format pieces of a row.
bool Digits(const char* s, size_t n, size_t width, int* value) {
    if (n != width) return false;
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

// "%05.1f": an optional minus, 1 to 4 whole digits, a point, one digit.
bool Tenths(const char* s, size_t n, double* value) {
    bool minus = false;
    if (n > 0 && s[0] == '-') {
        minus = true;
        ++s;
        --n;
    }
    if (n < 3 || n > 6 || s[n - 2] != '.') return false;
    int whole = 0, tenth = 0;
    if (!Digits(s, n - 2, n - 2, &whole) || !Digits(s + n - 1, 1, 1, &tenth)) return false;
    const double v = whole + tenth / 10.0;
    *value = minus ? -v : v;
    return true;
}

// "hh:mm" with two or three hour digits.
bool HoursMinutes(const char* s, size_t n, DWORD* seconds) {
    if (n < 5 || n > 6 || s[n - 3] != ':') return false;
    int h = 0, m = 0;
    if (!Digits(s, n - 3, n - 3, &h) || !Digits(s + n - 2, 2, 2, &m) || m > 59) return false;
    *seconds = static_cast<DWORD>(h) * 3600u + static_cast<DWORD>(m) * 60u;
    return true;
}

bool Triple(const char* s, size_t n, char sep, int limit0, int* a, int* b, int* c) {
    return n == 8 && s[2] == sep && s[5] == sep && Digits(s, 2, 2, a) && Digits(s + 3, 2, 2, b) &&
           Digits(s + 6, 2, 2, c) && *a <= limit0;
}

}  // namespace

void GetLogFolder(const WCHAR* storageRoot, WCHAR* out, size_t cap) {
    swprintf(out, cap, u"%s%s", storageRoot, kLogFolder);
}

BOOL BuildLogFileName(const WCHAR* storageRoot, const SYSTEMTIME& start, WCHAR letter, const WCHAR* datePicture,
                      WCHAR* out, size_t cap) {
    if (cap) out[0] = 0;
    WCHAR date[100];
    if (GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &start, datePicture, date, 100) == 0) return FALSE;
    WCHAR folder[MAX_PATH];
    GetLogFolder(storageRoot, folder, MAX_PATH);
    const int n = swprintf(out, cap, u"%s%s_%02d%02d%02d_%c.CSV", folder, date, start.wHour, start.wMinute,
                           start.wSecond, letter);
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        if (cap) out[0] = 0;
        return FALSE;
    }
    return TRUE;
}

BOOL IsLogPathOfRoot(const WCHAR* path, const WCHAR* storageRoot) {
    WCHAR folder[MAX_PATH];
    GetLogFolder(storageRoot, folder, MAX_PATH);
    const size_t f = wcslen(folder), n = wcslen(path);
    if (n <= f + 4 || _wcsnicmp(path, folder, f) != 0) return FALSE;
    const WCHAR* name = path + f;
    if (_wcsicmp(path + n - 4, u".CSV") != 0) return FALSE;
    for (const WCHAR* p = name; *p; ++p)
        if (*p == u'\\' || *p == u'/' || *p == u':' || *p < 0x20) return FALSE;
    // A name of dots only would climb out of the folder on some file systems.
    return std::u16string_view(name).find(u"..") == std::u16string_view::npos ? TRUE : FALSE;
}

BOOL ParseOperatingRecord(const void* data, size_t size, const WCHAR* storageRoot, WCHAR* path,
                          double* startVoltage) {
    path[0] = 0;
    if (size != sizeof(OperatingRecord)) return FALSE;
    OperatingRecord record;
    std::memcpy(&record, data, sizeof record);
    // The storage is the user's: the path may come without its terminator.
    record.szCsvPath[MAX_PATH - 1] = 0;
    if (record.szCsvPath[0] == 0 || !IsLogPathOfRoot(record.szCsvPath, storageRoot)) return FALSE;
    CopyText(path, MAX_PATH, record.szCsvPath);
    *startVoltage = record.dStartVoltage;
    return TRUE;
}

BOOL ParseLogRow(const char* row, size_t length, LogRow* out) {
    if (length < 4 || length >= LOG_ROW_MAX || row[length - 1] != '\n' || row[length - 2] != '\r') return FALSE;
    const size_t end = length - 2;
    const char* field[16];
    size_t size[16];
    size_t count = 0, begin = 0;
    for (size_t i = 0; i <= end; ++i) {
        if (i < end && row[i] != ',') continue;
        if (count == 16) return FALSE;
        field[count] = row + begin;
        size[count] = i - begin;
        ++count;
        begin = i + 1;
    }
    if (count != 16) return FALSE;
    LogRow r{};
    int y, mo, d;
    if (!Triple(field[0], size[0], '/', 99, &y, &mo, &d) || mo < 1 || mo > 12 || d < 1 || d > 31) return FALSE;
    if (!Triple(field[1], size[1], ':', 23, &r.hour, &r.minute, &r.second) || r.minute > 59 || r.second > 59)
        return FALSE;
    std::memcpy(r.startText, field[1], 8);
    r.startText[8] = 0;
    int temp = 0;
    if (!Digits(field[2], size[2], 1, &r.step) || r.step > 6 || !Digits(field[3], size[3], 1, &r.kind) ||
        !Tenths(field[4], size[4], &r.setVolts) || !Tenths(field[5], size[5], &r.setAmps) ||
        !HoursMinutes(field[6], size[6], &r.setSeconds) || !Tenths(field[7], size[7], &r.volts) ||
        !Tenths(field[8], size[8], &r.amps))
        return FALSE;
    int elapsed = 0;
    if (!Digits(field[9], size[9], 6, &elapsed)) return FALSE;
    r.elapsed = static_cast<DWORD>(elapsed);
    if (size[10] != 4 || (field[10][0] != '+' && field[10][0] != '-') || !Digits(field[10] + 1, 3, 3, &temp))
        return FALSE;
    r.temperature = field[10][0] == '-' ? -temp : temp;
    if (!Digits(field[11], size[11], 1, &r.mode) || r.mode > 3 || !Digits(field[12], size[12], 2, &r.frequency) ||
        !Digits(field[13], size[13], 1, &r.discharge) || r.discharge > 1 ||
        !Digits(field[14], size[14], 1, &r.pulse) || r.pulse > 3 || !HoursMinutes(field[15], size[15], &r.stepSeconds))
        return FALSE;
    // A program row names its step; other rows have none.
    if ((r.mode == 3) != (r.step >= 1)) return FALSE;
    *out = r;
    return TRUE;
}

int ReadLogRows(const WCHAR* path, const std::function<bool(const LogRow&)>& onRow, size_t* rows,
                DWORD* wholeBytes) {
    if (rows) *rows = 0;
    if (wholeBytes) *wholeBytes = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LOG_READ_OPEN;
    struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
    } closer{file};
    const DWORD size = GetFileSize(file, nullptr);
    char head[LOG_READ_HEAD];
    DWORD got = 0;
    if (size == INVALID_FILE_SIZE || !ReadFile(file, head, LOG_READ_HEAD, &got, nullptr) || got < LOG_READ_HEAD)
        return LOG_READ_SHORT;
    const void* lf = std::memchr(head, '\n', LOG_FIRST_LINE_MAX);
    if (!lf) return LOG_READ_FIRST_LINE;
    const DWORD rowLength = static_cast<DWORD>(static_cast<const char*>(lf) - head) + 1;
    const DWORD cap = size <= LOG_CHUNK_MAX ? size : LOG_CHUNK_MAX / rowLength * rowLength;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[cap + 1]);
    if (!buffer) return LOG_READ_MEMORY;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) return LOG_READ_OPEN;

    size_t handed = 0;
    DWORD kept = 0;  // bytes of a row begun in the previous chunk
    DWORD base = 0;  // file offset of the buffer's first byte
    DWORD left = size;
    while (left > 0) {
        DWORD want = cap - kept;
        if (want > left) want = left;
        if (want == 0) return LOG_READ_BAD_ROW;  // a "row" longer than a whole chunk
        if (!ReadFile(file, buffer.get() + kept, want, &got, nullptr) || got == 0) break;
        left -= got;
        const DWORD filled = kept + got;
        buffer[filled] = 0;
        DWORD at = 0;
        for (;;) {
            const void* nl = std::memchr(buffer.get() + at, '\n', filled - at);
            if (!nl) break;
            const DWORD end = static_cast<DWORD>(static_cast<const char*>(nl) - buffer.get()) + 1;
            LogRow row;
            if (!ParseLogRow(buffer.get() + at, end - at, &row)) {
                if (rows) *rows = handed;
                return LOG_READ_BAD_ROW;
            }
            ++handed;
            if (wholeBytes) *wholeBytes = base + end;
            if (!onRow(row)) {
                if (rows) *rows = handed;
                return LOG_READ_STOPPED;
            }
            at = end;
        }
        kept = filled - at;
        base += at;
        std::memmove(buffer.get(), buffer.get() + at, kept);
    }
    if (rows) *rows = handed;
    return LOG_READ_OK;
}

BOOL AppendLogRow(const WCHAR* path, const char* row, DWORD length) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    const DWORD before = SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    BOOL ok = before != INVALID_SET_FILE_POINTER && WriteFile(file, row, length, &written, nullptr) && written == length;
    if (!ok && before != INVALID_SET_FILE_POINTER) {
        // A retry must find the file as it was, or the row's first bytes would be doubled.
        SetFilePointer(file, static_cast<LONG>(before), nullptr, FILE_BEGIN);
        SetEndOfFile(file);
    }
    CloseHandle(file);
    return ok;
}

// The queue and its writer

CCsvLog::CCsvLog()
    : m_szPath{}, m_slots{}, m_nGet(0), m_nCount(0), m_dwSequence(0), m_hEvent(nullptr), m_hThread(nullptr),
      m_bLoop(0), m_bHold(0) {
    InitializeCriticalSection(&m_cs);
}

CCsvLog::~CCsvLog() {
    Stop();
    DeleteCriticalSection(&m_cs);
}

BOOL CCsvLog::Start() {
    if (m_hThread) return TRUE;
    m_bLoop = 1;
    OutputDebugStringW(u"Create WriteFileThread\r\n");
    m_hEvent = CreateEventW(nullptr, FALSE, FALSE, u"FILEWRITE_THREAD");
    if (!m_hEvent) return FALSE;
    m_hThread = CreateThread(nullptr, 0, WriteFileThread, this, 0, nullptr);
    return m_hThread != nullptr;
}

void CCsvLog::Stop() {
    InterlockedExchange(&m_bLoop, 0);
    if (m_hEvent) SetEvent(m_hEvent);
    if (m_hThread) {
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    if (m_hEvent) CloseHandle(m_hEvent);
    m_hEvent = nullptr;
}

void CCsvLog::SetPath(const WCHAR* path) {
    EnterCriticalSection(&m_cs);
    CopyText(m_szPath, MAX_PATH, path);
    LeaveCriticalSection(&m_cs);
}

void CCsvLog::ClearPath() {
    EnterCriticalSection(&m_cs);
    std::memset(m_szPath, 0, sizeof m_szPath);
    LeaveCriticalSection(&m_cs);
}

void CCsvLog::GetPath(WCHAR* out, size_t cap) const {
    EnterCriticalSection(&m_cs);
    CopyText(out, cap, m_szPath);
    LeaveCriticalSection(&m_cs);
}

BOOL CCsvLog::HasPath() const {
    EnterCriticalSection(&m_cs);
    const BOOL has = m_szPath[0] != 0;
    LeaveCriticalSection(&m_cs);
    return has;
}

BOOL CCsvLog::Queue(const char* row, size_t length) {
    if (length == 0 || length >= LOG_ROW_MAX) return FALSE;
    EnterCriticalSection(&m_cs);
    if (!m_szPath[0]) {
        LeaveCriticalSection(&m_cs);
        return FALSE;
    }
    // Twenty rows wait at most: a full ring gives up its oldest.
    if (m_nCount == LOG_QUEUE_SLOTS) {
        m_nGet = (m_nGet + 1) % LOG_QUEUE_SLOTS;
        --m_nCount;
    }
    Slot& slot = m_slots[(m_nGet + m_nCount) % LOG_QUEUE_SLOTS];
    ++m_nCount;
    std::memset(slot.row, 0, sizeof slot.row);
    std::memcpy(slot.row, row, length);
    slot.length = static_cast<DWORD>(length);
    std::memcpy(slot.path, m_szPath, sizeof slot.path);
    slot.sequence = ++m_dwSequence;
    LeaveCriticalSection(&m_cs);
    if (m_hEvent) SetEvent(m_hEvent);
    return TRUE;
}

int CCsvLog::Pending() const {
    EnterCriticalSection(&m_cs);
    const int n = m_nCount;
    LeaveCriticalSection(&m_cs);
    return n;
}

void CCsvLog::Clear() {
    EnterCriticalSection(&m_cs);
    m_nGet = m_nCount = 0;
    LeaveCriticalSection(&m_cs);
}

void CCsvLog::HoldWriter(BOOL hold) {
    InterlockedExchange(&m_bHold, hold ? 1 : 0);
    if (!hold && m_hEvent) SetEvent(m_hEvent);
}

BOOL CCsvLog::WriteOne() {
    Slot slot;
    BOOL current;
    EnterCriticalSection(&m_cs);
    if (m_nCount == 0) {
        LeaveCriticalSection(&m_cs);
        return FALSE;
    }
    std::memcpy(&slot, &m_slots[m_nGet], sizeof slot);
    current = std::memcmp(slot.path, m_szPath, sizeof slot.path) == 0;
    LeaveCriticalSection(&m_cs);

    // The file is opened and closed for every row: a removed card keeps every row written so far.
    const BOOL written = AppendLogRow(slot.path, slot.row, slot.length);
    if (!written) OutputDebugStringW(u"FileWrite Error\r\n");
    EnterCriticalSection(&m_cs);
    // Taken off only when still the oldest: the ring may have dropped it meanwhile. A row of an ended
    // run whose file cannot be reached goes, so it never holds back the next run's rows.
    if ((written || !current) && m_nCount > 0 && m_slots[m_nGet].sequence == slot.sequence) {
        m_nGet = (m_nGet + 1) % LOG_QUEUE_SLOTS;
        --m_nCount;
    }
    LeaveCriticalSection(&m_cs);
    return written;
}

DWORD WINAPI CCsvLog::WriteFileThread(LPVOID param) {
    auto* log = static_cast<CCsvLog*>(param);
    OutputDebugStringW(u"COperationWnd::WriteFileThread(COperationWnd * pParent)\r\n");
    while (InterlockedCompareExchange(&log->m_bLoop, 0, 0)) {
        WaitForSingleObject(log->m_hEvent, LOG_WAIT_MS);
        if (!InterlockedCompareExchange(&log->m_bLoop, 0, 0)) {
            OutputDebugStringW(u"End of WriteFileThread\r\n");
            break;
        }
        if (InterlockedCompareExchange(&log->m_bHold, 0, 0)) continue;
        // One row per wake, as the rhythm of the writer; a backlog drains at once.
        if (log->WriteOne() && log->Pending() > 0) SetEvent(log->m_hEvent);
    }
    return 0;
}
