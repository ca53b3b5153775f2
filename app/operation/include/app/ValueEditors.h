// The value editors of the manual, auto and program pages: the arrow steppers (faster while an
// arrow is held) and the page keypad's entry of decimal values and times.
#pragma once
#include <windows.h>

// Held-arrow timing: the step grows after these many milliseconds held.
#define STEP_HOLD_FIRST 1000
#define STEP_HOLD_SECOND 2000
// A repeat this long after the previous one starts a new hold.
#define STEP_REPEAT_GAP 300

// The decimal value stepper: 0.1, 1.0 or 5.0 by the time held, in whole thousandths, clamped to the
// bounds at every step.
double StepValue(double value, DWORD pressStart, DWORD now, BOOL repeating, BOOL raise, double minimum,
                 double maximum);
// Whole numbers in steps of one, five or ten units.
int StepCount(int value, DWORD pressStart, DWORD now, BOOL repeating, BOOL raise, int minimum, int maximum, int unit);
// Times in whole minutes (1, 10 or 60 by the time held); seconds in and out.
DWORD StepMinutes(DWORD seconds, DWORD pressStart, DWORD now, BOOL repeating, BOOL raise, DWORD minimumSeconds,
                  DWORD maximumSeconds);

// "hh:mm" of a time in seconds, as the program rows and the step editor show it.
void FormatHoursMinutes(WCHAR* out, size_t capacity, DWORD seconds);

// The press start of a held arrow: reset when a repeat comes after a pause, so the hold counts from it.
struct CArrowHold {
    DWORD dwPressStart = 0;
    DWORD dwLastRepeat = 0;
    // Call for every arrow command; event 2 is an auto-repeat.
    void Track(int event, DWORD now);
};

// Entry kinds.
#define ENTRY_DECIMAL 0
#define ENTRY_TIME 2
#define ENTRY_NONE 3
// Keys of the page keypad besides the digits 0..9.
#define PAGEKEY_POINT 10
#define PAGEKEY_DELETE 11
// Largest typed decimal (before the point) and time (hours x 100 + minutes).
#define ENTRY_MAX_WHOLE 999
#define ENTRY_MAX_TIME 9959

class CPageKeypad {
public:
    CPageKeypad() { Reset(); }
    // No entry (kind none).
    void Reset();
    // A box took the focus: its present value (seconds for a time) is the entry until a digit starts
    // a new one.
    void Begin(int kind, double value, DWORD seconds);
    // A digit 0..9, PAGEKEY_POINT or PAGEKEY_DELETE; TRUE with the box's text when the entry changed.
    BOOL Key(int key, WCHAR* text, size_t capacity);

    int GetKind() const { return m_nKind; }
    double GetTyped() const { return m_dTyped; }
    // The typed time in seconds; minutes of 60 or more are carried into the hours (0075 is 01:15).
    DWORD GetTypedSeconds() const;
    // The range message of Enter: "text\r\n[min~maxUNIT]".
    static void RangeText(WCHAR* out, size_t capacity, const WCHAR* text, double minimum, double maximum,
                          const WCHAR* unit);

private:
    BOOL DecimalKey(int key, WCHAR* text, size_t capacity);
    BOOL TimeKey(int key, WCHAR* text, size_t capacity);

    int m_bPoint;
    int m_nKind;
    double m_dTyped;
    int m_nDecimals;
    DWORD m_dwTypedTime;
    int m_bFresh;
};
