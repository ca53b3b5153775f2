#include "ui/controls/FileBrowser.h"

#include <algorithm>
#include <string>

#include "ui/FileUtil.h"
#include "ui/LayoutScript.h"
#include "ui/controls/ControlUtil.h"

namespace {

constexpr WCHAR kParentName[] = u"[..]";
// Numbered siblings of a root ("\SD Card2", "\SD Card3", ...) and extra or excluded folders looked for.
constexpr int kMaxSiblings = 99;
constexpr int kMaxKeyedFolders = 256;

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text) c = towlower16(c);
    return text;
}

BOOL IsFolder(const std::u16string& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::u16string WithoutTrailingSlash(std::u16string path) {
    while (path.size() > 1 && path.back() == u'\\') path.pop_back();
    return path;
}

// A leading and a trailing "\"; FALSE (unchanged) when the result would not fit.
BOOL Normalise(WCHAR* folder) {
    std::u16string path(folder);
    if (path.empty() || path.front() != u'\\') path.insert(path.begin(), u'\\');
    if (path.back() != u'\\') path += u'\\';
    if (path.size() >= MAX_PATH) return FALSE;
    QrxStrCopy(folder, MAX_PATH, path.c_str());
    return TRUE;
}

BOOL IsParentRow(const ListItem* item) {
    size_t length = wcslen(item->image);
    return (item->flags & LIST_ITEM_FOLDER) && length > 0 && item->image[length - 1] == u'\\';
}

void LoadPair(std::unique_ptr<CUiBitmap> (&pair)[2], const WCHAR* normal, const WCHAR* selected, BOOL transparent,
              COLORREF key) {
    pair[0] = LoadControlBitmap(normal, transparent, key);
    pair[1] = LoadControlBitmap(selected, transparent, key);
}

}  // namespace

CFileBrowser::CFileBrowser(const LayoutControlRecord* record, CShellPanel* panel)
    : CListBoxCtrl(record, panel),
      m_szMask{},
      m_szFolder{u'\\', 0},
      m_szRemember{},
      m_nDepth(0),
      m_bOpenAtCreate(1),
      m_bScanning(false),
      m_bOpened(0),
      m_bParentRow(1),
      m_bAutoSelect(1),
      m_bRepaintAfter(1),
      m_pInsertHook(nullptr),
      m_hStop(nullptr),
      m_hDone(nullptr),
      m_nLastInsert(0) {
    SetCompareProc(&CFileBrowser::CompareEntries);
}

CFileBrowser::~CFileBrowser() { CFileBrowser::Destroy(); }

void CFileBrowser::Destroy() {
    StopScan();
    m_extras.clear();
    m_excepts.clear();
    if (m_hStop) CloseHandle(m_hStop);
    if (m_hDone) CloseHandle(m_hDone);
    m_hStop = m_hDone = nullptr;
    CListBoxCtrl::Destroy();
}

BOOL CFileBrowser::Create(DWORD style, DWORD exStyle) {
    if (!CListBoxCtrl::Create(style, exStyle)) return 0;
    if (!m_hStop) m_hStop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (!m_hDone) m_hDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (m_bOpenAtCreate) {
        WCHAR folder[MAX_PATH];
        QrxStrCopy(folder, MAX_PATH, m_szFolder);
        OpenFolder(folder, 1, nullptr, 1);
    }
    return 1;
}

// Settings

void CFileBrowser::SetFilter(const WCHAR* mask, const WCHAR* roots, int depth, int openAtCreation) {
    if (mask && mask[0]) QrxStrCopy(m_szMask, MAX_PATH, Lower(mask).c_str());
    if (roots && roots[0]) {
        m_roots.clear();
        std::u16string list(roots);
        size_t start = 0;
        while (start <= list.size()) {
            size_t bar = std::min(list.find(u'|', start), list.size());
            std::u16string root = WithoutTrailingSlash(list.substr(start, bar - start));
            if (!root.empty() && root != u"\\" && root.size() < MAX_PATH) m_roots.push_back(root);
            start = bar + 1;
        }
    }
    QrxStrCopy(m_szFolder, MAX_PATH, u"\\");
    for (const std::u16string& root : m_roots) {
        if (!IsFolder(root)) continue;
        QrxStrCopy(m_szFolder, MAX_PATH, root.c_str());
        break;
    }
    m_nDepth = depth;
    m_bOpenAtCreate = openAtCreation;
}

BOOL CFileBrowser::AddRoot(const WCHAR* path) {
    WCHAR resolved[MAX_PATH];
    if (!ResolvePath(resolved, path)) return 0;
    m_extras.push_back(WithoutTrailingSlash(resolved));
    if (m_bOpened && m_nDepth >= 0) {
        m_bScanning = true;
        int taken = 0;
        Scan(m_extras.back(), 1, 0, &taken);
        m_bScanning = false;
        SelectRemembered(TRUE);
        Invalidate(nullptr, FALSE);
    }
    return 1;
}

