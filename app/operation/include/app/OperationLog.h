// A run's CSV log and its resume record: the row queue and its writer thread, the file naming, the
// resume record "Operating.dat", and the readers' row parsing and chunked reading.
#pragma once
#include <windows.h>

#include <cstddef>
#include <functional>

#include "app/StatusRecord.h"

#pragma pack(push, 1)
// Operating.dat in the storage root: names the running log, deleted when the run ends.
struct OperatingRecord {
    double dStartVoltage;
    WCHAR szCsvPath[MAX_PATH];
    DWORD dwModeLetter;  // 'R', 'D' or 'P'
    DWORD dwZero;
};
#pragma pack(pop)
static_assert(sizeof(OperatingRecord) == 536);

#define LOG_QUEUE_SLOTS 20
#define LOG_WAIT_MS 250
#define LOG_READ_HEAD 400
#define LOG_FIRST_LINE_MAX 100
#define LOG_CHUNK_MAX 4194304u

// "<root>\Log\", root "\Hard Disk" or "\SD Card".
void GetLogFolder(const WCHAR* storageRoot, WCHAR* out, size_t cap);
// "<folder><date>_<hhmmss>_<letter>.CSV", the date through GetDateFormatW with the language's picture.
// 0 when it does not fit.
BOOL BuildLogFileName(const WCHAR* storageRoot, const SYSTEMTIME& start, WCHAR letter, const WCHAR* datePicture,
                      WCHAR* out, size_t cap);
// Whether path names a log of the storage root: "<root>\Log\<name>.CSV", no folder below, no "..".
BOOL IsLogPathOfRoot(const WCHAR* path, const WCHAR* storageRoot);
// Checks a resume record's bytes: 536 bytes, a terminated path that names a log of the storage root.
// path receives it (MAX_PATH characters).
BOOL ParseOperatingRecord(const void* data, size_t size, const WCHAR* storageRoot, WCHAR* path,
                          double* startVoltage);

// One row of a log, each field checked.
struct LogRow {
    int hour, minute, second;
    int step, kind;
    double setVolts, setAmps;
    DWORD setSeconds;
    double volts, amps;
    DWORD elapsed;
    int temperature;
    int mode;
    int frequency;
    int discharge;
    int pulse;
    DWORD stepSeconds;
    char startText[9];  // "hh:mm:ss"
};
// A row of length bytes that ends in LF (CR LF), parsed by its commas; 0 when any field is malformed.
BOOL ParseLogRow(const char* row, size_t length, LogRow* out);

// Reading a log for the readers.
enum LogReadResult {
    LOG_READ_OK = 0,
    LOG_READ_OPEN,       // missing or unreadable
    LOG_READ_SHORT,      // fewer than 400 bytes
    LOG_READ_FIRST_LINE, // no LF within the first 100 bytes
    LOG_READ_MEMORY,
    LOG_READ_BAD_ROW,    // a whole row that does not parse
    LOG_READ_STOPPED,    // the callback asked to stop
};
// Reads the log whole when it is at most 4 MiB, else in chunks of whole rows, and hands every whole
// LF-terminated row to onRow in order (false stops). A partial last row (a cut write) is left out.
// rows receives the count handed over, wholeBytes (may be null) the file offset after the last of them.
int ReadLogRows(const WCHAR* path, const std::function<bool(const LogRow&)>& onRow, size_t* rows,
                DWORD* wholeBytes = nullptr);

// The row queue and its writer thread. Each row carries the path of its run, so a row never lands in
// another run's file.
class CCsvLog {
public:
    CCsvLog();
    ~CCsvLog();
    CCsvLog(const CCsvLog&) = delete;
    CCsvLog& operator=(const CCsvLog&) = delete;

    // Creates FILEWRITE_THREAD and the writer thread; Stop ends and joins it.
    BOOL Start();
    void Stop();

    // The current run's log; an empty path logs nothing.
    void SetPath(const WCHAR* path);
    void ClearPath();
    void GetPath(WCHAR* out, size_t cap) const;
    BOOL HasPath() const;

    // Queues a row of the current path; the 21st pending row drops the oldest. 0 when nothing is queued
    // (no path, or the row does not fit a slot).
    BOOL Queue(const char* row, size_t length);
    int Pending() const;
    void Clear();
    // One round of the writer: writes the oldest pending row; 1 when a row was written.
    BOOL WriteOne();
    // Holds the writer (tests): rows stay queued until released.
    void HoldWriter(BOOL hold);

    static DWORD WINAPI WriteFileThread(LPVOID param);

private:
    struct Slot {
        WCHAR path[MAX_PATH];
        char row[LOG_ROW_MAX];
        DWORD length;
        DWORD sequence;
    };

    mutable CRITICAL_SECTION m_cs;
    WCHAR m_szPath[MAX_PATH];
    Slot m_slots[LOG_QUEUE_SLOTS];
    int m_nGet;    // the oldest pending row
    int m_nCount;  // rows pending, up to the 20 slots
    DWORD m_dwSequence;
    HANDLE m_hEvent;
    HANDLE m_hThread;
    volatile LONG m_bLoop;
    volatile LONG m_bHold;
};

// Appends row to the file at path (created when missing), opened and closed around the write. A short
// write is cut back to the file's old size, so a retry never doubles bytes. 1 when the whole row is in.
BOOL AppendLogRow(const WCHAR* path, const char* row, DWORD length);
