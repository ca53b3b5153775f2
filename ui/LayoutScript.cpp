// Layout script reader over the handed-over script text (in memory) or a script file (CIniFile).
#include "ui/LayoutScript.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "ui/FileUtil.h"
#include "ui/ZipArchive.h"

namespace {

constexpr size_t kFieldMax = MAX_PATH - 1;
// Header names longer than this are not indexed; asking for one falls back to a plain search.
constexpr size_t kIndexedNameMax = 512;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void SetText(WCHAR* out, size_t outSize, std::u16string_view text) {
    if (out == nullptr || outSize == 0) {
        return;
    }
    size_t n = text.size() < outSize - 1 ? text.size() : outSize - 1;
    if (n > 0) {
        std::memcpy(out, text.data(), n * sizeof(WCHAR));
    }
    out[n] = 0;
}

size_t Length(const WCHAR* text, size_t max) {
    size_t n = 0;
    while (n < max && text[n] != 0) {
        ++n;
    }
    return n;
}

// Field split of a value: fields are cut at ","; with lastKeepsRest the last field takes the rest of
// the value (the general rule), otherwise the rest is dropped (image lists). Each field keeps at most
// 259 characters.
void SplitFields(const WCHAR* value, int count, WCHAR (*fields)[MAX_PATH], bool lastKeepsRest) {
    for (int i = 0; i < count; ++i) {
        fields[i][0] = 0;
    }
    if (count <= 0 || value == nullptr) {
        return;
    }
    int field = 0;
    size_t used = 0;
    for (const WCHAR* p = value; *p != 0; ++p) {
        if (*p == u',' && !(lastKeepsRest && field == count - 1)) {
            fields[field][used] = 0;
            if (++field == count) {
                return;
            }
            used = 0;
            continue;
        }
        if (used < kFieldMax) {
            fields[field][used++] = *p;
        }
    }
    fields[field][used] = 0;
}

// A number field; a last field that kept the rest of the value is read only up to its next ",".
size_t NumberDigits(const WCHAR* field, WCHAR (&digits)[MAX_PATH]) {
    size_t n = 0;
    while (n < kFieldMax && field[n] != 0 && field[n] != u',') {
        digits[n] = field[n];
        ++n;
    }
    digits[n] = 0;
    return n;
}

DWORD FieldToUInt(const WCHAR* field, DWORD fallback) {
    WCHAR digits[MAX_PATH];
    return NumberDigits(field, digits) == 0 ? fallback : StrToUInt(digits);
}

LONG FieldToLong(const WCHAR* field, LONG fallback) {
    WCHAR digits[MAX_PATH];
    return NumberDigits(field, digits) == 0 ? fallback : StrToLong(digits);
}

void CopyField(WCHAR* out, size_t outSize, const WCHAR* field) {
    SetText(out, outSize, std::u16string_view(field, Length(field, kFieldMax)));
}

bool StartsWithToken(std::u16string_view element, const char* token) {
    if (element.size() < 4) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        WCHAR c = element[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<WCHAR>(c - u'A' + u'a');
        }
        if (c != static_cast<WCHAR>(token[i])) {
            return false;
        }
    }
    return true;
}

void AppendNumber(std::u16string& out, int value) {
    long long v = value;
    if (v < 0) {
        out += u'-';
        v = -v;
    }
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        out += static_cast<WCHAR>(digits[--n]);
    }
}

std::u16string SectionName(int page, int control) {
    std::u16string name = u"shell";
    AppendNumber(name, page);
    if (control >= 0) {
        name += u'-';
        AppendNumber(name, control);
    }
    return name;
}

}  // namespace

CLayoutScript::CLayoutScript()
    : m_inMemory(FALSE),
      m_textLength(0),
      m_indexed(false),
      m_foldCodePage(-1),
      m_fold{},
      m_moduleDirState(0),
      m_moduleDir{} {}

CLayoutScript::~CLayoutScript() { FreeScript(); }

void CLayoutScript::FreeScript() {
    m_sections.clear();
    m_indexed = false;
    std::vector<char>().swap(m_text);
    m_textLength = 0;
    m_inMemory = FALSE;
}