BOOL CFileBrowser::AddExcept(const WCHAR* path) {
    WCHAR resolved[MAX_PATH];
    if (!ResolvePath(resolved, path)) return 0;
    m_excepts.push_back(Lower(resolved));
    return 1;
}

BOOL CFileBrowser::SetFolderIcon(const WCHAR* normal, const WCHAR* selected) {
    LoadPair(m_folderIcons, normal, selected, m_bTransparent, m_crKey);
    return m_folderIcons[0] && m_folderIcons[1];
}

BOOL CFileBrowser::SetFileIcon(const WCHAR* normal, const WCHAR* selected) {
    LoadPair(m_fileIcons, normal, selected, m_bTransparent, m_crKey);
    return m_fileIcons[0] && m_fileIcons[1];
}

// Opening and scanning

void CFileBrowser::StopScan() {
    m_bScanning = false;
    m_szRemember[0] = 0;
    if (m_hStop) SetEvent(m_hStop);
}

int CFileBrowser::OpenFolder(const WCHAR* path, BOOL, const WCHAR* name, BOOL redraw) {
    StopScan();
    WCHAR folder[MAX_PATH];
    if (!path || !path[0]) {
        if (!GetModuleDir(folder)) QrxStrCopy(folder, MAX_PATH, u"\\");
    } else if (!ResolvePath(folder, path)) {
        if (wcslen(path) >= MAX_PATH - 2) return 0;
        QrxStrCopy(folder, MAX_PATH, path);
    }
    if (!Normalise(folder)) return 0;
    QrxStrCopy(m_szFolder, MAX_PATH, folder);
    if (name && name[0]) QrxStrCopy(m_szRemember, MAX_PATH, name);
    m_bOpened = 1;
    Refresh(redraw);
    return 1;
}

void CFileBrowser::DeleteAllItems(BOOL redraw) {
    StopScan();
    if (m_pInsertHook) m_pInsertHook(this, -1, nullptr);
    CListBoxCtrl::DeleteAllItems(redraw);
}

void CFileBrowser::Refresh(BOOL redraw) {
    if (m_hStop) ResetEvent(m_hStop);
    m_bScanning = true;
    if (m_pInsertHook) m_pInsertHook(this, -1, nullptr);
    CListBoxCtrl::DeleteAllItems(FALSE);
    m_nLastInsert = 0;
    Normalise(m_szFolder);
    int taken = 0;
    Scan(m_szFolder, m_nDepth, 0, &taken);
    if (m_nDepth >= 0 && m_bOpened) {
        for (size_t i = 0; i < m_extras.size() && m_bScanning; ++i) {
            int extra = 0;
            Scan(m_extras[i], 1, 0, &extra);
        }
    }
    m_bScanning = false;
    if (GetKeepSelection() && GetCurSel() < 0 && GetCount() > 0) {
        int pick = -1;
        if (m_nDepth != 0) {
            if (m_bAutoSelect && (!m_szRemember[0] || SetCurSel(-1, FALSE, TRUE, m_szRemember) < 0)) pick = 0;
        } else if (!m_szRemember[0] || SetCurSel(-1, FALSE, TRUE, m_szRemember) < 0) {
            int files = GetFileCount();
            if (m_bAutoSelect) pick = files > 0 ? GetCount() - files : 0;
        }
        if (pick >= 0) SetCurSel(pick, FALSE, TRUE, nullptr);
    }
    if (m_hStop) SetEvent(m_hStop);
    if (m_hDone) PulseEvent(m_hDone);
    if (redraw && m_bRepaintAfter) Invalidate(nullptr, FALSE);
}

BOOL CFileBrowser::IsTopOf(const std::u16string& folder) const {
    std::u16string lower = Lower(folder);
    for (const std::u16string& root : m_roots) {
        std::u16string r = Lower(root);
        if (r.size() >= lower.size() && r.compare(0, lower.size(), lower) == 0) return TRUE;
    }
    return FALSE;
}

BOOL CFileBrowser::IsExcluded(const std::u16string& pattern) const {
    for (const std::u16string& except : m_excepts)
        if (!except.empty() && pattern.compare(0, except.size(), except) == 0) return TRUE;
    return FALSE;
}

BOOL CFileBrowser::IsAllFiles() const { return m_szMask[0] == 0 || wcsstr(m_szMask, u".*|") != nullptr; }

