#include "ui/FileUtil.h"

#include <cmath>
#include <cstring>

#include "ui/IniFile.h"
#include "ui/ZipArchive.h"

namespace {

const WCHAR kProfilesKey[] = u"System\\StorageManager\\Profiles\\";

// out must hold MAX_PATH characters; a folder that does not fit is treated as unknown.
BOOL GetProfileFolder(const WCHAR* profile, WCHAR* out) {
    if (!out) return FALSE;
    out[0] = 0;
    WCHAR key[MAX_PATH];
    QrxStrCopy(key, MAX_PATH, kProfilesKey);
    QrxStrAppend(key, MAX_PATH, profile);
    WCHAR folder[MAX_PATH];
    if (!RegReadString(HKEY_LOCAL_MACHINE, key, u"Folder", folder, MAX_PATH) || folder[0] == 0) return FALSE;
    if (wcslen(folder) + 1 >= MAX_PATH) return FALSE;
    out[0] = u'\\';
    QrxStrCopy(out + 1, MAX_PATH - 1, folder);
    return TRUE;
}

// Joins head and tail into out (MAX_PATH); "" and FALSE when the result would be cut.
BOOL JoinPath(WCHAR* out, const WCHAR* head, const WCHAR* tail) {
    size_t headLen = wcslen(head);
    size_t tailLen = wcslen(tail);
    if (headLen + tailLen >= MAX_PATH) {
        out[0] = 0;
        return FALSE;
    }
    // Built aside: callers may resolve a path in its own buffer.
    WCHAR joined[MAX_PATH];
    std::memcpy(joined, head, headLen * sizeof(WCHAR));
    std::memcpy(joined + headLen, tail, tailLen * sizeof(WCHAR));
    joined[headLen + tailLen] = 0;
    std::memcpy(out, joined, (headLen + tailLen + 1) * sizeof(WCHAR));
    return TRUE;
}

bool IsHexDigit(WCHAR c, DWORD& value) {
    if (c >= u'0' && c <= u'9') {
        value = static_cast<DWORD>(c - u'0');
        return true;
    }
    if (c >= u'a' && c <= u'f') {
        value = static_cast<DWORD>(c - u'a' + 10);
        return true;
    }
    if (c >= u'A' && c <= u'F') {
        value = static_cast<DWORD>(c - u'A' + 10);
        return true;
    }
    return false;
}

bool HasHexPrefix(const WCHAR* text) {
    return text[0] == u'0' && (text[1] == u'x' || text[1] == u'X') && text[2] != 0;
}

// The decimal digits after optional white space and sign, saturated at 64 bits so the callers can
// clamp to their own 32-bit ranges as the C conversions do.
const WCHAR* ParseDecimal(const WCHAR* text, bool& negative, uint64_t& magnitude) {
    while (*text == u' ' || *text == u'\t' || *text == u'\r' || *text == u'\n') ++text;
    negative = false;
    if (*text == u'-' || *text == u'+') {
        negative = *text == u'-';
        ++text;
    }
    magnitude = 0;
    for (; *text >= u'0' && *text <= u'9'; ++text) {
        if (magnitude < 0x100000000ull) magnitude = magnitude * 10 + static_cast<uint64_t>(*text - u'0');
    }
    return text;
}

template <class Char>
bool IsTrailingJunk(Char c, BOOL blanks) {
    return c == '\n' || c == '\r' || c == '\t' || (blanks && c == ' ');
}

template <class Char>
int TrimRightT(Char* text, BOOL blanks) {
    if (!text) return 0;
    size_t length = 0;
    while (text[length]) ++length;
    size_t end = length;
    while (end > 0 && IsTrailingJunk(text[end - 1], blanks)) --end;
    text[end] = 0;
    return static_cast<int>(length);
}

template <class Char>
Char* TrimLeftT(Char* text) {
    if (!text) return text;
    size_t skip = 0;
    while (text[skip] == ' ' || text[skip] == '\t') ++skip;
    if (skip) {
        size_t i = 0;
        do {
            text[i] = text[i + skip];
        } while (text[i++]);
    }
    return text;
}

}  // namespace

