// Folder listings with wildcard patterns.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "internal.h"
#include "qrx/fileapi.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

bool SameChar(char16_t a, char16_t b) { return a == b || towlower16(a) == towlower16(b); }

// "*" any run, "?" one character, without regard to case. Backtracks only to the last "*", so
// the cost stays linear in practice and bounded by the product of the lengths.
bool Glob(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0;
    size_t starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == u'?' || SameChar(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// A trailing ".*" also matches a name without an extension, as on the platform ("*.*" is all).
bool Matches(std::u16string_view pattern, std::u16string_view name) {
    if (Glob(pattern, name)) return true;
    return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
           Glob(pattern.substr(0, pattern.size() - 2), name);
}

bool IsStateFolder(std::u16string_view name) {
    constexpr std::u16string_view kStateFolder = u".platform";
    if (name.size() != kStateFolder.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (!SameChar(name[i], kStateFolder[i])) return false;
    return true;
}

struct Entry {
    std::u16string name;
    std::string host;
};

class FindObject : public KernelObject {
public:
    std::mutex lock;
    std::vector<Entry> entries;
    size_t next = 0;

    // The next entry that still exists.
    bool Next(WIN32_FIND_DATAW& data) {
        std::lock_guard<std::mutex> g(lock);
        while (next < entries.size()) {
            const Entry& e = entries[next++];
            if (FillFindData(e.host, e.name, data)) return true;
        }
        return false;
    }
};

}  // namespace
}  // namespace qrx

using namespace qrx;

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (!lpFileName || !lpFindFileData) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string_view path(lpFileName, wcsnlen(lpFileName, MAX_PATH));
    if (path.empty()) {
        SetError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (path.size() > MAX_PATH - 1) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    size_t slash = path.find_last_of(u"\\/");
    std::u16string_view folder = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash + 1);
    std::u16string_view pattern = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    if (pattern.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    std::string host;
    bool parentMissing = false, reserved = false;
    DWORD error = MapFilePath(folder.empty() ? std::u16string_view(u"\\") : folder, host, parentMissing, reserved);
    if (error == ERROR_FILE_NOT_FOUND || (!error && parentMissing)) error = ERROR_PATH_NOT_FOUND;
    if (error) {
        SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    DIR* dir = opendir(host.c_str());
    if (!dir) {
        int e = errno;
        SetError(e == ENOENT || e == ENOTDIR ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(e));
        return INVALID_HANDLE_VALUE;
    }
    bool atRoot = host == DeviceRoot();
    auto find = std::make_shared<FindObject>();
    while (const dirent* d = readdir(dir)) {
        std::string_view hostName(d->d_name);
        if (hostName == "." || hostName == "..") continue;
        std::u16string name = QrxFromUtf8(hostName);
        // A name that does not fit the find data could never be opened by the caller either.
        if (name.size() >= MAX_PATH) continue;
        if (atRoot && IsStateFolder(name)) continue;
        if (!Matches(pattern, name)) continue;
        find->entries.push_back(Entry{std::move(name), host + (host.back() == '/' ? "" : "/") + std::string(hostName)});
    }
    closedir(dir);
    std::sort(find->entries.begin(), find->entries.end(), [](const Entry& a, const Entry& b) {
        int c = _wcsicmp(a.name.c_str(), b.name.c_str());
        return c != 0 ? c < 0 : a.name < b.name;
    });
    if (!find->Next(*lpFindFileData)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return NewHandle(find);
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    auto find = HandleAs<FindObject>(hFindFile);
    if (!find) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpFindFileData) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!find->Next(*lpFindFileData)) {
        SetError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (!HandleAs<FindObject>(hFindFile)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ReleaseHandle(hFindFile) ? TRUE : FALSE;
}
