// The storage manager's stores over the volume folders of the device root.
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "qrx/storeapi.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

constexpr DWORD kSectorSize = 512;

class StoreObject : public KernelObject {
public:
    explicit StoreObject(std::u16string folder) : folder(std::move(folder)) {}
    std::u16string folder;
};

class PartitionSearch : public KernelObject {};

bool FolderPresent(const char16_t* folder, std::string& host) {
    struct stat st;
    return MapDevicePath(folder, host) && stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A delay of the stores file: absent until that many device seconds after the file was written.
bool Delayed(const std::u16string& store) {
    std::string path = PlatformStatePath("stores");
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    struct stat st;
    bool known = fstat(fileno(f), &st) == 0;
    char line[128];
    bool delayed = false;
    while (known && std::fgets(line, sizeof line, f)) {
        char name[16] = {}, amount[32] = {};
        if (std::sscanf(line, "%15s %31s", name, amount) != 2) continue;
        std::u16string n;
        for (const char* p = name; *p; ++p) n.push_back(static_cast<char16_t>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p));
        if (n != store) continue;
        if (std::strcmp(amount, "never") == 0) {
            delayed = true;
            continue;
        }
        char* end = nullptr;
        double seconds = std::strtod(amount, &end);
        if (end == amount || seconds <= 0) continue;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        double real = static_cast<double>(now.tv_sec - st.st_mtim.tv_sec) +
                      static_cast<double>(now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
        delayed = real * TimeScale() < seconds;
    }
    std::fclose(f);
    return delayed;
}

std::u16string Upper(LPCWSTR s) {
    std::u16string out;
    if (s && (*s == u'\\' || *s == u'/')) ++s;
    for (; s && *s && out.size() < 8; ++s) out.push_back(*s >= u'a' && *s <= u'z' ? static_cast<char16_t>(*s - 32) : *s);
    return out;
}

void Fill(const std::u16string& folder, PPARTINFO info) {
    std::memset(info, 0, sizeof *info);
    info->cbSize = sizeof *info;
    const char16_t name[] = u"Part00";
    std::memcpy(info->szPartitionName, name, sizeof name);
    std::u16string volume = u"\\" + folder;
    std::memcpy(info->szVolumeName, volume.c_str(), (volume.size() + 1) * sizeof(WCHAR));
    info->snNumSectors = (1ull << 30) / kSectorSize;
    info->bFileSys = 0x04;
    info->bPartType = 0x0B;
}

}  // namespace
}  // namespace qrx

using namespace qrx;

HANDLE OpenStore(LPCWSTR szDeviceName) {
    std::u16string name = Upper(szDeviceName);
    std::string host;
    std::u16string folder;
    if (name == u"DSK1:") {
        if (FolderPresent(u"\\NAND Flash", host)) folder = u"NAND Flash";
    } else if (name == u"DSK2:") {
        if (FolderPresent(u"\\SD Card", host))
            folder = u"SD Card";
        else if (FolderPresent(u"\\Hard Disk", host))
            folder = u"Hard Disk";
    }
    if (folder.empty() || Delayed(name)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetError(ERROR_SUCCESS);
    return NewHandle(std::make_shared<StoreObject>(folder));
}

HANDLE FindFirstPartition(HANDLE hStore, PPARTINFO pPartInfo) {
    auto store = HandleAs<StoreObject>(hStore);
    if (!store) {
        SetError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (!pPartInfo || pPartInfo->cbSize != sizeof(PARTINFO)) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string host;
    if (!FolderPresent((u"\\" + store->folder).c_str(), host)) {
        SetError(ERROR_FILE_NOT_FOUND);  // removed since it was opened
        return INVALID_HANDLE_VALUE;
    }
    Fill(store->folder, pPartInfo);
    SetError(ERROR_SUCCESS);
    return NewHandle(std::make_shared<PartitionSearch>());
}

BOOL FindNextPartition(HANDLE hSearch, PPARTINFO) {
    if (!HandleAs<PartitionSearch>(hSearch)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL FindClosePartition(HANDLE hSearch) {
    if (!HandleAs<PartitionSearch>(hSearch)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ReleaseHandle(hSearch) ? TRUE : FALSE;
}
