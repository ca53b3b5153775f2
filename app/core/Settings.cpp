#include "app/Settings.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "app/SettingsFile.h"
#include "ui/IniFile.h"

namespace {

const WCHAR kSignature[] = u"QRX SETTING FILE";
const WCHAR kSettingFolder[] = u"\\NAND Flash\\System";
const WCHAR kSettingFile[] = u"\\NAND Flash\\System\\Setting.bin";
const WCHAR kOpModeFile[] = u"\\NAND Flash\\OpMode.dat";
const WCHAR kAutoFile[] = u"\\NAND Flash\\auto.dat";
const WCHAR kSerialFile[] = u"\\NAND Flash\\Serial.bin";
const WCHAR kTempCalFile[] = u"\\NAND Flash\\temp_cal.dat";
const WCHAR kCompanyFile[] = u"\\NAND Flash\\COMPANY_INFO.dat";
const WCHAR kCalibrationFile[] = u"\\NAND Flash\\calibration.dat";
const WCHAR kLockFile[] = u"\\NAND Flash\\LockDat.dat";

constexpr size_t kSettingBytes = sizeof(SettingsRecord);
constexpr size_t kOpModeBytes = sizeof(OpModeRecord) - 1;
constexpr size_t kOldStepBytes = 40;
constexpr size_t kOldOpModeBytes = OPMODE_OLD_FILE_SIZE - 1;
constexpr size_t kAutoBytes = sizeof(AutoRecord) - 1;

PFN_MODEL_LABEL g_pfnModelLabel;
PFN_COMPANY_LOGO g_pfnCompanyLogo;
// Until auto.dat has been read once, a missing file gives the defaults rather than a zero record.
bool g_autoLoaded;

// Record texts may come without a terminator from the file.
template <size_t N>
void SetText(WCHAR (&field)[N], const WCHAR* text) {
    std::memset(field, 0, sizeof(field));
    QrxStrCopy(field, N, text);
}

template <size_t N>
void Terminate(WCHAR (&field)[N]) {
    field[N - 1] = 0;
}

template <class T>
T ReadLE(const BYTE* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// A record with a good sum can still carry values no stage downstream can convert.
void RepairNumbers(SettingsRecord& record) {
    SettingsRecord defaults;
    SetDefaultSettings(&defaults);
    double SettingsRecord::*fields[] = {&SettingsRecord::dMaxVoltage, &SettingsRecord::dMaxCurrent,
                                        &SettingsRecord::dMinVoltage, &SettingsRecord::dMinCurrent,
                                        &SettingsRecord::dCutVoltage, &SettingsRecord::dCutCurrent};
    for (auto field : fields) {
        double value = record.*field;
        if (!std::isfinite(value)) record.*field = defaults.*field;
    }
}

void RepairNumbers(OpModeRecord& record) {
    auto fixed = [](double value) { return std::isfinite(value) ? value : 0.0; };
    record.dVoltage = fixed(record.dVoltage);
    record.dCurrent = fixed(record.dCurrent);
    for (ProgramStep& step : record.steps) {
        step.dVoltage = fixed(step.dVoltage);
        step.dCurrent = fixed(step.dCurrent);
    }
}

// Setting.bin into record: the stored record when its size and sum hold, else the defaults.
bool ReadSettingFile(SettingsRecord& record) {
    BYTE image[SETTING_FILE_SIZE];
    DWORD size = 0;
    if (ReadDataFile(kSettingFile, image, sizeof(image), &size) && size == SETTING_FILE_SIZE &&
        SettingsSum(image, kSettingBytes) == ReadLE<WORD>(image + kSettingBytes)) {
        std::memcpy(&record, image, kSettingBytes);
        Terminate(record.szSignature);
        Terminate(record.szModelName);
        RepairNumbers(record);
        return true;
    }
    SetDefaultSettings(&record);
    return false;
}

void ConvertOldOpMode(const BYTE* image, OpModeRecord& record) {
    std::memset(&record, 0, sizeof(record));
    std::memcpy(&record, image, offsetof(OpModeRecord, steps));
    for (size_t i = 0; i < 6; ++i) {
        const BYTE* old = image + offsetof(OpModeRecord, steps) + i * kOldStepBytes;
        ReadOldProgramStep(old, &record.steps[i]);
    }
}

// OpMode.dat into record (zero unless a good file says otherwise). *save: the file must be rewritten
// in the current form. false when the file is missing.
bool ReadOpModeFile(OpModeRecord& record, bool& save) {
    save = false;
    std::memset(&record, 0, sizeof(record));
    BYTE image[OPMODE_FILE_SIZE];
    DWORD size = 0;
    if (!ReadDataFile(kOpModeFile, image, sizeof(image), &size)) return false;
    if (size == OPMODE_FILE_SIZE) {
        if (ByteSum(image, kOpModeBytes) == image[kOpModeBytes]) std::memcpy(&record, image, sizeof(record));
    } else if (size == OPMODE_OLD_FILE_SIZE) {
        if (ByteSum(image, kOldOpModeBytes) == image[kOldOpModeBytes]) ConvertOldOpMode(image, record);
        save = true;
    } else {
        save = true;
    }
    RepairNumbers(record);
    return true;
}

bool CanOpen(const WCHAR* path) {
    CRawFile file;
    return file.Open(path, 0) != FALSE;
}

void SetAutoDefaults(AutoRecord& record) {
    std::memset(&record, 0, sizeof(record));
    record.dwVoltage = 2;
    record.dwCapacity = 5;
    record.dwType = 0;
    record.dwRate = g_dwLogoIndex == 2 ? 1 : 0;
    record.bySum = ByteSum(&record, kAutoBytes);
}

}  // namespace

SettingsRecord g_Settings;
OpModeRecord g_OpMode;
AutoRecord g_AutoRecord;
char g_szSerialText[SERIAL_TEXT_MAX + 1];
BOOL g_bModelZ330;
WCHAR g_szStorageRoot[16] = u"\\SD Card";
int g_nModelIndex = MODEL_QRX3301K;
DWORD g_dwLogoIndex;

void SetModelLabelHandler(PFN_MODEL_LABEL handler) { g_pfnModelLabel = handler; }

void SetCompanyLogoHandler(PFN_COMPANY_LOGO handler) { g_pfnCompanyLogo = handler; }

WORD SettingsSum(const void* data, size_t size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += p[i];
    return static_cast<WORD>(sum & 0xFFFFu);
}

void ReadOldProgramStep(const BYTE* old, ProgramStep* step) {
    std::memset(step, 0, sizeof(*step));
    step->dwEnable = ReadLE<DWORD>(old + 0);
    step->dVoltage = ReadLE<double>(old + 8);
    step->dCurrent = ReadLE<double>(old + 16);
    step->dwTime = ReadLE<DWORD>(old + 24);
    step->dwDirection = ReadLE<DWORD>(old + 28);
    step->byKind = old[32];
}

BYTE ByteSum(const void* data, size_t size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += p[i];
    return static_cast<BYTE>(sum & 0xFFu);
}

void SetDefaultSettings(SettingsRecord* record) {
    if (!record) return;
    std::memset(record, 0, sizeof(*record));
    SetText(record->szSignature, kSignature);
    SetText(record->szModelName, u"Unknown");
    record->wFrequency = 60;
    record->nBatTempLimit = 50;
    record->wTransTempLimit = 70;
    record->nHeatsinkLimit = 19;
    record->wLimitH5 = 4000;
    record->wLimitH6 = 4000;
    record->dMaxVoltage = 150.0;
    record->dMaxCurrent = 100.0;
    record->dMinVoltage = 0.0;
    record->dMinCurrent = 0.0;
    record->dCutVoltage = 170.0;
    record->dCutCurrent = 120.0;
    const DWORD channels[5] = {0, 0, 1, 1, 1};
    std::memcpy(record->dwGraphChannel, channels, sizeof(channels));
}

void ClearSettingOptions(SettingsRecord* record) {
    if (!record) return;
    const DWORD channels[5] = {0, 0, 1, 1, 1};
    std::memcpy(record->dwGraphChannel, channels, sizeof(channels));
    BYTE* bytes = reinterpret_cast<BYTE*>(record);
    std::memset(bytes + offsetof(SettingsRecord, reserved340), 0,
                offsetof(SettingsRecord, dwRemoteStreaming) - offsetof(SettingsRecord, reserved340));
}

void LoadSettingFiles(DWORD* mcuComNumber) {
    SettingsRecord settings;
    OpModeRecord opMode;
    bool good = ReadSettingFile(settings);

    bool z330 = good && IsModelZ330(settings.szModelName);
    if (z330 && mcuComNumber) *mcuComNumber = 6;
    g_bModelZ330 = z330 ? TRUE : FALSE;
    QrxStrCopy(g_szStorageRoot, 16, z330 ? u"\\Hard Disk" : u"\\SD Card");

    bool saveOpMode = false;
    ReadOpModeFile(opMode, saveOpMode);

    if (!CanOpen(kLockFile)) settings.wLockEnable = 0;
    settings.dwRemoteStreaming = 0;
    if (settings.nBatTempLimit < 30 || settings.nBatTempLimit > 70) settings.nBatTempLimit = 50;

    g_Settings = settings;
    g_OpMode = opMode;
    if (saveOpMode) SaveOpModeFile();

    UpdateModelLabel();

    char serial[SERIAL_TEXT_MAX + 1];
    LoadSerialFile(serial, sizeof(serial));
    std::memcpy(g_szSerialText, serial, sizeof(serial));
}

BOOL SaveSettingFile() {
    if (wcsncmp(g_Settings.szSignature, kSignature, 64) != 0) SetText(g_Settings.szSignature, kSignature);
    CreateDirectoryW(kSettingFolder, nullptr);
    BYTE image[SETTING_FILE_SIZE];
    std::memcpy(image, &g_Settings, kSettingBytes);
    WORD sum = SettingsSum(image, kSettingBytes);
    std::memcpy(image + kSettingBytes, &sum, sizeof(sum));
    return WriteDataFile(kSettingFile, image, sizeof(image));
}

BOOL SaveOpModeFile() {
    g_OpMode.bySum = ByteSum(&g_OpMode, kOpModeBytes);
    OpModeRecord copy = g_OpMode;
    return WriteDataFile(kOpModeFile, &copy, sizeof(copy));
}

void LoadAutoFile() {
    BYTE image[AUTO_FILE_SIZE];
    DWORD size = 0;
    AutoRecord record;
    if (!ReadDataFile(kAutoFile, image, sizeof(image), &size)) {
        if (g_autoLoaded) return;
        SetAutoDefaults(record);
    } else if (size == AUTO_FILE_SIZE && ByteSum(image, kAutoBytes) == image[kAutoBytes]) {
        std::memcpy(&record, image, sizeof(record));
        if (record.dwVoltage > 96) record.dwVoltage = 96;
        if (record.dwCapacity > 1000) record.dwCapacity = 1000;
        if (record.dwType > 1) record.dwType = 0;
        // The auto program divides by these and indexes its rate names by the rate.
        if (record.dwVoltage < 2) record.dwVoltage = 2;
        if (record.dwCapacity < 5) record.dwCapacity = 5;
        if (record.dwRate > 3) record.dwRate = g_dwLogoIndex == 2 ? 1 : 0;
        record.bySum = ByteSum(&record, kAutoBytes);
        OutputDebugStringW(u"Load Auto info\r\n");
    } else {
        SetAutoDefaults(record);
    }
    g_AutoRecord = record;
    g_autoLoaded = true;
}

BOOL SaveAutoFile() {
    g_AutoRecord.bySum = ByteSum(&g_AutoRecord, kAutoBytes);
    AutoRecord copy = g_AutoRecord;
    return WriteDataFile(kAutoFile, &copy, sizeof(copy));
}

DWORD LoadSerialFile(char* out, size_t outSize) {
    if (!out || outSize == 0) return 0;
    out[0] = 0;
    SerialRecord record;
    DWORD size = 0;
    if (!ReadDataFile(kSerialFile, &record, sizeof(record), &size) || size != SERIAL_FILE_SIZE) return 0;
    if (record.dwMagic != SERIAL_MAGIC || record.dwLength > SERIAL_TEXT_MAX) return 0;
    size_t length = record.dwLength < outSize - 1 ? record.dwLength : outSize - 1;
    std::memcpy(out, record.szText, length);
    out[length] = 0;
    return static_cast<DWORD>(length);
}

BOOL SaveSerialFile(const char* text, DWORD length) {
    if (length > SERIAL_TEXT_MAX || (length && !text)) return FALSE;
    SerialRecord record;
    std::memset(&record, 0, sizeof(record));
    record.dwMagic = SERIAL_MAGIC;
    record.dwLength = length;
    if (length) std::memcpy(record.szText, text, length);
    if (!WriteDataFile(kSerialFile, &record, sizeof(record))) return FALSE;

    SerialRecord check;
    DWORD size = 0;
    if (!ReadDataFile(kSerialFile, &check, sizeof(check), &size) || size != SERIAL_FILE_SIZE) return FALSE;
    return check.dwMagic == record.dwMagic && check.dwLength == record.dwLength &&
           std::memcmp(check.szText, record.szText, length) == 0;
}

void LoadTempCalFile(WORD calibration[2]) {
    if (!calibration) return;
    BYTE image[4];
    DWORD size = 0;
    if (ReadDataFile(kTempCalFile, image, sizeof(image), &size) && size >= sizeof(image)) {
        calibration[0] = ReadLE<WORD>(image);
        calibration[1] = ReadLE<WORD>(image + 2);
    } else {
        calibration[0] = TEMP_CAL_DEFAULT_0;
        calibration[1] = TEMP_CAL_DEFAULT_1;
    }
}

void LoadCompanyInfo() {
    BYTE image[4];
    DWORD size = 0;
    DWORD index = 0;
    if (ReadDataFile(kCompanyFile, image, sizeof(image), &size) && size >= sizeof(image))
        index = ReadLE<DWORD>(image);
    if (index >= LOGO_INDEX_COUNT) index = 0;
    g_dwLogoIndex = index;
    if (g_pfnCompanyLogo) g_pfnCompanyLogo(index);
}

BOOL SaveCompanyInfo(DWORD logoIndex) { return WriteDataFile(kCompanyFile, &logoIndex, sizeof(logoIndex)); }

BOOL SaveCalibrationFile(const WCHAR* text) {
    if (!text) return FALSE;
    size_t length = wcslen(text);
    std::vector<BYTE> image(sizeof(DWORD) + length * sizeof(WCHAR));
    DWORD sum = 0;
    for (size_t i = 0; i < length; ++i) sum += text[i];
    std::memcpy(image.data(), &sum, sizeof(sum));
    if (length) std::memcpy(image.data() + sizeof(DWORD), text, length * sizeof(WCHAR));
    return WriteDataFile(kCalibrationFile, image.data(), static_cast<DWORD>(image.size()));
}

BOOL IsModelZ330(const WCHAR* modelName) {
    return modelName && wcsncmp(modelName, u"Z-330", 5) == 0 ? TRUE : FALSE;
}

void DetectModel() {
    static const struct {
        const WCHAR* name;
        int index;
    } kModels[] = {{u"QRX-3301K", MODEL_QRX3301K},
                   {u"QRX-3305L", MODEL_QRX3305L},
                   {u"QRX-3307M", MODEL_QRX3307M},
                   {u"Z-330", MODEL_Z330}};
    WCHAR name[64];
    QrxStrCopy(name, 64, g_Settings.szModelName);
    g_nModelIndex = MODEL_QRX3301K;
    for (const auto& model : kModels) {
        if (wcscmp(name, model.name) == 0) {
            g_nModelIndex = model.index;
            break;
        }
    }
}

void UpdateModelLabel() {
    if (!g_pfnModelLabel) return;
    WCHAR name[64];
    QrxStrCopy(name, 64, g_Settings.szModelName);
    g_pfnModelLabel(name);
}