BOOL GetSdCardFolder(WCHAR* out) { return GetProfileFolder(u"SDMMC", out); }
BOOL GetUsbDiskFolder(WCHAR* out) { return GetProfileFolder(u"USBHDProfile", out); }
BOOL GetNandFlashFolder(WCHAR* out) { return GetProfileFolder(u"FlashDisk", out); }

BOOL GetModuleDir(WCHAR* out) {
    if (!out) return FALSE;
    out[0] = 0;
    WCHAR name[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    name[length] = 0;
    WCHAR* slash = wcsrchr(name, u'\\');
    if (!slash) return FALSE;
    slash[1] = 0;
    QrxStrCopy(out, MAX_PATH, name);
    return TRUE;
}

BOOL ResolvePath(WCHAR* out, const WCHAR* path) {
    if (!out) return FALSE;
    // out is written only at the end: callers may resolve a path in its own buffer.
    if (!path || path[0] == 0) {
        out[0] = 0;
        return FALSE;
    }
    if (path[0] == u'\\') return JoinPath(out, u"", path);

    BOOL (*folderOf)(WCHAR*) = nullptr;
    if (_wcsnicmp(path, u"%sd%", 4) == 0)
        folderOf = GetSdCardFolder;
    else if (_wcsnicmp(path, u"%ud%", 4) == 0)
        folderOf = GetUsbDiskFolder;
    else if (_wcsnicmp(path, u"%nd%", 4) == 0)
        folderOf = GetNandFlashFolder;
    WCHAR folder[MAX_PATH];
    if (folderOf) {
        if (!folderOf(folder)) {
            out[0] = 0;
            return FALSE;
        }
        return JoinPath(out, folder, path + 4);
    }
    if (!GetModuleDir(folder)) folder[0] = 0;
    return JoinPath(out, folder, path);
}

BOOL ForceDeleteFile(const WCHAR* path) {
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE);
    return DeleteFileW(path);
}

BOOL FileExists(const WCHAR* name) {
    if (!name || name[0] == 0) return FALSE;
    if (IsArchiveLoaded() && !wcschr(name, u'\\')) {
        DWORD size = 0;
        const BYTE* buffer = GetArchiveBuffer(&size);
        if (!buffer) return FALSE;
        ZipItemInfo item;
        int index = -1;
        return FindArchiveItem(buffer, size, name, &item, &index) ? TRUE : FALSE;
    }
    return GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
}

DWORD HexToInt(const WCHAR* digits) {
    if (!digits) return 0;
    size_t length = wcslen(digits);
    size_t first = length > 8 ? length - 8 : 0;
    DWORD value = 0;
    for (size_t i = first; i < length; ++i) {
        DWORD digit = 0;
        if (!IsHexDigit(digits[i], digit)) digit = 0;
        value = (value << 4) | digit;
    }
    return value;
}

DWORD StrToUInt(const WCHAR* text) {
    if (!text || text[0] == 0) return 0;
    if (HasHexPrefix(text)) return HexToInt(text + 2);
    bool negative = false;
    uint64_t magnitude = 0;
    ParseDecimal(text, negative, magnitude);
    if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    DWORD value = static_cast<DWORD>(magnitude);
    return negative ? 0u - value : value;
}

LONG StrToLong(const WCHAR* text) {
    if (!text || text[0] == 0) return 0;
    if (HasHexPrefix(text)) return static_cast<LONG>(HexToInt(text + 2));
    bool negative = false;
    uint64_t magnitude = 0;
    ParseDecimal(text, negative, magnitude);
    if (negative) return magnitude >= 0x80000000ull ? INT32_MIN : -static_cast<LONG>(magnitude);
    return magnitude > 0x7FFFFFFFull ? INT32_MAX : static_cast<LONG>(magnitude);
}

DWORD GetTicks(DWORD start) { return GetTickCount() - start; }

