// The device-root builder: makes or refreshes a device root from a build folder (programs,
// libraries, archives, language files, fonts, a seeded registry and the board's pin levels). A
// storage volume taken out (qrx-ctl volume remove) stays out: its folder is not made again.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace mkroot {

struct Options {
    std::string root;
    std::string build;
    bool reset = false;  // clear the internal flash's data too and renew the factory boot chain
};

bool ParseArgs(int argc, char** argv, Options& options, std::string& error);

// 0 done, 1 failed (the reason on err). Warnings (parts not built, fonts not installed) go to err
// without failing. Restores QRX_DEVICE_ROOT as it was before returning.
int Run(const Options& options, std::ostream& out, std::ostream& err);

struct InstallEntry {
    const char* name;  // device name without extension
    bool library;      // installed as <name>.dll, else <name>.exe
};
const std::vector<InstallEntry>& InstallTable();

// The host path of a built program or library in the build folder, "" when there is none. A
// program is an executable file <name> or <name>.exe, a library lib<name>.so, <name>.so or
// <name>.dll, matched without regard to case; the shallowest wins. Folders that are device roots
// (they hold .platform) and the folder skip are not searched.
std::string FindBuilt(const std::string& buildDir, const InstallEntry& entry, const std::string& skip);

// The touch calibration seeded into HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\TOUCH "CalibrationData".
extern const char16_t kDefaultCalibration[];

}  // namespace mkroot
