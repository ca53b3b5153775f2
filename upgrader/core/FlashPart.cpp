#include "upgrader/FlashPart.h"

#include <cstring>
#include <vector>

#include "qrx/flashapi.h"
#include "ui/ZipArchive.h"

namespace {

constexpr DWORD kPiece = 0x4000;
constexpr int kMaxEntries = 4096;

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

bool ReadPart(const WCHAR* package, DWORD offset, DWORD size, std::vector<BYTE>& part) {
    HANDLE f = CreateFileW(package, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    part.resize(size);
    DWORD read = 0;
    bool ok = SetFilePointer(f, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset &&
              ReadFile(f, part.data(), size, &read, nullptr) && read == size;
    CloseHandle(f);
    return ok;
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
    if (!(info.steps & FWSTEP_FLASH) || info.flashSize < 4 ||
        !ReadPart(package, info.flashOffset, info.flashSize, part)) {
        why = "the flash part cannot be read";
        return FlashPartError::Read;
    }
    part[0] = 'P';
    part[1] = 'K';
    HZIP zip = OpenZipMemory(part.data(), static_cast<DWORD>(part.size()), nullptr);
    ZipItemInfo item{};
    if (!zip || GetZipItem(zip, -1, &item) != ZR_OK || item.index <= 0 || item.index > kMaxEntries) {
        if (zip) CloseZip(zip);
        why = "the flash part is not an archive with entries";
        return FlashPartError::Archive;
    }
    int count = item.index;
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
    std::vector<BYTE> piece(kPiece);
    ULONGLONG done = 0;
    for (auto [index, e] : taken) {
        GetZipItem(zip, index, &item);
        const DWORD declared = static_cast<DWORD>(item.unc_size);
        std::u16string path = Join(staging, e->file);
        HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            CloseZip(zip);
            why = "cannot write the staged image";
            return FlashPartError::Write;
        }
        DWORD written = 0;
        BYTE head[72] = {};
        FlashPartError error = FlashPartError::None;
        for (;;) {
            DWORD r = UnzipZipItemToMemory(zip, index, piece.data(), kPiece);
            if (r != ZR_OK && r != ZR_MORE) {
                error = FlashPartError::Entry;
                why = std::string(e->name) + ": inflate or CRC error";
                break;
            }
            // The reader fills whole pieces until the member's declared end, which it checks
            // against the CRC; the last piece holds the rest.
            DWORD left = declared - written;
            DWORD n = r == ZR_MORE ? kPiece : left;
            if (n > left || n > kPiece) {
                error = FlashPartError::Entry;
                why = std::string(e->name) + ": inflates beyond its declared size";
                break;
            }
            if (written < sizeof head)
                std::memcpy(head + written, piece.data(), n < sizeof head - written ? n : sizeof head - written);
            DWORD put = 0;
            if (n > 0 && (!WriteFile(out, piece.data(), n, &put, nullptr) || put != n)) {
                error = FlashPartError::Write;
                why = "cannot write the staged image";
                break;
            }
            written += n;
            done += n;
            if (progress) progress(done, total);
            if (r == ZR_OK) break;
        }
        CloseHandle(out);
        if (error == FlashPartError::None && written != declared) {
            error = FlashPartError::Entry;
            why = std::string(e->name) + ": shorter than declared";
        }
        // Boot chain images carry their signature; a PMC image at least its version.
        bool signedImage = e->step == FLASH_STEP_XLDR || e->step == FLASH_STEP_EBOOT || e->step == FLASH_STEP_OS;
        if (error == FlashPartError::None && signedImage && (written < 68 || Word(head + 64) != FWD_IMAGE_SIGNATURE)) {
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
