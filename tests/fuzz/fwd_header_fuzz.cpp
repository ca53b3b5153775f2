// The upgrade package's header over arbitrary bytes, against the input's own length and against
// lengths around the parts it names.
#include <cstddef>
#include <cstdint>

#include "upgrader/FwHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FwPackageInfo info;
    const ULONGLONG sizes[] = {size, 0, 0xFFFFFFFFull, 0x1FFFFFFFFull};
    for (ULONGLONG fileSize : sizes)
        if (ParseFwDataHeader(data, size, fileSize, &info) == FWH_OK) {
            // What passes names parts inside the file, behind the header.
            if ((info.steps & FWSTEP_FLASH) && static_cast<ULONGLONG>(info.flashOffset) + info.flashSize > fileSize)
                __builtin_trap();
            if ((info.steps & FWSTEP_APP) && (info.appOffset < sizeof(FWDATA_HEADER) ||
                                              static_cast<ULONGLONG>(info.appOffset) + info.appSize > fileSize))
                __builtin_trap();
            if (info.osVersion[10] != 0) __builtin_trap();
        }
    return 0;
}
