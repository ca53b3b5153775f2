// What Reflash's worker does, without its screen: the package checked whole, the marker, the flash
// steps and the application files, and the clean-up after a full success. Each failure names the box
// ([shell50] text id) that tells the user.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "upgrader/ComIO.h"
#include "upgrader/FwHeader.h"
#include "upgrader/UpgradeBoard.h"

// Text ids of section [shell50] for the boxes.
enum ReflashText {
    TEXT_TITLE = 0,
    TEXT_ERROR_TITLE = 1,
    TEXT_WORKING = 10,
    TEXT_WAIT_NAND = 11,
    TEXT_NO_PMC = 12,  // also the internal store missing
    TEXT_WAIT_CARD = 13,
    TEXT_NO_CARD = 14,
    TEXT_BAD_PACKAGE = 15,
    TEXT_NO_MARKER = 16,
    TEXT_FAILED = 17,
};

#define REFLASH_PACKAGE_NAME u"QRX3FWDATA.FWD"
#define REFLASH_MARKER u"\\NAND Flash\\app_upgrade.dat"
#define REFLASH_FLASH_STAGING u"\\NAND Flash\\~Flash"

// The language index of the command line: a decimal 0..9, anything else 0.
int ReflashLanguageIndex(const WCHAR* commandLine);

// The package on the store root of the target ("\SD Card\QRX3FWDATA.FWD").
std::u16string ReflashPackagePath(const UpgradeTarget& target);

struct UpgradeHooks {
    std::function<void(int)> progress;  // percent, 0..100, only when it changed
    // The PMC download of a firmware file; absent: the PMC step fails.
    std::function<bool(const std::u16string&, StepProgress&)> pmc;
};

// Runs the whole upgrade of a package whose header passed. Returns 0 when every part present
// succeeded (the marker and the sos2.dat files are gone then), else the text id of the box to show.
// Nothing is written before the whole package is checked and the marker is in place; a failed flash
// part still lets the application part run, and the result stays a failure.
int RunUpgrade(const std::u16string& package, const FwPackageInfo& info, const UpgradeTarget& target,
               const UpgradeHooks& hooks);
