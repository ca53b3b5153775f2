// The layout script reader: pages [shellN], controls [shellN-M] and the main page in [shell], read from
// the handed-over script text in memory, or from a script file through the INI reader.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ui/IniFile.h"

// Longest line, value and face name the script may hold; longer ones are cut.
enum : int {
    LAYOUT_LINE_MAX = 1039,
    LAYOUT_VALUE_MAX = 1040,  // with the terminator
    LAYOUT_FACE_MAX = 32,     // with the terminator
};

// One [shellN-M] section as every control constructor receives it. Numbers are the 32-bit values of
// the script; text fields are always terminated.
struct LayoutControlRecord {
    // "type"
    DWORD type;
    DWORD typeValue2;  // transparency flag
    LONG typeValue3;   // colour key
    DWORD style;
    DWORD focus;
    // "pos"
    DWORD x, y, width, height;
    DWORD posValue5;  // image alignment
    // "image": normal, pressed, focus, disabled
    WCHAR image[4][MAX_PATH];
    // "cmd" and "init"
    LONG cmdKind;
    WCHAR cmd[3][MAX_PATH];
    LONG initKind;
    WCHAR init[3][MAX_PATH];
    // "text"
    LONG textMode;
    LONG textAlign;
    COLORREF textColor;
    COLORREF backColor;
    WCHAR text[MAX_PATH];
    LONG textLeftOffset;
    LONG textRightOffset;
    // "font"
    WCHAR fontFace[LAYOUT_FACE_MAX];
    LONG fontSize;
    LONG fontWeight;
    LONG fontItalic;
    LONG fontUnderline;
    // "snd"
    LONG sndKind;
    WCHAR sndName[MAX_PATH];
};

class CLayoutScript : public CIniFile {
public:
    CLayoutScript();
    ~CLayoutScript() override;

    // Takes a private copy of the handed-over script when there is one (result 0), else opens the file
    // through CIniFile::Open. 0 or -1.
    int Open(WCHAR* path, BOOL write) override;
    BOOL IsInMemory() const { return m_inMemory; }

    // In memory: the first "[name]" anywhere in the text; 0 found, -1 not found or no text.
    int FindSection(const WCHAR* name);
    // out: outSize characters, "" when not found. 0 found, -1 not found. fromLast only counts for a
    // script file; comments switches the ";" rules and the full trimming.
    int ReadKey(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize, BOOL fromLast, BOOL comments);

    // [shellP-C] into record (cleared first). 0, or -1 when the section or its "type" is missing.
    int ReadControlSection(int page, int control, LayoutControlRecord* record);
    int ReadControl(const WCHAR* sectionName, LayoutControlRecord* record);

    // The sections below are [shellP-C], or [shellP] for a negative control; a negative page is the
    // "main" page of [shell].

    // Up to count numbers of a comma list as 32-bit values (signed fields are read back as LONG); all
    // count outputs are cleared first. 0, or -1 when the key is missing.
    int ReadNumbers(int page, int control, const WCHAR* key, int count, DWORD* out);
    // Up to count names (cleared first); the image-folder rule applies to the first folderLimit fields
    // (all when negative). The number of non-empty fields, or -1 when the key is missing.
    int ReadImageList(int page, int control, const WCHAR* key, int count, WCHAR (*names)[MAX_PATH], int folderLimit);
    // "filter=mask,folders,value3,value4" with the storage tokens of folders expanded. 0, or -1 when the
    // key is missing (mask and folders "", value3 0, value4 1).
    int ReadFilter(int page, int control, WCHAR* mask, size_t maskSize, WCHAR* folders, size_t foldersSize,
                   LONG* value3, LONG* value4);
    // A key binding of [shellP] (key is the formed name, "key0", "key1", ...); strings of MAX_PATH
    // characters. The page number, or -1 when the key is missing.
    int ReadKeyBinding(int page, const WCHAR* key, LONG* vkey, LONG* scanCode, LONG* when, LONG* kind, WCHAR* s1,
                       WCHAR* s2, WCHAR* s3);
    // A command key ("cmd", "init", "snd") as a kind and three strings of MAX_PATH characters. The page
    // number, or -1 when the key is missing.
    int ReadCommandKey(int page, int control, const WCHAR* key, LONG* kind, WCHAR* s1, WCHAR* s2, WCHAR* s3);
    // "panel" with its defaults (-1 for an empty rectangle field). The page number, or -1 when the main
    // page is asked for and [shell] has none.
    int ReadPanel(int page, LONG* x, LONG* y, LONG* w, LONG* h, DWORD* style, LONG* direction);
    // "image" (four names and two integers) and "shimage"; names of MAX_PATH characters, any output may
    // be null. The page number, or -1 when both keys are absent or empty.
    int ReadShellImage(int page, WCHAR* image, WCHAR* s1, WCHAR* s2, WCHAR* s3, WCHAR* shimage, LONG* int1, LONG* int2);

private:
    struct Value {
        const char* text;
        size_t length;
    };

    void FreeScript();
    UINT CodePage();
    unsigned char Fold(unsigned char c);
    bool ToBytes(const WCHAR* text, std::string& out);
    void BuildIndex();
    // Offset of the body of the first "[name]" in the text, or -1.
    long long FindBody(const std::string& name);
    bool FindInBody(size_t body, const std::string& key, bool comments, Value* value);
    int ReadValue(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize);
    int ResolvePage(int page);
    void ApplyImageFolder(WCHAR* name);

    BOOL m_inMemory;
    std::vector<char> m_text;  // the private copy, NUL-terminated
    size_t m_textLength;       // up to the first NUL, where the search ends
    bool m_indexed;
    std::unordered_map<std::string_view, size_t> m_sections;  // header name -> offset of its "["
    int m_foldCodePage;
    short m_fold[256];     // folded bytes of m_foldCodePage, -1 while unknown
    int m_moduleDirState;  // 0 unknown, 1 known, -1 unavailable
    WCHAR m_moduleDir[MAX_PATH];
};
