#include "app/SettingTools.h"

#include <cstring>

#include "app/SettingsFile.h"
#include "ui/FileUtil.h"
#include "ui/IniFile.h"
#include "upgrader/FwHeader.h"

namespace {

const WCHAR kLockFile[] = u"\\NAND Flash\\LockDat.dat";
const WCHAR kOpModeFile[] = u"\\NAND Flash\\OpMode.dat";
const WCHAR kProgramFile[] = u"\\NAND Flash\\pgmset.dat";
const WCHAR kSettingFolder[] = u"\\NAND Flash\\System";
const WCHAR kSettingFile[] = u"\\NAND Flash\\System\\Setting.bin";

bool IsFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Gone(const WCHAR* path) { return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; }

}  // namespace

BOOL IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

BOOL StepDateField(SYSTEMTIME* time, int field, int delta) {
    if (!time) return FALSE;
    int year = time->wYear, month = time->wMonth, day = time->wDay;
    int value, low, high;
    switch (field) {
    case 1: value = year + delta; low = SETTING_YEAR_MIN; high = SETTING_YEAR_MAX; break;
    case 2: value = month + delta; low = 1; high = 12; break;
    case 3: value = day + delta; low = 1; high = DaysInMonth(year, month); break;
    case 4: value = time->wHour + delta; low = 0; high = 23; break;
    case 5: value = time->wMinute + delta; low = 0; high = 59; break;
    case 6: value = time->wSecond + delta; low = 0; high = 59; break;
    default: return FALSE;
    }
    if (value < low || value > high) return FALSE;
    switch (field) {
    case 1: year = value; break;
    case 2: month = value; break;
    case 3: time->wDay = (WORD)value; return TRUE;
    case 4: time->wHour = (WORD)value; return TRUE;
    case 5: time->wMinute = (WORD)value; return TRUE;
    default: time->wSecond = (WORD)value; return TRUE;
    }
    int days = DaysInMonth(year, month);
    // 29 February of a common year is taken as the first of the month, as the page always did.
    if (month == 2 && day == 29 && days == 28) day = 1;
    else if (day > days) day = days;
    time->wYear = (WORD)year;
    time->wMonth = (WORD)month;
    time->wDay = (WORD)day;
    return TRUE;
}

void FormatFirmwareVersion(const BYTE firmware[4], WCHAR* out, size_t capacity) {
    int code = 0;
    switch (firmware[0]) {
    case 240: code = 10; break;
    case 241: code = 20; break;
    case 242: code = 23; break;
    case 243: code = 10; break;
    default: break;
    }
    swprintf(out, capacity, u"%d.%d.%d", code / 10, code % 10, firmware[3]);
}

void FormatHardwareVersion(const WCHAR* boardText, double screenRevision, WCHAR* out, size_t capacity) {
    const WCHAR* board = !boardText || !boardText[0] || _wcsicmp(boardText, u"unknown") == 0 ? u"0.0" : boardText;
    swprintf(out, capacity, u"%s.%2.1f", board, screenRevision);
}

void FormatSoftwareVersion(const WCHAR* bspText, WCHAR* out, size_t capacity) {
    WCHAR base[64];
    QrxStrCopy(base, 64, bspText ? bspText : u"");
    if (WCHAR* dot = wcsrchr(base, u'.')) *dot = 0;
    swprintf(out, capacity, u"%s.%s", base, u"44");
}

int ValidTempLimit(int limit) { return limit < 30 || limit > 70 ? 50 : limit; }

int NextTempLimit(int limit) {
    limit = ValidTempLimit(limit) + 5;
    return limit > 70 ? 30 : limit;
}

void FormatTempLimit(int limit, BOOL fahrenheit, WCHAR* out, size_t capacity) {
    limit = ValidTempLimit(limit);
    if (fahrenheit) swprintf(out, capacity, u"%02d \u2109", (int)(limit * 1.8 + 32));
    else swprintf(out, capacity, u"%02d \u2103", limit);
}

BOOL ReadUpgradeHeader(const WCHAR* path, WCHAR* version, size_t capacity) {
    if (version && capacity) version[0] = 0;
    FwPackageInfo info;
    if (!path || ReadFwDataHeader(path, &info) != FWH_OK) return FALSE;
    if (version && capacity) QrxStrCopy(version, capacity, info.osVersion);
    return TRUE;
}

BOOL DeleteDataFile(const WCHAR* path) {
    WCHAR twin[MAX_PATH];
    if (!path || wcsnlen(path, MAX_PATH) + 4 >= MAX_PATH) return FALSE;
    QrxStrCopy(twin, MAX_PATH, path);
    QrxStrAppend(twin, MAX_PATH, u".tmp");
    // The twin goes first: left alone, the next read would take it in place of the deleted file.
    if (!Gone(twin)) ForceDeleteFile(twin);
    if (!Gone(path)) ForceDeleteFile(path);
    return Gone(twin) && Gone(path);
}

BOOL GetFileList(const WCHAR* root, const WCHAR* keepPath) {
    WCHAR folder[MAX_PATH], pattern[MAX_PATH], path[MAX_PATH];
    swprintf(folder, MAX_PATH, u"%s\\Log\\", root ? root : u"");
    swprintf(pattern, MAX_PATH, u"%s*.CSV", folder);
    BOOL result = TRUE;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        // No folder or no log: nothing to delete, which is what was asked.
        OutputDebugStringW(u"[-] GetFileList() / INVALID_HANDLE_VALUE \r\n");
    } else {
        do {
            if (IsFolder(found.dwFileAttributes) || wcscmp(found.cFileName, u".") == 0 ||
                wcscmp(found.cFileName, u"..") == 0)
                continue;
            swprintf(path, MAX_PATH, u"%s%s", folder, found.cFileName);
            // The running run is still writing its log and will resume from it.
            if (keepPath && keepPath[0] && _wcsicmp(path, keepPath) == 0) continue;
            if (!ForceDeleteFile(path)) {
                result = FALSE;
                break;
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    if (!DeleteDataFile(kLockFile)) result = FALSE;
    return result;
}

BOOL ClearSettings(SettingsRecord* settings, OpModeRecord* opMode) {
    if (settings) ClearSettingOptions(settings);
    if (opMode) std::memset(opMode, 0, sizeof *opMode);
    BOOL result = DeleteDataFile(kOpModeFile);
    result = DeleteDataFile(kProgramFile) && result;
    return DeleteDataFile(kLockFile) && result;
}

BOOL CheckSettingImage(const BYTE* data, size_t size) {
    if (!data || size != SETTING_FILE_SIZE) return FALSE;
    const size_t body = SETTING_FILE_SIZE - 2;
    return SettingsSum(data, body) == (WORD)(data[body] | data[body + 1] << 8);
}

BOOL ImportSettingFile(const WCHAR* source) {
    // One byte more than a good file, so a longer file is seen as such.
    BYTE image[SETTING_FILE_SIZE + 1];
    CRawFile file;
    if (!source || !file.Open(source, 0)) return FALSE;
    DWORD got = file.Read(image, sizeof image);
    file.Close();
    if (got == 0xFFFFFFFF || !CheckSettingImage(image, got)) return FALSE;
    CreateDirectoryW(kSettingFolder, nullptr);
    return WriteDataFile(kSettingFile, image, SETTING_FILE_SIZE);
}
