// Time zones: the device's zone is one record shared by every program; local time follows it.
#pragma once
#include "types.h"

typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias;  // minutes, UTC = local time + bias
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *PTIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;
static_assert(sizeof(TIME_ZONE_INFORMATION) == 172, "TIME_ZONE_INFORMATION is the platform's 172-byte record");

#define TIME_ZONE_ID_UNKNOWN 0u
#define TIME_ZONE_ID_STANDARD 1u
#define TIME_ZONE_ID_DAYLIGHT 2u
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu

// Transition dates: wMonth 0 means no daylight rule. wYear 0 is a recurring rule: wDay is the week of
// the month (1-5, 5 = the last) of weekday wDayOfWeek, at wHour:wMinute local standard time.
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation);
BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* lpTimeZoneInformation);

// host-side: seeds HKEY_LOCAL_MACHINE\Time Zones with the zones the device offers ("TZI", "Std", "Dlt"),
// leaving zones already there as they are; for the device-root builder. False when a write failed.
namespace qrx {
bool WriteDefaultTimeZones();
}  // namespace qrx
