// Device paths onto host paths below the device root.
#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "internal.h"
#include "qrx/fileapi.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

constexpr std::u16string_view kStateFolder = u".platform";

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && towlower16(a[i]) != towlower16(b[i])) return false;
    return true;
}

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// The entry of `folder` spelled like `name` without regard to case; the byte-wise smallest wins
// when several differ only in case, so the choice does not depend on directory order.
bool FindEntryIgnoringCase(const std::string& folder, std::u16string_view name, std::string& found) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    bool any = false;
    while (const dirent* e = readdir(dir)) {
        std::string_view entry(e->d_name);
        if (entry == "." || entry == "..") continue;
        if (!SameIgnoringCase(QrxFromUtf8(entry), name)) continue;
        if (!any || entry < found) found.assign(entry);
        any = true;
    }
    closedir(dir);
    return any;
}

}  // namespace

// The mapping used by every file function: 0 or the error code. A path through the layer's own
// state folder fails as not found, with `reserved` set so that creators can refuse it instead.
// `parentMissing` tells that a folder on the way does not exist (or is no folder).
DWORD MapFilePath(std::u16string_view path, std::string& host, bool& parentMissing, bool& reserved) {
    parentMissing = false;
    reserved = false;
    if (path.empty()) return ERROR_INVALID_NAME;
    if (path.size() > MAX_PATH - 1) return ERROR_FILENAME_EXCED_RANGE;

    std::vector<std::u16string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && IsSeparator(path[i])) ++i;
        size_t start = i;
        while (i < path.size() && !IsSeparator(path[i])) ++i;
        std::u16string_view part = path.substr(start, i - start);
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();  // the root is its own parent
            continue;
        }
        for (char16_t c : part)
            if (c == 0 || c == u'*' || c == u'?') return ERROR_INVALID_NAME;
        parts.push_back(part);
    }

    host = DeviceRoot();
    bool lookUp = true;
    for (size_t n = 0; n < parts.size(); ++n) {
        bool last = n + 1 == parts.size();
        if (n == 0 && SameIgnoringCase(parts[0], kStateFolder)) {
            reserved = true;
            return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        }
        std::string given = QrxToUtf8(parts[n]);
        if (lookUp) {
            std::string exact = Join(host, given);
            struct stat st;
            if (stat(exact.c_str(), &st) == 0) {
                host = std::move(exact);
            } else {
                std::string found;
                if (FindEntryIgnoringCase(host, parts[n], found) && stat(Join(host, found).c_str(), &st) == 0) {
                    host = Join(host, found);
                } else {
                    host = std::move(exact);
                    lookUp = false;
                    if (!last) parentMissing = true;
                    continue;
                }
            }
            if (!last && !S_ISDIR(st.st_mode)) {
                lookUp = false;
                parentMissing = true;
            }
        } else {
            host = Join(host, given);
        }
    }
    return 0;
}

bool MapDevicePath(std::u16string_view devicePath, std::string& hostPath) {
    std::string host;
    bool parentMissing = false, reserved = false;
    if (DWORD error = MapFilePath(devicePath, host, parentMissing, reserved)) {
        SetError(error);
        return false;
    }
    hostPath = std::move(host);
    return true;
}

bool MapDevicePath(const WCHAR* devicePath, std::string& hostPath) {
    if (!devicePath) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Bounded: a path without its terminator in reach is too long, whatever follows.
    size_t length = wcsnlen(devicePath, MAX_PATH);
    return MapDevicePath(std::u16string_view(devicePath, length), hostPath);
}

bool HostToDevicePath(const std::string& hostPath, std::u16string& devicePath) {
    namespace fs = std::filesystem;
    if (hostPath.empty()) return false;
    auto relativeTo = [](const fs::path& root, const fs::path& p, std::string& rest) {
        std::string r = root.string(), s = p.string();
        while (r.size() > 1 && r.back() == '/') r.pop_back();
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        if (s == r) {
            rest.clear();
            return true;
        }
        std::string prefix = r == "/" ? r : r + "/";
        if (s.compare(0, prefix.size(), prefix) != 0) return false;
        rest = s.substr(prefix.size());
        return true;
    };
    std::error_code ec;
    fs::path p = fs::absolute(hostPath, ec);
    if (ec) return false;
    fs::path root = DeviceRoot();
    std::string rest;
    bool inside = relativeTo(root.lexically_normal(), p.lexically_normal(), rest);
    if (!inside) {
        // Symbolic links on the way (a temporary folder, the program's own resolved path).
        fs::path rootReal = fs::weakly_canonical(root, ec);
        if (ec) return false;
        fs::path pReal = fs::weakly_canonical(p, ec);
        if (ec) return false;
        inside = relativeTo(rootReal, pReal, rest);
    }
    if (!inside) return false;
    std::u16string device = u"\\";
    std::u16string tail = QrxFromUtf8(rest);
    size_t firstEnd = tail.find(u'/');
    if (SameIgnoringCase(std::u16string_view(tail).substr(0, firstEnd), kStateFolder)) return false;
    for (char16_t& c : tail)
        if (c == u'/') c = u'\\';
    device += tail;
    devicePath = std::move(device);
    return true;
}

}  // namespace qrx
