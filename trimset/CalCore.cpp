// Entry fields, the reply state machine and the reply texts of the calibration tool.
#include "trimset/CalCore.h"

#include <cmath>
#include <cstring>

void CCalField::Init(BOOL digitsOnly, const WCHAR* text) {
    m_digitsOnly = digitsOnly;
    QrxStrCopy(m_text, CAL_FIELD_MAX + 1, text);
    m_count = static_cast<int>(wcslen(m_text));
}

BOOL CCalField::Key(WCHAR c) {
    if (m_count >= CAL_FIELD_MAX) return FALSE;
    const bool digit = c >= u'0' && c <= u'9';
    if (c == u'0' && m_count == 0) return FALSE;
    if (!digit) {
        if (c != u'.' || m_digitsOnly || m_count == 0 || wcschr(m_text, u'.')) return FALSE;
    }
    m_text[m_count++] = c;
    m_text[m_count] = 0;
    return TRUE;
}

void CCalField::Clear() {
    m_text[0] = 0;
    m_count = 0;
}

BOOL CalHundredths(const WCHAR* text, WORD* out) {
    DWORD value = 0;
    int decimals = -1;  // digits after the point, -1 before it
    for (const WCHAR* p = text; *p; ++p) {
        if (*p == u'.') {
            if (decimals >= 0) return FALSE;
            decimals = 0;
            continue;
        }
        if (*p < u'0' || *p > u'9') return FALSE;
        if (decimals >= 2) continue;
        if (decimals >= 0) ++decimals;
        value = value * 10 + static_cast<DWORD>(*p - u'0');
        if (value > 6553500) return FALSE;
    }
    for (int d = decimals < 0 ? 0 : decimals; d < 2; ++d) value *= 10;
    if (value > 65535) return FALSE;
    *out = static_cast<WORD>(value);
    return TRUE;
}

BOOL CalWholeNumber(const WCHAR* text, WORD* out) {
    DWORD value = 0;
    for (const WCHAR* p = text; *p; ++p) {
        if (*p < u'0' || *p > u'9') return FALSE;
        value = value * 10 + static_cast<DWORD>(*p - u'0');
        if (value > 65535) return FALSE;
    }
    *out = static_cast<WORD>(value);
    return TRUE;
}

BOOL CCalReceiver::Push(BYTE b) {
    if (b == 0x81) {
        m_inFrame = true;
        m_escape = false;
        m_length = 0;
        m_sum = 0x81;
        return FALSE;
    }
    if (!m_inFrame) return FALSE;
    if (b == 0x82) {
        // A dangling escape leaves the frame whole in no sense: dropped with the rest.
        const bool good = !m_escape && m_sum == 0x7E && m_length >= 3;
        m_inFrame = false;
        return good ? TRUE : FALSE;
    }
    if (m_escape) {
        b = static_cast<BYTE>(0x80 | b);
        m_escape = false;
    } else if (b == 0x80) {
        m_escape = true;
        return FALSE;
    }
    if (m_length >= CAL_FRAME_MAX) {
        m_inFrame = false;
        return FALSE;
    }
    m_frame[m_length++] = b;
    m_sum = static_cast<BYTE>(m_sum + b);
    return FALSE;
}

void CalFormatFloat(WCHAR* out, size_t capacity, float value, int decimals) {
    if (!std::isfinite(value) || std::fabs(value) >= 1e7f) {
        QrxStrCopy(out, capacity, u"---");
        return;
    }
    swprintf(out, capacity, u"%.*f", decimals, static_cast<double>(value));
}

namespace {

SHORT Be16(const BYTE* p) { return static_cast<SHORT>(p[0] << 8 | p[1]); }
float Float(const BYTE* p) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
}

void AmpTexts(const CalValues& v, CalTexts& t) {
    WCHAR scale[24], disScale[24];
    CalFormatFloat(scale, 24, v.ampScale, 6);
    CalFormatFloat(disScale, 24, v.disScale, 6);
    swprintf(t.amp, sizeof t.amp / sizeof t.amp[0], u"Amp Offset : %d, ScaleF : %s\r\nDisA Offset : %d, ScaleF : %s\r\n",
             v.ampOffset, scale, v.disOffset, disScale);
}

}  // namespace

