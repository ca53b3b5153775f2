// The data-file loaders over arbitrary bytes: the input is stored as each data file in turn (and as
// the ".tmp" twin a cut save leaves), then the loaders that read that file run. The records must
// come out within the ranges the rest of the program relies on. Inputs are also sealed
// with a good size and sum, so that the checks behind the sums see fuzzed content too.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <string>
#include <vector>

#include "app/Language.h"
#include "app/Settings.h"
#include "app/SettingsFile.h"
#include "FuzzRoot.h"
#include "qrx/host.h"

namespace fs = std::filesystem;

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "data files: %s\n", what);
    abort();
}

std::u16string g_label;
DWORD g_logo = 0xFFFFFFFFu;
void OnModelLabel(const WCHAR* name) { g_label = name; }
void OnCompanyLogo(DWORD index) { g_logo = index; }

const FuzzRoot& Root() {
    static FuzzRoot root("data", {"Windows", "NAND Flash/System", "SD Card", "Hard Disk"});
    static const bool ready = [] {
        // The loaders read the language file behind language.dat.
        const std::u16string lang = u"\uFEFF[shell1]\r\n0=A\r\n";
        root.Put("Windows/English.lang", std::string(reinterpret_cast<const char*>(lang.data()), lang.size() * 2));
        SetModelLabelHandler(OnModelLabel);
        SetCompanyLogoHandler(OnCompanyLogo);
        return true;
    }();
    (void)ready;
    return root;
}

enum : unsigned { kSettings = 1, kAuto = 2, kSerial = 4, kTempCal = 8, kCompany = 16, kLanguage = 32 };

// Each data file with the loaders that read it.
const struct {
    const char* path;
    unsigned loaders;
} kFiles[] = {
    {"NAND Flash/System/Setting.bin", kSettings},
    {"NAND Flash/OpMode.dat", kSettings},
    {"NAND Flash/auto.dat", kAuto},
    {"NAND Flash/Serial.bin", kSerial | kSettings},
    {"NAND Flash/temp_cal.dat", kTempCal},
    {"NAND Flash/COMPANY_INFO.dat", kCompany | kAuto},  // the logo picks the default rate
    {"NAND Flash/language.dat", kLanguage},
    {"NAND Flash/LockDat.dat", kSettings},
};

// The loaders write some files back; every input starts from an empty flash.
void ClearFlash() {
    for (const auto& file : kFiles) {
        Root().Remove(file.path);
        Root().Remove(std::string(file.path) + ".tmp");
    }
}

bool Terminated(const WCHAR* text, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i)
        if (text[i] == 0) return true;
    return false;
}

void RunLoaders(unsigned loaders) {
    if (loaders & kCompany) {
        g_logo = 0xFFFFFFFFu;
        LoadCompanyInfo();
        Check(g_dwLogoIndex < LOGO_INDEX_COUNT && g_logo == g_dwLogoIndex, "logo index out of range");
    }
    if (loaders & kSettings) {
        DWORD com = 2;
        LoadSettingFiles(&com);
        Check(com == 2 || (com == 6 && g_bModelZ330), "port changed for another model");
        Check(Terminated(g_Settings.szSignature, 64) && Terminated(g_Settings.szModelName, 64), "unterminated text");
        for (double v : {g_Settings.dMaxVoltage, g_Settings.dMaxCurrent, g_Settings.dMinVoltage, g_Settings.dMinCurrent,
                         g_Settings.dCutVoltage, g_Settings.dCutCurrent})
            Check(std::isfinite(v), "setting not a number");
        Check(g_Settings.nBatTempLimit >= 30 && g_Settings.nBatTempLimit <= 70, "battery limit out of range");
        Check(g_Settings.dwRemoteStreaming == 0, "streaming survives a restart");
        Check(g_label == std::u16string(g_Settings.szModelName), "model label differs from the record");
        Check(std::isfinite(g_OpMode.dVoltage) && std::isfinite(g_OpMode.dCurrent), "set value not a number");
        for (const ProgramStep& step : g_OpMode.steps)
            Check(std::isfinite(step.dVoltage) && std::isfinite(step.dCurrent), "step value not a number");
        Check(std::strlen(g_szSerialText) <= SERIAL_TEXT_MAX, "serial text unterminated");
        DetectModel();
        Check(g_nModelIndex >= MODEL_QRX3301K && g_nModelIndex <= MODEL_Z330, "model index out of range");
    }
    if (loaders & kAuto) {
        LoadAutoFile();
        const AutoRecord& a = g_AutoRecord;
        Check(a.dwVoltage >= 2 && a.dwVoltage <= 96 && a.dwCapacity >= 5 && a.dwCapacity <= 1000 && a.dwType <= 1 &&
                  a.dwRate <= 3,
              "auto record out of range");
        Check(a.bySum == ByteSum(&a, sizeof(a) - 1), "auto record sum stale");
    }
    if (loaders & kSerial) {
        char serial[8];
        DWORD n = LoadSerialFile(serial, sizeof(serial));
        Check(n < sizeof(serial) && serial[n] == 0, "short serial buffer overrun");
        std::vector<char> one(1);
        Check(LoadSerialFile(one.data(), 1) == 0 && one[0] == 0, "one-byte serial buffer");
    }
    if (loaders & kTempCal) {
        WORD cal[2] = {};
        LoadTempCalFile(cal);
    }
    if (loaders & kLanguage) {
        LoadLanguageSetting();
        Check(GetCurrentLanguage() >= 0 && GetCurrentLanguage() < LANGUAGE_COUNT, "language index out of range");
        Check(GetCurrentLangName() != nullptr && GetLangFontFace() != nullptr, "no language name");
        (void)GetLangText(1, 0, FALSE);
    }
}

