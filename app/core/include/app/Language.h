// The language texts: the language table, the loaded .lang file and the page refresh mask.
#pragma once
#include <cstddef>

#include <windows.h>

#define LANGUAGE_COUNT 10
#define LANG_TEXT_CHARS 260

// language.dat and the .lang file, at start-up and on a reload.
void LoadLanguageSetting();
BOOL SaveLanguageSetting();
// "\Windows\" + name + ".lang"; 1 and the language current on success, 0 and no change otherwise.
BOOL LoadLanguageFile(int index);
// Loads only when index is not the current language and its font exists; a change sets the whole
// refresh mask.
BOOL SelectLanguage(int index);
BOOL LanguageFontExists(int index);

const WCHAR* GetLangName(int index);  // "" outside the table
const WCHAR* GetCurrentLangName();
int GetCurrentLanguage();
BOOL IsLanguageLoaded();
const WCHAR* GetLangFontFace();
const WCHAR* GetLangDateFormat();
const WCHAR* GetLangFontFile(int index);  // "" outside the table
// Code page of an 8-bit language file.
UINT GetLangCodePage(int index);

// Text of key in section "shell<shell>" into out (outSize characters, always terminated).
// fromLast continues the section search from the last section found. 1 found, 0 otherwise.
BOOL SetControlLangText(int shell, int key, WCHAR* out, size_t outSize, BOOL fromLast);
// The same text in a shared buffer of 260 characters that the next call overwrites; "" when missing.
const WCHAR* GetLangText(int shell, int key, BOOL fromLast);
// The language's backslash-r pairs become CR LF in place (same length); returns text.
WCHAR* ExpandLangBreaks(WCHAR* text);

// 1 once after a language change for each page that keeps a bit (pages 1, 3, 4, 5, 6, 14, 16).
BOOL TestAndClearPageFlag(int page);
WORD GetLangRefreshMask();

void AddAppFont();
void RemoveAppFont();