BOOL CFileBrowser::MaskTakes(const WCHAR* name) const {
    if (IsAllFiles()) return TRUE;
    // A name without an extension matches no extension of a mask.
    const WCHAR* dot = wcsrchr(name, u'.');
    if (!dot) return FALSE;
    std::u16string key = Lower(dot) + u"|";
    std::u16string_view mask(m_szMask);
    // Whole entries only: ".gz|" is not the end of ".tar.gz|".
    for (size_t at = mask.find(key); at != std::u16string_view::npos; at = mask.find(key, at + 1))
        if (at == 0 || mask[at - 1] == u'|') return TRUE;
    return FALSE;
}

void CFileBrowser::AddRow(const std::u16string& path, const WCHAR* display, DWORD attributes) {
    ListItem* item = NewItem();
    if (!item) return;
    item->flags = attributes;
    item->color = -1;
    QrxStrCopy(item->text1, MAX_PATH, display);
    QrxStrCopy(item->image, MAX_PATH, path.c_str());
    bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    auto& pictures = folder ? m_folderIcons : m_fileIcons;
    if (pictures[0] && pictures[1]) {
        item->normal = pictures[0].get();
        item->selected = pictures[1].get();
    } else {
        item->icon = GetFileIcon(folder && path.back() != u'\\' ? (path + u"\\").c_str() : path.c_str());
    }
    if (m_pInsertHook) {
        if (m_pInsertHook(this, GetCount(), item) < 0) DeleteItem(item);
        return;
    }
    int at = InsertItem(item, m_nLastInsert);
    if (at >= 0) m_nLastInsert = at;
}

void CFileBrowser::ListTop() {
    for (const std::u16string& root : m_roots) {
        if (!IsFolder(root)) continue;
        size_t slash = root.find(u'\\');
        std::u16string display = slash == std::u16string::npos ? root : root.substr(slash + 1);
        AddRow(root, display.c_str(), FILE_ATTRIBUTE_DIRECTORY);
        for (int n = 2; n <= kMaxSiblings; ++n) {
            std::u16string sibling = root;
            for (char c : std::to_string(n)) sibling += static_cast<char16_t>(c);
            if (sibling.size() >= MAX_PATH || !IsFolder(sibling)) break;
            std::u16string name = display;
            for (char c : std::to_string(n)) name += static_cast<char16_t>(c);
            AddRow(sibling, name.c_str(), FILE_ATTRIBUTE_DIRECTORY);
        }
    }
}

void CFileBrowser::Scan(const std::u16string& folder, int depth, int level, int* taken) {
    if (folder.empty() || IsTopOf(folder)) {
        if (depth < 1) ListTop();
        return;
    }
    std::u16string base = folder;
    if (base.back() != u'\\') base += u'\\';
    std::u16string pattern = base + u"*.*";
    if (!IsExcluded(Lower(pattern))) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(pattern.c_str(), &data);
        // A card pulled mid-scan ends the search: what was found stays listed.
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!m_bScanning) break;
                bool dir = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
                // Past the file limit only the folder rows are still taken: every folder stays reachable.
                if (*taken >= kMaxFiles && (!dir || depth >= 1)) {
                    if (depth >= 1) break;
                    continue;
                }
                // A path the platform cannot hold is left out, never cut to another one.
                size_t length = base.size() + wcslen(data.cFileName) + (dir ? 1 : 0);
                if (length > MAX_PATH - 1) continue;
                std::u16string path = base + data.cFileName;
                if (dir) {
                    if (depth < 1) AddRow(path, data.cFileName, data.dwFileAttributes);
                    // Folders that link back to a parent end at the depth bound.
                    else if (depth > 1 && level < kMaxDepth)
                        Scan(path, depth, level + 1, taken);
                } else if (depth >= 0 && MaskTakes(data.cFileName)) {
                    AddRow(path, data.cFileName, data.dwFileAttributes);
                    ++*taken;
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    if (depth < 1 && level == 0 && m_bParentRow) {
        // The folder without its last component, "\" at the top.
        std::u16string parent = base.substr(0, base.size() - 1);
        size_t slash = parent.find_last_of(u'\\');
        parent = slash == std::u16string::npos ? u"\\" : parent.substr(0, slash + 1);
        AddRow(parent, kParentName, FILE_ATTRIBUTE_DIRECTORY);
    }
}

void CFileBrowser::SelectRemembered(BOOL notify) {
    if (!GetKeepSelection() || GetCurSel() >= 0 || GetCount() == 0) return;
    if (m_szRemember[0] && SetCurSel(-1, FALSE, notify, m_szRemember) >= 0) return;
    SetCurSel(0, FALSE, notify, nullptr);
}

