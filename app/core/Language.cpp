#include "app/Language.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "app/SettingsFile.h"
#include "ui/FileUtil.h"
#include "ui/IniFile.h"

#ifndef WM_FONTCHANGE
#define WM_FONTCHANGE 0x001D
#endif

namespace {

struct LanguageEntry {
    const WCHAR* name;
    const WCHAR* fontFile;
    const WCHAR* face;
    const WCHAR* dateFormat;
    UINT codePage;  // of an 8-bit .lang file; UTF-16 files carry their byte-order mark
};

const WCHAR kNanum[] = u"\\NAND Flash\\Font\\NanumGothicBold.ttf";
const WCHAR kTahoma[] = u"\\NAND Flash\\Font\\tahoma_1_08.ttf";

// Spanish takes the Western page: its texts are Latin letters, not Thai.
const LanguageEntry kLanguages[LANGUAGE_COUNT] = {
    {u"English", kNanum, u"NanumGothic", u"M'-'d'-'yyyy", 437},
    {u"Korean", kNanum, u"NanumGothic", u"yyyy'-'MM'-'dd", 949},
    {u"Japanese", u"\\NAND Flash\\Font\\meiryo.ttc", u"Meiryo UI", u"yyyy'-'MM'-'dd", 932},
    {u"Spanish", kTahoma, u"Tahoma", u"dd'-'MM'-'yyyy", 1252},
    {u"Deutsch", kTahoma, u"Tahoma", u"dd'-'MM'-'yyyy", 1252},
    {u"French", kTahoma, u"Tahoma", u"dd'-'MM'-'yyyy", 1252},
    {u"Chinese", u"\\NAND Flash\\Font\\simsun_2_50.ttc", u"Simsun", u"yyyy'-'MM'-'dd", 936},
    {u"Russian", kTahoma, u"Tahoma", u"dd'-'MM'-'yyyy", 1251},
    {u"Thai", kTahoma, u"Tahoma", u"yyyy'-'MM'-'dd", 874},
    {u"Portuguese", kTahoma, u"Tahoma", u"yyyy'-'MM'-'dd", 1252},
};

const WCHAR kLanguageFolder[] = u"\\Windows\\";
const WCHAR kLanguageDat[] = u"\\NAND Flash\\language.dat";

// Page number and its bit in the refresh mask.
const struct {
    int page;
    int bit;
} kPageBits[] = {{1, 5}, {3, 0}, {4, 4}, {5, 2}, {6, 3}, {14, 6}, {16, 8}};

bool ValidIndex(int index) { return index >= 0 && index < LANGUAGE_COUNT; }

// The open INI reader keeps one file position, so lookups from different threads take turns.
std::mutex g_lock;
std::unique_ptr<CIniFile> g_ini;
bool g_utf16;
std::atomic<int> g_current{0};
std::atomic<bool> g_loaded{false};
std::atomic<WORD> g_refreshMask{0};
WCHAR g_text[LANG_TEXT_CHARS];

bool IsUtf16File(const WCHAR* path) {
    CRawFile file;
    BYTE mark[2] = {};
    if (!file.Open(path, 0)) return false;
    return file.Read(mark, 2) == 2 && mark[0] == 0xFF && mark[1] == 0xFE;
}

BOOL WriteLanguageIndex(int index) {
    BYTE value = static_cast<BYTE>(ValidIndex(index) ? index : 0);
    return WriteDataFile(kLanguageDat, &value, 1);
}

}  // namespace

BOOL LoadLanguageFile(int index) {
    if (!ValidIndex(index)) return FALSE;
    const LanguageEntry& entry = kLanguages[index];
    WCHAR path[MAX_PATH];
    if (swprintf(path, MAX_PATH, u"%s%s.lang", kLanguageFolder, entry.name) < 0) return FALSE;

    auto ini = std::make_unique<CIniFile>();
    ini->SetCodePage(static_cast<int>(entry.codePage));
    if (ini->Open(path, FALSE) != 0) return FALSE;
    bool utf16 = IsUtf16File(path);

    std::lock_guard<std::mutex> guard(g_lock);
    g_ini = std::move(ini);
    g_utf16 = utf16;
    g_current = index;
    g_loaded = true;
    return TRUE;
}