HICON GetFileIcon(const WCHAR* path) {
    if (!path || !path[0]) return nullptr;
    // By name: a list of hundreds of files asks the disk nothing more than its scan did.
    size_t length = wcslen(path);
    DWORD attributes = (path[length - 1] == u'\\') ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    SHFILEINFOW info{};
    if (!SHGetFileInfoW(path, attributes, &info, sizeof(info), SHGFI_ICON | SHGFI_SMALLICON | SHGFI_USEFILEATTRIBUTES))
        return nullptr;
    return info.hIcon;
}

BOOL ShowTaskBar(BOOL show) {
    HWND bar = FindWindowW(u"HHTaskBar", nullptr);
    if (!bar) return 0;
    const BOOL wasVisible = IsWindowVisible(bar);
    ShowWindow(bar, show ? SW_SHOWNA : SW_HIDE);

    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    RECT work{0, 0, width, height};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const bool workIsScreen = work.left == 0 && work.top == 0 && work.right == width && work.bottom == height;
    const BOOL previous = wasVisible && !workIsScreen;

    RECT next{0, 0, width, height};
    if (show) {
        RECT barRect{};
        GetWindowRect(bar, &barRect);
        next.bottom -= barRect.bottom - barRect.top;
    }
    if (next.bottom != work.bottom) SystemParametersInfoW(SPI_SETWORKAREA, 0, &next, SPIF_SENDCHANGE);
    return previous;
}

UINT GetLocaleCodePage(LCID lcid) {
    WCHAR text[16] = {};
    if (GetLocaleInfoW(lcid ? lcid : LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text, 16) <= 0) return 0;
    text[15] = 0;
    return StrToUInt(text);
}

int TrimRightA(char* text, BOOL blanks) { return TrimRightT(text, blanks); }
int TrimRightW(WCHAR* text, BOOL blanks) { return TrimRightT(text, blanks); }
char* TrimLeftA(char* text) { return TrimLeftT(text); }
WCHAR* TrimLeftW(WCHAR* text) { return TrimLeftT(text); }

int SplitString(const WCHAR* text, int count, WCHAR (*fields)[MAX_PATH], WCHAR separator) {
    if (count < 1 || !fields) return 0;
    for (int i = 0; i < count; ++i) fields[i][0] = 0;
    if (!text) return 0;
    int field = 0;
    int separators = 0;
    size_t length = 0;
    for (const WCHAR* p = text; *p; ++p) {
        if (*p == separator) {
            ++separators;
            if (separators == count) {
                // The rest, from this separator on, belongs to the last field.
                QrxStrAppend(fields[field], MAX_PATH, p);
                return separators;
            }
            ++field;
            length = 0;
            continue;
        }
        if (length + 1 < MAX_PATH) {
            fields[field][length++] = *p;
            fields[field][length] = 0;
        }
    }
    return separators;
}

SYSTEMTIME* AddSeconds(SYSTEMTIME* out, SYSTEMTIME* time, double seconds) {
    if (!time) return out;
    FILETIME ft;
    double units = seconds * 10000000.0;
    // Outside the file-time range (or not a number) the time stays as it was.
    if (std::isfinite(units) && std::fabs(units) < 9.2e18 && SystemTimeToFileTime(time, &ft)) {
        int64_t base = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
        int64_t delta = static_cast<int64_t>(units);
        int64_t sum = 0;
        if (!__builtin_add_overflow(base, delta, &sum) && sum >= 0) {
            FILETIME moved;
            moved.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(sum));
            moved.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(sum) >> 32);
            SYSTEMTIME result;
            if (FileTimeToSystemTime(&moved, &result)) *time = result;
        }
    }
    if (out && out != time) *out = *time;
    return out;
}

BOOL RaiseRunningInstance(const WCHAR* name, int nCmdShow) {
    HANDLE marker = CreateSemaphoreW(nullptr, 1, 1, name);
    if (!marker || GetLastError() != ERROR_ALREADY_EXISTS) return FALSE;
    // The first instance's semaphore lives as long as it runs; this one's copy goes now.
    CloseHandle(marker);
    if (HWND running = FindWindowW(name, nullptr)) {
        SetForegroundWindow(running);
        ShowWindow(running, nCmdShow);
    }
    return TRUE;
}
