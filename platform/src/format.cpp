#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "qrx/codepage.h"
#include "qrx/wstr.h"

namespace {

// Where the text goes: at most `room` characters (the terminator's place is kept apart). Once a
// character does not fit the rest of the format is skipped, since the result is then -1 anyway.
struct Sink {
    WCHAR* buf;
    size_t room;
    size_t len = 0;
    bool overflow = false;
    bool error = false;

    bool Stopped() const { return overflow || error; }
    size_t Free() const { return room - len; }
    void Put(WCHAR c) {
        if (len < room)
            buf[len++] = c;
        else
            overflow = true;
    }
    void Repeat(WCHAR c, size_t n) {
        size_t k = n < Free() ? n : Free();
        for (size_t i = 0; i < k; ++i) buf[len + i] = c;
        len += k;
        if (k < n) overflow = true;
    }
    void Wide(const WCHAR* s, size_t n) {
        size_t k = n < Free() ? n : Free();
        std::memcpy(buf + len, s, k * sizeof(WCHAR));
        len += k;
        if (k < n) overflow = true;
    }
    void Ascii(const char* s, size_t n) {
        size_t k = n < Free() ? n : Free();
        for (size_t i = 0; i < k; ++i) buf[len + i] = static_cast<unsigned char>(s[i]);
        len += k;
        if (k < n) overflow = true;
    }
};

enum class Size { None, Char, Short, Long, LongLong, SizeT, I32, I64 };

struct Conversion {
    bool left = false, plus = false, space = false, zero = false, alt = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    Size size = Size::None;
    WCHAR conv = 0;
};

// Pads a field of `len` characters to the width: spaces before or after it.
struct Field {
    Sink& out;
    const Conversion& conv;
    size_t len;
    Field(Sink& o, const Conversion& s, size_t n) : out(o), conv(s), len(n) {
        if (!conv.left && conv.width > len) out.Repeat(u' ', conv.width - len);
    }
    ~Field() {
        if (conv.left && conv.width > len) out.Repeat(u' ', conv.width - len);
    }
};

size_t ReadNumber(const WCHAR*& p) {
    size_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v > INT_MAX / 10 ? static_cast<size_t>(INT_MAX) + 1 : v * 10 + static_cast<size_t>(*p - '0');
        ++p;
    }
    return v;
}