void LoadLanguageSetting() {
    g_refreshMask = 0;
    int before = g_loaded ? g_current.load() : -1;

    BYTE stored = 0;
    DWORD size = 0;
    int index = 0;
    if (ReadDataFile(kLanguageDat, &stored, 1, &size) && size >= 1) {
        index = stored;
        if (!ValidIndex(index)) {
            index = 0;
            WriteLanguageIndex(0);
        }
    } else {
        WriteLanguageIndex(0);
    }

    // The font is checked before the file is taken, so a language without its font never becomes
    // current, even for a moment or when English cannot be read either.
    if (index != 0 && !LanguageFontExists(index)) {
        index = 0;
        WriteLanguageIndex(0);
    }
    LoadLanguageFile(index);
    SelectLanguage(index);

    // A reload that lands on another language must refresh the pages like a choice on the setting page.
    if (before >= 0 && g_loaded && g_current != before) g_refreshMask = 0xFFFF;
}

BOOL SaveLanguageSetting() { return WriteLanguageIndex(g_current); }

BOOL SelectLanguage(int index) {
    if (!ValidIndex(index)) return FALSE;
    if (g_loaded && g_current == index) return TRUE;
    if (!LanguageFontExists(index) || !LoadLanguageFile(index)) return FALSE;
    g_refreshMask = 0xFFFF;
    return TRUE;
}

BOOL LanguageFontExists(int index) {
    if (!ValidIndex(index)) return FALSE;
    return FileExists(kLanguages[index].fontFile);
}

const WCHAR* GetLangName(int index) { return ValidIndex(index) ? kLanguages[index].name : u""; }

const WCHAR* GetCurrentLangName() { return kLanguages[g_current].name; }

int GetCurrentLanguage() { return g_current; }

BOOL IsLanguageLoaded() { return g_loaded ? TRUE : FALSE; }

const WCHAR* GetLangFontFace() { return kLanguages[g_current].face; }

const WCHAR* GetLangDateFormat() { return kLanguages[g_current].dateFormat; }

const WCHAR* GetLangFontFile(int index) { return ValidIndex(index) ? kLanguages[index].fontFile : u""; }

UINT GetLangCodePage(int index) { return ValidIndex(index) ? kLanguages[index].codePage : 0; }

BOOL SetControlLangText(int shell, int key, WCHAR* out, size_t outSize, BOOL fromLast) {
    if (!out || outSize == 0) return FALSE;
    out[0] = 0;
    WCHAR section[32];
    WCHAR name[16];
    swprintf(section, 32, u"shell%d", shell);
    swprintf(name, 16, u"%d", key);

    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_loaded || !g_ini) return FALSE;
    int result = g_utf16 ? g_ini->GetStringW(section, name, out, outSize, fromLast, TRUE)
                         : g_ini->GetStringA(section, name, out, outSize, fromLast, TRUE);
    return result == 0 ? TRUE : FALSE;
}

const WCHAR* GetLangText(int shell, int key, BOOL fromLast) {
    SetControlLangText(shell, key, g_text, LANG_TEXT_CHARS, fromLast);
    return g_text;
}

WCHAR* ExpandLangBreaks(WCHAR* text) {
    if (!text) return text;
    for (WCHAR* p = text; p[0]; ++p)
        if (p[0] == u'\\' && p[1] == u'r') {
            p[0] = u'\r';
            p[1] = u'\n';
            ++p;
        }
    return text;
}

BOOL TestAndClearPageFlag(int page) {
    for (const auto& entry : kPageBits) {
        if (entry.page != page) continue;
        WORD bit = static_cast<WORD>(1u << entry.bit);
        return (g_refreshMask.fetch_and(static_cast<WORD>(~bit)) & bit) ? TRUE : FALSE;
    }
    return FALSE;
}

WORD GetLangRefreshMask() { return g_refreshMask; }

void AddAppFont() {
    for (int i = 1; i < LANGUAGE_COUNT; ++i) AddFontResourceW(kLanguages[i].fontFile);
    SendMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);
}

void RemoveAppFont() {
    for (int i = 1; i < LANGUAGE_COUNT; ++i) RemoveFontResourceW(kLanguages[i].fontFile);
    SendMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);
}
