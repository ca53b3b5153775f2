#include "upgrader/FwHeader.h"

#include <cstring>

void InitFwDataHeader(FWDATA_HEADER* header) { std::memset(header, 0, sizeof *header); }

bool FwPartPresent(ULONGLONG size) { return (size >> 32) != 0 || (size & 0xFFFFFFFFu) > FWDATA_PART_MIN; }

namespace {

// A present part must be addressable with 32 bits and lie behind the header, inside the file.
bool PartInFile(ULONGLONG offset, ULONGLONG size, ULONGLONG fileSize) {
    if ((offset >> 32) != 0 || (size >> 32) != 0) return false;
    return offset >= sizeof(FWDATA_HEADER) && offset + size <= fileSize;
}

}  // namespace

FwHeaderResult ParseFwDataHeader(const BYTE* bytes, size_t size, ULONGLONG fileSize, FwPackageInfo* info) {
    if (!bytes || size < sizeof(FWDATA_HEADER)) return FWH_SHORT;
    FWDATA_HEADER h;
    std::memcpy(&h, bytes, sizeof h);
    // The magic compares as a C string: the NUL right after it is part of it.
    if (std::memcmp(h.magic, FWDATA_MAGIC, sizeof FWDATA_MAGIC) != 0) return FWH_MAGIC;
    FwPackageInfo out;
    if (FwPartPresent(h.flashSize)) {
        if (!PartInFile(h.flashOffset, h.flashSize, fileSize)) return FWH_PART_RANGE;
        out.steps |= FWSTEP_FLASH;
        out.flashOffset = static_cast<DWORD>(h.flashOffset);
        out.flashSize = static_cast<DWORD>(h.flashSize);
    }
    if (FwPartPresent(h.appSize)) {
        if (!PartInFile(h.appOffset, h.appSize, fileSize)) return FWH_PART_RANGE;
        out.steps |= FWSTEP_APP;
        out.appOffset = static_cast<DWORD>(h.appOffset);
        out.appSize = static_cast<DWORD>(h.appSize);
    }
    if (out.steps == 0) return FWH_NO_PART;
    for (size_t i = 0; i < 10 && h.osVersion[i]; ++i) out.osVersion[i] = h.osVersion[i];
    if (info) *info = out;
    return FWH_OK;
}

FwHeaderResult ReadFwDataHeader(const WCHAR* path, FwPackageInfo* info) {
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return FWH_NO_FILE;
    BYTE bytes[sizeof(FWDATA_HEADER)];
    DWORD read = 0, high = 0;
    DWORD low = GetFileSize(f, &high);
    BOOL ok = ReadFile(f, bytes, sizeof bytes, &read, nullptr);
    CloseHandle(f);
    if (!ok) return FWH_SHORT;
    return ParseFwDataHeader(bytes, read, (static_cast<ULONGLONG>(high) << 32) | low, info);
}

const char* FwHeaderResultText(FwHeaderResult result) {
    switch (result) {
        case FWH_OK:
            return "ok";
        case FWH_NO_FILE:
            return "no package";
        case FWH_SHORT:
            return "shorter than its header";
        case FWH_MAGIC:
            return "wrong magic";
        case FWH_PART_RANGE:
            return "a part lies outside the file";
        case FWH_NO_PART:
            return "no part";
    }
    return "?";
}