int CLayoutScript::Open(WCHAR* path, BOOL write) {
    FreeScript();
    DWORD size = 0;
    const char* text = GetLayoutScript(&size);
    if (text == nullptr) {
        return CIniFile::Open(path, write);
    }
    Close(FALSE);
    try {
        m_text.reserve(static_cast<size_t>(size) + 1);
        m_text.assign(text, text + size);
        m_text.push_back(0);
    } catch (const std::bad_alloc&) {
        FreeScript();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    // The search sees the text up to its first NUL, as the C string it has always been.
    m_textLength = std::strlen(m_text.data());
    m_inMemory = TRUE;
    return 0;
}

UINT CLayoutScript::CodePage() {
    if (m_codePage == -1) {
        m_codePage = static_cast<int>(GetLocaleCodePage(0));
    }
    return static_cast<UINT>(m_codePage);
}

unsigned char CLayoutScript::Fold(unsigned char c) {
    // QrxToLowerA may go through the converter: remember each byte once per code page.
    if (m_foldCodePage != m_codePage) {
        std::memset(m_fold, 0xFF, sizeof(m_fold));
        m_foldCodePage = m_codePage;
    }
    if (m_fold[c] < 0) {
        m_fold[c] = QrxToLowerA(c, static_cast<UINT>(m_codePage));
    }
    return static_cast<unsigned char>(m_fold[c]);
}

bool CLayoutScript::ToBytes(const WCHAR* text, std::string& out) {
    out.clear();
    if (text == nullptr) {
        return true;
    }
    size_t n = 0;
    bool ascii = true;
    for (; text[n] != 0; ++n) {
        if (text[n] >= 0x80) {
            ascii = false;
        }
    }
    if (ascii) {
        out.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            out += static_cast<char>(text[i]);
        }
        return true;
    }
    if (n > LAYOUT_LINE_MAX) {
        return false;  // no longer than a line, so it cannot be found anyway
    }
    char bytes[LAYOUT_LINE_MAX * 4 + 1];
    int length =
        WideCharToMultiByte(CodePage(), 0, text, static_cast<int>(n), bytes, sizeof(bytes) - 1, nullptr, nullptr);
    if (length <= 0) {
        return false;
    }
    out.assign(bytes, static_cast<size_t>(length));
    return true;
}

void CLayoutScript::BuildIndex() {
    m_indexed = true;
    m_sections.clear();
    const char* text = m_text.data();
    // Every "[" opens one candidate name that ends at the next "]"; pending holds the "[" still open.
    std::vector<size_t> pending;
    for (size_t i = 0; i < m_textLength; ++i) {
        if (text[i] == '[') {
            pending.push_back(i);
        } else if (text[i] == ']') {
            for (size_t open : pending) {
                size_t length = i - open - 1;
                if (length <= kIndexedNameMax) {
                    // Opens arrive in text order, so the first occurrence of a name stays.
                    m_sections.emplace(std::string_view(text + open + 1, length), open);
                }
            }
            pending.clear();
        }
    }
}

long long CLayoutScript::FindBody(const std::string& name) {
    if (!m_inMemory || m_textLength == 0) {
        return -1;
    }
    size_t open;
    if (name.size() <= kIndexedNameMax && name.find(']') == std::string::npos) {
        if (!m_indexed) {
            BuildIndex();
        }
        auto it = m_sections.find(std::string_view(name));
        if (it == m_sections.end()) {
            return -1;
        }
        open = it->second;
    } else {
        std::string pattern = "[" + name + "]";
        open = std::string_view(m_text.data(), m_textLength).find(pattern);
        if (open == std::string_view::npos) {
            return -1;
        }
    }
    size_t body = open + name.size() + 2;
    while (body < m_textLength && (m_text[body] == '\r' || m_text[body] == '\n')) {
        ++body;
    }
    return static_cast<long long>(body);
}

