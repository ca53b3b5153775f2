// UTF-16 string helpers with the C library's names, overloaded for char16_t (wchar_t is 32 bits here
// and never used for text). Counts are in characters unless named bytes.
#pragma once
// The standard headers come first: they bring the C library's wchar_t functions into std, and
// must do so before the char16_t overloads below exist.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <string_view>

#include "types.h"

size_t wcslen(const WCHAR* s);
size_t wcsnlen(const WCHAR* s, size_t max);
WCHAR* wcscpy(WCHAR* dst, const WCHAR* src);
WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n);  // pads with NULs like the C function
WCHAR* wcscat(WCHAR* dst, const WCHAR* src);
WCHAR* wcsncat(WCHAR* dst, const WCHAR* src, size_t n);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle);
WCHAR* _wcslwr(WCHAR* s);
WCHAR* _wcsupr(WCHAR* s);
WCHAR* _wcsdup(const WCHAR* s);  // free() the result
size_t wcsspn(const WCHAR* s, const WCHAR* accept);
size_t wcscspn(const WCHAR* s, const WCHAR* reject);
WCHAR* wcstok(WCHAR* s, const WCHAR* delim, WCHAR** save);
long wcstol(const WCHAR* s, WCHAR** end, int base);
unsigned long wcstoul(const WCHAR* s, WCHAR** end, int base);
double wcstod(const WCHAR* s, WCHAR** end);
int _wtoi(const WCHAR* s);
long _wtol(const WCHAR* s);
double _wtof(const WCHAR* s);
WCHAR* _itow(int value, WCHAR* buffer, int radix);
int iswspace16(WCHAR c);
int iswdigit16(WCHAR c);
WCHAR towlower16(WCHAR c);  // ASCII, Latin-1 and Latin Extended-A folding, locale independent
WCHAR towupper16(WCHAR c);

// Bounded copies that always terminate (capacity in characters, including the terminator).
// Return the number of characters copied.
size_t QrxStrCopy(WCHAR* dst, size_t capacity, const WCHAR* src);
size_t QrxStrAppend(WCHAR* dst, size_t capacity, const WCHAR* src);

// Formatting for UTF-16 text: %d %i %u %x %X %o %c %s %S %f %e %g %p %% with flags (- + space 0 #),
// width and precision (numbers or *), and the size prefixes hh h l ll I32 I64 z; l is 32 bits, as the
// platform's long. %s takes a WCHAR string, %S (and %hs) an 8-bit string in the ANSI code page, %c a
// WCHAR (%C, %hc an 8-bit character), %ls a WCHAR string; a null string prints "(null)".
// The result always ends with a NUL when count > 0; the return value is the number of characters
// written without the NUL, or -1 when the text did not fit (as _snwprintf). A cut never splits a
// surrogate pair.
int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
int vswprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
// Unbounded form of the platform: the caller's buffer must be large enough. Writes at most 1024
// characters here including the NUL, which is the platform's own limit for this call, and returns
// the number of characters stored.
int wsprintfW(WCHAR* buffer, const WCHAR* format, ...);

// UTF-8 <-> UTF-16 for the host side (file names, logs). Invalid input is replaced by U+FFFD.
std::string QrxToUtf8(std::u16string_view text);
std::u16string QrxFromUtf8(std::string_view text);