std::string Sealed16(const std::string& body, size_t bytes) {
    std::string image = body.substr(0, bytes);
    image.resize(bytes, '\0');
    WORD sum = SettingsSum(image.data(), image.size());
    image.append(reinterpret_cast<const char*>(&sum), sizeof(sum));
    return image;
}

std::string Sealed8(const std::string& body, size_t bytes) {
    std::string image = body.substr(0, bytes);
    image.resize(bytes, '\0');
    image.push_back(static_cast<char>(ByteSum(image.data(), image.size())));
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 16) return 0;
    const FuzzRoot& root = Root();
    const std::string input(reinterpret_cast<const char*>(data), size);

    for (const auto& file : kFiles) {
        ClearFlash();
        root.Put(file.path, input);
        RunLoaders(file.loaders);
    }
    // A save cut short leaves only the twin, which the next start takes in place of the file; one
    // file a run keeps the run short.
    const auto& cut = kFiles[size % std::size(kFiles)];
    ClearFlash();
    root.Put(std::string(cut.path) + ".tmp", input);
    RunLoaders(cut.loaders);

    // The same bytes behind good sums and sizes.
    ClearFlash();
    std::string setting = Sealed16(input, sizeof(SettingsRecord));
    root.Put(kFiles[0].path, setting);
    root.Put(kFiles[1].path, Sealed8(input, OPMODE_FILE_SIZE - 1));
    root.Put(kFiles[2].path, Sealed8(input, AUTO_FILE_SIZE - 1));
    std::string serial = input.substr(0, SERIAL_FILE_SIZE);
    serial.resize(SERIAL_FILE_SIZE, '\0');
    const DWORD magic = SERIAL_MAGIC;
    std::memcpy(serial.data(), &magic, sizeof(magic));
    root.Put(kFiles[3].path, serial);
    RunLoaders(kSettings | kAuto | kSerial);
    // A sealed record is taken as stored, apart from what the loader repairs.
    SettingsRecord stored;
    std::memcpy(&stored, setting.data(), sizeof(stored));
    Check(g_Settings.wFrequency == stored.wFrequency && g_Settings.wLimitH5 == stored.wLimitH5 &&
              std::memcmp(g_Settings.reserved490, stored.reserved490, sizeof(stored.reserved490)) == 0,
          "a sealed Setting.bin was not taken");
    DWORD serialLength = 0;
    std::memcpy(&serialLength, serial.data() + 4, sizeof(serialLength));
    Check(std::strlen(g_szSerialText) ==
              (serialLength <= SERIAL_TEXT_MAX ? std::strlen(std::string(serial.data() + 8, serialLength).c_str()) : 0),
          "serial text differs from the file");

    ClearFlash();
    root.Put(kFiles[1].path, Sealed8(input, OPMODE_OLD_FILE_SIZE - 1));
    RunLoaders(kSettings);
    return 0;
}