bool CLayoutScript::FindInBody(size_t body, const std::string& key, bool comments, Value* value) {
    const char* text = m_text.data();
    const char* end = text + m_textLength;
    const char* p = text + body;
    const size_t keyLength = key.size();
    while (p < end) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* lineEnd = lf != nullptr ? lf : end;
        const char* next = lf != nullptr ? lf + 1 : end;
        size_t length = static_cast<size_t>(lineEnd - p);
        if (length > 0 && p[length - 1] == '\r') {
            --length;
        }
        // A longer line is cut; its rest is never taken for a line of its own.
        if (length > LAYOUT_LINE_MAX) {
            length = LAYOUT_LINE_MAX;
        }
        std::string_view line(p, length);
        p = next;

        size_t lead = 0;
        while (lead < line.size() && IsBlank(line[lead])) {
            ++lead;
        }
        line.remove_prefix(lead);
        if (!line.empty() && line[0] == '[') {
            return false;
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (comments) {
            size_t semicolon = line.find(';');
            if (semicolon != std::string_view::npos) {
                if (semicolon < equals) {
                    continue;
                }
                line = line.substr(0, semicolon);
            }
        }
        size_t start;
        if (keyLength < line.size() && line[keyLength] == '=') {
            start = keyLength + 1;
        } else if (keyLength + 1 < line.size() && line[keyLength] == ' ' && line[keyLength + 1] == '=') {
            start = keyLength + 2;
        } else {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < keyLength; ++i) {
            if (Fold(static_cast<unsigned char>(line[i])) != Fold(static_cast<unsigned char>(key[i]))) {
                same = false;
                break;
            }
        }
        if (!same) {
            continue;
        }
        std::string_view found = line.substr(start);
        if (comments) {
            while (!found.empty() && IsBlank(found.front())) {
                found.remove_prefix(1);
            }
        }
        while (!found.empty()) {
            char c = found.back();
            if (c == '\t' || c == '\r' || c == '\n' || (comments && c == ' ')) {
                found.remove_suffix(1);
            } else {
                break;
            }
        }
        value->text = found.data();
        value->length = found.size();
        return true;
    }
    return false;
}

int CLayoutScript::FindSection(const WCHAR* name) {
    if (!m_inMemory || name == nullptr) {
        return -1;
    }
    CodePage();
    std::string bytes;
    if (!ToBytes(name, bytes)) {
        return -1;
    }
    long long body = FindBody(bytes);
    if (body < 0) {
        return -1;
    }
    m_lastSection = static_cast<long>(body);
    return 0;
}

int CLayoutScript::ReadKey(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize, BOOL fromLast,
                           BOOL comments) {
    SetText(out, outSize, u"");
    if (section == nullptr || key == nullptr) {
        return -1;
    }
    if (!m_inMemory) {
        if (out == nullptr || outSize == 0) {
            WCHAR scratch[LAYOUT_VALUE_MAX];
            return GetStringA(section, key, scratch, LAYOUT_VALUE_MAX, fromLast, comments);
        }
        return GetStringA(section, key, out, outSize, fromLast, comments);
    }
    UINT codePage = CodePage();
    std::string sectionBytes;
    std::string keyBytes;
    if (!ToBytes(section, sectionBytes) || !ToBytes(key, keyBytes)) {
        return -1;
    }
    long long body = FindBody(sectionBytes);
    if (body < 0) {
        return -1;
    }
    Value value{};
    if (!FindInBody(static_cast<size_t>(body), keyBytes, comments != FALSE, &value)) {
        return -1;
    }
    if (value.length == 0 || out == nullptr || outSize == 0) {
        return 0;
    }
    // A value is at most one line long, and no code page makes more characters than bytes.
    WCHAR wide[LAYOUT_VALUE_MAX];
    size_t length = value.length < LAYOUT_VALUE_MAX - 1 ? value.length : LAYOUT_VALUE_MAX - 1;
    int converted = MultiByteToWideChar(codePage, 0, value.text, static_cast<int>(length), wide, LAYOUT_VALUE_MAX - 1);
    if (converted <= 0) {
        return -1;
    }
    SetText(out, outSize, std::u16string_view(wide, static_cast<size_t>(converted)));
    return 0;
}

int CLayoutScript::ReadValue(const WCHAR* section, const WCHAR* key, WCHAR* out, size_t outSize) {
    return ReadKey(section, key, out, outSize, FALSE, TRUE);
}

