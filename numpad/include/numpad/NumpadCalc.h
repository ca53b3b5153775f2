// The keypad popup's calculator: the entry, the value and the pending operation, driven by key
// numbers. No window and no thread of its own, so it is tested and fuzzed alone.
#pragma once
#include <windows.h>

// Key numbers (the keypad's key table).
#define NPK_INSERT 10
#define NPK_CLEAR 11
#define NPK_EQUALS 12
#define NPK_DIVIDE 13
#define NPK_MULTIPLY 14
#define NPK_SUBTRACT 15
#define NPK_ADD 16
#define NPK_POINT 17
#define NPK_OFF 18
#define NPK_BACK 19
#define NPK_KEYS 20

// Longest typed entry in characters, and the entry buffer.
#define NP_MAX_DIGITS 15
#define NP_ENTRY_SIZE 255
// Largest answer: the tenths travel in 16 bits.
#define NP_MAX_TENTHS 65535

class CNumpadCalc {
public:
    // What a key asks of the keypad.
    enum Action { None, Redraw, Insert, Off };
    // What the display line shows.
    enum Show { ShowValue, ShowEntry, ShowError };

    CNumpadCalc();
    void Clear();
    // Acts on one key; Insert leaves the answer in GetAnswer.
    Action Press(int key);

    Show GetShow() const { return m_show; }
    // The display line's text (value, entry or error).
    const char* DisplayText() const;
    double GetValue() const { return m_dValue; }
    int GetPending() const { return m_nPending; }
    const char* GetEntry() const { return m_szEntry; }
    int GetEntryLength() const { return m_nLength; }
    // Tenths of the answer of the last Insert.
    DWORD GetAnswer() const { return m_dwAnswer; }

    // The value's text: whole numbers without decimals, others with up to 8 decimals and no
    // trailing zeros, never more than 15 digits; false (text "") for values that do not fit.
    static bool FormatValue(double value, char* text, size_t capacity);

private:
    double EntryNumber() const;
    // Applies the operation (0: set) to the value with the entry; the entry gets the value's text.
    void Apply(int op);
    void SetEntry(const char* text);
    void ClearEntry();

    double m_dValue;
    int m_nPending;  // 0 none, 1 divide, 2 multiply, 3 subtract, 4 add
    char m_szEntry[NP_ENTRY_SIZE + 1];  // always ended by 0
    int m_nLength;
    int m_bPoint;
    Show m_show;
    char m_szValue[NP_ENTRY_SIZE + 1];
    DWORD m_dwAnswer;
};