UINT CalHandleReply(const BYTE* frame, DWORD length, BOOL takePt100, BOOL model, CalValues& v, CalTexts& t,
                    WPARAM* wParam) {
    if (length < 3 || frame[0] != 0x03) return 0;
    const BYTE code = frame[1];
    const BYTE* data = frame + 2;
    const DWORD n = length - 3;  // data bytes, without the checksum
    *wParam = 0;
    switch (code) {
        case 0x01:
        case 0x03:
            if (n < 1) return 0;
            *wParam = data[0];
            return code == 0x01 ? WM_CAL_VOLT_OFFSET : WM_CAL_AMP_OFFSET;
        case 0x02:
        case 0x04:
            if (n < 3) return 0;
            *wParam = data[2];
            return code == 0x02 ? WM_CAL_VOLT_SCALE : WM_CAL_AMP_SCALE;
        case 0x05:
            return WM_CAL_EEPROM_WRITTEN;
        case 0x06:
            return WM_CAL_EEPROM_ERASED;
        case 0x07: {
            if (n < (takePt100 ? 14u : 12u)) return 0;
            v.voltOffset = Be16(data);
            v.voltScale = Float(data + 2);
            v.ampOffset = Be16(data + 6);
            v.ampScale = Float(data + 8);
            if (takePt100) v.pt100 = static_cast<WORD>(Be16(data + 12));
            WCHAR scale[24];
            CalFormatFloat(scale, 24, v.voltScale, 6);
            swprintf(t.volt, sizeof t.volt / sizeof t.volt[0], u"Volt Offset : %d, ScaleF : %s\r\nPT100 : %d",
                     v.voltOffset, scale, v.pt100);
            if (!model) {
                CalFormatFloat(scale, 24, v.ampScale, 2);
                swprintf(t.amp, sizeof t.amp / sizeof t.amp[0], u"Amp Offset : %d, ScaleF : %s", v.ampOffset, scale);
            }
            *wParam = code;
            return WM_CAL_VALUES;
        }
        case 0x0A:
            if (n < 10) return 0;
            v.disOffset = Be16(data);
            v.disScale = Float(data + 2);
            v.ntc1 = static_cast<WORD>(Be16(data + 6));
            v.ntc2 = static_cast<WORD>(Be16(data + 8));
            swprintf(t.ntc1, sizeof t.ntc1 / sizeof t.ntc1[0], u"%d", v.ntc1);
            swprintf(t.ntc2, sizeof t.ntc2 / sizeof t.ntc2[0], u"%d", v.ntc2);
            AmpTexts(v, t);
            *wParam = code;
            return WM_CAL_VALUES;
        default:
            return 0;
    }
}

void CalRunStart(BOOL charge, int port, WORD volts, WORD amps, BYTE p[6][5], DWORD lengths[6]) {
    const WORD setVolts = charge ? volts : 200;
    const BYTE rows[6][4] = {
        {0x01, 0x02, 0x10, static_cast<BYTE>(setVolts & 0xFF)},
        {0x01, 0x02, 0x11, static_cast<BYTE>(amps & 0xFF)},
        {0x01, 0x02, 0x14, static_cast<BYTE>(charge ? 0 : 1)},
        {0x01, 0x02, 0x1A, static_cast<BYTE>(!charge || port == 6 ? 1 : 0)},
        {0x01, 0x02, 0x19, static_cast<BYTE>(charge ? 0 : 1)},
        {0x01, 0x02, 0x15, 0x01},
    };
    for (int i = 0; i < 6; ++i) {
        std::memcpy(p[i], rows[i], 4);
        lengths[i] = 4;
    }
    p[0][4] = static_cast<BYTE>(setVolts >> 8);
    p[1][4] = static_cast<BYTE>(amps >> 8);
    lengths[0] = lengths[1] = 5;
}
