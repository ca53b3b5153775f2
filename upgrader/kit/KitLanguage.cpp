#include "kit/KitLanguage.h"

namespace {
WCHAR g_text[LANG_TEXT_CHARS];
int g_fontIndex = -1;  // language whose font this program added
}  // namespace

int LoadKitLanguage(int index) {
    if (index >= 0 && index < LANGUAGE_COUNT && LoadLanguageFile(index)) return index;
    return LoadLanguageFile(0) ? 0 : -1;
}

BOOL CopyLangText(int shell, int id, WCHAR* buffer, size_t chars) {
    return SetControlLangText(shell, id, buffer, chars, FALSE);
}

const WCHAR* GetLangText(int shell, int id) {
    SetControlLangText(shell, id, g_text, LANG_TEXT_CHARS, FALSE);
    return g_text;
}

BOOL AddKitLanguageFont() {
    RemoveKitLanguageFont();
    int index = GetCurrentLanguage();
    if (AddFontResourceW(GetLangFontFile(index)) == 0) return FALSE;
    g_fontIndex = index;
    return TRUE;
}

void RemoveKitLanguageFont() {
    if (g_fontIndex < 0) return;
    RemoveFontResourceW(GetLangFontFile(g_fontIndex));
    g_fontIndex = -1;
}
