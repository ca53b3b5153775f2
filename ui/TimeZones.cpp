#include "ui/TimeZones.h"

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kTziBytes = 44;
constexpr size_t kNameChars = 32;
constexpr DWORD kMaxValueBytes = 64 * 1024;

// The "TZI" value as the registry keeps it.
#pragma pack(push, 1)
struct RegTzi {
    LONG bias;
    LONG standardBias;
    LONG daylightBias;
    SYSTEMTIME standardDate;
    SYSTEMTIME daylightDate;
};
#pragma pack(pop)
static_assert(sizeof(RegTzi) == kTziBytes, "TZI is 44 bytes");

class RegKey {
public:
    RegKey(HKEY parent, const WCHAR* path) {
        if (RegOpenKeyExW(parent, path, 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
    }
    ~RegKey() {
        if (m_key) RegCloseKey(m_key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// The whole value; false when it is missing or beyond the bound. Retried when another program
// grows it between the size query and the read.
bool QueryValue(HKEY key, const WCHAR* name, std::vector<BYTE>& data) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size > kMaxValueBytes)
            return false;
        data.assign(size, 0);
        if (size == 0) return true;
        LONG err = RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &size);
        if (err == ERROR_SUCCESS) {
            data.resize(size);
            return true;
        }
        if (err != ERROR_MORE_DATA) return false;
    }
    return false;
}

// The stored text may lack its terminator or be longer than the record's field: cut and terminate.
void ReadName(HKEY key, const WCHAR* name, WCHAR (&out)[kNameChars]) {
    out[0] = 0;
    std::vector<BYTE> data;
    if (!QueryValue(key, name, data)) return;
    size_t chars = data.size() / sizeof(WCHAR);
    if (chars > kNameChars - 1) chars = kNameChars - 1;
    size_t i = 0;
    for (; i < chars; ++i) {
        WCHAR c;
        std::memcpy(&c, data.data() + i * sizeof(WCHAR), sizeof c);
        if (c == 0) break;
        out[i] = c;
    }
    out[i] = 0;
}

}  // namespace

BOOL ReadTimeZoneInfo(const WCHAR* keyName, TIME_ZONE_INFORMATION* info) {
    if (!keyName || !info || !*keyName) return FALSE;
    RegKey zones(HKEY_LOCAL_MACHINE, u"Time Zones");
    if (!zones.Get()) return FALSE;
    RegKey zone(zones.Get(), keyName);
    if (!zone.Get()) return FALSE;
    std::vector<BYTE> data;
    if (!QueryValue(zone.Get(), u"TZI", data) || data.size() < kTziBytes) return FALSE;
    RegTzi tzi;
    std::memcpy(&tzi, data.data(), sizeof tzi);

    *info = TIME_ZONE_INFORMATION{};
    info->Bias = tzi.bias;
    info->StandardBias = tzi.standardBias;
    info->DaylightBias = tzi.daylightBias;
    info->StandardDate = tzi.standardDate;
    info->DaylightDate = tzi.daylightDate;
    ReadName(zone.Get(), u"Std", info->StandardName);
    ReadName(zone.Get(), u"Dlt", info->DaylightName);
    return TRUE;
}

BOOL FindCurrentTimeZone(WCHAR* keyName, size_t capacity, BOOL* isDaylight) {
    if (keyName && capacity > 0) keyName[0] = 0;
    if (isDaylight) *isDaylight = 0;
    TIME_ZONE_INFORMATION current{};
    DWORD id = GetTimeZoneInformation(&current);
    if (id == TIME_ZONE_ID_INVALID) return FALSE;
    if (isDaylight) *isDaylight = id == TIME_ZONE_ID_DAYLIGHT ? 1 : 0;
    // A zone without a daylight rule has no daylight name or dates to compare: its bias and standard
    // name tell it.
    const bool noDaylight = id == TIME_ZONE_ID_UNKNOWN;
    if (noDaylight && current.StandardName[0] == 0) return FALSE;

    RegKey zones(HKEY_LOCAL_MACHINE, u"Time Zones");
    if (!zones.Get()) return FALSE;
    WCHAR fallback[MAX_PATH] = {0};
    WCHAR found[MAX_PATH] = {0};
    for (DWORD index = 0;; ++index) {
        WCHAR name[MAX_PATH];
        DWORD chars = MAX_PATH;
        LONG err = RegEnumKeyExW(zones.Get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (err == ERROR_MORE_DATA) continue;  // no zone has a name that long: not one of ours
        if (err != ERROR_SUCCESS) break;
        TIME_ZONE_INFORMATION zone;
        if (!ReadTimeZoneInfo(name, &zone)) continue;
        if (noDaylight) {
            if (zone.Bias == current.Bias && wcscmp(zone.StandardName, current.StandardName) == 0) {
                QrxStrCopy(found, MAX_PATH, name);
                break;
            }
            continue;
        }
        if (wcscmp(zone.DaylightName, current.DaylightName) == 0 && zone.Bias == current.Bias &&
            zone.StandardBias == current.StandardBias && zone.DaylightBias == current.DaylightBias &&
            std::memcmp(&zone.StandardDate, &current.StandardDate, sizeof(SYSTEMTIME)) == 0 &&
            std::memcmp(&zone.DaylightDate, &current.DaylightDate, sizeof(SYSTEMTIME)) == 0) {
            QrxStrCopy(found, MAX_PATH, name);
            break;
        }
        if (fallback[0] == 0) {
            if ((zone.DaylightName[0] != 0 && wcscmp(zone.DaylightName, current.DaylightName) == 0) ||
                (zone.StandardName[0] != 0 && wcscmp(zone.StandardName, current.StandardName) == 0))
                QrxStrCopy(fallback, MAX_PATH, name);
        }
    }
    const WCHAR* result = found[0] ? found : fallback;
    if (result[0] == 0) return FALSE;
    // A cut name would name another zone or none.
    if (!keyName || wcslen(result) >= capacity) return FALSE;
    QrxStrCopy(keyName, capacity, result);
    return TRUE;
}
