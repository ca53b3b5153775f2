#include "shutter/LockLogic.h"

#include <cstdio>

namespace {

constexpr int kPartLength = 9;
// Long enough to hold a device path and its ".tmp".
constexpr size_t kPathRoom = MAX_PATH + 8;

// One comma-separated part, cut to its 9 characters, as an integer.
int PartValue(const WCHAR* from, const WCHAR* to) {
    WCHAR part[kPartLength + 1];
    int n = 0;
    for (const WCHAR* p = from; p < to && n < kPartLength; ++p) part[n++] = *p;
    part[n] = 0;
    return _wtoi(part);
}

bool Inside(const RECT& r, int x, int y) { return r.left < x && x < r.right && r.top < y && y < r.bottom; }

}  // namespace

const RECT g_LockKeys[LOCK_KEY_COUNT] = {{0, 0, 266, 240},   {267, 0, 533, 240},   {534, 0, 800, 240},
                                         {0, 240, 266, 480}, {267, 240, 533, 480}, {534, 240, 800, 480}};

LockCommand ParseLockCommand(const WCHAR* line) {
    LockCommand command{0, 0};
    if (!line) return command;
    // The command line is short; anything past a sane length is no part of it.
    const size_t length = wcsnlen(line, 256);
    const WCHAR* end = line + length;
    const WCHAR* last = nullptr;  // the last comma
    const WCHAR* before = nullptr;  // the comma before it
    for (const WCHAR* p = line; p < end; ++p)
        if (*p == u',') {
            before = last;
            last = p;
        }
    if (!last) {
        command.mode = PartValue(line, end);
        return command;
    }
    command.mode = PartValue(last + 1, end);
    const int language = PartValue(before ? before + 1 : line, last);
    command.language = language >= 0 && language < LOCK_LANGUAGE_COUNT ? language : 0;
    return command;
}

int LockKeyAt(int x, int y) {
    for (int k = 0; k < LOCK_KEY_COUNT; ++k)
        if (Inside(g_LockKeys[k], x, y)) return k;
    return LOCK_NO_KEY;
}

void CLockTaps::Clear() {
    for (BYTE& b : m_pattern) b = 0;
    m_nCount = 0;
    m_nPressed = LOCK_NO_KEY;
}

int CLockTaps::PenDown(int x, int y) {
    if (Full()) return LOCK_NO_KEY;
    m_nPressed = LockKeyAt(x, y);
    return m_nPressed;
}

int CLockTaps::PenMove(int x, int y) {
    if (m_nPressed == LOCK_NO_KEY) return LOCK_NO_KEY;
    const RECT& r = g_LockKeys[m_nPressed];
    if (x >= r.left && x <= r.right && y >= r.top && y <= r.bottom) return LOCK_NO_KEY;
    const int key = m_nPressed;
    m_nPressed = LOCK_NO_KEY;
    return key;
}

int CLockTaps::PenUp(int x, int y, bool& added) {
    added = false;
    const int key = m_nPressed;
    m_nPressed = LOCK_NO_KEY;
    if (key == LOCK_NO_KEY || !Inside(g_LockKeys[key], x, y) || Full()) return key;
    m_pattern[m_nCount++] = static_cast<BYTE>(key);
    added = true;
    return key;
}

bool ReadLockPattern(const WCHAR* path, BYTE pattern[LOCK_PATTERN_SIZE]) {
    FILE* f = path ? _wfopen(path, u"rb") : nullptr;
    if (!f) return false;
    const size_t n = fread(pattern, 1, LOCK_PATTERN_SIZE, f);
    fclose(f);
    if (n != LOCK_PATTERN_SIZE) return false;
    for (int i = 0; i < LOCK_PATTERN_SIZE; ++i)
        if (pattern[i] >= LOCK_KEY_COUNT) return false;
    return true;
}

bool WriteLockPattern(const WCHAR* path, const BYTE pattern[LOCK_PATTERN_SIZE]) {
    if (!path || wcsnlen(path, MAX_PATH) >= MAX_PATH) return false;
    WCHAR temp[kPathRoom];
    swprintf(temp, kPathRoom, u"%s.tmp", path);
    FILE* f = _wfopen(temp, u"wb");
    if (!f) return false;
    const bool written = fwrite(pattern, 1, LOCK_PATTERN_SIZE, f) == LOCK_PATTERN_SIZE;
    const bool closed = fclose(f) == 0;
    BYTE check[LOCK_PATTERN_SIZE];
    bool ok = written && closed && ReadLockPattern(temp, check);
    for (int i = 0; ok && i < LOCK_PATTERN_SIZE; ++i) ok = check[i] == pattern[i];
    // The copy replaces the file in one step: a reader sees the old pattern or the new one.
    ok = ok && CopyFileW(temp, path, FALSE);
    DeleteFileW(temp);
    return ok;
}

bool LockPatternMatches(const WCHAR* path, const BYTE pattern[LOCK_PATTERN_SIZE]) {
    BYTE stored[LOCK_PATTERN_SIZE];
    if (!ReadLockPattern(path, stored)) return true;
    for (int i = 0; i < LOCK_PATTERN_SIZE; ++i)
        if (stored[i] != pattern[i]) return false;
    return true;
}
