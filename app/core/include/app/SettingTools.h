// The setting and admin pages' work that needs no window: date steps, version and label texts, the
// upgrade package check, the log deletion, the settings clear and the settings import.
#pragma once
#include <cstddef>

#include <windows.h>

#include "app/Settings.h"

// The clock accepts these years (the remote date request's range too).
#define SETTING_YEAR_MIN 2000
#define SETTING_YEAR_MAX 2099

// Date and time fields of the setting page: 1 year, 2 month, 3 day, 4 hour, 5 minute, 6 second.
BOOL IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Adds delta to field; 0 and time unchanged when the step leaves the field's range. Year and month steps
// turn 29 February of a common year into 1 February and clamp other days to the month's length.
BOOL StepDateField(SYSTEMTIME* time, int field, int delta);

// "%d.%d.%d" of the MCU firmware bytes; "0.0.x" for an unknown board code.
void FormatFirmwareVersion(const BYTE firmware[4], WCHAR* out, size_t capacity);
// Display-board revision ("0.0" when unknown) and the screen board revision.
void FormatHardwareVersion(const WCHAR* boardText, double screenRevision, WCHAR* out, size_t capacity);
// The board-support version cut at its last "." and the program's own part.
void FormatSoftwareVersion(const WCHAR* bspText, WCHAR* out, size_t capacity);

// A limit outside 30..70 counts as 50.
int ValidTempLimit(int limit);
// +5, past 70 back to 30.
int NextTempLimit(int limit);
// "%02d ℃", or the limit in Fahrenheit with "℉".
void FormatTempLimit(int limit, BOOL fahrenheit, WCHAR* out, size_t capacity);

#define UPGRADE_VERSION_CHARS 10
// The package file at path, checked by the package's one header reader; version receives its text
// (at most 10 units, terminated).
BOOL ReadUpgradeHeader(const WCHAR* path, WCHAR* version, size_t capacity);

// Deletes the "*.CSV" files of root\Log except keepPath (the running run's log, may be null or ""),
// then the stored lock pattern. 1 when every file went; a missing folder is nothing to delete.
BOOL GetFileList(const WCHAR* root, const WCHAR* keepPath);
// A data file and its ".tmp" twin; 1 when neither is left.
BOOL DeleteDataFile(const WCHAR* path);
// The admin page's clear: the options cleared, the OpMode record zeroed, OpMode.dat, pgmset.dat and
// LockDat.dat deleted with their twins. 1 when no file is left.
BOOL ClearSettings(SettingsRecord* settings, OpModeRecord* opMode);

// 1 for a whole Setting.bin image: 986 bytes with a good sum.
BOOL CheckSettingImage(const BYTE* data, size_t size);
// Copies a good settings file from source over the stored one (power-safe); 0 leaves the stored one.
BOOL ImportSettingFile(const WCHAR* source);
