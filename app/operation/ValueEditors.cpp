#include "app/ValueEditors.h"

#include <algorithm>
#include <cmath>

namespace {

// The step of a press: small, middle or big by the time the arrow has been held.
int StepIndex(DWORD pressStart, DWORD now, BOOL repeating) {
    const DWORD held = now - pressStart;
    if (!repeating || held <= STEP_HOLD_FIRST) return 0;
    return held <= STEP_HOLD_SECOND ? 1 : 2;
}

long long Clamped(long long value, long long step, BOOL raise, long long minimum, long long maximum) {
    if (raise) return value < maximum ? std::min(value + step, maximum) : value;
    return value > minimum ? std::max(value - step, minimum) : value;
}

}  // namespace

double StepValue(double value, DWORD pressStart, DWORD now, BOOL repeating, BOOL raise, double minimum,
                 double maximum) {
    static const long long kSteps[] = {100, 1000, 5000};
    // Whole thousandths: repeated tenths add up exactly.
    const long long v = std::llround(value * 1000);
    const long long step = kSteps[StepIndex(pressStart, now, repeating)];
    return static_cast<double>(Clamped(v, step, raise, std::llround(minimum * 1000), std::llround(maximum * 1000))) /
           1000.0;
}

int StepCount(int value, DWORD pressStart, DWORD now, BOOL repeating, BOOL raise, int minimum, int maximum, int unit) {
    static const int kUnits[] = {1, 5, 10};
    const long long step = static_cast<long long>(kUnits[StepIndex(pressStart, now, repeating)]) * unit;
    return static_cast<int>(Clamped(value, step, raise, minimum, maximum));
}

DWORD StepMinutes(DWORD seconds, DWORD pressStart, DWORD now, BOOL repeating, BOOL raise, DWORD minimumSeconds,
                  DWORD maximumSeconds) {
    static const int kMinutes[] = {1, 10, 60};
    const long long step = kMinutes[StepIndex(pressStart, now, repeating)];
    return static_cast<DWORD>(Clamped(seconds / 60, step, raise, minimumSeconds / 60, maximumSeconds / 60) * 60);
}

void FormatHoursMinutes(WCHAR* out, size_t capacity, DWORD seconds) {
    swprintf(out, capacity, u"%02d:%02d", static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60));
}

void CArrowHold::Track(int event, DWORD now) {
    if (event == 2) {
        if (now - dwLastRepeat > STEP_REPEAT_GAP) dwPressStart = now;
        dwLastRepeat = now;
    } else {
        dwPressStart = now;
    }
}

void CPageKeypad::Reset() {
    m_bPoint = 0;
    m_nKind = ENTRY_NONE;
    m_dTyped = 0;
    m_nDecimals = 0;
    m_dwTypedTime = 0;
    m_bFresh = 1;
}

void CPageKeypad::Begin(int kind, double value, DWORD seconds) {
    Reset();
    m_nKind = kind;
    m_dTyped = value;
    m_dwTypedTime = seconds / 3600 * 100 + seconds / 60 % 60;
}

BOOL CPageKeypad::Key(int key, WCHAR* text, size_t capacity) {
    if (m_nKind == ENTRY_NONE || key < 0 || key > PAGEKEY_DELETE) return FALSE;
    if (m_bFresh) {
        m_bFresh = 0;
        if (key <= 9) {
            m_dTyped = 0;
            m_dwTypedTime = 0;
            m_bPoint = 0;
            m_nDecimals = 0;
        }
    }
    return m_nKind == ENTRY_TIME ? TimeKey(key, text, capacity) : DecimalKey(key, text, capacity);
}

BOOL CPageKeypad::DecimalKey(int key, WCHAR* text, size_t capacity) {
    if (key <= 9) {
        if (!m_bPoint) {
            if (m_dTyped * 10 + key > ENTRY_MAX_WHOLE) return FALSE;
            m_dTyped = m_dTyped * 10 + key;
            swprintf(text, capacity, u"%.0f  ", m_dTyped);
            return TRUE;
        }
        if (m_nDecimals) return FALSE;
        m_dTyped += key / 10.0;
        m_nDecimals = 1;
        swprintf(text, capacity, u"%.1f  ", m_dTyped);
        return TRUE;
    }
    if (key == PAGEKEY_POINT) {
        if (m_bPoint) return FALSE;
        // The point stands after the whole part shown: a present value's decimal goes.
        m_dTyped = std::trunc(m_dTyped);
        m_bPoint = 1;
        swprintf(text, capacity, u"%.0f.  ", m_dTyped);
        return TRUE;
    }
    if (m_nDecimals) {
        m_dTyped = std::trunc(m_dTyped);
        m_nDecimals = 0;
        swprintf(text, capacity, u"%.0f.  ", m_dTyped);
    } else if (m_bPoint) {
        m_bPoint = 0;
        swprintf(text, capacity, u"%.0f  ", m_dTyped);
    } else {
        m_dTyped = std::trunc(m_dTyped / 10);
        if (m_dTyped == 0) text[0] = 0;
        else swprintf(text, capacity, u"%.0f  ", m_dTyped);
    }
    return TRUE;
}

BOOL CPageKeypad::TimeKey(int key, WCHAR* text, size_t capacity) {
    if (key == PAGEKEY_POINT) return FALSE;
    if (key <= 9) {
        if (m_dwTypedTime * 10 + key > ENTRY_MAX_TIME) return FALSE;
        m_dwTypedTime = m_dwTypedTime * 10 + key;
    } else {
        m_dwTypedTime /= 10;
    }
    if (m_dwTypedTime == 0) text[0] = 0;
    else swprintf(text, capacity, u"%02d:%02d  ", static_cast<int>(m_dwTypedTime / 100), static_cast<int>(m_dwTypedTime % 100));
    return TRUE;
}

DWORD CPageKeypad::GetTypedSeconds() const {
    DWORD t = m_dwTypedTime;
    if (t % 100 >= 60) t += 40;
    return t / 100 * 3600 + t % 100 * 60;
}

void CPageKeypad::RangeText(WCHAR* out, size_t capacity, const WCHAR* text, double minimum, double maximum,
                            const WCHAR* unit) {
    swprintf(out, capacity, u"%s\r\n[%.01f~%.01f%s]", text ? text : u"", minimum, maximum, unit);
}
