// Layout type 10: a list of the folders and files of a current folder on the device's storage,
// filtered by extension, with a parent row "[..]", a top level of configured root folders, extra
// folders whose files are always listed, excluded paths and pictures for folder and file rows.
// Scans run on the caller's thread.
#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ui/controls/ListBox.h"

class CLayoutScript;
class CFileBrowser;

// Replaces the sorted insert: called with (count, row) for every row (the hook takes the row over and
// returns its index, or -1 and the browser frees it), and with (-1, null) before the rows are cleared.
typedef int (*FileBrowserInsertHook)(CFileBrowser* browser, int position, ListItem* row);

class CFileBrowser : public CListBoxCtrl {
public:
    CFileBrowser(const LayoutControlRecord* record, CShellPanel* panel);
    ~CFileBrowser() override;

    // mask: extensions each with its "." and a closing "|" (".csv|.txt|"); empty or holding ".*|": all
    // files. roots: "|"-separated folders. Empty strings keep the stored ones.
    void SetFilter(const WCHAR* mask, const WCHAR* roots, int depth, int openAtCreation);
    // Extra folder whose files are always listed; 0 when the path does not resolve.
    BOOL AddRoot(const WCHAR* path);
    BOOL AddExcept(const WCHAR* path);
    BOOL SetFolderIcon(const WCHAR* normal, const WCHAR* selected);
    BOOL SetFileIcon(const WCHAR* normal, const WCHAR* selected);
    void SetAutoSelect(BOOL on) { m_bAutoSelect = on ? 1 : 0; }
    void SetParentRow(BOOL on) { m_bParentRow = on ? 1 : 0; }
    void SetInsertHook(FileBrowserInsertHook hook) { m_pInsertHook = hook; }

    // Stops any scan, opens the folder (empty: the program's folder) and lists it; name, when given, is
    // the path selected after the scan. 1, or 0 for a path too long to hold.
    int OpenFolder(const WCHAR* path, BOOL flag, const WCHAR* name, BOOL redraw);
    // out: MAX_PATH characters. Index -1 is the selection. 1 file, 0 folder (ending in "\"), -1 none.
    int GetEntryPath(int index, WCHAR* out) const;
    int GetFileCount() const;
    int GetDepth() const { return m_nDepth; }
    const WCHAR* GetCurrentFolder() const { return m_szFolder; }
    void StopScan();
    // Lists the files of the extra folders again, then reports the rebuilt list (-1, -2).
    void RescanRoots();
    HANDLE GetDoneEvent() const { return m_hDone; }

    // Files taken by one scan at most; deeper folders than this are not entered.
    static constexpr int kMaxFiles = 501;
    static constexpr int kMaxDepth = 8;

    BOOL Create(DWORD style, DWORD exStyle) override;
    void Destroy() override;
    int OnMouse(int msg, WPARAM wParam, int x, int y) override;
    void DeleteAllItems(BOOL redraw) override;

private:
    void Refresh(BOOL redraw);
    // Files taken, added to *taken; level counts the folders entered below the first.
    void Scan(const std::u16string& folder, int depth, int level, int* taken);
    void ListTop();
    BOOL IsAllFiles() const;
    BOOL MaskTakes(const WCHAR* name) const;
    BOOL IsExcluded(const std::u16string& pattern) const;
    BOOL IsTopOf(const std::u16string& folder) const;
    void AddRow(const std::u16string& path, const WCHAR* display, DWORD attributes);
    void SelectRemembered(BOOL notify);
    static int CompareEntries(CListBoxCtrl* list, const ListItem* newItem, const ListItem* item);

    WCHAR m_szMask[MAX_PATH];  // lower case
    std::vector<std::u16string> m_roots;
    WCHAR m_szFolder[MAX_PATH];
    WCHAR m_szRemember[MAX_PATH];
    int m_nDepth;
    BOOL m_bOpenAtCreate;
    std::vector<std::u16string> m_extras;
    std::vector<std::u16string> m_excepts;  // lower case
    std::unique_ptr<CUiBitmap> m_folderIcons[2];
    std::unique_ptr<CUiBitmap> m_fileIcons[2];
    std::atomic<bool> m_bScanning;
    BOOL m_bOpened;
    BOOL m_bParentRow;
    BOOL m_bAutoSelect;
    BOOL m_bRepaintAfter;
    FileBrowserInsertHook m_pInsertHook;
    HANDLE m_hStop;
    HANDLE m_hDone;
    int m_nLastInsert;
};

CUiCtrl* NewFileBrowser(const LayoutControlRecord* record, CShellPanel* panel, CLayoutScript* script, int page,
                        int control);
