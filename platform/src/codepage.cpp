#include "qrx/codepage.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "qrx/wstr.h"

namespace qrx {
// From wstr.cpp.
size_t DecodeUtf8(const unsigned char* p, size_t n, char32_t& cp, bool& ok);
size_t EncodeUtf8(char32_t cp, char* out);
size_t DecodeUtf16(const WCHAR* p, size_t n, char32_t& cp, bool& ok);
}  // namespace qrx

namespace {

struct Page {
    UINT id;
    const char* iconvName;  // nullptr: UTF-8, converted here
    bool doubleByte;
};

const Page kPages[] = {
    {CP_UTF8, nullptr, false}, {437, "CP437", false}, {874, "CP874", false},   {932, "CP932", true},
    {936, "CP936", true},      {949, "CP949", true},  {1252, "CP1252", false},
};
constexpr size_t kPageCount = sizeof kPages / sizeof kPages[0];

const char* WideName() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

UINT ResolvePage(UINT codePage) {
    if (codePage == CP_ACP) return GetACP();
    if (codePage == CP_OEMCP) return GetOEMCP();
    return codePage;
}

// Index into kPages, or -1.
int FindPage(UINT codePage) {
    UINT id = ResolvePage(codePage);
    for (size_t i = 0; i < kPageCount; ++i)
        if (kPages[i].id == id) return static_cast<int>(i);
    return -1;
}

const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

// iconv descriptors are costly to open and not safe to share, so each thread keeps its own.
class IconvCache {
public:
    ~IconvCache() {
        for (auto& e : m_entries) {
            if (e.toWide != kNoIconv) iconv_close(e.toWide);
            if (e.fromWide != kNoIconv) iconv_close(e.fromWide);
        }
    }
    iconv_t& Slot(int page, bool toWide) { return toWide ? m_entries[page].toWide : m_entries[page].fromWide; }

private:
    struct Entry {
        iconv_t toWide = kNoIconv;
        iconv_t fromWide = kNoIconv;
    };
    Entry m_entries[kPageCount];
};

// Set when this thread's cache is gone (thread or program exit), so that a conversion made by a
// later destructor opens a descriptor of its own instead of touching the destroyed cache.
thread_local bool t_cacheGone = false;

struct CacheHolder {
    IconvCache cache;
    ~CacheHolder() { t_cacheGone = true; }
};

// A descriptor in its initial state; cd is kNoIconv when iconv cannot convert the page.
class Converter {
public:
    Converter(int page, bool toWide) {
        if (!t_cacheGone) {
            thread_local CacheHolder holder;
            iconv_t& slot = holder.cache.Slot(page, toWide);
            if (slot == kNoIconv) {
                slot = Open(page, toWide);
            } else {
                iconv(slot, nullptr, nullptr, nullptr, nullptr);
            }
            cd = slot;
        } else {
            cd = Open(page, toWide);
            m_owned = true;
        }
    }
    ~Converter() {
        if (m_owned && cd != kNoIconv) iconv_close(cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    iconv_t cd;

private:
    static iconv_t Open(int page, bool toWide) {
        const char* name = kPages[page].iconvName;
        return toWide ? iconv_open(WideName(), name) : iconv_open(name, WideName());
    }
    bool m_owned = false;
};

// Bytes that the platform's 1252 table passes through as the C1 controls of the same value, which
// iconv's table leaves undefined; keeping them makes any byte string survive a round trip.
bool Is1252PassThrough(unsigned v) { return v == 0x81 || v == 0x8D || v == 0x8F || v == 0x90 || v == 0x9D; }

// Counts what a conversion produces and stores it while it fits.
template <class T>
struct Output {
    T* dst;
    size_t capacity;  // 0: only count
    size_t count = 0;
    bool tooSmall = false;
    void Put(const T* p, size_t n) {
        if (capacity) {
            if (count + n > capacity) {
                tooSmall = true;
                return;
            }
            std::memcpy(dst + count, p, n * sizeof(T));
        }
        count += n;
    }
    void Put(T c) { Put(&c, 1); }
    bool Stopped() const { return tooSmall; }
};

// Returns 0 on success, else the error code.
DWORD DecodeUtf8Text(const unsigned char* src, size_t len, DWORD flags, Output<WCHAR>& out) {
    for (size_t i = 0; i < len && !out.Stopped();) {
        char32_t cp;
        bool ok;
        i += qrx::DecodeUtf8(src + i, len - i, cp, ok);
        if (!ok && (flags & MB_ERR_INVALID_CHARS)) return ERROR_NO_UNICODE_TRANSLATION;
        if (cp >= 0x10000) {
            WCHAR pair[2] = {static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)),
                             static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
            out.Put(pair, 2);
        } else {
            out.Put(static_cast<WCHAR>(cp));
        }
    }
    return 0;
}

DWORD DecodeWithIconv(int page, const char* src, size_t len, DWORD flags, Output<WCHAR>& out) {
    Converter conv(page, true);
    iconv_t cd = conv.cd;
    if (cd == kNoIconv) return ERROR_INVALID_PARAMETER;
    char* in = const_cast<char*>(src);
    size_t inLeft = len;
    WCHAR chunk[256];
    while (inLeft && !out.Stopped()) {
        char* o = reinterpret_cast<char*>(chunk);
        size_t oLeft = sizeof chunk;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        int err = errno;
        out.Put(chunk, (sizeof chunk - oLeft) / sizeof(WCHAR));
        if (r != static_cast<size_t>(-1)) continue;
        if (err == E2BIG) continue;
        if (err != EILSEQ && err != EINVAL) return ERROR_INVALID_PARAMETER;
        unsigned char bad = static_cast<unsigned char>(*in);
        if (kPages[page].id == 1252 && Is1252PassThrough(bad)) {
            out.Put(static_cast<WCHAR>(bad));
        } else {
            if (flags & MB_ERR_INVALID_CHARS) return ERROR_NO_UNICODE_TRANSLATION;
            out.Put(static_cast<WCHAR>(0xFFFD));
        }
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return 0;
}

DWORD EncodeUtf8Text(const WCHAR* src, size_t len, Output<char>& out) {
    char buf[4];
    for (size_t i = 0; i < len && !out.Stopped();) {
        char32_t cp;
        bool ok;
        i += qrx::DecodeUtf16(src + i, len - i, cp, ok);
        out.Put(buf, qrx::EncodeUtf8(cp, buf));
    }
    return 0;
}

DWORD EncodeWithIconv(int page, const WCHAR* src, size_t len, const char* defaultChar, size_t defaultLen,
                      bool& usedDefault, Output<char>& out) {
    Converter conv(page, false);
    iconv_t cd = conv.cd;
    if (cd == kNoIconv) return ERROR_INVALID_PARAMETER;
    char* in = reinterpret_cast<char*>(const_cast<WCHAR*>(src));
    size_t inLeft = len * sizeof(WCHAR);
    char chunk[512];
    while (inLeft && !out.Stopped()) {
        char* o = chunk;
        size_t oLeft = sizeof chunk;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        int err = errno;
        out.Put(chunk, sizeof chunk - oLeft);
        if (r != static_cast<size_t>(-1)) continue;
        if (err == E2BIG) continue;
        if (err != EILSEQ && err != EINVAL) return ERROR_INVALID_PARAMETER;
        auto at = reinterpret_cast<const WCHAR*>(in);
        size_t units = inLeft / sizeof(WCHAR);
        if (units == 0) break;
        char32_t cp;
        bool ok;
        size_t taken = qrx::DecodeUtf16(at, units, cp, ok);
        if (kPages[page].id == 1252 && Is1252PassThrough(at[0])) {
            out.Put(static_cast<char>(at[0]));
        } else {
            out.Put(defaultChar, defaultLen);
            usedDefault = true;
        }
        in += taken * sizeof(WCHAR);
        inLeft -= taken * sizeof(WCHAR);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return 0;
}

// Digits only, in the base, and nothing else: a stray sign or blank makes the text invalid.
bool ParseUnsigned(const char* text, int base, unsigned long long& value) {
    if (!text || !*text) return false;
    const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (std::strspn(text, allowed) != std::strlen(text)) return false;
    errno = 0;
    value = std::strtoull(text, nullptr, base);
    return errno == 0;
}

LCID LcidFromEnvironment() {
    const char* text = std::getenv("QRX_LCID");
    unsigned long long v = 0;
    bool ok = false;
    if (text && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        ok = ParseUnsigned(text + 2, 16, v);
    else if (text && text[0] != '0')
        ok = ParseUnsigned(text, 10, v) || ParseUnsigned(text, 16, v);
    else  // LCIDs are usually written as four hex digits ("0412")
        ok = ParseUnsigned(text, 16, v);
    if (!ok || v == 0 || v > 0xFFFFFFFFull) return 0x0409;
    return static_cast<LCID>(v);
}

UINT AnsiPageOfLcid(LCID lcid) {
    WORD lang = static_cast<WORD>(lcid & 0xFFFF);
    switch (lang & 0x3FF) {
        case 0x12:
            return 949;
        case 0x11:
            return 932;
        case 0x1E:
            return 874;
        case 0x04:
            // Only the simplified script; the traditional one uses a page not carried here.
            return (lang == 0x0804 || lang == 0x1004 || lang == 0x0004) ? 936 : 1252;
        default:
            return 1252;
    }
}

}  // namespace

UINT GetACP() {
    unsigned long long v = 0;
    if (ParseUnsigned(std::getenv("QRX_ACP"), 10, v) && v != CP_ACP && v != CP_OEMCP) {
        for (const Page& p : kPages)
            if (p.id == v) return p.id;
    }
    return 1252;
}

UINT GetOEMCP() { return 437; }

LCID GetUserDefaultLCID() { return LcidFromEnvironment(); }

LCID GetSystemDefaultLCID() { return LcidFromEnvironment(); }

int GetLocaleInfoW(LCID Locale, DWORD LCType, LPWSTR lpLCData, int cchData) {
    if (cchData < 0 || (cchData > 0 && !lpLCData)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool asNumber = (LCType & LOCALE_RETURN_NUMBER) != 0;
    DWORD type = LCType & ~static_cast<DWORD>(LOCALE_RETURN_NUMBER);
    if (Locale == 0 || Locale == LOCALE_USER_DEFAULT) Locale = GetUserDefaultLCID();
    if (Locale == LOCALE_SYSTEM_DEFAULT) Locale = GetSystemDefaultLCID();
    DWORD value;
    if (type == LOCALE_IDEFAULTANSICODEPAGE)
        value = AnsiPageOfLcid(Locale);
    else if (type == LOCALE_IDEFAULTCODEPAGE)
        value = GetOEMCP();
    else {
        qrx::SetError(ERROR_INVALID_FLAGS);
        return 0;
    }
    WCHAR text[12];
    int needed;
    if (asNumber) {
        std::memcpy(text, &value, sizeof value);
        needed = sizeof value / sizeof(WCHAR);
    } else {
        char digits[12];
        needed = std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(value)) + 1;
        for (int i = 0; i < needed; ++i) text[i] = static_cast<unsigned char>(digits[i]);
    }
    if (cchData == 0) return needed;
    if (cchData < needed) {
        qrx::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpLCData, text, static_cast<size_t>(needed) * sizeof(WCHAR));
    return needed;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int page = FindPage(CodePage);
    if (page < 0) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = kPages[page].iconvName ? (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS) : MB_ERR_INVALID_CHARS;
    if (dwFlags & ~allowed) {
        qrx::SetError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t len = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    Output<WCHAR> out{lpWideCharStr, static_cast<size_t>(cchWideChar)};
    DWORD err = kPages[page].iconvName
                    ? DecodeWithIconv(page, lpMultiByteStr, len, dwFlags, out)
                    : DecodeUtf8Text(reinterpret_cast<const unsigned char*>(lpMultiByteStr), len, dwFlags, out);
    if (!err && out.tooSmall) err = ERROR_INSUFFICIENT_BUFFER;
    if (!err && out.count > INT32_MAX) err = ERROR_INVALID_PARAMETER;
    if (err) {
        qrx::SetError(err);
        return 0;
    }
    return static_cast<int>(out.count);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int page = FindPage(CodePage);
    if (page < 0) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool utf8 = kPages[page].iconvName == nullptr;
    // UTF-8 has no default character: every character is representable.
    if (utf8 && (lpDefaultChar || lpUsedDefaultChar)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = utf8 ? 0 : (WC_COMPOSITECHECK | WC_DEFAULTCHAR);
    if (dwFlags & ~allowed) {
        qrx::SetError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t len = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    Output<char> out{lpMultiByteStr, static_cast<size_t>(cbMultiByte)};
    bool usedDefault = false;
    DWORD err;
    if (utf8) {
        err = EncodeUtf8Text(lpWideCharStr, len, out);
    } else {
        const char* defaultChar = "?";
        size_t defaultLen = 1;
        if (lpDefaultChar) {
            defaultChar = lpDefaultChar;
            bool pair = kPages[page].doubleByte && static_cast<unsigned char>(lpDefaultChar[0]) >= 0x80 &&
                        lpDefaultChar[1] != 0;
            defaultLen = pair ? 2 : 1;
        }
        err = EncodeWithIconv(page, lpWideCharStr, len, defaultChar, defaultLen, usedDefault, out);
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (!err && out.tooSmall) err = ERROR_INSUFFICIENT_BUFFER;
    if (!err && out.count > INT32_MAX) err = ERROR_INVALID_PARAMETER;
    if (err) {
        qrx::SetError(err);
        return 0;
    }
    return static_cast<int>(out.count);
}

WCHAR QrxToLowerW(WCHAR c) { return towlower16(c); }

WCHAR QrxToUpperW(WCHAR c) { return towupper16(c); }

// A pointer whose high word is zero carries one character in its low word, as on the platform.
WCHAR* CharLowerW(LPWSTR text) {
    auto bits = reinterpret_cast<uintptr_t>(text);
    if ((bits >> 16) == 0)
        return reinterpret_cast<WCHAR*>(static_cast<uintptr_t>(towlower16(static_cast<WCHAR>(bits))));
    return _wcslwr(text);
}

WCHAR* CharUpperW(LPWSTR text) {
    auto bits = reinterpret_cast<uintptr_t>(text);
    if ((bits >> 16) == 0)
        return reinterpret_cast<WCHAR*>(static_cast<uintptr_t>(towupper16(static_cast<WCHAR>(bits))));
    return _wcsupr(text);
}

unsigned char QrxToLowerA(unsigned char c, UINT codePage) {
    // One table per page, built on first use: callers fold every byte of a file this way.
    static unsigned char tables[kPageCount][256];
    static std::once_flag built[kPageCount];
    int page = FindPage(codePage);
    if (page < 0) return c;
    std::call_once(built[page], [page] {
        UINT id = kPages[page].id;
        for (unsigned b = 0; b < 256; ++b) {
            unsigned char lowered = static_cast<unsigned char>(b);
            char in = static_cast<char>(b);
            WCHAR w;
            if (MultiByteToWideChar(id, MB_ERR_INVALID_CHARS, &in, 1, &w, 1) == 1) {
                WCHAR lw = towlower16(w);
                char back[4];
                BOOL usedDefault = FALSE;
                int n = WideCharToMultiByte(id, 0, &lw, 1, back, sizeof back, nullptr,
                                            kPages[page].iconvName ? &usedDefault : nullptr);
                if (lw != w && n == 1 && !usedDefault) lowered = static_cast<unsigned char>(back[0]);
            }
            tables[page][b] = lowered;
        }
    });
    return tables[page][c];
}
