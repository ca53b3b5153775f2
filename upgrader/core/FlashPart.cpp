#include "upgrader/FlashPart.h"

#include <cstring>
#include <vector>

#include "qrx/flashapi.h"
#include "upgrader/PartArchive.h"

namespace {


struct TableEntry {
    const char* name;  // upper case, as compared
    const char16_t* file;
    DWORD step;
    int variant;  // PMC: 0 below 2.0, 1 R1, 2 R2, 3 R2.3, 4 Z-330; -1 not a PMC image
};

const TableEntry kTable[] = {
    {"FLASH DATA/XLDRNAND.NB0", u"XLDRNAND.NB0", FLASH_STEP_XLDR, -1},
    {"FLASH DATA/EBOOTND.NB0", u"EBOOTND.NB0", FLASH_STEP_EBOOT, -1},
    {"FLASH DATA/NK.NB0", u"NK.NB0", FLASH_STEP_OS, -1},
    {"FLASH DATA/BOOTLOGO.BIN", u"BOOTLOGO.BIN", FLASH_STEP_LOGO, -1},
    {"FLASH DATA/EMERGENCY.BIN", u"EMERGENCY.NB0", FLASH_STEP_EMERGENCY, -1},
    {"FLASH DATA/QRX_PMC_APP.BIN", u"QRX_PMC_APP.BIN", FLASH_STEP_PMC, 0},
    {"FLASH DATA/QRX_PMC_APP_R1.BIN", u"QRX_PMC_APP_R1.BIN", FLASH_STEP_PMC, 1},
    {"FLASH DATA/QRX_PMC_APP_R2.BIN", u"QRX_PMC_APP_R2.BIN", FLASH_STEP_PMC, 2},
    {"FLASH DATA/QRX_PMC_APP_R2_3.BIN", u"QRX_PMC_APP_R2_3.BIN", FLASH_STEP_PMC, 3},
    {"FLASH DATA/[Z330]FW.BIN", u"[Z330]FW.BIN", FLASH_STEP_PMC, 4},
};

// The PMC variant the board takes; -1 for none (between 2.2 and 2.3).
int PmcVariant(const BoardModel& b) {
    if (b.z330) return 4;
    if (b.revision < 2.0) return 0;
    if (b.revision <= 2.1 + 1e-9) return 1;
    if (b.revision <= 2.2 + 1e-9) return 2;
    if (b.revision >= 2.3 - 1e-9) return 3;
    return -1;
}

int StepIndex(DWORD step) {
    int i = 0;
    while (step > 1) step >>= 1, ++i;
    return i;
}

const TableEntry* Lookup(const WCHAR* name) {
    char upper[MAX_PATH];
    size_t i = 0;
    for (; name[i] && i + 1 < sizeof upper; ++i) {
        WCHAR c = name[i];
        if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - 32);
        if (c > 0x7F) return nullptr;
        upper[i] = static_cast<char>(c);
    }
    upper[i] = 0;
    for (const TableEntry& e : kTable)
        if (std::strcmp(e.name, upper) == 0) return &e;
    return nullptr;
}

std::u16string Join(const WCHAR* folder, const char16_t* name) {
    std::u16string p(folder);
    if (!p.empty() && p.back() != u'\\') p += u'\\';
    return p + name;
}

DWORD Word(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }

}  // namespace

DWORD FlashImageLimit(DWORD step, const BoardModel& board) {
    switch (step) {
        case FLASH_STEP_XLDR:
            return FWD_XLDR_COPY_SIZE - 8;
        case FLASH_STEP_EBOOT:
            return FWD_LOGO_BASE - FWD_EBOOT_BASE;
        case FLASH_STEP_LOGO:
            return FWD_LOGO_END - FWD_LOGO_BASE;
        case FLASH_STEP_PMC:
            return board.z330 ? 0x20000 : 0x4000;
        default:
            return FWD_OS_MAX;
    }
}

void RemoveStagedFlashFiles(const WCHAR* staging) {
    for (const TableEntry& e : kTable) {
        std::u16string path = Join(staging, e.file);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_ARCHIVE);
        DeleteFileW(path.c_str());
    }
}

