#include "qrx/wstr.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace qrx {

// Shared with codepage.cpp: one strict UTF-8 reader and writer for the whole layer.
// Reads one sequence from p (n > 0 bytes). Returns the bytes taken; an ill-formed sequence takes its
// maximal well-formed prefix (at least one byte), gives U+FFFD and clears ok.
size_t DecodeUtf8(const unsigned char* p, size_t n, char32_t& cp, bool& ok) {
    unsigned char b0 = p[0];
    ok = false;
    cp = 0xFFFD;
    if (b0 < 0x80) {
        cp = b0;
        ok = true;
        return 1;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t value;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        value = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // overlong
        else if (b0 == 0xED)
            hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        value = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;  // overlong
        else if (b0 == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 1;
    }
    size_t i = 1;
    for (size_t k = 0; k < need; ++k, ++i) {
        if (i >= n) return i;
        unsigned char b = p[i];
        if (k == 0 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return i;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    ok = true;
    return i;
}

// Writes cp (a scalar value) as UTF-8 into out (4 bytes); returns the length.
size_t EncodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Reads one code point from UTF-16 text; a lone surrogate gives U+FFFD and clears ok.
size_t DecodeUtf16(const WCHAR* p, size_t n, char32_t& cp, bool& ok) {
    WCHAR c = p[0];
    ok = true;
    if (c < 0xD800 || c > 0xDFFF) {
        cp = c;
        return 1;
    }
    if (c <= 0xDBFF && n > 1 && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
        cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (p[1] - 0xDC00);
        return 2;
    }
    ok = false;
    cp = 0xFFFD;
    return 1;
}

}  // namespace qrx

std::string QrxToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    char buf[4];
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        bool ok;
        i += qrx::DecodeUtf16(text.data() + i, text.size() - i, cp, ok);
        out.append(buf, qrx::EncodeUtf8(cp, buf));
    }
    return out;
}

std::u16string QrxFromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        bool ok;
        i += qrx::DecodeUtf8(p + i, text.size() - i, cp, ok);
        if (cp >= 0x10000) {
            out.push_back(static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
    }
    return out;
}

size_t wcslen(const WCHAR* s) {
    if (!s) return 0;
    const WCHAR* p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
}

size_t wcsnlen(const WCHAR* s, size_t max) {
    if (!s) return 0;
    size_t n = 0;
    while (n < max && s[n]) ++n;
    return n;
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
    WCHAR* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i]; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = 0;
    return dst;
}

WCHAR* wcscat(WCHAR* dst, const WCHAR* src) {
    wcscpy(dst + wcslen(dst), src);
    return dst;
}

WCHAR* wcsncat(WCHAR* dst, const WCHAR* src, size_t n) {
    WCHAR* d = dst + wcslen(dst);
    size_t i = 0;
    for (; i < n && src[i]; ++i) d[i] = src[i];
    d[i] = 0;
    return dst;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i] || !a[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    }
    return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        WCHAR x = towlower16(*a), y = towlower16(*b);
        if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
    }
}

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = towlower16(a[i]), y = towlower16(b[i]);
        if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
    }
    return 0;
}

WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return const_cast<WCHAR*>(s);
        if (!*s) return nullptr;
    }
}

WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return const_cast<WCHAR*>(found);
    }
}

WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle) {
    if (!*needle) return const_cast<WCHAR*>(haystack);
    for (; *haystack; ++haystack) {
        size_t i = 0;
        while (needle[i] && haystack[i] == needle[i]) ++i;
        if (!needle[i]) return const_cast<WCHAR*>(haystack);
    }
    return nullptr;
}

WCHAR* _wcslwr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p) *p = towlower16(*p);
    return s;
}

WCHAR* _wcsupr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p) *p = towupper16(*p);
    return s;
}

WCHAR* _wcsdup(const WCHAR* s) {
    if (!s) return nullptr;
    size_t bytes = (wcslen(s) + 1) * sizeof(WCHAR);
    auto copy = static_cast<WCHAR*>(std::malloc(bytes));
    if (copy) std::memcpy(copy, s, bytes);
    return copy;
}

size_t wcsspn(const WCHAR* s, const WCHAR* accept) {
    size_t n = 0;
    while (s[n] && wcschr(accept, s[n])) ++n;
    return n;
}

size_t wcscspn(const WCHAR* s, const WCHAR* reject) {
    size_t n = 0;
    while (s[n] && !wcschr(reject, s[n])) ++n;
    return n;
}

WCHAR* wcstok(WCHAR* s, const WCHAR* delim, WCHAR** save) {
    if (!save || !delim) return nullptr;
    if (!s) s = *save;
    if (!s) return nullptr;
    s += wcsspn(s, delim);
    if (!*s) {
        *save = s;
        return nullptr;
    }
    WCHAR* e = s + wcscspn(s, delim);
    if (*e) {
        *e = 0;
        *save = e + 1;
    } else {
        *save = e;
    }
    return s;
}

