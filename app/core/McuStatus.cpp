// The measurement record as it comes off the line: checked before the operation thread turns it
// into labels, axes and stop decisions.
#include "app/MicomPort.h"

namespace {
WORD Le16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

bool Temperature(SHORT t) { return t >= MCU_STATUS_MIN_TEMP && t <= MCU_STATUS_MAX_TEMP; }
}  // namespace

int McuDecodeStatus(const BYTE* reply, DWORD length, McuStatusRecord* status) {
    if (reply == nullptr || status == nullptr || length != MCU_STATUS_REPLY_SIZE) return 0;
    if (reply[0] != 0x02 || reply[1] != 0x00) return 0;
    const BYTE* r = reply + 2;
    McuStatusRecord rec = {};
    rec.Volt = Le16(r);
    rec.Current = Le16(r + 2);
    rec.BatteryTemp = static_cast<SHORT>(Le16(r + 4));
    rec.TransTemp = static_cast<SHORT>(Le16(r + 6));
    rec.HeatsinkTemp = static_cast<SHORT>(Le16(r + 8));
    for (int i = 0; i < 10; ++i) rec.Unused[i] = r[10 + i];
    rec.State = r[20];
    rec.Errors = r[21];
    if (rec.Volt > MCU_STATUS_MAX_VOLT || rec.Current > MCU_STATUS_MAX_CURRENT) return 0;
    if (!Temperature(rec.BatteryTemp) || !Temperature(rec.TransTemp)) return 0;
    if (rec.HeatsinkTemp != MCU_HEATSINK_STOPPED && !Temperature(rec.HeatsinkTemp)) return 0;
    *status = rec;
    return 1;
}