namespace {

FlashPartError Extract(const WCHAR* package, const FwPackageInfo& info, const BoardModel& board, const WCHAR* staging,
                       FlashPlan& plan, std::string& why, const std::function<void(ULONGLONG, ULONGLONG)>& progress) {
    std::vector<BYTE> part;
    int count = 0;
    HZIP zip = info.steps & FWSTEP_FLASH ? OpenPackagePart(package, info.flashOffset, info.flashSize, part, count)
                                         : nullptr;
    if (!zip) {
        why = "the flash part is no readable archive with entries";
        return FlashPartError::Archive;
    }
    ZipItemInfo item{};
    // First the directory: what is taken, and whether every declared size fits its region.
    const int variant = PmcVariant(board);
    std::vector<std::pair<int, const TableEntry*>> taken;
    ULONGLONG total = 0;
    for (int i = 0; i < count; ++i) {
        if (GetZipItem(zip, i, &item) != ZR_OK) {
            CloseZip(zip);
            why = "an entry of the flash part is unreadable";
            return FlashPartError::Archive;
        }
        const TableEntry* e = Lookup(item.name);
        if (!e || (e->variant >= 0 && e->variant != variant)) continue;
        if (plan.steps & e->step) {
            CloseZip(zip);
            why = std::string("two entries for ") + e->name;
            return FlashPartError::Entry;
        }
        if (item.unc_size < 0 || static_cast<DWORD>(item.unc_size) > FlashImageLimit(e->step, board)) {
            CloseZip(zip);
            why = std::string(e->name) + " is larger than its region";
            return FlashPartError::Image;
        }
        plan.steps |= e->step;
        total += static_cast<DWORD>(item.unc_size);
        taken.push_back({i, e});
    }
    plan.steps = 0;
    if (taken.empty()) {
        CloseZip(zip);
        why = "the flash part holds no image";
        return FlashPartError::Empty;
    }
    if (!CreateDirectoryW(staging, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        CloseZip(zip);
        why = "the staging folder cannot be made";
        return FlashPartError::Write;
    }
    ULONGLONG done = 0;
    std::vector<BYTE> head(72);
    for (auto [index, e] : taken) {
        GetZipItem(zip, index, &item);
        const DWORD declared = static_cast<DWORD>(item.unc_size);
        std::u16string path = Join(staging, e->file);
        EntryResult r = EntryToFile(zip, index, declared, path, head, [&](DWORD n) {
            done += n;
            if (progress) progress(done, total);
        });
        FlashPartError error = FlashPartError::None;
        if (r == EntryResult::Write) {
            error = FlashPartError::Write;
            why = "cannot write the staged image";
        } else if (r == EntryResult::Corrupt) {
            error = FlashPartError::Entry;
            why = std::string(e->name) + ": inflate, length or CRC error";
        }
        const DWORD written = declared;
        // Boot chain images carry their signature; a PMC image at least its version.
        bool signedImage = e->step == FLASH_STEP_XLDR || e->step == FLASH_STEP_EBOOT || e->step == FLASH_STEP_OS;
        if (error == FlashPartError::None && signedImage && (written < 68 || Word(head.data() + 64) != FWD_IMAGE_SIGNATURE)) {
            error = FlashPartError::Image;
            why = std::string(e->name) + ": image signature not found";
        }
        if (error == FlashPartError::None && e->step == FLASH_STEP_PMC && written < 4) {
            error = FlashPartError::Image;
            why = std::string(e->name) + ": no firmware";
        }
        if (error != FlashPartError::None) {
            CloseZip(zip);
            return error;
        }
        plan.steps |= e->step;
        plan.files[StepIndex(e->step)] = path;
    }
    CloseZip(zip);
    return FlashPartError::None;
}

}  // namespace

FlashPartError ExtractFlashPart(const WCHAR* package, const FwPackageInfo& info, const BoardModel& board,
                                const WCHAR* staging, FlashPlan& plan, std::string& why,
                                const std::function<void(ULONGLONG, ULONGLONG)>& progress) {
    plan = FlashPlan{};
    FlashPartError error = Extract(package, info, board, staging, plan, why, progress);
    // A part that failed anywhere plans nothing: no image of it reaches the flash.
    if (error != FlashPartError::None) plan = FlashPlan{};
    return error;
}
