// The settings store: the process-wide records and the data files on the internal flash.
#pragma once
#include <bit>
#include <cstddef>

#include <windows.h>

static_assert(std::endian::native == std::endian::little, "the records are stored as they lie in memory");

#pragma pack(push, 1)

// Setting.bin: these 984 bytes and their 16-bit sum.
struct SettingsRecord {
    WCHAR szSignature[64];     // "QRX SETTING FILE"
    WCHAR szModelName[64];     // "QRX-3301K", "QRX-3305L", "QRX-3307M", "Z-330"
    WORD wFrequency;           // mains frequency, Hz (50 or 60)
    SHORT nBatTempLimit;       // degrees Celsius, 30..70
    WORD wTransTempLimit;
    SHORT nHeatsinkLimit;
    WORD wLimitH5;             // at most 4000
    WORD wLimitH6;             // at most 4000
    BYTE reserved268[4];
    double dMaxVoltage;
    double dMaxCurrent;
    double dMinVoltage;
    double dMinCurrent;
    double dCutVoltage;        // sent to the MCU x 100
    double dCutCurrent;        // sent to the MCU x 100
    DWORD dwGraphChannel[5];   // graph channel switches 1..5
    BYTE reserved340[128];
    WORD wLockEnable;          // 0 or 1
    WORD wBackLight;           // 0 never, 1 = 30 minutes, 2 = 60 minutes
    WORD wBtRemote;            // 1 replies over Bluetooth, 0 over the COM5 link
    WORD wBtConnected;
    WORD wClock24;             // 0 12-hour with AM and PM
    WORD wFahrenheit;
    WORD wBtMode;              // argument of BT_Open and BT_ChangeMode
    BYTE reserved482[6];
    WORD wUnitEnable;          // attached unit enabled
    BYTE reserved490[362];
    WORD wFreqShowsTrans;      // frequency label shows the transformer temperature
    BYTE reserved854[126];
    DWORD dwRemoteStreaming;   // non-zero: a status record every second
};

struct ProgramStep {
    DWORD dwEnable;
    BYTE reserved4[4];
    double dVoltage;
    double dCurrent;
    DWORD dwTime;              // seconds
    DWORD dwDirection;         // 1 discharge, 0 charge
    BYTE byKind;               // 1..9
    BYTE reserved33;
    WORD wCapacity;            // ampere-hours, kind 9
    BYTE reserved36[12];
};

// OpMode.dat: the set values of the manual mode and the program, with an 8-bit sum.
struct OpModeRecord {
    double dVoltage;
    double dCurrent;
    DWORD dwTime;              // seconds
    BYTE reserved20[4];
    ProgramStep steps[6];
    BYTE bySum;                // sum of bytes 0..311 modulo 256
};

// auto.dat
struct AutoRecord {
    DWORD dwVoltage;           // volts
    DWORD dwCapacity;          // ampere-hours
    DWORD dwType;              // 0 lead-acid, 1 AGM or gel
    DWORD dwRate;              // 0 C5, 1 C6, 2 C10, 3 C20
    BYTE bySum;                // sum of bytes 0..15 modulo 256
};

// Serial.bin
struct SerialRecord {
    DWORD dwMagic;
    DWORD dwLength;
    char szText[128];          // 8-bit text, not terminated when 128 long
};

#pragma pack(pop)

static_assert(sizeof(SettingsRecord) == 984);
static_assert(offsetof(SettingsRecord, szModelName) == 128);
static_assert(offsetof(SettingsRecord, wFrequency) == 256);
static_assert(offsetof(SettingsRecord, nBatTempLimit) == 258);
static_assert(offsetof(SettingsRecord, wLimitH6) == 266);
static_assert(offsetof(SettingsRecord, dMaxVoltage) == 272);
static_assert(offsetof(SettingsRecord, dCutCurrent) == 312);
static_assert(offsetof(SettingsRecord, dwGraphChannel) == 320);
static_assert(offsetof(SettingsRecord, reserved340) == 340);
static_assert(offsetof(SettingsRecord, wLockEnable) == 468);
static_assert(offsetof(SettingsRecord, wBtMode) == 480);
static_assert(offsetof(SettingsRecord, wUnitEnable) == 488);
static_assert(offsetof(SettingsRecord, wFreqShowsTrans) == 852);
static_assert(offsetof(SettingsRecord, dwRemoteStreaming) == 980);
static_assert(sizeof(ProgramStep) == 48);
static_assert(offsetof(ProgramStep, dVoltage) == 8);
static_assert(offsetof(ProgramStep, dwTime) == 24);
static_assert(offsetof(ProgramStep, byKind) == 32);
static_assert(offsetof(ProgramStep, wCapacity) == 34);
static_assert(sizeof(OpModeRecord) == 313);
static_assert(offsetof(OpModeRecord, dwTime) == 16);
static_assert(offsetof(OpModeRecord, steps) == 24);
static_assert(offsetof(OpModeRecord, bySum) == 312);
static_assert(sizeof(AutoRecord) == 17);
static_assert(offsetof(AutoRecord, bySum) == 16);
static_assert(sizeof(SerialRecord) == 136);
static_assert(offsetof(SerialRecord, szText) == 8);

