// Code pages and locale queries.
#pragma once
#include "types.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_COMPOSITECHECK 0x00000200
#define WC_DEFAULTCHAR 0x00000040

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_IDEFAULTANSICODEPAGE 0x00001004
#define LOCALE_IDEFAULTCODEPAGE 0x0000000B
#define LOCALE_RETURN_NUMBER 0x20000000u
#define LANG_NEUTRAL 0x00
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)((WORD)(srtid))) << 16) | ((DWORD)((WORD)(lgid)))))

UINT GetACP();
UINT GetOEMCP();
LCID GetUserDefaultLCID();
LCID GetSystemDefaultLCID();
int GetLocaleInfoW(LCID Locale, DWORD LCType, LPWSTR lpLCData, int cchData);
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
// Dates. With a picture, flags must be 0; without one DATE_SHORTDATE ("M/d/yyyy") or DATE_LONGDATE
// ("dddd, MMMM dd, yyyy"). Pictures: d dd ddd dddd, M MM MMM MMMM, y yy yyyy (yyyyy), g gg, 'text'
// ('' is a quote). lpDate null: the local time now. The characters written with the terminator; with
// cchDate 0 the count needed.
#define DATE_SHORTDATE 0x00000001
#define DATE_LONGDATE 0x00000002
int GetDateFormatW(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCWSTR lpFormat, LPWSTR lpDateStr,
                   int cchDate);
// Case folding of one character or a string through a code page (CP_ACP: the ANSI page).
WCHAR QrxToLowerW(WCHAR c);
WCHAR QrxToUpperW(WCHAR c);
WCHAR* CharLowerW(LPWSTR text);
WCHAR* CharUpperW(LPWSTR text);
// Lower-cases one byte of 8-bit text as the code page reads it.
unsigned char QrxToLowerA(unsigned char c, UINT codePage);
