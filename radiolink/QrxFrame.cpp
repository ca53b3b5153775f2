#include "radiolink/QrxFrame.h"

#include <cstdio>
#include <cstring>

namespace qrxframe {
namespace {

const char kDigits[] = "0123456789ABCDEF";

// Only upper-case digits: the frame's sum is written so, and a lower-case one is a checksum error.
int UpperHex(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Param KindOf(char letter, char digit) {
    switch (letter) {
        case 'B':
            if (digit == '3') return Param::Link;
            if (digit == '4') return Param::Field;
            if (digit == '5' || digit == '6') return Param::Char;
            return Param::None;
        case 'C':
            return digit == '6' ? Param::Char : Param::None;
        case 'S':
            return digit == '1' ? Param::None : Param::Field;
        default:
            return Param::Field;  // E and H
    }
}

}  // namespace

uint8_t Sum(const uint8_t* bytes, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

size_t FormatFrame(const char* body, size_t bodyLength, char* out, size_t outSize) {
    if (body == nullptr || out == nullptr || bodyLength == 0 || bodyLength > kMaxBody) return 0;
    const size_t length = kHeadLength + bodyLength + 4;
    if (outSize < length + 1) return 0;
    const uint8_t sum = Sum(reinterpret_cast<const uint8_t*>(body), bodyLength);
    std::memcpy(out, kHead, kHeadLength);
    std::memcpy(out + kHeadLength, body, bodyLength);
    char* tail = out + kHeadLength + bodyLength;
    tail[0] = kDigits[sum >> 4];
    tail[1] = kDigits[sum & 15];
    tail[2] = '\r';
    tail[3] = '\n';
    tail[4] = '\0';
    return length;
}

size_t FormatError(int code, char* out, size_t outSize) {
    if (code < 0 || code > 999) return 0;
    char body[8];
    std::snprintf(body, sizeof body, "ER,%03d,", code);
    return FormatFrame(body, 7, out, outSize);
}

unsigned MessageOfCode(char letter, char digit) {
    if (digit < '0' || digit > '9') return 0;
    const unsigned d = static_cast<unsigned>(digit - '0');
    switch (letter) {
        case 'B':
            return d <= 7 ? kFirstMessage + d : 0;
        case 'C':
            return d <= 6 ? kFirstMessage + 10 + d : 0;
        case 'E':
            return d <= 3 ? kFirstMessage + 20 + d : 0;
        case 'H':
            return d == 9 ? kFirstMessage + 29 : kFirstMessage + 30 + d;
        case 'S': {
            static const unsigned s[] = {40, 42, 41, 43};
            return d <= 3 ? kFirstMessage + s[d] : 0;
        }
        default:
            return 0;
    }
}

void ParseLine(const uint8_t* line, size_t length, bool streaming, const Rules& rules, Request& out) {
    out = Request{};
    if (line == nullptr || length < kMinLine || std::memcmp(line, kHead, kHeadLength) != 0) {
        if (rules.answerBadHead) {
            out.outcome = Outcome::Error;
            out.error = kErrorCode;
        }
        return;
    }
    // The body runs from the code up to the byte before the two digits, which precede CR LF.
    const int hi = UpperHex(line[length - 4]), lo = UpperHex(line[length - 3]);
    out.sumComputed = Sum(line + kHeadLength, length - 4 - kHeadLength);
    out.sumReceived = hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
    if (out.sumReceived != out.sumComputed) {
        out.outcome = Outcome::Error;
        out.error = kErrorChecksum;
        return;
    }
    const char letter = static_cast<char>(line[5]), digit = static_cast<char>(line[6]);
    if (rules.unitReplies && letter == 'D' && digit >= '0' && digit <= '4') {
        out.outcome = Outcome::Unit;
        out.unit = digit - '0';
        return;
    }
    out.message = MessageOfCode(letter, digit);
    if (out.message == 0) {
        out.outcome = Outcome::Error;
        out.error = kErrorCode;
        return;
    }
    if (streaming && letter == 'B' && digit == '0') {
        out.message = 0;
        return;
    }

    // The field: from the comma after the code to the next comma (E3: to the LF).
    const bool toLineEnd = letter == 'E' && digit == '3';
    size_t start = 7;
    while (start < length && line[start] != ',') ++start;
    const Param kind = KindOf(letter, digit);
    bool closed = false;
    if (start < length) {
        ++start;
        size_t end = start;
        if (toLineEnd) {
            end = line[length - 1] == '\n' ? length - 1 : length;
        } else {
            while (end < length && line[end] != ',') ++end;
        }
        if (end < length || toLineEnd) {
            closed = true;
            if (end - start > kMaxField) {
                out.message = 0;
                out.outcome = Outcome::Error;
                out.error = kErrorCode;
                return;
            }
            std::memcpy(out.field, line + start, end - start);
        }
    }

    if (!closed && kind == Param::Field && rules.fieldNeedsComma) {
        out.message = 0;
        out.outcome = Outcome::Error;
        out.error = kErrorCode;
        return;
    }
    out.outcome = Outcome::Request;
    out.kind = kind;
    switch (out.kind) {
        case Param::Char:
            out.param = line[8];
            break;
        case Param::Link:
            out.param = rules.linkParam;
            break;
        default:
            out.param = 0;
            break;
    }
}

bool LineCutter::Push(uint8_t b) {
    m_done = 0;
    if (m_skipping) {
        if (b != '$') return false;
        m_skipping = false;
    }
    if (m_index >= kMaxLine) {
        m_index = 0;
        if (m_resync) m_skipping = b != '$';
        if (!m_resync || m_skipping) return false;
    }
    m_line[m_index++] = b;
    if (b != '\n') return false;
    m_done = m_index;
    m_index = 0;
    m_skipping = m_resync;
    return true;
}

}  // namespace qrxframe