void FormatInteger(Sink& out, const Conversion& conv, unsigned long long magnitude, bool negative, bool isSigned) {
    char digits[24];
    size_t n = 0;
    unsigned base = 10;
    const char* set = "0123456789abcdef";
    if (conv.conv == 'x' || conv.conv == 'p') base = 16;
    if (conv.conv == 'X') {
        base = 16;
        set = "0123456789ABCDEF";
    }
    if (conv.conv == 'o') base = 8;
    size_t precision = conv.hasPrecision ? conv.precision : 1;
    for (unsigned long long v = magnitude; v; v /= base) digits[n++] = set[v % base];
    if (magnitude == 0 && precision > 0) digits[n++] = '0';

    char prefix[2];
    size_t prefixLen = 0;
    if (isSigned) {
        if (negative)
            prefix[prefixLen++] = '-';
        else if (conv.plus)
            prefix[prefixLen++] = '+';
        else if (conv.space)
            prefix[prefixLen++] = ' ';
    } else if (conv.alt && base == 16 && (magnitude != 0 || conv.conv == 'p')) {
        prefix[prefixLen++] = '0';
        prefix[prefixLen++] = conv.conv == 'X' ? 'X' : 'x';
    }
    size_t zeros = precision > n ? precision - n : 0;
    if (conv.alt && base == 8 && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;
    size_t len = prefixLen + zeros + n;
    if (conv.zero && !conv.left && !conv.hasPrecision && conv.width > len) {
        zeros += conv.width - len;
        len = conv.width;
    }
    Field field(out, conv, len);
    out.Ascii(prefix, prefixLen);
    out.Repeat(u'0', zeros);
    while (n && !out.Stopped()) out.Put(static_cast<WCHAR>(digits[--n]));
}

void FormatFloat(Sink& out, const Conversion& conv, double value) {
    // The C library gives the exact digits; width and padding are done here so that no field
    // width, however large, makes it produce text that could never fit.
    char fmt[16];
    size_t f = 0;
    fmt[f++] = '%';
    if (conv.plus) fmt[f++] = '+';
    if (conv.space) fmt[f++] = ' ';
    if (conv.alt) fmt[f++] = '#';
    fmt[f++] = '.';
    fmt[f++] = '*';
    fmt[f++] = static_cast<char>(conv.conv);
    fmt[f] = 0;
    int precision = conv.hasPrecision ? static_cast<int>(conv.precision > INT_MAX ? INT_MAX : conv.precision) : 6;

    char local[512];
    char* text = local;
    std::string big;
    int n = std::snprintf(local, sizeof local, fmt, precision, value);
    if (n < 0) {
        out.error = true;
        return;
    }
    size_t len = static_cast<size_t>(n);
    if (len >= sizeof local && out.Free() >= sizeof local) {
        // Only the part that can still be stored is needed.
        size_t want = len < out.Free() ? len : out.Free();
        big.resize(want + 1);
        std::snprintf(big.data(), want + 1, fmt, precision, value);
        text = big.data();
    }
    size_t stored = len < sizeof local ? len : (text == local ? sizeof local - 1 : big.size() - 1);

    if (conv.zero && !conv.left && std::isfinite(value) && conv.width > len) {
        size_t sign = (text[0] == '-' || text[0] == '+' || text[0] == ' ') ? 1 : 0;
        out.Ascii(text, sign);
        out.Repeat(u'0', conv.width - len);
        out.Ascii(text + sign, stored - sign);
    } else {
        Field field(out, conv, len);
        out.Ascii(text, stored);
    }
    if (stored < len) out.overflow = true;
}

void FormatWideString(Sink& out, const Conversion& conv, const WCHAR* s) {
    if (!s) s = u"(null)";
    size_t n = conv.hasPrecision ? wcsnlen(s, conv.precision) : wcslen(s);
    Field field(out, conv, n);
    out.Wide(s, n);
}

// 8-bit text is read in the ANSI code page, as the platform does.
void FormatNarrowString(Sink& out, const Conversion& conv, const char* s) {
    if (!s) s = "(null)";
    size_t n = conv.hasPrecision ? strnlen(s, conv.precision) : std::strlen(s);
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
    if (ascii) {
        Field field(out, conv, n);
        out.Ascii(s, n);
        return;
    }
    int bytes = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    int wide = MultiByteToWideChar(CP_ACP, 0, s, bytes, nullptr, 0);
    if (wide <= 0) {
        out.error = true;
        return;
    }
    WCHAR local[256];
    std::u16string big;
    WCHAR* text = local;
    if (static_cast<size_t>(wide) > sizeof local / sizeof local[0]) {
        big.resize(static_cast<size_t>(wide));
        text = big.data();
    }
    wide = MultiByteToWideChar(CP_ACP, 0, s, bytes, text, wide);
    if (wide <= 0) {
        out.error = true;
        return;
    }
    Field field(out, conv, static_cast<size_t>(wide));
    out.Wide(text, static_cast<size_t>(wide));
}

WCHAR NarrowChar(int c) {
    char b = static_cast<char>(c);
    if (static_cast<unsigned char>(b) < 0x80) return static_cast<unsigned char>(b);
    WCHAR w = 0xFFFD;
    if (MultiByteToWideChar(CP_ACP, 0, &b, 1, &w, 1) != 1) w = 0xFFFD;
    return w;
}

long long SignedArg(Size size, va_list& args) {
    switch (size) {
        case Size::Char:
            return static_cast<signed char>(va_arg(args, int));
        case Size::Short:
            return static_cast<short>(va_arg(args, int));
        case Size::LongLong:
        case Size::I64:
            return va_arg(args, long long);
        case Size::SizeT:
            return va_arg(args, ptrdiff_t);
        default:
            return va_arg(args, int);  // the platform's long is 32 bits
    }
}

unsigned long long UnsignedArg(Size size, va_list& args) {
    switch (size) {
        case Size::Char:
            return static_cast<unsigned char>(va_arg(args, unsigned int));
        case Size::Short:
            return static_cast<unsigned short>(va_arg(args, unsigned int));
        case Size::LongLong:
        case Size::I64:
            return va_arg(args, unsigned long long);
        case Size::SizeT:
            return va_arg(args, size_t);
        default:
            return va_arg(args, unsigned int);
    }
}

void Run(Sink& out, const WCHAR* format, va_list& args) {
    const WCHAR* p = format;
    while (*p && !out.Stopped()) {
        if (*p != '%') {
            const WCHAR* run = p;
            while (*p && *p != '%') ++p;
            out.Wide(run, static_cast<size_t>(p - run));
            continue;
        }
        const WCHAR* start = p++;
        Conversion conv;
        for (;; ++p) {
            if (*p == '-')
                conv.left = true;
            else if (*p == '+')
                conv.plus = true;
            else if (*p == ' ')
                conv.space = true;
            else if (*p == '0')
                conv.zero = true;
            else if (*p == '#')
                conv.alt = true;
            else
                break;
        }
        if (*p == '*') {
            ++p;
            long long w = va_arg(args, int);
            if (w < 0) {
                conv.left = true;
                w = -w;
            }
            conv.width = static_cast<size_t>(w);
        } else {
            conv.width = ReadNumber(p);
        }
        if (*p == '.') {
            ++p;
            conv.hasPrecision = true;
            if (*p == '*') {
                ++p;
                int v = va_arg(args, int);
                if (v < 0)
                    conv.hasPrecision = false;
                else
                    conv.precision = static_cast<size_t>(v);
            } else {
                conv.precision = ReadNumber(p);
            }
        }
        if (p[0] == 'h' && p[1] == 'h') {
            conv.size = Size::Char;
            p += 2;
        } else if (p[0] == 'h') {
            conv.size = Size::Short;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            conv.size = Size::LongLong;
            p += 2;
        } else if (p[0] == 'l') {
            conv.size = Size::Long;
            ++p;
        } else if (p[0] == 'z') {
            conv.size = Size::SizeT;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            conv.size = Size::I64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            conv.size = Size::I32;
            p += 3;
        }
        conv.conv = *p;
        switch (conv.conv) {
            case 'd':
            case 'i': {
                long long v = SignedArg(conv.size, args);
                unsigned long long m =
                    v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
                FormatInteger(out, conv, m, v < 0, true);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                FormatInteger(out, conv, UnsignedArg(conv.size, args), false, false);
                break;
            case 'p': {
                auto v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
                if (v == 0) {
                    Conversion s = conv;
                    s.hasPrecision = false;
                    FormatWideString(out, s, u"(nil)");
                } else {
                    conv.alt = true;
                    FormatInteger(out, conv, v, false, false);
                }
                break;
            }
            case 'c':
            case 'C': {
                int v = va_arg(args, int);
                bool narrow = conv.conv == 'c' ? conv.size == Size::Short : conv.size != Size::Long;
                WCHAR c = narrow ? NarrowChar(v) : static_cast<WCHAR>(v);
                Field field(out, conv, 1);
                out.Put(c);
                break;
            }
            case 's':
            case 'S': {
                bool narrow = conv.conv == 's' ? conv.size == Size::Short : conv.size != Size::Long;
                if (narrow)
                    FormatNarrowString(out, conv, va_arg(args, const char*));
                else
                    FormatWideString(out, conv, va_arg(args, const WCHAR*));
                break;
            }
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
                FormatFloat(out, conv, va_arg(args, double));
                break;
            case '%':
                out.Put(u'%');
                break;
            default:
                // Not a conversion: the text stays as written.
                if (*p) ++p;
                out.Wide(start, static_cast<size_t>(p - start));
                continue;
        }
        ++p;
    }
}

// Formats into buffer; returns the length, or -1 when the text was cut (truncatedLength false) or
// could not be formed. The text always ends with a NUL when count > 0.
int Format(WCHAR* buffer, size_t count, const WCHAR* format, va_list args, bool truncatedLength) {
    if (!buffer || count == 0) return -1;
    Sink out{buffer, count - 1};
    if (format) {
        va_list ap;
        va_copy(ap, args);
        Run(out, format, ap);
        va_end(ap);
    }
    if (out.overflow && out.len && buffer[out.len - 1] >= 0xD800 && buffer[out.len - 1] <= 0xDBFF)
        --out.len;  // never leave half of a surrogate pair at the cut
    buffer[out.len] = 0;
    if (!format || out.error || (out.overflow && !truncatedLength) || out.len > INT_MAX) return -1;
    return static_cast<int>(out.len);
}

}  // namespace

int vswprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
    return Format(buffer, count, format, args, false);
}

int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = Format(buffer, count, format, args, false);
    va_end(args);
    return n;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = Format(buffer, count, format, args, false);
    va_end(args);
    return n;
}

int wsprintfW(WCHAR* buffer, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    // The platform cuts the text at its limit and reports what it stored.
    int n = Format(buffer, 1024, format, args, true);
    va_end(args);
    return n;
}
