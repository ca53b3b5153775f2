// The 78-byte header of the upgrade package QRX3FWDATA.FWD and the checks that make the rest of the
// package safe to read: each part present lies wholly inside the file, behind the header.
#pragma once
#include <windows.h>

#pragma pack(push, 1)
typedef struct _FWDATA_HEADER {
    char magic[24];  // "QRX2 FWDATA", NUL-terminated
    WORD reserved;
    ULONGLONG flashOffset;  // only the low 32 bits address the file
    ULONGLONG flashSize;
    ULONGLONG appOffset;
    ULONGLONG appSize;
    WCHAR osVersion[10];  // UTF-16, NUL-terminated within the field (not always)
} FWDATA_HEADER;
#pragma pack(pop)
static_assert(sizeof(FWDATA_HEADER) == 78, "package header is 78 bytes");

#define FWDATA_MAGIC "QRX2 FWDATA"
#define FWDATA_PART_MIN 22u  // an empty zip archive: a part of this size or less is absent
#define FWSTEP_FLASH 0x01u
#define FWSTEP_APP 0x02u

enum FwHeaderResult {
    FWH_OK = 0,
    FWH_NO_FILE,     // the package cannot be opened
    FWH_SHORT,       // fewer than 78 bytes
    FWH_MAGIC,       // not the magic text
    FWH_PART_RANGE,  // a part present lies outside the file or over the header
    FWH_NO_PART,     // neither part present
};

struct FwPackageInfo {
    DWORD steps = 0;  // FWSTEP_FLASH, FWSTEP_APP
    DWORD flashOffset = 0, flashSize = 0;
    DWORD appOffset = 0, appSize = 0;
    WCHAR osVersion[11] = {};  // at most 10 units, always terminated
};

void InitFwDataHeader(FWDATA_HEADER* header);
// A part is present when the high 32 bits of its size are set or the low 32 bits exceed 22.
bool FwPartPresent(ULONGLONG size);
// Checks a header read from a package of fileSize bytes; info is filled on FWH_OK.
FwHeaderResult ParseFwDataHeader(const BYTE* bytes, size_t size, ULONGLONG fileSize, FwPackageInfo* info);
// Opens the package (device path), reads and checks its header.
FwHeaderResult ReadFwDataHeader(const WCHAR* path, FwPackageInfo* info);
const char* FwHeaderResultText(FwHeaderResult result);
