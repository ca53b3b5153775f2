// A whole upgrade package from the card: its header, then the flash part checked and extracted into a
// staging folder of a temporary device root, as the upgrader does before it writes anything.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzRoot.h"
#include "qrx/host.h"
#include "upgrader/FlashPart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FuzzRoot root("fwd", {"SD Card", "NAND Flash"});
    if (size > (4u << 20)) return 0;
    HANDLE f = CreateFileW(u"\\SD Card\\QRX3FWDATA.FWD", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    DWORD put = 0;
    WriteFile(f, data, static_cast<DWORD>(size), &put, nullptr);
    CloseHandle(f);
    FwPackageInfo info;
    if (ReadFwDataHeader(u"\\SD Card\\QRX3FWDATA.FWD", &info) != FWH_OK) return 0;
    for (BoardModel board : {BoardModel{2.3, false}, BoardModel{1.0, true}}) {
        FlashPlan plan;
        std::string why;
        if (ExtractFlashPart(u"\\SD Card\\QRX3FWDATA.FWD", info, board, u"\\NAND Flash\\Staging", plan, why) ==
                FlashPartError::None &&
            plan.steps == 0)
            __builtin_trap();  // success always names what it writes
        RemoveStagedFlashFiles(u"\\NAND Flash\\Staging");
    }
    return 0;
}
