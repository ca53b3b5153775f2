// The device's time zone: one record in the device root shared by every program, read back whenever
// another program replaced it. Local time (time.cpp) asks here for the bias in force. Also the zones
// the registry offers to choose from.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "qrx/registry.h"
#include "qrx/synchapi.h"
#include "qrx/timezoneapi.h"
#include "qrx/wstr.h"

static_assert(std::endian::native == std::endian::little, "the zone file is the little-endian record as it is");

namespace qrx {

namespace {

constexpr long long kTicksPerMinute = 600000000LL;
constexpr LONG kMaxBiasMinutes = 24 * 60;  // real zones lie within a day of UTC
constexpr size_t kNameChars = 32;

TIME_ZONE_INFORMATION DefaultZone() {
    TIME_ZONE_INFORMATION z{};
    QrxStrCopy(z.StandardName, kNameChars, u"Coordinated Universal Time");
    QrxStrCopy(z.DaylightName, kNameChars, u"Coordinated Universal Time");
    return z;
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysIn(unsigned year, unsigned month) {
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

// A transition date: month 0 is "none"; otherwise a recurring rule (year 0: week 1-5 of weekday
// 0-6) or an absolute date, with a time of day.
bool ValidRuleDate(const SYSTEMTIME& d) {
    if (d.wMonth == 0) return true;
    if (d.wMonth > 12 || d.wHour > 23 || d.wMinute > 59 || d.wSecond > 59 || d.wMilliseconds > 999) return false;
    if (d.wYear == 0) return d.wDay >= 1 && d.wDay <= 5 && d.wDayOfWeek <= 6;
    return d.wYear >= 1601 && d.wYear <= 30827 && d.wDay >= 1 && d.wDay <= DaysIn(d.wYear, d.wMonth);
}

bool InBiasRange(long long minutes) { return minutes >= -kMaxBiasMinutes && minutes <= kMaxBiasMinutes; }

bool ValidZone(const TIME_ZONE_INFORMATION& z) {
    return InBiasRange(z.Bias) && InBiasRange(z.StandardBias) && InBiasRange(z.DaylightBias) &&
           InBiasRange(static_cast<long long>(z.Bias) + z.StandardBias) &&
           InBiasRange(static_cast<long long>(z.Bias) + z.DaylightBias) && ValidRuleDate(z.StandardDate) &&
           ValidRuleDate(z.DaylightDate);
}

bool HasRule(const TIME_ZONE_INFORMATION& z) { return z.DaylightDate.wMonth != 0 && z.StandardDate.wMonth != 0; }

void TerminateNames(TIME_ZONE_INFORMATION& z) {
    z.StandardName[kNameChars - 1] = 0;
    z.DaylightName[kNameChars - 1] = 0;
}

// Anything but one valid record is no zone at all: the default applies.
TIME_ZONE_INFORMATION ReadZoneFile(const std::string& path) {
    TIME_ZONE_INFORMATION z{};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return DefaultZone();
    unsigned char buf[sizeof z + 1];
    size_t used = 0;
    while (used < sizeof buf) {
        ssize_t n = read(fd, buf + used, sizeof buf - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    if (used != sizeof z) return DefaultZone();
    std::memcpy(&z, buf, sizeof z);
    if (!ValidZone(z)) return DefaultZone();
    TerminateNames(z);
    return z;
}

struct ZoneCache {
    std::mutex lock;
    bool valid = false;
    std::string path;
    FileIdentity identity;
    TIME_ZONE_INFORMATION zone{};
};

ZoneCache& Cache() {
    static ZoneCache* c = new ZoneCache;  // lives until exit: threads may ask for the time late
    return *c;
}

// The zone in force; re-read when the root changed or another program replaced the file.
TIME_ZONE_INFORMATION CurrentZone() {
    ZoneCache& c = Cache();
    std::string path = PlatformStatePath("timezone");
    std::lock_guard<std::mutex> g(c.lock);
    // Identified before reading: a change made while reading shows up at the next call.
    FileIdentity id = Identify(path);
    if (!c.valid || c.path != path || !(c.identity == id)) {
        c.zone = id.exists ? ReadZoneFile(path) : DefaultZone();
        c.path = path;
        c.identity = id;
        c.valid = true;
    }
    return c.zone;
}

bool WriteZoneFile(const TIME_ZONE_INFORMATION& z) {
    static std::mutex* writing = new std::mutex;  // the temporary name is per process
    std::lock_guard<std::mutex> g(*writing);
    std::string path = PlatformStatePath("timezone");
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
        return false;
    }
    bool ok = write(fd, &z, sizeof z) == static_cast<ssize_t>(sizeof z);
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        SetError(error == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
    }
    return ok;
}

long long Ticks(const SYSTEMTIME& st) {
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) return -1;
    return static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

WORD YearOf(long long ticks) {
    if (ticks < 0) ticks = 0;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32)};
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return 30827;
    return st.wYear;
}

// The local time of a rule's transition in the given year; -1 when it has none that year.
long long TransitionLocalTicks(const SYSTEMTIME& rule, unsigned year) {
    if (year < 1601 || year > 30827) return -1;
    SYSTEMTIME at{};
    at.wYear = static_cast<WORD>(year);
    at.wMonth = rule.wMonth;
    at.wHour = rule.wHour;
    at.wMinute = rule.wMinute;
    at.wSecond = rule.wSecond;
    at.wMilliseconds = rule.wMilliseconds;
    if (rule.wYear != 0) {
        if (rule.wYear != year) return -1;  // an absolute date happens once
        at.wDay = rule.wDay;
        return Ticks(at);
    }
    at.wDay = 1;
    long long first = Ticks(at);
    if (first < 0) return -1;
    // 1601-01-01 was a Monday.
    unsigned firstWeekday = static_cast<unsigned>((first / (86400 * 10000000LL) + 1) % 7);
    unsigned day = 1 + (rule.wDayOfWeek + 7 - firstWeekday) % 7 + (rule.wDay - 1u) * 7;
    while (day > DaysIn(year, rule.wMonth)) day -= 7;  // week 5 is the last one of the month
    at.wDay = static_cast<WORD>(day);
    return Ticks(at);
}

// Whether daylight time is in force at a UTC instant: the latest transition at or before it decides.
// Daylight starts at a local standard time and ends at a local daylight time.
bool DaylightAt(const TIME_ZONE_INFORMATION& z, long long utc) {
    long long standardTotal = static_cast<long long>(z.Bias) + z.StandardBias;
    long long daylightTotal = static_cast<long long>(z.Bias) + z.DaylightBias;
    unsigned year = YearOf(utc);
    bool found = false, daylight = false;
    long long latest = 0;
    for (unsigned y = year - 1; y <= year + 1; ++y) {
        long long start = TransitionLocalTicks(z.DaylightDate, y);
        long long end = TransitionLocalTicks(z.StandardDate, y);
        if (start >= 0) {
            long long at = start + standardTotal * kTicksPerMinute;
            if (at <= utc && (!found || at >= latest)) {
                found = true;
                latest = at;
                daylight = true;
            }
        }
        if (end >= 0) {
            long long at = end + daylightTotal * kTicksPerMinute;
            if (at <= utc && (!found || at >= latest)) {
                found = true;
                latest = at;
                daylight = false;
            }
        }
    }
    return found && daylight;
}

LONG BiasAt(const TIME_ZONE_INFORMATION& z, long long utc, DWORD* id) {
    if (!HasRule(z)) {
        if (id) *id = TIME_ZONE_ID_UNKNOWN;
        return z.Bias;
    }
    bool daylight = DaylightAt(z, utc);
    if (id) *id = daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
    return z.Bias + (daylight ? z.DaylightBias : z.StandardBias);
}

long long NowUtcTicks() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    return static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

// ---- The registry's zones --------------------------------------------------------------------------

// A recurring transition: month, weekday (0 Sunday), week of the month (5 the last), local time.
struct Rule {
    WORD month, weekday, week, hour, minute, second, ms;
};

constexpr Rule kNoRule{0, 0, 0, 0, 0, 0, 0};
constexpr Rule kUsStart{3, 0, 2, 2, 0, 0, 0}, kUsEnd{11, 0, 1, 2, 0, 0, 0};
constexpr Rule kMexicoStart{4, 0, 1, 2, 0, 0, 0}, kMexicoEnd{10, 0, 5, 2, 0, 0, 0};
constexpr Rule kChileStart{10, 6, 2, 23, 59, 59, 999}, kChileEnd{3, 6, 2, 23, 59, 59, 999};
constexpr Rule kBrazilStart{10, 0, 3, 0, 0, 0, 0}, kBrazilEnd{2, 0, 3, 0, 0, 0, 0};
constexpr Rule kGreenlandStart{3, 6, 5, 22, 0, 0, 0}, kGreenlandEnd{10, 6, 5, 23, 0, 0, 0};
constexpr Rule kMidAtlanticStart{3, 0, 5, 2, 0, 0, 0}, kMidAtlanticEnd{9, 0, 5, 2, 0, 0, 0};
constexpr Rule kGmtStart{3, 0, 5, 1, 0, 0, 0}, kGmtEnd{10, 0, 5, 2, 0, 0, 0};
constexpr Rule kEuStart{3, 0, 5, 2, 0, 0, 0}, kEuEnd{10, 0, 5, 3, 0, 0, 0};
constexpr Rule kEastEuStart{3, 0, 5, 3, 0, 0, 0}, kEastEuEnd{10, 0, 5, 4, 0, 0, 0};
constexpr Rule kEgyptStart{4, 4, 5, 23, 59, 59, 999}, kEgyptEnd{9, 4, 5, 23, 59, 59, 999};
constexpr Rule kIsraelStart{3, 5, 5, 2, 0, 0, 0}, kIsraelEnd{10, 0, 1, 2, 0, 0, 0};
constexpr Rule kIraqStart{4, 0, 1, 3, 0, 0, 0}, kIraqEnd{10, 0, 1, 4, 0, 0, 0};
constexpr Rule kIranStart{3, 0, 1, 2, 0, 0, 0}, kIranEnd{9, 2, 4, 2, 0, 0, 0};
constexpr Rule kWestAusStart{10, 0, 5, 2, 0, 0, 0}, kWestAusEnd{3, 0, 5, 3, 0, 0, 0};
constexpr Rule kAusStart{10, 0, 1, 2, 0, 0, 0}, kAusEnd{4, 0, 1, 3, 0, 0, 0};
constexpr Rule kNzStart{9, 0, 5, 2, 0, 0, 0}, kNzEnd{4, 0, 1, 3, 0, 0, 0};

struct ZoneSeed {
    const char16_t* key;  // also the standard name
    const char16_t* daylightName;
    LONG bias;
    Rule start, end;
};

// The zones of the time-zone map, under the platform's key names.
const ZoneSeed kZoneSeeds[] = {
    {u"Dateline Standard Time", u"Dateline Daylight Time", 720, kNoRule, kNoRule},
    {u"Samoa Standard Time", u"Samoa Daylight Time", 660, kNoRule, kNoRule},
    {u"Hawaiian Standard Time", u"Hawaiian Daylight Time", 600, kNoRule, kNoRule},
    {u"Alaskan Standard Time", u"Alaskan Daylight Time", 540, kUsStart, kUsEnd},
    {u"Pacific Standard Time", u"Pacific Daylight Time", 480, kUsStart, kUsEnd},
    {u"US Mountain Standard Time", u"US Mountain Daylight Time", 420, kNoRule, kNoRule},
    {u"Mexico Standard Time 2", u"Mexico Daylight Time 2", 420, kMexicoStart, kMexicoEnd},
    {u"Mountain Standard Time", u"Mountain Daylight Time", 420, kUsStart, kUsEnd},
    {u"Central America Standard Time", u"Central America Daylight Time", 360, kNoRule, kNoRule},
    {u"Central Standard Time", u"Central Daylight Time", 360, kUsStart, kUsEnd},
    {u"Mexico Standard Time", u"Mexico Daylight Time", 360, kMexicoStart, kMexicoEnd},
    {u"Canada Central Standard Time", u"Canada Central Daylight Time", 360, kNoRule, kNoRule},
    {u"SA Pacific Standard Time", u"SA Pacific Daylight Time", 300, kNoRule, kNoRule},
    {u"Eastern Standard Time", u"Eastern Daylight Time", 300, kUsStart, kUsEnd},
    {u"US Eastern Standard Time", u"US Eastern Daylight Time", 300, kNoRule, kNoRule},
    {u"Atlantic Standard Time", u"Atlantic Daylight Time", 240, kUsStart, kUsEnd},
    {u"SA Western Standard Time", u"SA Western Daylight Time", 240, kNoRule, kNoRule},
    {u"Pacific SA Standard Time", u"Pacific SA Daylight Time", 240, kChileStart, kChileEnd},
    {u"Newfoundland Standard Time", u"Newfoundland Daylight Time", 210, kUsStart, kUsEnd},
    {u"E. South America Standard Time", u"E. South America Daylight Time", 180, kBrazilStart, kBrazilEnd},
    {u"SA Eastern Standard Time", u"SA Eastern Daylight Time", 180, kNoRule, kNoRule},
    {u"Greenland Standard Time", u"Greenland Daylight Time", 180, kGreenlandStart, kGreenlandEnd},
    {u"Mid-Atlantic Standard Time", u"Mid-Atlantic Daylight Time", 120, kMidAtlanticStart, kMidAtlanticEnd},
    {u"Azores Standard Time", u"Azores Daylight Time", 60, kEuStart, kEuEnd},
    {u"Cape Verde Standard Time", u"Cape Verde Daylight Time", 60, kNoRule, kNoRule},
    {u"Greenwich Standard Time", u"Greenwich Daylight Time", 0, kNoRule, kNoRule},
    {u"GMT Standard Time", u"GMT Daylight Time", 0, kGmtStart, kGmtEnd},
    {u"W. Europe Standard Time", u"W. Europe Daylight Time", -60, kEuStart, kEuEnd},
    {u"Central Europe Standard Time", u"Central Europe Daylight Time", -60, kEuStart, kEuEnd},
    {u"Romance Standard Time", u"Romance Daylight Time", -60, kEuStart, kEuEnd},
    {u"Central European Standard Time", u"Central European Daylight Time", -60, kEuStart, kEuEnd},
    {u"W. Central Africa Standard Time", u"W. Central Africa Daylight Time", -60, kNoRule, kNoRule},
    {u"GTB Standard Time", u"GTB Daylight Time", -120, kEastEuStart, kEastEuEnd},
    {u"E. Europe Standard Time", u"E. Europe Daylight Time", -120, kEastEuStart, kEastEuEnd},
    {u"Egypt Standard Time", u"Egypt Daylight Time", -120, kEgyptStart, kEgyptEnd},
    {u"South Africa Standard Time", u"South Africa Daylight Time", -120, kNoRule, kNoRule},
    {u"FLE Standard Time", u"FLE Daylight Time", -120, kEastEuStart, kEastEuEnd},
    {u"Jerusalem Standard Time", u"Jerusalem Daylight Time", -120, kIsraelStart, kIsraelEnd},
    {u"Arabic Standard Time", u"Arabic Daylight Time", -180, kIraqStart, kIraqEnd},
    {u"Arab Standard Time", u"Arab Daylight Time", -180, kNoRule, kNoRule},
    {u"Russian Standard Time", u"Russian Daylight Time", -180, kEuStart, kEuEnd},
    {u"E. Africa Standard Time", u"E. Africa Daylight Time", -180, kNoRule, kNoRule},
    {u"Iran Standard Time", u"Iran Daylight Time", -210, kIranStart, kIranEnd},
    {u"Arabian Standard Time", u"Arabian Daylight Time", -240, kNoRule, kNoRule},
    {u"Caucasus Standard Time", u"Caucasus Daylight Time", -240, kEuStart, kEuEnd},
    {u"Afghanistan Standard Time", u"Afghanistan Daylight Time", -270, kNoRule, kNoRule},
    {u"Ekaterinburg Standard Time", u"Ekaterinburg Daylight Time", -300, kEuStart, kEuEnd},
    {u"West Asia Standard Time", u"West Asia Daylight Time", -300, kNoRule, kNoRule},
    {u"India Standard Time", u"India Daylight Time", -330, kNoRule, kNoRule},
    {u"Nepal Standard Time", u"Nepal Daylight Time", -345, kNoRule, kNoRule},
    {u"N. Central Asia Standard Time", u"N. Central Asia Daylight Time", -360, kEuStart, kEuEnd},
    {u"Central Asia Standard Time", u"Central Asia Daylight Time", -360, kNoRule, kNoRule},
    {u"Sri Lanka Standard Time", u"Sri Lanka Daylight Time", -330, kNoRule, kNoRule},
    {u"Myanmar Standard Time", u"Myanmar Daylight Time", -390, kNoRule, kNoRule},
    {u"SE Asia Standard Time", u"SE Asia Daylight Time", -420, kNoRule, kNoRule},
    {u"North Asia Standard Time", u"North Asia Daylight Time", -420, kEuStart, kEuEnd},
    {u"China Standard Time", u"China Daylight Time", -480, kNoRule, kNoRule},
    {u"North Asia East Standard Time", u"North Asia East Daylight Time", -480, kEuStart, kEuEnd},
    {u"Malay Peninsula Standard Time", u"Malay Peninsula Daylight Time", -480, kNoRule, kNoRule},
    {u"W. Australia Standard Time", u"W. Australia Daylight Time", -480, kWestAusStart, kWestAusEnd},
    {u"Taipei Standard Time", u"Taipei Daylight Time", -480, kNoRule, kNoRule},
    {u"Tokyo Standard Time", u"Tokyo Daylight Time", -540, kNoRule, kNoRule},
    {u"Korea Standard Time", u"Korea Daylight Time", -540, kNoRule, kNoRule},
    {u"Yakutsk Standard Time", u"Yakutsk Daylight Time", -540, kEuStart, kEuEnd},
    {u"Cen. Australia Standard Time", u"Cen. Australia Daylight Time", -570, kAusStart, kAusEnd},
    {u"AUS Central Standard Time", u"AUS Central Daylight Time", -570, kNoRule, kNoRule},
    {u"E. Australia Standard Time", u"E. Australia Daylight Time", -600, kNoRule, kNoRule},
    {u"AUS Eastern Standard Time", u"AUS Eastern Daylight Time", -600, kAusStart, kAusEnd},
    {u"West Pacific Standard Time", u"West Pacific Daylight Time", -600, kNoRule, kNoRule},
    {u"Tasmania Standard Time", u"Tasmania Daylight Time", -600, kAusStart, kAusEnd},
    {u"Vladivostok Standard Time", u"Vladivostok Daylight Time", -600, kEuStart, kEuEnd},
    {u"Central Pacific Standard Time", u"Central Pacific Daylight Time", -660, kNoRule, kNoRule},
    {u"New Zealand Standard Time", u"New Zealand Daylight Time", -720, kNzStart, kNzEnd},
    {u"Fiji Standard Time", u"Fiji Daylight Time", -720, kNoRule, kNoRule},
    {u"Tonga Standard Time", u"Tonga Daylight Time", -780, kNoRule, kNoRule},
};

SYSTEMTIME RuleDate(const Rule& r) {
    SYSTEMTIME st{};
    st.wMonth = r.month;
    st.wDayOfWeek = r.weekday;
    st.wDay = r.week;
    st.wHour = r.hour;
    st.wMinute = r.minute;
    st.wSecond = r.second;
    st.wMilliseconds = r.ms;
    return st;
}

// The "TZI" value: bias, standard bias, daylight bias, standard date, daylight date.
std::vector<BYTE> TziValue(const ZoneSeed& z) {
    LONG biases[3] = {z.bias, 0, -60};
    SYSTEMTIME dates[2] = {RuleDate(z.end), RuleDate(z.start)};
    std::vector<BYTE> out(sizeof biases + sizeof dates);
    std::memcpy(out.data(), biases, sizeof biases);
    std::memcpy(out.data() + sizeof biases, dates, sizeof dates);
    return out;
}

LONG SetString(HKEY key, const WCHAR* name, const WCHAR* text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
}

}  // namespace

bool WriteDefaultTimeZones() {
    // One write of the store for all zones instead of one per value.
    RegistryBatch batch;
    bool ok = true;
    for (const ZoneSeed& seed : kZoneSeeds) {
        std::u16string path = std::u16string(u"Time Zones\\") + seed.key;
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            ok = false;
            continue;
        }
        // "TZI" goes last: a zone without it was left half written and is completed.
        DWORD size = 0;
        if (RegQueryValueExW(key, u"TZI", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
            std::vector<BYTE> tzi = TziValue(seed);
            bool written =
                SetString(key, u"Std", seed.key) == ERROR_SUCCESS &&
                SetString(key, u"Dlt", seed.daylightName) == ERROR_SUCCESS &&
                RegSetValueExW(key, u"TZI", 0, REG_BINARY, tzi.data(), static_cast<DWORD>(tzi.size())) == ERROR_SUCCESS;
            ok = written && ok;
        }
        RegCloseKey(key);
    }
    return batch.Commit() == ERROR_SUCCESS && ok;
}

LONG ZoneBiasMinutesAt(long long utcTicks) { return BiasAt(CurrentZone(), utcTicks, nullptr); }

// A local time in the hour skipped at the start of daylight time has no UTC instant and takes the
// standard bias; one in the hour repeated at its end takes the first (daylight) instant.
LONG ZoneBiasMinutesForLocal(long long localTicks) {
    TIME_ZONE_INFORMATION z = CurrentZone();
    if (!HasRule(z)) return z.Bias;
    LONG daylight = z.Bias + z.DaylightBias;
    LONG standard = z.Bias + z.StandardBias;
    return DaylightAt(z, localTicks + static_cast<long long>(daylight) * kTicksPerMinute) ? daylight : standard;
}

void SetLocalBiasMinutes(LONG biasMinutes) {
    if (!InBiasRange(biasMinutes)) return;
    TIME_ZONE_INFORMATION z = CurrentZone();
    z.Bias = biasMinutes;
    z.StandardBias = 0;
    z.DaylightBias = 0;
    z.StandardDate = SYSTEMTIME{};
    z.DaylightDate = SYSTEMTIME{};
    WriteZoneFile(z);
}

LONG LocalBiasMinutes() { return ZoneBiasMinutesAt(NowUtcTicks()); }

}  // namespace qrx

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation) {
    if (!lpTimeZoneInformation) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    TIME_ZONE_INFORMATION z = qrx::CurrentZone();
    *lpTimeZoneInformation = z;
    DWORD id = TIME_ZONE_ID_UNKNOWN;
    qrx::BiasAt(z, qrx::NowUtcTicks(), &id);
    return id;
}

BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* lpTimeZoneInformation) {
    if (!lpTimeZoneInformation || !qrx::ValidZone(*lpTimeZoneInformation)) {
        qrx::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TIME_ZONE_INFORMATION z = *lpTimeZoneInformation;
    qrx::TerminateNames(z);
    return qrx::WriteZoneFile(z) ? TRUE : FALSE;
}
