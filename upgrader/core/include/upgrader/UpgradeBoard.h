// Which board the upgrade is for: the Z-330 from the settings file, else the screen board's revision
// from the GPIO pins; and from that the serial port of the PMC and the store of the package.
#pragma once
#include <windows.h>

#include "upgrader/FlashPart.h"

// 1 when "\NAND Flash\System\Setting.bin" is valid (986 bytes, the 16-bit sum of bytes 0..983 equal to
// the u16 at 984) and its UTF-16 model text at 128 starts with "Z-330"; else 0.
int FindModuleInSettings();

struct UpgradeTarget {
    BoardModel board;
    int comPort = 2;                          // 6 on the Z-330
    const WCHAR* storeRoot = u"\\SD Card";    // "\Hard Disk" on the Z-330
    bool revisionKnown = true;                // false without the GPIO library: the PMC variant is unknown
};
UpgradeTarget ReadUpgradeTarget();
