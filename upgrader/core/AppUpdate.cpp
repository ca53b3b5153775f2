#include "upgrader/AppUpdate.h"

#include <vector>

#include "upgrader/PartArchive.h"

namespace {

const char16_t kBase[] = u"\\NAND Flash\\";
const char16_t kStaging[] = u"\\NAND Flash\\~Upgrade";

// Makes the folders of a relative path below base.
bool MakeFolders(const std::u16string& base, const std::u16string& relative) {
    for (size_t at = relative.find(u'\\'); at != std::u16string::npos; at = relative.find(u'\\', at + 1)) {
        std::u16string folder = base + relative.substr(0, at);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

bool Exists(const std::u16string& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::u16string& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + u"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::u16string child = folder + u"\\" + data.cFileName;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

bool ContainsFont(const std::u16string& s) { return s.find(u"Font") != std::u16string::npos; }

}  // namespace

bool AppEntryTarget(const WCHAR* entry, std::u16string& relative) {
    relative.clear();
    const char* prefix = APP_DATA_PREFIX;
    size_t i = 0;
    for (; prefix[i]; ++i)
        if (entry[i] != static_cast<WCHAR>(prefix[i])) return true;  // not for the flash: ignored
    std::u16string component;
    for (const WCHAR* p = entry + i;; ++p) {
        WCHAR c = *p;
        if (c == 0 || c == u'/' || c == u'\\') {
            // A directory entry ends with its separator; an empty component anywhere else is not a name.
            if (component.empty() && !(c == 0 && !relative.empty() && relative.back() == u'\\')) return false;
            if (component == u"." || component == u"..") return false;
            relative += component;
            component.clear();
            if (c == 0) break;
            relative += u'\\';
            continue;
        }
        if (c < 0x20 || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|')
            return false;
        component += c;
    }
    return true;
}

AppUpdateError AppUpdate(const WCHAR* package, const FwPackageInfo& info, std::string& why,
                         const std::function<void(ULONGLONG, ULONGLONG)>& progress) {
    std::vector<BYTE> part;
    int count = 0;
    HZIP zip = info.steps & FWSTEP_APP ? OpenPackagePart(package, info.appOffset, info.appSize, part, count) : nullptr;
    if (!zip) {
        why = "Invalid Data file Size";
        return AppUpdateError::Package;
    }
    struct Entry {
        int index;
        DWORD size;
        std::u16string relative;
    };
    std::vector<Entry> entries;
    ULONGLONG total = 0;
    ZipItemInfo item{};
    for (int i = 0; i < count; ++i) {
        std::u16string relative;
        // A name the reader had to clean was written to climb out of its folder: refused, never dropped.
        if (GetZipItem(zip, i, &item) != ZR_OK || item.nameCleaned || !AppEntryTarget(item.name, relative) ||
            item.unc_size < 0) {
            CloseZip(zip);
            why = "an entry's name or size is not acceptable";
            return AppUpdateError::Package;
        }
        if (relative.empty() || relative.back() == u'\\') continue;
        entries.push_back({i, static_cast<DWORD>(item.unc_size), relative});
        total += static_cast<DWORD>(item.unc_size);
    }
    // Everything into the staging folder first: a bad entry changes nothing.
    std::u16string staging = std::u16string(kStaging) + u"\\";
    RemoveTree(kStaging);
    if (!CreateDirectoryW(kStaging, nullptr)) {
        CloseZip(zip);
        why = "the staging folder cannot be made";
        return AppUpdateError::Extract;
    }
    ULONGLONG done = 0;
    std::vector<BYTE> head;
    for (const Entry& e : entries) {
        EntryResult r = MakeFolders(staging, e.relative)
                            ? EntryToFile(zip, e.index, e.size, staging + e.relative, head,
                                          [&](DWORD n) {
                                              done += n;
                                              if (progress) progress(done, total * 2);
                                          })
                            : EntryResult::Write;
        if (r != EntryResult::Ok) {
            CloseZip(zip);
            RemoveTree(kStaging);
            why = "Fail to Upgrade";
            return AppUpdateError::Extract;
        }
    }
    CloseZip(zip);
    for (const Entry& e : entries) {
        std::u16string target = kBase + e.relative, staged = staging + e.relative;
        bool keep = ContainsFont(target) && Exists(target);
        if (!keep) {
            // One rename replaces the old file: a power cut leaves the old file or the new, never none.
            if (Exists(target)) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!MakeFolders(kBase, e.relative) ||
                !MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                why = "Fail to Upgrade";
                return AppUpdateError::Replace;
            }
        }
        done += e.size;
        if (progress) progress(done, total * 2);
    }
    RemoveTree(kStaging);
    return AppUpdateError::None;
}
