// The flash part of an upgrade package: every entry is checked (bounds, names, sizes against the
// regions, signatures, inflated length and CRC) while it is extracted into a staging folder, and
// nothing is written to the flash before the whole part has passed.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "upgrader/FwHeader.h"

// Step bits of the flash part.
#define FLASH_STEP_XLDR 0x01u
#define FLASH_STEP_EBOOT 0x02u
#define FLASH_STEP_OS 0x04u
#define FLASH_STEP_LOGO 0x08u
#define FLASH_STEP_EMERGENCY 0x10u
#define FLASH_STEP_PMC 0x20u

// The board the package is for: revision 1.0, 2.0, 2.2 or 2.3, and the Z-330.
struct BoardModel {
    double revision = 2.3;
    bool z330 = false;
};

// What the flash steps write, each image's extracted file under the staging folder.
struct FlashPlan {
    DWORD steps = 0;
    std::u16string files[6];  // by step bit index: XLDR, EBoot, OS, logo, emergency, PMC
};

enum class FlashPartError { None, Read, Archive, Entry, Image, Write, Empty };

// Largest image per step (the XLDR copy holds 8 bytes of its own before the image).
DWORD FlashImageLimit(DWORD step, const BoardModel& board);

// Extracts the flash part of the package (device path) into staging (a device folder, made when
// missing) and checks it whole. progress(done, total) after each piece. On failure why names it;
// the staged files stay for the caller to remove (RemoveStagedFlashFiles).
FlashPartError ExtractFlashPart(const WCHAR* package, const FwPackageInfo& info, const BoardModel& board,
                                const WCHAR* staging, FlashPlan& plan, std::string& why,
                                const std::function<void(ULONGLONG, ULONGLONG)>& progress = {});
void RemoveStagedFlashFiles(const WCHAR* staging);
