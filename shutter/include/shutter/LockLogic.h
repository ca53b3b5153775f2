// The screen lock's logic without a window: the key grid and the taps on it, the command line and
// the pattern file. Everything from outside (command line, file, pen points) is bounded here.
#pragma once
#include <windows.h>

#define LOCK_KEY_COUNT 6
#define LOCK_NO_KEY 6
#define LOCK_PATTERN_SIZE 6
#define LOCK_LANGUAGE_COUNT 10

// Answers to the main program (lParam of 1025 with shell 13).
#define LOCK_ANSWER_UNLOCKED 1
#define LOCK_ANSWER_SET_DONE 2
#define LOCK_ANSWER_WRONG 3
#define LOCK_ANSWER_CANCELLED 4

extern const RECT g_LockKeys[LOCK_KEY_COUNT];

struct LockCommand {
    int language;  // 0 .. 9
    int mode;      // as given; every non-zero mode checks
};

// "language,mode" split at commas (the last two parts count), each part cut to 9 characters; without
// a comma the text is the mode and the language 0. A language outside 0 .. 9 becomes 0.
LockCommand ParseLockCommand(const WCHAR* line);

// The key whose rectangle holds the point strictly inside its edges, else LOCK_NO_KEY.
int LockKeyAt(int x, int y);

// The taps of one pattern entry.
class CLockTaps {
public:
    CLockTaps() { Clear(); }
    void Clear();
    // Pen down: the key pressed, or LOCK_NO_KEY when the point is on none.
    int PenDown(int x, int y);
    // Pen move: the key that slid off (edges count as inside), now released; LOCK_NO_KEY otherwise.
    int PenMove(int x, int y);
    // Pen up: the key released (LOCK_NO_KEY when none was pressed); a tap is added when the point is
    // still strictly inside it. `added` tells whether it was.
    int PenUp(int x, int y, bool& added);

    int Pressed() const { return m_nPressed; }
    int Count() const { return m_nCount; }
    bool Full() const { return m_nCount == LOCK_PATTERN_SIZE; }
    const BYTE* Pattern() const { return m_pattern; }

private:
    BYTE m_pattern[LOCK_PATTERN_SIZE];
    int m_nCount;
    int m_nPressed;
};

// The stored pattern: true only when the file's first 6 bytes are key indices.
bool ReadLockPattern(const WCHAR* path, BYTE pattern[LOCK_PATTERN_SIZE]);
// Writes a temporary file beside the pattern file, checks the 6 bytes and the close, then puts it
// in place; on any failure the old file stays as it was.
bool WriteLockPattern(const WCHAR* path, const BYTE pattern[LOCK_PATTERN_SIZE]);
// Check mode's verdict on a full entry: without a valid stored pattern there is no lock to keep.
bool LockPatternMatches(const WCHAR* path, const BYTE pattern[LOCK_PATTERN_SIZE]);