int CLayoutScript::ResolvePage(int page) {
    if (page >= 0) {
        return page;
    }
    WCHAR value[LAYOUT_VALUE_MAX];
    if (ReadValue(u"shell", u"main", value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    return FieldToLong(value, 0);
}

void CLayoutScript::ApplyImageFolder(WCHAR* name) {
    if (name[0] == 0 || name[0] == u':' || name[0] == u'\\' || name[0] == u'%') {
        return;
    }
    // A bare name is looked up in the image archive while it is loaded.
    if (IsArchiveLoaded()) {
        return;
    }
    if (m_moduleDirState == 0) {
        m_moduleDirState = GetModuleDir(m_moduleDir) ? 1 : -1;
    }
    if (m_moduleDirState < 0) {
        return;
    }
    std::u16string full(m_moduleDir, Length(m_moduleDir, kFieldMax));
    full.append(name, Length(name, kFieldMax));
    SetText(name, MAX_PATH, full);
}

int CLayoutScript::ReadControlSection(int page, int control, LayoutControlRecord* record) {
    if (record != nullptr) {
        std::memset(record, 0, sizeof(*record));
    }
    int shell = ResolvePage(page);
    if (shell < 0 || control < 0) {
        return -1;
    }
    return ReadControl(SectionName(shell, control).c_str(), record);
}

int CLayoutScript::ReadControl(const WCHAR* sectionName, LayoutControlRecord* record) {
    if (record == nullptr) {
        return -1;
    }
    std::memset(record, 0, sizeof(*record));
    if (sectionName == nullptr) {
        return -1;
    }
    WCHAR value[LAYOUT_VALUE_MAX];
    WCHAR fields[7][MAX_PATH];

    // Without "type" the control does not exist.
    if (ReadValue(sectionName, u"type", value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    SplitFields(value, 5, fields, true);
    record->type = FieldToUInt(fields[0], 0);
    record->typeValue2 = FieldToUInt(fields[1], 0);
    record->typeValue3 = FieldToLong(fields[2], 0);
    record->style = FieldToUInt(fields[3], 0);
    record->focus = FieldToUInt(fields[4], 0);

    ReadValue(sectionName, u"pos", value, LAYOUT_VALUE_MAX);
    SplitFields(value, 5, fields, true);
    record->x = FieldToUInt(fields[0], 0);
    record->y = FieldToUInt(fields[1], 0);
    record->width = FieldToUInt(fields[2], 0);
    record->height = FieldToUInt(fields[3], 0);
    record->posValue5 = FieldToUInt(fields[4], 0);

    if (ReadValue(sectionName, u"image", value, LAYOUT_VALUE_MAX) == 0) {
        SplitFields(value, 4, record->image, false);
        for (auto& name : record->image) {
            ApplyImageFolder(name);
        }
    }

    ReadValue(sectionName, u"cmd", value, LAYOUT_VALUE_MAX);
    SplitFields(value, 4, fields, true);
    record->cmdKind = FieldToLong(fields[0], 0);
    for (int i = 0; i < 3; ++i) {
        CopyField(record->cmd[i], MAX_PATH, fields[i + 1]);
    }

    ReadValue(sectionName, u"init", value, LAYOUT_VALUE_MAX);
    SplitFields(value, 4, fields, true);
    record->initKind = FieldToLong(fields[0], 0);
    for (int i = 0; i < 3; ++i) {
        CopyField(record->init[i], MAX_PATH, fields[i + 1]);
    }

    ReadValue(sectionName, u"text", value, LAYOUT_VALUE_MAX);
    SplitFields(value, 7, fields, true);
    record->textMode = FieldToLong(fields[0], 0);
    record->textAlign = FieldToLong(fields[1], -1);
    record->textColor = static_cast<COLORREF>(FieldToLong(fields[2], 0));
    record->backColor = static_cast<COLORREF>(FieldToLong(fields[3], 0));
    CopyField(record->text, MAX_PATH, fields[4]);
    record->textLeftOffset = FieldToLong(fields[5], 0);
    record->textRightOffset = FieldToLong(fields[6], 0);

    ReadValue(sectionName, u"font", value, LAYOUT_VALUE_MAX);
    SplitFields(value, 5, fields, true);
    CopyField(record->fontFace, LAYOUT_FACE_MAX, fields[0]);
    record->fontSize = FieldToLong(fields[1], 17);
    record->fontWeight = FieldToLong(fields[2], 0);
    record->fontItalic = FieldToLong(fields[3], 0);
    record->fontUnderline = FieldToLong(fields[4], 0);

    ReadValue(sectionName, u"snd", value, LAYOUT_VALUE_MAX);
    SplitFields(value, 2, fields, true);
    record->sndKind = FieldToLong(fields[0], -1);
    CopyField(record->sndName, MAX_PATH, fields[1]);
    return 0;
}

int CLayoutScript::ReadNumbers(int page, int control, const WCHAR* key, int count, DWORD* out) {
    if (out != nullptr) {
        for (int i = 0; i < count; ++i) {
            out[i] = 0;
        }
    }
    int shell = ResolvePage(page);
    WCHAR value[LAYOUT_VALUE_MAX];
    if (shell < 0 || ReadValue(SectionName(shell, control).c_str(), key, value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    if (out == nullptr || count <= 0) {
        return 0;
    }
    // Numbers past count are ignored.
    const WCHAR* p = value;
    for (int i = 0; i < count; ++i) {
        out[i] = FieldToUInt(p, 0);
        while (*p != 0 && *p != u',') {
            ++p;
        }
        if (*p == 0) {
            break;
        }
        ++p;
    }
    return 0;
}

int CLayoutScript::ReadImageList(int page, int control, const WCHAR* key, int count, WCHAR (*names)[MAX_PATH],
                                 int folderLimit) {
    if (names == nullptr) {
        count = 0;
    }
    for (int i = 0; i < count; ++i) {
        names[i][0] = 0;
    }
    int shell = ResolvePage(page);
    WCHAR value[LAYOUT_VALUE_MAX];
    if (shell < 0 || ReadValue(SectionName(shell, control).c_str(), key, value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    SplitFields(value, count, names, false);
    int filled = 0;
    for (int i = 0; i < count; ++i) {
        if (names[i][0] == 0) {
            continue;
        }
        ++filled;
        if (folderLimit < 0 || i < folderLimit) {
            ApplyImageFolder(names[i]);
        }
    }
    return filled;
}

int CLayoutScript::ReadFilter(int page, int control, WCHAR* mask, size_t maskSize, WCHAR* folders, size_t foldersSize,
                              LONG* value3, LONG* value4) {
    SetText(mask, maskSize, u"");
    SetText(folders, foldersSize, u"");
    if (value3 != nullptr) {
        *value3 = 0;
    }
    if (value4 != nullptr) {
        *value4 = 1;
    }
    int shell = ResolvePage(page);
    WCHAR value[LAYOUT_VALUE_MAX];
    if (shell < 0 || ReadValue(SectionName(shell, control).c_str(), u"filter", value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    WCHAR fields[4][MAX_PATH];
    SplitFields(value, 4, fields, true);
    CopyField(mask, maskSize, fields[0]);
    if (value3 != nullptr) {
        *value3 = FieldToLong(fields[2], 0);
    }
    if (value4 != nullptr) {
        *value4 = FieldToLong(fields[3], 1);
    }

    std::u16string joined;
    std::u16string_view list(fields[1], Length(fields[1], kFieldMax));
    while (true) {
        size_t bar = list.find(u'|');
        std::u16string_view element = list.substr(0, bar);
        std::u16string piece;
        BOOL (*folderOf)(WCHAR*) = nullptr;
        if (StartsWithToken(element, "%sd%")) {
            folderOf = GetSdCardFolder;
        } else if (StartsWithToken(element, "%ud%")) {
            folderOf = GetUsbDiskFolder;
        } else if (StartsWithToken(element, "%fd%")) {
            folderOf = GetNandFlashFolder;
        }
        bool keep = true;
        if (folderOf != nullptr) {
            WCHAR folder[MAX_PATH] = {};
            // Without its storage the element would name a folder elsewhere: leave it out whole.
            if (folderOf(folder)) {
                piece.assign(folder, Length(folder, kFieldMax));
                piece.append(element.substr(4));
            } else {
                keep = false;
            }
        } else {
            piece.assign(element);
        }
        if (keep && !piece.empty()) {
            size_t needed = joined.size() + (joined.empty() ? 0 : 1) + piece.size();
            // A path cut short would name another folder: stop at the last element that fits.
            if (foldersSize == 0 || needed > foldersSize - 1) {
                break;
            }
            if (!joined.empty()) {
                joined += u'|';
            }
            joined += piece;
        }
        if (bar == std::u16string_view::npos) {
            break;
        }
        list.remove_prefix(bar + 1);
    }
    SetText(folders, foldersSize, joined);
    return 0;
}

int CLayoutScript::ReadKeyBinding(int page, const WCHAR* key, LONG* vkey, LONG* scanCode, LONG* when, LONG* kind,
                                  WCHAR* s1, WCHAR* s2, WCHAR* s3) {
    LONG* numbers[4] = {vkey, scanCode, when, kind};
    WCHAR* strings[3] = {s1, s2, s3};
    for (LONG* n : numbers) {
        if (n != nullptr) {
            *n = 0;
        }
    }
    for (WCHAR* s : strings) {
        SetText(s, MAX_PATH, u"");
    }
    int shell = ResolvePage(page);
    WCHAR value[LAYOUT_VALUE_MAX];
    if (shell < 0 || key == nullptr || ReadValue(SectionName(shell, -1).c_str(), key, value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    WCHAR fields[7][MAX_PATH];
    SplitFields(value, 7, fields, true);
    for (int i = 0; i < 4; ++i) {
        if (numbers[i] != nullptr) {
            *numbers[i] = FieldToLong(fields[i], 0);
        }
    }
    for (int i = 0; i < 3; ++i) {
        CopyField(strings[i], MAX_PATH, fields[i + 4]);
    }
    return shell;
}

int CLayoutScript::ReadCommandKey(int page, int control, const WCHAR* key, LONG* kind, WCHAR* s1, WCHAR* s2,
                                  WCHAR* s3) {
    WCHAR* strings[3] = {s1, s2, s3};
    if (kind != nullptr) {
        *kind = 0;
    }
    for (WCHAR* s : strings) {
        SetText(s, MAX_PATH, u"");
    }
    int shell = ResolvePage(page);
    WCHAR value[LAYOUT_VALUE_MAX];
    if (shell < 0 || key == nullptr ||
        ReadValue(SectionName(shell, control).c_str(), key, value, LAYOUT_VALUE_MAX) != 0) {
        return -1;
    }
    WCHAR fields[4][MAX_PATH];
    SplitFields(value, 4, fields, true);
    if (kind != nullptr) {
        *kind = FieldToLong(fields[0], 0);
    }
    for (int i = 0; i < 3; ++i) {
        CopyField(strings[i], MAX_PATH, fields[i + 1]);
    }
    return shell;
}

int CLayoutScript::ReadPanel(int page, LONG* x, LONG* y, LONG* w, LONG* h, DWORD* style, LONG* direction) {
    LONG* rect[4] = {x, y, w, h};
    for (LONG* v : rect) {
        if (v != nullptr) {
            *v = -1;
        }
    }
    if (style != nullptr) {
        *style = 0;
    }
    if (direction != nullptr) {
        *direction = 0;
    }
    int shell = ResolvePage(page);
    if (shell < 0) {
        return -1;
    }
    WCHAR value[LAYOUT_VALUE_MAX];
    ReadValue(SectionName(shell, -1).c_str(), u"panel", value, LAYOUT_VALUE_MAX);
    WCHAR fields[6][MAX_PATH];
    SplitFields(value, 6, fields, true);
    for (int i = 0; i < 4; ++i) {
        if (rect[i] != nullptr) {
            *rect[i] = FieldToLong(fields[i], -1);
        }
    }
    if (style != nullptr) {
        *style = FieldToUInt(fields[4], 0);
    }
    if (direction != nullptr) {
        *direction = FieldToLong(fields[5], 0);
    }
    return shell;
}

int CLayoutScript::ReadShellImage(int page, WCHAR* image, WCHAR* s1, WCHAR* s2, WCHAR* s3, WCHAR* shimage, LONG* int1,
                                  LONG* int2) {
    WCHAR* names[4] = {image, s1, s2, s3};
    for (WCHAR* s : names) {
        SetText(s, MAX_PATH, u"");
    }
    SetText(shimage, MAX_PATH, u"");
    if (int1 != nullptr) {
        *int1 = 0;
    }
    if (int2 != nullptr) {
        *int2 = 0;
    }
    int shell = ResolvePage(page);
    if (shell < 0 || (image == nullptr && shimage == nullptr)) {
        return -1;
    }
    std::u16string section = SectionName(shell, -1);
    WCHAR value[LAYOUT_VALUE_MAX];
    WCHAR fields[6][MAX_PATH];
    bool present = false;

    ReadValue(section.c_str(), u"image", value, LAYOUT_VALUE_MAX);
    if (image != nullptr && value[0] != 0) {
        present = true;
    }
    SplitFields(value, 6, fields, true);
    for (int i = 0; i < 4; ++i) {
        if (names[i] != nullptr) {
            ApplyImageFolder(fields[i]);
            CopyField(names[i], MAX_PATH, fields[i]);
        }
    }
    if (int1 != nullptr) {
        *int1 = FieldToLong(fields[4], 0);
    }
    if (int2 != nullptr) {
        *int2 = FieldToLong(fields[5], 0);
    }

    if (shimage != nullptr) {
        ReadValue(section.c_str(), u"shimage", value, LAYOUT_VALUE_MAX);
        if (value[0] != 0) {
            present = true;
        }
        SplitFields(value, 1, fields, true);
        ApplyImageFolder(fields[0]);
        CopyField(shimage, MAX_PATH, fields[0]);
    }
    return present ? shell : -1;
}
