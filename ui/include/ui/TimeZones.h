// The platform's time-zone registry: HKEY_LOCAL_MACHINE\Time Zones\<zone> with "TZI", "Std" and "Dlt".
#pragma once
#include <windows.h>

// 1 and the filled record when the zone's "TZI" value holds at least 44 bytes; 0 otherwise.
BOOL ReadTimeZoneInfo(const WCHAR* keyName, TIME_ZONE_INFORMATION* info);
// The key name of the zone the device is set to (capacity characters, MAX_PATH will do); isDaylight,
// when given, becomes 1 while daylight time is in force. 1 found; 0 and "" when not.
BOOL FindCurrentTimeZone(WCHAR* keyName, size_t capacity, BOOL* isDaylight);
