#include "numpad/NumpadCalc.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kErrorText[] = "Error";

}  // namespace

CNumpadCalc::CNumpadCalc() : m_dwAnswer(0) { Clear(); }

void CNumpadCalc::Clear() {
    m_dValue = 0;
    m_nPending = 0;
    ClearEntry();
    m_show = ShowValue;
    std::strcpy(m_szValue, "0");
}

void CNumpadCalc::ClearEntry() {
    std::memset(m_szEntry, 0, sizeof m_szEntry);
    m_nLength = 0;
    m_bPoint = 0;
}

void CNumpadCalc::SetEntry(const char* text) {
    ClearEntry();
    size_t n = std::min<size_t>(std::strlen(text), NP_ENTRY_SIZE);
    std::memcpy(m_szEntry, text, n);
    m_nLength = static_cast<int>(n);
    m_bPoint = std::memchr(text, '.', n) != nullptr;
}

const char* CNumpadCalc::DisplayText() const {
    switch (m_show) {
        case ShowEntry:
            return m_szEntry;
        case ShowError:
            return kErrorText;
        default:
            return m_szValue;
    }
}

bool CNumpadCalc::FormatValue(double value, char* text, size_t capacity) {
    if (capacity) text[0] = 0;
    if (!std::isfinite(value) || capacity < NP_MAX_DIGITS + 4) return false;
    const double whole = std::trunc(value);
    if (std::fabs(whole) >= 1e15) return false;
    int digits = 1;
    for (double w = std::fabs(whole); w >= 10; w /= 10) ++digits;
    // The fraction rounded to 11 places decides whether decimals are shown at all.
    const double fraction = std::floor(std::fabs(value - whole) * 1e11 + 0.5) / 1e11;
    const int decimals = std::min(8, NP_MAX_DIGITS - digits);
    if (std::trunc(fraction * 1e8) == 0 || decimals <= 0) {
        std::snprintf(text, capacity, "%lld", static_cast<long long>(whole));
        return true;
    }
    std::snprintf(text, capacity, "%.*f", decimals, value);
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == '0') text[--n] = 0;
    if (n > 0 && text[n - 1] == '.') text[--n] = 0;
    return true;
}

double CNumpadCalc::EntryNumber() const { return std::strtod(m_szEntry, nullptr); }

void CNumpadCalc::Apply(int op) {
    const double e = EntryNumber();
    switch (op) {
        case 1: m_dValue /= e; break;
        case 2: m_dValue *= e; break;
        case 3: m_dValue -= e; break;
        case 4: m_dValue += e; break;
        default: m_dValue = e; break;
    }
    if (!FormatValue(m_dValue, m_szValue, sizeof m_szValue)) {
        // Too large to show, or not a number (x / 0): start again from 0.
        Clear();
        m_show = ShowError;
        return;
    }
    SetEntry(m_szValue);
    m_show = ShowValue;
}

CNumpadCalc::Action CNumpadCalc::Press(int key) {
    if (key >= 0 && key <= 9) {
        if (m_nLength >= NP_MAX_DIGITS) return None;
        m_szEntry[m_nLength++] = static_cast<char>('0' + key);
        m_show = ShowEntry;
        return Redraw;
    }
    switch (key) {
        case NPK_POINT:
            if (m_bPoint || m_nLength >= NP_ENTRY_SIZE) return None;
            m_szEntry[m_nLength++] = '.';
            m_bPoint = 1;
            m_show = ShowEntry;
            return Redraw;
        case NPK_BACK:
            if (m_nLength > 1) {
                if (m_szEntry[--m_nLength] == '.') m_bPoint = 0;
                m_szEntry[m_nLength] = 0;
                m_show = ShowEntry;
            } else {
                Clear();
            }
            return Redraw;
        case NPK_CLEAR:
            Clear();
            return Redraw;
        case NPK_DIVIDE:
        case NPK_MULTIPLY:
        case NPK_SUBTRACT:
        case NPK_ADD:
            Apply(m_nPending);
            if (m_show == ShowError) return Redraw;
            ClearEntry();
            m_nPending = key - 12;
            return Redraw;
        case NPK_EQUALS:
            Apply(m_nPending);
            m_nPending = 0;
            return Redraw;
        case NPK_INSERT: {
            // A pending operation is applied first, so the value sent is the one shown.
            Apply(m_nPending);
            m_nPending = 0;
            if (m_show == ShowError) return Redraw;
            const double tenths = std::nearbyint(m_dValue * 10);
            if (!(tenths >= 0 && tenths <= NP_MAX_TENTHS)) {
                m_show = ShowError;
                return Redraw;
            }
            m_dwAnswer = static_cast<DWORD>(tenths);
            return Insert;
        }
        case NPK_OFF:
            return Off;
        default:
            return None;
    }
}