namespace {

int DigitValue(WCHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// The common part of wcstol and wcstoul: the magnitude, saturated at the largest unsigned value.
struct Parsed {
    unsigned long long magnitude = 0;
    bool negative = false;
    bool overflow = false;
    bool valid = false;
};

Parsed ParseInteger(const WCHAR* s, WCHAR** end, int base) {
    Parsed r;
    const WCHAR* p = s;
    if (end) *end = const_cast<WCHAR*>(s);
    if (base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return r;
    }
    while (iswspace16(*p)) ++p;
    if (*p == '+' || *p == '-') r.negative = *p++ == '-';
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }
    const WCHAR* digits = p;
    for (int d; (d = DigitValue(*p)) < base; ++p) {
        if (r.magnitude > (ULLONG_MAX - static_cast<unsigned>(d)) / static_cast<unsigned>(base))
            r.overflow = true;
        else
            r.magnitude = r.magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (p == digits) return r;
    r.valid = true;
    if (end) *end = const_cast<WCHAR*>(p);
    return r;
}

}  // namespace

long wcstol(const WCHAR* s, WCHAR** end, int base) {
    Parsed r = ParseInteger(s, end, base);
    if (!r.valid) return 0;
    const unsigned long long limit =
        r.negative ? static_cast<unsigned long long>(LONG_MAX) + 1 : static_cast<unsigned long long>(LONG_MAX);
    if (r.overflow || r.magnitude > limit) {
        errno = ERANGE;
        return r.negative ? LONG_MIN : LONG_MAX;
    }
    if (r.negative) return r.magnitude == limit ? LONG_MIN : -static_cast<long>(r.magnitude);
    return static_cast<long>(r.magnitude);
}

unsigned long wcstoul(const WCHAR* s, WCHAR** end, int base) {
    Parsed r = ParseInteger(s, end, base);
    if (!r.valid) return 0;
    if (r.overflow || r.magnitude > ULONG_MAX) {
        errno = ERANGE;
        return ULONG_MAX;
    }
    unsigned long v = static_cast<unsigned long>(r.magnitude);
    return r.negative ? 0ul - v : v;
}

double wcstod(const WCHAR* s, WCHAR** end) {
    const WCHAR* p = s;
    while (iswspace16(*p)) ++p;
    // strtod reads only ASCII; hand it the ASCII run that can belong to a number.
    std::string ascii;
    for (const WCHAR* q = p; *q < 0x80; ++q) {
        char c = static_cast<char>(*q);
        bool part = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                    c == '+' || c == '-' || c == '(' || c == ')' || c == '_';
        if (!part) break;
        ascii.push_back(c);
    }
    char* stop = nullptr;
    double v = std::strtod(ascii.c_str(), &stop);
    size_t used = static_cast<size_t>(stop - ascii.c_str());
    if (end) *end = const_cast<WCHAR*>(used ? p + used : s);
    return v;
}

int _wtoi(const WCHAR* s) {
    long v = wcstol(s, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

long _wtol(const WCHAR* s) {
    // The platform's long is 32 bits: saturate as it does.
    long v = wcstol(s, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return v;
}

double _wtof(const WCHAR* s) { return wcstod(s, nullptr); }

WCHAR* _itow(int value, WCHAR* buffer, int radix) {
    if (!buffer) return nullptr;
    if (radix < 2 || radix > 36) {
        buffer[0] = 0;
        return buffer;
    }
    // Only radix 10 is signed; other radixes show the bits, as the platform does.
    bool negative = radix == 10 && value < 0;
    unsigned int u = negative ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    WCHAR tmp[33];
    int n = 0;
    do {
        unsigned d = u % static_cast<unsigned>(radix);
        tmp[n++] = static_cast<WCHAR>(d < 10 ? '0' + d : 'a' + d - 10);
        u /= static_cast<unsigned>(radix);
    } while (u);
    WCHAR* p = buffer;
    if (negative) *p++ = '-';
    while (n) *p++ = tmp[--n];
    *p = 0;
    return buffer;
}

int iswspace16(WCHAR c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

int iswdigit16(WCHAR c) { return c >= '0' && c <= '9'; }

namespace {

// Latin Extended-A: runs where the capital sits on the even code and runs where it sits on the odd.
bool UpperOnEven(WCHAR c) {
    return (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
}
bool UpperOnOdd(WCHAR c) { return (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E); }

}  // namespace

WCHAR towlower16(WCHAR c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + 32) : c;
    if (c < 0x100) return (c >= 0xC0 && c <= 0xDE && c != 0xD7) ? static_cast<WCHAR>(c + 32) : c;
    if (c >= 0x180) return c;
    if (UpperOnEven(c)) return (c & 1) ? c : static_cast<WCHAR>(c + 1);
    if (UpperOnOdd(c)) return (c & 1) ? static_cast<WCHAR>(c + 1) : c;
    if (c == 0x130) return u'i';
    if (c == 0x178) return 0xFF;
    return c;
}

WCHAR towupper16(WCHAR c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 32) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 32);
        return c == 0xFF ? static_cast<WCHAR>(0x178) : c;
    }
    if (c >= 0x180) return c;
    if (UpperOnEven(c)) return (c & 1) ? static_cast<WCHAR>(c - 1) : c;
    if (UpperOnOdd(c)) return (c & 1) ? c : static_cast<WCHAR>(c - 1);
    if (c == 0x131) return u'I';
    if (c == 0x17F) return u'S';
    return c;
}

size_t QrxStrCopy(WCHAR* dst, size_t capacity, const WCHAR* src) {
    if (!dst || capacity == 0) return 0;
    size_t n = src ? wcsnlen(src, capacity - 1) : 0;
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    dst[n] = 0;
    return n;
}

size_t QrxStrAppend(WCHAR* dst, size_t capacity, const WCHAR* src) {
    if (!dst || capacity == 0) return 0;
    size_t used = wcsnlen(dst, capacity);
    if (used == capacity) {
        // Not terminated within its capacity: terminate it, append nothing.
        dst[capacity - 1] = 0;
        return 0;
    }
    return QrxStrCopy(dst + used, capacity - used, src);
}
