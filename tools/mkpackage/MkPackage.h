// qrx-mkpackage: builds an upgrade package QRX3FWDATA.FWD: the 78-byte header, then the flash part
// (generated boot chain images tagged T, and PMC firmware for every board variant) and the
// application part (a folder's files as "Application Data/" entries), each a zip archive whose first
// two bytes are not stored as "PK". A fault name makes one kind of bad package for the tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace mkpackage {

struct Options {
    std::string out;
    std::string tag = "new";
    bool flash = false;  // XLDR, EBoot, OS, logo and emergency images
    bool pmc = false;    // the PMC firmware variants
    std::string appDir;  // "" for no application part
    std::vector<std::string> faults;
    // Image sizes (0: the generator's small default); the benchmark asks for a device-sized package.
    size_t xldrSize = 0, ebootSize = 0, osSize = 0, logoSize = 0, pmcSize = 0;
};

// The faults the builder knows, one bad package each.
const std::vector<std::string>& FaultNames();

bool ParseArgs(int argc, char** argv, Options& options, std::string& error);

// The whole package in memory; false with the reason when it cannot be made.
bool BuildPackage(const Options& options, std::vector<uint8_t>& package, std::string& error);

// 0 written, 1 failed (the reason on err).
int Run(const Options& options, std::ostream& err);

// The PMC firmware of a variant's entry ("QRX_PMC_APP_R2.bin"): its four version bytes lead it, byte 0
// the board generation (240 before revision 2.0, 241 for R1, 242 from R2 and on the Z-330).
std::vector<uint8_t> MakePmcFirmware(const std::string& entry, const std::string& tag, size_t size = 0);

}  // namespace mkpackage
