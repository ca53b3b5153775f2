// The zip reader over arbitrary bytes: the directory, every member's record, a name lookup and
// inflation in bounded pieces, through the handle functions and the archive holder's lookups.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ui/ZipArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    DWORD length = static_cast<DWORD>(size);
    HZIP zip = OpenZipMemory(data, length, nullptr);
    if (!zip) return 0;
    ZipItemInfo item{};
    int index = -1;
    std::vector<BYTE> buffer(4096);
    if (GetZipItem(zip, -1, &item) == ZR_OK) {
        int count = std::min(item.index, 32);
        for (int i = 0; i < count; ++i) {
            if (GetZipItem(zip, i, &item) != ZR_OK) continue;
            // A member may inflate to far more than it claims: read a bounded number of pieces.
            for (int piece = 0; piece < 16; ++piece)
                if (UnzipZipItemToMemory(zip, i, buffer.data(), static_cast<DWORD>(buffer.size())) != ZR_MORE) break;
        }
        GetZipItem(zip, count, &item);
    }
    FindZipItem(zip, u"MAIN_BG.BMP", true, &index, &item);
    FindZipItem(zip, u"a.png", false, &index, &item);
    CloseZip(zip);

    if (FindArchiveItem(data, length, u"logo.png", &item, &index) && item.unc_size > 0 && item.unc_size <= 65536) {
        std::vector<BYTE> member(static_cast<size_t>(item.unc_size));
        UnzipArchiveItem(data, length, member.data(), &item, index);
    }
    return 0;
}