#define SETTING_FILE_SIZE 986
#define OPMODE_FILE_SIZE 313
#define OPMODE_OLD_FILE_SIZE 265
#define AUTO_FILE_SIZE 17
#define SERIAL_FILE_SIZE 136
#define SERIAL_MAGIC 0x19790722u
#define SERIAL_TEXT_MAX 128
#define TEMP_CAL_DEFAULT_0 45
#define TEMP_CAL_DEFAULT_1 683
#define LOGO_INDEX_COUNT 5

// Model indices of DetectModel.
#define MODEL_QRX3301K 1
#define MODEL_QRX3305L 2
#define MODEL_QRX3307M 3
#define MODEL_Z330 4

// Process-wide records, loaded at start-up and written back whole.
extern SettingsRecord g_Settings;
extern OpModeRecord g_OpMode;
extern AutoRecord g_AutoRecord;
// The serial text of Serial.bin, always terminated.
extern char g_szSerialText[SERIAL_TEXT_MAX + 1];
// Set by LoadSettingFiles from IsModelZ330: the Z-330 keeps its storage on the hard disk.
extern BOOL g_bModelZ330;
extern WCHAR g_szStorageRoot[16];
// Set by DetectModel.
extern int g_nModelIndex;
// Set by LoadCompanyInfo.
extern DWORD g_dwLogoIndex;

// The main page shows the model name and the company logo through these; until it registers them
// the values are only stored.
typedef void (*PFN_MODEL_LABEL)(const WCHAR* modelName);
typedef void (*PFN_COMPANY_LOGO)(DWORD logoIndex);
void SetModelLabelHandler(PFN_MODEL_LABEL handler);
void SetCompanyLogoHandler(PFN_COMPANY_LOGO handler);

// The table defaults of Setting.bin.
void SetDefaultSettings(SettingsRecord* record);
// Setting.bin, OpMode.dat, the lock rule and the serial text. mcuComNumber (may be null) becomes 6 for
// the Z-330 and is left alone otherwise.
void LoadSettingFiles(DWORD* mcuComNumber);
BOOL SaveSettingFile();
BOOL SaveOpModeFile();
// The admin page's settings clear: channel switches 0, 0, 1, 1, 1 and bytes 340..979 zero.
void ClearSettingOptions(SettingsRecord* record);

void LoadAutoFile();
BOOL SaveAutoFile();

// out: outSize bytes, always terminated. Returns the text length, 0 on any failure.
DWORD LoadSerialFile(char* out, size_t outSize);
// Writes and verifies; 1 when the re-read record equals what was written. length at most 128.
BOOL SaveSerialFile(const char* text, DWORD length);

// The two temperature calibration values; 45 and 683 when the file does not hold them.
void LoadTempCalFile(WORD calibration[2]);

void LoadCompanyInfo();
BOOL SaveCompanyInfo(DWORD logoIndex);

// calibration.dat from the touch calibration text of the registry.
BOOL SaveCalibrationFile(const WCHAR* text);

// The one test of "is it a Z-330" (port, storage, hardware check, pages): the name begins with
// "Z-330", so variants of the model count as the model. DetectModel's index compares whole names
// instead, for the model's limits.
BOOL IsModelZ330(const WCHAR* modelName);
void DetectModel();
void UpdateModelLabel();

// Sums as the files keep them.
WORD SettingsSum(const void* data, size_t size);
BYTE ByteSum(const void* data, size_t size);
// One 40-byte step of the older files (no capacity) in the 48-byte form, the rest zero.
#define OLD_PROGRAM_STEP_SIZE 40
void ReadOldProgramStep(const BYTE* old, ProgramStep* step);
