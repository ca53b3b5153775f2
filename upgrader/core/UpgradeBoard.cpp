#include "upgrader/UpgradeBoard.h"

#include <cstring>

#include "ui/BoardIo.h"

namespace {
constexpr DWORD kSettingSize = 986;
}

int FindModuleInSettings() {
    HANDLE f = CreateFileW(u"\\NAND Flash\\System\\Setting.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    BYTE data[kSettingSize + 1];
    DWORD read = 0;
    BOOL ok = ReadFile(f, data, sizeof data, &read, nullptr);
    CloseHandle(f);
    if (!ok || read != kSettingSize) return 0;
    WORD sum = 0;
    for (DWORD i = 0; i < kSettingSize - 2; ++i) sum = static_cast<WORD>(sum + data[i]);
    if (sum != static_cast<WORD>(data[984] | data[985] << 8)) return 0;
    static const char16_t kModel[] = u"Z-330";
    for (int i = 0; i < 5; ++i)
        if ((data[128 + 2 * i] | data[129 + 2 * i] << 8) != kModel[i]) return 0;
    OutputDebugStringW(u"Found Z-330");
    return 1;
}

UpgradeTarget ReadUpgradeTarget() {
    UpgradeTarget t;
    if (FindModuleInSettings()) {
        t.board.z330 = true;
        t.comPort = 6;
        t.storeRoot = u"\\Hard Disk";
        return t;
    }
    BYTE kind = 0;
    double revision = 0.0;
    ReadScreenRevision(&revision, &kind);
    t.board.revision = revision;
    t.revisionKnown = revision > 0.0;
    WCHAR line[64];
    swprintf(line, 64, u"SCR B'd Revision : %d.%d", static_cast<int>(revision),
             static_cast<int>(revision * 10 + 0.5) % 10);
    OutputDebugStringW(line);
    return t;
}