void CFileBrowser::RescanRoots() {
    if (m_nDepth < 0 || !m_bOpened) return;
    m_bScanning = true;
    for (size_t i = 0; i < m_extras.size() && m_bScanning; ++i) {
        int taken = 0;
        Scan(m_extras[i], 1, 0, &taken);
    }
    m_bScanning = false;
    SelectRemembered(TRUE);
    Invalidate(nullptr, FALSE);
    ExecCommand(-1, -2);
}

// Rows

int CFileBrowser::CompareEntries(CListBoxCtrl* list, const ListItem* newItem, const ListItem* item) {
    int mode = list ? list->GetSortMode() : 0;
    if (mode == 0) return 1;
    int r;
    bool parentA = IsParentRow(newItem), parentB = IsParentRow(item);
    bool folderA = newItem->flags & LIST_ITEM_FOLDER, folderB = item->flags & LIST_ITEM_FOLDER;
    if (parentA != parentB)
        r = parentA ? -1 : 1;
    else if (folderA != folderB)
        r = folderA ? -1 : 1;
    else
        r = _wcsicmp(newItem->text1, item->text1);
    return mode > 0 ? r : -r;
}

int CFileBrowser::GetEntryPath(int index, WCHAR* out) const {
    if (out) out[0] = 0;
    const ListItem* item = GetItem(index < 0 ? GetCurSel() : index);
    if (!item || !out) return -1;
    QrxStrCopy(out, MAX_PATH, item->image);
    if (!(item->flags & LIST_ITEM_FOLDER)) return 1;
    size_t length = wcslen(out);
    if ((length == 0 || out[length - 1] != u'\\') && length + 1 < MAX_PATH) {
        out[length] = u'\\';
        out[length + 1] = 0;
    }
    return 0;
}

int CFileBrowser::GetFileCount() const {
    int files = 0;
    for (int i = 0; i < GetCount(); ++i)
        if (!(GetItem(i)->flags & LIST_ITEM_FOLDER)) ++files;
    return files;
}

// Pen

int CFileBrowser::OnMouse(int msg, WPARAM, int x, int y) {
    int event = 0;
    int r = HandlePen(msg, x, y, &event);
    if (event != LIST_EVENT_SELECT && event != LIST_EVENT_DBLCLICK) return r;
    std::weak_ptr<const int> life = GetLifeToken();
    ExecCommand(LIST_EVENT_SELECT, 0);
    if (life.expired()) return r;
    const ListItem* item = GetItem(GetCurSel());
    if (!item) return r;
    if (item->flags & LIST_ITEM_FOLDER) {
        // Opening rebuilds every row, this one too: the path is copied first.
        WCHAR path[MAX_PATH];
        QrxStrCopy(path, MAX_PATH, item->image);
        OpenFolder(path, 1, nullptr, 1);
        return r;
    }
    if (event == LIST_EVENT_DBLCLICK) ExecCommand(LIST_EVENT_DBLCLICK, 0);
    return r;
}

// Factory

CUiCtrl* NewFileBrowser(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                        int control) {
    auto browser = std::make_unique<CFileBrowser>(record, panel);
    if (!script) return browser.release();
    ReadListKeys(browser.get(), script, page, control);
    WCHAR mask[MAX_PATH];
    auto roots = std::make_unique<WCHAR[]>(LAYOUT_VALUE_MAX);
    LONG depth = 0, open = 1;
    if (script->ReadFilter(page, control, mask, MAX_PATH, roots.get(), LAYOUT_VALUE_MAX, &depth, &open) == 0)
        browser->SetFilter(mask, roots.get(), depth, open);
    auto names = std::make_unique<WCHAR[][MAX_PATH]>(2);
    WCHAR key[16];
    for (int i = 0; i < kMaxKeyedFolders; ++i) {
        swprintf(key, 16, u"folder%d", i);
        if (script->ReadImageList(page, control, key, 1, names.get(), -1) <= 0) break;
        browser->AddRoot(names[0]);
    }
    for (int i = 0; i < kMaxKeyedFolders; ++i) {
        swprintf(key, 16, u"except%d", i);
        if (script->ReadImageList(page, control, key, 1, names.get(), -1) <= 0) break;
        browser->AddExcept(names[0]);
    }
    if (script->ReadImageList(page, control, u"foldericon", 2, names.get(), 1) >= 0)
        browser->SetFolderIcon(names[0], names[1]);
    if (script->ReadImageList(page, control, u"fileicon", 2, names.get(), 1) >= 0)
        browser->SetFileIcon(names[0], names[1]);
    DWORD style[3] = {};
    if (script->ReadNumbers(page, control, u"exstyle", 3, style) == 0) {
        browser->SetAutoSelect(style[0] != 0);
        browser->SetParentRow(style[1] != 0);
        browser->SetMarquee(style[2] != 0);
    }
    return browser.release();
}
