// The language texts of the upgrader and the screen lock, over the main program's language module.
#pragma once
#include <windows.h>

#include <cstddef>

#include "app/Language.h"

// The index in use: index when it is 0..9 and its file loads, else 0; -1 when no language loads.
int LoadKitLanguage(int index);
// The text of key id in "shell<shell>", cut to chars (terminated). 0 when missing or nothing loaded.
BOOL CopyLangText(int shell, int id, WCHAR* buffer, size_t chars);
// The same in the module's shared 260-character buffer; "" when missing.
const WCHAR* GetLangText(int shell, int id);
// Adds (or removes) the font file of the current language ("\NAND Flash\Font\..."), so that its face
// draws in this program even when no other program added it. 1 when registered.
BOOL AddKitLanguageFont();
void RemoveKitLanguageFont();
